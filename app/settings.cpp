#include "app/settings.h"

#include <sys/stat.h>

#include "runtime/file_io.h"
#include "runtime/formatting.h"
#include "runtime/ini_file.h"

namespace app {
namespace {

// The key repeated end to end (by doubling) until it covers `length` characters.
std::string StretchKey(std::string key, size_t length) {
  while (key.size() < length) key += key;
  return key;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string ScramblePassword(const std::string& key, const std::string& password) {
  if (key.empty()) return {};
  static constexpr char kHex[] = "0123456789ABCDEF";
  const std::string k = StretchKey(key, password.size());
  std::string out;
  out.reserve(password.size() * 2);
  for (size_t i = 0; i < password.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(password[i]) ^ static_cast<unsigned char>(k[i]);
    out += kHex[x >> 4];
    out += kHex[x & 15];
  }
  return out;
}

std::string UnscramblePassword(const std::string& key, const std::string& stored) {
  if (key.empty()) return {};
  const std::string k = StretchKey(key, stored.size());
  std::string out;
  for (size_t i = 0; i + 1 < stored.size(); i += 2) {
    int hi = HexDigit(stored[i]), lo = HexDigit(stored[i + 1]);
    if (hi < 0 || lo < 0) break;
    out += static_cast<char>((hi << 4 | lo) ^ static_cast<unsigned char>(k[i / 2]));
  }
  return out;
}

bool SessionIsFresh(uint32_t tickCount, const std::string& bootId, std::optional<int32_t> storedStamp,
                    const std::string& storedBoot) {
  if (!storedStamp || bootId.empty() || storedBoot != bootId) return false;
  const uint32_t difference = tickCount - static_cast<uint32_t>(*storedStamp);
  return difference <= kSessionLifetimeMs;
}

const std::string& SystemBootId() {
  static const std::string id = [] {
    std::string text;
    try {
      text = runtime::ReadWholeFile("/proc/sys/kernel/random/boot_id");
    } catch (const runtime::EFileError&) {
      return std::string();
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
  }();
  return id;
}

void RestrictToOwner(const std::string& fileName) {
  struct stat st {};
  // A link is left alone: the mode would change on whatever it points to.
  if (::lstat(fileName.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0777) != 0600)
    ::chmod(fileName.c_str(), 0600);
}

TSettings LoadSettings(const std::string& fileName, const std::string& defaultHost) {
  runtime::TIniFile ini(fileName);
  TSettings s;
  s.SessionCookie = ini.ReadString("Session", "NET_SessionId", s.SessionCookie);
  s.SessionStamp = runtime::TryStrToInt(ini.ReadString("Session", "TC", ""));
  s.SessionBoot = ini.ReadString("Session", "Boot", "");
  s.ProxyIp = ini.ReadString("Proxy", "IP", s.ProxyIp);
  s.ProxyPort = ini.ReadString("Proxy", "PORT", s.ProxyPort);
  s.ProxyUser = ini.ReadString("Proxy", "USER", s.ProxyUser);
  s.ProxyPassword = ini.ReadString("Proxy", "PWD", s.ProxyPassword);
  s.UserName = ini.ReadString("User", "USER", s.UserName);
  s.Password = UnscramblePassword(s.UserName, ini.ReadString("User", "PWD", ""));
  s.UseProxy = ini.ReadBool("Proxy", "Use", s.UseProxy);
  s.SiteHost = ini.ReadString("Site", "Host", defaultHost);
  if (s.SiteHost.empty()) s.SiteHost = defaultHost;
  s.HttpPort = ini.ReadString("Site", "HttpPort", "");
  s.HttpsPort = ini.ReadString("Site", "HttpsPort", "");
  s.VerifyCertificate = ini.ReadBool("Site", "VerifyCertificate", true);
  s.Database = ini.ReadString("Output", "Database", s.Database);
  const int32_t limit = ini.ReadInteger("Site", "RequestLimit", static_cast<int32_t>(kDefaultRequestLimit));
  s.RequestLimit = limit < 0 ? kDefaultRequestLimit : static_cast<unsigned>(limit);
  const int32_t delay = ini.ReadInteger("Site", "PageDelay", static_cast<int32_t>(kDefaultPageDelayMs));
  if (delay >= 0 && static_cast<uint32_t>(delay) <= kMaxPageDelayMs) s.PageDelayMs = static_cast<uint32_t>(delay);
  const int32_t retryLimit = ini.ReadInteger("Site", "RetryLimit", static_cast<int32_t>(kDefaultRetryLimit));
  if (retryLimit >= static_cast<int32_t>(kMinRetryLimit) && static_cast<uint32_t>(retryLimit) <= kMaxRetryLimit)
    s.RetryLimit = static_cast<uint32_t>(retryLimit);
  return s;
}

}  // namespace app
