// The line-settings requests: baud rate and line control (sent to the modem as
// SET_LINE_CODING), time-outs, special characters, handshake settings and the
// port's properties. Fields are read and written under Lock, one group at a time;
// the lock is never held across the class request, which waits.
#include "line_settings.h"

#include "serial.h"

#include <driver/usb/usb.h>

// Applications exchange these records byte for byte.
static_assert(sizeof(SERIAL_BAUD_RATE) == 4, "SERIAL_BAUD_RATE layout");
static_assert(sizeof(SERIAL_LINE_CONTROL) == 3, "SERIAL_LINE_CONTROL layout");
static_assert(sizeof(SERIAL_TIMEOUTS) == 20, "SERIAL_TIMEOUTS layout");
static_assert(sizeof(SERIAL_CHARS) == 6, "SERIAL_CHARS layout");
static_assert(sizeof(SERIAL_HANDFLOW) == 16, "SERIAL_HANDFLOW layout");
static_assert(sizeof(SERIAL_COMMPROP) == 64, "SERIAL_COMMPROP layout");
static_assert(FIELD_OFFSET(SERIAL_COMMPROP, SettableData) == 40, "SERIAL_COMMPROP layout");
static_assert(FIELD_OFFSET(SERIAL_COMMPROP, CurrentRxQueue) == 48, "SERIAL_COMMPROP layout");

#define COMMPROP_SIZE    64
#define COMMPROP_VERSION 2

// DTR/DSR, RTS/CTS, carrier detect, parity check, total and interval time-outs.
#define PORT_CAPABILITIES                                                                          \
    (SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_CD | SERIAL_PCF_PARITY_CHECK |             \
     SERIAL_PCF_TOTALTIMEOUTS | SERIAL_PCF_INTTIMEOUTS)
#define PORT_SETTABLE_PARAMS                                                                       \
    (SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS | SERIAL_SP_STOPBITS |                 \
     SERIAL_SP_HANDSHAKING | SERIAL_SP_PARITY_CHECK | SERIAL_SP_CARRIER_DETECT)
// Every rate bit from 75 to 57600 (0x0007FFFF), plus user-defined rates.
#define PORT_SETTABLE_BAUD ((SERIAL_BAUD_57600 | (SERIAL_BAUD_57600 - 1)) | SERIAL_BAUD_USER)
#define PORT_SETTABLE_DATA                                                                         \
    (SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 | SERIAL_DATABITS_8)
#define PORT_SETTABLE_STOP_PARITY                                                                  \
    (SERIAL_STOPBITS_10 | SERIAL_STOPBITS_15 | SERIAL_STOPBITS_20 | SERIAL_PARITY_NONE |           \
     SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN | SERIAL_PARITY_MARK | SERIAL_PARITY_SPACE)

const ULONG SUPPORTED_BAUD_RATES[SUPPORTED_BAUD_RATE_COUNT] = {
    300,   600,   1200,  1800,  2400,   4800,   7200,   9600,
    14400, 19200, 38400, 57600, 115200, 128000, 230400, 460800};

BOOLEAN IsSupportedBaudRate(ULONG Rate) {
    for (ULONG i = 0; i < SUPPORTED_BAUD_RATE_COUNT; i++) {
        if (SUPPORTED_BAUD_RATES[i] == Rate) {
            return TRUE;
        }
    }
    return FALSE;
}

BOOLEAN IsValidDataBits(UCHAR Bits) {
    return Bits >= 5 && Bits <= 8;
}

void FillCommProperties(PDEVICE_CONTEXT DeviceContext, PSERIAL_COMMPROP Properties) {
    UNREFERENCED_PARAMETER(DeviceContext);
    RtlZeroMemory(Properties, COMMPROP_SIZE);
    Properties->PacketLength = COMMPROP_SIZE;
    Properties->PacketVersion = COMMPROP_VERSION;
    Properties->ServiceMask = SERIAL_SP_SERIALCOMM;
    Properties->MaxTxQueue = 0;
    Properties->MaxRxQueue = 0;
    Properties->MaxBaud = SERIAL_BAUD_USER;
    Properties->ProvSubType = SERIAL_SP_RS232;
    Properties->ProvCapabilities = PORT_CAPABILITIES;
    Properties->SettableParams = PORT_SETTABLE_PARAMS;
    Properties->SettableBaud = PORT_SETTABLE_BAUD;
    Properties->SettableData = PORT_SETTABLE_DATA;
    Properties->SettableStopParity = PORT_SETTABLE_STOP_PARITY;
    Properties->CurrentTxQueue = 0;
    // Reads are served only from the receive ring, so its size is the input queue.
    Properties->CurrentRxQueue = RING_BUFFER_SIZE;
}

// The new settings stay stored even when the modem refuses them: they go out again
// with the next line-coding request.
static NTSTATUS SendLineCoding(PDEVICE_OBJECT DeviceObject) {
    NTSTATUS status = SetLineCoding(DeviceObject);
    return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

NTSTATUS SerialSetBaudRate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    ULONG rate = ((PSERIAL_BAUD_RATE)SystemBuffer(Irp))->BaudRate;
    KIRQL oldIrql;

    if (!IsSupportedBaudRate(rate)) {
        return STATUS_INVALID_PARAMETER;
    }
    KeAcquireSpinLock(&context->Lock, &oldIrql);
    context->BaudRate = rate;
    KeReleaseSpinLock(&context->Lock, oldIrql);
    return SendLineCoding(DeviceObject);
}

NTSTATUS SerialGetBaudRate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    return ReturnSetting(context, Irp, &context->BaudRate, sizeof(SERIAL_BAUD_RATE));
}

// The stop-bit and parity codes of the request are the modem's line-coding codes,
// so they are stored as they come. Any combination of valid values is accepted.
NTSTATUS SerialSetLineControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    SERIAL_LINE_CONTROL line = *(PSERIAL_LINE_CONTROL)SystemBuffer(Irp);
    KIRQL oldIrql;

    if (!IsValidDataBits(line.WordLength) || line.StopBits > STOP_BITS_2 ||
        line.Parity > SPACE_PARITY) {
        return STATUS_INVALID_PARAMETER;
    }
    KeAcquireSpinLock(&context->Lock, &oldIrql);
    context->StopBits = line.StopBits;
    context->Parity = line.Parity;
    context->DataBits = line.WordLength;
    KeReleaseSpinLock(&context->Lock, oldIrql);
    return SendLineCoding(DeviceObject);
}

NTSTATUS SerialGetLineControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    PSERIAL_LINE_CONTROL buffer = (PSERIAL_LINE_CONTROL)SystemBuffer(Irp);
    KIRQL oldIrql;

    KeAcquireSpinLock(&context->Lock, &oldIrql);
    buffer->StopBits = context->StopBits;
    buffer->Parity = context->Parity;
    buffer->WordLength = context->DataBits;
    KeReleaseSpinLock(&context->Lock, oldIrql);
    Irp->IoStatus.Information = sizeof(SERIAL_LINE_CONTROL);
    return STATUS_SUCCESS;
}

// No value is refused; the next read request takes the new read time-outs.
NTSTATUS SerialSetTimeouts(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    StoreSetting(context, &context->Timeouts, Irp, sizeof(SERIAL_TIMEOUTS));
    return STATUS_SUCCESS;
}

NTSTATUS SerialGetTimeouts(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    return ReturnSetting(context, Irp, &context->Timeouts, sizeof(SERIAL_TIMEOUTS));
}

// Stored and reported only: the port matches no event character and does no
// software flow control.
NTSTATUS SerialSetChars(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    StoreSetting(context, &context->SpecialChars, Irp, sizeof(SERIAL_CHARS));
    return STATUS_SUCCESS;
}

NTSTATUS SerialGetChars(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    return ReturnSetting(context, Irp, &context->SpecialChars, sizeof(SERIAL_CHARS));
}

// Stored and reported only; DTR and RTS change through their own requests. The
// port keeps no flow-control limits, so those of the request are not taken.
NTSTATUS SerialSetHandFlow(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    PSERIAL_HANDFLOW request = (PSERIAL_HANDFLOW)SystemBuffer(Irp);
    KIRQL oldIrql;

    KeAcquireSpinLock(&context->Lock, &oldIrql);
    context->HandFlow.ControlHandShake = request->ControlHandShake;
    context->HandFlow.FlowReplace = request->FlowReplace;
    KeReleaseSpinLock(&context->Lock, oldIrql);
    return STATUS_SUCCESS;
}

NTSTATUS SerialGetHandFlow(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    KIRQL oldIrql;

    KeAcquireSpinLock(&context->Lock, &oldIrql);
    *(PSERIAL_HANDFLOW)SystemBuffer(Irp) = context->HandFlow;
    KeReleaseSpinLock(&context->Lock, oldIrql);
    Irp->IoStatus.Information = sizeof(SERIAL_HANDFLOW);
    return STATUS_SUCCESS;
}

NTSTATUS SerialGetProperties(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    FillCommProperties(GetDeviceContext(DeviceObject), (PSERIAL_COMMPROP)SystemBuffer(Irp));
    Irp->IoStatus.Information = COMMPROP_SIZE;
    return STATUS_SUCCESS;
}
