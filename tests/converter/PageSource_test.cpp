#include "converter/PageSource.h"

#include <gtest/gtest.h>

#include <string>

#include "pdf/PdfFixture.h"
#include "pdf/kvPDFDoc.h"
#include "platform/rtl/Classes.h"

namespace {

using tk::test::pdf::PdfBuilder;

// Page 2's JPEG image is drawn through a chain of forms, each the only
// XObject of the one before. Page 1 lists the forms from the last to the
// first, so that the load reads each of them while the one it names is
// already read (a chain read from its head nests as deep as it is long,
// which the load refuses beyond a bound of its own).
std::string FormChain(int forms) {
  auto b = tk::test::pdf::SimpleDocument(2);
  const int first = 100;
  std::string all;
  for (int i = forms; i >= 0; --i) all += std::to_string(first + i) + " 0 R ";
  b.Obj(10, "<< /Type /Page /Parent 3 0 R /MediaBox [0 0 16 16] /Extra [" + all + "] >>");
  b.Obj(11, "<< /Type /Page /Parent 3 0 R /MediaBox [0 0 16 16] /Resources << /XObject << /X " +
                std::to_string(first) + " 0 R >> >> >>");
  for (int i = 0; i < forms; ++i)
    b.Obj(first + i, PdfBuilder::Stream("/X Do",
                                        " /Type /XObject /Subtype /Form /BBox [0 0 1 1] /Resources "
                                        "<< /XObject << /X " +
                                            std::to_string(first + i + 1) + " 0 R >> >>"));
  b.Obj(first + forms, PdfBuilder::Stream("",
                                          " /Type /XObject /Subtype /Image /Width 1 /Height 1"
                                          " /BitsPerComponent 8 /ColorSpace /DeviceGray"
                                          " /Filter /DCTDecode /Decode [1 0]"));
  return b.Build();
}

// The storage of a page's JPEG samples is found through the forms that draw
// it; a chain of forms deeper than any real page is given up (the samples
// taken as stored), not followed until the stack runs out.
TEST(PageSource, JpegStorageIsFoundThroughFormsAndADeepChainEnds) {
  struct Case {
    int forms;
    bool inverted;
  } cases[] = {{0, true}, {3, true}, {200, true}, {100000, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.forms);
    rtl::TMemoryStream source;
    const std::string file = FormChain(c.forms);
    source.WriteBuffer(file.data(), static_cast<int64_t>(file.size()));
    source.SetPosition(0);
    pdf::TkvPDFDocument doc;
    ASSERT_TRUE(doc.LoadFromStream(source));
    EXPECT_EQ(converter::MakePDFDocPages(doc)->JpegSamplesInverted(2), c.inverted);
  }
}

}  // namespace
