// The receive engine: one 4096-byte bulk-in read outstanding while the port is
// open, re-issued from its own completion; every packet goes into the ring, serves
// the queued read and raises the receive events.
#include "reader.h"

void StartBulkInRead(PDEVICE_CONTEXT DeviceContext) {
    StartReader(DeviceContext, &DeviceContext->BulkInReaderActive, &DeviceContext->BulkInUrb,
                DeviceContext->BulkInPipe, DeviceContext->BulkInBuffer, BULK_TRANSFER_SIZE,
                BulkInCompletion);
}

// Raises the receive events the application waits for; returns what is pending.
// RingGetCount is read under Lock (Lock before RingLock).
static ULONG RaiseReceiveEvents(PDEVICE_CONTEXT Context) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&Context->Lock, &oldIrql);
    Context->ReadIntervalActive = 0;
    if (Context->WaitMask & SERIAL_EV_RXFLAG) {
        Context->PendingEvents |= SERIAL_EV_RXFLAG;
    }
    if (Context->WaitMask & SERIAL_EV_RXCHAR) {
        Context->PendingEvents |= SERIAL_EV_RXCHAR;
    }
    if (RingGetCount(Context) >= RX80FULL_THRESHOLD && (Context->WaitMask & SERIAL_EV_RX80FULL)) {
        Context->PendingEvents |= SERIAL_EV_RX80FULL;
    }
    ULONG events = Context->PendingEvents;
    KeReleaseSpinLock(&Context->Lock, oldIrql);
    return events;
}

// A read request that arrived while this packet was handled may have asked for
// the interval timer: arm it now that the packet is in.
static void RearmIntervalTimer(PDEVICE_CONTEXT Context) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&Context->Lock, &oldIrql);
    if (Context->ReadIntervalActive && Context->IntervalTimeToUse != NULL) {
        ArmReadTimer(Context, &Context->ReadIntervalTimer, *Context->IntervalTimeToUse);
    }
    KeReleaseSpinLock(&Context->Lock, oldIrql);
}

static void ReceivePacket(PDEVICE_CONTEXT Context) {
    ULONG received = Context->BulkInUrb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    ULONG written;

    // A lower driver reporting more than the buffer holds must not make the ring
    // copy what lies past it.
    if (received > sizeof(Context->BulkInBuffer)) {
        received = sizeof(Context->BulkInBuffer);
    }

    // What does not fit in the ring is dropped: the ring keeps the oldest data.
    if (received != 0) {
        RingWrite(Context, Context->BulkInBuffer, received, &written);
    }
    KIRQL oldIrql;
    KeAcquireSpinLock(&Context->Lock, &oldIrql);
    CancelReadTimers(Context);
    KeReleaseSpinLock(&Context->Lock, oldIrql);
    CompleteQueuedReads(Context);

    // Receive events stay pending after delivery until a wait request consumes them.
    ULONG events = RaiseReceiveEvents(Context);
    if (events != 0) {
        CompleteWaitRequest(Context, events);
    }
    RearmIntervalTimer(Context);
    StartBulkInRead(Context);
}

// DISPATCH_LEVEL or below. Only one bulk-in read is outstanding, so BulkInUrb and
// BulkInBuffer belong to this completion alone.
NTSTATUS NTAPI BulkInCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PDEVICE_CONTEXT context = (PDEVICE_CONTEXT)Context;

    if (NT_SUCCESS(Irp->IoStatus.Status) && context->IsOpen) {
        ReceivePacket(context);
    } else {
        HandleReaderFailure(context, &context->BulkInReaderActive);
    }
    return EndReaderCompletion(context, Irp);
}
