#include "imaging/AutodeskGraphic.h"

#include <array>

namespace imaging {

namespace {

constexpr const char* kFormatName = "Autodesk";

constexpr uint16_t kMagic = 0x9119;
// The header is the magic word and 30 bytes; the palette follows it.
constexpr size_t kHeaderSize = 32;
constexpr size_t kPaletteEntries = 256;
constexpr size_t kPaletteSize = 3 * kPaletteEntries;

struct THeader {
  std::array<uint8_t, kHeaderSize> bytes{};
  uint16_t Magic() const { return LittleEndian16(&bytes[0]); }
  uint16_t Width() const { return LittleEndian16(&bytes[2]); }
  uint16_t Height() const { return LittleEndian16(&bytes[4]); }
  uint8_t BitsPerPixel() const { return bytes[10]; }
  uint8_t Reserved() const { return bytes[11]; }
};

}  // namespace

graphics::TGraphicClass TAutodeskGraphic::StaticClass() {
  return RasterClassRecord<TAutodeskGraphic>("TAutodeskGraphic", TRasterGraphic::StaticClass());
}

bool TAutodeskGraphic::CanReadStream(rtl::TStream& stream) {
  THeader h;
  if (!PeekHeader(stream, h.bytes.data(), kHeaderSize)) return false;
  return h.Magic() == kMagic && h.BitsPerPixel() == 8 && h.Reserved() == 0;
}

bool TAutodeskGraphic::ReadProperties(rtl::TStream& stream, int imageIndex) {
  TRasterGraphic::ReadProperties(stream, imageIndex);
  THeader h;
  ReadExact(stream, h.bytes.data(), kHeaderSize, kFormatName);
  if (h.Magic() != kMagic) return false;
  TImageProperties& p = ImageProperties;
  p.ColorModel = cmIndexed;
  p.Width = h.Width();
  p.Height = h.Height();
  p.BitsPerSample = 8;
  p.SamplesPerPixel = 1;
  p.BitsPerPixel = 8;
  p.Compression = ctNone;
  return true;
}

void TAutodeskGraphic::LoadFromStream(rtl::TStream& stream) {
  BeginLoad(stream, kFormatName);
  const uint32_t width = ImageProperties.Width, height = ImageProperties.Height;
  std::array<uint8_t, kPaletteSize> colours{};
  ReadExact(stream, colours.data(), kPaletteSize, kFormatName);
  graphics::TLogPalette log;
  log.palPalEntry.resize(kPaletteEntries);
  for (size_t i = 0; i < kPaletteEntries; ++i) {
    // Components run 0..63; larger ones lose their top bits, as in the
    // program that wrote them.
    log.palPalEntry[i] = {static_cast<uint8_t>(colours[3 * i] << 2),
                          static_cast<uint8_t>(colours[3 * i + 1] << 2),
                          static_cast<uint8_t>(colours[3 * i + 2] << 2), 0};
  }
  // Every row must be there before the bitmap is made: a header alone
  // cannot claim megabytes of pixels.
  PrepareImage(width, height, graphics::pf8bit, kFormatName, {uint64_t{width} * height, BytesLeft(stream)});
  SetPalette(graphics::CreatePalette(log));

  StartProgress(STransfering, static_cast<int32_t>(width));
  for (uint32_t y = 0; y < height; ++y) {
    ReadExact(stream, ScanLine(static_cast<int>(y)), width, kFormatName);
    RowProgress(y, height);
  }
  EndProgress();
  stream_ = nullptr;
}

}  // namespace imaging
