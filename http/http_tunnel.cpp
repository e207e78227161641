#include "http/http_tunnel.h"

#include <strings.h>

#include <algorithm>

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

std::string TunnelAnswerStatus(std::string_view answer) {
  std::string_view line = answer.substr(0, answer.find_first_of("\r\n"));
  if (StartsNoCase(line, "HTTP/")) {
    line.remove_prefix(std::min(line.find(' '), line.size()));
    while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
  }
  std::string out(line.substr(0, 100));
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 32 || c == 127) c = '?';
  return out;
}

int TunnelAnswerCode(std::string_view answer) {
  const std::string status = TunnelAnswerStatus(answer);
  int code = 0;
  for (size_t i = 0; i < status.size() && i < 3 && status[i] >= '0' && status[i] <= '9'; ++i)
    code = code * 10 + (status[i] - '0');
  return code;
}

}  // namespace http
