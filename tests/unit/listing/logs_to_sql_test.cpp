// The cache logs: statement text, order, quoting, character sets and the failures that end a
// conversion.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json/json_value.h"
#include "listing/logs_to_sql.h"
#include "runtime/codepage.h"

using listing::ELogsError;
using listing::LogsToSql;

namespace {

std::string Log(const std::string& id, const std::string& text, const std::string& accountId = "12345",
                const std::string& visited = "\"5/7/2012\"") {
  return "{\"LogID\":" + id + ",\"LogGuid\":\"lg-" + id + "\",\"LogType\":\"Found it\",\"LogText\":" + text +
         ",\"Visited\":" + visited + ",\"UserName\":\"Peter\",\"AccountID\":" + accountId +
         ",\"AccountGuid\":\"ag-1\",\"creator\":{\"GroupTitle\":\"Member\"},\"Images\":[]}";
}

std::string Page(const std::vector<std::string>& logs) {
  std::string s = " {\"status\":\"success\",\"data\":[";
  for (size_t i = 0; i < logs.size(); ++i) s += (i ? "," : "") + logs[i];
  return s + "],\"pageInfo\":{\"idx\":1}};\r\n        ";
}

std::vector<std::string> Convert(const std::string& logs, const std::string& code = "GC1ABC") {
  std::vector<std::string> out;
  LogsToSql(logs, code, out);
  return out;
}

TEST(LogsToSql, WritesOneStatementPerLogInArrayOrder) {
  const auto out = Convert(Page({Log("3", "\"first\""), Log("1", "\"second\""), Log("2", "\"third\"")}));
  ASSERT_EQ(3u, out.size());
  EXPECT_EQ(
      "Insert or replace into GeocacheLogs(Id,Code,GcCode,PublicGuid,UserId,UserName,Guid,LogText,WptLogTypeName,"
      "VisitDate,IsArchived) Values ('3','GC1ABC','GC1ABC','ag-1',12345,'Peter','lg-3','first','Found it',"
      "'05-07-2012','false')",
      out[0]);
  EXPECT_NE(std::string::npos, out[1].find("'second'"));
  EXPECT_NE(std::string::npos, out[2].find("'third'"));
  EXPECT_TRUE(Convert(Page({})).empty());
}

TEST(LogsToSql, AppendsAfterEarlierStatements) {
  std::vector<std::string> out = {"earlier"};
  LogsToSql(Page({Log("1", "\"x\"")}), "GC1", out);
  ASSERT_EQ(2u, out.size());
  EXPECT_EQ("earlier", out[0]);
}

TEST(LogsToSql, QuotesApostrophesAndKeepsEachStatementOnOneLine) {
  const auto out = Convert(Page({Log("1", "\"It's <b>here</b>\\r\\nnext line\"")}), "GC'1");
  ASSERT_EQ(1u, out.size());
  EXPECT_NE(std::string::npos, out[0].find("'It''s <b>here</b>#13;#10;next line'"));
  EXPECT_NE(std::string::npos, out[0].find("('1','GC''1','GC''1',"));
  EXPECT_EQ(std::string::npos, out[0].find('\n'));
  EXPECT_EQ(std::string::npos, out[0].find('\r'));
}

TEST(LogsToSql, WritesTheAccountIdBareOnlyWhenItIsAnInteger) {
  EXPECT_NE(std::string::npos, Convert(Page({Log("1", "\"x\"", "12345")}))[0].find("'ag-1',12345,'Peter'"));
  EXPECT_NE(std::string::npos, Convert(Page({Log("1", "\"x\"", "\"12345\"")}))[0].find("'ag-1',12345,'Peter'"));
  EXPECT_NE(std::string::npos, Convert(Page({Log("1", "\"x\"", "-7")}))[0].find("'ag-1',-7,'Peter'"));
  // Anything else is quoted, so it cannot add SQL of its own.
  const auto hostile = Convert(Page({Log("1", "\"x\"", "\"1,'a');DROP TABLE GeocacheLogs;--\"")}));
  EXPECT_NE(std::string::npos, hostile[0].find("'ag-1','1,''a'');DROP TABLE GeocacheLogs;--','Peter'"));
  EXPECT_NE(std::string::npos, Convert(Page({Log("1", "\"x\"", "null")}))[0].find("'ag-1','null','Peter'"));
  EXPECT_NE(std::string::npos, Convert(Page({Log("1", "\"x\"", "\"\"")}))[0].find("'ag-1','','Peter'"));
  EXPECT_NE(std::string::npos, Convert(Page({Log("1", "\"x\"", "\"-\"")}))[0].find("'ag-1','-','Peter'"));
  EXPECT_NE(std::string::npos, Convert(Page({Log("1", "\"x\"", "\"-x\"")}))[0].find("'ag-1','-x','Peter'"));
  EXPECT_NE(std::string::npos, Convert(Page({Log("1", "\"x\"", "1.5")}))[0].find("'ag-1','1.5','Peter'"));
}

TEST(LogsToSql, ReadsMembersAsText) {
  const auto out = Convert(Page({Log("true", "null", "1", "\"12/31/2012\"")}));
  EXPECT_NE(std::string::npos, out[0].find("Values ('true',"));
  EXPECT_NE(std::string::npos, out[0].find("'lg-true','null','Found it','12-31-2012','false')"));
  const auto nested = Convert(Page({Log("1", "{\"a\":[1,2.5]}")}));
  EXPECT_NE(std::string::npos, nested[0].find("'{\"a\":[1,2.5]}'"));
}

TEST(LogsToSql, KeepsPageBytesAndConvertsEscapesToTheCodePage) {
  // UTF-8 bytes of the page pass through unchanged; an escaped character becomes its
  // Windows-1250 byte, or "?" when the code page has none.
  const auto out = Convert(Page({Log("1", "\"Pekn\xC3\xA1 \\u00e9 \\u010d \\u4e2d\"")}));
  EXPECT_NE(std::string::npos, out[0].find("'Pekn\xC3\xA1 \xE9 \xE8 ?'"));
}

TEST(LogsToRows, ReadsTheTextsAsUtf8AsAParseOfTheWholeTextAsUtf8Does) {
  // Texts that are the page's own bytes are taken as they stand; any other escape reads the logs
  // again. Either way the result is what reading the whole text as UTF-8 gives.
  const std::vector<std::string> texts = {
      "\"Pekn\xC3\xA1 \\\"cesta\\\" a\\nmost \\/ \\\\\"",  // raw UTF-8 and ASCII escapes, as the site writes
      "\"\\u00e9 \\u010d \\u4e2d \\ud83d\\ude00\"",          // escapes beyond ASCII, a surrogate pair
      "\"Pekn\xC3\xA1 \\u010d\"",                                // both in one text
      "\"bad \xC3 byte \xE8\"",                                     // bytes that are no UTF-8
      "\"\"", "42", "null", "\"\\u0000x\\t\"",
  };
  std::vector<std::string> logs;
  for (size_t i = 0; i < texts.size(); ++i) logs.push_back(Log(std::to_string(i), texts[i]));
  // A text beyond ASCII in one log must not change how the others are read.
  for (const bool withEscape : {false, true}) {
    std::vector<std::string> some = logs;
    if (!withEscape) some.erase(some.begin() + 1, some.begin() + 3);
    const std::string page = Page(some);
    std::vector<listing::TLogRow> rows;
    listing::LogsToRows(page, "GC1", rows);
    const json::IJsonValue whole = json::TJsonValue::ParseText(runtime::Utf8ToWide(page), true, true);
    json::TJsonArray* list = whole->Lookup(u"data")->ToArray();
    ASSERT_EQ(static_cast<size_t>(list->Length()), rows.size());
    for (int32_t i = 0; i < list->Length(); ++i) {
      const auto utf8 = [&](const char16_t* name) {
        json::TJsonValue* v = list->At(i)->ToObjectTable()->Find(name);
        std::u16string scratch;
        return runtime::WideToUtf8(v->Kind() == json::vkString ? v->StringUnits(scratch)
                                                               : std::u16string_view(scratch = v->ToText()));
      };
      SCOPED_TRACE(some[static_cast<size_t>(i)]);
      EXPECT_EQ(utf8(u"LogText"), rows[static_cast<size_t>(i)].LogTextUtf8);
      EXPECT_EQ(utf8(u"UserName"), rows[static_cast<size_t>(i)].UserNameUtf8);
      EXPECT_EQ(utf8(u"LogType"), rows[static_cast<size_t>(i)].WptLogTypeNameUtf8);
    }
  }
  EXPECT_EQ("Pekn\xC3\xA1 \xC4\x8D", [&] {
    std::vector<listing::TLogRow> rows;
    listing::LogsToRows(Page({Log("1", texts[2])}), "GC1", rows);
    return rows[0].LogTextUtf8;
  }());
}

TEST(LogsToSql, FailsWholeOnTextsItCannotConvert) {
  std::vector<std::string> out = {"kept"};
  EXPECT_THROW(LogsToSql("", "GC1", out), ELogsError);
  EXPECT_THROW(LogsToSql(" {\"data\":[", "GC1", out), ELogsError);
  EXPECT_THROW(LogsToSql("{\"status\":\"success\"}", "GC1", out), ELogsError);
  EXPECT_THROW(LogsToSql("{\"data\":{\"LogID\":1}}", "GC1", out), ELogsError);
  EXPECT_THROW(LogsToSql("{\"data\":[1]}", "GC1", out), ELogsError);
  EXPECT_THROW(LogsToSql("{\"data\":[null]}", "GC1", out), ELogsError);
  EXPECT_THROW(LogsToSql("{data:[]}", "GC1", out), ELogsError);  // strict syntax
  // A later log without "Visited" fails the whole conversion, earlier logs included.
  std::string missing = Log("2", "\"x\"");
  missing.replace(missing.find("\"Visited\""), 9, "\"Seen\"");
  EXPECT_THROW(LogsToSql(Page({Log("1", "\"x\""), missing}), "GC1", out), ELogsError);
  EXPECT_EQ(std::vector<std::string>{"kept"}, out);
}

}  // namespace
