// The password dialog and the modal text prompt over it.
//
// The program creates the dialog at start (the application owns it);
// PromptText makes one when none lives (and cancels when no application
// lives to show it). FormPassWord points at the living
// dialog and is cleared when it goes.
#pragma once

#include <string>

#include "platform/forms/Buttons.h"
#include "platform/forms/Forms.h"
#include "platform/forms/StdCtrls.h"

namespace converter {

inline constexpr const char* kPassWordCaption = "パスワード入力";

class TFormPassWord : public forms::TForm {
 public:
  explicit TFormPassWord(rtl::TComponent* owner);
  ~TFormPassWord() override;

  forms::TLabel* LabelMes;
  forms::TEdit* EditPW;
  forms::TBitBtn* BitBtnOK;
  forms::TBitBtn* BitBtnCan;
};

// Borrowed; nullptr when no dialog lives.
extern TFormPassWord* FormPassWord;

struct TPromptResult {
  bool Cancelled = true;
  std::string Text;
};

// Shows the dialog modally with the prompt, its top-left corner at the
// centre of the main window. OK gives the text typed; anything else is a
// cancel with no text. The box is emptied again afterwards, so the text
// does not linger in the hidden dialog.
TPromptResult PromptText(const std::string& prompt);

}  // namespace converter
