#pragma once
// Small helpers shared by the JSON tests.

#include <string>
#include <string_view>

#include "json/json_value.h"

namespace json_test {

// ASCII/Latin-1 test text to 16-bit text, one unit per byte.
inline std::u16string W(std::string_view s) {
  std::u16string out;
  for (unsigned char c : s) out.push_back(c);
  return out;
}

// 16-bit text to bytes for messages (units above 255 become '?').
inline std::string A(std::u16string_view s) {
  std::string out;
  for (char16_t c : s) out.push_back(c < 256 ? static_cast<char>(c) : '?');
  return out;
}

inline json::IJsonValue Parse(std::string_view text, bool strict = true, bool partial = false) {
  return json::TJsonValue::ParseText(W(text), strict, partial);
}

// The compact text of a value ("<none>" for no value).
inline std::string Text(const json::IJsonValue& v) { return v ? A(v->ToJsonText(false, false)) : "<none>"; }

}  // namespace json_test
