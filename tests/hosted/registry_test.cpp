// The registry as a driver reaches it: the hardware key of its device node, value
// information in the platform's exact layout with the platform's status codes for
// short buffers, and handles that must be closed and not used once closed.
#include "recording_driver.h"

#include <kx/namespace.h>
#include <kx/pnp.h>
#include <kx/registry.h>
#include <sim/bus.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

UNICODE_STRING Counted(const char16_t* text) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

std::u16string Chars(const void* p, size_t bytes) {
    return std::u16string(static_cast<const char16_t*>(p), bytes / 2);
}

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kx::SetHardwareString(pdo_.Device(), u"PortName", u"COM5");
        node_ = kx::ReportDevice(pdo_.Device(), driver_.driver);
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

    // KeyValueFullInformation into a buffer pre-filled with 0xCC; length the bytes
    // offered.
    NTSTATUS Query(const char16_t* name, ULONG length, ULONG* result) {
        std::memset(buffer_, 0xCC, sizeof buffer_);
        HANDLE key = OpenHardwareKey();
        UNICODE_STRING valueName = Counted(name);
        NTSTATUS status =
            ZwQueryValueKey(key, &valueName, KeyValueFullInformation, buffer_, length, result);
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

TEST_F(RegistryTest, FullInformationPlacesTheDataOnAFourByteBoundaryAndFollowsTheBufferSize) {
    ULONG result = 0;
    // Value names compare without case; the name comes back as it was created.
    ASSERT_EQ(Query(u"PORTNAME", sizeof buffer_, &result), STATUS_SUCCESS);
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
    ASSERT_EQ(Query(u"Port7", sizeof buffer_, &result), STATUS_SUCCESS);
    EXPECT_EQ(Full().DataOffset, 32u);
    EXPECT_EQ(result, 36u);
    ULONG dword;
    std::memcpy(&dword, buffer_ + 32, 4);
    EXPECT_EQ(dword, 0x11223344u);
    EXPECT_EQ(buffer_[30], 0xCC); // the alignment gap is not written

    // The status codes follow the buffer size.
    result = 0xDEAD;
    EXPECT_EQ(Query(u"NoSuchValue", sizeof buffer_, &result), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(result, 0xDEADu);

    // Not even the fixed part: nothing written, the size needed reported.
    EXPECT_EQ(Query(u"PortName", 19, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, 46u);
    EXPECT_TRUE(Untouched(0));

    // The fixed part fits: it is filled in, the rest is missing.
    EXPECT_EQ(Query(u"PortName", 20, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, 46u);
    EXPECT_EQ(Full().Type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(Full().DataLength, 10u);
    EXPECT_EQ(Full().DataOffset, 36u);
    EXPECT_TRUE(Untouched(20));

    // One byte short: all but the last data byte.
    EXPECT_EQ(Query(u"PortName", 45, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Chars(Full().Name, 16), u"PortName");
    EXPECT_EQ(Chars(buffer_ + 36, 8), u"COM5");
    EXPECT_TRUE(Untouched(45));

    EXPECT_EQ(Query(u"PortName", 46, &result), STATUS_SUCCESS);
}

TEST_F(RegistryTest, AClosedHandleIsNoLongerAHandle) {
    HANDLE key = OpenHardwareKey();
    EXPECT_EQ(kx::OpenKernelHandles(), 1u);
    EXPECT_EQ(kx::OpenKernelHandles(driver_.driver), 0u); // opened by the test, not the driver
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

// A driver's entry point that allocates pool and an IRP, opens the hardware key of
// a device and links a name to it, and leaves all four.
PDEVICE_OBJECT leakyPdo;
PVOID leakedPool;
PIRP leakedIrp;

NTSTATUS NTAPI LeakingEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    leakedPool = ExAllocatePoolWithTag(NonPagedPool, 100, 0x74736554);
    leakedIrp = IoAllocateIrp(1, FALSE);
    HANDLE key;
    IoOpenDeviceRegistryKey(leakyPdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
    UNICODE_STRING link = Counted(u"\\DosDevices\\COM3"), target = Counted(u"\\Device\\Port3");
    return IoCreateSymbolicLink(&link, &target);
}

TEST_F(RegistryTest, PoolAnIrpAKeyHandleAndALinkLeftByADriverAreCaughtAtUnload) {
    leakyPdo = pdo_.Device();
    PDRIVER_OBJECT leaky = kx::LoadDriver(LeakingEntry, u"Leaky", nullptr);
    ASSERT_NE(leaky, nullptr);
    EXPECT_EQ(kx::OpenKernelHandles(leaky), 1u);
    kx::VerifierCapture capture;
    kx::UnloadDriver(leaky);
    EXPECT_EQ(capture.Count(kx::Rule::PoolLeak), 1u);
    EXPECT_EQ(capture.Count(kx::Rule::IrpLeak), 1u);
    EXPECT_EQ(capture.Count(kx::Rule::HandleLeak), 1u);
    EXPECT_EQ(capture.Count(kx::Rule::SymbolicLinkLeak), 1u);
    EXPECT_EQ(capture.Findings().size(), 4u);
    EXPECT_EQ(kx::OpenKernelHandles(), 0u);
    EXPECT_TRUE(kx::SymbolicLinks().empty());
    // Give back what the driver leaked, so the shutdown check finds nothing.
    ExFreePool(leakedPool);
    IoFreeIrp(leakedIrp);
}

} // namespace
