// WaitCommEvent against the modem's line changes, a new mask and CancelIo.
#include "explore.h"

#include <kx/schedule.h>

namespace {

using namespace win32;
using explore::ExplorePort;
using korvax_test::Overlapped;

explore::Outcome WaitAsync(HANDLE handle, DWORD* events, Overlapped& overlapped) {
    explore::Outcome outcome;
    outcome.ok = WaitCommEvent(handle, events, overlapped.get()) != FALSE;
    outcome.error = outcome.ok ? 0 : GetLastError();
    return outcome;
}

// A wait for EV_RLSD | EV_DSR while the carrier comes up, against a new mask from
// another thread or a CancelIo of the waiting thread. SetCommMask (Win32): a
// pending WaitCommEvent ends with an event mask of 0; CancelIo ends it with
// ERROR_OPERATION_ABORTED; otherwise it ends with the events that happened, inside
// its mask, the carrier's among them. A carrier change that the first wait did not
// get, while the new mask still asks for it, goes to the next wait: nothing lost.
EXPLORE_SCENARIO(wait_against_events,
                 "WaitCommEvent against line changes, SetCommMask and CancelIo") {
    ExplorePort port(run);
    const DWORD mask = EV_RLSD | EV_DSR;
    const uint64_t how = run.Draw(3);
    const DWORD newMask = run.Draw(2) == 0 ? mask : EV_RXCHAR;
    run.Expect(SetCommMask(port.Handle(), mask) != FALSE, "SetCommMask succeeds");
    // The carrier comes while the wait is being queued, or once it is.
    const bool early = run.Draw(2) == 0;
    auto carrier = [&] {
        return kx::ControlledThread("modem", [&] { port.Modem().Model()->SetCarrier(true); });
    };
    kx::ControlledThread modem;
    if (early)
        modem = carrier();
    DWORD events = 0xFFFFFFFF;
    Overlapped wait;
    explore::Outcome started = WaitAsync(port.Handle(), &events, wait);
    run.Expect(started.ok || started.error == ERROR_IO_PENDING, "the wait starts");
    if (!early)
        modem = carrier();
    kx::ControlledThread masker("masker", [&] {
        if (how == 1)
            run.Expect(SetCommMask(port.Handle(), newMask) != FALSE, "the new mask is taken");
    });
    if (how == 2)
        run.Expect(CancelIo(port.Handle()) != FALSE, "CancelIo succeeds");
    explore::Outcome ended = explore::Await(port.Handle(), wait);
    modem.Join();
    masker.Join();
    port.World().Settle();

    run.Expect(ended.ok || (how == 2 && ended.error == ERROR_OPERATION_ABORTED),
               "the wait succeeds, or CancelIo aborted it");
    run.Expect(!ended.ok || (events & ~mask) == 0, "the wait gets only events of its mask");
    const bool gotCarrier = ended.ok && (events & EV_RLSD) != 0;
    run.Expect(!ended.ok || gotCarrier || (how == 1 && events == 0),
               "a wait that no new mask ended gets the carrier's change");
    DWORD status = 0;
    run.Expect(GetCommModemStatus(port.Handle(), &status) != FALSE && (status & MS_RLSD_ON) != 0,
               "the modem status shows the carrier");
    if (gotCarrier && how == 0) {
        // The change was delivered: the next wait has nothing until CancelIo ends it.
        DWORD next = 0;
        Overlapped second;
        explore::Outcome again = WaitAsync(port.Handle(), &next, second);
        run.Expect(!again.ok, "the carrier's change is delivered once");
        if (!again.ok && again.error == ERROR_IO_PENDING) {
            CancelIo(port.Handle());
            again = explore::Await(port.Handle(), second);
            run.Expect(!again.ok && again.error == ERROR_OPERATION_ABORTED,
                       "the carrier's change is delivered once; CancelIo ends the next wait");
        }
        return;
    }
    if (gotCarrier || how == 2 || newMask != mask)
        return;
    // The new mask ended the wait before the change reached it: the next wait gets it.
    DWORD next = 0;
    Overlapped second;
    explore::Outcome again = WaitAsync(port.Handle(), &next, second);
    run.Expect(again.ok || again.error == ERROR_IO_PENDING, "the next wait starts");
    port.World().Settle();
    if (!again.ok && !second.Done()) {
        run.Expect(false, "the carrier change the first wait missed reaches the next");
        CancelIo(port.Handle());
    }
    again = explore::Await(port.Handle(), second);
    run.Expect(!again.ok || (next & EV_RLSD) != 0, "the next wait gets the carrier's change");
}

} // namespace
