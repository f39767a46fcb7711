// The driver's own cost per 4096-byte packet, without thread hand-offs: the kernel
// runs no DPC threads (KernelOptions::inlineDispatch) and the bus completes what it
// can in the submitter's call, so a read or write and every DPC and completion
// behind it run on the benchmark's thread. Beside it, two memcpy of the packet
// (into a ring and out of it), the floor of any path that buffers data. Unlike
// the pty-pair comparison, this does not swing with the machine's scheduler.
#include "bench_support.h"

#include <thread>

namespace {

using namespace win32;

constexpr size_t Packet = 4096;

// COM5 open for overlapped I/O with the sink device behind it, on a kernel whose
// dispatch-level work runs when this thread drains it. Setting up and taking down
// need the work to run while this thread waits in the driver, so a helper thread
// drains then.
class InlineWorld {
  public:
    explicit InlineWorld(USHORT maxPacket) {
        sim::WorldOptions options = bench::RealClockWorld();
        options.kernel.inlineDispatch = true;
        sim::PdoOptions pdo;
        pdo.synchronousCompletion = true;
        pdo.bulkMaxPacket = maxPacket;
        Pumping pump(*this);
        world_.emplace(options);
        sim::PlugOptions plug;
        plug.function = std::make_shared<bench::SinkDevice>();
        plug.pdo = pdo;
        pdo_ = &world_->Plug(plug).Pdo();
        port_ = CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
        COMMTIMEOUTS timeouts{0, 0, 0, 0, 0}; // reads wait for their count
        ok_ = port_ != INVALID_HANDLE_VALUE && SetCommTimeouts(port_, &timeouts);
        event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ~InlineWorld() {
        Pumping pump(*this);
        if (event_ != nullptr)
            CloseHandle(event_);
        if (port_ != INVALID_HANDLE_VALUE)
            CloseHandle(port_);
        world_.reset();
    }

    bool Ok() const { return ok_; }
    sim::ModemPdo& Pdo() { return *pdo_; }

    // One overlapped request of `size` bytes run to its end on this thread.
    bool Transfer(bool read, uint8_t* buffer, size_t size) {
        size_t done = 0;
        while (done < size) {
            OVERLAPPED overlapped{};
            overlapped.hEvent = event_;
            ResetEvent(event_);
            DWORD moved = 0;
            BOOL ok =
                read ? ReadFile(port_, buffer + done, DWORD(size - done), &moved, &overlapped)
                     : WriteFile(port_, buffer + done, DWORD(size - done), &moved, &overlapped);
            if (!ok && GetLastError() != ERROR_IO_PENDING)
                return false;
            kx::DrainDispatchQueue();
            if (!GetOverlappedResult(port_, &overlapped, &moved, FALSE))
                return false;
            done += moved;
        }
        return true;
    }

  private:
    // Drains the dispatch queue from a thread of its own while it lives.
    class Pumping {
      public:
        explicit Pumping(InlineWorld&)
            : thread_([this] {
                  while (!stop_.load()) {
                      kx::DrainDispatchQueue();
                      std::this_thread::sleep_for(std::chrono::microseconds(200));
                  }
              }) {}
        ~Pumping() {
            stop_.store(true);
            thread_.join();
        }

      private:
        std::atomic<bool> stop_{false};
        std::thread thread_;
    };

    std::optional<sim::World> world_;
    sim::ModemPdo* pdo_ = nullptr;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    HANDLE event_ = nullptr;
    bool ok_ = false;
};

// Arg: the bulk endpoints' maximum packet size.
void DriverReceiveInline(benchmark::State& state) {
    InlineWorld world(static_cast<USHORT>(state.range(0)));
    if (!world.Ok()) {
        state.SkipWithError("the port did not open");
        return;
    }
    std::vector<uint8_t> packet(Packet, 0x5A), buffer(Packet);
    for (auto _ : state) {
        world.Pdo().SendBulkIn(packet);
        if (!world.Transfer(true, buffer.data(), Packet)) {
            state.SkipWithError("ReadFile failed");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * Packet);
}
BENCHMARK(DriverReceiveInline)->Arg(64)->Arg(512)->MinTime(1.0)->UseRealTime();

void DriverWriteInline(benchmark::State& state) {
    InlineWorld world(static_cast<USHORT>(state.range(0)));
    if (!world.Ok()) {
        state.SkipWithError("the port did not open");
        return;
    }
    std::vector<uint8_t> packet(Packet, 0xA5);
    for (auto _ : state) {
        if (!world.Transfer(false, packet.data(), Packet)) {
            state.SkipWithError("WriteFile failed");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * Packet);
}
BENCHMARK(DriverWriteInline)->Arg(64)->Arg(512)->MinTime(1.0)->UseRealTime();

void PacketTwoCopies(benchmark::State& state) {
    std::vector<uint8_t> packet(Packet, 0x5A), buffer(Packet);
    bench::CopyFloor floor(Packet);
    for (auto _ : state)
        floor.Move(packet.data(), buffer.data());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * Packet);
}
BENCHMARK(PacketTwoCopies)->MinTime(1.0)->UseRealTime();

} // namespace
