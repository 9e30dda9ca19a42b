#include "platform/graphics/Jpeg.h"

#include <jerror.h>
#include <jpeglib.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>

namespace graphics {

namespace {

// libjpeg reports a fatal error by calling error_exit, which must not
// return. Ours jumps back to the setjmp of the step that called into
// libjpeg, so no C++ exception ever unwinds through libjpeg's frames and no
// longjmp ever crosses a C++ frame with something to destroy: every step
// below is a small function with nothing but trivial locals.
struct ErrorManager {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
  std::vector<std::string>* warnings;
  int warningCount;
  bool endOfData;  // libjpeg ran out of input and supplied an end marker itself
};

constexpr const char* kPrematureEnd = "Premature end of JPEG file";

void OnErrorExit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->message);
  std::longjmp(err->jump, 1);
}

void OnEmitMessage(j_common_ptr cinfo, int level) {
  if (level >= 0) return;  // trace messages
  auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
  // At the end of the input libjpeg warns and goes on as if the end marker
  // were there. A file that lacks only that marker is whole and loads. When
  // the decoder then still wanted coded data, it fills the rest of the image
  // with grey: the file is cut short, and a page with a grey remainder is
  // refused rather than passed on as if it were the scan.
  if (cinfo->err->msg_code == JWRN_JPEG_EOF) err->endOfData = true;
  if (cinfo->err->msg_code == JWRN_HIT_MARKER && err->endOfData) {
    std::snprintf(err->message, sizeof err->message, "%s", kPrematureEnd);
    std::longjmp(err->jump, 1);
  }
  ++err->pub.num_warnings;
  if (++err->warningCount > TJPEGImage::kMaxWarnings) return;
  char text[JMSG_LENGTH_MAX];
  (*cinfo->err->format_message)(cinfo, text);
  try {
    err->warnings->push_back(text);
  } catch (...) {
    // Out of memory for a warning: drop it, the decoder goes on.
  }
}

// Caps the number of scans of a progressive file.
void OnProgress(j_common_ptr cinfo) {
  if (!cinfo->is_decompressor) return;
  auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
  if (d->input_scan_number > TJPEGImage::kMaxScans) {
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    std::snprintf(err->message, sizeof err->message, "more than %d scans", TJPEGImage::kMaxScans);
    std::longjmp(err->jump, 1);
  }
}

struct Decoder {
  jpeg_decompress_struct cinfo;
  ErrorManager err;
  jpeg_progress_mgr progress;
  bool created = false;

  ~Decoder() {
    if (created) jpeg_destroy_decompress(&cinfo);
  }
};

// The steps. Each returns false when libjpeg gave up; the reason is in
// d.err.message.
bool Create(Decoder& d, const uint8_t* data, size_t size) {
  d.cinfo.err = jpeg_std_error(&d.err.pub);
  d.err.pub.error_exit = OnErrorExit;
  d.err.pub.emit_message = OnEmitMessage;
  if (setjmp(d.err.jump)) return false;
  jpeg_create_decompress(&d.cinfo);
  d.created = true;
  d.progress.progress_monitor = OnProgress;
  d.cinfo.progress = &d.progress;
  jpeg_mem_src(&d.cinfo, data, static_cast<unsigned long>(size));
  return true;
}

bool ReadHeader(Decoder& d) {
  if (setjmp(d.err.jump)) return false;
  return jpeg_read_header(&d.cinfo, TRUE) == JPEG_HEADER_OK;
}

bool Start(Decoder& d) {
  if (setjmp(d.err.jump)) return false;
  return jpeg_start_decompress(&d.cinfo) == TRUE;
}

bool ReadRows(Decoder& d, JSAMPARRAY rows, JDIMENSION count, JDIMENSION* got) {
  if (setjmp(d.err.jump)) return false;
  *got = jpeg_read_scanlines(&d.cinfo, rows, count);
  return true;
}

bool Finish(Decoder& d) {
  if (setjmp(d.err.jump)) return false;
  jpeg_finish_decompress(&d.cinfo);
  return true;
}

// Huffman-coded data spends at least one bit on every block of each
// component that a scan codes, so the file must hold at least one bit per
// block of its smallest component. Checked before the pixels are allocated:
// a few hundred bytes must not claim a bitmap of a gigabyte. Arithmetic
// coding has no such floor.
bool TooShortForItsSize(const jpeg_decompress_struct& c, size_t bytes) {
  if (c.arith_code) return false;
  uint64_t fewest = UINT64_MAX;
  for (int i = 0; i < c.num_components; ++i)
    fewest = std::min(
        fewest, static_cast<uint64_t>(c.comp_info[i].width_in_blocks) * c.comp_info[i].height_in_blocks);
  return fewest / 8 > bytes;
}

// A progressive image is whole once every coefficient of every component has
// been refined to its last bit; after the input ended early, anything less
// is a coarse or partly grey picture.
bool AllCoefficientsComplete(const jpeg_decompress_struct& c) {
  if (!c.coef_bits) return true;
  for (int i = 0; i < c.num_components; ++i)
    for (int k = 0; k < DCTSIZE2; ++k)
      if (c.coef_bits[i][k] != 0) return false;
  return true;
}

// Rows handed to libjpeg per call.
constexpr int kRowsPerCall = 16;

// The largest file taken: its bytes are kept with the image.
constexpr int64_t kMaxFileBytes = int64_t{1} << 30;

}  // namespace

TGraphicClass TJPEGImage::StaticClass() {
  static const TGraphicClassInfo info{
      "TJPEGImage", TGraphic::StaticClass(),
      []() -> std::unique_ptr<TGraphic> { return std::make_unique<TJPEGImage>(); }};
  return &info;
}

TJPEGImage::TJPEGImage() = default;
TJPEGImage::~TJPEGImage() = default;

void TJPEGImage::SetWidth(int) {
  throw EInvalidGraphicOperation("A JPEG image cannot be resized");
}
void TJPEGImage::SetHeight(int) {
  throw EInvalidGraphicOperation("A JPEG image cannot be resized");
}

void TJPEGImage::LoadFromStream(rtl::TStream& stream) {
  int64_t size = stream.Size() - stream.Position();
  if (size < 0) size = 0;
  if (size > kMaxFileBytes) throw EJPEG("JPEG error: the file is larger than 1 GiB");
  std::vector<uint8_t> data(static_cast<size_t>(size));
  if (size) stream.ReadBuffer(data.data(), size);

  std::vector<std::string> warnings;
  auto deliver = [&] {
    if (OnWarning)
      for (const std::string& w : warnings) OnWarning(this, w);
    warnings.clear();
  };
  auto fail = [&](const char* message) {
    deliver();
    throw EJPEG(std::string("JPEG error: ") + message);
  };

  Decoder d;
  d.err.warnings = &warnings;
  d.err.warningCount = 0;
  d.err.endOfData = false;
  if (data.empty()) throw EJPEG("JPEG error: no data");
  if (!Create(d, data.data(), data.size()) || !ReadHeader(d)) fail(d.err.message);

  jpeg_decompress_struct& c = d.cinfo;
  const bool grey = c.jpeg_color_space == JCS_GRAYSCALE;
  const bool cmyk = c.jpeg_color_space == JCS_CMYK || c.jpeg_color_space == JCS_YCCK;
  c.out_color_space = grey ? JCS_GRAYSCALE : cmyk ? JCS_CMYK : JCS_EXT_BGR;
  // Adobe's CMYK files store the inks inverted (0 = full ink).
  const bool inverted =
      SampleStorage == ssInverted || (cmyk && SampleStorage == ssByAdobeMarker && c.saw_Adobe_marker);
  // Progressive files keep every coefficient in memory: two bytes a sample.
  c.mem->max_memory_to_use = static_cast<long>(3 * TBitmap::PixelMemoryLimit());

  if (TooShortForItsSize(c, data.size()))
    fail(rtl::Format("the file is too short for an image of %d x %d pixels", {c.image_width, c.image_height})
             .c_str());
  // The size guard runs before libjpeg allocates anything for the pixels.
  TBitmap bitmap;
  bitmap.SetPixelFormat(grey ? pf8bit : pf24bit);
  bitmap.SetSize(static_cast<int>(std::min<JDIMENSION>(c.image_width, INT32_MAX)),
                 static_cast<int>(std::min<JDIMENSION>(c.image_height, INT32_MAX)));
  if (!Start(d)) fail(d.err.message);
  // A progressive file is read whole by Start.
  if (d.err.endOfData && !AllCoefficientsComplete(c)) fail(kPrematureEnd);
  if (c.output_width != c.image_width || c.output_height != c.image_height) fail("unexpected output size");

  const int width = bitmap.Width(), height = bitmap.Height();
  const TRect rowRect = Rect(0, 0, width, 1);
  Progress(psStarting, 0, false, rowRect, "Loading data...");
  std::vector<uint8_t> inks(cmyk ? static_cast<size_t>(width) * 4 * kRowsPerCall : 0);
  JSAMPROW rows[kRowsPerCall];
  while (c.output_scanline < c.output_height) {
    const int first = static_cast<int>(c.output_scanline);
    const int count = std::min(kRowsPerCall, height - first);
    for (int i = 0; i < count; ++i)
      rows[i] = cmyk ? inks.data() + static_cast<size_t>(i) * width * 4 : bitmap.ScanLine(first + i);
    JDIMENSION got = 0;
    if (!ReadRows(d, rows, static_cast<JDIMENSION>(count), &got)) fail(d.err.message);
    if (got == 0) fail("no rows decoded");
    if (cmyk) {
      for (JDIMENSION i = 0; i < got; ++i) {
        const uint8_t* k4 = rows[i];
        uint8_t* out = bitmap.ScanLine(first + static_cast<int>(i));
        for (int x = 0; x < width; ++x, k4 += 4, out += 3) {
          unsigned cc = k4[0], m = k4[1], y = k4[2], k = k4[3];
          if (!inverted) cc = 255 - cc, m = 255 - m, y = 255 - y, k = 255 - k;
          out[0] = static_cast<uint8_t>((y * k + 127) / 255);
          out[1] = static_cast<uint8_t>((m * k + 127) / 255);
          out[2] = static_cast<uint8_t>((cc * k + 127) / 255);
        }
      }
    } else if (inverted) {
      const size_t bytes = static_cast<size_t>(width) * (grey ? 1 : 3);
      for (JDIMENSION i = 0; i < got; ++i)
        for (size_t b = 0; b < bytes; ++b) rows[i][b] = static_cast<JSAMPLE>(255 - rows[i][b]);
    }
    int done = first + static_cast<int>(got);
    Progress(psRunning, static_cast<uint8_t>(static_cast<int64_t>(done) * 100 / height), true,
             Rect(0, done - 1, width, done), "");
  }
  if (!Finish(d)) fail(d.err.message);
  const size_t end = data.size() - std::min(data.size(), static_cast<size_t>(c.src->bytes_in_buffer));
  if (d.err.warningCount > kMaxWarnings)
    warnings.push_back(rtl::Format("%d further warnings", {d.err.warningCount - kMaxWarnings}));
  Progress(psEnding, 0, false, rowRect, "");

  if (grey) bitmap.SetPalette(MakeGrayRampPalette(256));
  data_ = std::move(data);
  bitmap_.TakeOver(bitmap);
  grayscale_ = grey;
  progressive_ = c.progressive_mode;
  end_ = end;
  deliver();
}

void TJPEGImage::SaveToStream(rtl::TStream& stream) const {
  if (!data_.empty()) stream.WriteBuffer(data_.data(), static_cast<int64_t>(data_.size()));
}

void TJPEGImage::Assign(const TGraphic& source) {
  if (&source == this) return;
  const auto* src = dynamic_cast<const TJPEGImage*>(&source);
  if (!src) {
    TGraphic::Assign(source);
    return;
  }
  data_ = src->data_;
  bitmap_.Assign(src->bitmap_);
  grayscale_ = src->grayscale_;
  progressive_ = src->progressive_;
  end_ = src->end_;
}

void TJPEGImage::AssignTo(TGraphic& dest) const {
  if (auto* b = dynamic_cast<TBitmap*>(&dest)) {
    b->Assign(bitmap_);
    return;
  }
  TGraphic::AssignTo(dest);
}

}  // namespace graphics
