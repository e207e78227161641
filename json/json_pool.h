#pragma once
// Fixed-size cells for values and member entries made one by one (small parses, paths,
// values a program creates; large parses build in an arena instead). Freed cells go to a
// per-thread list and are reused; the blocks they come from are kept for the life of the
// process. This spares the general heap the churn of many small objects made and dropped.
//
// Under AddressSanitizer the cells come from the general heap, so that use after free and
// leaks of values stay visible to it.

#include <cstddef>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define TAMVIREL_JSON_POOL 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAMVIREL_JSON_POOL 0
#endif
#endif
#ifndef TAMVIREL_JSON_POOL
#define TAMVIREL_JSON_POOL 1
#endif

namespace json::pool {

template <size_t CellSize>
class TFixedPool {
 public:
  static void* Allocate() {
#if TAMVIREL_JSON_POOL
    if (TCell* c = tFree) {
      tFree = c->Next;
      return c;
    }
    return Refill();
#else
    return ::operator new(CellSize);
#endif
  }

  static void Free(void* p) noexcept {
#if TAMVIREL_JSON_POOL
    auto* c = static_cast<TCell*>(p);
    c->Next = tFree;
    tFree = c;
#else
    ::operator delete(p);
#endif
  }

 private:
  struct TCell {
    TCell* Next;
  };
  static constexpr size_t kCell = (CellSize + alignof(std::max_align_t) - 1) / alignof(std::max_align_t) *
                                  alignof(std::max_align_t);
  static constexpr size_t kBlockCells = 1024;

  static void* Refill() {
    // The block is never returned: its cells circulate through the free lists.
    char* block = static_cast<char*>(::operator new(kCell * kBlockCells));
    for (size_t i = 1; i < kBlockCells; ++i) {
      auto* c = reinterpret_cast<TCell*>(block + i * kCell);
      c->Next = tFree;
      tFree = c;
    }
    return block;
  }

  static inline thread_local TCell* tFree = nullptr;
};

}  // namespace json::pool
