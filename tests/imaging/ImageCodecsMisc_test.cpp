#include "imaging/ImageCodecsMisc.h"

#include <gtest/gtest.h>
#include <jerror.h>
#include <jpeglib.h>
#include <zlib.h>

#include <cstdio>
#include <initializer_list>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "imaging/ImageFormats.h"
#include "support/TestSupport.h"
#include "support/TiffStrips.h"

namespace imaging {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Deflate(const Bytes& in) {
  uLongf size = compressBound(in.size());
  Bytes out(size);
  EXPECT_EQ(compress2(out.data(), &size, in.data(), in.size(), 9), Z_OK);
  out.resize(size);
  return out;
}

Bytes SomeData(size_t n) {
  Bytes d(n);
  std::mt19937 rng(11);
  for (size_t i = 0; i < n; ++i) d[i] = static_cast<uint8_t>(i % 97 < 60 ? i / 7 : rng());
  return d;
}

TEST(LZ77Decoder, StripsResetPerBlock) {
  const Bytes a = SomeData(5000), b = SomeData(3000);
  TLZ77Decoder d(Z_PARTIAL_FLUSH, true);
  d.StartDecoding();
  for (const Bytes* plain : {&a, &b}) {
    Bytes packed = Deflate(*plain), out(plain->size());
    TDecodeResult r = d.DecodeBlock(packed, out);
    EXPECT_EQ(out, *plain);
    EXPECT_EQ(r.produced, plain->size());
    EXPECT_EQ(d.ZLibResult(), Z_STREAM_END);
  }
  d.FinishDecoding();
}

// A PNG image's data arrives in chunks and leaves row by row.
TEST(LZ77Decoder, StreamAcrossPieces) {
  const Bytes plain = SomeData(10000);
  const Bytes packed = Deflate(plain);
  TLZ77Decoder d(Z_PARTIAL_FLUSH, false);
  d.StartDecoding();
  Bytes out;
  size_t in = 0;
  Bytes row(333);
  while (d.ZLibResult() != Z_STREAM_END) {
    const size_t piece = std::min<size_t>(7, packed.size() - in);
    TDecodeResult r = d.DecodeBlock({packed.data() + in, piece}, row);
    in += r.consumed;
    out.insert(out.end(), row.begin(), row.begin() + static_cast<long>(r.produced));
    ASSERT_GE(d.ZLibResult(), 0);
    ASSERT_TRUE(r.consumed || r.produced || d.ZLibResult() == Z_BUF_ERROR);
    if (piece == 0 && r.produced == 0) break;
  }
  EXPECT_EQ(out, plain);
  // Nothing after the end: another call decodes nothing.
  Bytes extra = {1, 2, 3};
  EXPECT_EQ(d.DecodeBlock(extra, row).produced, 0u);
  d.FinishDecoding();
}

TEST(LZ77Decoder, BombStopsAtDestination) {
  const Bytes zeros(64 << 20, 0);
  const Bytes packed = Deflate(zeros);
  ASSERT_LT(packed.size(), 100000u);
  TLZ77Decoder d(Z_FINISH, false);
  d.StartDecoding();
  Bytes out(4096, 0xEE);
  TDecodeResult r = d.DecodeBlock(packed, out);
  EXPECT_EQ(r.produced, 4096u);
  EXPECT_EQ(d.AvailableOutput(), 0u);
  EXPECT_GT(d.AvailableInput(), 0u);  // the reader sees the data go on
}

TEST(LZ77Decoder, DamageIsReportedNotRaised) {
  Bytes packed = Deflate(SomeData(2000));
  packed[packed.size() / 2] ^= 0xFF;
  packed[packed.size() / 3] ^= 0x55;
  TLZ77Decoder d(Z_PARTIAL_FLUSH, false);
  EXPECT_THROW(d.DecodeBlock(packed, packed), EImageCodecError);  // not started
  d.StartDecoding();
  Bytes out(2000);
  d.DecodeBlock(packed, out);
  EXPECT_LT(d.ZLibResult(), 0);
  EXPECT_EQ(d.DecodeBlock(packed, out).produced, 0u);
}

struct ThunderCase {
  const char* name;
  int32_t width;
  Bytes source;
  Bytes expected;
};
void PrintTo(const ThunderCase& c, std::ostream* os) {
  *os << c.name;
}

class Thunder : public ::testing::TestWithParam<ThunderCase> {};

TEST_P(Thunder, Decodes) {
  const ThunderCase& c = GetParam();
  TThunderDecoder d(c.width);
  Bytes out(c.expected.size(), 0xEE);
  d.DecodeBlock(c.source, out);
  EXPECT_EQ(out, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    ThunderScan, Thunder,
    ::testing::Values(
        ThunderCase{"RunAfterRaw", 4, {0xC7, 0x03}, {0x77, 0x77}},
        ThunderCase{"TwoBitDeltasSkip", 4, {0xC7, 0x46}, {0x77, 0x80}},
        ThunderCase{"ThreeBitDeltasWrap", 4, {0xCF, 0x8D, 0xC0}, {0xF0, 0xD0}},  // 15, +1 (wraps), -3
        ThunderCase{"OddWidthRowsStartOnByte", 3, {0xC5, 0x02, 0xC9, 0x3F}, {0x55, 0x50, 0x99, 0x90}},
        ThunderCase{"DeltasCutAtRow", 1, {0x45, 0xC3}, {0x00, 0x30}},
        ThunderCase{"RunCutAtRow", 2, {0xC1, 0x3F, 0xC2}, {0x11, 0x20}},
        ThunderCase{"SourceEndsRest0", 4, {0xC9}, {0x90, 0x00}},
        ThunderCase{"NoWidth", 0, {0xC9}, {0xEE, 0xEE}}),
    [](const ::testing::TestParamInfo<ThunderCase>& i) { return std::string(i.param.name); });

// ---------------------------------------------------------------- Photo-CD

class BitWriter {
 public:
  void Put(uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) {
      if (n_ % 8 == 0) out.push_back(0);
      if ((value >> i) & 1) out.back() |= static_cast<uint8_t>(0x80 >> (n_ % 8));
      ++n_;
    }
  }
  // A row marker, then the plane and the row number.
  void Row(uint32_t plane, uint32_t row) {
    Put(0xFFFFFE, 24);
    Put(plane, 2);
    Put(row, 13);
    Put(0, 1);
  }
  Bytes out;

 private:
  int n_ = 0;
};

// Rows given as (plane, row), each corrected by -16, +16, +16 (one more
// than a two-sample row holds).
Bytes PCDRows(std::initializer_list<std::pair<uint32_t, uint32_t>> rows, uint32_t endRow) {
  BitWriter w;
  // One table: code 10 corrects by -16, code 11 by +16.
  w.Put(1, 8);
  for (auto [code, residual] : {std::pair{0x8000u, 0xF0u}, std::pair{0xC000u, 0x10u}}) {
    w.Put(1, 8);  // length 2
    w.Put(code, 16);
    w.Put(residual, 8);
  }
  for (auto [plane, row] : rows) {
    w.Row(plane, row);
    w.Put(0b10, 2);
    w.Put(0b11, 2);
    w.Put(0b11, 2);
    w.Put(0, 2);
  }
  w.Row(0, endRow);
  w.Put(0, 32);
  return w.out;
}

Bytes PCDStream(uint32_t plane, uint32_t row, uint32_t endRow) {
  return PCDRows({{plane, row}}, endRow);
}

TEST(PCDDecoder, ResidualsClampAndStayInTheRow) {
  Bytes data = PCDStream(0, 0, 1);
  rtl::TMemoryStream stream;
  stream.WriteBuffer(data.data(), static_cast<int64_t>(data.size()));
  stream.SetPosition(0);
  TPCDDecoder d(stream);
  Bytes luma = {10, 250}, c1, c2;
  d.DecodePlanes(luma, c1, c2, 2, 1);
  EXPECT_EQ(luma, (Bytes{0, 255}));
}

// Data of one table corrects luma only; a chroma row in it is passed over
// without touching chroma or derailing the luma row after it.
TEST(PCDDecoder, OneTableCorrectsLumaOnly) {
  Bytes data = PCDRows({{2, 0}, {3, 0}, {0, 1}}, 2);
  rtl::TMemoryStream stream;
  stream.WriteBuffer(data.data(), static_cast<int64_t>(data.size()));
  stream.SetPosition(0);
  TPCDDecoder d(stream);
  Bytes luma = {100, 100, 100, 100}, c1 = {100, 100}, c2 = {100, 100};
  d.DecodePlanes(luma, c1, c2, 2, 2);
  EXPECT_EQ(luma, (Bytes{100, 100, 84, 116}));
  EXPECT_EQ(c1, (Bytes{100, 100}));
  EXPECT_EQ(c2, (Bytes{100, 100}));
}

TEST(PCDDecoder, DamageNeitherOverrunsNorHangs) {
  {
    SCOPED_TRACE("row beyond the planes");
    Bytes data = PCDStream(2, 7, 9);  // chroma row 3 of planes with none
    rtl::TMemoryStream stream;
    stream.WriteBuffer(data.data(), static_cast<int64_t>(data.size()));
    stream.SetPosition(0);
    TPCDDecoder d(stream);
    Bytes luma(4), c1(2), c2(2);
    d.DecodePlanes(luma, c1, c2, 2, 20);
    EXPECT_EQ(c1, (Bytes{0, 0}));
  }
  {
    SCOPED_TRACE("reserved plane");
    Bytes data = PCDStream(1, 0, 1);
    rtl::TMemoryStream stream;
    stream.WriteBuffer(data.data(), static_cast<int64_t>(data.size()));
    stream.SetPosition(0);
    TPCDDecoder d(stream);
    Bytes luma(2), c(1);
    EXPECT_THROW(d.DecodePlanes(luma, c, c, 2, 1), EImageCodecError);
  }
  std::mt19937 rng(5);
  for (int round = 0; round < 20; ++round) {
    Bytes data = PCDStream(0, 0, 1);
    data.resize(rng() % data.size());
    for (int k = 0; k < 3 && !data.empty(); ++k) data[rng() % data.size()] = static_cast<uint8_t>(rng());
    rtl::TMemoryStream stream;
    if (!data.empty()) stream.WriteBuffer(data.data(), static_cast<int64_t>(data.size()));
    stream.SetPosition(0);
    TPCDDecoder d(stream);
    Bytes luma(2), c(1);
    try {
      d.DecodePlanes(luma, c, c, 2, 1);
    } catch (const EImageCodecError&) {
    }
  }
}

// ---------------------------------------------------------------- JPEG in TIFF

struct JpegFixture {
  tk::test::TiffStrips tiff;
  std::string oracle;  // djpeg's pixels of strip 0
  uint32_t w = 0, h = 0;
};

// Writes a w × h image (grey or colour) as a JPEG-compressed TIFF with
// tiffcp, and decodes its first strip with djpeg as the oracle.
JpegFixture MakeJpegTiff(const tk::test::ScratchDir& dir, bool colour, uint32_t w, uint32_t h,
                         int rowsPerStrip) {
  JpegFixture f;
  f.w = w, f.h = h;
  std::string pixels;
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x)
      for (int c = 0; c < (colour ? 3 : 1); ++c)
        pixels += static_cast<char>((x * (3 + c) + y * 5 + ((x / 8 + y / 8) % 2) * 90) & 255);
  const std::string header =
      std::string(colour ? "P6\n" : "P5\n") + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
  tk::test::WriteFileBytes(dir / "in.pnm", header + pixels);
  tk::test::WriteFileBytes(dir / "plain.tif",
                           tk::test::RunTool({"pnmtotiff", (dir / "in.pnm").string()}).out);
  EXPECT_EQ(tk::test::RunTool({"tiffcp", "-c", "jpeg", "-r", std::to_string(rowsPerStrip),
                               (dir / "plain.tif").string(), (dir / "j.tif").string()})
                .exitCode,
            0);
  f.tiff = tk::test::ReadTiffStrips(tk::test::ReadFileBytes(dir / "j.tif"));
  // The tables stream without its end marker, then the strip without its
  // start marker: one whole JPEG stream for djpeg.
  std::string tables;
  for (uint32_t v : f.tiff.Values(347)) tables += static_cast<char>(v);
  std::string whole = tables.substr(0, tables.size() - 2) + f.tiff.strips.at(0).substr(2);
  tk::test::WriteFileBytes(dir / "strip.jpg", whole);
  tk::test::ToolResult r = tk::test::RunTool({"djpeg", "-pnm", (dir / "strip.jpg").string()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  f.oracle = tk::test::PnmPixels(r.out);
  return f;
}

TImageProperties PropertiesOf(const JpegFixture& f, bool colour) {
  TImageProperties p;
  p.Width = f.w;
  p.Height = f.h;
  p.BitsPerSample = 8;
  p.SamplesPerPixel = colour ? 3 : 1;
  p.PlanarConfiguration = 1;
  p.ColorModel = colour && f.tiff.Tag(262) == 6 ? cmYCbCr : colour ? cmRGB : cmGray;
  p.RowsPerStrip = {f.tiff.Tag(278)};
  p.RowBytes = f.w * p.SamplesPerPixel;
  for (uint32_t v : f.tiff.Values(530)) p.YCbCrSubSampling.push_back(static_cast<uint8_t>(v));
  if (colour && f.tiff.Tag(262) == 6 && p.YCbCrSubSampling.empty()) p.YCbCrSubSampling = {2, 2};
  for (uint32_t v : f.tiff.Values(347)) p.JPEGTables.push_back(static_cast<uint8_t>(v));
  return p;
}

class TIFFJPEG : public ::testing::TestWithParam<bool> {};

TEST_P(TIFFJPEG, StripMatchesDjpeg) {
  TK_REQUIRE_TOOL("tiffcp");
  TK_REQUIRE_TOOL("djpeg");
  TK_REQUIRE_TOOL("pnmtotiff");
  const bool colour = GetParam();
  tk::test::ScratchDir dir;
  JpegFixture f = MakeJpegTiff(dir, colour, 75, 40, 16);
  TImageProperties p = PropertiesOf(f, colour);
  TTIFFJPEGDecoder d(p);
  std::vector<std::string> warnings;
  d.OnWarning = [&](const std::string& m) { warnings.push_back(m); };
  d.StartDecoding();
  const std::string& strip = f.tiff.strips.at(0);
  const auto* bytes = reinterpret_cast<const uint8_t*>(strip.data());
  Bytes out(16 * p.RowBytes);
  TDecodeResult r = d.DecodeBlock({bytes, strip.size()}, out);
  EXPECT_EQ(r.produced, out.size());
  EXPECT_EQ(std::string(out.begin(), out.end()), f.oracle);
  EXPECT_TRUE(warnings.empty());

  // The last strip is shorter: the record says which rows it holds.
  p.RowIndex = 32;
  Bytes last(8 * p.RowBytes);
  const std::string& tail = f.tiff.strips.at(2);
  EXPECT_EQ(d.DecodeBlock({reinterpret_cast<const uint8_t*>(tail.data()), tail.size()}, last).produced,
            last.size());

  // Checks, in their order.
  p.RowIndex = 0;
  Bytes odd(out.size() - 1);
  try {
    d.DecodeBlock({bytes, strip.size()}, odd);
    ADD_FAILURE() << "no error";
  } catch (const EImageCodecError& e) {
    EXPECT_STREQ(e.what(), SFractionalJPEGScanline);
  }
  p.RowBytes = f.w * p.SamplesPerPixel - 1;  // a row too short for what libjpeg writes
  EXPECT_THROW(d.DecodeBlock({bytes, strip.size()}, {out.data(), p.RowBytes * 4}), EImageCodecError);
  p.RowBytes = f.w * p.SamplesPerPixel;
  p.BitsPerSample = 12;
  try {
    d.DecodeBlock({bytes, strip.size()}, out);
    ADD_FAILURE() << "no error";
  } catch (const EImageCodecError& e) {
    EXPECT_STREQ(e.what(), SImproperJPEGPrecision);
  }
  p.BitsPerSample = 8;
  p.Width = f.w + 1;
  try {
    d.DecodeBlock({bytes, strip.size()}, out);
    ADD_FAILURE() << "no error";
  } catch (const EImageCodecError& e) {
    EXPECT_STREQ(e.what(), SImproperJPEGSize);
  }
  p.Width = f.w;

  // Cut short: warned, the rows libjpeg can finish, no error.
  for (size_t n : {strip.size() / 2, strip.size() - 3}) {
    warnings.clear();
    Bytes cut(out.size());
    EXPECT_NO_THROW(d.DecodeBlock({bytes, n}, cut));
    EXPECT_FALSE(warnings.empty());
    EXPECT_LE(warnings.size(), static_cast<size_t>(TTIFFJPEGDecoder::kMaxWarnings));
    for (const std::string& w : warnings) EXPECT_EQ(w, SJPEGUnexpectedEnd);
  }
  // Garbage: libjpeg's own error, by its message code.
  Bytes junk(100, 0x42);
  try {
    d.DecodeBlock(junk, out);
    ADD_FAILURE() << "no error";
  } catch (const EImageCodecError& e) {
    EXPECT_EQ(std::string(e.what()), "JPEG error #" + std::to_string(JERR_NO_SOI));
  }
  d.FinishDecoding();
}

INSTANTIATE_TEST_SUITE_P(Jpeg, TIFFJPEG, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "YCbCr" : "Grey"; });

TEST(TIFFJPEGDecoder, BogusTables) {
  TImageProperties p;
  p.JPEGTables = {0xFF, 0xD8, 0xFF, 0xC0, 0, 11, 8, 0, 1, 0, 1, 1, 1, 0x11, 0};  // a frame, not tables
  TTIFFJPEGDecoder d(p);
  try {
    d.StartDecoding();
    ADD_FAILURE() << "no error";
  } catch (const EImageCodecError& e) {
    EXPECT_STREQ(e.what(), SBogusJPEGTables);
  }
}

}  // namespace
}  // namespace imaging
