// The writers: member order, indentation, escaping, currency, cycles, streams, sockets.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>

#include "json/json_value.h"
#include "json/json_writer.h"
#include "runtime/byte_stream.h"
#include "runtime/file_io.h"
#include "tests/unit/json/json_test_util.h"

using namespace json;
using json_test::A;
using json_test::Parse;
using json_test::W;

namespace {

TEST(JsonWriter, WritesMembersInWalkOrderWithoutSpaces) {
  EXPECT_EQ(u"{\"b\":1,\"a\":[true,null]}", Parse("{\"a\":[true,null],\"b\":1}")->ToText());
  EXPECT_EQ(u"{}", Parse("{}")->ToText());
  EXPECT_EQ(u"[]", Parse("[]")->ToText());
  EXPECT_EQ(u"[{},[],\"\"]", Parse("[{},[],\"\"]")->ToText());
}

TEST(JsonWriter, IndentsObjectsPerLevelAndArraysOnce) {
  EXPECT_EQ(u"{\r\n \"x\": 1\r\n}", Parse("{\"x\":1}")->ToJsonText(true, false));
  EXPECT_EQ(u"{\r\n \"o\": {\r\n  \"y\": [\r\n   1,2]\r\n }\r\n}",
            Parse("{\"o\":{\"y\":[1,2]}}")->ToJsonText(true, false));
  EXPECT_EQ(u"[\r\n 1,{\r\n  \"a\": 2\r\n }]", Parse("[1,{\"a\":2}]")->ToJsonText(true, false));
}

TEST(JsonWriter, EscapesStringsAndNames) {
  IJsonValue s = TJsonValue::CreateString(u"\u00e9\n/\"\\\t\b\f\r\x01\x7f\u20ac");
  EXPECT_EQ(u"\"\\u00e9\\n\\/\\\"\\\\\\t\\b\\f\\r\\u0001\x7f\\u20ac\"", s->ToJsonText(false, true));
  EXPECT_EQ(u"\"\u00e9\n\\/\\\"\\\\\t\b\f\r\x01\x7f\u20ac\"", s->ToJsonText(false, false));
  EXPECT_EQ(u"\"a\\u0000b\"", TJsonValue::CreateString(std::u16string(u"a\0b", 3))->ToJsonText(false, false));
  IJsonValue o = TJsonValue::Create(vkObject);
  o->ToObjectTable()->Put(u"k\u00e9\"", TJsonValue::CreateInteger(1));
  EXPECT_EQ(u"{\"k\\u00e9\\\"\":1}", o->ToJsonText(false, true));
  // Parsing the escaped text gives the same string back.
  EXPECT_EQ(s->ToText(), TJsonValue::ParseText(s->ToJsonText(false, true), true, false)->ToText());
}

TEST(JsonWriter, WritesNumbersInTheirForms) {
  struct {
    IJsonValue v;
    const char* text;
  } cases[] = {
      {TJsonValue::CreateCurrency(0), "0"},          {TJsonValue::CreateCurrency(10000), "1."},
      {TJsonValue::CreateCurrency(22500), "2.25"},   {TJsonValue::CreateCurrency(15000), "1.5"},
      {TJsonValue::CreateCurrency(5), "0.0005"},     {TJsonValue::CreateCurrency(-123456), "-12.3456"},
      {TJsonValue::CreateCurrency(INT64_MIN), "-922337203685477.5808"},
      {TJsonValue::CreateInteger(-7), "-7"},         {TJsonValue::CreateInteger(INT64_MIN), "-9223372036854775808"},
      {TJsonValue::CreateDouble(0.1), "0.1"},        {TJsonValue::CreateDouble(3), "3"},
      {TJsonValue::CreateDouble(1.0 / 3), "0.333333333333333"},
      {TJsonValue::CreateDouble(1e20), "1e+20"},     {TJsonValue::CreateDouble(123456789012345.0), "123456789012345"},
      {TJsonValue::CreateDouble(1234567890123456.0), "1.23456789012346e+15"},
      {TJsonValue::CreateDouble(0.0001), "0.0001"},  {TJsonValue::CreateDouble(0.00001), "1e-05"},
      {TJsonValue::CreateDouble(-2.5e-300), "-2.5e-300"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.text, A(c.v->ToText()));
  // The text of a double reads back as the same number (15 digits).
  IJsonValue third = TJsonValue::CreateDouble(1.0 / 3);
  EXPECT_NEAR(1.0 / 3, TJsonValue::ParseText(third->ToText(), true, false)->ToDouble(), 1e-15);
  EXPECT_EQ(-12.3456, Parse("-12.3456")->ToDouble());
}

TEST(JsonWriter, WritesCyclesAsNull) {
  IJsonValue v = Parse("{\"a\":1}");
  v->ToObjectTable()->Put(u"me", v);
  IJsonValue arr = Parse("[1]");
  arr->ToArray()->Add(arr);
  v->ToObjectTable()->Put(u"arr", arr);
  const std::u16string text = v->ToText();
  EXPECT_NE(std::u16string::npos, text.find(u"\"me\":null"));
  EXPECT_NE(std::u16string::npos, text.find(u"\"arr\":[1,null]"));
  EXPECT_FALSE(v->InProgress());
  EXPECT_FALSE(arr->InProgress());
  EXPECT_EQ(static_cast<int64_t>(text.size()), v->CalcSize(false, false));
  // A value shared twice (no cycle) is written twice.
  IJsonValue shared = Parse("[2]");
  IJsonValue twice = TJsonValue::Create(vkArray);
  twice->ToArray()->Add(shared);
  twice->ToArray()->Add(shared);
  EXPECT_EQ(u"[[2],[2]]", twice->ToText());
  v->ToObjectTable()->Delete(u"me");
  arr->ToArray()->Delete(1);
}

TEST(JsonWriter, SavesStreamsAndFilesInOneOrTwoBytesPerUnit) {
  IJsonValue v = TJsonValue::CreateString(u"\u00e9");
  runtime::TMemoryStream escaped;
  EXPECT_EQ(8, v->SaveToStream(escaped, false, true));
  EXPECT_EQ("\"\\u00e9\"", escaped.Bytes());
  runtime::TMemoryStream wide;
  EXPECT_EQ(6, v->SaveToStream(wide, false, false));
  EXPECT_EQ(std::string("\"\0\xe9\0\"\0", 6), wide.Bytes());

  const std::string dir = ::testing::TempDir() + "json_writer_test";
  std::filesystem::create_directories(dir);
  const std::string file = dir + "/out.json";
  EXPECT_EQ(13, Parse("{\"k\":[1,2.5]}")->SaveToFile(file, false, true));
  EXPECT_EQ("{\"k\":[1,2.5]}", runtime::ReadWholeFile(file));
  std::filesystem::remove_all(dir);
  EXPECT_THROW(v->SaveToFile("/nonexistent-dir/x/out.json", false, true), runtime::EFileError);
  EXPECT_EQ(8, Parse("{\"x\":12}")->CalcSize(false, false));
  EXPECT_EQ(14, Parse("{\"x\":12}")->CalcSize(true, false));
}

TEST(JsonWriter, SendsOverASocketAndReportsFailure) {
  int fds[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
  IJsonValue v = Parse("{\"k\":\"\\u00e9\"}");
  EXPECT_EQ(14, v->SendTo(fds[0], false, true));
  char buf[64] = {};
  EXPECT_EQ(14, read(fds[1], buf, sizeof buf));
  EXPECT_EQ("{\"k\":\"\\u00e9\"}", std::string(buf, 14));
  close(fds[1]);
  EXPECT_EQ(0, v->SendTo(fds[0], false, true));  // the peer is gone: failure, no SIGPIPE
  close(fds[0]);
  EXPECT_EQ(0, v->SendTo(-1, false, true));
}

// Scalars read as text exactly as the writer writes them, also while they are marked in
// progress (written "null" then).
TEST(JsonWriter, ScalarTextIsTheWrittenText) {
  const IJsonValue values[] = {
      TJsonValue::Create(vkNull),        TJsonValue::CreateBoolean(true),   TJsonValue::CreateBoolean(false),
      TJsonValue::CreateInteger(-7),     TJsonValue::CreateInteger(INT64_MIN), TJsonValue::CreateCurrency(10000),
      TJsonValue::CreateCurrency(-5),    TJsonValue::CreateDouble(1e-7),    TJsonValue::CreateDouble(1.5e20),
      TJsonValue::CreateDouble(1.0 / 0.0),
  };
  for (const IJsonValue& v : values) {
    EXPECT_EQ(v->ToJsonText(false, false), v->ToText());
    v->SetInProgress(true);
    EXPECT_EQ(u"null", v->ToText());
    v->SetInProgress(false);
  }
}

TEST(JsonWriter, StringWriterGrowsAndTrims) {
  TJsonWriterString w;
  EXPECT_EQ(0, w.WriteChars(u"x", 0));
  EXPECT_EQ(3, w.WriteText(u"ab "));
  std::u16string big(1000, u'z');
  EXPECT_EQ(1000, w.WriteChars(big.data(), 1000));
  EXPECT_EQ(1003u, w.Position());
  EXPECT_EQ(3, w.WriteText(u"\r\n "));
  w.Trim();
  EXPECT_EQ(1003u, w.Position());
  w.Restart();
  EXPECT_EQ(0u, w.Position());
}

}  // namespace
