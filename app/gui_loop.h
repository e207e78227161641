#pragma once
// One thread, one loop. The toolkit's display connection joins the platform's wait
// (RegisterWaitDescriptor), and the application's message pump also handles toolkit events, so
// window events, socket events and timers all run in whichever loop waits at the moment: the
// window's own loop below, or the nested loop of a request that is pending.
//
// Re-entrancy: handling a window event may start a request, whose nested loop handles window
// events again. The toolkit allows nested waits; the window guards its own buttons.

#include <functional>
#include <string>

#include "runtime/message_box.h"

namespace app {

// The window's font size in pixels: 8 points at 96 pixels per inch.
inline constexpr int kFontSize = 11;

// `utf8` as a toolkit label that shows it literally: "@" would otherwise start a symbol.
std::string EscapeLabel(const std::string& utf8);

// Opens the display that DISPLAY names, once. False when there is none; nothing is shown then.
bool OpenDisplay();

// Shows `text` (Windows-1250) in a modal box and returns when the user has closed it; platform
// messages keep being handled meanwhile. The display must be open.
void ShowModalMessage(const std::string& text);

// Binds the toolkit to the platform's wait for its lifetime; at most one exists at a time. While
// it lives, message boxes are modal dialogs. Requires an open display.
class TGuiLoop {
 public:
  TGuiLoop();
  ~TGuiLoop();
  TGuiLoop(const TGuiLoop&) = delete;
  TGuiLoop& operator=(const TGuiLoop&) = delete;

  // The loop that lives now, or nullptr.
  static TGuiLoop* Current();

  // Handles what is pending now: platform messages, then toolkit events, then OnIdle and the
  // redraws that follow.
  void ProcessPending();

  // Waits at most `maxWaitMs` for input of any kind, then handles what is pending.
  void WaitOnce(unsigned maxWaitMs = kToolkitSliceMs);

  // Runs until `done` returns true (checked after each round).
  void RunUntil(const std::function<bool()>& done);

  // Runs after every round (the window shows what the program changed meanwhile).
  std::function<void()> OnIdle;

  // The toolkit keeps timers of its own (tooltips, repeats) that the platform's wait cannot see,
  // so no wait in this loop lasts longer than this.
  static constexpr unsigned kToolkitSliceMs = 50;

 private:
  int FDisplayFd = -1;
  std::function<void()> FPreviousPump;
  runtime::TMessageBoxHandler FPreviousBox;
};

}  // namespace app
