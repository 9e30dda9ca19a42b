// The bitmap's own file reader on arbitrary bytes: a bitmap or
// EInvalidGraphic / a stream error, nothing else.
#include <cstddef>
#include <cstdint>

#include "platform/graphics/Graphics.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Keep a single input cheap; the limit itself is tested elsewhere.
  graphics::TBitmap::SetPixelMemoryLimit(64 << 20);
  rtl::TMemoryStream stream;
  stream.WriteBuffer(data, static_cast<int64_t>(size));
  stream.SetPosition(0);
  graphics::TBitmap bitmap;
  try {
    bitmap.LoadFromStream(stream);
    if (!bitmap.Empty()) bitmap.SetPixelFormat(graphics::pf24bit);
  } catch (const rtl::Exception&) {
  }
  return 0;
}
