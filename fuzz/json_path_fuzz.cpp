// Evaluates arbitrary paths against a fixed document: lookups, stores, forced paths and
// removals. Afterwards the document must still write and parse back.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "json/json_tokenizer.h"
#include "json/json_value.h"
#include "runtime/codepage.h"

namespace {

void Echo(const json::IJsonValue&, const json::IJsonValue& params, json::IJsonValue& result) { result = params; }

// The document built value by value, or (`arena`) in an arena as large pages are, so that
// paths also change trees whose members live there.
json::IJsonValue Document(bool arena) {
  json::TJsonTokenizer t;
  if (arena) t.SetArenaMinText(0);
  json::IJsonValue doc = json::ParseWithTokenizer(
      t,
      u"{\"status\":\"success\",\"data\":[{\"LogID\":1,\"LogText\":\"a\\nb\",\"Images\":[],"
      u"\"creator\":{\"GroupTitle\":\"Member\",\"n\":[1,[2,[3]]]}},{\"LogID\":2.5,\"Visited\":null}],"
      u"\"1st\":true,\"\u0101\":\"wide\"}",
      -1, true);
  doc->StoreMethod(u"echo", Echo);
  return doc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 4096) return 0;
  const uint8_t mode = data[0];
  const std::u16string path =
      runtime::AnsiToWide(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  // Huge indices only make the fuzzer slow (a store may legitimately grow an array to
  // them); keep digit runs short.
  int digits = 0;
  for (char16_t c : path) {
    digits = (c >= u'0' && c <= u'9') ? digits + 1 : 0;
    if (digits > 5) return 0;
  }

  json::IJsonValue doc = Document(mode & 64);
  (void)doc->Lookup(path);
  (void)doc->LookupText(path);
  (void)doc->LookupOrNull(path);
  (void)doc->CallMethod(path, doc);
  json::IJsonValue arr = doc->Lookup(u"data");
  (void)arr->Lookup(path);

  json::IJsonValue value = json::TJsonValue::CreateInteger(mode);
  switch (mode % 5) {
    case 0: doc->Store(path, value); break;
    case 1: doc->ForcePath(path, static_cast<json::TJsonValueKind>(mode % 9)); break;
    case 2: doc->RemovePath(path); break;
    case 3: doc->StoreOrNull(path, nullptr); break;
    case 4: arr->Store(path, value); break;
  }
  // The changed document again, now possibly holding forced or wiped method values.
  (void)doc->CallMethod(path, doc);
  (void)doc->Lookup(path);
  (void)doc->FormatTemplate(path, u'{', u'}');
  // Paths can build trees deeper than the parser reads back; anything else must parse.
  const std::u16string text = doc->ToJsonText(false, true);
  json::TJsonTokenizer t;
  json::ParseWithTokenizer(t, text, -1, true);
  if (t.Error() != json::TJsonParseError::perNone && t.Error() != json::TJsonParseError::perDepth) abort();
  doc->ToObjectTable()->Delete(u"echo");
  doc->Wipe(true);
  return 0;
}
