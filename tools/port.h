// The simulator's application side of a COM port: a handle opened with
// FILE_FLAG_OVERLAPPED through the Win32 serial API, with every call bounded in
// time, counted, and turned into one clear line when it fails.
#pragma once

#include <sim/serial_api.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

namespace korvaxsim {

// A failure the user sees as one line ("korvaxsim: <what>").
class Failure : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The line for a failed call on a port: the port name, what the error means to
// someone at a terminal, and the Win32 error by name. `unplugged` says that the
// modem has been pulled out, which explains most errors after it.
std::string DescribePortError(const std::string& port, const std::string& call, win32::DWORD error,
                              bool unplugged);
// The Win32 error code by name (ERROR_ACCESS_DENIED), or its number.
std::string ErrorName(win32::DWORD error);

// \\.\COM5 for COM5; a name that already starts with \\ is kept.
std::string PortPath(const std::string& portName);

// Requests the application completed on the port, by kind.
struct RequestCounts {
    uint64_t reads = 0;
    uint64_t writes = 0;
    uint64_t eventWaits = 0;
    uint64_t controls = 0; // settings, lines, status and purge calls
    uint64_t bytesRead = 0;
    uint64_t bytesWritten = 0;

    uint64_t Total() const { return reads + writes + eventWaits + controls; }
};

// The serial settings the simulator changes.
struct LineSettings {
    win32::DWORD baudRate = 115200;
    win32::BYTE byteSize = 8;
    win32::BYTE parity = win32::NOPARITY;
    win32::BYTE stopBits = win32::ONESTOPBIT;
    // Flow control (the DCB's handshake and XON/XOFF flags, SET_HANDFLOW): RTS/CTS
    // both ways, XON/XOFF obeyed on output and sent on input. The driver stores
    // them and reports them back; it does not act on them.
    bool rtsCts = false;
    bool xonXoffOut = false;
    bool xonXoffIn = false;

    bool operator==(const LineSettings& other) const {
        return baudRate == other.baudRate && byteSize == other.byteSize && parity == other.parity &&
               stopBits == other.stopBits && rtsCts == other.rtsCts &&
               xonXoffOut == other.xonXoffOut && xonXoffIn == other.xonXoffIn;
    }
    bool operator!=(const LineSettings& other) const { return !(*this == other); }
};

// 115200 8N1, 9600 7E2, ..., followed by the flow control when there is any:
// 115200 8N1 RTS/CTS XON/XOFF (out, in).
std::string DescribeLine(const LineSettings& line);

// The time that passes while korvaxsim runs, measured in steps of at most one
// slice: a step that took longer (the process was stopped with Ctrl-Z or SIGSTOP,
// the machine was suspended) counts as one slice, so waking up late never makes a
// request look stuck. A step taken while `counts` is false adds nothing.
class RunningTime {
  public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    explicit RunningTime(std::chrono::milliseconds slice,
                         Clock now = std::chrono::steady_clock::now);
    void Step(bool counts);
    std::chrono::milliseconds Counted() const { return counted_; }

  private:
    std::chrono::milliseconds slice_;
    Clock now_;
    std::chrono::steady_clock::time_point last_;
    std::chrono::milliseconds counted_{0};
};

// An OVERLAPPED with a manual-reset event of its own. A request still in the
// driver when it goes is cancelled and waited for first (by the thread that
// started it, which is the one CancelIo acts for).
class Overlapped {
  public:
    Overlapped();
    ~Overlapped();
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;

    win32::LPOVERLAPPED get() { return &overlapped_; }
    bool Done() const { return win32::HasOverlappedIoCompleted(&overlapped_) != FALSE; }
    // Waits for the event; false when the time passed first.
    bool Wait(win32::DWORD milliseconds);
    // Waits until `limit` of running time has passed (RunningTime), not counting
    // time while `paused` says so; false when the limit passed first.
    bool WaitRunning(std::chrono::milliseconds limit, const std::function<bool()>& paused = {});
    void Reset();

  private:
    friend class Port;
    win32::OVERLAPPED overlapped_{};
    win32::HANDLE file_ = nullptr; // of the request last started
};

class Port {
  public:
    // How long a request may stay in the driver beyond its own time-outs before
    // the simulator calls the port stuck.
    static constexpr win32::DWORD StuckAfterMs = 10000;

    // Opens \\.\<name> for reading and writing, exclusively, overlapped. Throws
    // Failure with the reason when it cannot. `unplugged` tells later errors
    // whether the modem is gone; `heldBack` whether the modem is holding the
    // application's data back (its buffer is full), which a write waits out.
    Port(const std::string& name, std::function<bool()> unplugged = {},
         std::function<bool()> heldBack = {});
    ~Port();
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    const std::string& Name() const { return name_; }
    win32::HANDLE Handle() const { return handle_; }
    bool IsOpen() const { return handle_ != win32::INVALID_HANDLE_VALUE; }
    // Closes the handle (IRP_MJ_CLEANUP and IRP_MJ_CLOSE); again does nothing.
    void Close();

    // ---- Settings and lines ----
    void SetLine(const LineSettings& line);
    LineSettings Line();
    // Reads return what has arrived as soon as anything has, or nothing after
    // `readWaitMs`; a write has `writeLimitMs` to go out.
    void SetTimeouts(win32::DWORD readWaitMs, win32::DWORD writeLimitMs);
    void Escape(win32::DWORD function); // SETDTR, CLRDTR, SETRTS, CLRRTS
    void SetMask(win32::DWORD mask);
    win32::DWORD ModemStatus();
    // ClearCommError: the error bits and the queue counts.
    win32::COMSTAT QueueStatus(win32::DWORD* errors);
    void Purge(win32::DWORD flags);

    // ---- Data ----
    // Writes everything; throws when the write fails or goes out short.
    void Write(const void* data, size_t size);
    void Write(const std::string& text) { Write(text.data(), text.size()); }
    // Starts an overlapped write of `size` bytes (the memory must stay until it ends).
    void StartWrite(Overlapped& overlapped, const void* data, size_t size);
    // Waits for a write StartWrite began; throws as Write does.
    void FinishWrite(Overlapped& overlapped, size_t size);
    // The kinds of request started with an Overlapped.
    enum class Request { Read, Write, EventWait };
    // The bytes a started request moved; throws when it failed. Waits at most
    // StuckAfterMs beyond the port's time-outs, in running time, for a request that
    // has not ended; a write does not count the time the modem holds it back.
    size_t Finish(Overlapped& overlapped, Request request);
    // What has arrived, up to `size` bytes; 0 when nothing came in the read wait.
    size_t Read(void* buffer, size_t size);
    // Starts an overlapped read of up to `size` bytes.
    void StartRead(Overlapped& overlapped, void* buffer, size_t size);
    // Starts WaitCommEvent; the mask is filled in when it ends.
    void StartEventWait(Overlapped& overlapped, win32::DWORD* mask);

    RequestCounts Counts() const;

  private:
    [[noreturn]] void Fail(const std::string& call, win32::DWORD error) const;
    void CountControl() { controls_.fetch_add(1, std::memory_order_relaxed); }

    std::string name_;
    std::function<bool()> unplugged_;
    std::function<bool()> heldBack_;
    win32::HANDLE handle_ = win32::INVALID_HANDLE_VALUE;
    win32::DWORD readWaitMs_ = 0;
    win32::DWORD writeLimitMs_ = 0;
    std::atomic<uint64_t> reads_{0}, writes_{0}, eventWaits_{0}, controls_{0};
    std::atomic<uint64_t> bytesRead_{0}, bytesWritten_{0};
};

} // namespace korvaxsim
