// The hosted power manager: system sleep, hibernation, refusal and wake sent
// through every started device stack in the order and with the fields Windows
// uses; PoRequestPowerIrp's device requests; and the Windows 2000/XP rule of one
// system and one device power request at a time per device object, released by
// PoStartNextPowerIrp, with the verifier's finding for a driver that never calls it.
#include "power_support.h"

#include <kx/pnp.h>

#include <gtest/gtest.h>

#include <thread>

namespace {

using namespace power_test;
using Steps_ = std::vector<PowerStep>;

class PowerManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Instance paths decide the order in which the power manager visits stacks.
        kx::SetDeviceInstancePath(first_.Device(), u"KORVAXBUS\\MODEM\\A");
        kx::SetDeviceInstancePath(second_.Device(), u"KORVAXBUS\\MODEM\\B");
    }

    void TearDown() override {
        // A request dispatched by a system worker may have called back its sender
        // while the worker is still unwinding through the drivers' dispatch routines.
        kx::DrainWorkItems();
        for (const auto& node : kx::DeviceNodes())
            kx::RemoveDevice(*node);
    }

    void ArriveBoth() {
        ASSERT_NE(kx::ReportDevice(second_.Device(), driver_.Driver()), nullptr);
        ASSERT_NE(kx::ReportDevice(first_.Device(), driver_.Driver()), nullptr);
        kx::ClearPowerIrps();
    }

    // The stacks' PDOs the power manager sent each record to.
    std::vector<PDEVICE_OBJECT> Targets() const {
        std::vector<PDEVICE_OBJECT> pdos;
        for (const auto& record : kx::PowerIrps())
            pdos.push_back(record.pdo);
        return pdos;
    }

    kx::Kernel kernel_;
    sim::ParentBus bus_;
    sim::ModemPdo& first_ = bus_.CreateModemPdo();
    sim::ModemPdo& second_ = bus_.CreateModemPdo();
    PassingDriver driver_;
};

// ---- Sequences ----------------------------------------------------------------------------

TEST_F(PowerManagerTest, SleepQueriesEveryStackThenSetsEveryStack) {
    ArriveBoth();
    ASSERT_EQ(kx::SystemSleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(kx::CurrentSystemPowerState(), PowerSystemSleeping3);

    auto records = kx::PowerIrps();
    EXPECT_EQ(Steps(records),
              (Steps_{SystemQuery(PowerSystemSleeping3), SystemQuery(PowerSystemSleeping3),
                      SystemSet(PowerSystemSleeping3), SystemSet(PowerSystemSleeping3)}));
    EXPECT_EQ(Targets(), (std::vector<PDEVICE_OBJECT>{first_.Device(), second_.Device(),
                                                      first_.Device(), second_.Device()}));
    for (const auto& record : records) {
        EXPECT_EQ(record.sender, kx::PowerIrpRecord::Sender::PowerManager);
        EXPECT_EQ(record.shutdownType, PowerActionSleep);
        EXPECT_EQ(record.status, STATUS_SUCCESS);
        EXPECT_EQ(record.target, driver_.FdoOver(record.pdo)) << "sent to the top of the stack";
    }
    EXPECT_EQ(first_.SystemPower(), PowerSystemSleeping3);
    EXPECT_EQ(second_.SystemPower(), PowerSystemSleeping3);
}

TEST_F(PowerManagerTest, EachSystemRequestArrivesAsTheWindowsPowerManagerBuildsIt) {
    ArriveBoth();
    ASSERT_EQ(kx::SystemSleep(PowerSystemHibernate), STATUS_SUCCESS);
    auto seen = driver_.Seen();
    ASSERT_EQ(seen.size(), 4u);
    for (const SeenPower& s : seen) {
        EXPECT_EQ(s.irql, PASSIVE_LEVEL);
        EXPECT_EQ(s.statusOnEntry, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(s.stackCount, s.deviceStackSize) << "one location per device of the stack";
        EXPECT_EQ(s.type, SystemPowerState);
        EXPECT_EQ(s.state.SystemState, PowerSystemHibernate);
        EXPECT_EQ(s.shutdownType, PowerActionHibernate);
    }
    // The bus below saw the same requests after the filter passed them on.
    for (const auto& irp : PowerAtPdo(first_)) {
        EXPECT_EQ(irp.shutdownType, PowerActionHibernate);
        EXPECT_EQ(irp.statusOnEntry, STATUS_NOT_SUPPORTED);
    }
    EXPECT_EQ(kx::OutstandingIrps(), 0u);
}

TEST_F(PowerManagerTest, WakeSetsTheWorkingStateInTheReverseOrderWithTheSleepAction) {
    ArriveBoth();
    ASSERT_EQ(kx::SystemSleep(PowerSystemSleeping2), STATUS_SUCCESS);
    kx::ClearPowerIrps();
    ASSERT_EQ(kx::SystemWake(), STATUS_SUCCESS);
    EXPECT_EQ(kx::CurrentSystemPowerState(), PowerSystemWorking);
    auto records = kx::PowerIrps();
    EXPECT_EQ(Steps(records),
              (Steps_{SystemSet(PowerSystemWorking), SystemSet(PowerSystemWorking)}));
    EXPECT_EQ(Targets(), (std::vector<PDEVICE_OBJECT>{second_.Device(), first_.Device()}));
    for (const auto& record : records)
        EXPECT_EQ(record.shutdownType, PowerActionSleep);
    EXPECT_EQ(first_.SystemPower(), PowerSystemWorking);
}

TEST_F(PowerManagerTest, ARefusedQueryReaffirmsTheWorkingStateToEveryStackQueried) {
    ArriveBoth();
    driver_.SetBehaviour(second_.Device(), {STATUS_UNSUCCESSFUL, false});
    EXPECT_EQ(kx::SystemSleep(PowerSystemSleeping3), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(kx::CurrentSystemPowerState(), PowerSystemWorking);

    auto records = kx::PowerIrps();
    EXPECT_EQ(Steps(records),
              (Steps_{SystemQuery(PowerSystemSleeping3), SystemQuery(PowerSystemSleeping3),
                      SystemSet(PowerSystemWorking), SystemSet(PowerSystemWorking)}));
    EXPECT_EQ(Targets(), (std::vector<PDEVICE_OBJECT>{first_.Device(), second_.Device(),
                                                      first_.Device(), second_.Device()}));
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].status, STATUS_SUCCESS);
    EXPECT_EQ(records[1].status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(records[2].shutdownType, PowerActionSleep);
    // The refusing driver completed the query itself: its bus never heard of it.
    EXPECT_EQ(Steps(PowerAtPdo(second_)), (Steps_{SystemSet(PowerSystemWorking)}));
    EXPECT_EQ(first_.SystemPower(), PowerSystemWorking);
}

TEST_F(PowerManagerTest, ARefusalByTheFirstStackLeavesTheOthersUnasked) {
    ArriveBoth();
    driver_.SetBehaviour(first_.Device(), {STATUS_DEVICE_BUSY, false});
    EXPECT_EQ(kx::SystemSleep(PowerSystemHibernate), STATUS_DEVICE_BUSY);
    EXPECT_EQ(Steps(kx::PowerIrps()),
              (Steps_{SystemQuery(PowerSystemHibernate), SystemSet(PowerSystemWorking)}));
    EXPECT_EQ(Targets(), (std::vector<PDEVICE_OBJECT>{first_.Device(), first_.Device()}));
    EXPECT_TRUE(PowerAtPdo(second_).empty());
    EXPECT_EQ(kx::PowerIrps()[1].shutdownType, PowerActionHibernate);
}

TEST_F(PowerManagerTest, OnlyTransitionsThatMakeSenseAreTaken) {
    ArriveBoth();
    EXPECT_EQ(kx::SystemWake(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(kx::SystemSleep(PowerSystemWorking), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(kx::SystemSleep(PowerSystemShutdown), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(kx::SystemSleep(PowerSystemSleeping1), STATUS_SUCCESS);
    EXPECT_EQ(kx::SystemSleep(PowerSystemSleeping3), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(kx::PowerIrps().size(), 4u) << "nothing sent for the refused calls";
    EXPECT_EQ(kx::SystemWake(), STATUS_SUCCESS);
}

TEST_F(PowerManagerTest, StacksWithoutAStartedNodeAreNotSentAnything) {
    ASSERT_NE(kx::ReportDevice(first_.Device(), driver_.Driver()), nullptr);
    kx::ClearPowerIrps();
    ASSERT_EQ(kx::SystemSleep(PowerSystemSleeping3), STATUS_SUCCESS);
    for (const auto& record : kx::PowerIrps())
        EXPECT_EQ(record.pdo, first_.Device());
    EXPECT_TRUE(second_.Records().empty());
    EXPECT_EQ(kx::SystemWake(), STATUS_SUCCESS);
}

// ---- PoRequestPowerIrp --------------------------------------------------------------------

TEST_F(PowerManagerTest, ADeviceRequestGoesToTheTopOfTheStackAndCarriesNoSystemAction) {
    ArriveBoth();
    EXPECT_EQ(RequestDevicePower(first_.Device(), IRP_MN_SET_POWER, PowerDeviceD2), STATUS_SUCCESS);
    auto records = kx::PowerIrps();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].sender, kx::PowerIrpRecord::Sender::PoRequestPowerIrp);
    EXPECT_EQ(records[0].target, driver_.FdoOver(first_.Device()));
    EXPECT_EQ(Step(records[0]), DeviceSet(PowerDeviceD2));
    EXPECT_EQ(records[0].shutdownType, PowerActionNone);
    auto seen = driver_.Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].statusOnEntry, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(first_.DevicePower(), PowerDeviceD2);
    EXPECT_EQ(kx::AnnouncedPowerState(first_.Device(), DevicePowerState).DeviceState, PowerDeviceD2)
        << "the bus announces the state it set";
}

TEST_F(PowerManagerTest, PoRequestPowerIrpFailsWhenItsIrpCannotBeAllocated) {
    ArriveBoth();
    kx::ArmFault({kx::AllocationKind::Irp, 1, std::nullopt, kx::PoRequestPowerIrpSite()});
    EXPECT_EQ(RequestDevicePower(first_.Device(), IRP_MN_SET_POWER, PowerDeviceD3),
              STATUS_INSUFFICIENT_RESOURCES);
    auto records = kx::PowerIrps();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(driver_.Seen().empty());
    // The fault was used up: the next request goes out.
    EXPECT_EQ(RequestDevicePower(first_.Device(), IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
    kx::DisarmFaults();
}

TEST_F(PowerManagerTest, ARequestSentAtDispatchLevelReachesAPageableStackAtPassiveLevel) {
    ArriveBoth();
    struct Done {
        KEVENT event;
        NTSTATUS status = STATUS_PENDING;
    } done;
    KeInitializeEvent(&done.event, NotificationEvent, FALSE);
    auto callback = [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK io) {
        auto* d = static_cast<Done*>(context);
        d->status = io->Status;
        KeSetEvent(&d->event, IO_NO_INCREMENT, FALSE);
    };
    kx::RunAtIrql(DISPATCH_LEVEL, [&] {
        POWER_STATE state;
        state.DeviceState = PowerDeviceD3;
        EXPECT_EQ(
            PoRequestPowerIrp(first_.Device(), IRP_MN_QUERY_POWER, state, callback, &done, nullptr),
            STATUS_PENDING);
    });
    KeWaitForSingleObject(&done.event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(done.status, STATUS_SUCCESS);
    auto seen = driver_.Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].irql, PASSIVE_LEVEL);
}

// ---- One power request of each kind at a time per device ----------------------------------

TEST_F(PowerManagerTest, ASecondDeviceRequestWaitsForTheFirstsPoStartNextPowerIrp) {
    ArriveBoth();
    first_.ScriptNext(sim::Response::Pend().ForPower(IRP_MN_SET_POWER, DevicePowerState));
    NTSTATUS firstStatus = STATUS_PENDING;
    NTSTATUS secondStatus = STATUS_PENDING;
    std::thread firstRequest([&] {
        firstStatus = RequestDevicePower(first_.Device(), IRP_MN_SET_POWER, PowerDeviceD3);
    });
    first_.WaitForPending(1);
    std::thread secondRequest([&] {
        secondStatus = RequestDevicePower(first_.Device(), IRP_MN_SET_POWER, PowerDeviceD0);
    });
    // The filter has passed the second one on (it called PoStartNextPowerIrp at
    // once); the PDO, busy with the first, does not get it.
    while (driver_.Seen().size() < 2)
        std::this_thread::yield();
    kx::DrainWorkItems();
    EXPECT_EQ(PowerAtPdo(first_).size(), 1u);

    // A system request is a different kind: it is not held behind the device one.
    ASSERT_EQ(kx::SystemSleep(PowerSystemSleeping1), STATUS_SUCCESS);
    EXPECT_EQ(Steps(PowerAtPdo(first_)),
              (Steps_{DeviceSet(PowerDeviceD3), SystemQuery(PowerSystemSleeping1),
                      SystemSet(PowerSystemSleeping1)}));

    first_.CompletePending(STATUS_SUCCESS);
    firstRequest.join();
    secondRequest.join();
    EXPECT_EQ(firstStatus, STATUS_SUCCESS);
    EXPECT_EQ(secondStatus, STATUS_SUCCESS);
    auto atPdo = PowerAtPdo(first_);
    ASSERT_EQ(atPdo.size(), 4u);
    EXPECT_EQ(Step(atPdo[3]), DeviceSet(PowerDeviceD0));
    EXPECT_EQ(atPdo[3].irql, PASSIVE_LEVEL) << "a request held back is dispatched by a worker";
    EXPECT_EQ(first_.DevicePower(), PowerDeviceD0);
    EXPECT_EQ(kx::SystemWake(), STATUS_SUCCESS);
}

TEST_F(PowerManagerTest, ADriverThatNeverCallsPoStartNextPowerIrpIsReported) {
    ArriveBoth();
    driver_.SetBehaviour(first_.Device(), {STATUS_SUCCESS, true});
    kx::VerifierCapture capture;
    // Without the release that follows each finding, the set request would wait
    // for the query's PoStartNextPowerIrp for ever.
    ASSERT_EQ(kx::SystemSleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(capture.Count(kx::Rule::PowerIrpNotStarted), 2u);
    for (const auto& finding : capture.Findings())
        EXPECT_NE(finding.detail.find("PowerPassing"), std::string::npos) << finding.detail;
    capture.Clear();
    EXPECT_EQ(RequestDevicePower(second_.Device(), IRP_MN_SET_POWER, PowerDeviceD3),
              STATUS_SUCCESS);
    EXPECT_EQ(kx::SystemWake(), STATUS_SUCCESS);
    EXPECT_EQ(capture.Count(kx::Rule::PowerIrpNotStarted), 1u) << "the wake, on the first stack";
}

TEST_F(PowerManagerTest, WellBehavedStacksCauseNoFinding) {
    ArriveBoth();
    kx::VerifierCapture capture;
    ASSERT_EQ(kx::SystemSleep(PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_EQ(kx::SystemWake(), STATUS_SUCCESS);
    EXPECT_EQ(RequestDevicePower(first_.Device(), IRP_MN_QUERY_POWER, PowerDeviceD3),
              STATUS_SUCCESS);
    EXPECT_TRUE(capture.Findings().empty());
}

} // namespace
