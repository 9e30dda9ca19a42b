// Speed buttons and buttons with a kind (OK, Cancel, ...).
#pragma once

#include "platform/forms/StdCtrls.h"

namespace forms {

class TSpeedButton : public TControl {
 public:
  explicit TSpeedButton(rtl::TComponent* owner) : TControl(owner) {}
  bool Flat = false;
};

enum TBitBtnKind {
  bkCustom,
  bkOK,
  bkCancel,
  bkHelp,
  bkYes,
  bkNo,
  bkClose,
  bkAbort,
  bkRetry,
  bkIgnore,
  bkAll
};

class TBitBtn : public TButton {
 public:
  explicit TBitBtn(rtl::TComponent* owner) : TButton(owner) {}
  TBitBtnKind Kind() const { return kind_; }
  // A kind brings its modal result, as the class library sets it.
  void SetKind(TBitBtnKind kind);

 private:
  TBitBtnKind kind_ = bkCustom;
};

}  // namespace forms
