#include "listing/layout.h"

#include <algorithm>
#include <filesystem>

#include "listing/built_in_layouts.h"
#include "listing/text_ops.h"
#include "runtime/file_io.h"

namespace listing {
namespace {

constexpr TValueInfo kValues[kValueCount] = {
    {"title", 0},      {"owner-name", 0},  {"hidden", 0},      {"type", 0},
    {"container", 0},  {"location", 0},    {"updated", 1},     {"attributes", 1},
    {"favorites", 1},  {"token", 1},       {"guid", 1},        {"owner", 1},
    {"difficulty", 1}, {"terrain", 1},     {"coordinates", 1}, {"short-description", 1},
    {"long-description", 1}, {"hint", 1},  {"inventory", 1},   {"waypoints", 2},
    {"logs", 2},
};

constexpr std::string_view kHost = "{host}";

TMarker MakeMarker(std::string_view text) { return TMarker{std::string(text), text.find(kHost) != std::string_view::npos}; }

std::string_view Expand(const TMarker& marker, std::string_view host, std::string& buffer) {
  if (!marker.HasHost) return marker.Text;
  buffer = ReplaceAll(marker.Text, kHost, host);
  return buffer;
}

// Reads one layout file, line by line; every mistake names the file and the line.
class TLayoutReader {
 public:
  TLayoutReader(const std::string& origin, const std::vector<TLayout>& known) : FOrigin(origin), FKnown(known) {}

  std::vector<TLayout> Read(std::string_view text) {
    size_t from = 0;
    while (from <= text.size()) {
      const size_t end = std::min(text.find('\n', from), text.size());
      ++FLine;
      Line(TrimBlanks(text.substr(from, end - from)));
      from = end + 1;
    }
    FinishSection();
    if (FLayouts.empty()) Fail("the file has no [layout] section");
    return std::move(FLayouts);
  }

 private:
  [[noreturn]] void Fail(const std::string& what, int32_t line = 0) const {
    throw ELayoutError(FOrigin + ":" + std::to_string(line ? line : FLine) + ": " + what);
  }

  void Line(std::string_view line) {
    if (line.empty() || line.front() == ';' || line.front() == '#') return;
    if (line.front() == '[') {
      if (line.back() != ']') Fail("a section line must end with \"]\"");
      const std::string_view name = TrimBlanks(line.substr(1, line.size() - 2));
      if (name.empty()) Fail("the layout has no name");
      FinishSection();
      for (const TLayout& l : FLayouts)
        if (l.Name == name) Fail("the layout [" + std::string(name) + "] is defined twice in the file");
      FLayouts.emplace_back();
      FLayouts.back().Name = name;
      FLayouts.back().Origin = FOrigin;
      FLayouts.back().DateFormats = {DateFormat("dd?mm?yyyy")};
      FSectionLine = FLine;
      FTouched.fill(false);
      FKeys = 0;
      FRecogniseSet = FDatesSet = false;
      return;
    }
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) Fail("a line must be a [layout], a key = text or a comment (; or #)");
    const std::string_view key = TrimBlanks(line.substr(0, equals));
    const std::string_view text = TrimBlanks(line.substr(equals + 1));
    if (FLayouts.empty() || FSectionLine == 0) Fail("\"" + std::string(key) + "\" stands before the first [layout]");
    if (text.empty()) Fail("\"" + std::string(key) + "\" has no text");
    ++FKeys;
    Key(FLayouts.back(), key, text);
  }

  void Key(TLayout& layout, std::string_view key, std::string_view text) {
    if (key == "base") {
      if (FKeys != 1) Fail("base must be the section's first key");
      const TLayout* base = Find(text);
      if (!base) Fail("base names no layout known here: " + std::string(text));
      const std::string name = layout.Name;
      layout = *base;
      layout.Name = name;
      layout.Origin = FOrigin;
      return;
    }
    if (key == "recognise") {
      if (!FRecogniseSet) layout.Recognise.clear();
      FRecogniseSet = true;
      layout.Recognise.emplace_back(text);
      return;
    }
    if (key == "sign-in") {
      layout.SignIn = text;
      return;
    }
    const size_t dot = key.find('.');
    if (dot == std::string_view::npos) Fail("unknown key \"" + std::string(key) + "\" (recognise, sign-in, base or <value>.<option>)");
    const std::string_view valueName = key.substr(0, dot);
    const std::string_view option = key.substr(dot + 1);
    size_t v = 0;
    while (v < kValueCount && kValues[v].Name != valueName) ++v;
    if (v == kValueCount) {
      std::string names;
      for (const TValueInfo& info : kValues) names.append(names.empty() ? "" : ", ").append(info.Name);
      Fail("unknown value \"" + std::string(valueName) + "\" (values: " + names + ")");
    }
    const TValue value = static_cast<TValue>(v);
    // A value given in a section is given whole: nothing of the base's way to cut it is kept.
    TCut& cut = layout.Cuts[v];
    if (!FTouched[v]) cut = TCut{};
    FTouched[v] = true;
    if (option == "begin") {
      cut.Begin.push_back({MakeMarker(text)});
    } else if (option == "or") {
      if (cut.Begin.empty()) Fail("\"or\" needs a begin text above it");
      cut.Begin.back().push_back(MakeMarker(text));
    } else if (option == "end") {
      cut.End = MakeMarker(text);
    } else if (option == "attributes") {
      cut.Attributes = Choice(text, "no", "yes");
    } else if (option == "absent") {
      cut.AbsentAtZero = Choice(text, "empty", "at-zero");
    } else if (option == "end-search") {
      cut.EndFromBegin = Choice(text, "behind", "begin");
    } else if (option == "keep") {
      cut.Keep = Number(text, 0, 64);
    } else if (value == TValue::Hidden && option == "date") {
      if (!FDatesSet) layout.DateFormats.clear();
      FDatesSet = true;
      layout.DateFormats.push_back(DateFormat(text));
    } else if (value == TValue::Hint && option == "shown-decoded") {
      layout.HintShownDecoded = MakeMarker(text);
    } else if (value == TValue::Waypoints && option == "guid") {
      layout.WaypointGuid = MakeMarker(text);
    } else if (value == TValue::Waypoints && option.ends_with("-cell")) {
      // The walk looks at a row's first eight cells.
      const int32_t cell = Number(text, 1, 8);
      if (option == "code-cell") layout.Cells.Code = cell;
      else if (option == "name-cell") layout.Cells.Name = cell;
      else if (option == "coordinates-cell") layout.Cells.Coordinates = cell;
      else if (option == "note-cell") layout.Cells.Note = cell;
      else Fail("unknown option \"" + std::string(option) + "\" of waypoints");
    } else {
      Fail("unknown option \"" + std::string(option) + "\" of " + std::string(valueName) +
           " (begin, or, end, attributes, absent, end-search, keep)");
    }
  }

  bool Choice(std::string_view text, std::string_view no, std::string_view yes) const {
    if (text == yes) return true;
    if (text != no) Fail("\"" + std::string(text) + "\" is neither " + std::string(no) + " nor " + std::string(yes));
    return false;
  }

  int32_t Number(std::string_view text, int32_t least, int32_t most) const {
    int32_t n = 0;
    for (char c : text) {
      if (c < '0' || c > '9' || n > most) Fail("\"" + std::string(text) + "\" is not a number from " +
                                               std::to_string(least) + " to " + std::to_string(most));
      n = n * 10 + (c - '0');
    }
    if (n < least || n > most) Fail("\"" + std::string(text) + "\" is not a number from " + std::to_string(least) +
                                    " to " + std::to_string(most));
    return n;
  }

  TDateFormat DateFormat(std::string_view pattern) const {
    TDateFormat f;
    f.Pattern = pattern;
    for (char field : {'y', 'm', 'd'}) {
      const size_t first = pattern.find(field);
      const size_t last = pattern.rfind(field);
      if (first == std::string_view::npos || pattern.substr(first, last - first + 1).find_first_not_of(field) != std::string_view::npos)
        Fail("the date pattern \"" + std::string(pattern) + "\" needs one run each of d, m and y");
      const int64_t at = static_cast<int64_t>(first) + 1, length = static_cast<int64_t>(last - first) + 1;
      (field == 'y' ? f.Year : field == 'm' ? f.Month : f.Day) = at;
      (field == 'y' ? f.YearLength : field == 'm' ? f.MonthLength : f.DayLength) = length;
    }
    return f;
  }

  const TLayout* Find(std::string_view name) const {
    for (const TLayout& l : FLayouts)
      if (l.Name == name && &l != &FLayouts.back()) return &l;
    for (const TLayout& l : FKnown)
      if (l.Name == name) return &l;
    return nullptr;
  }

  // What a layout cannot be without, told at its section's line.
  void FinishSection() {
    if (FLayouts.empty() || FSectionLine == 0) return;
    const TLayout& layout = FLayouts.back();
    const std::string name = "[" + layout.Name + "] ";
    if (layout.Recognise.empty()) Fail(name + "has no recognise text", FSectionLine);
    for (TValue needed : {TValue::Title, TValue::Coordinates})
      if (!layout.Cut(needed).Defined())
        Fail(name + "has no " + std::string(ValueInfo(needed).Name) + ".begin text", FSectionLine);
    for (size_t v = 0; v < kValueCount; ++v)
      if (layout.Cuts[v].Defined() && layout.Cuts[v].End.Text.empty())
        Fail(name + "gives " + std::string(kValues[v].Name) + " no end text", FSectionLine);
  }

  std::string FOrigin;
  const std::vector<TLayout>& FKnown;
  std::vector<TLayout> FLayouts;
  int32_t FLine = 0;
  int32_t FSectionLine = 0;
  int32_t FKeys = 0;
  std::array<bool, kValueCount> FTouched{};
  bool FRecogniseSet = false, FDatesSet = false;
};

bool Fits(const TDateFormat& format, std::string_view date) {
  for (size_t i = 0; i < format.Pattern.size(); ++i) {
    const char c = format.Pattern[i];
    if (c == 'd' || c == 'm' || c == 'y' || c == '?') continue;
    if (i >= date.size() || date[i] != c) return false;
  }
  return true;
}

void Merge(std::vector<TLayout>& into, std::vector<TLayout> layouts) {
  for (TLayout& layout : layouts) {
    auto same = std::find_if(into.begin(), into.end(), [&](const TLayout& l) { return l.Name == layout.Name; });
    if (same != into.end())
      *same = std::move(layout);
    else
      into.push_back(std::move(layout));
  }
}

}  // namespace

const TValueInfo& ValueInfo(TValue value) { return kValues[static_cast<size_t>(value)]; }

std::vector<TLayout> ParseLayouts(std::string_view text, const std::string& origin, const std::vector<TLayout>& known) {
  return TLayoutReader(origin, known).Read(text);
}

std::string_view CutValue(std::string_view page, const TCut& cut, std::string_view host, bool* found) {
  if (found) *found = false;
  if (cut.Begin.empty()) return {};
  std::string buffer;
  int64_t at = 0;
  int64_t length = 0;
  for (const std::vector<TMarker>& step : cut.Begin) {
    int64_t hit = 0;
    for (const TMarker& marker : step) {
      const std::string_view text = Expand(marker, host, buffer);
      if (&marker == &step.front()) length = static_cast<int64_t>(text.size());
      hit = FindFrom(text, page, at);
      if (hit != 0) {
        length = static_cast<int64_t>(text.size());
        break;
      }
    }
    if (hit == 0 && !cut.AbsentAtZero) return {};
    at = hit;
  }
  if (found) *found = at != 0;
  int64_t behind = at + length;
  if (cut.Attributes) {
    const int64_t close = FindFrom(">", page, behind - 1);
    if (close == 0) return {};
    behind = close + 1;
  }
  behind -= cut.Keep;
  const int64_t end = FindFrom(Expand(cut.End, host, buffer), page, cut.EndFromBegin ? at : behind);
  return Slice(page, behind, end - behind);
}

std::string LayoutDate(std::string_view date, const std::vector<TDateFormat>& formats) {
  const TDateFormat* use = &formats.back();
  for (const TDateFormat& f : formats) {
    if (Fits(f, date)) {
      use = &f;
      break;
    }
  }
  std::string result;
  result.append(Slice(date, use->Year, use->YearLength)).append("-");
  result.append(Slice(date, use->Month, use->MonthLength)).append("-");
  result.append(Slice(date, use->Day, use->DayLength));
  return result;
}

const TLayout* TLayoutTable::Recognise(std::string_view page) const {
  for (const TLayout& layout : Layouts) {
    if (std::all_of(layout.Recognise.begin(), layout.Recognise.end(),
                    [&](const std::string& text) { return FindText(text, page) != 0; }))
      return &layout;
  }
  return nullptr;
}

bool TLayoutTable::SignedOut(std::string_view page) const {
  bool signInLink = false;
  for (const TLayout& layout : Layouts) {
    if (!layout.SignIn.empty() && FindText(layout.SignIn, page) != 0) signInLink = true;
    // The element's id is what tells it; a layout's texts that name the host do not.
    for (const TMarker& marker : layout.Cut(TValue::Coordinates).Begin.front())
      if (!marker.HasHost && FindText(marker.Text, page) != 0) return false;
  }
  return signInLink;
}

std::string TLayoutTable::NoLayoutCause(std::string_view page) const {
  std::string cause = "no known layout: the page has none of ";
  for (const TLayout& layout : Layouts) {
    if (&layout != &Layouts.front()) cause += ", ";
    for (const std::string& text : layout.Recognise) {
      if (FindText(text, page) != 0) continue;
      cause += text + " (" + layout.Name + ")";
      break;
    }
  }
  return cause;
}

std::shared_ptr<const TLayoutTable> BuiltInLayouts() {
  static const std::shared_ptr<const TLayoutTable> table = [] {
    auto built = std::make_shared<TLayoutTable>();
    for (size_t i = 0; i < kBuiltInLayoutFileCount; ++i) {
      const TBuiltInLayoutFile& file = kBuiltInLayoutFiles[i];
      Merge(built->Layouts, ParseLayouts(file.Text, "built in " + std::string(file.Name), built->Layouts));
    }
    return built;
  }();
  return table;
}

std::shared_ptr<const TLayoutTable> LoadLayouts(const std::string& folder) {
  namespace fs = std::filesystem;
  std::error_code error;
  std::vector<std::string> files;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    if (it->path().extension() == ".ini") files.push_back(it->path().filename().string());
  }
  if (files.empty()) return BuiltInLayouts();
  std::sort(files.begin(), files.end());
  auto table = std::make_shared<TLayoutTable>(*BuiltInLayouts());
  for (const std::string& name : files) {
    const std::string path = folder + name;
    try {
      Merge(table->Layouts, ParseLayouts(runtime::ReadWholeFile(path), path, table->Layouts));
    } catch (const std::exception& e) {
      // A file read in part would leave a layout half given: the file is left out whole.
      table->Problems.push_back(e.what());
    }
  }
  return table;
}

}  // namespace listing
