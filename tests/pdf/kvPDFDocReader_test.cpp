#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "pdf/kvCstPDFDoc.h"
#include "pdf/kvPDFCrypt.h"
#include "pdf/kvPDFDoc.h"
#include "pdf/kvPDFObjects.h"
#include "pdf/kvPDFPageOps.h"
#include "pdf/kvPDFTypes.h"
#include "tests/pdf/PdfFixture.h"
#include "tests/support/TestSupport.h"

namespace pdf {
namespace {

using namespace std::string_literals;

using tk::test::RunTool;
using tk::test::ScratchDir;
using tk::test::pdf::PdfBuilder;
using tk::test::pdf::SimpleDocument;

struct PageGeometry {
  double x1 = 0, y1 = 0, x2 = 0, y2 = 0;
  int rotate = 0;
};

// Page count and boxes as the outside tools see them.
int OracleNPages(const std::string& file, const std::string& password = "") {
  std::vector<std::string> argv{"qpdf", "--show-npages"};
  if (!password.empty()) argv.push_back("--password=" + password);
  argv.push_back(file);
  auto r = RunTool(argv);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return std::atoi(r.out.c_str());
}

PageGeometry OraclePage(const std::string& file, int n, const std::string& password = "") {
  std::vector<std::string> argv{"pdfinfo", "-box", "-f", std::to_string(n), "-l", std::to_string(n)};
  if (!password.empty()) argv.insert(argv.end(), {"-upw", password});
  argv.push_back(file);
  auto r = RunTool(argv);
  if (r.exitCode != 0 && !password.empty()) {  // an owner password
    argv[argv.size() - 3] = "-opw";
    r = RunTool(argv);
  }
  EXPECT_EQ(r.exitCode, 0) << r.err;
  PageGeometry g;
  // "Page    1 MediaBox:      0.00     0.00   150.00    75.00", "Page    1 rot:   0"
  std::istringstream in(r.out);
  std::string line;
  bool box = false;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string w;
    std::vector<std::string> ws;
    while (words >> w) ws.push_back(w);
    if (ws.size() >= 7 && ws[2] == "MediaBox:") {
      g.x1 = std::stod(ws[3]);
      g.y1 = std::stod(ws[4]);
      g.x2 = std::stod(ws[5]);
      g.y2 = std::stod(ws[6]);
      box = true;
    } else if (ws.size() >= 4 && ws[2] == "rot:") {
      g.rotate = std::stoi(ws[3]);
    }
  }
  if (!box) ADD_FAILURE() << "no MediaBox in " << r.out;
  return g;
}

void ExpectMatchesOracles(const std::string& file, const std::string& password = "") {
  TkvPDFDocument doc;
  if (!password.empty()) doc.OnPassword = [&](rtl::TPersistent*, std::string& pw, bool&) { pw = password; };
  ASSERT_TRUE(doc.LoadFromFile(file));
  const int n = OracleNPages(file, password);
  ASSERT_EQ(doc.PageCount(), n);
  doc.SetMeasurementUnit(muPoints);
  for (int i = 1; i <= n; ++i) {
    SCOPED_TRACE("page " + std::to_string(i));
    PageGeometry want = OraclePage(file, i, password);
    TkvPageSize size;
    doc.GetPageSize(i, size);
    // pdfinfo prints two decimals and normalises the corners.
    EXPECT_NEAR(std::min(size.X1, size.X2), want.x1, 0.006);
    EXPECT_NEAR(std::min(size.Y1, size.Y2), want.y1, 0.006);
    EXPECT_NEAR(std::max(size.X1, size.X2), want.x2, 0.006);
    EXPECT_NEAR(std::max(size.Y1, size.Y2), want.y2, 0.006);
    EXPECT_EQ(((doc.GetPageRotation(i) % 360) + 360) % 360, want.rotate);
  }
}

// Fixture files made by the outside tools in a scratch folder.
class ReaderFixtures : public tk::test::pdf::ToolFiles {
 protected:
  void SetUp() override {
    for (const char* tool : {"qpdf", "pdfinfo", "img2pdf", "convert-im6.q16"}) TK_REQUIRE_TOOL(tool);
  }
  std::string Images() {
    Run({"convert-im6.q16", "-size", "300x200", "xc:white", "-fill", "black", "-draw",
         "rectangle 20,20 80,90", "-monochrome", Path("bw.png")});
    Run({"convert-im6.q16", "-size", "120x240", "gradient:black-white", Path("grey.png")});
    Run({"convert-im6.q16", "-size", "200x150", "plasma:fractal", "-seed", "3", Path("rgb.jpg")});
    const std::string out = Path("scan.pdf");
    Run({"img2pdf", Path("bw.png"), Path("grey.png"), Path("rgb.jpg"), "-o", out});
    return out;
  }
};

TEST_F(ReaderFixtures, PagesAndBoxesEqualTheOracles) {
  const std::string scan = Images();
  struct Case {
    const char* name;
    std::vector<std::string> qpdfArgs;  // empty: the img2pdf file itself
    std::string password;
  } cases[] = {
      {"img2pdf (linearized, /Prev chain)", {}, ""},
      {"qdf", {"--qdf", "--object-streams=disable"}, ""},
      {"rotated", {"--object-streams=disable", "--rotate=+90:1", "--rotate=180:2", "--rotate=-90:3"}, ""},
      {"rc4 40 user",
       {"--object-streams=disable", "--allow-weak-crypto", "--encrypt", "user", "owner", "40", "--"},
       "user"},
      {"rc4 40 owner",
       {"--object-streams=disable", "--allow-weak-crypto", "--encrypt", "user", "owner", "40", "--"},
       "owner"},
      {"rc4 128 user",
       {"--object-streams=disable", "--allow-weak-crypto", "--encrypt", "user", "owner", "128", "--use-aes=n",
        "--"},
       "user"},
      {"rc4 128 empty user",
       {"--object-streams=disable", "--allow-weak-crypto", "--encrypt", "", "owner", "128", "--use-aes=n",
        "--"},
       ""},
  };
  int k = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string file = scan;
    if (!c.qpdfArgs.empty()) {
      file = Path("case" + std::to_string(k++) + ".pdf");
      std::vector<std::string> argv{"qpdf"};
      argv.insert(argv.end(), c.qpdfArgs.begin(), c.qpdfArgs.end());
      argv.push_back(scan);
      argv.push_back(file);
      Run(argv);
    }
    ExpectMatchesOracles(file, c.password);
  }
}

TEST_F(ReaderFixtures, HandMadeTreesEqualTheOracles) {
  struct Case {
    const char* name;
    PdfBuilder file;
  };
  std::vector<Case> cases;
  {
    // MediaBox and Rotate only on the root; a middle node overrides the box;
    // a page keeps its own.
    PdfBuilder b;
    b.Obj(1, "<< /Type /Catalog /Pages 3 0 R >>");
    b.Obj(3, "<< /Type /Pages /Kids [4 0 R 5 0 R] /Count 3 /MediaBox [0 0 500 700] /Rotate 90 >>");
    b.Obj(4, "<< /Type /Page /Parent 3 0 R >>");
    b.Obj(5, "<< /Type /Pages /Parent 3 0 R /Kids [6 0 R 7 0 R] /Count 2 /MediaBox [0 0 300 400] >>");
    b.Obj(6, "<< /Type /Page /Parent 5 0 R /Rotate 180 >>");
    b.Obj(7, "<< /Type /Page /Parent 5 0 R /MediaBox [10 20 110 220] /Resources null >>");
    cases.push_back({"inherited", b});
  }
  {
    // A reference-valued box, a subsection "0 0" in front of the table.
    PdfBuilder b;
    b.Obj(1, "<< /Type /Catalog /Pages 3 0 R >>");
    b.Obj(3, "<< /Type /Pages /Kids [4 0 R] /Count 1 >>");
    b.Obj(4, "<< /Type /Page /Parent 3 0 R /MediaBox 5 0 R /Rotate 6 0 R >>");
    b.Obj(5, "[0 0 595.5 842]");
    b.Obj(6, "270");
    cases.push_back({"reference values", b});
  }
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = Path(std::string(c.name) + ".pdf");
    tk::test::WriteFileBytes(path, c.file.Build());
    ASSERT_EQ(RunTool({"qpdf", "--check", path}).exitCode, 0);
    ExpectMatchesOracles(path);
  }
}

TEST_F(ReaderFixtures, IncrementalUpdateNewestWins) {
  std::string base = SimpleDocument(2).Build();
  // The update replaces page 1 (a new box) and the information dictionary.
  std::string updated = tk::test::pdf::AppendUpdate(
      base,
      {{10, "<< /Type /Page /Parent 3 0 R /MediaBox [0 0 111 222] >>"}, {2, "<< /Title (Second edition) >>"}},
      "/Root 1 0 R /Info 2 0 R", 12);
  const std::string path = Path("update.pdf");
  tk::test::WriteFileBytes(path, updated);
  ExpectMatchesOracles(path);
  TkvPDFDocument doc;
  doc.LoadFromFile(path);
  EXPECT_EQ(doc.DocInfo->Title(), u"Second edition");
  TkvPageSize size;
  doc.SetMeasurementUnit(muPoints);
  doc.GetPageSize(1, size);
  EXPECT_EQ(size.X2, 111);
}

TEST(DocumentReader, ZeroZeroSubsectionEndsTheSection) {
  std::string file = SimpleDocument(1).Build();
  const size_t xref = file.rfind("xref\n");
  file.insert(xref + 5, "0 0\n");
  // Everything after the "0 0" is ignored: the table is then empty and the
  // catalog cannot be found.
  rtl::TStringStream s(file);
  TkvPDFDocument doc;
  EXPECT_THROW(doc.LoadFromStream(s), rtl::Exception);
  std::string ok = SimpleDocument(1).Build();
  rtl::TStringStream s2(ok);
  TkvPDFDocument doc2;
  EXPECT_TRUE(doc2.LoadFromStream(s2));
  EXPECT_EQ(doc2.PageCount(), 1);
}

TEST(DocumentReader, LoadObjectByNumberWhileOpen) {
  TkvPDFDocument closed;
  EXPECT_THROW(closed.LoadObjectByNumber(1), EUnexpectedError);

  rtl::TStringStream s(SimpleDocument(1).Build());
  TkvPDFDocument doc;
  doc.OpenDocument(s);
  const int before = doc.ObjectStore->ObjectCount();
  TkvPDFIndirectObject* info = doc.LoadObjectByNumber(2);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->ObjNum, 2);
  EXPECT_EQ(info->RefCount, 1);
  ASSERT_TRUE(info->Value && info->Value->IsDict());
  EXPECT_NE(info->Value->As<TkvPDFDictObject>().Find("/Title"), nullptr);
  EXPECT_EQ(doc.ObjectStore->ObjectCount(), before + 1);
  EXPECT_EQ(doc.ObjectStore->ObjectAt(before), info);
  EXPECT_EQ(doc.LoadObjectByNumber(0), nullptr);     // the free entry
  EXPECT_EQ(doc.LoadObjectByNumber(1000), nullptr);  // beyond the table: null
  EXPECT_EQ(doc.ObjectStore->ObjectCount(), before + 1);
}

TEST(DocumentReader, InformationAndBalancedParentheses) {
  rtl::TStringStream s(SimpleDocument(3).Build());
  TkvPDFDocument doc;
  ASSERT_TRUE(doc.LoadFromStream(s));
  EXPECT_EQ(doc.PageCount(), 3);
  EXPECT_EQ(doc.DocInfo->Title(), u"Report (final)");
  EXPECT_EQ(doc.DocInfo->Producer(), u"probe");
  EXPECT_EQ(doc.PDFVersion, pvPDF14);
  EXPECT_FALSE(doc.IsEncrypted);
  EXPECT_EQ(doc.Reader, nullptr);  // nothing refers to the source any more
}

TEST(DocumentReader, ProgressAndStatusInOrder) {
  rtl::TStringStream s(SimpleDocument(2).Build());
  TkvPDFDocument doc;
  std::vector<int> progress;
  std::vector<std::string> status;
  int begin = 0, end = 0, password = 0;
  doc.OnIOProgress = [&](TkvCustomPDFDocument* sender, int p) {
    EXPECT_EQ(sender, &doc);
    progress.push_back(p);
  };
  doc.OnStatusMessage = [&](TkvCustomPDFDocument*, const std::string& m) { status.push_back(m); };
  doc.OnBeginRead = [&](rtl::TPersistent*) { ++begin; };
  doc.OnEndRead = [&](rtl::TPersistent*) { ++end; };
  doc.OnPassword = [&](rtl::TPersistent*, std::string&, bool&) { ++password; };
  ASSERT_TRUE(doc.LoadFromStream(s));
  EXPECT_EQ(progress, (std::vector<int>{10, 75, 30, 90, 60, 100}));
  EXPECT_EQ(begin, 1);
  EXPECT_EQ(end, 1);
  EXPECT_EQ(password, 0);
  ASSERT_FALSE(status.empty());
  EXPECT_EQ(status.front(), "Reading Cross-Reference Table");
  EXPECT_EQ(status.back(), "Document read complete. Pages read = 2");
}

TEST_F(ReaderFixtures, PasswordEvent) {
  const std::string scan = Images();
  const std::string enc = Path("enc.pdf");
  Run({"qpdf", "--object-streams=disable", "--allow-weak-crypto", "--encrypt", "user", "owner", "128",
       "--use-aes=n", "--print=none", "--", scan, enc});
  struct Case {
    const char* name;
    const char* password;
    bool cont;
    bool wantLoaded;
    int wantPages;
    bool wantError;
    bool wantOwner;
  } cases[] = {
      {"user", "user", true, true, 3, false, false},      {"owner", "owner", true, true, 3, false, true},
      {"wrong", "nope", true, true, 0, true, false},      {"empty", "", true, true, 0, true, false},
      {"abandon", "user", false, false, 0, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TkvPDFDocument doc;
    int calls = 0;
    doc.OnPassword = [&](rtl::TPersistent* sender, std::string& pw, bool& cont) {
      ++calls;
      EXPECT_EQ(sender, &doc);
      EXPECT_EQ(pw, "");
      EXPECT_TRUE(cont);
      pw = c.password;
      cont = c.cont;
    };
    if (c.wantError) {
      try {
        doc.LoadFromFile(enc);
        ADD_FAILURE() << "no exception";
      } catch (const EPasswordError& e) {
        EXPECT_EQ(e.Message, "Wrong password.");
      }
    } else {
      EXPECT_EQ(doc.LoadFromFile(enc), c.wantLoaded);
    }
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(doc.IsLoaded, c.wantLoaded);
    EXPECT_EQ(doc.PageCount(), c.wantPages);
    EXPECT_TRUE(doc.IsEncrypted);
    if (c.wantPages > 0) {
      EXPECT_EQ(doc.IsOwner(), c.wantOwner);
      EXPECT_TRUE(doc.Encryption->Enabled());
      EXPECT_EQ(doc.Encryption->Changeable, c.wantOwner);
      EXPECT_EQ(doc.Encryption->UserPassword(), "user");
      if (!c.wantOwner) {
        EXPECT_FALSE(doc.Encryption->UserPermissions().Contains(AllowPrint));
      }
    }
  }
  // No handler: the empty password is tried.
  TkvPDFDocument doc;
  EXPECT_THROW(doc.LoadFromFile(enc), EPasswordError);
  // After closing, the encryption settings are fresh, IsEncrypted stays.
  doc.CloseDocument();
  EXPECT_TRUE(doc.IsEncrypted);
  EXPECT_FALSE(doc.Encryption->Enabled());
  EXPECT_EQ(doc.Encryption->Level(), el40bit);
}

TEST_F(ReaderFixtures, XRefStreamsRaiseAClearError) {
  const std::string scan = Images();
  const std::string out = Path("objstm.pdf");
  Run({"qpdf", "--object-streams=generate", scan, out});
  TkvPDFDocument doc;
  try {
    doc.LoadFromFile(out);
    ADD_FAILURE() << "no exception";
  } catch (const ECrossReferenceError& e) {
    EXPECT_NE(e.Message.find("cross-reference streams"), std::string::npos) << e.Message;
  }
}

TEST(DocumentReader, StartXRefAtAnObjectIsAStreamOnlyWhenTheObjectIsOne) {
  // A file cut short or patched by hand may name any object's offset: only
  // a /Type /XRef object there is a newer file; anything else is damage.
  const std::string base = SimpleDocument(1).Build();
  const std::string xrefStream =
      "99 0 obj\n<< /Type /XRef /Size 1 /W [1 1 1] /Length 0 >>\nstream\n\nendstream\nendobj\n";
  struct Case {
    const char* name;
    std::string tail;  // appended to the document; startxref then names where tail starts
    std::string message;
  } cases[] = {
      {"an ordinary object", "98 0 obj\n<< /Type /Page >>\nendobj\n",
       "Error reading cross-reference table: the file is damaged (no table where its startxref points)"},
      {"a cross-reference stream", xrefStream,
       "Error reading cross-reference table: cross-reference streams (PDF 1.5) are not supported"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = base + c.tail + "startxref\n" + std::to_string(base.size()) + "\n%%EOF\n";
    rtl::TStringStream s(file);
    TkvPDFDocument doc;
    try {
      doc.LoadFromStream(s);
      ADD_FAILURE() << "no exception";
    } catch (const ECrossReferenceError& e) {
      EXPECT_EQ(e.Message, c.message);
    }
  }
}

TEST_F(ReaderFixtures, OutlinesEqualQpdfJson) {
  PdfBuilder b = SimpleDocument(2);
  b.Obj(1, "<< /Type /Catalog /Pages 3 0 R /Outlines 20 0 R /Names << /Dests 30 0 R >> >>");
  b.Obj(20, "<< /Type /Outlines /First 21 0 R /Last 23 0 R /Count 3 >>");
  b.Obj(21, "<< /Title (One) /Parent 20 0 R /Next 22 0 R /Dest [10 0 R /Fit] >>");
  b.Obj(22,
        "<< /Title (Two) /Parent 20 0 R /Prev 21 0 R /Next 23 0 R /First 24 0 R /Last 24 0 R /Count -1 /Dest "
        "(zeta) >>");
  b.Obj(24, "<< /Title (Two.a) /Parent 22 0 R /Dest /alpha >>");
  b.Obj(23, "<< /Title (Three) /Parent 20 0 R /Prev 22 0 R /Dest (missing) >>");
  // Keys out of order: the lookup is by exact name.
  b.Obj(30, "<< /Names [(zeta) [11 0 R /Fit] (alpha) 31 0 R] >>");
  b.Obj(31, "<< /D [10 0 R /XYZ 0 0 0] >>");
  const std::string path = Path("outlines.pdf");
  tk::test::WriteFileBytes(path, b.Build());
  auto q = RunTool({"qpdf", "--json", path});
  ASSERT_EQ(q.exitCode, 0) << q.err;
  tk::test::WriteFileBytes(path + ".json", q.out);
  auto r = RunTool({"/usr/bin/python3", "-c",
                    "import json,sys\n"
                    "d=json.load(open(sys.argv[1]))\n"
                    "def walk(o):\n"
                    "  for i in o:\n"
                    "    print(i['title'])\n"
                    "    walk(i['kids'])\n"
                    "walk(d['outlines'])\n",
                    path + ".json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;

  TkvPDFDocument doc;
  ASSERT_TRUE(doc.LoadFromFile(path));
  std::string titles;
  std::function<void(TkvPDFOutline*)> walk = [&](TkvPDFOutline* o) {
    for (; o; o = o->Next.get()) {
      if (o->Value) {
        if (auto* t = dynamic_cast<TkvPDFStringObject*>(o->Value->As<TkvPDFDictObject>().Find("/Title")))
          titles += t->Content() + "\n";
      }
      walk(o->First.get());
    }
  };
  ASSERT_NE(doc.Outlines, nullptr);
  walk(doc.Outlines->First.get());
  EXPECT_EQ(titles, r.out);
  EXPECT_EQ(doc.OutlineCount, 5);

  // Named destinations resolved by exact name; an unknown name stays.
  TkvPDFOutline* two = doc.Outlines->First->Next.get();
  EXPECT_TRUE(two->IsClosed);
  EXPECT_TRUE(two->Value->As<TkvPDFDictObject>().Find("/Dest")->IsArray());
  EXPECT_TRUE(two->First->Value->As<TkvPDFDictObject>().Find("/Dest")->IsArray());
  TkvPDFOutline* three = two->Next.get();
  EXPECT_TRUE(three->Value->As<TkvPDFDictObject>().Find("/Dest")->IsString());
  ASSERT_NE(doc.FindNamedDestination("alpha"), nullptr);
  EXPECT_EQ(doc.FindNamedDestination("Alpha"), nullptr);
  doc.FreeOutlines();
  EXPECT_EQ(doc.Outlines, nullptr);
}

TEST(DocumentReader, NamesSharingOneDestinationObject) {
  // 20000 names refer to one destination dictionary that also carries a long
  // array: the object is read once, not once per name.
  const int names = 20000;
  std::string list;
  for (int i = 0; i < names; ++i) list += "(n" + std::to_string(i) + ") 5 0 R ";
  std::string pad;
  for (int i = 0; i < 20000; ++i) pad += "0 ";
  PdfBuilder b = SimpleDocument(1);
  b.Obj(1, "<< /Type /Catalog /Pages 3 0 R /Names 6 0 R >>");
  b.Obj(5, "<< /D [10 0 R /XYZ 0 800 0] /Pad [" + pad + "] >>");
  b.Obj(6, "<< /Dests 7 0 R >>");
  b.Obj(7, "<< /Names [" + list + "] >>");
  rtl::TStringStream s(b.Build());
  TkvPDFDocument doc;
  ASSERT_NO_THROW(doc.LoadFromStream(s));
  ASSERT_NE(doc.DestinationList, nullptr);
  for (const char* name : {"n0", "n19999"}) {
    auto dest = doc.FindNamedDestination(name);
    ASSERT_NE(dest, nullptr) << name;
    EXPECT_EQ(dest->As<TkvPDFArrayObject>().Count(), 5) << name;
  }
}

TEST(DocumentReader, FormFieldsAndKinds) {
  PdfBuilder b = SimpleDocument(1);
  b.Obj(1, "<< /Type /Catalog /Pages 3 0 R /AcroForm 40 0 R >>");
  b.Obj(10, "<< /Type /Page /Parent 3 0 R /MediaBox [0 0 600 800] /Annots [42 0 R 43 0 R 44 0 R] >>");
  b.Obj(40, "<< /Fields [41 0 R 43 0 R 44 0 R] /DA (/Helv 10 Tf 0 g) /DR << /Font << /Helv 45 0 R >> >> >>");
  b.Obj(41, "<< /T (a) /FT /Tx /Kids [42 0 R] >>");
  b.Obj(42, "<< /T (b) /FT /Tx /Parent 41 0 R /Subtype /Widget /Rect [0 0 10 10] /V (hello) /Ff 4097 >>");
  b.Obj(43,
        "<< /T (box) /FT /Btn /Subtype /Widget /Rect [0 0 10 10] /V /Yes /AP << /N << /Yes 46 0 R /Off 46 0 "
        "R >> >> >>");
  b.Obj(44, "<< /T (push) /FT /Btn /Ff 65536 /Subtype /Widget /Rect [0 0 10 10] >>");
  b.Obj(45, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica-Bold >>");
  b.Obj(46, PdfBuilder::Stream("q Q"));
  rtl::TStringStream s(b.Build());
  TkvPDFDocument doc;
  ASSERT_TRUE(doc.LoadFromStream(s));
  ASSERT_NE(doc.FormFields, nullptr);
  std::vector<std::string> names;
  for (auto& f : *doc.FormFields) names.push_back(f->Name);
  EXPECT_EQ(names, (std::vector<std::string>{"a", "a.b", "box", "push"}));
  auto& ab = *(*doc.FormFields)[1];
  EXPECT_EQ(ab.FieldType, kFieldText);
  EXPECT_EQ(ab.Value, "hello");
  EXPECT_TRUE(ab.ReadOnly);
  EXPECT_TRUE(ab.MultiLine);
  ASSERT_NE(ab.Font, nullptr);
  EXPECT_EQ(ab.Font->ResourceName, "/Helv");
  EXPECT_EQ(ab.Font->Font.Name, "Helvetica");
  EXPECT_EQ(ab.Font->Size, 10);
  EXPECT_EQ(ab.Font->ColorOperator, "0 g");
  auto& box = *(*doc.FormFields)[2];
  EXPECT_EQ(box.FieldType, kFieldCheckBox);
  EXPECT_EQ(box.Value, "Yes");
  EXPECT_EQ(box.States, (std::vector<std::string>{"Off", "Yes"}));
  EXPECT_EQ((*doc.FormFields)[3]->FieldType, kFieldPushButton);
}

// Valid files that writers make in ways the simplest reader does not
// expect: each loads, with the pages and boxes qpdf and pdfinfo see.
struct ValidVariant {
  const char* name;
  std::string bytes;
  // False where the outside tools fall short of the file (they give no
  // page boxes for a page tree root written into the catalog).
  bool oracles = true;
};

std::vector<ValidVariant> ValidVariants() {
  std::vector<ValidVariant> v;
  auto add = [&](const char* name, const PdfBuilder& b) { v.push_back({name, b.Build()}); };
  {
    PdfBuilder b = SimpleDocument(2);
    b.Obj(1, "<< /Type /Catalog /Pages 3 0 R /AcroForm << /Fields [20 0 R] /DA (/Helv 0 Tf 0 g) >> >>");
    b.Obj(20, "<< /FT /Tx /T (name) /V (hello) >>");
    add("direct form dictionary", b);
  }
  {
    PdfBuilder b = SimpleDocument(2);
    b.Obj(1, "<< /Type /Catalog /Pages << /Type /Pages /Kids [10 0 R 11 0 R] /Count 2 >> >>");
    b.objects.erase(3);
    v.push_back({"direct page tree root", b.Build(), false});
  }
  {
    PdfBuilder b = SimpleDocument(2);
    b.Obj(1,
          "<< /Type /Catalog /Pages 3 0 R /Dests << /here [11 0 R /Fit] >> "
          "/Outlines << /First 30 0 R /Last 30 0 R /Count 1 >> >>");
    b.Obj(30, "<< /Title (one) /Dest /here >>");
    add("direct destinations and outlines", b);
  }
  {
    PdfBuilder b = SimpleDocument(2);  // objects 1, 2, 3, 10, 11
    b.subsections = {{0, 4}, {10, 2}};
    add("subsections leaving numbers out", b);
  }
  {
    PdfBuilder b = SimpleDocument(2);
    b.subsections = {{0, 3}, {3, 1}, {10, 2}};
    add("subsections one after the other", b);
  }
  for (const char* end : {"\n", "\r", " \n", " \r\n"}) {
    PdfBuilder b = SimpleDocument(2);
    b.entryEnd = end;
    v.push_back(
        {end[0] == ' '
             ? (end[1] == '\n' ? "entries of 20 bytes ending in blank LF" : "entries of 21 bytes")
             : (end[0] == '\n' ? "entries of 19 bytes ending in LF" : "entries of 19 bytes ending in CR"),
         b.Build()});
  }
  {
    PdfBuilder b = SimpleDocument(2);
    b.Obj(1, "<< /Type /Catalog /Pages 3 0 R /Outlines 30 0 R >>");
    b.Obj(30, "<< /First 31 0 R /Last 31 0 R /Count 1 >>");
    b.Obj(31, "<< /Title (dangling) /Parent 30 0 R /Next 900 0 R /First 901 0 R >>");
    b.Obj(10, "<< /Type /Page /Parent 3 0 R /MediaBox [0 0 600 800] /Annots [902 0 R] >>");
    add("references beyond the table", b);
  }
  {
    PdfBuilder b = SimpleDocument(2);
    b.Obj(10, "<< /Type /Page /Parent 3 0 R /MediaBox [0 0 600 800] /Annots [5 0 R] >>");
    b.trailer = "/Root 1 0 R /Info 4 0 R";
    // 4 and 5 are free: an "f" entry's first field is the next free number,
    // not an offset.
    std::string f = b.Build();
    const std::string free4 = tk::test::pdf::XRefEntry(0, 0, 'f');
    const size_t at = f.find(free4, f.find("xref\n"));
    f.replace(at, free4.size(), tk::test::pdf::XRefEntry(5, 1, 'f'));
    v.push_back({"free entries chained by number", f});
  }
  {
    std::string f = SimpleDocument(2).Build();
    f.replace(f.find("trailer\n<<"), 10, "trailer\f<<\0"s);
    f.replace(f.find("/Type /Catalog"), 14, "/Type\0/Catalog"s);
    f.replace(f.find("/Kids [10 0 R"), 13, "/Kids\f[10\f0\0R"s);
    // The objects keep their offsets: the changes inside them keep their
    // length, and the others lie after the last object.
    v.push_back({"NUL and form feed between tokens", f});
  }
  {
    // Form 20 draws itself and form 21, whose resources (object 22, no
    // stream) name form 20 again.
    PdfBuilder b = SimpleDocument(2);
    b.Obj(
        10,
        "<< /Type /Page /Parent 3 0 R /MediaBox [0 0 600 800] /Resources << /XObject << /A 20 0 R >> >> >>");
    b.Obj(20, PdfBuilder::Stream("",
                                 " /Type /XObject /Subtype /Form /BBox [0 0 10 10]"
                                 " /Resources << /XObject << /A 20 0 R /B 21 0 R >> >>"));
    b.Obj(21, PdfBuilder::Stream("", " /Type /XObject /Subtype /Form /BBox [0 0 10 10] /Resources 22 0 R"));
    b.Obj(22, "<< /XObject << /A 20 0 R >> >>");
    add("streams whose dictionaries name themselves", b);
  }
  return v;
}

TEST_F(ReaderFixtures, ValidVariantsLoadLikeTheOracles) {
  for (const auto& c : ValidVariants()) {
    if (!c.oracles) continue;
    SCOPED_TRACE(c.name);
    const std::string path = Path("variant.pdf");
    tk::test::WriteFileBytes(path, c.bytes);
    int check = -1;
    const std::string out = tk::test::pdf::Qpdf({"--check", path}, &check);
    EXPECT_EQ(check, 0) << out;  // the fixture itself is valid
    ExpectMatchesOracles(path);
  }
}

TEST(DocumentReader, ValidVariantsKeepWhatTheyHold) {
  std::map<std::string, std::string> bytes;
  for (auto& c : ValidVariants()) bytes[c.name] = c.bytes;
  auto load = [&](const char* name, TkvPDFDocument& doc) {
    rtl::TStringStream s(bytes.at(name));
    doc.LoadFromStream(s);
  };
  {
    TkvPDFDocument doc;
    load("direct form dictionary", doc);
    ASSERT_NE(doc.FormFields, nullptr);
    ASSERT_EQ(doc.FormFields->size(), 1u);
    EXPECT_EQ((*doc.FormFields)[0]->Name, "name");
    EXPECT_EQ((*doc.FormFields)[0]->Value, "hello");
  }
  {
    TkvPDFDocument doc;
    load("direct page tree root", doc);
    ASSERT_EQ(doc.PageCount(), 2);
    doc.SetMeasurementUnit(muPoints);
    TkvPageSize size;
    doc.GetPageSize(2, size);
    EXPECT_EQ(size.X2, 601);
  }
  {
    TkvPDFDocument doc;
    load("direct destinations and outlines", doc);
    ASSERT_NE(doc.FindNamedDestination("here"), nullptr);
    ASSERT_NE(doc.Outlines, nullptr);
    ASSERT_NE(doc.Outlines->First, nullptr);
    auto* dest = doc.Outlines->First->Value->As<TkvPDFDictObject>().Find("/Dest");
    EXPECT_TRUE(dest && dest->IsArray());  // the name was looked up
  }
  {
    TkvPDFDocument doc;
    load("references beyond the table", doc);
    ASSERT_NE(doc.Outlines, nullptr);
    ASSERT_NE(doc.Outlines->First, nullptr);
    EXPECT_EQ(doc.Outlines->First->Next, nullptr);
    EXPECT_EQ(doc.Outlines->First->First, nullptr);
  }
  {
    TkvPDFDocument doc;
    load("streams whose dictionaries name themselves", doc);
    EXPECT_EQ(doc.PageCount(), 2);
    std::map<int32_t, int> kept;
    for (int i = 0; i < doc.ObjectStore->ObjectCount(); ++i) ++kept[doc.ObjectStore->ObjectAt(i)->ObjNum];
    for (int32_t num : {20, 21, 22}) EXPECT_EQ(kept[num], 1) << num;
  }
  {
    TkvPDFDocument doc;
    load("free entries chained by number", doc);
    EXPECT_EQ(doc.PageCount(), 2);
    TkvPDFDictObject* info = doc.DocInfo->InfoDictionary();
    EXPECT_TRUE(!info || info->Count() == 0);
  }
}

// A hybrid file (a table and a cross-reference stream for what the table
// leaves out) is refused as a cross-reference stream file is, never read
// from its table alone.
TEST(DocumentReader, HybridFilesRaiseTheStreamError) {
  PdfBuilder b = SimpleDocument(1);
  b.Obj(20, PdfBuilder::Stream("", " /Type /XRef /Size 21 /W [1 2 1]"));
  b.trailer = "/Root 1 0 R /XRefStm 0";
  std::string f = b.Build();
  const size_t stm = f.find("20 0 obj");
  f.replace(f.find("/XRefStm 0"), 10, "/XRefStm " + std::to_string(stm));
  rtl::TStringStream s(f);
  TkvPDFDocument doc;
  try {
    doc.LoadFromStream(s);
    ADD_FAILURE() << "no exception";
  } catch (const ECrossReferenceError& e) {
    EXPECT_NE(e.Message.find("cross-reference streams"), std::string::npos) << e.Message;
  }
}

// A damaged file's error says what is wrong where, in a short printable
// message.
TEST(DocumentReader, DamageIsNamedInTheMessage) {
  const std::string good = SimpleDocument(2).Build();
  const long xref = tk::test::pdf::LastStartXRef(good);
  auto replace = [&](const std::string& from, const std::string& to) {
    std::string f = good;
    const size_t p = f.find(from);
    EXPECT_NE(p, std::string::npos) << from;
    if (p != std::string::npos) f.replace(p, from.size(), to);
    return f;
  };
  const std::string entry3 = good.substr(good.find("xref\n0 12\n") + 10 + 3 * 20, 20);
  // The good file with more in its catalog, and object 2 in place of the
  // information dictionary.
  auto withCatalog = [](const std::string& entries, const std::string& two = "") {
    PdfBuilder b = SimpleDocument(2);
    b.Obj(1, "<< /Type /Catalog /Pages 3 0 R " + entries + " >>");
    if (!two.empty()) {
      b.Obj(2, two);
      b.trailer = "/Root 1 0 R";
    }
    return b.Build();
  };
  struct Case {
    const char* name;
    std::string bytes;
    std::vector<std::string> says;
  } cases[] = {
      {"entry with a bad kind",
       replace(entry3, entry3.substr(0, 17) + "x\r\n"),
       {"cross-reference table at offset " + std::to_string(xref), "object 3"}},
      {"entry of binary bytes",
       replace(entry3, "\x01\x02\x03\xff\xfe" + entry3.substr(5)),
       {"cross-reference table at offset " + std::to_string(xref), "object 3"}},
      // The fields of an entry are unsigned decimal digits.
      {"entry with a signed offset",
       replace(entry3, "+" + entry3.substr(1)),
       {"cross-reference table at offset " + std::to_string(xref), "object 3"}},
      {"entry with a hexadecimal generation",
       replace(entry3, entry3.substr(0, 11) + "0x001" + entry3.substr(16)),
       {"cross-reference table at offset " + std::to_string(xref), "object 3"}},
      {"subsection header", replace("xref\n0 12", "xref\n0 x2"), {"subsection header"}},
      {"page node without type", replace("/Type /Pages", "/Tipe /Pages"), {"page tree node 3", "/Type"}},
      {"catalog entry of the wrong kind", replace("/Pages 3 0 R", "/Pages 42   "), {"/Pages"}},
      {"object of binary bytes",
       replace("/Title (Report", "/Title \x80\x81\x82\x83\x84\x85\x86"),
       {"object 2"}},
      {"token in the trailer",
       replace("/Root 1 0 R", "/Root {    "),
       {"'{'", "trailer of the cross-reference table at offset " + std::to_string(xref)}},
      {"no trailer",
       replace("trailer\n", "trai1er\n"),
       {"trailer", "cross-reference table at offset " + std::to_string(xref)}},
      {"form fields of the wrong kind",
       withCatalog("/AcroForm << /Fields /potato >>"),
       {"/Fields", "not an array"}},
      {"form field type of the wrong kind",
       withCatalog("/AcroForm << /Fields [2 0 R] >>", "<< /T (a) /FT (Tx) >>"),
       {"/FT of form field 2"}},
      {"form resources of the wrong kind",
       withCatalog("/AcroForm << /Fields [] /DR /none >>"),
       {"form's /DR"}},
      {"destination of the wrong kind", withCatalog("/Dests << /here 42 >>"), {"destination here"}},
      {"outline item of the wrong kind", withCatalog("/Outlines 2 0 R", "[1 2 3]"), {"outline item 2"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    rtl::TStringStream s(c.bytes);
    TkvPDFDocument doc;
    try {
      doc.LoadFromStream(s);
      ADD_FAILURE() << "no exception";
    } catch (const rtl::Exception& e) {
      for (const auto& w : c.says) EXPECT_NE(e.Message.find(w), std::string::npos) << e.Message;
      EXPECT_LT(e.Message.size(), 120u) << e.Message;
      for (char ch : e.Message) EXPECT_TRUE(ch >= 0x20 && ch < 0x7f) << e.Message;
      for (const char* vague : {"Invalid class typecast", "Unexpected Error", "List index out of bounds"})
        EXPECT_EQ(e.Message.find(vague), std::string::npos) << e.Message;
    }
  }
}

// Damaged variants of a good file: each must raise a library error (never
// crash, hang or allocate without bound; the sanitizers watch).
TEST(DocumentReader, MalformedInputRaises) {
  const std::string good = SimpleDocument(2).Build();
  auto replace = [&](const std::string& from, const std::string& to) {
    std::string f = good;
    const size_t p = f.find(from);
    EXPECT_NE(p, std::string::npos) << from;
    if (p != std::string::npos) f.replace(p, from.size(), to);
    return f;
  };
  auto withObjects = [](std::map<int, std::string> objs, std::string trailer = "/Root 1 0 R") {
    PdfBuilder b;
    b.objects = std::move(objs);
    b.trailer = std::move(trailer);
    return b.Build();
  };
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"empty", ""},
      {"not a pdf", "hello world"},
      {"header only", "%PDF-1.4\n"},
      {"no startxref", good.substr(0, good.rfind("startxref"))},
      {"startxref beyond the end", replace("startxref\n", "startxref\n9999999")},
      {"truncated in the table", good.substr(0, good.rfind("trailer") - 15)},
      {"no root", withObjects({{3, "<< /Type /Pages /Kids [] /Count 0 >>"}}, "")},
      {"root is a free entry", withObjects({{3, "<< /Type /Pages /Kids [] /Count 0 >>"}}, "/Root 1 0 R")},
      {"root outside the table", withObjects({{1, "<< /Pages 3 0 R >>"}}, "/Root 90 0 R")},
      {"page tree cycle", withObjects({{1, "<< /Type /Catalog /Pages 3 0 R >>"},
                                       {3, "<< /Type /Pages /Kids [4 0 R] /Count 1 >>"},
                                       {4, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>"}})},
      {"page without type", withObjects({{1, "<< /Type /Catalog /Pages 3 0 R >>"},
                                         {3, "<< /Type /Pages /Kids [4 0 R] /Count 1 >>"},
                                         {4, "<< /MediaBox [0 0 1 1] >>"}})},
      {"deep brackets",
       withObjects({{1, "<< /Type /Catalog /Pages 3 0 R /X " + std::string(20000, '[') + " >>"}})},
      {"deep dictionaries", withObjects({{1, "<< /Type /Catalog /Pages 3 0 R /X " +
                                                 [] {
                                                   std::string s;
                                                   for (int i = 0; i < 5000; ++i) s += "<< /A ";
                                                   return s;
                                                 }() +
                                                 " >>"}})},
      {"stream length negative", withObjects({{1, "<< /Type /Catalog /Pages 3 0 R /Metadata 5 0 R >>"},
                                              {3, "<< /Type /Pages /Kids [] /Count 0 >>"},
                                              {5, "<< /Length -5 >>\nstream\nabc\nendstream"}})},
      {"stream length huge", withObjects({{1, "<< /Type /Catalog /Pages 3 0 R /Metadata 5 0 R >>"},
                                          {3, "<< /Type /Pages /Kids [] /Count 0 >>"},
                                          {5, "<< /Length 2000000000 >>\nstream\nabc\nendstream"}})},
      {"stream length missing", withObjects({{1, "<< /Type /Catalog /Pages 3 0 R /Metadata 5 0 R >>"},
                                             {3, "<< /Type /Pages /Kids [] /Count 0 >>"},
                                             {5, "<< >>\nstream\nabc\nendstream"}})},
      {"stream length refers to itself",
       withObjects({{1, "<< /Type /Catalog /Pages 3 0 R /Metadata 5 0 R >>"},
                    {3, "<< /Type /Pages /Kids [] /Count 0 >>"},
                    {5, "<< /Length 5 0 R >>\nstream\nabc\nendstream"}})},
      {"outline next cycle", withObjects({{1, "<< /Type /Catalog /Pages 3 0 R /Outlines 6 0 R >>"},
                                          {3, "<< /Type /Pages /Kids [] /Count 0 >>"},
                                          {6, "<< /First 7 0 R >>"},
                                          {7, "<< /Title (a) /Next 8 0 R >>"},
                                          {8, "<< /Title (b) /Next 7 0 R >>"}})},
      {"outline first cycle", withObjects({{1, "<< /Type /Catalog /Pages 3 0 R /Outlines 6 0 R >>"},
                                           {3, "<< /Type /Pages /Kids [] /Count 0 >>"},
                                           {6, "<< /First 6 0 R >>"}})},
      {"name tree cycle", withObjects({{1, "<< /Type /Catalog /Pages 3 0 R /Names 6 0 R >>"},
                                       {3, "<< /Type /Pages /Kids [] /Count 0 >>"},
                                       {6, "<< /Dests 7 0 R >>"},
                                       {7, "<< /Kids [8 0 R] >>"},
                                       {8, "<< /Kids [7 0 R] >>"}})},
      {"a long destination array shared by many names",
       [&] {
         // Each name would get its own copy: 20000 x 50000 items.
         std::string list, pad;
         for (int i = 0; i < 20000; ++i) list += "(n" + std::to_string(i) + ") 5 0 R ";
         for (int i = 0; i < 50000; ++i) pad += "0 ";
         return withObjects({{1, "<< /Type /Catalog /Pages 3 0 R /Names 6 0 R >>"},
                             {3, "<< /Type /Pages /Kids [] /Count 0 >>"},
                             {5, "[" + pad + "]"},
                             {6, "<< /Dests 7 0 R >>"},
                             {7, "<< /Names [" + list + "] >>"}});
       }()},
      {"outline items sharing one long title",
       [&] {
         // 200 items, each with its own copy of a 1 MB title.
         std::map<int, std::string> objs{{1, "<< /Type /Catalog /Pages 3 0 R /Outlines 6 0 R >>"},
                                         {3, "<< /Type /Pages /Kids [] /Count 0 >>"},
                                         {5, "(" + std::string(1 << 20, 'x') + ")"},
                                         {6, "<< /First 10 0 R >>"}};
         for (int i = 10; i < 210; ++i)
           objs[i] = "<< /Title 5 0 R" + (i < 209 ? " /Next " + std::to_string(i + 1) + " 0 R" : "") + " >>";
         return withObjects(objs);
       }()},
      {"pages inheriting one long dictionary",
       [&] {
         std::map<int, std::string> objs{{1, "<< /Type /Catalog /Pages 3 0 R >>"}};
         std::string kids;
         for (int i = 10; i < 210; ++i) {
           kids += std::to_string(i) + " 0 R ";
           objs[i] = "<< /Type /Page /MediaBox [0 0 10 10] >>";
         }
         objs[3] = "<< /Type /Pages /Kids [" + kids + "] /Count 200 /Resources << /Pad (" +
                   std::string(1 << 20, 'x') + ") >> >>";
         return withObjects(objs);
       }()},
      {"encryption dictionary fanning out",
       [&] {
         // Every level holds two references to the next: 2^50 values once
         // expanded, from 50 small objects.
         std::map<int, std::string> objs{{1, "<< /Type /Catalog /Pages 3 0 R >>"},
                                         {3, "<< /Type /Pages /Kids [] /Count 0 >>"},
                                         {5, "<< /Filter /Standard /V 1 /R 2 /P -4 /X 10 0 R >>"},
                                         {60, "1"}};
         for (int i = 10; i < 60; ++i)
           objs[i] = "[" + std::to_string(i + 1) + " 0 R " + std::to_string(i + 1) + " 0 R]";
         return withObjects(objs, "/Root 1 0 R /Encrypt 5 0 R");
       }()},
      {"field kids cycle", withObjects({{1, "<< /Type /Catalog /Pages 3 0 R /AcroForm 6 0 R >>"},
                                        {3, "<< /Type /Pages /Kids [] /Count 0 >>"},
                                        {6, "<< /Fields [7 0 R] >>"},
                                        {7, "<< /T (a) /Kids [8 0 R] >>"},
                                        {8, "<< /T (b) /Kids [7 0 R] >>"}})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    rtl::TStringStream s(c.bytes);
    TkvPDFDocument doc;
    EXPECT_THROW(doc.LoadFromStream(s), rtl::Exception);
    EXPECT_EQ(doc.Reader, nullptr);
  }
}

TEST(DocumentReader, PrevChainLoopAndHugeCounts) {
  std::string file = SimpleDocument(1).Build();
  const long xref = tk::test::pdf::LastStartXRef(file);
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"prev points at itself",
       [&] {
         std::string f = file;
         f.replace(f.find("/Root 1 0 R"), 11, "/Root 1 0 R /Prev " + std::to_string(xref));
         return f;
       }()},
      {"huge subsection count",
       [&] {
         std::string f = file;
         f.replace(f.find("xref\n0 "), 7, "xref\n0 2000000000 ");
         return f;
       }()},
      {"gap in the table",
       [&] {
         std::string f = file;
         f.replace(f.find("xref\n0 "), 7, "xref\n5 ");
         return f;
       }()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    rtl::TStringStream s(c.bytes);
    TkvPDFDocument doc;
    EXPECT_THROW(doc.LoadFromStream(s), rtl::Exception);
  }
}

TEST(DocumentReader, MissingFileRaisesTheFileError) {
  TkvPDFDocument doc;
  EXPECT_THROW(doc.LoadFromFile("/nonexistent/folder/file.pdf"), rtl::Exception);
  EXPECT_FALSE(doc.IsLoaded);
}

}  // namespace
}  // namespace pdf
