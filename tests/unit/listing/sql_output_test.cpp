#include "listing/sql_output.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "runtime/file_io.h"

namespace listing {
namespace {

TEST(ListingSqlOutput, GeocachesStatementByteForByte) {
  TGeocacheValues v;
  v.Names = "Little bridge";
  v.CacheType = "Traditional Cache";
  v.Code = "GC12AB";
  v.ContainerTypeName = "small";
  v.Country = "Slovakia";
  v.CountryID = "182";
  v.DateCreated = "2011-06-15";
  v.DateLastUpdate = "2013-04-05 10:11:12";
  v.Difficulty = "2.5";
  v.EncodedHints = "Under [N3] rock";
  v.FavoritePoints = "12";
  v.GUID = "g";
  v.IsPremium = "false";
  v.IsLocked = "false";
  v.Latitude = "48.1353833";
  v.LongDescription = "line1\r\nline2";
  v.Longitude = "-17.1076000";
  v.PublicGuid = "p";
  v.UserName = "Someone\r";
  v.PlacedBy = "Someone\r";
  v.ShortDescription = "short";
  v.State = "Region";
  v.StateID = "290";
  v.Terrain = "1.5";
  v.UTCPlaceDate = "2011-06-15";
  v.Available = "true";
  v.Archived = "false";
  v.IsFull = "true";
  v.DatUpd = "2024-05-06 07:08:09";
  EXPECT_EQ(
      "Insert or replace into geocaches (Names,CacheType,Code,ContainerTypeName,Country,CountryID,"
      "DateCreated,DateLastVisited,DateLastUpdate,Difficulty,EncodedHints,FavoritePoints,GUID,IsPremium,"
      "IsLocked,Latitude,LongDescription,Longitude,PublicGuid,UserName,PlacedBy,ShortDescription,State,"
      "StateID,Terrain,UTCPlaceDate,Available,Archived,IsFull,DatUpd,GeocacheNote,mnm)values ("
      "'Little bridge','Traditional Cache','GC12AB','small','Slovakia','182','2011-06-15','',"
      "'2013-04-05 10:11:12','2.5','Under [N3] rock','12','g','false','false','48.1353833',"
      "'line1#13;#10;line2','-17.1076000','p','Someone#13;','Someone#13;','short','Region','290','1.5',"
      "'2011-06-15','true','false','true','2024-05-06 07:08:09','',9999);",
      GeocachesStatement(v));
}

TEST(ListingSqlOutput, EveryQuotedValueDoublesApostrophes) {
  TGeocacheValues v;
  v.Names = "Jack's";
  v.Country = "Cote d'Ivoire";  // written "as is" in the original layout: it would end the string
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

TEST(ListingSqlOutput, AdditionalWaypointsColumnOrder) {
  TWaypointValues w{"PK12AB", "Parking's", "0123", "Parking Area", "48.1000000", "null"};
  EXPECT_EQ(
      "Insert or replace into AdditionalWaypoints (Code,Comment,Description,GeocacheCode,GUID,Latitude,"
      "Longitude,Name,Type,Url,UrlName) Values ('PK12AB','Park here#13;#10;please','Parking''s','GC12AB',"
      "'0123','48.1000000','null','Parking Area','Waypoint|Parking Area',"
      "'http://site.test/seek/wpt.aspx?WID=0123','Parking''s');",
      AdditionalWaypointsStatement(w, "Park here\r\nplease", "GC12AB", "site.test"));
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
