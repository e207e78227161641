#pragma once
// The main window "Download listing": its fields, the shell's process-wide state, the
// creation handler and the conversion handler.
//
// The window is a plain object here; the controls are the data they hold. A window system
// shows it later; batch mode never does.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/login.h"
#include "listing/listing_parser.h"

namespace app {

// The system colours of a field (window background and text); the login's colours are in
// login.h.
inline constexpr uint32_t kColorWindow = 0x80000005;
inline constexpr uint32_t kColorWindowText = 0x80000008;

class TKelthornF {
 public:
  // `arguments` are the command-line parameters (waypoint codes), already in Windows-1250.
  // `dataFolder` overrides the user's data folder (tests); empty means locate it.
  explicit TKelthornF(std::vector<std::string> arguments, std::string dataFolder = {});

  // Creation handler: locates the data folder, reads the settings and, only when there are
  // command-line parameters, decides whether the stored session is fresh or a login is due.
  void FormCreate();

  // Conversion handler: converts "tmp/htmlcopy.htm"; a page that fails makes it sign in and
  // try the current code once more. True when a SQL file was written.
  bool SpeedButton1Click();

  // What became of one code in batch mode.
  enum class TCodeOutcome { Converted, DownloadFailed, NotConverted, Error };
  struct TCodeResult {
    int Index = 0, Count = 0;
    std::string Code;
    TCodeOutcome Outcome = TCodeOutcome::Error;
    size_t Statements = 0;  // written to the SQL file
    double Seconds = 0;
  };

  // Batch mode: downloads and converts every command-line code in turn, stamping the session
  // after each converted one. A code whose download fails or that raises an error shows
  // "chyba " and the run goes on; a failed download is never followed by converting the
  // page left over from the code before. Returns one result per code.
  std::vector<TCodeResult> RunBatch();
  // Told about each code as soon as it is done (batch progress).
  std::function<void(const TCodeResult&)> OnCodeDone;

  // Converts a page saved by hand (a browser's "save page") as the conversion button does,
  // without download, login or session: writes tmp/<code>.sql. False when it fails, with
  // `failure` saying why (the conversion's stage number, or that the page has no coordinates).
  bool ConvertSavedPage(const std::string& file, size_t& statements, std::string& failure);

  // Signs in to the site. Until the HTTP client exists this build cannot sign in: the attempt
  // leaves SignedIn false, as a failed sign-in does, and LoginFailure says why.
  void Login();
  // Why the last sign-in failed (Windows-1250, Slovak); empty after a success.
  std::string LoginFailure;

  // Downloads `url` into `targetFile`; false on any failure, with the file left as it was.
  bool httpcliget(const std::string& url, const std::string& cookie, const std::string& targetFile,
                  const std::string& method, const std::string& body);

  // The clients' cookie handler: keeps the site's session cookie up to its first ";".
  void HttpCli1Cookie(const std::string& value);

  // The listing page address of a waypoint code (the code appended unchanged).
  std::string ListingAddress(const std::string& code) const;
  // The site's host as addresses carry it: with ":" + the configured port, if any.
  std::string HttpHost() const { return HttpPort.empty() ? SiteHost : SiteHost + ":" + HttpPort; }
  std::string HttpsHost() const { return HttpsPort.empty() ? SiteHost : SiteHost + ":" + HttpsPort; }

  // Process-wide state of the shell.
  std::string DataFolder;  // always ends in "/"
  std::string SessionCookie;
  bool SignedIn = false;
  int32_t SessionStamp = 0;
  std::string SiteHost;  // bare: the page markers use it as it is
  std::string HttpPort, HttpsPort;
  bool VerifyCertificate = true;

  // Window fields (the settings tab) and the second tab's memo and attribute table.
  std::string Edit1, Edit2;                    // site user name, password
  std::string Edit48, Edit49, Edit50, Edit51;  // proxy address, port, user, password
  bool CheckBox32 = false;                     // use the proxy
  // Edit1's background and text colours as 0x00BBGGRR values; the login sets them, the window
  // shows them. The two system values stand for the toolkit's own field colours.
  uint32_t Edit1Color = kColorWindow;
  uint32_t Edit1FontColor = kColorWindowText;
  std::vector<std::string> Memo1{"Memo1"};
  std::vector<std::string> LboxAttr;

  // Seams filled by later layers and by tests. An unset download fails; an unset tick source
  // uses the system's millisecond tick count.
  std::function<bool(const std::string& url, const std::string& cookie, const std::string& targetFile,
                     const std::string& method, const std::string& body)>
      OnDownload;
  std::function<uint32_t()> OnTickCount;
  std::function<void()> OnLogin;

  const std::vector<std::string>& Arguments() const { return FArguments; }
  // 1-based index of the code being converted in batch mode (0 outside it).
  int BatchIndex() const { return FBatchIndex; }

 private:
  std::string CurrentCode() const;
  std::string SettingsFile() const { return DataFolder + "rovkast.ini"; }
  uint32_t TickCount() const;
  bool ParseListing();
  listing::TListingParser MakeParser();
  size_t FLastStatements = 0;

  std::vector<std::string> FArguments;
  std::string FDataFolderOverride;
  int FBatchIndex = 0;
};

// The user's data folder: $XDG_DATA_HOME/tamvirel/ (default ~/.local/share/tamvirel/), with
// "/" at the end. It and its "tmp" folder are created (owner only) when missing.
std::string LocateDataFolder();

// Milliseconds since the system started, sleep included, as a count that wraps at 2^32: the
// session stamp of the settings file.
uint32_t SystemTickCount();

// Program entry without the process around it; returns the exit status.
int RunProgram(const std::vector<std::string>& utf8Arguments);

}  // namespace app
