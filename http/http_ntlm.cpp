#include "http/http_ntlm.h"

#include <cstring>

#include "http/des.h"
#include "http/md4.h"
#include "runtime/codepage.h"

namespace http {
namespace {

constexpr char kSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', '\0'};
constexpr size_t kType2MinLength = 48;
constexpr size_t kType3HeaderLength = 64;

void PutLe16(std::string& msg, size_t at, uint32_t v) {
  msg[at] = static_cast<char>(v & 0xFF);
  msg[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}

void PutLe32(std::string& msg, size_t at, uint32_t v) {
  PutLe16(msg, at, v & 0xFFFF);
  PutLe16(msg, at + 2, v >> 16);
}

uint32_t GetLe32(std::string_view msg, size_t at) {
  return uint32_t(uint8_t(msg[at])) | uint32_t(uint8_t(msg[at + 1])) << 8 |
         uint32_t(uint8_t(msg[at + 2])) << 16 | uint32_t(uint8_t(msg[at + 3])) << 24;
}

std::string Utf16Le(std::string_view ansi) {
  std::u16string wide = runtime::AnsiToWide(ansi);
  std::string out(wide.size() * 2, '\0');
  for (size_t i = 0; i < wide.size(); ++i) {
    out[2 * i] = static_cast<char>(wide[i] & 0xFF);
    out[2 * i + 1] = static_cast<char>(wide[i] >> 8);
  }
  return out;
}

// A security buffer: length, the same as maximum length, and the payload's offset.
void PutSecurityBuffer(std::string& msg, size_t at, size_t length, size_t offset) {
  PutLe16(msg, at, static_cast<uint32_t>(length));
  PutLe16(msg, at + 2, static_cast<uint32_t>(length));
  PutLe32(msg, at + 4, static_cast<uint32_t>(offset));
}

}  // namespace

std::string NtlmType1Message() {
  std::string msg(32, '\0');
  std::memcpy(msg.data(), kSignature, 8);
  PutLe32(msg, 8, 1);
  PutLe32(msg, 12, 0x00008207);
  return msg;
}

std::optional<TNtlmChallenge> ParseNtlmType2Message(std::string_view message) {
  if (message.size() < kType2MinLength) return std::nullopt;
  if (std::memcmp(message.data(), kSignature, 8) != 0 || GetLe32(message, 8) != 2)
    return std::nullopt;
  TNtlmChallenge c;
  c.Unicode = (GetLe32(message, 20) & 1) != 0;
  std::memcpy(c.Challenge.data(), message.data() + 24, 8);
  return c;
}

TNtlmHash NtlmLmHash(std::string_view password) {
  uint8_t key14[14] = {};
  std::string upper = runtime::AnsiUpperCase(password.substr(0, 14));
  std::memcpy(key14, upper.data(), upper.size());
  static const uint8_t kMagic[8] = {'K', 'G', 'S', '!', '@', '#', '$', '%'};
  TNtlmHash hash;
  for (int half = 0; half < 2; ++half) {
    TDesBlock key = DesKeyFrom56(key14 + 7 * half);
    TDesBlock out = DesEncrypt(key.data(), kMagic);
    std::memcpy(hash.data() + 8 * half, out.data(), 8);
  }
  return hash;
}

TNtlmHash NtlmNtHash(std::string_view password) { return Md4(Utf16Le(password)); }

TNtlmResponse NtlmResponse(const TNtlmHash& hash, const std::array<uint8_t, 8>& challenge) {
  uint8_t key21[21] = {};
  std::memcpy(key21, hash.data(), hash.size());
  TNtlmResponse response;
  for (int part = 0; part < 3; ++part) {
    TDesBlock key = DesKeyFrom56(key21 + 7 * part);
    TDesBlock out = DesEncrypt(key.data(), challenge.data());
    std::memcpy(response.data() + 8 * part, out.data(), 8);
  }
  return response;
}

std::string NtlmType3Message(const TNtlmChallenge& challenge, std::string_view user,
                             std::string_view password, std::string_view workstation) {
  std::string_view domain;
  size_t slash = user.find('\\');
  if (slash != std::string_view::npos) {
    domain = user.substr(0, slash);
    user = user.substr(slash + 1);
  }

  std::string domainField, userField, workstationField;
  if (challenge.Unicode) {
    domainField = Utf16Le(domain);
    userField = Utf16Le(user);
    workstationField = Utf16Le(workstation);
  } else {
    domainField = std::string(domain);
    userField = runtime::AnsiToOem(user);
    workstationField = std::string(workstation);
  }
  TNtlmResponse lm = NtlmResponse(NtlmLmHash(password), challenge.Challenge);
  TNtlmResponse nt = NtlmResponse(NtlmNtHash(password), challenge.Challenge);

  std::string msg(kType3HeaderLength, '\0');
  std::memcpy(msg.data(), kSignature, 8);
  PutLe32(msg, 8, 3);
  size_t offset = kType3HeaderLength;
  size_t domainAt = offset;
  size_t userAt = domainAt + domainField.size();
  size_t workstationAt = userAt + userField.size();
  size_t lmAt = workstationAt + workstationField.size();
  size_t ntAt = lmAt + lm.size();
  PutSecurityBuffer(msg, 12, lm.size(), lmAt);
  PutSecurityBuffer(msg, 20, nt.size(), ntAt);
  PutSecurityBuffer(msg, 28, domainField.size(), domainAt);
  PutSecurityBuffer(msg, 36, userField.size(), userAt);
  PutSecurityBuffer(msg, 44, workstationField.size(), workstationAt);
  // Bytes 52-59: an empty session key, all zero.
  PutLe32(msg, 60, (challenge.Unicode ? 1u : 2u) | 0x8204u);
  msg += domainField;
  msg += userField;
  msg += workstationField;
  msg.append(reinterpret_cast<const char*>(lm.data()), lm.size());
  msg.append(reinterpret_cast<const char*>(nt.data()), nt.size());
  return msg;
}

}  // namespace http
