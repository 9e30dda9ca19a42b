// Appending a page to a file of arbitrary bytes: the imaging library must
// either append or report failure, whatever the existing file holds.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/graphics/Graphics.h"
#include "platform/imagekit/ImageKitExports.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static graphics::TBitmap* page = [] {
    auto* b = new graphics::TBitmap;
    b->SetPixelFormat(graphics::pf1bit);
    b->SetSize(17, 5);
    return b;
  }();
  static const std::string path = "/tmp/tk-fuzz-append-" + std::to_string(::getpid()) + ".tif";
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  } else {
    return 0;
  }
  TIKImage image = IKGetImageFromHdc(page->Canvas().Handle(), 17, 5, 1);
  IKTiffFileSave(path.c_str(), image, size % 2 ? 4 : 5, 0, -1, "", 0, 0, "", "", "");
  IKFreeMemory(image);
  std::remove(path.c_str());
  return 0;
}
