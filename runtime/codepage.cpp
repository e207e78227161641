#include "runtime/codepage.h"

#include <cstdint>
#include <cstring>

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
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// The length of the strict UTF-8 sequence at `at`, its character in `cp`; 0 when none begins there.
size_t StrictUtf8At(std::string_view text, size_t at, char32_t& cp) {
  const unsigned char c = static_cast<unsigned char>(text[at]);
  size_t len;
  char32_t least;
  if (c < 0x80) {
    cp = c;
    return 1;
  } else if ((c & 0xE0) == 0xC0) {
    cp = c & 0x1F, len = 2, least = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    cp = c & 0x0F, len = 3, least = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    cp = c & 0x07, len = 4, least = 0x10000;
  } else {
    return 0;
  }
  if (at + len > text.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    const unsigned char cc = static_cast<unsigned char>(text[at + k]);
    if ((cc & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (cc & 0x3F);
  }
  if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
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

std::u16string Utf8ToWide(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    const size_t len = StrictUtf8At(text, i, cp);
    if (len == 0) {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    i += len;
    if (cp < 0x10000) {
      out += static_cast<char16_t>(cp);
    } else {
      out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    }
  }
  return out;
}

std::string WideToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 2);
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else {
      AppendUtf8(out, u >= 0xD800 && u <= 0xDFFF ? 0xFFFD : u);
    }
  }
  return out;
}

bool IsUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    // ASCII runs are most of any text: skip them eight bytes at a time, without decoding.
    uint64_t word;
    if (i + 8 <= text.size() && (std::memcpy(&word, text.data() + i, 8), (word & 0x8080808080808080ULL) == 0)) {
      i += 8;
      continue;
    }
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    char32_t cp = 0;
    const size_t len = StrictUtf8At(text, i, cp);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

namespace {

// Bytes 0x80..0xFF of code page 852 (Latin-2 letters and box drawing).
constexpr std::array<char16_t, 128> kOemHigh = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x016F, 0x0107, 0x00E7,  // 80
    0x0142, 0x00EB, 0x0150, 0x0151, 0x00EE, 0x0179, 0x00C4, 0x0106,  // 88
    0x00C9, 0x0139, 0x013A, 0x00F4, 0x00F6, 0x013D, 0x013E, 0x015A,  // 90
    0x015B, 0x00D6, 0x00DC, 0x0164, 0x0165, 0x0141, 0x00D7, 0x010D,  // 98
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x0104, 0x0105, 0x017D, 0x017E,  // A0
    0x0118, 0x0119, 0x00AC, 0x017A, 0x010C, 0x015F, 0x00AB, 0x00BB,  // A8
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x00C1, 0x00C2, 0x011A,  // B0
    0x015E, 0x2563, 0x2551, 0x2557, 0x255D, 0x017B, 0x017C, 0x2510,  // B8
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x0102, 0x0103,  // C0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x00A4,  // C8
    0x0111, 0x0110, 0x010E, 0x00CB, 0x010F, 0x0147, 0x00CD, 0x00CE,  // D0
    0x011B, 0x2518, 0x250C, 0x2588, 0x2584, 0x0162, 0x016E, 0x2580,  // D8
    0x00D3, 0x00DF, 0x00D4, 0x0143, 0x0144, 0x0148, 0x0160, 0x0161,  // E0
    0x0154, 0x00DA, 0x0155, 0x0170, 0x00FD, 0x00DD, 0x0163, 0x00B4,  // E8
    0x00AD, 0x02DD, 0x02DB, 0x02C7, 0x02D8, 0x00A7, 0x00F7, 0x00B8,  // F0
    0x00B0, 0x00A8, 0x02D9, 0x0171, 0x0158, 0x0159, 0x25A0, 0x00A0,  // F8
};

// Simple upper-case mapping for the letters Windows-1250 can hold: ASCII, Latin-1 and
// Latin Extended-A (where upper and lower case alternate in pairs).
char16_t UpperUnit(char16_t u) {
  if (u >= u'a' && u <= u'z') return u - 0x20;
  if (u >= 0xE0 && u <= 0xFE && u != 0xF7) return u - 0x20;
  bool evenUpper = (u >= 0x100 && u <= 0x137) || (u >= 0x14A && u <= 0x177);
  bool oddUpper = (u >= 0x139 && u <= 0x148) || (u >= 0x179 && u <= 0x17E);
  if (evenUpper && (u & 1)) return u - 1;
  if (oddUpper && !(u & 1)) return u - 1;
  return u;
}

}  // namespace

std::string AnsiUpperCase(std::string_view text) {
  std::string out(text);
  for (char& ch : out) {
    char16_t u = Cp1250ToUnicode(static_cast<unsigned char>(ch));
    char16_t up = UpperUnit(u);
    if (up == u) continue;
    int b = UnicodeToCp1250(up);
    if (b >= 0) ch = static_cast<char>(b);
  }
  return out;
}

char16_t Cp852ToUnicode(unsigned char byte) {
  return byte < 0x80 ? static_cast<char16_t>(byte) : kOemHigh[byte - 0x80];
}

std::string AnsiToOem(std::string_view text, char replacement) {
  // Built once: for each Windows-1250 byte, the code page 852 byte of the same character.
  static const std::array<char, 256> kToOem = [] {
    std::array<char, 256> table{};
    for (int b = 0; b < 256; ++b) {
      char16_t unit = Cp1250ToUnicode(static_cast<unsigned char>(b));
      int oem = unit < 0x80 ? unit : -1;
      for (int i = 0; i < 128 && oem < 0; ++i)
        if (kOemHigh[i] == unit) oem = 0x80 + i;
      // 0 marks "not representable"; byte 0 itself maps to 0 and is handled below.
      table[b] = static_cast<char>(oem < 0 ? 0 : oem);
    }
    return table;
  }();
  std::string out;
  out.resize(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    char oem = kToOem[b];
    out[i] = (oem == 0 && b != 0) ? replacement : oem;
  }
  return out;
}

}  // namespace runtime
