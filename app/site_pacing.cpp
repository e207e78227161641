#include "app/site_pacing.h"

#include <algorithm>
#include <cstdio>

#include "net/application.h"
#include "platform/message_queue.h"
#include "runtime/ascii_text.h"

namespace app {
namespace {

bool AllDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Digits that fit a count of seconds: anything longer is more than any limit anyway.
uint32_t DigitsValue(std::string_view digits) {
  uint64_t value = 0;
  for (char c : digits) {
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > UINT32_MAX) return UINT32_MAX;
  }
  return static_cast<uint32_t>(value);
}

int MonthNumber(std::string_view name) {
  static constexpr std::string_view kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                                 "jul", "aug", "sep", "oct", "nov", "dec"};
  if (name.size() < 3) return 0;
  for (int i = 0; i < 12; ++i)
    if (runtime::EqualsNoCase(name.substr(0, 3), kMonths[i])) return i + 1;
  return 0;
}

// The three date forms HTTP has known ("Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94
// 08:49:37 GMT", "Sun Nov  6 08:49:37 1994") hold the same parts in different places: a month
// name, a time with colons, a day of one or two digits and a year of two or four. All are UTC.
std::optional<std::time_t> HttpDate(std::string_view text) {
  int day = 0, month = 0, year = -1, hour = -1, minute = 0, second = 0;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = std::min(text.find_first_of(" ,-", at), text.size());
    const std::string_view token = text.substr(at, end - at);
    at = end + 1;
    if (token.empty()) continue;
    if (token.find(':') != std::string_view::npos) {
      if (token.size() != 8 || std::sscanf(std::string(token).c_str(), "%2d:%2d:%2d", &hour, &minute, &second) != 3)
        return std::nullopt;
    } else if (AllDigits(token)) {
      if (token.size() <= 2 && day == 0)
        day = static_cast<int>(DigitsValue(token));
      else if (token.size() == 2 || token.size() == 4)
        year = static_cast<int>(DigitsValue(token));
      else
        return std::nullopt;
    } else if (month == 0 && MonthNumber(token) != 0 && token.size() == 3) {
      month = MonthNumber(token);
    }
  }
  if (year >= 0 && year < 100) year += year < 70 ? 2000 : 1900;
  if (day < 1 || day > 31 || month == 0 || year < 1970 || hour < 0 || hour > 23 || minute > 59 || second > 60)
    return std::nullopt;
  std::tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  return ::timegm(&parts);
}

}  // namespace

std::optional<uint32_t> RetryAfterSeconds(std::string_view value, std::time_t now) {
  value = runtime::TrimBlanks(value);
  if (AllDigits(value)) return DigitsValue(value);
  const std::optional<std::time_t> date = HttpDate(value);
  if (!date) return std::nullopt;
  if (*date <= now) return 0u;
  return static_cast<uint32_t>(std::min<std::time_t>(*date - now, UINT32_MAX));
}

std::optional<std::string> RetryAfterHeader(const std::vector<std::string>& headerLines) {
  static constexpr std::string_view kName = "retry-after:";
  for (const std::string& line : headerLines)
    if (runtime::StartsWithNoCase(line, kName)) return line.substr(kName.size());
  return std::nullopt;
}

bool WaitHandlingMessages(uint32_t ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (net::ApplicationTerminated()) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return true;
    // In slices, as a pending request waits: a flag set from outside the queue (a signal) is
    // seen within one.
    const auto slice = static_cast<platform::DWORD>(std::min<int64_t>(left.count(), 50));
    if (platform::MsgWaitForMultipleObjects(0, nullptr, false, slice, platform::QS_ALLINPUT) == platform::WAIT_OBJECT_0)
      net::ApplicationProcessMessages();  // may re-enter
  }
}

std::string WaitText(uint32_t ms) {
  char text[32];
  if (ms % 1000 == 0)
    std::snprintf(text, sizeof text, "%u s", ms / 1000);
  else
    std::snprintf(text, sizeof text, "%.1f s", ms / 1000.0);
  return text;
}

bool TSitePacer::WaitForTurn() {
  if (net::ApplicationTerminated()) return false;
  const auto now = std::chrono::steady_clock::now();
  if (FLastStart && PageDelayMs > 0) {
    const auto due = *FLastStart + std::chrono::milliseconds(PageDelayMs);
    if (due > now) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - now);
      if (!WaitHandlingMessages(static_cast<uint32_t>(left.count()))) return false;
    }
  }
  FLastStart = std::chrono::steady_clock::now();
  return true;
}

uint32_t TSitePacer::BackOffMs(int refusal, std::optional<uint32_t> retryAfterSeconds) const {
  const uint64_t limitMs = static_cast<uint64_t>(RetryLimit) * 1000u;
  if (retryAfterSeconds) return static_cast<uint32_t>(std::min<uint64_t>(uint64_t{*retryAfterSeconds} * 1000u, limitMs));
  uint64_t wait = BackOffBaseMs;
  for (int i = 0; i < refusal && wait < kMaxBackOffMs; ++i) wait *= 2;
  return static_cast<uint32_t>(std::min<uint64_t>({wait, kMaxBackOffMs, limitMs}));
}

bool TSitePacer::WaitAfterRefusal(uint32_t ms) {
  if (OnWait) OnWait((ms + 999) / 1000);  // may re-enter
  return WaitHandlingMessages(ms);
}

}  // namespace app
