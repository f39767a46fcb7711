// An application's OVERLAPPED with a manual-reset event of its own (the file handle
// cannot tell one of several requests from another). The request it carries must
// have ended before it goes.
#pragma once

#include <sim/serial_api.h>

namespace korvax_test {

class Overlapped {
  public:
    Overlapped() : overlapped_{} {
        overlapped_.hEvent = win32::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ~Overlapped() { win32::CloseHandle(overlapped_.hEvent); }
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;

    win32::LPOVERLAPPED get() { return &overlapped_; }
    win32::OVERLAPPED& operator*() { return overlapped_; }
    bool Done() const { return win32::HasOverlappedIoCompleted(&overlapped_); }

  private:
    win32::OVERLAPPED overlapped_;
};

} // namespace korvax_test
