// korvaxsim run as a user runs it: the demo's exit status and capture, the
// pseudo-terminal opened by a plain POSIX program, the scripted terminal, and the
// one-line errors of a user's mistakes and a modem pulled out mid-session.
#include <sim/capture.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace tools_test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string Program = KORVAXSIM_PATH;

// A process needs the dial (2 s on the real clock) and the escape's guard times.
constexpr auto DemoLimit = 60s;
constexpr auto ReplyLimit = 10s;

// The time left until `deadline`, for poll.
int MsUntil(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<long long>(left.count(), 0));
}

// A program run as a child process: its stdin, stdout and stderr are pipes the test
// holds. Every wait is bounded and waits on the pipes' readiness (poll); a child
// still running at the end is killed.
class ChildProcess {
  public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args) {
        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
            ::pipe2(err, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        std::vector<char*> argv = {const_cast<char*>(program.c_str())};
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        stdin_ = in[1];
        fds_[0] = out[0];
        fds_[1] = err[0];
        // A child that ends early must not take the test down with SIGPIPE.
        ::signal(SIGPIPE, SIG_IGN);
    }
    ~ChildProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        for (int fd : {stdin_, fds_[0], fds_[1]})
            if (fd >= 0)
                ::close(fd);
    }

    bool Started() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }
    void Signal(int signal) {
        if (pid_ > 1)
            ::kill(pid_, signal);
    }
    void WriteStdin(const std::string& text) {
        for (size_t done = 0; stdin_ >= 0 && done < text.size();) {
            ssize_t n = ::write(stdin_, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return;
            done += static_cast<size_t>(n);
        }
    }
    // The first line of stdout that starts with `prefix` (without it), waiting for it.
    std::optional<std::string> WaitForLine(const std::string& prefix,
                                           std::chrono::milliseconds limit) {
        auto deadline = Clock::now() + limit;
        for (;;) {
            const std::string& text = text_[0];
            size_t start = 0;
            for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
                if (text.compare(start, prefix.size(), prefix) == 0)
                    return text.substr(start + prefix.size(), end - start - prefix.size());
            }
            if (!Pump(deadline))
                return std::nullopt;
        }
    }
    // Reads both pipes to their end and reaps the child: its exit status, or
    // nullopt when it had not ended in time (it is killed then).
    std::optional<int> Wait(std::chrono::milliseconds limit) {
        auto deadline = Clock::now() + limit;
        while (Pump(deadline)) {
        }
        int status = 0;
        rusage usage{};
        if (pid_ <= 0 || fds_[0] >= 0 || fds_[1] >= 0 || ::wait4(pid_, &status, 0, &usage) != pid_)
            return std::nullopt;
        pid_ = -1;
        maxRssKiB_ = usage.ru_maxrss;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // The child's peak resident set, once Wait has reaped it.
    long MaxRssKiB() const { return maxRssKiB_; }
    const std::string& Stdout() const { return text_[0]; }
    const std::string& Stderr() const { return text_[1]; }

  private:
    // One poll round over the output pipes, at most until `deadline`; false once
    // both have ended or the time is up.
    bool Pump(Clock::time_point deadline) {
        if ((fds_[0] < 0 && fds_[1] < 0) || MsUntil(deadline) == 0)
            return false;
        pollfd polled[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
        int ready = ::poll(polled, 2, MsUntil(deadline));
        if (ready <= 0)
            return ready < 0 && errno == EINTR;
        for (int i = 0; i < 2; ++i) {
            if (polled[i].revents == 0)
                continue;
            char buffer[4096];
            ssize_t n = ::read(fds_[i], buffer, sizeof buffer);
            if (n > 0) {
                text_[i].append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds_[i]);
                fds_[i] = -1;
            }
        }
        return true;
    }

    pid_t pid_ = -1;
    long maxRssKiB_ = 0;
    int stdin_ = -1;
    int fds_[2] = {-1, -1}; // stdout, stderr
    std::string text_[2];
};

std::string TempPath(const std::string& name) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/korvaxsim-" + std::to_string(::getpid()) +
           "-" + name;
}

// The pseudo-terminal's path, once the pty session has printed it; "" if it has not.
std::string PtyPath(ChildProcess& child) {
    auto path = child.WaitForLine("pty: /dev/", ReplyLimit);
    return path ? "/dev/" + *path : std::string();
}

// SIGTERM ends the session cleanly: close, unplug, unload, summary, status 0.
void ExpectCleanEndOnSigterm(ChildProcess& child) {
    child.Signal(SIGTERM);
    auto status = child.Wait(DemoLimit);
    ASSERT_TRUE(status) << child.Stdout();
    EXPECT_EQ(*status, 0) << child.Stderr();
}

// Reads `fd` into `received` until it holds `text`, the file ends or the time is up.
bool ReadUntil(int fd, std::string& received, const std::string& text,
               std::chrono::milliseconds limit) {
    for (auto deadline = Clock::now() + limit;
         received.find(text) == std::string::npos && MsUntil(deadline) > 0;) {
        pollfd polled{fd, POLLIN, 0};
        if (::poll(&polled, 1, MsUntil(deadline)) <= 0)
            continue;
        char buffer[512];
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0)
            break;
        if (n > 0)
            received.append(buffer, static_cast<size_t>(n));
    }
    return received.find(text) != std::string::npos;
}

// The terminal side of korvaxsim pty, opened as any serial program opens one.
class Terminal {
  public:
    explicit Terminal(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0)
            return;
        termios settings{};
        ::tcgetattr(fd_, &settings);
        ::cfmakeraw(&settings);
        ::cfsetspeed(&settings, B115200);
        ::tcsetattr(fd_, TCSANOW, &settings);
    }
    ~Terminal() {
        if (fd_ >= 0)
            ::close(fd_);
    }

    bool Open() const { return fd_ >= 0; }
    bool Write(const std::string& text) {
        return ::write(fd_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }
    // Reads until `text` has arrived or the time is up; returns all that came.
    std::string ReadUntil(const std::string& text, std::chrono::milliseconds limit) {
        tools_test::ReadUntil(fd_, received_, text, limit);
        return received_;
    }
    // A new speed, and `flags` set in c_cflag.
    bool SetLine(speed_t speed, tcflag_t flags) {
        termios settings{};
        if (::tcgetattr(fd_, &settings) != 0)
            return false;
        ::cfsetspeed(&settings, speed);
        settings.c_cflag |= flags;
        return ::tcsetattr(fd_, TCSANOW, &settings) == 0;
    }

    int Fd() const { return fd_; }

  private:
    int fd_ = -1;
    std::string received_;
};

// Resident memory under a sanitizer counts its shadow memory and its quarantine of
// freed blocks, which grow with the traffic whatever the program keeps: the memory
// tests run in the builds without one (default, release, hosted-x86).
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define KORVAX_MEASURES_RSS 1

// VmRSS of a process in KiB; 0 when it cannot be read.
long ResidentKiB(pid_t pid) {
    FILE* file = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    if (file == nullptr)
        return 0;
    char line[256];
    long kib = 0;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (std::sscanf(line, "VmRSS: %ld kB", &kib) == 1)
            break;
    }
    std::fclose(file);
    return kib;
}
#endif

// The bytes the capture shows going out on bulk-out, in order.
std::string BulkOutText(const sim::CaptureFile& file) {
    std::string text;
    for (const sim::CapturedPacket& packet : file.packets) {
        if (packet.transfer == sim::UsbPcapTransferBulk && !packet.FromDevice())
            text.append(packet.data.begin(), packet.data.end());
    }
    return text;
}

// The capture is written as the traffic happens: a session killed without warning
// leaves a file readable up to the kill, so it is readable while the session runs.
TEST(Pty, APlainProgramTalksAtCommandsThroughThePseudoTerminalAndTheCaptureKeepsUp) {
    std::string capture = TempPath("pty.pcap");
    ChildProcess child(Program, {"pty", "--capture", capture});
    Terminal terminal(PtyPath(child));
    ASSERT_TRUE(terminal.Open()) << child.Stdout() << child.Stderr();

    ASSERT_TRUE(terminal.Write("AT\r"));
    EXPECT_EQ(terminal.ReadUntil("OK\r\n", ReplyLimit), "AT\r\r\nOK\r\n");
    auto file = sim::ReadCapture(capture);
    ASSERT_TRUE(file) << capture;
    EXPECT_EQ(BulkOutText(*file), "AT\r");

    // A new speed and stop bits on the terminal become SetCommState.
    ASSERT_TRUE(terminal.SetLine(B9600, CSTOPB));
    EXPECT_TRUE(child.WaitForLine("pty: line set to 9600 8N2", ReplyLimit)) << child.Stdout();

    // SIGTERM ends the session cleanly: close, unplug, unload, summary.
    ExpectCleanEndOnSigterm(child);
    EXPECT_NE(child.Stdout().find("verifier   0 finding(s)"), std::string::npos) << child.Stdout();
    EXPECT_NE(child.Stdout().find("0 bytes in 0 block(s)"), std::string::npos) << child.Stdout();
    EXPECT_NE(child.Stdout().find("UNLOADED"), std::string::npos);
    std::remove(capture.c_str());
}

// XON/XOFF on the terminal acts as on a plain pty: with IXON set, an XOFF that
// arrives stops the program's output and does not reach it as data; restarting
// the output (tcflow TCOON, or an XON arriving) lets the writes go on.
TEST(Pty, AnArrivingXoffStopsTheProgramsOutputAsOnAPlainPty) {
    ChildProcess child(Program, {"pty", "--echo", "--quiet"});
    Terminal terminal(PtyPath(child));
    ASSERT_TRUE(terminal.Open()) << child.Stdout() << child.Stderr();
    termios settings{};
    ASSERT_EQ(::tcgetattr(terminal.Fd(), &settings), 0);
    settings.c_iflag |= IXON;
    ASSERT_EQ(::tcsetattr(terminal.Fd(), TCSANOW, &settings), 0);
    ASSERT_TRUE(child.WaitForLine("pty: line set to 115200 8N1 XON/XOFF (out)", ReplyLimit))
        << child.Stdout();

    // The modem echoes XOFF, then "hello": once "hello" is back, the XOFF has been seen.
    ASSERT_TRUE(terminal.Write("\x13hello"));
    EXPECT_EQ(terminal.ReadUntil("hello", ReplyLimit), "hello") << "XOFF reached the program";
    pollfd out{terminal.Fd(), POLLOUT, 0};
    EXPECT_EQ(::poll(&out, 1, 0), 0) << "the terminal's output was not stopped";
    EXPECT_FALSE(terminal.Write("x")) << "a write went out while stopped";

    ASSERT_EQ(::tcflow(terminal.Fd(), TCOON), 0);
    ASSERT_TRUE(terminal.Write("\x11world")); // the echoed XON is no data either
    EXPECT_EQ(terminal.ReadUntil("world", ReplyLimit), "helloworld");

    ExpectCleanEndOnSigterm(child);
}

#ifdef KORVAX_MEASURES_RSS
// A program that writes to the echoing modem and does not read is held back as on a
// plain pty: the modem NAKs once its buffer is full, the driver's write waits, and
// the program's write blocks. Memory stays flat however long it goes on (here for
// three seconds, where an unbounded echo grows by hundreds of MiB), and when the
// program reads again, every byte comes back in order.
TEST(Pty, AWriterWithoutAReaderIsHeldBackInFlatMemoryAndLosesNothing) {
    ChildProcess child(Program, {"pty", "--echo", "--quiet"});
    Terminal terminal(PtyPath(child));
    ASSERT_TRUE(terminal.Open()) << child.Stdout() << child.Stderr();
    long before = ResidentKiB(child.Pid());

    auto byteAt = [](uint64_t at) { return static_cast<char>(at * 7 % 251); };
    uint64_t sent = 0;
    std::string chunk(4096, '\0');
    for (auto end = Clock::now() + 3s; Clock::now() < end;) {
        pollfd fd{terminal.Fd(), POLLOUT, 0};
        if (::poll(&fd, 1, 100) <= 0)
            continue;
        for (size_t i = 0; i < chunk.size(); ++i)
            chunk[i] = byteAt(sent + i);
        ssize_t n = ::write(terminal.Fd(), chunk.data(), chunk.size());
        if (n > 0)
            sent += static_cast<uint64_t>(n);
    }
    long after = ResidentKiB(child.Pid());
    EXPECT_LT(after - before, 16 * 1024)
        << "RSS " << before << " kB before, " << after << " kB after " << sent << " bytes unread";
    EXPECT_LT(sent, 64u << 20) << "the writer was not held back";

    uint64_t got = 0, wrong = 0;
    for (auto end = Clock::now() + 20s; got < sent && Clock::now() < end;) {
        pollfd fd{terminal.Fd(), POLLIN, 0};
        if (::poll(&fd, 1, MsUntil(end)) <= 0)
            continue;
        char buffer[65536];
        ssize_t n = ::read(terminal.Fd(), buffer, sizeof buffer);
        for (ssize_t i = 0; i < n; ++i)
            wrong += buffer[i] != byteAt(got + static_cast<uint64_t>(i));
        got += n > 0 ? static_cast<uint64_t>(n) : 0;
    }
    EXPECT_EQ(got, sent);
    EXPECT_EQ(wrong, 0u);

    ExpectCleanEndOnSigterm(child);
}
#endif

// `korvaxsim pty &` from an interactive shell: a job in the background of the
// terminal on its stdin. Input typed at that terminal belongs to the shell; the job
// must neither take it nor be stopped for trying (SIGTTIN), and a signal ends it at
// once. The shell here is a session leader that owns the terminal and waits.
TEST(Pty, InTheBackgroundOfATerminalItKeepsServingAndEndsOnASignal) {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    char name[128];
    ASSERT_TRUE(::grantpt(master) == 0 && ::unlockpt(master) == 0 &&
                ::ptsname_r(master, name, sizeof name) == 0);
    int out[2], ids[2];
    ASSERT_TRUE(::pipe2(out, O_CLOEXEC) == 0 && ::pipe2(ids, O_CLOEXEC) == 0);
    pid_t shell = ::fork();
    if (shell == 0) {
        // Only async-signal-safe calls from here to exec.
        ::setsid();
        int tty = ::open(name, O_RDWR); // the session's controlling terminal
        pid_t job = ::fork();
        if (job == 0) {
            ::setpgid(0, 0); // a process group of its own: not the foreground one
            ::dup2(tty, STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(out[1], STDERR_FILENO);
            ::execl(Program.c_str(), "korvaxsim", "pty", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::setpgid(job, job);
        [[maybe_unused]] ssize_t n = ::write(ids[1], &job, sizeof job);
        int status = 0;
        ::waitpid(job, &status, 0);
        ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
    ::close(out[1]);
    ::close(ids[1]);
    pid_t job = -1;
    ASSERT_GT(shell, 1);
    ASSERT_EQ(::read(ids[0], &job, sizeof job), static_cast<ssize_t>(sizeof job));
    ::close(ids[0]);
    ASSERT_GT(job, 1);
    struct Cleanup {
        pid_t job, shell;
        int master, out;
        ~Cleanup() {
            // Never a pid of 0 or -1 here: those would reach other processes.
            if (job > 1)
                ::kill(-job, SIGKILL);
            if (shell > 1) {
                ::kill(shell, SIGKILL);
                ::waitpid(shell, nullptr, 0);
            }
            ::close(master);
            ::close(out);
        }
    } cleanup{job, shell, master, out[0]};

    std::string text;
    auto readUntil = [&](const std::string& wanted, std::chrono::milliseconds limit) {
        return ReadUntil(out[0], text, wanted, limit);
    };
    ASSERT_TRUE(readUntil("Ctrl-C to stop\n", ReplyLimit)) << text;
    // A line typed at the shell's terminal.
    ASSERT_EQ(::write(master, "status\n", 7), 7);
    size_t start = text.find("pty: /dev/") + 5;
    Terminal terminal(text.substr(start, text.find('\n', start) - start));
    ASSERT_TRUE(terminal.Open()) << text;
    ASSERT_TRUE(terminal.Write("AT\r"));
    EXPECT_EQ(terminal.ReadUntil("OK\r\n", ReplyLimit), "AT\r\r\nOK\r\n") << text;
    EXPECT_EQ(text.find("receive queue"), std::string::npos) << "the shell's input was taken";

    ASSERT_GT(job, 1);
    ::kill(job, SIGTERM);
    EXPECT_TRUE(readUntil("UNLOADED", ReplyLimit)) << text;
    int status = -1;
    for (auto end = Clock::now() + ReplyLimit; Clock::now() < end;) {
        if (::waitpid(shell, &status, WNOHANG) == shell)
            break;
        pollfd none{-1, 0, 0};
        ::poll(&none, 1, 50);
    }
    ASSERT_TRUE(WIFEXITED(status)) << "the job did not end on SIGTERM: " << text;
    EXPECT_EQ(WEXITSTATUS(status), 0) << text;
    cleanup.shell = 0; // reaped
}

// A capture whose write fails while the session runs (here the file reaches the
// process's file size limit, as a full disk would stop it) ends the session at
// once, with the file and the errno, and status 1.
TEST(Pty, ACaptureWriteThatFailsMidSessionEndsItAtOnceWithTheErrno) {
    std::string capture = TempPath("limited.pcap");
    // The child inherits the limit, and SIGXFSZ ignored, so its write fails with EFBIG.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = 64 * 1024;
    auto savedSignal = ::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    ChildProcess child(Program, {"pty", "--echo", "--quiet", "--capture", capture});
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, savedSignal);
    Terminal terminal(PtyPath(child));
    ASSERT_TRUE(terminal.Open()) << child.Stdout() << child.Stderr();

    // 256 KiB echoed: some four times what the file may hold.
    std::string chunk(4096, 'k');
    for (int i = 0; i < 64; ++i) {
        pollfd fd{terminal.Fd(), POLLOUT, 0};
        if (::poll(&fd, 1, 1000) <= 0 || ::write(terminal.Fd(), chunk.data(), chunk.size()) <= 0)
            break; // the session has ended
        terminal.ReadUntil(std::string(1, '\x01'), std::chrono::milliseconds(1)); // drain
    }
    auto status = child.Wait(ReplyLimit);
    ASSERT_TRUE(status) << "the session did not end: " << child.Stdout();
    EXPECT_EQ(*status, 1);
    EXPECT_EQ(child.Stderr(),
              "korvaxsim: " + capture + ": writing the capture failed: File too large (EFBIG)\n");
    std::remove(capture.c_str());
}

TEST(Demo, ASessionEndsCleanAndItsCaptureHoldsTheLineCoding) {
    std::string capture = TempPath("modem.pcap");
    ChildProcess child(Program, {"demo", "--quiet", "--bytes", "65536", "--capture", capture});
    ASSERT_TRUE(child.Started());
    auto status = child.Wait(DemoLimit);
    ASSERT_TRUE(status) << child.Stdout();
    EXPECT_EQ(*status, 0) << child.Stdout() << child.Stderr();
    EXPECT_EQ(child.Stderr(), "");
    EXPECT_NE(child.Stdout().find("result: PASS"), std::string::npos) << child.Stdout();
    EXPECT_NE(child.Stdout().find("read 65"), std::string::npos) << child.Stdout();

    auto file = sim::ReadCapture(capture);
    ASSERT_TRUE(file) << capture;
    EXPECT_EQ(file->linkType, sim::PcapLinkTypeUsbPcap);
    // 115200 bits per second, 1 stop bit, no parity, 8 data bits.
    const std::vector<uint8_t> coding = {0x00, 0xC2, 0x01, 0x00, 0x00, 0x00, 0x08};
    bool found = false;
    for (const sim::CapturedPacket& packet : file->packets) {
        found |= packet.transfer == sim::UsbPcapTransferControl &&
                 packet.stage == sim::UsbPcapStageData && !packet.FromDevice() &&
                 packet.data == coding;
    }
    EXPECT_TRUE(found) << "no SET_LINE_CODING 00 C2 01 00 00 00 08 in " << capture;
    // The data phase and the AT commands went out on bulk-out.
    EXPECT_GT(BulkOutText(*file).size(), 65536u);

    std::remove(capture.c_str());
}

#ifdef KORVAX_MEASURES_RSS
// The data phase makes its bytes from the seed as it goes: 6 MiB through the echo
// take no more memory than 256 KiB do (holding the payload would take 6 MiB more).
// Compared with a short session rather than with a fixed size.
TEST(Demo, ALargeDataPhaseRunsInFlatMemory) {
    long peak[2] = {0, 0};
    const char* sizes[2] = {"256K", "6M"};
    for (int i = 0; i < 2; ++i) {
        ChildProcess child(Program, {"demo", "--quiet", "--bytes", sizes[i]});
        ASSERT_TRUE(child.Started());
        auto status = child.Wait(DemoLimit);
        ASSERT_TRUE(status) << sizes[i] << ": " << child.Stdout();
        EXPECT_EQ(*status, 0) << child.Stderr();
        EXPECT_NE(child.Stdout().find("result: PASS"), std::string::npos) << child.Stdout();
        peak[i] = child.MaxRssKiB();
    }
    EXPECT_LT(peak[1] - peak[0], 3 * 1024)
        << "peak RSS " << peak[0] << " kB for 256 KiB, " << peak[1] << " kB for 6 MiB";
}
#endif

// Messages as command-line tools give them: a usage mistake is one line, a pointer
// to --help and status 2; a failure at run time (a user's mistake with the port or
// the capture, a modem pulled out, a script's unknown command) is one line and
// status 1, before the session starts where it can be known then.
TEST(Korvaxsim, MessagesFollowTheCommandLineConventions) {
    const std::string tryHelp = "Try 'korvaxsim --help'.\n";
    // The read in flight is aborted (ERROR_OPERATION_ABORTED), or a request sent
    // after the removal is refused (ERROR_ACCESS_DENIED): which comes first is timing.
    const std::string unplugged = "korvaxsim: COM5: the modem was unplugged (";
    const std::string badCapture = "/nonexistent-korvax-dir/modem.pcap";
    const std::string noSpace = ": writing the capture failed: No space left on device (ENOSPC)\n";
    struct Case {
        std::vector<std::string> args;
        std::string input; // on stdin
        int status;
        std::string error; // stderr; with `prefix`, how it starts (one line)
        bool prefix = false;
        std::string output = "-"; // something stdout shows; "-" for nothing at all
    };
    const Case cases[] = {
        {{}, "", 2, "korvaxsim: no mode given\n" + tryHelp},
        {{"demo", "--bogus"}, "", 2, "korvaxsim: unknown option '--bogus'\n" + tryHelp},
        {{"--bogus"}, "", 2, "korvaxsim: unknown option '--bogus'\n" + tryHelp},
        {{"pty", "--capture", ""}, "", 2, "korvaxsim: --capture needs a file name\n" + tryHelp},
        {{"term", "--bytes", "4M"}, "", 2, "korvaxsim: --bytes is an option of demo\n" + tryHelp},
        {{"pty", "--port"}, "", 2, "korvaxsim: --port needs a value\n" + tryHelp},
        {{"--help"}, "", 0, "", false, "usage: korvaxsim demo"},
        {{"demo", "--quiet", "--port", "COM7"},
         "",
         1,
         "korvaxsim: COM7: no such port (ERROR_FILE_NOT_FOUND)\n"},
        {{"demo", "--quiet", "--other-app"},
         "",
         1,
         "korvaxsim: COM5: the port is already open in another application "
         "(ERROR_ACCESS_DENIED)\n"},
        {{"pty", "--capture", badCapture},
         "",
         1,
         "korvaxsim: " + badCapture +
             ": cannot write the capture: No such file or directory (ENOENT)\n"},
        {{"demo", "--quiet", "--capture", "/tmp"},
         "",
         1,
         "korvaxsim: /tmp: cannot write the capture: Is a directory (EISDIR)\n"},
        // The file opens, and its first write fails: before the session starts.
        {{"term", "--quiet", "--capture", "/dev/full"},
         "AT\n",
         1,
         "korvaxsim: /dev/full" + noSpace},
        {{"demo", "--quiet", "--capture", "/dev/full"}, "", 1, "korvaxsim: /dev/full" + noSpace},
        {{"demo", "--quiet", "--bytes", "256K", "--unplug-midway"}, "", 1, unplugged, true},
        {{"pty", "--quiet"}, "unplug\n", 1, unplugged, true, ""},
        {{"term", "--quiet"}, "ATZ\n~wait OK\n~unplug\n", 1, unplugged, true, ""},
        {{"term", "--quiet"},
         "AT\n~bogus\n",
         1,
         "korvaxsim: unknown command '~bogus' (~help lists them)\n",
         false,
         ""},
        {{"pty", "--quiet"}, "status\nquit\n", 0, "", false, "transmit queue 0, errors 0x0\n"},
        // What the modem sees, as term's status shows it; --quiet keeps the summary.
        {{"pty", "--quiet"},
         "status\nquit\n",
         0,
         "",
         false,
         "pty: modem: command mode, carrier off, DSR on, sees DTR on RTS on\n"},
        {{"term", "--quiet"}, "AT\n~wait OK\n~quit\n", 0, "", false, "verifier   0 finding(s)"},
    };
    for (const auto& c : cases) {
        ChildProcess child(Program, c.args);
        ASSERT_TRUE(child.Started());
        child.WriteStdin(c.input);
        auto status = child.Wait(DemoLimit);
        std::string name = c.args.empty() ? "(none)" : c.args[0] + " " + c.input;
        ASSERT_TRUE(status) << name << ": " << child.Stdout();
        EXPECT_EQ(*status, c.status) << name << ": " << child.Stderr();
        if (c.prefix) {
            EXPECT_EQ(child.Stderr().rfind(c.error, 0), 0u) << child.Stderr();
            EXPECT_EQ(std::count(child.Stderr().begin(), child.Stderr().end(), '\n'), 1)
                << child.Stderr();
        } else {
            EXPECT_EQ(child.Stderr(), c.error) << name;
        }
        if (c.output == "-")
            EXPECT_EQ(child.Stdout(), "") << name;
        else
            EXPECT_NE(child.Stdout().find(c.output), std::string::npos) << name << child.Stdout();
    }
}

// Ctrl-C (SIGINT) during a scripted ~wait ends the session at once, as it does
// anywhere else, instead of after the wait's 10 s.
TEST(Term, CtrlCDuringAWaitEndsTheSessionAtOnce) {
    ChildProcess child(Program, {"term", "--quiet"});
    ASSERT_TRUE(child.Started());
    child.WriteStdin("AT\n~wait NEVER\n");
    // The answer to AT is in: the line before the wait has run.
    ASSERT_TRUE(child.WaitForLine("OK", ReplyLimit)) << child.Stdout();
    auto signalled = Clock::now();
    child.Signal(SIGINT);
    auto status = child.Wait(ReplyLimit);
    ASSERT_TRUE(status) << child.Stdout();
    EXPECT_LT(Clock::now() - signalled, 5s) << "the wait ran to its limit";
    EXPECT_EQ(child.Stderr(), "");
    EXPECT_EQ(*status, 0);
}

TEST(Term, AScriptedSessionDialsAndHangsUp) {
    std::string capture = TempPath("term.pcap");
    ChildProcess child(Program, {"term", "--quiet", "--capture", capture});
    ASSERT_TRUE(child.Started());
    child.WriteStdin("AT\n~wait OK\nATD#777\n~wait CONNECT\n~status\n~escape\n~wait OK\nATH\n"
                     "~wait OK\n~quit\n");
    auto status = child.Wait(DemoLimit);
    ASSERT_TRUE(status) << child.Stdout();
    EXPECT_EQ(*status, 0) << child.Stderr();
    const std::string& out = child.Stdout();
    EXPECT_NE(out.find("AT\r\r\nOK\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("CONNECT 3100000"), std::string::npos) << out;
    // The carrier comes on the interrupt pipe and CONNECT on bulk-in: the status may be
    // taken before the driver has seen the carrier, so only the modem's side of it is sure.
    EXPECT_NE(out.find("lines in: CTS DSR"), std::string::npos) << out;
    EXPECT_NE(out.find("modem: in a call (data), carrier on"), std::string::npos) << out;
    EXPECT_NE(out.find("+++\r\nOK\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("ATH\r\r\nOK\r\n"), std::string::npos) << out;
    auto file = sim::ReadCapture(capture);
    ASSERT_TRUE(file) << capture;
    EXPECT_EQ(BulkOutText(*file), "AT\rATD#777\r+++ATH\r");
    std::remove(capture.c_str());
}

} // namespace
} // namespace tools_test
