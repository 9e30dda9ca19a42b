#include "imaging/ImageCodecsCCITT.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "support/TiffStrips.h"

namespace imaging {
namespace {

using Bytes = std::vector<uint8_t>;
using tk::test::RunTool;

// A page-like bilevel image: text-ish noise, full black rows, a run that
// needs several extended make-up codes, and an all-white stretch.
std::string MakePBMBits(int w, int h, unsigned seed) {
  const int rowBytes = (w + 7) / 8;
  std::string bits(static_cast<size_t>(rowBytes) * h, '\0');
  std::mt19937 rng(seed);
  auto set = [&](int x, int y) { bits[y * rowBytes + x / 8] |= static_cast<char>(0x80 >> (x % 8)); };
  for (int y = 0; y < h; ++y) {
    if (y % 23 == 5) {
      for (int x = 0; x < w; ++x) set(x, y);
    } else if (y % 7 == 3) {
      for (int x = w / 9; x < w; ++x) set(x, y);
    } else if (y % 5 != 0) {
      for (int x = 0; x < w; ++x)
        if ((rng() % 100) < static_cast<unsigned>(10 + (x * 7 / (w + 1)) * 10)) set(x, y);
    }
  }
  return bits;
}

std::string PBM(int w, int h, const std::string& bits) {
  return "P4\n" + std::to_string(w) + " " + std::to_string(h) + "\n" + bits;
}

// The rows tifftopnm reads from a TIFF, as packed PBM bits.
std::string OracleRows(const std::filesystem::path& tif) {
  tk::test::ToolResult r = RunTool({"tifftopnm", tif.string()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return tk::test::PnmPixels(r.out);
}

std::string Decode(TDecoder& d, const tk::test::TiffStrips& t, uint32_t w, uint32_t h) {
  const size_t rowBytes = (w + 7) / 8;
  const uint32_t rowsPerStrip = std::min(t.Tag(278, h), h);
  std::string out;
  for (size_t s = 0; s < t.strips.size(); ++s) {
    const size_t rows = std::min<size_t>(rowsPerStrip, h - s * rowsPerStrip);
    Bytes dest(rows * rowBytes, 0xEE);
    const std::string& strip = t.strips[s];
    TDecodeResult r = d.DecodeBlock({reinterpret_cast<const uint8_t*>(strip.data()), strip.size()}, dest);
    EXPECT_EQ(r.produced, dest.size()) << "strip " << s;
    out.append(dest.begin(), dest.end());
  }
  // MinIsBlack files hold the fax runs inverted against PBM's black.
  if (t.Tag(262) == 1)
    for (char& c : out) c = static_cast<char>(~c);
  // Padding bits of each row are not image: PBM keeps them 0.
  if (w % 8)
    for (size_t i = rowBytes - 1; i < out.size(); i += rowBytes)
      out[i] &= static_cast<char>(0xFF << (8 - w % 8));
  return out;
}

struct FaxCase {
  const char* name;
  std::vector<std::string> tiffcp;  // compression arguments; empty: written through Pillow
  const char* pillowCompression;
  int width;
  // Rows moved onto 16-bit boundaries (32771): libtiff writes no such data
  // that it reads back, so the rows of its modified Huffman strip are
  // padded here, each row's end found by decoding that row alone.
  bool words = false;
};
void PrintTo(const FaxCase& c, std::ostream* os) {
  *os << c.name;
}

std::string PadRowsToWords(const std::string& strip, uint32_t w, uint32_t h) {
  TCCITTMHDecoder d(0, w, false, false);
  std::vector<uint8_t> row((w + 7) / 8);
  std::string out;
  size_t at = 0;
  for (uint32_t y = 0; y < h && at < strip.size(); ++y) {
    TDecodeResult r =
        d.DecodeBlock({reinterpret_cast<const uint8_t*>(strip.data()) + at, strip.size() - at}, row);
    out += strip.substr(at, r.consumed);
    if (out.size() % 2) out += '\x5A';  // the pad byte's value plays no part
    at += r.consumed;
  }
  return out;
}

class FaxOracle : public ::testing::TestWithParam<FaxCase> {};

TEST_P(FaxOracle, MatchesLibtiffRows) {
  const FaxCase& c = GetParam();
  TK_REQUIRE_TOOL("tifftopnm");
  TK_REQUIRE_TOOL("pnmtotiff");
  TK_REQUIRE_TOOL("tiffcp");
  tk::test::ScratchDir dir;
  const int w = c.width, h = 70;
  const std::string bits = MakePBMBits(w, h, static_cast<unsigned>(w));
  tk::test::WriteFileBytes(dir / "in.pbm", PBM(w, h, bits));
  const auto fax = dir / "fax.tif";
  if (!c.tiffcp.empty()) {
    tk::test::WriteFileBytes(dir / "plain.tif",
                             RunTool({"pnmtotiff", "-miniswhite", (dir / "in.pbm").string()}).out);
    std::vector<std::string> argv{"tiffcp"};
    argv.insert(argv.end(), c.tiffcp.begin(), c.tiffcp.end());
    argv.insert(argv.end(), {(dir / "plain.tif").string(), fax.string()});
    ASSERT_EQ(RunTool(argv).exitCode, 0);
  } else {
    TK_REQUIRE_TOOL("/usr/bin/python3");
    tk::test::ToolResult r = RunTool({"/usr/bin/python3", "-c",
                                      "import sys\nfrom PIL import Image\n"
                                      "Image.open(sys.argv[1]).save(sys.argv[2], compression=sys.argv[3])",
                                      (dir / "in.pbm").string(), fax.string(), c.pillowCompression});
    if (r.exitCode != 0) GTEST_SKIP() << "Pillow cannot write " << c.pillowCompression << ": " << r.err;
  }
  const std::string oracle = OracleRows(fax);
  ASSERT_EQ(oracle, bits) << "the oracle does not read back its own input";
  tk::test::TiffStrips t = tk::test::ReadTiffStrips(tk::test::ReadFileBytes(fax));
  ASSERT_FALSE(t.strips.empty());
  uint32_t compression = t.Tag(259);
  if (c.words) {
    ASSERT_EQ(t.strips.size(), 1u);
    t.strips[0] = PadRowsToWords(t.strips[0], w, h);
    compression = 32771;
  }
  const bool reversed = t.Tag(266, 1) == 2;
  std::unique_ptr<TDecoder> d;
  if (compression == 3)
    d = std::make_unique<TCCITTFax3Decoder>(t.Tag(292), w, false, reversed);
  else
    d = std::make_unique<TCCITTMHDecoder>(0, w, compression == 32771, reversed);
  const std::string decoded = Decode(*d, t, w, h);
  ASSERT_EQ(decoded.size(), oracle.size());
  const size_t rowBytes = (w + 7) / 8;
  for (size_t y = 0; y < static_cast<size_t>(h); ++y)
    ASSERT_EQ(decoded.substr(y * rowBytes, rowBytes), oracle.substr(y * rowBytes, rowBytes))
        << "first different row " << y << " at byte " << [&] {
             size_t i = 0;
             while (decoded[y * rowBytes + i] == oracle[y * rowBytes + i]) ++i;
             return i;
           }();

  // Cut-short strips decode what is there and stay inside the buffers.
  const std::string strip = t.strips[0];
  for (size_t n : {size_t{0}, size_t{1}, strip.size() / 3, strip.size() - 1}) {
    std::vector<uint8_t> part(strip.begin(), strip.begin() + static_cast<long>(n));
    Bytes dest(static_cast<size_t>((w + 7) / 8) * 4);
    TDecodeResult r = d->DecodeBlock(part, dest);
    EXPECT_LE(r.consumed, n);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Fax, FaxOracle,
    ::testing::Values(FaxCase{"G3OneD", {"-c", "g3:1d"}, "", 1728},
                      FaxCase{"G3OneDOddWidth", {"-c", "g3:1d", "-r", "16"}, "", 301},
                      FaxCase{"G3OneDFill", {"-c", "g3:1d:fill"}, "", 5300},
                      FaxCase{"G3TwoD", {"-c", "g3:2d"}, "", 1728},
                      FaxCase{"G3TwoDFillStrips", {"-c", "g3:2d:fill", "-r", "9"}, "", 2003},
                      FaxCase{"G3TwoDReversedBits", {"-c", "g3:2d", "-f", "lsb2msb"}, "", 1000},
                      FaxCase{"ModifiedHuffman", {}, "tiff_ccitt", 1728},
                      FaxCase{"ModifiedHuffmanOddWidth", {}, "tiff_ccitt", 333},
                      FaxCase{"ModifiedHuffmanWords", {}, "tiff_ccitt", 1001, true}),
    [](const ::testing::TestParamInfo<FaxCase>& i) { return std::string(i.param.name); });

// Hand-built bit strings for what the oracle files never hold.
Bytes Pack(const std::string& bitString) {
  Bytes out;
  int n = 0;
  for (char ch : bitString) {
    if (ch != '0' && ch != '1') continue;
    if (n % 8 == 0) out.push_back(0);
    if (ch == '1') out.back() |= static_cast<uint8_t>(0x80 >> (n % 8));
    ++n;
  }
  return out;
}

const char* kEOL = "000000000001 ";

struct HandCase {
  const char* name;
  bool mh;
  uint32_t width;
  std::string bits;
  Bytes rows;  // expected destination, 1 byte per row at width <= 8
};
void PrintTo(const HandCase& c, std::ostream* os) {
  *os << c.name;
}

class FaxHand : public ::testing::TestWithParam<HandCase> {};

TEST_P(FaxHand, Decodes) {
  const HandCase& c = GetParam();
  Bytes src = Pack(c.bits);
  Bytes dest(c.rows.size(), 0xEE);
  std::unique_ptr<TDecoder> d;
  if (c.mh)
    d = std::make_unique<TCCITTMHDecoder>(0, c.width, false, false);
  else
    d = std::make_unique<TCCITTFax3Decoder>(0, c.width, false, false);
  d->DecodeBlock(src, dest);
  EXPECT_EQ(dest, c.rows);
}

INSTANTIATE_TEST_SUITE_P(
    Fax, FaxHand,
    ::testing::Values(
        // white 2, black 3, white 3 / black 0? no: white 0, black 8
        HandCase{"RowsWithEOLs", false, 8, std::string(kEOL) + "0111 10 0111 " + kEOL + "00110101 000101",
                 Bytes{0x38, 0xFF}},
        HandCase{"NoLeadingEOLIsNotLost", false, 8, "0111 10 0111 " + std::string(kEOL) + "1000 11 0111",
                 Bytes{0x38, 0x18}},
        // A black run of 7 in a row of 4 is cut; the next row still starts at
        // its own byte.
        HandCase{"RunBeyondWidthIsCut", false, 4, std::string(kEOL) + "0111 00011 " + kEOL + "1011",
                 Bytes{0x30, 0x00}},
        // An invalid code ends its row; the next end of line resynchronises.
        HandCase{"InvalidCodeResyncs", false, 8,
                 std::string(kEOL) + "1000 11 00000000011111111 " + kEOL + "00110101 000101",
                 Bytes{0x18, 0xFF}},
        // An end of line inside a row ends it; the next row follows directly.
        HandCase{"EOLInsideRow", false, 8, std::string(kEOL) + "1000 " + kEOL + "1000 11 0111",
                 Bytes{0x00, 0x18}},
        HandCase{"EndOfPageLeavesRestWhite", false, 8,
                 std::string(kEOL) + "1000 11 0111 " + kEOL + kEOL + kEOL + kEOL, Bytes{0x18, 0x00, 0x00}},
        // Modified Huffman: rows on byte boundaries, no end-of-line codes.
        HandCase{"MHRows", true, 8, "0111 10 1000 000000 00110101 000101 00", Bytes{0x38, 0xFF}},
        HandCase{"MHDamageCostsOneRow", true, 8, "0000000000000000 1000 11 0111 0000", Bytes{0x00, 0x18}}),
    [](const ::testing::TestParamInfo<HandCase>& i) { return std::string(i.param.name); });

TEST(FaxDecoders, DestinationWithoutWholeRowWritesNothing) {
  Bytes src = Pack(std::string(kEOL) + "0111");
  Bytes dest(3, 0xEE);
  TCCITTFax3Decoder d(0, 100, false, false);
  TDecodeResult r = d.DecodeBlock(src, dest);
  EXPECT_EQ(r.produced, 0u);
  TCCITTMHDecoder zero(0, 0, false, false);
  EXPECT_EQ(zero.DecodeBlock(src, dest).produced, 0u);
}

}  // namespace
}  // namespace imaging
