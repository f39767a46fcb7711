// The controlled scheduler: a mode of the hosted kernel in which exactly one of its
// threads runs at a time (the application threads that call the serial API, the
// processors that run DPCs and the bus's completions, the system workers) and the
// thread that runs next is chosen at every scheduling point by a strategy drawn
// from a seed. Scheduling points are the kernel services a driver calls (spin locks,
// interlocked operations, events and waits, IoCallDriver and IoCompleteRequest,
// DPC, timer and work-item queueing, cancel, the remove lock) and the points where
// the bus completes a transfer. The manual clock moves only when no thread can run,
// to the next timer or timed wait, so time-outs race data deterministically. One
// run is then a function of its scenario and its seed alone, and replays from them.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kx {

enum class Strategy {
    // Probabilistic concurrency testing: each thread gets a random priority, the
    // highest-priority runnable thread runs, and at depth-1 random steps the
    // running thread drops below every other (Burckhardt et al., ASPLOS 2010).
    Pct,
    // At every scheduling point the next thread is drawn uniformly from the
    // runnable ones.
    RandomWalk,
};

// (step, thread) pairs: at the step, the thread is given the turn.
using ScheduleGuide = std::vector<std::pair<uint64_t, unsigned>>;

struct ScheduleOptions {
    bool controlled = false;
    Strategy strategy = Strategy::Pct;
    uint64_t seed = 1;
    // PCT: the bug depth aimed at (priority change points = depth - 1) and the
    // number of steps the change points are spread over.
    unsigned depth = 3;
    uint64_t steps = 4000;
    // A guided run instead of the strategy: at each listed step the listed thread
    // runs if it can; elsewhere the running thread goes on while it can, and a
    // thread that stops hands over to the lowest-numbered runnable one. A run's
    // preemptions replayed this way give the same run; fewer of them give the
    // nearest run with fewer preemptions (how a finding is shrunk).
    // Printed with a hang (which ends the process): what ran and how to replay it.
    const char* label = "";
    // A run still going after this many steps is a livelock, reported as a hang is
    // (0: no limit). A thread that polls under PCT, say, starves the one it waits for.
    uint64_t stepLimit = 0;
    // (Shared, and the label a pointer: GCC 12 at -O3 takes a string or vector
    // member of these options, copied into every world's defaults, for
    // uninitialised.)
    std::shared_ptr<const ScheduleGuide> guide;
};

// One hand-over of the processor in a controlled run.
struct ScheduleSwitch {
    uint64_t step;
    unsigned from;
    unsigned to;
    // A preemption: the thread left was still runnable.
    bool preemption;
    std::string at;
};

struct ScheduleResult {
    uint64_t steps = 0;
    uint64_t preemptions = 0;
    std::vector<ScheduleSwitch> trace;
    // Threads by id, as named when created.
    std::vector<std::string> threads;
    // No thread could run and no timer or timed wait was due while an application
    // thread was still waiting: what each thread waits for.
    bool hang = false;
    std::string hangDetail;
};

// The last controlled run's trace, steps and outcome (kept after the kernel went).
const ScheduleResult& LastSchedule();
// The trace as lines: "step N: thread A -> thread B at <point> [preempted]".
std::string DescribeSchedule(const ScheduleResult& result, size_t lastSwitches = 0);

// Added to the label a hang prints (e.g. the failure a run injected).
void AddScheduleNote(const std::string& note);

// A scheduling point of a component outside the kernel (the bus, the serial API).
void SchedulingPoint(const char* what);

// Waits on cv under lock until ready() holds. Under the controlled scheduler the
// thread gives up its turn instead, and runs again only once ready() holds; ready
// is then evaluated by other threads (while this one is stopped) and must read
// only state that lock protects, not the calling thread's own.
void BlockUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                const std::function<bool()>& ready, const char* what);

// The mutex of a component outside the kernel (the bus, the modem) that calls
// kernel services while it holds it: a thread holding one passes no scheduling
// point, so that no other thread is given the turn and then blocks on it for real.
class UnscheduledMutex {
  public:
    void lock();
    bool try_lock();
    void unlock();

  private:
    std::mutex mutex_;
};

// BlockUntil for such a mutex (with a condition_variable_any).
void BlockUntil(std::unique_lock<UnscheduledMutex>& lock, std::condition_variable_any& cv,
                const std::function<bool()>& ready, const char* what);

// A thread the scheduler controls while a controlled kernel runs (a plain thread
// otherwise). Join waits as a controlled thread waits.
class ControlledThread {
  public:
    ControlledThread() = default;
    ControlledThread(std::string name, std::function<void()> body);
    ~ControlledThread();
    ControlledThread(ControlledThread&&) noexcept;
    ControlledThread& operator=(ControlledThread&&) noexcept;
    void Join();
    // The thread goes on alone (its end is awaited some other way).
    void Detach() { thread_.detach(); }
    bool Joinable() const { return thread_.joinable(); }

  private:
    struct State;
    std::thread thread_;
    std::shared_ptr<State> state_;
};

} // namespace kx
