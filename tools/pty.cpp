// korvaxsim pty: the simulated port as a Linux pseudo-terminal, so that ordinary
// serial programs (picocom, minicom, pyserial) talk to the modem through the driver.
//
// The master side runs in packet mode (TIOCPKT) and the terminal has EXTPROC set,
// so every read of the master is either data the program wrote (it becomes a
// WriteFile) or a status byte; TIOCPKT_IOCTL says the program changed the
// terminal's settings, which become SetCommState when the speed, character size,
// parity or stop bits differ. Flushes become PurgeComm. A receiver thread reads the
// port and writes what arrives to the master. korvaxsim keeps a descriptor of the
// terminal open itself, so programs may open and close it as often as they like.
//
// Writes to the port stay outstanding while the main thread goes back to the
// master, a few at a time in the order the program wrote: their outcomes are taken
// as they end, without anything waking the thread for them, and waited for only
// when every buffer is in use, before a status byte or a command, or after a tenth
// of a second of quiet.
//
// Linux pseudo-terminals keep CS8 and clear PARENB whatever a program sets, so of
// the character format only the stop bits reach the port from a pty. Flow control
// (CRTSCTS, IXON, IXOFF) reaches it as the DCB's handshake and XON/XOFF flags.
#include "dialer.h"
#include "modes.h"
#include "port.h"
#include "posix.h"
#include "receiver.h"
#include "report.h"
#include "session.h"
#include "simulation.h"
#include "termios_line.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace korvaxsim {

using namespace win32;

namespace {

// The master and the terminal's path, with a descriptor of the terminal held open.
struct PseudoTerminal {
    FileDescriptor master;
    FileDescriptor heldSlave;
    std::string path;
};

PseudoTerminal OpenPseudoTerminal(const LineSettings& line) {
    PseudoTerminal pty;
    pty.master.Reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!pty.master.Valid())
        throw Failure("cannot open a pseudo-terminal: " + ErrnoText(errno));
    char name[128];
    if (::grantpt(pty.master.Get()) != 0 || ::unlockpt(pty.master.Get()) != 0 ||
        ::ptsname_r(pty.master.Get(), name, sizeof name) != 0)
        throw Failure("cannot set up the pseudo-terminal: " + ErrnoText(errno));
    pty.path = name;
    pty.heldSlave.Reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!pty.heldSlave.Valid())
        throw Failure(pty.path + ": " + ErrnoText(errno));

    // Raw, at the port's settings, with EXTPROC so that changes are reported.
    termios settings{};
    if (::tcgetattr(pty.heldSlave.Get(), &settings) != 0)
        throw Failure(pty.path + ": tcgetattr: " + ErrnoText(errno));
    ::cfmakeraw(&settings);
    settings.c_lflag |= EXTPROC;
    settings.c_cflag |= CLOCAL | CREAD;
    ApplyLineToTermios(line, &settings);
    if (::tcsetattr(pty.heldSlave.Get(), TCSANOW, &settings) != 0)
        throw Failure(pty.path + ": tcsetattr: " + ErrnoText(errno));

    int on = 1;
    if (::ioctl(pty.master.Get(), TIOCPKT, &on) != 0)
        throw Failure("TIOCPKT: " + ErrnoText(errno));
    int flags = ::fcntl(pty.master.Get(), F_GETFL);
    ::fcntl(pty.master.Get(), F_SETFL, flags | O_NONBLOCK);
    return pty;
}

class Bridge {
  public:
    Bridge(Simulation& sim, Port& port, PseudoTerminal& pty, const LineSettings& line)
        : sim_(sim), port_(port), pty_(pty), line_(line) {}

    // Runs until a signal, "quit" on stdin, or a failure (returned).
    std::optional<std::string> Run();

  private:
    void Say(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Receiver thread: bytes from the port to the program, with the terminal's
    // software flow control (IXON) applied to them.
    void ToProgram(const uint8_t* data, size_t size);
    void WriteToProgram(const uint8_t* data, size_t size);
    // Main thread: one read of the master; false when there was nothing.
    bool FromProgram();
    // Main thread: takes the outcome of the oldest outstanding write, waiting for it.
    void FinishOldestWrite();
    // Main thread: takes the outcomes of the writes that have ended, oldest first,
    // or (`all`) waits for every outstanding write.
    void FinishWrites(bool all);
    bool Writing() const { return outstanding_ != 0; }
    void SettingsChanged();
    // A command line on stdin; false to quit.
    bool Command(const std::string& line);

    Simulation& sim_;
    Port& port_;
    PseudoTerminal& pty_;
    LineSettings line_;
    bool dtr_ = true;
    bool rts_ = true;
    std::atomic<bool> stopping_{false};
    // The terminal's IXON and its START and STOP characters, for the receiver.
    std::atomic<bool> ixon_{false};
    std::atomic<uint8_t> startChar_{0x11}, stopChar_{0x13};
    std::mutex outputMutex_;
    // What one read of the master brings (the packet-mode byte, then up to 64 KiB a
    // program has written) and its WriteFile while it is outstanding.
    struct PortWrite {
        std::vector<uint8_t> buffer = std::vector<uint8_t>(64 * 1024 + 1);
        Overlapped overlapped;
        size_t size = 0;
    };
    static constexpr size_t PortWrites = 4;
    std::array<PortWrite, PortWrites> writes_;
    size_t oldest_ = 0;      // the oldest outstanding write's slot
    size_t outstanding_ = 0; // writes outstanding, in the slots from oldest_ on
};

void Bridge::Say(const char* format, ...) {
    std::lock_guard<std::mutex> guard(outputMutex_);
    std::fputs("pty: ", stdout);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// With EXTPROC set the line discipline leaves input processing to the master, IXON
// included, so the bridge does what it would: STOP stops the terminal's output
// (the program's writes wait) and START starts it again, and neither reaches the
// program as data.
void Bridge::ToProgram(const uint8_t* data, size_t size) {
    if (!ixon_.load()) {
        WriteToProgram(data, size);
        return;
    }
    const uint8_t start = startChar_.load(), stop = stopChar_.load();
    size_t from = 0;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] != stop && data[i] != start)
            continue;
        WriteToProgram(data + from, i - from);
        ::tcflow(pty_.heldSlave.Get(), data[i] == stop ? TCOOFF : TCOON);
        from = i + 1;
    }
    WriteToProgram(data + from, size - from);
}

void Bridge::WriteToProgram(const uint8_t* data, size_t size) {
    while (size != 0 && !stopping_.load()) {
        ssize_t n = ::write(pty_.master.Get(), data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return; // the terminal is going away
        // The program is not reading: wait for room, looking up now and then.
        pollfd fd{pty_.master.Get(), POLLOUT, 0};
        ::poll(&fd, 1, 100);
    }
}

bool Bridge::FromProgram() {
    FinishWrites(false);
    if (outstanding_ == PortWrites)
        FinishOldestWrite();
    PortWrite& write = writes_[(oldest_ + outstanding_) % PortWrites];
    uint8_t* buffer = write.buffer.data();
    ssize_t n = ::read(pty_.master.Get(), buffer, write.buffer.size());
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return false;
    if (n <= 0)
        throw Failure(pty_.path + ": read: " + (n < 0 ? ErrnoText(errno) : "end of file"));
    uint8_t status = buffer[0];
    if (status == TIOCPKT_DATA) {
        if (n > 1) {
            write.size = static_cast<size_t>(n - 1);
            port_.StartWrite(write.overlapped, buffer + 1, write.size);
            ++outstanding_;
        }
        return true;
    }
    // The port sees the program's data, flushes and settings in the order it made them.
    FinishWrites(true);
    if (status & TIOCPKT_FLUSHREAD)
        port_.Purge(PURGE_RXCLEAR);
    if (status & TIOCPKT_FLUSHWRITE)
        port_.Purge(PURGE_TXCLEAR);
    if (status & TIOCPKT_IOCTL)
        SettingsChanged();
    return true;
}

void Bridge::FinishOldestWrite() {
    PortWrite& write = writes_[oldest_];
    oldest_ = (oldest_ + 1) % PortWrites;
    --outstanding_;
    port_.FinishWrite(write.overlapped, std::exchange(write.size, 0));
}

void Bridge::FinishWrites(bool all) {
    while (Writing() && (all || writes_[oldest_].overlapped.Done()))
        FinishOldestWrite();
}

void Bridge::SettingsChanged() {
    termios settings{};
    if (::tcgetattr(pty_.master.Get(), &settings) != 0)
        return;
    startChar_.store(settings.c_cc[VSTART]);
    stopChar_.store(settings.c_cc[VSTOP]);
    ixon_.store((settings.c_iflag & IXON) != 0);
    // A program that cleared EXTPROC would leave later changes unreported.
    if (!(settings.c_lflag & EXTPROC)) {
        settings.c_lflag |= EXTPROC;
        ::tcsetattr(pty_.master.Get(), TCSANOW, &settings);
    }
    if (cfgetospeed(&settings) == B0) {
        // Speed 0 is the terminal's way to hang up: DTR drops until a speed is set.
        if (dtr_) {
            port_.Escape(CLRDTR);
            dtr_ = false;
            Say("speed 0: DTR off (EscapeCommFunction CLRDTR)");
        }
        return;
    }
    if (!dtr_) {
        port_.Escape(SETDTR);
        dtr_ = true;
        Say("DTR on again (EscapeCommFunction SETDTR)");
    }
    std::optional<LineSettings> line = LineOfTermios(settings);
    if (!line) {
        Say("the terminal's speed has no COM port rate; the port stays at %s",
            DescribeLine(line_).c_str());
        return;
    }
    if (*line == line_)
        return;
    try {
        port_.SetLine(*line);
        // As the port reports it back (GetCommState): the flow control shows that
        // SET_HANDFLOW reached the driver, which stores it without acting on it.
        line_ = port_.Line();
        Say("line set to %s (SetCommState)", DescribeLine(line_).c_str());
    } catch (const Failure& failure) {
        if (sim_.Unplugged())
            throw;
        Say("%s; the port stays at %s", failure.what(), DescribeLine(line_).c_str());
    }
}

bool Bridge::Command(const std::string& text) {
    FinishWrites(true);
    std::string line = text;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    if (line.empty())
        return true;
    if (line == "quit" || line == "exit")
        return false;
    if (line == "status") {
        DWORD errors = 0;
        COMSTAT stat = port_.QueueStatus(&errors);
        DWORD lines = port_.ModemStatus();
        Say("%s at %s: lines in %s; DTR %s RTS %s; receive queue %u, transmit queue %u, "
            "errors 0x%X",
            port_.Name().c_str(), DescribeLine(line_).c_str(), DescribeModemStatus(lines).c_str(),
            dtr_ ? "on" : "off", rts_ ? "on" : "off", stat.cbInQue, stat.cbOutQue,
            static_cast<unsigned>(errors));
        Say("modem: %s", DescribeModem(sim_.Modem()).c_str());
    } else if (line == "dtr") {
        dtr_ = !dtr_;
        port_.Escape(dtr_ ? SETDTR : CLRDTR);
        Say("DTR %s", dtr_ ? "on" : "off");
    } else if (line == "rts") {
        rts_ = !rts_;
        port_.Escape(rts_ ? SETRTS : CLRRTS);
        Say("RTS %s", rts_ ? "on" : "off");
    } else if (line == "unplug") {
        Say("pulling the modem out");
        sim_.Unplug();
    } else if (line == "help") {
        Say("commands on stdin: status, dtr, rts, unplug, quit");
    } else {
        Say("unknown command '%s'; commands on stdin: status, dtr, rts, unplug, quit",
            line.c_str());
    }
    return true;
}

// A terminal on stdin is read only while korvaxsim is in its foreground: a
// background job (korvaxsim pty &) that read it would be stopped with SIGTTIN
// until brought back, and would answer no signal meanwhile.
bool MayReadStdin() {
    if (!::isatty(STDIN_FILENO))
        return true;
    return ::tcgetpgrp(STDIN_FILENO) == ::getpgrp();
}

// While it lives, a read of the terminal from the background fails with EIO
// instead of stopping the process: the case of a job sent to the background
// between MayReadStdin and its read.
class BackgroundReadsFail {
  public:
    BackgroundReadsFail() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        ::sigaction(SIGTTIN, &ignore, &saved_);
    }
    ~BackgroundReadsFail() { ::sigaction(SIGTTIN, &saved_, nullptr); }
    BackgroundReadsFail(const BackgroundReadsFail&) = delete;
    BackgroundReadsFail& operator=(const BackgroundReadsFail&) = delete;

  private:
    struct sigaction saved_ {};
};

// How often a background job looks whether it has been brought to the foreground.
constexpr int ForegroundCheckMs = 500;

std::optional<std::string> Bridge::Run() {
    WakePipe wake;
    SignalWake signals(wake);
    BackgroundReadsFail backgroundReadsFail;
    sim_.OnCaptureFailure([&wake] { wake.Notify(); });
    CaptureFailureUnhook unhook{sim_};
    Receiver receiver(
        port_, [this](const uint8_t* data, size_t size) { ToProgram(data, size); }, wake);

    bool readStdin = true;
    std::string pending;
    std::optional<std::string> failure;
    try {
        for (;;) {
            bool background = readStdin && !MayReadStdin();
            pollfd fds[3] = {{wake.ReadFd(), POLLIN, 0},
                             {pty_.master.Get(), POLLIN, 0},
                             {readStdin && !background ? STDIN_FILENO : -1, POLLIN, 0}};
            int ready = ::poll(fds, 3, Writing() ? 100 : background ? ForegroundCheckMs : -1);
            if (ready < 0) {
                if (errno == EINTR)
                    continue;
                throw Failure("poll: " + ErrnoText(errno));
            }
            if (ready == 0) {
                // Quiet: the outcomes of the writes that have ended are due.
                FinishWrites(false);
                continue;
            }
            if (fds[0].revents != 0) {
                wake.Drain();
                sim_.ThrowIfCaptureFailed();
                if (receiver.Failed() || SignalWake::Received() != 0)
                    break;
            }
            if (fds[1].revents & (POLLIN | POLLPRI)) {
                while (FromProgram()) {
                }
            }
            if (fds[2].revents != 0) {
                char buffer[256];
                ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
                if (n <= 0) {
                    // EIO: moved to the background between the look and the read.
                    readStdin = n < 0 && (errno == EINTR || errno == EAGAIN || errno == EIO);
                    continue;
                }
                bool more = true;
                for (ssize_t i = 0; i < n && more; ++i) {
                    if (buffer[i] == '\n') {
                        more = Command(pending);
                        pending.clear();
                    } else {
                        pending.push_back(buffer[i]);
                    }
                }
                if (!more)
                    break;
            }
        }
        FinishWrites(true);
    } catch (const Failure& f) {
        failure = f.what();
    }
    stopping_.store(true);
    receiver.Stop();
    if (auto failed = receiver.Failed())
        return failed;
    if (int signal = SignalWake::Received())
        Say("signal %d: closing %s, unplugging the modem, unloading the driver", signal,
            port_.Name().c_str());
    return failure;
}

} // namespace

int RunPty(const Options& options) {
    SessionReport report;
    std::optional<std::string> failure;
    bool ran = false;
    try {
        SimulationOptions simulation =
            MakeSimulationOptions(options, options.quiet ? nullptr : stdout);
        if (options.echo)
            simulation.modem.dialDelay = sim::HundredNsPerSecond / 10;
        Simulation sim(simulation);
        ran = true;
        try {
            OtherApplication other(options, sim);
            Port port(
                options.port, [&] { return sim.Unplugged(); },
                [&] { return sim.ModemHoldingBack(); });
            LineSettings line;
            port.SetLine(line);
            port.SetTimeouts(100, 5000);
            port.Escape(SETDTR);
            port.Escape(SETRTS);
            std::string call;
            if (options.echo) {
                Dialer dialer(port);
                Answer answer = dialer.Command("ATD#777", std::chrono::milliseconds(5000));
                if (!answer.Connected())
                    throw Failure("modem: ATD#777 answered " + answer.result);
                call = answer.result;
            }
            PseudoTerminal pty = OpenPseudoTerminal(line);
            // The path on a line of its own first, for programs that start korvaxsim.
            std::printf("pty: %s\n", pty.path.c_str());
            std::printf("pty: %s through korvaxser at %s, DTR and RTS on%s; Ctrl-C to stop\n",
                        options.port.c_str(), DescribeLine(line).c_str(),
                        options.echo ? ("; the modem is in a call (" + call + "), echoing").c_str()
                                     : "");
            std::fflush(stdout);
            failure = Bridge(sim, port, pty, line).Run();
            report.requests = port.Counts();
        } catch (const Failure& f) {
            failure = f.what();
        }
        sim.Unplug();
        report.urbs = sim.Urbs();
        report.verdict = sim.Shutdown();
    } catch (const Failure& f) {
        failure = f.what();
    }
    if (failure)
        std::fprintf(stderr, "korvaxsim: %s\n", failure->c_str());
    if (ran)
        PrintSummary(stdout, report);
    if (ran && !report.verdict.Clean())
        std::fprintf(stderr,
                     "korvaxsim: the driver left %zu verifier finding(s) and %zu pool "
                     "block(s) behind\n",
                     report.verdict.findings, report.verdict.pool.allocations);
    return ran && !failure && report.verdict.Clean() ? 0 : 1;
}

} // namespace korvaxsim
