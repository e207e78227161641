// The window's read of the listings database: the rows the conversion wrote, and a file whose
// values are typed or whose columns differ, read by name.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <string>

#include "store/cache_list.h"
#include "store/listing_store.h"  // EStoreError

TEST(CacheList, ReadsTextOrTypedValuesByColumnNameAndNothingFromAMissingFile) {
  const std::string dir = testing::TempDir() + "cache_list/";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  auto rows = [](const std::string& path) {
    std::string all;
    for (const store::TCacheRow& r : store::ReadCacheList(path))
      all += r.Code + "|" + r.Name + "|" + r.Type + "|" + r.Difficulty + "|" + r.Terrain + "|" + r.ConvertedAt + "\n";
    return all;
  };
  EXPECT_EQ(rows(dir + "none.db"), "");
  EXPECT_EQ(store::ReadLongDescription(dir + "none.db", "GC1"), "");
  EXPECT_FALSE(std::filesystem::exists(dir + "none.db"));  // reading never creates it

  // Every value text (as the first schema kept them), ordered by code; typed values, columns in
  // another order, one missing; and a file that is no listings database.
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open((dir + "text.db").c_str(), &db));
  const std::string sql =
      "CREATE TABLE geocaches (Names TEXT, CacheType TEXT, Code TEXT, Difficulty TEXT, Terrain TEXT, DatUpd TEXT,"
      " LongDescription TEXT);"
      "INSERT INTO geocaches VALUES ('Mlyn', 'Traditional Cache', 'GCB', '2.5', '1', '2024-05-06 07:08:09', '<p>a</p>');"
      "INSERT INTO geocaches (Names, CacheType, Code, DatUpd) VALUES ('Potok', 'Multi-cache', 'GCA', 'x');"
      "ATTACH '" + dir + "typed.db' AS t;"
      "CREATE TABLE t.geocaches (Code TEXT, Difficulty REAL, Terrain REAL, Names TEXT, DatUpd);"
      "INSERT INTO t.geocaches VALUES ('GC1', 2.0, 4.5, 'Ko\xC5\x88', '2026-01-02T03:04:05');"
      "ATTACH '" + dir + "other.db' AS o; CREATE TABLE o.t (x);";
  EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr));
  sqlite3_close(db);
  EXPECT_EQ(rows(dir + "text.db"), "GCA|Potok|Multi-cache|||x\nGCB|Mlyn|Traditional Cache|2.5|1|2024-05-06 07:08:09\n");
  EXPECT_EQ(store::ReadLongDescription(dir + "text.db", "GCB"), "<p>a</p>");
  EXPECT_EQ(store::ReadLongDescription(dir + "text.db", "GCX"), "");
  EXPECT_EQ(rows(dir + "typed.db"), "GC1|Ko\xC5\x88||2|4.5|2026-01-02T03:04:05\n");
  EXPECT_THROW(store::ReadCacheList(dir + "other.db"), store::EStoreError);
}
