#include "store/converted_codes.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>

#include <memory>

#include "store/listing_store.h"

namespace store {
namespace {

// `count` digits at `at`, or -1.
int Digits(std::string_view text, size_t at, size_t count) {
  if (at + count > text.size()) return -1;
  int value = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

struct TCloseDatabase {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};

}  // namespace

std::optional<std::time_t> ConversionTime(std::string_view text) {
  // yyyy-mm-dd?hh:mm:ss
  if (text.size() < 19 || text[4] != '-' || text[7] != '-' || (text[10] != ' ' && text[10] != 'T') ||
      text[13] != ':' || text[16] != ':')
    return std::nullopt;
  std::tm parts{};
  const int fields[] = {Digits(text, 0, 4), Digits(text, 5, 2), Digits(text, 8, 2),
                        Digits(text, 11, 2), Digits(text, 14, 2), Digits(text, 17, 2)};
  for (int f : fields)
    if (f < 0) return std::nullopt;
  parts.tm_year = fields[0] - 1900;
  parts.tm_mon = fields[1] - 1;
  parts.tm_mday = fields[2];
  parts.tm_hour = fields[3];
  parts.tm_min = fields[4];
  parts.tm_sec = fields[5];
  std::string_view zone = text.substr(19);
  if (!zone.empty() && zone.front() == '.') {
    zone.remove_prefix(1);
    while (!zone.empty() && zone.front() >= '0' && zone.front() <= '9') zone.remove_prefix(1);
  }
  if (zone.empty()) {
    parts.tm_isdst = -1;  // the conversion's local time, summer or winter as it was then
    return std::mktime(&parts);
  }
  const std::time_t utc = ::timegm(&parts);
  if (zone == "Z") return utc;
  if (zone.front() != '+' && zone.front() != '-') return std::nullopt;
  const int hours = Digits(zone, 1, 2);
  const size_t minutesAt = zone.size() > 3 && zone[3] == ':' ? 4 : 3;
  const int minutes = Digits(zone, minutesAt, 2);
  if (hours < 0 || minutes < 0 || zone.size() != minutesAt + 2) return std::nullopt;
  const std::time_t offset = (hours * 60 + minutes) * 60;
  return zone.front() == '+' ? utc - offset : utc + offset;
}

std::set<std::string> CodesConvertedSince(const std::string& path, std::time_t since) {
  std::set<std::string> codes;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) return codes;
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  std::unique_ptr<sqlite3, TCloseDatabase> db(raw);
  const auto fail = [&] { throw EStoreError("database " + path + ": " + (raw ? sqlite3_errmsg(raw) : "out of memory")); };
  if (rc != SQLITE_OK) fail();
  sqlite3_busy_timeout(raw, kDefaultBusyTimeoutMs);
  sqlite3_stmt* statement = nullptr;
  // The text compared in the program, not in SQL: the value's form (local time, or a zone) decides
  // what moment it names.
  if (sqlite3_prepare_v2(raw, "SELECT Code, DatUpd FROM geocaches", -1, &statement, nullptr) != SQLITE_OK) {
    // A database this program has not written to yet: nothing was converted into it.
    if (std::string_view(sqlite3_errmsg(raw)).starts_with("no such table")) return codes;
    fail();
  }
  std::unique_ptr<sqlite3_stmt, TFinalizeStatement> hold(statement);
  int step;
  while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
    const auto* code = sqlite3_column_text(statement, 0);
    const auto* converted = sqlite3_column_text(statement, 1);
    if (code == nullptr || converted == nullptr) continue;
    const std::optional<std::time_t> when = ConversionTime(reinterpret_cast<const char*>(converted));
    if (when && *when >= since) codes.insert(reinterpret_cast<const char*>(code));
  }
  if (step != SQLITE_DONE) fail();
  return codes;
}

}  // namespace store
