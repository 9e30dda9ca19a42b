#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "platform/graphics/Graphics.h"
#include "platform/imagekit/ImageKitExports.h"
#include "support/TestSupport.h"

namespace imagekit {
namespace {

using graphics::TBitmap;
using graphics::TColor;

// The tags of every directory of a TIFF file, as tiffdump prints them:
// number -> the values between < and >.
std::vector<std::map<int, std::string>> DumpTags(const std::string& path) {
  auto r = tk::test::RunTool({"tiffdump", path});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  std::vector<std::map<int, std::string>> dirs;
  std::istringstream in(r.out);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("Directory ", 0) == 0) {
      dirs.emplace_back();
      continue;
    }
    size_t open = line.find(" ("), close = line.find(") ");
    size_t lt = line.find('<'), gt = line.rfind('>');
    if (dirs.empty() || open == std::string::npos || close == std::string::npos || lt == std::string::npos ||
        gt == std::string::npos)
      continue;
    dirs.back()[std::stoi(line.substr(open + 2, close - open - 2))] = line.substr(lt + 1, gt - lt - 1);
  }
  return dirs;
}

// A 24-bit bitmap whose pixel (x, y) is colour(x, y).
template <typename F>
std::unique_ptr<TBitmap> Make24(int w, int h, F colour) {
  auto b = std::make_unique<TBitmap>();
  b->SetPixelFormat(graphics::pf24bit);
  b->SetSize(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      TColor c = colour(x, y);
      uint8_t* p = b->ScanLine(y) + 3 * x;
      p[0] = graphics::GetBValue(c), p[1] = graphics::GetGValue(c), p[2] = graphics::GetRValue(c);
    }
  return b;
}

// What netpbm should print for the bitmap at a depth: P4 for bilevel
// (1 = black), P5 for grey, P6 for colour.
std::string ExpectedPnm(const TBitmap& b, char kind) {
  std::string out =
      std::string("P") + kind + "\n" + std::to_string(b.Width()) + " " + std::to_string(b.Height()) + "\n";
  if (kind != '4') out += "255\n";
  for (int y = 0; y < b.Height(); ++y) {
    std::string bits((b.Width() + 7) / 8, '\0');
    for (int x = 0; x < b.Width(); ++x) {
      TColor c = b.Pixel(x, y);
      if (kind == '4') {
        if (c == graphics::clBlack) bits[x / 8] = char(bits[x / 8] | (0x80 >> (x % 8)));
      } else if (kind == '5') {
        out += char(graphics::GetRValue(c));
      } else {
        out += {char(graphics::GetRValue(c)), char(graphics::GetGValue(c)), char(graphics::GetBValue(c))};
      }
    }
    if (kind == '4') out += bits;
  }
  return out;
}

TIKImage Take(TBitmap& b, int depth) {
  return IKGetImageFromHdc(b.Canvas().Handle(), b.Width(), b.Height(), depth);
}

int32_t Save(const std::string& path, TIKImage image, int compression) {
  return IKTiffFileSave(path.c_str(), image, compression, 0, -1, "", 0, 0, "", "", "");
}

TEST(ImageKit, ThreePagesBilevelGreyColour) {
  TK_REQUIRE_TOOL("tiffdump");
  TK_REQUIRE_TOOL("tiffinfo");
  TK_REQUIRE_TOOL("tifftopnm");
  tk::test::ScratchDir dir;
  const std::string path = (dir / "pages.tif").string();

  // Page 1: a 1-bit bitmap, odd width so that rows end inside a byte.
  TBitmap mono;
  mono.SetPixelFormat(graphics::pf1bit);
  mono.SetSize(37, 11);
  for (int y = 0; y < 11; ++y)
    for (int i = 0; i < 5; ++i) mono.ScanLine(y)[i] = static_cast<uint8_t>(y * 37 + i * 101);
  // Page 2: a 24-bit bitmap of greys only. Page 3: colour, passed at depth 8.
  auto grey = Make24(29, 13, [](int x, int y) {
    auto v = uint8_t(x * 9 + y * 5);
    return graphics::RGB(v, v, v);
  });
  auto colour = Make24(
      17, 6, [](int x, int y) { return graphics::RGB(uint8_t(x * 15), uint8_t(y * 40), uint8_t(x * y)); });

  struct Page {
    TBitmap* bitmap;
    int depth, compression, dpi;
    char pnm;
  } pages[] = {{&mono, 1, 4, 200, '4'}, {grey.get(), 8, 5, 300, '5'}, {colour.get(), 8, 5, 0, '6'}};
  std::string expected;
  for (const Page& p : pages) {
    TIKImage image = Take(*p.bitmap, p.depth);
    ASSERT_NE(image, 0);
    EXPECT_EQ(IKSetDpi(image, p.dpi, p.dpi), 1);
    EXPECT_EQ(Save(path, image, p.compression), 1);
    EXPECT_EQ(IKFreeMemory(image), 1);
    expected += ExpectedPnm(*p.bitmap, p.pnm);
  }

  auto dirs = DumpTags(path);
  ASSERT_EQ(dirs.size(), 3u);
  struct Want {
    const char* compression;
    const char* bits;
    const char* samples;
    const char* photometric;
    const char* resolution;  // nullptr: not written
  } want[] = {{"4", "1", "1", "0", "200"}, {"5", "8", "1", "1", "300"}, {"5", "8 8 8", "3", "2", nullptr}};
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE("page " + std::to_string(i + 1));
    EXPECT_EQ(dirs[i][259], want[i].compression);
    EXPECT_EQ(dirs[i][258], want[i].bits);
    EXPECT_EQ(dirs[i][277], want[i].samples);
    EXPECT_EQ(dirs[i][262], want[i].photometric);
    if (want[i].resolution) {
      EXPECT_EQ(dirs[i][282], want[i].resolution);
      EXPECT_EQ(dirs[i][283], want[i].resolution);
      EXPECT_EQ(dirs[i][296], "2");  // inch
    } else {
      EXPECT_EQ(dirs[i].count(282), 0u);
      EXPECT_EQ(dirs[i].count(283), 0u);
    }
    if (i > 0) {
      EXPECT_EQ(dirs[i][317], "2");  // horizontal differencing
    }
  }
  auto info = tk::test::RunTool({"tiffinfo", path});
  EXPECT_EQ(info.exitCode, 0) << info.err;
  EXPECT_EQ(info.err, "");
  auto pnm = tk::test::RunTool({"tifftopnm", path});
  ASSERT_EQ(pnm.exitCode, 0) << pnm.err;
  EXPECT_TRUE(pnm.out == expected) << "pixels differ";
}

TEST(ImageKit, DepthsFromOtherBitmapFormats) {
  TK_REQUIRE_TOOL("tifftopnm");
  tk::test::ScratchDir dir;
  // A 1-bit bitmap whose palette says 0 is white: still black is black.
  TBitmap inverted;
  inverted.SetPixelFormat(graphics::pf1bit);
  inverted.SetPalette(graphics::CreatePalette({0x300, {{255, 255, 255, 0}, {0, 0, 0, 0}}}));
  inverted.SetSize(9, 2);
  inverted.ScanLine(0)[0] = 0xF0, inverted.ScanLine(0)[1] = 0x80;
  // A 24-bit bitmap of greys taken at depth 1: dark to black, light to white.
  auto shades = Make24(4, 1, [](int x, int) {
    static const uint8_t v[] = {0, 100, 160, 255};
    return graphics::RGB(v[x], v[x], v[x]);
  });
  // An 8-bit palette bitmap of colours taken at depth 24.
  auto indexed = Make24(3, 2, [](int x, int y) { return x == y ? graphics::clRed : graphics::clBlue; });
  indexed->SetPixelFormat(graphics::pf8bit);

  struct Case {
    const char* name;
    TBitmap* bitmap;
    int depth, compression;
    std::string expected;
  } cases[] = {
      {"1-bit, white at index 0", &inverted, 1, 4,
       std::string("P4\n9 2\n") + char(0xF0) + char(0x80) + '\0' + '\0'},
      {"grey shades at depth 1", shades.get(), 1, 4, std::string("P4\n4 1\n") + char(0xC0)},
      {"bilevel with LZW", shades.get(), 1, 5, std::string("P4\n4 1\n") + char(0xC0)},
      {"palette colours at depth 24", indexed.get(), 24, 5, ExpectedPnm(*indexed, '6')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = (dir / (std::string(c.name) + ".tif")).string();
    TIKImage image = Take(*c.bitmap, c.depth);
    ASSERT_NE(image, 0);
    ASSERT_EQ(Save(path, image, c.compression), 1);
    IKFreeMemory(image);
    auto r = tk::test::RunTool({"tifftopnm", path});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, c.expected);
  }
}

// A page of many strips is compressed on several threads: what they write
// is what one thread writes (the same bytes), the pixels come back as they
// were, and the image itself is left as it was (saved twice, twice alike).
TEST(ImageKit, ManyStripsOnSeveralThreadsAsOnOne) {
  TK_REQUIRE_TOOL("tifftopnm");
  tk::test::ScratchDir dir;
  // Colour: one row a strip; grey: two; a bilevel page with LZW and no
  // predictor: a last strip of fewer rows.
  auto colour = Make24(1500, 301, [](int x, int y) {
    return graphics::RGB(uint8_t(x * 7 + y), uint8_t((x ^ y) * 3), uint8_t((x * y) >> 4));
  });
  auto grey = Make24(3000, 203, [](int x, int y) {
    auto v = uint8_t((x / 3 + y * y) ^ (x >> 5));
    return graphics::RGB(v, v, v);
  });
  TBitmap mono;
  mono.SetPixelFormat(graphics::pf1bit);
  mono.SetSize(5000, 800);
  for (int y = 0; y < 800; ++y)
    for (int i = 0; i < 625; ++i) mono.ScanLine(y)[i] = static_cast<uint8_t>((y * 31 + i * 7) ^ (i >> 3));
  struct Page {
    TBitmap* bitmap;
    int depth, compression;
    char pnm;
  } pages[] = {{colour.get(), 24, 5, '6'}, {grey.get(), 8, 5, '5'}, {&mono, 1, 5, '4'}};

  cpu_set_t all;
  ASSERT_EQ(::sched_getaffinity(0, sizeof all, &all), 0);
  cpu_set_t one;
  CPU_ZERO(&one);
  for (int c = 0; c < CPU_SETSIZE; ++c)
    if (CPU_ISSET(c, &all)) {
      CPU_SET(c, &one);
      break;
    }
  const std::string several = (dir / "several.tif").string(), single = (dir / "one.tif").string();
  std::string expected;
  for (const Page& p : pages) {
    TIKImage image = Take(*p.bitmap, p.depth);
    ASSERT_NE(image, 0);
    EXPECT_EQ(Save(several, image, p.compression), 1);
    EXPECT_EQ(Save(several, image, p.compression), 1);
    ASSERT_EQ(::sched_setaffinity(0, sizeof one, &one), 0);
    EXPECT_EQ(Save(single, image, p.compression), 1);
    EXPECT_EQ(Save(single, image, p.compression), 1);
    ASSERT_EQ(::sched_setaffinity(0, sizeof all, &all), 0);
    IKFreeMemory(image);
    expected += ExpectedPnm(*p.bitmap, p.pnm) + ExpectedPnm(*p.bitmap, p.pnm);
  }
  EXPECT_TRUE(tk::test::ReadFileBytes(several) == tk::test::ReadFileBytes(single)) << "the files differ";
  auto info = tk::test::RunTool({"tiffinfo", "-D", several});
  EXPECT_EQ(info.exitCode, 0) << info.err;
  EXPECT_EQ(info.err, "");
  auto pnm = tk::test::RunTool({"tifftopnm", several});
  ASSERT_EQ(pnm.exitCode, 0) << pnm.err;
  EXPECT_TRUE(pnm.out == expected) << "pixels differ";
}

TEST(ImageKit, FailuresReturnFailure) {
  tk::test::ScratchDir dir;
  TBitmap b;
  b.SetSize(4, 4);
  TIKImage image = Take(b, 24);
  ASSERT_NE(image, 0);

  // Handles and arguments.
  EXPECT_EQ(IKGetImageFromHdc(nullptr, 4, 4, 24), 0);
  TKDeviceContext fake{0x12345678u, nullptr, nullptr};
  EXPECT_EQ(IKGetImageFromHdc(&fake, 4, 4, 24), 0);
  for (int depth : {0, 2, 4, 16, 32}) EXPECT_EQ(Take(b, depth), 0) << depth;
  EXPECT_EQ(IKGetImageFromHdc(b.Canvas().Handle(), 5, 4, 24), 0) << "wider than the bitmap";
  EXPECT_EQ(IKGetImageFromHdc(b.Canvas().Handle(), 0, 4, 24), 0);
  TBitmap empty;
  EXPECT_EQ(Take(empty, 24), 0);
  EXPECT_EQ(IKSetDpi(image, -1, 0), 0);
  EXPECT_EQ(IKSetDpi(image, 65536, 65536), 0);
  EXPECT_EQ(IKSetDpi(image, 65535, 65535), 1);
  EXPECT_EQ(IKSetDpi(image + 1000, 200, 200), 0);

  const std::string good = (dir / "ok.tif").string();
  EXPECT_EQ(Save(good, image + 1000, 5), 0) << "unknown image";
  EXPECT_EQ(Save(good, image, 4), 0) << "Group 4 needs a bilevel image";
  EXPECT_EQ(Save(good, image, 1), 0) << "unknown compression";
  EXPECT_FALSE(std::filesystem::exists(good));
  EXPECT_EQ(Save((dir / "missing" / "x.tif").string(), image, 5), 0) << "no such folder";
  EXPECT_EQ(Save("", image, 5), 0);

  // A file that is not a TIFF is neither changed nor appended to.
  const std::string text = (dir / "notes.tif").string();
  tk::test::WriteFileBytes(text, "these are not the pixels you are looking for\n");
  EXPECT_EQ(Save(text, image, 5), 0);
  EXPECT_EQ(tk::test::ReadFileBytes(text), "these are not the pixels you are looking for\n");

  // A full disk: every write fails.
  if (std::filesystem::exists("/dev/full")) {
    EXPECT_EQ(Save("/dev/full", image, 5), 0);
  }

  EXPECT_EQ(Save(good, image, 5), 1);
  EXPECT_EQ(IKFreeMemory(image), 1);
  EXPECT_EQ(IKFreeMemory(image), 0);
  EXPECT_EQ(Save(good, image, 5), 0) << "a freed image";
}

// A little-endian classic TIFF header whose first directory is at 8, then
// the bytes given.
std::string TiffWith(const std::string& rest) {
  return tk::test::Bytes({'I', 'I', 42, 0, 8, 0, 0, 0}) + rest;
}
// A directory of one entry (ImageWidth 1) whose next offset is next.
std::string OneEntryDirectory(int next) {
  return tk::test::Bytes({1, 0, 0, 1, 3, 0, 1, 0, 0, 0, 1, 0, 0, 0, next & 0xFF, (next >> 8) & 0xFF, 0, 0});
}

TEST(ImageKit, RefusesToAppendToABrokenDirectoryChain) {
  // libtiff walks the chain to its end before it appends: a loop or an
  // empty directory would keep it walking for ever.
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"a directory that points to itself", TiffWith(OneEntryDirectory(8))},
      {"two directories that point to each other", TiffWith(OneEntryDirectory(26) + OneEntryDirectory(8))},
      {"44 bytes: a directory of no entries",
       TiffWith(tk::test::Bytes({0, 0, 0, 0, 0, 0}) + std::string(30, '\0'))},
      {"the next directory beyond the end", TiffWith(OneEntryDirectory(4000))},
      {"more entries than the file holds",
       TiffWith(tk::test::Bytes({200, 0, 0, 1, 3, 0, 1, 0, 0, 0, 1, 0, 0, 0}))},
      {"the first directory beyond the end", tk::test::Bytes({'M', 'M', 0, 42, 0, 0, 0x10, 0})},
      {"a header cut short", tk::test::Bytes({'I', 'I', 42})},
  };
  tk::test::ScratchDir dir;
  TBitmap b;
  b.SetPixelFormat(graphics::pf1bit);
  b.SetSize(4, 4);
  TIKImage image = Take(b, 1);
  ASSERT_NE(image, 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = (dir / "broken.tif").string();
    tk::test::WriteFileBytes(path, c.bytes);
    EXPECT_EQ(Save(path, image, 4), 0);
    EXPECT_EQ(tk::test::ReadFileBytes(path), c.bytes) << "the file was changed";
  }
  // A sound chain of two pages takes a third.
  const std::string good = (dir / "good.tif").string();
  ASSERT_EQ(Save(good, image, 4), 1);
  ASSERT_EQ(Save(good, image, 4), 1);
  ASSERT_EQ(Save(good, image, 4), 1);
  if (tk::test::HaveTool("tiffinfo")) {
    EXPECT_EQ(tk::test::Count(tk::test::RunTool({"tiffinfo", good}).out, "TIFF Directory"), 3u);
  }
  IKFreeMemory(image);
}

TEST(ImageKit, AppendsToATiffMadeElsewhere) {
  TK_REQUIRE_TOOL("tiffinfo");
  TK_REQUIRE_TOOL("pnmtotiff");
  tk::test::ScratchDir dir;
  auto made = tk::test::RunTool({"pnmtotiff", "-lzw"}, "P5\n2 2\n255\n\x01\x02\x03\x04");
  ASSERT_EQ(made.exitCode, 0) << made.err;
  const std::string path = (dir / "given.tif").string();
  tk::test::WriteFileBytes(path, made.out);
  auto b = Make24(3, 3, [](int, int) { return graphics::clWhite; });
  TIKImage image = Take(*b, 1);
  ASSERT_EQ(Save(path, image, 4), 1);
  IKFreeMemory(image);
  auto dirs = DumpTags(path);
  ASSERT_EQ(dirs.size(), 2u);
  EXPECT_EQ(dirs[0][256], "2");
  EXPECT_EQ(dirs[1][256], "3");
  EXPECT_EQ(dirs[1][259], "4");
}

// Every strip of a page of many strips holds the bytes that libtiff's own
// encoder gives the same rows written one after the other (tiffcp compressing
// the page again, with the same strips), and the pixels are the bitmap's.
TEST(ImageKit, ManyStripsAsLibtiffWritesThemInOrder) {
  TK_REQUIRE_TOOL("tiffdump");
  TK_REQUIRE_TOOL("tiffcp");
  TK_REQUIRE_TOOL("tifftopnm");
  tk::test::ScratchDir dir;
  const std::string path = (dir / "pages.tif").string();
  // Smooth runs and noise, so that the codes grow and the table fills up.
  auto pixel = [](int x, int y) {
    uint32_t h = static_cast<uint32_t>(x * 7919 + y * 104729);
    h ^= h >> 13, h *= 0x5bd1e995u, h ^= h >> 15;
    return (y / 37) % 2 ? static_cast<uint8_t>(h) : static_cast<uint8_t>(x / 3 + y);
  };
  auto colour = Make24(
      613, 401, [&](int x, int y) { return graphics::RGB(pixel(x, y), pixel(x + 1, y), uint8_t(x ^ y)); });
  auto grey = Make24(1013, 333, [&](int x, int y) {
    uint8_t v = pixel(x, y);
    return graphics::RGB(v, v, v);
  });
  struct Page {
    TBitmap* bitmap;
    int depth;
    char pnm;
  } pages[] = {{colour.get(), 24, '6'}, {grey.get(), 8, '5'}};
  for (const Page& p : pages) {
    TIKImage image = Take(*p.bitmap, p.depth);
    ASSERT_NE(image, 0);
    EXPECT_EQ(Save(path, image, 5), 1);
    IKFreeMemory(image);
  }
  auto dirs = DumpTags(path);
  ASSERT_EQ(dirs.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE("page " + std::to_string(i + 1));
    const std::string again = (dir / ("again" + std::to_string(i) + ".tif")).string();
    auto cp = tk::test::RunTool(
        {"tiffcp", "-c", "lzw:2", "-r", dirs[i][278], path + "," + std::to_string(i), again});
    ASSERT_EQ(cp.exitCode, 0) << cp.err;
    auto theirs = DumpTags(again);
    ASSERT_EQ(theirs.size(), 1u);
    EXPECT_GT(std::count(dirs[i][279].begin(), dirs[i][279].end(), ' '), 20);
    EXPECT_EQ(dirs[i][279], theirs[0][279]);  // every strip's byte count
    auto pnm = tk::test::RunTool({"tifftopnm", again});
    ASSERT_EQ(pnm.exitCode, 0) << pnm.err;
    EXPECT_TRUE(pnm.out == ExpectedPnm(*pages[i].bitmap, pages[i].pnm)) << "pixels differ";
  }
  const std::string bytes = tk::test::ReadFileBytes(path);
  for (size_t i = 0; i < 2; ++i) {
    // The strips themselves, byte for byte, against the copy's.
    const std::string again =
        tk::test::ReadFileBytes((dir / ("again" + std::to_string(i) + ".tif")).string());
    auto offsets = [](const std::string& v) {
      std::vector<size_t> out;
      std::istringstream in(v);
      for (size_t n; in >> n;) out.push_back(n);
      return out;
    };
    auto ourOffsets = offsets(dirs[i][273]),
         theirOffsets = offsets(DumpTags((dir / ("again" + std::to_string(i) + ".tif")).string())[0][273]);
    auto counts = offsets(dirs[i][279]);
    ASSERT_EQ(ourOffsets.size(), counts.size());
    ASSERT_EQ(theirOffsets.size(), counts.size());
    for (size_t s = 0; s < counts.size(); ++s)
      ASSERT_EQ(bytes.substr(ourOffsets[s], counts[s]), again.substr(theirOffsets[s], counts[s]))
          << "strip " << s;
  }
}

}  // namespace
}  // namespace imagekit
