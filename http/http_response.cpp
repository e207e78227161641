// Reading the reply: received bytes go to the reply reader, whose events this file turns into
// the client's events, its state changes and the end of the request.

#include <algorithm>
#include <climits>

#include "http/http_cli.h"
#include "http/url.h"

namespace http {

void THttpCli::SocketDataAvailable(int error) {
  if (ReceiveBodyDirect()) return;
  size_t room = 0;
  char* space = FReply.ReceiveSpace(room);
  const int count = FCtrlSocket->Receive(space, static_cast<int>(std::min<size_t>(room, INT_MAX)));
  if (OnTrace) Trace("Data available. Len=" + std::to_string(count));
  if (FRequestType == THttpRequest::httpABORT) return;  // no request: the bytes are dropped
  if (count <= 0) {
    if (OnTrace) Trace("**data available. Len=" + std::to_string(count));
    return;
  }
  FReply.Commit(static_cast<size_t>(count));

  if (FState == THttpState::httpWaitingProxyConnect) {
    if (TunnelAnswer()) return;
    SetState(THttpState::httpWaitingHeader);  // any other answer is read as a reply
  }
  if (FState == THttpState::httpWaitingHeader || FState == THttpState::httpWaitingBody) {
    ProcessReply();
    return;
  }
  // Nothing is expected now (the reply is complete, or no request runs).
  FReply.DropHeld();
  TriggerDataPush(error);
}

// A large body of known length would otherwise be received into the reader's buffer and then
// copied into the reply stream, which costs as much as the receive itself. When the bytes
// would pass through the reader untouched (no chunks, no content coding, nothing held) they
// are received at the stream's end instead; the reader still counts them, limits them and
// reports them as body, so the events and their data stay the same. Returns false when the
// ordinary path must take this receive.
bool THttpCli::ReceiveBodyDirect() {
  // At most this much is claimed per receive: the tail is trimmed back to what arrived.
  constexpr size_t kMostPerReceive = 1024 * 1024;
  if (!FReplyStream || FState != THttpState::httpWaitingBody || FRequestType == THttpRequest::httpABORT ||
      FContentCoding.Decoding() || FReplyStream->Position() != FReplyStream->Size())
    return false;
  const size_t room = FReply.DirectBodyRoom(kMostPerReceive);
  if (room == 0) return false;
  char* space = FReplyStream->AppendUnfilled(room);
  const int count = FCtrlSocket->Receive(space, static_cast<int>(std::min<size_t>(room, INT_MAX)));
  FReplyStream->TrimTail(room - static_cast<size_t>(std::max(count, 0)));
  if (OnTrace) Trace("Data available. Len=" + std::to_string(count));
  if (count <= 0) {
    if (OnTrace) Trace("**data available. Len=" + std::to_string(count));
    return true;
  }
  FReply.TakeDirectBody(space, static_cast<size_t>(count));
  ProcessReply();
  return true;
}

// Pulls the reader's events until it needs more bytes or the request has ended.
void THttpCli::ProcessReply() {
  auto alive = AliveToken();
  for (;;) {
    if (FReply.Phase() == THttpReplyReader::TPhase::Done) {
      // After the end of a reply nothing more belongs to it; a HEAD reply has no body at all.
      if (FReply.Held() > 0) {
        FReply.DropHeld();
        if (FRequestType == THttpRequest::httpHEAD && FState == THttpState::httpWaitingBody)
          FCtrlSocket->Abort();
      }
      return;
    }
    const auto event = FReply.Next();
    switch (event) {
      case THttpReplyReader::TEvent::NeedMore:
        return;
      case THttpReplyReader::TEvent::HeaderBegin:
        TriggerHeaderBegin();  // may re-enter
        break;
      case THttpReplyReader::TEvent::HeaderLine:
        HandleHeaderLine();  // may re-enter
        if (*alive && FRequestFailed) return;  // a relocation was refused
        break;
      case THttpReplyReader::TEvent::Interim:
        Trace("End of header");
        break;
      case THttpReplyReader::TEvent::HeaderEnd:
        HeaderEnded();  // may re-enter
        break;
      case THttpReplyReader::TEvent::Body:
        DeliverBody(FReply.BodyBlock(), FReply.BodyBlockDirect());  // may re-enter
        break;
      case THttpReplyReader::TEvent::DocEnd:
        BodyEnded();  // may re-enter
        return;
      case THttpReplyReader::TEvent::Error:
        FailReply(FReply.ErrorText(), httperrProtocol);
        return;
    }
    if (!*alive) return;
    // A handler may have ended the request (Abort) or the reply may have ended it.
    if (FState != THttpState::httpWaitingHeader && FState != THttpState::httpWaitingBody) return;
  }
}

void THttpCli::HandleHeaderLine() {
  FLastResponse = FReply.Line();
  if (OnTrace) Trace(">|" + FLastResponse + "|");
  if (FReply.LineCount() == 1) {
    if (!FReply.StatusLineValid()) {
      TriggerDataPush2();
    } else {
      FStatusCode = FReply.StatusCode;
      FReasonPhrase = FReply.ReasonPhrase;
      if (OnTrace) Trace(std::string("FCloseReq=") + (FReply.CloseReq ? "1" : "0"));
    }
  } else {
    const std::string& name = FReply.Name();
    const std::string& value = FReply.Value();
    if (FTunnelAnswerRead && (name == "location" || name == "set-cookie")) {
      // The proxy's answer to a tunnel request: not the site's relocation or cookie.
    } else if (name == "location") {
      LocationHeader(value);
    } else if (name == "content-range") {
      const size_t dash = value.find('-');
      const size_t slash = value.find('/');
      if (dash != std::string::npos && dash >= 6) {
        FContentRangeBegin = value.substr(6, dash - 6);
        FContentRangeEnd = slash != std::string::npos && slash > dash ? value.substr(dash + 1, slash - dash - 1)
                                                                       : value.substr(dash + 1);
      }
    } else if (name == "accept-ranges") {
      FAcceptRanges = value;
    } else if (name == "set-cookie") {
      bool accept = true;
      auto alive = AliveToken();
      TriggerCookie(value, accept);  // may re-enter
      if (!*alive) return;
    }
  }
  TriggerHeaderData();
}

void THttpCli::HeaderEnded() {
  Trace("End of header");
  FLastReplyVer = FReply.ReplyVer;
  auto alive = AliveToken();
  TriggerHeaderEnd();  // may re-enter
  if (!*alive) return;
  if (FState == THttpState::httpReady || FState == THttpState::httpAborting) {
    FReply.DropHeld();
    return;
  }
  const bool head = FRequestType == THttpRequest::httpHEAD;
  if (!FReply.BodyExpected()) {
    FReply.EndBody();
    if (FReply.CloseReq) {
      if (FLocationPending) {
        StartRelocation();
        return;
      }
      if (head) {
        FReply.DropHeld();
        SetState(THttpState::httpWaitingBody);
      }
      FCtrlSocket->CloseLater();  // the request ends when the session closes
      return;
    }
    if (head) {
      FReply.DropHeld();
      SetState(THttpState::httpWaitingBody);
      PostSetReady();
    } else if (FLocationPending) {
      StartRelocation();
    } else {
      PostSetReady();
    }
    return;
  }
  // A body follows.
  if (FReply.ContentType.rfind("text/html", 0) == 0) FDocName = HtmlDocumentName(FDocName);
  SetState(THttpState::httpWaitingBody);
  FReply.BeginBody();
  FBodyBegun = true;
  Trace("DocBegin");
  FContentCoding.Prepare(FReply.ContentEncoding);
  FReplyStreamStart = FReplyStream ? FReplyStream->Size() : 0;
  // A body of known length is stored without growing the stream step by step.
  if (FReplyStream && FReply.ContentLength > 0 && !FReply.Chunked() && FReply.ContentLength <= FReplyLimit)
    FReplyStream->Reserve(FReplyStream->Position() + FReply.ContentLength);
  TriggerDocBegin();
}

void THttpCli::DeliverBody(std::string_view block, bool inStream) {
  if (block.empty()) return;
  auto out = [this, inStream](std::string_view data) {
    if (FReplyStream && !inStream) FReplyStream->Write(data);
    TriggerDocData(data.data(), static_cast<int>(data.size()));
  };
  if (FContentCoding.Decoding())
    FContentCoding.Write(block, out);
  else
    out(block);
}

void THttpCli::BodyEnded() {
  Trace(FReply.Chunked() ? "httpChunkDone, end of document" : "End of document");
  FBodyBegun = false;
  SetState(THttpState::httpBodyReceived);
  const bool decoded = FContentCoding.Decoding();
  const int64_t before = FReplyStream ? FReplyStream->Size() : 0;
  FContentCoding.Complete([this](std::string_view data) {
    if (FReplyStream) FReplyStream->Write(data);
    TriggerDocData(data.data(), static_cast<int>(data.size()));
  });
  if (decoded && OnTrace && FReplyStream)
    Trace(" content uncompressed from " + FReply.ContentEncoding + " bytes to " +
          std::to_string(FReplyStream->Size() - before + FReply.RcvdCount) + " bytes");
  auto alive = AliveToken();
  Trace("DocEnd");
  TriggerDocEnd();  // may re-enter
  if (!*alive || FState != THttpState::httpBodyReceived) return;
  if (FLocationPending) {
    StartRelocation();
  } else if (!FReply.ConnectionReusable()) {
    FCtrlSocket->CloseLater();  // the request ends when the session closes
  } else {
    PostSetReady();
  }
}

// Ends the request with an error: a reply that breaks the protocol or a limit, or one cut
// short. The connection cannot carry another reply after that, so it is dropped.
void THttpCli::FailReply(const std::string& reason, int error) {
  if (OnTrace) Trace("Reply failed: " + reason);
  FStatusCode = 404;
  FReasonPhrase = reason;
  if (FRequestDoneError == 0) FRequestDoneError = error;
  FRequestFailed = true;
  FLocationPending = false;
  FBodyBegun = false;
  FReply.EndBody();
  FReply.DropHeld();
  if (FCtrlSocket->State() != net::TSocketState::wsClosed) {
    FClosedRoute = TClosedRoute::Normal;
    FCtrlSocket->Abort();  // its close report ends the request
  }
}

void THttpCli::SocketSessionClosed(int error) {
  if (OnTrace) Trace("SessionClosed Error: " + std::to_string(error));
  FReply.DropHeld();
  if (error != 0 && FRequestDoneError == 0) FRequestDoneError = error;
  FConnected = false;
  FTunnelEstablished = false;
  FSendingBody = false;
  auto alive = AliveToken();
  if (FState == THttpState::httpAborting) {
    TriggerSessionClosed();  // the abort itself ends the request
    return;
  }
  const bool awaitingReply = FState != THttpState::httpReady && FState != THttpState::httpClosing;
  if (awaitingReply && FReply.Phase() == THttpReplyReader::TPhase::Header && FReply.HeaderStarted()) {
    TriggerHeaderEnd();  // may re-enter
    if (!*alive) return;
    if (FLocationPending) {
      ContinueAfterClose(error);
      return;
    }
    // A header cut short is no reply: end now rather than wait for the time-out.
    if (!FRequestFailed) FailReply("Connection closed while receiving the reply header", error ? error : httperrProtocol);
  } else if (awaitingReply && FBodyBegun) {
    FBodyBegun = false;
    // Only a body without length or chunks ends at the close, and only at an orderly one: a
    // reset, or a TLS stream ended without the close alert, may have cut the page short. A
    // relocation's body is dropped anyway, so its target is still followed.
    if (FReply.CloseDelimited() && (error == 0 || FLocationPending)) {
      FReply.EndBody();
      SetState(THttpState::httpBodyReceived);
      FContentCoding.Complete([this](std::string_view data) {
        if (FReplyStream) FReplyStream->Write(data);
        TriggerDocData(data.data(), static_cast<int>(data.size()));
      });
      Trace("DocEnd");
      TriggerDocEnd();  // may re-enter
      if (!*alive) return;
    } else {
      TriggerDocEnd();  // may re-enter
      if (!*alive) return;
      FailReply("Connection closed before the end of the reply body", error ? error : httperrProtocol);
    }
  } else if (awaitingReply && FReply.Phase() == THttpReplyReader::TPhase::Header && !FRequestFailed &&
             !FLocationPending &&  // a relocation waits for this close, or connects anew anyway
             FState != THttpState::httpNotConnected && FState != THttpState::httpDnsLookup &&
             FState != THttpState::httpDnsLookupDone) {
    if (FReusedConnection) {
      // A kept connection that the server closed while it was idle: the request goes out
      // once more, on a new connection.
      FReusedConnection = false;
      FSendingBody = false;
      RewindStreams();
      TriggerSessionClosed();  // may re-enter
      if (!*alive || FState == THttpState::httpReady || FState == THttpState::httpAborting) return;
      SetState(THttpState::httpNotConnected);
      PostRestart();
      return;
    }
    // The request went out and the connection closed without a byte of reply.
    FailReply("Connection closed without a reply", error ? error : httperrProtocol);
  }
  if (FLocationPending) {
    ContinueAfterClose(error);
    return;
  }
  TriggerSessionClosed();  // may re-enter
  if (!*alive) return;
  if (FState != THttpState::httpReady) PostSetReady();
}

}  // namespace http
