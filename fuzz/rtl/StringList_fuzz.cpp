// Comma and delimited text comes from settings and command lines: split
// arbitrary bytes in both code pages and check that joining and splitting
// again gives the same strings.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/rtl/Classes.h"
#include "platform/rtl/CodePages.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  for (unsigned cp : {rtl::CP_UTF8, rtl::CP_SHIFTJIS}) {
    rtl::SetACP(cp);
    rtl::TStringList a;
    a.SetCommaText(text);
    rtl::TStringList b;
    b.SetCommaText(a.CommaText());
    if (a.Count() != b.Count()) std::abort();
    for (int i = 0; i < a.Count(); ++i)
      if (a.Strings(i) != b.Strings(i)) std::abort();
    a.SetText(text);
    a.Sort();
    (void)a.IndexOf("x");
  }
  rtl::SetACP(rtl::CP_UTF8);
  return 0;
}
