#pragma once
// The site login's pure parts: the form encoding and the texts that decide a sign-in.

#include <string>
#include <string_view>

namespace app {

// Percent-encoding of one form value (Windows-1250 in, ASCII out). Letters, digits and
// "*-.[]^_`{}~" and byte 127 stay; a blank becomes "%20"; other ASCII punctuation and control
// bytes become "%" + two upper-case hex digits; a byte of 128 and above becomes its UTF-8
// encoding as "%XX%XX" when that is two bytes long and is dropped when it is three (the euro
// sign, typographic quotes and dashes, the code page's unassigned bytes).
std::string FormEncode(std::string_view text);

// The hidden form state of a login page: the text after `"__VIEWSTATE" value="` up to the next
// double quotation mark from the value's third character on.
std::string ViewState(std::string_view page);

// The body of the login form post, fields in their fixed order, values encoded.
std::string LoginFormBody(std::string_view viewState, std::string_view user, std::string_view password);

// True when the reply to the login post shows either success marker.
bool LoginSucceeded(std::string_view reply);

// Colours of the user name field after a sign-in (window colour values: 0x00BBGGRR).
inline constexpr unsigned kColorRed = 255;
inline constexpr unsigned kColorGreen = 32768;
inline constexpr unsigned kColorWhite = 0xFFFFFF;
inline constexpr unsigned kColorBlack = 0;

}  // namespace app
