// The GPX writer's texts: what any page value becomes in the XML, the numbers and the dates.

#include "store/gpx_writer.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

std::string Xml(std::string_view text) {
  std::string out;
  store::AppendXmlText(out, text);
  return out;
}

std::string Decimal(double value) {
  std::string out;
  store::AppendDecimal(out, value);
  return out;
}

}  // namespace

// Markup is escaped, line breaks and tabs kept as references, characters XML 1.0 forbids left
// out, and bytes that are not UTF-8 replaced, each on its own.
TEST(GpxWriter, EveryByteBecomesValidXml) {
  const std::string fffd = "\xEF\xBF\xBD";
  const std::pair<std::string, std::string> cases[] = {
      {"O'Hara & <Sons> \"q\" ]]>", "O&apos;Hara &amp; &lt;Sons&gt; &quot;q&quot; ]]&gt;"},
      {"a\tb\r\nc", "a&#9;b&#13;&#10;c"},
      {std::string("a\x01\x1f\0b", 5), "ab"},
      {"\xEF\xBF\xBE\xEF\xBF\xBFok", "ok"},                       // U+FFFE, U+FFFF
      {"č \xF0\x9F\x98\x80 \x7f", "č \xF0\x9F\x98\x80 \x7f"},     // kept as they are
      {"\x9a\xe8x", fffd + fffd + "x"},                          // Windows-1250 bytes
      {"\xC0\xAF\xED\xA0\x80", fffd + fffd + fffd + fffd + fffd},  // overlong, surrogate
      {"end\xC4", "end" + fffd},                                 // cut short
  };
  for (const auto& [text, xml] : cases) EXPECT_EQ(xml, Xml(text)) << text;
}

TEST(GpxWriter, NumbersDatesAndCacheNumbers) {
  EXPECT_EQ("48.1353833", Decimal(48.1353833));
  EXPECT_EQ("-120.2583333", Decimal(-120.2583333));
  EXPECT_EQ("0.0000001", Decimal(1e-7));
  EXPECT_EQ("2", Decimal(2.0));

  const std::pair<std::string, std::optional<std::string>> dates[] = {
      {"2011-06-15", "2011-06-15T00:00:00Z"},
      {" 2013-04-05 10:11:12", "2013-04-05T10:11:12Z"},
      {"2013-04-05T10:11:12.5+02:00", "2013-04-05T10:11:12.5+02:00"},
      {"05-07-2012", std::nullopt},
      {"--", std::nullopt},
      {"2011-06-15 soon", std::nullopt},
  };
  for (const auto& [text, xml] : dates) EXPECT_EQ(xml, store::XmlDateTime(text)) << text;

  const std::pair<std::string, std::optional<long long>> codes[] = {
      {"GC1", 1}, {"GCFFFF", 65535}, {"GCG000", 65536}, {"GC10000", 512401},
      {"GC7LOGS", std::nullopt}, {"GCZZZ", std::nullopt}, {"TB123", std::nullopt},
  };
  for (const auto& [code, number] : codes) EXPECT_EQ(number, store::CacheNumber(code)) << code;
}
