#pragma once
// Small pure helpers of the HTTP client: taking addresses apart, resolving relative
// relocation targets, Base64 for credentials and the date text of If-Modified-Since.
// They work on 8-bit text, raise nothing and keep no state.

#include <cstddef>
#include <string>
#include <string_view>

#include "runtime/formatting.h"

namespace http {

// Splits `url` into protocol, user, password, host, port and path. `path` is read first as
// the base path for "./" and "../" addresses, then overwritten. No default port is filled in.
void SplitUrl(const std::string& url, std::string& proto, std::string& user, std::string& pass,
              std::string& host, std::string& port, std::string& path);

// The path up to and including its last "/" or ":" before the first "?"; empty when none.
std::string PathDirectory(const std::string& path);

// 1-based position of the last occurrence of `needle` in `haystack`, 0 when absent.
size_t LastPos(std::string_view needle, std::string_view haystack);

// Standard Base64 with "=" padding and no line breaks.
std::string Base64Encode(std::string_view bytes);
// Decodes Base64, skipping CR, LF and anything outside the alphabet; stops at "=".
std::string Base64Decode(std::string_view text);

// "Www, dd Mon yyyy hh:nn:ss" of `value` as given (no time-zone conversion; the caller
// appends " GMT").
std::string HttpDateText(const runtime::TDateTime& value);

// The request target as it may go on the wire: bytes 0-32 and 127 become %XX, so an address
// holding a blank or a line break can neither split the request line nor add header lines.
// Every other byte (an existing %XX included) is kept.
std::string EncodeRequestTarget(std::string_view target);

// True when `text` holds CR, LF or NUL, which would end a header line early.
bool HasLineBreak(std::string_view text);

// The document name of a request path: its last segment without query, at most 255
// characters; "document.htm" when that is empty.
std::string DocumentNameOf(const std::string& path);

// A document name for an HTML body: an ".exe" or missing extension becomes "htm".
std::string HtmlDocumentName(const std::string& name);

}  // namespace http
