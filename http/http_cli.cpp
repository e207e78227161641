#include "http/http_cli.h"

#include <algorithm>
#include <climits>

#include "http/url.h"
#include "net/application.h"
#include "net/winsock_library.h"
#include "platform/message_queue.h"
#include "platform/tick_count.h"

namespace http {

namespace {

bool IsDefaultDate(const runtime::TDateTime& d) {
  const runtime::TDateTime zero;
  return d.Year == zero.Year && d.Month == zero.Month && d.Day == zero.Day && d.Hour == zero.Hour &&
         d.Minute == zero.Minute && d.Second == zero.Second;
}

const char* MethodOf(THttpRequest request) {
  switch (request) {
    case THttpRequest::httpPOST: return "POST";
    case THttpRequest::httpPUT: return "PUT";
    case THttpRequest::httpHEAD: return "HEAD";
    default: return "GET";
  }
}

bool SendsBody(THttpRequest request) {
  return request == THttpRequest::httpPOST || request == THttpRequest::httpPUT;
}

std::string SocketErrorReason(int error) {
  return net::WinSockErrorText(error) + " (Error #" + std::to_string(error) + ")";
}

}  // namespace

const char* HttpStateName(THttpState state) {
  switch (state) {
    case THttpState::httpReady: return "httpReady";
    case THttpState::httpNotConnected: return "httpNotConnected";
    case THttpState::httpConnected: return "httpConnected";
    case THttpState::httpDnsLookup: return "httpDnsLookup";
    case THttpState::httpDnsLookupDone: return "httpDnsLookupDone";
    case THttpState::httpWaitingHeader: return "httpWaitingHeader";
    case THttpState::httpWaitingBody: return "httpWaitingBody";
    case THttpState::httpBodyReceived: return "httpBodyReceived";
    case THttpState::httpWaitingProxyConnect: return "httpWaitingProxyConnect";
    case THttpState::httpClosing: return "httpClosing";
    case THttpState::httpAborting: return "httpAborting";
  }
  return "INVALID STATE";
}

// ---- construction ----

THttpCli::THttpCli() {
  FSendBlock.resize(8192);
  AllocateWindow();
}

THttpCli::~THttpCli() {
  // No handler runs against an object being destroyed: the abort below happens unseen.
  OnTrace = nullptr;
  OnSessionConnected = OnSessionClosed = OnHeaderData = OnHeaderBegin = OnHeaderEnd = nullptr;
  OnRequestHeaderBegin = OnRequestHeaderEnd = OnDocBegin = OnDocEnd = nullptr;
  OnSendBegin = OnSendEnd = OnStateChange = OnLocationChange = OnDataPush2 = OnSocketError = nullptr;
  OnCommand = nullptr;
  OnDocData = OnSendData = nullptr;
  OnRequestDone = nullptr;
  OnCookie = nullptr;
  OnDataPush = OnSocksConnected = OnSocksAuthState = OnSocksError = nullptr;
  OnLocationChangeExceeded = nullptr;
  OnBeforeHeaderSend = nullptr;
  OnBeforeAuth = nullptr;
  OnBgException = nullptr;
  try {
    if (FCtrlSocket) {
      FAbortingQuietly = true;
      Abort();
    }
  } catch (...) {
  }
  if (FCtrlSocket) {
    // The socket outlives nothing of ours: no event of it may reach a half-destroyed client.
    FCtrlSocket->OnSessionConnected = nullptr;
    FCtrlSocket->OnSessionClosed = nullptr;
    FCtrlSocket->OnDataAvailable = nullptr;
    FCtrlSocket->OnDataSent = nullptr;
    FCtrlSocket->OnDnsLookupDone = nullptr;
    FCtrlSocket->OnBgException = nullptr;
    FCtrlSocket->OwnerAbort = nullptr;
  }
  try {
    ReleaseWindow();
  } catch (...) {
  }
}

net::TWSocket* THttpCli::CtrlSocket() {
  EnsureSocket();
  return FCtrlSocket.get();
}

void THttpCli::EnsureSocket() {
  if (FCtrlSocket) return;
  FCtrlSocket = CreateSocket();
  net::TWSocket* s = FCtrlSocket.get();
  s->SetMultiThreaded(MultiThreaded());
  // The socket swallows what escapes its data handler; anything our handlers (or the user's
  // events they fire) raise is this component's background error, which ends the request.
  auto guarded = [this](auto step) {
    return [this, step](net::TCustomWSocket*, int error) {
      try {
        (this->*step)(error);
      } catch (const std::exception& e) {
        ProcessBgException(e);  // may re-enter
      }
    };
  };
  s->OnSessionConnected = guarded(&THttpCli::SocketSessionConnected);
  s->OnSessionClosed = guarded(&THttpCli::SocketSessionClosedRouted);
  s->OnDataAvailable = guarded(&THttpCli::SocketDataAvailable);
  s->OnDataSent = guarded(&THttpCli::SocketDataSent);
  s->OnDnsLookupDone = guarded(&THttpCli::SocketDnsLookupDone);
  // What escapes our handlers inside the socket's events is this component's background error.
  s->OnBgException = [this](net::TNetWndControl*, const std::exception& e, bool& canClose) {
    if (OnBgException)
      TriggerBgException(e, canClose);
    else
      net::ApplicationHandleException(e);
  };
  s->OwnerAbort = [this] { AbortOnError(); };
}

void THttpCli::SocketSessionClosedRouted(int error) {
  switch (FClosedRoute) {
    case TClosedRoute::Normal: SocketSessionClosed(error); break;
    case TClosedRoute::Relocation:
      // An abort (or the wait's time-out) closed it before the relocation could: the request
      // ends as aborted, not as the start of the relocation.
      if (FState == THttpState::httpAborting || FState == THttpState::httpReady) {
        FClosedRoute = TClosedRoute::Normal;
        SocketSessionClosed(error);
      } else {
        ContinueAfterClose(error);
      }
      break;
    case TClosedRoute::Ignore: break;
  }
}

void THttpCli::SetMultiThreaded(bool value) {
  TNetWndControl::SetMultiThreaded(value);
  if (FCtrlSocket) FCtrlSocket->SetMultiThreaded(value);
}

void THttpCli::SetRequestVer(const std::string& v) {
  if (v != "1.0" && v != "1.1") throw EHttpException(kMsgBadVersion, httperrVersion);
  FRequestVer = v;
}

void THttpCli::SetOptions(THttpCliOptions v) {
  FOptions = v;
  FContentCoding.SetEnabled((v & httpoEnableContentCoding) != 0);
  FContentCoding.SetUseQuality((v & httpoUseQuality) != 0);
}

void THttpCli::AbortOnError() {
  // A request that has ended keeps its result: aborting now would report a fresh success in
  // its place (and an extra OnRequestDone when none runs).
  if (FState == THttpState::httpReady) return;
  try {
    Abort();
  } catch (...) {
  }
}

// ---- messages ----

void THttpCli::AllocateMsgHandlers() {
  TNetWndControl::AllocateMsgHandlers();
  FMsgRequestDone = TakeMessageNumber();
  FMsgSetReady = TakeMessageNumber();
  FMsgRestart = TakeMessageNumber();
}

void THttpCli::FreeMsgHandlers() {
  FreeMessageNumber(FMsgRequestDone);
  FreeMessageNumber(FMsgSetReady);
  FreeMessageNumber(FMsgRestart);
  TNetWndControl::FreeMsgHandlers();
}

void THttpCli::ComponentWndProc(net::TMessage& msg) {
  if (msg.Msg == FMsgRequestDone && FMsgRequestDone != 0) {
    FRequestType = static_cast<THttpRequest>(msg.WParam);
    FRequestDoneError = static_cast<int>(msg.LParam);
    DoRequestDone();
  } else if (msg.Msg == FMsgSetReady && FMsgSetReady != 0) {
    // A stale set-ready (the request already ended another way) must not end the next one.
    if (FState != THttpState::httpReady) SetReady();
  } else if (msg.Msg == FMsgRestart && FMsgRestart != 0) {
    WMRestart();
  } else {
    TNetWndControl::ComponentWndProc(msg);
  }
}

void THttpCli::PostSetReady() {
  // A 401 / 407 that arrives while the body still goes out waits for the body's end, so an
  // authentication round can send it again from its start.
  if (FSendingBody && (FStatusCode == 401 || FStatusCode == 407)) {
    FDelaySetReady = true;
    return;
  }
  platform::PostMessage(Handle(), FMsgSetReady, 0, 0);
}

void THttpCli::PostRequestDone() {
  platform::PostMessage(Handle(), FMsgRequestDone, static_cast<net::WPARAM>(FRequestType),
                        static_cast<net::LPARAM>(FRequestDoneError));
}

void THttpCli::PostRestart() {
  if (FRestartPosted) return;
  FRestartPosted = true;
  platform::PostMessage(Handle(), FMsgRestart, 0, 0);
}

void THttpCli::WMRestart() {
  FRestartPosted = false;
  if (FState == THttpState::httpReady || FState == THttpState::httpAborting) return;
  StartConnection();
}

// Entering httpReady: an authentication round may restart the request instead.
void THttpCli::SetReady() {
  if (AuthAfterReply()) {
    if (FReplyStream) FReplyStream->SetSize(FReplyStreamStart);
    if (FBodyStream) FBodyStream->Seek(-FSentCount, runtime::TMemoryStream::TSeekOrigin::Current);
    FReply.DropHeld();
    ClearReplyValues(true);
    return;
  }
  // The proxy kept refusing the tunnel: its answer is no reply of the site.
  if (FTunnelAnswerRead && FStatusCode == 407) {
    if (FReplyStream) FReplyStream->SetSize(FReplyStreamStart);
    FReasonPhrase = "proxy refused the tunnel: 407 " + FReasonPhrase;
    FStatusCode = 404;
    FRequestDoneError = httperrTunnelRefused;
    FRequestFailed = true;
  }
  // Whatever was still queued for this request belongs to it alone.
  platform::MSG pending;
  for (net::UINT number : {FMsgSetReady, FMsgRestart})
    while (number && platform::PeekMessage(&pending, Handle(), number, number, platform::PM_REMOVE)) {
    }
  FRestartPosted = false;
  FLocationPending = false;
  FReply.ShrinkBuffer();
  SetState(THttpState::httpReady);
  PostRequestDone();
}

void THttpCli::DoRequestDone() {
  Trace("RequestDone");
  TriggerRequestDone();
}

void THttpCli::SetState(THttpState state) {
  FState = state;
  if (OnTrace) Trace(std::string("State = ") + HttpStateName(state));
  TriggerStateChange();
}

// ---- starting a request ----

void THttpCli::AsyncRequest(THttpRequest request) {
  const bool idle = FState == THttpState::httpReady;
  try {
    StartRequest(request);
  } catch (const std::exception& e) {
    // Refused (busy, nothing to post, a line break): the caller's error, nothing has changed.
    if (!idle || FState == THttpState::httpReady) throw;
    // A handler failed while the request started: as in the socket's events, that is the
    // component's background error, which ends the request instead of leaving the component
    // busy for ever.
    ProcessBgException(e);  // may re-enter
  }
}

void THttpCli::StartRequest(THttpRequest request) {
  if (request != THttpRequest::httpCLOSE && FState != THttpState::httpReady)
    throw EHttpException(MsgBusy(Name()), httperrBusy);
  if (SendsBody(request) && !FBodyStream) throw EHttpException(kMsgNothingToPost, httperrNoData);
  EnsureSocket();

  if (request == THttpRequest::httpCLOSE) {
    FRequestType = request;
    FRequestDoneError = 0;
    FStatusCode = 200;
    FReasonPhrase = "OK";
    SetState(THttpState::httpClosing);
    if (FCtrlSocket->State() == net::TSocketState::wsClosed)
      PostSetReady();
    else
      FCtrlSocket->CloseLater();
    return;
  }

  // Nothing a caller typed may end a header line early and so add lines of its own.
  const std::pair<const char*, const std::string*> values[] = {
      {"Sender", &FSender},
      {"Agent", &FAgent},       {"Accept", &FAccept},
      {"AcceptLanguage", &FAcceptLanguage}, {"Reference", &FReference},
      {"Connection", &FConnection}, {"ProxyConnection", &FProxyConnection},
      {"Cookie", &FCookie},     {"ContentTypePost", &FContentTypePost},
      {"ContentRangeBegin", &FContentRangeBegin}, {"ContentRangeEnd", &FContentRangeEnd},
      {"Username", &FUsername}, {"Password", &FPassword},
      {"ProxyUsername", &FProxyUsername}, {"ProxyPassword", &FProxyPassword},
      {"Proxy", &FProxy},       {"ProxyPort", &FProxyPort}};
  for (const auto& [name, value] : values)
    if (HasLineBreak(*value))
      throw EHttpException(std::string(kMsgLineBreakIn) + name, httperrBadHeader);

  FRequestType = request;
  ClearReplyValues(false);
  FDocName.clear();
  FCurrUsername = FUsername;
  FCurrPassword = FPassword;
  FCurrConnection = FConnection;
  FCurrProxyConnection = FProxyConnection;
  FReplyStreamStart = FReplyStream ? FReplyStream->Size() : 0;

  std::string proto, user, pass, host, port, path = FPath;
  SplitUrl(FURL, proto, user, pass, host, port, path);
  if (proto.empty()) proto = "http";
  if (!user.empty()) FCurrUsername = user;
  if (!pass.empty()) FCurrPassword = pass;
  // Without a host the request would go wherever an empty name leads, and through a proxy
  // a certificate would be checked against no name at all.
  if (host.empty()) throw EHttpException("no host in the address", httperrNoHost);
  FTargetHost = host;
  FTargetPort = !port.empty() ? port : proto == "https" ? "443" : "80";
  FProtocol = proto;
  FCookieHost = host;
  FCookiePort = FTargetPort;
  FCookieProtocol = proto;
  if (FProxy.empty()) {
    FPath = path;
    FConnectHost = FTargetHost;
    FConnectPort = FTargetPort;
  } else {
    // The proxy gets the absolute address, without user information.
    FPath = proto + "://" + host + (port.empty() ? "" : ":" + port) + (path.empty() ? "/" : path);
    std::string pProto, pUser, pPass, pHost, pPort, pPath;
    SplitUrl(FProxy, pProto, pUser, pPass, pHost, pPort, pPath);
    FConnectHost = pHost;
    FConnectPort = pPort.empty() ? FProxyPort : pPort;
  }
  if (FPath.empty()) FPath = "/";
  FDocName = DocumentNameOf(path.empty() ? std::string("/") : path);
  // The host goes into the Host line as it is; the path is percent-encoded when sent.
  if (HasLineBreak(FTargetHost)) throw EHttpException(std::string(kMsgLineBreakIn) + "URL", httperrBadHeader);

  // A tunnel leads to one server only: a request for another goes through a new one.
  const bool reuse = FCtrlSocket->State() == net::TSocketState::wsConnected && FOpenHost == FConnectHost &&
                     FOpenPort == FConnectPort && FOpenProtocol == FProtocol &&
                     (!FTunnelEstablished || FTunnelTarget == FTargetHost + ":" + FTargetPort);
  AuthResetStates();
  AuthPrepare(reuse);

  FReusedConnection = reuse;
  if (reuse) {
    FClosedRoute = TClosedRoute::Normal;
    FStatusCode = 0;
    FLocationPending = false;
    SocketSessionConnected(0);
    return;
  }
  if (FCtrlSocket->State() != net::TSocketState::wsClosed) {
    // Connected elsewhere: that connection's close is no event of this request.
    FClosedRoute = TClosedRoute::Ignore;
    FCtrlSocket->Abort();
    FClosedRoute = TClosedRoute::Normal;
  }
  FTunnelEstablished = false;
  SetState(THttpState::httpNotConnected);
  StartConnection();
}

void THttpCli::ClearReplyValues(bool keepLocation) {
  FStatusCode = 0;
  FReasonPhrase.clear();
  FRequestDoneError = 0;
  FRequestFailed = false;
  FSentCount = 0;
  FSendingBody = false;
  FDelaySetReady = false;
  FBodyBegun = false;
  FTunnelAnswerRead = false;
  FReply.StartReply(FRequestType == THttpRequest::httpHEAD, FRequestVer);
  FReply.SetMaxBodySize(FReplyLimit);
  FReply.DropHeld();
  if (!keepLocation) FLocation = FURL;
}

void THttpCli::StartConnection() {
  Trace("Login " + FConnectHost);
  FStatusCode = 0;
  FLocationPending = false;
  FClosedRoute = TClosedRoute::Normal;
  if (FCtrlSocket->State() == net::TSocketState::wsConnected) {
    SocketSessionConnected(0);
    return;
  }
  SetState(THttpState::httpDnsLookup);
  try {
    FCtrlSocket->SetLocalAddr(FLocalAddr);
    FCtrlSocket->DnsLookup(FConnectHost);
  } catch (const std::exception& e) {
    if (FState != THttpState::httpDnsLookup) return;  // the look-up already ended the request
    FStatusCode = 404;
    FReasonPhrase = e.what();
    FRequestFailed = true;
    FConnected = false;
    TriggerSocketError();
    SetReady();
  }
}

void THttpCli::SocketDnsLookupDone(int error) {
  if (FState != THttpState::httpDnsLookup) return;  // cancelled by an abort, or stale
  if (error != 0) {
    FRequestDoneError = error;
    FStatusCode = 404;
    FReasonPhrase = "can't resolve hostname to IP address";
    FRequestFailed = true;
    SocketSessionClosed(error);
    return;
  }
  SetState(THttpState::httpDnsLookupDone);
  net::TWSocket* s = FCtrlSocket.get();
  s->SetAddr(s->LookupResult());
  s->SetLocalAddr(FLocalAddr);
  s->SetPort(FConnectPort);
  s->SetProto("tcp");
  FOpenHost = FConnectHost;
  FOpenPort = FConnectPort;
  FOpenProtocol = FProtocol;
  PrepareConnection(FProxy.empty() && FProtocol == "https");
  if (!ProtocolSupported(FProtocol)) {
    FStatusCode = 501;
    FReasonPhrase = "Protocol \"" + FProtocol + "\" not implemented";
    FRequestFailed = true;
    s->Close();
    SocketSessionClosed(0);
    return;
  }
  if (OnTrace) Trace("connect to " + s->Addr() + "/" + FConnectPort);
  try {
    s->Connect();
  } catch (const std::exception&) {
    const int lastError = s->LastError();
    FRequestDoneError = lastError;
    FStatusCode = 404;
    FReasonPhrase = "can't connect: " + SocketErrorReason(lastError);
    FRequestFailed = true;
    TriggerSocketError();
    FClosedRoute = TClosedRoute::Ignore;
    try {
      s->Close();
    } catch (...) {
    }
    FClosedRoute = TClosedRoute::Normal;
    SocketSessionClosed(lastError);
  }
}

void THttpCli::SocketSessionConnected(int error) {
  Trace("SessionConnected");
  auto alive = AliveToken();
  if (error != 0) {
    FRequestDoneError = error;
    FStatusCode = 404;
    FReasonPhrase = SocketErrorReason(error);
    FRequestFailed = true;
    FConnected = false;
    TriggerSessionConnected();  // the request ends when the socket reports the close
    return;
  }
  FLocationPending = false;
  FConnected = true;
  SetState(THttpState::httpConnected);
  TriggerSessionConnected();  // may re-enter
  if (!*alive || FState != THttpState::httpConnected) return;
  FReply.StartReply(FRequestType == THttpRequest::httpHEAD, FRequestVer);
  FReply.SetMaxBodySize(FReplyLimit);
  try {
    if (!FProxy.empty() && FProtocol == "https" && (!FTunnelEstablished || ProxyAuthInProgress())) {
      SetState(THttpState::httpWaitingProxyConnect);
      if (FRequestVer == "1.0" || FLastReplyVer != "1.1") FCurrProxyConnection = "Keep-Alive";
      SendRequest("CONNECT", FRequestVer);
      return;
    }
    StartRequestOnConnection();
  } catch (const std::exception& e) {
    FStatusCode = 404;
    FReasonPhrase = e.what();
    FRequestFailed = true;
    FConnected = false;
    FCtrlSocket->Close();
  }
}

void THttpCli::StartRequestOnConnection() {
  SetState(THttpState::httpWaitingHeader);
  SendRequest(MethodOf(FRequestType), FRequestVer);
  if (SendsBody(FRequestType) && !AuthNegotiating() && FState == THttpState::httpWaitingHeader) {
    TriggerSendBegin();
    FSendingBody = true;
    FDelaySetReady = false;
    SendBodyBlock();
  }
}

// ---- the request ----

void THttpCli::SendRequest(const std::string& method, const std::string& version) {
  const bool connect = method == "CONNECT";
  const bool withBody = method == "POST" || method == "PUT";
  if (!connect) FReplyHost = FTargetHost;
  std::vector<std::string> lines;
  TriggerRequestHeaderBegin();
  if (connect)
    lines.push_back("CONNECT " + FTargetHost + ":" + FTargetPort + " HTTP/" + version);
  else
    lines.push_back(method + " " + EncodeRequestTarget(FPath) + " HTTP/" + version);
  if (!connect) {
    if (!FSender.empty()) lines.push_back("From: " + FSender);
    if (!FAccept.empty()) lines.push_back("Accept: " + FAccept);
    if (!FReference.empty()) lines.push_back("Referer: " + FReference);
    if (!FCurrConnection.empty()) lines.push_back("Connection: " + FCurrConnection);
    if (!FAcceptLanguage.empty()) lines.push_back("Accept-Language: " + FAcceptLanguage);
    const std::string& codings = FContentCoding.HeaderText();
    if (!codings.empty() && method != "HEAD") lines.push_back("Accept-Encoding: " + codings);
    if (withBody && !FContentTypePost.empty()) lines.push_back("Content-Type: " + FContentTypePost);
  }
  if (!FAgent.empty()) lines.push_back("User-Agent: " + FAgent);
  lines.push_back("Host: " + FTargetHost +
                  (FTargetPort.empty() || FTargetPort == "80" ? std::string() : ":" + FTargetPort));
  if (FNoCache) lines.push_back("Pragma: no-cache");
  if (!FCurrProxyConnection.empty()) lines.push_back("Proxy-Connection: " + FCurrProxyConnection);
  if (connect) {
    lines.push_back("Content-Length: 0");
  } else if (withBody) {
    const int64_t length = AuthNegotiating() || !FBodyStream ? 0 : FBodyStream->Size() - FBodyStream->Position();
    lines.push_back("Content-Length: " + std::to_string(length));
  }
  if (!IsDefaultDate(FModifiedSince)) lines.push_back("If-Modified-Since: " + HttpDateText(FModifiedSince) + " GMT");
  AuthHeaderLines(method, lines);
  // The caller's session cookie belongs to the site it named, not to one a relocation led to.
  // Nor does it go to a proxy in the tunnel request, which the proxy reads in clear text.
  // Nor to the same host and port over the other scheme (https to http would show it).
  if (!connect && !FCookie.empty() && SameHost(FTargetHost, FCookieHost) && FTargetPort == FCookiePort &&
      FProtocol == FCookieProtocol)
    lines.push_back("Cookie: " + FCookie);
  if (!FContentRangeBegin.empty() || !FContentRangeEnd.empty()) {
    lines.push_back("Range: bytes=" + FContentRangeBegin + "-" + FContentRangeEnd);
    if (!connect) {
      FContentRangeBegin.clear();
      FContentRangeEnd.clear();
    }
  }
  FAcceptRanges.clear();

  if (OnTrace) {
    Trace(std::to_string(lines.size()) + " header lines to send");
    for (const auto& line : lines) Trace(" " + line);
  }
  TriggerBeforeHeaderSend(method, lines);
  std::string buffer;
  for (auto& line : lines) {
    TriggerCommand(line);
    // An emptied line is left out: its bare line end would end the header early.
    if (line.empty()) continue;
    if (HasLineBreak(line)) throw EHttpException(std::string(kMsgLineBreakIn) + "header line", httperrBadHeader);
    buffer += line;
    buffer += "\r\n";
  }
  TriggerRequestHeaderEnd();
  buffer += "\r\n";
  FCtrlSocket->PutDataInSendBuffer(buffer.data(), static_cast<int>(buffer.size()));
  FCtrlSocket->Send(nullptr, 0);
  Trace("SendRequest Done");
}

void THttpCli::SendBodyBlock() {
  const size_t n = FBodyStream ? FBodyStream->Read(FSendBlock.data(), FSendBlock.size()) : 0;
  if (n == 0) {
    FSendingBody = false;
    TriggerSendEnd();
    if (FDelaySetReady) {
      FDelaySetReady = false;
      PostSetReady();
    }
    return;
  }
  FSentCount += static_cast<int64_t>(n);
  TriggerSendData(FSendBlock.data(), static_cast<int>(n));
  if (FCtrlSocket->State() != net::TSocketState::wsConnected) {
    FSendingBody = false;  // the server has gone; its reply or the close ends the request
    return;
  }
  FCtrlSocket->Send(FSendBlock.data(), static_cast<int>(n));
}

void THttpCli::SocketDataSent(int error) {
  if (!FSendingBody) return;
  try {
    SendBodyBlock();
  } catch (const std::exception&) {
    FSendingBody = false;  // the close that follows ends the request
  }
}

// ---- waiting ----

void THttpCli::SyncRequest(THttpRequest request) {
  auto alive = AliveToken();
  AsyncRequest(request);  // may re-enter
  if (!*alive) return;
  net::TWSocket* s = FCtrlSocket.get();
  if (!s->ActivityCounter()) s->CreateActivityCounter();
  s->ActivityCounter()->LastWriteTick = platform::GetTickCount();
  const platform::DWORD limit = FTimeout * 1000u;
  const platform::DWORD started = platform::GetTickCount();
  const platform::DWORD total = FRequestLimit * 1000u;
  while (FState != THttpState::httpReady) {
    if (platform::MsgWaitForMultipleObjects(0, nullptr, false, 1000, platform::QS_ALLINPUT) ==
        platform::WAIT_OBJECT_0)
      PumpMessages();  // may re-enter
    if (!*alive) return;
    if (FState == THttpState::httpReady) break;
    const bool terminated = QuitSeen();
    const bool tooLong = total != 0 && platform::TicksSince(started) >= total;
    const net::TWSocketCounter* counter = s->ActivityCounter();
    if (!terminated && !tooLong && counter && platform::TicksSince(counter->LastAliveTick()) < limit) continue;
    const bool lookup = FState == THttpState::httpDnsLookup;
    SetState(THttpState::httpAborting);
    try {
      s->CancelLookup();
    } catch (...) {
    }
    FStatusCode = 404;
    FReasonPhrase = terminated ? "Request aborted"
                    : tooLong  ? "request took longer than " + std::to_string(FRequestLimit) + " s"
                               : "Request aborted on timeout";
    FRequestDoneError = terminated ? httperrAborted : tooLong ? httperrRequestLimit : httperrTimeout;
    FRequestFailed = true;
    if (lookup) {
      TriggerSessionClosed();
    } else {
      try {
        s->Close();
      } catch (...) {
      }
    }
    if (!*alive) return;
    SetReady();
  }
  // OnRequestDone comes before the call returns, not during whatever pumps next.
  platform::MSG done;
  if (FMsgRequestDone && platform::PeekMessage(&done, Handle(), FMsgRequestDone, FMsgRequestDone, platform::PM_REMOVE)) {
    FRequestType = static_cast<THttpRequest>(done.wParam);
    FRequestDoneError = static_cast<int>(done.lParam);
    try {
      DoRequestDone();  // may re-enter
    } catch (const std::exception& e) {
      ProcessBgException(e);  // as when the message loop runs it
    }
    if (!*alive) return;
  }
  if (FStatusCode >= 400 && FStatusCode != 401 && FStatusCode != 407)
    throw EHttpException(FReasonPhrase, FStatusCode);
}

void THttpCli::SyncGet() {
  FLocationChangeCurCount = 0;
  SyncRequest(THttpRequest::httpGET);
}
void THttpCli::SyncPost() {
  FLocationChangeCurCount = 0;
  SyncRequest(THttpRequest::httpPOST);
}
void THttpCli::SyncPut() {
  FLocationChangeCurCount = 0;
  SyncRequest(THttpRequest::httpPUT);
}
void THttpCli::SyncHead() {
  FLocationChangeCurCount = 0;
  SyncRequest(THttpRequest::httpHEAD);
}
void THttpCli::SyncClose() { SyncRequest(THttpRequest::httpCLOSE); }
void THttpCli::GetAsync() {
  FLocationChangeCurCount = 0;
  AsyncRequest(THttpRequest::httpGET);
}
void THttpCli::PostAsync() {
  FLocationChangeCurCount = 0;
  AsyncRequest(THttpRequest::httpPOST);
}
void THttpCli::PutAsync() {
  FLocationChangeCurCount = 0;
  AsyncRequest(THttpRequest::httpPUT);
}
void THttpCli::HeadAsync() {
  FLocationChangeCurCount = 0;
  AsyncRequest(THttpRequest::httpHEAD);
}
void THttpCli::CloseAsync() { AsyncRequest(THttpRequest::httpCLOSE); }

void THttpCli::Abort() {
  FLocationPending = false;
  FReply.RcvdCount = 0;
  FSentCount = 0;
  EnsureSocket();
  if (FState != THttpState::httpReady) {
    const bool lookup = FState == THttpState::httpDnsLookup;
    SetState(THttpState::httpAborting);
    try {
      FCtrlSocket->CancelLookup();
    } catch (...) {
    }
    FStatusCode = 404;
    FReasonPhrase = "Connection aborted on request";
    FRequestDoneError = httperrAborted;
    FRequestFailed = true;
    auto alive = AliveToken();
    if (lookup) {
      TriggerSessionClosed();
    } else {
      FCtrlSocket->Close();
    }
    if (!*alive) return;
    FReply.DropHeld();
    SetReady();
    return;
  }
  FState = THttpState::httpAborting;  // without notification
  if (FCtrlSocket->State() != net::TSocketState::wsClosed) {
    FClosedRoute = TClosedRoute::Ignore;
    FCtrlSocket->Abort();
    FClosedRoute = TClosedRoute::Normal;
  }
  FConnected = false;
  FStatusCode = 200;
  FReasonPhrase = "OK";
  FRequestDoneError = 0;
  FState = THttpState::httpReady;
  if (FAbortingQuietly) return;
  auto alive = AliveToken();
  TriggerStateChange();
  if (!*alive) return;
  TriggerRequestDone();
}

// ---- triggers ----

void THttpCli::Trace(const std::string& text) {
  if (OnTrace) OnTrace(this, text);
}
void THttpCli::TriggerStateChange() {
  if (OnStateChange) OnStateChange(this);
}
void THttpCli::TriggerRequestDone() {
  if (OnRequestDone) OnRequestDone(this, FRequestType, FRequestDoneError);
}
void THttpCli::TriggerSessionConnected() {
  if (OnSessionConnected) OnSessionConnected(this);
}
void THttpCli::TriggerSessionClosed() {
  if (OnSessionClosed) OnSessionClosed(this);
}
void THttpCli::TriggerHeaderBegin() {
  if (OnHeaderBegin) OnHeaderBegin(this);
}
void THttpCli::TriggerHeaderData() {
  if (OnHeaderData) OnHeaderData(this);
}
void THttpCli::TriggerHeaderEnd() {
  if (OnHeaderEnd) OnHeaderEnd(this);
}
void THttpCli::TriggerRequestHeaderBegin() {
  if (OnRequestHeaderBegin) OnRequestHeaderBegin(this);
}
void THttpCli::TriggerRequestHeaderEnd() {
  if (OnRequestHeaderEnd) OnRequestHeaderEnd(this);
}
void THttpCli::TriggerCommand(std::string& line) {
  if (OnCommand) OnCommand(this, line);
}
void THttpCli::TriggerBeforeHeaderSend(const std::string& method, std::vector<std::string>& headers) {
  if (OnBeforeHeaderSend) OnBeforeHeaderSend(this, method, headers);
}
void THttpCli::TriggerDocBegin() {
  if (OnDocBegin) OnDocBegin(this);
}
void THttpCli::TriggerDocData(const char* data, int length) {
  if (OnDocData) OnDocData(this, data, length);
}
void THttpCli::TriggerDocEnd() {
  if (OnDocEnd) OnDocEnd(this);
}
void THttpCli::TriggerSendBegin() {
  if (OnSendBegin) OnSendBegin(this);
}
void THttpCli::TriggerSendData(const char* data, int length) {
  if (OnSendData) OnSendData(this, data, length);
}
void THttpCli::TriggerSendEnd() {
  if (OnSendEnd) OnSendEnd(this);
}
void THttpCli::TriggerLocationChange() {
  if (OnLocationChange) OnLocationChange(this);
}
void THttpCli::TriggerCookie(const std::string& data, bool& accept) {
  if (OnCookie) OnCookie(this, data, accept);
}
void THttpCli::TriggerDataPush(int error) {
  if (OnDataPush) OnDataPush(this, error);
}
void THttpCli::TriggerDataPush2() {
  if (OnDataPush2) OnDataPush2(this);
}
void THttpCli::TriggerLocationChangeExceeded(int count, bool& allowMore) {
  if (OnLocationChangeExceeded) OnLocationChangeExceeded(this, count, allowMore);
}
void THttpCli::TriggerSocketError() {
  if (OnSocketError) OnSocketError(this);
}
void THttpCli::TriggerBeforeAuth(THttpAuthType authType, bool proxy, const std::string& challenge, bool& allow) {
  if (OnBeforeAuth) OnBeforeAuth(this, authType, proxy, challenge, allow);
}

}  // namespace http
