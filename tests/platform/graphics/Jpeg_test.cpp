#include "platform/graphics/Jpeg.h"

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace graphics {
namespace {

// A 37 x 23 picture with smooth and sharp parts, odd sizes so that the
// decoder's blocks and our rows both end part-way.
std::string SourcePpm() {
  const int w = 37, h = 23;
  std::string ppm = "P6\n37 23\n255\n";
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      bool box = x > 10 && x < 25 && y > 5 && y < 15;
      ppm += {char(box ? 250 : x * 6), char(box ? 20 : y * 10), char((x * y) % 256)};
    }
  return ppm;
}

// The pixels of a bitmap as netpbm prints them: P5 for 8-bit grey, P6 else.
std::string AsPnm(const TBitmap& b, bool grey) {
  std::string out = std::string(grey ? "P5\n" : "P6\n") + std::to_string(b.Width()) + " " +
                    std::to_string(b.Height()) + "\n255\n";
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) {
      TColor c = b.Pixel(x, y);
      if (grey)
        out += char(GetRValue(c));
      else
        out += {char(GetRValue(c)), char(GetGValue(c)), char(GetBValue(c))};
    }
  return out;
}

class JpegFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    TK_REQUIRE_TOOL("cjpeg");
    TK_REQUIRE_TOOL("djpeg");
    TK_REQUIRE_TOOL("convert-im6.q16");
    tk::test::WriteFileBytes(dir_ / "in.ppm", SourcePpm());
  }

  // Makes a JPEG with a tool; returns its path.
  std::string Make(const std::string& name, std::vector<std::string> argv) {
    std::string out = (dir_ / name).string();
    if (argv[0] == "cjpeg") {
      argv.insert(argv.end(), {"-outfile", out, (dir_ / "in.ppm").string()});
    } else {
      argv.insert(argv.begin() + 1, (dir_ / "in.ppm").string());
      argv.push_back(out);
    }
    auto r = tk::test::RunTool(argv);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return out;
  }

  tk::test::ScratchDir dir_;
};

TEST_F(JpegFiles, DecodesLikeDjpeg) {
  struct Case {
    const char* name;
    std::vector<std::string> make;
    bool grey;
    bool progressive;
  } cases[] = {
      {"grey baseline", {"cjpeg", "-grayscale"}, true, false},
      {"grey progressive", {"cjpeg", "-grayscale", "-progressive"}, true, true},
      {"colour baseline 4:2:0", {"cjpeg", "-quality", "85"}, false, false},
      {"colour baseline 4:4:4", {"cjpeg", "-sample", "1x1"}, false, false},
      {"colour progressive", {"cjpeg", "-progressive"}, false, true},
      {"RGB without YCbCr", {"cjpeg", "-rgb"}, false, false},
      {"CMYK (Adobe)", {"convert-im6.q16", "-colorspace", "CMYK", "-quality", "90"}, false, false},
      {"CMYK progressive", {"convert-im6.q16", "-colorspace", "CMYK", "-interlace", "JPEG"}, false, true},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = Make("f" + std::to_string(n++) + ".jpg", c.make);
    auto reference = tk::test::RunTool({"djpeg", "-pnm", path});
    ASSERT_EQ(reference.exitCode, 0) << reference.err;
    TJPEGImage jpeg;
    std::vector<std::string> warnings;
    jpeg.OnWarning = [&](TJPEGImage*, const std::string& w) { warnings.push_back(w); };
    jpeg.LoadFromFile(path);
    EXPECT_TRUE(warnings.empty()) << warnings.front();
    EXPECT_EQ(jpeg.Width(), 37);
    EXPECT_EQ(jpeg.Height(), 23);
    EXPECT_EQ(jpeg.Grayscale(), c.grey);
    EXPECT_EQ(jpeg.ProgressiveEncoding(), c.progressive);
    EXPECT_EQ(jpeg.Bitmap().PixelFormat(), c.grey ? pf8bit : pf24bit);
    EXPECT_TRUE(AsPnm(jpeg.Bitmap(), c.grey) == reference.out) << "pixels differ from djpeg";
  }
}

TEST_F(JpegFiles, SamplesAreReadAsTheirStorageSays) {
  // Flat colours, each 8 x 8: CMYK with an Adobe marker stores its inks
  // inverted, as Adobe's files do; grey and colour are as stored.
  struct File {
    const char* name;
    std::vector<std::string> make;
  } files[] = {
      {"cmyk.jpg", {"xc:cyan", "-colorspace", "CMYK"}},
      {"rgb.jpg", {"xc:cyan"}},
      {"grey.jpg", {"xc:gray25", "-colorspace", "Gray"}},
  };
  for (const File& f : files) {
    std::vector<std::string> argv{"convert-im6.q16", "-size", "8x8"};
    argv.insert(argv.end(), f.make.begin(), f.make.end());
    argv.insert(argv.end(), {"-quality", "100", (dir_ / f.name).string()});
    auto made = tk::test::RunTool(argv);
    ASSERT_EQ(made.exitCode, 0) << made.err;
  }
  struct Case {
    const char* file;
    TJPEGImage::TSampleStorage storage;
    int r, g, b;  // the middle pixel, give or take a little
  } cases[] = {
      {"cmyk.jpg", TJPEGImage::ssByAdobeMarker, 0, 255, 255},
      {"cmyk.jpg", TJPEGImage::ssInverted, 0, 255, 255},
      {"cmyk.jpg", TJPEGImage::ssAsStored, 0, 0, 0},  // full ink on every plate
      {"rgb.jpg", TJPEGImage::ssByAdobeMarker, 0, 255, 255},
      {"rgb.jpg", TJPEGImage::ssAsStored, 0, 255, 255},
      {"rgb.jpg", TJPEGImage::ssInverted, 255, 0, 0},
      {"grey.jpg", TJPEGImage::ssByAdobeMarker, 64, 64, 64},
      {"grey.jpg", TJPEGImage::ssAsStored, 64, 64, 64},
      {"grey.jpg", TJPEGImage::ssInverted, 191, 191, 191},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " storage " + std::to_string(c.storage));
    TJPEGImage jpeg;
    jpeg.SampleStorage = c.storage;
    jpeg.LoadFromFile((dir_ / c.file).string());
    const TColor px = jpeg.Bitmap().Pixel(4, 4);
    EXPECT_NEAR(GetRValue(px), c.r, 8);
    EXPECT_NEAR(GetGValue(px), c.g, 8);
    EXPECT_NEAR(GetBValue(px), c.b, 8);
  }
}

TEST_F(JpegFiles, PictureLoadsByExtensionAndBitmapTakesThePixels) {
  std::string path = Make("photo.JPG", {"cjpeg"});
  TPicture picture;
  std::vector<TProgressStage> stages;
  picture.OnProgress = [&](TGraphic*, TProgressStage s, uint8_t, bool, const TRect&, const std::string&) {
    if (stages.empty() || stages.back() != s) stages.push_back(s);
  };
  picture.LoadFromFile(path);
  ASSERT_NE(picture.Graphic(), nullptr);
  EXPECT_EQ(picture.Graphic()->ClassType(), TJPEGImage::StaticClass());
  EXPECT_EQ(stages, (std::vector<TProgressStage>{psStarting, psRunning, psEnding}));
  TBitmap bitmap;
  bitmap.Assign(*picture.Graphic());
  EXPECT_EQ(bitmap.Width(), 37);
  EXPECT_EQ(bitmap.Pixel(20, 10), static_cast<const TJPEGImage*>(picture.Graphic())->Bitmap().Pixel(20, 10));

  // The image keeps the file's bytes as they were.
  rtl::TMemoryStream saved;
  picture.Graphic()->SaveToStream(saved);
  EXPECT_TRUE(saved.DataString() == tk::test::ReadFileBytes(path));
  TPicture copy;
  copy.Assign(picture);
  EXPECT_EQ(copy.Graphic()->ClassType(), TJPEGImage::StaticClass());
  EXPECT_EQ(copy.Width(), 37);
}

TEST_F(JpegFiles, DamagedFilesRaiseOrWarnNeverCrash) {
  std::string good = tk::test::ReadFileBytes(Make("good.jpg", {"cjpeg", "-progressive"}));
  // Cut short: either an error or a picture with a warning, never more.
  for (size_t cut : {size_t{1}, size_t{2}, size_t{20}, size_t{200}, good.size() / 2, good.size() - 2}) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    rtl::TStringStream s(good.substr(0, cut));
    TJPEGImage jpeg;
    int warnings = 0;
    jpeg.OnWarning = [&](TJPEGImage*, const std::string&) { ++warnings; };
    try {
      jpeg.LoadFromStream(s);
      EXPECT_GT(warnings, 0) << "a cut file loaded without a word";
      EXPECT_EQ(jpeg.Width(), 37);
    } catch (const EJPEG& e) {
      EXPECT_EQ(std::string(e.what()).rfind("JPEG error: ", 0), 0u) << e.what();
      EXPECT_TRUE(jpeg.Empty()) << "a failed load leaves the image as it was";
    }
  }
  struct Bad {
    const char* name;
    std::string bytes;
    const char* message;
  } bad[] = {
      {"empty", "", "no data"},
      {"text", "this is not a JPEG file at all", "Not a JPEG file"},
  };
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.name);
    rtl::TStringStream s(b.bytes);
    TJPEGImage jpeg;
    try {
      jpeg.LoadFromStream(s);
      ADD_FAILURE() << "loaded";
    } catch (const EJPEG& e) {
      EXPECT_NE(std::string(e.what()).find(b.message), std::string::npos) << e.what();
    }
  }
}

TEST_F(JpegFiles, HugeDeclaredSizeIsRefusedBeforeDecoding) {
  // A real file whose frame header is made to claim 60000 x 60000 pixels.
  std::string bytes = tk::test::ReadFileBytes(Make("small.jpg", {"cjpeg"}));
  size_t sof = bytes.find("\xFF\xC0");
  ASSERT_NE(sof, std::string::npos);
  bytes[sof + 5] = char(0xEA), bytes[sof + 6] = char(0x60);  // height 60000
  bytes[sof + 7] = char(0xEA), bytes[sof + 8] = char(0x60);  // width 60000
  // Enough bytes behind the end marker that the size alone is not suspect.
  bytes += std::string(2 << 20, '\0');
  rtl::TStringStream s(bytes);
  TJPEGImage jpeg;
  try {
    jpeg.LoadFromStream(s);
    FAIL() << "loaded";
  } catch (const EInvalidGraphic& e) {
    EXPECT_NE(std::string(e.what()).find("limit"), std::string::npos) << e.what();
  }
}

TEST_F(JpegFiles, FewBytesClaimingAHugeImageAreRefusedBeforeThePixelsAreAllocated) {
  // 30000 x 30000 grey fits under the pixel limit (900 MB), but a file of a
  // few hundred bytes cannot code it.
  std::string bytes = tk::test::ReadFileBytes(Make("small.jpg", {"cjpeg", "-grayscale"}));
  size_t sof = bytes.find("\xFF\xC0");
  ASSERT_NE(sof, std::string::npos);
  bytes[sof + 5] = char(0x75), bytes[sof + 6] = char(0x30);  // height 30000
  bytes[sof + 7] = char(0x75), bytes[sof + 8] = char(0x30);  // width 30000
  rtl::TStringStream s(bytes);
  TJPEGImage jpeg;
  int started = 0;
  jpeg.OnProgress = [&](TGraphic*, TProgressStage, uint8_t, bool, const TRect&, const std::string&) {
    ++started;
  };
  try {
    jpeg.LoadFromStream(s);
    FAIL() << "loaded";
  } catch (const EJPEG& e) {
    EXPECT_NE(std::string(e.what()).find("too short for an image of 30000 x 30000"), std::string::npos)
        << e.what();
  }
  EXPECT_EQ(started, 0) << "decoding began";
}

TEST_F(JpegFiles, FlatImagesCompressBestAndStillLoad) {
  // One colour all over is the most a real coder compresses: these must stay
  // above the floor the size check assumes.
  const int side = 2048;
  const std::string grey = "P5\n2048 2048\n255\n" + std::string(size_t{side} * side, char(128));
  std::string colour = "P6\n2048 2048\n255\n";
  for (int i = 0; i < side * side; ++i) colour += {char(200), char(30), char(90)};
  tk::test::WriteFileBytes(dir_ / "flat.pgm", grey);
  tk::test::WriteFileBytes(dir_ / "flat.ppm", colour);
  struct Case {
    const char* name;
    std::vector<std::string> args;
    const char* source;
  } cases[] = {
      {"grey baseline", {"-grayscale", "-optimize"}, "flat.pgm"},
      {"grey progressive", {"-grayscale", "-progressive"}, "flat.pgm"},
      {"colour 4:2:0", {"-optimize", "-sample", "2x2"}, "flat.ppm"},
      {"colour progressive", {"-progressive"}, "flat.ppm"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> argv{"cjpeg"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const std::string out = (dir_ / "flat.jpg").string();
    argv.insert(argv.end(), {"-outfile", out, (dir_ / c.source).string()});
    ASSERT_EQ(tk::test::RunTool(argv).exitCode, 0);
    rtl::TStringStream s(tk::test::ReadFileBytes(out));
    TJPEGImage jpeg;
    ASSERT_NO_THROW(jpeg.LoadFromStream(s));
    EXPECT_EQ(jpeg.Width(), side);
    EXPECT_EQ(jpeg.Height(), side);
  }
}

TEST_F(JpegFiles, CutShortFilesRaiseAndAFileWithoutItsEndMarkerLoads) {
  const std::string baseline = tk::test::ReadFileBytes(Make("b.jpg", {"cjpeg", "-grayscale"}));
  const std::string progressive = tk::test::ReadFileBytes(Make("p.jpg", {"cjpeg", "-progressive"}));
  // Where the n-th scan header starts (the file's end when there is none).
  auto scan = [](const std::string& file, int n) {
    size_t at = 0;
    for (int i = 0; i < n && at != std::string::npos; ++i) at = file.find("\xFF\xDA", i ? at + 2 : 0);
    return at == std::string::npos ? file.size() : at;
  };
  // The first coded byte after the n-th scan header.
  auto scanData = [&](const std::string& file, int n) {
    const size_t at = scan(file, n);
    return at + 2 + (uint8_t(file[at + 2]) << 8 | uint8_t(file[at + 3]));
  };
  const size_t secondScan = scan(progressive, 2);
  ASSERT_LT(secondScan, progressive.size());
  const size_t baselineData = scanData(baseline, 1);
  struct Case {
    const char* name;
    std::string bytes;
    const std::string* whole;  // the file it must decode like, or null: refused
  } cases[] = {
      {"baseline without its end marker", baseline.substr(0, baseline.size() - 2), &baseline},
      {"progressive without its end marker", progressive.substr(0, progressive.size() - 2), &progressive},
      {"baseline cut in its coded data", baseline.substr(0, (baselineData + baseline.size()) / 2), nullptr},
      {"baseline missing its last coded byte", baseline.substr(0, baseline.size() - 3), nullptr},
      {"progressive cut in a scan", progressive.substr(0, scanData(progressive, 2) + 2), nullptr},
      {"progressive cut between scans", progressive.substr(0, secondScan), nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rtl::TStringStream s(c.bytes);
    TJPEGImage jpeg;
    std::vector<std::string> warnings;
    jpeg.OnWarning = [&](TJPEGImage*, const std::string& w) { warnings.push_back(w); };
    if (c.whole) {
      ASSERT_NO_THROW(jpeg.LoadFromStream(s));
      EXPECT_EQ(warnings, std::vector<std::string>{"Premature end of JPEG file"});
      rtl::TStringStream ws(*c.whole);
      TJPEGImage whole;
      whole.LoadFromStream(ws);
      const bool grey = whole.Grayscale();
      EXPECT_TRUE(AsPnm(jpeg.Bitmap(), grey) == AsPnm(whole.Bitmap(), grey))
          << "pixels differ from the whole file";
    } else {
      try {
        jpeg.LoadFromStream(s);
        ADD_FAILURE() << "loaded";
      } catch (const EJPEG& e) {
        EXPECT_EQ(std::string(e.what()), "JPEG error: Premature end of JPEG file");
      }
      EXPECT_TRUE(jpeg.Empty());
    }
  }
}

TEST(TJPEGImage, EmptyImage) {
  TJPEGImage jpeg;
  EXPECT_TRUE(jpeg.Empty());
  EXPECT_EQ(jpeg.Width(), 0);
  EXPECT_THROW(jpeg.SetWidth(3), EInvalidGraphicOperation);
  EXPECT_EQ(TPicture::FindGraphicClass("jpeg"), TJPEGImage::StaticClass());
  EXPECT_EQ(TPicture::FindGraphicClass("jfif"), TJPEGImage::StaticClass());
}

}  // namespace
}  // namespace graphics
