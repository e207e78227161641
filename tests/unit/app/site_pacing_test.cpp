#include "app/site_pacing.h"

#include <gtest/gtest.h>

#include "store/converted_codes.h"

using namespace app;

TEST(SitePacing, RetryAfterValuesAndTheWaitsBeforeAskingAgain) {
  const std::time_t now = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
  const struct { const char* value; std::optional<uint32_t> seconds; } values[] = {
      {"120", 120u}, {" 0 ", 0u}, {"99999999999", UINT32_MAX},
      {"Sun, 06 Nov 1994 08:51:37 GMT", 120u}, {"Sunday, 06-Nov-94 08:50:37 GMT", 60u},
      {"Sun Nov  6 08:49:47 1994", 10u}, {"Sun, 06 Nov 1994 08:00:00 GMT", 0u},  // past: at once
      {"-5", std::nullopt}, {"1.5", std::nullopt}, {"soon", std::nullopt}, {"Sun, 06 Nov 1994 GMT", std::nullopt},
      {"Sun, 32 Nov 1994 08:51:37 GMT", std::nullopt},
  };
  for (const auto& v : values) EXPECT_EQ(RetryAfterSeconds(v.value, now), v.seconds) << v.value;
  EXPECT_EQ(RetryAfterHeader({"Retry-After-Not: 7", "retry-AFTER: 7"}), " 7");

  TSitePacer pacer;
  const struct { uint32_t retryLimit; int refusal; std::optional<uint32_t> retryAfter; uint32_t ms; } waits[] = {
      {300, 0, std::nullopt, 5000}, {300, 1, std::nullopt, 10000}, {300, 3, std::nullopt, 40000},
      {300, 9, std::nullopt, 300000},                   // doubling stops at five minutes
      {20, 3, std::nullopt, 20000},                     // and at the limit
      {300, 2, 1u, 1000}, {300, 0, 0u, 0}, {300, 0, 86400u, 300000}, {86400, 0, UINT32_MAX, 86400000},
  };
  for (const auto& w : waits) {
    pacer.RetryLimit = w.retryLimit;
    EXPECT_EQ(pacer.BackOffMs(w.refusal, w.retryAfter), w.ms) << w.refusal << " " << w.retryLimit;
  }
}

TEST(SitePacing, ConversionTimesInEitherFormAndZone) {
  std::tm local{};
  local.tm_year = 126, local.tm_mon = 11, local.tm_mday = 7, local.tm_hour = 22, local.tm_min = 5, local.tm_isdst = -1;
  const std::time_t localTime = std::mktime(&local);
  EXPECT_EQ(store::ConversionTime("2026-12-07 22:05:00"), localTime);
  EXPECT_EQ(store::ConversionTime("2026-12-07T22:05:00.250"), localTime);
  EXPECT_EQ(store::ConversionTime("2026-12-07T22:05:00Z"), 1796681100);
  EXPECT_EQ(store::ConversionTime("2026-12-07T23:05:00+01:00"), 1796681100);
  for (const char* bad : {"", "07.12.2026 22:05:00", "2026-12-07", "2026-12-07 22:05", "2026-12-07 22:05:00 CET",
                          "2026-12-07T22:05:00+1"})
    EXPECT_EQ(store::ConversionTime(bad), std::nullopt) << bad;
}
