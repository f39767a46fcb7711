// The simulated world a test or the simulator stands in: a hosted kernel, the port
// driver loaded as the system loads it, the parent bus, and modems plugged in and
// pulled out under their port names. Applications reach the ports through the
// serial API (serial_api.h) by the names the world gives them (\\.\COM5).
//
//   sim::World world;                          // kernel (manual clock), driver, bus
//   sim::PluggedModem& modem = world.Plug();   // COM5, with the modem model behind it
//   HANDLE port = win32::CreateFileA(modem.Path().c_str(), ...);
//   ...
//   world.Unplug(modem);                       // surprise removal
//
// At teardown the world does what the system does when the application ends and
// the machine shuts down: the handles the application left open are closed, every
// device still present is removed, the PDOs go, the driver is unloaded (which
// runs the verifier's leak checks) and the kernel shuts down.
#pragma once

#include "bus.h"
#include "filter.h"
#include "modem.h"
#include "usb.h"

#include <kx/host.h>
#include <kx/pnp.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// The driver image a world loads unless its options say otherwise: empty (the
// linked-in port driver) until a program sets it; the test suites of the 32-bit
// build set the packaged korvaxser.sys.
const std::string& DefaultDriverImage();
void SetDefaultDriverImage(std::string path);

// Loads the port driver as a world does: the image at imagePath as the system
// loads a driver, or the linked-in DriverEntry when imagePath is empty.
PDRIVER_OBJECT LoadPortDriver(const std::string& imagePath, std::u16string_view name,
                              NTSTATUS* status, std::string* error = nullptr);

// Whether worlds attach the two pass-through filter drivers unless their options
// say otherwise: false until a program sets it (the suites' main does, given
// --filters or KORVAX_TEST_FILTERS=1).
bool DefaultFilters();
void SetDefaultFilters(bool filters);

struct WorldOptions {
    // Boot a kernel of the world's own; false when the caller has booted one.
    bool bootKernel = true;
    kx::KernelOptions kernel;
    // The function driver's entry point; null for the port driver's DriverEntry.
    PDRIVER_INITIALIZE driverEntry = nullptr;
    // Without driverEntry: the port driver's image file (korvaxser.sys), loaded
    // as the system loads a driver, instead of the linked-in DriverEntry.
    std::string driverImage = DefaultDriverImage();
    std::u16string driverName = u"korvaxser";
    // Every device stack also holds a pass-through filter between the function
    // driver and the PDO (lower filter) and one above the function driver (upper
    // filter), as Driver Verifier's enhanced I/O verification inserts them
    // (sim/filter.h).
    bool filters = DefaultFilters();
};

struct PlugOptions {
    // Written as PortName into the device's hardware key before it arrives.
    std::u16string portName = u"COM5";
    PdoOptions pdo;
    // The modem model behind the PDO is made with these options...
    ModemOptions modem;
    // ...unless the test brings a device of its own, which is attached instead.
    std::shared_ptr<UsbFunction> function;
    // The device instance path; empty for the one the kernel gives.
    std::u16string instancePath;
};

// One modem function on the bus, from Connect until the world goes.
class PluggedModem {
  public:
    ModemPdo& Pdo() const { return *pdo_; }
    // The modem model; null when the test attached a device of its own.
    Modem* Model() const { return model_.get(); }
    // The test's own device, if it brought one.
    const std::shared_ptr<UsbFunction>& Function() const { return function_; }
    // The PnP manager's node; null until the device has arrived.
    const std::shared_ptr<kx::DeviceNode>& Node() const { return node_; }
    const std::u16string& PortName() const { return portName_; }
    // The name an application opens: \\.\COM5 (narrow and wide).
    std::string Path() const;
    std::u16string PathW() const;
    // The function driver's device in the PDO's stack (filters may sit below and
    // above it); null before arrival and after removal.
    PDEVICE_OBJECT FunctionDevice() const;
    // The top of the PDO's stack, where the I/O manager sends requests: the
    // function device, or the upper filter above it; null without a stack.
    PDEVICE_OBJECT TopDevice() const;
    // Pulled out (Unplug) / IRP_MN_REMOVE_DEVICE sent.
    bool Unplugged() const { return pdo_->Unplugged(); }
    bool Removed() const;

  private:
    friend class World;
    ModemPdo* pdo_ = nullptr;
    PDRIVER_OBJECT functionDriver_ = nullptr;
    std::unique_ptr<Modem> model_;
    std::shared_ptr<UsbFunction> function_;
    std::shared_ptr<kx::DeviceNode> node_;
    std::u16string portName_;
};

class World {
  public:
    explicit World(WorldOptions options = {});
    ~World();
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    // The function driver; null when its entry failed (LoadStatus says why).
    PDRIVER_OBJECT Driver() const { return driver_; }
    NTSTATUS LoadStatus() const { return loadStatus_; }
    // Why an image could not be loaded (the file, its format, a missing import).
    const std::string& LoadError() const { return loadError_; }
    ParentBus& Bus() { return *bus_; }

    // Connect and Arrive in one.
    PluggedModem& Plug(PlugOptions options = {});
    // The modem function appears on the bus: its PDO, its PortName and the device
    // behind it, not yet known to the PnP manager.
    PluggedModem& Connect(PlugOptions options = {});
    // The bus reports the device: AddDevice and IRP_MN_START_DEVICE, on this thread.
    // Returns the status of the start (or of AddDevice when it failed).
    NTSTATUS Arrive(PluggedModem& modem);
    // Arrival with the start held in the PDO: IRP_MN_START_DEVICE is kept pending
    // by the bus while `whileHeld` runs on this thread (the function device exists
    // and is not started), then the bus lets it succeed. Needs a function driver
    // that passes the start down.
    NTSTATUS ArriveWithStartHeld(PluggedModem& modem, const std::function<void()>& whileHeld);
    // Surprise removal: the device is pulled out (every transfer fails from now
    // on), then IRP_MN_SURPRISE_REMOVAL; IRP_MN_REMOVE_DEVICE follows when the last
    // handle closes. Returns the status of IRP_MN_SURPRISE_REMOVAL.
    NTSTATUS Unplug(PluggedModem& modem);
    // Orderly removal: the refusal of IRP_MN_QUERY_REMOVE_DEVICE (the device stays)
    // or the status of IRP_MN_REMOVE_DEVICE.
    NTSTATUS Remove(PluggedModem& modem);
    // Waits until no work item or DPC is queued or running (a close deferred to a
    // worker, a removal it started, completions in flight).
    void Settle();

    const std::vector<std::unique_ptr<PluggedModem>>& Modems() const { return modems_; }

  private:
    void TearDown();

    std::optional<kx::Kernel> kernel_;
    std::optional<ParentBus> bus_;
    std::optional<FilterDriver> lowerFilter_;
    std::optional<FilterDriver> upperFilter_;
    PDRIVER_OBJECT driver_ = nullptr;
    NTSTATUS loadStatus_ = STATUS_PENDING;
    std::string loadError_;
    std::vector<std::unique_ptr<PluggedModem>> modems_;
};

} // namespace sim
