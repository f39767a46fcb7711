// URB submission, transfer accounting, pipe operations and the modem's class requests.
#pragma once

#include <driver/frame/frame.h>

// Every URB a function driver sends is this internal device-control request.
NTSTATUS SendUrbAndWait(PDEVICE_OBJECT DeviceObject, PURB Urb);
// Sends Urb on an IRP of the driver's own. *Sent tells whether the IRP reached the
// lower driver: only then does CompletionRoutine run (exactly once). A lower driver
// may itself fail the URB with any status, so the status alone cannot tell.
NTSTATUS SendUrbAsync(PDEVICE_OBJECT TargetDevice, PURB Urb,
                      PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context, PBOOLEAN Sent);

void IncrementPendingTransfers(PDEVICE_CONTEXT DeviceContext);
void DecrementPendingTransfers(PDEVICE_CONTEXT DeviceContext);
// PASSIVE_LEVEL. DeviceObject is NULL where no URB may be sent (removal under way).
void WaitForPendingTransfers(PDEVICE_CONTEXT DeviceContext, PDEVICE_OBJECT DeviceObject);

NTSTATUS AbortPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle);
NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle);
void AbortAllPipes(PDEVICE_OBJECT DeviceObject);

// CDC abstract control model requests, sent on the default pipe to interface 0.
#define CDC_REQUEST_TYPE_CLASS_INTERFACE_OUT 0x21
#define CDC_SET_LINE_CODING                  0x20
#define CDC_SET_CONTROL_LINE_STATE           0x22
#define CDC_LINE_CODING_SIZE                 7
#define CDC_CONTROL_LINE_DTR                 0x0001
#define CDC_CONTROL_LINE_RTS                 0x0002

NTSTATUS SetLineCoding(PDEVICE_OBJECT DeviceObject);
NTSTATUS SetControlLineState(PDEVICE_OBJECT DeviceObject, USHORT LineState);
