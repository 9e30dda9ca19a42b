// The CCITT decoders on arbitrary strips: the first bytes choose the
// decoder, the options, the width and the rows; every run length and code
// comes from the data. No read or write outside the buffers, no hang.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "imaging/ImageCodecsCCITT.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const uint8_t kind = data[0];
  const uint32_t width = (uint32_t{data[1]} << 4 | (data[2] >> 4)) + (kind & 0x80 ? 1700 : 0);
  const size_t rows = (data[2] & 15u) + 1;
  std::vector<uint8_t> source(data + 3, data + size);
  std::vector<uint8_t> dest(rows * ((width + 7) / 8) + (kind & 0x40 ? 3 : 0));
  std::unique_ptr<imaging::TDecoder> d;
  const bool reversed = kind & 4;
  if (kind & 1)
    d = std::make_unique<imaging::TCCITTMHDecoder>(0, width, kind & 2, reversed);
  else
    d = std::make_unique<imaging::TCCITTFax3Decoder>(kind & 2 ? imaging::kT4TwoDimensional : 0, width, false,
                                                     reversed);
  // Twice: the second call reuses the decoder's working memory.
  for (int i = 0; i < 2; ++i) {
    imaging::TDecodeResult r = d->DecodeBlock(source, dest);
    if (r.consumed > source.size() || r.produced > dest.size()) __builtin_trap();
  }
  return 0;
}
