// The converter's program block: the application, its main window, the loop.
#include <malloc.h>

#include <algorithm>
#include <charconv>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "converter/Unit1.h"
#include "pdf/kvCstPDFDoc.h"
#include "platform/forms/Forms.h"
#include "platform/forms/qt/Desktop.h"
#include "platform/os/ShellApi.h"
#include "platform/rtl/SysUtils.h"

namespace {
// Buffers up to this size come from the heap (the C library's most): a page
// of A4 at 600 dpi in black and white is 4.4 MB, in colour at 300 dpi 26 MB.
constexpr int kPageBufferHeapLimit = 32 << 20;
}  // namespace

int main(int argc, char** argv) {
  // Every page passes through buffers of the page's size (its bitmap, the
  // imaging library's image); mapped afresh and given back for each page,
  // their memory costs a page fault for every 4 KB of every page. Kept in
  // the heap between pages they are used again; the program's memory is
  // then what its largest page needs, as before.
  mallopt(M_MMAP_THRESHOLD, kPageBufferHeapLimit);
  mallopt(M_TRIM_THRESHOLD, 2 * kPageBufferHeapLimit);
  // A report on a stderr that nobody reads any more (the program that
  // started the converter stopped listening) is a write that fails, not the
  // end of the run: the batch still ends as it should, settings and log
  // saved.
  std::signal(SIGPIPE, SIG_IGN);
  // A file grown past the user's file size limit (ulimit -f) is a write that
  // fails, said as the TIFF, the settings or the log that could not be
  // written, with the scan kept: by default the signal would end the
  // program without a word, its work folder left behind.
  std::signal(SIGXFSZ, SIG_IGN);
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
  // A shorter limit for a page tool that hangs, so that the tests of the
  // program itself need not wait the full limit; never a longer one.
  if (const char* limit = std::getenv("TK_PAGE_TOOL_TIME_LIMIT_MS")) {
    int ms = 0;
    const char* end = limit + std::strlen(limit);
    if (auto r = std::from_chars(limit, end, ms); r.ec == std::errc() && r.ptr == end && ms > 0)
      form1->PageToolTimeLimitMs = std::min(ms, form1->PageToolTimeLimitMs);
  }
  application.CreateForm(converter::FormPassWord);
  application.Run();
  return application.ExitCode;
}
