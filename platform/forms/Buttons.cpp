#include "platform/forms/Buttons.h"

namespace forms {

void TBitBtn::SetKind(TBitBtnKind kind) {
  kind_ = kind;
  switch (kind) {
    case bkOK:
      ModalResult = mrOk;
      break;
    case bkCancel:
      ModalResult = mrCancel;
      break;
    case bkYes:
      ModalResult = mrYes;
      break;
    case bkNo:
      ModalResult = mrNo;
      break;
    case bkAbort:
      ModalResult = mrAbort;
      break;
    case bkRetry:
      ModalResult = mrRetry;
      break;
    case bkIgnore:
      ModalResult = mrIgnore;
      break;
    default:
      break;
  }
}

}  // namespace forms
