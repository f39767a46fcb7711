// An ordinary program's view of `korvaxsim pty --echo`: it writes 64 KiB to the
// terminal in 4096-byte pieces and reads every byte back, beside the same client on
// a plain pseudo-terminal whose master side echoes what it reads (the floor of any
// pty bridge). The client writes what fits and reads what has arrived, so the
// bridge's stages overlap as they do under pyserial or cat.
#include "bench_support.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <string>
#include <thread>

extern char** environ;

namespace {

constexpr size_t Burst = 64 * 1024;
constexpr size_t Piece = 4096;

// Writes `size` bytes to the terminal in pieces and reads them back; false on an
// error or a stall of a second.
bool Echo(int fd, const uint8_t* data, uint8_t* buffer, size_t size) {
    size_t written = 0, read = 0;
    while (read < size) {
        if (written < size) {
            ssize_t n = ::write(fd, data + written, std::min(Piece, size - written));
            if (n > 0)
                written += static_cast<size_t>(n);
            else if (n < 0 && errno != EAGAIN)
                return false;
        }
        ssize_t n = ::read(fd, buffer + read, size - read);
        if (n > 0) {
            read += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN)
            return false;
        pollfd fds{fd, static_cast<short>(POLLIN | (written < size ? POLLOUT : 0)), 0};
        if (::poll(&fds, 1, 1000) <= 0)
            return false;
    }
    return std::memcmp(data, buffer, size) == 0;
}

int OpenRawTerminal(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    termios settings{};
    ::tcgetattr(fd, &settings);
    ::cfmakeraw(&settings);
    ::cfsetspeed(&settings, B115200);
    ::tcsetattr(fd, TCSANOW, &settings);
    return fd;
}

void Run(benchmark::State& state, int fd) {
    std::vector<uint8_t> data(Burst), buffer(Burst);
    for (size_t i = 0; i < Burst; ++i)
        data[i] = static_cast<uint8_t>(i * 7 + (i >> 12));
    for (auto _ : state) {
        if (!Echo(fd, data.data(), buffer.data(), Burst)) {
            state.SkipWithError("the echo stalled or came back wrong");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * Burst);
}

// `korvaxsim pty --echo --quiet`, started as a user starts it; SIGTERM at the end.
class KorvaxsimPty {
  public:
    KorvaxsimPty() {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        const char* argv[] = {KORVAXSIM_PATH, "pty", "--echo", "--quiet", nullptr};
        if (posix_spawn(&pid_, KORVAXSIM_PATH, &actions, nullptr, const_cast<char**>(argv),
                        environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        out_ = out[0];
        // The first line is the terminal's path.
        std::string line;
        char c;
        while (pid_ > 0 && ::read(out_, &c, 1) == 1 && c != '\n')
            line += c;
        if (line.rfind("pty: /dev/", 0) == 0)
            fd_ = OpenRawTerminal(line.substr(5));
    }
    ~KorvaxsimPty() {
        if (fd_ >= 0)
            ::close(fd_);
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            ::close(out_);
    }
    int Terminal() const { return fd_; }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    int fd_ = -1;
};

void EchoThroughKorvaxsim(benchmark::State& state) {
    KorvaxsimPty korvaxsim;
    if (korvaxsim.Terminal() < 0) {
        state.SkipWithError("korvaxsim pty did not start");
        return;
    }
    Run(state, korvaxsim.Terminal());
}
BENCHMARK(EchoThroughKorvaxsim)->MinTime(2.0)->UseRealTime();

// A plain pseudo-terminal: a thread echoes what the master reads.
void EchoThroughPlainPty(benchmark::State& state) {
    bench::PtyPair pty;
    if (!pty.Ok()) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    std::atomic<bool> stop{false};
    std::thread echo([&] {
        std::vector<uint8_t> buffer(Piece);
        while (!stop.load()) {
            ssize_t n = ::read(pty.Master(), buffer.data(), buffer.size());
            if (n <= 0) {
                pollfd fd{pty.Master(), POLLIN, 0};
                ::poll(&fd, 1, 100);
                continue;
            }
            for (ssize_t done = 0; done < n && !stop.load();) {
                ssize_t w = ::write(pty.Master(), buffer.data() + done, n - done);
                if (w > 0) {
                    done += w;
                } else {
                    pollfd fd{pty.Master(), POLLOUT, 0};
                    ::poll(&fd, 1, 100);
                }
            }
        }
    });
    Run(state, pty.Slave());
    stop.store(true);
    echo.join();
}
BENCHMARK(EchoThroughPlainPty)->MinTime(2.0)->UseRealTime();

} // namespace
