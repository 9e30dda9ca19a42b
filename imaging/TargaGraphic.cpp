#include "imaging/TargaGraphic.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "imaging/ImageCodecs.h"

namespace imaging {

namespace {

constexpr const char* kFormatName = "Targa";
constexpr int64_t kHeaderSize = 18;

// Image types: the plain ones and their run-length coded twins.
enum : uint8_t {
  kColorMapped = 1,
  kTrueColor = 2,
  kGray = 3,
  kColorMappedRLE = 9,
  kTrueColorRLE = 10,
  kGrayRLE = 11,
};

// Descriptor bits.
constexpr uint8_t kRightToLeft = 0x10;
constexpr uint8_t kTopFirst = 0x20;

struct TTargaHeader {
  uint8_t idLength = 0;
  uint8_t colorMapType = 0;
  uint8_t imageType = 0;
  uint16_t firstEntry = 0;
  uint16_t mapLength = 0;
  uint8_t entrySize = 0;
  uint16_t width = 0;
  uint16_t height = 0;
  uint8_t depth = 0;
  uint8_t descriptor = 0;

  bool Coded() const { return imageType >= kColorMappedRLE; }
  bool GrayImage() const { return imageType == kGray || imageType == kGrayRLE; }
  bool Mapped() const { return imageType == kColorMapped || imageType == kColorMappedRLE; }
  uint32_t EntryBytes() const { return (entrySize + 7u) / 8u; }
};

void PutWord(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

TTargaHeader ParseHeader(const uint8_t* h) {
  TTargaHeader t;
  t.idLength = h[0];
  t.colorMapType = h[1];
  t.imageType = h[2];
  t.firstEntry = LittleEndian16(h + 3);
  t.mapLength = LittleEndian16(h + 5);
  t.entrySize = h[7];
  t.width = LittleEndian16(h + 12);
  t.height = LittleEndian16(h + 14);
  t.depth = h[16];
  t.descriptor = h[17];
  return t;
}

bool KnownDepth(uint8_t depth) {
  return depth == 8 || depth == 15 || depth == 16 || depth == 24 || depth == 32;
}
bool KnownEntrySize(uint8_t size) {
  return size == 15 || size == 16 || size == 24 || size == 32;
}

// False when fewer than 18 bytes are left.
bool ReadHeader(rtl::TStream& stream, TTargaHeader& header) {
  std::array<uint8_t, kHeaderSize> h{};
  if (stream.Read(h.data(), kHeaderSize) != kHeaderSize) return false;
  header = ParseHeader(h.data());
  return true;
}

// The colour map into a palette. Entry i of the map is palette index
// first + i, as pixel values count from the start of the whole map; indices
// the map does not cover are black.
graphics::HPALETTE PaletteFromMap(const TTargaHeader& t, const std::vector<uint8_t>& map) {
  graphics::TLogPalette lp;
  lp.palPalEntry.resize(TTargaGraphic::kMaxPaletteEntries);
  const uint32_t entryBytes = t.EntryBytes();
  for (uint32_t i = 0; i < t.mapLength; ++i) {
    const uint32_t index = t.firstEntry + i;
    if (index >= TTargaGraphic::kMaxPaletteEntries) break;
    const uint8_t* e = map.data() + static_cast<size_t>(i) * entryBytes;
    graphics::TPaletteEntry& p = lp.palPalEntry[index];
    if (entryBytes >= 3) {
      p = {e[2], e[1], e[0], 0};
    } else {
      const uint16_t v = LittleEndian16(e);
      p = {static_cast<uint8_t>(((v >> 10) & 31) * 8), static_cast<uint8_t>(((v >> 5) & 31) * 8),
           static_cast<uint8_t>((v & 31) * 8), 0};
    }
  }
  return graphics::CreatePalette(lp);
}

}  // namespace

graphics::TGraphicClass TTargaGraphic::StaticClass() {
  return RasterClassRecord<TTargaGraphic>("TTargaGraphic", TRasterGraphic::StaticClass());
}

bool TTargaGraphic::CanReadStream(rtl::TStream& stream) {
  std::array<uint8_t, kHeaderSize> h{};
  if (!PeekHeader(stream, h.data(), h.size())) return false;
  const TTargaHeader t = ParseHeader(h.data());
  // True-colour and grey files without a colour map commonly give its entry
  // size as 0.
  const bool unmapped = t.imageType == kTrueColor || t.imageType == kGray || t.imageType == kTrueColorRLE ||
                        t.imageType == kGrayRLE;
  const bool mapSound = KnownEntrySize(t.entrySize) || (t.colorMapType == 0 && t.entrySize == 0 && unmapped);
  return (t.imageType < 4 || (t.imageType >= kColorMappedRLE && t.imageType <= kGrayRLE)) &&
         t.colorMapType < 2 && mapSound && KnownDepth(t.depth);
}

bool TTargaGraphic::ReadProperties(rtl::TStream& stream, int imageIndex) {
  TRasterGraphic::ReadProperties(stream, imageIndex);
  TTargaHeader t;
  if (!ReadHeader(stream, t)) RaiseInvalidGraphicFmt(SStreamReadError, {kFormatName});
  TImageProperties& p = ImageProperties;
  p.Width = t.width;
  p.Height = t.height;
  p.BitsPerSample = 8;
  p.SamplesPerPixel = 1;
  switch (t.depth) {
    case 8:
      p.ColorModel = t.GrayImage() ? cmGray : cmIndexed;
      break;
    case 15:
    case 16:
      p.ColorModel = cmRGB;
      p.BitsPerSample = 5;
      p.SamplesPerPixel = 3;
      break;
    case 24:
      p.ColorModel = cmRGB;
      p.SamplesPerPixel = 3;
      break;
    case 32:
      p.ColorModel = cmRGBA;
      p.SamplesPerPixel = 4;
      break;
    default:
      break;
  }
  p.BitsPerPixel = static_cast<uint8_t>(p.BitsPerSample * p.SamplesPerPixel);
  p.Compression = t.Coded() ? ctRLE : ctNone;
  p.BottomUp = !(t.descriptor & kTopFirst);
  return true;
}

void TTargaGraphic::LoadFromStream(rtl::TStream& stream) {
  BeginLoad(stream, kFormatName);
  stream.SetPosition(basePosition_);
  const uint32_t width = ImageProperties.Width, height = ImageProperties.Height;
  StartProgress(SPreparing, static_cast<int32_t>(width));

  TTargaHeader t;
  ReadHeader(stream, t);
  // An image type without pixels (or one not known) is no image to show,
  // and an index or grey value of more than a byte has no bitmap to go in.
  const uint8_t plainType = t.Coded() ? static_cast<uint8_t>(t.imageType - 8) : t.imageType;
  if (plainType < kColorMapped || plainType > kGray || t.imageType > kGrayRLE || t.colorMapType > 1)
    RaiseInvalidGraphicFmt(SInvalidImage, {kFormatName});
  if (!KnownDepth(t.depth) || ((t.Mapped() || t.GrayImage()) && t.depth != 8))
    RaiseInvalidGraphicFmt(SInvalidColorFormat, {kFormatName});

  CheckDataLeft(t.idLength, BytesLeft(stream), kFormatName);
  stream.Seek(t.idLength, rtl::soCurrent);

  // A map is read past whatever the image does with it; 8-bit images that
  // are not grey take their palette from it and cannot do without one.
  std::vector<uint8_t> map;
  if (t.colorMapType == 1) {
    const uint64_t mapBytes = static_cast<uint64_t>(t.EntryBytes()) * t.mapLength;
    CheckDataLeft(mapBytes, BytesLeft(stream), kFormatName);
    map.resize(mapBytes);
    stream.ReadBuffer(map.data(), static_cast<int64_t>(mapBytes));
  }
  const bool indexed = t.depth == 8 && !t.GrayImage();
  if (indexed && (t.colorMapType != 1 || !KnownEntrySize(t.entrySize)))
    RaiseInvalidGraphicFmt(SInvalidPalette, {kFormatName});

  TColorManager& cm = ColorManager();
  cm.SetSourceSampleCount(ImageProperties.SamplesPerPixel);
  cm.SetTargetSampleCount(ImageProperties.SamplesPerPixel);
  cm.SetSourceModel(ImageProperties.ColorModel);
  cm.SetTargetModel(cmBGR);
  cm.SourceFlags = 0;
  cm.SetSourceSampleBits(ImageProperties.BitsPerSample);
  cm.SetTargetSampleBits(ImageProperties.BitsPerSample);

  // The pixel data must be there before the bitmap is made: all of it when
  // plain, the least that packets can code it in when run-length coded.
  const size_t pixelBytes = (t.depth + 7u) / 8u;
  const uint64_t pixels = static_cast<uint64_t>(width) * height;
  const uint64_t leastData = t.Coded() ? (pixels + 127) / 128 * (1 + pixelBytes) : pixels * pixelBytes;
  PrepareImage(width, height, cm.ChoosePixelFormat(true), kFormatName, {leastData, BytesLeft(stream)});
  if (t.GrayImage())
    SetPalette(cm.MakeGrayPalette(false));
  else if (indexed)
    SetPalette(PaletteFromMap(t, map));
  EndProgress();

  StartProgress(STransfering, static_cast<int32_t>(width));
  const size_t rowBytes = static_cast<size_t>(width) * pixelBytes;
  const bool topFirst = t.descriptor & kTopFirst;
  const bool rightToLeft = t.descriptor & kRightToLeft;
  auto place = [&](uint32_t n, const uint8_t* row) {
    uint8_t* line = ScanLine(static_cast<int>(topFirst ? n : height - 1 - n));
    if (row) std::memcpy(line, row, rowBytes);
    if (rightToLeft)
      for (size_t a = 0, b = width - 1; a < b; ++a, --b)
        std::swap_ranges(line + a * pixelBytes, line + (a + 1) * pixelBytes, line + b * pixelBytes);
    RowProgress(n, height);
  };

  if (!t.Coded()) {
    for (uint32_t n = 0; n < height; ++n) {
      stream.ReadBuffer(ScanLine(static_cast<int>(topFirst ? n : height - 1 - n)),
                        static_cast<int64_t>(rowBytes));
      place(n, nullptr);
    }
  } else {
    // Packets may cross rows, so the image is decoded as a whole. The
    // coded bytes are read up to the most that the pixels can take; a file
    // that ends before every pixel is decoded is short, as a plain one.
    TTargaRLEDecoder decoder(t.depth);
    const uint64_t most = decoder.MaxEncodedSize(static_cast<size_t>(pixels));
    std::vector<uint8_t> coded(static_cast<size_t>(std::min<uint64_t>(most, BytesLeft(stream))));
    stream.ReadBuffer(coded.data(), static_cast<int64_t>(coded.size()));
    std::vector<uint8_t> image(static_cast<size_t>(pixels) * pixelBytes);
    decoder.StartDecoding();
    const TDecodeResult r = decoder.DecodeBlock(coded, image);
    decoder.FinishDecoding();
    if (r.status != dsComplete) RaiseInvalidGraphicFmt(SStreamReadError, {kFormatName});
    for (uint32_t n = 0; n < height; ++n) place(n, image.data() + static_cast<size_t>(n) * rowBytes);
  }
  EndProgress();
  stream_ = nullptr;
}

// ---------------------------------------------------------------------------
// Writing

void TTargaGraphic::SaveToStream(rtl::TStream& stream) const {
  WriteTarga(stream, true);
}

void TTargaGraphic::WriteTarga(rtl::TStream& stream, bool compressed) const {
  // Saving reports progress like loading but changes nothing of the image;
  // the notification itself is no change either.
  auto* self = const_cast<TTargaGraphic*>(this);
  graphics::TRect rect = graphics::Rect(0, 0, Width(), 1);
  self->Progress(graphics::psStarting, 0, false, rect, SPreparing);

  if (Empty()) {
    self->Progress(graphics::psEnding, 0, false, rect, "");
    return;
  }
  // Formats Targa has no pixels for are written from a copy: indices of
  // fewer than 8 bits widened, 5-6-5 pixels (Targa's 16 bits are 5-5-5)
  // as 24 bits.
  const graphics::TBitmap* source = this;
  graphics::TBitmap copy;
  size_t pixelBytes = 0;
  switch (PixelFormat()) {
    case graphics::pf1bit:
    case graphics::pf4bit:
    case graphics::pf16bit:
      copy.Assign(*this);
      copy.SetPixelFormat(PixelFormat() == graphics::pf16bit ? graphics::pf24bit : graphics::pf8bit);
      source = &copy;
      pixelBytes = PixelFormat() == graphics::pf16bit ? 3 : 1;
      break;
    case graphics::pf8bit:
      pixelBytes = 1;
      break;
    case graphics::pf15bit:
      pixelBytes = 2;
      break;
    case graphics::pf24bit:
      pixelBytes = 3;
      break;
    case graphics::pf32bit:
      pixelBytes = 4;
      break;
    default:
      RaiseInvalidGraphicFmt(SInvalidColorFormat, {kFormatName});
  }
  const bool indexed = pixelBytes == 1;
  const auto width = static_cast<uint32_t>(Width()), height = static_cast<uint32_t>(Height());
  if (width > 0xFFFF || height > 0xFFFF) RaiseInvalidGraphicFmt(SImageTooLarge, {kFormatName, width, height});

  std::array<uint8_t, kHeaderSize> h{};
  h[1] = indexed ? 1 : 0;
  h[2] = static_cast<uint8_t>(indexed ? (compressed ? kColorMappedRLE : kColorMapped)
                                      : (compressed ? kTrueColorRLE : kTrueColor));
  PutWord(h.data() + 5, kMaxPaletteEntries);
  h[7] = 24;
  PutWord(h.data() + 12, width);
  PutWord(h.data() + 14, height);
  h[16] = static_cast<uint8_t>(pixelBytes * 8);
  // Rows go out from the top whatever the bitmap's memory order, so the
  // file always says so.
  h[17] = kTopFirst;
  stream.WriteBuffer(h.data(), kHeaderSize);

  if (indexed) {
    std::array<uint8_t, 3 * kMaxPaletteEntries> map{};
    if (const graphics::TPalette* palette = source->Palette()) {
      const auto n = std::min<size_t>(kMaxPaletteEntries, static_cast<size_t>(palette->Count()));
      for (size_t i = 0; i < n; ++i) {
        const graphics::TPaletteEntry& e = palette->Entries()[i];
        map[3 * i] = e.peBlue;
        map[3 * i + 1] = e.peGreen;
        map[3 * i + 2] = e.peRed;
      }
    }
    stream.WriteBuffer(map.data(), static_cast<int64_t>(map.size()));
  }

  const size_t rowBytes = width * pixelBytes;
  self->Progress(graphics::psEnding, 0, false, rect, "");
  self->Progress(graphics::psStarting, 0, false, rect, STransfering);
  TTargaRLEDecoder encoder(static_cast<uint32_t>(pixelBytes * 8));
  // The encoder may give a lone pixel between two runs a packet of its own,
  // so a row can take a header byte per pixel: more than MaxEncodedSize
  // allows for.
  std::vector<uint8_t> packed(compressed ? static_cast<size_t>(width) * (pixelBytes + 1) : 0);
  for (uint32_t y = 0; y < height; ++y) {
    const std::span<const uint8_t> row(source->ScanLine(static_cast<int>(y)), rowBytes);
    if (compressed) {
      const size_t n = encoder.EncodeBlock(row, packed, width);
      stream.WriteBuffer(packed.data(), static_cast<int64_t>(n));
    } else {
      stream.WriteBuffer(row.data(), static_cast<int64_t>(rowBytes));
    }
    self->Progress(graphics::psRunning, static_cast<uint8_t>(static_cast<uint64_t>(y) * 100 / height), true,
                   rect, "");
    rect.Top += 1;
    rect.Bottom += 1;
  }
  self->Progress(graphics::psEnding, 0, false, rect, "");
}

}  // namespace imaging
