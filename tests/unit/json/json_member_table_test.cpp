// The member table: hash, walk order, replacement, balance after inserts and deletes.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <tuple>
#include <vector>

#include "json/json_member_table.h"
#include "json/json_value.h"

using namespace json;

namespace {

// Height of the subtree; fails the test when a balance field is wrong or out of range.
int CheckedHeight(const TJsonAvlEntry* e, int& entries) {
  if (e == nullptr) return 0;
  ++entries;
  const int less = CheckedHeight(e->Less(), entries);
  const int greater = CheckedHeight(e->Greater(), entries);
  EXPECT_EQ(greater - less, e->Balance()) << "at " << std::string(e->Name().begin(), e->Name().end());
  EXPECT_LE(std::abs(greater - less), 1);
  return 1 + std::max(less, greater);
}

// The order the table promises: descending hash, then ascending name.
bool WalkBefore(const std::u16string& a, const std::u16string& b) {
  const uint32_t ha = TJsonAvlEntry::NameHash(a), hb = TJsonAvlEntry::NameHash(b);
  return ha != hb ? ha > hb : a < b;
}

std::vector<std::u16string> Walk(const TJsonMemberTable& t) {
  std::vector<std::u16string> names;
  TJsonAvlIterator it(&t);
  for (it.MoveToFirst(); TJsonAvlEntry* e = it.CurrentEntry(); it.MoveToNext()) names.emplace_back(e->Name());
  return names;
}

TEST(JsonMemberTable, HashesNamesAsSpecifiedAndWalksByDescendingHash) {
  EXPECT_EQ(0u, TJsonAvlEntry::NameHash(u""));
  EXPECT_EQ(0x9E370062u, TJsonAvlEntry::NameHash(u"a"));
  EXPECT_EQ(0x9E370063u, TJsonAvlEntry::NameHash(u"b"));
  EXPECT_EQ(0x9E370064u, TJsonAvlEntry::NameHash(u"c"));
  // Two units: (h * 129 + c + 0x9E370001) mod 2^32, step by step.
  const uint32_t h1 = 0x9E370062u;
  EXPECT_EQ(h1 * 129u + u'b' + 0x9E370001u, TJsonAvlEntry::NameHash(u"ab"));

  TJsonMemberTable t;
  t.Put(u"a", TJsonValue::CreateInteger(1));
  t.Put(u"", TJsonValue::CreateInteger(0));
  t.Put(u"b", TJsonValue::CreateInteger(2));
  t.Put(u"c", TJsonValue::CreateInteger(3));
  EXPECT_EQ((std::vector<std::u16string>{u"c", u"b", u"a", u""}), Walk(t));
  EXPECT_FALSE(t.Get(u"d"));
  EXPECT_EQ(4, t.Count());

  // Equal hashes (97*129+0x181 = 98*129+0x100 = 99*129+0x7f) walk by ascending name,
  // compared as unsigned code units, whatever the order of insertion.
  const std::u16string a = u"a\u0181", b = u"b\u0100", c = u"c\u007f";
  ASSERT_EQ(TJsonAvlEntry::NameHash(a), TJsonAvlEntry::NameHash(b));
  ASSERT_EQ(TJsonAvlEntry::NameHash(a), TJsonAvlEntry::NameHash(c));
  TJsonMemberTable same;
  same.Put(c, TJsonValue::CreateInteger(3));
  same.Put(a, TJsonValue::CreateInteger(1));
  same.Put(b, TJsonValue::CreateInteger(2));
  EXPECT_EQ((std::vector<std::u16string>{a, b, c}), Walk(same));
  EXPECT_EQ(2, same.Delete(b)->ToInteger());
  EXPECT_EQ((std::vector<std::u16string>{a, c}), Walk(same));
}

TEST(JsonMemberTable, PuttingANameAgainReplacesTheValueInPlace) {
  TJsonMemberTable t;
  IJsonValue first = TJsonValue::CreateInteger(1);
  t.Put(u"x", first);
  TJsonAvlEntry* entry = t.Search(u"x");
  t.Put(u"x", TJsonValue::CreateInteger(2));
  EXPECT_EQ(1, t.Count());
  EXPECT_EQ(entry, t.Search(u"x"));
  EXPECT_EQ(2, t.Get(u"x")->ToInteger());
  EXPECT_EQ(1, first->RefCount());  // the table let the first value go
}

TEST(JsonMemberTable, StaysBalancedAndOrderedUnderRandomInsertsAndDeletes) {
  std::mt19937 rng(12345);
  TJsonMemberTable t;
  std::map<std::u16string, int64_t> reference;
  auto randomName = [&] {
    std::u16string s;
    const int len = static_cast<int>(rng() % 4);
    for (int i = 0; i < len; ++i) s.push_back(static_cast<char16_t>(u'a' + rng() % 6));
    if (rng() % 10 == 0) s.push_back(static_cast<char16_t>(0x100 + rng() % 3));
    return s;
  };
  for (int round = 0; round < 4000; ++round) {
    const std::u16string name = randomName();
    if (rng() % 3 == 0) {
      IJsonValue removed = t.Delete(name);
      auto it = reference.find(name);
      ASSERT_EQ(it != reference.end(), static_cast<bool>(removed));
      if (removed) {
        EXPECT_EQ(it->second, removed->ToInteger());
        reference.erase(it);
      }
    } else {
      t.Put(name, TJsonValue::CreateInteger(round));
      reference[name] = round;
    }
    if (round % 97 == 0) {
      int entries = 0;
      CheckedHeight(t.Root(), entries);
      ASSERT_EQ(static_cast<int>(reference.size()), entries);
    }
  }
  int entries = 0;
  CheckedHeight(t.Root(), entries);
  EXPECT_EQ(static_cast<int>(reference.size()), t.Count());
  std::vector<std::u16string> expected;
  for (const auto& [name, v] : reference) expected.push_back(name);
  std::sort(expected.begin(), expected.end(), WalkBefore);
  EXPECT_EQ(expected, Walk(t));
  for (const auto& [name, v] : reference) EXPECT_EQ(v, t.Get(name)->ToInteger());
}

TEST(JsonMemberTable, WalksAThousandEntriesAndDeletesThemAll) {
  TJsonMemberTable t;
  std::vector<std::u16string> names;
  for (int i = 0; i < 1000; ++i) {
    std::u16string n = u"member";
    for (char ch : std::to_string(i)) n.push_back(static_cast<char16_t>(ch));
    names.push_back(n);
    t.Put(n, TJsonValue::CreateInteger(i));
  }
  int entries = 0;
  const int height = CheckedHeight(t.Root(), entries);
  EXPECT_LE(height, 15);  // 1.44 log2(1000) rounds to 14.4
  std::vector<std::u16string> expected = names;
  std::sort(expected.begin(), expected.end(), WalkBefore);
  EXPECT_EQ(expected, Walk(t));
  for (const auto& n : names) ASSERT_TRUE(t.Delete(n));
  EXPECT_EQ(0, t.Count());
  EXPECT_EQ(nullptr, t.Root());
  EXPECT_FALSE(t.Delete(u"member1"));
}

TEST(JsonMemberTable, CompactRemovesOnlyAbsentMembers) {
  TJsonMemberTable t;
  for (int i = 0; i < 50; ++i) {
    std::u16string n(1, static_cast<char16_t>(u'A' + i));
    t.Put(n, i % 3 == 0 ? IJsonValue() : TJsonValue::CreateInteger(i));
  }
  t.Compact(false);
  EXPECT_EQ(33, t.Count());
  int entries = 0;
  CheckedHeight(t.Root(), entries);
  EXPECT_EQ(33, entries);
  for (const auto& n : Walk(t)) EXPECT_NE(0, (n[0] - u'A') % 3);
  t.Wipe(false);
  EXPECT_EQ(0, t.Count());
  EXPECT_EQ(nullptr, t.Root());
}

}  // namespace
