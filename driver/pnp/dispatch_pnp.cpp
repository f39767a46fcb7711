// IRP_MJ_PNP: the port's Plug and Play state, the pipe handles taken over at start,
// and the teardown of its names at stop, surprise removal and removal. PnP requests
// arrive one at a time per device at PASSIVE_LEVEL; DispatchPnp holds the remove
// lock across every handler.
#include "pnp.h"

#include <driver/data/data.h>

typedef NTSTATUS PNP_HANDLER(PDEVICE_OBJECT DeviceObject, PIRP Irp);

static PNP_HANDLER PnpStartDevice;
static PNP_HANDLER PnpQueryRemove;
static PNP_HANDLER PnpRemoveDevice;
static PNP_HANDLER PnpCancelRemove;
static PNP_HANDLER PnpStopDevice;
static PNP_HANDLER PnpQueryStop;
static PNP_HANDLER PnpCancelStop;
static PNP_HANDLER PnpQueryCapabilities;
static PNP_HANDLER PnpSurpriseRemoval;

#define PNP_MINOR_COUNT (IRP_MN_SURPRISE_REMOVAL + 1)

static PNP_HANDLER* const PnpMinorTable[PNP_MINOR_COUNT] = {
    PnpStartDevice,       // START_DEVICE
    PnpQueryRemove,       // QUERY_REMOVE_DEVICE
    PnpRemoveDevice,      // REMOVE_DEVICE
    PnpCancelRemove,      // CANCEL_REMOVE_DEVICE
    PnpStopDevice,        // STOP_DEVICE
    PnpQueryStop,         // QUERY_STOP_DEVICE
    PnpCancelStop,        // CANCEL_STOP_DEVICE
    PassIrpDown,          // QUERY_DEVICE_RELATIONS
    PassIrpDown,          // QUERY_INTERFACE
    PnpQueryCapabilities, // QUERY_CAPABILITIES
    PassIrpDown,          // QUERY_RESOURCES
    PassIrpDown,          // QUERY_RESOURCE_REQUIREMENTS
    PassIrpDown,          // QUERY_DEVICE_TEXT
    PassIrpDown,          // FILTER_RESOURCE_REQUIREMENTS
    PassIrpDown,          // 0x0E
    PassIrpDown,          // READ_CONFIG
    PassIrpDown,          // WRITE_CONFIG
    PassIrpDown,          // EJECT
    PassIrpDown,          // SET_LOCK
    PassIrpDown,          // QUERY_ID
    PassIrpDown,          // QUERY_PNP_DEVICE_STATE
    PassIrpDown,          // QUERY_BUS_INFORMATION
    PassIrpDown,          // DEVICE_USAGE_NOTIFICATION
    PnpSurpriseRemoval,   // SURPRISE_REMOVAL
};

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;

    NTSTATUS status = AcquireRequestLock(context, Irp);
    if (!NT_SUCCESS(status)) {
        return CompleteRequestInfo(Irp, status, 0);
    }
    if (minor >= PNP_MINOR_COUNT) {
        status = PassIrpDown(DeviceObject, Irp);
        ReleaseRequestLock(context, Irp);
        return status;
    }
    status = PnpMinorTable[minor](DeviceObject, Irp);
    // The remove handler gives back this hold itself and waits for all others.
    if (minor != IRP_MN_REMOVE_DEVICE) {
        ReleaseRequestLock(context, Irp);
    }
    return status;
}

// The parent bus driver keeps the pipe handles in its PDO's extension, words 3 to 5.
NTSTATUS CopyPipeHandles(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    USBD_PIPE_HANDLE* words = (USBD_PIPE_HANDLE*)context->PhysicalDeviceObject->DeviceExtension;
    context->BulkInPipe = words[3];
    context->BulkOutPipe = words[4];
    context->InterruptInPipe = words[5];
    return STATUS_SUCCESS;
}

static NTSTATUS PnpStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = ForwardIrpSynchronously(DeviceObject, Irp);
    if (!NT_SUCCESS(status)) {
        return CompleteRequest(Irp, status);
    }
    CopyPipeHandles(DeviceObject);
    status = CreatePortLink(context);
    if (!NT_SUCCESS(status)) {
        RemovePortLink(context);
        return CompleteRequest(Irp, status);
    }
    context->PnpState = Started;
    return CompleteRequest(Irp, status);
}

// QUERY_STOP and QUERY_REMOVE are refused while the port is open, and while a close
// is still draining its transfers (close clears IsOpen first and lets go of
// OpenCount last); OpenMutex keeps an open from slipping in between the test and
// the state change.
static BOOLEAN EnterPendingStateIfClosed(PDEVICE_CONTEXT Context, ULONG NewState) {
    ExAcquireFastMutex(&Context->OpenMutex);
    BOOLEAN closed = !Context->IsOpen && Context->OpenCount == 0;
    if (closed) {
        if (NewState == RemovePending) {
            Context->PreviousPnpState = Context->PnpState;
        }
        Context->PnpState = NewState;
    }
    ExReleaseFastMutex(&Context->OpenMutex);
    return closed;
}

static NTSTATUS PnpQueryStop(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    if (context->PnpState != Started) {
        return PassIrpDown(DeviceObject, Irp);
    }
    if (!EnterPendingStateIfClosed(context, StopPending)) {
        return CompleteRequest(Irp, STATUS_DEVICE_BUSY);
    }
    return PassIrpDown(DeviceObject, Irp);
}

// CANCEL_STOP and CANCEL_REMOVE: a device in the pending state returns to RestoredState
// once the lower drivers have cancelled too; in any other state the request just
// goes down.
static NTSTATUS CancelPendingState(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG PendingState,
                                   ULONG RestoredState) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    if (context->PnpState != PendingState) {
        return PassIrpDown(DeviceObject, Irp);
    }
    NTSTATUS status = ForwardIrpSynchronously(DeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        context->PnpState = RestoredState;
    }
    return CompleteRequest(Irp, status);
}

static NTSTATUS PnpCancelStop(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return CancelPendingState(DeviceObject, Irp, StopPending, Started);
}

static NTSTATUS PnpStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    if (context->PnpState == Started || context->PnpState == StopPending) {
        RemovePortLink(context);
    }
    context->PnpState = NotStarted;
    return PassIrpDown(DeviceObject, Irp);
}

static NTSTATUS PnpQueryRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    if (!EnterPendingStateIfClosed(context, RemovePending)) {
        return CompleteRequest(Irp, STATUS_DEVICE_BUSY);
    }
    return PassIrpDown(DeviceObject, Irp);
}

static NTSTATUS PnpCancelRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return CancelPendingState(DeviceObject, Irp, RemovePending,
                              GetDeviceContext(DeviceObject)->PreviousPnpState);
}

// Moves to NewState under StateLock, so the gate refuses every request from here on;
// returns the state it replaced.
static ULONG ChangeStateForRemoval(PDEVICE_CONTEXT Context, ULONG NewState) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&Context->StateLock, &oldIrql);
    ULONG previous = Context->PnpState;
    Context->PnpState = NewState;
    KeReleaseSpinLock(&Context->StateLock, oldIrql);
    return previous;
}

static void FreeDeviceName(PDEVICE_CONTEXT Context) {
    if (Context->DeviceName.Buffer != NULL) {
        ExFreePoolWithTag(Context->DeviceName.Buffer, KORVAX_POOL_TAG);
        Context->DeviceName.Buffer = NULL;
        Context->DeviceName.Length = Context->DeviceName.MaximumLength = 0;
    }
}

// Surprise removal and removal end the queued requests and stop the read timers: a
// timer still armed would keep the removal waiting for its hold until it fired.
static void CancelRequestsAndTimers(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    KIRQL oldIrql;

    CancelAllQueues(DeviceObject);
    KeAcquireSpinLock(&context->Lock, &oldIrql);
    CancelReadTimers(context);
    KeReleaseSpinLock(&context->Lock, oldIrql);
}

// The names come down whatever the state was: a port surprise-removed while a stop
// or removal was pending still holds its link and device-map value, and leaving
// them would keep the next modem with that PortName from starting.
static NTSTATUS PnpSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);

    ChangeStateForRemoval(context, SurpriseRemoved);
    CancelRequestsAndTimers(DeviceObject);
    RemovePortLink(context);
    FreeDeviceName(context);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassIrpDown(DeviceObject, Irp);
}

// The request goes down before the wait: the lower drivers fail what is still in
// flight, and the completions give back their holds.
static NTSTATUS PnpRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);

    ULONG previous = ChangeStateForRemoval(context, Removed);
    CancelRequestsAndTimers(DeviceObject);
    if (previous != SurpriseRemoved) {
        RemovePortLink(context);
    }
    FreeDeviceName(context);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = PassIrpDown(DeviceObject, Irp);
    IoReleaseRemoveLockAndWaitEx(&context->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
    DetachAndDeleteDevice(DeviceObject);
    return status;
}

static NTSTATUS PnpQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    PDEVICE_CAPABILITIES capabilities =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;

    if (capabilities->Version < 1) {
        return PassIrpDown(DeviceObject, Irp);
    }
    NTSTATUS status = ForwardIrpSynchronously(DeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        capabilities->Removable = 1;
        capabilities->UniqueID = 1;
        capabilities->SurpriseRemovalOK = 1;
        RtlCopyMemory(&context->DeviceCapabilities, capabilities, sizeof(DEVICE_CAPABILITIES));
    }
    return CompleteRequest(Irp, status);
}
