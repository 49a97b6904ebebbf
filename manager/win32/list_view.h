// A thin wrapper over a report-view list control: columns, rows of cell texts, the single
// selection. Positions are 0-based; calls with a position outside the rows do nothing.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "controls.h"

class ListView : public ControlWindow {
 public:
  using ControlWindow::ControlWindow;

  void SetExtendedStyle(DWORD style) const;
  int ColumnCount() const;
  // Appends a column; its cells are the rows' next texts.
  void AddColumn(const std::string& title, int width, bool centred) const;
  // Every column's width scaled from one DPI to another.
  void ScaleColumns(UINT fromDpi, UINT toDpi) const;

  int Count() const;
  // Inserts a row at position (the end when position is Count()).
  void InsertRow(int position, const std::vector<std::string>& cells) const;
  void SetRow(int position, const std::vector<std::string>& cells) const;
  void DeleteRow(int position) const;
  // Replaces every row, painted once at the end.
  void SetRows(const std::vector<std::vector<std::string>>& rows) const;

  // Selects and focuses this row alone and scrolls it into view; -1 selects none.
  void SelectOnly(int position) const;
  // The selected row; -1 when none is.
  int Selected() const;
  // The client width less a vertical scroll bar's, so that columns this wide never need a
  // horizontal one.
  int WidthInside(UINT dpi) const;

 private:
  void SetCells(int position, const std::vector<std::string>& cells, size_t first) const;
};
