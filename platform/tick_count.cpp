#include "platform/tick_count.h"

#include <atomic>
#include <ctime>

namespace platform {
namespace {
std::atomic<DWORD> gTickOffset{0};
}  // namespace

std::uint64_t GetTickCount64() {
  timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
         static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

DWORD GetTickCount() {
  return static_cast<DWORD>(GetTickCount64()) + gTickOffset.load(std::memory_order_relaxed);
}

DWORD TicksSince(DWORD earlier) { return TicksBetween(earlier, GetTickCount()); }

void SetTickCountOffsetForTesting(DWORD offset) {
  gTickOffset.store(offset, std::memory_order_relaxed);
}

}  // namespace platform
