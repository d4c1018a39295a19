#include "ListView.h"

#include <vector>

namespace winkit {

void ListView::Create(HWND parent, int id, DWORD style, DWORD extendedStyle) {
  Control::Create(WC_LISTVIEWA, parent, id, style, WS_EX_CLIENTEDGE);
  Send(LVM_SETEXTENDEDLISTVIEWSTYLE, extendedStyle, extendedStyle);
}

void ListView::AddColumn(const std::string &caption, int width) {
  LVCOLUMNA col{};
  col.mask = LVCF_TEXT | LVCF_WIDTH;
  col.cx = width;
  col.pszText = const_cast<char *>(caption.c_str());
  const HWND header = reinterpret_cast<HWND>(Send(LVM_GETHEADER));
  const auto index = SendMessageA(header, HDM_GETITEMCOUNT, 0, 0);
  Send(LVM_INSERTCOLUMNA, index, reinterpret_cast<LPARAM>(&col));
}

int ListView::Append(const std::string &caption, int image) {
  LVITEMA item{};
  item.mask = LVIF_TEXT | LVIF_IMAGE;
  item.iItem = Count();
  item.iImage = image;
  item.pszText = const_cast<char *>(caption.c_str());
  return static_cast<int>(Send(LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
}

std::string ListView::Caption(int row) const {
  // LVM_GETITEMTEXT answers the length copied; grow until the text fits.
  for (size_t size = 512;; size *= 2) {
    std::vector<char> buf(size);
    LVITEMA item{};
    item.iSubItem = 0;
    item.pszText = buf.data();
    item.cchTextMax = static_cast<int>(size);
    const auto len =
        static_cast<size_t>(Send(LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(&item)));
    if (len + 1 < size)
      return std::string(buf.data(), len);
  }
}

int ListView::Image(int row) const {
  LVITEMA item{};
  item.mask = LVIF_IMAGE;
  item.iItem = row;
  Send(LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
  return item.iImage;
}

void ListView::SetChecked(int row, bool checked) {
  LVITEMA item{};
  item.stateMask = LVIS_STATEIMAGEMASK;
  item.state = INDEXTOSTATEIMAGEMASK(checked ? 2 : 1);
  Send(LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&item));
}

void ListView::Select(int row, bool selected) {
  LVITEMA item{};
  item.stateMask = LVIS_SELECTED;
  item.state = selected ? LVIS_SELECTED : 0;
  Send(LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&item));
}

void ListView::Focus(int row) {
  LVITEMA item{};
  item.stateMask = LVIS_FOCUSED;
  item.state = LVIS_FOCUSED;
  Send(LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&item));
  Send(LVM_ENSUREVISIBLE, row, FALSE);
}

void ListView::DeleteSelected() {
  // Backwards, so the rows not yet visited keep their indexes.
  for (int row = Count() - 1; row >= 0; --row)
    if (IsSelected(row))
      Delete(row);
}

} // namespace winkit
