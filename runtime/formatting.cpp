#include "runtime/formatting.h"

#include <charconv>
#include <cstdio>
#include <ctime>

namespace runtime {

TDateTime Now() {
  std::time_t t = std::time(nullptr);
  std::tm tm {};
  localtime_r(&t, &tm);
  return TDateTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

namespace {

void AppendNumber(std::string& out, int value, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*d", digits, value);
  out += buf;
}

bool StartsWith(std::string_view text, size_t at, std::string_view token) {
  return text.size() - at >= token.size() && text.compare(at, token.size(), token) == 0;
}

}  // namespace

std::string FormatDateTime(std::string_view pattern, const TDateTime& v) {
  std::string out;
  bool afterHour = false;  // "mm" right after "hh" means minutes
  size_t i = 0;
  while (i < pattern.size()) {
    if (StartsWith(pattern, i, "yyyy")) {
      AppendNumber(out, v.Year, 4);
      i += 4;
      afterHour = false;
    } else if (StartsWith(pattern, i, "mm")) {
      AppendNumber(out, afterHour ? v.Minute : v.Month, 2);
      i += 2;
      afterHour = false;
    } else if (StartsWith(pattern, i, "nn")) {
      AppendNumber(out, v.Minute, 2);
      i += 2;
      afterHour = false;
    } else if (StartsWith(pattern, i, "dd")) {
      AppendNumber(out, v.Day, 2);
      i += 2;
      afterHour = false;
    } else if (StartsWith(pattern, i, "hh")) {
      AppendNumber(out, v.Hour, 2);
      i += 2;
      afterHour = true;
    } else if (StartsWith(pattern, i, "ss")) {
      AppendNumber(out, v.Second, 2);
      i += 2;
      afterHour = false;
    } else {
      out += pattern[i++];
    }
  }
  return out;
}

std::string FormatFixed7(double value) {
  // to_chars never consults the locale, unlike printf.
  char buf[400];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 7);
  std::string out(buf, res.ptr);
  if (out.size() < 2) out.insert(0, 2 - out.size(), ' ');
  return out;
}

std::string IntToStr(int64_t value) { return std::to_string(value); }

std::optional<int32_t> TryStrToInt(std::string_view text) {
  bool negative = false;
  size_t i = 0;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  int base = 10;
  if (text.size() - i > 2 && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  } else if (text.size() - i > 1 && text[i] == '$') {
    base = 16;
    i += 1;
  }
  if (i >= text.size()) return std::nullopt;
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return std::nullopt;
    value = value * base + d;
    if (value > (int64_t{1} << 32)) return std::nullopt;
  }
  if (negative) value = -value;
  if (base == 16 && !negative && value <= 0xFFFFFFFFLL) return static_cast<int32_t>(static_cast<uint32_t>(value));
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(value);
}

std::optional<double> TryStrToFloat(std::string_view text) {
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  double value = 0;
  auto res = std::from_chars(text.data(), text.data() + text.size(), value);
  if (res.ec != std::errc() || res.ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace runtime
