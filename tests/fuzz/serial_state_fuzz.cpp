// Fuzz target: notifications of any length and content on the interrupt-in pipe
// while an application waits for every event. Input: the bytes of one notification
// (at most 64). Afterwards the modem status holds only modem-status bits, and the
// port still answers.
#include "fuzz_port.h"

#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace win32;
    if (size > 64)
        return 0;
    fuzz::OpenPort& open = fuzz::Port();
    fuzz::Require(SetCommMask(open.port, EV_RXCHAR | EV_RXFLAG | EV_TXEMPTY | EV_CTS | EV_DSR |
                                             EV_RLSD | EV_BREAK | EV_ERR | EV_RING) == TRUE,
                  "SetCommMask failed");
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    DWORD mask = 0, count = 0;
    BOOL waited = WaitCommEvent(open.port, &mask, &overlapped);
    fuzz::Require(waited || GetLastError() == ERROR_IO_PENDING, "WaitCommEvent failed");

    open.modem->Pdo().SendInterrupt(std::vector<uint8_t>(data, data + size));
    open.world->Settle();

    if (!waited)
        waited = fuzz::Finish(open.port, overlapped, count);
    if (waited)
        fuzz::Require((mask & ~0x1FFFu) == 0, "an event outside the EV_ bits");
    CloseHandle(event);

    DWORD status = 0;
    fuzz::Require(GetCommModemStatus(open.port, &status) == TRUE, "GetCommModemStatus failed");
    fuzz::Require((status & ~(MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON)) == 0,
                  "modem status outside the MS_ bits");
    DWORD errors = 0;
    COMSTAT stat{};
    fuzz::Require(ClearCommError(open.port, &errors, &stat) == TRUE, "ClearCommError failed");
    return 0;
}
