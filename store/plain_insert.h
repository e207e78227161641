#pragma once
// Reads the one statement shape the conversion writes,
//
//   Insert or replace into <table> (<column>,...) values ('<text>' | <digits>, ...)[;]
//
// so that the store can run it as a prepared insert with its values bound instead of having
// SQLite read every literal of a 300 KB description character by character. The reading is
// SQLite's own for this shape: a quoted literal is text with '' standing for one apostrophe, a
// run of up to 18 digits is an integer. Anything else (another keyword, a comment, a negative or
// longer number, NULL, an expression, a quoted name, a second statement) is not read here and is
// left to SQLite whole, so no statement means something else on the fast path.

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace store {

struct TPlainValue {
  bool IsInteger = false;
  int64_t Integer = 0;
  std::string_view Text;  // into the statement, or into TPlainInsert::Unescaped
};

struct TPlainInsert {
  // "<table> (<columns>)" as written: the statement runs as "INSERT OR REPLACE INTO " + Target +
  // " VALUES (?,...)", so SQLite itself checks the table and the column names.
  std::string_view Target;
  std::vector<TPlainValue> Values;
  // Texts that held '' and so differ from their bytes in the statement. A deque, so that the views
  // into it stay put while more are added.
  std::deque<std::string> Unescaped;
};

// Reads `statement` into `into` (its views point into `statement`, which must outlive them). False
// when the statement is not of the plain shape; `into` is then left unspecified.
bool ReadPlainInsert(std::string_view statement, TPlainInsert& into);

}  // namespace store
