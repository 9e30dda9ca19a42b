// The JPEG decoder on arbitrary bytes: an image, or EInvalidGraphic (EJPEG
// among them) / a stream error, nothing else.
#include <cstddef>
#include <cstdint>

#include "platform/graphics/Jpeg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Keep a single input cheap; the limit itself is tested elsewhere.
  graphics::TBitmap::SetPixelMemoryLimit(16 << 20);
  rtl::TMemoryStream stream;
  stream.WriteBuffer(data, static_cast<int64_t>(size));
  stream.SetPosition(0);
  graphics::TJPEGImage jpeg;
  jpeg.OnWarning = [](graphics::TJPEGImage*, const std::string&) {};
  try {
    jpeg.LoadFromStream(stream);
  } catch (const rtl::Exception&) {
  }
  return 0;
}
