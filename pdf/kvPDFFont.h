// What a PDF font resource needs of a desktop font: metrics and widths in
// PDF units, the font's Unicode-to-glyph map and glyph widths, its
// PostScript-style name, a ToUnicode CMap, the glyph string of a text, and
// the TrueType font program, whole or reduced to the glyphs used.
//
// Ownership: a TkvPDFFont owns its copy of the font, its font info and all
// its lists. The font engine is asked once, at construction; the font file
// read there is kept for the font program.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "pdf/kvTrueType.h"
#include "platform/graphics/Graphics.h"
#include "platform/rtl/Classes.h"

namespace pdf {

// The Windows character set the system code page implies (0 for others).
uint8_t DefaultCharsetOfCodePage(unsigned codePage);
// The code page of a character set; the system's for an unknown one.
unsigned CodePageOfCharset(uint8_t charset);
// Set at program start from the system code page.
extern uint8_t DefaultCharset;

inline constexpr const char* kStandardFontNames[14] = {
    "Times-Roman", "Times-Bold",     "Times-Italic",      "Times-BoldItalic",
    "Helvetica",   "Helvetica-Bold", "Helvetica-Oblique", "Helvetica-BoldOblique",
    "Courier",     "Courier-Bold",   "Courier-Oblique",   "Courier-BoldOblique",
    "Symbol",      "ZapfDingbats"};

// The font name without spaces, then "," and "Bold" / "Italic" as styled.
std::string StyledName(const graphics::TFont& font);

// Lengths in 1/1000 em unless said.
class TkvPDFFontInfo {
 public:
  explicit TkvPDFFontInfo(const graphics::TFont& font);

  std::array<int32_t, 224> Widths;  // codes 32..255
  int32_t Flags = 0;
  int32_t BoxLeft = -250, BoxTop = -200, BoxRight = 1000, BoxBottom = 900;
  int32_t Ascent = 800;
  int32_t Descent = -200;
  int32_t CapHeight = 700;
  int32_t AvgWidth = 576;
  int32_t MaxWidth = 576;
  int32_t StemV = 0;
  int32_t ItalicAngle = 0;
  // In points at the font's size.
  int32_t StrikeOutSize = 0, StrikeOutPosition = 0, UnderlineSize = 0, UnderlinePosition = -1;
  uint8_t FontType = 2;  // 0 TrueType, 1 device vector font, 2 other
  bool FixedPitch = false;
};

class TkvPDFFont {
 public:
  TkvPDFFont(const graphics::TFont& font, bool subset);
  ~TkvPDFFont();
  TkvPDFFont(const TkvPDFFont&) = delete;
  TkvPDFFont& operator=(const TkvPDFFont&) = delete;

  const graphics::TFont& Font() const { return font_; }
  const TkvPDFFontInfo& Info() const { return *info_; }
  const std::string& PostScriptName() const { return postScriptName_; }
  const std::vector<TkvCmapPair>& Cmap() const { return cmap_; }
  // Width in 1/1000 em by glyph index.
  const std::vector<int32_t>& GlyphWidths() const { return glyphWidths_; }
  const std::set<uint16_t>& UsedChars() const { return usedChars_; }
  // Glyph id -> the character first drawn with it by TextToGlyphHex.
  const std::unordered_map<uint16_t, uint16_t>& DrawnChars() const { return drawnChar_; }
  bool Subset() const { return subset_; }

  // The whole font file for a TrueType font; nothing otherwise.
  void ReadFontFile(rtl::TStream& stream) const;
  // Four upper-case hex digits per character that has a glyph.
  std::string TextToGlyphHex(const std::u16string& text);
  // A ToUnicode CMap from glyph ids to Unicode; nothing without cmap pairs.
  // A glyph that several characters share (U+00A5 and U+FFE5, say) maps to
  // the one TextToGlyphHex drew it for, else to the first in the font.
  // It is a Unicode map (bfchar entries, /CMapType 2): a CID map of glyph
  // ranges to code values would give viewers CIDs where they look for text,
  // and copied or searched text would come out wrong.
  void BuildCMapText(rtl::TStream& stream) const;
  // Replaces stream's content (the whole font file) by a font of the used
  // characters' glyphs, when that can be built and is smaller.
  void BuildSubset(rtl::TMemoryStream& stream) const;
  bool IsSimpleCharset() const;
  static std::u16string CharsToWide(const std::string& bytes, uint8_t charset);

 private:
  void ComputeMetrics();
  void MakePostScriptName();
  bool IsEmbeddableTrueType(const std::vector<graphics::TFontCharset>& familyCharsets) const;

  graphics::TFont font_;
  std::unique_ptr<TkvPDFFontInfo> info_;
  std::string postScriptName_;
  std::unique_ptr<TkvTrueTypeFile> file_;
  std::vector<TkvCmapPair> cmap_;
  std::unordered_map<uint16_t, uint16_t> glyphOf_;  // first pair per code
  std::vector<int32_t> glyphWidths_;
  std::set<uint16_t> usedChars_;
  std::unordered_map<uint16_t, uint16_t> drawnChar_;
  bool subset_ = false;
  uint8_t pitchAndFamily_ = 0;
  int32_t weight_ = 400;
};

}  // namespace pdf
