#include "imaging/EPSGraphic.h"

#include <cstdint>
#include <memory>

namespace imaging {

namespace {

constexpr const char* kFormatName = "EPS";
constexpr size_t kHeaderSize = 30;
constexpr uint8_t kMagic[4] = {0xC5, 0xD0, 0xD3, 0xC6};

struct THeader {
  uint8_t bytes[kHeaderSize]{};
  bool MagicMatches() const { return std::equal(std::begin(kMagic), std::end(kMagic), bytes); }
  uint32_t At(size_t i) const {
    return LittleEndian16(bytes + i) | uint32_t{LittleEndian16(bytes + i + 2)} << 16;
  }
  uint32_t TIFFOffset() const { return At(20); }
  uint32_t TIFFLength() const { return At(24); }
  // The preview follows the header (offsets count from the file's start)
  // and begins inside the stream.
  bool PreviewInside(uint64_t fileSize) const {
    return TIFFLength() > 0 && TIFFOffset() >= kHeaderSize && TIFFOffset() < fileSize;
  }
};

}  // namespace

graphics::TGraphicClass TEPSGraphic::StaticClass() {
  return RasterClassRecord<TEPSGraphic>("TEPSGraphic", TTIFFGraphic::StaticClass());
}

bool TEPSGraphic::CanReadStream(rtl::TStream& stream) {
  THeader h;
  if (!PeekHeader(stream, h.bytes, kHeaderSize)) return false;
  return h.MagicMatches() && h.PreviewInside(BytesLeft(stream));
}

void TEPSGraphic::LoadFromStream(rtl::TStream& stream) {
  SetSize(0, 0);
  const int64_t start = stream.Position();
  const uint64_t fileSize = BytesLeft(stream);
  THeader h;
  ReadExact(stream, h.bytes, kHeaderSize, kFormatName);
  if (!h.MagicMatches() || !h.PreviewInside(fileSize)) RaiseInvalidGraphicFmt(SInvalidImage, {kFormatName});
  stream.SetPosition(start + h.TIFFOffset());
  TTIFFGraphic::LoadFromStream(stream);
}

}  // namespace imaging
