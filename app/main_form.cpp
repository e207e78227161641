#include "app/main_form.h"

#include <chrono>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <malloc.h>
#include <set>
#include <pwd.h>
#include <unistd.h>

#include "app/messages.h"
#include "app/settings.h"
#include "listing/listing_parser.h"
#include "listing/site.h"
#include "listing/sql_output.h"
#include "net/application.h"
#include "runtime/ascii_text.h"
#include "runtime/codepage.h"
#include "runtime/formatting.h"
#include "runtime/text_list.h"
#include "runtime/file_io.h"
#include "runtime/ini_file.h"
#include "runtime/message_box.h"
#include "store/converted_codes.h"

namespace app {
namespace {

// A code whose database step failed, as every failing code is reported: which code, which file
// and SQLite's reason (UTF-8), and that nothing is lost, as the SQL file holds the statements.
std::string StoreFailureText(const std::string& code, const std::string& failure) {
  return std::string(kErrorMessage) + code + ": " + failure + "; tmp/" + code +
         ".sql is written: repeat the run once the database can be written";
}

// Straight to standard error, as one write: the database's thread reports from outside the
// message loop, where no message box may be shown.
void PrintStoreFailure(const std::string& code, const std::string& failure) {
  std::fprintf(stderr, "%s: %s\n", kProgramName.data(), StoreFailureText(code, failure).c_str());
}

}  // namespace

std::string LocateDataFolder() {
  std::string base;
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    std::string homeFolder = home != nullptr && home[0] == '/' ? home : "";
    // Without HOME (a service, cron with a bare environment) the user database knows the home;
    // an empty one would put the folder, with the password, under "/".
    if (homeFolder.empty()) {
      if (const passwd* user = ::getpwuid(::getuid()); user != nullptr && user->pw_dir != nullptr)
        homeFolder = user->pw_dir;
    }
    if (homeFolder.empty() || homeFolder[0] != '/')
      throw runtime::EFileError("cannot find the data folder: neither XDG_DATA_HOME nor HOME is set, and the user "
                                "database names no home folder; set XDG_DATA_HOME to a folder of yours");
    base = homeFolder + "/.local/share";
  }
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  std::string folder = base + "/tamvirel/";
  // Created owner-only: the folder holds the site credentials and session.
  errno = 0;
  if (!runtime::EnsureDirectory(folder + "tmp", 0700)) {
    const int err = errno == 0 || errno == EEXIST ? ENOTDIR : errno;
    throw runtime::EFileError("cannot create the data folder " + folder + "tmp: " + std::strerror(err) +
                              "; set XDG_DATA_HOME to a folder you can write");
  }
  return folder;
}

std::string PlaceholderHostProblem(const std::string& siteHost, const std::string& settingsFile) {
  if (siteHost != listing::kDefaultSiteHost) return {};
  return "Site/Host in " + settingsFile + " must name the listing site (" + std::string(listing::kDefaultSiteHost) +
         " is a placeholder): write [Site] and Host=<the site's host name> there";
}

std::string DatabasePath(const std::string& dataFolder, const std::string& configured,
                         const std::optional<std::string>& override) {
  if (override) return *override;  // as the command line gave it: relative to the working folder
  if (!configured.empty() && configured.front() != '/') return dataFolder + configured;
  return configured;
}

std::vector<std::string> CodesNotConvertedWithin(const std::vector<std::string>& codes,
                                                 const std::string& databaseFile, double hours) {
  const auto since = std::time(nullptr) - static_cast<std::time_t>(hours * 3600);
  std::set<std::string> done;
  // The site gives a code in capitals whatever letters the address had.
  for (const std::string& code : store::CodesConvertedSince(databaseFile, since)) done.insert(runtime::Lower(code));
  std::vector<std::string> rest;
  for (const std::string& code : codes)
    if (!done.contains(runtime::Lower(code))) rest.push_back(code);
  return rest;
}

TKelthornF::TKelthornF(std::vector<std::string> arguments, std::string dataFolder)
    : LboxAttr(listing::DefaultAttributeItems()),
      SslContext1(std::make_unique<tls::TSslContext>()),
      HttpCli1(std::make_unique<http::THttpCli>()),
      SslHttpCli1(std::make_unique<http::TSslHttpCli>()),
      FArguments(std::move(arguments)),
      FDataFolderOverride(std::move(dataFolder)) {
  ConfigureSslContext();
  ConfigureClient(*HttpCli1);
  ConfigureClient(*SslHttpCli1);
  SslHttpCli1->SetSslContext(SslContext1.get());
  // The session is the site's: a cookie from a host a relocation led to (or from anyone else)
  // must not replace it.
  HttpCli1->OnCookie = [this](http::THttpCli* c, const std::string& value, bool&) {
    if (FromSite(*c)) HttpCli1Cookie(value);
  };
  SslHttpCli1->OnCookie = [this](http::THttpCli* c, const std::string& value, bool&) {
    if (FromSite(*c)) SslHttpCli1Cookie(value);
  };
}

TKelthornF::~TKelthornF() = default;

uint32_t SystemTickCount() {
  // The stamp outlives the process and is compared with a later run's count, so the clock must
  // keep running while the machine sleeps: CLOCK_MONOTONIC stops then and would make a session
  // left overnight look minutes old.
  timespec ts {};
  clock_gettime(CLOCK_BOOTTIME, &ts);
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

uint32_t TKelthornF::TickCount() const { return OnTickCount ? OnTickCount() : SystemTickCount(); }

void TKelthornF::StampSession(runtime::TIniFile& ini) {
  SessionStamp = static_cast<int32_t>(TickCount());
  SessionBoot = SystemBootId();
  ini.WriteInteger("Session", "TC", *SessionStamp);
  // After the stamp: a write cut off between the two leaves a stamp that reads as stale, never
  // an old stamp under this start's id.
  ini.WriteString("Session", "Boot", SessionBoot);
}

void TKelthornF::FormCreate() {
  if (FDataFolderOverride.empty()) {
    DataFolder = LocateDataFolder();
  } else {
    DataFolder = FDataFolderOverride;
    if (DataFolder.back() != '/') DataFolder += '/';
  }

  TSettings s = LoadSettings(SettingsFile(), std::string(listing::kDefaultSiteHost));
  SessionCookie = s.SessionCookie;
  SessionStamp = s.SessionStamp;
  SessionBoot = s.SessionBoot;
  Edit48 = s.ProxyIp;
  Edit49 = s.ProxyPort;
  Edit50 = s.ProxyUser;
  Edit51 = s.ProxyPassword;
  Edit1 = s.UserName;
  Edit2 = s.Password;
  CheckBox32 = s.UseProxy;
  SiteHost = s.SiteHost;
  HttpPort = s.HttpPort;
  HttpsPort = s.HttpsPort;
  VerifyCertificate = s.VerifyCertificate;
  DatabaseFile = DatabasePath(DataFolder, s.Database, DatabaseOverride);
  HttpCli1->SetRequestLimit(s.RequestLimit);
  SslHttpCli1->SetRequestLimit(s.RequestLimit);
  Pacer.PageDelayMs = PageDelayOverride.value_or(s.PageDelayMs);
  Pacer.RetryLimit = s.RetryLimit;
  // A layout file with a mistake is left out (Layouts().Problems names it); the others, and the
  // built-in ones, serve.
  FLayouts = listing::LoadLayouts(DataFolder + "layouts/");
  SettingsProblem = s.Problem;
  if (!SettingsProblem.empty()) return;

  if (!FArguments.empty()) SignInIfStale();
}

bool TKelthornF::SignInIfStale() {
  if (SessionIsFresh(TickCount(), SystemBootId(), SessionStamp, SessionBoot))
    SignedIn = true;
  else
    Login();
  return SignedIn;
}

std::string TKelthornF::ListingAddress(const std::string& code) const {
  return "http://" + HttpHost() + "/seek/cache_details.aspx?wp=" + code;
}

std::string TKelthornF::CurrentCode() const {
  if (FBatchIndex >= 1 && static_cast<size_t>(FBatchIndex) <= FArguments.size()) return FArguments[FBatchIndex - 1];
  return FArguments.empty() ? std::string() : FArguments.front();
}

listing::TListingParser TKelthornF::MakeParser() {
  listing::TListingParser parser;
  parser.DataFolder = DataFolder;
  parser.Host = SiteHost;
  parser.AddressHost = HttpHost();
  // The window shows each page's description; a batch has no window and would only gather them
  // all in memory, some hundred KB per code.
  parser.Memo = FBatchIndex > 0 ? nullptr : &Memo1;
  parser.AttributeItems = LboxAttr;
  parser.Layouts = FLayouts;
  return parser;
}

bool TKelthornF::ParseListing() {
  listing::TListingParser parser = MakeParser();
  parser.SignedIn = &SignedIn;
  // The score is asked for as the site's own page does; its answer is not used.
  parser.FetchFavoriteScore = [this](const std::string& address) { httpcligettext(address, SessionCookie, "", "POST"); };
  // Batch mode reports one line per code itself, with this cause in it.
  parser.ShowsFailure = FBatchIndex == 0;
  const bool converted = parser.ParseListing();
  FLastStatements = parser.StatementCount();
  // The window's button reports in a box; batch mode, which must never wait on one, on stderr.
  if (converted) StoreRows(parser.Code(), parser.Rows(), FBatchIndex > 0);
  FLastParseFailure = parser.FailureCause();
  FLastNoLayout = parser.NoLayoutCause();
  FLastLayout = LayoutText(parser.Layout());
  return converted;
}

void TKelthornF::StoreRows(const std::string& code, listing::TCacheRows& rows, bool toStandardError) {
  if (DatabaseFile.empty()) return;
  if (FStoreQueue) {
    FStoreQueue->Push(code, std::move(rows));
    FPushedThisCode = true;
    return;
  }
  try {
    // Opened once and kept for the run; one that failed to open is tried again for the next code.
    if (!FStore) FStore = std::make_unique<store::TListingStore>(DatabaseFile, DatabaseBusyTimeoutMs);
    FStore->Apply(rows);
  } catch (const std::exception& e) {
    ++FStoreFailures;
    // The file name and SQLite's reason are UTF-8; the code is the page's own text.
    if (toStandardError)
      PrintStoreFailure(code, e.what());
    else
      runtime::ShowMessage(runtime::Utf8ToAnsi(StoreFailureText(code, e.what())));
  }
}

bool TKelthornF::SpeedButton1Click() {
  FLastStatements = 0;
  FRetryDownloadFailed = false;
  FNotConvertedCause.clear();
  if (ParseListing()) return true;
  const std::string first = ParseFailureCause();
  Login();
  if (!SignedIn) {
    FNotConvertedCause = first + "; signing in again failed" + (LoginFailure.empty() ? "" : ": " + LoginFailure);
    return false;
  }
  // A retry whose download failed would only convert the rejected page once more.
  if (!httpcliget(ListingAddress(CurrentCode()), SessionCookie, DataFolder + "tmp/htmlcopy.htm", "GET", "")) {
    FRetryDownloadFailed = true;
    return false;
  }
  if (ParseListing()) return true;
  FNotConvertedCause = ParseFailureCause() + " (after signing in again)";
  // The window says why of a page no layout knows, as the parser does of a failed one; batch
  // mode names the cause in the code's own line.
  if (FBatchIndex == 0 && !FLastNoLayout.empty()) runtime::ShowMessage(FNotConvertedCause);
  return false;
}

std::string TKelthornF::LayoutText(const listing::TLayout* layout) {
  return layout ? layout->Name + " (" + layout->Origin + ")" : std::string();
}

std::string TKelthornF::ParseFailureCause() const {
  if (!FLastNoLayout.empty()) return runtime::Utf8ToAnsi(FLastNoLayout);
  // No error but no file: the page has no coordinates, the sign of a session not signed in.
  if (FLastParseFailure.empty()) return "the page shows no coordinates (not signed in?)";
  return "conversion failed at " + runtime::Utf8ToAnsi(FLastParseFailure);
}

std::vector<TKelthornF::TCodeResult> TKelthornF::RunBatch() {
  std::vector<TCodeResult> results;
  const int count = static_cast<int>(FArguments.size());
  // Every code writes its SQL file and the session stamp; flushing each to the disk cost more
  // than downloading and converting the page, so the run flushes once, at its end.
  struct TFlushAtEnd {
    bool Done = false;
    TFlushAtEnd() { runtime::DeferFlushes(true); }
    bool Flush() {
      Done = true;
      runtime::DeferFlushes(false);
      return runtime::FlushDeferredWrites();
    }
    ~TFlushAtEnd() {
      if (!Done) Flush();
    }
  } flushAtEnd;
  // Each code's reply, page and statements are blocks of some hundred KB. By default each is
  // mapped and unmapped again (or the heap grown and trimmed), and its pages faulted in and
  // cleared anew, for every code; kept in the heap for the run, they are reused.
  ::mallopt(M_MMAP_THRESHOLD, 32 << 20);
  ::mallopt(M_TRIM_THRESHOLD, 128 << 20);
  FBatchFlushFailed = false;
  // A thread of its own writes each code's rows into the database while the next page downloads.
  // Its failures are reported as they happen.
  if (!DatabaseFile.empty()) {
    FStoreQueue = std::make_unique<store::TStoreQueue>(
        DatabaseFile, DatabaseBusyTimeoutMs,
        [this](const std::string& code, const std::string& failure) {
          PrintStoreFailure(code, failure);
          std::lock_guard<std::mutex> hold(FStoreOutcomeLock);
          FStoreOutcomes.emplace_back(failure);
        },
        [this](const std::string&) {
          std::lock_guard<std::mutex> hold(FStoreOutcomeLock);
          FStoreOutcomes.emplace_back(std::nullopt);
        });
  }
  const auto batchStarted = std::chrono::steady_clock::now();
  // Every code's result waits here (an index into `results`, and whether its rows went to the
  // database's thread) until the codes before it are told about and, when it was stored,
  // the database has committed it or failed: codes are told about in their order.
  struct TAwaiting {
    size_t Index;
    bool Stored;
  };
  std::deque<TAwaiting> awaiting;
  std::deque<std::optional<std::string>> storeOutcomes;
  const auto settle = [&] {
    {
      std::lock_guard<std::mutex> hold(FStoreOutcomeLock);
      for (auto& outcome : FStoreOutcomes) storeOutcomes.push_back(std::move(outcome));
      FStoreOutcomes.clear();
    }
    while (!awaiting.empty()) {
      TCodeResult& r = results[awaiting.front().Index];
      if (awaiting.front().Stored) {
        if (storeOutcomes.empty()) break;
        if (storeOutcomes.front() && r.Outcome == TCodeOutcome::Converted) {
          r.Outcome = TCodeOutcome::StoreFailed;
          r.Cause = runtime::Utf8ToAnsi(*storeOutcomes.front());
        }
        storeOutcomes.pop_front();
      }
      awaiting.pop_front();
      if (OnCodeDone) OnCodeDone(r);
    }
  };
  for (FBatchIndex = 1; FBatchIndex <= count && !net::ApplicationTerminated() && !StopRequested; ++FBatchIndex) {
    const auto started = std::chrono::steady_clock::now();
    FPushedThisCode = false;
    TCodeResult r;
    r.Index = FBatchIndex;
    r.Count = count;
    r.Code = FArguments[FBatchIndex - 1];
    try {
      // The page of the code before is still in tmp/htmlcopy.htm: a failed download must not
      // let it be converted again under this code's turn.
      if (!httpcliget(ListingAddress(r.Code), SessionCookie, DataFolder + "tmp/htmlcopy.htm", "GET", "")) {
        r.Outcome = FLastFailure == TDownloadFailure::Storage ? TCodeOutcome::NotStored : TCodeOutcome::DownloadFailed;
        r.Cause = runtime::Utf8ToAnsi(DownloadFailureCause());
      } else {
        const bool converted = SpeedButton1Click();
        r.Statements = converted ? FLastStatements : 0;
        if (converted) r.Layout = FLastLayout;
        // Only a converted code proves the session good. One that was not converted either
        // had its session refused (a stamp would make the next run trust it) or signed in
        // anew, and the sign-in stamped the session itself.
        if (converted) {
          runtime::TIniFile ini(SettingsFile());
          StampSession(ini);
        }
        r.Outcome = converted ? TCodeOutcome::Converted : TCodeOutcome::NotConverted;
        // The retry's download failed as any other download does: the code says so.
        if (!converted && FRetryDownloadFailed) {
          r.Outcome = FLastFailure == TDownloadFailure::Storage ? TCodeOutcome::NotStored : TCodeOutcome::DownloadFailed;
          r.Cause = "after signing in again: " + runtime::Utf8ToAnsi(DownloadFailureCause());
        } else if (!converted) {
          r.Cause = FNotConvertedCause;
        }
      }
    } catch (const std::exception& e) {
      r.Outcome = TCodeOutcome::Error;
      r.Statements = 0;
      r.Cause = runtime::Utf8ToAnsi(e.what());
    }
    // A request cut short by the interrupt is no failure of the code's own.
    if (r.Outcome != TCodeOutcome::Converted && net::ApplicationTerminated()) r.Outcome = TCodeOutcome::Interrupted;
    // The disk, not the site, refused: what to do is about the data folder.
    if (r.Outcome == TCodeOutcome::NotStored) r.Cause += "; make room or mend the data folder, then run the code again";
    if (r.Outcome != TCodeOutcome::Converted && r.Outcome != TCodeOutcome::Interrupted)
      runtime::ShowMessage(std::string(kErrorMessage) + r.Code + ": " + r.Cause);
    const auto now = std::chrono::steady_clock::now();
    r.Seconds = std::chrono::duration<double>(now - started).count();
    // The pauses and waits so far are in the average: a batch paced by the site's tolerance
    // is estimated at that pace.
    r.SecondsLeft = std::chrono::duration<double>(now - batchStarted).count() / FBatchIndex * (count - FBatchIndex);
    awaiting.push_back({results.size(), FPushedThisCode});
    results.push_back(r);
    settle();
  }
  FBatchIndex = 0;
  // Files that may not have reached the disk are not a run that went well. They are flushed
  // while the database's thread still works through the last codes.
  if (!flushAtEnd.Flush()) {
    FBatchFlushFailed = true;
    runtime::ShowMessage(std::string(kErrorMessage) +
                         "the files written could not be flushed to the disk; check the disk (is it full?), then run "
                         "the codes again");
  }
  if (FStoreQueue) {
    FStoreFailures += FStoreQueue->Finish();
    FStoreQueue.reset();
    settle();
  }
  return results;
}

namespace {

// The host of the page's own cache link ("http://<host>/seek/cache_details.aspx?guid="), or
// empty when the page has none.
std::string PageHost(std::string_view page) {
  static constexpr std::string_view kCacheLink = "/seek/cache_details.aspx?guid=";
  const size_t link = page.find(kCacheLink);
  if (link == std::string_view::npos) return {};
  const size_t scheme = page.rfind("://", link);
  if (scheme == std::string_view::npos) return {};
  const std::string_view host = page.substr(scheme + 3, link - scheme - 3);
  // Anything but a host name (a blank, a quote, markup) means the link was not found whole.
  if (host.empty() || host.find_first_of(" \t\r\n\"'<>/") != std::string_view::npos) return {};
  return std::string(host);
}

}  // namespace

TKelthornF::TSavedPageResult TKelthornF::ConvertSavedPage(const std::string& file) {
  TSavedPageResult result;
  listing::TListingParser parser = MakeParser();
  std::string page;
  if (file.empty()) {
    result.Failure = "an empty file name names no file";
    return result;
  }
  try {
    page = runtime::NormalizeLineBreaks(runtime::ReadWholeFile(file));
  } catch (const std::exception& e) {
    result.Failure = e.what();
    return result;
  }
  // A page saved from another host (a mirror, a test copy) names that host in every marker
  // that holds one; the configured host would give empty GUIDs and wrong addresses.
  if (page.find("://" + SiteHost + "/seek/cache_details.aspx?guid=") == std::string::npos) {
    const std::string host = PageHost(page);
    if (!host.empty() && host != SiteHost) {
      result.PageHost = host;
      parser.Host = host;
      parser.AddressHost = host;
    }
  }
  try {
    listing::TCacheRows rows;
    std::string code;
    if (!parser.BuildRows(page, rows, code)) {
      result.Failure = parser.NoLayoutCause().empty() ? "the page shows no coordinates (saved without signing in?)"
                                                      : parser.NoLayoutCause();
      return result;
    }
    result.Layout = LayoutText(parser.Layout());
    result.SqlFile = listing::SqlFileName(DataFolder, code);
    const std::vector<std::string> list = listing::CacheStatements(rows);
    listing::SaveStatements(result.SqlFile, list);
    result.Statements = list.size();
    result.Converted = true;
    StoreRows(code, rows, true);
  } catch (const std::exception& e) {
    // How far the conversion came, and why it stopped there (a file it could not write, say).
    result.SqlFile.clear();
    result.Failure = "conversion failed at " + listing::StageFailureCause(parser.StageCounter(), e.what());
  }
  return result;
}

}  // namespace app
