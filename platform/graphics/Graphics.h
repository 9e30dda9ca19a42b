// The graphics layer: colours, palettes, device-independent bitmaps, their
// canvas, the graphic base class and the picture with its class registry;
// the screen and the fonts that text is measured in (FontEngine.h does the
// font work).
//
// Ownership: a TBitmap owns its pixels, its palette and its canvas. A
// TPicture owns the one graphic it holds; giving it a graphic copies it.
// Palettes made by CreatePalette belong to the caller until handed to a
// bitmap (SetPalette takes them over).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/graphics/DeviceContext.h"
#include "platform/rtl/Classes.h"
#include "platform/rtl/Sets.h"
#include "platform/rtl/SysUtils.h"

namespace graphics {

// The macro takes an unqualified base name.
using TExceptionBase = rtl::Exception;
RTL_DECLARE_EXCEPTION(EInvalidGraphic, TExceptionBase);
RTL_DECLARE_EXCEPTION(EInvalidGraphicOperation, TExceptionBase);

// ---------------------------------------------------------------------------
// Colours: 0x00BBGGRR, red in the low byte.
using TColor = int32_t;
inline constexpr TColor clBlack = 0x000000;
inline constexpr TColor clWhite = 0xFFFFFF;
inline constexpr TColor clRed = 0x0000FF;
inline constexpr TColor clLime = 0x00FF00;
inline constexpr TColor clBlue = 0xFF0000;
inline constexpr TColor clGray = 0x808080;
inline constexpr TColor clNone = 0x1FFFFFFF;

constexpr TColor RGB(uint8_t r, uint8_t g, uint8_t b) {
  return static_cast<TColor>(r | (g << 8) | (b << 16));
}
constexpr uint8_t GetRValue(TColor c) {
  return static_cast<uint8_t>(c & 0xFF);
}
constexpr uint8_t GetGValue(TColor c) {
  return static_cast<uint8_t>((c >> 8) & 0xFF);
}
constexpr uint8_t GetBValue(TColor c) {
  return static_cast<uint8_t>((c >> 16) & 0xFF);
}

struct TPoint {
  int32_t X = 0;
  int32_t Y = 0;
};

struct TRect {
  int32_t Left = 0;
  int32_t Top = 0;
  int32_t Right = 0;
  int32_t Bottom = 0;
};

inline TRect Rect(int32_t left, int32_t top, int32_t right, int32_t bottom) {
  return TRect{left, top, right, bottom};
}

// ---------------------------------------------------------------------------
// Palettes. A logical palette is a list of entries; CreatePalette makes the
// palette object ("handle") from it, which belongs to the caller.
struct TPaletteEntry {
  uint8_t peRed = 0;
  uint8_t peGreen = 0;
  uint8_t peBlue = 0;
  uint8_t peFlags = 0;
  bool operator==(const TPaletteEntry&) const = default;
};

// Indexed bitmaps hold at most 8 bits per pixel, so no palette needs more.
inline constexpr int kMaxPaletteEntries = 256;

struct TLogPalette {
  uint16_t palVersion = 0x300;
  std::vector<TPaletteEntry> palPalEntry;
};

class TPalette {
 public:
  explicit TPalette(std::vector<TPaletteEntry> entries) : entries_(std::move(entries)) {}
  int Count() const { return static_cast<int>(entries_.size()); }
  const TPaletteEntry& Entry(int index) const;
  const std::vector<TPaletteEntry>& Entries() const { return entries_; }
  // Index of the entry nearest to the colour (squared RGB distance; the
  // lowest index wins a tie). -1 for an empty palette.
  int NearestIndex(uint8_t r, uint8_t g, uint8_t b) const;

 private:
  std::vector<TPaletteEntry> entries_;
};

using HPALETTE = std::unique_ptr<TPalette>;

// A palette object from a logical palette: 1 to kMaxPaletteEntries entries,
// else EInvalidGraphic.
HPALETTE CreatePalette(const TLogPalette& logPalette);
// Palettes the bitmap uses by default and when it converts pixels.
HPALETTE MakeBlackWhitePalette();           // 0 black, 1 white
HPALETTE MakeGrayRampPalette(int entries);  // i * 255 / (entries - 1)
HPALETTE MakeVgaPalette();                  // the 16 standard colours
HPALETTE MakeColorCubePalette();            // 3 bits red, 3 green, 2 blue

// ---------------------------------------------------------------------------
// Progress of a reader: a starting, running and ending notification.
enum TProgressStage { psStarting, psRunning, psEnding };

class TGraphic;
using TProgressEvent = std::function<void(TGraphic* sender, TProgressStage stage, uint8_t percentDone,
                                          bool redrawNow, const TRect& r, const std::string& msg)>;

// Class references: what the picture registry stores and what a "virtual
// constructor" makes an instance from. A library may derive its own
// reference record from this to add class-level operations.
struct TGraphicClassInfo {
  const char* ClassName;
  const TGraphicClassInfo* Parent;        // nullptr for TGraphic itself
  std::unique_ptr<TGraphic> (*Create)();  // nullptr for an abstract class
  bool InheritsFrom(const TGraphicClassInfo* other) const;
};
using TGraphicClass = const TGraphicClassInfo*;

// The graphic base class: something that loads from and saves to a stream
// and has a size.
class TGraphic : public rtl::TPersistent {
 public:
  TGraphic() = default;
  TGraphic(const TGraphic&) = delete;
  TGraphic& operator=(const TGraphic&) = delete;
  ~TGraphic() override = default;

  static TGraphicClass StaticClass();
  virtual TGraphicClass ClassType() const { return StaticClass(); }
  const char* ClassName() const { return ClassType()->ClassName; }
  // A new empty graphic of the same class.
  std::unique_ptr<TGraphic> NewInstance() const;

  virtual int Width() const = 0;
  virtual int Height() const = 0;
  virtual void SetWidth(int value) = 0;
  virtual void SetHeight(int value) = 0;
  virtual bool Empty() const = 0;

  virtual void LoadFromStream(rtl::TStream& stream) = 0;
  virtual void SaveToStream(rtl::TStream& stream) const = 0;
  // Opens the file and hands it to LoadFromStream / SaveToStream.
  virtual void LoadFromFile(const std::string& fileName);
  virtual void SaveToFile(const std::string& fileName) const;

  // Copies source into this graphic. The base asks the source to copy
  // itself (AssignTo); a pair that knows no copy raises EConvertError.
  virtual void Assign(const TGraphic& source);
  virtual void AssignTo(TGraphic& dest) const;

  // Fires OnProgress when assigned.
  virtual void Progress(TProgressStage stage, uint8_t percentDone, bool redrawNow, const TRect& r,
                        const std::string& msg);

  TProgressEvent OnProgress;
  bool Transparent = false;
};

// ---------------------------------------------------------------------------
enum TPixelFormat { pfDevice, pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit, pfCustom };

// Bits per pixel of a format; 0 for pfDevice and pfCustom, which have no
// pixel layout of their own.
int BitsPerPixel(TPixelFormat pf);
const char* PixelFormatName(TPixelFormat pf);

class TBitmap;

// ---------------------------------------------------------------------------
// The screen. There is no display to ask, so its resolution is the one
// desktop screens customarily report.
inline constexpr int kScreenPixelsPerInch = 96;
inline int ScreenPixelsPerInch() {
  return kScreenPixelsPerInch;
}

struct TSize {
  int32_t cx = 0;
  int32_t cy = 0;
  bool operator==(const TSize&) const = default;
};

// ---------------------------------------------------------------------------
// Fonts. A font is a description (family name, size, style, character set,
// colour); the canvas that measures with it finds the face through the font
// engine. Character sets are the window system's numbers.
using TFontCharset = uint8_t;
inline constexpr TFontCharset ANSI_CHARSET = 0;
inline constexpr TFontCharset DEFAULT_CHARSET = 1;
inline constexpr TFontCharset SYMBOL_CHARSET = 2;
inline constexpr TFontCharset SHIFTJIS_CHARSET = 128;

enum TFontStyle { fsBold, fsItalic, fsUnderline, fsStrikeOut };
using TFontStyles = rtl::TSet<TFontStyle>;

class TFont : public rtl::TPersistent {
 public:
  static constexpr int kDefaultSize = 8;  // points
  // Heights are kept within this many pixels either way: no screen text is
  // that large, and the arithmetic of larger sizes would overflow.
  static constexpr int kMaxPixelHeight = 0x7FFF;

  TFont();
  void Assign(const TFont& source) { *this = source; }

  // In points, from the pixel height at PixelsPerInch.
  int Size() const;
  // Sets the height to the size's em height in pixels (negative, as the
  // window system counts a character height).
  void SetSize(int points);
  // Pixels: negative is the em height, positive the cell height (ascent
  // plus descent), 0 the default size.
  int Height() const { return height_; }
  void SetHeight(int pixels);

  std::string Name = "sans-serif";
  TFontStyles Style;
  TFontCharset Charset = DEFAULT_CHARSET;
  TColor Color = clBlack;
  int PixelsPerInch = ScreenPixelsPerInch();

 private:
  int height_;
};

class TFontFace;

// A drawing surface. Its handle identifies the bitmap behind it, so that a
// library given only the handle can read the pixels (DeviceContext.h).
class TCanvas {
 public:
  explicit TCanvas(TBitmap& owner);
  TCanvas(const TCanvas&) = delete;
  TCanvas& operator=(const TCanvas&) = delete;
  ~TCanvas();
  HDC Handle() { return &dc_; }
  TBitmap& Bitmap() { return owner_; }
  // The bitmap behind a handle made by Handle(); nullptr for anything else.
  static TBitmap* BitmapFromHandle(HDC dc);

  // The font selected into the canvas; text is measured in it.
  TFont& Font() { return font_; }
  void SetFont(const TFont& value) { font_.Assign(value); }

  // The extent of text (bytes in the system code page) in the font, in
  // pixels at the screen resolution: the sum of the glyphs' advances by the
  // font's line height. Empty text is 0 wide and still a line high. Raises
  // EInvalidGraphicOperation when no font can be had at all.
  TSize TextExtent(const std::string& text);
  // Wide text, measured without a trip through the system code page (which
  // cannot hold every character).
  TSize TextExtent(const std::u16string& text);
  int TextWidth(const std::string& text) { return TextExtent(text).cx; }
  int TextHeight(const std::string& text) { return TextExtent(text).cy; }

 private:
  static int Describe(const TKDeviceContext* dc, TKDibInfo* info);
  // The face of the selected font, opened again only when the font changed.
  TFontFace& SelectedFace();

  TBitmap& owner_;
  TKDeviceContext dc_;
  TFont font_;
  std::unique_ptr<TFontFace> face_;
};

// The screen's device context: a canvas over no pixels, one per process.
TCanvas& ScreenCanvas();

// A device-independent bitmap. Rows are padded to 4 bytes; ScanLine(0) is
// the top row. A new bitmap is empty and 24 bits per pixel (there is no
// display whose format pfDevice could take). The indexed formats always
// have a palette; SetPixelFormat converts the existing pixels.
class TBitmap : public TGraphic {
 public:
  // No bitmap may need more pixel memory than this; larger sizes are
  // refused before anything is allocated.
  static constexpr int64_t kMaxPixelBytes = int64_t{1} << 30;

  TBitmap();
  ~TBitmap() override;

  static TGraphicClass StaticClass();
  TGraphicClass ClassType() const override { return StaticClass(); }

  int Width() const override { return width_; }
  int Height() const override { return height_; }
  void SetWidth(int value) override { SetSize(value, height_); }
  void SetHeight(int value) override { SetSize(width_, value); }
  // Resizes, keeping the pixels that the old and new sizes share; new
  // pixels are zero bytes.
  void SetSize(int width, int height);
  bool Empty() const override { return width_ == 0 || height_ == 0; }

  TPixelFormat PixelFormat() const { return pixelFormat_; }
  void SetPixelFormat(TPixelFormat pf);

  // Bytes of one padded row for a width and format (raises for pfDevice
  // and pfCustom).
  static int64_t BytesPerScanLine(int width, TPixelFormat pf);
  int64_t Stride() const;

  // Row y (0 = top); EInvalidGraphicOperation when y is out of range or the
  // format has no pixel layout.
  uint8_t* ScanLine(int y);
  const uint8_t* ScanLine(int y) const;

  // nullptr when none; indexed formats always have one.
  const TPalette* Palette() const { return palette_.get(); }
  void SetPalette(HPALETTE palette);

  // The colour of one pixel, whatever the format (slow; for tests and
  // conversions that need no speed).
  TColor Pixel(int x, int y) const;

  TCanvas& Canvas();

  void LoadFromStream(rtl::TStream& stream) override;
  // Writes an uncompressed BMP file.
  void SaveToStream(rtl::TStream& stream) const override;
  void Assign(const TGraphic& source) override;
  // Moves source's pixels, size, format and palette into this bitmap
  // without copying them (source is left empty); the canvas stays this
  // bitmap's own.
  void TakeOver(TBitmap& source);

  // Lowers (or restores) the pixel memory limit for this process; fuzz
  // drivers use it to keep inputs cheap. Never above kMaxPixelBytes.
  static void SetPixelMemoryLimit(int64_t bytes);
  static int64_t PixelMemoryLimit();

  TColor TransparentColor = clNone;

 private:
  void RequireLayout(const char* what) const;
  void Reallocate(int width, int height, TPixelFormat pf, bool keep);

  int width_ = 0;
  int height_ = 0;
  TPixelFormat pixelFormat_ = pf24bit;
  std::vector<uint8_t> bits_;
  HPALETTE palette_;
  std::unique_ptr<TCanvas> canvas_;
};

// Graphics that this platform registers but cannot read: loading raises
// EInvalidGraphic.
class TIcon : public TBitmap {
 public:
  static TGraphicClass StaticClass();
  TGraphicClass ClassType() const override { return StaticClass(); }
  void LoadFromStream(rtl::TStream& stream) override;
};

class TMetafile : public TBitmap {
 public:
  static TGraphicClass StaticClass();
  TGraphicClass ClassType() const override { return StaticClass(); }
  void LoadFromStream(rtl::TStream& stream) override;
};

// ---------------------------------------------------------------------------
// One registered file format of the picture class registry.
struct TFileFormat {
  std::string Extension;  // without the point, lower case
  std::string Description;
  TGraphicClass GraphicClass;
};

// A picture holds at most one graphic. LoadFromFile picks the graphic class
// by the file's extension from a process-wide registry.
class TPicture : public rtl::TPersistent {
 public:
  TPicture() = default;
  TPicture(const TPicture&) = delete;
  TPicture& operator=(const TPicture&) = delete;
  ~TPicture() override;

  // Borrowed; nullptr when the picture is empty.
  TGraphic* Graphic() const { return graphic_.get(); }
  // Holds a copy of graphic (nullptr empties the picture).
  void SetGraphic(const TGraphic* graphic);
  // Takes over graphic.
  void TakeGraphic(std::unique_ptr<TGraphic> graphic);
  // The graphic as a bitmap: an empty picture gets a new empty bitmap; a
  // picture that holds another kind of graphic raises EInvalidGraphicOperation
  // rather than drop it.
  TBitmap& Bitmap();

  int Width() const { return graphic_ ? graphic_->Width() : 0; }
  int Height() const { return graphic_ ? graphic_->Height() : 0; }

  void Assign(const TPicture& source);
  void Assign(const TGraphic* source) { SetGraphic(source); }

  // Unknown extension: EInvalidGraphic. On a failed load the picture keeps
  // what it held before.
  void LoadFromFile(const std::string& fileName);
  void SaveToFile(const std::string& fileName) const;

  // The registry. Registering an extension that is already registered
  // replaces its entry. Unregistering a class that is not registered does
  // nothing.
  static void RegisterFileFormat(const std::string& extension, const std::string& description,
                                 TGraphicClass graphicClass);
  static void UnregisterGraphicClass(TGraphicClass graphicClass);
  // nullptr when the extension (with or without the point, any case) is
  // not registered.
  static TGraphicClass FindGraphicClass(const std::string& extension);
  static std::vector<TFileFormat> RegisteredFormats();

  TProgressEvent OnProgress;

 private:
  std::unique_ptr<TGraphic> graphic_;
};

}  // namespace graphics
