#pragma once
// The settings file "rovkast.ini": credentials, proxy, the site session, and the rules that
// decide whether the stored session is still fresh.

#include <cstdint>
#include <optional>
#include <string>

namespace app {

inline constexpr const char* kSettingsFileName = "rovkast.ini";
// The listings database in the data folder, unless "Output"/"Database" names another file.
inline constexpr const char* kDefaultDatabaseName = "listings.db";

// A session stamped at most this many milliseconds ago is reused without a login.
inline constexpr int64_t kSessionLifetimeMs = 600000;

// The default of "Site"/"RequestLimit", in seconds, and its largest value (a day).
inline constexpr unsigned kDefaultRequestLimit = 120;
inline constexpr unsigned kMaxRequestLimit = 86400;

// Stores the site password reversibly under the user name: each password byte XOR the
// matching byte of the repeated key, as two upper-case hexadecimal digits. An empty key
// gives an empty result.
std::string ScramblePassword(const std::string& key, const std::string& password);

// The inverse of ScramblePassword. Decoding stops at the first pair that is not hexadecimal
// (what was decoded before stays) and ignores a single trailing digit.
std::string UnscramblePassword(const std::string& key, const std::string& stored);

// The session is fresh only when there is a stamp, it was taken since this system start
// (`storedBoot` is `bootId`, which is not empty) and 0 <= tick count - stamp <= 600000. Anything
// else (no stamp, a stamp from before a restart, a stamp ahead of the count) is stale: that
// costs one sign-in, while trusting a session that is not there downloads pages without one.
// The stamp is the 32-bit count written as a signed number, and the count wraps after 49.7
// days: the difference is taken modulo 2^32, so a machine up more than 24.8 days (a negative
// stamp) or just past the wrap still keeps its session, and a stamp ahead of the count is a
// difference of more than 600000.
bool SessionIsFresh(uint32_t tickCount, const std::string& bootId, std::optional<int32_t> storedStamp,
                    const std::string& storedBoot);

// The kernel's id of this system start, written as "Session"/"Boot" beside every stamp: the
// tick count starts again at every start, so a stamp alone cannot tell an old session from a
// new one. Empty when it cannot be read (no session is then ever fresh).
const std::string& SystemBootId();

// Everything the window's creation handler reads from the settings file.
struct TSettings {
  std::string SessionCookie;
  std::optional<int32_t> SessionStamp;  // "Session"/"TC"; none when missing or not a number
  std::string SessionBoot;              // "Session"/"Boot"
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
  // "Output"/"Database": the listings database; a relative name is taken in the data folder, an
  // empty value turns the database off.
  std::string Database = kDefaultDatabaseName;
  // "Site"/"RequestLimit": seconds one request may take in all, however busy the server
  // keeps it; 0 turns the limit off.
  unsigned RequestLimit = kDefaultRequestLimit;
  // The first setting that holds a value the program cannot use, as one line: the file, the
  // section and key, the value and what is expected. Empty when every setting is good. A bad
  // value leaves the default in its field.
  std::string Problem;
};

// Makes an existing settings file readable and writable by its owner only (0600), before
// credentials are written into a file that may have been created with a wider mode.
void RestrictToOwner(const std::string& fileName);

// Reads the settings in the fixed order and checks each value as it is read (see
// TSettings::Problem); a missing file or key, or an empty value, leaves the default.
TSettings LoadSettings(const std::string& fileName, const std::string& defaultHost);

}  // namespace app
