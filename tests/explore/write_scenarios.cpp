// Writes against CancelIo, PURGE_TXABORT and the handle's close.
#include "explore.h"

#include <kx/schedule.h>

namespace {

using namespace win32;
using explore::ExplorePort;
using korvax_test::Overlapped;

// Bytes of two writes kept apart on the wire: the first has the high bit clear,
// the second has it set.
std::vector<uint8_t> Marked(size_t size, uint64_t seed, bool high) {
    std::vector<uint8_t> bytes = explore::Pattern(size, seed);
    for (uint8_t& byte : bytes)
        byte = high ? (byte | 0x80) : (byte & 0x7F);
    return bytes;
}

// Takes one write's bytes off the front of the wire: all of them after a success;
// after a cancel, as many as went out before it (possibly none), never more.
bool TakeWrite(const std::vector<uint8_t>& wire, size_t& at, const std::vector<uint8_t>& data,
               bool ok) {
    size_t taken = 0;
    while (taken < data.size() && at + taken < wire.size() && wire[at + taken] == data[taken])
        ++taken;
    at += taken;
    return !ok || taken == data.size();
}

// Two writes, the first of up to two chunks, against a CancelIo of the writing
// thread, a PURGE_TXABORT or the close of the handle from another thread. Each
// ends once, whole or aborted (WriteFile (Win32): a cancelled request fails with
// ERROR_OPERATION_ABORTED), and the wire holds each write's bytes once, in order:
// all of a write that succeeded, a prefix of one that was cancelled.
EXPLORE_SCENARIO(write_against_cancel, "two writes against CancelIo, PURGE_TXABORT or close") {
    ExplorePort port(run);
    // No modem model behind the pipe: the bus keeps what reaches it.
    port.Modem().Pdo().Attach(nullptr);
    const uint64_t how = run.Draw(3);
    const std::vector<uint8_t> first = Marked(1 + run.Draw(5000), run.Seed(), false);
    const std::vector<uint8_t> second = Marked(1 + run.Draw(64), run.Seed() + 1, true);
    const HANDLE handle = port.Handle();
    Overlapped one, two;
    explore::Outcome started[2] = {
        explore::WriteAsync(handle, first.data(), static_cast<DWORD>(first.size()), one),
        explore::WriteAsync(handle, second.data(), static_cast<DWORD>(second.size()), two)};
    for (const explore::Outcome& start : started)
        run.Expect(start.ok || start.error == ERROR_IO_PENDING, "a write starts");
    kx::ControlledThread other("other", [&] {
        if (how == 1)
            run.Expect(PurgeComm(handle, PURGE_TXABORT) != FALSE, "the purge succeeds");
        else if (how == 2)
            port.Close();
    });
    if (how == 0)
        run.Expect(CancelIo(handle) != FALSE, "CancelIo succeeds");
    explore::Outcome ended[2] = {explore::Await(handle, one), explore::Await(handle, two)};
    other.Join();
    port.World().Settle();
    const std::vector<uint8_t>* data[2] = {&first, &second};
    std::vector<uint8_t> wire = port.Modem().Pdo().TakeBulkOut();
    size_t at = 0;
    for (int i = 0; i < 2; ++i) {
        run.Expect(ended[i].ok || ended[i].error == ERROR_OPERATION_ABORTED,
                   "a write succeeds or is aborted");
        run.Expect(!ended[i].ok || ended[i].count == data[i]->size(),
                   "a write that succeeded reports all its bytes");
        run.Expect(TakeWrite(wire, at, *data[i], ended[i].ok),
                   "a write's bytes reach the wire once, in order, all of them when it succeeded");
    }
    run.Expect(at == wire.size(), "nothing but the writes' bytes reaches the wire");
    if (how == 2) {
        // The port opens again once the handle is closed, and writes.
        HANDLE again = CreateFileA(port.Modem().Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
        run.Expect(again != INVALID_HANDLE_VALUE, "the port opens after the close");
        DWORD count = 0;
        run.Expect(again == INVALID_HANDLE_VALUE ||
                       (WriteFile(again, second.data(), 1, &count, nullptr) && count == 1),
                   "a write on the new handle succeeds");
        if (again != INVALID_HANDLE_VALUE)
            CloseHandle(again);
    }
}

} // namespace
