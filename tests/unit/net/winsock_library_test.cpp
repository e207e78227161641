#include "net/winsock_library.h"

#include <gtest/gtest.h>

namespace {

TEST(NetWinSockErrorText, TableTextsAndUnknownCodes) {
  EXPECT_EQ("No Error", net::WinSockErrorText(0));
  EXPECT_EQ("Operation would block", net::WinSockErrorText(10035));
  EXPECT_EQ("Connection reset by peer", net::WinSockErrorText(10054));
  EXPECT_EQ("Socket is not connected", net::WinSockErrorText(10057));
  EXPECT_EQ("Connection refused", net::WinSockErrorText(10061));
  EXPECT_EQ("Too many levels of remote in path", net::WinSockErrorText(10071));
  EXPECT_EQ("WinSock DLL cannot support this application", net::WinSockErrorText(10092));
  EXPECT_EQ("Host not found", net::WinSockErrorText(11001));
  EXPECT_EQ("No Data", net::WinSockErrorText(11004));
  for (int code : {12345, -1, 1, 10000, 10072, 10090, 11000, 11005})
    EXPECT_EQ("Not a WinSock error", net::WinSockErrorText(code)) << code;
  EXPECT_EQ("Connection refused (#10061 in Connect)", net::WinSockErrorMessage(10061, "Connect"));
}

TEST(NetWinSockLibrary, ReleasedWithLastSocketAndVersionLockedWhileStarted) {
  ASSERT_EQ(0, net::WinSockLiveSocketCount());
  net::WinSockAddSocket();
  const int startups = net::WinSockStartupCount();
  net::WinSockEnsureLoaded();
  net::WinSockEnsureLoaded();
  EXPECT_TRUE(net::WinSockLoaded());
  EXPECT_EQ(startups + 1, net::WinSockStartupCount());

  EXPECT_TRUE(net::WinSockSetReqVerLow(1));   // same value: accepted silently
  EXPECT_FALSE(net::WinSockSetReqVerLow(2));  // refused while started
  EXPECT_FALSE(net::WinSockSetReqVerHigh(2));
  EXPECT_EQ(0x0101, net::WinSockRequestedVersion());

  net::WinSockRemoveSocket();
  EXPECT_FALSE(net::WinSockLoaded());
  EXPECT_TRUE(net::WinSockSetReqVerLow(2));
  EXPECT_EQ(0x0102, net::WinSockRequestedVersion());
  EXPECT_TRUE(net::WinSockSetReqVerLow(1));

  net::WinSockAddSocket();
  net::WinSockEnsureLoaded();  // the next use starts it again
  EXPECT_EQ(startups + 2, net::WinSockStartupCount());
  net::WinSockRemoveSocket();
  EXPECT_EQ(0, net::WinSockLiveSocketCount());
}

}  // namespace
