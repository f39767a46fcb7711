// The port across system sleep, hibernation and wake, driven by the power manager
// through a modem plugged into the simulated world and opened by an application:
// which device power requests the port asks for and when, what it sends to the
// modem (nothing on the way down; pipe resets and the readers on the way back),
// how it treats its readers' transfers that the sleep ends, and every failure of
// the power requests it depends on.
#include "power_support.h"

#include <driver/frame/frame.h>
#include <driver/power/power.h>
#include <sim/serial_api.h>
#include <sim/world.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using namespace power_test;
using sim::LowPowerUrbs;
using sim::UsbPipe;
using Steps_ = std::vector<PowerStep>;
using Bytes = std::vector<uint8_t>;

// What the PDO received from a given position in its record on.
std::vector<sim::RecordedIrp> RecordsFrom(const sim::ModemPdo& pdo, size_t first) {
    auto records = pdo.Records();
    return std::vector<sim::RecordedIrp>(records.begin() + static_cast<ptrdiff_t>(first),
                                         records.end());
}

// One line per request: "URB 0x0002 BulkIn", "SET S0", "SET D0", ...
std::string Describe(const sim::ModemPdo& pdo, const sim::RecordedIrp& irp) {
    if (irp.major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        std::string text = "URB " + std::to_string(irp.urbFunction);
        if (irp.pipe == pdo.BulkInPipe())
            text += " BulkIn";
        else if (irp.pipe == pdo.BulkOutPipe())
            text += " BulkOut";
        else if (irp.pipe == pdo.InterruptInPipe())
            text += " InterruptIn";
        return text;
    }
    if (irp.major == IRP_MJ_POWER) {
        std::ostringstream out;
        out << Step(irp);
        return out.str();
    }
    return "major " + std::to_string(irp.major);
}

std::vector<std::string> Describe(const sim::ModemPdo& pdo,
                                  const std::vector<sim::RecordedIrp>& irps) {
    std::vector<std::string> lines;
    for (const auto& irp : irps)
        lines.push_back(Describe(pdo, irp));
    return lines;
}

const std::string ResetBulkIn = "URB " + std::to_string(URB_FUNCTION_RESET_PIPE) + " BulkIn";
const std::string ResetBulkOut = "URB " + std::to_string(URB_FUNCTION_RESET_PIPE) + " BulkOut";
const std::string ResetInterruptIn =
    "URB " + std::to_string(URB_FUNCTION_RESET_PIPE) + " InterruptIn";
const std::string ReadBulkIn =
    "URB " + std::to_string(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) + " BulkIn";
const std::string ReadInterruptIn =
    "URB " + std::to_string(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) + " InterruptIn";
const std::string SetS0 = "SET S0";
const std::string SetD0 = "SET D0";

class PortPowerTest : public ::testing::Test {
  protected:
    void SetUp() override { Plug(PdoOptions()); }

    void TearDown() override {
        if (kx::CurrentSystemPowerState() != PowerSystemWorking)
            kx::SystemWake();
        if (port_ != nullptr)
            win32::CloseHandle(port_);
        world_.Settle();
    }

    virtual sim::PdoOptions PdoOptions() const { return sim::PdoOptions(); }

    void Plug(const sim::PdoOptions& options) {
        sim::PlugOptions plug;
        plug.pdo = options;
        plug.instancePath = u"KORVAXBUS\\MODEM\\A";
        modem_ = &world_.Plug(plug);
        ASSERT_TRUE(modem_->Node()->Started());
        pdo_ = &modem_->Pdo();
        fdo_ = modem_->FunctionDevice();
        context_ = GetDeviceContext(fdo_);
        kx::ClearPowerIrps();
    }

    // An application opens the port: the pipes are reset, both readers start.
    void Open() {
        port_ =
            win32::CreateFileA(modem_->Path().c_str(), win32::GENERIC_READ | win32::GENERIC_WRITE,
                               0, nullptr, win32::OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(port_, win32::INVALID_HANDLE_VALUE);
        win32::COMMTIMEOUTS immediate{MAXULONG, 0, 0, 0, 0};
        ASSERT_TRUE(win32::SetCommTimeouts(port_, &immediate));
        pdo_->WaitForOutstanding(UsbPipe::BulkIn, 1);
        pdo_->WaitForOutstanding(UsbPipe::InterruptIn, 1);
    }

    // The modem sends; the application reads what has arrived.
    Bytes Echo(const Bytes& bytes) {
        pdo_->SendBulkIn(bytes);
        world_.Settle();
        Bytes buffer(64);
        win32::DWORD read = 0;
        EXPECT_TRUE(win32::ReadFile(port_, buffer.data(), static_cast<win32::DWORD>(buffer.size()),
                                    &read, nullptr));
        buffer.resize(read);
        return buffer;
    }

    bool ReadersRunning() const {
        return context_->BulkInReaderActive && context_->InterruptReaderActive;
    }

    LONG RemoveLockCount() const { return context_->RemoveLock.Common.IoCount; }

    sim::World world_;
    sim::PluggedModem* modem_ = nullptr;
    sim::ModemPdo* pdo_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
    PDEVICE_CONTEXT context_ = nullptr;
    win32::HANDLE port_ = nullptr;
};

// ---- Going down ---------------------------------------------------------------------------

TEST_F(PortPowerTest, HibernationWhileClosedAsksForD3BeforeTheSystemRequestGoesDown) {
    size_t pool = kx::OutstandingPool(KORVAX_POOL_TAG).allocations;
    ASSERT_EQ(kx::SystemSleep(PowerSystemHibernate), STATUS_SUCCESS);
    auto atPdo = PowerAtPdo(*pdo_);
    EXPECT_EQ(Steps(atPdo), (Steps_{DeviceQuery(PowerDeviceD3), SystemQuery(PowerSystemHibernate),
                                    DeviceSet(PowerDeviceD3), SystemSet(PowerSystemHibernate)}));
    for (const auto& irp : atPdo) {
        EXPECT_EQ(irp.shutdownType, PowerActionHibernate);
        EXPECT_EQ(irp.irql, PASSIVE_LEVEL);
    }
    EXPECT_TRUE(UrbsAtPdo(*pdo_).empty());
    EXPECT_EQ(context_->SystemSuspended, 0);
    EXPECT_EQ(context_->DevicePowerState, (ULONG)PowerDeviceD3);
    EXPECT_EQ(context_->SystemPowerState, (ULONG)PowerSystemHibernate);
    // The device requests were the port's own, to the top of its stack.
    for (const auto& record : kx::PowerIrps()) {
        if (record.sender == kx::PowerIrpRecord::Sender::PoRequestPowerIrp) {
            EXPECT_EQ(record.pdo, pdo_->Device());
            EXPECT_EQ(record.target, fdo_);
            EXPECT_EQ(record.status, STATUS_SUCCESS);
        }
    }
    EXPECT_EQ(kx::OutstandingPool(KORVAX_POOL_TAG).allocations, pool)
        << "every power context was freed";
    EXPECT_EQ(RemoveLockCount(), 1) << "only the remove lock's bias is left";

    ASSERT_EQ(kx::SystemWake(), STATUS_SUCCESS);
    auto afterWake = PowerAtPdo(*pdo_);
    EXPECT_EQ(Steps(std::vector<sim::RecordedIrp>(afterWake.begin() + 4, afterWake.end())),
              (Steps_{SystemSet(PowerSystemWorking), DeviceSet(PowerDeviceD0)}));
    EXPECT_TRUE(UrbsAtPdo(*pdo_).empty()) << "a closed port sends nothing at the wake";
    EXPECT_EQ(context_->DevicePowerState, (ULONG)PowerDeviceD0);
    EXPECT_EQ(context_->SystemPowerState, (ULONG)PowerSystemWorking);
}

TEST_F(PortPowerTest, SleepWhileOpenSendsNothingAndTakesTheEndedReadersCalmly) {
    Open();
    size_t urbsBefore = UrbsAtPdo(*pdo_).size();
    ASSERT_EQ(kx::SystemSleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(context_->SystemSuspended, 1);
    EXPECT_EQ(UrbsAtPdo(*pdo_).size(), urbsBefore) << "no URB on the way down";
    // The readers stayed submitted through the device's D3; the host controller
    // ended them when the system set-power request reached the PDO.
    auto power = PowerAtPdo(*pdo_);
    ASSERT_EQ(Steps(power), (Steps_{DeviceQuery(PowerDeviceD3), SystemQuery(PowerSystemSleeping3),
                                    DeviceSet(PowerDeviceD3), SystemSet(PowerSystemSleeping3)}));
    int readers = 0;
    for (const auto& urb : pdo_->UrbRecords()) {
        if (urb.function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
            continue;
        ++readers;
        EXPECT_EQ(urb.status, STATUS_CANCELLED);
        EXPECT_GT(urb.completeSequence, power.back().sequence);
    }
    EXPECT_EQ(readers, 2);
    EXPECT_NE(context_->DeviceLostMark, (ULONG)DEVICE_LOST_MARK);
    EXPECT_EQ(context_->PendingEvents, 0u) << "no failure events while the system sleeps";
    EXPECT_FALSE(context_->BulkInReaderActive);
    EXPECT_FALSE(context_->InterruptReaderActive);
}

class SleepStateTest : public PortPowerTest,
                       public ::testing::WithParamInterface<SYSTEM_POWER_STATE> {};

TEST_P(SleepStateTest, ALightSleepWhileOpenIsNotNotedAndTheReadersCarryOn) {
    Open();
    size_t urbsBefore = UrbsAtPdo(*pdo_).size();
    ASSERT_EQ(kx::SystemSleep(GetParam()), STATUS_SUCCESS);
    EXPECT_EQ(context_->SystemSuspended, 0);
    EXPECT_EQ(Steps(PowerAtPdo(*pdo_)), (Steps_{DeviceQuery(PowerDeviceD3), SystemQuery(GetParam()),
                                                DeviceSet(PowerDeviceD3), SystemSet(GetParam())}));
    EXPECT_EQ(pdo_->OutstandingTransfers(UsbPipe::BulkIn), 1u);
    ASSERT_EQ(kx::SystemWake(), STATUS_SUCCESS);
    EXPECT_EQ(UrbsAtPdo(*pdo_).size(), urbsBefore) << "nothing to reset or restart";
    EXPECT_TRUE(ReadersRunning());
    EXPECT_EQ(Echo({'o', 'k'}), (Bytes{'o', 'k'}));
}

INSTANTIATE_TEST_SUITE_P(S1AndS2, SleepStateTest,
                         ::testing::Values(PowerSystemSleeping1, PowerSystemSleeping2));

class D1MapTest : public PortPowerTest {
  protected:
    sim::PdoOptions PdoOptions() const override {
        sim::PdoOptions options;
        options.sleepDeviceState = PowerDeviceD1;
        return options;
    }
};

TEST_F(D1MapTest, AMapEntryOfD1StillYieldsD3) {
    ASSERT_EQ(context_->DeviceCapabilities.DeviceState[PowerSystemSleeping3], PowerDeviceD1);
    ASSERT_EQ(kx::SystemSleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(Steps(PowerAtPdo(*pdo_)),
              (Steps_{DeviceQuery(PowerDeviceD3), SystemQuery(PowerSystemSleeping3),
                      DeviceSet(PowerDeviceD3), SystemSet(PowerSystemSleeping3)}));
}

// ---- Coming back --------------------------------------------------------------------------

class WakeTest : public PortPowerTest, public ::testing::WithParamInterface<LowPowerUrbs> {
  protected:
    sim::PdoOptions PdoOptions() const override {
        sim::PdoOptions options;
        options.lowPowerUrbs = GetParam();
        return options;
    }
    void SetUp() override { Plug(PdoOptions()); }
};

TEST_P(WakeTest, TheReturnResetsThePipesAndRestartsTheReadersBeforeTheSystemRequestGoesDown) {
    Open();
    ASSERT_EQ(kx::SystemSleep(PowerSystemSleeping3), STATUS_SUCCESS);
    size_t mark = pdo_->Records().size();
    kx::ClearPowerIrps();
    // The D0 request is held in the PDO, so the state before it can be seen.
    pdo_->ScriptNext(sim::Response::Pend().ForPower(IRP_MN_SET_POWER, DevicePowerState));
    NTSTATUS woke = STATUS_PENDING;
    std::thread wake([&] { woke = kx::SystemWake(); });
    pdo_->WaitForPending(1);

    EXPECT_EQ(Describe(*pdo_, RecordsFrom(*pdo_, mark)),
              (std::vector<std::string>{ResetBulkIn, ResetBulkOut, ResetInterruptIn,
                                        ReadInterruptIn, ReadBulkIn, SetS0, SetD0}));
    EXPECT_EQ(context_->SystemSuspended, 0);
    EXPECT_EQ(context_->SystemPowerState, (ULONG)PowerSystemWorking)
        << "set when the system request came back";
    EXPECT_EQ(context_->DevicePowerState, (ULONG)PowerDeviceD3) << "raised only when D0 is back";
    EXPECT_EQ(pdo_->PowerHeldCount(), GetParam() == LowPowerUrbs::HoldUntilD0 ? 2u : 0u);
    auto records = kx::PowerIrps();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].status, STATUS_PENDING) << "the system request waits for D0";
    EXPECT_EQ(records[1].shutdownType, PowerActionSleep);

    // The PDO completes D0 from a DPC: the port finishes the system request there.
    pdo_->CompletePending(STATUS_SUCCESS);
    wake.join();
    EXPECT_EQ(woke, STATUS_SUCCESS);
    records = kx::PowerIrps();
    EXPECT_EQ(records[0].status, STATUS_SUCCESS);
    EXPECT_EQ(records[1].status, STATUS_SUCCESS);
    EXPECT_EQ(context_->DevicePowerState, (ULONG)PowerDeviceD0);
    EXPECT_EQ(pdo_->PowerHeldCount(), 0u);
    EXPECT_TRUE(ReadersRunning());
    EXPECT_NE(context_->DeviceLostMark, (ULONG)DEVICE_LOST_MARK);
    EXPECT_EQ(Echo({1, 2, 3}), (Bytes{1, 2, 3}));
}

TEST_P(WakeTest, EveryPowerRequestCompletedFromAnotherProcessor) {
    // The PDO answers each power request from a DPC: the port's completion routines
    // and PoRequestPowerIrp callbacks run at DISPATCH_LEVEL, on another thread than
    // the one that sent the request, and what they pass down reaches the
    // power-pageable PDO through a system worker.
    Open();
    for (int round = 0; round < 5; ++round) {
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
        EXPECT_EQ(Describe(*pdo_, RecordsFrom(*pdo_, mark)),
                  (std::vector<std::string>{"QUERY D3", "QUERY S3", "SET D3", "SET S3", ResetBulkIn,
                                            ResetBulkOut, ResetInterruptIn, ReadInterruptIn,
                                            ReadBulkIn, SetS0, SetD0}));
        EXPECT_EQ(context_->DevicePowerState, (ULONG)PowerDeviceD0);
        EXPECT_TRUE(ReadersRunning());
        EXPECT_EQ(Echo({static_cast<uint8_t>(round)}), (Bytes{static_cast<uint8_t>(round)}));
    }
    for (const auto& record : kx::PowerIrps())
        EXPECT_EQ(record.status, STATUS_SUCCESS);
}

TEST_P(WakeTest, TheSystemRequestCompletesWithTheStatusOfTheD0Request) {
    Open();
    ASSERT_EQ(kx::SystemSleep(PowerSystemSleeping3), STATUS_SUCCESS);
    kx::ClearPowerIrps();
    pdo_->ScriptNext(sim::Response::Complete(STATUS_IO_DEVICE_ERROR)
                         .ForPower(IRP_MN_SET_POWER, DevicePowerState));
    ASSERT_EQ(kx::SystemWake(), STATUS_SUCCESS);
    auto records = kx::PowerIrps();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(records[1].status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(context_->DevicePowerState, (ULONG)PowerDeviceD3);
    EXPECT_EQ(context_->SystemPowerState, (ULONG)PowerSystemWorking);
    // The readers went out anyway; with the port still suspended they may wait.
    EXPECT_TRUE(ReadersRunning());
    // Until the port asks for D0 again (a held close would wait for it).
    EXPECT_EQ(RequestDevicePower(pdo_->Device(), IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(Echo({4}), (Bytes{4}));
}

TEST_P(WakeTest, AWorkingStateWithoutASleepBeforeItResetsNothing) {
    Open();
    ASSERT_EQ(kx::SystemSleep(PowerSystemSleeping1), STATUS_SUCCESS);
    size_t mark = pdo_->Records().size();
    ASSERT_EQ(kx::SystemWake(), STATUS_SUCCESS);
    EXPECT_EQ(Describe(*pdo_, RecordsFrom(*pdo_, mark)), (std::vector<std::string>{SetS0, SetD0}));
}

INSTANTIATE_TEST_SUITE_P(Policies, WakeTest,
                         ::testing::Values(LowPowerUrbs::Serve, LowPowerUrbs::HoldUntilD0),
                         [](const ::testing::TestParamInfo<LowPowerUrbs>& info) {
                             return info.param == LowPowerUrbs::Serve ? "Serve" : "HoldUntilD0";
                         });

// ---- Device requests ----------------------------------------------------------------------

TEST_F(PortPowerTest, WaitWakeIsPassedDownWithoutEnteringTheMachine) {
    // Were the request to enter the machine, its context allocation would fail.
    kx::ArmFault({kx::AllocationKind::Pool, 1, KORVAX_POOL_TAG, std::nullopt});
    POWER_STATE state;
    state.SystemState = PowerSystemSleeping3;
    struct Result {
        KEVENT done;
        NTSTATUS status = STATUS_PENDING;
    } result;
    KeInitializeEvent(&result.done, NotificationEvent, FALSE);
    auto callback = [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK io) {
        auto* r = static_cast<Result*>(context);
        r->status = io->Status;
        KeSetEvent(&r->done, IO_NO_INCREMENT, FALSE);
    };
    ASSERT_EQ(
        PoRequestPowerIrp(pdo_->Device(), IRP_MN_WAIT_WAKE, state, callback, &result, nullptr),
        STATUS_PENDING);
    KeWaitForSingleObject(&result.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_STATE) << "the bus's answer came back";
    auto records = pdo_->Records();
    EXPECT_EQ(records.back().major, IRP_MJ_POWER);
    EXPECT_EQ(records.back().minor, IRP_MN_WAIT_WAKE);
    // The fault is still armed: a set request does enter the machine and fails.
    EXPECT_EQ(RequestDevicePower(pdo_->Device(), IRP_MN_SET_POWER, PowerDeviceD0),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(PowerAtPdo(*pdo_).size(), 0u);
    kx::DisarmFaults();
    EXPECT_EQ(RemoveLockCount(), 1);
}

TEST_F(PortPowerTest, ADeviceSetToTheCurrentStateGoesDownAndChangesNothing) {
    EXPECT_EQ(RequestDevicePower(pdo_->Device(), IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(Steps(PowerAtPdo(*pdo_)), (Steps_{DeviceSet(PowerDeviceD0)}));
    EXPECT_EQ(context_->DevicePowerState, (ULONG)PowerDeviceD0);
    EXPECT_EQ(RequestDevicePower(pdo_->Device(), IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(RequestDevicePower(pdo_->Device(), IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(context_->DevicePowerState, (ULONG)PowerDeviceD3);
    EXPECT_EQ(PowerAtPdo(*pdo_).size(), 3u);
    EXPECT_EQ(RequestDevicePower(pdo_->Device(), IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
}

TEST_F(PortPowerTest, APowerDownIsNotedBeforeItGoesDownAndAPowerUpOnlyOnceItSucceeded) {
    auto pendDeviceSet = [&] {
        pdo_->ScriptNext(sim::Response::Pend().ForPower(IRP_MN_SET_POWER, DevicePowerState));
    };
    pendDeviceSet();
    NTSTATUS status = STATUS_PENDING;
    std::thread down(
        [&] { status = RequestDevicePower(pdo_->Device(), IRP_MN_SET_POWER, PowerDeviceD2); });
    pdo_->WaitForPending(1);
    EXPECT_EQ(context_->DevicePowerState, (ULONG)PowerDeviceD2);
    pdo_->CompletePending(STATUS_SUCCESS);
    down.join();
    EXPECT_EQ(status, STATUS_SUCCESS);

    pendDeviceSet();
    std::thread up(
        [&] { status = RequestDevicePower(pdo_->Device(), IRP_MN_SET_POWER, PowerDeviceD0); });
    pdo_->WaitForPending(1);
    EXPECT_EQ(context_->DevicePowerState, (ULONG)PowerDeviceD2);
    pdo_->CompletePending(STATUS_IO_DEVICE_ERROR);
    up.join();
    EXPECT_EQ(status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(context_->DevicePowerState, (ULONG)PowerDeviceD2)
        << "a failed power-up changes nothing";

    EXPECT_EQ(RequestDevicePower(pdo_->Device(), IRP_MN_QUERY_POWER, PowerDeviceD0),
              STATUS_SUCCESS);
    EXPECT_EQ(context_->DevicePowerState, (ULONG)PowerDeviceD2) << "a query changes nothing";
    EXPECT_EQ(RequestDevicePower(pdo_->Device(), IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(context_->DevicePowerState, (ULONG)PowerDeviceD0);
    EXPECT_EQ(RemoveLockCount(), 1);
}

// ---- PoRequestPowerIrp and device requests failing ----------------------------------------

void FailPoRequestPowerIrp(uint64_t nth) {
    kx::ArmFault({kx::AllocationKind::Irp, nth, std::nullopt, kx::PoRequestPowerIrpSite()});
}

TEST_F(PortPowerTest, NoDeviceQueryMeansTheSystemQueryFailsWithoutGoingDown) {
    FailPoRequestPowerIrp(1);
    EXPECT_EQ(kx::SystemSleep(PowerSystemSleeping3), STATUS_INSUFFICIENT_RESOURCES);
    kx::DisarmFaults();
    // The refused query is followed by the working state, which the port passes on
    // after its (unchanged) D0.
    EXPECT_EQ(Steps(PowerAtPdo(*pdo_)),
              (Steps_{DeviceSet(PowerDeviceD0), SystemSet(PowerSystemWorking)}));
    EXPECT_EQ(context_->SystemPowerState, (ULONG)PowerSystemWorking);
    EXPECT_EQ(RemoveLockCount(), 1);
}

TEST_F(PortPowerTest, NoDeviceSetMeansTheSystemSetFailsWithoutGoingDown) {
    FailPoRequestPowerIrp(2); // the query's device request goes out, the set's does not
    EXPECT_EQ(kx::SystemSleep(PowerSystemSleeping3), STATUS_SUCCESS);
    kx::DisarmFaults();
    EXPECT_EQ(Steps(PowerAtPdo(*pdo_)),
              (Steps_{DeviceQuery(PowerDeviceD3), SystemQuery(PowerSystemSleeping3)}));
    auto records = kx::PowerIrps();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().minor, IRP_MN_SET_POWER);
    EXPECT_EQ(records.back().status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(context_->SystemPowerState, (ULONG)PowerSystemWorking) << "it never came back";
    EXPECT_EQ(context_->DevicePowerState, (ULONG)PowerDeviceD0);
    EXPECT_EQ(RemoveLockCount(), 1);
}

TEST_F(PortPowerTest, NoD0RequestAfterTheWakeLeavesTheLowerDriversStatus) {
    ASSERT_EQ(kx::SystemSleep(PowerSystemSleeping3), STATUS_SUCCESS);
    kx::ClearPowerIrps();
    FailPoRequestPowerIrp(1);
    ASSERT_EQ(kx::SystemWake(), STATUS_SUCCESS);
    kx::DisarmFaults();
    auto records = kx::PowerIrps();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].status, STATUS_SUCCESS) << "the bus's status for the system request";
    EXPECT_EQ(records[1].status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Steps(PowerAtPdo(*pdo_)).back(), SystemSet(PowerSystemWorking));
    EXPECT_EQ(context_->SystemPowerState, (ULONG)PowerSystemWorking);
    EXPECT_EQ(context_->DevicePowerState, (ULONG)PowerDeviceD3);
    EXPECT_EQ(RemoveLockCount(), 1);
}

TEST_F(PortPowerTest, AFailedD3MeansTheSystemSetFailsWithItsStatusWithoutGoingDown) {
    pdo_->ScriptNext(sim::Response::Complete(STATUS_IO_DEVICE_ERROR)
                         .ForPower(IRP_MN_SET_POWER, DevicePowerState));
    EXPECT_EQ(kx::SystemSleep(PowerSystemSleeping3), STATUS_SUCCESS);
    auto records = kx::PowerIrps();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(Steps(PowerAtPdo(*pdo_)).back(), DeviceSet(PowerDeviceD3));
    EXPECT_EQ(context_->DevicePowerState, (ULONG)PowerDeviceD3)
        << "lowered before the request went down";
    EXPECT_EQ(context_->SystemPowerState, (ULONG)PowerSystemWorking);
}

// ---- A sleep that does not happen ---------------------------------------------------------

TEST_F(PortPowerTest, AnAbandonedSleepQueryRestartsNoReaderThatIsStillOut) {
    Open();
    kx::VerifierCapture capture;
    pdo_->ScriptNext(
        sim::Response::Complete(STATUS_DEVICE_BUSY).ForPower(IRP_MN_QUERY_POWER, DevicePowerState));
    size_t mark = pdo_->Records().size();
    EXPECT_EQ(kx::SystemSleep(PowerSystemSleeping3), STATUS_DEVICE_BUSY);
    // The query noted the sleep; the working state that followed resumed the port:
    // the resets went out, the readers were still out and were left alone.
    EXPECT_EQ(Describe(*pdo_, RecordsFrom(*pdo_, mark)),
              (std::vector<std::string>{"QUERY D3", ResetBulkIn, ResetBulkOut, ResetInterruptIn,
                                        SetD0, SetS0}));
    EXPECT_EQ(capture.Count(kx::Rule::UrbInFlightTwice), 0u);
    EXPECT_EQ(context_->SystemSuspended, 0);
    EXPECT_TRUE(ReadersRunning());
    EXPECT_EQ(Echo({'a', 't'}), (Bytes{'a', 't'}));
    EXPECT_TRUE(capture.Findings().empty());
}

TEST_F(PortPowerTest, ASleepRefusedByAnotherStackAfterTheQueryReachedThePort) {
    // A second device, with a driver that refuses to sleep, is visited after the port.
    PassingDriver other;
    sim::ModemPdo& otherPdo = world_.Bus().CreateModemPdo();
    kx::SetDeviceInstancePath(otherPdo.Device(), u"KORVAXBUS\\MODEM\\B");
    auto otherNode = kx::ReportDevice(otherPdo.Device(), other.Driver());
    ASSERT_NE(otherNode, nullptr);
    other.SetBehaviour(otherPdo.Device(), {STATUS_UNSUCCESSFUL, false});
    Open();
    kx::VerifierCapture capture;
    size_t mark = pdo_->Records().size();
    EXPECT_EQ(kx::SystemSleep(PowerSystemSleeping3), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Describe(*pdo_, RecordsFrom(*pdo_, mark)),
              (std::vector<std::string>{"QUERY D3", "QUERY S3", ResetBulkIn, ResetBulkOut,
                                        ResetInterruptIn, SetD0, SetS0}));
    EXPECT_TRUE(capture.Findings().empty());
    EXPECT_EQ(context_->SystemSuspended, 0);
    EXPECT_EQ(Echo({'x'}), (Bytes{'x'}));
    kx::RemoveDevice(*otherNode);
    world_.Bus().DeletePdo(otherPdo);
}

TEST_F(PortPowerTest, ReaderRestartsRaceNeitherTheDataNorTheSleepsAndRefusals) {
    Open();
    kx::VerifierCapture capture;
    std::atomic<bool> stop{false};
    std::thread modem([&] {
        while (!stop.load()) {
            if (pdo_->QueuedInBytes(UsbPipe::BulkIn) < 16)
                pdo_->SendBulkIn({0x55});
            else
                std::this_thread::yield();
        }
    });
    for (int round = 0; round < 20; ++round) {
        if (round % 2 == 0) {
            pdo_->ScriptNext(sim::Response::Complete(STATUS_DEVICE_BUSY)
                                 .ForPower(IRP_MN_QUERY_POWER, DevicePowerState));
            EXPECT_EQ(kx::SystemSleep(PowerSystemSleeping3), STATUS_DEVICE_BUSY);
        } else {
            ASSERT_EQ(kx::SystemSleep(PowerSystemSleeping3), STATUS_SUCCESS);
            ASSERT_EQ(kx::SystemWake(), STATUS_SUCCESS);
        }
    }
    stop = true;
    modem.join();
    world_.Settle();
    EXPECT_TRUE(capture.Findings().empty());
    EXPECT_NE(context_->DeviceLostMark, (ULONG)DEVICE_LOST_MARK);
    EXPECT_TRUE(ReadersRunning());
    EXPECT_EQ(pdo_->OutstandingTransfers(UsbPipe::BulkIn), 1u);
    EXPECT_EQ(pdo_->OutstandingTransfers(UsbPipe::InterruptIn), 1u);
}

} // namespace
