#include <unistd.h>

#include <csignal>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>

#include "app/folder_lock.h"
#include "app/gui_loop.h"
#include "app/main_form.h"
#include "app/main_window.h"
#include "app/messages.h"
#include "app/settings.h"
#include "app/waypoint_codes.h"
#include "listing/site.h"
#include "net/application.h"
#include "runtime/codepage.h"
#include "runtime/formatting.h"
#include "runtime/message_box.h"
#include "store/gpx_export.h"

namespace app {
namespace {

constexpr const char* kUsage =
    "usage: tamvirel\n"
    "       tamvirel [--] CODE...\n"
    "       tamvirel --convert [--] FILE...\n"
    "       tamvirel --gpx FILE [--] [CODE...]\n"
    "       tamvirel --help | --version\n"
    "       tamvirel --db FILE [--convert | --gpx FILE] [--] CODE-OR-FILE...\n"
    "       tamvirel [--db FILE] --verbose [--convert] [--] CODE-OR-FILE...\n"
    "       tamvirel [--delay MS] [--skip-done HOURS] [--] CODE...\n"
    "\n"
    "Without arguments: opens the window \"Download listing\", where the site's credentials and\n"
    "the proxy are entered and the sign-in is run, and whose \"Listings\" tab downloads and\n"
    "converts the codes typed into it, as below, and lists the caches of the listings database.\n"
    "\n"
    "With waypoint codes (ASCII letters and digits, such as GC12AB): signs in to the listing\n"
    "site when the stored session is more than ten minutes old, downloads each code's listing\n"
    "page and converts it into tmp/<code>.sql in the data folder ($XDG_DATA_HOME/tamvirel, by\n"
    "default ~/.local/share/tamvirel). When no session can be had, the window opens instead and\n"
    "the codes are not converted. A code that fails is named on standard error after \"chyba \",\n"
    "with the cause. Ctrl-C stops asking the site: what was converted still reaches the database\n"
    "(a second Ctrl-C ends at once).\n"
    "\n"
    "--convert, which must come first, converts listing pages saved by hand (a browser's \"save\n"
    "page\") the same way, without downloading, signing in or a session. \"--\" ends the options.\n"
    "\n"
    "--gpx, which must come first, writes the caches of the listings database (all of them, or\n"
    "the codes named, in that order) to FILE as GPX 1.0 with the cache extension that GPS\n"
    "receivers and geocaching apps read (\"-\": standard output), without going online:\n"
    "    tamvirel --gpx caches.gpx GC12AB GC34CD\n"
    "Codes the database does not hold are named, and the status is 1.\n"
    "\n"
    "A page is converted by the first page layout that recognises it: the built-in ones, then the\n"
    "files layouts/*.ini in the data folder, which add layouts or replace built-in ones of the same\n"
    "name (see the README, \"When the site changes its pages\"). --verbose names the layouts in use\n"
    "and, for each page or code converted, the layout that converted it.\n"
    "\n"
    "Every converted code is also loaded into the listings database, listings.db in the data\n"
    "folder unless rovkast.ini's [Output] Database= names another file (empty: none); --db FILE,\n"
    "first on the command line, names it for one run (--db \"\": none).\n"
    "\n"
    "The settings file rovkast.ini in the data folder must name the site: [Site] Host=<host>. A\n"
    "setting that holds a value the program cannot use is named, with what is expected, before\n"
    "anything is sent.\n"
    "\n"
    "Requests to the site start at least [Site] PageDelay= milliseconds apart (default 1000, 0:\n"
    "no pause): a site throttles or locks an account that asks for page after page at full\n"
    "speed. --delay MS sets the pause for one run. A site that answers 429 or 503 is asked again\n"
    "up to 4 times, after the wait its Retry-After names (at most [Site] RetryLimit= seconds,\n"
    "default 300) or else 5, 10, 20 and 40 s; then the code fails. --skip-done HOURS leaves out\n"
    "the codes the listings database holds from a conversion within that many hours, so a batch\n"
    "that was cut short resumes where it stopped.\n"
    "\n"
    "Exit status: 0 when every code or file was converted (without codes: when the window was\n"
    "closed), 1 when any was not or its database step failed (also when the window opened in\n"
    "place of the codes, or was needed and no display could be opened, or a setting is bad), 2 for\n"
    "a wrong command line, 130 after Ctrl-C (143 after SIGTERM).\n";

// The socket layer's texts carry the numbers of the interface it stands in for, " (Error
// #10061)": the window shows them as they are, but on a Linux terminal they only mislead.
std::string WithoutErrorNumbers(std::string line) {
  static constexpr std::string_view kMark = " (Error #";
  for (size_t at = 0; (at = line.find(kMark, at)) != std::string::npos;) {
    size_t end = at + kMark.size();
    while (end < line.size() && ((line[end] >= '0' && line[end] <= '9') || line[end] == '-')) ++end;
    if (end < line.size() && line[end] == ')' && end > at + kMark.size())
      line.erase(at, end + 1 - at);
    else
      at = end;
  }
  return line;
}

// Every line the program writes to standard error starts with its name, so that a line read
// among other programs' output says where it came from.
void PrintLines(const std::string& utf8Text) {
  size_t from = 0;
  do {
    const size_t end = utf8Text.find('\n', from);
    const std::string line =
        WithoutErrorNumbers(utf8Text.substr(from, end == std::string::npos ? std::string::npos : end - from));
    std::fprintf(stderr, "%s: %s\n", kProgramName.data(), line.c_str());
    from = end == std::string::npos ? std::string::npos : end + 1;
  } while (from != std::string::npos && from < utf8Text.size());
  std::fflush(stderr);
}

// The message box's stand-in outside the window: its texts are Windows-1250.
void PrintError(const std::string& ansiText) { PrintLines(runtime::AnsiToUtf8(ansiText)); }

// A command line that is not understood: what is wrong, where to read more, status 2.
int CommandLineError(const std::string& utf8Text) {
  PrintLines(utf8Text + "\ntry '" + std::string(kProgramName) + " --help'");
  return 2;
}

int NoDisplay() {
  PrintLines("cannot open the window: no display (DISPLAY is not set or the X server cannot be reached)");
  return 1;
}

// GUI mode: shows the window and runs the loop until the user closes it.
int RunWindow(TKelthornF& form) {
  TGuiLoop loop;
  TMainWindow window(form);
  loop.OnIdle = [&window] { window.Refresh(); };
  window.Show();
  // Ends when the user closes the window, or when the application was told to quit.
  loop.RunUntil([&window] { return !window.Shown() || net::ApplicationTerminated(); });
  return 0;
}

// A message during start-up with codes: a failed login there leads to the window, so the
// display is opened for it; batch mode, which needs no message there, never touches it.
void ShowStartupMessage(const std::string& text) {
  if (OpenDisplay())
    ShowModalMessage(text);
  else
    PrintError(text);
}

// The creation handler. What it raises (a login page that cannot be read, say) is reported as
// any other unhandled error and the program goes on without a session. Its messages come
// before the window exists, so they get a box of their own when there is a display.
void CreateForm(TKelthornF& form, runtime::TMessageBoxHandler show = ShowStartupMessage) {
  runtime::TMessageBoxHandler previous = runtime::SetMessageBoxHandler(std::move(show));
  try {
    form.FormCreate();
  } catch (const std::exception& e) {
    net::ApplicationHandleException(e);
  }
  runtime::SetMessageBoxHandler(std::move(previous));
}

// The last line of a run on a terminal: how many of the pages or codes were converted (a code
// whose database step failed is not), and how long it all took.
void PrintSummary(size_t count, const char* what, size_t converted, size_t failed,
                  std::chrono::steady_clock::time_point started) {
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  char summary[200];
  const size_t notBegun = count - converted - failed;
  std::snprintf(summary, sizeof summary, "%zu %s: %zu converted, %zu failed%s, %.2f s", count, what, converted, failed,
                notBegun == 0 ? "" : (", " + std::to_string(notBegun) + " not converted (interrupted)").c_str(),
                seconds);
  PrintLines(summary);
}

// Layout files with a mistake are named before anything is converted; the others serve. With
// --verbose, so are the layouts a page is tried with, in their order.
void ReportLayouts(const TKelthornF& form, bool verbose) {
  for (const std::string& problem : form.Layouts().Problems) PrintLines("layout file not used: " + problem);
  if (!verbose) return;
  std::string names;
  for (const listing::TLayout& layout : form.Layouts().Layouts)
    names += (names.empty() ? "" : ", ") + TKelthornF::LayoutText(&layout);
  PrintLines("layouts: " + names);
}

// How a file name shows in a line: an empty one would be invisible.
std::string Shown(const std::string& file) { return file.empty() ? "\"\"" : file; }

// Ctrl-C and SIGTERM during a batch: the first stops asking the site (every wait gives up on the
// application's terminating flag) and lets the run end in order; the second ends it at once.
volatile std::sig_atomic_t gInterrupt = 0;

void OnInterrupt(int signal) {
  if (gInterrupt != 0) ::_exit(128 + gInterrupt);
  gInterrupt = signal;
  net::SetApplicationTerminated(true);  // a lock-free atomic store: safe in a handler
}

struct TInterruptHandlers {
  struct sigaction Previous[2] {};
  TInterruptHandlers() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &Previous[0]);
    ::sigaction(SIGTERM, &action, &Previous[1]);
  }
  ~TInterruptHandlers() {
    ::sigaction(SIGINT, &Previous[0], nullptr);
    ::sigaction(SIGTERM, &Previous[1], nullptr);
  }
  // The status of a run that was interrupted (128 + the signal), 0 when it was not.
  static int Status() { return gInterrupt == 0 ? 0 : 128 + gInterrupt; }
};

// A bad setting: one line, status 1; the window shows it in a box as well.
int SettingsError(const TKelthornF& form) {
  PrintLines(form.SettingsProblem);
  return 1;
}

int ConvertFiles(const std::vector<std::string>& files, const std::optional<std::string>& database, bool verbose) {
  const auto started = std::chrono::steady_clock::now();
  const bool terminal = ::isatty(STDERR_FILENO) != 0;
  // No codes: the creation handler reads the settings (host, attribute table) and signs in to
  // nothing.
  TKelthornF form({});
  form.DatabaseOverride = database;
  form.FormCreate();
  if (!form.SettingsProblem.empty()) return SettingsError(form);
  ReportLayouts(form, verbose);
  size_t failed = 0;
  for (const std::string& file : files) {
    const int storeFailures = form.StoreFailures();
    const TKelthornF::TSavedPageResult r = form.ConvertSavedPage(file);
    // File names and the causes are the system's own texts; only the settings are Windows-1250.
    if (!r.PageHost.empty())
      PrintLines(file + ": converted for the host " + r.PageHost + " that the page links to (Site/Host is " +
                 runtime::AnsiToUtf8(form.SiteHost) + ")");
    if (!r.Converted) {
      ++failed;
      PrintLines(std::string(kErrorMessage) + Shown(file) + ": " + r.Failure);
    } else if (form.StoreFailures() != storeFailures) {
      ++failed;  // its line is out already
    } else {
      if (terminal) PrintLines(file + ": wrote " + r.SqlFile + " (" + std::to_string(r.Statements) + " statements)");
      if (verbose) PrintLines(file + ": converted by the layout " + r.Layout);
    }
  }
  if (terminal) PrintSummary(files.size(), "pages", files.size() - failed, failed, started);
  return failed == 0 ? 0 : 1;
}

// Writes the listings database's caches as a GPX file. It reads the database only, so it takes
// no lock and runs beside a batch that writes it.
int ExportGpxFile(const std::string& file, const std::vector<std::string>& codes,
                  const std::optional<std::string>& database) {
  TKelthornF form({});
  form.DatabaseOverride = database;
  form.FormCreate();
  if (!form.SettingsProblem.empty()) return SettingsError(form);
  if (form.DatabaseFile.empty()) {
    PrintLines("no listings database to export: it is turned off ([Output] Database= or --db \"\"); name one with"
               " --db FILE");
    return 1;
  }
  try {
    const store::TGpxExportResult r =
        store::ExportGpx(form.DatabaseFile, codes, file, runtime::AnsiToUtf8(form.HttpHost()));
    std::string missing;
    for (const std::string& code : r.Missing) missing += (missing.empty() ? "" : " ") + code;
    if (!missing.empty()) PrintLines("not in the database " + form.DatabaseFile + ": " + missing);
    if (r.Written == 0) {
      PrintLines("no cache to export: " + file + " is not written");
      return 1;
    }
    if (::isatty(STDERR_FILENO) != 0) PrintLines("wrote " + std::to_string(r.Written) + " caches to " + file);
    return r.Missing.empty() ? 0 : 1;
  } catch (const std::exception& e) {
    PrintLines(e.what());
    return 1;
  }
}

// Runs that download or sign in hold the data folder's lock; a second one ends at once.
bool LockDataFolder(TFolderLock& lock, const std::string& dataFolder, bool window) {
  if (lock.Acquire(dataFolder)) return true;
  PrintLines(lock.Failure());
  if (window) ShowModalMessage(runtime::Utf8ToAnsi(lock.Failure()));
  return false;
}

// The options of a run that asks the site: --delay and --skip-done.
struct TSiteOptions {
  std::optional<uint32_t> DelayMs;
  std::optional<double> SkipDoneHours;
  std::string SkipDoneText;  // as given
};

// "3 s", "2 min 05 s", "1 h 20 min": how long the rest of a batch should take.
std::string LeftText(double seconds) {
  const long s = std::lround(seconds);
  char text[48];
  if (s < 60)
    std::snprintf(text, sizeof text, "%ld s", s);
  else if (s < 3600)
    std::snprintf(text, sizeof text, "%ld min %02ld s", s / 60, s % 60);
  else
    std::snprintf(text, sizeof text, "%ld h %02ld min", s / 3600, s % 3600 / 60);
  return text;
}

// The line that ends a batch whose sign-in failed: the codes were not converted, why, and what
// to do (UTF-8).
std::string SignInFailureLine(const TKelthornF& form, size_t count) {
  using TKind = TKelthornF::TLoginFailure;
  const std::string codes = count == 1 ? "the code was not converted: " : std::to_string(count) + " codes were not converted: ";
  const std::string again = "then run the codes again";
  const std::string window = "the window (run " + std::string(kProgramName) + " without codes)";
  const std::string why = runtime::AnsiToUtf8(form.LoginFailure.empty() ? std::string(kSignInFailed) : form.LoginFailure);
  switch (form.LoginFailureKind) {
    case TKind::NoUserName:
      return codes + "no user name is stored in " + form.DataFolder + kSettingsFileName +
             ", so nothing was sent; sign in once in " + window + ", " + again;
    case TKind::Refused:
      return codes + "the site refused the sign-in (" + why + "); correct the user name or the password in " + window +
             " and sign in there, " + again;
    case TKind::Certificate:
    case TKind::Unreachable:
      return codes + why;  // it says what to do
    default:
      return codes + why + "; " + again + " later";
  }
}

int RunCodes(std::vector<std::string> codes, const std::string& dataFolder,
             const std::optional<std::string>& database, bool verbose, const TSiteOptions& options) {
  const auto started = std::chrono::steady_clock::now();
  TFolderLock lock;
  if (!LockDataFolder(lock, dataFolder, false)) return 1;
  TInterruptHandlers interrupts;
  // Before the sign-in: a batch whose codes are all done asks the site nothing. (A bad setting is
  // reported below, before anything is asked, as in any run.)
  const TSettings settings =
      options.SkipDoneHours ? LoadSettings(dataFolder + kSettingsFileName, std::string(listing::kDefaultSiteHost)) : TSettings{};
  if (options.SkipDoneHours && settings.Problem.empty()) {
    const std::string file = DatabasePath(dataFolder, settings.Database, database);
    if (file.empty()) {
      PrintLines("--skip-done reads the listings database, and this run has none: set [Output] Database= or give --db FILE");
      return 1;
    }
    const size_t given = codes.size();
    try {
      codes = CodesNotConvertedWithin(codes, file, *options.SkipDoneHours);
    } catch (const std::exception& e) {
      PrintLines(e.what());
      return 1;
    }
    PrintLines("--skip-done " + options.SkipDoneText + ": left out " + std::to_string(given - codes.size()) + " of " +
               std::to_string(given) + " codes, converted within the last " + options.SkipDoneText + " h");
    if (codes.empty()) return 0;
  }
  const size_t count = codes.size();
  TKelthornF form(std::move(codes));
  form.DatabaseOverride = database;
  form.PageDelayOverride = options.DelayMs;
  // Without a display the sign-in's own message would only come again in the last line.
  const bool display = OpenDisplay();
  if (display)
    CreateForm(form);
  else
    CreateForm(form, [&form](const std::string& text) {
      if (text != form.LoginFailure) PrintError(text);
    });
  // Codes always go online: a host that names no site would end in a look-up failure (a sign-in
  // refuses it without sending anything).
  if (form.SettingsProblem.empty())
    form.SettingsProblem = PlaceholderHostProblem(form.SiteHost, dataFolder + kSettingsFileName);
  if (!form.SettingsProblem.empty()) return SettingsError(form);
  if (TInterruptHandlers::Status() != 0) {
    PrintLines("interrupted while signing in: no code was converted");
    return TInterruptHandlers::Status();
  }
  if (!form.SignedIn) {
    // No session: the window opens and the codes wait for the user.
    if (display) {
      // The codes were not converted, however the window ends: a script must not take them as
      // done.
      RunWindow(form);
      return 1;
    }
    PrintLines(SignInFailureLine(form, count));
    return 1;
  }
  // Batch mode: messages go to standard error, so an unattended run never waits on a box. A
  // code that fails says so in its own line; on a terminal the converted ones do too.
  const bool terminal = ::isatty(STDERR_FILENO) != 0;
  ReportLayouts(form, verbose);
  if (terminal || verbose) {
    form.OnCodeDone = [terminal, verbose](const TKelthornF::TCodeResult& r) {
      if (r.Outcome != TKelthornF::TCodeOutcome::Converted) return;
      char line[192];
      std::snprintf(line, sizeof line, "[%d/%d] %s: %zu statements, %.2f s%s%s", r.Index, r.Count,
                    runtime::AnsiToUtf8(r.Code).c_str(), r.Statements, r.Seconds, r.Index < r.Count ? ", left " : "",
                    r.Index < r.Count ? LeftText(r.SecondsLeft).c_str() : "");
      if (terminal) PrintLines(line);
      if (verbose) PrintLines(runtime::AnsiToUtf8(r.Code) + ": converted by the layout " + r.Layout);
    };
    form.Pacer.OnWait = [&form](uint32_t seconds) {
      const int index = form.BatchIndex();
      const std::string where = index > 0 ? "[" + std::to_string(index) + "/" + std::to_string(form.Arguments().size()) +
                                                "] " + runtime::AnsiToUtf8(form.Arguments()[index - 1]) + ": "
                                          : "";
      PrintLines(where + "site asks to wait " + std::to_string(seconds) + " s");
    };
  }
  size_t converted = 0, failed = 0;
  const auto results = form.RunBatch();
  for (const auto& r : results) {
    if (r.Outcome == TKelthornF::TCodeOutcome::Converted)
      ++converted;
    else if (r.Outcome != TKelthornF::TCodeOutcome::Interrupted)
      ++failed;
  }
  if (terminal) PrintSummary(count, "codes", converted, failed, started);
  if (const int status = TInterruptHandlers::Status(); status != 0) {
    PrintLines("interrupted: " + std::to_string(converted) + " of " + std::to_string(count) +
               " codes converted and in the database; run the same codes again to convert the rest");
    return status;
  }
  if (form.BatchFlushFailed()) ++failed;
  return failed == 0 && form.StoreFailures() == 0 ? 0 : 1;
}

// Outside the window, message boxes are lines on standard error, for as long as the program
// runs.
struct TErrorLines {
  runtime::TMessageBoxHandler Previous = runtime::SetMessageBoxHandler(PrintError);
  ~TErrorLines() { runtime::SetMessageBoxHandler(std::move(Previous)); }
};

}  // namespace

int RunProgram(const std::vector<std::string>& utf8Arguments) {
  TErrorLines errorLines;
  bool convert = false;
  bool verbose = false;
  bool optionsEnded = false;
  std::optional<std::string> database;
  TSiteOptions siteOptions;
  std::optional<std::string> gpxFile;
  std::vector<std::string> operands;
  for (size_t i = 0; i < utf8Arguments.size(); ++i) {
    const std::string& a = utf8Arguments[i];
    if (optionsEnded || a.size() < 2 || a[0] != '-') {
      operands.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsEnded = true;
    } else if (a == "--help" || a == "-h" || a == "--version") {
      if (utf8Arguments.size() != 1) return CommandLineError(a + " takes nothing else: tamvirel " + a);
      if (a == "--version")
        std::printf("%s %s\n", kProgramName.data(), kProgramVersion.data());
      else
        std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--db") {
      // The listings database of this run ("" turns it off); it leads the command line.
      if (i != 0) return CommandLineError("--db must come first: tamvirel --db FILE [--convert] ...");
      if (utf8Arguments.size() < 2) return CommandLineError("--db needs a file");
      database = utf8Arguments[++i];
    } else if (a == "--delay") {
      const std::string value = i + 1 < utf8Arguments.size() ? utf8Arguments[++i] : "";
      const std::optional<int32_t> ms = value.find_first_not_of("0123456789") == std::string::npos
                                            ? runtime::TryStrToInt(value) : std::nullopt;
      if (!ms || static_cast<uint32_t>(*ms) > kMaxPageDelayMs)
        return CommandLineError("--delay needs milliseconds from 0 to " + std::to_string(kMaxPageDelayMs));
      siteOptions.DelayMs = static_cast<uint32_t>(*ms);
    } else if (a == "--skip-done") {
      siteOptions.SkipDoneText = i + 1 < utf8Arguments.size() ? utf8Arguments[++i] : "";
      siteOptions.SkipDoneHours = runtime::TryStrToFloat(siteOptions.SkipDoneText);
      if (!siteOptions.SkipDoneHours || !(*siteOptions.SkipDoneHours > 0 && *siteOptions.SkipDoneHours <= 876000))
        return CommandLineError("--skip-done needs a number of hours above 0");
    } else if (a == "--verbose") {
      verbose = true;
    } else if (a == "--gpx") {
      if (i != (database ? 2u : 0u) + (verbose ? 1u : 0u))
        return CommandLineError("--gpx must come first: tamvirel --gpx FILE [CODE...]");
      if (i + 1 >= utf8Arguments.size()) return CommandLineError("--gpx needs a file (\"-\": standard output)");
      gpxFile = utf8Arguments[++i];
    } else if (a == "--convert") {
      // Codes and files cannot be mixed: what came before it would be taken for one or the other.
      if (i != (database ? 2u : 0u) + (verbose ? 1u : 0u)) return CommandLineError("--convert must come first: tamvirel --convert FILE...");
      convert = true;
    } else {
      return CommandLineError("unknown option " + a);
    }
  }
  if (convert && operands.empty()) return CommandLineError("--convert needs at least one file");
  if ((convert || gpxFile) && (siteOptions.DelayMs || siteOptions.SkipDoneHours))
    return CommandLineError("--delay and --skip-done are for downloads, not for --convert or --gpx");
  if (siteOptions.SkipDoneHours && operands.empty()) return CommandLineError("--skip-done needs codes");
  if (!convert) {
    for (const std::string& code : operands)
      if (!IsWaypointCode(code))
        return CommandLineError("not a waypoint code: \"" + code + "\" (codes are ASCII letters and digits)");
  }

  // Nothing is tried without the data folder: every file of the program lies in it.
  std::string dataFolder;
  try {
    dataFolder = LocateDataFolder();
  } catch (const std::exception& e) {
    PrintLines(e.what());
    return 1;
  }

  if (convert) return ConvertFiles(operands, database, verbose);
  if (gpxFile) return ExportGpxFile(*gpxFile, operands, database);
  if (!operands.empty()) return RunCodes(std::move(operands), dataFolder, database, verbose, siteOptions);
  if (!OpenDisplay()) return NoDisplay();
  TFolderLock lock;
  if (!LockDataFolder(lock, dataFolder, true)) return 1;
  TKelthornF form({});
  form.DatabaseOverride = database;
  form.PageDelayOverride = siteOptions.DelayMs;
  CreateForm(form);
  // The window opens on its Settings tab, where the bad value can be mended.
  if (!form.SettingsProblem.empty()) {
    PrintLines(form.SettingsProblem);
    ShowModalMessage(runtime::Utf8ToAnsi(form.SettingsProblem));
  }
  for (const std::string& problem : form.Layouts().Problems)
    ShowModalMessage(runtime::Utf8ToAnsi("layout file not used: " + problem));
  return RunWindow(form);
}

}  // namespace app
