#pragma once
// The settings file: sections in square brackets, key=value lines. Every write reaches the
// file at once (rewritten atomically); a failed write raises "Unable to write to <file>".

#include <stdexcept>
#include <string>
#include <vector>

namespace runtime {

class EIniFileException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TIniFile {
 public:
  // Files the program creates hold credentials, so they are made readable by the owner only.
  explicit TIniFile(std::string fileName, unsigned newFileMode = 0600);

  const std::string& FileName() const { return FFileName; }

  // Section and key names compare without regard to ASCII case, as the platform's facility does.
  std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;
  // Signed decimal (or 0x hexadecimal) text; anything else yields `def`.
  int ReadInteger(const std::string& section, const std::string& key, int def) const;
  // "0" is false, any other integer true; a text that is not a number yields `def`.
  bool ReadBool(const std::string& section, const std::string& key, bool def) const;

  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, int value);
  void WriteBool(const std::string& section, const std::string& key, bool value);

 private:
  std::vector<std::string> LoadLines() const;

  std::string FFileName;
  unsigned FNewFileMode;
};

}  // namespace runtime
