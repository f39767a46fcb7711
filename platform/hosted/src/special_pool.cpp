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

// The quarantine: freed blocks stay mapped, inaccessible and holding no memory,
// until one of the bounds is passed; then the oldest is unmapped and its addresses
// may be handed out again. The bounds keep the mappings well below the system's
// limit on their number and the 32-bit build's address space comfortable.
constexpr size_t QuarantineBlocks = 8192;
constexpr size_t QuarantineBytes = sizeof(void*) == 4 ? size_t(256) << 20 : size_t(1) << 30;

struct Region {
    uintptr_t base = 0;    // the mapping, guard page included
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
std::map<uintptr_t, Region> regions; // by base
std::deque<uintptr_t> quarantine;    // bases of freed regions, oldest first
size_t quarantinedBytes = 0;
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
        specialMutex.unlock();
        if (region != nullptr)
            ReportFault(copy, address, access);
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

} // namespace

void ConfigureSpecialPool(SpecialPoolGuard guard) {
    const char* forced = std::getenv("KORVAX_SPECIAL_POOL");
    if (forced != nullptr && std::strcmp(forced, "start") == 0)
        guard = SpecialPoolGuard::Start;
    std::lock_guard<std::mutex> lock(specialMutex);
    guardSide = guard;
}

void* SpecialAllocate(size_t size, SpecialKind kind, ULONG tag) {
    InstallFaultHandler();
    const size_t page = PageSize();
    const size_t dataPages = std::max<size_t>(1, (size + page - 1) / page);
    const size_t length = (dataPages + 1) * page;
    void* mapping =
        mmap(nullptr, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapping == MAP_FAILED)
        return nullptr;
    Region region;
    region.base = reinterpret_cast<uintptr_t>(mapping);
    region.length = length;
    region.size = size;
    region.tag = tag;
    region.kind = kind;
    bool guardFirst;
    {
        std::lock_guard<std::mutex> lock(specialMutex);
        guardFirst = guardSide == SpecialPoolGuard::Start;
    }
    region.data = region.base + (guardFirst ? page : 0);
    region.dataEnd = region.data + dataPages * page;
    if (mprotect(reinterpret_cast<void*>(region.data), dataPages * page, PROT_READ | PROT_WRITE) !=
        0) {
        munmap(mapping, length);
        return nullptr;
    }
    const size_t rounded = (size + PoolAlignment - 1) & ~(PoolAlignment - 1);
    region.block = guardFirst || size >= page ? region.data : region.dataEnd - rounded;
    std::memset(reinterpret_cast<void*>(region.data), SlackPattern, region.block - region.data);
    std::memset(reinterpret_cast<void*>(region.block + size), SlackPattern,
                region.dataEnd - (region.block + size));
    std::lock_guard<std::mutex> lock(specialMutex);
    regions[region.base] = region;
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
    {
        std::lock_guard<std::mutex> lock(specialMutex);
        // A fresh inaccessible mapping in place gives the pages back and keeps the
        // addresses reserved.
        mmap(reinterpret_cast<void*>(region.base), region.length, PROT_NONE,
             MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0);
        regions[region.base].freed = true;
        quarantine.push_back(region.base);
        quarantinedBytes += region.length;
        while (quarantine.size() > QuarantineBlocks || quarantinedBytes > QuarantineBytes) {
            auto oldest = regions.find(quarantine.front());
            quarantine.pop_front();
            quarantinedBytes -= oldest->second.length;
            munmap(reinterpret_cast<void*>(oldest->first), oldest->second.length);
            regions.erase(oldest);
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
    for (const auto& entry : regions)
        munmap(reinterpret_cast<void*>(entry.first), entry.second.length);
    regions.clear();
    quarantine.clear();
    quarantinedBytes = 0;
}

} // namespace kx::detail
