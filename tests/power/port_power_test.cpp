// The port across system sleep, hibernation and wake, driven by the power manager
// through a modem plugged into the simulated world (its PDO holding URBs until D0)
// and opened by an application: which device power requests the port asks for and
// when, what it sends to the modem (nothing on the way down; pipe resets and the
// readers on the way back), and failures of the power requests it depends on.
#include "power_support.h"

#include <driver/frame/frame.h>
#include <driver/power/power.h>
#include <sim/serial_api.h>
#include <sim/world.h>

#include <gtest/gtest.h>

#include <thread>

namespace {

using namespace power_test;
using sim::UsbPipe;
using Lines = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

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
        lines.push_back(irp.major == IRP_MJ_POWER ? Describe(irp) : what + pipe);
    }
    return lines;
}

class PortPowerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::PlugOptions plug;
        plug.pdo.lowPowerUrbs = sim::LowPowerUrbs::HoldUntilD0;
        modem_ = &world_.Plug(plug);
        ASSERT_TRUE(modem_->Node()->Started());
        pdo_ = &modem_->Pdo();
        fdo_ = modem_->FunctionDevice();
        context_ = GetDeviceContext(fdo_);
        kx::ClearPowerIrps();
    }

    void TearDown() override {
        if (kx::CurrentSystemPowerState() != PowerSystemWorking)
            kx::SystemWake();
        if (port_ != nullptr)
            win32::CloseHandle(port_);
        world_.Settle();
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

const Lines SleepS3 = {"QUERY D3", "QUERY S3", "SET D3", "SET S3"};
const Lines Resume = {"RESET BulkIn", "RESET BulkOut", "RESET InterruptIn", "TRANSFER InterruptIn",
                      "TRANSFER BulkIn"};

// ---- Sleep and wake -----------------------------------------------------------------------

TEST_F(PortPowerTest,
       HibernationWhileOpenSendsNothingAndTheWakeResetsThePipesAndRestartsTheReaders) {
    Open();
    size_t mark = pdo_->Records().size();
    ASSERT_EQ(kx::SystemSleep(PowerSystemHibernate), STATUS_SUCCESS);
    EXPECT_EQ(context_->SystemSuspended, 1);
    EXPECT_EQ(ReceivedFrom(*pdo_, mark), (Lines{"QUERY D3", "QUERY S4", "SET D3", "SET S4"}))
        << "no URB on the way down";
    // The readers stayed submitted through the device's D3; the host controller
    // ended them when the system set-power request reached the PDO.
    auto power = PowerAtPdo(*pdo_);
    for (const auto& irp : power)
        EXPECT_EQ(irp.shutdownType, PowerActionHibernate);
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

    // The D0 request is held in the PDO, so the state before it can be seen.
    mark = pdo_->Records().size();
    kx::ClearPowerIrps();
    pdo_->ScriptNext(sim::Response::Pend().ForPower(IRP_MN_SET_POWER, DevicePowerState));
    NTSTATUS woke = STATUS_PENDING;
    std::thread wake([&] { woke = kx::SystemWake(); });
    pdo_->WaitForPending(1);
    Lines expected = Resume;
    expected.insert(expected.end(), {"SET S0", "SET D0"});
    EXPECT_EQ(ReceivedFrom(*pdo_, mark), expected);
    EXPECT_EQ(context_->SystemSuspended, 0);
    EXPECT_EQ(context_->SystemPowerState, (ULONG)PowerSystemWorking)
        << "set when the system request came back";
    EXPECT_EQ(context_->DevicePowerState, (ULONG)PowerDeviceD3) << "raised only when D0 is back";
    EXPECT_EQ(pdo_->PowerHeldCount(), 2u) << "the readers wait for D0 in the PDO";
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

// The lower drivers' map is followed no higher than D3: an entry of D1 still
// yields D3.
TEST_F(PortPowerTest, AMapEntryOfD1StillYieldsD3) {
    sim::PlugOptions plug;
    plug.portName = u"COM6";
    plug.pdo.sleepDeviceState = PowerDeviceD1;
    sim::PluggedModem& other = world_.Plug(plug);
    ASSERT_EQ(GetDeviceContext(other.FunctionDevice())
                  ->DeviceCapabilities.DeviceState[PowerSystemSleeping3],
              PowerDeviceD1);
    ASSERT_EQ(kx::SystemSleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(Steps(PowerAtPdo(other.Pdo())), SleepS3);
}

TEST_F(PortPowerTest, EveryPowerRequestCompletedFromAnotherProcessor) {
    // The PDO answers each power request from a DPC: the port's completion routines
    // and PoRequestPowerIrp callbacks run at DISPATCH_LEVEL, on another thread than
    // the one that sent the request, and what they pass down reaches the
    // power-pageable PDO through a system worker.
    Open();
    Lines expected = SleepS3;
    expected.insert(expected.end(), Resume.begin(), Resume.end());
    expected.insert(expected.end(), {"SET S0", "SET D0"});
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
        EXPECT_EQ(ReceivedFrom(*pdo_, mark), expected);
        EXPECT_EQ(context_->DevicePowerState, (ULONG)PowerDeviceD0);
        EXPECT_TRUE(ReadersRunning());
        EXPECT_EQ(Echo({static_cast<uint8_t>(round)}), (Bytes{static_cast<uint8_t>(round)}));
    }
    for (const auto& record : kx::PowerIrps())
        EXPECT_EQ(record.status, STATUS_SUCCESS);
}

// ---- Device requests failing --------------------------------------------------------------

void FailPoRequestPowerIrp(uint64_t nth) {
    kx::ArmFault({kx::AllocationKind::Irp, nth, std::nullopt, kx::PoRequestPowerIrpSite()});
}

TEST_F(PortPowerTest, NoDeviceQueryMeansTheSystemQueryFailsWithoutGoingDown) {
    FailPoRequestPowerIrp(1);
    EXPECT_EQ(kx::SystemSleep(PowerSystemSleeping3), STATUS_INSUFFICIENT_RESOURCES);
    kx::DisarmFaults();
    // The refused query is followed by the working state, which the port passes on
    // after its (unchanged) D0.
    EXPECT_EQ(Steps(PowerAtPdo(*pdo_)), (Lines{"SET D0", "SET S0"}));
    EXPECT_EQ(context_->SystemPowerState, (ULONG)PowerSystemWorking);
    EXPECT_EQ(RemoveLockCount(), 1);
}

TEST_F(PortPowerTest, AFailedD3MeansTheSystemSetFailsWithItsStatusWithoutGoingDown) {
    kx::VerifierCapture capture;
    pdo_->ScriptNext(sim::Response::Complete(STATUS_IO_DEVICE_ERROR)
                         .ForPower(IRP_MN_SET_POWER, DevicePowerState));
    EXPECT_EQ(kx::SystemSleep(PowerSystemSleeping3), STATUS_SUCCESS);
    auto records = kx::PowerIrps();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(Steps(PowerAtPdo(*pdo_)).back(), "SET D3");
    EXPECT_EQ(context_->DevicePowerState, (ULONG)PowerDeviceD3)
        << "lowered before the request went down";
    EXPECT_EQ(context_->SystemPowerState, (ULONG)PowerSystemWorking);
    EXPECT_TRUE(capture.Findings().empty()) << "the failed requests still started the next";
}

TEST_F(PortPowerTest, TheSystemRequestCompletesWithTheStatusOfTheD0Request) {
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
    EXPECT_EQ(ReceivedFrom(*pdo_, mark), (Lines{"QUERY D3", "RESET BulkIn", "RESET BulkOut",
                                                "RESET InterruptIn", "SET D0", "SET S0"}));
    EXPECT_EQ(capture.Count(kx::Rule::UrbInFlightTwice), 0u);
    EXPECT_EQ(context_->SystemSuspended, 0);
    EXPECT_TRUE(ReadersRunning());
    EXPECT_EQ(Echo({'a', 't'}), (Bytes{'a', 't'}));
    EXPECT_TRUE(capture.Findings().empty());
}

} // namespace
