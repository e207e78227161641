#include <cstdio>

#include "app/gui_loop.h"
#include "app/main_form.h"
#include "app/main_window.h"
#include "runtime/codepage.h"
#include "runtime/message_box.h"

namespace app {
namespace {

int NoDisplay() {
  std::fputs(
      "tamvirel: cannot open the window: no display (DISPLAY is not set or the X server cannot be reached)\n",
      stderr);
  return 1;
}

// GUI mode: shows the window and runs the loop until the user closes it.
int RunWindow(TKelthornF& form) {
  TGuiLoop loop;
  TMainWindow window(form);
  loop.OnIdle = [&window] { window.Refresh(); };
  window.Show();
  loop.RunUntil([&window] { return !window.Shown(); });
  return 0;
}

// A message during start-up with codes: a failed login there leads to the window, so the
// display is opened for it; batch mode, which needs no message there, never touches it.
void ShowStartupMessage(const std::string& text) {
  if (OpenDisplay()) {
    ShowModalMessage(text);
  } else {
    std::fprintf(stderr, "%s\n", runtime::AnsiToUtf8(text).c_str());
  }
}

}  // namespace

int RunProgram(const std::vector<std::string>& utf8Arguments) {
  std::vector<std::string> codes;
  codes.reserve(utf8Arguments.size());
  for (const std::string& a : utf8Arguments) codes.push_back(runtime::Utf8ToAnsi(a));

  if (codes.empty()) {
    if (!OpenDisplay()) return NoDisplay();
    TKelthornF form({});
    form.FormCreate();
    return RunWindow(form);
  }

  TKelthornF form(std::move(codes));
  runtime::TMessageBoxHandler previous = runtime::SetMessageBoxHandler(ShowStartupMessage);
  form.FormCreate();
  runtime::SetMessageBoxHandler(std::move(previous));
  if (!form.SignedIn) {
    // No session: the window opens and the codes wait for the user.
    if (!OpenDisplay()) return NoDisplay();
    return RunWindow(form);
  }
  // Batch mode: messages go to standard error, so an unattended run never waits on a box.
  form.RunBatch();
  return 0;
}

}  // namespace app
