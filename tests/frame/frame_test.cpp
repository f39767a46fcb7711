// The driver frame on the hosted kernel: load and unload, the acceptance gate,
// completing, passing down and forwarding requests to a lower driver that
// completes at once or later from another processor.
#include <driver/frame/frame.h>
#include <kx/host.h>
#include <sim/bus.h>

#include <gtest/gtest.h>

#include <regex>
#include <thread>

namespace {

const std::string Rule79(79, '*');

// Test-only dispatch routines that use the frame's helpers the way the driver's
// own dispatch routines do.
NTSTATUS lastForwardStatus;

NTSTATUS NTAPI ForwardDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    lastForwardStatus = ForwardIrpSynchronously(DeviceObject, Irp);
    return CompleteRequest(Irp, lastForwardStatus);
}

NTSTATUS NTAPI PassDownDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    Irp->IoStatus.Information = 0x99;
    NTSTATUS status = AcceptRequest(context, Irp);
    if (!NT_SUCCESS(status))
        return status;
    status = PassIrpDown(DeviceObject, Irp);
    ReleaseRequestLock(context, Irp);
    return status;
}

enum CompleteCode : ULONG { KeepInformation = 1, ReplaceInformation = 2 };

NTSTATUS NTAPI CompleteDispatch(PDEVICE_OBJECT, PIRP Irp) {
    Irp->IoStatus.Information = 7;
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode ==
        KeepInformation)
        return CompleteRequest(Irp, STATUS_SUCCESS);
    return CompleteRequestInfo(Irp, STATUS_TIMEOUT, 3);
}

// The banner is exact but for the build's own time and date.
void ExpectBanner(const std::vector<std::string>& lines, const std::string& verb) {
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], Rule79);
    std::regex middle(
        R"(USBMODEM\(Ver 1\.0\)  Time: \d\d:\d\d:\d\d  Date: [A-Z][a-z]{2} [ \d]\d \d{4} )" + verb +
        " ");
    EXPECT_TRUE(std::regex_match(lines[1], middle)) << lines[1];
    EXPECT_EQ(lines[2], Rule79);
    EXPECT_EQ(lines[3], "") << "the closing rule is followed by an empty line";
}

class FrameTest : public ::testing::Test {
  protected:
    void SetUp() override {
        NTSTATUS status;
        driver_ = kx::LoadDriver(DriverEntry, u"korvaxser", &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
        driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = ForwardDispatch;
        driver_->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = PassDownDispatch;
        driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = CompleteDispatch;

        pdo_ = &bus_.CreateModemPdo();
        ASSERT_EQ(IoCreateDevice(driver_, sizeof(DEVICE_CONTEXT), nullptr, FILE_DEVICE_SERIAL_PORT,
                                 FILE_DEVICE_SECURE_OPEN, TRUE, &fdo_),
                  STATUS_SUCCESS);
        context_ = GetDeviceContext(fdo_);
        context_->DeviceObject = fdo_;
        context_->PhysicalDeviceObject = pdo_->Device();
        context_->LowerDeviceObject = IoAttachDeviceToDeviceStack(fdo_, pdo_->Device());
        IoInitializeRemoveLockEx(&context_->RemoveLock, 0, 0, 0, sizeof(IO_REMOVE_LOCK));
        KeInitializeSpinLock(&context_->StateLock);
        context_->PnpState = Started;
    }

    void TearDown() override {
        IoDetachDevice(context_->LowerDeviceObject);
        IoDeleteDevice(fdo_);
        kx::UnloadDriver(driver_);
    }

    // Sends a request to the FDO as the I/O manager would and waits for it.
    IO_STATUS_BLOCK Send(UCHAR major, ULONG code = 0) {
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp =
            IoBuildDeviceIoControlRequest(code, fdo_, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
        IoGetNextIrpStackLocation(irp)->MajorFunction = major;
        returned_ = IoCallDriver(fdo_, irp);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        return iosb;
    }

    void WaitForPended(size_t count) {
        while (pdo_->PendingCount() < count)
            std::this_thread::yield();
    }

    kx::Kernel kernel_;
    sim::ParentBus bus_;
    sim::ModemPdo* pdo_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
    PDEVICE_CONTEXT context_ = nullptr;
    NTSTATUS returned_ = STATUS_SUCCESS;
};

TEST(DriverEntryTest, BannersAtLoadAndUnloadAreExact) {
    kx::Kernel kernel;
    PDRIVER_OBJECT driver = kx::LoadDriver(DriverEntry, u"korvaxser", nullptr);
    ASSERT_NE(driver, nullptr);
    ExpectBanner(kx::DebugLines(), "LOADED");
    kx::ClearDebugLines();
    kx::UnloadDriver(driver);
    ExpectBanner(kx::DebugLines(), "UNLOADED");
}

TEST(DriverEntryTest, RefusesToLoadWithoutWdm10AndPrintsNothing) {
    kx::Kernel kernel;
    kx::SetWdmVersion(0, 0x90);
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(kx::LoadDriver(DriverEntry, u"korvaxser", &status), nullptr);
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(kx::DebugLines().empty());

    kx::SetWdmVersion(1, 0);
    PDRIVER_OBJECT driver = kx::LoadDriver(DriverEntry, u"korvaxser", &status);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(driver->DriverUnload, UnloadDriver);
    kx::UnloadDriver(driver);
}

TEST_F(FrameTest, ForwardReturnsTheLowerFinalStatusWhenCompletedLaterOnAnotherProcessor) {
    pdo_->ScriptNext(sim::Response::Pend());
    IO_STATUS_BLOCK iosb{};
    std::thread sender([&] { iosb = Send(IRP_MJ_INTERNAL_DEVICE_CONTROL); });
    WaitForPended(1);
    pdo_->CompletePending(STATUS_DEVICE_BUSY, 5);
    sender.join();

    EXPECT_EQ(lastForwardStatus, STATUS_DEVICE_BUSY);
    EXPECT_EQ(returned_, STATUS_DEVICE_BUSY);
    EXPECT_EQ(iosb.Status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(iosb.Information, 5u) << "CompleteRequest keeps the lower driver's Information";
    auto records = pdo_->Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].irql, PASSIVE_LEVEL);
}

TEST_F(FrameTest, ForwardReturnsAnImmediateLowerFailure) {
    pdo_->ScriptNext(sim::Response::Complete(STATUS_INSUFFICIENT_RESOURCES));
    EXPECT_EQ(Send(IRP_MJ_INTERNAL_DEVICE_CONTROL).Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(lastForwardStatus, STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(FrameTest, PassedDownRequestPendsBelowAndCompletesFromDispatchLevel) {
    pdo_->ScriptNext(sim::Response::Pend());
    IO_STATUS_BLOCK iosb{};
    std::thread sender([&] { iosb = Send(IRP_MJ_SYSTEM_CONTROL); });
    WaitForPended(1);
    pdo_->CompletePending(STATUS_SUCCESS, 12);
    sender.join();
    EXPECT_EQ(returned_, STATUS_PENDING);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 12u);
    ASSERT_EQ(pdo_->Records().size(), 1u);
    EXPECT_EQ(pdo_->Records()[0].major, IRP_MJ_SYSTEM_CONTROL);
}

TEST_F(FrameTest, GateRefusesOnlyRemovalStatesAndTheLostDevice) {
    const struct {
        DEVICE_PNP_STATE state;
        BOOLEAN removing;
    } table[] = {{NotStarted, FALSE},   {Started, FALSE},        {StopPending, FALSE},
                 {RemovePending, TRUE}, {SurpriseRemoved, TRUE}, {Removed, TRUE}};
    for (const auto& row : table) {
        context_->PnpState = row.state;
        EXPECT_EQ(IsDeviceRemoving(context_), row.removing) << "state " << row.state;
        kx::RunAtIrql(DISPATCH_LEVEL, [&] { EXPECT_EQ(IsDeviceRemoving(context_), row.removing); });
    }
    context_->PnpState = Started;
    context_->DeviceLostMark = DEVICE_LOST_MARK;
    EXPECT_TRUE(IsDeviceRemoving(context_));
}

TEST_F(FrameTest, RefusedRequestsCompleteWithDeletePendingAndAreNotPassedDown) {
    context_->PnpState = RemovePending;
    IO_STATUS_BLOCK iosb = Send(IRP_MJ_SYSTEM_CONTROL);
    EXPECT_EQ(returned_, STATUS_DELETE_PENDING);
    EXPECT_EQ(iosb.Status, STATUS_DELETE_PENDING);
    EXPECT_EQ(iosb.Information, 0x99u) << "the gate's refusal leaves Information as it was";
    EXPECT_TRUE(pdo_->Records().empty()) << "a refused request is not passed down";

    // The gate lets it through, but the remove lock no longer does.
    context_->PnpState = Started;
    ASSERT_EQ(IoAcquireRemoveLockEx(&context_->RemoveLock, this, "", 1, sizeof(IO_REMOVE_LOCK)),
              STATUS_SUCCESS);
    IoReleaseRemoveLockAndWaitEx(&context_->RemoveLock, this, sizeof(IO_REMOVE_LOCK));
    iosb = Send(IRP_MJ_SYSTEM_CONTROL);
    EXPECT_EQ(iosb.Status, STATUS_DELETE_PENDING);
    EXPECT_EQ(iosb.Information, 0u);
    EXPECT_TRUE(pdo_->Records().empty());
}

} // namespace
