#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/content_coding.h"
#include "http/http_chunked.h"
#include "http/http_reply.h"

namespace {

using http::THttpReplyReader;
using TEvent = THttpReplyReader::TEvent;

// Drives a reader as the client does and writes down what it saw: events (body blocks
// joined, since their cut depends on how the bytes arrived), the body, and the values.
struct TTranscript {
  std::string Events;
  std::string Body;
  int Status = 0;
  int64_t Length = -1;
  int64_t Rcvd = 0;
  bool Close = false;
  bool operator==(const TTranscript& o) const {
    return Events == o.Events && Body == o.Body && Status == o.Status && Length == o.Length && Rcvd == o.Rcvd &&
           Close == o.Close;
  }
};

[[maybe_unused]] std::ostream& operator<<(std::ostream& os, const TTranscript& t) {
  return os << "{" << t.Events << " body=" << t.Body << " status=" << t.Status << " length=" << t.Length
            << " rcvd=" << t.Rcvd << " close=" << t.Close << "}";
}

void Pull(THttpReplyReader& r, TTranscript& t) {
  for (;;) {
    if (r.Phase() == THttpReplyReader::TPhase::Done || t.Events.find("X:") != std::string::npos) return;
    switch (r.Next()) {
      case TEvent::NeedMore: return;
      case TEvent::HeaderBegin: t.Events += "B|"; break;
      case TEvent::HeaderLine: t.Events += "L:" + r.Line() + "|"; break;
      case TEvent::Interim: t.Events += "I|"; break;
      case TEvent::HeaderEnd:
        t.Events += r.BodyExpected() ? "E+|" : "E-|";
        if (r.BodyExpected()) r.BeginBody(); else r.EndBody();
        break;
      case TEvent::Body:
        if (t.Events.size() < 2 || t.Events.compare(t.Events.size() - 2, 2, "b|") != 0) t.Events += "b|";
        t.Body += r.BodyBlock();
        break;
      case TEvent::DocEnd: t.Events += "D|"; return;
      case TEvent::Error: t.Events += "X:" + r.ErrorText() + "|"; return;
    }
  }
}

TTranscript Feed(const std::string& bytes, const std::vector<size_t>& cuts, bool head = false,
                 const std::string& version = "1.0") {
  THttpReplyReader r;
  r.StartReply(head, version);
  TTranscript t;
  size_t from = 0;
  std::vector<size_t> all = cuts;
  all.push_back(bytes.size());
  for (size_t cut : all) {
    if (cut < from) continue;
    r.Append(bytes.data() + from, cut - from);
    from = cut;
    Pull(r, t);
  }
  t.Status = r.StatusCode;
  t.Length = r.ContentLength;
  t.Rcvd = r.RcvdCount;
  t.Close = r.CloseReq;
  return t;
}

TEST(HttpReplyReader, EverySplitAndByteByByteGiveTheSameResult) {
  const std::vector<std::string> replies = {
      "HTTP/1.0 200 OK\r\nContent-Length: 5\r\nContent-Type: Text/HTML\r\n\r\nhello",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n4\r\nabcd\r\nA;x=y\r\n0123456789\r\n0\r\n\r\n",
      "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\nContent-Length: 2\n\nok",
      "HTTP/1.0 200 OK\r\nContent-Length: nope\r\n\r\nto the close",
      "HTTP/1.1 302 Found\r\nLocation: /x\r\nContent-Length: 0\r\n\r\n",
      "\r\n\r\nHTTP/1.1 204 No Content\r\n\r\n",
      "<HTML>\n<body>no header</body>",
      "HTTP/1.0 2 OK\r\n\r\n",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n12345678901234567\r\n",
      "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhelloEXTRA",
  };
  for (const auto& bytes : replies) {
    const TTranscript whole = Feed(bytes, {});
    std::vector<size_t> each;
    for (size_t i = 1; i < bytes.size(); ++i) {
      EXPECT_EQ(whole, Feed(bytes, {i})) << bytes << " split at " << i;
      each.push_back(i);
    }
    EXPECT_EQ(whole, Feed(bytes, each)) << bytes << " byte by byte";
  }
  // What the whole replies mean.
  TTranscript t = Feed(replies[0], {});
  EXPECT_EQ("B|L:HTTP/1.0 200 OK|L:Content-Length: 5|L:Content-Type: Text/HTML|E+|b|D|", t.Events);
  EXPECT_EQ("hello", t.Body);
  EXPECT_TRUE(t.Close);
  t = Feed(replies[1], {}, false, "1.1");
  EXPECT_EQ("abcd0123456789", t.Body);
  EXPECT_FALSE(t.Close);
  EXPECT_EQ("B|L:HTTP/1.1 100 Continue|I|L:HTTP/1.1 200 OK|L:Content-Length: 2|E+|b|D|", Feed(replies[2], {}).Events);
  t = Feed(replies[3], {});
  EXPECT_EQ(-1, t.Length);
  EXPECT_EQ("to the close", t.Body);  // no DocEnd: the close ends it
  EXPECT_EQ("B|L:HTTP/1.0 200 OK|L:Content-Length: nope|E+|b|", t.Events);
  EXPECT_EQ("B|L:HTTP/1.1 302 Found|L:Location: /x|L:Content-Length: 0|E-|", Feed(replies[4], {}).Events);
  EXPECT_EQ(204, Feed(replies[5], {}).Status);
  t = Feed(replies[6], {});
  EXPECT_EQ("B|E+|b|", t.Events);
  EXPECT_EQ(replies[6], t.Body);  // the whole document, first line included
  EXPECT_EQ("B|X:Bad reply status line|", Feed(replies[7], {}).Events);
  EXPECT_NE(std::string::npos, Feed(replies[8], {}).Events.find(std::string("X:") + http::THttpChunkDecoder::kSizeTooLong + "|"));
  // What comes behind a body of known length is not part of it, even in the same read.
  t = Feed(replies[9], {}, false, "1.1");
  EXPECT_EQ("B|L:HTTP/1.1 200 OK|L:Content-Length: 5|E+|b|D|", t.Events);
  EXPECT_EQ("hello", t.Body);
  EXPECT_EQ(5, t.Rcvd);
}

TEST(HttpReplyReader, StatusAndHeaderLinesGiveTheirValues) {
  THttpReplyReader r;
  r.StartReply(false, "1.1");
  const std::string text =
      "HTTP/1.0  200 Fine Thanks\r\nCONTENT-LENGTH:   42 \r\nTransfer-Encoding: gzip, chunked\r\n"
      "Content-Encoding: Identity\r\nWWW-Authenticate: Basic realm=\"x\"\r\nProxy-Authenticate: NTLM\r\n"
      "Connection: Keep-Alive\r\nNo colon here\r\n\r\n";
  r.Append(text.data(), text.size());
  std::vector<std::string> names;
  TEvent e;
  while ((e = r.Next()) != TEvent::HeaderEnd) {
    ASSERT_NE(TEvent::Error, e);
    ASSERT_NE(TEvent::NeedMore, e);
    if (e == TEvent::HeaderLine) names.push_back(r.Name() + "=" + r.Value());
  }
  EXPECT_EQ(200, r.StatusCode);
  EXPECT_EQ("Fine Thanks", r.ReasonPhrase);
  EXPECT_EQ("1.0", r.ReplyVer);
  EXPECT_EQ(42, r.ContentLength);
  EXPECT_EQ("gzip, chunked", r.TransferEncoding);
  EXPECT_FALSE(r.Chunked());  // only a lone "chunked" is the chunked coding
  EXPECT_EQ("Identity", r.ContentEncoding);
  EXPECT_EQ((std::vector<std::string>{"Basic realm=\"x\"", "NTLM"}), r.AuthChallenges);
  EXPECT_FALSE(r.CloseReq);  // "keep-alive" clears what the 1.0 reply set
  EXPECT_EQ(8u, r.RcvdHeader.size());
  EXPECT_EQ("=", names.front());
  EXPECT_EQ("content-length=42 ", names[1]);
  EXPECT_EQ("=", names.back());  // a line without colon has no name

  // Lengths: signs, blanks, overflow and words all mean "unknown".
  for (const auto& [value, expected] : std::vector<std::pair<std::string, int64_t>>{
           {"0", 0}, {" 17 ", 17}, {"-5", -1}, {"+5", -1}, {"abc", -1}, {"", -1},
           {"9223372036854775807", INT64_MAX}, {"9223372036854775808", -1}, {"1 2", -1}}) {
    r.StartReply(false, "1.0");
    const std::string reply = "HTTP/1.0 200 OK\r\nContent-Length: " + value + "\r\n\r\n";
    r.DropHeld();
    r.Append(reply.data(), reply.size());
    while (r.Next() != TEvent::HeaderEnd) {
    }
    EXPECT_EQ(expected, r.ContentLength) << value;
  }
}

TEST(HttpReplyReader, HostileInputEndsInAnErrorWithBoundedMemory) {
  // An endless header line, an endless header, an endless body: fed in 4 KB pieces until
  // the reader gives up; its buffer never grows with the input.
  struct TCase {
    std::string Start, Unit, Error;
  };
  for (const TCase& c : std::vector<TCase>{{"HTTP/1.0 200 OK\r\nX: ", "a", THttpReplyReader::kLineTooLong},
                                           {"HTTP/1.0 200 OK\r\n", "X-A: b\r\n", "Reply header too large"},
                                           {"HTTP/1.0 200 OK\r\n\r\n", "b", THttpReplyReader::kBodyTooLarge},
                                           {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", "1000\r\n" + std::string(4096, 'c') + "\r\n", THttpReplyReader::kBodyTooLarge}}) {
    THttpReplyReader r;
    r.StartReply(false, "1.0");
    r.SetMaxBodySize(8 * 1024 * 1024);
    std::string piece;
    while (piece.size() < 4096) piece += c.Unit;
    r.Append(c.Start.data(), c.Start.size());
    std::string error;
    size_t fed = 0;
    size_t largest = 0;
    for (int i = 0; i < 100000 && error.empty(); ++i) {
      size_t room;
      char* space = r.ReceiveSpace(room);
      const size_t n = std::min(room, piece.size());
      std::copy(piece.data(), piece.data() + n, space);
      r.Commit(n);
      fed += n;
      for (TEvent e = r.Next(); e != TEvent::NeedMore; e = r.Next()) {
        if (e == TEvent::Error) {
          error = r.ErrorText();
          break;
        }
        if (e == TEvent::HeaderEnd) r.BeginBody();
        if (r.Phase() == THttpReplyReader::TPhase::Done) break;
      }
      largest = std::max(largest, r.BufferCapacity());
    }
    EXPECT_EQ(c.Error, error);
    EXPECT_LT(fed, 16u * 1024 * 1024) << c.Error;
    EXPECT_LE(largest, 256u * 1024) << c.Error;
  }
}

TEST(HttpChunkDecoder, SizesExtensionsAndTheEnd) {
  http::THttpChunkDecoder d;
  std::string body;
  auto run = [&](const std::string& in) {
    size_t at = 0;
    for (;;) {
      size_t used = 0;
      std::string_view out;
      const auto s = d.Step(in.data() + at, in.size() - at, used, out);
      at += used;
      if (s == http::THttpChunkDecoder::TStatus::Data) {
        body += out;
        continue;
      }
      return s;
    }
  };
  EXPECT_EQ(http::THttpChunkDecoder::TStatus::Done, run("4\r\nWiki\r\n5;name=val\r\npedia\r\nE\r\n in\r\n\r\nchunks.\r\n0\r\n"));
  EXPECT_EQ("Wikipedia in\r\n\r\nchunks.", body);
  d.Reset();
  body.clear();
  EXPECT_EQ(http::THttpChunkDecoder::TStatus::NeedMore, run("ffffffffffffffff\r\nab"));  // 16 digits still fit
  EXPECT_EQ(UINT64_MAX, d.ChunkSize());
  EXPECT_EQ("ab", body);
  d.Reset();
  EXPECT_EQ(http::THttpChunkDecoder::TStatus::Error, run("10000000000000000\r\n"));
}

TEST(HttpContentCoding, OnlyPassThroughCodingsAndTheirHeaderText) {
  http::THttpContCodHandler h;
  EXPECT_EQ("", h.HeaderText());  // off
  h.SetEnabled(true);
  EXPECT_EQ("identity", h.HeaderText());
  h.RegisterCoding("x-test", 0.5, [] {
    struct TUpper : http::THttpContentDecoder {
      void Write(std::string_view block, const http::TContentSink& next) override {
        std::string up(block);
        for (char& c : up) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        next(up);
      }
    };
    return std::make_unique<TUpper>();
  });
  EXPECT_EQ("identity, x-test", h.HeaderText());
  h.SetUseQuality(true);
  EXPECT_EQ("identity;q=1, x-test;q=0.5", h.HeaderText());
  std::string out;
  auto sink = [&](std::string_view b) { out += b; };
  for (const auto& [coding, expected] : std::vector<std::pair<std::string, std::string>>{
           {"", "abc"}, {"IDENTITY", "abc"}, {"*", "abc"}, {"x-test", "ABC"}, {"identity, X-Test", "ABC"}, {"gzip", "abc"}, {"x-test, gzip", "abc"}}) {
    out.clear();
    h.Prepare(coding);
    h.Write("abc", sink);
    h.Complete(sink);
    EXPECT_EQ(expected, out) << coding;
  }
}

}  // namespace
