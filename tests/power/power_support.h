// What the power tests share: readers of what the modem PDO received, power
// requests written as text ("QUERY S3", "SET D0") for comparing sequences, and
// device power requests sent and waited for.
#pragma once

#include <kx/host.h>
#include <kx/power.h>
#include <sim/bus.h>

#include <string>
#include <vector>

namespace power_test {

// The set and query power requests the PDO received, in order.
std::vector<sim::RecordedIrp> PowerAtPdo(const sim::ModemPdo& pdo);

// "SET S3", "QUERY D0".
std::string Describe(UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);
inline std::string Describe(const sim::RecordedIrp& irp) {
    return Describe(irp.minor, irp.powerType, irp.powerState);
}
inline std::string Describe(const kx::PowerIrpRecord& record) {
    return Describe(record.minor, record.type, record.state);
}
template <typename T> std::vector<std::string> Steps(const std::vector<T>& items) {
    std::vector<std::string> steps;
    for (const T& item : items)
        steps.push_back(Describe(item));
    return steps;
}

// PoRequestPowerIrp from the calling thread, waited for: the status its callback
// saw, or the failure of PoRequestPowerIrp itself.
NTSTATUS RequestDevicePower(PDEVICE_OBJECT pdo, UCHAR minor, DEVICE_POWER_STATE state);

} // namespace power_test
