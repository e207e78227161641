#include "json/json_number.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace json::number {

namespace {

void AppendAscii(std::u16string& out, const char* first, const char* last) {
  for (; first != last; ++first) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(*first)));
}

}  // namespace

bool ParseInt64(std::u16string_view text, int64_t& value) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  if (i == text.size()) return false;
  uint64_t acc = 0;
  const uint64_t limit = negative ? uint64_t(1) << 63 : (uint64_t(1) << 63) - 1;
  for (; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c < u'0' || c > u'9') return false;
    const unsigned d = c - u'0';
    if (acc > (limit - d) / 10) return false;
    acc = acc * 10 + d;
  }
  value = negative ? static_cast<int64_t>(0 - acc) : static_cast<int64_t>(acc);
  return true;
}

bool ParseDouble(std::u16string_view text, double& value) {
  // Only the characters of a decimal number: from_chars would also take "inf" and "nan".
  std::string s;
  s.reserve(text.size());
  for (char16_t c : text) {
    if (!((c >= u'0' && c <= u'9') || c == u'.' || c == u'e' || c == u'E' || c == u'+' || c == u'-')) return false;
    s.push_back(static_cast<char>(c));
  }
  const char* first = s.data();
  const char* last = s.data() + s.size();
  bool negative = false;
  if (first != last && (*first == '+' || *first == '-')) negative = *first++ == '-';
  if (first == last || *first == '+' || *first == '-') return false;
  double v = 0;
  auto [p, ec] = std::from_chars(first, last, v, std::chars_format::general);
  if (p != last) return false;
  if (ec == std::errc::result_out_of_range) {
    const bool tiny = s.find("e-") != std::string::npos || s.find("E-") != std::string::npos;
    v = tiny ? 0.0 : std::numeric_limits<double>::infinity();
  } else if (ec != std::errc()) {
    return false;
  }
  value = negative ? -v : v;
  return true;
}

int64_t RoundToInt64(long double value) {
  if (std::isnan(value)) return 0;
  const long double r = std::nearbyint(value);  // default rounding: to nearest, ties to even
  if (r >= 9223372036854775807.0L) return std::numeric_limits<int64_t>::max();
  if (r <= -9223372036854775808.0L) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(r);
}

int64_t RoundToInt64(double value) { return RoundToInt64(static_cast<long double>(value)); }

int64_t CurrencyToInteger(int64_t scaled) {
  int64_t q = scaled / 10000;
  const int64_t r = scaled % 10000;
  const int64_t twice = r < 0 ? -2 * r : 2 * r;
  if (twice > 10000 || (twice == 10000 && (q & 1) != 0)) q += r < 0 ? -1 : 1;
  return q;
}

int64_t IntegerToCurrency(int64_t value) {
  if (value > std::numeric_limits<int64_t>::max() / 10000) return std::numeric_limits<int64_t>::max();
  if (value < std::numeric_limits<int64_t>::min() / 10000) return std::numeric_limits<int64_t>::min();
  return value * 10000;
}

void AppendInteger(std::u16string& out, int64_t value) {
  char buf[24];
  auto [p, ec] = std::to_chars(buf, buf + sizeof buf, value);
  AppendAscii(out, buf, p);
}

void AppendDouble(std::u16string& out, double value) {
  if (!std::isfinite(value)) {
    out.append(u"null");
    return;
  }
  char buf[48];
  auto [p, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
  AppendAscii(out, buf, p);
}

void AppendCurrency(std::u16string& out, int64_t scaled) {
  if (scaled == 0) {
    out.push_back(u'0');
    return;
  }
  const bool negative = scaled < 0;
  uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(scaled) : static_cast<uint64_t>(scaled);
  char digits[24];
  auto [p, ec] = std::to_chars(digits, digits + sizeof digits, magnitude);
  std::string text(digits, p);
  if (text.size() < 5) text.insert(0, 5 - text.size(), '0');
  std::string fraction = text.substr(text.size() - 4);
  text.resize(text.size() - 4);
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  if (negative) out.push_back(u'-');
  AppendAscii(out, text.data(), text.data() + text.size());
  out.push_back(u'.');
  AppendAscii(out, fraction.data(), fraction.data() + fraction.size());
}

}  // namespace json::number
