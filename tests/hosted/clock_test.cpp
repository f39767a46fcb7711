// The kernel clock and timers under the manual clock: timers fire exactly at their
// due times and in due-time order, timed waits end when time passes their deadline,
// and a timer freed while set never fires.
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

// A timer with a DPC that records, for each expiry, the clock and its own id, and
// re-arms itself while rearms are left. DPCs run at DISPATCH_LEVEL on a DPC thread.
using Firings = std::vector<std::pair<LONGLONG, int>>;
std::mutex firingsMutex;
Firings firings;
std::thread::id testThread;

Firings Fired() {
    std::lock_guard<std::mutex> guard(firingsMutex);
    return firings;
}

struct TimedDpc {
    explicit TimedDpc(int id = 0, int rearms = 0) : id(id), rearms(rearms) {
        KeInitializeTimer(&timer);
        KeInitializeDpc(&dpc, Record, this);
    }
    static void NTAPI Record(PKDPC, PVOID Context, PVOID, PVOID) {
        auto* t = static_cast<TimedDpc*>(Context);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        EXPECT_NE(std::this_thread::get_id(), testThread);
        std::lock_guard<std::mutex> guard(firingsMutex);
        firings.emplace_back(kx::CurrentTime(), t->id);
        if (t->rearms-- > 0)
            KeSetTimer(&t->timer, Relative(70), &t->dpc);
    }
    KTIMER timer;
    KDPC dpc;
    int id;
    int rearms;
};

class ManualClockTest : public ::testing::Test {
  protected:
    void SetUp() override {
        firings.clear();
        testThread = std::this_thread::get_id();
    }
    kx::Kernel kernel_;
};

TEST_F(ManualClockTest, ATimerFiresExactlyAtItsLastDueTimeUnlessCancelled) {
    TimedDpc t;
    EXPECT_FALSE(KeSetTimer(&t.timer, Relative(100), &t.dpc));
    EXPECT_EQ(kx::TimerCount(), 1u);
    kx::AdvanceTime(99);
    EXPECT_TRUE(Fired().empty());
    EXPECT_FALSE(KeReadStateTimer(&t.timer));
    kx::AdvanceTime(1);
    EXPECT_EQ(Fired(), (Firings{{100, 0}}));
    EXPECT_TRUE(KeReadStateTimer(&t.timer));
    EXPECT_EQ(kx::TimerCount(), 0u);
    EXPECT_FALSE(KeCancelTimer(&t.timer)) << "a timer that fired is no longer set";

    // Setting again replaces the due time (and resets the signal state).
    KeSetTimer(&t.timer, Relative(100), &t.dpc);
    EXPECT_FALSE(KeReadStateTimer(&t.timer));
    kx::AdvanceTime(50);
    EXPECT_TRUE(KeSetTimer(&t.timer, Relative(100), &t.dpc)) << "it was still set";
    kx::AdvanceTime(50);
    EXPECT_EQ(Fired().size(), 1u) << "the first due time no longer counts";
    kx::AdvanceTime(50);
    EXPECT_EQ(Fired(), (Firings{{100, 0}, {250, 0}}));

    // Cancelling prevents the expiry and leaves the signal state alone.
    KeSetTimer(&t.timer, Relative(10), &t.dpc);
    EXPECT_TRUE(KeCancelTimer(&t.timer));
    EXPECT_FALSE(KeCancelTimer(&t.timer));
    kx::AdvanceTime(1000);
    EXPECT_EQ(Fired().size(), 2u);
    EXPECT_FALSE(KeReadStateTimer(&t.timer));
    EXPECT_EQ(kx::TimerCount(), 0u);
}

TEST_F(ManualClockTest, TimersFireInDueOrderAndARearmCountsFromItsExpiry) {
    TimedDpc a(1), b(2), c(3), rearming(4, 2);
    KeSetTimer(&c.timer, Relative(300), &c.dpc);
    KeSetTimer(&a.timer, Relative(100), &a.dpc);
    // An absolute due time counts against the system time.
    LARGE_INTEGER absolute;
    KeQuerySystemTime(&absolute);
    absolute.QuadPart += 200;
    KeSetTimer(&b.timer, absolute, &b.dpc);
    // Re-armed by its own DPC: 70, 140, 210, all inside the one advance.
    KeSetTimer(&rearming.timer, Relative(70), &rearming.dpc);
    kx::AdvanceTime(1000);
    EXPECT_EQ(Fired(), (Firings{{70, 4}, {100, 1}, {140, 4}, {200, 2}, {210, 4}, {300, 3}}));
    EXPECT_EQ(kx::CurrentTime(), 1000);
}

// A waiting thread is woken by the events it waits for, whichever of them is set,
// and goes on waiting until its whole condition holds; an event nobody waits for
// leaves it asleep. A wake-up that does not reach the waiter hangs the test.
TEST_F(ManualClockTest, AWaitEndsWhenItsOwnObjectsAreSetFromAnotherThread) {
    const struct {
        WAIT_TYPE type;
        std::vector<int> set; // in this order, the last one ending the wait
        NTSTATUS expected;
    } cases[] = {
        {WaitAny, {0}, STATUS_WAIT_0},
        {WaitAny, {1}, STATUS_WAIT_0 + 1},
        {WaitAll, {1, 0}, STATUS_WAIT_0},
    };
    for (const auto& c : cases) {
        KEVENT events[2], unrelated;
        for (KEVENT& event : events)
            KeInitializeEvent(&event, NotificationEvent, FALSE);
        KeInitializeEvent(&unrelated, NotificationEvent, FALSE);
        PVOID objects[2] = {&events[0], &events[1]};
        std::atomic<bool> returned{false};
        NTSTATUS status = STATUS_PENDING;
        std::thread waiter([&] {
            // Time stands still: only a set event can end this wait.
            LARGE_INTEGER timeout = Relative(1000);
            status = KeWaitForMultipleObjects(2, objects, c.type, Executive, KernelMode, FALSE,
                                              &timeout, nullptr);
            returned = true;
        });
        kx::AwaitTimedWaits(1);
        KeSetEvent(&unrelated, IO_NO_INCREMENT, FALSE);
        for (size_t i = 0; i + 1 < c.set.size(); ++i)
            KeSetEvent(&events[c.set[i]], IO_NO_INCREMENT, FALSE);
        kx::AwaitTimedWaits(1);
        EXPECT_FALSE(returned) << "type " << c.type;
        KeSetEvent(&events[c.set.back()], IO_NO_INCREMENT, FALSE);
        waiter.join();
        EXPECT_EQ(status, c.expected) << "type " << c.type;
    }
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

NTSTATUS NTAPI PlainEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    return STATUS_SUCCESS;
}

TEST_F(ManualClockTest, FreeingADeviceWithItsTimerStillSetIsCaughtAndTheTimerNeverFires) {
    PDRIVER_OBJECT driver = kx::LoadDriver(PlainEntry, u"Timers", nullptr);
    PDEVICE_OBJECT device;
    ASSERT_EQ(
        IoCreateDevice(driver, sizeof(TimedDpc), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
        STATUS_SUCCESS);
    auto* t = new (device->DeviceExtension) TimedDpc;
    KeSetTimer(&t->timer, Relative(100), &t->dpc);

    kx::VerifierCapture capture;
    IoDeleteDevice(device);
    EXPECT_EQ(capture.Count(kx::Rule::ObjectFreedWhileQueued), 1u);
    EXPECT_EQ(kx::TimerCount(), 0u);
    kx::AdvanceTime(1000);
    EXPECT_TRUE(Fired().empty());
    kx::UnloadDriver(driver);
}

} // namespace
