#include "list_view.h"

void ListView::SetExtendedStyle(DWORD style) const {
  Send(LVM_SETEXTENDEDLISTVIEWSTYLE, 0, static_cast<LPARAM>(style));
}

int ListView::ColumnCount() const {
  const HWND header = reinterpret_cast<HWND>(Send(LVM_GETHEADER));
  return header != nullptr ? static_cast<int>(SendMessageA(header, HDM_GETITEMCOUNT, 0, 0)) : 0;
}

void ListView::AddColumn(const std::string& title, int width, bool centred) const {
  const int position = ColumnCount();
  LVCOLUMNA column{};
  column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
  column.fmt = centred ? LVCFMT_CENTER : LVCFMT_LEFT;
  column.cx = width;
  column.pszText = const_cast<char*>(title.c_str());
  column.iSubItem = position;
  Send(LVM_INSERTCOLUMNA, static_cast<WPARAM>(position), reinterpret_cast<LPARAM>(&column));
}

void ListView::ScaleColumns(UINT fromDpi, UINT toDpi) const {
  if (fromDpi == toDpi) return;
  for (int column = 0, count = ColumnCount(); column < count; ++column) {
    const int width = static_cast<int>(Send(LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(column)));
    Send(LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(column),
         MulDiv(width, static_cast<int>(toDpi), static_cast<int>(fromDpi)));
  }
}

int ListView::Count() const { return static_cast<int>(Send(LVM_GETITEMCOUNT)); }

void ListView::SetCells(int position, const std::vector<std::string>& cells, size_t first) const {
  for (size_t column = first; column < cells.size(); ++column) {
    LVITEMA cell{};
    cell.iSubItem = static_cast<int>(column);
    cell.pszText = const_cast<char*>(cells[column].c_str());
    Send(LVM_SETITEMTEXTA, static_cast<WPARAM>(position), reinterpret_cast<LPARAM>(&cell));
  }
}

void ListView::InsertRow(int position, const std::vector<std::string>& cells) const {
  if (cells.empty()) return;
  LVITEMA item{};
  item.mask = LVIF_TEXT;
  item.iItem = position;
  item.pszText = const_cast<char*>(cells[0].c_str());
  position = static_cast<int>(Send(LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
  if (position >= 0) SetCells(position, cells, 1);
}

void ListView::SetRow(int position, const std::vector<std::string>& cells) const {
  if (position >= 0 && position < Count()) SetCells(position, cells, 0);
}

void ListView::DeleteRow(int position) const {
  if (position >= 0 && position < Count()) Send(LVM_DELETEITEM, static_cast<WPARAM>(position));
}

void ListView::SetRows(const std::vector<std::vector<std::string>>& rows) const {
  SetRedraw(false);
  Send(LVM_DELETEALLITEMS);
  for (size_t i = 0; i < rows.size(); ++i) InsertRow(static_cast<int>(i), rows[i]);
  SetRedraw(true);
}

void ListView::SelectOnly(int position) const {
  LVITEMA state{};
  state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  state.state = 0;
  Send(LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&state));
  if (position < 0 || position >= Count()) return;
  state.state = LVIS_SELECTED | LVIS_FOCUSED;
  Send(LVM_SETITEMSTATE, static_cast<WPARAM>(position), reinterpret_cast<LPARAM>(&state));
  Send(LVM_SETSELECTIONMARK, 0, position);
  Send(LVM_ENSUREVISIBLE, static_cast<WPARAM>(position), FALSE);
}

int ListView::Selected() const {
  if (Handle() == nullptr) return -1;
  const LRESULT position = Send(LVM_GETNEXTITEM, static_cast<WPARAM>(-1),
                                MAKELPARAM(LVNI_SELECTED, 0));
  return position < 0 ? -1 : static_cast<int>(position);
}

int ListView::WidthInside(UINT dpi) const {
  RECT client{};
  if (Handle() == nullptr || !GetClientRect(Handle(), &client)) return 0;
  const int width = client.right - client.left - SystemMetricForDpi(SM_CXVSCROLL, dpi);
  return width > 0 ? width : 0;
}
