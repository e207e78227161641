#pragma once
// Coordinates as the listing page shows them (hemisphere letters, degrees, decimal minutes) to
// signed decimal degrees with seven decimals.
//
// The page text has a fixed layout, for example "N 48° 08.123 E 017° 06.456" in UTF-8 (the
// degree sign takes two bytes): latitude degrees at bytes 3-4, minutes at 8-13, hemisphere at
// 1; longitude degrees at 17-19, minutes at 23-28, hemisphere at 15. Nothing looks for
// separators; bytes beyond 28 are ignored.

#include <stdexcept>
#include <string>
#include <string_view>

namespace listing {

// Raised when the bytes at the fixed positions do not read as numbers.
class ECoordinateError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "null" when the text holds a "?" anywhere; otherwise the latitude as "%2.7f" with "." (negative
// for "S"). Throws ECoordinateError.
std::string LatitudeText(std::string_view coordinates);

// As LatitudeText for the longitude (negative for "W").
std::string LongitudeText(std::string_view coordinates);

}  // namespace listing
