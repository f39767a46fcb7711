// Transfer accounting and failure handling shared by the receive engine and the
// notification reader.
#include "reader.h"

#include <driver/usb/usb.h>

// The caller guarantees no transfer of this reader is outstanding. The transfer
// holds one count of PendingTransferCount and a null-tagged remove-lock hold for
// as long as its URB is in the lower driver.
static void SetReaderActive(PDEVICE_CONTEXT DeviceContext, PUCHAR Active, UCHAR Value) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&DeviceContext->Lock, &oldIrql);
    *Active = Value;
    KeReleaseSpinLock(&DeviceContext->Lock, oldIrql);
}

// Decides under Lock, against close clearing IsOpen, whether the reader goes on:
// a transfer counted here is one close waits for.
static BOOLEAN ClaimTransfer(PDEVICE_CONTEXT DeviceContext, PUCHAR Active) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&DeviceContext->Lock, &oldIrql);
    BOOLEAN open = DeviceContext->IsOpen != 0;
    *Active = open ? 1 : 0;
    if (open) {
        IncrementPendingTransfers(DeviceContext);
    }
    KeReleaseSpinLock(&DeviceContext->Lock, oldIrql);
    return open;
}

// A transfer sent while close was aborting the pipes may have reached the lower
// driver after the abort. Close waits on NoPendingTransfersEvent: setting it without
// the count at 0 tells close to abort again.
static void WakeClosingPort(PDEVICE_CONTEXT DeviceContext) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&DeviceContext->Lock, &oldIrql);
    BOOLEAN closing = !DeviceContext->IsOpen;
    KeReleaseSpinLock(&DeviceContext->Lock, oldIrql);
    if (closing) {
        KeSetEvent(&DeviceContext->NoPendingTransfersEvent, IO_NO_INCREMENT, FALSE);
    }
}

void StartReader(PDEVICE_CONTEXT DeviceContext, PUCHAR Active, PURB Urb, USBD_PIPE_HANDLE Pipe,
                 PVOID Buffer, ULONG Length, PIO_COMPLETION_ROUTINE CompletionRoutine) {
    BOOLEAN sent;

    // A closed port's reader stops here.
    if (!ClaimTransfer(DeviceContext, Active)) {
        return;
    }
    // Removal has begun: no new transfer, and no hold to give back later.
    if (!NT_SUCCESS(IoAcquireRemoveLockEx(&DeviceContext->RemoveLock, NULL, "", 1,
                                          sizeof(IO_REMOVE_LOCK)))) {
        SetReaderActive(DeviceContext, Active, 0);
        DecrementPendingTransfers(DeviceContext);
        return;
    }
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* transfer = &Urb->UrbBulkOrInterruptTransfer;
    RtlZeroMemory(transfer, sizeof(*transfer));
    transfer->Hdr.Length = (USHORT)sizeof(*transfer);
    transfer->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    transfer->PipeHandle = Pipe;
    transfer->TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    transfer->TransferBufferLength = Length;
    transfer->TransferBuffer = Buffer;
    transfer->TransferBufferMDL = NULL;
    transfer->UrbLink = NULL;

    // Active is already 1: the completion may run before SendUrbAsync returns. The
    // caller's own hold keeps the device after that.
    SendUrbAsync(DeviceContext->LowerDeviceObject, Urb, CompletionRoutine, DeviceContext, &sent);
    if (!sent) {
        // No completion routine will run: give back what the transfer held. The
        // reader stays stopped until the next open or wake.
        SetReaderActive(DeviceContext, Active, 0);
        DecrementPendingTransfers(DeviceContext);
        IoReleaseRemoveLockEx(&DeviceContext->RemoveLock, NULL, sizeof(IO_REMOVE_LOCK));
        return;
    }
    WakeClosingPort(DeviceContext);
}

// Completes the waiting event request with Events and clears only the bits that
// were delivered: others may have been raised on another processor meanwhile.
void DeliverEvents(PDEVICE_CONTEXT DeviceContext, ULONG Events) {
    KIRQL oldIrql;
    if (CompleteWaitRequest(DeviceContext, Events)) {
        KeAcquireSpinLock(&DeviceContext->Lock, &oldIrql);
        DeviceContext->PendingEvents &= ~Events;
        KeReleaseSpinLock(&DeviceContext->Lock, oldIrql);
    }
}

// A reader's transfer failed, or came back after close. While the system sleeps
// the failure comes from the low-power transition and means nothing; otherwise an
// open port's device is lost and a waiting request learns of it whatever its mask.
void HandleReaderFailure(PDEVICE_CONTEXT DeviceContext, PUCHAR Active) {
    KIRQL oldIrql;

    KeAcquireSpinLock(&DeviceContext->Lock, &oldIrql);
    CancelReadTimers(DeviceContext);
    *Active = 0; // this reader stops here
    if (DeviceContext->SystemSuspended) {
        KeReleaseSpinLock(&DeviceContext->Lock, oldIrql);
        return;
    }
    if (DeviceContext->IsOpen) {
        // The gate reads the mark under StateLock (a leaf, so it nests in Lock).
        KIRQL stateIrql;
        KeAcquireSpinLock(&DeviceContext->StateLock, &stateIrql);
        DeviceContext->DeviceLostMark = DEVICE_LOST_MARK;
        KeReleaseSpinLock(&DeviceContext->StateLock, stateIrql);
    }
    DeviceContext->PendingEvents |= READER_FAILURE_EVENTS;
    ULONG events = DeviceContext->PendingEvents;
    KeReleaseSpinLock(&DeviceContext->Lock, oldIrql);

    CompleteWaitRequest(DeviceContext, events);
    KeAcquireSpinLock(&DeviceContext->Lock, &oldIrql);
    DeviceContext->PendingEvents &= ~events;
    KeReleaseSpinLock(&DeviceContext->Lock, oldIrql);
}

// The IRP is the driver's own: freed here, and the I/O manager must not touch it.
NTSTATUS EndReaderCompletion(PDEVICE_CONTEXT DeviceContext, PIRP Irp) {
    IoFreeIrp(Irp);
    DecrementPendingTransfers(DeviceContext);
    IoReleaseRemoveLockEx(&DeviceContext->RemoveLock, NULL, sizeof(IO_REMOVE_LOCK));
    return STATUS_MORE_PROCESSING_REQUIRED;
}
