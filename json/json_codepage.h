#pragma once
// Windows-1250 tables for the hot loops of the library: decoding page bytes as the parser
// meets them, and storing strings narrow. Built once from the runtime's code page.

#include <cstddef>
#include <cstdint>

namespace json::codepage {

// The 16-bit unit of every byte (256 entries).
const char16_t* Units();

namespace detail {
const int16_t* LowBytes();   // units 0..0x2FF
const int16_t* HighBytes();  // units 0x2000..0x212F (the punctuation the code page has)
}  // namespace detail

// The byte that stands for `unit`, or -1 when the code page has none.
inline int ByteOf(char16_t unit) {
  if (unit < 0x80) return unit;
  if (unit < 0x300) return detail::LowBytes()[unit];
  if (unit >= 0x2000 && unit < 0x2130) return detail::HighBytes()[unit - 0x2000];
  return -1;
}

// Writes the units of `n` bytes to `out`.
void Decode(const unsigned char* bytes, size_t n, char16_t* out);

// Writes the bytes of up to `n` units to `out`; returns how many it wrote, fewer than `n`
// when it met a unit the code page lacks.
size_t Encode(const char16_t* units, size_t n, unsigned char* out);

}  // namespace json::codepage
