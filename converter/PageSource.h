// What the conversion asks of the document component, in the order it asks
// it: load, count, free the outlines, and per page extract it into its own
// file and read its size and rotation. The program uses the form's PDFDoc
// through TPDFDocPages; a test may put another source in its place.
#pragma once

#include <memory>
#include <string>

namespace pdf {
class TkvPDFDocument;
}

namespace converter {

// The /MediaBox of a page in millimetres, in array order.
struct TPageBox {
  double X1 = 0, Y1 = 0, X2 = 0, Y2 = 0;
};

class TPageSource {
 public:
  virtual ~TPageSource() = default;
  // May fire the document's password event; raises the library's errors.
  virtual void LoadFromFile(const std::string& path) = 0;
  // 0 when nothing was read.
  virtual int PageCount() = 0;
  virtual void FreeOutlines() = 0;
  // Writes page (1-based) as a complete one-page PDF file, with no dialog.
  virtual void ExtractPage(const std::string& pageFile, int page) = 0;
  virtual TPageBox PageSize(int page) = 0;
  // /Rotate in degrees, 0 when absent.
  virtual int PageRotation(int page) = 0;
  // Whether the samples of the page's JPEG image are stored turned round
  // (its /Decode array runs from 1 to 0), so that they are read as the PDF
  // shows them. False when the page has no such image.
  virtual bool JpegSamplesInverted(int page) {
    (void)page;
    return false;
  }
};

// The document component as the page source. Borrows the document.
std::unique_ptr<TPageSource> MakePDFDocPages(pdf::TkvPDFDocument& doc);

}  // namespace converter
