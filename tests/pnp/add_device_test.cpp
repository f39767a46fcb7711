// AddDevice: the device, its name and interface, the context's first values, and
// the unwinding of every step that can fail, with nothing left behind.
#include <tests/support/pnp_port.h>

namespace {

constexpr ULONG DriverTag = 0x7876724B;        // "Krvx": every allocation of the driver's
constexpr ULONG DeviceObjectTag = 0x69766544;  // pool the platform takes for a device object
constexpr ULONG InterfaceNameTag = 0x66496F49; // "IoIf": the interface's symbolic name

// AddDevice on a modem PDO without PortName; what is left standing goes with a
// REMOVE of its own.
class AddDeviceTest : public korvax_test::PnpPortTest {
  protected:
    sim::ModemPdo* pdo_ = &NewModem(u"");
};

TEST_F(AddDeviceTest, CreatesANamedAttachedSerialPortWithItsFirstValues) {
    PDEVICE_OBJECT fdo = AddOnly(*pdo_);
    ASSERT_EQ(kx::LookupDevice(u"\\Device\\KORVAXSER0"), fdo);
    PDEVICE_CONTEXT context = GetDeviceContext(fdo);

    EXPECT_EQ(fdo->DeviceType, (DEVICE_TYPE)FILE_DEVICE_SERIAL_PORT);
    EXPECT_EQ(fdo->Characteristics, (ULONG)FILE_DEVICE_SECURE_OPEN);
    // The bus cleared DO_POWER_PAGABLE: the port must not set it above.
    EXPECT_EQ(fdo->Flags &
                  (DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_EXCLUSIVE | DO_DEVICE_INITIALIZING),
              (ULONG)(DO_BUFFERED_IO | DO_EXCLUSIVE));
    EXPECT_EQ(kx::AttachedTo(fdo), pdo_->Device());
    // DeviceName: zero-terminated in its own buffer.
    EXPECT_EQ(context->DeviceName.Buffer[context->DeviceName.Length / 2], 0);

    auto interfaces = kx::DeviceInterfaces();
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_EQ(interfaces[0].symbolicName, kx::ToU16(context->InterfaceName));
    EXPECT_FALSE(interfaces[0].enabled) << "enabled only at start";
    EXPECT_EQ(kx::GuidText(interfaces[0].classGuid), u"{3c1a5e72-9b04-4d6f-a8e1-5f27c0b94d13}");

    EXPECT_EQ(context->DevicePowerState, (ULONG)PowerDeviceD0);
    EXPECT_EQ(kx::AnnouncedPowerState(fdo, DevicePowerState).DeviceState, PowerDeviceD0);
    EXPECT_EQ(context->RemoveLock.Common.IoCount, 1);
}

// The port's DO_POWER_PAGABLE follows the device below: on Windows 2000 and XP
// every device object of a stack carries the same power flags, and none sets it
// above a device whose driver cleared it.
TEST_F(AddDeviceTest, ThePortIsPowerPageableExactlyWhenTheDeviceBelowIs) {
    for (bool pagable : {false, true}) {
        sim::PdoOptions options;
        options.powerPagable = pagable;
        PDEVICE_OBJECT fdo = AddOnly(bus_.CreateModemPdo(options));
        EXPECT_EQ((fdo->Flags & DO_POWER_PAGABLE) != 0, pagable);
    }
}

// Every step that can fail is undone, nothing of the device is left, and a number
// once handed out (from IoCreateDevice on, failed or not) is never handed out again,
// nor after the device it named has gone.
TEST_F(AddDeviceTest, EveryFailingStepUnwindsEverythingAndNumbersAreNeverReused) {
    // A device object already deleted, kept in memory by a reference: attaching to
    // it fails as attaching to a stack being torn down does.
    PDEVICE_OBJECT gone = nullptr;
    ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &gone),
              STATUS_SUCCESS);
    ObReferenceObject(gone);
    IoDeleteDevice(gone);

    // Each step's allocation, by its pool tag and which of that tag's it is; no
    // fault (nth 0) for the attachment, whose target is the deleted device.
    struct Step {
        const char* name;
        ULONG tag;
        uint64_t nth;
        PDEVICE_OBJECT target;
    } steps[] = {
        {"temporary name", DriverTag, 1, pdo_->Device()},
        {"device object", DeviceObjectTag, 1, pdo_->Device()},
        {"DeviceName buffer", DriverTag, 2, pdo_->Device()},
        {"interface registration", InterfaceNameTag, 1, pdo_->Device()},
        {"attachment", 0, 0, gone},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        if (step.nth != 0)
            kx::ArmFault({kx::AllocationKind::Pool, step.nth, step.tag, std::nullopt});
        EXPECT_EQ(driver_->DriverExtension->AddDevice(driver_, step.target),
                  STATUS_INSUFFICIENT_RESOURCES);
        kx::DisarmFaults();
        // Nothing of a failed AddDevice may remain: no device, no pool, no interface.
        EXPECT_EQ(driver_->DeviceObject, nullptr);
        EXPECT_EQ(kx::OutstandingPool(DriverTag).allocations, 0u);
        EXPECT_EQ(kx::OutstandingPool(InterfaceNameTag).allocations, 0u);
        EXPECT_EQ(kx::AttachedTo(pdo_->Device()), nullptr);
        EXPECT_EQ(pdo_->Device()->AttachedDevice, nullptr);
        EXPECT_EQ(gone->AttachedDevice, nullptr);
        EXPECT_TRUE(kx::DeviceInterfaces().empty() ||
                    !kx::DeviceInterfaceEnabled(kx::DeviceInterfaces()[0].symbolicName));
    }
    ObDereferenceObject(gone);

    // Four numbers went to the failures past the first allocation.
    for (const char16_t* name : {u"\\Device\\KORVAXSER4", u"\\Device\\KORVAXSER5"}) {
        PDEVICE_OBJECT fdo = AddOnly(*pdo_);
        ASSERT_NE(fdo, nullptr);
        EXPECT_EQ(kx::DeviceName(fdo), name);
        SendPnp(fdo, IRP_MN_REMOVE_DEVICE);
    }
}

} // namespace
