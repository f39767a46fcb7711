// The port going away or going to sleep under I/O: surprise and orderly removal,
// system sleep and wake, a stop query against an open, and a read's interval
// time-out against data arriving in pieces.
#include "explore.h"

#include <kx/pnp.h>
#include <kx/power.h>
#include <kx/schedule.h>

#include <algorithm>

namespace {

using namespace win32;
using explore::ExplorePort;
using explore::Outcome;
using korvax_test::Overlapped;

std::string Described(const char* what, const Outcome& outcome) {
    return std::string(what) + " (error " + std::to_string(outcome.error) + ", count " +
           std::to_string(outcome.count) + ")";
}

// What a request pending on a port that goes away may end with: success (it got
// what it asked for), cancelled (the removal ended the queue: STATUS_CANCELLED),
// refused by the gate (STATUS_DELETE_PENDING) or failed by the bus for a device
// that is gone (STATUS_DEVICE_NOT_CONNECTED).
bool EndsAsRemovalAllows(const Outcome& outcome) {
    return outcome.ok || outcome.error == ERROR_OPERATION_ABORTED ||
           outcome.error == ERROR_ACCESS_DENIED || outcome.error == ERROR_DEVICE_NOT_CONNECTED;
}

// A request that went in (pending or done at once) ends as its OVERLAPPED says; one
// refused at once ends there.
Outcome Finish(HANDLE handle, Overlapped& overlapped, const Outcome& started) {
    if (started.ok || started.error == ERROR_IO_PENDING)
        return explore::Await(handle, overlapped);
    return started;
}

bool IsPrefix(const std::vector<uint8_t>& part, const std::vector<uint8_t>& whole) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

// The modem is pulled out while a read waits for its data, a write is under way and
// the data is arriving: both requests end once, the read with a prefix of the data,
// the close that follows removes the device, and nothing is left allocated.
EXPLORE_SCENARIO(unplug_during_io, "surprise removal against a read, a write and data") {
    // The modem takes the write as the start of a command line and, without its
    // command echo, sends nothing back: what the read gets is the data alone.
    sim::PlugOptions plug;
    plug.modem.echo = false;
    ExplorePort port(run, true, plug);
    const std::vector<uint8_t> sent = explore::Pattern(4 + run.Draw(12), run.Seed());
    const std::vector<uint8_t> out(1 + run.Draw(64), 'x');
    std::vector<uint8_t> got(sent.size());
    // The requests go in before the removal starts, or race it to the gate.
    const bool ioFirst = run.Draw(2) == 0;
    Overlapped read, write;
    Outcome readEnd, writeEnd;
    auto startIo = [&] {
        readEnd =
            explore::ReadAsync(port.Handle(), got.data(), static_cast<DWORD>(got.size()), read);
        writeEnd =
            explore::WriteAsync(port.Handle(), out.data(), static_cast<DWORD>(out.size()), write);
    };
    if (ioFirst) {
        startIo();
        run.Expect(!readEnd.ok && readEnd.error == ERROR_IO_PENDING, "the read waits for data");
    }
    kx::ControlledThread modem("modem", [&] { port.Modem().Pdo().SendBulkIn(sent); });
    NTSTATUS unplugged = STATUS_PENDING;
    kx::ControlledThread pnp("pnp", [&] { unplugged = port.World().Unplug(port.Modem()); });
    if (!ioFirst)
        startIo();
    readEnd = Finish(port.Handle(), read, readEnd);
    writeEnd = Finish(port.Handle(), write, writeEnd);
    modem.Join();
    pnp.Join();
    run.Expect(unplugged == STATUS_SUCCESS, "IRP_MN_SURPRISE_REMOVAL succeeds");
    run.Expect(EndsAsRemovalAllows(readEnd),
               Described("the read ends as a removal allows", readEnd));
    run.Expect(EndsAsRemovalAllows(writeEnd),
               Described("the write ends as a removal allows", writeEnd));
    run.Expect(!writeEnd.ok || writeEnd.count == out.size(), "a write that succeeded is whole");
    got.resize(readEnd.ok ? readEnd.count : 0);
    run.Expect(IsPrefix(got, sent),
               Described("the read got the data sent, in order, once", readEnd));
    // Requests after the removal are refused by the gate.
    char byte = 0;
    Overlapped late;
    Outcome after = Finish(port.Handle(), late, explore::ReadAsync(port.Handle(), &byte, 1, late));
    run.Expect(!after.ok && after.error == ERROR_ACCESS_DENIED,
               Described("a read after the removal is refused", after));
    port.Close();
    port.World().Settle();
    run.Expect(port.Modem().Removed(), "the last close removes the surprise-removed device");
}

// An orderly removal races the close of a port with a read pending: while the port
// is open the removal is refused (IRP_MN_QUERY_REMOVE_DEVICE fails with
// STATUS_DEVICE_BUSY) and the device stays, usable; once closed it goes.
EXPLORE_SCENARIO(remove_against_close, "an orderly removal against the close of a reading port") {
    ExplorePort port(run);
    std::vector<uint8_t> got(8);
    Overlapped read;
    Outcome started =
        explore::ReadAsync(port.Handle(), got.data(), static_cast<DWORD>(got.size()), read);
    run.Expect(!started.ok && started.error == ERROR_IO_PENDING, "the read waits for data");
    const bool cancelFirst = run.Draw(2) == 0;
    NTSTATUS removed = STATUS_PENDING;
    kx::ControlledThread pnp("pnp", [&] { removed = port.World().Remove(port.Modem()); });
    if (cancelFirst)
        run.Expect(CancelIo(port.Handle()) != FALSE, "CancelIo succeeds");
    port.Close();
    // The close's cleanup ends the read the handle still had (its event tells, the
    // handle is gone).
    run.Expect(WaitForSingleObject((*read).hEvent, INFINITE) == WAIT_OBJECT_0, "the read ends");
    pnp.Join();
    port.World().Settle();
    run.Expect(static_cast<NTSTATUS>((*read).Internal) == STATUS_CANCELLED,
               "the pending read ends cancelled, status " +
                   std::to_string(static_cast<unsigned long>((*read).Internal)) +
                   (cancelFirst ? " after CancelIo" : " at the close"));
    run.Expect(removed == STATUS_SUCCESS || removed == STATUS_DEVICE_BUSY,
               "the removal succeeds or is refused as busy");
    run.Expect((removed == STATUS_SUCCESS) == port.Modem().Removed(),
               "the device is gone exactly when the removal succeeded");
    if (removed == STATUS_DEVICE_BUSY) {
        HANDLE again = CreateFileA(port.Modem().Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
        run.Expect(again != INVALID_HANDLE_VALUE, "a device whose removal was refused opens");
        if (again != INVALID_HANDLE_VALUE)
            CloseHandle(again);
        run.Expect(port.World().Remove(port.Modem()) == STATUS_SUCCESS,
                   "a closed port's removal succeeds");
    }
}

// The system sleeps and wakes while a timed read waits and the modem's data arrives
// in two pieces: the read ends once, successfully (its time-out ends it with what
// it got), the wake does not take the sleep's failed transfers for a lost device,
// and every byte sent is read once, in order, after the wake.
EXPLORE_SCENARIO(sleep_wake_during_io, "system sleep and wake against a timed read and data") {
    ExplorePort port(run);
    const std::vector<uint8_t> sent = explore::Pattern(4 + run.Draw(16), run.Seed());
    const SYSTEM_POWER_STATE state = run.Draw(2) == 0 ? PowerSystemSleeping3 : PowerSystemSleeping1;
    port.SetTimeouts({0, 0, 20 + static_cast<DWORD>(run.Draw(20)), 0, 0});
    std::vector<uint8_t> got(sent.size());
    Overlapped read;
    Outcome started =
        explore::ReadAsync(port.Handle(), got.data(), static_cast<DWORD>(got.size()), read);
    run.Expect(started.ok || started.error == ERROR_IO_PENDING, "the read starts");
    kx::ControlledThread modem("modem", [&] {
        size_t half = sent.size() / 2;
        port.Modem().Pdo().SendBulkIn({sent.begin(), sent.begin() + half});
        port.Modem().Pdo().SendBulkIn({sent.begin() + half, sent.end()});
    });
    NTSTATUS slept = STATUS_PENDING, woke = STATUS_PENDING;
    kx::ControlledThread power("power", [&] {
        slept = kx::SystemSleep(state);
        woke = kx::SystemWake();
    });
    Outcome ended = explore::Await(port.Handle(), read);
    modem.Join();
    power.Join();
    port.World().Settle();
    run.Expect(slept == STATUS_SUCCESS && woke == STATUS_SUCCESS, "the system sleeps and wakes");
    run.Expect(ended.ok, Described("a timed read ends successfully", ended));
    got.resize(ended.ok ? ended.count : 0);
    std::vector<uint8_t> rest = port.Drain();
    got.insert(got.end(), rest.begin(), rest.end());
    run.Expect(got == sent, "every byte sent is read once, in order, across the sleep");
}

// A stop query (resource rebalance) races the open: the port is either open, and
// then the stop is refused (STATUS_DEVICE_BUSY), or the stop is under way, and the
// open is refused; either way the port opens once it is done and works.
EXPLORE_SCENARIO(query_stop_against_open, "a rebalance's stop query against the open") {
    run.World().filters = run.Draw(2) == 0;
    sim::World world(run.World());
    sim::PluggedModem& modem = world.Plug();
    NTSTATUS stopped = STATUS_PENDING;
    kx::ControlledThread pnp("pnp", [&] { stopped = kx::StopDevice(*modem.Node()); });
    HANDLE handle = CreateFileA(modem.Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    DWORD openError = handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    pnp.Join();
    run.Expect(stopped == STATUS_SUCCESS || stopped == STATUS_DEVICE_BUSY,
               "the stop succeeds or is refused as busy");
    run.Expect(stopped != STATUS_DEVICE_BUSY || handle != INVALID_HANDLE_VALUE,
               "a stop is refused only for an open port");
    if (handle == INVALID_HANDLE_VALUE) {
        // Refused while stopping: not started (STATUS_INSUFFICIENT_RESOURCES) or, with
        // the name down, not found.
        run.Expect(openError == ERROR_NO_SYSTEM_RESOURCES || openError == ERROR_FILE_NOT_FOUND,
                   "an open during the stop is refused, error " + std::to_string(openError));
        handle = CreateFileA(modem.Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, 0, nullptr);
        run.Expect(handle != INVALID_HANDLE_VALUE, "the restarted port opens");
    }
    if (handle == INVALID_HANDLE_VALUE)
        return;
    run.Expect(kx::StopDevice(*modem.Node()) == STATUS_DEVICE_BUSY, "an open port refuses a stop");
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    run.Expect(GetCommState(handle, &dcb) != FALSE, "the open port answers");
    run.Expect(CloseHandle(handle) != FALSE, "CloseHandle succeeds");
    world.Settle();
    run.Expect(kx::StopDevice(*modem.Node()) == STATUS_SUCCESS, "a closed port stops and restarts");
}

// Reads with an interval time-out against data coming in pieces, one read after
// another until every byte is in: the interval runs only once a byte has arrived,
// so each read ends successfully, the first with at least one byte when it has no
// total time-out; the bytes come once, in order. The reads after the first have a
// total time-out too, so that one waiting after the last piece ends.
EXPLORE_SCENARIO(read_interval_against_pieces, "reads' interval time-outs against pieces of data") {
    ExplorePort port(run);
    const size_t pieces = 2 + run.Draw(3);
    const std::vector<uint8_t> sent = explore::Pattern(pieces * (1 + run.Draw(4)), run.Seed());
    const DWORD interval = 1 + static_cast<DWORD>(run.Draw(10));
    const DWORD total = run.Draw(2) == 0 ? 0 : 5 + static_cast<DWORD>(run.Draw(20));
    Overlapped reads[4];
    // The pieces come apart by about the interval, so that the interval timer and
    // the next piece meet on the kernel clock; a piece that finds the first read
    // ended goes out at once.
    const DWORD gap = interval - 1 + static_cast<DWORD>(run.Draw(3));
    kx::ControlledThread modem("modem", [&] {
        size_t size = sent.size() / pieces;
        for (size_t i = 0; i < pieces; ++i) {
            if (i != 0)
                WaitForSingleObject((*reads[0]).hEvent, gap);
            port.Modem().Pdo().SendBulkIn(
                {sent.begin() + i * size,
                 i + 1 == pieces ? sent.end() : sent.begin() + (i + 1) * size});
        }
    });
    std::vector<uint8_t> got;
    for (size_t r = 0; r < 4 && got.size() < sent.size(); ++r) {
        const DWORD bound = r == 0 ? total : 20;
        port.SetTimeouts({interval, 0, bound, 0, 0});
        const LONGLONG begun = kx::CurrentTime();
        // One byte more than is still to come: only a time-out ends the read.
        std::vector<uint8_t> buffer(sent.size() - got.size() + 1);
        Outcome ended = explore::ReadAsync(port.Handle(), buffer.data(),
                                           static_cast<DWORD>(buffer.size()), reads[r]);
        ended = Finish(port.Handle(), reads[r], ended);
        run.Expect(ended.ok, Described("an interval time-out ends the read successfully", ended));
        run.Expect(!ended.ok || r != 0 || total != 0 || ended.count >= 1,
                   "without a total time-out the read ends only after its first byte");
        // The interval runs only from a byte: a read that got none ran to its total
        // time-out (milliseconds on the kernel clock, in 100 ns units).
        run.Expect(!ended.ok || ended.count != 0 ||
                       kx::CurrentTime() - begun >= LONGLONG(bound) * 10000,
                   "a read that got nothing ended no earlier than its total time-out");
        buffer.resize(ended.ok ? ended.count : 0);
        got.insert(got.end(), buffer.begin(), buffer.end());
    }
    modem.Join();
    port.World().Settle();
    std::vector<uint8_t> rest = port.Drain();
    got.insert(got.end(), rest.begin(), rest.end());
    run.Expect(got == sent, "every byte sent is read once, in order");
}

} // namespace
