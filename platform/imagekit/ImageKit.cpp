#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/imagekit/ImageKitExports.h"
#include "platform/imagekit/TiffComplaints.h"

namespace imagekit {
namespace {

// An image of the library: bilevel (1 = black, rows packed), grey (one byte
// a pixel) or colour (red, green, blue).
enum class Kind { Bilevel, Grey, Rgb };

struct Image {
  int32_t width = 0;
  int32_t height = 0;
  Kind kind = Kind::Rgb;
  size_t stride = 0;
  std::vector<uint8_t> data;
  uint16_t xDpi = 0;
  uint16_t yDpi = 0;
  uint8_t* Row(int32_t y) { return data.data() + static_cast<size_t>(y) * stride; }
};

// The largest image the library takes: what a bitmap may hold.
constexpr int64_t kMaxImageBytes = int64_t{1} << 30;

class ImageTable {
 public:
  std::mutex lock;

  TIKImage Add(std::unique_ptr<Image> image) {
    for (;;) {
      if (++next_ <= 0) next_ = 1;
      if (!images_.count(next_)) break;
    }
    images_[next_] = std::move(image);
    return next_;
  }
  Image* Find(TIKImage handle) {
    auto it = images_.find(handle);
    return it == images_.end() ? nullptr : it->second.get();
  }
  bool Remove(TIKImage handle) { return images_.erase(handle) > 0; }

 private:
  TIKImage next_ = 0;
  std::unordered_map<TIKImage, std::unique_ptr<Image>> images_;
};

// Destroyed when the library is unloaded, with every image not yet freed.
ImageTable& Table() {
  static ImageTable table;
  return table;
}

// ---------------------------------------------------------------------------
// Reading the bitmap behind a handle

int Luminance(const uint8_t* rgb) {
  return (299 * rgb[0] + 587 * rgb[1] + 114 * rgb[2]) / 1000;
}

uint8_t Expand5(unsigned v) {
  return static_cast<uint8_t>((v << 3) | (v >> 2));
}
uint8_t Expand6(unsigned v) {
  return static_cast<uint8_t>((v << 2) | (v >> 4));
}

class RowReader {
 public:
  explicit RowReader(const TKDibInfo& info) : info_(info) {
    for (int i = 0; i < 256; ++i) {
      uint8_t* p = palette_[i];
      if (info.Palette && i < info.PaletteCount) {
        p[0] = info.Palette[4 * i], p[1] = info.Palette[4 * i + 1], p[2] = info.Palette[4 * i + 2];
      } else {
        p[0] = p[1] = p[2] = 0;
      }
    }
  }

  // Red, green, blue of the first width pixels of row y.
  void ReadRgb(int32_t y, int32_t width, uint8_t* out) const {
    const uint8_t* row = info_.Rows + static_cast<int64_t>(y) * info_.Stride;
    for (int32_t x = 0; x < width; ++x, out += 3) {
      switch (info_.BitsPerPixel) {
        case 1:
          std::memcpy(out, palette_[(row[x >> 3] >> (7 - (x & 7))) & 1], 3);
          break;
        case 4:
          std::memcpy(out, palette_[(x & 1) ? (row[x >> 1] & 15) : (row[x >> 1] >> 4)], 3);
          break;
        case 8:
          std::memcpy(out, palette_[row[x]], 3);
          break;
        case 15: {
          unsigned v = row[2 * x] | (row[2 * x + 1] << 8);
          out[0] = Expand5((v >> 10) & 31), out[1] = Expand5((v >> 5) & 31), out[2] = Expand5(v & 31);
          break;
        }
        case 16: {
          unsigned v = row[2 * x] | (row[2 * x + 1] << 8);
          out[0] = Expand5((v >> 11) & 31), out[1] = Expand6((v >> 5) & 63), out[2] = Expand5(v & 31);
          break;
        }
        case 24:
          out[0] = row[3 * x + 2], out[1] = row[3 * x + 1], out[2] = row[3 * x];
          break;
        default:
          out[0] = row[4 * x + 2], out[1] = row[4 * x + 1], out[2] = row[4 * x];
          break;
      }
    }
  }

  bool PaletteIsBlack(int index) const { return Luminance(palette_[index]) < 128; }
  const uint8_t* RawRow(int32_t y) const { return info_.Rows + static_cast<int64_t>(y) * info_.Stride; }

 private:
  const TKDibInfo& info_;
  uint8_t palette_[256][3];
};

bool ValidInfo(const TKDibInfo& info) {
  switch (info.BitsPerPixel) {
    case 1:
    case 4:
    case 8:
    case 15:
    case 16:
    case 24:
    case 32:
      break;
    default:
      return false;
  }
  if (info.Width <= 0 || info.Height <= 0 || !info.Rows) return false;
  int bits = info.BitsPerPixel == 15 ? 16 : info.BitsPerPixel;
  return info.Stride >= (static_cast<int64_t>(info.Width) * bits + 7) / 8;
}

std::unique_ptr<Image> Capture(const TKDibInfo& info, int32_t width, int32_t height, int32_t depth) {
  auto image = std::make_unique<Image>();
  image->width = width;
  image->height = height;
  RowReader reader(info);
  std::vector<uint8_t> rgb(static_cast<size_t>(width) * 3);

  if (depth == 1) {
    image->kind = Kind::Bilevel;
    image->stride = (static_cast<size_t>(width) + 7) / 8;
    image->data.assign(image->stride * static_cast<size_t>(height), 0);
    const uint8_t lastMask = static_cast<uint8_t>(0xFF00 >> (((width - 1) & 7) + 1));
    // A bilevel source goes in whole rows: the two palette entries decide
    // copy, invert or fill.
    const bool black0 = reader.PaletteIsBlack(0), black1 = reader.PaletteIsBlack(1);
    for (int32_t y = 0; y < height; ++y) {
      uint8_t* dst = image->Row(y);
      if (info.BitsPerPixel == 1) {
        const uint8_t* src = reader.RawRow(y);
        if (black1 && !black0) {
          std::memcpy(dst, src, image->stride);
        } else if (black0 && !black1) {
          for (size_t i = 0; i < image->stride; ++i) dst[i] = static_cast<uint8_t>(~src[i]);
        } else {
          std::memset(dst, black1 ? 0xFF : 0, image->stride);
        }
      } else {
        reader.ReadRgb(y, width, rgb.data());
        for (int32_t x = 0; x < width; ++x)
          if (Luminance(&rgb[3 * static_cast<size_t>(x)]) < 128)
            dst[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
      }
      dst[image->stride - 1] &= lastMask;
    }
    return image;
  }

  image->kind = Kind::Rgb;
  image->stride = static_cast<size_t>(width) * 3;
  image->data.resize(image->stride * static_cast<size_t>(height));
  bool grey = true;
  for (int32_t y = 0; y < height; ++y) {
    uint8_t* dst = image->Row(y);
    reader.ReadRgb(y, width, dst);
    if (grey && depth == 8)
      for (int32_t x = 0; x < width && grey; ++x)
        grey = dst[3 * x] == dst[3 * x + 1] && dst[3 * x + 1] == dst[3 * x + 2];
  }
  if (depth == 8 && grey) {
    // Every pixel grey: one sample a pixel loses nothing.
    std::vector<uint8_t> samples(static_cast<size_t>(width) * static_cast<size_t>(height));
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = image->data[3 * i];
    image->kind = Kind::Grey;
    image->stride = static_cast<size_t>(width);
    image->data = std::move(samples);
  }
  return image;
}

// ---------------------------------------------------------------------------
// The directory chain of a file to append to

// libtiff walks the whole chain to find its end before it appends, and
// stops neither at a directory that points back into the chain nor at one
// that holds no entries. The chain is walked here first, each directory
// checked against the file's size, so that such a file is refused.
// More pages than a 16-bit directory number can count is no scan.
constexpr uint64_t kMaxDirectories = 65535;

class ChainReader {
 public:
  ChainReader(int fd, uint64_t size) : fd_(fd), size_(size) {}

  // False when the bytes at offset are not all in the file.
  bool Read(uint64_t offset, void* into, size_t n) {
    if (offset > size_ || n > size_ - offset) return false;
    auto* p = static_cast<uint8_t*>(into);
    for (size_t done = 0; done < n;) {
      ssize_t got = ::pread(fd_, p + done, n - done, static_cast<off_t>(offset + done));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      done += static_cast<size_t>(got);
    }
    return true;
  }
  // An unsigned number of n bytes (2, 4 or 8) in the file's byte order.
  bool Number(uint64_t offset, size_t n, bool bigEndian, uint64_t& value) {
    uint8_t b[8];
    if (!Read(offset, b, n)) return false;
    value = 0;
    for (size_t i = 0; i < n; ++i)
      value |= static_cast<uint64_t>(b[bigEndian ? i : n - 1 - i]) << (8 * (n - 1 - i));
    return true;
  }
  uint64_t Size() const { return size_; }

 private:
  int fd_;
  uint64_t size_;
};

// True when the file is absent or empty (libtiff makes a new one), or a TIFF
// whose chain ends after at most kMaxDirectories sound directories.
bool ChainCanTakeAPage(const char* fileName) {
  int fd = ::open(fileName, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (ok && st.st_size > 0) {
    ChainReader in(fd, static_cast<uint64_t>(st.st_size));
    uint8_t order[2];
    uint64_t version = 0;
    ok = in.Read(0, order, 2) && order[0] == order[1] && (order[0] == 'I' || order[0] == 'M');
    const bool big = ok && order[0] == 'M';
    ok = ok && in.Number(2, 2, big, version) && (version == 42 || version == 43);
    const bool bigTiff = version == 43;
    // Classic: 2-byte counts, 12-byte entries, 4-byte offsets; BigTIFF: 8, 20, 8.
    const size_t countBytes = bigTiff ? 8 : 2, entryBytes = bigTiff ? 20 : 12, offsetBytes = bigTiff ? 8 : 4;
    uint64_t next = 0;
    ok = ok && in.Number(bigTiff ? 8 : 4, offsetBytes, big, next);
    std::unordered_set<uint64_t> seen;
    while (ok && next != 0) {
      uint64_t count = 0;
      ok = seen.size() < kMaxDirectories && seen.insert(next).second &&
           in.Number(next, countBytes, big, count) && count > 0 &&
           count <= (in.Size() - next - countBytes) / entryBytes;
      ok = ok && in.Number(next + countBytes + count * entryBytes, offsetBytes, big, next);
    }
  }
  ::close(fd);
  return ok;
}

// ---------------------------------------------------------------------------
// Writing a page

// A TIFF handle whose errors are collected on this object, not reported
// through libtiff's process-wide handler.
class TiffAppender {
 public:
  ~TiffAppender() { Close(); }

  bool Open(const char* fileName) {
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (!options) return false;
    complaints_.Attach(options);
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, kMaxImageBytes);
    // "a": a new directory at the end; an absent file is created.
    tif_ = TIFFOpenExt(fileName, "a", options);
    TIFFOpenOptionsFree(options);
    return tif_ != nullptr && complaints_.Text.empty();
  }

  bool Close() {
    if (tif_) {
      TIFFClose(tif_);
      tif_ = nullptr;
    }
    return complaints_.Text.empty();
  }

  TIFF* Handle() const { return tif_; }
  bool Failed() const { return !complaints_.Text.empty(); }

 private:
  TIFF* tif_ = nullptr;
  TTiffComplaints complaints_;
};

// A TIFF in memory: what libtiff writes through it stays in a buffer.
class MemoryTiff {
 public:
  ~MemoryTiff() {
    if (tif_) TIFFClose(tif_);
  }

  bool Open() {
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (!options) return false;
    complaints_.Attach(options);
    tif_ = TIFFClientOpenExt("memory", "w", this, &MemoryTiff::Read, &MemoryTiff::Write, &MemoryTiff::Seek,
                             &MemoryTiff::CloseProc, &MemoryTiff::Size, nullptr, nullptr, options);
    TIFFOpenOptionsFree(options);
    return tif_ != nullptr && complaints_.Text.empty();
  }

  TIFF* Handle() const { return tif_; }
  bool Failed() const { return !complaints_.Text.empty(); }
  const std::vector<uint8_t>& Bytes() const { return bytes_; }
  void Reserve(size_t n) { bytes_.reserve(n); }

 private:
  static tmsize_t Read(thandle_t self, void* into, tmsize_t n) {
    auto* me = static_cast<MemoryTiff*>(self);
    if (n < 0 || me->at_ >= me->bytes_.size()) return 0;
    size_t k = std::min(static_cast<size_t>(n), me->bytes_.size() - me->at_);
    std::memcpy(into, me->bytes_.data() + me->at_, k);
    me->at_ += k;
    return static_cast<tmsize_t>(k);
  }
  static tmsize_t Write(thandle_t self, void* from, tmsize_t n) {
    auto* me = static_cast<MemoryTiff*>(self);
    if (n < 0) return -1;
    const size_t k = static_cast<size_t>(n);
    if (me->bytes_.size() < me->at_ + k) me->bytes_.resize(me->at_ + k);
    std::memcpy(me->bytes_.data() + me->at_, from, k);
    me->at_ += k;
    return n;
  }
  static toff_t Seek(thandle_t self, toff_t offset, int whence) {
    auto* me = static_cast<MemoryTiff*>(self);
    uint64_t base = whence == SEEK_CUR ? me->at_ : whence == SEEK_END ? me->bytes_.size() : 0;
    me->at_ = static_cast<size_t>(base + offset);
    return me->at_;
  }
  static int CloseProc(thandle_t) { return 0; }
  static toff_t Size(thandle_t self) { return static_cast<MemoryTiff*>(self)->bytes_.size(); }

  TIFF* tif_ = nullptr;
  std::vector<uint8_t> bytes_;
  size_t at_ = 0;
  TTiffComplaints complaints_;
};

// The fields of a page's directory that its strips' compressed data
// depends on, set on a handle.
bool SetLayout(TIFF* tif, const Image& image, int32_t height, int32_t compression, uint32_t rowsPerStrip) {
  const bool bilevel = image.kind == Kind::Bilevel;
  const uint16_t samples = image.kind == Kind::Rgb ? 3 : 1;
  bool ok = TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(image.width)) &&
            TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(height)) &&
            TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bilevel ? 1 : 8) &&
            TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, samples) &&
            TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
            TIFFSetField(tif, TIFFTAG_PHOTOMETRIC,
                         bilevel ? PHOTOMETRIC_MINISWHITE
                                 : (samples == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK)) &&
            TIFFSetField(tif, TIFFTAG_COMPRESSION,
                         compression == IK_COMPRESSION_G4 ? COMPRESSION_CCITTFAX4 : COMPRESSION_LZW);
  if (ok && bilevel) ok = TIFFSetField(tif, TIFFTAG_FILLORDER, FILLORDER_MSB2LSB);
  if (ok && !bilevel) ok = TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
  if (ok && rowsPerStrip) ok = TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
  return ok;
}

int Cores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  return ::sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
}

// Strips begin..end of a page compressed side by side: each thread encodes
// a run of them through a handle of its own over memory, with the page's
// layout, so that every strip's data is what the page's own handle would
// have made of it (each strip is compressed on its own). The strips are then
// written raw, in order. False when any of it fails.
bool WriteStripsInParallel(TIFF* tif, const Image& image, int32_t compression, uint32_t rowsPerStrip,
                           uint32_t begin, uint32_t end, unsigned threads) {
  struct Run {
    uint32_t first = 0, count = 0;
    MemoryTiff memory;
    bool ok = false;
  };
  std::vector<Run> runs(threads);
  const uint32_t strips = end - begin;
  for (unsigned t = 0; t < threads; ++t) {
    runs[t].first = begin + static_cast<uint32_t>(uint64_t{strips} * t / threads);
    runs[t].count = begin + static_cast<uint32_t>(uint64_t{strips} * (t + 1) / threads) - runs[t].first;
  }
  auto encode = [&](Run& run) {
    if (run.count == 0) {
      run.ok = true;
      return;
    }
    const uint32_t firstRow = run.first * rowsPerStrip;
    const uint32_t rows = std::min(static_cast<uint32_t>(image.height) - firstRow, run.count * rowsPerStrip);
    if (!run.memory.Open()) return;
    TIFF* m = run.memory.Handle();
    if (!SetLayout(m, image, static_cast<int32_t>(rows), compression, rowsPerStrip)) return;
    // Room for the data at its raw size: only what is written of it is used.
    run.memory.Reserve(static_cast<size_t>(rows) * image.stride + 4096);
    for (uint32_t k = 0; k < run.count; ++k) {
      const uint32_t row = k * rowsPerStrip;
      const size_t n = static_cast<size_t>(std::min(rowsPerStrip, rows - row)) * image.stride;
      // A whole strip's predictor works on a copy of its own: the page stays
      // as it is.
      auto* from =
          const_cast<uint8_t*>(image.data.data() + static_cast<size_t>(firstRow + row) * image.stride);
      if (TIFFWriteEncodedStrip(m, k, from, static_cast<tmsize_t>(n)) < 0) return;
    }
    run.ok = !run.memory.Failed();
  };
  std::vector<std::thread> workers;
  try {
    for (unsigned t = 1; t < threads; ++t) workers.emplace_back(encode, std::ref(runs[t]));
  } catch (const std::system_error&) {
    // No more threads: the runs left are encoded here.
  }
  for (unsigned t = static_cast<unsigned>(workers.size()) + 1; t < threads; ++t) encode(runs[t]);
  encode(runs[0]);
  for (auto& w : workers) w.join();
  bool ok = true;
  for (Run& run : runs) {
    ok = ok && run.ok;
    if (!ok || run.count == 0) continue;
    TIFF* m = run.memory.Handle();
    const uint64_t* offsets = nullptr;
    const uint64_t* sizes = nullptr;
    ok = TIFFGetField(m, TIFFTAG_STRIPOFFSETS, &offsets) == 1 &&
         TIFFGetField(m, TIFFTAG_STRIPBYTECOUNTS, &sizes) == 1;
    const std::vector<uint8_t>& bytes = run.memory.Bytes();
    for (uint32_t k = 0; ok && k < run.count; ++k) {
      ok = offsets[k] <= bytes.size() && sizes[k] <= bytes.size() - offsets[k] &&
           TIFFWriteRawStrip(tif, run.first + k, const_cast<uint8_t*>(bytes.data() + offsets[k]),
                             static_cast<tmsize_t>(sizes[k])) == static_cast<tmsize_t>(sizes[k]);
    }
  }
  return ok;
}

// A page of strips enough for two or more threads is compressed by runs of
// kStripsPerRun strips a thread, a band of runs at a time, so that only a
// band's compressed data waits in memory; a smaller page on the calling
// thread.
constexpr uint32_t kStripsPerRun = 16;

bool WritePage(const char* fileName, const Image& image, int32_t compression) {
  if (compression != IK_COMPRESSION_G4 && compression != IK_COMPRESSION_LZW) return false;
  if (compression == IK_COMPRESSION_G4 && image.kind != Kind::Bilevel) return false;
  if (!ChainCanTakeAPage(fileName)) return false;
  TiffAppender file;
  if (!file.Open(fileName)) return false;
  TIFF* tif = file.Handle();
  bool ok = SetLayout(tif, image, image.height, compression, 0);
  uint32_t rowsPerStrip = 0;
  if (ok) {
    rowsPerStrip =
        compression == IK_COMPRESSION_G4 ? static_cast<uint32_t>(image.height) : TIFFDefaultStripSize(tif, 0);
    ok = TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
    rowsPerStrip = std::max<uint32_t>(1, std::min(rowsPerStrip, static_cast<uint32_t>(image.height)));
  }
  if (ok && image.xDpi) ok = TIFFSetField(tif, TIFFTAG_XRESOLUTION, static_cast<float>(image.xDpi));
  if (ok && image.yDpi) ok = TIFFSetField(tif, TIFFTAG_YRESOLUTION, static_cast<float>(image.yDpi));
  if (ok && (image.xDpi || image.yDpi)) ok = TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
  const uint32_t strips = (static_cast<uint32_t>(image.height) + rowsPerStrip - 1) / rowsPerStrip;
  const unsigned threads = std::min<unsigned>(static_cast<unsigned>(Cores()), strips / kStripsPerRun);
  if (ok && threads > 1) {
    const uint32_t band = threads * kStripsPerRun;
    for (uint32_t begin = 0; ok && begin < strips; begin += band)
      ok = WriteStripsInParallel(tif, image, compression, rowsPerStrip, begin, std::min(strips, begin + band),
                                 threads);
  } else {
    // The encoder may work on the row in place, so it gets a copy.
    std::vector<uint8_t> row(image.stride);
    for (int32_t y = 0; ok && y < image.height; ++y) {
      std::memcpy(row.data(), image.data.data() + static_cast<size_t>(y) * image.stride, image.stride);
      ok = TIFFWriteScanline(tif, row.data(), static_cast<uint32_t>(y), 0) == 1;
    }
  }
  if (ok) ok = TIFFWriteDirectory(tif) == 1;
  ok = file.Close() && ok;
  return ok;
}

}  // namespace
}  // namespace imagekit

using imagekit::Table;

extern "C" TIKImage IKGetImageFromHdc(HDC dc, int32_t width, int32_t height, int32_t bitDepth) {
  try {
    if (!dc || dc->Magic != TK_DEVICE_CONTEXT_MAGIC || !dc->Describe) return 0;
    if (bitDepth != 1 && bitDepth != 8 && bitDepth != 24) return 0;
    TKDibInfo info{};
    if (dc->Describe(dc, &info) != 1 || !imagekit::ValidInfo(info)) return 0;
    if (width <= 0 || height <= 0 || width > info.Width || height > info.Height) return 0;
    if (static_cast<int64_t>(width) * 3 > imagekit::kMaxImageBytes / height) return 0;
    auto image = imagekit::Capture(info, width, height, bitDepth);
    std::lock_guard<std::mutex> guard(Table().lock);
    return Table().Add(std::move(image));
  } catch (...) {
    return 0;
  }
}

extern "C" int32_t IKSetDpi(TIKImage image, int32_t xDpi, int32_t yDpi) {
  try {
    if (xDpi < 0 || xDpi > 65535 || yDpi < 0 || yDpi > 65535) return 0;
    std::lock_guard<std::mutex> guard(Table().lock);
    imagekit::Image* img = Table().Find(image);
    if (!img) return 0;
    img->xDpi = static_cast<uint16_t>(xDpi);
    img->yDpi = static_cast<uint16_t>(yDpi);
    return 1;
  } catch (...) {
    return 0;
  }
}

extern "C" int32_t IKTiffFileSave(const char* fileName, TIKImage image, int32_t compression, int32_t, int32_t,
                                  const char*, int32_t, int32_t, const char*, const char*, const char*) {
  try {
    if (!fileName || !*fileName) return 0;
    std::lock_guard<std::mutex> guard(Table().lock);
    imagekit::Image* img = Table().Find(image);
    if (!img) return 0;
    return imagekit::WritePage(fileName, *img, compression) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

extern "C" int32_t IKFreeMemory(TIKImage image) {
  try {
    std::lock_guard<std::mutex> guard(Table().lock);
    return Table().Remove(image) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}
