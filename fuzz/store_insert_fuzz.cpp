// Reads arbitrary bytes as one line of a SQL file. The reader of plain inserts must never read
// past the text or crash, and a statement it reads must land in the listings database exactly as
// SQLite itself loads the same text: the same rows, the same types, the same bytes, or the same
// refusal. SQLite gets its copy behind a comment, which it skips and the plain reader does not.

#include <sqlite3.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "store/listing_store.h"
#include "store/plain_insert.h"

namespace {

namespace fs = std::filesystem;

const char* const kTables[] = {"geocaches", "Attributes", "TBGC", "AdditionalWaypoints", "GeocacheLogs"};

// A scratch folder for the run, in memory where there is one: every database is made anew.
struct TScratch {
  std::string Dir;
  TScratch() {
    std::string base = fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path().string();
    Dir = base + "/store_fuzz_XXXXXX";
    if (mkdtemp(Dir.data()) == nullptr) abort();
  }
  ~TScratch() {
    std::error_code ignored;
    fs::remove_all(Dir, ignored);
  }
};
const std::string& Scratch() {
  static const TScratch scratch;
  return scratch.Dir;
}

// Every row of every table, each value as its type and bytes, in row order.
std::string Dump(const std::string& path) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) abort();
  std::string all;
  for (const char* table : kTables) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, (std::string("SELECT * FROM ") + table + " ORDER BY rowid").c_str(), -1, &s,
                           nullptr) != SQLITE_OK)
      abort();
    while (sqlite3_step(s) == SQLITE_ROW) {
      for (int c = 0; c < sqlite3_column_count(s); ++c) {
        all += std::to_string(sqlite3_column_type(s, c)) + ":";
        const void* bytes = sqlite3_column_blob(s, c);
        if (bytes != nullptr) all.append(static_cast<const char*>(bytes), sqlite3_column_bytes(s, c));
        all += '\x1f';
      }
      all += '\n';
    }
    sqlite3_finalize(s);
  }
  sqlite3_close(db);
  return all;
}

// Applies `statement` to a new database; true when it landed.
bool Land(const std::string& path, const std::string& statement) {
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
  store::TListingStore listings(path);
  try {
    listings.Apply({statement});
    return true;
  } catch (const store::EStoreError&) {
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  store::TPlainInsert plain;
  if (!store::ReadPlainInsert(text, plain)) return 0;
  for (const store::TPlainValue& value : plain.Values)
    if (!value.IsInteger && value.Text.data() == nullptr) abort();
  const std::string read = Scratch() + "/read.db", whole = Scratch() + "/whole.db";
  const bool landed = Land(read, text);
  if (landed != Land(whole, "/**/" + text)) abort();
  if (landed && Dump(read) != Dump(whole)) abort();
  return 0;
}
