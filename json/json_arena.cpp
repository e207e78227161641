#include "json/json_arena.h"

#include <cstdlib>
#include <new>

namespace json {

TJsonArena* TJsonArena::Create() {
  void* raw = std::aligned_alloc(kBlockSize, kBlockSize);
  if (raw == nullptr) throw std::bad_alloc();
  auto* block = static_cast<TBlock*>(raw);
  char* cursor = static_cast<char*>(raw) + sizeof(TBlock);
  auto* arena = new (cursor) TJsonArena();
  block->Arena = arena;
  block->Next = nullptr;
  arena->FBlocks = block;
  arena->FCursor[kValues] = cursor + sizeof(TJsonArena);
  arena->FEnd[kValues] = static_cast<char*>(raw) + kBlockSize;
  return arena;
}

void* TJsonArena::Allocate(size_t size, size_t align, TLane lane) {
  if (size > kMaxPiece) return nullptr;
  auto at = (reinterpret_cast<uintptr_t>(FCursor[lane]) + align - 1) & ~(align - 1);
  if (FCursor[lane] == nullptr || at + size > reinterpret_cast<uintptr_t>(FEnd[lane])) {
    void* raw = std::aligned_alloc(kBlockSize, kBlockSize);
    if (raw == nullptr) throw std::bad_alloc();
    auto* block = static_cast<TBlock*>(raw);
    block->Arena = this;
    block->Next = FBlocks;
    FBlocks = block;
    FEnd[lane] = static_cast<char*>(raw) + kBlockSize;
    at = (reinterpret_cast<uintptr_t>(raw) + sizeof(TBlock) + align - 1) & ~(align - 1);
  }
  FCursor[lane] = reinterpret_cast<char*>(at + size);
  return reinterpret_cast<void*>(at);
}

void TJsonArena::EndBuild() { DropValues(kBuilding - FMade); }

void TJsonArena::DropValues(int64_t count) {
  if (FLive.fetch_sub(count, std::memory_order_acq_rel) == count) Free();
}

void TJsonArena::Free() {
  // The arena itself lives in the first block made, which is the last in the list.
  TBlock* block = FBlocks;
  this->~TJsonArena();
  while (block != nullptr) {
    TBlock* next = block->Next;
    std::free(block);
    block = next;
  }
}

}  // namespace json
