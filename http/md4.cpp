#include "http/md4.h"

#include <cstring>
#include <vector>

namespace http {
namespace {

inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void Block(uint32_t state[4], const uint8_t* p) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i)
    x[i] = uint32_t(p[4 * i]) | uint32_t(p[4 * i + 1]) << 8 | uint32_t(p[4 * i + 2]) << 16 |
           uint32_t(p[4 * i + 3]) << 24;
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];

  auto f = [](uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (~x & z); };
  auto g = [](uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (x & z) | (y & z); };
  auto h = [](uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; };

  // Round 1: words in order, shifts 3 7 11 19.
  static constexpr int kS1[4] = {3, 7, 11, 19};
  for (int i = 0; i < 16; ++i) {
    uint32_t t = Rotl(a + f(b, c, d) + x[i], kS1[i % 4]);
    a = d; d = c; c = b; b = t;
  }
  // Round 2: words by column, shifts 3 5 9 13.
  static constexpr int kS2[4] = {3, 5, 9, 13};
  static constexpr int kW2[16] = {0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15};
  for (int i = 0; i < 16; ++i) {
    uint32_t t = Rotl(a + g(b, c, d) + x[kW2[i]] + 0x5A827999u, kS2[i % 4]);
    a = d; d = c; c = b; b = t;
  }
  // Round 3: bit-reversed word order, shifts 3 9 11 15.
  static constexpr int kS3[4] = {3, 9, 11, 15};
  static constexpr int kW3[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
  for (int i = 0; i < 16; ++i) {
    uint32_t t = Rotl(a + h(b, c, d) + x[kW3[i]] + 0x6ED9EBA1u, kS3[i % 4]);
    a = d; d = c; c = b; b = t;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

}  // namespace

TMd4Digest Md4(std::string_view data) {
  uint32_t state[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  size_t whole = data.size() / 64 * 64;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(data.data());
  for (size_t i = 0; i < whole; i += 64) Block(state, p + i);

  // The tail, a 0x80 byte, zero padding to 56 mod 64, and the bit length.
  uint8_t tail[128] = {};
  size_t rest = data.size() - whole;
  std::memcpy(tail, p + whole, rest);
  tail[rest] = 0x80;
  size_t tailLength = rest < 56 ? 64 : 128;
  uint64_t bits = uint64_t(data.size()) * 8;
  for (int i = 0; i < 8; ++i) tail[tailLength - 8 + i] = uint8_t(bits >> (8 * i));
  for (size_t i = 0; i < tailLength; i += 64) Block(state, tail + i);

  TMd4Digest out;
  for (int i = 0; i < 4; ++i)
    for (int k = 0; k < 4; ++k) out[4 * i + k] = uint8_t(state[i] >> (8 * k));
  return out;
}

}  // namespace http
