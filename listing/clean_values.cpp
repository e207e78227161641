#include "listing/clean_values.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "listing/text_ops.h"
#include "runtime/codepage.h"

namespace listing {
namespace {

bool IsNameByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == ':';
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The element name of the tag at the start of `tag` ("<p class=x>", "</span>").
std::string_view TagName(std::string_view tag) {
  size_t at = tag.starts_with("</") ? 2 : 1, end = at;
  while (end < tag.size() && IsNameByte(tag[end])) ++end;
  return tag.substr(at, end - at);
}

// How many tags of element `name` open and close in `text`, names compared without case.
std::pair<size_t, size_t> OpenedAndClosed(std::string_view text, std::string_view name) {
  size_t opened = 0, closed = 0;
  for (size_t at = text.find('<'); at != std::string_view::npos; at = text.find('<', at + 1)) {
    const bool closing = at + 1 < text.size() && text[at + 1] == '/';
    const size_t from = at + (closing ? 2 : 1);
    if (from + name.size() > text.size()) break;
    bool same = from + name.size() == text.size() || !IsNameByte(text[from + name.size()]);
    for (size_t i = 0; same && i < name.size(); ++i) same = Lower(text[from + i]) == Lower(name[i]);
    if (same) ++(closing ? closed : opened);
  }
  return {opened, closed};
}

// `text` without the markup and blanks the cut carried along at either end.
std::string_view TrimCut(std::string_view text) {
  for (;;) {
    text = TrimBlanks(text);
    if (text.starts_with("</")) {
      const size_t end = text.find('>');
      if (end == std::string_view::npos) return text;
      text.remove_prefix(end + 1);
      continue;
    }
    if (!text.ends_with('>')) return text;
    const size_t lt = text.rfind('<');
    if (lt == std::string_view::npos || lt + 1 >= text.size()) return text;
    const std::string_view tag = text.substr(lt);
    const std::string_view name = TagName(tag);
    if (name.empty()) return text;  // a comment or a stray "<": the value's own
    if (tag[1] == '/') {
      const auto [opened, closed] = OpenedAndClosed(text, name);
      if (closed <= opened) return text;
    }
    text.remove_suffix(tag.size());
  }
}

bool Digits(std::string_view text, size_t at, size_t count, int& value) {
  if (at + count > text.size()) return false;
  value = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

bool ValidDate(int year, int month, int day) {
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || month < 1 || month > 12 || day < 1 || day > kDays[month - 1]) return false;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month != 2 || day <= 28 || leap;
}

std::string FormatDate(int year, int month, int day) {
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
  return text;
}

}  // namespace

std::string_view CleanText(std::string_view text, std::string& scratch) {
  text = TrimCut(text);
  const bool utf8 = runtime::IsUtf8(text);
  const auto has = [&](char c) { return std::memchr(text.data(), c, text.size()) != nullptr; };
  const bool nuls = has('\0');
  if (utf8 && !nuls && !has('\r')) return text;
  std::string valid;
  if (!utf8) {
    valid = runtime::WideToUtf8(runtime::Utf8ToWide(text));
    text = valid;
  }
  scratch.clear();
  scratch.reserve(text.size());
  const char* p = text.data();
  const char* const end = p + text.size();
  while (p < end) {
    const char* cr = static_cast<const char*>(std::memchr(p, '\r', static_cast<size_t>(end - p)));
    if (cr == nullptr) cr = end;
    // The line up to the CR, without its NULs.
    for (const char* nul = nuls ? p : nullptr;
         nul != nullptr && (nul = static_cast<const char*>(std::memchr(p, '\0', static_cast<size_t>(cr - p))));) {
      scratch.append(p, nul);
      p = nul + 1;
    }
    scratch.append(p, cr);
    if (cr == end) break;
    scratch += '\n';
    p = cr + 1 < end && cr[1] == '\n' ? cr + 2 : cr + 1;
  }
  return scratch;
}

std::optional<double> RealValue(std::string_view text) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return {};
  return value;
}

std::optional<int64_t> IntegerValue(std::string_view text) {
  int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return {};
  return value;
}

std::optional<int64_t> FlagValue(std::string_view text) {
  if (text == "true") return 1;
  if (text == "false") return 0;
  return {};
}

std::string IsoDate(std::string_view text) {
  int year = 0, month = 0, day = 0;
  if (text.size() != 10) return {};
  const bool yearFirst = text[4] == '-' && text[7] == '-';
  const bool monthFirst = text[2] == '-' && text[5] == '-';
  const bool read = yearFirst    ? Digits(text, 0, 4, year) && Digits(text, 5, 2, month) && Digits(text, 8, 2, day)
                    : monthFirst ? Digits(text, 0, 2, month) && Digits(text, 3, 2, day) && Digits(text, 6, 4, year)
                                 : false;
  return read && ValidDate(year, month, day) ? FormatDate(year, month, day) : std::string();
}

std::string IsoDateTime(std::string_view text) {
  int hour = 0, minute = 0, second = 0;
  if (text.size() != 19 || text[10] != ' ' || text[13] != ':' || text[16] != ':' || !Digits(text, 11, 2, hour) ||
      !Digits(text, 14, 2, minute) || !Digits(text, 17, 2, second) || hour > 23 || minute > 59 || second > 60 ||
      text[4] != '-')
    return {};
  const std::string date = IsoDate(text.substr(0, 10));
  return date.empty() ? date : date + std::string(text.substr(10));
}

}  // namespace listing
