// Trees built in an arena and texts read as 8-bit page bytes: the same values as the plain
// 16-bit parse, members that outlive their document, and the two forms strings are kept in.

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "json/json_tokenizer.h"
#include "json/json_value.h"
#include "runtime/codepage.h"
#include "tests/unit/json/json_test_util.h"

using namespace json;
using json_test::A;
using json_test::Text;

namespace {

struct TOutcome {
  std::string Written;  // escaped compact text, "<none>" without a value
  TJsonParseError Error;
  int32_t Offset, Line, Column;
  bool operator==(const TOutcome&) const = default;
};

std::ostream& operator<<(std::ostream& os, const TOutcome& o) {
  return os << o.Written << " error " << int(o.Error) << " at " << o.Offset << " (" << o.Line << ":" << o.Column
            << ")";
}

// One parse: 16-bit units or bytes, in an arena or value by value, whole or cut at `cut`.
TOutcome ParseOnce(const std::string& bytes, bool strict, bool asBytes, bool arena, size_t cut = std::string::npos) {
  TJsonTokenizer t;
  t.SetArenaMinText(arena ? 0 : SIZE_MAX);
  const std::u16string units = runtime::AnsiToWide(bytes);
  IJsonValue v;
  if (cut != std::string::npos) {
    if (asBytes)
      ParseWithTokenizer(t, std::string_view(bytes).substr(0, cut), static_cast<int32_t>(cut), strict);
    else
      ParseWithTokenizer(t, std::u16string_view(units).substr(0, cut), static_cast<int32_t>(cut), strict);
    if (t.Error() != TJsonParseError::perIncomplete && t.Error() != TJsonParseError::perNone)
      return {"<stopped>", t.Error(), 0, 0, 0};
  }
  const size_t from = cut == std::string::npos ? 0 : cut;
  if (asBytes)
    v = ParseWithTokenizer(t, std::string_view(bytes).substr(from), -1, strict);
  else
    v = ParseWithTokenizer(t, std::u16string_view(units).substr(from), -1, strict);
  return {v ? A(v->ToJsonText(false, true)) : "<none>", t.Error(), t.Offset(), t.Line(), t.Column()};
}

const std::string kLongText(5000, 'x');  // longer than an arena piece

// Documents that reach every way a value or member is made: escapes, bytes above 0x7F
// (0x8A and 0x9A stand for units above 255), a unit the code page lacks, NULs and control
// characters inside strings, long strings and names, repeated names, all number kinds,
// keywords and errors.
const std::vector<std::string> kDocs = {
    "{\"data\":[{\"LogID\":7,\"LogText\":\"a\\u00e9 \\\"q\\\" \\u0161\\r\\n\",\"n\":null,\"t\":true,\"f\":false}]}",
    "[\"Pekn\xe1 \x8a\x9a \xe8\xe9\",\"\\u4e2d mixed \xe1\",\"tab\there\",'apos',\"\",12.5,-3,1e3,0.12345]",
    "{\"a\":1,\"a\":{\"b\":[1,2,{\"a\":3}]},\"\xe1\":\"\xe1\",\"a\":\"last\"}",
    "{\"long\":\"" + kLongText + "\",\"" + kLongText + "\":\"" + kLongText + "\\u4e2d\"}",
    "/* c */ [ 'x' , // y\n 12.25 , false ] trailing",
    std::string("[\"nul\0inside\"]", 14),
    "{\"unterminated\":\"abc",
    // Objects whose names come in changing orders and sets, so that a guess at the next
    // name from the order last seen is often wrong.
    "[{\"a\":1,\"b\":2,\"c\":3},{\"b\":4,\"a\":5},{\"a\":6,\"c\":7,\"d\":{\"a\":8,\"b\":9}},{\"a\":0,\"b\":1}]",
    "[1,2",
    "{\"a\" 1}",
    "[abc, d e]",
};

TEST(JsonArena, BytesAndArenasGiveTheSameValuesAsUnitsValueByValue) {
  for (const std::string& doc : kDocs) {
    for (bool strict : {true, false}) {
      const TOutcome plain = ParseOnce(doc, strict, false, false);
      SCOPED_TRACE(doc.substr(0, 60) + (strict ? " strict" : " relaxed"));
      EXPECT_EQ(plain, ParseOnce(doc, strict, false, true));
      EXPECT_EQ(plain, ParseOnce(doc, strict, true, false));
      EXPECT_EQ(plain, ParseOnce(doc, strict, true, true));
      // Read in two pieces, cut anywhere: the same again.
      for (size_t cut = 0; cut <= doc.size(); cut += doc.size() > 200 ? 97 : 1) {
        const TOutcome pieces = ParseOnce(doc, strict, true, true, cut);
        if (pieces.Written == "<stopped>") continue;  // the fault lies in the first piece
        EXPECT_EQ(plain.Written, pieces.Written) << "cut at " << cut;
        EXPECT_EQ(plain.Error, pieces.Error) << "cut at " << cut;
      }
    }
  }
  // The public entry for page bytes agrees with the one for units, partial text included.
  for (const std::string& doc : kDocs)
    for (bool partial : {true, false})
      EXPECT_EQ(Text(TJsonValue::ParseText(runtime::AnsiToWide(doc), true, partial)),
                Text(TJsonValue::ParseText(doc, true, partial)));
}

TEST(JsonArena, MembersOutliveTheirDocumentAndStayChangeable) {
  TJsonTokenizer t;
  t.SetArenaMinText(0);
  IJsonValue root = ParseWithTokenizer(t, std::string_view(kDocs[0]), -1, true);
  ASSERT_TRUE(root);
  IJsonValue log = root->Lookup(u"data")->ToArray()->Get(0);
  IJsonValue text = log->Lookup(u"LogText");
  root.Reset();
  // The tree above them is gone; these two and what hangs below them are not.
  EXPECT_EQ(u"a\u00e9 \"q\" \u0161\r\n", text->ToText());
  std::string ansi;
  text->StringAnsi(ansi);
  EXPECT_EQ("a\xe9 \"q\" \x9a\r\n", ansi);
  EXPECT_EQ(7, log->LookupInteger(u"LogID"));
  // Changing them mixes heap members and texts into the arena's objects.
  EXPECT_TRUE(log->StoreText(u"extra", u"\u4e2d"));
  log->MergeText(u"{\"LogID\":8,\"LogText\":\"merged\",\"t\":false}");
  EXPECT_EQ(u"merged", text->ToText());  // merged into the same string value
  log->ToObjectTable()->Delete(u"n");
  const IJsonValue copy = log->Duplicate();
  log->Compact(true);
  EXPECT_EQ(u"{\"LogID\":8,\"t\":false,\"f\":false,\"extra\":\"\u4e2d\",\"LogText\":\"merged\"}", log->ToText());
  EXPECT_EQ(Text(log), Text(copy));
  log->Wipe(true);
  EXPECT_EQ(u"", text->ToText());
  // Let the last holders go on another thread: the arena counts its values atomically.
  std::thread other([held = std::move(text)]() mutable { held.Reset(); });
  log.Reset();
  other.join();
  // (Leak checking in the sanitized build sees whether the arena was given back.)
}

// Freed arenas hand their blocks to later parses: a member kept from an early parse must not
// be among them.
TEST(JsonArena, AKeptMemberSurvivesLaterParsesThatReuseBlocks) {
  std::string doc = "{\"data\":[";
  for (int i = 0; i < 1000; ++i) doc += (i ? ",{" : "{") + std::string("\"LogID\":") + std::to_string(i) + ",\"Text\":\"log " +
                                       std::to_string(i) + " \\u0161\"}";
  doc += "]}";
  ASSERT_GT(doc.size(), TJsonTokenizer::kArenaMinText);  // built in an arena by default
  IJsonValue kept = TJsonValue::ParseText(doc, true, false)->Lookup(u"data")->ToArray()->Get(999);
  for (int round = 0; round < 20; ++round) {
    IJsonValue other = TJsonValue::ParseText(doc, true, false);
    ASSERT_TRUE(other);
    EXPECT_EQ(u"log 7 \u0161", other->Lookup(u"data")->ToArray()->Get(7)->LookupText(u"Text"));
  }
  EXPECT_EQ(999, kept->LookupInteger(u"LogID"));
  EXPECT_EQ(u"log 999 \u0161", kept->LookupText(u"Text"));
}

TEST(JsonArena, StringsKeepEveryUnitInEitherForm) {
  const std::u16string cases[] = {
      u"",
      u"plain ascii longer than one chunk of sixteen",
      u"\u0161\u010d\u017e\u00e1 code page letters \u20ac\u2122 and punctuation",
      u"ascii first for a while, then \u4e2d (no byte for it)",
      std::u16string(u"nul \0 and \x01 controls", 20),
      u"\x81\x83\x88\x90\x98 the five unassigned bytes",
  };
  for (const std::u16string& units : cases) {
    const IJsonValue v = TJsonValue::CreateString(units);
    EXPECT_EQ(units, v->ToText()) << A(units);
    std::u16string scratch;
    EXPECT_EQ(units, v->StringUnits(scratch)) << A(units);
    std::string ansi;
    v->StringAnsi(ansi);
    EXPECT_EQ(runtime::WideToAnsi(units), ansi) << A(units);
    // Through the writer and back.
    EXPECT_EQ(units, TJsonValue::ParseText(v->ToJsonText(false, true), true, false)->ToText()) << A(units);
  }
}

}  // namespace
