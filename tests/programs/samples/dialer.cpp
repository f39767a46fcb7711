// dialer: dials a number on the modem at a serial port and waits for the call to
// come up. A reader thread reads the modem's answers with overlapped reads and
// signals CONNECT or a failure; the main thread hangs up by dropping DTR.
//
//   dialer COM5 #777
#include <sim/win32/windows.h>
#include <stdio.h>
#include <string.h>

typedef struct _READER {
    HANDLE hCom;
    HANDLE hStop;      // set by the main thread: stop reading
    HANDLE hConnected; // set by the reader: CONNECT seen
    HANDLE hFailed;    // set by the reader: NO CARRIER, BUSY or NO ANSWER seen
    char text[512];    // everything the modem sent
    DWORD length;
} READER;

static DWORD WINAPI ReaderThread(LPVOID lpParam) {
    READER* reader = (READER*)lpParam;
    OVERLAPPED o;
    HANDLE waits[2];
    char buffer[64];
    DWORD dwRead;
    DWORD dwWait;

    ZeroMemory(&o, sizeof(o));
    o.hEvent = CreateEvent(NULL, TRUE, FALSE, NULL);
    waits[0] = o.hEvent;
    waits[1] = reader->hStop;

    for (;;) {
        ResetEvent(o.hEvent);
        dwRead = 0;
        if (!ReadFile(reader->hCom, buffer, sizeof(buffer), &dwRead, &o)) {
            if (GetLastError() != ERROR_IO_PENDING)
                break;
            dwWait = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
            if (dwWait == WAIT_OBJECT_0 + 1) {
                CancelIo(reader->hCom);
                GetOverlappedResult(reader->hCom, &o, &dwRead, TRUE);
                break;
            }
            if (dwWait != WAIT_OBJECT_0 || !GetOverlappedResult(reader->hCom, &o, &dwRead, FALSE))
                break;
        }
        if (dwRead > sizeof(reader->text) - 1 - reader->length)
            dwRead = sizeof(reader->text) - 1 - reader->length;
        CopyMemory(reader->text + reader->length, buffer, dwRead);
        reader->length += dwRead;
        reader->text[reader->length] = '\0';
        if (strstr(reader->text, "CONNECT") != NULL)
            SetEvent(reader->hConnected);
        if (strstr(reader->text, "NO CARRIER") != NULL || strstr(reader->text, "BUSY") != NULL ||
            strstr(reader->text, "NO ANSWER") != NULL)
            SetEvent(reader->hFailed);
    }
    CloseHandle(o.hEvent);
    return reader->length;
}

static BOOL WriteCommand(HANDLE hCom, const char* command) {
    OVERLAPPED o;
    DWORD dwWritten = 0;
    BOOL fSuccess;

    ZeroMemory(&o, sizeof(o));
    o.hEvent = CreateEvent(NULL, TRUE, FALSE, NULL);
    fSuccess = WriteFile(hCom, command, (DWORD)strlen(command), &dwWritten, &o);
    if (!fSuccess && GetLastError() == ERROR_IO_PENDING)
        fSuccess = GetOverlappedResult(hCom, &o, &dwWritten, TRUE);
    CloseHandle(o.hEvent);
    return fSuccess && dwWritten == strlen(command);
}

// The modem reports the carrier on its own, a moment before or after CONNECT:
// waits up to five seconds for it.
static BOOL WaitForCarrier(HANDLE hCom) {
    OVERLAPPED o;
    DWORD dwEvtMask = 0;
    DWORD dwModemStatus = 0;
    DWORD dwTransferred;

    ZeroMemory(&o, sizeof(o));
    o.hEvent = CreateEvent(NULL, TRUE, FALSE, NULL);
    for (;;) {
        if (!GetCommModemStatus(hCom, &dwModemStatus) || (dwModemStatus & MS_RLSD_ON))
            break;
        ResetEvent(o.hEvent);
        if (!WaitCommEvent(hCom, &dwEvtMask, &o)) {
            if (GetLastError() != ERROR_IO_PENDING)
                break;
            if (WaitForSingleObject(o.hEvent, 5000) != WAIT_OBJECT_0) {
                CancelIo(hCom);
                GetOverlappedResult(hCom, &o, &dwTransferred, TRUE);
                break;
            }
        }
    }
    CloseHandle(o.hEvent);
    return (dwModemStatus & MS_RLSD_ON) != 0;
}

int _tmain(int argc, TCHAR* argv[]) {
    READER reader;
    DCB dcb;
    COMMTIMEOUTS timeouts;
    HANDLE hThread;
    HANDLE results[2];
    DWORD dwThreadId;
    DWORD dwStart;
    DWORD dwExitCode = 0;
    char command[64];
    int result;

    if (argc < 3) {
        _tprintf(TEXT("usage: dialer COMn number\n"));
        return 1;
    }
    ZeroMemory(&reader, sizeof(reader));
    reader.hCom = CreateFile(argv[1], GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, NULL);
    if (reader.hCom == INVALID_HANDLE_VALUE) {
        _tprintf(TEXT("CreateFile failed with error %d.\n"), (int)GetLastError());
        return 1;
    }

    // 115200 8N1 with DTR and RTS up; reads return what has arrived.
    SecureZeroMemory(&dcb, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(reader.hCom, &dcb) ||
        !BuildCommDCB(TEXT("baud=115200 parity=n data=8 stop=1 dtr=on rts=on"), &dcb) ||
        !SetCommState(reader.hCom, &dcb)) {
        _tprintf(TEXT("Configuring the port failed with error %d.\n"), (int)GetLastError());
        CloseHandle(reader.hCom);
        return 1;
    }
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = 1000;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 5000;
    SetCommTimeouts(reader.hCom, &timeouts);
    SetCommMask(reader.hCom, EV_RLSD);

    reader.hStop = CreateEvent(NULL, TRUE, FALSE, NULL);
    reader.hConnected = CreateEvent(NULL, TRUE, FALSE, NULL);
    reader.hFailed = CreateEvent(NULL, TRUE, FALSE, NULL);
    hThread = CreateThread(NULL, 0, ReaderThread, &reader, 0, &dwThreadId);
    if (hThread == NULL) {
        _tprintf(TEXT("CreateThread failed with error %d.\n"), (int)GetLastError());
        CloseHandle(reader.hCom);
        return 1;
    }

    sprintf(command, "ATD%s\r", argv[2]);
    dwStart = GetTickCount();
    if (!WriteCommand(reader.hCom, command)) {
        _tprintf(TEXT("Writing the dial command failed with error %d.\n"), (int)GetLastError());
        result = 1;
    } else {
        results[0] = reader.hConnected;
        results[1] = reader.hFailed;
        switch (WaitForMultipleObjects(2, results, FALSE, 60000)) {
        case WAIT_OBJECT_0:
            _tprintf(TEXT("Connected in %d ms, carrier %s.\n"), (int)(GetTickCount() - dwStart),
                     WaitForCarrier(reader.hCom) ? TEXT("on") : TEXT("off"));
            result = 0;
            break;
        case WAIT_OBJECT_0 + 1:
            _tprintf(TEXT("The call failed.\n"));
            result = 2;
            break;
        default:
            _tprintf(TEXT("No answer from the modem.\n"));
            result = 3;
            break;
        }
    }

    // Hang up, stop the reader and wait for it.
    EscapeCommFunction(reader.hCom, CLRDTR);
    SetEvent(reader.hStop);
    WaitForSingleObject(hThread, INFINITE);
    GetExitCodeThread(hThread, &dwExitCode);
    _tprintf(TEXT("The modem sent %d bytes.\n"), (int)dwExitCode);

    CloseHandle(hThread);
    CloseHandle(reader.hStop);
    CloseHandle(reader.hConnected);
    CloseHandle(reader.hFailed);
    CloseHandle(reader.hCom);
    return result;
}
