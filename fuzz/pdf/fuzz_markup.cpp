// The formatted-text markup reader on arbitrary wide text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "pdf/kvExPDFDoc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string text;
  for (size_t i = 0; i + 1 < size; i += 2)
    text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  try {
    pdf::ParseFormattedText(text);
  } catch (const pdf::EPDFException&) {
  }
  return 0;
}
