// Ground for Plug and Play tests: the driver loaded, modem PDOs of the simulated
// bus with a PortName in their hardware keys, device stacks that the hosted PnP
// manager drives, and single PnP requests sent by hand (through the port's stack
// down to the bus) where the manager has no sequence for them.
#pragma once

#include <driver/data/data.h>
#include <driver/frame/frame.h>
#include <driver/pnp/pnp.h>
#include <kx/host.h>
#include <kx/namespace.h>
#include <kx/pnp.h>
#include <kx/registry.h>
#include <sim/bus.h>
#include <sim/world.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace korvax_test {

inline const std::u16string SerialCommKey = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

// Waits until the condition holds, on the real clock since it waits for another
// thread and not for kernel time; false when the limit passes first.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

class PnpPortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        NTSTATUS status;
        driver_ = sim::LoadPortDriver(sim::DefaultDriverImage(), u"korvaxser", &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
    }

    void TearDown() override {
        if (driver_ == nullptr)
            return;
        RemoveEverything();
        kx::UnloadDriver(driver_);
        driver_ = nullptr;
    }

    // Whatever a test left standing goes the orderly way: nodes through the
    // manager, stacks built by hand with a REMOVE of their own.
    void RemoveEverything() {
        for (const auto& node : kx::DeviceNodes()) {
            if (node->State() == kx::DeviceNodeState::SurpriseRemoved)
                node->SetOpenHandles(0);
            else
                kx::RemoveDevice(*node);
        }
        while (driver_->DeviceObject != nullptr)
            SendPnp(driver_->DeviceObject, IRP_MN_REMOVE_DEVICE);
        // The I/O manager frees a request it built after it has signalled the
        // waiting driver: let those frees happen before the leak check.
        kx::DrainDispatchQueue();
    }

    // A modem function whose hardware key holds PortName (none when empty).
    sim::ModemPdo& NewModem(std::u16string_view portName = u"COM5") {
        sim::ModemPdo& pdo = bus_.CreateModemPdo();
        if (!portName.empty())
            kx::SetHardwareString(pdo.Device(), u"PortName", portName);
        return pdo;
    }

    std::shared_ptr<kx::DeviceNode> Arrive(sim::ModemPdo& pdo) {
        return kx::ReportDevice(pdo.Device(), driver_);
    }

    // A stack the PnP manager does not know: AddDevice only, the port NotStarted.
    PDEVICE_OBJECT AddOnly(sim::ModemPdo& pdo) {
        EXPECT_EQ(driver_->DriverExtension->AddDevice(driver_, pdo.Device()), STATUS_SUCCESS);
        return Fdo(pdo);
    }

    static PDEVICE_OBJECT Fdo(const sim::ModemPdo& pdo) { return pdo.Device()->AttachedDevice; }
    static PDEVICE_CONTEXT Context(const sim::ModemPdo& pdo) { return GetDeviceContext(Fdo(pdo)); }

    // One PnP request sent to the top of the stack as the PnP manager sends it:
    // status preset to STATUS_NOT_SUPPORTED, waited for at PASSIVE_LEVEL.
    static NTSTATUS SendPnp(PDEVICE_OBJECT device, UCHAR minor,
                            PDEVICE_CAPABILITIES capabilities = nullptr) {
        PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
        PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        irp->IoStatus.Information = 0;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_PNP;
        next->MinorFunction = minor;
        next->Parameters.DeviceCapabilities.Capabilities = capabilities;
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IoSetCompletionRoutine(irp, SendPnpDone, &done, TRUE, TRUE, TRUE);
        IoCallDriver(top, irp);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        NTSTATUS status = irp->IoStatus.Status;
        IoFreeIrp(irp);
        ObDereferenceObject(top);
        return status;
    }

    // The PnP minor codes that reached the bus, in order.
    static std::vector<UCHAR> BusPnpMinors(const sim::ModemPdo& pdo) {
        std::vector<UCHAR> minors;
        for (const sim::RecordedIrp& r : pdo.Records()) {
            if (r.major == IRP_MJ_PNP)
                minors.push_back(r.minor);
        }
        return minors;
    }

    static bool BusSaw(const sim::ModemPdo& pdo, UCHAR minor) {
        std::vector<UCHAR> minors = BusPnpMinors(pdo);
        return std::find(minors.begin(), minors.end(), minor) != minors.end();
    }

    // \DosDevices\<name> as the object manager resolves it.
    static std::optional<std::u16string> LinkTarget(std::u16string_view portName) {
        return kx::ResolveLink(u"\\DosDevices\\" + std::u16string(portName));
    }

    static std::optional<kx::RegistryValue> DeviceMapValue(std::u16string_view deviceName) {
        return kx::GetRegistryValue(SerialCommKey, deviceName);
    }

    // The port's interface as the PnP manager lists it (one per PDO).
    static std::optional<kx::DeviceInterface> InterfaceOf(const sim::ModemPdo& pdo) {
        for (const kx::DeviceInterface& i : kx::DeviceInterfaces()) {
            if (i.pdo == pdo.Device())
                return i;
        }
        return std::nullopt;
    }

    // Nothing of the port's names is visible: no link, no device-map value, no
    // enabled interface.
    void ExpectNoNames(const sim::ModemPdo& pdo, std::u16string_view portName,
                       std::u16string_view deviceName) {
        EXPECT_FALSE(LinkTarget(portName).has_value());
        EXPECT_FALSE(DeviceMapValue(deviceName).has_value());
        auto port = InterfaceOf(pdo);
        EXPECT_TRUE(!port || !port->enabled);
    }

    kx::Kernel kernel_;
    sim::ParentBus bus_;
    PDRIVER_OBJECT driver_ = nullptr;

  private:
    static NTSTATUS NTAPI SendPnpDone(PDEVICE_OBJECT, PIRP, PVOID event) {
        KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
};

// The registry data of a REG_SZ value: the characters, then the zero characters.
inline std::vector<uint8_t> Utf16Bytes(std::u16string_view text, size_t zeros) {
    std::vector<uint8_t> bytes;
    for (char16_t c : text) {
        bytes.push_back(uint8_t(c & 0xFF));
        bytes.push_back(uint8_t(c >> 8));
    }
    bytes.insert(bytes.end(), zeros * 2, 0);
    return bytes;
}

} // namespace korvax_test
