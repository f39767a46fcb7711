#include "termios_line.h"

namespace korvaxsim {

using namespace win32;

namespace {

struct SpeedRate {
    speed_t speed;
    DWORD rate;
};

constexpr SpeedRate Speeds[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

} // namespace

std::optional<DWORD> BaudOfSpeed(speed_t speed) {
    for (const SpeedRate& entry : Speeds) {
        if (entry.speed == speed)
            return entry.rate;
    }
    return std::nullopt;
}

std::optional<speed_t> SpeedOfBaud(DWORD baud) {
    for (const SpeedRate& entry : Speeds) {
        if (entry.rate == baud)
            return entry.speed;
    }
    return std::nullopt;
}

std::optional<LineSettings> LineOfTermios(const termios& settings) {
    auto baud = BaudOfSpeed(cfgetospeed(&settings));
    if (!baud)
        return std::nullopt;
    LineSettings line;
    line.baudRate = *baud;
    switch (settings.c_cflag & CSIZE) {
    case CS5:
        line.byteSize = 5;
        break;
    case CS6:
        line.byteSize = 6;
        break;
    case CS7:
        line.byteSize = 7;
        break;
    default:
        line.byteSize = 8;
        break;
    }
    if (!(settings.c_cflag & PARENB))
        line.parity = NOPARITY;
    else if (settings.c_cflag & CMSPAR)
        line.parity = (settings.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    else
        line.parity = (settings.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    line.stopBits = (settings.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    line.rtsCts = (settings.c_cflag & CRTSCTS) != 0;
    line.xonXoffOut = (settings.c_iflag & IXON) != 0;
    line.xonXoffIn = (settings.c_iflag & IXOFF) != 0;
    return line;
}

bool ApplyLineToTermios(const LineSettings& line, termios* settings) {
    auto speed = SpeedOfBaud(line.baudRate);
    if (!speed)
        return false;
    cfsetispeed(settings, *speed);
    cfsetospeed(settings, *speed);
    settings->c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
    switch (line.byteSize) {
    case 5:
        settings->c_cflag |= CS5;
        break;
    case 6:
        settings->c_cflag |= CS6;
        break;
    case 7:
        settings->c_cflag |= CS7;
        break;
    default:
        settings->c_cflag |= CS8;
        break;
    }
    switch (line.parity) {
    case ODDPARITY:
        settings->c_cflag |= PARENB | PARODD;
        break;
    case EVENPARITY:
        settings->c_cflag |= PARENB;
        break;
    case MARKPARITY:
        settings->c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case SPACEPARITY:
        settings->c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    if (line.stopBits == TWOSTOPBITS)
        settings->c_cflag |= CSTOPB;
    settings->c_cflag =
        line.rtsCts ? (settings->c_cflag | CRTSCTS) : (settings->c_cflag & ~CRTSCTS);
    settings->c_iflag &= ~(IXON | IXOFF);
    settings->c_iflag |= (line.xonXoffOut ? IXON : 0) | (line.xonXoffIn ? IXOFF : 0);
    return true;
}

} // namespace korvaxsim
