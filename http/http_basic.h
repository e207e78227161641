#pragma once
// Basic authentication: the credentials, Base64-encoded, as the value that follows
// "Authorization: Basic " or "Proxy-Authorization: Basic ".

#include <string>
#include <string_view>

namespace http {

// user ":" password as 8-bit text, Base64-encoded.
std::string BasicAuthorization(std::string_view user, std::string_view password);

}  // namespace http
