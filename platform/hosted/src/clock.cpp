// The kernel clock. Two clocks behind one interface: the manual clock stands still
// until a test advances it and then fires due timers one due time after another,
// so time-out tests are exact and never sleep; the real clock follows the host's
// steady clock and a timer thread fires timers as they fall due, as the clock
// interrupt does on the platform.
#include "internal.h"

#include <atomic>
#include <chrono>
#include <limits>
#include <set>
#include <thread>

namespace kx {

namespace {

using detail::Clock;

constexpr LONGLONG Forever = std::numeric_limits<LONGLONG>::max();

// 100 ns units from 1601-01-01 to 2005-01-01, 00:00 UTC: the manual clock's
// system time at boot, so that tests see the same dates on every run.
constexpr LONGLONG ManualSystemTimeAtBoot = 127490112000000000LL;
// 100 ns units from 1601-01-01 to 1970-01-01.
constexpr LONGLONG UnixEpochAsSystemTime = 116444736000000000LL;

using HundredNs = std::chrono::duration<LONGLONG, std::ratio<1, 10000000>>;

class ManualClock final : public Clock {
  public:
    LONGLONG Now() const override { return now_.load(); }
    LONGLONG SystemTimeAtBoot() const override { return ManualSystemTimeAtBoot; }

    bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& wake,
                   LONGLONG deadline, const std::function<bool()>& ready) override {
        // Registered so that AdvanceTime can wait until this wait has seen the
        // deadline pass.
        auto entry = waiters_.insert(deadline);
        detail::DispatcherCondition().notify_all();
        detail::sched::Block(lock, wake, ready, deadline, "a timed wait",
                             [&](std::unique_lock<std::mutex>& held) {
                                 wake.wait(held, [&] { return ready() || Now() >= deadline; });
                                 return ready();
                             });
        waiters_.erase(entry);
        detail::DispatcherCondition().notify_all();
        return ready();
    }

    void TimersChanged() override {}

    // Under the dispatcher lock.
    void SetLocked(LONGLONG now) {
        if (now > now_.load())
            now_.store(now);
        detail::WakeAllWaitersLocked();
    }
    bool ExpiredWaitersLocked() const { return !waiters_.empty() && *waiters_.begin() <= Now(); }
    size_t WaitersLocked() const { return waiters_.size(); }

  private:
    std::atomic<LONGLONG> now_{0};
    std::multiset<LONGLONG> waiters_;
};

class RealClock final : public Clock {
  public:
    RealClock()
        : boot_(std::chrono::steady_clock::now()),
          systemAtBoot_(UnixEpochAsSystemTime +
                        std::chrono::duration_cast<HundredNs>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count()) {}

    LONGLONG Now() const override {
        return std::chrono::duration_cast<HundredNs>(std::chrono::steady_clock::now() - boot_)
            .count();
    }
    LONGLONG SystemTimeAtBoot() const override { return systemAtBoot_; }

    bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& wake,
                   LONGLONG deadline, const std::function<bool()>& ready) override {
        if (deadline == Forever) {
            wake.wait(lock, ready);
            return true;
        }
        return wake.wait_until(lock, At(deadline), ready);
    }

    // The timer thread sleeps until the earliest due time it saw: it needs waking
    // only for a timer that falls due before that. A timer cancelled meanwhile costs
    // it one early look at the queue.
    void TimersChanged() override {
        LONGLONG due;
        if (detail::EarliestTimerDueLocked(&due) && due < sleepsUntil_)
            wake_.notify_one();
    }

    void Start() {
        thread_ = std::thread([this] { Run(); });
    }

    void Stop() {
        {
            std::lock_guard<std::mutex> guard(detail::DispatcherMutex());
            stopping_ = true;
            wake_.notify_one();
        }
        if (thread_.joinable())
            thread_.join();
    }

  private:
    std::chrono::steady_clock::time_point At(LONGLONG interruptTime) const {
        // A century is forever here, and keeps the sum inside the steady clock's range.
        constexpr LONGLONG Century = 100LL * 365 * 24 * 3600 * 10000000;
        return boot_ + HundredNs(interruptTime < Century ? interruptTime : Century);
    }

    // The clock interrupt: fires what is due, then sleeps until the next due time
    // or until a timer is set.
    void Run() {
        std::unique_lock<std::mutex> lock(detail::DispatcherMutex());
        while (!stopping_) {
            detail::FireDueTimersLocked(Now());
            LONGLONG next;
            if (detail::EarliestTimerDueLocked(&next)) {
                sleepsUntil_ = next;
                wake_.wait_until(lock, At(next));
            } else {
                sleepsUntil_ = Forever;
                wake_.wait(lock);
            }
        }
    }

    std::chrono::steady_clock::time_point boot_;
    LONGLONG systemAtBoot_;
    std::condition_variable wake_;
    // Under the dispatcher lock: the due time the timer thread sleeps until.
    LONGLONG sleepsUntil_ = Forever;
    bool stopping_ = false;
    std::thread thread_;
};

ManualClock* manualClock = nullptr;
RealClock* realClock = nullptr;

// Before the first boot and between boots, waits still need a clock.
ManualClock& IdleClock() {
    static ManualClock idle;
    return idle;
}

std::atomic<Clock*>& Active() {
    static std::atomic<Clock*> active{&IdleClock()};
    return active;
}

LONGLONG SaturatingAdd(LONGLONG a, LONGLONG b) {
    return a > Forever - b ? Forever : a + b;
}

void RequireManualClock(const char* routine) {
    if (manualClock == nullptr) {
        std::fprintf(stderr, "hosted kernel: %s needs a kernel booted with the manual clock\n",
                     routine);
        std::abort();
    }
}

} // namespace

void AdvanceTime(LONGLONG hundredNs) {
    detail::RequireIrqlAtMost(PASSIVE_LEVEL, "AdvanceTime");
    RequireManualClock("AdvanceTime");
    const LONGLONG target = SaturatingAdd(manualClock->Now(), hundredNs < 0 ? 0 : hundredNs);
    for (;;) {
        bool more;
        {
            std::unique_lock<std::mutex> lock(detail::DispatcherMutex());
            LONGLONG due;
            more = detail::EarliestTimerDueLocked(&due) && due <= target;
            manualClock->SetLocked(more ? due : target);
            if (more)
                detail::FireDueTimersLocked(manualClock->Now());
            detail::sched::Block(
                lock, detail::DispatcherCondition(),
                [] { return !manualClock->ExpiredWaitersLocked(); }, Forever,
                "the timed waits that expired", nullptr);
        }
        // What this step made due has run before time moves on, so a timer set by
        // a DPC is measured from the due time of the timer that queued it.
        DrainDispatchQueue();
        if (!more)
            return;
    }
}

void AwaitTimedWaits(size_t count) {
    RequireManualClock("AwaitTimedWaits");
    std::unique_lock<std::mutex> lock(detail::DispatcherMutex());
    detail::sched::Block(
        lock, detail::DispatcherCondition(),
        [count] { return manualClock->WaitersLocked() >= count; }, Forever, "timed waits", nullptr);
}

LONGLONG CurrentTime() {
    return detail::KernelClock().Now();
}

namespace detail {

void AdvanceManualClockTo(LONGLONG t) {
    RequireManualClock("the controlled scheduler");
    std::lock_guard<std::mutex> guard(DispatcherMutex());
    manualClock->SetLocked(t);
    FireDueTimersLocked(manualClock->Now());
}

Clock& KernelClock() {
    return *Active().load();
}

LONGLONG DueTimeFrom(LONGLONG dueTime) {
    Clock& clock = KernelClock();
    if (dueTime < 0) {
        // -LLONG_MIN does not exist; such an interval is as good as forever.
        LONGLONG interval = dueTime == std::numeric_limits<LONGLONG>::min() ? Forever : -dueTime;
        return SaturatingAdd(clock.Now(), interval);
    }
    return dueTime - clock.SystemTimeAtBoot();
}

void StartClock(bool manual) {
    if (manual) {
        manualClock = new ManualClock;
        Active().store(manualClock);
    } else {
        realClock = new RealClock;
        Active().store(realClock);
        realClock->Start();
    }
}

void StopClock() {
    if (realClock != nullptr)
        realClock->Stop();
}

// After StopClock, once nothing can wait any more.
void ResetClock() {
    Active().store(&IdleClock());
    delete manualClock;
    delete realClock;
    manualClock = nullptr;
    realClock = nullptr;
}

} // namespace detail
} // namespace kx

using namespace kx;
using namespace kx::detail;

extern "C" {

void NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    Clock& clock = KernelClock();
    CurrentTime->QuadPart = clock.SystemTimeAtBoot() + clock.Now();
}

ULONGLONG NTAPI KeQueryInterruptTime(void) {
    return static_cast<ULONGLONG>(KernelClock().Now());
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                      PLARGE_INTEGER Interval) {
    (void)WaitMode;
    (void)Alertable;
    if (Self().irql > APC_LEVEL) {
        Report(Rule::WaitAtRaisedIrql,
               "KeDelayExecutionThread at IRQL " + std::to_string(Self().irql));
    }
    DeliverApcs();
    {
        std::unique_lock<std::mutex> lock(DispatcherMutex());
        KernelClock().WaitUntil(lock, DispatcherCondition(), DueTimeFrom(Interval->QuadPart),
                                [] { return false; });
    }
    DeliverApcs();
    return STATUS_SUCCESS;
}

} // extern "C"
