#include "http/url.h"

#include <cctype>
#include <cstdio>

#include "runtime/ascii_text.h"

namespace http {

namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

using runtime::Lower;
using runtime::StartsWithNoCase;

bool IsSchemeChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// The base path up to and including its last "/", or "/" when it has none.
std::string BaseDirectory(const std::string& base) {
  const size_t slash = base.rfind('/');
  return slash == std::string::npos ? std::string("/") : base.substr(0, slash + 1);
}

}  // namespace

void SplitUrl(const std::string& url, std::string& proto, std::string& user, std::string& pass,
              std::string& host, std::string& port, std::string& path) {
  const std::string base = path;  // the caller passes its current path in the output
  proto.clear();
  user.clear();
  pass.clear();
  host.clear();
  port.clear();
  path.clear();
  if (url.empty()) return;

  if (StartsWith(url, "./")) {
    path = BaseDirectory(base) + url.substr(2);
    return;
  }
  if (StartsWith(url, "../")) {
    std::string dir = BaseDirectory(base);
    std::string rest = url.substr(3);
    for (;;) {
      if (!dir.empty() && dir.back() == '/') dir.pop_back();
      const size_t slash = dir.rfind('/');
      dir = slash == std::string::npos ? std::string("/") : dir.substr(0, slash + 1);
      if (!StartsWith(rest, "../")) break;
      rest.erase(0, 3);
    }
    path = dir + rest;
    return;
  }

  size_t start = 0;  // where the authority begins
  bool haveScheme = false;
  const size_t sep = url.find("://");
  if (sep != std::string::npos) {
    const std::string candidate = Lower(std::string_view(url).substr(0, sep));
    bool usable = true;
    for (char c : candidate) usable = usable && IsSchemeChar(c);
    if (usable) {
      proto = candidate;
      start = sep + 3;
      haveScheme = true;
    } else {
      proto = "http";
    }
  }
  if (!haveScheme) {
    if (url[0] == '/') {
      proto = "http";
      if (url.size() < 2 || url[1] != '/') {
        path = url;
        return;
      }
      start = 1;  // "//x/y": the first segment is read as part of the path
    } else if (StartsWithNoCase(url, "http:")) {
      proto = "http";
      if (url.size() > 6 && url[6] != '/') {
        path = url.substr(5);
        return;
      }
      start = 6;
    } else if (StartsWithNoCase(url, "mailto:")) {
      proto = "mailto";
      start = url.find(':') + 1;
    }
  }

  const std::string rest = start < url.size() ? url.substr(start) : std::string();
  const size_t pathStart = rest.find_first_of("/?");
  std::string authority = rest;
  if (pathStart != std::string::npos) {
    path = rest.substr(pathStart);
    authority = rest.substr(0, pathStart);
  }

  const size_t colon = authority.rfind(':');
  const size_t at = authority.rfind('@');
  if (colon == std::string::npos && at == std::string::npos) {
    host = authority;
    return;
  }
  if (colon != std::string::npos && (at == std::string::npos || colon > at)) {
    port = authority.substr(colon + 1);
    const size_t hostStart = at == std::string::npos ? 0 : at + 1;
    host = authority.substr(hostStart, colon - hostStart);
    if (at == std::string::npos) return;
  } else {
    host = authority.substr(at + 1);
  }
  const std::string userInfo = authority.substr(0, at);
  const size_t userColon = userInfo.find(':');
  if (userColon == std::string::npos) {
    user = userInfo;
  } else {
    user = userInfo.substr(0, userColon);
    pass = userInfo.substr(userColon + 1);
  }
}

std::string PathDirectory(const std::string& path) {
  size_t end = path.find('?');
  if (end == std::string::npos) end = path.size();
  for (size_t i = end; i > 0; --i)
    if (path[i - 1] == '/' || path[i - 1] == ':') return path.substr(0, i);
  return std::string();
}

size_t LastPos(std::string_view needle, std::string_view haystack) {
  if (needle.empty() || needle.size() > haystack.size()) return 0;
  const size_t pos = haystack.rfind(needle);
  return pos == std::string_view::npos ? 0 : pos + 1;
}

namespace {
constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const uint32_t v = (static_cast<uint8_t>(bytes[i]) << 16) |
                       (static_cast<uint8_t>(bytes[i + 1]) << 8) | static_cast<uint8_t>(bytes[i + 2]);
    out += kBase64Alphabet[(v >> 18) & 63];
    out += kBase64Alphabet[(v >> 12) & 63];
    out += kBase64Alphabet[(v >> 6) & 63];
    out += kBase64Alphabet[v & 63];
  }
  const size_t left = bytes.size() - i;
  if (left > 0) {
    uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
    if (left == 2) v |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    out += kBase64Alphabet[(v >> 18) & 63];
    out += kBase64Alphabet[(v >> 12) & 63];
    out += left == 2 ? kBase64Alphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string Base64Decode(std::string_view text) {
  std::string out;
  uint32_t acc = 0;
  int bits = 0;
  for (char c : text) {
    if (c == '=') break;
    const char* p = c ? std::char_traits<char>::find(kBase64Alphabet, 64, c) : nullptr;
    if (!p) continue;  // line breaks and stray bytes
    acc = (acc << 6) | static_cast<uint32_t>(p - kBase64Alphabet);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return out;
}

namespace {
// Days from 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}
}  // namespace

std::string HttpDateText(const runtime::TDateTime& value) {
  static constexpr char kDays[] = "MonTueWedThuFriSatSun";
  static constexpr char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  // The day number counts from 30 December 1899, so that 1 January 1900 is a Monday.
  const int64_t dayNumber = DaysFromCivil(value.Year, value.Month, value.Day) - DaysFromCivil(1899, 12, 30);
  const int64_t dayIndex = (((dayNumber - 2) % 7) + 7) % 7;
  const int month = value.Month >= 1 && value.Month <= 12 ? value.Month : 1;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.3s, %2.2d %.3s %4.4d %2.2d:%2.2d:%2.2d", kDays + dayIndex * 3,
                value.Day, kMonths + (month - 1) * 3, value.Year, value.Hour, value.Minute,
                value.Second);
  return buf;
}

std::string EncodeRequestTarget(std::string_view target) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(target.size());
  for (char c : target) {
    const auto b = static_cast<unsigned char>(c);
    if (b <= 32 || b == 127) {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 15];
    } else {
      out += c;
    }
  }
  return out;
}

bool HasLineBreak(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

std::string DocumentNameOf(const std::string& path) {
  std::string p = path.substr(0, path.find('?'));
  const size_t slash = p.rfind('/');
  std::string name = slash == std::string::npos ? p : p.substr(slash + 1);
  if (name.size() > 255) name.resize(255);
  return name.empty() ? std::string("document.htm") : name;
}

std::string HtmlDocumentName(const std::string& name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos) return name + ".htm";
  if (Lower(std::string_view(name).substr(dot)) == ".exe") return name.substr(0, dot + 1) + "htm";
  return name;
}

}  // namespace http
