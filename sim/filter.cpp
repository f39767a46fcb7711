#include "filter.h"

namespace sim {

namespace {

constexpr ULONG FilterSignature = 0x746C6946; // "Filt"
constexpr ULONG FilterTag = 0x746C6946;

std::atomic<uint64_t> passedDown{0};

FilterExtension* ExtensionOf(PDEVICE_OBJECT device) {
    return static_cast<FilterExtension*>(device->DeviceExtension);
}

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// A filter that does not handle a request passes it on with its own stack
// location skipped, so the lower driver sees the parameters unchanged ("Passing
// IRPs down the driver stack", WDK).
NTSTATUS PassDown(FilterExtension* ext, PIRP irp) {
    ++passedDown;
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->LowerDevice, irp);
}

// Power requests: on Windows 2000 and XP each driver calls PoStartNextPowerIrp
// and passes the request on with PoCallDriver ("Passing power IRPs", WDK).
NTSTATUS NTAPI FilterPower(PDEVICE_OBJECT device, PIRP irp) {
    FilterExtension* ext = ExtensionOf(device);
    NTSTATUS status = IoAcquireRemoveLock(&ext->RemoveLock, irp);
    if (!NT_SUCCESS(status)) {
        PoStartNextPowerIrp(irp);
        return CompleteWith(irp, status);
    }
    PoStartNextPowerIrp(irp);
    ++passedDown;
    IoSkipCurrentIrpStackLocation(irp);
    status = PoCallDriver(ext->LowerDevice, irp);
    IoReleaseRemoveLock(&ext->RemoveLock, irp);
    return status;
}

// On the way up a device-usage notification may have cleared DO_POWER_PAGABLE
// below; a filter follows the device below it ("IRP_MN_DEVICE_USAGE_NOTIFICATION",
// WDK: a driver must not be pageable when a driver below it is not).
NTSTATUS NTAPI UsageNotificationDone(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    (void)context;
    FilterExtension* ext = ExtensionOf(device);
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    if (!(ext->LowerDevice->Flags & DO_POWER_PAGABLE))
        device->Flags &= ~DO_POWER_PAGABLE;
    IoReleaseRemoveLock(&ext->RemoveLock, irp);
    return STATUS_SUCCESS; // STATUS_CONTINUE_COMPLETION
}

NTSTATUS NTAPI FilterPnp(PDEVICE_OBJECT device, PIRP irp) {
    FilterExtension* ext = ExtensionOf(device);
    NTSTATUS status = IoAcquireRemoveLock(&ext->RemoveLock, irp);
    if (!NT_SUCCESS(status))
        return CompleteWith(irp, status);
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_REMOVE_DEVICE: {
        // Every hold taken for a request in flight is given back before the
        // device goes ("Using remove locks", WDK).
        IoReleaseRemoveLockAndWait(&ext->RemoveLock, irp);
        PDEVICE_OBJECT lower = ext->LowerDevice;
        status = PassDown(ext, irp);
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        return status;
    }
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        ++passedDown;
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, UsageNotificationDone, nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(ext->LowerDevice, irp);
    default:
        status = PassDown(ext, irp);
        IoReleaseRemoveLock(&ext->RemoveLock, irp);
        return status;
    }
}

NTSTATUS NTAPI FilterDispatch(PDEVICE_OBJECT device, PIRP irp) {
    FilterExtension* ext = ExtensionOf(device);
    NTSTATUS status = IoAcquireRemoveLock(&ext->RemoveLock, irp);
    if (!NT_SUCCESS(status))
        return CompleteWith(irp, status);
    status = PassDown(ext, irp);
    IoReleaseRemoveLock(&ext->RemoveLock, irp);
    return status;
}

// A filter's device takes on what the I/O and power managers read from the top of
// a stack: the device type, the characteristics and the buffering and power flags
// of the device it attaches to ("Filter driver device objects"; "Initializing a
// device object", WDK).
NTSTATUS NTAPI FilterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    DEVICE_TYPE type = top->DeviceType;
    ULONG characteristics = top->Characteristics;
    ObDereferenceObject(top);

    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FilterExtension), nullptr, type,
                                     characteristics, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    FilterExtension* ext = ExtensionOf(device);
    ext->Signature = FilterSignature;
    ext->Self = device;
    ext->Pdo = pdo;
    IoInitializeRemoveLock(&ext->RemoveLock, FilterTag, 0, 0);
    ext->LowerDevice = IoAttachDeviceToDeviceStack(device, pdo);
    if (ext->LowerDevice == nullptr) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags |= ext->LowerDevice->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    device->DeviceType = ext->LowerDevice->DeviceType;
    device->Characteristics = ext->LowerDevice->Characteristics;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

void NTAPI FilterUnload(PDRIVER_OBJECT driver) {
    (void)driver;
}

NTSTATUS NTAPI FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    (void)registryPath;
    for (auto& slot : driver->MajorFunction)
        slot = FilterDispatch;
    driver->MajorFunction[IRP_MJ_PNP] = FilterPnp;
    driver->MajorFunction[IRP_MJ_POWER] = FilterPower;
    driver->DriverExtension->AddDevice = FilterAddDevice;
    driver->DriverUnload = FilterUnload;
    return STATUS_SUCCESS;
}

} // namespace

FilterDriver::FilterDriver(const std::u16string& name) {
    NTSTATUS status;
    driver_ = kx::LoadDriver(FilterEntry, name, &status);
}

FilterDriver::~FilterDriver() {
    if (driver_ != nullptr)
        kx::UnloadDriver(driver_);
}

uint64_t FilterDriver::PassedDown() {
    return passedDown.load();
}

} // namespace sim
