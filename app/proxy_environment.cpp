#include "app/proxy_environment.h"

#include <cstdlib>

namespace app {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Credentials in an address are percent-encoded ("p%40ss" for "p@ss").
std::string PercentDecoded(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 && HexDigit(text[i + 2]) >= 0) {
      out += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

std::optional<TProxySetting> ParseProxyAddress(const std::string& value) {
  std::string rest = value;
  if (const size_t scheme = rest.find("://"); scheme != std::string::npos) {
    std::string name = rest.substr(0, scheme);
    for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    // The clients speak plain HTTP to the proxy; a SOCKS or TLS proxy would not understand them.
    if (name != "http") return std::nullopt;
    rest.erase(0, scheme + 3);
  }
  rest = rest.substr(0, rest.find('/'));
  TProxySetting proxy;
  // The last "@": a password may hold one unencoded.
  if (const size_t at = rest.rfind('@'); at != std::string::npos) {
    const std::string credentials = rest.substr(0, at);
    const size_t colon = credentials.find(':');
    proxy.User = PercentDecoded(credentials.substr(0, colon));
    if (colon != std::string::npos) proxy.Password = PercentDecoded(credentials.substr(colon + 1));
    rest.erase(0, at + 1);
  }
  proxy.Port = "80";
  if (const size_t colon = rest.rfind(':'); colon != std::string::npos && rest.find(']', colon) == std::string::npos) {
    proxy.Port = rest.substr(colon + 1);
    rest.erase(colon);
    if (proxy.Port.empty() || proxy.Port.size() > 5 ||
        proxy.Port.find_first_not_of("0123456789") != std::string::npos || std::stoi(proxy.Port) > 65535 ||
        std::stoi(proxy.Port) == 0)
      return std::nullopt;
  }
  proxy.Host = rest;
  if (proxy.Host.empty()) return std::nullopt;
  return proxy;
}

std::optional<TProxySetting> ProxyFromEnvironment(std::string& problem) {
  problem.clear();
  for (const char* name : {"https_proxy", "HTTPS_PROXY", "http_proxy", "HTTP_PROXY"}) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] == '\0') continue;
    std::optional<TProxySetting> proxy = ParseProxyAddress(value);
    if (!proxy) {
      problem = std::string(name) + " is not an address of the form http://[user:password@]host:port: " + value;
      return std::nullopt;
    }
    proxy->Variable = name;
    return proxy;
  }
  return std::nullopt;
}

}  // namespace app
