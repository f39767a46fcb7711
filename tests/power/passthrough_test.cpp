// Internal device control from drivers above the port is answered by the port and
// never reaches the modem's PDO; system control goes down untouched, except during
// removal, when it is refused before the lower driver sees it.
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
    void TearDown() override {
        if (port_ != nullptr)
            win32::CloseHandle(port_);
        world_.Settle();
    }

    // A request as a driver above sends it, its status and information preset.
    std::unique_ptr<HeldRequest> Request(UCHAR major, ULONG code = 0) {
        auto request = HeldRequest::Other(fdo_, major, 0);
        IoGetNextIrpStackLocation(request->Irp())->Parameters.DeviceIoControl.IoControlCode = code;
        request->Irp()->IoStatus.Status = STATUS_NOT_SUPPORTED;
        request->Irp()->IoStatus.Information = 0x77;
        return request;
    }

    size_t AtPdo(UCHAR major) const {
        size_t count = 0;
        for (const auto& irp : pdo_->Records())
            count += irp.major == major;
        return count;
    }

    sim::World world_;
    sim::PluggedModem* modem_ = &world_.Plug();
    sim::ModemPdo* pdo_ = &modem_->Pdo();
    PDEVICE_OBJECT fdo_ = modem_->FunctionDevice();
    win32::HANDLE port_ = nullptr;
};

TEST_F(PassThroughTest, TheInternalSerialCodesAreAnsweredHereWithInformationZero) {
    const std::pair<ULONG, NTSTATUS> cases[] = {
        {IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, STATUS_NOT_SUPPORTED},
        {IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE, STATUS_SUCCESS},
        {IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, STATUS_NOT_SUPPORTED},
        {IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, STATUS_NOT_SUPPORTED},
        {IOCTL_INTERNAL_USB_SUBMIT_URB, STATUS_INVALID_PARAMETER},
        // Ordinary serial codes mean nothing here (SET_BAUD_RATE is 0x001B0004 too).
        {IOCTL_SERIAL_GET_BAUD_RATE, STATUS_INVALID_PARAMETER},
        {0x001B0014, STATUS_INVALID_PARAMETER},
    };
    for (const auto& [code, status] : cases) {
        auto request = Request(IRP_MJ_INTERNAL_DEVICE_CONTROL, code);
        EXPECT_EQ(request->Send(), status) << std::hex << code;
        EXPECT_EQ(request->Status(), status) << std::hex << code;
        EXPECT_EQ(request->Information(), 0u) << std::hex << code;
    }
    EXPECT_EQ(AtPdo(IRP_MJ_INTERNAL_DEVICE_CONTROL), 0u) << "nothing was passed down";
}

TEST_F(PassThroughTest, SystemControlGoesDownUntouchedUntilTheRemovalRefusesItHere) {
    auto request = Request(IRP_MJ_SYSTEM_CONTROL);
    EXPECT_EQ(request->Send(), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(request->Status(), STATUS_NOT_SUPPORTED) << "the bus left the preset status";
    EXPECT_EQ(request->Information(), 0x77u);
    EXPECT_EQ(AtPdo(IRP_MJ_SYSTEM_CONTROL), 1u);

    // Pulled out with the port open: the device stays until the handle is closed.
    port_ = win32::CreateFileA(modem_->Path().c_str(), win32::GENERIC_READ | win32::GENERIC_WRITE,
                               0, nullptr, win32::OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port_, win32::INVALID_HANDLE_VALUE);
    ASSERT_EQ(world_.Unplug(*modem_), STATUS_SUCCESS);
    ASSERT_EQ(modem_->FunctionDevice(), fdo_);
    auto refused = Request(IRP_MJ_SYSTEM_CONTROL);
    EXPECT_EQ(refused->Send(), STATUS_DELETE_PENDING);
    EXPECT_EQ(refused->Status(), STATUS_DELETE_PENDING);
    EXPECT_EQ(refused->Information(), 0x77u) << "left as it came";
    EXPECT_EQ(AtPdo(IRP_MJ_SYSTEM_CONTROL), 1u) << "the PDO saw only the first";
    auto internal = Request(IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE);
    EXPECT_EQ(internal->Send(), STATUS_DELETE_PENDING);
    EXPECT_EQ(internal->Status(), STATUS_DELETE_PENDING);
}

} // namespace
