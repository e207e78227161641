// Basic, Digest and NTLM message building against published examples and independent
// computations, and the decoding of what a peer sends.

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "http/url.h"
#include "http/http_basic.h"
#include "http/http_digest.h"
#include "http/http_ntlm.h"
#include "http/md5.h"

using namespace http;

namespace {

template <size_t N>
std::string Hex(const std::array<uint8_t, N>& a) { return DigestToHex(a.data(), N); }

uint32_t Le16(const std::string& m, size_t at) {
  return uint32_t(uint8_t(m[at])) | uint32_t(uint8_t(m[at + 1])) << 8;
}
uint32_t Le32(const std::string& m, size_t at) { return Le16(m, at) | Le16(m, at + 2) << 16; }

// The payload a type 3 security buffer at `at` points to; checks length == maximum length.
std::string Field(const std::string& m, size_t at) {
  EXPECT_EQ(Le16(m, at), Le16(m, at + 2)) << "buffer at " << at;
  size_t length = Le16(m, at), offset = Le32(m, at + 4);
  if (offset + length > m.size()) return "<out of range>";
  return m.substr(offset, length);
}

std::string Utf16(const std::string& ascii) {
  std::string out;
  for (char c : ascii) out += std::string{c, '\0'};
  return out;
}

std::string Type2(uint32_t flags, const std::string& challenge, size_t length = 48) {
  std::string m(length, '\0');
  m.replace(0, 8, std::string("NTLMSSP\0", 8));
  m[8] = 2;
  for (int i = 0; i < 4; ++i) m[20 + i] = static_cast<char>(flags >> (8 * i));
  m.replace(24, 8, challenge);
  return m;
}

const std::string kChallenge("\x01\x23\x45\x67\x89\xab\xcd\xef", 8);

}  // namespace

TEST(BasicAuth, EncodesUserColonPassword) {
  EXPECT_EQ(BasicAuthorization("Aladdin", "open sesame"), "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
  EXPECT_EQ(Base64Decode(BasicAuthorization("dom\\j\xE1n", "p:w")), "dom\\j\xE1n:p:w");
}

TEST(DigestAuth, ParsesQuotedAndUnquotedParametersWithDefaults) {
  TDigestChallenge c = ParseDigestChallenge(
      "realm=\"testrealm@host.com\", qop=\"auth\", nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\","
      " opaque=\"5ccc069c403ebaf9f0171e9517f40e41\", domain=\"/x /y\", stale=\"TRUE\"");
  EXPECT_EQ(c.Realm, "testrealm@host.com");
  EXPECT_EQ(c.Nonce, "dcd98b7102dd2f0e8b11d0f600bfb0c093");
  EXPECT_EQ(c.Opaque, "5ccc069c403ebaf9f0171e9517f40e41");
  EXPECT_EQ(c.Domain, "/x /y");
  EXPECT_TRUE(c.Stale);
  EXPECT_EQ(c.Algorithm, "MD5");
  EXPECT_EQ(c.Qop, "auth");
  EXPECT_EQ(c.NonceCount, 0u);

  // What a proxy sends: unquoted stale (ignored), unquoted algorithm and qop.
  c = ParseDigestChallenge("realm=\"r\", nonce=\"n\", algorithm=MD5-sess, qop=auth, stale=true");
  EXPECT_FALSE(c.Stale);
  EXPECT_EQ(c.Algorithm, "MD5-sess");
  EXPECT_EQ(c.Qop, "auth");
  c = ParseDigestChallenge("nonce=\"n\",qop=auth");
  EXPECT_EQ(c.Qop, "auth");
  EXPECT_EQ(c.Realm, "");
}

TEST(DigestAuth, OnlyAnswerableChallengesAreUsable) {
  using namespace std::string_literals;
  struct Case { std::string params; bool usable; };
  const Case cases[] = {
      {"realm=\"r\", nonce=\"n\"", true},
      {"realm=\"r\", nonce=\"n\", qop=\"auth\"", true},
      {"realm=\"r\", nonce=\"n\", algorithm=\"MD5-sess\"", true},
      {"realm=\"r\", nonce=\"n\", qop=\"auth,auth-int\"", false},
      {"realm=\"r\", nonce=\"n\", qop=\"auth-int\"", false},
      {"realm=\"r\", nonce=\"n\", algorithm=SHA-256", false},
      {"realm=\"r\", nonce=\"n\", algorithm=md5", false},
      {"realm=\"r\"", false},
      {"realm=\"r\", nonce=\"\"", false},
      {"realm=\"r\rX-Injected: 1\", nonce=\"n\"", false},
      {"realm=\"r\", nonce=\"n\nX\"", false},
      // The opaque value goes back too; and a NUL ends a line wherever it stands.
      {"realm=\"r\", nonce=\"n\", opaque=\"o\rX-Injected: 1\"", false},
      {"realm=\"r\", nonce=\"n\", opaque=\"o\nX\"", false},
      {"realm=\"r\", nonce=\"n\", opaque=\"o\0p\""s, false},
      {"realm=\"r\0s\", nonce=\"n\""s, false},
      {"realm=\"r\", nonce=\"n\0m\""s, false},
      {"realm=\"r\", nonce=\"n\", qop=\"auth\0\""s, false},
      {"realm=\"r\", nonce=\"n\", algorithm=\"MD5\0\""s, false},
      {"realm=\"r\", nonce=\"n\", opaque=\"o\"", true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(DigestChallengeUsable(ParseDigestChallenge(c.params)), c.usable) << c.params;
}

TEST(DigestAuth, AnswersMatchThePublishedExampleAndIndependentDigests) {
  TDigestChallenge c = ParseDigestChallenge(
      "realm=\"testrealm@host.com\", qop=\"auth\", nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\","
      " opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"");
  // The published example (its client nonce is lower case; ours are upper case).
  EXPECT_EQ(DigestAuthorization(c, "Mufasa", "Circle Of Life", "GET", "/dir/index.html",
                                "00000001", "0a4f113b"),
            "username=\"Mufasa\",realm=\"testrealm@host.com\","
            "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\",uri=\"/dir/index.html\","
            "response=\"6629fae49393a05397450978507c4ef1\","
            "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\",qop=auth,nc=00000001,"
            "cnonce=\"0a4f113b\"");

  // MD5-sess: the session key hashes the raw first digest (computed elsewhere).
  c.Algorithm = "MD5-sess";
  c.Opaque.clear();
  std::string sess = DigestAuthorization(c, "Mufasa", "Circle Of Life", "GET",
                                         "/dir/index.html", "00000001", "0A4F113B");
  EXPECT_NE(sess.find("response=\"86f0f8b6136e4dc4fd5dabcc01409484\""), std::string::npos) << sess;
  EXPECT_NE(sess.find(",algorithm=MD5-sess,qop=auth,nc=00000001,cnonce=\"0A4F113B\""),
            std::string::npos) << sess;
  EXPECT_EQ(sess.find("opaque"), std::string::npos);

  // Without qop: no nc, cnonce or qop, and the short form of the response.
  c.Algorithm = "MD5";
  c.Qop.clear();
  EXPECT_EQ(DigestAuthorization(c, "Mufasa", "Circle Of Life", "GET", "/dir/index.html",
                                "00000001", "0A4F113B"),
            "username=\"Mufasa\",realm=\"testrealm@host.com\","
            "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\",uri=\"/dir/index.html\","
            "response=\"670fd8c2df070c60b045671b8b24ff02\"");
}

TEST(DigestAuth, ClientNoncesAreRandomEightHexDigitNumbersBelowTheLimit) {
  std::set<std::string> seen;
  for (int i = 0; i < 64; ++i) {
    std::string n = DigestClientNonce();
    ASSERT_EQ(n.size(), 8u);
    ASSERT_EQ(n.find_first_not_of("0123456789ABCDEF"), std::string::npos) << n;
    ASSERT_LT(std::stoul(n, nullptr, 16), 2147483647ul);
    seen.insert(n);
  }
  // A predictable generator seeded per call (or per second) would repeat itself here.
  EXPECT_GT(seen.size(), 60u);
  EXPECT_EQ(DigestNonceCountText(26), "0000001A");
}

TEST(NtlmAuth, PublishedExampleHashesAndResponses) {
  std::array<uint8_t, 8> challenge;
  std::copy(kChallenge.begin(), kChallenge.end(), challenge.begin());
  EXPECT_EQ(Hex(NtlmNtHash("Password")), "a4f49c406510bdcab6824ee7c30fd852");
  EXPECT_EQ(Hex(NtlmLmHash("Password")), "e52cac67419a9a224a3b108f3fa6cb6d");
  EXPECT_EQ(Hex(NtlmResponse(NtlmLmHash("Password"), challenge)),
            "98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13");
  EXPECT_EQ(Hex(NtlmResponse(NtlmNtHash("Password"), challenge)),
            "67c43011f30298a2ad35ece64f16331c44bdbed927841f94");
  // The LM hash takes at most 14 upper-cased characters; accented letters upper-case too.
  EXPECT_EQ(NtlmLmHash("password"), NtlmLmHash("PASSWORD"));
  EXPECT_EQ(NtlmLmHash("abcdefghijklmnXYZ"), NtlmLmHash("ABCDEFGHIJKLMN"));
  EXPECT_EQ(NtlmLmHash("\xE1\x9A"), NtlmLmHash("\xC1\x8A"));  // a-acute s-caron
}

TEST(NtlmAuth, NegotiateMessageBytes) {
  EXPECT_EQ(NtlmType1Message(), std::string("NTLMSSP\0\x01\0\0\0\x07\x82\0\0", 16) +
                                    std::string(16, '\0'));
}

TEST(NtlmAuth, ChallengeMessagesTooShortOrForeignAreRefused) {
  auto c = ParseNtlmType2Message(Type2(0x00008201, kChallenge));
  ASSERT_TRUE(c.has_value());
  EXPECT_TRUE(c->Unicode);
  EXPECT_EQ(std::string(c->Challenge.begin(), c->Challenge.end()), kChallenge);
  c = ParseNtlmType2Message(Type2(0x00008202, kChallenge, 60));
  ASSERT_TRUE(c.has_value());
  EXPECT_FALSE(c->Unicode);

  EXPECT_FALSE(ParseNtlmType2Message(Type2(1, kChallenge).substr(0, 47)));
  EXPECT_FALSE(ParseNtlmType2Message(""));
  std::string wrongType = Type2(1, kChallenge);
  wrongType[8] = 3;
  EXPECT_FALSE(ParseNtlmType2Message(wrongType));
  std::string noSignature = Type2(1, kChallenge);
  noSignature[0] = 'X';
  EXPECT_FALSE(ParseNtlmType2Message(noSignature));
}

TEST(NtlmAuth, AuthenticateMessageLayoutInBothCharacterSets) {
  TNtlmChallenge unicode{true, {}};
  std::copy(kChallenge.begin(), kChallenge.end(), unicode.Challenge.begin());
  TNtlmChallenge oem = unicode;
  oem.Unicode = false;

  struct Case {
    const TNtlmChallenge* challenge;
    std::string user, domainField, userField, workstationField;
    uint32_t flags;
  };
  const Case cases[] = {
      {&unicode, "DOMAIN\\user", Utf16("DOMAIN"), Utf16("user"), Utf16("WS"), 0x8205},
      {&unicode, "user@realm", "", Utf16("user@realm"), Utf16("WS"), 0x8205},
      {&unicode, "a\\b\\c", Utf16("a"), Utf16("b\\c"), Utf16("WS"), 0x8205},
      // Without Unicode the user name goes in code page 852 (s-caron 0x9A -> 0xE7).
      {&oem, "Dom\\\x9A" "ef", "Dom", "\xE7" "ef", "WS", 0x8206},
  };
  for (const Case& c : cases) {
    std::string m = NtlmType3Message(*c.challenge, c.user, "Password", "WS");
    ASSERT_GE(m.size(), 64u);
    EXPECT_EQ(m.substr(0, 12), std::string("NTLMSSP\0\x03\0\0\0", 12));
    EXPECT_EQ(Field(m, 28), c.domainField) << c.user;
    EXPECT_EQ(Field(m, 36), c.userField) << c.user;
    EXPECT_EQ(Field(m, 44), c.workstationField) << c.user;
    std::string lm = Field(m, 12), nt = Field(m, 20);
    EXPECT_EQ(DigestToHex(reinterpret_cast<const uint8_t*>(lm.data()), lm.size()),
              "98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13");
    EXPECT_EQ(DigestToHex(reinterpret_cast<const uint8_t*>(nt.data()), nt.size()),
              "67c43011f30298a2ad35ece64f16331c44bdbed927841f94");
    EXPECT_EQ(m.substr(52, 8), std::string(8, '\0'));  // empty session key
    EXPECT_EQ(Le32(m, 60), c.flags);
    // Payload order: domain at 64, then user, workstation, LM and NT; nothing after.
    EXPECT_EQ(Le32(m, 32), 64u);
    EXPECT_EQ(Le32(m, 40), 64u + c.domainField.size());
    EXPECT_EQ(Le32(m, 48), Le32(m, 40) + c.userField.size());
    EXPECT_EQ(Le32(m, 16), Le32(m, 48) + c.workstationField.size());
    EXPECT_EQ(Le32(m, 24), Le32(m, 16) + 24);
    EXPECT_EQ(m.size(), Le32(m, 24) + 24);
  }
}
