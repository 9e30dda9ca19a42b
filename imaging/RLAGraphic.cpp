#include "imaging/RLAGraphic.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "imaging/ImageCodecs.h"

namespace imaging {

namespace {

constexpr const char* kFormatName = "RLA";

constexpr size_t kHeaderSize = 740;
constexpr uint16_t kRevision = 0xFFFE;
constexpr float kDisplayGamma = 2.2f;

// A channel of a row is its 16-bit byte count and packets of which one
// two-byte run gives at most 128 pixels.
constexpr uint64_t kChannelCountBytes = 2;
constexpr uint64_t kPixelsPerRun = 128;

// The fields of the big-endian header that the reader uses.
struct THeader {
  std::array<uint8_t, kHeaderSize> bytes{};

  int16_t Signed(size_t at) const { return static_cast<int16_t>(BigEndian16(&bytes[at])); }
  int16_t ActiveLeft() const { return Signed(8); }
  int16_t ActiveRight() const { return Signed(10); }
  int16_t ActiveBottom() const { return Signed(12); }
  int16_t ActiveTop() const { return Signed(14); }
  uint8_t Channels() const { return bytes[21]; }
  uint16_t Mattes() const { return BigEndian16(&bytes[22]); }
  uint16_t Revision() const { return BigEndian16(&bytes[26]); }
  std::string Text(size_t at, size_t size) const {
    const auto* p = reinterpret_cast<const char*>(&bytes[at]);
    return std::string(p, strnlen(p, size));
  }
  std::string Gamma() const { return Text(28, 16); }
  std::string ChannelKind() const { return rtl::LowerCase(Text(580, 32)); }
  uint8_t ChannelBits() const { return bytes[659]; }
};

bool KnownChannelKind(const std::string& kind) {
  return kind == "rgb" || kind == "xyz";
}

}  // namespace

graphics::TGraphicClass TRLAGraphic::StaticClass() {
  return RasterClassRecord<TRLAGraphic>("TRLAGraphic", TRasterGraphic::StaticClass());
}

bool TRLAGraphic::CanReadStream(rtl::TStream& stream) {
  THeader h;
  if (!PeekHeader(stream, h.bytes.data(), kHeaderSize)) return false;
  return h.Revision() == kRevision && KnownChannelKind(h.ChannelKind());
}

bool TRLAGraphic::ReadProperties(rtl::TStream& stream, int imageIndex) {
  TRasterGraphic::ReadProperties(stream, imageIndex);
  THeader h;
  ReadExact(stream, h.bytes.data(), kHeaderSize, kFormatName);
  TImageProperties& p = ImageProperties;
  p.Flags = pfMotorolaOrder;
  // One matte channel is read, however many the header counts.
  p.AlphaPresent = h.Mattes() > 0;
  p.SamplesPerPixel = static_cast<uint8_t>(h.Channels() + (p.AlphaPresent ? 1 : 0));
  p.BitsPerSample = h.ChannelBits();
  p.BitsPerPixel = static_cast<uint8_t>(p.SamplesPerPixel * p.BitsPerSample);
  const std::string kind = h.ChannelKind();
  if (kind == "xyz") return false;
  p.ColorModel = kind == "rgb" ? (p.AlphaPresent ? cmRGBA : cmRGB) : cmUnknown;
  // Only a finite, positive number is a gamma; anything else leaves 1.0.
  double gamma = 0;
  if (rtl::TryStrToFloat(rtl::Trim(h.Gamma()), gamma) && std::isfinite(gamma) && gamma > 0 && gamma < 100)
    p.Gamma = static_cast<float>(gamma);
  p.Compression = ctRLE;
  const int32_t width = int32_t{h.ActiveRight()} - h.ActiveLeft() + 1;
  const int32_t height = std::abs(int32_t{h.ActiveBottom()} - h.ActiveTop()) + 1;
  if (width <= 0) return false;
  p.Width = static_cast<uint32_t>(width);
  p.Height = static_cast<uint32_t>(height);
  p.BottomUp = h.ActiveBottom() < h.ActiveTop();
  return true;
}

void TRLAGraphic::LoadFromStream(rtl::TStream& stream) {
  // A refused header (XYZ channels among them) is reported: an empty image
  // would look like a loaded one.
  BeginLoad(stream, kFormatName);
  const TImageProperties& p = ImageProperties;
  const bool alpha = p.AlphaPresent;
  const size_t channels = alpha ? 4 : 3;
  // Three colour channels and a matte of one byte each are what the rows
  // are decoded into; nothing else has a converter.
  if (p.ColorModel == cmUnknown || p.SamplesPerPixel != channels || p.BitsPerSample != 8)
    RaiseInvalidGraphicFmt(SInvalidColorFormat, {kFormatName});
  const uint32_t width = p.Width, height = p.Height;

  // The offset table, then per row at least a count and a run per 128
  // pixels for every channel: a short file cannot claim a large bitmap.
  const uint64_t tableBytes = 4 * static_cast<uint64_t>(height);
  const uint64_t minRowBytes =
      channels * (kChannelCountBytes + 2 * ((width + kPixelsPerRun - 1) / kPixelsPerRun));
  CheckDataLeft(tableBytes, BytesLeft(stream), kFormatName);
  std::vector<uint8_t> table(static_cast<size_t>(tableBytes));
  ReadExact(stream, table.data(), tableBytes, kFormatName);

  TColorManager& cm = ColorManager();
  cm.SetSourceSampleCount(static_cast<uint8_t>(channels));
  cm.SetTargetSampleCount(static_cast<uint8_t>(channels));
  cm.SetSourceSampleBits(8);
  cm.SetTargetSampleBits(8);
  cm.SetSourceModel(p.ColorModel);
  cm.SetTargetModel(alpha ? cmBGRA : cmBGR);
  cm.SourceFlags = 0;
  cm.TargetFlags = 0;
  if (p.Gamma != 1.0f) {
    cm.BuildGammaTable(p.Gamma, kDisplayGamma);
    cm.TargetFlags |= cfGamma;
    ImageProperties.Flags |= pfGammaCorrected;
  }
  PrepareImage(width, height, cm.ChoosePixelFormat(true), kFormatName,
               {SaturatingProduct(minRowBytes, height), BytesLeft(stream)});

  std::vector<std::vector<uint8_t>> planes(channels, std::vector<uint8_t>(width));
  std::array<TRowPlane, 4> rowPlanes{};
  for (size_t c = 0; c < channels; ++c) rowPlanes[c] = planes[c];
  std::vector<uint8_t> packed;
  TRLADecoder decoder;
  decoder.StartDecoding();
  StartProgress(STransfering, static_cast<int32_t>(width));
  for (uint32_t i = 0; i < height; ++i) {
    stream.SetPosition(basePosition_ + static_cast<int64_t>(BigEndian32(&table[4 * static_cast<size_t>(i)])));
    for (size_t c = 0; c < channels; ++c) {
      uint8_t count[2];
      ReadExact(stream, count, sizeof count, kFormatName);
      // Every packet gives at least one pixel per two bytes, so bytes past
      // twice the width can never be decoded: they are stepped over. Rows
      // may share their data, and reading all of it for each would cost
      // gigabytes for a file of a few megabytes.
      const uint64_t length = BigEndian16(count), used = std::min<uint64_t>(length, 2 * uint64_t{width});
      packed.resize(static_cast<size_t>(used));
      ReadExact(stream, packed.data(), used, kFormatName);
      CheckDataLeft(length - used, BytesLeft(stream), kFormatName);
      stream.Seek(static_cast<int64_t>(length - used), rtl::soCurrent);
      // A row shorter than the width is black beyond its data, not the
      // row before.
      std::fill(planes[c].begin(), planes[c].end(), uint8_t{0});
      decoder.DecodeBlock(packed, planes[c]);
    }
    const uint32_t y = p.BottomUp ? height - 1 - i : i;
    cm.ConvertRow(std::span<const TRowPlane>(rowPlanes.data(), channels),
                  std::span<uint8_t>(ScanLine(static_cast<int>(y)), static_cast<size_t>(Stride())), width);
    RowProgress(i, height);
  }
  decoder.FinishDecoding();
  EndProgress();
  stream_ = nullptr;
}

}  // namespace imaging
