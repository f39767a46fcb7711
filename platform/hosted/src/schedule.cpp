// The controlled scheduler. Each controlled thread has a record and a condition
// variable of its own; the thread whose turn it is runs, every other one sleeps on
// its own condition variable until it is given the turn. A thread gives the turn
// away only inside the scheduler: at a scheduling point (Point), when it would wait
// (Block) and when it ends (Exit). A waiting thread's readiness is evaluated by the
// thread choosing the next one, while the waiter sleeps: the one thread running is
// the only one touching kernel state, and the hand-over through the scheduler's
// mutex orders its accesses after the waiter's.
#include "internal.h"

#include <kx/schedule.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <random>
#include <sstream>

namespace kx {

namespace detail::sched {

constexpr LONGLONG Forever = std::numeric_limits<LONGLONG>::max();

// Scheduling points passed over on this thread while positive.
thread_local int pointsSuppressed = 0;

enum class State { Runnable, Blocked, Done };

struct Thread {
    unsigned id = 0;
    std::string name;
    bool daemon = false;
    State state = State::Runnable;
    // While blocked: when the thread may run again.
    std::function<bool()> ready;
    LONGLONG deadline = Forever;
    std::string waitsFor;
    std::condition_variable turn;
    long priority = 0;
};

namespace {
// Kernel time the clock may move with nothing else happening before a run counts as
// hung: a periodic timer nobody waits for would move it for ever.
constexpr LONGLONG IdleTimeLimit = 24LL * 3600 * 10000000;
constexpr size_t TraceLimit = 200000;

struct Scheduler {
    std::mutex mutex;
    bool active = false;
    ScheduleOptions options;
    std::vector<std::shared_ptr<Thread>> threads;
    Thread* current = nullptr;
    std::mt19937_64 random;
    std::vector<uint64_t> changePoints; // PCT, ascending
    long lowestPriority = 0;
    size_t nextGuide = 0;
    LONGLONG idleSince = 0;
    ScheduleResult result;
    // The options' label and the notes added to it.
    std::string label;
};

Scheduler& S() {
    static Scheduler scheduler;
    return scheduler;
}

thread_local std::shared_ptr<Thread> me;

bool ControlledHere(Scheduler& s) {
    return s.active && me != nullptr && s.current == me.get();
}

bool Candidate(const Thread& t, LONGLONG now) {
    switch (t.state) {
    case State::Runnable:
        return true;
    case State::Blocked:
        return t.deadline <= now || (t.ready && t.ready());
    case State::Done:
        return false;
    }
    return false;
}

std::string DescribeThreads(const Scheduler& s) {
    std::string text;
    for (const auto& t : s.threads) {
        text += "  thread " + std::to_string(t->id) + " (" + t->name + "): ";
        switch (t->state) {
        case State::Runnable:
            text += "runnable\n";
            break;
        case State::Done:
            text += "ended\n";
            break;
        case State::Blocked:
            text +=
                "waits for " + t->waitsFor +
                (t->deadline == Forever ? std::string() : " until " + std::to_string(t->deadline)) +
                "\n";
            break;
        }
    }
    return text;
}

[[noreturn]] void Hang(Scheduler& s,
                       const char* what = "hang: no thread can run and no timer is due",
                       int status = 86) {
    s.result.hang = true;
    s.result.hangDetail = DescribeThreads(s);
    std::fprintf(stderr, "*** SCHEDULER: %s, at step %llu%s%s\n%s", what,
                 static_cast<unsigned long long>(s.result.steps), s.label.empty() ? "" : ", in ",
                 s.label.c_str(), s.result.hangDetail.c_str());
    std::fprintf(stderr, "%s", DescribeSchedule(s.result, 40).c_str());
    std::fflush(stderr);
    std::_Exit(status);
}

// Nothing can run: the clock moves to the next timer or timed wait; with neither
// due, or only the daemons' idling left for a day of kernel time, the run is hung
// when an application thread still waits.
bool MoveTime(Scheduler& s) {
    LONGLONG next = Forever;
    {
        std::lock_guard<std::mutex> guard(DispatcherMutex());
        LONGLONG due;
        if (EarliestTimerDueLocked(&due))
            next = due;
    }
    for (const auto& t : s.threads) {
        if (t->state == State::Blocked)
            next = std::min(next, t->deadline);
    }
    bool waiting = std::any_of(s.threads.begin(), s.threads.end(),
                               [](const auto& t) { return !t->daemon && t->state != State::Done; });
    if (next == Forever || next - s.idleSince > IdleTimeLimit) {
        if (waiting)
            Hang(s);
        return false;
    }
    ++pointsSuppressed;
    AdvanceManualClockTo(next);
    --pointsSuppressed;
    return true;
}

Thread* Highest(const std::vector<Thread*>& candidates) {
    return *std::max_element(candidates.begin(), candidates.end(), [](Thread* a, Thread* b) {
        return a->priority != b->priority ? a->priority < b->priority : a->id > b->id;
    });
}

Thread* Choose(Scheduler& s, Thread* self, const std::vector<Thread*>& candidates) {
    bool selfRuns = std::find(candidates.begin(), candidates.end(), self) != candidates.end();
    if (s.options.guide != nullptr) {
        const ScheduleGuide& guide = *s.options.guide;
        while (s.nextGuide < guide.size() && guide[s.nextGuide].first < s.result.steps)
            ++s.nextGuide;
        if (s.nextGuide < guide.size() && guide[s.nextGuide].first == s.result.steps) {
            unsigned wanted = guide[s.nextGuide++].second;
            for (Thread* t : candidates) {
                if (t->id == wanted)
                    return t;
            }
        }
        return selfRuns ? self : candidates.front();
    }
    if (s.options.strategy == Strategy::RandomWalk)
        return candidates[std::uniform_int_distribution<size_t>(0,
                                                                candidates.size() - 1)(s.random)];
    if (!s.changePoints.empty() && s.changePoints.front() <= s.result.steps) {
        s.changePoints.erase(s.changePoints.begin());
        self->priority = --s.lowestPriority;
    }
    return Highest(candidates);
}

void Record(Scheduler& s, Thread* from, Thread* to, const char* what) {
    bool preemption = from->state == State::Runnable;
    s.result.preemptions += preemption ? 1 : 0;
    if (s.result.trace.size() < TraceLimit)
        s.result.trace.push_back({s.result.steps, from->id, to->id, preemption, what});
}

// The calling thread (me) gives the turn to the thread the strategy chooses, and
// sleeps until it has the turn again (unless it has ended). The caller holds the
// scheduler's mutex.
void Next(Scheduler& s, std::unique_lock<std::mutex>& lock, const char* what) {
    Thread* self = me.get();
    if (++s.result.steps == s.options.stepLimit)
        Hang(s, "livelock: the run goes on past its step limit", 87);
    std::vector<Thread*> candidates;
    for (;;) {
        LONGLONG now = KernelClock().Now();
        candidates.clear();
        for (const auto& t : s.threads) {
            if (Candidate(*t, now))
                candidates.push_back(t.get());
        }
        if (!candidates.empty()) {
            s.idleSince = now;
            break;
        }
        if (!MoveTime(s))
            return; // only daemons left, idle: the caller is ending
    }
    Thread* next = Choose(s, self, candidates);
    if (next != self) {
        Record(s, self, next, what);
        next->state = State::Runnable;
        s.current = next;
        next->turn.notify_one();
        if (self->state == State::Done)
            return;
        self->turn.wait(lock, [&] { return s.current == self || !s.active; });
    }
    self->state = State::Runnable;
    self->ready = nullptr;
}

// The thread waits, controlled: off the processor until ready() or the deadline.
void BlockControlled(Scheduler& s, std::unique_lock<std::mutex>& lock, std::function<bool()> ready,
                     LONGLONG deadline, const char* what) {
    Thread* self = me.get();
    self->state = State::Blocked;
    self->ready = std::move(ready);
    self->deadline = deadline;
    self->waitsFor = what;
    Next(s, lock, what);
    self->state = State::Runnable;
    self->ready = nullptr;
    self->deadline = Forever;
}

} // namespace

void Start(const ScheduleOptions& options) {
    Scheduler& s = S();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.options = options;
    s.label = options.label != nullptr ? options.label : "";
    s.threads.clear();
    s.random.seed(options.seed);
    s.result = {};
    s.nextGuide = 0;
    s.idleSince = 0;
    s.changePoints.clear();
    s.lowestPriority = 0;
    if (options.strategy == Strategy::Pct && options.guide == nullptr) {
        std::uniform_int_distribution<uint64_t> step(1, std::max<uint64_t>(options.steps, 1));
        for (unsigned i = 1; i < options.depth; ++i)
            s.changePoints.push_back(step(s.random));
        std::sort(s.changePoints.begin(), s.changePoints.end());
    }
    s.active = true;
    me = std::make_shared<Thread>();
    me->name = "main";
    me->priority = static_cast<long>(options.depth) + 1 +
                   static_cast<long>(std::uniform_int_distribution<int>(0, 9999)(s.random));
    s.threads.push_back(me);
    s.result.threads.push_back(me->name);
    s.current = me.get();
}

void Stop() {
    Scheduler& s = S();
    {
        std::lock_guard<std::mutex> guard(s.mutex);
        if (!s.active)
            return;
        s.active = false;
        for (const auto& t : s.threads)
            t->turn.notify_all();
    }
    me.reset();
}

bool MayBeControlled() {
    return me != nullptr && pointsSuppressed == 0;
}

const ScheduleResult& Result() {
    return S().result;
}

void Point(const char* what) {
    if (me == nullptr || pointsSuppressed != 0)
        return;
    Scheduler& s = S();
    std::unique_lock<std::mutex> lock(s.mutex);
    if (!ControlledHere(s))
        return;
    Next(s, lock, what);
}

namespace {

template <typename Lock, typename Condition>
bool BlockOn(Lock& lock, Condition& cv, const std::function<bool()>& ready, LONGLONG deadline,
             const char* what, const std::function<bool(Lock&)>& freeWait) {
    Scheduler& s = S();
    while (!ready()) {
        lock.unlock();
        bool controlled = false;
        if (me != nullptr && pointsSuppressed == 0) {
            std::unique_lock<std::mutex> turn(s.mutex);
            controlled = ControlledHere(s);
            if (controlled)
                BlockControlled(s, turn, ready, deadline, what);
        }
        lock.lock();
        if (controlled) {
            if (deadline != Forever && !ready() && KernelClock().Now() >= deadline)
                return false;
            continue;
        }
        // Not controlled (any more): the plain wait.
        if (freeWait)
            return freeWait(lock);
        cv.wait(lock, ready);
    }
    return true;
}

} // namespace

bool Block(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
           const std::function<bool()>& ready, LONGLONG deadline, const char* what,
           const std::function<bool(std::unique_lock<std::mutex>&)>& freeWait) {
    return BlockOn(lock, cv, ready, deadline, what, freeWait);
}

void WaitForExit(const std::shared_ptr<Thread>& thread) {
    Scheduler& s = S();
    std::unique_lock<std::mutex> lock(s.mutex);
    if (!ControlledHere(s) || thread->state == State::Done)
        return;
    // Evaluated under the scheduler's mutex, which guards the state.
    Thread* t = thread.get();
    BlockControlled(
        s, lock, [t] { return t->state == State::Done; }, Forever,
        ("the end of thread " + std::to_string(t->id)).c_str());
}

// Registers the new thread under the creator's turn (so its number and priority
// follow from the seed) and starts it waiting for its first turn.
std::thread Spawn(std::string name, bool daemon, std::function<void()> body,
                  std::shared_ptr<Thread>* record) {
    Scheduler& s = S();
    std::shared_ptr<Thread> thread;
    {
        std::lock_guard<std::mutex> guard(s.mutex);
        if (s.active) {
            thread = std::make_shared<Thread>();
            thread->id = static_cast<unsigned>(s.threads.size());
            thread->name = std::move(name);
            thread->daemon = daemon;
            thread->priority =
                static_cast<long>(s.options.depth) + 1 +
                static_cast<long>(std::uniform_int_distribution<int>(0, 9999)(s.random));
            s.threads.push_back(thread);
            s.result.threads.push_back(thread->name);
        }
    }
    if (record != nullptr)
        *record = thread;
    return std::thread([thread, body = std::move(body)] {
        if (thread != nullptr) {
            me = thread;
            Scheduler& s = S();
            std::unique_lock<std::mutex> lock(s.mutex);
            thread->turn.wait(lock, [&] { return s.current == thread.get() || !s.active; });
        }
        body();
        if (thread != nullptr) {
            Scheduler& s = S();
            std::unique_lock<std::mutex> lock(s.mutex);
            bool controlled = ControlledHere(s);
            thread->state = State::Done;
            if (controlled)
                Next(s, lock, "thread end");
            me = nullptr;
        }
    });
}

NoPoints::NoPoints() {
    ++pointsSuppressed;
}
NoPoints::~NoPoints() {
    --pointsSuppressed;
}

} // namespace detail::sched

const ScheduleResult& LastSchedule() {
    return detail::sched::Result();
}

std::string DescribeSchedule(const ScheduleResult& result, size_t lastSwitches) {
    std::ostringstream out;
    out << "schedule: " << result.steps << " steps, " << result.trace.size() << " switches, "
        << result.preemptions << " preemptions; threads:";
    for (size_t i = 0; i < result.threads.size(); ++i)
        out << " " << i << "=" << result.threads[i];
    out << "\n";
    size_t first = lastSwitches == 0 || result.trace.size() <= lastSwitches
                       ? 0
                       : result.trace.size() - lastSwitches;
    if (first != 0)
        out << "  ... " << first << " earlier switches\n";
    for (size_t i = first; i < result.trace.size(); ++i) {
        const ScheduleSwitch& sw = result.trace[i];
        out << "  step " << sw.step << ": " << sw.from << " -> " << sw.to << " at " << sw.at
            << (sw.preemption ? " (preempted)" : "") << "\n";
    }
    return out.str();
}

void AddScheduleNote(const std::string& note) {
    detail::sched::Scheduler& s = detail::sched::S();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.label += "; " + note;
}

void SchedulingPoint(const char* what) {
    detail::sched::Point(what);
}

void BlockUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                const std::function<bool()>& ready, const char* what) {
    detail::sched::Block(lock, cv, ready, std::numeric_limits<LONGLONG>::max(), what, nullptr);
}

void UnscheduledMutex::lock() {
    mutex_.lock();
    ++detail::sched::pointsSuppressed;
}

bool UnscheduledMutex::try_lock() {
    if (!mutex_.try_lock())
        return false;
    ++detail::sched::pointsSuppressed;
    return true;
}

void UnscheduledMutex::unlock() {
    --detail::sched::pointsSuppressed;
    mutex_.unlock();
}

void BlockUntil(std::unique_lock<UnscheduledMutex>& lock, std::condition_variable_any& cv,
                const std::function<bool()>& ready, const char* what) {
    detail::sched::BlockOn<std::unique_lock<UnscheduledMutex>, std::condition_variable_any>(
        lock, cv, ready, std::numeric_limits<LONGLONG>::max(), what, nullptr);
}

struct ControlledThread::State {
    std::shared_ptr<detail::sched::Thread> record;
};

ControlledThread::ControlledThread(std::string name, std::function<void()> body)
    : state_(std::make_shared<State>()) {
    thread_ = detail::sched::Spawn(std::move(name), false, std::move(body), &state_->record);
}

ControlledThread::~ControlledThread() {
    if (thread_.joinable())
        Join();
}

ControlledThread::ControlledThread(ControlledThread&&) noexcept = default;
ControlledThread& ControlledThread::operator=(ControlledThread&&) noexcept = default;

void ControlledThread::Join() {
    if (state_ != nullptr && state_->record != nullptr)
        detail::sched::WaitForExit(state_->record);
    thread_.join();
}

} // namespace kx
