// A pass-through WDM filter driver, as Driver Verifier's enhanced I/O verification
// puts into a device stack: one below the function driver (between it and the PDO)
// and one above it. It passes every request down untouched, so that a function
// driver which relies on the PDO being directly below it, or on being the top of
// its stack, shows it.
#pragma once

#include <kx/host.h>

#include <atomic>
#include <string>

namespace sim {

// The filter's device extension. Its first words look nothing like the PDO's (see
// PdoExtension): a function driver that reads the extension of the device below it
// instead of the PDO's finds no pipe handles here.
struct FilterExtension {
    ULONG Signature;
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT LowerDevice;
    PDEVICE_OBJECT Pdo;
    IO_REMOVE_LOCK RemoveLock;
};

// One filter driver: loaded in the constructor, its AddDevice attaching a filter
// device to the top of the stack it is called for, unloaded in the destructor
// (after every stack it joined is removed).
//
// Dispatch, as a filter that changes nothing: every request is passed down with
// IoSkipCurrentIrpStackLocation and IoCallDriver under the remove lock; power
// requests with PoStartNextPowerIrp and PoCallDriver. At IRP_MN_REMOVE_DEVICE the
// filter waits for its outstanding holds, passes the request down, detaches and
// deletes its device. The device copies the buffering and power flags
// (DO_BUFFERED_IO, DO_DIRECT_IO, DO_POWER_PAGABLE), the device type and the
// characteristics of the device it attaches to, and follows the power-pageable
// flag of the device below when a device-usage notification completes.
class FilterDriver {
  public:
    explicit FilterDriver(const std::u16string& name);
    ~FilterDriver();
    FilterDriver(const FilterDriver&) = delete;
    FilterDriver& operator=(const FilterDriver&) = delete;

    PDRIVER_OBJECT Driver() const { return driver_; }
    // Requests the filter's devices have passed down, of any kind.
    static uint64_t PassedDown();

  private:
    PDRIVER_OBJECT driver_ = nullptr;
};

} // namespace sim
