// TIFF files: the first image of the directory chain, in strips, stored
// contiguously or as separate planes, uncompressed or compressed with
// PackBits, CCITT Group 3 or modified Huffman, deflate, JPEG or ThunderScan;
// bilevel, grey, palette, RGB(A), CMYK, CIE Lab and YCbCr pixels of 1 to 16
// bits per sample. The reader does not write TIFF.
//
// Every offset and count of the file is checked against the stream before
// anything is read or allocated: a directory chain that loops, a value or a
// strip beyond the end, strips that do not cover the image, or a sample
// layout without a converter raise EInvalidGraphic. The stream is borrowed
// for the length of one load.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "imaging/ImageFormats.h"

namespace imaging {

class TDecoder;

class TTIFFGraphic : public TRasterGraphic {
 public:
  static graphics::TGraphicClass StaticClass();
  graphics::TGraphicClass ClassType() const override { return StaticClass(); }

  // "II" or "MM", version 42 and a first directory inside the stream; the
  // stream is left where it was.
  static bool CanReadStream(rtl::TStream& stream);
  // Reads the header at the stream's position and the directory of the
  // image with that index (0: the first); true when it describes an image
  // of non-zero size. A chain that ends or loops before the index: false.
  bool ReadProperties(rtl::TStream& stream, int imageIndex) override;
  // Loads the first image. Raises for a refused header, tiles, a
  // compression without a decoder, a sample layout without a converter and
  // strips that are missing or lie beyond the stream.
  void LoadFromStream(rtl::TStream& stream) override;
  // Writes nothing: TIFF output goes through the outside imaging library.
  void SaveToStream(rtl::TStream& stream) const override;

  // Damage that a load decodes past (a JPEG strip cut short): the caption
  // and the message, for the caller to show. Unassigned, they are dropped.
  // The library sits below the forms layer and often runs with nobody to
  // dismiss a box, so it hands the warning over instead of showing it.
  std::function<void(const std::string& caption, const std::string& message)> OnWarning;

 protected:
  // One directory entry as the file has it; the value field keeps its four
  // bytes in file order and is read by the entry's type.
  struct TDirectoryEntry {
    uint16_t Tag = 0;
    uint16_t DataType = 0;
    uint32_t Count = 0;
    std::array<uint8_t, 4> Field{};
  };

  bool FindTag(uint16_t tag, size_t& index) const;
  // A count-1 integer entry's value; Default for a missing tag or another
  // type; the raw value field for other counts.
  uint32_t TagValue(uint16_t tag, uint32_t defaultValue) const;
  uint32_t TagOffsetAndCount(uint16_t tag, uint32_t& count, uint32_t defaultValue) const;
  TCardinalArray TagCardinals(uint16_t tag) const;
  TByteArray TagBytes(uint16_t tag) const;
  TFloatArray TagFloats(uint16_t tag) const;
  float TagFloat(uint16_t tag, float defaultValue) const;

 private:
  // Reads the directory at offset (from the base position) into directory_,
  // sorted by tag.
  void ReadDirectory(uint32_t offset);
  // The raw bytes of an entry's values, in file order; empty for types
  // without a size. Values beyond the stream raise the read error.
  std::vector<uint8_t> EntryBytes(const TDirectoryEntry& entry) const;
  uint16_t Get16(const uint8_t* p) const;
  uint32_t Get32(const uint8_t* p) const;
  bool BigEndian() const { return (ImageProperties.Flags & pfMotorolaOrder) != 0; }
  void Warn(const std::string& message) const;

  // The steps of a load: the plan from the directory (layout, decoder kind,
  // sizes, and every refusal the directory alone decides), the decoder it
  // names, the palette or colour tables, one strip of one plane decoded into
  // its block, and the row assemblers.
  struct TLoadPlan;
  TLoadPlan PlanLoad();
  std::unique_ptr<TDecoder> MakeDecoder(const TLoadPlan& plan);
  void SetUpColours(const TLoadPlan& plan);
  void ReadStrip(const TLoadPlan& plan, TDecoder* decoder, size_t index, std::vector<uint8_t>& block,
                 std::vector<uint8_t>& encoded);
  void AssembleSubsampledRow(const TLoadPlan& plan, const uint8_t* unit, uint32_t sub,
                             std::span<uint8_t> row) const;
  void AssemblePlanarRow(const TLoadPlan& plan, const std::vector<std::vector<uint8_t>>& blocks,
                         uint64_t offset, std::span<uint8_t> row) const;
  void UndoPredictor(const TLoadPlan& plan, std::span<uint8_t> row) const;

  std::vector<TDirectoryEntry> directory_;
  // As stored: the record's byte-wide fields would wrap values the loader
  // must refuse.
  uint32_t bitsPerSample_ = 1;
  uint32_t samplesPerPixel_ = 1;
  bool sampleBitsDiffer_ = false;
  uint32_t ycbcrPositioning_ = 1;
  TFloatArray ycbcrCoefficients_;
};

}  // namespace imaging
