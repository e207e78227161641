#include "json/json_value.h"

#include <cmath>
#include <new>
#include <vector>

#include "json/json_arena.h"
#include "json/json_codepage.h"
#include "json/json_number.h"
#include "json/json_pool.h"
#include "json/json_tokenizer.h"
#include "runtime/codepage.h"

namespace json {

namespace {

// Values whose last reference drops while another value is being freed wait here, so that
// freeing a deep tree is a loop instead of a recursion. The waiting values are chained
// through their own user pointer (nobody can read it once the count is 0), so the list needs
// nothing with a destructor: values held by statics are freed after the thread's own
// thread-local objects are gone, and they must still find a working list.
thread_local bool tFreeing = false;
thread_local TJsonValue* tPendingFree = nullptr;

bool IsContainer(const TJsonValue* v) { return v->Kind() == vkObject || v->Kind() == vkArray; }

// Evaluates `text` with a new tokenizer. `ok` is false on a syntax fault or, without
// `partial`, when text follows the value.
IJsonValue Evaluate(std::u16string_view text, bool strict, bool partial, const IJsonValue& context,
                    TJsonOptions options, const IJsonValue& putValue, TJsonValueKind kind, bool& ok) {
  TJsonTokenizer tokenizer;
  if (!partial && context) options = options | TJsonOptions(kWholePathOption);
  IJsonValue result = ParseWithTokenizer(tokenizer, text, -1, strict, context, options, putValue, kind);
  ok = tokenizer.Error() == TJsonParseError::perNone;
  if (ok && !partial) {
    // The text ends at the end of the view or at a NUL: either the parse stopped before it,
    // or it consumed that NUL (the machine stops right after a NUL, inside a comment say).
    const auto at = static_cast<size_t>(tokenizer.Offset());
    ok = at >= text.size() || text[at] == u'\0' || (at > 0 && text[at - 1] == u'\0');
  }
  if (!ok) result.Reset();
  return result;
}

IJsonValue EvaluateBytes(std::string_view bytes, bool strict, bool partial) {
  TJsonTokenizer tokenizer;
  IJsonValue result = ParseWithTokenizer(tokenizer, bytes, -1, strict);
  bool ok = tokenizer.Error() == TJsonParseError::perNone;
  if (ok && !partial) {
    const auto at = static_cast<size_t>(tokenizer.Offset());
    ok = at >= bytes.size() || bytes[at] == '\0' || (at > 0 && bytes[at - 1] == '\0');
  }
  if (!ok) result.Reset();
  return result;
}

// Clears the in-progress flag of every value in `values` when it goes out of scope, also
// when an exception passes.
// The marks hold references, so a value let go while marked is still there to unmark.
struct TProgressMarks {
  std::vector<IJsonValue> Values;
  bool Mark(TJsonValue* v) {
    if (v->InProgress()) return false;
    Values.emplace_back(v);
    v->SetInProgress(true);
    return true;
  }
  ~TProgressMarks() {
    for (const IJsonValue& v : Values) v->SetInProgress(false);
  }
};

}  // namespace

// ----- TJsonArray ---------------------------------------------------------------------------

TJsonArray::~TJsonArray() { delete[] FItems; }

int32_t TJsonArray::Add(IJsonValue value) {
  const int32_t index = FLength;
  Put(index, std::move(value));
  return index;
}

void TJsonArray::Put(int32_t index, IJsonValue value) {
  if (index < 0) return;
  if (index >= kMaxLength) throw EJsonError("Array index out of range");
  if (index >= FCapacity || FItems == nullptr) {
    int32_t capacity = FCapacity;
    if (index >= capacity) {
      capacity = capacity <= kMaxLength / 2 ? capacity * 2 : kMaxLength;
      if (capacity < index + 1) capacity = index + 1;
    }
    auto* items = new IJsonValue[static_cast<size_t>(capacity)];
    for (int32_t i = 0; i < FLength; ++i) items[i] = std::move(FItems[i]);
    delete[] FItems;
    FItems = items;
    FCapacity = capacity;
  }
  FItems[index] = std::move(value);
  if (index >= FLength) FLength = index + 1;
}

IJsonValue TJsonArray::Get(int32_t index) const {
  if (index < 0 || index >= FLength) return nullptr;
  return FItems[index];
}

IJsonValue TJsonArray::Delete(int32_t index) {
  if (index < 0 || index >= FLength) return nullptr;
  IJsonValue removed = std::move(FItems[index]);
  for (int32_t i = index + 1; i < FLength; ++i) FItems[i - 1] = std::move(FItems[i]);
  --FLength;
  return removed;
}

void TJsonArray::Wipe(bool all) {
  if (all)
    for (int32_t i = 0; i < FLength; ++i)
      if (FItems[i]) FItems[i]->Wipe(true);
  // Move the elements out first: releasing one may run code that looks at this array.
  const int32_t length = FLength;
  FLength = 0;
  for (int32_t i = 0; i < length; ++i) FItems[i].Reset();
}

void TJsonArray::Compact(bool all) {
  int32_t kept = 0;
  for (int32_t i = 0; i < FLength; ++i) {
    if (!FItems[i]) continue;
    if (kept != i) FItems[kept] = std::move(FItems[i]);
    ++kept;
  }
  FLength = kept;
  if (all)
    for (int32_t i = 0; i < FLength; ++i) FItems[i]->Compact(true);
}

// ----- enumeration ----------------------------------------------------------------------------

TJsonEnumerator::TJsonEnumerator(IJsonValue value)
    : FValue(std::move(value)), FIterator(FValue ? FValue->ToObjectTable() : nullptr) {}

bool TJsonEnumerator::MoveNext() {
  if (!FValue) return false;
  ++FPosition;
  if (FValue->Kind() == vkObject) {
    if (FPosition == 0)
      FIterator.MoveToFirst();
    else
      FIterator.MoveToNext();
    return FIterator.CurrentEntry() != nullptr;
  }
  if (FValue->Kind() == vkArray) return FPosition < FValue->ToArray()->Length();
  return false;
}

IJsonValue TJsonEnumerator::Current() const {
  if (!FValue || FPosition < 0) return nullptr;
  if (FValue->Kind() == vkObject) {
    TJsonAvlEntry* e = FIterator.CurrentEntry();
    return e ? e->Value : IJsonValue();
  }
  if (FValue->Kind() == vkArray) return FValue->ToArray()->Get(FPosition);
  return nullptr;
}

std::u16string TJsonEnumerator::Name() const {
  if (!FValue || FValue->Kind() != vkObject || FPosition < 0) return {};
  TJsonAvlEntry* e = FIterator.CurrentEntry();
  return e ? std::u16string(e->Name()) : std::u16string();
}

bool FindFirstMember(const IJsonValue& value, TJsonMemberIter& iter) {
  if (!value || value->Kind() != vkObject) return false;
  iter.Object = value;
  iter.Iterator = TJsonAvlIterator(value->ToObjectTable());
  iter.Iterator.MoveToFirst();
  TJsonAvlEntry* e = iter.Iterator.CurrentEntry();
  if (!e) return false;
  iter.Key = e->Name();
  iter.Value = e->Value;
  return true;
}

bool FindNextMember(TJsonMemberIter& iter) {
  if (!iter.Object) return false;
  iter.Iterator.MoveToNext();
  TJsonAvlEntry* e = iter.Iterator.CurrentEntry();
  if (!e) {
    iter.Key.clear();
    iter.Value.Reset();
    return false;
  }
  iter.Key = e->Name();
  iter.Value = e->Value;
  return true;
}

void FindCloseMember(TJsonMemberIter& iter) {
  iter.Iterator = TJsonAvlIterator(nullptr);
  iter.Key.clear();
  iter.Value.Reset();
  iter.Object.Reset();
}

bool IsValueKind(const IJsonValue& value, TJsonValueKind kind) { return ValueKindOf(value) == kind; }

TJsonValueKind ValueKindOf(const IJsonValue& value) { return value ? value->Kind() : vkNull; }

// ----- life cycle -----------------------------------------------------------------------------

void* TJsonValue::operator new(size_t) { return pool::TFixedPool<sizeof(TJsonValue)>::Allocate(); }
void TJsonValue::operator delete(void* p) noexcept { pool::TFixedPool<sizeof(TJsonValue)>::Free(p); }

TJsonValue::TJsonValue(TJsonValueKind kind, TJsonArena* arena) : FKind(kind), FInArena(arena != nullptr) {
  switch (kind) {
    case vkObject:
      FTable = arena ? new (arena->Allocate(sizeof(TJsonMemberTable))) TJsonMemberTable() : new TJsonMemberTable();
      break;
    case vkArray: FArray = arena ? new (arena->Allocate(sizeof(TJsonArray))) TJsonArray() : new TJsonArray(); break;
    default: FInteger = 0; break;  // also the empty string (no text block)
  }
}

IJsonValue TJsonValue::Adopt(TJsonValue* fresh) noexcept {
  // A value leaves its constructor with count 1; that count becomes the handle's first real
  // reference, as if it dropped to 0 and the handle took one (without two atomic steps).
  return IJsonValue::Adopting(fresh);
}

void TJsonValue::Release() noexcept {
  // The only holder needs no atomic read-modify-write: nobody else can take a reference.
  if (FRefCount.load(std::memory_order_acquire) == 1 || FRefCount.fetch_sub(1, std::memory_order_acq_rel) == 1)
    Destroy(this);
}

TJsonArena* TJsonValue::Finish(TJsonValue* v) noexcept {
  v->FRefCount.store(0, std::memory_order_relaxed);
  switch (v->FKind) {
    case vkObject:
      v->FTable->ReleaseAll();  // members whose count drops to 0 join the pending list
      if (!v->FInArena) delete v->FTable;
      break;
    case vkArray:
      if (v->FInArena)
        v->FArray->~TJsonArray();
      else
        delete v->FArray;
      break;
    case vkString:
      if (!v->FTextInArena) TJsonText::Dispose(v->FText);
      break;
    default: break;
  }
  if (v->FInArena) return TJsonArena::Of(v);
  delete v;
  return nullptr;
}

namespace {

// Values of one arena are counted off to it in runs, one atomic operation per run. Values
// still waiting to be freed keep their arena alive, as they are not counted off yet.
thread_local TJsonArena* tDropArena = nullptr;
thread_local int64_t tDropCount = 0;

void CountOff(TJsonArena* arena) {
  if (arena == nullptr) return;
  if (arena != tDropArena) {
    if (tDropArena) tDropArena->DropValues(tDropCount);
    tDropArena = arena;
    tDropCount = 0;
  }
  ++tDropCount;
}

}  // namespace

void TJsonValue::Destroy(TJsonValue* value) noexcept {
  if (tFreeing) {
    // A value without members or elements ends at once (nothing in it can lead back
    // here); a container waits, so that a deep tree is freed by the loop below.
    if (!IsContainer(value)) {
      CountOff(Finish(value));
      return;
    }
    value->FUserData = tPendingFree;
    tPendingFree = value;
    return;
  }
  tFreeing = true;
  CountOff(Finish(value));
  while (TJsonValue* next = tPendingFree) {
    tPendingFree = static_cast<TJsonValue*>(next->FUserData);
    CountOff(Finish(next));
  }
  if (tDropArena) tDropArena->DropValues(tDropCount);
  tDropArena = nullptr;
  tDropCount = 0;
  tFreeing = false;
}

IJsonValue TJsonValue::Create(TJsonValueKind kind) { return Adopt(new TJsonValue(kind, nullptr)); }

IJsonValue TJsonValue::CreateBoolean(bool value) {
  auto* v = new TJsonValue(vkBoolean, nullptr);
  v->FBoolean = value;
  return Adopt(v);
}

IJsonValue TJsonValue::CreateInteger(int64_t value) {
  auto* v = new TJsonValue(vkInteger, nullptr);
  v->FInteger = value;
  return Adopt(v);
}

IJsonValue TJsonValue::CreateDouble(double value) {
  auto* v = new TJsonValue(vkDouble, nullptr);
  v->FDouble = value;
  return Adopt(v);
}

IJsonValue TJsonValue::CreateCurrency(int64_t scaled) {
  auto* v = new TJsonValue(vkCurrency, nullptr);
  v->FCurrency = scaled;
  return Adopt(v);
}

IJsonValue TJsonValue::CreateString(std::u16string_view value) {
  auto* v = new TJsonValue(vkString, nullptr);
  v->FText = TJsonText::Make(value, nullptr);
  return Adopt(v);
}

IJsonValue TJsonValue::CreateMethod(TJsonMethod method) {
  auto* v = new TJsonValue(vkMethod, nullptr);
  v->FMethod = method;
  return Adopt(v);
}

IJsonValue TJsonValue::ParseText(std::u16string_view text, bool strict, bool partial, const IJsonValue& context,
                                 TJsonOptions options, const IJsonValue& putValue, TJsonValueKind kind) {
  bool ok;
  return Evaluate(text, strict, partial, context, options, putValue, kind, ok);
}

IJsonValue TJsonValue::ParseText(std::string_view bytes, bool strict, bool partial) {
  return EvaluateBytes(bytes, strict, partial);
}

TJsonEnumerator TJsonValue::Members() { return TJsonEnumerator(IJsonValue(this)); }

// ----- paths ----------------------------------------------------------------------------------

IJsonValue TJsonValue::Lookup(std::u16string_view path) {
  if (FKind == vkObject && IsPlainMemberName(path)) return FTable->Get(path);
  bool ok;
  return Evaluate(path, false, true, IJsonValue(this), {}, nullptr, vkNull, ok);
}

IJsonValue TJsonValue::LookupOrNull(std::u16string_view path) {
  IJsonValue v = Lookup(path);
  return v ? v : Create(vkNull);
}

bool TJsonValue::Store(std::u16string_view path, const IJsonValue& value) {
  bool ok;
  Evaluate(path, true, false, IJsonValue(this), TJsonOption::CreatePath | TJsonOption::PutValue, value, vkNull, ok);
  return ok;
}

bool TJsonValue::StoreOrNull(std::u16string_view path, const IJsonValue& value) {
  bool ok;
  Evaluate(path, false, true, IJsonValue(this), TJsonOption::CreatePath | TJsonOption::PutValue,
           value ? value : Create(vkNull), vkNull, ok);
  return ok;
}

IJsonValue TJsonValue::ForcePath(std::u16string_view path, TJsonValueKind kind) {
  bool ok;
  return Evaluate(path, true, false, IJsonValue(this), TJsonOption::CreatePath, nullptr, kind, ok);
}

IJsonValue TJsonValue::RemovePath(std::u16string_view path) {
  bool ok;
  return Evaluate(path, true, false, IJsonValue(this), TJsonOption::Delete, nullptr, vkNull, ok);
}

bool TJsonValue::LookupBoolean(std::u16string_view path) {
  IJsonValue v = Lookup(path);
  return v && v->ToBoolean();
}

int64_t TJsonValue::LookupInteger(std::u16string_view path) {
  IJsonValue v = Lookup(path);
  return v ? v->ToInteger() : 0;
}

double TJsonValue::LookupDouble(std::u16string_view path) {
  IJsonValue v = Lookup(path);
  return v ? v->ToDouble() : 0.0;
}

int64_t TJsonValue::LookupCurrency(std::u16string_view path) {
  IJsonValue v = Lookup(path);
  return v ? v->ToCurrency() : 0;
}

std::u16string TJsonValue::LookupText(std::u16string_view path) {
  IJsonValue v = Lookup(path);
  return v ? v->ToText() : std::u16string();
}

TJsonMethod TJsonValue::LookupMethod(std::u16string_view path) {
  IJsonValue v = Lookup(path);
  return v ? v->ToMethod() : nullptr;
}

TJsonArray* TJsonValue::LookupArray(std::u16string_view path) {
  IJsonValue v = Lookup(path);
  // A path that is itself a literal ("[1,2]") makes a value nobody else holds; its array
  // would not outlive this call, so it is not handed out.
  if (!v || v->RefCount() < 2) return nullptr;
  return v->ToArray();
}

bool TJsonValue::StoreBoolean(std::u16string_view path, bool value) { return Store(path, CreateBoolean(value)); }
bool TJsonValue::StoreInteger(std::u16string_view path, int64_t value) { return Store(path, CreateInteger(value)); }
bool TJsonValue::StoreDouble(std::u16string_view path, double value) { return Store(path, CreateDouble(value)); }
bool TJsonValue::StoreCurrency(std::u16string_view path, int64_t scaled) { return Store(path, CreateCurrency(scaled)); }
bool TJsonValue::StoreText(std::u16string_view path, std::u16string value) {
  return Store(path, CreateString(std::move(value)));
}

bool TJsonValue::StoreMethod(std::u16string_view path, TJsonMethod method) {
  bool ok;
  Evaluate(path, false, true, IJsonValue(this), TJsonOption::CreatePath | TJsonOption::PutValue,
           CreateMethod(method), vkNull, ok);
  return ok;
}

IJsonValue TJsonValue::CallMethod(std::u16string_view path, const IJsonValue& params) {
  bool ok;
  return Evaluate(path, false, true, IJsonValue(this), TJsonOption::CallMethod, params, vkNull, ok);
}

IJsonValue TJsonValue::CallMethodText(std::u16string_view path, std::u16string_view paramsText) {
  return CallMethod(path, ParseText(paramsText, false, true));
}

std::u16string TJsonValue::FormatTemplate(std::u16string_view tmpl, char16_t open, char16_t close) {
  std::u16string result;
  size_t run = 0;
  for (;;) {
    const size_t o = tmpl.find(open, run);
    if (o == std::u16string_view::npos) break;
    result.append(tmpl.substr(run, o - run));
    const size_t c = tmpl.find(close, o + 1);
    if (c == std::u16string_view::npos) return result;  // an unfinished stretch is dropped
    result.append(LookupText(tmpl.substr(o + 1, c - o - 1)));
    run = c + 1;
  }
  result.append(tmpl.substr(run));
  return result;
}

// ----- conversions ----------------------------------------------------------------------------

bool TJsonValue::ToBoolean() const {
  switch (FKind) {
    case vkNull: return false;
    case vkBoolean: return FBoolean;
    case vkDouble: return FDouble != 0;
    case vkCurrency: return FCurrency != 0;
    case vkInteger: return FInteger != 0;
    case vkString: return FText != nullptr;
    default: return true;
  }
}

int64_t TJsonValue::ToInteger() const {
  switch (FKind) {
    case vkBoolean: return FBoolean ? 1 : 0;
    case vkDouble: return number::RoundToInt64(FDouble);
    case vkCurrency: return number::CurrencyToInteger(FCurrency);
    case vkInteger: return FInteger;
    case vkString: {
      std::u16string scratch;
      int64_t i = 0;
      return number::ParseInt64(StringUnits(scratch), i) ? i : 0;
    }
    default: return 0;
  }
}

double TJsonValue::ToDouble() const {
  switch (FKind) {
    case vkBoolean: return FBoolean ? 1.0 : 0.0;
    case vkDouble: return FDouble;
    case vkCurrency: return static_cast<double>(FCurrency) / 10000.0;
    case vkInteger: return static_cast<double>(FInteger);
    case vkString: {
      std::u16string scratch;
      double d = 0;
      return number::ParseDouble(StringUnits(scratch), d) ? d : 0.0;
    }
    default: return 0.0;
  }
}

int64_t TJsonValue::ToCurrency() const {
  switch (FKind) {
    case vkBoolean: return FBoolean ? 10000 : 0;
    case vkDouble: return number::RoundToInt64(static_cast<long double>(FDouble) * 10000.0L);
    case vkCurrency: return FCurrency;
    case vkInteger: return number::IntegerToCurrency(FInteger);
    case vkString: {
      std::u16string scratch;
      double d = 0;
      return number::ParseDouble(StringUnits(scratch), d) ? number::RoundToInt64(static_cast<long double>(d) * 10000.0L)
                                                          : 0;
    }
    default: return 0;
  }
}

std::u16string TJsonValue::ToText() {
  std::u16string text;
  if (FInProgress && FKind != vkString) return ToJsonText(false, false);  // written "null"
  switch (FKind) {
    case vkString:
      if (FText) FText->AppendTo(text);
      return text;
    // Scalars read exactly as the writer writes them, without setting one up (the logs
    // conversion reads every number this way).
    case vkNull: return u"null";
    case vkBoolean: return FBoolean ? u"true" : u"false";
    case vkInteger: number::AppendInteger(text, FInteger); return text;
    case vkCurrency: number::AppendCurrency(text, FCurrency); return text;
    case vkDouble: number::AppendDouble(text, FDouble); return text;
    default: return ToJsonText(false, false);
  }
}

std::u16string_view TJsonValue::StringUnits(std::u16string& scratch) const {
  if (FKind != vkString || FText == nullptr) return {};
  if (FText->Wide) return {FText->Units(), FText->Length};
  scratch.clear();
  FText->AppendTo(scratch);
  return scratch;
}

void TJsonValue::StringAnsi(std::string& out) const {
  out.clear();
  if (FKind != vkString || FText == nullptr) return;
  if (!FText->Wide) {
    out.assign(reinterpret_cast<const char*>(FText->Bytes()), FText->Length);
    return;
  }
  out = runtime::WideToAnsi(std::u16string_view(FText->Units(), FText->Length));
}

std::optional<std::string_view> TJsonValue::StringSourceBytes() const {
  if (FKind != vkString) return std::nullopt;
  if (FText == nullptr) return std::string_view();
  if (FText->Wide || !FText->SourceBytes) return std::nullopt;
  return std::string_view(reinterpret_cast<const char*>(FText->Bytes()), FText->Length);
}

void TJsonValue::SetText(std::u16string_view units) {
  TJsonText* old = FText;
  FText = TJsonText::Make(units, nullptr);
  FTextInArena = false;
  TJsonText::Dispose(old);
}

// ----- string texts ---------------------------------------------------------------------------

TJsonText* TJsonText::Make(std::u16string_view units, TJsonArena* arena) {
  if (units.empty()) return nullptr;
  const size_t n = units.size();
  if (n > UINT32_MAX) throw EJsonError(kJsonStringTooLong);
  // Narrow first; a unit the code page lacks (rare in page text) restarts it wide.
  void* at = arena ? arena->Allocate(sizeof(TJsonText) + n, 4) : nullptr;
  bool heap = at == nullptr;
  if (heap) at = ::operator new(sizeof(TJsonText) + n);
  auto* text = static_cast<TJsonText*>(at);
  auto* bytes = reinterpret_cast<unsigned char*>(text + 1);
  bool wide = false;
  if (codepage::Encode(units.data(), n, bytes) < n) {
    if (heap) ::operator delete(at);  // an arena piece just stays unused
    at = arena ? arena->Allocate(sizeof(TJsonText) + 2 * n, 4) : nullptr;
    heap = at == nullptr;
    if (heap) at = ::operator new(sizeof(TJsonText) + 2 * n);
    text = static_cast<TJsonText*>(at);
    std::copy(units.begin(), units.end(), reinterpret_cast<char16_t*>(text + 1));
    wide = true;
  }
  text->Length = static_cast<uint32_t>(n);
  text->Wide = wide;
  text->Heap = heap;
  text->SourceBytes = false;
  return text;
}

TJsonText* TJsonText::MakeNarrow(const unsigned char* bytes, size_t n, TJsonArena* arena, bool sourceBytes) {
  if (n == 0) return nullptr;
  if (n > UINT32_MAX) throw EJsonError(kJsonStringTooLong);
  void* at = arena ? arena->Allocate(sizeof(TJsonText) + n, 4) : nullptr;
  const bool heap = at == nullptr;
  if (heap) at = ::operator new(sizeof(TJsonText) + n);
  auto* text = static_cast<TJsonText*>(at);
  std::copy(bytes, bytes + n, reinterpret_cast<unsigned char*>(text + 1));
  text->Length = static_cast<uint32_t>(n);
  text->Wide = false;
  text->Heap = heap;
  text->SourceBytes = sourceBytes;
  return text;
}

void TJsonText::Dispose(TJsonText* text) noexcept {
  if (text && text->Heap) ::operator delete(text);
}

void TJsonText::AppendTo(std::u16string& out) const {
  if (Wide) {
    out.append(Units(), Length);
    return;
  }
  const size_t at = out.size();
  out.resize(at + Length);
  codepage::Decode(Bytes(), Length, out.data() + at);
}

// ----- comparison -----------------------------------------------------------------------------

namespace {

bool IsNumeric(TJsonValueKind k) { return k == vkBoolean || k == vkDouble || k == vkCurrency || k == vkInteger; }

long double RealValue(const TJsonValue* v) {
  if (v->Kind() == vkCurrency) return static_cast<long double>(v->ToCurrency()) / 10000.0L;
  if (v->Kind() == vkDouble) return v->ToDouble();
  return static_cast<long double>(v->ToInteger());
}

template <typename T>
TJsonCompareResult Order(const T& a, const T& b) {
  if (a < b) return TJsonCompareResult::Less;
  if (b < a) return TJsonCompareResult::Greater;
  return TJsonCompareResult::Equal;
}

}  // namespace

TJsonCompareResult TJsonValue::CompareWith(const IJsonValue& value) {
  if (!value) return TJsonCompareResult::Error;
  const TJsonValueKind a = FKind;
  const TJsonValueKind b = value->Kind();
  const bool exactA = a == vkBoolean || a == vkInteger;
  const bool exactB = b == vkBoolean || b == vkInteger;
  if (exactA && exactB) return Order(ToInteger(), value->ToInteger());
  if (IsNumeric(a) && IsNumeric(b)) {
    const long double x = RealValue(this);
    const long double y = RealValue(value.Get());
    if (std::isnan(x) || std::isnan(y)) return TJsonCompareResult::Error;
    return Order(x, y);
  }
  if ((IsNumeric(a) || a == vkString) && (IsNumeric(b) || b == vkString)) return Order(ToText(), value->ToText());
  return TJsonCompareResult::Error;
}

TJsonCompareResult TJsonValue::CompareText(std::u16string_view text) {
  return CompareWith(ParseText(text, false, true));
}

// ----- wipe, compact --------------------------------------------------------------------------

void TJsonValue::WipeSelf() {
  switch (FKind) {
    case vkBoolean: FBoolean = false; break;
    case vkDouble: FDouble = 0; break;
    case vkCurrency: FCurrency = 0; break;
    case vkInteger: FInteger = 0; break;
    case vkString:
      TJsonText::Dispose(FText);
      FText = nullptr;
      FTextInArena = false;
      break;
    case vkMethod: FMethod = nullptr; break;
    case vkObject: FTable->Wipe(false); break;
    case vkArray: FArray->Wipe(false); break;
    default: break;
  }
}

namespace {

// Every value reachable from `root` through containers, each once (a value already in
// progress, such as `root` met again through a cycle, is not entered). Parents come before
// their children. The values stay marked until `marks` goes.
std::vector<IJsonValue> CollectTree(TJsonValue* root, TProgressMarks& marks) {
  std::vector<IJsonValue> order;
  if (!marks.Mark(root)) return order;
  order.emplace_back(root);
  for (size_t i = 0; i < order.size(); ++i) {
    TJsonValue* v = order[i].Get();
    if (TJsonMemberTable* table = v->ToObjectTable()) {
      TJsonAvlIterator it(table);
      for (it.MoveToFirst(); TJsonAvlEntry* e = it.CurrentEntry(); it.MoveToNext())
        if (e->Value && marks.Mark(e->Value.Get())) order.push_back(e->Value);
    } else if (TJsonArray* arr = v->ToArray()) {
      for (int32_t k = 0; k < arr->Length(); ++k)
        if (TJsonValue* el = arr->At(k); el && marks.Mark(el)) order.emplace_back(el);
    }
  }
  return order;
}

}  // namespace

void TJsonValue::Wipe(bool all) {
  if (FInProgress) return;
  TProgressMarks marks;
  if (!all || !IsContainer(this)) {
    marks.Mark(this);
    WipeSelf();
    return;
  }
  std::vector<IJsonValue> order = CollectTree(this, marks);
  // Children before their parents, so that every value is wiped before the container that
  // holds it lets it go.
  for (size_t i = order.size(); i-- > 0;) order[i]->WipeSelf();
}

void TJsonValue::Compact(bool all) {
  if (FInProgress) return;
  TProgressMarks marks;
  if (!all) {
    marks.Mark(this);
    if (FKind == vkObject) FTable->Compact(false);
    if (FKind == vkArray) FArray->Compact(false);
    return;
  }
  std::vector<IJsonValue> order = CollectTree(this, marks);
  for (const IJsonValue& v : order) {
    if (TJsonMemberTable* table = v->ToObjectTable()) table->Compact(false);
    if (TJsonArray* arr = v->ToArray()) arr->Compact(false);
  }
}

// ----- duplicate, merge -----------------------------------------------------------------------

namespace {

// A copy of `v` without its members or elements; none for vkNull.
IJsonValue ShallowCopy(TJsonValue* v) {
  switch (v->Kind()) {
    case vkNull: return nullptr;
    case vkBoolean: return TJsonValue::CreateBoolean(v->ToBoolean());
    case vkDouble: return TJsonValue::CreateDouble(v->ToDouble());
    case vkCurrency: return TJsonValue::CreateCurrency(v->ToCurrency());
    case vkInteger: return TJsonValue::CreateInteger(v->ToInteger());
    case vkString: {
      std::u16string scratch;
      return TJsonValue::CreateString(v->StringUnits(scratch));
    }
    case vkMethod: return TJsonValue::CreateMethod(v->ToMethod());
    default: return TJsonValue::Create(v->Kind());
  }
}

}  // namespace

IJsonValue TJsonValue::Duplicate() {
  IJsonValue root = ShallowCopy(this);
  if (!IsContainer(this)) return root;

  struct TFrame {
    TJsonValue* Source;
    TJsonValue* Target;
    TJsonAvlIterator Iterator;
    int32_t Index;
  };
  TProgressMarks marks;
  std::vector<TFrame> stack;
  auto enter = [&](TJsonValue* source, TJsonValue* target) {
    marks.Mark(source);
    stack.push_back(TFrame{source, target, TJsonAvlIterator(source->ToObjectTable()), 0});
    if (source->Kind() == vkObject) stack.back().Iterator.MoveToFirst();
  };
  if (FInProgress) return root;
  enter(this, root.Get());
  while (!stack.empty()) {
    TFrame& f = stack.back();
    TJsonValue* child;
    IJsonValue copy;
    if (f.Source->Kind() == vkObject) {
      TJsonAvlEntry* e = f.Iterator.CurrentEntry();
      if (!e) {
        f.Source->SetInProgress(false);
        stack.pop_back();
        continue;
      }
      f.Iterator.MoveToNext();
      child = e->Value.Get();
      // A member that leads back into a value being copied (a cycle) stays absent.
      if (child && !child->InProgress()) copy = ShallowCopy(child);
      f.Target->ToObjectTable()->Put(e->Name(), copy);
    } else {
      if (f.Index >= f.Source->ToArray()->Length()) {
        f.Source->SetInProgress(false);
        stack.pop_back();
        continue;
      }
      child = f.Source->ToArray()->At(f.Index++);
      if (child && !child->InProgress()) copy = ShallowCopy(child);
      f.Target->ToArray()->Add(copy);
    }
    if (copy && IsContainer(child)) enter(child, copy.Get());
  }
  return root;
}

void TJsonValue::MergeFrom(const IJsonValue& value, bool reference) {
  if (!value || value->Kind() != FKind || value.Get() == this) return;
  auto takePayload = [](TJsonValue* self, TJsonValue* from) {
    switch (self->Kind()) {
      case vkBoolean: self->FBoolean = from->FBoolean; break;
      case vkDouble: self->FDouble = from->FDouble; break;
      case vkCurrency: self->FCurrency = from->FCurrency; break;
      case vkInteger: self->FInteger = from->FInteger; break;
      case vkString: {
        std::u16string scratch;
        self->SetText(from->StringUnits(scratch));
        break;
      }
      case vkMethod: self->FMethod = from->FMethod; break;
      default: break;
    }
  };
  if (!IsContainer(this)) {
    takePayload(this, value.Get());
    return;
  }

  // Each frame merges one pair of containers. The source's members are copied out when the
  // frame starts, so changes made to the target (which may share values with the source)
  // cannot disturb the walk.
  struct TFrame {
    IJsonValue Self;
    IJsonValue Source;
    std::vector<std::pair<std::u16string, IJsonValue>> Items;
    size_t Next = 0;
    bool Reference;
  };
  TProgressMarks marks;
  std::vector<TFrame> stack;
  auto enter = [&](const IJsonValue& self, const IJsonValue& source, bool ref) {
    marks.Mark(source.Get());
    TFrame f{self, source, {}, 0, ref};
    if (TJsonMemberTable* table = source->ToObjectTable()) {
      f.Items.reserve(static_cast<size_t>(table->Count()));
      TJsonAvlIterator it(table);
      for (it.MoveToFirst(); TJsonAvlEntry* e = it.CurrentEntry(); it.MoveToNext()) f.Items.emplace_back(e->Name(), e->Value);
    } else {
      TJsonArray* arr = source->ToArray();
      f.Items.reserve(static_cast<size_t>(arr->Length()));
      for (int32_t i = 0; i < arr->Length(); ++i) f.Items.emplace_back(std::u16string(), arr->Get(i));
    }
    stack.push_back(std::move(f));
  };
  if (value->InProgress()) return;
  enter(IJsonValue(this), value, reference);
  while (!stack.empty()) {
    TFrame& f = stack.back();
    if (f.Next >= f.Items.size()) {
      f.Source->SetInProgress(false);
      stack.pop_back();
      continue;
    }
    const size_t index = f.Next++;
    const std::u16string& name = f.Items[index].first;
    const IJsonValue item = f.Items[index].second;
    const bool isObject = f.Self->Kind() == vkObject;
    IJsonValue existing =
        isObject ? f.Self->ToObjectTable()->Get(name) : f.Self->ToArray()->Get(static_cast<int32_t>(index));
    if (existing && item && existing->Kind() == item->Kind()) {
      if (existing == item) continue;
      if (!IsContainer(item.Get())) {
        takePayload(existing.Get(), item.Get());
      } else if (!item->InProgress()) {  // a source that contains itself is merged once
        const IJsonValue self = existing;
        enter(self, item, false);
      }
      continue;
    }
    IJsonValue put = f.Reference || !item ? item : item->Duplicate();
    if (isObject)
      f.Self->ToObjectTable()->Put(name, std::move(put));
    else
      f.Self->ToArray()->Put(static_cast<int32_t>(index), std::move(put));
  }
}

void TJsonValue::MergeText(std::u16string_view text) { MergeFrom(ParseText(text, false, true), true); }

}  // namespace json
