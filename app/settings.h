#pragma once
// The settings file "rovkast.ini": credentials, proxy, the site session, and the rules that
// decide whether the stored session is still fresh.

#include <cstdint>
#include <string>

namespace app {

inline constexpr const char* kSettingsFileName = "rovkast.ini";

// A session stamped at most this many milliseconds ago is reused without a login.
inline constexpr int64_t kSessionLifetimeMs = 600000;

// The default of "Site"/"RequestLimit", in seconds.
inline constexpr unsigned kDefaultRequestLimit = 120;

// Stores the site password reversibly under the user name: each password byte XOR the
// matching byte of the repeated key, as two upper-case hexadecimal digits. An empty key
// gives an empty result.
std::string ScramblePassword(const std::string& key, const std::string& password);

// The inverse of ScramblePassword. Decoding stops at the first pair that is not hexadecimal
// (what was decoded before stays) and ignores a single trailing digit.
std::string UnscramblePassword(const std::string& key, const std::string& stored);

// The tick count is unsigned 32-bit, the stored stamp signed 32-bit; their difference is taken
// in 64 bits, so a stamp from before a restart (a negative difference) also counts as fresh.
bool SessionIsFresh(uint32_t tickCount, int32_t storedStamp);

// Everything the window's creation handler reads from the settings file.
struct TSettings {
  std::string SessionCookie;
  int32_t SessionStamp = 0;
  std::string ProxyIp, ProxyPort, ProxyUser, ProxyPassword;
  std::string UserName, Password;  // the password unscrambled
  bool UseProxy = false;
  std::string SiteHost;            // the listing site's host (section "Site", key "Host")
  // Optional ports of the site ("Site"/"HttpPort", "HttpsPort"): when set, every address the
  // program builds carries ":" + port after the host; the page markers keep the bare host.
  std::string HttpPort, HttpsPort;
  // "Site"/"VerifyCertificate": the login checks the site's certificate unless this is 0, for
  // a user behind an intercepting proxy who turns it off knowingly.
  bool VerifyCertificate = true;
  // "Site"/"RequestLimit": seconds one request may take in all, however busy the server
  // keeps it; 0 turns the limit off, a negative value counts as the default.
  unsigned RequestLimit = kDefaultRequestLimit;
};

// Makes an existing settings file readable and writable by its owner only (0600), before
// credentials are written into a file that may have been created with a wider mode.
void RestrictToOwner(const std::string& fileName);

// Reads the settings in the fixed order; a missing file or key leaves the default.
TSettings LoadSettings(const std::string& fileName, const std::string& defaultHost);

}  // namespace app
