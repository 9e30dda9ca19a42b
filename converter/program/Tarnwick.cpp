// The converter's program block: the application, its main window, the loop.
#include "converter/Unit1.h"
#include "platform/forms/Forms.h"
#include "platform/rtl/SysUtils.h"

int main(int argc, char** argv) {
  rtl::SetCommandLine(argc, argv);
  forms::TApplication application;
  application.Initialize();
  application.Title = converter::kApplicationTitle;
  converter::TForm1* form1 = nullptr;
  application.CreateForm(form1);
  application.Run();
  return 0;
}
