#include "json/json_codepage.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace json::codepage {

// Text is mostly ASCII, which maps to itself: both loops take 16 bytes or 8 units at a time
// while they are ASCII, and the tables only for the rest.

void Decode(const unsigned char* bytes, size_t n, char16_t* out) {
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  for (; i + 16 <= n; i += 16) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
    if (_mm_movemask_epi8(b) != 0) {  // a byte from 0x80 up
      for (size_t k = i; k < i + 16; ++k) out[k] = UnitOf(bytes[k]);
      continue;
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi8(b, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), _mm_unpackhi_epi8(b, zero));
  }
#endif
  for (; i < n; ++i) out[i] = UnitOf(bytes[i]);
}

size_t Encode(const char16_t* units, size_t n, unsigned char* out) {
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i high = _mm_set1_epi16(static_cast<short>(0xFF80));
  const __m128i zero = _mm_setzero_si128();
  for (; i + 8 <= n; i += 8) {
    const __m128i u = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + i));
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(u, high), zero)) == 0xFFFF) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(u, u));
      continue;
    }
    for (size_t k = i; k < i + 8; ++k) {
      const int b = ByteOf(units[k]);
      if (b < 0) return k;
      out[k] = static_cast<unsigned char>(b);
    }
  }
#endif
  for (; i < n; ++i) {
    const int b = ByteOf(units[i]);
    if (b < 0) break;
    out[i] = static_cast<unsigned char>(b);
  }
  return i;
}

}  // namespace json::codepage
