// One large body from a loopback server into the client's reply stream, against
// `curl -o /dev/null` fetching the same body from the same server in the same run.
//
// Prints, per round and as medians: MB/s (wall clock) and CPU seconds of the receiving side:
// the client's own thread (the server thread is not counted), and curl's process. The
// server sends one body of --mb megabytes (200 by default) with Content-Length, from a
// buffer filled once, with large writes.
//
//   http_bench [--mb N] [--rounds N] [--curl PATH]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "http/http_cli.h"
#include "runtime/byte_stream.h"

namespace {

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

double ThreadCpu() {
  rusage u{};
  getrusage(RUSAGE_THREAD, &u);
  return Seconds(u.ru_utime) + Seconds(u.ru_stime);
}

// Serves the body to every connection, one after the other, until stopped.
class TBodyServer {
 public:
  explicit TBodyServer(int64_t bytes) : FBytes(bytes) {
    FListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(FListener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(FListener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(FListener, 16);
    socklen_t len = sizeof addr;
    ::getsockname(FListener, reinterpret_cast<sockaddr*>(&addr), &len);
    FPort = ntohs(addr.sin_port);
    FThread = std::thread([this] { Run(); });
  }
  ~TBodyServer() {
    FStop = true;
    FThread.join();
    ::close(FListener);
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(FPort) + "/body"; }

 private:
  void Run() {
    std::vector<char> block(1 << 20, 'x');
    while (!FStop) {
      pollfd p{FListener, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const int fd = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      char request[4096];
      std::string head;
      while (head.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = ::recv(fd, request, sizeof request, 0);
        if (n <= 0) break;
        head.append(request, static_cast<size_t>(n));
      }
      const std::string reply = "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                                std::to_string(FBytes) + "\r\n\r\n";
      bool ok = ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(reply.size());
      for (int64_t left = FBytes; ok && left > 0;) {
        const ssize_t n = ::send(fd, block.data(), static_cast<size_t>(std::min<int64_t>(left, block.size())), MSG_NOSIGNAL);
        ok = n > 0;
        left -= n;
      }
      ::shutdown(fd, SHUT_WR);
      while (::recv(fd, request, sizeof request, 0) > 0) {
      }
      ::close(fd);
    }
  }

  int64_t FBytes;
  int FListener = -1;
  uint16_t FPort = 0;
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

struct TSample {
  double Wall = 0, Cpu = 0;
  int64_t Bytes = 0;
};

bool gDiscard = false;  // --discard: no reply stream, to tell the stream's cost from the rest

TSample RunClient(const std::string& url) {
  http::THttpCli cli;
  runtime::TMemoryStream reply;
  cli.SetURL(url);
  if (!gDiscard) cli.SetReplyStream(&reply);
  const double cpu0 = ThreadCpu();
  const auto t0 = std::chrono::steady_clock::now();
  cli.SyncGet();
  TSample s;
  s.Wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  s.Cpu = ThreadCpu() - cpu0;
  s.Bytes = gDiscard ? cli.RcvdCount() : reply.Size();
  return s;
}

TSample RunCurl(const std::string& curl, const std::string& url) {
  const auto t0 = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    execl(curl.c_str(), curl.c_str(), "-s", "-o", "/dev/null", url.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage u{};
  wait4(pid, &status, 0, &u);
  TSample s;
  s.Wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  s.Cpu = Seconds(u.ru_utime) + Seconds(u.ru_stime);
  s.Bytes = WIFEXITED(status) && WEXITSTATUS(status) == 0 ? -1 : 0;
  return s;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int64_t mb = 200;
  int rounds = 5;
  std::string curl = "/usr/bin/curl";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string opt = argv[i];
    if (opt == "--mb") mb = std::atoll(argv[i + 1]);
    else if (opt == "--rounds") rounds = std::atoi(argv[i + 1]);
    else if (opt == "--curl") curl = argv[i + 1];
    else if (opt == "--discard") gDiscard = std::string(argv[i + 1]) == "1";
  }
  const int64_t bytes = mb << 20;
  TBodyServer server(bytes);
  std::vector<double> cliRate, cliCpu, curlRate, curlCpu;
  for (int r = 0; r < rounds; ++r) {
    // Alternate which goes first, so neither always meets a warmer machine.
    TSample c, k;
    if (r % 2 == 0) {
      c = RunClient(server.Url());
      k = RunCurl(curl, server.Url());
    } else {
      k = RunCurl(curl, server.Url());
      c = RunClient(server.Url());
    }
    if (c.Bytes != bytes || k.Bytes != -1) {
      std::fprintf(stderr, "round %d: transfer failed (client %lld bytes, curl %s)\n", r,
                   static_cast<long long>(c.Bytes), k.Bytes == -1 ? "ok" : "failed");
      return 1;
    }
    const double m = static_cast<double>(bytes) / (1 << 20);
    cliRate.push_back(m / c.Wall);
    cliCpu.push_back(c.Cpu);
    curlRate.push_back(m / k.Wall);
    curlCpu.push_back(k.Cpu);
    std::printf("round %d: client %7.1f MB/s %6.3f s CPU | curl %7.1f MB/s %6.3f s CPU\n", r, cliRate.back(),
                cliCpu.back(), curlRate.back(), curlCpu.back());
  }
  const double rate = Median(cliRate), cpu = Median(cliCpu), krate = Median(curlRate), kcpu = Median(curlCpu);
  std::printf("median: client %.1f MB/s, %.3f s CPU; curl %.1f MB/s, %.3f s CPU\n", rate, cpu, krate, kcpu);
  std::printf("ratio: %.2fx curl's MB/s, %.2fx curl's CPU time\n", rate / krate, cpu / kcpu);
  return 0;
}
