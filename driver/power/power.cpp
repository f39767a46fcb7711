// IRP_MJ_POWER. Set and query requests run through a table-driven machine that
// forwards each request with a completion routine and, for a system request, asks
// for the matching device request: before forwarding on the way down, after the
// request came back on the way up. A system set request always goes down and ends
// with the lower driver's status: the power manager may not be refused a state
// change, so a device request that fails is the port's own problem. The port
// stops nothing before a low-power state; it notes that the system sleeps, and
// once the device is back in D0 a system worker resets the pipes and restarts
// the readers that stopped (a suspended device cannot answer a pipe reset).
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

// Reports each device-state change to the power manager: before the device leaves
// D0 (or a higher state) and after it is back.
static void SetDevicePowerState(PDEVICE_CONTEXT Context, DEVICE_POWER_STATE State) {
    POWER_STATE state;
    Context->DevicePowerState = State;
    state.DeviceState = State;
    PoSetPowerState(Context->DeviceObject, DevicePowerState, state);
}

// The D0 request the machine asked for has finished (or could not be made): what
// the port does about it once the request is over.
static void NoteDeviceUpResult(PPOWER_IRP_CONTEXT Context, NTSTATUS Status) {
    if (Context->RequestedMinor == IRP_MN_SET_POWER &&
        Context->RequestedDeviceState == PowerDeviceD0) {
        Context->PortResume = NT_SUCCESS(Status) ? PORT_RESUME_D0 : PORT_RESUME_LOST;
    }
}

// An open port whose system sleeps or slept, not yet resumed.
static BOOLEAN PortSlept(PDEVICE_CONTEXT Context) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&Context->Lock, &oldIrql);
    BOOLEAN slept = Context->IsOpen && Context->SystemSuspended;
    KeReleaseSpinLock(&Context->Lock, oldIrql);
    return slept;
}

// Decided while the machine still holds its remove-lock hold, since nothing after
// the release may touch the device: a port resume left to do takes a hold of its
// own for the system worker, which then owns the context. TRUE if it does.
static BOOLEAN TakeResumeHold(PPOWER_IRP_CONTEXT Context) {
    PDEVICE_CONTEXT device = Context->DeviceContext;
    return Context->RemoveLockHeld && Context->ResumeItem != NULL &&
           Context->PortResume != PORT_RESUME_NONE && PortSlept(device) &&
           NT_SUCCESS(
               IoAcquireRemoveLockEx(&device->RemoveLock, Context, "", 1, sizeof(IO_REMOVE_LOCK)));
}

// Ends the machine's work on a context, after its own hold is given back: the
// context goes to the resume worker (whose hold and work item keep the device and
// the driver) or is freed. Touches nothing of the device.
static void ReleaseMachineContext(PPOWER_IRP_CONTEXT Context, BOOLEAN Resume) {
    if (Resume) {
        IoQueueWorkItem(Context->ResumeItem, PortResumeWorker, DelayedWorkQueue, Context);
        return;
    }
    if (Context->ResumeItem != NULL) {
        IoFreeWorkItem(Context->ResumeItem);
    }
    ExFreePoolWithTag(Context, KORVAX_POOL_TAG);
}

static void ForwardPowerIrp(PPOWER_IRP_CONTEXT Context) {
    PIRP irp = Context->MainIrp;
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, PowerIrpCompletion, Context, TRUE, TRUE, TRUE);
    PoCallDriver(Context->DeviceContext->LowerDeviceObject, irp);
}

// PoRequestPowerIrp refused the device request of a system set request that has
// not gone down yet: it goes down all the same (action 11 with the failure).
static BOOLEAN SystemSetGoesDown(PPOWER_IRP_CONTEXT Context, POWER_EVENT Event, UCHAR Minor) {
    return Event == PowerIrpArrived && Minor == IRP_MN_SET_POWER &&
           Context->MachineState == DeviceDownRequested;
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
    BOOLEAN resume = FALSE;

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
            NoteDeviceUpResult(Context, status);
            action = SystemSetGoesDown(Context, Event, minor) ? 11 : 8;
            break;
        }
        case 8:
            resume = TakeResumeHold(Context);
            PoStartNextPowerIrp(irp);
            if (Event == PowerIrpReturned) {
                result = Context->LastStatus;
            } else {
                // A system set request has been down and keeps the lower driver's
                // status; anything else ends with the status that stopped it.
                if (type != SystemPowerState || minor != IRP_MN_SET_POWER) {
                    irp->IoStatus.Status = Context->LastStatus;
                }
                IofCompleteRequest(irp, IO_NO_INCREMENT);
            }
            if (Context->RemoveLockHeld) {
                ReleaseRequestLock(device, irp);
            }
            action = 9;
            break;
        case 9:
            Context->MachineState = PowerStateFinal;
            ReleaseMachineContext(Context, resume);
            return result;
        case 10:
            NoteDeviceUpResult(Context, Context->LastStatus);
            action = 8;
            break;
        case 11:
            if (Event == DeviceIrpFinished) {
                NoteDeviceUpResult(Context, Context->LastStatus);
            }
            // A failed device request refuses a system query; a system set goes
            // down whatever happened to the device.
            if (!NT_SUCCESS(Context->LastStatus) && minor != IRP_MN_SET_POWER) {
                action = 8;
                break;
            }
            Context->MachineState = SystemDownForwarded;
            action = 3;
            break;
        case 12:
            if (NT_SUCCESS(Context->LastStatus) && minor == IRP_MN_SET_POWER) {
                SetDevicePowerState(device, state.DeviceState);
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
                SetDevicePowerState(device, state.DeviceState);
            }
            action = 3;
            break;
        case 17:
            Context->MachineState = DeviceQueryDownForwarded;
            action = 3;
            break;
        default: // 15, 16, 18: the request is finished
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

// The device could not be brought back to D0 for a port that slept: it is lost,
// as when a reader fails, and a waiting request learns of it whatever its mask.
static void DeclarePortLost(PDEVICE_CONTEXT Context) {
    KIRQL oldIrql;
    KIRQL stateIrql;

    KeAcquireSpinLock(&Context->Lock, &oldIrql);
    if (!Context->IsOpen || !Context->SystemSuspended) {
        KeReleaseSpinLock(&Context->Lock, oldIrql);
        return;
    }
    Context->SystemSuspended = 0;
    KeAcquireSpinLock(&Context->StateLock, &stateIrql);
    Context->DeviceLostMark = DEVICE_LOST_MARK;
    KeReleaseSpinLock(&Context->StateLock, stateIrql);
    Context->PendingEvents |= READER_FAILURE_EVENTS;
    KeReleaseSpinLock(&Context->Lock, oldIrql);
    // A lost device's events are not kept for a later wait.
    DeliverPendingEvents(Context, TRUE);
}

// The device is back in D0 after a sleep: reset the pipes (a request to the device
// itself, hence only now), then end the suspension and restart each reader whose
// transfer is no longer in flight. A pipe is reset only with no transfer of the
// port outstanding on it: the stack wants a pipe's transfers ended before it is
// reset ("How to recover from USB pipe errors" (WDK)), and a sleep query that was
// abandoned, or S1 with the transfers held, leaves a reader out. The resets run
// with SystemSuspended still set, so a reader failing meanwhile is not taken for a
// lost device. The restart runs under OpenMutex: a close and a new open in between
// start the readers themselves.
static void ResumePort(PDEVICE_CONTEXT Context) {
    PDEVICE_OBJECT deviceObject = Context->DeviceObject;
    KIRQL oldIrql;

    if (!PortSlept(Context)) {
        return;
    }
    KeAcquireSpinLock(&Context->Lock, &oldIrql);
    BOOLEAN interruptStopped = !Context->InterruptReaderActive;
    BOOLEAN bulkInStopped = !Context->BulkInReaderActive;
    BOOLEAN writeIdle = !Context->WriteBusy;
    KeReleaseSpinLock(&Context->Lock, oldIrql);
    if (bulkInStopped) {
        ResetPipe(deviceObject, Context->BulkInPipe);
    }
    if (writeIdle) {
        ResetPipe(deviceObject, Context->BulkOutPipe);
    }
    if (interruptStopped) {
        ResetPipe(deviceObject, Context->InterruptInPipe);
    }

    // A reader that stopped while the resets ran is restarted as well.
    ExAcquireFastMutex(&Context->OpenMutex);
    KeAcquireSpinLock(&Context->Lock, &oldIrql);
    BOOLEAN resume = Context->IsOpen && Context->SystemSuspended;
    if (resume) {
        Context->SystemSuspended = 0;
    }
    interruptStopped = !Context->InterruptReaderActive;
    bulkInStopped = !Context->BulkInReaderActive;
    KeReleaseSpinLock(&Context->Lock, oldIrql);
    if (resume && interruptStopped) {
        StartInterruptRead(Context);
    }
    if (resume && bulkInStopped) {
        StartBulkInRead(Context);
    }
    if (resume) {
        ResumeWriteEngine(Context);
    }
    ExReleaseFastMutex(&Context->OpenMutex);
}

// PASSIVE_LEVEL, queued once the power request that asked for D0 is finished.
// Owns the machine's context, its work item and the remove-lock hold taken for
// it. The release is its last touch of the device; the work item's reference to
// the device object keeps the driver loaded until the routine has returned.
void NTAPI PortResumeWorker(PDEVICE_OBJECT DeviceObject, PVOID Parameter) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PPOWER_IRP_CONTEXT machine = (PPOWER_IRP_CONTEXT)Parameter;
    PDEVICE_CONTEXT context = machine->DeviceContext;

    if (machine->PortResume == PORT_RESUME_D0) {
        ResumePort(context);
    } else {
        DeclarePortLost(context);
    }
    IoFreeWorkItem(machine->ResumeItem);
    ExFreePoolWithTag(machine, KORVAX_POOL_TAG);
    IoReleaseRemoveLockEx(&context->RemoveLock, machine, sizeof(IO_REMOVE_LOCK));
}

// Notes the system's sleep for an open port, for set and query alike, before the
// request goes anywhere: every sleep state, S1 to S4, takes the device out of D0
// (DeviceStateFor). The return to the working state changes nothing here:
// the port stays suspended until its device is back in D0.
static void TrackSystemState(PDEVICE_CONTEXT Context, SYSTEM_POWER_STATE State) {
    KIRQL oldIrql;

    KeAcquireSpinLock(&Context->Lock, &oldIrql);
    if (Context->IsOpen && State >= PowerSystemSleeping1 && State <= PowerSystemHibernate) {
        Context->SystemSuspended = 1;
    }
    KeReleaseSpinLock(&Context->Lock, oldIrql);
}

// A system set request that cannot enter the machine still goes down; a port
// that slept will not see its device in D0 again and is lost.
static NTSTATUS PassSystemSetDown(PDEVICE_CONTEXT Context, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.Power.State.SystemState == PowerSystemWorking) {
        DeclarePortLost(Context);
    }
    return PassPowerIrpDown(Context, Irp);
}

static BOOLEAN IsSystemSet(PIO_STACK_LOCATION Stack) {
    return Stack->MinorFunction == IRP_MN_SET_POWER &&
           Stack->Parameters.Power.Type == SystemPowerState;
}

static NTSTATUS EnterPowerMachine(PDEVICE_CONTEXT Context, PIRP Irp) {
    PPOWER_IRP_CONTEXT machine = (PPOWER_IRP_CONTEXT)ExAllocatePoolWithTag(
        NonPagedPool, sizeof(POWER_IRP_CONTEXT), KORVAX_POOL_TAG);
    if (machine == NULL) {
        if (IsSystemSet(IoGetCurrentIrpStackLocation(Irp))) {
            return PassSystemSetDown(Context, Irp);
        }
        PoStartNextPowerIrp(Irp);
        return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    RtlZeroMemory(machine, sizeof(*machine));
    machine->DeviceContext = Context;
    machine->MainIrp = Irp;
    // A return to the working state may end in a port resume, which needs a work
    // item. Without one the request goes down as without a context.
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (IsSystemSet(stack) && stack->Parameters.Power.State.SystemState == PowerSystemWorking) {
        machine->ResumeItem = IoAllocateWorkItem(Context->DeviceObject);
        if (machine->ResumeItem == NULL) {
            ExFreePoolWithTag(machine, KORVAX_POOL_TAG);
            return PassSystemSetDown(Context, Irp);
        }
    }
    return RunPowerMachine(machine, PowerIrpArrived);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;

    status = AcquireRequestLock(context, Irp);
    if (!NT_SUCCESS(status)) {
        // Removal has begun; the lower drivers are still attached until it ends.
        if (IsSystemSet(stack)) {
            return PassPowerIrpDown(context, Irp);
        }
        PoStartNextPowerIrp(Irp);
        return CompleteRequestInfo(Irp, status, 0);
    }
    if (stack->MinorFunction != IRP_MN_SET_POWER && stack->MinorFunction != IRP_MN_QUERY_POWER) {
        status = PassPowerIrpDown(context, Irp);
    } else {
        if (stack->Parameters.Power.Type == SystemPowerState) {
            TrackSystemState(context, stack->Parameters.Power.State.SystemState);
        }
        status = EnterPowerMachine(context, Irp);
    }
    ReleaseRequestLock(context, Irp);
    return status;
}
