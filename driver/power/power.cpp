// IRP_MJ_POWER. Set and query requests run through a table-driven machine that
// forwards each request with a completion routine and, for a system request, asks
// for the matching device request: before forwarding on the way down, after the
// request came back on the way up. The port itself stops nothing before a low-power
// state; it notes that the system sleeps, and at the return to the working state
// resets the pipes and restarts the readers that stopped.
#include "power.h"

#include <driver/data/data.h>
#include <driver/usb/usb.h>

#define POWER_EVENT_COUNT 3
#define POWER_STATE_COUNT 13

// Action to run for [state][event]; 0: the event is not expected in that state.
static const UCHAR PowerTransitionTable[POWER_STATE_COUNT * POWER_EVENT_COUNT] = {
    1, 0,  0,  // PowerStateInitial
    0, 4,  0,  // SystemUpForwarded
    0, 0,  10, // DeviceUpRequested
    0, 0,  11, // DeviceDownRequested
    0, 5,  0,  // SystemDownForwarded
    0, 12, 0,  // DeviceSetUpForwarded
    0, 8,  0,  // DeviceSetDownForwarded
    0, 0,  14, // 7
    0, 0,  15, // 8
    0, 16, 0,  // DeviceQueryUpForwarded
    0, 18, 0,  // DeviceQueryDownForwarded
    0, 0,  2,  // DeviceIrpClassified
    0, 0,  0,  // PowerStateFinal
};

NTSTATUS PassPowerIrpDown(PDEVICE_CONTEXT DeviceContext, PIRP Irp) {
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(DeviceContext->LowerDeviceObject, Irp);
}

// The device state a system state maps to: D0 for the working state, otherwise the
// lower drivers' map, but never above D3.
static DEVICE_POWER_STATE DeviceStateFor(PDEVICE_CONTEXT Context, SYSTEM_POWER_STATE State) {
    if (State == PowerSystemWorking) {
        return PowerDeviceD0;
    }
    DEVICE_POWER_STATE mapped = Context->DeviceCapabilities.DeviceState[State];
    return mapped > PowerDeviceD3 ? mapped : PowerDeviceD3;
}

static void ForwardPowerIrp(PPOWER_IRP_CONTEXT Context) {
    PIRP irp = Context->MainIrp;
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, PowerIrpCompletion, Context, TRUE, TRUE, TRUE);
    PoCallDriver(Context->DeviceContext->LowerDeviceObject, irp);
}

// Runs actions until one returns. Once a request has been handed to PoCallDriver,
// or a device request accepted by PoRequestPowerIrp, the next event may already
// run on another processor and free the context: from then on only the local
// result is touched.
NTSTATUS RunPowerMachine(PPOWER_IRP_CONTEXT Context, POWER_EVENT Event) {
    ULONG action = PowerTransitionTable[Context->MachineState * POWER_EVENT_COUNT + Event];
    if (action == 0) {
        return STATUS_UNSUCCESSFUL;
    }
    PDEVICE_CONTEXT device = Context->DeviceContext;
    PIRP irp = Context->MainIrp;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    POWER_STATE_TYPE type = stack->Parameters.Power.Type;
    POWER_STATE state = stack->Parameters.Power.State;
    UCHAR minor = stack->MinorFunction;
    NTSTATUS result = STATUS_SUCCESS;
    POWER_STATE requested;

    for (;;) {
        switch (action) {
        case 1:
            IoMarkIrpPending(irp);
            Context->RemoveLockHeld = NT_SUCCESS(AcquireRequestLock(device, irp));
            result = STATUS_PENDING;
            if (type == DevicePowerState) {
                Context->MachineState = DeviceIrpClassified;
                action = 2;
            } else if ((ULONG)state.SystemState < device->SystemPowerState) {
                Context->MachineState = SystemUpForwarded;
                action = 3;
            } else {
                Context->MachineState = DeviceDownRequested;
                action = 6;
            }
            break;
        case 2:
            if ((ULONG)state.DeviceState < device->DevicePowerState) {
                Context->MachineState =
                    minor == IRP_MN_SET_POWER ? DeviceSetUpForwarded : DeviceQueryUpForwarded;
                action = 3;
            } else {
                action = minor == IRP_MN_SET_POWER ? 13 : 17;
            }
            break;
        case 3:
            ForwardPowerIrp(Context);
            return result;
        case 4:
            if (!NT_SUCCESS(Context->LastStatus)) {
                action = 8;
                break;
            }
            if (minor == IRP_MN_SET_POWER) {
                device->SystemPowerState = state.SystemState;
            }
            Context->MachineState = DeviceUpRequested;
            result = STATUS_MORE_PROCESSING_REQUIRED;
            action = 6;
            break;
        case 5:
            if (minor == IRP_MN_SET_POWER) {
                device->SystemPowerState = state.SystemState;
            }
            action = 8;
            break;
        case 6:
            Context->RequestedDeviceState = DeviceStateFor(device, state.SystemState);
            Context->RequestedMinor = minor;
            action = 7;
            break;
        case 7: {
            requested.DeviceState = Context->RequestedDeviceState;
            NTSTATUS status =
                PoRequestPowerIrp(device->PhysicalDeviceObject, Context->RequestedMinor, requested,
                                  DevicePowerRequestDone, Context, NULL);
            if (NT_SUCCESS(status)) {
                return result;
            }
            Context->LastStatus = status;
            action = 8;
            break;
        }
        case 8:
            PoStartNextPowerIrp(irp);
            if (Event == PowerIrpReturned) {
                result = Context->LastStatus;
            } else {
                irp->IoStatus.Status = Context->LastStatus;
                IofCompleteRequest(irp, IO_NO_INCREMENT);
            }
            if (Context->RemoveLockHeld) {
                ReleaseRequestLock(device, irp);
            }
            action = 9;
            break;
        case 9:
            Context->MachineState = PowerStateFinal;
            ExFreePoolWithTag(Context, KORVAX_POOL_TAG);
            return result;
        case 11:
            if (!NT_SUCCESS(Context->LastStatus)) {
                action = 8;
                break;
            }
            Context->MachineState = SystemDownForwarded;
            action = 3;
            break;
        case 12:
            if (NT_SUCCESS(Context->LastStatus) && minor == IRP_MN_SET_POWER) {
                device->DevicePowerState = state.DeviceState;
                action = 15;
            } else {
                action = 8;
            }
            break;
        case 13:
            action = 14;
            break;
        case 14:
            Context->MachineState = DeviceSetDownForwarded;
            if ((ULONG)state.DeviceState > device->DevicePowerState) {
                device->DevicePowerState = state.DeviceState;
            }
            action = 3;
            break;
        case 17:
            Context->MachineState = DeviceQueryDownForwarded;
            action = 3;
            break;
        default: // 10, 15, 16, 18: the request is finished
            action = 8;
            break;
        }
    }
}

NTSTATUS NTAPI PowerIrpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PPOWER_IRP_CONTEXT context = (PPOWER_IRP_CONTEXT)Context;
    context->LastStatus = Irp->IoStatus.Status;
    return RunPowerMachine(context, PowerIrpReturned);
}

void NTAPI DevicePowerRequestDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                  POWER_STATE PowerState, PVOID Context,
                                  PIO_STATUS_BLOCK IoStatus) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    PPOWER_IRP_CONTEXT context = (PPOWER_IRP_CONTEXT)Context;
    context->LastStatus = IoStatus->Status;
    RunPowerMachine(context, DeviceIrpFinished);
}

// Back to the working state after a sleep: reset the pipes and restart each reader
// whose transfer is no longer in flight (a sleep query that was abandoned leaves
// the readers running). Runs without Lock: the resets wait.
static void ResumeReaders(PDEVICE_OBJECT DeviceObject, PDEVICE_CONTEXT Context) {
    KIRQL oldIrql;

    ResetPipe(DeviceObject, Context->BulkInPipe);
    ResetPipe(DeviceObject, Context->BulkOutPipe);
    ResetPipe(DeviceObject, Context->InterruptInPipe);
    KeAcquireSpinLock(&Context->Lock, &oldIrql);
    BOOLEAN interruptStopped = !Context->InterruptReaderActive;
    BOOLEAN bulkInStopped = !Context->BulkInReaderActive;
    KeReleaseSpinLock(&Context->Lock, oldIrql);
    if (interruptStopped) {
        StartInterruptRead(Context);
    }
    if (bulkInStopped) {
        StartBulkInRead(Context);
    }
}

// Notes the system's sleep for an open port, or resumes the port at the return to
// the working state; for set and query alike, before the request goes anywhere.
static void TrackSystemState(PDEVICE_OBJECT DeviceObject, PDEVICE_CONTEXT Context,
                             SYSTEM_POWER_STATE State) {
    KIRQL oldIrql;
    BOOLEAN resume = FALSE;

    KeAcquireSpinLock(&Context->Lock, &oldIrql);
    if (Context->IsOpen) {
        if (State == PowerSystemWorking && Context->SystemSuspended == 1) {
            Context->SystemSuspended = 0;
            resume = TRUE;
        } else if (State == PowerSystemSleeping3 || State == PowerSystemHibernate) {
            Context->SystemSuspended = 1;
        }
    }
    KeReleaseSpinLock(&Context->Lock, oldIrql);
    if (resume) {
        ResumeReaders(DeviceObject, Context);
    }
}

static NTSTATUS EnterPowerMachine(PDEVICE_CONTEXT Context, PIRP Irp) {
    PPOWER_IRP_CONTEXT machine = (PPOWER_IRP_CONTEXT)ExAllocatePoolWithTag(
        NonPagedPool, sizeof(POWER_IRP_CONTEXT), KORVAX_POOL_TAG);
    if (machine == NULL) {
        PoStartNextPowerIrp(Irp);
        return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    RtlZeroMemory(machine, sizeof(*machine));
    machine->DeviceContext = Context;
    machine->MainIrp = Irp;
    return RunPowerMachine(machine, PowerIrpArrived);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;

    status = AcquireRequestLock(context, Irp);
    if (!NT_SUCCESS(status)) {
        PoStartNextPowerIrp(Irp);
        return CompleteRequestInfo(Irp, status, 0);
    }
    if (stack->MinorFunction != IRP_MN_SET_POWER && stack->MinorFunction != IRP_MN_QUERY_POWER) {
        status = PassPowerIrpDown(context, Irp);
    } else {
        if (stack->Parameters.Power.Type == SystemPowerState) {
            TrackSystemState(DeviceObject, context, stack->Parameters.Power.State.SystemState);
        }
        status = EnterPowerMachine(context, Irp);
    }
    ReleaseRequestLock(context, Irp);
    return status;
}
