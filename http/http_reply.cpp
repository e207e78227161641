#include "http/http_reply.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "runtime/ascii_text.h"

namespace http {

namespace {

using runtime::Lower;
using runtime::StartsWithNoCase;
using runtime::Trim;

// A decimal length; -1 for anything else, a sign (a negative length means nothing) and
// overflow included.
int64_t ParseLength(std::string_view text) {
  text = Trim(text);
  if (text.empty()) return -1;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    if (value > (INT64_MAX - (c - '0')) / 10) return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

void THttpReplyReader::StartReply(bool head, const std::string& requestVer) {
  FHead = head;
  FRequestVer = requestVer;
  FPhase = TPhase::Header;
  FLineCount = 0;
  FHeaderBeginDue = true;
  FStatusValid = false;
  FHeaderLess = false;
  FHeaderBytes = 0;
  FLine.clear();
  FName.clear();
  FValue.clear();
  FBlock = {};
  FDirect = {};
  FBlockDirect = false;
  FError.clear();
  FFailed = false;
  FTailComplete = true;
  FChunk.Reset();
  StatusCode = 0;
  ReasonPhrase.clear();
  ReplyVer.clear();
  ContentLength = -1;
  ContentType.clear();
  TransferEncoding.clear();
  ContentEncoding.clear();
  RcvdHeader.clear();
  AuthChallenges.clear();
  CloseReq = requestVer == "1.0";
  RcvdCount = 0;
}

void THttpReplyReader::Compact() {
  if (FStart == 0) return;
  const size_t held = Held();
  if (held > 0) std::memmove(FBuf.data(), FBuf.data() + FStart, held);
  FScan -= std::min(FScan, FStart);
  FStart = 0;
  FEnd = held;
}

char* THttpReplyReader::ReceiveSpace(size_t& room) {
  Compact();
  // One byte stays spare, as for a terminating zero.
  const size_t wanted = FEnd + kMinReceiveRoom + 1;
  if (FBuf.size() < wanted) FBuf.resize(std::max<size_t>(wanted, std::max<size_t>(FBuf.size() * 2, 65536)));
  room = FBuf.size() - FEnd - 1;
  return FBuf.data() + FEnd;
}

void THttpReplyReader::Append(const char* data, size_t count) {
  while (count > 0) {
    size_t room;
    char* space = ReceiveSpace(room);
    const size_t n = std::min(room, count);
    std::memcpy(space, data, n);
    Commit(n);
    data += n;
    count -= n;
  }
}

size_t THttpReplyReader::DirectBodyRoom(size_t most) const {
  if (FFailed || FPhase != TPhase::Body || Chunked() || ContentLength < 0 || ContentLength > FMaxBody ||
      Held() > 0 || !FDirect.empty() || RcvdCount >= ContentLength)
    return 0;
  return static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(most), ContentLength - RcvdCount));
}

void THttpReplyReader::TakeDirectBody(const char* data, size_t count) { FDirect = std::string_view(data, count); }

void THttpReplyReader::DropHeld() {
  FStart = FEnd = FScan = 0;
}

void THttpReplyReader::ShrinkBuffer() {
  if (Held() == 0 && FBuf.size() > 256 * 1024) {
    std::vector<char>().swap(FBuf);
    DropHeld();
  }
}

THttpReplyReader::TEvent THttpReplyReader::Fail(const std::string& text) {
  FFailed = true;
  FError = text;
  return TEvent::Error;
}

bool THttpReplyReader::BodyExpected() const {
  if (FHeaderLess) return true;
  if (ContentLength == 0 || FHead) return false;
  if (ContentLength < 0 && !Chunked() &&
      (StatusCode < 200 || StatusCode == 204 || StatusCode == 301 || StatusCode == 302 || StatusCode == 304))
    return false;
  return true;
}

void THttpReplyReader::BeginBody() {
  FPhase = TPhase::Body;
  FChunk.Reset();
  FDirect = {};
  RcvdCount = 0;
}

THttpReplyReader::TEvent THttpReplyReader::Next() {
  if (FFailed) return TEvent::Error;
  switch (FPhase) {
    case TPhase::Header: return HeaderStep();
    case TPhase::Body: return BodyStep();
    case TPhase::Done: return TEvent::NeedMore;
  }
  return TEvent::NeedMore;
}

THttpReplyReader::TEvent THttpReplyReader::HeaderStep() {
  for (;;) {
    if (Held() == 0) return TEvent::NeedMore;
    const char* begin = FBuf.data() + FStart;
    if (FLineCount == 0 && *begin == '<') {
      // A reply without header: an HTML document straight away. Judged on its first bytes,
      // so the whole document, first line included, stays for the body.
      const bool lf = std::memchr(begin, '\n', Held()) != nullptr;
      if (Held() < 9 && !lf) return TEvent::NeedMore;
      const std::string_view start(begin, Held());
      if (StartsWithNoCase(start, "<HTML>") || StartsWithNoCase(start, "<!DOCTYPE")) {
        if (FHeaderBeginDue) {
          FHeaderBeginDue = false;
          return TEvent::HeaderBegin;
        }
        FLineCount = 1;
        FHeaderLess = true;
        if (ContentType.empty()) ContentType = "text/html";
        return TEvent::HeaderEnd;
      }
    }
    const size_t from = std::max(FScan, FStart);
    const void* found = std::memchr(FBuf.data() + from, '\n', FEnd - from);
    if (!found) {
      FScan = FEnd;
      if (Held() > kMaxLineLength) return Fail(kLineTooLong);
      return TEvent::NeedMore;
    }
    const size_t lf = static_cast<size_t>(static_cast<const char*>(found) - FBuf.data());
    size_t length = lf - FStart;
    if (length > kMaxLineLength) return Fail(kLineTooLong);
    FHeaderBytes += length + 1;
    if (FHeaderBytes > kMaxHeaderSize) return Fail("Reply header too large");
    if (length > 0 && FBuf[lf - 1] == '\r') --length;
    // Empty lines before a status line are left-overs of the previous reply (the line end
    // after a last chunk), not an empty header.
    if (FLineCount == 0 && length == 0) {
      FStart = FScan = lf + 1;
      continue;
    }
    if (FLineCount == 0 && FHeaderBeginDue) {
      FHeaderBeginDue = false;
      return TEvent::HeaderBegin;
    }
    FLine.assign(FBuf.data() + FStart, length);
    FStart = FScan = lf + 1;
    if (FStart == FEnd) FStart = FEnd = FScan = 0;
    ++FLineCount;
    if (!FLine.empty()) {
      RcvdHeader.push_back(FLine);
      FName.clear();
      FValue.clear();
      if (FLineCount == 1) {
        if (!TakeStatusLine()) return Fail("Bad reply status line");
      } else {
        TakeHeaderLine();
      }
      return TEvent::HeaderLine;
    }
    if (ReplyVer == "1.1" && StatusCode == 100) {
      RcvdHeader.clear();
      FLineCount = 0;
      return TEvent::Interim;
    }
    return TEvent::HeaderEnd;
  }
}

bool THttpReplyReader::TakeStatusLine() {
  FStatusValid = FLine.compare(0, 8, "HTTP/1.0") == 0 || FLine.compare(0, 8, "HTTP/1.1") == 0;
  if (!FStatusValid) return true;  // no values taken from such a line
  ReplyVer = FLine.substr(5, 3);
  CloseReq = FRequestVer == "1.0" || ReplyVer == "1.0";
  // The status is the three characters from the first digit found from the tenth on.
  const size_t digit = FLine.find_first_of("0123456789", 9);
  if (digit == std::string::npos || digit + 3 > FLine.size()) return false;
  for (size_t i = digit; i < digit + 3; ++i)
    if (!std::isdigit(static_cast<unsigned char>(FLine[i]))) return false;
  StatusCode = (FLine[digit] - '0') * 100 + (FLine[digit + 1] - '0') * 10 + (FLine[digit + 2] - '0');
  ReasonPhrase = digit + 4 <= FLine.size() ? FLine.substr(digit + 4) : std::string();
  return true;
}

bool THttpReplyReader::TakeHeaderLine() {
  const size_t colon = FLine.find(':');
  if (colon == std::string::npos) return false;
  FName = Lower(std::string_view(FLine).substr(0, colon));
  size_t v = colon + 1;
  while (v < FLine.size() && (FLine[v] == ' ' || FLine[v] == '\t')) ++v;
  FValue = FLine.substr(v);
  if (FName == "content-length") {
    ContentLength = ParseLength(FValue);
  } else if (FName == "transfer-encoding") {
    TransferEncoding = Lower(FValue);
  } else if (FName == "content-type") {
    ContentType = Lower(FValue);
  } else if (FName == "content-encoding") {
    ContentEncoding = FValue;
  } else if (FName == "www-authenticate" || FName == "proxy-authenticate") {
    AuthChallenges.push_back(FValue);
  } else if (FName == "connection" || FName == "proxy-connection") {
    const std::string value = Lower(Trim(FValue));
    if (value == "close")
      CloseReq = true;
    else if (value == "keep-alive")
      CloseReq = false;
  }
  return true;
}

THttpReplyReader::TEvent THttpReplyReader::BodyStep() {
  FBlockDirect = false;
  if (!Chunked()) {
    if (ContentLength > FMaxBody) return Fail(kBodyTooLarge);
    if (!FDirect.empty()) {
      // DirectBodyRoom kept these within the length and the limit.
      FBlock = FDirect;
      FDirect = {};
      FBlockDirect = true;
      RcvdCount += static_cast<int64_t>(FBlock.size());
      return TEvent::Body;
    }
    if (ContentLength >= 0 && RcvdCount >= ContentLength) {
      FPhase = TPhase::Done;
      return TEvent::DocEnd;
    }
    if (Held() == 0) return TEvent::NeedMore;
    size_t n = Held();
    if (ContentLength >= 0) n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(n), ContentLength - RcvdCount));
    if (RcvdCount + static_cast<int64_t>(n) > FMaxBody) return Fail(kBodyTooLarge);
    FBlock = std::string_view(FBuf.data() + FStart, n);
    FStart += n;
    FScan = FStart;
    RcvdCount += static_cast<int64_t>(n);
    return TEvent::Body;
  }
  if (Held() == 0) return TEvent::NeedMore;
  size_t consumed = 0;
  std::string_view out;
  const auto status = FChunk.Step(FBuf.data() + FStart, Held(), consumed, out);
  FStart += consumed;
  FScan = FStart;
  if (status == THttpChunkDecoder::TStatus::Error) return Fail(FChunk.ErrorText());
  // A chunk announced beyond the limit fails before its data is waited for.
  if (FChunk.InData() &&
      static_cast<uint64_t>(RcvdCount) + (FChunk.ChunkSize() - FChunk.ChunkRead()) + out.size() >
          static_cast<uint64_t>(FMaxBody))
    return Fail(kBodyTooLarge);
  switch (status) {
    case THttpChunkDecoder::TStatus::Data:
      if (RcvdCount + static_cast<int64_t>(out.size()) > FMaxBody) return Fail(kBodyTooLarge);
      RcvdCount += static_cast<int64_t>(out.size());
      FBlock = out;
      return TEvent::Body;
    case THttpChunkDecoder::TStatus::Done: {
      FPhase = TPhase::Done;
      // What follows the last size line: its line end at once, or trailer lines up to an
      // empty one. Anything less may be completed by bytes still to come.
      const std::string_view tail = HeldBytes();
      FTailComplete = tail.substr(0, 1) == "\n" || tail.substr(0, 2) == "\r\n" ||
                      tail.find("\n\r\n") != std::string_view::npos || tail.find("\n\n") != std::string_view::npos;
      return TEvent::DocEnd;
    }
    default:
      return TEvent::NeedMore;
  }
}

}  // namespace http
