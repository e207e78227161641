#pragma once
// The counted handle through which every JSON value is reached, and the few types that the
// value, the member table, the parser and the writers all share.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <utility>

namespace json {

// The kinds of value, in their stored order (the ordinal is compared).
enum TJsonValueKind : uint8_t {
  vkNull = 0,
  vkBoolean = 1,
  vkDouble = 2,
  vkCurrency = 3,  // signed 64-bit integer holding the value times 10000
  vkInteger = 4,
  vkObject = 5,
  vkArray = 6,
  vkString = 7,
  vkMethod = 8,
};

// A currency payload counts units of 1/10000.
inline constexpr int64_t kCurrencyScale = 10000;

class TJsonValue;

// The one error class of the library.
// Thrown when a string has more units than a value can hold.
inline constexpr const char* kJsonStringTooLong = "String too long";

class EJsonError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An intrusive, atomically counted reference to a TJsonValue. An empty handle stands for
// "no value". Copying takes a reference, destruction drops one; the value is freed when the
// last handle goes.
class IJsonValue {
 public:
  IJsonValue() noexcept = default;
  IJsonValue(std::nullptr_t) noexcept {}
  // Takes a new reference on `value` (which may be null).
  explicit IJsonValue(TJsonValue* value) noexcept;
  IJsonValue(const IJsonValue& other) noexcept;
  IJsonValue(IJsonValue&& other) noexcept : FValue(std::exchange(other.FValue, nullptr)) {}
  IJsonValue& operator=(const IJsonValue& other) noexcept;
  IJsonValue& operator=(IJsonValue&& other) noexcept;
  ~IJsonValue();

  // Takes over a reference the caller already holds (no new one is taken).
  static IJsonValue Adopting(TJsonValue* value) noexcept {
    IJsonValue handle;
    handle.FValue = value;
    return handle;
  }

  TJsonValue* operator->() const noexcept { return FValue; }
  TJsonValue& operator*() const noexcept { return *FValue; }
  TJsonValue* Get() const noexcept { return FValue; }
  explicit operator bool() const noexcept { return FValue != nullptr; }
  void Reset() noexcept;

  friend bool operator==(const IJsonValue& a, const IJsonValue& b) noexcept { return a.FValue == b.FValue; }

 private:
  TJsonValue* FValue = nullptr;
};

// A callable member: receives the value that holds it (or the path's parent), the argument
// and a slot for its result.
using TJsonMethod = void (*)(const IJsonValue& self, const IJsonValue& params, IJsonValue& result);

// Options of a path evaluation.
enum class TJsonOption : unsigned { CreatePath = 1, PutValue = 2, Delete = 4, CallMethod = 8 };

class TJsonOptions {
 public:
  constexpr TJsonOptions() = default;
  constexpr TJsonOptions(TJsonOption option) : FBits(static_cast<unsigned>(option)) {}
  constexpr explicit TJsonOptions(unsigned bits) : FBits(bits) {}
  constexpr bool Has(TJsonOption option) const { return (FBits & static_cast<unsigned>(option)) != 0; }
  constexpr unsigned Bits() const { return FBits; }

 private:
  unsigned FBits = 0;
};

constexpr TJsonOptions operator|(TJsonOptions a, TJsonOptions b) { return TJsonOptions(a.Bits() | b.Bits()); }
constexpr TJsonOptions operator|(TJsonOption a, TJsonOption b) { return TJsonOptions(a) | TJsonOptions(b); }

// Results of CompareWith, in their numbered order.
enum class TJsonCompareResult : uint8_t { Less = 0, Equal = 1, Greater = 2, Error = 3 };

}  // namespace json
