#pragma once
// The JSON parser: one character-driven state machine that reads values and also evaluates
// paths against an existing value (the context). Nesting lives on a fixed stack of 32 level
// records instead of the call stack, so no input can exhaust the stack, and a parse limited
// by a length can be continued with the next piece of text.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "json/json_types.h"

namespace json {

class TJsonArena;
class TJsonMemberTable;
struct TJsonName;

// Error codes, in their numbered order (4 to 7 are never produced).
enum class TJsonParseError : uint8_t {
  perNone = 0,
  perIncomplete = 1,  // the length limit was reached inside a value
  perDepth = 2,       // nesting beyond the level stack
  perEof = 3,         // the text ended inside a value
  perArray = 8,
  perMemberName = 9,
  perNameSeparator = 10,
  perValueSeparator = 11,
  perString = 12,
  perComment = 13,
  perObjectStep = 14,
  perArrayStep = 15,
  perMethodStep = 16,
  perIndex = 17,
};

// The machine's states; the ordinal is what a level record stores. Each level waits in one
// of them; a state that finishes a value hands it up through ValueDone.
enum class TJsonState : uint8_t {
  SkipSpace = 0,          // skip white space and comments, then enter SavedState
  ValueStart = 1,         // the first character of a value decides its kind
  ValueDone = 2,          // the level's value is complete: hand it to the level above
  NullWord = 3,           // "null" being matched, one character a turn; a mismatch makes it a word
  CommentStart = 4,       // after "/": wait for "*" or a second "/"
  BlockComment = 5,       // inside /* */: wait for "*"
  LineComment = 6,        // inside //: wait for LF, ignore all else
  BlockCommentStar = 7,   // after a "*" in a block comment: "/" closes it
  QuotedString = 8,       // inside a quoted string value: wait for the closing quote
  Escape = 9,             // after a backslash: the escape letter (SavedState is the string's state)
  Word = 10,              // a bare word value, or a path step's name, up to its end
  UnicodeEscape = 11,     // after the "u" of an escape: four hex digits, one a turn
  HexEscape = 12,         // after the "x" of an escape: two hex digits, one a turn
  BooleanWord = 13,       // "true" or "false" being matched; a mismatch makes it a word
  Number = 14,            // digits, ".", exponent and signs, up to the first other character
  ArrayStart = 15,        // after "[" or ",": "]" or the next element
  ArrayAdd = 16,          // an element came back from the level above: add it
  ArraySep = 17,          // after an element: wait for "," or "]"
  MemberStart = 18,       // after "{" or ",": "}" or the next member's name
  QuotedName = 19,        // inside a quoted member name: wait for the closing quote
  BareName = 20,          // an unquoted member name: wait for ":"
  NameEnd = 21,           // after a member name: wait for ":"
  MemberValue = 22,       // after ":": open a level for the member's value
  MemberAdd = 23,         // a member's value came back: put it into the object
  MemberSep = 24,         // after a member: wait for "," or "}"
  PathProperty = 25,      // path: after ".", the value reached must be an object
  PathIndexStart = 26,    // path: after "[", the value reached must be an array
  PathCall = 27,          // path: after "(", the value reached must be a method
  IndexValue = 28,        // path: "]" ends the index, else open a level for its value
  IndexPut = 29,          // path: the index value came back: keep it and wait for "]"
  CallArgValue = 30,      // path: ")" ends the arguments, else open a level for the next one
  CallArgPut = 31,        // path: an argument came back: add it and wait for "," or ")"
};
// An option bit of the library's own (beside those of TJsonOption): the whole text must be
// the path, so a changing step followed by more text fails before it changes anything.
inline constexpr unsigned kWholePathOption = 0x100;

// One nesting level.
struct TJsonTokenizerLevel {
  TJsonState State = TJsonState::SkipSpace;
  TJsonState SavedState = TJsonState::ValueStart;  // entered after the white space that follows
  IJsonValue Argument;                             // index value or argument list of a path step
  IJsonValue Current;                              // the value this level built or reached
  std::u16string MemberName;                       // name of the member being parsed
  IJsonValue Parent;                               // container of the current path step
  IJsonValue GrandParent;                          // container of the previous path step
};

// Makes the values of one parse. A large text is built in an arena (see TJsonArena), where
// objects that repeat a member name also share the name; small texts and path evaluations
// make their values one by one on the heap.
class TJsonBuilder {
 public:
  TJsonBuilder() = default;
  ~TJsonBuilder();
  TJsonBuilder(const TJsonBuilder&) = delete;
  TJsonBuilder& operator=(const TJsonBuilder&) = delete;

  // From now on values are made in an arena (the first call makes it).
  void UseArena();
  bool UsesArena() const { return FArena != nullptr; }

  IJsonValue Value(TJsonValueKind kind);
  IJsonValue Boolean(bool value);
  IJsonValue Integer(int64_t value);
  IJsonValue Double(double value);
  IJsonValue Currency(int64_t scaled);
  IJsonValue String(std::u16string_view units);
  // A string from Windows-1250 bytes, one unit each; `sourceBytes`: see TJsonText.
  IJsonValue NarrowString(const char* bytes, size_t n, bool sourceBytes = false);
  // Puts a member into an object this builder made, replacing one of the same name.
  void AddMember(TJsonMemberTable& table, std::u16string_view name, IJsonValue value);

 private:
  TJsonValue* New(TJsonValueKind kind);
  // The arena's one name block for `text`.
  const TJsonName* SharedName(std::u16string_view text);
  const TJsonName* FindName(std::u16string_view text);

  TJsonArena* FArena = nullptr;
  std::vector<const TJsonName*> FNames;  // open addressing on the hash; the size is a power of two
  size_t FNameCount = 0;
  TJsonName* FLastName = nullptr;  // the name met last, whose Next is a guess at this one
};

class TJsonTokenizer {
 public:
  static constexpr int32_t kLevels = 32;
  // Texts of at least this many characters are built in an arena.
  static constexpr size_t kArenaMinText = 16 * 1024;

  TJsonTokenizer() { Reset(); }
  // Lowers (or raises) the size from which a parse builds in an arena; 0: always.
  void SetArenaMinText(size_t units) { FArenaMinText = units; }

  // Clears every level from the current depth down to 0; depth 0, no error.
  void Reset();

  TJsonParseError Error() const { return FError; }
  int32_t Depth() const { return FDepth; }
  int32_t Line() const { return FLine; }
  int32_t Column() const { return FColumn; }
  // Characters consumed by the last call of ParseWithTokenizer.
  int32_t Offset() const { return FOffset; }

 private:
  friend IJsonValue ParseWithTokenizer(TJsonTokenizer& tokenizer, std::u16string_view text, int32_t length,
                                       bool strict, const IJsonValue& context, TJsonOptions options,
                                       const IJsonValue& putValue, TJsonValueKind kind);
  friend IJsonValue ParseWithTokenizer(TJsonTokenizer& tokenizer, std::string_view bytes, int32_t length,
                                       bool strict);
  // The machine, over 16-bit units or over Windows-1250 bytes decoded one by one.
  template <typename TChar>
  static IJsonValue Run(TJsonTokenizer& t, const TChar* data, size_t size, int32_t length, bool strict,
                        const IJsonValue& context, TJsonOptions options, const IJsonValue& putValue,
                        TJsonValueKind kind);
  void ResetLevel(TJsonTokenizerLevel& level);
  // What a state's routine tells the machine to do next.
  enum class TStep : uint8_t;
  // The routines of the states, over one call's text and registers (json_tokenizer.cpp).
  template <typename TChar>
  struct TMachine;
  // What a path evaluation is asked to do, fixed for one call.
  struct TPathJob;
  // The states of path evaluation, which run only when a context is set: out of line, so the
  // plain parse stays tight. Returns what Run does next.
  static TStep PathState(TJsonTokenizer& t, char16_t c, const TPathJob& job);

  std::u16string FBuffer;  // scratch: the token being read
  std::string FNarrow;     // a string read from bytes, while kept as bytes (see Run)
  bool FNarrowString = false;
  bool FEscapedBeyondAscii = false;  // the string being read had an escape of a unit above 0x7F
  int32_t FDepth = 0;
  int32_t FFraction = 0;        // 1 once a number has shown "." or an exponent
  int32_t FFractionDigits = 0;  // -1 when the number is not a fixed-point candidate
  int32_t FLiteralPos = 0;      // characters matched in a keyword or escape
  int32_t FOffset = 0;
  int32_t FNestedArgs = 0;      // open index or argument lists of a path
  TJsonParseError FError = TJsonParseError::perNone;
  uint16_t FEscape = 0;
  char16_t FQuote = 0;
  IJsonValue FHanded;           // a finished child value on its way to the parent level
  TJsonTokenizerLevel FStack[kLevels];
  int32_t FLine = 1;
  int32_t FColumn = 0;
  size_t FArenaMinText = kArenaMinText;
  TJsonBuilder FBuilder;
};

// True when evaluating `path` against an object (relaxed, no options) is nothing but a
// lookup of the member with exactly that name: a name of characters outside the word-end
// set that does not start like a value ("-", a quote, a bracket, a comment) or a keyword.
// Lookups take this shortcut; the machine gives the same result for such paths.
bool IsPlainMemberName(std::u16string_view path);

// Runs the machine over `text` (a NUL unit or the end of the view is the end of the text),
// at most `length` characters (-1: no limit). The result is the level 0 value, or none on an
// error. After perIncomplete the parse can be continued with the next piece of text.
IJsonValue ParseWithTokenizer(TJsonTokenizer& tokenizer, std::u16string_view text, int32_t length, bool strict,
                              const IJsonValue& context = {}, TJsonOptions options = {},
                              const IJsonValue& putValue = {}, TJsonValueKind kind = vkNull);
// The same over 8-bit text in Windows-1250 (page bytes), each byte read as its 16-bit unit;
// values only, no paths.
IJsonValue ParseWithTokenizer(TJsonTokenizer& tokenizer, std::string_view bytes, int32_t length, bool strict);

}  // namespace json
