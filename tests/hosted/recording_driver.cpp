#include "recording_driver.h"

#include <string>

namespace test {

namespace {

RecordingDriver* current = nullptr;

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Uses up one of a counted option.
bool Take(int& count) {
    return count > 0 && count-- > 0;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    if (current->options.failAddDevice)
        return STATUS_INSUFFICIENT_RESOURCES;
    std::u16string name =
        u"\\Device\\RecordingPort" + kx::ToU16(std::to_string(current->instances++));
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, name.c_str());
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), &deviceName,
                                     FILE_DEVICE_SERIAL_PORT, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    *static_cast<PDEVICE_OBJECT*>(fdo->DeviceExtension) = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    current->fdo = fdo;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT fdo, PIRP irp) {
    PDEVICE_OBJECT lower = *static_cast<PDEVICE_OBJECT*>(fdo->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const UCHAR minor = stack->MinorFunction;
    current->seen.push_back(
        {minor, KeGetCurrentIrql(), irp->IoStatus.Status, irp->StackCount, fdo->StackSize});
    if (minor == IRP_MN_QUERY_CAPABILITIES)
        current->capsOnEntry = *stack->Parameters.DeviceCapabilities.Capabilities;
    auto& options = current->options;
    if ((minor == IRP_MN_START_DEVICE && Take(options.failStart)) ||
        (minor == IRP_MN_REMOVE_DEVICE && options.failRemove))
        return Complete(irp, STATUS_UNSUCCESSFUL);
    if ((minor == IRP_MN_QUERY_REMOVE_DEVICE && Take(options.refuseQueryRemove)) ||
        (minor == IRP_MN_QUERY_STOP_DEVICE && Take(options.refuseQueryStop)))
        return Complete(irp, STATUS_DEVICE_BUSY);
    // The state changes a function driver must answer; the queries go down as
    // they came.
    if (minor <= IRP_MN_CANCEL_STOP_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL ||
        options.answerEverything)
        irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        IoDetachDevice(lower);
        IoDeleteDevice(fdo);
    }
    return status;
}

NTSTATUS NTAPI DispatchFile(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Information = 0;
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverExtension->AddDevice = AddDevice;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchFile;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchFile;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchFile;
    return STATUS_SUCCESS;
}

} // namespace

RecordingDriver::RecordingDriver() {
    current = this;
    driver = kx::LoadDriver(DriverEntry, u"Recording", nullptr);
}

RecordingDriver::~RecordingDriver() {
    kx::UnloadDriver(driver);
    current = nullptr;
}

std::vector<UCHAR> RecordingDriver::Minors() const {
    std::vector<UCHAR> minors;
    for (const SeenIrp& s : seen)
        minors.push_back(s.minor);
    return minors;
}

} // namespace test
