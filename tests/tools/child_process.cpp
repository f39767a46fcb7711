#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace tools_test {

namespace {

void CloseFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0)
        pid_ = pid;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    stdin_ = in[1];
    stdout_fd_ = out[0];
    stderr_fd_ = err[0];
    // A child that ends early must not take the test down with SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    CloseFd(stdin_);
    CloseFd(stdout_fd_);
    CloseFd(stderr_fd_);
}

void ChildProcess::WriteStdin(const std::string& text) {
    size_t done = 0;
    while (stdin_ >= 0 && done < text.size()) {
        ssize_t n = ::write(stdin_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

void ChildProcess::CloseStdin() {
    CloseFd(stdin_);
}

void ChildProcess::Signal(int signal) {
    if (pid_ > 0)
        ::kill(pid_, signal);
}

bool ChildProcess::Pump(std::chrono::steady_clock::time_point deadline) {
    if (stdout_fd_ < 0 && stderr_fd_ < 0)
        return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0)
        return false;
    pollfd fds[2] = {{stdout_fd_, POLLIN, 0}, {stderr_fd_, POLLIN, 0}};
    int ready = ::poll(fds, 2, static_cast<int>(left.count()));
    if (ready < 0)
        return errno == EINTR;
    if (ready == 0)
        return false;
    int* fd[2] = {&stdout_fd_, &stderr_fd_};
    std::string* text[2] = {&stdout_, &stderr_};
    for (int i = 0; i < 2; ++i) {
        if (fds[i].revents == 0)
            continue;
        char buffer[4096];
        ssize_t n = ::read(*fd[i], buffer, sizeof buffer);
        if (n > 0)
            text[i]->append(buffer, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR)
            CloseFd(*fd[i]);
    }
    return true;
}

bool ChildProcess::WaitForStdout(const std::function<bool(const std::string&)>& done,
                                 std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done(stdout_)) {
        if (!Pump(deadline))
            return done(stdout_);
    }
    return true;
}

std::optional<std::string> ChildProcess::WaitForLine(const std::string& prefix,
                                                     std::chrono::milliseconds limit) {
    std::optional<std::string> found;
    auto search = [&](const std::string& text) {
        size_t start = 0;
        for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
            if (text.compare(start, prefix.size(), prefix) == 0) {
                found = text.substr(start + prefix.size(), end - start - prefix.size());
                return true;
            }
        }
        return false;
    };
    WaitForStdout(search, limit);
    return found;
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (Pump(deadline)) {
    }
    if (pid_ <= 0)
        return std::nullopt;
    if (stdout_fd_ >= 0 || stderr_fd_ >= 0) {
        // Out of time with the child still writing or still running.
        return std::nullopt;
    }
    int status = 0;
    // Both pipes have ended: the child has exited or is about to.
    if (::waitpid(pid_, &status, 0) != pid_)
        return std::nullopt;
    pid_ = -1;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

} // namespace tools_test
