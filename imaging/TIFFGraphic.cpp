#include "imaging/TIFFGraphic.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <set>

#include "imaging/ImageCodecs.h"
#include "imaging/ImageCodecsCCITT.h"
#include "imaging/ImageCodecsMisc.h"

namespace imaging {

namespace {

constexpr const char* kFormatName = "TIF/TIFF";

constexpr size_t kHeaderSize = 8;
constexpr size_t kEntrySize = 12;
constexpr uint16_t kVersion = 42;

enum : uint16_t {
  kTagWidth = 256,
  kTagHeight = 257,
  kTagBitsPerSample = 258,
  kTagCompression = 259,
  kTagPhotometric = 262,
  kTagFillOrder = 266,
  kTagStripOffsets = 273,
  kTagSamplesPerPixel = 277,
  kTagRowsPerStrip = 278,
  kTagStripByteCounts = 279,
  kTagXResolution = 282,
  kTagYResolution = 283,
  kTagPlanarConfiguration = 284,
  kTagT4Options = 292,
  kTagResolutionUnit = 296,
  kTagPredictor = 317,
  kTagColorMap = 320,
  kTagTileWidth = 322,
  kTagTileLength = 323,
  kTagExtraSamples = 338,
  kTagJPEGTables = 347,
  kTagYCbCrCoefficients = 529,
  kTagYCbCrSubSampling = 530,
  kTagYCbCrPositioning = 531,
};

enum : uint8_t {
  kTypeByte = 1,
  kTypeASCII = 2,
  kTypeShort = 3,
  kTypeLong = 4,
  kTypeRational = 5,
  kTypeSignedByte = 6,
  kTypeUndefined = 7,
  kTypeSignedShort = 8,
  kTypeSignedLong = 9,
  kTypeSignedRational = 10,
  kTypeFloat = 11,
  kTypeDouble = 12,
};

size_t TypeSize(uint16_t type) {
  static constexpr uint8_t kSizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
  return type < std::size(kSizes) ? kSizes[type] : 0;
}

bool IsIntegerType(uint16_t type) {
  switch (type) {
    case kTypeByte:
    case kTypeShort:
    case kTypeLong:
    case kTypeSignedByte:
    case kTypeUndefined:
    case kTypeSignedShort:
    case kTypeSignedLong:
      return true;
    default:
      return false;
  }
}

TColorModel ModelOfPhotometric(uint32_t photometric, uint32_t samples, TImagePropertyFlags& flags) {
  switch (photometric) {
    case 0:
      flags |= pfMinimumIsWhite;
      return cmGray;
    case 1:
      return cmGray;
    case 2:
      return samples < 4 ? cmRGB : cmRGBA;
    case 3:
      return cmIndexed;
    case 5:
      return cmCMYK;
    case 6:
      return cmYCbCr;
    case 8:
      return cmCIELab;
    default:
      return cmUnknown;
  }
}

TCompressionKind CompressionOf(uint32_t value) {
  switch (value) {
    case 1:
      return ctNone;
    case 2:
      return ctFaxRLE;
    case 3:
      return ctFaxCCITT3;
    case 4:
      return ctFaxCCITT4;
    case 5:
      return ctLZW;
    case 6:
      return ctOJPEG;
    case 7:
      return ctJPEG;
    case 8:
    case 32946:
      return ctLZ77;
    case 32766:
      return ctNext;
    case 32771:
      return ctFaxRLEW;
    case 32773:
      return ctPackBits;
    case 32809:
      return ctThunderscan;
    case 32895:
      return ctIT8CTPAD;
    case 32896:
      return ctIT8LW;
    case 32897:
      return ctIT8MP;
    case 32898:
      return ctIT8BL;
    case 32908:
      return ctPixarFilm;
    case 32909:
      return ctPixarLog;
    case 32947:
      return ctDCS;
    case 34661:
      return ctJBIG;
    default:
      return ctUnknown;
  }
}

bool IsFax(TCompressionKind c) {
  return c == ctFaxCCITT3 || c == ctFaxRLE || c == ctFaxRLEW;
}

// Horizontal differencing of 16-bit samples, distance samples apart, in the
// file's byte order.
void UndoPredictor16(std::span<uint8_t> row, size_t count, size_t distance, bool bigEndian) {
  const size_t samples = row.size() / 2;
  if (samples <= distance) return;
  const size_t n = std::min(count * distance, samples - distance);
  auto get = [&](size_t i) -> uint16_t {
    return bigEndian ? BigEndian16(&row[2 * i]) : LittleEndian16(&row[2 * i]);
  };
  for (size_t i = 0; i < n; ++i) {
    const auto v = static_cast<uint16_t>(get(i + distance) + get(i));
    uint8_t* p = &row[2 * (i + distance)];
    p[bigEndian ? 0 : 1] = static_cast<uint8_t>(v >> 8);
    p[bigEndian ? 1 : 0] = static_cast<uint8_t>(v);
  }
}

}  // namespace

graphics::TGraphicClass TTIFFGraphic::StaticClass() {
  return RasterClassRecord<TTIFFGraphic>("TTIFFGraphic", TRasterGraphic::StaticClass());
}

bool TTIFFGraphic::CanReadStream(rtl::TStream& stream) {
  uint8_t h[kHeaderSize];
  if (!PeekHeader(stream, h, kHeaderSize)) return false;
  const bool big = h[0] == 'M' && h[1] == 'M';
  if (!big && !(h[0] == 'I' && h[1] == 'I')) return false;
  const uint16_t version = big ? BigEndian16(h + 2) : LittleEndian16(h + 2);
  const uint32_t first = big ? BigEndian32(h + 4) : LittleEndian32(h + 4);
  return version == kVersion && first < BytesLeft(stream);
}

void TTIFFGraphic::SaveToStream(rtl::TStream&) const {}

uint16_t TTIFFGraphic::Get16(const uint8_t* p) const {
  return BigEndian() ? BigEndian16(p) : LittleEndian16(p);
}

uint32_t TTIFFGraphic::Get32(const uint8_t* p) const {
  return BigEndian() ? BigEndian32(p) : LittleEndian32(p);
}

void TTIFFGraphic::Warn(const std::string& message) const {
  if (OnWarning) OnWarning(SWarning, message);
}

// ---------------------------------------------------------------------------
// The directory

void TTIFFGraphic::ReadDirectory(uint32_t offset) {
  rtl::TStream& stream = *stream_;
  stream.SetPosition(basePosition_ + offset);
  uint8_t countBytes[2];
  ReadExact(stream, countBytes, sizeof countBytes, kFormatName);
  const uint16_t count = Get16(countBytes);
  std::vector<uint8_t> raw(size_t{count} * kEntrySize);
  ReadExact(stream, raw.data(), raw.size(), kFormatName);
  directory_.assign(count, {});
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* e = &raw[i * kEntrySize];
    TDirectoryEntry& d = directory_[i];
    d.Tag = Get16(e);
    d.DataType = Get16(e + 2);
    d.Count = Get32(e + 4);
    std::memcpy(d.Field.data(), e + 8, 4);
  }
  std::stable_sort(directory_.begin(), directory_.end(),
                   [](const TDirectoryEntry& a, const TDirectoryEntry& b) { return a.Tag < b.Tag; });
}

bool TTIFFGraphic::FindTag(uint16_t tag, size_t& index) const {
  const auto it = std::lower_bound(directory_.begin(), directory_.end(), tag,
                                   [](const TDirectoryEntry& e, uint16_t t) { return e.Tag < t; });
  index = static_cast<size_t>(it - directory_.begin());
  return it != directory_.end() && it->Tag == tag;
}

std::vector<uint8_t> TTIFFGraphic::EntryBytes(const TDirectoryEntry& entry) const {
  // The count is the file's: the product is taken in 64 bits and checked
  // against the stream before anything is allocated.
  const uint64_t size = uint64_t{entry.Count} * TypeSize(entry.DataType);
  if (size <= 4) return {entry.Field.begin(), entry.Field.begin() + static_cast<std::ptrdiff_t>(size)};
  rtl::TStream& stream = *stream_;
  const uint64_t offset = Get32(entry.Field.data());
  const int64_t end = stream.Size();
  if (basePosition_ < 0 || offset > static_cast<uint64_t>(std::max<int64_t>(0, end - basePosition_)) ||
      size > static_cast<uint64_t>(end - basePosition_) - offset)
    RaiseInvalidGraphicFmt(SStreamReadError, {kFormatName});
  std::vector<uint8_t> bytes(size);
  stream.SetPosition(basePosition_ + static_cast<int64_t>(offset));
  ReadExact(stream, bytes.data(), bytes.size(), kFormatName);
  return bytes;
}

uint32_t TTIFFGraphic::TagValue(uint16_t tag, uint32_t defaultValue) const {
  uint32_t count = 0;
  return TagOffsetAndCount(tag, count, defaultValue);
}

uint32_t TTIFFGraphic::TagOffsetAndCount(uint16_t tag, uint32_t& count, uint32_t defaultValue) const {
  size_t index = 0;
  count = 0;
  if (!FindTag(tag, index)) return defaultValue;
  const TDirectoryEntry& e = directory_[index];
  count = e.Count;
  if (e.Count != 1) return Get32(e.Field.data());
  switch (e.DataType) {
    case kTypeByte:
      return e.Field[0];
    case kTypeSignedByte:
      return static_cast<uint32_t>(static_cast<int8_t>(e.Field[0]));
    case kTypeShort:
      return Get16(e.Field.data());
    case kTypeSignedShort:
      return static_cast<uint32_t>(static_cast<int16_t>(Get16(e.Field.data())));
    case kTypeLong:
    case kTypeSignedLong:
      return Get32(e.Field.data());
    default:
      return defaultValue;
  }
}

TCardinalArray TTIFFGraphic::TagCardinals(uint16_t tag) const {
  size_t index = 0;
  if (!FindTag(tag, index)) return {};
  const TDirectoryEntry& e = directory_[index];
  if (!IsIntegerType(e.DataType)) return {};
  const std::vector<uint8_t> bytes = EntryBytes(e);
  const size_t size = TypeSize(e.DataType);
  TCardinalArray values(e.Count);
  for (size_t i = 0; i < values.size(); ++i) {
    const uint8_t* p = &bytes[i * size];
    values[i] = size == 1 ? *p : size == 2 ? Get16(p) : Get32(p);
  }
  return values;
}

TByteArray TTIFFGraphic::TagBytes(uint16_t tag) const {
  size_t index = 0;
  if (!FindTag(tag, index)) return {};
  const TDirectoryEntry& e = directory_[index];
  if (TypeSize(e.DataType) == 1) return EntryBytes(e);
  if (!IsIntegerType(e.DataType)) return {};
  const TCardinalArray values = TagCardinals(tag);
  TByteArray bytes(values.size());
  std::transform(values.begin(), values.end(), bytes.begin(),
                 [](uint32_t v) { return static_cast<uint8_t>(v); });
  return bytes;
}

TFloatArray TTIFFGraphic::TagFloats(uint16_t tag) const {
  size_t index = 0;
  if (!FindTag(tag, index)) return {};
  const TDirectoryEntry& e = directory_[index];
  if (IsIntegerType(e.DataType)) {
    const TCardinalArray values = TagCardinals(tag);
    return {values.begin(), values.end()};
  }
  const size_t size = TypeSize(e.DataType);
  if (size == 0 || e.DataType == kTypeASCII) return {};
  const std::vector<uint8_t> bytes = EntryBytes(e);
  TFloatArray values(e.Count);
  for (size_t i = 0; i < values.size(); ++i) {
    const uint8_t* p = &bytes[i * size];
    switch (e.DataType) {
      case kTypeRational: {
        const uint32_t d = Get32(p + 4);
        values[i] = d ? static_cast<float>(static_cast<double>(Get32(p)) / d) : 0.0f;
        break;
      }
      case kTypeSignedRational: {
        const auto d = static_cast<int32_t>(Get32(p + 4));
        values[i] = d ? static_cast<float>(static_cast<double>(static_cast<int32_t>(Get32(p))) / d) : 0.0f;
        break;
      }
      case kTypeFloat: {
        const uint32_t bits = Get32(p);
        float f = 0;
        std::memcpy(&f, &bits, sizeof f);
        values[i] = f;
        break;
      }
      case kTypeDouble: {
        const uint64_t bits =
            BigEndian() ? uint64_t{Get32(p)} << 32 | Get32(p + 4) : uint64_t{Get32(p + 4)} << 32 | Get32(p);
        double d = 0;
        std::memcpy(&d, &bits, sizeof d);
        values[i] = static_cast<float>(d);
        break;
      }
      default:
        break;
    }
  }
  return values;
}

float TTIFFGraphic::TagFloat(uint16_t tag, float defaultValue) const {
  size_t index = 0;
  if (!FindTag(tag, index) || directory_[index].Count != 1) return defaultValue;
  const TFloatArray values = TagFloats(tag);
  return values.empty() ? defaultValue : values[0];
}

// ---------------------------------------------------------------------------
// Properties

bool TTIFFGraphic::ReadProperties(rtl::TStream& stream, int imageIndex) {
  TRasterGraphic::ReadProperties(stream, imageIndex);
  directory_.clear();
  ycbcrPositioning_ = 1;
  ycbcrCoefficients_.clear();
  TImageProperties& p = ImageProperties;

  rtl::TStream* const previous = stream_;
  stream_ = &stream;
  struct TRestore {
    rtl::TStream*& slot;
    rtl::TStream* value;
    ~TRestore() { slot = value; }
  } restore{stream_, previous};

  basePosition_ = stream.Position();
  uint8_t h[kHeaderSize];
  if (BytesLeft(stream) < kHeaderSize) return false;
  ReadExact(stream, h, kHeaderSize, kFormatName);
  if (h[0] == 'M' && h[1] == 'M')
    p.Flags |= pfMotorolaOrder;
  else if (h[0] != 'I' || h[1] != 'I')
    return false;
  p.FormatVersion = Get16(h + 2);
  p.FirstIFDOffset = Get32(h + 4);
  if (p.FormatVersion != kVersion || imageIndex < 0) return false;

  // Walk the chain to the wanted directory. A chain that comes back to a
  // directory it has passed would never end.
  uint32_t offset = p.FirstIFDOffset;
  std::set<uint32_t> seen;
  for (int index = imageIndex; index > 0; --index) {
    if (offset == 0 || !seen.insert(offset).second) return false;
    stream.SetPosition(basePosition_ + offset);
    uint8_t countBytes[2];
    ReadExact(stream, countBytes, sizeof countBytes, kFormatName);
    const uint64_t entries = uint64_t{Get16(countBytes)} * kEntrySize;
    CheckDataLeft(entries, BytesLeft(stream), kFormatName);
    stream.Seek(static_cast<int64_t>(entries), rtl::soCurrent);
    uint8_t next[4];
    ReadExact(stream, next, sizeof next, kFormatName);
    offset = Get32(next);
  }
  if (offset == 0 || seen.count(offset)) return false;
  ReadDirectory(offset);

  p.Width = TagValue(kTagWidth, 0);
  p.Height = TagValue(kTagHeight, 0);
  const TCardinalArray bits = TagCardinals(kTagBitsPerSample);
  bitsPerSample_ = bits.empty() ? 1 : bits[0];
  sampleBitsDiffer_ = std::any_of(bits.begin(), bits.end(), [&](uint32_t b) { return b != bitsPerSample_; });
  samplesPerPixel_ = TagValue(kTagSamplesPerPixel, 1);
  p.BitsPerSample = static_cast<uint8_t>(bitsPerSample_);
  p.SamplesPerPixel = static_cast<uint8_t>(samplesPerPixel_);
  p.BitsPerPixel = static_cast<uint8_t>(p.BitsPerSample * p.SamplesPerPixel);

  p.RowsPerStrip = TagCardinals(kTagRowsPerStrip);
  if (p.RowsPerStrip.empty() || p.RowsPerStrip[0] == 0xFFFFFFFFu) p.RowsPerStrip.assign(1, p.Height);
  p.TileWidth = TagValue(kTagTileWidth, 0);
  p.TileLength = TagValue(kTagTileLength, 0);
  if (p.TileWidth && p.TileLength) p.Flags |= pfTiled;

  p.ColorModel = ModelOfPhotometric(TagValue(kTagPhotometric, 0xFFFFFFFFu), samplesPerPixel_, p.Flags);
  const TCardinalArray extra = TagCardinals(kTagExtraSamples);
  p.AlphaPresent =
      !extra.empty() && std::all_of(extra.begin(), extra.end(), [](uint32_t v) { return v <= 2; });
  p.Compression = CompressionOf(TagValue(kTagCompression, 0));
  if (p.ColorModel == cmYCbCr) {
    p.YCbCrSubSampling = TagBytes(kTagYCbCrSubSampling);
    if (p.YCbCrSubSampling.size() < 2) p.YCbCrSubSampling = {2, 2};
    ycbcrPositioning_ = TagValue(kTagYCbCrPositioning, 1);
    ycbcrCoefficients_ = TagFloats(kTagYCbCrCoefficients);
    if (ycbcrCoefficients_.size() < 3) ycbcrCoefficients_ = {0.299f, 0.587f, 0.114f};
  }
  p.JPEGColorMode = 0;
  p.JPEGTablesMode = 3;
  // Contiguous samples unless the file says otherwise: the format's own
  // default, and what a file of one sample per pixel means.
  p.PlanarConfiguration = TagValue(kTagPlanarConfiguration, 1);
  p.XResolution = TagFloat(kTagXResolution, 0);
  p.YResolution = TagFloat(kTagYResolution, 0);
  if (TagValue(kTagResolutionUnit, 2) == 3) {
    p.XResolution *= 2.54f;
    p.YResolution *= 2.54f;
  }
  p.Predictor = static_cast<int32_t>(TagValue(kTagPredictor, 0));
  if (TagValue(kTagFillOrder, 1) == 2) p.Flags |= pfReversedBits;
  return p.Width != 0 && p.Height != 0;
}

// ---------------------------------------------------------------------------
// Loading

namespace {

// How the stored samples reach the bitmap.
struct TSampleLayout {
  TColorModel source = cmUnknown;
  TColorModel target = cmUnknown;
  uint8_t targetCount = 1;
};

// The converter's view of the file's samples; false for layouts that no
// converter takes (the colour manager would refuse them mid-load).
bool LayoutOf(TColorModel model, uint32_t bits, uint32_t samples, TSampleLayout& l) {
  const bool wide = bits == 8 || bits == 16;
  l.source = model;
  switch (model) {
    case cmGray:
      l.source = samples == 2 ? cmGrayAlpha : cmGray;
      l.target = cmGray;
      return samples == 1 || (samples == 2 && wide);
    case cmIndexed:
      // An index with an alpha sample passes as grey with alpha: the grey
      // converter hands the index over and drops the alpha.
      l.source = samples == 2 ? cmGrayAlpha : cmIndexed;
      l.target = cmIndexed;
      return bits <= 8 && (samples == 1 || (samples == 2 && bits == 8));
    case cmRGB:
      l.target = cmBGR;
      l.targetCount = 3;
      return wide && samples == 3;
    case cmRGBA:
      l.target = cmBGRA;
      l.targetCount = 4;
      return wide && samples == 4;
    case cmCMYK:
    case cmCIELab:
    case cmYCbCr:
      l.target = cmBGR;
      l.targetCount = 3;
      return wide && samples == (model == cmCMYK ? 4u : 3u);
    default:
      return false;
  }
}

bool ValidLumaWeights(const TFloatArray& w) {
  return w.size() >= 3 && std::all_of(w.begin(), w.begin() + 3, [](float v) { return v > 0.0f && v < 1.0f; });
}

// The fewest bytes in which a scheme can hold decoded bytes of a plane of
// width x height pixels: a file shorter than that cannot hold the image,
// whatever its strips claim.
uint64_t LeastCodedBytes(TCompressionKind compression, uint64_t decoded, uint32_t width, uint32_t height) {
  switch (compression) {
    case ctNone:
      return decoded;
    case ctPackBits:
      return decoded / TPackbitsRLEDecoder::kMaxExpansion;
    case ctLZ77:
      return decoded / TLZ77Decoder::kMaxExpansion;
    case ctThunderscan:
      return decoded / TThunderDecoder::kMaxExpansion;
    case ctFaxCCITT3:
      // A two-dimensional row the same as the one above: its tag bit and
      // one code.
      return (uint64_t{height} * 2 + 7) / 8;
    case ctFaxRLE:
    case ctFaxRLEW:
      // Rows start on a byte.
      return height;
    case ctJPEG:
      // At the least a bit for every block of 16 x 16 pixels.
      return ((uint64_t{width} + 15) / 16 * ((uint64_t{height} + 15) / 16) + 7) / 8;
    default:
      return 0;
  }
}

}  // namespace

// What the directory says of the load, judged before the bitmap is made.
struct TTIFFGraphic::TLoadPlan {
  uint32_t width = 0, height = 0, bits = 0, samples = 0;
  TCompressionKind compression = ctUnknown;
  TSampleLayout layout;
  bool jpeg = false, fax = false, planar = false, predictor = false, reverse = false;
  uint8_t hSub = 1, vSub = 1;
  bool subsampled = false;
  size_t planes = 1, stripsPerPlane = 0;
  TCardinalArray offsets, byteCounts;
  // Bytes of one stored row (all samples), of one row of a plane, and of the
  // unit in which a strip holds its rows: a row, or with subsampled chroma a
  // band of vSub rows of blocks of hSub x vSub luma samples and one Cb, one
  // Cr.
  uint64_t rowBytes = 0, planeRowBytes = 0, unitBytes = 0;
  uint32_t rowsPerUnit = 1;
};

TTIFFGraphic::TLoadPlan TTIFFGraphic::PlanLoad() {
  TImageProperties& p = ImageProperties;
  // Tiles are recognised, not read: an empty page in their place would pass
  // for a loaded image.
  if (p.Flags & pfTiled) RaiseInvalidGraphicFmt(SUnsupportedFeature, {STiledImages, kFormatName});
  TLoadPlan plan;
  plan.width = p.Width;
  plan.height = p.Height;
  plan.bits = bitsPerSample_;
  plan.samples = samplesPerPixel_;
  plan.compression = p.Compression;
  plan.jpeg = plan.compression == ctJPEG;
  plan.fax = IsFax(plan.compression);
  plan.planar = p.PlanarConfiguration == 2 && plan.samples > 1;
  const uint32_t bits = plan.bits, samples = plan.samples;

  const bool bitsValid =
      (bits == 1 || bits == 2 || bits == 4 || bits == 8 || bits == 16) && !sampleBitsDiffer_;
  if (!bitsValid || !LayoutOf(p.ColorModel, bits, samples, plan.layout) || (plan.planar && bits < 8) ||
      (plan.fax && (bits != 1 || samples != 1)) ||
      (plan.compression == ctThunderscan && (bits != 4 || samples != 1)))
    RaiseInvalidGraphicFmt(SInvalidColorFormat, {kFormatName});
  // libjpeg hands YCbCr over as red, green, blue; separate planes it hands
  // over as stored, for the colour manager to convert.
  if (plan.jpeg && !plan.planar && plan.layout.source == cmYCbCr) plan.layout.source = cmRGB;

  if (plan.layout.source == cmYCbCr) {
    plan.hSub = p.YCbCrSubSampling[0];
    plan.vSub = p.YCbCrSubSampling[1];
    const bool sub = plan.hSub != 1 || plan.vSub != 1;
    auto valid = [](uint8_t v) { return v == 1 || v == 2 || v == 4; };
    // Separate planes of subsampled chroma would need each plane at its own
    // size; no file in use is written that way.
    if (plan.planar && sub)
      RaiseInvalidGraphicFmt(SUnsupportedFeature, {SSubsampledYCbCrPlanes, kFormatName});
    if (!valid(plan.hSub) || !valid(plan.vSub) || (bits != 8 && sub))
      RaiseInvalidGraphicFmt(SUnsupportedFeature, {SSubsampledYCbCr, kFormatName});
  }
  plan.subsampled = plan.hSub != 1 || plan.vSub != 1;

  switch (plan.compression) {
    case ctNone:
    case ctPackBits:
    case ctFaxCCITT3:
    case ctFaxRLE:
    case ctFaxRLEW:
    case ctLZ77:
    case ctJPEG:
    case ctThunderscan:
      break;
    default:
      RaiseInvalidGraphicFmt(SUnsupportedFeature, {SCompressionScheme, kFormatName});
  }
  // Differencing runs on whole samples of 8 or 16 bits; other predictors
  // (floating point) would leave the differences in the picture.
  const bool coded = plan.compression != ctNone;
  plan.predictor = coded && p.Predictor == 2;
  if (coded && p.Predictor > 2) RaiseInvalidGraphicFmt(SUnsupportedFeature, {SPredictorScheme, kFormatName});
  if (plan.predictor && (bits < 8 || plan.subsampled || plan.jpeg))
    RaiseInvalidGraphicFmt(SUnsupportedFeature, {SPredictorScheme, kFormatName});
  plan.reverse = (p.Flags & pfReversedBits) && !plan.fax;

  plan.offsets = TagCardinals(kTagStripOffsets);
  plan.byteCounts = TagCardinals(kTagStripByteCounts);
  plan.planes = plan.planar ? samples : 1;
  plan.stripsPerPlane = plan.offsets.size() / plan.planes;
  if (plan.stripsPerPlane == 0) RaiseInvalidGraphicFmt(SInvalidImage, {kFormatName});

  const uint32_t width = plan.width;
  plan.rowBytes = (uint64_t{bits} * samples * width + 7) / 8;
  plan.planeRowBytes = plan.planar ? (uint64_t{bits} * width + 7) / 8 : plan.rowBytes;
  const uint64_t blocksAcross = (uint64_t{width} + plan.hSub - 1) / plan.hSub;
  plan.unitBytes =
      plan.subsampled ? blocksAcross * (uint64_t{plan.hSub} * plan.vSub + 2) : plan.planeRowBytes;
  plan.rowsPerUnit = plan.subsampled ? plan.vSub : 1;
  if (plan.rowBytes > UINT32_MAX || plan.unitBytes > UINT32_MAX)
    RaiseInvalidGraphicFmt(SImageTooLarge, {kFormatName, width, plan.height});
  p.RowBytes = static_cast<uint32_t>(plan.rowBytes);
  return plan;
}

std::unique_ptr<TDecoder> TTIFFGraphic::MakeDecoder(const TLoadPlan& plan) {
  TImageProperties& p = ImageProperties;
  const bool reversed = (p.Flags & pfReversedBits) != 0;
  switch (plan.compression) {
    case ctPackBits:
      return std::make_unique<TPackbitsRLEDecoder>();
    case ctFaxCCITT3:
      return std::make_unique<TCCITTFax3Decoder>(TagValue(kTagT4Options, 0), plan.width, false, reversed);
    case ctFaxRLE:
    case ctFaxRLEW:
      return std::make_unique<TCCITTMHDecoder>(TagValue(kTagT4Options, 0), plan.width,
                                               plan.compression == ctFaxRLEW, reversed);
    case ctLZ77:
      return std::make_unique<TLZ77Decoder>(1, true);
    case ctJPEG: {
      p.JPEGTables = TagBytes(kTagJPEGTables);
      auto d = std::make_unique<TTIFFJPEGDecoder>(p);
      d->OnWarning = [this](const std::string& message) { Warn(message); };
      return d;
    }
    case ctThunderscan:
      return std::make_unique<TThunderDecoder>(
          static_cast<int32_t>(std::min<uint32_t>(plan.width, INT32_MAX)));
    default:
      return nullptr;
  }
}

void TTIFFGraphic::SetUpColours(const TLoadPlan& plan) {
  const TImageProperties& p = ImageProperties;
  const TSampleLayout& layout = plan.layout;
  TColorManager& cm = ColorManager();
  if (layout.target == cmIndexed) {
    size_t index = 0;
    if (!FindTag(kTagColorMap, index) || directory_[index].DataType != kTypeShort ||
        directory_[index].Count < 3)
      RaiseInvalidGraphicFmt(SInvalidPalette, {kFormatName});
    // Three planes of 16-bit values; a map of any other size gives the
    // entries it has (the palette is black beyond them).
    const std::vector<uint8_t> map = EntryBytes(directory_[index]);
    const size_t n = directory_[index].Count / 3;
    const std::span<const uint8_t> all(map);
    const std::array<TRowPlane, 3> rgb{all.subspan(0, 2 * n), all.subspan(2 * n, 2 * n),
                                       all.subspan(4 * n, 2 * n)};
    SetPalette(cm.MakePaletteFromColormap(rgb, cml16Planar3, static_cast<uint32_t>(n), false));
  } else if (layout.target == cmGray) {
    SetPalette(cm.MakeGrayPalette((p.Flags & pfMinimumIsWhite) != 0));
  } else if (layout.source == cmYCbCr) {
    // Weights outside (0, 1) would divide by zero in the chroma tables.
    const TFloatArray weights =
        ValidLumaWeights(ycbcrCoefficients_) ? ycbcrCoefficients_ : TFloatArray{0.299f, 0.587f, 0.114f};
    cm.ConfigureYCbCr(weights, std::max(plan.hSub, plan.vSub), std::min(plan.hSub, plan.vSub));
  }
}

void TTIFFGraphic::ReadStrip(const TLoadPlan& plan, TDecoder* decoder, size_t index,
                             std::vector<uint8_t>& block, std::vector<uint8_t>& encoded) {
  rtl::TStream& stream = *stream_;
  const uint64_t fileBytes = static_cast<uint64_t>(std::max<int64_t>(stream.Size() - basePosition_, 0));
  const uint64_t at = plan.offsets[index];
  const uint64_t available = at < fileBytes ? fileBytes - at : 0;
  stream.SetPosition(basePosition_ + static_cast<int64_t>(std::min<uint64_t>(at, INT64_MAX / 2)));
  if (!decoder) {
    ReadExact(stream, block.data(), block.size(), kFormatName);
    if (plan.reverse) ReverseBits(block);
    return;
  }
  if (index >= plan.byteCounts.size()) RaiseInvalidGraphicFmt(SInvalidImage, {kFormatName});
  CheckDataLeft(plan.byteCounts[index], available, kFormatName);
  encoded.resize(plan.byteCounts[index]);
  ReadExact(stream, encoded.data(), encoded.size(), kFormatName);
  if (plan.reverse) ReverseBits(encoded);
  const TDecodeResult r = decoder->DecodeBlock(encoded, block);
  // A fax strip keeps what it has (the rows it lost stay white) and a cut
  // JPEG strip has been reported; other schemes that come up short or fail
  // have lost pixels without a trace.
  if (r.status != dsComplete && !plan.fax && !plan.jpeg)
    RaiseInvalidGraphicFmt(SCompressionError, {kFormatName});
}

// One stored row of a band of subsampled YCbCr as interleaved Y, Cb, Cr.
void TTIFFGraphic::AssembleSubsampledRow(const TLoadPlan& plan, const uint8_t* unit, uint32_t sub,
                                         std::span<uint8_t> row) const {
  const size_t blockSize = size_t{plan.hSub} * plan.vSub + 2;
  for (uint32_t x = 0; x < plan.width; ++x) {
    const uint8_t* b = unit + (x / plan.hSub) * blockSize;
    row[3 * size_t{x}] = b[sub * plan.hSub + x % plan.hSub];
    row[3 * size_t{x} + 1] = b[blockSize - 2];
    row[3 * size_t{x} + 2] = b[blockSize - 1];
  }
}

// The rows of separate planes put together into the contiguous row the
// converters take.
void TTIFFGraphic::AssemblePlanarRow(const TLoadPlan& plan, const std::vector<std::vector<uint8_t>>& blocks,
                                     uint64_t offset, std::span<uint8_t> row) const {
  const size_t sampleBytes = plan.bits / 8;
  for (size_t plane = 0; plane < plan.planes; ++plane) {
    const uint8_t* src = blocks[plane].data() + offset;
    for (uint32_t x = 0; x < plan.width; ++x)
      std::memcpy(&row[(size_t{x} * plan.samples + plane) * sampleBytes], src + size_t{x} * sampleBytes,
                  sampleBytes);
  }
}

void TTIFFGraphic::UndoPredictor(const TLoadPlan& plan, std::span<uint8_t> row) const {
  const size_t distance = plan.planar ? 1 : plan.samples;
  if (plan.bits == 16)
    UndoPredictor16(row, plan.width - 1, distance, BigEndian());
  else
    UndoPredictorN(row, plan.width - 1, distance);
}

void TTIFFGraphic::LoadFromStream(rtl::TStream& stream) {
  BeginLoad(stream);
  struct TRelease {
    rtl::TStream*& slot;
    ~TRelease() { slot = nullptr; }
  } release{stream_};

  if (!ReadProperties(stream, 0)) RaiseInvalidGraphicFmt(SInvalidImage, {kFormatName});
  TImageProperties& p = ImageProperties;
  const TLoadPlan plan = PlanLoad();
  const uint32_t width = plan.width, height = plan.height;
  std::unique_ptr<TDecoder> decoder = MakeDecoder(plan);

  StartProgress(SPreparing, 0);
  bool started = false;
  try {
    TColorManager& cm = ColorManager();
    cm.SourceFlags = BigEndian() ? cfSwapBytes : 0;
    cm.TargetFlags = 0;
    cm.SetSourceSampleBits(static_cast<uint8_t>(plan.bits));
    // A bitmap has no 2-bit format: such samples are spread into 4-bit
    // fields (and the palette with them); 16-bit samples are cut to 8.
    cm.SetTargetSampleBits(static_cast<uint8_t>(plan.bits == 16 ? 8 : plan.bits == 2 ? 4 : plan.bits));
    cm.SetSourceModel(plan.layout.source);
    cm.SetTargetModel(plan.layout.target);
    cm.SetSourceSampleCount(static_cast<uint8_t>(plan.samples));
    cm.SetTargetSampleCount(plan.layout.targetCount);
    if (plan.layout.source == cmCIELab) cm.SourceFlags |= cfLabByteRange;
    // The strips may lie anywhere in the file: every plane's data must fit
    // in it, at the most its scheme expands.
    const uint64_t planeBytes = SaturatingProduct(plan.planar ? plan.planeRowBytes : plan.rowBytes, height);
    const uint64_t least =
        SaturatingProduct(LeastCodedBytes(plan.compression, planeBytes, width, height), plan.planes);
    const uint64_t fileBytes = static_cast<uint64_t>(std::max<int64_t>(stream.Size() - basePosition_, 0));
    PrepareImage(width, height, cm.ChoosePixelFormat(true), kFormatName, {least, fileBytes});
    SetUpColours(plan);
    progressRect_ = graphics::Rect(0, 0, static_cast<int32_t>(width), 1);

    EndProgress();
    StartProgress(STransfering, static_cast<int32_t>(width));
    if (decoder) decoder->StartDecoding();
    started = true;
    p.RowIndex = 0;
    p.StripIndex = 0;
    p.StripCount = static_cast<int32_t>(std::min<size_t>(plan.offsets.size(), INT32_MAX));

    std::vector<std::vector<uint8_t>> blocks(plan.planes);
    std::vector<uint8_t> encoded,
        interleaved(plan.planar || plan.subsampled ? static_cast<size_t>(plan.rowBytes) : 0);
    if (plan.subsampled) interleaved.resize(3 * size_t{width});

    for (size_t strip = 0; p.RowIndex < height; ++strip) {
      // Strips that end before the image does leave rows that nothing
      // fills: the file is short.
      if (strip >= plan.stripsPerPlane) RaiseInvalidGraphicFmt(SStreamReadError, {kFormatName});
      const uint32_t stored = p.RowsPerStrip[std::min(strip, p.RowsPerStrip.size() - 1)];
      if (stored == 0) RaiseInvalidGraphicFmt(SInvalidImage, {kFormatName});
      const uint32_t rows = std::min(stored, height - p.RowIndex);
      const uint64_t units = (uint64_t{rows} + plan.rowsPerUnit - 1) / plan.rowsPerUnit;
      for (size_t plane = 0; plane < plan.planes; ++plane) {
        const size_t index = plane * plan.stripsPerPlane + strip;
        p.StripIndex = static_cast<int32_t>(std::min<size_t>(index, INT32_MAX));
        blocks[plane].assign(static_cast<size_t>(units * plan.unitBytes), 0);
        ReadStrip(plan, decoder.get(), index, blocks[plane], encoded);
      }

      uint32_t done = 0;
      for (uint64_t unit = 0; unit < units; ++unit) {
        const uint64_t offset = unit * plan.unitBytes;
        for (uint32_t sub = 0; sub < plan.rowsPerUnit && done < rows; ++sub, ++done) {
          std::span<uint8_t> row;
          if (plan.subsampled) {
            AssembleSubsampledRow(plan, blocks[0].data() + offset, sub, interleaved);
            row = interleaved;
          } else {
            for (std::vector<uint8_t>& block : blocks) {
              row = std::span<uint8_t>(block).subspan(static_cast<size_t>(offset),
                                                      static_cast<size_t>(plan.unitBytes));
              if (plan.predictor) UndoPredictor(plan, row);
            }
            if (plan.planar) {
              AssemblePlanarRow(plan, blocks, offset, interleaved);
              row = interleaved;
            }
          }
          cm.ConvertRow(
              row, std::span<uint8_t>(ScanLine(static_cast<int>(p.RowIndex)), static_cast<size_t>(Stride())),
              width);
          ++p.RowIndex;
          RowProgress(p.RowIndex, height);
        }
      }
    }
  } catch (...) {
    EndProgress();
    if (started && decoder) decoder->FinishDecoding();
    throw;
  }
  EndProgress();
  if (decoder) decoder->FinishDecoding();
}

}  // namespace imaging
