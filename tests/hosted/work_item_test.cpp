// System worker threads: work items run at PASSIVE_LEVEL on their own threads,
// charged to the driver that queued them, and may wait; a routine that returns at
// raised IRQL is caught; and a request its dispatch routine handed to a worker
// does not hold up the deletion of its device, whose memory the worker may still
// read.
#include <kx/host.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

namespace {

constexpr ULONG TestTag = 0x74736554; // "Test"

// Occupies every worker thread until released, so that items queued meanwhile
// stay queued.
class WorkerBlockers {
  public:
    explicit WorkerBlockers(unsigned workers) : items_(workers) {
        KeInitializeEvent(&release_, NotificationEvent, FALSE);
        KeInitializeEvent(&allStarted_, NotificationEvent, FALSE);
        for (auto& item : items_) {
            ExInitializeWorkItem(&item, Block, this);
            ExQueueWorkItem(&item, DelayedWorkQueue);
        }
        KeWaitForSingleObject(&allStarted_, Executive, KernelMode, FALSE, nullptr);
    }
    ~WorkerBlockers() {
        Release();
        kx::DrainWorkItems();
    }
    void Release() { KeSetEvent(&release_, IO_NO_INCREMENT, FALSE); }

  private:
    static void NTAPI Block(PVOID Parameter) {
        auto* self = static_cast<WorkerBlockers*>(Parameter);
        if (++self->started_ == self->items_.size())
            KeSetEvent(&self->allStarted_, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&self->release_, Executive, KernelMode, FALSE, nullptr);
    }

    std::vector<WORK_QUEUE_ITEM> items_;
    std::atomic<size_t> started_{0};
    KEVENT release_;
    KEVENT allStarted_;
};

// A driver whose entry point runs what the test gives it, in the driver's name.
std::function<void()> entryBody;

NTSTATUS NTAPI BodyEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    if (entryBody)
        entryBody();
    return STATUS_SUCCESS;
}

struct Observed {
    WORK_QUEUE_ITEM item;
    KIRQL irql = HIGH_LEVEL;
    std::thread::id thread;
    PVOID pool = nullptr;
};

void NTAPI ObserveAndAllocate(PVOID Parameter) {
    auto* o = static_cast<Observed*>(Parameter);
    o->irql = KeGetCurrentIrql();
    o->thread = std::this_thread::get_id();
    o->pool = ExAllocatePoolWithTag(NonPagedPool, 16, TestTag);
}

TEST(WorkItemTest, RunsAtPassiveLevelOnAWorkerChargedToTheQueuingDriver) {
    kx::Kernel kernel;
    Observed observed;
    ExInitializeWorkItem(&observed.item, ObserveAndAllocate, &observed);
    entryBody = [&] {
        // Queued at DISPATCH_LEVEL, as a completion routine would.
        kx::RunAtIrql(DISPATCH_LEVEL, [&] { ExQueueWorkItem(&observed.item, DelayedWorkQueue); });
    };
    PDRIVER_OBJECT driver = kx::LoadDriver(BodyEntry, u"Worky", nullptr);
    entryBody = nullptr;
    kx::DrainWorkItems();
    EXPECT_EQ(observed.irql, PASSIVE_LEVEL);
    EXPECT_NE(observed.thread, std::this_thread::get_id());
    ASSERT_NE(observed.pool, nullptr);

    // The worker's allocation is the driver's: unloading without freeing it leaks.
    kx::VerifierCapture capture;
    kx::UnloadDriver(driver);
    ASSERT_EQ(capture.Count(kx::Rule::PoolLeak), 1u);
    EXPECT_NE(capture.Findings()[0].detail.find("Worky"), std::string::npos)
        << capture.Findings()[0].detail;
    ExFreePool(observed.pool);
}

struct Handshake {
    WORK_QUEUE_ITEM waiter, setter;
    KEVENT event;
    NTSTATUS waited = STATUS_PENDING;
};

void NTAPI WaitForSetter(PVOID Parameter) {
    auto* h = static_cast<Handshake*>(Parameter);
    h->waited = KeWaitForSingleObject(&h->event, Executive, KernelMode, FALSE, nullptr);
}

void NTAPI SetForWaiter(PVOID Parameter) {
    auto* h = static_cast<Handshake*>(Parameter);
    KeSetEvent(&h->event, IO_NO_INCREMENT, FALSE);
}

TEST(WorkItemTest, OneWorkerMayWaitForWhatAnotherDoes) {
    kx::Kernel kernel;
    Handshake h;
    KeInitializeEvent(&h.event, NotificationEvent, FALSE);
    ExInitializeWorkItem(&h.waiter, WaitForSetter, &h);
    ExInitializeWorkItem(&h.setter, SetForWaiter, &h);
    ExQueueWorkItem(&h.waiter, DelayedWorkQueue);
    ExQueueWorkItem(&h.setter, CriticalWorkQueue);
    kx::DrainWorkItems();
    EXPECT_EQ(h.waited, STATUS_SUCCESS);
}

KSPIN_LOCK leftLock;

void NTAPI LeaveRaised(PVOID) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
}

void NTAPI LeaveLocked(PVOID) {
    KIRQL old;
    KeAcquireSpinLock(&leftLock, &old);
}

void NTAPI RecordIrql(PVOID Parameter) {
    *static_cast<KIRQL*>(Parameter) = KeGetCurrentIrql();
}

TEST(WorkItemTest, ARoutineReturningAtRaisedIrqlOrHoldingALockIsCaught) {
    kx::Kernel kernel;
    KeInitializeSpinLock(&leftLock);
    WORK_QUEUE_ITEM raised, locked, after[2];
    KIRQL afterIrql[2] = {HIGH_LEVEL, HIGH_LEVEL};
    ExInitializeWorkItem(&raised, LeaveRaised, nullptr);
    ExInitializeWorkItem(&locked, LeaveLocked, nullptr);
    kx::VerifierCapture capture;
    ExQueueWorkItem(&raised, DelayedWorkQueue);
    ExQueueWorkItem(&locked, DelayedWorkQueue);
    kx::DrainWorkItems();
    EXPECT_EQ(capture.Count(kx::Rule::IrqlNotRestored), 2u);
    // The workers are back at PASSIVE_LEVEL for the next items.
    for (int i = 0; i < 2; ++i) {
        ExInitializeWorkItem(&after[i], RecordIrql, &afterIrql[i]);
        ExQueueWorkItem(&after[i], DelayedWorkQueue);
    }
    kx::DrainWorkItems();
    EXPECT_EQ(afterIrql[0], PASSIVE_LEVEL);
    EXPECT_EQ(afterIrql[1], PASSIVE_LEVEL);
}

void NTAPI MustNotRun(PVOID Parameter) {
    ++*static_cast<std::atomic<int>*>(Parameter);
}

TEST(WorkItemTest, FreeingOrRequeueingAQueuedItemIsCaught) {
    kx::Kernel kernel;
    std::atomic<int> runs{0};
    auto* item = static_cast<PWORK_QUEUE_ITEM>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(WORK_QUEUE_ITEM), TestTag));
    ExInitializeWorkItem(item, MustNotRun, &runs);
    kx::VerifierCapture capture;
    {
        WorkerBlockers blockers(2);
        ExQueueWorkItem(item, DelayedWorkQueue);
        ExQueueWorkItem(item, DelayedWorkQueue);
        EXPECT_EQ(capture.Count(kx::Rule::KernelBugCheck), 1u);
        ExFreePool(item);
        EXPECT_EQ(capture.Count(kx::Rule::ObjectFreedWhileQueued), 1u);
    }
    EXPECT_EQ(runs, 0) << "the freed item left the queue";
}

// ---- A device-control request deferred to a worker while its device goes away ----------

constexpr ULONG Signature = 0x5A5A1234;

struct DeferringExtension {
    ULONG signature;
    IO_REMOVE_LOCK removeLock;
};

struct DeferredRequest {
    WORK_QUEUE_ITEM item;
    PDEVICE_OBJECT device;
    PIRP irp;
};

ULONG signatureSeenByWorker;
KEVENT workerStarted;
KEVENT workerGate;
bool gateWorker;

void NTAPI DeferredWorker(PVOID Parameter) {
    auto* request = static_cast<DeferredRequest*>(Parameter);
    if (gateWorker) {
        KeSetEvent(&workerStarted, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&workerGate, Executive, KernelMode, FALSE, nullptr);
    }
    // The device may be deleted by now; its memory lives while the request is in it.
    auto* ext = static_cast<DeferringExtension*>(request->device->DeviceExtension);
    signatureSeenByWorker = ext->signature;
    NTSTATUS status = IoAcquireRemoveLock(&ext->removeLock, request->irp);
    if (NT_SUCCESS(status))
        IoReleaseRemoveLock(&ext->removeLock, request->irp);
    request->irp->IoStatus.Status = status;
    request->irp->IoStatus.Information = 0;
    IoCompleteRequest(request->irp, IO_NO_INCREMENT);
    ExFreePool(request);
}

// Requests that arrive above PASSIVE_LEVEL are handed to a worker thread.
NTSTATUS NTAPI DeferringDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto* request = static_cast<DeferredRequest*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(DeferredRequest), TestTag));
    ExInitializeWorkItem(&request->item, DeferredWorker, request);
    request->device = DeviceObject;
    request->irp = Irp;
    IoMarkIrpPending(Irp);
    ExQueueWorkItem(&request->item, DelayedWorkQueue);
    return STATUS_PENDING;
}

NTSTATUS NTAPI DeferringEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeferringDispatch;
    return STATUS_SUCCESS;
}

class DeferredRequestTest : public ::testing::Test {
  protected:
    void SetUp() override {
        driver_ = kx::LoadDriver(DeferringEntry, u"Deferring", nullptr);
        ASSERT_EQ(IoCreateDevice(driver_, sizeof(DeferringExtension), nullptr,
                                 FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device_),
                  STATUS_SUCCESS);
        ext_ = static_cast<DeferringExtension*>(device_->DeviceExtension);
        ext_->signature = Signature;
        IoInitializeRemoveLock(&ext_->removeLock, TestTag, 0, 0);
        KeInitializeEvent(&done_, NotificationEvent, FALSE);
        KeInitializeEvent(&workerStarted, NotificationEvent, FALSE);
        KeInitializeEvent(&workerGate, NotificationEvent, FALSE);
        signatureSeenByWorker = 0;
        gateWorker = false;
    }

    void TearDown() override {
        // The worker frees its record after completing the request.
        kx::DrainWorkItems();
        kx::UnloadDriver(driver_);
    }

    // Sends a device-control request at DISPATCH_LEVEL, as a kernel-mode caller may.
    NTSTATUS SendAtDispatch() {
        PIRP irp = IoBuildDeviceIoControlRequest(0x001B0004, device_, nullptr, 0, nullptr, 0, FALSE,
                                                 &done_, &iosb_);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        kx::RunAtIrql(DISPATCH_LEVEL, [&] { status = IoCallDriver(device_, irp); });
        return status;
    }

    // What the driver's remove handler does before deleting the device.
    void Remove() {
        ASSERT_EQ(IoAcquireRemoveLock(&ext_->removeLock, &done_), STATUS_SUCCESS);
        IoReleaseRemoveLockAndWait(&ext_->removeLock, &done_);
        IoDeleteDevice(device_);
    }

    kx::Kernel kernel_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    DeferringExtension* ext_ = nullptr;
    KEVENT done_;
    IO_STATUS_BLOCK iosb_{};
};

TEST_F(DeferredRequestTest, DeletingTheDeviceWhileTheRequestWaitsForAWorkerIsLegal) {
    kx::VerifierCapture capture;
    {
        WorkerBlockers blockers(2);
        EXPECT_EQ(SendAtDispatch(), STATUS_PENDING);
        Remove();
        EXPECT_TRUE(capture.Findings().empty()) << capture.Findings()[0].detail;
        EXPECT_FALSE(kx::DeviceExists(device_));
    }
    KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr);
    // The worker read the deleted device's memory (kept by the request) and found
    // the remove lock refusing.
    EXPECT_EQ(signatureSeenByWorker, Signature);
    EXPECT_EQ(iosb_.Status, STATUS_DELETE_PENDING);
    kx::DrainWorkItems();
    EXPECT_TRUE(capture.Findings().empty());
    EXPECT_EQ(kx::OutstandingIrps(), 0u);
    EXPECT_EQ(kx::OutstandingPool(TestTag).allocations, 0u);
}

TEST_F(DeferredRequestTest, OnceTheWorkerRoutineRunsTheRequestCountsAsInTheDevice) {
    gateWorker = true;
    EXPECT_EQ(SendAtDispatch(), STATUS_PENDING);
    KeWaitForSingleObject(&workerStarted, Executive, KernelMode, FALSE, nullptr);
    kx::VerifierCapture capture;
    Remove();
    EXPECT_EQ(capture.Count(kx::Rule::DeviceDeletedBusy), 1u);
    KeSetEvent(&workerGate, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(signatureSeenByWorker, Signature);
    EXPECT_EQ(iosb_.Status, STATUS_DELETE_PENDING);
}

} // namespace
