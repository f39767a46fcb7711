// The two read timers against the device's lifetime: a timer holds the remove lock
// from its arming until it is cancelled unfired or the DPC run of its last firing
// has ended, however firings, re-armings and cancels interleave, and whatever
// KeRemoveQueueDpc returns; removal neither leaves a timer or DPC in the freed
// device nor ends before a run queued or in progress.
#include <tests/support/open_port.h>
#include <tests/support/pnp_port.h>
#include <tests/support/processor_gate.h>

#include <future>

namespace {

using korvax_test::HeldRequest;
using korvax_test::Ms;
using korvax_test::PnpPortTest;
using korvax_test::ProcessorGate;
using korvax_test::WaitUntil;

// Arms a read timer as the driver does, under the port's lock. A due time of 0 is
// already past: the timer fires within KeSetTimer and queues its DPC.
void Arm(PDEVICE_CONTEXT context, PKTIMER timer, LONGLONG hundredNs) {
    LARGE_INTEGER due;
    due.QuadPart = -hundredNs;
    KIRQL oldIrql;
    KeAcquireSpinLock(&context->Lock, &oldIrql);
    EXPECT_TRUE(ArmReadTimer(context, timer, due));
    KeReleaseSpinLock(&context->Lock, oldIrql);
}

using ReadTimerHoldTest = korvax_test::OpenPortTest;

TEST_F(ReadTimerHoldTest, AnArmingHoldsUntilCancelledAndARearmingTakesItOver) {
    Arm(context_, &context_->ReadTotalTimer, Ms(100));
    EXPECT_EQ(RemoveLockHolds(), 1);
    Arm(context_, &context_->ReadTotalTimer, Ms(200));
    Arm(context_, &context_->ReadIntervalTimer, Ms(100));
    EXPECT_EQ(RemoveLockHolds(), 2) << "one per timer, however often it is armed";
    CancelReadTimers();
    EXPECT_EQ(RemoveLockHolds(), 0);
    EXPECT_EQ(kx::TimerCount(), 0u);
    CancelReadTimers();
    EXPECT_EQ(RemoveLockHolds(), 0) << "a cancel with nothing set gives nothing back";
}

// Fired, its run still queued, then armed again: the arming is left to that run,
// which sets the timer again with the one hold; the run serves no read, since the
// arming superseded the firing.
TEST_F(ReadTimerHoldTest, ArmingWhileAFiringsRunIsQueuedLeavesTheSettingToThatRun) {
    auto read = HeldRequest::Read(fdo_, 8); // waits for data, no timer of its own: one hold
    ASSERT_EQ(read->Send(), STATUS_PENDING);
    ProcessorGate gate;
    ASSERT_TRUE(gate.closed);
    Arm(context_, &context_->ReadIntervalTimer, 0);
    EXPECT_EQ(kx::TimerCount(), 0u) << "fired at once";
    EXPECT_EQ(RemoveLockHolds(), 2) << "the read and the timer";
    Arm(context_, &context_->ReadIntervalTimer, Ms(1000));
    EXPECT_EQ(kx::TimerCount(), 0u) << "set while its last firing's run is still to come";
    EXPECT_EQ(RemoveLockHolds(), 2) << "one hold per timer";
    gate.Open();
    EXPECT_FALSE(read->Completed()) << "the superseded firing served the read";
    EXPECT_EQ(kx::TimerCount(), 1u) << "the run set the timer";

    kx::AdvanceTime(Ms(1000));
    ASSERT_TRUE(read->Completed());
    EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
    EXPECT_EQ(RemoveLockHolds(), 0);
}

// On Windows 2000 and XP, KeRemoveQueueDpc may return TRUE and the routine still
// run ("KeRemoveQueueDpc routine" (WDK)). A timer fired, its run queued, is then
// cancelled or armed again: the run still comes and is the timer's only giver of
// its one hold, exactly once, after the arming, if any, has been set.
TEST_F(ReadTimerHoldTest, ARunThatKeRemoveQueueDpcReportedRemovedStillOwnsTheHold) {
    const struct {
        const char* name;
        bool armAgain;
        LONG holdsAfterRun; // the waiting read's, and the timer armed again
    } table[] = {{"cancelled", false, 1}, {"armed again", true, 2}};
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        kx::VerifierCapture verifier;
        auto read = HeldRequest::Read(fdo_, 8);
        ASSERT_EQ(read->Send(), STATUS_PENDING);
        {
            ProcessorGate gate;
            ASSERT_TRUE(gate.closed);
            kx::RunNextRemovedDpc(&context_->ReadIntervalDpc);
            Arm(context_, &context_->ReadIntervalTimer, 0);
            if (row.armAgain) {
                Arm(context_, &context_->ReadIntervalTimer, Ms(1000));
            } else {
                KIRQL oldIrql;
                KeAcquireSpinLock(&context_->Lock, &oldIrql);
                ::CancelReadTimers(context_);
                KeReleaseSpinLock(&context_->Lock, oldIrql);
            }
            EXPECT_EQ(RemoveLockHolds(), 2) << "the read's, and the timer's for its run";
        }
        EXPECT_EQ(RemoveLockHolds(), row.holdsAfterRun);
        EXPECT_FALSE(read->Completed());
        EXPECT_TRUE(verifier.Findings().empty()) << kx::RuleName(verifier.Findings()[0].rule);
        CancelReadTimers();
        CancelAllQueues(fdo_);
        kx::DrainDispatchQueue();
        EXPECT_EQ(read->Status(), STATUS_CANCELLED);
        EXPECT_EQ(RemoveLockHolds(), 0);
    }
}

// ---- Removal ------------------------------------------------------------------------------

class ReadTimerRemovalTest : public PnpPortTest {
  protected:
    void SetUp() override {
        PnpPortTest::SetUp();
        modem_ = &NewModem();
        node_ = Arrive(*modem_);
        ASSERT_TRUE(node_->Started());
        fdo_ = Fdo(*modem_);
        context_ = GetDeviceContext(fdo_);
    }

    sim::ModemPdo* modem_ = nullptr;
    std::shared_ptr<kx::DeviceNode> node_;
    PDEVICE_OBJECT fdo_ = nullptr;
    PDEVICE_CONTEXT context_ = nullptr;
};

// A read's total timer is armed and the interval timer has fired, its run still
// queued, when the removal begins: the removal cancels the one, and waits for the
// run of the other, which it cannot take back on Windows 2000 and XP, before it
// deletes the device; neither is left in the freed device.
TEST_F(ReadTimerRemovalTest, RemovalCancelsAnArmedTimerAndWaitsForAQueuedRun) {
    kx::VerifierCapture verifier;
    context_->Timeouts.ReadTotalTimeoutConstant = 1000;
    auto read = HeldRequest::Read(fdo_, 8);
    ASSERT_EQ(read->Send(), STATUS_PENDING);
    ASSERT_EQ(kx::TimerCount(), 1u);
    auto gate = std::make_unique<ProcessorGate>();
    ASSERT_TRUE(gate->closed);
    Arm(context_, &context_->ReadIntervalTimer, 0);

    NTSTATUS removed = STATUS_PENDING;
    std::thread remover([&] { removed = kx::RemoveDevice(*node_); });
    // Waiting with the one hold of the queued run.
    bool waiting = WaitUntil([&] {
        return __atomic_load_n(&context_->RemoveLock.Common.Removed, __ATOMIC_ACQUIRE) &&
               __atomic_load_n(&context_->RemoveLock.Common.IoCount, __ATOMIC_ACQUIRE) == 1;
    });
    bool deviceStayed = kx::DeviceExists(fdo_);
    size_t timersSet = kx::TimerCount();
    gate.reset();
    remover.join();

    EXPECT_TRUE(waiting);
    EXPECT_TRUE(deviceStayed) << "deleted with the run still queued";
    EXPECT_EQ(timersSet, 0u);
    EXPECT_EQ(removed, STATUS_SUCCESS);
    EXPECT_FALSE(kx::DeviceExists(fdo_));
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    kx::AdvanceTime(Ms(1000));
    EXPECT_TRUE(verifier.Findings().empty());
}

// The total timer has fired and its run is under way (held in the read's
// completion) when the removal begins: the REMOVE goes down, then the removal waits
// for that run's hold as well as the read's, and detaches and deletes the device
// only once the run has ended.
TEST_F(ReadTimerRemovalTest, ATimerRunUnderWayWhenTheRemovalWaitsLetsItFinish) {
    kx::VerifierCapture verifier;
    std::promise<NTSTATUS> completing;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();

    auto read = HeldRequest::Read(fdo_, 8);
    read->OnCompletion([&] {
        completing.set_value(read->Status());
        released.wait();
    });
    context_->Timeouts.ReadTotalTimeoutConstant = 1000;
    ASSERT_EQ(read->Send(), STATUS_PENDING);

    std::thread clock([] { kx::AdvanceTime(Ms(1000)); });
    std::future<NTSTATUS> readStatus = completing.get_future();
    bool runUnderWay = readStatus.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    NTSTATUS removed = STATUS_PENDING;
    std::thread remover([&] { removed = kx::RemoveDevice(*node_); });
    // Waiting: the removal has given back its own hold and the initial one.
    bool waiting = WaitUntil([&] {
        return __atomic_load_n(&context_->RemoveLock.Common.Removed, __ATOMIC_ACQUIRE) &&
               __atomic_load_n(&context_->RemoveLock.Common.IoCount, __ATOMIC_ACQUIRE) <= 2;
    });
    LONG holds = __atomic_load_n(&context_->RemoveLock.Common.IoCount, __ATOMIC_ACQUIRE);
    bool busHadRemove = BusSaw(*modem_, IRP_MN_REMOVE_DEVICE);
    bool deviceStayed = kx::DeviceExists(fdo_);
    release.set_value();
    remover.join();
    clock.join();

    EXPECT_TRUE(runUnderWay);
    EXPECT_TRUE(waiting);
    EXPECT_EQ(holds, 2) << "the read's hold and its timer run's";
    EXPECT_TRUE(busHadRemove) << "the REMOVE goes down before the wait";
    EXPECT_TRUE(deviceStayed) << "deleted while a hold was out";
    EXPECT_EQ(removed, STATUS_SUCCESS);
    EXPECT_FALSE(kx::DeviceExists(fdo_));
    EXPECT_EQ(runUnderWay ? readStatus.get() : STATUS_PENDING, STATUS_TIMEOUT);
    EXPECT_TRUE(verifier.Findings().empty());
}

} // namespace
