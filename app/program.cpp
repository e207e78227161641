#include <unistd.h>

#include <cstdio>
#include <exception>
#include <string>

#include "app/folder_lock.h"
#include "app/gui_loop.h"
#include "app/main_form.h"
#include "app/main_window.h"
#include "net/application.h"
#include "runtime/codepage.h"
#include "runtime/message_box.h"

namespace app {
namespace {

constexpr const char* kUsage =
    "usage: tamvirel\n"
    "       tamvirel CODE...\n"
    "       tamvirel --convert FILE...\n"
    "       tamvirel --help\n"
    "\n"
    "Without arguments: opens the window \"Download listing\", where the site's credentials and\n"
    "the proxy are entered, the sign-in is run and the page downloaded last is converted.\n"
    "\n"
    "With waypoint codes: signs in to the listing site when the stored session is more than\n"
    "ten minutes old, downloads each code's listing page and converts it into tmp/<code>.sql\n"
    "in the data folder ($XDG_DATA_HOME/tamvirel, by default ~/.local/share/tamvirel). When no\n"
    "session can be had, the window opens instead and the codes are not converted.\n"
    "\n"
    "--convert converts listing pages saved by hand (a browser's \"save page\") the same way,\n"
    "without downloading, signing in or a session.\n"
    "\n"
    "Exit status: 0 when every code or file was converted (without codes: when the window was\n"
    "closed), 1 when any was not (also when the window opened in place of the codes, or was\n"
    "needed and no display could be opened), 2 for a wrong command line.\n";

void PrintError(const std::string& ansiText) {
  const std::string text = runtime::AnsiToUtf8(ansiText);
  std::fprintf(stderr, "%s\n", text.c_str());
}

int NoDisplay() {
  std::fputs(
      "tamvirel: cannot open the window: no display (DISPLAY is not set or the X server cannot be reached)\n",
      stderr);
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
void CreateForm(TKelthornF& form) {
  runtime::TMessageBoxHandler previous = runtime::SetMessageBoxHandler(ShowStartupMessage);
  try {
    form.FormCreate();
  } catch (const std::exception& e) {
    net::ApplicationHandleException(e);
  }
  runtime::SetMessageBoxHandler(std::move(previous));
}

const char* OutcomeText(TKelthornF::TCodeOutcome outcome) {
  switch (outcome) {
    case TKelthornF::TCodeOutcome::Converted: return "ok";
    case TKelthornF::TCodeOutcome::DownloadFailed: return "download failed";
    case TKelthornF::TCodeOutcome::NotConverted: return "not converted";
    case TKelthornF::TCodeOutcome::Error: return "error";
  }
  return "?";
}

int ConvertFiles(const std::vector<std::string>& files) {
  // No codes: the creation handler reads the settings (host, attribute table) and signs in to
  // nothing.
  TKelthornF form({});
  form.FormCreate();
  int failed = 0;
  for (const std::string& file : files) {
    size_t statements = 0;
    std::string failure;
    if (!form.ConvertSavedPage(file, statements, failure)) {
      ++failed;
      // The file name is the command line's own text; only the message is Windows-1250.
      std::fprintf(stderr, "%s: %s\n", file.c_str(), runtime::AnsiToUtf8(failure).c_str());
    }
  }
  return failed == 0 ? 0 : 1;
}

// Runs that download or sign in hold the data folder's lock; a second one ends at once.
bool LockDataFolder(TFolderLock& lock, bool window) {
  if (lock.Acquire(LocateDataFolder())) return true;
  std::fprintf(stderr, "tamvirel: %s\n", lock.Failure().c_str());
  if (window) ShowModalMessage(runtime::Utf8ToAnsi(lock.Failure()));
  return false;
}

int RunCodes(std::vector<std::string> codes) {
  TFolderLock lock;
  if (!LockDataFolder(lock, false)) return 1;
  TKelthornF form(std::move(codes));
  CreateForm(form);
  if (!form.SignedIn) {
    // No session: the window opens and the codes wait for the user. Without a display, say
    // why (unless the login's message, which went to standard error, already did) and stop
    // before downloading anything.
    if (OpenDisplay()) {
      // The codes were not converted, however the window ends: a script must not take them as
      // done.
      RunWindow(form);
      return 1;
    }
    if (!form.LoginFailureShown)
      PrintError(form.LoginFailure.empty() ? std::string("Prihl\xE1senie zlyhalo.") : form.LoginFailure);
    return NoDisplay();
  }
  // Batch mode: messages go to standard error, so an unattended run never waits on a box.
  if (::isatty(STDERR_FILENO)) {
    form.OnCodeDone = [](const TKelthornF::TCodeResult& r) {
      const std::string code = runtime::AnsiToUtf8(r.Code);
      std::fprintf(stderr, "[%d/%d] %s: %s, %zu statements, %.2f s\n", r.Index, r.Count, code.c_str(),
                   OutcomeText(r.Outcome), r.Statements, r.Seconds);
    };
  }
  int failed = 0;
  for (const auto& r : form.RunBatch())
    if (r.Outcome != TKelthornF::TCodeOutcome::Converted) ++failed;
  if (form.BatchFlushFailed()) ++failed;
  return failed == 0 ? 0 : 1;
}

}  // namespace

int RunProgram(const std::vector<std::string>& utf8Arguments) {
  if (utf8Arguments.empty()) {
    if (!OpenDisplay()) return NoDisplay();
    TFolderLock lock;
    if (!LockDataFolder(lock, true)) return 1;
    TKelthornF form({});
    CreateForm(form);
    return RunWindow(form);
  }
  for (const std::string& a : utf8Arguments) {
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  if (utf8Arguments.front() == "--convert") {
    if (utf8Arguments.size() == 1) {
      std::fprintf(stderr, "tamvirel: --convert needs at least one file\n%s", kUsage);
      return 2;
    }
    return ConvertFiles({utf8Arguments.begin() + 1, utf8Arguments.end()});
  }
  std::vector<std::string> codes;
  codes.reserve(utf8Arguments.size());
  for (const std::string& a : utf8Arguments) {
    // Waypoint codes never start with "-": whatever does is a mistyped option, not a code to
    // download.
    if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "tamvirel: unknown option %s\n%s", a.c_str(), kUsage);
      return 2;
    }
    codes.push_back(runtime::Utf8ToAnsi(a));
  }
  return RunCodes(std::move(codes));
}

}  // namespace app
