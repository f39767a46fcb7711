// korvaxsim's command line: a mode and its options.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvaxsim {

enum class Mode { Demo, Term, Pty };

struct Options {
    Mode mode = Mode::Demo;
    // The port the application opens.
    std::string port = "COM5";
    // The PortName the class installer gave the modem: the port that exists.
    std::string plugAs = "COM5";
    // demo: bytes sent (and echoed back) in the data phase.
    uint64_t bytes = 4 * 1024 * 1024;
    // The USB capture (pcap, USBPcap link type) to write as the traffic happens.
    std::string capture;
    // The driver image to run (korvaxser.sys) instead of the linked-in driver.
    std::string driverImage;
    bool quiet = false;
    // demo: the seed of the data phase's bytes.
    uint32_t seed = 1;
    // pty: the modem starts in a call, echoing every byte.
    bool echo = false;
    // Another application holds the port open before this one opens it.
    bool otherApplication = false;
    // demo: the modem is pulled out halfway through the data phase.
    bool unplugMidway = false;
};

// The options, or nullopt with `error` set (empty for --help).
std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string* error);
// 65536, 64K, 4M, 1G (binary multiples).
std::optional<uint64_t> ParseByteCount(const std::string& text);

std::string UsageText();

} // namespace korvaxsim
