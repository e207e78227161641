#pragma once
// An ordered list of text lines, loaded from and saved to files.

#include <string>
#include <string_view>
#include <vector>

namespace runtime {

class TTextList {
 public:
  // Splits `bytes` into lines at every CR LF pair, every lone CR and every lone LF; a NUL
  // byte ends the text. A final line break does not start an empty line.
  void SetText(std::string_view bytes);

  // Reads the whole file and splits it as SetText does. Throws runtime::EFileError when the
  // file cannot be opened or read.
  void LoadFromFile(const std::string& path);

  // Every line followed by CR LF.
  std::string Text() const;

  // Writes Text() to `path` through a temporary file in the same folder, so a failure
  // never leaves a half-written file. Throws runtime::EFileError.
  void SaveToFile(const std::string& path) const;

  void Add(std::string line) { FLines.push_back(std::move(line)); }
  void Clear() { FLines.clear(); }
  size_t Count() const { return FLines.size(); }
  const std::string& operator[](size_t index) const { return FLines[index]; }
  const std::vector<std::string>& Lines() const { return FLines; }

 private:
  std::vector<std::string> FLines;
};

// The page rule in one step: split as TTextList::SetText and join with CR LF after every line.
std::string NormalizeLineBreaks(std::string_view bytes);

}  // namespace runtime
