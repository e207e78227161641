// One 200 MB body over HTTPS from a loopback TLS server: this system's client (TSslHttpCli,
// synchronous GET, body counted and dropped) against `curl -o /dev/null` on the same server in
// the same run. Rounds alternate between the two; the medians are reported.
//
// MB/s is the body size over the wall time of the whole request (connect, handshake, body).
// CPU is the user + system time of the client alone: the calling thread for ours (the server
// runs on another thread), the child process for curl.
//
// Usage: https_bench [rounds]   (needs curl on the PATH)

#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "http/ssl_http_cli.h"
#include "tests/support/tls_test_server.h"

namespace {

constexpr size_t kBodyBytes = size_t{200} << 20;
constexpr size_t kPiece = size_t{1} << 20;

struct TSample {
  double Seconds = 0;
  double CpuSeconds = 0;
  size_t Bytes = 0;
};

double ThreadCpu() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double Seconds(const timeval& tv) { return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6; }

TSample RunOurs(const std::string& url, tls::TSslContext& context) {
  http::TSslHttpCli cli;
  cli.SetSslContext(&context);
  cli.SetTimeout(60);
  TSample sample;
  cli.OnDocData = [&](http::THttpCli*, const char*, int length) { sample.Bytes += static_cast<size_t>(length); };
  cli.SetURL(url);
  const double cpu = ThreadCpu();
  const auto start = std::chrono::steady_clock::now();
  cli.SyncGet();
  sample.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  sample.CpuSeconds = ThreadCpu() - cpu;
  return sample;
}

TSample RunCurl(const std::string& url, const std::string& caFile) {
  TSample sample;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execlp("curl", "curl", "-s", "-S", "--cacert", caFile.c_str(), "-o", "/dev/null", url.c_str(),
             static_cast<char*>(nullptr));
    std::_Exit(127);
  }
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  sample.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  sample.CpuSeconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  sample.Bytes = WIFEXITED(status) && WEXITSTATUS(status) == 0 ? kBodyBytes : 0;
  return sample;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const tls_test::TTestPki& pki = tls_test::TTestPki::Get();
  const std::string piece(kPiece, 'x');
  tls_test::TTlsTestServer::TOptions options;
  options.MaxConnections = 2 * rounds;
  options.TimeoutMs = 60000;
  tls_test::TTlsTestServer server(
      [&](tls_test::TTlsConnection& c) {
        std::string request;
        if (!c.ReadUntil("\r\n\r\n", request)) return;
        c.Write("HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                std::to_string(kBodyBytes) + "\r\n\r\n");
        for (size_t sent = 0; sent < kBodyBytes; sent += kPiece)
          if (!c.Write(piece)) return;
      },
      options);
  const std::string url = "https://localhost:" + server.PortText() + "/body";
  tls::TSslContext context;
  context.SetSslCAFile(pki.CaFile);
  context.SetSslVerifyPeer(true);

  std::vector<double> oursRate, oursCpu, curlRate, curlCpu;
  for (int i = 0; i < rounds; ++i) {
    const TSample c = RunCurl(url, pki.CaFile);
    const TSample o = RunOurs(url, context);
    if (c.Bytes != kBodyBytes || o.Bytes != kBodyBytes) {
      std::fprintf(stderr, "transfer incomplete: curl %zu, ours %zu bytes\n", c.Bytes, o.Bytes);
      return 1;
    }
    const double mb = static_cast<double>(kBodyBytes) / 1e6;
    curlRate.push_back(mb / c.Seconds);
    curlCpu.push_back(c.CpuSeconds);
    oursRate.push_back(mb / o.Seconds);
    oursCpu.push_back(o.CpuSeconds);
    std::printf("round %d: curl %.0f MB/s %.3f s CPU | ours %.0f MB/s %.3f s CPU\n", i + 1, curlRate.back(),
                curlCpu.back(), oursRate.back(), oursCpu.back());
  }
  const double rateRatio = Median(oursRate) / Median(curlRate);
  const double cpuRatio = Median(oursCpu) / Median(curlCpu);
  std::printf("median: curl %.0f MB/s %.3f s CPU | ours %.0f MB/s %.3f s CPU | speed %.2fx curl, CPU %.2fx curl\n",
              Median(curlRate), Median(curlCpu), Median(oursRate), Median(oursCpu), rateRatio, cpuRatio);
  return 0;
}
