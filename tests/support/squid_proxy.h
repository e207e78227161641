#pragma once
// Runs the system's squid on 127.0.0.1 for one test: a configuration, password files and
// logs in a temporary folder, one authentication scheme (Basic through a password file,
// Digest through a plain password file, NTLM through the helper that accepts any
// credentials), caching off, no outside name server, CONNECT allowed to any port.
//
// Started as root, squid switches to the user "proxy", so the folder and everything in it
// belong to that user. Start() reports why squid did not come up, with its logs; a test
// must fail on that, never skip.

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <arpa/inet.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace proxy_test {

enum class TSquidScheme { Basic, Digest, Ntlm };

// The one account the Basic and Digest configurations know.
inline constexpr const char* kSquidUser = "surveyor";
inline constexpr const char* kSquidPassword = "sq-Pass.w0rd";

class TSquidProxy {
 public:
  explicit TSquidProxy(TSquidScheme scheme) : FScheme(scheme) {}
  TSquidProxy(const TSquidProxy&) = delete;
  TSquidProxy& operator=(const TSquidProxy&) = delete;
  ~TSquidProxy() { Stop(); }

  // Starts squid and waits (at most `seconds`) until it accepts connections. Returns an
  // empty text on success, else what went wrong followed by squid's output and log.
  std::string Start(int seconds = 60) {
    char templ[] = "/tmp/tamvirel_squid_XXXXXX";
    if (!mkdtemp(templ)) return "cannot make a temporary folder";
    FDir = templ;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    // squid cannot be handed a socket, only a port number: one found free may be taken by
    // another program before squid binds it. squid then ends, and is tried on another port.
    for (int attempt = 0; attempt < 5; ++attempt) {
      FPort = FreePort();
      if (std::string err = WriteFiles(); !err.empty()) return err;

      FPid = fork();
      if (FPid < 0) return "fork failed";
      if (FPid == 0) {
        int out = open((FDir + "/squid.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out >= 0) {
          dup2(out, 1);
          dup2(out, 2);
        }
        int null = open("/dev/null", O_RDONLY);
        if (null >= 0) dup2(null, 0);
        std::string conf = FDir + "/squid.conf";
        execl("/usr/sbin/squid", "squid", "-N", "-f", conf.c_str(), static_cast<char*>(nullptr));
        _exit(127);
      }

      // Ready when squid itself says it accepts connections on this port: a connection that
      // succeeds could reach whoever took the port instead.
      const std::string local = "127.0.0.1:" + std::to_string(FPort);
      bool taken = false;
      while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        const bool exited = waitpid(FPid, &status, WNOHANG) == FPid;
        const std::string log = ReadFile(FDir + "/cache.log");
        if (exited) {
          FPid = -1;
          taken = log.find(local + ": (98) Address already in use") != std::string::npos;
          if (taken) break;
          return "squid exited during start (status " + std::to_string(status) + ")\n" + Logs();
        }
        for (size_t at = log.find("Accepting HTTP Socket connections at "); at != std::string::npos;
             at = log.find("Accepting HTTP Socket connections at ", at + 1))
          if (log.substr(at, log.find('\n', at) - at).find(" local=" + local + " ") != std::string::npos) return "";
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      if (!taken) return "squid did not listen within " + std::to_string(seconds) + " s\n" + Logs();
    }
    return "squid found every port it was given taken\n" + Logs();
  }

  // Ends squid (its helpers go with it) and removes the folder.
  void Stop() {
    if (FPid > 0) {
      kill(FPid, SIGTERM);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (waitpid(FPid, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
          kill(FPid, SIGKILL);
          waitpid(FPid, nullptr, 0);
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      FPid = -1;
    }
    if (!FDir.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(FDir, ec);
      FDir.clear();
    }
  }

  uint16_t Port() const { return FPort; }
  std::string PortText() const { return std::to_string(FPort); }

  // squid's own output, its cache log and its access log, for failure messages.
  std::string Logs() const {
    return "--- squid output\n" + ReadFile(FDir + "/squid.out") + "--- cache.log\n" +
           ReadFile(FDir + "/cache.log") + "--- access.log\n" + AccessLog();
  }
  std::string AccessLog() const { return ReadFile(FDir + "/access.log"); }

  // The access log once it holds every one of `needles`, or as it stands after 10 seconds.
  // squid writes a tunnel's line only when the tunnel has closed, which may come a moment
  // after the client saw its reply.
  std::string AccessLogWith(const std::vector<std::string>& needles) const {
    std::string log;
    for (int i = 0; i < 200; ++i) {
      log = AccessLog();
      bool all = true;
      for (const auto& n : needles) all = all && log.find(n) != std::string::npos;
      if (all) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return log;
  }

 private:
  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  // A port nothing is bound to at this moment.
  static uint16_t FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
  }


  std::string WriteFiles() {
    std::ostringstream conf;
    conf << "http_port 127.0.0.1:" << FPort << "\n"
         << "visible_hostname tamvirel-test-proxy\n"
         << "pid_filename " << FDir << "/squid.pid\n"
         << "cache_log " << FDir << "/cache.log\n"
         << "access_log stdio:" << FDir << "/access.log\n"
         << "cache_store_log none\n"
         << "coredump_dir " << FDir << "\n"
         << "cache deny all\n"
         << "cache_mem 0 MB\n"
         << "dns_nameservers 127.0.0.1\n"
         << "netdb_filename none\n"
         << "pinger_enable off\n"
         << "shutdown_lifetime 0 seconds\n"
         << "forwarded_for delete\n";
    switch (FScheme) {
      case TSquidScheme::Basic:
        WriteText("passwd", std::string(kSquidUser) + ":$apr1$Tv3lSq1d$9fW27uqyyAtLRlT5w0Oww.\n");
        conf << "auth_param basic program /usr/lib/squid/basic_ncsa_auth " << FDir << "/passwd\n"
             << "auth_param basic realm tamvirel-test\n"
             << "auth_param basic children 2 startup=1 idle=1\n";
        break;
      case TSquidScheme::Digest:
        WriteText("digestpw", std::string(kSquidUser) + ":" + kSquidPassword + "\n");
        conf << "auth_param digest program /usr/lib/squid/digest_file_auth " << FDir
             << "/digestpw\n"
             << "auth_param digest realm tamvirel-test\n"
             << "auth_param digest children 2 startup=1 idle=1\n";
        break;
      case TSquidScheme::Ntlm:
        conf << "auth_param ntlm program /usr/lib/squid/ntlm_fake_auth\n"
             << "auth_param ntlm children 2 startup=1 idle=1\n";
        break;
    }
    conf << "acl authed proxy_auth REQUIRED\n"
         << "http_access allow authed\n"
         << "http_access deny all\n";
    WriteText("squid.conf", conf.str());

    // squid drops to "proxy" when started as root; it must still read and write here.
    if (geteuid() == 0) {
      passwd* pw = getpwnam("proxy");
      if (!pw) return "no user \"proxy\" for squid to run as";
      for (const auto& entry : std::filesystem::directory_iterator(FDir))
        if (chown(entry.path().c_str(), pw->pw_uid, pw->pw_gid) != 0) return "chown failed";
      if (chown(FDir.c_str(), pw->pw_uid, pw->pw_gid) != 0) return "chown failed";
    }
    chmod(FDir.c_str(), 0755);
    return "";
  }

  void WriteText(const std::string& name, const std::string& text) {
    std::ofstream out(FDir + "/" + name, std::ios::binary);
    out << text;
  }

  TSquidScheme FScheme;
  std::string FDir;
  uint16_t FPort = 0;
  pid_t FPid = -1;
};

}  // namespace proxy_test
