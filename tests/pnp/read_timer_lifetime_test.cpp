// The two read timers against the device's lifetime: every arming holds the remove
// lock until it is cancelled or the DPC run its firing queued has ended, however
// firings, re-armings and cancels interleave; and removal neither leaves a timer or
// DPC in the freed device nor ends before a run in progress.
#include <tests/support/open_port.h>
#include <tests/support/pnp_port.h>

namespace {

using korvax_test::HeldRequest;
using korvax_test::Ms;
using korvax_test::PnpPortTest;
using korvax_test::WaitUntil;

// Holds every simulated processor in a work item of its own, so that a timer that
// fires meanwhile leaves its DPC queued.
class ProcessorGate {
  public:
    explicit ProcessorGate(unsigned processors = 2) : processors_(processors) {}
    ~ProcessorGate() { Open(); }

    bool Close() {
        for (unsigned i = 0; i < processors_; ++i) {
            kx::QueueAtDispatch([this] {
                std::unique_lock<std::mutex> lock(mutex_);
                ++held_;
                changed_.notify_all();
                changed_.wait(lock, [this] { return open_; });
            });
        }
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10),
                                 [this] { return held_ == processors_; });
    }

    void Open() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            open_ = true;
        }
        changed_.notify_all();
        kx::DrainDispatchQueue();
    }

  private:
    const unsigned processors_;
    std::mutex mutex_;
    std::condition_variable changed_;
    unsigned held_ = 0;
    bool open_ = false;
};

LARGE_INTEGER DueIn(LONGLONG hundredNs) {
    LARGE_INTEGER due;
    due.QuadPart = -hundredNs;
    return due;
}

// A due time already past: the timer fires within KeSetTimer and queues its DPC.
LARGE_INTEGER DueNow() {
    LARGE_INTEGER due;
    due.QuadPart = 0;
    return due;
}

class ReadTimerHoldTest : public korvax_test::OpenPortTest {
  protected:
    void Arm(PKTIMER timer, LARGE_INTEGER due) {
        KIRQL oldIrql;
        KeAcquireSpinLock(&context_->Lock, &oldIrql);
        EXPECT_TRUE(ArmReadTimer(context_, timer, due));
        KeReleaseSpinLock(&context_->Lock, oldIrql);
    }

    // A read that waits for data without a timer of its own (one hold).
    std::unique_ptr<HeldRequest> WaitingRead() {
        auto read = HeldRequest::Read(fdo_, 8);
        EXPECT_EQ(read->Send(), STATUS_PENDING);
        return read;
    }
};

TEST_F(ReadTimerHoldTest, AnArmingHoldsUntilCancelledAndARearmingTakesItOver) {
    Arm(&context_->ReadTotalTimer, DueIn(Ms(100)));
    EXPECT_EQ(RemoveLockHolds(), 1);
    Arm(&context_->ReadTotalTimer, DueIn(Ms(200)));
    Arm(&context_->ReadIntervalTimer, DueIn(Ms(100)));
    EXPECT_EQ(RemoveLockHolds(), 2) << "one per timer, however often it is armed";
    CancelReadTimers();
    EXPECT_EQ(RemoveLockHolds(), 0);
    EXPECT_EQ(kx::TimerCount(), 0u);
    CancelReadTimers();
    EXPECT_EQ(RemoveLockHolds(), 0) << "a cancel with nothing set gives nothing back";
}

TEST_F(ReadTimerHoldTest, ARunGivesBackItsHoldWhenItEnds) {
    Arm(&context_->ReadTotalTimer, DueIn(Ms(100)));
    Arm(&context_->ReadIntervalTimer, DueIn(Ms(50)));
    kx::AdvanceTime(Ms(50));
    EXPECT_EQ(RemoveLockHolds(), 1);
    kx::AdvanceTime(Ms(50));
    EXPECT_EQ(RemoveLockHolds(), 0);
}

// Fired, its run still queued, then armed again: the owed run is taken back with
// its hold, so there is one hold and one run, not two holds for the one run a
// second firing would merge into. The stale run never serves the read.
TEST_F(ReadTimerHoldTest, RearmingWhileAFiringsRunIsQueuedTakesThatRunBack) {
    auto read = WaitingRead();
    ProcessorGate gate;
    ASSERT_TRUE(gate.Close());
    Arm(&context_->ReadIntervalTimer, DueNow());
    EXPECT_EQ(kx::TimerCount(), 0u) << "fired at once";
    EXPECT_EQ(RemoveLockHolds(), 2) << "the read and the firing's queued run";
    Arm(&context_->ReadIntervalTimer, DueIn(Ms(1000)));
    EXPECT_EQ(RemoveLockHolds(), 2) << "the run's hold went to the new arming";
    gate.Open();
    EXPECT_FALSE(read->Completed()) << "the stale run was not left to serve the read";

    kx::AdvanceTime(Ms(1000));
    ASSERT_TRUE(read->Completed());
    EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
    EXPECT_EQ(RemoveLockHolds(), 0);
}

// A cancel that finds the firing's run still queued removes it and gives back its
// hold; whether the timer was set again meanwhile makes no difference.
TEST_F(ReadTimerHoldTest, CancelRemovesAQueuedRunAndItsHold) {
    auto read = WaitingRead();
    ProcessorGate gate;
    ASSERT_TRUE(gate.Close());
    Arm(&context_->ReadTotalTimer, DueNow());
    Arm(&context_->ReadIntervalTimer, DueNow());
    EXPECT_EQ(RemoveLockHolds(), 3);
    CancelReadTimers();
    EXPECT_EQ(RemoveLockHolds(), 1) << "only the read's own hold is left";
    gate.Open();
    EXPECT_FALSE(read->Completed());
    CancelAllQueues(fdo_);
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    EXPECT_EQ(RemoveLockHolds(), 0);
}

// A read cancelled while its total timer runs leaves the timer's hold until the
// timer has fired and run, which then ends nothing.
TEST_F(ReadTimerHoldTest, ATimerOutlivingItsReadKeepsItsHoldUntilItHasRun) {
    SetTimeouts(0, 0, 100);
    auto read = HeldRequest::Read(fdo_, 8);
    ASSERT_EQ(read->Send(), STATUS_PENDING);
    EXPECT_TRUE(read->Cancel());
    EXPECT_EQ(RemoveLockHolds(), 1);
    kx::AdvanceTime(Ms(100));
    EXPECT_EQ(RemoveLockHolds(), 0);
    EXPECT_EQ(read->Completions(), 1);
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

    // Findings of the verifier so far, each a test failure.
    static void ExpectNoFindings(const kx::VerifierCapture& verifier) {
        for (const kx::Finding& finding : verifier.Findings())
            ADD_FAILURE() << kx::RuleName(finding.rule) << ": " << finding.detail;
    }

    sim::ModemPdo* modem_ = nullptr;
    std::shared_ptr<kx::DeviceNode> node_;
    PDEVICE_OBJECT fdo_ = nullptr;
    PDEVICE_CONTEXT context_ = nullptr;
};

TEST_F(ReadTimerRemovalTest, RemovalWithAReadsTotalTimerArmedLeavesNoTimerBehind) {
    kx::VerifierCapture verifier;
    context_->Timeouts.ReadTotalTimeoutConstant = 1000;
    auto read = HeldRequest::Read(fdo_, 8);
    ASSERT_EQ(read->Send(), STATUS_PENDING);
    ASSERT_EQ(kx::TimerCount(), 1u);

    EXPECT_EQ(kx::RemoveDevice(*node_), STATUS_SUCCESS);
    EXPECT_FALSE(kx::DeviceExists(fdo_));
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    EXPECT_EQ(kx::TimerCount(), 0u);
    kx::AdvanceTime(Ms(1000));
    ExpectNoFindings(verifier);
}

// The interval timer fired and its run is still queued when the removal begins:
// the removal takes the run back rather than leave it queued in freed memory.
TEST_F(ReadTimerRemovalTest, RemovalTakesBackARunThatAFiringQueued) {
    kx::VerifierCapture verifier;
    ProcessorGate gate;
    ASSERT_TRUE(gate.Close());
    KIRQL oldIrql;
    KeAcquireSpinLock(&context_->Lock, &oldIrql);
    ASSERT_TRUE(ArmReadTimer(context_, &context_->ReadIntervalTimer, DueNow()));
    KeReleaseSpinLock(&context_->Lock, oldIrql);

    EXPECT_EQ(kx::RemoveDevice(*node_), STATUS_SUCCESS);
    EXPECT_FALSE(kx::DeviceExists(fdo_));
    gate.Open();
    ExpectNoFindings(verifier);
}

// The total timer has fired and its run is under way (held in the read's
// completion) when the removal begins: the removal waits for that run's hold as
// well as the read's, and finishes once the run has ended.
TEST_F(ReadTimerRemovalTest, ATimerRunUnderWayWhenTheRemovalWaitsLetsItFinish) {
    kx::VerifierCapture verifier;
    std::mutex mutex;
    std::condition_variable changed;
    bool completing = false;
    bool release = false;
    NTSTATUS readStatus = STATUS_PENDING;

    std::vector<uint8_t> buffer(8);
    PIRP irp = IoAllocateIrp(fdo_->StackSize, FALSE);
    irp->AssociatedIrp.SystemBuffer = buffer.data();
    irp->Flags = IRP_BUFFERED_IO;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_READ;
    next->Parameters.Read.Length = (ULONG)buffer.size();
    kx::SetIrpTopCompletion(irp, [&](PIRP done) {
        std::unique_lock<std::mutex> lock(mutex);
        readStatus = done->IoStatus.Status;
        completing = true;
        changed.notify_all();
        changed.wait(lock, [&] { return release; });
    });
    context_->Timeouts.ReadTotalTimeoutConstant = 1000;
    ASSERT_EQ(IoCallDriver(fdo_, irp), STATUS_PENDING);

    std::thread clock([] { kx::AdvanceTime(Ms(1000)); });
    bool runUnderWay;
    {
        std::unique_lock<std::mutex> lock(mutex);
        runUnderWay = changed.wait_for(lock, std::chrono::seconds(10), [&] { return completing; });
    }
    NTSTATUS removed = STATUS_PENDING;
    std::thread remover([&] { removed = kx::RemoveDevice(*node_); });
    // Waiting: the removal has given back its own hold and the initial one.
    bool waiting = WaitUntil([&] {
        return __atomic_load_n(&context_->RemoveLock.Common.Removed, __ATOMIC_ACQUIRE) &&
               __atomic_load_n(&context_->RemoveLock.Common.IoCount, __ATOMIC_ACQUIRE) <= 2;
    });
    LONG holds = __atomic_load_n(&context_->RemoveLock.Common.IoCount, __ATOMIC_ACQUIRE);
    bool deviceStayed = kx::DeviceExists(fdo_);
    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
    }
    changed.notify_all();
    remover.join();
    clock.join();

    EXPECT_TRUE(runUnderWay);
    EXPECT_TRUE(waiting);
    EXPECT_EQ(holds, 2) << "the read's hold and its timer run's";
    EXPECT_TRUE(deviceStayed);
    EXPECT_EQ(removed, STATUS_SUCCESS);
    EXPECT_FALSE(kx::DeviceExists(fdo_));
    EXPECT_EQ(readStatus, STATUS_TIMEOUT);
    IoFreeIrp(irp);
    ExpectNoFindings(verifier);
}

} // namespace
