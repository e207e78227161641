// The in-house digests and cipher against their standards' published vectors, and against
// the openssl command line on inputs that cross every padding boundary.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <unistd.h>

#include "http/url.h"
#include "http/des.h"
#include "http/md4.h"
#include "http/md5.h"

using namespace http;

namespace {

std::string Hex(const uint8_t* p, size_t n) { return DigestToHex(p, n); }
template <size_t N>
std::string Hex(const std::array<uint8_t, N>& a) { return Hex(a.data(), N); }

std::array<uint8_t, 8> Bytes8(const char* hex) {
  std::array<uint8_t, 8> out{};
  for (int i = 0; i < 8; ++i) out[i] = uint8_t(std::stoi(std::string(hex + 2 * i, 2), nullptr, 16));
  return out;
}

// Runs a shell command and returns its standard output without the trailing line break.
std::string RunCommand(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buf[256];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  pclose(pipe);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

// The hexadecimal digest that `openssl dgst` prints for a file (last word of its line).
std::string OpensslDigest(const std::string& algorithm, const std::string& data) {
  char path[] = "/tmp/tamvirel_digest_XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return "mkstemp failed";
  if (write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) return "write failed";
  close(fd);
  std::string out = RunCommand("openssl dgst -" + algorithm +
                        " -provider legacy -provider default " + path + " 2>&1");
  unlink(path);
  size_t blank = out.rfind(' ');
  return blank == std::string::npos ? out : out.substr(blank + 1);
}

}  // namespace

TEST(AuthDigests, PublishedVectors) {
  struct Case { const char* input; const char* md5; const char* md4; };
  const Case cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e", "31d6cfe0d16ae931b73c59d7e0c089c0"},
      {"a", "0cc175b9c0f1b6a831c399e269772661", "bde52cb31de33e46245e05fbdbd6fb24"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72", "a448017aaf21d8525fc10ae87aa6729d"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0", "d9130a8164549fe818874806e1c7014b"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b",
       "d79e1c308aa5bbcdeea8ed63df412da9"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f", "043f8582f241db351ce627e153e7f0e4"},
      {"1234567890123456789012345678901234567890123456789012345678901234567890123456789"
       "0",
       "57edf4a22be3c955ac49da2e2107b67a", "e33b4ddc9c38f2199c3e7b164fcc0536"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Md5Hex(c.input), c.md5) << c.input;
    EXPECT_EQ(Hex(Md4(c.input)), c.md4) << c.input;
    // Fed in two pieces at every split point, MD5 gives the same digest.
    std::string s = c.input;
    for (size_t cut = 0; cut <= s.size(); ++cut) {
      TMd5 md5;
      md5.Update(std::string_view(s).substr(0, cut));
      md5.Update(std::string_view(s).substr(cut));
      ASSERT_EQ(Hex(md5.Final()), c.md5) << "split at " << cut;
    }
  }
}

TEST(AuthDigests, AgreeWithOpensslAcrossBlockBoundaries) {
  ASSERT_EQ(OpensslDigest("md4", "abc"), "a448017aaf21d8525fc10ae87aa6729d")
      << "the openssl command with its legacy provider is needed for this test";
  std::mt19937 rng(1234);
  for (size_t length : {55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 128u, 1000u}) {
    std::string data(length, '\0');
    for (char& ch : data) ch = static_cast<char>(rng());
    EXPECT_EQ(Hex(Md4(data)), OpensslDigest("md4", data)) << "length " << length;
    EXPECT_EQ(Md5Hex(data), OpensslDigest("md5", data)) << "length " << length;
  }
}

TEST(AuthDes, PublishedAndOpensslVectors) {
  struct Case { const char* key; const char* plain; const char* cipher; };
  const Case cases[] = {
      {"133457799bbcdff1", "0123456789abcdef", "85e813540f0ab405"},
      {"0e329232ea6d0d73", "8787878787878787", "0000000000000000"},
      {"0101010101010101", "8000000000000000", "95f8a5e5dd31d900"},  // variable plaintext
      {"8001010101010101", "0000000000000000", "95a8d72813daa94d"},  // variable key
      {"7ca110454a1a6e57", "01a1d6d039776742", "690f5b0d9a26939b"},
  };
  for (const Case& c : cases) {
    std::array<uint8_t, 8> key = Bytes8(c.key), plain = Bytes8(c.plain);
    EXPECT_EQ(Hex(DesEncrypt(key.data(), plain.data())), c.cipher) << c.key;
  }

  // Random keys and blocks against `openssl enc -des-ecb`.
  std::mt19937 rng(99);
  for (int round = 0; round < 6; ++round) {
    std::array<uint8_t, 8> key, plain;
    for (auto& b : key) b = uint8_t(rng());
    for (auto& b : plain) b = uint8_t(rng());
    std::string cmd = "printf '";
    for (uint8_t b : plain) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\%03o", b);
      cmd += esc;
    }
    cmd += "' | openssl enc -des-ecb -nopad -provider legacy -provider default -K " + Hex(key) +
           " | od -An -tx1 | tr -d ' \\n'";
    EXPECT_EQ(Hex(DesEncrypt(key.data(), plain.data())), RunCommand(cmd)) << "key " << Hex(key);
  }
}

TEST(AuthDes, SevenByteKeysSpreadOverEightWithParityBitsClear) {
  const uint8_t key7[7] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(Hex(DesKeyFrom56(key7)), "fefefefefefefefe");
  const uint8_t ones[7] = {0x81, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40};
  // Key bits 0, 7, 14, ... 49 become the top bits of the eight key bytes.
  EXPECT_EQ(Hex(DesKeyFrom56(ones)), "8080808080808080");
}

TEST(AuthBase64, EncodesAndDecodesWithPaddingAndLineBreaks) {
  struct Case { std::string plain, coded; };
  const Case cases[] = {{"", ""},
                        {"a", "YQ=="},
                        {"ab", "YWI="},
                        {"abc", "YWJj"},
                        {"Aladdin:open sesame", "QWxhZGRpbjpvcGVuIHNlc2FtZQ=="},
                        {std::string("\x00\xFF\xFE\x80", 4), "AP/+gA=="}};
  for (const Case& c : cases) {
    EXPECT_EQ(Base64Encode(c.plain), c.coded);
    EXPECT_EQ(Base64Decode(c.coded), c.plain);
  }
  EXPECT_EQ(Base64Decode("QWxh\r\nZGRp\nbjpv cGVu"), "Aladdin:open");
  EXPECT_EQ(Base64Decode("YQ==garbage"), "a");
}
