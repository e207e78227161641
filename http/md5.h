#pragma once
// MD5 message digest, used by Digest authentication. Kept in-house because the TLS library
// is loaded only when a TLS connection is made, and a proxy may ask for Digest before that.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace http {

using TMd5Digest = std::array<uint8_t, 16>;

// Incremental digest: Update any number of times, then Final once.
class TMd5 {
 public:
  TMd5();
  void Update(const void* data, size_t length);
  void Update(std::string_view data) { Update(data.data(), data.size()); }
  TMd5Digest Final();

 private:
  void Block(const uint8_t* p);
  uint32_t FState[4];
  uint64_t FLength = 0;  // bytes fed so far
  uint8_t FBuffer[64];
  size_t FFill = 0;
};

TMd5Digest Md5(std::string_view data);

// The digest as 32 lower-case hexadecimal digits.
std::string Md5Hex(std::string_view data);
std::string DigestToHex(const uint8_t* digest, size_t length);

}  // namespace http
