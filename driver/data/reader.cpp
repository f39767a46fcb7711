// Transfer accounting and failure handling shared by the receive engine and the
// notification reader.
#include "reader.h"

#include <driver/usb/usb.h>

static void SetReaderActive(PDEVICE_CONTEXT DeviceContext, PUCHAR Active, UCHAR Value) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&DeviceContext->Lock, &oldIrql);
    *Active = Value;
    KeReleaseSpinLock(&DeviceContext->Lock, oldIrql);
}

// Decides in one hold of Lock whether the reader sends a transfer: against close
// clearing IsOpen (a transfer counted here is one close waits for), against another
// start (a wake and a read making room may both try to start a stopped receive
// engine: one transfer goes), and, for a reader that waits for room, against the
// ring's fill level (Lock before RingLock). While the system sleeps a read making
// room, or a retry, does not start a reader: the wake starts the readers that
// stopped.
static BOOLEAN ClaimTransfer(PDEVICE_CONTEXT Context, const READER* Reader, READER_START How) {
    KIRQL oldIrql;
    BOOLEAN send = FALSE;

    KeAcquireSpinLock(&Context->Lock, &oldIrql);
    BOOLEAN throttled = Reader->Throttled != NULL && *Reader->Throttled;
    BOOLEAN wanted = How == ReaderReissue || (How == ReaderStart && !*Reader->Active) ||
                     (How == ReaderResume && throttled) ||
                     (How == ReaderRetry && (Context->ReadersToRetry & Reader->RetryBit));
    BOOLEAN waitsForWake = How == ReaderResume || How == ReaderRetry;
    if (wanted && !(waitsForWake && Context->SystemSuspended)) {
        Context->ReadersToRetry &= (UCHAR)~Reader->RetryBit;
        if (!Context->IsOpen) {
            *Reader->Active = 0;
            throttled = FALSE;
        } else if (Reader->Throttled != NULL &&
                   RING_BUFFER_SIZE - RingGetCount(Context) < Reader->Length) {
            *Reader->Active = 0;
            throttled = TRUE;
        } else {
            *Reader->Active = 1;
            throttled = FALSE;
            IncrementPendingTransfers(Context);
            send = TRUE;
        }
        if (Reader->Throttled != NULL) {
            *Reader->Throttled = throttled ? 1 : 0;
        }
    }
    KeReleaseSpinLock(&Context->Lock, oldIrql);
    return send;
}

// A completion's look at IsOpen, which close clears under Lock on another processor.
// Only a hint for the completion's work: ClaimTransfer decides again under Lock
// whether the reader goes on.
BOOLEAN ReaderPortOpen(PDEVICE_CONTEXT DeviceContext) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&DeviceContext->Lock, &oldIrql);
    BOOLEAN open = DeviceContext->IsOpen != 0;
    KeReleaseSpinLock(&DeviceContext->Lock, oldIrql);
    return open;
}

// A transfer sent while close was aborting the pipes may have reached the lower
// driver after the abort. Close waits on NoPendingTransfersEvent: setting it without
// the count at 0 tells close to abort again. The caller still holds what keeps the
// device (its transfer's or request's remove-lock hold).
void WakeClosingPort(PDEVICE_CONTEXT DeviceContext) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&DeviceContext->Lock, &oldIrql);
    BOOLEAN closing = !DeviceContext->IsOpen;
    KeReleaseSpinLock(&DeviceContext->Lock, oldIrql);
    if (closing) {
        KeSetEvent(&DeviceContext->NoPendingTransfersEvent, IO_NO_INCREMENT, FALSE);
    }
}

// The transfer holds one count of PendingTransferCount and a null-tagged
// remove-lock hold for as long as its URB is in the lower driver.
void StartReader(PDEVICE_CONTEXT DeviceContext, const READER* Reader, READER_START How) {
    BOOLEAN sent;

    if (!ClaimTransfer(DeviceContext, Reader, How)) {
        return;
    }
    // Removal has begun: no new transfer, and no hold to give back later.
    if (!NT_SUCCESS(IoAcquireRemoveLockEx(&DeviceContext->RemoveLock, NULL, "", 1,
                                          sizeof(IO_REMOVE_LOCK)))) {
        SetReaderActive(DeviceContext, Reader->Active, 0);
        DecrementPendingTransfers(DeviceContext);
        return;
    }
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* transfer = &Reader->Urb->UrbBulkOrInterruptTransfer;
    RtlZeroMemory(transfer, sizeof(*transfer));
    transfer->Hdr.Length = (USHORT)sizeof(*transfer);
    transfer->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    transfer->PipeHandle = Reader->Pipe;
    transfer->TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    transfer->TransferBufferLength = Reader->Length;
    transfer->TransferBuffer = Reader->Buffer;
    transfer->TransferBufferMDL = NULL;
    transfer->UrbLink = NULL;

    // Active is already 1: the completion may run before SendUrbAsync returns. The
    // caller's own hold keeps the device after that.
    SendUrbAsync(DeviceContext->LowerDeviceObject, Reader->Urb, Reader->CompletionRoutine,
                 DeviceContext, &sent);
    if (!sent) {
        // No IRP for the transfer (IoAllocateIrp failed): a lack of memory, not a
        // lost device. The reader stops; the next read, wait or purge starts it
        // again (RestartStoppedReaders), and a timed read still ends by its timer.
        KIRQL oldIrql;
        KeAcquireSpinLock(&DeviceContext->Lock, &oldIrql);
        *Reader->Active = 0;
        DeviceContext->ReadersToRetry |= Reader->RetryBit;
        KeReleaseSpinLock(&DeviceContext->Lock, oldIrql);
        DecrementPendingTransfers(DeviceContext);
        IoReleaseRemoveLockEx(&DeviceContext->RemoveLock, NULL, sizeof(IO_REMOVE_LOCK));
        return;
    }
    WakeClosingPort(DeviceContext);
}

// A reader's transfer failed, or came back after close. While the system sleeps
// the failure comes from the low-power transition and means nothing: the read
// timers go on, so a timed read still ends by its time-out, and the wake starts
// the reader again. Otherwise an open port's device is lost: the waiting read
// ends at once with the lost device's status, and a waiting request learns of it
// whatever its mask.
void HandleReaderFailure(PDEVICE_CONTEXT DeviceContext, PUCHAR Active) {
    KIRQL oldIrql;

    KeAcquireSpinLock(&DeviceContext->Lock, &oldIrql);
    *Active = 0; // this reader stops here
    if (DeviceContext->SystemSuspended) {
        KeReleaseSpinLock(&DeviceContext->Lock, oldIrql);
        return;
    }
    CancelReadTimers(DeviceContext);
    BOOLEAN lost = DeviceContext->IsOpen != 0;
    if (lost) {
        // The gate reads the mark under StateLock (a leaf, so it nests in Lock).
        KIRQL stateIrql;
        KeAcquireSpinLock(&DeviceContext->StateLock, &stateIrql);
        DeviceContext->DeviceLostMark = DEVICE_LOST_MARK;
        KeReleaseSpinLock(&DeviceContext->StateLock, stateIrql);
    }
    DeviceContext->PendingEvents |= READER_FAILURE_EVENTS;
    KeReleaseSpinLock(&DeviceContext->Lock, oldIrql);

    if (lost) {
        // Nothing will arrive for it, and its timers are gone.
        EndQueuedReads(DeviceContext, STATUS_DELETE_PENDING);
    }
    // A lost device's events are not kept for a later wait.
    DeliverPendingEvents(DeviceContext, TRUE);
}

// Any IRQL up to DISPATCH_LEVEL, no lock held. See data.h.
void RestartStoppedReaders(PDEVICE_CONTEXT DeviceContext) {
    RestartStoppedInterruptRead(DeviceContext);
    RestartStoppedBulkInRead(DeviceContext);
}

// The IRP is the driver's own: freed here, and the I/O manager must not touch it.
NTSTATUS EndReaderCompletion(PDEVICE_CONTEXT DeviceContext, PIRP Irp) {
    IoFreeIrp(Irp);
    DecrementPendingTransfers(DeviceContext);
    IoReleaseRemoveLockEx(&DeviceContext->RemoveLock, NULL, sizeof(IO_REMOVE_LOCK));
    return STATUS_MORE_PROCESSING_REQUIRED;
}
