// IRQL, spin locks, fast mutexes, interlocked operations and the lock-order check.
#include "internal.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <limits>
#include <map>
#include <set>
#include <sched.h>

namespace kx::detail {

ThreadState& Self() {
    thread_local ThreadState state;
    return state;
}

namespace {

// Edge a -> b: b was acquired while a was held.
std::mutex orderMutex;
std::map<const void*, std::set<const void*>> lockOrder;
std::map<const void*, std::string> lockKinds;

// A path from -> ... -> to along the recorded order, empty if there is none
// (depth first; the graph holds the locks of a few devices).
std::vector<const void*> OrderPathLocked(const void* from, const void* to) {
    std::vector<const void*> path{from};
    std::set<const void*> visited{from};
    std::vector<std::set<const void*>::const_iterator> next;
    auto edges = [](const void* lock) -> const std::set<const void*>* {
        auto it = lockOrder.find(lock);
        return it == lockOrder.end() ? nullptr : &it->second;
    };
    static const std::set<const void*> none;
    const std::set<const void*>* first = edges(from);
    next.push_back((first ? first : &none)->begin());
    while (!path.empty()) {
        const std::set<const void*>* out = edges(path.back());
        if (out == nullptr || next.back() == out->end()) {
            path.pop_back();
            next.pop_back();
            continue;
        }
        const void* lock = *next.back()++;
        if (lock == to) {
            path.push_back(lock);
            return path;
        }
        if (!visited.insert(lock).second)
            continue;
        const std::set<const void*>* deeper = edges(lock);
        path.push_back(lock);
        next.push_back((deeper ? deeper : &none)->begin());
    }
    return {};
}

std::string LockText(const void* lock) {
    auto kind = lockKinds.find(lock);
    return (kind == lockKinds.end() ? std::string("lock") : kind->second) + " " + Hex(lock);
}

} // namespace

// Driver Verifier's deadlock detection: every order in which two locks were ever
// held together is remembered, and a new order that closes a cycle through them,
// of any length (A then B on one thread, B then C on another, C then A on a third),
// is a potential deadlock even if the threads never met ("Deadlock Detection"
// (WDK)). Each order is checked once, when it is first seen.
void NoteLockAcquired(const void* lock, const char* kind) {
    ThreadState& self = Self();
    if (!self.heldLocks.empty()) {
        std::vector<std::string> cycles;
        {
            std::lock_guard<std::mutex> guard(orderMutex);
            lockKinds[lock] = kind;
            for (const void* held : self.heldLocks) {
                if (!lockOrder[held].insert(lock).second)
                    continue;
                std::vector<const void*> path = OrderPathLocked(lock, held);
                if (path.empty())
                    continue;
                std::string detail = LockText(held) + " then " + LockText(lock) +
                                     "; the opposite order was seen before:";
                for (const void* step : path)
                    detail += (step == path.front() ? " " : " then ") + LockText(step);
                cycles.push_back(detail);
            }
        }
        for (const auto& detail : cycles)
            Report(Rule::LockOrderInversion, detail);
    }
    self.heldLocks.push_back(lock);
}

void NoteLockReleased(const void* lock) {
    auto& held = Self().heldLocks;
    for (auto it = held.rbegin(); it != held.rend(); ++it) {
        if (*it == lock) {
            held.erase(std::next(it).base());
            return;
        }
    }
}

void ForgetLocksIn(const void* begin, size_t size) {
    auto first = static_cast<const char*>(begin);
    auto inRange = [&](const void* p) {
        auto c = static_cast<const char*>(p);
        return c >= first && c < first + size;
    };
    std::lock_guard<std::mutex> guard(orderMutex);
    for (auto it = lockOrder.begin(); it != lockOrder.end();) {
        if (inRange(it->first)) {
            it = lockOrder.erase(it);
            continue;
        }
        for (auto e = it->second.begin(); e != it->second.end();)
            e = inRange(*e) ? it->second.erase(e) : std::next(e);
        ++it;
    }
    for (auto it = lockKinds.begin(); it != lockKinds.end();)
        it = inRange(it->first) ? lockKinds.erase(it) : std::next(it);
}

void ResetLockOrder() {
    std::lock_guard<std::mutex> guard(orderMutex);
    lockOrder.clear();
    lockKinds.clear();
}

namespace {

ULONG_PTR OwnerToken() {
    return reinterpret_cast<ULONG_PTR>(&Self());
}

} // namespace

// The pause point before a lock's acquisition is keyed apart from the one after its
// release: a spin lock is pointer-aligned, so its address plus one is no other key.
const void* BeforeAcquireKey(PKSPIN_LOCK lock) {
    return reinterpret_cast<const char*>(lock) + 1;
}

namespace {

// Under the controlled scheduler: off the processor until the lock is free.
void SpinControlled(PKSPIN_LOCK lock, const char* kind) {
    static std::mutex none;
    static std::condition_variable never;
    std::unique_lock<std::mutex> held(none);
    sched::Block(
        held, never, [lock] { return __atomic_load_n(lock, __ATOMIC_RELAXED) == 0; },
        std::numeric_limits<LONGLONG>::max(), kind,
        [](std::unique_lock<std::mutex>&) { return false; });
}

void AcquireRaw(PKSPIN_LOCK lock, const char* kind) {
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == OwnerToken()) {
        Report(Rule::LockRecursion, std::string(kind) + " " + Hex(lock));
        return;
    }
    NoteLockAcquired(lock, kind);
    sched::Point(kind);
    for (unsigned spins = 0;; ++spins) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, OwnerToken(), false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED))
            return;
        NoteSpinning(lock);
        // Controlled, a thread spinning on a lock another holds cannot run until
        // the lock is free.
        if (sched::MayBeControlled())
            SpinControlled(lock, kind);
        // Two processors share the host's cores: let the owner run.
        if (spins > 64)
            sched_yield();
    }
}

bool ReleaseRaw(PKSPIN_LOCK lock, const char* kind) {
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) != OwnerToken()) {
        Report(Rule::SpinLockNotHeld, std::string(kind) + " " + Hex(lock));
        return false;
    }
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
    NoteLockReleased(lock);
    sched::Point(kind);
    return true;
}

void SetIrql(KIRQL irql) {
    Self().irql = irql;
}

} // namespace

void AcquireSpinLockRaw(PKSPIN_LOCK lock, const char* kind) {
    AcquireRaw(lock, kind);
}
bool ReleaseSpinLockRaw(PKSPIN_LOCK lock, const char* kind) {
    return ReleaseRaw(lock, kind);
}

} // namespace kx::detail

using namespace kx;
using namespace kx::detail;

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(void) {
    return Self().irql;
}

void NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    KIRQL current = Self().irql;
    if (NewIrql < current) {
        Report(Rule::KernelBugCheck, "IRQL_NOT_GREATER_OR_EQUAL: KeRaiseIrql from " +
                                         std::to_string(current) + " to " +
                                         std::to_string(NewIrql));
    }
    *OldIrql = current;
    SetIrql(NewIrql);
}

void NTAPI KeLowerIrql(KIRQL NewIrql) {
    KIRQL current = Self().irql;
    if (NewIrql > current) {
        Report(Rule::KernelBugCheck, "IRQL_NOT_LESS_OR_EQUAL: KeLowerIrql from " +
                                         std::to_string(current) + " to " +
                                         std::to_string(NewIrql));
        return;
    }
    SetIrql(NewIrql);
    // Back at PASSIVE_LEVEL, the thread takes the APCs queued to it meanwhile.
    if (NewIrql == PASSIVE_LEVEL && current != PASSIVE_LEVEL)
        DeliverApcs();
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel(void) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

void NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    *SpinLock = 0;
}

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeAcquireSpinLock");
    PauseIfArmed(BeforeAcquireKey(SpinLock));
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    AcquireRaw(SpinLock, "spin lock");
    return old;
}

void FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    if (Self().irql != DISPATCH_LEVEL) {
        Report(Rule::SpinLockWrongIrql,
               "KeReleaseSpinLock of " + Hex(SpinLock) + " at IRQL " + std::to_string(Self().irql));
    }
    if (!ReleaseRaw(SpinLock, "spin lock"))
        return;
    KeLowerIrql(NewIrql);
    PauseIfArmed(SpinLock);
}

void NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    if (Self().irql != DISPATCH_LEVEL) {
        Report(Rule::SpinLockWrongIrql, "KeAcquireSpinLockAtDpcLevel of " + Hex(SpinLock) +
                                            " at IRQL " + std::to_string(Self().irql));
    }
    AcquireRaw(SpinLock, "spin lock");
}

void NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    if (Self().irql != DISPATCH_LEVEL) {
        Report(Rule::SpinLockWrongIrql, "KeReleaseSpinLockFromDpcLevel of " + Hex(SpinLock) +
                                            " at IRQL " + std::to_string(Self().irql));
    }
    ReleaseRaw(SpinLock, "spin lock");
}

PKTHREAD NTAPI KeGetCurrentThread(void) {
    return reinterpret_cast<PKTHREAD>(&Self());
}

LONG FASTCALL InterlockedIncrement(volatile LONG* Addend) {
    sched::Point("InterlockedIncrement");
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

LONG FASTCALL InterlockedDecrement(volatile LONG* Addend) {
    sched::Point("InterlockedDecrement");
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

LONG FASTCALL InterlockedExchange(volatile LONG* Target, LONG Value) {
    sched::Point("InterlockedExchange");
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

LONG FASTCALL InterlockedExchangeAdd(volatile LONG* Addend, LONG Value) {
    sched::Point("InterlockedExchangeAdd");
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}

LONG FASTCALL InterlockedCompareExchange(volatile LONG* Destination, LONG Exchange,
                                         LONG Comparand) {
    sched::Point("InterlockedCompareExchange");
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}

PVOID NTAPI InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
    sched::Point("InterlockedExchangePointer");
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

PVOID NTAPI InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                              PVOID Comparand) {
    sched::Point("InterlockedCompareExchangePointer");
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}

void NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    FastMutex->OldIrql = PASSIVE_LEVEL;
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
}

void FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
    if (Self().irql > APC_LEVEL) {
        Report(Rule::FastMutexIrql,
               "fast mutex " + Hex(FastMutex) + " at IRQL " + std::to_string(Self().irql));
    }
    // Owner is read by a thread that may not hold the mutex (the recursion check):
    // one word, read and written whole.
    if (__atomic_load_n(&FastMutex->Owner, __ATOMIC_RELAXED) == KeGetCurrentThread()) {
        Report(Rule::LockRecursion, "fast mutex " + Hex(FastMutex));
        return;
    }
    NoteLockAcquired(FastMutex, "fast mutex");
    KIRQL old;
    KeRaiseIrql(std::max<KIRQL>(APC_LEVEL, Self().irql), &old);
    if (InterlockedDecrement(&FastMutex->Count) != 0) {
        FastMutex->Contention++;
        KeWaitForSingleObject(&FastMutex->Event, Executive, KernelMode, FALSE, nullptr);
    }
    __atomic_store_n(&FastMutex->Owner, KeGetCurrentThread(), __ATOMIC_RELAXED);
    FastMutex->OldIrql = old;
}

void FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
    if (Self().irql != APC_LEVEL) {
        Report(Rule::FastMutexIrql, "ExReleaseFastMutex of " + Hex(FastMutex) + " at IRQL " +
                                        std::to_string(Self().irql));
    }
    if (__atomic_load_n(&FastMutex->Owner, __ATOMIC_RELAXED) != KeGetCurrentThread()) {
        Report(Rule::FastMutexNotOwned, "fast mutex " + Hex(FastMutex));
        return;
    }
    KIRQL old = static_cast<KIRQL>(FastMutex->OldIrql);
    __atomic_store_n(&FastMutex->Owner, nullptr, __ATOMIC_RELAXED);
    NoteLockReleased(FastMutex);
    if (InterlockedIncrement(&FastMutex->Count) <= 0)
        KeSetEvent(&FastMutex->Event, IO_NO_INCREMENT, FALSE);
    KeLowerIrql(old);
}

} // extern "C"

namespace kx {

namespace {

// The armed pause point (checked without the mutex on every pass), and the paused
// thread's handshake with the test.
std::atomic<const void*> pauseArmed{nullptr};
std::mutex pauseMutex;
std::condition_variable pauseChanged;
bool pauseHeld = false;
// The lock a test waits to see contended, and whether a thread has spun for it.
std::atomic<const void*> spinWatched{nullptr};
bool spinSeen = false;

} // namespace

namespace detail {

void PauseIfArmed(const void* object) {
    const void* armed = object;
    if (pauseArmed.load(std::memory_order_relaxed) != object ||
        !pauseArmed.compare_exchange_strong(armed, nullptr))
        return;
    std::unique_lock<std::mutex> lock(pauseMutex);
    pauseHeld = true;
    pauseChanged.notify_all();
    sched::Block(
        lock, pauseChanged, [] { return !pauseHeld; }, std::numeric_limits<LONGLONG>::max(),
        "the test to resume it", nullptr);
}

void NoteSpinning(const void* lock) {
    const void* watched = lock;
    if (spinWatched.load(std::memory_order_relaxed) != lock ||
        !spinWatched.compare_exchange_strong(watched, nullptr))
        return;
    std::lock_guard<std::mutex> guard(pauseMutex);
    spinSeen = true;
    pauseChanged.notify_all();
}

} // namespace detail

void PauseBeforeNextAcquire(PKSPIN_LOCK lock) {
    pauseArmed.store(BeforeAcquireKey(lock));
}

void WaitForSpinner(PKSPIN_LOCK lock) {
    std::unique_lock<std::mutex> guard(pauseMutex);
    spinSeen = false;
    spinWatched.store(lock);
    detail::sched::Block(
        guard, pauseChanged, [] { return spinSeen; }, std::numeric_limits<LONGLONG>::max(),
        "a thread to spin for the lock", nullptr);
}

void PauseAfterNextRelease(PKSPIN_LOCK lock) {
    pauseArmed.store(lock);
}

void PauseBeforeNextClear(PKEVENT event) {
    pauseArmed.store(event);
}

void PauseAfterNextRemoveLockRelease(PIO_REMOVE_LOCK lock) {
    pauseArmed.store(&lock->Common);
}

void WaitForPause() {
    std::unique_lock<std::mutex> lock(pauseMutex);
    detail::sched::Block(
        lock, pauseChanged, [] { return pauseHeld; }, std::numeric_limits<LONGLONG>::max(),
        "a thread to pause", nullptr);
}

void ResumePaused() {
    std::lock_guard<std::mutex> lock(pauseMutex);
    pauseHeld = false;
    pauseChanged.notify_all();
}

} // namespace kx
