// System worker threads: work items run at PASSIVE_LEVEL on their own threads,
// charged to the driver that queued them; a routine that returns at raised IRQL is
// caught; a request its dispatch routine handed to a worker is still in its
// device: deleting the device then is caught, and only a reference the driver took
// keeps the device's memory for the worker; and an unload while a routine of the
// driver is still on a worker's stack is caught, unless an IoQueueWorkItem item's
// reference to its device puts the unload off until the routine has returned.
#include <kx/host.h>
#include <support/worker_blockers.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <functional>
#include <thread>

namespace {

using korvax_test::WorkerBlockers;

constexpr ULONG TestTag = 0x74736554; // "Test"

// A work item that runs a function.
struct Work {
    explicit Work(std::function<void()> body) : body(std::move(body)) {
        ExInitializeWorkItem(&item, Run, this);
    }
    static void NTAPI Run(PVOID Parameter) { static_cast<Work*>(Parameter)->body(); }
    void Queue() { ExQueueWorkItem(&item, DelayedWorkQueue); }
    WORK_QUEUE_ITEM item;
    std::function<void()> body;
};

// A driver whose entry point runs what the test gives it, in the driver's name.
std::function<void()> entryBody;

NTSTATUS NTAPI BodyEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    entryBody();
    return STATUS_SUCCESS;
}

TEST(WorkItemTest, RunsAtPassiveLevelOnAWorkerChargedToTheQueuingDriver) {
    kx::Kernel kernel;
    KIRQL irql = HIGH_LEVEL;
    std::thread::id thread;
    PVOID pool = nullptr;
    Work work([&] {
        irql = KeGetCurrentIrql();
        thread = std::this_thread::get_id();
        pool = ExAllocatePoolWithTag(NonPagedPool, 16, TestTag);
    });
    // Queued at DISPATCH_LEVEL, as a completion routine would.
    entryBody = [&] { kx::RunAtIrql(DISPATCH_LEVEL, [&] { work.Queue(); }); };
    PDRIVER_OBJECT driver = kx::LoadDriver(BodyEntry, u"Worky", nullptr);
    kx::DrainWorkItems();
    EXPECT_EQ(irql, PASSIVE_LEVEL);
    EXPECT_NE(thread, std::this_thread::get_id());
    ASSERT_NE(pool, nullptr);

    // The worker's allocation is the driver's: unloading without freeing it leaks.
    kx::VerifierCapture capture;
    kx::UnloadDriver(driver);
    ASSERT_EQ(capture.Count(kx::Rule::PoolLeak), 1u);
    EXPECT_NE(capture.Findings()[0].detail.find("Worky"), std::string::npos)
        << capture.Findings()[0].detail;
    ExFreePool(pool);
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

void NTAPI DeferredWorker(PVOID Parameter) {
    auto* request = static_cast<DeferredRequest*>(Parameter);
    // The device may be deleted by now; its memory lives while the reference the
    // dispatch routine took does.
    auto* ext = static_cast<DeferringExtension*>(request->device->DeviceExtension);
    signatureSeenByWorker = ext->signature;
    NTSTATUS status = IoAcquireRemoveLock(&ext->removeLock, request->irp);
    if (NT_SUCCESS(status))
        IoReleaseRemoveLock(&ext->removeLock, request->irp);
    request->irp->IoStatus.Status = status;
    request->irp->IoStatus.Information = 0;
    IoCompleteRequest(request->irp, IO_NO_INCREMENT);
    ObDereferenceObject(request->device);
    ExFreePool(request);
}

// Every request is handed to a worker thread.
NTSTATUS NTAPI DeferringDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto* request = static_cast<DeferredRequest*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(DeferredRequest), TestTag));
    ExInitializeWorkItem(&request->item, DeferredWorker, request);
    request->device = DeviceObject;
    request->irp = Irp;
    ObReferenceObject(DeviceObject);
    IoMarkIrpPending(Irp);
    ExQueueWorkItem(&request->item, DelayedWorkQueue);
    return STATUS_PENDING;
}

NTSTATUS NTAPI DeferringEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeferringDispatch;
    return STATUS_SUCCESS;
}

// A request waiting for a worker is still in the device: deleting the device then
// is caught, and neither the request nor the queued work item keeps the device's
// memory; only the reference its driver took does.
TEST(DeferredRequestTest, DeletingTheDeviceWhileTheRequestWaitsForAWorkerIsCaught) {
    kx::Kernel kernel;
    PDRIVER_OBJECT driver = kx::LoadDriver(DeferringEntry, u"Deferring", nullptr);
    PDEVICE_OBJECT device;
    ASSERT_EQ(IoCreateDevice(driver, sizeof(DeferringExtension), nullptr, FILE_DEVICE_SERIAL_PORT,
                             0, FALSE, &device),
              STATUS_SUCCESS);
    auto* ext = static_cast<DeferringExtension*>(device->DeviceExtension);
    ext->signature = Signature;
    IoInitializeRemoveLock(&ext->removeLock, TestTag, 0, 0);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    signatureSeenByWorker = 0;
    kx::VerifierCapture capture;
    {
        WorkerBlockers blockers(2);
        // Sent at DISPATCH_LEVEL, as a kernel-mode caller may.
        PIRP irp = IoBuildDeviceIoControlRequest(0x001B0004, device, nullptr, 0, nullptr, 0, FALSE,
                                                 &done, &iosb);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        kx::RunAtIrql(DISPATCH_LEVEL, [&] { status = IoCallDriver(device, irp); });
        EXPECT_EQ(status, STATUS_PENDING);
        // What the driver's remove handler does before deleting the device.
        ASSERT_EQ(IoAcquireRemoveLock(&ext->removeLock, &done), STATUS_SUCCESS);
        IoReleaseRemoveLockAndWait(&ext->removeLock, &done);
        IoDeleteDevice(device);
        EXPECT_EQ(capture.Count(kx::Rule::DeviceDeletedBusy), 1u);
        EXPECT_FALSE(kx::DeviceExists(device));
        capture.Clear();
    }
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    // The worker read the deleted device's memory (kept by the driver's reference)
    // and found the remove lock refusing.
    EXPECT_EQ(signatureSeenByWorker, Signature);
    EXPECT_EQ(iosb.Status, STATUS_DELETE_PENDING);
    kx::DrainWorkItems();
    EXPECT_TRUE(capture.Findings().empty());
    EXPECT_EQ(kx::OutstandingIrps(), 0u);
    EXPECT_EQ(kx::OutstandingPool(TestTag).allocations, 0u);
    kx::UnloadDriver(driver);
}

// ---- Unloading while a work item routine is still running ----------------------------

struct Unloading {
    PDEVICE_OBJECT device = nullptr;
    PIO_WORKITEM ioItem = nullptr;
    WORK_QUEUE_ITEM item;
    std::mutex mutex;
    std::condition_variable changed;
    bool running = false, released = false, unloaded = false;

    // The routine's last act is done; it has yet to return.
    void Stall() {
        std::unique_lock<std::mutex> lock(mutex);
        running = true;
        changed.notify_all();
        changed.wait(lock, [this] { return released; });
    }
    void AwaitRunning() {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [this] { return running; });
    }
    void Release() {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        changed.notify_all();
    }
};
Unloading* unloading = nullptr;

void NTAPI StallingWorker(PVOID) {
    unloading->Stall();
}
void NTAPI StallingIoWorker(PDEVICE_OBJECT, PVOID) {
    IoFreeWorkItem(unloading->ioItem);
    unloading->Stall();
}
void NTAPI NoteUnload(PDRIVER_OBJECT) {
    unloading->unloaded = true;
}

// Creates a device and queues its work item, in the driver's name.
bool useIoItem = false;
NTSTATUS NTAPI UnloadingEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
    DriverObject->DriverUnload = NoteUnload;
    NTSTATUS status =
        IoCreateDevice(DriverObject, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &unloading->device);
    if (!NT_SUCCESS(status))
        return status;
    if (useIoItem) {
        unloading->ioItem = IoAllocateWorkItem(unloading->device);
        IoQueueWorkItem(unloading->ioItem, StallingIoWorker, DelayedWorkQueue, nullptr);
    } else {
        ExInitializeWorkItem(&unloading->item, StallingWorker, nullptr);
        ExQueueWorkItem(&unloading->item, DelayedWorkQueue);
    }
    return STATUS_SUCCESS;
}

// The driver deletes its device and is unloaded while its routine has not yet
// returned. "ExQueueWorkItem routine" (WDK): device drivers must use
// IoQueueWorkItem, whose reference to the device keeps the driver loaded.
TEST(WorkItemTest, UnloadingWhileARoutineOfTheDriverIsRunningIsCaughtUnlessItsDeviceIsReferenced) {
    for (bool ioItem : {false, true}) {
        SCOPED_TRACE(ioItem ? "IoQueueWorkItem" : "ExQueueWorkItem");
        kx::Kernel kernel;
        Unloading state;
        unloading = &state;
        useIoItem = ioItem;
        PDRIVER_OBJECT driver = kx::LoadDriver(UnloadingEntry, u"Unloading", nullptr);
        ASSERT_NE(driver, nullptr);
        state.AwaitRunning();
        kx::VerifierCapture capture;
        IoDeleteDevice(state.device);
        kx::UnloadDriver(driver);
        EXPECT_EQ(state.unloaded, !ioItem) << "put off while the device is referenced";
        state.Release();
        kx::DrainWorkItems();
        EXPECT_TRUE(state.unloaded);
        EXPECT_EQ(capture.Count(kx::Rule::ImageCodeRunningAtUnload), ioItem ? 0u : 1u);
        EXPECT_EQ(capture.Findings().size(), ioItem ? 0u : 1u);
        unloading = nullptr;
    }
}

} // namespace
