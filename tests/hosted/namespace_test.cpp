// Symbolic links in the object namespace: creation and its collisions, deletion, the
// DOS-device directory under its three names, and the way from an application's
// \\.\COM5 through the links to the device object.
#include <kx/namespace.h>
#include <kx/registry.h>

#include <gtest/gtest.h>

namespace {

NTSTATUS NTAPI TrivialEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    return STATUS_SUCCESS;
}

class NamespaceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        NTSTATUS status;
        driver_ = kx::LoadDriver(TrivialEntry, u"Linker", &status);
        UNICODE_STRING name = Name(u"\\Device\\Port0");
        ASSERT_EQ(IoCreateDevice(driver_, 0, &name, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device_),
                  STATUS_SUCCESS);
    }

    void TearDown() override {
        for (const kx::SymbolicLink& link : kx::SymbolicLinks()) {
            UNICODE_STRING name = Name(link.name.c_str());
            IoDeleteSymbolicLink(&name);
        }
        if (device_)
            IoDeleteDevice(device_);
        kx::UnloadDriver(driver_);
    }

    static UNICODE_STRING Name(const char16_t* text) {
        UNICODE_STRING s;
        RtlInitUnicodeString(&s, text);
        return s;
    }

    static NTSTATUS Link(const char16_t* link, const char16_t* target, bool unprotected = true) {
        UNICODE_STRING l = Name(link);
        UNICODE_STRING t = Name(target);
        return unprotected ? IoCreateUnprotectedSymbolicLink(&l, &t) : IoCreateSymbolicLink(&l, &t);
    }

    static NTSTATUS Unlink(const char16_t* link) {
        UNICODE_STRING l = Name(link);
        return IoDeleteSymbolicLink(&l);
    }

    kx::Kernel kernel_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
};

TEST_F(NamespaceTest, ALinkResolvesUnderEveryNameOfItsDirectory) {
    ASSERT_EQ(Link(u"\\DosDevices\\COM5", u"\\Device\\Port0"), STATUS_SUCCESS);
    for (const char16_t* name : {u"\\DosDevices\\COM5", u"\\??\\COM5", u"\\GLOBAL??\\com5",
                                 u"\\\\.\\COM5", u"\\\\?\\Com5"}) {
        EXPECT_EQ(kx::ResolveLink(name), std::u16string(u"\\Device\\Port0")) << kx::ToUtf8(name);
        EXPECT_EQ(kx::OpenTarget(name), device_) << kx::ToUtf8(name);
    }
    EXPECT_EQ(kx::OpenTarget(u"\\Device\\Port0"), device_);
    EXPECT_EQ(kx::OpenTarget(u"\\\\.\\COM6"), nullptr);
    EXPECT_EQ(kx::ObjectManagerName(u"\\\\.\\COM5"), u"\\??\\COM5");

    auto links = kx::SymbolicLinks();
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links[0].name, u"\\DosDevices\\COM5");
    EXPECT_EQ(links[0].target, u"\\Device\\Port0");
    EXPECT_TRUE(links[0].unprotected);
    EXPECT_EQ(links[0].creator, nullptr);
}

TEST_F(NamespaceTest, ANameInUseCollides) {
    ASSERT_EQ(Link(u"\\DosDevices\\COM5", u"\\Device\\Port0"), STATUS_SUCCESS);
    EXPECT_EQ(Link(u"\\??\\com5", u"\\Device\\Other", false), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(kx::ResolveLink(u"\\\\.\\COM5"), std::u16string(u"\\Device\\Port0"));
    // A device object's name is taken as much as a link's.
    EXPECT_EQ(Link(u"\\Device\\Port0", u"\\Device\\Other"), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(kx::SymbolicLinks().size(), 1u);
}

TEST_F(NamespaceTest, DeletionUnderAnyAliasAndOnlyOnce) {
    ASSERT_EQ(Link(u"\\DosDevices\\COM5", u"\\Device\\Port0"), STATUS_SUCCESS);
    EXPECT_EQ(Unlink(u"\\??\\COM5"), STATUS_SUCCESS);
    EXPECT_EQ(Unlink(u"\\DosDevices\\COM5"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(kx::OpenTarget(u"\\\\.\\COM5"), nullptr);
    EXPECT_TRUE(kx::SymbolicLinks().empty());
    // The name is free again.
    EXPECT_EQ(Link(u"\\DosDevices\\COM5", u"\\Device\\Port0"), STATUS_SUCCESS);
}

TEST_F(NamespaceTest, BadNamesAreRefused) {
    EXPECT_EQ(Link(u"COM5", u"\\Device\\Port0"), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Link(u"", u"\\Device\\Port0"), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Link(u"\\DosDevices\\", u"\\Device\\Port0"), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Link(u"\\NoSuchDirectory\\COM5", u"\\Device\\Port0"), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_TRUE(kx::SymbolicLinks().empty());
}

TEST_F(NamespaceTest, LinksAreFollowedToADeviceOrNowhere) {
    ASSERT_EQ(Link(u"\\DosDevices\\COM5", u"\\Device\\Port0"), STATUS_SUCCESS);
    ASSERT_EQ(Link(u"\\DosDevices\\MODEM", u"\\DosDevices\\COM5"), STATUS_SUCCESS);
    EXPECT_EQ(kx::ResolveLink(u"\\\\.\\MODEM"), std::u16string(u"\\DosDevices\\COM5"));
    EXPECT_EQ(kx::OpenTarget(u"\\\\.\\MODEM"), device_);

    // Dangling, and a loop.
    ASSERT_EQ(Link(u"\\DosDevices\\COM6", u"\\Device\\Missing"), STATUS_SUCCESS);
    EXPECT_EQ(kx::OpenTarget(u"\\\\.\\COM6"), nullptr);
    ASSERT_EQ(Link(u"\\DosDevices\\A", u"\\??\\B"), STATUS_SUCCESS);
    ASSERT_EQ(Link(u"\\DosDevices\\B", u"\\??\\A"), STATUS_SUCCESS);
    EXPECT_EQ(kx::OpenTarget(u"\\\\.\\A"), nullptr);
}

TEST_F(NamespaceTest, ALinkToADeletedDeviceLeadsNowhere) {
    ASSERT_EQ(Link(u"\\DosDevices\\COM5", u"\\Device\\Port0"), STATUS_SUCCESS);
    IoDeleteDevice(device_);
    device_ = nullptr;
    EXPECT_TRUE(kx::ResolveLink(u"\\\\.\\COM5").has_value());
    EXPECT_EQ(kx::OpenTarget(u"\\\\.\\COM5"), nullptr);
}

TEST_F(NamespaceTest, AnInjectedFailureMatchesTheLinkUnderAnyAlias) {
    kx::ArmObjectFault(
        {kx::ObjectOperation::CreateLink, 1, STATUS_INSUFFICIENT_RESOURCES, u"\\??\\COM9"});
    EXPECT_EQ(Link(u"\\DosDevices\\COM8", u"\\Device\\Port0"), STATUS_SUCCESS);
    EXPECT_EQ(Link(u"\\DosDevices\\COM9", u"\\Device\\Port0"), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(kx::ResolveLink(u"\\\\.\\COM9").has_value());
    EXPECT_EQ(Link(u"\\DosDevices\\COM9", u"\\Device\\Port0"), STATUS_SUCCESS);

    kx::ArmObjectFault({kx::ObjectOperation::DeleteLink, 1, STATUS_ACCESS_DENIED, u""});
    EXPECT_EQ(Unlink(u"\\DosDevices\\COM9"), STATUS_ACCESS_DENIED);
    EXPECT_TRUE(kx::ResolveLink(u"\\\\.\\COM9").has_value());
}

TEST_F(NamespaceTest, CreatingALinkAbovePassiveLevelIsCaught) {
    kx::VerifierCapture capture;
    kx::RunAtIrql(DISPATCH_LEVEL, [] { Link(u"\\DosDevices\\COM5", u"\\Device\\Port0"); });
    EXPECT_EQ(capture.Count(kx::Rule::IrqlTooHigh), 1u);
}

TEST(NamespaceShutdown, ALinkLeftAtShutdownIsReported) {
    kx::VerifierCapture capture;
    size_t before = kx::TotalFindings();
    {
        kx::Kernel kernel;
        UNICODE_STRING link, target;
        RtlInitUnicodeString(&link, u"\\DosDevices\\COM5");
        RtlInitUnicodeString(&target, u"\\Device\\Port0");
        ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    }
    EXPECT_EQ(kx::TotalFindings(), before + 1);
}

TEST(NamespaceShutdown, NothingIsReportedWhenEveryLinkIsDeleted) {
    kx::VerifierCapture capture;
    size_t before = kx::TotalFindings();
    {
        kx::Kernel kernel;
        UNICODE_STRING link, target;
        RtlInitUnicodeString(&link, u"\\DosDevices\\COM5");
        RtlInitUnicodeString(&target, u"\\Device\\Port0");
        ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
        ASSERT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    }
    EXPECT_EQ(kx::TotalFindings(), before);
}

} // namespace
