// Dispatcher objects: events and the waits on them (timers are in timers.cpp).
// Every state change happens under one dispatcher lock, and waiters sleep on one
// condition variable, which is what the platform's dispatcher database amounts to.
// Wait time-outs are measured on the kernel clock.
#include "internal.h"

namespace kx::detail {

std::mutex& DispatcherMutex() {
    static std::mutex mutex;
    return mutex;
}

std::condition_variable& DispatcherCondition() {
    static std::condition_variable condition;
    return condition;
}

void ForgetQueuedObjectsIn(const void* begin, size_t size, const std::string& owner) {
    size_t timers = ForgetTimersIn(begin, size);
    size_t dpcs = ForgetDpcsIn(begin, size);
    size_t workItems = ForgetWorkItemsIn(begin, size);
    if (timers + dpcs + workItems != 0) {
        Report(Rule::ObjectFreedWhileQueued, owner + " freed with " + std::to_string(timers) +
                                                 " timer(s) set, " + std::to_string(dpcs) +
                                                 " DPC(s) queued, " + std::to_string(workItems) +
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

extern "C" {

void NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.Absolute = 0;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.Inserted = 0;
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    (void)Increment;
    (void)Wait;
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
    std::lock_guard<std::mutex> guard(DispatcherMutex());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    // The waiter may free the event as soon as it sees the state: nothing touches
    // the object after the lock is dropped.
    DispatcherCondition().notify_all();
    return previous;
}

void NTAPI KeClearEvent(PRKEVENT Event) {
    PauseIfArmed(Event);
    std::lock_guard<std::mutex> guard(DispatcherMutex());
    Event->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> guard(DispatcherMutex());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> guard(DispatcherMutex());
    return Event->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout) {
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    if (!poll && Self().irql > APC_LEVEL) {
        Report(Rule::WaitAtRaisedIrql, "KeWaitForSingleObject on " + Hex(Object) + " at IRQL " +
                                           std::to_string(Self().irql));
    }
    auto* header = static_cast<DISPATCHER_HEADER*>(Object);
    std::unique_lock<std::mutex> lock(DispatcherMutex());
    auto signalled = [header] { return header->SignalState > 0; };
    if (!signalled()) {
        if (poll)
            return STATUS_TIMEOUT;
        if (Timeout == nullptr)
            DispatcherCondition().wait(lock, signalled);
        else if (!KernelClock().WaitUntil(lock, DueTimeFrom(Timeout->QuadPart), signalled))
            return STATUS_TIMEOUT;
    }
    // A satisfied wait resets synchronization objects; notification objects keep
    // their state.
    if (header->Type == EventSynchronizationObject || header->Type == TimerSynchronizationObject)
        header->SignalState = 0;
    static_assert(EventNotificationObject == 0, "notification events keep their state");
    return STATUS_SUCCESS;
}

} // extern "C"
