// The receive path: 4096-byte transfers from the simulated bus through the
// driver's receive engine and ring to an application reading them with ReadFile,
// beside two memcpy copies of the same bytes (the floor) and the same stream
// through a Linux pseudo-terminal pair.
#include "bench_support.h"

namespace {

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
    for (auto _ : state) {
        world.Pdo().SendBulkIn(packet);
        DWORD read = 0;
        if (!ReadFile(world.Port(), buffer.data(), Packet, &read, nullptr) || read != Packet) {
            state.SkipWithError("ReadFile came back short");
            return;
        }
    }
    for (int i = 0; i < Ahead; ++i) {
        DWORD read = 0;
        ReadFile(world.Port(), buffer.data(), Packet, &read, nullptr);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * Packet);
}
BENCHMARK(ReceiveThroughDriver)->Arg(64)->Arg(512)->MinTime(1.0);

void ReceiveTwoCopies(benchmark::State& state) {
    std::vector<uint8_t> packet(Packet, 0x5A), buffer(Packet);
    bench::CopyFloor floor(Packet);
    for (auto _ : state)
        floor.Move(packet.data(), buffer.data());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * Packet);
}
BENCHMARK(ReceiveTwoCopies)->MinTime(1.0);

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
BENCHMARK(ReceiveThroughPty)->MinTime(1.0);

} // namespace
