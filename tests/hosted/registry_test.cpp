// The registry as a driver reaches it: the hardware key of its device node, value
// information in the platform's exact layouts with the platform's status codes for
// short buffers, the device map written and cleared through the run-time library,
// handles that must be closed, and injected failures.
#include "recording_driver.h"

#include <kx/pnp.h>
#include <kx/registry.h>
#include <sim/bus.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

constexpr char16_t SerialComm[] = u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

UNICODE_STRING Counted(const char16_t* text) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

std::u16string Chars(const void* p, size_t bytes) {
    return std::u16string(static_cast<const char16_t*>(p), bytes / 2);
}

TEST(RegistryLayout, StructuresHaveThePlatformsOffsets) {
    EXPECT_EQ(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, DataOffset), 8);
    EXPECT_EQ(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, NameLength), 16);
    EXPECT_EQ(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name), 20);
    EXPECT_EQ(sizeof(KEY_VALUE_FULL_INFORMATION), 24u);
    EXPECT_EQ(FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name), 12);
    EXPECT_EQ(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data), 12);
    EXPECT_EQ(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, Data), 8);
}

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kx::SetHardwareString(pdo_.Device(), u"PortName", u"COM5");
        node_ = kx::ReportDevice(pdo_.Device(), driver_.Driver());
        ASSERT_TRUE(node_ && node_->Started());
    }

    void TearDown() override {
        if (node_)
            kx::RemoveDevice(*node_);
    }

    HANDLE OpenHardwareKey() {
        HANDLE key = nullptr;
        EXPECT_EQ(IoOpenDeviceRegistryKey(pdo_.Device(), PLUGPLAY_REGKEY_DEVICE,
                                          STANDARD_RIGHTS_READ, &key),
                  STATUS_SUCCESS);
        return key;
    }

    // Queries into a buffer pre-filled with 0xCC; *length the bytes offered.
    NTSTATUS Query(const char16_t* name, KEY_VALUE_INFORMATION_CLASS infoClass, ULONG length,
                   ULONG* result) {
        std::memset(buffer_, 0xCC, sizeof buffer_);
        HANDLE key = OpenHardwareKey();
        UNICODE_STRING valueName = Counted(name);
        NTSTATUS status = ZwQueryValueKey(key, &valueName, infoClass, buffer_, length, result);
        EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
        return status;
    }

    bool Untouched(size_t from) const {
        for (size_t i = from; i < sizeof buffer_; ++i) {
            if (buffer_[i] != 0xCC)
                return false;
        }
        return true;
    }

    const KEY_VALUE_FULL_INFORMATION& Full() const {
        return *reinterpret_cast<const KEY_VALUE_FULL_INFORMATION*>(buffer_);
    }

    kx::Kernel kernel_;
    sim::ParentBus bus_;
    sim::ModemPdo& pdo_ = bus_.CreateModemPdo();
    test::RecordingDriver driver_;
    std::shared_ptr<kx::DeviceNode> node_;
    alignas(8) UCHAR buffer_[512];
};

TEST_F(RegistryTest, FullInformationPlacesTheDataAfterTheNameOnAFourByteBoundary) {
    ULONG result = 0;
    ASSERT_EQ(Query(u"PortName", KeyValueFullInformation, sizeof buffer_, &result), STATUS_SUCCESS);
    // 20 fixed bytes, 16 of name, data at 36: "COM5" and its terminator, 10 bytes.
    EXPECT_EQ(result, 46u);
    EXPECT_EQ(Full().TitleIndex, 0u);
    EXPECT_EQ(Full().Type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(Full().DataOffset, 36u);
    EXPECT_EQ(Full().DataLength, 10u);
    EXPECT_EQ(Full().NameLength, 16u);
    EXPECT_EQ(Chars(Full().Name, 16), u"PortName");
    EXPECT_EQ(Chars(buffer_ + 36, 10), std::u16string(u"COM5\0", 5));
    EXPECT_TRUE(Untouched(46));

    // A name of odd character count: 20 + 10 = 30, the data goes to 32.
    kx::SetHardwareValue(pdo_.Device(), u"Port7", REG_DWORD, kx::RegistryDword(0x11223344));
    ASSERT_EQ(Query(u"Port7", KeyValueFullInformation, sizeof buffer_, &result), STATUS_SUCCESS);
    EXPECT_EQ(Full().DataOffset, 32u);
    EXPECT_EQ(result, 36u);
    ULONG dword;
    std::memcpy(&dword, buffer_ + 32, 4);
    EXPECT_EQ(dword, 0x11223344u);
    EXPECT_EQ(buffer_[30], 0xCC); // the alignment gap is not written
}

TEST_F(RegistryTest, FullInformationStatusCodesFollowTheBufferSize) {
    ULONG result = 0xDEAD;
    EXPECT_EQ(Query(u"NoSuchValue", KeyValueFullInformation, sizeof buffer_, &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(result, 0xDEADu);

    // Not even the fixed part: nothing written, the size needed reported.
    EXPECT_EQ(Query(u"PortName", KeyValueFullInformation, 19, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, 46u);
    EXPECT_TRUE(Untouched(0));

    // The fixed part fits: it is filled in, the rest is missing.
    EXPECT_EQ(Query(u"PortName", KeyValueFullInformation, 20, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, 46u);
    EXPECT_EQ(Full().Type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(Full().DataLength, 10u);
    EXPECT_EQ(Full().DataOffset, 36u);
    EXPECT_TRUE(Untouched(20));

    // One byte short: all but the last data byte.
    EXPECT_EQ(Query(u"PortName", KeyValueFullInformation, 45, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Chars(Full().Name, 16), u"PortName");
    EXPECT_EQ(Chars(buffer_ + 36, 8), u"COM5");
    EXPECT_TRUE(Untouched(45));

    EXPECT_EQ(Query(u"PortName", KeyValueFullInformation, 46, &result), STATUS_SUCCESS);
}

TEST_F(RegistryTest, ValueNamesCompareWithoutCase) {
    ULONG result;
    ASSERT_EQ(Query(u"PORTNAME", KeyValueFullInformation, sizeof buffer_, &result), STATUS_SUCCESS);
    // The name comes back as it was created.
    EXPECT_EQ(Chars(Full().Name, Full().NameLength), u"PortName");
}

TEST_F(RegistryTest, BasicAndPartialInformationLayouts) {
    ULONG result;
    ASSERT_EQ(Query(u"PortName", KeyValueBasicInformation, sizeof buffer_, &result),
              STATUS_SUCCESS);
    auto& basic = *reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer_);
    EXPECT_EQ(result, 28u);
    EXPECT_EQ(basic.Type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(basic.NameLength, 16u);
    EXPECT_EQ(Chars(basic.Name, 16), u"PortName");
    EXPECT_EQ(Query(u"PortName", KeyValueBasicInformation, 11, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Query(u"PortName", KeyValueBasicInformation, 12, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, 28u);

    ASSERT_EQ(Query(u"PortName", KeyValuePartialInformation, sizeof buffer_, &result),
              STATUS_SUCCESS);
    auto& partial = *reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer_);
    EXPECT_EQ(result, 22u);
    EXPECT_EQ(partial.Type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(partial.DataLength, 10u);
    EXPECT_EQ(Chars(partial.Data, 8), u"COM5");
    EXPECT_EQ(Query(u"PortName", KeyValuePartialInformation, 11, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Query(u"PortName", KeyValuePartialInformation, 21, &result), STATUS_BUFFER_OVERFLOW);
}

TEST_F(RegistryTest, SixtyFourBitAlignedClasses) {
    ULONG result;
    ASSERT_EQ(Query(u"PortName", KeyValueFullInformationAlign64, sizeof buffer_, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(Full().DataOffset, 40u);
    EXPECT_EQ(result, 50u);
    ASSERT_EQ(Query(u"PortName", KeyValuePartialInformationAlign64, sizeof buffer_, &result),
              STATUS_SUCCESS);
    auto& partial = *reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION_ALIGN64*>(buffer_);
    EXPECT_EQ(result, 18u);
    EXPECT_EQ(partial.DataLength, 10u);
    EXPECT_EQ(Chars(partial.Data, 8), u"COM5");
}

TEST_F(RegistryTest, AValueWithoutDataHasNoDataOffset) {
    kx::SetHardwareValue(pdo_.Device(), u"Empty", REG_BINARY, {});
    ULONG result;
    ASSERT_EQ(Query(u"Empty", KeyValueFullInformation, sizeof buffer_, &result), STATUS_SUCCESS);
    EXPECT_EQ(result, 30u);
    EXPECT_EQ(Full().DataOffset, 0xFFFFFFFFu);
    EXPECT_EQ(Full().DataLength, 0u);
}

TEST_F(RegistryTest, AnUnknownInformationClassIsRefused) {
    ULONG result;
    EXPECT_EQ(
        Query(u"PortName", static_cast<KEY_VALUE_INFORMATION_CLASS>(7), sizeof buffer_, &result),
        STATUS_INVALID_PARAMETER);
}

TEST_F(RegistryTest, ValuesEnumerateInCreationOrder) {
    kx::SetHardwareValue(pdo_.Device(), u"Second", REG_DWORD, kx::RegistryDword(2));
    HANDLE key = OpenHardwareKey();
    ULONG result;
    ASSERT_EQ(
        ZwEnumerateValueKey(key, 0, KeyValueBasicInformation, buffer_, sizeof buffer_, &result),
        STATUS_SUCCESS);
    auto& basic = *reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer_);
    EXPECT_EQ(Chars(basic.Name, basic.NameLength), u"PortName");
    ASSERT_EQ(
        ZwEnumerateValueKey(key, 1, KeyValueBasicInformation, buffer_, sizeof buffer_, &result),
        STATUS_SUCCESS);
    EXPECT_EQ(Chars(basic.Name, basic.NameLength), u"Second");
    EXPECT_EQ(
        ZwEnumerateValueKey(key, 2, KeyValueBasicInformation, buffer_, sizeof buffer_, &result),
        STATUS_NO_MORE_ENTRIES);
    ZwClose(key);
}

TEST_F(RegistryTest, ADriverWritesAndDeletesThroughItsHandle) {
    HANDLE key = OpenHardwareKey();
    UNICODE_STRING name = Counted(u"Baud");
    ULONG baud = 115200;
    ASSERT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &baud, sizeof baud), STATUS_SUCCESS);
    auto value = kx::GetHardwareValue(pdo_.Device(), u"baud");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, static_cast<ULONG>(REG_DWORD));
    EXPECT_EQ(value->data, kx::RegistryDword(115200));
    EXPECT_EQ(ZwDeleteValueKey(key, &name), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(key, &name), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(kx::GetHardwareValue(pdo_.Device(), u"Baud").has_value());
    ZwClose(key);
}

TEST_F(RegistryTest, OnlyAPhysicalDeviceObjectOfAKnownNodeHasKeys) {
    HANDLE key = nullptr;
    EXPECT_EQ(IoOpenDeviceRegistryKey(driver_.Fdo(), PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
              STATUS_INVALID_DEVICE_REQUEST);
    sim::ModemPdo& unreported = bus_.CreateModemPdo();
    EXPECT_EQ(IoOpenDeviceRegistryKey(unreported.Device(), PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo_.Device(), 0, KEY_READ, &key), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo_.Device(), PLUGPLAY_REGKEY_DEVICE | 8, KEY_READ, &key),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(kx::OpenKernelHandles(), 0u);

    ASSERT_EQ(kx::RemoveDevice(*node_), STATUS_SUCCESS);
    node_.reset();
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo_.Device(), PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
              STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(RegistryTest, TheSoftwareKeyIsNumberedUnderThePortsClass) {
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo_.Device(), PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key),
              STATUS_SUCCESS);
    UNICODE_STRING name = Counted(u"Setting");
    ULONG one = 1;
    ASSERT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &one, sizeof one), STATUS_SUCCESS);
    ZwClose(key);
    const std::u16string classKey = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control"
                                    u"\\Class\\{4d36e978-e325-11ce-bfc1-08002be10318}\\0000";
    auto values = kx::RegistryValues(classKey);
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].name, u"Setting");
    // Not the hardware key.
    EXPECT_FALSE(kx::GetHardwareValue(pdo_.Device(), u"Setting").has_value());
}

TEST_F(RegistryTest, OpeningAKeyAbovePassiveLevelIsCaught) {
    kx::VerifierCapture capture;
    HANDLE key = nullptr;
    kx::RunAtIrql(DISPATCH_LEVEL, [&] {
        IoOpenDeviceRegistryKey(pdo_.Device(), PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
    });
    EXPECT_EQ(capture.Count(kx::Rule::IrqlTooHigh), 1u);
    if (key)
        ZwClose(key);
}

TEST_F(RegistryTest, AClosedHandleIsNoLongerAHandle) {
    HANDLE key = OpenHardwareKey();
    EXPECT_EQ(kx::OpenKernelHandles(), 1u);
    EXPECT_EQ(kx::OpenKernelHandles(driver_.Driver()), 0u); // opened by the test, not the driver
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(kx::OpenKernelHandles(), 0u);
    kx::VerifierCapture capture;
    EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE);
    UNICODE_STRING name = Counted(u"PortName");
    ULONG result;
    EXPECT_EQ(
        ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer_, sizeof buffer_, &result),
        STATUS_INVALID_HANDLE);
    EXPECT_EQ(capture.Count(kx::Rule::InvalidHandle), 2u);
}

TEST_F(RegistryTest, AnInjectedQueryFailureHitsOnlyTheNamedValue) {
    kx::SetHardwareValue(pdo_.Device(), u"Other", REG_DWORD, kx::RegistryDword(1));
    kx::ArmObjectFault(
        {kx::ObjectOperation::QueryValue, 1, STATUS_INSUFFICIENT_RESOURCES, u"portname"});
    ULONG result;
    EXPECT_EQ(Query(u"Other", KeyValueFullInformation, sizeof buffer_, &result), STATUS_SUCCESS);
    EXPECT_EQ(Query(u"PortName", KeyValueFullInformation, sizeof buffer_, &result),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Query(u"PortName", KeyValueFullInformation, sizeof buffer_, &result), STATUS_SUCCESS);
}

TEST_F(RegistryTest, AnInjectedOpenFailure) {
    kx::ArmObjectFault({kx::ObjectOperation::OpenDeviceKey, 2, STATUS_ACCESS_DENIED, u""});
    HANDLE key;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo_.Device(), PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
              STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo_.Device(), PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(kx::OpenKernelHandles(), 0u);
}

// ---- Device map -----------------------------------------------------------------------------

class DeviceMapTest : public ::testing::Test {
  protected:
    static NTSTATUS Write(const char16_t* path, const char16_t* name, const char16_t* port) {
        std::u16string data(port);
        return RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, path, name, REG_SZ,
                                     const_cast<char16_t*>(data.c_str()),
                                     static_cast<ULONG>((data.size() + 1) * 2));
    }

    kx::Kernel kernel_;
};

TEST_F(DeviceMapTest, TheFirstWriteCreatesSerialComm) {
    EXPECT_TRUE(kx::RegistryKeyExists(u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP"));
    EXPECT_FALSE(kx::RegistryKeyExists(SerialComm));
    EXPECT_TRUE(kx::SerialCommMap().empty());

    ASSERT_EQ(Write(u"SERIALCOMM", u"\\Device\\Port0", u"COM5"), STATUS_SUCCESS);
    EXPECT_TRUE(kx::RegistryKeyExists(SerialComm));
    auto value = kx::GetRegistryValue(SerialComm, u"\\Device\\Port0");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(value->data.size(), 10u);
    EXPECT_EQ(value->data, kx::RegistryString(u"COM5"));
}

TEST_F(DeviceMapTest, PortsEnumerateInOrderAndARewriteKeepsItsPlace) {
    ASSERT_EQ(Write(u"SERIALCOMM", u"\\Device\\Port0", u"COM5"), STATUS_SUCCESS);
    ASSERT_EQ(Write(u"serialcomm", u"\\Device\\Port1", u"COM6"), STATUS_SUCCESS);
    ASSERT_EQ(Write(u"\\SERIALCOMM", u"\\device\\port0", u"COM9"), STATUS_SUCCESS);
    using Map = std::vector<std::pair<std::u16string, std::u16string>>;
    EXPECT_EQ(kx::SerialCommMap(),
              (Map{{u"\\Device\\Port0", u"COM9"}, {u"\\Device\\Port1", u"COM6"}}));

    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\Port0"),
              STATUS_SUCCESS);
    EXPECT_EQ(kx::SerialCommMap(), (Map{{u"\\Device\\Port1", u"COM6"}}));
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\Port0"),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(DeviceMapTest, MissingKeysAndBadArguments) {
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\Port0"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(kx::RegistryKeyExists(SerialComm)); // a delete creates nothing
    // Only the last key of the path is created.
    EXPECT_EQ(Write(u"NOSUCH\\SERIALCOMM", u"x", u"COM1"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(kx::RegistryKeyExists(u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\NOSUCH"));
    EXPECT_EQ(RtlWriteRegistryValue(9, u"SERIALCOMM", u"x", REG_SZ, nullptr, 0),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_DEVICEMAP, const_cast<char16_t*>(u"SERIALCOMM")),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(DeviceMapTest, AbsoluteAndOptionalForms) {
    std::u16string data(u"COM4");
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL,
                                    u"\\Registry\\Machine\\Hardware\\DeviceMap\\SerialComm",
                                    u"\\Device\\Port4", REG_SZ, const_cast<char16_t*>(data.c_str()),
                                    10),
              STATUS_SUCCESS);
    EXPECT_EQ(kx::SerialCommMap().size(), 1u);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_DEVICEMAP, const_cast<char16_t*>(u"SERIALCOMM")),
              STATUS_SUCCESS);
}

TEST_F(DeviceMapTest, AnInjectedWriteFailureWritesNothingAndHitsOnce) {
    kx::ArmObjectFault({kx::ObjectOperation::WriteValue, 1, STATUS_ACCESS_DENIED, u""});
    EXPECT_EQ(Write(u"SERIALCOMM", u"\\Device\\Port0", u"COM5"), STATUS_ACCESS_DENIED);
    EXPECT_FALSE(kx::RegistryKeyExists(SerialComm));
    EXPECT_EQ(Write(u"SERIALCOMM", u"\\Device\\Port0", u"COM5"), STATUS_SUCCESS);

    kx::ArmObjectFault({kx::ObjectOperation::DeleteValue, 1, STATUS_ACCESS_DENIED, u""});
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\Port0"),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(kx::SerialCommMap().size(), 1u);
    kx::DisarmObjectFaults();
}

// ---- Device-node keys ----------------------------------------------------------------------

TEST(DeviceNodeKeys, APdoWithoutAnIdentityIsNamedAfterItsBus) {
    kx::Kernel kernel;
    sim::ParentBus bus;
    sim::ModemPdo& first = bus.CreateModemPdo();
    sim::ModemPdo& second = bus.CreateModemPdo();
    const std::u16string enumKey = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\";
    EXPECT_EQ(kx::HardwareKeyPath(first.Device()),
              enumKey + u"ROOT\\KORVAXBUS\\0000\\Device Parameters");
    EXPECT_EQ(kx::HardwareKeyPath(second.Device()),
              enumKey + u"ROOT\\KORVAXBUS\\0001\\Device Parameters");
    EXPECT_EQ(kx::DeviceInstancePath(first.Device()), u"ROOT\\KORVAXBUS\\0000");
}

TEST(DeviceNodeKeys, TheHardwareKeyBelongsToTheInstanceAndOutlivesTheDeviceObject) {
    kx::Kernel kernel;
    sim::ParentBus bus;
    const std::u16string instance = u"USB\\VID_1234&PID_5678&MI_00\\6&1&0";
    sim::ModemPdo& before = bus.CreateModemPdo();
    kx::SetDeviceInstancePath(before.Device(), instance);
    kx::SetHardwareString(before.Device(), u"PortName", u"COM8");
    bus.DeletePdo(before);

    sim::ModemPdo& after = bus.CreateModemPdo();
    EXPECT_FALSE(kx::GetHardwareValue(after.Device(), u"PortName").has_value());
    sim::ModemPdo& again = bus.CreateModemPdo();
    kx::SetDeviceInstancePath(again.Device(), instance);
    auto value = kx::GetHardwareValue(again.Device(), u"PortName");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(kx::RegistryText(value->data), u"COM8");
}

// Handles nobody closed are reported when the kernel shuts down (the verifier's
// record of a finding made during shutdown ends with the kernel, its count does not).
TEST(RegistryShutdown, AHandleLeftOpenIsReported) {
    kx::VerifierCapture capture;
    size_t before = kx::TotalFindings();
    {
        kx::Kernel kernel;
        sim::ParentBus bus;
        sim::ModemPdo& pdo = bus.CreateModemPdo();
        test::RecordingDriver driver;
        auto node = kx::ReportDevice(pdo.Device(), driver.Driver());
        HANDLE key;
        ASSERT_EQ(IoOpenDeviceRegistryKey(pdo.Device(), PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
                  STATUS_SUCCESS);
        ASSERT_EQ(kx::RemoveDevice(*node), STATUS_SUCCESS);
        driver.Unload();
        EXPECT_EQ(kx::TotalFindings(), before); // not the driver's handle
    }
    EXPECT_EQ(kx::TotalFindings(), before + 1);
}

} // namespace
