#pragma once
// Windows-1250 tables for the hot loops of the library: decoding page bytes as the parser
// meets them, and storing strings narrow. Built at compile time from the runtime's code page.

#include <array>
#include <cstddef>
#include <cstdint>

#include "runtime/codepage.h"

namespace json::codepage {

struct TTables {
  std::array<char16_t, 256> Units{};  // the unit of every byte
  std::array<int16_t, 0x300> Low{};   // the byte of units 0..0x2FF, or -1
  std::array<int16_t, 0x130> High{};  // the byte of units 0x2000..0x212F (punctuation), or -1

  constexpr TTables() {
    Low.fill(-1);
    High.fill(-1);
    for (int b = 0; b < 256; ++b) {
      const char16_t u = b < 0x80 ? static_cast<char16_t>(b) : runtime::kCp1250High[b - 0x80];
      Units[b] = u;
      if (u < 0x300)
        Low[u] = static_cast<int16_t>(b);
      else if (u >= 0x2000 && u < 0x2130)
        High[u - 0x2000] = static_cast<int16_t>(b);
    }
  }
};

inline constexpr TTables kTables{};

// The unit of a byte.
inline char16_t UnitOf(unsigned char byte) { return kTables.Units[byte]; }

// The byte that stands for `unit`, or -1 when the code page has none.
inline int ByteOf(char16_t unit) {
  if (unit < 0x300) return kTables.Low[unit];
  if (unit >= 0x2000 && unit < 0x2130) return kTables.High[unit - 0x2000];
  return -1;
}

// Writes the units of `n` bytes to `out`.
void Decode(const unsigned char* bytes, size_t n, char16_t* out);

// Writes the bytes of up to `n` units to `out`; returns how many it wrote, fewer than `n`
// when it met a unit the code page lacks.
size_t Encode(const char16_t* units, size_t n, unsigned char* out);

}  // namespace json::codepage
