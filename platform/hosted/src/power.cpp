// The power manager's record of each device's power state, as its driver
// announces it. The power IRP routines belong with the PnP and power manager.
#include "io_internal.h"

namespace kx {

namespace {

size_t Index(POWER_STATE_TYPE type) {
    return type == SystemPowerState ? 0 : 1;
}

} // namespace

POWER_STATE AnnouncedPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type) {
    std::lock_guard<std::mutex> guard(IoMutex());
    return device->DeviceObjectExtension->announcedPower[Index(type)];
}

} // namespace kx

using namespace kx;
using namespace kx::detail;

extern "C" {

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                  POWER_STATE State) {
    // D0 may be announced at DISPATCH_LEVEL (a power-up completes in a completion
    // routine); any other state at APC_LEVEL or below ("PoSetPowerState" (WDK)).
    bool d0 = Type == DevicePowerState && State.DeviceState == PowerDeviceD0;
    RequireIrqlAtMost(d0 ? DISPATCH_LEVEL : APC_LEVEL, "PoSetPowerState");
    std::lock_guard<std::mutex> guard(IoMutex());
    POWER_STATE& announced = DeviceObject->DeviceObjectExtension->announcedPower[Index(Type)];
    POWER_STATE previous = announced;
    announced = State;
    return previous;
}

} // extern "C"
