#pragma once
// The attribute marks of a cache: one character per entry of a fixed attribute table.

#include <string>
#include <string_view>
#include <vector>

namespace listing {

// Number of marks in an attribute string. The table holds one entry more, whose mark has no
// place and is never stored.
inline constexpr size_t kAttributeMarks = 65;

// The 66 items of the main window's attribute list box, as they stand. Each is a two-digit
// number, a blank, the image name up to the first comma, and text the program does not use.
const std::vector<std::string>& DefaultAttributeItems();

// 65 marks for the attribute section of a page: "N" where the item's "<image>-no.gif" occurs,
// else "A" where "<image>-yes.gif" occurs, else "-". Items without a comma have no image name
// and keep "-"; items past the 65th have no mark.
std::string AttributeString(std::string_view section, const std::vector<std::string>& items);

}  // namespace listing
