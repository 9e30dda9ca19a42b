// The colour manager: the row converter through which every format reader of
// the image library passes its pixel rows.
//
// A reader describes the source (model, bits per sample, samples per pixel,
// flags) and the target bitmap row, then hands rows over one at a time. The
// manager picks a converter, specialised on the depths and flags, once per
// settings change and runs it per row: the converter pushes tens of megabytes
// per page through it, so nothing is decided per pixel.
//
// Rows are spans: every plane and the target carry their length, and a row
// that does not fit the chosen layout raises instead of running off the end.
// Each image object owns one manager; it is not shared between threads.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/graphics/Graphics.h"
#include "platform/rtl/SysUtils.h"

namespace imaging {

// The run-time root under a plain name, so that RTL_DECLARE_EXCEPTION can
// inherit its constructor.
using Exception = rtl::Exception;
RTL_DECLARE_EXCEPTION(EColorConversionError, Exception);

// Stored in the image-properties record of every reader: keep the codes.
enum TColorModel : uint8_t {
  cmUnknown = 0,
  cmIndexed = 1,
  cmGray = 2,
  cmGrayAlpha = 3,
  cmRGB = 4,
  cmRGBA = 5,
  cmBGR = 6,  // the bitmap's own order
  cmBGRA = 7,
  cmCMY = 8,  // no converter exists
  cmCMYK = 9,
  cmCIELab = 10,
  cmYCbCr = 11,
  cmPhotoYCC = 12,
};

// A byte of flags per side.
using TColorFlags = uint8_t;
enum : TColorFlags {
  cfAlpha = 1,            // both sides; derived from the model at selection
  cfGamma = 2,            // target: colour samples pass the gamma table
  cfSwapBytes = 4,        // source: 16-bit samples are big-endian
  cfLabByteRange = 8,     // source: L* stored 0..255
  cfLabChromaOffset = 16  // source: a*, b* stored unsigned with 128 as zero
};

enum TColormapLayout : uint8_t {
  cml8Interleaved3 = 0,
  cml8Interleaved4 = 1,
  cml8Planar3 = 2,
  cml8Planar4 = 3,
  cml16Interleaved3 = 4,
  cml16Interleaved4 = 5,
  cml16Planar3 = 6,
  cml16Planar4 = 7,
};

// Message texts.
inline constexpr const char* SIndexedNotSupported =
    "Conversion between indexed and non-indexed pixel formats is not supported.";
inline constexpr const char* SConversionFailed = "Color conversion failed. Could not find a proper method.";
inline constexpr const char* SInvalidColorDepth =
    "Color depth is invalid. Bits per sample must be 1, 2, 4, 8 or 16.";
inline constexpr const char* SInvalidSampleCount =
    "Sample count per pixel does not correspond to the given color scheme.";
inline constexpr const char* SInvalidSubSampling = "Subsampling value is invalid. Allowed are 1, 2 and 4.";
inline constexpr const char* SVerticalSubSamplingError =
    "Vertical subsampling value must be <= horizontal subsampling value.";
inline constexpr const char* SRowDoesNotFit =
    "Color conversion failed. The row buffer is too small for the given color scheme.";

// One plane of a source row. One plane means interleaved samples; several
// mean one plane per sample in model order (R, G, B, A ...).
using TRowPlane = std::span<const uint8_t>;

class TColorManager;
namespace colorimpl {
struct RowArgs;
using RowConverter = void (*)(const TColorManager&, const RowArgs&);
}  // namespace colorimpl

class TColorManager {
 public:
  TColorManager();
  ~TColorManager();
  TColorManager(const TColorManager&) = delete;
  TColorManager& operator=(const TColorManager&) = delete;

  uint8_t SourceSampleBits() const { return sourceBits_; }
  uint8_t TargetSampleBits() const { return targetBits_; }
  uint8_t SourceSampleCount() const { return sourceCount_; }
  uint8_t TargetSampleCount() const { return targetCount_; }
  TColorModel SourceModel() const { return sourceModel_; }
  TColorModel TargetModel() const { return targetModel_; }
  // 1..16 accepted; 0 or more than 16 raises.
  void SetSourceSampleBits(uint8_t bits);
  void SetTargetSampleBits(uint8_t bits);
  // 1..4 accepted.
  void SetSourceSampleCount(uint8_t count);
  void SetTargetSampleCount(uint8_t count);
  void SetSourceModel(TColorModel model);
  void SetTargetModel(TColorModel model);

  // Readers set cfGamma, cfSwapBytes and the Lab flags here directly; a change
  // is noticed at the next ConvertRow.
  TColorFlags SourceFlags = 0;
  TColorFlags TargetFlags = 0;

  std::array<float, 3> LumaWeights{0.299f, 0.587f, 0.114f};

  float ImageGamma() const { return imageGamma_; }
  float MonitorGamma() const { return monitorGamma_; }
  uint8_t HorizontalSubSampling() const { return hSubSampling_; }
  uint8_t VerticalSubSampling() const { return vSubSampling_; }
  // Always 256 entries, indexed by an 8-bit sample.
  const std::array<uint8_t, 256>& GammaTable() const { return gamma_; }

  // Converts count pixels of one row. mask selects the pixels present in the
  // source (bit 7 - i mod 8 for pixel i; 255 converts all); a pixel whose bit is
  // clear consumes no source samples and leaves its target position untouched.
  // Raises EColorConversionError when no converter fits the settings or when a
  // plane or the target is shorter than the row needs.
  void ConvertRow(std::span<const TRowPlane> planes, std::span<uint8_t> target, uint32_t count,
                  uint8_t mask = 0xFF);
  void ConvertRow(TRowPlane source, std::span<uint8_t> target, uint32_t count, uint8_t mask = 0xFF) {
    ConvertRow(std::span<const TRowPlane>(&source, 1), target, count, mask);
  }

  // Gammas of 0 or below fall back to 1.0 (image) and 2.2 (display).
  void BuildGammaTable(float imageGamma, float monitorGamma);
  // Up to three luma weights, then the subsampling (1, 2 or 4; horizontal at
  // least vertical).
  void ConfigureYCbCr(std::span<const float> coefficients, uint8_t horizontal, uint8_t vertical);
  // The bitmap pixel format that fits the target side (or the source side).
  graphics::TPixelFormat ChoosePixelFormat(bool targetSide) const;

  // Palettes for one-sample targets; the caller owns the result.
  // 2^min(TargetSampleBits x TargetSampleCount, 8) grey entries.
  graphics::HPALETTE MakeGrayPalette(bool minimumIsWhite) const;
  // planes: one buffer for the interleaved layouts, three for the planar
  // ones. The palette has an entry for every index a target of
  // TargetSampleBits can hold (at most 256): entries beyond the map, or
  // beyond the bytes given, are black.
  graphics::HPALETTE MakePaletteFromColormap(std::span<const TRowPlane> planes, TColormapLayout layout,
                                             uint32_t count, bool bgrOrder) const;

  // The YCC chroma tables, built at every selection with a YCC source model.
  struct ChromaTables {
    std::array<int32_t, 256> RedFromCr{}, BlueFromCb{}, GreenFromCr{}, GreenFromCb{};
  };

 private:
  void SelectConverter();
  void BuildYCCTables(bool photo);
  void SetChanged() { changed_ = true; }

  bool changed_ = true;
  uint8_t sourceBits_ = 8, targetBits_ = 8;
  uint8_t sourceCount_ = 3, targetCount_ = 3;
  float imageGamma_ = 1.0f, monitorGamma_ = 2.2f;
  std::array<uint8_t, 256> gamma_{};
  uint8_t hSubSampling_ = 1, vSubSampling_ = 1;
  std::vector<ChromaTables> chroma_;  // empty until a YCC model is selected
  TColorModel sourceModel_ = cmRGB, targetModel_ = cmBGR;
  colorimpl::RowConverter converter_ = nullptr;
  // The flags the converter was specialised for; a change reselects.
  TColorFlags selectedSourceFlags_ = 0, selectedTargetFlags_ = 0;

  // How the selected converter walks its rows, for the length checks.
  struct Layout {
    bool packed = false;       // bit fields in one plane: sourceBits per selected pixel
    uint8_t sourceBits = 0;    // packed
    uint8_t sampleBytes = 0;   // not packed: bytes per source sample
    uint8_t pixelSamples = 0;  // not packed: samples per pixel when interleaved
    uint8_t channels = 0;      // planes needed when planar; 0: one plane only
    uint8_t targetBitsPerPixel = 0;
  } layout_;

 public:
  // For the converters.
  const ChromaTables* Chroma() const { return chroma_.empty() ? nullptr : &chroma_.front(); }
};

}  // namespace imaging
