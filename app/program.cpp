#include <cstdio>

#include "app/main_form.h"
#include "runtime/codepage.h"

namespace app {

int RunProgram(const std::vector<std::string>& utf8Arguments) {
  std::vector<std::string> codes;
  codes.reserve(utf8Arguments.size());
  for (const std::string& a : utf8Arguments) codes.push_back(runtime::Utf8ToAnsi(a));

  if (codes.empty()) {
    // The window arrives with the GUI; until then the program only converts.
    std::fputs(
        "usage: tamvirel CODE...\n"
        "Converts the listing page saved as tmp/htmlcopy.htm in the data folder\n"
        "($XDG_DATA_HOME/tamvirel, by default ~/.local/share/tamvirel) into tmp/<code>.sql,\n"
        "once for each code given.\n",
        stdout);
    return 0;
  }

  TKelthornF form(std::move(codes));
  form.FormCreate();
  // Without a window to fall back to, the codes are converted whatever the session's state:
  // the conversion itself does not need the site.
  form.RunBatch();
  return 0;
}

}  // namespace app
