// The simulated processors: a small pool of threads at DISPATCH_LEVEL that run
// queued DPCs and the bus's completions. As on a multiprocessor, a DPC taken off
// the queue to run is no longer queued: it may be queued again and run on another
// processor while the first run is still under way ("Introduction to DPC Objects"
// (WDK): the routine must synchronise its own concurrent runs). KeRemoveQueueDpc
// can behave as on Windows 2000 and XP, where the routine may run although the
// call returned TRUE.
#include "internal.h"

#include <algorithm>
#include <deque>
#include <limits>
#include <list>
#include <random>
#include <set>
#include <thread>

namespace kx {

namespace {

struct DispatchWork {
    PKDPC dpc = nullptr;
    std::function<void()> fn;
    // A run that KeRemoveQueueDpc reported removed yet left to run: no longer
    // counted as queued, so the DPC may be queued again meanwhile.
    bool removedButRuns = false;
};

// What a processor is running now, for the unload check.
struct Running {
    PKDPC dpc;
    const void* routine;
    PDRIVER_OBJECT driver;
};

std::mutex queueMutex;
std::condition_variable workReady;
std::condition_variable workIdle;
std::deque<DispatchWork> queue;
std::set<PKDPC> queuedDpcs;
std::list<Running> running;
unsigned busy = 0;
// KeRemoveQueueDpc as on Windows 2000/XP: the DPCs whose next removal returns TRUE
// and runs anyway, and the seeded chance of that for any removal.
std::multiset<PKDPC> removalsThatRun;
unsigned removalRunsPercent = 0;
std::mt19937 removalRandom;
bool stopping = false;
std::vector<std::thread> processors;

// Wakes DrainDispatchQueue when the last work left the queue, whether it ran or
// was taken out.
void NotifyIfIdleLocked() {
    if (queue.empty() && busy == 0)
        workIdle.notify_all();
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
    auto self = running.end();
    if (work.dpc != nullptr) {
        if (!work.removedButRuns)
            queuedDpcs.erase(work.dpc);
        routine = work.dpc->DeferredRoutine;
        context = work.dpc->DeferredContext;
        arg1 = work.dpc->SystemArgument1;
        arg2 = work.dpc->SystemArgument2;
        driver = static_cast<PDRIVER_OBJECT>(work.dpc->DpcData);
        self = running.insert(running.end(),
                              {work.dpc, reinterpret_cast<const void*>(routine), driver});
    }
    busy++;
    lock.unlock();
    RunOne(work, routine, context, arg1, arg2, driver);
    lock.lock();
    if (self != running.end()) {
        running.erase(self);
        workIdle.notify_all(); // AwaitDpcRoutinesOf
    }
    busy--;
    NotifyIfIdleLocked();
}

void ProcessorLoop() {
    std::unique_lock<std::mutex> lock(queueMutex);
    for (;;) {
        detail::sched::Block(
            lock, workReady, [] { return stopping || !queue.empty(); },
            std::numeric_limits<LONGLONG>::max(), "DPCs to run", nullptr);
        if (queue.empty())
            return;
        TakeAndRun(lock, queue.begin());
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
    detail::sched::Block(
        lock, workIdle, [] { return queue.empty() && busy == 0; },
        std::numeric_limits<LONGLONG>::max(), "the processors to be idle", nullptr);
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
            if (!it->removedButRuns)
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

std::vector<std::string> DpcRoutinesRunning(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> guard(queueMutex);
    std::vector<std::string> routines;
    for (const Running& run : running) {
        if (run.driver == driver)
            routines.push_back("DPC " + Hex(run.dpc) + " routine " + Hex(run.routine));
    }
    return routines;
}

bool AwaitDpcRoutinesOf(PDRIVER_OBJECT driver, std::chrono::milliseconds bound) {
    std::unique_lock<std::mutex> lock(queueMutex);
    auto ended = [driver] {
        return std::none_of(running.begin(), running.end(),
                            [driver](const Running& run) { return run.driver == driver; });
    };
    // Controlled, the routine runs again only when the scheduler lets it: the wait
    // is for its end, whatever the bound.
    return sched::Block(
        lock, workIdle, ended, std::numeric_limits<LONGLONG>::max(),
        "the driver's DPC routines to return",
        [&](std::unique_lock<std::mutex>& held) { return workIdle.wait_for(held, bound, ended); });
}

void StartProcessors(unsigned count, unsigned removedDpcRunsPercent, uint32_t seed) {
    {
        std::lock_guard<std::mutex> guard(queueMutex);
        stopping = false;
        removalsThatRun.clear();
        removalRunsPercent = std::min(removedDpcRunsPercent, 100u);
        removalRandom.seed(seed);
    }
    // The threads list is the booting thread's alone until shutdown.
    for (unsigned i = 0; i < count; ++i)
        processors.push_back(sched::Spawn("processor " + std::to_string(i), true, ProcessorLoop));
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
    running.clear();
    removalsThatRun.clear();
    removalRunsPercent = 0;
}

} // namespace detail

void RunNextRemovedDpc(PKDPC dpc) {
    std::lock_guard<std::mutex> guard(queueMutex);
    removalsThatRun.insert(dpc);
}
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
    detail::sched::Point("KeInsertQueueDpc");
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

// "KeRemoveQueueDpc routine" (WDK): before Windows Vista SP1, "the DPC routine
// might occasionally run even if KeRemoveQueueDpc returns TRUE". Such a removal
// (armed by RunNextRemovedDpc, or drawn at KernelOptions::removedDpcRunsPercent)
// returns TRUE and leaves the run in the queue, no longer counted as queued.
BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
    detail::sched::Point("KeRemoveQueueDpc");
    std::lock_guard<std::mutex> guard(queueMutex);
    if (queuedDpcs.erase(Dpc) == 0)
        return FALSE;
    bool runs = false;
    if (auto armed = removalsThatRun.find(Dpc); armed != removalsThatRun.end()) {
        removalsThatRun.erase(armed);
        runs = true;
    } else if (removalRunsPercent != 0) {
        runs = std::uniform_int_distribution<unsigned>(0, 99)(removalRandom) < removalRunsPercent;
    }
    auto queued = std::find_if(queue.begin(), queue.end(), [Dpc](const DispatchWork& w) {
        return w.dpc == Dpc && !w.removedButRuns;
    });
    if (runs)
        queued->removedButRuns = true;
    else
        queue.erase(queued);
    NotifyIfIdleLocked();
    return TRUE;
}

} // extern "C"
