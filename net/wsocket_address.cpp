#include "net/wsocket_address.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cctype>
#include <cstring>

#include "net/net_exceptions.h"
#include "net/winsock_library.h"
#include "platform/host_lookup.h"
#include "platform/winsock.h"
#include "runtime/ascii_text.h"

namespace net {

namespace {

bool StartsWithDigit(const std::string& s) {
  return !s.empty() && std::isdigit(static_cast<unsigned char>(s[0]));
}

// The leading decimal digits as a number (what the resolvers take for "a number").
long LeadingNumber(const std::string& s) {
  long value = 0;
  for (char c : s) {
    if (!std::isdigit(static_cast<unsigned char>(c))) break;
    value = value * 10 + (c - '0');
    if (value > 0x7FFFFFFF) break;
  }
  return value;
}

}  // namespace

bool IsDottedAddress(const std::string& text) {
  size_t i = 0, n = text.size();
  while (i < n && text[i] == ' ') ++i;
  if (i < n && text[i] == '.') return false;
  int groups = 0;
  while (groups < 4) {
    if (i >= n || !std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    int value = 0, digits = 0;
    while (i < n && std::isdigit(static_cast<unsigned char>(text[i]))) {
      value = value * 10 + (text[i] - '0');
      if (++digits > 3 || value > 255) return false;
      ++i;
    }
    ++groups;
    if (groups < 4) {
      if (i >= n || text[i] != '.') return false;
      ++i;
    }
  }
  while (i < n && text[i] == ' ') ++i;
  return i == n;
}

in_addr_t InetAddr(const std::string& text) {
  return ::inet_addr(std::string(runtime::Trim(text)).c_str());
}

std::string InetNtoa(in_addr_t address) {
  in_addr a{};
  a.s_addr = address;
  char buf[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &a, buf, sizeof buf);
  return buf;
}

in_addr_t ResolveHost(const std::string& name) {
  const std::string host(runtime::Trim(name));
  if (host.empty()) throw ESocketException("Winsock Resolve Host: '" + name + "' Invalid Hostname.");
  if (IsDottedAddress(host)) {
    const in_addr_t address = InetAddr(host);
    if (address == INADDR_NONE && host != "255.255.255.255")
      throw ESocketException("Winsock Resolve Host: '" + name + "' Invalid IP address.");
    return address;
  }
  WinSockEnsureLoaded();
  hostent* entry = platform::gethostbyname(host.c_str());
  if (!entry || !entry->h_addr_list || !entry->h_addr_list[0])
    throw ESocketException("Winsock Resolve Host: Cannot convert host address '" + name + "' - " +
                           WinSockErrorDesc(platform::WSAGetLastError()));
  in_addr_t address;
  std::memcpy(&address, entry->h_addr_list[0], sizeof address);
  return address;
}

uint16_t ResolvePort(const std::string& port, const std::string& proto) {
  if (port.empty()) throw ESocketException("Winsock Resolve Port: Invalid Port.");
  if (proto.empty()) throw ESocketException("Winsock Resolve Port: Invalid Proto.");
  if (StartsWithDigit(port)) return htons(static_cast<uint16_t>(LeadingNumber(port)));
  servent result{}, *entry = nullptr;
  char buf[1024];
  if (::getservbyname_r(port.c_str(), runtime::Lower(runtime::Trim(proto)).c_str(), &result, buf, sizeof buf, &entry) != 0 ||
      !entry)
    // The platform reports an unknown service as "no data".
    throw ESocketException("Winsock Resolve Port: Cannot convert port '" + port + "' - " +
                           WinSockErrorDesc(platform::WSANO_DATA));
  return static_cast<uint16_t>(entry->s_port);
}

int ResolveProto(const std::string& proto) {
  if (proto.empty()) throw ESocketException("Winsock Resolve Proto: Invalid Protocol.");
  if (StartsWithDigit(proto)) return static_cast<int>(LeadingNumber(proto));
  const std::string p = runtime::Lower(runtime::Trim(proto));
  if (p == "tcp") return IPPROTO_TCP;
  if (p == "udp") return IPPROTO_UDP;
  if (p == "raw") return IPPROTO_RAW;
  protoent result{}, *entry = nullptr;
  char buf[1024];
  if (::getprotobyname_r(p.c_str(), &result, buf, sizeof buf, &entry) != 0 || !entry)
    throw ESocketException("Winsock Resolve Proto: Cannot convert protocol '" + proto + "' - " +
                           WinSockErrorDesc(platform::WSANO_DATA));
  return entry->p_proto;
}

}  // namespace net
