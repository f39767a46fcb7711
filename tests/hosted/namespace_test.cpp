// Symbolic links in the object namespace: the DOS-device directory under its three
// names, collisions, deletion, and the way from an application's \\.\COM5 through
// the links to the device object or nowhere.
#include <kx/namespace.h>

#include <gtest/gtest.h>

namespace {

NTSTATUS NTAPI TrivialEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    return STATUS_SUCCESS;
}

NTSTATUS Link(const char16_t* link, const char16_t* target) {
    UNICODE_STRING l, t;
    RtlInitUnicodeString(&l, link);
    RtlInitUnicodeString(&t, target);
    return IoCreateSymbolicLink(&l, &t);
}

NTSTATUS Unlink(const char16_t* link) {
    UNICODE_STRING l;
    RtlInitUnicodeString(&l, link);
    return IoDeleteSymbolicLink(&l);
}

class NamespaceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        driver_ = kx::LoadDriver(TrivialEntry, u"Linker", nullptr);
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"\\Device\\Port0");
        ASSERT_EQ(IoCreateDevice(driver_, 0, &name, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device_),
                  STATUS_SUCCESS);
        ASSERT_EQ(Link(u"\\DosDevices\\COM5", u"\\Device\\Port0"), STATUS_SUCCESS);
    }

    void TearDown() override {
        for (const kx::SymbolicLink& link : kx::SymbolicLinks())
            Unlink(link.name.c_str());
        if (device_)
            IoDeleteDevice(device_);
        kx::UnloadDriver(driver_);
    }

    kx::Kernel kernel_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
};

TEST_F(NamespaceTest, ALinkResolvesUnderEveryNameOfItsDirectoryAndCollides) {
    for (const char16_t* name : {u"\\DosDevices\\COM5", u"\\??\\COM5", u"\\GLOBAL??\\com5",
                                 u"\\\\.\\COM5", u"\\\\?\\Com5"}) {
        EXPECT_EQ(kx::ResolveLink(name), std::u16string(u"\\Device\\Port0")) << kx::ToUtf8(name);
        EXPECT_EQ(kx::OpenTarget(name), device_) << kx::ToUtf8(name);
    }
    EXPECT_EQ(kx::OpenTarget(u"\\\\.\\COM6"), nullptr);
    EXPECT_EQ(Link(u"\\??\\com5", u"\\Device\\Other"), STATUS_OBJECT_NAME_COLLISION);
    // A device object's name is taken as much as a link's.
    EXPECT_EQ(Link(u"\\Device\\Port0", u"\\Device\\Other"), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Link(u"\\NoSuchDirectory\\COM5", u"\\Device\\Port0"), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(kx::SymbolicLinks().size(), 1u);

    // Deleted under any alias, and only once; the name is free again.
    EXPECT_EQ(Unlink(u"\\??\\COM5"), STATUS_SUCCESS);
    EXPECT_EQ(Unlink(u"\\DosDevices\\COM5"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(kx::OpenTarget(u"\\\\.\\COM5"), nullptr);
    EXPECT_EQ(Link(u"\\DosDevices\\COM5", u"\\Device\\Port0"), STATUS_SUCCESS);
}

TEST_F(NamespaceTest, LinksAreFollowedToADeviceOrNowhere) {
    ASSERT_EQ(Link(u"\\DosDevices\\MODEM", u"\\DosDevices\\COM5"), STATUS_SUCCESS);
    EXPECT_EQ(kx::OpenTarget(u"\\\\.\\MODEM"), device_);
    // Dangling, and a loop.
    ASSERT_EQ(Link(u"\\DosDevices\\COM6", u"\\Device\\Missing"), STATUS_SUCCESS);
    EXPECT_EQ(kx::OpenTarget(u"\\\\.\\COM6"), nullptr);
    ASSERT_EQ(Link(u"\\DosDevices\\A", u"\\??\\B"), STATUS_SUCCESS);
    ASSERT_EQ(Link(u"\\DosDevices\\B", u"\\??\\A"), STATUS_SUCCESS);
    EXPECT_EQ(kx::OpenTarget(u"\\\\.\\A"), nullptr);
    // To a deleted device.
    IoDeleteDevice(device_);
    device_ = nullptr;
    EXPECT_TRUE(kx::ResolveLink(u"\\\\.\\COM5").has_value());
    EXPECT_EQ(kx::OpenTarget(u"\\\\.\\COM5"), nullptr);
}

TEST_F(NamespaceTest, CreatingALinkAbovePassiveLevelIsCaught) {
    kx::VerifierCapture capture;
    kx::RunAtIrql(DISPATCH_LEVEL, [] { Link(u"\\DosDevices\\COM7", u"\\Device\\Port0"); });
    EXPECT_EQ(capture.Count(kx::Rule::IrqlTooHigh), 1u);
}

} // namespace
