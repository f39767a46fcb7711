// The hosted power manager: system sleep, refusal and wake sent through every
// started device stack in the order and with the fields Windows uses; and the
// Windows 2000/XP rule of one system and one device power request at a time per
// device object, released by PoStartNextPowerIrp, with the verifier's findings for
// a driver that never calls it or breaks the other rules of power IRPs.
#include "power_support.h"

#include <kx/pnp.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using namespace power_test;
using Lines = std::vector<std::string>;
using Pdos = std::vector<PDEVICE_OBJECT>;

// Power requests the passing driver has received.
std::atomic<int> powerDispatched{0};

// A function driver that passes power requests down as a filter does
// (PoStartNextPowerIrp, skip, PoCallDriver), misbehaving as its stack's extension
// says; Plug and Play requests go down untouched.
enum class Misstep {
    None,
    RefuseSystemQuery,  // system queries are refused here
    ForgetStartNext,    // set and query go down without PoStartNextPowerIrp
    FailSystemSet,      // system set requests are completed with an error here
    UseIofCallDriver,   // power requests go down with IofCallDriver
    StartNextAfterSkip, // PoStartNextPowerIrp once the location is skipped
};

struct PassingStack {
    PDEVICE_OBJECT lower;
    Misstep misstep = Misstep::None;
};

PassingStack* StackOver(PDEVICE_OBJECT pdo) {
    return static_cast<PassingStack*>(pdo->AttachedDevice->DeviceExtension);
}

NTSTATUS NTAPI PassingAdd(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status =
        IoCreateDevice(driver, sizeof(PassingStack), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    *static_cast<PassingStack*>(fdo->DeviceExtension) = {IoAttachDeviceToDeviceStack(fdo, pdo)};
    fdo->Flags |= pdo->Flags & DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PassingPnp(PDEVICE_OBJECT fdo, PIRP irp) {
    PDEVICE_OBJECT lower = static_cast<PassingStack*>(fdo->DeviceExtension)->lower;
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        IoDetachDevice(lower);
        IoDeleteDevice(fdo);
    }
    return status;
}

NTSTATUS NTAPI PassingPower(PDEVICE_OBJECT fdo, PIRP irp) {
    const PassingStack& stack = *static_cast<PassingStack*>(fdo->DeviceExtension);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    const auto& power = location->Parameters.Power;
    UCHAR minor = location->MinorFunction;
    ++powerDispatched;
    bool setOrQuery = minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER;
    if (setOrQuery && stack.misstep != Misstep::ForgetStartNext &&
        stack.misstep != Misstep::StartNextAfterSkip)
        PoStartNextPowerIrp(irp);
    if (power.Type == SystemPowerState &&
        ((stack.misstep == Misstep::FailSystemSet && minor == IRP_MN_SET_POWER) ||
         (stack.misstep == Misstep::RefuseSystemQuery && minor == IRP_MN_QUERY_POWER))) {
        irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_UNSUCCESSFUL;
    }
    IoSkipCurrentIrpStackLocation(irp);
    if (setOrQuery && stack.misstep == Misstep::StartNextAfterSkip)
        PoStartNextPowerIrp(irp);
    if (stack.misstep == Misstep::UseIofCallDriver)
        return IoCallDriver(stack.lower, irp);
    return PoCallDriver(stack.lower, irp);
}

NTSTATUS NTAPI PassingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverExtension->AddDevice = PassingAdd;
    driver->MajorFunction[IRP_MJ_PNP] = PassingPnp;
    driver->MajorFunction[IRP_MJ_POWER] = PassingPower;
    return STATUS_SUCCESS;
}

class PowerManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        powerDispatched = 0;
        NTSTATUS status;
        driver_ = kx::LoadDriver(PassingEntry, u"PowerPassing", &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
        // Instance paths decide the order in which the power manager visits stacks.
        kx::SetDeviceInstancePath(first_.Device(), u"KORVAXBUS\\MODEM\\A");
        kx::SetDeviceInstancePath(second_.Device(), u"KORVAXBUS\\MODEM\\B");
        ASSERT_NE(kx::ReportDevice(second_.Device(), driver_), nullptr);
        ASSERT_NE(kx::ReportDevice(first_.Device(), driver_), nullptr);
        kx::ClearPowerIrps();
    }

    void TearDown() override {
        // A request dispatched by a system worker may have called back its sender
        // while the worker is still unwinding through the drivers' dispatch routines.
        kx::DrainWorkItems();
        for (const auto& node : kx::DeviceNodes())
            kx::RemoveDevice(*node);
        kx::UnloadDriver(driver_);
    }

    // The stacks' PDOs the power manager sent each record to.
    static Pdos Targets() {
        Pdos pdos;
        for (const auto& record : kx::PowerIrps())
            pdos.push_back(record.pdo);
        return pdos;
    }

    kx::Kernel kernel_;
    sim::ParentBus bus_;
    sim::ModemPdo& first_ = bus_.CreateModemPdo();
    sim::ModemPdo& second_ = bus_.CreateModemPdo();
    PDRIVER_OBJECT driver_ = nullptr;
};

TEST_F(PowerManagerTest, SleepQueriesThenSetsEveryStackAndWakeSetsThemInReverse) {
    kx::VerifierCapture capture;
    ASSERT_EQ(kx::SystemSleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(kx::CurrentSystemPowerState(), PowerSystemSleeping3);
    EXPECT_EQ(Steps(kx::PowerIrps()), (Lines{"QUERY S3", "QUERY S3", "SET S3", "SET S3"}));
    EXPECT_EQ(Targets(),
              (Pdos{first_.Device(), second_.Device(), first_.Device(), second_.Device()}));
    for (const auto& record : kx::PowerIrps()) {
        EXPECT_EQ(record.status, STATUS_SUCCESS);
        EXPECT_EQ(record.target, record.pdo->AttachedDevice) << "sent to the top of the stack";
    }
    // Each request arrives as the Windows power manager builds it (and the filter
    // passes it on).
    EXPECT_EQ(powerDispatched, 4);
    for (const auto* pdo : {&first_, &second_}) {
        EXPECT_EQ(Steps(PowerAtPdo(*pdo)), (Lines{"QUERY S3", "SET S3"}));
        for (const auto& irp : PowerAtPdo(*pdo)) {
            EXPECT_EQ(irp.irql, PASSIVE_LEVEL);
            EXPECT_EQ(irp.statusOnEntry, STATUS_NOT_SUPPORTED);
            EXPECT_EQ(irp.shutdownType, PowerActionSleep);
        }
    }

    kx::ClearPowerIrps();
    ASSERT_EQ(kx::SystemWake(), STATUS_SUCCESS);
    EXPECT_EQ(kx::CurrentSystemPowerState(), PowerSystemWorking);
    EXPECT_EQ(Steps(kx::PowerIrps()), (Lines{"SET S0", "SET S0"}));
    EXPECT_EQ(Targets(), (Pdos{second_.Device(), first_.Device()}));
    for (const auto& record : kx::PowerIrps())
        EXPECT_EQ(record.shutdownType, PowerActionSleep);
    EXPECT_EQ(RequestDevicePower(first_.Device(), IRP_MN_QUERY_POWER, PowerDeviceD3),
              STATUS_SUCCESS);
    EXPECT_TRUE(capture.Findings().empty()) << "well-behaved stacks cause no finding";
    EXPECT_EQ(kx::OutstandingIrps(), 0u);
}

TEST_F(PowerManagerTest, ARefusedQueryReaffirmsTheWorkingStateToEveryStackQueried) {
    StackOver(second_.Device())->misstep = Misstep::RefuseSystemQuery;
    EXPECT_EQ(kx::SystemSleep(PowerSystemSleeping3), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(kx::CurrentSystemPowerState(), PowerSystemWorking);
    auto records = kx::PowerIrps();
    EXPECT_EQ(Steps(records), (Lines{"QUERY S3", "QUERY S3", "SET S0", "SET S0"}));
    EXPECT_EQ(Targets(),
              (Pdos{first_.Device(), second_.Device(), first_.Device(), second_.Device()}));
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].status, STATUS_SUCCESS);
    EXPECT_EQ(records[1].status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(records[2].shutdownType, PowerActionSleep);
    // The refusing driver completed the query itself: its bus never heard of it.
    EXPECT_EQ(Steps(PowerAtPdo(second_)), (Lines{"SET S0"}));
}

// ---- One power request of each kind at a time per device ----------------------------------

TEST_F(PowerManagerTest, ASecondDeviceRequestWaitsForTheFirstsPoStartNextPowerIrp) {
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
    while (powerDispatched < 2)
        std::this_thread::yield();
    kx::DrainWorkItems();
    EXPECT_EQ(PowerAtPdo(first_).size(), 1u);

    // A system request is a different kind: it is not held behind the device one.
    ASSERT_EQ(kx::SystemSleep(PowerSystemSleeping1), STATUS_SUCCESS);
    EXPECT_EQ(Steps(PowerAtPdo(first_)), (Lines{"SET D3", "QUERY S1", "SET S1"}));

    first_.CompletePending(STATUS_SUCCESS);
    firstRequest.join();
    secondRequest.join();
    EXPECT_EQ(firstStatus, STATUS_SUCCESS);
    EXPECT_EQ(secondStatus, STATUS_SUCCESS);
    auto atPdo = PowerAtPdo(first_);
    ASSERT_EQ(atPdo.size(), 4u);
    EXPECT_EQ(Describe(atPdo[3]), "SET D0");
    EXPECT_EQ(atPdo[3].irql, PASSIVE_LEVEL) << "a request held back is dispatched by a worker";
    EXPECT_EQ(first_.DevicePower(), PowerDeviceD0);
    EXPECT_EQ(kx::SystemWake(), STATUS_SUCCESS);
}

// Each rule of power IRPs that Windows 2000/XP hold drivers to, broken by the
// first stack's driver during a sleep and wake; the second stack keeps to them.
TEST_F(PowerManagerTest, EachRuleOfPowerIrpsBrokenIsReported) {
    // The first stack gets the sleep query and set and the wake set (one finding of
    // each, the failed set only of the two sets). Without the release that follows each finding of
    // a forgotten PoStartNextPowerIrp, the set request would wait for the query's for ever. A
    // device request to the second stack adds nothing.
    const struct {
        Misstep misstep;
        kx::Rule rule;
        size_t count;
    } rows[] = {
        {Misstep::ForgetStartNext, kx::Rule::PowerIrpNotStarted, 3},
        {Misstep::FailSystemSet, kx::Rule::SystemSetPowerFailed, 2},
        {Misstep::UseIofCallDriver, kx::Rule::PowerIrpWithoutPoCallDriver, 3},
        {Misstep::StartNextAfterSkip, kx::Rule::PoStartNextPowerIrpNotOwner, 3},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(kx::RuleName(row.rule));
        StackOver(first_.Device())->misstep = row.misstep;
        kx::VerifierCapture capture;
        ASSERT_EQ(kx::SystemSleep(PowerSystemSleeping3), STATUS_SUCCESS);
        EXPECT_EQ(RequestDevicePower(second_.Device(), IRP_MN_SET_POWER, PowerDeviceD3),
                  STATUS_SUCCESS);
        EXPECT_EQ(capture.Count(row.rule), row.count - 1) << "the wake's one to come";
        ASSERT_EQ(kx::SystemWake(), STATUS_SUCCESS);
        kx::DrainWorkItems();
        EXPECT_EQ(capture.Count(row.rule), row.count);
        // The failed set names its stack; the others name the driver that broke it.
        std::string culprit =
            row.rule == kx::Rule::SystemSetPowerFailed ? "KORVAXBUS\\MODEM\\A" : "PowerPassing";
        for (const auto& finding : capture.Findings())
            EXPECT_NE(finding.detail.find(culprit), std::string::npos) << finding.detail;
        StackOver(first_.Device())->misstep = Misstep::None;
    }
}

} // namespace
