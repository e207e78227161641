// Millisecond tick counts from the monotonic clock.
#pragma once

#include <cstdint>

#include "platform/win_types.h"

namespace platform {

// Milliseconds since an arbitrary start, as a 32-bit count that wraps about every 49.7 days.
// Compare two counts only by unsigned difference (`TicksBetween`), never with `<`.
DWORD GetTickCount();

// The same clock without wrapping.
std::uint64_t GetTickCount64();

// Milliseconds from `earlier` to `later`, correct across one wrap of the 32-bit count.
constexpr DWORD TicksBetween(DWORD earlier, DWORD later) { return later - earlier; }

// Milliseconds since `earlier` (GetTickCount() - earlier, wrap-safe).
DWORD TicksSince(DWORD earlier);

// Test hook: shifts what GetTickCount returns by `offset` (mod 2^32), so tests can put the
// count just below the wrap. GetTickCount64 is not shifted. Process-wide; 0 restores.
void SetTickCountOffsetForTesting(DWORD offset);

}  // namespace platform
