// The receive path: 4096-byte transfers from the simulated bus through the
// driver's receive engine and ring to an application reading them with ReadFile,
// beside two memcpy copies of the same bytes (the floor) and the same stream
// through a Linux pseudo-terminal pair.
#include "bench_support.h"

namespace {

using namespace win32;

constexpr size_t Packet = 4096;
// Transfers the device has sent ahead of the reader, so that the bus, the receive
// engine and the reader overlap as they do under a steady stream.
constexpr int Ahead = 4;

// Arg: the bulk endpoints' maximum packet size (64: the modem's full-speed
// endpoints; 512: high speed, fewer packets per transfer on the bus).
void ReceiveThroughDriver(benchmark::State& state) {
    sim::PdoOptions pdo;
    pdo.bulkMaxPacket = static_cast<USHORT>(state.range(0));
    bench::PortWorld world(0, pdo);
    // Each read waits until it has its 4096 bytes.
    if (!world.Ok() || !world.SetTimeouts(0, 0, 0)) {
        state.SkipWithError("the port did not open");
        return;
    }
    std::vector<uint8_t> packet(Packet, 0x5A), buffer(Packet);
    for (int i = 0; i < Ahead; ++i)
        world.Pdo().SendBulkIn(packet);
    // The driver ends a waiting read after each packet with what the ring holds, so
    // an application collects a transfer's bytes over one read or more.
    uint64_t reads = 0;
    auto readPacket = [&] {
        size_t got = 0;
        while (got < Packet) {
            DWORD read = 0;
            if (!ReadFile(world.Port(), buffer.data() + got, static_cast<DWORD>(Packet - got),
                          &read, nullptr))
                return false;
            got += read;
            ++reads;
        }
        return true;
    };
    for (auto _ : state) {
        world.Pdo().SendBulkIn(packet);
        if (!readPacket()) {
            state.SkipWithError("ReadFile failed");
            return;
        }
    }
    state.counters["reads_per_packet"] =
        static_cast<double>(reads) / static_cast<double>(state.iterations());
    for (int i = 0; i < Ahead; ++i)
        readPacket();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * Packet);
}
BENCHMARK(ReceiveThroughDriver)->Arg(64)->Arg(512)->MinTime(1.0)->UseRealTime();

void ReceiveTwoCopies(benchmark::State& state) {
    std::vector<uint8_t> packet(Packet, 0x5A), buffer(Packet);
    bench::CopyFloor floor(Packet);
    for (auto _ : state)
        floor.Move(packet.data(), buffer.data());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * Packet);
}
BENCHMARK(ReceiveTwoCopies)->MinTime(1.0)->UseRealTime();

// The device side writes the master, the application reads the terminal.
void ReceiveThroughPty(benchmark::State& state) {
    bench::PtyPair pty;
    if (!pty.Ok()) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    std::vector<uint8_t> packet(Packet, 0x5A), buffer(Packet);
    for (auto _ : state) {
        if (!bench::MoveThrough(pty.Master(), pty.Slave(), packet.data(), buffer.data(), Packet)) {
            state.SkipWithError("the pseudo-terminal stalled");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * Packet);
}
BENCHMARK(ReceiveThroughPty)->MinTime(1.0)->UseRealTime();

} // namespace
