// Window records are read from a folder every process of the user writes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/os/Windows.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  if (auto r = os::ParseWindowRecord(bytes)) {
    // What parses must format and parse back to the same record.
    auto again = os::ParseWindowRecord(os::FormatWindowRecord(*r));
    if (!again || again->Title != r->Title || again->Exe != r->Exe || again->Handle != r->Handle)
      __builtin_trap();
  }
  return 0;
}
