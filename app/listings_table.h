#pragma once
// The window's list of caches: those the listings database holds and those of the download that
// runs, one row per code, sortable by clicking a column's heading. A failed code's cause shows
// when the pointer rests on its row, and in the detail line the window keeps under the list.
//
// Rows hold UTF-8, ready to draw.

#include <FL/Fl_Table_Row.H>

#include <functional>
#include <string>
#include <vector>

namespace app {

struct TListingRow {
  std::string Code, Name, Type;
  std::string DifficultyTerrain;  // "2.5/1.5"
  std::string ConvertedAt;
  std::string State;   // empty for a cache only in the database; kState... for a downloaded one
  std::string Detail;  // why it failed or was skipped
};

inline constexpr const char* kStateWaiting = "waiting";
inline constexpr const char* kStateDownloading = "downloading";
inline constexpr const char* kStateConverted = "converted";
inline constexpr const char* kStateFailed = "failed";
inline constexpr const char* kStateSkipped = "skipped";

class TListingsTable : public Fl_Table_Row {
 public:
  enum TColumn { ColCode, ColName, ColType, ColDifficultyTerrain, ColConvertedAt, ColState, ColCount };

  TListingsTable(int x, int y, int w, int h);

  // The rows as shown; after changing them, call RowsChanged.
  std::vector<TListingRow>& Rows() { return FRows; }
  const std::vector<TListingRow>& Rows() const { return FRows; }
  void RowsChanged();
  // The row of `code`, or -1; or the row itself, or nullptr.
  int Find(const std::string& code) const;
  TListingRow* Row(const std::string& code);
  // Puts a row for each of `codes` at the top, in their order and in `state` (a cache already
  // listed keeps its details); every other row loses its state. The sort is forgotten.
  void PutOnTop(const std::vector<std::string>& codes, const std::string& state);
  // Sorts by `column`; the same column again reverses the order.
  void SortBy(int column);
  int SortColumn() const { return FSortColumn; }
  // The rows were put in an order of their own (a download's codes on top).
  void ForgetSort();
  // The row the cursor is on (clicked or reached with the arrow keys), or -1.
  int FocusedRow() const { return current_row >= 0 && current_row < static_cast<int>(FRows.size()) ? current_row : -1; }
  // The selected rows' codes, in the order shown.
  std::vector<std::string> SelectedCodes() const;

  // A double click (or Enter) on a row.
  std::function<void(int row)> OnOpen;
  // The selection or the rows changed: the detail line follows the row with the focus.
  std::function<void()> OnSelectionChanged;

  static const char* Heading(int column);
  // Where a cell or heading is drawn, in window coordinates (for tests that click them).
  using Fl_Table_Row::find_cell;

 protected:
  void draw_cell(TableContext context, int row, int column, int x, int y, int w, int h) override;
  int handle(int event) override;
  void resize(int x, int y, int w, int h) override;

 private:
  const std::string& Cell(const TListingRow& row, int column) const;
  void FitColumns();
  void ShowTooltipFor(int row);

  std::vector<TListingRow> FRows;
  int FSortColumn = -1;
  bool FSortDescending = false;
  int FTooltipRow = -1;
  std::string FTooltip;  // the toolkit keeps the pointer, not a copy
};

}  // namespace app
