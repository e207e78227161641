#pragma once
// What the TLS socket keeps of a peer certificate: its names, serial number and the result of
// verifying it. Plain data, so it outlives the connection and the loaded libraries.

#include <string>
#include <vector>

namespace tls {

class TX509Base {
 public:
  bool Assigned() const { return FAssigned; }
  const std::string& SubjectOneLine() const { return FSubject; }
  const std::string& IssuerOneLine() const { return FIssuer; }
  const std::string& SerialNumHex() const { return FSerial; }
  // The library's verification code (0: accepted) and its text.
  long VerifyResult() const { return FVerifyResult; }
  long FirstVerifyResult() const { return FFirstVerifyResult; }
  const std::string& VerifyErrMsg() const { return FVerifyErrMsg; }
  int VerifyDepth() const { return FVerifyDepth; }

  void Clear() { *this = TX509Base(); }
  void Assign(std::string subject, std::string issuer, std::string serial) {
    FAssigned = true;
    FSubject = std::move(subject);
    FIssuer = std::move(issuer);
    FSerial = std::move(serial);
  }
  void SetVerify(long result, std::string text, int depth) {
    FVerifyResult = result;
    FVerifyErrMsg = std::move(text);
    FVerifyDepth = depth;
  }
  void SetFirstVerifyResult(long result) { FFirstVerifyResult = result; }

 private:
  bool FAssigned = false;
  std::string FSubject, FIssuer, FSerial, FVerifyErrMsg;
  long FVerifyResult = 0;
  long FFirstVerifyResult = 0;
  int FVerifyDepth = 0;
};

// The certificates the verification saw, each once, with the last result.
class TX509List {
 public:
  std::vector<TX509Base>& Items() { return FItems; }
  const std::vector<TX509Base>& Items() const { return FItems; }
  long LastVerifyResult() const { return FLastVerifyResult; }
  void SetLastVerifyResult(long value) { FLastVerifyResult = value; }
  void Clear() {
    FItems.clear();
    FLastVerifyResult = 0;
  }

 private:
  std::vector<TX509Base> FItems;
  long FLastVerifyResult = 0;
};

}  // namespace tls
