// The write path: chunking on the request's own IRP, the order of immediate
// characters, the queue's byte count, TXEMPTY, a stopped engine, and cancellation
// racing with the engine on another processor.
#include <support/open_port.h>

#include <thread>

namespace {

using korvax_test::HeldRequest;
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
};

TEST_F(WriteTest, AWriteGoesOutInChunksOfAtMost4096OnItsOwnIrp) {
    auto big = Write(10000);
    ASSERT_TRUE(big->WaitCompleted());
    EXPECT_EQ(big->Status(), STATUS_SUCCESS);
    EXPECT_EQ(big->Information(), 10000u);
    auto exact = Write(4096);
    ASSERT_TRUE(exact->WaitCompleted());
    EXPECT_EQ(exact->Information(), 4096u);

    auto chunks = BulkOut();
    ASSERT_EQ(chunks.size(), 4u) << "no zero-length packet follows a full chunk";
    EXPECT_EQ(chunks[0].requestedLength, 4096u);
    EXPECT_EQ(chunks[1].requestedLength, 4096u);
    EXPECT_EQ(chunks[2].requestedLength, 1808u);
    EXPECT_EQ(chunks[3].requestedLength, 4096u);
    for (size_t i = 0; i < chunks.size(); ++i) {
        EXPECT_EQ(chunks[i].irp, i < 3 ? big->Irp() : exact->Irp())
            << "the request's own IRP carries its chunks";
        EXPECT_EQ(chunks[i].transferFlags, (ULONG)USBD_TRANSFER_DIRECTION_OUT);
    }
    EXPECT_EQ(pdo_->TakeBulkOut().size(), 14096u);
    EXPECT_EQ(Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS).TransmittedCount, 14096u);
    EXPECT_EQ(context_->PendingTransferCount, 1);
    EXPECT_EQ(RemoveLockHolds(), 0);
}

TEST_F(WriteTest, AnEmptyWriteCompletesAtOnceWithoutReachingTheBus) {
    auto empty = Write(0);
    EXPECT_TRUE(empty->Completed());
    EXPECT_EQ(empty->Status(), STATUS_SUCCESS);
    EXPECT_TRUE(BulkOut().empty());
    EXPECT_EQ(RemoveLockHolds(), 0);
}

TEST_F(WriteTest, AnImmediateCharacterOvertakesQueuedWritesAndReturnsNoData) {
    pdo_->InjectFault(UrbFault::Hold({URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, UsbPipe::BulkOut}));
    auto first = Write(3, 'a');
    while (pdo_->HeldCount() == 0)
        std::this_thread::yield();
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

TEST_F(WriteTest, TxEmptyReachesAWaitAndStaysPendingWithoutOne) {
    ULONG mask = SERIAL_EV_TXEMPTY | SERIAL_EV_RXCHAR;
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, mask).iosb.Status, STATUS_SUCCESS);
    auto wait = HeldRequest::Ioctl(fdo_, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    EXPECT_EQ(wait->Send(), STATUS_PENDING);
    auto write = Write(5);
    ASSERT_TRUE(write->WaitCompleted());
    ASSERT_TRUE(wait->WaitCompleted());
    EXPECT_EQ(wait->Word(), (ULONG)SERIAL_EV_TXEMPTY);
    EXPECT_EQ(context_->PendingEvents, 0u);

    // No wait queued: the event is not thrown away, the next wait gets it at once.
    auto another = Write(5);
    ASSERT_TRUE(another->WaitCompleted());
    kx::DrainDispatchQueue();
    auto late = HeldRequest::Ioctl(fdo_, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    late->Send();
    ASSERT_TRUE(late->Completed());
    EXPECT_EQ(late->Word(), (ULONG)SERIAL_EV_TXEMPTY);
}

TEST_F(WriteTest, AFailedChunkStopsTheEngineUntilTheNextOpen) {
    ULONG mask = SERIAL_EV_TXEMPTY;
    Set(IOCTL_SERIAL_SET_WAIT_MASK, mask);
    pdo_->InjectFault(UrbFault::Fail({URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, UsbPipe::BulkOut},
                                     STATUS_IO_DEVICE_ERROR, USBD_STATUS_DEV_NOT_RESPONDING));
    auto failed = Write(6000);
    ASSERT_TRUE(failed->WaitCompleted());
    EXPECT_EQ(failed->Status(), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(failed->Information(), 0u);
    EXPECT_EQ(context_->PendingEvents & SERIAL_EV_TXEMPTY, 0u) << "no TXEMPTY after a failure";

    auto stuck = Write(10);
    kx::DrainDispatchQueue();
    EXPECT_FALSE(stuck->Completed());
    EXPECT_EQ(CommStatus().AmountInOutQueue, 10u);
    ULONG purge = SERIAL_PURGE_TXABORT;
    EXPECT_EQ(Set(IOCTL_SERIAL_PURGE, purge).iosb.Status, STATUS_SUCCESS);
    ASSERT_TRUE(stuck->Completed());
    EXPECT_EQ(stuck->Status(), STATUS_CANCELLED);
    EXPECT_EQ(CommStatus().AmountInOutQueue, 0u);
    EXPECT_EQ(Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS).TransmittedCount, 0u);

    PutInOpenState();
    auto flowing = Write(10);
    ASSERT_TRUE(flowing->WaitCompleted());
    EXPECT_EQ(flowing->Status(), STATUS_SUCCESS);
}

TEST_F(WriteTest, PurgeCancelsQueuedWritesNewestFirstAndLeavesTheOneInFlight) {
    pdo_->InjectFault(UrbFault::Hold({URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, UsbPipe::BulkOut}));
    auto inFlight = Write(4);
    while (pdo_->HeldCount() == 0)
        std::this_thread::yield();
    auto older = Write(100);
    auto newer = Write(200);
    EXPECT_EQ(CommStatus().AmountInOutQueue, 304u);
    ULONG purge = SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR;
    Set(IOCTL_SERIAL_PURGE, purge);
    ASSERT_TRUE(older->Completed() && newer->Completed());
    EXPECT_EQ(older->Status(), STATUS_CANCELLED);
    EXPECT_LT(newer->CompletionOrder(), older->CompletionOrder());
    EXPECT_EQ(CommStatus().AmountInOutQueue, 4u);
    pdo_->ReleaseHeld();
    ASSERT_TRUE(inFlight->WaitCompleted());
    EXPECT_EQ(inFlight->Status(), STATUS_SUCCESS);
}

TEST_F(WriteTest, CancellingRacesWithTheEngineAndEveryWriteEndsOnce) {
    for (int round = 0; round < 200; ++round) {
        std::vector<std::unique_ptr<HeldRequest>> writes;
        for (int i = 0; i < 4; ++i)
            writes.push_back(Write(300 + i));
        std::thread canceller([&] {
            for (auto it = writes.rbegin(); it != writes.rend(); ++it)
                (*it)->Cancel();
        });
        canceller.join();
        for (auto& write : writes) {
            ASSERT_TRUE(write->WaitCompleted());
            EXPECT_EQ(write->Completions(), 1);
            EXPECT_TRUE(write->Status() == STATUS_SUCCESS || write->Status() == STATUS_CANCELLED);
        }
        kx::DrainDispatchQueue();
        ASSERT_EQ(context_->WriteBytesQueued, 0u) << "round " << round;
        ASSERT_EQ(RemoveLockHolds(), 0) << "round " << round;
        ASSERT_EQ(context_->PendingTransferCount, 1) << "round " << round;
    }
}

TEST_F(WriteTest, ClosingDuringAWriteEndsItWithTheBytesSentSoFar) {
    pdo_->InjectFault(UrbFault::Hold({URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, UsbPipe::BulkOut}));
    auto write = Write(9000);
    while (pdo_->HeldCount() == 0)
        std::this_thread::yield();
    context_->IsOpen = 0;
    pdo_->ReleaseHeld();
    ASSERT_TRUE(write->WaitCompleted());
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    EXPECT_EQ(write->Information(), 4096u);
    EXPECT_EQ(BulkOut().size(), 1u);
    context_->IsOpen = 1;
}

} // namespace
