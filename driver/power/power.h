// Power management, system control and internal device control.
#pragma once

#include <driver/frame/frame.h>

DRIVER_DISPATCH DispatchPower;
DRIVER_DISPATCH DispatchSystemControl;
DRIVER_DISPATCH DispatchInternalDeviceControl;

// Events fed to the power state machine.
typedef enum _POWER_EVENT {
    PowerIrpArrived = 0,
    PowerIrpReturned = 1,
    DeviceIrpFinished = 2,
} POWER_EVENT;

// States of one power request in the machine.
typedef enum _POWER_MACHINE_STATE {
    PowerStateInitial = 0,
    SystemUpForwarded = 1,
    DeviceUpRequested = 2,
    DeviceDownRequested = 3,
    SystemDownForwarded = 4,
    DeviceSetUpForwarded = 5,
    DeviceSetDownForwarded = 6,
    DeviceQueryUpForwarded = 9,
    DeviceQueryDownForwarded = 10,
    DeviceIrpClassified = 11,
    PowerStateFinal = 12,
} POWER_MACHINE_STATE;

// One per power request in the machine, from DispatchPower until it is finished.
typedef struct _POWER_IRP_CONTEXT {
    PDEVICE_CONTEXT DeviceContext;
    PIRP MainIrp;
    ULONG MachineState;
    NTSTATUS LastStatus;
    DEVICE_POWER_STATE RequestedDeviceState;
    UCHAR RequestedMinor;
    // The machine's own remove-lock hold is given back only if it was taken.
    BOOLEAN RemoveLockHeld;
    // What the D0 request that the machine asked for means to a port that slept
    // (PORT_RESUME_*); acted on by a system worker after the request is finished,
    // which then owns and frees the context.
    UCHAR PortResume;
    // The work item of the port resume, allocated with the context for a system
    // set request to the working state (the only one that can ask for it).
    PIO_WORKITEM ResumeItem;
} POWER_IRP_CONTEXT, *PPOWER_IRP_CONTEXT;

#define PORT_RESUME_NONE 0
#define PORT_RESUME_D0   1 // the device is back in D0: reset the pipes, restart the readers
#define PORT_RESUME_LOST 2 // D0 failed or could not be asked for: the device is lost

NTSTATUS PassPowerIrpDown(PDEVICE_CONTEXT DeviceContext, PIRP Irp);
NTSTATUS RunPowerMachine(PPOWER_IRP_CONTEXT Context, POWER_EVENT Event);
IO_COMPLETION_ROUTINE PowerIrpCompletion;
REQUEST_POWER_COMPLETE DevicePowerRequestDone;
IO_WORKITEM_ROUTINE PortResumeWorker;
