// Pool: every allocation is recorded with its tag, size, call site and the driver
// that made it, so leaks, double frees, foreign frees and frees with the wrong tag
// are caught, and any one allocation can be made to fail. The memory is special
// pool (special_pool.cpp): each block against a guard page, freed blocks
// inaccessible and quarantined, so a stale pointer never reaches a newer block.
#include "special_pool.h"

#include <array>
#include <cstring>
#include <unordered_map>

namespace kx {

namespace {

struct Allocation {
    size_t size;
    ULONG tag;
    PDRIVER_OBJECT driver;
    uintptr_t site;
    bool paged;
};

struct ArmedFault {
    FaultRule rule;
    uint64_t seen = 0;
};

std::mutex poolMutex;
std::unordered_map<void*, Allocation> live;
std::vector<ArmedFault> faults;
std::array<uint64_t, 2> allocationCounts{};

std::string TagText(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 32 && c < 127) ? c : '.';
    }
    return text;
}

void ReportLeaks(const std::vector<Allocation>& leaked, const std::string& owner) {
    if (leaked.empty())
        return;
    size_t bytes = 0;
    std::string tags;
    for (const auto& a : leaked) {
        bytes += a.size;
        if (tags.find(TagText(a.tag)) == std::string::npos)
            tags += (tags.empty() ? "" : ",") + TagText(a.tag);
    }
    detail::Report(Rule::PoolLeak, owner + " left " + std::to_string(leaked.size()) +
                                       " allocation(s), " + std::to_string(bytes) +
                                       " bytes, tag(s) " + tags);
}

} // namespace

void ArmFault(const FaultRule& rule) {
    std::lock_guard<std::mutex> guard(poolMutex);
    faults.push_back({rule, 0});
}

void DisarmFaults() {
    std::lock_guard<std::mutex> guard(poolMutex);
    faults.clear();
}

uint64_t AllocationCount(AllocationKind kind) {
    std::lock_guard<std::mutex> guard(poolMutex);
    return allocationCounts[static_cast<size_t>(kind)];
}

PoolUsage OutstandingPool() {
    std::lock_guard<std::mutex> guard(poolMutex);
    PoolUsage usage;
    for (const auto& entry : live) {
        usage.allocations++;
        usage.bytes += entry.second.size;
    }
    return usage;
}

PoolUsage OutstandingPool(ULONG tag) {
    std::lock_guard<std::mutex> guard(poolMutex);
    PoolUsage usage;
    for (const auto& entry : live) {
        if (entry.second.tag == tag) {
            usage.allocations++;
            usage.bytes += entry.second.size;
        }
    }
    return usage;
}

namespace detail {

bool ShouldFail(AllocationKind kind, ULONG tag, uintptr_t site) {
    std::lock_guard<std::mutex> guard(poolMutex);
    allocationCounts[static_cast<size_t>(kind)]++;
    for (auto it = faults.begin(); it != faults.end(); ++it) {
        const FaultRule& rule = it->rule;
        if (rule.kind != kind || (rule.tag && *rule.tag != tag) ||
            (rule.site && *rule.site != site))
            continue;
        if (++it->seen == rule.nth) {
            faults.erase(it);
            return true;
        }
    }
    return false;
}

void CheckPoolLeaks(PDRIVER_OBJECT driver) {
    std::vector<Allocation> leaked;
    {
        std::lock_guard<std::mutex> guard(poolMutex);
        for (const auto& entry : live) {
            if (driver == nullptr || entry.second.driver == driver)
                leaked.push_back(entry.second);
        }
    }
    ReportLeaks(leaked, driver ? "driver " + ToUtf8({driver->DriverName.Buffer,
                                                     driver->DriverName.Length / 2u})
                               : std::string("shutdown"));
}

void ForgetDriverPool(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> guard(poolMutex);
    for (auto& entry : live) {
        if (entry.second.driver == driver)
            entry.second.driver = nullptr;
    }
}

void ResetPool() {
    {
        std::lock_guard<std::mutex> guard(poolMutex);
        live.clear();
        faults.clear();
        allocationCounts = {};
    }
    // Pool blocks, IRPs and system buffers alike.
    ResetSpecialPool();
}

} // namespace detail
} // namespace kx

using namespace kx;
using namespace kx::detail;

namespace kx::detail {

PVOID AllocatePoolAt(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag, uintptr_t site) {
    bool paged = PoolType == PagedPool || PoolType == PagedPoolCacheAligned;
    RequireIrqlAtMost(paged ? APC_LEVEL : DISPATCH_LEVEL, "ExAllocatePoolWithTag");
    if (NumberOfBytes == 0)
        Report(Rule::ZeroSizeAllocation, "ExAllocatePoolWithTag(0) for tag " + TagText(Tag));
    if (ShouldFail(AllocationKind::Pool, Tag, site))
        return nullptr;
    void* block = SpecialAllocate(NumberOfBytes, SpecialKind::Pool, Tag);
    if (block == nullptr)
        return nullptr;
    std::memset(block, FreshPoolPattern, NumberOfBytes);
    std::lock_guard<std::mutex> guard(poolMutex);
    live[block] = {NumberOfBytes, Tag, Self().currentDriver, site, paged};
    return block;
}

} // namespace kx::detail

namespace {

// `tag` is the one ExFreePoolWithTag was given, or nullopt for ExFreePool.
void FreeToPool(PVOID P, std::optional<ULONG> tag) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "ExFreePool");
    size_t size = 0;
    bool paged = false;
    ULONG allocatedTag = 0;
    {
        std::unique_lock<std::mutex> guard(poolMutex);
        auto it = live.find(P);
        if (it == live.end()) {
            guard.unlock();
            // A freed block's addresses stay out of use while it is quarantined,
            // so a second free finds it there even after other allocations.
            bool twice = SpecialQuarantined(P, SpecialKind::Pool);
            Report(twice ? Rule::PoolDoubleFree : Rule::PoolBadFree, "ExFreePool(" + Hex(P) + ")");
            return;
        }
        size = it->second.size;
        paged = it->second.paged;
        allocatedTag = it->second.tag;
        live.erase(it);
    }
    // Bug Check 0xC2: BAD_POOL_CALLER (WDK), parameter 1 0x0A: pool freed with a tag
    // other than the allocator's. The block is freed all the same (the safe way
    // out under a capture: the caller meant to give it back).
    if (tag && *tag != allocatedTag) {
        Report(Rule::PoolFreeTagMismatch, "ExFreePoolWithTag(" + Hex(P) + ", " + TagText(*tag) +
                                              ") of a block allocated with tag " +
                                              TagText(allocatedTag));
    }
    if (paged)
        RequireIrqlAtMost(APC_LEVEL, "ExFreePool of paged pool");
    ForgetLocksIn(P, size);
    ForgetRemoveLocksIn(P, size);
    ForgetQueuedObjectsIn(P, size, [P] { return "pool block " + Hex(P) + " freed"; });
    SpecialFree(P);
}

} // namespace

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return AllocatePoolAt(PoolType, NumberOfBytes, Tag,
                          reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    constexpr ULONG NoneTag = 0x656E6F4E; // "None", as the platform tags untagged pool
    return AllocatePoolAt(PoolType, NumberOfBytes, NoneTag,
                          reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
}

void NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
    FreeToPool(P, Tag);
}

void NTAPI ExFreePool(PVOID P) {
    FreeToPool(P, std::nullopt);
}

} // extern "C"
