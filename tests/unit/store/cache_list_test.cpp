// The window's read of the listings database: the rows the conversion wrote, and a file whose
// values are typed or whose columns differ, read by name.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <string>

#include "store/cache_list.h"
#include "store/listing_store.h"

namespace {

void Exec(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, sql, nullptr, nullptr, nullptr)) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

std::string Row(const store::TCacheRow& r) {
  return r.Code + "|" + r.Name + "|" + r.Type + "|" + r.Difficulty + "|" + r.Terrain + "|" + r.ConvertedAt;
}

}  // namespace

TEST(CacheList, ReadsTextOrTypedValuesByColumnNameAndNothingFromAMissingFile) {
  const std::string dir = testing::TempDir() + "cache_list/";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  EXPECT_TRUE(store::ReadCacheList(dir + "none.db").empty());
  EXPECT_EQ(store::ReadLongDescription(dir + "none.db", "GC1"), "");
  EXPECT_FALSE(std::filesystem::exists(dir + "none.db"));  // reading never creates it

  // As the conversion writes it: every value text.
  {
    store::TListingStore writer(dir + "text.db");
    writer.Apply({"Insert or replace into geocaches (Names,CacheType,Code,Difficulty,Terrain,DatUpd,LongDescription,mnm)"
                  "values ('Mlyn','Traditional Cache','GCB','2.5','1','2024-05-06 07:08:09','<p>a</p>',9999)",
                  "Insert or replace into geocaches (Names,CacheType,Code,DatUpd)values ('Potok','Multi-cache','GCA','x')"});
  }
  auto rows = store::ReadCacheList(dir + "text.db");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(Row(rows[0]), "GCA|Potok|Multi-cache|||x");  // ordered by code
  EXPECT_EQ(Row(rows[1]), "GCB|Mlyn|Traditional Cache|2.5|1|2024-05-06 07:08:09");
  EXPECT_EQ(store::ReadLongDescription(dir + "text.db", "GCB"), "<p>a</p>");
  EXPECT_EQ(store::ReadLongDescription(dir + "text.db", "GCX"), "");

  // Typed values, columns in another order, one missing: read by name all the same.
  Exec(dir + "typed.db",
       "CREATE TABLE geocaches (Code TEXT PRIMARY KEY, Difficulty REAL, Terrain REAL, Names TEXT, DatUpd TEXT);"
       "INSERT INTO geocaches VALUES ('GC1', 2.0, 4.5, 'Ko\xC5\x88', '2026-01-02 03:04:05');");
  rows = store::ReadCacheList(dir + "typed.db");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(Row(rows[0]), "GC1|Ko\xC5\x88||2|4.5|2026-01-02 03:04:05");

  // A file that is no database is an error that names it.
  Exec(dir + "other.db", "CREATE TABLE t (x);");
  EXPECT_THROW(store::ReadCacheList(dir + "other.db"), store::EStoreError);
}
