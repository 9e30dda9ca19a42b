#include "imaging/PCDGraphic.h"

#include <gtest/gtest.h>

#include <string>

#include "support/ImageReaders.h"

namespace imaging {
namespace {

using namespace tk::test;

constexpr size_t kW = 768, kH = 512;

// An image pack: the header sectors with the pack's mark and rotation,
// then the base image as pairs of luma rows, each followed by a row of
// either chroma plane at half width. The planes are smooth ramps, as
// photographs are, so that the chroma doubling is exact enough to compare.
std::string PCDFile(uint8_t rotation, bool overview = false) {
  std::string f((overview ? 5 : 96) * 2048, '\0');
  if (overview)
    f.replace(0, 7, "PCD_OPA");
  else
    f.replace(2048, 7, "PCD_IPI");
  f[3586] = static_cast<char>(rotation);
  for (size_t y = 0; y < kH; y += 2) {
    for (size_t r = 0; r < 2; ++r)
      for (size_t x = 0; x < kW; ++x) f += static_cast<char>(40 + (x + y + r) / 8);
    for (size_t x = 0; x < kW / 2; ++x) f += static_cast<char>(110 + x / 16);
    for (size_t x = 0; x < kW / 2; ++x) f += static_cast<char>(160 - y / 16);
  }
  return f;
}

TEST(TPCDGraphic, RotationsTurnTheStoredRows) {
  const auto upright = LoadImage<TPCDGraphic>(PCDFile(0));
  ASSERT_EQ(upright->Width(), 768);
  ASSERT_EQ(upright->Height(), 512);
  EXPECT_EQ(upright->PixelFormat(), graphics::pf24bit);
  const auto two = LoadImage<TPCDGraphic>(PCDFile(2));
  EXPECT_EQ(PixelsOf(*two).rgb, PixelsOf(*upright).rgb);
  const auto one = LoadImage<TPCDGraphic>(PCDFile(1));
  const auto three = LoadImage<TPCDGraphic>(PCDFile(3));
  for (const auto* g : {one.get(), three.get()}) {
    ASSERT_EQ(g->Width(), 512);
    ASSERT_EQ(g->Height(), 768);
  }
  for (int y : {0, 1, 255, 511})
    for (int x : {0, 5, 383, 767}) {
      SCOPED_TRACE("stored pixel " + std::to_string(x) + ", " + std::to_string(y));
      // Code 1: the first stored row is the first column, bottom to top;
      // code 3: the last column, top to bottom.
      EXPECT_EQ(one->Pixel(y, 767 - x), upright->Pixel(x, y));
      EXPECT_EQ(three->Pixel(511 - y, x), upright->Pixel(x, y));
    }
}

// ImageMagick turns Photo-YCC into RGB with its own scaled tables, the
// colour manager with plain luma weights: the two part by up to 16 steps
// on these ramps. Geometry, plane order and the chroma doubling show as far
// larger differences.
constexpr int kYCCTolerance = 16;

TEST(TPCDGraphic, DecodesAsImageMagickDoes) {
  TK_REQUIRE_TOOL("convert-im6.q16");
  tk::test::ScratchDir dir;
  for (uint8_t rotation : {0, 1, 3}) {
    SCOPED_TRACE("rotation " + std::to_string(rotation));
    const std::string bytes = PCDFile(rotation);
    tk::test::WriteFileBytes(dir / "image.pcd", bytes);
    ExpectSamePixels(
        PixelsOf(*LoadImage<TPCDGraphic>(bytes)),
        ParsePPM(
            tk::test::RunTool({"convert-im6.q16", (dir / "image.pcd").string(), "-depth", "8", "ppm:-"}).out),
        kYCCTolerance);
  }
}

TEST(TPCDGraphic, PropertiesByResolution) {
  const std::string bytes = PCDFile(0);
  TPCDGraphic g;
  rtl::TStringStream s(bytes);
  ASSERT_TRUE(g.ReadProperties(s, 4));
  EXPECT_EQ(g.ImageProperties.Width, 3072u);
  EXPECT_EQ(g.ImageProperties.Height, 2048u);
  EXPECT_EQ(g.ImageProperties.Compression, ctPCDHuffmann);
  s.SetPosition(0);
  ASSERT_TRUE(g.ReadProperties(s, 0));
  EXPECT_EQ(g.ImageProperties.Width, 192u);
  EXPECT_EQ(g.ImageProperties.Compression, ctNone);
  // The loader still gives the base resolution.
  EXPECT_EQ(LoadImage<TPCDGraphic>(bytes)->Width(), 768);
  const auto overview = LoadImage<TPCDGraphic>(PCDFile(0, true));
  EXPECT_TRUE(overview->ImageProperties.IsOverview);
  EXPECT_EQ(overview->Width(), 768);
}

TEST(TPCDGraphic, HeaderTestAndDamagedPacks) {
  std::string pack = PCDFile(0);
  rtl::TStringStream exact(pack.substr(0, 6144));
  EXPECT_FALSE(TPCDGraphic::CanReadStream(exact));
  rtl::TStringStream more(pack.substr(0, 6145));
  EXPECT_TRUE(TPCDGraphic::CanReadStream(more));
  EXPECT_EQ(more.Position(), 0);
  std::string unknown = pack;
  unknown.replace(2048, 3, "XYZ");
  EXPECT_EQ(LoadError<TPCDGraphic>(unknown),
            "EInvalidGraphic: Cannot load image. Invalid or unexpected Photo-CD image format.");
  // Offsets beyond the file are a read error before any plane is made.
  EXPECT_EQ(LoadError<TPCDGraphic>(pack.substr(0, 96 * 2048)),
            "EInvalidGraphic: Stream read error in Photo-CD file.");
  ExpectCutCopies<TPCDGraphic>(pack, TCutPolicy::kRaises);
}

}  // namespace
}  // namespace imaging
