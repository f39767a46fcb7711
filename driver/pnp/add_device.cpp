// AddDevice: the port's FDO, its device context and its device interface.
#include "pnp.h"

#include <driver/data/data.h>

// {3C1A5E72-9B04-4D6F-A8E1-5F27C0B94D13}
const GUID KORVAX_INTERFACE_GUID = {
    0x3C1A5E72, 0x9B04, 0x4D6F, {0xA8, 0xE1, 0x5F, 0x27, 0xC0, 0xB9, 0x4D, 0x13}};

#define DEVICE_NAME_PREFIX  L"\\Device\\KORVAXSER"
#define NAME_BUFFER_BYTES   256
#define NUMBER_BUFFER_BYTES 40

// A zero-filled non-paged buffer of MaximumBytes + 2: the extra character keeps every
// name the driver builds zero-terminated without counting in its lengths.
NTSTATUS AllocateUnicodeString(PUNICODE_STRING String, USHORT MaximumBytes) {
    String->Buffer =
        (PWSTR)ExAllocatePoolWithTag(NonPagedPool, MaximumBytes + sizeof(WCHAR), KORVAX_POOL_TAG);
    if (String->Buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(String->Buffer, MaximumBytes + sizeof(WCHAR));
    String->Length = 0;
    String->MaximumLength = MaximumBytes;
    return STATUS_SUCCESS;
}

// Builds \Device\KORVAXSER<n> into Name, taking the next device number.
static void BuildDeviceName(PUNICODE_STRING Name) {
    WCHAR digits[NUMBER_BUFFER_BYTES / sizeof(WCHAR)];
    UNICODE_STRING number;

    RtlAppendUnicodeToString(Name, DEVICE_NAME_PREFIX);
    ULONG deviceNumber = NextDeviceNumber++;
    number.Buffer = digits;
    number.Length = 0;
    number.MaximumLength = sizeof(digits);
    RtlIntegerToUnicodeString(deviceNumber, 10, &number);
    RtlAppendUnicodeStringToString(Name, &number);
}

// The context's initial values; everything not named here stays zero until start
// or open sets it.
static void InitializeDeviceContext(PDEVICE_CONTEXT Context) {
    IoInitializeRemoveLockEx(&Context->RemoveLock, 0, 0, 0, sizeof(IO_REMOVE_LOCK));
    KeInitializeSpinLock(&Context->Lock);
    InitializeListHead(&Context->ReadIrpQueue);
    InitializeListHead(&Context->WaitIrpQueue);
    InitializeListHead(&Context->WriteIrpQueue);
    Context->ShortIntervalAmount.QuadPart = -1;
    Context->LongIntervalAmount.QuadPart = -10000000;
    Context->CutOverAmount.QuadPart = 200000000;
    KeInitializeTimer(&Context->ReadTotalTimer);
    KeInitializeDpc(&Context->ReadTotalDpc, ReadTotalTimeoutDpc, Context);
    KeInitializeTimer(&Context->ReadIntervalTimer);
    KeInitializeDpc(&Context->ReadIntervalDpc, ReadIntervalTimeoutDpc, Context);
    InitializeWriteTimer(Context);
    KeInitializeSpinLock(&Context->RingLock);
    KeInitializeSpinLock(&Context->StateLock);
    ExInitializeFastMutex(&Context->OpenMutex);
    ExInitializeFastMutex(&Context->CloseMutex);
    Context->DeviceLostMark = 0;
    Context->IsOpen = 0;
    Context->ModemStatus = 0;
}

// Undoes a partly built device: name buffers, attachment, the device object.
static void UnwindAddDevice(PDEVICE_OBJECT DeviceObject, PDEVICE_CONTEXT Context) {
    if (Context->InterfaceName.Buffer != NULL) {
        RtlFreeUnicodeString(&Context->InterfaceName);
    }
    if (Context->DeviceName.Buffer != NULL) {
        RtlFreeUnicodeString(&Context->DeviceName);
    }
    if (Context->LowerDeviceObject != NULL) {
        IoDetachDevice(Context->LowerDeviceObject);
    }
    IoDeleteDevice(DeviceObject);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    UNICODE_STRING name;
    PDEVICE_OBJECT deviceObject = NULL;
    POWER_STATE powerState;

    NTSTATUS status = AllocateUnicodeString(&name, NAME_BUFFER_BYTES);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    BuildDeviceName(&name);

    status = IoCreateDevice(DriverObject, sizeof(DEVICE_CONTEXT), &name, FILE_DEVICE_SERIAL_PORT,
                            FILE_DEVICE_SECURE_OPEN, TRUE, &deviceObject);
    if (!NT_SUCCESS(status)) {
        ExFreePool(name.Buffer);
        return status;
    }

    PDEVICE_CONTEXT context = GetDeviceContext(deviceObject);
    RtlZeroMemory(context, sizeof(DEVICE_CONTEXT));
    context->DeviceObject = deviceObject;
    context->PhysicalDeviceObject = PhysicalDeviceObject;

    status = AllocateUnicodeString(&context->DeviceName, name.Length);
    if (!NT_SUCCESS(status)) {
        goto Unwind;
    }
    RtlCopyUnicodeString(&context->DeviceName, &name);

    context->PnpState = NotStarted;
    deviceObject->Flags |= DO_BUFFERED_IO;

    context->LowerDeviceObject = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
    if (context->LowerDeviceObject == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Unwind;
    }
    // The power flags follow the device below: pageable only above a pageable
    // device, never above one whose driver has cleared the flag.
    deviceObject->Flags |= context->LowerDeviceObject->Flags & DO_POWER_PAGABLE;

    status = IoRegisterDeviceInterface(PhysicalDeviceObject, &KORVAX_INTERFACE_GUID, NULL,
                                       &context->InterfaceName);
    if (!NT_SUCCESS(status)) {
        goto Unwind;
    }

    context->SystemPowerState = PowerSystemWorking;
    context->DevicePowerState = PowerDeviceD0;
    powerState.DeviceState = PowerDeviceD0;
    PoSetPowerState(deviceObject, DevicePowerState, powerState);

    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    InitializeDeviceContext(context);

    ExFreePool(name.Buffer);
    return status;

Unwind:
    UnwindAddDevice(deviceObject, context);
    ExFreePool(name.Buffer);
    return status;
}

// The last step of removal, once every remove-lock holder is gone; the names were
// released on the way.
void DetachAndDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    if (context->LowerDeviceObject != NULL) {
        IoDetachDevice(context->LowerDeviceObject);
    }
    IoDeleteDevice(DeviceObject);
}
