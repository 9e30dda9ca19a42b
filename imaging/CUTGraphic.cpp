#include "imaging/CUTGraphic.h"

#include <array>
#include <vector>

#include "imaging/ImageCodecs.h"

namespace imaging {

namespace {

constexpr const char* kFormatName = "Dr. Halo";

// Width, height and two unused bytes; the rows follow.
constexpr size_t kHeaderSize = 6;

// A coded row is its 2-byte count and a terminating zero around packets
// that expand to at most 127 pixels from two bytes.
constexpr uint64_t kRowOverhead = 3;
constexpr uint64_t kPixelsPerRun = 127;

// The palette file is read in blocks; no entry crosses a block's end.
constexpr size_t kPaletteBlock = 512;
constexpr size_t kHighestIndexAt = 12;
constexpr size_t kFirstEntryAt = 40;
constexpr size_t kEntrySize = 6;  // red, green, blue as 16-bit values

class TClearOnExit {
 public:
  explicit TClearOnExit(std::string& s) : s_(s) {}
  ~TClearOnExit() { s_.clear(); }
  TClearOnExit(const TClearOnExit&) = delete;
  TClearOnExit& operator=(const TClearOnExit&) = delete;

 private:
  std::string& s_;
};

}  // namespace

graphics::TGraphicClass TCUTGraphic::StaticClass() {
  return RasterClassRecord<TCUTGraphic>("TCUTGraphic", TRasterGraphic::StaticClass());
}

bool TCUTGraphic::CanReadStream(rtl::TStream&) {
  return false;
}

bool TCUTGraphic::ReadProperties(rtl::TStream& stream, int imageIndex) {
  TRasterGraphic::ReadProperties(stream, imageIndex);
  std::array<uint8_t, 4> size{};
  ReadExact(stream, size.data(), size.size(), kFormatName);
  TImageProperties& p = ImageProperties;
  p.Width = LittleEndian16(&size[0]);
  p.Height = LittleEndian16(&size[2]);
  p.ColorModel = cmIndexed;
  p.BitsPerSample = 8;
  p.SamplesPerPixel = 1;
  p.BitsPerPixel = 8;
  p.Compression = ctRLE;
  return true;
}

void TCUTGraphic::LoadFromFile(const std::string& fileName) {
  // Only this load reads the palette file: a later load from a stream alone
  // must not pick up the colours of an unrelated file.
  TClearOnExit clear(paletteFileName_);
  paletteFileName_ = rtl::ChangeFileExt(fileName, ".pal");
  TRasterGraphic::LoadFromFile(fileName);
}

graphics::HPALETTE TCUTGraphic::LoadPalette() const {
  graphics::TLogPalette log;
  if (paletteFileName_.empty() || !rtl::FileExists(paletteFileName_)) {
    log.palPalEntry.resize(kMaxPaletteEntries);
    for (uint32_t i = 0; i < kMaxPaletteEntries; ++i) {
      const auto v = static_cast<uint8_t>(i);
      log.palPalEntry[i] = {v, v, v, 0};
    }
    return graphics::CreatePalette(log);
  }
  rtl::TFileStream file(paletteFileName_, rtl::fmOpenRead | rtl::fmShareDenyNone);
  std::array<uint8_t, kPaletteBlock> block{};
  ReadExact(file, block.data(), kPaletteBlock, kFormatName);
  const uint32_t count = static_cast<uint32_t>(LittleEndian16(&block[kHighestIndexAt])) + 1;
  if (count > kMaxPaletteEntries) RaiseInvalidGraphicFmt(SInvalidPalette, {kFormatName});
  log.palPalEntry.resize(count);
  size_t at = kFirstEntryAt;
  for (uint32_t i = 0; i < count; ++i) {
    if (at + kEntrySize > kPaletteBlock) {
      ReadExact(file, block.data(), kPaletteBlock, kFormatName);
      at = 0;
    }
    // Each component is a 16-bit value of which the low byte counts.
    log.palPalEntry[i] = {block[at], block[at + 2], block[at + 4], 0};
    at += kEntrySize;
  }
  return graphics::CreatePalette(log);
}

void TCUTGraphic::LoadFromStream(rtl::TStream& stream) {
  BeginLoad(stream, kFormatName);
  const uint32_t width = ImageProperties.Width, height = ImageProperties.Height;
  stream.SetPosition(basePosition_ + static_cast<int64_t>(kHeaderSize));
  // Every row needs its count, its terminator and a packet per run of
  // pixels; fewer bytes cannot be a whole image, and the bitmap is not made
  // for them.
  const uint64_t minRowBytes =
      kRowOverhead + 2 * ((static_cast<uint64_t>(width) + kPixelsPerRun - 1) / kPixelsPerRun);
  const uint64_t available = BytesLeft(stream);
  PrepareImage(width, height, graphics::pf8bit, kFormatName,
               {SaturatingProduct(minRowBytes, height), available});
  SetPalette(LoadPalette());

  std::vector<uint8_t> data(static_cast<size_t>(available));
  ReadExact(stream, data.data(), available, kFormatName);
  TCUTRLEDecoder decoder;
  decoder.StartDecoding();
  StartProgress(STransfering, static_cast<int32_t>(width));
  size_t at = 0;
  for (uint32_t y = 0; y < height; ++y) {
    const std::span<const uint8_t> source = std::span<const uint8_t>(data).subspan(at);
    const TDecodeResult r =
        decoder.DecodeBlock(source, std::span<uint8_t>(ScanLine(static_cast<int>(y)), width));
    // A row that used up the data before it was whole was cut short.
    if (r.consumed == source.size() && r.produced < width)
      RaiseInvalidGraphicFmt(SStreamReadError, {kFormatName});
    at += r.consumed;
    RowProgress(y, height);
  }
  decoder.FinishDecoding();
  EndProgress();
  stream_ = nullptr;
}

}  // namespace imaging
