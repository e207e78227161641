#pragma once
// The listings database: one SQLite file that holds every converted cache's rows, beside the SQL
// file the conversion writes. The SQL file keeps the page's text as the program that loads it
// expects; the database holds the listing as a person querying it expects: clean UTF-8 text
// with real line breaks, numbers, 0/1 flags, ISO 8601 dates, NULL for what the page did not have
// (see listing/clean_values.h).
//
// The tables and columns are those the SQL statements name, keyed on their natural keys so that a
// cache converted again replaces its earlier rows instead of adding to them. Rows the page no
// longer shows (older logs, removed waypoints) are kept: nothing deletes.

#include <array>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "listing/cache_rows.h"

struct sqlite3;
struct sqlite3_stmt;

namespace store {

// The schema this program writes, kept in the file as PRAGMA user_version. Schema 1 (the text of
// the SQL statements) is upgraded in place on open.
inline constexpr int kSchemaVersion = 2;

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
  // Opens `path`, creating the file and its tables when missing, in write-ahead logging with
  // synchronous=NORMAL and a busy time-out of `busyTimeoutMs`; a file of schema 1 is upgraded,
  // its rows kept and cleaned, in one transaction. Throws EStoreError when the file cannot be
  // opened, is not a database (it is then left as it is), holds a newer schema, or cannot be
  // given the tables.
  explicit TListingStore(std::string path, int busyTimeoutMs = kDefaultBusyTimeoutMs);
  ~TListingStore();
  TListingStore(const TListingStore&) = delete;
  TListingStore& operator=(const TListingStore&) = delete;

  const std::string& Path() const { return FPath; }

  // Writes one cache's rows with prepared inserts and bound values, in one transaction: all of
  // them or none. Throws EStoreError on any failure, after rolling back, so the database keeps
  // what it had.
  void Apply(const listing::TCacheRows& rows);

 private:
  using TStatement = std::unique_ptr<sqlite3_stmt, TFinalizeStatement>;

  [[noreturn]] void Fail(const std::string& what) const;
  void Exec(const char* sql);
  // Creates the tables of a new file, or upgrades one of schema 1, under the write lock.
  void EnsureSchema();
  void UpgradeFromSchema1();
  TStatement Prepare(const std::string& sql);
  // Binds `values` (raw, as the rows carry them) cleaned for their columns, and runs the insert.
  void Insert(size_t table, const std::string_view* values);
  // Runs a statement that returns no rows, and resets it.
  void Step(sqlite3_stmt* statement);

  std::string FPath;
  sqlite3* FDb = nullptr;
  std::array<TStatement, 5> FInserts;  // one per table, prepared once
  TStatement FBegin, FCommit;          // likewise
  std::vector<std::string> FScratch;   // a column's cleaned text while its insert runs
};

}  // namespace store
