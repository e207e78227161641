#include <unistd.h>

#include <cstdio>
#include <string>

#include "app/main_form.h"
#include "runtime/codepage.h"

namespace app {
namespace {

constexpr const char* kUsage =
    "usage: tamvirel CODE...\n"
    "       tamvirel --convert FILE...\n"
    "       tamvirel --help\n"
    "\n"
    "With waypoint codes: signs in to the listing site when the stored session is more than\n"
    "ten minutes old, downloads each code's listing page and converts it into tmp/<code>.sql\n"
    "in the data folder ($XDG_DATA_HOME/tamvirel, by default ~/.local/share/tamvirel).\n"
    "\n"
    "--convert converts listing pages saved by hand (a browser's \"save page\") the same way,\n"
    "without downloading, signing in or a session.\n"
    "\n"
    "Exit status: 0 when every code or file was converted, 1 when any was not, 2 for a wrong\n"
    "command line.\n";

void PrintError(const std::string& ansiText) {
  const std::string text = runtime::AnsiToUtf8(ansiText);
  std::fprintf(stderr, "%s\n", text.c_str());
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

int RunCodes(std::vector<std::string> codes) {
  TKelthornF form(std::move(codes));
  form.FormCreate();
  if (!form.SignedIn) {
    // There is no window to fall back to: say why (unless the login's message box, which
    // writes to standard error here, already did) and stop before downloading anything.
    if (!form.LoginFailureShown)
      PrintError(form.LoginFailure.empty() ? std::string("Prihl\xE1senie zlyhalo.") : form.LoginFailure);
    return 1;
  }
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
  return failed == 0 ? 0 : 1;
}

}  // namespace

int RunProgram(const std::vector<std::string>& utf8Arguments) {
  if (utf8Arguments.empty()) {
    // The window arrives with the GUI; until then the program only runs from the command line.
    std::fputs(kUsage, stdout);
    return 0;
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
