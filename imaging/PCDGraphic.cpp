#include "imaging/PCDGraphic.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace imaging {

namespace {

constexpr const char* kFormatName = "Photo-CD";
constexpr size_t kOverviewMagicAt = 0;
constexpr size_t kImageMagicAt = 2048;
constexpr size_t kRotationAt = 3586;
constexpr size_t kImageCountAt = 10;
constexpr int kMaxResolution = 5;
constexpr float kLumaWeights[3] = {0.2125f, 0.7154f, 0.0721f};

bool IsOverview(const uint8_t* head) {
  return std::memcmp(head + kOverviewMagicAt, "PCD_OPA", 7) == 0;
}
bool IsImagePack(const uint8_t* head) {
  return std::memcmp(head + kImageMagicAt, "PCD", 3) == 0;
}

}  // namespace

graphics::TGraphicClass TPCDGraphic::StaticClass() {
  return RasterClassRecord<TPCDGraphic>("TPCDGraphic", TRasterGraphic::StaticClass());
}

bool TPCDGraphic::CanReadStream(rtl::TStream& stream) {
  if (BytesLeft(stream) <= kHeaderSize) return false;
  std::array<uint8_t, kImageMagicAt + 3> head{};
  if (!PeekHeader(stream, head.data(), head.size())) return false;
  return IsOverview(head.data()) || IsImagePack(head.data());
}

bool TPCDGraphic::ReadProperties(rtl::TStream& stream, int imageIndex) {
  TRasterGraphic::ReadProperties(stream, imageIndex);
  if (BytesLeft(stream) < kHeaderSize) return false;
  std::vector<uint8_t> head(kHeaderSize);
  ReadExact(stream, head.data(), head.size(), kFormatName);
  TImageProperties& p = ImageProperties;
  p.IsOverview = IsOverview(head.data());
  if (!p.IsOverview && !IsImagePack(head.data())) return false;
  p.Rotation = head[kRotationAt] & 3;
  const int d = p.IsOverview ? 0 : std::clamp(imageIndex, 0, kMaxResolution);
  p.Width = 192u << d;
  p.Height = 128u << d;
  if (p.Rotation == 1 || p.Rotation == 3) std::swap(p.Width, p.Height);
  p.ColorModel = cmPhotoYCC;
  p.BitsPerSample = 8;
  p.SamplesPerPixel = 3;
  p.BitsPerPixel = 24;
  p.Compression = d < 3 ? ctNone : ctPCDHuffmann;
  p.ImageCount = BigEndian16(&head[kImageCountAt]);
  return true;
}

void TPCDGraphic::LoadFromStream(rtl::TStream& stream) {
  BeginLoad(stream);
  // A pack that is not recognised is an error, not an empty image.
  if (!ReadProperties(stream, 2)) RaiseInvalidGraphicFmt(SInvalidImage, {kFormatName});
  stream.SetPosition(basePosition_);
  StartProgress(SPreparing, static_cast<int32_t>(ImageProperties.Width));

  constexpr size_t W = kBaseWidth, H = kBaseHeight, C = W / 2;
  const uint64_t imageAt =
      uint64_t{ImageProperties.IsOverview ? kOverviewSector : kImageSector} * kSectorSize;
  // Two luma rows and a row of each chroma plane per pair of rows.
  constexpr uint64_t kImageBytes = H / 2 * (2 * W + 2 * C);
  CheckDataLeft(imageAt + kImageBytes, BytesLeft(stream), kFormatName);
  std::vector<uint8_t> luma(W * H), chroma1(W * H), chroma2(W * H);
  stream.Seek(static_cast<int64_t>(imageAt), rtl::soCurrent);

  TColorManager& cm = ColorManager();
  cm.SourceFlags = 0;
  cm.TargetFlags = 0;
  cm.SetSourceModel(cmPhotoYCC);
  cm.SetSourceSampleBits(8);
  cm.SetSourceSampleCount(3);
  cm.SetTargetModel(cmBGR);
  cm.SetTargetSampleBits(8);
  cm.SetTargetSampleCount(3);
  cm.ConfigureYCbCr(kLumaWeights, 2, 2);
  EndProgress();

  StartProgress(SLoadingData, static_cast<int32_t>(ImageProperties.Width));
  for (size_t y = 0; y < H; y += 2) {
    Progress(graphics::psRunning, static_cast<uint8_t>(y * 100 / H), false, progressRect_, "");
    ReadExact(stream, &luma[y * W], 2 * W, kFormatName);
    ReadExact(stream, &chroma1[y / 2 * W], C, kFormatName);
    ReadExact(stream, &chroma2[y / 2 * W], C, kFormatName);
  }
  EndProgress();

  StartProgress(SUpsampling, static_cast<int32_t>(ImageProperties.Width));
  Progress(graphics::psRunning, 80, false, progressRect_, "");
  Upsample2x(C, H / 2, W, chroma1);
  Progress(graphics::psRunning, 100, false, progressRect_, "");
  Upsample2x(C, H / 2, W, chroma2);
  EndProgress();

  StartProgress(STransfering, static_cast<int32_t>(ImageProperties.Width));
  const uint8_t rotation = ImageProperties.Rotation;
  const bool portrait = rotation == 1 || rotation == 3;
  // The image is of one size, checked and read whole above.
  PrepareImage(portrait ? H : W, portrait ? W : H, graphics::pf24bit, kFormatName, {});
  std::vector<uint8_t> row(3 * W);
  for (size_t y = 0; y < H; ++y) {
    const std::array<TRowPlane, 3> planes{TRowPlane(&luma[y * W], W), TRowPlane(&chroma1[y * W], W),
                                          TRowPlane(&chroma2[y * W], W)};
    if (!portrait) {
      cm.ConvertRow(planes, std::span<uint8_t>(ScanLine(static_cast<int>(y)), static_cast<size_t>(Stride())),
                    static_cast<uint32_t>(W));
    } else {
      cm.ConvertRow(planes, row, static_cast<uint32_t>(W));
      // Code 1 turns the picture a quarter anticlockwise, code 3 clockwise.
      for (size_t x = 0; x < W; ++x) {
        uint8_t* to = rotation == 1 ? ScanLine(static_cast<int>(W - 1 - x)) + 3 * y
                                    : ScanLine(static_cast<int>(x)) + 3 * (H - 1 - y);
        std::memcpy(to, &row[3 * x], 3);
      }
    }
    RowProgress(static_cast<uint32_t>(y), static_cast<uint32_t>(H));
  }
  EndProgress();
  stream_ = nullptr;
}

}  // namespace imaging
