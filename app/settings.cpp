#include "app/settings.h"

#include <sys/stat.h>

#include <charconv>

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

// Reads settings and checks each value against what the program can use; the first value that
// does not fit becomes the one line that says so. One call per setting: a new setting is one
// more line in LoadSettings.
class TCheckedReader {
 public:
  TCheckedReader(const runtime::TIniFile& ini, std::string& problem) : FIni(ini), FProblem(problem) {}

  std::string Text(const char* section, const char* key, const std::string& def) const {
    return FIni.ReadString(section, key, def);
  }

  // A port: empty when unset; `required` refuses an empty value with `why`.
  std::string Port(const char* section, const char* key, bool required = false, const char* why = "") {
    const std::string value = Text(section, key, "");
    if (value.empty() && !required) return value;
    if (Whole(value, 1, 65535)) return value;
    Refuse(section, key, value, std::string("expected a port number from 1 to 65535") + why);
    return {};
  }

  // "0" or "1"; empty or unset: `def`.
  bool Flag(const char* section, const char* key, bool def) {
    const std::string value = Text(section, key, "");
    if (value.empty()) return def;
    if (value == "0" || value == "1") return value == "1";
    Refuse(section, key, value, "expected 0 (off) or 1 (on)");
    return def;
  }

  // A whole number from `min` to `max`; empty or unset: `def`. `unit` says what it counts.
  unsigned Number(const char* section, const char* key, unsigned def, unsigned min, unsigned max, const char* unit) {
    const std::string value = Text(section, key, "");
    if (value.empty()) return def;
    if (const auto n = Whole(value, min, max)) return *n;
    Refuse(section, key, value,
           "expected a whole number from " + std::to_string(min) + " to " + std::to_string(max) + " " + unit);
    return def;
  }

  // A bare host name or address, as addresses are built from it: what else a user may write
  // there (a scheme, a port, a path) is named with where it goes instead. `portHint` is the key
  // the port belongs in. Empty or unset: `def`, which `required` refuses with `why`.
  std::string Host(const char* section, const char* key, const std::string& def, const char* portHint,
                   bool required = false, const char* why = "", const char* portNote = "") {
    const std::string value = Text(section, key, def);
    if (value.empty()) {
      if (required) Refuse(section, key, value, std::string("expected a host name or address") + why);
      return def;
    }
    static constexpr const char* kBare = "expected a bare host name or address";
    if (const size_t scheme = value.find("://"); scheme != std::string::npos) {
      Refuse(section, key, value, std::string(kBare) + ": leave out \"" + value.substr(0, scheme + 3) +
                                      "\" (the program chooses http or https itself)");
    } else if (const size_t slash = value.find('/'); slash != std::string::npos) {
      Refuse(section, key, value, std::string(kBare) + ": leave out the path \"" + value.substr(slash) + "\"");
    } else if (const size_t colon = value.rfind(':');
               colon != std::string::npos && value.front() != '[' && value.find(':') == colon) {
      Refuse(section, key, value, std::string(kBare) + ": write the port as " + portHint + "=" +
                                      value.substr(colon + 1) + " instead" + portNote);
    } else if (!HostCharacters(value)) {
      Refuse(section, key, value, std::string(kBare) + " (letters, digits, '-' and '.', or an IPv6 address in [])");
    } else {
      return value;
    }
    return def;
  }

 private:
  static std::optional<unsigned> Whole(const std::string& text, unsigned min, unsigned max) {
    unsigned long long n = 0;
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, n);
    // Digits only: no sign, no blank, nothing after; too large never wraps.
    if (text.empty() || text.front() < '0' || text.front() > '9' || error != std::errc() || at != end || n < min ||
        n > max)
      return std::nullopt;
    return static_cast<unsigned>(n);
  }

  static bool HostCharacters(const std::string& host) {
    if (host.front() == '[')
      return host.size() > 2 && host.back() == ']' &&
             host.find_first_not_of("0123456789abcdefABCDEF:.", 1) == host.size() - 1;
    for (char c : host)
      if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' || c == '.' ||
            c == '_'))
        return false;
    return true;
  }

  void Refuse(const char* section, const char* key, const std::string& value, const std::string& expected) {
    if (!FProblem.empty()) return;
    FProblem = "bad setting in " + FIni.FileName() + ": [" + section + "] " + key + "=" + value + ": " + expected;
  }

  const runtime::TIniFile& FIni;
  std::string& FProblem;
};

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
  TCheckedReader r(ini, s.Problem);
  s.SessionCookie = r.Text("Session", "NET_SessionId", s.SessionCookie);
  // The program's own stamp, never typed by a user: one that is not a number is a stale session.
  s.SessionStamp = runtime::TryStrToInt(r.Text("Session", "TC", ""));
  s.SessionBoot = r.Text("Session", "Boot", "");
  s.UseProxy = r.Flag("Proxy", "Use", s.UseProxy);
  static constexpr const char* kInUse = " for the proxy in use ([Proxy] Use=1; Use=0 turns it off)";
  s.ProxyIp = r.Host("Proxy", "IP", s.ProxyIp, "PORT", s.UseProxy, kInUse);
  s.ProxyPort = r.Port("Proxy", "PORT", s.UseProxy, kInUse);
  s.ProxyUser = r.Text("Proxy", "USER", s.ProxyUser);
  s.ProxyPassword = r.Text("Proxy", "PWD", s.ProxyPassword);
  s.UserName = r.Text("User", "USER", s.UserName);
  s.Password = UnscramblePassword(s.UserName, r.Text("User", "PWD", ""));
  s.SiteHost = r.Host("Site", "Host", defaultHost, "HttpPort", false, "", " (and the sign-in's as HttpsPort=)");
  s.HttpPort = r.Port("Site", "HttpPort");
  s.HttpsPort = r.Port("Site", "HttpsPort");
  s.VerifyCertificate = r.Flag("Site", "VerifyCertificate", true);
  s.RequestLimit = r.Number("Site", "RequestLimit", kDefaultRequestLimit, 0, kMaxRequestLimit, "seconds (0: no limit)");
  s.Database = r.Text("Output", "Database", s.Database);
  return s;
}

}  // namespace app
