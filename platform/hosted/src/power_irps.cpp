// Power IRPs: PoCallDriver, PoStartNextPowerIrp and PoRequestPowerIrp, as the power
// manager of Windows 2000/XP provides them.
#include "io_internal.h"

#include <memory>

using namespace kx;
using namespace kx::detail;

namespace {

// A power IRP for a power-pageable device must be dispatched at PASSIVE_LEVEL;
// sent at a raised IRQL it goes through a system worker thread.
struct DeferredPowerCall {
    WORK_QUEUE_ITEM item;
    PDEVICE_OBJECT device;
    PIRP irp;
};

void NTAPI CallDriverAtPassive(PVOID parameter) {
    std::unique_ptr<DeferredPowerCall> call(static_cast<DeferredPowerCall*>(parameter));
    IofCallDriver(call->device, call->irp);
}

struct PowerRequest {
    PDEVICE_OBJECT device;
    UCHAR minor;
    POWER_STATE state;
    PREQUEST_POWER_COMPLETE callback;
    PVOID context;
};

NTSTATUS NTAPI PowerRequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    std::unique_ptr<PowerRequest> request(static_cast<PowerRequest*>(context));
    if (request->callback != nullptr) {
        DriverScope scope(request->device->DriverObject);
        request->callback(request->device, request->minor, request->state, request->context,
                          &irp->IoStatus);
    }
    ObDereferenceObject(request->device);
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

extern "C" {

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "PoCallDriver");
    if (KeGetCurrentIrql() == PASSIVE_LEVEL || !(DeviceObject->Flags & DO_POWER_PAGABLE))
        return IofCallDriver(DeviceObject, Irp);
    auto* call = new DeferredPowerCall{{}, DeviceObject, Irp};
    ExInitializeWorkItem(&call->item, CallDriverAtPassive, call);
    {
        DriverScope scope(nullptr);
        ExQueueWorkItem(&call->item, CriticalWorkQueue);
    }
    return STATUS_PENDING;
}

// Power IRPs are handed from driver to driver one at a time per device in this
// kernel already, so there is nothing further to release.
void NTAPI PoStartNextPowerIrp(PIRP Irp) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "PoStartNextPowerIrp");
    (void)Irp;
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
    PIRP irp;
    {
        DriverScope scope(nullptr);
        irp =
            AllocateIrpAt(top->StackSize, reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
    }
    if (irp == nullptr) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        next->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State = PowerState;
    }
    auto* request =
        new PowerRequest{DeviceObject, MinorFunction, PowerState, CompletionFunction, Context};
    ObReferenceObject(DeviceObject);
    IoSetCompletionRoutine(irp, PowerRequestDone, request, TRUE, TRUE, TRUE);
    if (Irp != nullptr)
        *Irp = irp;
    PoCallDriver(top, irp);
    ObDereferenceObject(top);
    return STATUS_PENDING;
}

} // extern "C"
