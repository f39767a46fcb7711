// A dial-up session as a dialer runs it against the modem model: set the line,
// raise DTR, talk AT commands, dial, exchange data, escape and hang up.
#include "scenario.h"

#include <sim/modem.h>

namespace scenario {
namespace {

class ModemSession : public PortTest {
  protected:
    bool UseModem() const override { return true; }

    void SetUp() override {
        PortTest::SetUp();
        port_ = Open(FILE_FLAG_OVERLAPPED);
        ASSERT_NE(port_, INVALID_HANDLE_VALUE);
        // Reads return at once with whatever has arrived.
        COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(port_, &timeouts));
    }
    void TearDown() override {
        if (port_ != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(port_));
        }
    }

    void Write(const std::string& text) {
        Overlapped write;
        DWORD written = 0;
        if (!WriteFile(port_, text.data(), static_cast<DWORD>(text.size()), &written,
                       write.get())) {
            ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        }
        ASSERT_TRUE(GetOverlappedResult(port_, write.get(), &written, TRUE));
        EXPECT_EQ(written, text.size());
        // The modem's answer travels back on bulk-in.
        world_.Settle();
    }

    // Everything that has arrived.
    std::string ReadAll() {
        std::string text;
        for (;;) {
            char buffer[256];
            Overlapped read;
            DWORD count = 0;
            if (!ReadFile(port_, buffer, sizeof buffer, &count, read.get())) {
                EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
                EXPECT_TRUE(GetOverlappedResult(port_, read.get(), &count, TRUE));
            }
            if (count == 0)
                return text;
            text.append(buffer, count);
        }
    }

    void StartWait(Overlapped& wait, DWORD* mask) {
        ASSERT_FALSE(WaitCommEvent(port_, mask, wait.get())) << "events pending: " << *mask;
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    }

    bool CarrierDetected() {
        DWORD status = 0;
        EXPECT_TRUE(GetCommModemStatus(port_, &status));
        return (status & MS_RLSD_ON) != 0;
    }

    HANDLE port_ = INVALID_HANDLE_VALUE;
};

TEST_F(ModemSession, DialExchangeDataAndHangUp) {
    sim::Modem& modem = *modem_->Model();
    DCB dcb;
    ASSERT_TRUE(GetCommState(port_, &dcb));
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    ASSERT_TRUE(SetCommState(port_, &dcb));
    EXPECT_EQ(modem.LineCoding(), (sim::CdcLineCoding{115200, 0, 0, 8}));
    ASSERT_TRUE(EscapeCommFunction(port_, SETDTR));
    EXPECT_TRUE(modem.Dtr());
    world_.Settle();
    EXPECT_EQ(ReadAll(), "");

    Write("AT\r");
    EXPECT_EQ(ReadAll(), "AT\r\r\nOK\r\n");

    // Dial: the carrier comes up with the connection.
    ASSERT_TRUE(SetCommMask(port_, EV_RLSD));
    Overlapped carrier;
    DWORD mask = 0;
    StartWait(carrier, &mask);
    Write("ATD#777\r");
    EXPECT_EQ(ReadAll(), "ATD#777\r");
    EXPECT_FALSE(carrier.Done());
    kx::AdvanceTime(2 * sim::HundredNsPerSecond);
    world_.Settle();
    DWORD transferred = 0;
    ASSERT_TRUE(GetOverlappedResult(port_, carrier.get(), &transferred, TRUE));
    EXPECT_EQ(mask, EV_RLSD);
    EXPECT_TRUE(CarrierDetected());
    EXPECT_EQ(ReadAll(), "\r\nCONNECT 3100000\r\n");
    EXPECT_TRUE(modem.InDataMode());

    // Data both ways: the modem echoes what it gets, and sends on its own.
    Write("ping");
    EXPECT_EQ(ReadAll(), "ping");
    modem.SendData(Bytes("pong"));
    world_.Settle();
    EXPECT_EQ(ReadAll(), "pong");
    EXPECT_EQ(modem.Received(), Bytes("ping"));

    // Escape: a second of silence, +++, a second of silence.
    kx::AdvanceTime(sim::HundredNsPerSecond);
    Write("+++");
    EXPECT_EQ(ReadAll(), "+++");
    kx::AdvanceTime(sim::HundredNsPerSecond);
    world_.Settle();
    EXPECT_EQ(ReadAll(), "\r\nOK\r\n");
    EXPECT_FALSE(modem.InDataMode());
    EXPECT_TRUE(CarrierDetected());

    // Hang up: the carrier drops.
    StartWait(carrier, &mask);
    Write("ATH\r");
    ASSERT_TRUE(GetOverlappedResult(port_, carrier.get(), &transferred, TRUE));
    EXPECT_EQ(mask, EV_RLSD);
    EXPECT_FALSE(CarrierDetected());
    EXPECT_EQ(ReadAll(), "ATH\r\r\nOK\r\n");
    EXPECT_FALSE(modem.Connected());

    // Closing drops DTR and RTS.
    ASSERT_TRUE(CloseHandle(port_));
    port_ = INVALID_HANDLE_VALUE;
    EXPECT_FALSE(modem.Dtr());
    EXPECT_FALSE(modem.Rts());
}

} // namespace
} // namespace scenario
