#pragma once
// The main window "Download listing": its fields, the shell's process-wide state, the
// creation handler and the conversion handler.
//
// The window is a plain object here; the controls are the data they hold. A window system
// shows it later; batch mode never does.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/login.h"
#include "app/site_pacing.h"
#include "http/http_cli.h"
#include "http/ssl_http_cli.h"
#include "tls/ssl_context.h"
#include "listing/listing_parser.h"
#include "store/listing_store.h"
#include "store/store_queue.h"

namespace runtime {
class TIniFile;
class TMemoryStream;
}

namespace app {

class TKelthornF {
 public:
  // `arguments` are the command-line parameters (waypoint codes), already in Windows-1250.
  // `dataFolder` overrides the user's data folder (tests); empty means locate it.
  explicit TKelthornF(std::vector<std::string> arguments, std::string dataFolder = {});
  ~TKelthornF();
  TKelthornF(const TKelthornF&) = delete;
  TKelthornF& operator=(const TKelthornF&) = delete;

  // Creation handler: locates the data folder, reads the settings and, only when there are
  // command-line parameters, decides whether the stored session is fresh or a login is due.
  // A setting the program cannot use (SettingsProblem) stops it before that: nothing is sent.
  void FormCreate();
  // Why the settings cannot be used, as one line (UTF-8); empty when they can.
  std::string SettingsProblem;

  // Conversion handler: converts "tmp/htmlcopy.htm"; a page that fails makes it sign in and
  // try the current code once more. True when a SQL file was written.
  bool SpeedButton1Click();

  // What became of one code in batch mode.
  // NotStored: the site answered, but its page could not be written to the data folder.
  // StoreFailed: the SQL file is written, but the database refused its rows.
  // Interrupted: the run was told to stop while the code was under way.
  enum class TCodeOutcome { Converted, DownloadFailed, NotStored, NotConverted, Error, StoreFailed, Interrupted };
  struct TCodeResult {
    int Index = 0, Count = 0;
    std::string Code;
    TCodeOutcome Outcome = TCodeOutcome::Error;
    size_t Statements = 0;  // written to the SQL file
    double Seconds = 0;
    double SecondsLeft = 0;  // for the codes after this one, at the average pace so far
    std::string Cause;      // why it failed, for a user to act on; empty when converted
    std::string Layout;     // the page layout that converted it (see LayoutText)
  };

  // Batch mode: downloads and converts every command-line code in turn, stamping the session
  // after each converted one. A code that fails shows one message, kErrorMessage + code +
  // ": " + its cause, and the run goes on; a failed download is never followed by converting
  // the page left over from the code before. Once the application is told to terminate (an
  // interrupt), no further code is begun, the one under way ends as Interrupted without a
  // message, and what was converted still reaches the database. Returns one result per code
  // begun.
  std::vector<TCodeResult> RunBatch();
  // Set while a batch runs (the window's Stop): the run ends after the code being done, which is
  // finished whole (an interrupt cuts it short); the codes after it are not begun.
  bool StopRequested = false;
  // The codes the next batch run downloads, in place of the command line's (the window's field).
  void SetCodes(std::vector<std::string> codes) { FArguments = std::move(codes); }
  // Signs in unless the stored session is fresh (stamped in this system start within the last
  // ten minutes); SignedIn says whether there is a session now.
  bool SignInIfStale();
  // Told about each code once it is done: a converted one only once its rows are in the
  // database (committed), or with the database off once its SQL file is in place, so that what
  // is reported converted survives an interrupt or a crash (batch progress).
  std::function<void(const TCodeResult&)> OnCodeDone;
  // True when the last batch run could not flush its files to the disk at its end.
  bool BatchFlushFailed() const { return FBatchFlushFailed; }

  // "<name> (<file>)" of a layout, for a run that is asked which layout converted each page.
  static std::string LayoutText(const listing::TLayout* layout);
  // The page layouts in use, in the order a page is tried with them.
  const listing::TLayoutTable& Layouts() const { return *FLayouts; }

  // Converts a page saved by hand (a browser's "save page") as the conversion button does,
  // without download, login or session: writes tmp/<code>.sql. The site's host is the
  // configured one, or, when that does not occur in the page, the host of the page's own
  // cache link (a page saved from another copy of the site).
  struct TSavedPageResult {
    bool Converted = false;
    size_t Statements = 0;
    std::string SqlFile;     // written when converted
    std::string PageHost;    // the host taken from the page; empty when the configured one served
    std::string Failure;     // why it was not converted (UTF-8, as the system gives its texts)
    std::string Layout;      // the page layout that converted it (see LayoutText)
  };
  TSavedPageResult ConvertSavedPage(const std::string& file);

  // The listings database every converted code's statements are loaded into after its SQL file
  // is written (see store/listing_store.h); empty: none. The creation handler sets it from
  // DatabaseOverride when that is set (the command line's --db), else from the settings.
  std::string DatabaseFile;
  std::optional<std::string> DatabaseOverride;
  int DatabaseBusyTimeoutMs = store::kDefaultBusyTimeoutMs;
  // How many codes' database steps failed since the form was made: their SQL files were written,
  // the database kept what it had, and each failure was reported with the file and the reason
  // (a message box from the conversion button, a line on standard error in batch mode and for
  // saved pages).
  int StoreFailures() const { return FStoreFailures; }

  // The pace of every request to the site, the waits after its refusals included (see
  // app/site_pacing.h). The creation handler sets it from the settings, and the pause from
  // PageDelayOverride when that is set (the command line's --delay).
  TSitePacer Pacer;
  std::optional<uint32_t> PageDelayOverride;

  // Signs in to the site through its login form over HTTPS (see app/login.h); its outcome is
  // SignedIn, the settings file on success, and LoginFailure with the reason otherwise.
  void Login();
  // The "Login" button.
  void SpeedButton2Click() { Login(); }
  // Why the last sign-in failed (Windows-1250); empty after a success. Whether the
  // login already showed it in a message box.
  std::string LoginFailure;
  bool LoginFailureShown = false;
  // What kind of failure that was, for a batch to say what to do next. NoUserName: none is
  // stored, and nothing was sent.
  enum class TLoginFailure { None, NoUserName, Refused, Certificate, Unreachable, Other };
  TLoginFailure LoginFailureKind = TLoginFailure::None;

  // Downloads `url` with HttpCli1 into `targetFile`: GET when `method` is exactly "GET",
  // otherwise a POST of `body`. False on any failure (connection, time-out, a status of 400 or
  // more other than 401 and 407, the file write), with the file left as it was. Every request
  // (these, the sign-in's and the text download's) starts no sooner than Pacer allows, and one
  // the site refuses (429, 503) is asked again after Pacer's wait, up to kRefusalRetries times.
  bool httpcliget(const std::string& url, const std::string& cookie, const std::string& targetFile,
                  const std::string& method, const std::string& body);
  // Why the last download failed, for a user to act on: "HTTP 404 Not Found"; or "site
  // host:port: " / "proxy host:port: " (whom the connection went to) followed by the text of
  // the client's exception (its what(), or the TLS layer's error), and the time-out's length
  // when it timed out; or the file that could not be written and the system's reason; for a
  // site that kept refusing, its status and the waits. Empty after a success.
  const std::string& DownloadFailureCause() const { return FLastFailureCause; }
  // The same over SslHttpCli1 (the login pages).
  bool sslhttpcliget(const std::string& url, const std::string& cookie, const std::string& targetFile,
                     const std::string& method, const std::string& body);
  // Closes HttpCli1's kept-open connection (an error there is raised), then requests `url`
  // and returns the reply body trimmed of bytes up to 32 at both ends; empty on any error.
  std::string httpcligettext(const std::string& url, const std::string& cookie, const std::string& body,
                             const std::string& method);
  // The proxy fields into HttpCli1 when the proxy check box is ticked, empty texts otherwise.
  void CopyProxySettings();

  // The clients' cookie handlers: keep the site's session cookie up to its first ";".
  void HttpCli1Cookie(const std::string& value);
  void SslHttpCli1Cookie(const std::string& value) { HttpCli1Cookie(value); }
  // The reply `client` reads comes from the site's own host.
  bool FromSite(const http::THttpCli& client) const;

  // The listing page address of a waypoint code (the code appended unchanged).
  std::string ListingAddress(const std::string& code) const;
  // The site's host as addresses carry it: with ":" + the configured port, if any.
  std::string HttpHost() const { return HttpPort.empty() ? SiteHost : SiteHost + ":" + HttpPort; }
  std::string HttpsHost() const { return HttpsPort.empty() ? SiteHost : SiteHost + ":" + HttpsPort; }

  // Process-wide state of the shell.
  std::string DataFolder;  // always ends in "/"
  std::string SessionCookie;
  bool SignedIn = false;
  std::optional<int32_t> SessionStamp;  // none: the settings file has no stamp
  std::string SessionBoot;              // the system start the stamp was taken in
  std::string SiteHost;  // bare: the page markers use it as it is
  std::string HttpPort, HttpsPort;
  bool VerifyCertificate = true;

  // Window fields (the settings tab) and the second tab's memo and attribute table.
  std::string Edit1, Edit2;                    // site user name, password
  std::string Edit48, Edit49, Edit50, Edit51;  // proxy address, port, user, password
  bool CheckBox32 = false;                     // use the proxy
  // The user name field's colours: a sign-in paints it red or green with white text.
  unsigned Edit1Color = kColorWhite, Edit1FontColor = kColorBlack;
  std::vector<std::string> Memo1{"Memo1"};
  std::vector<std::string> LboxAttr;

  // The network components, configured as the window's design has them.
  std::unique_ptr<tls::TSslContext> SslContext1;
  std::unique_ptr<http::THttpCli> HttpCli1;
  std::unique_ptr<http::TSslHttpCli> SslHttpCli1;

  // Test seams. OnDownload, when set, replaces httpcliget's request; OnLogin replaces the
  // sign-in; an unset tick source uses the system's millisecond tick count.
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
  // Writes the session stamp ("Session"/"TC") and, after it, this system start's id.
  void StampSession(runtime::TIniFile& ini);
  bool ParseListing();
  listing::TListingParser MakeParser();
  // Writes a converted code's rows into the database (or hands them to the batch's queue).
  void StoreRows(const std::string& code, listing::TCacheRows& rows, bool toStandardError);
  std::unique_ptr<store::TListingStore> FStore;
  std::unique_ptr<store::TStoreQueue> FStoreQueue;  // during a batch
  // What the database's thread said about each code pushed, in order: none when committed, the
  // failure's text otherwise. Guarded by FStoreOutcomeLock.
  std::mutex FStoreOutcomeLock;
  std::deque<std::optional<std::string>> FStoreOutcomes;
  bool FPushedThisCode = false;  // the current code's rows went to FStoreQueue
  int FStoreFailures = 0;
  std::string FLastParseFailure;  // the parser's FailureCause after the last ParseListing
  std::string FLastNoLayout;      // the parser's NoLayoutCause after the last ParseListing
  std::string FLastLayout;        // the layout that converted the last page
  // The page layouts: the built-in ones with the data folder's layouts/ over them, read by the
  // creation handler; the conversion button, batch mode and saved pages all use them.
  std::shared_ptr<const listing::TLayoutTable> FLayouts = listing::BuiltInLayouts();
  std::string FNotConvertedCause;  // why the last SpeedButton1Click converted nothing
  std::string ParseFailureCause() const;
  size_t FLastStatements = 0;
  bool FBatchFlushFailed = false;
  bool FRetryDownloadFailed = false;  // the conversion handler's second download failed

  // Why the last download failed, for the login's report.
  enum class TDownloadFailure { None, HttpStatus, Refused, Unreachable, Certificate, Storage, Other };
  TDownloadFailure FLastFailure = TDownloadFailure::None;
  std::string FLastFailureText;
  std::string FLastFailureCause;
  // The login's message for the last download's failure (and its LoginFailureKind).
  std::string FailureReason(const std::string& otherwise);
  // The last failure says why a sign-in failed better than the reply would (none came, or only
  // refusals): the login shows it.
  bool SignInFailureSays() const {
    return FLastFailure == TDownloadFailure::Unreachable || FLastFailure == TDownloadFailure::Certificate ||
           FLastFailure == TDownloadFailure::Refused;
  }
  void NoteFailure(http::THttpCli& client, const std::exception& e);
  void NoteFailureKind(http::THttpCli& client, const std::exception& e);
  bool RunDownload(http::THttpCli& client, const std::string& url, const std::string& cookie,
                   const std::string& targetFile, const std::string& method, const std::string& body);
  // Sends the request the client is set up for, as SyncGet or SyncPost do, each time after
  // Pacer's turn; a refusal is asked again after its wait. Throws what the client throws; a
  // refusal too many times also sets FKeptRefusing.
  void AskSite(http::THttpCli& client, const std::string& url, bool get, runtime::TMemoryStream& body,
               runtime::TMemoryStream& reply);
  // A pause or a wait before a request is running: its message loop may re-enter, and a request
  // started there would go between the two.
  bool FWaitingForSite = false;
  bool FKeptRefusing = false;
  void ConfigureClient(http::THttpCli& client);
  void ConfigureSslContext();

  std::vector<std::string> FArguments;
  std::string FDataFolderOverride;
  int FBatchIndex = 0;
};

// The user's data folder: $XDG_DATA_HOME/tamvirel/ (default ~/.local/share/tamvirel/, the home
// folder taken from the user database when HOME is not set), with "/" at the end. It and its
// "tmp" folder are created (owner only) when missing; when that fails, throws
// runtime::EFileError naming the folder and the system's reason.
std::string LocateDataFolder();

// The settings file's problem for a run that goes online: the site's host is still the
// compiled-in placeholder. Empty when the host names a site.
std::string PlaceholderHostProblem(const std::string& siteHost, const std::string& settingsFile);

// The listings database a run uses: `override` when set (the command line's --db, as given),
// else the setting `configured`, a relative name taken in `dataFolder`. Empty: none.
std::string DatabasePath(const std::string& dataFolder, const std::string& configured,
                         const std::optional<std::string>& override);

// `codes` without those whose listing `databaseFile` holds from a conversion within the last
// `hours` (letter case aside), in their order. Throws store::EStoreError when the database
// cannot be read.
std::vector<std::string> CodesNotConvertedWithin(const std::vector<std::string>& codes,
                                                 const std::string& databaseFile, double hours);

// Milliseconds since the system started, sleep included, as a count that wraps at 2^32: the
// session stamp of the settings file.
uint32_t SystemTickCount();

// Program entry without the process around it; returns the exit status.
int RunProgram(const std::vector<std::string>& utf8Arguments);

}  // namespace app
