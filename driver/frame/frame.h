// Driver entry, dispatch table and the request helpers every dispatch routine uses.
#pragma once

#include "context.h"

// Driver-global: the number of the next \Device\KORVAXSER<n>. Advanced by AddDevice,
// never reset while the driver stays loaded.
extern ULONG NextDeviceNumber;

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD UnloadDriver;

IO_COMPLETION_ROUTINE ForwardCompletionRoutine;

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status);
NTSTATUS CompleteRequestInfo(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
NTSTATUS PassIrpDown(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ForwardIrpSynchronously(PDEVICE_OBJECT DeviceObject, PIRP Irp);
BOOLEAN IsDeviceRemoving(PDEVICE_CONTEXT DeviceContext);

// The acceptance convention of the data, control and pass-through requests: the
// gate (a refusal keeps the request's Information), then a remove-lock hold tagged
// with the request (a refusal completes with Information 0). Returns
// STATUS_SUCCESS with the hold taken, or the status with which it has completed
// the request.
NTSTATUS AcceptRequest(PDEVICE_CONTEXT DeviceContext, PIRP Irp);

// Remove-lock holds of requests are tagged with the request itself. The size is the
// free-build IO_REMOVE_LOCK that the platform's own macros pass.
inline NTSTATUS AcquireRequestLock(PDEVICE_CONTEXT DeviceContext, PIRP Irp) {
    return IoAcquireRemoveLockEx(&DeviceContext->RemoveLock, Irp, "", 1, sizeof(IO_REMOVE_LOCK));
}

inline void ReleaseRequestLock(PDEVICE_CONTEXT DeviceContext, PIRP Irp) {
    IoReleaseRemoveLockEx(&DeviceContext->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
}
