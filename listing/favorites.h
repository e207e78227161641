#pragma once
// The address of the site's favourites score request for the page being converted.

#include <string>
#include <string_view>

namespace listing {

// "http://" + host + "/datastore/favorites.svc/score?u=" + the page's user token (as the page's
// layout cuts it: the text between "userToken = '" and the next apostrophe). The token is
// taken as it stands, except that bytes a request line cannot carry (control bytes, blanks,
// "#", bytes of 127 and above) are percent-encoded, so a page cannot smuggle header lines or a
// fragment into the request.
std::string FavoriteScoreAddress(std::string_view token, std::string_view host);

}  // namespace listing
