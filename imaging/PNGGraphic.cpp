#include "imaging/PNGGraphic.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "imaging/ImageCodecsMisc.h"

namespace imaging {

namespace {

constexpr const char* kFormatName = "PNG";
constexpr uint8_t kSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
constexpr uint32_t kIHDRLength = 13;
// Partial flush: rows are taken as soon as they are inflated.
constexpr int kFlushMode = 1;

enum : uint8_t { kGrey = 0, kRGB = 2, kPalette = 3, kGreyAlpha = 4, kRGBA = 6 };

// One Adam7 pass: where it starts, how far it steps, and which pixels of
// each group of eight columns it fills.
struct TPass {
  uint32_t row, column, rowStep, columnStep;
  uint8_t mask;
};
constexpr std::array<TPass, 7> kPasses{{{0, 0, 8, 8, 0x80},
                                        {0, 4, 8, 8, 0x08},
                                        {4, 0, 8, 4, 0x88},
                                        {0, 2, 4, 4, 0x22},
                                        {2, 0, 4, 2, 0xAA},
                                        {0, 1, 2, 2, 0x55},
                                        {1, 0, 2, 1, 0xFF}}};

// How each colour type is converted: the depths it may have (bit d for
// depth d), the models and sample counts on either side, the samples of a
// pixel in the file, and whether grey levels make the palette.
struct TColourSetUp {
  uint8_t colourType;
  uint32_t depths;
  TColorModel source, target;
  uint8_t sourceSamples, targetSamples, fileSamples;
  bool greyRamp;
};
constexpr uint32_t kUpTo8 = 1u << 1 | 1u << 2 | 1u << 4 | 1u << 8;
constexpr uint32_t kWide = 1u << 8 | 1u << 16;
constexpr TColourSetUp kSetUps[] = {
    {kGrey, kUpTo8 | kWide, cmGray, cmGray, 1, 1, 1, true},
    {kRGB, kWide, cmRGB, cmBGR, 3, 3, 3, false},
    {kPalette, kUpTo8, cmIndexed, cmIndexed, 1, 1, 1, false},
    // Alpha is dropped: grey levels only.
    {kGreyAlpha, kWide, cmGrayAlpha, cmIndexed, 1, 1, 2, true},
    {kRGBA, kWide, cmRGBA, cmBGRA, 4, 4, 4, false},
};

const TColourSetUp* SetUpOf(uint8_t colourType) {
  for (const TColourSetUp& s : kSetUps)
    if (s.colourType == colourType) return &s;
  return nullptr;
}

uint8_t Paeth(uint8_t a, uint8_t b, uint8_t c) {
  const int p = a + b - c;
  const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
  if (pa <= pb && pa <= pc) return a;
  return pb <= pc ? b : c;
}

// Undoes one row's filter in place against the row above (both without
// the filter byte).
void Unfilter(uint8_t type, std::span<uint8_t> row, std::span<const uint8_t> above, size_t bpp) {
  const size_t n = row.size();
  switch (type) {
    case 0:
      return;
    case 1:
      for (size_t i = bpp; i < n; ++i) row[i] = static_cast<uint8_t>(row[i] + row[i - bpp]);
      return;
    case 2:
      for (size_t i = 0; i < n; ++i) row[i] = static_cast<uint8_t>(row[i] + above[i]);
      return;
    case 3:
      for (size_t i = 0; i < n; ++i) {
        const int left = i >= bpp ? row[i - bpp] : 0;
        row[i] = static_cast<uint8_t>(row[i] + (left + above[i]) / 2);
      }
      return;
    case 4:
      for (size_t i = 0; i < n; ++i) {
        const uint8_t left = i >= bpp ? row[i - bpp] : 0, upperLeft = i >= bpp ? above[i - bpp] : 0;
        row[i] = static_cast<uint8_t>(row[i] + Paeth(left, above[i], upperLeft));
      }
      return;
    default:
      // No such filter: the row cannot be reconstructed.
      RaiseInvalidGraphicFmt(SCompressionError, {kFormatName});
  }
}

graphics::TColor RGBColour(uint32_t r, uint32_t g, uint32_t b) {
  return static_cast<graphics::TColor>(r | g << 8 | b << 16);
}

uint32_t To8(uint16_t v) {
  return v * 255u / 65535u;
}

}  // namespace

TPNGGraphic::TPNGGraphic() = default;
TPNGGraphic::~TPNGGraphic() = default;

graphics::TGraphicClass TPNGGraphic::StaticClass() {
  return RasterClassRecord<TPNGGraphic>("TPNGGraphic", TRasterGraphic::StaticClass());
}

bool TPNGGraphic::CanReadStream(rtl::TStream& stream) {
  uint8_t head[sizeof kSignature];
  return PeekHeader(stream, head, sizeof head) && std::memcmp(head, kSignature, sizeof head) == 0;
}

// ---------------------------------------------------------------------------
// Chunks

bool TPNGGraphic::ChunkIs(const char* type) const {
  for (size_t i = 0; i < 4; ++i)
    if ((chunkType_[i] & ~0x20) != type[i]) return false;
  return true;
}

void TPNGGraphic::ReadChunkHeader() {
  uint8_t header[8];
  ReadExact(*stream_, header, sizeof header, kFormatName);
  chunkLength_ = BigEndian32(header);
  std::memcpy(chunkType_, header + 4, 4);
  crc_ = static_cast<uint32_t>(crc32(0, chunkType_, 4));
}

void TPNGGraphic::ReadChunkData() {
  // The length is checked against the stream before the buffer grows.
  if (chunkLength_ > kMaxChunkLength) RaiseInvalidGraphicFmt(SInvalidImage, {kFormatName});
  CheckDataLeft(uint64_t{chunkLength_} + 4, BytesLeft(*stream_), kFormatName);
  if (chunk_.size() < chunkLength_) chunk_.resize(chunkLength_);
  ReadExact(*stream_, chunk_.data(), chunkLength_, kFormatName);
  chunkSize_ = chunkLength_;
  uint8_t stored[4];
  ReadExact(*stream_, stored, sizeof stored, kFormatName);
  crc_ = static_cast<uint32_t>(crc32(crc_, chunk_.data(), chunkLength_));
  if (crc_ != BigEndian32(stored)) RaiseInvalidGraphicFmt(SInvalidCRC, {kFormatName});
}

void TPNGGraphic::SkipChunkData() {
  CheckDataLeft(uint64_t{chunkLength_} + 4, BytesLeft(*stream_), kFormatName);
  stream_->Seek(int64_t{chunkLength_} + 4, rtl::soCurrent);
}

// ---------------------------------------------------------------------------
// Properties

bool TPNGGraphic::ReadProperties(rtl::TStream& stream, int imageIndex) {
  TRasterGraphic::ReadProperties(stream, imageIndex);
  stream_ = &stream;
  uint8_t signature[sizeof kSignature];
  if (BytesLeft(stream) < sizeof signature + 8) return false;
  ReadExact(stream, signature, sizeof signature, kFormatName);
  if (std::memcmp(signature, kSignature, sizeof signature) != 0) return false;
  ReadChunkHeader();
  if (!ChunkIs("IHDR") || chunkLength_ != kIHDRLength) return false;
  TImageProperties& p = ImageProperties;
  p.Flags |= pfMotorolaOrder;
  ReadChunkData();
  const uint8_t* h = chunk_.data();
  p.Width = BigEndian32(h);
  p.Height = BigEndian32(h + 4);
  if (p.Width == 0 || p.Height == 0) return false;
  p.BitsPerSample = h[8];
  const TColourSetUp* setUp = SetUpOf(h[9]);
  p.ColorModel = setUp ? setUp->source : cmUnknown;
  p.SamplesPerPixel = setUp ? setUp->fileSamples : 1;
  p.BitsPerPixel = static_cast<uint8_t>(p.BitsPerSample * p.SamplesPerPixel);
  p.Compression = h[10] == 0 ? ctLZ77 : ctUnknown;
  p.FilterMethod = h[11];
  p.Interlaced = h[12] != 0;
  p.AlphaPresent = p.ColorModel == cmGrayAlpha || p.ColorModel == cmRGBA || p.ColorModel == cmBGRA;

  // The gamma may sit anywhere before the image data; a chunk that runs
  // past the end stops the walk, and the load tells what is wrong.
  while (BytesLeft(stream) >= 12) {
    ReadChunkHeader();
    if (uint64_t{chunkLength_} + 4 > BytesLeft(stream) || ChunkIs("IEND")) break;
    if (ChunkIs("GAMA") && chunkLength_ >= 4) {
      ReadChunkData();
      p.Gamma = static_cast<float>(BigEndian32(chunk_.data()) / 100000.0);
      break;
    }
    SkipChunkData();
  }
  return true;
}

// ---------------------------------------------------------------------------
// Loading

void TPNGGraphic::ColourSetUp() {
  const TColourSetUp* setUp = SetUpOf(colourType_);
  // The depth reaches the colour manager only once it is known to be valid.
  if (!setUp || depth_ > 16 || !(setUp->depths >> depth_ & 1))
    RaiseInvalidGraphicFmt(SInvalidColorFormat, {kFormatName});
  TColorManager& cm = ColorManager();
  cm.SetSourceSampleBits(depth_);
  cm.SetSourceModel(setUp->source);
  cm.SetTargetModel(setUp->target);
  cm.SetSourceSampleCount(setUp->sourceSamples);
  cm.SetTargetSampleCount(setUp->targetSamples);
  // 2-bit samples have no bitmap format of their own; 16-bit ones are cut
  // to 8 bits.
  cm.SetTargetSampleBits(depth_ == 2 ? 4 : std::min<uint8_t>(depth_, 8));
  pixelFormat_ = cm.ChoosePixelFormat(true);
  if (setUp->greyRamp) palette_ = cm.MakeGrayPalette(false);
  bytesPerPixel_ = (depth_ * setUp->fileSamples + 7u) / 8;
  colourSetUp_ = true;
}

uint32_t TPNGGraphic::ScaledSample(uint16_t value) const {
  if (depth_ == 16) return To8(value);
  if (depth_ == 2) return (value & 3u) * 5;
  return value & 0xFFu;
}

void TPNGGraphic::ReadBackground() {
  ReadChunkData();
  const uint8_t* b = chunk_.data();
  // A chunk too short for the colour type is ignored, as any damaged
  // ancillary chunk.
  switch (colourType_) {
    case kGrey:
    case kGreyAlpha:
      if (chunkSize_ >= 2) backgroundColour_ = static_cast<graphics::TColor>(ScaledSample(BigEndian16(b)));
      break;
    case kRGB:
    case kRGBA:
      if (chunkSize_ >= 6)
        backgroundColour_ = RGBColour(ScaledSample(BigEndian16(b)), ScaledSample(BigEndian16(b + 2)),
                                      ScaledSample(BigEndian16(b + 4)));
      break;
    default:
      if (chunkSize_ >= 1) backgroundColour_ = b[0];
  }
}

void TPNGGraphic::ReadTransparency() {
  ReadChunkData();
  const uint8_t* t = chunk_.data();
  if (colourType_ == kGrey && chunkSize_ >= 2) {
    // The colour of the grey value as the grey ramp shows it, so that it
    // matches the loaded pixels whatever the depth.
    const uint16_t v = BigEndian16(t);
    const uint32_t grey = depth_ == 16 ? To8(v) : (v & ((1u << depth_) - 1)) * 255u / ((1u << depth_) - 1);
    transparentColour_ = RGBColour(grey, grey, grey);
  } else if (colourType_ == kRGB && chunkSize_ >= 6) {
    transparentColour_ = RGBColour(ScaledSample(BigEndian16(t)), ScaledSample(BigEndian16(t + 2)),
                                   ScaledSample(BigEndian16(t + 4)));
  }
}

void TPNGGraphic::LoadFromStream(rtl::TStream& stream) {
  decoder_.reset();
  BeginLoad(stream, kFormatName);
  stream.SetPosition(basePosition_ + static_cast<int64_t>(sizeof kSignature));
  StartProgress(SPreparing, static_cast<int32_t>(ImageProperties.Width));
  palette_.reset();
  backgroundColour_ = graphics::clWhite;
  transparentColour_ = graphics::clNone;
  colourSetUp_ = false;
  imageLoaded_ = false;

  ReadChunkHeader();
  ReadChunkData();
  depth_ = chunk_[8];
  colourType_ = chunk_[9];
  TColorManager& cm = ColorManager();
  cm.SourceFlags = cfSwapBytes;
  cm.TargetFlags = 0;
  if (chunk_[10] != 0) RaiseInvalidGraphicFmt(SUnsupportedFeature, {SCompressionScheme, kFormatName});
  // Other filter and interlace methods are not defined: rows read with the
  // known ones would be garbage.
  if (chunk_[11] != 0 || chunk_[12] > 1) RaiseInvalidGraphicFmt(SInvalidImage, {kFormatName});

  try {
    decoder_ = std::make_unique<TLZ77Decoder>(kFlushMode, false);
    decoder_->StartDecoding();
    for (;;) {
      ReadChunkHeader();
      if (ChunkIs("IDAT")) {
        // A second run of image data cannot belong to the image; an empty
        // chunk holds nothing that could.
        if (imageLoaded_ && chunkLength_ == 0) {
          SkipChunkData();
          continue;
        }
        if (imageLoaded_) RaiseInvalidGraphicFmt(SExtraCompressedData, {kFormatName});
        EndProgress();
        LoadImageData();  // returns with the header of the chunk after the image data
      } else if (ChunkIs("PLTE")) {
        // Up to 256 entries of three bytes; an empty palette holds nothing.
        if (chunkLength_ % 3 != 0 || chunkLength_ == 0 || chunkLength_ > 3 * 256)
          RaiseInvalidGraphicFmt(SInvalidPalette, {kFormatName});
        ReadChunkData();
        if (colourType_ == kPalette) {
          ColourSetUp();
          const TRowPlane entries(chunk_.data(), chunkSize_);
          palette_ = cm.MakePaletteFromColormap(std::span<const TRowPlane>(&entries, 1), cml8Interleaved3,
                                                static_cast<uint32_t>(chunkSize_ / 3), false);
        }
        continue;
      } else if (ChunkIs("GAMA")) {
        ReadChunkData();
        // A gamma of 0 is no gamma; it would brighten the whole image.
        const uint32_t gamma = chunkSize_ >= 4 ? BigEndian32(chunk_.data()) : 0;
        if (gamma != 0) {
          cm.BuildGammaTable(static_cast<float>(gamma / 100000.0), 2.2f);
          cm.TargetFlags |= cfGamma;
          ImageProperties.Flags |= pfGammaCorrected;
        }
        continue;
      } else if (ChunkIs("BKGD")) {
        ReadBackground();
        continue;
      } else if (ChunkIs("TRNS")) {
        ReadTransparency();
        continue;
      }
      if (ChunkIs("IEND")) {
        SkipChunkData();
        break;
      }
      if ((chunkType_[0] & 0x20) == 0) RaiseInvalidGraphic(SUnknownCriticalChunk);
      SkipChunkData();
    }
    // An image without image data is no image.
    if (!imageLoaded_) RaiseInvalidGraphicFmt(SInvalidImage, {kFormatName});
    decoder_->FinishDecoding();
  } catch (...) {
    decoder_.reset();
    chunk_ = {};
    EndProgress();
    stream_ = nullptr;
    throw;
  }
  decoder_.reset();
  chunk_ = {};
  EndProgress();
  stream_ = nullptr;
}

void TPNGGraphic::ReadDecoded(std::span<uint8_t> row) {
  size_t done = 0;
  while (done < row.size()) {
    while (source_ == chunkSize_ && ChunkIs("IDAT")) {
      ReadChunkData();
      source_ = 0;
      ReadChunkHeader();
    }
    // The image data ended before the image did: after the end of the
    // compressed stream, as when the stream itself ends too soon.
    if (source_ == chunkSize_)
      RaiseInvalidGraphicFmt(decoder_->StreamEnded() ? SExtraCompressedData : SCompressionError,
                             {kFormatName});
    const TDecodeResult r = decoder_->DecodeBlock(
        std::span<const uint8_t>(chunk_.data() + source_, chunkSize_ - source_), row.subspan(done));
    source_ += r.consumed;
    done += r.produced;
    // Bytes after the end of the compressed stream are padding: they hold
    // no pixels. A stream that ends before the row is full leaves the image
    // short; one that neither takes nor gives anything is stuck.
    if (r.status == dsDamaged || (!decoder_->StreamEnded() && r.consumed == 0 && r.produced == 0))
      RaiseInvalidGraphicFmt(SCompressionError, {kFormatName});
    if (decoder_->StreamEnded() && r.status != dsComplete)
      RaiseInvalidGraphicFmt(SExtraCompressedData, {kFormatName});
  }
}

void TPNGGraphic::LoadImageData() {
  StartProgress(STransfering, static_cast<int32_t>(ImageProperties.Width));
  if (!colourSetUp_) {
    // Palette images need their palette before their pixels.
    if (colourType_ == kPalette) RaiseInvalidGraphicFmt(SInvalidPalette, {kFormatName});
    ColourSetUp();
  }
  const uint32_t width = ImageProperties.Width, height = ImageProperties.Height;
  const uint64_t pixelBytes = depth_ == 16 ? bytesPerPixel_ / 2 : bytesPerPixel_;
  const uint64_t rowBytes = (uint64_t{width} * depth_ + 7) / 8 * pixelBytes;
  // Every row must come out of what is left of the file at the most that
  // deflate expands.
  const uint64_t least = SaturatingProduct(rowBytes, height) / TLZ77Decoder::kMaxExpansion;
  PrepareImage(width, height, pixelFormat_, kFormatName, {least, BytesLeft(*stream_)});
  if (palette_) SetPalette(std::move(palette_));
  if (pixelFormat_ == graphics::pf24bit || pixelFormat_ == graphics::pf32bit) {
    const uint8_t bgr[3] = {static_cast<uint8_t>(backgroundColour_ >> 16 & 0xFF),
                            static_cast<uint8_t>(backgroundColour_ >> 8 & 0xFF),
                            static_cast<uint8_t>(backgroundColour_ & 0xFF)};
    const size_t step = pixelFormat_ == graphics::pf24bit ? 3 : 4;
    for (uint32_t y = 0; y < height; ++y) {
      uint8_t* line = ScanLine(static_cast<int>(y));
      for (uint32_t x = 0; x < width; ++x) std::memcpy(line + x * step, bgr, 3);
    }
  }
  if (transparentColour_ != graphics::clNone) {
    TransparentColor = transparentColour_;
    Transparent = true;
  }

  TColorManager& cm = ColorManager();
  std::vector<uint8_t> current(static_cast<size_t>(rowBytes) + 1),
      previous(static_cast<size_t>(rowBytes) + 1);
  source_ = chunkSize_ = 0;
  const size_t filterBpp = bytesPerPixel_;
  const auto lineOf = [&](uint32_t y) {
    return std::span<uint8_t>(ScanLine(static_cast<int>(y)), static_cast<size_t>(Stride()));
  };
  if (!ImageProperties.Interlaced) {
    for (uint32_t y = 0; y < height; ++y) {
      ReadDecoded(current);
      const std::span<uint8_t> row = std::span<uint8_t>(current).subspan(1);
      Unfilter(current[0], row, std::span<const uint8_t>(previous).subspan(1), filterBpp);
      cm.ConvertRow(TRowPlane(row), lineOf(y), width);
      std::swap(current, previous);
      RowProgress(y, height);
    }
  } else {
    for (size_t pass = 0; pass < kPasses.size(); ++pass) {
      const TPass& p = kPasses[pass];
      // A pass without columns or rows has no data at all, not even
      // filter bytes.
      if (p.column >= width || p.row >= height) continue;
      const uint64_t passWidth = (uint64_t{width} + p.columnStep - p.column - 1) / p.columnStep;
      const size_t passBytes = static_cast<size_t>((passWidth * depth_ + 7) / 8 * pixelBytes) + 1;
      std::fill_n(previous.begin(), passBytes, uint8_t{0});
      for (uint32_t y = p.row; y < height; y += p.rowStep) {
        const std::span<uint8_t> filtered = std::span<uint8_t>(current).first(passBytes);
        ReadDecoded(filtered);
        const std::span<uint8_t> row = filtered.subspan(1);
        Unfilter(filtered[0], row, std::span<const uint8_t>(previous).subspan(1, passBytes - 1), filterBpp);
        cm.ConvertRow(TRowPlane(row), lineOf(y), width, p.mask);
        std::swap(current, previous);
        if (pass + 1 == kPasses.size()) RowProgress(y, height);
        if (height - y <= p.rowStep) break;
      }
    }
  }
  // The rest of the image data is still checked.
  while (ChunkIs("IDAT")) {
    ReadChunkData();
    ReadChunkHeader();
  }
  imageLoaded_ = true;
}

}  // namespace imaging
