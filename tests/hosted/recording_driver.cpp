#include "recording_driver.h"

#include <cstring>

namespace test {

namespace {

RecordingDriver* current = nullptr;

struct FdoExtension {
    PDEVICE_OBJECT lower;
};

UNICODE_STRING Counted(const std::u16string& text) {
    UNICODE_STRING s;
    s.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    s.MaximumLength = s.Length;
    s.Buffer = const_cast<PWSTR>(reinterpret_cast<const WCHAR*>(text.c_str()));
    return s;
}

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID Context) {
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    IoCallDriver(lower, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PassDown(PDEVICE_OBJECT lower, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

NTSTATUS NTAPI AddDeviceEntry(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    return current->AddDevice(driver, pdo);
}

NTSTATUS NTAPI DispatchPnpEntry(PDEVICE_OBJECT fdo, PIRP irp) {
    return current->DispatchPnp(fdo, irp);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverExtension->AddDevice = AddDeviceEntry;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnpEntry;
    return STATUS_SUCCESS;
}

} // namespace

RecordingDriver::RecordingDriver(RecordingOptions options) : options_(options) {
    current = this;
    NTSTATUS status;
    driver_ = kx::LoadDriver(DriverEntry, u"Recording", &status);
}

RecordingDriver::~RecordingDriver() {
    Unload();
    current = nullptr;
}

void RecordingDriver::Unload() {
    if (driver_ != nullptr)
        kx::UnloadDriver(driver_);
    driver_ = nullptr;
}

PDEVICE_OBJECT RecordingDriver::Fdo() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return fdo_;
}

std::u16string RecordingDriver::FdoName() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return fdoName_;
}

std::vector<UCHAR> RecordingDriver::Minors() const {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<UCHAR> minors;
    for (const SeenIrp& s : seen_)
        minors.push_back(s.minor);
    return minors;
}

std::vector<SeenIrp> RecordingDriver::Seen() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return seen_;
}

void RecordingDriver::ClearSeen() {
    std::lock_guard<std::mutex> guard(mutex_);
    seen_.clear();
}

DEVICE_CAPABILITIES RecordingDriver::CapabilitiesOnEntry() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return capsOnEntry_;
}

DEVICE_CAPABILITIES RecordingDriver::CapabilitiesReturned() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return capsReturned_;
}

PublishedPort RecordingDriver::Port() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return port_;
}

void RecordingDriver::SetOptions(const RecordingOptions& options) {
    std::lock_guard<std::mutex> guard(mutex_);
    options_ = options;
}

NTSTATUS RecordingDriver::AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    RecordingOptions options;
    std::u16string name;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        options = options_;
        name = u"\\Device\\RecordingPort" + kx::ToU16(std::to_string(instances_++));
    }
    if (options.failAddDevice)
        return STATUS_INSUFFICIENT_RESOURCES;
    UNICODE_STRING deviceName = Counted(name);
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FdoExtension), &deviceName,
                                     FILE_DEVICE_SERIAL_PORT, 0, TRUE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    auto* ext = static_cast<FdoExtension*>(fdo->DeviceExtension);
    ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    if (!options.leaveInitializing)
        fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    std::lock_guard<std::mutex> guard(mutex_);
    fdo_ = fdo;
    fdoName_ = name;
    return STATUS_SUCCESS;
}

// What a serial port driver does at start: read PortName from the hardware key,
// link \DosDevices\<PortName> to the device and record it in the device map.
NTSTATUS RecordingDriver::Publish(PDEVICE_OBJECT fdo) {
    auto* ext = static_cast<FdoExtension*>(fdo->DeviceExtension);
    PDEVICE_OBJECT pdo = ext->lower;
    HANDLE key;
    NTSTATUS status =
        IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &key);
    if (!NT_SUCCESS(status))
        return status;
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, reinterpret_cast<PCWSTR>(u"PortName"));
    alignas(8) UCHAR buffer[256];
    ULONG length = 0;
    status =
        ZwQueryValueKey(key, &valueName, KeyValueFullInformation, buffer, sizeof buffer, &length);
    bool leak;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        leak = options_.leakKeyHandle;
    }
    if (!leak)
        ZwClose(key);
    if (!NT_SUCCESS(status))
        return status;
    auto* info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
    std::u16string portName(reinterpret_cast<const char16_t*>(buffer + info->DataOffset),
                            info->DataLength / sizeof(WCHAR));
    portName = portName.substr(0, portName.find(u'\0'));

    std::u16string fdoName = kx::DeviceName(fdo);
    std::u16string link = u"\\DosDevices\\" + portName;
    UNICODE_STRING linkName = Counted(link);
    UNICODE_STRING target = Counted(fdoName);
    status = IoCreateUnprotectedSymbolicLink(&linkName, &target);
    if (!NT_SUCCESS(status))
        return status;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        linkCreated_ = true;
        port_.portName = portName;
        port_.linkName = link;
    }
    std::u16string data = portName;
    return RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, reinterpret_cast<PCWSTR>(u"SERIALCOMM"),
                                 reinterpret_cast<PCWSTR>(fdoName.c_str()), REG_SZ,
                                 const_cast<char16_t*>(data.c_str()),
                                 static_cast<ULONG>((data.size() + 1) * sizeof(WCHAR)));
}

void RecordingDriver::Unpublish() {
    std::u16string link;
    bool created;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        link = port_.linkName;
        created = linkCreated_;
        linkCreated_ = false;
    }
    if (!created)
        return;
    UNICODE_STRING linkName = Counted(link);
    IoDeleteSymbolicLink(&linkName);
    RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, reinterpret_cast<PCWSTR>(u"SERIALCOMM"),
                           reinterpret_cast<PCWSTR>(FdoName().c_str()));
}

NTSTATUS RecordingDriver::DispatchPnp(PDEVICE_OBJECT fdo, PIRP irp) {
    auto* ext = static_cast<FdoExtension*>(fdo->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const UCHAR minor = stack->MinorFunction;
    RecordingOptions options;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        seen_.push_back(
            {minor, KeGetCurrentIrql(), irp->IoStatus.Status, irp->StackCount, fdo->StackSize});
        options = options_;
    }

    switch (minor) {
    case IRP_MN_START_DEVICE: {
        irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS status = ForwardAndWait(ext->lower, irp);
        if (NT_SUCCESS(status) && options.failStart > 0) {
            std::lock_guard<std::mutex> guard(mutex_);
            options_.failStart--;
            status = STATUS_UNSUCCESSFUL;
        }
        if (NT_SUCCESS(status) && options.publishPort) {
            status = Publish(fdo);
            std::lock_guard<std::mutex> guard(mutex_);
            port_.status = status;
        }
        return Complete(irp, status);
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (options.refuseQueryRemove > 0) {
            std::lock_guard<std::mutex> guard(mutex_);
            options_.refuseQueryRemove--;
            return Complete(irp, STATUS_DEVICE_BUSY);
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(ext->lower, irp);
    case IRP_MN_QUERY_STOP_DEVICE:
        if (options.refuseQueryStop > 0) {
            std::lock_guard<std::mutex> guard(mutex_);
            options_.refuseQueryStop--;
            return Complete(irp, STATUS_DEVICE_BUSY);
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(ext->lower, irp);
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        Unpublish();
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(ext->lower, irp);
    case IRP_MN_QUERY_CAPABILITIES: {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            capsOnEntry_ = *stack->Parameters.DeviceCapabilities.Capabilities;
        }
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        NTSTATUS status = ForwardAndWait(ext->lower, irp);
        if (NT_SUCCESS(status)) {
            caps->SurpriseRemovalOK = 1;
            std::lock_guard<std::mutex> guard(mutex_);
            capsReturned_ = *caps;
        }
        return Complete(irp, status);
    }
    case IRP_MN_REMOVE_DEVICE: {
        if (!options.keepLinkAtRemoval)
            Unpublish();
        if (options.failRemove)
            return Complete(irp, STATUS_UNSUCCESSFUL);
        irp->IoStatus.Status = STATUS_SUCCESS;
        PDEVICE_OBJECT lower = ext->lower;
        NTSTATUS status = PassDown(lower, irp);
        if (!options.keepDeviceOnRemove) {
            IoDetachDevice(lower);
            IoDeleteDevice(fdo);
        }
        return status;
    }
    default:
        return PassDown(ext->lower, irp);
    }
}

} // namespace test
