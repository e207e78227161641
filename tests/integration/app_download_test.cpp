// The main window's download operations over real clients against a loopback site.

#include <gtest/gtest.h>

#include <string>

#include "app/main_form.h"
#include "runtime/file_io.h"
#include "tests/support/loopback_listener.h"
#include "tests/support/site_server.h"

namespace {

site_test::TReply Route(const site_test::TRequest& r) {
  // Through a proxy the request line carries the whole address.
  std::string path = r.Target;
  if (path.starts_with("http://")) path = path.substr(path.find('/', 7));
  if (path == "/page") return {200, "OK", {"Set-Cookie: ASP.NET_SessionId=abc; path=/; HttpOnly", "Set-Cookie: other=1"}, "hello"};
  if (path == "/missing") return {404, "Not Found", {}, "gone"};
  if (path == "/auth") return {401, "Unauthorized", {}, "need auth"};
  if (path == "/text") return {200, "OK", {}, " 42 \r\n"};
  if (path == "/moved") return {302, "Found", {"Location: /page"}, ""};
  return {500, "Server Error", {}, ""};
}

}  // namespace

TEST(Downloads, RequestsRepliesAndFailuresOfTheThreeOperations) {
  const std::string dir = ::testing::TempDir() + "downloads/";
  std::system(("rm -rf '" + dir + "'").c_str());
  ASSERT_TRUE(runtime::EnsureDirectory(dir + "tmp"));
  const test_support::TRefusingPort refusing;
  const int closedPort = refusing.Port();
  site_test::TSiteServer site(Route);
  const std::string base = "http://127.0.0.1:" + site.PortText();
  const std::string file = dir + "tmp/htmlcopy.htm";

  app::TKelthornF form({}, dir);
  form.SiteHost = "127.0.0.1";  // the session cookie is taken from the site's host only

  // GET: the body argument is not sent; the Referer names the page itself; no Cookie header
  // for an empty cookie; the session cookie is kept up to its ";", other cookies ignored.
  EXPECT_TRUE(form.httpcliget(base + "/page", "", file, "GET", "ignored=1"));
  EXPECT_EQ(runtime::ReadWholeFile(file), "hello");
  EXPECT_EQ(form.SessionCookie, "ASP.NET_SessionId=abc;");

  // Any method text but "GET" exactly posts the body.
  EXPECT_TRUE(form.httpcliget(base + "/page", "ASP.NET_SessionId=abc;", file, "get", "a=1&b=2"));

  // 404 fails and leaves the old file; 401 is saved like any other reply.
  EXPECT_FALSE(form.httpcliget(base + "/missing", "", file, "GET", ""));
  EXPECT_EQ(runtime::ReadWholeFile(file), "hello");
  EXPECT_TRUE(form.httpcliget(base + "/auth", "", file, "GET", ""));
  EXPECT_EQ(runtime::ReadWholeFile(file), "need auth");

  // A relocation is followed; the file holds the final body.
  EXPECT_TRUE(form.httpcliget(base + "/moved", "", file, "GET", ""));
  EXPECT_EQ(runtime::ReadWholeFile(file), "hello");

  // The text download trims both ends and gives nothing for an error status.
  EXPECT_EQ(form.httpcligettext(base + "/text", "ASP.NET_SessionId=abc;", "", "POST"), "42");
  EXPECT_EQ(form.httpcligettext(base + "/missing", "", "", "POST"), "");

  // The proxy fields take effect only with the check box: then the request line carries the
  // whole address and goes to the proxy (this same server).
  form.Edit48 = "127.0.0.1";
  form.Edit49 = std::to_string(closedPort);
  EXPECT_TRUE(form.httpcliget(base + "/page", "", file, "GET", ""));  // not ticked: straight to the site
  form.Edit49 = site.PortText();
  form.CheckBox32 = true;
  EXPECT_TRUE(form.httpcliget("http://listing.invalid/page", "", file, "GET", ""));
  form.CheckBox32 = false;

  // A download started from an event of a pending one (the wait pumps messages) fails at once
  // and leaves the pending request alone.
  bool nestedGet = true;
  std::string nestedText = "x";
  form.HttpCli1->OnCookie = [&](http::THttpCli*, const std::string&, bool&) {
    nestedGet = form.httpcliget(base + "/text", "", dir + "tmp/other.htm", "GET", "");
    nestedText = form.httpcligettext(base + "/text", "", "", "POST");
  };
  EXPECT_TRUE(form.httpcliget(base + "/page", "", file, "GET", ""));
  EXPECT_EQ(runtime::ReadWholeFile(file), "hello");
  EXPECT_FALSE(nestedGet);
  EXPECT_EQ(nestedText, "");
  EXPECT_FALSE(runtime::FileExists(dir + "tmp/other.htm"));

  // Nothing listens: false, the file stays, the text is empty.
  runtime::WriteFileAtomic(file, "old");
  const std::string closed = "http://127.0.0.1:" + std::to_string(closedPort);
  EXPECT_FALSE(form.httpcliget(closed + "/page", "", file, "GET", ""));
  EXPECT_EQ(runtime::ReadWholeFile(file), "old");
  EXPECT_EQ(form.httpcligettext(closed + "/text", "", "", "POST"), "");

  const auto requests = site.Requests();
  ASSERT_GE(requests.size(), 9u);
  const auto& get = requests[0];
  EXPECT_EQ(get.Head.substr(0, get.Head.find("\r\n")), "GET /page HTTP/1.0");
  EXPECT_EQ(get.Header("referer"), base + "/page");
  EXPECT_EQ(get.Header("host"), "127.0.0.1:" + site.PortText());
  EXPECT_FALSE(get.Has("cookie"));
  EXPECT_FALSE(get.Has("content-length"));
  EXPECT_EQ(get.Body, "");

  const auto& post = requests[1];
  EXPECT_EQ(post.Method, "POST");
  EXPECT_EQ(post.Body, "a=1&b=2");
  EXPECT_EQ(post.Header("content-type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(post.Header("cookie"), "ASP.NET_SessionId=abc;");

  // Exactly one request went through the proxy, with the whole address in its request line.
  int viaProxy = 0;
  for (const auto& r : requests) {
    if (!r.Target.starts_with("http://")) continue;
    ++viaProxy;
    EXPECT_EQ(r.Head.substr(0, r.Head.find("\r\n")), "GET http://listing.invalid/page HTTP/1.0");
  }
  EXPECT_EQ(viaProxy, 1);
}
