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

}  // namespace test_support
