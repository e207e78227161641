// Reads arbitrary bytes as an HTTP reply, once whole and once in pieces cut where the input's
// first bytes say, and requires the same events, values and body both times. Location values
// go through the relocation helpers, whose request target must never hold a byte that could
// end the request line. The buffer must stay bounded whatever arrives.
//
// Input: byte 0 chooses the request (bit 0 HEAD, bit 1 version 1.1), bytes 1-2 seed the cuts,
// the rest is the reply.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "http/http_reply.h"
#include "http/url.h"

namespace {

struct TResult {
  std::string Events;
  std::string Body;
  int Status = 0;
  int64_t Length = -1;
  bool Close = false;
  bool operator!=(const TResult& o) const {
    return Events != o.Events || Body != o.Body || Status != o.Status || Length != o.Length || Close != o.Close;
  }
};

void Check(bool ok) {
  if (!ok) std::abort();
}

void CheckLocation(const std::string& value) {
  std::string proto, user, pass, host, port, path = "/a/b/c?q=1";
  http::SplitUrl(value, proto, user, pass, host, port, path);
  const std::string relative = http::PathDirectory("/a/b/c?q=1") + value;
  for (const std::string& target : {path, relative}) {
    const std::string wire = http::EncodeRequestTarget(target);
    for (unsigned char c : wire) Check(c > 32 && c != 127);
  }
  Check(!http::HasLineBreak(host) || http::HasLineBreak(value));
  Check(http::DocumentNameOf(path).size() <= 255 && !http::DocumentNameOf(path).empty());
}

void Pull(http::THttpReplyReader& r, TResult& t, bool& failed) {
  using TEvent = http::THttpReplyReader::TEvent;
  while (!failed && r.Phase() != http::THttpReplyReader::TPhase::Done) {
    switch (r.Next()) {
      case TEvent::NeedMore: return;
      case TEvent::HeaderBegin: t.Events += "B"; break;
      case TEvent::HeaderLine:
        t.Events += "L" + r.Line() + "\n";
        if (r.Name() == "location") CheckLocation(r.Value());
        break;
      case TEvent::Interim: t.Events += "I"; break;
      case TEvent::HeaderEnd:
        t.Events += r.BodyExpected() ? "E+" : "E-";
        if (r.BodyExpected()) r.BeginBody(); else r.EndBody();
        break;
      case TEvent::Body:
        t.Body += r.BodyBlock();
        Check(static_cast<int64_t>(t.Body.size()) == r.RcvdCount);
        Check(r.Chunked() || r.ContentLength < 0 || r.RcvdCount <= r.ContentLength);  // chunks outrank a length
        break;
      case TEvent::DocEnd: t.Events += "D"; return;
      case TEvent::Error:
        t.Events += "X" + r.ErrorText();
        failed = true;
        return;
    }
  }
}

TResult Read(std::string_view reply, bool head, const char* version, uint32_t seed) {
  http::THttpReplyReader r;
  r.StartReply(head, version);
  r.SetMaxBodySize(1 << 16);
  TResult t;
  bool failed = false;
  size_t at = 0;
  while (at < reply.size() && !failed) {
    size_t n = reply.size() - at;
    if (seed != 0) {
      seed = seed * 1103515245u + 12345u;
      n = std::min<size_t>(n, 1 + (seed >> 16) % 17);
    }
    r.Append(reply.data() + at, n);
    at += n;
    Pull(r, t, failed);
    Check(r.BufferCapacity() <= 4 * 1024 * 1024);
  }
  t.Status = r.StatusCode;
  t.Length = r.ContentLength;
  t.Close = r.CloseReq;
  return t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const bool head = data[0] & 1;
  const char* version = data[0] & 2 ? "1.1" : "1.0";
  const uint32_t seed = (static_cast<uint32_t>(data[1]) << 8 | data[2]) | 1u;
  const std::string_view reply(reinterpret_cast<const char*>(data) + 3, size - 3);
  const TResult whole = Read(reply, head, version, 0);
  const TResult pieces = Read(reply, head, version, seed);
  Check(!(whole != pieces));
  return 0;
}
