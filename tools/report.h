// What a session did, as the summary at its end shows it: the URBs the bus saw by
// kind, the application's requests and bytes, the serial events, and the verdict
// of the verifier and the pool after the driver was unloaded.
#pragma once

#include "port.h"
#include "simulation.h"

#include <sim/usb.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvaxsim {

UrbTally TallyUrbs(const std::vector<sim::UrbRecord>& records);
// SET_LINE_CODING for 0x20, ...; "request 0xNN" for others.
std::string ClassRequestName(UCHAR request);

// Serial events (EV_*) seen by the application, counted per bit.
class EventTally {
  public:
    void Add(win32::DWORD mask);
    uint64_t Count(win32::DWORD bit) const;
    uint64_t Total() const;
    // "DSR 2, RLSD 2"; "none".
    std::string Describe() const;

  private:
    std::map<win32::DWORD, uint64_t> counts_;
};

// EV_RLSD -> "RLSD".
std::string EventName(win32::DWORD bit);
// "CTS DSR RLSD" for the MS_*_ON bits of GetCommModemStatus; "-" when none.
std::string DescribeModemStatus(win32::DWORD status);
// What the modem sees and does: "in a call (data), carrier on, DSR on, sees DTR on
// RTS on", and ", its buffer full: holding the data back" while it NAKs bulk-out.
std::string DescribeModem(const sim::Modem& modem);

struct SessionReport {
    RequestCounts requests;
    UrbTally urbs;
    std::optional<EventTally> events;
    Verdict verdict;
};

// The summary lines, written to `out`.
void PrintSummary(std::FILE* out, const SessionReport& report);

// 4194304 -> "4.0 MiB", 65536 -> "64.0 KiB", 100 -> "100 B".
std::string HumanBytes(uint64_t bytes);

} // namespace korvaxsim
