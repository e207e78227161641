#pragma once
// The asynchronous TCP (and UDP) client socket. Every result arrives as an event in the thread
// that owns the socket's hidden window: look-up done, connected, data available, data sent,
// closed. Nothing blocks except resolving a host name given to Connect instead of DnsLookup.
//
// What the HTTP client relies on:
// 1. OnSessionConnected fires exactly once per Connect that reached the network: 0 when
//    connected, the platform error when the connect failed (the socket then closes itself).
// 2. OnDataAvailable fires repeatedly while unread data remains; the handler must Receive.
// 3. OnDataSent fires when the send chain has become empty, never from inside Send.
// 4. OnSessionClosed fires once per connection, after all received data has been offered
//    through OnDataAvailable, and also when the connection is lost during a send.
// 5. When OnError is set the socket never throws: errors go to OnError with LastError set.
//
// TCustomWSocket is spread over files by concern: wsocket.cpp holds construction, properties,
// error reporting, triggers, message routing, sending and receiving; wsocket_lookup.cpp the
// host look-up; wsocket_connect.cpp Connect and its steps with the socket options;
// wsocket_close.cpp closing, aborting and flushing; wsocket_owed.cpp the notifications owed
// across Pause/Resume and DetachThread/AttachThread. The address resolvers (texts to
// addresses, ports and protocols) stand alone in wsocket_address.h.

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/buffer_chain.h"
#include "net/net_wnd_control.h"
#include "platform/winsock.h"
#include "runtime/formatting.h"

namespace net {

using platform::SOCKET;

enum class TSocketState {
  wsInvalidState,
  wsOpened,
  wsBound,
  wsConnecting,
  wsSocksConnected,
  wsConnected,
  wsAccepting,
  wsListening,
  wsClosed,
};

enum class TSocketLingerOnOff { wsLingerOff, wsLingerOn, wsLingerNoSet };
enum class TSocketKeepAliveOnOff { wsKeepAliveOff, wsKeepAliveOnCustom, wsKeepAliveOnSystem };

// ComponentOptions is a set of these bits.
using TWSocketOptions = uint32_t;
constexpr TWSocketOptions wsoNoReceiveLoop = 1u << 0;  // one OnDataAvailable per notification
constexpr TWSocketOptions wsoTcpNoDelay = 1u << 1;
constexpr TWSocketOptions wsoSIO_RCVALL = 1u << 2;
constexpr TWSocketOptions wsoNoHttp10Tunnel = 1u << 3;

constexpr int wsSendNormal = 0;
constexpr int wsSendUrgent = 1;

// The activity clock of a connection (32-bit millisecond tick counts).
struct TWSocketCounter {
  DWORD LastReadTick = 0;
  DWORD LastWriteTick = 0;
  DWORD ConnectedTick = 0;
  runtime::TDateTime ConnectedTime;

  // The most recent of the three ticks, compared across the wrap of the 32-bit count
  // (a tick of 0 means "never" unless all three are 0).
  DWORD LastAliveTick() const;
  // A new connection: both last ticks 0, connected tick and time now.
  void SetConnected();
};

class TCustomWSocket : public TNetWndControl {
 public:
  using TSocketEvent = std::function<void(TCustomWSocket* sender, int error)>;
  using TSendDataEvent = std::function<void(TCustomWSocket* sender, int bytesSent)>;
  using TChangeStateEvent =
      std::function<void(TCustomWSocket* sender, TSocketState oldState, TSocketState newState)>;
  using TNotifyEvent = std::function<void(TCustomWSocket* sender)>;

  // Allocates the hidden window in the calling thread and counts one more live socket.
  TCustomWSocket();
  ~TCustomWSocket() override;

  int MsgCount() const override { return TNetWndControl::MsgCount() + 6; }

  // ---- properties (Addr, Port, Proto, LocalAddr, LocalPort only while wsClosed) ----
  const std::string& Addr() const { return FAddrStr; }
  void SetAddr(const std::string& value);
  const std::string& Port() const { return FPortStr; }
  void SetPort(const std::string& value);
  const std::string& Proto() const { return FProtoStr; }
  void SetProto(const std::string& value);
  const std::string& LocalAddr() const { return FLocalAddr; }
  void SetLocalAddr(const std::string& value);
  const std::string& LocalPort() const { return FLocalPortStr; }
  void SetLocalPort(const std::string& value);

  TSocketState State() const { return FState; }
  SOCKET HSocket() const { return FHSocket; }
  int LastError() const { return FLastError; }
  bool AllSent() const { return FAllSent; }
  int64_t QueuedByteCount() const { return FBufferedByteCount; }
  int64_t BytesReceived() const { return FReadCount; }
  int64_t BytesSent() const { return FWriteCount; }
  long SelectEvents() const { return FSelectEvent; }
  bool Paused() const { return FPaused; }
  bool CloseInvoked() const { return FCloseInvoked; }

  const std::string& LookupResult() const { return FLookupResult; }
  const std::vector<std::string>& LookupResultList() const { return FLookupResultList; }
  bool LookupPending() const { return FDnsLookupHandle != nullptr || FOwedLookupRestart; }

  int SendFlags() const { return FSendFlags; }
  void SetSendFlags(int value);  // wsSendNormal or wsSendUrgent, else "Invalid SendFlags"
  // The send chain's block size ("send-buffer size"); affects blocks created afterwards.
  int BufSize() const;
  void SetBufSize(int value);
  // The platform's own buffer sizes (read after the socket is created; set on an open socket).
  int SocketSndBufSize() const { return FSocketSndBufSize; }
  void SetSocketSndBufSize(int value);
  int SocketRcvBufSize() const { return FSocketRcvBufSize; }
  void SetSocketRcvBufSize(int value);

  TSocketLingerOnOff LingerOnOff = TSocketLingerOnOff::wsLingerOn;
  int LingerTimeout = 0;  // seconds
  TSocketKeepAliveOnOff KeepAliveOnOff = TSocketKeepAliveOnOff::wsKeepAliveOff;
  DWORD KeepAliveTime = 0;      // milliseconds
  DWORD KeepAliveInterval = 0;  // milliseconds
  TWSocketOptions ComponentOptions = 0;
  bool ReuseAddr = false;
  int ListenBacklog = 5;
  bool MultiCast = false;
  std::string MultiCastAddrStr;
  int MultiCastIpTTL = 1;
  int FlushTimeout = 60;  // seconds

  // The process-wide requested socket-library version; refused while the library is started
  // (reported through the error reporting with "SetReqVerLow: ..." / "SetReqVerHigh: ...").
  uint8_t ReqVerLow() const;
  void SetReqVerLow(uint8_t value);
  uint8_t ReqVerHigh() const;
  void SetReqVerHigh(uint8_t value);

  // The activity clock (nullptr until created).
  TWSocketCounter* ActivityCounter() const { return FCounter.get(); }
  // Creates a new counter, replacing any previous one.
  void CreateActivityCounter();

  // ---- operations (in the socket's thread) ----

  // Resolves `hostName` asynchronously (a dotted address completes inside the call);
  // OnDnsLookupDone reports the result with LookupResult/LookupResultList filled.
  virtual void DnsLookup(const std::string& hostName);
  // Cancels a pending look-up; OnDnsLookupDone then fires with 10004.
  virtual void CancelLookup();
  // Opens the socket and starts connecting; OnSessionConnected reports the result.
  virtual void Connect();
  // Queues `length` bytes and starts writing. Returns the length, or -1 when not connected.
  virtual int Send(const void* data, int length);
  int SendText(const std::string& text) { return Send(text.data(), static_cast<int>(text.size())); }
  int Send(char byte) { return Send(&byte, 1); }
  // Only queues; nothing is written until Send or the next FD_WRITE. Callable from any thread.
  virtual void PutDataInSendBuffer(const void* data, int length);
  // One platform receive: the count, 0 when the peer closed, -1 with LastError set.
  virtual int Receive(void* buffer, int length);
  // Up to PendingCount bytes (255 when nothing is reported pending).
  std::string ReceiveText();
  // Bytes readable now, -1 on error.
  int PendingCount();
  // Orderly close; OnSessionClosed fires (once).
  void Close();
  // Closes from the message loop (for use inside the socket's own event handlers).
  void CloseLater();
  // Immediate close: cancels a look-up, discards unsent data, closes without shutdown.
  virtual void Abort();
  void Shutdown(int how);
  // Writes what is queued, pumping messages, until all is sent, the socket closes or
  // FlushTimeout seconds pass.
  void Flush();
  // Suspend and restore notifications. Nothing is lost meanwhile: data and a close are
  // reported after Resume, and so are a connect result and OnDataSent that came while paused.
  void Pause();
  void Resume();
  void AbortOnError() override;
  // Move an open socket between threads: DetachThread in the old one, AttachThread in the new.
  // A connect result, OnDataSent, a delayed close or a look-up answer that was due when the
  // old window went comes from the new one.
  void AttachThread() override;
  void DetachThread() override;
  // Posts the test-exception message (raised when handled), to exercise error routing.
  void PostTestException();

  // The local host name. Throws ESocketException "Winsock Get Host Name failed".
  static std::string LocalHostName();

  // ---- events ----
  TSocketEvent OnDataAvailable;
  TSocketEvent OnDataSent;
  TSendDataEvent OnSendData;
  TSocketEvent OnSessionClosed;
  TSocketEvent OnSessionAvailable;
  TSocketEvent OnSessionConnected;
  TChangeStateEvent OnChangeState;
  TSocketEvent OnDnsLookupDone;
  TNotifyEvent OnError;

 protected:
  void ComponentWndProc(TMessage& msg) override;
  void AllocateMsgHandlers() override;
  void FreeMsgHandlers() override;

  // Notification handlers, in dispatch order.
  virtual void Do_FD_CONNECT(int error);
  virtual void Do_FD_READ(int error);
  virtual void Do_FD_WRITE(int error);
  virtual void Do_FD_ACCEPT(int error);
  virtual void Do_FD_CLOSE(int error);
  virtual void WMAsyncSelect(TMessage& msg);
  virtual void WMAsyncGetHostByName(TMessage& msg);
  // The receive loop: OnDataAvailable while the platform reports unread bytes.
  virtual void DrainReceive(int error, TWSocketOptions options);
  // Writes the chain as far as the platform takes it.
  virtual void TryToSend();
  virtual int RealSend(const char* data, int length);
  // Sends several queued blocks with one system call (stream sockets only); returns the byte
  // count taken or -1. A class that overrides RealSend to transform the bytes must override
  // this too.
  virtual int RealSendGathered(const char* const* data, const int* lengths, int count);
  virtual void InternalClose(bool shutdownWanted, int error);
  virtual void InternalAbort(int error);

  // Error reporting: OnError when set, else ESocketException.
  void ReportError(const std::string& text);
  // The platform's last error (or `error`) as "<text> (#<code> in <operation>)".
  void ReportSocketError(const std::string& operation);
  void ReportSocketError(const std::string& operation, int error);
  void SetState(TSocketState newState);
  void ApplyDefaults();
  bool BindLocal();
  void SetLingerOption();
  void SetKeepAliveOption();

  // Each fires its event through one place; the object may be gone afterwards (check the
  // alive token).
  virtual void TriggerSessionConnected(int error);
  virtual void TriggerSessionClosed(int error);
  virtual void TriggerDataAvailable(int error);
  virtual void TriggerDataSent(int error);
  virtual void TriggerSendData(int bytesSent);
  virtual void TriggerDnsLookupDone(int error);
  virtual void TriggerChangeState(TSocketState oldState, TSocketState newState);
  virtual void TriggerSessionAvailable(int error);
  virtual void TriggerError();
  // Connected event: resets the counter and the byte counts, then OnSessionConnected.
  void FireConnected(int error);

  bool Destroying() const { return FDestroying; }
  // After notifications were off: posts an FD_WRITE to itself when data is still queued
  // (DeliverOwedNotifications calls it when no FD_WRITE is owed).
  void RestartSending();
  void PurgeOwnMessages();
  // The platform reports a finished connect and a chance to send only once. A notification of
  // either that arrives while paused, or is still queued when the window goes with
  // DetachThread, is owed: kept here and posted again by DeliverOwedNotifications (Resume,
  // AttachThread). A delayed close queued at DetachThread is owed the same way.
  void OweNotification(long events, int error);
  void DeliverOwedNotifications();

  SOCKET FHSocket = platform::INVALID_SOCKET;
  std::unique_ptr<TWSocketCounter> FCounter;
  UINT FMsg_WM_ASYNCSELECT = 0;
  UINT FMsg_WM_ASYNCGETHOSTBYNAME = 0;
  UINT FMsg_WM_ASYNCGETHOSTBYADDR = 0;
  UINT FMsg_WM_CLOSE_DELAYED = 0;
  UINT FMsg_WM_WSOCKET_RELEASE = 0;  // the test exception
  UINT FMsg_WM_TRIGGER_DATA_AVAILABLE = 0;
  platform::HANDLE FDnsLookupHandle = nullptr;
  alignas(16) char FDnsLookupBuffer[1025 + 7] = {};
  std::string FLookupResult;
  std::vector<std::string> FLookupResultList;

  std::string FAddrStr, FPortStr, FProtoStr, FLocalAddr, FLocalPortStr;
  bool FAddrAssigned = false, FAddrResolved = false;
  bool FPortAssigned = false, FPortResolved = false;
  bool FProtoAssigned = false, FProtoResolved = false;
  bool FLocalPortResolved = false;
  int FProto = 6;
  // The kind of socket the protocol asks for; the values are the platform's.
  enum class TSocketType {
    Stream = SOCK_STREAM,      // TCP: connected, ordered bytes
    Datagram = SOCK_DGRAM,     // UDP: one message per send, "connected" at once
    Raw = SOCK_RAW,            // any other protocol number
  };
  bool IsStream() const { return FType == TSocketType::Stream; }
  bool IsDatagram() const { return FType == TSocketType::Datagram; }
  TSocketType FType = TSocketType::Stream;
  uint16_t FPortNum = 0;       // network order
  uint16_t FLocalPortNum = 0;  // network order
  sockaddr_in FSin{};
  TSocketState FState = TSocketState::wsClosed;
  long FSelectEvent = 0;
  long FSelectMessage = 0;  // the FD_ flag being dispatched
  // Written by PutDataInSendBuffer, which other threads may call.
  std::atomic<bool> FAllSent{true};
  std::atomic<int64_t> FBufferedByteCount{0};
  int64_t FReadCount = 0;
  int64_t FWriteCount = 0;
  bool FPaused = false;
  bool FCloseInvoked = false;
  int FLastError = 0;
  int FSendFlags = 0;
  int FSocketSndBufSize = 0;
  int FSocketRcvBufSize = 0;
  std::unique_ptr<TNetBufferHandler> FBufHandler;

 private:
  // The steps of Connect (wsocket_connect.cpp).
  bool ResolveForConnect();
  bool ReadyToConnect();
  void ResetForConnection();
  bool OpenSocket();
  bool SetStreamOptions();
  bool SetDatagramOptions();
  void StartConnecting();
  // Takes this socket's queued notifications and delayed close out of the window that is about
  // to go, owing them.
  void TakeQueuedNotifications();
  void ForgetOwedNotifications();
  // Starts the platform look-up of `hostName` on the current window.
  void StartLookup(const std::string& hostName);
  // Forgets the pending look-up (also one owed across a thread move) without an event; false
  // when the platform could not cancel it.
  bool DropLookup();
  // After AttachThread: the answer taken from the old window is posted again, and a look-up
  // that was still running (and so cancelled) is started again.
  void ResumeLookup();

  bool FDestroying = false;
  long FOwedEvents = 0;  // FD_CONNECT and/or FD_WRITE
  int FOwedConnectError = 0;
  bool FOwedDelayedClose = false;
  std::string FLookupHostName;      // the name of the pending look-up
  bool FOwedLookupReply = false;    // its answer, taken from the queue at DetachThread
  LPARAM FOwedLookupReplyParam = 0;
  bool FOwedLookupRestart = false;  // it was still running at DetachThread
};

}  // namespace net
