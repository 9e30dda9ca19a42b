// image_probe FILE OUT.ppm: loads FILE as the converter does (the reader
// that claims its header, else the picture registry by extension), prints
// the chosen class and the image's geometry, and writes the pixels as a
// binary pixel map. On failure it prints the exception's class and message
// on stderr and exits 1.
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "imaging/ImageFormats.h"

namespace {

void WritePPM(const graphics::TBitmap& source, const std::string& fileName) {
  graphics::TBitmap rgb;
  rgb.Assign(source);
  rgb.SetPixelFormat(graphics::pf24bit);
  rtl::TFileStream out(fileName, rtl::fmCreate);
  out.WriteString("P6\n" + std::to_string(rgb.Width()) + " " + std::to_string(rgb.Height()) + "\n255\n");
  std::vector<uint8_t> row(static_cast<size_t>(rgb.Width()) * 3);
  for (int y = 0; y < rgb.Height(); ++y) {
    const uint8_t* bgr = rgb.ScanLine(y);
    for (size_t i = 0; i < row.size(); i += 3) {
      row[i] = bgr[i + 2];
      row[i + 1] = bgr[i + 1];
      row[i + 2] = bgr[i];
    }
    out.WriteBuffer(row.data(), static_cast<int64_t>(row.size()));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: image_probe FILE OUT.ppm\n");
    return 2;
  }
  const std::string file = argv[1];
  try {
    std::unique_ptr<graphics::TGraphic> graphic;
    if (graphics::TGraphicClass c = imaging::FileFormats().FindClassByContent(file)) {
      graphic = c->Create();
      graphic->LoadFromFile(file);
    } else {
      graphics::TPicture picture;
      picture.LoadFromFile(file);
      graphic = picture.Graphic()->NewInstance();
      graphic->Assign(*picture.Graphic());
    }
    // Graphics that are not bitmaps themselves (JPEG images) hand over their
    // pixels.
    graphics::TBitmap decoded;
    const auto* bitmap = dynamic_cast<const graphics::TBitmap*>(graphic.get());
    if (!bitmap) {
      decoded.Assign(*graphic);
      bitmap = &decoded;
    }
    std::printf("class: %s\nwidth: %d\nheight: %d\npixel format: %s\n", graphic->ClassName(), bitmap->Width(),
                bitmap->Height(), graphics::PixelFormatName(bitmap->PixelFormat()));
    WritePPM(*bitmap, argv[2]);
  } catch (const rtl::Exception& e) {
    std::fprintf(stderr, "%s: %s\n", e.ClassName(), e.what());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "std::exception: %s\n", e.what());
    return 1;
  }
  return 0;
}
