// Paths: lookups, stores that create the way, "[]", index errors, deletes, forced paths,
// methods and templates.

#include <gtest/gtest.h>

#include "json/json_tokenizer.h"
#include "json/json_value.h"
#include "tests/unit/json/json_test_util.h"

using namespace json;
using json_test::A;
using json_test::Parse;
using json_test::Text;
using json_test::W;

namespace {

TEST(JsonPath, LooksUpMembersElementsAndNestedSteps) {
  IJsonValue v = Parse("{\"a\":{\"b\":[10,{\"c\":\"x\"},[5,6]]},\"1x\":2,\"s\":\"t\",\"n\":null}");
  ASSERT_TRUE(v);
  EXPECT_EQ(10, v->LookupInteger(u"a.b[0]"));
  EXPECT_EQ(u"x", v->LookupText(u"a.b[1].c"));
  EXPECT_EQ(6, v->LookupInteger(u"a.b[2][1]"));
  EXPECT_EQ(6, v->LookupInteger(u"a.b[2][]"));  // "[]" is the last element
  EXPECT_EQ(u"[5,6]", v->LookupText(u"a.b[]"));
  EXPECT_EQ(2, v->LookupInteger(u"1x"));  // a name may start with a digit
  EXPECT_EQ(2, v->LookupInteger(u"a.b[ 0 ] trailing") + 2 - 10);  // relaxed: trailing text ignored
  EXPECT_EQ(vkNull, v->Lookup(u"n")->Kind());
  // Missing or wrongly typed steps and malformed paths give no value.
  EXPECT_FALSE(v->Lookup(u"zz"));
  EXPECT_FALSE(v->Lookup(u"a.zz.q"));
  EXPECT_FALSE(v->Lookup(u"s.q"));
  EXPECT_FALSE(v->Lookup(u"a.b[7]"));
  EXPECT_FALSE(v->Lookup(u"a[0]"));
  EXPECT_FALSE(v->Lookup(u"a.b[-1]"));
  EXPECT_FALSE(v->Lookup(u"a.b[\"x\"]"));
  EXPECT_FALSE(v->Lookup(u"a.b[1.5]"));
  EXPECT_FALSE(v->Lookup(u"a.b[99999999999]"));
  EXPECT_FALSE(v->Lookup(u"a.b[0"));
  EXPECT_EQ(vkNull, v->LookupOrNull(u"zz")->Kind());
  EXPECT_EQ(0, v->LookupInteger(u"zz"));
  EXPECT_FALSE(v->LookupBoolean(u"zz"));
  EXPECT_EQ(u"", v->LookupText(u"zz"));
  EXPECT_EQ(nullptr, v->LookupArray(u"zz"));
  ASSERT_NE(nullptr, v->LookupArray(u"a.b"));
  EXPECT_EQ(3, v->LookupArray(u"a.b")->Length());
  EXPECT_EQ(nullptr, v->LookupArray(u"[1,2]"));  // a literal lives only for the call
  // Index paths against an array context, and keywords/literals as paths.
  IJsonValue arr = Parse("[7,8]");
  EXPECT_EQ(8, arr->LookupInteger(u"1"));
  EXPECT_FALSE(arr->Lookup(u"5"));
  EXPECT_TRUE(v->LookupBoolean(u"true"));
  EXPECT_EQ(u"lit", v->LookupText(u"'lit'"));
  // An index may itself be a path.
  IJsonValue w = Parse("{\"i\":1,\"a\":[\"p\",\"q\"]}");
  EXPECT_EQ(u"q", w->LookupText(u"a[i]"));
}

// Plain names take a shortcut past the machine; both must agree on every kind of name.
TEST(JsonPath, PlainNameShortcutAgreesWithTheMachine) {
  const std::u16string names[] = {u"a",     u"LogText", u"tx",    u"fa",    u"nu",     u"nullx", u"null1",
                                  u"null",  u"true",    u"false", u"false_", u"1a",    u"12",    u"a\\b",
                                  u"/x",    u"-a",      u"'a'",   u"a b",   u"\u0101", u"T",     u"N",
                                  u"a*b",   u"a;b",     u"@"};
  IJsonValue obj = TJsonValue::Create(vkObject);
  int i = 0;
  for (const auto& n : names) obj->ToObjectTable()->Put(n, TJsonValue::CreateInteger(++i));
  for (const auto& n : names) {
    IJsonValue machine = TJsonValue::ParseText(n, false, true, obj);
    IJsonValue shortcut = obj->Lookup(n);
    EXPECT_EQ(Text(machine), Text(shortcut)) << A(n);
    if (IsPlainMemberName(n)) {
      EXPECT_EQ(machine, shortcut) << A(n);
    }
  }
  EXPECT_TRUE(IsPlainMemberName(u"LogText"));
  EXPECT_FALSE(IsPlainMemberName(u"a.b"));
  EXPECT_FALSE(IsPlainMemberName(u"null"));
  EXPECT_FALSE(IsPlainMemberName(u""));
}

TEST(JsonPath, StoreCreatesTheWayAndReplaces) {
  IJsonValue v = TJsonValue::Create(vkObject);
  EXPECT_TRUE(v->StoreInteger(u"a.b.c", 1));
  EXPECT_EQ(u"{\"a\":{\"b\":{\"c\":1}}}", v->ToText());
  EXPECT_TRUE(v->StoreText(u"a.b.c", u"x"));
  EXPECT_EQ(u"x", v->LookupText(u"a.b.c"));
  EXPECT_TRUE(v->StoreBoolean(u"list[]", true));  // "[]" appends (creating the array)
  EXPECT_TRUE(v->StoreDouble(u"list[]", 0.5e-7));
  EXPECT_TRUE(v->StoreCurrency(u"list[3]", 12500));
  EXPECT_EQ(u"[true,5e-08,null,1.25]", v->Lookup(u"list")->ToText());
  EXPECT_TRUE(v->StoreInteger(u"list[2]", 9));
  EXPECT_EQ(9, v->LookupInteger(u"list[2]"));
  EXPECT_TRUE(v->StoreInteger(u"grid[1][0]", 4));  // missing elements are created
  EXPECT_EQ(u"[null,[4]]", v->Lookup(u"grid")->ToText());
  EXPECT_TRUE(v->StoreInteger(u"objs[0].k", 3));
  EXPECT_EQ(u"[{\"k\":3}]", v->Lookup(u"objs")->ToText());
  EXPECT_TRUE(v->StoreInteger(u"objs[].m", 5));  // appends a new object
  EXPECT_EQ(2, v->Lookup(u"objs")->ToArray()->Length());
  // Strict whole-path syntax for stores.
  EXPECT_FALSE(v->StoreInteger(u"a.b.c trailing", 2));  // refused before anything changes
  EXPECT_FALSE(v->StoreInteger(u"a.b.c.d", 2));  // c is a string
  EXPECT_FALSE(v->StoreInteger(u"list[-1]", 2));
  EXPECT_FALSE(v->StoreInteger(u"list[x]", 2));
  EXPECT_EQ(u"x", v->LookupText(u"a.b.c"));
  // StoreOrNull stores a null value for an absent one.
  EXPECT_TRUE(v->StoreOrNull(u"z", nullptr));
  EXPECT_EQ(vkNull, v->Lookup(u"z")->Kind());
  EXPECT_TRUE(v->Store(u"absent", nullptr));
  EXPECT_FALSE(v->Lookup(u"absent"));
}

TEST(JsonPath, ForcePathAndRemovePath) {
  IJsonValue v = Parse("{\"a\":{\"b\":1},\"arr\":[1,2,3]}");
  IJsonValue made = v->ForcePath(u"a.c.d", vkArray);
  ASSERT_TRUE(made);
  EXPECT_EQ(vkArray, made->Kind());
  EXPECT_EQ(made, v->Lookup(u"a.c.d"));
  EXPECT_EQ(v->Lookup(u"a.b"), v->ForcePath(u"a.b", vkString));  // an existing value is kept
  IJsonValue removed = v->RemovePath(u"a.b");
  ASSERT_TRUE(removed);
  EXPECT_EQ(1, removed->ToInteger());
  EXPECT_FALSE(v->Lookup(u"a.b"));
  EXPECT_EQ(2, v->RemovePath(u"arr[1]")->ToInteger());
  EXPECT_EQ(u"[1,3]", v->Lookup(u"arr")->ToText());
  EXPECT_FALSE(v->RemovePath(u"arr[5]"));
  IJsonValue arr = Parse("[1,2,3]");
  EXPECT_EQ(1, arr->RemovePath(u"0")->ToInteger());
  EXPECT_EQ(u"[2,3]", arr->ToText());
}

void Twice(const IJsonValue&, const IJsonValue& params, IJsonValue& result) {
  result = TJsonValue::CreateInteger(params ? params->ToInteger() * 2 : -1);
}

void Pair(const IJsonValue& self, const IJsonValue& params, IJsonValue& result) {
  result = TJsonValue::Create(vkObject);
  result->Store(u"count", TJsonValue::CreateInteger(params && params->ToArray() ? params->ToArray()->Length() : 0));
  result->Store(u"self", self);
}

TEST(JsonPath, CallsMethodMembers) {
  IJsonValue v = Parse("{\"k\":21}");
  ASSERT_TRUE(v->StoreMethod(u"twice", Twice));
  ASSERT_TRUE(v->StoreMethod(u"pair", Pair));
  EXPECT_EQ(Twice, v->LookupMethod(u"twice"));
  EXPECT_EQ(42, v->LookupInteger(u"twice(21)"));
  EXPECT_EQ(42, v->LookupInteger(u"twice(k)"));  // arguments are paths too
  EXPECT_EQ(2, v->LookupInteger(u"pair(1,2).count"));
  EXPECT_EQ(v->LookupText(u"k"), v->Lookup(u"pair(1,2).self")->LookupText(u"k"));
  EXPECT_EQ(0, v->LookupInteger(u"twice()"));  // no arguments: an empty list
  EXPECT_EQ(10, v->CallMethod(u"twice", TJsonValue::CreateInteger(5))->ToInteger());
  EXPECT_EQ(14, v->CallMethodText(u"twice", u"7")->ToInteger());
  EXPECT_FALSE(v->Lookup(u"k(1)"));  // not a method
  // A method value without an entry (forced, or wiped) is not called.
  ASSERT_TRUE(v->ForcePath(u"empty", vkMethod));
  EXPECT_FALSE(v->CallMethod(u"empty", TJsonValue::CreateInteger(1)));
  EXPECT_FALSE(v->Lookup(u"empty(1)"));
  IJsonValue wiped = v->Lookup(u"twice");
  wiped->Wipe(false);
  EXPECT_FALSE(v->CallMethod(u"twice", TJsonValue::CreateInteger(5)));
  v->ToObjectTable()->Put(u"twice", TJsonValue::CreateMethod(Twice));
  // Methods are never written.
  EXPECT_EQ(u"{\"k\":21}", v->ToText());
  v->ToObjectTable()->Delete(u"pair");
}

TEST(JsonPath, FormatTemplateSubstitutesPaths) {
  IJsonValue v = Parse("{\"x\":1,\"y\":\"two\"}");
  EXPECT_EQ(u"a1b", v->FormatTemplate(u"a{x}b{y", u'{', u'}'));
  EXPECT_EQ(u"1-two-!", v->FormatTemplate(u"{x}-{y}-{missing}!", u'{', u'}'));
  EXPECT_EQ(u"plain", v->FormatTemplate(u"plain", u'{', u'}'));
}

}  // namespace
