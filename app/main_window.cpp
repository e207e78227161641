#include "app/main_window.h"

// The program's own headers come before the toolkit's: the X headers under it define names
// such as None as macros.
#include "app/gui_loop.h"
#include "app/listings_table.h"
#include "app/main_form.h"
#include "app/messages.h"
#include "app/proxy_environment.h"
#include "app/settings.h"
#include "app/waypoint_codes.h"
#include "net/application.h"
#include "runtime/codepage.h"
#include "runtime/file_io.h"
#include "runtime/message_box.h"
#include "store/cache_list.h"
#include "store/gpx_export.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Hold_Browser.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Multiline_Input.H>
#include <FL/Fl_Native_File_Chooser.H>
#include <FL/Fl_Progress.H>
#include <FL/Fl_Secret_Input.H>
#include <FL/Fl_Tabs.H>
#include <FL/Fl_Text_Buffer.H>
#include <FL/Fl_Text_Editor.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#include <X11/Xatom.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <functional>
#include <vector>

namespace app {
namespace {

// The design's 222 x 327 held two tabs of a few controls; the list of caches needs a window
// of its own size. The settings tab keeps its designed places inside it.
constexpr int kWindowWidth = 600;
constexpr int kWindowHeight = 460;
constexpr int kTabRowHeight = 20;
// The tab sheets' client area starts this far in from the page control's corner.
constexpr int kSheetLeft = 4;
constexpr int kSheetTop = kTabRowHeight + 4;
constexpr int kLabelHeight = 13;

bool IsEnterKey() { return Fl::event_key() == FL_Enter || Fl::event_key() == FL_KP_Enter; }

// A flat speed button: no frame until the pointer is over it. Tab reaches it, and Enter or
// the space bar presses it, so the window works from the keyboard alone.
class TFlatButton : public Fl_Button {
 public:
  TFlatButton(int x, int y, int w, int h, const char* label = nullptr) : Fl_Button(x, y, w, h, label) {
    box(FL_FLAT_BOX);
    down_box(FL_THIN_DOWN_BOX);
    labelsize(kFontSize);
  }
  int handle(int event) override {
    if (event == FL_ENTER || event == FL_LEAVE) {
      box(event == FL_ENTER ? FL_THIN_UP_BOX : FL_FLAT_BOX);
      redraw();
    }
    if (event == FL_KEYBOARD && Fl::focus() == this && IsEnterKey()) {
      do_callback();  // may re-enter
      return 1;
    }
    return Fl_Button::handle(event);
  }
};

// The password field: Enter in it signs in, as the Login button does.
class TPasswordEdit : public Fl_Secret_Input {
 public:
  using Fl_Secret_Input::Fl_Secret_Input;
  std::function<void()> OnEnter;
  int handle(int event) override {
    if (event == FL_KEYBOARD && IsEnterKey() && OnEnter) {
      OnEnter();  // may re-enter
      return 1;
    }
    return Fl_Secret_Input::handle(event);
  }
};

// The window. Tab and Shift+Tab go round the controls of the shown tab and the tab row (where
// the arrow keys change the tab); the toolkit alone would stop at the last control of a group.
class TFormWindow : public Fl_Double_Window {
 public:
  using Fl_Double_Window::Fl_Double_Window;
  std::vector<Fl_Widget*> TabOrder;  // the tab row first
  int handle(int event) override {
    if (Fl_Double_Window::handle(event)) return 1;
    if (event != FL_KEYBOARD || Fl::event_key() != FL_Tab || TabOrder.empty() ||
        (Fl::event_state() & (FL_CTRL | FL_ALT | FL_META)))
      return 0;
    const int n = static_cast<int>(TabOrder.size());
    int at = 0;
    for (int i = 0; i < n; ++i)
      if (TabOrder[i] == Fl::focus() || (TabOrder[i] != TabOrder[0] && TabOrder[i]->contains(Fl::focus()))) at = i;
    const int step = (Fl::event_state() & FL_SHIFT) ? n - 1 : 1;
    for (int k = 1; k <= n; ++k) {
      Fl_Widget* next = TabOrder[(at + k * step) % n];
      if (!next->visible_r() || !next->active_r()) continue;
      // The tab row would hand the focus on to its first control; it keeps it here instead.
      if (next == TabOrder[0]) {
        Fl::focus(next);
        next->redraw();
        return 1;
      }
      if (next->take_focus()) return 1;
    }
    return 0;
  }
};

// A label as the form's designer places it: top-left corner given, as wide as its text.
Fl_Box* MakeLabel(int x, int y, const char* utf8) {
  fl_font(FL_HELVETICA, kFontSize);
  auto* box = new Fl_Box(x, y, static_cast<int>(fl_width(utf8)) + 2, kLabelHeight);
  box->copy_label(EscapeLabel(utf8).c_str());
  box->labelsize(kFontSize);
  box->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE);
  return box;
}

Fl_Input* MakeEdit(int x, int y, int w, int h, bool masked) {
  Fl_Input* input = masked ? new TPasswordEdit(x, y, w, h) : new Fl_Input(x, y, w, h);
  input->textsize(kFontSize);
  input->textfont(FL_HELVETICA);
  input->when(FL_WHEN_CHANGED);
  return input;
}

// A colour value (0x00BBGGRR, or a system colour) as the toolkit's colour.
Fl_Color ToToolkitColor(uint32_t value, Fl_Color systemColor) {
  if (value & 0x80000000u) return systemColor;
  return fl_rgb_color(static_cast<uchar>(value & 0xFF), static_cast<uchar>((value >> 8) & 0xFF),
                      static_cast<uchar>((value >> 16) & 0xFF));
}

bool IsUtf8(const std::string& text) {
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    const auto c = static_cast<unsigned char>(text[i]);
    size_t extra;
    if (c < 0x80)
      extra = 0;
    else if (c >= 0xC2 && c <= 0xDF)
      extra = 1;
    else if ((c & 0xF0) == 0xE0)
      extra = 2;
    else if (c >= 0xF0 && c <= 0xF4)
      extra = 3;
    else
      return false;
    if (n - i <= extra) return false;
    for (size_t k = 1; k <= extra; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    i += extra + 1;
  }
  return true;
}

// A memo line: the long description holds the page's bytes, which the site sends as UTF-8;
// shown through the code page they would turn every accented letter into two wrong ones.
// Text that is not valid UTF-8 is the program's own Windows-1250.
std::string MemoText(const std::string& line) { return IsUtf8(line) ? line : runtime::AnsiToUtf8(line); }

// A long description as the database keeps it: a database of the first schema holds its line
// breaks as the SQL files write them, "#13;#10;".
std::string StoredDescription(std::string text) {
  for (size_t at = 0; (at = text.find("#13;", at)) != std::string::npos;) text.replace(at, 4, "\r");
  for (size_t at = 0; (at = text.find("#10;", at)) != std::string::npos;) text.replace(at, 4, "\n");
  return text;
}

// "1:05" (minutes and seconds) or "1:02:05".
std::string Duration(double seconds) {
  const long total = seconds < 0 ? 0 : static_cast<long>(seconds + 0.5);
  char text[32];
  if (total >= 3600)
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
  else
    std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
  return text;
}

// The command line's words for codes it refuses, naming each.
std::string NotCodesText(const std::vector<std::string>& bad) {
  std::string text = bad.size() == 1 ? "not a waypoint code: " : "not waypoint codes: ";
  for (size_t i = 0; i < bad.size(); ++i) text += (i > 0 ? ", \"" : "\"") + bad[i] + "\"";
  return text + " (codes are ASCII letters and digits)";
}

// While a download runs: the messages the rows already carry (a failed code's) are dropped,
// the others kept to be shown in one box at its end.
class TMessagesHeld {
 public:
  explicit TMessagesHeld(const std::vector<std::string>& codes)
      : FPrevious(runtime::SetMessageBoxHandler([this, &codes](const std::string& text) {
          for (const std::string& code : codes)
            if (text.starts_with(std::string(kErrorMessage) + code + ": ")) return;
          Texts.push_back(text);
        })) {}
  ~TMessagesHeld() { Restore(); }
  TMessagesHeld(const TMessagesHeld&) = delete;
  TMessagesHeld& operator=(const TMessagesHeld&) = delete;

  void Restore() {
    if (!FRestored) runtime::SetMessageBoxHandler(std::move(FPrevious));
    FRestored = true;
  }
  // Shows what was kept, after Restore.
  void Show() const {
    std::string all;
    for (const std::string& text : Texts) all += (all.empty() ? "" : "\n") + text;
    if (!all.empty()) runtime::ShowMessage(all);
  }
  std::vector<std::string> Texts;

 private:
  runtime::TMessageBoxHandler FPrevious;
  bool FRestored = false;
};

TListingRow RowOf(const std::string& code) {
  TListingRow row;
  row.Code = code;
  return row;
}

void SetRow(TListingRow& row, const store::TCacheRow& cache) {
  row.Name = MemoText(cache.Name);
  row.Type = MemoText(cache.Type);
  row.DifficultyTerrain = cache.Difficulty.empty() && cache.Terrain.empty() ? "" : cache.Difficulty + "/" + cache.Terrain;
  row.ConvertedAt = MemoText(cache.ConvertedAt);
}

void CloseUnlessEscape(Fl_Widget* window, void* form) {
  // The toolkit closes a window on Escape; this one closes only from its frame, as designed.
  if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape) return;
  window->hide();
  // Closing the main window ends the program: a request pending now gives up at its next wake
  // instead of running on, unseen, until its time-out, and a download tries no further code.
  net::SetApplicationTerminated(true);
  static_cast<TKelthornF*>(form)->StopRequested = true;
}

Fl_Button* MakeButton(int x, int y, int w, int h, const char* label) {
  auto* button = new Fl_Button(x, y, w, h, label);
  button->labelsize(kFontSize);
  return button;
}

}  // namespace

TMainWindow::TMainWindow(TKelthornF& form) : FForm(form), FMemoBuffer(std::make_unique<Fl_Text_Buffer>()) {
  Build();
  LoadFields();
}

TMainWindow::~TMainWindow() = default;

void TMainWindow::Build() {
  auto window = std::make_unique<TFormWindow>(kWindowWidth, kWindowHeight, "Download listing");
  TFormWindow* frame = window.get();
  FWindow = std::move(window);
  FWindow->xclass("tamvirel");
  FWindow->labelsize(kFontSize);
  FWindow->callback(CloseUnlessEscape, &FForm);

  auto* tabs = new Fl_Tabs(0, 0, kWindowWidth, kWindowHeight);
  tabs->labelsize(kFontSize);
  FControls.PageControl1 = tabs;

  const int sheetY = kTabRowHeight;
  const int sheetH = kWindowHeight - kTabRowHeight;
  const int ox = kSheetLeft;
  const int oy = kSheetTop;

  // ---- first tab: credentials and proxy ----
  auto* sheet1 = new Fl_Group(0, sheetY, kWindowWidth, sheetH, "Settings");
  sheet1->labelsize(kFontSize);
  sheet1->clip_children(1);
  FControls.TabSheet1 = sheet1;

  MakeLabel(ox + 8, oy - 1, "Prihlasovacie meno");
  FControls.Edit1 = MakeEdit(ox + 8, oy + 18, 105, 21, false);
  MakeLabel(ox + 8, oy + 43, "Heslo");
  FControls.Edit2 = MakeEdit(ox + 8, oy + 62, 103, 21, true);
  static_cast<TPasswordEdit*>(FControls.Edit2)->OnEnter = [this] { RunRequestHandler([this] { FForm.Login(); }); };
  FControls.SpeedButton2 = new TFlatButton(ox + 130, oy + 62, 55, 22, "Login");
  FControls.SpeedButton2->callback(
      [](Fl_Widget*, void* self) {
        auto* view = static_cast<TMainWindow*>(self);
        view->RunRequestHandler([view] { view->FForm.Login(); });
      },
      this);

  const int gx = ox + 8;
  const int gy = oy + 99;
  auto* group = new Fl_Group(gx, gy, 153, 140);
  FControls.GroupBox12 = group;
  {
    // The frame runs through the middle of the caption line; the caption covers it.
    auto* frame = new Fl_Box(gx, gy + kLabelHeight / 2, 153, 140 - kLabelHeight / 2);
    frame->box(FL_ENGRAVED_FRAME);
    Fl_Box* caption = MakeLabel(gx + 8, gy, "Proxy");
    caption->labelfont(FL_HELVETICA_BOLD);
    fl_font(FL_HELVETICA_BOLD, kFontSize);
    caption->size(static_cast<int>(fl_width("Proxy")) + 4, kLabelHeight);
    caption->box(FL_FLAT_BOX);

    FControls.SpeedButton276 = new TFlatButton(gx + 101, gy + 8, 44, 22, "Detect");
    FControls.SpeedButton276->callback([](Fl_Widget*, void* self) { static_cast<TMainWindow*>(self)->DetectProxy(); },
                                       this);
    FControls.CheckBox32 = new Fl_Check_Button(gx + 6, gy + 13, 70, 17, "pou\xC5\xBE\xC3\xADvaj");
    FControls.CheckBox32->labelsize(kFontSize);
    FControls.CheckBox32->callback([](Fl_Widget* w, void* self) {
      static_cast<TMainWindow*>(self)->FForm.CheckBox32 = static_cast<Fl_Check_Button*>(w)->value() != 0;
    }, this);
    FControls.Edit48 = MakeEdit(gx + 6, gy + 33, 96, 21, false);
    FControls.Edit49 = MakeEdit(gx + 6, gy + 57, 96, 21, false);
    FControls.Edit50 = MakeEdit(gx + 6, gy + 80, 96, 21, false);
    FControls.Edit51 = MakeEdit(gx + 6, gy + 104, 96, 21, true);
    MakeLabel(gx + 109, gy + 38, "IP");
    MakeLabel(gx + 109, gy + 62, "port");
    MakeLabel(gx + 109, gy + 88, "meno");
    MakeLabel(gx + 109, gy + 112, "heslo");
  }
  group->end();
  sheet1->end();

  // ---- second tab: codes, the download and its list, the conversion, memo and attributes ----
  auto* sheet2 = new Fl_Group(0, sheetY, kWindowWidth, sheetH, kListingsTab);
  sheet2->labelsize(kFontSize);
  sheet2->clip_children(1);
  FControls.TabSheet2 = sheet2;
  const int right = kWindowWidth - 12;
  // The controls above the list keep their places and sizes when the window grows.
  auto* top = new Fl_Group(12, oy + 4, right - 12, 78);
  MakeLabel(12, oy + 4, "Waypoint codes (blanks, commas or line breaks between them)");
  FControls.Codes = new Fl_Multiline_Input(12, oy + 20, 290, 62);
  FControls.Codes->textsize(kFontSize);
  FControls.Codes->textfont(FL_HELVETICA);
  FControls.Codes->wrap(1);
  FControls.Download = MakeButton(310, oy + 20, 80, 24, "Download");
  FControls.Download->callback([](Fl_Widget*, void* self) { static_cast<TMainWindow*>(self)->StartDownload(); }, this);
  FControls.Stop = MakeButton(396, oy + 20, 60, 24, "Stop");
  // Only sets a flag that the download reads between codes: it runs inside the download's wait.
  FControls.Stop->callback([](Fl_Widget*, void* self) { static_cast<TMainWindow*>(self)->FForm.StopRequested = true; },
                           this);
  FControls.Stop->deactivate();
  FControls.ExportGpx = MakeButton(462, oy + 20, 96, 24, kExportGpxCaption);
  FControls.ExportGpx->callback([](Fl_Widget*, void* self) { static_cast<TMainWindow*>(self)->ExportGpxFile(); },
                                this);
  FControls.SpeedButton1 = new TFlatButton(306, oy + 56, 196, 24, kConvertCaption);
  FControls.SpeedButton1->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE);
  FControls.SpeedButton1->callback([](Fl_Widget*, void* self) { static_cast<TMainWindow*>(self)->ConvertLastPage(); },
                                   this);
  top->end();
  top->resizable(nullptr);
  FControls.Progress = new Fl_Progress(12, oy + 88, right - 12, 20);
  FControls.Progress->labelsize(kFontSize);
  FControls.Progress->selection_color(fl_rgb_color(80, 150, 220));
  SetProgress(0, 1, "");
  FControls.Listings = new TListingsTable(12, oy + 112, right - 12, 176);
  FControls.Listings->OnOpen = [this](int row) { OpenListing(row); };
  FControls.Listings->OnSelectionChanged = [this] { ShowDetail(); };
  FControls.Detail = new Fl_Box(12, oy + 290, right - 12, 16);
  FControls.Detail->labelsize(kFontSize);
  FControls.Detail->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_CLIP);
  FControls.Memo1 = new Fl_Text_Editor(12, oy + 310, 360, 118);
  FControls.Memo1->buffer(FMemoBuffer.get());
  FControls.Memo1->textsize(kFontSize);
  FControls.Memo1->textfont(FL_HELVETICA);
  FControls.Memo1->wrap_mode(Fl_Text_Display::WRAP_AT_BOUNDS, 0);
  // Tab leaves the memo instead of going into it.
  FControls.Memo1->add_key_binding(FL_Tab, FL_TEXT_EDITOR_ANY_STATE, [](int, Fl_Text_Editor*) { return 0; });
  FControls.LboxAttr = new Fl_Hold_Browser(378, oy + 310, right - 378, 118);
  FControls.LboxAttr->textsize(kFontSize);
  FControls.LboxAttr->format_char(0);  // items are data, not formatting
  sheet2->end();

  tabs->end();
  tabs->value(sheet1);
  FWindow->end();

  // A larger window gives the room to the list; the settings keep their places and sizes.
  FWindow->resizable(tabs);
  tabs->resizable(sheet1);
  sheet1->resizable(nullptr);
  sheet2->resizable(FControls.Listings);
  FWindow->size_range(kWindowWidth, kWindowHeight);
  const TMainWindowControls& c = FControls;
  frame->TabOrder = {tabs,     c.Edit1,  c.Edit2,    c.SpeedButton2, c.SpeedButton276, c.CheckBox32,
                     c.Edit48, c.Edit49, c.Edit50,   c.Edit51,       c.Codes,          c.Download,
                     c.Stop,   c.ExportGpx,    c.SpeedButton1, c.Listings, c.Memo1, c.LboxAttr};

  FBindings = {{FControls.Edit1, &TKelthornF::Edit1},   {FControls.Edit2, &TKelthornF::Edit2},
               {FControls.Edit48, &TKelthornF::Edit48}, {FControls.Edit49, &TKelthornF::Edit49},
               {FControls.Edit50, &TKelthornF::Edit50}, {FControls.Edit51, &TKelthornF::Edit51}};
  for (const TInputBinding& b : FBindings) b.Input->callback(InputChanged, this);
}

void TMainWindow::InputChanged(Fl_Widget* widget, void* self) {
  auto* view = static_cast<TMainWindow*>(self);
  for (const TInputBinding& b : view->FBindings)
    if (b.Input == widget) view->FForm.*b.Field = runtime::Utf8ToAnsi(b.Input->value());
}

void TMainWindow::LoadFields() {
  for (const TInputBinding& b : FBindings) b.Input->value(runtime::AnsiToUtf8(FForm.*b.Field).c_str());
  FControls.CheckBox32->value(FForm.CheckBox32 ? 1 : 0);
  FControls.LboxAttr->clear();
  for (const std::string& item : FForm.LboxAttr) FControls.LboxAttr->add(runtime::AnsiToUtf8(item).c_str());
  LoadCacheList();
  // Codes of a command line that found no session wait in the field for a sign-in and Download.
  std::string codes;
  for (const std::string& code : FForm.Arguments()) codes += (codes.empty() ? "" : " ") + code;
  FControls.Codes->value(runtime::AnsiToUtf8(codes).c_str());
  ShowMemoFromStart();
  // Forces the colours to be applied on the next refresh.
  FShownColor = ~FForm.Edit1Color;
  Refresh();
}

void TMainWindow::ShowMemoFromStart() {
  FMemoBuffer->text("");
  FMemoLinesShown = 0;
  Refresh();
}

void TMainWindow::Refresh() {
  const std::vector<std::string>& lines = FForm.Memo1;
  if (lines.size() < FMemoLinesShown) {
    ShowMemoFromStart();
    return;
  }
  for (; FMemoLinesShown < lines.size(); ++FMemoLinesShown) {
    std::string text = MemoText(lines[FMemoLinesShown]);
    std::string shown;
    shown.reserve(text.size() + 1);
    if (FMemoLinesShown > 0) shown += '\n';
    // The memo shows a line break as one; "\r\n" in a description would show a stray box.
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '\r') {
        if (i + 1 < text.size() && text[i + 1] == '\n') continue;
        shown += '\n';
      } else {
        shown += text[i];
      }
    }
    FMemoBuffer->append(shown.c_str());
  }

  if (FForm.Edit1Color != FShownColor || FForm.Edit1FontColor != FShownFontColor) {
    FShownColor = FForm.Edit1Color;
    FShownFontColor = FForm.Edit1FontColor;
    FControls.Edit1->color(ToToolkitColor(FShownColor, FL_BACKGROUND2_COLOR));
    FControls.Edit1->textcolor(ToToolkitColor(FShownFontColor, FL_FOREGROUND_COLOR));
    FControls.Edit1->redraw();
  }
}

void TMainWindow::RunRequestHandler(const std::function<void()>& handler) {
  // A request runs a nested loop that handles clicks too. The client carries one request at a
  // time and a second start would replace the pending one's properties, so ignore the click.
  if (FBusy) return;
  struct TBusy {
    bool& Flag;
    explicit TBusy(bool& flag) : Flag(flag) { Flag = true; }
    ~TBusy() { Flag = false; }
  } busy(FBusy);
  try {
    handler();  // may re-enter
  } catch (const std::exception& e) {
    net::ApplicationHandleException(e);
  }
  Refresh();
}

void TMainWindow::Show() {
  FWindow->position((Fl::w() - kWindowWidth) / 2, (Fl::h() - kWindowHeight) / 2);
  FWindow->show();
  // Minimise, close and resize but no maximise, for window managers that read these hints; the
  // maximum size hint, no larger than the controls need, keeps the others from filling the screen.
  struct {
    unsigned long flags, functions, decorations;
    long inputMode;
    unsigned long status;
  } hints = {1 | 2, 2 | 4 | 8 | 32, 2 | 4 | 8 | 16 | 32, 0, 0};
  Atom property = XInternAtom(fl_display, "_MOTIF_WM_HINTS", False);
  XChangeProperty(fl_display, fl_xid(FWindow.get()), property, property, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(&hints), 5);
  XFlush(fl_display);
}

bool TMainWindow::Shown() const { return FWindow->shown() != 0; }

void TMainWindow::LoadCacheList() {
  TListingsTable& table = *FControls.Listings;
  std::vector<store::TCacheRow> caches;
  std::string failure;
  try {
    if (!FForm.DatabaseFile.empty()) caches = store::ReadCacheList(FForm.DatabaseFile);
  } catch (const std::exception& e) {
    failure = e.what();
  }
  // The rows of a download keep their place and state; the database gives them their details.
  std::vector<TListingRow> rows;
  for (const TListingRow& row : table.Rows())
    if (!row.State.empty()) rows.push_back(row);
  const size_t downloaded = rows.size();
  for (const store::TCacheRow& cache : caches) {
    TListingRow* row = nullptr;
    for (size_t i = 0; i < downloaded && row == nullptr; ++i)
      if (rows[i].Code == cache.Code) row = &rows[i];
    if (row == nullptr) row = &rows.emplace_back(RowOf(cache.Code));
    SetRow(*row, cache);
  }
  table.Rows() = std::move(rows);
  table.select_all_rows(0);
  table.RowsChanged();
  if (!failure.empty()) FControls.Detail->copy_label(EscapeLabel(failure).c_str());
}

void TMainWindow::ShowDetail() {
  const TListingsTable& table = *FControls.Listings;
  const int row = table.FocusedRow();
  std::string text;
  if (row >= 0 && row < static_cast<int>(table.Rows().size())) {
    const TListingRow& r = table.Rows()[static_cast<size_t>(row)];
    text = r.Code + (r.Detail.empty() ? (r.Name.empty() ? "" : ": " + r.Name) : ": " + r.State + ": " + r.Detail);
  }
  FControls.Detail->labelcolor(text.find(std::string(": ") + kStateFailed + ": ") != std::string::npos
                                   ? FL_RED
                                   : FL_FOREGROUND_COLOR);
  FControls.Detail->copy_label(EscapeLabel(text).c_str());
  FControls.Detail->redraw();
}

void TMainWindow::OpenListing(int row) {
  const std::vector<TListingRow>& rows = FControls.Listings->Rows();
  if (row < 0 || row >= static_cast<int>(rows.size())) return;
  std::string description;
  try {
    description = store::ReadLongDescription(FForm.DatabaseFile, rows[static_cast<size_t>(row)].Code);
  } catch (const std::exception& e) {
    FControls.Detail->copy_label(EscapeLabel(e.what()).c_str());
    return;
  }
  if (description.empty()) description = rows[static_cast<size_t>(row)].Code + ": the database holds no description";
  FForm.Memo1 = {StoredDescription(description)};
  ShowMemoFromStart();
  FControls.Memo1->insert_position(0);
  FControls.Memo1->scroll(0, 0);
}

void TMainWindow::DetectProxy() {
  std::string problem;
  const std::optional<TProxySetting> proxy = ProxyFromEnvironment(problem);
  if (!proxy) {
    runtime::ShowMessage(runtime::Utf8ToAnsi(problem.empty() ? kNoProxyInEnvironment : problem));
    return;
  }
  // Taken as typed: ticked and filled, used by the next request, saved by the next sign-in.
  FForm.Edit48 = runtime::Utf8ToAnsi(proxy->Host);
  FForm.Edit49 = proxy->Port;
  FForm.Edit50 = runtime::Utf8ToAnsi(proxy->User);
  FForm.Edit51 = runtime::Utf8ToAnsi(proxy->Password);
  FForm.CheckBox32 = true;
  for (const TInputBinding& b : FBindings) b.Input->value(runtime::AnsiToUtf8(FForm.*b.Field).c_str());
  FControls.CheckBox32->value(1);
}

namespace {

// The toolkit's own chooser for the file to write; empty when cancelled.
std::string ChooseGpxFile() {
  Fl_Native_File_Chooser chooser;
  chooser.title("Export GPX");
  chooser.type(Fl_Native_File_Chooser::BROWSE_SAVE_FILE);
  chooser.filter("GPX files\t*.gpx");
  chooser.preset_file("listings.gpx");
  chooser.options(Fl_Native_File_Chooser::SAVEAS_CONFIRM | Fl_Native_File_Chooser::NEW_FOLDER);
  if (chooser.show() != 0 || chooser.filename() == nullptr) return {};
  return chooser.filename();
}

}  // namespace

void TMainWindow::ExportGpxFile() {
  // The chooser waits in the toolkit's own loop, where a pending request would not be served.
  if (FBusy) return;
  if (FForm.DatabaseFile.empty()) {
    runtime::ShowMessage("No listings database is set (Output/Database is empty): there is nothing to export.");
    return;
  }
  // The selected caches, or all when none is selected.
  const std::vector<std::string> codes = FControls.Listings->SelectedCodes();
  const std::string file = OnChooseGpxFile ? OnChooseGpxFile() : ChooseGpxFile();
  if (file.empty()) return;
  try {
    const store::TGpxExportResult r = store::ExportGpx(FForm.DatabaseFile, codes, file, FForm.HttpHost());
    std::string text = r.Written == 0 ? "No cache to export: " + file + " was not written"
                                      : "Wrote " + std::to_string(r.Written) + (r.Written == 1 ? " cache" : " caches") +
                                            " to " + file;
    if (!r.Missing.empty()) {
      text += "; not in it (not in the database, or without coordinates):";
      for (const std::string& code : r.Missing) text += " " + code;
    }
    runtime::ShowMessage(runtime::Utf8ToAnsi(text + "."));
  } catch (const std::exception& e) {
    runtime::ShowMessage(runtime::Utf8ToAnsi(e.what()));
  }
}

void TMainWindow::ConvertLastPage() {
  // Without a page the conversion could only fail at its first step and sign in for nothing.
  if (!runtime::FileExists(FForm.DataFolder + "tmp/htmlcopy.htm")) {
    runtime::ShowMessage(kNoPageYet);
    return;
  }
  RunRequestHandler([this] { FForm.SpeedButton1Click(); });
}

void TMainWindow::SetProgress(size_t done, size_t count, const std::string& text) {
  FControls.Progress->minimum(0);
  FControls.Progress->maximum(static_cast<float>(count == 0 ? 1 : count));
  FControls.Progress->value(static_cast<float>(done));
  FControls.Progress->copy_label(EscapeLabel(text).c_str());
}

void TMainWindow::StartDownload() {
  if (FBusy) return;
  // A setting the program cannot use stops a download before anything is sent, as it stops a
  // run with codes; the Settings tab is where the window's part of them is mended.
  std::string problem = FForm.SettingsProblem;
  if (problem.empty()) problem = PlaceholderHostProblem(FForm.SiteHost, FForm.DataFolder + kSettingsFileName);
  if (!problem.empty()) {
    FControls.PageControl1->value(FControls.TabSheet1);
    runtime::ShowMessage(runtime::Utf8ToAnsi(problem));
    return;
  }
  const TCodeList list = ParseCodeList(FControls.Codes->value());
  if (!list.Bad.empty()) {
    runtime::ShowMessage(runtime::Utf8ToAnsi(NotCodesText(list.Bad)));
    return;
  }
  if (list.Codes.empty()) {
    runtime::ShowMessage(kNoCodesEntered);
    return;
  }
  RunRequestHandler([this, &list] { RunDownload(list.Codes); });
}

void TMainWindow::RunDownload(const std::vector<std::string>& codes) {
  TListingsTable& table = *FControls.Listings;
  const size_t count = codes.size();
  // The codes of this download go to the top of the list, in the order typed.
  table.PutOnTop(codes, kStateWaiting);
  struct TDownloading {
    TMainWindow& View;
    explicit TDownloading(TMainWindow& view) : View(view) {
      View.FDownloading = true;
      View.FControls.Download->deactivate();
      View.FControls.Stop->activate();
    }
    ~TDownloading() {
      View.FDownloading = false;
      View.FControls.Stop->deactivate();
      View.FControls.Download->activate();
      View.FForm.OnCodeDone = nullptr;
    }
  } downloading(*this);
  const auto started = std::chrono::steady_clock::now();
  SetProgress(0, count, "0 of " + std::to_string(count) + ": signing in");
  FForm.StopRequested = false;
  if (!FForm.SignInIfStale()) {
    const std::string cause = "not signed in: " + runtime::AnsiToUtf8(FForm.LoginFailure.empty()
                                                                          ? std::string(kSignInFailed)
                                                                          : FForm.LoginFailure);
    for (const std::string& code : codes)
      if (TListingRow* row = table.Row(code)) row->State = kStateFailed, row->Detail = cause;
    SetProgress(0, count, "0 of " + std::to_string(count) + ": " + cause);
    table.RowsChanged();
    return;
  }
  if (TListingRow* row = table.Row(codes.front())) row->State = kStateDownloading;
  SetProgress(0, count, "0 of " + std::to_string(count));
  table.RowsChanged();

  // Codes are told about in their order, a converted one once the database has committed it.
  size_t converted = 0, failed = 0, interrupted = 0;
  FForm.OnCodeDone = [&](const TKelthornF::TCodeResult& r) {
    const size_t done = static_cast<size_t>(r.Index);
    if (TListingRow* row = table.Row(r.Code)) {
      if (r.Outcome == TKelthornF::TCodeOutcome::Converted) {
        row->State = kStateConverted, row->Detail.clear(), ++converted;
      } else if (r.Outcome == TKelthornF::TCodeOutcome::Interrupted) {
        // The window was closed while the code's request was pending.
        row->State = kStateSkipped, row->Detail = "interrupted before it was done", ++interrupted;
      } else {
        row->State = kStateFailed, row->Detail = runtime::AnsiToUtf8(r.Cause), ++failed;
      }
    }
    if (done < count && !FForm.StopRequested)
      if (TListingRow* next = table.Row(codes[done])) next->State = kStateDownloading;
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::string text = std::to_string(done) + " of " + std::to_string(count);
    if (FForm.StopRequested && done < count)
      text += ": stopping";
    else if (done < count)
      text += ", about " + Duration(elapsed / static_cast<double>(done) * static_cast<double>(count - done)) + " left";
    SetProgress(done, count, text);
    table.RowsChanged();
  };
  // The list says what became of each code; a box per failed code would hold the download up
  // until someone closes it. Other messages are shown once the download has ended.
  TMessagesHeld held(codes);
  FForm.SetCodes(codes);
  const std::vector<TKelthornF::TCodeResult> results = FForm.RunBatch();
  held.Restore();

  // The conversion button's page is now the last code's.
  if (!results.empty()) FForm.SetCodes({results.back().Code});
  for (size_t i = results.size(); i < count; ++i)
    if (TListingRow* row = table.Row(codes[i])) row->State = kStateSkipped, row->Detail = "stopped before its turn";
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::string summary = std::to_string(results.size()) + " of " + std::to_string(count) + ": " +
                        std::to_string(converted) + " converted, " + std::to_string(failed) + " failed";
  if (const size_t skipped = count - results.size() + interrupted; skipped > 0)
    summary += ", " + std::to_string(skipped) + " skipped";
  SetProgress(results.size(), count, summary + " in " + Duration(elapsed));
  LoadCacheList();
  held.Show();
}

}  // namespace app
