// The receiving half of an interactive session: a thread that keeps a read
// outstanding on the port and hands whatever arrives to the session. A failed
// read ends it; the failure is kept and the session's poll loop woken.
#pragma once

#include "port.h"
#include "posix.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace korvaxsim {

class Receiver {
  public:
    // Called on the receiver's thread with each batch of bytes.
    using Deliver = std::function<void(const uint8_t* data, size_t size)>;

    // The port's read wait bounds how long Stop takes.
    Receiver(Port& port, Deliver deliver, const WakePipe& wake);
    ~Receiver();
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    // Asks the thread to end and waits for it.
    void Stop();
    bool Stopping() const { return stopping_.load(); }
    // Why the thread ended on its own, if it did.
    std::optional<std::string> Failed() const;

  private:
    void Run();

    Port& port_;
    Deliver deliver_;
    const WakePipe& wake_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::optional<std::string> failure_;
    std::thread thread_;
};

} // namespace korvaxsim
