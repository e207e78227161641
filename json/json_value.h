#pragma once
// JSON values: one TJsonValue per value, reached through the counted handle IJsonValue.
//
// Text inside the library is 16-bit (std::u16string). Numbers are read and written with "."
// whatever the locale. Nothing here recurses over the depth of a tree: writing, copying,
// merging, wiping, compacting and freeing all keep their own explicit stacks, so a tree of any
// depth can be handled (and dropped) without exhausting the call stack.
//
// Values are not synchronised beyond their reference counts: a tree must be used by one
// thread at a time.

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "json/json_member_table.h"
#include "json/json_types.h"

namespace runtime {
class TMemoryStream;
}

namespace json {

class TJsonWriter;
class TJsonArray;
class TJsonArena;

// The code units of a non-empty string, in one block: narrow (one Windows-1250 byte per
// unit, the form page text arrives in, half the size) whenever the code page holds every
// unit, else 16-bit.
struct TJsonText {
  uint32_t Length;  // code units
  bool Wide;
  bool Heap;  // else carved from an arena and freed with it
  // Read from 8-bit text and kept as its own bytes: no escape in it stood for a character beyond
  // ASCII, so the bytes are those of the text with only ASCII escapes decoded.
  bool SourceBytes;

  const unsigned char* Bytes() const { return reinterpret_cast<const unsigned char*>(this + 1); }
  const char16_t* Units() const { return reinterpret_cast<const char16_t*>(this + 1); }
  // A block for `units` in `arena` (on the heap when null or the text is large); null for
  // the empty text.
  static TJsonText* Make(std::u16string_view units, TJsonArena* arena);
  // The same for units given as their Windows-1250 bytes; `sourceBytes` as the member says.
  static TJsonText* MakeNarrow(const unsigned char* bytes, size_t n, TJsonArena* arena, bool sourceBytes = false);
  static void Dispose(TJsonText* text) noexcept;
  // Appends the units to `out`.
  void AppendTo(std::u16string& out) const;
};

// The elements of an array. Slots past the length, and slots never filled, hold no value.
class TJsonArray {
 public:
  // The longest array Put will make (1 GiB of slots); beyond it Put throws EJsonError.
  static constexpr int32_t kMaxLength = 1 << 27;
  static constexpr int32_t kInitialCapacity = 32;

  TJsonArray() = default;
  ~TJsonArray();
  TJsonArray(const TJsonArray&) = delete;
  TJsonArray& operator=(const TJsonArray&) = delete;

  // Appends; returns the new element's index.
  int32_t Add(IJsonValue value);
  // Replaces the element at `index`, growing the array when `index` is past its end (the
  // slots skipped stay empty). A negative index is ignored.
  void Put(int32_t index, IJsonValue value);
  // The element at `index`, or none outside 0..Length()-1.
  IJsonValue Get(int32_t index) const;
  // Read access without taking a reference: null when absent.
  TJsonValue* At(int32_t index) const { return index >= 0 && index < FLength ? FItems[index].Get() : nullptr; }
  // Takes the element out, moving the later ones down; none (and no change) outside the range.
  IJsonValue Delete(int32_t index);
  // Releases every element (wiping each first with `all`); the capacity stays.
  void Wipe(bool all);
  // Drops the empty slots, keeping the order of the rest (compacting each with `all`).
  void Compact(bool all);
  int32_t Length() const { return FLength; }
  int32_t Capacity() const { return FCapacity; }

 private:
  IJsonValue* FItems = nullptr;  // allocated at the first Put, FCapacity slots
  int32_t FLength = 0;
  int32_t FCapacity = kInitialCapacity;
};

// Walks the members of an object (in walk order) or the elements of an array (by index).
class TJsonEnumerator {
 public:
  explicit TJsonEnumerator(IJsonValue value);
  // Steps to the next member or element; false at the end (and for other kinds).
  bool MoveNext();
  IJsonValue Current() const;
  // The member name (empty for array elements).
  std::u16string Name() const;

 private:
  IJsonValue FValue;
  int32_t FPosition = -1;
  TJsonAvlIterator FIterator;
};

// The member walk record of FindFirstMember / FindNextMember / FindCloseMember.
struct TJsonMemberIter {
  std::u16string Key;
  IJsonValue Value;
  IJsonValue Object;  // keeps the walked object alive
  TJsonAvlIterator Iterator{nullptr};
};

// False unless `value` is an object with at least one member; otherwise `iter` stands on the
// first member in walk order.
bool FindFirstMember(const IJsonValue& value, TJsonMemberIter& iter);
bool FindNextMember(TJsonMemberIter& iter);
void FindCloseMember(TJsonMemberIter& iter);

// An absent value counts as vkNull.
bool IsValueKind(const IJsonValue& value, TJsonValueKind kind);
TJsonValueKind ValueKindOf(const IJsonValue& value);

class TJsonValue {
 public:
  // Constructors. Objects get an empty table, arrays an empty array, strings the empty text,
  // other payloads zero.
  static IJsonValue Create(TJsonValueKind kind);
  static IJsonValue CreateBoolean(bool value);
  static IJsonValue CreateInteger(int64_t value);
  static IJsonValue CreateDouble(double value);
  // `scaled` is the currency value times 10000.
  static IJsonValue CreateCurrency(int64_t scaled);
  static IJsonValue CreateString(std::u16string_view value);
  static IJsonValue CreateMethod(TJsonMethod method);

  // Parses `text` (a NUL unit, or the end of the view, ends it). `strict` refuses bare words
  // and unquoted names; `partial` accepts text after the first complete value. With a
  // `context`, words are path steps evaluated against it (see Lookup). Returns no value on
  // any syntax fault.
  static IJsonValue ParseText(std::u16string_view text, bool strict, bool partial, const IJsonValue& context = {},
                              TJsonOptions options = {}, const IJsonValue& putValue = {},
                              TJsonValueKind kind = vkNull);
  // Parses 8-bit text in the ANSI code page (Windows-1250), as a page's bytes arrive: the
  // result is the same as for the text converted to 16-bit units first, but each string is
  // decoded as the parser meets it, without a 16-bit copy of the whole text.
  static IJsonValue ParseText(std::string_view bytes, bool strict, bool partial);

  TJsonValue(const TJsonValue&) = delete;
  TJsonValue& operator=(const TJsonValue&) = delete;
  static void* operator new(size_t size);
  static void* operator new(size_t, void* at) noexcept { return at; }
  static void operator delete(void* p) noexcept;

  void AddRef() noexcept { FRefCount.fetch_add(1, std::memory_order_relaxed); }
  void Release() noexcept;
  int32_t RefCount() const noexcept { return FRefCount.load(std::memory_order_relaxed); }

  TJsonEnumerator Members();
  TJsonValueKind Kind() const { return FKind; }
  bool IsKind(TJsonValueKind kind) const { return FKind == kind; }
  bool InProgress() const { return FInProgress; }
  void SetInProgress(bool value) { FInProgress = value; }
  void* UserData() const { return FUserData; }
  void SetUserData(void* data) { FUserData = data; }

  // Path access. A path is a sequence of steps: a member name, "." and the next name,
  // "[" index "]", "[]" (the last element, or appending when storing), and name "(" args ")"
  // to call a method member. Lookups use relaxed syntax and ignore trailing text; a missing
  // member, a wrongly typed step or a malformed path gives no value.
  IJsonValue Lookup(std::u16string_view path);
  // Lookup, but a missing value gives a new vkNull value.
  IJsonValue LookupOrNull(std::u16string_view path);
  // Puts `value` at the path, creating missing objects on the way and replacing what was
  // there. The whole path must be valid strict syntax. Returns false when it was not.
  bool Store(std::u16string_view path, const IJsonValue& value);
  // Store, storing a new vkNull value when `value` is absent (relaxed syntax, as lookups).
  bool StoreOrNull(std::u16string_view path, const IJsonValue& value);
  // Evaluates the path creating every missing step; a missing last step becomes a new value
  // of `kind`. Returns the value at the path.
  IJsonValue ForcePath(std::u16string_view path, TJsonValueKind kind);
  // Removes the member or element at the path and returns it.
  IJsonValue RemovePath(std::u16string_view path);

  // Typed lookups: a missing value gives false, 0, 0.0, 0, the empty text, no method, no array.
  bool LookupBoolean(std::u16string_view path);
  int64_t LookupInteger(std::u16string_view path);
  double LookupDouble(std::u16string_view path);
  int64_t LookupCurrency(std::u16string_view path);  // scaled by 10000
  std::u16string LookupText(std::u16string_view path);
  TJsonMethod LookupMethod(std::u16string_view path);
  TJsonArray* LookupArray(std::u16string_view path);
  // Typed stores: wrap the argument in a new value of the matching kind and Store it.
  bool StoreBoolean(std::u16string_view path, bool value);
  bool StoreInteger(std::u16string_view path, int64_t value);
  bool StoreDouble(std::u16string_view path, double value);
  bool StoreCurrency(std::u16string_view path, int64_t scaled);
  bool StoreText(std::u16string_view path, std::u16string value);
  bool StoreMethod(std::u16string_view path, TJsonMethod method);

  // Calls the method at the path with `params` (the method's result, or none).
  IJsonValue CallMethod(std::u16string_view path, const IJsonValue& params);
  IJsonValue CallMethodText(std::u16string_view path, std::u16string_view paramsText);

  // Replaces every open..close stretch of `tmpl` by LookupText of the path between them; an
  // unclosed stretch at the end is dropped.
  std::u16string FormatTemplate(std::u16string_view tmpl, char16_t open, char16_t close);

  // Writing. WriteTo returns the result of the last write (negative: failure; strings and
  // methods give 0). A value met again while it is being written (a cycle) is written "null".
  int32_t WriteTo(TJsonWriter& writer, bool indent, bool escape, int32_t level);
  // The JSON text; empty when nothing was written or writing failed.
  std::u16string ToJsonText(bool indent, bool escape);
  // Writes one byte per unit with `escape` (all output is then ASCII), else UTF-16LE.
  // Returns the stream's size, or 0 (and an emptied stream) on failure.
  int64_t SaveToStream(runtime::TMemoryStream& stream, bool indent, bool escape);
  // As SaveToStream into a file that is replaced atomically. Throws runtime::EFileError.
  int64_t SaveToFile(const std::string& name, bool indent, bool escape);
  // Sends the text (one byte per unit) over a connected socket; the count of bytes sent, 0
  // on failure.
  int64_t SendTo(int socket, bool indent, bool escape);
  // The number of units WriteTo would produce; 0 on failure.
  int64_t CalcSize(bool indent, bool escape);

  // Conversions (they never fail; text that is not a number converts to 0).
  bool ToBoolean() const;
  int64_t ToInteger() const;
  double ToDouble() const;
  int64_t ToCurrency() const;  // scaled by 10000
  // A string's own text; anything else as written without indentation or escaping.
  std::u16string ToText();
  TJsonArray* ToArray() { return FKind == vkArray ? FArray : nullptr; }
  TJsonMemberTable* ToObjectTable() { return FKind == vkObject ? FTable : nullptr; }
  TJsonMethod ToMethod() const { return FKind == vkMethod ? FMethod : nullptr; }
  // A string's units (empty for other kinds): a view of the value's own storage, or of
  // `scratch` after decoding into it. Valid until the string or `scratch` changes.
  std::u16string_view StringUnits(std::u16string& scratch) const;
  // A string's text in the ANSI code page (Windows-1250) into `out`; a unit the code page
  // cannot hold becomes '?'. Empty for other kinds.
  void StringAnsi(std::string& out) const;
  // For a string parsed from 8-bit text: its bytes as they stood in that text, with only escapes
  // of ASCII characters decoded (so a UTF-8 text's string is read as UTF-8 without parsing the
  // text again). None when an escape stood for any other character, the string was made or
  // changed otherwise, or the value is no string. The empty string gives an empty view.
  std::optional<std::string_view> StringSourceBytes() const;

  // Clears the payload (false, 0, empty); with `all` nested values are wiped first.
  void Wipe(bool all);
  // Drops empty array slots and absent members; with `all` throughout the tree.
  void Compact(bool all);

  // A deep copy. vkNull gives no value; a value met again inside itself is copied as absent.
  IJsonValue Duplicate();
  // Merges `value` into this value; nothing happens unless both have the same kind. Scalars
  // take the other's payload. Objects: a member present on both sides with the same kind is
  // merged in turn (always without `reference`), any other member of `value` is put here,
  // itself with `reference` or as a copy without. Arrays do the same index by index. A
  // source that contains itself is merged once where it recurs.
  void MergeFrom(const IJsonValue& value, bool reference);
  // Parses `text` (relaxed, partial) and merges it by reference.
  void MergeText(std::u16string_view text);

  // Booleans and integers compare exactly; when a double or currency takes part the values
  // compare as real numbers; a number or string against a string compares the two texts
  // unit by unit. Null, objects, arrays, methods and an absent value give Error.
  TJsonCompareResult CompareWith(const IJsonValue& value);
  // Parses `text` (relaxed, partial) and compares with the result.
  TJsonCompareResult CompareText(std::u16string_view text);

 private:
  friend class TJsonBuilder;

  // A value on the heap, or (with `arena`) carved from the arena together with its table or
  // array record.
  TJsonValue(TJsonValueKind kind, TJsonArena* arena);
  ~TJsonValue() = default;
  static void Destroy(TJsonValue* value) noexcept;
  // Lets go of the payload; returns the value's arena, or null when the value itself is
  // freed here.
  static TJsonArena* Finish(TJsonValue* value) noexcept;
  static IJsonValue Adopt(TJsonValue* fresh) noexcept;

  void WipeSelf();
  void SetText(std::u16string_view units);

  std::atomic<int32_t> FRefCount{1};  // 1 while the constructor runs, handed to the first handle by Adopt
  bool FInProgress = false;
  TJsonValueKind FKind;
  bool FInArena = false;  // carved from an arena (see TJsonArena), with its table or array
  // The string's text lies in an arena too: freeing the value need not look at it.
  bool FTextInArena = false;
  void* FUserData = nullptr;
  union {
    bool FBoolean;
    double FDouble;
    int64_t FCurrency;
    int64_t FInteger;
    TJsonMethod FMethod;
    TJsonMemberTable* FTable;
    TJsonArray* FArray;
    TJsonText* FText;  // null for the empty string
  };
};

static_assert(sizeof(TJsonValue) == 24, "a value is three words: count and flags, user pointer, payload");

// ----- handle operations ------------------------------------------------------------------

inline IJsonValue::IJsonValue(TJsonValue* value) noexcept : FValue(value) {
  if (FValue) FValue->AddRef();
}
inline IJsonValue::IJsonValue(const IJsonValue& other) noexcept : FValue(other.FValue) {
  if (FValue) FValue->AddRef();
}
inline IJsonValue& IJsonValue::operator=(const IJsonValue& other) noexcept {
  if (other.FValue) other.FValue->AddRef();
  TJsonValue* old = std::exchange(FValue, other.FValue);
  if (old) old->Release();
  return *this;
}
inline IJsonValue& IJsonValue::operator=(IJsonValue&& other) noexcept {
  if (this != &other) {
    TJsonValue* old = std::exchange(FValue, std::exchange(other.FValue, nullptr));
    if (old) old->Release();
  }
  return *this;
}
inline IJsonValue::~IJsonValue() {
  if (FValue) FValue->Release();
}
inline void IJsonValue::Reset() noexcept {
  if (TJsonValue* old = std::exchange(FValue, nullptr)) old->Release();
}

}  // namespace json
