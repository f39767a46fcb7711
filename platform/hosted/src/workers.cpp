// System worker threads: ExQueueWorkItem hands a routine to a small pool of
// threads that run it at PASSIVE_LEVEL, where it may wait; IoQueueWorkItem does
// the same holding a reference to the item's device until the routine returns. The routine is
// attributed to the driver that queued it, as DPCs are to the driver that
// initialised them.
#include "io_internal.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <limits>
#include <thread>
#include <unordered_map>

struct _IO_WORKITEM {
    WORK_QUEUE_ITEM item;
    PDEVICE_OBJECT device;
    PIO_WORKITEM_ROUTINE routine;
    PVOID context;
};

namespace {
void NTAPI RunIoWorkItem(PVOID Parameter);
}

namespace kx {

namespace {

// The driver routine a queued item will run: an IoQueueWorkItem item runs its own.
const void* RoutineOf(PWORK_QUEUE_ITEM item) {
    if (item->WorkerRoutine == RunIoWorkItem)
        return reinterpret_cast<const void*>(static_cast<PIO_WORKITEM>(item->Parameter)->routine);
    return reinterpret_cast<const void*>(item->WorkerRoutine);
}

struct QueuedItem {
    PWORK_QUEUE_ITEM item;
    PDRIVER_OBJECT driver;
};

std::mutex workMutex;
std::condition_variable workReady;
std::condition_variable workIdle;
std::deque<QueuedItem> queue;
unsigned running = 0;
// The driver routine each worker is running now, for the unload check. An
// IoQueueWorkItem item leaves it when the driver's routine returns, before the
// kernel lets go of the item's device.
struct RunningRoutine {
    const void* routine;
    PDRIVER_OBJECT driver;
};
std::unordered_map<std::thread::id, RunningRoutine> runningRoutines;
bool stopping = false;
std::vector<std::thread> workers;

void NotifyIfIdleLocked() {
    if (queue.empty() && running == 0)
        workIdle.notify_all();
}

void RunOne(const QueuedItem& queued) {
    // The platform reads the routine and its parameter when a worker takes the
    // item; the routine may free the item.
    PWORKER_THREAD_ROUTINE routine = queued.item->WorkerRoutine;
    PVOID parameter = queued.item->Parameter;

    detail::ThreadState& self = detail::Self();
    self.irql = PASSIVE_LEVEL;
    {
        detail::DriverScope scope(queued.driver);
        routine(parameter);
    }
    if (self.irql == PASSIVE_LEVEL)
        kx::DeliverApcs();
    if (self.irql != PASSIVE_LEVEL || !self.heldLocks.empty()) {
        detail::Report(Rule::IrqlNotRestored,
                       "work item routine " + detail::Hex(reinterpret_cast<const void*>(routine)) +
                           " returned at IRQL " + std::to_string(self.irql) + " holding " +
                           std::to_string(self.heldLocks.size()) + " lock(s)");
        self.heldLocks.clear();
        self.irql = PASSIVE_LEVEL;
    }
}

void WorkerLoop() {
    std::unique_lock<std::mutex> lock(workMutex);
    for (;;) {
        detail::sched::Block(
            lock, workReady, [] { return stopping || !queue.empty(); },
            std::numeric_limits<LONGLONG>::max(), "work items to run", nullptr);
        if (queue.empty())
            return;
        QueuedItem queued = queue.front();
        queue.pop_front();
        running++;
        runningRoutines[std::this_thread::get_id()] = {RoutineOf(queued.item), queued.driver};
        lock.unlock();
        RunOne(queued);
        lock.lock();
        runningRoutines.erase(std::this_thread::get_id());
        running--;
        NotifyIfIdleLocked();
    }
}

} // namespace

void DrainWorkItems() {
    std::unique_lock<std::mutex> lock(workMutex);
    detail::sched::Block(
        lock, workIdle, [] { return queue.empty() && running == 0; },
        std::numeric_limits<LONGLONG>::max(), "the workers to be idle", nullptr);
}

namespace detail {

bool WorkersBusy() {
    std::lock_guard<std::mutex> guard(workMutex);
    return !queue.empty() || running != 0;
}

size_t ForgetWorkItemsIn(const void* begin, size_t size) {
    auto first = static_cast<const char*>(begin);
    std::lock_guard<std::mutex> guard(workMutex);
    size_t forgotten = 0;
    for (auto it = queue.begin(); it != queue.end();) {
        auto in = [&](const void* p) {
            auto c = static_cast<const char*>(p);
            return c >= first && c < first + size;
        };
        if (in(it->item) || in(RoutineOf(it->item))) {
            it = queue.erase(it);
            ++forgotten;
        } else {
            ++it;
        }
    }
    NotifyIfIdleLocked();
    return forgotten;
}

void DriverRoutineReturned() {
    std::lock_guard<std::mutex> guard(workMutex);
    runningRoutines.erase(std::this_thread::get_id());
}

std::vector<std::string> WorkRoutinesRunning(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> guard(workMutex);
    std::vector<std::string> routines;
    for (const auto& entry : runningRoutines) {
        if (entry.second.driver == driver)
            routines.push_back("work item routine " + Hex(entry.second.routine));
    }
    return routines;
}

void StartWorkers(unsigned count) {
    {
        std::lock_guard<std::mutex> guard(workMutex);
        stopping = false;
    }
    // The threads list is the booting thread's alone until shutdown.
    for (unsigned i = 0; i < count; ++i)
        workers.push_back(detail::sched::Spawn("worker " + std::to_string(i), true, WorkerLoop));
}

void StopWorkers() {
    DrainWorkItems();
    {
        std::lock_guard<std::mutex> guard(workMutex);
        stopping = true;
        workReady.notify_all();
    }
    for (auto& thread : workers)
        thread.join();
    workers.clear();
    std::lock_guard<std::mutex> guard(workMutex);
    queue.clear();
    running = 0;
    runningRoutines.clear();
}

} // namespace detail
} // namespace kx

using namespace kx;
using namespace kx::detail;

extern "C" {

void NTAPI ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType) {
    (void)QueueType;
    RequireIrqlAtMost(DISPATCH_LEVEL, "ExQueueWorkItem");
    sched::Point("ExQueueWorkItem");
    ThreadState& self = Self();
    {
        std::lock_guard<std::mutex> guard(workMutex);
        bool queued = std::any_of(queue.begin(), queue.end(),
                                  [WorkItem](const QueuedItem& q) { return q.item == WorkItem; });
        if (!queued) {
            queue.push_back({WorkItem, self.currentDriver});
            workReady.notify_one();
            return;
        }
    }
    // The item's list entry is still in the queue: queueing it again would
    // corrupt the platform's work queue.
    Report(Rule::KernelBugCheck, "work item " + Hex(WorkItem) + " queued again while still queued");
}

} // extern "C"

namespace {

void NTAPI RunIoWorkItem(PVOID Parameter) {
    auto* work = static_cast<PIO_WORKITEM>(Parameter);
    // Read before the routine runs: it may free the item.
    PDEVICE_OBJECT device = work->device;
    work->routine(device, work->context);
    // "IoQueueWorkItem routine" (WDK): the item holds a reference to the device
    // object, and so keeps the driver loaded, until its routine has returned.
    kx::detail::DriverRoutineReturned();
    ObDereferenceObject(device);
}

} // namespace

extern "C" {

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateWorkItem");
    constexpr ULONG WorkItemTag = 0x6B576F49; // "IoWk"
    auto* work = static_cast<PIO_WORKITEM>(
        AllocatePoolAt(NonPagedPool, sizeof(_IO_WORKITEM), WorkItemTag,
                       reinterpret_cast<uintptr_t>(__builtin_return_address(0))));
    if (work != nullptr) {
        std::memset(work, 0, sizeof *work);
        work->device = DeviceObject;
    }
    return work;
}

void NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    ExFreePool(IoWorkItem);
}

void NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                           WORK_QUEUE_TYPE QueueType, PVOID Context) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoQueueWorkItem");
    ObReferenceObject(IoWorkItem->device);
    IoWorkItem->routine = WorkerRoutine;
    IoWorkItem->context = Context;
    ExInitializeWorkItem(&IoWorkItem->item, RunIoWorkItem, IoWorkItem);
    ExQueueWorkItem(&IoWorkItem->item, QueueType);
}

} // extern "C"
