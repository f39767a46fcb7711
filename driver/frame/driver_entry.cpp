// Load and unload of the driver: the dispatch table and the debugger banners.
#include "frame.h"

#include <driver/data/data.h>
#include <driver/pnp/pnp.h>
#include <driver/port/port.h>
#include <driver/port/serial.h>
#include <driver/power/power.h>

ULONG NextDeviceNumber;

#define BANNER_RULE                                                                                \
    "*******************************************************************************"
#define DRIVER_VERSION "Ver 1.0"

static void PrintBanner(PCSTR Line) {
    DbgPrint(BANNER_RULE "\n");
    DbgPrint(Line, DRIVER_VERSION, __TIME__, __DATE__);
    DbgPrint(BANNER_RULE "\n\n");
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);

    if (!IoIsWdmVersionAvailable(1, 0)) {
        return STATUS_UNSUCCESSFUL;
    }

    // Device numbers count from 0 for every load of the image.
    NextDeviceNumber = 0;

    // Every slot not set here keeps the I/O manager's default, which fails the
    // request with STATUS_INVALID_DEVICE_REQUEST.
    DriverObject->DriverUnload = UnloadDriver;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = DispatchRead;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DispatchFlushBuffers;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;

    PrintBanner("USBMODEM(%s)  Time: %s  Date: %s LOADED \n");
    return STATUS_SUCCESS;
}

// Every device object is gone by now (the remove path deleted each one with all it
// owned), so unloading frees nothing.
void NTAPI UnloadDriver(PDRIVER_OBJECT DriverObject) {
    UNREFERENCED_PARAMETER(DriverObject);
    PrintBanner("USBMODEM(%s)  Time: %s  Date: %s UNLOADED \n");
}
