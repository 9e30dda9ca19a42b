// Settings files are edited by people and other programs: parse, read and
// edit arbitrary bytes, and check that a write keeps what it must.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/rtl/IniFiles.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  rtl::TIniContent ini(bytes);
  std::string v;
  for (const auto& s : ini.Sections())
    for (const auto& k : ini.Keys(s)) ini.Find(s, k, v);
  if (ini.Write("Pos", "Top", "12")) {
    if (!ini.Find("Pos", "Top", v) || v != "12") std::abort();
  }
  ini.DeleteKey("App", "Launch");
  ini.EraseSection("Mode");
  if (ini.Find("Mode", "DD", v)) std::abort();
  return 0;
}
