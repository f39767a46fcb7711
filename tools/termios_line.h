// Between a Linux terminal's settings and a COM port's: what a serial program sets
// on the pseudo-terminal (speed, character size, parity, stop bits, flow control) as the
// SetCommState that korvaxsim pty sends for it.
#pragma once

#include "port.h"

#include <termios.h>

#include <optional>

namespace korvaxsim {

// B9600 -> 9600, ...; nullopt for B0 (hang up) and speeds it does not know.
std::optional<win32::DWORD> BaudOfSpeed(speed_t speed);
// 9600 -> B9600; nullopt when termios has no constant for the rate.
std::optional<speed_t> SpeedOfBaud(win32::DWORD baud);

// The line settings of a termios; the output speed counts (B0: nullopt, a hang up).
std::optional<LineSettings> LineOfTermios(const termios& settings);
// Writes the line settings into a termios (speed, CSIZE, PARENB/PARODD/CMSPAR,
// CSTOPB, CRTSCTS, IXON, IXOFF); false when the rate has no termios speed.
bool ApplyLineToTermios(const LineSettings& line, termios* settings);

} // namespace korvaxsim
