#pragma once
// A value of the conversion's rows as the listings database holds it. The rows carry the page's
// text as it was cut; a person querying the database expects the value itself: no markup the cut
// took along, real line breaks, UTF-8, numbers as numbers, dates that sort and compare.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace listing {

// `text` without what a cut between page markers carries along at either end: blanks and line
// breaks, a closing tag whose element did not open inside the value, a tag that opens at its very
// end. Markup inside the value (a description's own paragraphs) stays. Line breaks become LF,
// NUL characters are dropped (SQLite's text functions would end the text there), and bytes that
// are not UTF-8 become U+FFFD. Empty when nothing is left. The result is a view into `text` when
// only its ends changed (a description is some hundred KB: it is not copied then), else into
// `scratch`.
std::string_view CleanText(std::string_view text, std::string& scratch);

// A decimal number ("2.5", "-48.1353833"); none for anything else ("", "null", "2.5x").
std::optional<double> RealValue(std::string_view text);
// A whole number ("182", "-3"); none for anything else.
std::optional<int64_t> IntegerValue(std::string_view text);
// "true" as 1, "false" as 0; none for anything else.
std::optional<int64_t> FlagValue(std::string_view text);

// A date as ISO 8601 ("2011-06-15"): from "yyyy-mm-dd" or a log's "mm-dd-yyyy" (the site writes
// visit dates month first). Empty for anything else, or a month or day out of range.
std::string IsoDate(std::string_view text);
// A date and time "yyyy-mm-dd hh:mm:ss", checked as IsoDate; empty when it is not one.
std::string IsoDateTime(std::string_view text);

}  // namespace listing
