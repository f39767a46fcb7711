// monitor_events: waits for events on a serial port and reports each one, until
// the carrier is up, or no event has come for five seconds.
//
//   monitor_events COM5
#include <sim/win32/windows.h>
#include <stdio.h>

static void PrintEvents(DWORD dwEvtMask, DWORD dwModemStatus) {
    _tprintf(TEXT("Event:%s%s%s%s%s  Modem:%s%s%s%s\n"),
             (dwEvtMask & EV_CTS) ? TEXT(" CTS") : TEXT(""),
             (dwEvtMask & EV_DSR) ? TEXT(" DSR") : TEXT(""),
             (dwEvtMask & EV_RLSD) ? TEXT(" RLSD") : TEXT(""),
             (dwEvtMask & EV_RING) ? TEXT(" RING") : TEXT(""),
             (dwEvtMask & EV_RXCHAR) ? TEXT(" RXCHAR") : TEXT(""),
             (dwModemStatus & MS_CTS_ON) ? TEXT(" CTS") : TEXT(""),
             (dwModemStatus & MS_DSR_ON) ? TEXT(" DSR") : TEXT(""),
             (dwModemStatus & MS_RING_ON) ? TEXT(" RING") : TEXT(""),
             (dwModemStatus & MS_RLSD_ON) ? TEXT(" RLSD") : TEXT(""));
}

int _tmain(int argc, TCHAR* argv[]) {
    HANDLE hCom;
    OVERLAPPED o;
    BOOL fSuccess;
    DWORD dwEvtMask;
    DWORD dwModemStatus = 0;
    DWORD dwTransferred;
    int result = 0;

    if (argc < 2) {
        _tprintf(TEXT("usage: monitor_events COMn\n"));
        return 1;
    }
    hCom = CreateFile(argv[1], GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                      FILE_FLAG_OVERLAPPED, NULL);
    if (hCom == INVALID_HANDLE_VALUE) {
        _tprintf(TEXT("CreateFile failed with error %d.\n"), (int)GetLastError());
        return 1;
    }

    // Set the event mask.
    fSuccess = SetCommMask(hCom, EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_RXCHAR);
    if (!fSuccess) {
        _tprintf(TEXT("SetCommMask failed with error %d.\n"), (int)GetLastError());
        CloseHandle(hCom);
        return 1;
    }

    // Create an event object for use by WaitCommEvent.
    ZeroMemory(&o, sizeof(o));
    o.hEvent = CreateEvent(NULL,  // default security attributes
                           TRUE,  // manual-reset event
                           FALSE, // not signaled
                           NULL); // no name

    while (!(dwModemStatus & MS_RLSD_ON)) {
        ResetEvent(o.hEvent);
        if (!WaitCommEvent(hCom, &dwEvtMask, &o)) {
            if (GetLastError() != ERROR_IO_PENDING) {
                _tprintf(TEXT("WaitCommEvent failed with error %d.\n"), (int)GetLastError());
                result = 1;
                break;
            }
            switch (WaitForSingleObject(o.hEvent, 5000)) {
            case WAIT_OBJECT_0:
                break;
            case WAIT_TIMEOUT:
                _tprintf(TEXT("No event in 5 seconds.\n"));
                CancelIo(hCom);
                GetOverlappedResult(hCom, &o, &dwTransferred, TRUE);
                result = 2;
                break;
            default:
                _tprintf(TEXT("WaitForSingleObject failed with error %d.\n"), (int)GetLastError());
                result = 1;
                break;
            }
            if (result != 0)
                break;
            if (!GetOverlappedResult(hCom, &o, &dwTransferred, FALSE)) {
                _tprintf(TEXT("GetOverlappedResult failed with error %d.\n"), (int)GetLastError());
                result = 1;
                break;
            }
        }
        if (!GetCommModemStatus(hCom, &dwModemStatus)) {
            _tprintf(TEXT("GetCommModemStatus failed with error %d.\n"), (int)GetLastError());
            result = 1;
            break;
        }
        PrintEvents(dwEvtMask, dwModemStatus);
    }

    CloseHandle(o.hEvent);
    CloseHandle(hCom);
    return result;
}
