// A WaitCommEvent kept outstanding on a port, as a dialer keeps one to hear of
// carrier and DSR changes while it talks to the modem. One thread uses it.
#pragma once

#include "port.h"
#include "report.h"

namespace korvaxsim {

class EventWatch {
  public:
    // Sets the port's event mask and starts the first wait.
    EventWatch(Port& port, win32::DWORD mask);
    // A wait still outstanding is cancelled and waited for.
    ~EventWatch() = default;
    EventWatch(const EventWatch&) = delete;
    EventWatch& operator=(const EventWatch&) = delete;

    // The events of a wait that has ended since the last call (0 if none), with
    // the next wait started.
    win32::DWORD Poll();
    // Waits up to `milliseconds` for an event with `bit`; true when one came (now
    // or since the last call to Poll or WaitFor).
    bool WaitFor(win32::DWORD bit, win32::DWORD milliseconds);

    const EventTally& Tally() const { return tally_; }

  private:
    Port& port_;
    Overlapped overlapped_;
    win32::DWORD mask_ = 0;
    win32::DWORD seen_ = 0; // bits seen and not yet asked for by WaitFor
    EventTally tally_;
};

} // namespace korvaxsim
