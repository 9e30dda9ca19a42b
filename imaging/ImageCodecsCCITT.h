// The CCITT fax decoders of the image library: Group 3 (TIFF compression 3,
// one- and two-dimensional rows behind end-of-line codes) and modified
// Huffman (TIFF compression 2, and 32771 with rows on 16-bit boundaries).
//
// Both produce packed 1-bit rows of (width + 7) / 8 bytes, most significant
// bit first, white 0 and black 1. DecodeBlock takes one strip: the source is
// the strip's bytes (never changed, also with reversed bit order), the
// destination its rows; only whole rows are written, and the whole
// destination is cleared to white first, so rows the data does not reach
// stay white. Each call starts fresh, so strips are independent. The
// working memory (two change lists of about width entries) is owned by the
// decoder, sized by the first call that has a whole row to decode, and kept
// for later strips.
//
// Damage never raises: a run longer than the row is cut at the row's end; an
// invalid code ends its row (the rest white) and Group 3 decoding goes on
// after the next end-of-line code, modified Huffman at the next row
// boundary; the end of the data ends decoding.
#pragma once

#include <cstdint>
#include <vector>

#include "imaging/ImageCodecs.h"

namespace imaging {

// T4Options bits.
inline constexpr uint32_t kT4TwoDimensional = 1;
inline constexpr uint32_t kT4Uncompressed = 2;  // not decoded: such rows are invalid codes

class TCCITTDecoder : public TDecoder {
 public:
  // options: the T4Options value; width: pixels per row; wordAligned: rows
  // start on 16-bit boundaries of the strip (32771); reversedBits: the
  // strip's bytes hold their bits least significant first (FillOrder 2).
  TCCITTDecoder(uint32_t options, uint32_t width, bool wordAligned, bool reversedBits);

 protected:
  enum TRowEnd { reComplete, reEndOfLine, reInvalid, reEndOfData };
  class TBitReader;

  // Decodes one row into the change list current_ (positions where the
  // colour flips, the first from white to black).
  TRowEnd DecodeRow1D(TBitReader& bits);
  TRowEnd DecodeRow2D(TBitReader& bits);
  // Sets the row's black spans from current_ and makes it the reference.
  void FinishRow(std::span<uint8_t> row, TRowEnd end, int64_t lastPosition);
  // Prepares the change lists; false when the destination holds no row.
  bool Prepare(std::span<uint8_t> dest);
  // A strip with an invalid code is damaged even when its rows are all
  // there; one whose data ran out first ended early.
  static TDecodeStatus Status(bool damaged, bool allRows) {
    return damaged ? dsDamaged : allRows ? dsComplete : dsEndOfData;
  }

  uint32_t options_;
  uint32_t width_;
  bool wordAligned_;
  bool reversedBits_;
  std::vector<uint32_t> reference_;  // the previous row's changes, then sentinels
  std::vector<uint32_t> current_;
  int64_t position_ = 0;  // a0 of the row being decoded
};

class TCCITTFax3Decoder : public TCCITTDecoder {
 public:
  using TCCITTDecoder::TCCITTDecoder;
  TDecodeResult DecodeBlock(std::span<const uint8_t> source, std::span<uint8_t> dest) override;
};

class TCCITTMHDecoder : public TCCITTDecoder {
 public:
  using TCCITTDecoder::TCCITTDecoder;
  TDecodeResult DecodeBlock(std::span<const uint8_t> source, std::span<uint8_t> dest) override;
};

}  // namespace imaging
