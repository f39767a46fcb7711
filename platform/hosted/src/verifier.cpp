// The verifier: rule violations either stop the process, as a bug check would, or
// are recorded while a test captures them.
#include "internal.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <sstream>

namespace kx {

namespace {

std::mutex findingsMutex;
std::vector<Finding> captured;
int captureDepth = 0;
std::atomic<size_t> totalFindings{0};

} // namespace

const char* RuleName(Rule rule) {
    switch (rule) {
    case Rule::IrpCompletedTwice:
        return "IRP completed twice";
    case Rule::IrpCompletedPending:
        return "IRP completed with STATUS_PENDING";
    case Rule::IrpCompletedWithCancelRoutine:
        return "IRP completed with a cancel routine set";
    case Rule::PendingNotMarked:
        return "STATUS_PENDING returned for an IRP not marked pending";
    case Rule::MarkedNotPending:
        return "IRP marked pending but STATUS_PENDING not returned";
    case Rule::DriverIrpCompletedToTop:
        return "driver-allocated IRP completed past its last stack location";
    case Rule::IrpFreedWhileInUse:
        return "IRP freed while a driver still owns it";
    case Rule::IrpNotLive:
        return "operation on an IRP that does not exist";
    case Rule::NoMoreStackLocations:
        return "no more IRP stack locations";
    case Rule::IrqlTooHigh:
        return "routine called above its maximum IRQL";
    case Rule::IrqlNotRestored:
        return "routine returned at a different IRQL";
    case Rule::WaitAtRaisedIrql:
        return "wait at DISPATCH_LEVEL or above";
    case Rule::SpinLockNotHeld:
        return "spin lock released that is not held";
    case Rule::SpinLockWrongIrql:
        return "spin lock acquired or released at the wrong IRQL";
    case Rule::LockRecursion:
        return "lock acquired again by its owner (deadlock)";
    case Rule::LockOrderInversion:
        return "lock order inversion (potential deadlock)";
    case Rule::FastMutexIrql:
        return "fast mutex acquired above APC_LEVEL";
    case Rule::FastMutexNotOwned:
        return "fast mutex released by a thread that does not own it";
    case Rule::PoolLeak:
        return "pool leaked";
    case Rule::PoolDoubleFree:
        return "pool freed twice";
    case Rule::PoolBadFree:
        return "free of memory not allocated from pool";
    case Rule::PoolFreeTagMismatch:
        return "pool freed with another tag than its allocation's";
    case Rule::IrpLeak:
        return "IRP leaked";
    case Rule::RemoveLockLeak:
        return "remove-lock holds outstanding";
    case Rule::RemoveLockNotHeld:
        return "remove lock released with a tag that holds nothing";
    case Rule::DeviceDeletedBusy:
        return "device object deleted with requests outstanding";
    case Rule::DeviceStillAttached:
        return "device object deleted while still attached";
    case Rule::DriverUnloadedWithDevices:
        return "driver unloaded with device objects remaining";
    case Rule::ObjectFreedWhileQueued:
        return "memory freed with a timer set, a DPC or a work item queued in it";
    case Rule::HandleLeak:
        return "kernel handle left open";
    case Rule::InvalidHandle:
        return "invalid or closed handle used";
    case Rule::SymbolicLinkLeak:
        return "symbolic link left behind";
    case Rule::PnpContract:
        return "Plug and Play contract broken";
    case Rule::PowerIrpNotStarted:
        return "power IRP completed without PoStartNextPowerIrp";
    case Rule::SystemSetPowerFailed:
        return "system set-power IRP failed";
    case Rule::PowerIrpWithoutPoCallDriver:
        return "power IRP sent with IofCallDriver instead of PoCallDriver";
    case Rule::PoStartNextPowerIrpNotOwner:
        return "PoStartNextPowerIrp for a stack location of another driver";
    case Rule::UrbInFlightTwice:
        return "URB submitted again while still outstanding";
    case Rule::ZeroSizeAllocation:
        return "zero-byte pool allocation";
    case Rule::OutputOverrun:
        return "IoStatus.Information larger than the caller's output buffer";
    case Rule::CallDriverTooDeep:
        return "IofCallDriver nested too deep for the kernel stack";
    case Rule::CancelRoutineReturn:
        return "cancel routine returned holding the cancel spin lock or at another IRQL";
    case Rule::ImageUnloadedWithWorkQueued:
        return "driver image unloaded with its timer, DPC or work item still queued";
    case Rule::ImageCodeRunningAtUnload:
        return "driver unloaded while its DPC or work item routine is still running";
    case Rule::DispatchReturnedWithIrpOutstanding:
        return "dispatch routine returned a status for an IRP still outstanding";
    case Rule::DispatchStatusMismatch:
        return "dispatch routine returned another status than the IRP completed with";
    case Rule::ThreadedIrpFreed:
        return "IoFreeIrp of a threaded IRP still queued to its thread";
    case Rule::PowerPagableAboveNonPagable:
        return "DO_POWER_PAGABLE set above a device that has cleared it";
    case Rule::KernelBugCheck:
        return "bug check";
    }
    return "unknown rule";
}

VerifierCapture::VerifierCapture() {
    std::lock_guard<std::mutex> guard(findingsMutex);
    if (captureDepth++ == 0)
        captured.clear();
}

VerifierCapture::~VerifierCapture() {
    std::lock_guard<std::mutex> guard(findingsMutex);
    --captureDepth;
}

std::vector<Finding> VerifierCapture::Findings() const {
    std::lock_guard<std::mutex> guard(findingsMutex);
    return captured;
}

size_t VerifierCapture::Count(Rule rule) const {
    std::lock_guard<std::mutex> guard(findingsMutex);
    return static_cast<size_t>(std::count_if(captured.begin(), captured.end(),
                                             [rule](const Finding& f) { return f.rule == rule; }));
}

void VerifierCapture::Clear() {
    std::lock_guard<std::mutex> guard(findingsMutex);
    captured.clear();
}

size_t TotalFindings() {
    return totalFindings.load();
}

void ReportFinding(Rule rule, const std::string& detail) {
    detail::Report(rule, detail);
}

namespace detail {

void Report(Rule rule, const std::string& detail) {
    totalFindings++;
    {
        std::lock_guard<std::mutex> guard(findingsMutex);
        if (captureDepth > 0) {
            captured.push_back({rule, detail});
            return;
        }
    }
    std::fprintf(stderr, "*** VERIFIER: %s: %s\n", RuleName(rule), detail.c_str());
    std::fflush(stderr);
    std::abort();
}

std::string Hex(const void* pointer) {
    std::ostringstream out;
    out << pointer;
    return out.str();
}

std::string Hex(uint64_t value) {
    std::ostringstream out;
    out << "0x" << std::hex << std::uppercase << value;
    return out.str();
}

void RequireIrqlAtMost(KIRQL maximum, const char* routine) {
    KIRQL irql = Self().irql;
    if (irql > maximum) {
        Report(Rule::IrqlTooHigh, std::string(routine) + " called at IRQL " + std::to_string(irql) +
                                      ", maximum " + std::to_string(maximum));
    }
}

void ResetVerifier() {
    std::lock_guard<std::mutex> guard(findingsMutex);
    captured.clear();
}

} // namespace detail
} // namespace kx

extern "C" void NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3,
                                   ULONG_PTR P4) {
    std::fprintf(stderr, "*** BUGCHECK 0x%08X (%#zx, %#zx, %#zx, %#zx)\n", BugCheckCode,
                 static_cast<size_t>(P1), static_cast<size_t>(P2), static_cast<size_t>(P3),
                 static_cast<size_t>(P4));
    std::fflush(stderr);
    std::abort();
}
