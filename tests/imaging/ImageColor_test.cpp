#include "imaging/ImageColor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace imaging {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Words(std::initializer_list<uint16_t> words, bool bigEndian) {
  Bytes b;
  for (uint16_t w : words) {
    if (bigEndian) {
      b.push_back(static_cast<uint8_t>(w >> 8));
      b.push_back(static_cast<uint8_t>(w));
    } else {
      b.push_back(static_cast<uint8_t>(w));
      b.push_back(static_cast<uint8_t>(w >> 8));
    }
  }
  return b;
}

struct Settings {
  TColorModel source, target;
  uint8_t sourceBits, targetBits;
  TColorFlags sourceFlags = 0, targetFlags = 0;
};

void Configure(TColorManager& m, const Settings& s) {
  m.SetSourceModel(s.source);
  m.SetTargetModel(s.target);
  m.SetSourceSampleBits(s.sourceBits);
  m.SetTargetSampleBits(s.targetBits);
  m.SourceFlags = s.sourceFlags;
  m.TargetFlags = s.targetFlags;
}

// The scale operation as the converters define it.
uint32_t Scale(uint32_t v, uint32_t m, uint32_t d) {
  return v * m / d;
}

TEST(TColorManager, FreshManagerReversesTriplesWithoutGamma) {
  TColorManager m;
  Bytes src{10, 20, 30, 40, 50, 60};
  Bytes dst(6, 0);
  m.ConvertRow(src, dst, 2);
  EXPECT_EQ(dst, (Bytes{30, 20, 10, 60, 50, 40}));
}

struct RowCase {
  const char* name;
  Settings setup;
  Bytes source;
  uint32_t count;
  uint8_t mask;
  Bytes targetBefore;
  Bytes expected;
};

TEST(TColorManager, InterleavedRows) {
  const uint8_t g128 = static_cast<uint8_t>(std::nearbyint(std::pow(128 / 255.0, 1 / 2.2) * 255));
  const uint8_t g50 = static_cast<uint8_t>(std::nearbyint(std::pow(50 / 255.0, 1 / 2.2) * 255));
  const uint8_t g0x12 =
      static_cast<uint8_t>(std::nearbyint(std::pow(Scale(0x1234, 255, 65535) / 255.0, 1 / 2.2) * 255));
  const std::vector<RowCase> cases = {
      {"rgb to rgb keeps order", {cmRGB, cmRGB, 8, 8}, {1, 2, 3}, 1, 0xFF, Bytes(3), {1, 2, 3}},
      {"bgr to rgb reverses", {cmBGR, cmRGB, 8, 8}, {1, 2, 3}, 1, 0xFF, Bytes(3), {3, 2, 1}},
      {"bgr to bgr keeps", {cmBGR, cmBGR, 8, 8}, {1, 2, 3}, 1, 0xFF, Bytes(3), {1, 2, 3}},
      {"gamma on colour", {cmRGB, cmBGR, 8, 8, 0, cfGamma}, {128, 50, 0}, 1, 0xFF, Bytes(3), {0, g50, g128}},
      {"rgba to bgra copies alpha untouched by gamma",
       {cmRGBA, cmBGRA, 8, 8, 0, cfGamma},
       {0, 0, 128, 77},
       1,
       0xFF,
       Bytes(4),
       {g128, 0, 0, 77}},
      {"rgb to bgra leaves alpha", {cmRGB, cmBGRA, 8, 8}, {1, 2, 3}, 1, 0xFF, {9, 9, 9, 99}, {3, 2, 1, 99}},
      {"rgba to bgr skips alpha",
       {cmRGBA, cmBGR, 8, 8},
       {1, 2, 3, 4, 5, 6, 7, 8},
       2,
       0xFF,
       Bytes(6),
       {3, 2, 1, 7, 6, 5}},
      {"16-bit big-endian to 8",
       {cmRGB, cmBGR, 16, 8, cfSwapBytes},
       Words({0x1234, 0xFFFF, 0x0101}, true),
       1,
       0xFF,
       Bytes(3),
       {1, 255, static_cast<uint8_t>(Scale(0x1234, 255, 65535))}},
      {"16-bit little-endian to 8",
       {cmRGB, cmRGB, 16, 8},
       Words({0x8000, 0x00FF, 0xFFFF}, false),
       1,
       0xFF,
       Bytes(3),
       {static_cast<uint8_t>(Scale(0x8000, 255, 65535)), 0, 255}},
      {"16-bit to 8 then gamma",
       {cmRGB, cmRGB, 16, 8, cfSwapBytes, cfGamma},
       Words({0x1234, 0, 0}, true),
       1,
       0xFF,
       Bytes(3),
       {g0x12, 0, 0}},
      {"16 to 16 swaps only, no gamma",
       {cmRGB, cmRGB, 16, 16, cfSwapBytes, cfGamma},
       Words({0x1234, 1, 0x8000}, true),
       1,
       0xFF,
       Bytes(6),
       Words({0x1234, 1, 0x8000}, false)},
      {"8 to 16 times 257",
       {cmRGB, cmBGR, 8, 16},
       {1, 2, 255},
       1,
       0xFF,
       Bytes(6),
       Words({65535, 514, 257}, false)},
      {"8 to 16 with swap writes big-endian",
       {cmRGB, cmRGB, 8, 16, cfSwapBytes},
       {1, 2, 3},
       1,
       0xFF,
       Bytes(6),
       Words({257, 514, 771}, true)},
      {"mask selects pixels 1 and 3",
       {cmRGB, cmRGB, 8, 8},
       {1, 2, 3, 4, 5, 6},
       4,
       0x50,
       Bytes(12, 0xEE),
       {0xEE, 0xEE, 0xEE, 1, 2, 3, 0xEE, 0xEE, 0xEE, 4, 5, 6}},
      {"grey 8 to 8", {cmGray, cmGray, 8, 8}, {5, 6, 7}, 3, 0xFF, Bytes(3), {5, 6, 7}},
      {"grey 16 big-endian to 8",
       {cmGray, cmGray, 16, 8, cfSwapBytes},
       Words({0xFFFF, 0x8080}, true),
       2,
       0xFF,
       Bytes(2),
       {255, static_cast<uint8_t>(Scale(0x8080, 255, 65535))}},
      {"grey 8 to 16", {cmGray, cmIndexed, 8, 16}, {2}, 1, 0xFF, Bytes(2), Words({514}, false)},
      {"grey 16 to 16 swapped",
       {cmGray, cmGray, 16, 16, cfSwapBytes},
       Words({0x1234}, true),
       1,
       0xFF,
       Bytes(2),
       Words({0x1234}, false)},
      {"grey alpha skips alpha", {cmGrayAlpha, cmGray, 8, 8}, {10, 99, 20, 99}, 2, 0xFF, Bytes(2), {10, 20}},
      {"grey alpha 16 to 8",
       {cmGrayAlpha, cmIndexed, 16, 8},
       Words({0xFFFF, 0, 0, 0xFFFF}, false),
       2,
       0xFF,
       Bytes(2),
       {255, 0}},
      {"indexed 4 to 4 is a copy",
       {cmIndexed, cmIndexed, 4, 4},
       {0x12, 0x34, 0x50},
       5,
       0xFF,
       Bytes(3),
       {0x12, 0x34, 0x50}},
      {"indexed 1 to 8 scales to 255",
       {cmIndexed, cmIndexed, 1, 8},
       {0xA0},
       4,
       0xFF,
       Bytes(4),
       {255, 0, 255, 0}},
      {"grey 2 to 4 scales by 5", {cmGray, cmGray, 2, 4}, {0x1B}, 4, 0xFF, Bytes(2), {0x05, 0xAF}},
      {"grey 8 to 1 keeps top value only",
       {cmGray, cmGray, 8, 1},
       {0, 254, 255, 255},
       4,
       0xFF,
       Bytes(1, 0x0F),
       {0x3F}},
      // Pixels 2, 3 and 4 take source fields 0, 1 and 2 (the third straddles
      // two bytes); the other fields keep their bits.
      {"indexed 3 to 3 with fields across bytes",
       {cmIndexed, cmIndexed, 3, 3},
       {0b00101001, 0b11000000},
       5,
       0x38,
       Bytes{0b11111111, 0b11111111},
       {0b11111100, 0b10100111}},
      {"indexed 4 with mask 0x55",
       {cmIndexed, cmIndexed, 4, 4},
       {0x12, 0x34},
       8,
       0x55,
       Bytes(4, 0),
       {0x01, 0x02, 0x03, 0x04}},
      {"indexed 16 to 16 swapped",
       {cmIndexed, cmIndexed, 16, 16, cfSwapBytes},
       Words({0xABCD}, true),
       1,
       0xFF,
       Bytes(2),
       Words({0xABCD}, false)},
      {"indexed 16 to 8 scales",
       {cmIndexed, cmIndexed, 16, 8},
       Words({0xFFFF, 0x0101, 0x8000}, false),
       3,
       0xFF,
       Bytes(3),
       {255, 1, static_cast<uint8_t>(Scale(0x8000, 255, 65535))}},
      {"indexed 16 to 4 packs fields",
       {cmIndexed, cmIndexed, 16, 4, cfSwapBytes},
       Words({0xFFFF, 0x1111}, true),
       2,
       0xFF,
       Bytes(1),
       {0xF1}},
      {"indexed 8 to 16",
       {cmIndexed, cmIndexed, 8, 16},
       {1, 255},
       2,
       0xFF,
       Bytes(4),
       Words({257, 65535}, false)},
      {"indexed 4 to 16 big-endian",
       {cmIndexed, cmIndexed, 4, 16, cfSwapBytes},
       {0xF1},
       2,
       0xFF,
       Bytes(4),
       Words({65535, 4369}, true)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TColorManager m;
    Configure(m, c.setup);
    Bytes dst = c.targetBefore;
    m.ConvertRow(c.source, dst, c.count, c.mask);
    EXPECT_EQ(dst, c.expected);
  }
}

TEST(TColorManager, PlanarRowsReadOnePlanePerSample) {
  TColorManager m;
  Configure(m, {cmRGBA, cmBGRA, 8, 8});
  Bytes r{1, 2}, g{3, 4}, b{5, 6}, a{7, 8};
  const TRowPlane planes[] = {r, g, b, a};
  Bytes dst(8);
  m.ConvertRow(planes, dst, 2);
  EXPECT_EQ(dst, (Bytes{5, 3, 1, 7, 6, 4, 2, 8}));

  // Too few planes for the model raise instead of reading past them.
  const TRowPlane three[] = {r, g, b};
  EXPECT_THROW(m.ConvertRow(three, dst, 2), EColorConversionError);
}

uint8_t CmykValue(int x, int k) {
  int v = 255 - (x - static_cast<int>(Scale(x, k, 255)) + k);
  return static_cast<uint8_t>(std::clamp(v, 0, 255));
}

TEST(TColorManager, CMYKMixesBlackIntoEachInk) {
  struct Case {
    const char* name;
    TColorModel target;
    uint8_t targetBits;
    Bytes expected;
  };
  // C M Y K = 200 50 0 100
  const uint8_t c = CmykValue(200, 100), mg = CmykValue(50, 100), y = CmykValue(0, 100);
  const std::vector<Case> cases = {
      {"to bgr", cmBGR, 8, {y, mg, c}},
      {"to rgb", cmRGB, 8, {c, mg, y}},
      {"to rgba skips alpha", cmRGBA, 8, {c, mg, y, 0xEE}},
      {"to 16-bit rgb", cmRGB, 16,
       Words(
           {static_cast<uint16_t>(c * 257), static_cast<uint16_t>(mg * 257), static_cast<uint16_t>(y * 257)},
           false)},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    TColorManager m;
    Configure(m, {cmCMYK, k.target, 8, k.targetBits});
    Bytes src{200, 50, 0, 100};
    Bytes dst(k.expected.size(), 0xEE);
    m.ConvertRow(src, dst, 1);
    EXPECT_EQ(dst, k.expected);
  }
  // 16-bit sources, big-endian as the readers of this library store them.
  TColorManager m;
  Configure(m, {cmCMYK, cmRGB, 16, 8, cfSwapBytes});
  const uint16_t X = 0xC000, K = 0x4000;
  auto sum = static_cast<uint16_t>(X - Scale(X, K, 65535) + K);
  uint8_t expect = static_cast<uint8_t>(std::clamp(255 - static_cast<int>(Scale(sum, 255, 65535)), 0, 255));
  Bytes src = Words({X, 0, 0xFFFF, K}, true);
  Bytes dst(3);
  m.ConvertRow(src, dst, 1);
  EXPECT_EQ(dst[0], expect);
  EXPECT_EQ(dst[1], 255 - Scale(K, 255, 65535));  // no ink but black
  EXPECT_EQ(dst[2], 0);                           // full ink
}

// CIE L*a*b* (D65 white) to 8-bit sRGB straight from the CIE and sRGB
// definitions, one "L a b" line in, one "R G B" line out.
constexpr const char* kCIEReference = R"(
import sys
def f(t): return t ** 3 if t > 6 / 29 else 3 * (6 / 29) ** 2 * (t - 4 / 29)
def enc(v):
    v = min(max(v, 0.0), 1.0)
    return 12.92 * v if v <= 0.0031308 else 1.055 * v ** (1 / 2.4) - 0.055
for line in sys.stdin:
    L, a, b = map(float, line.split())
    fy = (L + 16) / 116
    X, Y, Z = 0.95047 * f(fy + a / 500), f(fy), 1.08883 * f(fy - b / 200)
    rgb = (3.2406 * X - 1.5372 * Y - 0.4986 * Z, -0.9689 * X + 1.8758 * Y + 0.0415 * Z,
           0.0557 * X - 0.2040 * Y + 1.0570 * Z)
    print(*(round(enc(c) * 255) for c in rgb))
)";

Bytes NextRGB(std::istream& lines) {
  int r = 0, g = 0, b = 0;
  lines >> r >> g >> b;
  return Bytes{static_cast<uint8_t>(r), static_cast<uint8_t>(g), static_cast<uint8_t>(b)};
}

// Every way a reader may hand the manager a Lab sample: the two 8-bit
// layouts (L* 0..255 with signed a*, b* as TIFF stores them; with a*, b*
// offset by 128 as Photoshop does; or L* as the byte itself), and the same
// at 16 bits in either byte order.
TEST(TColorManager, LabAgainstTheCIEDefinition) {
  TK_REQUIRE_TOOL("/usr/bin/python3");
  struct Lab {
    int L, a, b;
  };
  // Greys first: grey depends only on the lightness curve.
  const std::vector<Lab> greys = {{0, 0, 0}, {5, 0, 0}, {20, 0, 0}, {50, 0, 0}, {75, 0, 0}, {100, 0, 0}};
  const std::vector<Lab> colours = {{60, -16, 32}, {50, 60, 30},  {40, -30, -40}, {70, 20, -60},
                                    {30, 10, 10},  {90, -10, 60}, {5, 12, -28}};
  // L* 0..255 in a byte cannot hold every whole L*: such samples are
  // checked against the L* their byte stands for.
  auto byteL = [](int L) { return static_cast<uint8_t>(std::lround(L * 2.55)); };
  std::string input;
  for (const auto* set : {&greys, &colours})
    for (const Lab& c : *set)
      for (const std::string& L : {std::to_string(c.L), std::to_string(byteL(c.L) / 2.55)})
        input += L + " " + std::to_string(c.a) + " " + std::to_string(c.b) + "\n";
  const tk::test::ToolResult r = tk::test::RunTool({"/usr/bin/python3", "-c", kCIEReference}, input);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::istringstream lines(r.out);

  auto check = [&](const Lab& c, int tolerance) {
    SCOPED_TRACE("L* " + std::to_string(c.L) + " a* " + std::to_string(c.a) + " b* " + std::to_string(c.b));
    const Bytes exact = NextRGB(lines), ofByte = NextRGB(lines);
    struct Encoding {
      const char* name;
      uint8_t bits;
      TColorFlags flags;
      Bytes samples;
      const Bytes& want;
    };
    const auto sa = static_cast<uint8_t>(static_cast<int8_t>(c.a)),
               sb = static_cast<uint8_t>(static_cast<int8_t>(c.b));
    const auto oa = static_cast<uint8_t>(c.a + 128), ob = static_cast<uint8_t>(c.b + 128);
    const uint8_t L8 = byteL(c.L);
    const auto L16 = static_cast<uint16_t>(std::lround(c.L * 655.35));
    const auto wa = static_cast<uint16_t>(c.a * 256), wb = static_cast<uint16_t>(c.b * 256);
    const Encoding encodings[] = {
        {"8-bit, L* 0..255, signed chroma", 8, cfLabByteRange, {L8, sa, sb}, ofByte},
        {"8-bit, L* 0..255, offset chroma", 8, cfLabByteRange | cfLabChromaOffset, {L8, oa, ob}, ofByte},
        {"8-bit, L* as the byte, signed chroma", 8, 0, {static_cast<uint8_t>(c.L), sa, sb}, exact},
        {"8-bit, L* as the byte, offset chroma",
         8,
         cfLabChromaOffset,
         {static_cast<uint8_t>(c.L), oa, ob},
         exact},
        {"16-bit big-endian, L* 0..65535, signed chroma", 16, cfLabByteRange | cfSwapBytes,
         Words({L16, wa, wb}, true), exact},
        {"16-bit little-endian, L* 0..65535, offset chroma", 16, cfLabByteRange | cfLabChromaOffset,
         Words({L16, static_cast<uint16_t>(oa * 257), static_cast<uint16_t>(ob * 257)}, false), exact},
    };
    for (const Encoding& e : encodings) {
      SCOPED_TRACE(e.name);
      TColorManager m;
      Configure(m, {cmCIELab, cmRGB, e.bits, 8, e.flags});
      Bytes rgb(3);
      m.ConvertRow(e.samples, rgb, 1);
      for (size_t i = 0; i < 3; ++i) EXPECT_NEAR(rgb[i], e.want[i], tolerance) << "sample " << i;
      Configure(m, {cmCIELab, cmBGRA, e.bits, 8, e.flags});
      Bytes bgra(4, 0xEE);
      m.ConvertRow(e.samples, bgra, 1);
      EXPECT_EQ(bgra, (Bytes{rgb[2], rgb[1], rgb[0], 0xEE}));
    }
  };
  for (const Lab& c : greys) check(c, 1);
  // The manager's primaries sit a little off the sRGB ones, which moves
  // saturated colours by a few steps; a missing or wrong lightness curve
  // moves them by dozens.
  for (const Lab& c : colours) check(c, 10);

  // White is exact, also into a 16-bit target.
  TColorManager m;
  Configure(m, {cmCIELab, cmRGB, 8, 16, cfLabByteRange | cfLabChromaOffset});
  Bytes white(6);
  m.ConvertRow(Bytes{255, 128, 128}, white, 1);
  EXPECT_EQ(white, Words({0xFFFF, 0xFFFF, 0xFFFF}, false));
}

TEST(TColorManager, YCbCrAndPhotoYCCThroughChromaTables) {
  const double kr = 0.299f, kg = 0.587f, kb = 0.114f;
  const double crR = 2 - 2 * kr, cbB = 2 - 2 * kb, crG = kr * crR / kg, cbG = kb * cbB / kg;
  auto ycc = [&](int y, int cb, int cr, int offCb, int offCr) {
    int r = y + static_cast<int>(std::nearbyint(crR * (cr - offCr)));
    int g = y - static_cast<int>(std::nearbyint(cbG * (cb - offCb))) -
            static_cast<int>(std::nearbyint(crG * (cr - offCr)));
    int b = y + static_cast<int>(std::nearbyint(cbB * (cb - offCb)));
    return Bytes{static_cast<uint8_t>(std::clamp(r, 0, 255)), static_cast<uint8_t>(std::clamp(g, 0, 255)),
                 static_cast<uint8_t>(std::clamp(b, 0, 255))};
  };
  struct Case {
    const char* name;
    TColorModel model;
    Bytes sample;
    int offCb, offCr;
  };
  const std::vector<Case> cases = {
      {"neutral", cmYCbCr, {100, 128, 128}, 128, 128},
      {"red chroma", cmYCbCr, {100, 128, 200}, 128, 128},
      {"blue chroma, clamped", cmYCbCr, {250, 255, 10}, 128, 128},
      {"photo offsets", cmPhotoYCC, {120, 156, 137}, 156, 137},
      {"photo chroma", cmPhotoYCC, {120, 100, 200}, 156, 137},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TColorManager m;
    Configure(m, {c.model, cmRGB, 8, 8});
    Bytes dst(3);
    m.ConvertRow(c.sample, dst, 1);
    EXPECT_EQ(dst, ycc(c.sample[0], c.sample[1], c.sample[2], c.offCb, c.offCr));
  }
}

TEST(TColorManager, GammaTable) {
  TColorManager m;
  // Built by the constructor with 1.0 and 2.2: it brightens.
  EXPECT_EQ(m.GammaTable()[128], static_cast<uint8_t>(std::nearbyint(std::pow(128 / 255.0, 1 / 2.2) * 255)));
  EXPECT_EQ(m.GammaTable()[0], 0);
  EXPECT_EQ(m.GammaTable()[255], 255);

  m.BuildGammaTable(0.45455f, 2.2f);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(m.GammaTable()[i], i) << i;

  m.BuildGammaTable(0, -1);
  EXPECT_FLOAT_EQ(m.ImageGamma(), 1.0f);
  EXPECT_FLOAT_EQ(m.MonitorGamma(), 2.2f);

  // Below 8 target bits the table is still the full 8-bit table.
  m.SetTargetSampleBits(1);
  m.BuildGammaTable(1.0f, 2.2f);
  TColorManager fresh;
  EXPECT_EQ(m.GammaTable(), fresh.GammaTable());
}

TEST(TColorManager, SettersValidate) {
  TColorManager m;
  for (uint8_t bad : {0, 17}) {
    SCOPED_TRACE(bad);
    try {
      m.SetSourceSampleBits(bad);
      ADD_FAILURE();
    } catch (const EColorConversionError& e) {
      EXPECT_STREQ(e.what(), "Color depth is invalid. Bits per sample must be 1, 2, 4, 8 or 16.");
    }
    EXPECT_THROW(m.SetTargetSampleBits(bad), EColorConversionError);
  }
  EXPECT_EQ(m.SourceSampleBits(), 8);
  m.SetSourceSampleBits(12);  // any of 1..16
  EXPECT_THROW(m.SetSourceSampleCount(0), EColorConversionError);
  EXPECT_THROW(m.SetTargetSampleCount(5), EColorConversionError);
  m.SetTargetSampleCount(4);
  EXPECT_EQ(m.TargetSampleCount(), 4);

  const float coefficients[] = {0.2126f, 0.7152f};
  EXPECT_THROW(m.ConfigureYCbCr(coefficients, 3, 1), EColorConversionError);
  EXPECT_FLOAT_EQ(m.LumaWeights[0], 0.2126f);  // kept even though it failed
  EXPECT_FLOAT_EQ(m.LumaWeights[2], 0.114f);
  try {
    m.ConfigureYCbCr({}, 1, 2);
    ADD_FAILURE();
  } catch (const EColorConversionError& e) {
    EXPECT_STREQ(e.what(), "Vertical subsampling value must be <= horizontal subsampling value.");
  }
  EXPECT_EQ(m.HorizontalSubSampling(), 1);
  m.ConfigureYCbCr({}, 4, 2);
  EXPECT_EQ(m.HorizontalSubSampling(), 4);
  EXPECT_EQ(m.VerticalSubSampling(), 2);
}

TEST(TColorManager, UnconvertibleSettingsRaise) {
  struct Case {
    const char* name;
    Settings setup;
    const char* message;
  };
  const char* noMethod = "Color conversion failed. Could not find a proper method.";
  const char* indexed = "Conversion between indexed and non-indexed pixel formats is not supported.";
  const std::vector<Case> cases = {
      {"grey 16 to 4 bits", {cmGray, cmGray, 16, 4}, noMethod},
      {"4-bit rgb", {cmRGB, cmBGR, 4, 8}, noMethod},
      {"12-bit rgb", {cmRGB, cmBGR, 12, 8}, noMethod},
      {"rgb to 5-bit target", {cmRGB, cmBGR, 8, 5}, noMethod},
      {"12-bit grey to 16", {cmGray, cmGray, 12, 16}, noMethod},
      {"cmy", {cmCMY, cmBGR, 8, 8}, noMethod},
      {"unknown", {cmUnknown, cmBGR, 8, 8}, noMethod},
      {"rgb to cmyk", {cmRGB, cmCMYK, 8, 8}, noMethod},
      {"grey to rgb", {cmGray, cmRGB, 8, 8}, indexed},
      {"rgb to indexed", {cmRGB, cmIndexed, 8, 8}, indexed},
      {"grey alpha to grey alpha", {cmGrayAlpha, cmGrayAlpha, 8, 8}, indexed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TColorManager m;
    Configure(m, c.setup);
    Bytes src(64, 0x11), dst(64, 0x22);
    for (int attempt = 0; attempt < 2; ++attempt) {  // raises again on the next row
      try {
        m.ConvertRow(src, dst, 4);
        ADD_FAILURE() << "no exception";
      } catch (const EColorConversionError& e) {
        EXPECT_STREQ(e.what(), c.message);
      }
    }
    EXPECT_EQ(dst, Bytes(64, 0x22));
  }
}

TEST(TColorManager, RowsThatDoNotFitRaise) {
  struct Case {
    const char* name;
    Settings setup;
    size_t sourceBytes, targetBytes;
    uint32_t count;
    uint8_t mask;
  };
  const std::vector<Case> cases = {
      {"rgb source short by one byte", {cmRGB, cmBGR, 8, 8}, 5, 6, 2, 0xFF},
      {"bgr target short", {cmRGB, cmBGR, 8, 8}, 6, 5, 2, 0xFF},
      {"alpha target needs four", {cmRGB, cmBGRA, 8, 8}, 6, 6, 2, 0xFF},
      {"16-bit source", {cmRGB, cmBGR, 16, 8}, 11, 6, 2, 0xFF},
      {"packed 1-bit target", {cmIndexed, cmIndexed, 8, 1}, 9, 1, 9, 0xFF},
      {"packed 4-bit source", {cmIndexed, cmIndexed, 4, 8}, 1, 3, 3, 0xFF},
      {"mask counts selected pixels", {cmRGB, cmRGB, 8, 8}, 5, 24, 8, 0x81},
      {"grey alpha pairs", {cmGrayAlpha, cmGray, 8, 8}, 3, 2, 2, 0xFF},
      {"cmyk", {cmCMYK, cmBGR, 8, 8}, 7, 6, 2, 0xFF},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TColorManager m;
    Configure(m, c.setup);
    Bytes src(c.sourceBytes), dst(c.targetBytes);
    EXPECT_THROW(m.ConvertRow(src, dst, c.count, c.mask), EColorConversionError);
    // One byte more on the short side fits.
    Bytes src2(c.sourceBytes + 8), dst2(c.targetBytes + 8);
    EXPECT_NO_THROW(m.ConvertRow(src2, dst2, c.count, c.mask));
  }
  TColorManager m;
  Bytes dst(3);
  EXPECT_THROW(m.ConvertRow(std::span<const TRowPlane>(), dst, 1), EColorConversionError);
  Bytes none;
  EXPECT_NO_THROW(m.ConvertRow(none, none, 0));
}

TEST(TColorManager, FlagsSetAfterARowTakeEffect) {
  TColorManager m;
  Configure(m, {cmRGB, cmRGB, 8, 8});
  Bytes src{128, 128, 128}, dst(3);
  m.ConvertRow(src, dst, 1);
  EXPECT_EQ(dst[0], 128);
  m.TargetFlags |= cfGamma;
  m.ConvertRow(src, dst, 1);
  EXPECT_EQ(dst[0], m.GammaTable()[128]);
  // cfAlpha is derived from the model at selection.
  m.SetSourceModel(cmRGBA);
  m.SetSourceModel(cmRGB);
  m.SourceFlags |= cfAlpha;
  m.ConvertRow(src, dst, 1);
  EXPECT_EQ(m.SourceFlags & cfAlpha, 0);
}

}  // namespace
}  // namespace imaging

namespace imaging {
namespace {

std::vector<uint8_t> Reds(const graphics::TPalette& p) {
  std::vector<uint8_t> v;
  for (const auto& e : p.Entries()) v.push_back(e.peRed);
  return v;
}

TEST(TColorManagerPalettes, GrayPalette) {
  TColorManager m;
  m.SetTargetSampleCount(1);
  m.SetTargetSampleBits(3);
  auto p = m.MakeGrayPalette(false);
  EXPECT_EQ(Reds(*p), (std::vector<uint8_t>{0, 36, 72, 108, 144, 180, 216, 252}));
  EXPECT_EQ(p->Entry(3), (graphics::TPaletteEntry{108, 108, 108, 0}));

  m.SetTargetSampleBits(1);
  p = m.MakeGrayPalette(true);
  EXPECT_EQ(Reds(*p), (std::vector<uint8_t>{255, 0}));

  m.SetTargetSampleBits(8);
  m.TargetFlags = cfGamma;
  p = m.MakeGrayPalette(false);
  ASSERT_EQ(p->Count(), 256);
  EXPECT_EQ(p->Entry(128).peGreen, m.GammaTable()[128]);

  m.SetTargetSampleBits(16);  // never more than 256 entries
  EXPECT_EQ(m.MakeGrayPalette(false)->Count(), 256);
}

TEST(TColorManagerPalettes, ColormapLayouts) {
  struct Case {
    const char* name;
    TColormapLayout layout;
    std::vector<Bytes> planes;
    bool bgr;
    TColorFlags sourceFlags;
  };
  // Two entries: (10, 20, 30) and (40, 50, 60) in every layout.
  const std::vector<Case> cases = {
      {"8 interleaved 3", cml8Interleaved3, {{10, 20, 30, 40, 50, 60}}, false, 0},
      {"8 interleaved 3 bgr", cml8Interleaved3, {{30, 20, 10, 60, 50, 40}}, true, 0},
      {"8 interleaved 4", cml8Interleaved4, {{10, 20, 30, 0, 40, 50, 60, 0}}, false, 0},
      {"8 planar 3", cml8Planar3, {{10, 40}, {20, 50}, {30, 60}}, false, 0},
      {"8 planar 4 ignores the fourth", cml8Planar4, {{10, 40}, {20, 50}, {30, 60}, {99, 99}}, false, 0},
      {"16 interleaved 3 big-endian",
       cml16Interleaved3,
       {Words({10 * 257, 20 * 257, 30 * 257, 40 * 257, 50 * 257, 60 * 257}, true)},
       false,
       cfSwapBytes},
      {"16 interleaved 4 little-endian",
       cml16Interleaved4,
       {Words({10 * 257, 20 * 257, 30 * 257, 0, 40 * 257, 50 * 257, 60 * 257, 0}, false)},
       false,
       0},
      {"16 planar 3",
       cml16Planar3,
       {Words({10 * 257, 40 * 257}, true), Words({20 * 257, 50 * 257}, true),
        Words({30 * 257, 60 * 257}, true)},
       false,
       cfSwapBytes},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TColorManager m;
    m.SetSourceSampleBits(1);
    m.SetTargetSampleBits(1);
    m.SourceFlags = c.sourceFlags;
    std::vector<TRowPlane> planes(c.planes.begin(), c.planes.end());
    auto p = m.MakePaletteFromColormap(planes, c.layout, 2, c.bgr);
    ASSERT_EQ(p->Count(), 2);
    EXPECT_EQ(p->Entry(0), (graphics::TPaletteEntry{10, 20, 30, 0}));
    EXPECT_EQ(p->Entry(1), (graphics::TPaletteEntry{40, 50, 60, 0}));
  }
}

TEST(TColorManagerPalettes, ColormapSizesAndResampling) {
  TColorManager m;
  // 300 entries give 256.
  Bytes big(300 * 3);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i / 3);
  const TRowPlane one[] = {big};
  auto p = m.MakePaletteFromColormap(one, cml8Interleaved3, 300, false);
  ASSERT_EQ(p->Count(), 256);
  EXPECT_EQ(p->Entry(255).peRed, 255);

  // A short map is padded with black for every index an 8-bit target holds,
  // and a count larger than the buffer reads no further than the buffer.
  Bytes three{1, 2, 3, 4, 5, 6, 7, 8, 9};
  const TRowPlane shortMap[] = {three};
  p = m.MakePaletteFromColormap(shortMap, cml8Interleaved3, 200, false);
  ASSERT_EQ(p->Count(), 256);
  EXPECT_EQ(p->Entry(2), (graphics::TPaletteEntry{7, 8, 9, 0}));
  EXPECT_EQ(p->Entry(3), (graphics::TPaletteEntry{}));
  EXPECT_EQ(p->Entry(255), (graphics::TPaletteEntry{}));

  // 2-bit map for a 4-bit target: index i takes source entry i * 3 / 15.
  Bytes four{0, 0, 0, 85, 85, 85, 170, 170, 170, 255, 255, 255};
  const TRowPlane fourMap[] = {four};
  m.SetSourceSampleBits(2);
  m.SetTargetSampleBits(4);
  p = m.MakePaletteFromColormap(fourMap, cml8Interleaved3, 4, false);
  ASSERT_EQ(p->Count(), 16);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(p->Entry(i).peRed, four[static_cast<size_t>(i * 3 / 15) * 3]) << i;

  // Gamma on the target.
  m.SetSourceSampleBits(8);
  m.SetTargetSampleBits(8);
  m.TargetFlags = cfGamma;
  Bytes grey{128, 128, 128};
  const TRowPlane greyMap[] = {grey};
  p = m.MakePaletteFromColormap(greyMap, cml8Interleaved3, 1, false);
  EXPECT_EQ(p->Entry(0).peBlue, m.GammaTable()[128]);
}

TEST(TColorManager, ChoosePixelFormat) {
  struct Case {
    uint8_t samples, bits;
    graphics::TPixelFormat format;
  };
  const std::vector<Case> cases = {
      {1, 1, graphics::pf1bit},   {1, 2, graphics::pf4bit},   {1, 4, graphics::pf4bit},
      {1, 5, graphics::pfCustom}, {1, 7, graphics::pfCustom}, {1, 8, graphics::pf8bit},
      {1, 16, graphics::pf8bit},  {3, 5, graphics::pf15bit},  {3, 1, graphics::pf15bit},
      {3, 8, graphics::pf24bit},  {3, 16, graphics::pf24bit}, {4, 8, graphics::pf32bit},
      {4, 16, graphics::pf32bit}, {4, 4, graphics::pfCustom}, {2, 8, graphics::pfCustom},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.samples) + " x " + std::to_string(c.bits));
    TColorManager m;
    m.SetTargetSampleCount(c.samples);
    m.SetTargetSampleBits(c.bits);
    EXPECT_EQ(m.ChoosePixelFormat(true), c.format);
    EXPECT_EQ(m.ChoosePixelFormat(false), graphics::pf24bit);  // source side: 3 x 8
  }
}

}  // namespace
}  // namespace imaging
