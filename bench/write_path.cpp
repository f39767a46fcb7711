// The write path: an application's 4096-byte WriteFile through the driver's
// transmit engine to the device on the simulated bus, beside two memcpy copies of
// the same bytes (the floor) and the same stream through a Linux pseudo-terminal
// pair (the application writes the terminal, the device side reads the master).
#include "bench_support.h"

namespace {

using namespace win32;

constexpr size_t Packet = 4096;

// Arg: the bulk endpoints' maximum packet size, as for the receive path.
void WriteThroughDriver(benchmark::State& state) {
    sim::PdoOptions pdo;
    pdo.bulkMaxPacket = static_cast<USHORT>(state.range(0));
    bench::PortWorld world(0, pdo);
    if (!world.Ok()) {
        state.SkipWithError("the port did not open");
        return;
    }
    std::vector<uint8_t> packet(Packet, 0xA5);
    uint64_t before = world.Device().Received();
    for (auto _ : state) {
        DWORD written = 0;
        if (!WriteFile(world.Port(), packet.data(), Packet, &written, nullptr) ||
            written != Packet) {
            state.SkipWithError("WriteFile came back short");
            return;
        }
    }
    world.World().Settle();
    if (world.Device().Received() - before != state.iterations() * Packet)
        state.SkipWithError("the device did not receive every byte");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * Packet);
}
BENCHMARK(WriteThroughDriver)->Arg(64)->Arg(512)->MinTime(1.0)->UseRealTime();

void WriteTwoCopies(benchmark::State& state) {
    std::vector<uint8_t> packet(Packet, 0xA5), buffer(Packet);
    bench::CopyFloor floor(Packet);
    for (auto _ : state)
        floor.Move(packet.data(), buffer.data());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * Packet);
}
BENCHMARK(WriteTwoCopies)->MinTime(1.0)->UseRealTime();

void WriteThroughPty(benchmark::State& state) {
    bench::PtyPair pty;
    if (!pty.Ok()) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    std::vector<uint8_t> packet(Packet, 0xA5), buffer(Packet);
    for (auto _ : state) {
        if (!bench::MoveThrough(pty.Slave(), pty.Master(), packet.data(), buffer.data(), Packet)) {
            state.SkipWithError("the pseudo-terminal stalled");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * Packet);
}
BENCHMARK(WriteThroughPty)->MinTime(1.0)->UseRealTime();

} // namespace
