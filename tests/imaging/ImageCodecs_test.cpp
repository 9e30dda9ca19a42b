#include "imaging/ImageCodecs.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "support/TiffStrips.h"

namespace imaging {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(std::initializer_list<int> v) {
  Bytes r;
  for (int x : v) r.push_back(static_cast<uint8_t>(x));
  return r;
}

struct DecodeCase {
  const char* name;
  std::function<std::unique_ptr<TDecoder>()> make;
  Bytes source;
  size_t destSize;
  Bytes expected;  // the destination afterwards (filled with 0xEE first)
  size_t consumed;
};

// Test lists show the case's name, not the bytes of the record.
void PrintTo(const DecodeCase& c, std::ostream* os) {
  *os << c.name;
}

class DecodeTable : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTable, DecodesAndStaysInBounds) {
  const DecodeCase& c = GetParam();
  // Exact-size heap copies, so that AddressSanitizer sees any step outside.
  auto src = std::make_unique<uint8_t[]>(c.source.size() + 1);
  std::copy(c.source.begin(), c.source.end(), src.get());
  auto dst = std::make_unique<uint8_t[]>(c.destSize + 1);
  std::fill_n(dst.get(), c.destSize, 0xEE);
  std::unique_ptr<TDecoder> d = c.make();
  d->StartDecoding();
  TDecodeResult r = d->DecodeBlock({src.get(), c.source.size()}, {dst.get(), c.destSize});
  d->FinishDecoding();
  EXPECT_EQ(Bytes(dst.get(), dst.get() + c.destSize), c.expected);
  EXPECT_EQ(r.consumed, c.consumed);
  EXPECT_LE(r.produced, c.destSize);
}

template <class T, class... A>
std::function<std::unique_ptr<TDecoder>()> Make(A... a) {
  return [=] { return std::unique_ptr<TDecoder>(std::make_unique<T>(a...)); };
}

const int E = 0xEE;  // untouched

INSTANTIATE_TEST_SUITE_P(
    RunLength, DecodeTable,
    ::testing::Values(
        DecodeCase{"PackBitsRunAndNoOp", Make<TPackbitsRLEDecoder>(), B({0x80, 0xFE, 'A'}), 3,
                   B({'A', 'A', 'A'}), 3},
        DecodeCase{"PackBitsStopsInLiteral", Make<TPackbitsRLEDecoder>(), B({0x04, 1, 2, 3, 4, 5}), 3,
                   B({1, 2, 3}), 4},
        DecodeCase{"PackBitsLiteralCutBySource", Make<TPackbitsRLEDecoder>(), B({0x04, 1, 2}), 4,
                   B({1, 2, E, E}), 3},
        DecodeCase{"PackBitsRunOverrunsDestination", Make<TPackbitsRLEDecoder>(), B({0x81, 9}), 4,
                   B({9, 9, 9, 9}), 2},
        DecodeCase{"PackBitsRunWithoutValue", Make<TPackbitsRLEDecoder>(), B({0x00, 7, 0xFD}), 4,
                   B({7, E, E, E}), 3},
        DecodeCase{"PCXZeroCountAndLiteralBF", Make<TPCXRLEDecoder>(), B({0xC0, 0x55, 0xBF, 0xC3, 1}), 4,
                   B({0xBF, 1, 1, 1}), 5},
        DecodeCase{"PCXRunOverrunsDestination", Make<TPCXRLEDecoder>(), B({0xFF, 4}), 3, B({4, 4, 4}), 2},
        DecodeCase{"PCXEndsAtSource", Make<TPCXRLEDecoder>(), B({0xC2}), 3, B({E, E, E}), 1},
        DecodeCase{"Targa16RunOfThree", Make<TTargaRLEDecoder>(16u), B({0x82, 1, 2}), 6,
                   B({1, 2, 1, 2, 1, 2}), 3},
        DecodeCase{"TargaRunCutAtDestination", Make<TTargaRLEDecoder>(24u), B({0xFF, 1, 2, 3}), 7,
                   B({1, 2, 3, 1, 2, 3, E}), 4},
        DecodeCase{"TargaLiteralAcrossEnd", Make<TTargaRLEDecoder>(8u), B({0x03, 1, 2, 3, 4, 0x00, 5}), 2,
                   B({1, 2}), 5},
        DecodeCase{"TargaHalfPixelAtSourceEnd", Make<TTargaRLEDecoder>(32u), B({0x81, 1, 2}), 8,
                   B({E, E, E, E, E, E, E, E}), 3},
        DecodeCase{"TargaBadDepth", Make<TTargaRLEDecoder>(12u), B({0x81, 1, 2}), 4, B({E, E, E, E}), 0},
        DecodeCase{"SGI8Row", Make<TSGIRLEDecoder>(uint8_t{8}), B({0x82, 0x10, 0x20, 0x03, 0x30, 0x00}), 5,
                   B({0x10, 0x20, 0x30, 0x30, 0x30}), 6},
        DecodeCase{"SGI8RunBeyondRowReadToMarker", Make<TSGIRLEDecoder>(uint8_t{8}), B({0x7F, 1, 0x81, 2, 0}),
                   3, B({1, 1, 1}), 5},
        DecodeCase{"SGI16Row", Make<TSGIRLEDecoder>(uint8_t{16}), B({0, 0x81, 1, 2, 0, 0x02, 3, 4, 0, 0}), 6,
                   B({1, 2, 3, 4, 3, 4}), 10},
        DecodeCase{"SGI16NoMarker", Make<TSGIRLEDecoder>(uint8_t{16}), B({0, 0x85, 1, 2, 3}), 6,
                   B({1, 2, E, E, E, E}), 5},
        DecodeCase{"CUTLine", Make<TCUTRLEDecoder>(), B({6, 0, 0x83, 7, 0x02, 1, 2, 0, 0xAA}), 6,
                   B({7, 7, 7, 1, 2, E}), 8},
        DecodeCase{"CUTRunBeyondLineStillFindsEnd", Make<TCUTRLEDecoder>(), B({0, 0, 0xFF, 7, 0x01, 5, 0, 9}),
                   2, B({7, 7}), 7},
        DecodeCase{"CUTTruncatedCount", Make<TCUTRLEDecoder>(), B({4}), 2, B({E, E}), 1},
        DecodeCase{"PSPRunAndLiteral", Make<TPSPRLEDecoder>(), B({0x83, 9, 0x02, 1, 2}), 5,
                   B({9, 9, 9, 1, 2}), 5},
        DecodeCase{"PSPLiteralBeyondSource", Make<TPSPRLEDecoder>(), B({0x7F, 1, 2}), 4, B({1, 2, E, E}), 3},
        DecodeCase{"PSPRunBeyondDestination", Make<TPSPRLEDecoder>(), B({0xFF, 3}), 2, B({3, 3}), 2},
        DecodeCase{"RLAChannel", Make<TRLADecoder>(), B({0xFE, 1, 2, 2, 7}), 5, B({1, 2, 7, 7, 7}), 5},
        DecodeCase{"RLARunBeyondDestination", Make<TRLADecoder>(), B({0x7F, 3}), 2, B({3, 3}), 2},
        DecodeCase{"RLALiteralBeyondSource", Make<TRLADecoder>(), B({0x80, 1}), 3, B({1, E, E}), 2}),
    [](const ::testing::TestParamInfo<DecodeCase>& i) { return std::string(i.param.name); });

Bytes EncodeTarga(uint32_t depth, const Bytes& pixels) {
  TTargaRLEDecoder d(depth);
  const size_t count = pixels.size() / d.PixelSize();
  Bytes out(d.MaxEncodedSize(count));
  out.resize(d.EncodeBlock(pixels, out, count));
  return out;
}

TEST(TargaEncoder, PacketsAsWritten) {
  EXPECT_EQ(EncodeTarga(8, B({'A', 'A', 'A', 'B', 'C'})), B({0x82, 'A', 0x01, 'B', 'C'}));
  Bytes five;
  for (int i = 0; i < 5; ++i) five.insert(five.end(), {1, 2, 3});
  EXPECT_EQ(EncodeTarga(24, five), B({0x84, 1, 2, 3}));
  EXPECT_EQ(EncodeTarga(8, Bytes(200, 9)), B({0xFF, 9, 0xC7, 9}));
  EXPECT_EQ(EncodeTarga(8, B({5})), B({0x00, 5}));
  // Single pixels between pairs: a header for every other pixel.
  EXPECT_EQ(EncodeTarga(8, B({1, 2, 2, 3, 4, 4})), B({0x00, 1, 0x81, 2, 0x00, 3, 0x81, 4}));
}

TEST(TargaEncoder, RoundTripsEveryDepth) {
  std::mt19937 rng(7);
  for (uint32_t depth : {8u, 15u, 16u, 24u, 32u}) {
    SCOPED_TRACE(depth);
    TTargaRLEDecoder d(depth);
    const size_t p = d.PixelSize();
    // Runs of every length around the 128 cap, between noisy stretches.
    Bytes pixels;
    for (int len : {1, 2, 3, 127, 128, 129, 255, 256, 300}) {
      Bytes px(p);
      for (auto& b : px) b = static_cast<uint8_t>(rng());
      for (int i = 0; i < len; ++i) pixels.insert(pixels.end(), px.begin(), px.end());
      for (int i = 0; i < len; ++i) pixels.push_back(static_cast<uint8_t>(rng() % 3));
      pixels.resize(pixels.size() / p * p);
    }
    const size_t count = pixels.size() / p;
    Bytes packed = EncodeTarga(depth, pixels);
    EXPECT_LE(packed.size(), d.MaxEncodedSize(count));
    Bytes back(pixels.size());
    TDecodeResult r = d.DecodeBlock(packed, back);
    EXPECT_EQ(back, pixels);
    EXPECT_EQ(r.consumed, packed.size());
    EXPECT_EQ(r.produced, pixels.size());
  }
}

TEST(TargaEncoder, RefusesShortBuffers) {
  TTargaRLEDecoder d(8);
  Bytes pixels = B({1, 2, 3, 4});
  Bytes small(3);
  EXPECT_THROW(d.EncodeBlock(pixels, small, 4), EImageCodecError);
  Bytes room(d.MaxEncodedSize(5));
  EXPECT_THROW(d.EncodeBlock(pixels, room, 5), EImageCodecError);
}

TEST(OtherDecoders, EncodeNothing) {
  TPackbitsRLEDecoder d;
  Bytes in = B({1, 2}), out(4, 0);
  EXPECT_EQ(d.EncodeBlock(in, out, 2), 0u);
}

// PackBits strips from libtiff's encoder decode to the pixels it was given.
TEST(PackBitsOracle, DecodesTiffcpStrips) {
  TK_REQUIRE_TOOL("tiffcp");
  TK_REQUIRE_TOOL("pnmtotiff");
  tk::test::ScratchDir dir;
  const int w = 301, h = 97;
  std::mt19937 rng(3);
  std::string pixels;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) pixels += static_cast<char>((y % 3 == 0) ? rng() : (x / (1 + y % 17)) * 40);
  tk::test::WriteFileBytes(dir / "in.pgm",
                           "P5\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n" + pixels);
  std::string plain = tk::test::RunTool({"pnmtotiff", (dir / "in.pgm").string()}).out;
  tk::test::WriteFileBytes(dir / "plain.tif", plain);
  ASSERT_EQ(tk::test::RunTool({"tiffcp", "-c", "packbits", "-r", "13", (dir / "plain.tif").string(),
                               (dir / "pb.tif").string()})
                .exitCode,
            0);
  tk::test::TiffStrips t = tk::test::ReadTiffStrips(tk::test::ReadFileBytes(dir / "pb.tif"));
  ASSERT_EQ(t.Tag(259), 32773u);
  const uint32_t rowsPerStrip = t.Tag(278);
  ASSERT_GT(t.strips.size(), 1u);
  TPackbitsRLEDecoder d;
  std::string decoded;
  for (size_t s = 0; s < t.strips.size(); ++s) {
    const size_t rows = std::min<size_t>(rowsPerStrip, h - s * rowsPerStrip);
    Bytes out(rows * w);
    const std::string& strip = t.strips[s];
    TDecodeResult r = d.DecodeBlock({reinterpret_cast<const uint8_t*>(strip.data()), strip.size()}, out);
    EXPECT_EQ(r.produced, out.size());
    decoded.append(out.begin(), out.end());
  }
  EXPECT_EQ(decoded, pixels);
}

}  // namespace
}  // namespace imaging
