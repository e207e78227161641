// The download operations every request of the program goes through, and the cookie handler
// that keeps the site's session.

#include <ctime>
#include <exception>
#include <stdexcept>

#include "app/main_form.h"
#include "app/settings.h"
#include "http/http_exception.h"
#include "http/ssl_http_cli.h"
#include "net/application.h"
#include "runtime/ascii_text.h"
#include "runtime/byte_stream.h"
#include "runtime/file_io.h"

namespace app {
namespace {

// "host:port" of an address: what follows the scheme, up to the path, with the scheme's port
// when the address names none.
std::string Authority(const std::string& url) {
  const size_t start = url.find("://");
  const size_t from = start == std::string::npos ? 0 : start + 3;
  std::string authority = url.substr(from, url.find('/', from) - from);
  if (authority.find(':') == std::string::npos) authority += url.starts_with("https:") ? ":443" : ":80";
  return authority;
}

}  // namespace

void TKelthornF::ConfigureClient(http::THttpCli& client) {
  client.SetLocalAddr("0.0.0.0");
  client.SetProxyPort("80");
  client.SetAgent("Mozilla/4.0 (compatible)");
  client.SetAccept("image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*");
  client.SetNoCache(false);
  client.SetContentTypePost("application/x-www-form-urlencoded");
  client.SetMultiThreaded(false);
  client.SetRequestVer("1.0");
  client.SetFollowRelocation(true);
  client.SetLocationChangeMaxCount(5);
  client.SetServerAuth(http::THttpAuthType::httpAuthNone);
  client.SetProxyAuth(http::THttpAuthType::httpAuthNone);
  client.SetBandwidthLimit(10000);
  client.SetBandwidthSampling(1000);
  client.SetOptions(0);
  client.SetTimeout(30);
  client.SetRequestLimit(kDefaultRequestLimit);
  client.SetSocksAuthentication(http::TSocksAuthentication::socksNoAuthentication);
}

void TKelthornF::HttpCli1Cookie(const std::string& value) {
  if (value.find("ASP.NET_SessionId") == std::string::npos) return;
  const size_t semicolon = value.find(';');
  SessionCookie = semicolon == std::string::npos ? std::string() : value.substr(0, semicolon + 1);
}

bool TKelthornF::FromSite(const http::THttpCli& client) const {
  return runtime::EqualsNoCase(client.ReplyHost(), SiteHost);
}

void TKelthornF::CopyProxySettings() {
  if (CheckBox32) {
    HttpCli1->SetProxy(Edit48);
    HttpCli1->SetProxyPort(Edit49);
    HttpCli1->SetProxyUsername(Edit50);
    HttpCli1->SetProxyPassword(Edit51);
  } else {
    HttpCli1->SetProxy("");
    HttpCli1->SetProxyPort("");
    HttpCli1->SetProxyUsername("");
    HttpCli1->SetProxyPassword("");
  }
}

void TKelthornF::NoteFailure(http::THttpCli& client, const std::exception& e) {
  NoteFailureKind(client, e);
  // The cause a user can act on: the site's answer, or whom the program could not reach and
  // the client's own text for it (a proxy, when one is used, is what the connection goes to).
  if (FLastFailure == TDownloadFailure::HttpStatus) {
    FLastFailureCause = "HTTP " + std::to_string(dynamic_cast<const http::EHttpException&>(e).ErrorCode()) + " " +
                        e.what();
    return;
  }
  const std::string peer = client.Proxy().empty() ? "site " + Authority(client.URL())
                                                  : "proxy " + client.Proxy() + ":" + client.ProxyPort();
  FLastFailureCause = peer + ": " + FLastFailureText;
  if (client.RequestDoneError() == http::httperrTimeout)
    FLastFailureCause += " (nothing received for " + std::to_string(client.Timeout()) + " s)";
}

void TKelthornF::NoteFailureKind(http::THttpCli& client, const std::exception& e) {
  FLastFailureText = e.what();
  std::string tlsError;
  if (auto* tlsClient = dynamic_cast<http::TSslHttpCli*>(&client)) tlsError = tlsClient->SslErrorText();
  if (!tlsError.empty()) {
    FLastFailureText = tlsError;
    FLastFailure = tlsError.find("certificate") != std::string::npos || tlsError.find("verif") != std::string::npos
                       ? TDownloadFailure::Certificate
                       : TDownloadFailure::Unreachable;
    return;
  }
  // The limit is the user's setting: the cause names where to change it.
  if (client.RequestDoneError() == http::httperrRequestLimit) FLastFailureText += " (Site/RequestLimit)";
  // An aborted request also carries a status (404), but the site never answered it.
  if (client.RequestDoneError() != 0) {
    FLastFailure = TDownloadFailure::Unreachable;
    return;
  }
  if (const auto* h = dynamic_cast<const http::EHttpException*>(&e)) {
    if (h->ErrorCode() >= 100 && h->ErrorCode() <= 999) {
      FLastFailure = TDownloadFailure::HttpStatus;  // the site answered with an error status
      return;
    }
    FLastFailure = TDownloadFailure::Unreachable;
    return;
  }
  FLastFailure = TDownloadFailure::Other;  // an error of the program, not of the network
}

void TKelthornF::AskSite(http::THttpCli& client, const std::string& url, bool get, runtime::TMemoryStream& body,
                         runtime::TMemoryStream& reply) {
  FKeptRefusing = false;
  uint32_t waitedMs = 0;
  for (int refusal = 0;; ++refusal) {
    // Each try as the first: a relocation may have moved the address, a refusal left its body.
    client.SetURL(url);
    client.SetReference(url);  // the request's Referer names the page itself
    body.Seek(0, runtime::TMemoryStream::TSeekOrigin::Beginning);
    reply.Clear();
    FWaitingForSite = true;
    const bool turn = Pacer.WaitForTurn();  // may re-enter
    FWaitingForSite = false;
    if (!turn) throw std::runtime_error("ended before the request was sent");
    try {
      if (get)
        client.SyncGet();
      else
        client.SyncPost();
      return;
    } catch (const http::EHttpException& e) {
      // Only the site's own answer says "later"; an aborted request carries a status too.
      if (client.RequestDoneError() != 0 || !IsRefusal(e.ErrorCode())) throw;
      if (refusal == kRefusalRetries) {
        FKeptRefusing = true;
        throw http::EHttpException(std::string(e.what()) + " (the site kept refusing: asked again " +
                                       std::to_string(kRefusalRetries) + " times, waiting " + WaitText(waitedMs) +
                                       " in all)",
                                   e.ErrorCode());
      }
      const std::optional<std::string> header = RetryAfterHeader(client.RcvdHeader());
      const uint32_t wait =
          Pacer.BackOffMs(refusal, header ? RetryAfterSeconds(*header, std::time(nullptr)) : std::nullopt);
      FWaitingForSite = true;
      const bool waited = Pacer.WaitAfterRefusal(wait);  // may re-enter
      FWaitingForSite = false;
      if (!waited) throw std::runtime_error("ended while waiting for the site");
      waitedMs += wait;
    }
  }
}

bool TKelthornF::RunDownload(http::THttpCli& client, const std::string& url, const std::string& cookie,
                             const std::string& targetFile, const std::string& method, const std::string& body) {
  FLastFailure = TDownloadFailure::None;
  FLastFailureText.clear();
  FLastFailureCause.clear();
  // A window event that runs while a request is pending (its wait pumps messages) must not
  // replace that request's address and streams: the second download simply fails.
  if (client.State() != http::THttpState::httpReady || FWaitingForSite) {
    FLastFailure = TDownloadFailure::Other;
    FLastFailureText = "busy";
    FLastFailureCause = "another request is still pending";
    return false;
  }
  runtime::TMemoryStream bodyStream, replyStream;
  client.SetCookie(cookie);
  bodyStream.Write(body);
  client.SetReplyStream(&replyStream);
  client.SetBodyStream(&bodyStream);
  bool done = false;
  bool answered = false;
  try {
    AskSite(client, url, method == "GET", bodyStream, replyStream);
    answered = true;
    // The page copies are scratch files, rewritten at every request and read back by this
    // program only after the write: rewritten in place and not flushed to the disk (a new
    // file per request, or a flush, cost more than the download).
    runtime::OverwriteFile(targetFile, replyStream.Bytes(), 0644);
    net::ApplicationProcessMessages();
    done = true;
  } catch (const std::exception& e) {
    if (answered) {
      // The site's answer was good; the disk refused it. Its text names the file and why.
      FLastFailure = TDownloadFailure::Storage;
      FLastFailureText = FLastFailureCause = e.what();
    } else {
      NoteFailure(client, e);
      if (FKeptRefusing) FLastFailure = TDownloadFailure::Refused;
    }
  }
  // The streams die with this call: the client must not keep pointers to them.
  client.SetReplyStream(nullptr);
  client.SetBodyStream(nullptr);
  return done;
}

bool TKelthornF::httpcliget(const std::string& url, const std::string& cookie, const std::string& targetFile,
                            const std::string& method, const std::string& body) {
  if (OnDownload) {
    FLastFailure = TDownloadFailure::None;
    FLastFailureCause.clear();
    try {
      if (OnDownload(url, cookie, targetFile, method, body)) return true;
      FLastFailure = TDownloadFailure::Other;
      FLastFailureCause = "download failed";
    } catch (const std::exception& e) {
      FLastFailure = TDownloadFailure::Other;
      FLastFailureCause = e.what();
    }
    return false;
  }
  CopyProxySettings();
  return RunDownload(*HttpCli1, url, cookie, targetFile, method, body);
}

std::string TKelthornF::httpcligettext(const std::string& url, const std::string& cookie, const std::string& body,
                                       const std::string& method) {
  std::string result;
  if (HttpCli1->State() != http::THttpState::httpReady || FWaitingForSite) return result;  // see RunDownload
  HttpCli1->SetURL(url);
  HttpCli1->SetReference(url);
  runtime::TMemoryStream bodyStream, replyStream;
  CopyProxySettings();
  HttpCli1->SetCookie(cookie);
  bodyStream.Write(body);
  HttpCli1->SetReplyStream(&replyStream);
  HttpCli1->SetBodyStream(&bodyStream);
  struct TDetach {
    http::THttpCli& Client;
    ~TDetach() {
      Client.SetReplyStream(nullptr);
      Client.SetBodyStream(nullptr);
    }
  } detach{*HttpCli1};
  // Outside the error handler: a failing close is the caller's error.
  HttpCli1->SyncClose();
  try {
    AskSite(*HttpCli1, url, method == "GET", bodyStream, replyStream);
    std::string_view bytes = replyStream.Bytes();
    size_t first = 0, last = bytes.size();
    while (first < last && static_cast<unsigned char>(bytes[first]) <= 32) ++first;
    while (last > first && static_cast<unsigned char>(bytes[last - 1]) <= 32) --last;
    result.assign(bytes.substr(first, last - first));
    net::ApplicationProcessMessages();
  } catch (const std::exception&) {
    result.clear();
  }
  return result;
}

}  // namespace app

namespace app {

void TKelthornF::ConfigureSslContext() {
  SslContext1->SetSslVerifyPeer(VerifyCertificate);
  SslContext1->SetSslVerifyDepth(9);
  SslContext1->SetSslVerifyFlags({});
  SslContext1->SetSslOptions({});
  SslContext1->SetSslVerifyPeerModes({tls::TSslVerifyPeerMode::SslVerifyMode_PEER});
  SslContext1->SetSslSessionCacheModes({});
  SslContext1->SetSslCipherList(tls::kDefaultSslCipherList);
  SslContext1->SetSslVersionMethod(tls::TSslVersionMethod::sslV23);
  SslContext1->SetSslSessionTimeout(0);
  SslContext1->SetSslSessionCacheSize(tls::kDefaultSslSessionCacheSize);
}

bool TKelthornF::sslhttpcliget(const std::string& url, const std::string& cookie, const std::string& targetFile,
                               const std::string& method, const std::string& body) {
  // The check of the site's certificate follows the setting read at start.
  if (SslContext1->SslVerifyPeer() != VerifyCertificate) SslContext1->SetSslVerifyPeer(VerifyCertificate);
  if (CheckBox32) {
    SslHttpCli1->SetProxy(Edit48);
    SslHttpCli1->SetProxyPort(Edit49);
    SslHttpCli1->SetProxyUsername(Edit50);
    SslHttpCli1->SetProxyPassword(Edit51);
  } else {
    SslHttpCli1->SetProxy("");
    SslHttpCli1->SetProxyPort("");
    SslHttpCli1->SetProxyUsername("");
    SslHttpCli1->SetProxyPassword("");
  }
  net::ApplicationProcessMessages();
  return RunDownload(*SslHttpCli1, url, cookie, targetFile, method, body);
}

}  // namespace app
