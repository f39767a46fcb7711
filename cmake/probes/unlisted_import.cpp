// Fixture for the import check: a driver image importing one function that the
// fixture's allowlist names (DbgPrint) and one that it does not (KeBugCheckEx).
#include <platform/wdm.h>

extern "C" DRIVER_INITIALIZE DriverEntry;

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    DbgPrint("probe\n");
    if (DriverObject == NULL) {
        KeBugCheckEx(0xE2, 0, 0, 0, 0);
    }
    return STATUS_SUCCESS;
}
