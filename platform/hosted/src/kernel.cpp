// Boot and shutdown of the hosted kernel.
#include "internal.h"

#include <atomic>
#include <cstdlib>

namespace kx {

namespace {

std::atomic<bool> booted{false};

void ResetAll() {
    detail::ResetIo();
    detail::ResetPool();
    detail::ResetRemoveLocks();
    detail::ResetLockOrder();
    detail::ResetDebug();
    detail::ResetVerifier();
    SetDebugSink(nullptr);
}

} // namespace

Kernel::Kernel(KernelOptions options) {
    if (booted.exchange(true)) {
        std::fprintf(stderr, "hosted kernel: only one kernel may run at a time\n");
        std::abort();
    }
    ResetAll();
    detail::StartProcessors(options.processors < 2 ? 2 : options.processors);
}

Kernel::~Kernel() {
    detail::StopProcessors();
    detail::ShutdownIo();
    detail::CheckPoolLeaks(nullptr);
    ResetAll();
    booted = false;
}

} // namespace kx
