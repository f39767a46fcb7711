// Fault sweep: one whole session of an application with the modem (plug, open,
// configure, wait, write, read, modem control, purge, sleep and wake, close,
// unplug) is first run once to count every pool allocation, IRP allocation and
// URB it makes; then it is replayed once per counted site with exactly that one
// failing. Every replay must end without a hang, a verifier finding or a leak,
// and the application must see either the right data or a clear error, never
// wrong data.
#include "reliability.h"

#include <driver/frame/context.h>
#include <driver/frame/frame.h>
#include <kx/host.h>
#include <kx/power.h>
#include <sim/modem.h>
#include <sim/serial_api.h>
#include <sim/world.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <optional>
#include <sstream>

namespace reliability {
namespace {

using namespace win32;

// ---- Sites ------------------------------------------------------------------------------

enum class SiteKind { Pool, Irp, Urb };

struct Site {
    SiteKind kind = SiteKind::Pool;
    // Pool and IRP: the allocation, counted from the driver's entry point (allocations
    // of DriverEntry first, then those from the modem's connection to the session's end).
    uint64_t nth = 0;
    // URB: the step it is made in, what it matches, and which of the URBs of that
    // step that match it is the one to fail (1-based).
    size_t step = 0;
    sim::UrbMatch match;
    size_t occurrence = 0;
    // Every kind: the step the site is in ("DriverEntry" before the first), and for
    // a pool or IRP site which allocation of that step it is (1-based).
    std::string stepName;
    uint64_t inStep = 0;
    std::string label;
};

// What the fault-free run counted.
struct Census {
    uint64_t entryPool = 0, entryIrp = 0; // in DriverEntry
    uint64_t pool = 0, irp = 0;           // from the connection to the session's end
    std::vector<std::string> stepNames;
    // Per step, the pool and IRP allocations counted before it, from the connection.
    std::vector<uint64_t> poolBefore, irpBefore;
    std::vector<std::pair<size_t, sim::UrbRecord>> urbs; // with the step each was made in
};

std::string Hex(uint32_t value) {
    std::ostringstream text;
    text << "0x" << std::hex << value;
    return text.str();
}

// ---- One session -------------------------------------------------------------------------

class Session {
  public:
    Session(const Site* site, Census* census) : site_(site), census_(census) {}

    void Run();

  private:
    // Runs one step of the application; a URB site of this step is armed around it.
    template <typename Body> void Step(const char* name, Body&& body);
    void ChainHolds();
    void Expect(bool condition, const std::string& what);
    // A failed call must say why.
    void ExpectClearError(const char* call);
    bool Ok(BOOL succeeded, const char* call) {
        if (!succeeded)
            ExpectClearError(call);
        return succeeded;
    }
    // A pending overlapped request ends: it completes (waited for), it has ended
    // already, or it may be left pending by the fault and is then cancelled.
    // Returns the byte count, or MAXDWORD with the error set when it failed.
    enum class Ending { Completes, HasEnded, MayStayPending };
    DWORD Finish(HANDLE port, OVERLAPPED& overlapped, Ending ending);
    void Application(sim::World& world, sim::PluggedModem& modem);
    void Write(HANDLE port, size_t length, unsigned seed);
    // The modem sends `length` bytes of the next pattern.
    void Send(size_t length);
    // A read that takes what is there at once, or (when `timeout` is not 0) ends
    // once that much time has passed.
    void Read(HANDLE port, DWORD length, LONGLONG timeout = 0);

    const Site* site_;
    Census* census_;
    sim::World* world_ = nullptr;
    sim::ModemPdo* pdo_ = nullptr;
    std::shared_ptr<RecordingDevice> device_;
    size_t step_ = 0;
    std::thread chainer_;
    std::atomic<bool> sessionOver_{false};
    bool siteReached_ = true;
    bool closeWaitedForUnplug_ = false;
    uint64_t poolBase_ = 0, irpBase_ = 0; // the counts at the modem's connection
    StreamCheck toApplication_;
    std::vector<uint8_t> written_; // every byte the application asked to write, in order
    size_t acknowledged_ = 0;      // of them, those whose write succeeded
    bool writeFailed_ = false;
    unsigned sendSeed_ = 7;

  public:
    bool SiteReached() const { return siteReached_; }
    bool CloseWaitedForUnplug() const { return closeWaitedForUnplug_; }
};

std::string Where(const Site* site) {
    return site ? site->label : std::string("fault-free run");
}

void Session::Expect(bool condition, const std::string& what) {
    if (!condition)
        ADD_FAILURE() << Where(site_) << ": " << what;
}

void Session::ExpectClearError(const char* call) {
    DWORD error = GetLastError();
    Expect(error != ERROR_SUCCESS && error != ERROR_IO_PENDING,
           std::string(call) + " failed without a clear error (" + std::to_string(error) + ")");
    // Without a fault nothing fails.
    Expect(site_ != nullptr, std::string(call) + " failed, error " + std::to_string(error));
}

template <typename Body> void Session::Step(const char* name, Body&& body) {
    const size_t index = step_++;
    if (EnvNumber("KORVAX_SWEEP_TRACE", 0) != 0)
        std::fprintf(stderr, "%s: step '%s' (pool %llu, IRPs %llu, URBs %zu so far)\n",
                     Where(site_).c_str(), name,
                     static_cast<unsigned long long>(kx::AllocationCount(kx::AllocationKind::Pool)),
                     static_cast<unsigned long long>(kx::AllocationCount(kx::AllocationKind::Irp)),
                     pdo_->UrbRecords().size());
    const size_t urbsBefore = pdo_->UrbRecords().size();
    const uint64_t poolBefore = kx::AllocationCount(kx::AllocationKind::Pool) - poolBase_;
    const uint64_t irpBefore = kx::AllocationCount(kx::AllocationKind::Irp) - irpBase_;
    if (site_ && site_->kind == SiteKind::Urb && site_->step == index) {
        if (site_->occurrence == 1) {
            pdo_->InjectFault(sim::UrbFault::Fail(site_->match, STATUS_UNSUCCESSFUL,
                                                  USBD_STATUS_DEV_NOT_RESPONDING));
        } else {
            // Hold the matching URBs before it one at a time, arming the next fault
            // before letting each go on: the one after the last held fails.
            pdo_->InjectFault(sim::UrbFault::Hold(site_->match));
            chainer_ = std::thread([this] { ChainHolds(); });
        }
    }
    body();
    if (chainer_.joinable() && siteReached_)
        chainer_.join();
    if (census_) {
        census_->stepNames.push_back(name);
        census_->poolBefore.push_back(poolBefore);
        census_->irpBefore.push_back(irpBefore);
        std::vector<sim::UrbRecord> urbs = pdo_->UrbRecords();
        for (size_t i = urbsBefore; i < urbs.size(); ++i)
            census_->urbs.emplace_back(index, urbs[i]);
    }
}

void Session::ChainHolds() {
    for (size_t held = 1; held < site_->occurrence; ++held) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (pdo_->HeldCount() == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                // The URB did not come: this replay took another path. Keep letting
                // held URBs go so that the session can end.
                siteReached_ = false;
                while (!sessionOver_) {
                    if (pdo_->HeldCount() != 0)
                        pdo_->ReleaseHeld();
                    std::this_thread::yield();
                }
                return;
            }
            std::this_thread::yield();
        }
        if (held + 1 == site_->occurrence)
            pdo_->InjectFault(sim::UrbFault::Fail(site_->match, STATUS_UNSUCCESSFUL,
                                                  USBD_STATUS_DEV_NOT_RESPONDING));
        else
            pdo_->InjectFault(sim::UrbFault::Hold(site_->match));
        pdo_->ReleaseHeld();
    }
}

DWORD Session::Finish(HANDLE port, OVERLAPPED& overlapped, Ending ending) {
    if (ending != Ending::Completes && !HasOverlappedIoCompleted(&overlapped)) {
        Expect(ending == Ending::MayStayPending, "a request that must have ended is still pending");
        CancelIo(port);
        Expect(HasOverlappedIoCompleted(&overlapped), "a request outlived CancelIo");
    }
    DWORD count = 0;
    if (!GetOverlappedResult(port, &overlapped, &count, TRUE)) {
        DWORD error = GetLastError();
        Expect(error != ERROR_SUCCESS && error != ERROR_IO_PENDING,
               "a request ended without a clear error");
        SetLastError(error);
        return MAXDWORD;
    }
    return count;
}

void Session::Write(HANDLE port, size_t length, unsigned seed) {
    std::vector<uint8_t> data = Pattern(length, seed);
    const size_t before = device_->BulkOut().size();
    Overlapped overlapped;
    DWORD count = 0;
    BOOL done =
        WriteFile(port, data.data(), static_cast<DWORD>(data.size()), &count, overlapped.get());
    if (!done && GetLastError() != ERROR_IO_PENDING) {
        ExpectClearError("WriteFile");
        count = MAXDWORD;
    } else if (!done) {
        // After a failed write the transmit engine stays stopped until the port is
        // opened again: later writes wait until they are cancelled.
        world_->Settle();
        count =
            Finish(port, *overlapped, writeFailed_ ? Ending::MayStayPending : Ending::Completes);
        if (count == MAXDWORD)
            ExpectClearError("WriteFile (overlapped)");
    }
    const std::vector<uint8_t> all = device_->BulkOut();
    const std::vector<uint8_t> arrived(all.begin() + static_cast<ptrdiff_t>(before), all.end());
    // What reached the modem in this write is the start of what was written...
    Expect(IsPrefix(arrived, data),
           "the modem received bytes that were not written, or out of order");
    if (count != MAXDWORD) {
        // ...and all of it when the write succeeded.
        Expect(count == data.size(), "a write succeeded short: " + std::to_string(count));
        Expect(arrived.size() == count, "a successful write of " + std::to_string(count) +
                                            " bytes delivered " + std::to_string(arrived.size()));
        if (!writeFailed_)
            acknowledged_ += count;
    } else {
        writeFailed_ = true;
    }
    written_.insert(written_.end(), data.begin(), data.end());
}

void Session::Send(size_t length) {
    std::vector<uint8_t> data = Pattern(length, sendSeed_++);
    toApplication_.Sent(data);
    pdo_->SendBulkIn(data);
    world_->Settle();
}

void Session::Read(HANDLE port, DWORD length, LONGLONG timeout) {
    std::vector<uint8_t> buffer(length);
    Overlapped overlapped;
    DWORD count = 0;
    BOOL done = ReadFile(port, buffer.data(), length, &count, overlapped.get());
    if (!done && GetLastError() != ERROR_IO_PENDING) {
        ExpectClearError("ReadFile");
        return;
    }
    if (!done) {
        if (timeout != 0)
            kx::AdvanceTime(timeout);
        count = Finish(port, *overlapped, timeout != 0 ? Ending::HasEnded : Ending::Completes);
        if (count == MAXDWORD) {
            ExpectClearError("ReadFile (overlapped)");
            return;
        }
    }
    buffer.resize(count);
    std::string wrong = toApplication_.Took(buffer);
    Expect(wrong.empty(), "read: " + wrong);
}

void Session::Application(sim::World& world, sim::PluggedModem& modem) {
    NTSTATUS arrival = STATUS_UNSUCCESSFUL;
    Step("arrive", [&] { arrival = world.Arrive(modem); });
    if (!NT_SUCCESS(arrival))
        Expect(site_ != nullptr,
               "the modem failed to start: " + Hex(static_cast<uint32_t>(arrival)));

    HANDLE port = INVALID_HANDLE_VALUE;
    Step("open", [&] {
        port = CreateFileA(modem.Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (port == INVALID_HANDLE_VALUE)
            ExpectClearError("CreateFile");
    });
    if (port != INVALID_HANDLE_VALUE) {
        Step("configure", [&] {
            DCB dcb{};
            dcb.DCBlength = sizeof dcb;
            if (!Ok(GetCommState(port, &dcb), "GetCommState"))
                return;
            dcb.BaudRate = CBR_115200;
            dcb.ByteSize = 8;
            dcb.Parity = NOPARITY;
            dcb.StopBits = ONESTOPBIT;
            dcb.fDtrControl = DTR_CONTROL_ENABLE;
            dcb.fRtsControl = RTS_CONTROL_ENABLE;
            Ok(SetCommState(port, &dcb), "SetCommState");
            COMMTIMEOUTS immediate{MAXDWORD, 0, 0, 0, 0};
            Ok(SetCommTimeouts(port, &immediate), "SetCommTimeouts");
            Ok(SetCommMask(port, EV_RXCHAR | EV_TXEMPTY | EV_RLSD | EV_DSR), "SetCommMask");
        });

        Overlapped wait;
        DWORD mask = 0;
        bool waiting = false;
        Step("wait", [&] {
            if (WaitCommEvent(port, &mask, wait.get()))
                return;
            if (GetLastError() == ERROR_IO_PENDING)
                waiting = true;
            else
                ExpectClearError("WaitCommEvent");
        });
        Step("write", [&] { Write(port, 5000, 1); });
        Step("receive", [&] {
            Send(300);
            Read(port, 1000);
        });
        Step("carrier", [&] {
            pdo_->SendInterrupt(sim::SerialStateNotification(sim::SerialState::RxCarrier |
                                                             sim::SerialState::TxCarrier));
            world.Settle();
            DWORD status = 0;
            Ok(GetCommModemStatus(port, &status), "GetCommModemStatus");
        });
        Step("wait ends", [&] {
            if (!waiting)
                return;
            // Events may have been lost to the fault: then the wait is cancelled.
            if (Finish(port, *wait, Ending::MayStayPending) == MAXDWORD)
                ExpectClearError("WaitCommEvent (overlapped)");
        });
        Step("timed read", [&] {
            COMMTIMEOUTS total{0, 0, 50, 0, 0};
            if (!Ok(SetCommTimeouts(port, &total), "SetCommTimeouts"))
                return;
            Send(40);
            Read(port, 100, Ms(50));
        });
        Step("modem control", [&] {
            Ok(EscapeCommFunction(port, CLRDTR), "EscapeCommFunction");
            Ok(EscapeCommFunction(port, SETDTR), "EscapeCommFunction");
            DWORD errors = 0;
            COMSTAT stat{};
            Ok(ClearCommError(port, &errors, &stat), "ClearCommError");
        });
        Step("purge", [&] {
            Send(64);
            Ok(PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR),
               "PurgeComm");
            toApplication_.Cut();
        });
        Step("sleep and wake", [&] {
            NTSTATUS slept = kx::SystemSleep(PowerSystemSleeping3);
            Expect(NT_SUCCESS(slept) || site_ != nullptr,
                   "the system could not sleep: " + Hex(static_cast<uint32_t>(slept)));
            if (NT_SUCCESS(slept)) {
                NTSTATUS woke = kx::SystemWake();
                Expect(NT_SUCCESS(woke),
                       "the system did not wake: " + Hex(static_cast<uint32_t>(woke)));
            }
            world.Settle();
        });
        Step("after wake", [&] {
            COMMTIMEOUTS immediate{MAXDWORD, 0, 0, 0, 0};
            Ok(SetCommTimeouts(port, &immediate), "SetCommTimeouts");
            Write(port, 100, 2);
            Send(50);
            Read(port, 1000);
        });
        Step("close", [&] {
            // Close waits, with no time-out, until the readers' transfers are back;
            // when an abort could not be sent (no IRP), only the device's going
            // ends that wait. The application's close then ends with the unplug.
            std::atomic<bool> closed{false};
            BOOL ok = FALSE;
            std::thread closer([&] {
                ok = CloseHandle(port);
                closed = true;
            });
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
            while (!closed && std::chrono::steady_clock::now() < deadline)
                std::this_thread::yield();
            if (!closed) {
                // Whether the fault allows it is the sweep's to judge (AllowedHangs).
                Expect(site_ != nullptr, "close did not end");
                closeWaitedForUnplug_ = true;
                world.Unplug(modem);
            }
            closer.join();
            Expect(ok == TRUE, "CloseHandle failed");
        });
    }
    Step("unplug", [&] {
        if (!closeWaitedForUnplug_)
            world.Unplug(modem);
        world.Settle();
    });

    // The modem received the start of what the application wrote, never more, and
    // at least what every successful write before the first failed one carried.
    const std::vector<uint8_t> received = device_->BulkOut();
    if (!writeFailed_) {
        Expect(received == written_, "the modem did not receive what the application wrote");
    } else {
        Expect(received.size() >= acknowledged_, "acknowledged bytes never reached the modem");
    }
    Expect(!modem.Node() || modem.Removed() || !NT_SUCCESS(arrival),
           "the modem was not removed after the last handle closed");
    Expect(kx::OutstandingIrps() == 0,
           "IRPs outstanding after removal: " + std::to_string(kx::OutstandingIrps()));
    Expect(kx::OutstandingPool(KORVAX_POOL_TAG).allocations == 0,
           "driver pool outstanding after removal: " +
               std::to_string(kx::OutstandingPool(KORVAX_POOL_TAG).allocations));
}

void Session::Run() {
    std::optional<kx::FaultRule> laterFault;
    const bool allocation = site_ && site_->kind != SiteKind::Urb;
    const size_t kind = allocation && site_->kind == SiteKind::Irp ? 1 : 0;
    const kx::AllocationKind allocationKind =
        kind == 0 ? kx::AllocationKind::Pool : kx::AllocationKind::Irp;
    Watchdog watchdog(Where(site_), std::chrono::seconds(60));
    kx::VerifierCapture capture;
    {
        // The kernel is booted first, so that a fault can be armed for DriverEntry's
        // own allocations, whichever driver the world loads (the linked-in one, or
        // the packaged image).
        kx::Kernel kernel;
        const uint64_t entryPool = kx::AllocationCount(kx::AllocationKind::Pool);
        const uint64_t entryIrp = kx::AllocationCount(kx::AllocationKind::Irp);
        if (allocation)
            kx::ArmFault({allocationKind, site_->nth, std::nullopt, std::nullopt});
        sim::WorldOptions options;
        options.bootKernel = false;
        sim::World world(options);
        kx::DisarmFaults();
        const uint64_t entryCounted[2] = {kx::AllocationCount(kx::AllocationKind::Pool) - entryPool,
                                          kx::AllocationCount(kx::AllocationKind::Irp) - entryIrp};
        // Counted on from the connection: what DriverEntry did not reach.
        if (allocation && site_->nth > entryCounted[kind])
            laterFault = kx::FaultRule{allocationKind, site_->nth - entryCounted[kind],
                                       std::nullopt, std::nullopt};
        if (census_) {
            census_->entryPool = entryCounted[0];
            census_->entryIrp = entryCounted[1];
        }
        if (world.Driver() == nullptr) {
            Expect(site_ != nullptr, "the driver did not load");
        } else {
            device_ = std::make_shared<RecordingDevice>();
            sim::PlugOptions plug;
            plug.function = device_;
            sim::PluggedModem& modem = world.Connect(plug);
            world_ = &world;
            pdo_ = &modem.Pdo();
            const uint64_t pool = kx::AllocationCount(kx::AllocationKind::Pool);
            const uint64_t irp = kx::AllocationCount(kx::AllocationKind::Irp);
            poolBase_ = pool;
            irpBase_ = irp;
            if (laterFault)
                kx::ArmFault(*laterFault);
            Application(world, modem);
            kx::DisarmFaults();
            if (census_) {
                census_->pool = kx::AllocationCount(kx::AllocationKind::Pool) - pool;
                census_->irp = kx::AllocationCount(kx::AllocationKind::Irp) - irp;
            }
        }
        sessionOver_ = true;
        if (chainer_.joinable())
            chainer_.join();
    }
    for (const kx::Finding& finding : capture.Findings())
        ADD_FAILURE() << Where(site_) << ": verifier: " << kx::RuleName(finding.rule) << ": "
                      << finding.detail;
}

// ---- The sweep --------------------------------------------------------------------------

std::string UrbName(const sim::UrbRecord& urb) {
    std::string pipe = !urb.pipe                            ? "none"
                       : *urb.pipe == sim::UsbPipe::Control ? "control"
                       : *urb.pipe == sim::UsbPipe::BulkIn  ? "bulk-in"
                       : *urb.pipe == sim::UsbPipe::BulkOut ? "bulk-out"
                                                            : "interrupt-in";
    return "URB function " + Hex(urb.function) + " on " + pipe;
}

// The faults after which close may not end until the device goes, each with why
// Windows would not end it either. A close waits for every transfer the port
// started; a reader's transfer comes back only when its pipe is aborted or the
// device is gone, since the bus driver keeps a pending transfer for as long as the
// device is there ("URB_FUNCTION_ABORT_PIPE" and "USB request cancellation" (WDK)).
// Any other close that does not end fails the sweep, and so does a case named here
// that ends after all, so that the list says what the driver does.
struct AllowedHang {
    SiteKind kind;
    const char* step;
    uint64_t inStep;                  // pool and IRP: which allocation of the step
    std::optional<sim::UsbPipe> pipe; // URB: the abort's pipe
    const char* reason;
};

const AllowedHang kAllowedHangs[] = {
    // The step's IRPs: the I/O manager's cleanup and close requests, the DTR/RTS
    // class request, then the aborts of the interrupt-in, bulk-in and bulk-out pipes.
    {SiteKind::Irp, "close", 4, std::nullopt,
     "the interrupt-in abort got no IRP: the interrupt reader's transfer stays with the bus"},
    {SiteKind::Irp, "close", 5, std::nullopt,
     "the bulk-in abort got no IRP: the bulk-in reader's transfer stays with the bus"},
    {SiteKind::Urb, "close", 0, sim::UsbPipe::InterruptIn,
     "the bus failed the interrupt-in abort: the interrupt reader's transfer stays pending"},
    {SiteKind::Urb, "close", 0, sim::UsbPipe::BulkIn,
     "the bus failed the bulk-in abort: the bulk-in reader's transfer stays pending"},
};

const AllowedHang* AllowedHangFor(const Site& site) {
    for (const AllowedHang& allowed : kAllowedHangs) {
        if (allowed.kind != site.kind || site.stepName != allowed.step)
            continue;
        const bool matches = site.kind == SiteKind::Urb
                                 ? site.match.function == USHORT{URB_FUNCTION_ABORT_PIPE} &&
                                       site.match.pipe == allowed.pipe && site.occurrence == 1
                                 : site.inStep == allowed.inStep;
        if (matches)
            return &allowed;
    }
    return nullptr;
}

// Replays the session once per site, with that one failing.
void Sweep(const std::vector<Site>& sites, const std::string& noun) {
    size_t covered = 0, unreached = 0, closesEndedByUnplug = 0;
    std::vector<const AllowedHang*> hungAsAllowed;
    // KORVAX_SWEEP_SITE=N replays only the Nth site of each sweep (1-based).
    const unsigned long only = EnvNumber("KORVAX_SWEEP_SITE", 0);
    for (const Site& site : sites) {
        if (only != 0 && &site - sites.data() + 1 != static_cast<ptrdiff_t>(only))
            continue;
        Session session(&site, nullptr);
        session.Run();
        ++covered;
        const AllowedHang* allowed = AllowedHangFor(site);
        if (session.CloseWaitedForUnplug()) {
            ++closesEndedByUnplug;
            if (allowed == nullptr)
                ADD_FAILURE() << site.label << ": close did not end until the unplug";
            else
                hungAsAllowed.push_back(allowed);
        } else if (allowed != nullptr) {
            ADD_FAILURE() << site.label << ": named as a close that only the unplug ends ("
                          << allowed->reason << "), yet close ended";
        }
        if (!session.SiteReached()) {
            ++unreached;
            std::printf("fault sweep: %s was not reached\n", site.label.c_str());
        }
        if (::testing::Test::HasFailure())
            break; // the first failing site says enough
    }
    std::printf("fault sweep: %zu %s sites covered, %zu not reached; "
                "%zu closes ended only by the unplug, each a named case\n",
                covered, noun.c_str(), unreached, closesEndedByUnplug);
    if (only == 0 && !::testing::Test::HasFailure()) {
        EXPECT_EQ(covered, sites.size());
        // Every named case of this sweep's kind was met, and hung.
        for (const AllowedHang& allowed : kAllowedHangs) {
            if (allowed.kind != sites.front().kind)
                continue;
            const bool met = std::find(hungAsAllowed.begin(), hungAsAllowed.end(), &allowed) !=
                             hungAsAllowed.end();
            EXPECT_TRUE(met) << "no site of step '" << allowed.step
                             << "' matches the named case: " << allowed.reason;
        }
    }
    EXPECT_EQ(unreached, 0u);
}

class FaultSweep : public ::testing::Test {
  protected:
    void SetUp() override {
        Session(nullptr, &census_).Run();
        ASSERT_FALSE(HasFailure()) << "the fault-free session failed";
    }
    Census census_;
};

// Replays the session once per allocation of the kind, with that one refused.
void SweepAllocations(const Census& census, SiteKind kind, const char* noun, uint64_t inEntry,
                      uint64_t total) {
    ASSERT_GT(total, 0u);
    const std::vector<uint64_t>& before =
        kind == SiteKind::Irp ? census.irpBefore : census.poolBefore;
    std::vector<Site> sites;
    for (uint64_t nth = 1; nth <= total; ++nth) {
        Site site;
        site.kind = kind;
        site.nth = nth;
        // The last step that had counted fewer than nth allocations before it.
        site.stepName = "DriverEntry";
        uint64_t stepStart = 0;
        for (size_t step = 0; step < before.size(); ++step) {
            if (inEntry + before[step] < nth) {
                site.stepName = census.stepNames[step];
                stepStart = inEntry + before[step];
            }
        }
        site.inStep = nth - stepStart;
        site.label = std::string(noun) + " " + std::to_string(nth) + " of " +
                     std::to_string(total) + " (#" + std::to_string(site.inStep) + " of step '" +
                     site.stepName + "')";
        sites.push_back(site);
    }
    Sweep(sites, std::string(noun) + " (" + std::to_string(inEntry) + " in DriverEntry)");
}

TEST_F(FaultSweep, EveryPoolAllocationFailingOnceEndsCleanly) {
    SweepAllocations(census_, SiteKind::Pool, "pool allocation", census_.entryPool,
                     census_.entryPool + census_.pool);
}

TEST_F(FaultSweep, EveryIrpAllocationFailingOnceEndsCleanly) {
    SweepAllocations(census_, SiteKind::Irp, "IRP allocation", census_.entryIrp,
                     census_.entryIrp + census_.irp);
}

TEST_F(FaultSweep, EveryUrbFailingOnceEndsCleanly) {
    ASSERT_FALSE(census_.urbs.empty());
    std::vector<Site> sites;
    std::map<std::tuple<size_t, USHORT, int>, size_t> seen;
    for (size_t i = 0; i < census_.urbs.size(); ++i) {
        const auto& [step, urb] = census_.urbs[i];
        Site site;
        site.kind = SiteKind::Urb;
        site.step = step;
        site.match.function = urb.function;
        site.match.pipe = urb.pipe;
        site.occurrence = ++seen[{step, urb.function, urb.pipe ? static_cast<int>(*urb.pipe) : -1}];
        site.stepName = census_.stepNames[step];
        site.label = "URB " + std::to_string(i + 1) + " of " + std::to_string(census_.urbs.size()) +
                     " (" + UrbName(urb) + ", #" + std::to_string(site.occurrence) + " of step '" +
                     census_.stepNames[step] + "')";
        sites.push_back(site);
    }
    Sweep(sites, "URB");
}

} // namespace
} // namespace reliability
