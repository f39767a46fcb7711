#include "options.h"

#include <cctype>
#include <limits>

namespace korvaxsim {

std::string UsageText() {
    return "usage: korvaxsim demo [--port COMn] [--plug-as COMn] [--bytes N[K|M|G]] [--capture "
           "FILE]\n"
           "                      [--seed N] [--quiet] [--other-app] [--unplug-midway]\n"
           "       korvaxsim term [--port COMn] [--plug-as COMn] [--capture FILE] [--quiet] "
           "[--other-app]\n"
           "       korvaxsim pty  [--port COMn] [--plug-as COMn] [--capture FILE] [--echo] "
           "[--quiet]\n"
           "                      [--other-app]\n"
           "       every mode also takes --driver FILE\n"
           "\n"
           "  demo  a dialer session on the simulated modem through the driver, with a summary\n"
           "  term  an interactive terminal on the port (Ctrl-A h for help; '~help' when piped)\n"
           "  pty   the port as a Linux pseudo-terminal for picocom, minicom, pyserial...\n"
           "\n"
           "  --port COMn      the port the application opens (default COM5)\n"
           "  --plug-as COMn   the port name the modem is installed under (default COM5)\n"
           "  --bytes N        data sent and echoed back in the demo's call (default 4M)\n"
           "  --capture FILE   write the USB traffic as a pcap file (USBPcap link type)\n"
           "  --driver FILE    run this korvaxser.sys image instead of the built-in driver\n"
           "  --seed N         seed of the demo's data bytes (default 1)\n"
           "  --quiet          no driver debug output (kd>); demo prints the summary only,\n"
           "                   and on a failure only its error\n"
           "  --echo           pty: the modem starts in a call, echoing every byte\n"
           "  --other-app      another application holds the port open first\n"
           "  --unplug-midway  demo: pull the modem out halfway through the data\n";
}

std::optional<uint64_t> ParseByteCount(const std::string& text) {
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])))
        return std::nullopt;
    uint64_t value = 0;
    size_t at = 0;
    for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at) {
        uint64_t digit = static_cast<uint64_t>(text[at] - '0');
        if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    unsigned shift = 0;
    if (at < text.size()) {
        switch (std::toupper(static_cast<unsigned char>(text[at]))) {
        case 'K':
            shift = 10;
            break;
        case 'M':
            shift = 20;
            break;
        case 'G':
            shift = 30;
            break;
        default:
            return std::nullopt;
        }
        ++at;
        if (at < text.size() && std::toupper(static_cast<unsigned char>(text[at])) == 'I')
            ++at; // KiB, MiB
        if (at < text.size() && std::toupper(static_cast<unsigned char>(text[at])) == 'B')
            ++at;
    }
    if (at != text.size())
        return std::nullopt;
    if (shift != 0 && value > (std::numeric_limits<uint64_t>::max() >> shift))
        return std::nullopt;
    return value << shift;
}

std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string* error) {
    error->clear();
    if (args.empty()) {
        *error = "no mode given";
        return std::nullopt;
    }
    Options options;
    const std::string& mode = args[0];
    if (mode == "demo") {
        options.mode = Mode::Demo;
    } else if (mode == "term") {
        options.mode = Mode::Term;
    } else if (mode == "pty") {
        options.mode = Mode::Pty;
    } else if (mode == "-h" || mode == "--help" || mode == "help") {
        return std::nullopt;
    } else {
        *error = (mode[0] == '-' ? "unknown option '" : "unknown mode '") + mode + "'";
        return std::nullopt;
    }

    auto demoOnly = [&](const std::string& option) {
        if (options.mode != Mode::Demo)
            *error = option + " is an option of demo";
        return options.mode == Mode::Demo;
    };
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& option = args[i];
        auto value = [&]() -> const std::string* {
            if (i + 1 >= args.size()) {
                *error = option + " needs a value";
                return nullptr;
            }
            return &args[++i];
        };
        if (option == "-h" || option == "--help") {
            return std::nullopt;
        } else if (option == "--port" || option == "--plug-as") {
            const std::string* name = value();
            if (name == nullptr)
                return std::nullopt;
            if (name->empty()) {
                *error = option + " needs a port name";
                return std::nullopt;
            }
            (option == "--port" ? options.port : options.plugAs) = *name;
        } else if (option == "--bytes") {
            const std::string* text = value();
            if (text == nullptr || !demoOnly(option))
                return std::nullopt;
            auto bytes = ParseByteCount(*text);
            if (!bytes || *bytes == 0 || *bytes > (uint64_t(1) << 32)) {
                *error = "--bytes wants a count from 1 to 4G, such as 65536, 64K or 4M";
                return std::nullopt;
            }
            options.bytes = *bytes;
        } else if (option == "--capture") {
            const std::string* file = value();
            if (file == nullptr)
                return std::nullopt;
            if (file->empty()) {
                *error = "--capture needs a file name";
                return std::nullopt;
            }
            options.capture = *file;
        } else if (option == "--driver") {
            const std::string* file = value();
            if (file == nullptr)
                return std::nullopt;
            options.driverImage = *file;
        } else if (option == "--seed") {
            const std::string* text = value();
            if (text == nullptr || !demoOnly(option))
                return std::nullopt;
            auto seed = ParseByteCount(*text);
            if (!seed || text->find_first_not_of("0123456789") != std::string::npos ||
                *seed > std::numeric_limits<uint32_t>::max()) {
                *error = "--seed wants a number from 0 to 4294967295";
                return std::nullopt;
            }
            options.seed = static_cast<uint32_t>(*seed);
        } else if (option == "--quiet" || option == "-q") {
            options.quiet = true;
        } else if (option == "--echo") {
            if (options.mode != Mode::Pty) {
                *error = "--echo is an option of pty";
                return std::nullopt;
            }
            options.echo = true;
        } else if (option == "--other-app") {
            options.otherApplication = true;
        } else if (option == "--unplug-midway") {
            if (!demoOnly(option))
                return std::nullopt;
            options.unplugMidway = true;
        } else {
            *error = "unknown option '" + option + "'";
            return std::nullopt;
        }
    }
    return options;
}

} // namespace korvaxsim
