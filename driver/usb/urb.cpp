// Sending URBs to the parent bus driver, and counting the transfers in flight so
// that close can wait for every one of them.
#include "usb.h"

// PASSIVE_LEVEL only: blocks until the lower driver has finished the URB.
NTSTATUS SendUrbAndWait(PDEVICE_OBJECT DeviceObject, PURB Urb) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp =
        IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, context->LowerDeviceObject,
                                      NULL, 0, NULL, 0, TRUE, &event, &ioStatus);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;

    // The URB's own USBD status is not consulted: the IRP's status is the outcome.
    NTSTATUS status = IofCallDriver(context->LowerDeviceObject, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    return status;
}

// Any IRQL up to DISPATCH_LEVEL: the readers resubmit from their completion routines.
NTSTATUS SendUrbAsync(PDEVICE_OBJECT TargetDevice, PURB Urb,
                      PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context, PBOOLEAN Sent) {
    *Sent = FALSE;
    PIRP irp = IoAllocateIrp(TargetDevice->StackSize, FALSE);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;
    IoSetCompletionRoutine(irp, CompletionRoutine, Context, TRUE, TRUE, TRUE);
    *Sent = TRUE;
    return IofCallDriver(TargetDevice, irp);
}

// The count never rises from 0: a transfer is counted only while the port is open
// (the readers test IsOpen under Lock; the write engine takes a request while the
// port is open, or after close with its previous request still counted), and the
// open reference keeps it at 1 or more until close drops it. Open initialises the
// event not signalled, so only a completion's fall to 0 sets it; a notification
// event, so one waiter is released whatever the interleaving.
void IncrementPendingTransfers(PDEVICE_CONTEXT DeviceContext) {
    InterlockedIncrement(&DeviceContext->PendingTransferCount);
}

void DecrementPendingTransfers(PDEVICE_CONTEXT DeviceContext) {
    if (InterlockedDecrement(&DeviceContext->PendingTransferCount) == 0) {
        KeSetEvent(&DeviceContext->NoPendingTransfersEvent, IO_NO_INCREMENT, FALSE);
    }
}

static LONG ReadPendingTransfers(PDEVICE_CONTEXT DeviceContext) {
    return InterlockedCompareExchange(&DeviceContext->PendingTransferCount, 0, 0);
}

// Drops the open reference and waits for the transfers still in flight. When this
// decrement itself reaches 0, nothing is in flight and the event is not involved.
// A reader whose transfer reached the lower driver after close had aborted the
// pipes sets the event with transfers still counted: then DeviceObject, when given,
// has its pipes aborted again. The count is read again after the event is cleared,
// so a fall to 0 between the two is not missed.
void WaitForPendingTransfers(PDEVICE_CONTEXT DeviceContext, PDEVICE_OBJECT DeviceObject) {
    if (InterlockedDecrement(&DeviceContext->PendingTransferCount) == 0) {
        return;
    }
    for (;;) {
        KeWaitForSingleObject(&DeviceContext->NoPendingTransfersEvent, Executive, KernelMode, FALSE,
                              NULL);
        if (ReadPendingTransfers(DeviceContext) == 0) {
            return;
        }
        KeClearEvent(&DeviceContext->NoPendingTransfersEvent);
        if (ReadPendingTransfers(DeviceContext) == 0) {
            return;
        }
        if (DeviceObject != NULL) {
            AbortAllPipes(DeviceObject);
        }
    }
}

static NTSTATUS SendPipeRequest(PDEVICE_OBJECT DeviceObject, USHORT Function,
                                USBD_PIPE_HANDLE PipeHandle) {
    struct _URB_PIPE_REQUEST urb;
    RtlZeroMemory(&urb, sizeof(urb));
    urb.Hdr.Length = (USHORT)sizeof(urb);
    urb.Hdr.Function = Function;
    urb.PipeHandle = PipeHandle;
    return SendUrbAndWait(DeviceObject, (PURB)&urb);
}

NTSTATUS AbortPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle) {
    return SendPipeRequest(DeviceObject, URB_FUNCTION_ABORT_PIPE, PipeHandle);
}

NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle) {
    return SendPipeRequest(DeviceObject, URB_FUNCTION_RESET_PIPE, PipeHandle);
}

// Aborts every pipe so that the readers' outstanding transfers come back; a failed
// abort does not stop the next one.
void AbortAllPipes(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    AbortPipe(DeviceObject, context->InterruptInPipe);
    AbortPipe(DeviceObject, context->BulkInPipe);
    AbortPipe(DeviceObject, context->BulkOutPipe);
}

#if !defined(KORVAX_HOSTED)
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 24, "pipe request URB of the 32-bit stack");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 72, "bulk URB of the 32-bit stack");
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 80,
              "class request URB of the 32-bit stack");
#endif
