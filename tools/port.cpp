#include "port.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace korvaxsim {

using namespace win32;

namespace {

struct ErrorText {
    DWORD code;
    const char* name;
    const char* meaning;
};

constexpr ErrorText ErrorTexts[] = {
    {ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND", "no such port"},
    {ERROR_PATH_NOT_FOUND, "ERROR_PATH_NOT_FOUND", "no such port"},
    {ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED", "access denied"},
    {ERROR_SHARING_VIOLATION, "ERROR_SHARING_VIOLATION", "the port is in use"},
    {ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE", "the handle is not valid"},
    {ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER", "the driver refused the request"},
    {ERROR_INVALID_NAME, "ERROR_INVALID_NAME", "not a port name"},
    {ERROR_INVALID_FUNCTION, "ERROR_INVALID_FUNCTION", "the driver does not do that"},
    {ERROR_NOT_SUPPORTED, "ERROR_NOT_SUPPORTED", "not supported"},
    {ERROR_GEN_FAILURE, "ERROR_GEN_FAILURE", "the device failed the request"},
    {ERROR_NOT_READY, "ERROR_NOT_READY", "the device is not ready"},
    {ERROR_DEVICE_NOT_CONNECTED, "ERROR_DEVICE_NOT_CONNECTED", "the device is not connected"},
    {ERROR_DEVICE_REMOVED, "ERROR_DEVICE_REMOVED", "the device was removed"},
    {ERROR_DEV_NOT_EXIST, "ERROR_DEV_NOT_EXIST", "the device does not exist"},
    {ERROR_OPERATION_ABORTED, "ERROR_OPERATION_ABORTED", "the request was cancelled"},
    {ERROR_SEM_TIMEOUT, "ERROR_SEM_TIMEOUT", "the request timed out"},
    {ERROR_NOT_ENOUGH_MEMORY, "ERROR_NOT_ENOUGH_MEMORY", "out of memory"},
    {ERROR_NO_SYSTEM_RESOURCES, "ERROR_NO_SYSTEM_RESOURCES", "out of system resources"},
    {ERROR_BUSY, "ERROR_BUSY", "the device is busy"},
    {ERROR_BAD_COMMAND, "ERROR_BAD_COMMAND", "the device is not in a state to do that"},
};

const ErrorText* FindError(DWORD error) {
    for (const ErrorText& text : ErrorTexts) {
        if (text.code == error)
            return &text;
    }
    return nullptr;
}

} // namespace

std::string ErrorName(DWORD error) {
    if (const ErrorText* text = FindError(error))
        return text->name;
    return "error " + std::to_string(error);
}

std::string DescribePortError(const std::string& port, const std::string& call, DWORD error,
                              bool unplugged) {
    if (unplugged)
        return port + ": the modem was unplugged (" + call + ": " + ErrorName(error) + ")";
    if (call == "CreateFile") {
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return port + ": no such port (" + ErrorName(error) + ")";
        if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
            return port + ": the port is already open in another application (" + ErrorName(error) +
                   ")";
    }
    const ErrorText* text = FindError(error);
    return port + ": " + call + " failed: " + (text ? text->meaning : "unexpected error") + " (" +
           ErrorName(error) + ")";
}

std::string PortPath(const std::string& portName) {
    if (portName.rfind("\\\\", 0) == 0)
        return portName;
    return "\\\\.\\" + portName;
}

std::string DescribeLine(const LineSettings& line) {
    static constexpr char Parities[] = {'N', 'O', 'E', 'M', 'S'};
    char parity = line.parity < sizeof Parities ? Parities[line.parity] : '?';
    const char* stop = line.stopBits == ONESTOPBIT     ? "1"
                       : line.stopBits == ONE5STOPBITS ? "1.5"
                       : line.stopBits == TWOSTOPBITS  ? "2"
                                                       : "?";
    std::string text =
        std::to_string(line.baudRate) + " " + std::to_string(line.byteSize) + parity + stop;
    if (line.rtsCts)
        text += " RTS/CTS";
    if (line.xonXoffOut || line.xonXoffIn) {
        text += line.xonXoffOut && line.xonXoffIn ? " XON/XOFF (out, in)"
                : line.xonXoffOut                 ? " XON/XOFF (out)"
                                                  : " XON/XOFF (in)";
    }
    return text;
}

// ---- Running time --------------------------------------------------------------------------

RunningTime::RunningTime(std::chrono::milliseconds slice, Clock now)
    : slice_(slice), now_(std::move(now)), last_(now_()) {}

void RunningTime::Step(bool counts) {
    auto now = now_();
    auto step = std::chrono::duration_cast<std::chrono::milliseconds>(now - last_);
    last_ = now;
    if (counts)
        counted_ += std::min(step, slice_);
}

// ---- Overlapped ---------------------------------------------------------------------------

namespace {
// The wait between two looks at the running time.
constexpr std::chrono::milliseconds WaitSlice{100};
} // namespace

Overlapped::Overlapped() {
    overlapped_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

Overlapped::~Overlapped() {
    if (file_ != nullptr && !Done()) {
        CancelIo(file_);
        if (!WaitRunning(std::chrono::milliseconds(Port::StuckAfterMs))) {
            // Freeing memory the driver still writes to is never an option.
            std::fprintf(stderr, "korvaxsim: a cancelled request did not end; stopping\n");
            std::abort();
        }
    }
    CloseHandle(overlapped_.hEvent);
}

bool Overlapped::Wait(DWORD milliseconds) {
    return WaitForSingleObject(overlapped_.hEvent, milliseconds) == WAIT_OBJECT_0;
}

bool Overlapped::WaitRunning(std::chrono::milliseconds limit, const std::function<bool()>& paused) {
    RunningTime running(WaitSlice);
    while (!Wait(static_cast<DWORD>(WaitSlice.count()))) {
        running.Step(!(paused && paused()));
        if (running.Counted() >= limit)
            return false;
    }
    return true;
}

void Overlapped::Reset() {
    file_ = nullptr;
    HANDLE event = overlapped_.hEvent;
    std::memset(&overlapped_, 0, sizeof overlapped_);
    overlapped_.hEvent = event;
    ResetEvent(event);
}

// ---- Port ---------------------------------------------------------------------------------

Port::Port(const std::string& name, std::function<bool()> unplugged, std::function<bool()> heldBack)
    : name_(name), unplugged_(std::move(unplugged)), heldBack_(std::move(heldBack)) {
    handle_ = CreateFileA(PortPath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE)
        Fail("CreateFile", GetLastError());
}

Port::~Port() {
    Close();
}

void Port::Close() {
    if (handle_ == INVALID_HANDLE_VALUE)
        return;
    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
}

void Port::Fail(const std::string& call, DWORD error) const {
    bool unplugged = unplugged_ && unplugged_();
    throw Failure(DescribePortError(name_, call, error, unplugged));
}

void Port::SetLine(const LineSettings& line) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle_, &dcb))
        Fail("GetCommState", GetLastError());
    dcb.BaudRate = line.baudRate;
    dcb.ByteSize = line.byteSize;
    dcb.Parity = line.parity;
    dcb.StopBits = line.stopBits;
    dcb.fBinary = 1;
    dcb.fParity = line.parity != NOPARITY;
    // DTR stays as it is (GetCommState reports it as enabled or disabled), and so
    // does RTS unless it takes part in the handshake; EscapeCommFunction changes
    // them. XON and XOFF are the usual DC1 and DC3.
    dcb.fOutxCtsFlow = line.rtsCts;
    if (line.rtsCts)
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    else if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutxDsrFlow = 0;
    dcb.fOutX = line.xonXoffOut;
    dcb.fInX = line.xonXoffIn;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    CountControl();
    if (!SetCommState(handle_, &dcb))
        Fail("SetCommState " + DescribeLine(line), GetLastError());
}

LineSettings Port::Line() {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    CountControl();
    if (!GetCommState(handle_, &dcb))
        Fail("GetCommState", GetLastError());
    LineSettings line{dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits};
    line.rtsCts = dcb.fOutxCtsFlow && dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
    line.xonXoffOut = dcb.fOutX;
    line.xonXoffIn = dcb.fInX;
    return line;
}

void Port::SetTimeouts(DWORD readWaitMs, DWORD writeLimitMs) {
    // MAXDWORD, MAXDWORD, constant: a read returns at once with what has arrived,
    // waits for the first byte otherwise, and ends empty after the constant.
    COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, readWaitMs, 0, writeLimitMs};
    CountControl();
    if (!SetCommTimeouts(handle_, &timeouts))
        Fail("SetCommTimeouts", GetLastError());
    readWaitMs_ = readWaitMs;
    writeLimitMs_ = writeLimitMs;
}

void Port::Escape(DWORD function) {
    static constexpr const char* Names[] = {"",       "SETXOFF", "SETXON", "SETRTS",
                                            "CLRRTS", "SETDTR",  "CLRDTR", "RESETDEV"};
    CountControl();
    if (!EscapeCommFunction(handle_, function)) {
        std::string name = function < 8 ? Names[function] : std::to_string(function);
        Fail("EscapeCommFunction " + name, GetLastError());
    }
}

void Port::SetMask(DWORD mask) {
    CountControl();
    if (!SetCommMask(handle_, mask))
        Fail("SetCommMask", GetLastError());
}

DWORD Port::ModemStatus() {
    DWORD status = 0;
    CountControl();
    if (!GetCommModemStatus(handle_, &status))
        Fail("GetCommModemStatus", GetLastError());
    return status;
}

COMSTAT Port::QueueStatus(DWORD* errors) {
    COMSTAT stat{};
    DWORD ignored = 0;
    CountControl();
    if (!ClearCommError(handle_, errors ? errors : &ignored, &stat))
        Fail("ClearCommError", GetLastError());
    return stat;
}

void Port::Purge(DWORD flags) {
    CountControl();
    if (!PurgeComm(handle_, flags))
        Fail("PurgeComm", GetLastError());
}

void Port::StartWrite(Overlapped& overlapped, const void* data, size_t size) {
    overlapped.Reset();
    DWORD written = 0;
    if (!WriteFile(handle_, data, static_cast<DWORD>(size), &written, overlapped.get()) &&
        GetLastError() != ERROR_IO_PENDING)
        Fail("WriteFile", GetLastError());
    overlapped.file_ = handle_;
}

size_t Port::Finish(Overlapped& overlapped, Request request) {
    const char* call = request == Request::Read    ? "ReadFile"
                       : request == Request::Write ? "WriteFile"
                                                   : "WaitCommEvent";
    DWORD limit = StuckAfterMs + std::max(readWaitMs_, writeLimitMs_);
    std::function<bool()> paused;
    if (request == Request::Write)
        paused = heldBack_;
    if (!overlapped.Done() && !overlapped.WaitRunning(std::chrono::milliseconds(limit), paused)) {
        // The driver kept it beyond its time-outs: take it back before the memory goes.
        CancelIo(handle_);
        overlapped.Wait(INFINITE);
        throw Failure(name_ + ": " + call + " still in the driver after " + std::to_string(limit) +
                      " ms, " + std::to_string(StuckAfterMs) + " ms beyond the port's time-outs (" +
                      std::to_string(readWaitMs_) + " ms read wait, " +
                      std::to_string(writeLimitMs_) +
                      " ms write limit); counted while korvaxsim ran" +
                      (request == Request::Write ? " and the modem took data" : ""));
    }
    DWORD count = 0;
    if (!GetOverlappedResult(handle_, overlapped.get(), &count, FALSE))
        Fail(call, GetLastError());
    switch (request) {
    case Request::Read:
        reads_.fetch_add(1, std::memory_order_relaxed);
        bytesRead_.fetch_add(count, std::memory_order_relaxed);
        break;
    case Request::Write:
        writes_.fetch_add(1, std::memory_order_relaxed);
        bytesWritten_.fetch_add(count, std::memory_order_relaxed);
        break;
    case Request::EventWait:
        eventWaits_.fetch_add(1, std::memory_order_relaxed);
        break;
    }
    return count;
}

void Port::Write(const void* data, size_t size) {
    Overlapped overlapped;
    StartWrite(overlapped, data, size);
    FinishWrite(overlapped, size);
}

void Port::FinishWrite(Overlapped& overlapped, size_t size) {
    size_t written = Finish(overlapped, Request::Write);
    if (written != size) {
        throw Failure(name_ + ": WriteFile sent " + std::to_string(written) + " of " +
                      std::to_string(size) + " bytes within " + std::to_string(writeLimitMs_) +
                      " ms");
    }
}

void Port::StartRead(Overlapped& overlapped, void* buffer, size_t size) {
    overlapped.Reset();
    DWORD count = 0;
    if (!ReadFile(handle_, buffer, static_cast<DWORD>(size), &count, overlapped.get()) &&
        GetLastError() != ERROR_IO_PENDING)
        Fail("ReadFile", GetLastError());
    overlapped.file_ = handle_;
}

size_t Port::Read(void* buffer, size_t size) {
    Overlapped overlapped;
    StartRead(overlapped, buffer, size);
    return Finish(overlapped, Request::Read);
}

void Port::StartEventWait(Overlapped& overlapped, DWORD* mask) {
    overlapped.Reset();
    *mask = 0;
    if (!WaitCommEvent(handle_, mask, overlapped.get()) && GetLastError() != ERROR_IO_PENDING)
        Fail("WaitCommEvent", GetLastError());
    overlapped.file_ = handle_;
}

RequestCounts Port::Counts() const {
    RequestCounts counts;
    counts.reads = reads_.load();
    counts.writes = writes_.load();
    counts.eventWaits = eventWaits_.load();
    counts.controls = controls_.load();
    counts.bytesRead = bytesRead_.load();
    counts.bytesWritten = bytesWritten_.load();
    return counts;
}

} // namespace korvaxsim
