#include "http/http_tunnel.h"

#include <strings.h>

namespace http {
namespace {

bool StartsNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

bool StartsCase(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

bool TunnelAnswerComplete(std::string_view held) {
  return held.find("\r\n\r\n") != std::string_view::npos ||
         held.find("\n\n") != std::string_view::npos;
}

bool TunnelAnswerOpens(std::string_view answer) {
  bool is200 = StartsNoCase(answer, "HTTP/1.0 200") || StartsNoCase(answer, "HTTP/1.1 200") ||
               StartsNoCase(answer, "HTTP/1.0  200") || StartsNoCase(answer, "HTTP/1.1  200");
  if (!is200) return false;
  bool plainOk = StartsCase(answer, "HTTP/1.1 200 OK") || StartsCase(answer, "HTTP/1.0 200 OK");
  return !plainOk || answer.find("Content-Length:") == std::string_view::npos ||
         answer.find("Content-Length: 0") != std::string_view::npos;
}

}  // namespace http
