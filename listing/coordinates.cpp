#include "listing/coordinates.h"

#include <cmath>

#include "listing/text_ops.h"
#include "runtime/formatting.h"

namespace listing {
namespace {

std::string DegreesText(std::string_view coordinates, int64_t degreesAt, int64_t degreesCount,
                        int64_t minutesAt, int64_t hemisphereAt, char negativeHemisphere) {
  if (coordinates.find('?') != std::string_view::npos) return "null";
  const std::string_view degreesText = Slice(coordinates, degreesAt, degreesCount);
  const std::optional<int32_t> degrees = runtime::TryStrToInt(degreesText);
  if (!degrees) throw ECoordinateError("'" + std::string(degreesText) + "' is not a whole number of degrees");
  const std::string_view minutesText = Slice(coordinates, minutesAt, 6);
  const std::optional<double> minutes = runtime::TryStrToFloat(minutesText);
  // "inf" and "nan" read as numbers but are no coordinates.
  if (!minutes || !std::isfinite(*minutes)) {
    throw ECoordinateError("'" + std::string(minutesText) + "' is not a number of minutes");
  }
  double value = static_cast<double>(*degrees) + *minutes / 60.0;
  if (Slice(coordinates, hemisphereAt, 1) == std::string_view(&negativeHemisphere, 1)) value = -value;
  return runtime::FormatFixed7(value);
}

}  // namespace

std::string LatitudeText(std::string_view coordinates) {
  return DegreesText(coordinates, 3, 2, 8, 1, 'S');
}

std::string LongitudeText(std::string_view coordinates) {
  return DegreesText(coordinates, 17, 3, 23, 15, 'W');
}

}  // namespace listing
