#pragma once
// The listing site's host. The program reads the setting Site/Host over this default; every
// address and every page marker that names the site is built from the host it is given.

#include <string_view>

namespace listing {

inline constexpr std::string_view kDefaultSiteHost = "listing.tamvirel.example";

}  // namespace listing
