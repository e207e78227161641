#include "listing/coordinates.h"

#include <gtest/gtest.h>

#include <string>

namespace listing {
namespace {

// The page writes the degree sign in UTF-8: two bytes.
std::string Coords(const std::string& lat, const std::string& latDeg, const std::string& latMin,
                   const std::string& lon, const std::string& lonDeg, const std::string& lonMin) {
  return lat + " " + latDeg + "\xc2\xb0 " + latMin + " " + lon + " " + lonDeg + "\xc2\xb0 " + lonMin;
}

TEST(ListingCoordinates, ConvertsHemispheresAndMinutes) {
  struct Case {
    std::string text, latitude, longitude;
  } cases[] = {
      {Coords("N", "48", "08.123", "E", "017", "06.456"), "48.1353833", "17.1076000"},
      {Coords("N", "00", "00.000", "E", "000", "00.000"), "0.0000000", "0.0000000"},
      {Coords("S", "33", "51.300", "E", "151", "12.600"), "-33.8550000", "151.2100000"},
      {Coords("N", "40", "41.000", "W", "074", "02.400"), "40.6833333", "-74.0400000"},
      {Coords("N", "10", "59.999", "W", "000", "59.999"), "10.9999833", "-0.9999833"},
      // Bytes past the fixed layout are ignored.
      {Coords("N", "48", "08.123", "E", "017", "06.456") + " trailing", "48.1353833", "17.1076000"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.latitude, LatitudeText(c.text)) << c.text;
    EXPECT_EQ(c.longitude, LongitudeText(c.text)) << c.text;
  }
}

TEST(ListingCoordinates, QuestionMarkAnywhereGivesNull) {
  EXPECT_EQ("null", LatitudeText("N ??\xc2\xb0 ??.??? E ???\xc2\xb0 ??.???"));
  EXPECT_EQ("null", LongitudeText("???"));
  EXPECT_EQ("null", LatitudeText(Coords("N", "48", "08.123", "E", "017", "06.456") + "?"));
}

TEST(ListingCoordinates, MisplacedDigitsThrow) {
  // A one-digit degree shifts the layout; a short or empty text lacks the positions.
  const std::string shifted = "N 8\xc2\xb0 08.123 E 17\xc2\xb0 06.456";
  EXPECT_THROW(LatitudeText(shifted), ECoordinateError);
  EXPECT_THROW(LongitudeText(shifted), ECoordinateError);
  EXPECT_THROW(LatitudeText(""), ECoordinateError);
  EXPECT_THROW(LongitudeText("N 48\xc2\xb0 08.123"), ECoordinateError);
  EXPECT_THROW(LatitudeText(Coords("N", "48", "inf   ", "E", "017", "06.456")), ECoordinateError);
  EXPECT_THROW(LatitudeText(Coords("N", "48", "nan.00", "E", "017", "06.456")), ECoordinateError);
}

}  // namespace
}  // namespace listing
