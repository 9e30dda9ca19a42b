// libtiff's errors about one handle, gathered on an object of the caller's
// (through TIFFOpenOptionsSetErrorHandlerExtR) rather than reported through
// libtiff's process-wide handler; warnings are passed over. Header only: the
// imaging library and the converter's read-back share no objects.
#pragma once

#include <tiffio.h>

#include <cstdarg>
#include <cstdio>
#include <string>

namespace imagekit {

struct TTiffComplaints {
  // Every error so far, "module: text" each, joined by "; ".
  std::string Text;

  // Points the options' handlers at this object.
  void Attach(TIFFOpenOptions* options) {
    TIFFOpenOptionsSetErrorHandlerExtR(options, &TTiffComplaints::OnError, this);
    TIFFOpenOptionsSetWarningHandlerExtR(options, &TTiffComplaints::OnWarning, this);
  }

  static int OnError(TIFF*, void* self, const char* module, const char* fmt, va_list ap) {
    char line[512];
    std::vsnprintf(line, sizeof line, fmt, ap);
    auto* me = static_cast<TTiffComplaints*>(self);
    if (!me->Text.empty()) me->Text += "; ";
    me->Text += std::string(module ? module : "") + ": " + line;
    return 1;
  }
  static int OnWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }
};

}  // namespace imagekit
