// Read requests: served from the ring at once when it holds anything, otherwise
// queued until a packet, the total time-out (multiplier x length + constant, on the
// manual clock) or cancellation ends them; the interval period; timer runs that
// end their own read and no other; and a second read that must leave the waiting
// one alone.
#include <driver/data/reader.h>
#include <tests/support/open_port.h>

#include <optional>
#include <thread>

namespace {

using korvax_test::HeldRequest;
using korvax_test::Ms;
using korvax_test::OpenPortTest;

class ReadTest : public OpenPortTest {
  protected:
    std::unique_ptr<HeldRequest> SendRead(ULONG length) {
        auto read = HeldRequest::Read(fdo_, length);
        read->Send();
        return read;
    }

    // A read that finds the ring empty and must wait.
    std::unique_ptr<HeldRequest> QueuedRead(ULONG length) {
        auto read = SendRead(length);
        EXPECT_EQ(read->Returned(), STATUS_PENDING);
        EXPECT_FALSE(read->Completed());
        return read;
    }

    // Time-out tests cover years; the clock stands still otherwise.
    static constexpr LONGLONG TenYears = 10LL * 365 * 24 * 3600 * 10000000;
};

std::vector<uint8_t> Bytes(size_t length, uint8_t first) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; i++)
        bytes[i] = uint8_t(first + i);
    return bytes;
}

// Each row: the time-outs, what the ring holds, the read's length, and the packet
// that arrives while it waits (none: the read must end at once). The read takes
// what the ring and the packet bring, leaves the rest in the ring, and succeeds
// only when it is filled.
TEST_F(ReadTest, AReadEndsWithWhatTheRingAndOnePacketBring) {
    const struct {
        const char* name;
        ULONG interval, length;
        size_t stored;
        std::optional<size_t> packet;
        NTSTATUS status;
        size_t taken, left;
    } table[] = {
        {"data in the ring ends a short read at once", 0, 100, 10, {}, STATUS_SUCCESS, 10, 0},
        {"immediate return ends it with nothing", MAXULONG, 100, 0, {}, STATUS_SUCCESS, 0, 0},
        {"without time-outs it waits for the packet", 0, 100, 0, 5, STATUS_TIMEOUT, 5, 0},
        {"a packet that fills it leaves the rest", 0, 4, 0, 6, STATUS_SUCCESS, 4, 2},
        {"a zero-length packet ends it with nothing", 0, 16, 0, 0, STATUS_TIMEOUT, 0, 0},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        SetTimeouts(row.interval, 0, 0);
        Store(Bytes(row.stored, 0x40));
        const ULONG received = context_->PerfStats.ReceivedCount;
        auto read = SendRead(row.length);
        if (row.packet) {
            EXPECT_EQ(read->Returned(), STATUS_PENDING);
            EXPECT_EQ(kx::TimerCount(), 0u);
            EXPECT_EQ(RemoveLockHolds(), 1);
            kx::AdvanceTime(TenYears);
            EXPECT_FALSE(read->Completed());
            Receive(Bytes(*row.packet, 0x40));
        }
        ASSERT_TRUE(read->Completed());
        EXPECT_EQ(read->Status(), row.status);
        EXPECT_EQ(read->Information(), row.taken);
        EXPECT_EQ(read->Data(), Bytes(row.taken, 0x40));
        EXPECT_EQ(context_->PerfStats.ReceivedCount - received, row.taken);
        EXPECT_EQ(RingGetCount(context_), row.left);
        if (row.taken == row.length) {
            EXPECT_EQ(context_->ReadLengthRemaining, 0u);
        }
        EXPECT_TRUE(IsListEmpty(&context_->ReadIrpQueue));
        EXPECT_EQ(kx::TimerCount(), 0u);
        EXPECT_EQ(RemoveLockHolds(), 0);
        RingPurge(context_);
    }
}

// Each row: the time-outs, the read's length and the total timer's due time in
// 100 ns units (-1: no timer, the read waits for data). The read must still wait
// one tick before its due time and end with STATUS_TIMEOUT at it.
TEST_F(ReadTest, TotalTimeoutFollowsTheTimeoutTable) {
    const struct {
        ULONG interval, multiplier, constant, length;
        LONGLONG due;
    } table[] = {
        {0, 10, 100, 50, 6000000},
        {MAXULONG, MAXULONG, 200, 50, Ms(200)},
        {MAXULONG, 5, 0, 10, Ms(50)},
        {MAXULONG, 0, 300, 8, Ms(300)},
        {MAXULONG, 7, 300, 8, Ms(356)},
        {MAXULONG, 0, MAXULONG, 8, -1},
        {MAXULONG, 9, MAXULONG, 8, -1},
        {MAXULONG, MAXULONG, MAXULONG, 8, -1},
        {0, 0, 0, 8, -1},
        {25, 0, 0, 8, -1},
        {25, 3, 0, 8, Ms(24)},
        {0, 0, 70, 8, Ms(70)},
        // Any interval but MAXULONG: MAXULONG is a plain number of milliseconds.
        {25, MAXULONG, 1, 1, Ms(0x100000000LL)},
        {0, 0, MAXULONG, 3, Ms(0xFFFFFFFFLL)},
        {1, MAXULONG, MAXULONG, 2, Ms(3 * 0xFFFFFFFFLL)},
        // 429,496 x MAXULONG + 3,134,038,636 ms passes 2^64 in 100 ns units by about a
        // second: too long for a due time, so no timer rather than one that ends in 1 s.
        {0, MAXULONG, 3134038636u, 429496, -1},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(testing::Message() << row.interval << " " << row.multiplier << " "
                                        << row.constant << " length " << row.length);
        SetTimeouts(row.interval, row.multiplier, row.constant);
        auto read = QueuedRead(row.length);
        if (row.due < 0) {
            EXPECT_EQ(kx::TimerCount(), 0u);
            kx::AdvanceTime(TenYears);
            EXPECT_FALSE(read->Completed());
            EXPECT_TRUE(read->Cancel());
            EXPECT_EQ(read->Status(), STATUS_CANCELLED);
        } else {
            EXPECT_EQ(kx::TimerCount(), 1u);
            kx::AdvanceTime(row.due - 1);
            EXPECT_FALSE(read->Completed());
            kx::AdvanceTime(1);
            ASSERT_TRUE(read->Completed());
            EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
            EXPECT_EQ(read->Information(), 0u);
        }
        EXPECT_EQ(RemoveLockHolds(), 0);
    }
}

// A reader's transfer fails while a read waits. In the sleep the failure means
// nothing: the read ends by its own time-out (ReadTotalTimeoutConstant 100 ms), or
// waits on when it has none. Awake, the device is lost: the read ends at once with
// the status every later request gets (STATUS_DELETE_PENDING), timed or not, and
// its timers give back their holds. Either reader's failure does the same.
TEST_F(ReadTest, AReaderFailureEndsTheWaitingReadByItsTimeOutOrAtOnce) {
    const struct {
        bool asleep, timed, bulkIn;
        LONGLONG endsAfter; // -1: still waiting ten years on
        NTSTATUS status;
    } table[] = {
        {true, true, true, Ms(100), STATUS_TIMEOUT},
        {true, true, false, Ms(100), STATUS_TIMEOUT},
        {true, false, true, -1, STATUS_CANCELLED},
        {false, true, true, 0, STATUS_DELETE_PENDING},
        {false, false, false, 0, STATUS_DELETE_PENDING},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(testing::Message() << "asleep " << row.asleep << " timed " << row.timed
                                        << " bulk-in " << row.bulkIn);
        PutInOpenState();
        context_->DeviceLostMark = 0;
        context_->SystemSuspended = row.asleep ? 1 : 0;
        SetTimeouts(0, 0, row.timed ? 100 : 0);
        auto read = QueuedRead(8);
        PUCHAR active =
            row.bulkIn ? &context_->BulkInReaderActive : &context_->InterruptReaderActive;
        kx::QueueAtDispatch([&] { HandleReaderFailure(context_, active); });
        kx::DrainDispatchQueue();
        if (row.endsAfter < 0) {
            kx::AdvanceTime(TenYears);
            EXPECT_FALSE(read->Completed());
            EXPECT_TRUE(read->Cancel());
        } else if (row.endsAfter > 0) {
            kx::AdvanceTime(row.endsAfter - 1);
            EXPECT_FALSE(read->Completed());
            kx::AdvanceTime(1);
        }
        ASSERT_TRUE(read->Completed()) << "the read never ends";
        EXPECT_EQ(read->Status(), row.status);
        EXPECT_EQ(read->Information(), 0u);
        EXPECT_EQ(context_->DeviceLostMark != 0, !row.asleep);
        EXPECT_EQ(RemoveLockHolds(), 0);
    }
    context_->DeviceLostMark = 0;
}

TEST_F(ReadTest, MultiplierOfMaxWithoutConstantTimesOutAtOnce) {
    SetTimeouts(MAXULONG, MAXULONG, 0);
    auto read = SendRead(10);
    EXPECT_EQ(read->Returned(), STATUS_PENDING);
    kx::DrainDispatchQueue();
    ASSERT_TRUE(read->Completed()) << "due time 0 expires without the clock moving";
    EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
    EXPECT_EQ(read->Information(), 0u);
}

// The interval period the receive engine re-arms with: 100 ns below 20 s, 1 s from
// 20 s on; ReadIntervalTimeout x 10,000 without 32-bit truncation.
TEST_F(ReadTest, IntervalTimeoutChoosesThePeriodAtTheTwentySecondCutOver) {
    const struct {
        ULONG interval;
        UCHAR active;
        LONGLONG time;
        bool longAmount;
    } table[] = {
        {5, 1, 50000, false},
        {19999, 1, 199990000, false},
        {20000, 1, 200000000, true},
        {0x80000000, 1, 0x80000000LL * 10000, true},
        {0xFFFFFFFE, 1, 0xFFFFFFFELL * 10000, true},
        {0, 0, 0, false},
        {MAXULONG, 0, 0, false},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.interval);
        context_->IntervalTime.QuadPart = 0;
        context_->IntervalTimeToUse = nullptr;
        context_->ReadIntervalActive = 1;
        SetTimeouts(row.interval, 0, 0);
        Store(Bytes(1, 0));
        ASSERT_EQ(ReadNow(1).Information, 1u);
        EXPECT_EQ(context_->ReadIntervalActive, row.active);
        if (row.active) {
            EXPECT_EQ(context_->IntervalTime.QuadPart, row.time);
            EXPECT_EQ(context_->IntervalTimeToUse, row.longAmount ? &context_->LongIntervalAmount
                                                                  : &context_->ShortIntervalAmount);
        }
    }
}

class IntervalTimerTest : public ReadTest {
  protected:
    // What the receive engine does when a read has set ReadIntervalActive.
    void ArmIntervalTimer() {
        KIRQL oldIrql;
        KeAcquireSpinLock(&context_->Lock, &oldIrql);
        ArmReadTimer(context_, &context_->ReadIntervalTimer, *context_->IntervalTimeToUse);
        KeReleaseSpinLock(&context_->Lock, oldIrql);
    }
};

// The short period serves the waiting read after one tick, the long one after a
// second, with what the ring holds by then.
TEST_F(IntervalTimerTest, ThePeriodServesTheWaitingRead) {
    for (const auto& [interval, period] : {std::pair<ULONG, LONGLONG>{5, 1}, {20000, Ms(1000)}}) {
        SCOPED_TRACE(interval);
        SetTimeouts(interval, 0, 0);
        auto read = QueuedRead(10);
        ArmIntervalTimer();
        kx::AdvanceTime(period - 1);
        EXPECT_FALSE(read->Completed());
        Store(Bytes(3, 1));
        kx::AdvanceTime(1);
        ASSERT_TRUE(read->Completed());
        EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
        EXPECT_EQ(read->Information(), 3u);
    }
}

// Holds the runs of one read timer's DPC once they have started, before the
// driver's routine runs: a run under way on another processor. Time is moved on a
// thread of its own, since moving it waits for the DPCs it queued.
class DpcGate {
  public:
    explicit DpcGate(PKDPC dpc) : dpc_(dpc), routine_(dpc->DeferredRoutine) {
        current_ = this;
        dpc->DeferredRoutine = Gated;
    }
    ~DpcGate() {
        Open();
        kx::DrainDispatchQueue();
        dpc_->DeferredRoutine = routine_;
    }
    void WaitStarted() {
        while (!started_)
            std::this_thread::yield();
    }
    void Open() { open_ = true; }

  private:
    static void NTAPI Gated(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2) {
        current_->started_ = true;
        while (!current_->open_)
            std::this_thread::yield();
        current_->routine_(dpc, context, arg1, arg2);
    }

    static inline DpcGate* current_ = nullptr;
    PKDPC dpc_;
    PKDEFERRED_ROUTINE routine_;
    std::atomic<bool> started_{false}, open_{false};
};

// The first read's time-out expires and its run starts; before the run gets to the
// queue, data ends that read and the next one waits with a timer of its own. The
// run must leave the next read alone: it ends at its own time-out, not at once.
TEST_F(ReadTest, ARunOfAnEarlierReadsExpiryDoesNotEndTheNextRead) {
    SetTimeouts(MAXULONG, MAXULONG, 100);
    DpcGate gate(&context_->ReadTotalDpc);
    auto first = QueuedRead(10);
    std::thread clock([] { kx::AdvanceTime(Ms(100)); });
    gate.WaitStarted();

    kx::RunAtIrql(DISPATCH_LEVEL, [&] { // the receive engine's steps for one byte
        uint8_t byte = 0x33;
        ULONG written;
        RingWrite(context_, &byte, 1, &written);
        CancelReadTimers();
        CompleteQueuedReads(context_);
    });
    ASSERT_TRUE(first->Completed());
    EXPECT_EQ(first->Information(), 1u);
    auto next = QueuedRead(10);
    gate.Open();
    clock.join();
    kx::DrainDispatchQueue();
    EXPECT_FALSE(next->Completed()) << "ended by the first read's time-out";

    kx::AdvanceTime(Ms(100) - 1);
    EXPECT_FALSE(next->Completed());
    kx::AdvanceTime(1);
    ASSERT_TRUE(next->Completed());
    EXPECT_EQ(next->Status(), STATUS_TIMEOUT);
    EXPECT_EQ(RemoveLockHolds(), 0);
}

// Both timers of the read expire together; the interval timer's run is held. The
// total time-out still ends the read: an expiry is never dropped for the other.
TEST_F(IntervalTimerTest, TotalTimeoutEndsTheReadWhileTheIntervalRunIsUnderWay) {
    SetTimeouts(20000, 0, 1000); // the interval period is then 1 s, as the total
    auto read = QueuedRead(10);
    DpcGate gate(&context_->ReadIntervalDpc);
    ArmIntervalTimer();
    std::thread clock([] { kx::AdvanceTime(Ms(1000)); });
    gate.WaitStarted();
    EXPECT_TRUE(read->WaitCompleted()) << "the total time-out's run did not end the read";
    EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
    gate.Open();
    clock.join();
    kx::DrainDispatchQueue();
    EXPECT_EQ(RemoveLockHolds(), 0);
}

// A read that arrives while another waits takes nothing from it: not its timer,
// not its count. With zero length it succeeds; with the ring empty it is refused;
// with data in the ring it takes it. The first is then filled by the next packet
// and succeeds by its own length.
TEST_F(ReadTest, ASecondReadLeavesTheWaitingOneItsTimerAndItsLength) {
    SetTimeouts(0, 0, 1000);
    auto first = QueuedRead(4);
    IO_STATUS_BLOCK empty = ReadNow(0);
    EXPECT_EQ(empty.Status, STATUS_SUCCESS);
    EXPECT_EQ(empty.Information, 0u);
    auto second = SendRead(100);
    EXPECT_EQ(second->Returned(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(second->Status(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(second->Information(), 0u);
    EXPECT_EQ(kx::TimerCount(), 1u);
    EXPECT_EQ(context_->ReadLengthRemaining, 4u);
    EXPECT_EQ(RemoveLockHolds(), 2) << "the first read and its armed timer";

    Store(Bytes(3, 0x10));
    auto third = SendRead(100);
    EXPECT_EQ(third->Returned(), STATUS_SUCCESS);
    EXPECT_EQ(third->Data(), Bytes(3, 0x10));
    EXPECT_EQ(kx::TimerCount(), 1u);
    EXPECT_EQ(context_->ReadLengthRemaining, 4u);
    EXPECT_FALSE(first->Completed());

    Receive(Bytes(4, 0x20));
    ASSERT_TRUE(first->Completed());
    EXPECT_EQ(first->Status(), STATUS_SUCCESS);
    EXPECT_EQ(first->Data(), Bytes(4, 0x20));
    EXPECT_EQ(context_->PerfStats.ReceivedCount, 7u);
    EXPECT_EQ(kx::TimerCount(), 0u) << "the data stopped the first read's timer";
    EXPECT_EQ(RemoveLockHolds(), 0);
}

// A cancelled read leaves its total timer behind; the next read must not be ended
// by it.
TEST_F(ReadTest, TimerOfACancelledReadDoesNotEndTheNextRead) {
    SetTimeouts(0, 0, 100);
    auto first = QueuedRead(4);
    EXPECT_TRUE(first->Cancel());
    EXPECT_EQ(first->Status(), STATUS_CANCELLED);
    EXPECT_EQ(first->Information(), 0u);
    EXPECT_EQ(RemoveLockHolds(), 1) << "the timer holds until it is cancelled or has run";

    SetTimeouts(0, 0, 1000);
    auto next = QueuedRead(4);
    kx::AdvanceTime(Ms(100));
    EXPECT_FALSE(next->Completed());
    EXPECT_EQ(first->Completions(), 1);
    EXPECT_EQ(RemoveLockHolds(), 2)
        << "the next read and its timer; the old run gave its hold back";
    kx::AdvanceTime(Ms(900));
    ASSERT_TRUE(next->Completed());
    EXPECT_EQ(next->Status(), STATUS_TIMEOUT);
}

// Queues a read the way DispatchRead does once it has found the ring empty, without
// looking at the ring first: what a read sees when a packet lands, and has its turn
// at the (still empty) queue, between its look at the ring and its queueing.
NTSTATUS NTAPI QueueAfterEmptyLook(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    Irp->IoStatus.Information = 0;
    NTSTATUS status = AcceptRequest(context, Irp);
    if (!NT_SUCCESS(status))
        return status;
    return QueueRead(context, Irp, nullptr);
}

TEST_F(ReadTest, PacketThatLandedBeforeTheReadWasQueuedIsDeliveredToIt) {
    driver_->MajorFunction[IRP_MJ_READ] = QueueAfterEmptyLook;
    Receive(Bytes(3, 0x61)); // no read waits yet: the bytes stay in the ring
    auto read = HeldRequest::Read(fdo_, 8);
    read->Send();
    ASSERT_TRUE(read->Completed()) << "the read waited for a further packet";
    EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
    EXPECT_EQ(read->Data(), Bytes(3, 0x61));
    EXPECT_EQ(RemoveLockHolds(), 0);
}

} // namespace
