#include "app/main_form.h"

#include <cstdlib>
#include <ctime>
#include <exception>

#include "app/settings.h"
#include "listing/listing_parser.h"
#include "listing/site.h"
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
      FArguments(std::move(arguments)),
      FDataFolderOverride(std::move(dataFolder)) {}

uint32_t SystemTickCount() {
  // The stamp outlives the process and is compared with a later run's count, so the clock must
  // keep running while the machine sleeps: CLOCK_MONOTONIC stops then and would make a session
  // left overnight look minutes old.
  timespec ts {};
  clock_gettime(CLOCK_BOOTTIME, &ts);
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

uint32_t TKelthornF::TickCount() const { return OnTickCount ? OnTickCount() : SystemTickCount(); }

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
  Edit48 = s.ProxyIp;
  Edit49 = s.ProxyPort;
  Edit50 = s.ProxyUser;
  Edit51 = s.ProxyPassword;
  Edit1 = s.UserName;
  Edit2 = s.Password;
  CheckBox32 = s.UseProxy;
  SiteHost = s.SiteHost;

  if (!FArguments.empty()) {
    if (SessionIsFresh(TickCount(), SessionStamp))
      SignedIn = true;
    else
      Login();
  }
}

void TKelthornF::Login() {
  SignedIn = false;
  if (OnLogin) OnLogin();
}

bool TKelthornF::httpcliget(const std::string& url, const std::string& cookie, const std::string& targetFile,
                            const std::string& method, const std::string& body) {
  if (!OnDownload) return false;
  try {
    return OnDownload(url, cookie, targetFile, method, body);
  } catch (const std::exception&) {
    return false;
  }
}

void TKelthornF::HttpCli1Cookie(const std::string& value) {
  if (value.find("ASP.NET_SessionId") == std::string::npos) return;
  size_t semicolon = value.find(';');
  SessionCookie = semicolon == std::string::npos ? std::string() : value.substr(0, semicolon + 1);
}

std::string TKelthornF::ListingAddress(const std::string& code) const {
  return "http://" + SiteHost + "/seek/cache_details.aspx?wp=" + code;
}

std::string TKelthornF::CurrentCode() const {
  if (FBatchIndex >= 1 && static_cast<size_t>(FBatchIndex) <= FArguments.size()) return FArguments[FBatchIndex - 1];
  return FArguments.empty() ? std::string() : FArguments.front();
}

bool TKelthornF::ParseListing() {
  listing::TListingParser parser;
  parser.DataFolder = DataFolder;
  parser.Host = SiteHost;
  parser.SignedIn = &SignedIn;
  parser.Memo = &Memo1;
  parser.AttributeItems = LboxAttr;
  // The favourites request goes out once the HTTP client exists; its reply is never used.
  return parser.ParseListing();
}

void TKelthornF::SpeedButton1Click() {
  if (ParseListing()) return;
  Login();
  if (!SignedIn) return;
  httpcliget(ListingAddress(CurrentCode()), SessionCookie, DataFolder + "tmp/htmlcopy.htm", "GET", "");
  ParseListing();
}

void TKelthornF::RunBatch() {
  const int count = static_cast<int>(FArguments.size());
  for (FBatchIndex = 1; FBatchIndex <= count; ++FBatchIndex) {
    try {
      httpcliget(ListingAddress(FArguments[FBatchIndex - 1]), SessionCookie, DataFolder + "tmp/htmlcopy.htm", "GET",
                 "");
      SpeedButton1Click();
      runtime::TIniFile ini(SettingsFile());
      ini.WriteInteger("Session", "TC", static_cast<int32_t>(TickCount()));
    } catch (const std::exception&) {
      runtime::ShowMessage("chyba ");
    }
  }
  FBatchIndex = 0;
}

}  // namespace app
