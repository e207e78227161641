#pragma once
// The table of page layouts: where on a listing page each value the converter reads stands.
//
// The site changes its page markup every few years. Each markup is one layout: the texts that
// recognise its pages, and for every value the texts that begin and end it. The layouts are
// data: the built-in ones are compiled from listing/layouts/*.ini, and a user adds or replaces
// one by putting a file of the same form into the data folder's layouts/ folder (the format is
// described in the README under "When the site changes its pages").
//
// A value is cut out the way the text operations cut between markers, so that the first
// built-in layout reproduces the converter's long-standing edge rules exactly: each begin text
// is looked for from the position where the one before it begins, the value starts behind the
// last, and the end text is looked for from the second byte behind that (an end text right
// behind the begin text is not seen). Named options change those rules where a value needs it.

#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "listing/waypoint_table.h"

namespace listing {

// The values cut from a page, in the order the conversion cuts them.
enum class TValue : uint8_t {
  Title,
  OwnerName,
  Hidden,
  CacheType,
  Container,
  Location,
  Updated,
  Attributes,
  Favorites,
  UserToken,
  Guid,
  Owner,
  Difficulty,
  Terrain,
  Coordinates,
  ShortDescription,
  LongDescription,
  Hint,
  Inventory,
  Waypoints,
  Logs,
};
inline constexpr size_t kValueCount = 21;

// A value's name in layout files and the progress stage a failure while it is read shows.
struct TValueInfo {
  std::string_view Name;
  int32_t Stage;
};
const TValueInfo& ValueInfo(TValue value);

// One text of a layout. "{host}" in it stands for the site's host.
struct TMarker {
  std::string Text;
  bool HasHost = false;
};

// Where one value stands on a page.
struct TCut {
  // Begin steps, looked for in order; each step's texts are alternatives, the first that occurs
  // is used.
  std::vector<std::vector<TMarker>> Begin;
  TMarker End;
  // The last begin text opens an element that may carry attributes: the value starts behind the
  // next ">".
  bool Attributes = false;
  // An absent begin text is not special: it counts as found at position 0, so the value starts
  // at the byte its length numbers (the title's old rule). Otherwise the value is empty.
  bool AbsentAtZero = false;
  // The end text is looked for from the second byte of the last begin text instead of behind it.
  bool EndFromBegin = false;
  // The value keeps this many of the begin text's last bytes.
  int32_t Keep = 0;
  bool Defined() const { return !Begin.empty(); }
};

// A date pattern such as "dd.mm.yyyy": d, m and y mark the fields' bytes, "?" any byte, anything
// else a byte that must be there for the pattern to fit.
struct TDateFormat {
  std::string Pattern;
  int64_t Year = 0, YearLength = 0, Month = 0, MonthLength = 0, Day = 0, DayLength = 0;  // 1-based
};

struct TLayout {
  std::string Name;
  std::string Origin;  // "built in" or the file it came from
  std::vector<std::string> Recognise;  // every one must occur in a page of this layout
  std::string SignIn;  // the sign-in link a page saved without signing in has
  std::array<TCut, kValueCount> Cuts;
  std::vector<TDateFormat> DateFormats;  // hidden.date
  TMarker HintShownDecoded;  // on the page: the hint is shown decoded, not in ROT13
  TWaypointCells Cells;
  TMarker WaypointGuid{"http://{host}/seek/wpt.aspx?WID=", true};  // the text a waypoint's GUID follows

  const TCut& Cut(TValue value) const { return Cuts[static_cast<size_t>(value)]; }
};

// A layout file with a mistake: "<file>:<line>: <what is wrong>".
class ELayoutError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The layouts of one file's text, in their order. A section may start from a layout of `known`
// or of the file (base = <name>). Throws ELayoutError naming `origin` and the line.
std::vector<TLayout> ParseLayouts(std::string_view text, const std::string& origin, const std::vector<TLayout>& known);

class TLayoutTable {
 public:
  std::vector<TLayout> Layouts;
  // The layout files refused, each with its file, line and what is wrong.
  std::vector<std::string> Problems;

  // The first layout all of whose recognising texts occur in `page`; null when none.
  const TLayout* Recognise(std::string_view page) const;
  // A page saved without signing in: it has a layout's sign-in link and no layout's coordinate
  // element.
  bool SignedOut(std::string_view page) const;
  // "no known layout: the page has none of ...", naming for each layout the first of its
  // recognising texts the page lacks.
  std::string NoLayoutCause(std::string_view page) const;
};

// The built-in layouts, read once.
std::shared_ptr<const TLayoutTable> BuiltInLayouts();
// The built-in layouts with the files <folder>*.ini over them, in name order: a layout of a
// built-in one's name replaces it in its place, others follow. A file with a mistake is left out
// whole and named in Problems. A missing folder is no problem.
std::shared_ptr<const TLayoutTable> LoadLayouts(const std::string& folder);

// The text of one value of `page`, a view into it; empty when it is not there. `found` (if given)
// tells whether the begin texts occurred at all.
std::string_view CutValue(std::string_view page, const TCut& cut, std::string_view host, bool* found = nullptr);

// `date` written as yyyy-mm-dd through the first of `formats` that fits it (the last when none
// does). Nothing is validated.
std::string LayoutDate(std::string_view date, const std::vector<TDateFormat>& formats);

}  // namespace listing
