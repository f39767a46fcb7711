// Kernel timers: dispatcher objects that are signalled when their due time comes,
// optionally queue a DPC then, and come back every period when periodic. The timer
// queue is ordered by due time and, among equal due times, by the order in which
// the timers were set, so the manual clock fires them deterministically. Every
// change happens under the dispatcher lock.
#include "internal.h"

#include <set>
#include <unordered_map>

namespace kx {

namespace {

// The dispatcher object types the platform gives timers (events are 0 and 1).
constexpr UCHAR TimerNotificationObject = 8;
constexpr UCHAR TimerSynchronizationObject = 9;

constexpr LONGLONG HundredNsPerMillisecond = 10000;

struct Key {
    LONGLONG due;
    uint64_t sequence;
    PKTIMER timer;
    bool operator<(const Key& other) const {
        return due != other.due ? due < other.due : sequence < other.sequence;
    }
};

// What KeSetTimerEx was given, kept here as well so that firing does not depend on
// the driver leaving the KTIMER alone.
struct Setting {
    Key key;
    PKDPC dpc;
    LONG period;
};

std::set<Key> queue;
std::unordered_map<PKTIMER, Setting> settings;
uint64_t nextSequence = 0;

bool RemoveLocked(PKTIMER timer) {
    auto it = settings.find(timer);
    if (it == settings.end())
        return false;
    queue.erase(it->second.key);
    settings.erase(it);
    return true;
}

void InsertLocked(PKTIMER timer, LONGLONG due, PKDPC dpc, LONG period) {
    Key key{due, nextSequence++, timer};
    queue.insert(key);
    settings[timer] = {key, dpc, period};
    timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
    timer->Header.Inserted = TRUE;
    detail::KernelClock().TimersChanged();
}

// The timer expires: it is signalled, waiters are released, its DPC is queued with
// the system time of the expiry as its two system arguments, and a periodic timer
// goes back into the queue one period later.
void ExpireLocked(const Setting setting, LONGLONG now) {
    // The DPC is queued with the dispatcher lock held: no thread may be given the
    // turn while this one holds it.
    detail::sched::NoPoints noPoints;
    PKTIMER timer = setting.key.timer;
    RemoveLocked(timer);
    timer->Header.SignalState = 1;
    timer->Header.Inserted = FALSE;
    if (setting.period > 0) {
        LONGLONG next = setting.key.due + setting.period * HundredNsPerMillisecond;
        // A real clock that fell behind does not fire a burst to catch up.
        if (next <= now)
            next = now + setting.period * HundredNsPerMillisecond;
        InsertLocked(timer, next, setting.dpc, setting.period);
    }
    detail::WakeAllWaitersLocked();
    if (setting.dpc != nullptr) {
        LARGE_INTEGER systemTime;
        systemTime.QuadPart = detail::KernelClock().SystemTimeAtBoot() + now;
        KeInsertQueueDpc(setting.dpc, reinterpret_cast<PVOID>(uintptr_t(systemTime.LowPart)),
                         reinterpret_cast<PVOID>(uintptr_t(ULONG(systemTime.HighPart))));
    }
}

bool InRange(const void* p, const void* begin, size_t size) {
    auto c = static_cast<const char*>(p);
    auto b = static_cast<const char*>(begin);
    return c >= b && c < b + size;
}

} // namespace

size_t TimerCount() {
    std::lock_guard<std::mutex> guard(detail::DispatcherMutex());
    return settings.size();
}

namespace detail {

bool EarliestTimerDueLocked(LONGLONG* due) {
    if (queue.empty())
        return false;
    *due = queue.begin()->due;
    return true;
}

void FireDueTimersLocked(LONGLONG now) {
    while (!queue.empty() && queue.begin()->due <= now)
        ExpireLocked(settings.at(queue.begin()->timer), now);
}

size_t ForgetTimersIn(const void* begin, size_t size) {
    std::lock_guard<std::mutex> guard(DispatcherMutex());
    size_t forgotten = 0;
    for (auto it = settings.begin(); it != settings.end();) {
        PKDPC dpc = it->second.dpc;
        if (InRange(it->first, begin, size) || InRange(dpc, begin, size) ||
            (dpc != nullptr &&
             InRange(reinterpret_cast<const void*>(dpc->DeferredRoutine), begin, size))) {
            queue.erase(it->second.key);
            it = settings.erase(it);
            ++forgotten;
        } else {
            ++it;
        }
    }
    return forgotten;
}

void ResetTimers() {
    std::lock_guard<std::mutex> guard(DispatcherMutex());
    queue.clear();
    settings.clear();
    nextSequence = 0;
}

} // namespace detail
} // namespace kx

using namespace kx;
using namespace kx::detail;

extern "C" {

void NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeInitializeTimerEx");
    std::lock_guard<std::mutex> guard(DispatcherMutex());
    // Initialising a timer that is still set would corrupt the platform's timer
    // table; here it simply leaves the queue.
    RemoveLocked(Timer);
    Timer->Header.Type =
        Type == SynchronizationTimer ? TimerSynchronizationObject : TimerNotificationObject;
    Timer->Header.Absolute = FALSE;
    Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
    Timer->Header.Inserted = FALSE;
    Timer->Header.SignalState = 0;
    InitializeListHead(&Timer->Header.WaitListHead);
    Timer->DueTime.QuadPart = 0;
    InitializeListHead(&Timer->TimerListEntry);
    Timer->Dpc = nullptr;
    Timer->Period = 0;
}

void NTAPI KeInitializeTimer(PKTIMER Timer) {
    KeInitializeTimerEx(Timer, NotificationTimer);
}

BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetTimerEx");
    sched::Point("KeSetTimerEx");
    std::lock_guard<std::mutex> guard(DispatcherMutex());
    bool wasSet = RemoveLocked(Timer);
    LONGLONG due = DueTimeFrom(DueTime.QuadPart);
    Timer->Header.SignalState = 0;
    Timer->Header.Absolute = DueTime.QuadPart >= 0;
    Timer->Dpc = Dpc;
    Timer->Period = Period;
    InsertLocked(Timer, due, Dpc, Period);
    // A due time already past (a relative 0, an absolute time gone by) expires at
    // once, without waiting for the clock to move.
    LONGLONG now = KernelClock().Now();
    if (due <= now)
        ExpireLocked(settings.at(Timer), now);
    return wasSet ? TRUE : FALSE;
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeCancelTimer");
    sched::Point("KeCancelTimer");
    std::lock_guard<std::mutex> guard(DispatcherMutex());
    bool wasSet = RemoveLocked(Timer);
    Timer->Header.Inserted = FALSE;
    return wasSet ? TRUE : FALSE;
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) {
    sched::Point("KeReadStateTimer");
    std::lock_guard<std::mutex> guard(DispatcherMutex());
    return Timer->Header.SignalState != 0 ? TRUE : FALSE;
}

} // extern "C"
