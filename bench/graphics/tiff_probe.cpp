// Probe for compare.sh.
//   graphics_tiff_probe make page.pbm        writes the A4 page as a PBM
//   graphics_tiff_probe save page.pbm out.tif [n]
//                                            reads the PBM into a bitmap and
//                                            appends it n times (default 1)
//                                            to out.tif through the imaging
//                                            library, Group 4, 300 dpi
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include "bench/graphics/A4Page.h"
#include "platform/imagekit/ImageKitExports.h"

namespace {

int Make(const char* path) {
  graphics::TBitmap page;
  bench::FillA4Page(page);
  std::ofstream out(path, std::ios::binary);
  out << "P4\n" << page.Width() << " " << page.Height() << "\n";
  const size_t rowBytes = (static_cast<size_t>(page.Width()) + 7) / 8;
  std::string row(rowBytes, '\0');
  for (int y = 0; y < page.Height(); ++y) {
    // PBM: 1 is black; the bitmap's index 0 is black.
    for (size_t i = 0; i < rowBytes; ++i) row[i] = static_cast<char>(~page.ScanLine(y)[i]);
    out.write(row.data(), static_cast<std::streamsize>(row.size()));
  }
  return out ? 0 : 1;
}

int Save(const char* pbm, const char* tif, int times) {
  std::ifstream in(pbm, std::ios::binary);
  std::string magic;
  int w = 0, h = 0;
  in >> magic >> w >> h;
  in.get();
  if (magic != "P4" || w <= 0 || h <= 0) return 2;
  graphics::TBitmap page;
  page.SetPixelFormat(graphics::pf1bit);
  page.SetSize(w, h);
  const size_t rowBytes = (static_cast<size_t>(w) + 7) / 8;
  std::string row(rowBytes, '\0');
  for (int y = 0; y < h; ++y) {
    if (!in.read(row.data(), static_cast<std::streamsize>(rowBytes))) return 2;
    for (size_t i = 0; i < rowBytes; ++i) page.ScanLine(y)[i] = static_cast<uint8_t>(~row[i]);
  }
  std::remove(tif);
  for (int i = 0; i < times; ++i) {
    TIKImage image = IKGetImageFromHdc(page.Canvas().Handle(), w, h, 1);
    if (!image || !IKSetDpi(image, 300, 300) || !IKTiffFileSave(tif, image, 4, 0, -1, "", 0, 0, "", "", ""))
      return 3;
    IKFreeMemory(image);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "make") == 0) return Make(argv[2]);
  if (argc >= 4 && std::strcmp(argv[1], "save") == 0)
    return Save(argv[2], argv[3], argc > 4 ? std::atoi(argv[4]) : 1);
  std::cerr << "usage: graphics_tiff_probe make page.pbm | save page.pbm out.tif [n]\n";
  return 2;
}
