// The site login end to end against an in-test HTTPS site with a throw-away authority.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/main_form.h"
#include "app/settings.h"
#include "runtime/file_io.h"
#include "runtime/ini_file.h"
#include "runtime/message_box.h"
#include "tests/support/loopback_listener.h"
#include "tests/support/tls_site.h"

namespace {

const std::string kUser = "\xE8lovek";     // c with caron
const std::string kPassword = "p&=\x80!";  // the euro sign is dropped from the post only

enum class TAnswer { Widget, SignedInText, Refused, LoginPageFails, PostFails };

class Login : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = ::testing::TempDir() + "login_" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + "/";
    std::system(("rm -rf '" + dir + "'").c_str());
    ASSERT_TRUE(runtime::EnsureDirectory(dir + "tmp"));
    ::setenv("SSL_CERT_FILE", site_test::TTlsSite::CaFile().c_str(), 1);
    previous = runtime::SetMessageBoxHandler([this](const std::string& t) { messages.push_back(t); });
  }
  void TearDown() override {
    runtime::SetMessageBoxHandler(previous);
    ::unsetenv("SSL_CERT_FILE");
  }

  site_test::TReply Answer(const site_test::TRequest& r) {
    if (r.Method == "GET" && r.Target == "/login/default.aspx?RESET=Y") {
      if (answer == TAnswer::LoginPageFails) return {500, "Server Error", {}, "down"};
      return {200, "OK", {"Set-Cookie: ASP.NET_SessionId=s1; path=/; HttpOnly"},
              "<form><input type=\"hidden\" name=\"__VIEWSTATE\" id=\"__VIEWSTATE\" value=\"/wEP+Dw=\" /></form>"};
    }
    if (r.Method == "POST" && r.Target == "/login/default.aspx") {
      switch (answer) {
        case TAnswer::Widget: return {200, "OK", {}, "<div class=\"FormSummaryWidget FormSuccessWidget\">Hi</div>"};
        case TAnswer::SignedInText: return {200, "OK", {}, "<p>You are signed in as x</p>"};
        case TAnswer::PostFails: return {500, "Server Error", {}, "down"};
        default: return {200, "OK", {}, "<p>The username or password you entered does not match.</p>"};
      }
    }
    return {404, "Not Found", {}, ""};
  }

  // A window over the data folder, pointed at `port` for HTTPS, with the test's credentials.
  std::unique_ptr<app::TKelthornF> Form(uint16_t port, bool verify = true, const std::string& host = "localhost") {
    runtime::TIniFile ini(dir + "rovkast.ini");
    ini.WriteString("Site", "Host", host);
    ini.WriteString("Site", "HttpsPort", std::to_string(port));
    ini.WriteBool("Site", "VerifyCertificate", verify);
    auto form = std::make_unique<app::TKelthornF>(std::vector<std::string>{}, dir);
    form->FormCreate();
    form->Edit1 = kUser;
    form->Edit2 = kPassword;
    form->Edit48 = "proxy.example";
    form->Edit49 = "3128";
    return form;
  }

  std::string dir;
  site_test::TTlsSite trusted;
  std::atomic<TAnswer> answer{TAnswer::Widget};
  std::vector<std::string> messages;
  runtime::TMessageBoxHandler previous;
};

// "section/key" of every line of the settings file, in file order.
std::vector<std::string> Keys(const std::string& file) {
  std::vector<std::string> keys;
  std::string section, text = runtime::ReadWholeFile(file);
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find_first_of("\r\n", at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    at = text.find_first_not_of("\r\n", end);
    if (at == std::string::npos) at = text.size();
    if (line.starts_with("["))
      section = line.substr(1, line.find(']') - 1);
    else if (line.find('=') != std::string::npos)
      keys.push_back(section + "/" + line.substr(0, line.find('=')));
  }
  return keys;
}

}  // namespace

TEST_F(Login, PostsTheFormAndStoresTheSessionOnEitherSuccessMarker) {
  site_test::TSiteServer site([this](const site_test::TRequest& r) { return Answer(r); }, trusted.Transport());
  auto form = Form(site.Port());
  ::chmod((dir + "rovkast.ini").c_str(), 0644);  // made by hand, readable by all

  form->Login();
  EXPECT_TRUE(form->SignedIn) << form->LoginFailure;
  EXPECT_TRUE(messages.empty());
  struct stat st {};
  ASSERT_EQ(::stat((dir + "rovkast.ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "the file holds the password now";
  EXPECT_EQ(form->SessionCookie, "ASP.NET_SessionId=s1;");
  EXPECT_EQ(form->Edit1Color, app::kColorGreen);
  EXPECT_EQ(form->Edit1FontColor, app::kColorWhite);

  auto requests = site.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_FALSE(requests[0].Has("cookie"));
  const auto& post = requests[1];
  EXPECT_EQ(post.Body,
            "__VIEWSTATE=%2FwEP%2BDw%3D&ctl00%24ContentBody%24tbUsername=%C4%8Dlovek"
            "&ctl00%24ContentBody%24tbPassword=p%26%3D%21&ctl00%24ContentBody%24btnSignIn=Login");
  EXPECT_EQ(post.Header("content-type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(post.Header("cookie"), "ASP.NET_SessionId=s1;");
  EXPECT_EQ(post.Header("host"), "localhost:" + site.PortText());
  EXPECT_EQ(runtime::ReadWholeFile(dir + "tmp/Druhyssl.htm"), "<div class=\"FormSummaryWidget FormSuccessWidget\">Hi</div>");

  // The settings, written in their order after what the file held.
  EXPECT_EQ(Keys(dir + "rovkast.ini"),
            (std::vector<std::string>{"Site/Host", "Site/HttpsPort", "Site/VerifyCertificate", "Session/NET_SessionId",
                                      "Session/Peciatka", "Session/TC", "Session/Boot", "Proxy/IP", "Proxy/PORT", "Proxy/USER",
                                      "Proxy/PWD", "Proxy/Use", "User/USER", "User/PWD"}));
  runtime::TIniFile ini(dir + "rovkast.ini");
  EXPECT_EQ(ini.ReadString("Session", "NET_SessionId", ""), "ASP.NET_SessionId=s1;");
  EXPECT_EQ(ini.ReadString("Session", "Peciatka", "").size(), 19u);
  EXPECT_EQ(ini.ReadString("Session", "Boot", ""), app::SystemBootId());
  EXPECT_EQ(ini.ReadString("Proxy", "IP", ""), "proxy.example");
  EXPECT_EQ(ini.ReadString("User", "PWD", ""), app::ScramblePassword(kUser, kPassword));  // euro kept
  EXPECT_EQ(app::LoadSettings(dir + "rovkast.ini", "h").Password, kPassword);

  answer = TAnswer::SignedInText;
  form->Login();
  EXPECT_TRUE(form->SignedIn);
}

TEST_F(Login, AReplyWithoutMarkerOrWithoutLoginPageLeavesEverythingAsItWas) {
  site_test::TSiteServer site([this](const site_test::TRequest& r) { return Answer(r); }, trusted.Transport());
  auto form = Form(site.Port());
  form->Login();  // a success leaves success pages in tmp/
  ASSERT_TRUE(form->SignedIn);
  const std::string settings = runtime::ReadWholeFile(dir + "rovkast.ini");

  answer = TAnswer::Refused;
  form->Login();
  EXPECT_FALSE(form->SignedIn);
  EXPECT_EQ(messages, std::vector<std::string>{"Meno/Heslo " + kUser + "/*** neexistuje?"});  // no password
  EXPECT_EQ(form->Edit1Color, app::kColorRed);
  EXPECT_EQ(form->Edit1FontColor, app::kColorWhite);
  EXPECT_EQ(runtime::ReadWholeFile(dir + "rovkast.ini"), settings);

  // The login page fails: the old copy in tmp/ is not read and the form is not posted.
  answer = TAnswer::LoginPageFails;
  const size_t before = site.Requests().size();
  form->Login();
  EXPECT_FALSE(form->SignedIn);
  const auto requests = site.Requests();
  ASSERT_EQ(requests.size(), before + 1);
  EXPECT_EQ(requests.back().Method, "GET");
  EXPECT_EQ(runtime::ReadWholeFile(dir + "rovkast.ini"), settings);

  // The post fails: the success page an earlier login left in tmp/ is not this one's answer.
  answer = TAnswer::Widget;
  form->Login();
  ASSERT_TRUE(form->SignedIn);
  const std::string signedIn = runtime::ReadWholeFile(dir + "rovkast.ini");
  answer = TAnswer::PostFails;
  form->Login();
  EXPECT_FALSE(form->SignedIn);
  EXPECT_EQ(site.Requests().back().Method, "POST");
  EXPECT_EQ(runtime::ReadWholeFile(dir + "rovkast.ini"), signedIn);
}

TEST_F(Login, ARefusedCertificateSendsNoPasswordAndSaysWhy) {
  site_test::TTlsSite stranger(tls_test::TServerCert::Untrusted);
  site_test::TSiteServer site([this](const site_test::TRequest& r) { return Answer(r); }, stranger.Transport());
  auto form = Form(site.Port());
  form->Login();
  EXPECT_FALSE(form->SignedIn);
  EXPECT_TRUE(site.Requests().empty());
  ASSERT_EQ(messages.size(), 1u) << form->LoginFailure;
  // What to do is part of it: the authority's file, or the setting that turns the check off.
  EXPECT_EQ(messages[0].find("the certificate of"), 0u) << messages[0];
  EXPECT_NE(messages[0].find("SSL_CERT_FILE"), std::string::npos) << messages[0];
  EXPECT_NE(messages[0].find("VerifyCertificate=0"), std::string::npos) << messages[0];
  EXPECT_TRUE(form->LoginFailureShown);
  EXPECT_EQ(form->LoginFailureKind, app::TKelthornF::TLoginFailure::Certificate);

  // Turned off knowingly, the same site is accepted.
  messages.clear();
  auto trusting = Form(site.Port(), false);
  trusting->Login();
  EXPECT_TRUE(trusting->SignedIn) << trusting->LoginFailure;

  // Nothing listens: the site cannot be reached. (A port held, so nobody else can take it.)
  const test_support::TRefusingPort nothing;
  messages.clear();
  auto unreachable = Form(nothing.Port());
  unreachable->Login();
  EXPECT_FALSE(unreachable->SignedIn);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].find("cannot sign in to"), 0u) << messages[0];
  EXPECT_EQ(unreachable->LoginFailureKind, app::TKelthornF::TLoginFailure::Unreachable);

  // A host serving two sites on one address presents the certificate of the name the client
  // sends: the sign-in names its site, and only a host name, never an address.
  site_test::TTlsSite twoSites{site_test::TTlsSite::TSharedHost{}};
  site_test::TSiteServer shared([this](const site_test::TRequest& r) { return Answer(r); }, twoSites.Transport());
  auto named = Form(shared.Port());
  named->Login();
  EXPECT_TRUE(named->SignedIn) << named->LoginFailure;
  auto byAddress = Form(shared.Port(), false, "127.0.0.1");
  byAddress->Login();
  EXPECT_TRUE(byAddress->SignedIn) << byAddress->LoginFailure;
  EXPECT_EQ(twoSites.ServerNames(), (std::vector<std::string>{"localhost", "localhost", "", ""}));
}

TEST_F(Login, ACertificateWithALongSerialNumberIsAccepted) {
  site_test::TTlsSite site20(dir + "long_serial.pem");
  ::setenv("SSL_CERT_FILE", (dir + "long_serial.pem").c_str(), 1);
  site_test::TSiteServer site([this](const site_test::TRequest& r) { return Answer(r); }, site20.Transport());
  auto form = Form(site.Port());
  form->Login();
  EXPECT_TRUE(form->SignedIn) << form->LoginFailure;
}
