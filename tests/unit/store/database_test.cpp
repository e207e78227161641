// The listings database checked against the SQL files, the reference, loaded line by line.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "app/main_form.h"
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

// Loads `sqlFile` line by line into a fresh database with the program's tables, as a user would;
// returns how many lines each table got.
std::map<std::string, size_t> LoadLineByLine(const fs::path& sqlFile, const std::string& path) {
  fs::remove(path);
  { store::TListingStore tables(path); }
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_exec(db, "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr);  // a scratch copy: no syncs
  std::map<std::string, size_t> lines;
  const std::string text = runtime::ReadWholeFile(sqlFile.string());
  for (size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
    const std::string line = text.substr(at, end - at);
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, line.c_str(), nullptr, nullptr, nullptr)) << sqlite3_errmsg(db) << "\n" << line;
    for (const char* table : kTables)
      if (line.starts_with(std::string("Insert or replace into ") + table)) ++lines[table];
  }
  sqlite3_close(db);
  return lines;
}

}  // namespace

// Every test page, hostile and real-shaped: every statement lands, every value reads back with
// the bytes loading the file gives, and a second conversion replaces instead of adding.
TEST(Database, EveryTestPageLandsAsItsFileLoads) {
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
      auto lines = LoadLineByLine(fs::directory_iterator(dir + "tmp")->path(), dir + "reference.db");
      auto rows = Dump(dir + "listings.db");
      for (const char* table : kTables) EXPECT_EQ(lines[table], rows[table].size()) << table;
      EXPECT_EQ(Dump(dir + "reference.db"), rows) << "run " << run;
    }
  }
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

// The statements the conversion writes are run with their values bound instead of read by
// SQLite; every other shape goes to SQLite whole. Either way a line lands as SQLite loads it, and
// a line SQLite would refuse, or that is more than one insert into a listing table, fails whole.
TEST(Database, PlainInsertsLandAsSQLiteReadsThem) {
  const std::string logs = "Insert or replace into GeocacheLogs(Id,Code,GcCode,PublicGuid,UserId,UserName,Guid,LogText,"
                           "WptLogTypeName,VisitDate,IsArchived) Values ";
  const struct {
    std::string Statement;
    bool Plain;  // read here rather than by SQLite
    bool Lands;
  } rows[] = {
      {"Insert or replace into Attributes (Code,Attr) Values ('GC1','A--N')", true, true},
      {"insert OR Replace\tINTO TBGC(GcCode,trackables)values('GC2','it''s ''q'' ''''');", true, true},
      {"\r\n Insert\nor\freplace into\rTBGC ( GcCode , trackables )\n values ( 'GC3' , '' ) ;\r\n", true, true},
      {logs + "('1','GC1','GC1','p',007,'O''Hara','g','a;b)''c','Found it','04-02-2013','false')", true, true},
      {logs + "('2','GC1','GC1','p',999999999999999999,'n','g','t','w','d','f')", true, true},
      {logs + "('3','GC1','GC1','p',1234567890123456789,'n','g','t','w','d','f')", false, true},
      {logs + "('4','GC1','GC1','p',99999999999999999999,'n','g','t','w','d','f')", false, true},
      {logs + "('5','GC1','GC1','p',-5,'n','g','t','w','d','f')", false, true},
      {logs + "('6','GC1','GC1','p',NULL,'n','g','t','w','d','f')", false, true},
      {logs + "('7','GC1','GC1','p',1.5,'n','g','t','w','d','f')", false, true},
      {logs + "('8','GC1','GC1','p',0x1F,'n','g','t','w','d','f')", false, true},
      {logs + "('9','GC1','GC1','p',1e3,'n','g','t','w','d','f')", false, true},
      {"Insert or replace into TBGC(GcCode,trackables) Values ('GC4','a' || 'b')", false, true},
      {"Insert or replace into TBGC(GcCode,trackables) Values ('GC5','x') -- a note", false, true},
      {"Insert or replace into \"TBGC\"(GcCode,trackables) Values ('GC6','x')", false, true},
      {"Insert or replace into TBGC(GcCode,trackables) Values ('GC7',12abc)", false, false},
      {"Insert or replace into TBGC(GcCode,trackables)\vValues ('GC8','x')", false, false},
      {"Insert or replace into TBGC(GcCode,trackables) Values ('GC9','x'); Insert or replace into TBGC(GcCode,"
       "trackables) Values ('GC10','y')",
       false, false},
      {"Insert or replace into TBGC(GcCode,trackables) Values ('GC11','x",  false, false},
      {"Insert or replace into TBGC(GcCode,nothing) Values ('GC12','x')", true, false},
      {"Insert or replace into TBGC(GcCode,trackables) Values ('GC13','x','y')", true, false},
      {"Insert or replace into sqlite_master(name) Values ('x')", true, false},
      {"Insert or replace into TBGC(GcCode,trackables) Values ('GC14','x')\nvalues ('GC15','y')", false, false},
  };
  const std::string dir = Folder();
  store::TListingStore tables(dir + "reference.db");
  sqlite3* reference = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open((dir + "reference.db").c_str(), &reference));
  store::TListingStore listings(dir + "listings.db");
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Statement);
    store::TPlainInsert plain;
    EXPECT_EQ(row.Plain, store::ReadPlainInsert(row.Statement, plain));
    bool landed = true;
    try {
      listings.Apply({row.Statement});
    } catch (const store::EStoreError&) {
      landed = false;
    }
    EXPECT_EQ(row.Lands, landed);
    if (landed) {
      EXPECT_EQ(SQLITE_OK, sqlite3_exec(reference, row.Statement.c_str(), nullptr, nullptr, nullptr));
    }
  }
  sqlite3_close(reference);
  EXPECT_EQ(Dump(dir + "reference.db"), Dump(dir + "listings.db"));
}
