#include "platform/graphics/Graphics.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/TestSupport.h"

namespace graphics {
namespace {

// A 24-bit bitmap from rows of colours (0x00BBGGRR).
std::unique_ptr<TBitmap> Make24(const std::vector<std::vector<TColor>>& rows) {
  auto b = std::make_unique<TBitmap>();
  b->SetPixelFormat(pf24bit);
  b->SetSize(static_cast<int>(rows[0].size()), static_cast<int>(rows.size()));
  for (size_t y = 0; y < rows.size(); ++y)
    for (size_t x = 0; x < rows[y].size(); ++x) {
      uint8_t* p = b->ScanLine(static_cast<int>(y)) + 3 * x;
      p[0] = GetBValue(rows[y][x]), p[1] = GetGValue(rows[y][x]), p[2] = GetRValue(rows[y][x]);
    }
  return b;
}

std::vector<std::vector<TColor>> Pixels(const TBitmap& b) {
  std::vector<std::vector<TColor>> out(static_cast<size_t>(b.Height()));
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) out[static_cast<size_t>(y)].push_back(b.Pixel(x, y));
  return out;
}

TEST(TBitmap, RowsArePaddedToFourBytes) {
  struct Case {
    int width;
    TPixelFormat pf;
    int64_t stride;
  } cases[] = {
      {1, pf1bit, 4},   {33, pf1bit, 8},  {1, pf4bit, 4},  {9, pf4bit, 8},   {1, pf8bit, 4},
      {5, pf8bit, 8},   {1, pf15bit, 4},  {3, pf16bit, 8}, {1, pf24bit, 4},  {3, pf24bit, 12},
      {5, pf24bit, 16}, {7, pf24bit, 24}, {1, pf32bit, 4}, {7, pf32bit, 28},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(PixelFormatName(c.pf)) + " width " + std::to_string(c.width));
    EXPECT_EQ(TBitmap::BytesPerScanLine(c.width, c.pf), c.stride);
    TBitmap b;
    b.SetPixelFormat(c.pf);
    b.SetSize(c.width, 3);
    EXPECT_EQ(b.ScanLine(1) - b.ScanLine(0), c.stride);
    EXPECT_EQ(b.ScanLine(2) - b.ScanLine(1), c.stride);
  }
}

TEST(TBitmap, NewBitmapIsEmpty24Bit) {
  TBitmap b;
  EXPECT_TRUE(b.Empty());
  EXPECT_EQ(b.PixelFormat(), pf24bit);
  EXPECT_EQ(b.Palette(), nullptr);
  EXPECT_THROW(b.ScanLine(0), EInvalidGraphicOperation);
}

TEST(TBitmap, IndexedFormatsHaveAPalette) {
  struct Case {
    TPixelFormat pf;
    int entries;
  } cases[] = {{pf1bit, 2}, {pf4bit, 16}, {pf8bit, 256}};
  for (const Case& c : cases) {
    SCOPED_TRACE(PixelFormatName(c.pf));
    TBitmap b;
    b.SetPixelFormat(c.pf);
    ASSERT_NE(b.Palette(), nullptr);
    EXPECT_EQ(b.Palette()->Count(), c.entries);
    b.SetPalette(nullptr);  // an indexed bitmap never goes without one
    ASSERT_NE(b.Palette(), nullptr);
  }
  TBitmap mono;
  mono.SetPixelFormat(pf1bit);
  EXPECT_EQ(mono.Palette()->Entry(0), (TPaletteEntry{0, 0, 0, 0}));
  EXPECT_EQ(mono.Palette()->Entry(1), (TPaletteEntry{255, 255, 255, 0}));
}

TEST(TBitmap, DeviceAndCustomFormatsRefusePixelWork) {
  for (TPixelFormat pf : {pfDevice, pfCustom}) {
    SCOPED_TRACE(PixelFormatName(pf));
    TBitmap empty;
    empty.SetPixelFormat(pf);  // allowed while there are no pixels
    EXPECT_EQ(empty.PixelFormat(), pf);
    try {
      empty.SetSize(4, 4);
      FAIL() << "SetSize accepted a format without a pixel layout";
    } catch (const EInvalidGraphicOperation& e) {
      EXPECT_NE(std::string(e.what()).find(PixelFormatName(pf)), std::string::npos) << e.what();
    }
    EXPECT_THROW(TBitmap::BytesPerScanLine(4, pf), EInvalidGraphicOperation);

    TBitmap full;
    full.SetSize(2, 2);
    EXPECT_THROW(full.SetPixelFormat(pf), EInvalidGraphicOperation);
    EXPECT_EQ(full.PixelFormat(), pf24bit);
  }
}

TEST(TBitmap, SizeGuardRefusesBeforeAllocating) {
  TBitmap b;
  EXPECT_THROW(b.SetSize(100000, 100000), EInvalidGraphic);
  EXPECT_TRUE(b.Empty());
  EXPECT_THROW(b.SetSize(-1, 5), EInvalidGraphic);
  // 1 GiB exactly is allowed in principle; just over is not.
  TBitmap mono;
  mono.SetPixelFormat(pf1bit);
  EXPECT_THROW(mono.SetSize(32 * 1024 * 8, 32 * 1024 + 1), EInvalidGraphic);
}

TEST(TBitmap, ScanLineOutOfRangeRaises) {
  TBitmap b;
  b.SetSize(2, 2);
  EXPECT_NO_THROW(b.ScanLine(1));
  EXPECT_THROW(b.ScanLine(2), EInvalidGraphicOperation);
  EXPECT_THROW(b.ScanLine(-1), EInvalidGraphicOperation);
}

TEST(TBitmap, ResizeKeepsSharedPixels) {
  auto b = Make24({{clRed, clLime, clBlue}, {clWhite, clGray, clRed}});
  b->SetSize(2, 3);
  EXPECT_EQ(Pixels(*b),
            (std::vector<std::vector<TColor>>{{clRed, clLime}, {clWhite, clGray}, {clBlack, clBlack}}));

  TBitmap mono;
  mono.SetPixelFormat(pf1bit);
  mono.SetSize(10, 1);
  std::memset(mono.ScanLine(0), 0xFF, 2);
  mono.SetSize(3, 1);
  mono.SetSize(10, 1);  // the bits beyond width 3 were dropped, not kept
  EXPECT_EQ(mono.ScanLine(0)[0], 0xE0);
  EXPECT_EQ(mono.ScanLine(0)[1], 0x00);
}

TEST(TBitmap, OneBitToTwentyFourIsExact) {
  TBitmap b;
  b.SetPixelFormat(pf1bit);
  b.SetSize(11, 2);
  b.ScanLine(0)[0] = 0xA5;  // 1010 0101
  b.ScanLine(0)[1] = 0xE0;  // 111
  b.ScanLine(1)[0] = 0x00;
  b.ScanLine(1)[1] = 0x20;  // x = 10
  b.SetPixelFormat(pf24bit);
  EXPECT_EQ(b.Palette(), nullptr);
  const TColor W = clWhite, K = clBlack;
  EXPECT_EQ(Pixels(b), (std::vector<std::vector<TColor>>{{W, K, W, K, K, W, K, W, W, W, W},
                                                         {K, K, K, K, K, K, K, K, K, K, W}}));
  // A 1-bit bitmap with its own two colours keeps them.
  TBitmap c;
  c.SetPixelFormat(pf1bit);
  c.SetPalette(CreatePalette({0x300, {{255, 0, 0, 0}, {0, 0, 255, 0}}}));
  c.SetSize(2, 1);
  c.ScanLine(0)[0] = 0x40;
  c.SetPixelFormat(pf24bit);
  EXPECT_EQ(Pixels(c), (std::vector<std::vector<TColor>>{{clRed, clBlue}}));
}

TEST(TBitmap, TwentyFourToOneBit) {
  // Black and white exactly, any other colour to the nearer of the two.
  auto b = Make24({{clBlack, clWhite, RGB(100, 100, 100), RGB(200, 180, 190), RGB(255, 0, 0),
                    RGB(0, 255, 255), clBlack, clWhite, clWhite}});
  b->SetPixelFormat(pf1bit);
  EXPECT_EQ(b->Width(), 9);
  ASSERT_NE(b->Palette(), nullptr);
  EXPECT_EQ(b->Palette()->Entry(0), (TPaletteEntry{0, 0, 0, 0}));
  EXPECT_EQ(b->ScanLine(0)[0], 0b01010101);
  EXPECT_EQ(b->ScanLine(0)[1], 0b10000000);
}

TEST(TBitmap, OneBitRoundTripThroughTwentyFour) {
  TBitmap b;
  b.SetPixelFormat(pf1bit);
  b.SetSize(37, 5);
  for (int y = 0; y < 5; ++y)
    for (int i = 0; i < 5; ++i) b.ScanLine(y)[i] = static_cast<uint8_t>(y * 53 + i * 17);
  b.ScanLine(0)[4] &= 0xF8;  // bits beyond the width stay zero
  for (int y = 1; y < 5; ++y) b.ScanLine(y)[4] &= 0xF8;
  TBitmap copy;
  copy.Assign(b);
  b.SetPixelFormat(pf24bit);
  b.SetPixelFormat(pf1bit);
  for (int y = 0; y < 5; ++y) EXPECT_EQ(std::memcmp(b.ScanLine(y), copy.ScanLine(y), 5), 0) << "row " << y;
}

TEST(TBitmap, TwentyFourToEightBit) {
  // All grey: a grey ramp, the index being the grey value.
  auto grey = Make24({{RGB(0, 0, 0), RGB(17, 17, 17)}, {RGB(128, 128, 128), RGB(255, 255, 255)}});
  grey->SetPixelFormat(pf8bit);
  ASSERT_EQ(grey->Palette()->Count(), 256);
  for (int i = 0; i < 256; ++i) {
    auto v = static_cast<uint8_t>(i);
    ASSERT_EQ(grey->Palette()->Entry(i), (TPaletteEntry{v, v, v, 0}));
  }
  EXPECT_EQ(grey->ScanLine(0)[0], 0);
  EXPECT_EQ(grey->ScanLine(0)[1], 17);
  EXPECT_EQ(grey->ScanLine(1)[0], 128);
  EXPECT_EQ(grey->ScanLine(1)[1], 255);

  // Few colours: kept exactly.
  std::vector<std::vector<TColor>> few = {{clRed, RGB(1, 2, 3)}, {RGB(1, 2, 3), clGray}};
  auto colour = Make24(few);
  colour->SetPixelFormat(pf8bit);
  EXPECT_EQ(Pixels(*colour), few);
  colour->SetPixelFormat(pf24bit);
  EXPECT_EQ(Pixels(*colour), few);

  // More colours than entries: the nearest entry of the colour cube.
  TBitmap many;
  many.SetSize(300, 1);
  for (int x = 0; x < 300; ++x) {
    uint8_t* p = many.ScanLine(0) + 3 * x;
    p[0] = static_cast<uint8_t>(x), p[1] = static_cast<uint8_t>(x / 2),
    p[2] = static_cast<uint8_t>(255 - x % 256);
  }
  many.SetPixelFormat(pf8bit);
  for (int x : {0, 150, 299}) {
    TColor c = many.Pixel(x, 0);
    int b = x % 256, g = x / 2, r = 255 - x % 256;
    EXPECT_LE(std::abs(GetRValue(c) - r), 19) << x;
    EXPECT_LE(std::abs(GetGValue(c) - g), 19) << x;
    EXPECT_LE(std::abs(GetBValue(c) - b), 43) << x;
  }
}

TEST(TBitmap, DirectColourFormatsRoundTrip) {
  // Colours that every direct format holds exactly.
  std::vector<std::vector<TColor>> rows = {{clBlack, clWhite, clRed}, {clLime, clBlue, RGB(255, 255, 0)}};
  for (TPixelFormat pf : {pf15bit, pf16bit, pf32bit, pf4bit, pf8bit}) {
    SCOPED_TRACE(PixelFormatName(pf));
    auto b = Make24(rows);
    b->SetPixelFormat(pf);
    EXPECT_EQ(b->PixelFormat(), pf);
    EXPECT_EQ(Pixels(*b), rows);
    b->SetPixelFormat(pf24bit);
    EXPECT_EQ(Pixels(*b), rows);
  }
  auto b = Make24({{RGB(0x84, 0x42, 0x21)}});
  b->SetPixelFormat(pf16bit);
  EXPECT_EQ(b->ScanLine(0)[0] | (b->ScanLine(0)[1] << 8), (0x84 >> 3) << 11 | (0x42 >> 2) << 5 | (0x21 >> 3));
  b = Make24({{RGB(0x84, 0x42, 0x21)}});
  b->SetPixelFormat(pf15bit);
  EXPECT_EQ(b->ScanLine(0)[0] | (b->ScanLine(0)[1] << 8), (0x84 >> 3) << 10 | (0x42 >> 3) << 5 | (0x21 >> 3));
}

TEST(TBitmap, IndexedToWiderIndexedKeepsIndicesAndPalette) {
  TBitmap b;
  b.SetPixelFormat(pf1bit);
  b.SetPalette(CreatePalette({0x300, {{10, 20, 30, 0}, {40, 50, 60, 0}}}));
  b.SetSize(3, 1);
  b.ScanLine(0)[0] = 0xA0;  // 1 0 1
  b.SetPixelFormat(pf8bit);
  EXPECT_EQ(b.Palette()->Count(), 2);
  EXPECT_EQ(b.ScanLine(0)[0], 1);
  EXPECT_EQ(b.ScanLine(0)[1], 0);
  EXPECT_EQ(b.ScanLine(0)[2], 1);
  EXPECT_EQ(b.Pixel(0, 0), RGB(40, 50, 60));
}

TEST(TBitmap, AssignCopiesIndependently) {
  auto a = Make24({{clRed, clBlue}});
  TBitmap b;
  b.Assign(*a);
  a->ScanLine(0)[0] = 7;
  EXPECT_EQ(b.Pixel(0, 0), clRed);
  EXPECT_EQ(b.Width(), 2);
  EXPECT_EQ(b.PixelFormat(), pf24bit);
}

TEST(TCanvas, HandleIdentifiesTheBitmap) {
  TBitmap b;
  b.SetPixelFormat(pf8bit);
  b.SetSize(3, 2);
  HDC dc = b.Canvas().Handle();
  EXPECT_EQ(TCanvas::BitmapFromHandle(dc), &b);
  EXPECT_EQ(TCanvas::BitmapFromHandle(nullptr), nullptr);
  TKDibInfo info{};
  ASSERT_EQ(dc->Describe(dc, &info), 1);
  EXPECT_EQ(info.Width, 3);
  EXPECT_EQ(info.Height, 2);
  EXPECT_EQ(info.BitsPerPixel, 8);
  EXPECT_EQ(info.Stride, 4);
  EXPECT_EQ(info.Rows, b.ScanLine(0));
  EXPECT_EQ(info.PaletteCount, 256);
  // The description follows the bitmap as it changes.
  b.SetPixelFormat(pf24bit);
  ASSERT_EQ(dc->Describe(dc, &info), 1);
  EXPECT_EQ(info.BitsPerPixel, 24);
  EXPECT_EQ(info.Rows, b.ScanLine(0));
  b.SetSize(0, 0);
  EXPECT_EQ(dc->Describe(dc, &info), 0);
}

TEST(TBitmap, ProgressEventFiresOnlyWhenAssigned) {
  TBitmap b;
  b.Progress(psStarting, 0, false, Rect(0, 0, 1, 1), "Preparing...");  // no handler: nothing
  std::vector<std::string> seen;
  b.OnProgress = [&](TGraphic* sender, TProgressStage stage, uint8_t pct, bool, const TRect& r,
                     const std::string& msg) {
    EXPECT_EQ(sender, &b);
    seen.push_back(std::to_string(stage) + ":" + std::to_string(pct) + ":" + std::to_string(r.Right) + ":" +
                   msg);
  };
  b.Progress(psStarting, 0, false, Rect(0, 0, 5, 1), "Preparing...");
  b.Progress(psRunning, 50, true, Rect(0, 1, 5, 2), "");
  b.Progress(psEnding, 0, false, Rect(0, 0, 5, 1), "");
  EXPECT_EQ(seen, (std::vector<std::string>{"0:0:5:Preparing...", "1:50:5:", "2:0:5:"}));
}

// BMP files: what we write other programs read, and the other way round.
TEST(TBitmapFile, WrittenBmpDecodesWithNetpbm) {
  TK_REQUIRE_TOOL("bmptopnm");
  tk::test::ScratchDir dir;
  std::vector<std::vector<TColor>> rows = {{clRed, clLime, clBlue, clWhite, clBlack},
                                           {RGB(1, 2, 3), RGB(200, 100, 50), clGray, clRed, clBlue}};
  for (TPixelFormat pf : {pf24bit, pf8bit, pf32bit}) {
    SCOPED_TRACE(PixelFormatName(pf));
    auto b = Make24(rows);
    b->SetPixelFormat(pf);
    std::string path = (dir / "out.bmp").string();
    b->SaveToFile(path);
    auto r = tk::test::RunTool({"bmptopnm", path});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::string expected = "P6\n5 2\n255\n";
    for (const auto& row : rows)
      for (TColor c : row) expected += {char(GetRValue(c)), char(GetGValue(c)), char(GetBValue(c))};
    EXPECT_EQ(r.out, expected);
  }
}

TEST(TBitmapFile, ReadsBmpFromImageMagickAndRejectsTruncated) {
  TK_REQUIRE_TOOL("convert-im6.q16");
  tk::test::ScratchDir dir;
  // 7 x 3 so that rows are padded; pixels from a portable pixmap we control.
  std::string ppm = "P6\n7 3\n255\n";
  for (int i = 0; i < 21; ++i) ppm += {char(i * 12), char(255 - i * 5), char(i * 3)};
  tk::test::WriteFileBytes(dir / "in.ppm", ppm);
  struct Case {
    const char* name;
    std::vector<std::string> args;
  } cases[] = {{"24-bit", {"-type", "TrueColor"}}, {"8-bit palette", {"-type", "Palette"}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> argv = {"convert-im6.q16", (dir / "in.ppm").string()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    argv.insert(argv.end(), {"-compress", "none", "BMP3:" + (dir / "in.bmp").string()});
    auto r = tk::test::RunTool(argv);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    TBitmap b;
    b.LoadFromFile((dir / "in.bmp").string());
    ASSERT_EQ(b.Width(), 7);
    ASSERT_EQ(b.Height(), 3);
    for (int i = 0; i < 21; ++i)
      EXPECT_EQ(b.Pixel(i % 7, i / 7), RGB(uint8_t(i * 12), uint8_t(255 - i * 5), uint8_t(i * 3))) << i;

    std::string bytes = tk::test::ReadFileBytes(dir / "in.bmp");
    for (size_t cut : {size_t{10}, size_t{60}, bytes.size() - 1}) {
      rtl::TStringStream s(bytes.substr(0, cut));
      TBitmap t;
      EXPECT_THROW(t.LoadFromStream(s), EInvalidGraphic) << "cut at " << cut;
    }
  }
}

// ---------------------------------------------------------------------------
// Picture and registry

class TTestGraphic : public TBitmap {
 public:
  static TGraphicClass StaticClass() {
    static const TGraphicClassInfo info{
        "TTestGraphic", TBitmap::StaticClass(),
        []() -> std::unique_ptr<TGraphic> { return std::make_unique<TTestGraphic>(); }};
    return &info;
  }
  TGraphicClass ClassType() const override { return StaticClass(); }
  void LoadFromStream(rtl::TStream& stream) override {
    Progress(psStarting, 0, false, Rect(0, 0, 1, 1), "Transfering...");
    char c = 0;
    stream.ReadBuffer(&c, 1);
    SetSize(c, 1);
  }
};

TEST(TPicture, RegistryByExtension) {
  TPicture::RegisterFileFormat("TST", "Test images", TTestGraphic::StaticClass());
  EXPECT_EQ(TPicture::FindGraphicClass("tst"), TTestGraphic::StaticClass());
  EXPECT_EQ(TPicture::FindGraphicClass(".Tst"), TTestGraphic::StaticClass());
  EXPECT_EQ(TPicture::FindGraphicClass("bmp"), TBitmap::StaticClass());
  bool found = false;
  for (const TFileFormat& f : TPicture::RegisteredFormats())
    if (f.Extension == "tst") found = f.Description == "Test images";
  EXPECT_TRUE(found);

  tk::test::ScratchDir dir;
  tk::test::WriteFileBytes(dir / "a.TST", "\x05");
  TPicture p;
  int progress = 0;
  p.OnProgress = [&](TGraphic*, TProgressStage, uint8_t, bool, const TRect&, const std::string&) {
    ++progress;
  };
  p.LoadFromFile((dir / "a.TST").string());
  ASSERT_NE(p.Graphic(), nullptr);
  EXPECT_EQ(p.Graphic()->ClassType(), TTestGraphic::StaticClass());
  EXPECT_EQ(p.Width(), 5);
  EXPECT_EQ(progress, 1);

  // Removing a class that is not registered does nothing; removing ours
  // takes its extensions away.
  TPicture::UnregisterGraphicClass(TIcon::StaticClass());
  EXPECT_EQ(TPicture::FindGraphicClass("tst"), TTestGraphic::StaticClass());
  TPicture::UnregisterGraphicClass(TTestGraphic::StaticClass());
  EXPECT_EQ(TPicture::FindGraphicClass("tst"), nullptr);
  EXPECT_THROW(p.LoadFromFile((dir / "a.TST").string()), EInvalidGraphic);
  EXPECT_EQ(p.Width(), 5) << "a failed load keeps what the picture held";
}

TEST(TPicture, AssignCopiesAndBitmapAccess) {
  TPicture empty;
  EXPECT_EQ(empty.Graphic(), nullptr);
  EXPECT_EQ(empty.Width(), 0);
  TBitmap& fresh = empty.Bitmap();
  EXPECT_TRUE(fresh.Empty());

  TPicture a;
  auto b = Make24({{clRed, clBlue, clLime}});
  a.SetGraphic(b.get());
  b->ScanLine(0)[2] = 0;
  EXPECT_EQ(a.Bitmap().Pixel(0, 0), clRed);
  TPicture c;
  c.Assign(a);
  a.Bitmap().SetSize(1, 1);
  EXPECT_EQ(c.Width(), 3);
  EXPECT_EQ(c.Graphic()->ClassType(), TBitmap::StaticClass());

  TPicture d;
  TTestGraphic t;
  d.SetGraphic(&t);
  EXPECT_EQ(d.Graphic()->ClassType(), TTestGraphic::StaticClass());
  d.TakeGraphic(std::make_unique<TIcon>());
  EXPECT_NO_THROW(d.Bitmap());  // an icon is a bitmap here
  c.SetGraphic(nullptr);
  EXPECT_EQ(c.Graphic(), nullptr);
}

TEST(TGraphic, ClassReferences) {
  EXPECT_TRUE(TIcon::StaticClass()->InheritsFrom(TBitmap::StaticClass()));
  EXPECT_TRUE(TBitmap::StaticClass()->InheritsFrom(TGraphic::StaticClass()));
  EXPECT_FALSE(TBitmap::StaticClass()->InheritsFrom(TIcon::StaticClass()));
  TMetafile m;
  EXPECT_STREQ(m.ClassName(), "TMetafile");
  auto copy = m.NewInstance();
  EXPECT_EQ(copy->ClassType(), TMetafile::StaticClass());
  rtl::TStringStream s("anything");
  EXPECT_THROW(m.LoadFromStream(s), EInvalidGraphic);
}

}  // namespace
}  // namespace graphics
