// The check list box: a list of items, each with its own check box.
#pragma once

#include <string>
#include <vector>

#include "platform/forms/Controls.h"

namespace forms {

// Items and their check marks are kept side by side; adding an item through
// AddItem keeps them in step. Checked and SetChecked raise EListError
// "List index out of bounds (i)" for an index that names no item.
class TCheckListBox : public TWinControl {
 public:
  explicit TCheckListBox(rtl::TComponent* owner) : TWinControl(owner) {}
  void AddItem(const std::string& text);
  int Count() const { return static_cast<int>(items_.size()); }
  const std::string& Items(int index) const;
  bool Checked(int index) const;
  void SetChecked(int index, bool checked);
  // The user toggles an item's box (nothing happens on a disabled list);
  // fires OnClickCheck.
  void ClickCheck(int index);

  TNotifyEvent OnClickCheck;

 private:
  void CheckIndex(int index) const;
  std::vector<std::string> items_;
  std::vector<bool> checked_;
};

}  // namespace forms
