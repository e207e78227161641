#pragma once
// The window "Download listing" on screen: the toolkit's widgets bound to the fields of
// TKelthornF. The form stays the program's model (batch mode uses it without any window);
// this view copies what the user types into it as it is typed, and shows what the program
// changed (the memo, the user-name field's colours) after every round of the loop.
//
// Texts cross between the toolkit (UTF-8) and the program (Windows-1250) here, at the widgets.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class Fl_Browser;
class Fl_Button;
class Fl_Check_Button;
class Fl_Double_Window;
class Fl_Group;
class Fl_Input;
class Fl_Box;
class Fl_Progress;
class Fl_Tabs;
class Fl_Text_Buffer;
class Fl_Text_Editor;
class Fl_Widget;

namespace app {

class TKelthornF;
class TListingsTable;

// The window's own texts (English, as the program's other texts).
inline constexpr const char* kListingsTab = "Listings";
inline constexpr const char* kConvertCaption = "Convert the page downloaded last";
inline constexpr const char* kNoPageYet = "No page downloaded yet: enter codes and press Download";
inline constexpr const char* kNoProxyInEnvironment =
    "No proxy is set in the environment (https_proxy or http_proxy): the proxy fields are left as they are.";
inline constexpr const char* kExportGpxCaption = "Export GPX\xE2\x80\xA6";
inline constexpr const char* kNoCodesEntered = "Enter one or more waypoint codes (such as GC12AB), then press Download.";

// The widgets, named as the form names them, so that tests and the loop can reach them.
struct TMainWindowControls {
  Fl_Tabs* PageControl1 = nullptr;
  Fl_Group* TabSheet1 = nullptr;
  Fl_Group* TabSheet2 = nullptr;
  Fl_Input* Edit1 = nullptr;
  Fl_Input* Edit2 = nullptr;
  Fl_Button* SpeedButton2 = nullptr;
  Fl_Group* GroupBox12 = nullptr;
  Fl_Check_Button* CheckBox32 = nullptr;
  Fl_Input* Edit48 = nullptr;
  Fl_Input* Edit49 = nullptr;
  Fl_Input* Edit50 = nullptr;
  Fl_Input* Edit51 = nullptr;
  Fl_Button* SpeedButton276 = nullptr;
  Fl_Button* SpeedButton1 = nullptr;
  Fl_Text_Editor* Memo1 = nullptr;
  Fl_Browser* LboxAttr = nullptr;
  // The download on the second tab.
  Fl_Input* Codes = nullptr;
  Fl_Button* Download = nullptr;
  Fl_Button* Stop = nullptr;
  Fl_Button* ExportGpx = nullptr;
  Fl_Progress* Progress = nullptr;
  TListingsTable* Listings = nullptr;
  Fl_Box* Detail = nullptr;  // the cause of the row with the focus
};

class TMainWindow {
 public:
  // Builds the widgets (not shown yet) and fills them from the form's fields. The form must
  // outlive the window.
  explicit TMainWindow(TKelthornF& form);
  ~TMainWindow();
  TMainWindow(const TMainWindow&) = delete;
  TMainWindow& operator=(const TMainWindow&) = delete;

  // Shows the window centred on the screen, with minimise but no maximise.
  void Show();
  bool Shown() const;

  // Copies every field of the form into the widgets (after the settings were read).
  void LoadFields();
  // Shows what the program changed since the last call: new memo lines, the field colours.
  void Refresh();

  // True while a handler that may send requests runs; the buttons that start requests do
  // nothing then.
  bool Busy() const { return FBusy; }
  // True while the codes of the field are downloaded.
  bool Downloading() const { return FDownloading; }

  // Reads the caches of the listings database into the list (the rows of a download that ran
  // keep their state). A database that cannot be read says why in the detail line.
  void LoadCacheList();

  // Asks where "Export GPX…" writes; empty: the user cancelled. Unset: the toolkit's file
  // chooser (tests set it).
  std::function<std::string()> OnChooseGpxFile;

  Fl_Double_Window* Window() const { return FWindow.get(); }
  const TMainWindowControls& Controls() const { return FControls; }

 private:
  struct TInputBinding {
    Fl_Input* Input;
    std::string TKelthornF::*Field;
  };

  void Build();
  void RunRequestHandler(const std::function<void()>& handler);
  void ShowMemoFromStart();
  void StartDownload();
  void RunDownload(const std::vector<std::string>& codes);
  void ConvertLastPage();
  void DetectProxy();
  void ExportGpxFile();
  void OpenListing(int row);
  void ShowDetail();
  void SetProgress(size_t done, size_t count, const std::string& text);
  static void InputChanged(Fl_Widget* widget, void* self);

  TKelthornF& FForm;
  // Declared before the window: the memo's editor uses the buffer until the window is gone.
  std::unique_ptr<Fl_Text_Buffer> FMemoBuffer;
  std::unique_ptr<Fl_Double_Window> FWindow;
  TMainWindowControls FControls;
  std::vector<TInputBinding> FBindings;
  size_t FMemoLinesShown = 0;
  uint32_t FShownColor = 0;
  uint32_t FShownFontColor = 0;
  bool FBusy = false;
  bool FDownloading = false;
};

}  // namespace app
