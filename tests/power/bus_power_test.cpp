// The modem PDO's check that the power tests lean on when they find no finding: a
// URB submitted while that same URB is still outstanding (as a reader restarted
// after a sleep that did not end it would be) is reported and refused.
#include <support/open_port.h>

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
    URB urb{};
    urb.UrbHeader.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.UrbBulkOrInterruptTransfer.PipeHandle = pdo.BulkInPipe();
    urb.UrbBulkOrInterruptTransfer.TransferFlags =
        USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    urb.UrbBulkOrInterruptTransfer.TransferBufferLength = 64;
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

} // namespace
