// The notification reader's length rule: a SERIAL_STATE notification is decoded
// once it holds the UART state's low byte (byte 8); a shorter one is ignored
// rather than decoded from an earlier transfer's bytes.
#include <driver/usb/usb.h>
#include <tests/support/open_port.h>

namespace {

using korvax_test::OpenPortTest;

class NotificationTest : public OpenPortTest {
  protected:
    // The reader's transfer comes back as at close.
    void TearDown() override {
        EndReaderAsAtClose(context_->InterruptInPipe);
        OpenPortTest::TearDown();
    }

    void Notify(UCHAR state, size_t length) {
        std::vector<uint8_t> notification = {0xA1, 0x20, 0, 0, 0, 0, 2, 0, state, 0};
        notification.resize(length);
        pdo_->SendInterrupt(notification);
        kx::DrainDispatchQueue();
    }
};

// Each row: the buffer holds state 0x00 from a full notification, the status is
// set to DSR alone, then a notification of carrier and DSR arrives cut to length.
TEST_F(NotificationTest, ANotificationIsDecodedOnceItHoldsTheStateByte) {
    const struct {
        size_t length;
        USHORT status;
    } table[] = {
        {8, 0x0020},  // ignored: neither the old state byte nor the new
        {9, 0x00B0},  // decoded: DCD, DSR and CTS
        {10, 0x00B0}, // the full notification
    };
    StartInterruptRead(context_);
    for (const auto& row : table) {
        SCOPED_TRACE(row.length);
        Notify(0x00, 10);
        context_->ModemStatus = 0x0020;
        Notify(0x03, row.length);
        EXPECT_EQ(context_->ModemStatus, row.status);
    }
    EXPECT_EQ(context_->DeviceLostMark, 0u);
}

} // namespace
