// Opening and closing the port as an application does: no open before the device
// has started, nothing sent to the modem by the open, and a close that lowers the
// lines, aborts the pipes, waits for the readers and ends the requests left; what
// one open, or a failed one, leaves for the next.
#include "scenario.h"

#include <kx/pnp.h>

namespace scenario {
namespace {

using OpenClose = PortTest;

// The open resets the pipes and starts the two readers, each with one transfer
// outstanding; the close ends the requests left, lowers the lines, aborts the
// pipes and waits for the readers, and is complete when it returns.
TEST_F(OpenClose, OpenResetsThePipesAndCloseEndsTheRequestsLowersTheLinesAndWaits) {
    size_t mark = UrbCount();
    HANDLE port = Open(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    world_.Settle();
    std::vector<sim::UrbRecord> urbs = UrbsFrom(mark);
    ASSERT_GE(urbs.size(), 5u);
    const sim::UsbPipe reset[] = {sim::UsbPipe::BulkIn, sim::UsbPipe::BulkOut,
                                  sim::UsbPipe::InterruptIn};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(urbs[i].function, URB_FUNCTION_RESET_PIPE) << i;
        EXPECT_EQ(urbs[i].pipe, reset[i]) << i;
    }
    EXPECT_EQ(modem_->Pdo().OutstandingTransfers(sim::UsbPipe::BulkIn), 1u);
    EXPECT_EQ(modem_->Pdo().OutstandingTransfers(sim::UsbPipe::InterruptIn), 1u);
    EXPECT_TRUE(device_->Controls().empty()) << "the open sent the modem something";

    COMMTIMEOUTS timeouts{0, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    Overlapped read, wait;
    char buffer[4];
    DWORD count = 0, mask = 0;
    EXPECT_FALSE(ReadFile(port, buffer, sizeof buffer, &count, read.get()));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(WaitCommEvent(port, &mask, wait.get()));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_TRUE(EscapeCommFunction(port, SETDTR));
    world_.Settle();
    device_->Clear();
    mark = UrbCount();

    EXPECT_TRUE(CloseHandle(port));
    // The cleanup ended both requests before the close went on.
    EXPECT_TRUE(read.Done());
    EXPECT_TRUE(wait.Done());
    EXPECT_FALSE(GetOverlappedResult(port, read.get(), &count, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(GetOverlappedResult(port, wait.get(), &count, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    // No settling: the close itself waited for every transfer the driver started.
    urbs = UrbsFrom(mark);
    ASSERT_EQ(urbs.size(), 4u);
    ASSERT_TRUE(urbs[0].setup.has_value());
    EXPECT_EQ(urbs[0].setup->bRequest, SetControlLineStateRequest);
    EXPECT_EQ(urbs[0].setup->wValue, 0);
    const sim::UsbPipe aborted[] = {sim::UsbPipe::InterruptIn, sim::UsbPipe::BulkIn,
                                    sim::UsbPipe::BulkOut};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(urbs[i + 1].function, URB_FUNCTION_ABORT_PIPE) << i;
        EXPECT_EQ(urbs[i + 1].pipe, aborted[i]) << i;
    }
    for (const sim::UrbRecord& urb : modem_->Pdo().UrbRecords())
        EXPECT_TRUE(urb.Completed()) << "URB function " << urb.function;
    EXPECT_EQ(modem_->Pdo().OutstandingTransfers(sim::UsbPipe::BulkIn), 0u);
    EXPECT_EQ(modem_->Pdo().OutstandingTransfers(sim::UsbPipe::InterruptIn), 0u);
    // The readers' last transfers ended as cancelled, before the close returned.
    size_t readers = 0;
    for (const sim::UrbRecord& urb : modem_->Pdo().UrbRecords()) {
        if (urb.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
            urb.direction == sim::UsbDirection::In && urb.status == STATUS_CANCELLED)
            ++readers;
    }
    EXPECT_EQ(readers, 2u);
    ASSERT_EQ(device_->Controls().size(), 1u);
    EXPECT_EQ(device_->Controls()[0].setup.wValue, 0);
    // And the close was complete: the port opens again.
    HANDLE again = Open();
    ASSERT_NE(again, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(again));
}

TEST_F(OpenClose, AnOpenBeforeTheDeviceHasStartedIsRefused) {
    sim::PlugOptions options;
    options.function = std::make_shared<StandInDevice>();
    options.portName = u"COM7";
    sim::PluggedModem& late = world_.Connect(options);
    auto openName = [](const std::string& name) {
        return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    };
    NTSTATUS started = world_.ArriveWithStartHeld(late, [&] {
        // Its names come with the start: the port name does not exist yet...
        EXPECT_EQ(openName("\\\\.\\COM7"), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
        // ...and the device itself refuses to open.
        ASSERT_NE(late.FunctionDevice(), nullptr);
        EXPECT_EQ(openName("\\\\.\\GLOBALROOT" + kx::ToUtf8(kx::DeviceName(late.FunctionDevice()))),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_NO_SYSTEM_RESOURCES);
    });
    EXPECT_EQ(started, STATUS_SUCCESS);
    HANDLE port = openName("\\\\.\\COM7");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(port));
}

// The time-outs set through one handle hold for the next; the line does not.
TEST_F(OpenClose, TheLineSettingsComeBackToTheirDefaultsAtTheNextOpenAndTheTimeoutsStay) {
    HANDLE port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS set{7, 11, 13, 17, 19};
    ASSERT_TRUE(SetCommTimeouts(port, &set));
    DCB dcb;
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = ONESTOPBIT;
    ASSERT_TRUE(SetCommState(port, &dcb));
    ASSERT_TRUE(CloseHandle(port));

    port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(GetCommState(port, &dcb));
    EXPECT_EQ(dcb.BaudRate, 460800u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_ENABLE);
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_ENABLE);
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, 0x13);
    COMMTIMEOUTS got{};
    ASSERT_TRUE(GetCommTimeouts(port, &got));
    EXPECT_EQ(std::memcmp(&got, &set, sizeof got), 0);
    EXPECT_TRUE(CloseHandle(port));
}

// The pipe reset fails: the open fails, and the port does not look open to the PnP
// queries, so the device can be removed in order.
TEST_F(OpenClose, AFailedPipeResetFailsTheOpenAndLeavesTheDeviceRemovable) {
    sim::UrbMatch reset;
    reset.function = URB_FUNCTION_RESET_PIPE;
    modem_->Pdo().InjectFault(
        sim::UrbFault::Fail(reset, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING));
    EXPECT_EQ(Open(FILE_FLAG_OVERLAPPED), INVALID_HANDLE_VALUE);
    HANDLE port = Open(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << "the failed open left the port taken";
    ASSERT_TRUE(CloseHandle(port));

    modem_->Pdo().InjectFault(
        sim::UrbFault::Fail(reset, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING));
    EXPECT_EQ(Open(FILE_FLAG_OVERLAPPED), INVALID_HANDLE_VALUE);
    EXPECT_EQ(kx::RemoveDevice(*modem_->Node()), STATUS_SUCCESS);
}

} // namespace
} // namespace scenario
