#include "platform/forms/Controls.h"

#include <algorithm>

#include "platform/forms/Dialogs.h"
#include "platform/forms/Forms.h"

namespace forms {

TControl::TControl(rtl::TComponent* owner) : rtl::TComponent(owner) {}

TControl::~TControl() {
  if (Application) Application->Presenter().ControlFreed(*this);
  if (parent_) {
    if (TForm* f = ParentForm(); f && f->ActiveControl == this) f->ActiveControl = nullptr;
    auto& list = parent_->controls_;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
  }
}

void TControl::SetParent(TWinControl* parent) {
  if (parent == parent_ || parent == this) return;
  if (parent_) {
    auto& list = parent_->controls_;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
  }
  parent_ = parent;
  if (parent_) parent_->controls_.push_back(this);
  Invalidate();
}

TForm* TControl::ParentForm() {
  // Bounded by the depth of the control tree, which the program builds.
  for (TControl* c = this; c; c = c->parent_)
    if (auto* f = dynamic_cast<TForm*>(c)) return f;
  return nullptr;
}

void TControl::SetCaption(const std::string& caption) {
  if (caption == caption_) return;
  caption_ = caption;
  Invalidate();
  CaptionChanged();
}

void TControl::SetVisible(bool visible) {
  if (visible == visible_) return;
  visible_ = visible;
  Invalidate();
  VisibleChanged();
}

void TControl::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  Invalidate();
}

void TControl::SetBounds(int left, int top, int width, int height) {
  Left = left;
  Top = top;
  Width = width;
  Height = height;
}

void TControl::SetFocus() {
  if (TForm* f = ParentForm()) f->ActiveControl = this;
}

bool TControl::Focused() {
  TForm* f = ParentForm();
  return f && f->ActiveControl == this;
}

void TControl::Invalidate() {
  if (TForm* f = ParentForm()) f->MarkStatusDirty();
  if (Application) Application->Presenter().ControlChanged(*this);
}

void TControl::Click() {
  if (OnClick) OnClick(this);
}

void TControl::MouseDown(TMouseButton button, TShiftState shift, int x, int y) {
  if (enabled_ && OnMouseDown) OnMouseDown(this, button, shift, x, y);
}

void TControl::MouseMove(TShiftState shift, int x, int y) {
  if (enabled_ && OnMouseMove) OnMouseMove(this, shift, x, y);
}

TWinControl::TWinControl(rtl::TComponent* owner) : TControl(owner) {}

TWinControl::~TWinControl() {
  for (TControl* c : controls_) c->parent_ = nullptr;
}

TControl* TWinControl::Controls(int index) const {
  if (index < 0 || index >= ControlCount()) return nullptr;
  return controls_[static_cast<size_t>(index)];
}

}  // namespace forms
