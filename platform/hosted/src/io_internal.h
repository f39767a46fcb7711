// I/O manager internals shared with the remove-lock, work-item, device-interface
// and power modules.
#pragma once

#include "internal.h"

#include <set>

// The hosted kernel's own record of a device object.
struct _DEVOBJ_EXTENSION {
    PDEVICE_OBJECT device = nullptr;
    std::u16string name;
    PDEVICE_OBJECT attachedTo = nullptr;
    size_t extensionSize = 0;
    int references = 1; // the object's own; IRPs in flight and handles add theirs
    bool deleted = false;
    std::multiset<PIRP> activeIrps;
    // What the driver last announced with PoSetPowerState, by POWER_STATE_TYPE.
    POWER_STATE announcedPower[2] = {};
};

namespace kx {

// Completing: IofCompleteRequest walks the stack. InRoutine: a completion routine
// runs, and may hand the IRP to a thread that completes it again (legal when the
// routine then returns STATUS_MORE_PROCESSING_REQUIRED).
enum class IrpState { Owned, Completing, InRoutine, Completed };

// What the verifier knows of one stack location of an IRP.
struct LevelTrack {
    PDEVICE_OBJECT device = nullptr; // the device the IRP is in (no reference)
    std::string goneDevice;          // that device, deleted and freed meanwhile
    int outstandingDispatches = 0;   // dispatch routines at this location not yet returned
    bool completed = false;          // completion has passed this location
    // The IRP may be sent to this location again from a completion routine above
    // while the dispatch routine of the earlier call has not yet returned. A call
    // is ended by the first completion after it began (several calls share one when
    // a driver passes the request on with the same location), so each call records
    // how many completions had passed here when it began.
    std::vector<bool> marks; // SL_PENDING_RETURNED as each completion found it
    // IoStatus.Status as each completion left this location: the status the driver
    // here completed the request with (or let its completion routine leave).
    std::vector<NTSTATUS> statuses;
    // Dispatch returns whose completion has not come yet: the index of that
    // completion and whether the call returned STATUS_PENDING.
    std::vector<std::pair<unsigned, bool>> waitingChecks;
    // The power manager dispatched the IRP here after PoCallDriver had returned
    // STATUS_PENDING for it: no dispatch return at this location is checked.
    bool heldBack = false;
};

struct IrpRecord {
    IrpState state = IrpState::Owned;
    bool freed = false;
    USHORT size = 0; // of the IRP's memory
    // Calls in progress that still read the IRP; its memory outlives IoFreeIrp
    // until they are done.
    int callRefs = 0;
    PDRIVER_OBJECT allocator = nullptr;
    unsigned completionCycle = 0;   // bumped by every IofCompleteRequest
    std::vector<LevelTrack> levels; // indexed by stack location number
    // The I/O manager's work when the IRP completes past its last location;
    // empty for IRPs a driver allocated for itself.
    std::function<void(PIRP)> onTopCompletion;
    // Built by the I/O manager for the calling thread and queued to it: only the
    // I/O manager frees it, once it has completed to the top.
    bool threaded = false;
};

std::mutex& IoMutex();
// The I/O manager's system buffer of a buffered request: pool contents (the fresh
// pool pattern), the caller's input copied to its start.
void* NewSystemBuffer(size_t size, const void* input, size_t inputLength);
void FreeSystemBuffer(void* buffer);
// How many bytes the I/O manager copies back to the caller's output buffer of
// outputLength bytes: Information, as the platform copies it without a look at the
// buffer's size. More than the buffer holds is a finding (the copy is then cut to
// the buffer, the safe way out).
size_t CheckedOutputLength(PIRP irp, size_t outputLength);
// What the I/O manager does when a request it built for a kernel-mode caller
// (IoBuildDeviceIoControlRequest, IoBuildSynchronousFsdRequest) comes back, in the
// thread that built it (its APC): the output copied back, the caller's status
// block, the IRP freed, the caller's event signalled.
void SetThreadedCompletion(PIRP irp, size_t outputLength);
PIRP AllocateIrpAt(CCHAR stackSize, uintptr_t site);
// Dispatches a power IRP that PoCallDriver held back (deferred to a worker or queued
// behind another power IRP): PoCallDriver has already returned STATUS_PENDING to
// the sender and marked the target's stack location pending, so the dispatch
// routine's own return is not checked against the mark.
NTSTATUS CallDriverHeldBack(PDEVICE_OBJECT device, PIRP irp);
// PoCallDriver's own way down: IofCallDriver without its check that power IRPs
// go through PoCallDriver.
NTSTATUS CallPowerDriver(PDEVICE_OBJECT device, PIRP irp);

} // namespace kx
