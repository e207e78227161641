#include "http/http_digest.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <strings.h>

#include "http/md5.h"

namespace http {
namespace {

// The value of `name` in its quoted form (name="value"), or nothing when absent.
bool FindQuoted(std::string_view text, std::string_view name, std::string& value) {
  std::string key = std::string(name) + "=\"";
  size_t at = text.find(key);
  if (at == std::string_view::npos) return false;
  size_t start = at + key.size();
  size_t end = text.find('"', start);
  value = std::string(text.substr(start, end == std::string_view::npos ? end : end - start));
  return true;
}

bool FindUnquoted(std::string_view text, std::string_view name, std::string& value) {
  std::string key = std::string(name) + "=";
  size_t at = text.find(key);
  if (at == std::string_view::npos) return false;
  size_t start = at + key.size();
  size_t end = text.find(',', start);
  value = std::string(text.substr(start, end == std::string_view::npos ? end : end - start));
  return true;
}

uint32_t RandomWord() {
  uint32_t value = 0;
  unsigned char* p = reinterpret_cast<unsigned char*>(&value);
  size_t got = 0;
  while (got < sizeof value) {
    ssize_t n = getrandom(p + got, sizeof value - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      // Without the system's random source there is no safe nonce to send.
      throw std::runtime_error("no random source for the Digest client nonce");
    }
    got += static_cast<size_t>(n);
  }
  return value;
}

std::string Hex8(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", value);
  return text;
}

}  // namespace

TDigestChallenge ParseDigestChallenge(std::string_view params) {
  TDigestChallenge c;
  FindQuoted(params, "realm", c.Realm);
  FindQuoted(params, "domain", c.Domain);
  FindQuoted(params, "nonce", c.Nonce);
  FindQuoted(params, "opaque", c.Opaque);
  std::string stale;
  if (FindQuoted(params, "stale", stale)) c.Stale = strcasecmp(stale.c_str(), "true") == 0;
  if (!FindQuoted(params, "algorithm", c.Algorithm) &&
      !FindUnquoted(params, "algorithm", c.Algorithm))
    c.Algorithm = "MD5";
  if (!FindQuoted(params, "qop", c.Qop)) FindUnquoted(params, "qop", c.Qop);
  return c;
}

bool DigestChallengeUsable(const TDigestChallenge& c) {
  // The values go back into a header line: a line break or NUL in them would end it early.
  for (const std::string* value : {&c.Realm, &c.Nonce, &c.Opaque})
    if (value->find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) return false;
  return !c.Nonce.empty() && (c.Algorithm == "MD5" || c.Algorithm == "MD5-sess") &&
         (c.Qop.empty() || c.Qop == "auth");
}

std::string DigestClientNonce() {
  for (;;) {
    uint32_t v = RandomWord() & 0x7FFFFFFFu;
    if (v < 2147483647u) return Hex8(v);
  }
}

std::string DigestNonceCountText(uint32_t count) { return Hex8(count); }

std::string DigestAuthorization(const TDigestChallenge& c, std::string_view user,
                                std::string_view password, std::string_view method,
                                std::string_view uri, std::string_view nc,
                                std::string_view cnonce) {
  TMd5 first;
  first.Update(user);
  first.Update(":");
  first.Update(c.Realm);
  first.Update(":");
  first.Update(password);
  TMd5Digest ha1 = first.Final();
  if (strcasecmp(c.Algorithm.c_str(), "MD5-sess") == 0) {
    // The session key hashes the 16 raw bytes of the first digest, not its hex text.
    TMd5 sess;
    sess.Update(ha1.data(), ha1.size());
    sess.Update(":");
    sess.Update(c.Nonce);
    sess.Update(":");
    sess.Update(cnonce);
    ha1 = sess.Final();
  }
  std::string ha1Hex = DigestToHex(ha1.data(), ha1.size());

  std::string a2;
  a2.append(method).append(":").append(uri);
  std::string ha2Hex = Md5Hex(a2);

  std::string kd = ha1Hex + ":" + c.Nonce + ":";
  if (!c.Qop.empty()) kd.append(nc).append(":").append(cnonce).append(":").append(c.Qop).append(":");
  kd += ha2Hex;
  std::string response = Md5Hex(kd);

  std::string out;
  out.append("username=\"").append(user).append("\"");
  out.append(",realm=\"").append(c.Realm).append("\"");
  out.append(",nonce=\"").append(c.Nonce).append("\"");
  out.append(",uri=\"").append(uri).append("\"");
  out.append(",response=\"").append(response).append("\"");
  if (!c.Opaque.empty()) out.append(",opaque=\"").append(c.Opaque).append("\"");
  if (c.Algorithm == "MD5-sess") out.append(",algorithm=").append(c.Algorithm);
  if (!c.Qop.empty()) {
    out.append(",qop=").append(c.Qop);
    out.append(",nc=").append(nc);
    out.append(",cnonce=\"").append(cnonce).append("\"");
  }
  return out;
}

}  // namespace http
