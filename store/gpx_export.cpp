#include "store/gpx_export.h"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "runtime/ascii_text.h"
#include "runtime/file_io.h"
#include "runtime/formatting.h"
#include "store/gpx_writer.h"
#include "store/listing_store.h"

namespace store {
namespace {

using TStatement = std::unique_ptr<sqlite3_stmt, TFinalizeStatement>;

// The columns each query reads, by name, in the order TColumnReader takes them. The values may
// be typed (numbers, 0/1 flags, NULL for a value the page did not have) or text as the SQL
// files wrote them: the reader takes either.
constexpr const char* kCacheColumns =
    "SELECT Code, Names, PlacedBy, UserName, CacheType, ContainerTypeName, Country, State, ShortDescription,"
    " LongDescription, EncodedHints, coalesce(nullif(UTCPlaceDate, ''), DateCreated), Latitude, Longitude,"
    " Difficulty, Terrain, Available, Archived FROM geocaches";
constexpr const char* kWaypoints =
    "SELECT Code, Description, Comment, Name, Type, Url, UrlName, Latitude, Longitude FROM AdditionalWaypoints"
    " WHERE GeocacheCode = ?1 ORDER BY Code";
// The logs have no index by cache: one pass over all of them beats a search per cache. They are
// put in order per cache afterwards: SQLite would sort whole rows, texts and all.
constexpr const char* kLogs =
    "SELECT GcCode, Id, VisitDate, WptLogTypeName, UserName, UserId, LogText FROM GeocacheLogs";

// Reads the columns of the current row one after the other.
class TColumnReader {
 public:
  explicit TColumnReader(sqlite3_stmt* statement) : FStatement(statement) {}

  std::string Text() {
    const int at = FNext++;
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(FStatement, at));
    return text == nullptr ? std::string() : std::string(text, static_cast<size_t>(sqlite3_column_bytes(FStatement, at)));
  }

  // A number stored as one, or text that is one whole ("2.5"); nullopt otherwise.
  std::optional<double> Number() {
    const int at = FNext++;
    switch (sqlite3_column_type(FStatement, at)) {
      case SQLITE_INTEGER:
      case SQLITE_FLOAT:
        return sqlite3_column_double(FStatement, at);
      case SQLITE_TEXT: {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(FStatement, at));
        const auto value = runtime::TryStrToFloat(
            runtime::Trim(std::string_view(text, static_cast<size_t>(sqlite3_column_bytes(FStatement, at)))));
        if (value && std::isfinite(*value)) return value;
        return std::nullopt;
      }
      default:
        return std::nullopt;
    }
  }

  // 1/0, or the texts "true"/"false"; `absent` when the page had no value.
  bool Flag(bool absent) {
    const int at = FNext++;
    switch (sqlite3_column_type(FStatement, at)) {
      case SQLITE_INTEGER:
      case SQLITE_FLOAT:
        return sqlite3_column_int64(FStatement, at) != 0;
      case SQLITE_TEXT: {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(FStatement, at));
        const std::string_view value = runtime::Trim(text);
        if (runtime::EqualsNoCase(value, "true") || value == "1") return true;
        if (runtime::EqualsNoCase(value, "false") || value == "0") return false;
        return absent;
      }
      default:
        return absent;
    }
  }

 private:
  sqlite3_stmt* FStatement;
  int FNext = 0;
};

// A read-only connection inside one read transaction: every row comes from the same commit,
// and a writer goes on meanwhile (write-ahead logging lets readers and one writer overlap).
class TReadSnapshot {
 public:
  explicit TReadSnapshot(const std::string& path) : FPath(path) {
    // The connection lives inside one call, on one thread: SQLite need not lock it.
    if (sqlite3_open_v2(path.c_str(), &FDb, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
      const std::string reason = Reason();
      sqlite3_close(FDb);
      throw EStoreError("database " + FPath + ": " + reason);
    }
    // Waits only for what a reader can meet: another connection recovering the log.
    sqlite3_busy_timeout(FDb, kDefaultBusyTimeoutMs);
    Exec("BEGIN");
  }
  ~TReadSnapshot() {
    sqlite3_exec(FDb, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(FDb);
  }
  TReadSnapshot(const TReadSnapshot&) = delete;
  TReadSnapshot& operator=(const TReadSnapshot&) = delete;

  TStatement Prepare(const std::string& sql) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(FDb, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) Fail();
    return TStatement(raw);
  }

  // Steps `statement`: true for a row, false at its end.
  bool Step(sqlite3_stmt* statement) {
    const int rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) Fail();
    return false;
  }

  // Binds `code` as the only parameter, from the start.
  static void Bind(sqlite3_stmt* statement, const std::string& code) {
    sqlite3_reset(statement);
    sqlite3_bind_text(statement, 1, code.data(), static_cast<int>(code.size()), SQLITE_STATIC);
  }

  // The one text a keyed query gives for `code`, or "".
  std::string TextFor(sqlite3_stmt* statement, const std::string& code) {
    Bind(statement, code);
    return Step(statement) ? TColumnReader(statement).Text() : std::string();
  }

  [[noreturn]] void Fail() const { throw EStoreError("database " + FPath + ": " + Reason()); }

 private:
  void Exec(const char* sql) {
    if (sqlite3_exec(FDb, sql, nullptr, nullptr, nullptr) != SQLITE_OK) Fail();
  }
  std::string Reason() const {
    if (FDb == nullptr) return "out of memory";
    std::string reason = sqlite3_errmsg(FDb);
    if ((sqlite3_errcode(FDb) & 0xff) == SQLITE_CANTOPEN && sqlite3_system_errno(FDb) != 0)
      reason += std::string(" (") + std::strerror(sqlite3_system_errno(FDb)) + ")";
    return reason;
  }

  std::string FPath;
  sqlite3* FDb = nullptr;
};

void ReadCacheRow(sqlite3_stmt* statement, TGpxCache& c) {
  TColumnReader r(statement);
  c.Code = r.Text(), c.Name = r.Text(), c.PlacedBy = r.Text(), c.Owner = r.Text(), c.Type = r.Text();
  c.Container = r.Text(), c.Country = r.Text(), c.State = r.Text(), c.ShortDescription = r.Text();
  c.LongDescription = r.Text(), c.Hints = r.Text(), c.Placed = r.Text();
  c.Latitude = r.Number(), c.Longitude = r.Number(), c.Difficulty = r.Number(), c.Terrain = r.Number();
  c.Available = r.Flag(true), c.Archived = r.Flag(false);
}

// The logs of the caches in `wanted` (all of them when it is empty), by cache, newest first.
std::unordered_map<std::string, std::vector<TGpxLog>> ReadLogs(TReadSnapshot& db,
                                                               const std::unordered_set<std::string>& wanted) {
  std::unordered_map<std::string, std::vector<TGpxLog>> logs;
  const TStatement statement = db.Prepare(kLogs);
  while (db.Step(statement.get())) {
    TColumnReader r(statement.get());
    std::string code = r.Text();
    if (!wanted.empty() && !wanted.contains(code)) continue;
    TGpxLog log;
    log.Id = r.Text(), log.Date = r.Text(), log.Type = r.Text(), log.Finder = r.Text(), log.FinderId = r.Text();
    log.Text = r.Text();
    logs[std::move(code)].push_back(std::move(log));
  }
  // Newest first; a day's logs in the order they were stored, which is the page's.
  for (auto& [code, list] : logs)
    std::stable_sort(list.begin(), list.end(), [](const TGpxLog& a, const TGpxLog& b) { return a.Date > b.Date; });
  return logs;
}

std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

void WriteStandardOutput(std::string_view bytes) {
  if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() || std::fflush(stdout) != 0)
    throw runtime::EFileError(std::string("Cannot write to standard output: ") + std::strerror(errno));
}

}  // namespace

TGpxExportResult ExportGpx(const std::string& databasePath, const std::vector<std::string>& codes,
                           const std::string& outputPath, const std::string& siteAddressHost) {
  TGpxExportResult result;
  std::string gpx;
  {
    TReadSnapshot db(databasePath);
    std::vector<std::string> named;
    std::unordered_set<std::string> wanted;
    for (const std::string& code : codes)
      if (wanted.insert(code).second) named.push_back(code);
    auto logs = ReadLogs(db, wanted);
    const TStatement attributes = db.Prepare("SELECT Attr FROM Attributes WHERE Code = ?1");
    const TStatement trackables = db.Prepare("SELECT trackables FROM TBGC WHERE GcCode = ?1");
    const TStatement waypoints = db.Prepare(kWaypoints);
    const TStatement caches = db.Prepare(std::string(kCacheColumns) + (named.empty() ? " ORDER BY Code" : " WHERE Code = ?1"));

    AppendGpxStart(gpx, siteAddressHost, UtcNow());
    TGpxCache cache;
    // One cache from the row `caches` stands on: its other tables' rows, then its points.
    const auto addCache = [&] {
      ReadCacheRow(caches.get(), cache);
      cache.Attributes = db.TextFor(attributes.get(), cache.Code);
      cache.Trackables = db.TextFor(trackables.get(), cache.Code);
      cache.Waypoints.clear();
      sqlite3_stmt* w = waypoints.get();
      TReadSnapshot::Bind(w, cache.Code);
      while (db.Step(w)) {
        TColumnReader r(w);
        TGpxWaypoint& p = cache.Waypoints.emplace_back();
        p.Code = r.Text(), p.Name = r.Text(), p.Comment = r.Text(), p.Kind = r.Text(), p.Type = r.Text();
        p.Url = r.Text(), p.UrlName = r.Text(), p.Latitude = r.Number(), p.Longitude = r.Number();
      }
      const auto found = logs.find(cache.Code);  // each cache comes once: its logs can move
      cache.Logs = found == logs.end() ? std::vector<TGpxLog>() : std::move(found->second);
      if (AppendGpxCache(gpx, cache, siteAddressHost))
        ++result.Written;
      else
        result.Missing.push_back(cache.Code);  // without coordinates it cannot be a point
    };
    if (named.empty()) {
      while (db.Step(caches.get())) addCache();
    } else {
      for (const std::string& code : named) {
        TReadSnapshot::Bind(caches.get(), code);
        if (db.Step(caches.get()))
          addCache();
        else
          result.Missing.push_back(code);
      }
    }
    AppendGpxEnd(gpx);
  }
  if (result.Written == 0) return result;
  if (outputPath == "-")
    WriteStandardOutput(gpx);
  else
    runtime::WriteFileAtomic(outputPath, gpx);
  return result;
}

}  // namespace store
