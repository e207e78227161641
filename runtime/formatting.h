#pragma once
// Locale-independent number, date and time texts.

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace runtime {

// A broken-down local date and time.
struct TDateTime {
  int Year = 1899, Month = 12, Day = 30, Hour = 0, Minute = 0, Second = 0;
};

TDateTime Now();  // local time

// Supports the tokens yyyy, mm (month, or minutes right after hh), dd, hh, nn, ss; other
// characters are copied. "yyyy-mm-dd hh:mm:ss" and "dd.mm.yyyy hh:mm:ss" are the two in use.
std::string FormatDateTime(std::string_view pattern, const TDateTime& value);

// printf "%2.7f" with "." as the decimal separator whatever the locale.
std::string FormatFixed7(double value);

// Decimal text of an integer.
std::string IntToStr(int64_t value);

// Optional sign and decimal digits (or "0x"/"$" hexadecimal), surrounding blanks not allowed;
// nullopt otherwise or on overflow of 32 bits.
std::optional<int32_t> TryStrToInt(std::string_view text);

// A decimal number with "." whatever the locale ("12.5", "-3", "1e3"); nullopt when the
// whole text is not one number.
std::optional<double> TryStrToFloat(std::string_view text);

}  // namespace runtime
