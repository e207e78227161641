#include "store/plain_insert.h"

#include <cstring>

namespace store {
namespace {

// What SQLite's tokenizer counts as blank; a vertical tab is not.
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The longest run of digits that always fits in 64 bits: SQLite reads a longer one as a real
// when it overflows, which is left to SQLite.
constexpr size_t kMaxDigits = 18;

class TCursor {
 public:
  explicit TCursor(std::string_view text) : FAt(text.data()), FEnd(text.data() + text.size()) {}

  bool AtEnd() const { return FAt == FEnd; }
  const char* At() const { return FAt; }
  char Peek() const { return FAt < FEnd ? *FAt : '\0'; }

  // Blanks; true when there was at least one.
  bool SkipBlanks() {
    const char* from = FAt;
    while (FAt < FEnd && IsBlank(*FAt)) ++FAt;
    return FAt != from;
  }
  bool Take(char c) {
    if (Peek() != c || AtEnd()) return false;
    ++FAt;
    return true;
  }
  // A keyword in any case, as a whole word.
  bool TakeKeyword(std::string_view word) {
    if (static_cast<size_t>(FEnd - FAt) < word.size()) return false;
    for (size_t i = 0; i < word.size(); ++i)
      if ((FAt[i] | 0x20) != word[i]) return false;
    const char* after = FAt + word.size();
    if (after < FEnd && (IsLetter(*after) || IsDigit(*after) || *after == '$' || (*after & 0x80))) return false;
    FAt = after;
    return true;
  }
  // A plain name: letters, digits and underscores, not starting with a digit. Quoted names and
  // names with other characters are left to SQLite.
  bool TakeName() {
    if (!IsLetter(Peek())) return false;
    while (FAt < FEnd && (IsLetter(*FAt) || IsDigit(*FAt))) ++FAt;
    return AtEnd() || !(*FAt == '$' || (*FAt & 0x80));
  }
  bool TakeText(TPlainInsert& into) {
    if (!Take('\'')) return false;
    const char* from = FAt;
    std::string* unescaped = nullptr;
    for (;;) {
      const char* quote = static_cast<const char*>(std::memchr(FAt, '\'', FEnd - FAt));
      if (quote == nullptr) return false;
      if (quote + 1 < FEnd && quote[1] == '\'') {
        // '' is one apostrophe: from here on the value is a copy.
        if (unescaped == nullptr) unescaped = &into.Unescaped.emplace_back(from, quote + 1);
        else unescaped->append(FAt, quote + 1);
        FAt = quote + 2;
        continue;
      }
      if (unescaped != nullptr) unescaped->append(FAt, quote);
      into.Values.push_back({false, 0, unescaped ? std::string_view(*unescaped) : std::string_view(from, quote - from)});
      FAt = quote + 1;
      return true;
    }
  }
  bool TakeInteger(TPlainInsert& into) {
    const char* from = FAt;
    while (FAt < FEnd && IsDigit(*FAt)) ++FAt;
    const size_t digits = FAt - from;
    // "12abc", "1.5", "1e3" and "0x1F" are other tokens to SQLite.
    const char next = Peek();
    if (digits == 0 || digits > kMaxDigits || !(AtEnd() || IsBlank(next) || next == ',' || next == ')')) return false;
    int64_t value = 0;
    for (const char* digit = from; digit < FAt; ++digit) value = value * 10 + (*digit - '0');
    into.Values.push_back({true, value, {}});
    return true;
  }

 private:
  const char* FAt;
  const char* FEnd;
};

}  // namespace

bool ReadPlainInsert(std::string_view statement, TPlainInsert& into) {
  into.Target = {};
  into.Values.clear();
  into.Unescaped.clear();
  // SQLite stops reading at a NUL; the caller refuses such a statement.
  if (statement.find('\0') != std::string_view::npos) return false;
  TCursor at(statement);
  at.SkipBlanks();
  if (!at.TakeKeyword("insert") || !at.SkipBlanks() || !at.TakeKeyword("or") || !at.SkipBlanks() ||
      !at.TakeKeyword("replace") || !at.SkipBlanks() || !at.TakeKeyword("into") || !at.SkipBlanks())
    return false;
  const char* target = at.At();
  if (!at.TakeName()) return false;
  at.SkipBlanks();
  if (!at.Take('(')) return false;
  do {
    at.SkipBlanks();
    if (!at.TakeName()) return false;
    at.SkipBlanks();
  } while (at.Take(','));
  if (!at.Take(')')) return false;
  into.Target = std::string_view(target, at.At() - target);
  at.SkipBlanks();
  if (!at.TakeKeyword("values")) return false;
  at.SkipBlanks();
  if (!at.Take('(')) return false;
  do {
    at.SkipBlanks();
    if (!(at.Peek() == '\'' ? at.TakeText(into) : at.TakeInteger(into))) return false;
    at.SkipBlanks();
  } while (at.Take(','));
  if (!at.Take(')')) return false;
  at.SkipBlanks();
  at.Take(';');
  at.SkipBlanks();
  return at.AtEnd();
}

}  // namespace store
