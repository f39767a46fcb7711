// The modem PDO as the power tests lean on it: a URB submitted while that same URB
// is still outstanding (as a reader restarted after a sleep that did not end it
// would be) is reported and refused; and while the PDO is in D3 its port is
// suspended, so every URB that needs the device waits for D0 or fails at once.
#include "power_support.h"

#include <support/open_port.h>
#include <tests/sim/host_urb.h>

#include <gtest/gtest.h>

namespace {

using korvax_test::HeldRequest;

// A URB on a request of the test's own, sent straight to the PDO.
std::unique_ptr<HeldRequest> Submit(PDEVICE_OBJECT pdo, URB* urb) {
    auto request = HeldRequest::Other(pdo, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(request->Irp());
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    return request;
}

TEST(UrbTwiceTest, AUrbSubmittedWhileOutstandingIsAFindingAndIsRefusedUntouched) {
    kx::Kernel kernel;
    sim::ParentBus bus;
    sim::ModemPdo& pdo = bus.CreateModemPdo();
    std::vector<uint8_t> buffer(64);
    URB urb = sim_test::BulkUrb(pdo.BulkInPipe(),
                                USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 64);
    urb.UrbBulkOrInterruptTransfer.TransferBuffer = buffer.data();

    auto first = Submit(pdo.Device(), &urb);
    ASSERT_EQ(first->Send(), STATUS_PENDING);
    kx::VerifierCapture capture;
    auto again = Submit(pdo.Device(), &urb);
    EXPECT_EQ(again->Send(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(again->Status(), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(capture.Count(kx::Rule::UrbInFlightTwice), 1u);
    EXPECT_EQ(pdo.UrbRecords().size(), 1u);
    EXPECT_EQ(urb.UrbHeader.Status, 0) << "the outstanding transfer's URB is left alone";

    // The first goes on undisturbed.
    pdo.SendBulkIn({5});
    ASSERT_TRUE(first->WaitCompleted());
    EXPECT_EQ(first->Status(), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 1u);
    EXPECT_EQ(buffer[0], 5);
}

// A pipe request (abort, reset) on a request of the test's own.
struct PipeUrb {
    URB urb{};
    std::unique_ptr<HeldRequest> request;
    PipeUrb(sim::ModemPdo& pdo, USHORT function, USBD_PIPE_HANDLE pipe) {
        urb.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
        urb.UrbHeader.Function = function;
        urb.UrbPipeRequest.PipeHandle = pipe;
        request = Submit(pdo.Device(), &urb);
    }
};

TEST(SuspendedPortTest, WhatNeedsTheDeviceWaitsForD0OrFailsAtOnceAndAnAbortActsAtOnce) {
    for (sim::LowPowerUrbs mode : {sim::LowPowerUrbs::HoldUntilD0, sim::LowPowerUrbs::FailAtOnce}) {
        bool hold = mode == sim::LowPowerUrbs::HoldUntilD0;
        SCOPED_TRACE(hold ? "hold" : "fail");
        kx::Kernel kernel;
        sim::ParentBus bus;
        sim::PdoOptions options;
        options.lowPowerUrbs = mode;
        sim::ModemPdo& pdo = bus.CreateModemPdo(options);
        PipeUrb atD0(pdo, URB_FUNCTION_RESET_PIPE, pdo.BulkInPipe()); // answered at once
        ASSERT_EQ(atD0.request->Send(), STATUS_PENDING);
        ASSERT_TRUE(atD0.request->WaitCompleted());
        std::vector<uint8_t> buffer(64);
        URB in = sim_test::BulkUrb(pdo.InterruptInPipe(),
                                   USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 16);
        in.UrbBulkOrInterruptTransfer.TransferBuffer = buffer.data();
        auto reader = Submit(pdo.Device(), &in);
        ASSERT_EQ(reader->Send(), STATUS_PENDING);

        ASSERT_EQ(power_test::RequestDevicePower(pdo.Device(), IRP_MN_SET_POWER, PowerDeviceD3),
                  STATUS_SUCCESS);
        PipeUrb reset(pdo, URB_FUNCTION_RESET_PIPE, pdo.BulkOutPipe());
        URB classRequest{};
        classRequest.UrbHeader.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
        classRequest.UrbHeader.Function = URB_FUNCTION_CLASS_INTERFACE;
        classRequest.UrbControlVendorClassRequest.Request = 0x22; // SET_CONTROL_LINE_STATE
        auto control = Submit(pdo.Device(), &classRequest);
        reset.request->Send();
        control->Send();
        pdo.SendInterrupt({1, 2});
        if (hold) {
            EXPECT_EQ(pdo.PowerHeldCount(), 2u);
            EXPECT_FALSE(reset.request->WaitCompleted(std::chrono::milliseconds(0)));
            EXPECT_FALSE(control->WaitCompleted(std::chrono::milliseconds(0)));
        } else {
            for (auto* request : {reset.request.get(), control.get()}) {
                ASSERT_TRUE(request->WaitCompleted());
                EXPECT_EQ(request->Status(), STATUS_UNSUCCESSFUL);
            }
            EXPECT_EQ(reset.urb.UrbHeader.Status, USBD_STATUS_DEV_NOT_RESPONDING);
            EXPECT_EQ(classRequest.UrbHeader.Status, USBD_STATUS_DEV_NOT_RESPONDING);
        }
        EXPECT_FALSE(reader->WaitCompleted(std::chrono::milliseconds(0)))
            << "an outstanding transfer stays where it is, data or not";

        PipeUrb abort(pdo, URB_FUNCTION_ABORT_PIPE, pdo.BulkInPipe());
        abort.request->Send();
        ASSERT_TRUE(abort.request->WaitCompleted()) << "the host controller's side: at once";
        EXPECT_EQ(abort.request->Status(), STATUS_SUCCESS);

        ASSERT_EQ(power_test::RequestDevicePower(pdo.Device(), IRP_MN_SET_POWER, PowerDeviceD0),
                  STATUS_SUCCESS);
        ASSERT_TRUE(reader->WaitCompleted());
        EXPECT_EQ(reader->Status(), STATUS_SUCCESS);
        EXPECT_EQ(in.UrbBulkOrInterruptTransfer.TransferBufferLength, 2u);
        if (hold) {
            ASSERT_TRUE(reset.request->WaitCompleted());
            ASSERT_TRUE(control->WaitCompleted());
            EXPECT_EQ(reset.request->Status(), STATUS_SUCCESS);
            EXPECT_EQ(control->Status(), STATUS_SUCCESS);
        }
    }
}

} // namespace
