// The power manager's system transitions: sleep, hibernation and wake sent through
// every device stack that has a device node, one system power IRP at a time, each
// waited for; and the log of every power IRP.
#include "power_internal.h"

#include <kx/pnp.h>

#include <algorithm>

namespace kx {

namespace {

struct LogEntry {
    uint64_t id;
    PowerIrpRecord record;
};

std::mutex logMutex;
std::vector<LogEntry> powerLog;
uint64_t nextLogId = 0;
SYSTEM_POWER_STATE systemState = PowerSystemWorking;
// One system transition at a time.
std::mutex transitionMutex;

// The PDOs of the stacks to send to, in the order of their device instance paths,
// each referenced for the transition.
class Stacks {
  public:
    Stacks() {
        for (const auto& node : DeviceNodes()) {
            if (node->State() != DeviceNodeState::Started)
                continue;
            ObReferenceObject(node->Pdo());
            pdos_.push_back(node->Pdo());
        }
        std::sort(pdos_.begin(), pdos_.end(), [](PDEVICE_OBJECT a, PDEVICE_OBJECT b) {
            return DeviceInstancePath(a) < DeviceInstancePath(b);
        });
    }
    ~Stacks() {
        for (PDEVICE_OBJECT pdo : pdos_)
            ObDereferenceObject(pdo);
    }
    Stacks(const Stacks&) = delete;
    Stacks& operator=(const Stacks&) = delete;

    const std::vector<PDEVICE_OBJECT>& Pdos() const { return pdos_; }

  private:
    std::vector<PDEVICE_OBJECT> pdos_;
};

NTSTATUS NTAPI SystemIrpDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    (void)DeviceObject;
    detail::CheckPowerIrpStarted(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    // The power manager frees the IRP once its wait is over.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends one system power IRP to the top of the PDO's stack and waits for it.
NTSTATUS SendSystemIrp(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state,
                       POWER_ACTION action) {
    detail::RequireIrqlAtMost(PASSIVE_LEVEL, "the power manager");
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    PowerIrpRecord record;
    record.sender = PowerIrpRecord::Sender::PowerManager;
    record.pdo = pdo;
    record.target = top;
    record.minor = minor;
    record.type = SystemPowerState;
    record.state.SystemState = state;
    record.shutdownType = action;
    PIRP irp;
    {
        detail::DriverScope scope(nullptr);
        irp = AllocateIrpAt(top->StackSize, reinterpret_cast<uintptr_t>(&SendSystemIrp));
        // The return to the working state must reach every stack: an allocation
        // that fails is tried again (an injected fault fails only one).
        bool mustReach = minor == IRP_MN_SET_POWER && state == PowerSystemWorking;
        for (int attempt = 0; irp == nullptr && mustReach && attempt < 8; ++attempt)
            irp = AllocateIrpAt(top->StackSize, reinterpret_cast<uintptr_t>(&SendSystemIrp));
    }
    if (irp == nullptr) {
        record.status = STATUS_INSUFFICIENT_RESOURCES;
        detail::RecordPowerIrp(record);
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    uint64_t id = detail::RecordPowerIrp(record);
    irp->RequestorMode = KernelMode;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = minor;
    next->Parameters.Power.SystemContext = 0;
    next->Parameters.Power.Type = SystemPowerState;
    next->Parameters.Power.State.SystemState = state;
    next->Parameters.Power.ShutdownType = action;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SystemIrpDone, &done, TRUE, TRUE, TRUE);
    detail::SetActiveSystemAction(action);
    PoCallDriver(top, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    detail::SetActiveSystemAction(PowerActionNone);
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    detail::FinishPowerIrp(id, status);
    if (minor == IRP_MN_SET_POWER && !NT_SUCCESS(status)) {
        detail::Report(Rule::SystemSetPowerFailed,
                       "IRP_MN_SET_POWER for S" + std::to_string(static_cast<int>(state) - 1) +
                           " to the stack of " + detail::Hex(pdo) + " (" +
                           ToUtf8(DeviceInstancePath(pdo)) + ") came back with status " +
                           detail::Hex(static_cast<uint64_t>(static_cast<ULONG>(status))));
    }
    ObDereferenceObject(top);
    return status;
}

SYSTEM_POWER_STATE SystemState() {
    std::lock_guard<std::mutex> guard(logMutex);
    return systemState;
}

void SetSystemState(SYSTEM_POWER_STATE state) {
    std::lock_guard<std::mutex> guard(logMutex);
    systemState = state;
}

} // namespace

NTSTATUS SystemSleep(SYSTEM_POWER_STATE state) {
    detail::RequireIrqlAtMost(PASSIVE_LEVEL, "SystemSleep");
    if (state < PowerSystemSleeping1 || state > PowerSystemHibernate)
        return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> transition(transitionMutex);
    if (SystemState() != PowerSystemWorking)
        return STATUS_INVALID_DEVICE_STATE;
    POWER_ACTION action = state == PowerSystemHibernate ? PowerActionHibernate : PowerActionSleep;
    Stacks stacks;
    const std::vector<PDEVICE_OBJECT>& pdos = stacks.Pdos();

    size_t queried = 0;
    NTSTATUS refusal = STATUS_SUCCESS;
    while (queried < pdos.size() && NT_SUCCESS(refusal))
        refusal = SendSystemIrp(pdos[queried++], IRP_MN_QUERY_POWER, state, action);
    if (!NT_SUCCESS(refusal)) {
        for (size_t i = 0; i < queried; ++i)
            SendSystemIrp(pdos[i], IRP_MN_SET_POWER, PowerSystemWorking, action);
        return refusal;
    }
    for (PDEVICE_OBJECT pdo : pdos)
        SendSystemIrp(pdo, IRP_MN_SET_POWER, state, action);
    SetSystemState(state);
    // The processors stop: what they had queued has run by then.
    DrainDispatchQueue();
    return STATUS_SUCCESS;
}

NTSTATUS SystemWake() {
    detail::RequireIrqlAtMost(PASSIVE_LEVEL, "SystemWake");
    std::lock_guard<std::mutex> transition(transitionMutex);
    if (SystemState() == PowerSystemWorking)
        return STATUS_INVALID_DEVICE_STATE;
    Stacks stacks;
    const std::vector<PDEVICE_OBJECT>& pdos = stacks.Pdos();
    SetSystemState(PowerSystemWorking);
    for (auto it = pdos.rbegin(); it != pdos.rend(); ++it)
        SendSystemIrp(*it, IRP_MN_SET_POWER, PowerSystemWorking, PowerActionSleep);
    return STATUS_SUCCESS;
}

SYSTEM_POWER_STATE CurrentSystemPowerState() {
    return SystemState();
}

std::vector<PowerIrpRecord> PowerIrps() {
    std::lock_guard<std::mutex> guard(logMutex);
    std::vector<PowerIrpRecord> records;
    for (const LogEntry& entry : powerLog)
        records.push_back(entry.record);
    return records;
}

void ClearPowerIrps() {
    std::lock_guard<std::mutex> guard(logMutex);
    powerLog.clear();
}

namespace detail {

uint64_t RecordPowerIrp(const PowerIrpRecord& record) {
    std::lock_guard<std::mutex> guard(logMutex);
    powerLog.push_back({++nextLogId, record});
    return nextLogId;
}

void FinishPowerIrp(uint64_t id, NTSTATUS status) {
    std::lock_guard<std::mutex> guard(logMutex);
    // A log cleared meanwhile has forgotten the entry.
    for (auto it = powerLog.rbegin(); it != powerLog.rend(); ++it) {
        if (it->id == id) {
            it->record.status = status;
            return;
        }
    }
}

void ResetPower() {
    ResetPowerIrps();
    std::lock_guard<std::mutex> guard(logMutex);
    powerLog.clear();
    systemState = PowerSystemWorking;
}

} // namespace detail
} // namespace kx
