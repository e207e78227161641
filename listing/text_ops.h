#pragma once
// The text operations the listing conversion is built from.
//
// A page is never parsed as HTML: values are cut out between fixed marker strings. What a page
// without a marker yields follows entirely from the edge rules below, so they are kept exactly:
// positions are 1-based byte positions, 0 means "not found", every search is byte for byte and
// case-sensitive, and no operation throws.
//
// Operations that only select part of a text return a view into their argument, never a copy:
// the caller keeps the underlying text alive while it uses the result.

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

namespace listing {

// A count that means "the rest of the text".
inline constexpr int64_t kRest = std::numeric_limits<int64_t>::max();

// The bytes of `text` from position `start` on, at most `count` of them. A start below 1 is
// taken as 1 without reducing the count; a start beyond the end or a negative count gives the
// empty text; a count past the end is cut to the end.
std::string_view Slice(std::string_view text, int64_t start, int64_t count);

// Position of the leftmost occurrence of `needle` in `text`; 0 when there is none or when either
// is empty.
int64_t FindText(std::string_view needle, std::string_view text);

// The leftmost occurrence that begins at position offset + 1 or later, as a position in the
// whole text; 0 when there is none (so always 0 for an offset at or past the end). A negative
// offset counts as 0.
int64_t FindFrom(std::string_view needle, std::string_view text, int64_t offset);

// What lies between the first `startMarker` and the next `endMarker`. The end marker is looked
// for from the second byte behind the start marker on; an absent end marker gives the empty
// text; an absent start marker is not special: the piece then starts at the position equal to
// the start marker's length.
std::string_view TextBetween(std::string_view startMarker, std::string_view endMarker, std::string_view text);

// TextBetween over the page, except that an absent start marker gives the empty text.
std::string_view PageBetween(std::string_view page, std::string_view startMarker, std::string_view endMarker);

// `text` without the bytes of value 32 or less at both ends (blanks, tabs, line breaks and the
// other control bytes). Bytes of 128 and above stay.
std::string_view TrimBlanks(std::string_view text);

// `text` with its leftmost occurrence of `what` replaced by `by`. An empty `what` changes nothing.
std::string ReplaceFirst(std::string_view text, std::string_view what, std::string_view by);

// `text` with every occurrence of `what` replaced by `by`, scanning left to right; inserted text
// is never scanned again. An empty `what` changes nothing.
std::string ReplaceAll(std::string_view text, std::string_view what, std::string_view by);

// Every apostrophe doubled, nothing else touched: the result goes between two apostrophes of a
// statement.
std::string SqlQuote(std::string_view text);

// Every carriage return as "#13;" and every line feed as "#10;", so a statement stays on one
// line of the SQL file.
std::string EscapeLineBreaks(std::string_view text);

// ROT13 of the letters outside bracketed stretches. "<" or "[" opens a stretch, ">" or "]"
// closes either kind; the brackets themselves are kept and do not nest.
std::string RotateHint(std::string_view text);

// A date written with two slashes (5/7/2012) as one written with hyphens (05-07-2012): the
// fields keep their order, one-character fields get a leading "0", the last field keeps at
// most four characters. Nothing is validated.
std::string LogVisitDate(std::string_view text);

}  // namespace listing
