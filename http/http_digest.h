#pragma once
// Digest authentication with MD5 and MD5-sess, quality of protection "auth" or none:
// reading a challenge and building the answer. Pure functions; the client keeps one
// challenge per direction (server, proxy) and decides the nonce count.

#include <cstdint>
#include <string>
#include <string_view>

namespace http {

struct TDigestChallenge {
  std::string Realm;
  std::string Domain;
  std::string Nonce;
  std::string Opaque;
  bool Stale = false;
  std::string Algorithm = "MD5";
  std::string Qop;
  uint32_t NonceCount = 0;  // requests answered with this nonce, kept by the client
};

// Reads the parameters of a challenge (the text after "Digest "). Each parameter is found
// by its name and "=" from the start of the text; quoted values run to the next double
// quotation mark, unquoted ones to the next ",". Absent parameters keep the defaults above.
TDigestChallenge ParseDigestChallenge(std::string_view params);

// Only challenges this client can answer: a nonce, algorithm exactly "MD5" or "MD5-sess",
// qop empty or exactly "auth" (a list such as "auth,auth-int" is refused), and no line
// break or NUL in the values that the answer repeats.
bool DigestChallengeUsable(const TDigestChallenge& challenge);

// A client nonce: a number below 2147483647 from the system's random source, as eight
// upper-case hexadecimal digits. A predictable nonce would let an observer precompute answers.
std::string DigestClientNonce();

// The nonce count as sent in "nc=": eight upper-case hexadecimal digits.
std::string DigestNonceCountText(uint32_t count);

// The value that follows "Authorization: Digest " (or "Proxy-Authorization: Digest ").
// `nc` and `cnonce` are used only when the challenge has a qop (cnonce also for MD5-sess).
std::string DigestAuthorization(const TDigestChallenge& challenge, std::string_view user,
                                std::string_view password, std::string_view method,
                                std::string_view uri, std::string_view nc,
                                std::string_view cnonce);

}  // namespace http
