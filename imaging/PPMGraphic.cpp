#include "imaging/PPMGraphic.h"

#include <cstring>
#include <vector>

namespace imaging {

namespace {

// The names the messages carry.
constexpr const char* kFormatNames = "PBM, PGM or PPM";
constexpr const char* kReadErrorName = "PPM";

// Bytes a header test looks at; a file no longer than this is not claimed.
constexpr int64_t kHeaderTestBytes = 10;

bool IsDigit(uint8_t c) {
  return c >= '0' && c <= '9';
}

[[noreturn]] void RaiseReadError() {
  RaiseInvalidGraphicFmt(SStreamReadError, {kReadErrorName});
}
[[noreturn]] void RaiseInvalid() {
  RaiseInvalidGraphicFmt(SInvalidImage, {kFormatNames});
}

// value * 255 / maxValue, rounded; values above the maximum are white.
std::vector<uint8_t> ScaleTable(uint32_t maxValue) {
  std::vector<uint8_t> table(static_cast<size_t>(maxValue) + 1);
  for (uint32_t v = 0; v <= maxValue; ++v)
    table[v] = static_cast<uint8_t>((v * 255u + maxValue / 2) / maxValue);
  return table;
}

inline uint8_t Scaled(const std::vector<uint8_t>& table, uint32_t v) {
  return v < table.size() ? table[v] : 255;
}

}  // namespace

graphics::TGraphicClass TPPMGraphic::StaticClass() {
  return RasterClassRecord<TPPMGraphic>("TPPMGraphic", TRasterGraphic::StaticClass());
}

bool TPPMGraphic::CanReadStream(rtl::TStream& stream) {
  const int64_t at = stream.Position();
  if (stream.Size() - at <= kHeaderTestBytes) return false;
  uint8_t head[kHeaderTestBytes];
  const int64_t got = stream.Read(head, kHeaderTestBytes);
  stream.SetPosition(at);
  return got == kHeaderTestBytes && head[0] == 'P' && head[1] >= '1' && head[1] <= '6';
}

// ---------------------------------------------------------------------------
// Byte level

uint8_t TPPMGraphic::NextByte() {
  if (bufferIndex_ >= bufferEnd_) {
    const int64_t n = stream_->Read(buffer_.data(), kBufferSize);
    if (n <= 0) RaiseReadError();
    bufferIndex_ = 0;
    bufferEnd_ = static_cast<int>(n);
  }
  return buffer_[static_cast<size_t>(bufferIndex_++)];
}

bool TPPMGraphic::AtEnd() {
  if (bufferIndex_ < bufferEnd_) return false;
  const int64_t n = stream_->Read(buffer_.data(), kBufferSize);
  if (n <= 0) return true;
  bufferIndex_ = 0;
  bufferEnd_ = static_cast<int>(n);
  return false;
}

void TPPMGraphic::SkipComment() {
  for (;;) {
    const uint8_t c = NextByte();
    if (c == '\n') return;
    if (c == '\r') {
      if (!AtEnd() && buffer_[static_cast<size_t>(bufferIndex_)] == '\n') ++bufferIndex_;
      return;
    }
  }
}

uint32_t TPPMGraphic::ReadNumber() {
  uint8_t c = NextByte();
  // Anything before the digits is skipped; a "#" starts a comment that runs
  // to the end of its line, digits included.
  while (!IsDigit(c)) {
    if (c == '#') SkipComment();
    c = NextByte();
  }
  uint64_t value = c - '0';
  // The one byte after the number ends it and is consumed; the end of the
  // data ends it too, so a plain file need not end in a line break.
  while (!AtEnd()) {
    c = NextByte();
    if (!IsDigit(c)) {
      if (c == '#') SkipComment();
      break;
    }
    value = value * 10 + (c - '0');
    if (value > UINT32_MAX) RaiseInvalid();
  }
  return static_cast<uint32_t>(value);
}

int TPPMGraphic::ReadBit() {
  // Plain bitmaps are read one character at a time, so that "0110" is four
  // pixels; each digit gives its lowest bit.
  for (;;) {
    const uint8_t c = NextByte();
    if (IsDigit(c)) return (c - '0') & 1;
    if (c == '#') SkipComment();
  }
}

void TPPMGraphic::ReadRaw(uint8_t* dest, size_t n) {
  for (;;) {
    const size_t buffered = static_cast<size_t>(bufferEnd_ - bufferIndex_);
    const size_t part = std::min(n, buffered);
    std::memcpy(dest, buffer_.data() + bufferIndex_, part);
    bufferIndex_ += static_cast<int>(part);
    dest += part;
    n -= part;
    if (n == 0) return;
    // Rows shorter than the buffer go through it: a file stream would
    // otherwise be read with one call per row.
    if (n < kBufferSize) {
      if (AtEnd()) RaiseReadError();
      continue;
    }
    const auto rest = static_cast<int64_t>(n);
    if (stream_->Read(dest, rest) != rest) RaiseReadError();
    return;
  }
}

uint64_t TPPMGraphic::BytesLeft() {
  const int64_t left = stream_->Size() - stream_->Position();
  return static_cast<uint64_t>(bufferEnd_ - bufferIndex_) + static_cast<uint64_t>(left > 0 ? left : 0);
}

// ---------------------------------------------------------------------------
// Header

bool TPPMGraphic::ParseHeader(rtl::TStream& stream) {
  stream_ = &stream;
  bufferIndex_ = bufferEnd_ = kBufferSize;
  magic_ = 0;
  maxValue_ = 0;
  TImageProperties& p = ImageProperties;
  const uint8_t first = NextByte();
  p.Compression = ctNone;
  if (first != 'P') return false;
  const uint8_t digit = NextByte();
  if (!IsDigit(digit)) {
    const std::string text = digit == '\r' || digit == '\n' ? "" : std::string(1, static_cast<char>(digit));
    throw rtl::EConvertError(rtl::Format(rtl::SInvalidInteger, {text}));
  }
  magic_ = digit - '0';
  // No loader for the other digits: refused, since an empty bitmap in their
  // place would pass for a loaded (blank) page.
  if (magic_ < 1 || magic_ > 6) return false;

  p.Width = ReadNumber();
  p.Height = ReadNumber();
  const bool bitmap = magic_ == 1 || magic_ == 4;
  maxValue_ = bitmap ? 1 : ReadNumber();
  if (maxValue_ == 0 || maxValue_ > kMaxSampleValue) return false;

  const int bits = bitmap ? 1 : maxValue_ > 255 ? 16 : 8;
  p.BitsPerSample = static_cast<uint8_t>(bits);
  p.Gamma = 1.0f;
  if (magic_ == 3 || magic_ == 6) {
    p.ColorModel = cmRGB;
    p.SamplesPerPixel = 3;
  } else {
    p.ColorModel = cmIndexed;
    p.SamplesPerPixel = 1;
  }
  p.BitsPerPixel = static_cast<uint8_t>(p.BitsPerSample * p.SamplesPerPixel);
  return true;
}

bool TPPMGraphic::ReadProperties(rtl::TStream& stream, int imageIndex) {
  TRasterGraphic::ReadProperties(stream, imageIndex);
  return ParseHeader(stream);
}

// ---------------------------------------------------------------------------
// Loading

void TPPMGraphic::LoadFromStream(rtl::TStream& stream) {
  BeginLoad(stream);
  if (!ReadProperties(stream, 0)) RaiseInvalid();

  const uint32_t width = ImageProperties.Width, height = ImageProperties.Height;
  const bool bitmap = magic_ == 1 || magic_ == 4;
  const bool colour = magic_ == 3 || magic_ == 6;
  const bool raw = magic_ >= 4;
  const uint64_t samples = colour ? 3 : 1;
  const uint64_t sampleBytes = maxValue_ > 255 ? 2 : 1;

  // The declared raster must be there before anything is allocated. A plain
  // file needs at least one byte per sample.
  uint64_t needed;
  if (raw)
    needed = bitmap ? (static_cast<uint64_t>(width) + 7) / 8 * height
                    : static_cast<uint64_t>(width) * height * samples * sampleBytes;
  else
    needed = static_cast<uint64_t>(width) * height * samples;
  PrepareImage(width, height,
               bitmap   ? graphics::pf1bit
               : colour ? graphics::pf24bit
                        : graphics::pf8bit,
               kFormatNames, {needed, BytesLeft(), kReadErrorName});
  TColorManager& cm = ColorManager();
  if (!colour) {
    cm.SetTargetSampleCount(1);
    cm.SetTargetSampleBits(bitmap ? 1 : 8);
    SetPalette(cm.MakeGrayPalette(bitmap));  // bitmaps: 0 white, 1 black
  } else {
    cm.SetSourceModel(cmRGB);
    cm.SetTargetModel(cmBGR);
    cm.SetSourceSampleBits(8);
    cm.SetTargetSampleBits(8);
    cm.SetSourceSampleCount(3);
    cm.SetTargetSampleCount(3);
    cm.SourceFlags = 0;
    cm.TargetFlags = 0;
  }

  StartProgress(STransfering, static_cast<int32_t>(width));
  if (bitmap)
    raw ? LoadRawBitmap() : LoadPlainBitmap();
  else
    raw ? LoadRawSamples(static_cast<int>(samples)) : LoadPlainSamples(static_cast<int>(samples));
  EndProgress();
  stream_ = nullptr;
}

void TPPMGraphic::LoadPlainBitmap() {
  const uint32_t width = ImageProperties.Width, height = ImageProperties.Height;
  for (uint32_t y = 0; y < height; ++y) {
    uint8_t* line = ScanLine(static_cast<int>(y));
    uint8_t acc = 0;
    uint32_t x = 0;
    for (; x < width; ++x) {
      acc = static_cast<uint8_t>((acc << 1) | ReadBit());
      if ((x & 7) == 7) {
        line[x >> 3] = acc;
        acc = 0;
      }
    }
    if (width & 7) line[width >> 3] = static_cast<uint8_t>(acc << (8 - (width & 7)));
    RowProgress(y, height);
  }
}

void TPPMGraphic::LoadRawBitmap() {
  const uint32_t width = ImageProperties.Width, height = ImageProperties.Height;
  const size_t rowBytes = (static_cast<size_t>(width) + 7) / 8;
  // The bits past the width are padding in the file; they are not pixels.
  const auto padMask = static_cast<uint8_t>(width & 7 ? 0xFF00 >> (width & 7) : 0xFF);
  for (uint32_t y = 0; y < height; ++y) {
    uint8_t* line = ScanLine(static_cast<int>(y));
    ReadRaw(line, rowBytes);
    line[rowBytes - 1] &= padMask;
    RowProgress(y, height);
  }
}

void TPPMGraphic::LoadPlainSamples(int samplesPerPixel) {
  const uint32_t width = ImageProperties.Width, height = ImageProperties.Height;
  const std::vector<uint8_t> table = ScaleTable(maxValue_);
  const size_t rowSamples = static_cast<size_t>(width) * static_cast<size_t>(samplesPerPixel);
  std::vector<uint8_t> row(samplesPerPixel == 1 ? 0 : rowSamples);
  for (uint32_t y = 0; y < height; ++y) {
    uint8_t* line = ScanLine(static_cast<int>(y));
    uint8_t* out = samplesPerPixel == 1 ? line : row.data();
    for (size_t i = 0; i < rowSamples; ++i) out[i] = Scaled(table, ReadNumber());
    if (samplesPerPixel != 1)
      ColorManager().ConvertRow(row, std::span<uint8_t>(line, static_cast<size_t>(Stride())), width);
    RowProgress(y, height);
  }
}

void TPPMGraphic::LoadRawSamples(int samplesPerPixel) {
  const uint32_t width = ImageProperties.Width, height = ImageProperties.Height;
  const bool wide = maxValue_ > 255;
  const size_t rowSamples = static_cast<size_t>(width) * static_cast<size_t>(samplesPerPixel);
  const size_t rowBytes = rowSamples * (wide ? 2 : 1);
  const bool scale = maxValue_ != 255;
  const std::vector<uint8_t> table = scale ? ScaleTable(maxValue_) : std::vector<uint8_t>();
  // Grey rows at 255 go straight into the scan line; the others pass a row
  // buffer (two-byte samples, colour through the colour manager).
  std::vector<uint8_t> fileRow(samplesPerPixel == 1 && !wide ? 0 : rowBytes);
  std::vector<uint8_t> row(samplesPerPixel != 1 && scale ? rowSamples : 0);
  for (uint32_t y = 0; y < height; ++y) {
    uint8_t* line = ScanLine(static_cast<int>(y));
    if (samplesPerPixel == 1) {
      if (wide) {
        ReadRaw(fileRow.data(), rowBytes);
        for (size_t i = 0; i < rowSamples; ++i) line[i] = Scaled(table, BigEndian16(&fileRow[2 * i]));
      } else {
        ReadRaw(line, rowBytes);
        if (scale)
          for (size_t i = 0; i < rowSamples; ++i) line[i] = Scaled(table, line[i]);
      }
    } else {
      ReadRaw(fileRow.data(), rowBytes);
      std::span<const uint8_t> rgb = fileRow;
      if (wide) {
        for (size_t i = 0; i < rowSamples; ++i) row[i] = Scaled(table, BigEndian16(&fileRow[2 * i]));
        rgb = row;
      } else if (scale) {
        for (size_t i = 0; i < rowSamples; ++i) row[i] = Scaled(table, fileRow[i]);
        rgb = row;
      }
      ColorManager().ConvertRow(rgb, std::span<uint8_t>(line, static_cast<size_t>(Stride())), width);
    }
    RowProgress(y, height);
  }
}

}  // namespace imaging
