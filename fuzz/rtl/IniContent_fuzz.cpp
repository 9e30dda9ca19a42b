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
  // Any value but one holding a zero byte reads back as written once encoded.
  const std::string value = bytes.substr(0, bytes.find('\0'));
  if (!ini.Write("Enc", "V", rtl::EncodeIniValue(value)) || !ini.Find("Enc", "V", v)) std::abort();
  std::string decoded;
  if (!rtl::DecodeIniValue(v, decoded) || decoded != value) std::abort();
  rtl::DecodeIniValue(bytes, decoded);
  // A section replaced by encoded values gives every value back (a zero
  // byte stays refused: no name holds one).
  auto values = ini.Values("Pos");
  bool noZero = true;
  for (const auto& [k, x] : values) noZero = noZero && x.find('\0') == std::string::npos;
  auto encoded = values;
  for (auto& [k, x] : encoded) x = rtl::EncodeIniValue(x);
  if (noZero && ini.ReplaceSection("Pos", encoded)) {
    auto read = ini.Values("Pos");
    if (read.size() != values.size()) std::abort();
    for (size_t i = 0; i < read.size(); ++i)
      if (!rtl::DecodeIniValue(read[i].second, decoded) || decoded != values[i].second) std::abort();
  }
  ini.DeleteKey("App", "Launch");
  ini.EraseSection("Mode");
  if (ini.Find("Mode", "DD", v)) std::abort();
  return 0;
}
