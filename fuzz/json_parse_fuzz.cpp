// Parses arbitrary text in every mode and checks what the writer promises: escaped output
// parses back strictly, and a second round trip writes the same text as the first.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "json/json_tokenizer.h"
#include "json/json_value.h"
#include "runtime/codepage.h"

namespace {

// Every string of `bytes` (a parse of 8-bit text) that keeps the text's own bytes must read as
// UTF-8 what the same place in `utf8` (a parse of that text decoded as UTF-8) holds. Places are
// matched by index and by names that read the same both ways.
void CheckSourceBytes(json::TJsonValue* bytes, json::TJsonValue* utf8) {
  if (bytes == nullptr || utf8 == nullptr || bytes->Kind() != utf8->Kind()) return;
  if (const std::optional<std::string_view> own = bytes->StringSourceBytes()) {
    std::u16string scratch;
    const std::string read =
        runtime::IsUtf8(*own) ? std::string(*own) : runtime::WideToUtf8(runtime::Utf8ToWide(*own));
    if (read != runtime::WideToUtf8(utf8->StringUnits(scratch))) abort();
  }
  if (json::TJsonArray* a = bytes->ToArray()) {
    for (int32_t i = 0; i < a->Length() && i < utf8->ToArray()->Length(); ++i)
      CheckSourceBytes(a->At(i), utf8->ToArray()->At(i));
  }
  if (json::TJsonMemberTable* table = utf8->ToObjectTable()) {
    json::TJsonEnumerator members{json::IJsonValue(bytes)};
    while (members.MoveNext()) CheckSourceBytes(members.Current().Get(), table->Find(members.Name()));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  const bool strict = mode & 1;
  const bool partial = mode & 2;
  const bool wide = mode & 4;  // the rest as UTF-16LE code units instead of bytes
  const bool indent = mode & 8;
  std::u16string text;
  if (wide) {
    for (size_t i = 1; i + 1 < size; i += 2) text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  } else {
    text = runtime::AnsiToWide(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  }

  json::IJsonValue v = json::TJsonValue::ParseText(text, strict, partial);

  // The bytes read directly (decoded string by string) must give what their units give.
  if (!wide) {
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    json::IJsonValue b = json::TJsonValue::ParseText(bytes, strict, partial);
    if (!v != !b) abort();
    if (v && v->ToJsonText(false, true) != b->ToJsonText(false, true)) abort();
    if (b) {
      json::IJsonValue u = json::TJsonValue::ParseText(runtime::Utf8ToWide(bytes), strict, partial);
      CheckSourceBytes(b.Get(), u.Get());
    }
  }

  // The same text in two pieces must give the same outcome.
  {
    json::TJsonTokenizer t;
    t.SetArenaMinText(0);  // this parse builds in an arena, the whole one above value by value
    // A NUL unit ends the text, so the whole parse never sees what follows it. A cut behind
    // that NUL would let the second piece read on as a continuation of a parse that had
    // already ended; cutting no later than the NUL compares the same text both ways.
    const size_t cut = std::min(text.empty() ? 0 : mode % (text.size() + 1), text.find(u'\0'));
    json::IJsonValue first =
        json::ParseWithTokenizer(t, std::u16string_view(text).substr(0, cut), static_cast<int32_t>(cut), strict);
    json::IJsonValue second = json::ParseWithTokenizer(t, std::u16string_view(text).substr(cut), -1, strict);
    // ParseText adds the whole-text check of `partial`; compare only values that both found.
    if (v && !second) abort();
    if (v && second && v->ToJsonText(false, true) != second->ToJsonText(false, true)) abort();
    // Arena values taken apart and changed, some outliving their root.
    if (second) {
      json::IJsonValue copy = second->Duplicate();
      json::TJsonEnumerator members = second->Members();
      json::IJsonValue kept = members.MoveNext() ? members.Current() : nullptr;
      second->MergeFrom(copy, mode & 16);
      second->Compact(true);
      second.Reset();
      if (kept) {
        (void)kept->ToText();
        kept->Wipe(true);
      }
    }
  }

  if (!v) return 0;
  const std::u16string once = v->ToJsonText(indent, true);
  if (v->CalcSize(indent, true) != static_cast<int64_t>(once.size())) abort();
  json::IJsonValue back = json::TJsonValue::ParseText(once, true, false);
  if (!back) abort();
  const std::u16string twice = back->ToJsonText(indent, true);
  json::IJsonValue again = json::TJsonValue::ParseText(twice, true, false);
  if (!again || again->ToJsonText(indent, true) != twice) abort();
  (void)v->Duplicate();
  (void)v->ToText();
  return 0;
}
