// Values: conversions, comparison, arrays, copies, merges, wiping and freeing.

#include <gtest/gtest.h>

#include <thread>

#include "json/json_value.h"
#include "tests/unit/json/json_test_util.h"

using namespace json;
using json_test::A;
using json_test::Parse;
using json_test::Text;
using json_test::W;

namespace {

IJsonValue Int(int64_t i) { return TJsonValue::CreateInteger(i); }
IJsonValue Str(std::string_view s) { return TJsonValue::CreateString(W(s)); }

TEST(JsonValue, ConversionsFollowTheTable) {
  const IJsonValue null = TJsonValue::Create(vkNull);
  EXPECT_FALSE(null->ToBoolean());
  EXPECT_EQ(0, null->ToInteger());
  EXPECT_EQ(u"null", null->ToText());

  const IJsonValue yes = TJsonValue::CreateBoolean(true);
  EXPECT_EQ(1, yes->ToInteger());
  EXPECT_EQ(10000, yes->ToCurrency());
  EXPECT_EQ(u"true", yes->ToText());

  // Doubles round to the nearest integer, ties to even.
  EXPECT_EQ(2, TJsonValue::CreateDouble(2.5)->ToInteger());
  EXPECT_EQ(4, TJsonValue::CreateDouble(3.5)->ToInteger());
  EXPECT_EQ(-2, TJsonValue::CreateDouble(-2.5)->ToInteger());
  EXPECT_EQ(12346, TJsonValue::CreateDouble(1.23456)->ToCurrency());
  EXPECT_TRUE(TJsonValue::CreateDouble(0.1)->ToBoolean());
  // Out-of-range doubles saturate instead of overflowing.
  EXPECT_EQ(INT64_MAX, TJsonValue::CreateDouble(1e300)->ToInteger());
  EXPECT_EQ(INT64_MIN, TJsonValue::CreateDouble(-1e300)->ToInteger());

  // Currency: scaled by 10000, integer conversion ties to even.
  EXPECT_EQ(2, TJsonValue::CreateCurrency(25000)->ToInteger());
  EXPECT_EQ(4, TJsonValue::CreateCurrency(35000)->ToInteger());
  EXPECT_EQ(-4, TJsonValue::CreateCurrency(-35000)->ToInteger());
  EXPECT_EQ(2, TJsonValue::CreateCurrency(15001)->ToInteger());
  EXPECT_DOUBLE_EQ(1.5, TJsonValue::CreateCurrency(15000)->ToDouble());

  EXPECT_EQ(u"-7", Int(-7)->ToText());
  EXPECT_EQ(70000, Int(7)->ToCurrency());
  EXPECT_EQ(INT64_MAX, Int(INT64_MAX / 100)->ToCurrency());

  // Strings: any non-empty text is true; text that is not a number converts to 0.
  EXPECT_TRUE(Str("false")->ToBoolean());
  EXPECT_FALSE(Str("")->ToBoolean());
  EXPECT_EQ(0, Str("12x")->ToInteger());
  EXPECT_EQ(-12, Str("-12")->ToInteger());
  EXPECT_EQ(0, Str("99999999999999999999")->ToInteger());
  EXPECT_DOUBLE_EQ(1.5, Str("1.5")->ToDouble());
  EXPECT_DOUBLE_EQ(0.0, Str("inf")->ToDouble());
  EXPECT_DOUBLE_EQ(0.0, Str("1,5")->ToDouble());
  EXPECT_EQ(12500, Str("1.25")->ToCurrency());

  EXPECT_TRUE(TJsonValue::Create(vkObject)->ToBoolean());
  EXPECT_EQ(0, TJsonValue::Create(vkArray)->ToInteger());
  EXPECT_EQ(u"", TJsonValue::CreateMethod(nullptr)->ToText());
  EXPECT_EQ(u"{\"a\":1}", Parse("{\"a\":1}")->ToText());
}

TEST(JsonValue, KindsOfAbsentValuesAreNull) {
  EXPECT_EQ(vkNull, ValueKindOf(nullptr));
  EXPECT_TRUE(IsValueKind(nullptr, vkNull));
  EXPECT_TRUE(IsValueKind(Int(1), vkInteger));
  EXPECT_FALSE(IsValueKind(Int(1), vkDouble));
}

TEST(JsonValue, ComparesNumbersExactlyAndOtherwiseAsText) {
  using R = TJsonCompareResult;
  EXPECT_EQ(R::Less, Int(1)->CompareWith(Int(2)));
  EXPECT_EQ(R::Equal, Int(1)->CompareWith(TJsonValue::CreateBoolean(true)));
  EXPECT_EQ(R::Greater, Int(INT64_MAX)->CompareWith(Int(INT64_MIN)));  // no overflow of a difference
  EXPECT_EQ(R::Equal, TJsonValue::CreateCurrency(15000)->CompareWith(TJsonValue::CreateDouble(1.5)));
  EXPECT_EQ(R::Less, TJsonValue::CreateDouble(1.49)->CompareWith(TJsonValue::CreateCurrency(15000)));
  EXPECT_EQ(R::Greater, Int(2)->CompareWith(TJsonValue::CreateCurrency(15000)));
  // Integer against string: texts "2" and "10".
  EXPECT_EQ(R::Greater, Int(2)->CompareWith(Str("10")));
  EXPECT_EQ(R::Less, Str("abc")->CompareWith(Str("abd")));
  EXPECT_EQ(R::Less, Str("ab")->CompareWith(Str("abc")));
  EXPECT_EQ(R::Greater, TJsonValue::CreateString(u"\u0100")->CompareWith(Str("\x7f")));
  EXPECT_EQ(R::Error, Int(1)->CompareWith(nullptr));
  EXPECT_EQ(R::Error, TJsonValue::Create(vkNull)->CompareWith(Int(0)));
  EXPECT_EQ(R::Error, Parse("[1]")->CompareWith(Parse("[1]")));
  EXPECT_EQ(R::Equal, Int(5)->CompareText(u"5"));
  EXPECT_EQ(R::Less, Int(5)->CompareText(u"5.5"));
}

TEST(JsonArray, GrowsAndKeepsSkippedSlotsEmpty) {
  TJsonArray a;
  EXPECT_EQ(32, a.Capacity());
  a.Put(40, Int(1));
  EXPECT_EQ(64, a.Capacity());
  EXPECT_EQ(41, a.Length());
  for (int i = 0; i < 40; ++i) EXPECT_FALSE(a.Get(i)) << i;
  EXPECT_EQ(1, a.Get(40)->ToInteger());
  EXPECT_FALSE(a.Get(41));
  EXPECT_FALSE(a.Get(-1));

  a.Put(200, Int(2));  // twice 64 is too small: index + 1
  EXPECT_EQ(201, a.Capacity());
  EXPECT_EQ(201, a.Add(Int(3)));
  EXPECT_EQ(402, a.Capacity());

  TJsonArray b;
  for (int i = 0; i < 5; ++i) EXPECT_EQ(i, b.Add(Int(i)));
  EXPECT_EQ(2, b.Delete(2)->ToInteger());
  EXPECT_EQ(4, b.Length());
  EXPECT_EQ(3, b.Get(2)->ToInteger());
  EXPECT_FALSE(b.Delete(4));
  EXPECT_FALSE(b.Delete(-1));
  EXPECT_EQ(4, b.Length());
  b.Put(-5, Int(9));  // ignored
  EXPECT_EQ(4, b.Length());

  TJsonArray c;
  c.Put(1, Int(1));
  c.Put(3, Int(3));
  c.Compact(false);
  ASSERT_EQ(2, c.Length());
  EXPECT_EQ(1, c.Get(0)->ToInteger());
  EXPECT_EQ(3, c.Get(1)->ToInteger());
  c.Wipe(false);
  EXPECT_EQ(0, c.Length());
  EXPECT_EQ(32, c.Capacity());
  EXPECT_THROW(c.Put(TJsonArray::kMaxLength, Int(1)), EJsonError);
}

TEST(JsonValue, ReferenceCountsReleaseReplacedValues) {
  IJsonValue obj = TJsonValue::Create(vkObject);
  IJsonValue first = Int(1);
  obj->ToObjectTable()->Put(u"a", first);
  EXPECT_EQ(2, first->RefCount());
  obj->ToObjectTable()->Put(u"a", Int(2));
  EXPECT_EQ(1, first->RefCount());
  EXPECT_EQ(1, obj->ToObjectTable()->Count());
  IJsonValue copy = obj;
  EXPECT_EQ(2, obj->RefCount());
  copy.Reset();
  EXPECT_EQ(1, obj->RefCount());
}

TEST(JsonValue, DuplicateIsDeepAndDropsNulls) {
  IJsonValue v = Parse("{\"a\":[1,2.5,\"x\",{\"b\":true}],\"n\":null,\"c\":1.23456}");
  IJsonValue d = v->Duplicate();
  EXPECT_EQ(Text(v), Text(d));
  EXPECT_FALSE(d->Lookup(u"a") == v->Lookup(u"a"));
  EXPECT_FALSE(d->Lookup(u"a[3]") == v->Lookup(u"a[3]"));
  EXPECT_EQ(vkCurrency, d->Lookup(u"a[1]")->Kind());
  EXPECT_EQ(vkDouble, d->Lookup(u"c")->Kind());
  // vkNull duplicates to no value: the member stays, absent.
  ASSERT_NE(nullptr, d->ToObjectTable()->Search(u"n"));
  EXPECT_FALSE(d->ToObjectTable()->Search(u"n")->Value);
  EXPECT_FALSE(TJsonValue::Create(vkNull)->Duplicate());
  d->Store(u"a[0]", Int(9));
  EXPECT_EQ(1, v->LookupInteger(u"a[0]"));
}

TEST(JsonValue, DuplicateOfACycleTerminates) {
  IJsonValue v = Parse("{\"x\":1}");
  v->ToObjectTable()->Put(u"self", v);
  IJsonValue d = v->Duplicate();
  EXPECT_EQ(1, d->LookupInteger(u"x"));
  EXPECT_FALSE(d->Lookup(u"self"));  // the recurring value is left out
  EXPECT_FALSE(v->InProgress());
  v->ToObjectTable()->Delete(u"self");  // break the cycle so the test does not leak
}

TEST(JsonValue, MergeCombinesTreesOfTheSameKind) {
  IJsonValue a = Parse("{\"k\":1,\"o\":{\"x\":1,\"y\":2},\"arr\":[1,{\"p\":1}],\"s\":\"old\",\"t\":5}");
  IJsonValue b = Parse("{\"k\":2,\"o\":{\"y\":3,\"z\":4},\"arr\":[7,{\"q\":2},9],\"s\":\"new\",\"t\":\"text\"}");
  IJsonValue kept = a->Lookup(u"o");
  a->MergeFrom(b, false);
  EXPECT_EQ(2, a->LookupInteger(u"k"));
  EXPECT_EQ(kept, a->Lookup(u"o"));  // same-kind objects merge in place
  EXPECT_EQ(1, a->LookupInteger(u"o.x"));
  EXPECT_EQ(3, a->LookupInteger(u"o.y"));
  EXPECT_EQ(4, a->LookupInteger(u"o.z"));
  EXPECT_EQ(7, a->LookupInteger(u"arr[0]"));
  EXPECT_EQ(1, a->LookupInteger(u"arr[1].p"));
  EXPECT_EQ(2, a->LookupInteger(u"arr[1].q"));
  EXPECT_EQ(9, a->LookupInteger(u"arr[2]"));
  EXPECT_EQ(u"new", a->LookupText(u"s"));
  EXPECT_EQ(u"text", a->LookupText(u"t"));  // different kinds: replaced
  // Without `reference` the values put are copies; with it they are shared.
  EXPECT_FALSE(a->Lookup(u"o.z") == b->Lookup(u"o.z"));
  IJsonValue c = Parse("{}");
  c->MergeFrom(b, true);
  EXPECT_EQ(c->Lookup(u"o"), b->Lookup(u"o"));
  // Different kinds at the top: nothing happens.
  IJsonValue n = Int(1);
  n->MergeFrom(Str("2"), true);
  EXPECT_EQ(1, n->ToInteger());
  n->MergeFrom(Int(5), true);
  EXPECT_EQ(5, n->ToInteger());
  IJsonValue m = Parse("{\"a\":{\"b\":1}}");
  m->MergeText(u"{a:{c:2}}");
  EXPECT_EQ(u"{\"a\":{\"c\":2,\"b\":1}}", m->ToText());
}

TEST(JsonValue, MergeOfASelfContainingSourceTerminates) {
  IJsonValue src = Parse("{\"a\":{\"v\":1}}");
  src->Lookup(u"a")->ToObjectTable()->Put(u"a", src->Lookup(u"a"));
  IJsonValue dst = Parse("{\"a\":{\"a\":{\"a\":{}}}}");
  dst->MergeFrom(src, false);
  EXPECT_EQ(1, dst->LookupInteger(u"a.v"));
  EXPECT_FALSE(src->InProgress());
  src->Lookup(u"a")->ToObjectTable()->Delete(u"a");
  dst->Lookup(u"a")->ToObjectTable()->Delete(u"a");
}

TEST(JsonValue, WipeClearsPayloadsAndStopsAtCycles) {
  IJsonValue v = Parse("{\"b\":true,\"n\":5,\"s\":\"x\",\"o\":{\"d\":1.5},\"a\":[1,2]}");
  IJsonValue inner = v->Lookup(u"o");
  IJsonValue d = inner->Lookup(u"d");
  v->ToObjectTable()->Put(u"self", v);
  v->Wipe(true);
  EXPECT_EQ(0, v->ToObjectTable()->Count());
  EXPECT_EQ(0, inner->ToObjectTable()->Count());  // wiped before it was let go
  EXPECT_EQ(0, d->ToCurrency());
  EXPECT_FALSE(v->InProgress());

  IJsonValue s = Str("abc");
  s->Wipe(false);
  EXPECT_EQ(u"", s->ToText());
  IJsonValue shallow = Parse("{\"o\":{\"x\":1}}");
  IJsonValue o = shallow->Lookup(u"o");
  shallow->Wipe(false);
  EXPECT_EQ(1, o->LookupInteger(u"x"));  // without `all` members are only released
}

TEST(JsonValue, CompactDropsAbsentMembersAndSlots) {
  IJsonValue v = Parse("{\"a\":1,\"b\":null,\"c\":[1,null,2,[null,3]]}")->Duplicate();
  // Duplicate turns the nulls into absent values.
  v->Compact(true);
  EXPECT_EQ(u"{\"c\":[1,2,[3]],\"a\":1}", v->ToText());
  IJsonValue w = Parse("[[null,1],null]")->Duplicate();
  w->Compact(false);
  EXPECT_EQ(u"[[null,1]]", w->ToText());
}

// A chain of containers, each holding the next: objects and arrays alternate.
IJsonValue DeepChain(int depth) {
  IJsonValue root = TJsonValue::Create(vkArray);
  IJsonValue cur = root;
  for (int i = 0; i < depth; ++i) {
    IJsonValue next = TJsonValue::Create(i % 2 ? vkArray : vkObject);
    if (cur->Kind() == vkArray)
      cur->ToArray()->Add(next);
    else
      cur->ToObjectTable()->Put(u"k", next);
    cur = next;
  }
  return root;
}

TEST(JsonValue, FreesVeryDeepStructuresWithoutRecursion) {
  IJsonValue root = DeepChain(1000000);
  root.Reset();  // must not overflow the stack
  SUCCEED();
}

// A tree held by a thread-local (or a static) is freed after the library's own per-thread
// state has been torn down; freeing it must not touch that state.
TEST(JsonValue, FreesTreesHeldByThreadLocalsAtThreadExit) {
  std::thread([] {
    thread_local IJsonValue keep;  // made before the library frees anything on this thread
    keep = TJsonValue::Create(vkArray);
    { IJsonValue warmUp = Parse("[[1],[2],{\"a\":[3]}]"); }  // a nested free on this thread
    keep = Parse("{\"a\":{\"b\":[1,2,{\"c\":3}]},\"d\":[4,5]}");
    ASSERT_TRUE(keep);
  }).join();
  SUCCEED();
}

TEST(JsonValue, WritesCopiesMergesAndWipesDeepStructuresWithoutRecursion) {
  IJsonValue root = DeepChain(200000);
  // "[" "]" for the root and every array, "{" "\"k\":" "}" for every object.
  EXPECT_EQ(2 + 100000 * 2 + 100000 * 6, root->CalcSize(false, false));
  IJsonValue copy = root->Duplicate();
  EXPECT_EQ(root->CalcSize(false, false), copy->CalcSize(false, false));
  copy->MergeFrom(root, false);
  root->Compact(true);
  copy->Wipe(true);
  EXPECT_EQ(0, copy->ToArray()->Length());
}

TEST(JsonValue, EnumeratesMembersInWalkOrderAndElementsByIndex) {
  IJsonValue v = Parse("{\"a\":1,\"b\":2,\"c\":3}");
  TJsonEnumerator e = v->Members();
  std::string names;
  while (e.MoveNext()) names += A(e.Name()) + A(e.Current()->ToText());
  EXPECT_EQ("c3b2a1", names);

  TJsonMemberIter it;
  ASSERT_TRUE(FindFirstMember(v, it));
  std::string walked;
  do walked += A(it.Key);
  while (FindNextMember(it));
  FindCloseMember(it);
  EXPECT_EQ("cba", walked);
  EXPECT_FALSE(FindFirstMember(Parse("[1]"), it));
  EXPECT_FALSE(FindFirstMember(Parse("{}"), it));

  TJsonEnumerator arr = Parse("[5,6]")->Members();
  int sum = 0, count = 0;
  while (arr.MoveNext()) sum += static_cast<int>(arr.Current()->ToInteger()), ++count;
  EXPECT_EQ(2, count);
  EXPECT_EQ(11, sum);
}

}  // namespace
