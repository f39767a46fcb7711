// Power IRPs: PoCallDriver, PoStartNextPowerIrp and PoRequestPowerIrp, as the power
// manager of Windows 2000/XP provides them.
//
// Each device object takes one system and one device set-or-query power IRP at a
// time. PoCallDriver makes the IRP the device's active one of its kind, or, when
// the device has one already, keeps it waiting; PoStartNextPowerIrp, called by the
// device's driver while the IRP's current stack location is its own, frees the
// device for the next, which a system worker thread then dispatches. An IRP that
// PoCallDriver holds back (waiting, or sent at a raised IRQL to a power-pageable
// device) has STATUS_PENDING returned for it and its target's stack location
// marked pending, as the dispatch routine would have.
#include "power_internal.h"

#include <array>
#include <deque>
#include <map>
#include <memory>

using namespace kx;
using namespace kx::detail;

namespace {

enum PowerKind { SystemKind = 0, DeviceKind = 1 };

struct DevicePowerIrps {
    std::array<PIRP, 2> active{};
    std::array<std::deque<PIRP>, 2> waiting;
};

std::mutex powerMutex;
std::map<PDEVICE_OBJECT, DevicePowerIrps> devicePowerIrps;
POWER_ACTION activeAction = PowerActionNone;

bool IsSetOrQuery(PIO_STACK_LOCATION stack) {
    return stack->MajorFunction == IRP_MJ_POWER &&
           (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER);
}

// A power IRP held back by PoCallDriver, dispatched on a system worker thread. The
// reference keeps the target alive until then.
struct HeldBackCall {
    WORK_QUEUE_ITEM item;
    PDEVICE_OBJECT device;
    PIRP irp;
};

void NTAPI DispatchHeldBack(PVOID parameter) {
    std::unique_ptr<HeldBackCall> call(static_cast<HeldBackCall*>(parameter));
    CallDriverHeldBack(call->device, call->irp);
    ObDereferenceObject(call->device);
}

// The call takes over the caller's reference on the device.
void DispatchLater(PDEVICE_OBJECT device, PIRP irp) {
    auto* call = new HeldBackCall{{}, device, irp};
    ExInitializeWorkItem(&call->item, DispatchHeldBack, call);
    DriverScope scope(nullptr);
    ExQueueWorkItem(&call->item, CriticalWorkQueue);
}

// With powerMutex held: the device's active IRP of this kind is done; returns the
// next one to dispatch (now active; it brings the reference it took while it
// waited), or null.
PIRP ReleaseLocked(PDEVICE_OBJECT device, int kind) {
    auto it = devicePowerIrps.find(device);
    DevicePowerIrps& irps = it->second;
    PIRP next = nullptr;
    if (!irps.waiting[kind].empty()) {
        next = irps.waiting[kind].front();
        irps.waiting[kind].pop_front();
    }
    irps.active[kind] = next;
    if (irps.active[SystemKind] == nullptr && irps.active[DeviceKind] == nullptr)
        devicePowerIrps.erase(it);
    return next;
}

struct PowerRequest {
    PDEVICE_OBJECT device;
    UCHAR minor;
    POWER_STATE state;
    PREQUEST_POWER_COMPLETE callback;
    PVOID context;
    // The driver that asked: its callback runs in its name.
    PDRIVER_OBJECT requester;
    uint64_t record;
};

NTSTATUS NTAPI PowerRequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    std::unique_ptr<PowerRequest> request(static_cast<PowerRequest*>(context));
    if (request->minor != IRP_MN_WAIT_WAKE)
        CheckPowerIrpStarted(irp);
    FinishPowerIrp(request->record, irp->IoStatus.Status);
    if (request->callback != nullptr) {
        DriverScope scope(request->requester);
        request->callback(request->device, request->minor, request->state, request->context,
                          &irp->IoStatus);
    }
    ObDereferenceObject(request->device);
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

namespace kx {

uintptr_t PoRequestPowerIrpSite() {
    return reinterpret_cast<uintptr_t>(&PoRequestPowerIrp);
}

namespace detail {

POWER_ACTION ActiveSystemAction() {
    std::lock_guard<std::mutex> guard(powerMutex);
    return activeAction;
}

void SetActiveSystemAction(POWER_ACTION action) {
    std::lock_guard<std::mutex> guard(powerMutex);
    activeAction = action;
}

void CheckPowerIrpStarted(PIRP irp) {
    std::vector<PDEVICE_OBJECT> forgetful;
    std::vector<std::pair<PDEVICE_OBJECT, PIRP>> toDispatch;
    {
        std::lock_guard<std::mutex> guard(powerMutex);
        std::vector<std::pair<PDEVICE_OBJECT, int>> held;
        for (const auto& [device, irps] : devicePowerIrps) {
            for (int kind : {SystemKind, DeviceKind}) {
                if (irps.active[kind] == irp)
                    held.emplace_back(device, kind);
            }
        }
        for (const auto& [device, kind] : held) {
            forgetful.push_back(device);
            if (PIRP next = ReleaseLocked(device, kind))
                toDispatch.emplace_back(device, next);
        }
    }
    for (PDEVICE_OBJECT device : forgetful) {
        std::u16string name = DeviceName(device);
        Report(Rule::PowerIrpNotStarted,
               "IRP " + Hex(irp) + " came back while device " + Hex(device) +
                   (name.empty() ? "" : " (" + ToUtf8(name) + ")") + " of " +
                   ToUtf8(ToU16(device->DriverObject->DriverName)) +
                   " had not called PoStartNextPowerIrp for it");
    }
    for (const auto& [device, next] : toDispatch)
        DispatchLater(device, next);
}

// A driver never sets DO_POWER_PAGABLE above a device whose driver has cleared it:
// the power manager would send at PASSIVE_LEVEL only what the device below must be
// able to take at DISPATCH_LEVEL, and on Windows 2000 and XP every device object of
// a stack carries the same power flags ("Setting Device Object Flags for Power
// Management" (WDK)). Checked down the stack each power IRP is sent into.
void CheckPowerPagableStack(PDEVICE_OBJECT device) {
    std::vector<std::string> findings;
    for (PDEVICE_OBJECT above = device; above != nullptr;) {
        PDEVICE_OBJECT below = AttachedTo(above);
        if (below != nullptr && (above->Flags & DO_POWER_PAGABLE) &&
            !(below->Flags & DO_POWER_PAGABLE)) {
            std::u16string name = DeviceName(above);
            findings.push_back(
                "device " + Hex(above) + (name.empty() ? "" : " (" + ToUtf8(name) + ")") + " of " +
                ToUtf8(ToU16(above->DriverObject->DriverName)) +
                " sets DO_POWER_PAGABLE above device " + Hex(below) + " of " +
                ToUtf8(ToU16(below->DriverObject->DriverName)) + ", which has cleared it");
        }
        above = below;
    }
    for (const auto& detail : findings)
        Report(Rule::PowerPagableAboveNonPagable, detail);
}

void ResetPowerIrps() {
    std::lock_guard<std::mutex> guard(powerMutex);
    devicePowerIrps.clear();
    activeAction = PowerActionNone;
}

} // namespace detail
} // namespace kx

extern "C" {

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "PoCallDriver");
    CheckPowerPagableStack(DeviceObject);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    if (IsSetOrQuery(next)) {
        int kind = next->Parameters.Power.Type == SystemPowerState ? SystemKind : DeviceKind;
        std::lock_guard<std::mutex> guard(powerMutex);
        DevicePowerIrps& irps = devicePowerIrps[DeviceObject];
        if (irps.active[kind] != nullptr) {
            // The device has its power IRP of this kind: this one waits for its
            // PoStartNextPowerIrp.
            ObReferenceObject(DeviceObject);
            irps.waiting[kind].push_back(Irp);
            next->Control |= SL_PENDING_RETURNED;
            return STATUS_PENDING;
        }
        irps.active[kind] = Irp;
    }
    if (KeGetCurrentIrql() == PASSIVE_LEVEL || !(DeviceObject->Flags & DO_POWER_PAGABLE))
        return CallPowerDriver(DeviceObject, Irp);
    next->Control |= SL_PENDING_RETURNED;
    ObReferenceObject(DeviceObject);
    DispatchLater(DeviceObject, Irp);
    return STATUS_PENDING;
}

void NTAPI PoStartNextPowerIrp(PIRP Irp) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "PoStartNextPowerIrp");
    // The device is the one whose stack location is current, which must be the
    // caller's own (a driver that runs in no one's name is not checked).
    PDRIVER_OBJECT caller = Self().currentDriver;
    PDEVICE_OBJECT device = Irp->CurrentLocation > Irp->StackCount
                                ? nullptr
                                : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
    if (caller != nullptr && (device == nullptr || device->DriverObject != caller)) {
        Report(Rule::PoStartNextPowerIrpNotOwner,
               "IRP " + Hex(Irp) + " by " + ToUtf8(ToU16(caller->DriverName)) +
                   (device == nullptr
                        ? ": no current stack location"
                        : ": the current stack location is " + Hex(device) + "'s, of " +
                              ToUtf8(ToU16(device->DriverObject->DriverName))));
        return;
    }
    if (device == nullptr)
        return;
    PIRP next = nullptr;
    {
        std::lock_guard<std::mutex> guard(powerMutex);
        auto it = devicePowerIrps.find(device);
        if (it == devicePowerIrps.end())
            return;
        for (int kind : {SystemKind, DeviceKind}) {
            if (it->second.active[kind] == Irp) {
                next = ReleaseLocked(device, kind);
                break;
            }
        }
    }
    if (next != nullptr)
        DispatchLater(device, next);
}

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                 POWER_STATE PowerState, PREQUEST_POWER_COMPLETE CompletionFunction,
                                 PVOID Context, PIRP* Irp) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "PoRequestPowerIrp");
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
        MinorFunction != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER_2;
    // The request travels the whole stack above the given device; the IRP is the
    // power manager's, not the calling driver's.
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
    PowerIrpRecord record;
    record.sender = PowerIrpRecord::Sender::PoRequestPowerIrp;
    record.pdo = DeviceObject;
    record.target = top;
    record.minor = MinorFunction;
    record.type = DevicePowerState;
    record.state = PowerState;
    record.shutdownType = ActiveSystemAction();
    PIRP irp;
    {
        DriverScope scope(nullptr);
        irp = AllocateIrpAt(top->StackSize, PoRequestPowerIrpSite());
    }
    if (irp == nullptr) {
        record.status = STATUS_INSUFFICIENT_RESOURCES;
        RecordPowerIrp(record);
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->RequestorMode = KernelMode;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        next->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
        next->Parameters.Power.SystemContext = 0;
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State = PowerState;
        next->Parameters.Power.ShutdownType = record.shutdownType;
    }
    auto* request = new PowerRequest{DeviceObject,          MinorFunction, PowerState,
                                     CompletionFunction,    Context,       Self().currentDriver,
                                     RecordPowerIrp(record)};
    ObReferenceObject(DeviceObject);
    IoSetCompletionRoutine(irp, PowerRequestDone, request, TRUE, TRUE, TRUE);
    if (Irp != nullptr)
        *Irp = irp;
    PoCallDriver(top, irp);
    ObDereferenceObject(top);
    return STATUS_PENDING;
}

} // extern "C"
