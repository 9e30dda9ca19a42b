#include "imaging/SGIGraphic.h"

#include <algorithm>
#include <array>

#include "imaging/ImageCodecs.h"

namespace imaging {

namespace {

constexpr const char* kFormatNames = "sgi, bw or rgb(a)";
constexpr const char* kFormatName = "SGI";
constexpr int64_t kHeaderSize = 512;
constexpr uint16_t kMagic = 474;

struct TSGIHeader {
  uint16_t magic = 0;
  uint8_t storage = 0;  // 1: run-length
  uint8_t bytesPerSample = 0;
  uint16_t dimension = 0;
  uint16_t width = 0;
  uint16_t height = 0;
  uint16_t channels = 0;
};

using THeaderBytes = std::array<uint8_t, kHeaderSize>;

TSGIHeader ParseHeader(const THeaderBytes& h) {
  TSGIHeader header;
  header.magic = BigEndian16(&h[0]);
  header.storage = h[2];
  header.bytesPerSample = h[3];
  header.dimension = BigEndian16(&h[4]);
  header.width = BigEndian16(&h[6]);
  header.height = BigEndian16(&h[8]);
  header.channels = BigEndian16(&h[10]);
  return header;
}

// False when fewer than 512 bytes are left.
bool ReadHeader(rtl::TStream& stream, TSGIHeader& header) {
  THeaderBytes h{};
  if (stream.Read(h.data(), kHeaderSize) != kHeaderSize) return false;
  header = ParseHeader(h);
  return true;
}

// Reads count 32-bit big-endian values.
std::vector<uint32_t> ReadTable(rtl::TStream& stream, size_t count) {
  std::vector<uint8_t> bytes(count * 4);
  stream.ReadBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  std::vector<uint32_t> table(count);
  for (size_t i = 0; i < count; ++i) table[i] = BigEndian32(&bytes[4 * i]);
  return table;
}

}  // namespace

TSGIGraphic::TSGIGraphic() = default;
TSGIGraphic::~TSGIGraphic() = default;

graphics::TGraphicClass TSGIGraphic::StaticClass() {
  return RasterClassRecord<TSGIGraphic>("TSGIGraphic", TRasterGraphic::StaticClass());
}

bool TSGIGraphic::CanReadStream(rtl::TStream& stream) {
  THeaderBytes bytes{};
  if (!PeekHeader(stream, bytes.data(), bytes.size())) return false;
  const TSGIHeader h = ParseHeader(bytes);
  return h.magic == kMagic && (h.bytesPerSample == 1 || h.bytesPerSample == 2) && h.dimension >= 1 &&
         h.dimension <= 3;
}

bool TSGIGraphic::ReadProperties(rtl::TStream& stream, int imageIndex) {
  TRasterGraphic::ReadProperties(stream, imageIndex);
  TSGIHeader h;
  if (!ReadHeader(stream, h) || h.magic != kMagic) return false;
  TImageProperties& p = ImageProperties;
  p.Flags = pfMotorolaOrder;
  // Counts that do not fit the record's bytes must not wrap into ones that
  // do: 33 bytes a sample is no 8-bit file, 259 channels no RGB one.
  p.BitsPerSample = static_cast<uint8_t>(h.bytesPerSample <= 2 ? 8 * h.bytesPerSample : 0);
  p.Width = h.width;
  p.Height = h.height;
  p.SamplesPerPixel = static_cast<uint8_t>(std::min<uint16_t>(h.channels, 255));
  p.ColorModel = p.SamplesPerPixel == 3 ? cmRGB : p.SamplesPerPixel == 4 ? cmRGBA : cmIndexed;
  p.BitsPerPixel = static_cast<uint8_t>(p.BitsPerSample * p.SamplesPerPixel);
  p.Compression = h.storage == 1 ? ctRLE : ctNone;
  p.BottomUp = true;
  return true;
}

void TSGIGraphic::LoadFromStream(rtl::TStream& stream) {
  BeginLoad(stream, kFormatNames);
  const TImageProperties& p = ImageProperties;
  const uint32_t width = p.Width, height = p.Height;
  StartProgress(SPreparing, static_cast<int32_t>(width));

  const uint32_t sampleBytes = p.BitsPerSample / 8u;
  if ((sampleBytes != 1 && sampleBytes != 2) || p.SamplesPerPixel == 0)
    RaiseInvalidGraphicFmt(SInvalidColorFormat, {kFormatName});
  if (width == 0 || height == 0) RaiseInvalidGraphicFmt(SInvalidImage, {kFormatNames});

  stream.SetPosition(basePosition_ + kHeaderSize);
  rowStarts_.clear();
  rowLengths_.clear();
  decoder_.reset();
  if (p.Compression == ctRLE) {
    // Both tables must be in the file before they are allocated.
    const size_t rows = static_cast<size_t>(height) * p.SamplesPerPixel;
    CheckDataLeft(static_cast<uint64_t>(rows) * 8, BytesLeft(stream), kFormatName);
    rowStarts_ = ReadTable(stream, rows);
    rowLengths_ = ReadTable(stream, rows);
    decoder_ = std::make_unique<TSGIRLEDecoder>(p.BitsPerSample);
    // The longest row worth reading: every sample a run of one, then the
    // end marker.
    codedRow_.resize((2 * static_cast<size_t>(width) + 1) * sampleBytes);
  }

  // Any channel count but 3 and 4 is taken as grey from its first channel.
  const bool grey = p.ColorModel == cmIndexed;
  const uint8_t channels = grey ? 1 : p.SamplesPerPixel;
  TColorManager& cm = ColorManager();
  cm.SourceFlags = cfSwapBytes;
  cm.TargetFlags = 0;
  cm.SetSourceSampleBits(p.BitsPerSample);
  cm.SetTargetSampleBits(8);
  cm.SetSourceSampleCount(channels);
  cm.SetTargetSampleCount(channels);
  cm.SetSourceModel(p.ColorModel);
  cm.SetTargetModel(p.ColorModel == cmRGB ? cmBGR : p.ColorModel == cmRGBA ? cmBGRA : cmIndexed);
  // Plain rows must all be there; coded rows were bounded by their tables.
  const uint64_t plainBytes = decoder_ ? 0 : uint64_t{width} * height * channels * sampleBytes;
  PrepareImage(width, height, cm.ChoosePixelFormat(true), kFormatName, {plainBytes, BytesLeft(stream)});
  if (grey) SetPalette(cm.MakeGrayPalette(false));
  Progress(graphics::psEnding, 100, true, progressRect_, "");

  StartProgress(STransfering, static_cast<int32_t>(width));
  std::vector<std::vector<uint8_t>> buffers(channels,
                                            std::vector<uint8_t>(static_cast<size_t>(width) * sampleBytes));
  std::vector<TRowPlane> planes(buffers.begin(), buffers.end());
  for (uint32_t r = 0; r < height; ++r) {
    for (uint32_t c = 0; c < channels; ++c) ReadChannelRow(c, r, buffers[c]);
    cm.ConvertRow(
        planes, std::span<uint8_t>(ScanLine(static_cast<int>(height - 1 - r)), static_cast<size_t>(Stride())),
        width);
    RowProgress(r, height);
  }
  decoder_.reset();
  Progress(graphics::psEnding, 100, true, progressRect_, "");
  stream_ = nullptr;
}

void TSGIGraphic::ReadChannelRow(uint32_t c, uint32_t r, std::span<uint8_t> plane) {
  // What the file does not hold stays black rather than showing the row
  // before it.
  std::fill(plane.begin(), plane.end(), uint8_t{0});
  const uint64_t index = static_cast<uint64_t>(c) * ImageProperties.Height + r;
  const int64_t size = stream_->Size();
  if (decoder_) {
    // Row lengths count bytes; a length beyond what a row can use, or beyond
    // the file, is cut there.
    const int64_t at = basePosition_ + rowStarts_[index];
    if (at >= size) return;
    const auto length = static_cast<int64_t>(std::min<uint64_t>(rowLengths_[index], codedRow_.size()));
    stream_->SetPosition(at);
    const int64_t got = stream_->Read(codedRow_.data(), length);
    decoder_->DecodeBlock(
        std::span<const uint8_t>(codedRow_.data(), static_cast<size_t>(std::max<int64_t>(got, 0))), plane);
  } else {
    const int64_t at = basePosition_ + kHeaderSize + static_cast<int64_t>(index * plane.size());
    if (at >= size) return;
    stream_->SetPosition(at);
    stream_->Read(plane.data(), static_cast<int64_t>(plane.size()));
  }
}

}  // namespace imaging
