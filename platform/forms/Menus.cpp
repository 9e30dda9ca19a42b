#include "platform/forms/Menus.h"

namespace forms {

void TMenuItem::Click() {
  if (Enabled && Visible && !IsLine() && OnClick) OnClick(this);
}

void TPopupMenu::Add(TMenuItem* item) {
  if (item) items_.push_back(item);
}

TMenuItem* TPopupMenu::Items(int index) const {
  if (index < 0 || index >= Count()) return nullptr;
  return items_[static_cast<size_t>(index)];
}

void TPopupMenu::Popup(rtl::TComponent* component, int, int) {
  PopupComponent = component;
  if (OnPopup) OnPopup(this);
}

}  // namespace forms
