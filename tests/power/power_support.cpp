#include "power_support.h"

#include <ostream>

namespace power_test {

namespace {

PassingDriver* current = nullptr;

struct FdoExtension {
    PDEVICE_OBJECT lower;
    PDEVICE_OBJECT pdo;
};

FdoExtension* Extension(PDEVICE_OBJECT fdo) {
    return static_cast<FdoExtension*>(fdo->DeviceExtension);
}

NTSTATUS NTAPI AddDeviceEntry(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    return current->AddDevice(driver, pdo);
}

NTSTATUS NTAPI DispatchPnpEntry(PDEVICE_OBJECT fdo, PIRP irp) {
    return current->DispatchPnp(fdo, irp);
}

NTSTATUS NTAPI DispatchPowerEntry(PDEVICE_OBJECT fdo, PIRP irp) {
    return current->DispatchPower(fdo, irp);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverExtension->AddDevice = AddDeviceEntry;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnpEntry;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPowerEntry;
    return STATUS_SUCCESS;
}

struct Waiter {
    KEVENT done;
    NTSTATUS status = STATUS_PENDING;
};

void NTAPI RequestDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID Context,
                       PIO_STATUS_BLOCK IoStatus) {
    auto* waiter = static_cast<Waiter*>(Context);
    waiter->status = IoStatus->Status;
    KeSetEvent(&waiter->done, IO_NO_INCREMENT, FALSE);
}

const char* MinorName(UCHAR minor) {
    switch (minor) {
    case IRP_MN_SET_POWER:
        return "SET";
    case IRP_MN_QUERY_POWER:
        return "QUERY";
    case IRP_MN_WAIT_WAKE:
        return "WAIT_WAKE";
    default:
        return "other";
    }
}

} // namespace

PassingDriver::PassingDriver() {
    current = this;
    NTSTATUS status;
    driver_ = kx::LoadDriver(DriverEntry, u"PowerPassing", &status);
}

PassingDriver::~PassingDriver() {
    kx::UnloadDriver(driver_);
    current = nullptr;
}

void PassingDriver::SetBehaviour(PDEVICE_OBJECT pdo, const StackBehaviour& behaviour) {
    std::lock_guard<std::mutex> guard(mutex_);
    behaviours_[pdo] = behaviour;
}

std::vector<SeenPower> PassingDriver::Seen() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return seen_;
}

PDEVICE_OBJECT PassingDriver::FdoOver(PDEVICE_OBJECT pdo) const {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = fdos_.find(pdo);
    return it == fdos_.end() ? nullptr : it->second;
}

NTSTATUS PassingDriver::AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status =
        IoCreateDevice(driver, sizeof(FdoExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    Extension(fdo)->pdo = pdo;
    Extension(fdo)->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    std::lock_guard<std::mutex> guard(mutex_);
    fdos_[pdo] = fdo;
    return STATUS_SUCCESS;
}

NTSTATUS PassingDriver::DispatchPnp(PDEVICE_OBJECT fdo, PIRP irp) {
    FdoExtension* ext = Extension(fdo);
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(ext->lower, irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            fdos_.erase(ext->pdo);
        }
        IoDetachDevice(ext->lower);
        IoDeleteDevice(fdo);
    }
    return status;
}

NTSTATUS PassingDriver::DispatchPower(PDEVICE_OBJECT fdo, PIRP irp) {
    FdoExtension* ext = Extension(fdo);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    SeenPower seen;
    seen.fdo = fdo;
    seen.minor = stack->MinorFunction;
    seen.type = stack->Parameters.Power.Type;
    seen.state = stack->Parameters.Power.State;
    seen.shutdownType = stack->Parameters.Power.ShutdownType;
    seen.irql = KeGetCurrentIrql();
    seen.statusOnEntry = irp->IoStatus.Status;
    seen.stackCount = irp->StackCount;
    seen.deviceStackSize = fdo->StackSize;
    StackBehaviour behaviour;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        seen_.push_back(seen);
        behaviour = behaviours_[ext->pdo];
    }
    bool setOrQuery = seen.minor == IRP_MN_SET_POWER || seen.minor == IRP_MN_QUERY_POWER;
    if (setOrQuery && !behaviour.forgetStartNext)
        PoStartNextPowerIrp(irp);
    if (seen.minor == IRP_MN_QUERY_POWER && seen.type == SystemPowerState &&
        !NT_SUCCESS(behaviour.refuseSystemQuery)) {
        irp->IoStatus.Status = behaviour.refuseSystemQuery;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return behaviour.refuseSystemQuery;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ext->lower, irp);
}

std::vector<sim::RecordedIrp> PowerAtPdo(const sim::ModemPdo& pdo) {
    std::vector<sim::RecordedIrp> power;
    for (const sim::RecordedIrp& irp : pdo.Records()) {
        if (irp.major == IRP_MJ_POWER &&
            (irp.minor == IRP_MN_SET_POWER || irp.minor == IRP_MN_QUERY_POWER))
            power.push_back(irp);
    }
    return power;
}

std::vector<sim::RecordedIrp> UrbsAtPdo(const sim::ModemPdo& pdo) {
    std::vector<sim::RecordedIrp> urbs;
    for (const sim::RecordedIrp& irp : pdo.Records()) {
        if (irp.major == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
            irp.ioControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB)
            urbs.push_back(irp);
    }
    return urbs;
}

std::ostream& operator<<(std::ostream& out, const PowerStep& step) {
    // Both enumerations count from 1 for S0 and D0.
    return out << MinorName(step.minor) << (step.type == SystemPowerState ? " S" : " D")
               << step.state - 1;
}

PowerStep Step(const sim::RecordedIrp& irp) {
    return {irp.minor, irp.powerType, static_cast<ULONG>(irp.powerState.SystemState)};
}

PowerStep Step(const kx::PowerIrpRecord& record) {
    return {record.minor, record.type, static_cast<ULONG>(record.state.SystemState)};
}

PowerStep Step(const SeenPower& seen) {
    return {seen.minor, seen.type, static_cast<ULONG>(seen.state.SystemState)};
}

NTSTATUS RequestDevicePower(PDEVICE_OBJECT pdo, UCHAR minor, DEVICE_POWER_STATE state) {
    Waiter waiter;
    KeInitializeEvent(&waiter.done, NotificationEvent, FALSE);
    POWER_STATE power;
    power.DeviceState = state;
    NTSTATUS status = PoRequestPowerIrp(pdo, minor, power, RequestDone, &waiter, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    KeWaitForSingleObject(&waiter.done, Executive, KernelMode, FALSE, nullptr);
    return waiter.status;
}

} // namespace power_test
