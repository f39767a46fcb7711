// korvaxsim run as a child process, as a user runs it: its stdin, stdout and stderr
// are pipes the test holds. Every wait is bounded and waits on the pipes' readiness
// (poll); a child still running at the end is killed.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tools_test {

class ChildProcess {
  public:
    // Starts `program` with `args`; check Started().
    ChildProcess(const std::string& program, const std::vector<std::string>& args);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return pid_ > 0; }
    void WriteStdin(const std::string& text);
    void CloseStdin();
    void Signal(int signal);

    // Reads until `done` holds for what stdout has produced so far, stdout ends,
    // or the time is up; returns whether `done` held.
    bool WaitForStdout(const std::function<bool(const std::string&)>& done,
                       std::chrono::milliseconds limit);
    // The first line of stdout that starts with `prefix` (without it), waiting for it.
    std::optional<std::string> WaitForLine(const std::string& prefix,
                                           std::chrono::milliseconds limit);
    // Reads both pipes to their end and reaps the child: its exit status, or
    // nullopt when it had not ended in time (it is killed then).
    std::optional<int> Wait(std::chrono::milliseconds limit);

    const std::string& Stdout() const { return stdout_; }
    const std::string& Stderr() const { return stderr_; }

  private:
    // One poll round over the output pipes, at most until `deadline`; false once
    // both have ended or the time is up.
    bool Pump(std::chrono::steady_clock::time_point deadline);

    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_fd_ = -1;
    int stderr_fd_ = -1;
    std::string stdout_;
    std::string stderr_;
};

} // namespace tools_test
