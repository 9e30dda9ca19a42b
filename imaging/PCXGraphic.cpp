#include "imaging/PCXGraphic.h"

#include <algorithm>
#include <array>
#include <vector>

#include "imaging/ImageCodecs.h"

namespace imaging {

namespace {

constexpr const char* kFormatNames = "PCX or SCR";
constexpr const char* kFormatName = "PCX";
constexpr int64_t kHeaderSize = 128;
constexpr uint8_t kPaintbrush = 10;
constexpr uint8_t kScreenCapture = 205;
// The version whose 16-colour images use the system palette.
constexpr uint8_t kVersionSystemPalette = 3;
constexpr uint8_t kGreyPaletteKind = 2;
// An 8-bit image's palette block at the end of the file: a marker byte and
// 256 red, green, blue triples.
constexpr int64_t kPaletteBlockSize = 769;
constexpr uint8_t kPaletteMarker = 12;
// One coded pair gives at most this many bytes.
constexpr uint64_t kLongestRun = 63;

using THeader = std::array<uint8_t, kHeaderSize>;

bool KnownIdentifier(uint8_t b) {
  return b == kPaintbrush || b == kScreenCapture;
}

// False when fewer than 128 bytes are left.
bool ReadHeader(rtl::TStream& stream, THeader& header) {
  return stream.Read(header.data(), kHeaderSize) == kHeaderSize;
}

// The layouts the rows can be placed from: one plane of 1, 2, 4 or 8 bits,
// four bit planes, three byte planes.
bool KnownLayout(uint32_t planes, uint32_t bits) {
  return (planes == 1 && (bits == 1 || bits == 2 || bits == 4 || bits == 8)) || (planes == 4 && bits == 1) ||
         (planes == 3 && bits == 8);
}

}  // namespace

graphics::TGraphicClass TPCXGraphic::StaticClass() {
  return RasterClassRecord<TPCXGraphic>("TPCXGraphic", TRasterGraphic::StaticClass());
}

bool TPCXGraphic::CanReadStream(rtl::TStream& stream) {
  THeader h{};
  return PeekHeader(stream, h.data(), h.size()) && KnownIdentifier(h[0]) &&
         (h[1] == 0 || h[1] == 2 || h[1] == 3 || h[1] == 5) && h[2] <= 1;
}

bool TPCXGraphic::ReadProperties(rtl::TStream& stream, int imageIndex) {
  TRasterGraphic::ReadProperties(stream, imageIndex);
  THeader h{};
  if (!ReadHeader(stream, h) || !KnownIdentifier(h[0])) return false;
  TImageProperties& p = ImageProperties;
  // A maximum below the minimum is no size at all.
  const int32_t width = int32_t{LittleEndian16(&h[8])} - LittleEndian16(&h[4]) + 1;
  const int32_t height = int32_t{LittleEndian16(&h[10])} - LittleEndian16(&h[6]) + 1;
  p.Width = static_cast<uint32_t>(std::max(width, 0));
  p.Height = static_cast<uint32_t>(std::max(height, 0));
  p.SamplesPerPixel = h[65];
  p.BitsPerSample = h[3];
  p.BitsPerPixel = static_cast<uint8_t>(p.SamplesPerPixel * p.BitsPerSample);
  p.ColorModel = p.SamplesPerPixel * p.BitsPerSample <= 8 ? cmIndexed : cmRGB;
  p.Compression = h[2] == 1 ? ctRLE : ctNone;
  p.XResolution = LittleEndian16(&h[12]);
  p.YResolution = LittleEndian16(&h[14]);
  return true;
}

void TPCXGraphic::LoadFromStream(rtl::TStream& stream) {
  // A header that is not PCX is an error rather than an empty image, which
  // the caller could not tell from a loaded one.
  BeginLoad(stream, kFormatNames);
  const TImageProperties& p = ImageProperties;
  const uint32_t width = p.Width, height = p.Height;
  stream.SetPosition(basePosition_);
  StartProgress(SPreparing, static_cast<int32_t>(width));

  THeader h{};
  ReadHeader(stream, h);
  const int64_t dataStart = stream.Position();
  const int64_t size = stream.Size();
  const uint32_t planes = p.SamplesPerPixel, bits = p.BitsPerSample;
  const uint32_t bytesPerLine = LittleEndian16(&h[66]);
  if (!KnownLayout(planes, bits)) RaiseInvalidGraphicFmt(SInvalidColorFormat, {kFormatName});
  if (width == 0 || height == 0) RaiseInvalidGraphicFmt(SInvalidImage, {kFormatNames});
  // Each plane's line must hold the width; reading on would take the next
  // plane's bytes as pixels.
  if (static_cast<uint64_t>(bytesPerLine) * 8 < static_cast<uint64_t>(width) * bits)
    RaiseInvalidGraphicFmt(SInvalidImage, {kFormatNames});

  TColorManager& cm = ColorManager();
  cm.SourceFlags = 0;
  cm.TargetFlags = 0;
  cm.SetSourceModel(p.ColorModel);
  cm.SetSourceSampleBits(static_cast<uint8_t>(bits));
  cm.SetSourceSampleCount(static_cast<uint8_t>(planes));
  cm.SetTargetModel(p.ColorModel == cmIndexed ? cmIndexed : cmBGR);
  cm.SetTargetSampleBits(p.BitsPerPixel == 2 ? 4 : static_cast<uint8_t>(bits));
  cm.SetTargetSampleCount(static_cast<uint8_t>(planes));
  graphics::TPixelFormat format = cm.ChoosePixelFormat(true);
  const bool fourPlanes = planes == 4 && bits == 1;
  if (fourPlanes) {
    // Placed by hand as 4-bit indices; the palettes are made for those.
    format = graphics::pf4bit;
    cm.SetSourceSampleBits(4);
    cm.SetSourceSampleCount(1);
    cm.SetTargetSampleBits(4);
    cm.SetTargetSampleCount(1);
  }

  // The decoded rows, one block, within what any image may take.
  const uint64_t rowSize = static_cast<uint64_t>(planes) * bytesPerLine;
  const uint64_t blockSize = rowSize * height;
  if (blockSize > static_cast<uint64_t>(std::min(kMaxImageBytes, graphics::TBitmap::PixelMemoryLimit())))
    RaiseInvalidGraphicFmt(SImageTooLarge, {kFormatNames, width, height});

  // The pixel data ends at the palette block when there is one.
  int64_t dataEnd = size;
  bool paletteBlock = false;
  if (format == graphics::pf8bit && size - kPaletteBlockSize >= dataStart) {
    uint8_t marker = 0;
    stream.SetPosition(size - kPaletteBlockSize);
    paletteBlock = stream.Read(&marker, 1) == 1 && marker == kPaletteMarker;
    if (paletteBlock) dataEnd = size - kPaletteBlockSize;
    stream.SetPosition(dataStart);
  }
  const auto dataSize = static_cast<uint64_t>(std::max<int64_t>(dataEnd - dataStart, 0));

  // Plain data must be all there; coded data at least what the longest
  // runs could code the block in, so that no small file makes a large one.
  // Every full run takes two bytes; what is left over takes one literal
  // byte, or for two or more bytes at least one more run.
  const bool coded = p.Compression == ctRLE;
  const uint64_t leftOver = blockSize % kLongestRun;
  const uint64_t least = coded ? blockSize / kLongestRun * 2 + std::min<uint64_t>(leftOver, 2) : blockSize;
  PrepareImage(width, height, format, kFormatName, {least, dataSize});

  std::vector<uint8_t> block(static_cast<size_t>(blockSize));
  if (coded) {
    std::vector<uint8_t> codedBytes(static_cast<size_t>(std::min(dataSize, 2 * blockSize)));
    stream.ReadBuffer(codedBytes.data(), static_cast<int64_t>(codedBytes.size()));
    TPCXRLEDecoder decoder;
    decoder.StartDecoding();
    const TDecodeResult r = decoder.DecodeBlock(codedBytes, block);
    decoder.FinishDecoding();
    // Data that ends before the last line would pass for black lines.
    if (r.status != dsComplete) RaiseInvalidGraphicFmt(SStreamReadError, {kFormatName});
  } else {
    stream.ReadBuffer(block.data(), static_cast<int64_t>(blockSize));
  }

  if (format != graphics::pf24bit) {
    if (h[1] == kVersionSystemPalette && format != graphics::pf1bit) {
      SetPalette(graphics::MakeVgaPalette());
    } else if (format == graphics::pf1bit) {
      SetPalette(cm.MakeGrayPalette(false));
    } else if (format == graphics::pf4bit) {
      if (h[68] == kGreyPaletteKind) {
        SetPalette(cm.MakeGrayPalette(false));
      } else {
        const TRowPlane map(&h[16], 48);
        SetPalette(
            cm.MakePaletteFromColormap(std::span<const TRowPlane>(&map, 1), cml8Interleaved3, 16, false));
      }
    } else if (paletteBlock) {
      std::array<uint8_t, kPaletteBlockSize - 1> entries{};
      stream.SetPosition(size - kPaletteBlockSize + 1);
      stream.ReadBuffer(entries.data(), static_cast<int64_t>(entries.size()));
      const TRowPlane map(entries);
      SetPalette(
          cm.MakePaletteFromColormap(std::span<const TRowPlane>(&map, 1), cml8Interleaved3, 256, false));
    } else if (h[68] == kGreyPaletteKind) {
      SetPalette(cm.MakeGrayPalette(false));
    }
  }
  EndProgress();

  StartProgress(STransfering, static_cast<int32_t>(width));
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t* row = block.data() + y * rowSize;
    uint8_t* line = ScanLine(static_cast<int>(y));
    const std::span<uint8_t> target(line, static_cast<size_t>(Stride()));
    if (fourPlanes) {
      // Bit k of a pixel's index comes from plane k; two pixels a byte,
      // the first in the high nibble.
      for (uint32_t x = 0; x < width; ++x) {
        const uint32_t byte = x >> 3, shift = 7 - (x & 7);
        uint8_t v = 0;
        for (uint32_t k = 0; k < 4; ++k)
          v |= static_cast<uint8_t>(((row[k * bytesPerLine + byte] >> shift) & 1) << k);
        line[x >> 1] =
            (x & 1) ? static_cast<uint8_t>((line[x >> 1] & 0xF0) | v) : static_cast<uint8_t>(v << 4);
      }
    } else if (format == graphics::pf24bit) {
      const std::array<TRowPlane, 3> rgb{TRowPlane(row, bytesPerLine),
                                         TRowPlane(row + bytesPerLine, bytesPerLine),
                                         TRowPlane(row + 2 * bytesPerLine, bytesPerLine)};
      cm.ConvertRow(rgb, target, width);
    } else {
      cm.ConvertRow(TRowPlane(row, bytesPerLine), target, width);
    }
    RowProgress(y, height);
  }
  EndProgress();
  stream_ = nullptr;
}

}  // namespace imaging
