#pragma once
// The memory a large parse builds its tree in. Values, member entries and names, tables,
// arrays and string texts are carved one after another from fixed-size blocks and never
// freed one by one, so building a tree costs a pointer bump per piece and the tree's pieces
// lie together in the order they are read.
//
// Every value keeps its own reference count, and a handle to a member may outlive the
// document's root. So the arena counts the values carved from it that are still alive and
// gives its blocks back when the last of them goes; until then a lone surviving member keeps
// the whole arena.

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace json {

class TJsonArena {
 public:
  // Blocks are aligned to their size, so the arena of any piece is found from its address.
  static constexpr size_t kBlockSize = 32 * 1024;
  // Larger pieces come from the general heap.
  static constexpr size_t kMaxPiece = 4 * 1024;

  // A new arena, held by its builder until EndBuild.
  static TJsonArena* Create();
  // The arena whose block holds `piece` (a piece this arena handed out).
  static TJsonArena* Of(const void* piece) {
    return *reinterpret_cast<TJsonArena* const*>(reinterpret_cast<uintptr_t>(piece) & ~(kBlockSize - 1));
  }

  // Pieces are carved in two lanes, each from blocks of its own: member entries in one, so
  // that the entries of an object lie together (a lookup or an insert touches a few cache
  // lines instead of one per step), everything else in the other.
  enum TLane { kValues = 0, kEntries = 1 };

  // `size` bytes aligned to `align` (at most 16), or null when size > kMaxPiece.
  // The common case, a piece that fits the lane's current block, is inline: a parse
  // carves a few pieces for every value it reads.
  void* Allocate(size_t size, size_t align = 8, TLane lane = kValues) {
    const auto at = (reinterpret_cast<uintptr_t>(FCursor[lane]) + align - 1) & ~(align - 1);
    if (size > kMaxPiece || FCursor[lane] == nullptr || at + size > reinterpret_cast<uintptr_t>(FEnd[lane]))
      return AllocateInNewBlock(size, align, lane);
    FCursor[lane] = reinterpret_cast<char*>(at + size);
    return reinterpret_cast<void*>(at);
  }
  // A value was carved from the arena. Only the builder calls this, before anyone else can
  // hold one of its values, so no atomic operation is needed.
  void AddValue() { ++FMade; }
  // The builder lets go. The arena is freed now when no value made in it is alive.
  void EndBuild();
  // `count` values carved from the arena are gone; the last one frees the arena.
  void DropValues(int64_t count);

 private:
  struct TBlock {
    TJsonArena* Arena;  // first in every block: what Of() reads
    TBlock* Next;
  };
  TJsonArena() = default;
  // Allocate when the piece does not fit the current block (or is too large: null).
  void* AllocateInNewBlock(size_t size, size_t align, TLane lane);
  void Free();

  // While the builder holds the arena the count starts from this bias, which no run of drops
  // can use up; EndBuild trades it for the number of values made.
  static constexpr int64_t kBuilding = int64_t{1} << 62;
  std::atomic<int64_t> FLive{kBuilding};
  int64_t FMade = 0;
  TBlock* FBlocks = nullptr;  // of both lanes
  char* FCursor[2] = {nullptr, nullptr};
  char* FEnd[2] = {nullptr, nullptr};
};

}  // namespace json
