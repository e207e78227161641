// Runs the whole listing conversion on arbitrary page bytes, in a private data folder.
//
// Besides the sanitizers it checks what a page must never break: the SQL file lies in tmp/ and
// nowhere else, and every line of it is one whole statement. It also reads the bytes as a waypoint
// table twice, with the walk the program uses and with a plain transcription of the row rules
// that searches every row afresh, and requires the same statements (or the same failure).

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "listing/coordinates.h"
#include "listing/listing_parser.h"
#include "listing/site.h"
#include "listing/sql_output.h"
#include "listing/text_ops.h"
#include "listing/waypoint_table.h"
#include "runtime/file_io.h"
#include "runtime/message_box.h"

namespace {

namespace fs = std::filesystem;

struct TFuzzFolder {
  fs::path Root;
  listing::TListingParser Parser;
  bool SignedIn = true;

  TFuzzFolder() {
    // Prefer memory-backed storage: every run writes the page and may write a SQL file.
    std::string base = fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path().string();
    std::string pattern = base + "/listing_fuzz_XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) abort();
    Root = pattern;
    fs::create_directories(Root / "data" / "tmp");
    Parser.DataFolder = (Root / "data").string() + "/";
    Parser.SignedIn = &SignedIn;
    Parser.Clock = [] { return runtime::TDateTime{2024, 5, 6, 7, 8, 9}; };
    Parser.FetchFavoriteScore = [](const std::string& address) {
      // The address goes into a request line: it must not carry blanks or line breaks.
      for (char c : address) {
        if (static_cast<unsigned char>(c) <= 32) abort();
      }
    };
    runtime::SetMessageBoxHandler([this](const std::string& text) { CheckFailureMessage(text); });
  }
  // A failed conversion shows two lines: the stage reached ("0", "1" or "2"), then the cause,
  // which names that same stage and ends with the error's own non-empty text on that one line.
  void CheckFailureMessage(const std::string& text) const {
    if (text.size() < 3 || text[0] < '0' || text[0] > '2' || text[1] != '\n') abort();
    const std::string_view cause = std::string_view(text).substr(2);
    if (cause != Parser.FailureCause()) abort();
    if (text[0] - '0' != Parser.StageCounter()) abort();
    if (!cause.starts_with(std::string("stage ") + text[0] + " (")) abort();
    const size_t colon = cause.find("): ");
    if (colon == std::string_view::npos || colon + 3 == cause.size()) abort();
    if (cause.find_first_of("\r\n") != std::string_view::npos) abort();
  }
  ~TFuzzFolder() {
    std::error_code ignored;
    fs::remove_all(Root, ignored);
  }
};

TFuzzFolder& Folder() {
  static TFuzzFolder folder;
  return folder;
}

void CheckStatementLines(const std::string& sql) {
  size_t at = 0;
  while (at < sql.size()) {
    const size_t end = sql.find("\r\n", at);
    if (end == std::string::npos) abort();  // every line ends with CR LF
    const std::string_view line(sql.data() + at, end - at);
    if (line.substr(0, 23) != "Insert or replace into ") abort();
    if (line.find_first_of("\r\n") != std::string_view::npos) abort();
    at = end + 2;
  }
}

// The row rules, step by step, without any of the walk's shortcuts.
void PlainWaypointStatements(std::string_view table, std::string_view code, std::string_view cacheGuid,
                             std::string_view host, std::vector<std::string>& statements) {
  using namespace listing;
  const std::string marker = "http://" + std::string(host) + "/seek/wpt.aspx?WID=";
  std::string wCode, wName, wGuid(cacheGuid), wType, wLat, wLon;
  int64_t rowIndex = 0;
  int64_t r = 1;
  for (;;) {
    r = FindFrom("<tr", table, r);
    if (r == 0) break;
    const int64_t re = FindFrom("</tr", table, r);
    const std::string_view row = Slice(table, r, re - r);
    int64_t p = 1;
    for (int k = 1; k <= 8; ++k) {
      p = FindFrom("<td", row, p);
      if (p == 0) break;
      const int64_t q = FindFrom("</td>", row, p);
      const std::string_view raw = Slice(row, p + 3, q - p - 3);
      const std::string_view content = TrimBlanks(Slice(raw, FindText(">", raw) + 1, kRest));
      if (rowIndex % 2 == 1) {
        if (k == 4) {
          wCode = std::string(TrimBlanks(TextBetween(">", "<", content))) + std::string(Slice(code, 3, kRest));
        } else if (k == 6) {
          wName = TextBetween(">", "<", content);
          wGuid = Slice(content, FindText(marker, content) + static_cast<int64_t>(marker.size()), 36);
          wType = TextBetween("(", ")", content);
        } else if (k == 7) {
          const std::string c = ReplaceAll(content, "&nbsp;", "");
          wLat = LatitudeText(c);
          wLon = LongitudeText(c);
        }
      } else if (k == 3) {
        statements.push_back(AdditionalWaypointsStatement({wCode, wName, wGuid, wType, wLat, wLon}, content, code, host));
      }
      p = q;
    }
    ++rowIndex;
  }
}

void CompareWaypointWalks(std::string_view table) {
  std::vector<std::string> fast, plain;
  bool fastFailed = false, plainFailed = false;
  try {
    listing::AppendWaypointStatements(table, "GC1ABC", "cache-guid", listing::kDefaultSiteHost, fast);
  } catch (const listing::ECoordinateError&) {
    fastFailed = true;
  }
  try {
    PlainWaypointStatements(table, "GC1ABC", "cache-guid", listing::kDefaultSiteHost, plain);
  } catch (const listing::ECoordinateError&) {
    plainFailed = true;
  }
  if (fastFailed != plainFailed) abort();
  // Statements made before a failure are dropped with the conversion, so only compare successes.
  if (!fastFailed && fast != plain) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CompareWaypointWalks(std::string_view(reinterpret_cast<const char*>(data), size));

  TFuzzFolder& folder = Folder();
  const fs::path tmp = folder.Root / "data" / "tmp";
  {
    std::ofstream page(tmp / "htmlcopy.htm", std::ios::binary | std::ios::trunc);
    page.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  const bool converted = folder.Parser.ParseListing();

  // Only tmp/ may exist beside the data folder's own entries; nothing may leave it.
  for (const auto& entry : fs::directory_iterator(folder.Root)) {
    if (entry.path().filename() != "data") abort();
  }
  for (const auto& entry : fs::directory_iterator(folder.Root / "data")) {
    if (entry.path().filename() != "tmp") abort();
  }
  int sqlFiles = 0;
  for (const auto& entry : fs::directory_iterator(tmp)) {
    const std::string name = entry.path().filename().string();
    if (name == "htmlcopy.htm") continue;
    // An empty code is saved as ".sql", which has no extension in path terms.
    if (!entry.is_regular_file() || !name.ends_with(".sql")) abort();
    ++sqlFiles;
    CheckStatementLines(runtime::ReadWholeFile(entry.path().string()));
    fs::remove(entry.path());
  }
  if (sqlFiles != (converted ? 1 : 0)) abort();
  return 0;
}
