#include "listing/text_ops.h"

namespace listing {

std::string_view Slice(std::string_view text, int64_t start, int64_t count) {
  const int64_t length = static_cast<int64_t>(text.size());
  if (length == 0 || count < 0) return {};
  if (start < 1) start = 1;
  if (start > length) return {};
  const int64_t remaining = length - start + 1;
  return text.substr(static_cast<size_t>(start - 1), static_cast<size_t>(count < remaining ? count : remaining));
}

int64_t FindText(std::string_view needle, std::string_view text) {
  if (needle.empty() || text.empty()) return 0;
  const size_t at = text.find(needle);
  return at == std::string_view::npos ? 0 : static_cast<int64_t>(at) + 1;
}

int64_t FindFrom(std::string_view needle, std::string_view text, int64_t offset) {
  if (offset < 0) offset = 0;
  const int64_t found = FindText(needle, Slice(text, offset + 1, kRest));
  return found == 0 ? 0 : found + offset;
}

namespace {

// The common tail of TextBetween and PageBetween, once the start marker's position is known.
std::string_view Between(int64_t start, std::string_view startMarker, std::string_view endMarker,
                         std::string_view text) {
  const int64_t behind = start + static_cast<int64_t>(startMarker.size());
  const int64_t end = FindFrom(endMarker, text, behind);
  return Slice(text, behind, end - behind);
}

}  // namespace

std::string_view TextBetween(std::string_view startMarker, std::string_view endMarker, std::string_view text) {
  return Between(FindText(startMarker, text), startMarker, endMarker, text);
}

std::string_view PageBetween(std::string_view page, std::string_view startMarker, std::string_view endMarker) {
  const int64_t start = FindText(startMarker, page);
  if (start == 0) return {};
  return Between(start, startMarker, endMarker, page);
}

std::string_view TrimBlanks(std::string_view text) {
  size_t first = 0;
  size_t last = text.size();
  while (first < last && static_cast<unsigned char>(text[first]) <= 32) ++first;
  while (last > first && static_cast<unsigned char>(text[last - 1]) <= 32) --last;
  return text.substr(first, last - first);
}

std::string ReplaceFirst(std::string_view text, std::string_view what, std::string_view by) {
  std::string result(text);
  if (what.empty()) return result;
  const size_t at = text.find(what);
  if (at != std::string_view::npos) result.replace(at, what.size(), by);
  return result;
}

std::string ReplaceAll(std::string_view text, std::string_view what, std::string_view by) {
  if (what.empty()) return std::string(text);
  std::string result;
  result.reserve(text.size());
  size_t from = 0;
  for (;;) {
    const size_t at = text.find(what, from);
    if (at == std::string_view::npos) break;
    result.append(text, from, at - from);
    result.append(by);
    from = at + what.size();
  }
  result.append(text, from);
  return result;
}

std::string SqlQuote(std::string_view text) { return ReplaceAll(text, "'", "''"); }

std::string EscapeLineBreaks(std::string_view text) {
  // One pass does both replacements: neither "#13;" nor "#10;" holds a line break byte.
  std::string result;
  result.reserve(text.size() + 16);
  for (char c : text) {
    if (c == '\r') {
      result += "#13;";
    } else if (c == '\n') {
      result += "#10;";
    } else {
      result += c;
    }
  }
  return result;
}

std::string RotateHint(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  bool inside = false;
  for (char c : text) {
    if (inside) {
      result += c;
    } else if ((c >= 'A' && c <= 'M') || (c >= 'a' && c <= 'm')) {
      result += static_cast<char>(c + 13);
    } else if ((c >= 'N' && c <= 'Z') || (c >= 'n' && c <= 'z')) {
      result += static_cast<char>(c - 13);
    } else {
      result += c;
    }
    if (c == '<' || c == '[') inside = true;
    if (inside && (c == '>' || c == ']')) inside = false;
  }
  return result;
}

std::string LogVisitDate(std::string_view text) {
  const int64_t firstSlash = FindText("/", text);
  std::string first(Slice(text, 1, firstSlash - 1));
  if (first.size() == 1) first.insert(0, "0");
  const std::string_view rest = Slice(text, firstSlash + 1, kRest);
  const int64_t secondSlash = FindText("/", rest);
  std::string second(Slice(rest, 1, secondSlash - 1));
  if (second.size() == 1) second.insert(0, "0");
  const std::string_view year = Slice(rest, secondSlash + 1, 4);
  std::string result;
  result.reserve(first.size() + second.size() + year.size() + 2);
  result.append(first).append("-").append(second).append("-").append(year);
  return result;
}

}  // namespace listing
