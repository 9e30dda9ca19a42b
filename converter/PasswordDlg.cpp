#include "converter/PasswordDlg.h"

namespace converter {

TFormPassWord* FormPassWord = nullptr;

TFormPassWord::TFormPassWord(rtl::TComponent* owner) : forms::TForm(owner) {
  using namespace forms;
  Name = "FormPassWord";
  SetCaption(kPassWordCaption);
  BorderStyle = bsDialog;
  SetClientWidth(235);
  SetClientHeight(92);

  LabelMes = new TLabel(this);
  LabelMes->Name = "LabelMes";
  LabelMes->SetParent(this);
  EditPW = new TEdit(this);
  EditPW->Name = "EditPW";
  EditPW->SetParent(this);
  EditPW->PasswordChar = '*';
  BitBtnOK = new TBitBtn(this);
  BitBtnOK->Name = "BitBtnOK";
  BitBtnOK->SetParent(this);
  BitBtnOK->SetKind(bkOK);
  BitBtnCan = new TBitBtn(this);
  BitBtnCan->Name = "BitBtnCan";
  BitBtnCan->SetParent(this);
  BitBtnCan->SetKind(bkCancel);

  if (!FormPassWord) FormPassWord = this;
}

TFormPassWord::~TFormPassWord() {
  if (FormPassWord == this) FormPassWord = nullptr;
}

TPromptResult PromptText(const std::string& prompt) {
  // Nobody could answer a dialog without an application.
  if (!forms::Application) return {};
  if (!FormPassWord) forms::Application->CreateForm(FormPassWord);
  TFormPassWord& dlg = *FormPassWord;
  if (forms::TForm* main = forms::Application->MainForm(); main && main != &dlg) {
    dlg.Top = main->Top + main->Height / 2;
    dlg.Left = main->Left + main->Width / 2;
  }
  dlg.LabelMes->SetCaption(prompt);
  dlg.EditPW->Text.clear();
  TPromptResult result;
  if (dlg.ShowModal() == forms::mrOk) {
    result.Cancelled = false;
    result.Text = dlg.EditPW->Text;
  }
  dlg.EditPW->Text.clear();
  return result;
}

}  // namespace converter
