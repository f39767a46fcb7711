// The write path: chunking on the request's own IRP, the order of immediate
// characters, the queue's byte count, TXEMPTY, a failed chunk, the purge, cancellation
// racing with the engine on another processor and of the request in flight, a
// chunk racing close, and a lower driver that completes in its dispatch routine.
#include <driver/usb/usb.h>
#include <support/open_port.h>

#include <future>
#include <thread>

namespace {

using korvax_test::HeldRequest;
using korvax_test::Ms;
using korvax_test::OpenPortTest;
using sim::UrbFault;
using sim::UsbPipe;

class WriteTest : public OpenPortTest {
  protected:
    std::unique_ptr<HeldRequest> Write(size_t length, uint8_t fill = 'w') {
        auto request = HeldRequest::Other(fdo_, IRP_MJ_WRITE, (ULONG)length);
        if (length != 0)
            std::memset(request->Irp()->AssociatedIrp.SystemBuffer, fill, length);
        request->Send();
        return request;
    }

    std::unique_ptr<HeldRequest> ImmediateChar(uint8_t c) {
        auto request = HeldRequest::Ioctl(fdo_, IOCTL_SERIAL_IMMEDIATE_CHAR, &c, 1, 0);
        request->Send();
        return request;
    }

    // The bulk-out transfers as they reached the bus.
    std::vector<sim::UrbRecord> BulkOut() const {
        std::vector<sim::UrbRecord> out;
        for (const auto& urb : pdo_->UrbRecords()) {
            if (urb.pipe == UsbPipe::BulkOut &&
                urb.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
                out.push_back(urb);
        }
        return out;
    }

    SERIAL_STATUS CommStatus() { return Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS); }

    void HoldBulkOut() {
        pdo_->InjectFault(
            UrbFault::Hold({URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, UsbPipe::BulkOut}));
    }

    // A write whose first chunk the modem holds on the bus.
    std::unique_ptr<HeldRequest> WriteInFlight(size_t length, uint8_t fill = 'w') {
        HoldBulkOut();
        auto write = Write(length, fill);
        while (pdo_->HeldCount() == 0)
            std::this_thread::yield();
        return write;
    }
};

// An empty write completes at once and reaches no further than the driver.
TEST_F(WriteTest, AWriteGoesOutInChunksOfAtMost4096OnItsOwnIrp) {
    auto empty = Write(0);
    EXPECT_TRUE(empty->Completed());
    EXPECT_EQ(empty->Status(), STATUS_SUCCESS);
    auto big = Write(10000);
    ASSERT_TRUE(big->WaitCompleted());
    EXPECT_EQ(big->Status(), STATUS_SUCCESS);
    EXPECT_EQ(big->Information(), 10000u);
    auto exact = Write(4096);
    ASSERT_TRUE(exact->WaitCompleted());
    EXPECT_EQ(exact->Information(), 4096u);

    auto chunks = BulkOut();
    ASSERT_EQ(chunks.size(), 4u) << "no zero-length packet follows a full chunk";
    const ULONG lengths[] = {4096, 4096, 1808, 4096};
    for (size_t i = 0; i < chunks.size(); ++i) {
        EXPECT_EQ(chunks[i].requestedLength, lengths[i]) << "chunk " << i;
        EXPECT_EQ(chunks[i].irp, i < 3 ? big->Irp() : exact->Irp())
            << "the request's own IRP carries its chunks";
        EXPECT_EQ(chunks[i].transferFlags, (ULONG)USBD_TRANSFER_DIRECTION_OUT);
    }
    EXPECT_EQ(pdo_->TakeBulkOut().size(), 14096u);
    EXPECT_EQ(Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS).TransmittedCount, 14096u);
    EXPECT_EQ(context_->PendingTransferCount, 1);
    EXPECT_EQ(RemoveLockHolds(), 0);
}

TEST_F(WriteTest, AnImmediateCharacterOvertakesQueuedWritesAndReturnsNoData) {
    auto first = WriteInFlight(3, 'a');
    auto second = Write(3, 'b');
    auto third = Write(3, 'c');
    auto urgent = ImmediateChar('!');
    EXPECT_EQ(urgent->Returned(), STATUS_PENDING);
    EXPECT_EQ(CommStatus().AmountInOutQueue, 10u);

    pdo_->ReleaseHeld();
    for (auto* request : {first.get(), second.get(), third.get(), urgent.get()})
        ASSERT_TRUE(request->WaitCompleted());
    std::vector<uint8_t> wire = pdo_->TakeBulkOut();
    EXPECT_EQ(std::string(wire.begin(), wire.end()), "aaa!bbbccc");
    EXPECT_EQ(urgent->Status(), STATUS_SUCCESS);
    EXPECT_EQ(urgent->Information(), 0u);
    EXPECT_EQ(CommStatus().AmountInOutQueue, 0u);
    EXPECT_EQ(RemoveLockHolds(), 0);
}

// The application's next wait arrives while the engine is handing TXEMPTY to the
// current one (held in that wait's completion): it must not get the same event.
TEST_F(WriteTest, TxEmptyReachesAWaitOnceAndStaysPendingWithoutOne) {
    ULONG mask = SERIAL_EV_TXEMPTY | SERIAL_EV_RXCHAR;
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, mask).iosb.Status, STATUS_SUCCESS);
    auto wait = SendWait();
    EXPECT_EQ(wait->Returned(), STATUS_PENDING);
    std::unique_ptr<HeldRequest> next;
    wait->OnCompletion([&] { std::thread([&] { next = SendWait(); }).join(); });
    auto write = Write(5);
    ASSERT_TRUE(write->WaitCompleted());
    kx::DrainDispatchQueue();
    ASSERT_TRUE(wait->Completed());
    EXPECT_EQ(wait->Word(), 0x0004u); // EV_TXEMPTY
    ASSERT_NE(next, nullptr);
    EXPECT_FALSE(next->Completed()) << "the next wait got the delivered TXEMPTY again";
    EXPECT_EQ(context_->PendingEvents, 0u);
    next->Cancel();

    // No wait queued: the event is not thrown away, the next wait gets it at once.
    auto another = Write(5);
    ASSERT_TRUE(another->WaitCompleted());
    kx::DrainDispatchQueue();
    auto late = SendWait();
    ASSERT_TRUE(late->Completed());
    EXPECT_EQ(late->Word(), 0x0004u); // EV_TXEMPTY
}

// WriteFile (Win32) reports a failed write by its own result; the port stays
// usable: the next write goes out whole. No TXEMPTY follows the failure, since
// nothing of the failed write went out.
TEST_F(WriteTest, AFailedChunkEndsItsWriteAndTheEngineGoesOnWithTheNext) {
    Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(SERIAL_EV_TXEMPTY));
    HoldBulkOut();
    auto failed = Write(6000, 'f');
    while (pdo_->HeldCount() == 0)
        std::this_thread::yield();
    auto next = Write(10, 'n');
    pdo_->InjectFault(UrbFault::Fail({URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, UsbPipe::BulkOut},
                                     STATUS_IO_DEVICE_ERROR, USBD_STATUS_DEV_NOT_RESPONDING));
    pdo_->ReleaseHeld(); // the first chunk goes; the second fails
    ASSERT_TRUE(failed->WaitCompleted());
    EXPECT_EQ(failed->Status(), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(failed->Information(), 0u);
    ASSERT_TRUE(next->WaitCompleted()) << "one failed chunk stopped all writing";
    EXPECT_EQ(next->Status(), STATUS_SUCCESS);
    EXPECT_EQ(next->Information(), 10u);
    std::vector<uint8_t> wire = pdo_->TakeBulkOut();
    ASSERT_EQ(wire.size(), 4096u + 10u);
    EXPECT_EQ(wire.back(), 'n');
    kx::DrainDispatchQueue();
    EXPECT_EQ(CommStatus().AmountInOutQueue, 0u);
    EXPECT_EQ(context_->PendingEvents & SERIAL_EV_TXEMPTY, (ULONG)SERIAL_EV_TXEMPTY)
        << "the next write went out whole: the queue ran dry after it";

    // EV_TXEMPTY says the last character was sent: a queue that runs dry on a
    // failed write, whose data never went out, raises nothing.
    context_->PendingEvents = 0;
    pdo_->InjectFault(UrbFault::Fail({URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, UsbPipe::BulkOut},
                                     STATUS_IO_DEVICE_ERROR, USBD_STATUS_DEV_NOT_RESPONDING));
    auto lone = Write(5, 'l');
    ASSERT_TRUE(lone->WaitCompleted());
    EXPECT_EQ(lone->Status(), STATUS_IO_DEVICE_ERROR);
    kx::DrainDispatchQueue();
    EXPECT_EQ(context_->PendingEvents & SERIAL_EV_TXEMPTY, 0u) << "TXEMPTY after a failed write";
    EXPECT_EQ(context_->PendingTransferCount, 1);
    EXPECT_EQ(RemoveLockHolds(), 0);
}

// While the system sleeps a failed chunk ends its write, and the engine waits for
// the wake instead of failing every queued write the same way.
TEST_F(WriteTest, AChunkFailedInTheSleepEndsItsWriteAndTheWakeRestartsTheEngine) {
    context_->SystemSuspended = 1;
    pdo_->InjectFault(UrbFault::Fail({URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, UsbPipe::BulkOut},
                                     STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING));
    auto failed = Write(20);
    ASSERT_TRUE(failed->WaitCompleted());
    EXPECT_EQ(failed->Status(), STATUS_UNSUCCESSFUL);
    auto queued = Write(10);
    kx::DrainDispatchQueue();
    EXPECT_FALSE(queued->Completed()) << "sent while the system sleeps";
    EXPECT_EQ(CommStatus().AmountInOutQueue, 10u);

    context_->SystemSuspended = 0; // the wake, as ResumePort ends the suspension
    ResumeWriteEngine(context_);
    ASSERT_TRUE(queued->WaitCompleted());
    EXPECT_EQ(queued->Status(), STATUS_SUCCESS);
    EXPECT_EQ(queued->Information(), 10u);
    EXPECT_EQ(pdo_->TakeBulkOut().size(), 10u);
    EXPECT_EQ(RemoveLockHolds(), 0);
}

// PurgeComm (Win32), PURGE_TXABORT: "Terminates all outstanding overlapped write
// operations and returns immediately, even if the write operations have not been
// completed." The queued ones end newest first, the one on the wire too, and the
// engine takes the next write.
TEST_F(WriteTest, PurgeTxAbortEndsTheQueuedWritesNewestFirstAndTheOneInFlight) {
    auto inFlight = WriteInFlight(9000);
    auto older = Write(100);
    auto newer = Write(200);
    EXPECT_EQ(CommStatus().AmountInOutQueue, 9300u);
    Set(IOCTL_SERIAL_PURGE, ULONG(SERIAL_PURGE_TXABORT));
    ASSERT_TRUE(older->Completed() && newer->Completed());
    EXPECT_EQ(older->Status(), STATUS_CANCELLED);
    EXPECT_LT(newer->CompletionOrder(), older->CompletionOrder());
    ASSERT_TRUE(inFlight->WaitCompleted()) << "the write in flight goes on after the purge";
    EXPECT_EQ(inFlight->Status(), STATUS_CANCELLED);
    EXPECT_EQ(inFlight->Information(), 0u);
    kx::DrainDispatchQueue();
    EXPECT_EQ(CommStatus().AmountInOutQueue, 0u);
    EXPECT_EQ(context_->CurrentWriteIrp, nullptr);

    auto after = Write(3, 'a');
    ASSERT_TRUE(after->WaitCompleted());
    EXPECT_EQ(after->Status(), STATUS_SUCCESS);
    std::vector<uint8_t> wire = pdo_->TakeBulkOut();
    EXPECT_EQ(std::string(wire.begin(), wire.end()), "aaa");
    EXPECT_EQ(context_->PendingTransferCount, 1);
    EXPECT_EQ(RemoveLockHolds(), 0);
}

// The application cancels a queued write while the engine, finishing the write in
// flight on another processor, takes the next one. Whichever takes the cancel
// routine away owns the write: the engine that finds it gone passes the write by,
// leaves it to its cancel routine and goes on with the one behind it.
TEST_F(WriteTest, ACancelledWriteIsPassedByTheEngineAndEndsOnce) {
    const struct {
        const char* name;
        bool cancelWaitsForLock; // IoCancelIrp's routine held before it takes Lock
    } rows[] = {
        {"cancel first", false},
        {"the engine takes the next write while the cancel routine waits for Lock", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto inFlight = WriteInFlight(10, 'w');
        auto cancelled = Write(3, 'c');
        auto behind = Write(2, 'z');
        BOOLEAN cancelReturned = FALSE;
        std::thread canceller;
        if (row.cancelWaitsForLock) {
            kx::PauseBeforeNextAcquire(&context_->Lock);
            canceller = std::thread([&] { cancelReturned = cancelled->Cancel(); });
            kx::WaitForPause();
        } else {
            cancelReturned = cancelled->Cancel();
        }
        pdo_->ReleaseHeld();
        ASSERT_TRUE(inFlight->WaitCompleted());
        if (row.cancelWaitsForLock) {
            ASSERT_TRUE(behind->WaitCompleted()) << "the engine stopped at the cancelled write";
            kx::ResumePaused();
            canceller.join();
        }
        ASSERT_TRUE(behind->WaitCompleted());
        kx::DrainDispatchQueue();
        EXPECT_TRUE(cancelReturned);
        EXPECT_EQ(inFlight->Status(), STATUS_SUCCESS);
        EXPECT_EQ(inFlight->Information(), 10u);
        ASSERT_EQ(cancelled->Completions(), 1);
        EXPECT_EQ(cancelled->Status(), STATUS_CANCELLED);
        EXPECT_EQ(cancelled->Information(), 0u);
        EXPECT_EQ(behind->Status(), STATUS_SUCCESS);
        std::vector<uint8_t> wire = pdo_->TakeBulkOut();
        EXPECT_EQ(std::string(wire.begin(), wire.end()), "wwwwwwwwwwzz");
        EXPECT_EQ(CommStatus().AmountInOutQueue, 0u);
        EXPECT_EQ(context_->PendingTransferCount, 1);
        EXPECT_EQ(RemoveLockHolds(), 0);
    }
}

// CancelIo on the write whose chunk is on the wire ends that write only: the
// engine goes on with the next write and immediate character.
TEST_F(WriteTest, CancellingTheWriteInFlightEndsItAndTheEngineGoesOn) {
    auto inFlight = WriteInFlight(9000, 'x');
    auto queued = Write(3, 'q');
    EXPECT_TRUE(inFlight->Cancel());
    kx::DrainDispatchQueue();
    ASSERT_TRUE(inFlight->Completed());
    EXPECT_EQ(inFlight->Status(), STATUS_CANCELLED);
    EXPECT_EQ(inFlight->Information(), 0u);
    ASSERT_TRUE(queued->Completed()) << "the engine stopped at the cancelled write";
    EXPECT_EQ(queued->Status(), STATUS_SUCCESS);
    auto immediate = ImmediateChar('!');
    kx::DrainDispatchQueue();
    ASSERT_TRUE(immediate->Completed());
    EXPECT_EQ(immediate->Status(), STATUS_SUCCESS);
    std::vector<uint8_t> wire = pdo_->TakeBulkOut();
    EXPECT_EQ(std::string(wire.begin(), wire.end()), "qqq!");
    EXPECT_EQ(CommStatus().AmountInOutQueue, 0u);
    EXPECT_EQ(context_->PendingTransferCount, 1);
    EXPECT_EQ(RemoveLockHolds(), 0);
}

// The write's second chunk is decided while the port is open, then held at the
// bus's door while close clears IsOpen and aborts the pipes; it reaches the bus
// after the abort, where the modem NAKs it. Close must abort again, not wait for
// ever. (Close's steps as in DispatchClose: IsOpen cleared under Lock, abort, wait.)
TEST_F(WriteTest, AChunkThatReachesTheBusAfterCloseAbortIsAbortedAgain) {
    sim::Response firstChunk = sim::Response::Complete(STATUS_SUCCESS);
    firstChunk.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    pdo_->ScriptNext(firstChunk);
    pdo_->PauseNextSubmission(UsbPipe::BulkOut);
    std::unique_ptr<HeldRequest> write;
    std::thread writer([&] { write = Write(8000); });
    pdo_->WaitForPausedSubmission();
    HoldBulkOut(); // the modem NAKs the second chunk

    auto closed = std::async(std::launch::async, [&] {
        MarkClosed();
        AbortAllPipes(fdo_);
        WaitForPendingTransfers(context_, fdo_);
    });
    while (InterlockedCompareExchange(&context_->PendingTransferCount, 0, 0) != 1)
        std::this_thread::yield(); // aborted, and the open reference dropped: close waits
    pdo_->ResumeSubmission();
    writer.join();
    bool ended = closed.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    if (!ended)
        pdo_->Unplug(); // lets the stuck chunk go so that the test can end
    closed.wait();
    ASSERT_TRUE(ended) << "close waited for a chunk nobody will end";
    ASSERT_TRUE(write->WaitCompleted());
    EXPECT_EQ(write->Status(), STATUS_CANCELLED);
    kx::DrainDispatchQueue();
    EXPECT_EQ(RemoveLockHolds(), 0);
    context_->IsOpen = 1;
    context_->PendingTransferCount = 1;
}

TEST_F(WriteTest, ClosingDuringAWriteEndsItWithTheBytesSentSoFar) {
    auto write = WriteInFlight(9000);
    context_->IsOpen = 0;
    pdo_->ReleaseHeld();
    ASSERT_TRUE(write->WaitCompleted());
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    EXPECT_EQ(write->Information(), 4096u);
    EXPECT_EQ(BulkOut().size(), 1u);
    context_->IsOpen = 1;
}

// COMMTIMEOUTS (Win32): "A value of zero for both the WriteTotalTimeoutMultiplier
// and WriteTotalTimeoutConstant members indicates that total time-outs are not
// used for write operations"; otherwise the total time-out is the multiplier times
// the number of bytes to write, plus the constant, in milliseconds. The modem
// takes nothing (its bulk-out endpoint NAKs): the write ends at that time, not a
// tick before, with STATUS_TIMEOUT and the bytes sent so far (none), and the rest
// is not sent. The next write goes out, untimed by the ended one's timer.
TEST_F(WriteTest, AWriteTheModemDoesNotTakeEndsByItsTotalTimeOut) {
    const struct {
        ULONG multiplier, constant, length;
        LONGLONG due; // -1: no time-out
    } table[] = {
        {0, 0, 10, -1},
        {0, 100, 10, Ms(100)},
        {10, 0, 5, Ms(50)},
        {2, 30, 9000, Ms(18030)},
        {MAXULONG, 1, 1, Ms(0x100000000LL)},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(testing::Message()
                     << row.multiplier << " x " << row.length << " + " << row.constant);
        SERIAL_TIMEOUTS timeouts{0, 0, 0, row.multiplier, row.constant};
        ASSERT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, timeouts).iosb.Status, STATUS_SUCCESS);
        auto write = WriteInFlight(row.length);
        if (row.due < 0) {
            kx::AdvanceTime(10LL * 365 * 24 * 3600 * 10000000);
            kx::DrainDispatchQueue();
            EXPECT_FALSE(write->Completed());
            pdo_->ReleaseHeld();
            ASSERT_TRUE(write->WaitCompleted());
            EXPECT_EQ(write->Status(), STATUS_SUCCESS);
            pdo_->TakeBulkOut();
            continue;
        }
        kx::AdvanceTime(row.due - 1);
        kx::DrainDispatchQueue();
        EXPECT_FALSE(write->Completed()) << "ended before its time-out";
        kx::AdvanceTime(1);
        ASSERT_TRUE(write->WaitCompleted()) << "the write outlived its time-out";
        EXPECT_EQ(write->Status(), STATUS_TIMEOUT);
        EXPECT_EQ(write->Information(), 0u);
        kx::DrainDispatchQueue();
        EXPECT_TRUE(pdo_->TakeBulkOut().empty()) << "the rest was sent after the time-out";
        EXPECT_EQ(CommStatus().AmountInOutQueue, 0u);
        EXPECT_EQ(RemoveLockHolds(), 0);

        auto next = Write(3, 'n');
        ASSERT_TRUE(next->WaitCompleted());
        EXPECT_EQ(next->Status(), STATUS_SUCCESS);
        EXPECT_EQ(pdo_->TakeBulkOut().size(), 3u);
        kx::DrainDispatchQueue();
        EXPECT_EQ(RemoveLockHolds(), 0) << "the timer of an ended write still holds the device";
    }
}

// The first chunk goes out, the second the modem does not take: the time-out ends
// the write with the count of the bytes that went out, and the third chunk is
// never sent.
TEST_F(WriteTest, ATimedOutWriteReturnsTheBytesSentAndSendsNoMore) {
    SERIAL_TIMEOUTS timeouts{0, 0, 0, 0, 500};
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, timeouts).iosb.Status, STATUS_SUCCESS);
    sim::Response firstChunk = sim::Response::Complete(STATUS_SUCCESS);
    firstChunk.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    pdo_->ScriptNext(firstChunk);
    HoldBulkOut();
    auto write = Write(10000);
    while (pdo_->HeldCount() == 0)
        std::this_thread::yield();
    kx::AdvanceTime(Ms(499));
    kx::DrainDispatchQueue();
    EXPECT_FALSE(write->Completed());
    kx::AdvanceTime(Ms(1));
    ASSERT_TRUE(write->WaitCompleted());
    EXPECT_EQ(write->Status(), STATUS_TIMEOUT);
    EXPECT_EQ(write->Information(), 4096u);
    kx::DrainDispatchQueue();
    EXPECT_EQ(pdo_->HeldCount(), 0u);
    EXPECT_EQ(BulkOut().size(), 1u) << "a chunk was sent after the time-out";
    EXPECT_EQ(Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS).TransmittedCount, 4096u);
    EXPECT_EQ(RemoveLockHolds(), 0);
}

// Records how deep in its stack each bulk-out chunk reached the device.
class StackDepthDevice : public sim::UsbFunction {
  public:
    sim::Handshake OnControlRequest(const sim::SetupPacket&, std::vector<uint8_t>&) override {
        return sim::Handshake::Ack;
    }
    void OnBulkOut(const std::vector<uint8_t>& data) override {
        // The frame itself: a sanitizer may keep locals on a stack of its own.
        auto address = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
        std::lock_guard<std::mutex> guard(mutex_);
        lowest_ = std::min(lowest_, address);
        highest_ = std::max(highest_, address);
        received_.insert(received_.end(), data.begin(), data.end());
    }
    size_t Spread() const { return highest_ - lowest_; }
    std::vector<uint8_t> Received() const { return received_; }

  private:
    std::mutex mutex_;
    uintptr_t lowest_ = UINTPTR_MAX;
    uintptr_t highest_ = 0;
    std::vector<uint8_t> received_;
};

class SynchronousWriteTest : public WriteTest {
  protected:
    sim::PdoOptions PdoOptions() const override {
        sim::PdoOptions options;
        options.synchronousCompletion = true;
        return options;
    }
};

// The bus completes every chunk inside the call that sent it. A megabyte in one
// write goes out in order in 256 chunks, all sent from the same depth of the
// stack: an engine that sent the next chunk from the completion would go one
// level deeper per chunk (over a megabyte in this build; the x86 kernel stack
// has 12 KB).
TEST_F(SynchronousWriteTest, AWriteCompletedChunkByChunkInTheCallerSendsWithoutRecursion) {
    auto device = std::make_shared<StackDepthDevice>();
    pdo_->Attach(device);
    const size_t size = 1 << 20;
    auto write = HeldRequest::Other(fdo_, IRP_MJ_WRITE, (ULONG)size);
    auto* buffer = static_cast<uint8_t*>(write->Irp()->AssociatedIrp.SystemBuffer);
    for (size_t i = 0; i < size; i++)
        buffer[i] = static_cast<uint8_t>(i * 131 + (i >> 12));
    std::vector<uint8_t> sent(buffer, buffer + size);
    write->Send();
    ASSERT_TRUE(write->Completed());
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    EXPECT_EQ(write->Information(), size);
    EXPECT_TRUE(device->Received() == sent);
    EXPECT_LT(device->Spread(), 1024u);
    pdo_->Attach(nullptr);
    EXPECT_EQ(RemoveLockHolds(), 0);
}

} // namespace
