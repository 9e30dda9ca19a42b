// The setup utility's program block. On a desktop its window is shown: the
// person picks the run in the radio group and presses the start button.
// Elsewhere the memo's lines go to standard output as they are added, and
// the choice of run with the start button is put to the person at the
// terminal. Without either nobody can choose, and nothing is changed.
#include <csignal>
#include <cstdio>

#include "platform/forms/Dialogs.h"
#include "platform/forms/Forms.h"
#include "platform/forms/qt/Desktop.h"
#include "platform/rtl/SysUtils.h"
#include "setup/Unit1.h"

int main(int argc, char** argv) {
  // Lines shown on an output that nobody reads any more (the program that
  // started this one stopped listening) are writes that fail, not the end
  // of a run that may have closed the scanner software and not yet started
  // it again.
  std::signal(SIGPIPE, SIG_IGN);
  // Nor is a file grown past the user's file size limit (ulimit -f) the
  // end of such a run: its write fails, and the run says so.
  std::signal(SIGXFSZ, SIG_IGN);
  rtl::SetCommandLine(argc, argv);
  forms::TApplication application;
  const bool desktop = forms::UseDesktop(application);
  application.Initialize();
  application.Title = setup::kApplicationTitle;
  setup::TForm1* form1 = nullptr;
  application.CreateForm(form1);
  // The last run's outcome: a run that did not do all it set out to do
  // fails the program.
  if (desktop) {
    application.Run();
    return application.ExitCode;
  }
  size_t shown = 0;
  auto showLines = [&] {
    const auto& lines = form1->Memo1->Lines;
    for (; shown < lines.size(); ++shown) std::printf("%s\n", lines[shown].c_str());
    std::fflush(stdout);
  };
  application.AddPoller(showLines);
  application.PostMessage([&] {
    showLines();
    forms::TModalResult choice =
        forms::MessageDlg("動作を選んでください（はい：設定　いいえ：解除　キャンセル：終了）",
                          forms::mtConfirmation, forms::mbYes | forms::mbNo | forms::mbCancel);
    if (choice == forms::mrYes || choice == forms::mrNo) {
      (choice == forms::mrYes ? form1->RadioButton1 : form1->RadioButton2)->SetChecked(true);
      try {
        form1->SpeedButton1->Click();
      } catch (const std::exception& e) {
        showLines();
        application.HandleException(e);
      }
    }
    showLines();
    form1->Close();
  });
  application.Run();
  return application.ExitCode;
}
