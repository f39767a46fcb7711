// Chaos stress: application threads read, write, wait on events and send
// device-control requests (one of them from kernel mode at DISPATCH_LEVEL) on an
// open port, while a chaos thread purges, fails transfers, toggles the carrier,
// sends data, moves the clock (timed-out requests are cancelled), puts the system
// to sleep and wakes it, and surprise-removes the modem at a random point;
// the next round plugs a new modem. Whatever happens, the verifier must stay
// silent, nothing may hang or leak, and the data that moved either way must be
// pieces of what was sent, in order, never anything else.
//
//   KORVAX_CHAOS_ROUNDS  rounds to run (default 3)
//   KORVAX_CHAOS_SEED    seed of the first round (default 1; round r uses seed + r)
//   KORVAX_CHAOS_STEPS   chaos actions per round (default 150)
#include "reliability.h"

#include <kx/host.h>
#include <kx/power.h>
#include <sim/modem.h>
#include <sim/serial_api.h>
#include <sim/world.h>

#include <gtest/gtest.h>

#include <atomic>
#include <random>

namespace reliability {
namespace {

using namespace win32;

// A stream whose pieces of a few bytes do not recur: a piece found in it is found
// where it was sent.
std::vector<uint8_t> RandomStream(size_t length, uint64_t seed) {
    std::mt19937_64 random(seed);
    std::vector<uint8_t> bytes(length);
    for (uint8_t& byte : bytes)
        byte = static_cast<uint8_t>(random());
    return bytes;
}

// Waits for an overlapped request on the kernel clock (the chaos thread moves it);
// a request still pending after the wait is cancelled. Returns whether it
// succeeded, with the byte count.
bool Await(HANDLE port, OVERLAPPED& overlapped, DWORD& count, const std::atomic<bool>& stop,
           std::atomic<size_t>& cancels) {
    while (!HasOverlappedIoCompleted(&overlapped)) {
        if (stop || WaitForSingleObject(overlapped.hEvent, 200) == WAIT_TIMEOUT) {
            CancelIo(port);
            ++cancels;
            break;
        }
    }
    if (!GetOverlappedResult(port, &overlapped, &count, TRUE)) {
        DWORD error = GetLastError();
        EXPECT_NE(error, ERROR_SUCCESS);
        EXPECT_NE(error, ERROR_IO_PENDING);
        count = 0;
        return false;
    }
    return true;
}

// What the rounds did, counted as the threads go.
struct Figures {
    std::atomic<size_t> writes{0}, reads{0}, waits{0}, controls{0}, dispatchControls{0};
    std::atomic<size_t> bytesToModem{0}, bytesToApplication{0};
    // What the chaos thread did, and the requests the application cancelled.
    std::atomic<size_t> purges{0}, failedUrbs{0}, notifications{0}, sleeps{0}, cancels{0};
    size_t unplugs = 0;
};

class Round {
  public:
    Round(sim::World& world, uint64_t seed, size_t steps, Figures& figures)
        : world_(world), seed_(seed), steps_(steps), random_(seed), figures_(figures) {}

    void Run();

  private:
    void Writer();
    void Reader();
    void Waiter();
    void Controller();
    void Chaos();
    void DispatchLevelControl();

    sim::World& world_;
    const uint64_t seed_;
    const size_t steps_;
    std::mt19937_64 random_;
    sim::PluggedModem* modem_ = nullptr;
    std::shared_ptr<RecordingDevice> device_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    PDEVICE_OBJECT portDevice_ = nullptr;
    std::atomic<bool> stop_{false};
    std::atomic<bool> unplugged_{false};

    std::vector<uint8_t> toModem_;       // the application's stream
    std::vector<uint8_t> toApplication_; // the modem's stream
    Figures& figures_;
    std::vector<std::vector<uint8_t>> readPieces_;
};

void Round::Writer() {
    size_t at = 0;
    std::mt19937_64 random(seed_ * 3 + 1);
    while (!stop_ && at < toModem_.size()) {
        const size_t length = std::min<size_t>(1 + random() % 6000, toModem_.size() - at);
        Overlapped overlapped;
        DWORD count = 0;
        if (!WriteFile(port_, toModem_.data() + at, static_cast<DWORD>(length), &count,
                       overlapped.get())) {
            if (GetLastError() != ERROR_IO_PENDING) {
                EXPECT_NE(GetLastError(), ERROR_SUCCESS);
                if (unplugged_)
                    break;
                continue;
            }
            Await(port_, *overlapped, count, stop_, figures_.cancels);
        }
        EXPECT_TRUE(count == 0 || count == length) << "a write ended short: " << count;
        // The stream goes on past a failed write: the modem may have taken a
        // beginning of it.
        at += length;
        ++figures_.writes;
    }
}

void Round::Reader() {
    std::vector<uint8_t> buffer(700);
    while (!stop_) {
        Overlapped overlapped;
        DWORD count = 0;
        bool ok = ReadFile(port_, buffer.data(), static_cast<DWORD>(buffer.size()), &count,
                           overlapped.get());
        if (!ok && GetLastError() != ERROR_IO_PENDING) {
            if (unplugged_)
                break;
            continue;
        }
        if (!ok)
            ok = Await(port_, *overlapped, count, stop_, figures_.cancels);
        ++figures_.reads;
        if (ok && count != 0)
            readPieces_.emplace_back(buffer.begin(), buffer.begin() + count);
    }
}

void Round::Waiter() {
    while (!stop_) {
        if (!SetCommMask(port_, EV_RXCHAR | EV_TXEMPTY | EV_RLSD | EV_DSR | EV_ERR)) {
            if (unplugged_)
                break;
        }
        Overlapped overlapped;
        DWORD mask = 0, count = 0;
        if (!WaitCommEvent(port_, &mask, overlapped.get())) {
            if (GetLastError() != ERROR_IO_PENDING) {
                if (unplugged_)
                    break;
                continue;
            }
            Await(port_, *overlapped, count, stop_, figures_.cancels);
        }
        ++figures_.waits;
    }
}

void Round::DispatchLevelControl() {
    // A kernel-mode client asks for the modem status from DISPATCH_LEVEL.
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    ULONG status = 0;
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_SERIAL_GET_MODEMSTATUS, portDevice_, nullptr, 0,
                                             &status, sizeof status, FALSE, &done, &ioStatus);
    if (irp == nullptr)
        return;
    NTSTATUS sent = STATUS_UNSUCCESSFUL;
    kx::RunAtIrql(DISPATCH_LEVEL, [&] { sent = IoCallDriver(portDevice_, irp); });
    if (sent == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    } else if (!NT_ERROR(sent)) {
        EXPECT_EQ(sent, ioStatus.Status);
    } else {
        ioStatus.Status = sent; // failed at once: the status block stays untouched
    }
    if (NT_SUCCESS(ioStatus.Status)) {
        EXPECT_EQ(ioStatus.Information, sizeof status);
    }
    ++figures_.dispatchControls;
}

void Round::Controller() {
    std::mt19937_64 random(seed_ * 5 + 2);
    while (!stop_) {
        DWORD value = 0;
        DWORD errors = 0;
        COMSTAT stat{};
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        switch (random() % 6) {
        case 0:
            GetCommModemStatus(port_, &value);
            break;
        case 1:
            if (ClearCommError(port_, &errors, &stat)) {
                EXPECT_LE(stat.cbInQue, 1u << 20);
            }
            break;
        case 2:
            EscapeCommFunction(port_, random() % 2 ? SETDTR : CLRDTR);
            break;
        case 3:
            if (GetCommState(port_, &dcb)) {
                dcb.BaudRate = random() % 2 ? CBR_115200 : CBR_9600;
                SetCommState(port_, &dcb);
            }
            break;
        case 4: {
            COMMTIMEOUTS timeouts{0, 0, static_cast<DWORD>(10 + random() % 40), 0, 0};
            SetCommTimeouts(port_, &timeouts);
            break;
        }
        default:
            DispatchLevelControl();
            break;
        }
        ++figures_.controls;
        if (unplugged_ && random() % 8 == 0)
            break;
    }
}

void Round::Chaos() {
    sim::ModemPdo& pdo = modem_->Pdo();
    const size_t unplugAt = random_() % (steps_ + steps_ / 4); // sometimes never
    size_t sent = 0;
    for (size_t step = 0; step < steps_; ++step) {
        if (step == unplugAt) {
            unplugged_ = true;
            world_.Unplug(*modem_);
            continue;
        }
        switch (random_() % 10) {
        case 0:
        case 1: {
            // The modem sends the next piece of its stream.
            const size_t length =
                std::min<size_t>(1 + random_() % 400, toApplication_.size() - sent);
            if (length == 0)
                break;
            pdo.SendBulkIn(std::vector<uint8_t>(
                toApplication_.begin() + static_cast<ptrdiff_t>(sent),
                toApplication_.begin() + static_cast<ptrdiff_t>(sent + length)));
            sent += length;
            break;
        }
        case 2:
            PurgeComm(port_, (random_() % 16) | PURGE_RXCLEAR);
            ++figures_.purges;
            break;
        case 3: {
            // A transfer or a class request fails. Not an abort: close waits for the
            // transfers an abort ends, and only the device's going ends that wait
            // when the abort itself fails (the fault sweep covers that).
            static const sim::UsbPipe pipes[] = {sim::UsbPipe::BulkIn, sim::UsbPipe::BulkOut,
                                                 sim::UsbPipe::InterruptIn, sim::UsbPipe::Control};
            const sim::UsbPipe pipe = pipes[random_() % 4];
            const USHORT function = pipe == sim::UsbPipe::Control
                                        ? URB_FUNCTION_CLASS_INTERFACE
                                        : URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
            pdo.InjectFault(sim::UrbFault::Fail({function, pipe}, STATUS_UNSUCCESSFUL,
                                                USBD_STATUS_DEV_NOT_RESPONDING));
            ++figures_.failedUrbs;
            break;
        }
        case 4: {
            uint16_t state = random_() % 2 ? sim::SerialState::RxCarrier : 0;
            state |= random_() % 2 ? sim::SerialState::TxCarrier : 0;
            if (random_() % 4 == 0)
                state |= sim::SerialState::Overrun;
            pdo.SendInterrupt(sim::SerialStateNotification(state));
            ++figures_.notifications;
            break;
        }
        case 5:
            world_.Settle();
            break;
        case 6:
            // A short sleep keeps the host controller powered; a deep one ends every
            // transfer in flight. Now and then only.
            if (random_() % 4 == 0 &&
                NT_SUCCESS(
                    kx::SystemSleep(random_() % 2 ? PowerSystemSleeping1 : PowerSystemSleeping3))) {
                EXPECT_EQ(kx::SystemWake(), STATUS_SUCCESS) << "seed " << seed_;
                ++figures_.sleeps;
            }
            break;
        default:
            kx::AdvanceTime(Ms(static_cast<LONGLONG>(1 + random_() % 30)));
            break;
        }
        std::this_thread::yield();
    }
    figures_.bytesToApplication += sent;
}

void Round::Run() {
    toModem_ = RandomStream(60000, seed_ * 7 + 3);
    toApplication_ = RandomStream(60000, seed_ * 11 + 5);
    device_ = std::make_shared<RecordingDevice>();
    sim::PlugOptions plug;
    plug.function = device_;
    modem_ = &world_.Plug(plug);
    EXPECT_TRUE(modem_->Node() && modem_->Node()->Started());
    port_ = CreateFileA(modem_->Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                        OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port_ == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "the port did not open: " << GetLastError();
        return;
    }
    portDevice_ = modem_->FunctionDevice();
    COMMTIMEOUTS timeouts{0, 0, 20, 0, 0};
    EXPECT_TRUE(SetCommTimeouts(port_, &timeouts));

    std::thread threads[] = {std::thread([this] { Writer(); }), std::thread([this] { Reader(); }),
                             std::thread([this] { Waiter(); }),
                             std::thread([this] { Controller(); })};
    Chaos();
    // The application winds down: the clock keeps moving so that its timed waits end.
    stop_ = true;
    std::atomic<bool> joined{false};
    std::thread clock([&] {
        while (!joined) {
            kx::AdvanceTime(Ms(50));
            std::this_thread::yield();
        }
    });
    for (std::thread& thread : threads)
        thread.join();
    joined = true;
    clock.join();
    EXPECT_TRUE(CloseHandle(port_));
    if (!unplugged_)
        world_.Unplug(*modem_);
    world_.Settle();
    EXPECT_TRUE(modem_->Removed());
    EXPECT_EQ(kx::OutstandingIrps(), 0u);

    // What the modem received: the successful bulk-out transfers, each a piece of
    // the application's stream, in order.
    StreamCheck toModem;
    toModem.Sent(toModem_);
    toModem.Cut();
    for (const sim::UrbRecord& urb : modem_->Pdo().UrbRecords()) {
        if (urb.pipe != sim::UsbPipe::BulkOut || !NT_SUCCESS(urb.status) || urb.data.empty())
            continue;
        std::string wrong = toModem.Took(urb.data);
        EXPECT_TRUE(wrong.empty()) << "seed " << seed_ << ": modem: " << wrong;
        figures_.bytesToModem += urb.data.size();
    }
    // What the application read: pieces of the modem's stream, in order.
    StreamCheck toApplication;
    toApplication.Sent(toApplication_);
    toApplication.Cut();
    for (const std::vector<uint8_t>& piece : readPieces_) {
        std::string wrong = toApplication.Took(piece);
        EXPECT_TRUE(wrong.empty()) << "seed " << seed_ << ": application: " << wrong;
    }
    figures_.unplugs += unplugged_ ? 1 : 0;
}

TEST(Chaos, ApplicationThreadsSurviveFaultsPurgesAndSurpriseRemoval) {
    const unsigned long rounds = EnvNumber("KORVAX_CHAOS_ROUNDS", 3);
    const unsigned long seed = EnvNumber("KORVAX_CHAOS_SEED", 1);
    const unsigned long steps = EnvNumber("KORVAX_CHAOS_STEPS", 150);
    // KeRemoveQueueDpc as on Windows 2000/XP: now and then a removed DPC runs all the
    // same ("KeRemoveQueueDpc routine" (WDK)).
    sim::WorldOptions options;
    options.kernel.removedDpcRunsPercent = 25;
    options.kernel.removedDpcSeed = static_cast<uint32_t>(seed);
    sim::World world(options);
    ASSERT_NE(world.Driver(), nullptr);
    Figures total;
    for (unsigned long round = 0; round < rounds && !HasFailure(); ++round) {
        Watchdog watchdog("chaos round " + std::to_string(round) + " (seed " +
                              std::to_string(seed + round) + ")",
                          std::chrono::seconds(120));
        Round(world, seed + round, steps, total).Run();
    }
    std::printf("chaos: %lu round(s) from seed %lu, %lu steps each: %zu writes, %zu reads, "
                "%zu waits, %zu device controls (%zu at DISPATCH_LEVEL), %zu cancelled by the "
                "application; injected: %zu failed URBs, %zu purges, %zu notifications, %zu "
                "sleeps, %zu surprise removals mid-round; %zu bytes to the modem, %zu bytes sent "
                "to the application\n",
                rounds, seed, steps, total.writes.load(), total.reads.load(), total.waits.load(),
                total.controls.load(), total.dispatchControls.load(), total.cancels.load(),
                total.failedUrbs.load(), total.purges.load(), total.notifications.load(),
                total.sleeps.load(), total.unplugs, total.bytesToModem.load(),
                total.bytesToApplication.load());
}

} // namespace
} // namespace reliability
