#include "platform/forms/ExtCtrls.h"

namespace forms {

TImage::TImage(rtl::TComponent* owner) : TControl(owner) {}

TImage::~TImage() = default;

void TRadioGroup::SetItemIndex(int index) {
  if (index < 0 || index >= static_cast<int>(Items.size())) index = -1;
  if (index == itemIndex_) return;
  itemIndex_ = index;
  Invalidate();
}

void TRadioGroup::Select(int index) {
  if (!Enabled()) return;
  SetItemIndex(index);
  Click();
}

}  // namespace forms
