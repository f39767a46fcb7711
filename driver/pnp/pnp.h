// Device creation and deletion; Plug and Play.
#pragma once

#include <driver/frame/frame.h>

DRIVER_ADD_DEVICE AddDevice;

void DetachAndDeleteDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS AllocateUnicodeString(PUNICODE_STRING String, USHORT MaximumBytes);

DRIVER_DISPATCH DispatchPnp;
NTSTATUS CopyPipeHandles(PDEVICE_OBJECT DeviceObject);

// The port's public names: the DOS link, the serial device map and the interface.
NTSTATUS QueryPortName(PDEVICE_CONTEXT DeviceContext, PWCHAR Buffer, ULONG BufferSize);
NTSTATUS CreatePortLink(PDEVICE_CONTEXT DeviceContext);
NTSTATUS RemovePortLink(PDEVICE_CONTEXT DeviceContext);
NTSTATUS DeletePortLinkByName(PDEVICE_CONTEXT DeviceContext);
void EnableInterface(PDEVICE_CONTEXT DeviceContext, BOOLEAN Enable);
void DisableInterface(PDEVICE_CONTEXT DeviceContext);

// The port's own device interface class.
extern const GUID KORVAX_INTERFACE_GUID;
