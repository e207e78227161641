// The HTTP client against scripted servers on 127.0.0.1: the exact request bytes, replies of
// every framing split at every byte boundary, relocations, connection reuse, and hostile
// servers. Every wait is bounded by the client's Timeout.

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "http/http_cli.h"
#include "runtime/byte_stream.h"
#include "tests/support/http_test_server.h"

using http::EHttpException;
using http::THttpCli;
using http::THttpRequest;
using http::THttpState;
using http_test::LengthReply;
using http_test::THttpTestServer;
using http_test::TRecordedRequest;
using http_test::TScriptedReply;

namespace {

TScriptedReply Reply(const std::string& bytes) {
  TScriptedReply r;
  r.Bytes = bytes;
  return r;
}

// The outcome of one synchronous request.
struct TOutcome {
  bool Raised = false;
  int Code = 0;  // the exception's code when raised
  std::string Message;
  int Status = 0;
  std::string Body;
  int RequestDoneError = 0;
  double Seconds = 0;
};

class HttpClient : public ::testing::Test {
 protected:
  void SetUp() override {
    Cli = std::make_unique<THttpCli>();
    Cli->SetName("HttpCli1");
    Cli->SetTimeout(5);
    Cli->SetReplyStream(&Reply_);
    Cli->SetBodyStream(&Body_);
  }

  TOutcome Run(const std::string& url, THttpRequest kind = THttpRequest::httpGET, const std::string& body = "") {
    Cli->SetURL(url);
    Reply_.Clear();
    Body_.Clear();
    Body_.Write(body);
    Body_.Seek(0, runtime::TMemoryStream::TSeekOrigin::Beginning);
    TOutcome out;
    const auto start = std::chrono::steady_clock::now();
    try {
      Cli->SetLocationChangeCurCount(0);
      Cli->SyncRequest(kind);
    } catch (const EHttpException& e) {
      out.Raised = true;
      out.Code = e.ErrorCode();
      out.Message = e.what();
    }
    out.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    out.Status = Cli->StatusCode();
    out.Body = std::string(Reply_.Bytes());
    out.RequestDoneError = Cli->RequestDoneError();
    return out;
  }

  std::unique_ptr<THttpCli> Cli;
  runtime::TMemoryStream Reply_, Body_;
};

TEST_F(HttpClient, GetsAPageAndReportsItsEvents) {
  THttpTestServer server([](const TRecordedRequest&) {
    return Reply(LengthReply("HTTP/1.0 200 OK", "<p>hello</p>",
                             "Set-Cookie: a=1; path=/\r\nSet-Cookie: ASP.NET_SessionId=xyz; path=/\r\n"
                             "Content-Type: text/html\r\n"));
  });
  std::vector<std::string> events;
  std::vector<std::string> cookies;
  int requestDone = 0;
  Cli->OnHeaderBegin = [&](THttpCli*) { events.push_back("HeaderBegin"); };
  Cli->OnHeaderData = [&](THttpCli* c) { events.push_back("HeaderData " + c->LastResponse()); };
  Cli->OnHeaderEnd = [&](THttpCli*) { events.push_back("HeaderEnd"); };
  Cli->OnDocBegin = [&](THttpCli*) { events.push_back("DocBegin"); };
  Cli->OnDocData = [&](THttpCli*, const char* d, int n) { events.push_back("DocData " + std::string(d, n)); };
  Cli->OnDocEnd = [&](THttpCli*) { events.push_back("DocEnd"); };
  Cli->OnCookie = [&](THttpCli*, const std::string& v, bool& accept) {
    EXPECT_TRUE(accept);
    cookies.push_back(v);
  };
  Cli->OnRequestDone = [&](THttpCli*, THttpRequest rq, int error) {
    ++requestDone;
    EXPECT_EQ(THttpRequest::httpGET, rq);
    EXPECT_EQ(0, error);
  };
  std::vector<THttpState> states;
  Cli->OnStateChange = [&](THttpCli* c) { states.push_back(c->State()); };

  const TOutcome out = Run(server.Url("/dir/page.exe?x=1"));
  EXPECT_FALSE(out.Raised) << out.Message;
  EXPECT_EQ(200, out.Status);
  EXPECT_EQ("OK", Cli->ReasonPhrase());
  EXPECT_EQ("<p>hello</p>", out.Body);
  EXPECT_EQ(1, requestDone);
  EXPECT_EQ((std::vector<std::string>{"a=1; path=/", "ASP.NET_SessionId=xyz; path=/"}), cookies);
  ASSERT_GE(events.size(), 8u);
  EXPECT_EQ("HeaderBegin", events.front());
  EXPECT_EQ("HeaderData HTTP/1.0 200 OK", events[1]);
  EXPECT_EQ("DocEnd", events.back());
  EXPECT_EQ("page.htm", Cli->DocName());  // an HTML body never keeps an .exe name
  EXPECT_EQ(12, Cli->ContentLength());
  EXPECT_EQ(5u, Cli->RcvdHeader().size());
  const std::vector<THttpState> normalPath = {
      THttpState::httpNotConnected, THttpState::httpDnsLookup,     THttpState::httpDnsLookupDone,
      THttpState::httpConnected,    THttpState::httpWaitingHeader, THttpState::httpWaitingBody,
      THttpState::httpBodyReceived, THttpState::httpReady};
  EXPECT_EQ(normalPath, states);
  EXPECT_EQ(THttpState::httpReady, Cli->State());
}

}  // namespace
