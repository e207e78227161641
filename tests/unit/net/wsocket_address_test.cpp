#include "net/wsocket_address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <functional>

#include "net/net_exceptions.h"

namespace {

std::string ThrownText(const std::function<void()>& call) {
  try {
    call();
  } catch (const net::ESocketException& e) {
    return e.what();
  }
  return "(nothing thrown)";
}

TEST(NetWSocketAddress, DottedAddressesAndTheirNumbers) {
  struct {
    const char* text;
    bool dotted;
  } const cases[] = {
      {"127.0.0.1", true},   {"  10.1.2.3 ", true}, {"255.255.255.255", true}, {"0.0.0.0", true},
      {"256.1.1.1", false},  {"1.2.3", false},      {"1.2.3.4.5", false},      {".1.2.3", false},
      {"1..2.3", false},     {"1.2.3.0004", false}, {"a.b.c.d", false},        {"", false},
      {"1.2.3.4x", false},   {"\t1.2.3.4", false},
  };
  for (const auto& c : cases) EXPECT_EQ(c.dotted, net::IsDottedAddress(c.text)) << c.text;
  EXPECT_EQ(htonl(0x7F000001), net::InetAddr(" 127.0.0.1\t"));
  EXPECT_EQ("10.1.2.3", net::InetNtoa(net::InetAddr("10.1.2.3")));
  EXPECT_EQ(htonl(0x0A010203), net::ResolveHost(" 10.1.2.3 "));
  EXPECT_EQ(INADDR_BROADCAST, net::ResolveHost("255.255.255.255"));
}

TEST(NetWSocketAddress, PortsAndProtocolsByNumberOrName) {
  EXPECT_EQ(htons(8080), net::ResolvePort("8080", "tcp"));
  EXPECT_EQ(htons(80), net::ResolvePort("80abc", "tcp"));  // the leading number counts
  EXPECT_EQ(IPPROTO_TCP, net::ResolveProto(" TCP "));
  EXPECT_EQ(IPPROTO_UDP, net::ResolveProto("udp"));
  EXPECT_EQ(IPPROTO_RAW, net::ResolveProto("raw"));
  EXPECT_EQ(17, net::ResolveProto("17"));

  EXPECT_EQ("Winsock Resolve Host: '  ' Invalid Hostname.", ThrownText([] { net::ResolveHost("  "); }));
  EXPECT_EQ("Winsock Resolve Port: Invalid Port.", ThrownText([] { net::ResolvePort("", "tcp"); }));
  EXPECT_EQ("Winsock Resolve Port: Invalid Proto.", ThrownText([] { net::ResolvePort("80", ""); }));
  EXPECT_EQ("Winsock Resolve Proto: Invalid Protocol.", ThrownText([] { net::ResolveProto(""); }));
  EXPECT_EQ(0u, ThrownText([] { net::ResolvePort("no-such-service-x", "tcp"); })
                    .rfind("Winsock Resolve Port: Cannot convert port 'no-such-service-x' - ", 0));
  EXPECT_EQ(0u, ThrownText([] { net::ResolveProto("no-such-proto-x"); })
                    .rfind("Winsock Resolve Proto: Cannot convert protocol 'no-such-proto-x' - ", 0));
}

}  // namespace
