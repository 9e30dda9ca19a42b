#include "imaging/CUTGraphic.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/ImageReaders.h"

namespace imaging {
namespace {

using namespace tk::test;
using tk::test::ScratchDir;
using tk::test::WriteFileBytes;

void Put16(std::string& s, size_t at, uint32_t v) {
  if (s.size() < at + 2) s.resize(at + 2, '\0');
  s[at] = static_cast<char>(v & 0xFF);
  s[at + 1] = static_cast<char>(v >> 8 & 0xFF);
}

// One coded row: runs of three or more equal pixels as run packets, the
// rest as literal packets, then the terminating zero.
std::string CodeRow(const std::vector<uint8_t>& row) {
  std::string packets;
  for (size_t i = 0; i < row.size();) {
    size_t run = 1;
    while (i + run < row.size() && row[i + run] == row[i] && run < 127) ++run;
    if (run >= 3) {
      packets += static_cast<char>(0x80 | run);
      packets += static_cast<char>(row[i]);
      i += run;
      continue;
    }
    size_t n = 0;
    while (i + n < row.size() && n < 127 &&
           !(i + n + 2 < row.size() && row[i + n] == row[i + n + 1] && row[i + n] == row[i + n + 2]))
      ++n;
    packets += static_cast<char>(n);
    packets.append(row.begin() + static_cast<std::ptrdiff_t>(i),
                   row.begin() + static_cast<std::ptrdiff_t>(i + n));
    i += n;
  }
  packets += '\0';
  std::string coded;
  Put16(coded, 0, static_cast<uint32_t>(packets.size()));
  return coded + packets;
}

std::string CutFile(uint16_t width, const std::vector<std::vector<uint8_t>>& rows) {
  std::string f;
  Put16(f, 0, width);
  Put16(f, 2, static_cast<uint32_t>(rows.size()));
  Put16(f, 4, 0);
  for (const auto& r : rows) f += CodeRow(r);
  return f;
}

// A palette file: blocks of 512 bytes; the highest index at 12, components
// at most 255, entries of three 16-bit components from offset 40, none
// across a block's end. Entry i is (i, 255 - i, i * 7 mod 256).
std::string PaletteFile(uint32_t entries) {
  std::string f = "AH";
  Put16(f, 2, 0x0A);
  Put16(f, 4, 512 * ((entries * 6 + 40 + 511) / 512 + 1));
  Put16(f, 12, entries - 1);
  for (size_t at : {14u, 16u, 18u}) Put16(f, at, 255);
  f.resize(40, '\0');
  for (uint32_t i = 0; i < entries; ++i) {
    if (f.size() % 512 + 6 > 512) f.resize((f.size() / 512 + 1) * 512, '\0');
    Put16(f, f.size(), i);
    Put16(f, f.size(), 255 - i);
    Put16(f, f.size(), i * 7 % 256);
  }
  f.resize((f.size() + 511) / 512 * 512, '\0');
  return f;
}

const std::vector<std::vector<uint8_t>> kRows = {
    {0, 1, 2, 3, 4, 5, 6},
    {9, 9, 9, 9, 9, 200, 201},
    {255, 254, 7, 7, 7, 7, 7},
};

TEST(TCUTGraphic, StreamLoadUsesTheGreyRamp) {
  auto g = LoadImage<TCUTGraphic>(CutFile(7, kRows));
  EXPECT_EQ(g->PixelFormat(), graphics::pf8bit);
  ASSERT_EQ(g->Width(), 7);
  ASSERT_EQ(g->Height(), 3);
  for (int y = 0; y < 3; ++y)
    EXPECT_EQ(std::vector<uint8_t>(g->ScanLine(y), g->ScanLine(y) + 7), kRows[static_cast<size_t>(y)])
        << "row " << y;
  EXPECT_EQ(g->Palette()->Count(), 256);
  EXPECT_EQ(g->Pixel(5, 1), graphics::RGB(200, 200, 200));
  EXPECT_EQ(g->ImageProperties.Compression, ctRLE);
}

TEST(TCUTGraphic, FileLoadReadsThePaletteFileAsImageMagickDoes) {
  TK_REQUIRE_TOOL("convert-im6.q16");
  ScratchDir dir;
  WriteFileBytes(dir / "halo.cut", CutFile(7, kRows));
  WriteFileBytes(dir / "halo.pal", PaletteFile(256));
  TCUTGraphic g;
  g.LoadFromFile((dir / "halo.cut").string());
  ASSERT_EQ(g.Palette()->Count(), 256);
  // Entry 78 is the first at the start of the second block.
  EXPECT_EQ(g.Palette()->Entry(77), (graphics::TPaletteEntry{77, 178, 77 * 7 % 256, 0}));
  EXPECT_EQ(g.Palette()->Entry(78), (graphics::TPaletteEntry{78, 177, 78 * 7 % 256, 0}));
  EXPECT_EQ(g.Palette()->Entry(255), (graphics::TPaletteEntry{255, 0, 255 * 7 % 256, 0}));
  ExpectSamePixels(PixelsOf(g), ImageMagickPixels((dir / "halo.cut").string()), 0);

  // The palette file belonged to that load only.
  rtl::TStringStream s(CutFile(7, kRows));
  g.LoadFromStream(s);
  EXPECT_EQ(g.Pixel(6, 0), graphics::RGB(6, 6, 6));
}

TEST(TCUTGraphic, NeverClaimedByContent) {
  rtl::TStringStream s(CutFile(7, kRows));
  EXPECT_FALSE(TCUTGraphic::CanReadStream(s));
  EXPECT_EQ(FileFormats().ExtensionAt(FileFormats().IndexOfExtension("cut")).ClassEntry->GraphicClass,
            TCUTGraphic::StaticClass());
}

TEST(TCUTGraphic, DamagedPaletteFiles) {
  struct Case {
    const char* fault;
    std::string palette;
    std::string error;
  };
  const std::string readError = "EInvalidGraphic: Stream read error in Dr. Halo file.";
  std::string tooMany = PaletteFile(16);
  Put16(tooMany, 12, 0xFFFF);
  const Case cases[] = {
      {"shorter-than-a-block", PaletteFile(16).substr(0, 100), readError},
      {"entries-cut-short", PaletteFile(256).substr(0, 700), readError},
      {"index-65535", tooMany, "EInvalidGraphic: Cannot load image. Palette in Dr. Halo file is invalid."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    ScratchDir dir;
    WriteFileBytes(dir / "x.cut", CutFile(7, kRows));
    WriteFileBytes(dir / "x.pal", c.palette);
    std::string error = "loaded";
    try {
      TCUTGraphic g;
      g.LoadFromFile((dir / "x.cut").string());
    } catch (const rtl::Exception& e) {
      error = std::string(e.ClassName()) + ": " + e.what();
    }
    EXPECT_EQ(error, c.error);
  }
  // A short palette: indices beyond it are black.
  ScratchDir dir;
  WriteFileBytes(dir / "x.cut", CutFile(7, kRows));
  WriteFileBytes(dir / "x.pal", PaletteFile(4));
  TCUTGraphic g;
  g.LoadFromFile((dir / "x.cut").string());
  EXPECT_EQ(g.Palette()->Count(), 4);
  EXPECT_EQ(g.Pixel(3, 0), graphics::RGB(3, 252, 21));
  EXPECT_EQ(g.Pixel(4, 0), graphics::clBlack);
}

TEST(TCUTGraphic, DamagedImages) {
  const std::string readError = "EInvalidGraphic: Stream read error in Dr. Halo file.";
  std::string bomb;
  Put16(bomb, 0, 65535);
  Put16(bomb, 2, 65535);
  bomb += std::string(64, '\0');
  std::string rowMissing = CutFile(7, kRows);
  Put16(rowMissing, 2, 4);
  const struct {
    const char* fault;
    std::string file;
    std::string error;
  } cases[] = {
      {"zero-height", CutFile(7, {}),
       "EInvalidGraphic: Cannot load image. Invalid or unexpected Dr. Halo image format."},
      {"bomb-65535x65535", bomb, readError},
      {"row-missing", rowMissing, readError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    EXPECT_EQ(LoadError<TCUTGraphic>(c.file), c.error);
  }
}

TEST(TCUTGraphic, TruncatedCopiesRaise) {
  ExpectCutCopies<TCUTGraphic>(CutFile(7, kRows), TCutPolicy::kRaises, 1);
}

}  // namespace
}  // namespace imaging
