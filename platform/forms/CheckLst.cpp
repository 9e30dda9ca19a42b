#include "platform/forms/CheckLst.h"

#include "platform/rtl/SysUtils.h"

namespace forms {

void TCheckListBox::CheckIndex(int index) const {
  if (index < 0 || index >= Count()) throw rtl::EListError(rtl::Format(rtl::SListIndexError, {index}));
}

void TCheckListBox::AddItem(const std::string& text) {
  items_.push_back(text);
  checked_.push_back(false);
  Invalidate();
}

const std::string& TCheckListBox::Items(int index) const {
  CheckIndex(index);
  return items_[static_cast<size_t>(index)];
}

bool TCheckListBox::Checked(int index) const {
  CheckIndex(index);
  return checked_[static_cast<size_t>(index)];
}

void TCheckListBox::SetChecked(int index, bool checked) {
  CheckIndex(index);
  checked_[static_cast<size_t>(index)] = checked;
  Invalidate();
}

void TCheckListBox::ClickCheck(int index) {
  if (!Enabled()) return;
  SetChecked(index, !Checked(index));
  if (OnClickCheck) OnClickCheck(this);
}

}  // namespace forms
