// Occupying both simulated processors, so that a DPC queued meanwhile (a timer that
// fires, a lower driver's completion) stays queued until the test lets it run.
#pragma once

#include <kx/host.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace korvax_test {

// Holds both processors in dispatch work of their own until it is opened.
class ProcessorGate {
  public:
    ProcessorGate() {
        for (int i = 0; i < 2; ++i) {
            kx::QueueAtDispatch([this] {
                std::unique_lock<std::mutex> lock(mutex_);
                ++held_;
                changed_.notify_all();
                changed_.wait(lock, [this] { return open_; });
            });
        }
        std::unique_lock<std::mutex> lock(mutex_);
        closed = changed_.wait_for(lock, std::chrono::seconds(10), [this] { return held_ == 2; });
    }
    ~ProcessorGate() { Open(); }
    ProcessorGate(const ProcessorGate&) = delete;
    ProcessorGate& operator=(const ProcessorGate&) = delete;

    // Lets the processors go and waits for the dispatch work queued meanwhile.
    void Open() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            open_ = true;
        }
        changed_.notify_all();
        kx::DrainDispatchQueue();
    }

    // Both processors are held (false when they did not come within the limit).
    bool closed = false;

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int held_ = 0;
    bool open_ = false;
};

} // namespace korvax_test
