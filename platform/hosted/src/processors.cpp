// The simulated processors: a small pool of threads at DISPATCH_LEVEL that run
// queued DPCs and the bus's completions. A given KDPC never runs on two of them at
// once, as on the platform.
#include "internal.h"

#include <algorithm>
#include <deque>
#include <set>
#include <thread>

namespace kx {

namespace {

struct DispatchWork {
    PKDPC dpc = nullptr;
    std::function<void()> fn;
};

std::mutex queueMutex;
std::condition_variable workReady;
std::condition_variable workIdle;
std::deque<DispatchWork> queue;
std::set<PKDPC> queuedDpcs;
std::set<PKDPC> runningDpcs;
unsigned busy = 0;
bool stopping = false;
std::vector<std::thread> processors;

// Wakes DrainDispatchQueue when the last work left the queue, whether it ran or
// was taken out.
void NotifyIfIdleLocked() {
    if (queue.empty() && busy == 0)
        workIdle.notify_all();
}

bool Runnable(const DispatchWork& work) {
    return work.dpc == nullptr || runningDpcs.count(work.dpc) == 0;
}

void RunOne(const DispatchWork& work, PKDEFERRED_ROUTINE routine, PVOID context, PVOID arg1,
            PVOID arg2, PDRIVER_OBJECT driver) {
    detail::ThreadState& self = detail::Self();
    self.irql = DISPATCH_LEVEL;
    {
        detail::DriverScope scope(driver);
        if (work.dpc != nullptr)
            routine(work.dpc, context, arg1, arg2);
        else
            work.fn();
    }
    if (self.irql != DISPATCH_LEVEL || !self.heldLocks.empty()) {
        detail::Report(Rule::IrqlNotRestored,
                       (work.dpc ? "DPC " + detail::Hex(work.dpc) : std::string("dispatch work")) +
                           " returned at IRQL " + std::to_string(self.irql) + " holding " +
                           std::to_string(self.heldLocks.size()) + " lock(s)");
        self.heldLocks.clear();
    }
    self.irql = PASSIVE_LEVEL;
}

// Takes the queued work at `next` and runs it on this thread at DISPATCH_LEVEL,
// with the queue's lock released meanwhile.
void TakeAndRun(std::unique_lock<std::mutex>& lock, std::deque<DispatchWork>::iterator next) {
    DispatchWork work = std::move(*next);
    queue.erase(next);
    PKDEFERRED_ROUTINE routine = nullptr;
    PVOID context = nullptr, arg1 = nullptr, arg2 = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    if (work.dpc != nullptr) {
        queuedDpcs.erase(work.dpc);
        runningDpcs.insert(work.dpc);
        routine = work.dpc->DeferredRoutine;
        context = work.dpc->DeferredContext;
        arg1 = work.dpc->SystemArgument1;
        arg2 = work.dpc->SystemArgument2;
        driver = static_cast<PDRIVER_OBJECT>(work.dpc->DpcData);
    }
    busy++;
    lock.unlock();
    RunOne(work, routine, context, arg1, arg2, driver);
    lock.lock();
    if (work.dpc != nullptr)
        runningDpcs.erase(work.dpc);
    busy--;
    // No other processor needs waking: each queued work item woke one when it was
    // queued, and the only work this run can have made runnable is a second queuing
    // of this DPC, which this thread takes itself when it looks at the queue again.
    NotifyIfIdleLocked();
}

void ProcessorLoop() {
    std::unique_lock<std::mutex> lock(queueMutex);
    for (;;) {
        auto next = queue.end();
        workReady.wait(lock, [&] {
            next = std::find_if(queue.begin(), queue.end(), Runnable);
            return stopping || next != queue.end();
        });
        if (next == queue.end())
            return;
        TakeAndRun(lock, next);
    }
}

} // namespace

void QueueAtDispatch(std::function<void()> fn) {
    {
        std::lock_guard<std::mutex> guard(queueMutex);
        queue.push_back({nullptr, std::move(fn)});
    }
    // Outside the lock, so that the processor woken does not block on it at once.
    workReady.notify_one();
}

void DrainDispatchQueue() {
    std::unique_lock<std::mutex> lock(queueMutex);
    if (processors.empty()) {
        // KernelOptions::inlineDispatch: the work runs here, in queue order, until
        // none is left (work it queues included).
        while (!queue.empty())
            TakeAndRun(lock, queue.begin());
        return;
    }
    workIdle.wait(lock, [] { return queue.empty() && busy == 0; });
}

void RunAtIrql(KIRQL irql, const std::function<void()>& fn) {
    KIRQL old;
    KeRaiseIrql(irql, &old);
    fn();
    KeLowerIrql(old);
}

namespace detail {

size_t ForgetDpcsIn(const void* begin, size_t size) {
    auto first = static_cast<const char*>(begin);
    auto inRange = [&](const DispatchWork& w) {
        auto in = [&](const void* p) {
            auto c = static_cast<const char*>(p);
            return c >= first && c < first + size;
        };
        return w.dpc != nullptr &&
               (in(w.dpc) || in(reinterpret_cast<const void*>(w.dpc->DeferredRoutine)));
    };
    std::lock_guard<std::mutex> guard(queueMutex);
    size_t forgotten = 0;
    for (auto it = queue.begin(); it != queue.end();) {
        if (inRange(*it)) {
            queuedDpcs.erase(it->dpc);
            it = queue.erase(it);
            ++forgotten;
        } else {
            ++it;
        }
    }
    NotifyIfIdleLocked();
    return forgotten;
}

bool ProcessorsBusy() {
    std::lock_guard<std::mutex> guard(queueMutex);
    return !queue.empty() || busy != 0;
}

void StartProcessors(unsigned count) {
    std::lock_guard<std::mutex> guard(queueMutex);
    stopping = false;
    for (unsigned i = 0; i < count; ++i)
        processors.emplace_back(ProcessorLoop);
}

void StopProcessors() {
    DrainDispatchQueue();
    {
        std::lock_guard<std::mutex> guard(queueMutex);
        stopping = true;
        workReady.notify_all();
    }
    for (auto& thread : processors)
        thread.join();
    processors.clear();
    std::lock_guard<std::mutex> guard(queueMutex);
    queue.clear();
    queuedDpcs.clear();
    runningDpcs.clear();
}

} // namespace detail
} // namespace kx

using namespace kx;

extern "C" {

void NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    Dpc->Type = 19; // DpcObject
    Dpc->Importance = MediumImportance;
    Dpc->Number = 0;
    Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
    // The hosted kernel keeps the owning driver here, for pool attribution.
    Dpc->DpcData = detail::Self().currentDriver;
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    detail::RequireIrqlAtMost(HIGH_LEVEL, "KeInsertQueueDpc");
    {
        std::lock_guard<std::mutex> guard(queueMutex);
        if (queuedDpcs.count(Dpc) != 0)
            return FALSE;
        Dpc->SystemArgument1 = SystemArgument1;
        Dpc->SystemArgument2 = SystemArgument2;
        queuedDpcs.insert(Dpc);
        queue.push_back({Dpc, {}});
    }
    workReady.notify_one();
    return TRUE;
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
    std::lock_guard<std::mutex> guard(queueMutex);
    if (queuedDpcs.erase(Dpc) == 0)
        return FALSE;
    queue.erase(std::remove_if(queue.begin(), queue.end(),
                               [Dpc](const DispatchWork& w) { return w.dpc == Dpc; }),
                queue.end());
    NotifyIfIdleLocked();
    return TRUE;
}

} // extern "C"
