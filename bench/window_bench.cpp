// The window's download against batch mode's: the same codes against the same loopback site,
// pages of about 300 KB, the listings database on. Batch mode runs TKelthornF::RunBatch with
// no window; the window types the codes into its field and presses Download, under a private
// X server, and so also pays for its list, progress bar and redraws. Both in this process, in
// turn, the best of three each. A timed tool: prints codes per second and their ratio.
//
//   window_bench [codes]   (default 200)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/gui_loop.h"
#include "app/listings_table.h"
#include "app/main_form.h"
#include "app/main_window.h"
#include "app/settings.h"
#include "runtime/file_io.h"
#include "runtime/ini_file.h"
#include "tests/integration/x_test_server.h"
#include "tests/support/site_server.h"

#include <FL/Fl_Button.H>
#include <FL/Fl_Input.H>

namespace {

std::string ReplaceAll(std::string text, const std::string& what, const std::string& by) {
  for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += by.size()) text.replace(at, what.size(), by);
  return text;
}

// The sample page grown to about 300 KB with description text, as long listings are.
std::string BigPage(const std::string& sample) {
  std::string filler;
  while (filler.size() < 300000 - sample.size())
    filler += "<p>Cesta vedie pozd\xC4\xBA\xC5\xBE potoka, okolo mlyna a cez most. Lorem ipsum dolor sit amet.</p>\r\n";
  std::string page = sample;
  const std::string marker = "<span id=\"ctl00_ContentBody_LongDescription\">";
  page.insert(page.find(marker) + marker.size(), filler);
  return ReplaceAll(page, "listing.tamvirel.example", "127.0.0.1");
}

double Seconds(const std::chrono::steady_clock::time_point& since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// A data folder with a fresh session on the site; the database left from a run before is
// removed, so each run writes the same rows into an empty file.
std::string Folder(const std::string& root, const std::string& name, const std::string& port) {
  const std::string folder = root + "/" + name + "/";
  xtest::Shell("rm -rf '" + folder + "'");
  runtime::EnsureDirectory(folder + "tmp");
  runtime::TIniFile ini(folder + "rovkast.ini");
  ini.WriteString("Session", "NET_SessionId", "ASP.NET_SessionId=bench;");
  ini.WriteInteger("Session", "TC", static_cast<int32_t>(app::SystemTickCount()));
  ini.WriteString("Session", "Boot", app::SystemBootId());
  ini.WriteString("Site", "Host", "127.0.0.1");
  ini.WriteString("Site", "HttpPort", port);
  return folder;
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 200;
  const std::string page = BigPage(runtime::ReadWholeFile(std::string(TAMVIREL_SOURCE_DIR) + "/examples/GC1TAMV.htm"));
  site_test::TSiteServer site([&](const site_test::TRequest& r) {
    site_test::TReply reply;
    if (r.Target.starts_with("/seek/cache_details.aspx?wp="))
      reply.Body = ReplaceAll(page, "GC1TAMV", r.Target.substr(r.Target.find("wp=") + 3));
    else
      reply.Body = "42";  // the favourites score
    return reply;
  });
  std::vector<std::string> codes;
  std::string typed;
  for (int i = 1; i <= count; ++i) {
    char code[16];
    std::snprintf(code, sizeof code, "GC%05d", i);
    codes.push_back(code);
    typed += std::string(code) + (i % 10 == 0 ? "\n" : ", ");
  }

  xtest::TXServer server;
  if (!server.Start()) {
    std::fprintf(stderr, "window_bench: Xvfb did not start\n");
    return 1;
  }
  ::setenv("DISPLAY", server.Display.c_str(), 1);
  if (!app::OpenDisplay()) return 1;
  char root[] = "/tmp/tamvirel-window-bench-XXXXXX";
  if (::mkdtemp(root) == nullptr) return 1;

  int batchConverted = 0, windowConverted = 0;
  double batch = 1e9, window = 1e9;
  for (int round = 0; round < 3; ++round) {
    {
      app::TKelthornF form(codes, Folder(root, "batch", site.PortText()));
      form.FormCreate();
      const auto started = std::chrono::steady_clock::now();
      const auto results = form.RunBatch();
      batch = std::min(batch, Seconds(started));
      batchConverted = static_cast<int>(std::count_if(results.begin(), results.end(), [](const auto& r) {
        return r.Outcome == app::TKelthornF::TCodeOutcome::Converted;
      }));
    }
    {
      app::TKelthornF form({}, Folder(root, "window", site.PortText()));
      form.FormCreate();
      app::TGuiLoop loop;
      app::TMainWindow view(form);
      loop.OnIdle = [&] { view.Refresh(); };
      view.Show();
      for (int i = 0; i < 20; ++i) loop.WaitOnce();
      view.Controls().Codes->value(typed.c_str());
      const auto started = std::chrono::steady_clock::now();
      view.Controls().Download->do_callback();  // returns when the download has ended
      loop.ProcessPending();                     // and the window shows it
      window = std::min(window, Seconds(started));
      windowConverted = 0;
      for (const app::TListingRow& row : view.Controls().Listings->Rows())
        windowConverted += row.State == app::kStateConverted ? 1 : 0;
    }
  }
  std::printf("codes: %d of ~%zu KB pages, converted: batch %d, window %d\n", count, page.size() / 1024,
              batchConverted, windowConverted);
  std::printf("batch mode, RunBatch (best of 3):        %8.1f codes/s (%.2f s)\n", count / batch, batch);
  std::printf("window, Download with list and progress: %8.1f codes/s (%.2f s)\n", count / window, window);
  std::printf("ratio window / batch time: %.3f (target <= 1.10)\n", window / batch);
  xtest::Shell("rm -rf '" + std::string(root) + "'");
  return batchConverted == count && windowConverted == count ? 0 : 1;
}
