#pragma once
// The members of a JSON object: a height-balanced search tree keyed by a 32-bit hash of the
// name and then by the name. A walk from the less end yields members by descending hash and,
// for equal hashes, by ascending name; that is the order in which objects are written, merged
// and copied. Insert, delete, wipe and the iterator are iterative with fixed-size bookkeeping,
// so no tree operation recurses or allocates beyond the entries themselves.

#include <cstdint>
#include <string>
#include <string_view>

#include "json/json_types.h"

static_assert(sizeof(void*) == 8, "member entries pack the balance into an 8-byte-aligned name pointer");

namespace json {

class TJsonArena;

// A member name. The entries a parse makes share one name per distinct text (they live in
// the parse's arena); an entry made any other way owns a name of its own on the heap.
struct TJsonName {
  uint32_t Hash;    // NameHash of the text, computed once
  uint32_t Length;  // code units
  bool Heap;        // owned by one entry, freed with it
  // The name that followed this one the last time the parse met it (objects of one shape
  // repeat their names in one order): the parse checks it before it hashes and searches.
  const TJsonName* Next;
  const char16_t* Units() const { return reinterpret_cast<const char16_t*>(this + 1); }
  std::u16string_view Text() const { return {Units(), Length}; }

  // A name block for `text` in `arena`, or on the heap (Heap set) when `arena` is null.
  static TJsonName* Make(std::u16string_view text, uint32_t hash, TJsonArena* arena);
};

// The links and balance of one tree node. The table's head is a bare node whose less child
// is the root, which lets insert and delete treat the root like any other child.
struct TJsonAvlNode {
  // Child[0] is the less child (precedes this entry in walk order), Child[1] the greater one.
  TJsonAvlNode* Child[2] = {nullptr, nullptr};
  // Height of the greater subtree minus height of the less subtree: -1, 0 or 1 between
  // operations, +-2 for a moment while insert and delete rebalance.
  int Balance() const { return static_cast<int>(FTagged & kBalanceMask) - 2; }
  void SetBalance(int balance) { FTagged = (FTagged & ~kBalanceMask) | static_cast<uintptr_t>(balance + 2); }

 protected:
  // An entry's name pointer, with balance + 2 in the three low bits that the 8-byte
  // alignment of names leaves free: this keeps an entry at four words.
  static constexpr uintptr_t kBalanceMask = 7;
  uintptr_t FTagged = 2;
};

// One member.
struct TJsonAvlEntry : TJsonAvlNode {
  TJsonAvlEntry(const TJsonName* name, IJsonValue value) : Value(std::move(value)) {
    FTagged = reinterpret_cast<uintptr_t>(name) | 2;
  }
  // An entry and its own name on the heap.
  static TJsonAvlEntry* Create(std::u16string_view name, IJsonValue value);
  // Frees an entry made by Create; an arena entry only lets its value go.
  static void Dispose(TJsonAvlEntry* entry) noexcept;
  static void* operator new(size_t size);
  static void* operator new(size_t, void* at) noexcept { return at; }
  static void operator delete(void* p) noexcept;

  static uint32_t NameHash(std::u16string_view name);

  const TJsonName* NameBlock() const { return reinterpret_cast<const TJsonName*>(FTagged & ~kBalanceMask); }
  std::u16string_view Name() const { return NameBlock()->Text(); }
  uint32_t Hash() const { return NameBlock()->Hash; }
  TJsonAvlEntry* Less() const { return static_cast<TJsonAvlEntry*>(Child[0]); }
  TJsonAvlEntry* Greater() const { return static_cast<TJsonAvlEntry*>(Child[1]); }

  IJsonValue Value;  // may be absent
};

// The deepest path a tree of 2^31 entries can need (an AVL tree's height stays below
// 1.45 log2 n); insert, delete and the iterator size their fixed path arrays by it.
inline constexpr int kAvlMaxHeight = 64;

class TJsonMemberTable {
 public:
  TJsonMemberTable() = default;
  ~TJsonMemberTable() { ReleaseAll(); }
  TJsonMemberTable(const TJsonMemberTable&) = delete;
  TJsonMemberTable& operator=(const TJsonMemberTable&) = delete;

  // Adds `entry` (taking ownership) or, when its name is present, moves its value into the
  // existing entry (which keeps its place) and frees `entry` with the old value. Returns the
  // entry that holds the name afterwards.
  TJsonAvlEntry* Insert(TJsonAvlEntry* entry);
  // The entry with exactly this name, or null.
  TJsonAvlEntry* Search(std::u16string_view name) const;
  // Removes the entry with this name and returns its value (none when there is no such entry).
  IJsonValue Delete(std::u16string_view name);

  // Puts `value` under `name`, replacing (and releasing) an earlier value of that name.
  void Put(std::u16string_view name, IJsonValue value);
  // The value under `name`, or none.
  IJsonValue Get(std::u16string_view name) const;
  // Fast read access for callers that do not keep the value: null when absent.
  TJsonValue* Find(std::u16string_view name) const;
  // Removes every member; with `all` every member value is wiped first.
  void Wipe(bool all);
  // Removes every member, taking the tree apart without keeping it in order on the way:
  // the quick end of a table that is going away.
  void ReleaseAll();
  // Drops the members whose value is absent; with `all` the remaining values are compacted.
  void Compact(bool all);
  int32_t Count() const { return FCount; }
  TJsonAvlEntry* Root() const { return static_cast<TJsonAvlEntry*>(FHead.Child[0]); }

 private:
  void DropEntry(TJsonAvlEntry* entry, bool all);

  TJsonAvlNode FHead;  // FHead.Child[0] is the root
  int32_t FCount = 0;
};

// Walks a table in order. Invalid once the table changes; must not outlive it.
class TJsonAvlIterator {
 public:
  explicit TJsonAvlIterator(const TJsonMemberTable* tree) : FTree(tree) {}
  // Positions on the least entry (or on nothing for an empty tree).
  void MoveToFirst();
  // The entry the iterator stands on, or null.
  TJsonAvlEntry* CurrentEntry() const { return FDepth < 0 ? nullptr : FPath[FDepth]; }
  void MoveToNext();

 private:
  const TJsonMemberTable* FTree;
  int32_t FDepth = -1;
  // FPath[0..FDepth] are the entries above and at the current one that are still to be
  // visited or are being visited: each one's less subtree is done.
  TJsonAvlEntry* FPath[kAvlMaxHeight];
};

}  // namespace json
