// configure_port: opens a serial port, shows its settings, sets 57600 baud, eight
// data bits, no parity and one stop bit, then a mode string's settings and
// time-outs, and shows the result.
//
//   configure_port COM5
#include <sim/win32/windows.h>
#include <stdio.h>

static void PrintCommState(const TCHAR* pszWhen, DCB dcb) {
    _tprintf(TEXT("%s: BaudRate = %d, ByteSize = %d, Parity = %d, StopBits = %d\n"), pszWhen,
             (int)dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits);
}

int _tmain(int argc, TCHAR* argv[]) {
    DCB dcb;
    COMMTIMEOUTS timeouts;
    COMMCONFIG config;
    DWORD dwSize;
    DWORD dwModemStatus;
    HANDLE hCom;
    BOOL fSuccess;
    const TCHAR* pcCommPort = TEXT("COM1");

    if (argc > 1)
        pcCommPort = argv[1];

    hCom = CreateFile(pcCommPort, GENERIC_READ | GENERIC_WRITE,
                      0,             // must be opened with exclusive-access
                      NULL,          // default security attributes
                      OPEN_EXISTING, // must use OPEN_EXISTING
                      0,             // not overlapped I/O
                      NULL);         // hTemplate must be NULL for comm devices

    if (hCom == INVALID_HANDLE_VALUE) {
        _tprintf(TEXT("CreateFile failed with error %d.\n"), (int)GetLastError());
        return 1;
    }
    if (GetFileType(hCom) != FILE_TYPE_CHAR) {
        _tprintf(TEXT("%s is not a character device.\n"), pcCommPort);
        CloseHandle(hCom);
        return 1;
    }

    // Initialize the DCB structure.
    SecureZeroMemory(&dcb, sizeof(DCB));
    dcb.DCBlength = sizeof(DCB);

    fSuccess = GetCommState(hCom, &dcb);
    if (!fSuccess) {
        _tprintf(TEXT("GetCommState failed with error %d.\n"), (int)GetLastError());
        CloseHandle(hCom);
        return 2;
    }
    PrintCommState(TEXT("Initial"), dcb);

    dcb.BaudRate = CBR_57600;  // baud rate
    dcb.ByteSize = 8;          // data size, xmit and rcv
    dcb.Parity = NOPARITY;     // parity bit
    dcb.StopBits = ONESTOPBIT; // stop bit

    fSuccess = SetCommState(hCom, &dcb);
    if (!fSuccess) {
        _tprintf(TEXT("SetCommState failed with error %d.\n"), (int)GetLastError());
        CloseHandle(hCom);
        return 3;
    }
    fSuccess = GetCommState(hCom, &dcb);
    if (!fSuccess) {
        _tprintf(TEXT("GetCommState failed with error %d.\n"), (int)GetLastError());
        CloseHandle(hCom);
        return 2;
    }
    PrintCommState(TEXT("Set"), dcb);

    // The same again from a mode string, with time-outs.
    ZeroMemory(&timeouts, sizeof(timeouts));
    if (!BuildCommDCBAndTimeouts(TEXT("baud=115200 parity=n data=8 stop=1 dtr=on rts=on to=on"),
                                 &dcb, &timeouts) ||
        !SetCommState(hCom, &dcb) || !SetCommTimeouts(hCom, &timeouts)) {
        _tprintf(TEXT("Setting the mode string failed with error %d.\n"), (int)GetLastError());
        CloseHandle(hCom);
        return 4;
    }

    // Give the modem a moment after DTR has come up.
    Sleep(100);

    dwSize = sizeof(config);
    if (!GetCommConfig(hCom, &config, &dwSize) || !GetCommTimeouts(hCom, &timeouts) ||
        !GetCommModemStatus(hCom, &dwModemStatus)) {
        _tprintf(TEXT("Reading the configuration failed with error %d.\n"), (int)GetLastError());
        CloseHandle(hCom);
        return 5;
    }
    PrintCommState(TEXT("Config"), config.dcb);
    _tprintf(TEXT("Write time-out %d ms, DSR %s\n"), (int)timeouts.WriteTotalTimeoutConstant,
             (dwModemStatus & MS_DSR_ON) ? TEXT("on") : TEXT("off"));

    _tprintf(TEXT("Serial port %s successfully reconfigured.\n"), pcCommPort);
    CloseHandle(hCom);
    return 0;
}
