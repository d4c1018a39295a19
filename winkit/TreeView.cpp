#include "TreeView.h"

namespace winkit {

void TreeView::Create(HWND parent, int id, DWORD style) {
  Control::Create(WC_TREEVIEWA, parent, id, style, WS_EX_CLIENTEDGE);
}

HTREEITEM TreeView::Append(HTREEITEM parent, const std::string &text, int image,
                           int selectedImage) {
  TVINSERTSTRUCTA ins{};
  ins.hParent = parent;
  ins.hInsertAfter = TVI_LAST;
  ins.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE;
  ins.item.pszText = const_cast<char *>(text.c_str());
  ins.item.iImage = image;
  ins.item.iSelectedImage = selectedImage;
  return reinterpret_cast<HTREEITEM>(Send(TVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&ins)));
}

std::string TreeView::Text(HTREEITEM item) const {
  char buf[1024] = {};
  TVITEMA tv{};
  tv.mask = TVIF_TEXT;
  tv.hItem = item;
  tv.pszText = buf;
  tv.cchTextMax = sizeof buf;
  Send(TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&tv));
  return buf;
}

} // namespace winkit
