// Pop-up menus and their items. Nothing is shown: a test or a presenter
// picks an item by clicking it.
//
// Ownership: items are components of the form that holds the menu (freed
// with it); the menu only borrows them, in the order they were added.
#pragma once

#include <string>
#include <vector>

#include "platform/forms/Controls.h"

namespace forms {

class TMenuItem : public rtl::TComponent {
 public:
  explicit TMenuItem(rtl::TComponent* owner) : rtl::TComponent(owner) {}

  // A disabled or hidden item does nothing when clicked.
  void Click();
  // An item whose caption is "-" is a separator line.
  bool IsLine() const { return Caption == "-"; }

  std::string Caption;
  bool Enabled = true;
  bool Visible = true;
  int ImageIndex = -1;
  TNotifyEvent OnClick;
};

class TPopupMenu : public rtl::TComponent {
 public:
  explicit TPopupMenu(rtl::TComponent* owner) : rtl::TComponent(owner) {}

  void Add(TMenuItem* item);
  int Count() const { return static_cast<int>(items_.size()); }
  // Borrowed; nullptr outside the items.
  TMenuItem* Items(int index) const;

  // The menu opens over component at the screen point x, y.
  void Popup(rtl::TComponent* component, int x, int y);
  // The component the menu was last opened over (borrowed).
  rtl::TComponent* PopupComponent = nullptr;
  TNotifyEvent OnPopup;

 private:
  std::vector<TMenuItem*> items_;  // borrowed
};

}  // namespace forms
