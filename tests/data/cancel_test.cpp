// Cancel-all: every queued request ends through its cancel routine, newest first and
// queue by queue, and CancelQueue running against queueing, data and the
// application's own cancel on other processors still ends each request exactly once.
#include <driver/port/port.h>
#include <tests/support/open_port.h>

#include <functional>
#include <thread>

namespace {

using korvax_test::HeldRequest;
using korvax_test::OpenPortTest;

// Stand-in for the write path's queueing: a write request waits in WriteIrpQueue
// under the same queue discipline.
NTSTATUS NTAPI QueueWriteStandIn(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    NTSTATUS status = AcceptRequest(context, Irp);
    if (!NT_SUCCESS(status))
        return status;
    KIRQL irql;
    KeAcquireSpinLock(&context->Lock, &irql);
    BOOLEAN queued = InsertQueuedRequest(&context->WriteIrpQueue, Irp, CancelQueuedRequest, FALSE);
    KeReleaseSpinLock(&context->Lock, irql);
    if (!queued) {
        ReleaseRequestLock(context, Irp);
        return CompleteRequest(Irp, STATUS_CANCELLED);
    }
    return STATUS_PENDING;
}

// Stand-in for a queue operation caught half-way: the read is in ReadIrpQueue but
// its cancel routine is not yet published. whileHalfQueued runs there, under Lock.
std::function<void()> whileHalfQueued;

NTSTATUS NTAPI QueueReadHalfWay(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    NTSTATUS status = AcceptRequest(context, Irp);
    if (!NT_SUCCESS(status))
        return status;
    KIRQL irql;
    KeAcquireSpinLock(&context->Lock, &irql);
    InsertTailList(&context->ReadIrpQueue, &Irp->Tail.Overlay.ListEntry);
    whileHalfQueued();
    IoSetCancelRoutine(Irp, CancelQueuedRequest);
    IoMarkIrpPending(Irp);
    KeReleaseSpinLock(&context->Lock, irql);
    return STATUS_PENDING;
}

class CancelTest : public OpenPortTest {
  protected:
    void SetUp() override {
        OpenPortTest::SetUp();
        driver_->MajorFunction[IRP_MJ_WRITE] = QueueWriteStandIn;
    }

    std::unique_ptr<HeldRequest> Queued(std::unique_ptr<HeldRequest> request) {
        EXPECT_EQ(request->Send(), STATUS_PENDING);
        return request;
    }

    std::unique_ptr<HeldRequest> Write() {
        return Queued(HeldRequest::Other(fdo_, IRP_MJ_WRITE, 4));
    }
    std::unique_ptr<HeldRequest> Read() { return Queued(HeldRequest::Read(fdo_, 4)); }
    std::unique_ptr<HeldRequest> Wait() { return Queued(HeldRequest::WaitOnMask(fdo_)); }
};

TEST_F(CancelTest, CancelAllEndsWritesNewestFirstThenTheReadThenTheWait) {
    context_->WaitMask = SERIAL_EV_RXCHAR;
    auto older = Write();
    auto read = Read();
    auto newer = Write();
    auto wait = Wait();
    ASSERT_EQ(RemoveLockHolds(), 4);

    CancelAllQueues(fdo_);

    for (auto* request : {newer.get(), older.get(), read.get(), wait.get()}) {
        ASSERT_EQ(request->Completions(), 1);
        EXPECT_EQ(request->Status(), STATUS_CANCELLED);
        EXPECT_EQ(request->Information(), 0u);
    }
    EXPECT_LT(newer->CompletionOrder(), older->CompletionOrder());
    EXPECT_LT(older->CompletionOrder(), read->CompletionOrder());
    EXPECT_LT(read->CompletionOrder(), wait->CompletionOrder());
    EXPECT_EQ(RemoveLockHolds(), 0);
    EXPECT_TRUE(IsListEmpty(&context_->WriteIrpQueue));
    EXPECT_TRUE(IsListEmpty(&context_->ReadIrpQueue));
    EXPECT_TRUE(IsListEmpty(&context_->WaitIrpQueue));

    CancelAllQueues(fdo_); // nothing left: changes nothing
    EXPECT_EQ(newer->Completions(), 1);
}

// Cancel-all waits for a queue operation in progress instead of taking a request
// whose cancel routine is not yet there: the queueing goes on only once cancel-all
// spins for Lock. A cancel-all that looked at the queue without Lock has returned by
// then, and its own try for Lock afterwards lets the queueing finish.
TEST_F(CancelTest, CancelAllWaitsForAQueueOperationInProgress) {
    driver_->MajorFunction[IRP_MJ_READ] = QueueReadHalfWay;
    std::thread canceller;
    whileHalfQueued = [&] {
        canceller = std::thread([&] {
            CancelQueue(fdo_, &context_->ReadIrpQueue);
            KIRQL irql;
            KeAcquireSpinLock(&context_->Lock, &irql);
            KeReleaseSpinLock(&context_->Lock, irql);
        });
        kx::WaitForSpinner(&context_->Lock);
    };
    auto read = HeldRequest::Read(fdo_, 4);
    EXPECT_EQ(read->Send(), STATUS_PENDING);
    canceller.join();
    ASSERT_EQ(read->Completions(), 1) << "left queued with nobody to cancel it";
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    EXPECT_EQ(RemoveLockHolds(), 0);
    EXPECT_TRUE(IsListEmpty(&context_->ReadIrpQueue));
}

// A wait or a read is cancelled, by the application or by cancel-all, while an
// event or a packet completes it on another processor. Whichever side takes the
// cancel routine away owns the request: exactly one of them ends it, and each
// one's answer says which. Each interleaving holds one side at the point that
// matters: the completion just after it took the request off its queue (the pause
// after Lock's release), the application's cancel routine entered by IoCancelIrp
// but not yet holding Lock (the pause before its acquisition), cancel-all just
// after it took the request. A request whose IoCancelIrp ran before it was sent
// must not stay queued with nobody left to cancel it. Every way, the request ends
// once and gives back its hold.
TEST_F(CancelTest, CancelAndCompletionEndEveryRequestExactlyOnce) {
    context_->WaitMask = SERIAL_EV_RXCHAR;
    const struct {
        const char* name;
        std::function<std::unique_ptr<HeldRequest>()> make;
        std::function<BOOLEAN()> complete; // TRUE when it ended a request
        PLIST_ENTRY queue;
        NTSTATUS status;
        std::vector<uint8_t> data;
    } rows[] = {
        {"wait",
         [this] { return HeldRequest::WaitOnMask(fdo_); },
         [this] { return CompleteWaitRequest(context_, SERIAL_EV_RXCHAR); },
         &context_->WaitIrpQueue,
         STATUS_SUCCESS,
         {SERIAL_EV_RXCHAR, 0, 0, 0}},
        {"read",
         [this] { return HeldRequest::Read(fdo_, 4); },
         [this] { // the receive engine's steps for one byte
             ULONG written;
             uint8_t byte = 0x5A;
             RingWrite(context_, &byte, 1, &written);
             CompleteQueuedReads(context_);
             return BOOLEAN(RingGetCount(context_) == 0);
         },
         &context_->ReadIrpQueue,
         STATUS_TIMEOUT,
         {0x5A}},
    };
    struct Outcome {
        BOOLEAN cancelReturned = FALSE, completed = FALSE;
    };
    using Run =
        std::function<void(HeldRequest&, const std::function<BOOLEAN()>&, PLIST_ENTRY, Outcome&)>;
    auto atDispatch = [](const std::function<BOOLEAN()>& complete, Outcome& out) {
        kx::RunAtIrql(DISPATCH_LEVEL, [&] { out.completed = complete(); });
    };
    const struct {
        const char* name;
        Run run;
        bool byCompletion, cancelReturns;
    } orders[] = {
        {"cancelled before it is sent",
         [&](HeldRequest& request, auto& complete, PLIST_ENTRY queue, Outcome& out) {
             EXPECT_FALSE(request.Cancel());
             EXPECT_EQ(request.Send(), STATUS_CANCELLED);
             // Its caller completes it and the I/O manager frees it: no queue may
             // still link it.
             EXPECT_TRUE(IsListEmpty(queue)) << "a refused request is still queued";
             atDispatch(complete, out);
         },
         false, false},
        {"cancel first",
         [&](HeldRequest& request, auto& complete, PLIST_ENTRY, Outcome& out) {
             ASSERT_EQ(request.Send(), STATUS_PENDING);
             out.cancelReturned = request.Cancel();
             atDispatch(complete, out);
         },
         false, true},
        {"cancel after the completion took it off its queue",
         [&](HeldRequest& request, auto& complete, PLIST_ENTRY, Outcome& out) {
             ASSERT_EQ(request.Send(), STATUS_PENDING);
             kx::PauseAfterNextRelease(&context_->Lock);
             kx::QueueAtDispatch([&] { out.completed = complete(); });
             kx::WaitForPause();
             std::thread canceller([&] { out.cancelReturned = request.Cancel(); });
             canceller.join();
             kx::ResumePaused();
             kx::DrainDispatchQueue();
         },
         true, false},
        {"completion while the cancel routine waits for Lock",
         [&](HeldRequest& request, auto& complete, PLIST_ENTRY, Outcome& out) {
             ASSERT_EQ(request.Send(), STATUS_PENDING);
             kx::PauseBeforeNextAcquire(&context_->Lock);
             std::thread canceller([&] { out.cancelReturned = request.Cancel(); });
             kx::WaitForPause();
             atDispatch(complete, out);
             kx::ResumePaused();
             canceller.join();
         },
         false, true},
        {"cancel-all after the completion took it off its queue",
         [&](HeldRequest& request, auto& complete, PLIST_ENTRY, Outcome& out) {
             ASSERT_EQ(request.Send(), STATUS_PENDING);
             kx::PauseAfterNextRelease(&context_->Lock);
             kx::QueueAtDispatch([&] { out.completed = complete(); });
             kx::WaitForPause();
             CancelAllQueues(fdo_);
             kx::ResumePaused();
             kx::DrainDispatchQueue();
         },
         true, false},
        {"completion after cancel-all took it",
         [&](HeldRequest& request, auto& complete, PLIST_ENTRY queue, Outcome& out) {
             ASSERT_EQ(request.Send(), STATUS_PENDING);
             kx::PauseAfterNextRelease(&context_->Lock);
             std::thread canceller([&] { CancelQueue(fdo_, queue); });
             kx::WaitForPause();
             atDispatch(complete, out);
             kx::ResumePaused();
             canceller.join();
         },
         false, false},
    };
    for (const auto& row : rows) {
        for (const auto& order : orders) {
            SCOPED_TRACE(testing::Message() << row.name << ": " << order.name);
            auto request = row.make();
            Outcome out;
            order.run(*request, row.complete, row.queue, out);
            ASSERT_EQ(request->Completions(), 1);
            EXPECT_EQ(out.cancelReturned, order.cancelReturns);
            EXPECT_EQ(out.completed, order.byCompletion);
            EXPECT_EQ(request->Status(), order.byCompletion ? row.status : STATUS_CANCELLED);
            EXPECT_EQ(request->Data(), order.byCompletion ? row.data : std::vector<uint8_t>{});
            EXPECT_EQ(RemoveLockHolds(), 0);
            EXPECT_TRUE(IsListEmpty(row.queue));
            RingPurge(context_);
        }
    }
}

} // namespace

namespace {

// A request that reaches the port after the handle's cleanup (another thread's
// ReadFile, WaitCommEvent or WriteFile on the handle being closed, dispatched
// after the cleanup's cancel-all) has no cleanup left to end it: it is refused with
// STATUS_CANCELLED, as Windows' serial driver refuses it, and the next open queues
// again. The cleanup ends what was queued before it.
TEST_F(CancelTest, ARequestAfterCleanupIsRefusedUntilTheNextOpen) {
    driver_->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    const struct {
        const char* name;
        std::function<std::unique_ptr<HeldRequest>(PDEVICE_OBJECT)> make;
    } table[] = {
        {"read", [](PDEVICE_OBJECT fdo) { return HeldRequest::Read(fdo, 4); }},
        {"wait", [](PDEVICE_OBJECT fdo) { return HeldRequest::WaitOnMask(fdo); }},
        {"write", [](PDEVICE_OBJECT fdo) { return HeldRequest::Other(fdo, IRP_MJ_WRITE, 4); }},
        {"immediate character",
         [](PDEVICE_OBJECT fdo) {
             static const UCHAR byte = 'x';
             return HeldRequest::Ioctl(fdo, IOCTL_SERIAL_IMMEDIATE_CHAR, &byte, 1);
         }},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        context_->WaitMask = SERIAL_EV_RXCHAR;
        auto cleanup = HeldRequest::Other(fdo_, IRP_MJ_CLEANUP, 0);
        ASSERT_EQ(cleanup->Send(), STATUS_SUCCESS);

        auto late = row.make(fdo_);
        EXPECT_EQ(late->Send(), STATUS_CANCELLED);
        ASSERT_TRUE(late->Completed()) << "queued after cleanup: nothing would end it";
        EXPECT_EQ(late->Status(), STATUS_CANCELLED);
        EXPECT_EQ(late->Information(), 0u);
        EXPECT_EQ(context_->WriteBytesQueued, 0) << "a refused request left in the output queue";
        EXPECT_EQ(RemoveLockHolds(), 0);

        ResetPortForOpen(context_);
        PutInOpenState();
        context_->WaitMask = SERIAL_EV_RXCHAR;
        auto again = row.make(fdo_);
        EXPECT_EQ(again->Send(), STATUS_PENDING) << "the next open queues again";
        CancelAllQueues(fdo_);
        ASSERT_TRUE(again->WaitCompleted());
        kx::DrainDispatchQueue();
        EXPECT_EQ(RemoveLockHolds(), 0);
    }
}

} // namespace
