// The converter's program block: the application, its main window, the loop.
#include "converter/Unit1.h"
#include "pdf/kvCstPDFDoc.h"
#include "platform/forms/Forms.h"
#include "platform/forms/qt/Desktop.h"
#include "platform/os/ShellApi.h"
#include "platform/rtl/SysUtils.h"

int main(int argc, char** argv) {
  rtl::SetCommandLine(argc, argv);
  // The document library opens saved files through whatever the program
  // gives it; on this desktop that is the shell's open.
  pdf::SetShellOpener(os::ShellOpenDocument);
  forms::TApplication application;
  // On a desktop the windows are shown; elsewhere the terminal or nobody
  // is asked, as the application chose.
  forms::UseDesktop(application);
  application.Initialize();
  application.Title = converter::kApplicationTitle;
  converter::TForm1* form1 = nullptr;
  application.CreateForm(form1);
  application.CreateForm(converter::FormPassWord);
  application.Run();
  return application.ExitCode;
}
