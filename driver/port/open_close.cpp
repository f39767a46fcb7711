// IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP and IRP_MJ_FLUSH_BUFFERS. The port
// admits one handle at a time; open resets the port's software state and the
// pipes and starts the two readers, close drops DTR and RTS, aborts the pipes and
// waits for every transfer the driver started. All four run at PASSIVE_LEVEL.
#include "port.h"

#include <driver/data/data.h>
#include <driver/usb/usb.h>

// Runs under OpenMutex before any transfer of the port exists, so no lock is held.
void ResetPortForOpen(PDEVICE_CONTEXT DeviceContext) {
    InitializeListHead(&DeviceContext->ReadIrpQueue);
    InitializeListHead(&DeviceContext->WaitIrpQueue);
    InitializeListHead(&DeviceContext->WriteIrpQueue);
    DeviceContext->ModemStatus |= SERIAL_MSR_DSR;
    DeviceContext->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
    DeviceContext->IsOpen = 1;
    DeviceContext->PendingTransferCount = 1; // the open reference
    DeviceContext->WaitMask = 0;
    DeviceContext->PendingEvents = 0;
    DeviceContext->BaudRate = OPEN_BAUD_RATE;
    DeviceContext->StopBits = OPEN_STOP_BITS;
    DeviceContext->Parity = OPEN_PARITY;
    DeviceContext->DataBits = OPEN_DATA_BITS;
    DeviceContext->WriteBytesQueued = 0;
    DeviceContext->HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
    DeviceContext->SpecialChars.XonChar = OPEN_XON_CHAR;
    DeviceContext->SpecialChars.XoffChar = OPEN_XOFF_CHAR;
    DeviceContext->WriteBusy = 0;
    DeviceContext->WriteStopped = 0;
    DeviceContext->CurrentWriteIrp = NULL;
    DeviceContext->CleanedUp = 0;
    DeviceContext->ReadersToRetry = 0;
    DeviceContext->BulkInThrottled = 0;
    DeviceContext->CommErrors = 0;
    KeInitializeEvent(&DeviceContext->NoPendingTransfersEvent, NotificationEvent, FALSE);
    DeviceContext->SystemSuspended = 0;
}

// Resets the three pipes in order; the first failure ends the sequence.
static NTSTATUS ResetPipes(PDEVICE_OBJECT DeviceObject, PDEVICE_CONTEXT Context) {
    NTSTATUS status = ResetPipe(DeviceObject, Context->BulkInPipe);
    if (NT_SUCCESS(status)) {
        status = ResetPipe(DeviceObject, Context->BulkOutPipe);
    }
    if (NT_SUCCESS(status)) {
        status = ResetPipe(DeviceObject, Context->InterruptInPipe);
    }
    return status;
}

// A failed open leaves nobody holding the port: it must not look open to the PnP
// queries or to a wake, so IsOpen and the open reference go before OpenCount.
static void AbandonOpen(PDEVICE_CONTEXT Context) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&Context->Lock, &oldIrql);
    Context->IsOpen = 0;
    Context->PendingTransferCount = 0;
    KeReleaseSpinLock(&Context->Lock, oldIrql);
    InterlockedDecrement(&Context->OpenCount);
}

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);

    Irp->IoStatus.Information = 0;
    if (context->PnpState != Started) {
        return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    ExAcquireFastMutex(&context->OpenMutex);
    if (IsDeviceRemoving(context)) {
        ExReleaseFastMutex(&context->OpenMutex);
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    }
    // A QUERY_STOP may have come between the test above and the mutex: it changes
    // the state under OpenMutex, so this test is the one that counts.
    if (context->PnpState != Started) {
        ExReleaseFastMutex(&context->OpenMutex);
        return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    NTSTATUS status = AcquireRequestLock(context, Irp);
    if (!NT_SUCCESS(status)) {
        ExReleaseFastMutex(&context->OpenMutex);
        return CompleteRequest(Irp, status);
    }
    if (InterlockedIncrement(&context->OpenCount) != 1) {
        InterlockedDecrement(&context->OpenCount);
        ReleaseRequestLock(context, Irp);
        ExReleaseFastMutex(&context->OpenMutex);
        return CompleteRequest(Irp, STATUS_ACCESS_DENIED);
    }
    ResetPortForOpen(context);
    ExReleaseFastMutex(&context->OpenMutex);

    status = ResetPipes(DeviceObject, context);
    if (NT_SUCCESS(status)) {
        RingPurge(context);
        StartInterruptRead(context);
        StartBulkInRead(context);
    } else {
        AbandonOpen(context);
    }
    ReleaseRequestLock(context, Irp);
    return CompleteRequest(Irp, status);
}

// TRUE once removal is under way (as opposed to a device declared lost that is
// still started): then no URB may be sent.
static BOOLEAN IsRemovalUnderway(PDEVICE_CONTEXT Context) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&Context->StateLock, &oldIrql);
    ULONG state = Context->PnpState;
    KeReleaseSpinLock(&Context->StateLock, oldIrql);
    return state == RemovePending || state == SurpriseRemoved || state == Removed;
}

// Close of a device that is going away or was declared lost. A lost device that is
// still started may still be in a call: DTR and RTS go down as at any close (the
// lost mark refuses every later open, so this close is the user's only hang-up).
// During removal no class request goes (the device is gone or going), but the
// pipes are aborted all the same: a parent may hold the transfers until
// IRP_MN_REMOVE_DEVICE, which waits for this close, and an abort on a removed
// device ends at once. A device that could not be brought back to D0 cannot
// answer a class request (the hub would hold it until D0 for ever), and powered
// down its lines are down anyway. Once the remove lock refuses (REMOVE has come),
// nothing may be sent, and the transfers have all ended.
static NTSTATUS CloseGoingDevice(PDEVICE_OBJECT DeviceObject, PDEVICE_CONTEXT Context, PIRP Irp) {
    InterlockedDecrement(&Context->OpenCount);
    ExReleaseFastMutex(&Context->CloseMutex);
    if (NT_SUCCESS(AcquireRequestLock(Context, Irp))) {
        if (!IsRemovalUnderway(Context) && Context->DevicePowerState == PowerDeviceD0) {
            SetControlLineState(DeviceObject, 0);
        }
        AbortAllPipes(DeviceObject);
        WaitForPendingTransfers(Context, DeviceObject);
        ReleaseRequestLock(Context, Irp);
    } else {
        WaitForPendingTransfers(Context, NULL);
    }
    return CompleteRequest(Irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    KIRQL oldIrql;

    ExAcquireFastMutex(&context->CloseMutex);
    // From here on the readers' completions stop re-issuing.
    KeAcquireSpinLock(&context->Lock, &oldIrql);
    context->IsOpen = 0;
    KeReleaseSpinLock(&context->Lock, oldIrql);
    Irp->IoStatus.Information = 0;

    if (IsDeviceRemoving(context)) {
        return CloseGoingDevice(DeviceObject, context, Irp);
    }
    if (!NT_SUCCESS(AcquireRequestLock(context, Irp))) {
        InterlockedDecrement(&context->OpenCount);
        ExReleaseFastMutex(&context->CloseMutex);
        WaitForPendingTransfers(context, NULL);
        return CompleteRequest(Irp, STATUS_SUCCESS);
    }
    // A refused second open raises OpenCount to 2 for a moment under the other
    // mutex: only a count below 1 means there is no open to close.
    if (context->OpenCount < 1) {
        ReleaseRequestLock(context, Irp);
        ExReleaseFastMutex(&context->CloseMutex);
        WaitForPendingTransfers(context, NULL);
        return CompleteRequest(Irp, STATUS_SUCCESS);
    }
    ExReleaseFastMutex(&context->CloseMutex);
    SetControlLineState(DeviceObject, 0);
    AbortAllPipes(DeviceObject);
    WaitForPendingTransfers(context, DeviceObject);
    ReleaseRequestLock(context, Irp);
    NTSTATUS status = CompleteRequest(Irp, STATUS_SUCCESS);
    InterlockedDecrement(&context->OpenCount);
    return status;
}

// Fails the handle's queued requests; the port stays open. A request that reaches
// the driver after this (another thread's ReadFile on the handle being closed) is
// refused with STATUS_CANCELLED instead of being queued, until the next open: no
// cleanup would come to end it, and it would keep the port held for ever.
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    KIRQL oldIrql;
    KeAcquireSpinLock(&context->Lock, &oldIrql);
    context->CleanedUp = 1;
    CancelReadTimers(context);
    KeReleaseSpinLock(&context->Lock, oldIrql);
    CancelAllQueues(DeviceObject);
    return CompleteRequestInfo(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI DispatchFlushBuffers(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteRequestInfo(Irp, STATUS_SUCCESS, 0);
}
