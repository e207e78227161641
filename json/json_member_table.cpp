#include "json/json_member_table.h"

#include <cassert>
#include <vector>

#include "json/json_pool.h"
#include "json/json_value.h"

namespace json {

namespace {

// -1: `hash`/`name` belongs on the less side of `entry`; +1: the greater side; 0: same name.
// A greater hash goes to the less side, so a walk from the less end sees descending hashes.
inline int CompareKey(uint32_t hash, std::u16string_view name, const TJsonAvlEntry* entry) {
  if (hash != entry->Hash) return hash > entry->Hash ? -1 : 1;
  int c = name.compare(std::u16string_view(entry->Name));  // code unit by code unit, unsigned
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

// Restores balance at `y`, whose balance is +2 or -2, by a single or double rotation. Returns
// the new subtree root; `heightChanged` tells whether the subtree became one level lower
// than it was before the rotation (false only when the heavy child was balanced, which
// happens on delete).
TJsonAvlNode* Rotate(TJsonAvlNode* y, bool& heightChanged) {
  const int h = y->Balance > 0 ? 1 : 0;  // heavy side
  const int sgn = h ? 1 : -1;
  TJsonAvlNode* x = y->Child[h];
  if (x->Balance * sgn >= 0) {
    // Single rotation: x moves up, y becomes its child on the light side.
    y->Child[h] = x->Child[!h];
    x->Child[!h] = y;
    if (x->Balance == 0) {
      x->Balance = -sgn;
      y->Balance = sgn;
      heightChanged = false;
    } else {
      x->Balance = 0;
      y->Balance = 0;
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
  if (w->Balance == sgn) {
    y->Balance = -sgn;
    x->Balance = 0;
  } else if (w->Balance == 0) {
    y->Balance = 0;
    x->Balance = 0;
  } else {
    x->Balance = sgn;
    y->Balance = 0;
  }
  w->Balance = 0;
  heightChanged = true;
  return w;
}

}  // namespace

TJsonAvlEntry::TJsonAvlEntry(std::u16string name, IJsonValue value)
    : Hash(NameHash(name)), Name(std::move(name)), Value(std::move(value)) {}

void* TJsonAvlEntry::operator new(size_t) { return pool::TFixedPool<sizeof(TJsonAvlEntry)>::Allocate(); }
void TJsonAvlEntry::operator delete(void* p) noexcept { pool::TFixedPool<sizeof(TJsonAvlEntry)>::Free(p); }

uint32_t TJsonAvlEntry::NameHash(std::u16string_view name) {
  uint32_t h = 0;
  for (char16_t c : name) h = (h << 7) + h + static_cast<uint32_t>(c) + 0x9E370001u;
  return h;
}

TJsonAvlEntry* TJsonMemberTable::Insert(TJsonAvlEntry* entry) {
  entry->Child[0] = entry->Child[1] = nullptr;
  entry->Balance = 0;
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
    const int cmp = CompareKey(entry->Hash, entry->Name, static_cast<TJsonAvlEntry*>(p));
    if (cmp == 0) {
      // Same name: the member keeps its place and takes the new value; the spare entry
      // leaves with the old value.
      auto* existing = static_cast<TJsonAvlEntry*>(p);
      std::swap(existing->Value, entry->Value);
      DropEntry(entry, false);
      return existing;
    }
    if (p->Balance != 0) {
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
  for (p = y; p != entry; p = p->Child[dirs[k]], ++k) p->Balance += dirs[k] ? 1 : -1;
  if (y->Balance == 2 || y->Balance == -2) {
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
  const int d = p->Balance < 0 ? 0 : 1;
  if (p->Child[d] == nullptr) {
    // Only possible for a leaf or a node whose single child is on the other side.
    path[k - 1]->Child[dirs[k - 1]] = p->Child[!d];
  } else {
    TJsonAvlNode* r = p->Child[d];
    if (r->Child[!d] == nullptr) {
      r->Child[!d] = p->Child[!d];
      r->Balance = p->Balance;
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
      s->Balance = p->Balance;
      path[j - 1]->Child[dirs[j - 1]] = s;
      dirs[j] = static_cast<unsigned char>(d);
      path[j] = s;
    }
  }
  // Walk back up: the subtree on side dirs[k] of path[k] became one level lower.
  while (--k > 0) {
    TJsonAvlNode* y = path[k];
    y->Balance += dirs[k] == 0 ? 1 : -1;
    if (y->Balance == 1 || y->Balance == -1) break;  // height unchanged
    if (y->Balance != 0) {
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

void TJsonMemberTable::Put(std::u16string name, IJsonValue value) {
  Insert(new TJsonAvlEntry(std::move(name), std::move(value)));
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
  delete entry;  // releases the value
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

void TJsonMemberTable::Compact(bool all) {
  std::vector<std::u16string> empty;
  std::vector<IJsonValue> kept;
  TJsonAvlIterator it(this);
  for (it.MoveToFirst(); TJsonAvlEntry* e = it.CurrentEntry(); it.MoveToNext()) {
    if (!e->Value)
      empty.push_back(e->Name);
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
