#include "runtime/ini_file.h"

#include <cerrno>
#include <optional>

#include "runtime/ascii_text.h"
#include "runtime/file_io.h"
#include "runtime/formatting.h"
#include "runtime/text_list.h"

namespace runtime {
namespace {

// The section name of a "[name]" line, or nullopt for other lines.
std::optional<std::string_view> SectionOf(std::string_view line) {
  line = TrimBlanks(line);
  if (line.size() < 2 || line.front() != '[') return std::nullopt;
  size_t close = line.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return TrimBlanks(line.substr(1, close - 1));
}

// Splits "key=value"; false for lines without "=" and for comments.
bool KeyValueOf(std::string_view line, std::string_view& key, std::string_view& value) {
  std::string_view t = TrimBlanks(line);
  if (t.empty() || t.front() == ';') return false;
  size_t eq = t.find('=');
  if (eq == std::string_view::npos) return false;
  key = TrimBlanks(t.substr(0, eq));
  value = TrimBlanks(t.substr(eq + 1));
  return true;
}

}  // namespace

TIniFile::TIniFile(std::string fileName, unsigned newFileMode)
    : FFileName(std::move(fileName)), FNewFileMode(newFileMode) {}

std::vector<std::string> TIniFile::LoadLines() const {
  TTextList list;
  try {
    list.LoadFromFile(FFileName);
  } catch (const EFileError&) {
    return {};  // a missing or unreadable file reads as empty: every key has its default
  }
  return list.Lines();
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key, const std::string& def) const {
  bool inSection = false;
  for (const std::string& line : LoadLines()) {
    if (auto name = SectionOf(line)) {
      inSection = EqualsNoCase(*name, section);
      continue;
    }
    std::string_view k, v;
    if (inSection && KeyValueOf(line, k, v) && EqualsNoCase(k, key)) {
      if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
      return std::string(v);
    }
  }
  return def;
}

int TIniFile::ReadInteger(const std::string& section, const std::string& key, int def) const {
  std::string text = ReadString(section, key, "");
  auto value = TryStrToInt(text);
  return value ? *value : def;
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  // A file that exists but cannot be read must not be replaced by one holding a single key.
  std::vector<std::string> lines;
  if (FileExists(FFileName)) {
    TTextList list;
    try {
      list.LoadFromFile(FFileName);
    } catch (const EFileError&) {
      throw EIniFileException("Unable to write to " + FFileName);
    }
    lines = list.Lines();
  }
  // Line breaks inside a value would start new keys on the next read.
  std::string clean;
  for (char c : value) clean += (c == '\r' || c == '\n' || c == '\0') ? ' ' : c;
  const std::string entry = key + "=" + clean;

  bool inSection = false, sectionSeen = false, done = false;
  size_t insertAt = lines.size();
  for (size_t i = 0; i < lines.size() && !done; ++i) {
    if (auto name = SectionOf(lines[i])) {
      if (inSection) break;  // end of our section: the key was not there
      inSection = EqualsNoCase(*name, section);
      if (inSection) {
        sectionSeen = true;
        insertAt = i + 1;
      }
      continue;
    }
    if (!inSection) continue;
    std::string_view k, v;
    if (KeyValueOf(lines[i], k, v) && EqualsNoCase(k, key)) {
      lines[i] = entry;
      done = true;
    } else if (!TrimBlanks(lines[i]).empty()) {
      insertAt = i + 1;
    }
  }
  if (!done) {
    if (sectionSeen) {
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), entry);
    } else {
      if (!lines.empty() && !TrimBlanks(lines.back()).empty()) lines.emplace_back();
      lines.push_back("[" + section + "]");
      lines.push_back(entry);
    }
  }

  std::string text;
  for (const auto& l : lines) {
    text += l;
    text += "\r\n";
  }
  try {
    WriteFileAtomic(FFileName, text, static_cast<mode_t>(FNewFileMode));
  } catch (const EFileError&) {
    throw EIniFileException("Unable to write to " + FFileName);
  }
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int value) {
  WriteString(section, key, IntToStr(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

}  // namespace runtime
