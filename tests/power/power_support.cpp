#include "power_support.h"

namespace power_test {

namespace {

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

} // namespace

std::vector<sim::RecordedIrp> PowerAtPdo(const sim::ModemPdo& pdo) {
    std::vector<sim::RecordedIrp> power;
    for (const sim::RecordedIrp& irp : pdo.Records()) {
        if (irp.major == IRP_MJ_POWER &&
            (irp.minor == IRP_MN_SET_POWER || irp.minor == IRP_MN_QUERY_POWER))
            power.push_back(irp);
    }
    return power;
}

std::string Describe(UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
    std::string text = minor == IRP_MN_SET_POWER     ? "SET"
                       : minor == IRP_MN_QUERY_POWER ? "QUERY"
                                                     : "minor " + std::to_string(minor);
    // Both enumerations count from 1 for S0 and D0.
    return text + (type == SystemPowerState ? " S" : " D") +
           std::to_string(static_cast<int>(state.SystemState) - 1);
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
