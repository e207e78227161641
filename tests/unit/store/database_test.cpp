// The listings database: the conversion's rows as clean typed values, beside the SQL files.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "app/main_form.h"
#include "listing/clean_values.h"
#include "runtime/file_io.h"
#include "runtime/ini_file.h"
#include "store/listing_store.h"

namespace {
namespace fs = std::filesystem;

const char* const kTables[] = {"geocaches", "Attributes", "TBGC", "AdditionalWaypoints", "GeocacheLogs"};

std::string Folder() {
  const std::string dir = testing::TempDir() + "store_" + testing::UnitTest::GetInstance()->current_test_info()->name();
  fs::remove_all(dir);
  fs::create_directories(dir + "/tmp");
  return dir + "/";
}

// Every row of every table, each value as its type and its exact bytes, rows sorted.
std::map<std::string, std::vector<std::string>> Dump(const std::string& path) {
  sqlite3* db = nullptr;
  EXPECT_EQ(SQLITE_OK, sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr)) << path;
  std::map<std::string, std::vector<std::string>> rows;
  for (const char* table : kTables) {
    sqlite3_stmt* s = nullptr;
    EXPECT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, (std::string("SELECT * FROM ") + table).c_str(), -1, &s, nullptr));
    while (sqlite3_step(s) == SQLITE_ROW) {
      std::string row;
      for (int c = 0; c < sqlite3_column_count(s); ++c) {
        row += std::to_string(sqlite3_column_type(s, c)) + ":";
        row.append(static_cast<const char*>(sqlite3_column_blob(s, c)) ?: "", sqlite3_column_bytes(s, c));
        row += '\x1f';
      }
      rows[table].push_back(row);
    }
    sqlite3_finalize(s);
    std::sort(rows[table].begin(), rows[table].end());
  }
  sqlite3_close(db);
  return rows;
}

// The first column of the first row `sql` gives, as text ("NULL" for none).
std::string Query(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  EXPECT_EQ(SQLITE_OK, sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr)) << path;
  sqlite3_stmt* s = nullptr;
  EXPECT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr)) << sqlite3_errmsg(db) << "\n" << sql;
  std::string value = "(no row)";
  if (sqlite3_step(s) == SQLITE_ROW) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    value = text ? std::string(text, sqlite3_column_bytes(s, 0)) : "NULL";
  }
  sqlite3_finalize(s);
  sqlite3_close(db);
  return value;
}

// How many statements of each table the SQL file holds.
std::map<std::string, size_t> StatementsPerTable(const fs::path& sqlFile) {
  std::map<std::string, size_t> lines;
  const std::string text = runtime::ReadWholeFile(sqlFile.string());
  for (size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
    for (const char* table : kTables)
      if (text.compare(at, 23 + std::strlen(table), std::string("Insert or replace into ") + table) == 0) ++lines[table];
  return lines;
}

}  // namespace

// Every test page, hostile and real-shaped, lands with one row per statement of its SQL file, and a
// second conversion replaces instead of adding.
TEST(Database, EveryTestPageLandsWithARowPerStatement) {
  std::vector<fs::path> pages = {fs::path(TAMVIREL_EXAMPLES) / "GC1TAMV.htm"};
  for (const auto& e : fs::directory_iterator(fs::path(TAMVIREL_TEST_DATA) / "listing"))
    if (e.path().extension() == ".htm") pages.push_back(e.path());
  ASSERT_GE(pages.size(), 7u);
  for (const fs::path& page : pages) {
    SCOPED_TRACE(page.filename().string());
    const std::string dir = Folder();
    app::TKelthornF form({}, dir);
    form.FormCreate();
    EXPECT_EQ(dir + "listings.db", form.DatabaseFile);
    for (int run = 1; run <= 2; ++run) {
      const auto converted = form.ConvertSavedPage(page.string());
      ASSERT_TRUE(converted.Converted) << converted.Failure;
      EXPECT_EQ(0, form.StoreFailures());
      auto lines = StatementsPerTable(fs::directory_iterator(dir + "tmp")->path());
      auto rows = Dump(dir + "listings.db");
      for (const char* table : kTables) EXPECT_EQ(lines[table], rows[table].size()) << table << " run " << run;
    }
  }
}

// The example page read back: the values a person querying expects, not the SQL file's text. A
// log whose text holds an escaped character and a NUL lands too: the character as UTF-8, the NUL
// dropped (the SQL file keeps both as the code page has them).
TEST(Database, TheExamplePageReadsBackAsCleanTypedValues) {
  const std::string dir = Folder();
  std::string page = runtime::ReadWholeFile(std::string(TAMVIREL_EXAMPLES) + "/GC1TAMV.htm");
  page.replace(page.find("\"LogText\":\"Published\""), 21, "\"LogText\":\"pokra\\u010Dovali\\u0000 \xC4\x8F" "alej\"");
  runtime::WriteFileAtomic(dir + "page.htm", page);
  app::TKelthornF form({}, dir);
  form.FormCreate();
  ASSERT_TRUE(form.ConvertSavedPage(dir + "page.htm").Converted);
  EXPECT_EQ(0, form.StoreFailures());
  EXPECT_NE(std::string::npos, runtime::ReadWholeFile(dir + "tmp/GC1TAMV.sql").find(std::string("pokra\xE8ovali\0 \xC4\x8F", 15)));
  const struct {
    const char* Sql;
    std::string Value;
  } rows[] = {
      {"SELECT UserName || '|' || PlacedBy || '|' || State FROM geocaches", "Tamara V.|Tamara V.|Bratislavsk\xC3\xBD kraj"},
      {"SELECT typeof(Difficulty) || ' ' || Difficulty || ' ' || typeof(Terrain) FROM geocaches", "real 2.5 real"},
      {"SELECT typeof(Latitude) || ' ' || Latitude || ' ' || Longitude FROM geocaches", "real 48.1353833 17.1076"},
      {"SELECT typeof(FavoritePoints) || FavoritePoints || typeof(CountryID) || CountryID FROM geocaches",
       "integer12integer182"},
      {"SELECT IsPremium || IsLocked || Available || Archived || IsFull FROM geocaches", "00101"},
      {"SELECT DateCreated || '|' || UTCPlaceDate || '|' || DateLastUpdate FROM geocaches",
       "2011-06-15|2011-06-15|2013-04-05 10:11:12"},
      {"SELECT typeof(DateLastVisited) || ' ' || typeof(GeocacheNote) FROM geocaches", "null null"},
      // Its own paragraphs stay, with a real line break between them; what the cut took along goes.
      {"SELECT substr(LongDescription, 1, 3) || '|' || substr(LongDescription, -14) FROM geocaches",
       "<p>| \xC5\xA1myk\xC4\xBE" "av\xC3\xBD.</p>"},
      {"SELECT instr(LongDescription, '</p>' || char(10) || '<p>') > 0 FROM geocaches", "1"},
      {"SELECT count(*) FROM geocaches WHERE (LongDescription || EncodedHints || ShortDescription || UserName) "
       "GLOB '*[#<]1[03];*' OR (LongDescription || EncodedHints) LIKE '%' || char(13) || '%' "
       "OR EncodedHints LIKE '%</div>%' OR LongDescription LIKE '%</span>%'", "0"},
      {"SELECT EncodedHints FROM geocaches", "Pod kamenem [under the stone], vedla <br />za stromom"},
      {"SELECT LogText || '|' || VisitDate || '|' || typeof(UserId) || UserId FROM GeocacheLogs WHERE Id = '271828182'",
       "Pekn\xC3\xA1 prech\xC3\xA1""dzka, v\xC4\x8F""aka!<br />TFTC|2013-04-02|integer4711"},
      {"SELECT LogText || '|' || VisitDate || '|' || UserId || '|' || IsArchived FROM GeocacheLogs WHERE Id = '161803398'",
       "pokra\xC4\x8Dovali \xC4\x8F""alej|2011-06-16|1001|0"},
      {"SELECT typeof(Latitude) || ' ' || Comment FROM AdditionalWaypoints WHERE Code = 'PK1TAMV'",
       "real Odstavn\xC3\xA1 plocha pri ceste, zadarmo."},
      // The README's query of a box of coordinates.
      {"SELECT Code FROM geocaches WHERE Latitude BETWEEN 48.0 AND 48.5 AND Longitude BETWEEN 16.8 AND 17.4", "GC1TAMV"},
  };
  for (const auto& row : rows) EXPECT_EQ(row.Value, Query(dir + "listings.db", row.Sql)) << row.Sql;
}

// What a cut carries along goes at either end; what belongs to the value stays.
TEST(Database, ValuesLoseOnlyWhatTheCutCarriedAlong) {
  const struct {
    std::string Raw, Clean;
  } texts[] = {
      {"\r\n  <p>a</p>\r\n</span>\r\n  </div>\r\n", "<p>a</p>"},
      {"<div>a</div></div>", "<div>a</div>"},  // only the closing tag without its opening
      {"</span> a <br />", "a"},                   // a tag left at the end opens nothing
      {"a<br />b\r\nc\rd\ne", "a<br />b\nc\nd\ne"},
      {std::string("x\0y", 3), "xy"},
      {"bad \xC3 byte", "bad \xEF\xBF\xBD byte"},
      {" \r\n</div> ", ""},
      {"a < b >", "a < b >"},
  };
  for (const auto& t : texts) {
    std::string scratch;
    EXPECT_EQ(t.Clean, listing::CleanText(t.Raw, scratch)) << t.Raw;
  }
  EXPECT_EQ("2012-12-31", listing::IsoDate("12-31-2012"));
  EXPECT_EQ("", listing::IsoDate("02-30-2012"));
  EXPECT_EQ("2012-02-29", listing::IsoDate("2012-02-29"));
  EXPECT_EQ("", listing::IsoDateTime("2013-04-05T10:11:12"));
  EXPECT_EQ(std::nullopt, listing::RealValue("null"));
  EXPECT_EQ(std::nullopt, listing::IntegerValue("12a"));
}

// A database the previous version made holds the SQL file's text: on open it becomes schema 2,
// its rows kept and cleaned as new rows are, and new caches land beside them.
TEST(Database, ASchema1FileIsUpgradedWithItsRows) {
  const std::string dir = Folder();
  const std::string path = dir + "listings.db";
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(db,
      "PRAGMA journal_mode=WAL;"
      "CREATE TABLE geocaches (Names TEXT, CacheType TEXT, Code TEXT NOT NULL PRIMARY KEY,"
      " ContainerTypeName TEXT, Country TEXT, CountryID TEXT, DateCreated TEXT, DateLastVisited TEXT,"
      " DateLastUpdate TEXT, Difficulty TEXT, EncodedHints TEXT, FavoritePoints TEXT, GUID TEXT, IsPremium TEXT,"
      " IsLocked TEXT, Latitude TEXT, LongDescription TEXT, Longitude TEXT, PublicGuid TEXT, UserName TEXT,"
      " PlacedBy TEXT, ShortDescription TEXT, State TEXT, StateID TEXT, Terrain TEXT, UTCPlaceDate TEXT,"
      " Available TEXT, Archived TEXT, IsFull TEXT, DatUpd TEXT, GeocacheNote TEXT, mnm INTEGER);"
      "CREATE TABLE Attributes (Code TEXT NOT NULL PRIMARY KEY, Attr TEXT);"
      "CREATE TABLE TBGC (GcCode TEXT NOT NULL PRIMARY KEY, trackables TEXT);"
      "CREATE TABLE AdditionalWaypoints (Code TEXT NOT NULL, Comment TEXT, Description TEXT,"
      " GeocacheCode TEXT NOT NULL, GUID TEXT, Latitude TEXT, Longitude TEXT, Name TEXT, Type TEXT, Url TEXT,"
      " UrlName TEXT, PRIMARY KEY (GeocacheCode, Code));"
      "CREATE TABLE GeocacheLogs (Id TEXT NOT NULL PRIMARY KEY, Code TEXT, GcCode TEXT,"
      " PublicGuid TEXT, UserId INTEGER, UserName TEXT, Guid TEXT, LogText TEXT, WptLogTypeName TEXT,"
      " VisitDate TEXT, IsArchived TEXT);"
      "INSERT INTO geocaches VALUES ('Old''s','Traditional Cache','GC1OLD','small','Slovakia','182','2010-01-31','',"
      " '2012-02-03 04:05:06','3.5','','0','g','false','false','null','<p>a</p>#13;#10;<p>b</p></span>#13;#10;  </div>',"
      " '17.5','p','Owner#13;','Owner#13;','','Kraj','290','1','2010-01-31','true','false','true','2013-01-01 00:00:00','',9999);"
      "INSERT INTO Attributes VALUES ('GC1OLD','A--N');"
      "INSERT INTO TBGC VALUES ('GC1OLD','');"
      "INSERT INTO AdditionalWaypoints VALUES ('PK1OLD','note','P','GC1OLD','w','48.5','null','Parking','Waypoint|Parking','u','P');"
      "INSERT INTO GeocacheLogs VALUES ('7','GC1OLD','GC1OLD','a',12,'J\xE1n','lg','\xE8" "aj#13;#10;ok','Found it','12-31-2012','false');"
      "PRAGMA user_version=1;",
      nullptr, nullptr, nullptr));
  sqlite3_close(db);
  { store::TListingStore upgraded(path); }
  const struct {
    const char* Sql;
    std::string Value;
  } rows[] = {
      {"PRAGMA user_version", "2"},
      {"SELECT Names || '|' || UserName || '|' || LongDescription FROM geocaches", "Old's|Owner|<p>a</p>\n<p>b</p>"},
      {"SELECT typeof(Difficulty) || typeof(Latitude) || typeof(Longitude) || typeof(EncodedHints) || IsFull FROM geocaches",
       "realnullrealnull1"},
      {"SELECT count(*) FROM geocaches WHERE Terrain = 1 AND FavoritePoints = 0 AND typeof(DateLastVisited) = 'null'", "1"},
      {"SELECT Attr || typeof((SELECT trackables FROM TBGC)) FROM Attributes", "A--Nnull"},
      {"SELECT typeof(Latitude) || Latitude || typeof(Longitude) FROM AdditionalWaypoints", "real48.5null"},
      {"SELECT UserName || '|' || LogText || '|' || VisitDate || '|' || IsArchived FROM GeocacheLogs",
       "J\xC3\xA1n|\xC4\x8D""aj\nok|2012-12-31|0"},
      {"SELECT count(*) FROM sqlite_master WHERE name LIKE '%schema1%'", "0"},
  };
  for (const auto& row : rows) EXPECT_EQ(row.Value, Query(path, row.Sql)) << row.Sql;
  app::TKelthornF form({}, dir);
  form.FormCreate();
  ASSERT_TRUE(form.ConvertSavedPage(std::string(TAMVIREL_EXAMPLES) + "/GC1TAMV.htm").Converted);
  EXPECT_EQ(0, form.StoreFailures());
  // The README's query by difficulty: 3.5 before 2.5 (and "10" would not sort before "2.5").
  EXPECT_EQ("GC1OLD 3.5,GC1TAMV 2.5",
            Query(path, "SELECT group_concat(Code || ' ' || Difficulty) FROM (SELECT Code, Difficulty FROM geocaches "
                        "WHERE Difficulty >= 2 ORDER BY Difficulty DESC)"));
}

// Another program holds the write lock: each code's database step fails after the time-out with
// the file and the reason, the code counts as failed, its SQL file is written, the batch goes on,
// and nothing is lost.
TEST(Database, ALockedDatabaseFailsEachCodeAndKeepsItsRows) {
  const std::string dir = Folder();
  const std::string pageFile = std::string(TAMVIREL_TEST_DATA) + "/listing/waypoint_rows.htm";
  app::TKelthornF first({}, dir);
  first.FormCreate();
  ASSERT_TRUE(first.ConvertSavedPage(pageFile).Converted);
  const auto before = Dump(dir + "listings.db");
  sqlite3* other = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open((dir + "listings.db").c_str(), &other));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, "BEGIN IMMEDIATE; DELETE FROM TBGC", nullptr, nullptr, nullptr));
  app::TKelthornF form({"GC3WPT", "GC4WPT"}, dir);
  form.DatabaseBusyTimeoutMs = 100;
  form.OnLogin = [&] { form.SignedIn = true; };
  form.OnDownload = [&](const std::string& url, const std::string&, const std::string& file, auto&, auto&) {
    std::string text = runtime::ReadWholeFile(pageFile), code = url.substr(url.size() - 6);
    for (size_t at = 0; (at = text.find("GC3WPT", at)) != std::string::npos; at += 6) text.replace(at, 6, code);
    return runtime::WriteFileAtomic(file, text), true;
  };
  form.FormCreate();
  testing::internal::CaptureStderr();
  // Not in the database: not converted, though the SQL file is written.
  for (const auto& r : form.RunBatch()) EXPECT_EQ(app::TKelthornF::TCodeOutcome::StoreFailed, r.Outcome) << r.Code;
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(2, form.StoreFailures());
  EXPECT_TRUE(runtime::FileExists(dir + "tmp/GC4WPT.sql"));
  EXPECT_NE(std::string::npos, err.find("tamvirel: chyba GC3WPT: database " + dir + "listings.db: database is locked")) << err;
  EXPECT_NE(std::string::npos, err.find("tamvirel: chyba GC4WPT: database " + dir + "listings.db: database is locked")) << err;
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  EXPECT_EQ(before, Dump(dir + "listings.db"));
}

// A file that is not a database is never written to: the run reports it, writes the SQL files and
// ends with status 1. An empty "Output"/"Database" turns the database off.
TEST(Database, AFileThatIsNotADatabaseIsLeftAsItIs) {
  const std::string dir = Folder();
  const std::string notes = dir + "notes.txt";
  std::string text;
  for (int i = 0; i < 200; ++i) text += "A line of the user's own notes, not a database.\n";
  runtime::WriteFileAtomic(notes, text);
  ::setenv("XDG_DATA_HOME", dir.c_str(), 1);
  const std::string pages = std::string(TAMVIREL_TEST_DATA) + "/listing/";
  testing::internal::CaptureStderr();
  EXPECT_EQ(1, app::RunProgram({"--db", notes, "--convert", pages + "full_page.htm", pages + "waypoint_rows.htm"}));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(text, runtime::ReadWholeFile(notes));
  EXPECT_FALSE(fs::exists(notes + "-wal"));
  EXPECT_TRUE(runtime::FileExists(dir + "tamvirel/tmp/GC3WPT.sql"));
  EXPECT_NE(std::string::npos, err.find("tamvirel: chyba GC3WPT: database " + notes + ": file is not a database")) << err;
  runtime::TIniFile(dir + "tamvirel/rovkast.ini").WriteString("Output", "Database", "");
  EXPECT_EQ(0, app::RunProgram({"--convert", pages + "full_page.htm"}));
  EXPECT_FALSE(fs::exists(dir + "tamvirel/listings.db"));
  ::unsetenv("XDG_DATA_HOME");
}

