// Shared internals of the hosted kernel's modules.
#pragma once

#include <kx/host.h>
#include <kx/schedule.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <optional>
#include <vector>

namespace kx::detail {

struct ThreadState {
    KIRQL irql = PASSIVE_LEVEL;
    // The driver whose code runs on this thread, for pool and IRP attribution.
    PDRIVER_OBJECT currentDriver = nullptr;
    // Spin locks and fast mutexes held, in acquisition order.
    std::vector<const void*> heldLocks;
    // Dispatch routines active on this thread: (device, IRP) pairs.
    std::vector<std::pair<PDEVICE_OBJECT, PIRP>> dispatchFrames;
    // IofCallDriver calls in progress on this thread, nested.
    unsigned callDepth = 0;
    // KeSetEvent with Wait TRUE returned at DISPATCH_LEVEL: the IRQL it was called
    // at, which the wait that must follow restores.
    std::optional<KIRQL> setEventWaitIrql;
};

ThreadState& Self();

// Sets the attributed driver for a scope (calls into driver code).
class DriverScope {
  public:
    explicit DriverScope(PDRIVER_OBJECT driver) : saved_(Self().currentDriver) {
        Self().currentDriver = driver;
    }
    ~DriverScope() { Self().currentDriver = saved_; }
    DriverScope(const DriverScope&) = delete;
    DriverScope& operator=(const DriverScope&) = delete;

  private:
    PDRIVER_OBJECT saved_;
};

// Records or stops on a rule violation. Returns only when a VerifierCapture is
// active; the caller then takes the safe way out.
void Report(Rule rule, const std::string& detail);
std::string Hex(const void* pointer);
std::string Hex(uint64_t value);

// Routines that may only run at PASSIVE_LEVEL (or up to a given level) check here.
void RequireIrqlAtMost(KIRQL maximum, const char* routine);

// Lock-order bookkeeping for spin locks, the cancel spin lock and fast mutexes.
void NoteLockAcquired(const void* lock, const char* kind);
// Stops the calling thread here when a test armed this object's pause point
// (kx::PauseAfterNextRelease, kx::PauseBeforeNextAcquire, kx::PauseBeforeNextClear).
void PauseIfArmed(const void* object);
// The key of kx::PauseBeforeNextAcquire's pause point for lock.
const void* BeforeAcquireKey(PKSPIN_LOCK lock);
// A thread found lock held by another and spins for it (kx::WaitForSpinner).
void NoteSpinning(const void* lock);
void NoteLockReleased(const void* lock);
void ForgetLocksIn(const void* begin, size_t size);
void AcquireSpinLockRaw(PKSPIN_LOCK lock, const char* kind);
bool ReleaseSpinLockRaw(PKSPIN_LOCK lock, const char* kind);

// The dispatcher lock: every dispatcher object's state changes under it.
std::mutex& DispatcherMutex();
// Waits on kernel time alone (the manual clock's bookkeeping, delays) sleep on the
// one condition variable; a thread waiting for dispatcher objects sleeps on its own
// and is woken by a change of one of its objects or an APC queued to it, so that an
// event set for one thread does not wake every other waiting thread.
std::condition_variable& DispatcherCondition();
struct ApcQueue;
// Wakes waiting threads once the dispatcher lock is released, so that a thread
// woken does not block on the lock at once. Declared before the lock's guard; the
// Add calls are made under the lock.
class DispatcherWakes {
  public:
    DispatcherWakes() = default;
    ~DispatcherWakes();
    DispatcherWakes(const DispatcherWakes&) = delete;
    DispatcherWakes& operator=(const DispatcherWakes&) = delete;
    // The threads waiting for this object.
    void AddWaitersOf(const void* object);
    // The thread of this APC queue, if it waits.
    void AddApcWaiter(const ApcQueue* queue);

  private:
    std::vector<std::shared_ptr<std::condition_variable>> wakes_;
};
// Under the dispatcher lock: wakes every waiting thread (time moved, a timer fired).
void WakeAllWaitersLocked();

// Fresh pool is not zeroed on the platform, nor are the I/O manager's system
// buffers: a pattern makes reads of uninitialised memory visible.
constexpr int FreshPoolPattern = 0xA5;

// Fault injection: true when this allocation must fail.
bool ShouldFail(AllocationKind kind, ULONG tag, uintptr_t site);
// Pool allocation on behalf of a caller at the given site, attributed to the
// thread's current driver (the kernel allocating what a driver will own).
PVOID AllocatePoolAt(POOL_TYPE type, SIZE_T bytes, ULONG tag, uintptr_t site);

// ---- APCs ----------------------------------------------------------------------------------

// A thread's queue of kernel APCs (apc.cpp).
std::shared_ptr<ApcQueue> CurrentApcQueue();
// Queues the routine to run in the queue's thread at its next delivery point; runs
// it at once when that thread has ended.
void QueueApc(const std::shared_ptr<ApcQueue>& queue, std::function<void()> routine);
// Under the dispatcher lock: the calling thread is at PASSIVE_LEVEL with APCs to
// take (a wait then wakes to deliver them).
bool ApcPendingLocked();
// Under the dispatcher lock: APCs wait in this queue (whatever thread asks).
bool ApcPendingLocked(const ApcQueue& queue);
// kx::DeliverApcs runs the calling thread's queued APCs (at PASSIVE_LEVEL).
void ResetApcs();

// ---- Time ----------------------------------------------------------------------------------

// One clock interface, two clocks. Interrupt time counts 100 ns units from boot;
// system time is interrupt time plus the system time at boot (100 ns units since
// 1601, as the platform counts it). Waits and timers use the dispatcher lock.
class Clock {
  public:
    virtual ~Clock() = default;
    virtual LONGLONG Now() const = 0;
    virtual LONGLONG SystemTimeAtBoot() const = 0;
    // Called with the dispatcher lock held: sleeps on `wake` until ready() holds or
    // interrupt time reaches deadline; returns ready().
    virtual bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& wake,
                           LONGLONG deadline, const std::function<bool()>& ready) = 0;
    // Called with the dispatcher lock held when the earliest due time may have moved.
    virtual void TimersChanged() = 0;
};

Clock& KernelClock();
// The interrupt time at which a wait or a timer given this LARGE_INTEGER falls due:
// negative values are relative intervals, positive ones absolute system times.
LONGLONG DueTimeFrom(LONGLONG dueTime);
void StartClock(bool manual);
// Stops the real clock's timer thread: no timer fires after this.
void StopClock();
// Goes back to the idle clock of a kernel not booted (after StopClock, once
// nothing waits any more).
void ResetClock();

// Timer queue, under the dispatcher lock.
bool EarliestTimerDueLocked(LONGLONG* due);
// Fires every timer due at or before now, in due-time order.
void FireDueTimersLocked(LONGLONG now);
void ResetTimers();

// Set timers, queued DPCs and queued work items whose memory, or whose routine, is
// being freed are taken out of their queues (they must never run from freed
// memory) and reported under the rule given. `owner` names the memory in the
// report; it is called only when there is one.
void ForgetQueuedObjectsIn(const void* begin, size_t size,
                           const std::function<std::string()>& owner,
                           Rule rule = Rule::ObjectFreedWhileQueued);
size_t ForgetTimersIn(const void* begin, size_t size);
size_t ForgetDpcsIn(const void* begin, size_t size);
size_t ForgetWorkItemsIn(const void* begin, size_t size);

// Pool bookkeeping that other modules check.
void CheckPoolLeaks(PDRIVER_OBJECT driver);
void ForgetDriverPool(PDRIVER_OBJECT driver);

// I/O manager internals.
void CheckIrpLeaks(PDRIVER_OBJECT driver);
void CheckRemoveLocksIn(const void* begin, size_t size, const std::string& owner);
void ForgetRemoveLocksIn(const void* begin, size_t size);
void RegisterDriverObject(PDRIVER_OBJECT driver);
void ForgetDeviceInterfacesOf(PDEVICE_OBJECT pdo);

// Per-module resets at boot and shutdown.
void ResetVerifier();
void ResetLockOrder();
void ResetPool();
void ResetIo();
void ResetDebug();
void ResetRemoveLocks();
void ResetDeviceInterfaces();
void StartProcessors(unsigned count, unsigned removedDpcRunsPercent, uint32_t seed);
// The DPC routines of the driver that processors are running now, described.
std::vector<std::string> DpcRoutinesRunning(PDRIVER_OBJECT driver);
// Waits, at most bound, until no processor runs a DPC routine of the driver.
bool AwaitDpcRoutinesOf(PDRIVER_OBJECT driver, std::chrono::milliseconds bound);
// The work item routines of the driver that system workers are running now.
std::vector<std::string> WorkRoutinesRunning(PDRIVER_OBJECT driver);
void StopProcessors();
void StartWorkers(unsigned count);
void StopWorkers();
// True while a work item or DPC is queued or running.
bool WorkersBusy();
bool ProcessorsBusy();
void ShutdownIo();
// File objects still open at shutdown are reported and let go of their devices.
void ShutdownFiles();
void ResetFiles();

// ---- The controlled scheduler (schedule.cpp) --------------------------------------------

namespace sched {
struct Thread;
void Start(const ScheduleOptions& options);
// Every thread runs free again (before the kernel's shutdown joins its threads).
void Stop();
const ScheduleResult& Result();
// A scheduling point: under control the strategy may run another thread here. Never
// called with one of the hosted kernel's own mutexes held.
void Point(const char* what);
// Cheap, without the scheduler's lock: whether this thread could be under control.
bool MayBeControlled();
// Waits under lock until ready() or, on the kernel clock, deadline; returns ready().
// Controlled, the thread gives up its turn; free, it waits on cv (or as freeWait,
// given, waits) as before.
bool Block(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
           const std::function<bool()>& ready, LONGLONG deadline, const char* what,
           const std::function<bool(std::unique_lock<std::mutex>&)>& freeWait);
// A thread of the kernel (daemon: a processor or worker, which may idle for ever)
// or of an application, controlled from its first instruction when the scheduler
// is active.
std::thread Spawn(std::string name, bool daemon, std::function<void()> body,
                  std::shared_ptr<Thread>* record = nullptr);
void WaitForExit(const std::shared_ptr<Thread>& thread);
// No scheduling point on this thread while it lives: the kernel's own calls of its
// services with one of its mutexes held.
class NoPoints {
  public:
    NoPoints();
    ~NoPoints();
    NoPoints(const NoPoints&) = delete;
    NoPoints& operator=(const NoPoints&) = delete;
};
} // namespace sched

// The controlled scheduler moves the manual clock when nothing can run: to t,
// firing the timers due by then.
void AdvanceManualClockTo(LONGLONG t);

} // namespace kx::detail
