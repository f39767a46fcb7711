// What the power tests share: a function driver that passes power requests down as
// a filter does (PoStartNextPowerIrp, skip, PoCallDriver) and records them, with
// per-stack misbehaviour; and readers of what the modem PDO and the power manager
// recorded.
#pragma once

#include <kx/host.h>
#include <kx/power.h>
#include <sim/bus.h>

#include <map>
#include <mutex>
#include <vector>

namespace power_test {

// One power request as the passing driver received it.
struct SeenPower {
    PDEVICE_OBJECT fdo = nullptr;
    UCHAR minor = 0;
    POWER_STATE_TYPE type = SystemPowerState;
    POWER_STATE state{};
    POWER_ACTION shutdownType = PowerActionNone;
    KIRQL irql = PASSIVE_LEVEL;
    NTSTATUS statusOnEntry = 0;
    CCHAR stackCount = 0;
    CCHAR deviceStackSize = 0;
};

struct StackBehaviour {
    // A failure status: system queries are refused with it.
    NTSTATUS refuseSystemQuery = STATUS_SUCCESS;
    // Set and query requests go down without PoStartNextPowerIrp.
    bool forgetStartNext = false;
};

// One FDO per PDO it is given by the PnP manager. Plug and Play requests go down
// untouched (the FDO goes at IRP_MN_REMOVE_DEVICE); power requests are recorded and
// passed down, or refused as the stack's behaviour says.
class PassingDriver {
  public:
    PassingDriver();
    ~PassingDriver();
    PassingDriver(const PassingDriver&) = delete;
    PassingDriver& operator=(const PassingDriver&) = delete;

    PDRIVER_OBJECT Driver() const { return driver_; }
    void SetBehaviour(PDEVICE_OBJECT pdo, const StackBehaviour& behaviour);
    std::vector<SeenPower> Seen() const;
    PDEVICE_OBJECT FdoOver(PDEVICE_OBJECT pdo) const;

    // Driver callbacks.
    NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
    NTSTATUS DispatchPnp(PDEVICE_OBJECT fdo, PIRP irp);
    NTSTATUS DispatchPower(PDEVICE_OBJECT fdo, PIRP irp);

  private:
    PDRIVER_OBJECT driver_ = nullptr;
    mutable std::mutex mutex_;
    std::map<PDEVICE_OBJECT, StackBehaviour> behaviours_; // by PDO
    std::map<PDEVICE_OBJECT, PDEVICE_OBJECT> fdos_;       // PDO -> FDO
    std::vector<SeenPower> seen_;
};

// The set and query power requests the PDO received, in order.
std::vector<sim::RecordedIrp> PowerAtPdo(const sim::ModemPdo& pdo);
// The URB submissions the PDO received, in order.
std::vector<sim::RecordedIrp> UrbsAtPdo(const sim::ModemPdo& pdo);

// A compact form for comparing sequences: minor, type and state.
struct PowerStep {
    UCHAR minor;
    POWER_STATE_TYPE type;
    ULONG state;
    bool operator==(const PowerStep& other) const {
        return minor == other.minor && type == other.type && state == other.state;
    }
};
std::ostream& operator<<(std::ostream& out, const PowerStep& step);
PowerStep Step(const sim::RecordedIrp& irp);
PowerStep Step(const kx::PowerIrpRecord& record);
PowerStep Step(const SeenPower& seen);
template <typename T> std::vector<PowerStep> Steps(const std::vector<T>& items) {
    std::vector<PowerStep> steps;
    for (const T& item : items)
        steps.push_back(Step(item));
    return steps;
}

inline PowerStep SystemQuery(SYSTEM_POWER_STATE state) {
    return {IRP_MN_QUERY_POWER, SystemPowerState, static_cast<ULONG>(state)};
}
inline PowerStep SystemSet(SYSTEM_POWER_STATE state) {
    return {IRP_MN_SET_POWER, SystemPowerState, static_cast<ULONG>(state)};
}
inline PowerStep DeviceQuery(DEVICE_POWER_STATE state) {
    return {IRP_MN_QUERY_POWER, DevicePowerState, static_cast<ULONG>(state)};
}
inline PowerStep DeviceSet(DEVICE_POWER_STATE state) {
    return {IRP_MN_SET_POWER, DevicePowerState, static_cast<ULONG>(state)};
}

// PoRequestPowerIrp from the calling thread, waited for: the status its callback
// saw, or the failure of PoRequestPowerIrp itself.
NTSTATUS RequestDevicePower(PDEVICE_OBJECT pdo, UCHAR minor, DEVICE_POWER_STATE state);

} // namespace power_test
