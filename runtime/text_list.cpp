#include "runtime/text_list.h"

#include <cstring>

#include "runtime/file_io.h"

namespace runtime {
namespace {

// Calls `line` for each line of `bytes` under the splitting rule shared by pages and lists.
template <typename F>
void SplitLines(std::string_view bytes, F&& line) {
  size_t nul = bytes.find('\0');
  if (nul != std::string_view::npos) bytes = bytes.substr(0, nul);
  const size_t n = bytes.size();
  // The next CR and LF are remembered until the scan passes them, so text that uses only one
  // kind of break is still read in one pass.
  size_t cr = 0, lf = 0, start = 0;
  bool crKnown = false, lfKnown = false;
  while (start < n) {
    if (!crKnown || cr < start) {
      const void* hit = std::memchr(bytes.data() + start, '\r', n - start);
      cr = hit ? static_cast<size_t>(static_cast<const char*>(hit) - bytes.data()) : n;
      crKnown = true;
    }
    if (!lfKnown || lf < start) {
      const void* hit = std::memchr(bytes.data() + start, '\n', n - start);
      lf = hit ? static_cast<size_t>(static_cast<const char*>(hit) - bytes.data()) : n;
      lfKnown = true;
    }
    size_t end = lf < cr ? lf : cr;
    if (end >= n) {
      line(bytes.substr(start));
      return;
    }
    line(bytes.substr(start, end - start));
    start = end + 1;
    if (bytes[end] == '\r' && start < n && bytes[start] == '\n') ++start;
  }
}

}  // namespace

void TTextList::SetText(std::string_view bytes) {
  FLines.clear();
  SplitLines(bytes, [this](std::string_view l) { FLines.emplace_back(l); });
}

void TTextList::LoadFromFile(const std::string& path) { SetText(ReadWholeFile(path)); }

std::string TTextList::Text() const {
  size_t total = 0;
  for (const auto& l : FLines) total += l.size() + 2;
  std::string out;
  out.reserve(total);
  for (const auto& l : FLines) {
    out += l;
    out += "\r\n";
  }
  return out;
}

void TTextList::SaveToFile(const std::string& path) const { WriteFileAtomic(path, Text()); }

std::string NormalizeLineBreaks(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 32 + 2);
  SplitLines(bytes, [&out](std::string_view l) {
    out.append(l);
    out += "\r\n";
  });
  return out;
}

}  // namespace runtime
