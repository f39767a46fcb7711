// The hosted power manager: system sleep, hibernation and wake as the power manager
// of Windows 2000/XP drives them through the device stacks that have a device node,
// and the record of every power IRP it sent or PoRequestPowerIrp allocated.
//
// Every system power IRP goes to the top of a stack (IoGetAttachedDeviceReference
// of the node's PDO) in an IRP the power manager allocates with the top device's
// StackSize: IRP_MJ_POWER, KernelMode, IoStatus.Status preset to
// STATUS_NOT_SUPPORTED and Information 0, Parameters.Power.Type SystemPowerState,
// .State the system state, .ShutdownType the power action and .SystemContext 0. It
// is sent with PoCallDriver at PASSIVE_LEVEL on the calling thread and waited for
// (a completion routine signals an event and returns
// STATUS_MORE_PROCESSING_REQUIRED); then the IRP is freed. One system transition
// runs at a time; PnP operations on the nodes are not excluded meanwhile.
//
// Sequences (stacks in the order of their PDOs' device instance paths; Windows
// sends to siblings at once, here they go one after the other):
//  sleep        S1, S2, S3 (PowerActionSleep) or S4 (PowerActionHibernate):
//               IRP_MN_QUERY_POWER to every stack; when all succeed,
//               IRP_MN_SET_POWER to every stack (its status is recorded and
//               otherwise ignored: drivers must not fail it). The system then
//               sleeps: the DPCs queued by then have run when SystemSleep returns.
//  refusal      the first failed query ends the queries; IRP_MN_SET_POWER for
//               PowerSystemWorking, with the refused transition's power action,
//               reaffirms the working state to every stack that was queried (the
//               refusing one included), in query order.
//  wake         IRP_MN_SET_POWER for PowerSystemWorking to every stack, in the
//               reverse order (parents before children on Windows),
//               ShutdownType PowerActionSleep (what Windows passes on every wake).
//
// A system power IRP that cannot be allocated is not sent (its record has
// STATUS_INSUFFICIENT_RESOURCES; a query counts as refused), except
// IRP_MN_SET_POWER for PowerSystemWorking, whose allocation is tried again: the
// return to the working state reaches every stack.
//
// PoRequestPowerIrp: the device power IRP goes to the top of the stack of the
// device given, with STATUS_NOT_SUPPORTED preset and, as ShutdownType, the power
// action of the system power IRP outstanding at the time (PowerActionNone when
// none is). Its allocation is attributed to PoRequestPowerIrpSite(), so
//   kx::ArmFault({kx::AllocationKind::Irp, 1, std::nullopt, kx::PoRequestPowerIrpSite()})
// makes the next PoRequestPowerIrp fail with STATUS_INSUFFICIENT_RESOURCES.
//
// PoCallDriver and PoStartNextPowerIrp behave as on Windows 2000/XP: each device
// object takes one system and one device set-or-query power IRP at a time; a
// further one waits in PoCallDriver (which returns STATUS_PENDING and marks the
// target's stack location pending) until the device object calls
// PoStartNextPowerIrp for the one it has, then it is dispatched from a system
// worker thread. A power IRP sent at a raised IRQL to a DO_POWER_PAGABLE device is
// dispatched from a system worker thread too. When a set or query power IRP comes
// back to the power manager (or to PoRequestPowerIrp's completion) while a device
// it was sent to with PoCallDriver has not called PoStartNextPowerIrp for it, the
// verifier reports Rule::PowerIrpNotStarted and the device is freed for the next.
#pragma once

#include <kx/host.h>

#include <cstdint>
#include <vector>

namespace kx {

// One power IRP as it was sent and as it came back.
struct PowerIrpRecord {
    enum class Sender { PowerManager, PoRequestPowerIrp };
    Sender sender = Sender::PowerManager;
    // The stack's PDO (PoRequestPowerIrp: the device object it was given) and the
    // device at the top of its stack, which received the IRP.
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT target = nullptr;
    UCHAR minor = 0;
    POWER_STATE_TYPE type = SystemPowerState;
    POWER_STATE state{};
    POWER_ACTION shutdownType = PowerActionNone;
    // IoStatus.Status as the IRP came back; STATUS_PENDING while it is out;
    // STATUS_INSUFFICIENT_RESOURCES when no IRP could be allocated (nothing was sent).
    NTSTATUS status = STATUS_PENDING;
};

// Puts the system to sleep (PowerSystemSleeping1 to 3) or into hibernation
// (PowerSystemHibernate). Returns STATUS_SUCCESS, the status of the query that was
// refused (the system stays working), STATUS_INVALID_PARAMETER for another state
// or STATUS_INVALID_DEVICE_STATE when the system is not working. PASSIVE_LEVEL.
NTSTATUS SystemSleep(SYSTEM_POWER_STATE state);
// Returns the system to the working state. STATUS_INVALID_DEVICE_STATE when it is
// working already. PASSIVE_LEVEL.
NTSTATUS SystemWake();
SYSTEM_POWER_STATE CurrentSystemPowerState();

// Every power IRP since boot (or since ClearPowerIrps), in the order they were sent.
std::vector<PowerIrpRecord> PowerIrps();
void ClearPowerIrps();

// The call site to which the IRP allocation of PoRequestPowerIrp is attributed.
uintptr_t PoRequestPowerIrpSite();

} // namespace kx
