// korvaxsim: the port driver on the hosted kernel with a simulated USB EV-DO modem.
//   korvaxsim demo   a dialer session with a summary (scripts/demo.sh runs it)
//   korvaxsim term   an interactive terminal on the port
//   korvaxsim pty    the port as a Linux pseudo-terminal for ordinary serial programs
#include <tools/modes.h>
#include <tools/options.h>

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string error;
    std::optional<korvaxsim::Options> options = korvaxsim::ParseOptions(args, &error);
    if (!options) {
        if (error.empty()) {
            std::fputs(korvaxsim::UsageText().c_str(), stdout);
            return 0;
        }
        // A usage mistake: one line, and where to read more.
        std::fprintf(stderr, "korvaxsim: %s\nTry 'korvaxsim --help'.\n", error.c_str());
        return 2;
    }
    switch (options->mode) {
    case korvaxsim::Mode::Demo:
        return korvaxsim::RunDemo(*options);
    case korvaxsim::Mode::Term:
        return korvaxsim::RunTerm(*options);
    case korvaxsim::Mode::Pty:
        return korvaxsim::RunPty(*options);
    }
    return 2;
}
