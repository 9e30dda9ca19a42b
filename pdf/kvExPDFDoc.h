// TkvExPDFDocument: the document component with formatted-text stamping. A
// line of text in a small HTML-like markup (B, I, U, StrikeOut and FONT
// tags) is cut into runs of one font, and each run is stamped as a text
// watermark right after the one before it on the same line.
#pragma once

#include <string>
#include <vector>

#include "pdf/kvCstPDFDoc.h"
#include "platform/graphics/Graphics.h"

namespace pdf {

// FONT tags open at once beyond this many are refused: each holds a font
// for the rest of the text.
inline constexpr int kMaxFontNesting = 64;
// SIZE values are kept within 1 point and this many: larger ones draw
// nothing a page can show and overflow the font's pixel height.
inline constexpr int kMaxMarkupFontSize = 1000;

inline constexpr const char* SFontNesting = "Formatted text nests FONT tags too deeply";

// One run of formatted text: the text and the font it is drawn with.
struct TkvFormattedRun {
  std::u16string Text;
  graphics::TFont Font;
};

// The font of text outside any FONT tag.
graphics::TFont DefaultMarkupFont();
// The runs of a formatted text, in order; empty runs are left out. Raises
// EPDFException when FONT tags nest deeper than kMaxFontNesting.
std::vector<TkvFormattedRun> ParseFormattedText(const std::u16string& Text);

class TkvExPDFDocument : public TkvCustomPDFDocument {
 public:
  explicit TkvExPDFDocument(rtl::TComponent* owner = nullptr) : TkvCustomPDFDocument(owner) {}

  // X and Y in the document's measurement unit, Y down from the top of the
  // page: where the line's first run starts.
  virtual void StampFormattedText(const std::u16string& Text, const std::string& PageRange, double X,
                                  double Y);
  virtual void StampFormattedTextAll(const std::u16string& Text, double X, double Y);
};

}  // namespace pdf
