// Dispatcher objects: events and the waits on them (timers are in timers.cpp).
// Every state change happens under one dispatcher lock, which is what the
// platform's dispatcher database amounts to. Each waiting thread is listed with
// the objects it waits for, as the platform's wait blocks list it on each object,
// and only a change that concerns it wakes it. Wait time-outs are measured on the
// kernel clock.
#include "internal.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace kx::detail {

namespace {

// A thread in WaitForObjects, listed under the dispatcher lock while it waits. Its
// condition variable is shared, so that a wake-up given after the lock is released
// never reaches a condition variable that has gone.
struct Waiter {
    std::shared_ptr<std::condition_variable> wake;
    PVOID* objects;
    ULONG count;
    const ApcQueue* apcs;
};

std::vector<Waiter*>& Waiters() {
    static std::vector<Waiter*> waiters;
    return waiters;
}

} // namespace

DispatcherWakes::~DispatcherWakes() {
    for (const auto& wake : wakes_)
        wake->notify_one();
}

void DispatcherWakes::AddWaitersOf(const void* object) {
    for (Waiter* waiter : Waiters()) {
        if (std::find(waiter->objects, waiter->objects + waiter->count, object) !=
            waiter->objects + waiter->count)
            wakes_.push_back(waiter->wake);
    }
}

void DispatcherWakes::AddApcWaiter(const ApcQueue* queue) {
    for (Waiter* waiter : Waiters()) {
        if (waiter->apcs == queue)
            wakes_.push_back(waiter->wake);
    }
}

void WakeAllWaitersLocked() {
    DispatcherCondition().notify_all();
    for (Waiter* waiter : Waiters())
        waiter->wake->notify_one();
}

std::mutex& DispatcherMutex() {
    static std::mutex mutex;
    return mutex;
}

std::condition_variable& DispatcherCondition() {
    static std::condition_variable condition;
    return condition;
}

void ForgetQueuedObjectsIn(const void* begin, size_t size,
                           const std::function<std::string()>& owner, Rule rule) {
    size_t timers = ForgetTimersIn(begin, size);
    size_t dpcs = ForgetDpcsIn(begin, size);
    size_t workItems = ForgetWorkItemsIn(begin, size);
    if (timers + dpcs + workItems != 0) {
        Report(rule, owner() + " with " + std::to_string(timers) + " timer(s) set, " +
                         std::to_string(dpcs) + " DPC(s) queued, " + std::to_string(workItems) +
                         " work item(s) queued in it");
    }
}

} // namespace kx::detail

using namespace kx;
using namespace kx::detail;

namespace {

constexpr UCHAR EventNotificationObject = NotificationEvent;
constexpr UCHAR EventSynchronizationObject = SynchronizationEvent;
constexpr UCHAR TimerSynchronizationObject = 9;

} // namespace

namespace {

// The one wait of the dispatcher: for any of the objects or for all of them at
// once. A wait at PASSIVE_LEVEL takes the thread's APCs as they come, then goes on
// waiting. A satisfied wait resets synchronization objects; notification objects
// keep their state.
NTSTATUS WaitForObjects(const char* routine, ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                        PLARGE_INTEGER Timeout) {
    // The wait that follows KeSetEvent(..., TRUE) starts at DISPATCH_LEVEL and
    // waits at the IRQL KeSetEvent was called at ("KeSetEvent" (WDK)).
    if (std::optional<KIRQL> before = std::exchange(Self().setEventWaitIrql, std::nullopt))
        KeLowerIrql(*before);
    bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    if (!poll && Self().irql > APC_LEVEL) {
        Report(Rule::WaitAtRaisedIrql, std::string(routine) + " on " + Hex(Object[0]) +
                                           " at IRQL " + std::to_string(Self().irql));
    }
    auto header = [Object](ULONG i) { return static_cast<DISPATCHER_HEADER*>(Object[i]); };
    // The index of the first signalled object (wait any), 0 when all are (wait all),
    // or Count while the wait is not satisfied.
    auto satisfied = [&]() -> ULONG {
        ULONG signalled = 0;
        for (ULONG i = 0; i < Count; ++i) {
            if (header(i)->SignalState > 0) {
                if (WaitType == WaitAny)
                    return i;
                ++signalled;
            }
        }
        return WaitType == WaitAll && signalled == Count && Count > 0 ? 0 : Count;
    };
    LONGLONG deadline = Timeout == nullptr || poll ? 0 : DueTimeFrom(Timeout->QuadPart);
    DeliverApcs();
    Waiter waiter{std::make_shared<std::condition_variable>(), Object, Count,
                  CurrentApcQueue().get()};
    sched::Point(routine);
    std::unique_lock<std::mutex> lock(DispatcherMutex());
    auto ready = [&] { return satisfied() < Count; };
    // Evaluated by other threads under the controlled scheduler: the APC test reads
    // this thread's queue, not the caller's.
    const bool takesApcs = Self().irql == PASSIVE_LEVEL;
    auto wake = [&] { return ready() || (takesApcs && ApcPendingLocked(*waiter.apcs)); };
    const std::string waitsFor = std::string(routine) + " on " + Hex(Object[0]);
    // Listed only while asleep: the lock is dropped only inside the wait and for
    // the APCs, and the entry goes before the wait block does.
    auto sleep = [&] {
        Waiters().push_back(&waiter);
        bool woken = true;
        if (Timeout == nullptr)
            sched::Block(lock, *waiter.wake, wake, std::numeric_limits<LONGLONG>::max(),
                         waitsFor.c_str(), nullptr);
        else
            woken = KernelClock().WaitUntil(lock, *waiter.wake, deadline, wake);
        Waiters().erase(std::find(Waiters().begin(), Waiters().end(), &waiter));
        return woken;
    };
    while (!ready()) {
        if (poll)
            return STATUS_TIMEOUT;
        if (!sleep())
            return STATUS_TIMEOUT;
        if (!ready() && ApcPendingLocked()) {
            lock.unlock();
            DeliverApcs();
            lock.lock();
        }
    }
    ULONG index = satisfied();
    static_assert(EventNotificationObject == 0, "notification events keep their state");
    for (ULONG i = 0; i < Count; ++i) {
        DISPATCHER_HEADER* object = header(i);
        bool resets = object->Type == EventSynchronizationObject ||
                      object->Type == TimerSynchronizationObject;
        if ((WaitType == WaitAll || i == index) && resets)
            object->SignalState = 0;
    }
    return static_cast<NTSTATUS>(STATUS_WAIT_0 + index);
}

} // namespace

extern "C" {

void NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.Absolute = 0;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.Inserted = 0;
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

// With Wait TRUE the routine returns at DISPATCH_LEVEL, the dispatcher lock held
// on the platform, and the caller must call KeWaitXxx next, which restores the
// IRQL; the caller must then be at APC_LEVEL or below ("KeSetEvent" (WDK)). The
// hosted kernel drops its lock (the wait that follows takes it again) but keeps
// the raised IRQL, so anything else the caller does before the wait runs at
// DISPATCH_LEVEL, as it would on Windows.
LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    (void)Increment;
    RequireIrqlAtMost(Wait ? APC_LEVEL : DISPATCH_LEVEL, "KeSetEvent");
    sched::Point("KeSetEvent");
    LONG previous;
    {
        DispatcherWakes wakes;
        std::lock_guard<std::mutex> guard(DispatcherMutex());
        previous = Event->Header.SignalState;
        Event->Header.SignalState = 1;
        // The waiter may free the event as soon as it sees the state: nothing
        // touches the object after the lock is dropped (the wake-ups go to the
        // waiting threads).
        wakes.AddWaitersOf(Event);
    }
    if (Wait && Self().irql <= APC_LEVEL) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        Self().setEventWaitIrql = old;
    }
    return previous;
}

void NTAPI KeClearEvent(PRKEVENT Event) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeClearEvent");
    sched::Point("KeClearEvent");
    PauseIfArmed(Event);
    std::lock_guard<std::mutex> guard(DispatcherMutex());
    Event->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
    sched::Point("KeResetEvent");
    std::lock_guard<std::mutex> guard(DispatcherMutex());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    sched::Point("KeReadStateEvent");
    std::lock_guard<std::mutex> guard(DispatcherMutex());
    return Event->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout) {
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    return WaitForObjects("KeWaitForSingleObject", 1, &Object, WaitAny, Timeout);
}

NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                        KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                        BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                        PVOID WaitBlockArray) {
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    (void)WaitBlockArray;
    return WaitForObjects("KeWaitForMultipleObjects", Count, Object, WaitType, Timeout);
}

} // extern "C"
