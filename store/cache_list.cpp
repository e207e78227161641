#include "store/cache_list.h"

#include <sqlite3.h>

#include <map>
#include <memory>

#include "runtime/file_io.h"
#include "store/listing_store.h"

namespace store {
namespace {

struct TCloseDatabase {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using TDatabase = std::unique_ptr<sqlite3, TCloseDatabase>;
using TStatement = std::unique_ptr<sqlite3_stmt, TFinalizeStatement>;

[[noreturn]] void Fail(const std::string& path, sqlite3* db) {
  throw EStoreError("database " + path + ": " + (db == nullptr ? "out of memory" : sqlite3_errmsg(db)));
}

// Null when the file is not there: nothing has been converted into it yet.
TDatabase OpenForReading(const std::string& path, int busyTimeoutMs) {
  if (!runtime::FileExists(path)) return nullptr;
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  TDatabase db(raw);
  if (rc != SQLITE_OK) Fail(path, raw);
  sqlite3_busy_timeout(raw, busyTimeoutMs);
  return db;
}

TStatement Prepare(const std::string& path, sqlite3* db, const char* sql) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) Fail(path, db);
  return TStatement(raw);
}

// The value as text whatever its type; a REAL that is a whole number keeps its ".0" off, so
// typed difficulties read as the page wrote them ("2", "2.5").
std::string Text(sqlite3_stmt* s, int column) {
  if (column < 0) return {};
  if (sqlite3_column_type(s, column) == SQLITE_FLOAT) {
    const double value = sqlite3_column_double(s, column);
    if (value == static_cast<double>(static_cast<long long>(value))) return std::to_string(static_cast<long long>(value));
  }
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, column));
  return text == nullptr ? std::string() : std::string(text, static_cast<size_t>(sqlite3_column_bytes(s, column)));
}

}  // namespace

std::vector<TCacheRow> ReadCacheList(const std::string& databasePath, int busyTimeoutMs) {
  std::vector<TCacheRow> rows;
  TDatabase db = OpenForReading(databasePath, busyTimeoutMs);
  if (!db) return rows;
  // "*": a column this program's schema lacks (an older or newer file) reads as empty.
  TStatement s = Prepare(databasePath, db.get(), "SELECT * FROM geocaches ORDER BY Code");
  std::map<std::string, int> columns;
  for (int c = 0; c < sqlite3_column_count(s.get()); ++c) columns[sqlite3_column_name(s.get(), c)] = c;
  auto column = [&](const char* name) {
    auto it = columns.find(name);
    return it == columns.end() ? -1 : it->second;
  };
  const int code = column("Code"), name = column("Names"), type = column("CacheType"),
            difficulty = column("Difficulty"), terrain = column("Terrain"), converted = column("DatUpd");
  int rc;
  while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
    rows.push_back({Text(s.get(), code), Text(s.get(), name), Text(s.get(), type), Text(s.get(), difficulty),
                    Text(s.get(), terrain), Text(s.get(), converted)});
  }
  if (rc != SQLITE_DONE) Fail(databasePath, db.get());
  return rows;
}

std::string ReadLongDescription(const std::string& databasePath, const std::string& code, int busyTimeoutMs) {
  TDatabase db = OpenForReading(databasePath, busyTimeoutMs);
  if (!db) return {};
  TStatement s = Prepare(databasePath, db.get(), "SELECT LongDescription FROM geocaches WHERE Code = ?1");
  sqlite3_bind_text(s.get(), 1, code.data(), static_cast<int>(code.size()), SQLITE_TRANSIENT);
  const int rc = sqlite3_step(s.get());
  if (rc == SQLITE_ROW) return Text(s.get(), 0);
  if (rc != SQLITE_DONE) Fail(databasePath, db.get());
  return {};
}

}  // namespace store
