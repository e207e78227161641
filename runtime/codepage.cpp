#include "runtime/codepage.h"

#include <array>

namespace runtime {
namespace {

// Reverse table for the code units below U+0300 (Latin letters and C1), built once; the
// few punctuation marks above it are looked up in kCp1250High.
struct TReverse {
  std::array<int16_t, 0x300> low{};
  TReverse() {
    low.fill(-1);
    for (int b = 0; b < 0x80; ++b) low[b] = static_cast<int16_t>(b);
    for (int i = 0; i < 128; ++i)
      if (kCp1250High[i] < 0x300) low[kCp1250High[i]] = static_cast<int16_t>(0x80 + i);
  }
};

const TReverse& Reverse() {
  static const TReverse table;
  return table;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

char16_t Cp1250ToUnicode(unsigned char byte) {
  return byte < 0x80 ? static_cast<char16_t>(byte) : kCp1250High[byte - 0x80];
}

int UnicodeToCp1250(char16_t unit) {
  if (unit < 0x300) return Reverse().low[unit];
  for (int i = 0; i < 128; ++i)
    if (kCp1250High[i] == unit) return 0x80 + i;
  return -1;
}

std::u16string AnsiToWide(std::string_view text) {
  std::u16string out;
  out.resize(text.size());
  for (size_t i = 0; i < text.size(); ++i) out[i] = Cp1250ToUnicode(static_cast<unsigned char>(text[i]));
  return out;
}

std::string WideToAnsi(std::u16string_view text, char replacement) {
  std::string out;
  out.resize(text.size());
  const TReverse& rev = Reverse();
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t u = text[i];
    int b = u < 0x300 ? rev.low[u] : UnicodeToCp1250(u);
    out[i] = b < 0 ? replacement : static_cast<char>(b);
  }
  return out;
}

std::string Utf8ToAnsi(std::string_view text, char replacement) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    char32_t cp;
    size_t len;
    if (c < 0x80) { cp = c; len = 1; }
    else if ((c & 0xE0) == 0xC0) { cp = c & 0x1F; len = 2; }
    else if ((c & 0xF0) == 0xE0) { cp = c & 0x0F; len = 3; }
    else if ((c & 0xF8) == 0xF0) { cp = c & 0x07; len = 4; }
    else { out += replacement; ++i; continue; }
    if (i + len > text.size()) { out += replacement; break; }
    bool ok = true;
    for (size_t k = 1; k < len; ++k) {
      unsigned char cc = static_cast<unsigned char>(text[i + k]);
      if ((cc & 0xC0) != 0x80) { ok = false; break; }
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (!ok) { out += replacement; ++i; continue; }
    i += len;
    int b = cp <= 0xFFFF ? UnicodeToCp1250(static_cast<char16_t>(cp)) : -1;
    out += b < 0 ? replacement : static_cast<char>(b);
  }
  return out;
}

std::string AnsiToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 4);
  for (char ch : text) AppendUtf8(out, Cp1250ToUnicode(static_cast<unsigned char>(ch)));
  return out;
}

}  // namespace runtime
