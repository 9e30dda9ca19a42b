// Conversions end to end: real PDF files, the real page tool, the TIFF
// checked with the outside tools.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "ConverterFixture.h"
#include "pdf/PdfFixture.h"

namespace tk::test::converter {
namespace {

using ::converter::TForm1;

// A page of text only: no image for the page tool to find.
std::string TextOnlyPdf(int pages) {
  auto b = tk::test::pdf::SimpleDocument(pages);
  b.Obj(4, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
  b.Obj(5, tk::test::pdf::PdfBuilder::Stream("BT /F1 24 Tf 72 700 Td (Hello) Tj ET"));
  for (int i = 0; i < pages; ++i)
    b.Obj(10 + i, "<< /Type /Page /Parent 3 0 R /MediaBox [0 0 595 842] /Contents 5 0 R "
                  "/Resources << /Font << /F1 4 0 R >> >> >>");
  return b.Build();
}

class Conversion : public ConverterFixture {
 protected:
  void SetUp() override {
    TK_REQUIRE_TOOL("qpdf");
    TK_REQUIRE_TOOL("pdfinfo");
    TK_REQUIRE_TOOL("pdfimages");
  }
  // A stand-in page tool in the work folder.
  void FakeTool(const std::string& script) {
    fs::create_directories(Work());
    WriteFileBytes(Work() / "pdfimages", "#!/bin/sh\n" + script + "\n");
    ::chmod((Work() / "pdfimages").c_str(), 0755);
  }
};

TEST_F(Conversion, TextOnlyDocumentWarnsPerPageAndKeepsTheSource) {
  TForm1* f = Start();
  TToolPages* pages = UseToolPages(f);
  const fs::path src = docs / "text.pdf";
  WriteFileBytes(src, TextOnlyPdf(2));
  // Left from an earlier page: must not pass for this page's image.
  WriteFileBytes(Work() / "$$temp$$-000.pbm", "P4\n1 1\n\x80");
  f->ConvertDocument(src.string());
  ASSERT_EQ(presenter->Messages.size(), 2u);
  for (const auto& m : presenter->Messages) {
    EXPECT_EQ(m.Text, ::converter::kNoImageMessage);
    EXPECT_EQ(m.Type, forms::mtWarning);
    EXPECT_EQ(m.Buttons, forms::mbOK);
  }
  EXPECT_TRUE(fs::exists(src));
  EXPECT_FALSE(fs::exists(docs / "text.tif"));
  EXPECT_EQ(f->ProducedFiles.Count(), 0);
  EXPECT_EQ(f->LabelState->Caption(), "変換できるページがありません（ＰＤＦを残します）");
  EXPECT_EQ(f->ProgressBar1->Position(), 0);
  EXPECT_EQ(forms::Screen->Cursor, forms::crDefault);
  EXPECT_EQ(pages->Calls, (std::vector<std::string>{"load " + src.string(), "outlines", "extract 1", "extract 2"}));
  // The work folder holds nothing of the conversion any more.
  for (const auto& e : fs::directory_iterator(Work())) ADD_FAILURE() << "left: " << e.path();
}

TEST_F(Conversion, StatusTextsOfADocument) {
  TForm1* f = Start();
  UseToolPages(f);
  const fs::path src = docs / "text.pdf";
  WriteFileBytes(src, TextOnlyPdf(2));
  f->ConvertDocument(src.string());
  // The line a terminal shows at every pump of the messages.
  std::vector<std::string> want = {
      "ファイルtext.pdf  処理開始",
      "ファイルtext.pdf  1ページ分割処理  [1/2]",
      "ファイルtext.pdf  1ページ変換処理  [1/2]",
      "ファイルtext.pdf  2ページ分割処理  [2/2]",
      "ファイルtext.pdf  2ページ変換処理  [2/2]",
  };
  std::vector<std::string> seen;
  for (const auto& l : presenter->StatusLines)
    if (seen.empty() || seen.back() != l) seen.push_back(l);
  EXPECT_EQ(seen, want);
}

TEST_F(Conversion, PageToolFromTheWorkFolderIsKilledAfterItsTimeLimit) {
  FakeTool("echo started > started; exec sleep 30");
  TForm1* f = Start();
  UseToolPages(f);
  f->PageToolTimeLimitMs = 300;
  const fs::path src = docs / "text.pdf";
  WriteFileBytes(src, TextOnlyPdf(1));
  try {
    f->ConvertDocument(src.string());
    ADD_FAILURE() << "no error";
  } catch (const rtl::Exception& e) {
    EXPECT_NE(std::string(e.what()).find("did not finish"), std::string::npos) << e.what();
  }
  EXPECT_TRUE(fs::exists(Work() / "started"));  // the work folder's tool ran, in the work folder
  EXPECT_TRUE(fs::exists(src));
  EXPECT_FALSE(fs::exists(Work() / "$temp-001.pdf"));
  EXPECT_EQ(f->ProgressBar1->Position(), 0);
}

TEST_F(Conversion, PageToolGetsItsArgumentsInTheWorkFolder) {
  FakeTool("pwd > args; for a in \"$@\"; do echo \"$a\" >> args; done; cp \"$2\" seen.pdf");
  TForm1* f = Start();
  UseToolPages(f);
  WriteFileBytes(docs / "text.pdf", TextOnlyPdf(1));
  f->ConvertDocument((docs / "text.pdf").string());
  std::string work = fs::canonical(Work()).string();
  EXPECT_EQ(ReadFileBytes(Work() / "args"), work + "\n-j\n$$temp$$.pdf\n$$temp$$\n");
  EXPECT_TRUE(fs::exists(Work() / "seen.pdf"));
}

TEST_F(Conversion, MissingPageToolIsAnExecError) {
  TForm1* f = Start();
  UseToolPages(f);
  WriteFileBytes(docs / "text.pdf", TextOnlyPdf(1));
  std::string path = std::getenv("PATH");
  // The pages come ready-made, so no outside tool is needed but the
  // page tool, which is found nowhere.
  ::setenv("PATH", (scratch.path() / "nothing").c_str(), 1);
  struct RestorePath {
    std::string p;
    ~RestorePath() { ::setenv("PATH", p.c_str(), 1); }
  } restore{path};
  class TPreloaded : public ::converter::TPageSource {
   public:
    explicit TPreloaded(const fs::path& page) : page_(page) {}
    void LoadFromFile(const std::string&) override {}
    int PageCount() override { return 1; }
    void FreeOutlines() override {}
    void ExtractPage(const std::string& file, int) override { fs::copy_file(page_, file); }
    ::converter::TPageBox PageSize(int) override { return {0, 0, 210, 297}; }
    int PageRotation(int) override { return 0; }

   private:
    fs::path page_;
  };
  f->Pages = std::make_unique<TPreloaded>(docs / "text.pdf");
  try {
    f->ConvertDocument((docs / "text.pdf").string());
    ADD_FAILURE() << "no error";
  } catch (const rtl::Exception& e) {
    EXPECT_STREQ(e.what(), "Exec Error 2");
  }
  EXPECT_TRUE(fs::exists(docs / "text.pdf"));
}

TEST_F(Conversion, FileThatIsNoPdfEndsTheDocumentWithAnError) {
  TForm1* f = Start();
  UseToolPages(f);
  WriteFileBytes(docs / "junk.pdf", "this is not a PDF");
  EXPECT_THROW(f->ConvertDocument((docs / "junk.pdf").string()), rtl::Exception);
  EXPECT_TRUE(fs::exists(docs / "junk.pdf"));
  EXPECT_FALSE(fs::exists(docs / "junk.tif"));
}

}  // namespace
}  // namespace tk::test::converter
