// The controlled scheduler: one thread at a time, chosen from the seed, so that a
// run is a function of its seed and replays from it or from its trace; time moves
// only when no thread can run, to the next due time; a wait nothing can end is a
// hang reported with what each thread waits for.
#include <kx/host.h>
#include <kx/schedule.h>

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace {

constexpr LONGLONG Ms = 10000; // 100 ns units

kx::KernelOptions Controlled(uint64_t seed, kx::Strategy strategy = kx::Strategy::RandomWalk) {
    kx::KernelOptions options;
    options.schedule.controlled = true;
    options.schedule.strategy = strategy;
    options.schedule.seed = seed;
    options.schedule.steps = 40;
    return options;
}

// Two threads each add one to a counter by a read and a separate write (both
// scheduling points): an update is lost exactly when the other thread runs in
// between. Returns the final count and the order in which the writes happened.
struct RaceOutcome {
    LONG count;
    std::vector<int> writers;
    bool operator==(const RaceOutcome& other) const {
        return count == other.count && writers == other.writers;
    }
};

RaceOutcome RunRace(const kx::KernelOptions& options) {
    RaceOutcome outcome{};
    kx::Kernel kernel(options);
    volatile LONG counter = 0;
    KSPIN_LOCK logLock;
    KeInitializeSpinLock(&logLock);
    auto body = [&](int id) {
        return [&, id] {
            LONG seen = InterlockedCompareExchange(&counter, 0, 0);
            InterlockedExchange(&counter, seen + 1);
            KIRQL irql;
            KeAcquireSpinLock(&logLock, &irql);
            outcome.writers.push_back(id);
            KeReleaseSpinLock(&logLock, irql);
        };
    };
    kx::ControlledThread a("a", body(1));
    kx::ControlledThread b("b", body(2));
    a.Join();
    b.Join();
    outcome.count = counter;
    return outcome;
}

TEST(ScheduleTest, ARunIsAFunctionOfItsSeedAndItsTraceReplaysIt) {
    std::set<LONG> counts;
    std::optional<uint64_t> losing;
    for (uint64_t seed = 1; seed <= 40; ++seed) {
        for (kx::Strategy strategy : {kx::Strategy::RandomWalk, kx::Strategy::Pct}) {
            RaceOutcome first = RunRace(Controlled(seed, strategy));
            kx::ScheduleResult schedule = kx::LastSchedule();
            EXPECT_EQ(RunRace(Controlled(seed, strategy)), first) << "seed " << seed;
            EXPECT_EQ(kx::LastSchedule().trace.size(), schedule.trace.size());
            // The trace's switches, given as a guide, give the same run.
            kx::KernelOptions guided = Controlled(seed, strategy);
            auto guide = std::make_shared<kx::ScheduleGuide>();
            for (const kx::ScheduleSwitch& sw : schedule.trace)
                guide->emplace_back(sw.step, sw.to);
            guided.schedule.guide = guide;
            EXPECT_EQ(RunRace(guided), first) << "seed " << seed;
            counts.insert(first.count);
            if (first.count == 1 && !losing)
                losing = seed;
        }
    }
    // Both outcomes of the race occur: the lost update and the two increments.
    EXPECT_EQ(counts, (std::set<LONG>{1, 2}));
    ASSERT_TRUE(losing.has_value());
    // A guide without preemptions runs each thread to its end: nothing is lost.
    kx::KernelOptions serial = Controlled(*losing);
    serial.schedule.guide = std::make_shared<kx::ScheduleGuide>();
    EXPECT_EQ(RunRace(serial).count, 2);
}

void NTAPI RecordTime(PKDPC, PVOID context, PVOID, PVOID) {
    *static_cast<LONGLONG*>(context) = kx::CurrentTime();
}

TEST(ScheduleTest, TimeMovesOnlyWhenNoThreadCanRunAndThenToTheNextDueTime) {
    kx::Kernel kernel(Controlled(7));
    LONGLONG timerFired = -1, delayEnded = -1, waitEnded = -1;
    NTSTATUS waitStatus = STATUS_SUCCESS;
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, RecordTime, &timerFired);
    LARGE_INTEGER due{};
    due.QuadPart = -30 * Ms;
    KeSetTimer(&timer, due, &dpc);
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    kx::ControlledThread delayer("delayer", [&] {
        LARGE_INTEGER interval{};
        interval.QuadPart = -50 * Ms;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        delayEnded = kx::CurrentTime();
    });
    kx::ControlledThread waiter("waiter", [&] {
        LARGE_INTEGER timeout{};
        timeout.QuadPart = -80 * Ms;
        waitStatus = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
        waitEnded = kx::CurrentTime();
    });
    // However long this thread keeps running, the clock stands still.
    for (int i = 0; i < 500; ++i)
        KeReadStateEvent(&never);
    EXPECT_EQ(kx::CurrentTime(), 0);
    waiter.Join();
    delayer.Join();
    EXPECT_EQ(timerFired, 30 * Ms);
    EXPECT_EQ(delayEnded, 50 * Ms);
    EXPECT_EQ(waitEnded, 80 * Ms);
    EXPECT_EQ(waitStatus, STATUS_TIMEOUT);
}

TEST(ScheduleDeathTest, AWaitNothingCanEndIsAHangReportedWithWhatEachThreadWaitsFor) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            kx::KernelOptions options = Controlled(3);
            options.schedule.label = "the hang test";
            kx::Kernel kernel(options);
            KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
        },
        ::testing::ExitedWithCode(86),
        "hang: no thread can run and no timer is due.*in the hang test"
        "(.|\n)*thread 0 \\(main\\): waits for KeWaitForSingleObject on 0x"
        "(.|\n)*thread 1 \\(processor 0\\): waits for DPCs to run");
}

} // namespace
