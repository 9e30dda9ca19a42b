#include "imaging/PSPGraphic.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "imaging/ImageCodecs.h"
#include "imaging/ImageCodecsMisc.h"

namespace imaging {

namespace {

constexpr const char* kFormatName = "PSP";
constexpr char kSignature[] = "Paint Shop Pro Image File";
constexpr size_t kSignatureLength = sizeof kSignature - 1;
constexpr size_t kFileHeaderSize = 36;
constexpr size_t kAttributesSize = 42;
constexpr size_t kLayerRecordSize = 115;
constexpr size_t kLayerNameSizeV3 = 256;
constexpr uint16_t kFirstVersion = 3;
constexpr int kFlushFinish = 4;

enum : uint16_t { kAttributesBlock = 0, kPaletteBlock = 2, kLayerBankBlock = 3, kLayerBlock = 4 };
enum : uint16_t { kRaw = 0, kRunLength = 1, kDeflate = 2, kJPEG = 3 };

bool SignatureMatches(const uint8_t* head) {
  for (size_t i = 0; i < kSignatureLength; ++i)
    if (std::tolower(head[i]) != std::tolower(static_cast<unsigned char>(kSignature[i]))) return false;
  return true;
}

}  // namespace

graphics::TGraphicClass TPSPGraphic::StaticClass() {
  return RasterClassRecord<TPSPGraphic>("TPSPGraphic", TRasterGraphic::StaticClass());
}

bool TPSPGraphic::CanReadStream(rtl::TStream& stream) {
  uint8_t head[kFileHeaderSize];
  return PeekHeader(stream, head, sizeof head) && SignatureMatches(head) &&
         LittleEndian16(head + 32) >= kFirstVersion;
}

uint32_t TPSPGraphic::ReadUInt32() {
  uint8_t b[4];
  ReadExact(*stream_, b, sizeof b, kFormatName);
  return LittleEndian32(b);
}

uint16_t TPSPGraphic::ReadUInt16() {
  uint8_t b[2];
  ReadExact(*stream_, b, sizeof b, kFormatName);
  return LittleEndian16(b);
}

bool TPSPGraphic::ReadBlockHeader(TBlockHeader& header) {
  const size_t size = major_ == kFirstVersion ? 14 : 10;
  if (BytesLeft(*stream_) < size) return false;
  uint8_t b[14];
  ReadExact(*stream_, b, size, kFormatName);
  if (b[0] != '~') return false;
  header.id = LittleEndian16(b + 4);
  header.end = static_cast<uint64_t>(stream_->Position()) + LittleEndian32(b + size - 4);
  return true;
}

bool TPSPGraphic::ReadProperties(rtl::TStream& stream, int imageIndex) {
  TRasterGraphic::ReadProperties(stream, imageIndex);
  stream_ = &stream;
  uint8_t head[kFileHeaderSize];
  if (BytesLeft(stream) < sizeof head) return false;
  ReadExact(stream, head, sizeof head, kFormatName);
  major_ = LittleEndian16(head + 32);
  if (!SignatureMatches(head) || major_ < kFirstVersion) return false;
  TImageProperties& p = ImageProperties;
  p.FormatVersion = major_;
  TBlockHeader block;
  // The general attributes come first, or the file is not one of ours.
  if (!ReadBlockHeader(block) || block.id != kAttributesBlock) return false;
  if (major_ > kFirstVersion) ReadUInt32();
  uint8_t a[kAttributesSize];
  ReadExact(stream, a, sizeof a, kFormatName);
  attributesEnd_ = block.end;
  p.Width = LittleEndian32(a);
  p.Height = LittleEndian32(a + 4);
  double resolution;
  std::memcpy(&resolution, a + 8, sizeof resolution);
  if (a[16] == 2) resolution *= 2.54;
  p.XResolution = p.YResolution = static_cast<float>(resolution);
  switch (LittleEndian16(a + 17)) {
    case kRaw:
      p.Compression = ctNone;
      break;
    case kRunLength:
      p.Compression = ctRLE;
      break;
    case kDeflate:
      p.Compression = ctLZ77;
      break;
    case kJPEG:
      p.Compression = ctJPEG;
      break;
    default:
      p.Compression = ctUnknown;
  }
  const uint16_t depth = LittleEndian16(a + 19);
  if (depth == 24) {
    p.BitsPerSample = 8;
    p.SamplesPerPixel = 3;
    p.ColorModel = cmRGB;
  } else {
    p.BitsPerSample = static_cast<uint8_t>(std::min<uint16_t>(depth, 255));
    p.SamplesPerPixel = 1;
    p.ColorModel = a[27] ? cmGray : cmIndexed;
  }
  p.BitsPerPixel = static_cast<uint8_t>(p.BitsPerSample * p.SamplesPerPixel);
  return true;
}

void TPSPGraphic::ReadPalette() {
  if (major_ > kFirstVersion) ReadUInt32();
  const uint32_t count = ReadUInt32();
  // The palette holds at most 256 entries; the rest are not read.
  const uint64_t kept = std::min(count, kMaxPaletteEntries);
  std::vector<uint8_t> entries(4 * kept);
  ReadExact(*stream_, entries.data(), entries.size(), kFormatName);
  const TRowPlane map(entries);
  SetPalette(ColorManager().MakePaletteFromColormap(std::span<const TRowPlane>(&map, 1), cml8Interleaved4,
                                                    static_cast<uint32_t>(kept), true));
}

uint64_t TPSPGraphic::MaxExpansion() const {
  switch (ImageProperties.Compression) {
    case ctRLE:
      return TPSPRLEDecoder::kMaxExpansion;
    case ctLZ77:
      return TLZ77Decoder::kMaxExpansion;
    default:
      return 1;
  }
}

void TPSPGraphic::ReadChannel() {
  TBlockHeader block;
  if (!ReadBlockHeader(block)) RaiseInvalidGraphicFmt(SStreamReadError, {kFormatName});
  if (major_ > kFirstVersion) ReadUInt32();
  const uint32_t packedLength = ReadUInt32();
  const uint32_t length = ReadUInt32();
  ReadUInt16();  // bitmap type
  const uint16_t type = ReadUInt16();
  // Other channel types are stepped over whole.
  if (type <= 3) {
    const uint32_t height = ImageProperties.Height;
    // The row length comes from the channel itself, so that any padding
    // the writer put at the rows' ends is stepped over.
    const uint64_t stride = length / height;
    if (stride < packedRow_ || stride > packedRow_ + kMaxRowPadding)
      RaiseInvalidGraphicFmt(SInvalidImage, {kFormatName});
    // The packed bytes must be there, and able to hold the plane, before
    // the plane is made.
    CheckDataLeft(packedLength, BytesLeft(*stream_), kFormatName);
    CheckDataLeft(stride * height / MaxExpansion(), packedLength, kFormatName);
    std::vector<uint8_t>& plane = planes_[type];
    plane.assign(static_cast<size_t>(stride * height), 0);
    strides_[type] = stride;
    TDecodeStatus status = dsComplete;
    if (ImageProperties.Compression == ctNone) {
      const size_t n = std::min<size_t>(packedLength, plane.size());
      ReadExact(*stream_, plane.data(), n, kFormatName);
      if (n < plane.size()) status = dsEndOfData;
    } else {
      std::vector<uint8_t> packed(packedLength);
      ReadExact(*stream_, packed.data(), packed.size(), kFormatName);
      if (ImageProperties.Compression == ctRLE) {
        TPSPRLEDecoder decoder;
        decoder.StartDecoding();
        status = decoder.DecodeBlock(packed, plane).status;
        decoder.FinishDecoding();
      } else {
        TLZ77Decoder decoder(kFlushFinish, false);
        decoder.StartDecoding();
        status = decoder.DecodeBlock(packed, plane).status;
        decoder.FinishDecoding();
      }
    }
    // A channel shorter than the image would leave rows unread.
    if (status == dsDamaged) RaiseInvalidGraphicFmt(SCompressionError, {kFormatName});
    if (status != dsComplete) RaiseInvalidGraphicFmt(SStreamReadError, {kFormatName});
  }
  stream_->SetPosition(static_cast<int64_t>(block.end));
}

bool TPSPGraphic::LoadLayer(const TBlockHeader& layer) {
  uint8_t record[kLayerRecordSize];
  if (major_ == kFirstVersion) {
    stream_->Seek(kLayerNameSizeV3, rtl::soCurrent);
    ReadExact(*stream_, record, sizeof record, kFormatName);
  } else {
    const int64_t chunkAt = stream_->Position();
    const uint32_t chunkLength = ReadUInt32();
    const uint16_t nameLength = ReadUInt16();
    CheckDataLeft(nameLength, BytesLeft(*stream_), kFormatName);
    stream_->Seek(nameLength, rtl::soCurrent);
    ReadExact(*stream_, record, sizeof record, kFormatName);
    stream_->SetPosition(chunkAt + chunkLength);
  }
  // Version 3 knows one raster layer type, later versions two.
  if (record[0] > (major_ == kFirstVersion ? 0 : 1)) {
    stream_->SetPosition(static_cast<int64_t>(layer.end));
    return false;
  }
  const int64_t chunkAt = stream_->Position();
  const uint32_t chunkLength = major_ > kFirstVersion ? ReadUInt32() : 0;
  ReadUInt16();  // bitmap count
  const uint16_t channels = ReadUInt16();
  if (major_ > kFirstVersion) stream_->SetPosition(chunkAt + chunkLength);
  TColorManager& cm = ColorManager();
  // The fourth channel of a colour layer is its transparency.
  if (channels > 3 && cm.SourceModel() == cmRGB) {
    cm.SetTargetModel(cmBGRA);
    cm.SetTargetSampleCount(4);
    PrepareImage(ImageProperties.Width, ImageProperties.Height, graphics::pf32bit, kFormatName, {});
  }
  for (uint16_t i = 0; i < channels; ++i) ReadChannel();
  EndProgress();

  StartProgress(STransfering, static_cast<int32_t>(ImageProperties.Width));
  const uint32_t width = ImageProperties.Width, height = ImageProperties.Height;
  const bool colour = cm.SourceModel() == cmRGB;
  // Colour images need red, green and blue; the others their composite.
  const bool complete =
      colour ? !planes_[1].empty() && !planes_[2].empty() && !planes_[3].empty() : !planes_[0].empty();
  if (!complete) RaiseInvalidGraphicFmt(SInvalidImage, {kFormatName});
  for (uint32_t y = 0; y < height; ++y) {
    const std::span<uint8_t> line(ScanLine(static_cast<int>(y)), static_cast<size_t>(Stride()));
    auto rowOf = [&](size_t c) { return TRowPlane(planes_[c]).subspan(y * strides_[c], strides_[c]); };
    if (colour) {
      const std::array<TRowPlane, 3> rgb{rowOf(1), rowOf(2), rowOf(3)};
      cm.ConvertRow(rgb, line, width);
    } else {
      cm.ConvertRow(rowOf(0), line, width);
    }
    RowProgress(y, height);
  }
  EndProgress();
  return true;
}

void TPSPGraphic::LoadFromStream(rtl::TStream& stream) {
  BeginLoad(stream, kFormatName);
  const TImageProperties& p = ImageProperties;
  for (auto& plane : planes_) plane = {};
  StartProgress(SPreparing, static_cast<int32_t>(p.Width));
  stream.SetPosition(static_cast<int64_t>(attributesEnd_));

  if (p.Compression == ctJPEG || p.Compression == ctUnknown)
    RaiseInvalidGraphicFmt(SUnsupportedFeature, {SCompressionScheme, kFormatName});
  TColorManager& cm = ColorManager();
  cm.SourceFlags = 0;
  cm.TargetFlags = 0;
  switch (p.BitsPerSample) {
    case 1:
    case 4:
    case 8:
      break;
    default:
      RaiseInvalidGraphicFmt(SInvalidColorFormat, {kFormatName});
  }
  if (p.ColorModel == cmRGB && p.BitsPerSample != 8)
    RaiseInvalidGraphicFmt(SInvalidColorFormat, {kFormatName});
  cm.SetSourceSampleBits(p.BitsPerSample);
  cm.SetTargetSampleBits(p.BitsPerSample);
  cm.SetSourceSampleCount(p.SamplesPerPixel);
  cm.SetTargetSampleCount(p.SamplesPerPixel);
  cm.SetSourceModel(p.ColorModel);
  cm.SetTargetModel(p.ColorModel == cmRGB ? cmBGR : p.ColorModel);
  packedRow_ = (uint64_t{p.Width} * p.BitsPerSample + 7) / 8;
  // At least one plane of the image must be able to come out of the rest.
  PrepareImage(p.Width, p.Height, cm.ChoosePixelFormat(true), kFormatName,
               {SaturatingProduct(packedRow_, p.Height) / MaxExpansion(), BytesLeft(stream)});
  // Grey images may come without a palette block.
  if (p.ColorModel == cmGray) SetPalette(cm.MakeGrayPalette(false));
  EndProgress();

  bool loaded = false;
  TBlockHeader block;
  while (!loaded && ReadBlockHeader(block)) {
    if (block.id == kPaletteBlock) {
      ReadPalette();
    } else if (block.id == kLayerBankBlock) {
      TBlockHeader layer;
      for (;;) {
        StartProgress(SLoadingData, static_cast<int32_t>(p.Width));
        if (!ReadBlockHeader(layer) || layer.id != kLayerBlock) break;
        if (LoadLayer(layer)) {
          loaded = true;
          break;
        }
      }
    }
    stream.SetPosition(static_cast<int64_t>(block.end));
  }
  for (auto& plane : planes_) plane = {};
  // A file without a raster layer has no image to show.
  if (!loaded) RaiseInvalidGraphicFmt(SInvalidImage, {kFormatName});
  stream_ = nullptr;
}

}  // namespace imaging
