// Special pool, as Driver Verifier's "Special Pool" option lays out a verified
// driver's allocations: every block in pages of its own next to an inaccessible
// guard page, freed blocks inaccessible and their addresses quarantined. A touch
// of a guard page or of a freed block is reported by the fault handler below as
// the verifier would, naming the block, and stops the process as the bug check
// does.
#include "special_pool.h"

#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

namespace kx::detail {

namespace {

// ExAllocatePoolWithTag routine (WDK): a block smaller than a page is aligned to 8
// bytes on 32-bit systems and to 16 on 64-bit ones, and a block of a page or more
// is page-aligned. Special pool keeps that promise, so a block that ends at the end
// of its pages ends there only to the alignment: its size rounded up to 8 (x86) or
// 16 (x64) bytes. That slack, 0 to 7 (15) bytes after the block, is the only part
// of an overrun that does not fault at once; a block of a page or more starts a
// page and leaves the rest of its last page as slack. Slack and the unused start
// of the first page hold a pattern that is checked when the block is freed, as
// special pool checks it: a write there is caught at the free (Bug Check 0xC1:
// SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION, WDK), a read is not caught.
constexpr size_t PoolAlignment = sizeof(void*) == 4 ? 8 : 16;
constexpr unsigned char SlackPattern = 0x3C;

// All blocks are carved from one reserved range of address space, in address
// order, the cursor going round: a freed block's pages are inaccessible at once
// (and give their memory back), and its addresses are handed out again only when
// the cursor comes round to them, after every other free address of the range
// was used: that is the quarantine, oldest recycled first. The range is large for
// the test suites' churn (a chaos run makes some 2,000 allocations a round) and
// keeps the 32-bit build's address space comfortable. The records of the newest
// freed blocks are kept (for double frees and the fault report); an older freed
// block's pages stay inaccessible until recycled.
constexpr size_t ArenaBytes = sizeof(void*) == 4 ? size_t(256) << 20 : size_t(1) << 30;
constexpr size_t FreedRecords = 8192;

struct Region {
    uintptr_t base = 0;    // the pages, guard page included
    size_t length = 0;     //
    uintptr_t data = 0;    // the accessible pages
    uintptr_t dataEnd = 0; //
    uintptr_t block = 0;   // what the caller was given
    size_t size = 0;       //
    ULONG tag = 0;
    SpecialKind kind = SpecialKind::Pool;
    bool freed = false;
};

std::mutex specialMutex;
uintptr_t arena = 0;                 // the reserved range, set once
uintptr_t cursor = 0;                // where the next block is looked for
std::map<uintptr_t, Region> regions; // live blocks and the newest freed ones, by base
std::deque<uintptr_t> freedOrder;    // bases of the freed ones recorded, oldest first
SpecialPoolGuard guardSide = SpecialPoolGuard::End;
struct sigaction previousFaultAction;

size_t PageSize() {
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

// Under specialMutex: the region whose mapping holds the address.
Region* RegionAtLocked(uintptr_t address) {
    auto it = regions.upper_bound(address);
    if (it == regions.begin())
        return nullptr;
    --it;
    Region& region = it->second;
    return address < region.base + region.length ? &region : nullptr;
}

const char* KindName(SpecialKind kind) {
    switch (kind) {
    case SpecialKind::Pool:
        return "pool block";
    case SpecialKind::Irp:
        return "IRP";
    case SpecialKind::SystemBuffer:
        return "system buffer";
    }
    return "block";
}

void TagChars(ULONG tag, char out[5]) {
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        out[i] = (c >= 32 && c < 127) ? c : '.';
    }
    out[4] = '\0';
}

// The fault handler's report. It runs on the faulting thread; the records are
// read under the pool's lock (only ever held briefly, never around a touch of a
// block), then the message goes out with write(2) and the process stops.
void ReportFault(const Region& region, uintptr_t address, const char* access) {
    char tag[5];
    TagChars(region.tag, tag);
    char what[160];
    std::snprintf(what, sizeof what, "%s %p (tag %s, %zu bytes)", KindName(region.kind),
                  reinterpret_cast<void*>(region.block), tag, region.size);
    char message[400];
    if (region.freed) {
        // Bug Check 0xCC: PAGE_FAULT_IN_FREED_SPECIAL_POOL (WDK).
        std::snprintf(message, sizeof message,
                      "*** VERIFIER: special pool: use after free of %s: %s at offset %lld "
                      "(PAGE_FAULT_IN_FREED_SPECIAL_POOL)\n",
                      what, access,
                      static_cast<long long>(address) - static_cast<long long>(region.block));
    } else if (address >= region.block && address < region.block + region.size) {
        // Only a block being freed faults inside itself: its pages have just been
        // taken away, its record not yet marked.
        std::snprintf(message, sizeof message,
                      "*** VERIFIER: special pool: use after free of %s: %s at offset %lld "
                      "while it was being freed (PAGE_FAULT_IN_FREED_SPECIAL_POOL)\n",
                      what, access, static_cast<long long>(address - region.block));
    } else if (address >= region.block + region.size) {
        // Bug Check 0xCD: PAGE_FAULT_BEYOND_END_OF_ALLOCATION (WDK).
        std::snprintf(message, sizeof message,
                      "*** VERIFIER: special pool: overrun of %s: %s %zu byte(s) past its end "
                      "(PAGE_FAULT_BEYOND_END_OF_ALLOCATION)\n",
                      what, access,
                      static_cast<size_t>(address - (region.block + region.size)) + 1);
    } else {
        std::snprintf(message, sizeof message,
                      "*** VERIFIER: special pool: underrun of %s: %s %zu byte(s) before its "
                      "start\n",
                      what, access, static_cast<size_t>(region.block - address));
    }
    ssize_t ignored = write(STDERR_FILENO, message, std::strlen(message));
    (void)ignored;
    std::abort();
}

void OnFault(int signal, siginfo_t* info, void* context) {
    (void)signal;
    auto address = reinterpret_cast<uintptr_t>(info->si_addr);
    const char* access = "access";
#if defined(__x86_64__) || defined(__i386__)
    // The page-fault error code: bit 1 set for a write.
    access = (static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_ERR] & 2) ? "write" : "read";
#else
    (void)context;
#endif
    bool locked = false;
    for (int attempt = 0; attempt < 100000 && !(locked = specialMutex.try_lock()); ++attempt)
        sched_yield();
    if (locked) {
        const Region* region = RegionAtLocked(address);
        Region copy;
        if (region != nullptr)
            copy = *region;
        const bool inArena = arena != 0 && address >= arena && address < arena + ArenaBytes;
        specialMutex.unlock();
        if (region != nullptr)
            ReportFault(copy, address, access);
        if (inArena) {
            char message[200];
            std::snprintf(message, sizeof message,
                          "*** VERIFIER: special pool: use after free: %s at %p, in a block "
                          "freed long ago (PAGE_FAULT_IN_FREED_SPECIAL_POOL)\n",
                          access, info->si_addr);
            ssize_t ignored = write(STDERR_FILENO, message, std::strlen(message));
            (void)ignored;
            std::abort();
        }
    }
    // Not special pool: the fault goes to whoever handled it before (the default
    // action, or a sanitizer's report) when the instruction runs again.
    sigaction(SIGSEGV, &previousFaultAction, nullptr);
}

void InstallFaultHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_sigaction = OnFault;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, &previousFaultAction);
    });
}

// The first byte in [begin, end) that lost the pattern, or end. The range lies
// within one page (the start of the first, or the end of the last).
uintptr_t FirstChanged(uintptr_t begin, uintptr_t end) {
    static const std::vector<unsigned char> pattern(PageSize(), SlackPattern);
    const auto* bytes = reinterpret_cast<const unsigned char*>(begin);
    if (std::memcmp(bytes, pattern.data(), end - begin) == 0)
        return end;
    return begin + static_cast<uintptr_t>(
                       std::mismatch(bytes, bytes + (end - begin), pattern.data()).first - bytes);
}

// Makes [base, base + length) of the arena inaccessible and gives its memory
// back: a fresh inaccessible mapping in place. Should the system refuse the
// mapping, the pages are at least made inaccessible.
void Decommit(uintptr_t base, size_t length) {
    void* at = reinterpret_cast<void*>(base);
    if (mmap(at, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1,
             0) == MAP_FAILED)
        (void)mprotect(at, length, PROT_NONE);
}

// Under specialMutex: the base of `length` bytes of the arena that hold no live
// block, at the cursor or after it, going round once; 0 when there are none. The
// records of freed blocks whose addresses it takes are dropped.
uintptr_t PlaceLocked(size_t length) {
    const uintptr_t end = arena + ArenaBytes;
    const uintptr_t start = cursor;
    uintptr_t position = cursor;
    bool wrapped = false;
    for (;;) {
        if (position + length > end) {
            if (wrapped)
                return 0;
            wrapped = true;
            position = arena;
        }
        if (wrapped && position + length > start)
            return 0;
        auto it = regions.upper_bound(position);
        if (it != regions.begin() && std::prev(it)->first + std::prev(it)->second.length > position)
            --it;
        auto first = it;
        bool clash = false;
        for (; it != regions.end() && it->first < position + length; ++it) {
            if (!it->second.freed) {
                position = it->first + it->second.length;
                clash = true;
                break;
            }
        }
        if (clash)
            continue;
        for (it = first; it != regions.end() && it->first < position + length;) {
            freedOrder.erase(std::find(freedOrder.begin(), freedOrder.end(), it->first));
            it = regions.erase(it);
        }
        cursor = position + length;
        return position;
    }
}

} // namespace

void ConfigureSpecialPool(SpecialPoolGuard guard) {
    std::lock_guard<std::mutex> lock(specialMutex);
    guardSide = guard;
}

void* SpecialAllocate(size_t size, SpecialKind kind, ULONG tag) {
    InstallFaultHandler();
    const size_t page = PageSize();
    const size_t dataPages = std::max<size_t>(1, (size + page - 1) / page);
    Region region;
    region.length = (dataPages + 1) * page;
    region.size = size;
    region.tag = tag;
    region.kind = kind;
    {
        std::lock_guard<std::mutex> lock(specialMutex);
        if (arena == 0) {
            void* range = mmap(nullptr, ArenaBytes, PROT_NONE,
                               MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
            if (range == MAP_FAILED)
                return nullptr;
            arena = cursor = reinterpret_cast<uintptr_t>(range);
        }
        region.base = PlaceLocked(region.length);
        if (region.base == 0)
            return nullptr;
        const bool guardFirst = guardSide == SpecialPoolGuard::Start;
        region.data = region.base + (guardFirst ? page : 0);
        region.dataEnd = region.data + dataPages * page;
        const size_t rounded = (size + PoolAlignment - 1) & ~(PoolAlignment - 1);
        region.block = guardFirst || size >= page ? region.data : region.dataEnd - rounded;
        regions[region.base] = region;
    }
    if (mprotect(reinterpret_cast<void*>(region.data), region.dataEnd - region.data,
                 PROT_READ | PROT_WRITE) != 0) {
        std::lock_guard<std::mutex> lock(specialMutex);
        regions.erase(region.base);
        return nullptr;
    }
    std::memset(reinterpret_cast<void*>(region.data), SlackPattern, region.block - region.data);
    std::memset(reinterpret_cast<void*>(region.block + size), SlackPattern,
                region.dataEnd - (region.block + size));
    return reinterpret_cast<void*>(region.block);
}

void SpecialFree(void* block) {
    const auto address = reinterpret_cast<uintptr_t>(block);
    Region region;
    {
        std::lock_guard<std::mutex> lock(specialMutex);
        Region* found = RegionAtLocked(address);
        if (found == nullptr || found->freed || found->block != address)
            return;
        region = *found;
    }
    uintptr_t changed = FirstChanged(region.data, region.block);
    if (changed == region.block) {
        changed = FirstChanged(region.block + region.size, region.dataEnd);
        if (changed == region.dataEnd)
            changed = 0;
    }
    // The record is still live meanwhile, so nothing is placed here; it is marked
    // freed after.
    Decommit(region.base, region.length);
    {
        std::lock_guard<std::mutex> lock(specialMutex);
        regions[region.base].freed = true;
        freedOrder.push_back(region.base);
        if (freedOrder.size() > FreedRecords) {
            regions.erase(freedOrder.front());
            freedOrder.pop_front();
        }
    }
    if (changed != 0) {
        char tag[5];
        TagChars(region.tag, tag);
        const bool after = changed > region.block;
        Report(Rule::KernelBugCheck,
               std::string("SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION: ") + KindName(region.kind) +
                   " " + Hex(block) + " (tag " + tag + ", " + std::to_string(region.size) +
                   " bytes) freed with a byte written " +
                   std::to_string(after ? changed - (region.block + region.size) + 1
                                        : region.block - changed) +
                   (after ? " past its end" : " before its start"));
    }
}

bool SpecialQuarantined(const void* block, SpecialKind kind) {
    const auto address = reinterpret_cast<uintptr_t>(block);
    std::lock_guard<std::mutex> lock(specialMutex);
    const Region* region = RegionAtLocked(address);
    return region != nullptr && region->freed && region->block == address && region->kind == kind;
}

void ResetSpecialPool() {
    std::lock_guard<std::mutex> lock(specialMutex);
    // Every block goes; the range stays reserved and the cursor where it was, so
    // the next boot's blocks do not take this one's addresses either.
    if (arena != 0)
        Decommit(arena, ArenaBytes);
    regions.clear();
    freedOrder.clear();
}

} // namespace kx::detail

kx::SpecialPoolGuard kx::DefaultSpecialPoolGuard() {
    const char* chosen = std::getenv("KORVAX_SPECIAL_POOL");
    return chosen != nullptr && std::strcmp(chosen, "start") == 0 ? SpecialPoolGuard::Start
                                                                  : SpecialPoolGuard::End;
}
