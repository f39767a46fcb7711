// Boot and shutdown of the hosted kernel.
#include "internal.h"
#include "pnp_internal.h"
#include "power_internal.h"
#include "special_pool.h"

#include <atomic>
#include <cstdlib>

namespace kx {

namespace {

std::atomic<bool> booted{false};

void ResetAll() {
    // Timers first: nothing may fire into device memory that ResetIo frees.
    detail::ResetTimers();
    detail::ResetApcs();
    detail::ResetClock();
    detail::ResetDeviceInterfaces();
    detail::ResetPnp();
    detail::ResetPower();
    detail::ResetObjectNamespace();
    detail::ResetRegistry();
    detail::ResetFiles();
    detail::ResetIo();
    detail::ResetPool();
    detail::ResetRemoveLocks();
    detail::ResetLockOrder();
    detail::ResetDebug();
    detail::ResetVerifier();
    SetDebugSink(nullptr);
}

// Work items may queue DPCs and DPCs work items: drain both until neither has
// anything left.
void Quiesce() {
    do {
        DrainWorkItems();
        DrainDispatchQueue();
    } while (detail::WorkersBusy() || detail::ProcessorsBusy());
}

} // namespace

Kernel::Kernel(KernelOptions options) {
    if (booted.exchange(true)) {
        std::fprintf(stderr, "hosted kernel: only one kernel may run at a time\n");
        std::abort();
    }
    ResetAll();
    detail::ConfigureSpecialPool(options.specialPool);
    if (options.schedule.controlled) {
        options.manualClock = true;
        detail::sched::Start(options.schedule);
    }
    detail::StartClock(options.manualClock);
    detail::StartProcessors(options.inlineDispatch   ? 0
                            : options.processors < 2 ? 2
                                                     : options.processors,
                            options.removedDpcRunsPercent, options.removedDpcSeed);
    detail::StartWorkers(options.workerThreads < 2 ? 2 : options.workerThreads);
}

Kernel::~Kernel() {
    // The shutdown joins the kernel's threads: every thread runs free from here.
    detail::sched::Stop();
    // No timer fires once the clock has stopped; what is still set is cancelled
    // below without firing, whoever's memory it is in.
    detail::StopClock();
    // What completed for the thread that shuts down is delivered to it first.
    kx::DeliverApcs();
    Quiesce();
    kx::DeliverApcs();
    detail::StopWorkers();
    detail::StopProcessors();
    detail::ResetTimers();
    // Handles and links left behind are reported; the PnP manager lets go of its
    // device nodes before the I/O manager looks for devices left over.
    detail::ShutdownFiles();
    detail::ShutdownObjects();
    detail::ShutdownPnp();
    detail::ShutdownIo();
    detail::CheckPoolLeaks(nullptr);
    ResetAll();
    booted = false;
}

} // namespace kx
