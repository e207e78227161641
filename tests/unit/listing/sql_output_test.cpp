#include "listing/sql_output.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "runtime/file_io.h"

namespace listing {
namespace {

// The full statement texts are pinned by the expected files of tests/data/listing.

TEST(ListingSqlOutput, EveryQuotedValueDoublesApostrophes) {
  TGeocacheValues v;
  v.Names = "Jack's";
  v.Country = "Cote d'Ivoire";  // plain columns are quoted too: an apostrophe must not end the string
  v.CacheType = "x'); drop table geocaches; --";
  const std::string s = GeocachesStatement(v);
  EXPECT_NE(std::string::npos, s.find("('Jack''s','x''); drop table geocaches; --','','','Cote d''Ivoire','"));
  EXPECT_EQ(",9999);", s.substr(s.size() - 7));

  EXPECT_EQ("Insert or replace into Attributes (Code,Attr) Values ('GC1''A','A-N')",
            AttributesStatement("GC1'A", "A-N"));
  // A code cut from a broken title may hold a line break; the statement still takes one line.
  EXPECT_EQ("Insert or replace into Attributes (Code,Attr) Values ('GC#13;#10;1','A-N')",
            AttributesStatement("GC\r\n1", "A-N"));
  EXPECT_EQ("Insert or replace into TBGC(GcCode,trackables) Values ('GC1','<ul>#13;#10;<li>Bob''s</li></ul>');",
            TbgcStatement("GC1", "<ul>\r\n<li>Bob's</li></ul>"));
}

TEST(ListingSqlOutput, CodesThatLeaveTheFolderAreRefused) {
  EXPECT_EQ("/d/tmp/GC12AB.sql", SqlFileName("/d/", "GC12AB"));
  EXPECT_EQ("/d/tmp/.sql", SqlFileName("/d/", ""));
  for (const std::string& bad : std::vector<std::string>{"../x", "a/b", "a\\b", ".", "..", std::string("a\0b", 3)}) {
    EXPECT_THROW(SqlFileName("/d/", bad), runtime::EFileError) << bad;
  }
}

TEST(ListingSqlOutput, SaveWritesCrLfAfterEveryLineAndReplaces) {
  const std::filesystem::path dir = std::filesystem::path(testing::TempDir()) / "listing_sql_output_save";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "GC1.sql").string();
  SaveStatements(path, {"a", "b"});
  EXPECT_EQ("a\r\nb\r\n", runtime::ReadWholeFile(path));
  SaveStatements(path, {"c"});
  EXPECT_EQ("c\r\n", runtime::ReadWholeFile(path));
  EXPECT_THROW(SaveStatements((dir / "missing" / "GC1.sql").string(), {"x"}), runtime::EFileError);
  // No temporary file is left behind.
  EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace listing
