// Kernel APCs: the caller's part of finishing an I/O request (copying buffered
// output back, the status block, the event, letting go of the file object and the
// IRP) runs in the thread that issued the request, as the platform's I/O
// completion APC does, never on the processor that completed the IRP. A thread
// takes its APCs whenever it is at PASSIVE_LEVEL at a delivery point: entry to an
// I/O service, a wait, the return to PASSIVE_LEVEL (KeLowerIrql, the end of a
// completion it ran itself, the end of a work item) or DeliverApcs, which stands
// in for the interrupt that reaches a thread running application code.
#include "internal.h"

#include <deque>
#include <memory>
#include <set>

namespace kx::detail {

struct ApcQueue {
    // Under the dispatcher lock.
    std::deque<std::function<void()>> pending;
    bool threadGone = false;
    bool delivering = false;
};

namespace {

// Every thread's queue, for the reset at boot. Its own lock, taken before the
// dispatcher lock, so that a queue can be made while the dispatcher lock is held.
std::mutex queuesMutex;
std::set<ApcQueue*>& Queues() {
    static std::set<ApcQueue*> queues;
    return queues;
}

// Ends with its thread. APCs still queued run as the thread goes (the platform's
// thread rundown waits for its I/O the same way); later ones run where they are
// queued.
struct ThreadApcs {
    std::shared_ptr<ApcQueue> queue = std::make_shared<ApcQueue>();
    ThreadApcs() {
        std::lock_guard<std::mutex> guard(queuesMutex);
        Queues().insert(queue.get());
    }
    ~ThreadApcs() {
        std::deque<std::function<void()>> left;
        {
            std::lock_guard<std::mutex> guard(queuesMutex);
            Queues().erase(queue.get());
        }
        {
            std::lock_guard<std::mutex> guard(DispatcherMutex());
            queue->threadGone = true;
            left.swap(queue->pending);
        }
        for (auto& apc : left)
            apc();
    }
};

ThreadApcs& Mine() {
    Self(); // constructed first, so it outlives this thread's APC queue
    thread_local ThreadApcs apcs;
    return apcs;
}

} // namespace

std::shared_ptr<ApcQueue> CurrentApcQueue() {
    return Mine().queue;
}

void QueueApc(const std::shared_ptr<ApcQueue>& queue, std::function<void()> routine) {
    {
        DispatcherWakes wakes;
        std::lock_guard<std::mutex> guard(DispatcherMutex());
        if (!queue->threadGone) {
            queue->pending.push_back(std::move(routine));
            wakes.AddApcWaiter(queue.get());
            return;
        }
    }
    routine();
}

bool ApcPendingLocked() {
    return Self().irql == PASSIVE_LEVEL && ApcPendingLocked(*Mine().queue);
}

bool ApcPendingLocked(const ApcQueue& queue) {
    return !queue.delivering && !queue.pending.empty();
}

void DeliverThreadApcs() {
    ThreadState& self = Self();
    if (self.irql != PASSIVE_LEVEL)
        return;
    ApcQueue& queue = *Mine().queue;
    // The APCs are the I/O manager's work, not that of a driver or of a request
    // whose dispatch routine this thread may be in.
    auto frames = std::move(self.dispatchFrames);
    self.dispatchFrames.clear();
    DriverScope scope(nullptr);
    for (;;) {
        std::function<void()> apc;
        {
            std::lock_guard<std::mutex> guard(DispatcherMutex());
            if (queue.delivering || queue.pending.empty())
                break;
            apc = std::move(queue.pending.front());
            queue.pending.pop_front();
            queue.delivering = true;
        }
        apc();
        std::lock_guard<std::mutex> guard(DispatcherMutex());
        queue.delivering = false;
    }
    self.dispatchFrames = std::move(frames);
}

} // namespace kx::detail

namespace kx {

void DeliverApcs() {
    detail::DeliverThreadApcs();
}

} // namespace kx

namespace kx::detail {

void ResetApcs() {
    std::lock_guard<std::mutex> registry(queuesMutex);
    std::lock_guard<std::mutex> guard(DispatcherMutex());
    for (ApcQueue* queue : Queues())
        queue->pending.clear();
}

} // namespace kx::detail
