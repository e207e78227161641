#pragma once
// The listings database: one SQLite file that every conversion loads its statements into, beside
// the SQL file it writes. The SQL files stay the reference; the database holds exactly what
// loading each of them line by line gives.
//
// The tables are the five the statements fill, keyed on their natural keys so that "Insert or
// replace" replaces a cache's earlier rows instead of adding to them. Rows the page no longer
// shows (older logs, removed waypoints) are kept: nothing deletes.

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "store/plain_insert.h"

struct sqlite3;
struct sqlite3_stmt;

namespace store {

// The schema this program writes, kept in the file as PRAGMA user_version.
inline constexpr int kSchemaVersion = 1;

// How long a write waits for another program's lock before it fails.
inline constexpr int kDefaultBusyTimeoutMs = 5000;

// Every failure: the text names the database file and gives SQLite's reason.
class EStoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TFinalizeStatement {
  void operator()(sqlite3_stmt* statement) const;
};

class TListingStore {
 public:
  // Opens `path`, creating the file and its tables when missing, in write-ahead logging with a
  // busy time-out of `busyTimeoutMs`. Throws EStoreError when the file cannot be opened, is not a
  // database (it is then left as it is), holds a newer schema, or cannot be given the tables.
  explicit TListingStore(std::string path, int busyTimeoutMs = kDefaultBusyTimeoutMs);
  ~TListingStore();
  TListingStore(const TListingStore&) = delete;
  TListingStore& operator=(const TListingStore&) = delete;

  const std::string& Path() const { return FPath; }

  // Applies one cache's statements, each exactly as written to its SQL file, in one transaction:
  // all of them or none. Each must be one insert into one of the five tables; anything else (a
  // second statement on the line, another table, a read, a NUL byte) fails the whole. Throws
  // EStoreError on any failure, after rolling back, so the database keeps what it had.
  void Apply(const std::vector<std::string>& statements);

  // Leaves copying the write-ahead log into the file to another connection (see
  // TWalCheckpointer) instead of doing it at the end of a transaction, so a commit never waits for
  // the disk. A log past `backstopFrames` is still copied here, should that connection fail.
  void LeaveCheckpointsToOthers(int backstopFrames);
  // Frames in the write-ahead log after the last commit.
  int WalFrames() const { return FWalFrames; }

 private:
  [[noreturn]] void Fail(const std::string& what) const;
  [[noreturn]] void FailPrepare(size_t index) const;
  // "statement <n>: ", for the failure of the statement at `index`.
  static std::string Which(size_t index);
  void Exec(const char* sql);
  void CreateTables();
  // One statement as SQLite reads it: what the conversion does not write goes this way.
  void RunWhole(const std::string& text, size_t index);
  // The statement just read into FPlain, as a prepared insert with its values bound.
  void RunPlain(size_t index);

  std::string FPath;
  sqlite3* FDb = nullptr;
  int FWalFrames = 0;
  int FBackstopFrames = 0;
  bool FGuarded = false;  // while a cache's statements run: inserts into the five tables only
  TPlainInsert FPlain;  // kept between statements for its buffers
  std::map<std::string, std::unique_ptr<sqlite3_stmt, TFinalizeStatement>> FPrepared;
};

// A second connection to a database in write-ahead logging that copies the log into the file
// while the writer goes on (a passive checkpoint: it never waits for, or holds up, the writer).
class TWalCheckpointer {
 public:
  // Throws EStoreError when `path` cannot be opened.
  explicit TWalCheckpointer(const std::string& path);
  ~TWalCheckpointer();
  TWalCheckpointer(const TWalCheckpointer&) = delete;
  TWalCheckpointer& operator=(const TWalCheckpointer&) = delete;

  // Copies what the log holds now; false when SQLite refused (the writer then copies it itself).
  bool Checkpoint();

 private:
  sqlite3* FDb = nullptr;
};

}  // namespace store
