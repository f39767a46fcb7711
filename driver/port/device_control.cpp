// IRP_MJ_DEVICE_CONTROL: refuses requests for a port that is not open or a device
// that is going away, moves raised-IRQL requests to a worker thread (several
// handlers wait for a class request to the modem), and routes the 39 serial codes.
#include "serial.h"

#define SERIAL_FIRST_CODE IOCTL_SERIAL_SET_BAUD_RATE
#define SERIAL_CODE_COUNT 39

typedef struct _SERIAL_ROUTE {
    ULONG MinimumInput;
    ULONG MinimumOutput;
    PSERIAL_REQUEST_HANDLER Handler; // NULL: refused with STATUS_INVALID_PARAMETER
} SERIAL_ROUTE;

// Codes the port accepts and ignores: nothing to check, change, send or return.
static NTSTATUS SerialNoOperation(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    return STATUS_SUCCESS;
}

// Indexed by function number - 1 (FILE_DEVICE_SERIAL_PORT, METHOD_BUFFERED,
// FILE_ANY_ACCESS, functions 1 to 39).
static const SERIAL_ROUTE SerialRoutes[SERIAL_CODE_COUNT] = {
    {sizeof(SERIAL_BAUD_RATE), 0, SerialSetBaudRate},       // SET_BAUD_RATE
    {0, 0, SerialNoOperation},                              // SET_QUEUE_SIZE
    {sizeof(SERIAL_LINE_CONTROL), 0, SerialSetLineControl}, // SET_LINE_CONTROL
    {0, 0, SerialNoOperation},                              // SET_BREAK_ON
    {0, 0, SerialNoOperation},                              // SET_BREAK_OFF
    {sizeof(UCHAR), 0, SerialImmediateChar},                // IMMEDIATE_CHAR
    {sizeof(SERIAL_TIMEOUTS), 0, SerialSetTimeouts},        // SET_TIMEOUTS
    {0, sizeof(SERIAL_TIMEOUTS), SerialGetTimeouts},        // GET_TIMEOUTS
    {0, 0, SerialSetDtr},                                   // SET_DTR
    {0, 0, SerialClrDtr},                                   // CLR_DTR
    {0, 0, NULL},                                           // RESET_DEVICE
    {0, 0, SerialSetRts},                                   // SET_RTS
    {0, 0, SerialClrRts},                                   // CLR_RTS
    {0, 0, NULL},                                           // SET_XOFF
    {0, 0, NULL},                                           // SET_XON
    {0, sizeof(ULONG), SerialGetWaitMask},                  // GET_WAIT_MASK
    {sizeof(ULONG), 0, SerialSetWaitMask},                  // SET_WAIT_MASK
    {0, sizeof(ULONG), SerialWaitOnMask},                   // WAIT_ON_MASK
    {sizeof(ULONG), 0, SerialPurge},                        // PURGE
    {0, sizeof(SERIAL_BAUD_RATE), SerialGetBaudRate},       // GET_BAUD_RATE
    {0, sizeof(SERIAL_LINE_CONTROL), SerialGetLineControl}, // GET_LINE_CONTROL
    {0, sizeof(SERIAL_CHARS), SerialGetChars},              // GET_CHARS
    {sizeof(SERIAL_CHARS), 0, SerialSetChars},              // SET_CHARS
    {0, sizeof(SERIAL_HANDFLOW), SerialGetHandFlow},        // GET_HANDFLOW
    {sizeof(SERIAL_HANDFLOW), 0, SerialSetHandFlow},        // SET_HANDFLOW
    {0, sizeof(ULONG), SerialGetModemStatus},               // GET_MODEMSTATUS
    {0, sizeof(SERIAL_STATUS), SerialGetCommStatus},        // GET_COMMSTATUS
    {0, 0, SerialNoOperation},                              // XOFF_COUNTER
    {0, sizeof(SERIAL_COMMPROP), SerialGetProperties},      // GET_PROPERTIES
    {0, 0, SerialNoOperation},                              // GET_DTRRTS
    {0, 0, SerialNoOperation},                              // LSRMST_INSERT
    {0, 0, SerialNoOperation},                              // CONFIG_SIZE
    {0, 0, NULL},                                           // GET_COMMCONFIG
    {0, 0, NULL},                                           // SET_COMMCONFIG
    {0, sizeof(SERIALPERF_STATS), SerialGetStats},          // GET_STATS
    {0, 0, SerialClearStats},                               // CLEAR_STATS
    {0, 0, SerialNoOperation},                              // GET_MODEM_CONTROL
    {0, 0, SerialNoOperation},                              // SET_MODEM_CONTROL
    {0, 0, SerialNoOperation},                              // SET_FIFO_CONTROL
};

// The route of a control code, or NULL for a code outside the serial set.
static const SERIAL_ROUTE* FindRoute(ULONG IoControlCode) {
    if (IoControlCode < SERIAL_FIRST_CODE || (IoControlCode - SERIAL_FIRST_CODE) % 4 != 0) {
        return NULL;
    }
    ULONG index = (IoControlCode - SERIAL_FIRST_CODE) / 4;
    return index < SERIAL_CODE_COUNT ? &SerialRoutes[index] : NULL;
}

static NTSTATUS RouteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const SERIAL_ROUTE* route = FindRoute(stack->Parameters.DeviceIoControl.IoControlCode);
    if (route == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (stack->Parameters.DeviceIoControl.InputBufferLength < route->MinimumInput ||
        stack->Parameters.DeviceIoControl.OutputBufferLength < route->MinimumOutput) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (route->Handler == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    return route->Handler(DeviceObject, Irp);
}

void StoreSetting(PDEVICE_CONTEXT Context, PVOID Setting, PIRP Irp, ULONG Length) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&Context->Lock, &oldIrql);
    RtlCopyMemory(Setting, SystemBuffer(Irp), Length);
    KeReleaseSpinLock(&Context->Lock, oldIrql);
}

NTSTATUS ReturnSetting(PDEVICE_CONTEXT Context, PIRP Irp, const VOID* Setting, ULONG Length) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&Context->Lock, &oldIrql);
    RtlCopyMemory(SystemBuffer(Irp), Setting, Length);
    KeReleaseSpinLock(&Context->Lock, oldIrql);
    Irp->IoStatus.Information = Length;
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. Completes the request unless a handler kept it pending, in which
// case the request keeps its remove-lock hold until whoever completes it.
NTSTATUS SerialDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);

    Irp->IoStatus.Information = 0;
    NTSTATUS status = AcquireRequestLock(context, Irp);
    if (!NT_SUCCESS(status)) {
        return CompleteRequestInfo(Irp, status, 0);
    }
    status = RouteRequest(DeviceObject, Irp);
    if (status == STATUS_PENDING) {
        return status;
    }
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Information = 0;
    }
    ReleaseRequestLock(context, Irp);
    return CompleteRequest(Irp, status);
}

// Runs a deferred request at PASSIVE_LEVEL. The request's remove-lock hold, taken
// before it was queued, keeps the device until this routine has finished with it
// (and the work item's reference keeps the device object and the driver until it
// has returned). The port may have closed, or removal begun, while the request
// waited: the dispatch routine's checks are made again, and a refused request
// completes as it would have there.
void NTAPI DeviceControlWorker(PDEVICE_OBJECT DeviceObject, PVOID Parameter) {
    PDEVICE_CONTROL_WORK_ITEM item = (PDEVICE_CONTROL_WORK_ITEM)Parameter;
    PDEVICE_CONTEXT context = item->DeviceContext;
    PIRP irp = item->Irp;
    IoFreeWorkItem(item->IoWorkItem);
    ExFreePoolWithTag(item, KORVAX_POOL_TAG);

    if (context->IsOpen != 1) {
        CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
    } else if (IsDeviceRemoving(context)) {
        CompleteRequestInfo(irp, STATUS_DELETE_PENDING, 0);
    } else {
        SerialDeviceControl(DeviceObject, irp);
    }
    // Last: once the hold goes, removal may delete the device. The tag is only a
    // value here; the request itself may be gone.
    ReleaseRequestLock(context, irp);
}

// The request's own remove-lock hold (tagged with the request) keeps removal
// waiting from here until the worker is done with the device.
static NTSTATUS DeferDeviceControl(PDEVICE_OBJECT DeviceObject, PDEVICE_CONTEXT Context, PIRP Irp) {
    NTSTATUS status = AcquireRequestLock(Context, Irp);
    if (!NT_SUCCESS(status)) {
        return CompleteRequestInfo(Irp, status, 0);
    }
    PDEVICE_CONTROL_WORK_ITEM item = (PDEVICE_CONTROL_WORK_ITEM)ExAllocatePoolWithTag(
        NonPagedPool, sizeof(DEVICE_CONTROL_WORK_ITEM), KORVAX_POOL_TAG);
    PIO_WORKITEM ioWorkItem = item != NULL ? IoAllocateWorkItem(DeviceObject) : NULL;
    if (ioWorkItem == NULL) {
        if (item != NULL) {
            ExFreePoolWithTag(item, KORVAX_POOL_TAG);
        }
        ReleaseRequestLock(Context, Irp);
        return CompleteRequestInfo(Irp, STATUS_UNSUCCESSFUL, 0);
    }
    item->IoWorkItem = ioWorkItem;
    item->DeviceContext = Context;
    item->Irp = Irp;
    IoMarkIrpPending(Irp);
    IoQueueWorkItem(ioWorkItem, DeviceControlWorker, DelayedWorkQueue, item);
    return STATUS_PENDING;
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);

    if (context->IsOpen != 1) {
        return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    if (IsDeviceRemoving(context)) {
        return CompleteRequestInfo(Irp, STATUS_DELETE_PENDING, 0);
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        return DeferDeviceControl(DeviceObject, context, Irp);
    }
    // A hold taken and given back at once: a device whose removal has begun refuses
    // the request here, before the handler frame takes its own hold.
    NTSTATUS status = AcquireRequestLock(context, Irp);
    if (!NT_SUCCESS(status)) {
        return CompleteRequestInfo(Irp, status, 0);
    }
    ReleaseRequestLock(context, Irp);
    return SerialDeviceControl(DeviceObject, Irp);
}
