#include "pdf/kvPDFPageOps.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "pdf/kvCstPDFDoc.h"
#include "pdf/kvPDFDoc.h"
#include "pdf/kvPDFObjects.h"
#include "pdf/kvPDFTypes.h"
#include "tests/pdf/PdfFixture.h"
#include "tests/support/TestSupport.h"

namespace pdf {
namespace {

using tk::test::RunTool;
using tk::test::ScratchDir;
using tk::test::pdf::PdfBuilder;
using tk::test::pdf::SimpleDocument;

std::unique_ptr<TkvPDFDocument> Load(const std::string& bytes) {
  rtl::TStringStream s(bytes);
  auto doc = std::make_unique<TkvPDFDocument>();
  doc->LoadFromStream(s);
  return doc;
}

// The rows of "pdfimages -list" without the columns that name the page and
// the object (they differ between a source and its extracted page).
std::vector<std::string> ImageRows(const std::vector<std::string>& argv) {
  auto r = RunTool(argv);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  std::vector<std::string> rows;
  std::istringstream in(r.out);
  std::string line;
  int n = 0;
  while (std::getline(in, line)) {
    if (n++ < 2) continue;  // header and rule
    std::istringstream cols(line);
    std::vector<std::string> c;
    std::string w;
    while (cols >> w) c.push_back(w);
    if (c.size() < 12) continue;
    std::string row;
    for (size_t i = 1; i < c.size(); ++i) {
      if (i == 10 || i == 11) continue;  // object and generation
      row += c[i] + " ";
    }
    rows.push_back(row);
  }
  return rows;
}

std::string Box(const std::string& file, int page, const std::string& password = "") {
  std::vector<std::string> argv{"pdfinfo", "-box", "-f", std::to_string(page), "-l", std::to_string(page)};
  if (!password.empty()) argv.insert(argv.end(), {password == "owner" ? "-opw" : "-upw", password});
  argv.push_back(file);
  auto r = RunTool(argv);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  std::string out;
  std::istringstream in(r.out);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("Page ", 0) != 0) continue;
    if (line.find("Box") == std::string::npos && line.find("rot") == std::string::npos) continue;
    // Drop "Page" and the page number: they differ between source and page file.
    std::istringstream words(line);
    std::string w, rest;
    words >> w >> w;
    while (words >> w) rest += w + " ";
    out += rest + "\n";
  }
  return out;
}

class Extraction : public tk::test::pdf::ToolFiles {
 protected:
  void SetUp() override {
    for (const char* tool : {"qpdf", "pdfinfo", "pdfimages", "img2pdf", "convert-im6.q16"})
      TK_REQUIRE_TOOL(tool);
  }
  // A scan as the scanner software writes it: bilevel, grey, RGB and JPEG
  // pages, one image each.
  std::string Scan() {
    Run({"convert-im6.q16", "-size", "300x200", "xc:white", "-fill", "black", "-draw",
         "rectangle 20,20 80,90", "-monochrome", Path("bw.png")});
    Run({"convert-im6.q16", "-size", "120x240", "gradient:black-white", Path("grey.png")});
    Run({"convert-im6.q16", "-size", "90x60", "gradient:red-blue", Path("rgb.png")});
    Run({"convert-im6.q16", "-size", "200x150", "plasma:fractal", "-seed", "3", "-quality", "80",
         Path("photo.jpg")});
    const std::string out = Path("scan.pdf");
    Run({"img2pdf", Path("bw.png"), Path("grey.png"), Path("rgb.png"), Path("photo.jpg"), "-o", out});
    return out;
  }
  std::string Files(const std::string& folder) {
    std::string all;
    std::vector<std::filesystem::path> files;
    for (auto& e : std::filesystem::directory_iterator(folder)) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    for (auto& f : files) all += tk::test::ReadFileBytes(f) + "|";
    return all;
  }
  // Every page of the file extracted as the converter does it, checked
  // against the source with the outside tools.
  void CheckEveryPage(const std::string& src, const std::string& password = "") {
    TkvPDFDocument doc;
    if (!password.empty()) doc.OnPassword = [&](rtl::TPersistent*, std::string& pw, bool&) { pw = password; };
    ASSERT_TRUE(doc.LoadFromFile(src));
    doc.FreeOutlines();
    std::vector<std::string> pwArgs;
    if (!password.empty()) pwArgs = {password == "owner" ? "-opw" : "-upw", password};
    for (int n = 1; n <= doc.PageCount(); ++n) {
      SCOPED_TRACE("page " + std::to_string(n));
      const std::string out = Path("page" + std::to_string(n) + ".pdf");
      doc.ShowSetupDialog = false;
      doc.ExtractPages(out, std::to_string(n));
      auto check = RunTool({"qpdf", "--check", out});
      EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
      EXPECT_EQ(RunTool({"qpdf", "--show-npages", out}).out, "1\n");
      EXPECT_NE(RunTool({"qpdf", "--show-encryption", out}).out.find("not encrypted"), std::string::npos);
      std::vector<std::string> srcList{"pdfimages",       "-list", "-f",
                                       std::to_string(n), "-l",    std::to_string(n)};
      srcList.insert(srcList.end(), pwArgs.begin(), pwArgs.end());
      srcList.push_back(src);
      EXPECT_EQ(ImageRows({"pdfimages", "-list", out}), ImageRows(srcList));
      const std::string a = Path("a" + std::to_string(n)), b = Path("b" + std::to_string(n));
      std::filesystem::create_directories(a);
      std::filesystem::create_directories(b);
      std::vector<std::string> srcJ{"pdfimages", "-j", "-f", std::to_string(n), "-l", std::to_string(n)};
      srcJ.insert(srcJ.end(), pwArgs.begin(), pwArgs.end());
      srcJ.push_back(src);
      srcJ.push_back(a + "/i");
      Run(srcJ);
      Run({"pdfimages", "-j", out, b + "/i"});
      EXPECT_EQ(Files(a), Files(b));
      EXPECT_FALSE(Files(a).empty());
      EXPECT_EQ(Box(out, 1), Box(src, n, password));

      doc.SetMeasurementUnit(muMM);
      TkvPageSize mm;
      doc.GetPageSize(n, mm);
      doc.SetMeasurementUnit(muPoints);
      TkvPageSize pt;
      doc.GetPageSize(n, pt);
      EXPECT_DOUBLE_EQ(mm.X2, static_cast<double>(pt.X2 / 2.835L));
      EXPECT_DOUBLE_EQ(mm.Y2, static_cast<double>(pt.Y2 / 2.835L));
    }
  }
};

TEST_F(Extraction, EveryPageOfAScan) {
  CheckEveryPage(Scan());
}

TEST_F(Extraction, EveryPageOfARotatedScan) {
  const std::string src = Scan(), rotated = Path("rotated.pdf");
  Run({"qpdf", "--object-streams=disable", "--rotate=+90:1", "--rotate=180:2", "--rotate=270:3", src,
       rotated});
  CheckEveryPage(rotated);
}

TEST_F(Extraction, EveryPageOfAnEncryptedScan) {
  const std::string src = Scan();
  struct Case {
    const char* name;
    const char* bits;
    const char* password;
  } cases[] = {{"rc4 40", "40", "user"}, {"rc4 128", "128", "owner"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string enc = Path(std::string("enc") + c.bits + ".pdf");
    std::vector<std::string> argv{
        "qpdf", "--object-streams=disable", "--allow-weak-crypto", "--encrypt", "user", "owner", c.bits};
    if (std::string(c.bits) == "128") argv.push_back("--use-aes=n");
    argv.insert(argv.end(), {"--", src, enc});
    Run(argv);
    CheckEveryPage(enc, c.password);
  }
}

// Loading a file parses its objects and leaves the bodies of its streams in
// the file; they are read from the file as it was loaded when a page is
// written, also after the document was saved over its own name. A file
// changed in place since is refused rather than copied from.
TEST_F(Extraction, StreamBodiesStayInTheFileUntilWritten) {
  const std::string src = Scan(), copy = Path("copy.pdf");
  std::filesystem::copy_file(src, copy);
  auto pageImages = [&](const std::string& file, int page, const std::string& folder) {
    std::filesystem::create_directories(Path(folder));
    Run({"pdfimages", "-j", "-f", std::to_string(page), "-l", std::to_string(page), file,
         Path(folder) + "/i"});
    return Files(Path(folder));
  };
  TkvPDFDocument doc;
  ASSERT_TRUE(doc.LoadFromFile(src));
  doc.FreeOutlines();
  doc.ShowSetupDialog = false;
  int pending = 0;
  for (int i = 0; i < doc.ObjectStore->ObjectCount(); ++i) {
    const TkvPDFIndirectObject* o = doc.ObjectStore->ObjectAt(i);
    if (!o->Value || !o->Value->IsStream()) continue;
    const auto& stream = o->Value->As<TkvPDFStreamObject>();
    EXPECT_FALSE(stream.Data);
    if (stream.Pending) ++pending;
  }
  EXPECT_GE(pending, 4);  // an image on each page

  doc.SaveToFile(src);
  EXPECT_EQ(RunTool({"qpdf", "--check", src}).exitCode, 0);
  doc.ExtractPages(Path("p4.pdf"), "4");
  EXPECT_EQ(pageImages(Path("p4.pdf"), 1, "extracted"), pageImages(copy, 4, "source"));
  EXPECT_FALSE(Files(Path("source")).empty());

  TkvPDFDocument other;
  ASSERT_TRUE(other.LoadFromFile(copy));
  other.ShowSetupDialog = false;
  tk::test::WriteFileBytes(copy, tk::test::ReadFileBytes(copy) + "\n%appended\n");
  EXPECT_THROW(other.ExtractPages(Path("changed.pdf"), "1"), EReadError);
  EXPECT_FALSE(std::filesystem::exists(Path("changed.pdf")));
}

TEST_F(Extraction, SharedResourcesAndOutlines) {
  // Two pages sharing one image and one font; the source has outlines.
  const std::string img = Path("bw.png");
  Run({"convert-im6.q16", "-size", "64x64", "xc:white", "-fill", "black", "-draw", "circle 32,32 32,10",
       "-monochrome", img});
  PdfBuilder b;
  b.Obj(1, "<< /Type /Catalog /Pages 3 0 R /Outlines 20 0 R >>");
  b.Obj(3, "<< /Type /Pages /Kids [10 0 R 11 0 R] /Count 2 /Resources 5 0 R /MediaBox [0 0 200 200] >>");
  b.Obj(5, "<< /Font << /F1 6 0 R >> /XObject << /Im1 7 0 R >> >>");
  b.Obj(6, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
  b.Obj(
      7,
      PdfBuilder::Stream(
          std::string(8 * 8, '\x55'),
          " /Type /XObject /Subtype /Image /Width 8 /Height 8 /BitsPerComponent 8 /ColorSpace /DeviceGray"));
  b.Obj(8, PdfBuilder::Stream("q 100 0 0 100 0 0 cm /Im1 Do Q BT /F1 12 Tf 10 10 Td (one) Tj ET"));
  b.Obj(9, PdfBuilder::Stream("q 50 0 0 50 0 0 cm /Im1 Do Q"));
  b.Obj(10, "<< /Type /Page /Parent 3 0 R /Contents 8 0 R >>");
  b.Obj(11, "<< /Type /Page /Parent 3 0 R /Contents 9 0 R /Rotate 90 >>");
  b.Obj(20, "<< /Type /Outlines /First 21 0 R /Last 21 0 R /Count 1 >>");
  b.Obj(21, "<< /Title (One) /Parent 20 0 R /Dest [10 0 R /Fit] >>");
  const std::string src = Path("shared.pdf");
  tk::test::WriteFileBytes(src, b.Build());
  ASSERT_EQ(RunTool({"qpdf", "--check", src}).exitCode, 0);
  CheckEveryPage(src);

  // The closure of page 1 holds the shared objects once and no other page.
  auto doc = Load(b.Build());
  auto closure = doc->GetPageObjects(1);
  int pages = 0, fonts = 0;
  for (int i = 0; i < closure->Count(); ++i) {
    auto* d = dynamic_cast<TkvPDFDictObject*>(closure->At(i)->Value.get());
    if (!d) continue;
    auto* type = dynamic_cast<TkvPDFNameObject*>(d->Find("/Type"));
    if (type && type->Text == "/Page") ++pages;
    if (type && type->Text == "/Font") ++fonts;
  }
  EXPECT_EQ(pages, 1);
  EXPECT_EQ(fonts, 1);
}

// Content in an optional-content group that the document switches off
// stays hidden in the extracted page, in a rendering and for pdfimages
// (whose images the converter takes).
TEST_F(Extraction, HiddenOptionalContentStaysHidden) {
  TK_REQUIRE_TOOL("pdftoppm");
  const std::string image =
      " /Type /XObject /Subtype /Image /Width 8 /Height 8 /BitsPerComponent 8 /ColorSpace /DeviceGray";
  for (const char* state :
       {"30 0 R", "<< /OCGs [20 0 R 21 0 R] /D << /Order [20 0 R 21 0 R] /OFF [20 0 R] >> >>"}) {
    SCOPED_TRACE(state);
    PdfBuilder b;
    b.Obj(1, std::string("<< /Type /Catalog /Pages 3 0 R /OCProperties ") + state + " >>");
    b.Obj(3, "<< /Type /Pages /Kids [10 0 R] /Count 1 >>");
    b.Obj(7, PdfBuilder::Stream(std::string(64, '\x55'), image));
    b.Obj(8, PdfBuilder::Stream(std::string(64, '\x22'), image));
    b.Obj(9, PdfBuilder::Stream(
                 "q 50 0 0 50 0 0 cm /Shown Do Q /OC /oc1 BDC q 50 0 0 50 100 100 cm /Hidden Do Q "
                 "0 g 100 0 50 50 re f EMC /OC /oc2 BDC 0 g 0 100 20 20 re f EMC"));
    b.Obj(10,
          "<< /Type /Page /Parent 3 0 R /MediaBox [0 0 200 200] /Contents 9 0 R /Resources << /XObject << "
          "/Shown 7 0 R /Hidden 8 0 R >> /Properties << /oc1 20 0 R /oc2 21 0 R >> >> >>");
    b.Obj(20, "<< /Type /OCG /Name (Hidden) >>");
    b.Obj(21, "<< /Type /OCG /Name (Shown) >>");
    b.Obj(30, "<< /OCGs [20 0 R 21 0 R] /D << /Order [20 0 R 21 0 R] /OFF [20 0 R] >> >>");
    const std::string src = Path("oc.pdf");
    tk::test::WriteFileBytes(src, b.Build());
    ASSERT_EQ(RunTool({"qpdf", "--check", src}).exitCode, 0);
    CheckEveryPage(src);  // pdfimages takes the shown image alone from both

    TkvPDFDocument doc;
    ASSERT_TRUE(doc.LoadFromFile(src));
    doc.ShowSetupDialog = false;
    doc.ExtractPages(Path("oc-page.pdf"), "1");
    doc.SaveToFile(Path("oc-whole.pdf"));
    auto render = [&](const std::string& file, const std::string& name) {
      Run({"pdftoppm", "-gray", "-r", "36", "-singlefile", file, Path(name)});
      return tk::test::ReadFileBytes(Path(name + ".pgm"));
    };
    const std::string want = render(src, "src");
    EXPECT_EQ(render(Path("oc-page.pdf"), "page"), want);
    EXPECT_EQ(render(Path("oc-whole.pdf"), "whole"), want);
    for (const char* file : {"oc-page.pdf", "oc-whole.pdf"}) {
      auto check = RunTool({"qpdf", "--check", Path(file)});
      EXPECT_EQ(check.exitCode, 0) << file << ": " << check.out << check.err;
    }
  }
}

TEST_F(Extraction, PageNamedTwiceGivesTwoPageObjects) {
  auto doc = Load(SimpleDocument(3).Build());
  std::vector<std::tuple<int, int, int>> progress;
  doc->OnOperationProgress = [&](TkvCustomPDFDocument*, TkvOperation op, int cur, int total) {
    progress.emplace_back(op, cur, total);
  };
  TkvPDFDocument dest;
  doc->ExtractPagesTo(dest, "2,2,3");
  EXPECT_TRUE(dest.IsLoaded);
  ASSERT_EQ(dest.PageCount(), 3);
  EXPECT_NE(dest.PageList[0], dest.PageList[1]);
  EXPECT_EQ(progress, (std::vector<std::tuple<int, int, int>>{{3, 1, 3}, {3, 2, 3}, {3, 3, 3}}));
  const std::string out = Path("twice.pdf");
  dest.ShowSetupDialog = false;
  dest.SaveToFile(out);
  auto check = RunTool({"qpdf", "--check", out});
  EXPECT_EQ(check.exitCode, 0) << check.out;
  EXPECT_EQ(RunTool({"qpdf", "--show-npages", out}).out, "3\n");
}

TEST(PageOperations, SizeAndRotation) {
  PdfBuilder b;
  b.Obj(1, "<< /Type /Catalog /Pages 3 0 R >>");
  b.Obj(3, "<< /Type /Pages /Kids [4 0 R 5 0 R 6 0 R 7 0 R 8 0 R] /Count 5 >>");
  b.Obj(4, "<< /Type /Page /MediaBox [0 0 612 792] /Rotate 450 >>");
  b.Obj(5, "<< /Type /Page /MediaBox [0 0 612.5 792] /Rotate -90 >>");
  b.Obj(6, "<< /Type /Page /MediaBox [0 0 612 792] >>");
  b.Obj(7, "<< /Type /Page >>");
  b.Obj(8, "<< /Type /Page /MediaBox [0 0 (x) 1] /Rotate /Ninety >>");
  auto doc = Load(b.Build());
  ASSERT_EQ(doc->PageCount(), 5);
  doc->SetMeasurementUnit(muMM);
  TkvPageSize size;
  doc->GetPageSize(1, size);
  EXPECT_DOUBLE_EQ(size.X2, 612 / 2.835);
  EXPECT_NEAR(size.X2, 215.87, 0.005);
  EXPECT_NEAR(size.Y2, 279.37, 0.005);
  EXPECT_EQ(doc->GetPageRotation(1), 450);
  EXPECT_EQ(doc->GetPageRotation(2), -90);
  EXPECT_EQ(doc->GetPageRotation(3), 0);
  EXPECT_THROW(doc->GetPageSize(4, size), EPDFException);  // no box even after inheritance
  EXPECT_THROW(doc->GetPageSize(5, size), kvPDFUtils::EUnexpectedObjectError);
  EXPECT_THROW(doc->GetPageRotation(5), kvPDFUtils::EUnexpectedObjectError);
  for (int bad : {0, 6, -1}) {
    SCOPED_TRACE(bad);
    try {
      doc->GetPageSize(bad, size);
      ADD_FAILURE();
    } catch (const EInvalidPageError& e) {
      EXPECT_EQ(e.Message, "Invalid page number (" + std::to_string(bad) + ")");
    }
    EXPECT_THROW(doc->GetPageRotation(bad), EInvalidPageError);
  }
  doc->GetPageSize(3, size);  // page 3 of 5 succeeds; so does the last
}

TEST(PageOperations, ExtractIntoItselfIsRefused) {
  auto doc = Load(SimpleDocument(1).Build());
  EXPECT_THROW(doc->ExtractPagesTo(*doc, "1"), EPDFException);
  EXPECT_EQ(doc->PageCount(), 1);
}

TEST(PageOperations, TemporaryDocumentIsReleasedOnFailure) {
  auto doc = Load(SimpleDocument(1).Build());
  EXPECT_THROW(doc->ExtractPages("/nonexistent/folder/out.pdf", "1"), rtl::Exception);
  EXPECT_EQ(doc->ComponentCount(), 0);
  EXPECT_THROW(doc->ExtractPages("/tmp/never.pdf", "7"), EInvalidPageError);
  EXPECT_EQ(doc->ComponentCount(), 0);
}

TEST(PageOperations, UniqueFieldNames) {
  TkvPDFDocument doc;
  doc.FormFields = std::make_unique<std::vector<std::unique_ptr<TkvAcroFormField>>>();
  EXPECT_EQ(doc.MakeUniqueFieldName("Name"), "Name2");
  for (const char* n : {"Name", "Name2"}) {
    auto f = std::make_unique<TkvAcroFormField>(nullptr, nullptr);
    f->Name = n;
    doc.FormFields->push_back(std::move(f));
  }
  EXPECT_EQ(doc.MakeUniqueFieldName("Name"), "Name3");
}

TEST(PageOperations, FontInfoFromDA) {
  TkvPDFDocument doc;
  TkvPDFDictObject fonts;
  fonts.AddEntry("/Helv", std::make_unique<TkvPDFIndirectReference>(1, 5, 0));
  struct Case {
    const char* da;
    const char* color;
    const char* key;
    double size;
  } cases[] = {
      {"/Helv 12 Tf 0 0 1 rg", "0 0 1 rg", "/Helv", 12},
      {"0.5 g /Helv 9.5 Tf", "0.5 g", "/Helv", 9.5},
      {"/Helv Tf", "", "", 0},  // missing size: no font
      {"/Missing 10 Tf 0 g", "0 g", "", 0},
      {"/Helvrg 10 Tf", "", "", 0},  // "rg" inside a word is no operator
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.da);
    auto info = doc.FontInfoFromDA(c.da, &fonts);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->ColorOperator, c.color);
    EXPECT_EQ(info->ResourceName, c.key);
    EXPECT_EQ(info->Size, c.size);
  }
  EXPECT_EQ(doc.FontInfoFromDA("", &fonts), nullptr);
  EXPECT_EQ(doc.FontInfoFromDA("/Helv 1 Tf", nullptr), nullptr);
  TkvFieldFont font;
  ApplyBaseFontName("/Arial,BoldItalic", font);
  EXPECT_EQ(font.Name, "Arial");
  EXPECT_FALSE(font.Bold);
  ApplyBaseFontName("/TimesBold-Italic", font);
  EXPECT_EQ(font.Name, "TimesBold");
  EXPECT_TRUE(font.Bold);
}

TEST(PageOperations, Transitions) {
  struct Case {
    uint8_t effect;
    const char* s;
    const char* extraKey;
  } cases[] = {{1, "/Split", "/Dm"},       {7, "/Box", "/M"},  {10, "/Wipe", "/Di"},
               {13, "/Dissolve", nullptr}, {0, "/R", nullptr}, {99, "/R", nullptr}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.effect));
    auto t = TkvCustomPDFDocument::MakeTransition(c.effect, 1.5f);
    EXPECT_EQ(t->Find("/Type")->As<TkvPDFNameObject>().Text, "/Trans");
    EXPECT_EQ(t->Find("/S")->As<TkvPDFNameObject>().Text, c.s);
    EXPECT_DOUBLE_EQ(t->Find("/D")->As<TkvPDFRealObject>().Value, 1.5);
    if (c.extraKey) {
      EXPECT_NE(t->Find(c.extraKey), nullptr);
    }
  }
  auto doc = Load(SimpleDocument(3).Build());
  doc->SetPageTransition("1,3", 10, 2);
  EXPECT_NE(doc->PageList[0]->Value->As<TkvPDFDictObject>().Find("/Trans"), nullptr);
  EXPECT_EQ(doc->PageList[1]->Value->As<TkvPDFDictObject>().Find("/Trans"), nullptr);
}

TEST(PageOperations, FormFieldsTravelWithTheirPage) {
  PdfBuilder b = SimpleDocument(2);
  b.Obj(1, "<< /Type /Catalog /Pages 3 0 R /AcroForm 40 0 R >>");
  b.Obj(10, "<< /Type /Page /Parent 3 0 R /MediaBox [0 0 600 800] /Annots [42 0 R] >>");
  b.Obj(11, "<< /Type /Page /Parent 3 0 R /MediaBox [0 0 600 800] /Annots [43 0 R] >>");
  b.Obj(40,
        "<< /Fields [41 0 R 43 0 R] /DA (/Helv 10 Tf 0 g) /DR << /Font << /Helv 45 0 R >> >> "
        "/NeedAppearances false >>");
  b.Obj(41, "<< /T (a) /FT /Tx /Kids [42 0 R] >>");
  b.Obj(42, "<< /Parent 41 0 R /Subtype /Widget /Rect [0 0 10 10] /P 10 0 R >>");
  b.Obj(43, "<< /T (x\\)y) /FT /Tx /Subtype /Widget /Rect [0 0 10 10] /P 11 0 R >>");
  b.Obj(45, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
  auto doc = Load(b.Build());
  ASSERT_NE(doc->FormFields, nullptr);
  TkvPDFDocument dest;
  dest.MergeOptions.Include(moRenameLikeNameFields);
  doc->ExtractPagesTo(dest, "1,2,2");
  ASSERT_NE(dest.FormFields, nullptr);
  std::vector<std::string> names;
  for (auto& f : *dest.FormFields) names.push_back(f->Name);
  EXPECT_EQ(names, (std::vector<std::string>{"a", "x)y", "x)y2"}));
  ASSERT_NE(dest.Catalog->AcroForm, nullptr);
  auto* ref = dynamic_cast<TkvPDFIndirectReference*>(dest.Catalog->AcroForm.get());
  ASSERT_NE(ref, nullptr);
  EXPECT_EQ(ref->SourceID, static_cast<int32_t>(dest.DocumentID));
  TkvPDFDictObject* form = dest.ObjectStore->FetchDict(ref);
  ASSERT_NE(form, nullptr);
  EXPECT_NE(form->Find("/DR"), nullptr);
  EXPECT_NE(form->Find("/DA"), nullptr);
}

}  // namespace
}  // namespace pdf
