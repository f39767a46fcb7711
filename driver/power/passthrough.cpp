// IRP_MJ_SYSTEM_CONTROL goes down untouched: the port has no instrumentation of its
// own. IRP_MJ_INTERNAL_DEVICE_CONTROL from drivers above is answered here for the
// four internal serial codes and never passed down.
#include "power.h"

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    NTSTATUS status = AcceptRequest(context, Irp);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = PassIrpDown(DeviceObject, Irp);
    ReleaseRequestLock(context, Irp);
    return status;
}

static NTSTATUS InternalSerialStatus(ULONG IoControlCode) {
    switch (IoControlCode) {
    case IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE:
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE:
    case IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS:
    case IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS:
        return STATUS_NOT_SUPPORTED;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS NTAPI DispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    NTSTATUS status = AcceptRequest(context, Irp);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = InternalSerialStatus(
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode);
    CompleteRequestInfo(Irp, status, 0);
    ReleaseRequestLock(context, Irp);
    return status;
}
