// Request queues and their cancellation. A queued request belongs to whichever side
// takes its cancel routine away by interlocked exchange: the dequeuer that gets the
// routine back completes the request; one that gets NULL leaves it to the cancel
// routine, which is already on its way. Every queue change happens under Lock.
#include "data.h"

static PIRP IrpFromEntry(PLIST_ENTRY Entry) {
    return CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry);
}

// The request is marked pending only once it is sure to stay queued, so a request
// taken back here never carries the mark and its dispatch may complete it at once.
// The cancel routine takes Lock before it touches the request, so the mark is in
// place before anyone can complete it.
BOOLEAN InsertQueuedRequest(PLIST_ENTRY QueueHead, PIRP Irp, PDRIVER_CANCEL CancelRoutine,
                            BOOLEAN AtHead) {
    if (AtHead) {
        InsertHeadList(QueueHead, &Irp->Tail.Overlay.ListEntry);
    } else {
        InsertTailList(QueueHead, &Irp->Tail.Overlay.ListEntry);
    }
    IoSetCancelRoutine(Irp, CancelRoutine);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
        RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
        return FALSE;
    }
    IoMarkIrpPending(Irp);
    return TRUE;
}

PIRP RemoveQueuedRequest(PLIST_ENTRY QueueHead) {
    while (!IsListEmpty(QueueHead)) {
        PLIST_ENTRY entry = RemoveHeadList(QueueHead);
        PIRP irp = IrpFromEntry(entry);
        if (IoSetCancelRoutine(irp, NULL) != NULL) {
            return irp;
        }
        // Its cancel routine owns it; a self-linked entry makes its unlink harmless.
        InitializeListHead(entry);
    }
    return NULL;
}

// Entered with the cancel spin lock held, from IoCancelIrp or CancelQueue. The
// request may already be out of its queue (a dequeuer or CancelQueue linked it to
// itself); unlinking it again then changes nothing.
void NTAPI CancelQueuedRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    KIRQL oldIrql;

    KeAcquireSpinLock(&context->Lock, &oldIrql);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    InitializeListHead(&Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&context->Lock, oldIrql);

    Irp->IoStatus.Status = STATUS_CANCELLED;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    IofCompleteRequest(Irp, IO_SERIAL_INCREMENT);
    ReleaseRequestLock(context, Irp);
}

// Takes the newest request whose cancel routine it can take, under the cancel spin
// lock and Lock both, so that no queue operation runs meanwhile and every queued
// request has its routine published. Returns NULL when none is left.
static PIRP TakeNewestForCancel(PDEVICE_CONTEXT Context, PLIST_ENTRY QueueHead,
                                PDRIVER_CANCEL* Routine) {
    KIRQL oldIrql;
    PIRP taken = NULL;

    KeAcquireSpinLock(&Context->Lock, &oldIrql);
    while (taken == NULL && !IsListEmpty(QueueHead)) {
        PLIST_ENTRY entry = RemoveTailList(QueueHead);
        InitializeListHead(entry);
        PIRP irp = IrpFromEntry(entry);
        *Routine = IoSetCancelRoutine(irp, NULL);
        if (*Routine != NULL) {
            taken = irp;
        }
    }
    KeReleaseSpinLock(&Context->Lock, oldIrql);
    return taken;
}

// Ends every request of the queue through its own cancel routine, newest first, as
// IoCancelIrp would: Cancel set, the cancel spin lock held, which the routine
// releases.
void CancelQueue(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY QueueHead) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    for (;;) {
        KIRQL cancelIrql;
        PDRIVER_CANCEL routine = NULL;
        IoAcquireCancelSpinLock(&cancelIrql);
        PIRP irp = TakeNewestForCancel(context, QueueHead, &routine);
        if (irp == NULL) {
            IoReleaseCancelSpinLock(cancelIrql);
            return;
        }
        irp->Cancel = TRUE;
        irp->CancelIrql = cancelIrql;
        routine(DeviceObject, irp);
    }
}

void CancelAllQueues(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    CancelQueue(DeviceObject, &context->WriteIrpQueue);
    CancelQueue(DeviceObject, &context->ReadIrpQueue);
    CancelQueue(DeviceObject, &context->WaitIrpQueue);
}

// ---- Event waits ----------------------------------------------------------------------------

// At most one wait is queued. STATUS_INVALID_PARAMETER and STATUS_CANCELLED leave
// the request unqueued, not marked pending, for the caller to complete. Lock held.
NTSTATUS QueueWaitRequestLocked(PDEVICE_CONTEXT DeviceContext, PIRP Irp) {
    if (!IsListEmpty(&DeviceContext->WaitIrpQueue)) {
        return STATUS_INVALID_PARAMETER;
    }
    // After the handle's cleanup nothing would end it.
    if (DeviceContext->CleanedUp ||
        !InsertQueuedRequest(&DeviceContext->WaitIrpQueue, Irp, CancelQueuedRequest, FALSE)) {
        Irp->IoStatus.Status = STATUS_CANCELLED;
        return STATUS_CANCELLED;
    }
    return STATUS_PENDING;
}

PIRP DequeueWaitRequest(PDEVICE_CONTEXT DeviceContext) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&DeviceContext->Lock, &oldIrql);
    PIRP irp = RemoveQueuedRequest(&DeviceContext->WaitIrpQueue);
    KeReleaseSpinLock(&DeviceContext->Lock, oldIrql);
    return irp;
}

static void CompleteWait(PDEVICE_CONTEXT Context, PIRP Irp, ULONG Mask) {
    *(PULONG)Irp->AssociatedIrp.SystemBuffer = Mask;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = sizeof(ULONG);
    IofCompleteRequest(Irp, IO_SERIAL_INCREMENT);
    ReleaseRequestLock(Context, Irp);
}

// Any IRQL up to DISPATCH_LEVEL, with Lock not held: the request is completed here.
BOOLEAN CompleteWaitRequest(PDEVICE_CONTEXT DeviceContext, ULONG Mask) {
    PIRP irp = DequeueWaitRequest(DeviceContext);
    if (irp == NULL) {
        return FALSE;
    }
    CompleteWait(DeviceContext, irp, Mask);
    return TRUE;
}

// Any IRQL up to DISPATCH_LEVEL, with Lock not held. A wait is given the pending
// events of the current mask, and those stop being pending; a lost device's
// events (ClearAlways) reach the wait whatever its mask.
BOOLEAN DeliverPendingEvents(PDEVICE_CONTEXT DeviceContext, BOOLEAN ClearAlways) {
    KIRQL oldIrql;
    PIRP irp = NULL;

    KeAcquireSpinLock(&DeviceContext->Lock, &oldIrql);
    ULONG events = DeviceContext->PendingEvents;
    if (!ClearAlways) {
        events &= DeviceContext->WaitMask;
    }
    if (events != 0) {
        irp = RemoveQueuedRequest(&DeviceContext->WaitIrpQueue);
    }
    if (irp != NULL) {
        DeviceContext->PendingEvents &= ~events;
    }
    if (ClearAlways) {
        DeviceContext->PendingEvents = 0;
    }
    KeReleaseSpinLock(&DeviceContext->Lock, oldIrql);
    if (irp == NULL) {
        return FALSE;
    }
    CompleteWait(DeviceContext, irp, events);
    return TRUE;
}
