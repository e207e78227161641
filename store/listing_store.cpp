#include "store/listing_store.h"

#include <sqlite3.h>

#include <climits>
#include <cstring>
#include <memory>

#include "store/coalescing_vfs.h"

namespace store {
namespace {

// The columns as the statements name them. Every value is written between apostrophes except
// mnm and UserId, hence their integer affinity; the rest keep their text as it is.
constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS geocaches (Names TEXT, CacheType TEXT, Code TEXT NOT NULL PRIMARY KEY,"
    " ContainerTypeName TEXT, Country TEXT, CountryID TEXT, DateCreated TEXT, DateLastVisited TEXT,"
    " DateLastUpdate TEXT, Difficulty TEXT, EncodedHints TEXT, FavoritePoints TEXT, GUID TEXT, IsPremium TEXT,"
    " IsLocked TEXT, Latitude TEXT, LongDescription TEXT, Longitude TEXT, PublicGuid TEXT, UserName TEXT,"
    " PlacedBy TEXT, ShortDescription TEXT, State TEXT, StateID TEXT, Terrain TEXT, UTCPlaceDate TEXT,"
    " Available TEXT, Archived TEXT, IsFull TEXT, DatUpd TEXT, GeocacheNote TEXT, mnm INTEGER);"
    "CREATE TABLE IF NOT EXISTS Attributes (Code TEXT NOT NULL PRIMARY KEY, Attr TEXT);"
    "CREATE TABLE IF NOT EXISTS TBGC (GcCode TEXT NOT NULL PRIMARY KEY, trackables TEXT);"
    // A waypoint row can come without a code of its own: the key is the pair.
    "CREATE TABLE IF NOT EXISTS AdditionalWaypoints (Code TEXT NOT NULL, Comment TEXT, Description TEXT,"
    " GeocacheCode TEXT NOT NULL, GUID TEXT, Latitude TEXT, Longitude TEXT, Name TEXT, Type TEXT, Url TEXT,"
    " UrlName TEXT, PRIMARY KEY (GeocacheCode, Code));"
    "CREATE TABLE IF NOT EXISTS GeocacheLogs (Id TEXT NOT NULL PRIMARY KEY, Code TEXT, GcCode TEXT,"
    " PublicGuid TEXT, UserId INTEGER, UserName TEXT, Guid TEXT, LogText TEXT, WptLogTypeName TEXT,"
    " VisitDate TEXT, IsArchived TEXT);";

constexpr const char* kTables[] = {"geocaches", "Attributes", "TBGC", "AdditionalWaypoints", "GeocacheLogs"};

// While a cache's statements are prepared, the only thing they may do is insert into the five
// tables: a page value that ends a string literal early must not make a statement that reads,
// drops or writes anything else. (The guard stays installed: installing one expires every
// prepared statement, and the kept inserts would be read anew for every cache.)
int AllowListingInserts(void* guarded, int action, const char* table, const char*, const char*, const char*) {
  if (!*static_cast<const bool*>(guarded)) return SQLITE_OK;
  if (action != SQLITE_INSERT || table == nullptr) return SQLITE_DENY;
  for (const char* name : kTables)
    if (sqlite3_stricmp(table, name) == 0) return SQLITE_OK;
  return SQLITE_DENY;
}

using TStatement = std::unique_ptr<sqlite3_stmt, TFinalizeStatement>;

// More values than any of the five tables has columns is not a listing statement: SQLite gets it
// whole and says what is wrong with it in its own words.
constexpr size_t kMaxPlainValues = 64;
// Distinct inserts kept prepared; a cache's statements use five.
constexpr size_t kMaxPrepared = 32;

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

}  // namespace

void TFinalizeStatement::operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }

TListingStore::TListingStore(std::string path, int busyTimeoutMs) : FPath(std::move(path)) {
  const int rc = sqlite3_open_v2(FPath.c_str(), &FDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, CoalescingVfsName());
  if (rc != SQLITE_OK) {
    const std::string reason = Reason(FDb);
    sqlite3_close(FDb);
    throw EStoreError("database " + FPath + ": " + reason);
  }
  sqlite3_extended_result_codes(FDb, 1);
  sqlite3_busy_timeout(FDb, busyTimeoutMs);
  try {
    // The first read: a file that is not a database fails here, before anything could be written.
    TStatement version;
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(FDb, "PRAGMA user_version", -1, &raw, nullptr) != SQLITE_OK) Fail(Reason(FDb));
    version.reset(raw);
    if (sqlite3_step(raw) != SQLITE_ROW) Fail(Reason(FDb));
    const int schema = sqlite3_column_int(raw, 0);
    version.reset();
    if (schema > kSchemaVersion)
      Fail("written by a newer version of the program (schema " + std::to_string(schema) + ", this one knows " +
           std::to_string(kSchemaVersion) + ")");
    // Readers do not block the writer, and a crash mid-write leaves the last commit whole. The
    // write-ahead log is synced at checkpoints: a power cut may lose the newest commits, never
    // the file, and the SQL files hold them anyway.
    Exec("PRAGMA journal_mode=WAL");
    Exec("PRAGMA synchronous=NORMAL");
    if (schema < kSchemaVersion) CreateTables();
    sqlite3_set_authorizer(FDb, AllowListingInserts, &FGuarded);
  } catch (...) {
    sqlite3_close(FDb);
    throw;
  }
}

TListingStore::~TListingStore() {
  FPrepared.clear();  // a connection with statements left open would not close
  sqlite3_close(FDb);
}

void TListingStore::LeaveCheckpointsToOthers(int backstopFrames) {
  FBackstopFrames = backstopFrames;
  // Takes the place of SQLite's own automatic checkpoint, which is such a hook too.
  sqlite3_wal_hook(
      FDb,
      [](void* context, sqlite3* db, const char* name, int frames) {
        auto* self = static_cast<TListingStore*>(context);
        self->FWalFrames = frames;
        if (frames >= self->FBackstopFrames) sqlite3_wal_checkpoint(db, name);
        return SQLITE_OK;
      },
      this);
}

TWalCheckpointer::TWalCheckpointer(const std::string& path) {
  if (sqlite3_open_v2(path.c_str(), &FDb, SQLITE_OPEN_READWRITE, CoalescingVfsName()) != SQLITE_OK) {
    const std::string reason = Reason(FDb);
    sqlite3_close(FDb);
    throw EStoreError("database " + path + ": " + reason);
  }
  // The log is synced before its pages are copied, the file after: a power cut mid-copy loses
  // nothing the log did not already hold.
  sqlite3_exec(FDb, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
}

TWalCheckpointer::~TWalCheckpointer() { sqlite3_close(FDb); }

bool TWalCheckpointer::Checkpoint() {
  SetLogReadAhead(FDb, true);
  const int rc = sqlite3_wal_checkpoint_v2(FDb, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
  SetLogReadAhead(FDb, false);
  return rc == SQLITE_OK;
}

void TListingStore::Fail(const std::string& what) const { throw EStoreError("database " + FPath + ": " + what); }

void TListingStore::Exec(const char* sql) {
  if (sqlite3_exec(FDb, sql, nullptr, nullptr, nullptr) != SQLITE_OK) Fail(Reason(FDb));
}

void TListingStore::CreateTables() {
  // Under the write lock: two programs creating the file at once make the tables once.
  Exec("BEGIN IMMEDIATE");
  try {
    Exec(kSchema);
    Exec(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
    Exec("COMMIT");
    DropUncommitted(FDb);
  } catch (const EStoreError&) {
    if (!sqlite3_get_autocommit(FDb)) sqlite3_exec(FDb, "ROLLBACK", nullptr, nullptr, nullptr);
    DropUncommitted(FDb);
    throw;
  }
}

void TListingStore::Apply(const std::vector<std::string>& statements) {
  // The write lock first, waiting out the busy time-out: a transaction that began as a reader
  // could not wait for it later.
  Exec("BEGIN IMMEDIATE");
  try {
    FGuarded = true;
    for (size_t i = 0; i < statements.size(); ++i) {
      const std::string& text = statements[i];
      if (text.size() > INT_MAX) Fail(Which(i) + "too long");
      if (ReadPlainInsert(text, FPlain) && FPlain.Values.size() <= kMaxPlainValues) {
        RunPlain(i);
      } else {
        // SQLite would end the text at a NUL and run what comes before it (the reader above
        // refuses such a statement as well).
        if (text.find('\0') != std::string::npos) Fail(Which(i) + "holds a NUL byte");
        RunWhole(text, i);
      }
    }
    FGuarded = false;
    Exec("COMMIT");
    DropUncommitted(FDb);
  } catch (const EStoreError&) {
    FGuarded = false;
    if (!sqlite3_get_autocommit(FDb)) sqlite3_exec(FDb, "ROLLBACK", nullptr, nullptr, nullptr);
    DropUncommitted(FDb);
    throw;
  }
}

std::string TListingStore::Which(size_t index) { return "statement " + std::to_string(index + 1) + ": "; }

void TListingStore::FailPrepare(size_t index) const {
  if ((sqlite3_extended_errcode(FDb) & 0xff) == SQLITE_AUTH) Fail(Which(index) + "not an insert into a listing table");
  Fail(Which(index) + Reason(FDb));
}

void TListingStore::RunWhole(const std::string& text, size_t index) {
  sqlite3_stmt* raw = nullptr;
  const char* tail = nullptr;
  const char* end = text.data() + text.size();
  const int rc = sqlite3_prepare_v2(FDb, text.data(), static_cast<int>(text.size()), &raw, &tail);
  TStatement statement(raw);
  if (rc != SQLITE_OK) FailPrepare(index);
  if (!statement) Fail(Which(index) + "empty");
  if (tail != nullptr && tail < end) {
    // What follows the statement may be blanks or a comment, nothing that runs.
    sqlite3_stmt* extra = nullptr;
    const int more = sqlite3_prepare_v2(FDb, tail, static_cast<int>(end - tail), &extra, nullptr);
    TStatement extraHolder(extra);
    if (more != SQLITE_OK || extra != nullptr) Fail(Which(index) + "holds more than one statement");
  }
  if (sqlite3_step(raw) != SQLITE_DONE) Fail(Which(index) + Reason(FDb));
}

void TListingStore::RunPlain(size_t index) {
  // The same insert with its values as parameters, prepared once per table and column list.
  std::string sql = "INSERT OR REPLACE INTO ";
  sql.append(FPlain.Target).append(" VALUES (?");
  for (size_t i = 1; i < FPlain.Values.size(); ++i) sql += ",?";
  sql += ')';
  auto found = FPrepared.find(sql);
  if (found == FPrepared.end()) {
    sqlite3_stmt* raw = nullptr;
    const int rc = sqlite3_prepare_v2(FDb, sql.c_str(), static_cast<int>(sql.size()), &raw, nullptr);
    TStatement statement(raw);
    if (rc != SQLITE_OK) FailPrepare(index);
    if (FPrepared.size() >= kMaxPrepared) FPrepared.clear();
    found = FPrepared.emplace(std::move(sql), std::move(statement)).first;
  }
  sqlite3_stmt* statement = found->second.get();
  for (size_t i = 0; i < FPlain.Values.size(); ++i) {
    const TPlainValue& value = FPlain.Values[i];
    const int at = static_cast<int>(i + 1);
    // The text stays in the statement until the step below is done: SQLite need not copy it.
    const int rc = value.IsInteger ? sqlite3_bind_int64(statement, at, value.Integer)
                                   : sqlite3_bind_text(statement, at, value.Text.data(),
                                                       static_cast<int>(value.Text.size()), SQLITE_STATIC);
    if (rc != SQLITE_OK) Fail(Which(index) + Reason(FDb));
  }
  const int rc = sqlite3_step(statement);
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  if (rc != SQLITE_DONE) Fail(Which(index) + Reason(FDb));
}

}  // namespace store
