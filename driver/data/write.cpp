// The write path. Requests wait in WriteIrpQueue; the engine sends them strictly one
// at a time down the bulk-out pipe on the request's own IRP, chunk after chunk, and
// raises SERIAL_EV_TXEMPTY when the queue runs dry. Lock guards the queue,
// WriteBusy, WriteBytesQueued, PendingEvents and PerfStats; the cancel spin lock
// comes before Lock.
#include "data.h"

#include <driver/usb/usb.h>

static ULONG RequestAmount(PIRP Irp) {
    if (RequestKind(Irp) == IMMEDIATE_CHAR_MARK) {
        return 1;
    }
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
}

static void AdjustBytesQueued(PDEVICE_CONTEXT Context, LONG Delta) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&Context->Lock, &oldIrql);
    Context->WriteBytesQueued += Delta;
    KeReleaseSpinLock(&Context->Lock, oldIrql);
}

// STATUS_CANCELLED: the request was cancelled as it was being queued; it is not
// queued, not marked pending, and the caller completes it.
NTSTATUS QueueWrite(PDEVICE_CONTEXT DeviceContext, PIRP Irp, BOOLEAN AtHead) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&DeviceContext->Lock, &oldIrql);
    BOOLEAN queued = InsertQueuedRequest(&DeviceContext->WriteIrpQueue, Irp, WriteCancel, AtHead);
    KeReleaseSpinLock(&DeviceContext->Lock, oldIrql);
    return queued ? STATUS_PENDING : STATUS_CANCELLED;
}

PIRP DequeueWrite(PDEVICE_CONTEXT DeviceContext) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&DeviceContext->Lock, &oldIrql);
    PIRP irp = RemoveQueuedRequest(&DeviceContext->WriteIrpQueue);
    KeReleaseSpinLock(&DeviceContext->Lock, oldIrql);
    return irp;
}

// Starts the engine if it is idle. The test and the setting of WriteBusy are one
// hold of Lock, so exactly one caller starts it.
static void StartEngineIfIdle(PDEVICE_CONTEXT Context) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&Context->Lock, &oldIrql);
    BOOLEAN start = !Context->WriteBusy;
    Context->WriteBusy = 1;
    KeReleaseSpinLock(&Context->Lock, oldIrql);
    if (start) {
        StartNextWrite(Context);
    }
}

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;

    Irp->IoStatus.Information = 0;
    if (IsDeviceRemoving(context)) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    }
    if (length == 0) {
        return CompleteRequest(Irp, STATUS_SUCCESS);
    }
    NTSTATUS status = AcquireRequestLock(context, Irp);
    if (!NT_SUCCESS(status)) {
        return CompleteRequest(Irp, status);
    }
    AdjustBytesQueued(context, (LONG)length);
    SetRequestKind(Irp, WRITE_REQUEST_MARK);
    status = QueueWrite(context, Irp, FALSE);
    if (status == STATUS_PENDING) {
        StartEngineIfIdle(context);
        return status;
    }
    AdjustBytesQueued(context, -(LONG)length);
    Irp->IoStatus.Status = status;
    IofCompleteRequest(Irp, IO_SERIAL_INCREMENT);
    ReleaseRequestLock(context, Irp);
    return status;
}

// The character goes out right after the request in flight, ahead of every queued
// write. On STATUS_CANCELLED the request was never queued, its byte is taken back,
// and the caller completes it.
NTSTATUS QueueImmediateChar(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);

    AdjustBytesQueued(context, 1);
    SetRequestKind(Irp, IMMEDIATE_CHAR_MARK);
    NTSTATUS status = QueueWrite(context, Irp, TRUE);
    if (status == STATUS_PENDING) {
        StartEngineIfIdle(context);
    } else {
        AdjustBytesQueued(context, -1);
    }
    return status;
}

// Builds the next chunk of Transfer and sends the request down with it.
static void SendChunk(PDEVICE_CONTEXT Context, PIRP Irp, PWRITE_TRANSFER Transfer) {
    ULONG chunk = Transfer->BytesRemaining < BULK_TRANSFER_SIZE ? Transfer->BytesRemaining
                                                                : BULK_TRANSFER_SIZE;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* urb = &Transfer->Urb.UrbBulkOrInterruptTransfer;
    RtlZeroMemory(urb, sizeof(*urb));
    urb->Hdr.Length = (USHORT)sizeof(*urb);
    urb->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->PipeHandle = Context->BulkOutPipe;
    urb->TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
    urb->TransferBuffer = Transfer->NextBuffer;
    urb->TransferBufferLength = chunk;
    urb->TransferBufferMDL = NULL;
    urb->UrbLink = NULL;
    Transfer->NextBuffer += chunk;
    Transfer->BytesRemaining -= chunk;

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &Transfer->Urb;
    IoSetCompletionRoutine(Irp, WriteCompletion, Transfer, TRUE, TRUE, TRUE);
    IofCallDriver(Context->LowerDeviceObject, Irp);
}

// Ends a request the engine could not start; the engine stays stopped.
static NTSTATUS FailStart(PDEVICE_CONTEXT Context, PIRP Irp) {
    AdjustBytesQueued(Context, -(LONG)RequestAmount(Irp));
    ReleaseRequestLock(Context, Irp);
    return CompleteRequestInfo(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
}

// The queue ran dry: the engine goes idle (in the same hold of Lock that found the
// queue empty, so a request queued meanwhile restarts it) and SERIAL_EV_TXEMPTY is
// raised if asked for.
static void EngineIdle(PDEVICE_CONTEXT Context) {
    KIRQL oldIrql;
    ULONG events = 0;

    KeAcquireSpinLock(&Context->Lock, &oldIrql);
    if (!IsListEmpty(&Context->WriteIrpQueue)) {
        KeReleaseSpinLock(&Context->Lock, oldIrql);
        StartNextWrite(Context);
        return;
    }
    Context->WriteBusy = 0;
    if (Context->WaitMask & SERIAL_EV_TXEMPTY) {
        Context->PendingEvents |= SERIAL_EV_TXEMPTY;
        events = Context->PendingEvents;
    }
    KeReleaseSpinLock(&Context->Lock, oldIrql);
    if (events != 0) {
        DeliverEvents(Context, events);
    }
}

NTSTATUS StartNextWrite(PDEVICE_CONTEXT DeviceContext) {
    if (IsDeviceRemoving(DeviceContext)) {
        return STATUS_DELETE_PENDING;
    }
    PIRP irp = DequeueWrite(DeviceContext);
    if (irp == NULL) {
        EngineIdle(DeviceContext);
        return STATUS_UNSUCCESSFUL;
    }
    PWRITE_TRANSFER transfer = (PWRITE_TRANSFER)ExAllocatePoolWithTag(
        NonPagedPool, sizeof(WRITE_TRANSFER), KORVAX_POOL_TAG);
    if (transfer == NULL) {
        return FailStart(DeviceContext, irp);
    }
    RtlZeroMemory(transfer, sizeof(*transfer));
    transfer->NextBuffer = (PUCHAR)irp->AssociatedIrp.SystemBuffer;
    transfer->BytesRemaining = RequestAmount(irp);
    IncrementPendingTransfers(DeviceContext);
    irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(irp);
    SendChunk(DeviceContext, irp, transfer);
    return STATUS_PENDING;
}

// One chunk is done. The request goes on while chunks succeed and the port is
// open; when it ends, the next request is started before this one gives back its
// transfer count and remove-lock hold: once those are back, close or removal may
// free the device.
NTSTATUS NTAPI WriteCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    PWRITE_TRANSFER transfer = (PWRITE_TRANSFER)Context;
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    NTSTATUS status = Irp->IoStatus.Status;
    KIRQL oldIrql;

    transfer->BytesSent += transfer->Urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (NT_SUCCESS(status) && transfer->BytesRemaining != 0 && context->IsOpen) {
        SendChunk(context, Irp, transfer);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    KeAcquireSpinLock(&context->Lock, &oldIrql);
    context->WriteBytesQueued -= RequestAmount(Irp);
    if (NT_SUCCESS(status)) {
        // An immediate character returns no data: its caller may have no output buffer.
        Irp->IoStatus.Information =
            RequestKind(Irp) == IMMEDIATE_CHAR_MARK ? 0 : transfer->BytesSent;
        context->PerfStats.TransmittedCount += transfer->BytesSent;
    } else {
        Irp->IoStatus.Information = 0;
    }
    KeReleaseSpinLock(&context->Lock, oldIrql);

    if (NT_SUCCESS(status) && context->IsOpen) {
        StartNextWrite(context);
    }
    DecrementPendingTransfers(context);
    ReleaseRequestLock(context, Irp);
    ExFreePoolWithTag(transfer, KORVAX_POOL_TAG);
    return status;
}

// Called with the cancel spin lock held; owns the request (its cancel routine was
// taken by the platform's cancel path).
void NTAPI WriteCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    KIRQL oldIrql;

    KeAcquireSpinLock(&context->Lock, &oldIrql);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    context->WriteBytesQueued -= RequestAmount(Irp);
    KeReleaseSpinLock(&context->Lock, oldIrql);
    IoReleaseCancelSpinLock(Irp->CancelIrql);

    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(Irp, IO_SERIAL_INCREMENT);
    ReleaseRequestLock(context, Irp);
}
