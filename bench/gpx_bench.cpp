// The GPX export of a listings database of real-shaped caches (about 3 KB of description, 25
// logs of about 600 bytes, two additional waypoints each): every cache ordered by code, and every
// cache named in reverse order, against the sqlite3 shell writing the same tables as JSON, and
// GPSBabel reading the exported file back, in the same run. A timed tool: prints seconds and
// caches per second, best of three.
//
//   gpx_bench [caches]   (default 2000)

#include <sqlite3.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "store/gpx_export.h"

namespace {

// The tables and columns the export reads, typed as the conversion stores them.
constexpr const char* kTables =
    "CREATE TABLE geocaches (Names TEXT, CacheType TEXT, Code TEXT NOT NULL PRIMARY KEY, ContainerTypeName TEXT,"
    " Country TEXT, DateCreated TEXT, Difficulty REAL, EncodedHints TEXT, Latitude REAL, LongDescription TEXT,"
    " Longitude REAL, UserName TEXT, PlacedBy TEXT, ShortDescription TEXT, State TEXT, Terrain REAL,"
    " UTCPlaceDate TEXT, Available INTEGER, Archived INTEGER);"
    "CREATE TABLE Attributes (Code TEXT NOT NULL PRIMARY KEY, Attr TEXT);"
    "CREATE TABLE TBGC (GcCode TEXT NOT NULL PRIMARY KEY, trackables TEXT);"
    "CREATE TABLE AdditionalWaypoints (Code TEXT NOT NULL, Comment TEXT, Description TEXT, GeocacheCode TEXT NOT NULL,"
    " Latitude REAL, Longitude REAL, Name TEXT, Type TEXT, Url TEXT, UrlName TEXT, PRIMARY KEY (GeocacheCode, Code));"
    "CREATE TABLE GeocacheLogs (Id INTEGER NOT NULL PRIMARY KEY, GcCode TEXT, UserId INTEGER, UserName TEXT,"
    " LogText TEXT, WptLogTypeName TEXT, VisitDate TEXT);";

std::string Repeat(const std::string& piece, size_t bytes) {
  std::string text;
  while (text.size() < bytes) text += piece;
  return text;
}

void Exec(sqlite3* db, const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
    std::fprintf(stderr, "gpx_bench: %s\n", sqlite3_errmsg(db));
    std::exit(1);
  }
}

// Runs `sql` once per row, binding each row's values in order (text, or a double for a number).
struct TInsert {
  sqlite3_stmt* Statement = nullptr;
  TInsert(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &Statement, nullptr); }
  ~TInsert() { sqlite3_finalize(Statement); }
  template <typename... T>
  void Row(const T&... values) {
    int at = 0;
    (Bind(++at, values), ...);
    sqlite3_step(Statement);
    sqlite3_reset(Statement);
  }
  void Bind(int at, const std::string& text) {
    sqlite3_bind_text(Statement, at, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
  void Bind(int at, double value) { sqlite3_bind_double(Statement, at, value); }
};

std::vector<std::string> MakeDatabase(const std::string& path, int caches) {
  std::filesystem::remove(path);
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  Exec(db, "PRAGMA journal_mode=WAL");
  Exec(db, kTables);
  Exec(db, "BEGIN");
  const std::string description = "<p>" + Repeat("Potok kedysi poh\xC3\xA1\xC5\x88" "al tri mlyny, z posledn\xC3\xA9ho zostal z\xC3\xA1klad. ", 3000) + "</p>";
  const std::string logText = Repeat("Pekn\xC3\xA1 prech\xC3\xA1" "dzka, v\xC4\x8F" "aka! ", 600);
  TInsert cache(db, "INSERT INTO geocaches VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
  TInsert attributes(db, "INSERT INTO Attributes VALUES (?,?)");
  TInsert trackables(db, "INSERT INTO TBGC VALUES (?,?)");
  TInsert waypoint(db, "INSERT INTO AdditionalWaypoints VALUES (?,?,?,?,?,?,?,?,?,?)");
  TInsert log(db, "INSERT INTO GeocacheLogs VALUES (?,?,?,?,?,?,?)");
  std::vector<std::string> codes;
  for (int i = 0; i < caches; ++i) {
    const std::string code = "GCB" + std::to_string(1000 + i);
    codes.push_back(code);
    const double lat = 48.0 + i * 0.0001, lon = 17.0 + i * 0.0001;
    cache.Row("Mlynsk\xC3\xBD potok " + std::to_string(i), std::string("Traditional Cache"), code, std::string("small"),
              std::string("Slovakia"), std::string("2011-06-15"), 2.5, std::string("Pod kamenom, vedla stromu"), lat,
              description, lon, std::string("Tamara V."), std::string("Tamara V."),
              std::string("Kr\xC3\xA1tka prechádzka popri potoku."), std::string("Bratislavsk\xC3\xBD kraj"), 1.5,
              std::string("2011-06-15"), 1.0, 0.0);
    attributes.Row(code, std::string("A----AA----------------NA----------------------------------------"));
    trackables.Row(code, std::string("<ul><li><a href=\"/track\"><span>Putovn\xC3\xBD kamienok</span></a></li></ul>"));
    for (const char* prefix : {"PK", "S1"})
      waypoint.Row(prefix + code.substr(2), std::string("Odstavn\xC3\xA1 plocha pri ceste."), std::string("Parkovisko"),
                   code, lat + 0.001, lon + 0.001, std::string("Parking Area"), std::string("Waypoint|Parking Area"),
                   std::string("http://listing.example/seek/wpt.aspx?WID=0c1d2e3f"), std::string("Parkovisko"));
    for (int l = 0; l < 25; ++l)
      log.Row(static_cast<double>(i * 25 + l), code, 4711.0 + l, std::string("Peter O'Hara"), logText,
              std::string("Found it"), "2013-04-" + std::to_string(10 + l % 18));
  }
  Exec(db, "COMMIT");
  sqlite3_close(db);
  return codes;
}

// The best of three runs of `work`, in seconds; `processor` gets this process's processor time
// of that run (on a busy machine the wall time also counts the other programs' turns).
double Best(const std::function<void()>& work, double* processor = nullptr) {
  double best = 1e9;
  for (int run = 0; run < 3; ++run) {
    const auto start = std::chrono::steady_clock::now();
    const std::clock_t startClock = std::clock();
    work();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (seconds < best && processor != nullptr)
      *processor = static_cast<double>(std::clock() - startClock) / CLOCKS_PER_SEC;
    best = std::min(best, seconds);
  }
  return best;
}

void Shell(const std::string& command) {
  const int status = std::system(command.c_str());
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::fprintf(stderr, "gpx_bench: failed: %s\n", command.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  const int caches = argc > 1 ? std::atoi(argv[1]) : 2000;
  const std::string folder = std::filesystem::temp_directory_path() / "gpx_bench";
  std::filesystem::create_directories(folder);
  const std::string db = folder + "/listings.db", gpx = folder + "/caches.gpx";
  std::vector<std::string> codes = MakeDatabase(db, caches);
  std::reverse(codes.begin(), codes.end());

  size_t written = 0;
  double allProcessor = 0, namedProcessor = 0;
  const double all = Best([&] { written = store::ExportGpx(db, {}, gpx, "listing.example").Written; }, &allProcessor);
  const double named = Best([&] { store::ExportGpx(db, codes, gpx, "listing.example"); }, &namedProcessor);
  const double shell = Best([&] {
    Shell("sqlite3 -json '" + db + "' 'SELECT * FROM geocaches; SELECT * FROM Attributes; SELECT * FROM TBGC;"
          " SELECT * FROM AdditionalWaypoints; SELECT * FROM GeocacheLogs' > '" + folder + "/caches.json'");
  });
  const double babel = Best([&] { Shell("gpsbabel -i gpx -f '" + gpx + "' -o gpx -F /dev/null"); });

  std::printf("%d caches (%zu written), GPX file %.1f MB\n", caches, written,
              static_cast<double>(std::filesystem::file_size(gpx)) / 1e6);
  std::printf("export, every cache by code:      %6.3f s  %8.0f caches/s  (processor %.3f s)\n", all, caches / all,
              allProcessor);
  std::printf("export, every cache named:        %6.3f s  %8.0f caches/s  (processor %.3f s)\n", named, caches / named,
              namedProcessor);
  std::printf("sqlite3 shell, same tables as JSON: %6.3f s  (export %.2fx its speed)\n", shell, shell / all);
  std::printf("GPSBabel reading the file back:   %6.3f s\n", babel);
  std::filesystem::remove_all(folder);
  return written == static_cast<size_t>(caches) ? 0 : 1;
}
