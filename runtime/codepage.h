#pragma once
// Windows-1250 <-> UTF-16 and UTF-8 conversions.
//
// 8-bit text inside the program is Windows-1250. The five byte values the code page leaves
// unassigned (0x81, 0x83, 0x88, 0x90, 0x98) map to the C1 controls of the same number, so
// every byte survives a round trip through wide text. That is also why UTF-8 page bytes
// pass unchanged through the JSON library: each byte becomes one code unit and comes back.

#include <string>
#include <string_view>

namespace runtime {

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
