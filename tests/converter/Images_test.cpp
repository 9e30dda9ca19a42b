#include "converter/Images.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>

namespace converter {
namespace {

using graphics::TBitmap;
using graphics::TColor;

// A distinct colour for every pixel of a bitmap up to 256 x 256.
TColor At(int x, int y) {
  return graphics::RGB(uint8_t(x), uint8_t(y), uint8_t(x * 16 + y + 1));
}

// Fills a 24-bit picture of w x h with At(x, y) and poisons the row padding,
// which a turn must neither copy nor be shifted by.
void Fill(forms::TImage& image, int w, int h) {
  TBitmap& b = image.Picture().Bitmap();
  b.SetPixelFormat(graphics::pf24bit);
  b.SetSize(w, h);
  for (int y = 0; y < h; ++y) {
    uint8_t* row = b.ScanLine(y);
    for (int x = 0; x < w; ++x) {
      TColor c = At(x, y);
      row[3 * x] = graphics::GetBValue(c), row[3 * x + 1] = graphics::GetGValue(c),
              row[3 * x + 2] = graphics::GetRValue(c);
    }
    for (int64_t i = 3 * w; i < b.Stride(); ++i) row[i] = 0xAA;
  }
}

// Where source pixel (x, y) of a w x h bitmap lands for each turn.
using Place = std::function<std::pair<int, int>(int x, int y, int w, int h)>;
const Place kNone = [](int x, int y, int, int) { return std::pair{x, y}; };
const Place kQuarter = [](int x, int y, int, int h) { return std::pair{h - 1 - y, x}; };
const Place kHalf = [](int x, int y, int w, int h) { return std::pair{w - 1 - x, h - 1 - y}; };
const Place kThreeQuarters = [](int x, int y, int w, int) { return std::pair{y, w - 1 - x}; };

void ExpectTurned(forms::TImage& image, int w, int h, const Place& place) {
  TBitmap& b = image.Picture().Bitmap();
  bool quarter = &place == &kQuarter || &place == &kThreeQuarters;
  ASSERT_EQ(b.Width(), quarter ? h : w);
  ASSERT_EQ(b.Height(), quarter ? w : h);
  ASSERT_EQ(b.PixelFormat(), graphics::pf24bit);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      auto [dx, dy] = place(x, y, w, h);
      ASSERT_EQ(b.Pixel(dx, dy), At(x, y)) << "source (" << x << ", " << y << ")";
    }
}

TEST(Images, RotationTable) {
  struct Case {
    int rotation;
    const Place* place;
  } cases[] = {{0, &kNone},      {90, &kQuarter},        {180, &kHalf},  {270, &kThreeQuarters},
               {360, &kNone},    {-90, &kThreeQuarters}, {-180, &kHalf}, {-270, &kQuarter},
               {450, &kQuarter}, {720, &kNone},          {540, &kHalf},  {45, &kNone}};
  for (int w : {1, 3, 5, 7})
    for (int h : {1, 2, 4}) {
      for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " by " + std::to_string(c.rotation));
        forms::TImage image(nullptr);
        Fill(image, w, h);
        RotateByPageRotation(image, c.rotation);
        ExpectTurned(image, w, h, *c.place);
      }
    }
}

TEST(Images, ThreeByTwoQuarterTurn) {
  forms::TImage image(nullptr);
  Fill(image, 3, 2);
  RotateImage90(image);
  TBitmap& b = image.Picture().Bitmap();
  EXPECT_EQ(b.Width(), 2);
  EXPECT_EQ(b.Height(), 3);
  EXPECT_EQ(b.Pixel(1, 0), At(0, 0)) << "the top-left pixel ends at the top-right";
  // The padding of the new rows is clean: nothing of the old padding came along.
  for (int y = 0; y < 3; ++y)
    for (int64_t i = 6; i < b.Stride(); ++i) EXPECT_EQ(b.ScanLine(y)[i], 0);
}

TEST(Images, IdentitiesAndLargerThanATile) {
  struct Case {
    const char* name;
    std::vector<void (*)(forms::TImage&)> turns;
  } cases[] = {
      {"90 then 270", {RotateImage90, RotateImage270}},
      {"270 then 90", {RotateImage270, RotateImage90}},
      {"180 twice", {RotateImage180, RotateImage180}},
      {"90 four times", {RotateImage90, RotateImage90, RotateImage90, RotateImage90}},
  };
  for (auto [w, h] : {std::pair{5, 7}, std::pair{131, 67}}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + " on " + std::to_string(w) + "x" + std::to_string(h));
      forms::TImage image(nullptr);
      Fill(image, w, h);
      for (auto turn : c.turns) turn(image);
      ExpectTurned(image, w, h, kNone);
    }
  }
  forms::TImage big(nullptr);
  Fill(big, 131, 67);
  RotateImage90(big);
  ExpectTurned(big, 131, 67, kQuarter);
}

TEST(Images, KeepsTheBitmapObjectAndItsCanvas) {
  forms::TImage image(nullptr);
  Fill(image, 4, 3);
  TBitmap* before = &image.Picture().Bitmap();
  HDC dc = image.Canvas().Handle();
  RotateImage270(image);
  EXPECT_EQ(&image.Picture().Bitmap(), before);
  EXPECT_EQ(image.Canvas().Handle(), dc);
  TKDibInfo info{};
  ASSERT_EQ(dc->Describe(dc, &info), 1);
  EXPECT_EQ(info.Width, 3);
  EXPECT_EQ(info.Height, 4);
}

TEST(Images, EmptyPictureAndOtherFormats) {
  for (int rotation : {90, 180, 270}) {
    forms::TImage image(nullptr);
    RotateByPageRotation(image, rotation);
    EXPECT_EQ(image.Picture().Graphic(), nullptr) << "an empty picture stays empty";
    image.Picture().Bitmap();  // an empty bitmap: still nothing to turn
    EXPECT_NO_THROW(RotateByPageRotation(image, rotation));
    EXPECT_TRUE(image.Picture().Bitmap().Empty());
  }
  forms::TImage grey(nullptr);
  grey.Picture().Bitmap().SetPixelFormat(graphics::pf8bit);
  grey.Picture().Bitmap().SetSize(8, 8);
  EXPECT_THROW(RotateImage90(grey), graphics::EInvalidGraphicOperation);
  EXPECT_NO_THROW(RotateByPageRotation(grey, 0)) << "no turn, no demand on the format";
}

// A bilevel page turned as it is, then brought to black and white, ends
// exactly as the trip through 24 bits leaves it (turned there, packed back):
// the same palette and the same bytes of every row, padding included, for
// every turn, on sizes that fill no byte, and for the palettes a page can
// come with (the portable-map reader's 0 white, 1 black; the default; one
// that is not black and white at all).
TEST(Images, BilevelTurnsEqualTheTripThrough24Bits) {
  using graphics::TPaletteEntry;
  const std::vector<std::pair<const char*, std::vector<TPaletteEntry>>> palettes = {
      {"white black", {{255, 255, 255, 0}, {0, 0, 0, 0}}},
      {"black white", {{0, 0, 0, 0}, {255, 255, 255, 0}}},
      {"greys", {{200, 200, 200, 0}, {90, 90, 90, 0}}},
  };
  const std::pair<int, int> sizes[] = {{1, 1}, {3, 2}, {13, 7}, {9, 33}, {70, 5}};
  for (const auto& [name, entries] : palettes) {
    for (auto [w, h] : sizes) {
      for (int rotation : {0, 90, 180, 270}) {
        SCOPED_TRACE(std::string(name) + " " + std::to_string(w) + "x" + std::to_string(h) + " by " +
                     std::to_string(rotation));
        forms::TImage direct(nullptr), trip(nullptr);
        for (forms::TImage* image : {&direct, &trip}) {
          TBitmap& b = image->Picture().Bitmap();
          b.SetPixelFormat(graphics::pf1bit);
          b.SetSize(w, h);
          b.SetPalette(std::make_unique<graphics::TPalette>(entries));
          for (int y = 0; y < h; ++y)
            for (int i = 0; i < (w + 7) / 8; ++i)
              b.ScanLine(y)[i] = static_cast<uint8_t>((y * 37 + i * 101 + w) * 151);
        }
        RotateByPageRotation(direct, rotation);
        MakeBlackAndWhite(direct.Picture().Bitmap());
        TBitmap& t = trip.Picture().Bitmap();
        t.SetPixelFormat(graphics::pf24bit);
        RotateByPageRotation(trip, rotation);
        t.SetPixelFormat(graphics::pf1bit);

        const TBitmap& d = direct.Picture().Bitmap();
        ASSERT_EQ(d.PixelFormat(), graphics::pf1bit);
        ASSERT_EQ(d.Width(), t.Width());
        ASSERT_EQ(d.Height(), t.Height());
        ASSERT_TRUE(d.Palette() && t.Palette());
        EXPECT_EQ(d.Palette()->Entries(), t.Palette()->Entries());
        for (int y = 0; y < t.Height(); ++y)
          EXPECT_EQ(std::memcmp(d.ScanLine(y), t.ScanLine(y), static_cast<size_t>(t.Stride())), 0)
              << "row " << y;
      }
    }
  }
}

}  // namespace
}  // namespace converter
