// Occupying the system worker threads, so that work items queued meanwhile stay
// queued until the test lets them run.
#pragma once

#include <kx/host.h>

#include <atomic>
#include <vector>

namespace korvax_test {

// Occupies every worker thread until released, so that items queued meanwhile
// stay queued.
class WorkerBlockers {
  public:
    explicit WorkerBlockers(unsigned workers) : items_(workers) {
        KeInitializeEvent(&release_, NotificationEvent, FALSE);
        KeInitializeEvent(&allStarted_, NotificationEvent, FALSE);
        for (auto& item : items_) {
            ExInitializeWorkItem(&item, Block, this);
            ExQueueWorkItem(&item, DelayedWorkQueue);
        }
        KeWaitForSingleObject(&allStarted_, Executive, KernelMode, FALSE, nullptr);
    }
    ~WorkerBlockers() {
        KeSetEvent(&release_, IO_NO_INCREMENT, FALSE);
        kx::DrainWorkItems();
    }

  private:
    static void NTAPI Block(PVOID Parameter) {
        auto* self = static_cast<WorkerBlockers*>(Parameter);
        if (++self->started_ == self->items_.size())
            KeSetEvent(&self->allStarted_, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&self->release_, Executive, KernelMode, FALSE, nullptr);
    }

    std::vector<WORK_QUEUE_ITEM> items_;
    std::atomic<size_t> started_{0};
    KEVENT release_;
    KEVENT allStarted_;
};

} // namespace korvax_test
