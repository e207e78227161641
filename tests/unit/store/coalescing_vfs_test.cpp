// The file layer that gathers a transaction's log writes: every commit is in the files by the time
// COMMIT returns, nothing else ever shows, and a checkpoint reading the log ahead copies it whole.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/resource.h>

#include <csignal>

#include <filesystem>
#include <map>
#include <string>

#include "store/coalescing_vfs.h"

namespace {
namespace fs = std::filesystem;

std::string Value(int key, int size) {
  std::string value(size, '\0');
  for (int i = 0; i < size; ++i) value[i] = static_cast<char>((key * 131 + i * 7) % 251);
  return value;
}

void Exec(sqlite3* db, const std::string& sql) {
  char* error = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error)) << sql << ": " << (error ?: "");
}

// key -> value size, as read through SQLite's own file layer; a value not as written reads as -1,
// a database that fails SQLite's check as no rows but key -1.
std::map<int, int> Rows(const std::string& path) {
  sqlite3* db = nullptr;
  EXPECT_EQ(SQLITE_OK, sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr));
  std::map<int, int> rows;
  sqlite3_stmt* s = nullptr;
  sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &s, nullptr);
  if (sqlite3_step(s) != SQLITE_ROW || std::string(reinterpret_cast<const char*>(sqlite3_column_text(s, 0))) != "ok")
    rows[-1] = 0;
  sqlite3_finalize(s);
  EXPECT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, "SELECT k, v FROM t", -1, &s, nullptr));
  while (sqlite3_step(s) == SQLITE_ROW) {
    const int key = sqlite3_column_int(s, 0);
    const std::string value(static_cast<const char*>(sqlite3_column_blob(s, 1)), sqlite3_column_bytes(s, 1));
    rows[key] = value == Value(key, static_cast<int>(value.size())) ? static_cast<int>(value.size()) : -1;
  }
  sqlite3_finalize(s);
  sqlite3_close(db);
  return rows;
}

TEST(CoalescingVfs, CommitsAreInTheFilesWhenCommitReturnsAndNothingElseIs) {
  ASSERT_NE(store::CoalescingVfsName(), nullptr);
  const fs::path dir = fs::path(testing::TempDir()) / "coalescing_vfs";
  fs::remove_all(dir);
  fs::create_directories(dir / "crash");
  const std::string path = (dir / "t.db").string();
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                                       store::CoalescingVfsName()));
  // A small page cache: large transactions spill pages into the log early, some twice.
  Exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA cache_size=20; PRAGMA wal_autocheckpoint=0;"
           "CREATE TABLE t (k INTEGER PRIMARY KEY, v BLOB)");
  store::DropUncommitted(db);
  struct TStep {
    int Key, Size;
    bool Commit;
  };
  const TStep steps[] = {{1, 100, true},       // one small frame
                         {2, 300000, true},    // frames gathered into one write
                         {3, 1500000, true},   // more than is gathered at once, spilled early
                         {4, 600000, false},   // spilled, then rolled back
                         {1, 50000, true},     // over the rolled-back frames' place in the log
                         {5, 200000, false}};  // spilled but held back, then rolled back
  std::map<int, int> expected;
  const auto insert = [&](int key, int size, bool commit) {
    Exec(db, "BEGIN IMMEDIATE");
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO t VALUES (?, ?)", -1, &statement, nullptr));
    const std::string value = Value(key, size);
    sqlite3_bind_int(statement, 1, key);
    sqlite3_bind_blob(statement, 2, value.data(), size, SQLITE_STATIC);
    EXPECT_EQ(SQLITE_DONE, sqlite3_step(statement));
    sqlite3_finalize(statement);
    Exec(db, commit ? "COMMIT" : "ROLLBACK");
    store::DropUncommitted(db);
    if (commit) expected[key] = size;
  };
  for (const TStep& step : steps) {
    SCOPED_TRACE(step.Key);
    insert(step.Key, step.Size, step.Commit);
    // The files as a crash would leave them, opened anew (SQLite rebuilds its index from the
    // log), and as a reader beside the writer, through SQLite's own layer, sees them.
    for (const char* suffix : {"", "-wal"})
      fs::copy_file(path + suffix, dir / "crash" / (std::string("t.db") + suffix), fs::copy_options::overwrite_existing);
    EXPECT_EQ(Rows((dir / "crash" / "t.db").string()), expected);
    fs::remove(dir / "crash" / "t.db-shm");
    EXPECT_EQ(Rows(path), expected);
  }

  // A commit whose frames do not fit on the disk (a file size limit stands in for a full one)
  // fails whole and loses nothing; the next one lands.
  {
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto* const oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = fs::file_size(path + "-wal");
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    // Held in the page cache until the commit writes all its frames, past the limit.
    Exec(db, "PRAGMA cache_size=4000; BEGIN IMMEDIATE; INSERT INTO t VALUES (7, zeroblob(1500000))");
    const int rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    if (!sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    store::DropUncommitted(db);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, oldHandler);
    EXPECT_NE(rc, SQLITE_OK);
    EXPECT_EQ(Rows(path), expected);
    insert(7, 5000, true);
    EXPECT_EQ(Rows(path), expected);
  }

  // A checkpoint by another connection reading the log ahead copies all of it into the file.
  sqlite3* other = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open_v2(path.c_str(), &other, SQLITE_OPEN_READWRITE, store::CoalescingVfsName()));
  Exec(other, "SELECT count(*) FROM t");  // opens its log
  store::SetLogReadAhead(other, true);
  int logFrames = 0, copied = 0;
  ASSERT_EQ(SQLITE_OK, sqlite3_wal_checkpoint_v2(other, nullptr, SQLITE_CHECKPOINT_TRUNCATE, &logFrames, &copied));
  store::SetLogReadAhead(other, false);
  EXPECT_EQ(logFrames, 0);  // truncated: every frame was copied
  sqlite3_close(other);
  sqlite3_close(db);
  EXPECT_FALSE(fs::exists(path + "-wal"));
  EXPECT_EQ(Rows(path), expected);
}

}  // namespace
