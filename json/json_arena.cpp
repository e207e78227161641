#include "json/json_arena.h"

#include <cstdlib>
#include <mutex>
#include <new>

namespace json {

namespace {

// Blocks of arenas that are gone, kept (up to 1 MiB) for the next arena: a program that
// parses page after page then does not give its memory back to the system only to have it
// faulted in and cleared again for the next page. Plain statics with nothing to destroy, so
// an arena freed late in the exit of the program still finds them.
constexpr size_t kSpareBlocks = 32;
constinit std::mutex gSpareLock;
void* gSpares[kSpareBlocks];
size_t gSpareCount = 0;

void* NewBlock() {
  {
    std::lock_guard<std::mutex> hold(gSpareLock);
    if (gSpareCount > 0) return gSpares[--gSpareCount];
  }
  void* raw = std::aligned_alloc(TJsonArena::kBlockSize, TJsonArena::kBlockSize);
  if (raw == nullptr) throw std::bad_alloc();
  return raw;
}

void FreeBlock(void* block) {
  {
    std::lock_guard<std::mutex> hold(gSpareLock);
    if (gSpareCount < kSpareBlocks) {
      gSpares[gSpareCount++] = block;
      return;
    }
  }
  std::free(block);
}

}  // namespace

TJsonArena* TJsonArena::Create() {
  void* raw = NewBlock();
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

void* TJsonArena::AllocateInNewBlock(size_t size, size_t align, TLane lane) {
  if (size > kMaxPiece) return nullptr;
  void* raw = NewBlock();
  auto* block = static_cast<TBlock*>(raw);
  block->Arena = this;
  block->Next = FBlocks;
  FBlocks = block;
  FEnd[lane] = static_cast<char*>(raw) + kBlockSize;
  const auto at = (reinterpret_cast<uintptr_t>(raw) + sizeof(TBlock) + align - 1) & ~(align - 1);
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
    FreeBlock(block);
    block = next;
  }
}

}  // namespace json
