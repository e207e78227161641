// The cache logs: statement text, order, quoting, character sets and the failures that end a
// conversion.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "listing/logs_to_sql.h"

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
