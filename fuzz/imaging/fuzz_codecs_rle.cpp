// The run-length decoders and the Targa encoder on arbitrary bytes: the
// first bytes choose the scheme and the destination's size; nothing may be
// read or written outside the two buffers.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "imaging/ImageCodecs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint8_t scheme = data[0];
  const size_t destSize = (size_t{data[1]} << 4) | (data[2] & 15u);
  std::vector<uint8_t> source(data + 3, data + size);  // exact size: overreads are caught
  std::vector<uint8_t> dest(destSize);
  std::unique_ptr<imaging::TDecoder> d;
  static const uint32_t kDepths[] = {8, 15, 16, 24, 32, 7};
  switch (scheme % 7) {
    case 0:
      d = std::make_unique<imaging::TTargaRLEDecoder>(kDepths[(scheme / 7) % 6]);
      break;
    case 1:
      d = std::make_unique<imaging::TPackbitsRLEDecoder>();
      break;
    case 2:
      d = std::make_unique<imaging::TPCXRLEDecoder>();
      break;
    case 3:
      d = std::make_unique<imaging::TSGIRLEDecoder>(scheme & 0x80 ? 16 : 8);
      break;
    case 4:
      d = std::make_unique<imaging::TCUTRLEDecoder>();
      break;
    case 5:
      d = std::make_unique<imaging::TPSPRLEDecoder>();
      break;
    default:
      d = std::make_unique<imaging::TRLADecoder>();
      break;
  }
  imaging::TDecodeResult r = d->DecodeBlock(source, dest);
  if (r.consumed > source.size() || r.produced > dest.size()) __builtin_trap();

  // The encoder packs what it is given and decodes back to it.
  if (scheme % 7 == 0) {
    auto* targa = static_cast<imaging::TTargaRLEDecoder*>(d.get());
    const size_t p = targa->PixelSize();
    if (p == 0) return 0;
    const size_t count = source.size() / p;
    std::vector<uint8_t> packed(targa->MaxEncodedSize(count));
    packed.resize(targa->EncodeBlock(source, packed, count));
    std::vector<uint8_t> back(count * p);
    targa->DecodeBlock(packed, back);
    for (size_t i = 0; i < back.size(); ++i)
      if (back[i] != source[i]) __builtin_trap();
  }
  return 0;
}
