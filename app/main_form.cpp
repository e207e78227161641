#include "app/main_form.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <malloc.h>

#include "app/settings.h"
#include "listing/listing_parser.h"
#include "listing/site.h"
#include "listing/sql_output.h"
#include "runtime/formatting.h"
#include "runtime/text_list.h"
#include "runtime/file_io.h"
#include "runtime/ini_file.h"
#include "runtime/message_box.h"

namespace app {

std::string LocateDataFolder() {
  std::string base;
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home != nullptr ? home : "") + "/.local/share";
  }
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  std::string folder = base + "/tamvirel/";
  // Created owner-only: the folder holds the site credentials and session.
  runtime::EnsureDirectory(folder + "tmp", 0700);
  return folder;
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
  HttpCli1->OnCookie = [this](http::THttpCli*, const std::string& value, bool&) { HttpCli1Cookie(value); };
  SslHttpCli1->OnCookie = [this](http::THttpCli*, const std::string& value, bool&) { SslHttpCli1Cookie(value); };
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
  ini.WriteInteger("Session", "TC", static_cast<int32_t>(TickCount()));
  // After the stamp: a write cut off between the two leaves a stamp that reads as stale, never
  // an old stamp under this start's id.
  ini.WriteString("Session", "Boot", SystemBootId());
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

  if (!FArguments.empty()) {
    if (SessionIsFresh(TickCount(), SystemBootId(), SessionStamp, SessionBoot))
      SignedIn = true;
    else
      Login();
  }
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
  parser.Memo = &Memo1;
  parser.AttributeItems = LboxAttr;
  return parser;
}

bool TKelthornF::ParseListing() {
  listing::TListingParser parser = MakeParser();
  parser.SignedIn = &SignedIn;
  // The score is asked for as the site's own page does; its answer is not used.
  parser.FetchFavoriteScore = [this](const std::string& address) { httpcligettext(address, SessionCookie, "", "POST"); };
  const bool converted = parser.ParseListing();
  FLastStatements = parser.StatementCount();
  return converted;
}

bool TKelthornF::SpeedButton1Click() {
  FLastStatements = 0;
  FRetryDownloadFailed = false;
  if (ParseListing()) return true;
  Login();
  if (!SignedIn) return false;
  // A retry whose download failed would only convert the rejected page once more.
  if (!httpcliget(ListingAddress(CurrentCode()), SessionCookie, DataFolder + "tmp/htmlcopy.htm", "GET", "")) {
    FRetryDownloadFailed = true;
    return false;
  }
  return ParseListing();
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
  for (FBatchIndex = 1; FBatchIndex <= count; ++FBatchIndex) {
    const auto started = std::chrono::steady_clock::now();
    TCodeResult r;
    r.Index = FBatchIndex;
    r.Count = count;
    r.Code = FArguments[FBatchIndex - 1];
    try {
      // The page of the code before is still in tmp/htmlcopy.htm: a failed download must not
      // let it be converted again under this code's turn.
      if (!httpcliget(ListingAddress(r.Code), SessionCookie, DataFolder + "tmp/htmlcopy.htm", "GET", "")) {
        r.Outcome = TCodeOutcome::DownloadFailed;
        runtime::ShowMessage("chyba ");
      } else {
        const bool converted = SpeedButton1Click();
        r.Statements = converted ? FLastStatements : 0;
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
          r.Outcome = TCodeOutcome::DownloadFailed;
          runtime::ShowMessage("chyba ");
        }
      }
    } catch (const std::exception&) {
      r.Outcome = TCodeOutcome::Error;
      r.Statements = 0;
      runtime::ShowMessage("chyba ");
    }
    r.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    results.push_back(r);
    if (OnCodeDone) OnCodeDone(r);
  }
  FBatchIndex = 0;
  // Files that may not have reached the disk are not a run that went well.
  if (!flushAtEnd.Flush()) {
    FBatchFlushFailed = true;
    runtime::ShowMessage("chyba ");
  }
  return results;
}

bool TKelthornF::ConvertSavedPage(const std::string& file, size_t& statements, std::string& failure) {
  statements = 0;
  failure.clear();
  listing::TListingParser parser = MakeParser();
  std::string page;
  try {
    page = runtime::NormalizeLineBreaks(runtime::ReadWholeFile(file));
  } catch (const std::exception&) {
    failure = "s\xFA" "bor sa ned\xE1 pre\xE8\xEDta\x9D";
    return false;
  }
  try {
    std::vector<std::string> list;
    std::string code;
    if (!parser.BuildStatements(page, list, code)) {
      failure = "str\xE1nka nem\xE1 s\xFAradnice (ulo\x9E" "n\xE1 bez prihl\xE1senia?)";
      return false;
    }
    listing::SaveStatements(listing::SqlFileName(DataFolder, code), list);
    statements = list.size();
    return true;
  } catch (const std::exception&) {
    // The same report as the conversion button's: how far the conversion came.
    failure = runtime::IntToStr(parser.StageCounter());
    return false;
  }
}

}  // namespace app
