// The simulated processors against a Windows multiprocessor: a DPC taken off the
// queue to run may be queued again and run on another processor at the same time,
// and KeRemoveQueueDpc may return TRUE with the routine still to run, as on
// Windows 2000 and XP, at a chosen call or at random.
#include <kx/host.h>
#include <tests/support/processor_gate.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

using korvax_test::ProcessorGate;

void NTAPI CountRun(PKDPC, PVOID context, PVOID, PVOID) {
    ++*static_cast<std::atomic<int>*>(context);
}

// "KeRemoveQueueDpc routine" (WDK): before Windows Vista SP1 the routine may run
// although the call returned TRUE. Each row removes a queued DPC once; the DPC
// counts as not queued afterwards either way (a second insertion is accepted).
TEST(DpcTest, ARemovedDpcRunsOnlyWhenTheRemovalIsOneThatWindowsXpLetsRun) {
    const struct {
        const char* name;
        bool hook;
        unsigned percent;
        int runs;
    } table[] = {
        {"an exact removal", false, 0, 0},
        {"the chosen removal", true, 0, 1},
        {"every removal at random", false, 100, 1},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        kx::KernelOptions options;
        options.removedDpcRunsPercent = row.percent;
        kx::Kernel kernel(options);
        std::atomic<int> runs{0};
        KDPC dpc;
        KeInitializeDpc(&dpc, CountRun, &runs);
        {
            ProcessorGate held;
            ASSERT_TRUE(held.closed);
            EXPECT_EQ(KeRemoveQueueDpc(&dpc), FALSE) << "not queued";
            EXPECT_EQ(KeInsertQueueDpc(&dpc, nullptr, nullptr), TRUE);
            if (row.hook)
                kx::RunNextRemovedDpc(&dpc);
            EXPECT_EQ(KeRemoveQueueDpc(&dpc), TRUE);
            EXPECT_EQ(KeRemoveQueueDpc(&dpc), FALSE) << "no longer queued";
            EXPECT_EQ(KeInsertQueueDpc(&dpc, nullptr, nullptr), TRUE) << "queued anew";
        }
        EXPECT_EQ(runs, row.runs + 1) << "the second insertion runs as well";
    }
}

// A DPC whose first run queues it again and waits: the second run starts on the
// other processor while the first is still under way.
struct Overlap {
    std::mutex mutex;
    std::condition_variable changed;
    int started = 0;
    bool overlapped = false;
};

void NTAPI RunTwiceAtOnce(PKDPC dpc, PVOID context, PVOID, PVOID) {
    auto* overlap = static_cast<Overlap*>(context);
    std::unique_lock<std::mutex> lock(overlap->mutex);
    if (++overlap->started == 1) {
        lock.unlock();
        EXPECT_EQ(KeInsertQueueDpc(dpc, nullptr, nullptr), TRUE) << "taken off the queue";
        lock.lock();
        // Bounded only so that a processor model that serialises the runs fails
        // instead of hanging.
        overlap->overlapped = overlap->changed.wait_for(lock, std::chrono::seconds(10),
                                                        [&] { return overlap->started == 2; });
    } else {
        overlap->changed.notify_all();
    }
}

TEST(DpcTest, ADpcQueuedAgainWhileItRunsRunsOnAnotherProcessorAtTheSameTime) {
    kx::Kernel kernel;
    Overlap overlap;
    KDPC dpc;
    KeInitializeDpc(&dpc, RunTwiceAtOnce, &overlap);
    EXPECT_EQ(KeInsertQueueDpc(&dpc, nullptr, nullptr), TRUE);
    kx::DrainDispatchQueue();
    EXPECT_EQ(overlap.started, 2);
    EXPECT_TRUE(overlap.overlapped);
}

} // namespace
