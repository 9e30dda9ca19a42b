// The image format library's entry point: the registry of reader classes
// (TFileFormatList, the global FileFormats()) that picks a reader by the
// file's header alone, and TRasterGraphic, the bitmap that every reader is.
//
// The registry owns its entries; class references are the graphics layer's
// static class records and are borrowed. A reader object is a TBitmap that
// fills itself from a stream: validation of the geometry happens once, here,
// in PrepareImage, before any pixel memory is allocated.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "imaging/ImageColor.h"
#include "imaging/ImageStrings.h"
#include "platform/graphics/Graphics.h"
#include "platform/rtl/Classes.h"

namespace imaging {

using graphics::EInvalidGraphic;

// Which kinds of file an extension holds. Stored with each extension.
using TFileKinds = uint8_t;
enum : TFileKinds { fkLayered = 2, fkMultiImage = 4, fkRaster = 8, fkVector = 16 };

enum TCompressionKind : uint8_t {
  ctUnknown = 0,
  ctNone = 1,
  ctRLE = 2,
  ctPackBits = 3,
  ctLZW = 4,
  ctFaxCCITT3 = 5,
  ctFaxRLE = 6,  // modified Huffman
  ctFaxCCITT4 = 7,
  ctFaxRLEW = 8,  // modified Huffman, word aligned
  ctLZ77 = 9,     // deflate
  ctJPEG = 10,
  ctOJPEG = 11,  // old-style JPEG
  ctThunderscan = 12,
  ctNext = 13,
  ctIT8CTPAD = 14,
  ctIT8LW = 15,
  ctIT8MP = 16,
  ctIT8BL = 17,
  ctPixarFilm = 18,
  ctPixarLog = 19,
  ctDCS = 20,
  ctJBIG = 21,
  ctPCDHuffmann = 22,
};

using TImagePropertyFlags = uint8_t;
enum : TImagePropertyFlags {
  pfTiled = 1,
  pfMotorolaOrder = 2,   // multi-byte values big-endian
  pfMinimumIsWhite = 4,  // lowest value is white
  pfReversedBits = 8,    // bits within a byte least significant first
  pfGammaCorrected = 16,
};

using TCardinalArray = std::vector<uint32_t>;
using TByteArray = std::vector<uint8_t>;
using TFloatArray = std::vector<float>;

// What a reader's ReadProperties learns from the header.
struct TImageProperties {
  uint32_t FormatVersion = 0;
  TImagePropertyFlags Flags = 0;
  uint32_t Width = 0;
  uint32_t Height = 0;
  TColorModel ColorModel = cmUnknown;
  uint8_t BitsPerSample = 0;
  uint8_t SamplesPerPixel = 0;
  uint8_t BitsPerPixel = 0;
  TCompressionKind Compression = ctUnknown;
  float Gamma = 0;
  float XResolution = 0;
  float YResolution = 0;
  bool Interlaced = false;
  bool AlphaPresent = false;
  uint32_t FirstIFDOffset = 0;
  uint32_t PlanarConfiguration = 0;
  uint32_t RowIndex = 0;
  uint32_t TileWidth = 0;
  uint32_t TileLength = 0;
  uint32_t RowBytes = 0;
  TCardinalArray RowsPerStrip;
  TByteArray YCbCrSubSampling;
  TByteArray JPEGTables;
  uint32_t JPEGColorMode = 0;
  uint32_t JPEGTablesMode = 0;
  int32_t StripIndex = 0;
  int32_t StripCount = 0;
  int32_t Predictor = 0;
  bool IsOverview = false;
  uint8_t Rotation = 0;
  uint16_t ImageCount = 0;
  bool BottomUp = false;
  uint8_t ChannelCount = 0;
  uint8_t FilterMethod = 0;

  // Zeroes every field and releases the arrays.
  void Clear() { *this = TImageProperties{}; }
};

// The class record of every TRasterGraphic class: the graphics layer's
// record plus the class-level header test. Every class that derives from
// TRasterGraphic must describe itself with one, since the registry casts to
// it.
struct TRasterGraphicClassInfo : graphics::TGraphicClassInfo {
  bool (*CanReadStreamFn)(rtl::TStream& stream);

  // Answers without throwing and leaves the stream where it was.
  bool CanReadStream(rtl::TStream& stream) const;
  // Opens the file (read, deny write) and asks CanReadStream.
  bool CanReadFile(const std::string& fileName) const;
};

// What a stream must hold for an image's data before its bitmap is made:
// at least `least` bytes of the `available` ones (plain data whole, coded
// data in the densest form its scheme allows), so that a header alone
// cannot claim a large image of nothing.
// The product of two sizes read from a file, or the largest value where it
// does not fit: a need that large is never met.
inline uint64_t SaturatingProduct(uint64_t a, uint64_t b) {
  uint64_t product = 0;
  return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

struct TImageData {
  uint64_t least = 0;
  uint64_t available = 0;
  const char* readErrorName = nullptr;  // the format's name when not set
};

class TRasterGraphic : public graphics::TBitmap {
 public:
  // The most pixel memory an image of any reader may ask for; the process
  // limit of TBitmap may lower it further.
  static constexpr int64_t kMaxImageBytes = graphics::TBitmap::kMaxPixelBytes;

  TRasterGraphic();
  ~TRasterGraphic() override;

  static graphics::TGraphicClass StaticClass();
  graphics::TGraphicClass ClassType() const override { return StaticClass(); }

  // Copies the properties record of another raster graphic, then the bitmap.
  void Assign(const graphics::TGraphic& source) override;

  // Base: no stream is readable.
  static bool CanReadStream(rtl::TStream& stream);
  // Base: clears the record, sets Gamma to 1.0, returns false. Overrides call
  // it first and return true only for a header they can load.
  virtual bool ReadProperties(rtl::TStream& stream, int imageIndex);

  TColorManager& ColorManager() { return *colorManager_; }
  TImageProperties ImageProperties;

 protected:
  // The one size guard of every reader: zero sizes are an invalid image,
  // data the stream cannot hold is a read error, sizes whose pixel memory
  // (computed in 64 bits) exceeds the limit are refused; only then is the
  // bitmap made in the given format.
  void PrepareImage(uint32_t width, uint32_t height, graphics::TPixelFormat format, const char* formatName,
                    const TImageData& data);
  // Where every load starts: the bitmap emptied, the stream and the image's
  // start kept for the reading that follows.
  void BeginLoad(rtl::TStream& stream);
  // BeginLoad, then the first image's header, which must be one the reader
  // can load: otherwise the format's invalid-image error.
  void BeginLoad(rtl::TStream& stream, const char* formatName);
  // Raises the format's stream read error unless needed bytes remain.
  static void CheckDataLeft(uint64_t needed, uint64_t available, const char* formatName);
  // Bytes from the stream's position to its end.
  static uint64_t BytesLeft(rtl::TStream& stream);
  // For header tests: true when more than count bytes remain and the first
  // count were read into buffer; the stream is left where it was.
  static bool PeekHeader(rtl::TStream& stream, void* buffer, uint64_t count);
  // Reads count bytes or raises the format's stream read error.
  static void ReadExact(rtl::TStream& stream, void* buffer, uint64_t count, const char* formatName);

  // Progress: starting, per finished row (rectangle moves down), ending.
  void StartProgress(const char* message, int32_t width);
  void RowProgress(uint32_t row, uint32_t rowCount);
  void EndProgress();

  int64_t basePosition_ = 0;
  rtl::TStream* stream_ = nullptr;  // borrowed, valid during a load
  graphics::TRect progressRect_;

 private:
  std::unique_ptr<TColorManager> colorManager_;
};

// The class record of reader class G: its name, its parent class, a factory
// and G's header test; made once, on first use.
template <typename G>
graphics::TGraphicClass RasterClassRecord(const char* name, graphics::TGraphicClass parent) {
  static const TRasterGraphicClassInfo info{
      {name, parent, []() -> std::unique_ptr<graphics::TGraphic> { return std::make_unique<G>(); }},
      &G::CanReadStream};
  return &info;
}

// The registry of image file formats.
class TFileFormatList {
 public:
  struct TClassEntry {
    graphics::TGraphicClass GraphicClass = nullptr;
    std::string Description;
    int Count = 0;  // extension entries that point here
  };
  struct TExtensionEntry {
    std::string Extension;  // without the point
    std::string Description;
    TFileKinds FileKinds = 0;
    TClassEntry* ClassEntry = nullptr;
  };

  TFileFormatList() = default;
  ~TFileFormatList();
  TFileFormatList(const TFileFormatList&) = delete;
  TFileFormatList& operator=(const TFileFormatList&) = delete;

  // Removes every class from the picture registry and drops all entries.
  void Clear();
  // Case-insensitive; -1 for an empty argument or none.
  int IndexOfExtension(const std::string& extension) const;
  int IndexOfClass(graphics::TGraphicClass graphicClass) const;
  // The first registered reader whose header test accepts the file, or
  // nullptr. The file's extension plays no part. Open errors pass through.
  graphics::TGraphicClass FindClassByContent(const std::string& fileName) const;
  graphics::TGraphicClass FindClassByStream(rtl::TStream& stream) const;
  // Registers an extension (also with the picture registry). A second
  // registration without replace raises "Attempt to register %s twice.".
  void AddFileFormat(const std::string& extension, const std::string& commonDescription,
                     const std::string& individualDescription, TFileKinds fileKinds, bool replace,
                     graphics::TGraphicClass graphicClass);
  // With an extension: removes that one (nothing when it is not registered).
  // With an empty extension: removes every extension of the class, and the
  // class; nothing when the class is not registered.
  void RemoveFileFormat(const std::string& extension, graphics::TGraphicClass graphicClass);

  int ClassCount() const { return static_cast<int>(classes_.size()); }
  const TClassEntry& ClassAt(int index) const { return *classes_.at(static_cast<size_t>(index)); }
  int ExtensionCount() const { return static_cast<int>(extensions_.size()); }
  const TExtensionEntry& ExtensionAt(int index) const { return *extensions_.at(static_cast<size_t>(index)); }

 private:
  TClassEntry* AttachClass(graphics::TGraphicClass graphicClass, const std::string& commonDescription);
  void DropClassEntry(TClassEntry* entry);

  std::vector<std::unique_ptr<TClassEntry>> classes_;
  std::vector<std::unique_ptr<TExtensionEntry>> extensions_;
};

// The library's registry, filled with the registration table at start-up.
TFileFormatList& FileFormats();

// Fills a list with the registration table (what FileFormats() holds).
void RegisterStandardFormats(TFileFormatList& list);

// Shared routines of the readers.
[[noreturn]] void RaiseInvalidGraphic(const std::string& message);
[[noreturn]] void RaiseInvalidGraphicFmt(const std::string& pattern,
                                         std::initializer_list<rtl::TVarRec> args);

// Multi-byte values of a file's header, at p.
inline uint16_t BigEndian16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
inline uint32_t BigEndian32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}
inline uint16_t LittleEndian16(const uint8_t* p) {
  return static_cast<uint16_t>(p[1] << 8 | p[0]);
}
inline uint32_t LittleEndian32(const uint8_t* p) {
  return LittleEndian16(p) | uint32_t{LittleEndian16(p + 2)} << 16;
}

// Each byte value with its bits in the opposite order, for data stored
// least significant bit first.
inline constexpr std::array<uint8_t, 256> kReversedBits = [] {
  std::array<uint8_t, 256> r{};
  for (unsigned i = 0; i < 256; ++i) {
    unsigned v = 0;
    for (unsigned b = 0; b < 8; ++b)
      if (i & (1u << b)) v |= 0x80u >> b;
    r[i] = static_cast<uint8_t>(v);
  }
  return r;
}();
inline void ReverseBits(std::span<uint8_t> bytes) {
  for (uint8_t& b : bytes) b = kReversedBits[b];
}

// The byte and predictor routines stop at whichever end comes first, the
// count or the buffer.
void SwapWords(std::span<uint8_t> values, size_t count);
void SwapLongs(std::span<uint8_t> values, size_t count);
uint32_t SwapLong(uint32_t value);
// row[i] += row[i - 1] for i = 1 .. count.
void UndoPredictor1(std::span<uint8_t> row, size_t count);
// row[i + 3] += row[i] for i = 0 .. 3 count - 1.
void UndoPredictor3(std::span<uint8_t> row, size_t count);
// row[i + 4] += row[i] for i = 0 .. 4 count - 1.
void UndoPredictor4(std::span<uint8_t> row, size_t count);
// row[i + distance] += row[i] for i = 0 .. distance count - 1.
void UndoPredictorN(std::span<uint8_t> row, size_t count, size_t distance);
// Doubles a plane of height rows of width samples, rowStride bytes apart, in
// place, into 2 height rows of 2 width samples. Raises EInvalidGraphic when
// the stride or the buffer is too small for the result.
void Upsample2x(uint32_t width, uint32_t height, size_t rowStride, std::span<uint8_t> plane);

}  // namespace imaging
