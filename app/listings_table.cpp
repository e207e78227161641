#include "app/listings_table.h"

#include <FL/Fl.H>
#include <FL/Fl_Tooltip.H>
#include <FL/fl_draw.H>

#include <algorithm>

#include "app/gui_loop.h"

namespace app {
namespace {

// Fixed widths of every column but the name's, which takes the rest.
constexpr int kWidths[TListingsTable::ColCount] = {72, 0, 112, 52, 126, 76};
constexpr int kMinNameWidth = 80;

Fl_Color StateColor(const std::string& state) {
  if (state == kStateConverted) return fl_rgb_color(0, 110, 0);
  if (state == kStateFailed) return FL_RED;
  if (state == kStateSkipped || state == kStateWaiting) return FL_DARK3;
  return FL_FOREGROUND_COLOR;
}

}  // namespace

TListingsTable::TListingsTable(int x, int y, int w, int h) : Fl_Table_Row(x, y, w, h) {
  cols(ColCount);
  col_header(1);
  col_header_height(20);
  col_resize(1);
  row_height_all(18);
  rows(0);
  type(SELECT_MULTI);
  color(FL_BACKGROUND2_COLOR);  // the room below the last row is the list's, not the window's
  labelsize(kFontSize);
  end();
  FitColumns();
}

const char* TListingsTable::Heading(int column) {
  static constexpr const char* kHeadings[ColCount] = {"Code", "Name", "Type", "D/T", "Converted at", "State"};
  return column >= 0 && column < ColCount ? kHeadings[column] : "";
}

const std::string& TListingsTable::Cell(const TListingRow& row, int column) const {
  switch (column) {
    case ColCode: return row.Code;
    case ColName: return row.Name;
    case ColType: return row.Type;
    case ColDifficultyTerrain: return row.DifficultyTerrain;
    case ColConvertedAt: return row.ConvertedAt;
    default: return row.State;
  }
}

void TListingsTable::FitColumns() {
  int fixed = 0;
  for (int c = 0; c < ColCount; ++c)
    if (c != ColName) col_width(c, kWidths[c]), fixed += kWidths[c];
  // Room for the vertical scroll bar, which appears as the list fills.
  col_width(ColName, std::max(kMinNameWidth, w() - fixed - Fl::scrollbar_size() - 4));
}

void TListingsTable::resize(int x, int y, int w, int h) {
  Fl_Table_Row::resize(x, y, w, h);
  FitColumns();
}

void TListingsTable::RowsChanged() {
  rows(static_cast<int>(FRows.size()));
  row_height_all(18);  // rows added since take the toolkit's taller default
  redraw();
  if (OnSelectionChanged) OnSelectionChanged();  // may re-enter
}

int TListingsTable::Find(const std::string& code) const {
  for (size_t i = 0; i < FRows.size(); ++i)
    if (FRows[i].Code == code) return static_cast<int>(i);
  return -1;
}

TListingRow* TListingsTable::Row(const std::string& code) {
  const int at = Find(code);
  return at < 0 ? nullptr : &FRows[static_cast<size_t>(at)];
}

void TListingsTable::PutOnTop(const std::vector<std::string>& codes, const std::string& state) {
  std::vector<TListingRow> top;
  for (const std::string& code : codes) {
    const int at = Find(code);
    TListingRow row;
    if (at >= 0) {
      row = std::move(FRows[static_cast<size_t>(at)]);
      FRows.erase(FRows.begin() + at);
    }
    row.Code = code;
    row.State = state;
    row.Detail.clear();
    top.push_back(std::move(row));
  }
  for (TListingRow& row : FRows) row.State.clear(), row.Detail.clear();
  FRows.insert(FRows.begin(), std::make_move_iterator(top.begin()), std::make_move_iterator(top.end()));
  ForgetSort();
  select_all_rows(0);
  RowsChanged();
  row_position(0);
}

void TListingsTable::ForgetSort() {
  FSortColumn = -1;
  FSortDescending = false;
}

void TListingsTable::SortBy(int column) {
  if (column < 0 || column >= ColCount) return;
  FSortDescending = column == FSortColumn ? !FSortDescending : false;
  FSortColumn = column;
  const bool descending = FSortDescending;
  // The selection belongs to the rows, not to their places.
  std::vector<std::string> selected = SelectedCodes();
  std::stable_sort(FRows.begin(), FRows.end(), [&](const TListingRow& a, const TListingRow& b) {
    const std::string& left = Cell(a, column);
    const std::string& right = Cell(b, column);
    return descending ? right < left : left < right;
  });
  select_all_rows(0);
  for (const std::string& code : selected) select_row(Find(code), 1);
  RowsChanged();
}

std::vector<std::string> TListingsTable::SelectedCodes() const {
  std::vector<std::string> codes;
  for (int r = 0; r < static_cast<int>(FRows.size()); ++r)
    if (const_cast<TListingsTable*>(this)->row_selected(r) == 1) codes.push_back(FRows[static_cast<size_t>(r)].Code);
  return codes;
}

void TListingsTable::ShowTooltipFor(int row) {
  if (row == FTooltipRow) return;
  FTooltipRow = row;
  FTooltip = row >= 0 && row < static_cast<int>(FRows.size()) ? EscapeLabel(FRows[static_cast<size_t>(row)].Detail) : "";
  if (FTooltip.empty()) {
    Fl_Tooltip::enter_area(this, 0, 0, 0, 0, nullptr);
    return;
  }
  // The whole row is the area, given from the table's corner: the toolkit adds the widget's place.
  int x = 0, y = 0, w = 0, h = 0;
  find_cell(CONTEXT_CELL, row, ColCode, x, y, w, h);
  Fl_Tooltip::enter_area(this, x - this->x(), y - this->y(), tix + tiw - x, h, FTooltip.c_str());
}

int TListingsTable::handle(int event) {
  int row = -1, column = -1;
  ResizeFlag resizing = RESIZE_NONE;
  const TableContext context = cursor2rowcol(row, column, resizing);
  if (event == FL_PUSH && Fl::event_button() == FL_LEFT_MOUSE && context == CONTEXT_COL_HEADER &&
      resizing == RESIZE_NONE) {
    SortBy(column);
    return 1;
  }
  // A click on a row gives the list the keyboard: the arrow keys move on from there.
  if (event == FL_PUSH && context == CONTEXT_CELL) Fl::focus(this);
  if (event == FL_MOVE || event == FL_ENTER) ShowTooltipFor(context == CONTEXT_CELL ? row : -1);
  if (event == FL_LEAVE) ShowTooltipFor(-1);
  const int handled = Fl_Table_Row::handle(event);
  if (event == FL_PUSH && context == CONTEXT_CELL && Fl::event_clicks() > 0 && OnOpen) {
    OnOpen(row);  // may re-enter
    return 1;
  }
  if (event == FL_KEYBOARD && (Fl::event_key() == FL_Enter || Fl::event_key() == FL_KP_Enter) && OnOpen &&
      FocusedRow() >= 0) {
    OnOpen(FocusedRow());  // may re-enter
    return 1;
  }
  if ((event == FL_PUSH || event == FL_RELEASE || event == FL_KEYBOARD || event == FL_DRAG) && OnSelectionChanged)
    OnSelectionChanged();  // may re-enter
  return handled;
}

void TListingsTable::draw_cell(TableContext context, int row, int column, int x, int y, int w, int h) {
  fl_font(FL_HELVETICA, kFontSize);
  switch (context) {
    case CONTEXT_STARTPAGE:
      return;
    case CONTEXT_COL_HEADER: {
      fl_push_clip(x, y, w, h);
      fl_draw_box(FL_THIN_UP_BOX, x, y, w, h, FL_BACKGROUND_COLOR);
      fl_color(FL_FOREGROUND_COLOR);
      fl_draw(Heading(column), x + 4, y, w - 16, h, FL_ALIGN_LEFT);
      if (column == FSortColumn) {
        // The sorted column: a small triangle, pointing up for A to Z.
        const int cx = x + w - 9, cy = y + h / 2;
        if (FSortDescending)
          fl_polygon(cx - 4, cy - 2, cx + 4, cy - 2, cx, cy + 3);
        else
          fl_polygon(cx - 4, cy + 2, cx + 4, cy + 2, cx, cy - 3);
      }
      fl_pop_clip();
      return;
    }
    case CONTEXT_CELL: {
      if (row < 0 || row >= static_cast<int>(FRows.size())) return;
      const TListingRow& r = FRows[static_cast<size_t>(row)];
      const bool selected = row_selected(row) == 1;
      fl_push_clip(x, y, w, h);
      fl_color(selected ? FL_SELECTION_COLOR : FL_BACKGROUND2_COLOR);
      fl_rectf(x, y, w, h);
      fl_color(selected ? fl_contrast(FL_FOREGROUND_COLOR, FL_SELECTION_COLOR)
                        : column == ColState ? StateColor(r.State) : FL_FOREGROUND_COLOR);
      fl_draw(Cell(r, column).c_str(), x + 4, y, w - 6, h, FL_ALIGN_LEFT | FL_ALIGN_CLIP, nullptr, 0);
      fl_color(FL_LIGHT2);
      fl_line(x, y + h - 1, x + w - 1, y + h - 1);
      fl_pop_clip();
      return;
    }
    default:
      return;
  }
}

}  // namespace app
