// The Win32 communications API over the hosted kernel's file objects: the handle
// table, kernel32's rules for turning a request's status into a result and a last
// error, and the device-control requests behind each communications function.
#include "serial_api.h"

#include <kx/files.h>
#include <kx/host.h>
#include <kx/ntddser.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace win32 {

// An OVERLAPPED is the request's status block, as on Windows: Internal is the
// status, InternalHigh the information.
static_assert(sizeof(IO_STATUS_BLOCK) == 2 * sizeof(ULONG_PTR), "IO_STATUS_BLOCK layout");
static_assert(offsetof(OVERLAPPED, InternalHigh) == offsetof(IO_STATUS_BLOCK, Information),
              "OVERLAPPED starts with an IO_STATUS_BLOCK");
// The application's records are the serial interface's byte for byte.
static_assert(sizeof(COMMTIMEOUTS) == sizeof(SERIAL_TIMEOUTS), "COMMTIMEOUTS layout");
static_assert(sizeof(COMMPROP) == sizeof(SERIAL_COMMPROP), "COMMPROP layout");
static_assert(offsetof(COMMPROP, wSettableData) == offsetof(SERIAL_COMMPROP, SettableData),
              "COMMPROP layout");
static_assert(sizeof(DCB) == 28, "DCB layout");

namespace {

constexpr NTSTATUS StatusEndOfFile = NTSTATUS_FROM(0xC0000011L); // STATUS_END_OF_FILE

thread_local DWORD lastError = ERROR_SUCCESS;

struct EventObject {
    KEVENT event;
};

// A thread the application created: `exited` is set when its routine returns.
struct ThreadObject {
    KEVENT exited;
    std::atomic<DWORD> exitCode{STILL_ACTIVE};
};

// What a handle refers to.
struct Object {
    PFILE_OBJECT file = nullptr;
    bool overlapped = false;
    std::shared_ptr<EventObject> event;
    std::shared_ptr<ThreadObject> thread;
};

// The dispatcher object a wait on an event or thread handle waits for.
PKEVENT Waitable(const Object& object) {
    if (object.event)
        return &object.event->event;
    if (object.thread)
        return &object.thread->exited;
    return nullptr;
}

std::mutex handlesMutex;
std::map<uintptr_t, Object> handles;
// Handle values are never reused, so that a stale handle is always invalid.
uintptr_t nextHandle = 0x100;

HANDLE Insert(Object object) {
    std::lock_guard<std::mutex> guard(handlesMutex);
    uintptr_t value = nextHandle;
    nextHandle += 4;
    handles[value] = std::move(object);
    return reinterpret_cast<HANDLE>(value);
}

bool Lookup(HANDLE handle, Object* object) {
    std::lock_guard<std::mutex> guard(handlesMutex);
    auto it = handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == handles.end())
        return false;
    *object = it->second;
    return true;
}

BOOL Fail(DWORD error) {
    lastError = error;
    return FALSE;
}

BOOL FailStatus(NTSTATUS status) {
    return Fail(RtlNtStatusToDosError(status));
}

// A file handle, or ERROR_INVALID_HANDLE.
bool FileHandle(HANDLE handle, Object* object) {
    if (Lookup(handle, object) && object->file != nullptr)
        return true;
    lastError = ERROR_INVALID_HANDLE;
    return false;
}

// The event an OVERLAPPED names; its low bit only keeps a completion port away.
bool OverlappedEvent(const OVERLAPPED* overlapped, std::shared_ptr<EventObject>* event) {
    auto value = reinterpret_cast<uintptr_t>(overlapped->hEvent) & ~uintptr_t(1);
    if (value == 0)
        return true;
    Object object;
    if (!Lookup(reinterpret_cast<HANDLE>(value), &object) || !object.event)
        return false;
    *event = object.event;
    return true;
}

PIO_STATUS_BLOCK StatusBlock(LPOVERLAPPED overlapped) {
    return reinterpret_cast<PIO_STATUS_BLOCK>(overlapped);
}

// Where a caller without an OVERLAPPED waits on an overlapped handle: a private
// event and status block, kept by the request until it ends.
struct PrivateWait {
    KEVENT event;
    IO_STATUS_BLOCK ioStatus{};
};

bool IsWarning(NTSTATUS status) {
    return (static_cast<ULONG>(status) >> 30) == 2;
}

// kernel32's way with a request on a file handle. `issue` sends it to the given
// completion target and returns the status of the call; `result` receives the
// information of a request that succeeded or ended with a warning. Only a
// ReadFile without an OVERLAPPED takes STATUS_END_OF_FILE as a success (`read`).
template <typename Issue>
BOOL Run(const Object& file, LPOVERLAPPED overlapped, DWORD* result, Issue issue,
         bool read = false) {
    if (overlapped != nullptr) {
        std::shared_ptr<EventObject> event;
        if (!OverlappedEvent(overlapped, &event))
            return Fail(ERROR_INVALID_HANDLE);
        __atomic_store_n(&overlapped->Internal, ULONG_PTR(STATUS_PENDING), __ATOMIC_RELEASE);
        kx::IoCompletionTarget target{StatusBlock(overlapped), event ? &event->event : nullptr,
                                      event};
        NTSTATUS status = issue(target);
        auto information = [overlapped] {
            return static_cast<DWORD>(__atomic_load_n(&overlapped->InternalHigh, __ATOMIC_ACQUIRE));
        };
        if (NT_SUCCESS(status) && status != STATUS_PENDING) {
            if (result != nullptr)
                *result = information();
            return TRUE;
        }
        if (result != nullptr && status == StatusEndOfFile)
            *result = 0;
        else if (result != nullptr && IsWarning(status))
            *result = information();
        return FailStatus(status);
    }

    IO_STATUS_BLOCK ioStatus{};
    NTSTATUS status;
    if (!file.overlapped) {
        status = issue(kx::IoCompletionTarget{&ioStatus, nullptr, nullptr});
    } else {
        auto wait = std::make_shared<PrivateWait>();
        KeInitializeEvent(&wait->event, NotificationEvent, FALSE);
        status = issue(kx::IoCompletionTarget{&wait->ioStatus, &wait->event, wait});
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&wait->event, UserRequest, UserMode, FALSE, nullptr);
            status = wait->ioStatus.Status;
        }
        if (!NT_ERROR(status))
            ioStatus = wait->ioStatus;
    }
    if (NT_SUCCESS(status)) {
        if (result != nullptr)
            *result = static_cast<DWORD>(ioStatus.Information);
        return TRUE;
    }
    if (read && status == StatusEndOfFile) {
        if (result != nullptr)
            *result = 0;
        return TRUE;
    }
    if (result != nullptr && IsWarning(status))
        *result = static_cast<DWORD>(ioStatus.Information);
    return FailStatus(status);
}

// A read or write on a handle opened for asynchronous I/O takes its byte offset
// from the OVERLAPPED: the I/O manager keeps a file position only for a file object
// opened for synchronous I/O (ZwReadFile routine, ZwWriteFile routine (WDK):
// ByteOffset), and refuses asynchronous I/O without one with
// STATUS_INVALID_PARAMETER, which kernel32 reports as ERROR_INVALID_PARAMETER.
// A device-control request has no offset: kernel32 waits for it instead.
bool OffsetMissing(const Object& file, LPOVERLAPPED overlapped) {
    return file.overlapped && overlapped == nullptr;
}

// A device-control request waited for on either kind of handle, as the
// communications functions send theirs.
BOOL Control(HANDLE handle, ULONG code, const void* input, ULONG inputLength, void* output,
             ULONG outputLength, DWORD* returned = nullptr) {
    Object file;
    if (!FileHandle(handle, &file))
        return FALSE;
    return Run(file, nullptr, returned, [&](const kx::IoCompletionTarget& target) {
        return kx::DeviceIoControlFile(file.file, target, code, input, inputLength, output,
                                       outputLength);
    });
}

template <typename T> BOOL ControlIn(HANDLE handle, ULONG code, const T& value) {
    return Control(handle, code, &value, sizeof(T), nullptr, 0);
}

// What pool memory holds before anyone writes it.
constexpr int PoisonByte = 0xA5;

// A record a GET request returns, read into a buffer that starts poisoned as
// kernel32's own locals are uninitialised: only a record returned whole counts.
template <typename T> BOOL ControlOut(HANDLE handle, ULONG code, T* value) {
    std::memset(value, PoisonByte, sizeof(T));
    DWORD returned = 0;
    if (!Control(handle, code, nullptr, 0, value, sizeof(T), &returned))
        return FALSE;
    return returned == sizeof(T) ? TRUE : Fail(ERROR_INVALID_DATA);
}

bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) {
               auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? c - 32 : c; };
               return upper(x) == upper(y);
           });
}

// The object-manager name kernel32 makes of an application's name for a device.
bool DeviceName(std::u16string_view name, std::u16string* result) {
    if (name.size() > 4 && (name.substr(0, 4) == u"\\\\.\\" || name.substr(0, 4) == u"\\\\?\\")) {
        *result = u"\\??\\" + std::u16string(name.substr(4));
        return true;
    }
    // COM1 to COM9 are DOS device names wherever they appear, a colon allowed.
    std::u16string_view bare = name;
    if (!bare.empty() && bare.back() == u':')
        bare.remove_suffix(1);
    if (bare.size() == 4 && EqualsIgnoringCase(bare.substr(0, 3), u"COM") && bare[3] >= u'1' &&
        bare[3] <= u'9') {
        *result = u"\\??\\COM" + std::u16string(1, bare[3]);
        return true;
    }
    return false;
}

bool Disposition(DWORD creation, ULONG* disposition) {
    switch (creation) {
    case CREATE_NEW:
        *disposition = FILE_CREATE;
        return true;
    case CREATE_ALWAYS:
        *disposition = FILE_OVERWRITE_IF;
        return true;
    case OPEN_EXISTING:
        *disposition = FILE_OPEN;
        return true;
    case OPEN_ALWAYS:
        *disposition = FILE_OPEN_IF;
        return true;
    case TRUNCATE_EXISTING:
        *disposition = FILE_OVERWRITE;
        return true;
    default:
        return false;
    }
}

std::u16string Widen(LPCSTR text) {
    std::u16string wide;
    for (; *text != '\0'; ++text)
        wide.push_back(static_cast<unsigned char>(*text));
    return wide;
}

DWORD DtrControl(ULONG controlHandShake) {
    switch (controlHandShake & SERIAL_DTR_MASK) {
    case SERIAL_DTR_CONTROL:
        return DTR_CONTROL_ENABLE;
    case SERIAL_DTR_HANDSHAKE:
        return DTR_CONTROL_HANDSHAKE;
    default:
        return DTR_CONTROL_DISABLE;
    }
}

DWORD RtsControl(ULONG flowReplace) {
    switch (flowReplace & SERIAL_RTS_MASK) {
    case SERIAL_RTS_CONTROL:
        return RTS_CONTROL_ENABLE;
    case SERIAL_RTS_HANDSHAKE:
        return RTS_CONTROL_HANDSHAKE;
    case SERIAL_TRANSMIT_TOGGLE:
        return RTS_CONTROL_TOGGLE;
    default:
        return RTS_CONTROL_DISABLE;
    }
}

SERIAL_HANDFLOW HandFlowOf(const DCB& dcb) {
    SERIAL_HANDFLOW handFlow{};
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE)
        handFlow.ControlHandShake |= SERIAL_DTR_CONTROL;
    else if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE)
        handFlow.ControlHandShake |= SERIAL_DTR_HANDSHAKE;
    if (dcb.fOutxCtsFlow)
        handFlow.ControlHandShake |= SERIAL_CTS_HANDSHAKE;
    if (dcb.fOutxDsrFlow)
        handFlow.ControlHandShake |= SERIAL_DSR_HANDSHAKE;
    if (dcb.fDsrSensitivity)
        handFlow.ControlHandShake |= SERIAL_DSR_SENSITIVITY;
    if (dcb.fAbortOnError)
        handFlow.ControlHandShake |= SERIAL_ERROR_ABORT;
    switch (dcb.fRtsControl) {
    case RTS_CONTROL_ENABLE:
        handFlow.FlowReplace |= SERIAL_RTS_CONTROL;
        break;
    case RTS_CONTROL_HANDSHAKE:
        handFlow.FlowReplace |= SERIAL_RTS_HANDSHAKE;
        break;
    case RTS_CONTROL_TOGGLE:
        handFlow.FlowReplace |= SERIAL_TRANSMIT_TOGGLE;
        break;
    default:
        break;
    }
    if (dcb.fOutX)
        handFlow.FlowReplace |= SERIAL_AUTO_TRANSMIT;
    if (dcb.fInX)
        handFlow.FlowReplace |= SERIAL_AUTO_RECEIVE;
    if (dcb.fErrorChar)
        handFlow.FlowReplace |= SERIAL_ERROR_CHAR;
    if (dcb.fNull)
        handFlow.FlowReplace |= SERIAL_NULL_STRIPPING;
    if (dcb.fTXContinueOnXoff)
        handFlow.FlowReplace |= SERIAL_XOFF_CONTINUE;
    handFlow.XonLimit = dcb.XonLim;
    handFlow.XoffLimit = dcb.XoffLim;
    return handFlow;
}

// The requests that set a DCB, in the order kernel32 sends them; the first failure
// ends the sequence.
BOOL ApplyCommState(HANDLE handle, const DCB& dcb) {
    SERIAL_BAUD_RATE rate{dcb.BaudRate};
    if (!ControlIn(handle, IOCTL_SERIAL_SET_BAUD_RATE, rate))
        return FALSE;
    if (dcb.fRtsControl == RTS_CONTROL_ENABLE || dcb.fRtsControl == RTS_CONTROL_DISABLE) {
        ULONG code =
            dcb.fRtsControl == RTS_CONTROL_ENABLE ? IOCTL_SERIAL_SET_RTS : IOCTL_SERIAL_CLR_RTS;
        if (!Control(handle, code, nullptr, 0, nullptr, 0))
            return FALSE;
    }
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE || dcb.fDtrControl == DTR_CONTROL_DISABLE) {
        ULONG code =
            dcb.fDtrControl == DTR_CONTROL_ENABLE ? IOCTL_SERIAL_SET_DTR : IOCTL_SERIAL_CLR_DTR;
        if (!Control(handle, code, nullptr, 0, nullptr, 0))
            return FALSE;
    }
    SERIAL_LINE_CONTROL line{dcb.StopBits, dcb.Parity, dcb.ByteSize};
    if (!ControlIn(handle, IOCTL_SERIAL_SET_LINE_CONTROL, line))
        return FALSE;
    SERIAL_CHARS chars{};
    chars.EofChar = static_cast<UCHAR>(dcb.EofChar);
    chars.ErrorChar = static_cast<UCHAR>(dcb.ErrorChar);
    chars.BreakChar = 0;
    chars.EventChar = static_cast<UCHAR>(dcb.EvtChar);
    chars.XonChar = static_cast<UCHAR>(dcb.XonChar);
    chars.XoffChar = static_cast<UCHAR>(dcb.XoffChar);
    if (!ControlIn(handle, IOCTL_SERIAL_SET_CHARS, chars))
        return FALSE;
    return ControlIn(handle, IOCTL_SERIAL_SET_HANDFLOW, HandFlowOf(dcb));
}

HANDLE OpenFile(const std::u16string& name, DWORD access, DWORD share, DWORD creation,
                DWORD flags) {
    std::u16string deviceName;
    if (!DeviceName(name, &deviceName)) {
        // There is no file system: only devices can be opened.
        lastError = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    kx::FileOpen open;
    open.name = deviceName;
    open.desiredAccess = access;
    open.shareAccess = static_cast<USHORT>(share);
    open.options = (flags & FILE_FLAG_OVERLAPPED) ? 0 : FILE_SYNCHRONOUS_IO_NONALERT;
    if (!Disposition(creation, &open.disposition)) {
        lastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    PFILE_OBJECT file = nullptr;
    NTSTATUS status = kx::OpenFile(open, &file);
    if (!NT_SUCCESS(status)) {
        lastError = RtlNtStatusToDosError(status);
        return INVALID_HANDLE_VALUE;
    }
    lastError = ERROR_SUCCESS;
    return Insert(Object{file, (flags & FILE_FLAG_OVERLAPPED) != 0, nullptr, nullptr});
}

HANDLE NewEvent(BOOL manualReset, BOOL initialState, bool named) {
    if (named) {
        lastError = ERROR_NOT_SUPPORTED;
        return nullptr;
    }
    auto event = std::make_shared<EventObject>();
    KeInitializeEvent(&event->event, manualReset ? NotificationEvent : SynchronizationEvent,
                      initialState ? TRUE : FALSE);
    lastError = ERROR_SUCCESS;
    return Insert(Object{nullptr, false, event, nullptr});
}

} // namespace

// ---- Errors ---------------------------------------------------------------------------------

DWORD GetLastError() {
    return lastError;
}

void SetLastError(DWORD dwErrCode) {
    lastError = dwErrCode;
}

ULONG RtlNtStatusToDosError(NTSTATUS Status) {
    struct Mapping {
        ULONG status;
        DWORD error;
    };
    // The statuses a port's requests can end with (the driver's, the USB bus's and
    // the I/O manager's), as Windows maps them.
    static const Mapping table[] = {
        {0x00000000, ERROR_SUCCESS},              // STATUS_SUCCESS
        {0x00000102, ERROR_TIMEOUT},              // STATUS_TIMEOUT
        {0x00000103, ERROR_IO_PENDING},           // STATUS_PENDING
        {0x00000105, ERROR_MORE_DATA},            // STATUS_MORE_ENTRIES
        {0x40000000, ERROR_ALREADY_EXISTS},       // STATUS_OBJECT_NAME_EXISTS
        {0x40000008, ERROR_MORE_WRITES},          // STATUS_SERIAL_MORE_WRITES
        {0x4000000C, ERROR_COUNTER_TIMEOUT},      // STATUS_SERIAL_COUNTER_TIMEOUT
        {0x80000005, ERROR_MORE_DATA},            // STATUS_BUFFER_OVERFLOW
        {0x80000010, ERROR_NOT_READY},            // STATUS_DEVICE_OFF_LINE
        {0x80000011, ERROR_BUSY},                 // STATUS_DEVICE_BUSY
        {0x8000001A, ERROR_NO_MORE_ITEMS},        // STATUS_NO_MORE_ENTRIES
        {0xC0000001, ERROR_GEN_FAILURE},          // STATUS_UNSUCCESSFUL
        {0xC0000002, ERROR_INVALID_FUNCTION},     // STATUS_NOT_IMPLEMENTED
        {0xC0000003, ERROR_INVALID_PARAMETER},    // STATUS_INVALID_INFO_CLASS
        {0xC0000004, ERROR_BAD_LENGTH},           // STATUS_INFO_LENGTH_MISMATCH
        {0xC0000005, ERROR_NOACCESS},             // STATUS_ACCESS_VIOLATION
        {0xC0000008, ERROR_INVALID_HANDLE},       // STATUS_INVALID_HANDLE
        {0xC000000D, ERROR_INVALID_PARAMETER},    // STATUS_INVALID_PARAMETER
        {0xC000000E, ERROR_FILE_NOT_FOUND},       // STATUS_NO_SUCH_DEVICE
        {0xC000000F, ERROR_FILE_NOT_FOUND},       // STATUS_NO_SUCH_FILE
        {0xC0000010, ERROR_INVALID_FUNCTION},     // STATUS_INVALID_DEVICE_REQUEST
        {0xC0000011, ERROR_HANDLE_EOF},           // STATUS_END_OF_FILE
        {0xC0000016, ERROR_MORE_DATA},            // STATUS_MORE_PROCESSING_REQUIRED
        {0xC0000017, ERROR_NOT_ENOUGH_MEMORY},    // STATUS_NO_MEMORY
        {0xC0000022, ERROR_ACCESS_DENIED},        // STATUS_ACCESS_DENIED
        {0xC0000023, ERROR_INSUFFICIENT_BUFFER},  // STATUS_BUFFER_TOO_SMALL
        {0xC0000024, ERROR_INVALID_HANDLE},       // STATUS_OBJECT_TYPE_MISMATCH
        {0xC0000033, ERROR_INVALID_NAME},         // STATUS_OBJECT_NAME_INVALID
        {0xC0000034, ERROR_FILE_NOT_FOUND},       // STATUS_OBJECT_NAME_NOT_FOUND
        {0xC0000035, ERROR_ALREADY_EXISTS},       // STATUS_OBJECT_NAME_COLLISION
        {0xC000003A, ERROR_PATH_NOT_FOUND},       // STATUS_OBJECT_PATH_NOT_FOUND
        {0xC0000043, ERROR_SHARING_VIOLATION},    // STATUS_SHARING_VIOLATION
        {0xC0000056, ERROR_ACCESS_DENIED},        // STATUS_DELETE_PENDING
        {0xC000009A, ERROR_NO_SYSTEM_RESOURCES},  // STATUS_INSUFFICIENT_RESOURCES
        {0xC000009C, ERROR_CRC},                  // STATUS_DEVICE_DATA_ERROR
        {0xC000009D, ERROR_DEVICE_NOT_CONNECTED}, // STATUS_DEVICE_NOT_CONNECTED
        {0xC000009E, ERROR_NOT_READY},            // STATUS_DEVICE_POWER_FAILURE
        {0xC00000A3, ERROR_NOT_READY},            // STATUS_DEVICE_NOT_READY
        {0xC00000B5, ERROR_SEM_TIMEOUT},          // STATUS_IO_TIMEOUT
        {0xC00000BB, ERROR_NOT_SUPPORTED},        // STATUS_NOT_SUPPORTED
        {0xC00000C0, ERROR_DEV_NOT_EXIST},        // STATUS_DEVICE_DOES_NOT_EXIST
        {0xC00000E5, ERROR_INTERNAL_ERROR},       // STATUS_INTERNAL_ERROR
        {0xC00000E8, ERROR_INVALID_USER_BUFFER},  // STATUS_INVALID_USER_BUFFER
        {0xC00000E9, ERROR_UNEXP_NET_ERR},        // STATUS_UNEXPECTED_IO_ERROR
        {0xC00000F0, ERROR_INVALID_PARAMETER},    // STATUS_INVALID_PARAMETER_2
        {0xC0000120, ERROR_OPERATION_ABORTED},    // STATUS_CANCELLED
        {0xC0000150, ERROR_SERIAL_NO_DEVICE},     // STATUS_SERIAL_NO_DEVICE_INITED
        {0xC0000184, ERROR_BAD_COMMAND},          // STATUS_INVALID_DEVICE_STATE
        {0xC0000185, ERROR_IO_DEVICE},            // STATUS_IO_DEVICE_ERROR
        {0xC0000186, ERROR_IO_DEVICE},            // STATUS_DEVICE_PROTOCOL_ERROR
        {0xC0000206, ERROR_INVALID_USER_BUFFER},  // STATUS_INVALID_BUFFER_SIZE
        {0xC0000240, ERROR_REQUEST_ABORTED},      // STATUS_REQUEST_ABORTED
        {0xC00002B6, ERROR_DEVICE_REMOVED},       // STATUS_DEVICE_REMOVED
        {0xC00002D3, ERROR_NOT_READY},            // STATUS_POWER_STATE_INVALID
    };
    auto value = static_cast<ULONG>(Status);
    // A customer's status is its own error code; a Win32 error wrapped in a status
    // is that error.
    if ((value & 0x20000000) != 0)
        return value;
    if ((value & 0x3FFF0000) == 0x00070000 && (value >> 30) >= 2)
        return value & 0xFFFF;
    for (const Mapping& mapping : table) {
        if (mapping.status == value)
            return mapping.error;
    }
    return ERROR_MR_MID_NOT_FOUND;
}

// ---- Handles and files --------------------------------------------------------------------

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    if (lpFileName == nullptr) {
        lastError = ERROR_PATH_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(Widen(lpFileName).c_str(), dwDesiredAccess, dwShareMode,
                       lpSecurityAttributes, dwCreationDisposition, dwFlagsAndAttributes,
                       hTemplateFile);
}

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    (void)lpSecurityAttributes;
    (void)hTemplateFile;
    if (lpFileName == nullptr) {
        lastError = ERROR_PATH_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    return OpenFile(lpFileName, dwDesiredAccess, dwShareMode, dwCreationDisposition,
                    dwFlagsAndAttributes);
}

BOOL CloseHandle(HANDLE hObject) {
    Object object;
    {
        std::lock_guard<std::mutex> guard(handlesMutex);
        auto it = handles.find(reinterpret_cast<uintptr_t>(hObject));
        if (it == handles.end())
            return Fail(ERROR_INVALID_HANDLE);
        object = std::move(it->second);
        handles.erase(it);
    }
    // Closing a handle never fails once it is known; the cleanup's status is not
    // the caller's business.
    if (object.file != nullptr)
        kx::CloseFile(object.file);
    return TRUE;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesRead != nullptr)
        *lpNumberOfBytesRead = 0;
    Object file;
    if (!FileHandle(hFile, &file))
        return FALSE;
    if (lpNumberOfBytesRead == nullptr && lpOverlapped == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    if (OffsetMissing(file, lpOverlapped))
        return Fail(ERROR_INVALID_PARAMETER);
    LARGE_INTEGER offset{};
    if (lpOverlapped != nullptr)
        offset.QuadPart = (LONGLONG(lpOverlapped->OffsetHigh) << 32) | lpOverlapped->Offset;
    return Run(
        file, lpOverlapped, lpNumberOfBytesRead,
        [&](const kx::IoCompletionTarget& target) {
            return kx::ReadFile(file.file, target, lpBuffer, nNumberOfBytesToRead, &offset);
        },
        true);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesWritten != nullptr)
        *lpNumberOfBytesWritten = 0;
    Object file;
    if (!FileHandle(hFile, &file))
        return FALSE;
    if (lpNumberOfBytesWritten == nullptr && lpOverlapped == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    if (OffsetMissing(file, lpOverlapped))
        return Fail(ERROR_INVALID_PARAMETER);
    LARGE_INTEGER offset{};
    if (lpOverlapped != nullptr)
        offset.QuadPart = (LONGLONG(lpOverlapped->OffsetHigh) << 32) | lpOverlapped->Offset;
    return Run(
        file, lpOverlapped, lpNumberOfBytesWritten, [&](const kx::IoCompletionTarget& target) {
            return kx::WriteFile(file.file, target, lpBuffer, nNumberOfBytesToWrite, &offset);
        });
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                     LPOVERLAPPED lpOverlapped) {
    Object file;
    if (!FileHandle(hDevice, &file))
        return FALSE;
    if (lpBytesReturned == nullptr && lpOverlapped == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    return Run(file, lpOverlapped, lpBytesReturned, [&](const kx::IoCompletionTarget& target) {
        return kx::DeviceIoControlFile(file.file, target, dwIoControlCode, lpInBuffer,
                                       nInBufferSize, lpOutBuffer, nOutBufferSize);
    });
}

BOOL FlushFileBuffers(HANDLE hFile) {
    Object file;
    if (!FileHandle(hFile, &file))
        return FALSE;
    return Run(file, nullptr, nullptr, [&](const kx::IoCompletionTarget& target) {
        return kx::FlushBuffersFile(file.file, target);
    });
}

// ---- Overlapped I/O and events ------------------------------------------------------------

BOOL HasOverlappedIoCompleted(const OVERLAPPED* lpOverlapped) {
    // The thread takes its completions here, as the APC interrupt would reach it.
    kx::DeliverApcs();
    auto status = static_cast<NTSTATUS>(__atomic_load_n(&lpOverlapped->Internal, __ATOMIC_ACQUIRE));
    return status != STATUS_PENDING;
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                         LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    kx::DeliverApcs();
    if (!HasOverlappedIoCompleted(lpOverlapped)) {
        if (!bWait)
            return Fail(ERROR_IO_INCOMPLETE);
        auto event = reinterpret_cast<uintptr_t>(lpOverlapped->hEvent) & ~uintptr_t(1);
        HANDLE waitOn = event != 0 ? reinterpret_cast<HANDLE>(event) : hFile;
        if (WaitForSingleObject(waitOn, INFINITE) == WAIT_FAILED)
            return FALSE;
    }
    auto status = static_cast<NTSTATUS>(__atomic_load_n(&lpOverlapped->Internal, __ATOMIC_ACQUIRE));
    *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
    if (!NT_SUCCESS(status))
        return FailStatus(status);
    return TRUE;
}

BOOL CancelIo(HANDLE hFile) {
    Object file;
    if (!FileHandle(hFile, &file))
        return FALSE;
    NTSTATUS status = kx::CancelIoFile(file.file);
    return NT_SUCCESS(status) ? TRUE : FailStatus(status);
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCSTR lpName) {
    (void)lpEventAttributes;
    return NewEvent(bManualReset, bInitialState, lpName != nullptr);
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCWSTR lpName) {
    (void)lpEventAttributes;
    return NewEvent(bManualReset, bInitialState, lpName != nullptr);
}

BOOL SetEvent(HANDLE hEvent) {
    Object object;
    if (!Lookup(hEvent, &object) || !object.event)
        return Fail(ERROR_INVALID_HANDLE);
    KeSetEvent(&object.event->event, IO_NO_INCREMENT, FALSE);
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
    Object object;
    if (!Lookup(hEvent, &object) || !object.event)
        return Fail(ERROR_INVALID_HANDLE);
    KeClearEvent(&object.event->event);
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    kx::DeliverApcs();
    Object object;
    if (!Lookup(hHandle, &object)) {
        lastError = ERROR_INVALID_HANDLE;
        return WAIT_FAILED;
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = -LONGLONG(dwMilliseconds) * 10000;
    PLARGE_INTEGER limit = dwMilliseconds == INFINITE ? nullptr : &timeout;
    PKEVENT waitable = Waitable(object);
    NTSTATUS status = waitable != nullptr
                          ? KeWaitForSingleObject(waitable, UserRequest, UserMode, FALSE, limit)
                          : kx::WaitForFile(object.file, limit);
    if (status == STATUS_TIMEOUT)
        return WAIT_TIMEOUT;
    if (!NT_SUCCESS(status)) {
        lastError = RtlNtStatusToDosError(status);
        return WAIT_FAILED;
    }
    return WAIT_OBJECT_0;
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                             DWORD dwMilliseconds) {
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
        lastError = ERROR_INVALID_PARAMETER;
        return WAIT_FAILED;
    }
    std::vector<Object> objects(nCount);
    std::vector<PVOID> waitables(nCount);
    for (DWORD i = 0; i < nCount; ++i) {
        if (!Lookup(lpHandles[i], &objects[i]) || Waitable(objects[i]) == nullptr) {
            lastError = ERROR_INVALID_HANDLE;
            return WAIT_FAILED;
        }
        waitables[i] = Waitable(objects[i]);
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = -LONGLONG(dwMilliseconds) * 10000;
    NTSTATUS status = KeWaitForMultipleObjects(
        nCount, waitables.data(), bWaitAll ? WaitAll : WaitAny, UserRequest, UserMode, FALSE,
        dwMilliseconds == INFINITE ? nullptr : &timeout, nullptr);
    if (status == STATUS_TIMEOUT)
        return WAIT_TIMEOUT;
    return WAIT_OBJECT_0 + static_cast<DWORD>(status - STATUS_WAIT_0);
}

// ---- Threads and time -----------------------------------------------------------------------

HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, size_t dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId) {
    (void)lpThreadAttributes;
    (void)dwStackSize;
    if (lpStartAddress == nullptr || (dwCreationFlags & CREATE_SUSPENDED) != 0) {
        lastError = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    static std::atomic<DWORD> nextThreadId{0x1000};
    auto thread = std::make_shared<ThreadObject>();
    KeInitializeEvent(&thread->exited, NotificationEvent, FALSE);
    HANDLE handle = Insert(Object{nullptr, false, nullptr, thread});
    if (lpThreadId != nullptr)
        *lpThreadId = nextThreadId += 4;
    // The thread keeps its object: closing the handle does not end the thread.
    kx::ControlledThread("CreateThread", [thread, lpStartAddress, lpParameter] {
        DWORD code = lpStartAddress(lpParameter);
        // The thread's requests do not outlive it: they are cancelled, and the thread
        // ends (its handle is signalled) once they have completed.
        kx::CancelThreadIo();
        thread->exitCode = code;
        KeSetEvent(&thread->exited, IO_NO_INCREMENT, FALSE);
    }).Detach();
    lastError = ERROR_SUCCESS;
    return handle;
}

BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    Object object;
    if (!Lookup(hThread, &object) || !object.thread)
        return Fail(ERROR_INVALID_HANDLE);
    *lpExitCode = object.thread->exitCode;
    return TRUE;
}

void Sleep(DWORD dwMilliseconds) {
    LARGE_INTEGER interval;
    interval.QuadPart = dwMilliseconds == INFINITE ? std::numeric_limits<LONGLONG>::min()
                                                   : -LONGLONG(dwMilliseconds) * 10000;
    KeDelayExecutionThread(UserMode, FALSE, &interval);
}

DWORD GetTickCount() {
    return static_cast<DWORD>(KeQueryInterruptTime() / 10000);
}

DWORD GetFileType(HANDLE hFile) {
    Object file;
    if (!FileHandle(hFile, &file))
        return FILE_TYPE_UNKNOWN;
    // Every device this API opens is a serial port, a character device.
    lastError = ERROR_SUCCESS;
    return FILE_TYPE_CHAR;
}

// ---- Communications -----------------------------------------------------------------------

BOOL GetCommState(HANDLE hFile, LPDCB lpDCB) {
    SERIAL_BAUD_RATE rate;
    SERIAL_LINE_CONTROL line;
    SERIAL_CHARS chars;
    SERIAL_HANDFLOW handFlow;
    if (!ControlOut(hFile, IOCTL_SERIAL_GET_BAUD_RATE, &rate) ||
        !ControlOut(hFile, IOCTL_SERIAL_GET_LINE_CONTROL, &line) ||
        !ControlOut(hFile, IOCTL_SERIAL_GET_CHARS, &chars) ||
        !ControlOut(hFile, IOCTL_SERIAL_GET_HANDFLOW, &handFlow))
        return FALSE;
    std::memset(lpDCB, 0, sizeof(DCB));
    lpDCB->DCBlength = sizeof(DCB);
    lpDCB->BaudRate = rate.BaudRate;
    lpDCB->fBinary = 1;
    lpDCB->fParity = line.Parity != NOPARITY;
    lpDCB->fOutxCtsFlow = (handFlow.ControlHandShake & SERIAL_CTS_HANDSHAKE) != 0;
    lpDCB->fOutxDsrFlow = (handFlow.ControlHandShake & SERIAL_DSR_HANDSHAKE) != 0;
    lpDCB->fDtrControl = DtrControl(handFlow.ControlHandShake);
    lpDCB->fDsrSensitivity = (handFlow.ControlHandShake & SERIAL_DSR_SENSITIVITY) != 0;
    lpDCB->fTXContinueOnXoff = (handFlow.FlowReplace & SERIAL_XOFF_CONTINUE) != 0;
    lpDCB->fOutX = (handFlow.FlowReplace & SERIAL_AUTO_TRANSMIT) != 0;
    lpDCB->fInX = (handFlow.FlowReplace & SERIAL_AUTO_RECEIVE) != 0;
    lpDCB->fErrorChar = (handFlow.FlowReplace & SERIAL_ERROR_CHAR) != 0;
    lpDCB->fNull = (handFlow.FlowReplace & SERIAL_NULL_STRIPPING) != 0;
    lpDCB->fRtsControl = RtsControl(handFlow.FlowReplace);
    lpDCB->fAbortOnError = (handFlow.ControlHandShake & SERIAL_ERROR_ABORT) != 0;
    lpDCB->XonLim = static_cast<WORD>(handFlow.XonLimit);
    lpDCB->XoffLim = static_cast<WORD>(handFlow.XoffLimit);
    lpDCB->ByteSize = line.WordLength;
    lpDCB->Parity = line.Parity;
    lpDCB->StopBits = line.StopBits;
    lpDCB->XonChar = static_cast<char>(chars.XonChar);
    lpDCB->XoffChar = static_cast<char>(chars.XoffChar);
    lpDCB->ErrorChar = static_cast<char>(chars.ErrorChar);
    lpDCB->EofChar = static_cast<char>(chars.EofChar);
    lpDCB->EvtChar = static_cast<char>(chars.EventChar);
    return TRUE;
}

BOOL SetCommState(HANDLE hFile, LPDCB lpDCB) {
    DCB saved;
    if (!GetCommState(hFile, &saved))
        return FALSE;
    if (ApplyCommState(hFile, *lpDCB))
        return TRUE;
    DWORD error = lastError;
    ApplyCommState(hFile, saved);
    return Fail(error);
}

BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    SERIAL_TIMEOUTS timeouts;
    if (!ControlOut(hFile, IOCTL_SERIAL_GET_TIMEOUTS, &timeouts))
        return FALSE;
    std::memcpy(lpCommTimeouts, &timeouts, sizeof(COMMTIMEOUTS));
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    SERIAL_TIMEOUTS timeouts;
    std::memcpy(&timeouts, lpCommTimeouts, sizeof(SERIAL_TIMEOUTS));
    return ControlIn(hFile, IOCTL_SERIAL_SET_TIMEOUTS, timeouts);
}

BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    ULONG mask = dwEvtMask;
    return ControlIn(hFile, IOCTL_SERIAL_SET_WAIT_MASK, mask);
}

BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
    ULONG mask;
    if (!ControlOut(hFile, IOCTL_SERIAL_GET_WAIT_MASK, &mask))
        return FALSE;
    *lpEvtMask = mask;
    return TRUE;
}

BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
    Object file;
    if (!FileHandle(hFile, &file))
        return FALSE;
    // Without an OVERLAPPED the call waits for its request on either kind of handle.
    BOOL done = Run(file, lpOverlapped, nullptr, [&](const kx::IoCompletionTarget& target) {
        return kx::DeviceIoControlFile(file.file, target, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0,
                                       lpEvtMask, sizeof(DWORD));
    });
    // A wait that has failed reports no event; one still pending keeps the mask
    // for the request to fill.
    if (!done && lastError != ERROR_IO_PENDING)
        *lpEvtMask = 0;
    return done;
}

BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
    ULONG code;
    switch (dwFunc) {
    case SETXOFF:
        code = IOCTL_SERIAL_SET_XOFF;
        break;
    case SETXON:
        code = IOCTL_SERIAL_SET_XON;
        break;
    case SETRTS:
        code = IOCTL_SERIAL_SET_RTS;
        break;
    case CLRRTS:
        code = IOCTL_SERIAL_CLR_RTS;
        break;
    case SETDTR:
        code = IOCTL_SERIAL_SET_DTR;
        break;
    case CLRDTR:
        code = IOCTL_SERIAL_CLR_DTR;
        break;
    case RESETDEV:
        code = IOCTL_SERIAL_RESET_DEVICE;
        break;
    case SETBREAK:
        code = IOCTL_SERIAL_SET_BREAK_ON;
        break;
    case CLRBREAK:
        code = IOCTL_SERIAL_SET_BREAK_OFF;
        break;
    default:
        return Fail(ERROR_INVALID_PARAMETER);
    }
    return Control(hFile, code, nullptr, 0, nullptr, 0);
}

BOOL SetCommBreak(HANDLE hFile) {
    return EscapeCommFunction(hFile, SETBREAK);
}

BOOL ClearCommBreak(HANDLE hFile) {
    return EscapeCommFunction(hFile, CLRBREAK);
}

BOOL GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
    ULONG status;
    if (!ControlOut(hFile, IOCTL_SERIAL_GET_MODEMSTATUS, &status))
        return FALSE;
    *lpModemStat = status;
    return TRUE;
}

BOOL GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp) {
    // An application that asks for provider-specific data says how large its
    // structure is.
    ULONG size = sizeof(COMMPROP);
    if (lpCommProp->dwProvSpec1 == COMMPROP_INITIALIZED && lpCommProp->wPacketLength > size)
        size = lpCommProp->wPacketLength;
    std::vector<uint8_t> buffer(size, PoisonByte);
    DWORD returned = 0;
    if (!Control(hFile, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, buffer.data(), size, &returned))
        return FALSE;
    // The fixed part must have come back; provider characters may follow.
    if (returned < offsetof(COMMPROP, wcProvChar) || returned > size)
        return Fail(ERROR_INVALID_DATA);
    std::memcpy(lpCommProp, buffer.data(), returned);
    return TRUE;
}

BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
    SERIAL_QUEUE_SIZE sizes{dwInQueue, dwOutQueue};
    return ControlIn(hFile, IOCTL_SERIAL_SET_QUEUE_SIZE, sizes);
}

BOOL PurgeComm(HANDLE hFile, DWORD dwFlags) {
    ULONG mask = dwFlags;
    return ControlIn(hFile, IOCTL_SERIAL_PURGE, mask);
}

BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    SERIAL_STATUS status;
    if (!ControlOut(hFile, IOCTL_SERIAL_GET_COMMSTATUS, &status))
        return FALSE;
    if (lpErrors != nullptr) {
        DWORD errors = 0;
        if (status.Errors & SERIAL_ERROR_QUEUEOVERRUN)
            errors |= CE_RXOVER;
        if (status.Errors & SERIAL_ERROR_OVERRUN)
            errors |= CE_OVERRUN;
        if (status.Errors & SERIAL_ERROR_PARITY)
            errors |= CE_RXPARITY;
        if (status.Errors & SERIAL_ERROR_FRAMING)
            errors |= CE_FRAME;
        if (status.Errors & SERIAL_ERROR_BREAK)
            errors |= CE_BREAK;
        *lpErrors = errors;
    }
    if (lpStat != nullptr) {
        std::memset(lpStat, 0, sizeof(COMSTAT));
        lpStat->fCtsHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_CTS) != 0;
        lpStat->fDsrHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DSR) != 0;
        lpStat->fRlsdHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DCD) != 0;
        lpStat->fXoffHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_XON) != 0;
        lpStat->fXoffSent = (status.HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) != 0;
        lpStat->fEof = status.EofReceived ? 1 : 0;
        lpStat->fTxim = status.WaitForImmediate ? 1 : 0;
        lpStat->cbInQue = status.AmountInInQueue;
        lpStat->cbOutQue = status.AmountInOutQueue;
    }
    return TRUE;
}

BOOL TransmitCommChar(HANDLE hFile, char cChar) {
    UCHAR character = static_cast<UCHAR>(cChar);
    return Control(hFile, IOCTL_SERIAL_IMMEDIATE_CHAR, &character, 1, nullptr, 0);
}

namespace {

// A COMMCONFIG for a DCB, with no provider data.
BOOL ReturnConfig(const DCB& dcb, DWORD subType, LPCOMMCONFIG config, LPDWORD size) {
    if (*size < sizeof(COMMCONFIG)) {
        *size = sizeof(COMMCONFIG);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memset(config, 0, sizeof(COMMCONFIG));
    config->dwSize = sizeof(COMMCONFIG);
    config->wVersion = 1;
    config->dcb = dcb;
    config->dwProviderSubType = subType;
    *size = sizeof(COMMCONFIG);
    return TRUE;
}

// The provider data the port's driver keeps, in bytes: what CONFIG_SIZE returned,
// or 0 when it returned no size or failed (a port without provider data).
ULONG ProviderConfigSize(HANDLE handle) {
    ULONG size = 0;
    std::memset(&size, PoisonByte, sizeof size);
    DWORD returned = 0;
    if (!Control(handle, IOCTL_SERIAL_CONFIG_SIZE, nullptr, 0, &size, sizeof size, &returned) ||
        returned != sizeof size)
        return 0;
    return size;
}

} // namespace

BOOL GetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, LPDWORD lpdwSize) {
    Object file;
    if (!FileHandle(hCommDev, &file))
        return FALSE;
    ULONG providerSize = ProviderConfigSize(hCommDev);
    if (providerSize > sizeof(COMMCONFIG)) {
        // The driver keeps a configuration of its own: GET_COMMCONFIG returns it
        // whole, with the current DCB put in.
        if (*lpdwSize < providerSize) {
            *lpdwSize = providerSize;
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        }
        std::vector<uint8_t> buffer(providerSize, PoisonByte);
        DWORD returned = 0;
        if (!Control(hCommDev, IOCTL_SERIAL_GET_COMMCONFIG, nullptr, 0, buffer.data(), providerSize,
                     &returned))
            return FALSE;
        if (returned < sizeof(COMMCONFIG) || returned > providerSize)
            return Fail(ERROR_INVALID_DATA);
        DCB dcb;
        if (!GetCommState(hCommDev, &dcb))
            return FALSE;
        std::memcpy(lpCC, buffer.data(), returned);
        lpCC->dcb = dcb;
        *lpdwSize = returned;
        return TRUE;
    }
    COMMPROP properties;
    properties.dwProvSpec1 = 0;
    DCB dcb;
    if (!GetCommProperties(hCommDev, &properties) || !GetCommState(hCommDev, &dcb))
        return FALSE;
    return ReturnConfig(dcb, properties.dwProvSubType, lpCC, lpdwSize);
}

BOOL SetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, DWORD dwSize) {
    Object file;
    if (!FileHandle(hCommDev, &file))
        return FALSE;
    if (dwSize < sizeof(COMMCONFIG) || lpCC->dwSize > dwSize)
        return Fail(ERROR_INVALID_PARAMETER);
    // Provider data goes to a driver that keeps some; the DCB is set as
    // SetCommState sets it.
    if (lpCC->dwProviderSize != 0 && ProviderConfigSize(hCommDev) > sizeof(COMMCONFIG) &&
        !Control(hCommDev, IOCTL_SERIAL_SET_COMMCONFIG, lpCC, dwSize, nullptr, 0))
        return FALSE;
    return SetCommState(hCommDev, &lpCC->dcb);
}

BOOL GetDefaultCommConfigW(LPCWSTR lpszName, LPCOMMCONFIG lpCC, LPDWORD lpdwSize) {
    std::u16string deviceName;
    if (lpszName == nullptr || !DeviceName(lpszName, &deviceName))
        return Fail(ERROR_INVALID_PARAMETER);
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    BuildCommDCBA("baud=9600 parity=n data=8 stop=1 dtr=on rts=on", &dcb);
    return ReturnConfig(dcb, PST_RS232, lpCC, lpdwSize);
}

BOOL GetDefaultCommConfigA(LPCSTR lpszName, LPCOMMCONFIG lpCC, LPDWORD lpdwSize) {
    if (lpszName == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    return GetDefaultCommConfigW(Widen(lpszName).c_str(), lpCC, lpdwSize);
}

} // namespace win32

namespace sim {

size_t CloseApplicationHandles() {
    std::vector<std::pair<uintptr_t, bool>> open;
    {
        std::lock_guard<std::mutex> guard(win32::handlesMutex);
        for (const auto& entry : win32::handles)
            open.push_back({entry.first, entry.second.file != nullptr});
    }
    // Files first: a request still in a driver may refer to an event.
    std::stable_partition(open.begin(), open.end(), [](const auto& e) { return e.second; });
    for (const auto& entry : open)
        win32::CloseHandle(reinterpret_cast<HANDLE>(entry.first));
    return open.size();
}

size_t OpenApplicationHandles() {
    std::lock_guard<std::mutex> guard(win32::handlesMutex);
    return win32::handles.size();
}

} // namespace sim
