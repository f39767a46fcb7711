// The kernel clock and timers: the manual clock fires timers exactly at their due
// times and in due-time order, timed waits end when time passes their deadline,
// and the real clock's timer thread fires timers on its own.
#include <kx/host.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace {

LARGE_INTEGER Relative(LONGLONG hundredNs) {
    LARGE_INTEGER due;
    due.QuadPart = -hundredNs;
    return due;
}

// A timer with a DPC that records, for each expiry, the clock and the context it
// ran in.
struct Firing {
    LONGLONG time;
    KIRQL irql;
    std::thread::id thread;
    int id;
};

struct TimedDpc {
    KTIMER timer;
    KDPC dpc;
    int id = 0;
    std::mutex* mutex = nullptr;
    std::vector<Firing>* firings = nullptr;
};

void NTAPI RecordFiring(PKDPC, PVOID Context, PVOID, PVOID) {
    auto* t = static_cast<TimedDpc*>(Context);
    std::lock_guard<std::mutex> guard(*t->mutex);
    t->firings->push_back(
        {kx::CurrentTime(), KeGetCurrentIrql(), std::this_thread::get_id(), t->id});
}

class ManualClockTest : public ::testing::Test {
  protected:
    void Init(TimedDpc& t, int id = 0, TIMER_TYPE type = NotificationTimer) {
        KeInitializeTimerEx(&t.timer, type);
        KeInitializeDpc(&t.dpc, RecordFiring, &t);
        t.id = id;
        t.mutex = &mutex_;
        t.firings = &firings_;
    }

    std::vector<Firing> Firings() {
        std::lock_guard<std::mutex> guard(mutex_);
        return firings_;
    }

    kx::Kernel kernel_;
    std::mutex mutex_;
    std::vector<Firing> firings_;
};

TEST_F(ManualClockTest, ATimerFiresExactlyAtItsDueTimeOnADpcThread) {
    TimedDpc t;
    Init(t);
    EXPECT_FALSE(KeSetTimer(&t.timer, Relative(100), &t.dpc));
    EXPECT_EQ(kx::TimerCount(), 1u);

    kx::AdvanceTime(99);
    EXPECT_TRUE(Firings().empty());
    EXPECT_FALSE(KeReadStateTimer(&t.timer));

    kx::AdvanceTime(1);
    auto firings = Firings();
    ASSERT_EQ(firings.size(), 1u);
    EXPECT_EQ(firings[0].time, 100);
    EXPECT_EQ(firings[0].irql, DISPATCH_LEVEL);
    EXPECT_NE(firings[0].thread, std::this_thread::get_id());
    EXPECT_TRUE(KeReadStateTimer(&t.timer));
    EXPECT_EQ(kx::TimerCount(), 0u);
    EXPECT_FALSE(KeCancelTimer(&t.timer)) << "a timer that fired is no longer set";

    // Interrupt time and system time move together.
    LARGE_INTEGER before, after;
    KeQuerySystemTime(&before);
    kx::AdvanceTime(12345);
    KeQuerySystemTime(&after);
    EXPECT_EQ(after.QuadPart - before.QuadPart, 12345);
    EXPECT_EQ(KeQueryInterruptTime(), 100u + 12345u);
}

TEST_F(ManualClockTest, SettingAgainReplacesTheDueTimeAndCancellingPreventsTheExpiry) {
    TimedDpc t;
    Init(t);
    KeSetTimer(&t.timer, Relative(100), &t.dpc);
    kx::AdvanceTime(50);
    EXPECT_TRUE(KeSetTimer(&t.timer, Relative(100), &t.dpc)) << "it was still set";
    kx::AdvanceTime(50);
    EXPECT_TRUE(Firings().empty()) << "the first due time no longer counts";
    kx::AdvanceTime(50);
    ASSERT_EQ(Firings().size(), 1u);
    EXPECT_EQ(Firings()[0].time, 150);

    // Setting resets the signal state; cancelling leaves it alone.
    KeSetTimer(&t.timer, Relative(10), &t.dpc);
    EXPECT_FALSE(KeReadStateTimer(&t.timer));
    EXPECT_TRUE(KeCancelTimer(&t.timer));
    EXPECT_FALSE(KeCancelTimer(&t.timer));
    kx::AdvanceTime(1000);
    EXPECT_EQ(Firings().size(), 1u);
    EXPECT_EQ(kx::TimerCount(), 0u);
}

TEST_F(ManualClockTest, APeriodicTimerComesBackEveryPeriodUntilCancelled) {
    TimedDpc t;
    Init(t);
    constexpr LONGLONG Ms = 10000;
    KeSetTimerEx(&t.timer, Relative(10 * Ms), 5, &t.dpc);
    kx::AdvanceTime(10 * Ms - 1);
    EXPECT_TRUE(Firings().empty());
    // One call covering several periods fires each of them, each at its own time.
    kx::AdvanceTime(15 * Ms + 1);
    auto firings = Firings();
    ASSERT_EQ(firings.size(), 4u);
    for (size_t i = 0; i < firings.size(); ++i)
        EXPECT_EQ(firings[i].time, static_cast<LONGLONG>(10 + 5 * i) * Ms);
    EXPECT_EQ(kx::TimerCount(), 1u) << "a periodic timer stays set";
    EXPECT_TRUE(KeCancelTimer(&t.timer));
    kx::AdvanceTime(100 * Ms);
    EXPECT_EQ(Firings().size(), 4u);
}

TEST_F(ManualClockTest, TimersFireInDueOrderWhateverTheOrderTheyWereSetIn) {
    TimedDpc a, b, c;
    Init(a, 1);
    Init(b, 2);
    Init(c, 3);
    KeSetTimer(&c.timer, Relative(300), &c.dpc);
    KeSetTimer(&a.timer, Relative(100), &a.dpc);
    // An absolute due time counts against the system time.
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    LARGE_INTEGER absolute;
    absolute.QuadPart = now.QuadPart + 200;
    KeSetTimer(&b.timer, absolute, &b.dpc);

    kx::AdvanceTime(1000);
    auto firings = Firings();
    ASSERT_EQ(firings.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(firings[i].id, i + 1);
        EXPECT_EQ(firings[i].time, 100 * (i + 1));
    }
    EXPECT_EQ(kx::CurrentTime(), 1000);
}

TEST_F(ManualClockTest, ADueTimeAlreadyPastExpiresAtOnce) {
    TimedDpc t;
    Init(t);
    LARGE_INTEGER zero{};
    KeSetTimer(&t.timer, zero, &t.dpc); // absolute 0: long gone
    kx::DrainDispatchQueue();
    ASSERT_EQ(Firings().size(), 1u);
    EXPECT_EQ(Firings()[0].time, 0);
    EXPECT_TRUE(KeReadStateTimer(&t.timer));
}

// A DPC that sets its own timer again: the new due time is measured from the
// expiry that ran it, so a chain of re-arms inside one advance stays exact.
struct Rearming {
    KTIMER timer;
    KDPC dpc;
    std::atomic<int> remaining{3};
    std::vector<LONGLONG> times;
};

void NTAPI Rearm(PKDPC, PVOID Context, PVOID, PVOID) {
    auto* r = static_cast<Rearming*>(Context);
    r->times.push_back(kx::CurrentTime());
    if (--r->remaining > 0)
        KeSetTimer(&r->timer, Relative(70), &r->dpc);
}

TEST_F(ManualClockTest, ATimerSetAgainByItsDpcIsMeasuredFromItsExpiry) {
    Rearming r;
    KeInitializeTimer(&r.timer);
    KeInitializeDpc(&r.dpc, Rearm, &r);
    KeSetTimer(&r.timer, Relative(70), &r.dpc);
    kx::AdvanceTime(1000);
    EXPECT_EQ(r.times, (std::vector<LONGLONG>{70, 140, 210}));
}

TEST_F(ManualClockTest, WaitsOnTimersFollowTheirType) {
    KTIMER notification, synchronization;
    KeInitializeTimerEx(&notification, NotificationTimer);
    KeInitializeTimerEx(&synchronization, SynchronizationTimer);
    KeSetTimer(&notification, Relative(10), nullptr);
    KeSetTimer(&synchronization, Relative(10), nullptr);

    std::atomic<int> woken{0};
    std::thread waiter([&] {
        KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, nullptr);
        KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, nullptr);
        woken++;
    });
    EXPECT_EQ(woken, 0);
    kx::AdvanceTime(10);
    waiter.join();
    EXPECT_EQ(woken, 1);
    EXPECT_TRUE(KeReadStateTimer(&notification)) << "a notification timer stays signalled";
    EXPECT_FALSE(KeReadStateTimer(&synchronization)) << "the satisfied wait reset it";
}

TEST_F(ManualClockTest, AWaitTimesOutWhenTimePassesItsDeadlineAndNotBefore) {
    KEVENT never, later;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    KeInitializeEvent(&later, SynchronizationEvent, FALSE);
    std::atomic<bool> returned{false};
    NTSTATUS timedOut = STATUS_PENDING, signalled = STATUS_PENDING;
    std::thread waiter([&] {
        LARGE_INTEGER timeout = Relative(1000);
        timedOut = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
        returned = true;
        timeout = Relative(500);
        signalled = KeWaitForSingleObject(&later, Executive, KernelMode, FALSE, &timeout);
    });
    // The relative deadline counts from the start of the wait.
    kx::AwaitTimedWaits(1);
    kx::AdvanceTime(999);
    EXPECT_FALSE(returned);
    kx::AdvanceTime(1);
    kx::AwaitTimedWaits(1);
    EXPECT_TRUE(returned);
    kx::AdvanceTime(499);
    KeSetEvent(&later, IO_NO_INCREMENT, FALSE);
    waiter.join();
    EXPECT_EQ(timedOut, STATUS_TIMEOUT);
    EXPECT_EQ(signalled, STATUS_SUCCESS) << "signalled one tick before its deadline";
    EXPECT_EQ(KeReadStateEvent(&later), 0) << "the synchronization event was consumed";

    // A poll never waits, and an absolute deadline already past times out at once.
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    LARGE_INTEGER past;
    KeQuerySystemTime(&past);
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &past), STATUS_TIMEOUT);
}

TEST_F(ManualClockTest, ADelayEndsWhenItsIntervalHasPassed) {
    kx::AdvanceTime(40);
    // An absolute deadline is fixed whenever the delay begins.
    LARGE_INTEGER until;
    KeQuerySystemTime(&until);
    until.QuadPart += 500;
    std::atomic<bool> done{false};
    std::thread sleeper([&] {
        KeDelayExecutionThread(KernelMode, FALSE, &until);
        done = true;
    });
    kx::AdvanceTime(499);
    EXPECT_FALSE(done);
    kx::AdvanceTime(1);
    sleeper.join();
    EXPECT_TRUE(done);
    EXPECT_EQ(kx::CurrentTime(), 540);
}

// A driver whose device extension holds a timer and its DPC.
struct TimerExtension {
    KTIMER timer;
    KDPC dpc;
};

std::atomic<int> extensionDpcRuns{0};

void NTAPI CountRun(PKDPC, PVOID, PVOID, PVOID) {
    extensionDpcRuns++;
}

NTSTATUS NTAPI PlainEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    return STATUS_SUCCESS;
}

TEST_F(ManualClockTest, FreeingADeviceWithItsTimerStillSetIsCaughtAndTheTimerNeverFires) {
    PDRIVER_OBJECT driver = kx::LoadDriver(PlainEntry, u"Timers", nullptr);
    PDEVICE_OBJECT device;
    ASSERT_EQ(IoCreateDevice(driver, sizeof(TimerExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                             &device),
              STATUS_SUCCESS);
    auto* ext = static_cast<TimerExtension*>(device->DeviceExtension);
    KeInitializeTimer(&ext->timer);
    KeInitializeDpc(&ext->dpc, CountRun, nullptr);
    extensionDpcRuns = 0;
    KeSetTimer(&ext->timer, Relative(100), &ext->dpc);

    kx::VerifierCapture capture;
    IoDeleteDevice(device);
    EXPECT_EQ(capture.Count(kx::Rule::ObjectFreedWhileQueued), 1u);
    EXPECT_EQ(kx::TimerCount(), 0u);
    kx::AdvanceTime(1000);
    EXPECT_EQ(extensionDpcRuns, 0);
    kx::UnloadDriver(driver);
}

void NTAPI SignalEvent(PKDPC, PVOID Context, PVOID, PVOID) {
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
}

TEST(RealClockTest, TheTimerThreadFiresTimersAsTheyFallDue) {
    kx::KernelOptions options;
    options.manualClock = false;
    kx::Kernel kernel(options);
    KTIMER timer;
    KDPC dpc;
    KEVENT fired;
    KeInitializeTimer(&timer);
    KeInitializeEvent(&fired, NotificationEvent, FALSE);
    KeInitializeDpc(&dpc, SignalEvent, &fired);
    ULONGLONG start = KeQueryInterruptTime();
    KeSetTimer(&timer, Relative(20000), &dpc); // 2 ms
    EXPECT_EQ(KeWaitForSingleObject(&fired, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_GE(KeQueryInterruptTime() - start, 20000u);
    EXPECT_TRUE(KeReadStateTimer(&timer));
}

} // namespace
