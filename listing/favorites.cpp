#include "listing/favorites.h"

namespace listing {

std::string FavoriteScoreAddress(std::string_view token, std::string_view host) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string address = "http://";
  address.append(host).append("/datastore/favorites.svc/score?u=");
  for (char c : token) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 32 || byte >= 127 || c == '#') {
      address += '%';
      address += kHex[byte >> 4];
      address += kHex[byte & 15];
    } else {
      address += c;
    }
  }
  return address;
}

}  // namespace listing
