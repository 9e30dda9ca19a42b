#include "imaging/AutodeskGraphic.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/ImageReaders.h"

namespace imaging {
namespace {

using namespace tk::test;

// An animator file: header, 256 palette entries of 6-bit components, then
// width × height indices. Palette entry i is (i & 63, 63 - (i & 63), i >> 2).
std::string AutodeskFile(uint16_t width, uint16_t height, const std::vector<uint8_t>& pixels,
                         uint8_t bits = 8) {
  std::string f(32, '\0');
  f[0] = '\x19';
  f[1] = '\x91';
  f[2] = static_cast<char>(width & 0xFF);
  f[3] = static_cast<char>(width >> 8);
  f[4] = static_cast<char>(height & 0xFF);
  f[5] = static_cast<char>(height >> 8);
  f[10] = static_cast<char>(bits);
  for (int i = 0; i < 256; ++i) {
    f += static_cast<char>(i & 63);
    f += static_cast<char>(63 - (i & 63));
    f += static_cast<char>(i >> 2);
  }
  f.append(pixels.begin(), pixels.end());
  return f;
}

TEST(TAutodeskGraphic, LoadsIndicesAndScalesThePalette) {
  // 3 x 2: odd width, so rows are padded in the bitmap but not in the file.
  const std::string file = AutodeskFile(3, 2, {0, 1, 63, 255, 128, 7});
  auto g = LoadImage<TAutodeskGraphic>(file);
  EXPECT_EQ(g->PixelFormat(), graphics::pf8bit);
  ASSERT_EQ(g->Width(), 3);
  ASSERT_EQ(g->Height(), 2);
  EXPECT_EQ(std::vector<uint8_t>(g->ScanLine(1), g->ScanLine(1) + 3), (std::vector<uint8_t>{255, 128, 7}));
  // Component 63 becomes 252.
  EXPECT_EQ(g->Palette()->Entry(63), (graphics::TPaletteEntry{252, 0, 60, 0}));
  EXPECT_EQ(g->Pixel(0, 1), graphics::RGB(252, 0, 252));
  EXPECT_EQ(g->ImageProperties.ColorModel, cmIndexed);
  EXPECT_EQ(g->ImageProperties.Compression, ctNone);
}

TEST(TAutodeskGraphic, ComponentsAbove63LoseTheirTopBits) {
  std::string file = AutodeskFile(1, 1, {0});
  file[32] = 64;  // red of entry 0
  file[33] = 65;
  EXPECT_EQ(LoadImage<TAutodeskGraphic>(file)->Palette()->Entry(0), (graphics::TPaletteEntry{0, 4, 0, 0}));
}

TEST(TAutodeskGraphic, HeaderTestAndRegistry) {
  const std::string good = AutodeskFile(2, 2, {1, 2, 3, 4});
  rtl::TStringStream s(good);
  EXPECT_EQ(FileFormats().FindClassByStream(s), TAutodeskGraphic::StaticClass());
  EXPECT_EQ(s.Position(), 0);
  for (const std::string& bad : {AutodeskFile(2, 2, {1, 2, 3, 4}, 4), good.substr(0, 32)}) {
    rtl::TStringStream b(bad);
    EXPECT_FALSE(TAutodeskGraphic::CanReadStream(b));
  }
  EXPECT_EQ(FileFormats().ExtensionAt(FileFormats().IndexOfExtension("CEL")).ClassEntry->GraphicClass,
            TAutodeskGraphic::StaticClass());
}

TEST(TAutodeskGraphic, DamagedFiles) {
  const std::string readError = "EInvalidGraphic: Stream read error in Autodesk file.";
  struct Case {
    const char* fault;
    std::string file;
    std::string error;
  };
  std::string wrongMagic = AutodeskFile(2, 1, {0, 0});
  wrongMagic[1] = '\x92';
  const Case cases[] = {
      {"wrong-magic", wrongMagic,
       "EInvalidGraphic: Cannot load image. Invalid or unexpected Autodesk image format."},
      {"zero-width", AutodeskFile(0, 5, {}),
       "EInvalidGraphic: Cannot load image. Invalid or unexpected Autodesk image format."},
      // 65535 x 65535 pixels claimed by an 800-byte file: refused before the
      // bitmap is made.
      {"bomb-65535x65535", AutodeskFile(65535, 65535, {}), readError},
      {"pixels-missing", AutodeskFile(4, 4, std::vector<uint8_t>(15)), readError},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    EXPECT_EQ(LoadError<TAutodeskGraphic>(c.file), c.error);
  }
}

TEST(TAutodeskGraphic, TruncatedCopiesRaise) {
  ExpectCutCopies<TAutodeskGraphic>(AutodeskFile(5, 3, std::vector<uint8_t>(15, 9)), TCutPolicy::kRaises);
}

}  // namespace
}  // namespace imaging
