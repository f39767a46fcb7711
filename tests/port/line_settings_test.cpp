// Line settings: the baud-rate and line-control checks, what reaches the modem as
// SET_LINE_CODING, values kept when the modem refuses them, the stored-only
// settings, and the port properties byte for byte as applications read them.
#include <tests/support/open_port.h>

#include <driver/port/line_settings.h>

#include <iterator>

namespace {

using korvax_test::IoctlResult;
using korvax_test::OpenPortTest;

constexpr UCHAR SetLineCodingRequest = 0x20;

class LineSettingsTest : public OpenPortTest {
  protected:
    // The data stages of the SET_LINE_CODING requests the modem received, in order.
    std::vector<std::vector<uint8_t>> LineCodings() const {
        std::vector<std::vector<uint8_t>> codings;
        for (const auto& record : pdo_->UrbRecords()) {
            if (record.function == URB_FUNCTION_CLASS_INTERFACE && record.setup &&
                record.setup->bRequest == SetLineCodingRequest)
                codings.push_back(record.data);
        }
        return codings;
    }

    void FailNextClassRequest() {
        pdo_->InjectFault(sim::UrbFault::Stall({URB_FUNCTION_CLASS_INTERFACE, std::nullopt}));
    }

    NTSTATUS SetLineControl(UCHAR stopBits, UCHAR parity, UCHAR wordLength) {
        SERIAL_LINE_CONTROL line{stopBits, parity, wordLength};
        return Set(IOCTL_SERIAL_SET_LINE_CONTROL, line).iosb.Status;
    }
};

// SET_LINE_CODING's seven bytes (CDC PSTN): dwDTERate little-endian, bCharFormat
// (0 one stop bit, 1 one and a half, 2 two), bParityType (0 none, 1 odd, 2 even,
// 3 mark, 4 space), bDataBits.
std::vector<uint8_t> Coding(ULONG rate, UCHAR stopBits, UCHAR parity, UCHAR dataBits) {
    return {uint8_t(rate),
            uint8_t(rate >> 8),
            uint8_t(rate >> 16),
            uint8_t(rate >> 24),
            stopBits,
            parity,
            dataBits};
}

// The port's rates: those of COMMPROP's SERIAL_BAUD_* bits from 300 to 57600 but
// 56000 (BAUD_1800 and BAUD_7200 included), Win32's CBR_115200 and CBR_128000, then
// 230400 and 460800. One line coding each, with the stored line control in CDC's
// codes: bCharFormat 1 for 1.5 stop bits, bParityType 3 for mark.
TEST_F(LineSettingsTest, EverySupportedRateIsStoredAndSentWithTheLineControl) {
    const ULONG rates[] = {300,   600,   1200,  1800,  2400,   4800,   7200,   9600,
                           14400, 19200, 38400, 57600, 115200, 128000, 230400, 460800};
    context_->StopBits = STOP_BITS_1_5;
    context_->Parity = MARK_PARITY;
    context_->DataBits = 7;
    for (ULONG rate : rates) {
        IoctlResult result = Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{rate});
        EXPECT_EQ(result.iosb.Status, STATUS_SUCCESS) << rate;
        EXPECT_EQ(result.iosb.Information, 0u);
        EXPECT_EQ(Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, rate);
        auto codings = LineCodings();
        ASSERT_FALSE(codings.empty());
        EXPECT_EQ(codings.back(), Coding(rate, 1, 3, 7)) << rate;
    }
    EXPECT_EQ(LineCodings().size(), std::size(rates));
}

// Rates just beside the supported ones, the ones the properties announce but the
// port refuses (75, 110, 134, 150, 56000), and the extremes.
TEST_F(LineSettingsTest, RatesOutsideTheTableAreRefusedAndNothingIsSent) {
    const ULONG refused[] = {0,     75,    110,    134,    150,    299,    301,    56000,
                             57601, 76800, 128001, 230399, 460799, 460801, 921600, 0xFFFFFFFF};
    for (ULONG rate : refused) {
        EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{rate}).iosb.Status,
                  STATUS_INVALID_PARAMETER)
            << rate;
        EXPECT_FALSE(IsSupportedBaudRate(rate)) << rate;
    }
    EXPECT_EQ(context_->BaudRate, 460800u);
    EXPECT_TRUE(LineCodings().empty());
}

TEST_F(LineSettingsTest, RefusedLineCodingFailsTheRequestButKeepsTheNewValues) {
    FailNextClassRequest();
    IoctlResult result = Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{9600});
    EXPECT_EQ(result.iosb.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(result.iosb.Information, 0u);
    EXPECT_EQ(Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 9600u);

    FailNextClassRequest();
    EXPECT_EQ(SetLineControl(STOP_BIT_1, EVEN_PARITY, 7), STATUS_UNSUCCESSFUL);
    SERIAL_LINE_CONTROL line = Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL);
    EXPECT_EQ(line.StopBits, STOP_BIT_1);
    EXPECT_EQ(line.Parity, EVEN_PARITY);
    EXPECT_EQ(line.WordLength, 7);

    // The next successful request carries everything that was stored.
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{19200}).iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(LineCodings().back(), Coding(19200, 0, 2, 7));
}

TEST_F(LineSettingsTest, LineControlOutsideItsRangesIsRefusedAndNothingIsStored) {
    const SERIAL_LINE_CONTROL refused[] = {
        {STOP_BIT_1, NO_PARITY, 4},   {STOP_BIT_1, NO_PARITY, 9}, {STOP_BIT_1, NO_PARITY, 0},
        {STOP_BIT_1, NO_PARITY, 255}, {3, NO_PARITY, 8},          {255, NO_PARITY, 8},
        {STOP_BIT_1, 5, 8},           {STOP_BIT_1, 255, 8},       {3, 5, 4}};
    for (const auto& line : refused) {
        EXPECT_EQ(SetLineControl(line.StopBits, line.Parity, line.WordLength),
                  STATUS_INVALID_PARAMETER)
            << int(line.StopBits) << "/" << int(line.Parity) << "/" << int(line.WordLength);
    }
    EXPECT_EQ(context_->StopBits, STOP_BITS_2);
    EXPECT_EQ(context_->Parity, NO_PARITY);
    EXPECT_EQ(context_->DataBits, 8);
    EXPECT_TRUE(LineCodings().empty());
    // The ends of the ranges are in them.
    ASSERT_EQ(SetLineControl(STOP_BITS_2, SPACE_PARITY, 5), STATUS_SUCCESS);
    EXPECT_EQ(LineCodings().back(), Coding(460800, 2, 4, 5));
}

TEST_F(LineSettingsTest, HandFlowKeepsTheFlagsButNotTheLimitsAndSendsNothing) {
    SERIAL_HANDFLOW request{SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 100,
                            200};
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, request).iosb.Status, STATUS_SUCCESS);
    IoctlResult result = Ioctl(IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, 16);
    EXPECT_EQ(result.iosb.Information, 16u);
    const ULONG expected[4] = {SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 0,
                               0};
    EXPECT_EQ(0, std::memcmp(result.output.data(), expected, 16));
    EXPECT_TRUE(pdo_->UrbRecords().empty()) << "neither line coding nor control lines";
}

// Each field at its offset, little-endian, as an application's COMMPROP sees it.
TEST_F(LineSettingsTest, PropertiesAreTheConstantSixtyFourBytes) {
    const uint8_t expected[64] = {64,   0,    2,    0,    // PacketLength, PacketVersion
                                  1,    0,    0,    0,    // ServiceMask: SERIAL_SP_SERIALCOMM
                                  0,    0,    0,    0,    // Reserved1
                                  0,    0,    0,    0,    // MaxTxQueue
                                  0,    0,    0,    0,    // MaxRxQueue
                                  0,    0,    0,    0x10, // MaxBaud: SERIAL_BAUD_USER
                                  1,    0,    0,    0,    // ProvSubType: SERIAL_SP_RS232
                                  0xCF, 0,    0,    0,    // ProvCapabilities
                                  0x7F, 0,    0,    0,    // SettableParams
                                  0xFF, 0xFF, 0x07, 0x10, // SettableBaud
                                  0x0F, 0,                // SettableData
                                  0x07, 0x1F,             // SettableStopParity
                                  0,    0,    0,    0,    // CurrentTxQueue
                                  0,    0xA0, 0x0F, 0,    // CurrentRxQueue: 1,024,000
                                  0,    0,    0,    0,    // ProvSpec1
                                  0,    0,    0,    0,    // ProvSpec2
                                  0,    0,    0,    0};   // ProvChar and the rest
    context_->BaudRate = 300;
    IoctlResult result = Ioctl(IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, 64);
    EXPECT_EQ(result.iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.iosb.Information, 64u);
    EXPECT_EQ(result.output, std::vector<uint8_t>(expected, expected + 64));

    // Whatever the buffer held before, all 64 bytes are written.
    std::vector<uint8_t> dirty(64, 0xCC);
    FillCommProperties(context_, reinterpret_cast<PSERIAL_COMMPROP>(dirty.data()));
    EXPECT_EQ(dirty, std::vector<uint8_t>(expected, expected + 64));
}

} // namespace
