#include "platform/forms/StdCtrls.h"

#include "platform/forms/Forms.h"
#include "platform/rtl/SysUtils.h"

namespace forms {

void TButton::Click() {
  if (ModalResult != mrNone)
    if (TForm* f = ParentForm()) f->ModalResult = ModalResult;
  TControl::Click();
}

void TCheckBox::SetChecked(bool checked) {
  if (checked == checked_) return;
  checked_ = checked;
  Invalidate();
  if (OnClick) OnClick(this);
}

TCustomListBox::TCustomListBox(rtl::TComponent* owner) : TWinControl(owner) {
  items_.OnChange = [this](rtl::TStringList&) { ItemsChanged(); };
}

void TCustomListBox::ItemsChanged() {
  // Which rows moved is not known here: a change of the count drops the
  // selection rather than leave it on other rows.
  if (selected_.size() != static_cast<size_t>(items_.Count())) {
    selected_.assign(static_cast<size_t>(items_.Count()), false);
    if (itemIndex_ >= items_.Count()) itemIndex_ = -1;
  }
  Invalidate();
}

void TCustomListBox::Clear() {
  items_.Clear();
  selected_.clear();
  itemIndex_ = -1;
}

void TCustomListBox::SetItemIndex(int index) {
  if (index < 0 || index >= Count()) index = -1;
  ItemsChanged();
  itemIndex_ = index;
  if (!MultiSelect) selected_.assign(static_cast<size_t>(Count()), false);
  if (index >= 0) selected_[static_cast<size_t>(index)] = true;
  Invalidate();
}

bool TCustomListBox::Selected(int index) const {
  if (index < 0 || index >= Count()) throw rtl::EListError(rtl::Format(rtl::SListIndexError, {index}));
  // Rows added while the items are being updated are not selected yet.
  return static_cast<size_t>(index) < selected_.size() && selected_[static_cast<size_t>(index)];
}

void TCustomListBox::SetSelected(int index, bool value) {
  if (index < 0 || index >= Count()) throw rtl::EListError(rtl::Format(rtl::SListIndexError, {index}));
  if (!MultiSelect) {
    if (value)
      SetItemIndex(index);
    else if (index == itemIndex_)
      SetItemIndex(-1);
    return;
  }
  ItemsChanged();
  selected_[static_cast<size_t>(index)] = value;
  Invalidate();
}

int TCustomListBox::SelCount() const {
  int n = 0;
  for (bool s : selected_) n += s ? 1 : 0;
  return n;
}

TDrawnRow TCustomListBox::DrawItem(int index) {
  TDrawnRow row;
  if (index < 0 || index >= Count()) return row;
  row.Selected = Selected(index);
  row.Cells.push_back({items_[index], 0, Width, taLeftJustify});
  return row;
}

void TCustomListBox::DblClick() {
  if (OnDblClick) OnDblClick(this);
}

void TRadioButton::SetChecked(bool checked) {
  if (checked == checked_) return;
  checked_ = checked;
  Invalidate();
  if (!checked) return;
  if (TWinControl* p = Parent())
    for (int i = 0; i < p->ControlCount(); ++i)
      if (auto* r = dynamic_cast<TRadioButton*>(p->Controls(i)); r && r != this) r->SetChecked(false);
  if (OnClick) OnClick(this);
}

void TEdit::KeyPress(char key) {
  if (ReadOnly || !Enabled()) return;
  if (OnKeyPress) OnKeyPress(this, key);
  if (key == 0) return;
  if (key == '\b') {
    // One character, not one byte: continuation bytes of UTF-8 go with it.
    while (!Text.empty() && (static_cast<unsigned char>(Text.back()) & 0xC0) == 0x80) Text.pop_back();
    if (!Text.empty()) Text.pop_back();
    return;
  }
  Text += key;
}

void TComboBox::SetItemIndex(int index) {
  if (index < 0 || index >= static_cast<int>(Items.size())) index = -1;
  if (index == itemIndex_) return;
  itemIndex_ = index;
  Invalidate();
}

std::string TComboBox::Text() const {
  if (itemIndex_ < 0 || itemIndex_ >= static_cast<int>(Items.size())) return {};
  return Items[static_cast<size_t>(itemIndex_)];
}

void TComboBox::Select(int index) {
  if (!Enabled()) return;
  SetItemIndex(index);
  if (OnChange) OnChange(this);
}

}  // namespace forms
