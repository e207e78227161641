#include "json/json_member_table.h"

#include <algorithm>
#include <cassert>
#include <vector>

#include "json/json_arena.h"
#include "json/json_pool.h"
#include "json/json_value.h"

namespace json {

namespace {

// -1: `hash`/`name` belongs on the less side of `entry`; +1: the greater side; 0: same name.
// A greater hash goes to the less side, so a walk from the less end sees descending hashes.
inline int CompareKey(uint32_t hash, std::u16string_view name, const TJsonAvlEntry* entry) {
  const TJsonName* n = entry->NameBlock();
  if (hash != n->Hash) return hash > n->Hash ? -1 : 1;
  const int c = name.compare(n->Text());  // code unit by code unit, unsigned
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

// Restores balance at `y`, whose balance is +2 or -2, by a single or double rotation. Returns
// the new subtree root; `heightChanged` tells whether the subtree became one level lower
// than it was before the rotation (false only when the heavy child was balanced, which
// happens on delete).
TJsonAvlNode* Rotate(TJsonAvlNode* y, bool& heightChanged) {
  const int h = y->Balance() > 0 ? 1 : 0;  // heavy side
  const int sgn = h ? 1 : -1;
  TJsonAvlNode* x = y->Child[h];
  if (x->Balance() * sgn >= 0) {
    // Single rotation: x moves up, y becomes its child on the light side.
    y->Child[h] = x->Child[!h];
    x->Child[!h] = y;
    if (x->Balance() == 0) {
      x->SetBalance(-sgn);
      y->SetBalance(sgn);
      heightChanged = false;
    } else {
      x->SetBalance(0);
      y->SetBalance(0);
      heightChanged = true;
    }
    return x;
  }
  // Double rotation through w, x's child on the light side.
  TJsonAvlNode* w = x->Child[!h];
  x->Child[!h] = w->Child[h];
  w->Child[h] = x;
  y->Child[h] = w->Child[!h];
  w->Child[!h] = y;
  if (w->Balance() == sgn) {
    y->SetBalance(-sgn);
    x->SetBalance(0);
  } else if (w->Balance() == 0) {
    y->SetBalance(0);
    x->SetBalance(0);
  } else {
    x->SetBalance(sgn);
    y->SetBalance(0);
  }
  w->SetBalance(0);
  heightChanged = true;
  return w;
}

}  // namespace

TJsonName* TJsonName::Make(std::u16string_view text, uint32_t hash, TJsonArena* arena) {
  const size_t size = sizeof(TJsonName) + text.size() * sizeof(char16_t);
  void* at = arena ? arena->Allocate(size, alignof(TJsonName) > 8 ? alignof(TJsonName) : 8) : nullptr;
  const bool heap = at == nullptr;
  if (heap) at = ::operator new(size);  // 16-aligned: the low bits stay free for the balance
  auto* name = static_cast<TJsonName*>(at);
  name->Hash = hash;
  name->Length = static_cast<uint32_t>(text.size());
  name->Heap = heap;
  name->Next = nullptr;
  std::copy(text.begin(), text.end(), const_cast<char16_t*>(name->Units()));
  return name;
}

TJsonAvlEntry* TJsonAvlEntry::Create(std::u16string_view name, IJsonValue value) {
  return new TJsonAvlEntry(TJsonName::Make(name, NameHash(name), nullptr), std::move(value));
}

void TJsonAvlEntry::Dispose(TJsonAvlEntry* entry) noexcept {
  const TJsonName* name = entry->NameBlock();
  if (name->Heap) {
    delete entry;  // releases the value
    ::operator delete(const_cast<TJsonName*>(name));
  } else {
    entry->~TJsonAvlEntry();  // the memory stays with the arena
  }
}

void* TJsonAvlEntry::operator new(size_t) { return pool::TFixedPool<sizeof(TJsonAvlEntry)>::Allocate(); }
void TJsonAvlEntry::operator delete(void* p) noexcept { pool::TFixedPool<sizeof(TJsonAvlEntry)>::Free(p); }

uint32_t TJsonAvlEntry::NameHash(std::u16string_view name) {
  uint32_t h = 0;
  for (char16_t c : name) h = (h << 7) + h + static_cast<uint32_t>(c) + 0x9E370001u;
  return h;
}

TJsonAvlEntry* TJsonMemberTable::Insert(TJsonAvlEntry* entry) {
  entry->Child[0] = entry->Child[1] = nullptr;
  entry->SetBalance(0);
  if (FHead.Child[0] == nullptr) {
    FHead.Child[0] = entry;
    ++FCount;
    return entry;
  }
  // y: the last node on the way with a non-zero balance (where rebalancing may be needed),
  // z: its parent; dirs[] records the way down from y.
  TJsonAvlNode* z = &FHead;
  TJsonAvlNode* y = FHead.Child[0];
  TJsonAvlNode* q = z;
  TJsonAvlNode* p = y;
  unsigned char dirs[kAvlMaxHeight];
  int k = 0;
  int dir = 0;
  while (p != nullptr) {
    const int cmp = CompareKey(entry->Hash(), entry->Name(), static_cast<TJsonAvlEntry*>(p));
    if (cmp == 0) {
      // Same name: the member keeps its place and takes the new value; the spare entry
      // leaves with the old value.
      auto* existing = static_cast<TJsonAvlEntry*>(p);
      std::swap(existing->Value, entry->Value);
      DropEntry(entry, false);
      return existing;
    }
    if (p->Balance() != 0) {
      z = q;
      y = p;
      k = 0;
    }
    dir = cmp > 0 ? 1 : 0;
    assert(k < kAvlMaxHeight);
    dirs[k++] = static_cast<unsigned char>(dir);
    q = p;
    p = p->Child[dir];
  }
  q->Child[dir] = entry;
  ++FCount;
  k = 0;
  for (p = y; p != entry; p = p->Child[dirs[k]], ++k) p->SetBalance(p->Balance() + (dirs[k] ? 1 : -1));
  if (y->Balance() == 2 || y->Balance() == -2) {
    bool heightChanged;
    TJsonAvlNode* w = Rotate(y, heightChanged);
    z->Child[y == z->Child[0] ? 0 : 1] = w;
  }
  return entry;
}

TJsonAvlEntry* TJsonMemberTable::Search(std::u16string_view name) const {
  const uint32_t hash = TJsonAvlEntry::NameHash(name);
  auto* p = static_cast<TJsonAvlEntry*>(FHead.Child[0]);
  while (p != nullptr) {
    const int cmp = CompareKey(hash, name, p);
    if (cmp == 0) return p;
    p = static_cast<TJsonAvlEntry*>(p->Child[cmp > 0 ? 1 : 0]);
  }
  return nullptr;
}

IJsonValue TJsonMemberTable::Delete(std::u16string_view name) {
  const uint32_t hash = TJsonAvlEntry::NameHash(name);
  TJsonAvlNode* path[kAvlMaxHeight + 1];
  unsigned char dirs[kAvlMaxHeight + 1];
  int k = 0;
  path[k] = &FHead;
  dirs[k++] = 0;
  TJsonAvlNode* p = FHead.Child[0];
  for (;;) {
    if (p == nullptr) return nullptr;
    const int cmp = CompareKey(hash, name, static_cast<TJsonAvlEntry*>(p));
    if (cmp == 0) break;
    const int dir = cmp > 0 ? 1 : 0;
    assert(k < kAvlMaxHeight);
    path[k] = p;
    dirs[k++] = static_cast<unsigned char>(dir);
    p = p->Child[dir];
  }
  // p is to go; an inner node is replaced by its in-order neighbour from its heavier side.
  const int d = p->Balance() < 0 ? 0 : 1;
  if (p->Child[d] == nullptr) {
    // Only possible for a leaf or a node whose single child is on the other side.
    path[k - 1]->Child[dirs[k - 1]] = p->Child[!d];
  } else {
    TJsonAvlNode* r = p->Child[d];
    if (r->Child[!d] == nullptr) {
      r->Child[!d] = p->Child[!d];
      r->SetBalance(p->Balance());
      path[k - 1]->Child[dirs[k - 1]] = r;
      dirs[k] = static_cast<unsigned char>(d);
      path[k++] = r;
    } else {
      TJsonAvlNode* s;
      const int j = k++;
      for (;;) {
        dirs[k] = static_cast<unsigned char>(!d);
        path[k++] = r;
        s = r->Child[!d];
        if (s->Child[!d] == nullptr) break;
        r = s;
      }
      s->Child[!d] = p->Child[!d];
      r->Child[!d] = s->Child[d];
      s->Child[d] = p->Child[d];
      s->SetBalance(p->Balance());
      path[j - 1]->Child[dirs[j - 1]] = s;
      dirs[j] = static_cast<unsigned char>(d);
      path[j] = s;
    }
  }
  // Walk back up: the subtree on side dirs[k] of path[k] became one level lower.
  while (--k > 0) {
    TJsonAvlNode* y = path[k];
    y->SetBalance(y->Balance() + (dirs[k] == 0 ? 1 : -1));
    if (y->Balance() == 1 || y->Balance() == -1) break;  // height unchanged
    if (y->Balance() != 0) {
      bool heightChanged;
      TJsonAvlNode* w = Rotate(y, heightChanged);
      path[k - 1]->Child[dirs[k - 1]] = w;
      if (!heightChanged) break;
    }
  }
  auto* gone = static_cast<TJsonAvlEntry*>(p);
  IJsonValue value = std::move(gone->Value);
  DropEntry(gone, false);
  --FCount;
  return value;
}

void TJsonMemberTable::Put(std::u16string_view name, IJsonValue value) {
  Insert(TJsonAvlEntry::Create(name, std::move(value)));
}

IJsonValue TJsonMemberTable::Get(std::u16string_view name) const {
  TJsonAvlEntry* e = Search(name);
  return e ? e->Value : IJsonValue();
}

TJsonValue* TJsonMemberTable::Find(std::u16string_view name) const {
  TJsonAvlEntry* e = Search(name);
  return e ? e->Value.Get() : nullptr;
}

void TJsonMemberTable::DropEntry(TJsonAvlEntry* entry, bool all) {
  if (all && entry->Value) entry->Value->Wipe(true);
  TJsonAvlEntry::Dispose(entry);  // releases the value
}

void TJsonMemberTable::Wipe(bool all) {
  // Right rotations turn the tree into a list along the greater links, which is then freed
  // front to back: no recursion and no extra memory.
  TJsonAvlNode* node = FHead.Child[0];
  FHead.Child[0] = nullptr;
  FCount = 0;
  while (node != nullptr) {
    if (TJsonAvlNode* less = node->Child[0]) {
      node->Child[0] = less->Child[1];
      less->Child[1] = node;
      node = less;
    } else {
      TJsonAvlNode* next = node->Child[1];
      DropEntry(static_cast<TJsonAvlEntry*>(node), all);
      node = next;
    }
  }
}

void TJsonMemberTable::ReleaseAll() {
  // Every node on the stack has its subtrees still attached; at most one node per level
  // waits there, besides the one being taken apart.
  TJsonAvlNode* stack[kAvlMaxHeight + 2];
  int n = 0;
  if (FHead.Child[0] != nullptr) stack[n++] = FHead.Child[0];
  FHead.Child[0] = nullptr;
  FCount = 0;
  while (n > 0) {
    TJsonAvlNode* node = stack[--n];
    // Entries lie in the order they were read, not in tree order: ask for the children's
    // memory before it is needed, so a big tree's walk is not one cache miss after another.
    for (TJsonAvlNode* child : node->Child) {
      if (child == nullptr) continue;
      __builtin_prefetch(child);
      stack[n++] = child;
    }
    TJsonAvlEntry::Dispose(static_cast<TJsonAvlEntry*>(node));
  }
}

void TJsonMemberTable::Compact(bool all) {
  std::vector<std::u16string> empty;
  std::vector<IJsonValue> kept;
  TJsonAvlIterator it(this);
  for (it.MoveToFirst(); TJsonAvlEntry* e = it.CurrentEntry(); it.MoveToNext()) {
    if (!e->Value)
      empty.emplace_back(e->Name());
    else if (all)
      kept.push_back(e->Value);
  }
  for (const auto& name : empty) Delete(name);
  for (const auto& v : kept) v->Compact(true);
}

void TJsonAvlIterator::MoveToFirst() {
  FDepth = -1;
  for (auto* e = FTree->Root(); e != nullptr; e = e->Less()) FPath[++FDepth] = e;
}

void TJsonAvlIterator::MoveToNext() {
  if (FDepth < 0) return;
  TJsonAvlEntry* e = FPath[FDepth--];
  for (e = e->Greater(); e != nullptr; e = e->Less()) FPath[++FDepth] = e;
}

}  // namespace json
