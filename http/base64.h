#pragma once
// Base64 with the standard alphabet: credentials of Basic authentication and the NTLM
// messages travel in it.

#include <string>
#include <string_view>

namespace http {

// Padded with "=" to a multiple of four characters, no line breaks.
std::string Base64Encode(std::string_view bytes);

// Decodes leniently: characters outside the alphabet (line breaks, blanks) are skipped and
// decoding stops at the first "="; a dangling sixth of a byte is dropped.
std::string Base64Decode(std::string_view text);

}  // namespace http
