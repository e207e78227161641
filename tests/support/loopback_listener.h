#pragma once
// A listening TCP socket on 127.0.0.1 with a port the system picks: the one way every in-test
// server opens its door. A failure throws, so a test never waits on a server that is not there.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

namespace test_support {

// Returns the listening descriptor and stores its port in `port`.
inline int OpenLoopbackListener(uint16_t& port, int backlog = 64) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, backlog) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    const int err = errno;
    ::close(fd);
    throw std::runtime_error(std::string("loopback listener: ") + std::strerror(err));
  }
  port = ntohs(addr.sin_port);
  return fd;
}

// A port on 127.0.0.1 that refuses every connection for as long as the object lives: its
// socket is bound but never listens. A port bound and released at once could be taken by any
// other program before the test connects, and while it is free the kernel may even pick it as
// the connecting socket's own port and connect the socket to itself; a port held cannot be.
class TRefusingPort {
 public:
  TRefusingPort() {
    FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (FFd < 0 || ::bind(FFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(FFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      const int err = errno;
      if (FFd >= 0) ::close(FFd);
      throw std::runtime_error(std::string("refusing port: ") + std::strerror(err));
    }
    FPort = ntohs(addr.sin_port);
  }
  ~TRefusingPort() { ::close(FFd); }
  TRefusingPort(const TRefusingPort&) = delete;
  TRefusingPort& operator=(const TRefusingPort&) = delete;

  uint16_t Port() const { return FPort; }
  std::string PortText() const { return std::to_string(FPort); }

 private:
  int FFd = -1;
  uint16_t FPort = 0;
};

}  // namespace test_support
