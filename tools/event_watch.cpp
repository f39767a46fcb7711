#include "event_watch.h"

#include <chrono>

namespace korvaxsim {

using namespace win32;

EventWatch::EventWatch(Port& port, DWORD mask) : port_(port) {
    port_.SetMask(mask);
    port_.StartEventWait(overlapped_, &mask_);
}

DWORD EventWatch::Poll() {
    if (!overlapped_.Done())
        return 0;
    port_.Finish(overlapped_, Port::Request::EventWait);
    DWORD events = mask_;
    tally_.Add(events);
    seen_ |= events;
    port_.StartEventWait(overlapped_, &mask_);
    return events;
}

bool EventWatch::WaitFor(DWORD bit, DWORD milliseconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        Poll();
        if (seen_ & bit) {
            seen_ &= ~bit;
            return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        overlapped_.Wait(static_cast<DWORD>(left.count()));
    }
}

} // namespace korvaxsim
