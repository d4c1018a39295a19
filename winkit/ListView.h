#pragma once
#include "Control.h"

#include <commctrl.h>

namespace winkit {

// Report-style list view with one image list of row pictures.
class ListView : public Control {
public:
  void Create(HWND parent, int id, DWORD style, DWORD extendedStyle);
  void AddColumn(const std::string &caption, int width);
  void SetColumnWidth(int column, int width) { Send(LVM_SETCOLUMNWIDTH, column, width); }
  int ColumnWidth(int column) const { return static_cast<int>(Send(LVM_GETCOLUMNWIDTH, column)); }
  void SetSmallImages(HIMAGELIST images) {
    Send(LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(images));
  }

  int Count() const { return static_cast<int>(Send(LVM_GETITEMCOUNT)); }
  int Append(const std::string &caption, int image);
  std::string Caption(int row) const;
  int Image(int row) const;
  // The row's check box (with LVS_EX_CHECKBOXES).
  bool Checked(int row) const {
    return (Send(LVM_GETITEMSTATE, row, LVIS_STATEIMAGEMASK) & LVIS_STATEIMAGEMASK) ==
           INDEXTOSTATEIMAGEMASK(2);
  }
  void SetChecked(int row, bool checked);
  void Delete(int row) { Send(LVM_DELETEITEM, row); }
  void Clear() { Send(LVM_DELETEALLITEMS); }
  void DeleteSelected();
  bool IsSelected(int row) const {
    return Send(LVM_GETITEMSTATE, row, LVIS_SELECTED) & LVIS_SELECTED;
  }
  void Select(int row, bool selected);
  // Puts the focus mark (the keyboard's row) on `row`.
  void Focus(int row);
  int SelectedCount() const { return static_cast<int>(Send(LVM_GETSELECTEDCOUNT)); }
  // First selected row at or after `from`, or -1.
  int NextSelected(int from = -1) const {
    return static_cast<int>(Send(LVM_GETNEXTITEM, from, LVNI_SELECTED));
  }
};

} // namespace winkit
