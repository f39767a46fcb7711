// Control surface of the hosted kernel for tests, the simulator and benchmarks:
// boot and shutdown, driver load and unload, the verifier, fault injection, the
// debug log, running code at DISPATCH_LEVEL on the simulated processors, the
// kernel clock, system worker threads, device interfaces and announced power states.
#pragma once

#include <kx/schedule.h>
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
    // ExFreePoolWithTag given a tag other than the one the block was allocated with.
    PoolFreeTagMismatch,
    IrpLeak,
    RemoveLockLeak,
    RemoveLockNotHeld,
    DeviceDeletedBusy,
    DeviceStillAttached,
    DriverUnloadedWithDevices,
    // Memory freed while it holds a set timer, a queued DPC or a queued work item.
    ObjectFreedWhileQueued,
    // Kernel handles (registry keys) still open when their driver unloads or the
    // kernel shuts down; a handle used after it was closed, or never opened.
    HandleLeak,
    InvalidHandle,
    // A symbolic link left behind by its driver at unload, or by anyone at shutdown.
    SymbolicLinkLeak,
    // A driver broke the Plug and Play contract: failed a request that must not
    // fail, or left its device stack in place after IRP_MN_REMOVE_DEVICE.
    PnpContract,
    // A power IRP (set or query power) came back to its sender while a device it
    // was sent to with PoCallDriver had not called PoStartNextPowerIrp for it: on
    // Windows 2000/XP that device would never receive another power IRP of the kind.
    PowerIrpNotStarted,
    // A system set-power IRP came back to the power manager with an error status:
    // drivers may refuse a query, never the change of state itself.
    SystemSetPowerFailed,
    // An IRP_MJ_POWER request sent with IofCallDriver: Windows 2000/XP require
    // PoCallDriver, which keeps the one-at-a-time order of power IRPs.
    PowerIrpWithoutPoCallDriver,
    // PoStartNextPowerIrp called by a driver for an IRP whose current stack
    // location belongs to another driver (after IoSkipCurrentIrpStackLocation, or
    // for an IRP already passed down): it would start the wrong device's next IRP.
    PoStartNextPowerIrpNotOwner,
    // A URB was submitted to the bus while that same URB (the same memory) was
    // still outstanding there.
    UrbInFlightTwice,
    // Pool asked for zero bytes.
    ZeroSizeAllocation,
    // A buffered request completed with IoStatus.Information larger than the
    // caller's output buffer: the I/O manager would copy past its end.
    OutputOverrun,
    // IofCallDriver nested on one thread deeper than the kernel stack allows: a
    // request sent down again from its completion routine, recursively.
    CallDriverTooDeep,
    // A cancel routine returned still holding the cancel spin lock, or at an IRQL
    // other than the one it was called at.
    CancelRoutineReturn,
    // A driver image unloaded while a timer, DPC or work item of its own (its
    // object or its routine in the image) is still queued: the routine would run
    // in unmapped memory.
    ImageUnloadedWithWorkQueued,
    // A driver unloaded while a DPC or work item routine of its own is still on a
    // processor's or a worker's stack (it gave back its last hold and has not
    // returned yet): the rest of the routine would run in unmapped memory.
    ImageCodeRunningAtUnload,
    // A dispatch routine returned a status other than STATUS_PENDING for an IRP it
    // had neither completed nor passed down to a driver that completed it.
    DispatchReturnedWithIrpOutstanding,
    // A dispatch routine returned a status other than STATUS_PENDING that is
    // neither the status it completed the IRP with nor what IoCallDriver returned
    // for it.
    DispatchStatusMismatch,
    // IoFreeIrp of an IRP that IoBuildDeviceIoControlRequest or
    // IoBuildSynchronousFsdRequest built for a thread, before it completed: the
    // I/O manager still has it queued to the thread and frees it itself.
    ThreadedIrpFreed,
    // A device object with DO_POWER_PAGABLE set above one whose driver cleared it,
    // found when a power IRP is sent into the stack.
    PowerPagableAboveNonPagable,
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

// A finding of a component outside the kernel that checks a contract of its own
// (the simulated bus checks the URBs it is given): recorded, or stopping the
// process, exactly as the kernel's own findings are. Returns only under a
// VerifierCapture; the caller then takes the safe way out.
void ReportFinding(Rule rule, const std::string& detail);

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
// Calls the unload routine and checks that the driver left nothing behind. While
// a device of the driver is deleted but still referenced, the unload waits for the
// last reference and then runs on a system worker thread, as the system's does.
void UnloadDriver(PDRIVER_OBJECT driver);

void SetWdmVersion(UCHAR major, UCHAR minor);

// ---- Driver images ------------------------------------------------------------------------

enum class CallingConvention { Cdecl, Stdcall, Fastcall };
struct ImportBinding {
    void* address;
    CallingConvention convention;
    // The bytes of arguments the routine takes from the stack (stdcall, fastcall:
    // and pops); the x86 DDK's decorated names carry the same count.
    ULONG argumentBytes;
};
// The routine an image's import of module!name is bound to (module compared without
// case, as the system's loader does); nullopt when the kernel does not export it.
std::optional<ImportBinding> KernelExport(const std::string& module, const std::string& name);

// Loads a Windows x86 driver image (a .sys file) as the system does: maps it,
// relocates it, binds its imports from ntoskrnl.exe and HAL.dll, then runs its
// DriverEntry as LoadDriver does. An image the kernel cannot bind (an import it
// does not export, a damaged file) is refused with STATUS_PROCEDURE_NOT_FOUND or
// STATUS_INVALID_IMAGE_FORMAT and *error naming the cause. Only a 32-bit x86 build
// of the kernel can run an image. UnloadDriver unmaps it.
PDRIVER_OBJECT LoadDriverImage(const std::string& path, std::u16string_view name, NTSTATUS* status,
                               std::string* error = nullptr);

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
// KeRemoveQueueDpc as on Windows 2000 and XP, for the next call that finds dpc
// queued: it returns TRUE, yet the routine runs all the same (the run stays in the
// queue, and the DPC counts as not queued, so it may be queued again meanwhile).
void RunNextRemovedDpc(PKDPC dpc);
// Runs fn on the calling thread at the given IRQL, restoring the old one after.
void RunAtIrql(KIRQL irql, const std::function<void()>& fn);
// Runs the I/O completions queued to the calling thread, when it is at
// PASSIVE_LEVEL. The caller's part of finishing a request (buffered output copied
// back, status block, event, the file object's reference, the IRP) runs in the
// issuing thread as a kernel APC, taken at I/O service entry, in waits, on the
// return to PASSIVE_LEVEL and here: what the APC interrupt is to a thread running
// application code.
void DeliverApcs();
// Pause points for races: the next thread that releases *lock with
// KeReleaseSpinLock stops just after the release, at the IRQL it returned to, or
// the next that calls KeClearEvent on *event stops just before the clear, until
// ResumePaused. Tests use them to run the other side of a race at the exact
// moment a driver routine has let go of its lock or is about to clear its event.
void PauseAfterNextRelease(PKSPIN_LOCK lock);
void PauseBeforeNextClear(PKEVENT event);
// The next thread that gives back a hold of *lock with IoReleaseRemoveLockEx stops
// just after the release (its routine's last act, perhaps), until ResumePaused.
void PauseAfterNextRemoveLockRelease(PIO_REMOVE_LOCK lock);
// The next thread that calls KeAcquireSpinLock on *lock stops just before it raises
// IRQL and takes the lock, until ResumePaused: a cancel routine, say, whose request
// IoCancelIrp has already taken from the queue's owner.
void PauseBeforeNextAcquire(PKSPIN_LOCK lock);
// Waits until a thread finds *lock held by another and spins for it: the caller,
// holding the lock, then knows the other side is blocked at that acquisition.
void WaitForSpinner(PKSPIN_LOCK lock);
// Waits until a thread has stopped at the armed pause point.
void WaitForPause();
void ResumePaused();

// ---- Time --------------------------------------------------------------------------------

// The kernel clock counts interrupt time in 100 ns units from boot. With the manual
// clock (the default) it stands still until a test advances it; with the real clock
// it follows the host's steady clock.

// Moves the manual clock forward. Timers that fall due fire one due time after the
// other, in due-time order, the clock standing at each timer's due time while it
// fires; after each step the DPCs queued so far have run (DrainDispatchQueue), and
// every timed wait whose deadline has passed has ended. So when this returns,
// everything the elapsed time made happen has happened.
void AdvanceTime(LONGLONG hundredNs);
// Interrupt time since boot, in 100 ns units (what KeQueryInterruptTime returns).
LONGLONG CurrentTime();
// Blocks until at least count threads are inside a wait with a time-out (or a
// KeDelayExecutionThread) on the manual clock, so that a test advances time only
// once a relative deadline has been fixed.
void AwaitTimedWaits(size_t count);
// Timers currently set (inserted in the timer queue).
size_t TimerCount();

// ---- Work items -------------------------------------------------------------------------

// Waits until no work item is queued or running on the system worker threads.
void DrainWorkItems();

// ---- Device interfaces --------------------------------------------------------------------

struct DeviceInterface {
    GUID classGuid;
    PDEVICE_OBJECT pdo;
    std::u16string symbolicName; // \??\<instance path with # for \>#{guid}[\<reference>]
    bool enabled;
};

// The device instance path of a physical device object, as the PnP manager learns
// it from the bus driver (e.g. u"KORVAXBUS\\MODEM\\1"). A PDO its bus gave none is
// given ROOT\<BUS DRIVER>\<nnnn> (numbered per bus driver from 0000) the first
// time its path is needed, here or by IoRegisterDeviceInterface; it keeps that
// path until it is deleted.
void SetDeviceInstancePath(PDEVICE_OBJECT pdo, std::u16string_view instancePath);
std::u16string DeviceInstancePath(PDEVICE_OBJECT pdo);
std::vector<DeviceInterface> DeviceInterfaces();
// False for a name that is not registered. Names compare case-insensitively.
bool DeviceInterfaceEnabled(std::u16string_view symbolicName);
// The GUID in registry form: {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}, lower case.
std::u16string GuidText(const GUID& guid);

// ---- Power ----------------------------------------------------------------------------------

// What the device's driver last announced with PoSetPowerState (Unspecified, 0,
// before any announcement).
POWER_STATE AnnouncedPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type);

// ---- Boot -------------------------------------------------------------------------------

// Special pool (every pool allocation, IRP and system buffer sits in pages of its
// own, next to an inaccessible guard page): End puts each block at the end of its
// pages, so that a read or write past its end faults; Start puts it at the start,
// so that one before its start faults. Driver Verifier's special pool offers the
// same two choices.
enum class SpecialPoolGuard { End, Start };
// End, or Start when the environment has KORVAX_SPECIAL_POOL=start (to run whole
// suites with the guard before each block).
SpecialPoolGuard DefaultSpecialPoolGuard();

struct KernelOptions {
    unsigned processors = 2;
    // System worker threads behind ExQueueWorkItem (at least two, so that one may
    // wait while another runs).
    unsigned workerThreads = 2;
    // Tests use the manual clock; the simulator and the benchmarks the real one.
    bool manualClock = true;
    // No DPC threads: queued DPCs and dispatch-level work wait until a thread at
    // PASSIVE_LEVEL calls DrainDispatchQueue, which runs them itself, in queue order,
    // at DISPATCH_LEVEL. For measuring the driver's own cost on one thread; nothing
    // completes by itself in this mode, so tests do not use it.
    bool inlineDispatch = false;
    SpecialPoolGuard specialPool = DefaultSpecialPoolGuard();
    // The share (0-100) of KeRemoveQueueDpc calls that return TRUE and still let
    // the routine run, as Windows 2000/XP may; drawn from a generator seeded with
    // removedDpcSeed, for the chaos runs.
    unsigned removedDpcRunsPercent = 0;
    uint32_t removedDpcSeed = 1;
    // The controlled scheduler (kx/schedule.h): one thread at a time, chosen from a
    // seed, from boot until the kernel's destruction begins. Needs the manual clock.
    ScheduleOptions schedule;
};

// One hosted kernel per process at a time. Construction chooses the clock and
// starts the DPC threads, the worker threads and (real clock) the timer thread;
// destruction stops the clock, drains work items and DPCs, cancels every timer
// without firing it, reports anything leaked (pool, IRPs, devices) through the
// verifier and resets all kernel state for the next boot.
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
