// Conversions end to end: real PDF files, the real page tool, the TIFF
// checked with the outside tools.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

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
    b.Obj(10 + i,
          "<< /Type /Page /Parent 3 0 R /MediaBox [0 0 595 842] /Contents 5 0 R "
          "/Resources << /Font << /F1 4 0 R >> >> >>");
  return b.Build();
}

// One page of a fixture: an image of a kind, its size and resolution, and
// the page's /Rotate.
struct PageSpec {
  const char* kind;  // "g4", "bits1", "grey", "rgb", "jpeg"
  int width, height, dpi, rotate;
};

// An image that no turn or mirror maps onto itself.
fs::path MakeImage(const PageSpec& p, const fs::path& dir, int index) {
  const std::string size = std::to_string(p.width) + "x" + std::to_string(p.height);
  const std::string density = std::to_string(p.dpi);
  const std::string corner =
      "rectangle 0,0 " + std::to_string(p.width / 3) + "," + std::to_string(p.height / 5);
  const std::string dot =
      "circle " + std::to_string(p.width * 3 / 4) + "," + std::to_string(p.height * 2 / 3) + " " +
      std::to_string(p.width * 3 / 4 + p.width / 10) + "," + std::to_string(p.height * 2 / 3);
  std::string kind = p.kind;
  fs::path out = dir / ("img" + std::to_string(index) +
                        (kind == "g4"     ? ".tif"
                         : kind == "jpeg" ? ".jpg"
                                          : ".png"));
  std::vector<std::string> cmd = {"convert-im6.q16", "-size", size};
  if (kind == "g4" || kind == "bits1") {
    cmd.insert(cmd.end(), {"xc:white", "-fill", "black", "-draw", corner, "-draw", dot, "-monochrome"});
  } else if (kind == "grey") {
    cmd.insert(cmd.end(), {"gradient:white-gray30", "-fill", "gray70", "-draw", corner, "-fill", "black",
                           "-draw", dot, "-colorspace", "Gray", "-depth", "8"});
  } else {
    cmd.insert(cmd.end(), {"-seed", "7", "plasma:", "-fill", "#2040c0", "-draw", corner, "-depth", "8",
                           "-type", "TrueColor"});
  }
  cmd.insert(cmd.end(), {"-density", density, "-units", "PixelsPerInch"});
  if (kind == "g4") cmd.insert(cmd.end(), {"-compress", "Group4"});
  if (kind == "bits1") cmd.insert(cmd.end(), {"-depth", "1", "-type", "bilevel"});
  if (kind == "jpeg") cmd.insert(cmd.end(), {"-quality", "85"});
  cmd.push_back((kind == "bits1" ? "png:" : "") + out.string());
  auto r = RunTool(cmd);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return out;
}

// A scan of the given pages, each /Rotate set by qpdf.
void MakeScan(const std::vector<PageSpec>& pages, const fs::path& pdf, const fs::path& dir) {
  std::vector<std::string> cmd = {"img2pdf"};
  for (size_t i = 0; i < pages.size(); ++i)
    cmd.push_back(MakeImage(pages[i], dir, static_cast<int>(i)).string());
  fs::path joined = dir / "joined.pdf";
  cmd.insert(cmd.end(), {"-o", joined.string()});
  auto r = RunTool(cmd);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::vector<std::string> q = {"qpdf", joined.string()};
  for (size_t i = 0; i < pages.size(); ++i)
    if (pages[i].rotate)
      q.push_back("--rotate=+" + std::to_string(pages[i].rotate) + ":" + std::to_string(i + 1));
  q.push_back(pdf.string());
  r = RunTool(q);
  ASSERT_TRUE(r.exitCode == 0 || r.exitCode == 3) << r.err;
}

// The pixels of an image file as 8-bit RGB, with its size in front.
std::string Pixels(const fs::path& file) {
  auto size = RunTool({"identify-im6.q16", "-format", "%w %h ", file.string()});
  auto rgb = RunTool({"convert-im6.q16", file.string(), "-depth", "8", "rgb:-"});
  EXPECT_EQ(rgb.exitCode, 0) << rgb.err;
  return size.out + rgb.out;
}

// What the page tool writes for page n, turned by the page's rotation.
fs::path ExpectedPage(const fs::path& pdf, int n, int turn, const fs::path& dir, std::string& ext) {
  fs::path prefix = dir / ("want" + std::to_string(n));
  RunTool(
      {"pdfimages", "-f", std::to_string(n), "-l", std::to_string(n), "-j", pdf.string(), prefix.string()});
  fs::path img;
  for (const char* e : {".pbm", ".ppm", ".jpg"})
    if (fs::exists(prefix.string() + "-000" + e)) img = prefix.string() + "-000" + e, ext = e;
  if (img.empty() || turn == 0) return img;
  std::string flip = turn == 90 ? "-cw" : turn == 180 ? "-r180" : "-ccw";
  std::string input = img.string();
  if (ext == ".jpg") {
    auto d = RunTool({"djpeg", "-pnm", img.string()});
    WriteFileBytes(prefix.string() + "-dec.ppm", d.out);
    input = prefix.string() + "-dec.ppm";
  }
  auto r = RunTool({"pamflip", flip, input});
  fs::path turned = prefix.string() + "-turned.pnm";
  WriteFileBytes(turned, r.out);
  return turned;
}

// Each page directory of a TIFF: compression scheme and resolution.
struct TiffPage {
  std::string compression;
  std::string resolution;
};
std::vector<TiffPage> TiffPages(const fs::path& tif) {
  auto r = RunTool({"tiffinfo", tif.string()});
  std::vector<TiffPage> pages;
  std::istringstream in(r.out);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("TIFF Directory", 0) == 0) pages.emplace_back();
    if (pages.empty()) continue;
    auto take = [&](const char* key, std::string& into) {
      auto p = line.find(key);
      if (p != std::string::npos) into = line.substr(p + std::strlen(key));
    };
    take("Compression Scheme: ", pages.back().compression);
    take("Resolution: ", pages.back().resolution);
  }
  return pages;
}

// Every page of the TIFF equals the page tool's image of the source's page,
// turned by the page's rotation below 650 dpi; compression and resolution
// are the pipeline's. The tools write their files into dir.
void ExpectPagesOf(const fs::path& tif, const fs::path& source, const std::vector<PageSpec>& pages,
                   const fs::path& dir) {
  auto dirs = TiffPages(tif);
  ASSERT_EQ(dirs.size(), pages.size());
  RunTool({"tiffsplit", tif.string(), (dir / "got").string()});
  TToolPages geometry;
  geometry.LoadFromFile(source.string());
  for (size_t i = 0; i < pages.size(); ++i) {
    SCOPED_TRACE("page " + std::to_string(i + 1));
    const int n = static_cast<int>(i) + 1;
    auto box = geometry.PageSize(n);
    int pageWidth = static_cast<int>(std::trunc(std::fabs(box.X2 - box.X1) * 100.0));
    unsigned dpi = ::converter::PageResolution(pages[i].width, pageWidth);
    EXPECT_NEAR(dpi, pages[i].dpi, 1);
    std::string ext;
    fs::path want = ExpectedPage(source, n, dpi < 650 ? pages[i].rotate : 0, dir, ext);
    ASSERT_FALSE(want.empty());
    std::string name = "gota";
    name += static_cast<char>('a' + i / 26);
    name += static_cast<char>('a' + i % 26);
    fs::path gotTif = dir / (name + ".tif");
    auto pnm = RunTool({"tifftopnm", gotTif.string()});
    ASSERT_EQ(pnm.exitCode, 0) << pnm.err;
    fs::path got = dir / (name + ".pnm");
    WriteFileBytes(got, pnm.out);
    EXPECT_TRUE(Pixels(got) == Pixels(want)) << "pixels differ from " << want;
    EXPECT_EQ(dirs[i].compression, ext == ".pbm" ? "CCITT Group 4" : "LZW");
    EXPECT_EQ(dirs[i].resolution, std::to_string(dpi) + ", " + std::to_string(dpi) + " pixels/inch");
  }
}

class Conversion : public ConverterFixture {
 protected:
  void SetUp() override {
    TK_REQUIRE_TOOL("qpdf");
    TK_REQUIRE_TOOL("pdfinfo");
    TK_REQUIRE_TOOL("pdfimages");
  }
  // A stand-in page tool in the work root.
  void FakeTool(const std::string& script) {
    fs::create_directories(WorkRoot());
    WriteFileBytes(WorkRoot() / "pdfimages", "#!/bin/sh\n" + script + "\n");
    ::chmod((WorkRoot() / "pdfimages").c_str(), 0755);
  }
};

// Conversions of scans made for the test, checked page for page.
class PageConversion : public Conversion {
 protected:
  void SetUp() override {
    Conversion::SetUp();
    if (IsSkipped()) return;
    TK_REQUIRE_TOOL("img2pdf");
    TK_REQUIRE_TOOL("convert-im6.q16");
    TK_REQUIRE_TOOL("tiffinfo");
    TK_REQUIRE_TOOL("tiffsplit");
    TK_REQUIRE_TOOL("tifftopnm");
    TK_REQUIRE_TOOL("pamflip");
  }
};

TEST_F(Conversion, TextOnlyDocumentWarnsPerPageAndKeepsTheSource) {
  TForm1* f = Start();
  TToolPages* pages = UseToolPages(f);
  const fs::path src = docs / "text.pdf";
  WriteFileBytes(src, TextOnlyPdf(2));
  // Left under the page's image name by an earlier run: must not pass for
  // this page's image.
  WriteFileBytes(Work() / "$temp-001-000.pbm", "P4\n1 1\n\x80");
  f->ConvertDocument(src.string());
  // A warning per page, then what became of the document, by its name.
  ASSERT_EQ(presenter->Messages.size(), 3u);
  for (size_t i = 0; i < 2; ++i) {
    const auto& m = presenter->Messages[i];
    EXPECT_EQ(m.Text, ::converter::kNoImageMessage);
    EXPECT_EQ(m.Type, forms::mtWarning);
    EXPECT_EQ(m.Buttons, forms::mbOK);
  }
  EXPECT_EQ(presenter->Messages[2].Text, "text.pdf: 変換できるページがありません（ＰＤＦを残します）");
  EXPECT_EQ(presenter->Messages[2].Type, forms::mtError);
  EXPECT_EQ(f->KeptDocuments, 1);
  EXPECT_TRUE(fs::exists(src));
  EXPECT_FALSE(fs::exists(docs / "text.tif"));
  EXPECT_EQ(f->DropFileSource1->Files().Count(), 0);
  EXPECT_EQ(f->LabelState->Caption(), "変換できるページがありません（ＰＤＦを残します）");
  EXPECT_EQ(f->ProgressBar1->Position(), 0);
  EXPECT_EQ(forms::Screen->Cursor, forms::crDefault);
  EXPECT_EQ(pages->Calls,
            (std::vector<std::string>{"load " + src.string(), "outlines", "extract 1", "extract 2"}));
  // The work folder holds nothing of the conversion any more.
  for (const auto& e : fs::directory_iterator(Work())) ADD_FAILURE() << "left: " << e.path();
}

TEST_F(Conversion, StatusTextsOfADocument) {
  TForm1* f = Start();
  // The form converts through its own document component.
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

TEST_F(Conversion, PageToolFromTheWorkFolderIsKilledWithWhatItStartedAfterItsTimeLimit) {
  // Its child holds our standard error as well: it must go with the tool.
  FakeTool("sleep 30 & echo $! > child; echo started > started; exec sleep 30");
  TForm1* f = Start();
  // The form converts through its own document component.
  f->PageToolTimeLimitMs = 300;
  const fs::path src = docs / "text.pdf";
  WriteFileBytes(src, TextOnlyPdf(1));
  try {
    f->ConvertDocument(src.string());
    ADD_FAILURE() << "no error";
  } catch (const rtl::Exception& e) {
    EXPECT_NE(std::string(e.what()).find("did not finish"), std::string::npos) << e.what();
  }
  EXPECT_TRUE(fs::exists(Work() / "started"));  // the work root's tool ran, in the work folder
  EXPECT_TRUE(fs::exists(src));
  EXPECT_FALSE(fs::exists(Work() / "$temp-001.pdf"));
  EXPECT_EQ(f->ProgressBar1->Position(), 0);
  std::string child = ReadFileBytes(Work() / "child");
  while (!child.empty() && child.back() == '\n') child.pop_back();
  ASSERT_FALSE(child.empty());
  EXPECT_TRUE(WaitFor([&] { return ProcessGone(std::stoi(child)); }, 5000)) << "the tool's child lives on";
}

TEST_F(Conversion, PageToolThatFailsOrCrashesIsReportedAsSuch) {
  struct Case {
    const char* name;
    const char* script;
    const char* message;
  } cases[] = {
      {"fails", "exit 99", "Page tool error: pdfimages failed on page 1 (exit status 99)"},
      {"fails after writing an image", "printf 'P4\\n1 1\\n\\200' > \"$3-000.pbm\"; exit 1",
       "Page tool error: pdfimages failed on page 1 (exit status 1)"},
      {"crashes", "kill -SEGV $$",
       "Page tool error: pdfimages crashed on page 1 (signal 11: Segmentation fault)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeTool(c.script);
    TForm1* f = Start();
    const fs::path src = docs / "text.pdf";
    WriteFileBytes(src, TextOnlyPdf(1));
    std::string error;
    try {
      f->ConvertDocument(src.string());
    } catch (const rtl::Exception& e) {
      error = e.what();
    }
    EXPECT_EQ(error, c.message);
    EXPECT_TRUE(presenter->Messages.empty()) << "reported as a page without an image";
    EXPECT_TRUE(fs::exists(src));
    EXPECT_FALSE(fs::exists(docs / "text.tif"));
    for (const auto& e : fs::directory_iterator(Work()))
      if (e.path().filename() != "pdfimages") ADD_FAILURE() << "left: " << e.path();
    Stop();
  }
}

TEST_F(Conversion, PageToolsRunAtOnceAndAFailureIsSaidInPageOrderWithTheOthersKilled) {
  // Page 1 ends late, page 2 fails at once, page 3 never ends (and leaves a
  // child that holds our standard error).
  FakeTool(
      "case \"$2\" in\n"
      "  *001.pdf) sleep 1; [ -e started3 ] && echo yes > overlap ;;\n"
      "  *002.pdf) exit 7 ;;\n"
      "  *) sleep 30 & echo $! > child3; echo $$ > tool3; echo > started3; exec sleep 30 ;;\n"
      "esac");
  TForm1* f = Start();
  f->PageTools = 3;
  const fs::path src = docs / "text.pdf";
  WriteFileBytes(src, TextOnlyPdf(3));
  std::string error;
  try {
    f->ConvertDocument(src.string());
  } catch (const rtl::Exception& e) {
    error = e.what();
  }
  EXPECT_EQ(error, "Page tool error: pdfimages failed on page 2 (exit status 7)");
  EXPECT_TRUE(fs::exists(Work() / "overlap")) << "page 3's tool did not run beside page 1's";
  // Page 1 had its turn before the failure of page 2 was said.
  ASSERT_EQ(presenter->Messages.size(), 1u);
  EXPECT_EQ(presenter->Messages[0].Text, ::converter::kNoImageMessage);
  EXPECT_TRUE(fs::exists(src));
  EXPECT_FALSE(fs::exists(docs / "text.tif"));
  for (const char* name : {"tool3", "child3"}) {
    std::string pid = ReadFileBytes(Work() / name);
    while (!pid.empty() && pid.back() == '\n') pid.pop_back();
    ASSERT_FALSE(pid.empty()) << name;
    EXPECT_TRUE(WaitFor([&] { return ProcessGone(std::stoi(pid)); }, 5000)) << name << " lives on";
  }
  for (const auto& e : fs::directory_iterator(Work()))
    if (e.path().filename().string().rfind("$temp", 0) == 0) ADD_FAILURE() << "left: " << e.path();
}

TEST_F(Conversion, PageToolGetsItsArgumentsInTheWorkFolder) {
  FakeTool("pwd > args; for a in \"$@\"; do echo \"$a\" >> args; done; cp \"$2\" seen.pdf");
  TForm1* f = Start();
  // The form converts through its own document component.
  WriteFileBytes(docs / "text.pdf", TextOnlyPdf(1));
  f->ConvertDocument((docs / "text.pdf").string());
  std::string work = fs::canonical(Work()).string();
  EXPECT_EQ(ReadFileBytes(Work() / "args"), work + "\n-j\n$temp-001.pdf\n$temp-001\n");
  EXPECT_TRUE(fs::exists(Work() / "seen.pdf"));
}

TEST_F(Conversion, MissingPageToolIsAnExecError) {
  TForm1* f = Start();
  // The form converts through its own document component.
  WriteFileBytes(docs / "text.pdf", TextOnlyPdf(1));
  // The pages come ready-made, so no outside tool is needed but the
  // page tool, which is found nowhere.
  const tk::test::EnvVar path("PATH", (scratch.path() / "nothing").c_str());
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
    EXPECT_STREQ(e.what(),
                 "Exec Error 2: the page tool pdfimages (Debian package poppler-utils) was not found");
  }
  EXPECT_TRUE(fs::exists(docs / "text.pdf"));
}

TEST_F(Conversion, FileThatIsNoPdfEndsTheDocumentWithAnError) {
  TForm1* f = Start();
  // The form converts through its own document component.
  WriteFileBytes(docs / "junk.pdf", "this is not a PDF");
  EXPECT_THROW(f->ConvertDocument((docs / "junk.pdf").string()), rtl::Exception);
  EXPECT_TRUE(fs::exists(docs / "junk.pdf"));
  EXPECT_FALSE(fs::exists(docs / "junk.tif"));
}

TEST_F(PageConversion, EveryPageEqualsThePageToolsImageTurnedByItsRotation) {
  const std::vector<PageSpec> pages = {
      {"g4", 240, 330, 100, 0},      // CCITT Group 4
      {"bits1", 210, 150, 150, 90},  // Flate, 1 bit
      {"grey", 160, 120, 100, 180}, {"rgb", 150, 100, 100, 270},
      {"rgb", 700, 500, 700, 90},   // 700 dpi: taken as it is
      {"g4", 1400, 700, 700, 270},  // likewise
      {"jpeg", 300, 200, 100, 90},  {"jpeg", 180, 240, 100, 0},
  };
  const fs::path fixtures = scratch.path() / "fixtures";
  fs::create_directories(fixtures);
  const fs::path src = docs / "scan.pdf";
  MakeScan(pages, src, fixtures);
  const fs::path kept = fixtures / "scan-copy.pdf";
  fs::copy_file(src, kept);

  TForm1* f = Start();
  // The form converts through its own document component.
  f->ConvertDocument(src.string());

  const fs::path tif = docs / "scan.tif";
  ASSERT_TRUE(fs::exists(tif));
  EXPECT_FALSE(fs::exists(src));  // every page made it: the source goes
  ASSERT_EQ(f->DropFileSource1->Files().Count(), 1);
  EXPECT_EQ(f->DropFileSource1->Files()[0], tif.string());
  EXPECT_EQ(f->LabelState->Caption(), "ページ数8処理終了");
  EXPECT_TRUE(presenter->Messages.empty());
  for (const auto& e : fs::directory_iterator(Work())) ADD_FAILURE() << "left: " << e.path();

  ExpectPagesOf(tif, kept, pages, fixtures);
}

// A JPEG image inside a PDF holds its samples as stored, whatever marker it
// carries, unless the image's /Decode turns them round, and begins at its
// first SOI marker: the page in the TIFF is the colour the PDF shows
// (pdftoppm's), not the negative, nor an error.
TEST_F(PageConversion, JpegPageHasTheColourThePdfShows) {
  TK_REQUIRE_TOOL("pdftoppm");
  struct Jpeg {
    const char* name;
    std::vector<std::string> make;
  } jpegs[] = {
      // Cyan, written with an Adobe marker and the inks inverted.
      {"cmyk", {"xc:cyan", "-colorspace", "CMYK"}},
      {"rgb", {"xc:cyan"}},
      {"grey", {"xc:gray25", "-colorspace", "Gray"}},
  };
  std::map<std::string, std::string> data;
  for (const Jpeg& j : jpegs) {
    const fs::path jpg = scratch.path() / (std::string(j.name) + ".jpg");
    std::vector<std::string> argv{"convert-im6.q16", "-size", "16x16"};
    argv.insert(argv.end(), j.make.begin(), j.make.end());
    argv.insert(argv.end(), {"-quality", "100", jpg.string()});
    auto made = RunTool(argv);
    ASSERT_EQ(made.exitCode, 0) << made.err;
    data[j.name] = ReadFileBytes(jpg);
  }
  const auto cyan = [](int r, int g, int b) { return r < 60 && g > 120 && b > 180; };
  const auto dark = [](int r, int g, int b) { return r < 70 && g < 70 && b < 70; };
  const auto red = [](int r, int g, int b) { return r > 200 && g < 60 && b < 60; };
  const auto light = [](int r, int g, int b) { return r > 170 && g > 170 && b > 170; };
  struct Case {
    const char* name;
    const char* jpeg;
    const char* colourSpace;
    const char* decode;
    bool form;
    std::function<bool(int, int, int)> looks;
    std::string lead = "";  // bytes the stream holds before the JPEG data
  } cases[] = {
      {"CMYK, inks as stored", "cmyk", "/DeviceCMYK", "", false, dark},
      {"CMYK, inks turned round by /Decode", "cmyk", "/DeviceCMYK", " /Decode [1 0 1 0 1 0 1 0]", false,
       cyan},
      {"CMYK, /Decode through a form", "cmyk", "/DeviceCMYK", " /Decode [1 0 1 0 1 0 1 0]", true, cyan},
      {"RGB as stored", "rgb", "/DeviceRGB", "", false, cyan},
      {"RGB turned round by /Decode", "rgb", "/DeviceRGB", " /Decode [1 0 1 0 1 0]", false, red},
      {"grey as stored", "grey", "/DeviceGray", "", false, dark},
      {"grey turned round by /Decode", "grey", "/DeviceGray", " /Decode [1 0]", false, light},
      {"RGB after a line end", "rgb", "/DeviceRGB", "", false, cyan, "\n"},
      {"RGB after blank lines", "rgb", "/DeviceRGB", "", false, cyan, "\r\n\r\n \n"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    using tk::test::pdf::PdfBuilder;
    auto b = tk::test::pdf::SimpleDocument(1);
    b.Obj(4, PdfBuilder::Stream(c.lead + data[c.jpeg],
                                std::string(" /Type /XObject /Subtype /Image /Width 16 /Height 16"
                                            " /BitsPerComponent 8 /Filter /DCTDecode /ColorSpace ") +
                                    c.colourSpace + c.decode));
    b.Obj(5, PdfBuilder::Stream(c.form ? "/Fm0 Do" : "16 0 0 16 0 0 cm /Im0 Do"));
    b.Obj(6, PdfBuilder::Stream("16 0 0 16 0 0 cm /Im0 Do",
                                " /Type /XObject /Subtype /Form /BBox [0 0 16 16]"
                                " /Resources << /XObject << /Im0 4 0 R >> >>"));
    b.Obj(10, std::string("<< /Type /Page /Parent 3 0 R /MediaBox [0 0 16 16] /Contents 5 0 R "
                          "/Resources << /XObject << ") +
                  (c.form ? "/Fm0 6 0 R" : "/Im0 4 0 R") + " >> >> >>");
    const std::string name = "page" + std::to_string(n++);
    const fs::path src = docs / (name + ".pdf");
    WriteFileBytes(src, b.Build());
    const fs::path shown = scratch.path() / (name + "-shown");
    ASSERT_EQ(RunTool({"pdftoppm", "-r", "72", "-singlefile", src.string(), shown.string()}).exitCode, 0);

    TForm1* f = Start();
    f->ConvertDocument(src.string());
    const fs::path tif = docs / (name + ".tif");
    ASSERT_TRUE(fs::exists(tif));
    const fs::path got = scratch.path() / (name + ".pnm");
    WriteFileBytes(got, RunTool({"tifftopnm", tif.string()}).out);
    // The middle pixel of each.
    for (const fs::path& image : {fs::path(shown.string() + ".ppm"), got}) {
      SCOPED_TRACE(image.string());
      auto px = RunTool({"convert-im6.q16", image.string(), "-crop", "1x1+8+8", "-depth", "8", "rgb:-"});
      ASSERT_EQ(px.out.size(), 3u) << px.err;
      const int r = static_cast<unsigned char>(px.out[0]), g = static_cast<unsigned char>(px.out[1]),
                bl = static_cast<unsigned char>(px.out[2]);
      EXPECT_TRUE(c.looks(r, g, bl)) << r << " " << g << " " << bl;
    }
  }
}

// The page tool writes an inline JPEG image with the rest of the page's
// content after it, and none of the images drawn after it: a page that
// draws more is not whole, however many images the tool wrote (as many as
// pdfimages -list counts).
TEST_F(PageConversion, InlineJpegImageWithMoreImagesAfterItKeepsTheSource) {
  const fs::path jpg = scratch.path() / "strip.jpg";
  auto made =
      RunTool({"convert-im6.q16", "-size", "16x8", "gradient:white-blue", "-quality", "90", jpg.string()});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  const std::string inlineJpeg = "BI /W 16 /H 8 /CS /RGB /BPC 8 /F /DCT ID " + ReadFileBytes(jpg) + "\nEI";
  const std::string inlineGrey = "BI /W 2 /H 1 /CS /G /BPC 8 ID \x10\x80\nEI";
  struct Case {
    const char* name;
    std::string content;
    bool whole;
  } cases[] = {
      {"an inline JPEG alone", "q 16 0 0 8 0 0 cm " + inlineJpeg + " Q", true},
      {"an inline JPEG, then its text",
       "q 16 0 0 8 0 0 cm " + inlineJpeg + " Q BT /F1 4 Tf 3 Tr (Do BI) Tj ET % Do\n", true},
      {"an inline JPEG, then an image", "q 16 0 0 8 0 0 cm " + inlineJpeg + " Q q 16 0 0 8 0 8 cm /Im0 Do Q",
       false},
      {"an inline JPEG, then an inline image",
       "q 16 0 0 8 0 0 cm " + inlineJpeg + " Q q 16 0 0 8 0 8 cm " + inlineGrey + " Q", false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    using tk::test::pdf::PdfBuilder;
    auto b = tk::test::pdf::SimpleDocument(1);
    b.Obj(4, PdfBuilder::Stream(std::string("\x00\xff\x81\xbd\x0f\xf0\x3c\xc3", 8),
                                " /Type /XObject /Subtype /Image /Width 8 /Height 8 /ColorSpace /DeviceGray"
                                " /BitsPerComponent 1"));
    b.Obj(5, PdfBuilder::Stream(c.content));
    b.Obj(10,
          "<< /Type /Page /Parent 3 0 R /MediaBox [0 0 16 16] /Contents 5 0 R "
          "/Resources << /XObject << /Im0 4 0 R >> >> >>");
    const std::string name = "inline" + std::to_string(n++);
    const fs::path src = docs / (name + ".pdf");
    WriteFileBytes(src, b.Build());
    auto list = RunTool({"pdfimages", "-list", src.string()});
    ASSERT_EQ(list.exitCode, 0) << list.err;
    EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n') == 3, c.whole) << list.out;

    TForm1* f = Start();
    f->ConvertDocument(src.string());
    EXPECT_TRUE(fs::exists(docs / (name + ".tif")));
    EXPECT_EQ(fs::exists(src), !c.whole);
    if (c.whole) {
      EXPECT_TRUE(presenter->Messages.empty());
    } else {
      ASSERT_FALSE(presenter->Messages.empty());
      EXPECT_NE(presenter->Messages.back().Text.find("1ページに画像が複数あります"), std::string::npos)
          << presenter->Messages.back().Text;
    }
  }
}

TEST_F(PageConversion, EncryptedFilesOpenWithoutAPromptOnlyWhenTheUserPasswordIsEmpty) {
  const std::vector<PageSpec> pages = {
      {"g4", 240, 330, 100, 0},
      {"grey", 160, 120, 100, 90},
      {"jpeg", 180, 240, 100, 0},
  };
  const fs::path fixtures = scratch.path() / "fixtures";
  fs::create_directories(fixtures);
  MakeScan(pages, fixtures / "plain.pdf", fixtures);
  struct Case {
    const char* name;
    const char* bits;
    const char* user;  // the owner password is always set
  } cases[] = {
      {"40-bit, owner password only", "40", ""},
      {"128-bit, owner password only", "128", ""},
      {"40-bit, user password", "40", "secret"},
      {"128-bit, user password", "128", "secret"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const bool opens = std::string(c.user).empty();
    const fs::path dir = fixtures / (std::string(c.bits) + (opens ? "-open" : "-locked"));
    fs::create_directories(dir);
    const fs::path src = docs / "scan.pdf";
    auto r = RunTool({"qpdf", "--allow-weak-crypto", "--encrypt", c.user, "owner", c.bits, "--",
                      (fixtures / "plain.pdf").string(), src.string()});
    ASSERT_TRUE(r.exitCode == 0 || r.exitCode == 3) << r.err;
    ASSERT_NE(RunTool({"qpdf", "--show-encryption", "--password=owner", src.string()}).out.find("R = "),
              std::string::npos);
    const fs::path kept = dir / "scan-copy.pdf";
    fs::copy_file(src, kept);

    TForm1* f = Start();
    int prompted = 0;
    presenter->OnShowModal = [&](forms::TForm&) {
      ++prompted;
      return forms::mrCancel;
    };
    std::string error;
    try {
      f->ConvertDocument(src.string());
    } catch (const rtl::Exception& e) {
      error = e.what();
    }
    if (opens) {
      EXPECT_EQ(prompted, 0);
      EXPECT_TRUE(presenter->Messages.empty());
      EXPECT_EQ(error, "");
      EXPECT_FALSE(fs::exists(src));
      ASSERT_TRUE(fs::exists(docs / "scan.tif"));
      ExpectPagesOf(docs / "scan.tif", kept, pages, dir);
    } else {
      // Asked once; the cancel keeps the source and says so.
      EXPECT_EQ(prompted, 1);
      EXPECT_EQ(error, "");
      ASSERT_EQ(presenter->Messages.size(), 1u);
      EXPECT_NE(presenter->Messages[0].Text.find("scan.pdf: "), std::string::npos);
      EXPECT_TRUE(fs::exists(src));
      EXPECT_FALSE(fs::exists(docs / "scan.tif"));
      EXPECT_EQ(f->DropFileSource1->Files().Count(), 0);
    }
    for (const auto& e : fs::directory_iterator(Work())) ADD_FAILURE() << "left: " << e.path();
    Stop();
    fs::remove(docs / "scan.tif");
    fs::remove(src);
  }
}

TEST_F(PageConversion, UserPasswordIsAskedForUpToThreeTimes) {
  const std::vector<PageSpec> pages = {{"g4", 200, 280, 100, 0}};
  const fs::path fixtures = scratch.path() / "fixtures";
  fs::create_directories(fixtures);
  MakeScan(pages, fixtures / "plain.pdf", fixtures);
  const fs::path locked = fixtures / "locked.pdf";
  auto r = RunTool({"qpdf", "--allow-weak-crypto", "--encrypt", "secret", "owner", "128", "--",
                    (fixtures / "plain.pdf").string(), locked.string()});
  ASSERT_TRUE(r.exitCode == 0 || r.exitCode == 3) << r.err;
  // The oracle's word that it needs the user password.
  ASSERT_NE(RunTool({"qpdf", "--check", locked.string()}).exitCode, 0);
  ASSERT_EQ(RunTool({"qpdf", "--check", "--password=secret", locked.string()}).exitCode, 0);

  const std::string kCancel = "(cancel)";
  struct Case {
    const char* name;
    std::vector<std::string> answers;
    bool interactive;
    bool converted;
    std::string error;
  } cases[] = {
      {"right at once", {"secret"}, true, true, ""},
      {"the owner password", {"owner"}, true, true, ""},
      {"right at the third", {"a", "b", "secret"}, true, true, ""},
      {"wrong three times", {"a", "b", "c", "never asked"}, true, false, "Wrong password."},
      {"cancelled", {kCancel}, true, false, ""},
      {"cancelled after a wrong one", {"a", kCancel}, true, false, ""},
      {"nobody to ask", {"secret"}, false, false, "Wrong password."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path src = docs / "scan.pdf";
    fs::copy_file(locked, src, fs::copy_options::overwrite_existing);
    TForm1* f = Start();
    size_t asked = 0;
    std::vector<std::string> prompts;
    presenter->OnShowModal = [&](forms::TForm& form) {
      auto& dlg = dynamic_cast<::converter::TFormPassWord&>(form);
      prompts.push_back(dlg.LabelMes->Caption());
      EXPECT_TRUE(dlg.EditPW->Text.empty()) << "an earlier answer is still in the box";
      const std::string answer = asked < c.answers.size() ? c.answers[asked] : kCancel;
      ++asked;
      if (answer == kCancel) return forms::mrCancel;
      dlg.EditPW->Text = answer;
      return forms::mrOk;
    };
    if (!c.interactive) {
      app->SetPresenter(std::make_unique<forms::TQuietPresenter>());
      presenter = nullptr;
    }
    std::string error;
    try {
      f->ConvertDocument(src.string());
    } catch (const rtl::Exception& e) {
      error = e.what();
    }
    EXPECT_EQ(error, c.error);
    const size_t expectAsked = c.interactive ? std::min<size_t>(c.answers.size(), 3) : 0;
    EXPECT_EQ(asked, expectAsked);
    for (const auto& p : prompts) EXPECT_EQ(p, ::converter::kPasswordPrompt);
    EXPECT_EQ(fs::exists(docs / "scan.tif"), c.converted);
    EXPECT_EQ(fs::exists(src), !c.converted) << "the source goes only with its TIFF";
    if (c.converted) {
      EXPECT_EQ(RunTool({"tiffinfo", (docs / "scan.tif").string()}).exitCode, 0);
    } else if (c.error.empty()) {
      ASSERT_TRUE(presenter);
      ASSERT_EQ(presenter->Messages.size(), 1u);
      EXPECT_EQ(presenter->Messages[0].Text.rfind("scan.pdf: ", 0), 0u) << presenter->Messages[0].Text;
      EXPECT_EQ(f->KeptDocuments, 1);
    }
    Stop();
    fs::remove(docs / "scan.tif");
    fs::remove(src);
  }
}

// Two image pages and a text page between them.
fs::path MixedScan(const fs::path& dir, const fs::path& out) {
  fs::create_directories(dir);
  MakeScan({{"g4", 200, 280, 100, 0}, {"rgb", 120, 90, 100, 0}}, dir / "images.pdf", dir);
  WriteFileBytes(dir / "text.pdf", TextOnlyPdf(1));
  auto r = RunTool({"qpdf", "--empty", "--pages", (dir / "images.pdf").string(), "1",
                    (dir / "text.pdf").string(), (dir / "images.pdf").string(), "2", "--", out.string()});
  EXPECT_TRUE(r.exitCode == 0 || r.exitCode == 3) << r.err;
  return out;
}

TEST_F(Conversion, WhatIsDeletedAndKeptTable) {
  TK_REQUIRE_TOOL("img2pdf");
  TK_REQUIRE_TOOL("convert-im6.q16");
  TK_REQUIRE_TOOL("tiffinfo");
  struct Case {
    const char* name;
    bool mixed;          // a page without an image
    int org;             // keep the source
    bool blockTarget;    // the TIFF cannot be copied beside the source
    bool blockWorkTiff;  // the work TIFF cannot be written
    bool inWorkFolder;   // made in the work folder, as where the target's file system has no unnamed files
    bool sourceStays, tiffMade, listed, error;
    int warnings;
    const char* state;
  } cases[] = {
      {"all pages", false, 0, false, false, false, false, true, true, false, 0, "ページ数2処理終了"},
      {"all pages, made in the work folder", false, 0, false, false, true, false, true, true, false, 0,
       "ページ数2処理終了"},
      {"all pages, ORG", false, 1, false, false, false, true, true, true, false, 0, "ページ数2処理終了"},
      {"a page without image", true, 0, false, false, false, true, true, true, false, 1,
       "1ページ変換できません（ＰＤＦを残します）"},
      {"copy fails", false, 0, true, false, false, true, false, false, false, 0,
       "ＴＩＦＦを保存できません（ＰＤＦを残します）"},
      {"copy fails, made in the work folder", false, 0, true, false, true, true, false, false, false, 0,
       "ＴＩＦＦを保存できません（ＰＤＦを残します）"},
      {"append fails", false, 0, false, true, true, true, false, false, true, 0, "1ページ変換処理"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(docs);
    fs::create_directories(docs);
    const fs::path fx = scratch.path() / "fx";
    fs::remove_all(fx);
    const fs::path src = docs / "scan.pdf";
    if (c.mixed)
      MixedScan(fx, src);
    else {
      fs::create_directories(fx);
      MakeScan({{"g4", 200, 280, 100, 0}, {"grey", 120, 90, 100, 0}}, src, fx);
    }
    if (c.blockTarget) fs::create_directories(docs / "scan.tif");
    Ini("[NoDel]\nORG=" + std::to_string(c.org) + "\n");
    TForm1* f = Start();
    // The form converts through its own document component.
    f->TiffBesideTarget = !c.inWorkFolder;
    if (c.blockWorkTiff) fs::create_directories(Work() / "$$temp$$.tif");
    bool failed = false;
    const fs::path folder = fs::current_path();
    try {
      f->ConvertDocument(src.string());
    } catch (const rtl::Exception& e) {
      failed = true;
      EXPECT_NE(std::string(e.what()).find("TIFF Error"), std::string::npos) << e.what();
    }
    EXPECT_EQ(failed, c.error);
    // The program's current folder is its own again, not the work folder.
    EXPECT_EQ(fs::current_path(), folder);
    EXPECT_EQ(fs::exists(src), c.sourceStays);
    EXPECT_EQ(fs::is_regular_file(docs / "scan.tif"), c.tiffMade);
    EXPECT_EQ(f->DropFileSource1->Files().Count(), c.listed ? 1 : 0);
    // The source kept for a fault: said by name after the page warnings.
    const bool kept = c.sourceStays && !c.error && c.org == 0;
    EXPECT_EQ(static_cast<int>(presenter->Messages.size()), c.warnings + (kept ? 1 : 0));
    if (kept && !presenter->Messages.empty()) {
      EXPECT_EQ(presenter->Messages.back().Text.rfind(std::string("scan.pdf: ") + c.state, 0), 0u)
          << presenter->Messages.back().Text;
    }
    EXPECT_EQ(f->KeptDocuments, kept ? 1 : 0);
    EXPECT_EQ(f->LabelState->Caption(), c.state);
    EXPECT_EQ(f->ProgressBar1->Position(), 0);
    if (c.tiffMade) {
      EXPECT_EQ(TiffPages(docs / "scan.tif").size(), 2u);
    }
    // Wherever the TIFF was made, nothing of its making is left.
    for (const auto& e : fs::directory_iterator(docs)) {
      const std::string name = e.path().filename().string();
      if (name != "scan.pdf" && name != "scan.tif") ADD_FAILURE() << "left beside the source: " << name;
    }
    EXPECT_EQ(fs::is_regular_file(Work() / "$$temp$$.tif"), false);
  }
}

TEST_F(Conversion, ASourceReplacedOrRewrittenWhileItConvertsIsKept) {
  TK_REQUIRE_TOOL("img2pdf");
  TK_REQUIRE_TOOL("convert-im6.q16");
  // What the scanner software writes under the name meanwhile is another
  // scan: the TIFF holds the pages that were read, the name's file stays.
  class TChangingPages : public TToolPages {
   public:
    std::function<void(const std::string&)> Change;
    void LoadFromFile(const std::string& path) override {
      TToolPages::LoadFromFile(path);
      Change(path);
    }
  };
  struct Case {
    const char* name;
    std::function<void(const std::string&)> change;
  } cases[] = {
      {"rewritten in place", [](const std::string& p) { std::ofstream(p, std::ios::app) << "\n% more\n"; }},
      {"replaced by a file of the same bytes",
       [](const std::string& p) {
         fs::copy_file(p, p + ".new");
         fs::rename(p + ".new", p);
       }},
  };
  const fs::path fx = scratch.path() / "fx";
  fs::create_directories(fx);
  MakeScan({{"g4", 200, 280, 100, 0}}, fx / "scan.pdf", fx);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path src = docs / "scan.pdf";
    fs::copy_file(fx / "scan.pdf", src, fs::copy_options::overwrite_existing);
    TForm1* f = Start();
    auto pages = std::make_unique<TChangingPages>();
    pages->Change = c.change;
    f->Pages = std::move(pages);
    f->ConvertDocument(src.string());
    EXPECT_TRUE(fs::exists(src));
    EXPECT_TRUE(fs::exists(docs / "scan.tif"));
    EXPECT_EQ(f->LabelState->Caption(), "変換中にＰＤＦが変わりました（ＰＤＦを残します）");
    EXPECT_EQ(f->KeptDocuments, 1);
    Stop();
  }
}

TEST_F(Conversion, TerminationSignalInTheMiddleOfABatchKeepsTheSourceAndSavesTheLog) {
  TK_REQUIRE_TOOL("img2pdf");
  TK_REQUIRE_TOOL("convert-im6.q16");
  const fs::path fx = scratch.path() / "fx";
  fs::create_directories(fx);
  MakeScan({{"g4", 200, 280, 100, 0}, {"g4", 200, 280, 100, 0}}, docs / "a.pdf", fx);
  fs::copy_file(docs / "a.pdf", docs / "b.pdf");
  TForm1* f = Start({(docs / "a.pdf").string(), (docs / "b.pdf").string()});
  // The form converts through its own document component.
  bool sent = false;
  app->AddPoller([&] {
    if (!sent && f->LabelFile->Caption() == "ファイルb.pdf" &&
        f->LabelState->Caption() == "2ページ変換処理") {
      sent = true;
      std::raise(SIGTERM);
    }
  });
  app->Run();
  EXPECT_TRUE(sent);
  EXPECT_TRUE(f->Closed());
  EXPECT_FALSE(fs::exists(docs / "a.pdf"));  // done before the signal
  EXPECT_TRUE(fs::exists(docs / "a.tif"));
  EXPECT_TRUE(fs::exists(docs / "b.pdf"));  // given up: kept
  EXPECT_FALSE(fs::exists(docs / "b.tif"));
  EXPECT_EQ(::converter::ReadLog(), (std::vector<std::string>{(docs / "a.tif").string()}));
  EXPECT_TRUE(fs::exists(run / "tarnwick.ini"));
  // What was not done is said, and the run is a failure.
  ASSERT_EQ(presenter->Messages.size(), 1u);
  EXPECT_EQ(presenter->Messages[0].Text.rfind(::converter::kBatchInterrupted, 0), 0u);
  EXPECT_EQ(app->ExitCode, 1);
}

}  // namespace
}  // namespace tk::test::converter
