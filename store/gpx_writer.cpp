#include "store/gpx_writer.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

#include "runtime/ascii_text.h"

namespace store {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The length of the UTF-8 sequence at `at`, 0 when it is not one (the byte at `at` is then
// replaced); `allowed` false for a character XML 1.0 forbids (the sequence is left out).
size_t SequenceLength(std::string_view text, size_t at, bool& allowed) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  size_t length;
  char32_t c;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, c = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, c = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, c = lead & 0x07;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    c = (c << 6) | (byte(at + i) & 0x3F);
  }
  // Overlong forms, surrogates and what lies past U+10FFFF are not UTF-8.
  if ((length == 3 && c < 0x800) || (length == 4 && (c < 0x10000 || c > 0x10FFFF))) return 0;
  if (c >= 0xD800 && c <= 0xDFFF) return 0;
  allowed = c != 0xFFFE && c != 0xFFFF;
  return length;
}

void Element(std::string& out, std::string_view indent, std::string_view name, std::string_view text) {
  out.append(indent).append("<").append(name).append(">");
  AppendXmlText(out, text);
  out.append("</").append(name).append(">\n");
}

void DecimalElement(std::string& out, std::string_view indent, std::string_view name, std::optional<double> value) {
  if (!value) return;
  out.append(indent).append("<").append(name).append(">");
  AppendDecimal(out, *value);
  out.append("</").append(name).append(">\n");
}

void Attribute(std::string& out, std::string_view name, std::string_view value) {
  out.append(" ").append(name).append("=\"");
  AppendXmlText(out, value);
  out.append("\"");
}

void Point(std::string& out, double latitude, double longitude) {
  out.append("  <wpt lat=\"");
  AppendDecimal(out, latitude);
  out.append("\" lon=\"");
  AppendDecimal(out, longitude);
  out.append("\">\n");
}

bool HasPosition(const std::optional<double>& latitude, const std::optional<double>& longitude) {
  return latitude && longitude && std::abs(*latitude) <= 90 && std::abs(*longitude) <= 180;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

const char* TrueFalse(bool value) { return value ? "True" : "False"; }

// The trackables' names: the text of each list item of the inventory, its markup left out.
std::vector<std::string> TrackableNames(std::string_view html) {
  std::vector<std::string> names;
  for (size_t at = html.find("<li"); at != std::string_view::npos; at = html.find("<li", at)) {
    const size_t end = std::min(html.find("</li>", at), html.size());
    std::string name;
    bool inTag = false;
    for (size_t i = at; i < end; ++i) {
      if (html[i] == '<') inTag = true;
      else if (html[i] == '>') inTag = false;
      else if (!inTag) name += html[i];
    }
    name = std::string(runtime::Trim(name));
    if (!name.empty()) names.push_back(std::move(name));
    at = end;
  }
  return names;
}

void AppendAttributes(std::string& out, std::string_view marks) {
  out.append("      <groundspeak:attributes>\n");
  // The attribute table numbers its entries from 1 in order: the number is the attribute's id.
  for (size_t i = 0; i < marks.size(); ++i) {
    if (marks[i] != 'A' && marks[i] != 'N') continue;
    out.append("        <groundspeak:attribute id=\"").append(std::to_string(i + 1)).append("\" inc=\"");
    out.append(marks[i] == 'A' ? "1" : "0").append("\"></groundspeak:attribute>\n");
  }
  out.append("      </groundspeak:attributes>\n");
}

void AppendLog(std::string& out, const TGpxLog& log) {
  out.append("        <groundspeak:log");
  Attribute(out, "id", log.Id);
  out.append(">\n");
  if (const auto date = XmlDateTime(log.Date)) Element(out, "          ", "groundspeak:date", *date);
  Element(out, "          ", "groundspeak:type", log.Type);
  out.append("          <groundspeak:finder");
  Attribute(out, "id", log.FinderId);
  out.append(">");
  AppendXmlText(out, log.Finder);
  out.append("</groundspeak:finder>\n          <groundspeak:text encoded=\"False\">");
  AppendXmlText(out, log.Text);
  out.append("</groundspeak:text>\n        </groundspeak:log>\n");
}

void AppendWaypoint(std::string& out, const TGpxWaypoint& w, std::string_view placed) {
  Point(out, *w.Latitude, *w.Longitude);
  if (!placed.empty()) Element(out, "    ", "time", placed);
  Element(out, "    ", "name", w.Code);
  Element(out, "    ", "cmt", w.Comment);
  Element(out, "    ", "desc", w.Name);
  Element(out, "    ", "url", w.Url);
  Element(out, "    ", "urlname", w.UrlName);
  Element(out, "    ", "sym", w.Kind);
  Element(out, "    ", "type", w.Type.empty() ? "Waypoint|" + w.Kind : w.Type);
  out.append("  </wpt>\n");
}

}  // namespace

void AppendXmlText(std::string& out, std::string_view text) {
  // Printable ASCII other than the markup characters goes out as it is, in runs.
  static constexpr auto kPlain = [] {
    std::array<bool, 256> plain{};
    for (int c = 0x20; c < 0x7F; ++c) plain[c] = c != '&' && c != '<' && c != '>' && c != '"' && c != '\'';
    return plain;
  }();
  size_t plain = 0;  // start of the run copied as it is
  const auto flush = [&](size_t at) { out.append(text.substr(plain, at - plain)); };
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (kPlain[c]) {
      ++i;
      continue;
    }
    const char* escape = nullptr;
    switch (c) {
      case '&': escape = "&amp;"; break;
      case '<': escape = "&lt;"; break;
      case '>': escape = "&gt;"; break;  // also keeps "]]>" out of the text
      case '"': escape = "&quot;"; break;
      case '\'': escape = "&apos;"; break;
      // Kept as references: in an attribute value a parser would turn them into blanks.
      case '\t': escape = "&#9;"; break;
      case '\n': escape = "&#10;"; break;
      case '\r': escape = "&#13;"; break;
      default: break;
    }
    if (escape != nullptr) {
      flush(i);
      out.append(escape);
      plain = ++i;
    } else if (c < 0x20) {
      flush(i);  // a control character XML 1.0 has no place for, not even as a reference
      plain = ++i;
    } else if (c < 0x80) {
      ++i;
    } else if (bool allowed = true; const size_t length = SequenceLength(text, i, allowed)) {
      if (!allowed) {
        flush(i);
        plain = i + length;
      }
      i += length;
    } else {
      flush(i);
      out.append(kReplacement);
      plain = ++i;
    }
  }
  flush(text.size());
}

void AppendDecimal(std::string& out, double value) {
  char buffer[400];  // the longest fixed form of a double
  const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  if (error == std::errc()) out.append(buffer, end);
}

std::optional<std::string> XmlDateTime(std::string_view text) {
  text = runtime::Trim(text);
  const auto digitsAt = [&](std::initializer_list<size_t> at) {
    for (size_t i : at)
      if (i >= text.size() || !IsDigit(text[i])) return false;
    return true;
  };
  if (!digitsAt({0, 1, 2, 3, 5, 6, 8, 9}) || text[4] != '-' || text[7] != '-') return std::nullopt;
  std::string result(text.substr(0, 10));
  std::string_view time = text.substr(10);
  if (time.empty()) return result + "T00:00:00Z";
  if (time[0] != 'T' && time[0] != ' ') return std::nullopt;
  time.remove_prefix(1);
  // hh:mm:ss, then a fraction and a zone as they are; no zone is UTC.
  if (time.size() < 8 || time[2] != ':' || time[5] != ':') return std::nullopt;
  for (char c : time)
    if (!IsDigit(c) && c != ':' && c != '.' && c != '+' && c != '-' && c != 'Z') return std::nullopt;
  result.append("T").append(time);
  const bool zoned = time.back() == 'Z' || time.find_first_of("+-", 8) != std::string_view::npos;
  if (!zoned) result += 'Z';
  return result;
}

std::optional<long long> CacheNumber(std::string_view code) {
  if (code.size() < 3 || code.substr(0, 2) != "GC") return std::nullopt;
  const std::string_view digits = code.substr(2);
  // Up to GCFFFF the number is written in hexadecimal; from GCG000 on in base 31 without the
  // letters that read like digits, counting on from where the hexadecimal codes ended.
  constexpr std::string_view kBase31 = "0123456789ABCDEFGHJKMNPQRTVWXYZ";
  constexpr std::string_view kBase16 = "0123456789ABCDEF";
  const bool hex = digits.size() < 4 || (digits.size() == 4 && digits < "G000");
  const std::string_view alphabet = hex ? kBase16 : kBase31;
  if (digits.size() > 7) return std::nullopt;  // past what a 32-bit number needs
  long long number = 0;
  for (char c : digits) {
    const size_t value = alphabet.find(c);
    if (value == std::string_view::npos) return std::nullopt;
    number = number * static_cast<long long>(alphabet.size()) + static_cast<long long>(value);
  }
  return hex ? number : number - 411120;
}

void AppendGpxStart(std::string& out, std::string_view siteAddressHost, std::string_view generated) {
  out.append(
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
      "<gpx xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\""
      " version=\"1.0\" creator=\"tamvirel\" xsi:schemaLocation=\"http://www.topografix.com/GPX/1/0"
      " http://www.topografix.com/GPX/1/0/gpx.xsd http://www.groundspeak.com/cache/1/0/1"
      " http://www.groundspeak.com/cache/1/0/1/cache.xsd\" xmlns=\"http://www.topografix.com/GPX/1/0\""
      " xmlns:groundspeak=\"http://www.groundspeak.com/cache/1/0/1\">\n");
  Element(out, "  ", "name", "Listings");
  Element(out, "  ", "desc", "Caches of the listings database");
  Element(out, "  ", "author", "tamvirel");
  Element(out, "  ", "url", "http://" + std::string(siteAddressHost) + "/");
  Element(out, "  ", "urlname", siteAddressHost);
  Element(out, "  ", "time", generated);
  Element(out, "  ", "keywords", "cache, geocache");
}

bool AppendGpxCache(std::string& out, const TGpxCache& c, std::string_view siteAddressHost) {
  if (!HasPosition(c.Latitude, c.Longitude)) return false;
  const std::optional<std::string> placed = XmlDateTime(c.Placed);
  Point(out, *c.Latitude, *c.Longitude);
  if (placed) Element(out, "    ", "time", *placed);
  Element(out, "    ", "name", c.Code);
  std::string desc = c.Name + " by " + c.PlacedBy + ", " + c.Type + " (";
  if (c.Difficulty) AppendDecimal(desc, *c.Difficulty);
  desc += '/';
  if (c.Terrain) AppendDecimal(desc, *c.Terrain);
  Element(out, "    ", "desc", desc + ")");
  Element(out, "    ", "url", "http://" + std::string(siteAddressHost) + "/seek/cache_details.aspx?wp=" + c.Code);
  Element(out, "    ", "urlname", c.Name);
  Element(out, "    ", "sym", "Geocache");
  Element(out, "    ", "type", "Geocache|" + c.Type);

  out.append("    <groundspeak:cache");
  // A code that spells no number (not one of the site's) gets no id rather than a made-up one.
  if (const auto number = CacheNumber(c.Code)) Attribute(out, "id", std::to_string(*number));
  Attribute(out, "available", TrueFalse(c.Available));
  Attribute(out, "archived", TrueFalse(c.Archived));
  out.append(">\n");
  Element(out, "      ", "groundspeak:name", c.Name);
  Element(out, "      ", "groundspeak:placed_by", c.PlacedBy);
  Element(out, "      ", "groundspeak:owner", c.Owner);
  Element(out, "      ", "groundspeak:type", c.Type);
  Element(out, "      ", "groundspeak:container", c.Container);
  AppendAttributes(out, c.Attributes);
  DecimalElement(out, "      ", "groundspeak:difficulty", c.Difficulty);
  DecimalElement(out, "      ", "groundspeak:terrain", c.Terrain);
  Element(out, "      ", "groundspeak:country", c.Country);
  Element(out, "      ", "groundspeak:state", c.State);
  out.append("      <groundspeak:short_description html=\"True\">");
  AppendXmlText(out, c.ShortDescription);
  out.append("</groundspeak:short_description>\n      <groundspeak:long_description html=\"True\">");
  AppendXmlText(out, c.LongDescription);
  out.append("</groundspeak:long_description>\n");
  Element(out, "      ", "groundspeak:encoded_hints", c.Hints);
  out.append("      <groundspeak:logs>\n");
  for (const TGpxLog& log : c.Logs) AppendLog(out, log);
  out.append("      </groundspeak:logs>\n");
  const std::vector<std::string> trackables = TrackableNames(c.Trackables);
  if (!trackables.empty()) {
    out.append("      <groundspeak:travelbugs>\n");
    for (const std::string& name : trackables) {
      out.append("        <groundspeak:travelbug>\n");
      Element(out, "          ", "groundspeak:name", name);
      out.append("        </groundspeak:travelbug>\n");
    }
    out.append("      </groundspeak:travelbugs>\n");
  }
  out.append("    </groundspeak:cache>\n  </wpt>\n");

  for (const TGpxWaypoint& w : c.Waypoints)
    if (HasPosition(w.Latitude, w.Longitude)) AppendWaypoint(out, w, placed.value_or(""));
  return true;
}

void AppendGpxEnd(std::string& out) { out.append("</gpx>\n"); }

}  // namespace store
