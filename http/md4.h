#pragma once
// MD4 message digest: the NT password hash of NTLM authentication. In-house because the TLS
// library keeps MD4 only in a provider that is not loaded by default.

#include <array>
#include <cstdint>
#include <string_view>

namespace http {

using TMd4Digest = std::array<uint8_t, 16>;

TMd4Digest Md4(std::string_view data);

}  // namespace http
