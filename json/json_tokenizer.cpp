#include "json/json_tokenizer.h"

#include <cstring>
#include <limits>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "json/json_arena.h"
#include "json/json_codepage.h"
#include "json/json_number.h"
#include "json/json_value.h"

namespace json {

namespace {

using S = TJsonState;
using E = TJsonParseError;

// Characters that end a word or a path step: NUL, 8, 9, 10, 12, 13, blank, the double quote
// and ( ) , . : [ ] { }. Nothing from 128 up.
constexpr bool kWordEnd[128] = {
    true,  false, false, false, false, false, false, false, true,  true,  true,  false, true,  true,  false, false,
    false, false, false, false, false, false, false, false, false, false, false, false, false, false, false, false,
    true,  false, true,  false, false, false, false, false, true,  true,  false, false, true,  false, true,  false,
    false, false, false, false, false, false, false, false, false, false, true,  false, false, false, false, false,
    false, false, false, false, false, false, false, false, false, false, false, false, false, false, false, false,
    false, false, false, false, false, false, false, false, false, false, false, true,  false, true,  false, false,
    false, false, false, false, false, false, false, false, false, false, false, false, false, false, false, false,
    false, false, false, false, false, false, false, false, false, false, false, true,  false, true,  false, false,
};

inline bool IsWordEnd(char16_t c) { return c < 128 && kWordEnd[c]; }
inline bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
inline bool IsLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }
inline int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  return -1;
}

// After a keyword: true when the character continues a word ("nullx", "true_1").
inline bool ContinuesWord(char16_t c) { return c == u'.' || c == u'_' || IsLetter(c) || c >= 256; }

// The value of a finished number text. `fraction` and `digits` are the tokenizer's flags.
IJsonValue NumberValue(TJsonBuilder& make, const std::u16string& text, int32_t fraction, int32_t digits) {
  using namespace json::number;
  if (fraction == 0) {
    int64_t i = 0;
    if (ParseInt64(text, i)) return make.Integer(i);
    // Too large for 64 bits: keep the magnitude as a double rather than losing it.
    double d = 0;
    if (ParseDouble(text, d)) return make.Double(d);
    return make.Integer(0);
  }
  if (digits >= 0) {
    // Fixed point with 0 to 4 fraction digits: drop the "." and scale.
    const size_t dot = text.find(u'.');
    std::u16string joined = text.substr(0, dot);
    if (dot != std::u16string::npos) joined.append(text, dot + 1, static_cast<size_t>(digits));
    static constexpr int64_t kScales[5] = {10000, 1000, 100, 10, 1};
    int64_t i = 0;
    if (ParseInt64(joined, i) && i <= std::numeric_limits<int64_t>::max() / kScales[digits] &&
        i >= std::numeric_limits<int64_t>::min() / kScales[digits])
      return make.Currency(i * kScales[digits]);
    double d = 0;
    if (ParseDouble(text, d)) return make.Double(d);
    return make.Currency(0);
  }
  double d = 0;
  ParseDouble(text, d);
  return make.Double(d);
}

// A character of the text as a 16-bit unit.
inline char16_t UnitOf(char16_t c) { return c; }
inline char16_t UnitOf(char c) { return codepage::UnitOf(static_cast<unsigned char>(c)); }

// The length of the run of ordinary string characters at data[pos..limit): no control
// character, backslash or quote `q` among them, so nothing but appending is to be done with
// them (and every one moves the column by one). Strings are most of a document, and this is
// the loop that reads them: 16 bytes or 8 units at a time.
inline size_t PlainRun(const char* data, size_t pos, size_t limit, char16_t q) {
  size_t i = pos;
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8(static_cast<char>(q));
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i ctl = _mm_set1_epi8(31);
  for (; i + 16 <= limit; i += 16) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    const __m128i stop = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(b, quote), _mm_cmpeq_epi8(b, backslash)),
                                      _mm_cmpeq_epi8(_mm_max_epu8(b, ctl), ctl));  // max(b, 31) == 31: b <= 31
    if (const int mask = _mm_movemask_epi8(stop)) return i - pos + static_cast<size_t>(__builtin_ctz(mask));
  }
#endif
  for (; i < limit; ++i) {
    const auto c = static_cast<unsigned char>(data[i]);
    if (c < 32 || c == q || c == u'\\') break;
  }
  return i - pos;
}

inline size_t PlainRun(const char16_t* data, size_t pos, size_t limit, char16_t q) {
  size_t i = pos;
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi16(static_cast<short>(q));
  const __m128i backslash = _mm_set1_epi16(u'\\');
  const __m128i ctl = _mm_set1_epi16(31);
  const __m128i zero = _mm_setzero_si128();
  for (; i + 8 <= limit; i += 8) {
    const __m128i u = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    const __m128i stop = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(u, quote), _mm_cmpeq_epi16(u, backslash)),
                                      _mm_cmpeq_epi16(_mm_subs_epu16(u, ctl), zero));  // u <= 31
    if (const int mask = _mm_movemask_epi8(stop)) return i - pos + static_cast<size_t>(__builtin_ctz(mask)) / 2;
  }
#endif
  for (; i < limit; ++i) {
    const char16_t c = data[i];
    if (c < 32 || c == q || c == u'\\') break;
  }
  return i - pos;
}

// Appends a run of characters to the token being read.
inline void AppendRun(std::u16string& buf, const char16_t* from, size_t n) { buf.append(from, n); }
inline void AppendRun(std::u16string& buf, const char* from, size_t n) {
  const size_t at = buf.size();
  buf.resize(at + n);
  codepage::Decode(reinterpret_cast<const unsigned char*>(from), n, buf.data() + at);
}

// The escape that starts with the backslash at data[pos], read in one step when all of it
// lies before `limit`: its length in characters (the backslash included) and its unit. 0
// leaves it to the Escape state, one character a turn: an escape cut by the limit, a
// character that is not a hex digit, or one that is not printable ASCII (a line feed or a
// tab moves the line or column its own way). Strings of logs are full of escapes, and each
// turn of the machine costs far more than this.
template <typename TChar>
inline size_t WholeEscape(const TChar* data, size_t pos, size_t limit, char16_t& unit) {
  if (pos + 1 >= limit) return 0;
  const char16_t e = UnitOf(data[pos + 1]);
  switch (e) {
    case u'b': unit = 8; return 2;
    case u'n': unit = 10; return 2;
    case u'r': unit = 13; return 2;
    case u't': unit = 9; return 2;
    case u'f': unit = 12; return 2;
    case u'u':
    case u'x': {
      const size_t digits = e == u'u' ? 4 : 2;
      if (pos + 1 + digits >= limit) return 0;
      unsigned v = 0;
      for (size_t k = pos + 2; k < pos + 2 + digits; ++k) {
        const int h = HexValue(UnitOf(data[k]));
        if (h < 0) return 0;
        v = v * 16 + static_cast<unsigned>(h);
      }
      unit = static_cast<char16_t>(v);
      return 2 + digits;
    }
    default:
      if (e < 32 || e > 126) return 0;
      unit = e;
      return 2;
  }
}

// Index text of a path step: a non-negative integer that fits an array index.
bool ValidIndex(int64_t i) { return i >= 0 && i < TJsonArray::kMaxLength; }

}  // namespace

bool IsPlainMemberName(std::u16string_view path) {
  if (path.empty()) return false;
  const char16_t first = path[0];
  if (first == u'-' || first == u'\'' || first == u'/') return false;
  for (char16_t c : path)
    if (IsWordEnd(c)) return false;  // also rules out '"', '[', '{', '(' and white space
  if (path.substr(0, 4) == u"null" || path.substr(0, 4) == u"true" || path.substr(0, 5) == u"false") return false;
  return true;
}

// ----- TJsonBuilder ----------------------------------------------------------------------------

TJsonBuilder::~TJsonBuilder() {
  if (FArena) FArena->EndBuild();
}

void TJsonBuilder::UseArena() {
  if (!FArena) FArena = TJsonArena::Create();
}

TJsonValue* TJsonBuilder::New(TJsonValueKind kind) {
  if (!FArena) return new TJsonValue(kind, nullptr);
  void* at = FArena->Allocate(sizeof(TJsonValue));
  auto* v = new (at) TJsonValue(kind, FArena);
  FArena->AddValue();
  return v;
}

IJsonValue TJsonBuilder::Value(TJsonValueKind kind) { return TJsonValue::Adopt(New(kind)); }

IJsonValue TJsonBuilder::Boolean(bool value) {
  TJsonValue* v = New(vkBoolean);
  v->FBoolean = value;
  return TJsonValue::Adopt(v);
}

IJsonValue TJsonBuilder::Integer(int64_t value) {
  TJsonValue* v = New(vkInteger);
  v->FInteger = value;
  return TJsonValue::Adopt(v);
}

IJsonValue TJsonBuilder::Double(double value) {
  TJsonValue* v = New(vkDouble);
  v->FDouble = value;
  return TJsonValue::Adopt(v);
}

IJsonValue TJsonBuilder::Currency(int64_t scaled) {
  TJsonValue* v = New(vkCurrency);
  v->FCurrency = scaled;
  return TJsonValue::Adopt(v);
}

IJsonValue TJsonBuilder::String(std::u16string_view units) {
  IJsonValue v = TJsonValue::Adopt(New(vkString));
  v->FText = TJsonText::Make(units, FArena);
  v->FTextInArena = v->FText && !v->FText->Heap;
  return v;
}

IJsonValue TJsonBuilder::NarrowString(const char* bytes, size_t n) {
  IJsonValue v = TJsonValue::Adopt(New(vkString));
  v->FText = TJsonText::MakeNarrow(reinterpret_cast<const unsigned char*>(bytes), n, FArena);
  v->FTextInArena = v->FText && !v->FText->Heap;
  return v;
}

void TJsonBuilder::AddMember(TJsonMemberTable& table, std::u16string_view name, IJsonValue value) {
  // A name too long for an arena piece gets an entry of its own on the heap.
  if (!FArena || sizeof(TJsonName) + name.size() * sizeof(char16_t) > TJsonArena::kMaxPiece) {
    table.Put(name, std::move(value));
    return;
  }
  void* at = FArena->Allocate(sizeof(TJsonAvlEntry), alignof(TJsonAvlEntry), TJsonArena::kEntries);
  table.Insert(new (at) TJsonAvlEntry(SharedName(name), std::move(value)));
}

const TJsonName* TJsonBuilder::SharedName(std::u16string_view text) {
  // Compared as bytes: the unit by unit compare of a 16-bit string view is several times slower.
  const TJsonName* guess = FLastName ? FLastName->Next : nullptr;
  if (guess && guess->Length == text.size() &&
      std::memcmp(guess->Units(), text.data(), text.size() * sizeof(char16_t)) == 0) {
    FLastName = const_cast<TJsonName*>(FLastName->Next);
    return FLastName;
  }
  const TJsonName* found = FindName(text);
  if (FLastName) FLastName->Next = found;
  FLastName = const_cast<TJsonName*>(found);
  return found;
}

const TJsonName* TJsonBuilder::FindName(std::u16string_view text) {
  if (2 * (FNameCount + 1) > FNames.size()) {
    std::vector<const TJsonName*> old(FNames.size() ? 2 * FNames.size() : 64, nullptr);
    old.swap(FNames);
    for (const TJsonName* n : old) {
      if (!n) continue;
      size_t i = n->Hash & (FNames.size() - 1);
      while (FNames[i]) i = (i + 1) & (FNames.size() - 1);
      FNames[i] = n;
    }
  }
  const uint32_t hash = TJsonAvlEntry::NameHash(text);
  const size_t mask = FNames.size() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    const TJsonName* n = FNames[i];
    if (n == nullptr) {
      n = TJsonName::Make(text, hash, FArena);
      FNames[i] = n;
      ++FNameCount;
      return n;
    }
    if (n->Hash == hash && n->Text() == text) return n;
  }
}

// ----- TJsonTokenizer --------------------------------------------------------------------------

void TJsonTokenizer::ResetLevel(TJsonTokenizerLevel& level) {
  level.State = S::SkipSpace;
  level.SavedState = S::ValueStart;
  level.Argument.Reset();
  level.Current.Reset();
  level.MemberName.clear();
  level.Parent.Reset();
  level.GrandParent.Reset();
}

void TJsonTokenizer::Reset() {
  for (int32_t d = FDepth; d >= 0; --d) ResetLevel(FStack[d]);
  FDepth = 0;
  FError = E::perNone;
  FNestedArgs = 0;
  FNarrowString = false;
  FHanded.Reset();
}

IJsonValue ParseWithTokenizer(TJsonTokenizer& t, std::u16string_view text, int32_t length, bool strict,
                              const IJsonValue& context, TJsonOptions options, const IJsonValue& putValue,
                              TJsonValueKind kind) {
  return TJsonTokenizer::Run(t, text.data(), text.size(), length, strict, context, options, putValue, kind);
}

IJsonValue ParseWithTokenizer(TJsonTokenizer& t, std::string_view bytes, int32_t length, bool strict) {
  return TJsonTokenizer::Run(t, bytes.data(), bytes.size(), length, strict, {}, {}, {}, vkNull);
}

template <typename TChar>
IJsonValue TJsonTokenizer::Run(TJsonTokenizer& t, const TChar* const data, const size_t size, int32_t length,
                               bool strict, const IJsonValue& context, TJsonOptions options,
                               const IJsonValue& putValue, TJsonValueKind kind) {
  const bool optCreate = options.Has(TJsonOption::CreatePath);
  const bool optPut = options.Has(TJsonOption::PutValue);
  const bool optDelete = options.Has(TJsonOption::Delete);
  // A caller that needs the whole text to be the path: a step that would change something
  // while text follows is refused before the change.
  const bool optWhole = (options.Bits() & kWholePathOption) != 0;
  const TJsonValueKind contextKind = context ? context->Kind() : vkNull;
  // The end of what this call may read: the text, or the length limit before it.
  const size_t limit = length >= 0 && static_cast<size_t>(length) < size ? static_cast<size_t>(length) : size;
  size_t pos = 0;
  std::u16string& buf = t.FBuffer;
  TJsonBuilder& make = t.FBuilder;
  // A string read from bytes is collected as those bytes in `narrow` (the form it will be
  // kept in) for as long as the code page holds every unit of it; on the first unit it does
  // not hold, what is there moves to `buf` and the string goes on in 16-bit units.
  std::string& narrow = t.FNarrow;
  if constexpr (!std::is_same_v<TChar, char>) {
    if (t.FNarrowString) {  // a string begun in an earlier call over bytes
      AppendRun(buf, narrow.data(), narrow.size());
      t.FNarrowString = false;
    }
  }
  auto pushUnit = [&](TJsonTokenizerLevel* level, char16_t u) {
    if (t.FNarrowString && (level->State == S::QuotedString || level->SavedState == S::QuotedString)) {
      const int b = codepage::ByteOf(u);
      if (b >= 0) {
        narrow.push_back(static_cast<char>(b));
        return;
      }
      AppendRun(buf, narrow.data(), narrow.size());
      t.FNarrowString = false;
    }
    buf.push_back(u);
  };
  // Values a path evaluation makes go into trees built elsewhere; only a plain parse of a
  // large text builds in an arena.
  if (!context && !make.UsesArena() && limit >= t.FArenaMinText) make.UseArena();

  TJsonTokenizerLevel* L = &t.FStack[t.FDepth];
  t.FError = E::perNone;
  // The position is also the count of characters consumed; it, the line and the column are
  // kept in registers and stored in the tokenizer when the call ends.
  int32_t line = t.FLine;
  int32_t column = t.FColumn;

  // State actions below end in one of: `continue` (redo: the same character in the state
  // now set, possibly at another level), `goto consume` or `goto fail`/`goto stop`.
  for (;;) {
    if (length >= 0 && pos == static_cast<size_t>(length)) {
      t.FError = (t.FDepth == 0 && L->State == S::SkipSpace && L->SavedState == S::ValueDone) ? E::perNone
                                                                                             : E::perIncomplete;
      goto stop;
    }
    {
      const char16_t c = pos < size ? UnitOf(data[pos]) : u'\0';
      if (c == 9) {
        column += 4;
      } else if (c == 10) {
        ++line;
        column = 0;
      } else {
        ++column;
      }

      // Between tokens there is seldom anything to skip: such a character goes straight to
      // the state waiting after the white space, as SkipSpace would send it, without a turn
      // through the table.
      const bool skipsNothing = c > 32 && c != u'/';
      for (;;) {
        if (skipsNothing && L->State == S::SkipSpace) L->State = L->SavedState;
        switch (L->State) {
          case S::SkipSpace:
            if (c == 8 || c == 9 || c == 10 || c == 12 || c == 13 || c == 32) goto consume;
            if (c == u'/') {
              buf.clear();
              buf.push_back(c);
              L->State = S::CommentStart;
              goto consume;
            }
            L->State = L->SavedState;
            continue;

          case S::ValueStart:
            if (c == u'"' || c == u'\'') {
              buf.clear();
              narrow.clear();
              t.FNarrowString = std::is_same_v<TChar, char>;
              t.FQuote = c;
              L->State = S::QuotedString;
              goto consume;
            }
            if (c == u'-' || IsDigit(c)) {
              buf.clear();
              if (c != u'-' && t.FDepth == 0 && contextKind == vkObject) {
                // A member name that starts with a digit.
                L->Current = context;
                L->State = S::Word;
                continue;
              }
              L->State = S::Number;
              t.FFraction = 0;
              t.FFractionDigits = -1;
              continue;
            }
            if (c == u't' || c == u'f' || c == u'T' || c == u'F') {
              buf.clear();
              t.FLiteralPos = 0;
              L->State = S::BooleanWord;
              continue;
            }
            if (c == u'n' || c == u'N') {
              buf.clear();
              t.FLiteralPos = 0;
              L->State = S::NullWord;
              continue;
            }
            if (c == u'[') {
              L->Current = make.Value(vkArray);
              L->SavedState = S::ArrayStart;
              L->State = S::SkipSpace;
              goto consume;
            }
            if (c == u'{') {
              L->Current = make.Value(vkObject);
              L->SavedState = S::MemberStart;
              L->State = S::SkipSpace;
              goto consume;
            }
            if (c == u'(') {
              if (t.FDepth == 0 && contextKind == vkMethod) {
                L->Current = context;
                L->State = S::IndexValue;
              }
              goto consume;
            }
            buf.clear();
            L->State = S::Word;
            continue;

          case S::ValueDone:
            if (t.FDepth == 0) goto stop;
            t.FHanded = std::move(L->Current);
            t.ResetLevel(*L);
            L = &t.FStack[--t.FDepth];
            continue;

          case S::NullWord:
          case S::BooleanWord: {
            buf.push_back(c);
            const size_t n = buf.size();  // literal position + 1
            bool isTrue = false;
            size_t wordLen;
            if (L->State == S::NullWord) {
              wordLen = 4;
              if (std::u16string_view(buf).substr(0, n < 4 ? n : 4) != std::u16string_view(u"null").substr(0, n < 4 ? n : 4)) {
                buf.pop_back();
                L->State = S::Word;
                continue;
              }
            } else if (std::u16string_view(buf).substr(0, n < 4 ? n : 4) == std::u16string_view(u"true").substr(0, n < 4 ? n : 4)) {
              isTrue = true;
              wordLen = 4;
            } else if (std::u16string_view(buf).substr(0, n < 5 ? n : 5) == std::u16string_view(u"false").substr(0, n < 5 ? n : 5)) {
              wordLen = 5;
            } else {
              buf.pop_back();
              L->State = S::Word;
              continue;
            }
            if (static_cast<size_t>(t.FLiteralPos) < wordLen) {
              ++t.FLiteralPos;
              goto consume;
            }
            // The character after the keyword.
            if (ContinuesWord(c)) {
              ++t.FLiteralPos;
              L->State = S::Word;
              goto consume;
            }
            L->Current = L->State == S::NullWord ? make.Value(vkNull) : make.Boolean(isTrue);
            L->SavedState = S::ValueDone;
            L->State = S::SkipSpace;
            continue;
          }

          case S::CommentStart:
            buf.push_back(c);
            if (c == u'*') {
              L->State = S::BlockComment;
            } else if (c == u'/') {
              L->State = S::LineComment;
            } else {
              t.FError = E::perComment;
              goto stop;
            }
            goto consume;

          case S::BlockComment:
            buf.push_back(c);
            if (c == u'*') L->State = S::BlockCommentStar;
            goto consume;

          case S::LineComment:
            if (c == 10) {
              L->State = S::SkipSpace;
            } else {
              buf.push_back(c);
            }
            goto consume;

          case S::BlockCommentStar:
            buf.push_back(c);
            // A further "*" may still be the one before the closing "/" ("**/" closes).
            if (c == u'/') {
              L->State = S::SkipSpace;
            } else if (c != u'*') {
              L->State = S::BlockComment;
            }
            goto consume;

          case S::QuotedString:
          case S::QuotedName: {
            if (c == t.FQuote) {
              if (L->State == S::QuotedString) {
                L->Current = t.FNarrowString ? make.NarrowString(narrow.data(), narrow.size()) : make.String(buf);
                t.FNarrowString = false;
                L->SavedState = S::ValueDone;
              } else {
                L->MemberName.swap(buf);  // buf is cleared before it is used again
                L->SavedState = S::NameEnd;
              }
              L->State = S::SkipSpace;
              goto consume;
            }
            if (c == u'\\') {
              char16_t unit = 0;
              if (const size_t n = WholeEscape(data, pos, limit, unit)) {
                pushUnit(L, unit);
                column += static_cast<int32_t>(n - 1);  // none of its characters is a tab or a line feed
                pos += n - 1;
                goto consume;
              }
              L->SavedState = L->State;
              L->State = S::Escape;
              goto consume;
            }
            if (c < 32) {  // NUL included: it ends the text and so the parse
              pushUnit(L, c);
              goto consume;
            }
            // Take the whole run of ordinary characters at once.
            const size_t n = PlainRun(data, pos, limit, t.FQuote);
            if (L->State == S::QuotedName && buf.empty() && pos + n < limit && data[pos + n] == t.FQuote) {
              // A whole name without escapes (nearly every name): straight to the level, and
              // its closing quote, with the ":" when it follows at once, taken here rather
              // than on turns of their own.
              L->MemberName.resize(n);
              if constexpr (std::is_same_v<TChar, char>)
                codepage::Decode(reinterpret_cast<const unsigned char*>(data + pos), n, L->MemberName.data());
              else
                std::copy(data + pos, data + pos + n, L->MemberName.data());
              column += static_cast<int32_t>(n);  // the rest of the run and the quote
              pos += n;
              if (pos + 1 < limit && data[pos + 1] == u':') {
                ++column;
                ++pos;
                L->SavedState = S::MemberValue;
              } else {
                L->SavedState = S::NameEnd;
              }
              L->State = S::SkipSpace;
              goto consume;
            }
            if constexpr (std::is_same_v<TChar, char>) {
              // A whole string without escapes: its bytes are already the narrow form a
              // string keeps, so they go there without being decoded and encoded again.
              if (L->State == S::QuotedString && t.FNarrowString && narrow.empty() && pos + n < limit &&
                  data[pos + n] == t.FQuote) {
                L->Current = make.NarrowString(data + pos, n);
                L->SavedState = S::ValueDone;
                L->State = S::SkipSpace;
                column += static_cast<int32_t>(n);  // the rest of the run and the quote
                pos += n;
                goto consume;
              }
              if (L->State == S::QuotedString && t.FNarrowString) {
                narrow.append(data + pos, n);
                column += static_cast<int32_t>(n - 1);
                pos += n - 1;
                goto consume;
              }
            }
            AppendRun(buf, data + pos, n);
            column += static_cast<int32_t>(n - 1);  // this character's column is counted
            pos += n - 1;
            goto consume;
          }

          case S::Escape:
            switch (c) {
              case u'b': pushUnit(L, 8); break;
              case u'n': pushUnit(L, 10); break;
              case u'r': pushUnit(L, 13); break;
              case u't': pushUnit(L, 9); break;
              case u'f': pushUnit(L, 12); break;
              case u'u':
              case u'x':
                t.FEscape = 0;
                t.FLiteralPos = 0;
                L->State = c == u'u' ? S::UnicodeEscape : S::HexEscape;
                goto consume;
              default: pushUnit(L, c); break;
            }
            L->State = L->SavedState;
            goto consume;

          case S::UnicodeEscape:
          case S::HexEscape: {
            const int v = HexValue(c);
            if (v < 0) {
              t.FError = E::perString;
              goto stop;
            }
            const int digits = L->State == S::UnicodeEscape ? 4 : 2;
            t.FEscape = static_cast<uint16_t>(t.FEscape + (v << (4 * (digits - 1 - t.FLiteralPos))));
            if (++t.FLiteralPos == digits) {
              pushUnit(L, static_cast<char16_t>(t.FEscape));
              L->State = L->SavedState;
            }
            goto consume;
          }

          case S::Number:
            if (IsDigit(c)) {
              // The whole run of digits at once.
              size_t n = 1;
              while (pos + n < limit && IsDigit(static_cast<char16_t>(data[pos + n]))) ++n;
              if (!context && buf.empty() && n <= 18 && pos + n < limit) {
                // An integer of nothing but these digits, as most numbers are: its value is
                // taken from them here. 18 digits cannot overflow.
                const char16_t next = UnitOf(data[pos + n]);
                if (next != u'.' && next != u'e' && next != u'E' && next != u'+' && next != u'-') {
                  int64_t value = 0;
                  for (size_t k = pos; k < pos + n; ++k) value = value * 10 + (UnitOf(data[k]) - u'0');
                  L->Current = make.Integer(value);
                  L->SavedState = S::ValueDone;
                  L->State = S::SkipSpace;
                  column += static_cast<int32_t>(n - 1);
                  pos += n - 1;
                  goto consume;
                }
              }
              AppendRun(buf, data + pos, n);
              if (t.FFraction != 0 && t.FFractionDigits >= 0) {
                t.FFractionDigits += static_cast<int32_t>(n);
                if (t.FFractionDigits > 4) t.FFractionDigits = -1;
              }
              column += static_cast<int32_t>(n - 1);
              pos += n - 1;
              goto consume;
            }
            if (c == u'.') {
              buf.push_back(c);
              t.FFraction = 1;
              t.FFractionDigits = 0;
              goto consume;
            }
            if (c == u'e' || c == u'E') {
              buf.push_back(c);
              t.FFraction = 1;
              t.FFractionDigits = -1;
              goto consume;
            }
            if (c == u'+' || c == u'-') {
              buf.push_back(c);
              goto consume;
            }
            // The number ends here.
            if (t.FFraction == 0 && t.FDepth == 0 && contextKind == vkArray) {
              // A number on its own against an array is an index into it.
              int64_t index = 0;
              if (!number::ParseInt64(buf, index) || !ValidIndex(index)) {
                t.FError = E::perIndex;
                goto stop;
              }
              TJsonArray* arr = context->ToArray();
              if (optWhole && c != 0 && (optPut || optDelete)) {
                t.FError = E::perValueSeparator;
                goto stop;
              }
              if (optPut) {
                arr->Put(static_cast<int32_t>(index), putValue);
                L->Current = putValue;
              } else if (optDelete) {
                L->Current = arr->Delete(static_cast<int32_t>(index));
              } else {
                L->Current = arr->Get(static_cast<int32_t>(index));
              }
            } else {
              L->Current = NumberValue(make, buf, t.FFraction, t.FFractionDigits);
            }
            L->SavedState = S::ValueDone;
            L->State = S::SkipSpace;
            continue;

          case S::Word:
            if (!context) {
              // A bare word: it runs to the character that ends a value where it stands.
              bool end = false;
              if (c == 0) {
                end = true;
              } else if (c < 256 && t.FDepth > 0) {
                const S parent = t.FStack[t.FDepth - 1].State;
                if (parent == S::ArrayAdd) end = c == u',' || c == u']';
                if (parent == S::MemberAdd) end = c == u',' || c == u'}';
              }
              if (end) {
                if (strict) {
                  t.FError = E::perString;
                  goto stop;
                }
                while (!buf.empty() && (buf.back() == 10 || buf.back() == 13 || buf.back() == 32)) buf.pop_back();
                L->Current = make.String(buf);
                L->SavedState = S::ValueDone;
                L->State = S::SkipSpace;
                continue;
              }
              if (c == u'\\') {
                L->SavedState = S::Word;
                L->State = S::Escape;
                goto consume;
              }
              buf.push_back(c);
              goto consume;
            }
            // A path step.
            if (!IsWordEnd(c)) {
              buf.push_back(c);
              goto consume;
            }
            {
              L->GrandParent = std::move(L->Parent);
              L->Parent = L->Current ? L->Current : context;
              TJsonValue* parent = L->Parent.Get();
              const bool topStep = t.FNestedArgs == 0;  // not inside an index or argument list
              switch (parent->Kind()) {
                case vkObject: {
                  TJsonMemberTable* table = parent->ToObjectTable();
                  if (!buf.empty()) L->Current = table->Get(buf);
                  if (c == u'(' || c == u'.' || c == u'[') {
                    L->State = c == u'(' ? S::PathCall : (c == u'.' ? S::PathProperty : S::PathIndexStart);
                    goto consume;
                  }
                  if (topStep && optWhole && c != 0 && (optPut || optDelete || optCreate)) {
                    t.FError = E::perValueSeparator;
                    goto stop;
                  }
                  if (topStep) {
                    if (optPut) {
                      table->Put(buf, putValue);
                      L->Current = putValue;
                    } else if (optDelete) {
                      L->Current = table->Delete(buf);
                    } else if (!L->Current && optCreate) {
                      L->Current = TJsonValue::Create(kind);
                      table->Put(buf, L->Current);
                    }
                  }
                  L->State = S::ValueDone;
                  continue;
                }
                case vkArray: {
                  TJsonArray* arr = parent->ToArray();
                  if (L->Argument) {
                    // name[i]
                    const IJsonValue arg = std::move(L->Argument);
                    L->Argument.Reset();
                    if (arg->Kind() != vkInteger || !ValidIndex(arg->ToInteger())) {
                      t.FError = E::perIndex;
                      goto stop;
                    }
                    const auto index = static_cast<int32_t>(arg->ToInteger());
                    L->Current = arr->Get(index);
                    if (c == u'(') {
                      L->State = S::PathCall;
                      goto consume;
                    }
                    if (c == u'.' || c == u'[') {
                      const TJsonValueKind need = c == u'.' ? vkObject : vkArray;
                      if (!L->Current) {
                        if (!optCreate) {
                          t.FError = c == u'.' ? E::perObjectStep : E::perArrayStep;
                          goto stop;
                        }
                        L->Current = TJsonValue::Create(need);
                        arr->Put(index, L->Current);
                      }
                      L->State = c == u'.' ? S::PathProperty : S::PathIndexStart;
                      goto consume;
                    }
                    if (topStep && optWhole && c != 0 && (optPut || optDelete)) {
                      t.FError = E::perValueSeparator;
                      goto stop;
                    }
                    if (topStep && optPut) {
                      arr->Put(index, putValue);
                      L->Current = putValue;
                    } else if (topStep && optDelete) {
                      L->Current = arr->Delete(index);
                    }
                    L->State = S::ValueDone;
                    continue;
                  }
                  // name[]: the end of the array.
                  const bool append = topStep && optPut;
                  if (c == u'(') {
                    if (append) {
                      L->Current.Reset();
                    } else {
                      L->Current = arr->Get(arr->Length() - 1);
                    }
                    L->State = S::PathCall;
                    goto consume;
                  }
                  if (c == u'.' || c == u'[') {
                    if (append) {
                      L->Current = TJsonValue::Create(c == u'.' ? vkObject : vkArray);
                      arr->Add(L->Current);
                    } else {
                      L->Current = arr->Get(arr->Length() - 1);
                    }
                    L->State = c == u'.' ? S::PathProperty : S::PathIndexStart;
                    goto consume;
                  }
                  if (append && optWhole && c != 0) {
                    t.FError = E::perValueSeparator;
                    goto stop;
                  }
                  if (append) {
                    arr->Add(putValue);
                    L->Current = putValue;
                  } else if (buf.empty()) {
                    L->Current = arr->Get(arr->Length() - 1);
                  }
                  L->State = S::ValueDone;
                  continue;
                }
                case vkMethod: {
                  if (topStep && optPut && c != u'(' && c != u'[' && c != u'.') {
                    t.FError = E::perMethodStep;
                    goto stop;
                  }
                  IJsonValue result;
                  if (TJsonMethod m = parent->ToMethod()) m(L->GrandParent, L->Argument, result);
                  L->Current = std::move(result);
                  L->Argument.Reset();
                  if (c == u'(' || c == u'[' || c == u'.') {
                    L->State = c == u'(' ? S::PathCall : (c == u'[' ? S::PathIndexStart : S::PathProperty);
                    goto consume;
                  }
                  L->State = S::ValueDone;
                  continue;
                }
                default:
                  // A step through a value that has no members.
                  t.FError = E::perObjectStep;
                  goto stop;
              }
            }

          case S::PathProperty:
          case S::PathIndexStart: {
            const bool property = L->State == S::PathProperty;
            const TJsonValueKind need = property ? vkObject : vkArray;
            if (!L->Current && optCreate && L->Parent && L->Parent->Kind() == vkObject) {
              L->Current = TJsonValue::Create(need);
              L->Parent->ToObjectTable()->Put(buf, L->Current);
            }
            if (!L->Current || L->Current->Kind() != need) {
              t.FError = property ? E::perObjectStep : E::perArrayStep;
              goto stop;
            }
            buf.clear();
            L->State = property ? S::Word : S::IndexValue;
            continue;
          }

          case S::PathCall:
            if (!L->Current || L->Current->ToMethod() == nullptr) {
              t.FError = E::perMethodStep;
              goto stop;
            }
            buf.clear();
            L->Argument = TJsonValue::Create(vkArray);
            L->State = S::CallArgValue;
            continue;

          case S::IndexValue:
          case S::CallArgValue:
            if (c == (L->State == S::IndexValue ? u']' : u')')) {
              L->State = S::Word;
              goto consume;
            }
            if (t.FDepth >= TJsonTokenizer::kLevels - 1) {
              t.FError = E::perDepth;
              goto stop;
            }
            ++t.FNestedArgs;
            L->State = L->State == S::IndexValue ? S::IndexPut : S::CallArgPut;
            L = &t.FStack[++t.FDepth];
            t.ResetLevel(*L);
            continue;

          case S::IndexPut:
            --t.FNestedArgs;
            L->Argument = std::move(t.FHanded);
            buf.clear();
            if (!L->Argument) {
              // An index path that leads nowhere must not read as "[]".
              t.FError = E::perIndex;
              goto stop;
            }
            if (c != u']') {
              t.FError = E::perArrayStep;
              goto stop;
            }
            L->SavedState = S::Word;
            L->State = S::SkipSpace;
            goto consume;

          case S::CallArgPut:
            --t.FNestedArgs;
            if (TJsonArray* args = L->Argument ? L->Argument->ToArray() : nullptr) args->Add(std::move(t.FHanded));
            t.FHanded.Reset();
            if (c == u')') {
              if (TJsonArray* args = L->Argument ? L->Argument->ToArray() : nullptr; args && args->Length() == 1)
                L->Argument = args->Get(0);
              buf.clear();
              L->SavedState = S::Word;
            } else if (c == u',') {
              buf.clear();
              L->SavedState = S::CallArgValue;
            } else {
              t.FError = E::perMethodStep;
              goto stop;
            }
            L->State = S::SkipSpace;
            goto consume;

          case S::ArrayStart:
            if (c == u']') {
              L->SavedState = S::ValueDone;
              L->State = S::SkipSpace;
              goto consume;
            }
            if (t.FDepth >= TJsonTokenizer::kLevels - 1) {
              t.FError = E::perDepth;
              goto stop;
            }
            L->State = S::ArrayAdd;
            L = &t.FStack[++t.FDepth];
            t.ResetLevel(*L);
            continue;

          case S::ArrayAdd:
            L->Current->ToArray()->Add(std::move(t.FHanded));
            t.FHanded.Reset();
            L->SavedState = S::ArraySep;
            L->State = S::SkipSpace;
            continue;

          case S::ArraySep:
            if (c == u']') {
              L->SavedState = S::ValueDone;
            } else if (c == u',') {
              L->SavedState = S::ArrayStart;
            } else {
              t.FError = E::perArray;
              goto stop;
            }
            L->State = S::SkipSpace;
            goto consume;

          case S::MemberStart:
            if (c == u'}') {
              L->SavedState = S::ValueDone;
              L->State = S::SkipSpace;
              goto consume;
            }
            if (c == u'"' || c == u'\'') {
              t.FQuote = c;
              buf.clear();
              L->State = S::QuotedName;
              goto consume;
            }
            if (c < 256 && (strict || IsWordEnd(c))) {
              t.FError = E::perMemberName;
              goto stop;
            }
            buf.clear();
            L->State = S::BareName;
            continue;

          case S::BareName:
            if (c == 0 || c == u':') {
              L->MemberName.swap(buf);
              L->SavedState = S::NameEnd;
              L->State = S::SkipSpace;
              continue;
            }
            if (c == u'\\') {
              L->SavedState = S::BareName;
              L->State = S::Escape;
              goto consume;
            }
            buf.push_back(c);
            goto consume;

          case S::NameEnd:
            if (c != u':') {
              t.FError = E::perNameSeparator;
              goto stop;
            }
            L->SavedState = S::MemberValue;
            L->State = S::SkipSpace;
            goto consume;

          case S::MemberValue:
            if (t.FDepth >= TJsonTokenizer::kLevels - 1) {
              t.FError = E::perDepth;
              goto stop;
            }
            L->State = S::MemberAdd;
            L = &t.FStack[++t.FDepth];
            t.ResetLevel(*L);
            continue;

          case S::MemberAdd:
            make.AddMember(*L->Current->ToObjectTable(), L->MemberName, std::move(t.FHanded));
            L->MemberName.clear();
            t.FHanded.Reset();
            L->SavedState = S::MemberSep;
            L->State = S::SkipSpace;
            continue;

          case S::MemberSep:
            if (c == u'}') {
              L->SavedState = S::ValueDone;
            } else if (c == u',') {
              L->SavedState = S::MemberStart;
            } else {
              t.FError = E::perValueSeparator;
              goto stop;
            }
            L->State = S::SkipSpace;
            goto consume;
        }
        // Not reached: every state ends in continue, consume or stop.
        t.FError = E::perEof;
        goto stop;
      }

    consume:
      ++pos;
      if (c == 0) {
        // The text ended; only a finished top-level value (perhaps followed by an open
        // comment) is complete.
        if (t.FDepth != 0 || (L->State != S::ValueDone && L->SavedState != S::ValueDone)) t.FError = E::perEof;
        goto stop;
      }
    }
  }

stop:
  t.FOffset = static_cast<int32_t>(pos);
  t.FLine = line;
  t.FColumn = column;
  if (t.FError != E::perNone) return nullptr;
  if (options.Has(TJsonOption::CallMethod) && L->Current && L->Current->Kind() == vkMethod) {
    // A method value may hold no entry (made by ForcePath, or wiped): nothing to call.
    IJsonValue result;
    if (TJsonMethod m = L->Current->ToMethod()) m(L->Parent, putValue, result);
    return result;
  }
  return L->Current;
}

}  // namespace json
