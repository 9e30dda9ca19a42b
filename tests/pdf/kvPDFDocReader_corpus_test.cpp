// Real PDF files from other projects' test suites through the document
// reader: every file loads or raises the library's error, and a file that
// loads has the pages qpdf finds in it wherever qpdf reads it without a
// warning. A file that hangs meets the test's time limit; how fast files
// load is measured in bench/pdf, not here.
#include <gtest/gtest.h>

#include <exception>
#include <sstream>
#include <string>
#include <typeinfo>

#include "pdf/PdfFixture.h"
#include "pdf/kvCstPDFDoc.h"
#include "pdf/kvPDFDoc.h"
#include "support/TestSupport.h"

namespace pdf {
namespace {

// The pages qpdf walks in the page tree ("page N: ..." lines; its page count
// option prints the root's /Count as written); -1 where qpdf warns or fails.
int QpdfPages(const std::string& file) {
  int exitCode = -1;
  const std::string out = tk::test::pdf::Qpdf({"--show-pages", file}, &exitCode);
  if (exitCode != 0) return -1;
  std::istringstream in(out);
  std::string line;
  int pages = 0;
  while (std::getline(in, line))
    if (line.rfind("page ", 0) == 0) ++pages;
  return pages;
}

TEST(DocumentReaderCorpus, LoadsOrRaisesAndCountsPagesLikeQpdf) {
  TK_REQUIRE_CORPUS();
  TK_REQUIRE_TOOL("qpdf");
  const auto files = tk::test::pdf::CorpusPDFs();
  ASSERT_FALSE(files.empty());
  for (const auto& file : files) {
    SCOPED_TRACE(file.string());
    TkvPDFDocument doc;
    bool ok = false;
    try {
      ok = doc.LoadFromFile(file.string());
    } catch (const rtl::Exception&) {
    } catch (const std::exception& e) {
      ADD_FAILURE() << typeid(e).name() << ": " << e.what();
    }
    if (!ok) continue;
    const int want = QpdfPages(file.string());
    if (want >= 0) {
      EXPECT_EQ(doc.PageCount(), want);
    }
  }
}

}  // namespace
}  // namespace pdf
