// Control surface of the hosted kernel for tests, the simulator and benchmarks:
// boot and shutdown, driver load and unload, the verifier, fault injection, the
// debug log and running code at DISPATCH_LEVEL on the simulated processors.
#pragma once

#include <kx/wdm.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kx {

// ---- Verifier -------------------------------------------------------------------------------

enum class Rule {
    IrpCompletedTwice,
    IrpCompletedPending,
    IrpCompletedWithCancelRoutine,
    PendingNotMarked,
    MarkedNotPending,
    DriverIrpCompletedToTop,
    IrpFreedWhileInUse,
    IrpNotLive,
    NoMoreStackLocations,
    IrqlTooHigh,
    IrqlNotRestored,
    WaitAtRaisedIrql,
    SpinLockNotHeld,
    SpinLockWrongIrql,
    LockRecursion,
    LockOrderInversion,
    FastMutexIrql,
    FastMutexNotOwned,
    PoolLeak,
    PoolDoubleFree,
    PoolBadFree,
    IrpLeak,
    RemoveLockLeak,
    RemoveLockNotHeld,
    DeviceDeletedBusy,
    DeviceStillAttached,
    DriverUnloadedWithDevices,
    KernelBugCheck,
};

const char* RuleName(Rule rule);

struct Finding {
    Rule rule;
    std::string detail;
};

// While one of these lives, verifier findings are recorded instead of stopping the
// process, and the kernel takes the safe way out of the offending call (a second
// completion is ignored, a release of a lock not held changes nothing, ...).
// Without one, a finding prints "*** VERIFIER: <rule>: <detail>" and aborts, as a
// bug check would.
class VerifierCapture {
  public:
    VerifierCapture();
    ~VerifierCapture();
    VerifierCapture(const VerifierCapture&) = delete;
    VerifierCapture& operator=(const VerifierCapture&) = delete;

    std::vector<Finding> Findings() const;
    size_t Count(Rule rule) const;
    bool Has(Rule rule) const { return Count(rule) != 0; }
    void Clear();
};

// Every finding since boot, captured or not (the simulator's summary counts them).
size_t TotalFindings();

// ---- Fault injection ------------------------------------------------------------------------

enum class AllocationKind { Pool, Irp };

// Fails one allocation: the Nth (1-based) of the given kind counted from when the
// rule is armed, optionally counting only allocations with the given pool tag or
// from the given call site (a return address recorded by AllocationLog).
struct FaultRule {
    AllocationKind kind = AllocationKind::Pool;
    uint64_t nth = 1;
    std::optional<ULONG> tag;
    std::optional<uintptr_t> site;
};

void ArmFault(const FaultRule& rule);
void DisarmFaults();
// Allocations of each kind made since boot (fault sweeps count a scenario's sites).
uint64_t AllocationCount(AllocationKind kind);

struct PoolUsage {
    size_t allocations = 0;
    size_t bytes = 0;
};
PoolUsage OutstandingPool();
PoolUsage OutstandingPool(ULONG tag);
size_t OutstandingIrps();

// ---- Drivers ----------------------------------------------------------------------------

// Creates a driver object named \Driver\<name> and runs its entry point at
// PASSIVE_LEVEL. Returns the object, or null with *status set when the entry fails.
PDRIVER_OBJECT LoadDriver(PDRIVER_INITIALIZE entry, std::u16string_view name, NTSTATUS* status);
// Calls the unload routine and checks that the driver left nothing behind.
void UnloadDriver(PDRIVER_OBJECT driver);

void SetWdmVersion(UCHAR major, UCHAR minor);

// ---- Objects ------------------------------------------------------------------------------

// A named device object (\Device\...), or null.
PDEVICE_OBJECT LookupDevice(std::u16string_view name);
std::u16string DeviceName(PDEVICE_OBJECT device);
// The device object this one is attached to (what IoAttachDeviceToDeviceStack returned).
PDEVICE_OBJECT AttachedTo(PDEVICE_OBJECT device);
bool DeviceExists(PDEVICE_OBJECT device);
// Installs what the I/O manager does when a request it built completes past its
// last stack location (copy out, status block, event, free).
void SetIrpTopCompletion(PIRP irp, std::function<void(PIRP)> onTop);

// ---- Debug output -----------------------------------------------------------------------

std::vector<std::string> DebugLines();
void ClearDebugLines();
// Called with each complete line as it is printed (the simulator shows the banners).
void SetDebugSink(std::function<void(const std::string&)> sink);

// ---- Processors -------------------------------------------------------------------------

// Runs fn on a DPC thread at DISPATCH_LEVEL, as a lower driver's completion would.
void QueueAtDispatch(std::function<void()> fn);
// Waits until no DPC or queued dispatch-level work is pending or running.
void DrainDispatchQueue();
// Runs fn on the calling thread at the given IRQL, restoring the old one after.
void RunAtIrql(KIRQL irql, const std::function<void()>& fn);

// ---- Boot -------------------------------------------------------------------------------

struct KernelOptions {
    unsigned processors = 2;
};

// One hosted kernel per process at a time. Construction starts the DPC threads;
// destruction drains them, reports anything leaked (pool, IRPs, devices) through
// the verifier and resets all kernel state for the next boot.
class Kernel {
  public:
    explicit Kernel(KernelOptions options = {});
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;
};

// Test helpers for 16-bit strings.
std::u16string ToU16(std::string_view text);
std::string ToUtf8(std::u16string_view text);
std::u16string ToU16(const UNICODE_STRING& string);

} // namespace kx
