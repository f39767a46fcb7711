// Line settings, modem-control lines and the port's other settings as an
// application sets them, and what the modem receives for them.
#include "scenario.h"

#include <kx/ntddser.h>

namespace scenario {
namespace {

class LineSettings : public OpenedPortTest {
  protected:
    void SetUp() override {
        OpenedPortTest::SetUp();
        world_.Settle();
        device_->Clear();
    }
    DWORD OpenFlags() const override { return 0; }

    DCB State() {
        DCB dcb;
        EXPECT_TRUE(GetCommState(port_, &dcb));
        return dcb;
    }
};

TEST_F(LineSettings, SetCommStateSendsTheRequestsWindowsSendsForADcb) {
    DCB dcb = State();
    dcb.BaudRate = CBR_57600;
    dcb.StopBits = ONESTOPBIT;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    ASSERT_TRUE(SetCommState(port_, &dcb));
    // SET_BAUD_RATE (a line coding with the new rate and the old stop bits), SET_RTS,
    // SET_DTR, SET_LINE_CONTROL (the final line coding); the characters and the
    // handshake reach no modem.
    std::vector<StandInDevice::Control> controls = device_->Controls();
    ASSERT_EQ(controls.size(), 4u);
    EXPECT_EQ(controls[0].setup.bRequest, SetLineCodingRequest);
    EXPECT_EQ(controls[0].data, std::vector<uint8_t>({0x00, 0xE1, 0x00, 0x00, 0x02, 0x00, 0x08}));
    EXPECT_EQ(controls[1].setup.bRequest, SetControlLineStateRequest);
    EXPECT_NE(controls[1].setup.wValue & 0x2, 0); // RTS
    EXPECT_EQ(controls[2].setup.bRequest, SetControlLineStateRequest);
    EXPECT_NE(controls[2].setup.wValue & 0x1, 0); // DTR
    EXPECT_EQ(controls[3].setup.bRequest, SetLineCodingRequest);
    EXPECT_EQ(controls[3].data, std::vector<uint8_t>({0x00, 0xE1, 0x00, 0x00, 0x00, 0x00, 0x08}));

    // DTR disabled and RTS under handshake: CLR_DTR and no RTS request.
    device_->Clear();
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    ASSERT_TRUE(SetCommState(port_, &dcb));
    std::vector<StandInDevice::Control> lines = device_->Controls(SetControlLineStateRequest);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].setup.wValue & 0x1, 0);
    DCB now = State();
    EXPECT_EQ(now.fDtrControl, DTR_CONTROL_DISABLE);
    EXPECT_EQ(now.fRtsControl, RTS_CONTROL_HANDSHAKE);
}

// Each function, the line bit it changes and whether it raises it.
TEST_F(LineSettings, EscapeCommFunctionRaisesAndDropsTheLines) {
    const struct {
        DWORD function;
        int bit;
        bool raised;
    } rows[] = {{SETDTR, 0x1, true}, {CLRDTR, 0x1, false}, {SETRTS, 0x2, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.function);
        device_->Clear();
        ASSERT_TRUE(EscapeCommFunction(port_, row.function));
        std::vector<StandInDevice::Control> lines = device_->Controls(SetControlLineStateRequest);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].setup.bmRequestType, 0x21);
        EXPECT_EQ(lines[0].setup.wLength, 0);
        EXPECT_EQ((lines[0].setup.wValue & row.bit) != 0, row.raised);
    }

    // Breaks are accepted and reach no modem; XON/XOFF and reset are refused.
    device_->Clear();
    EXPECT_TRUE(SetCommBreak(port_));
    EXPECT_TRUE(ClearCommBreak(port_));
    EXPECT_FALSE(EscapeCommFunction(port_, SETXON));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(EscapeCommFunction(port_, RESETDEV));
    EXPECT_FALSE(EscapeCommFunction(port_, 42));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(device_->Controls().empty());
}

} // namespace
} // namespace scenario
