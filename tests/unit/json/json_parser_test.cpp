// The parser: strict and relaxed syntax, numbers, keywords, depth, partial text, errors,
// continuation across pieces, and a corpus of malformed documents.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "json/json_tokenizer.h"
#include "json/json_value.h"
#include "runtime/codepage.h"
#include "tests/unit/json/json_test_util.h"

using namespace json;
using json_test::A;
using json_test::Parse;
using json_test::Text;
using json_test::W;

namespace {

TJsonParseError ErrorOf(std::string_view text, bool strict = true) {
  TJsonTokenizer t;
  ParseWithTokenizer(t, W(text), -1, strict);
  return t.Error();
}

TEST(JsonParser, StrictModeAcceptsTheUsualExtensions) {
  EXPECT_EQ("{\"a\":\"b\"}", Text(Parse("{'a':'b'}")));
  EXPECT_EQ("[1,2]", Text(Parse("/* c */ [1, // line\n 2]")));
  EXPECT_EQ("[1,2]", Text(Parse("[1,2,]")));
  EXPECT_EQ("{\"a\":1}", Text(Parse("{\"a\":1,}")));
  EXPECT_EQ("\"A\"", Text(Parse("\"\\x41\"")));
  EXPECT_EQ("[1]", Text(Parse("\b[\b1\f]\r\n")));
  EXPECT_EQ("[1]", Text(Parse("[1 /* x **/]")));  // "**/" closes the comment
  EXPECT_EQ("[]", Text(Parse("[]")));
  EXPECT_EQ("{}", Text(Parse("{ }")));
  // Unquoted names only when they start above code unit 255.
  EXPECT_FALSE(Parse("{a:1}"));
  EXPECT_EQ(TJsonParseError::perMemberName, ErrorOf("{a:1}"));
  IJsonValue wide = TJsonValue::ParseText(u"{\u0101b:1}", true, false);
  ASSERT_TRUE(wide);
  EXPECT_EQ(1, wide->LookupInteger(u"\u0101b"));
  EXPECT_FALSE(Parse("[abc]"));
  EXPECT_EQ(TJsonParseError::perString, ErrorOf("[abc]"));
  EXPECT_EQ(TJsonParseError::perComment, ErrorOf("[1 /x]"));
}

TEST(JsonParser, RelaxedModeReadsBareWordsAndNames) {
  EXPECT_EQ("[\"abc\",\"d e\"]", Text(Parse("[abc, d e]", false)));
  IJsonValue names = Parse("{a:1,b c:x y}", false);
  ASSERT_TRUE(names);
  EXPECT_EQ(1, names->LookupInteger(u"a"));
  EXPECT_EQ(u"x y", names->ToObjectTable()->Get(u"b c")->ToText());
  IJsonValue escaped = Parse("{a\\/b:1,c:2}", false);  // an escape inside a bare name
  ASSERT_TRUE(escaped);
  EXPECT_EQ(1, escaped->LookupInteger(u"a/b"));
  EXPECT_EQ(2, escaped->LookupInteger(u"c"));
  EXPECT_EQ("\"True\"", Text(Parse("True", false)));
  EXPECT_EQ("\"\"", Text(Parse("", false)));
  EXPECT_EQ("\"nullx\"", Text(Parse("nullx", false)));
  EXPECT_EQ("\"truex\"", Text(Parse("truex", false)));
  EXPECT_EQ("\"nul\"", Text(Parse("nul", false)));
  EXPECT_EQ("\"a\\/b\"", Text(Parse("a\\/b", false)));
  EXPECT_FALSE(Parse("nullx"));
  EXPECT_FALSE(Parse("True"));
  EXPECT_FALSE(Parse(""));
}

TEST(JsonParser, ReadsKeywordsAndNumbersIntoTheirKinds) {
  IJsonValue n = Parse("null");
  ASSERT_TRUE(n);
  EXPECT_EQ(vkNull, n->Kind());
  EXPECT_EQ(vkBoolean, Parse("true")->Kind());
  EXPECT_FALSE(Parse("false")->ToBoolean());
  EXPECT_EQ("[true,false,null]", Text(Parse("[true,false,null]")));

  struct {
    const char* text;
    TJsonValueKind kind;
    const char* written;
  } cases[] = {
      {"12", vkInteger, "12"},         {"-0", vkInteger, "0"},         {"1.25", vkCurrency, "1.25"},
      {"1.5", vkCurrency, "1.5"},      {"2.", vkCurrency, "2."},       {"1.0000", vkCurrency, "1."},
      {"-12.3456", vkCurrency, "-12.3456"}, {"1.23456", vkDouble, "1.23456"}, {"1.25e0", vkDouble, "1.25"},
      {"0.12345", vkDouble, "0.12345"}, {"1e3", vkDouble, "1000"},     {"1E-7", vkDouble, "1e-07"},
      {"1e400", vkDouble, "null"},     {"-1e-400", vkDouble, "-0"},     {"1E-400", vkDouble, "0"},
      // Too large for 64 bits: kept as a double instead of becoming 0.
      {"123456789012345678901", vkDouble, "1.23456789012346e+20"},
      {"9223372036854775807", vkInteger, "9223372036854775807"},
      {"-9223372036854775808", vkInteger, "-9223372036854775808"},
      {"922337203685477.5808", vkDouble, "922337203685478"},
      {"007", vkInteger, "7"},         {"123456789012345678", vkInteger, "123456789012345678"},
      {"1234567890123456789", vkInteger, "1234567890123456789"},
      // 19 digits above the 64-bit range, read inside a document as well: never wrapped.
      {"9223372036854775808", vkDouble, "9.22337203685478e+18"},
      {"9999999999999999999", vkDouble, "1e+19"},
      // Malformed number texts convert to 0.
      {"1-2", vkInteger, "0"},         {"--1", vkInteger, "0"},        {"1.2.3", vkCurrency, "1.2"},
      {"12+", vkInteger, "0"},
  };
  for (const auto& c : cases) {
    IJsonValue v = Parse(c.text);
    ASSERT_TRUE(v) << c.text;
    EXPECT_EQ(c.kind, v->Kind()) << c.text;
    EXPECT_EQ(c.written, A(v->ToText())) << c.text;
    // The same number followed by more text, as a number inside a document is.
    for (const std::string& doc : {"[" + std::string(c.text) + "]", "{\"n\":" + std::string(c.text) + " }"}) {
      IJsonValue in = Parse(doc);
      ASSERT_TRUE(in) << doc;
      IJsonValue first = in->Kind() == vkArray ? in->ToArray()->Get(0) : in->Lookup(u"n");
      ASSERT_TRUE(first) << doc;
      EXPECT_EQ(c.kind, first->Kind()) << doc;
      EXPECT_EQ(c.written, A(first->ToText())) << doc;
      IJsonValue bytes = TJsonValue::ParseText(std::string_view(doc), true, false);
      EXPECT_EQ(Text(in), Text(bytes)) << doc;
    }
  }
  EXPECT_EQ("[9.22337203685478e+18,1e+19]", Text(Parse("[9223372036854775808, 9999999999999999999]")));
}

TEST(JsonParser, DecodesEscapesAndKeepsLoneSurrogates) {
  IJsonValue v = Parse("\"a\\u00e9\\n\\t\\b\\f\\r\\/\\\\\\\"\\'\\q\"");
  ASSERT_TRUE(v);
  EXPECT_EQ(u"a\u00e9\n\t\b\f\r/\\\"'q", v->ToText());
  EXPECT_EQ(u"\xd800x", Parse("\"\\ud800x\"")->ToText());
  EXPECT_EQ(u"\xDC00", Parse("'\\uDC00'")->ToText());
  EXPECT_EQ(std::u16string(1, u'\0') + u"z", Parse("\"\\u0000z\"")->ToText());
  EXPECT_FALSE(Parse("\"\\u12g4\""));
  EXPECT_EQ(TJsonParseError::perString, ErrorOf("\"\\u12g4\""));
}

TEST(JsonParser, RepeatedMemberKeepsTheLastValue) {
  IJsonValue v = Parse("{\"a\":1,\"a\":2}");
  ASSERT_TRUE(v);
  EXPECT_EQ(1, v->ToObjectTable()->Count());
  EXPECT_EQ(2, v->LookupInteger(u"a"));
}

TEST(JsonParser, PartialTextAndUnterminatedInput) {
  EXPECT_TRUE(Parse("{\"a\":[1,2]} trailing", true, true));
  EXPECT_FALSE(Parse("{\"a\":[1,2]} trailing", true, false));
  EXPECT_TRUE(Parse("[1] // comment", true, false));
  EXPECT_TRUE(Parse(" {\"data\":[]};\r\n  </script>", true, true));
  EXPECT_EQ(TJsonParseError::perEof, ErrorOf("\"abc"));
  EXPECT_EQ(TJsonParseError::perArray, ErrorOf("[1"));
  EXPECT_EQ(TJsonParseError::perEof, ErrorOf("[1 // open"));
  EXPECT_EQ(TJsonParseError::perEof, ErrorOf("{\"a\""  "/*"));
  EXPECT_EQ(TJsonParseError::perNameSeparator, ErrorOf("{\"a\" 1}"));
  EXPECT_EQ(TJsonParseError::perValueSeparator, ErrorOf("{\"a\":1 \"b\":2}"));
  EXPECT_EQ(TJsonParseError::perArray, ErrorOf("[1 2]"));
  // A NUL unit ends the text.
  EXPECT_FALSE(TJsonValue::ParseText(std::u16string(u"[1,\0 2]", 7), true, false));
  EXPECT_TRUE(TJsonValue::ParseText(std::u16string(u"[1]\0 junk", 9), true, false));
  // Also inside a comment after the value: the value stands, and what follows the NUL is
  // neither read nor taken for trailing text. A piece that ends on that NUL ends the parse.
  const std::u16string commentNul(u"3//\0\n/", 6);
  for (bool partial : {true, false}) EXPECT_EQ("3", Text(TJsonValue::ParseText(commentNul, true, partial)));
  TJsonTokenizer t;
  EXPECT_EQ("3", Text(ParseWithTokenizer(t, commentNul, 4, true)));
  EXPECT_EQ(TJsonParseError::perNone, t.Error());
  EXPECT_EQ(4, t.Offset());
}

TEST(JsonParser, NestingIsLimitedToThirtyTwoLevels) {
  auto nested = [](int levels) { return std::string(levels, '[') + "1" + std::string(levels, ']'); };
  EXPECT_TRUE(Parse(nested(31)));
  EXPECT_FALSE(Parse(nested(32)));
  EXPECT_EQ(TJsonParseError::perDepth, ErrorOf(nested(32)));
  EXPECT_TRUE(Parse(std::string(32, '[') + std::string(32, ']')));
  auto objects = [](int levels) {
    std::string s;
    for (int i = 0; i < levels; ++i) s += "{\"a\":";
    return s + "1" + std::string(levels, '}');
  };
  EXPECT_TRUE(Parse(objects(31)));
  EXPECT_EQ(TJsonParseError::perDepth, ErrorOf(objects(32)));
}

TEST(JsonParser, ReadsTheLogsShape) {
  IJsonValue root = Parse("{\"data\":[{\"LogID\":7,\"LogText\":\"a\\u00e9\"}]}");
  ASSERT_TRUE(root);
  TJsonArray* data = root->Lookup(u"data")->ToArray();
  ASSERT_NE(nullptr, data);
  ASSERT_EQ(1, data->Length());
  EXPECT_EQ(u"7", data->Get(0)->Lookup(u"LogID")->ToText());
  EXPECT_EQ(u"a\u00e9", data->Get(0)->Lookup(u"LogText")->ToText());
  EXPECT_FALSE(Parse("{}")->Lookup(u"data"));
  EXPECT_EQ(u"", Parse("{}")->LookupText(u"data"));
}

TEST(JsonParser, TracksLinesAndColumns) {
  struct {
    const char* text;
    TJsonParseError error;
    int32_t line, column;
  } const cases[] = {
      {"[1,\n\t2,\n  x]", TJsonParseError::perString, 3, 4},
      // Escapes and names move the column by each of their characters.
      {"[\"\\u00e9\\n\\\"\", \"\\u12g4\"]", TJsonParseError::perString, 1, 21},
      {"{\"ab\":1,\n\"c\\td\" 2}", TJsonParseError::perNameSeparator, 2, 8},
      {"[\"\\x4", TJsonParseError::perString, 1, 6},  // the end of the text is no hex digit
  };
  for (const auto& c : cases) {
    TJsonTokenizer t;
    ParseWithTokenizer(t, W(c.text), -1, true);
    EXPECT_EQ(c.error, t.Error()) << c.text;
    EXPECT_EQ(c.line, t.Line()) << c.text;
    EXPECT_EQ(c.column, t.Column()) << c.text;
    TJsonTokenizer b;
    ParseWithTokenizer(b, std::string_view(c.text), -1, true);
    EXPECT_EQ(c.error, b.Error()) << c.text;
    EXPECT_EQ(c.line, b.Line()) << c.text;
    EXPECT_EQ(c.column, b.Column()) << c.text;
  }
}

// Feeding a document in two pieces, split at every offset, gives the same result as one
// piece, over 16-bit units and over bytes: a cut may fall inside a name, a run of plain
// characters or an escape, which the parser otherwise reads in one step.
TEST(JsonParser, ContinuesAcrossPiecesSplitAtEveryOffset) {
  const std::string docs[] = {
      "{\"data\":[{\"LogID\":7,\"Text\":\"a\\u00e9 \\\"q\\\"\",\"n\":null,\"t\":true},1.5,-2e3,[]]}",
      "/* c */ [ 'x' , // y\n 12.25 , false ]",
      "{\"a\\\"b\":\"\\x41\\u0062\\/\\r\\n\\t\\q\",'c\\u0064':[\"\\\\\"]}",
  };
  for (const std::string& doc : docs) {
    const std::string whole = Text(Parse(doc));
    ASSERT_NE("<none>", whole);
    const std::u16string text = W(doc);
    for (size_t k = 0; k <= text.size(); ++k) {
      TJsonTokenizer t;
      IJsonValue first = ParseWithTokenizer(t, std::u16string_view(text).substr(0, k), static_cast<int32_t>(k), true);
      if (k < text.size()) {
        EXPECT_EQ(TJsonParseError::perIncomplete, t.Error()) << k;
      }
      IJsonValue rest = ParseWithTokenizer(t, std::u16string_view(text).substr(k), -1, true);
      EXPECT_EQ(TJsonParseError::perNone, t.Error()) << k;
      EXPECT_EQ(whole, Text(rest)) << "split at " << k;

      TJsonTokenizer b;
      ParseWithTokenizer(b, std::string_view(doc).substr(0, k), static_cast<int32_t>(k), true);
      if (k < doc.size()) {
        EXPECT_EQ(TJsonParseError::perIncomplete, b.Error()) << k;
      }
      IJsonValue restBytes = ParseWithTokenizer(b, std::string_view(doc).substr(k), -1, true);
      EXPECT_EQ(TJsonParseError::perNone, b.Error()) << k;
      EXPECT_EQ(whole, Text(restBytes)) << "bytes split at " << k;
    }
  }
  // A piece that ends right after a finished top-level value and its white space is done.
  TJsonTokenizer t;
  IJsonValue v = ParseWithTokenizer(t, u"[1] ", 4, true);
  EXPECT_EQ(TJsonParseError::perNone, t.Error());
  EXPECT_EQ("[1]", Text(v));
}

// Malformed and hostile documents written for this test: every one must end without a
// crash, a hang or unbounded memory, in both modes.
TEST(JsonParser, SurvivesTheMalformedCorpus) {
  const std::filesystem::path dir = std::filesystem::path(TAMVIREL_TEST_DATA) / "json" / "malformed";
  ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    const std::u16string text = runtime::AnsiToWide(ss.str());
    for (bool strict : {true, false}) {
      for (bool partial : {true, false}) {
        IJsonValue v = TJsonValue::ParseText(text, strict, partial);
        if (v) {
          (void)v->ToJsonText(true, true);
          (void)v->Lookup(u"data[0].LogText");
        }
      }
    }
    IJsonValue strictValue = TJsonValue::ParseText(text, true, false);
    const std::string name = entry.path().filename().string();
    if (name.rfind("bad_", 0) == 0) {
      EXPECT_FALSE(strictValue) << name;
    }
    if (name.rfind("ok_", 0) == 0) {
      EXPECT_TRUE(strictValue) << name;
    }
    ++files;
  }
  EXPECT_GE(files, 10);
}

}  // namespace
