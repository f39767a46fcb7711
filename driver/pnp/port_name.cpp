// The name applications open the port by (PortName in the device's hardware key),
// the \DosDevices link to the device object, the SERIALCOMM device-map value and
// the device interface. Teardown is idempotent: every step tests what it frees.
// All of it runs at PASSIVE_LEVEL from the PnP handlers.
#include "pnp.h"

#define PORT_NAME_CHARS 64
#define PORT_NAME_BYTES (PORT_NAME_CHARS * sizeof(WCHAR))
// The value's characters, a terminator the value may lack, and the second zero
// character that ends the device-map data: all of it lies in the buffer.
#define PORT_NAME_BUFFER_CHARS (PORT_NAME_CHARS + 2)
#define LINK_NAME_BYTES        256
#define LINK_NAME_FORMAT       L"\\DosDevices\\%ws"
#define SERIAL_DEVICE_MAP      L"SERIALCOMM"

// Bytes of KEY_VALUE_FULL_INFORMATION before its variable part.
#define FULL_INFORMATION_FIXED_BYTES 24

NTSTATUS QueryPortName(PDEVICE_CONTEXT DeviceContext, PWCHAR Buffer, ULONG BufferSize) {
    HANDLE key;
    UNICODE_STRING valueName;
    ULONG resultLength;

    NTSTATUS status = IoOpenDeviceRegistryKey(DeviceContext->PhysicalDeviceObject,
                                              PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    RtlInitUnicodeString(&valueName, L"PortName");
    ULONG queryBytes = valueName.Length + BufferSize + FULL_INFORMATION_FIXED_BYTES;
    PKEY_VALUE_FULL_INFORMATION info = (PKEY_VALUE_FULL_INFORMATION)ExAllocatePoolWithTag(
        NonPagedPool, queryBytes, KORVAX_POOL_TAG);
    if (info == NULL) {
        ZwClose(key);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status =
        ZwQueryValueKey(key, &valueName, KeyValueFullInformation, info, queryBytes, &resultLength);
    if (NT_SUCCESS(status)) {
        // The value's type is not examined; only its bytes are taken.
        if (info->DataLength <= BufferSize) {
            RtlCopyMemory(Buffer, (PUCHAR)info + info->DataOffset, info->DataLength);
        } else {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    ZwClose(key);
    ExFreePoolWithTag(info, KORVAX_POOL_TAG);
    return status;
}

// Builds \DosDevices\<PortName> into a fresh 256-byte string. PortName has
// PORT_NAME_BUFFER_CHARS characters, more than the value may fill, so a value of the
// full 128 bytes without a terminator is still a terminated string here.
static NTSTATUS BuildLinkName(PDEVICE_CONTEXT DeviceContext, PUNICODE_STRING LinkName,
                              PWCHAR PortName) {
    RtlZeroMemory(PortName, PORT_NAME_BUFFER_CHARS * sizeof(WCHAR));
    NTSTATUS status = QueryPortName(DeviceContext, PortName, PORT_NAME_BYTES);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = AllocateUnicodeString(LinkName, LINK_NAME_BYTES);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    swprintf(LinkName->Buffer, LINK_NAME_FORMAT, PortName);
    RtlInitUnicodeString(LinkName, LinkName->Buffer);
    return STATUS_SUCCESS;
}

NTSTATUS CreatePortLink(PDEVICE_CONTEXT DeviceContext) {
    WCHAR portName[PORT_NAME_BUFFER_CHARS];
    UNICODE_STRING linkName;

    NTSTATUS status = BuildLinkName(DeviceContext, &linkName, portName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = AllocateUnicodeString(&DeviceContext->SymbolicLinkName, linkName.Length);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(linkName.Buffer, KORVAX_POOL_TAG);
        return status;
    }
    RtlCopyUnicodeString(&DeviceContext->SymbolicLinkName, &linkName);
    ExFreePoolWithTag(linkName.Buffer, KORVAX_POOL_TAG);

    status = IoCreateUnprotectedSymbolicLink(&DeviceContext->SymbolicLinkName,
                                             &DeviceContext->DeviceName);
    if (!NT_SUCCESS(status)) {
        // The name may belong to another port's link: this port holds no link, so
        // its teardown must not delete that one.
        ExFreePoolWithTag(DeviceContext->SymbolicLinkName.Buffer, KORVAX_POOL_TAG);
        DeviceContext->SymbolicLinkName.Buffer = NULL;
        DeviceContext->SymbolicLinkName.Length = DeviceContext->SymbolicLinkName.MaximumLength = 0;
        return status;
    }

    ULONG characters = (ULONG)wcslen(portName);
    status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, SERIAL_DEVICE_MAP,
                                   DeviceContext->DeviceName.Buffer, REG_SZ, portName,
                                   characters * sizeof(WCHAR) + 2 * sizeof(WCHAR));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    EnableInterface(DeviceContext, TRUE);
    return status;
}

NTSTATUS RemovePortLink(PDEVICE_CONTEXT DeviceContext) {
    NTSTATUS status = STATUS_SUCCESS;

    DisableInterface(DeviceContext);
    if (DeviceContext->DeviceName.Buffer != NULL) {
        status = RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, SERIAL_DEVICE_MAP,
                                        DeviceContext->DeviceName.Buffer);
    }
    if (DeviceContext->SymbolicLinkName.Buffer != NULL) {
        status = IoDeleteSymbolicLink(&DeviceContext->SymbolicLinkName);
        if (!NT_SUCCESS(status)) {
            status = DeletePortLinkByName(DeviceContext);
        }
        ExFreePoolWithTag(DeviceContext->SymbolicLinkName.Buffer, KORVAX_POOL_TAG);
        DeviceContext->SymbolicLinkName.Buffer = NULL;
        DeviceContext->SymbolicLinkName.Length = DeviceContext->SymbolicLinkName.MaximumLength = 0;
    }
    return status;
}

// The fallback when the stored link name cannot be deleted: the name rebuilt from
// the registry.
NTSTATUS DeletePortLinkByName(PDEVICE_CONTEXT DeviceContext) {
    WCHAR portName[PORT_NAME_BUFFER_CHARS];
    UNICODE_STRING linkName;

    NTSTATUS status = BuildLinkName(DeviceContext, &linkName, portName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = IoDeleteSymbolicLink(&linkName);
    ExFreePoolWithTag(linkName.Buffer, KORVAX_POOL_TAG);
    return status;
}

// A port restarted after a stop has released its interface name at the first
// teardown; it registers the interface again so it is as visible as before.
void EnableInterface(PDEVICE_CONTEXT DeviceContext, BOOLEAN Enable) {
    if (DeviceContext->InterfaceName.Buffer == NULL) {
        if (!Enable || !NT_SUCCESS(IoRegisterDeviceInterface(DeviceContext->PhysicalDeviceObject,
                                                             &KORVAX_INTERFACE_GUID, NULL,
                                                             &DeviceContext->InterfaceName))) {
            return;
        }
    }
    IoSetDeviceInterfaceState(&DeviceContext->InterfaceName, Enable);
}

void DisableInterface(PDEVICE_CONTEXT DeviceContext) {
    if (DeviceContext->InterfaceName.Buffer != NULL) {
        IoSetDeviceInterfaceState(&DeviceContext->InterfaceName, FALSE);
        RtlFreeUnicodeString(&DeviceContext->InterfaceName);
    }
}
