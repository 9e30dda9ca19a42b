// image_probe FILE OUT.ppm: loads FILE as the converter does (the reader
// that claims its header, else the picture registry by extension), prints
// the chosen class and the image's geometry, and writes the pixels as a
// binary pixel map. On failure it prints the exception's class and message
// on stderr and exits 1.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "imaging/ImageFormats.h"

namespace {

// Writes rows of RGB triples in blocks of about a megabyte. Bitmaps of 24
// bits and indexed bitmaps are written from their own scan lines; other
// formats are converted to 24 bits first.
void WritePPM(const graphics::TBitmap& source, const std::string& fileName) {
  const graphics::TBitmap* bitmap = &source;
  graphics::TBitmap converted;
  const graphics::TPixelFormat pf = source.PixelFormat();
  const bool indexed = pf == graphics::pf1bit || pf == graphics::pf4bit || pf == graphics::pf8bit;
  if (pf != graphics::pf24bit && !(indexed && source.Palette())) {
    converted.Assign(source);
    converted.SetPixelFormat(graphics::pf24bit);
    bitmap = &converted;
  }
  const int width = bitmap->Width(), height = bitmap->Height();
  rtl::TFileStream out(fileName, rtl::fmCreate);
  out.WriteString("P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n");
  if (width == 0 || height == 0) return;

  std::vector<uint8_t> colours(256 * 3, 0);
  if (bitmap->Palette())
    for (int i = 0; i < bitmap->Palette()->Count() && i < 256; ++i) {
      const graphics::TPaletteEntry& e = bitmap->Palette()->Entry(i);
      colours[3 * static_cast<size_t>(i)] = e.peRed;
      colours[3 * static_cast<size_t>(i) + 1] = e.peGreen;
      colours[3 * static_cast<size_t>(i) + 2] = e.peBlue;
    }
  const int bpp = graphics::BitsPerPixel(bitmap->PixelFormat());
  const size_t rowBytes = static_cast<size_t>(width) * 3;
  const size_t rowsPerBlock = std::max<size_t>(1, (1u << 20) / rowBytes);
  std::vector<uint8_t> block(rowBytes * rowsPerBlock);
  size_t filled = 0;
  for (int y = 0; y < height; ++y) {
    const uint8_t* line = bitmap->ScanLine(y);
    uint8_t* out3 = block.data() + filled * rowBytes;
    for (int x = 0; x < width; ++x, out3 += 3) {
      if (bpp == 24) {
        const uint8_t* p = line + 3 * static_cast<size_t>(x);
        out3[0] = p[2];
        out3[1] = p[1];
        out3[2] = p[0];
        continue;
      }
      int index = bpp == 8   ? line[x]
                  : bpp == 4 ? (x & 1 ? line[x >> 1] & 0x0F : line[x >> 1] >> 4)
                             : (line[x >> 3] >> (7 - (x & 7))) & 1;
      std::memcpy(out3, colours.data() + 3 * static_cast<size_t>(index), 3);
    }
    if (++filled == rowsPerBlock || y + 1 == height) {
      out.WriteBuffer(block.data(), static_cast<int64_t>(filled * rowBytes));
      filled = 0;
    }
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
