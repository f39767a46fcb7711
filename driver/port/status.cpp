// Requests that act on the data queues or report on them: purge, immediate
// character, queue status and statistics.
#include "serial.h"

#include <driver/data/data.h>

// Applications exchange these records byte for byte, and their sizes are the
// minimum output lengths of GET_COMMSTATUS and GET_STATS.
static_assert(sizeof(SERIAL_STATUS) == 20, "SERIAL_STATUS layout");
static_assert(sizeof(SERIALPERF_STATS) == 24, "SERIALPERF_STATS layout");

// The steps run in this order without Lock held: a waiting read takes what the
// ring holds before a clear throws the rest away. TXABORT ends every outstanding
// write, the one in flight too (PurgeComm (Win32): "terminates all outstanding
// overlapped write operations"): the queued ones first, so the engine does not
// start one of them after the one in flight. A reader stopped for want of an IRP
// starts again.
NTSTATUS SerialPurge(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    ULONG mask = *(PULONG)SystemBuffer(Irp);

    if (mask & SERIAL_PURGE_TXABORT) {
        CancelQueue(DeviceObject, &context->WriteIrpQueue);
        CancelCurrentWrite(context);
    }
    if (mask & SERIAL_PURGE_RXABORT) {
        CompleteQueuedReads(context);
    }
    if (mask & SERIAL_PURGE_RXCLEAR) {
        RingPurge(context);
    }
    RestartStoppedReaders(context);
    return STATUS_SUCCESS;
}

// The write path completes the request once the byte is out; a request cancelled as
// it was queued (or refused by a removal) comes back for the frame to complete.
NTSTATUS SerialImmediateChar(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return QueueImmediateChar(DeviceObject, Irp);
}

NTSTATUS SerialGetCommStatus(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    PSERIAL_STATUS status = (PSERIAL_STATUS)SystemBuffer(Irp);
    KIRQL oldIrql;

    RtlZeroMemory(status, sizeof(SERIAL_STATUS));
    // The errors are reported once, as ClearCommError clears them.
    KeAcquireSpinLock(&context->Lock, &oldIrql);
    status->Errors = context->CommErrors;
    context->CommErrors = 0;
    status->HoldReasons = context->HoldReasons;
    status->EofReceived = FALSE;
    status->WaitForImmediate = FALSE;
    status->AmountInInQueue = RingGetCount(context);
    status->AmountInOutQueue = context->WriteBytesQueued;
    KeReleaseSpinLock(&context->Lock, oldIrql);
    Irp->IoStatus.Information = sizeof(SERIAL_STATUS);
    return STATUS_SUCCESS;
}

NTSTATUS SerialGetStats(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    KIRQL oldIrql;

    KeAcquireSpinLock(&context->Lock, &oldIrql);
    RtlCopyMemory(SystemBuffer(Irp), &context->PerfStats, sizeof(SERIALPERF_STATS));
    KeReleaseSpinLock(&context->Lock, oldIrql);
    Irp->IoStatus.Information = sizeof(SERIALPERF_STATS);
    return STATUS_SUCCESS;
}

NTSTATUS SerialClearStats(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(Irp);
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    KIRQL oldIrql;

    KeAcquireSpinLock(&context->Lock, &oldIrql);
    RtlZeroMemory(&context->PerfStats, sizeof(SERIALPERF_STATS));
    KeReleaseSpinLock(&context->Lock, oldIrql);
    return STATUS_SUCCESS;
}
