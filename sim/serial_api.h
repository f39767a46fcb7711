// The Win32 communications API on the hosted kernel: what an application calls to
// use a COM port, with the Windows signatures, types and constants, so that
// ordinary Win32 serial code compiles unchanged after `using namespace win32;`.
// Each call becomes the requests Windows itself sends: CreateFile an IRP_MJ_CREATE
// (through the object namespace, \\.\COM5 -> \DosDevices\COM5 -> \Device\...),
// CloseHandle IRP_MJ_CLEANUP then IRP_MJ_CLOSE, ReadFile and WriteFile IRP_MJ_READ
// and IRP_MJ_WRITE, and the communications functions the IOCTL_SERIAL_* requests
// kernel32 sends for them (SetCommState: the four GET requests that save the old
// state, then SET_BAUD_RATE, SET_RTS or CLR_RTS, SET_DTR or CLR_DTR as the DCB's
// fRtsControl and fDtrControl enable or disable the line, SET_LINE_CONTROL,
// SET_CHARS, SET_HANDFLOW; on a failure the saved state is applied again).
//
// Handles opened without FILE_FLAG_OVERLAPPED are synchronous: each call waits for
// its request, and the handle admits one request at a time (a thread blocked in
// WaitCommEvent holds up the others, and CloseHandle waits for it), as on
// Windows. With FILE_FLAG_OVERLAPPED, ReadFile, WriteFile, DeviceIoControl and
// WaitCommEvent take an OVERLAPPED and return FALSE with ERROR_IO_PENDING while the
// request is in the driver; its end is reported in OVERLAPPED.Internal (the
// NTSTATUS) and InternalHigh (the byte count) and by setting hEvent (the handle
// itself when hEvent is null). The other communications functions wait for their
// request on either kind of handle. Passing no OVERLAPPED on an overlapped handle
// makes the call wait for its request, as kernel32 does for DeviceIoControl and
// the communications functions; ReadFile and WriteFile fail with
// ERROR_INVALID_PARAMETER instead (an asynchronous read or write needs the byte
// offset an OVERLAPPED carries). A thread created with CreateThread has its
// requests still outstanding cancelled when its routine returns, and ends once
// they have completed, as the system's thread rundown does.
//
// Results as kernel32 makes them: TRUE only for a success status that is not
// STATUS_PENDING. A warning status fails the call on either kind of handle, the
// byte count still returned; STATUS_END_OF_FILE is a success (0 bytes) only for a
// ReadFile without an OVERLAPPED. GetLastError is per thread; a failed request's
// NTSTATUS becomes a Win32 error through RtlNtStatusToDosError, Windows' table.
// The communications functions read their records from buffers that start
// poisoned, and take only a record the driver returned whole: a request that
// succeeds with a shorter count fails the call with ERROR_INVALID_DATA and
// leaves the caller's structure as it was.
//
// Application threads run at PASSIVE_LEVEL. Waits with a time-out
// (WaitForSingleObject) run on the kernel clock, so a test on the manual clock
// advances time with kx::AdvanceTime once kx::AwaitTimedWaits has seen the wait.
// Names: \\.\COMn and \\?\COMn, COM1 to COM9 (with or without a colon) and
// \\.\GLOBALROOT\Device\<name>; named events are not supported.
#pragma once

#include <kx/wdm.h>

#include <cstddef>
#include <cstdint>

namespace win32 {

// ---- Types --------------------------------------------------------------------------------

using ::BOOL;
using ::CHAR;
using ::DWORD;
using ::HANDLE;
using ::LONG;
using ::ULONG_PTR;
using ::WCHAR;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef DWORD* LPDWORD;
typedef const char* LPCSTR;
typedef const WCHAR* LPCWSTR;
typedef char* LPSTR;
typedef WCHAR* LPWSTR;
typedef unsigned int UINT;
typedef DWORD (*LPTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED {
    ULONG_PTR Internal;     // the request's NTSTATUS; STATUS_PENDING while in progress
    ULONG_PTR InternalHigh; // the bytes transferred
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        LPVOID Pointer;
    };
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

typedef struct _DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
} DCB, *LPDCB;

typedef struct _COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

typedef struct _COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
} COMSTAT, *LPCOMSTAT;

typedef struct _COMMPROP {
    WORD wPacketLength;
    WORD wPacketVersion;
    DWORD dwServiceMask;
    DWORD dwReserved1;
    DWORD dwMaxTxQueue;
    DWORD dwMaxRxQueue;
    DWORD dwMaxBaud;
    DWORD dwProvSubType;
    DWORD dwProvCapabilities;
    DWORD dwSettableParams;
    DWORD dwSettableBaud;
    WORD wSettableData;
    WORD wSettableStopParity;
    DWORD dwCurrentTxQueue;
    DWORD dwCurrentRxQueue;
    DWORD dwProvSpec1;
    DWORD dwProvSpec2;
    WCHAR wcProvChar[1];
} COMMPROP, *LPCOMMPROP;

typedef struct _COMMCONFIG {
    DWORD dwSize;
    WORD wVersion;
    WORD wReserved;
    DCB dcb;
    DWORD dwProviderSubType;
    DWORD dwProviderOffset;
    DWORD dwProviderSize;
    WCHAR wcProviderData[1];
} COMMCONFIG, *LPCOMMCONFIG;

// ---- Constants ----------------------------------------------------------------------------

inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD GENERIC_EXECUTE = 0x20000000;
constexpr DWORD GENERIC_ALL = 0x10000000;
constexpr DWORD FILE_SHARE_READ = 0x00000001;
constexpr DWORD FILE_SHARE_WRITE = 0x00000002;
constexpr DWORD FILE_SHARE_DELETE = 0x00000004;
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;

constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD MAXDWORD = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0x00000000;
constexpr DWORD WAIT_ABANDONED = 0x00000080;
constexpr DWORD WAIT_TIMEOUT = 0x00000102;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

// GetFileType.
constexpr DWORD FILE_TYPE_UNKNOWN = 0x0000;
constexpr DWORD FILE_TYPE_DISK = 0x0001;
constexpr DWORD FILE_TYPE_CHAR = 0x0002;
constexpr DWORD FILE_TYPE_PIPE = 0x0003;

// CreateThread.
constexpr DWORD CREATE_SUSPENDED = 0x00000004;
constexpr DWORD STILL_ACTIVE = 0x00000103;

// Events (SetCommMask, WaitCommEvent).
constexpr DWORD EV_RXCHAR = 0x0001;
constexpr DWORD EV_RXFLAG = 0x0002;
constexpr DWORD EV_TXEMPTY = 0x0004;
constexpr DWORD EV_CTS = 0x0008;
constexpr DWORD EV_DSR = 0x0010;
constexpr DWORD EV_RLSD = 0x0020;
constexpr DWORD EV_BREAK = 0x0040;
constexpr DWORD EV_ERR = 0x0080;
constexpr DWORD EV_RING = 0x0100;
constexpr DWORD EV_PERR = 0x0200;
constexpr DWORD EV_RX80FULL = 0x0400;
constexpr DWORD EV_EVENT1 = 0x0800;
constexpr DWORD EV_EVENT2 = 0x1000;

// PurgeComm.
constexpr DWORD PURGE_TXABORT = 0x0001;
constexpr DWORD PURGE_RXABORT = 0x0002;
constexpr DWORD PURGE_TXCLEAR = 0x0004;
constexpr DWORD PURGE_RXCLEAR = 0x0008;

// EscapeCommFunction.
constexpr DWORD SETXOFF = 1;
constexpr DWORD SETXON = 2;
constexpr DWORD SETRTS = 3;
constexpr DWORD CLRRTS = 4;
constexpr DWORD SETDTR = 5;
constexpr DWORD CLRDTR = 6;
constexpr DWORD RESETDEV = 7;
constexpr DWORD SETBREAK = 8;
constexpr DWORD CLRBREAK = 9;

// GetCommModemStatus.
constexpr DWORD MS_CTS_ON = 0x0010;
constexpr DWORD MS_DSR_ON = 0x0020;
constexpr DWORD MS_RING_ON = 0x0040;
constexpr DWORD MS_RLSD_ON = 0x0080;

// DCB.
constexpr DWORD DTR_CONTROL_DISABLE = 0x00;
constexpr DWORD DTR_CONTROL_ENABLE = 0x01;
constexpr DWORD DTR_CONTROL_HANDSHAKE = 0x02;
constexpr DWORD RTS_CONTROL_DISABLE = 0x00;
constexpr DWORD RTS_CONTROL_ENABLE = 0x01;
constexpr DWORD RTS_CONTROL_HANDSHAKE = 0x02;
constexpr DWORD RTS_CONTROL_TOGGLE = 0x03;
constexpr BYTE NOPARITY = 0;
constexpr BYTE ODDPARITY = 1;
constexpr BYTE EVENPARITY = 2;
constexpr BYTE MARKPARITY = 3;
constexpr BYTE SPACEPARITY = 4;
constexpr BYTE ONESTOPBIT = 0;
constexpr BYTE ONE5STOPBITS = 1;
constexpr BYTE TWOSTOPBITS = 2;
constexpr DWORD CBR_110 = 110;
constexpr DWORD CBR_300 = 300;
constexpr DWORD CBR_600 = 600;
constexpr DWORD CBR_1200 = 1200;
constexpr DWORD CBR_2400 = 2400;
constexpr DWORD CBR_4800 = 4800;
constexpr DWORD CBR_9600 = 9600;
constexpr DWORD CBR_14400 = 14400;
constexpr DWORD CBR_19200 = 19200;
constexpr DWORD CBR_38400 = 38400;
constexpr DWORD CBR_56000 = 56000;
constexpr DWORD CBR_57600 = 57600;
constexpr DWORD CBR_115200 = 115200;
constexpr DWORD CBR_128000 = 128000;
constexpr DWORD CBR_256000 = 256000;

// ClearCommError.
constexpr DWORD CE_RXOVER = 0x0001;
constexpr DWORD CE_OVERRUN = 0x0002;
constexpr DWORD CE_RXPARITY = 0x0004;
constexpr DWORD CE_FRAME = 0x0008;
constexpr DWORD CE_BREAK = 0x0010;
constexpr DWORD CE_TXFULL = 0x0100;
constexpr DWORD CE_PTO = 0x0200;
constexpr DWORD CE_IOE = 0x0400;
constexpr DWORD CE_DNS = 0x0800;
constexpr DWORD CE_OOP = 0x1000;
constexpr DWORD CE_MODE = 0x8000;

// GetCommProperties.
constexpr DWORD COMMPROP_INITIALIZED = 0xE73CF52E;
constexpr DWORD SP_SERIALCOMM = 0x00000001;
constexpr DWORD PST_UNSPECIFIED = 0x00000000;
constexpr DWORD PST_RS232 = 0x00000001;
constexpr DWORD PST_MODEM = 0x00000006;
constexpr DWORD PCF_DTRDSR = 0x0001;
constexpr DWORD PCF_RTSCTS = 0x0002;
constexpr DWORD PCF_RLSD = 0x0004;
constexpr DWORD PCF_PARITY_CHECK = 0x0008;
constexpr DWORD PCF_XONXOFF = 0x0010;
constexpr DWORD PCF_SETXCHAR = 0x0020;
constexpr DWORD PCF_TOTALTIMEOUTS = 0x0040;
constexpr DWORD PCF_INTTIMEOUTS = 0x0080;
constexpr DWORD PCF_SPECIALCHARS = 0x0100;
constexpr DWORD PCF_16BITMODE = 0x0200;
constexpr DWORD SP_PARITY = 0x0001;
constexpr DWORD SP_BAUD = 0x0002;
constexpr DWORD SP_DATABITS = 0x0004;
constexpr DWORD SP_STOPBITS = 0x0008;
constexpr DWORD SP_HANDSHAKING = 0x0010;
constexpr DWORD SP_PARITY_CHECK = 0x0020;
constexpr DWORD SP_RLSD = 0x0040;
constexpr DWORD BAUD_075 = 0x00000001;
constexpr DWORD BAUD_110 = 0x00000002;
constexpr DWORD BAUD_134_5 = 0x00000004;
constexpr DWORD BAUD_150 = 0x00000008;
constexpr DWORD BAUD_300 = 0x00000010;
constexpr DWORD BAUD_600 = 0x00000020;
constexpr DWORD BAUD_1200 = 0x00000040;
constexpr DWORD BAUD_1800 = 0x00000080;
constexpr DWORD BAUD_2400 = 0x00000100;
constexpr DWORD BAUD_4800 = 0x00000200;
constexpr DWORD BAUD_7200 = 0x00000400;
constexpr DWORD BAUD_9600 = 0x00000800;
constexpr DWORD BAUD_14400 = 0x00001000;
constexpr DWORD BAUD_19200 = 0x00002000;
constexpr DWORD BAUD_38400 = 0x00004000;
constexpr DWORD BAUD_56K = 0x00008000;
constexpr DWORD BAUD_128K = 0x00010000;
constexpr DWORD BAUD_115200 = 0x00020000;
constexpr DWORD BAUD_57600 = 0x00040000;
constexpr DWORD BAUD_USER = 0x10000000;
constexpr WORD DATABITS_5 = 0x0001;
constexpr WORD DATABITS_6 = 0x0002;
constexpr WORD DATABITS_7 = 0x0004;
constexpr WORD DATABITS_8 = 0x0008;
constexpr WORD DATABITS_16 = 0x0010;
constexpr WORD DATABITS_16X = 0x0020;
constexpr WORD STOPBITS_10 = 0x0001;
constexpr WORD STOPBITS_15 = 0x0002;
constexpr WORD STOPBITS_20 = 0x0004;
constexpr WORD PARITY_NONE = 0x0100;
constexpr WORD PARITY_ODD = 0x0200;
constexpr WORD PARITY_EVEN = 0x0400;
constexpr WORD PARITY_MARK = 0x0800;
constexpr WORD PARITY_SPACE = 0x1000;

// Error codes (GetLastError).
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD NO_ERROR = 0;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_DATA = 13;
constexpr DWORD ERROR_OUTOFMEMORY = 14;
constexpr DWORD ERROR_NOT_READY = 21;
constexpr DWORD ERROR_BAD_COMMAND = 22;
constexpr DWORD ERROR_CRC = 23;
constexpr DWORD ERROR_BAD_LENGTH = 24;
constexpr DWORD ERROR_WRITE_FAULT = 29;
constexpr DWORD ERROR_READ_FAULT = 30;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_HANDLE_EOF = 38;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_DEV_NOT_EXIST = 55;
constexpr DWORD ERROR_UNEXP_NET_ERR = 59;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_SEM_TIMEOUT = 121;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_BUSY = 170;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_IO_INCOMPLETE = 996;
constexpr DWORD ERROR_IO_PENDING = 997;
constexpr DWORD ERROR_NOACCESS = 998;
constexpr DWORD ERROR_IO_DEVICE = 1117;
constexpr DWORD ERROR_SERIAL_NO_DEVICE = 1118;
constexpr DWORD ERROR_MORE_WRITES = 1120;
constexpr DWORD ERROR_COUNTER_TIMEOUT = 1121;
constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
constexpr DWORD ERROR_NOT_FOUND = 1168;
constexpr DWORD ERROR_CANCELLED = 1223;
constexpr DWORD ERROR_REQUEST_ABORTED = 1235;
constexpr DWORD ERROR_INTERNAL_ERROR = 1359;
constexpr DWORD ERROR_NO_SYSTEM_RESOURCES = 1450;
constexpr DWORD ERROR_TIMEOUT = 1460;
constexpr DWORD ERROR_DEVICE_REMOVED = 1617;
constexpr DWORD ERROR_INVALID_USER_BUFFER = 1784;

// ---- Errors -------------------------------------------------------------------------------

DWORD GetLastError();
void SetLastError(DWORD dwErrCode);
// The Win32 error for an NTSTATUS by Windows' table (ERROR_MR_MID_NOT_FOUND for a
// status it does not know); a status with the customer bit is returned as it is,
// one of FACILITY_WIN32 as its error code.
ULONG RtlNtStatusToDosError(NTSTATUS Status);

// ---- Handles and files --------------------------------------------------------------------

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
// CreateFile: the A or W form by the type of the name.
inline HANDLE CreateFile(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                         LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                         DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    return CreateFileA(lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                       dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
}
inline HANDLE CreateFile(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                         LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                         DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    return CreateFileW(lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                       dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
}
BOOL CloseHandle(HANDLE hObject);

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                     LPOVERLAPPED lpOverlapped);
BOOL FlushFileBuffers(HANDLE hFile);

// ---- Overlapped I/O and events ------------------------------------------------------------

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                         LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
// Cancels the calling thread's requests on the handle and waits until they have ended.
BOOL CancelIo(HANDLE hFile);
// TRUE once the request has ended (OVERLAPPED.Internal is no longer STATUS_PENDING).
BOOL HasOverlappedIoCompleted(const OVERLAPPED* lpOverlapped);

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCSTR lpName);
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCWSTR lpName);
inline HANDLE CreateEvent(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                          BOOL bInitialState, LPCSTR lpName) {
    return CreateEventA(lpEventAttributes, bManualReset, bInitialState, lpName);
}
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);
// An event, a thread or a file handle; milliseconds on the kernel clock, or INFINITE.
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
// Events and threads (a file handle is refused with ERROR_INVALID_HANDLE): with
// bWaitAll FALSE, WAIT_OBJECT_0 + the index of the first one signalled.
DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                             DWORD dwMilliseconds);

// ---- Threads and time ---------------------------------------------------------------------

// A host thread that runs lpStartAddress at PASSIVE_LEVEL; when the routine has
// returned, the requests the thread still has outstanding are cancelled, and its
// handle is signalled once they have completed. CREATE_SUSPENDED is not supported.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, size_t dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId);
BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
// Milliseconds on the kernel clock: a test on the manual clock drives both.
void Sleep(DWORD dwMilliseconds);
DWORD GetTickCount();

// FILE_TYPE_CHAR for a port, FILE_TYPE_UNKNOWN (with ERROR_INVALID_HANDLE) otherwise.
DWORD GetFileType(HANDLE hFile);

// ---- Communications -----------------------------------------------------------------------

BOOL GetCommState(HANDLE hFile, LPDCB lpDCB);
BOOL SetCommState(HANDLE hFile, LPDCB lpDCB);
BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask);
BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask);
// *lpEvtMask is cleared when the call fails (not while the wait is pending).
BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped);
BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc);
BOOL SetCommBreak(HANDLE hFile);
BOOL ClearCommBreak(HANDLE hFile);
BOOL GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat);
BOOL GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp);
BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue);
BOOL PurgeComm(HANDLE hFile, DWORD dwFlags);
BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat);
BOOL TransmitCommChar(HANDLE hFile, char cChar);

// The DCB and time-outs of a mode string, as the MODE command takes it:
// "baud=9600 parity=n data=8 stop=1 to=on xon=off odsr=off octs=off dtr=on rts=on
// idsr=off", or the older "COM1: 96,n,8,1,x" form (the last field x for XON/XOFF,
// p for hardware handshaking). Fields not named keep the DCB's values.
BOOL BuildCommDCBA(LPCSTR lpDef, LPDCB lpDCB);
BOOL BuildCommDCBW(LPCWSTR lpDef, LPDCB lpDCB);
BOOL BuildCommDCBAndTimeoutsA(LPCSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts);
BOOL BuildCommDCBAndTimeoutsW(LPCWSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts);
inline BOOL BuildCommDCB(LPCSTR lpDef, LPDCB lpDCB) {
    return BuildCommDCBA(lpDef, lpDCB);
}
inline BOOL BuildCommDCBAndTimeouts(LPCSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts) {
    return BuildCommDCBAndTimeoutsA(lpDef, lpDCB, lpCommTimeouts);
}

// The port's configuration: the DCB and the provider's data. A port whose driver
// gives no configuration size has none, and the COMMCONFIG is the DCB alone.
BOOL GetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, LPDWORD lpdwSize);
BOOL SetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, DWORD dwSize);
// The configuration a port starts with, without opening it: 9600 baud, 8 data
// bits, no parity, one stop bit, no flow control (the serial provider's default).
BOOL GetDefaultCommConfigA(LPCSTR lpszName, LPCOMMCONFIG lpCC, LPDWORD lpdwSize);
BOOL GetDefaultCommConfigW(LPCWSTR lpszName, LPCOMMCONFIG lpCC, LPDWORD lpdwSize);
inline BOOL GetDefaultCommConfig(LPCSTR lpszName, LPCOMMCONFIG lpCC, LPDWORD lpdwSize) {
    return GetDefaultCommConfigA(lpszName, lpCC, lpdwSize);
}

} // namespace win32

namespace sim {

// What the system does when an application ends: every handle it left open is
// closed (files first, with their cleanup and close). Returns how many there were.
size_t CloseApplicationHandles();
// Handles the application has open now (files and events).
size_t OpenApplicationHandles();

} // namespace sim
