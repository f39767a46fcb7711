// Remove locks, with the holders of each lock tracked by tag so that releases of
// tags that hold nothing and holds left at device deletion are caught.
#include "io_internal.h"

#include <map>

namespace kx {

namespace {

std::mutex holdersMutex;
std::map<PIO_REMOVE_LOCK, std::map<PVOID, int>> holders;

bool InRange(const void* p, const void* begin, size_t size) {
    auto c = static_cast<const char*>(p);
    auto b = static_cast<const char*>(begin);
    return c >= b && c < b + size;
}

} // namespace

namespace detail {

void CheckRemoveLocksIn(const void* begin, size_t size, const std::string& owner) {
    std::vector<std::string> leaks;
    {
        std::lock_guard<std::mutex> guard(holdersMutex);
        for (const auto& lock : holders) {
            if (!InRange(lock.first, begin, size))
                continue;
            int count = 0;
            std::string tags;
            for (const auto& tag : lock.second) {
                count += tag.second;
                tags += (tags.empty() ? "" : ", ") + Hex(tag.first);
            }
            if (count != 0) {
                leaks.push_back(owner + ": remove lock " + Hex(lock.first) + " has " +
                                std::to_string(count) + " hold(s), tag(s) " + tags);
            }
        }
    }
    for (const auto& leak : leaks)
        Report(Rule::RemoveLockLeak, leak);
}

void ForgetRemoveLocksIn(const void* begin, size_t size) {
    std::lock_guard<std::mutex> guard(holdersMutex);
    for (auto it = holders.begin(); it != holders.end();)
        it = InRange(it->first, begin, size) ? holders.erase(it) : std::next(it);
}

void ResetRemoveLocks() {
    std::lock_guard<std::mutex> guard(holdersMutex);
    holders.clear();
}

} // namespace detail
} // namespace kx

using namespace kx;
using namespace kx::detail;

namespace {

// Returns false (and reports) when the tag holds nothing on this lock.
bool DropHolder(PIO_REMOVE_LOCK lock, PVOID tag) {
    std::unique_lock<std::mutex> guard(holdersMutex);
    auto& tags = holders[lock];
    auto it = tags.find(tag);
    if (it == tags.end()) {
        guard.unlock();
        Report(Rule::RemoveLockNotHeld,
               "remove lock " + Hex(lock) + " released with tag " + Hex(tag));
        return false;
    }
    if (--it->second == 0)
        tags.erase(it);
    return true;
}

} // namespace

extern "C" {

void NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                                    ULONG HighWatermark, ULONG RemlockSize) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoInitializeRemoveLockEx");
    (void)AllocateTag;
    (void)MaxLockedMinutes;
    (void)HighWatermark;
    (void)RemlockSize;
    Lock->Common.Removed = FALSE;
    Lock->Common.IoCount = 1;
    KeInitializeEvent(&Lock->Common.RemoveEvent, NotificationEvent, FALSE);
    std::lock_guard<std::mutex> guard(holdersMutex);
    holders[Lock].clear();
}

NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                                     ULONG RemlockSize) {
    (void)File;
    (void)Line;
    (void)RemlockSize;
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoAcquireRemoveLockEx");
    InterlockedIncrement(&RemoveLock->Common.IoCount);
    // Removed is set by the removal while acquirers run on other processors: both
    // sides use atomic accesses (after the increment, so that a removal that sets
    // it and then drains the count sees this hold or refuses it).
    if (!__atomic_load_n(&RemoveLock->Common.Removed, __ATOMIC_SEQ_CST)) {
        std::lock_guard<std::mutex> guard(holdersMutex);
        holders[RemoveLock][Tag]++;
        return STATUS_SUCCESS;
    }
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0)
        KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    return STATUS_DELETE_PENDING;
}

void NTAPI IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    (void)RemlockSize;
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoReleaseRemoveLockEx");
    if (!DropHolder(RemoveLock, Tag))
        return;
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0)
        KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    PauseIfArmed(&RemoveLock->Common);
}

void NTAPI IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    (void)RemlockSize;
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoReleaseRemoveLockAndWaitEx");
    __atomic_store_n(&RemoveLock->Common.Removed, TRUE, __ATOMIC_SEQ_CST);
    if (!DropHolder(RemoveLock, Tag))
        return;
    InterlockedDecrement(&RemoveLock->Common.IoCount); // the caller's own hold
    // Then the bias of one that initialisation gave: whoever brings the count to
    // zero signals the event.
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) > 0)
        KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE,
                              nullptr);
}

} // extern "C"
