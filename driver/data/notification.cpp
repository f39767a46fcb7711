// The notification reader: one 16-byte interrupt-in read outstanding while the port
// is open; SERIAL_STATE notifications become the modem status and the line events.
#include "reader.h"

#define UART_STATE_RX_CARRIER    0x01 // DCD
#define UART_STATE_TX_CARRIER    0x02 // DSR
#define NOTIFICATION_CODE_OFFSET 1
#define UART_STATE_OFFSET        8

static void StartInterruptTransfer(PDEVICE_CONTEXT DeviceContext, READER_START How) {
    READER reader = {&DeviceContext->InterruptReaderActive,
                     NULL,
                     READER_RETRY_INTERRUPT,
                     &DeviceContext->InterruptUrb,
                     DeviceContext->InterruptInPipe,
                     DeviceContext->NotificationBuffer,
                     NOTIFICATION_BUFFER_SIZE,
                     InterruptCompletion};
    StartReader(DeviceContext, &reader, How);
}

void StartInterruptRead(PDEVICE_CONTEXT DeviceContext) {
    StartInterruptTransfer(DeviceContext, ReaderStart);
}

void RestartStoppedInterruptRead(PDEVICE_CONTEXT DeviceContext) {
    StartInterruptTransfer(DeviceContext, ReaderRetry);
}

// The device does not report CTS: it follows DSR. Only carrier and DSR changes
// raise events.
void ApplySerialState(PDEVICE_CONTEXT DeviceContext) {
    KIRQL oldIrql;

    KeAcquireSpinLock(&DeviceContext->Lock, &oldIrql);
    USHORT old = DeviceContext->ModemStatus;
    DeviceContext->HoldReasons = 0;
    UCHAR state = DeviceContext->NotificationBuffer[UART_STATE_OFFSET];
    if (state & UART_STATE_RX_CARRIER) {
        DeviceContext->ModemStatus |= SERIAL_MSR_DCD;
    } else {
        DeviceContext->ModemStatus &= ~SERIAL_MSR_DCD;
    }
    if (state & UART_STATE_TX_CARRIER) {
        DeviceContext->ModemStatus |= SERIAL_MSR_DSR | SERIAL_MSR_CTS;
    } else {
        DeviceContext->ModemStatus &= ~(SERIAL_MSR_DSR | SERIAL_MSR_CTS);
    }
    UCHAR changed = (UCHAR)((DeviceContext->ModemStatus ^ old) & 0xFF);
    if ((changed & SERIAL_MSR_DCD) && (DeviceContext->WaitMask & SERIAL_EV_RLSD)) {
        DeviceContext->PendingEvents |= SERIAL_EV_RLSD;
    }
    if ((changed & SERIAL_MSR_DSR) && (DeviceContext->WaitMask & SERIAL_EV_DSR)) {
        DeviceContext->PendingEvents |= SERIAL_EV_DSR;
    }
    KeReleaseSpinLock(&DeviceContext->Lock, oldIrql);

    DeliverPendingEvents(DeviceContext, FALSE);
}

// DISPATCH_LEVEL or below; one interrupt-in read outstanding, so InterruptUrb and
// NotificationBuffer belong to this completion alone. A notification too short to
// hold the UART state's low byte is ignored rather than decoded from an earlier
// one's bytes; the high byte is not used, so 9 bytes are enough.
NTSTATUS NTAPI InterruptCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PDEVICE_CONTEXT context = (PDEVICE_CONTEXT)Context;

    if (NT_SUCCESS(Irp->IoStatus.Status) && ReaderPortOpen(context)) {
        ULONG received = context->InterruptUrb.UrbBulkOrInterruptTransfer.TransferBufferLength;
        if (received > UART_STATE_OFFSET &&
            context->NotificationBuffer[NOTIFICATION_CODE_OFFSET] == SERIAL_STATE_NOTIFICATION) {
            ApplySerialState(context);
        }
        StartInterruptTransfer(context, ReaderReissue);
    } else {
        HandleReaderFailure(context, &context->InterruptReaderActive);
    }
    return EndReaderCompletion(context, Irp);
}
