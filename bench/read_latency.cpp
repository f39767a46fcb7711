// Latency from data arriving on the bus to the application's waiting ReadFile
// returning it, beside a bare thread wake-up and back (condition variable ping).
//
// The driver's path has two hand-offs between threads: the device's packet is
// completed by a DPC thread (the bus's completion, the receive engine, the read's
// completion), which then wakes the application thread waiting for its read. The
// floor is therefore a ping to another thread and its answer back.
#include "bench_support.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

using namespace win32;

using Clock = std::chrono::steady_clock;

void ArrivalToReadReturn(benchmark::State& state) {
    bench::PortWorld world(FILE_FLAG_OVERLAPPED);
    // Each read waits for its one byte, however long that takes.
    if (!world.Ok() || !world.SetTimeouts(0, 0, 0)) {
        state.SkipWithError("the port did not open");
        return;
    }
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::vector<uint8_t> byte = {0x42};
    uint8_t buffer = 0;
    // Starts a read; true when it waits, false when it ended at once (`read` bytes).
    auto startRead = [&](OVERLAPPED& overlapped, DWORD& read) {
        overlapped = OVERLAPPED{};
        overlapped.hEvent = event;
        ResetEvent(event);
        read = 0;
        return !ReadFile(world.Port(), &buffer, 1, &read, &overlapped) &&
               GetLastError() == ERROR_IO_PENDING;
    };
    uint64_t empty = 0;
    for (auto _ : state) {
        OVERLAPPED overlapped;
        DWORD read = 0;
        if (!startRead(overlapped, read)) {
            state.SkipWithError("the read did not wait");
            break;
        }
        auto start = Clock::now();
        world.Pdo().SendBulkIn(byte);
        // A read the driver ends with no data (see the README) is issued again.
        for (bool waiting = true; waiting;) {
            if (!GetOverlappedResult(world.Port(), &overlapped, &read, TRUE) || read != 0)
                break;
            ++empty;
            waiting = startRead(overlapped, read);
        }
        if (read != 1) {
            state.SkipWithError("the read failed");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    }
    state.counters["empty_reads"] = static_cast<double>(empty);
    CloseHandle(event);
}
BENCHMARK(ArrivalToReadReturn)->UseManualTime()->MinTime(1.0);

void ConditionVariablePingPong(benchmark::State& state) {
    std::mutex mutex;
    std::condition_variable changed;
    uint64_t ping = 0, pong = 0;
    bool stop = false;
    std::thread partner([&] {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return stop || ping != pong; });
            if (stop)
                return;
            pong = ping;
            changed.notify_all();
        }
    });
    for (auto _ : state) {
        auto start = Clock::now();
        std::unique_lock<std::mutex> lock(mutex);
        ++ping;
        changed.notify_all();
        changed.wait(lock, [&] { return pong == ping; });
        lock.unlock();
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
    }
    changed.notify_all();
    partner.join();
}
BENCHMARK(ConditionVariablePingPong)->UseManualTime()->MinTime(1.0);

} // namespace
