#include "app/gui_loop.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Return_Button.H>
#include <FL/Fl_Window.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#include <poll.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "net/application.h"
#include "platform/message_queue.h"
#include "runtime/codepage.h"

namespace app {
namespace {

TGuiLoop* gCurrent = nullptr;

constexpr const char* kMessageCaption = "tamvirel";

}  // namespace

std::string EscapeLabel(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (char c : utf8) {
    out += c;
    if (c == '@') out += '@';
  }
  return out;
}

bool OpenDisplay() {
  if (fl_display != nullptr) return true;
  const char* name = std::getenv("DISPLAY");
  if (name == nullptr || name[0] == '\0') return false;
  // Opened here rather than by the toolkit, which ends the process when it cannot.
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return false;
  fl_open_display(display);
  return true;
}

TGuiLoop::TGuiLoop() {
  gCurrent = this;
  FDisplayFd = ConnectionNumber(fl_display);
  // Called from inside any platform wait, including the nested loop of a pending request:
  // handling a click here may start another request (the window's guard decides).
  platform::RegisterWaitDescriptor(FDisplayFd, POLLIN, [this](int, short) {
    Fl::check();  // may re-enter
    if (OnIdle) OnIdle();
    Fl::flush();
  });
  FPreviousPump = net::SetApplicationMessagePump([this] { ProcessPending(); });
  FPreviousBox = runtime::SetMessageBoxHandler(ShowModalMessage);
}

TGuiLoop::~TGuiLoop() {
  runtime::SetMessageBoxHandler(std::move(FPreviousBox));
  net::SetApplicationMessagePump(std::move(FPreviousPump));
  platform::UnregisterWaitDescriptor(FDisplayFd);
  gCurrent = nullptr;
}

TGuiLoop* TGuiLoop::Current() { return gCurrent; }

void TGuiLoop::ProcessPending() {
  platform::MSG msg;
  while (platform::PeekMessage(&msg, nullptr, 0, 0, platform::PM_REMOVE)) {
    if (msg.message == platform::WM_QUIT) {
      net::SetApplicationTerminated(true);
      break;
    }
    platform::TranslateMessage(&msg);
    platform::DispatchMessage(&msg);  // may re-enter
  }
  // Also drains events that the display library has already read off the connection: those
  // would never make its descriptor readable again.
  Fl::check();  // may re-enter
  if (OnIdle) OnIdle();
  Fl::flush();
}

void TGuiLoop::WaitOnce(unsigned maxWaitMs) {
  platform::MsgWaitForMultipleObjects(0, nullptr, false, std::min(maxWaitMs, kToolkitSliceMs),
                                      platform::QS_ALLINPUT);
  ProcessPending();
}

void TGuiLoop::RunUntil(const std::function<bool()>& done) {
  ProcessPending();
  while (!done()) WaitOnce();
}

void ShowModalMessage(const std::string& text) {
  // Once the user has closed the window, what a request that was pending has to say would
  // only keep a program without a window alive.
  if (net::ApplicationTerminated()) return;
  std::unique_ptr<TGuiLoop> own;
  TGuiLoop* loop = TGuiLoop::Current();
  if (loop == nullptr) {
    own = std::make_unique<TGuiLoop>();
    loop = own.get();
  }

  std::string label = EscapeLabel(runtime::AnsiToUtf8(text));
  fl_font(FL_HELVETICA, kFontSize);
  int textW = 0;
  int textH = 0;
  fl_measure(label.c_str(), textW, textH);
  constexpr int kMaxTextW = 460;
  if (textW > kMaxTextW) {
    textW = kMaxTextW;
    textH = 0;
    fl_measure(label.c_str(), textW, textH);  // wrapped at the given width
  }
  // The label gets a few pixels more than it measured: drawn with wrapping, a text exactly as
  // wide as its box breaks before its last word.
  const int w = std::max(textW + 48, 160);
  const int h = textH + 75;

  Fl_Window box(w, h, kMessageCaption);
  Fl_Box message(20, 18, w - 32, textH);
  message.copy_label(label.c_str());
  message.labelfont(FL_HELVETICA);
  message.labelsize(kFontSize);
  message.align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_WRAP);
  Fl_Return_Button ok((w - 75) / 2, h - 40, 75, 25, "OK");
  ok.labelsize(kFontSize);
  ok.callback([](Fl_Widget* button, void*) { button->window()->hide(); });
  box.end();
  box.set_modal();
  box.position((Fl::w() - w) / 2, (Fl::h() - h) / 2);
  box.show();
  while (box.shown()) loop->WaitOnce();
}

}  // namespace app
