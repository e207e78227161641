#pragma once
// Reading one HTTP reply: the receive buffer, the line reader, the status and header lines,
// and the framing of the body (length, chunks, or the close of the connection).
//
// The reader takes bytes and hands back one event at a time (Next); it never touches a
// socket and fires no user events. The client acts on each event, and may stop pulling at
// any point (a handler ended the request) without the reader minding. Every limit against a
// hostile server ends in an Error event, so memory stays bounded whatever arrives.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "http/http_chunked.h"

namespace http {

class THttpReplyReader {
 public:
  enum class TEvent {
    NeedMore,     // nothing complete is held: receive more
    HeaderBegin,  // the first line of a reply is about to be read
    HeaderLine,   // a non-empty header line was read and its values taken (Line/Name/Value)
    Interim,      // a "100 Continue" reply ended; the real reply's status line follows
    HeaderEnd,    // the empty line (or a reply without header); see BodyExpected
    Body,         // a block of body data (BodyBlock), already counted
    DocEnd,       // the body is complete by its length or its last chunk
    Error,        // the reply breaks the protocol or a limit (ErrorText)
  };
  enum class TPhase {
    Header,  // waits for the status line, header lines and the empty line
    Body,    // waits for body bytes: to the length, the last chunk, or the close
    Done,    // the reply is complete; whatever else arrives is not part of it
  };

  static constexpr size_t kMinReceiveRoom = 8192;
  static constexpr size_t kMaxLineLength = 64 * 1024;
  static constexpr size_t kMaxHeaderSize = 1024 * 1024;
  static constexpr int64_t kDefaultMaxBodySize = 256LL * 1024 * 1024;
  // Error texts of the limits.
  static constexpr const char* kLineTooLong = "Reply header line too long";
  static constexpr const char* kBodyTooLarge = "Reply body too large";

  // A new reply to a request: `head` for HEAD, `requestVer` the version sent ("1.0"/"1.1").
  void StartReply(bool head, const std::string& requestVer);
  // Largest body accepted (bytes); more ends the reply with an error.
  void SetMaxBodySize(int64_t value) { FMaxBody = value; }

  // ---- receiving ----
  // Room for the next receive (at least kMinReceiveRoom bytes; one byte is kept spare).
  char* ReceiveSpace(size_t& room);
  void Commit(size_t count) { FEnd += count; }
  void Append(const char* data, size_t count);
  size_t Held() const { return FEnd - FStart; }
  std::string_view HeldBytes() const { return std::string_view(FBuf.data() + FStart, Held()); }
  void DropHeld();
  // How many body bytes may be received straight into the caller's own buffer instead of
  // ReceiveSpace: the rest of a body framed by its length, at most `most`. Zero whenever the
  // bytes must pass through the reader (header, chunks, no length, bytes held, over the limit).
  size_t DirectBodyRoom(size_t most) const;
  // Takes `count` (>0, at most DirectBodyRoom) body bytes received at `data`; the next Next
  // returns them as a Body event, counted and limited as any other. `data` must stay valid
  // until then.
  void TakeDirectBody(const char* data, size_t count);
  // The last Body block is the one given to TakeDirectBody (it stands in the caller's buffer).
  bool BodyBlockDirect() const { return FBlockDirect; }
  // Frees a large buffer after a reply (the next one starts small again).
  void ShrinkBuffer();
  size_t BufferCapacity() const { return FBuf.size(); }

  // The next event. After Error, Next keeps returning Error.
  TEvent Next();
  // Switches to the body after a HeaderEnd with BodyExpected.
  void BeginBody();
  // The body has ended by other means (the connection closed): no more body events.
  void EndBody() { FPhase = TPhase::Done; }

  // ---- what the reader found ----
  TPhase Phase() const { return FPhase; }
  bool HeaderStarted() const { return FLineCount > 0; }
  int LineCount() const { return FLineCount; }
  const std::string& Line() const { return FLine; }    // the line just read
  const std::string& Name() const { return FName; }    // its name, lower-cased ("" without ':')
  const std::string& Value() const { return FValue; }  // its value, leading blanks removed
  bool StatusLineValid() const { return FStatusValid; }
  bool HeaderLess() const { return FHeaderLess; }
  std::string_view BodyBlock() const { return FBlock; }
  const std::string& ErrorText() const { return FError; }

  int StatusCode = 0;
  std::string ReasonPhrase;
  std::string ReplyVer;            // "1.0" or "1.1", empty when unknown
  int64_t ContentLength = -1;      // -1 unknown
  std::string ContentType;         // lower-cased
  std::string TransferEncoding;    // lower-cased
  std::string ContentEncoding;     // as received
  std::vector<std::string> RcvdHeader;
  std::vector<std::string> AuthChallenges;
  bool CloseReq = false;           // the connection ends after this reply
  int64_t RcvdCount = 0;           // body bytes delivered

  // True when a body follows the header (decided at HeaderEnd).
  bool BodyExpected() const;
  // The body runs to the close of the connection (no length, not chunked).
  bool CloseDelimited() const { return ContentLength < 0 && !Chunked(); }
  bool Chunked() const { return TransferEncoding == "chunked"; }
  // The connection may carry the next request: the server keeps it, and nothing of this reply
  // can still arrive (a chunked body ends at its last chunk's size line, and trailer lines
  // still on their way would be read as the next reply's header).
  bool ConnectionReusable() const { return !CloseReq && FTailComplete; }
  const THttpChunkDecoder& ChunkDecoder() const { return FChunk; }

 private:
  TEvent Fail(const std::string& text);
  TEvent HeaderStep();
  TEvent BodyStep();
  bool TakeStatusLine();
  bool TakeHeaderLine();
  void Compact();

  std::vector<char> FBuf;
  size_t FStart = 0, FEnd = 0;
  size_t FScan = 0;  // where the search for LF goes on (nothing before it holds one)

  TPhase FPhase = TPhase::Header;
  bool FHead = false;
  std::string FRequestVer = "1.0";
  int FLineCount = 0;
  bool FHeaderBeginDue = true;
  bool FStatusValid = false;
  bool FHeaderLess = false;
  size_t FHeaderBytes = 0;
  std::string FLine, FName, FValue;
  std::string_view FBlock;
  std::string_view FDirect;  // body bytes received into the caller's buffer, not yet returned
  bool FBlockDirect = false;
  std::string FError;
  bool FFailed = false;
  bool FTailComplete = true;
  int64_t FMaxBody = kDefaultMaxBodySize;
  THttpChunkDecoder FChunk;
};

}  // namespace http
