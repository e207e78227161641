#pragma once
// Windows-1250 <-> UTF-16 and UTF-8 conversions.
//
// 8-bit text inside the program is Windows-1250. The five byte values the code page leaves
// unassigned (0x81, 0x83, 0x88, 0x90, 0x98) map to the C1 controls of the same number, so
// every byte survives a round trip through wide text. That is also why UTF-8 page bytes
// pass unchanged through the JSON library: each byte becomes one code unit and comes back.

#include <array>
#include <string>
#include <string_view>

namespace runtime {

// Bytes 0x80..0xFF of Windows-1250. The five unassigned positions carry the C1 control of
// the same number so that no byte is lost on the way to wide text and back.
inline constexpr std::array<char16_t, 128> kCp1250High = {
    0x20AC, 0x0081, 0x201A, 0x0083, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x0088, 0x2030, 0x0160, 0x2039, 0x015A, 0x0164, 0x017D, 0x0179,  // 88
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0098, 0x2122, 0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A,  // 98
    0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6, 0x00A7,  // A0
    0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B,  // A8
    0x00B0, 0x00B1, 0x02DB, 0x0142, 0x00B4, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C,  // B8
    0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7,  // C0
    0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E,  // C8
    0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7,  // D0
    0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF,  // D8
    0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,  // E0
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F,  // E8
    0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7,  // F0
    0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,  // F8
};

// The Unicode code point of one Windows-1250 byte (never fails).
char16_t Cp1250ToUnicode(unsigned char byte);

// The Windows-1250 byte of a code unit, or -1 when the code page cannot hold it.
int UnicodeToCp1250(char16_t unit);

// 8-bit text to wide text, one code unit per byte.
std::u16string AnsiToWide(std::string_view text);

// Wide text to 8-bit text; a code unit the code page cannot hold (a surrogate included)
// becomes `replacement`.
std::string WideToAnsi(std::u16string_view text, char replacement = '?');

// UTF-8 (as the GUI and the terminal give it) to Windows-1250 and back. Invalid UTF-8 and
// characters outside the code page become `replacement`.
std::string Utf8ToAnsi(std::string_view text, char replacement = '?');
std::string AnsiToUtf8(std::string_view text);

// Strict UTF-8 (no overlong forms, no surrogates) to 16-bit units, characters beyond them as
// surrogate pairs; a byte that does not begin a valid sequence becomes U+FFFD on its own, so
// the bytes behind it (a quote, say) are read as they stand.
std::u16string Utf8ToWide(std::string_view text);
// 16-bit units to UTF-8; a surrogate without its pair becomes U+FFFD.
std::string WideToUtf8(std::u16string_view text);
// Whether `text` is strict UTF-8 throughout.
bool IsUtf8(std::string_view text);

// Windows-1250 text in upper case, accented letters included, as the platform's ANSI
// upper-casing does it; bytes without an upper-case form stay.
std::string AnsiUpperCase(std::string_view text);

// The Unicode code point of one byte of the OEM code page 852, the console code page that
// goes with Windows-1250 (never fails).
char16_t Cp852ToUnicode(unsigned char byte);

// Windows-1250 text to code page 852, as the platform's ANSI-to-OEM conversion does it: NTLM
// sends user names and passwords this way to a peer that does not take Unicode. A character
// that code page 852 cannot hold becomes `replacement`.
std::string AnsiToOem(std::string_view text, char replacement = '?');

}  // namespace runtime
