#include "imaging/ImageCodecsMisc.h"

#include <jerror.h>
#include <jpeglib.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

#include "imaging/ImageCodecsPrivate.h"
#include "imaging/ImageFormats.h"
#include "imaging/ImageStrings.h"

namespace imaging {

// ---------------------------------------------------------------- deflate

TLZ77Decoder::TLZ77Decoder(int flushMode, bool resetPerBlock)
    : stream_(std::make_unique<z_stream_s>()), flushMode_(flushMode), resetPerBlock_(resetPerBlock) {}

TLZ77Decoder::~TLZ77Decoder() {
  if (started_) inflateEnd(stream_.get());
}

void TLZ77Decoder::StartDecoding() {
  if (started_) inflateEnd(stream_.get());
  *stream_ = z_stream_s{};
  started_ = false;
  result_ = inflateInit(stream_.get());
  if (result_ < 0) CodecError(SLZ77Error);
  started_ = true;
}

bool TLZ77Decoder::StreamEnded() const {
  return result_ == Z_STREAM_END;
}

void TLZ77Decoder::FinishDecoding() {
  if (!started_) return;
  started_ = false;
  if (inflateEnd(stream_.get()) < 0) CodecError(SLZ77Error);
}

TDecodeResult TLZ77Decoder::DecodeBlock(std::span<const uint8_t> source, std::span<uint8_t> dest) {
  if (!started_) CodecError(SLZ77Error);
  // zlib counts in 32 bits: a larger buffer is taken in its first 4 GiB.
  const uInt inSize = static_cast<uInt>(std::min<size_t>(source.size(), UINT_MAX));
  const uInt outSize = static_cast<uInt>(std::min<size_t>(dest.size(), UINT_MAX));
  z_stream_s& z = *stream_;
  z.next_in = const_cast<Bytef*>(source.data());
  z.avail_in = inSize;
  availableInput_ = inSize;
  availableOutput_ = outSize;
  if (resetPerBlock_) result_ = inflateReset(&z);
  // A buffer error only says that no progress was possible with what the
  // last call had: the next piece of data goes on from there.
  if (result_ != Z_OK && result_ != Z_BUF_ERROR) return {0, 0, result_ < 0 ? dsDamaged : dsEndOfData};
  z.next_out = dest.data();
  z.avail_out = outSize;
  result_ = inflate(&z, flushMode_);
  availableInput_ = z.avail_in;
  availableOutput_ = z.avail_out;
  const TDecodeStatus status = result_ < 0 && result_ != Z_BUF_ERROR ? dsDamaged
                               : z.avail_out == 0                    ? dsComplete
                                                                     : dsEndOfData;
  return {inSize - z.avail_in, outSize - z.avail_out, status};
}

// ---------------------------------------------------------------- JPEG in TIFF

namespace {

struct TJPEGErrorManager {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
  int code;
};

struct TJPEGSource {
  jpeg_source_mgr pub;
  std::vector<std::string>* warnings;
  int warningCount;
};

const JOCTET kEndOfImage[2] = {0xFF, JPEG_EOI};

void OnErrorExit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<TJPEGErrorManager*>(cinfo->err);
  err->code = cinfo->err->msg_code;
  std::longjmp(err->jump, 1);
}
void OnEmitMessage(j_common_ptr, int) {}  // libjpeg's warnings are not shown
void OnOutputMessage(j_common_ptr) {}

void InitSource(j_decompress_ptr) {}
void TermSource(j_decompress_ptr) {}

// The data ran out: say so once per request (up to the cap) and end the
// image, so that libjpeg finishes with what it has.
boolean FillInputBuffer(j_decompress_ptr cinfo) {
  auto* src = reinterpret_cast<TJPEGSource*>(cinfo->src);
  if (src->warningCount++ < TTIFFJPEGDecoder::kMaxWarnings) {
    try {
      src->warnings->push_back(SJPEGUnexpectedEnd);
    } catch (...) {
      // No memory for a warning: decoding goes on without it.
    }
  }
  src->pub.next_input_byte = kEndOfImage;
  src->pub.bytes_in_buffer = sizeof kEndOfImage;
  return TRUE;
}

void SkipInputData(j_decompress_ptr cinfo, long count) {
  auto* src = reinterpret_cast<TJPEGSource*>(cinfo->src);
  if (count <= 0) return;
  if (static_cast<unsigned long>(count) > src->pub.bytes_in_buffer) {
    FillInputBuffer(cinfo);
    return;
  }
  src->pub.next_input_byte += count;
  src->pub.bytes_in_buffer -= static_cast<size_t>(count);
}

}  // namespace

struct TTIFFJPEGDecoder::TState {
  jpeg_decompress_struct cinfo;
  TJPEGErrorManager err;
  TJPEGSource source;
  std::vector<std::string> warnings;
  bool created = false;
  bool started = false;  // between jpeg_start_decompress and the end of the strip
  int hSampling = 1;
  int vSampling = 1;

  ~TState() {
    if (created) jpeg_destroy_decompress(&cinfo);
  }

  void SetSource(const uint8_t* data, size_t size) {
    source.pub.next_input_byte = data;
    source.pub.bytes_in_buffer = size;
    source.warningCount = 0;
  }
};

namespace {

// Each step below calls into libjpeg under its own setjmp and holds nothing
// that needs destroying, so a longjmp from libjpeg's error exit crosses no
// C++ frame with work left to do. Each returns false after a fatal error.
using TState = TTIFFJPEGDecoder::TState;

bool StepCreate(TState& s) {
  if (setjmp(s.err.jump)) return false;
  jpeg_create_decompress(&s.cinfo);
  s.created = true;
  return true;
}

bool StepReadHeader(TState& s, bool requireImage, int& result) {
  if (setjmp(s.err.jump)) return false;
  result = jpeg_read_header(&s.cinfo, requireImage ? TRUE : FALSE);
  return true;
}

bool StepAbort(TState& s) {
  if (setjmp(s.err.jump)) return false;
  jpeg_abort(reinterpret_cast<j_common_ptr>(&s.cinfo));
  s.started = false;
  return true;
}

bool StepStart(TState& s) {
  if (setjmp(s.err.jump)) return false;
  jpeg_start_decompress(&s.cinfo);
  s.started = true;
  return true;
}

bool StepReadRow(TState& s, uint8_t* row, JDIMENSION& read) {
  if (setjmp(s.err.jump)) return false;
  JSAMPROW rows[1] = {row};
  read = jpeg_read_scanlines(&s.cinfo, rows, 1);
  return true;
}

// A strip read to its last row is finished; one that stopped early is
// abandoned, since finishing would ask for rows that are not there.
bool StepFinish(TState& s) {
  if (!s.started) return true;
  s.started = false;
  if (setjmp(s.err.jump)) return false;
  if (s.cinfo.output_scanline >= s.cinfo.output_height)
    jpeg_finish_decompress(&s.cinfo);
  else
    jpeg_abort_decompress(&s.cinfo);
  return true;
}

[[noreturn]] void RaiseJPEGError(const TState& s) {
  throw EImageCodecError(rtl::Format(SJPEGError, {s.err.code}));
}

}  // namespace

TTIFFJPEGDecoder::TTIFFJPEGDecoder(const TImageProperties& properties) : properties_(properties) {}

TTIFFJPEGDecoder::~TTIFFJPEGDecoder() = default;

void TTIFFJPEGDecoder::DeliverWarnings() {
  std::vector<std::string> warnings;
  warnings.swap(state_->warnings);
  if (OnWarning)
    for (const std::string& w : warnings) OnWarning(w);
}

void TTIFFJPEGDecoder::StartDecoding() {
  state_ = std::make_unique<TState>();
  TState& s = *state_;
  s.cinfo.err = jpeg_std_error(&s.err.pub);
  s.err.pub.error_exit = OnErrorExit;
  s.err.pub.emit_message = OnEmitMessage;
  s.err.pub.output_message = OnOutputMessage;
  if (!StepCreate(s)) RaiseJPEGError(s);
  s.source.pub.init_source = InitSource;
  s.source.pub.fill_input_buffer = FillInputBuffer;
  s.source.pub.skip_input_data = SkipInputData;
  s.source.pub.resync_to_restart = jpeg_resync_to_restart;
  s.source.pub.term_source = TermSource;
  s.source.warnings = &s.warnings;
  s.cinfo.src = &s.source.pub;
  if (properties_.YCbCrSubSampling.size() >= 2) {
    s.hSampling = properties_.YCbCrSubSampling[0];
    s.vSampling = properties_.YCbCrSubSampling[1];
  }
  if (!properties_.JPEGTables.empty()) {
    s.SetSource(properties_.JPEGTables.data(), properties_.JPEGTables.size());
    int result = 0;
    const bool ok = StepReadHeader(s, false, result);
    s.warnings.clear();  // tables cut short are judged by the result alone
    if (!ok || result != JPEG_HEADER_TABLES_ONLY) CodecError(SBogusJPEGTables);
  }
}

void TTIFFJPEGDecoder::FinishDecoding() {
  state_.reset();
}

TDecodeResult TTIFFJPEGDecoder::DecodeBlock(std::span<const uint8_t> source, std::span<uint8_t> dest) {
  if (!state_) CodecError(SBogusJPEGTables);
  TState& s = *state_;
  const TImageProperties& p = properties_;
  if (!StepAbort(s)) RaiseJPEGError(s);
  s.SetSource(source.data(), source.size());
  int result = 0;
  if (!StepReadHeader(s, true, result)) {
    DeliverWarnings();
    RaiseJPEGError(s);
  }

  uint32_t width = p.Width;
  uint32_t height = p.Height > p.RowIndex ? p.Height - p.RowIndex : 0;
  if (!p.RowsPerStrip.empty()) height = std::min(height, p.RowsPerStrip[0]);
  if (p.PlanarConfiguration == 2 && p.StripIndex == p.StripCount) {
    width = (width + static_cast<uint32_t>(s.hSampling) - 1) / std::max(1, s.hSampling);
    height = (height + static_cast<uint32_t>(s.vSampling) - 1) / std::max(1, s.vSampling);
  }
  if (s.cinfo.image_width != width || s.cinfo.image_height != height) CodecError(SImproperJPEGSize);
  const int components = p.PlanarConfiguration == 1 ? p.SamplesPerPixel : 1;
  if (s.cinfo.num_components != components) CodecError(SImproperJPEGComponents);
  if (s.cinfo.data_precision != p.BitsPerSample) CodecError(SImproperJPEGPrecision);
  const jpeg_component_info* c = s.cinfo.comp_info;
  if (p.PlanarConfiguration == 1) {
    if (c[0].h_samp_factor != s.hSampling || c[0].v_samp_factor != s.vSampling)
      CodecError(SImproperJPEGSampling);
    for (int i = 1; i < s.cinfo.num_components; ++i)
      if (c[i].h_samp_factor != 1 || c[i].v_samp_factor != 1) CodecError(SImproperJPEGSampling);
  } else if (c[0].h_samp_factor != 1 || c[0].v_samp_factor != 1) {
    CodecError(SImproperJPEGSampling);
  }
  // Only YCbCr data is turned into RGB; other samples pass as they are
  // stored (libjpeg has no conversion from an unknown space to RGB). A
  // plane of separate planes holds one sample, whatever the colour model.
  const bool planar = p.PlanarConfiguration == 2;
  const bool ycbcr = p.ColorModel == cmYCbCr && !planar;
  s.cinfo.jpeg_color_space = ycbcr ? JCS_YCbCr : JCS_UNKNOWN;
  s.cinfo.out_color_space = ycbcr ? JCS_RGB : JCS_UNKNOWN;
  s.cinfo.raw_data_out = FALSE;
  if (!StepStart(s)) {
    DeliverWarnings();
    RaiseJPEGError(s);
  }
  const size_t rowSize =
      planar ? static_cast<size_t>((uint64_t{p.BitsPerSample} * p.Width + 7) / 8) : p.RowBytes;
  if (rowSize == 0 || dest.size() % rowSize != 0) {
    StepFinish(s);
    CodecError(SFractionalJPEGScanline);
  }
  // libjpeg writes a whole decoded row: a row of the record shorter than
  // that would be overrun.
  if (uint64_t{s.cinfo.output_width} * static_cast<uint64_t>(s.cinfo.output_components) > rowSize) {
    StepFinish(s);
    CodecError(SImproperJPEGSize);
  }
  const size_t rows = dest.size() / rowSize;
  size_t done = 0;
  bool ok = true;
  while (done < rows) {
    JDIMENSION read = 0;
    if (!(ok = StepReadRow(s, dest.data() + done * rowSize, read)) || read != 1) break;
    ++done;
  }
  const bool finished = StepFinish(s);
  DeliverWarnings();
  if (!ok || !finished) RaiseJPEGError(s);
  // Data cut short has been reported as a warning; its rows are missing.
  return {source.size() - s.source.pub.bytes_in_buffer, done * rowSize,
          done == rows ? dsComplete : dsEndOfData};
}

// ---------------------------------------------------------------- ThunderScan

TDecodeResult TThunderDecoder::DecodeBlock(std::span<const uint8_t> source, std::span<uint8_t> dest) {
  if (width_ <= 0) return {};
  const size_t rowBytes = (static_cast<size_t>(width_) + 1) / 2;
  codec::TByteSource in(source);
  size_t at = 0;
  while (at < dest.size()) {
    std::span<uint8_t> row = dest.subspan(at, std::min(rowBytes, dest.size() - at));
    std::fill(row.begin(), row.end(), 0);
    const size_t limit = std::min<size_t>(static_cast<size_t>(width_), row.size() * 2);
    size_t count = 0;
    unsigned last = 0;
    // Every pixel goes through here: a code that asks for more than the
    // row holds writes nothing past it.
    auto put = [&](unsigned pixel) {
      if (count >= limit) return;
      if (count % 2 == 0)
        row[count / 2] = static_cast<uint8_t>(pixel << 4);
      else
        row[count / 2] |= static_cast<uint8_t>(pixel);
      ++count;
    };
    static constexpr int kDelta2[4] = {0, 1, 0, -1};                // 2: no pixel
    static constexpr int kDelta3[8] = {0, 1, 2, 3, 0, -3, -2, -1};  // 4: no pixel
    while (count < limit && !in.AtEnd()) {
      const uint8_t c = in.Byte();
      switch (c >> 6) {
        case 0:
          for (unsigned n = c & 63u; n > 0 && count < limit; --n) put(last);
          break;
        case 1:
          for (int shift : {4, 2, 0}) {
            const unsigned d = (c >> shift) & 3u;
            if (d == 2) continue;
            last = static_cast<unsigned>(static_cast<int>(last) + kDelta2[d]) & 15u;
            put(last);
          }
          break;
        case 2:
          for (int shift : {3, 0}) {
            const unsigned d = (c >> shift) & 7u;
            if (d == 4) continue;
            last = static_cast<unsigned>(static_cast<int>(last) + kDelta3[d]) & 15u;
            put(last);
          }
          break;
        default:
          last = c & 15u;
          put(last);
          break;
      }
    }
    at += row.size();
  }
  return {in.Position(), at, at >= dest.size() ? dsComplete : dsEndOfData};
}

// ---------------------------------------------------------------- Photo-CD

namespace {

// The bit window over the residual stream. Past the stream's end it shifts
// in zeros; once every real bit has left the window the data is over.
class TPCDBits {
 public:
  explicit TPCDBits(rtl::TStream& stream) : stream_(stream), buffer_(TPCDDecoder::kBufferSize) {}

  uint32_t window = 0;

  bool Over() const { return padding_ > 4; }
  void Take(int n) {
    window = n >= 32 ? 0 : window << n;
    count_ -= n;
    while (count_ <= 24) {
      window |= static_cast<uint32_t>(NextByte()) << (24 - count_);
      count_ += 8;
    }
  }

 private:
  uint8_t NextByte() {
    if (pos_ == filled_) {
      filled_ = stream_.Read(buffer_.data(), static_cast<int64_t>(buffer_.size()));
      pos_ = 0;
      if (filled_ <= 0) {
        filled_ = 0;
        ++padding_;
        return 0;
      }
    }
    return buffer_[static_cast<size_t>(pos_++)];
  }

  rtl::TStream& stream_;
  std::vector<uint8_t> buffer_;
  int64_t filled_ = 0;
  int64_t pos_ = 0;
  int count_ = 32;
  int padding_ = 0;
};

struct TPCDEntry {
  uint32_t code = 0;
  uint32_t mask = 0;
  int length = 0;
  int8_t residual = 0;
};

bool AtRowMarker(const TPCDBits& b) {
  return (b.window & 0xFFFFFF00u) == 0xFFFFFE00u;
}

// Moves to the next row marker; false when the data ends first.
bool Synchronise(TPCDBits& b) {
  while (!b.Over() && (b.window & 0xFFF000u) != 0xFFF000u) b.Take(8);
  while (!b.Over() && !AtRowMarker(b)) b.Take(1);
  return !b.Over();
}

}  // namespace

TDecodeResult TPCDDecoder::DecodeBlock(std::span<const uint8_t>, std::span<uint8_t>) {
  return {};
}

void TPCDDecoder::DecodePlanes(std::span<uint8_t> luma, std::span<uint8_t> chroma1,
                               std::span<uint8_t> chroma2, uint32_t width, uint32_t height) {
  TPCDBits b(stream_);
  std::vector<TPCDEntry> tables[3];
  // Corrections up to 1536 wide are for luma alone: their chroma is the
  // upsampled chroma of the resolution below, so their one table is the luma
  // table. Chroma rows in such data have no table and are passed over to the
  // next row marker rather than corrected with codes meant for luma.
  const int tableCount = width > 1536 ? 3 : 1;
  for (int t = 0; t < tableCount; ++t) {
    b.Take(8);
    const unsigned entries = (b.window & 0xFFu) + 1;
    for (unsigned e = 0; e < entries; ++e) {
      TPCDEntry entry;
      b.Take(8);
      entry.length = static_cast<int>(b.window & 0xFFu) + 1;
      if (entry.length > 16 || b.Over()) return;
      b.Take(16);
      entry.code = (b.window & 0xFFFFu) << 16;
      b.Take(8);
      entry.residual = static_cast<int8_t>(b.window & 0xFFu);
      entry.mask = ~0u << (32 - entry.length);
      tables[t].push_back(entry);
    }
  }
  b.Take(16);
  b.Take(16);
  if (!Synchronise(b)) return;

  std::span<uint8_t> row;  // the samples the current residuals correct
  const std::vector<TPCDEntry>* table = nullptr;
  size_t column = 0;
  while (!b.Over()) {
    if (AtRowMarker(b)) {
      b.Take(16);
      const uint32_t rowNumber = (b.window >> 9) & 0x1FFFu;
      if (rowNumber >= height) return;
      b.Take(8);
      const uint32_t plane = b.window >> 30;
      b.Take(16);
      std::span<uint8_t> target;
      size_t start = 0;
      switch (plane) {
        case 0:
          target = luma, start = size_t{rowNumber} * width, table = &tables[0];
          break;
        case 2:
          target = chroma1, start = size_t{rowNumber / 2} * width, table = &tables[1];
          break;
        case 3:
          target = chroma2, start = size_t{rowNumber / 2} * width, table = &tables[2];
          break;
        default:
          CodecError(SPCDDataError);
      }
      row = start < target.size() ? target.subspan(start, std::min<size_t>(width, target.size() - start))
                                  : std::span<uint8_t>();
      column = 0;
      continue;
    }
    const TPCDEntry* hit = nullptr;
    if (table)
      for (const TPCDEntry& e : *table)
        if ((b.window & e.mask) == e.code) {
          hit = &e;
          break;
        }
    if (!hit) {
      if (!Synchronise(b)) return;
      continue;
    }
    if (column < row.size())
      row[column] = static_cast<uint8_t>(std::clamp(row[column] + hit->residual, 0, 255));
    ++column;
    b.Take(hit->length);
  }
}

}  // namespace imaging
