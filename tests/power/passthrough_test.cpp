// Internal device control from drivers above the port is answered by the port and
// never reaches the modem's PDO; system control goes down untouched, except during
// removal, when it is refused before the lower driver sees it.
#include "power_support.h"

#include <driver/frame/frame.h>
#include <driver/port/serial.h>
#include <sim/serial_api.h>
#include <sim/world.h>
#include <support/open_port.h>

#include <gtest/gtest.h>

namespace {

using korvax_test::HeldRequest;

class PassThroughTest : public ::testing::Test {
  protected:
    void SetUp() override {
        modem_ = &world_.Plug();
        fdo_ = modem_->FunctionDevice();
        pdo_ = &modem_->Pdo();
    }
    void TearDown() override {
        if (port_ != nullptr)
            win32::CloseHandle(port_);
        world_.Settle();
    }

    void Open() {
        port_ =
            win32::CreateFileA(modem_->Path().c_str(), win32::GENERIC_READ | win32::GENERIC_WRITE,
                               0, nullptr, win32::OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(port_, win32::INVALID_HANDLE_VALUE);
    }

    // An internal device-control request as a driver above builds it.
    IO_STATUS_BLOCK Internal(ULONG code) {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        iosb.Information = 0x5A5A;
        PIRP irp =
            IoBuildDeviceIoControlRequest(code, fdo_, nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
        NTSTATUS returned = IoCallDriver(fdo_, irp);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(returned, iosb.Status) << "completed in its dispatch routine";
        return iosb;
    }

    size_t AtPdo(UCHAR major) const {
        size_t count = 0;
        for (const auto& irp : pdo_->Records())
            count += irp.major == major;
        return count;
    }

    // A system-control request with the status and information WMI presets.
    std::unique_ptr<HeldRequest> SystemControl() {
        auto request = HeldRequest::Other(fdo_, IRP_MJ_SYSTEM_CONTROL, 0);
        request->Irp()->IoStatus.Status = STATUS_NOT_SUPPORTED;
        request->Irp()->IoStatus.Information = 0x77;
        return request;
    }

    sim::World world_;
    sim::PluggedModem* modem_ = nullptr;
    sim::ModemPdo* pdo_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
    win32::HANDLE port_ = nullptr;
};

TEST_F(PassThroughTest, TheInternalSerialCodesAreAnsweredHereWithInformationZero) {
    struct Case {
        ULONG code;
        NTSTATUS status;
    };
    const Case cases[] = {
        {IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, STATUS_NOT_SUPPORTED},
        {IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE, STATUS_SUCCESS},
        {IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, STATUS_NOT_SUPPORTED},
        {IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, STATUS_NOT_SUPPORTED},
        {IOCTL_INTERNAL_USB_SUBMIT_URB, STATUS_INVALID_PARAMETER},
        // Ordinary serial codes mean nothing here (SET_BAUD_RATE is 0x001B0004 too).
        {IOCTL_SERIAL_GET_BAUD_RATE, STATUS_INVALID_PARAMETER},
        {0x001B0014, STATUS_INVALID_PARAMETER},
    };
    ASSERT_EQ(IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, 0x001B0004u);
    ASSERT_EQ(IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE, 0x001B0008u);
    ASSERT_EQ(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, 0x001B000Cu);
    ASSERT_EQ(IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, 0x001B0010u);
    size_t before = AtPdo(IRP_MJ_INTERNAL_DEVICE_CONTROL);
    for (const Case& c : cases) {
        IO_STATUS_BLOCK iosb = Internal(c.code);
        EXPECT_EQ(iosb.Status, c.status) << std::hex << c.code;
        EXPECT_EQ(iosb.Information, 0u) << std::hex << c.code;
    }
    EXPECT_EQ(AtPdo(IRP_MJ_INTERNAL_DEVICE_CONTROL), before) << "nothing was passed down";
}

TEST_F(PassThroughTest, AnInternalRequestAtDispatchLevelIsAnsweredTheSameWay) {
    auto request = HeldRequest::Other(fdo_, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0);
    IoGetNextIrpStackLocation(request->Irp())->Parameters.DeviceIoControl.IoControlCode =
        IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE;
    kx::RunAtIrql(DISPATCH_LEVEL, [&] { EXPECT_EQ(request->Send(), STATUS_SUCCESS); });
    EXPECT_EQ(request->Completions(), 1);
    EXPECT_EQ(request->Status(), STATUS_SUCCESS);
}

TEST_F(PassThroughTest, SystemControlGoesDownUntouched) {
    auto request = SystemControl();
    EXPECT_EQ(request->Send(), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(request->Status(), STATUS_NOT_SUPPORTED) << "the bus left the preset status";
    EXPECT_EQ(request->Information(), 0x77u);
    EXPECT_EQ(AtPdo(IRP_MJ_SYSTEM_CONTROL), 1u);
}

TEST_F(PassThroughTest, DuringRemovalSystemAndInternalRequestsAreRefusedHere) {
    Open();
    // Pulled out with the port open: the device stays until the handle is closed.
    ASSERT_EQ(world_.Unplug(*modem_), STATUS_SUCCESS);
    ASSERT_EQ(modem_->FunctionDevice(), fdo_);
    auto request = SystemControl();
    EXPECT_EQ(request->Send(), STATUS_DELETE_PENDING);
    EXPECT_EQ(request->Status(), STATUS_DELETE_PENDING);
    EXPECT_EQ(request->Information(), 0x77u) << "left as it came";
    EXPECT_EQ(AtPdo(IRP_MJ_SYSTEM_CONTROL), 0u);
    IO_STATUS_BLOCK iosb = Internal(IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE);
    EXPECT_EQ(iosb.Status, STATUS_DELETE_PENDING);
}

} // namespace
