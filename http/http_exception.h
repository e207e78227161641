#pragma once
// The HTTP client's one exception class and its fixed texts.

#include <stdexcept>
#include <string>

namespace http {

// Codes the client itself raises; any other code is an HTTP status with its reason phrase.
constexpr int httperrBusy = 1;
constexpr int httperrNoData = 2;
constexpr int httperrVersion = 5;
constexpr int httperrAuthState = 6;
// A property that goes into a header line holds CR, LF or NUL.
constexpr int httperrBadHeader = 7;

// Error codes that OnRequestDone reports besides the socket's error numbers.
constexpr int httperrAborted = 3;
constexpr int httperrTimeout = 8;
// The server broke the protocol (malformed or oversized reply, body cut short).
constexpr int httperrProtocol = 9;
// The address, or a relocation's target, names no host.
constexpr int httperrNoHost = 10;
// The request ran longer than RequestLimit seconds from its start.
constexpr int httperrRequestLimit = 11;
// The proxy answered the tunnel request for an "https" address without opening the tunnel.
constexpr int httperrTunnelRefused = 12;

inline const std::string kMsgNothingToPost = "HTTP component has nothing to post or put";
inline const std::string kMsgBadVersion = "Insupported HTTP version";
inline const std::string kMsgLineBreakIn = "Line break in ";
inline std::string MsgBusy(const std::string& name) { return "HTTP component " + name + " is busy"; }

class EHttpException : public std::runtime_error {
 public:
  EHttpException(const std::string& message, int errorCode)
      : std::runtime_error(message), FErrorCode(errorCode) {}
  int ErrorCode() const { return FErrorCode; }

 private:
  int FErrorCode;
};

}  // namespace http
