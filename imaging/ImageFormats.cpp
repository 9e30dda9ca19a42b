#include "imaging/ImageFormats.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "imaging/AutodeskGraphic.h"
#include "imaging/CUTGraphic.h"
#include "imaging/EPSGraphic.h"
#include "imaging/PCDGraphic.h"
#include "imaging/PCXGraphic.h"
#include "imaging/PNGGraphic.h"
#include "imaging/PPMGraphic.h"
#include "imaging/PSDGraphic.h"
#include "imaging/PSPGraphic.h"
#include "imaging/RLAGraphic.h"
#include "imaging/SGIGraphic.h"
#include "imaging/TIFFGraphic.h"
#include "imaging/TargaGraphic.h"
#include "platform/graphics/Jpeg.h"

namespace imaging {

namespace {

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

// ---------------------------------------------------------------------------
// Class records

bool TRasterGraphicClassInfo::CanReadStream(rtl::TStream& stream) const {
  if (!CanReadStreamFn) return false;
  const int64_t at = stream.Position();
  bool result = false;
  try {
    result = CanReadStreamFn(stream);
  } catch (const rtl::Exception&) {
    // A header test answers; a stream that fails under it is not readable.
    result = false;
  }
  stream.SetPosition(at);
  return result;
}

bool TRasterGraphicClassInfo::CanReadFile(const std::string& fileName) const {
  rtl::TFileStream stream(fileName, rtl::fmOpenRead | rtl::fmShareDenyWrite);
  return CanReadStream(stream);
}

// ---------------------------------------------------------------------------
// TRasterGraphic

TRasterGraphic::TRasterGraphic() : colorManager_(std::make_unique<TColorManager>()) {}

TRasterGraphic::~TRasterGraphic() = default;

graphics::TGraphicClass TRasterGraphic::StaticClass() {
  static const TRasterGraphicClassInfo info{{"TRasterGraphic", graphics::TBitmap::StaticClass(), nullptr},
                                            &TRasterGraphic::CanReadStream};
  return &info;
}

void TRasterGraphic::Assign(const graphics::TGraphic& source) {
  if (&source == this) return;
  if (const auto* raster = dynamic_cast<const TRasterGraphic*>(&source))
    ImageProperties = raster->ImageProperties;
  graphics::TBitmap::Assign(source);
}

bool TRasterGraphic::CanReadStream(rtl::TStream&) {
  return false;
}

bool TRasterGraphic::ReadProperties(rtl::TStream&, int) {
  ImageProperties.Clear();
  ImageProperties.Gamma = 1.0f;
  return false;
}

void TRasterGraphic::PrepareImage(uint32_t width, uint32_t height, graphics::TPixelFormat format,
                                  const char* formatName, const TImageData& data) {
  if (width == 0 || height == 0) RaiseInvalidGraphicFmt(SInvalidImage, {formatName});
  CheckDataLeft(data.least, data.available, data.readErrorName ? data.readErrorName : formatName);
  const int bits = graphics::BitsPerPixel(format);
  if (bits == 0) RaiseInvalidGraphicFmt(SInvalidColorFormat, {formatName});
  // Rows are padded to 4 bytes; 32-bit sizes times 32 bits cannot overflow
  // 64 bits, and the product is compared by division.
  const uint64_t stride = (static_cast<uint64_t>(width) * static_cast<uint64_t>(bits) + 31) / 32 * 4;
  const uint64_t limit =
      static_cast<uint64_t>(std::min(kMaxImageBytes, graphics::TBitmap::PixelMemoryLimit()));
  if (width > static_cast<uint32_t>(INT32_MAX) || height > static_cast<uint32_t>(INT32_MAX) ||
      stride > limit / height)
    RaiseInvalidGraphicFmt(SImageTooLarge, {formatName, width, height});
  SetSize(0, 0);
  SetPixelFormat(format);
  SetSize(static_cast<int>(width), static_cast<int>(height));
}

void TRasterGraphic::BeginLoad(rtl::TStream& stream) {
  SetSize(0, 0);
  basePosition_ = stream.Position();
  stream_ = &stream;
}

void TRasterGraphic::BeginLoad(rtl::TStream& stream, const char* formatName) {
  BeginLoad(stream);
  if (!ReadProperties(stream, 0)) RaiseInvalidGraphicFmt(SInvalidImage, {formatName});
}

void TRasterGraphic::CheckDataLeft(uint64_t needed, uint64_t available, const char* formatName) {
  if (needed > available) RaiseInvalidGraphicFmt(SStreamReadError, {formatName});
}

uint64_t TRasterGraphic::BytesLeft(rtl::TStream& stream) {
  const int64_t left = stream.Size() - stream.Position();
  return left > 0 ? static_cast<uint64_t>(left) : 0;
}

bool TRasterGraphic::PeekHeader(rtl::TStream& stream, void* buffer, uint64_t count) {
  const int64_t at = stream.Position();
  if (BytesLeft(stream) <= count) return false;
  const int64_t got = stream.Read(buffer, static_cast<int64_t>(count));
  stream.SetPosition(at);
  return got == static_cast<int64_t>(count);
}

void TRasterGraphic::ReadExact(rtl::TStream& stream, void* buffer, uint64_t count, const char* formatName) {
  CheckDataLeft(count, BytesLeft(stream), formatName);
  if (count && stream.Read(buffer, static_cast<int64_t>(count)) != static_cast<int64_t>(count))
    RaiseInvalidGraphicFmt(SStreamReadError, {formatName});
}

void TRasterGraphic::StartProgress(const char* message, int32_t width) {
  progressRect_ = graphics::Rect(0, 0, width, 1);
  Progress(graphics::psStarting, 0, false, progressRect_, message);
}

void TRasterGraphic::RowProgress(uint32_t row, uint32_t rowCount) {
  const auto percent = static_cast<uint8_t>(rowCount ? static_cast<uint64_t>(row) * 100 / rowCount : 0);
  Progress(graphics::psRunning, percent, true, progressRect_, "");
  progressRect_.Top += 1;
  progressRect_.Bottom += 1;
}

void TRasterGraphic::EndProgress() {
  Progress(graphics::psEnding, 0, false, progressRect_, "");
}

// ---------------------------------------------------------------------------
// TFileFormatList

TFileFormatList::~TFileFormatList() {
  Clear();
}

void TFileFormatList::Clear() {
  for (const auto& c : classes_) graphics::TPicture::UnregisterGraphicClass(c->GraphicClass);
  classes_.clear();
  extensions_.clear();
}

int TFileFormatList::IndexOfExtension(const std::string& extension) const {
  if (extension.empty()) return -1;
  for (size_t i = 0; i < extensions_.size(); ++i)
    if (SameText(extensions_[i]->Extension, extension)) return static_cast<int>(i);
  return -1;
}

int TFileFormatList::IndexOfClass(graphics::TGraphicClass graphicClass) const {
  for (size_t i = 0; i < classes_.size(); ++i)
    if (classes_[i]->GraphicClass == graphicClass) return static_cast<int>(i);
  return -1;
}

graphics::TGraphicClass TFileFormatList::FindClassByContent(const std::string& fileName) const {
  rtl::TFileStream stream(fileName, rtl::fmOpenRead | rtl::fmShareDenyWrite);
  return FindClassByStream(stream);
}

graphics::TGraphicClass TFileFormatList::FindClassByStream(rtl::TStream& stream) const {
  const graphics::TGraphicClass raster = TRasterGraphic::StaticClass();
  for (const auto& c : classes_) {
    if (!c->GraphicClass->InheritsFrom(raster)) continue;  // the toolkit's own classes
    const auto* info = static_cast<const TRasterGraphicClassInfo*>(c->GraphicClass);
    if (info->CanReadStream(stream)) return c->GraphicClass;
  }
  return nullptr;
}

TFileFormatList::TClassEntry* TFileFormatList::AttachClass(graphics::TGraphicClass graphicClass,
                                                           const std::string& commonDescription) {
  int index = IndexOfClass(graphicClass);
  TClassEntry* entry;
  if (index < 0) {
    classes_.push_back(std::make_unique<TClassEntry>());
    entry = classes_.back().get();
    entry->GraphicClass = graphicClass;
  } else {
    entry = classes_[static_cast<size_t>(index)].get();
  }
  if (!commonDescription.empty()) entry->Description = commonDescription;
  ++entry->Count;
  return entry;
}

void TFileFormatList::DropClassEntry(TClassEntry* entry) {
  graphics::TPicture::UnregisterGraphicClass(entry->GraphicClass);
  std::erase_if(classes_, [&](const std::unique_ptr<TClassEntry>& c) { return c.get() == entry; });
}

void TFileFormatList::AddFileFormat(const std::string& extension, const std::string& commonDescription,
                                    const std::string& individualDescription, TFileKinds fileKinds,
                                    bool replace, graphics::TGraphicClass graphicClass) {
  if (extension.empty() || !graphicClass) return;
  const int index = IndexOfExtension(extension);
  TExtensionEntry* ext;
  if (index < 0) {
    auto e = std::make_unique<TExtensionEntry>();
    e->Extension = extension;
    e->Description = individualDescription;
    e->FileKinds = fileKinds;
    e->ClassEntry = AttachClass(graphicClass, commonDescription);
    extensions_.push_back(std::move(e));
    ext = extensions_.back().get();
  } else {
    if (!replace) RaiseInvalidGraphicFmt(SDuplicateRegistration, {extension});
    ext = extensions_[static_cast<size_t>(index)].get();
    if (ext->ClassEntry->GraphicClass != graphicClass) {
      TClassEntry* old = ext->ClassEntry;
      ext->ClassEntry = AttachClass(graphicClass, commonDescription);
      if (--old->Count == 0) {
        // Only the entry goes: the class's other registrations in the picture
        // registry were replaced already or never existed.
        std::erase_if(classes_, [&](const std::unique_ptr<TClassEntry>& c) { return c.get() == old; });
      }
    }
  }
  graphics::TPicture::RegisterFileFormat(
      ext->Extension, ext->Description.empty() ? ext->ClassEntry->Description : ext->Description,
      graphicClass);
}

void TFileFormatList::RemoveFileFormat(const std::string& extension, graphics::TGraphicClass graphicClass) {
  if (!extension.empty()) {
    const int index = IndexOfExtension(extension);
    if (index < 0) return;
    TClassEntry* entry = extensions_[static_cast<size_t>(index)]->ClassEntry;
    extensions_.erase(extensions_.begin() + index);
    if (--entry->Count <= 0) DropClassEntry(entry);
    return;
  }
  const int classIndex = IndexOfClass(graphicClass);
  if (classIndex < 0) return;
  TClassEntry* entry = classes_[static_cast<size_t>(classIndex)].get();
  for (size_t i = extensions_.size(); i-- > 0 && entry->Count > 0;) {
    if (extensions_[i]->ClassEntry != entry) continue;
    --entry->Count;
    extensions_.erase(extensions_.begin() + static_cast<std::ptrdiff_t>(i));
  }
  DropClassEntry(entry);
}

// ---------------------------------------------------------------------------
// The registration table, in the order in which the content tests run.
// Each reader adds its rows at its place in the table.

namespace {

struct TRegistration {
  const char* extension;
  const char* commonDescription;
  const char* individualDescription;
  graphics::TGraphicClass (*graphicClass)();
  TFileKinds kinds;
};

const TRegistration kRegistrations[] = {
    {"bmp", SDescWindowsBitmaps, "", &graphics::TBitmap::StaticClass, fkRaster},
    {"ico", SDescWindowsIcons, "", &graphics::TIcon::StaticClass, fkRaster},
    {"wmf", SDescWindowsMetafiles, "", &graphics::TMetafile::StaticClass, fkVector},
    {"emf", SDescWindowsMetafiles, SDescEnhancedMetafiles, &graphics::TMetafile::StaticClass, fkVector},
    {"jfif", SDescJPGImages, SDescJFIFImages, &graphics::TJPEGImage::StaticClass, fkRaster},
    {"jpg", "", SDescJPGImages, &graphics::TJPEGImage::StaticClass, fkRaster},
    {"jpe", "", SDescJPEImages, &graphics::TJPEGImage::StaticClass, fkRaster},
    {"jpeg", "", SDescJPEGImages, &graphics::TJPEGImage::StaticClass, fkRaster},
    {"rle", SDescWindowsBitmaps, SDescRLEBitmaps, &graphics::TBitmap::StaticClass, fkRaster},
    {"dib", "", SDescDIBBitmaps, &graphics::TBitmap::StaticClass, fkRaster},
    {"win", SDescTruevisionImages, "", &TTargaGraphic::StaticClass, fkRaster},
    {"vst", "", "", &TTargaGraphic::StaticClass, fkRaster},
    {"vda", "", "", &TTargaGraphic::StaticClass, fkRaster},
    {"tga", "", "", &TTargaGraphic::StaticClass, fkRaster},
    {"icb", "", "", &TTargaGraphic::StaticClass, fkRaster},
    {"tiff", SDescTIFFImages, SDescMacTIFFImages, &TTIFFGraphic::StaticClass, fkMultiImage | fkRaster},
    {"tif", "", SDescPCTIFImages, &TTIFFGraphic::StaticClass, fkMultiImage | fkRaster},
    {"fax", "", SDescFaxImages, &TTIFFGraphic::StaticClass, fkMultiImage | fkRaster},
    {"eps", SDescEPSImages, "", &TEPSGraphic::StaticClass, fkRaster},
    {"pcx", SDescPCXImages, "", &TPCXGraphic::StaticClass, fkRaster},
    {"pcc", "", "", &TPCXGraphic::StaticClass, fkRaster},
    {"scr", "", SDescScreenCaptureImages, &TPCXGraphic::StaticClass, fkRaster},
    {"rpf", SDescRLAImages, "", &TRLAGraphic::StaticClass, fkRaster},
    {"rla", "", "", &TRLAGraphic::StaticClass, fkRaster},
    {"sgi", SDescSGIImages, SDescSGITrueColorImages, &TSGIGraphic::StaticClass, fkRaster},
    {"rgba", "", SDescSGITrueColorAlphaImages, &TSGIGraphic::StaticClass, fkRaster},
    {"rgb", "", SDescSGITrueColorImages, &TSGIGraphic::StaticClass, fkRaster},
    {"bw", "", SDescSGIMonoImages, &TSGIGraphic::StaticClass, fkRaster},
    {"psd", SDescPhotoshopImages, "", &TPSDGraphic::StaticClass, fkLayered | fkRaster},
    {"pdd", "", "", &TPSDGraphic::StaticClass, fkLayered | fkRaster},
    {"ppm", SDescPortableMapImages, SDescPortablePixelmapImages, &TPPMGraphic::StaticClass, fkRaster},
    {"pgm", "", SDescPortableGraymapImages, &TPPMGraphic::StaticClass, fkRaster},
    {"pbm", "", SDescPortableBitmapImages, &TPPMGraphic::StaticClass, fkRaster},
    {"cel", SDescAutodeskImages, "", &TAutodeskGraphic::StaticClass, fkRaster},
    {"pic", SDescAutodeskImages, "", &TAutodeskGraphic::StaticClass, fkRaster},
    {"pcd", SDescPhotoCDImages, "", &TPCDGraphic::StaticClass, fkRaster},
    {"cut", SDescHaloImages, "", &TCUTGraphic::StaticClass, fkRaster},
    {"psp", SDescPaintshopProImages, "", &TPSPGraphic::StaticClass, fkRaster | fkVector},
    {"png", SDescPNGImages, "", &TPNGGraphic::StaticClass, fkRaster},
};

// Keeps the registry alive from start-up: linking this unit registers the
// formats with the picture registry before main runs.
const bool kRegisteredAtStartUp = (FileFormats(), true);

}  // namespace

void RegisterStandardFormats(TFileFormatList& list) {
  for (const TRegistration& r : kRegistrations)
    list.AddFileFormat(r.extension, r.commonDescription, r.individualDescription, r.kinds, false,
                       r.graphicClass());
}

TFileFormatList& FileFormats() {
  static TFileFormatList list;
  static const bool filled = (RegisterStandardFormats(list), true);
  (void)filled;
  (void)kRegisteredAtStartUp;
  return list;
}

// ---------------------------------------------------------------------------
// Shared routines

void RaiseInvalidGraphic(const std::string& message) {
  throw EInvalidGraphic(message);
}

void RaiseInvalidGraphicFmt(const std::string& pattern, std::initializer_list<rtl::TVarRec> args) {
  throw EInvalidGraphic(rtl::Format(pattern, args));
}

void SwapWords(std::span<uint8_t> values, size_t count) {
  count = std::min(count, values.size() / 2);
  for (size_t i = 0; i < count; ++i) std::swap(values[2 * i], values[2 * i + 1]);
}

void SwapLongs(std::span<uint8_t> values, size_t count) {
  count = std::min(count, values.size() / 4);
  for (size_t i = 0; i < count; ++i) {
    uint8_t* p = values.data() + 4 * i;
    std::swap(p[0], p[3]);
    std::swap(p[1], p[2]);
  }
}

uint32_t SwapLong(uint32_t value) {
  return (value >> 24) | ((value >> 8) & 0xFF00u) | ((value << 8) & 0xFF0000u) | (value << 24);
}

void UndoPredictorN(std::span<uint8_t> row, size_t count, size_t distance) {
  if (row.size() <= distance) return;
  const size_t n = std::min(count * distance, row.size() - distance);
  for (size_t i = 0; i < n; ++i) row[i + distance] = static_cast<uint8_t>(row[i + distance] + row[i]);
}

void UndoPredictor1(std::span<uint8_t> row, size_t count) {
  UndoPredictorN(row, count, 1);
}
void UndoPredictor3(std::span<uint8_t> row, size_t count) {
  UndoPredictorN(row, count, 3);
}
void UndoPredictor4(std::span<uint8_t> row, size_t count) {
  UndoPredictorN(row, count, 4);
}

void Upsample2x(uint32_t width, uint32_t height, size_t rowStride, std::span<uint8_t> plane) {
  if (width == 0 || height == 0) return;
  const uint64_t w2 = 2 * static_cast<uint64_t>(width);
  const uint64_t h2 = 2 * static_cast<uint64_t>(height);
  if (rowStride < w2 || plane.size() / rowStride < h2 - 1 || plane.size() - (h2 - 1) * rowStride < w2)
    RaiseInvalidGraphic("Upsampling needs a plane of twice the size");
  uint8_t* p = plane.data();
  const size_t W = width;

  // Widen every row into its even row, last row first and each row from its
  // last column down, so that nothing is overwritten before it is read.
  for (size_t r = height; r-- > 0;) {
    const uint8_t* src = p + r * rowStride;
    uint8_t* dst = p + 2 * r * rowStride;
    const uint8_t last = src[W - 1];
    dst[2 * (W - 1)] = last;
    dst[2 * (W - 1) + 1] = last;
    for (size_t x = W - 1; x-- > 0;) {
      const uint8_t a = src[x], b = src[x + 1];
      dst[2 * x] = a;
      dst[2 * x + 1] = static_cast<uint8_t>((a + b + 1) / 2);
    }
  }
  // Odd rows between two even ones.
  for (size_t k = 0; k + 1 < height; ++k) {
    const uint8_t* A = p + 2 * k * rowStride;
    uint8_t* B = p + (2 * k + 1) * rowStride;
    const uint8_t* C = p + (2 * k + 2) * rowStride;
    for (size_t x = 0; x + 1 < W; ++x) {
      B[2 * x] = static_cast<uint8_t>((A[2 * x] + C[2 * x] + 1) / 2);
      B[2 * x + 1] = static_cast<uint8_t>((A[2 * x] + A[2 * x + 2] + C[2 * x] + C[2 * x + 2] + 2) / 4);
    }
    B[2 * W - 2] = static_cast<uint8_t>((A[2 * W - 2] + C[2 * W - 2] + 1) / 2);
    B[2 * W - 1] = static_cast<uint8_t>((A[2 * W - 1] + C[2 * W - 2] + 1) / 2);
  }
  // The last row repeats the one above it.
  std::copy_n(p + (h2 - 2) * rowStride, w2, p + (h2 - 1) * rowStride);
}

}  // namespace imaging
