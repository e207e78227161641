// Following "location" replies: computing the new target, reusing or replacing the
// connection, and the limit on the number of relocations of one request.

#include <cctype>

#include "http/http_cli.h"
#include "http/url.h"
#include "runtime/ascii_text.h"

namespace http {

namespace {

using runtime::StartsWithNoCase;

std::string WithoutFragment(const std::string& text) { return text.substr(0, text.find('#')); }

}  // namespace

bool THttpCli::SameHost(const std::string& a, const std::string& b) { return runtime::EqualsNoCase(a, b); }

bool THttpCli::OtherSite(const std::string& proto, const std::string& host, const std::string& port) const {
  const std::string fullPort = !port.empty() ? port : proto == "https" ? "443" : "80";
  return !SameHost(host, FTargetHost) || fullPort != FTargetPort || proto != FProtocol;
}

// A target without a host leads nowhere the request could be checked to go: the request
// ends with an error instead of following it.
void THttpCli::RefuseLocation() {
  FLocationPending = false;
  FailReply("relocation to an address without a host", httperrNoHost);
}

void THttpCli::LocationHeader(const std::string& value) {
  if (FRequestType == THttpRequest::httpPUT || !FFollowRelocation) {
    FLocation = value;  // recorded, not followed
    return;
  }
  FLocationPending = true;
  const std::string target = WithoutFragment(value);
  const bool absolute = StartsWithNoCase(target, "http://") || StartsWithNoCase(target, "https://");
  if (FProxy.empty()) {
    std::string proto, user, pass, host, port, path = FPath;
    SplitUrl(FURL, proto, user, pass, host, port, path);
    if (proto.empty()) proto = "http";
    if (!target.empty() && target[0] == '/') {
      FPath = target;
      FLocation = proto + "://" + FConnectHost + target;
    } else if (!absolute) {
      FPath = PathDirectory(FPath) + target;
      FLocation = proto + "://" + FConnectHost + FPath;
    } else {
      std::string vPath = FPath;
      SplitUrl(target, proto, user, pass, host, port, vPath);
      if (host.empty()) {
        RefuseLocation();
        return;
      }
      const bool otherSite = OtherSite(proto, host, port);
      FConnectHost = host;
      FPath = vPath;
      FConnectPort = !port.empty() ? port : proto == "https" ? "443" : "80";
      FProtocol = proto;
      // Credentials of the first address go to that server only: not to another host, nor
      // to another port or over plain http where they would go in clear.
      if (otherSite) {
        FCurrUsername.clear();
        FCurrPassword.clear();
      }
      if (!user.empty() && !pass.empty()) {
        FCurrUsername = user;
        FCurrPassword = pass;
      }
      if (!proto.empty() && !host.empty()) {
        FTargetHost = host;
        FTargetPort = FConnectPort;
        // A port the target names itself stays in the location.
        const std::string authority = host + (port.empty() ? "" : ":" + port);
        if (FPath.empty()) {
          FPath = "/";
          FLocation = proto + "://" + authority;
        } else {
          FLocation = proto + "://" + authority + FPath;
        }
      }
    }
  } else {
    // Through a proxy the request path is the absolute address.
    if (!target.empty() && target[0] == '/') {
      std::string proto, user, pass, host, port, path;
      SplitUrl(FPath, proto, user, pass, host, port, path);
      // The port stays: without it the proxy would ask another server.
      FPath = proto + "://" + host + (port.empty() ? "" : ":" + port) + target;
    } else if (!absolute) {
      FPath = PathDirectory(FPath) + target;
    } else {
      std::string proto, user, pass, host, port, path;
      SplitUrl(target, proto, user, pass, host, port, path);
      if (host.empty()) {
        RefuseLocation();
        return;
      }
      if (OtherSite(proto, host, port)) {
        FCurrUsername.clear();
        FCurrPassword.clear();
      }
      if (!user.empty() && !pass.empty()) {
        FCurrUsername = user;
        FCurrPassword = pass;
      }
      FTargetHost = host;
      FTargetPort = !port.empty() ? port : proto == "https" ? "443" : "80";
      FProtocol = proto;
      FPath = proto + "://" + host + (port.empty() ? "" : ":" + port) + (path.empty() ? "/" : path);
    }
    FLocation = FPath;
  }
}

// The reply that carried the location is complete.
void THttpCli::StartRelocation() {
  Trace("Starting relocation process");
  FReply.RcvdCount = 0;
  FReply.DropHeld();
  FBodyBegun = false;
  // A tunnel leads to one server only: through the same proxy another target needs its own,
  // or the request would go to the first server inside the first one's TLS session.
  const bool otherTunnel = FTunnelEstablished && FTunnelTarget != FTargetHost + ":" + FTargetPort;
  if (FOpenHost != FConnectHost || FOpenPort != FConnectPort || FOpenProtocol != FProtocol || otherTunnel ||
      !FReply.ConnectionReusable() || FCtrlSocket->State() != net::TSocketState::wsConnected) {
    FClosedRoute = TClosedRoute::Relocation;
    FCtrlSocket->CloseLater();
    return;
  }
  // Same server, connection kept.
  if (!CountRelocation()) return;
  auto alive = AliveToken();
  TriggerLocationChange();  // may re-enter
  if (!*alive) return;
  ClearReplyValues(true);
  FDocName = DocumentNameOf(FPath);
  if (FRequestType == THttpRequest::httpPOST) FRequestType = THttpRequest::httpGET;
  RewindStreams();
  // The next request goes out on a kept connection: if the server has closed it meanwhile,
  // the request is sent again on a new one.
  FReusedConnection = true;
  PostRestart();
}

void THttpCli::ContinueAfterClose(int error) {
  FClosedRoute = TClosedRoute::Normal;
  FLocation = WithoutFragment(FLocation);
  FConnected = false;
  FTunnelEstablished = false;
  if (FRestartPosted) {
    ClearReplyValues(true);
    return;
  }
  {
    std::string proto, user, pass, host, port, path;
    SplitUrl(FLocation, proto, user, pass, host, port, path);
    FDocName = DocumentNameOf(path.empty() ? FPath : path);
  }
  FLocationPending = false;
  if (FRequestType == THttpRequest::httpPOST) FRequestType = THttpRequest::httpGET;
  if (!CountRelocation()) return;
  auto alive = AliveToken();
  TriggerLocationChange();  // may re-enter
  if (!*alive) return;
  ClearReplyValues(true);
  if (!FProxy.empty()) {
    std::string pProto, pUser, pPass, pHost, pPort, pPath;
    SplitUrl(FProxy, pProto, pUser, pPass, pHost, pPort, pPath);
    FConnectHost = pHost;
    FConnectPort = pPort.empty() ? FProxyPort : pPort;
  }
  RewindStreams();
  PostRestart();
}

// Counts one relocation; false when the limit is passed and the request ends with the last
// reply as it is (not an error).
bool THttpCli::CountRelocation() {
  ++FLocationChangeCurCount;
  if (FLocationChangeCurCount > FLocationChangeMaxCount) {
    bool allowMore = false;
    auto alive = AliveToken();
    TriggerLocationChangeExceeded(FLocationChangeCurCount, allowMore);  // may re-enter
    if (!*alive) return false;
    if (!allowMore) {
      FLocationPending = false;
      PostSetReady();
      return false;
    }
  }
  return true;
}

// The redirect reply's body is dropped, and a body to send goes out again from its start.
void THttpCli::RewindStreams() {
  if (FReplyStream) FReplyStream->SetSize(FReplyStreamStart);
  if (FBodyStream && FSentCount > 0)
    FBodyStream->Seek(-FSentCount, runtime::TMemoryStream::TSeekOrigin::Current);
  FSentCount = 0;
}

}  // namespace http
