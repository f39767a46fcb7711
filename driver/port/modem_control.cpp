// DTR and RTS, the modem status, the event mask and IOCTL_SERIAL_WAIT_ON_MASK.
#include "serial.h"

#include <driver/data/data.h>
#include <driver/usb/usb.h>

// The event bits an application may wait for.
#define SERIAL_EV_VALID_MASK 0x00001FFF

// The port keeps no record of its two outputs: the line a request leaves alone is
// taken as on when the modem reports the matching input (DSR for DTR, DCD for RTS).
// ModemStatus is read under Lock: a notification may be changing it.
static USHORT OtherLines(PDEVICE_CONTEXT Context, BOOLEAN ChangingDtr) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&Context->Lock, &oldIrql);
    USHORT status = Context->ModemStatus;
    KeReleaseSpinLock(&Context->Lock, oldIrql);
    if (ChangingDtr) {
        return (status & SERIAL_MSR_DCD) ? CDC_CONTROL_LINE_RTS : 0;
    }
    return (status & SERIAL_MSR_DSR) ? CDC_CONTROL_LINE_DTR : 0;
}

// The modem's answer is not reported: the request succeeds either way.
static NTSTATUS SendControlLines(PDEVICE_OBJECT DeviceObject, USHORT LineState) {
    SetControlLineState(DeviceObject, LineState);
    return STATUS_SUCCESS;
}

NTSTATUS SerialSetDtr(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(Irp);
    USHORT lines = CDC_CONTROL_LINE_DTR | OtherLines(GetDeviceContext(DeviceObject), TRUE);
    return SendControlLines(DeviceObject, lines);
}

NTSTATUS SerialClrDtr(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(Irp);
    return SendControlLines(DeviceObject, OtherLines(GetDeviceContext(DeviceObject), TRUE));
}

NTSTATUS SerialSetRts(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(Irp);
    USHORT lines = CDC_CONTROL_LINE_RTS | OtherLines(GetDeviceContext(DeviceObject), FALSE);
    return SendControlLines(DeviceObject, lines);
}

NTSTATUS SerialClrRts(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(Irp);
    return SendControlLines(DeviceObject, OtherLines(GetDeviceContext(DeviceObject), FALSE));
}

NTSTATUS SerialGetModemStatus(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    KIRQL oldIrql;

    KeAcquireSpinLock(&context->Lock, &oldIrql);
    *(PULONG)SystemBuffer(Irp) = context->ModemStatus;
    KeReleaseSpinLock(&context->Lock, oldIrql);
    Irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

NTSTATUS SerialGetWaitMask(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    return ReturnSetting(context, Irp, &context->WaitMask, sizeof(ULONG));
}

// A new mask ends the wait in progress with no events (SetCommMask (Win32): a
// pending WaitCommEvent returns with an event mask of 0). Pending events outside
// the new mask are dropped: a later wait must not be given an event it did not
// ask for; those inside it stay.
NTSTATUS SerialSetWaitMask(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    ULONG mask = *(PULONG)SystemBuffer(Irp);
    KIRQL oldIrql;

    if ((mask & ~SERIAL_EV_VALID_MASK) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    CompleteWaitRequest(context, 0);
    KeAcquireSpinLock(&context->Lock, &oldIrql);
    context->WaitMask = mask;
    context->PendingEvents &= mask;
    KeReleaseSpinLock(&context->Lock, oldIrql);
    return STATUS_SUCCESS;
}

// Pending events of the mask are delivered at once, and stop being pending.
// Without a mask, or with a wait already queued, the new wait is refused and the
// queued one ends with no events.
NTSTATUS SerialWaitOnMask(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    KIRQL oldIrql;

    // The events come from the readers: one stopped for want of an IRP starts again.
    RestartStoppedReaders(context);
    KeAcquireSpinLock(&context->Lock, &oldIrql);
    if (context->WaitMask == 0 || !IsListEmpty(&context->WaitIrpQueue)) {
        context->PendingEvents = 0;
        KeReleaseSpinLock(&context->Lock, oldIrql);
        CompleteWaitRequest(context, 0);
        return STATUS_INVALID_PARAMETER;
    }
    ULONG events = context->PendingEvents & context->WaitMask;
    if (events != 0) {
        *(PULONG)SystemBuffer(Irp) = events;
        context->PendingEvents &= ~events;
        KeReleaseSpinLock(&context->Lock, oldIrql);
        Irp->IoStatus.Information = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    // Queued under the same hold that found no events: an event raised from now on
    // finds the wait queued and completes it.
    NTSTATUS status = QueueWaitRequestLocked(context, Irp);
    KeReleaseSpinLock(&context->Lock, oldIrql);
    return status;
}
