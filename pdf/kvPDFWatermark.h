// Stamping of text and images onto pages: templates describe what to draw
// and where, the document's ApplyWatermark (declared with the component)
// builds one content stream per distinct page geometry and links it into
// each page's /Contents, under or over what the page draws.
//
// Ownership: a text template owns its font, an image template its graphic.
// A composite template lists templates it does not own. A processor lives
// for one stamping run and owns its rectangles and references.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pdf/kvCstPDFDoc.h"
#include "pdf/kvPDFUtils.h"
#include "platform/graphics/Graphics.h"

namespace pdf {

class TkvPDFFont;

// Resource names of a run are drawn at random; a name a page already uses
// is drawn again this many times before the run gives up.
inline constexpr int kMaxResourceNameDraws = 1000;
// Composite templates may hold composites; a chain deeper than this (or one
// that holds itself) is refused rather than followed.
inline constexpr int kMaxTemplateNesting = 64;

inline constexpr const char* SUnexpectedContent = "Unexpected content object for page %d";
inline constexpr const char* STemplateNesting = "Watermark templates nest too deeply";
inline constexpr const char* SNoFreeResourceName = "No free resource name on the pages to stamp";
inline constexpr const char* SStampNoMediaBox = "Page %d has no /MediaBox";

// One byte each where a template keeps them.
enum TkvHorizontalPosition : uint8_t { hpLeft = 0, hpCentre, hpRight, hpAtOffset };
enum TkvVerticalPosition : uint8_t { vpTop = 0, vpMiddle, vpBottom, vpAtOffset };
static_assert(sizeof(TkvHorizontalPosition) == 1 && sizeof(TkvVerticalPosition) == 1);

class TkvWatermarkTemplate {
 public:
  virtual ~TkvWatermarkTemplate() = default;
};

// Where the origin of a stamp lies: in points, in the page as it is shown
// (its /Rotate applied), with (0, 0) at the shown page's lower left corner.
class TkvCustomWatermarkTemplate : public TkvWatermarkTemplate {
 public:
  // The content that draws the stamp with its origin at (x, y) before the
  // corrections of its position and angle.
  virtual std::string BuildContent(const std::string& ResourceName, TkvMeasurementUnit Unit, double X,
                                   double Y) = 0;

  int32_t Angle = 0;  // degrees, counter-clockwise
  bool Overlay = false;
  TkvHorizontalPosition HorizontalPosition = hpLeft;
  TkvVerticalPosition VerticalPosition = vpTop;
  double XOffset = 0;  // in the document's measurement unit
  double YOffset = 0;  // the same, down from the top
};

class TkvTextWatermarkTemplate : public TkvCustomWatermarkTemplate {
 public:
  TkvTextWatermarkTemplate();
  ~TkvTextWatermarkTemplate() override;
  void SetFont(const graphics::TFont& font);

  // Builds with the text and resource font set by the run (SetPageText).
  std::string BuildContent(const std::string& ResourceName, TkvMeasurementUnit Unit, double X,
                           double Y) override;
  // The text one page shows and the font that measures its glyph widths
  // (borrowed, for the run).
  void SetPageText(const std::u16string& text, TkvPDFFont* pdfFont) {
    pageText_ = text;
    pdfFont_ = pdfFont;
  }

  std::u16string Text;
  graphics::TFont Font;
  graphics::TColor OutlineColor = graphics::clBlack;
  uint8_t Orientation = 0;  // 0 horizontal, 1 vertical (a character a line)
  uint8_t RenderMode = 0;
  uint8_t EncodingIndex = 0;
  uint8_t EmbedMode = 0;

 private:
  std::string ShowText(const std::u16string& text) const;
  std::string Decorations(double x, double y, double a, double width, double lineHeight) const;

  std::u16string pageText_;
  TkvPDFFont* pdfFont_ = nullptr;
};

class TkvImageWatermarkTemplate : public TkvCustomWatermarkTemplate {
 public:
  std::string BuildContent(const std::string& ResourceName, TkvMeasurementUnit Unit, double X,
                           double Y) override;

  std::unique_ptr<graphics::TGraphic> Graphic;
  double Width = 0;  // 0: the graphic's own size
  double Height = 0;
};

class TkvCompositeWatermarkTemplate : public TkvWatermarkTemplate {
 public:
  void Add(TkvWatermarkTemplate* item) { items_.push_back(item); }
  int Count() const { return static_cast<int>(items_.size()); }
  TkvWatermarkTemplate* Item(int i) const { return items_[static_cast<size_t>(i)]; }

 private:
  std::vector<TkvWatermarkTemplate*> items_;  // not owned
};

// Builds the content streams of one run; each page geometry (box, rotation)
// and text gets one stream.
class TkvWatermarkProcessor {
 public:
  TkvWatermarkProcessor(TkvCustomPDFDocument& document, TkvMeasurementUnit unit,
                        TkvCustomWatermarkTemplate& watermark);

  // The origin in the shown page of width x height points.
  void ComputeOrigin(double width, double height, double& x, double& y) const;
  // A new stream object drawing the stamp on a page of that box and
  // rotation (0, 90, 180 or 270).
  std::unique_ptr<TkvPDFIndirectObject> MakeContent(const std::string& name, const TkvPDFRect& box,
                                                    int rotation, const std::u16string& text,
                                                    int32_t objectNumber);
  // Index of a stream built for an equal box, rotation and text, or -1.
  int FindRect(const TkvPDFRect& box, int rotation, const std::u16string& text) const;
  const TkvPDFIndirectReference& Reference(int i) const { return *refs_[static_cast<size_t>(i)]; }

 private:
  struct Built {
    TkvPDFRect Box;
    int Rotation = 0;
    std::u16string Text;
  };
  TkvCustomPDFDocument& document_;
  TkvCustomWatermarkTemplate& template_;
  std::vector<Built> rects_;
  std::vector<std::unique_ptr<TkvPDFIndirectReference>> refs_;
  TkvMeasurementUnit unit_;
};

// Puts name -> ref into the category of a page's resources; a name already
// there is left alone. A missing resources dictionary raises
// EUnexpectedError.
void InsertPageResource(const TkvPDFObjectStore& store, TkvPDFDictObject* resources,
                        const std::string& category, const TkvPDFIndirectReference& ref,
                        const std::string& name);
// Links the stamp into the page's /Contents (a fresh array of the page's
// own): first without overlay, else after the existing content bracketed by
// the shared "q" and "Q" streams.
void InsertPageContent(TkvCustomPDFDocument& document, int32_t pageIndex,
                       const TkvPDFIndirectReference& stamp, bool overlay);

// The text with the document's variables replaced: "<%TotPage%>", the
// dates and times, the information entries and, for page pageNo,
// "<%PageNo%>" and those that OnCalcVariables names. One pass from left to
// right: a replaced value is never read again for variables.
std::u16string ExpandVariables(TkvCustomPDFDocument& document, const std::u16string& text, int32_t pageNo);

}  // namespace pdf
