#include "platform/graphics/Graphics.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "platform/graphics/FontEngine.h"
#include "platform/graphics/Jpeg.h"
#include "platform/rtl/CodePages.h"

namespace graphics {

namespace {

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

std::string ExtensionOf(const std::string& fileName) {
  size_t slash = fileName.find_last_of('/');
  size_t dot = fileName.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  return fileName.substr(dot + 1);
}

}  // namespace

// ---------------------------------------------------------------------------
// Palettes

const TPaletteEntry& TPalette::Entry(int index) const {
  if (index < 0 || index >= Count())
    throw EInvalidGraphicOperation(rtl::Format("Palette index out of range (%d)", {index}));
  return entries_[static_cast<size_t>(index)];
}

int TPalette::NearestIndex(uint8_t r, uint8_t g, uint8_t b) const {
  int best = -1;
  int bestDistance = 0;
  for (int i = 0; i < Count(); ++i) {
    const TPaletteEntry& e = entries_[static_cast<size_t>(i)];
    int dr = e.peRed - r, dg = e.peGreen - g, db = e.peBlue - b;
    int d = dr * dr + dg * dg + db * db;
    if (best < 0 || d < bestDistance) {
      best = i;
      bestDistance = d;
      if (d == 0) break;
    }
  }
  return best;
}

HPALETTE CreatePalette(const TLogPalette& logPalette) {
  size_t n = logPalette.palPalEntry.size();
  if (n == 0 || n > static_cast<size_t>(kMaxPaletteEntries))
    throw EInvalidGraphic(rtl::Format("A palette holds 1 to %d entries, not %d",
                                      {kMaxPaletteEntries, static_cast<int64_t>(n)}));
  return std::make_unique<TPalette>(logPalette.palPalEntry);
}

HPALETTE MakeBlackWhitePalette() {
  return std::make_unique<TPalette>(std::vector<TPaletteEntry>{{0, 0, 0, 0}, {255, 255, 255, 0}});
}

HPALETTE MakeGrayRampPalette(int entries) {
  if (entries < 2 || entries > kMaxPaletteEntries)
    throw EInvalidGraphic(
        rtl::Format("A grey ramp holds 2 to %d entries, not %d", {kMaxPaletteEntries, entries}));
  std::vector<TPaletteEntry> e(static_cast<size_t>(entries));
  for (int i = 0; i < entries; ++i) {
    auto v = static_cast<uint8_t>(i * 255 / (entries - 1));
    e[static_cast<size_t>(i)] = {v, v, v, 0};
  }
  return std::make_unique<TPalette>(std::move(e));
}

HPALETTE MakeVgaPalette() {
  static constexpr uint8_t kColors[16][3] = {{0, 0, 0},       {128, 0, 0},   {0, 128, 0},   {128, 128, 0},
                                             {0, 0, 128},     {128, 0, 128}, {0, 128, 128}, {192, 192, 192},
                                             {128, 128, 128}, {255, 0, 0},   {0, 255, 0},   {255, 255, 0},
                                             {0, 0, 255},     {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};
  std::vector<TPaletteEntry> e;
  for (const auto& c : kColors) e.push_back({c[0], c[1], c[2], 0});
  return std::make_unique<TPalette>(std::move(e));
}

HPALETTE MakeColorCubePalette() {
  std::vector<TPaletteEntry> e(256);
  for (int i = 0; i < 256; ++i) {
    int r = (i >> 5) & 7, g = (i >> 2) & 7, b = i & 3;
    e[static_cast<size_t>(i)] = {static_cast<uint8_t>(r * 255 / 7), static_cast<uint8_t>(g * 255 / 7),
                                 static_cast<uint8_t>(b * 255 / 3), 0};
  }
  return std::make_unique<TPalette>(std::move(e));
}

// ---------------------------------------------------------------------------
// Class references and the graphic base

bool TGraphicClassInfo::InheritsFrom(const TGraphicClassInfo* other) const {
  for (const TGraphicClassInfo* c = this; c; c = c->Parent)
    if (c == other) return true;
  return false;
}

TGraphicClass TGraphic::StaticClass() {
  static const TGraphicClassInfo info{"TGraphic", nullptr, nullptr};
  return &info;
}

std::unique_ptr<TGraphic> TGraphic::NewInstance() const {
  TGraphicClass c = ClassType();
  if (!c->Create)
    throw EInvalidGraphicOperation(rtl::Format("Cannot create an instance of %s", {c->ClassName}));
  return c->Create();
}

void TGraphic::LoadFromFile(const std::string& fileName) {
  rtl::TFileStream stream(fileName, rtl::fmOpenRead | rtl::fmShareDenyWrite);
  LoadFromStream(stream);
}

void TGraphic::SaveToFile(const std::string& fileName) const {
  rtl::TFileStream stream(fileName, rtl::fmCreate);
  SaveToStream(stream);
}

void TGraphic::Assign(const TGraphic& source) {
  if (&source == this) return;
  source.AssignTo(*this);
}

void TGraphic::AssignTo(TGraphic& dest) const {
  throw rtl::EConvertError(rtl::Format("Cannot assign a %s to a %s", {ClassName(), dest.ClassName()}));
}

void TGraphic::Progress(TProgressStage stage, uint8_t percentDone, bool redrawNow, const TRect& r,
                        const std::string& msg) {
  if (OnProgress) OnProgress(this, stage, percentDone, redrawNow, r, msg);
}

// ---------------------------------------------------------------------------
// Pixel formats and row conversion

int BitsPerPixel(TPixelFormat pf) {
  switch (pf) {
    case pf1bit:
      return 1;
    case pf4bit:
      return 4;
    case pf8bit:
      return 8;
    case pf15bit:
    case pf16bit:
      return 16;
    case pf24bit:
      return 24;
    case pf32bit:
      return 32;
    default:
      return 0;
  }
}

const char* PixelFormatName(TPixelFormat pf) {
  static constexpr const char* kNames[] = {"pfDevice", "pf1bit",  "pf4bit",  "pf8bit",  "pf15bit",
                                           "pf16bit",  "pf24bit", "pf32bit", "pfCustom"};
  int i = static_cast<int>(pf);
  return i >= 0 && i <= 8 ? kNames[i] : "pfCustom";
}

namespace {

bool IsIndexed(TPixelFormat pf) {
  return pf == pf1bit || pf == pf4bit || pf == pf8bit;
}

std::atomic<int64_t>& PixelLimit() {
  static std::atomic<int64_t> limit{TBitmap::kMaxPixelBytes};
  return limit;
}

HPALETTE DefaultPalette(TPixelFormat pf) {
  switch (pf) {
    case pf1bit:
      return MakeBlackWhitePalette();
    case pf4bit:
      return MakeVgaPalette();
    case pf8bit:
      return MakeGrayRampPalette(256);
    default:
      return nullptr;
  }
}

int IndexAt(const uint8_t* row, int x, int bpp) {
  switch (bpp) {
    case 1:
      return (row[x >> 3] >> (7 - (x & 7))) & 1;
    case 4:
      return (x & 1) ? (row[x >> 1] & 0x0F) : (row[x >> 1] >> 4);
    default:
      return row[x];
  }
}

void SetIndexAt(uint8_t* row, int x, int bpp, int index) {
  switch (bpp) {
    case 1: {
      auto mask = static_cast<uint8_t>(0x80 >> (x & 7));
      if (index & 1)
        row[x >> 3] = static_cast<uint8_t>(row[x >> 3] | mask);
      else
        row[x >> 3] = static_cast<uint8_t>(row[x >> 3] & ~mask);
      break;
    }
    case 4:
      if (x & 1)
        row[x >> 1] = static_cast<uint8_t>((row[x >> 1] & 0xF0) | (index & 0x0F));
      else
        row[x >> 1] = static_cast<uint8_t>((row[x >> 1] & 0x0F) | ((index & 0x0F) << 4));
      break;
    default:
      row[x] = static_cast<uint8_t>(index);
  }
}

uint8_t Expand5(unsigned v) {
  return static_cast<uint8_t>((v << 3) | (v >> 2));
}
uint8_t Expand6(unsigned v) {
  return static_cast<uint8_t>((v << 2) | (v >> 4));
}

// Decodes one row of any format into blue, green, red triples.
void RowToBGR(const uint8_t* row, int width, TPixelFormat pf, const TPalette* palette, uint8_t* out) {
  switch (pf) {
    case pf1bit:
    case pf4bit:
    case pf8bit: {
      int bpp = BitsPerPixel(pf);
      for (int x = 0; x < width; ++x) {
        int i = IndexAt(row, x, bpp);
        uint8_t* o = out + 3 * x;
        if (palette && i < palette->Count()) {
          const TPaletteEntry& e = palette->Entries()[static_cast<size_t>(i)];
          o[0] = e.peBlue, o[1] = e.peGreen, o[2] = e.peRed;
        } else {
          o[0] = o[1] = o[2] = 0;
        }
      }
      break;
    }
    case pf15bit:
      for (int x = 0; x < width; ++x) {
        unsigned v = row[2 * x] | (row[2 * x + 1] << 8);
        out[3 * x] = Expand5(v & 31), out[3 * x + 1] = Expand5((v >> 5) & 31),
                out[3 * x + 2] = Expand5((v >> 10) & 31);
      }
      break;
    case pf16bit:
      for (int x = 0; x < width; ++x) {
        unsigned v = row[2 * x] | (row[2 * x + 1] << 8);
        out[3 * x] = Expand5(v & 31), out[3 * x + 1] = Expand6((v >> 5) & 63),
                out[3 * x + 2] = Expand5((v >> 11) & 31);
      }
      break;
    case pf24bit:
      std::memcpy(out, row, static_cast<size_t>(width) * 3);
      break;
    case pf32bit:
      for (int x = 0; x < width; ++x) std::memcpy(out + 3 * x, row + 4 * x, 3);
      break;
    default:
      break;
  }
}

// Encodes blue, green, red triples into a row of a direct-colour format.
void BGRToDirectRow(const uint8_t* in, int width, TPixelFormat pf, uint8_t* row) {
  switch (pf) {
    case pf15bit:
      for (int x = 0; x < width; ++x) {
        const uint8_t* p = in + 3 * x;
        unsigned v = (p[0] >> 3) | ((p[1] >> 3) << 5) | ((p[2] >> 3) << 10);
        row[2 * x] = static_cast<uint8_t>(v), row[2 * x + 1] = static_cast<uint8_t>(v >> 8);
      }
      break;
    case pf16bit:
      for (int x = 0; x < width; ++x) {
        const uint8_t* p = in + 3 * x;
        unsigned v = (p[0] >> 3) | ((p[1] >> 2) << 5) | ((p[2] >> 3) << 11);
        row[2 * x] = static_cast<uint8_t>(v), row[2 * x + 1] = static_cast<uint8_t>(v >> 8);
      }
      break;
    case pf24bit:
      std::memcpy(row, in, static_cast<size_t>(width) * 3);
      break;
    case pf32bit:
      for (int x = 0; x < width; ++x) {
        std::memcpy(row + 4 * x, in + 3 * x, 3);
        row[4 * x + 3] = 0;
      }
      break;
    default:
      break;
  }
}

// 1 bit to 24 bits through a table of the 8 pixels of every byte value,
// made once per conversion.
class Expander1To24 {
 public:
  explicit Expander1To24(const TPalette* palette) {
    for (int i = 0; i < 2; ++i)
      if (palette && i < palette->Count()) {
        const TPaletteEntry& e = palette->Entries()[static_cast<size_t>(i)];
        bgr_[i][0] = e.peBlue, bgr_[i][1] = e.peGreen, bgr_[i][2] = e.peRed;
      }
    for (int v = 0; v < 256; ++v)
      for (int b = 0; b < 8; ++b)
        std::memcpy(&table_[static_cast<size_t>(v)][static_cast<size_t>(3 * b)], bgr_[(v >> (7 - b)) & 1], 3);
  }

  void Row(const uint8_t* row, int width, uint8_t* out) const {
    int whole = width / 8;
    for (int i = 0; i < whole; ++i) std::memcpy(out + 24 * i, table_[row[i]].data(), 24);
    for (int x = whole * 8; x < width; ++x)
      std::memcpy(out + 3 * x, bgr_[(row[x >> 3] >> (7 - (x & 7))) & 1], 3);
  }

 private:
  uint8_t bgr_[2][3] = {};
  std::array<std::array<uint8_t, 24>, 256> table_;
};

// Maps colours onto the entries of a target palette: exact colours through
// a lookup, others to the nearest entry.
class ColorMapper {
 public:
  explicit ColorMapper(const TPalette& palette) : palette_(palette) {
    for (int i = palette.Count() - 1; i >= 0; --i) {
      const TPaletteEntry& e = palette.Entries()[static_cast<size_t>(i)];
      cache_[Key(e.peBlue, e.peGreen, e.peRed)] = i;
    }
  }
  int Map(const uint8_t* bgr) {
    uint32_t k = Key(bgr[0], bgr[1], bgr[2]);
    auto it = cache_.find(k);
    if (it != cache_.end()) return it->second;
    int i = palette_.NearestIndex(bgr[2], bgr[1], bgr[0]);
    cache_.emplace(k, i);
    return i;
  }

 private:
  static uint32_t Key(uint8_t b, uint8_t g, uint8_t r) {
    return b | (g << 8) | (static_cast<uint32_t>(r) << 16);
  }
  const TPalette& palette_;
  std::unordered_map<uint32_t, int> cache_;
};

// 24 bits to 1 bit against the black and white palette: black and white
// exactly, any other colour to the nearer of the two.
void Pack24To1(const uint8_t* in, int width, uint8_t* row) {
  int bytes = (width + 7) / 8;
  for (int i = 0; i < bytes; ++i) {
    unsigned v = 0;
    int n = std::min(8, width - 8 * i);
    const uint8_t* p = in + 24 * i;
    // Scans are mostly runs of white or black: whole bytes of either first.
    static constexpr uint8_t kWhite[24] = {255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
                                           255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255};
    static constexpr uint8_t kBlack[24] = {};
    if (n == 8) {
      if (std::memcmp(p, kWhite, 24) == 0) {
        row[i] = 0xFF;
        continue;
      }
      if (std::memcmp(p, kBlack, 24) == 0) {
        row[i] = 0;
        continue;
      }
    }
    for (int b = 0; b < n; ++b, p += 3) {
      unsigned bit;
      if ((p[0] | p[1] | p[2]) == 0)
        bit = 0;
      else if ((p[0] & p[1] & p[2]) == 255)
        bit = 1;
      else {
        int d0 = p[0] * p[0] + p[1] * p[1] + p[2] * p[2];
        int d1 = (255 - p[0]) * (255 - p[0]) + (255 - p[1]) * (255 - p[1]) + (255 - p[2]) * (255 - p[2]);
        bit = d1 < d0 ? 1 : 0;
      }
      v |= bit << (7 - b);
    }
    row[i] = static_cast<uint8_t>(v);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Canvas

TCanvas::TCanvas(TBitmap& owner) : owner_(owner) {
  dc_.Magic = TK_DEVICE_CONTEXT_MAGIC;
  dc_.Owner = this;
  dc_.Describe = &TCanvas::Describe;
}

TCanvas::~TCanvas() = default;

TSize TCanvas::TextExtent(const std::string& text) {
  return TextExtent(rtl::MultiByteToWide(text));
}

TSize TCanvas::TextExtent(const std::u16string& text) {
  TFontFace& face = SelectedFace();
  int64_t width = 0;
  for (char32_t c : CodePointsOf(text)) width += face.Advance(c);
  return TSize{static_cast<int32_t>(std::min<int64_t>(width, INT32_MAX)), face.TextMetric().tmHeight};
}

TFontFace& TCanvas::SelectedFace() {
  TFontRequest request = RequestFor(font_);
  if (!face_ || !(face_->Request() == request)) {
    face_.reset();
    face_ = std::make_unique<TFontFace>(request);
  }
  return *face_;
}

TCanvas& ScreenCanvas() {
  static TBitmap screen;
  return screen.Canvas();
}

TBitmap* TCanvas::BitmapFromHandle(HDC dc) {
  if (!dc || dc->Magic != TK_DEVICE_CONTEXT_MAGIC || dc->Describe != &TCanvas::Describe) return nullptr;
  return &static_cast<TCanvas*>(dc->Owner)->owner_;
}

int TCanvas::Describe(const TKDeviceContext* dc, TKDibInfo* info) {
  if (!dc || !info || dc->Magic != TK_DEVICE_CONTEXT_MAGIC) return 0;
  TBitmap& b = static_cast<TCanvas*>(dc->Owner)->owner_;
  int bpp = BitsPerPixel(b.PixelFormat());
  if (bpp == 0 || b.Empty()) return 0;
  info->Width = b.Width();
  info->Height = b.Height();
  info->BitsPerPixel = b.PixelFormat() == pf15bit ? 15 : bpp;
  info->Stride = static_cast<int32_t>(b.Stride());
  info->Rows = b.ScanLine(0);
  const TPalette* p = b.Palette();
  info->PaletteCount = p ? p->Count() : 0;
  info->Palette = p ? reinterpret_cast<const uint8_t*>(p->Entries().data()) : nullptr;
  return 1;
}

static_assert(sizeof(TPaletteEntry) == 4, "palette entries are read as 4 bytes by the device context");

// ---------------------------------------------------------------------------
// Bitmap

TGraphicClass TBitmap::StaticClass() {
  static const TGraphicClassInfo info{"TBitmap", TGraphic::StaticClass(), []() -> std::unique_ptr<TGraphic> {
                                        return std::make_unique<TBitmap>();
                                      }};
  return &info;
}

TBitmap::TBitmap() = default;
TBitmap::~TBitmap() = default;

void TBitmap::SetPixelMemoryLimit(int64_t bytes) {
  PixelLimit() = std::clamp<int64_t>(bytes, 0, kMaxPixelBytes);
}

int64_t TBitmap::PixelMemoryLimit() {
  return PixelLimit();
}

int64_t TBitmap::BytesPerScanLine(int width, TPixelFormat pf) {
  int bpp = BitsPerPixel(pf);
  if (bpp == 0)
    throw EInvalidGraphicOperation(rtl::Format("Pixel format %s has no pixel layout", {PixelFormatName(pf)}));
  return (static_cast<int64_t>(width) * bpp + 31) / 32 * 4;
}

int64_t TBitmap::Stride() const {
  return BytesPerScanLine(width_, pixelFormat_);
}

void TBitmap::RequireLayout(const char* what) const {
  if (BitsPerPixel(pixelFormat_) == 0)
    throw EInvalidGraphicOperation(rtl::Format("%s needs pixels, which pixel format %s does not describe",
                                               {what, PixelFormatName(pixelFormat_)}));
}

void TBitmap::Reallocate(int width, int height, TPixelFormat pf, bool keep) {
  if (width < 0 || height < 0)
    throw EInvalidGraphic(rtl::Format("Invalid bitmap size %d x %d", {width, height}));
  if (width == 0 || height == 0) {
    bits_.clear();
    bits_.shrink_to_fit();
    width_ = width, height_ = height;
    return;
  }
  int64_t stride = BytesPerScanLine(width, pf);
  int64_t limit = PixelMemoryLimit();
  if (stride > limit / height)
    throw EInvalidGraphic(
        rtl::Format("A bitmap of %d x %d pixels at %d bits per pixel exceeds the pixel memory limit",
                    {width, height, BitsPerPixel(pf)}));
  std::vector<uint8_t> bits(static_cast<size_t>(stride * height), 0);
  if (keep && !bits_.empty()) {
    int64_t oldStride = Stride();
    int rows = std::min(height, height_);
    int64_t copyBits = static_cast<int64_t>(std::min(width, width_)) * BitsPerPixel(pf);
    size_t whole = static_cast<size_t>(copyBits / 8);
    int restBits = static_cast<int>(copyBits % 8);
    for (int y = 0; y < rows; ++y) {
      const uint8_t* src = bits_.data() + y * oldStride;
      uint8_t* dst = bits.data() + y * stride;
      std::memcpy(dst, src, whole);
      if (restBits) dst[whole] = static_cast<uint8_t>(src[whole] & (0xFF00 >> restBits));
    }
  }
  bits_ = std::move(bits);
  width_ = width, height_ = height;
}

void TBitmap::SetSize(int width, int height) {
  if (width == width_ && height == height_) return;
  if (width != 0 && height != 0) RequireLayout("Setting the size");
  Reallocate(width, height, pixelFormat_, true);
}

uint8_t* TBitmap::ScanLine(int y) {
  return const_cast<uint8_t*>(static_cast<const TBitmap*>(this)->ScanLine(y));
}

const uint8_t* TBitmap::ScanLine(int y) const {
  RequireLayout("ScanLine");
  if (y < 0 || y >= height_ || width_ == 0)
    throw EInvalidGraphicOperation(rtl::Format("Scan line index out of range (%d)", {y}));
  return bits_.data() + static_cast<int64_t>(y) * Stride();
}

void TBitmap::SetPalette(HPALETTE palette) {
  if (!palette && IsIndexed(pixelFormat_)) palette = DefaultPalette(pixelFormat_);
  palette_ = std::move(palette);
}

TColor TBitmap::Pixel(int x, int y) const {
  if (x < 0 || x >= width_) throw EInvalidGraphicOperation(rtl::Format("Pixel index out of range (%d)", {x}));
  const uint8_t* row = ScanLine(y);
  int bpp = BitsPerPixel(pixelFormat_);
  uint8_t bgr[3] = {};
  if (IsIndexed(pixelFormat_)) {
    // Decode only the one pixel: find its byte and shift it to position 0.
    int i = IndexAt(row, x, bpp);
    if (!palette_ || i >= palette_->Count()) return clBlack;
    const TPaletteEntry& e = palette_->Entries()[static_cast<size_t>(i)];
    return RGB(e.peRed, e.peGreen, e.peBlue);
  }
  RowToBGR(row + static_cast<int64_t>(x) * bpp / 8, 1, pixelFormat_, nullptr, bgr);
  return RGB(bgr[2], bgr[1], bgr[0]);
}

void TBitmap::SetPixelFormat(TPixelFormat pf) {
  if (pf == pixelFormat_) return;
  if (pf < pfDevice || pf > pfCustom) throw EInvalidGraphicOperation("Unknown pixel format");
  if (Empty()) {
    pixelFormat_ = pf;
    palette_ = DefaultPalette(pf);
    if (width_ || height_) Reallocate(width_, height_, pf, false);
    return;
  }
  if (BitsPerPixel(pf) == 0)
    throw EInvalidGraphicOperation(rtl::Format(
        "Cannot convert pixels to pixel format %s, which has no pixel layout", {PixelFormatName(pf)}));
  RequireLayout("Converting the pixel format");

  TBitmap target;
  target.pixelFormat_ = pf;
  target.Reallocate(width_, height_, pf, false);
  const TPixelFormat from = pixelFormat_;
  const int w = width_;
  std::vector<uint8_t> bgr(static_cast<size_t>(w) * 3);

  if (!IsIndexed(pf)) {
    std::unique_ptr<Expander1To24> expander;
    if (from == pf1bit && pf == pf24bit) expander = std::make_unique<Expander1To24>(palette_.get());
    for (int y = 0; y < height_; ++y) {
      if (expander) {
        expander->Row(ScanLine(y), w, target.ScanLine(y));
        continue;
      }
      RowToBGR(ScanLine(y), w, from, palette_.get(), bgr.data());
      BGRToDirectRow(bgr.data(), w, pf, target.ScanLine(y));
    }
    target.palette_ = nullptr;
  } else if (IsIndexed(from) && BitsPerPixel(from) <= BitsPerPixel(pf)) {
    // More bits per index: the indices and the palette stay as they are.
    int fromBpp = BitsPerPixel(from), toBpp = BitsPerPixel(pf);
    for (int y = 0; y < height_; ++y) {
      const uint8_t* src = ScanLine(y);
      uint8_t* dst = target.ScanLine(y);
      for (int x = 0; x < w; ++x) SetIndexAt(dst, x, toBpp, IndexAt(src, x, fromBpp));
    }
    target.palette_ = palette_ ? std::make_unique<TPalette>(palette_->Entries()) : DefaultPalette(pf);
  } else if (pf == pf1bit) {
    target.palette_ = MakeBlackWhitePalette();
    for (int y = 0; y < height_; ++y) {
      const uint8_t* src = ScanLine(y);
      if (from != pf24bit) {
        RowToBGR(src, w, from, palette_.get(), bgr.data());
        src = bgr.data();
      }
      Pack24To1(src, w, target.ScanLine(y));
    }
  } else {
    // Choose the target palette from what the pixels hold: a grey ramp when
    // every pixel is grey (8 bits), the exact colours when they fit, else a
    // fixed palette with the nearest entry for each colour.
    const int capacity = 1 << BitsPerPixel(pf);
    bool allGrey = true;
    std::unordered_map<uint32_t, int> distinct;
    std::vector<TPaletteEntry> exact;
    for (int y = 0; y < height_ && (allGrey || static_cast<int>(exact.size()) <= capacity); ++y) {
      RowToBGR(ScanLine(y), w, from, palette_.get(), bgr.data());
      for (int x = 0; x < w; ++x) {
        const uint8_t* p = bgr.data() + 3 * x;
        if (p[0] != p[1] || p[1] != p[2]) allGrey = false;
        if (static_cast<int>(exact.size()) <= capacity) {
          uint32_t k = p[0] | (p[1] << 8) | (static_cast<uint32_t>(p[2]) << 16);
          if (distinct.emplace(k, static_cast<int>(exact.size())).second)
            exact.push_back({p[2], p[1], p[0], 0});
        }
      }
    }
    if (allGrey && pf == pf8bit)
      target.palette_ = MakeGrayRampPalette(256);
    else if (static_cast<int>(exact.size()) <= capacity)
      target.palette_ = std::make_unique<TPalette>(std::move(exact));
    else
      target.palette_ = pf == pf4bit ? MakeVgaPalette() : MakeColorCubePalette();
    ColorMapper mapper(*target.palette_);
    int toBpp = BitsPerPixel(pf);
    for (int y = 0; y < height_; ++y) {
      RowToBGR(ScanLine(y), w, from, palette_.get(), bgr.data());
      uint8_t* dst = target.ScanLine(y);
      for (int x = 0; x < w; ++x) SetIndexAt(dst, x, toBpp, mapper.Map(bgr.data() + 3 * x));
    }
  }
  bits_ = std::move(target.bits_);
  palette_ = std::move(target.palette_);
  pixelFormat_ = pf;
}

TCanvas& TBitmap::Canvas() {
  if (!canvas_) canvas_ = std::make_unique<TCanvas>(*this);
  return *canvas_;
}

void TBitmap::Assign(const TGraphic& source) {
  if (&source == this) return;
  const TBitmap* src = dynamic_cast<const TBitmap*>(&source);
  if (!src) {
    TGraphic::Assign(source);
    return;
  }
  bits_ = src->bits_;
  width_ = src->width_;
  height_ = src->height_;
  pixelFormat_ = src->pixelFormat_;
  palette_ = src->palette_ ? std::make_unique<TPalette>(src->palette_->Entries()) : nullptr;
  Transparent = src->Transparent;
  TransparentColor = src->TransparentColor;
}

void TBitmap::TakeOver(TBitmap& source) {
  if (&source == this) return;
  bits_ = std::move(source.bits_);
  width_ = source.width_;
  height_ = source.height_;
  pixelFormat_ = source.pixelFormat_;
  palette_ = std::move(source.palette_);
  source.bits_.clear();
  source.width_ = source.height_ = 0;
  source.palette_ = DefaultPalette(source.pixelFormat_);
}

// ---------------------------------------------------------------------------
// BMP files: the bitmap's own stream format.

namespace {

constexpr int kFileHeaderSize = 14;
constexpr int kInfoHeaderSize = 40;

void Put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v), p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  Put16(p, v & 0xFFFF), Put16(p + 2, v >> 16);
}
uint32_t Get16(const uint8_t* p) {
  return p[0] | (p[1] << 8);
}
uint32_t Get32(const uint8_t* p) {
  return Get16(p) | (Get16(p + 2) << 16);
}

[[noreturn]] void BadBmp(const std::string& why) {
  throw EInvalidGraphic("Invalid bitmap file: " + why);
}

}  // namespace

void TBitmap::SaveToStream(rtl::TStream& stream) const {
  if (BitsPerPixel(pixelFormat_) == 0 && !Empty()) RequireLayout("Saving");
  TPixelFormat pf = BitsPerPixel(pixelFormat_) ? pixelFormat_ : pf24bit;
  int64_t stride = BytesPerScanLine(width_, pf);
  int paletteCount = IsIndexed(pf) && palette_ ? std::min(palette_->Count(), 1 << BitsPerPixel(pf)) : 0;
  bool bitfields = pf == pf16bit;
  uint32_t headerBytes = kFileHeaderSize + kInfoHeaderSize + (bitfields ? 12 : 0) + 4 * paletteCount;
  uint64_t imageBytes = static_cast<uint64_t>(stride) * static_cast<uint64_t>(height_);
  std::vector<uint8_t> head(headerBytes, 0);
  head[0] = 'B', head[1] = 'M';
  Put32(&head[2], static_cast<uint32_t>(headerBytes + imageBytes));
  Put32(&head[10], headerBytes);
  uint8_t* ih = &head[kFileHeaderSize];
  Put32(ih, kInfoHeaderSize);
  Put32(ih + 4, static_cast<uint32_t>(width_));
  Put32(ih + 8, static_cast<uint32_t>(height_));
  Put16(ih + 12, 1);
  Put16(ih + 14, static_cast<uint32_t>(BitsPerPixel(pf)));
  Put32(ih + 16, bitfields ? 3 : 0);
  Put32(ih + 20, static_cast<uint32_t>(imageBytes));
  Put32(ih + 32, static_cast<uint32_t>(paletteCount));
  uint8_t* tail = ih + kInfoHeaderSize;
  if (bitfields) {
    Put32(tail, 0xF800), Put32(tail + 4, 0x07E0), Put32(tail + 8, 0x001F);
    tail += 12;
  }
  for (int i = 0; i < paletteCount; ++i) {
    const TPaletteEntry& e = palette_->Entries()[static_cast<size_t>(i)];
    tail[4 * i] = e.peBlue, tail[4 * i + 1] = e.peGreen, tail[4 * i + 2] = e.peRed;
  }
  stream.WriteBuffer(head.data(), static_cast<int64_t>(head.size()));
  for (int y = height_ - 1; y >= 0 && width_ > 0; --y) stream.WriteBuffer(ScanLine(y), stride);
}

void TBitmap::LoadFromStream(rtl::TStream& stream) {
  const int64_t start = stream.Position();
  const int64_t available = stream.Size() - start;
  uint8_t head[kFileHeaderSize + kInfoHeaderSize];
  if (available < static_cast<int64_t>(sizeof head)) BadBmp("the file is shorter than its headers");
  stream.ReadBuffer(head, sizeof head);
  if (head[0] != 'B' || head[1] != 'M') BadBmp("no BM signature");
  uint32_t dataOffset = Get32(&head[10]);
  const uint8_t* ih = head + kFileHeaderSize;
  uint32_t infoSize = Get32(ih);
  if (infoSize < kInfoHeaderSize || infoSize > 1024) BadBmp("unsupported info header size");
  auto width = static_cast<int32_t>(Get32(ih + 4));
  auto height = static_cast<int32_t>(Get32(ih + 8));
  uint32_t bpp = Get16(ih + 14);
  uint32_t compression = Get32(ih + 16);
  uint32_t colorsUsed = Get32(ih + 32);
  bool topDown = height < 0;
  if (width <= 0 || height == 0 || height == INT32_MIN) BadBmp("invalid size");
  if (topDown) height = -height;
  TPixelFormat pf;
  switch (bpp) {
    case 1:
      pf = pf1bit;
      break;
    case 4:
      pf = pf4bit;
      break;
    case 8:
      pf = pf8bit;
      break;
    case 16:
      pf = pf15bit;
      break;
    case 24:
      pf = pf24bit;
      break;
    case 32:
      pf = pf32bit;
      break;
    default:
      BadBmp("unsupported bits per pixel");
  }
  if (compression == 3 && (bpp == 16 || bpp == 32)) {
    uint8_t masks[12];
    if (infoSize == kInfoHeaderSize) {
      if (available < static_cast<int64_t>(sizeof head + 12)) BadBmp("the colour masks are missing");
      stream.ReadBuffer(masks, 12);
    } else {
      stream.Seek(start + kFileHeaderSize + 40, rtl::soBeginning);
      stream.ReadBuffer(masks, 12);
    }
    uint32_t r = Get32(masks), g = Get32(masks + 4), b = Get32(masks + 8);
    if (bpp == 16 && r == 0xF800 && g == 0x07E0 && b == 0x001F)
      pf = pf16bit;
    else if (!(bpp == 16 && r == 0x7C00 && g == 0x03E0 && b == 0x001F) &&
             !(bpp == 32 && r == 0xFF0000 && g == 0xFF00 && b == 0xFF))
      BadBmp("unsupported colour masks");
  } else if (compression != 0) {
    BadBmp("compressed bitmaps are not supported");
  }
  HPALETTE palette;
  if (IsIndexed(pf)) {
    uint32_t count = colorsUsed ? colorsUsed : (1u << bpp);
    if (count > (1u << bpp)) BadBmp("too many palette entries");
    int64_t palStart = start + kFileHeaderSize + infoSize;
    if (palStart + 4 * static_cast<int64_t>(count) > start + available) BadBmp("the palette is cut short");
    std::vector<uint8_t> raw(4 * count);
    stream.Seek(palStart, rtl::soBeginning);
    stream.ReadBuffer(raw.data(), static_cast<int64_t>(raw.size()));
    std::vector<TPaletteEntry> entries(count);
    for (uint32_t i = 0; i < count; ++i) entries[i] = {raw[4 * i + 2], raw[4 * i + 1], raw[4 * i], 0};
    palette = std::make_unique<TPalette>(std::move(entries));
  }
  int64_t stride = BytesPerScanLine(width, pf);
  if (stride > PixelMemoryLimit() / height) BadBmp("the image is too large");
  if (dataOffset > available || stride * height > available - dataOffset)
    BadBmp("the pixel data is cut short");
  TBitmap loaded;
  loaded.SetPixelFormat(pf);
  loaded.SetSize(width, height);
  if (palette) loaded.SetPalette(std::move(palette));
  stream.Seek(start + dataOffset, rtl::soBeginning);
  for (int i = 0; i < height; ++i) stream.ReadBuffer(loaded.ScanLine(topDown ? i : height - 1 - i), stride);
  bits_ = std::move(loaded.bits_);
  width_ = width, height_ = height;
  pixelFormat_ = pf;
  palette_ = std::move(loaded.palette_);
}

// ---------------------------------------------------------------------------
// Registered but unreadable graphics

TGraphicClass TIcon::StaticClass() {
  static const TGraphicClassInfo info{"TIcon", TBitmap::StaticClass(), []() -> std::unique_ptr<TGraphic> {
                                        return std::make_unique<TIcon>();
                                      }};
  return &info;
}

void TIcon::LoadFromStream(rtl::TStream&) {
  throw EInvalidGraphic("Icon files cannot be read on this platform");
}

TGraphicClass TMetafile::StaticClass() {
  static const TGraphicClassInfo info{"TMetafile", TBitmap::StaticClass(), []() -> std::unique_ptr<TGraphic> {
                                        return std::make_unique<TMetafile>();
                                      }};
  return &info;
}

void TMetafile::LoadFromStream(rtl::TStream&) {
  throw EInvalidGraphic("Metafiles cannot be read on this platform");
}

// ---------------------------------------------------------------------------
// Picture and its registry

namespace {

struct Registry {
  std::mutex lock;
  std::vector<TFileFormat> formats;
};

// Never destroyed: libraries unregister their classes from static
// destructors whose order against ours is unknown.
Registry& TheRegistry() {
  static Registry* r = [] {
    auto* reg = new Registry;
    reg->formats.push_back({"bmp", "Bitmaps", TBitmap::StaticClass()});
    for (const char* ext : {"jpg", "jpeg", "jpe", "jfif"})
      reg->formats.push_back({ext, "JPEG images", TJPEGImage::StaticClass()});
    return reg;
  }();
  return *r;
}

}  // namespace

TPicture::~TPicture() = default;

void TPicture::SetGraphic(const TGraphic* graphic) {
  if (!graphic) {
    graphic_.reset();
    return;
  }
  if (graphic == graphic_.get()) return;
  std::unique_ptr<TGraphic> copy = graphic->NewInstance();
  copy->Assign(*graphic);
  graphic_ = std::move(copy);
}

void TPicture::TakeGraphic(std::unique_ptr<TGraphic> graphic) {
  graphic_ = std::move(graphic);
}

TBitmap& TPicture::Bitmap() {
  if (!graphic_) graphic_ = std::make_unique<TBitmap>();
  auto* b = dynamic_cast<TBitmap*>(graphic_.get());
  if (!b)
    throw EInvalidGraphicOperation(
        rtl::Format("The picture holds a %s, not a bitmap", {graphic_->ClassName()}));
  return *b;
}

void TPicture::Assign(const TPicture& source) {
  if (&source != this) SetGraphic(source.Graphic());
}

void TPicture::LoadFromFile(const std::string& fileName) {
  std::string ext = ExtensionOf(fileName);
  TGraphicClass c = FindGraphicClass(ext);
  if (!c || !c->Create) throw EInvalidGraphic(rtl::Format("Unknown picture file extension (.%s)", {ext}));
  std::unique_ptr<TGraphic> g = c->Create();
  g->OnProgress = OnProgress;
  g->LoadFromFile(fileName);
  graphic_ = std::move(g);
}

void TPicture::SaveToFile(const std::string& fileName) const {
  if (graphic_) graphic_->SaveToFile(fileName);
}

void TPicture::RegisterFileFormat(const std::string& extension, const std::string& description,
                                  TGraphicClass graphicClass) {
  std::string ext = Lower(extension);
  if (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
  if (ext.empty() || !graphicClass) return;
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  for (TFileFormat& f : r.formats)
    if (f.Extension == ext) {
      f.Description = description;
      f.GraphicClass = graphicClass;
      return;
    }
  r.formats.push_back({ext, description, graphicClass});
}

void TPicture::UnregisterGraphicClass(TGraphicClass graphicClass) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  std::erase_if(r.formats, [&](const TFileFormat& f) { return f.GraphicClass == graphicClass; });
}

TGraphicClass TPicture::FindGraphicClass(const std::string& extension) {
  std::string ext = Lower(extension);
  if (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  for (const TFileFormat& f : r.formats)
    if (f.Extension == ext) return f.GraphicClass;
  return nullptr;
}

std::vector<TFileFormat> TPicture::RegisteredFormats() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  return r.formats;
}

}  // namespace graphics
