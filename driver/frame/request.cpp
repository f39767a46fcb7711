// Completing, passing down and forwarding requests, and the acceptance gate.
#include "frame.h"

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS CompleteRequestInfo(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS PassIrpDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoSkipCurrentIrpStackLocation(Irp);
    return IofCallDriver(GetDeviceContext(DeviceObject)->LowerDeviceObject, Irp);
}

// Hands the request back to the waiting ForwardIrpSynchronously. Completion stops
// here, so the pending flag needs no propagation.
NTSTATUS NTAPI ForwardCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// PASSIVE_LEVEL only. The request belongs to the caller again on return and must
// be completed by it.
NTSTATUS ForwardIrpSynchronously(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, ForwardCompletionRoutine, &event, TRUE, TRUE, TRUE);
    IofCallDriver(GetDeviceContext(DeviceObject)->LowerDeviceObject, Irp);
    // The completion routine has signalled the event by the time the request is
    // back, whether or not the lower driver returned STATUS_PENDING.
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    return Irp->IoStatus.Status;
}

// TRUE when the request in hand must be refused with STATUS_DELETE_PENDING: the
// device is being removed, is gone, or has been declared lost. Any IRQL up to
// DISPATCH_LEVEL.
BOOLEAN IsDeviceRemoving(PDEVICE_CONTEXT DeviceContext) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&DeviceContext->StateLock, &oldIrql);
    BOOLEAN removing = DeviceContext->DeviceLostMark == DEVICE_LOST_MARK ||
                       DeviceContext->PnpState == RemovePending ||
                       DeviceContext->PnpState == SurpriseRemoved ||
                       DeviceContext->PnpState == Removed;
    KeReleaseSpinLock(&DeviceContext->StateLock, oldIrql);
    return removing;
}

NTSTATUS AcceptRequest(PDEVICE_CONTEXT DeviceContext, PIRP Irp) {
    if (IsDeviceRemoving(DeviceContext)) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    }
    NTSTATUS status = AcquireRequestLock(DeviceContext, Irp);
    if (!NT_SUCCESS(status)) {
        return CompleteRequestInfo(Irp, status, 0);
    }
    return STATUS_SUCCESS;
}
