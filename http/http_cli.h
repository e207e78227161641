#pragma once
// The HTTP/1.0 and 1.1 client component. One instance runs one request at a time over one
// TCP connection (kept open for the next request to the same server when the server allows),
// writes the reply body into a caller-supplied stream and reports progress through events.
// It never blocks a thread on the network: a request is advanced by the socket's events,
// which arrive as window messages. The Sync... calls pump those messages themselves until
// the request is done (or Timeout seconds pass without socket activity).
//
// Extension points: the socket comes from CreateSocket (a TLS client returns its own socket
// kind there, and overrides ProtocolSupported / PrepareConnection / StartTunnelTls; their
// defaults, which follow "https" over TLS with verification, are in ssl_http_cli.cpp); proxy
// tunnelling and authentication live in http_proxy.cpp and http_auth.cpp.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "http/content_coding.h"
#include "http/http_auth_state.h"
#include "http/http_exception.h"
#include "http/http_reply.h"
#include "net/net_wnd_control.h"
#include "net/timeout_wsocket.h"
#include "runtime/byte_stream.h"
#include "runtime/formatting.h"

namespace http {

// The request's states, each with what it waits for.
enum class THttpState {
  httpReady,                // idle: waits for a new request
  httpNotConnected,         // request accepted: waits for the look-up to start
  httpConnected,            // TCP (and TLS) session up: the request is being written
  httpDnsLookup,            // waits for the host name look-up
  httpDnsLookupDone,        // resolved: waits for the connect to complete
  httpWaitingHeader,        // request sent: waits for the status line and header lines
  httpWaitingBody,          // waits for body bytes up to the length, the last chunk or the close
  httpBodyReceived,         // body complete: waits for the close or the set-ready step
  httpWaitingProxyConnect,  // tunnel request sent: waits for the proxy's answer
  httpClosing,              // a close request runs: waits for the connection to close
  httpAborting,             // passing: the request is being torn down
};

enum class THttpRequest { httpABORT, httpGET, httpPOST, httpPUT, httpHEAD, httpCLOSE };

enum class TSocksAuthentication { socksNoAuthentication, socksAuthenticateUsercode };

// Options is a set of these bits.
using THttpCliOptions = uint32_t;
constexpr THttpCliOptions httpoNoBasicAuth = 1u << 0;
constexpr THttpCliOptions httpoNoNTLMAuth = 1u << 1;
constexpr THttpCliOptions httpoBandwidthControl = 1u << 2;
constexpr THttpCliOptions httpoEnableContentCoding = 1u << 3;
constexpr THttpCliOptions httpoUseQuality = 1u << 4;
constexpr THttpCliOptions httpoNoDigestAuth = 1u << 5;

// The name of a state for traces ("INVALID STATE" outside the list).
const char* HttpStateName(THttpState state);

class THttpCli : public net::TNetWndControl {
 public:
  using TNotifyEvent = std::function<void(THttpCli* sender)>;
  using TTraceEvent = std::function<void(THttpCli* sender, const std::string& text)>;
  using TDataEvent = std::function<void(THttpCli* sender, const char* data, int length)>;
  using TRequestDoneEvent = std::function<void(THttpCli* sender, THttpRequest request, int error)>;
  using TCommandEvent = std::function<void(THttpCli* sender, std::string& line)>;
  using TCookieEvent = std::function<void(THttpCli* sender, const std::string& data, bool& accept)>;
  using TBeforeHeaderSendEvent =
      std::function<void(THttpCli* sender, const std::string& method, std::vector<std::string>& headers)>;
  using TBeforeAuthEvent = std::function<void(THttpCli* sender, THttpAuthType authType, bool proxy,
                                              const std::string& challenge, bool& allow)>;
  using TLocationChangeExceededEvent =
      std::function<void(THttpCli* sender, int relocationCount, bool& allowMore)>;
  using TErrorEvent = std::function<void(THttpCli* sender, int error)>;

  THttpCli();
  ~THttpCli() override;

  int MsgCount() const override { return TNetWndControl::MsgCount() + 3; }

  // ---- requests ----
  // Starts a request of `request` kind on the current properties and returns at once; the
  // end is reported by the state returning to httpReady and by OnRequestDone. Throws
  // EHttpException 1 (busy) or 2 (POST/PUT without BodyStream).
  void AsyncRequest(THttpRequest request);
  // AsyncRequest, then pumps messages until the request is done or Timeout seconds passed
  // without socket activity. Throws EHttpException (reason, status) for a final status of 400
  // or more other than 401 and 407.
  void SyncRequest(THttpRequest request);
  // Reset LocationChangeCurCount, then SyncRequest / AsyncRequest of the kind.
  void SyncGet();
  void SyncPost();
  void SyncPut();
  void SyncHead();
  void SyncClose();  // ends a kept-open connection
  void GetAsync();
  void PostAsync();
  void PutAsync();
  void HeadAsync();
  void CloseAsync();
  // Stops a running request at once (status 404 "Connection aborted on request", error 3).
  void Abort();

  // ---- properties ----
  const std::string& URL() const { return FURL; }
  void SetURL(const std::string& v) { FURL = v; }
  const std::string& LocalAddr() const { return FLocalAddr; }
  void SetLocalAddr(const std::string& v) { FLocalAddr = v; }
  const std::string& Proxy() const { return FProxy; }
  void SetProxy(const std::string& v) { FProxy = v; }
  const std::string& ProxyPort() const { return FProxyPort; }
  void SetProxyPort(const std::string& v) { FProxyPort = v; }
  const std::string& Sender() const { return FSender; }
  void SetSender(const std::string& v) { FSender = v; }
  const std::string& Agent() const { return FAgent; }
  void SetAgent(const std::string& v) { FAgent = v; }
  const std::string& Accept() const { return FAccept; }
  void SetAccept(const std::string& v) { FAccept = v; }
  const std::string& AcceptLanguage() const { return FAcceptLanguage; }
  void SetAcceptLanguage(const std::string& v) { FAcceptLanguage = v; }
  const std::string& Reference() const { return FReference; }
  void SetReference(const std::string& v) { FReference = v; }
  const std::string& Connection() const { return FConnection; }
  void SetConnection(const std::string& v) { FConnection = v; }
  const std::string& ProxyConnection() const { return FProxyConnection; }
  void SetProxyConnection(const std::string& v) { FProxyConnection = v; }
  const std::string& Username() const { return FUsername; }
  void SetUsername(const std::string& v) { FUsername = v; }
  const std::string& Password() const { return FPassword; }
  void SetPassword(const std::string& v) { FPassword = v; }
  const std::string& ProxyUsername() const { return FProxyUsername; }
  void SetProxyUsername(const std::string& v) { FProxyUsername = v; }
  const std::string& ProxyPassword() const { return FProxyPassword; }
  void SetProxyPassword(const std::string& v) { FProxyPassword = v; }
  bool NoCache() const { return FNoCache; }
  void SetNoCache(bool v) { FNoCache = v; }
  // The default value (30 December 1899, midnight) stands for "not set".
  const runtime::TDateTime& ModifiedSince() const { return FModifiedSince; }
  void SetModifiedSince(const runtime::TDateTime& v) { FModifiedSince = v; }
  const std::string& Cookie() const { return FCookie; }
  void SetCookie(const std::string& v) { FCookie = v; }
  const std::string& ContentTypePost() const { return FContentTypePost; }
  void SetContentTypePost(const std::string& v) { FContentTypePost = v; }
  const std::string& ContentRangeBegin() const { return FContentRangeBegin; }
  void SetContentRangeBegin(const std::string& v) { FContentRangeBegin = v; }
  const std::string& ContentRangeEnd() const { return FContentRangeEnd; }
  void SetContentRangeEnd(const std::string& v) { FContentRangeEnd = v; }
  const std::string& AcceptRanges() const { return FAcceptRanges; }
  void SetMultiThreaded(bool value) override;
  const std::string& RequestVer() const { return FRequestVer; }
  // Only "1.0" and "1.1"; anything else throws EHttpException 5.
  void SetRequestVer(const std::string& v);
  bool FollowRelocation() const { return FFollowRelocation; }
  void SetFollowRelocation(bool v) { FFollowRelocation = v; }
  int LocationChangeMaxCount() const { return FLocationChangeMaxCount; }
  void SetLocationChangeMaxCount(int v) { FLocationChangeMaxCount = v; }
  int LocationChangeCurCount() const { return FLocationChangeCurCount; }
  void SetLocationChangeCurCount(int v) { FLocationChangeCurCount = v; }
  THttpAuthType ServerAuth() const { return FServerAuth; }
  void SetServerAuth(THttpAuthType v) { FServerAuth = v; }
  THttpAuthType ProxyAuth() const { return FProxyAuth; }
  void SetProxyAuth(THttpAuthType v) { FProxyAuth = v; }
  int BandwidthLimit() const { return FBandwidthLimit; }
  void SetBandwidthLimit(int v) { FBandwidthLimit = v; }
  int BandwidthSampling() const { return FBandwidthSampling; }
  void SetBandwidthSampling(int v) { FBandwidthSampling = v; }
  THttpCliOptions Options() const { return FOptions; }
  void SetOptions(THttpCliOptions v);
  unsigned Timeout() const { return FTimeout; }
  void SetTimeout(unsigned seconds) { FTimeout = seconds; }
  // The Sync... calls' limit on a whole request, from its start to its body's end (relocations
  // and authentication rounds included), in seconds; 0, the default, sets none. Unlike
  // Timeout it also ends a peer that keeps the request alive by sending a byte now and then.
  unsigned RequestLimit() const { return FRequestLimit; }
  void SetRequestLimit(unsigned seconds) { FRequestLimit = seconds; }
  // Largest reply body accepted, in bytes (256 MB by default); a longer one fails the request.
  int64_t ReplyLimit() const { return FReplyLimit; }
  void SetReplyLimit(int64_t v) { FReplyLimit = v; }
  const std::string& SocksServer() const { return FSocksServer; }
  void SetSocksServer(const std::string& v) { FSocksServer = v; }
  const std::string& SocksLevel() const { return FSocksLevel; }
  void SetSocksLevel(const std::string& v) { FSocksLevel = v; }
  const std::string& SocksPort() const { return FSocksPort; }
  void SetSocksPort(const std::string& v) { FSocksPort = v; }
  const std::string& SocksUsercode() const { return FSocksUsercode; }
  void SetSocksUsercode(const std::string& v) { FSocksUsercode = v; }
  const std::string& SocksPassword() const { return FSocksPassword; }
  void SetSocksPassword(const std::string& v) { FSocksPassword = v; }
  TSocksAuthentication SocksAuthentication() const { return FSocksAuthentication; }
  void SetSocksAuthentication(TSocksAuthentication v) { FSocksAuthentication = v; }

  // Not owned; set by the caller before each request.
  runtime::TMemoryStream* ReplyStream() const { return FReplyStream; }
  void SetReplyStream(runtime::TMemoryStream* s) { FReplyStream = s; }
  runtime::TMemoryStream* BodyStream() const { return FBodyStream; }
  void SetBodyStream(runtime::TMemoryStream* s) { FBodyStream = s; }

  // ---- the state of the request and its reply ----
  THttpState State() const { return FState; }
  int StatusCode() const { return FStatusCode; }
  const std::string& ReasonPhrase() const { return FReasonPhrase; }
  int RequestDoneError() const { return FRequestDoneError; }
  const std::string& ReplyVersion() const { return FReply.ReplyVer; }
  const std::vector<std::string>& RcvdHeader() const { return FReply.RcvdHeader; }
  const std::string& LastResponse() const { return FLastResponse; }
  int64_t ContentLength() const { return FReply.ContentLength; }
  const std::string& ContentType() const { return FReply.ContentType; }
  const std::string& TransferEncoding() const { return FReply.TransferEncoding; }
  const std::string& ContentEncoding() const { return FReply.ContentEncoding; }
  const std::vector<std::string>& AuthChallenges() const { return FReply.AuthChallenges; }
  const std::string& Location() const { return FLocation; }
  const std::string& DocName() const { return FDocName; }
  int64_t RcvdCount() const { return FReply.RcvdCount; }
  int64_t SentCount() const { return FSentCount; }
  const std::string& Hostname() const { return FTargetHost; }
  // The server whose reply is being read. Hostname already names a relocation's target while
  // the reply that announced it (and its cookies) is still read.
  const std::string& ReplyHost() const { return FReplyHost; }
  const std::string& TargetPort() const { return FTargetPort; }
  const std::string& Path() const { return FPath; }
  bool Connected() const { return FConnected; }
  // The socket, created on first use through CreateSocket.
  net::TWSocket* CtrlSocket();
  THttpContCodHandler& ContentCodingHandler() { return FContentCoding; }

  // ---- events (an unset event is skipped) ----
  TTraceEvent OnTrace;
  TNotifyEvent OnSessionConnected;
  TNotifyEvent OnSessionClosed;
  TNotifyEvent OnHeaderData;  // LastResponse holds the line
  TCommandEvent OnCommand;
  TNotifyEvent OnHeaderBegin;
  TNotifyEvent OnHeaderEnd;
  TNotifyEvent OnRequestHeaderBegin;
  TNotifyEvent OnRequestHeaderEnd;
  TNotifyEvent OnDocBegin;
  TDataEvent OnDocData;
  TNotifyEvent OnDocEnd;
  TNotifyEvent OnSendBegin;
  TDataEvent OnSendData;
  TNotifyEvent OnSendEnd;
  TNotifyEvent OnStateChange;
  TRequestDoneEvent OnRequestDone;
  TNotifyEvent OnLocationChange;
  TCookieEvent OnCookie;
  TErrorEvent OnDataPush;
  TNotifyEvent OnDataPush2;
  TLocationChangeExceededEvent OnLocationChangeExceeded;
  TErrorEvent OnSocksConnected;  // kept for the SOCKS settings; the socket speaks no SOCKS
  TErrorEvent OnSocksAuthState;
  TErrorEvent OnSocksError;
  TNotifyEvent OnSocketError;
  TBeforeHeaderSendEvent OnBeforeHeaderSend;
  TBeforeAuthEvent OnBeforeAuth;

 protected:
  // ---- hooks for derived clients ----
  // The socket this client talks through (called once, on first use).
  virtual std::unique_ptr<net::TWSocket> CreateSocket();
  // Protocols this client can speak to a server ("http" and "https").
  virtual bool ProtocolSupported(const std::string& protocol) const;
  // Called before each connect with whether TLS is wanted on the new connection.
  virtual void PrepareConnection(bool tlsWanted);
  // The proxy opened a tunnel: start TLS on the open connection.
  virtual void StartTunnelTls();
  // For a TLS client: the handshake ended.
  void TlsHandshakeFailed(const std::string& reason);
  void TlsHandshakeSucceeded();

  void ComponentWndProc(net::TMessage& msg) override;
  void AllocateMsgHandlers() override;
  void FreeMsgHandlers() override;
  void AbortOnError() override;

  // ---- event triggers (the one place each event fires) ----
  void Trace(const std::string& text);
  virtual void TriggerStateChange();
  virtual void TriggerRequestDone();
  virtual void TriggerSessionConnected();
  virtual void TriggerSessionClosed();
  virtual void TriggerHeaderBegin();
  virtual void TriggerHeaderData();
  virtual void TriggerHeaderEnd();
  virtual void TriggerRequestHeaderBegin();
  virtual void TriggerRequestHeaderEnd();
  virtual void TriggerCommand(std::string& line);
  virtual void TriggerBeforeHeaderSend(const std::string& method, std::vector<std::string>& headers);
  virtual void TriggerDocBegin();
  virtual void TriggerDocData(const char* data, int length);
  virtual void TriggerDocEnd();
  virtual void TriggerSendBegin();
  virtual void TriggerSendData(const char* data, int length);
  virtual void TriggerSendEnd();
  virtual void TriggerLocationChange();
  virtual void TriggerCookie(const std::string& data, bool& accept);
  virtual void TriggerDataPush(int error);
  virtual void TriggerDataPush2();
  virtual void TriggerLocationChangeExceeded(int count, bool& allowMore);
  virtual void TriggerSocketError();
  virtual void TriggerBeforeAuth(THttpAuthType authType, bool proxy, const std::string& challenge, bool& allow);

  // ---- authentication (http_auth.cpp) ----
  // All six scheme states to 0 at the start of each request.
  void AuthResetStates();
  // The presets of ServerAuth / ProxyAuth after the address is split.
  void AuthPrepare(bool reusingConnection);
  // The Authorization / Proxy-Authorization lines for the request being built.
  void AuthHeaderLines(const std::string& method, std::vector<std::string>& lines);
  // An NTLM negotiate round is running (POST/PUT then send no body).
  bool AuthNegotiating() const;
  // A proxy authentication round is running (the tunnel request is sent again).
  bool ProxyAuthInProgress() const;
  // At the set-ready step: advance the states by the final status and answer a challenge;
  // true when a new round restarts the request.
  bool AuthAfterReply();

  // The six scheme states (server and proxy), the parsed challenges and the direction the
  // last request went (proxy or origin).
  THttpAuthState FAuth;

  // ---- proxy tunnel (http_proxy.cpp) ----
  // The proxy's answer to CONNECT is held: true when it opened the tunnel or is not complete
  // yet; false when it is to be read as an ordinary reply.
  bool TunnelAnswer();
  // "host:port" the open tunnel leads to; a request for another target needs a new one.
  std::string FTunnelTarget;

  // ---- the engine's working state, for derived clients ----
  void SetState(THttpState state);
  void SendRequest(const std::string& method, const std::string& version);
  void StartRequestOnConnection();
  void PostRestart();
  void PostSetReady();
  void PostRequestDone();

  THttpState FState = THttpState::httpReady;
  THttpRequest FRequestType = THttpRequest::httpABORT;
  int FStatusCode = 0;
  std::string FReasonPhrase;
  int FRequestDoneError = 0;
  std::string FCurrUsername, FCurrPassword;
  std::string FCurrConnection, FCurrProxyConnection;
  std::string FConnectHost, FConnectPort;  // the server, or the proxy
  std::string FTargetHost, FTargetPort;    // the server the URL names
  std::string FProtocol = "http";
  std::string FPath;                       // with a proxy, the absolute address
  std::string FOpenHost, FOpenPort, FOpenProtocol;
  bool FConnected = false;
  bool FTunnelEstablished = false;
  bool FLocationPending = false;
  bool FSendingBody = false;
  bool FDelaySetReady = false;
  std::string FLocation;
  std::string FDocName;
  std::string FLastResponse;
  int64_t FSentCount = 0;
  int64_t FReplyStreamStart = 0;
  std::string FLastReplyVer;  // version of the last complete reply header
  THttpReplyReader FReply;

 private:
  void EnsureSocket();
  void StartRequest(THttpRequest request);
  void StartConnection();
  void SocketDnsLookupDone(int error);
  void SocketSessionConnected(int error);
  void SocketSessionClosed(int error);
  void SocketSessionClosedRouted(int error);
  void SocketDataAvailable(int error);
  void SocketDataSent(int error);
  void SendBodyBlock();
  void ProcessReply();
  void HandleHeaderLine();
  void HeaderEnded();
  void BodyEnded();
  bool ReceiveBodyDirect();
  void DeliverBody(std::string_view block, bool inStream);
  void FailReply(const std::string& reason, int error);
  void ConnectionLost(int error);
  void ClearReplyValues(bool keepLocation);
  void SetReady();
  void WMRestart();
  void DoRequestDone();
  // relocations (http_relocation.cpp)
  void LocationHeader(const std::string& value);
  void StartRelocation();
  void ContinueAfterClose(int error);
  bool CountRelocation();
  void RewindStreams();
  static bool SameHost(const std::string& a, const std::string& b);
  // The relocation target (scheme, host, port as written) is not the server of the request.
  bool OtherSite(const std::string& proto, const std::string& host, const std::string& port) const;
  void RefuseLocation();

  std::unique_ptr<net::TWSocket> FCtrlSocket;
  // Where the socket's session-closed report goes: the normal end, the relocation that waits
  // for the old connection to close, or nowhere (a close the client itself caused on purpose).
  enum class TClosedRoute { Normal, Relocation, Ignore } FClosedRoute = TClosedRoute::Normal;
  std::string FCookieHost, FCookiePort, FCookieProtocol;  // the site the caller's Cookie belongs to
  std::string FReplyHost;
  // The proxy's answer to a tunnel request is being read as a reply (a 407 only): none of its
  // cookies, relocations or body may pass for the site's.
  bool FTunnelAnswerRead = false;
  void RefuseTunnel(const std::string& statusLine);
  bool FRequestFailed = false;
  bool FReusedConnection = false;  // this request went out on a kept connection  // status and reason already say why the request failed
  net::UINT FMsgRequestDone = 0, FMsgSetReady = 0, FMsgRestart = 0;
  bool FRestartPosted = false;
  bool FBodyBegun = false;
  bool FAbortingQuietly = false;
  std::vector<char> FSendBlock;
  THttpContCodHandler FContentCoding;

  std::string FURL, FLocalAddr = "0.0.0.0", FProxy, FProxyPort = "80", FSender;
  std::string FAgent = "Mozilla/4.0 (compatible)";
  std::string FAccept = "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
  std::string FAcceptLanguage, FReference, FConnection, FProxyConnection;
  std::string FUsername, FPassword, FProxyUsername, FProxyPassword;
  bool FNoCache = false;
  runtime::TDateTime FModifiedSince;
  std::string FCookie;
  std::string FContentTypePost = "application/x-www-form-urlencoded";
  std::string FContentRangeBegin, FContentRangeEnd, FAcceptRanges;
  std::string FRequestVer = "1.0";
  bool FFollowRelocation = true;
  int FLocationChangeMaxCount = 5;
  int FLocationChangeCurCount = 0;
  THttpAuthType FServerAuth = THttpAuthType::httpAuthNone;
  THttpAuthType FProxyAuth = THttpAuthType::httpAuthNone;
  int FBandwidthLimit = 10000;
  int FBandwidthSampling = 1000;
  THttpCliOptions FOptions = 0;
  unsigned FTimeout = 30;
  unsigned FRequestLimit = 0;
  int64_t FReplyLimit = THttpReplyReader::kDefaultMaxBodySize;
  std::string FSocksServer, FSocksLevel = "5", FSocksPort = "1080", FSocksUsercode, FSocksPassword;
  TSocksAuthentication FSocksAuthentication = TSocksAuthentication::socksNoAuthentication;
  runtime::TMemoryStream* FReplyStream = nullptr;
  runtime::TMemoryStream* FBodyStream = nullptr;
};

}  // namespace http
