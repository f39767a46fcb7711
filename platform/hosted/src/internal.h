// Shared internals of the hosted kernel's modules.
#pragma once

#include <kx/host.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
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
void NoteLockReleased(const void* lock);
void ForgetLocksIn(const void* begin, size_t size);
void AcquireSpinLockRaw(PKSPIN_LOCK lock, const char* kind);
bool ReleaseSpinLockRaw(PKSPIN_LOCK lock, const char* kind);

// The dispatcher lock: every dispatcher object's state changes under it, and
// waiters sleep on the one condition variable.
std::mutex& DispatcherMutex();
std::condition_variable& DispatcherCondition();

// Fault injection: true when this allocation must fail.
bool ShouldFail(AllocationKind kind, ULONG tag, uintptr_t site);

// Pool bookkeeping that other modules check.
void CheckPoolLeaks(PDRIVER_OBJECT driver);
void ForgetDriverPool(PDRIVER_OBJECT driver);

// I/O manager internals.
void CheckIrpLeaks(PDRIVER_OBJECT driver);
void CheckRemoveLocksIn(const void* begin, size_t size, const std::string& owner);
void ForgetRemoveLocksIn(const void* begin, size_t size);
void RegisterDriverObject(PDRIVER_OBJECT driver);

// Per-module resets at boot and shutdown.
void ResetVerifier();
void ResetLockOrder();
void ResetPool();
void ResetIo();
void ResetDebug();
void ResetRemoveLocks();
void StartProcessors(unsigned count);
void StopProcessors();
void ShutdownIo();

} // namespace kx::detail
