// Open and close against the readers, and two handles racing the exclusive open.
#include "explore.h"

#include <kx/schedule.h>

#include <algorithm>

namespace {

using namespace win32;
using explore::ExplorePort;
using korvax_test::Overlapped;

HANDLE OpenPort(sim::PluggedModem& modem) {
    return CreateFileA(modem.Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                       OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

// Reads what the ring holds now.
std::vector<uint8_t> Drain(explore::Run& run, HANDLE handle) {
    COMMTIMEOUTS now{MAXDWORD, 0, 0, 0, 0};
    SetCommTimeouts(handle, &now);
    std::vector<uint8_t> bytes(256);
    Overlapped read;
    explore::ReadAsync(handle, bytes.data(), static_cast<DWORD>(bytes.size()), read);
    explore::Outcome ended = explore::Await(handle, read);
    run.Expect(ended.ok, "a read of what the ring holds succeeds");
    bytes.resize(ended.ok ? ended.count : 0);
    return bytes;
}

// The close stops the bulk-in and interrupt-in readers while the modem's data and
// a serial-state notification arrive; the next open starts them again. Whatever
// reached the port before, the new handle reads what the modem sends after it
// opened, and sees the carrier the modem now reports.
EXPLORE_SCENARIO(close_against_readers,
                 "close and open again while data and notifications arrive") {
    ExplorePort port(run);
    const std::vector<uint8_t> before = explore::Pattern(1 + run.Draw(12), run.Seed());
    const std::vector<uint8_t> after = explore::Pattern(1 + run.Draw(12), run.Seed() + 7);
    const bool carrier = run.Draw(2) == 0;
    kx::ControlledThread modem("modem", [&] {
        port.Modem().Pdo().SendBulkIn(before);
        if (carrier)
            port.Modem().Model()->SetCarrier(true);
    });
    port.Close();
    modem.Join();
    port.World().Settle();

    HANDLE handle = OpenPort(port.Modem());
    run.Expect(handle != INVALID_HANDLE_VALUE, "the port opens again");
    if (handle == INVALID_HANDLE_VALUE)
        return;
    // The open empties the ring; what the modem sent that no transfer took before
    // the close is still in the modem and comes after the open, ahead of the rest.
    kx::ControlledThread again("modem", [&] { port.Modem().Pdo().SendBulkIn(after); });
    again.Join();
    port.World().Settle();
    std::vector<uint8_t> got = Drain(run, handle);
    const size_t early = got.size() >= after.size() ? got.size() - after.size() : 0;
    run.Expect(got.size() >= after.size() && early <= before.size() &&
                   std::equal(got.begin(), got.begin() + early, before.end() - early) &&
                   std::equal(after.begin(), after.end(), got.begin() + early),
               "the new handle reads what was sent after the open, in order, once");
    port.World().Settle();
    DWORD status = 0;
    run.Expect(GetCommModemStatus(handle, &status) != FALSE, "GetCommModemStatus succeeds");
    // A fresh notification carries the carrier state to the reopened port.
    port.Modem().Model()->SetDsr(true);
    port.World().Settle();
    run.Expect(GetCommModemStatus(handle, &status) != FALSE &&
                   ((status & MS_RLSD_ON) != 0) == carrier && (status & MS_DSR_ON) != 0,
               "the modem status follows the modem's last notification");
    run.Expect(CloseHandle(handle) != FALSE, "the second handle closes");
}

// The port admits one handle at a time (CreateFile (Win32) on a communications
// resource opened exclusively: ERROR_ACCESS_DENIED while another handle has it).
// Two threads open it, the first maybe while the scenario's own handle is being
// closed: each open succeeds or fails with ERROR_ACCESS_DENIED, never two handles
// at once, and once every handle is closed the port opens.
EXPLORE_SCENARIO(exclusive_open, "two handles racing the exclusive open, and a close") {
    ExplorePort port(run);
    const bool closing = run.Draw(2) == 0;
    HANDLE handles[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
    DWORD errors[2] = {0, 0};
    auto opener = [&](int i) {
        handles[i] = OpenPort(port.Modem());
        errors[i] = handles[i] == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    };
    kx::ControlledThread a("opener-a", [&] { opener(0); });
    kx::ControlledThread b("opener-b", [&] { opener(1); });
    if (closing)
        port.Close();
    a.Join();
    b.Join();
    int opened = 0;
    for (int i = 0; i < 2; ++i) {
        run.Expect(handles[i] != INVALID_HANDLE_VALUE || errors[i] == ERROR_ACCESS_DENIED,
                   "an open succeeds or is denied");
        opened += handles[i] != INVALID_HANDLE_VALUE;
    }
    run.Expect(opened <= (closing ? 1 : 0), "never two handles on the port at once");
    for (HANDLE handle : handles) {
        if (handle == INVALID_HANDLE_VALUE)
            continue;
        // A handle that opened while the other closed has its readers running.
        port.Modem().Pdo().SendBulkIn({0x5A});
        port.World().Settle();
        run.Expect(Drain(run, handle) == std::vector<uint8_t>{0x5A},
                   "the handle that opened reads the modem's data");
        run.Expect(CloseHandle(handle) != FALSE, "the opened handle closes");
    }
    if (!closing)
        port.Close();
    HANDLE last = OpenPort(port.Modem());
    run.Expect(last != INVALID_HANDLE_VALUE, "the port opens once every handle is closed");
    if (last != INVALID_HANDLE_VALUE)
        CloseHandle(last);
}

} // namespace
