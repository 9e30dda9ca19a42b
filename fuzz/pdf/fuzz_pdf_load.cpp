// The whole load path of the document component over arbitrary bytes:
// header, cross-reference sections, trailer, encryption dictionary (with the
// empty password), catalog, page tree, destinations, forms, names and
// outlines; then the page queries the converter makes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "pdf/kvCstPDFDoc.h"
#include "pdf/kvPDFDoc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  rtl::TMemoryStream source;
  source.WriteBuffer(data, static_cast<int64_t>(size));
  source.SetPosition(0);
  pdf::TkvPDFDocument doc;
  try {
    doc.LoadFromStream(source);
    doc.SetMeasurementUnit(pdf::muMM);
    for (int i = 1; i <= doc.PageCount() && i <= 8; ++i) {
      pdf::TkvPageSize size;
      try {
        doc.GetPageSize(i, size);
        doc.GetPageRotation(i);
        pdf::TkvPDFDocument temp;
        doc.ExtractPagesTo(temp, std::to_string(i));
      } catch (const rtl::Exception&) {
      }
    }
  } catch (const rtl::Exception&) {
  }
  return 0;
}
