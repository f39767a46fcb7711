// Special pool: the memory behind driver pool, IRPs and the I/O manager's system
// buffers, laid out as Driver Verifier's special pool lays out a verified driver's
// allocations, so that overruns, underruns and uses after free fault where they
// happen, in every build (no AddressSanitizer needed).
#pragma once

#include "internal.h"

#include <cstddef>

namespace kx::detail {

// What a block holds, for the verifier's message when it is misused.
enum class SpecialKind { Pool, Irp, SystemBuffer };

// Which side of the block the inaccessible guard page is on. End: the block ends
// where its pages end (overruns fault). Start: the block begins where its pages
// begin (underruns fault). Set at boot (KernelOptions::specialPool).
void ConfigureSpecialPool(SpecialPoolGuard guard);

// A new block of `size` bytes (its contents undefined), or null when no address
// space is left. The tag is shown in findings.
void* SpecialAllocate(size_t size, SpecialKind kind, ULONG tag);
// Gives back a block SpecialAllocate returned, that is live: its pages become
// inaccessible at once and its addresses are not handed out again until the
// bounded quarantine recycles them (the oldest first). Bytes of its pages outside
// the block that were written are reported (the bug check special pool raises).
void SpecialFree(void* block);
// True when `block` is the start of a block of that kind that was freed and is
// still in the quarantine (a second free of it is a double free).
bool SpecialQuarantined(const void* block, SpecialKind kind);
// Unmaps every block, live or quarantined (kernel reset).
void ResetSpecialPool();

} // namespace kx::detail
