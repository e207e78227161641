#pragma once
// The socket's address resolvers: texts of hosts, ports and protocols to the numbers a socket
// takes. Pure, apart from the platform's host, service and protocol tables that ResolveHost,
// ResolvePort and ResolveProto consult for names; failures throw ESocketException with the
// texts callers know.

#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace net {

// Four decimal groups of at most 255 separated by three dots, each dot followed by a digit;
// leading and trailing blanks allowed.
bool IsDottedAddress(const std::string& text);
// inet_addr of the trimmed text (INADDR_NONE when it is no address).
in_addr_t InetAddr(const std::string& text);
std::string InetNtoa(in_addr_t address);

// Blocking: a dotted address is taken as it is, a name is looked up.
in_addr_t ResolveHost(const std::string& name);
// In network order; a text that starts with a digit is taken for its leading number.
uint16_t ResolvePort(const std::string& port, const std::string& proto);
int ResolveProto(const std::string& proto);

}  // namespace net
