// Fuzz target: a series of application and bus operations on a fresh world (so
// that every input replays alone). Each operation is one byte, op % 16, followed
// by its argument bytes:
//   0 write n bytes (n: next byte + 1, the bytes from the input or a counter)
//   1 read up to n bytes          2 the device sends n bytes on bulk-in
//   3 a SERIAL_STATE notification 4 purge (flags: next byte)
//   5 wait for events (mask: next two bytes), ended by the next settle or cancel
//   6 EscapeCommFunction          7 SetCommState with the baud rate of 4 bytes
//   8 SetCommTimeouts (3 bytes)   9 move the clock (next byte, milliseconds)
//  10 fail the next transfer on a pipe           11 system sleep and wake
//  12 close and reopen the port  13 surprise removal, a new modem and reopen
//  14 transmit an immediate character            15 let the world settle
// Throughout, what the device received is an ordered piece-by-piece subsequence of
// what the application wrote, and what the application read one of what the device
// sent: exactly what the device sent, with no byte missing, until something that
// may lose received bytes has happened (a receive purge, a reopen, a sleep, a
// failed bulk-in transfer); the world's teardown (close, removal, unload) runs the
// leak checks.
#include <kx/host.h>
#include <kx/ntddser.h>
#include <kx/power.h>
#include <sim/serial_api.h>
#include <sim/world.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

namespace {

using namespace win32;

void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz: invariant broken: %s\n", what);
        std::abort();
    }
}

// Takes every bulk-out byte and acknowledges every class request.
class Sink : public sim::UsbFunction {
  public:
    sim::Handshake OnControlRequest(const sim::SetupPacket&, std::vector<uint8_t>&) override {
        return sim::Handshake::Ack;
    }
    void OnBulkOut(const std::vector<uint8_t>& data) override {
        std::lock_guard<std::mutex> guard(mutex_);
        received_.insert(received_.end(), data.begin(), data.end());
    }
    std::vector<uint8_t> Take() {
        std::vector<uint8_t> taken;
        std::lock_guard<std::mutex> guard(mutex_);
        taken.swap(received_);
        return taken;
    }

  private:
    std::mutex mutex_;
    std::vector<uint8_t> received_;
};

// Whether `taken` appears in `sent` in order from `at` on, skipping what was lost;
// `at` moves past the last byte matched.
bool TakeInOrder(const std::vector<uint8_t>& sent, size_t& at, const std::vector<uint8_t>& taken) {
    for (uint8_t byte : taken) {
        while (at < sent.size() && sent[at] != byte)
            ++at;
        if (at == sent.size())
            return false;
        ++at;
    }
    return true;
}

// Whether `taken` continues `sent` at `at` with no byte missing; `at` moves past it.
bool TakeContiguous(const std::vector<uint8_t>& sent, size_t& at,
                    const std::vector<uint8_t>& taken) {
    if (taken.size() > sent.size() - at ||
        !std::equal(taken.begin(), taken.end(), sent.begin() + at))
        return false;
    at += taken.size();
    return true;
}

class Input {
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool More() const { return at_ < size_; }
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::vector<uint8_t> Bytes(size_t count) {
        std::vector<uint8_t> bytes;
        for (size_t i = 0; i < count; ++i)
            bytes.push_back(More() ? Byte() : static_cast<uint8_t>(counter_++));
        return bytes;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
    uint8_t counter_ = 0;
};

class Session {
  public:
    Session() : world_(std::make_unique<sim::World>()) { PlugAndOpen(); }
    ~Session() {
        EndWait();
        Check();
        if (port_ != INVALID_HANDLE_VALUE)
            CloseHandle(port_);
        world_.reset(); // removal, unload and the leak checks
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void Run(Input& input) {
        for (int ops = 0; input.More() && ops < 64; ++ops)
            Step(input.Byte() % 16, input);
    }

  private:
    void PlugAndOpen() {
        sink_ = std::make_shared<Sink>();
        sim::PlugOptions options;
        options.function = sink_;
        modem_ = &world_->Plug(options);
        Require(Reopen(), "a new modem's port did not open");
    }
    // A port whose device was declared lost stays refused until the device goes.
    bool Reopen() {
        port_ = CreateFileA(modem_->Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (port_ == INVALID_HANDLE_VALUE)
            return false;
        COMMTIMEOUTS immediate{MAXDWORD, 0, 0, 0, 0};
        SetCommTimeouts(port_, &immediate);
        return true;
    }
    void Replug() {
        world_->Unplug(*modem_);
        if (port_ != INVALID_HANDLE_VALUE)
            CloseHandle(port_);
        port_ = INVALID_HANDLE_VALUE;
        world_->Settle();
        Check();
        // The stream checks start again with the new device.
        written_.clear();
        writtenAt_ = 0;
        sent_.clear();
        sentAt_ = 0;
        mayLose_ = false;
        PlugAndOpen();
    }

    // Ends an overlapped request: settles, cancels what still pends, and returns
    // the result.
    BOOL Finish(OVERLAPPED& overlapped, DWORD& count) {
        world_->Settle();
        if (!HasOverlappedIoCompleted(&overlapped))
            CancelIo(port_);
        Require(HasOverlappedIoCompleted(&overlapped), "a request outlived CancelIo");
        return GetOverlappedResult(port_, &overlapped, &count, TRUE);
    }

    BOOL Issue(BOOL started, OVERLAPPED& overlapped, DWORD& count) {
        if (!started && GetLastError() == ERROR_IO_PENDING)
            return Finish(overlapped, count);
        return started;
    }

    void EndWait() {
        if (!waiting_)
            return;
        DWORD count = 0;
        if (Finish(wait_, count))
            Require((waitMask_ & ~0x1FFFu) == 0, "an event outside the EV_ bits");
        waiting_ = false;
        CloseHandle(wait_.hEvent);
    }

    void Check() {
        std::vector<uint8_t> received = sink_->Take();
        Require(TakeInOrder(written_, writtenAt_, received),
                "the device received bytes the application did not write, or out of order");
    }

    void Step(uint8_t op, Input& input) {
        OVERLAPPED overlapped{};
        DWORD count = 0;
        switch (op) {
        case 0: {
            std::vector<uint8_t> bytes = input.Bytes(input.Byte() + 1u);
            written_.insert(written_.end(), bytes.begin(), bytes.end());
            BOOL ok = Issue(WriteFile(port_, bytes.data(), static_cast<DWORD>(bytes.size()), &count,
                                      &overlapped),
                            overlapped, count);
            Require(!ok || count <= bytes.size(), "a write wrote more than it was given");
            Check();
            break;
        }
        case 1: {
            std::vector<uint8_t> buffer(input.Byte() + 1u);
            BOOL ok = Issue(ReadFile(port_, buffer.data(), static_cast<DWORD>(buffer.size()),
                                     &count, &overlapped),
                            overlapped, count);
            if (ok) {
                Require(count <= buffer.size(), "a read returned more than its buffer");
                buffer.resize(count);
                if (mayLose_)
                    Require(TakeInOrder(sent_, sentAt_, buffer),
                            "the application read bytes the device did not send, or out of order");
                else
                    Require(TakeContiguous(sent_, sentAt_, buffer),
                            "a received byte was lost, or read out of order");
            }
            break;
        }
        case 2: {
            std::vector<uint8_t> bytes = input.Bytes(input.Byte());
            sent_.insert(sent_.end(), bytes.begin(), bytes.end());
            modem_->Pdo().SendBulkIn(bytes);
            break;
        }
        case 3: {
            uint8_t state = input.Byte();
            modem_->Pdo().SendInterrupt({0xA1, 0x20, 0, 0, 0, 0, 2, 0, state, 0});
            break;
        }
        case 4: {
            DWORD flags = input.Byte() & 0x0F;
            mayLose_ = mayLose_ || (flags & PURGE_RXCLEAR) != 0;
            PurgeComm(port_, flags);
            break;
        }
        case 5: {
            EndWait();
            DWORD mask = input.Byte() | (input.Byte() << 8);
            SetCommMask(port_, mask & 0x1FFF);
            wait_ = OVERLAPPED{};
            wait_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            if (!WaitCommEvent(port_, &waitMask_, &wait_) && GetLastError() == ERROR_IO_PENDING)
                waiting_ = true;
            else
                CloseHandle(wait_.hEvent);
            break;
        }
        case 6:
            EscapeCommFunction(port_, 1 + input.Byte() % 9);
            break;
        case 7: {
            DCB dcb{};
            dcb.DCBlength = sizeof dcb;
            if (GetCommState(port_, &dcb)) {
                std::vector<uint8_t> rate = input.Bytes(4);
                dcb.BaudRate = rate[0] | (rate[1] << 8) | (rate[2] << 16) |
                               (static_cast<DWORD>(rate[3]) << 24);
                SetCommState(port_, &dcb);
            }
            break;
        }
        case 8: {
            COMMTIMEOUTS timeouts{input.Byte(), input.Byte(), input.Byte(), 0, 0};
            if (timeouts.ReadIntervalTimeout == 0xFF)
                timeouts.ReadIntervalTimeout = MAXDWORD;
            SetCommTimeouts(port_, &timeouts);
            break;
        }
        case 9:
            kx::AdvanceTime(static_cast<LONGLONG>(input.Byte()) * 10000);
            break;
        case 10: {
            static const sim::UsbPipe pipes[] = {sim::UsbPipe::BulkIn, sim::UsbPipe::BulkOut,
                                                 sim::UsbPipe::InterruptIn};
            sim::UrbMatch match;
            match.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
            match.pipe = pipes[input.Byte() % 3];
            mayLose_ = mayLose_ || match.pipe == sim::UsbPipe::BulkIn;
            modem_->Pdo().InjectFault(
                sim::UrbFault::Fail(match, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING));
            break;
        }
        case 11:
            mayLose_ = true; // a transfer cut short by the sleep
            if (NT_SUCCESS(kx::SystemSleep(input.Byte() % 2 ? PowerSystemSleeping1
                                                            : PowerSystemSleeping3)))
                Require(NT_SUCCESS(kx::SystemWake()), "the system did not wake");
            break;
        case 12:
            EndWait();
            world_->Settle();
            Check();
            mayLose_ = true; // the open empties the ring
            CloseHandle(port_);
            port_ = INVALID_HANDLE_VALUE;
            if (!Reopen())
                Replug();
            break;
        case 13:
            EndWait();
            Replug();
            break;
        case 14: {
            // As TransmitCommChar sends it, but overlapped: a write engine stopped by
            // a failed transfer keeps it queued until it is cancelled.
            uint8_t byte = input.Byte();
            if (Issue(DeviceIoControl(port_, IOCTL_SERIAL_IMMEDIATE_CHAR, &byte, 1, nullptr, 0,
                                      &count, &overlapped),
                      overlapped, count))
                written_.push_back(byte); // ahead of queued writes, after the one in flight
            break;
        }
        default:
            world_->Settle();
            break;
        }
    }

    std::unique_ptr<sim::World> world_;
    std::shared_ptr<Sink> sink_;
    sim::PluggedModem* modem_ = nullptr;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    std::vector<uint8_t> written_, sent_;
    size_t writtenAt_ = 0, sentAt_ = 0;
    // Something that may lose received bytes has happened since the modem came.
    bool mayLose_ = false;
    OVERLAPPED wait_{};
    DWORD waitMask_ = 0;
    bool waiting_ = false;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input input(data, size);
    Session session;
    session.Run(input);
    return 0;
}
