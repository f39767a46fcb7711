// Writes against CancelIo, PURGE_TXABORT and the handle's close.
#include "explore.h"

#include <kx/schedule.h>

#include <algorithm>

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

// The wire holds each write's bytes as one run, the first write's before the
// second's when both came from one thread: all of a write that succeeded, a prefix
// (possibly empty) of one that was cancelled; nothing else.
bool WireHolds(const std::vector<uint8_t>& wire, const std::vector<uint8_t>* data[2],
               const bool ok[2], bool ordered) {
    bool seen[2] = {false, false};
    for (size_t at = 0, size = 0; at < wire.size(); at += size) {
        const int write = wire[at] >> 7;
        if (seen[write] || (ordered && write == 0 && seen[1]))
            return false;
        seen[write] = true;
        for (size = 0; at + size < wire.size() && (wire[at + size] >> 7) == write;)
            ++size;
        const std::vector<uint8_t>& bytes = *data[write];
        if (size > bytes.size() ||
            !std::equal(bytes.begin(), bytes.begin() + size, wire.begin() + at) ||
            (ok[write] && size != bytes.size()))
            return false;
    }
    return (seen[0] || !ok[0]) && (seen[1] || !ok[1]);
}

// Two writes, the first of up to two chunks, the second from the same thread or
// from another one, against a CancelIo of the first's thread, a PURGE_TXABORT or
// the close of the handle from another thread. Each ends once, whole or aborted
// (WriteFile (Win32): a cancelled request fails with ERROR_OPERATION_ABORTED), and
// the port sends each write's bytes once, in order, one write after the other.
EXPLORE_SCENARIO(write_against_cancel, "two writes against CancelIo, PURGE_TXABORT or close") {
    ExplorePort port(run);
    // No modem model behind the pipe: the bus keeps what reaches it.
    port.Modem().Pdo().Attach(nullptr);
    const uint64_t how = run.Draw(3);
    const bool apart = run.Draw(2) == 0;
    const std::vector<uint8_t> first = Marked(1 + run.Draw(8192), run.Seed(), false);
    const std::vector<uint8_t> second = Marked(1 + run.Draw(64), run.Seed() + 1, true);
    const std::vector<uint8_t>* data[2] = {&first, &second};
    const HANDLE handle = port.Handle();
    Overlapped overlapped[2];
    explore::Outcome ended[2];
    bool issued[2] = {false, false};
    // A write that could not start (its handle already closed) has nothing to await.
    auto write = [&](int i) {
        ended[i] = explore::WriteAsync(handle, data[i]->data(), static_cast<DWORD>(data[i]->size()),
                                       overlapped[i]);
        issued[i] = ended[i].ok || ended[i].error == ERROR_IO_PENDING;
        // A write on the handle being closed may reach the port after its cleanup,
        // which refuses it at once.
        run.Expect(issued[i] || (how == 2 && apart &&
                                 (ended[i].error == ERROR_INVALID_HANDLE ||
                                  ended[i].error == ERROR_OPERATION_ABORTED)),
                   "a write starts, unless its handle was closed before");
    };
    auto await = [&](int i) {
        if (issued[i])
            ended[i] = explore::Await(handle, overlapped[i]);
    };
    // Apart, the two writes race each other into the port.
    kx::ControlledThread writer("writer", [&] {
        if (apart) {
            write(1);
            await(1);
        }
    });
    write(0);
    if (!apart)
        write(1);
    kx::ControlledThread other("other", [&] {
        if (how == 1)
            run.Expect(PurgeComm(handle, PURGE_TXABORT) != FALSE, "the purge succeeds");
        else if (how == 2)
            port.Close();
    });
    if (how == 0)
        run.Expect(CancelIo(handle) != FALSE, "CancelIo succeeds");
    await(0);
    if (!apart)
        await(1);
    writer.Join();
    other.Join();
    port.World().Settle();
    bool ok[2];
    for (int i = 0; i < 2; ++i) {
        ok[i] = ended[i].ok;
        run.Expect(ended[i].ok || ended[i].error == ERROR_OPERATION_ABORTED || !issued[i],
                   "a write succeeds or is aborted");
        run.Expect(!ended[i].ok || ended[i].count == data[i]->size(),
                   "a write that succeeded reports all its bytes");
    }
    run.Expect(WireHolds(port.Modem().Pdo().TakeBulkOut(), data, ok, !apart),
               "each write's bytes go out once, in order, all of them when it succeeded");
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
