// Ground shared by the reliability suites: a device behind the PDO that records
// what reached it, a watchdog that turns a hang into a loud failure, the data
// checks (what arrived is what was sent, in order, cut short at most), and the
// knobs read from the environment.
#pragma once

#include <tests/scenario/scenario.h>
#include <tests/support/kernel_time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace reliability {

using korvax_test::Ms;
using korvax_test::Overlapped;
// Acknowledges every class request and takes every bulk-out byte, recording both.
using RecordingDevice = scenario::StandInDevice;

// Aborts the process, naming what it was doing, when it is not disarmed within
// the limit (real time: a hang never advances the manual clock).
class Watchdog {
  public:
    Watchdog(std::string what, std::chrono::seconds limit)
        : what_(std::move(what)), thread_([this, limit] { Watch(limit); }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            done_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

  private:
    void Watch(std::chrono::seconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, limit, [this] { return done_; })) {
            std::fprintf(stderr, "*** WATCHDOG: %s did not end within %lld s\n", what_.c_str(),
                         static_cast<long long>(limit.count()));
            std::fflush(stderr);
            std::abort();
        }
    }

    std::string what_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool done_ = false;
    std::thread thread_;
};

inline bool IsPrefix(const std::vector<uint8_t>& prefix, const std::vector<uint8_t>& of) {
    return prefix.size() <= of.size() && std::equal(prefix.begin(), prefix.end(), of.begin());
}

// Bytes that went one way, checked against what was sent: each piece taken must
// be the continuation of the stream from where the previous piece ended, unless
// the stream was cut (a fault, a purge), after which a piece may start further on,
// but never earlier, and never be anything the stream does not hold.
class StreamCheck {
  public:
    void Sent(const std::vector<uint8_t>& bytes) {
        sent_.insert(sent_.end(), bytes.begin(), bytes.end());
    }
    // The stream may lose bytes from here on (a purge, a failed transfer).
    void Cut() { cut_ = true; }
    // Returns an empty string when the piece is right, otherwise what is wrong.
    std::string Took(const std::vector<uint8_t>& piece) {
        if (piece.empty())
            return {};
        size_t at = cursor_;
        if (!Matches(piece, at)) {
            if (!cut_)
                return "bytes taken are not the continuation of the stream at offset " +
                       std::to_string(cursor_);
            for (++at; at + piece.size() <= sent_.size() && !Matches(piece, at); ++at) {
            }
            if (at + piece.size() > sent_.size())
                return "bytes taken (" + std::to_string(piece.size()) +
                       ") appear nowhere in the rest of the stream after offset " +
                       std::to_string(cursor_);
        }
        cursor_ = at + piece.size();
        return {};
    }

  private:
    bool Matches(const std::vector<uint8_t>& piece, size_t at) const {
        return at + piece.size() <= sent_.size() &&
               std::equal(piece.begin(), piece.end(), sent_.begin() + static_cast<ptrdiff_t>(at));
    }

    std::vector<uint8_t> sent_;
    size_t cursor_ = 0;
    bool cut_ = false;
};

// A pattern whose bytes do not repeat within 251 bytes, starting at `seed`.
inline std::vector<uint8_t> Pattern(size_t length, unsigned seed) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<uint8_t>((seed + i) % 251);
    return bytes;
}

inline unsigned long EnvNumber(const char* name, unsigned long fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0')
        return fallback;
    return std::strtoul(text, nullptr, 0);
}

} // namespace reliability
