// The receive engine: one 4096-byte bulk-in read outstanding while the port is
// open, re-issued from its own completion; every packet goes into the ring, serves
// the queued read and raises the receive events.
//
// Back-pressure: the next read is sent only while the ring has room for a whole
// transfer. Otherwise the engine stops throttled (BulkInThrottled) and the device
// keeps its data, answering the IN tokens with NAK, until a read or a purge takes
// bytes out of the ring and resumes it. So no byte is ever dropped for want of
// room; were one dropped all the same, GET_COMMSTATUS reports a queue overrun.
#include "reader.h"

static void StartBulkInTransfer(PDEVICE_CONTEXT DeviceContext, READER_START How) {
    READER reader = {&DeviceContext->BulkInReaderActive,
                     &DeviceContext->BulkInThrottled,
                     READER_RETRY_BULK_IN,
                     &DeviceContext->BulkInUrb,
                     DeviceContext->BulkInPipe,
                     DeviceContext->BulkInBuffer,
                     BULK_TRANSFER_SIZE,
                     BulkInCompletion};
    StartReader(DeviceContext, &reader, How);
}

void StartBulkInRead(PDEVICE_CONTEXT DeviceContext) {
    StartBulkInTransfer(DeviceContext, ReaderStart);
}

void ResumeThrottledReceive(PDEVICE_CONTEXT DeviceContext) {
    StartBulkInTransfer(DeviceContext, ReaderResume);
}

void RestartStoppedBulkInRead(PDEVICE_CONTEXT DeviceContext) {
    StartBulkInTransfer(DeviceContext, ReaderRetry);
}

// Raises the receive events the application waits for. RingGetCount is read under
// Lock (Lock before RingLock).
static void RaiseReceiveEvents(PDEVICE_CONTEXT Context) {
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
    KeReleaseSpinLock(&Context->Lock, oldIrql);
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

    // The transfer was sent with room for all of it; should the ring still be short,
    // the ring keeps the oldest data and the loss is reported.
    KIRQL oldIrql;
    if (received != 0) {
        RingWrite(Context, Context->BulkInBuffer, received, &written);
        if (written != received) {
            KeAcquireSpinLock(&Context->Lock, &oldIrql);
            Context->CommErrors |= SERIAL_ERROR_QUEUEOVERRUN;
            KeReleaseSpinLock(&Context->Lock, oldIrql);
        }
    }
    ServeQueuedReadWithData(Context);

    // A waiting request takes the events, and they stop being pending: the next
    // wait is given only what happens after. With no wait they stay for the next.
    RaiseReceiveEvents(Context);
    DeliverPendingEvents(Context, FALSE);
    RearmIntervalTimer(Context);
    StartBulkInTransfer(Context, ReaderReissue);
}

// DISPATCH_LEVEL or below. Only one bulk-in read is outstanding, so BulkInUrb and
// BulkInBuffer belong to this completion alone.
NTSTATUS NTAPI BulkInCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PDEVICE_CONTEXT context = (PDEVICE_CONTEXT)Context;

    if (NT_SUCCESS(Irp->IoStatus.Status) && ReaderPortOpen(context)) {
        ReceivePacket(context);
    } else {
        HandleReaderFailure(context, &context->BulkInReaderActive);
    }
    return EndReaderCompletion(context, Irp);
}
