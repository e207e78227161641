#include "listing/text_ops.h"

#include <string.h>

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
  // Markers mostly start with "<", the commonest byte of a page: memmem does not stop at each.
  const void* at = ::memmem(text.data(), text.size(), needle.data(), needle.size());
  return at == nullptr ? 0 : static_cast<const char*>(at) - text.data() + 1;
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
  result.reserve(text.size() + text.size() / 32);
  size_t run = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\r' && c != '\n') continue;
    result.append(text.data() + run, i - run);
    result.append(c == '\r' ? "#13;" : "#10;");
    run = i + 1;
  }
  result.append(text.data() + run, text.size() - run);
  return result;
}

std::string RotateHint(std::string_view text) {
  std::string result(text);
  bool inside = false;
  for (char& c : result) {
    const char original = c;
    if (!inside) {
      if ((c >= 'A' && c <= 'M') || (c >= 'a' && c <= 'm')) {
        c = static_cast<char>(c + 13);
      } else if ((c >= 'N' && c <= 'Z') || (c >= 'n' && c <= 'z')) {
        c = static_cast<char>(c - 13);
      }
    }
    if (original == '<' || original == '[') inside = true;
    if (inside && (original == '>' || original == ']')) inside = false;
  }
  return result;
}

namespace {

// A one-character date field gets a leading "0"; longer or empty ones stay as they are.
void AppendDateField(std::string& out, std::string_view field) {
  if (field.size() == 1) out.push_back('0');
  out.append(field);
}

}  // namespace

std::string LogVisitDate(std::string_view text) {
  const int64_t firstSlash = FindText("/", text);
  const std::string_view rest = Slice(text, firstSlash + 1, kRest);
  const int64_t secondSlash = FindText("/", rest);
  std::string result;
  AppendDateField(result, Slice(text, 1, firstSlash - 1));
  result.push_back('-');
  AppendDateField(result, Slice(rest, 1, secondSlash - 1));
  result.push_back('-');
  result.append(Slice(rest, secondSlash + 1, 4));
  return result;
}

}  // namespace listing
