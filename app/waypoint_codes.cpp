#include "app/waypoint_codes.h"

#include <algorithm>

namespace app {

bool IsWaypointCode(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
  return true;
}

TCodeList ParseCodeList(const std::string& text) {
  TCodeList list;
  static constexpr const char* kSeparators = " \t\r\n,";
  for (size_t at = text.find_first_not_of(kSeparators); at != std::string::npos;
       at = text.find_first_not_of(kSeparators, at)) {
    const size_t end = std::min(text.find_first_of(kSeparators, at), text.size());
    std::string word = text.substr(at, end - at);
    at = end;
    std::vector<std::string>& into = IsWaypointCode(word) ? list.Codes : list.Bad;
    if (std::find(into.begin(), into.end(), word) == into.end()) into.push_back(std::move(word));
  }
  return list;
}

}  // namespace app
