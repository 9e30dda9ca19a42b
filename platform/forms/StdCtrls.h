// The standard controls the programs' windows hold: labels, buttons, check
// boxes, edit boxes, memos and panels. Each is owned by the component given
// to its constructor (see Controls.h).
#pragma once

#include <string>
#include <vector>

#include "platform/forms/Controls.h"

namespace forms {

class TLabel : public TControl {
 public:
  explicit TLabel(rtl::TComponent* owner) : TControl(owner) {}
  bool AutoSize = true;
  bool Transparent = false;
};

class TButton : public TWinControl {
 public:
  explicit TButton(rtl::TComponent* owner) : TWinControl(owner) {}
  // A click also ends the modal form the button is on, with this result
  // (when not mrNone).
  void Click() override;
  TModalResult ModalResult = mrNone;
  bool Default = false;
  bool Cancel = false;
};

// Setting Checked from code fires OnClick when the state changes, as a
// click of the user does.
class TCheckBox : public TWinControl {
 public:
  explicit TCheckBox(rtl::TComponent* owner) : TWinControl(owner) {}
  bool Checked() const { return checked_; }
  void SetChecked(bool checked);
  // The user's click toggles the box.
  void Click() override { SetChecked(!checked_); }

 private:
  bool checked_ = false;
};

class TEdit : public TWinControl {
 public:
  explicit TEdit(rtl::TComponent* owner) : TWinControl(owner) {}
  std::string Text;
  // Not 0: the box shows this character for every character of the text.
  char PasswordChar = 0;
  bool ReadOnly = false;
};

class TMemo : public TWinControl {
 public:
  explicit TMemo(rtl::TComponent* owner) : TWinControl(owner) {}
  std::vector<std::string> Lines;
  bool ReadOnly = false;
};

enum TBevelCut { bvNone, bvLowered, bvRaised, bvSpace };

class TPanel : public TWinControl {
 public:
  explicit TPanel(rtl::TComponent* owner) : TWinControl(owner) {}
  TBevelCut BevelInner = bvNone;
  TBevelCut BevelOuter = bvRaised;
};

}  // namespace forms
