// DTR and RTS as control-line states, the modem status, the wait mask and event
// waits: immediate delivery, queueing, refusal, completion by a new mask, and
// cancellation racing with completion on another processor.
#include <tests/support/open_port.h>

#include <thread>

namespace {

using korvax_test::HeldRequest;
using korvax_test::IoctlResult;
using korvax_test::OpenPortTest;

constexpr UCHAR SetControlLineStateRequest = 0x22;

class ModemControlTest : public OpenPortTest {
  protected:
    std::vector<USHORT> ControlLineStates() const {
        std::vector<USHORT> states;
        for (const auto& record : pdo_->UrbRecords()) {
            if (record.function == URB_FUNCTION_CLASS_INTERFACE && record.setup &&
                record.setup->bRequest == SetControlLineStateRequest)
                states.push_back(record.setup->wValue);
        }
        return states;
    }

    NTSTATUS SetWaitMask(ULONG mask) { return Set(IOCTL_SERIAL_SET_WAIT_MASK, mask).iosb.Status; }

    // What the receive engine and the notification reader do with a new event:
    // raise it, then hand the pending word to a waiting request.
    BOOLEAN RaiseEvent(ULONG event) {
        KIRQL irql;
        KeAcquireSpinLock(&context_->Lock, &irql);
        context_->PendingEvents |= event;
        KeReleaseSpinLock(&context_->Lock, irql);
        return DeliverPendingEvents(context_, FALSE);
    }
};

// The line a request leaves alone follows the modem's matching input: DTR follows
// DSR (0x20), RTS follows DCD (0x80).
TEST_F(ModemControlTest, EachLineRequestSendsTheOtherLineFromTheModemStatus) {
    const struct {
        ULONG code;
        USHORT status;
        USHORT sent;
    } table[] = {
        {IOCTL_SERIAL_SET_DTR, 0x00B0, 0x0003}, {IOCTL_SERIAL_SET_DTR, 0x0020, 0x0001},
        {IOCTL_SERIAL_CLR_DTR, 0x00B0, 0x0002}, {IOCTL_SERIAL_CLR_DTR, 0x0030, 0x0000},
        {IOCTL_SERIAL_SET_RTS, 0x0000, 0x0002}, {IOCTL_SERIAL_SET_RTS, 0x00A0, 0x0003},
        {IOCTL_SERIAL_CLR_RTS, 0x0020, 0x0001}, {IOCTL_SERIAL_CLR_RTS, 0x0090, 0x0000},
    };
    size_t sent = 0;
    for (const auto& row : table) {
        context_->ModemStatus = row.status;
        IoctlResult result = Ioctl(row.code);
        EXPECT_EQ(result.iosb.Status, STATUS_SUCCESS);
        EXPECT_EQ(result.iosb.Information, 0u);
        auto states = ControlLineStates();
        ASSERT_EQ(states.size(), ++sent);
        EXPECT_EQ(states.back(), row.sent)
            << "code " << std::hex << row.code << " status " << row.status;
        EXPECT_EQ(context_->ModemStatus, row.status) << "nothing is stored";
    }
}

// SetCommMask and WaitCommEvent (Win32): a wait reports the events of the mask it
// waits with. A new mask drops the pending events outside it and keeps those
// inside; a wait gets the pending ones of its mask at once, and they are no longer
// pending; a wait queued then gets only the events of its mask that an event
// raises at DISPATCH_LEVEL, the rest staying for nobody.
TEST_F(ModemControlTest, AWaitGetsOnlyEventsOfItsMaskAndANewMaskDropsTheOthers) {
    context_->PendingEvents = SERIAL_EV_RXCHAR | SERIAL_EV_DSR;
    ASSERT_EQ(SetWaitMask(SERIAL_EV_RLSD), STATUS_SUCCESS);
    EXPECT_EQ(context_->PendingEvents, 0u) << "events outside the new mask stay pending";
    auto none = SendWait();
    EXPECT_EQ(none->Returned(), STATUS_PENDING) << "a wait got events it did not ask for";
    ASSERT_EQ(SetWaitMask(SERIAL_EV_DSR | SERIAL_EV_RLSD), STATUS_SUCCESS);
    ASSERT_TRUE(none->Completed());
    EXPECT_EQ(none->Word(), 0u);

    context_->PendingEvents = SERIAL_EV_DSR;
    ASSERT_EQ(SetWaitMask(SERIAL_EV_DSR | SERIAL_EV_RLSD), STATUS_SUCCESS);
    auto early = SendWait();
    EXPECT_EQ(early->Returned(), STATUS_SUCCESS);
    EXPECT_EQ(early->Information(), 4u);
    EXPECT_EQ(early->Word(), 0x0010u); // EV_DSR
    EXPECT_EQ(context_->PendingEvents, 0u);
    EXPECT_EQ(RemoveLockHolds(), 0);

    auto wait = SendWait();
    ASSERT_EQ(wait->Returned(), STATUS_PENDING);
    std::atomic<BOOLEAN> completed{FALSE};
    kx::QueueAtDispatch([&] { completed = RaiseEvent(SERIAL_EV_RLSD | SERIAL_EV_CTS); });
    kx::DrainDispatchQueue();
    EXPECT_TRUE(completed);
    ASSERT_TRUE(wait->Completed());
    EXPECT_EQ(wait->Word(), 0x0020u); // EV_RLSD
    EXPECT_EQ(RemoveLockHolds(), 0);

    EXPECT_FALSE(CompleteWaitRequest(context_, 0x1234)) << "nothing waits any more";
    EXPECT_EQ(wait->Completions(), 1);
}

// A wait without a mask is refused and clears the pending events. A mask with
// unknown bits is refused and leaves the queued wait alone; a second wait ends it
// with nothing and is refused; a new mask ends the next one with nothing.
TEST_F(ModemControlTest, RefusedWaitsAndMasksAndWhatEndsTheQueuedWait) {
    context_->PendingEvents = SERIAL_EV_RXCHAR;
    auto unmasked = SendWait();
    EXPECT_EQ(unmasked->Returned(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unmasked->Status(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unmasked->Information(), 0u);
    EXPECT_EQ(context_->PendingEvents, 0u) << "a refused wait clears the pending events";

    ASSERT_EQ(SetWaitMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    auto first = SendWait();
    ASSERT_EQ(first->Returned(), STATUS_PENDING);
    EXPECT_EQ(RemoveLockHolds(), 1) << "the queued wait keeps its hold";
    EXPECT_EQ(SetWaitMask(0x00002000), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SetWaitMask(0x80000001), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(first->Completed());
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_WAIT_MASK), (ULONG)SERIAL_EV_RXCHAR);

    auto second = SendWait();
    EXPECT_EQ(second->Returned(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(second->Information(), 0u);
    ASSERT_TRUE(first->Completed());
    EXPECT_EQ(first->Status(), STATUS_SUCCESS);
    EXPECT_EQ(first->Information(), 4u);
    EXPECT_EQ(first->Word(), 0u);
    EXPECT_EQ(context_->PendingEvents, 0u);
    EXPECT_EQ(RemoveLockHolds(), 0);

    auto third = SendWait();
    ASSERT_EQ(third->Returned(), STATUS_PENDING);
    IoctlResult result = Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(0x1FFF));
    EXPECT_EQ(result.iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.iosb.Information, 0u);
    ASSERT_TRUE(third->Completed()) << "a new mask ends the wait in progress";
    EXPECT_EQ(third->Status(), STATUS_SUCCESS);
    EXPECT_EQ(third->Information(), 4u);
    EXPECT_EQ(third->Word(), 0u);
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_WAIT_MASK), 0x1FFFu);
    EXPECT_EQ(RemoveLockHolds(), 0);
}

// An event raised just after the wait request has let go of Lock, having found no
// event pending, finds the wait already queued and completes it. The request first
// lets each of the two readers look for a restart under a hold of Lock of its own;
// its third release of Lock is the one after the check for events, and the wait
// must be queued by then.
TEST_F(ModemControlTest, EventRaisedWhileTheWaitArrivesIsNeverMissed) {
    ASSERT_EQ(SetWaitMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    auto wait = HeldRequest::WaitOnMask(fdo_);
    kx::PauseAfterNextRelease(&context_->Lock);
    std::thread waiter([&] { wait->Send(); });
    for (int readerRelease = 0; readerRelease < 2; ++readerRelease) {
        kx::WaitForPause();
        kx::PauseAfterNextRelease(&context_->Lock);
        kx::ResumePaused();
    }
    kx::WaitForPause();
    EXPECT_FALSE(IsListEmpty(&context_->WaitIrpQueue))
        << "Lock let go between the check for events and the queueing of the wait";
    kx::QueueAtDispatch([&] { RaiseEvent(SERIAL_EV_RXCHAR); });
    kx::DrainDispatchQueue();
    kx::ResumePaused();
    waiter.join();
    ASSERT_TRUE(wait->Completed()) << "the wait missed the event";
    EXPECT_EQ(wait->Status(), STATUS_SUCCESS);
    EXPECT_EQ(wait->Word(), 0x0001u); // EV_RXCHAR
    EXPECT_EQ(RemoveLockHolds(), 0);
}

} // namespace
