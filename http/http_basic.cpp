#include "http/http_basic.h"

#include "http/url.h"

namespace http {

std::string BasicAuthorization(std::string_view user, std::string_view password) {
  std::string plain;
  plain.reserve(user.size() + 1 + password.size());
  plain.append(user).append(":").append(password);
  return Base64Encode(plain);
}

}  // namespace http
