// Load and unload of the driver: the dispatch table and the debugger banners.
#include "frame.h"

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

    DriverObject->DriverUnload = UnloadDriver;

    PrintBanner("USBMODEM(%s)  Time: %s  Date: %s LOADED \n");
    return STATUS_SUCCESS;
}

// Every device object is gone by now (the remove path deleted each one with all it
// owned), so unloading frees nothing.
void NTAPI UnloadDriver(PDRIVER_OBJECT DriverObject) {
    UNREFERENCED_PARAMETER(DriverObject);
    PrintBanner("USBMODEM(%s)  Time: %s  Date: %s UNLOADED \n");
}
