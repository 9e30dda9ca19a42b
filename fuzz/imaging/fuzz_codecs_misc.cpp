// Deflate, JPEG-in-TIFF, ThunderScan and Photo-CD decoding of arbitrary
// bytes: the first bytes choose the decoder and the geometry. An error of
// the codec family is fine; a crash, a hang or a write outside a buffer is
// not.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "imaging/ImageCodecsMisc.h"
#include "imaging/ImageFormats.h"

namespace {

void Jpeg(const uint8_t* data, size_t size, uint8_t shape) {
  imaging::TImageProperties p;
  p.Width = (shape & 7u) * 9 + 1;
  p.Height = ((shape >> 3) & 7u) * 5 + 1;
  const bool colour = shape & 0x40;
  p.SamplesPerPixel = colour ? 3 : 1;
  p.BitsPerSample = 8;
  p.PlanarConfiguration = 1;
  p.ColorModel = colour ? imaging::cmYCbCr : imaging::cmGray;
  if (colour) p.YCbCrSubSampling = {static_cast<uint8_t>(shape & 0x80 ? 2 : 1), 2};
  p.RowsPerStrip = {p.Height};
  p.RowBytes = p.Width * p.SamplesPerPixel;
  // The data may begin with tables: a length byte says how much is theirs.
  size_t tables = size ? std::min<size_t>(data[0], size - 1) : 0;
  if (tables) p.JPEGTables.assign(data + 1, data + 1 + tables);
  const uint8_t* strip = data + (size ? 1 + tables : 0);
  const size_t stripSize = size ? size - 1 - tables : 0;
  std::vector<uint8_t> source(strip, strip + stripSize);
  std::vector<uint8_t> dest(size_t{p.RowBytes} * p.Height);
  imaging::TTIFFJPEGDecoder d(p);
  d.OnWarning = [](const std::string&) {};
  try {
    d.StartDecoding();
    d.DecodeBlock(source, dest);
    d.FinishDecoding();
  } catch (const imaging::EImageCodecError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t kind = data[0], shape = data[1];
  data += 2, size -= 2;
  switch (kind % 4) {
    case 0: {
      std::vector<uint8_t> source(data, data + size);
      std::vector<uint8_t> dest(size_t{shape} * 64);
      imaging::TLZ77Decoder d(kind & 4 ? 4 : 1, kind & 8);
      d.StartDecoding();
      // In two pieces, as a reader feeding chunks would.
      const size_t half = source.size() / 2;
      imaging::TDecodeResult r = d.DecodeBlock({source.data(), half}, dest);
      d.DecodeBlock({source.data() + r.consumed, source.size() - r.consumed},
                    {dest.data() + r.produced, dest.size() - r.produced});
      try {
        d.FinishDecoding();
      } catch (const imaging::EImageCodecError&) {
      }
      break;
    }
    case 1:
      Jpeg(data, size, shape);
      break;
    case 2: {
      std::vector<uint8_t> source(data, data + size);
      std::vector<uint8_t> dest(size_t{shape} * 3 + (kind >> 4));
      imaging::TThunderDecoder d(static_cast<int32_t>(kind >> 2) - 4);
      d.DecodeBlock(source, dest);
      break;
    }
    default: {
      rtl::TMemoryStream stream;
      stream.WriteBuffer(data, static_cast<int64_t>(size));
      stream.SetPosition(0);
      const uint32_t width = shape & 0x80 ? 1600 + shape : shape + 1u;
      const uint32_t height = (kind >> 2) + 1u;
      std::vector<uint8_t> luma(size_t{width} * height), c1(size_t{width} * (height / 2)), c2(c1.size());
      imaging::TPCDDecoder d(stream);
      try {
        d.DecodePlanes(luma, c1, c2, width, height);
      } catch (const imaging::EImageCodecError&) {
      }
      break;
    }
  }
  return 0;
}
