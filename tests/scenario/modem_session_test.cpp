// A dial-up session as a dialer runs it against the modem model: set the line,
// raise DTR, talk AT commands, dial, exchange data, escape and hang up.
#include "scenario.h"

#include <sim/modem.h>

#include <algorithm>

namespace scenario {
namespace {

class ModemSession : public OpenedPortTest {
  protected:
    bool UseModem() const override { return true; }

    void SetUp() override {
        OpenedPortTest::SetUp();
        // Reads return at once with whatever has arrived.
        COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(port_, &timeouts));
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

    // Dials with DTR up and reads away the echo and CONNECT: the modem then echoes
    // every byte it receives.
    void Connect() {
        ASSERT_TRUE(EscapeCommFunction(port_, SETDTR));
        Write("ATD#777\r");
        kx::AdvanceTime(2 * sim::HundredNsPerSecond);
        world_.Settle();
        ASSERT_TRUE(modem_->Model()->InDataMode());
        EXPECT_EQ(ReadAll(), "ATD#777\r\r\nCONNECT 3100000\r\n");
    }

    // The events the port holds: a wait that ends at once, or one that pends and
    // is ended empty by setting the mask again.
    DWORD TakeEvents(DWORD eventMask) {
        Overlapped wait;
        DWORD mask = 0;
        DWORD transferred = 0;
        if (!WaitCommEvent(port_, &mask, wait.get())) {
            EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
            EXPECT_TRUE(SetCommMask(port_, eventMask));
            EXPECT_TRUE(GetOverlappedResult(port_, wait.get(), &transferred, TRUE));
        }
        return mask;
    }
};

// A file's bytes go out through the modem's echo in pieces that do not match the bulk
// chunks; every piece ends the application's wait with TXEMPTY and RXCHAR, and what
// comes back is the file byte for byte.
TEST_F(ModemSession, AFileSentThroughTheEchoComesBackIntact) {
    Connect();
    constexpr size_t FileSize = 150000;
    constexpr size_t PieceSize = 10000;
    std::vector<uint8_t> sent(FileSize);
    uint32_t state = 0x2545F491;
    for (uint8_t& byte : sent) {
        state = state * 1664525 + 1013904223;
        byte = static_cast<uint8_t>(state >> 24);
    }

    const DWORD events = EV_TXEMPTY | EV_RXCHAR;
    ASSERT_TRUE(SetCommMask(port_, events));
    std::string received;
    size_t pieces = 0;
    for (size_t at = 0; at < sent.size(); at += PieceSize, ++pieces) {
        Overlapped wait;
        DWORD mask = 0;
        ASSERT_FALSE(WaitCommEvent(port_, &mask, wait.get())) << "events pending: " << mask;
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        Write(std::string(sent.begin() + at, sent.begin() + std::min(at + PieceSize, sent.size())));
        DWORD transferred = 0;
        ASSERT_TRUE(GetOverlappedResult(port_, wait.get(), &transferred, TRUE));
        DWORD rest = TakeEvents(events);
        EXPECT_EQ(mask | rest, events) << "piece " << pieces;
        received += ReadAll();
    }
    EXPECT_EQ(pieces, 15u);
    ASSERT_EQ(received.size(), sent.size());
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), received.begin(),
                           [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); }));
    EXPECT_EQ(modem_->Model()->Received(), sent);
}

} // namespace
} // namespace scenario
