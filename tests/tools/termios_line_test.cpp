// A terminal's settings as the COM port's line, both ways.
#include <tools/termios_line.h>

#include <gtest/gtest.h>

namespace tools_test {
namespace {

using namespace korvaxsim;

termios RawTermios() {
    termios settings{};
    cfmakeraw(&settings);
    return settings;
}

TEST(TermiosLine, EveryFormatRoundTrips) {
    for (win32::DWORD baud : {300u, 9600u, 115200u, 460800u}) {
        for (win32::BYTE bits = 5; bits <= 8; ++bits) {
            for (win32::BYTE parity = win32::NOPARITY; parity <= win32::SPACEPARITY; ++parity) {
                for (win32::BYTE stop : {win32::ONESTOPBIT, win32::TWOSTOPBITS}) {
                    LineSettings line{baud, bits, parity, stop};
                    termios settings = RawTermios();
                    ASSERT_TRUE(ApplyLineToTermios(line, &settings));
                    auto back = LineOfTermios(settings);
                    ASSERT_TRUE(back);
                    EXPECT_TRUE(*back == line)
                        << DescribeLine(line) << " came back as " << DescribeLine(*back);
                }
            }
        }
    }
}

TEST(TermiosLine, TheFlagsAreTheTerminalsOwn) {
    termios settings = RawTermios();
    ASSERT_TRUE(ApplyLineToTermios({9600, 7, win32::EVENPARITY, win32::TWOSTOPBITS}, &settings));
    EXPECT_EQ(settings.c_cflag & CSIZE, tcflag_t(CS7));
    EXPECT_NE(settings.c_cflag & PARENB, 0u);
    EXPECT_EQ(settings.c_cflag & PARODD, 0u);
    EXPECT_NE(settings.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(cfgetospeed(&settings), speed_t(B9600));
    EXPECT_EQ(DescribeLine(*LineOfTermios(settings)), "9600 7E2");

    // Flow control: CRTSCTS in the control flags, IXON and IXOFF in the input flags.
    LineSettings flow{115200, 8, win32::NOPARITY, win32::ONESTOPBIT};
    flow.rtsCts = true;
    flow.xonXoffIn = true;
    ASSERT_TRUE(ApplyLineToTermios(flow, &settings));
    EXPECT_NE(settings.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(settings.c_iflag & (IXON | IXOFF), tcflag_t(IXOFF));
    EXPECT_EQ(DescribeLine(*LineOfTermios(settings)), "115200 8N1 RTS/CTS XON/XOFF (in)");
}

} // namespace
} // namespace tools_test
