#pragma once
#include "Control.h"

#include <commctrl.h>

namespace winkit {

class TreeView : public Control {
public:
  void Create(HWND parent, int id, DWORD style);
  void SetIndent(int pixels) { Send(TVM_SETINDENT, pixels); }
  void SetImages(HIMAGELIST images) {
    Send(TVM_SETIMAGELIST, TVSIL_NORMAL, reinterpret_cast<LPARAM>(images));
  }

  // Appends a node under `parent` (TVI_ROOT for a top-level node).
  HTREEITEM Append(HTREEITEM parent, const std::string &text, int image, int selectedImage);
  void Clear() { Send(TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(TVI_ROOT)); }
  void Expand(HTREEITEM item) { Send(TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(item)); }
  void Select(HTREEITEM item) { Send(TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item)); }

  HTREEITEM FirstRoot() const { return Next(nullptr, TVGN_ROOT); }
  HTREEITEM FirstChild(HTREEITEM item) const { return Next(item, TVGN_CHILD); }
  HTREEITEM NextSibling(HTREEITEM item) const { return Next(item, TVGN_NEXT); }
  HTREEITEM Selected() const { return Next(nullptr, TVGN_CARET); }
  std::string Text(HTREEITEM item) const;
  int Count() const { return static_cast<int>(Send(TVM_GETCOUNT)); }

private:
  HTREEITEM Next(HTREEITEM item, UINT how) const {
    return reinterpret_cast<HTREEITEM>(Send(TVM_GETNEXTITEM, how, reinterpret_cast<LPARAM>(item)));
  }
};

} // namespace winkit
