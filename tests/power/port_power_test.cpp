// The port across system sleep, hibernation and wake, driven by the power manager
// through a modem plugged into the simulated world (its PDO behaving as a hub's
// port: suspended while in D1 to D3) and opened by an application: which device
// power requests the port asks for and when, what it sends to the modem (nothing
// on the way down; pipe resets and the readers only once the device is back in
// D0), the device states it announces, and system set requests that always go
// down and never fail whatever happens to the device requests. Each sleep ends
// with data flowing both ways through the modem.
#include "power_support.h"

#include <tests/support/overlapped.h>

#include <driver/frame/frame.h>
#include <driver/power/power.h>
#include <sim/modem.h>
#include <sim/serial_api.h>
#include <sim/world.h>

#include <gtest/gtest.h>

#include <tests/support/worker_blockers.h>

#include <algorithm>
#include <functional>
#include <thread>

namespace {

using namespace power_test;
using sim::LowPowerUrbs;
using sim::UsbPipe;
using Lines = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

// What DeviceLostMark holds once the device is declared lost.
constexpr ULONG LostMark = 9999;

// What the PDO received from a position in its record on, one line per request:
// "RESET BulkIn", "TRANSFER InterruptIn" (a transfer), "SET D0", ...
Lines ReceivedFrom(const sim::ModemPdo& pdo, size_t first) {
    Lines lines;
    auto records = pdo.Records();
    for (size_t i = first; i < records.size(); ++i) {
        const sim::RecordedIrp& irp = records[i];
        std::string pipe = irp.pipe == pdo.BulkInPipe()    ? " BulkIn"
                           : irp.pipe == pdo.BulkOutPipe() ? " BulkOut"
                                                           : " InterruptIn";
        std::string what = irp.urbFunction == URB_FUNCTION_RESET_PIPE ? "RESET"
                           : irp.urbFunction == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER
                               ? "TRANSFER"
                               : "URB " + std::to_string(irp.urbFunction);
        if (irp.major == IRP_MJ_POWER && irp.minor == IRP_MN_WAIT_WAKE)
            lines.push_back("WAIT_WAKE");
        else
            lines.push_back(irp.major == IRP_MJ_POWER ? Describe(irp) : what + pipe);
    }
    return lines;
}

using korvax_test::Overlapped;

const Lines Resume = {"RESET BulkIn", "RESET BulkOut", "RESET InterruptIn", "TRANSFER InterruptIn",
                      "TRANSFER BulkIn"};

Lines With(Lines lines, const Lines& more) {
    lines.insert(lines.end(), more.begin(), more.end());
    return lines;
}

DEVICE_POWER_STATE Announced(PDEVICE_OBJECT fdo) {
    return kx::AnnouncedPowerState(fdo, DevicePowerState).DeviceState;
}

void FailPoRequestPowerIrp(uint64_t nth) {
    kx::ArmFault({kx::AllocationKind::Irp, nth, std::nullopt, kx::PoRequestPowerIrpSite()});
}

class PortPowerTest : public ::testing::Test {
  protected:
    void Plug(LowPowerUrbs mode = LowPowerUrbs::HoldUntilD0) {
        sim::PlugOptions plug;
        plug.pdo.lowPowerUrbs = mode;
        modem_ = &world_.Plug(plug);
        ASSERT_TRUE(modem_->Node()->Started());
        pdo_ = &modem_->Pdo();
        fdo_ = modem_->FunctionDevice();
        context_ = GetDeviceContext(fdo_);
        kx::ClearPowerIrps();
    }

    void TearDown() override {
        kx::DisarmFaults();
        if (kx::CurrentSystemPowerState() != PowerSystemWorking)
            kx::SystemWake();
        if (port_ != nullptr)
            win32::CloseHandle(port_);
        world_.Settle();
        EXPECT_TRUE(capture_.Findings().empty());
    }

    // An application opens the port (overlapped): the pipes are reset, both
    // readers start. Reads wait for their full length.
    void Open() {
        port_ = win32::CreateFileA(modem_->Path().c_str(),
                                   win32::GENERIC_READ | win32::GENERIC_WRITE, 0, nullptr,
                                   win32::OPEN_EXISTING, win32::FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(port_, win32::INVALID_HANDLE_VALUE);
        win32::COMMTIMEOUTS wait{0, 0, 0, 0, 0};
        ASSERT_TRUE(win32::SetCommTimeouts(port_, &wait));
        ASSERT_TRUE(win32::SetCommMask(port_, win32::EV_RXCHAR));
        pdo_->WaitForOutstanding(UsbPipe::BulkIn, 1);
        pdo_->WaitForOutstanding(UsbPipe::InterruptIn, 1);
    }

    void StartRead(Overlapped& request, Bytes& buffer) {
        win32::DWORD read = 0;
        ASSERT_FALSE(win32::ReadFile(port_, buffer.data(), static_cast<win32::DWORD>(buffer.size()),
                                     &read, request.get()));
        ASSERT_EQ(win32::GetLastError(), win32::ERROR_IO_PENDING);
    }

    void StartWait(Overlapped& request, win32::DWORD& mask) {
        ASSERT_FALSE(win32::WaitCommEvent(port_, &mask, request.get()));
        ASSERT_EQ(win32::GetLastError(), win32::ERROR_IO_PENDING);
    }

    win32::DWORD Finish(Overlapped& request) {
        win32::DWORD transferred = 0;
        EXPECT_TRUE(win32::GetOverlappedResult(port_, request.get(), &transferred, TRUE));
        return transferred;
    }

    // The application sends a command and reads the modem's answer.
    void ExchangeData() {
        win32::COMMTIMEOUTS immediate{MAXULONG, 0, 0, 0, 0};
        ASSERT_TRUE(win32::SetCommTimeouts(port_, &immediate));
        Overlapped write;
        win32::DWORD written = 0;
        if (!win32::WriteFile(port_, "AT\r", 3, &written, write.get()))
            written = Finish(write);
        EXPECT_EQ(written, 3u);
        world_.Settle();
        Bytes answer(64);
        Overlapped read;
        win32::DWORD got = 0;
        if (!win32::ReadFile(port_, answer.data(), 64, &got, read.get()))
            got = Finish(read);
        std::string text(answer.begin(), answer.begin() + got);
        EXPECT_NE(text.find("OK"), std::string::npos) << text;
        EXPECT_EQ(modem_->Model()->CommandLines().back(), "AT");
    }

    bool ReadersRunning() const {
        return context_->BulkInReaderActive && context_->InterruptReaderActive;
    }

    sim::World world_;
    kx::VerifierCapture capture_; // each test ends without a finding
    sim::PluggedModem* modem_ = nullptr;
    sim::ModemPdo* pdo_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
    PDEVICE_CONTEXT context_ = nullptr;
    win32::HANDLE port_ = nullptr;
};

// ---- Sleep and wake -----------------------------------------------------------------------

struct SleepCase {
    SYSTEM_POWER_STATE state;
    LowPowerUrbs mode;
};

class SleepAndWakeTest : public PortPowerTest, public ::testing::WithParamInterface<SleepCase> {};

// A read and an event wait pending across the sleep end with the data that comes
// after the wake. Nothing reaches the modem until it is back in D0: with a bus
// that fails what a suspended device is sent, an early pipe reset or reader
// would fail and lose the port.
TEST_P(SleepAndWakeTest, ThePortSleepsWithRequestsPendingAndResumesOnlyInD0) {
    Plug(GetParam().mode);
    Open();
    Bytes buffer(2);
    Overlapped read, wait;
    win32::DWORD mask = 0;
    StartRead(read, buffer);
    StartWait(wait, mask);

    size_t mark = pdo_->Records().size();
    SYSTEM_POWER_STATE state = GetParam().state;
    ASSERT_EQ(kx::SystemSleep(state), STATUS_SUCCESS);
    std::string s = "S" + std::to_string(state - 1);
    EXPECT_EQ(ReceivedFrom(*pdo_, mark), (Lines{"QUERY D3", "QUERY " + s, "SET D3", "SET " + s}))
        << "no URB on the way down";
    EXPECT_EQ(context_->SystemSuspended, 1);
    EXPECT_EQ(Announced(fdo_), PowerDeviceD3);
    // The host controller ended the readers when the system set request reached
    // the PDO; the port took that for the sleep.
    EXPECT_FALSE(context_->BulkInReaderActive);
    EXPECT_FALSE(context_->InterruptReaderActive);
    EXPECT_FALSE(read.Done());
    EXPECT_FALSE(wait.Done());

    // The D0 request is held in the PDO: the system request has gone down, and the
    // port is still suspended and has sent nothing.
    mark = pdo_->Records().size();
    pdo_->ScriptNext(sim::Response::Pend().ForPower(IRP_MN_SET_POWER, DevicePowerState));
    NTSTATUS woke = STATUS_PENDING;
    std::thread wake([&] { woke = kx::SystemWake(); });
    pdo_->WaitForPending(1);
    EXPECT_EQ(ReceivedFrom(*pdo_, mark), (Lines{"SET S0", "SET D0"}));
    EXPECT_EQ(context_->SystemSuspended, 1) << "kept through the system request";
    EXPECT_EQ(Announced(fdo_), PowerDeviceD3);
    pdo_->CompletePending(STATUS_SUCCESS);
    wake.join();
    world_.Settle();
    EXPECT_EQ(woke, STATUS_SUCCESS);
    EXPECT_EQ(ReceivedFrom(*pdo_, mark), With({"SET S0", "SET D0"}, Resume));
    EXPECT_EQ(context_->SystemSuspended, 0);
    EXPECT_EQ(context_->DevicePowerState, (ULONG)PowerDeviceD0);
    EXPECT_EQ(Announced(fdo_), PowerDeviceD0);
    EXPECT_TRUE(ReadersRunning());
    EXPECT_NE(context_->DeviceLostMark, LostMark);
    for (const auto& record : kx::PowerIrps())
        EXPECT_EQ(record.status, STATUS_SUCCESS) << Describe(record);

    modem_->Model()->SendData({'h', 'i'});
    EXPECT_EQ(Finish(read), 2u);
    EXPECT_EQ(buffer, (Bytes{'h', 'i'}));
    Finish(wait);
    EXPECT_EQ(mask, win32::EV_RXCHAR);
    ExchangeData();
}

INSTANTIATE_TEST_SUITE_P(
    BothBusModes, SleepAndWakeTest,
    ::testing::Values(SleepCase{PowerSystemSleeping3, LowPowerUrbs::HoldUntilD0},
                      SleepCase{PowerSystemHibernate, LowPowerUrbs::HoldUntilD0},
                      SleepCase{PowerSystemSleeping3, LowPowerUrbs::FailAtOnce},
                      SleepCase{PowerSystemHibernate, LowPowerUrbs::FailAtOnce}),
    [](const auto& info) {
        return std::string(info.param.state == PowerSystemHibernate ? "S4" : "S3") +
               (info.param.mode == LowPowerUrbs::HoldUntilD0 ? "Hold" : "Fail");
    });

// S1 and S2 take the device to D3 as S3 does, so the port is suspended: a reader
// that fails meanwhile (the device stalls bulk-in) stops quietly instead of losing
// the device. The host controller stays powered and keeps the interrupt reader's
// transfer out; at the wake only the pipes with no transfer of the port on them
// are reset (the stack wants a pipe's transfers ended first), and only the reader
// that stopped starts again; in S2 a write is out on bulk-out across the sleep, so
// that pipe is not reset either. The device state is announced before its request
// goes down.
TEST_F(PortPowerTest, S1AndS2SuspendThePortAndTheWakeResetsOnlyPipesWithNoTransferOut) {
    Plug();
    Open();
    for (SYSTEM_POWER_STATE state : {PowerSystemSleeping1, PowerSystemSleeping2}) {
        std::string s = "S" + std::to_string(state - 1);
        SCOPED_TRACE(s);
        const bool writeOut = state == PowerSystemSleeping2;
        Overlapped write;
        if (writeOut) {
            pdo_->InjectFault(
                sim::UrbFault::Hold({URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, UsbPipe::BulkOut}));
            win32::DWORD written = 0;
            ASSERT_FALSE(win32::WriteFile(port_, "AT\r", 3, &written, write.get()));
            pdo_->WaitForOutstanding(UsbPipe::BulkOut, 1);
        }
        size_t mark = pdo_->Records().size();
        pdo_->ScriptNext(sim::Response::Pend().ForPower(IRP_MN_SET_POWER, DevicePowerState));
        NTSTATUS slept = STATUS_PENDING;
        std::thread sleep([&] { slept = kx::SystemSleep(state); });
        pdo_->WaitForPending(1);
        EXPECT_EQ(Announced(fdo_), PowerDeviceD3) << "announced before the D3 request goes down";
        pdo_->CompletePending(STATUS_SUCCESS);
        sleep.join();
        ASSERT_EQ(slept, STATUS_SUCCESS);
        EXPECT_EQ(context_->SystemSuspended, 1);
        EXPECT_TRUE(ReadersRunning());
        pdo_->StallEndpoint(UsbPipe::BulkIn);
        world_.Settle();
        EXPECT_FALSE(context_->BulkInReaderActive);
        EXPECT_TRUE(context_->InterruptReaderActive);
        EXPECT_EQ(pdo_->OutstandingTransfers(UsbPipe::InterruptIn), 1u);

        ASSERT_EQ(kx::SystemWake(), STATUS_SUCCESS);
        world_.Settle();
        Lines wake{"QUERY D3", "QUERY " + s,   "SET D3",        "SET " + s,       "SET S0",
                   "SET D0",   "RESET BulkIn", "RESET BulkOut", "TRANSFER BulkIn"};
        if (writeOut)
            wake.erase(std::find(wake.begin(), wake.end(), "RESET BulkOut"));
        EXPECT_EQ(ReceivedFrom(*pdo_, mark), wake);
        if (writeOut) {
            pdo_->ReleaseHeld();
            EXPECT_EQ(Finish(write), 3u);
        }
        EXPECT_EQ(context_->SystemSuspended, 0);
        EXPECT_NE(context_->DeviceLostMark, LostMark);
        EXPECT_EQ(Announced(fdo_), PowerDeviceD0);
        EXPECT_TRUE(ReadersRunning());
        ExchangeData();
    }
}

// With the port closed, hibernation takes the device to D3 before the system
// request goes down. The lower drivers' map is followed no higher than D3: the
// second modem's entry of D1 still yields D3.
TEST_F(PortPowerTest, HibernationWithThePortClosedTakesTheDeviceToD3FirstWhateverTheMapSays) {
    Plug();
    sim::PlugOptions plug;
    plug.portName = u"COM6";
    plug.pdo.sleepDeviceState = PowerDeviceD1;
    sim::PluggedModem& other = world_.Plug(plug);
    ASSERT_EQ(GetDeviceContext(other.FunctionDevice())
                  ->DeviceCapabilities.DeviceState[PowerSystemHibernate],
              PowerDeviceD1);
    ASSERT_EQ(kx::SystemSleep(PowerSystemHibernate), STATUS_SUCCESS);
    EXPECT_EQ(context_->SystemSuspended, 0);
    for (const auto& irp : PowerAtPdo(*pdo_))
        EXPECT_EQ(irp.shutdownType, PowerActionHibernate);
    ASSERT_EQ(kx::SystemWake(), STATUS_SUCCESS);
    world_.Settle();
    for (const sim::ModemPdo* pdo : {pdo_, &other.Pdo()}) {
        EXPECT_EQ(Steps(PowerAtPdo(*pdo)),
                  (Lines{"QUERY D3", "QUERY S4", "SET D3", "SET S4", "SET S0", "SET D0"}));
    }
    Open();
    ExchangeData();
}

TEST_F(PortPowerTest, EveryPowerRequestCompletedFromAnotherProcessor) {
    // The PDO answers each power request from a DPC: the port's completion routines
    // and PoRequestPowerIrp callbacks run at DISPATCH_LEVEL, on another thread than
    // the one that sent the request, and what they pass down reaches the
    // power-pageable PDO through a system worker.
    Plug();
    Open();
    const Lines expected =
        With({"QUERY D3", "QUERY S3", "SET D3", "SET S3", "SET S0", "SET D0"}, Resume);
    for (int round = 0; round < 3; ++round) {
        size_t mark = pdo_->Records().size();
        const size_t requests = 6; // D3 query, S3 query, D3 set, S3 set; S0 set, D0 set
        for (size_t i = 0; i < requests; ++i) {
            auto pend = sim::Response::Pend();
            pend.major = IRP_MJ_POWER;
            pdo_->ScriptNext(pend);
        }
        std::thread bus([&] {
            for (size_t i = 0; i < requests; ++i) {
                pdo_->WaitForPending(1);
                pdo_->CompletePending(STATUS_SUCCESS);
            }
        });
        ASSERT_EQ(kx::SystemSleep(PowerSystemSleeping3), STATUS_SUCCESS);
        EXPECT_EQ(context_->SystemSuspended, 1);
        ASSERT_EQ(kx::SystemWake(), STATUS_SUCCESS);
        bus.join();
        world_.Settle();
        EXPECT_EQ(ReceivedFrom(*pdo_, mark), expected);
        EXPECT_TRUE(ReadersRunning());
        ExchangeData();
    }
    for (const auto& record : kx::PowerIrps())
        EXPECT_EQ(record.status, STATUS_SUCCESS);
}

// The wake's D0 request ends after the system request it belongs to has gone
// (the PDO holds it, then completes it from a DPC): the machine's own remove-lock
// hold is then the port's only one. Whatever the machine does at the end with the
// device (it looks whether the port slept, under Lock), it does while it still
// holds that hold; otherwise removal could delete the device under it.
TEST_F(PortPowerTest, TheMachineLooksAtThePortBeforeItGivesBackItsLastHold) {
    Plug();
    ASSERT_EQ(kx::SystemSleep(PowerSystemSleeping3), STATUS_SUCCESS);
    pdo_->ScriptNext(sim::Response::Pend().ForPower(IRP_MN_SET_POWER, DevicePowerState));
    NTSTATUS woke = STATUS_PENDING;
    std::thread wake([&] { woke = kx::SystemWake(); });
    pdo_->WaitForPending(1);
    kx::PauseAfterNextRelease(&context_->Lock);
    pdo_->CompletePending(STATUS_SUCCESS);
    kx::WaitForPause();
    LONG holds = __atomic_load_n(&context_->RemoveLock.Common.IoCount, __ATOMIC_ACQUIRE) - 1;
    kx::ResumePaused();
    wake.join();
    world_.Settle();
    EXPECT_EQ(woke, STATUS_SUCCESS);
    EXPECT_GE(holds, 1) << "Lock taken with no remove-lock hold left";
}

// The resume worker gives back its remove-lock hold as its last act. Held just
// after that, the port is closed and the device removed: the driver must not be
// unloaded under the routine's return. "ExQueueWorkItem routine" (WDK): device
// drivers use IoQueueWorkItem, whose reference to the device object puts the
// unload off until the routine has returned.
TEST_F(PortPowerTest, TheResumeWorkerKeepsTheDriverLoadedUntilItHasReturned) {
    Plug();
    Open();
    ASSERT_EQ(kx::SystemSleep(PowerSystemSleeping3), STATUS_SUCCESS);
    pdo_->ScriptNext(sim::Response::Pend().ForPower(IRP_MN_SET_POWER, DevicePowerState));
    NTSTATUS woke = STATUS_PENDING;
    std::thread wake([&] { woke = kx::SystemWake(); });
    pdo_->WaitForPending(1);
    auto blockers = std::make_unique<korvax_test::WorkerBlockers>(2);
    pdo_->CompletePending(STATUS_SUCCESS);
    wake.join();
    ASSERT_EQ(woke, STATUS_SUCCESS);
    // The resume worker is queued behind the blockers; it runs once they go. The
    // D0 request's own hold goes back in its completion on a processor: that is
    // over before the pause is armed, so the next release is the worker's.
    kx::DrainDispatchQueue();
    kx::PauseAfterNextRemoveLockRelease(&context_->RemoveLock);
    std::thread unblock([&] { blockers.reset(); });
    kx::WaitForPause();
    EXPECT_EQ(context_->SystemSuspended, 0) << "paused in the resume worker";
    win32::CloseHandle(port_);
    port_ = nullptr;
    EXPECT_EQ(world_.Remove(*modem_), STATUS_SUCCESS);
    kx::UnloadDriver(world_.Driver());
    EXPECT_FALSE(capture_.Has(kx::Rule::ImageCodeRunningAtUnload));
    kx::ResumePaused();
    unblock.join();
    world_.Settle();
}

// ---- A sleep that does not happen ---------------------------------------------------------

// The capabilities claim no wake: the PDO fails the wait-wake request, and the port
// passes that on. Then the PDO refuses the sleep: the query noted it; the working
// state that followed brought the device to D0 (it never left it) and the port
// resumed after D0: the readers, still out, were left alone, and so were their
// pipes: a pipe is reset only with no transfer of the port on it (the stack wants
// a pipe's transfers ended before its reset), here bulk-out alone.
TEST_F(PortPowerTest, WaitWakeIsPassedDownAndAnAbandonedSleepResetsNoPipeWithAReaderStillOut) {
    Plug();
    Open();
    size_t mark = pdo_->Records().size();
    EXPECT_EQ(RequestDevicePower(pdo_->Device(), IRP_MN_WAIT_WAKE,
                                 static_cast<DEVICE_POWER_STATE>(PowerSystemSleeping3)),
              STATUS_INVALID_DEVICE_STATE);
    ASSERT_EQ(ReceivedFrom(*pdo_, mark), (Lines{"WAIT_WAKE"}));
    EXPECT_EQ(pdo_->Records().back().powerState.SystemState, PowerSystemSleeping3);

    pdo_->ScriptNext(
        sim::Response::Complete(STATUS_DEVICE_BUSY).ForPower(IRP_MN_QUERY_POWER, DevicePowerState));
    mark = pdo_->Records().size();
    EXPECT_EQ(kx::SystemSleep(PowerSystemSleeping3), STATUS_DEVICE_BUSY);
    world_.Settle();
    EXPECT_EQ(ReceivedFrom(*pdo_, mark), (Lines{"QUERY D3", "SET D0", "SET S0", "RESET BulkOut"}));
    EXPECT_EQ(context_->SystemSuspended, 0);
    EXPECT_TRUE(ReadersRunning());
    ExchangeData();
}

// ---- Device requests failing: the system set request goes down all the same ---------------

TEST_F(PortPowerTest, NoDeviceQueryMeansTheSystemQueryFailsWithoutGoingDown) {
    Plug();
    FailPoRequestPowerIrp(1);
    EXPECT_EQ(kx::SystemSleep(PowerSystemSleeping3), STATUS_INSUFFICIENT_RESOURCES);
    kx::DisarmFaults();
    // The refused query is followed by the working state, which the port passes on
    // after its (unchanged) D0.
    EXPECT_EQ(Steps(PowerAtPdo(*pdo_)), (Lines{"SET D0", "SET S0"}));
    EXPECT_EQ(context_->SystemPowerState, (ULONG)PowerSystemWorking);
    EXPECT_EQ(context_->RemoveLock.Common.IoCount, 1);
}

struct FailureCase {
    const char* name;
    std::function<void()> beforeSleep;
    std::function<void()> beforeWake;
    Lines sleep; // what the PDO receives on the way down
    Lines wake;  // and on the way back
    bool lost;   // the device did not come back to D0: the port is lost
};

void FailPortPool(uint64_t nth) {
    kx::ArmFault({kx::AllocationKind::Pool, nth, KORVAX_POOL_TAG, std::nullopt});
}

TEST_F(PortPowerTest, ASystemSetRequestGoesDownAndSucceedsWhateverHappensToTheDevice) {
    const Lines fullSleep = {"QUERY D3", "QUERY S3", "SET D3", "SET S3"};
    const Lines noD3 = {"QUERY D3", "QUERY S3", "SET S3"};
    const Lines wake = With({"SET S0", "SET D0"}, Resume);
    auto nothing = [] {};
    auto failDeviceSet = [this] {
        pdo_->ScriptNext(sim::Response::Complete(STATUS_IO_DEVICE_ERROR)
                             .ForPower(IRP_MN_SET_POWER, DevicePowerState));
    };
    const FailureCase cases[] = {
        {"the D3 request fails", failDeviceSet, nothing, fullSleep, wake, false},
        // The second device request of the sleep: the D3 set.
        {"no D3 request", [] { FailPoRequestPowerIrp(2); }, nothing, noD3, wake, false},
        // Contexts: S3 query, D3 query, S3 set. The port never left S0 then, so
        // the wake asks for D0 before the system request goes down.
        {"no context for S3", [] { FailPortPool(3); }, nothing, noD3,
         With({"SET D0", "SET S0"}, Resume), false},
        {"the D0 request fails", nothing, failDeviceSet, fullSleep, {"SET S0", "SET D0"}, true},
        {"no D0 request", nothing, [] { FailPoRequestPowerIrp(1); }, fullSleep, {"SET S0"}, true},
        {"no context for S0", nothing, [] { FailPortPool(1); }, fullSleep, {"SET S0"}, true},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        Plug();
        Open();
        Overlapped wait;
        win32::DWORD mask = 0;
        StartWait(wait, mask);
        size_t mark = pdo_->Records().size();
        c.beforeSleep();
        ASSERT_EQ(kx::SystemSleep(PowerSystemSleeping3), STATUS_SUCCESS);
        kx::DisarmFaults();
        EXPECT_EQ(ReceivedFrom(*pdo_, mark), c.sleep);
        mark = pdo_->Records().size();
        c.beforeWake();
        ASSERT_EQ(kx::SystemWake(), STATUS_SUCCESS);
        kx::DisarmFaults();
        world_.Settle();
        EXPECT_EQ(ReceivedFrom(*pdo_, mark), c.wake);
        for (const auto& record : kx::PowerIrps()) {
            if (record.type == SystemPowerState) {
                EXPECT_EQ(record.status, STATUS_SUCCESS) << Describe(record);
            }
        }
        EXPECT_EQ(capture_.Count(kx::Rule::SystemSetPowerFailed), 0u);
        EXPECT_EQ(context_->SystemSuspended, 0);
        if (c.lost) {
            EXPECT_EQ(context_->DeviceLostMark, LostMark);
            Finish(wait);
            EXPECT_NE(mask & win32::EV_RLSD, 0u) << "the waiting request learns of it";
            Bytes buffer(1);
            win32::DWORD read = 0;
            EXPECT_FALSE(win32::ReadFile(port_, buffer.data(), 1, &read, wait.get()));
        } else {
            EXPECT_NE(context_->DeviceLostMark, LostMark);
            EXPECT_TRUE(ReadersRunning());
            EXPECT_FALSE(wait.Done());
            ExchangeData();
            Finish(wait);
            EXPECT_EQ(mask, win32::EV_RXCHAR);
        }
        EXPECT_TRUE(capture_.Findings().empty());
        win32::CloseHandle(port_);
        port_ = nullptr;
        world_.Unplug(*modem_);
        world_.Settle();
        kx::ClearPowerIrps();
    }
}

// Removal has begun (its remove lock refuses holds): a system set request still
// goes down to the lower drivers, which are attached until the removal ends.
TEST_F(PortPowerTest, ASystemSetRequestGoesDownWhileTheRemoveLockRefuses) {
    Plug();
    context_->RemoveLock.Common.Removed = TRUE;
    EXPECT_EQ(kx::SystemSleep(PowerSystemSleeping3), STATUS_DELETE_PENDING) << "a query may fail";
    context_->RemoveLock.Common.Removed = FALSE;
    EXPECT_EQ(Steps(PowerAtPdo(*pdo_)), (Lines{"SET S0"}));
    EXPECT_EQ(capture_.Count(kx::Rule::SystemSetPowerFailed), 0u);
    Open();
    ExchangeData();
}

} // namespace
