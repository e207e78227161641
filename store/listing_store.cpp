#include "store/listing_store.h"

#include <sqlite3.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>
#include <vector>

#include "listing/clean_values.h"
#include "runtime/codepage.h"

namespace store {
namespace {

// What a column holds, and so how a row's raw value is cleaned for it (listing/clean_values.h).
enum class TKind {
  Key,       // the text as it stands: the rows of one cache find each other by it
  Text,      // CleanText; NULL when nothing is left
  Real,      // a decimal number or NULL
  Integer,   // a whole number or NULL
  Flag,      // 'true'/'false' as 1/0, else NULL
  Date,      // ISO 8601 date or NULL
  DateTime,  // ISO 8601 date and time or NULL
};

struct TColumn {
  const char* Name;
  TKind Kind;
};

struct TTable {
  const char* Name;
  std::vector<TColumn> Columns;
  const char* Key;  // the primary key's columns
};

constexpr TKind kGeocacheKinds[] = {
    TKind::Text,  TKind::Text,    TKind::Key,     TKind::Text,     TKind::Text, TKind::Integer, TKind::Date,
    TKind::Date,  TKind::DateTime, TKind::Real,   TKind::Text,     TKind::Integer, TKind::Text, TKind::Flag,
    TKind::Flag,  TKind::Real,    TKind::Text,    TKind::Real,     TKind::Text, TKind::Text,    TKind::Text,
    TKind::Text,  TKind::Text,    TKind::Integer, TKind::Real,     TKind::Date, TKind::Flag,    TKind::Flag,
    TKind::Flag,  TKind::DateTime, TKind::Text};
static_assert(std::size(kGeocacheKinds) == listing::kGeocacheColumns.size());

std::vector<TColumn> GeocacheColumns() {
  std::vector<TColumn> columns;
  for (size_t i = 0; i < listing::kGeocacheColumns.size(); ++i)
    columns.push_back({listing::kGeocacheColumns[i].data(), kGeocacheKinds[i]});
  columns.push_back({"mnm", TKind::Integer});
  return columns;
}

enum TTableIndex { kGeocaches, kAttributes, kTbgc, kWaypoints, kLogs };

// The five tables, their columns in the SQL statements' order.
const std::array<TTable, 5>& Tables() {
  static const std::array<TTable, 5> tables = {{
      {"geocaches", GeocacheColumns(), "Code"},
      {"Attributes", {{"Code", TKind::Key}, {"Attr", TKind::Text}}, "Code"},
      {"TBGC", {{"GcCode", TKind::Key}, {"trackables", TKind::Text}}, "GcCode"},
      // A waypoint row can come without a code of its own: the key is the pair.
      {"AdditionalWaypoints",
       {{"Code", TKind::Key}, {"Comment", TKind::Text}, {"Description", TKind::Text}, {"GeocacheCode", TKind::Key},
        {"GUID", TKind::Text}, {"Latitude", TKind::Real}, {"Longitude", TKind::Real}, {"Name", TKind::Text},
        {"Type", TKind::Text}, {"Url", TKind::Text}, {"UrlName", TKind::Text}},
       "GeocacheCode, Code"},
      {"GeocacheLogs",
       {{"Id", TKind::Key}, {"Code", TKind::Key}, {"GcCode", TKind::Key}, {"PublicGuid", TKind::Text},
        {"UserId", TKind::Integer}, {"UserName", TKind::Text}, {"Guid", TKind::Text}, {"LogText", TKind::Text},
        {"WptLogTypeName", TKind::Text}, {"VisitDate", TKind::Date}, {"IsArchived", TKind::Flag}},
       "Id"},
  }};
  return tables;
}

const char* SqlType(TKind kind) {
  return kind == TKind::Real ? "REAL" : kind == TKind::Integer || kind == TKind::Flag ? "INTEGER" : "TEXT";
}

std::string CreateTable(const TTable& table) {
  std::string sql = std::string("CREATE TABLE ") + table.Name + " (";
  for (const TColumn& c : table.Columns) {
    sql.append(c.Name).append(" ").append(SqlType(c.Kind));
    if (c.Kind == TKind::Key && std::strstr(table.Key, c.Name) != nullptr) sql += " NOT NULL";
    sql += ", ";
  }
  return sql + "PRIMARY KEY (" + table.Key + "))";
}

std::string ColumnList(const TTable& table) {
  std::string list;
  for (const TColumn& c : table.Columns) list.append(list.empty() ? "" : ",").append(c.Name);
  return list;
}

std::string InsertInto(const TTable& table) {
  std::string sql = std::string("INSERT OR REPLACE INTO ") + table.Name + " (" + ColumnList(table) + ") VALUES (?";
  for (size_t i = 1; i < table.Columns.size(); ++i) sql += ",?";
  return sql + ")";
}

// SQLite's message for the last failure; for a failure of the file itself the system's reason too
// ("unable to open database file" alone does not say whether the folder is missing or refused).
std::string Reason(sqlite3* db) {
  if (db == nullptr) return "out of memory";
  std::string reason = sqlite3_errmsg(db);
  const int primary = sqlite3_extended_errcode(db) & 0xff;
  const int osError = sqlite3_system_errno(db);
  if (osError != 0 && (primary == SQLITE_CANTOPEN || primary == SQLITE_IOERR || primary == SQLITE_FULL))
    reason += std::string(" (") + std::strerror(osError) + ")";
  return reason;
}

// Binds `text`, NULL when it is empty. The text must stay as it is until the insert has run.
int BindText(sqlite3_stmt* statement, int at, std::string_view text) {
  if (text.empty()) return sqlite3_bind_null(statement, at);
  return sqlite3_bind_text(statement, at, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
}

template <class T>
int BindNumber(sqlite3_stmt* statement, int at, const std::optional<T>& value) {
  if (!value) return sqlite3_bind_null(statement, at);
  if constexpr (std::is_same_v<T, double>)
    return sqlite3_bind_double(statement, at, *value);
  else
    return sqlite3_bind_int64(statement, at, *value);
}

// Binds `raw` cleaned for a column of `kind`; a cleaned text that is not a view of `raw` is kept
// in `scratch`.
int Bind(sqlite3_stmt* statement, int at, TKind kind, std::string_view raw, std::string& scratch) {
  switch (kind) {
    case TKind::Key:
      return sqlite3_bind_text(statement, at, raw.data(), static_cast<int>(raw.size()), SQLITE_STATIC);
    case TKind::Text:
      return BindText(statement, at, listing::CleanText(raw, scratch));
    case TKind::Real:
      return BindNumber(statement, at, listing::RealValue(raw));
    case TKind::Integer:
      return BindNumber(statement, at, listing::IntegerValue(raw));
    case TKind::Flag:
      return BindNumber(statement, at, listing::FlagValue(raw));
    case TKind::Date:
      return BindText(statement, at, scratch = listing::IsoDate(raw));
    case TKind::DateTime:
      return BindText(statement, at, scratch = listing::IsoDateTime(raw));
  }
  return SQLITE_MISUSE;
}

// A schema-1 value: the SQL file's text, whose line breaks the file wrote as "#13;" and "#10;".
std::string FileText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    if (text.compare(at, 4, "#13;") == 0 || text.compare(at, 4, "#10;") == 0) {
      out += text[at + 2] == '3' ? '\r' : '\n';
      at += 4;
    } else {
      out += text[at++];
    }
  }
  return out;
}

}  // namespace

void TFinalizeStatement::operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }

TListingStore::TListingStore(std::string path, int busyTimeoutMs) : FPath(std::move(path)) {
  // One thread at a time uses a connection (the batch's queue thread, or the window's): SQLite
  // need not lock it around every call.
  const int rc =
      sqlite3_open_v2(FPath.c_str(), &FDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    const std::string reason = Reason(FDb);
    sqlite3_close(FDb);
    throw EStoreError("database " + FPath + ": " + reason);
  }
  sqlite3_extended_result_codes(FDb, 1);
  sqlite3_busy_timeout(FDb, busyTimeoutMs);
  try {
    // The first read: a file that is not a database fails here, before anything could be written.
    Exec("PRAGMA user_version");
    // Readers do not block the writer, and a crash mid-write leaves the last commit whole. The
    // write-ahead log is synced at checkpoints: a power cut may lose the newest commits, never
    // the file, and the SQL files hold them anyway.
    Exec("PRAGMA journal_mode=WAL");
    Exec("PRAGMA synchronous=NORMAL");
    EnsureSchema();
    for (size_t t = 0; t < Tables().size(); ++t) FInserts[t] = Prepare(InsertInto(Tables()[t]));
    FBegin = Prepare("BEGIN IMMEDIATE");
    FCommit = Prepare("COMMIT");
  } catch (...) {
    for (TStatement& insert : FInserts) insert.reset();
    FBegin.reset();
    FCommit.reset();
    sqlite3_close(FDb);
    throw;
  }
}

TListingStore::~TListingStore() {
  for (TStatement& insert : FInserts) insert.reset();  // a connection with statements left open would not close
  FBegin.reset();
  FCommit.reset();
  sqlite3_close(FDb);
}

void TListingStore::Fail(const std::string& what) const { throw EStoreError("database " + FPath + ": " + what); }

void TListingStore::Exec(const char* sql) {
  if (sqlite3_exec(FDb, sql, nullptr, nullptr, nullptr) != SQLITE_OK) Fail(Reason(FDb));
}

TListingStore::TStatement TListingStore::Prepare(const std::string& sql) {
  sqlite3_stmt* raw = nullptr;
  const int rc = sqlite3_prepare_v2(FDb, sql.c_str(), static_cast<int>(sql.size()), &raw, nullptr);
  TStatement statement(raw);
  if (rc != SQLITE_OK) Fail(Reason(FDb));
  return statement;
}

void TListingStore::EnsureSchema() {
  TStatement version = Prepare("PRAGMA user_version");
  const auto read = [&] {
    if (sqlite3_step(version.get()) != SQLITE_ROW) Fail(Reason(FDb));
    const int schema = sqlite3_column_int(version.get(), 0);
    sqlite3_reset(version.get());
    if (schema > kSchemaVersion)
      Fail("written by a newer version of the program (schema " + std::to_string(schema) + ", this one knows " +
           std::to_string(kSchemaVersion) + ")");
    return schema;
  };
  if (read() == kSchemaVersion) return;
  // Under the write lock, and read again there: two programs opening the file at once make or
  // upgrade the tables once.
  Exec("BEGIN IMMEDIATE");
  try {
    const int schema = read();
    if (schema == 1) {
      UpgradeFromSchema1();
    } else if (schema == 0) {
      for (const TTable& table : Tables()) Exec(CreateTable(table).c_str());
    }
    Exec(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
    Exec("COMMIT");
  } catch (const EStoreError&) {
    if (!sqlite3_get_autocommit(FDb)) sqlite3_exec(FDb, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

void TListingStore::UpgradeFromSchema1() {
  for (size_t t = 0; t < Tables().size(); ++t) {
    const TTable& table = Tables()[t];
    const std::string old = std::string(table.Name) + "_schema1";
    Exec(("ALTER TABLE " + std::string(table.Name) + " RENAME TO " + old).c_str());
    Exec(CreateTable(table).c_str());
    FInserts[t] = Prepare(InsertInto(table));
    TStatement rows = Prepare("SELECT " + ColumnList(table) + " FROM " + old);
    std::vector<std::string> texts(table.Columns.size());
    std::vector<std::string_view> values(table.Columns.size());
    int rc;
    while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
      for (size_t c = 0; c < texts.size(); ++c) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(rows.get(), static_cast<int>(c)));
        texts[c] = text ? std::string(text, sqlite3_column_bytes(rows.get(), static_cast<int>(c))) : std::string();
        if (table.Columns[c].Kind == TKind::Text) texts[c] = FileText(texts[c]);
        // The logs' texts were in the code page the SQL file has, unless the page's own UTF-8.
        if (t == kLogs && !runtime::IsUtf8(texts[c])) texts[c] = runtime::AnsiToUtf8(texts[c]);
        values[c] = texts[c];
      }
      Insert(t, values.data());
    }
    if (rc != SQLITE_DONE) Fail(Reason(FDb));
    rows.reset();
    Exec(("DROP TABLE " + old).c_str());
  }
}

void TListingStore::Insert(size_t table, const std::string_view* values) {
  sqlite3_stmt* insert = FInserts[table].get();
  const std::vector<TColumn>& columns = Tables()[table].Columns;
  if (FScratch.size() < columns.size()) FScratch.resize(columns.size());
  for (size_t c = 0; c < columns.size(); ++c) {
    if (values[c].size() > INT32_MAX) Fail(std::string(Tables()[table].Name) + ": a value too long");
    if (Bind(insert, static_cast<int>(c + 1), columns[c].Kind, values[c], FScratch[c]) != SQLITE_OK) Fail(Reason(FDb));
  }
  const int rc = sqlite3_step(insert);
  sqlite3_reset(insert);
  sqlite3_clear_bindings(insert);
  if (rc != SQLITE_DONE) Fail(std::string(Tables()[table].Name) + ": " + Reason(FDb));
}

// BEGIN and COMMIT are run for every cache: prepared once, as the inserts are.
void TListingStore::Step(sqlite3_stmt* statement) {
  const int rc = sqlite3_step(statement);
  sqlite3_reset(statement);
  if (rc != SQLITE_DONE) Fail(Reason(FDb));
}

void TListingStore::Apply(const listing::TCacheRows& rows) {
  // The write lock first, waiting out the busy time-out: a transaction that began as a reader
  // could not wait for it later.
  Step(FBegin.get());
  try {
    const std::string_view code = rows.Geocache.Code;
    std::array<std::string_view, listing::kGeocacheColumns.size() + 1> geocache;
    const auto fields = listing::TGeocacheRow::Fields(rows.Geocache);
    for (size_t i = 0; i < fields.size(); ++i) geocache[i] = *fields[i];
    geocache.back() = "9999";
    Insert(kGeocaches, geocache.data());
    const std::string_view attributes[] = {code, rows.Attributes};
    Insert(kAttributes, attributes);
    const std::string_view trackables[] = {code, rows.Trackables};
    Insert(kTbgc, trackables);
    for (const listing::TWaypointRow& w : rows.Waypoints) {
      const std::string_view values[] = {w.Code, w.Comment, w.Description, w.GeocacheCode, w.GUID, w.Latitude,
                                         w.Longitude, w.Name, w.Type, w.Url, w.UrlName};
      Insert(kWaypoints, values);
    }
    for (const listing::TLogRow& l : rows.Logs) {
      // The logs' texts as UTF-8: the SQL file's are in the code page.
      const std::string_view values[] = {l.Id, l.Code, l.GcCode, l.PublicGuid, l.UserId, l.UserNameUtf8, l.Guid,
                                         l.LogTextUtf8, l.WptLogTypeNameUtf8, l.VisitDate, l.IsArchived};
      Insert(kLogs, values);
    }
    Step(FCommit.get());
  } catch (const EStoreError&) {
    if (!sqlite3_get_autocommit(FDb)) sqlite3_exec(FDb, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

}  // namespace store
