// Internals shared by the power IRP routines and the power manager.
#pragma once

#include "io_internal.h"

#include <kx/power.h>

namespace kx::detail {

// The power action of the system power IRP the power manager has out now
// (PowerActionNone when none is): PoRequestPowerIrp passes it on as ShutdownType.
POWER_ACTION ActiveSystemAction();
void SetActiveSystemAction(POWER_ACTION action);

// The power IRP log: Record returns the entry's identity, Finish sets its status.
uint64_t RecordPowerIrp(const PowerIrpRecord& record);
void FinishPowerIrp(uint64_t id, NTSTATUS status);

// At the end of a power IRP (its sender's completion routine): every device object
// it was sent to with PoCallDriver must have called PoStartNextPowerIrp for it;
// each one that has not is reported and freed for its next power IRP.
void CheckPowerIrpStarted(PIRP irp);

// Boot and shutdown: forgets the per-device power IRP bookkeeping, the log and the
// system state.
void ResetPower();
void ResetPowerIrps();

} // namespace kx::detail
