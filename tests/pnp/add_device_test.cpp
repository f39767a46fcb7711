// AddDevice: the device names and their numbering, the context's first values, and
// the unwinding of every step that can fail, with nothing left behind.
#include <driver/pnp/pnp.h>
#include <kx/host.h>
#include <sim/bus.h>

#include <gtest/gtest.h>

namespace {

constexpr ULONG DeviceObjectTag = 0x69766544;  // pool the platform takes for a device object
constexpr ULONG InterfaceNameTag = 0x66496F49; // "IoIf": the interface's symbolic name

class AddDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        driver_ = kx::LoadDriver(DriverEntry, u"korvaxser", nullptr);
        ASSERT_NE(driver_, nullptr);
        pdo_ = &bus_.CreateModemPdo();
    }

    void TearDown() override {
        while (driver_->DeviceObject != nullptr)
            Delete(driver_->DeviceObject);
        kx::UnloadDriver(driver_);
    }

    // What removal leaves to DetachAndDeleteDevice: the names released first.
    void Delete(PDEVICE_OBJECT fdo) {
        PDEVICE_CONTEXT context = GetDeviceContext(fdo);
        if (context->DeviceName.Buffer != nullptr)
            RtlFreeUnicodeString(&context->DeviceName);
        if (context->InterfaceName.Buffer != nullptr)
            RtlFreeUnicodeString(&context->InterfaceName);
        DetachAndDeleteDevice(fdo);
    }

    void FailPool(ULONG tag, uint64_t nth) {
        kx::ArmFault({kx::AllocationKind::Pool, nth, tag, std::nullopt});
    }

    // Nothing of a failed AddDevice may remain: no device, no pool, no interface.
    void ExpectNothingLeft() {
        EXPECT_EQ(driver_->DeviceObject, nullptr);
        EXPECT_EQ(kx::OutstandingPool(KORVAX_POOL_TAG).allocations, 0u);
        EXPECT_EQ(kx::OutstandingPool(InterfaceNameTag).allocations, 0u);
        EXPECT_EQ(kx::AttachedTo(pdo_->Device()), nullptr);
        EXPECT_EQ(pdo_->Device()->AttachedDevice, nullptr);
    }

    kx::Kernel kernel_;
    sim::ParentBus bus_;
    sim::ModemPdo* pdo_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
};

TEST_F(AddDeviceTest, CreatesANamedAttachedSerialPortWithItsFirstValues) {
    ASSERT_EQ(AddDevice(driver_, pdo_->Device()), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = kx::LookupDevice(u"\\Device\\KORVAXSER0");
    ASSERT_NE(fdo, nullptr);
    PDEVICE_CONTEXT context = GetDeviceContext(fdo);

    EXPECT_EQ(fdo->DeviceType, (DEVICE_TYPE)FILE_DEVICE_SERIAL_PORT);
    EXPECT_EQ(fdo->Characteristics, (ULONG)FILE_DEVICE_SECURE_OPEN);
    EXPECT_EQ(fdo->Flags &
                  (DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_EXCLUSIVE | DO_DEVICE_INITIALIZING),
              (ULONG)(DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_EXCLUSIVE));
    EXPECT_EQ(context->DeviceObject, fdo);
    EXPECT_EQ(context->PhysicalDeviceObject, pdo_->Device());
    EXPECT_EQ(context->LowerDeviceObject, pdo_->Device());
    EXPECT_EQ(kx::AttachedTo(fdo), pdo_->Device());

    // DeviceName: exactly the name, zero-terminated in its own buffer.
    EXPECT_EQ(kx::ToU16(context->DeviceName), u"\\Device\\KORVAXSER0");
    EXPECT_EQ(context->DeviceName.MaximumLength, context->DeviceName.Length);
    EXPECT_EQ(context->DeviceName.Buffer[context->DeviceName.Length / 2], 0);

    auto interfaces = kx::DeviceInterfaces();
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_EQ(interfaces[0].pdo, pdo_->Device());
    EXPECT_EQ(interfaces[0].symbolicName, kx::ToU16(context->InterfaceName));
    EXPECT_FALSE(interfaces[0].enabled) << "enabled only at start";
    EXPECT_EQ(kx::GuidText(interfaces[0].classGuid), u"{3c1a5e72-9b04-4d6f-a8e1-5f27c0b94d13}");

    EXPECT_EQ(context->PnpState, (ULONG)NotStarted);
    EXPECT_EQ(context->DevicePowerState, (ULONG)PowerDeviceD0);
    EXPECT_EQ(context->SystemPowerState, (ULONG)PowerSystemWorking);
    EXPECT_EQ(kx::AnnouncedPowerState(fdo, DevicePowerState).DeviceState, PowerDeviceD0);
    EXPECT_EQ(context->ShortIntervalAmount.QuadPart, -1);
    EXPECT_EQ(context->LongIntervalAmount.QuadPart, -10000000);
    EXPECT_EQ(context->CutOverAmount.QuadPart, 200000000);
    EXPECT_EQ(context->RemoveLock.Common.IoCount, 1);
    EXPECT_TRUE(IsListEmpty(&context->ReadIrpQueue) && IsListEmpty(&context->WaitIrpQueue) &&
                IsListEmpty(&context->WriteIrpQueue));
    // Left for start and open to set.
    EXPECT_EQ(context->BulkInPipe, nullptr);
    EXPECT_EQ(context->PendingTransferCount, 0);
    EXPECT_EQ(context->SystemSuspended, 0);
    EXPECT_EQ(context->BaudRate, 0u);
    EXPECT_EQ(context->DeviceCapabilities.Version, 0);
}

TEST_F(AddDeviceTest, NumbersAreNeverReusedAcrossFailuresAndRemovals) {
    ASSERT_EQ(AddDevice(driver_, pdo_->Device()), STATUS_SUCCESS); // 0
    Delete(driver_->DeviceObject);

    FailPool(DeviceObjectTag, 1); // IoCreateDevice fails: number 1 is used up
    EXPECT_EQ(AddDevice(driver_, pdo_->Device()), STATUS_INSUFFICIENT_RESOURCES);
    FailPool(KORVAX_POOL_TAG, 1); // the temporary name fails: no number is taken
    EXPECT_EQ(AddDevice(driver_, pdo_->Device()), STATUS_INSUFFICIENT_RESOURCES);

    ASSERT_EQ(AddDevice(driver_, pdo_->Device()), STATUS_SUCCESS);
    EXPECT_NE(kx::LookupDevice(u"\\Device\\KORVAXSER2"), nullptr);
    EXPECT_EQ(kx::LookupDevice(u"\\Device\\KORVAXSER1"), nullptr);
    EXPECT_EQ(NextDeviceNumber, 3u);
}

TEST_F(AddDeviceTest, EveryFailingStepUnwindsEverything) {
    struct Step {
        const char* name;
        ULONG tag;
        uint64_t nth;
        NTSTATUS expected;
    } steps[] = {
        {"temporary name", KORVAX_POOL_TAG, 1, STATUS_INSUFFICIENT_RESOURCES},
        {"device object", DeviceObjectTag, 1, STATUS_INSUFFICIENT_RESOURCES},
        {"DeviceName buffer", KORVAX_POOL_TAG, 2, STATUS_INSUFFICIENT_RESOURCES},
        {"interface registration", InterfaceNameTag, 1, STATUS_INSUFFICIENT_RESOURCES},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        FailPool(step.tag, step.nth);
        EXPECT_EQ(AddDevice(driver_, pdo_->Device()), step.expected);
        kx::DisarmFaults();
        ExpectNothingLeft();
        EXPECT_TRUE(kx::DeviceInterfaces().empty() ||
                    !kx::DeviceInterfaceEnabled(kx::DeviceInterfaces()[0].symbolicName));
    }
    // The driver is still good for the next device.
    EXPECT_EQ(AddDevice(driver_, pdo_->Device()), STATUS_SUCCESS);
}

} // namespace
