// Serial device-control requests: the dispatch frame and the handlers it routes to.
#pragma once

#include <driver/frame/frame.h>

DRIVER_DISPATCH DispatchDeviceControl;
IO_WORKITEM_ROUTINE DeviceControlWorker;
NTSTATUS SerialDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// One record per request deferred to a system worker thread; freed by the worker.
typedef struct _DEVICE_CONTROL_WORK_ITEM {
    PIO_WORKITEM IoWorkItem;
    PDEVICE_CONTEXT DeviceContext;
    PIRP Irp;
} DEVICE_CONTROL_WORK_ITEM, *PDEVICE_CONTROL_WORK_ITEM;

// A request handler runs at PASSIVE_LEVEL with the request's remove-lock hold taken,
// IoStatus.Information 0 and the buffer minimums already checked. It sets
// Information where it returns data; STATUS_PENDING means it kept the request.
typedef NTSTATUS SERIAL_REQUEST_HANDLER(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef SERIAL_REQUEST_HANDLER* PSERIAL_REQUEST_HANDLER;

// Line settings.
SERIAL_REQUEST_HANDLER SerialSetBaudRate;
SERIAL_REQUEST_HANDLER SerialGetBaudRate;
SERIAL_REQUEST_HANDLER SerialSetLineControl;
SERIAL_REQUEST_HANDLER SerialGetLineControl;
SERIAL_REQUEST_HANDLER SerialSetTimeouts;
SERIAL_REQUEST_HANDLER SerialGetTimeouts;
SERIAL_REQUEST_HANDLER SerialSetChars;
SERIAL_REQUEST_HANDLER SerialGetChars;
SERIAL_REQUEST_HANDLER SerialSetHandFlow;
SERIAL_REQUEST_HANDLER SerialGetHandFlow;
SERIAL_REQUEST_HANDLER SerialGetProperties;

// Modem control, modem status and event waits.
SERIAL_REQUEST_HANDLER SerialSetDtr;
SERIAL_REQUEST_HANDLER SerialClrDtr;
SERIAL_REQUEST_HANDLER SerialSetRts;
SERIAL_REQUEST_HANDLER SerialClrRts;
SERIAL_REQUEST_HANDLER SerialGetModemStatus;
SERIAL_REQUEST_HANDLER SerialGetWaitMask;
SERIAL_REQUEST_HANDLER SerialSetWaitMask;
SERIAL_REQUEST_HANDLER SerialWaitOnMask;

// Purge, immediate character, queue status and statistics.
SERIAL_REQUEST_HANDLER SerialPurge;
SERIAL_REQUEST_HANDLER SerialImmediateChar;
SERIAL_REQUEST_HANDLER SerialGetCommStatus;
SERIAL_REQUEST_HANDLER SerialGetStats;
SERIAL_REQUEST_HANDLER SerialClearStats;

// The system buffer of a METHOD_BUFFERED request: input and output share it.
inline PVOID SystemBuffer(PIRP Irp) {
    return Irp->AssociatedIrp.SystemBuffer;
}

// The requests that only store or report a setting: the copy is made under Lock,
// which every reader of the setting takes.
void StoreSetting(PDEVICE_CONTEXT Context, PVOID Setting, PIRP Irp, ULONG Length);
NTSTATUS ReturnSetting(PDEVICE_CONTEXT Context, PIRP Irp, const VOID* Setting, ULONG Length);
