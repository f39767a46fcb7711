// Talking AT commands to the modem through a port, as a dialer does: send a
// command line, collect what comes back until the final result code.
#pragma once

#include "port.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace korvaxsim {

// The modem's answer to one command.
struct Answer {
    // Information text lines (ATI's identification, +CSQ: ...), without the echo.
    std::vector<std::string> lines;
    // OK, ERROR, CONNECT 3100000, NO CARRIER, BUSY, NO ANSWER, NO DIALTONE.
    std::string result;
    // Everything received for it, echo included.
    std::string raw;

    bool Ok() const { return result == "OK"; }
    bool Connected() const { return result.rfind("CONNECT", 0) == 0; }
};

// OK, ERROR, CONNECT[ <rate>], NO CARRIER, BUSY, NO ANSWER, NO DIALTONE.
bool IsFinalResult(const std::string& line);

// The answer in `received` once its final result code line has fully arrived
// (ended by CR LF); nullopt while it has not. The lines are split at CR and LF,
// empty ones dropped; a first line equal to `echo` is the modem's echo.
std::optional<Answer> ParseAnswer(const std::string& received, const std::string& echo);

class Dialer {
  public:
    explicit Dialer(Port& port) : port_(port) {}

    // Sends "<command>\r" and waits for the final result code; throws Failure
    // when none comes within `limit`.
    Answer Command(const std::string& command, std::chrono::milliseconds limit);
    // Waits for a final result code to what was sent already (after +++, the
    // echo of the escape itself comes first).
    Answer Await(const std::string& echo, std::chrono::milliseconds limit);

  private:
    Port& port_;
};

} // namespace korvaxsim
