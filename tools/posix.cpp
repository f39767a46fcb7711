#include "posix.h"

#include "port.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace korvaxsim {

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other)
        Reset(other.Release());
    return *this;
}

int FileDescriptor::Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void FileDescriptor::Reset(int fd) {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

WakePipe::WakePipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        throw Failure("cannot make a pipe: " + ErrnoText(errno));
    read_.Reset(fds[0]);
    write_.Reset(fds[1]);
}

void WakePipe::Notify() const {
    int saved = errno; // signal handlers leave errno as they found it
    char byte = 1;
    // A full pipe already wakes the loop.
    [[maybe_unused]] ssize_t n = ::write(write_.Get(), &byte, 1);
    errno = saved;
}

void WakePipe::Drain() const {
    char buffer[64];
    while (::read(read_.Get(), buffer, sizeof buffer) > 0) {
    }
}

namespace {

std::atomic<int> wakeFd{-1};
std::atomic<int> receivedSignal{0};
constexpr int WakeSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction savedActions[3];

void OnSignal(int signal) {
    receivedSignal.store(signal);
    int fd = wakeFd.load();
    if (fd >= 0) {
        int saved = errno;
        char byte = 1;
        [[maybe_unused]] ssize_t n = ::write(fd, &byte, 1);
        errno = saved;
    }
}

} // namespace

SignalWake::SignalWake(const WakePipe& pipe) {
    wakeFd.store(pipe.WriteFd());
    receivedSignal.store(0);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < 3; ++i)
        ::sigaction(WakeSignals[i], &action, &savedActions[i]);
}

SignalWake::~SignalWake() {
    for (size_t i = 0; i < 3; ++i)
        ::sigaction(WakeSignals[i], &savedActions[i], nullptr);
    wakeFd.store(-1);
}

int SignalWake::Received() {
    return receivedSignal.load();
}

RawTerminal::RawTerminal(int fd) : fd_(fd) {
    if (!::isatty(fd) || ::tcgetattr(fd, &saved_) != 0)
        return;
    termios raw = saved_;
    ::cfmakeraw(&raw);
    raw.c_lflag |= ISIG; // Ctrl-C still stops the program
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    active_ = ::tcsetattr(fd, TCSANOW, &raw) == 0;
}

RawTerminal::~RawTerminal() {
    if (active_)
        ::tcsetattr(fd_, TCSANOW, &saved_);
}

bool FileOutput::Drain() {
    for (char* at = pbase(); at < pptr();) {
        ssize_t n = error_ == 0 ? ::write(fd_.Get(), at, static_cast<size_t>(pptr() - at)) : -1;
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (error_ == 0)
                error_ = n < 0 ? errno : EIO;
            Reset();
            return false;
        }
        at += n;
    }
    Reset();
    return true;
}

FileOutput::int_type FileOutput::overflow(int_type c) {
    if (!Drain())
        return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof()))
        sputc(traits_type::to_char_type(c));
    return traits_type::not_eof(c);
}

int FileOutput::sync() {
    return Drain() ? 0 : -1;
}

std::string ErrnoText(int error) {
    // The symbolic name as the C library knows it (ENOSPC, EISDIR, ...).
    const char* name = ::strerrorname_np(error);
    return std::string(std::strerror(error)) +
           (name != nullptr ? std::string(" (") + name + ")" : "");
}

} // namespace korvaxsim
