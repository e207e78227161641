#include "app/login.h"

#include "app/main_form.h"
#include "app/messages.h"
#include "app/settings.h"
#include "listing/text_ops.h"
#include "runtime/codepage.h"
#include "runtime/file_io.h"
#include "runtime/formatting.h"
#include "runtime/ini_file.h"
#include "runtime/message_box.h"

namespace app {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

void AppendEscaped(std::string& out, unsigned char byte) {
  out += '%';
  out += kHex[byte >> 4];
  out += kHex[byte & 15];
}

bool KeptAsIs(unsigned char c) {
  if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return true;
  switch (c) {
    case '*': case '-': case '.': case '[': case ']': case '^': case '_': case '`': case '{': case '}': case '~':
    case 127:
      return true;
    default:
      return false;
  }
}

// The code page's five unassigned positions count as U+FFFD, a three-byte character.
bool Unassigned(unsigned char c) { return c == 0x81 || c == 0x83 || c == 0x88 || c == 0x90 || c == 0x98; }

}  // namespace

std::string FormEncode(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 3);
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 128) {
      if (KeptAsIs(c))
        out += ch;
      else
        AppendEscaped(out, c);  // a blank gives "%20" by the same rule
      continue;
    }
    if (Unassigned(c)) continue;
    const char16_t unit = runtime::Cp1250ToUnicode(c);
    if (unit >= 0x800) continue;  // three bytes in UTF-8: dropped
    AppendEscaped(out, static_cast<unsigned char>(0xC0 | (unit >> 6)));
    AppendEscaped(out, static_cast<unsigned char>(0x80 | (unit & 0x3F)));
  }
  return out;
}

std::string ViewState(std::string_view page) {
  static constexpr std::string_view kMarker = "\"__VIEWSTATE\" value=\"";
  // The page is expected to hold the marker; without it the slice is meaningless but harmless.
  const int64_t start = listing::FindText(kMarker, page) + static_cast<int64_t>(kMarker.size());
  const int64_t end = listing::FindFrom("\"", page, start + 1);
  return std::string(listing::Slice(page, start, end - start));
}

std::string LoginFormBody(std::string_view viewState, std::string_view user, std::string_view password) {
  std::string body = "__VIEWSTATE=";
  body += FormEncode(viewState);
  body += "&ctl00%24ContentBody%24tbUsername=";
  body += FormEncode(user);
  body += "&ctl00%24ContentBody%24tbPassword=";
  body += FormEncode(password);
  body += "&ctl00%24ContentBody%24btnSignIn=Login";
  return body;
}

bool LoginSucceeded(std::string_view reply) {
  return reply.find("class=\"FormSummaryWidget FormSuccessWidget") != std::string_view::npos ||
         reply.find("You are signed in as") != std::string_view::npos;
}

}  // namespace app

namespace app {

void TKelthornF::Login() {
  SignedIn = false;
  LoginFailure.clear();
  LoginFailureShown = false;
  LoginFailureKind = TLoginFailure::None;
  if (OnLogin) {
    OnLogin();
    if (!SignedIn && LoginFailure.empty()) LoginFailure = kSignInFailed;
    if (!SignedIn && LoginFailureKind == TLoginFailure::None) LoginFailureKind = TLoginFailure::Other;
    return;
  }
  LoginFailureKind = TLoginFailure::Other;
  // The compiled-in host names no site: going online with it would only fail a look-up.
  if (const std::string problem = PlaceholderHostProblem(SiteHost, SettingsFile()); !problem.empty()) {
    LoginFailure = runtime::Utf8ToAnsi(problem);
    runtime::ShowMessage(LoginFailure);
    LoginFailureShown = true;
    return;
  }
  // The site could only refuse an empty name, and the form would carry the password for nobody.
  if (Edit1.empty()) {
    LoginFailureKind = TLoginFailure::NoUserName;
    LoginFailure = kNoUserName;
    runtime::ShowMessage(LoginFailure);
    LoginFailureShown = true;
    return;
  }

  const std::string loginPage = DataFolder + "tmp/prvyssl.htm";
  const std::string replyPage = DataFolder + "tmp/Druhyssl.htm";

  // A page that could not be had counts as empty: the copy an earlier login left in tmp/ is
  // never read as this login's answer, and the form (with the password) is not posted.
  std::string page;
  if (sslhttpcliget("https://" + HttpsHost() + "/login/default.aspx?RESET=Y", "", loginPage, "GET", ""))
    page = runtime::ReadWholeFile(loginPage);
  if (page.empty()) {
    LoginFailure = FailureReason("the sign-in page came back empty; try again later");
    if (FLastFailure == TDownloadFailure::Unreachable || FLastFailure == TDownloadFailure::Certificate) {
      runtime::ShowMessage(LoginFailure);
      LoginFailureShown = true;
    }
    return;
  }

  const std::string body = LoginFormBody(ViewState(page), Edit1, Edit2);
  std::string reply;
  if (sslhttpcliget("https://" + HttpsHost() + "/login/default.aspx", SessionCookie, replyPage, "POST", body))
    reply = runtime::ReadWholeFile(replyPage);
  else if (FLastFailure == TDownloadFailure::Unreachable || FLastFailure == TDownloadFailure::Certificate) {
    LoginFailure = FailureReason("");
    runtime::ShowMessage(LoginFailure);
    LoginFailureShown = true;
    return;
  }

  if (!LoginSucceeded(reply)) {
    Edit1Color = kColorRed;
    Edit1FontColor = kColorWhite;
    LoginFailureKind = TLoginFailure::Refused;
    // The message goes to standard error, logs and a box beside a masked field: the
    // password stays out of it.
    LoginFailure = "Meno/Heslo " + Edit1 + "/*** neexistuje?";
    runtime::ShowMessage(LoginFailure);
    LoginFailureShown = true;
    return;
  }

  SignedIn = true;
  LoginFailureKind = TLoginFailure::None;
  Edit1Color = kColorGreen;
  Edit1FontColor = kColorWhite;
  // The file gets the (only scrambled) password: whatever its mode was, it is the owner's only.
  RestrictToOwner(SettingsFile());
  runtime::TIniFile ini(SettingsFile());
  ini.WriteString("Session", "NET_SessionId", SessionCookie);
  ini.WriteString("Session", "Peciatka", runtime::FormatDateTime("dd.mm.yyyy hh:mm:ss", runtime::Now()));
  StampSession(ini);
  ini.WriteString("Proxy", "IP", Edit48);
  ini.WriteString("Proxy", "PORT", Edit49);
  ini.WriteString("Proxy", "USER", Edit50);
  ini.WriteString("Proxy", "PWD", Edit51);
  ini.WriteBool("Proxy", "Use", CheckBox32);
  ini.WriteString("User", "USER", Edit1);
  ini.WriteString("User", "PWD", ScramblePassword(Edit1, Edit2));
}

std::string TKelthornF::FailureReason(const std::string& otherwise) {
  switch (FLastFailure) {
    case TDownloadFailure::Certificate:
      LoginFailureKind = TLoginFailure::Certificate;
      return "the certificate of " + SiteHost + " was refused (" + FLastFailureText +
             "), so the password was not sent; name the authority that signed it in SSL_CERT_FILE, or, only "
             "behind a proxy that intercepts HTTPS, set VerifyCertificate=0 in [Site] of " +
             runtime::Utf8ToAnsi(SettingsFile());
    case TDownloadFailure::Unreachable:
      LoginFailureKind = TLoginFailure::Unreachable;
      return "cannot sign in to " + SiteHost + ": " + FLastFailureCause + "; check [Site] and [Proxy] in " +
             runtime::Utf8ToAnsi(SettingsFile()) + " and the network, then try again";
    default:
      return otherwise;
  }
}

}  // namespace app
