// SET_LINE_CODING and SET_CONTROL_LINE_STATE: the line settings and the two
// modem-control outputs as CDC abstract control model requests.
#include "usb.h"

static NTSTATUS SendClassRequest(PDEVICE_OBJECT DeviceObject, UCHAR Request, USHORT Value,
                                 PVOID Data, ULONG DataLength) {
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST urb;
    RtlZeroMemory(&urb, sizeof(urb));
    urb.Hdr.Length = (USHORT)sizeof(urb);
    urb.Hdr.Function = URB_FUNCTION_CLASS_INTERFACE;
    urb.TransferFlags = 0; // host to device
    urb.TransferBufferLength = DataLength;
    urb.TransferBuffer = Data;
    urb.RequestTypeReservedBits = CDC_REQUEST_TYPE_CLASS_INTERFACE_OUT;
    urb.Request = Request;
    urb.Value = Value;
    urb.Index = 0; // the communications interface
    return SendUrbAndWait(DeviceObject, (PURB)&urb);
}

// PASSIVE_LEVEL. The four line fields are read under Lock as one consistent set,
// never across the send. The serial request's codes for stop bits and parity are
// the CDC codes, so they go out unchanged.
NTSTATUS SetLineCoding(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    UCHAR coding[8];
    KIRQL oldIrql;

    RtlZeroMemory(coding, sizeof(coding));
    KeAcquireSpinLock(&context->Lock, &oldIrql);
    ULONG rate = context->BaudRate;
    coding[0] = (UCHAR)(rate & 0xFF);
    coding[1] = (UCHAR)((rate >> 8) & 0xFF);
    coding[2] = (UCHAR)((rate >> 16) & 0xFF);
    coding[3] = (UCHAR)((rate >> 24) & 0xFF);
    coding[4] = context->StopBits;
    coding[5] = context->Parity;
    coding[6] = context->DataBits;
    KeReleaseSpinLock(&context->Lock, oldIrql);

    return SendClassRequest(DeviceObject, CDC_SET_LINE_CODING, 0, coding, CDC_LINE_CODING_SIZE);
}

// PASSIVE_LEVEL. LineState: bit 0 DTR, bit 1 RTS; no data stage.
NTSTATUS SetControlLineState(PDEVICE_OBJECT DeviceObject, USHORT LineState) {
    return SendClassRequest(DeviceObject, CDC_SET_CONTROL_LINE_STATE, LineState, NULL, 0);
}
