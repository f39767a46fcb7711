// korvaxsim term: a terminal on the simulated port. On a terminal, keys go to the
// modem as they are typed and Ctrl-A starts a command (Ctrl-A h lists them); with
// stdin from a pipe or file, each line goes out ended by CR and lines starting
// with '~' are commands, so that sessions can be scripted:
//
//   printf 'AT\n~wait OK\nATI\n~wait OK\n~status\n' | korvaxsim term
#include "modes.h"
#include "port.h"
#include "posix.h"
#include "receiver.h"
#include "report.h"
#include "session.h"
#include "simulation.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

namespace korvaxsim {

using namespace win32;
using Clock = std::chrono::steady_clock;

namespace {

constexpr char CommandKey = 0x01; // Ctrl-A
// The escape waits out the modem's default guard time (S12 = 50: one second).
constexpr auto EscapeGuard = std::chrono::milliseconds(1100);
constexpr auto WaitLimit = std::chrono::seconds(10);
// Piped input at its end: the session ends once the port has been quiet this long.
constexpr auto QuietAtEnd = std::chrono::milliseconds(300);
constexpr auto QuietAtEndLimit = std::chrono::seconds(5);

class Terminal {
  public:
    Terminal(Simulation& sim, Port& port, bool raw) : sim_(sim), port_(port), raw_(raw) {}

    // Runs until quit, end of input, a signal, or a failed read; returns the
    // failure, if any.
    std::optional<std::string> Run();

  private:
    void Show(const uint8_t* data, size_t size);
    void Note(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void Help();
    void Status();
    void ToggleDtr();
    void ToggleRts();
    void Escape();
    bool WaitFor(const std::string& text);
    void WaitQuiet();
    // A byte typed at a terminal; false to quit.
    bool Key(char c);
    // A line of piped input; false to quit.
    bool Line(const std::string& line);
    void Send(const std::string& bytes);

    Simulation& sim_;
    Port& port_;
    const bool raw_;
    bool commandKey_ = false;
    bool dtr_ = true;
    bool rts_ = true;

    std::mutex mutex_; // the output and what has been received
    std::condition_variable received_;
    std::string recent_; // received since the last line went out (piped input)
    Clock::time_point lastReceived_ = Clock::now();
};

void Terminal::Show(const uint8_t* data, size_t size) {
    std::lock_guard<std::mutex> guard(mutex_);
    std::fwrite(data, 1, size, stdout);
    std::fflush(stdout);
    recent_.append(reinterpret_cast<const char*>(data), size);
    lastReceived_ = Clock::now();
    received_.notify_all();
}

// A line of the terminal's own, set apart from the modem's text.
void Terminal::Note(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::lock_guard<std::mutex> guard(mutex_);
    std::printf(raw_ ? "\r\n[%s]\r\n" : "[%s]\n", text);
    std::fflush(stdout);
}

void Terminal::Help() {
    if (raw_) {
        Note("Ctrl-A then: d DTR on/off, r RTS on/off, e escape (+++ with guard time), s status, "
             "u unplug the modem, q quit, h help, Ctrl-A send Ctrl-A");
    } else {
        Note("lines go out ended by CR; commands: ~dtr ~rts ~escape ~status ~unplug ~wait TEXT "
             "~quit ~help");
    }
}

void Terminal::Status() {
    DWORD errors = 0;
    COMSTAT stat = port_.QueueStatus(&errors);
    DWORD lines = port_.ModemStatus();
    LineSettings line = port_.Line();
    Note("%s %s; lines in: %s; DTR %s RTS %s; receive queue %u, transmit queue %u, errors 0x%X",
         port_.Name().c_str(), DescribeLine(line).c_str(), DescribeModemStatus(lines).c_str(),
         dtr_ ? "on" : "off", rts_ ? "on" : "off", stat.cbInQue, stat.cbOutQue, errors);
    Note("modem: %s", DescribeModem(sim_.Modem()).c_str());
}

void Terminal::ToggleDtr() {
    dtr_ = !dtr_;
    port_.Escape(dtr_ ? SETDTR : CLRDTR);
    Note("DTR %s", dtr_ ? "on" : "off");
}

void Terminal::ToggleRts() {
    rts_ = !rts_;
    port_.Escape(rts_ ? SETRTS : CLRRTS);
    Note("RTS %s", rts_ ? "on" : "off");
}

void Terminal::Escape() {
    Note("escape: 1.1 s of silence, +++, the modem answers after its guard time");
    std::this_thread::sleep_for(EscapeGuard);
    Send("+++");
}

void Terminal::Send(const std::string& bytes) {
    if (!raw_) {
        std::lock_guard<std::mutex> guard(mutex_);
        recent_.clear();
    }
    port_.Write(bytes);
}

bool Terminal::WaitFor(const std::string& text) {
    // A signal handler cannot wake a condition variable: look for one (and for a
    // failed capture) between short waits.
    auto limit = Clock::now() + WaitLimit;
    std::unique_lock<std::mutex> lock(mutex_);
    while (recent_.find(text) == std::string::npos) {
        if (SignalWake::Received() != 0 || sim_.CaptureFailure() || Clock::now() >= limit)
            return false;
        received_.wait_for(lock, std::chrono::milliseconds(50));
    }
    return true;
}

void Terminal::WaitQuiet() {
    auto limit = Clock::now() + QuietAtEndLimit;
    std::unique_lock<std::mutex> lock(mutex_);
    lastReceived_ = std::max(lastReceived_, Clock::now() - QuietAtEnd / 2);
    while (Clock::now() < limit && Clock::now() - lastReceived_ < QuietAtEnd)
        received_.wait_for(lock, QuietAtEnd);
}

bool Terminal::Key(char c) {
    if (!commandKey_) {
        if (c == CommandKey)
            commandKey_ = true;
        else
            Send(std::string(1, c));
        return true;
    }
    commandKey_ = false;
    switch (c) {
    case CommandKey:
        Send(std::string(1, c));
        break;
    case 'd':
    case 'D':
        ToggleDtr();
        break;
    case 'r':
    case 'R':
        ToggleRts();
        break;
    case 'e':
    case 'E':
    case '+':
        Escape();
        break;
    case 's':
    case 'S':
        Status();
        break;
    case 'u':
    case 'U':
        Note("pulling the modem out");
        sim_.Unplug();
        break;
    case 'q':
    case 'Q':
    case 'x':
    case 'X':
        return false;
    default:
        Help();
        break;
    }
    return true;
}

bool Terminal::Line(const std::string& text) {
    std::string line = text;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (line.empty() || line[0] != '~') {
        Send(line + "\r");
        return true;
    }
    std::string command = line.substr(1, line.find(' ') == std::string::npos ? std::string::npos
                                                                             : line.find(' ') - 1);
    std::string argument =
        line.find(' ') == std::string::npos ? "" : line.substr(line.find(' ') + 1);
    if (command == "dtr") {
        ToggleDtr();
    } else if (command == "rts") {
        ToggleRts();
    } else if (command == "escape" || command == "+++") {
        Escape();
    } else if (command == "status") {
        Status();
    } else if (command == "unplug") {
        Note("pulling the modem out");
        sim_.Unplug();
    } else if (command == "wait") {
        if (!WaitFor(argument)) {
            if (SignalWake::Received() != 0)
                return false; // Ctrl-C or SIGTERM: the session ends
            sim_.ThrowIfCaptureFailed();
            throw Failure("~wait: '" + argument + "' did not arrive within 10 s");
        }
    } else if (command == "quit" || command == "exit") {
        return false;
    } else if (command == "help") {
        Help();
    } else {
        // A script with a command that does not exist must not go on as if it had run.
        throw Failure("unknown command '~" + command + "' (~help lists them)");
    }
    return true;
}

std::optional<std::string> Terminal::Run() {
    WakePipe wake;
    SignalWake signals(wake);
    sim_.OnCaptureFailure([&wake] { wake.Notify(); });
    CaptureFailureUnhook unhook{sim_};
    Receiver receiver(
        port_, [this](const uint8_t* data, size_t size) { Show(data, size); }, wake);
    Help();

    std::string pending; // piped input not yet ended by a newline
    bool more = true;
    std::optional<std::string> failure;
    try {
        while (more) {
            pollfd fds[2] = {{wake.ReadFd(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                throw Failure("poll: " + ErrnoText(errno));
            }
            if (fds[0].revents != 0) {
                wake.Drain();
                if (auto failed = receiver.Failed())
                    return failed;
                sim_.ThrowIfCaptureFailed();
                if (SignalWake::Received() != 0)
                    break;
            }
            if (fds[1].revents == 0)
                continue;
            char buffer[256];
            ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n <= 0) {
                // The end of piped input: a last line without a newline still goes out,
                // and the answers still come in before the session ends.
                if (!raw_ && !pending.empty())
                    Line(pending);
                if (!raw_)
                    WaitQuiet();
                break;
            }
            for (ssize_t i = 0; i < n && more; ++i) {
                if (raw_) {
                    more = Key(buffer[i]);
                } else if (buffer[i] == '\n') {
                    more = Line(pending);
                    pending.clear();
                } else {
                    pending.push_back(buffer[i]);
                }
            }
        }
    } catch (const Failure& f) {
        failure = f.what();
    }
    receiver.Stop();
    // A failed read says best what happened (the modem was pulled out).
    if (auto failed = receiver.Failed())
        return failed;
    return failure;
}

} // namespace

int RunTerm(const Options& options) {
    SessionReport report;
    std::optional<std::string> failure;
    bool ran = false;
    try {
        Simulation sim(MakeSimulationOptions(options, options.quiet ? nullptr : stdout));
        ran = true;
        try {
            OtherApplication other(options, sim);
            Port port(
                options.port, [&] { return sim.Unplugged(); },
                [&] { return sim.ModemHoldingBack(); });
            port.SetLine(LineSettings{});
            port.SetTimeouts(100, 5000);
            port.Escape(SETDTR);
            port.Escape(SETRTS);
            std::printf("term: %s open at %s, DTR and RTS on\n", options.port.c_str(),
                        DescribeLine(port.Line()).c_str());
            std::fflush(stdout);
            {
                RawTerminal raw(STDIN_FILENO);
                failure = Terminal(sim, port, raw.Active()).Run();
            }
            std::printf("\n");
            report.requests = port.Counts();
        } catch (const Failure& f) {
            failure = f.what();
        }
        report.urbs = sim.Urbs();
        report.verdict = sim.Shutdown();
    } catch (const Failure& f) {
        failure = f.what();
    }
    if (failure)
        std::fprintf(stderr, "korvaxsim: %s\n", failure->c_str());
    bool passed = ran && !failure && report.verdict.Clean();
    if (ran)
        PrintSummary(stdout, report);
    if (ran && !report.verdict.Clean())
        std::fprintf(stderr,
                     "korvaxsim: the driver left %zu verifier finding(s) and %zu pool "
                     "block(s) behind\n",
                     report.verdict.findings, report.verdict.pool.allocations);
    return passed ? 0 : 1;
}

} // namespace korvaxsim
