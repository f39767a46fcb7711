// URB submission, transfer accounting and the modem's class requests, against the
// simulated bus: exact URBs on the wire, the count that close waits on, and the
// failure paths that must give back what they took.
#include <driver/usb/usb.h>
#include <support/open_port.h>

#include <algorithm>
#include <future>
#include <thread>

namespace {

using korvax_test::OpenPortTest;
using sim::UrbFault;
using sim::UsbPipe;

// SET_CONTROL_LINE_STATE's wValue bits (CDC PSTN): D0 DTR, D1 RTS.
constexpr USHORT LineDtr = 0x0001;
constexpr USHORT LineRts = 0x0002;
// The bulk-in transfer length, 4096 bytes, and the mark of a lost device.
constexpr ULONG BulkInLength = 4096;
constexpr ULONG DeviceLost = 9999;

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
    return std::vector<uint8_t>(values.begin(), values.end());
}

class TransportTest : public OpenPortTest {
  protected:
    std::vector<sim::UrbRecord> Urbs() const { return pdo_->UrbRecords(); }
    // The driver changes the count with interlocked operations on other threads.
    LONG Pending() const {
        return InterlockedCompareExchange(&context_->PendingTransferCount, 0, 0);
    }
    // A bulk-in reader started before close cleared IsOpen is held on its way to the
    // bus while close runs; returns once close has aborted the pipes and dropped the
    // open reference, the reader still held.
    std::future<void> CloseWhileAReaderIsOnItsWayDown() {
        pdo_->PauseNextSubmission(UsbPipe::BulkIn);
        starter_ = std::thread([this] { StartBulkInRead(context_); });
        pdo_->WaitForPausedSubmission();
        EXPECT_EQ(Pending(), 2) << "the open reference and the transfer on its way down";
        auto closed = std::async(std::launch::async, [this] {
            MarkClosed();
            AbortAllPipes(fdo_);
            WaitForPendingTransfers(context_, fdo_);
        });
        while (Pending() != 1)
            std::this_thread::yield();
        EXPECT_EQ(Aborts(UsbPipe::BulkIn), 1u);
        return closed;
    }
    std::thread starter_;
    size_t Aborts(UsbPipe pipe) const {
        auto urbs = Urbs();
        return static_cast<size_t>(std::count_if(urbs.begin(), urbs.end(), [&](const auto& urb) {
            return urb.function == URB_FUNCTION_ABORT_PIPE && urb.pipe == pipe && urb.Completed();
        }));
    }
};

class SynchronousTransportTest : public TransportTest {
  protected:
    sim::PdoOptions PdoOptions() const override {
        sim::PdoOptions options;
        options.synchronousCompletion = true;
        return options;
    }
};

TEST_F(SynchronousTransportTest, SendUrbAndWaitReturnsAnImmediateResultWithoutWaiting) {
    EXPECT_EQ(ResetPipe(fdo_, context_->BulkInPipe), STATUS_SUCCESS);
    pdo_->InjectFault(UrbFault::Fail({URB_FUNCTION_CLASS_INTERFACE, {}}, STATUS_IO_DEVICE_ERROR,
                                     USBD_STATUS_DEV_NOT_RESPONDING));
    EXPECT_EQ(SetControlLineState(fdo_, LineDtr), STATUS_IO_DEVICE_ERROR);
    auto urbs = Urbs();
    ASSERT_EQ(urbs.size(), 2u);
    EXPECT_EQ(urbs[0].function, URB_FUNCTION_RESET_PIPE);
    EXPECT_EQ(urbs[0].length, sizeof(struct _URB_PIPE_REQUEST));
    EXPECT_EQ(urbs[0].pipe, UsbPipe::BulkIn);
}

TEST_F(TransportTest, SendUrbAndWaitReturnsAFailureThatComesLaterOrWantsAnIrp) {
    // Without an IRP nothing is sent.
    kx::ArmFault({kx::AllocationKind::Irp, 1, std::nullopt, std::nullopt});
    EXPECT_EQ(AbortPipe(fdo_, context_->BulkInPipe), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(Urbs().empty());
    // Completions come from a DPC thread: the sender sees STATUS_PENDING below it
    // and must take the final status from the status block.
    pdo_->InjectFault(UrbFault::Fail({URB_FUNCTION_CLASS_INTERFACE, {}}, STATUS_IO_DEVICE_ERROR,
                                     USBD_STATUS_DEV_NOT_RESPONDING));
    EXPECT_EQ(SetControlLineState(fdo_, 0), STATUS_IO_DEVICE_ERROR);
    auto urbs = Urbs();
    ASSERT_EQ(urbs.size(), 1u);
    EXPECT_EQ(urbs[0].status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(urbs[0].submitIrql, PASSIVE_LEVEL);
}

TEST_F(TransportTest, AbortAllPipesSendsThreeAbortsInOrderWhateverTheFirstReturns) {
    pdo_->InjectFault(UrbFault::Fail({URB_FUNCTION_ABORT_PIPE, {}}, STATUS_UNSUCCESSFUL,
                                     USBD_STATUS_INVALID_PIPE_HANDLE));
    AbortAllPipes(fdo_);
    auto urbs = Urbs();
    ASSERT_EQ(urbs.size(), 3u);
    const UsbPipe order[] = {UsbPipe::InterruptIn, UsbPipe::BulkIn, UsbPipe::BulkOut};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(urbs[i].function, URB_FUNCTION_ABORT_PIPE);
        EXPECT_EQ(urbs[i].pipe, order[i]);
    }
    EXPECT_EQ(urbs[0].status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urbs[1].status, STATUS_SUCCESS);
}

TEST_F(TransportTest, LineCodingAndControlLineStateGoOutByteForByte) {
    // The open defaults: 460800 bit/s, two stop bits, no parity, eight data bits.
    EXPECT_EQ(SetLineCoding(fdo_), STATUS_SUCCESS);
    context_->BaudRate = 115200;
    context_->StopBits = STOP_BIT_1;
    context_->Parity = NO_PARITY;
    context_->DataBits = 8;
    EXPECT_EQ(SetLineCoding(fdo_), STATUS_SUCCESS);
    EXPECT_EQ(SetControlLineState(fdo_, LineDtr | LineRts), STATUS_SUCCESS);

    auto urbs = Urbs();
    ASSERT_EQ(urbs.size(), 3u);
    for (const auto& urb : urbs) {
        EXPECT_EQ(urb.function, URB_FUNCTION_CLASS_INTERFACE);
        EXPECT_EQ(urb.length, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
        EXPECT_EQ(urb.requestTypeReservedBits, 0x21);
        ASSERT_TRUE(urb.setup.has_value());
    }
    auto setup = [](const sim::UrbRecord& urb) {
        auto bytes = urb.setup->Bytes();
        return std::vector<uint8_t>(bytes.begin(), bytes.end());
    };
    EXPECT_EQ(setup(urbs[0]), Bytes({0x21, 0x20, 0, 0, 0, 0, 7, 0}));
    EXPECT_EQ(urbs[0].data, Bytes({0x00, 0x08, 0x07, 0x00, 0x02, 0x00, 0x08}));
    EXPECT_EQ(urbs[1].data, Bytes({0x00, 0xC2, 0x01, 0x00, 0x00, 0x00, 0x08}));
    EXPECT_EQ(setup(urbs[2]), Bytes({0x21, 0x22, 0x03, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(urbs[2].data.empty()) << "no data stage";
    EXPECT_EQ(urbs[2].requestedLength, 0u);
}

TEST_F(TransportTest, CloseStyleWaitEndsExactlyWhenTheSecondReaderCompletes) {
    StartInterruptRead(context_);
    StartBulkInRead(context_);
    pdo_->WaitForOutstanding(UsbPipe::InterruptIn, 1);
    pdo_->WaitForOutstanding(UsbPipe::BulkIn, 1);
    EXPECT_EQ(Pending(), 3);
    EXPECT_EQ(RemoveLockHolds(), 2);

    // With the port closed, a completing reader does not re-issue.
    context_->IsOpen = 0;
    auto closed =
        std::async(std::launch::async, [&] { WaitForPendingTransfers(context_, nullptr); });
    while (Pending() != 2) // the closer has dropped the open reference
        std::this_thread::yield();
    pdo_->SendInterrupt(Bytes({0xA1, 0x20, 0, 0, 0, 0, 2, 0, 3, 0}));
    kx::DrainDispatchQueue();
    EXPECT_EQ(Pending(), 1);
    EXPECT_EQ(closed.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    EXPECT_EQ(KeReadStateEvent(&context_->NoPendingTransfersEvent), 0);

    pdo_->SendBulkIn(Bytes({'x'}));
    closed.wait();
    EXPECT_EQ(Pending(), 0);
    // The completion gives back its remove-lock hold just after the count.
    kx::DrainDispatchQueue();
    EXPECT_EQ(RemoveLockHolds(), 0);
    EXPECT_EQ(context_->DeviceLostMark, 0u) << "a closed port's readers stop without a loss";
}

// The aborts close sends come back before the transfers they end (the USB stack
// may complete an abort first): close must go on waiting for the two readers, and
// end only once both have completed. The readers' URBs allow short packets
// (USBD_SHORT_TRANSFER_OK, 2), so the modem's short ones end them normally.
TEST_F(TransportTest, CloseWaitsForItsReadersWhenTheAbortsCompleteFirst) {
    StartInterruptRead(context_);
    StartBulkInRead(context_);
    pdo_->WaitForOutstanding(UsbPipe::InterruptIn, 1);
    pdo_->WaitForOutstanding(UsbPipe::BulkIn, 1);
    for (const auto& urb : Urbs())
        EXPECT_EQ(urb.transferFlags, 1u | 2u) << "IN, short transfer OK";

    pdo_->HoldAbortedTransfers();
    auto closed = std::async(std::launch::async, [this] {
        MarkClosed();
        AbortAllPipes(fdo_);
        WaitForPendingTransfers(context_, fdo_);
    });
    while (Pending() != 2 || Aborts(UsbPipe::BulkOut) != 1)
        std::this_thread::yield(); // all three aborts back, the open reference dropped
    EXPECT_EQ(closed.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    EXPECT_EQ(pdo_->OutstandingTransfers(UsbPipe::InterruptIn), 1u);
    EXPECT_EQ(pdo_->OutstandingTransfers(UsbPipe::BulkIn), 1u);
    EXPECT_EQ(RemoveLockHolds(), 2);

    pdo_->ReleaseAbortedTransfers();
    closed.wait();
    EXPECT_EQ(Pending(), 0);
    kx::DrainDispatchQueue();
    EXPECT_EQ(RemoveLockHolds(), 0);
    EXPECT_EQ(context_->BulkInReaderActive, 0);
    EXPECT_EQ(context_->InterruptReaderActive, 0);
}

// A reader starts (a wake restarting it, or a completion re-issuing) while close
// runs: it passed its open check before close cleared IsOpen, but its transfer
// reaches the bus only after close has aborted the pipes. Close must abort again
// rather than wait for a transfer nobody will end.
TEST_F(TransportTest, ATransferThatOvertakesCloseAbortIsAbortedAgain) {
    auto closed = CloseWhileAReaderIsOnItsWayDown();
    pdo_->ResumeSubmission();
    starter_.join();

    bool ended = closed.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    if (!ended)
        pdo_->Unplug(); // lets the stuck transfer go so that the test can end
    closed.wait();
    ASSERT_TRUE(ended) << "close waited for a transfer nobody will end";
    EXPECT_EQ(Aborts(UsbPipe::BulkIn), 2u);
    EXPECT_EQ(Pending(), 0);
    kx::DrainDispatchQueue();
    EXPECT_EQ(RemoveLockHolds(), 0);
    EXPECT_EQ(context_->BulkInReaderActive, 0);
}

// A lower driver that reports more than the bulk-in buffer holds: only the buffer
// goes into the ring, never the memory after it.
TEST_F(TransportTest, ABulkInLengthBeyondTheBufferIsClampedToIt) {
    pdo_->ScriptNext(sim::Response::Pend());
    pdo_->ScriptNext(sim::Response::Pend());
    StartBulkInRead(context_);
    pdo_->WaitForPending(1);
    context_->BulkInUrb.UrbBulkOrInterruptTransfer.TransferBufferLength = BulkInLength + 64;
    pdo_->CompletePending(STATUS_SUCCESS);
    pdo_->WaitForPending(1); // the reader's next transfer
    EXPECT_EQ(RingGetCount(context_), BulkInLength);

    MarkClosed();
    pdo_->CompletePending(STATUS_CANCELLED);
    kx::DrainDispatchQueue();
    EXPECT_EQ(Pending(), 1);
}

// Close is woken by a transfer that reached the bus after its abort and finds it
// still counted; that transfer ends before close clears the event (held there by
// the pause point). The count read again after the clear sees it gone, so close
// does not wait for an event nobody will set.
TEST_F(TransportTest, ATransferEndingAsCloseClearsTheEventIsNotWaitedFor) {
    auto closed = CloseWhileAReaderIsOnItsWayDown();
    kx::PauseBeforeNextClear(&context_->NoPendingTransfersEvent);
    pdo_->ResumeSubmission();
    starter_.join();
    kx::WaitForPause();
    pdo_->SendBulkIn(Bytes({'x'}));
    kx::DrainDispatchQueue();
    EXPECT_EQ(Pending(), 0);
    kx::ResumePaused();

    bool ended = closed.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    if (!ended)
        KeSetEvent(&context_->NoPendingTransfersEvent, IO_NO_INCREMENT, FALSE);
    closed.wait();
    EXPECT_TRUE(ended) << "close waited for an event nobody will set";
    kx::DrainDispatchQueue();
    EXPECT_EQ(RemoveLockHolds(), 0);
}

// A closed port's readers send nothing. A reader that cannot get its IRP stops and
// gives back what the transfer held; a lack of memory is no lost device: later
// requests are served and a waiting request hears of nothing.
TEST_F(TransportTest, AClosedPortsReaderSendsNothingAndOneWithoutAnIrpStopsAndGivesBack) {
    MarkClosed();
    StartBulkInRead(context_);
    StartInterruptRead(context_);
    EXPECT_TRUE(Urbs().empty());
    EXPECT_EQ(Pending(), 1);
    EXPECT_EQ(RemoveLockHolds(), 0);
    context_->IsOpen = 1;

    ULONG mask = SERIAL_EV_RXCHAR;
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, mask).iosb.Status, STATUS_SUCCESS);
    auto wait =
        korvax_test::HeldRequest::Ioctl(fdo_, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    ASSERT_EQ(wait->Send(), STATUS_PENDING);
    kx::ArmFault({kx::AllocationKind::Irp, 1, std::nullopt, std::nullopt});
    StartBulkInRead(context_);
    EXPECT_EQ(Pending(), 1);
    EXPECT_EQ(RemoveLockHolds(), 1) << "only the queued wait's";
    EXPECT_EQ(context_->BulkInReaderActive, 0);
    EXPECT_TRUE(Urbs().empty());
    EXPECT_EQ(context_->DeviceLostMark, 0u);
    EXPECT_FALSE(wait->Completed());
    EXPECT_EQ(context_->PendingEvents, 0u);
    EXPECT_TRUE(wait->Cancel());
    EXPECT_EQ(RemoveLockHolds(), 0);

    // A removal under way refuses the hold: nothing is sent either.
    ASSERT_EQ(IoAcquireRemoveLockEx(&context_->RemoveLock, this, "", 1, sizeof(IO_REMOVE_LOCK)),
              STATUS_SUCCESS);
    IoReleaseRemoveLockAndWaitEx(&context_->RemoveLock, this, sizeof(IO_REMOVE_LOCK));
    StartInterruptRead(context_);
    EXPECT_EQ(Pending(), 1);
    EXPECT_TRUE(Urbs().empty());
}

} // namespace
