#pragma once
// Locale-independent number text for the library: "." is the decimal separator always.

#include <cstdint>
#include <string>
#include <string_view>

namespace json::number {

// Optional "+" or "-" and decimal digits, nothing else; false on any other text or when the
// value does not fit in 64 bits.
bool ParseInt64(std::u16string_view text, int64_t& value);

// A decimal floating-point text (optional sign, digits, optional "." and digits, optional
// exponent), nothing else; false otherwise. Out-of-range magnitudes give +-infinity or +-0.
bool ParseDouble(std::u16string_view text, double& value);

// Nearest integer, ties to even, saturated to the 64-bit range (NaN gives 0).
int64_t RoundToInt64(double value);
int64_t RoundToInt64(long double value);

// Scaled currency / 10000 to the nearest integer, ties to even.
int64_t CurrencyToInteger(int64_t scaled);

// Multiplies by 10000 saturating at the 64-bit range.
int64_t IntegerToCurrency(int64_t value);

// Decimal digits, "-" for negatives.
void AppendInteger(std::u16string& out, int64_t value);
// 15 significant digits in the shortest of fixed and exponent form, as "%.15g" writes them:
// trailing zeros and a trailing "." are dropped (an integral double reads "3"), the exponent
// form is used below 1e-4 and from 1e15 on and reads "1.5e+20" / "1e-07" (sign and at least
// two exponent digits). JSON has no spelling for infinities and NaN, so they read "null".
void AppendDouble(std::u16string& out, double value);
// The fixed-point currency form: "0"; else at least five digits with "." before the last
// four, trailing zeros of those four dropped ("1." for one, "2.25", "-0.0005").
void AppendCurrency(std::u16string& out, int64_t scaled);

}  // namespace json::number
