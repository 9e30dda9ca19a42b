// Reading back a TIFF page for page, as the converter does before a source
// may go: whatever the file holds, a count or -1, never a crash or a hang.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "converter/FileGuard.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* f = std::tmpfile();
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fflush(f);
  std::string why;
  converter::ReadablePages(::fileno(f), why);
  std::fclose(f);
  return 0;
}
