// The modem model behind the bus, driven as a host drives it: AT commands on
// bulk-out, responses read from bulk-in, SERIAL_STATE notifications from
// interrupt-in, the escape's guard times and the carrier; time on the manual clock.
#include "host_urb.h"

#include <sim/modem.h>

#include <gtest/gtest.h>

#include <string>

namespace sim_test {
namespace {

using sim::UsbPipe;

constexpr LONGLONG Second = sim::HundredNsPerSecond;
constexpr USHORT Dtr = 0x01, Rts = 0x02;
const LONGLONG DialDelay = sim::ModemOptions{}.dialDelay;

Bytes ToBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes SerialState(uint8_t state) {
    return {0xA1, 0x20, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, state, 0x00};
}

// A CDC class request to interface 0 without a data stage.
URB ClassUrb(UCHAR request, USHORT value) {
    URB urb{};
    urb.UrbHeader.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    urb.UrbHeader.Function = URB_FUNCTION_CLASS_INTERFACE;
    urb.UrbControlVendorClassRequest.Request = request;
    urb.UrbControlVendorClassRequest.Value = value;
    return urb;
}

class ModemTest : public ::testing::Test {
  protected:
    void Write(const std::string& text) {
        HostUrb write(pdo_.Device(), BulkUrb(pdo_.BulkOutPipe(), 0, ULONG(text.size())),
                      ToBytes(text));
        ASSERT_EQ(write.Wait().status, STATUS_SUCCESS);
    }
    // Every transfer the device has ready on an IN pipe, one read each.
    std::vector<Bytes> Transfers(UsbPipe pipe) {
        std::vector<Bytes> transfers;
        ULONG length = pipe == UsbPipe::BulkIn ? 4096 : 16;
        for (;;) {
            HostUrb read(pdo_.Device(), BulkUrb(pdo_.PipeHandle(pipe), 3, length), Bytes(length));
            kx::DrainDispatchQueue();
            if (!read.Done())
                return transfers; // nothing more; the read is cancelled
            EXPECT_EQ(read.Wait().status, STATUS_SUCCESS);
            transfers.push_back(read.Received());
        }
    }
    std::string ReadText() {
        std::string all;
        for (const Bytes& transfer : Transfers(UsbPipe::BulkIn))
            all.append(transfer.begin(), transfer.end());
        return all;
    }
    std::vector<Bytes> Notifications() { return Transfers(UsbPipe::InterruptIn); }
    NTSTATUS SetControlLines(USHORT lines) {
        return HostUrb(pdo_.Device(), ClassUrb(0x22, lines)).Wait().status;
    }

    // DTR and RTS up, dialled and connected; the host has read up to CONNECT.
    void Connect() {
        ASSERT_EQ(SetControlLines(Dtr | Rts), STATUS_SUCCESS);
        Write("ATD#777\r");
        kx::AdvanceTime(DialDelay);
        ASSERT_TRUE(modem_.InDataMode());
        ReadText();
        Notifications();
    }
    // Silence, the escape characters, silence; the host has read up to OK.
    void Escape() {
        kx::AdvanceTime(Second);
        Write("+++");
        kx::AdvanceTime(Second);
        ASSERT_FALSE(modem_.InDataMode());
        ReadText();
    }

    kx::Kernel kernel_;
    sim::ParentBus bus_;
    sim::ModemPdo& pdo_ = bus_.CreateModemPdo();
    sim::Modem modem_{pdo_};
};

// Commands are echoed as they arrive until echo is off, and Z restores the echo;
// then the responses, without echo.
TEST_F(ModemTest, CommandsAreEchoedUntilEchoIsOffAndZRestoresItAndTheirResponses) {
    const std::string id = "\r\nKORVAX EV-DO Rev.A USB Modem\r\n", ok = "\r\nOK\r\n",
                      error = "\r\nERROR\r\n";
    const struct {
        std::string sent;
        std::string expected;
    } table[] = {
        {"A", "A"},
        {"T", "T"},
        {"\r", "\r" + ok},
        {"ATE0\r", "ATE0\r" + ok}, // the line is echoed before it runs
        {"AT\r", ok},
        {"ATZ\r", ok},
        {"at\r", "at\r" + ok},
        {"ATE0\r", "ATE0\r" + ok},
        {"ATI\r", id + ok},
        {"ATI+CSQ;+GMI\r", id + "\r\n+CSQ: 21,99\r\n\r\nKORVAX\r\n" + ok},
        {"ATS7=60S7?\r", "\r\n060\r\n" + ok},
        {"ATJ\r", error},
        {"ATI J\r", id + error},
        {"ATJ\bI\r", id + ok}, // backspace
        {"AT\r\n", ok},        // the line feed is no part of a line
        {"hello\r", ""},       // no AT, no answer
        {"AT\rAT\r", ok + ok},
        {"AT" + std::string(300, 'I') + "\r", error}, // too long
        // What dialers and modem managers send a CDMA modem: V.250's extended
        // commands in their action, read, test and set forms, and IS-707's queries.
        {"AT+GCAP\r", "\r\n+GCAP: +CIS707-A, +CIS-856, +FCLASS, +MS, +ES, +DS\r\n" + ok},
        {"ATQ0 V1 E1 S0=0 &C1 &D2 +FCLASS=0\r", ok}, // wvdial's default init
        {"ATE0\r", "ATE0\r" + ok},                   // E1 turned the echo on
        {"AT+IFC?;+IFC=?\r", "\r\n+IFC: 2,2\r\n\r\n+IFC: (0-2),(0-2)\r\n" + ok},
        {"AT+IFC=0,1;+IFC?\r", "\r\n+IFC: 0,1\r\n" + ok},
        {"AT+IFC=,2;+IFC?\r", "\r\n+IFC: 0,2\r\n" + ok}, // omitted: kept
        {"AT+IFC=3,0\r", error},
        {"AT+IFC=1,1,1\r", error},
        {"AT+FCLASS?;+FCLASS=?\r", "\r\n0\r\n\r\n0\r\n" + ok},
        {"AT+FCLASS=1\r", error},
        {"AT+CAD?\r", "\r\n+CAD: 1\r\n" + ok},
        {"AT+CSS?\r", "\r\n+CSS: 2, PA, 4139\r\n" + ok},
        {"AT+CRM=0;+CRM?;+CRM=?\r", "\r\n+CRM: 0\r\n\r\n+CRM: (0-2)\r\n" + ok},
        {"AT+CRM=3\r", error},
        {"AT+CAD=1\r", error}, // a query only
        {"AT+gmi;+GSN\r", "\r\nKORVAX\r\n\r\n0x9F3A21C7\r\n" + ok},
        {"AT+GMI?\r", error},
        {"ATZ\r", ok},
        {"ATE0\r", "ATE0\r" + ok},
        {"AT+IFC?;+CRM?\r", "\r\n+IFC: 2,2\r\n\r\n+CRM: 2\r\n" + ok}, // Z restores them
    };
    for (const auto& row : table) {
        Write(row.sent);
        EXPECT_EQ(ReadText(), row.expected) << row.sent;
    }
    std::vector<std::string> lines = modem_.CommandLines();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 5),
              (std::vector<std::string>{"AT", "ATE0", "AT", "ATZ", "at"}));
}

TEST_F(ModemTest, DialConnectsAfterTheDelayWithCarrierNotification) {
    SetControlLines(Dtr | Rts);
    Notifications();
    Write("ATD#777\r");
    EXPECT_EQ(ReadText(), "ATD#777\r");
    kx::AdvanceTime(DialDelay - 1);
    EXPECT_TRUE(modem_.Dialing());
    EXPECT_EQ(ReadText(), "");
    EXPECT_TRUE(Notifications().empty());
    kx::AdvanceTime(1);
    EXPECT_TRUE(modem_.Connected() && modem_.InDataMode() && modem_.Carrier());
    EXPECT_EQ(Notifications(), std::vector<Bytes>{SerialState(0x03)});
    EXPECT_EQ(ReadText(), "\r\nCONNECT 3100000\r\n");
}

// Escape characters without their guard times are data; with them the modem goes
// to command mode, even when they come split over transfers at one instant.
TEST_F(ModemTest, EscapeNeedsItsGuardTimesThenOnlineAgainThenHangUp) {
    Connect();
    // Each step: the time that passes, then the bytes sent.
    const std::vector<std::pair<LONGLONG, std::string>> attempts[] = {
        {{Second - 1, "+++"}},                // silence before one tick short
        {{Second, "+++"}, {Second - 1, "a"}}, // data before the guard time is up
        {{Second, "+"}, {Second, "++"}},      // a guard time between them
        {{Second, "++++"}},                   // four
        {{Second, "x+++"}},                   // right after data
    };
    std::string sent;
    for (const auto& attempt : attempts) {
        for (const auto& [time, text] : attempt) {
            kx::AdvanceTime(time);
            Write(text);
            sent += text;
        }
        kx::AdvanceTime(3 * Second);
        EXPECT_TRUE(modem_.InDataMode()) << attempt.back().second;
    }
    EXPECT_EQ(ReadText(), sent) << "every attempt was data, echoed";
    EXPECT_EQ(modem_.Received(), ToBytes(sent));

    kx::AdvanceTime(Second);
    Write("+++");
    EXPECT_EQ(ReadText(), "+++") << "the escape characters are data until the guard time";
    kx::AdvanceTime(Second - 1);
    EXPECT_TRUE(modem_.InDataMode());
    kx::AdvanceTime(1);
    EXPECT_EQ(ReadText(), "\r\nOK\r\n");
    EXPECT_FALSE(modem_.InDataMode());
    EXPECT_TRUE(modem_.Connected() && modem_.Carrier());
    EXPECT_TRUE(Notifications().empty());

    Write("ATD#777\r");
    EXPECT_EQ(ReadText(), "ATD#777\r\r\nERROR\r\n") << "already in a call";
    Write("ATO\r");
    EXPECT_EQ(ReadText(), "ATO\r\r\nCONNECT 3100000\r\n");
    EXPECT_TRUE(modem_.InDataMode());

    kx::AdvanceTime(Second);
    Write("+");
    Write("++");
    kx::AdvanceTime(Second);
    EXPECT_FALSE(modem_.InDataMode()) << "split over transfers at one instant";
    EXPECT_EQ(ReadText(), "+++\r\nOK\r\n");
    Write("ATH\r");
    EXPECT_EQ(ReadText(), "ATH\r\r\nOK\r\n");
    EXPECT_EQ(Notifications(), std::vector<Bytes>{SerialState(0x02)});
    EXPECT_FALSE(modem_.Connected() || modem_.Carrier());
    EXPECT_EQ(modem_.Received(), ToBytes(sent + "++++++"));
}

TEST_F(ModemTest, DtrDropOrLostCarrierEndsTheCall) {
    Connect();
    ASSERT_EQ(SetControlLines(Rts), STATUS_SUCCESS);
    EXPECT_EQ(ReadText(), "\r\nNO CARRIER\r\n");
    EXPECT_EQ(Notifications(), std::vector<Bytes>{SerialState(0x00)})
        << "carrier and DSR drop in one notification";
    EXPECT_FALSE(modem_.Connected());

    Connect();
    Escape();
    modem_.SetCarrier(false); // the far end hangs up while in command mode
    EXPECT_EQ(ReadText(), "\r\nNO CARRIER\r\n");
    EXPECT_EQ(Notifications(), std::vector<Bytes>{SerialState(0x02)});
    Write("ATO\r");
    EXPECT_EQ(ReadText(), "ATO\r\r\nNO CARRIER\r\n");
}

// A host that writes and does not read: once more than the modem's buffer (16 KiB)
// of echo waits unread, the next bulk-out transfer is NAKed and stays outstanding
// however long the host waits; once the host reads, it goes through, and every
// byte comes back in order.
TEST_F(ModemTest, EchoNaksBulkOutWhileItsBufferIsFullAndLosesNothing) {
    Connect();
    constexpr ULONG Chunk = 4096;
    Bytes sent;
    auto chunk = [&](size_t k) {
        Bytes bytes(Chunk);
        for (size_t i = 0; i < Chunk; ++i)
            bytes[i] = static_cast<uint8_t>((k * Chunk + i) * 7 % 251);
        sent.insert(sent.end(), bytes.begin(), bytes.end());
        return bytes;
    };
    for (size_t k = 0; k < 5; ++k) { // 20 KiB: past the buffer
        HostUrb write(pdo_.Device(), BulkUrb(pdo_.BulkOutPipe(), 0, Chunk), chunk(k));
        ASSERT_EQ(write.Wait().status, STATUS_SUCCESS) << "chunk " << k;
    }
    HostUrb held(pdo_.Device(), BulkUrb(pdo_.BulkOutPipe(), 0, Chunk), chunk(5));
    kx::AdvanceTime(10 * Second);
    kx::DrainDispatchQueue();
    EXPECT_FALSE(held.Done()) << "the modem takes data nobody reads";
    EXPECT_TRUE(modem_.HoldingBack());

    Bytes echoed;
    for (int round = 0; round < 2; ++round) {
        for (const Bytes& transfer : Transfers(UsbPipe::BulkIn))
            echoed.insert(echoed.end(), transfer.begin(), transfer.end());
        kx::AdvanceTime(Second / 10);
        kx::DrainDispatchQueue();
    }
    ASSERT_TRUE(held.Done());
    EXPECT_EQ(held.Wait().status, STATUS_SUCCESS);
    EXPECT_FALSE(modem_.HoldingBack());
    EXPECT_EQ(echoed, sent);
}

} // namespace
} // namespace sim_test
