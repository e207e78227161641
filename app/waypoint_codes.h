#pragma once
// Waypoint codes as the user gives them: on the command line, one per argument, or in the
// window's field, many to a line.

#include <string>
#include <vector>

namespace app {

// A waypoint code goes into an address and a file name as it is: only ASCII letters and digits
// can do both without encoding.
bool IsWaypointCode(const std::string& text);

struct TCodeList {
  std::vector<std::string> Codes;  // in the order given, each once
  std::vector<std::string> Bad;    // the words that are not codes, in the order given
};

// Splits `text` at blanks, tabs, commas and line breaks and sorts the words into codes and bad
// ones. A code given twice is kept once: it would be downloaded twice to the same file.
TCodeList ParseCodeList(const std::string& text);

}  // namespace app
