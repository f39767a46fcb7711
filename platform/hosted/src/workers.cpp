// System worker threads: ExQueueWorkItem hands a routine to a small pool of
// threads that run it at PASSIVE_LEVEL, where it may wait. The routine is
// attributed to the driver that queued it, as DPCs are to the driver that
// initialised them.
#include "io_internal.h"

#include <algorithm>
#include <deque>
#include <thread>

namespace kx {

namespace {

struct QueuedItem {
    PWORK_QUEUE_ITEM item;
    PDRIVER_OBJECT driver;
};

std::mutex workMutex;
std::condition_variable workReady;
std::condition_variable workIdle;
std::deque<QueuedItem> queue;
unsigned running = 0;
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
        workReady.wait(lock, [] { return stopping || !queue.empty(); });
        if (queue.empty())
            return;
        QueuedItem queued = queue.front();
        queue.pop_front();
        running++;
        lock.unlock();
        RunOne(queued);
        lock.lock();
        running--;
        NotifyIfIdleLocked();
    }
}

} // namespace

void DrainWorkItems() {
    std::unique_lock<std::mutex> lock(workMutex);
    workIdle.wait(lock, [] { return queue.empty() && running == 0; });
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
        auto c = reinterpret_cast<const char*>(it->item);
        if (c >= first && c < first + size) {
            it = queue.erase(it);
            ++forgotten;
        } else {
            ++it;
        }
    }
    NotifyIfIdleLocked();
    return forgotten;
}

void StartWorkers(unsigned count) {
    std::lock_guard<std::mutex> guard(workMutex);
    stopping = false;
    for (unsigned i = 0; i < count; ++i)
        workers.emplace_back(WorkerLoop);
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
}

} // namespace detail
} // namespace kx

using namespace kx;
using namespace kx::detail;

extern "C" {

void NTAPI ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType) {
    (void)QueueType;
    RequireIrqlAtMost(DISPATCH_LEVEL, "ExQueueWorkItem");
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
