// The driver frame on the hosted kernel: load and unload, the acceptance gate,
// passing down and forwarding requests to a lower driver that completes at once
// or later from another processor.
#include <support/open_port.h>

#include <gtest/gtest.h>

#include <iterator>
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

// The port made by AddDevice and started, with two of its dispatch routines
// replaced by the ones above.
class FrameTest : public korvax_test::OpenPortTest {
  protected:
    void SetUp() override {
        OpenPortTest::SetUp();
        driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = ForwardDispatch;
        driver_->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = PassDownDispatch;
    }

    struct Sent {
        KEVENT done;
        IO_STATUS_BLOCK iosb;
    };

    static NTSTATUS NTAPI SentBack(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
        auto* sent = static_cast<Sent*>(Context);
        sent->iosb = Irp->IoStatus;
        KeSetEvent(&sent->done, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    // Sends a request to the FDO and waits for it. The IRP is the test's own, so
    // that its completion routine sees the status block the FDO completed it with
    // even when it fails at once (the I/O manager would then write nothing back).
    IO_STATUS_BLOCK Send(UCHAR major, ULONG code = 0) {
        Sent sent{};
        KeInitializeEvent(&sent.done, NotificationEvent, FALSE);
        PIRP irp = IoAllocateIrp(fdo_->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = major;
        next->Parameters.DeviceIoControl.IoControlCode = code;
        IoSetCompletionRoutine(irp, SentBack, &sent, TRUE, TRUE, TRUE);
        returned_ = IoCallDriver(fdo_, irp);
        KeWaitForSingleObject(&sent.done, Executive, KernelMode, FALSE, nullptr);
        IoFreeIrp(irp);
        return sent.iosb;
    }

    NTSTATUS returned_ = STATUS_SUCCESS;
};

TEST(DriverEntryTest, RefusesToLoadWithoutWdm10SilentlyAndBannersItsLoadAndUnload) {
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
    ExpectBanner(kx::DebugLines(), "LOADED");
    kx::ClearDebugLines();
    kx::UnloadDriver(driver);
    ExpectBanner(kx::DebugLines(), "UNLOADED");
}

// A forwarded request returns the lower driver's final status, whether it pends
// below and ends later on another processor or fails at once; a passed-down one
// returns STATUS_PENDING and completes from the lower driver's completion.
TEST_F(FrameTest, ForwardedAndPassedDownRequestsEndWithTheLowerDriversStatus) {
    const struct {
        const char* name;
        UCHAR major;
        bool pend;
        NTSTATUS status;
        ULONG_PTR information;
        NTSTATUS returned;
    } rows[] = {
        {"forward, completed later", IRP_MJ_INTERNAL_DEVICE_CONTROL, true, STATUS_DEVICE_BUSY, 5,
         STATUS_DEVICE_BUSY},
        {"forward, failed at once", IRP_MJ_INTERNAL_DEVICE_CONTROL, false,
         STATUS_INSUFFICIENT_RESOURCES, 0, STATUS_INSUFFICIENT_RESOURCES},
        {"pass down, completed later", IRP_MJ_SYSTEM_CONTROL, true, STATUS_SUCCESS, 12,
         STATUS_PENDING},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        const auto& row = rows[i];
        lastForwardStatus = STATUS_PENDING;
        IO_STATUS_BLOCK iosb{};
        if (row.pend) {
            pdo_->ScriptNext(sim::Response::Pend());
            std::thread sender([&] { iosb = Send(row.major); });
            pdo_->WaitForPending(1);
            pdo_->CompletePending(row.status, row.information);
            sender.join();
        } else {
            pdo_->ScriptNext(sim::Response::Complete(row.status));
            iosb = Send(row.major);
        }
        EXPECT_EQ(returned_, row.returned) << row.name;
        EXPECT_EQ(iosb.Status, row.status) << row.name;
        // CompleteRequest keeps the lower driver's Information.
        EXPECT_EQ(iosb.Information, row.information) << row.name;
        if (row.major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
            EXPECT_EQ(lastForwardStatus, row.status) << row.name;
        }
        auto records = pdo_->Records();
        ASSERT_EQ(records.size(), i + 1) << row.name;
        EXPECT_EQ(records[i].major, row.major) << row.name;
        EXPECT_EQ(records[i].irql, PASSIVE_LEVEL) << row.name;
    }
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
