#include "platform/forms/StdCtrls.h"

#include "platform/forms/Forms.h"

namespace forms {

void TButton::Click() {
  TControl::Click();
  if (ModalResult != mrNone)
    if (TForm* f = ParentForm()) f->ModalResult = ModalResult;
}

void TCheckBox::SetChecked(bool checked) {
  if (checked == checked_) return;
  checked_ = checked;
  Invalidate();
  if (OnClick) OnClick(this);
}

}  // namespace forms
