#pragma once
// NTLM version 1 authentication messages: the negotiate message (type 1), reading the
// server's challenge (type 2), and the authenticate message (type 3) with the LM and NT
// responses. Messages are raw bytes here; the client Base64-encodes them for the header.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace http {

using TNtlmHash = std::array<uint8_t, 16>;
using TNtlmResponse = std::array<uint8_t, 24>;

// What this client takes from a challenge message.
struct TNtlmChallenge {
  bool Unicode = false;                // the peer takes UTF-16 names
  std::array<uint8_t, 8> Challenge{};  // the server challenge the responses encrypt
};

// The 32-byte negotiate message: Unicode, OEM, request target, NTLM and always-sign flags,
// no domain and no workstation.
std::string NtlmType1Message();

// Reads a challenge message. A message too short to hold the challenge (under 48 bytes),
// or one without the NTLM signature and type 2, gives nothing: the caller must then not
// answer, rather than build a response from whatever bytes arrived.
std::optional<TNtlmChallenge> ParseNtlmType2Message(std::string_view message);

// The LM hash: the 8-bit password in upper case, cut or zero-padded to 14 bytes, each
// 7-byte half used as a DES key on "KGS!@#$%".
TNtlmHash NtlmLmHash(std::string_view password);

// The NT hash: MD4 of the password in UTF-16 little-endian. The peer computes it from
// the Unicode password whatever the message flags say, so it is always computed that way.
TNtlmHash NtlmNtHash(std::string_view password);

// A 16-byte hash padded to 21 bytes, cut into three DES keys that each encrypt the
// challenge; the three results side by side.
TNtlmResponse NtlmResponse(const TNtlmHash& hash, const std::array<uint8_t, 8>& challenge);

// The authenticate message. `user` may be "domain\user": the part before the first "\"
// goes in the domain field. With the Unicode flag the texts go as UTF-16 little-endian;
// without it the user name goes in the OEM code page and domain and workstation as typed.
std::string NtlmType3Message(const TNtlmChallenge& challenge, std::string_view user,
                             std::string_view password, std::string_view workstation);

}  // namespace http
