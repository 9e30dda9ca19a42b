// Text and image stamps on generated documents, read back by outside PDF
// tools: the text by pdftotext, the font by pdffonts, the image by
// pdfimages, and where it lands by the pixels pdftoppm renders.
#include "pdf/kvPDFWatermark.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <set>
#include <sstream>
#include <type_traits>

#include "pdf/kvPDFObjects.h"
#include "pdf/kvPDFTypes.h"
#include "platform/rtl/DateTime.h"
#include "platform/rtl/Randoms.h"
#include "tests/pdf/PdfFixture.h"
#include "tests/support/TestSupport.h"

using namespace pdf;
using tk::test::pdf::PdfBuilder;

namespace {

// Pages of 200 x 300 points, each drawing a small grey square at its lower
// left; extra page entries per page (e.g. "/Rotate 90").
std::string Document(int pages, const std::string& extra = "") {
  PdfBuilder b;
  b.Obj(1, "<< /Type /Catalog /Pages 3 0 R >>");
  std::string kids;
  for (int i = 0; i < pages; ++i) {
    kids += std::to_string(10 + i) + " 0 R ";
    b.Obj(10 + i, "<< /Type /Page /Parent 3 0 R /MediaBox [0 0 200 300] /Resources << >> /Contents " +
                      std::to_string(50 + i) + " 0 R " + extra + " >>");
    b.Obj(50 + i, PdfBuilder::Stream("0.5 g 0 0 10 10 re f"));
  }
  b.Obj(3, "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages) + " >>");
  return b.Build();
}

struct Doc {
  TkvCustomPDFDocument doc;
  explicit Doc(const std::string& pdf) {
    rtl::TMemoryStream src;
    src.Write(pdf.data(), static_cast<int64_t>(pdf.size()));
    src.SetPosition(0);
    EXPECT_TRUE(doc.LoadFromStream(src));
    doc.ShowSetupDialog = false;
    doc.MeasurementUnit = muPoints;
  }
  TkvPDFDictObject& Page(int n) {
    return *doc.ObjectStore->FetchDict(doc.PageList[static_cast<size_t>(n - 1)]->Value.get());
  }
  const TkvPDFArrayObject& Contents(int n) { return *doc.ObjectStore->FetchArray(Page(n).Find("/Contents")); }
  tk::test::ScratchDir scratch;
  std::string Save(const std::string& name) {
    const auto path = scratch / name;
    doc.SaveToFile(path.string());
    auto r = tk::test::RunTool({"qpdf", "--check", path.string()});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    return path.string();
  }
};

std::unique_ptr<TkvTextWatermarkTemplate> TextStamp(const std::u16string& text) {
  auto t = std::make_unique<TkvTextWatermarkTemplate>();
  graphics::TFont f;
  f.Name = "DejaVu Sans";
  f.Charset = graphics::ANSI_CHARSET;
  f.SetSize(20);
  t->SetFont(f);
  t->Text = text;
  return t;
}

std::string PageText(const std::string& file, int page, bool layout = false) {
  std::vector<std::string> argv = {"pdftotext", "-f", std::to_string(page), "-l", std::to_string(page)};
  if (layout) argv.push_back("-layout");
  argv.insert(argv.end(), {file, "-"});
  return tk::test::RunTool(argv).out;
}

// A page rendered in grey at 36 dpi: width, height, one byte a pixel.
struct Gray {
  int w = 0, h = 0;
  std::string px;
  // Share of dark pixels in the part [x0,x1) x [y0,y1) given as fractions
  // of the page, from the top left as shown.
  double Dark(double x0, double y0, double x1, double y1) const {
    int dark = 0, all = 0;
    for (int y = static_cast<int>(y0 * h); y < static_cast<int>(y1 * h); ++y)
      for (int x = static_cast<int>(x0 * w); x < static_cast<int>(x1 * w); ++x, ++all)
        dark += static_cast<unsigned char>(px[static_cast<size_t>(y * w + x)]) < 128;
    return all ? static_cast<double>(dark) / all : 0;
  }
};

Gray Render(const std::string& file, int page) {
  auto r = tk::test::RunTool(
      {"pdftoppm", "-r", "36", "-gray", "-f", std::to_string(page), "-l", std::to_string(page), file});
  Gray g;
  std::istringstream in(r.out);
  std::string magic;
  int maxval = 0;
  in >> magic >> g.w >> g.h >> maxval;
  in.get();
  g.px.assign(static_cast<size_t>(g.w) * static_cast<size_t>(g.h), '\0');
  in.read(g.px.data(), static_cast<std::streamsize>(g.px.size()));
  EXPECT_EQ(magic, "P5");
  return g;
}

#define REQUIRE_POPPLER()       \
  TK_REQUIRE_TOOL("qpdf");      \
  TK_REQUIRE_TOOL("pdftotext"); \
  TK_REQUIRE_TOOL("pdftoppm")

}  // namespace

// A simple font on the page is not taken for composite text in the same
// face: each text comes back as stamped.
TEST(TextStamps, CompositeTextAfterASimpleStampInTheSameFace) {
  TK_REQUIRE_TOOL("pdftotext");
  Doc d(Document(1));
  auto ansi = TextStamp(u"Abc");
  d.doc.ApplyWatermark(*ansi, "1");
  auto wide = TextStamp(u"\u03A9\u0436");
  wide->Font.Charset = graphics::DEFAULT_CHARSET;
  wide->VerticalPosition = vpBottom;
  d.doc.ApplyWatermark(*wide, "1");
  const std::string text = PageText(d.Save("mixed.pdf"), 1);
  EXPECT_NE(text.find("Abc"), std::string::npos) << text;
  EXPECT_NE(text.find("\xCE\xA9\xD0\xB6"), std::string::npos) << text;
}

TEST(Watermark, OneStreamServesPagesOfOneSizeAndPageNumbersGetTheirOwn) {
  REQUIRE_POPPLER();
  TK_REQUIRE_TOOL("pdffonts");
  struct Case {
    const char* name;
    std::u16string text;
    size_t streams;
    const char* page3;
  } cases[] = {{"fixed", u"DRAFT", 1, "DRAFT"},
               {"numbered", u"Page <%PageNo%> of <%TotPage%>", 10, "Page 3 of 10"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Doc d(Document(10));
    auto t = TextStamp(c.text);
    t->EmbedMode = 2;
    d.doc.ApplyWatermark(*t, "");
    std::set<int32_t> streams;
    for (int p = 1; p <= 10; ++p)
      streams.insert(d.Contents(p).GetItem(0)->As<TkvPDFIndirectReference>().ObjNum);
    EXPECT_EQ(streams.size(), c.streams);
    const std::string file = d.Save(std::string("stamp-") + c.name + ".pdf");
    EXPECT_NE(PageText(file, 3).find(c.page3), std::string::npos) << PageText(file, 3);
    // The subset was made for every page's text, so page 10's digits are in it.
    EXPECT_NE(PageText(file, 10).find(c.name[0] == 'n' ? "Page 10 of 10" : "DRAFT"), std::string::npos);
    EXPECT_NE(tk::test::RunTool({"pdffonts", file}).out.find("DejaVuSans"), std::string::npos);
  }
}

// Brackets and backslashes in a stamp stay text: nothing of it runs as page
// operators (here a black rectangle over the page).
TEST(Watermark, TextCannotEscapeItsString) {
  REQUIRE_POPPLER();
  const std::u16string evil = u"a) Tj ET 0 g 0 0 200 300 re f BT (b\\";
  Doc d(Document(1));
  auto t = TextStamp(evil);
  t->Font.SetSize(5);
  t->VerticalPosition = vpBottom;
  d.doc.ApplyWatermark(*t, "1");
  const std::string file = d.Save("stamp-escape.pdf");
  EXPECT_NE(PageText(file, 1).find("a) Tj ET 0 g 0 0 200 300 re f BT (b\\"), std::string::npos)
      << PageText(file, 1);
  EXPECT_LT(Render(file, 1).Dark(0, 0, 1, 0.5), 0.01);
}

// A composite-font stamp on a Shift-JIS system: characters whose low byte
// looks like a lead byte come back as themselves. (DejaVu has no Japanese,
// so the family check keeps the ANSI default character set.)
TEST(Watermark, WideStampTextOnADoubleByteCodePageComesBack) {
  REQUIRE_POPPLER();
  tk::test::SystemCodePage sjis(rtl::CP_SHIFTJIS);
  Doc d(Document(1));
  auto t = TextStamp(u"\u0181\u0393\u0490 \u00E9t\u00E9 A");
  t->Font.Charset = graphics::DEFAULT_CHARSET;
  t->EmbedMode = 2;
  d.doc.ApplyWatermark(*t, "1");
  const std::string file = d.Save("stamp-sjis.pdf");
  EXPECT_NE(PageText(file, 1).find("\u0181\u0393\u0490 \u00E9t\u00E9 A"), std::string::npos)
      << PageText(file, 1);
}

TEST(Watermark, VariablesExpandOnceAndValuesAreNotReadAgain) {
  Doc d(Document(2));
  d.doc.DocInfo->SetTitle(u"<%PageNo%> <%Author%>");
  d.doc.DocInfo->SetAuthor(u"Ann");
  int calls = 0;
  d.doc.OnCalcVariables = [&](TkvCustomPDFDocument*, const std::u16string& name, std::u16string& value,
                              int page) {
    ++calls;
    // A value naming itself would expand for ever if values were read again.
    value = name == u"Self"    ? u"<%Self%>"
            : name == u"Empty" ? u""
                               : u"p" + std::u16string(1, char16_t(u'0' + page));
  };
  struct Case {
    std::u16string text, expect;
  } cases[] = {
      {u"<%Title%>|<%author%>", u"<%PageNo%> <%Author%>|Ann"},
      {u"<%Self%><%Self%>", u"<%Self%><%Self%>"},
      {u"[<%Empty%>]", u"[]"},
      {u"<%%> <%<%X%> <%PageNo%", u"<%%> <%p2 <%PageNo%"},
      {u"<%TotPage%>/<%PAGENO%>", u"2/2"},
  };
  for (const Case& c : cases) EXPECT_EQ(ExpandVariables(d.doc, c.text, 2), c.expect);
  EXPECT_EQ(calls, 3);  // Self once a text, Empty, X
  rtl::TManualClock clock(rtl::EncodeDate(2024, 3, 7) + rtl::EncodeTime(9, 5, 4, 0));
  rtl::SetClock(&clock);
  EXPECT_EQ(ExpandVariables(d.doc, u"<%ShortDate%> <%ShortTime%> <%LongTime%>", 1),
            u"2024/03/07 9:05 9:05:04");
  rtl::SetClock(nullptr);
}

TEST(Watermark, BadRangesAndPagesChangeNothing) {
  Doc d(Document(3));
  auto t = TextStamp(u"X");
  const int objects = d.doc.ObjectStore->ObjectCount();
  EXPECT_THROW(d.doc.ApplyWatermark(*t, "1,4"), EInvalidPageError);
  EXPECT_THROW(d.doc.ApplyWatermark(*t, "2-99999999999"), rtl::Exception);
  d.Page(2).SetValue("/Contents", std::make_unique<TkvPDFIntegerObject>(7));
  EXPECT_THROW(d.doc.ApplyWatermark(*t, "1-3"), EUnexpectedError);
  EXPECT_EQ(d.doc.ObjectStore->ObjectCount(), objects);
  EXPECT_TRUE(d.Page(1).Find("/Contents")->IsReference());
}

TEST(Watermark, AnglesBeyondATurnAreReduced) {
  Doc d(Document(1));
  for (auto [angle, expect] : {std::pair{720, 0}, {-400, -40}, {359, 359}}) {
    auto t = TextStamp(u"A");
    t->Angle = angle;
    d.doc.ApplyWatermark(*t, "1");
    EXPECT_EQ(t->Angle, expect);
  }
}

TEST(Watermark, StampsStackUnderAndOverTheContent) {
  Doc d(Document(1));
  auto under = TextStamp(u"U");
  d.doc.ApplyWatermark(*under, "1");
  const int32_t own = 50;
  ASSERT_EQ(d.Contents(1).Count(), 2);
  EXPECT_EQ(d.Contents(1).GetItem(1)->As<TkvPDFIndirectReference>().ObjNum, own);
  auto over = TextStamp(u"O");
  over->Overlay = true;
  d.doc.ApplyWatermark(*over, "1");
  d.doc.ApplyWatermark(*over, "1");
  // q, under-stamp, content, Q, over, over: the content is bracketed once.
  const TkvPDFArrayObject& c = d.Contents(1);
  ASSERT_EQ(c.Count(), 6);
  EXPECT_EQ(c.GetItem(0)->As<TkvPDFIndirectReference>().ObjNum, d.doc.SaveStateStreamNum);
  EXPECT_EQ(c.GetItem(3)->As<TkvPDFIndirectReference>().ObjNum, d.doc.RestoreStateStreamNum);
}

// Pages that share their content array, their resources or their content
// stream: only the stamped page shows the stamp.
TEST(Watermark, SharedPagePartsKeepTheStampOnItsPage) {
  REQUIRE_POPPLER();
  PdfBuilder b;
  b.Obj(1, "<< /Type /Catalog /Pages 3 0 R >>");
  b.Obj(3,
        "<< /Type /Pages /Kids [10 0 R 11 0 R 12 0 R 13 0 R] /Count 4 /Resources 20 0 R /MediaBox [0 0 200 "
        "300] >>");
  b.Obj(10, "<< /Type /Page /Parent 3 0 R /Contents 30 0 R >>");
  b.Obj(11, "<< /Type /Page /Parent 3 0 R /Contents 30 0 R >>");
  b.Obj(12, "<< /Type /Page /Parent 3 0 R /Contents 51 0 R >>");
  b.Obj(13, "<< /Type /Page /Parent 3 0 R /Contents 51 0 R >>");
  b.Obj(20, "<< >>");
  b.Obj(30, "[50 0 R]");
  b.Obj(50, PdfBuilder::Stream("0.5 g 0 0 10 10 re f"));
  b.Obj(51, PdfBuilder::Stream("0.5 g 0 0 10 10 re f"));
  Doc d(b.Build());
  auto t = TextStamp(u"MMMMMM");
  t->VerticalPosition = vpMiddle;
  t->HorizontalPosition = hpCentre;
  d.doc.ApplyWatermark(*t, "1,3");
  const std::string file = d.Save("stamp-shared.pdf");
  for (auto [page, stamped] : {std::pair{1, true}, {2, false}, {3, true}, {4, false}}) {
    SCOPED_TRACE(page);
    EXPECT_EQ(Render(file, page).Dark(0.2, 0.4, 0.8, 0.6) > 0.05, stamped);
    EXPECT_EQ(PageText(file, page).find("MMMMMM") != std::string::npos, stamped);
  }
}

// The position is taken on the page as shown: top left of a turned page is
// top left on the screen, with the text upright there.
TEST(Watermark, TurnedPagesGetTheStampUprightWhereItsPositionSays) {
  REQUIRE_POPPLER();
  for (int rotate : {0, 90, 180, 270}) {
    SCOPED_TRACE(rotate);
    Doc d(Document(2, "/Rotate " + std::to_string(rotate)));
    auto t = TextStamp(u"TOPLEFT");
    d.doc.ApplyWatermark(*t, "1");
    const std::string file = d.Save("stamp-rotate.pdf");
    const Gray g = Render(file, 1);
    EXPECT_GT(g.Dark(0, 0, 0.5, 0.15), 0.05);
    EXPECT_LT(g.Dark(0.5, 0.3, 1, 1), 0.01);
    const std::string layout = PageText(file, 1, true);
    EXPECT_EQ(layout.find("TOPLEFT"), layout.find_first_not_of(" \n")) << layout;
    EXPECT_LT(Render(file, 2).Dark(0, 0, 1, 0.5), 0.01);
  }
}

// A name the page uses already is not taken for the stamp's font: the page's
// own resource stays as it was and the stamp draws its own font.
TEST(Watermark, ResourceNameInUseIsDrawnAgain) {
  Doc d(Document(1));
  rtl::SetRandSeed(1234);
  const std::string taken = MakeFontResourceName();
  auto fonts = std::make_unique<TkvPDFDictObject>();
  fonts->AddEntry(taken,
                  std::make_unique<TkvPDFIndirectReference>(static_cast<int32_t>(d.doc.DocumentID), 50, 0));
  d.doc.ObjectStore->FetchDict(d.Page(1).Find("/Resources"))->SetValue("/Font", std::move(fonts));
  rtl::SetRandSeed(1234);
  auto t = TextStamp(u"X");
  d.doc.ApplyWatermark(*t, "1");
  const TkvPDFDictObject* res = d.doc.ObjectStore->FetchDict(d.Page(1).Find("/Resources"));
  const TkvPDFDictObject* f = d.doc.ObjectStore->FetchDict(res->Find("/Font"));
  ASSERT_EQ(f->Count(), 2);
  EXPECT_EQ(f->Find(taken)->As<TkvPDFIndirectReference>().ObjNum, 50);
  const std::string own = f->KeyAt(1)->Text;
  const auto* stamp = d.doc.ObjectStore->FetchStream(d.Contents(1).GetItem(0));
  const std::string content(reinterpret_cast<const char*>(stamp->Data->Memory()),
                            static_cast<size_t>(stamp->Data->Size()));
  EXPECT_NE(content.find(own + " 20 Tf"), std::string::npos) << content;
}

TEST(Watermark, ImageStampIsListedAndDrawnWhereAsked) {
  REQUIRE_POPPLER();
  TK_REQUIRE_TOOL("pdfimages");
  Doc d(Document(3));
  auto img = std::make_unique<TkvImageWatermarkTemplate>();
  auto bmp = std::make_unique<graphics::TBitmap>();
  bmp->SetSize(4, 4);  // black
  img->Graphic = std::move(bmp);
  img->Width = 60;
  img->Height = 60;
  img->HorizontalPosition = hpRight;
  img->VerticalPosition = vpBottom;
  img->Overlay = true;
  d.doc.ApplyWatermark(*img, "2-3");
  const std::string file = d.Save("stamp-image.pdf");
  const std::string list = tk::test::RunTool({"pdfimages", "-list", file}).out;
  EXPECT_NE(list.find("image       4     4  rgb"), std::string::npos) << list;
  const Gray g = Render(file, 2);
  EXPECT_GT(g.Dark(0.75, 0.85, 1, 1), 0.9);
  EXPECT_LT(g.Dark(0, 0, 0.6, 0.7), 0.01);
  EXPECT_LT(Render(file, 1).Dark(0.2, 0, 1, 1), 0.01);
}

TEST(Watermark, CompositeAppliesInOrderAndRefusesItself) {
  Doc d(Document(1));
  auto a = TextStamp(u"A"), b = TextStamp(u"B");
  TkvCompositeWatermarkTemplate all;
  all.Add(a.get());
  all.Add(b.get());
  d.doc.ApplyWatermark(all, "1");
  EXPECT_EQ(d.Contents(1).Count(), 3);
  all.Add(&all);
  EXPECT_THROW(d.doc.ApplyWatermark(all, "1"), EPDFException);
}

// Every position pair at every angle, on pages turned every way, in both
// orientations: each stamp lies wholly on the shown page, at the edge or
// point its position names. The stamped pages are saved, then their boxes
// widened by a margin on all sides, so that Ghostscript's bounding boxes
// show whatever would have fallen off the page; one run of it per
// orientation.
TEST(Watermark, EveryPositionAngleAndTurnKeepsTheStampOnThePage) {
  TK_REQUIRE_TOOL("gs");
  static_assert(
      std::is_same_v<decltype(TkvCustomWatermarkTemplate::HorizontalPosition), TkvHorizontalPosition>);
  static_assert(std::is_same_v<decltype(TkvCustomWatermarkTemplate::VerticalPosition), TkvVerticalPosition>);
  const TkvHorizontalPosition hps[] = {hpLeft, hpCentre, hpRight, hpAtOffset};
  const TkvVerticalPosition vps[] = {vpTop, vpMiddle, vpBottom, vpAtOffset};
  const char* hNames[] = {"left", "centre", "right", "offset"};
  const char* vNames[] = {"top", "middle", "bottom", "offset"};
  const int angles[] = {0, 45, 90, 180, 270, -40};
  const int rotations[] = {0, 90, 180, 270};
  const double W = 400, H = 300, margin = 200, size = 20, offX = 150, offY = 120, slack = 0.5;
  // How far the ink may stay from the edge it is put on: the box a stamp is
  // placed by is wider than its ink, a turned column's more so.
  const double tol = 1.5 * size;
  struct Page {
    std::string name;
    int hp, vp, rotation;
  };
  for (uint8_t orientation : {uint8_t{0}, uint8_t{1}}) {
    std::vector<Page> cases;
    for (int r : rotations)
      for (int a : angles)
        for (int h = 0; h < 4; ++h)
          for (int v = 0; v < 4; ++v)
            cases.push_back({std::string(orientation ? "vertical " : "horizontal ") + hNames[h] + "/" +
                                 vNames[v] + " at " + std::to_string(a) + " on a page turned " +
                                 std::to_string(r),
                             h, v, r});
    PdfBuilder b;
    b.Obj(1, "<< /Type /Catalog /Pages 3 0 R >>");
    std::string kids;
    for (size_t i = 0; i < cases.size(); ++i) {
      const int num = 10 + static_cast<int>(i);
      kids += std::to_string(num) + " 0 R ";
      b.Obj(num, "<< /Type /Page /Parent 3 0 R /MediaBox [0 0 400 300] /Resources << >> /Rotate " +
                     std::to_string(cases[i].rotation) + " >>");
    }
    b.Obj(3, "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(cases.size()) + " >>");
    Doc d(b.Build());
    size_t i = 0;
    for (int r : rotations)
      for (int a : angles)
        for (int h = 0; h < 4; ++h)
          for (int v = 0; v < 4; ++v, ++i) {
            (void)r;
            auto t = TextStamp(u"Hgy");
            t->EmbedMode = 2;
            t->Orientation = orientation;
            t->Angle = a;
            t->HorizontalPosition = hps[h];
            t->VerticalPosition = vps[v];
            t->XOffset = offX;
            t->YOffset = offY;
            d.doc.ApplyWatermark(*t, std::to_string(i + 1));
          }
    const std::string stamped = d.Save(orientation ? "vertical.pdf" : "horizontal.pdf");
    Doc wide(tk::test::ReadFileBytes(stamped));
    for (int n = 1; n <= wide.doc.PageCount(); ++n) {
      auto box = std::make_unique<TkvPDFArrayObject>();
      for (double v : {-margin, -margin, W + margin, H + margin}) box->AddInteger(static_cast<int32_t>(v));
      wide.Page(n).SetValue("/MediaBox", std::move(box));
    }
    const std::string widened = wide.Save("widened.pdf");
    const std::string out =
        tk::test::RunTool({"gs", "-q", "-dNOPAUSE", "-dBATCH", "-dSAFER", "-sDEVICE=bbox", widened}).err;
    std::istringstream lines(out);
    std::vector<std::array<double, 4>> inks;
    for (std::string line; std::getline(lines, line);) {
      std::array<double, 4> k{};
      if (std::sscanf(line.c_str(), "%%%%HiResBoundingBox: %lf %lf %lf %lf", &k[0], &k[1], &k[2], &k[3]) == 4)
        inks.push_back({k[0] - margin, k[1] - margin, k[2] - margin, k[3] - margin});
    }
    ASSERT_EQ(inks.size(), cases.size()) << out;
    for (size_t c = 0; c < cases.size(); ++c) {
      SCOPED_TRACE(cases[c].name);
      const auto& [x0, y0, x1, y1] = inks[c];
      const bool turned = cases[c].rotation % 180 != 0;
      const double w = turned ? H : W, h = turned ? W : H;
      ASSERT_LT(x0, x1);
      EXPECT_GE(x0, -slack);
      EXPECT_GE(y0, -slack);
      EXPECT_LE(x1, w + slack);
      EXPECT_LE(y1, h + slack);
      switch (cases[c].hp) {
        case hpLeft:
          EXPECT_LE(x0, tol);
          break;
        case hpCentre:
          EXPECT_NEAR((x0 + x1) / 2, w / 2, tol);
          break;
        case hpRight:
          EXPECT_GE(x1, w - tol);
          break;
        default:
          EXPECT_TRUE(x0 <= offX + tol && x1 >= offX - tol) << x0 << " " << x1;
          break;
      }
      switch (cases[c].vp) {
        case vpTop:
          EXPECT_GE(y1, h - tol);
          break;
        case vpMiddle:
          EXPECT_NEAR((y0 + y1) / 2, h / 2, tol);
          break;
        case vpBottom:
          EXPECT_LE(y0, tol);
          break;
        default:
          EXPECT_TRUE(y0 <= h - offY + tol && y1 >= h - offY - tol) << y0 << " " << y1;
          break;
      }
    }
  }
}
