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

IJsonValue TJsonBuilder::NarrowString(const char* bytes, size_t n, bool sourceBytes) {
  IJsonValue v = TJsonValue::Adopt(New(vkString));
  v->FText = TJsonText::MakeNarrow(reinterpret_cast<const unsigned char*>(bytes), n, FArena, sourceBytes);
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
  FEscapedBeyondAscii = false;
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

enum class TJsonTokenizer::TStep : uint8_t {
  Redo,     // the same character again, in the state now set (perhaps at another level)
  Consume,  // on to the next character
  Stop,     // the call ends: an error is set, or the value is complete
};

namespace {

// Keyword matching: true while the characters read so far agree with `word` as far as both go.
inline bool MatchesSoFar(std::u16string_view read, std::u16string_view word) {
  const size_t n = read.size() < word.size() ? read.size() : word.size();
  return read.substr(0, n) == word.substr(0, n);
}

// The state a path step's last character leads to: "(" a call, "." a member, "[" an index.
inline S StepAfter(char16_t c) { return c == u'(' ? S::PathCall : (c == u'.' ? S::PathProperty : S::PathIndexStart); }

}  // namespace

// ----- path evaluation (only when a context is set) ---------------------------------------------

struct TJsonTokenizer::TPathJob {
  const IJsonValue& Context;
  const IJsonValue& PutValue;
  TJsonValueKind Kind;  // of the value a created step makes
  bool Create;
  bool Put;
  bool Delete;
  // The whole text must be the path: a step that would change something while text follows
  // is refused before the change.
  bool Whole;

  static TStep Fail(TJsonTokenizer& t, E error) {
    t.FError = error;
    return TStep::Stop;
  }

  // Number, at the end of a number on its own against an array: an index into it.
  TStep Index(TJsonTokenizer& t, TJsonTokenizerLevel& L, char16_t c) const {
    int64_t index = 0;
    if (!number::ParseInt64(t.FBuffer, index) || !ValidIndex(index)) return Fail(t, E::perIndex);
    TJsonArray* arr = Context->ToArray();
    if (Whole && c != 0 && (Put || Delete)) return Fail(t, E::perValueSeparator);
    if (Put) {
      arr->Put(static_cast<int32_t>(index), PutValue);
      L.Current = PutValue;
    } else if (Delete) {
      L.Current = arr->Delete(static_cast<int32_t>(index));
    } else {
      L.Current = arr->Get(static_cast<int32_t>(index));
    }
    L.SavedState = S::ValueDone;
    L.State = S::SkipSpace;
    return TStep::Redo;
  }

  // Word: a step's name runs to a word end, which then takes the step from the value reached.
  TStep Step(TJsonTokenizer& t, TJsonTokenizerLevel& L, char16_t c) const {
    if (!IsWordEnd(c)) {
      t.FBuffer.push_back(c);
      return TStep::Consume;
    }
    L.GrandParent = std::move(L.Parent);
    L.Parent = L.Current ? L.Current : Context;
    TJsonValue* parent = L.Parent.Get();
    const bool top = t.FNestedArgs == 0;  // not inside an index or argument list
    switch (parent->Kind()) {
      case vkObject: return MemberStep(t, L, c, *parent->ToObjectTable(), top);
      case vkArray:
        return L.Argument ? ItemStep(t, L, c, *parent->ToArray(), top) : LastItemStep(t, L, c, *parent->ToArray(), top);
      case vkMethod: return MethodStep(t, L, c, *parent, top);
      default: return Fail(t, E::perObjectStep);  // a step through a value that has no members
    }
  }

  // name: the member of that name.
  TStep MemberStep(TJsonTokenizer& t, TJsonTokenizerLevel& L, char16_t c, TJsonMemberTable& table, bool top) const {
    const std::u16string& buf = t.FBuffer;
    if (!buf.empty()) L.Current = table.Get(buf);
    if (c == u'(' || c == u'.' || c == u'[') {
      L.State = StepAfter(c);
      return TStep::Consume;
    }
    if (top && Whole && c != 0 && (Put || Delete || Create)) return Fail(t, E::perValueSeparator);
    if (top) {
      if (Put) {
        table.Put(buf, PutValue);
        L.Current = PutValue;
      } else if (Delete) {
        L.Current = table.Delete(buf);
      } else if (!L.Current && Create) {
        L.Current = TJsonValue::Create(Kind);
        table.Put(buf, L.Current);
      }
    }
    L.State = S::ValueDone;
    return TStep::Redo;
  }

  // name[i]: the element at the index the level holds.
  TStep ItemStep(TJsonTokenizer& t, TJsonTokenizerLevel& L, char16_t c, TJsonArray& arr, bool top) const {
    const IJsonValue arg = std::move(L.Argument);
    L.Argument.Reset();
    if (arg->Kind() != vkInteger || !ValidIndex(arg->ToInteger())) return Fail(t, E::perIndex);
    const auto index = static_cast<int32_t>(arg->ToInteger());
    L.Current = arr.Get(index);
    if (c == u'(') {
      L.State = S::PathCall;
      return TStep::Consume;
    }
    if (c == u'.' || c == u'[') {
      if (!L.Current) {
        if (!Create) return Fail(t, c == u'.' ? E::perObjectStep : E::perArrayStep);
        L.Current = TJsonValue::Create(c == u'.' ? vkObject : vkArray);
        arr.Put(index, L.Current);
      }
      L.State = StepAfter(c);
      return TStep::Consume;
    }
    if (top && Whole && c != 0 && (Put || Delete)) return Fail(t, E::perValueSeparator);
    if (top && Put) {
      arr.Put(index, PutValue);
      L.Current = PutValue;
    } else if (top && Delete) {
      L.Current = arr.Delete(index);
    }
    L.State = S::ValueDone;
    return TStep::Redo;
  }

  // name[]: the end of the array (where a put appends).
  TStep LastItemStep(TJsonTokenizer& t, TJsonTokenizerLevel& L, char16_t c, TJsonArray& arr, bool top) const {
    const bool append = top && Put;
    if (c == u'(') {
      if (append) {
        L.Current.Reset();
      } else {
        L.Current = arr.Get(arr.Length() - 1);
      }
      L.State = S::PathCall;
      return TStep::Consume;
    }
    if (c == u'.' || c == u'[') {
      if (append) {
        L.Current = TJsonValue::Create(c == u'.' ? vkObject : vkArray);
        arr.Add(L.Current);
      } else {
        L.Current = arr.Get(arr.Length() - 1);
      }
      L.State = StepAfter(c);
      return TStep::Consume;
    }
    if (append && Whole && c != 0) return Fail(t, E::perValueSeparator);
    if (append) {
      arr.Add(PutValue);
      L.Current = PutValue;
    } else if (t.FBuffer.empty()) {
      L.Current = arr.Get(arr.Length() - 1);
    }
    L.State = S::ValueDone;
    return TStep::Redo;
  }

  // name(args): the method's result.
  TStep MethodStep(TJsonTokenizer& t, TJsonTokenizerLevel& L, char16_t c, TJsonValue& method, bool top) const {
    if (top && Put && c != u'(' && c != u'[' && c != u'.') return Fail(t, E::perMethodStep);
    IJsonValue result;
    if (TJsonMethod m = method.ToMethod()) m(L.GrandParent, L.Argument, result);
    L.Current = std::move(result);
    L.Argument.Reset();
    if (c == u'(' || c == u'[' || c == u'.') {
      L.State = StepAfter(c);
      return TStep::Consume;
    }
    L.State = S::ValueDone;
    return TStep::Redo;
  }

  // PathProperty, PathIndexStart: the value reached must be an object, or an array (made when
  // asked to create).
  TStep Container(TJsonTokenizer& t, TJsonTokenizerLevel& L) const {
    const bool property = L.State == S::PathProperty;
    const TJsonValueKind need = property ? vkObject : vkArray;
    if (!L.Current && Create && L.Parent && L.Parent->Kind() == vkObject) {
      L.Current = TJsonValue::Create(need);
      L.Parent->ToObjectTable()->Put(t.FBuffer, L.Current);
    }
    if (!L.Current || L.Current->Kind() != need) return Fail(t, property ? E::perObjectStep : E::perArrayStep);
    t.FBuffer.clear();
    L.State = property ? S::Word : S::IndexValue;
    return TStep::Redo;
  }

  // PathCall: the value reached must be a method; its arguments follow.
  static TStep Call(TJsonTokenizer& t, TJsonTokenizerLevel& L) {
    if (!L.Current || L.Current->ToMethod() == nullptr) return Fail(t, E::perMethodStep);
    t.FBuffer.clear();
    L.Argument = TJsonValue::Create(vkArray);
    L.State = S::CallArgValue;
    return TStep::Redo;
  }

  // IndexValue, CallArgValue: the closing bracket, or a level for the next value.
  static TStep OpenArgument(TJsonTokenizer& t, TJsonTokenizerLevel& L, char16_t c) {
    if (c == (L.State == S::IndexValue ? u']' : u')')) {
      L.State = S::Word;
      return TStep::Consume;
    }
    if (t.FDepth >= TJsonTokenizer::kLevels - 1) return Fail(t, E::perDepth);
    ++t.FNestedArgs;
    L.State = L.State == S::IndexValue ? S::IndexPut : S::CallArgPut;
    t.ResetLevel(t.FStack[++t.FDepth]);
    return TStep::Redo;
  }

  // IndexPut: the index value came back; "]" must follow.
  static TStep IndexPut(TJsonTokenizer& t, TJsonTokenizerLevel& L, char16_t c) {
    --t.FNestedArgs;
    L.Argument = std::move(t.FHanded);
    t.FBuffer.clear();
    if (!L.Argument) return Fail(t, E::perIndex);  // an index path that leads nowhere must not read as "[]"
    if (c != u']') return Fail(t, E::perArrayStep);
    L.SavedState = S::Word;
    L.State = S::SkipSpace;
    return TStep::Consume;
  }

  // CallArgPut: an argument came back; "," or ")" must follow. One argument is passed alone.
  static TStep ArgumentPut(TJsonTokenizer& t, TJsonTokenizerLevel& L, char16_t c) {
    --t.FNestedArgs;
    if (TJsonArray* args = L.Argument ? L.Argument->ToArray() : nullptr) args->Add(std::move(t.FHanded));
    t.FHanded.Reset();
    if (c == u')') {
      if (TJsonArray* args = L.Argument ? L.Argument->ToArray() : nullptr; args && args->Length() == 1)
        L.Argument = args->Get(0);
      t.FBuffer.clear();
      L.SavedState = S::Word;
    } else if (c == u',') {
      t.FBuffer.clear();
      L.SavedState = S::CallArgValue;
    } else {
      return Fail(t, E::perMethodStep);
    }
    L.State = S::SkipSpace;
    return TStep::Consume;
  }
};

[[gnu::noinline]] TJsonTokenizer::TStep TJsonTokenizer::PathState(TJsonTokenizer& t, char16_t c,
                                                                  const TPathJob& job) {
  TJsonTokenizerLevel& L = t.FStack[t.FDepth];
  switch (L.State) {
    case S::Number: return job.Index(t, L, c);
    case S::Word: return job.Step(t, L, c);
    case S::PathProperty:
    case S::PathIndexStart: return job.Container(t, L);
    case S::PathCall: return TPathJob::Call(t, L);
    case S::IndexValue:
    case S::CallArgValue: return TPathJob::OpenArgument(t, L, c);
    case S::IndexPut: return TPathJob::IndexPut(t, L, c);
    case S::CallArgPut: return TPathJob::ArgumentPut(t, L, c);
    default: return TPathJob::Fail(t, E::perEof);  // not reached: no other state comes here
  }
}

// ----- the machine -------------------------------------------------------------------------------

// One call's run over the text: where it stands (the position, which is also the count of
// characters consumed, the line, the column and the level, kept in registers while these
// routines are inlined into Run and stored in the tokenizer when the call ends) and one
// routine per state, each returning what Run does next.
template <typename TChar>
struct TJsonTokenizer::TMachine {
  TJsonTokenizer& t;
  const TChar* const data;
  const size_t size;
  const size_t limit;  // the end of what this call may read: the text, or the length limit before it
  const bool strict;
  const IJsonValue& context;
  const TJsonValueKind contextKind;
  const TPathJob& job;
  std::u16string& buf;  // the token being read
  TJsonBuilder& make;
  // A string read from bytes is collected as those bytes in `narrow` (the form it will be
  // kept in) for as long as the code page holds every unit of it; on the first unit it does
  // not hold, what is there moves to `buf` and the string goes on in 16-bit units.
  std::string& narrow;
  TJsonTokenizerLevel* L;
  size_t pos = 0;
  int32_t line;
  int32_t column;

  TMachine(TJsonTokenizer& tokenizer, const TChar* text, size_t textSize, size_t textLimit, bool strictSyntax,
           const IJsonValue& contextValue, const TPathJob& pathJob)
      : t(tokenizer), data(text), size(textSize), limit(textLimit), strict(strictSyntax), context(contextValue),
        contextKind(contextValue ? contextValue->Kind() : vkNull), job(pathJob), buf(tokenizer.FBuffer),
        make(tokenizer.FBuilder), narrow(tokenizer.FNarrow), L(&tokenizer.FStack[tokenizer.FDepth]),
        line(tokenizer.FLine), column(tokenizer.FColumn) {
    if constexpr (!std::is_same_v<TChar, char>) {
      if (t.FNarrowString) {  // a string begun in an earlier call over bytes
        AppendRun(buf, narrow.data(), narrow.size());
        t.FNarrowString = false;
      }
    }
    // Values a path evaluation makes go into trees built elsewhere; only a plain parse of a
    // large text builds in an arena.
    if (!context && !make.UsesArena() && limit >= t.FArenaMinText) make.UseArena();
  }

  // The next character as a unit; moves the line and column past it.
  [[gnu::always_inline]] char16_t Next() {
    const char16_t c = pos < size ? UnitOf(data[pos]) : u'\0';
    if (c == 9) {
      column += 4;
    } else if (c == 10) {
      ++line;
      column = 0;
    } else {
      ++column;
    }
    return c;
  }

  // Moves over `n` more characters, none of them a tab or a line feed.
  [[gnu::always_inline]] void Advance(size_t n) {
    column += static_cast<int32_t>(n);
    pos += n;
  }

  TStep Fail(E error) {
    t.FError = error;
    return TStep::Stop;
  }

  // Skip white space, then wait in `next`.
  [[gnu::always_inline]] void SkipThen(S next) {
    L->SavedState = next;
    L->State = S::SkipSpace;
  }

  // Waits in `waiting` for the value that a new level above reads.
  [[gnu::always_inline]] TStep OpenLevel(S waiting) {
    if (t.FDepth >= TJsonTokenizer::kLevels - 1) return Fail(E::perDepth);
    L->State = waiting;
    L = &t.FStack[++t.FDepth];
    t.ResetLevel(*L);
    return TStep::Redo;
  }

  // A state of path evaluation, out of line.
  TStep Path(char16_t c) {
    const TStep step = TJsonTokenizer::PathState(t, c, job);
    L = &t.FStack[t.FDepth];
    return step;
  }

  // A unit of a string or name (or an escape in a word).
  [[gnu::always_inline]] void PushUnit(char16_t u) {
    if (t.FNarrowString && (L->State == S::QuotedString || L->SavedState == S::QuotedString)) {
      const int b = codepage::ByteOf(u);
      if (b >= 0) {
        narrow.push_back(static_cast<char>(b));
        return;
      }
      AppendRun(buf, narrow.data(), narrow.size());
      t.FNarrowString = false;
    }
    buf.push_back(u);
  }

  // A unit an escape stands for.
  [[gnu::always_inline]] void PushEscaped(char16_t u) {
    if (u > 0x7F) t.FEscapedBeyondAscii = true;
    PushUnit(u);
  }

  [[gnu::always_inline]] TStep SkipSpace(char16_t c) {
    if (c == 8 || c == 9 || c == 10 || c == 12 || c == 13 || c == 32) return TStep::Consume;
    if (c == u'/') {
      buf.clear();
      buf.push_back(c);
      L->State = S::CommentStart;
      return TStep::Consume;
    }
    L->State = L->SavedState;
    return TStep::Redo;
  }

  [[gnu::always_inline]] TStep ValueStart(char16_t c) {
    if (c == u'"' || c == u'\'') {
      buf.clear();
      narrow.clear();
      t.FNarrowString = std::is_same_v<TChar, char>;
      t.FEscapedBeyondAscii = false;
      t.FQuote = c;
      L->State = S::QuotedString;
      return TStep::Consume;
    }
    if (c == u'-' || IsDigit(c)) {
      buf.clear();
      if (c != u'-' && t.FDepth == 0 && contextKind == vkObject) {
        // A member name that starts with a digit.
        L->Current = context;
        L->State = S::Word;
        return TStep::Redo;
      }
      L->State = S::Number;
      t.FFraction = 0;
      t.FFractionDigits = -1;
      return TStep::Redo;
    }
    if (c == u't' || c == u'f' || c == u'T' || c == u'F' || c == u'n' || c == u'N') {
      buf.clear();
      t.FLiteralPos = 0;
      L->State = c == u'n' || c == u'N' ? S::NullWord : S::BooleanWord;
      return TStep::Redo;
    }
    if (c == u'[' || c == u'{') {
      L->Current = make.Value(c == u'[' ? vkArray : vkObject);
      SkipThen(c == u'[' ? S::ArrayStart : S::MemberStart);
      return TStep::Consume;
    }
    if (c == u'(') {
      if (t.FDepth == 0 && contextKind == vkMethod) {
        L->Current = context;
        L->State = S::IndexValue;
      }
      return TStep::Consume;
    }
    buf.clear();
    L->State = S::Word;
    return TStep::Redo;
  }

  [[gnu::always_inline]] TStep ValueDone() {
    if (t.FDepth == 0) return TStep::Stop;
    t.FHanded = std::move(L->Current);
    t.ResetLevel(*L);
    L = &t.FStack[--t.FDepth];
    return TStep::Redo;
  }

  // NullWord, BooleanWord: one more character of a keyword; the one after the keyword decides
  // between its value and a word that only starts like it.
  TStep Keyword(char16_t c) {
    buf.push_back(c);
    bool isTrue = false;
    size_t wordLen = 4;
    if (L->State == S::NullWord) {
      if (!MatchesSoFar(buf, u"null")) return NotKeyword();
    } else if (MatchesSoFar(buf, u"true")) {
      isTrue = true;
    } else if (MatchesSoFar(buf, u"false")) {
      wordLen = 5;
    } else {
      return NotKeyword();
    }
    if (static_cast<size_t>(t.FLiteralPos) < wordLen) {
      ++t.FLiteralPos;
      return TStep::Consume;
    }
    if (ContinuesWord(c)) {
      ++t.FLiteralPos;
      L->State = S::Word;
      return TStep::Consume;
    }
    L->Current = L->State == S::NullWord ? make.Value(vkNull) : make.Boolean(isTrue);
    SkipThen(S::ValueDone);
    return TStep::Redo;
  }

  TStep NotKeyword() {
    buf.pop_back();
    L->State = S::Word;
    return TStep::Redo;
  }

  TStep CommentStart(char16_t c) {
    buf.push_back(c);
    if (c == u'*') {
      L->State = S::BlockComment;
    } else if (c == u'/') {
      L->State = S::LineComment;
    } else {
      return Fail(E::perComment);
    }
    return TStep::Consume;
  }

  TStep BlockComment(char16_t c) {
    buf.push_back(c);
    if (c == u'*') L->State = S::BlockCommentStar;
    return TStep::Consume;
  }

  TStep LineComment(char16_t c) {
    if (c == 10) {
      L->State = S::SkipSpace;
    } else {
      buf.push_back(c);
    }
    return TStep::Consume;
  }

  TStep BlockCommentStar(char16_t c) {
    buf.push_back(c);
    // A further "*" may still be the one before the closing "/" ("**/" closes).
    if (c == u'/') {
      L->State = S::SkipSpace;
    } else if (c != u'*') {
      L->State = S::BlockComment;
    }
    return TStep::Consume;
  }

  // QuotedString, QuotedName.
  [[gnu::always_inline]] TStep Quoted(char16_t c) {
    if (c == t.FQuote) return CloseQuote();
    if (c == u'\\') return Backslash();
    if (c < 32) {  // NUL included: it ends the text and so the parse
      PushUnit(c);
      return TStep::Consume;
    }
    return PlainCharacters();
  }

  [[gnu::always_inline]] TStep CloseQuote() {
    if (L->State == S::QuotedString) {
      L->Current = t.FNarrowString ? make.NarrowString(narrow.data(), narrow.size(), !t.FEscapedBeyondAscii)
                                   : make.String(buf);
      t.FNarrowString = false;
      L->SavedState = S::ValueDone;
    } else {
      L->MemberName.swap(buf);  // buf is cleared before it is used again
      L->SavedState = S::NameEnd;
    }
    L->State = S::SkipSpace;
    return TStep::Consume;
  }

  [[gnu::always_inline]] TStep Backslash() {
    char16_t unit = 0;
    if (const size_t n = WholeEscape(data, pos, limit, unit)) {
      PushEscaped(unit);
      Advance(n - 1);  // none of its characters is a tab or a line feed
      return TStep::Consume;
    }
    L->SavedState = L->State;
    L->State = S::Escape;
    return TStep::Consume;
  }

  // Takes the whole run of ordinary characters at once.
  [[gnu::always_inline]] TStep PlainCharacters() {
    const size_t n = PlainRun(data, pos, limit, t.FQuote);
    if (L->State == S::QuotedName && buf.empty() && pos + n < limit && data[pos + n] == t.FQuote) return WholeName(n);
    if constexpr (std::is_same_v<TChar, char>) {
      if (L->State == S::QuotedString && t.FNarrowString) {
        if (narrow.empty() && pos + n < limit && data[pos + n] == t.FQuote) {
          // A whole string without escapes: its bytes are already the narrow form a string
          // keeps, so they go there without being decoded and encoded again.
          L->Current = make.NarrowString(data + pos, n, true);
          SkipThen(S::ValueDone);
          Advance(n);  // the rest of the run and the quote
          return TStep::Consume;
        }
        narrow.append(data + pos, n);
        Advance(n - 1);
        return TStep::Consume;
      }
    }
    AppendRun(buf, data + pos, n);
    Advance(n - 1);  // this character's column is counted
    return TStep::Consume;
  }

  // A whole name without escapes (nearly every name): straight to the level, and its closing
  // quote, with the ":" when it follows at once, taken here rather than on turns of their own.
  [[gnu::always_inline]] TStep WholeName(size_t n) {
    L->MemberName.resize(n);
    if constexpr (std::is_same_v<TChar, char>)
      codepage::Decode(reinterpret_cast<const unsigned char*>(data + pos), n, L->MemberName.data());
    else
      std::copy(data + pos, data + pos + n, L->MemberName.data());
    Advance(n);  // the rest of the run and the quote
    if (pos + 1 < limit && data[pos + 1] == u':') {
      Advance(1);
      SkipThen(S::MemberValue);
    } else {
      SkipThen(S::NameEnd);
    }
    return TStep::Consume;
  }

  TStep Escape(char16_t c) {
    switch (c) {
      case u'b': PushEscaped(8); break;
      case u'n': PushEscaped(10); break;
      case u'r': PushEscaped(13); break;
      case u't': PushEscaped(9); break;
      case u'f': PushEscaped(12); break;
      case u'u':
      case u'x':
        t.FEscape = 0;
        t.FLiteralPos = 0;
        L->State = c == u'u' ? S::UnicodeEscape : S::HexEscape;
        return TStep::Consume;
      default: PushEscaped(c); break;
    }
    L->State = L->SavedState;
    return TStep::Consume;
  }

  // UnicodeEscape, HexEscape.
  TStep EscapeDigit(char16_t c) {
    const int v = HexValue(c);
    if (v < 0) return Fail(E::perString);
    const int digits = L->State == S::UnicodeEscape ? 4 : 2;
    t.FEscape = static_cast<uint16_t>(t.FEscape + (v << (4 * (digits - 1 - t.FLiteralPos))));
    if (++t.FLiteralPos == digits) {
      PushEscaped(static_cast<char16_t>(t.FEscape));
      L->State = L->SavedState;
    }
    return TStep::Consume;
  }

  [[gnu::always_inline]] TStep Number(char16_t c) {
    if (IsDigit(c)) return Digits();
    if (c == u'.' || c == u'e' || c == u'E') {
      buf.push_back(c);
      t.FFraction = 1;
      t.FFractionDigits = c == u'.' ? 0 : -1;
      return TStep::Consume;
    }
    if (c == u'+' || c == u'-') {
      buf.push_back(c);
      return TStep::Consume;
    }
    // The number ends here. On its own against an array it is an index into it.
    if (t.FFraction == 0 && t.FDepth == 0 && contextKind == vkArray) return Path(c);
    L->Current = NumberValue(make, buf, t.FFraction, t.FFractionDigits);
    SkipThen(S::ValueDone);
    return TStep::Redo;
  }

  // The whole run of digits at once.
  [[gnu::always_inline]] TStep Digits() {
    size_t n = 1;
    while (pos + n < limit && IsDigit(static_cast<char16_t>(data[pos + n]))) ++n;
    if (!context && buf.empty() && n <= 18 && pos + n < limit) {
      // An integer of nothing but these digits, as most numbers are: its value is taken from
      // them here. 18 digits cannot overflow.
      const char16_t next = UnitOf(data[pos + n]);
      if (next != u'.' && next != u'e' && next != u'E' && next != u'+' && next != u'-') {
        int64_t value = 0;
        for (size_t k = pos; k < pos + n; ++k) value = value * 10 + (UnitOf(data[k]) - u'0');
        L->Current = make.Integer(value);
        SkipThen(S::ValueDone);
        Advance(n - 1);
        return TStep::Consume;
      }
    }
    AppendRun(buf, data + pos, n);
    if (t.FFraction != 0 && t.FFractionDigits >= 0) {
      t.FFractionDigits += static_cast<int32_t>(n);
      if (t.FFractionDigits > 4) t.FFractionDigits = -1;
    }
    Advance(n - 1);
    return TStep::Consume;
  }

  // Word: a path step when a context is set, else a bare word that runs to the character that
  // ends a value where it stands.
  TStep Word(char16_t c) {
    if (context) return Path(c);
    bool end = false;
    if (c == 0) {
      end = true;
    } else if (c < 256 && t.FDepth > 0) {
      const S parent = t.FStack[t.FDepth - 1].State;
      if (parent == S::ArrayAdd) end = c == u',' || c == u']';
      if (parent == S::MemberAdd) end = c == u',' || c == u'}';
    }
    if (end) {
      if (strict) return Fail(E::perString);
      while (!buf.empty() && (buf.back() == 10 || buf.back() == 13 || buf.back() == 32)) buf.pop_back();
      L->Current = make.String(buf);
      SkipThen(S::ValueDone);
      return TStep::Redo;
    }
    return TakeWordChar(c);
  }

  // One more character of a bare word or member name: a backslash starts an escape that comes
  // back to the same state, anything else is part of the text.
  [[gnu::always_inline]] TStep TakeWordChar(char16_t c) {
    if (c == u'\\') {
      L->SavedState = L->State;
      L->State = S::Escape;
    } else {
      buf.push_back(c);
    }
    return TStep::Consume;
  }

  [[gnu::always_inline]] TStep ArrayStart(char16_t c) {
    if (c == u']') {
      SkipThen(S::ValueDone);
      return TStep::Consume;
    }
    return OpenLevel(S::ArrayAdd);
  }

  [[gnu::always_inline]] TStep ArrayAdd() {
    L->Current->ToArray()->Add(std::move(t.FHanded));
    t.FHanded.Reset();
    SkipThen(S::ArraySep);
    return TStep::Redo;
  }

  [[gnu::always_inline]] TStep ArraySep(char16_t c) { return Separator(c, u']', S::ArrayStart, E::perArray); }

  [[gnu::always_inline]] TStep MemberStart(char16_t c) {
    if (c == u'}') {
      SkipThen(S::ValueDone);
      return TStep::Consume;
    }
    if (c == u'"' || c == u'\'') {
      t.FQuote = c;
      buf.clear();
      L->State = S::QuotedName;
      return TStep::Consume;
    }
    if (c < 256 && (strict || IsWordEnd(c))) return Fail(E::perMemberName);
    buf.clear();
    L->State = S::BareName;
    return TStep::Redo;
  }

  TStep BareName(char16_t c) {
    if (c == 0 || c == u':') {
      L->MemberName.swap(buf);
      SkipThen(S::NameEnd);
      return TStep::Redo;
    }
    return TakeWordChar(c);
  }

  TStep NameEnd(char16_t c) {
    if (c != u':') return Fail(E::perNameSeparator);
    SkipThen(S::MemberValue);
    return TStep::Consume;
  }

  [[gnu::always_inline]] TStep MemberAdd() {
    make.AddMember(*L->Current->ToObjectTable(), L->MemberName, std::move(t.FHanded));
    L->MemberName.clear();
    t.FHanded.Reset();
    SkipThen(S::MemberSep);
    return TStep::Redo;
  }

  [[gnu::always_inline]] TStep MemberSep(char16_t c) {
    return Separator(c, u'}', S::MemberStart, E::perValueSeparator);
  }

  // After an element or a member: the closing bracket ends the level, a comma asks for the next.
  [[gnu::always_inline]] TStep Separator(char16_t c, char16_t close, S next, E error) {
    if (c == close) {
      L->SavedState = S::ValueDone;
    } else if (c == u',') {
      L->SavedState = next;
    } else {
      return Fail(error);
    }
    L->State = S::SkipSpace;
    return TStep::Consume;
  }
};

template <typename TChar>
IJsonValue TJsonTokenizer::Run(TJsonTokenizer& t, const TChar* const data, const size_t size, int32_t length,
                               bool strict, const IJsonValue& context, TJsonOptions options,
                               const IJsonValue& putValue, TJsonValueKind kind) {
  const TPathJob job{context,
                     putValue,
                     kind,
                     options.Has(TJsonOption::CreatePath),
                     options.Has(TJsonOption::PutValue),
                     options.Has(TJsonOption::Delete),
                     (options.Bits() & kWholePathOption) != 0};
  const size_t limit = length >= 0 && static_cast<size_t>(length) < size ? static_cast<size_t>(length) : size;
  TMachine<TChar> m(t, data, size, limit, strict, context, job);
  t.FError = E::perNone;

  for (;;) {
    if (length >= 0 && m.pos == static_cast<size_t>(length)) {
      t.FError = (t.FDepth == 0 && m.L->State == S::SkipSpace && m.L->SavedState == S::ValueDone) ? E::perNone
                                                                                                 : E::perIncomplete;
      break;
    }
    const char16_t c = m.Next();
    // Between tokens there is seldom anything to skip: such a character goes straight to the
    // state waiting after the white space, as SkipSpace would send it, without a turn through
    // the table.
    const bool skipsNothing = c > 32 && c != u'/';
    TStep step;
    do {
      if (skipsNothing && m.L->State == S::SkipSpace) m.L->State = m.L->SavedState;
      switch (m.L->State) {
        case S::SkipSpace: step = m.SkipSpace(c); break;
        case S::ValueStart: step = m.ValueStart(c); break;
        case S::ValueDone: step = m.ValueDone(); break;
        case S::NullWord:
        case S::BooleanWord: step = m.Keyword(c); break;
        case S::CommentStart: step = m.CommentStart(c); break;
        case S::BlockComment: step = m.BlockComment(c); break;
        case S::LineComment: step = m.LineComment(c); break;
        case S::BlockCommentStar: step = m.BlockCommentStar(c); break;
        case S::QuotedString:
        case S::QuotedName: step = m.Quoted(c); break;
        case S::Escape: step = m.Escape(c); break;
        case S::UnicodeEscape:
        case S::HexEscape: step = m.EscapeDigit(c); break;
        case S::Number: step = m.Number(c); break;
        case S::Word: step = m.Word(c); break;
        case S::PathProperty:
        case S::PathIndexStart:
        case S::PathCall:
        case S::IndexValue:
        case S::CallArgValue:
        case S::IndexPut:
        case S::CallArgPut: step = m.Path(c); break;
        case S::ArrayStart: step = m.ArrayStart(c); break;
        case S::ArrayAdd: step = m.ArrayAdd(); break;
        case S::ArraySep: step = m.ArraySep(c); break;
        case S::MemberStart: step = m.MemberStart(c); break;
        case S::BareName: step = m.BareName(c); break;
        case S::NameEnd: step = m.NameEnd(c); break;
        case S::MemberValue: step = m.OpenLevel(S::MemberAdd); break;
        case S::MemberAdd: step = m.MemberAdd(); break;
        case S::MemberSep: step = m.MemberSep(c); break;
        default: step = m.Fail(E::perEof); break;  // not reached: every state has its routine
      }
    } while (step == TStep::Redo);
    if (step == TStep::Stop) break;
    ++m.pos;
    if (c == 0) {
      // The text ended; only a finished top-level value (perhaps followed by an open comment)
      // is complete.
      if (t.FDepth != 0 || (m.L->State != S::ValueDone && m.L->SavedState != S::ValueDone)) t.FError = E::perEof;
      break;
    }
  }

  t.FOffset = static_cast<int32_t>(m.pos);
  t.FLine = m.line;
  t.FColumn = m.column;
  if (t.FError != E::perNone) return nullptr;
  TJsonTokenizerLevel* L = m.L;
  if (options.Has(TJsonOption::CallMethod) && L->Current && L->Current->Kind() == vkMethod) {
    // A method value may hold no entry (made by ForcePath, or wiped): nothing to call.
    IJsonValue result;
    if (TJsonMethod method = L->Current->ToMethod()) method(L->Parent, putValue, result);
    return result;
  }
  return L->Current;
}

}  // namespace json
