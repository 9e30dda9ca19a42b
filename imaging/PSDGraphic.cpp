#include "imaging/PSDGraphic.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <vector>

#include "imaging/ImageCodecs.h"

namespace imaging {

namespace {

constexpr const char* kFormatName = "PSD or PDD";

constexpr size_t kHeaderSize = 26;
constexpr char kSignature[] = "8BPS";
constexpr uint16_t kVersion = 1;

enum : uint16_t {
  kCompressionRaw = 0,
  kCompressionPackBits = 1,
  kCompressionZip = 2,
  kCompressionZipPredicted = 3
};
constexpr uint16_t kModeBitmap = 0;

// One PackBits run of two bytes gives at most 128 bytes of a row.
constexpr uint64_t kBytesPerRun = 128;

struct THeader {
  std::array<uint8_t, kHeaderSize> bytes{};
  uint16_t Version() const { return BigEndian16(&bytes[4]); }
  uint16_t Channels() const { return BigEndian16(&bytes[12]); }
  uint32_t Height() const { return BigEndian32(&bytes[14]); }
  uint32_t Width() const { return BigEndian32(&bytes[18]); }
  uint16_t Depth() const { return BigEndian16(&bytes[22]); }
  uint16_t Mode() const { return BigEndian16(&bytes[24]); }
};

TColorModel ModelOf(uint16_t mode, uint32_t channels) {
  switch (mode) {
    case 0:  // bitmap
    case 1:  // grey
    case 8:  // duotone: the first channel is its grey
      return cmGray;
    case 2:
      return cmIndexed;
    case 3:
    case 7:  // multichannel is shown as RGB
      return channels == 3 ? cmRGB : cmRGBA;
    case 4:
      return cmCMYK;
    case 9:
      return cmCIELab;
    default:
      return cmUnknown;
  }
}

// Channels a model's rows are converted from.
size_t PlanesOf(TColorModel model) {
  switch (model) {
    case cmGray:
    case cmIndexed:
      return 1;
    case cmRGB:
    case cmCIELab:
      return 3;
    default:
      return 4;
  }
}

}  // namespace

graphics::TGraphicClass TPSDGraphic::StaticClass() {
  return RasterClassRecord<TPSDGraphic>("TPSDGraphic", TRasterGraphic::StaticClass());
}

bool TPSDGraphic::CanReadStream(rtl::TStream& stream) {
  THeader h;
  if (!PeekHeader(stream, h.bytes.data(), kHeaderSize)) return false;
  for (size_t i = 0; i < 4; ++i)
    if (std::toupper(h.bytes[i]) != kSignature[i]) return false;
  return h.Version() == kVersion;
}

bool TPSDGraphic::ReadProperties(rtl::TStream& stream, int imageIndex) {
  TRasterGraphic::ReadProperties(stream, imageIndex);
  const int64_t base = stream.Position();
  THeader h;
  ReadExact(stream, h.bytes.data(), kHeaderSize, kFormatName);
  // Version 2 documents have wider lengths and counts; read as version 1
  // they would give garbage.
  if (std::memcmp(h.bytes.data(), kSignature, 4) != 0 || h.Version() != kVersion) return false;
  TImageProperties& p = ImageProperties;
  p.Flags = pfMotorolaOrder;
  channels_ = h.Channels();
  mode_ = h.Mode();
  p.BitsPerSample = static_cast<uint8_t>(h.Depth());
  p.ChannelCount = static_cast<uint8_t>(channels_);
  p.SamplesPerPixel = static_cast<uint8_t>(std::min<uint32_t>(channels_, 4));
  p.BitsPerPixel = static_cast<uint8_t>(p.SamplesPerPixel * p.BitsPerSample);
  p.ColorModel = ModelOf(mode_, channels_);
  if (mode_ == kModeBitmap) p.Flags |= pfMinimumIsWhite;
  p.Width = h.Width();
  p.Height = h.Height();

  // The colour mode data, the image resources and the layers, each behind
  // its 32-bit length; a length beyond the stream is a read error, not a
  // seek past the end.
  auto skipSection = [&](int64_t& at) {
    uint8_t length[4];
    ReadExact(stream, length, sizeof length, kFormatName);
    const uint32_t n = BigEndian32(length);
    at = stream.Position() - base;
    CheckDataLeft(n, BytesLeft(stream), kFormatName);
    stream.Seek(n, rtl::soCurrent);
    return n;
  };
  int64_t unused = 0;
  colourDataSize_ = skipSection(colourDataAt_);
  skipSection(unused);
  skipSection(unused);
  uint8_t compression[2];
  ReadExact(stream, compression, sizeof compression, kFormatName);
  imageDataAt_ = stream.Position() - base;
  switch (BigEndian16(compression)) {
    case kCompressionRaw:
      p.Compression = ctNone;
      break;
    case kCompressionPackBits:
      p.Compression = ctPackBits;
      break;
    case kCompressionZip:
    case kCompressionZipPredicted:
      // Named for what it is, so that the loader refuses it rather than
      // showing deflated bytes as raw pixels.
      p.Compression = ctLZ77;
      break;
    default:
      p.Compression = ctUnknown;
  }
  return true;
}

void TPSDGraphic::LoadFromStream(rtl::TStream& stream) {
  BeginLoad(stream, kFormatName);
  const TImageProperties& p = ImageProperties;
  const uint32_t width = p.Width, height = p.Height;
  const uint8_t bits = p.BitsPerSample;
  const TColorModel model = p.ColorModel;
  StartProgress(SPreparing, static_cast<int32_t>(width));

  // What has a converter: 1-bit bitmaps, 8-bit indexed images, 8- and
  // 16-bit grey and colour with every channel the model needs.
  const size_t planes = PlanesOf(model);
  const bool oneBit = model == cmGray && bits == 1;
  const bool supported = model != cmUnknown && planes <= channels_ &&
                         (oneBit ? mode_ == kModeBitmap
                                 : mode_ != kModeBitmap && (bits == 8 || (bits == 16 && model != cmIndexed)));
  if (!supported) RaiseInvalidGraphicFmt(SInvalidColorFormat, {kFormatName});
  if (p.Compression != ctNone && p.Compression != ctPackBits)
    RaiseInvalidGraphicFmt(SUnsupportedFeature, {SCompressionScheme, kFormatName});
  if (width == 0 || height == 0) RaiseInvalidGraphicFmt(SInvalidImage, {kFormatName});

  const uint64_t sampleBytes = bits / 8;
  const uint64_t rowBytes = oneBit ? (static_cast<uint64_t>(width) + 7) / 8 : width * sampleBytes;
  const int64_t dataAt = basePosition_ + imageDataAt_;
  stream.SetPosition(dataAt);

  // Where each row of each channel that is converted lies, and how long it
  // is. Everything must be in the stream before the bitmap is made.
  std::vector<uint32_t> rowLengths;  // PackBits: channel by channel, row by row
  std::vector<int64_t> channelAt(planes);
  TImageData data;
  if (p.Compression == ctPackBits) {
    const uint64_t tableBytes = 2 * static_cast<uint64_t>(height) * channels_;
    CheckDataLeft(tableBytes, BytesLeft(stream), kFormatName);
    // Only the counts of the channels that are converted are kept.
    const size_t kept = planes * static_cast<size_t>(height);
    std::vector<uint8_t> table(2 * kept);
    ReadExact(stream, table.data(), table.size(), kFormatName);
    rowLengths.resize(kept);
    uint64_t total = 0;
    for (size_t i = 0; i < kept; ++i) {
      if (i % height == 0) channelAt[i / height] = static_cast<int64_t>(total);
      rowLengths[i] = BigEndian16(&table[2 * i]);
      total += rowLengths[i];
    }
    const int64_t packedAt = dataAt + static_cast<int64_t>(tableBytes);
    for (int64_t& at : channelAt) at += packedAt;
    stream.SetPosition(packedAt);
    data = {total, BytesLeft(stream)};
    // Fewer packed bytes than the shortest coding of every row cannot be
    // the image.
    const uint64_t minRowBytes = 2 * ((rowBytes + kBytesPerRun - 1) / kBytesPerRun);
    if (total < minRowBytes * kept) RaiseInvalidGraphicFmt(SStreamReadError, {kFormatName});
  } else {
    const uint64_t planeBytes = rowBytes * height;
    data = {SaturatingProduct(planeBytes, planes), BytesLeft(stream)};
    for (size_t c = 0; c < planes; ++c) channelAt[c] = dataAt + static_cast<int64_t>(c * planeBytes);
  }

  TColorManager& cm = ColorManager();
  cm.SourceFlags = cfSwapBytes;
  cm.TargetFlags = 0;
  cm.SetSourceSampleBits(bits);
  cm.SetTargetSampleBits(bits == 16 ? 8 : bits);
  cm.SetSourceModel(model);
  switch (model) {
    case cmGray:
    case cmIndexed:
      cm.SetTargetModel(model);
      break;
    case cmRGBA:
      cm.SetTargetModel(cmBGRA);
      break;
    case cmCIELab:
      cm.SourceFlags |= cfLabByteRange | cfLabChromaOffset;
      cm.SetTargetModel(cmBGR);
      break;
    default:
      cm.SetTargetModel(cmBGR);
  }
  cm.SetSourceSampleCount(static_cast<uint8_t>(planes));
  cm.SetTargetSampleCount(static_cast<uint8_t>(model == cmRGBA ? 4 : planes == 1 ? 1 : 3));
  PrepareImage(width, height, cm.ChoosePixelFormat(true), kFormatName, data);

  if (model == cmIndexed) {
    std::vector<uint8_t> map(colourDataSize_);
    stream.SetPosition(basePosition_ + colourDataAt_);
    ReadExact(stream, map.data(), map.size(), kFormatName);
    const size_t n = map.size() / 3;
    const std::span<const uint8_t> all(map);
    const std::array<TRowPlane, 3> rgb{all.subspan(0, n), all.subspan(n, n), all.subspan(2 * n, n)};
    SetPalette(cm.MakePaletteFromColormap(rgb, cml8Planar3, static_cast<uint32_t>(n), false));
  } else if (model == cmGray) {
    SetPalette(cm.MakeGrayPalette((p.Flags & pfMinimumIsWhite) != 0));
  }
  EndProgress();

  // Every model goes through one loop that reads each channel's row just
  // before it is converted, so no whole-image block is loaded first and
  // there is no loading stage to report apart from the transfer.
  // Rows pass the colour manager unless they are already the bitmap's.
  const bool direct = planes == 1 && bits <= 8;
  const bool invert = model == cmCMYK;
  std::vector<std::vector<uint8_t>> planeRows(planes, std::vector<uint8_t>(static_cast<size_t>(rowBytes)));
  std::array<TRowPlane, 4> rowPlanes{};
  for (size_t c = 0; c < planes; ++c) rowPlanes[c] = planeRows[c];
  std::vector<uint8_t> packed;
  TPackbitsRLEDecoder decoder;
  decoder.StartDecoding();
  StartProgress(STransfering, static_cast<int32_t>(width));
  for (uint32_t y = 0; y < height; ++y) {
    for (size_t c = 0; c < planes; ++c) {
      std::vector<uint8_t>& row = planeRows[c];
      stream.SetPosition(channelAt[c]);
      if (p.Compression == ctPackBits) {
        packed.resize(rowLengths[c * height + y]);
        ReadExact(stream, packed.data(), packed.size(), kFormatName);
        channelAt[c] += static_cast<int64_t>(packed.size());
        // A damaged row is blank beyond its data, not the row before.
        std::fill(row.begin(), row.end(), uint8_t{0});
        decoder.DecodeBlock(packed, row);
      } else {
        ReadExact(stream, row.data(), row.size(), kFormatName);
        channelAt[c] += static_cast<int64_t>(row.size());
      }
      // CMYK is stored as the inverse of the ink.
      if (invert)
        for (uint8_t& b : row) b = static_cast<uint8_t>(~b);
    }
    uint8_t* line = ScanLine(static_cast<int>(y));
    if (direct)
      std::memcpy(line, planeRows[0].data(), planeRows[0].size());
    else
      cm.ConvertRow(std::span<const TRowPlane>(rowPlanes.data(), planes),
                    std::span<uint8_t>(line, static_cast<size_t>(Stride())), width);
    RowProgress(y, height);
  }
  decoder.FinishDecoding();
  EndProgress();
  stream_ = nullptr;
}

}  // namespace imaging
