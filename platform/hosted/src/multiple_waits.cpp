// KeWaitForMultipleObjects on the dispatcher lock and condition that every other
// wait uses: a wait for any of the objects, or for all of them at once.
#include "internal.h"

using namespace kx;
using namespace kx::detail;

namespace {

// Objects a satisfied wait resets (events are 0 and 1, timers 8 and 9).
bool ResetBySatisfiedWait(const DISPATCHER_HEADER* header) {
    return header->Type == SynchronizationEvent || header->Type == 9;
}

} // namespace

extern "C" {

NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                        KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                        BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                        PVOID WaitBlockArray) {
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    (void)WaitBlockArray;
    bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    if (!poll && Self().irql > APC_LEVEL) {
        Report(Rule::WaitAtRaisedIrql,
               "KeWaitForMultipleObjects at IRQL " + std::to_string(Self().irql));
    }
    auto header = [Object](ULONG i) { return static_cast<DISPATCHER_HEADER*>(Object[i]); };
    // The index of the first signalled object (wait any), 0 when all are (wait all),
    // or Count while the wait is not satisfied.
    auto satisfied = [&]() -> ULONG {
        ULONG signalled = 0;
        for (ULONG i = 0; i < Count; ++i) {
            if (header(i)->SignalState > 0) {
                if (WaitType == WaitAny)
                    return i;
                ++signalled;
            }
        }
        return WaitType == WaitAll && signalled == Count && Count > 0 ? 0 : Count;
    };
    std::unique_lock<std::mutex> lock(DispatcherMutex());
    auto ready = [&] { return satisfied() < Count; };
    if (!ready()) {
        if (poll)
            return STATUS_TIMEOUT;
        if (Timeout == nullptr)
            DispatcherCondition().wait(lock, ready);
        else if (!KernelClock().WaitUntil(lock, DueTimeFrom(Timeout->QuadPart), ready))
            return STATUS_TIMEOUT;
    }
    ULONG index = satisfied();
    for (ULONG i = 0; i < Count; ++i) {
        if ((WaitType == WaitAll || i == index) && ResetBySatisfiedWait(header(i)))
            header(i)->SignalState = 0;
    }
    return static_cast<NTSTATUS>(STATUS_WAIT_0 + index);
}

} // extern "C"
