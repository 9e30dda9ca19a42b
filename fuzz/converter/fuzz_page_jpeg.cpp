// A page's JPEG image as the page tool writes it (an inline image comes with
// the rest of the page's content after it), read as the converter reads it:
// a bitmap and whether more images follow, or the reader's error; never a
// crash or a hang.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "converter/PageTool.h"
#include "platform/graphics/Graphics.h"
#include "platform/rtl/SysUtils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char name[] = "/tmp/fuzz_page_jpeg-XXXXXX";
  const int fd = ::mkstemp(name);
  if (fd < 0) return 0;
  const bool written = ::write(fd, data, size) == static_cast<ssize_t>(size);
  ::close(fd);
  if (written) {
    for (bool inverted : {false, true}) {
      graphics::TPicture picture;
      try {
        converter::LoadPageJpeg(name, picture, inverted);
      } catch (const rtl::Exception&) {
      }
    }
    converter::DrawsImages(std::string_view(reinterpret_cast<const char*>(data), size));
  }
  ::unlink(name);
  return 0;
}
