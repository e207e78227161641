#pragma once
// How the program keeps to the pace a listing site tolerates: a least time between the starts of
// two requests (a site throttles or locks an account that asks for page after page at full
// speed), and the waits before asking again when the site answers "too many requests" (429) or
// "unavailable" (503).
//
// The waits pump the thread's messages, as a pending request does: the window stays alive, and
// an application that is ending cuts a wait short.

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/settings.h"

namespace app {

// How often one request is asked again after the site refused it.
inline constexpr int kRefusalRetries = 4;
// The first wait when the site does not say how long; each next one is twice as long, up to
// kMaxBackOffMs.
inline constexpr uint32_t kBackOffBaseMs = 5000;
inline constexpr uint32_t kMaxBackOffMs = 300000;

// True for the statuses by which a site says "later": the request is asked again after a wait.
inline bool IsRefusal(int status) { return status == 429 || status == 503; }

// The seconds a "Retry-After" value asks for: delta seconds ("120"), or an HTTP date (IMF
// fixdate, the obsolete RFC 850 and asctime forms) taken against `now`, a date in the past being
// 0. Nothing for a value that is neither.
std::optional<uint32_t> RetryAfterSeconds(std::string_view value, std::time_t now);

// The "Retry-After" value among received header lines ("Name: value"), or nothing.
std::optional<std::string> RetryAfterHeader(const std::vector<std::string>& headerLines);

// Waits `ms` milliseconds while handling the thread's messages. False, at once, when the
// application is ending (or ends meanwhile).
bool WaitHandlingMessages(uint32_t ms);

// "75 s", "0.8 s": a wait as the program reports it.
std::string WaitText(uint32_t ms);

class TSitePacer {
 public:
  // The least time between the starts of two requests; 0: none.
  uint32_t PageDelayMs = 0;
  // The longest wait a "Retry-After" may ask for, in seconds; it bounds the doubling too.
  uint32_t RetryLimit = kDefaultRetryLimit;
  // The first wait without "Retry-After" (tests shorten it).
  uint32_t BackOffBaseMs = kBackOffBaseMs;

  // Told when a wait for the site begins (a refusal), with its length in whole seconds, rounded
  // up. Not told of the pause between requests.
  std::function<void(uint32_t seconds)> OnWait;

  // Waits until PageDelayMs have passed since the last request started, then counts this one as
  // started. False when the application is ending.
  bool WaitForTurn();

  // The wait before asking again after refusal number `refusal` (0 for the first): what
  // "Retry-After" asks for, at most RetryLimit; without it BackOffBaseMs doubled for each refusal
  // before, at most kMaxBackOffMs and RetryLimit.
  uint32_t BackOffMs(int refusal, std::optional<uint32_t> retryAfterSeconds) const;

  // Tells OnWait and waits `ms`; false when the application is ending.
  bool WaitAfterRefusal(uint32_t ms);

 private:
  std::optional<std::chrono::steady_clock::time_point> FLastStart;
};

}  // namespace app
