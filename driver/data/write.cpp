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

// STATUS_CANCELLED: the request was cancelled as it was being queued, or came
// after the handle's cleanup; STATUS_DELETE_PENDING: it passed the gate, then a
// removal emptied the queue and stopped the engine before it got here (removal
// marks the device under StateLock before it takes Lock to empty the queue). Either
// way it is not queued, not marked pending, and the caller completes it.
NTSTATUS QueueWrite(PDEVICE_CONTEXT DeviceContext, PIRP Irp, BOOLEAN AtHead) {
    KIRQL oldIrql;
    NTSTATUS status = STATUS_PENDING;
    KeAcquireSpinLock(&DeviceContext->Lock, &oldIrql);
    if (DeviceContext->CleanedUp) {
        status = STATUS_CANCELLED;
    } else if (IsDeviceRemoving(DeviceContext)) {
        status = STATUS_DELETE_PENDING;
    } else if (!InsertQueuedRequest(&DeviceContext->WriteIrpQueue, Irp, WriteCancel, AtHead)) {
        status = STATUS_CANCELLED;
    }
    KeReleaseSpinLock(&DeviceContext->Lock, oldIrql);
    return status;
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
// write. On STATUS_CANCELLED or STATUS_DELETE_PENDING the request was never queued,
// its byte is taken back, and the caller completes it.
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

// Builds the next chunk of Transfer and sends the request down with it. Returns
// TRUE when the chunk has already finished (the lower driver completed it inside
// the call), so that the caller takes the engine on; FALSE when the chunk's
// completion will. Until the sender lets go of the handoff, the request and its
// remove-lock hold are still there, so the device is too.
static BOOLEAN SendChunk(PDEVICE_CONTEXT Context, PIRP Irp, PWRITE_TRANSFER Transfer) {
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
    InterlockedExchange(&Transfer->Handoff, 2);
    IofCallDriver(Context->LowerDeviceObject, Irp);
    WakeClosingPort(Context);
    return InterlockedDecrement(&Transfer->Handoff) == 0;
}

// Ends a request the engine could not start; the engine stays stopped.
static NTSTATUS FailStart(PDEVICE_CONTEXT Context, PIRP Irp) {
    AdjustBytesQueued(Context, -(LONG)RequestAmount(Irp));
    ReleaseRequestLock(Context, Irp);
    return CompleteRequestInfo(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
}

// The queue ran dry: the engine goes idle in the same hold of Lock that finds the
// queue empty, so a request queued meanwhile, whose dispatch saw WriteBusy set, is
// not left without an engine (FALSE: take that one). SERIAL_EV_TXEMPTY is raised if
// asked for, unless the last request failed: its data never went out.
static BOOLEAN EngineIdle(PDEVICE_CONTEXT Context, BOOLEAN LastFailed) {
    KIRQL oldIrql;
    BOOLEAN raised = FALSE;

    KeAcquireSpinLock(&Context->Lock, &oldIrql);
    if (!IsListEmpty(&Context->WriteIrpQueue)) {
        KeReleaseSpinLock(&Context->Lock, oldIrql);
        return FALSE;
    }
    Context->WriteBusy = 0;
    if ((Context->WaitMask & SERIAL_EV_TXEMPTY) && !LastFailed) {
        Context->PendingEvents |= SERIAL_EV_TXEMPTY;
        raised = TRUE;
    }
    KeReleaseSpinLock(&Context->Lock, oldIrql);
    if (raised) {
        DeliverPendingEvents(Context, FALSE);
    }
    return TRUE;
}

// ---- The write total time-out ----
//
// COMMTIMEOUTS (Win32): a write that has not ended WriteTotalTimeoutMultiplier x
// its length + WriteTotalTimeoutConstant milliseconds after the engine took it
// ends with the bytes sent so far, the rest not sent; 0 and 0 mean no time-out.
// The timer cancels the request as a purge does, and the engine ends it with
// STATUS_TIMEOUT.
//
// The timer's DPC uses the device context, so each setting holds the remove lock
// until its run ends. No count is taken from KeCancelTimer or KeRemoveQueueDpc
// (on a Windows 2000/XP multiprocessor a DPC may still run after KeRemoveQueueDpc
// returned TRUE): the timer is never cancelled, only set again, and a setting is
// made only on a DPC that has no run to come, so that its expiry cannot merge into
// another's queued run. KeSetTimer returning TRUE says the setting before it was
// still waiting in the timer queue (KeSetTimer routine (WDK)): it will never
// expire, and its hold is given back. A setting that has become stale (its write
// ended first) is replaced by one that expires at once, so that no hold lingers
// until a long due time.

static UCHAR WriteTimerIndex(PDEVICE_CONTEXT Context, PKDPC Dpc) {
    return Dpc == &Context->WriteTotalDpc[0] ? 0 : 1;
}

static void ReleaseWriteTimerHold(PDEVICE_CONTEXT Context, UCHAR Index) {
    IoReleaseRemoveLockEx(&Context->RemoveLock, &Context->WriteTotalDpc[Index],
                          sizeof(IO_REMOVE_LOCK));
}

void InitializeWriteTimer(PDEVICE_CONTEXT DeviceContext) {
    KeInitializeTimer(&DeviceContext->WriteTotalTimer);
    KeInitializeDpc(&DeviceContext->WriteTotalDpc[0], WriteTotalTimeoutDpc, DeviceContext);
    KeInitializeDpc(&DeviceContext->WriteTotalDpc[1], WriteTotalTimeoutDpc, DeviceContext);
    DeviceContext->WriteTimerCurrent = WRITE_TIMER_NONE;
}

// Lock held, and a hold of the caller's own keeps the device (a released hold may
// be the last but one). Sets the timer on DPC Index, which has no run to come and
// whose hold the caller has taken.
static void SetWriteTimerOn(PDEVICE_CONTEXT Context, UCHAR Index, LARGE_INTEGER DueTime, PIRP Irp) {
    UCHAR previous = Context->WriteTimerCurrent;
    if (KeSetTimer(&Context->WriteTotalTimer, DueTime, &Context->WriteTotalDpc[Index]) &&
        previous != WRITE_TIMER_NONE) {
        Context->WriteTimerPending[previous] = 0;
        ReleaseWriteTimerHold(Context, previous);
    }
    Context->WriteTimerPending[Index] = 1;
    Context->WriteTimerCurrent = Index;
    Context->WriteTimerIrp = Irp;
}

// Lock held; the caller's own hold keeps the device. Times Irp (NULL: replaces a
// stale setting by one that expires at once). With both DPCs waiting for a run,
// the first run does it; when removal has begun, nothing is set (the write goes
// on without a time-out).
static void ArmWriteTimer(PDEVICE_CONTEXT Context, LARGE_INTEGER DueTime, PIRP Irp) {
    UCHAR index = !Context->WriteTimerPending[0]   ? 0
                  : !Context->WriteTimerPending[1] ? 1
                                                   : WRITE_TIMER_NONE;
    Context->WriteTimerIrp = NULL;
    if (index == WRITE_TIMER_NONE) {
        Context->WriteTimerWanted = 1;
        Context->WriteTimerWantedDue = DueTime;
        Context->WriteTimerWantedIrp = Irp;
        return;
    }
    Context->WriteTimerWanted = 0;
    if (!NT_SUCCESS(IoAcquireRemoveLockEx(&Context->RemoveLock, &Context->WriteTotalDpc[index], "",
                                          1, sizeof(IO_REMOVE_LOCK)))) {
        return;
    }
    SetWriteTimerOn(Context, index, DueTime, Irp);
}

// Lock held. The write Irp has ended: a setting that times it becomes one that
// expires at once, and a wish for it is dropped.
static void RetireWriteTimer(PDEVICE_CONTEXT Context, PIRP Irp) {
    if (Context->WriteTimerWanted && Context->WriteTimerWantedIrp == Irp) {
        Context->WriteTimerWantedIrp = NULL;
        Context->WriteTimerWantedDue.QuadPart = 0;
    }
    if (Context->WriteTimerCurrent != WRITE_TIMER_NONE && Context->WriteTimerIrp == Irp) {
        LARGE_INTEGER longPast;
        longPast.QuadPart = 0; // an absolute time long gone: expires at once
        ArmWriteTimer(Context, longPast, NULL);
    }
}

// Lock held, as the engine takes Irp. Only a write request is timed.
static void StartWriteTimeout(PDEVICE_CONTEXT Context, PIRP Irp) {
    ULONG multiplier = Context->Timeouts.WriteTotalTimeoutMultiplier;
    ULONG constant = Context->Timeouts.WriteTotalTimeoutConstant;
    LARGE_INTEGER dueTime;
    if (RequestKind(Irp) != WRITE_REQUEST_MARK || (multiplier == 0 && constant == 0) ||
        !TotalTimeoutDueTime(multiplier, constant, RequestAmount(Irp), &dueTime)) {
        return;
    }
    ArmWriteTimer(Context, dueTime, Irp);
}

// The cancellers' claims on a request the engine has ended while they were still
// in IoCancelIrp on it. The request is the driver's again (the lower driver has
// given it back) until the last of them completes it, so its DriverContext is free.
static ULONG_PTR* EndedWriteClaims(PIRP Irp) {
    return (ULONG_PTR*)&Irp->Tail.Overlay.DriverContext[0];
}

// Lock not held. Ends a cancellation of Irp (purge or time-out), taken while Irp
// was CurrentWriteIrp. While it still is, the claim counts in WriteCancellers;
// once the engine has ended it, the claim is on the request, and the last
// canceller completes it. A claim is never on another request than its own: the
// engine may end the next write while this one's canceller is still here.
static void LeaveCurrentWrite(PDEVICE_CONTEXT Context, PIRP Irp) {
    KIRQL oldIrql;
    BOOLEAN last = FALSE;
    KeAcquireSpinLock(&Context->Lock, &oldIrql);
    if (Irp == Context->CurrentWriteIrp) {
        Context->WriteCancellers--;
    } else {
        last = --*EndedWriteClaims(Irp) == 0;
    }
    KeReleaseSpinLock(&Context->Lock, oldIrql);
    if (last) {
        IofCompleteRequest(Irp, IO_SERIAL_INCREMENT);
    }
}

// The run of one setting. Its own hold keeps the device until its last touch: it
// passes the hold on to a setting it makes on its own DPC, or gives it back last.
void NTAPI WriteTotalTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    PDEVICE_CONTEXT context = (PDEVICE_CONTEXT)DeferredContext;
    UCHAR self = WriteTimerIndex(context, Dpc);
    PIRP expired = NULL;
    KIRQL oldIrql;

    KeAcquireSpinLock(&context->Lock, &oldIrql);
    context->WriteTimerPending[self] = 0;
    if (context->WriteTimerCurrent == self) {
        context->WriteTimerCurrent = WRITE_TIMER_NONE;
        if (context->WriteTimerIrp != NULL && context->WriteTimerIrp == context->CurrentWriteIrp) {
            expired = context->WriteTimerIrp;
            context->WriteTimedOut = 1;
            context->WriteCancellers++;
        }
        context->WriteTimerIrp = NULL;
    }
    BOOLEAN passed = FALSE;
    if (context->WriteTimerWanted) {
        context->WriteTimerWanted = 0;
        PIRP wantedIrp = context->WriteTimerWantedIrp;
        if (wantedIrp != NULL || context->WriteTimerCurrent != WRITE_TIMER_NONE) {
            SetWriteTimerOn(context, self, context->WriteTimerWantedDue, wantedIrp);
            passed = TRUE;
        }
    }
    KeReleaseSpinLock(&context->Lock, oldIrql);

    if (expired != NULL) {
        IoCancelIrp(expired);
        LeaveCurrentWrite(context, expired);
    }
    if (!passed) {
        ReleaseWriteTimerHold(context, self);
    }
}

// The request becomes the engine's current one, and its time-out starts.
static void SetCurrentWrite(PDEVICE_CONTEXT Context, PIRP Irp) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&Context->Lock, &oldIrql);
    Context->CurrentWriteIrp = Irp;
    Context->WriteTimedOut = 0;
    StartWriteTimeout(Context, Irp);
    KeReleaseSpinLock(&Context->Lock, oldIrql);
}

// Takes the next queued request and makes it ready for its first chunk. Returns
// STATUS_PENDING with *Irp and *Transfer set; otherwise the engine is idle or
// stopped (see StartNextWrite).
static NTSTATUS TakeNextWrite(PDEVICE_CONTEXT Context, PIRP* Irp, PWRITE_TRANSFER* Transfer,
                              BOOLEAN LastFailed) {
    if (IsDeviceRemoving(Context)) {
        return STATUS_DELETE_PENDING;
    }
    PIRP irp;
    while ((irp = DequeueWrite(Context)) == NULL) {
        if (EngineIdle(Context, LastFailed)) {
            return STATUS_UNSUCCESSFUL;
        }
    }
    PWRITE_TRANSFER transfer = (PWRITE_TRANSFER)ExAllocatePoolWithTag(
        NonPagedPool, sizeof(WRITE_TRANSFER), KORVAX_POOL_TAG);
    if (transfer == NULL) {
        return FailStart(Context, irp);
    }
    RtlZeroMemory(transfer, sizeof(*transfer));
    transfer->NextBuffer = (PUCHAR)irp->AssociatedIrp.SystemBuffer;
    transfer->BytesRemaining = RequestAmount(irp);
    SetCurrentWrite(Context, irp);
    IncrementPendingTransfers(Context);
    irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(irp);
    *Irp = irp;
    *Transfer = transfer;
    return STATUS_PENDING;
}

// Decides under Lock, against close clearing IsOpen, whether the request's next
// chunk goes: after a successful chunk, with bytes left, the request not cancelled
// and the port open. A chunk sent after this is one close aborts, or learns of.
static BOOLEAN ChunkGoesOn(PDEVICE_CONTEXT Context, PIRP Irp, PWRITE_TRANSFER Transfer) {
    if (!NT_SUCCESS(Irp->IoStatus.Status) || Transfer->BytesRemaining == 0 || Irp->Cancel) {
        return FALSE;
    }
    KIRQL oldIrql;
    KeAcquireSpinLock(&Context->Lock, &oldIrql);
    BOOLEAN open = Context->IsOpen != 0;
    KeReleaseSpinLock(&Context->Lock, oldIrql);
    return open;
}

// The request ends. A cancelled request (its chunk cancelled with it, or the request
// cancelled between chunks) ends with STATUS_CANCELLED, or STATUS_TIMEOUT and the
// bytes sent when its time-out cancelled it; a failed one with its
// chunk's status; either way the engine goes on with the next request, except
// while the system sleeps, when a failed chunk stops it for the wake to restart
// (the next chunk would fail the same way), and once the port has closed. The
// next request is taken before this one gives back its transfer count and
// remove-lock hold: once those are back, close or removal may free the device, so
// nothing of the device is touched after them. A purge cancelling the request
// completes it instead (see CancelCurrentWrite); its own hold keeps the device.
// Returns TRUE with the next request in *Irp and *Transfer, ready for its first
// chunk (that request's own hold keeps the device).
static BOOLEAN EndWrite(PDEVICE_CONTEXT Context, PIRP* Irp, PWRITE_TRANSFER* Transfer) {
    PIRP irp = *Irp;
    PWRITE_TRANSFER transfer = *Transfer;
    NTSTATUS status = irp->IoStatus.Status;
    BOOLEAN cancelled = irp->Cancel && (status == STATUS_CANCELLED ||
                                        (NT_SUCCESS(status) && transfer->BytesRemaining != 0));
    KIRQL oldIrql;

    KeAcquireSpinLock(&Context->Lock, &oldIrql);
    if (cancelled) {
        // The time-out's cancellation ends the write with what went out.
        status = Context->WriteTimedOut ? STATUS_TIMEOUT : STATUS_CANCELLED;
    }
    // Set before a canceller can be handed the request to complete.
    irp->IoStatus.Status = status;
    RetireWriteTimer(Context, irp);
    Context->WriteTimedOut = 0;
    Context->WriteBytesQueued -= RequestAmount(irp);
    if (NT_SUCCESS(status)) {
        // An immediate character returns no data: its caller may have no output buffer.
        irp->IoStatus.Information =
            RequestKind(irp) == IMMEDIATE_CHAR_MARK ? 0 : transfer->BytesSent;
        Context->PerfStats.TransmittedCount += transfer->BytesSent;
    } else {
        irp->IoStatus.Information = 0;
    }
    BOOLEAN stopForWake = !NT_SUCCESS(status) && !cancelled && Context->SystemSuspended;
    if (stopForWake) {
        Context->WriteStopped = 1;
    }
    BOOLEAN goOn = Context->IsOpen && !stopForWake;
    Context->CurrentWriteIrp = NULL;
    BOOLEAN deferred = Context->WriteCancellers != 0;
    if (deferred) {
        *EndedWriteClaims(irp) = Context->WriteCancellers;
        Context->WriteCancellers = 0;
    }
    KeReleaseSpinLock(&Context->Lock, oldIrql);

    BOOLEAN failed = !NT_SUCCESS(status) && !cancelled;
    BOOLEAN next = goOn && TakeNextWrite(Context, Irp, Transfer, failed) == STATUS_PENDING;
    DecrementPendingTransfers(Context);
    ReleaseRequestLock(Context, irp);
    ExFreePoolWithTag(transfer, KORVAX_POOL_TAG);
    // Its completion needs nothing of the device: the request leaves the driver with
    // what it held already given back, as it left through the I/O manager before.
    if (!deferred) {
        IofCompleteRequest(irp, IO_SERIAL_INCREMENT);
    }
    return next;
}

// A chunk of *Irp has finished: its request goes on, or ends and the engine takes
// the next one. Returns TRUE with the chunk to send next, FALSE when the engine has
// gone idle or stopped.
static BOOLEAN TakeUpFinishedChunk(PDEVICE_CONTEXT Context, PIRP* Irp, PWRITE_TRANSFER* Transfer) {
    PWRITE_TRANSFER transfer = *Transfer;
    transfer->BytesSent += transfer->Urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (ChunkGoesOn(Context, *Irp, transfer)) {
        return TRUE;
    }
    return EndWrite(Context, Irp, Transfer);
}

// The engine's loop: it sends chunk after chunk, request after request, for as long
// as the lower driver finishes them inside the call that sent them, and returns
// once a chunk is left with the lower driver; that chunk's completion goes on from
// there. So a lower driver that completes in its dispatch routine costs one stack
// frame per engine, never one per chunk.
static void RunWriteEngine(PDEVICE_CONTEXT Context, PIRP Irp, PWRITE_TRANSFER Transfer) {
    while (SendChunk(Context, Irp, Transfer) && TakeUpFinishedChunk(Context, &Irp, &Transfer)) {
    }
}

NTSTATUS StartNextWrite(PDEVICE_CONTEXT DeviceContext) {
    PIRP irp;
    PWRITE_TRANSFER transfer;
    NTSTATUS status = TakeNextWrite(DeviceContext, &irp, &transfer, FALSE);
    if (status == STATUS_PENDING) {
        RunWriteEngine(DeviceContext, irp, transfer);
    }
    return status;
}

// One chunk is done. Inside the sender's own call the sender takes the engine on;
// otherwise this completion does. The request is always completed by the engine
// itself, so the I/O manager must not go on with it here.
NTSTATUS NTAPI WriteCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    PWRITE_TRANSFER transfer = (PWRITE_TRANSFER)Context;
    if (InterlockedDecrement(&transfer->Handoff) != 0) {
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    if (TakeUpFinishedChunk(context, &Irp, &transfer)) {
        RunWriteEngine(context, Irp, transfer);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// PASSIVE_LEVEL or below, no lock held; the caller's own request keeps the
// device. Cancels the request the engine carries, as IoCancelIrp from CancelIo
// does: the chunk in the lower driver is cancelled there, and the engine ends the
// request with STATUS_CANCELLED and goes on. The request cannot be completed (and
// freed) while this is in IoCancelIrp on it: the engine leaves the completion to
// the last canceller (WriteCancellers).
void CancelCurrentWrite(PDEVICE_CONTEXT DeviceContext) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&DeviceContext->Lock, &oldIrql);
    PIRP irp = DeviceContext->CurrentWriteIrp;
    if (irp != NULL) {
        DeviceContext->WriteCancellers++;
    }
    KeReleaseSpinLock(&DeviceContext->Lock, oldIrql);
    if (irp == NULL) {
        return;
    }
    IoCancelIrp(irp);
    LeaveCurrentWrite(DeviceContext, irp);
}

// PASSIVE_LEVEL, from the wake once the port is no longer suspended: an engine
// that a chunk's failure stopped during the sleep takes the next request.
void ResumeWriteEngine(PDEVICE_CONTEXT DeviceContext) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&DeviceContext->Lock, &oldIrql);
    BOOLEAN restart = DeviceContext->WriteStopped != 0;
    DeviceContext->WriteStopped = 0;
    KeReleaseSpinLock(&DeviceContext->Lock, oldIrql);
    if (restart) {
        StartNextWrite(DeviceContext);
    }
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
