// System worker threads: work items run at PASSIVE_LEVEL on their own threads,
// charged to the driver that queued them; freeing or queueing again an item still
// queued is caught; and an unload while a routine of the driver is still on a
// worker's stack is caught, unless an IoQueueWorkItem item's reference to its
// device puts the unload off until the routine has returned.
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
