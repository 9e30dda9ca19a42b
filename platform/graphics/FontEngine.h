// The font engine behind TFont and the canvas: fontconfig turns a family
// name and style into a font file and face, FreeType reads the face. Sizes
// and metrics are whole pixels, as a device context gives them.
//
// Ownership: a TFontFace owns its FreeType face; the FreeType library lives
// as long as any face does, so faces held by process-wide objects may outlive
// everything else.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/graphics/Graphics.h"

struct FT_LibraryRec_;
struct FT_FaceRec_;

namespace graphics {

// What a canvas asks the engine for: a TFont reduced to what chooses the face
// and its size.
struct TFontRequest {
  std::string Name;
  bool Bold = false;
  bool Italic = false;
  TFontCharset Charset = DEFAULT_CHARSET;
  int Height = 0;  // pixels, as TFont::Height but never 0
  bool operator==(const TFontRequest&) const = default;
};

// The request a canvas makes for a font; a height of 0 becomes the default
// size's em height at the font's resolution.
TFontRequest RequestFor(const TFont& font);

struct TFontFile {
  std::string Path;
  int FaceIndex = 0;
};

// fontconfig's best match for the family and style. A family that is not
// installed gives the closest installed face (the Japanese character set,
// or the default one under code page 932, prefers a face that covers
// Japanese), as a device context substitutes a
// font rather than fail. Raises EInvalidGraphicOperation only when there is
// no font at all.
TFontFile MatchFontFile(const TFontRequest& request);

// Loads the font configuration that matching uses, now: it reads every
// configuration file and font cache, which takes a while. A program that
// shows windows starts it early, on a thread of its own; safe to call from
// any thread, any number of times.
void PrepareFontMatching();

// The text metric of a face at its size, in pixels.
struct TTextMetric {
  int32_t tmHeight = 0;  // tmAscent + tmDescent
  int32_t tmAscent = 0;
  int32_t tmDescent = 0;
};

// Bits of TFontMetric::PitchAndFamily, as a device context reports them.
// Note the window system's naming: TMPF_FIXED_PITCH set means a variable
// pitch.
inline constexpr uint8_t TMPF_FIXED_PITCH = 0x01;
inline constexpr uint8_t TMPF_VECTOR = 0x02;
inline constexpr uint8_t TMPF_TRUETYPE = 0x04;
inline constexpr uint8_t TMPF_DEVICE = 0x08;
inline constexpr uint8_t FF_ROMAN = 0x10;
inline constexpr uint8_t FF_SWISS = 0x20;
inline constexpr uint8_t FF_MODERN = 0x30;
inline constexpr uint8_t FF_SCRIPT = 0x40;
inline constexpr uint8_t FF_DECORATIVE = 0x50;

// What text metrics and outline text metrics of a face at its size tell
// beyond TTextMetric: lengths in pixels, the italic angle in tenths of a
// degree (counter-clockwise from vertical, so negative for a right slant).
struct TFontMetric {
  int32_t Ascent = 0;
  int32_t Descent = 0;
  int32_t AveCharWidth = 0;
  int32_t MaxCharWidth = 0;
  int32_t Weight = 400;
  bool Italic = false;
  uint8_t PitchAndFamily = 0;
  int32_t ItalicAngle = 0;
  int32_t StrikeoutSize = 0;
  int32_t StrikeoutPosition = 0;
  int32_t UnderscoreSize = 0;
  int32_t UnderscorePosition = 0;
};

// No font file is read into memory beyond this size: larger files are not
// handed out as font data (GetFontData then gives nothing).
inline constexpr int64_t kMaxFontFileBytes = int64_t{64} << 20;

// One face at one pixel size.
class TFontFace {
 public:
  // Matches and opens the face; EInvalidGraphicOperation when the file
  // cannot be read as a font.
  explicit TFontFace(const TFontRequest& request);
  ~TFontFace();
  TFontFace(const TFontFace&) = delete;
  TFontFace& operator=(const TFontFace&) = delete;

  const TFontRequest& Request() const { return request_; }
  const TFontFile& File() const { return file_; }
  const TTextMetric& TextMetric() const { return metric_; }
  bool IsBold() const;
  bool IsItalic() const;

  // The advance of the code point's glyph in whole pixels; a code point the
  // face has no glyph for advances as its missing-glyph mark does.
  int32_t Advance(char32_t codePoint) const;

  // Text metrics and outline metrics together (computed on each call).
  TFontMetric Metric() const;
  // The character sets the face can show: ANSI when it covers Western
  // European letters, SHIFTJIS when it covers kana and kanji, SYMBOL for a
  // symbol-encoded face; distinct, in that order.
  std::vector<TFontCharset> Charsets() const;
  // The raw bytes of the font file behind the face, as the font engine's
  // font data for the whole font; empty when the file cannot be read or is
  // larger than kMaxFontFileBytes.
  std::string FontData() const;

 private:
  void SetPixelHeight(int height);

  TFontRequest request_;
  TFontFile file_;
  std::shared_ptr<FT_LibraryRec_> library_;
  FT_FaceRec_* face_ = nullptr;
  TTextMetric metric_;
};

// Bytes in the system code page as code points (a UTF-16 surrogate pair is
// one code point).
std::u32string CodePointsOf(const std::string& text);
// Wide text as code points; a lone surrogate becomes U+FFFD.
std::u32string CodePointsOf(const std::u16string& text);

}  // namespace graphics
