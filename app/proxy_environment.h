#pragma once
// The proxy a desktop session already names: the https_proxy / http_proxy variables that
// browsers and command-line tools read, as "http://[user:password@]host:port".

#include <optional>
#include <string>

namespace app {

struct TProxySetting {
  std::string Host, Port, User, Password;  // user and password percent-decoded
  std::string Variable;                    // the variable it came from
};

// Reads `value` as a proxy address; none when it is not one (no host, a scheme other than
// http, a port that is not a number). Without a port, 80.
std::optional<TProxySetting> ParseProxyAddress(const std::string& value);

// The first of https_proxy, HTTPS_PROXY, http_proxy, HTTP_PROXY that is set and not empty,
// read by ParseProxyAddress; none when none is set. `problem` gets why a set one was not
// usable (English), and stays empty when none was set.
std::optional<TProxySetting> ProxyFromEnvironment(std::string& problem);

}  // namespace app
