// One decoding filter over arbitrary bytes: it must return data or raise
// the library's error, never crash, hang or allocate without bound. Built
// once per filter; TK_FILTER names the class.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "pdf/kvFilters.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string in(reinterpret_cast<const char*>(data), size);
  pdf::TK_FILTER filter;
  std::string out;
  try {
    filter.DecodeString(in, out);
  } catch (const rtl::Exception&) {
    return 0;
  }
  // What decodes must survive the filter's own round trip.
  if (out.size() > (1u << 20)) return 0;
  std::string enc, back;
  filter.EncodeStringLevel(out, pdf::lvFastest, enc);
  if (enc.empty()) filter.EncodeString(out, enc);
  filter.DecodeString(enc, back);
  if (back != out) std::abort();
  return 0;
}
