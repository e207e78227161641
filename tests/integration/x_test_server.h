#pragma once
// A private X server for window tests (a virtual frame buffer on a free display number, started
// by the test itself) and the tools that look at it: window screenshots, pixels, xdotool.

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace xtest {

// Runs a shell command and returns its standard output; `status` gets the exit status.
inline std::string Shell(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) {
    if (status) *status = -1;
    return out;
  }
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  int rc = ::pclose(pipe);
  if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

// The server lives as long as the object; Display is ":N".
class TXServer {
 public:
  TXServer() = default;
  TXServer(const TXServer&) = delete;
  TXServer& operator=(const TXServer&) = delete;
  ~TXServer() { Stop(); }

  // Starts the server and waits (bounded) until it names its display. False on failure.
  bool Start(int width = 800, int height = 600) {
    int fds[2];
    if (::pipe(fds) != 0) return false;
    FPid = ::fork();
    if (FPid < 0) return false;
    if (FPid == 0) {
      ::close(fds[0]);
      // The server ends with the test even when the test dies, and keeps its chatter (and
      // the test's output pipe) to itself.
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
      std::string fd = std::to_string(fds[1]);
      std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
      // The server picks the first free display number itself and writes it to the pipe.
      ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(), "-nolisten", "tcp",
               "-noreset", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fds[1]);
    std::string number;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{fds[0], POLLIN, 0};
      if (::poll(&p, 1, 200) <= 0) continue;
      char c;
      if (::read(fds[0], &c, 1) != 1) break;
      if (c == '\n') break;
      number += c;
    }
    ::close(fds[0]);
    if (number.empty()) {
      Stop();
      return false;
    }
    Display = ":" + number;
    return true;
  }

  void Stop() {
    if (FPid > 0) {
      ::kill(FPid, SIGTERM);
      ::waitpid(FPid, nullptr, 0);
      FPid = -1;
    }
  }

  std::string Display;

 private:
  pid_t FPid = -1;
};

// An RGB picture read from a file through ImageMagick.
struct TImage {
  int Width = 0;
  int Height = 0;
  std::vector<uint8_t> Rgb;

  bool Load(const std::string& file) {
    std::string ppm = Shell("convert '" + file + "' -depth 8 ppm:- 2>/dev/null");
    // Header: "P6\n<w> <h>\n255\n" then the pixels.
    size_t pos = 0;
    auto token = [&]() {
      while (pos < ppm.size() && std::isspace(static_cast<unsigned char>(ppm[pos]))) ++pos;
      size_t start = pos;
      while (pos < ppm.size() && !std::isspace(static_cast<unsigned char>(ppm[pos]))) ++pos;
      return ppm.substr(start, pos - start);
    };
    if (token() != "P6") return false;
    Width = std::atoi(token().c_str());
    Height = std::atoi(token().c_str());
    if (token() != "255") return false;
    ++pos;
    if (ppm.size() - pos < static_cast<size_t>(Width) * Height * 3) return false;
    Rgb.assign(ppm.begin() + static_cast<long>(pos), ppm.begin() + static_cast<long>(pos) + Width * Height * 3);
    return true;
  }

  uint32_t Pixel(int x, int y) const {
    const uint8_t* p = &Rgb[(static_cast<size_t>(y) * Width + x) * 3];
    return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
  }

  // How many pixels of the rectangle satisfy `test` (given 0xRRGGBB).
  template <typename Test>
  int Count(int x, int y, int w, int h, Test test) const {
    int n = 0;
    for (int j = y; j < y + h && j < Height; ++j)
      for (int i = x; i < x + w && i < Width; ++i)
        if (test(Pixel(i, j))) ++n;
    return n;
  }
};

}  // namespace xtest
