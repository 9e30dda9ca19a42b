// Image and font resources added to a loaded document, saved, and read back
// by outside PDF tools; the stream encodings on their own.
#include "pdf/kvPDFResources.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>

#include "pdf/kvPDFFont.h"
#include "pdf/kvPDFObjects.h"
#include "pdf/kvPDFTypes.h"
#include "pdf/kvPDFUtils.h"
#include "platform/rtl/Classes.h"
#include "tests/pdf/PdfFixture.h"
#include "tests/support/TestSupport.h"

using namespace pdf;

namespace {

std::string OnePagePdf() {
  tk::test::pdf::PdfBuilder b;
  b.Obj(1, "<< /Type /Catalog /Pages 2 0 R >>")
      .Obj(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>")
      .Obj(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 200] /Resources << >> >>");
  return b.Build();
}

struct LoadedDoc {
  TkvCustomPDFDocument doc;
  LoadedDoc() {
    rtl::TMemoryStream src;
    const std::string pdf = OnePagePdf();
    src.Write(pdf.data(), static_cast<int64_t>(pdf.size()));
    src.SetPosition(0);
    EXPECT_TRUE(doc.LoadFromStream(src));
    doc.ShowSetupDialog = false;
  }
  TkvPDFDictObject& Page() { return doc.PageList[0]->Value->As<TkvPDFDictObject>(); }
  // Puts ref under name in the page's resource category and draws with
  // content.
  void Use(const std::string& category, const std::string& name, const TkvPDFIndirectReference& ref,
           const std::string& content) {
    TkvPDFDictObject* res = doc.ObjectStore->FetchDict(Page().Find("/Resources"));
    auto cat = std::make_unique<TkvPDFDictObject>();
    cat->AddEntry(name, ref.Clone());
    res->SetValue(category, std::move(cat));
    auto data = std::make_unique<rtl::TMemoryStream>();
    data->Write(content.data(), static_cast<int64_t>(content.size()));
    auto dict = std::make_unique<TkvPDFDictObject>();
    dict->AddInteger("/Length", static_cast<int32_t>(content.size()));
    auto obj = std::make_unique<TkvPDFIndirectObject>(
        static_cast<int32_t>(doc.DocumentID), doc.ObjectStore->NextObjectNumber(), 0,
        std::make_unique<TkvPDFStreamObject>(std::move(dict), std::move(data)), true);
    Page().SetValue("/Contents", MakeReference(*obj));
    doc.ObjectStore->AddObject(std::move(obj));
  }
  tk::test::ScratchDir scratch;
  std::string Save(const std::string& name) {
    const auto path = scratch / name;
    doc.SaveToFile(path.string());
    return path.string();
  }
};

std::string ToolText(const std::vector<std::string>& argv) {
  auto r = tk::test::RunTool(argv);
  return r.out + r.err;
}

void ExpectQpdfClean(const std::string& file) {
  auto r = tk::test::RunTool({"qpdf", "--check", file});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
}

graphics::TFont DejaVu(graphics::TFontCharset charset) {
  graphics::TFont f;
  f.Name = "DejaVu Sans";
  f.Charset = charset;
  f.SetSize(12);
  return f;
}

// Names and arrays of names as PDF text; anything else as its value text.
std::string Text(const TkvPDFObject* o) {
  if (!o) return "";
  if (o->IsName()) return o->As<TkvPDFNameObject>().Text;
  if (o->IsDict()) return "<<" + std::to_string(o->As<TkvPDFDictObject>().Count()) + ">>";
  if (!o->IsArray()) return o->ValueText();
  std::string s = "[";
  const auto& a = o->As<TkvPDFArrayObject>();
  for (int i = 0; i < a.Count(); ++i) s += (i ? " " : "") + Text(a.GetItem(i));
  return s + "]";
}

// The distinct tags (six capitals before "+name") in a listing.
std::set<std::string> SubsetTags(const std::string& listing, const std::string& name) {
  std::set<std::string> tags;
  for (size_t p = listing.find("+" + name); p != std::string::npos; p = listing.find("+" + name, p + 1)) {
    if (p < 6) continue;
    const std::string tag = listing.substr(p - 6, 6);
    if (std::all_of(tag.begin(), tag.end(), [](char c) { return c >= 'A' && c <= 'Z'; })) tags.insert(tag);
  }
  return tags;
}

}  // namespace

TEST(PageResources, ImageXObjectIsReadBackAsAnRGBImage) {
  TK_REQUIRE_TOOL("pdfimages");
  LoadedDoc d;
  graphics::TBitmap bmp;
  bmp.SetSize(3, 2);
  auto ref = d.doc.AddImageXObject(bmp, "/Im1");
  d.Use("/XObject", "/Im1", *ref, "q 30 0 0 20 10 10 cm /Im1 Do Q");
  const std::string file = d.Save("image.pdf");
  ExpectQpdfClean(file);
  const std::string list = ToolText({"pdfimages", "-list", file});
  EXPECT_NE(list.find("image       3     2  rgb     3   8"), std::string::npos) << list;

  EXPECT_THROW(d.doc.AddImageXObject(graphics::TBitmap(), "/Im2"), EUnsupportedImageError);
}

TEST(PageResources, RGBDataIsUnpaddedRedFirst) {
  graphics::TBitmap bmp;
  bmp.SetSize(3, 2);       // 9 bytes a row, padded to 12 in memory
  bmp.ScanLine(0)[0] = 1;  // blue of the top-left pixel
  bmp.ScanLine(0)[2] = 3;  // its red
  auto rgb = TkvCustomPDFDocument::BitmapToRGBData(bmp);
  ASSERT_EQ(rgb->Size(), 18);
  EXPECT_EQ(rgb->Memory()[0], 3);
  EXPECT_EQ(rgb->Memory()[2], 1);
}

// The embedded subset is a composite font on this system's code page; the
// text comes back through its ToUnicode map.
TEST(PageResources, SubsetFontEmbedsAndTextComesBack) {
  TK_REQUIRE_TOOL("pdffonts");
  TK_REQUIRE_TOOL("pdftotext");
  for (uint8_t mode : {uint8_t{1}, uint8_t{2}}) {
    SCOPED_TRACE(int{mode});
    LoadedDoc d;
    const std::u16string text = u"Hello, Wörld";
    auto ref = d.doc.AddFontResource(DejaVu(graphics::DEFAULT_CHARSET), "/F1", mode, 0, text);
    TkvPDFFont glyphs(DejaVu(graphics::DEFAULT_CHARSET), false);
    d.Use("/Font", "/F1", *ref, "BT /F1 12 Tf 20 100 Td <" + glyphs.TextToGlyphHex(text) + "> Tj ET");
    const std::string file = d.Save(mode == 1 ? "whole.pdf" : "subset.pdf");
    ExpectQpdfClean(file);
    const std::string fonts = ToolText({"pdffonts", file});
    EXPECT_NE(fonts.find("CID TrueType"), std::string::npos) << fonts;
    EXPECT_NE(fonts.find(mode == 2 ? "yes yes yes" : "yes no  yes"), std::string::npos) << fonts;
    const std::string back = ToolText({"pdftotext", file, "-"});
    EXPECT_NE(back.find("Hello, W\xC3\xB6rld"), std::string::npos) << back;
    const std::string qdf = ToolText({"qpdf", "--qdf", "--object-streams=disable", file, "-"});
    EXPECT_NE(qdf.find("/Registry (Adobe)"), std::string::npos);
    EXPECT_NE(qdf.find("/Ordering (Identity)"), std::string::npos);
  }
}

// On a Shift-JIS system, wide characters whose low byte looks like a lead
// byte (U+0181, U+0393, U+00E9) are still one character each; byte text in
// the code page is read as double-byte text.
TEST(PageResources, GlyphStringsOnADoubleByteCodePage) {
  tk::test::SystemCodePage sjis(rtl::CP_SHIFTJIS);
  TkvPDFFont font(DejaVu(graphics::DEFAULT_CHARSET), true);
  ASSERT_FALSE(font.Cmap().empty());
  auto glyphsOf = [&](const std::u16string& text) {
    std::string hex;
    for (char16_t c : text)
      for (const auto& p : font.Cmap())
        if (p.Unicode == c) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "%04X", p.Glyph);
          hex += buf;
          break;
        }
    return hex;
  };
  for (const std::u16string text : {u"\u0181\u0393\u0490 A", u"\u00E9t\u00E9 ", u" \u0393"}) {
    EXPECT_EQ(font.TextToGlyphHex(text), glyphsOf(text));
    EXPECT_EQ(font.TextToGlyphHex(text).size(), text.size() * 4);
  }
  EXPECT_EQ(font.UsedChars(), (std::set<uint16_t>{u'A', u't', 0x00E9, 0x0181, 0x0393, 0x0490}));
}

TEST(PageResources, SimpleTrueTypeFontWithWidths) {
  TK_REQUIRE_TOOL("pdffonts");
  LoadedDoc d;
  auto ref = d.doc.AddFontResource(DejaVu(graphics::ANSI_CHARSET), "/F1", 2, 0, u"Abc");
  d.Use("/Font", "/F1", *ref, "BT /F1 12 Tf 20 100 Td (Abc) Tj ET");
  const std::string file = d.Save("simple.pdf");
  ExpectQpdfClean(file);
  const std::string fonts = ToolText({"pdffonts", file});
  EXPECT_EQ(SubsetTags(fonts, "DejaVuSans").size(), 1u) << fonts;
  EXPECT_NE(fonts.find("TrueType          WinAnsi          yes yes"), std::string::npos) << fonts;
  EXPECT_NE(ToolText({"pdftotext", file, "-"}).find("Abc"), std::string::npos);
}

// Each subset in a file has a tag of its own: a viewer that takes two
// subsets of one name for one font draws the glyphs the other lacks as
// blanks.
TEST(PageResources, EverySubsetHasItsOwnTag) {
  TK_REQUIRE_TOOL("pdffonts");
  LoadedDoc d;
  auto abc = d.doc.AddFontResource(DejaVu(graphics::ANSI_CHARSET), "/F1", 2, 0, u"Abc");
  auto xyz = d.doc.AddFontResource(DejaVu(graphics::ANSI_CHARSET), "/F2", 2, 0, u"Xyz");
  auto wide = d.doc.AddFontResource(DejaVu(graphics::DEFAULT_CHARSET), "/F3", 2, 0, u"Abc");
  TkvPDFDictObject* res = d.doc.ObjectStore->FetchDict(d.Page().Find("/Resources"));
  auto fonts = std::make_unique<TkvPDFDictObject>();
  fonts->AddEntry("/F1", abc->Clone());
  fonts->AddEntry("/F2", xyz->Clone());
  fonts->AddEntry("/F3", wide->Clone());
  res->SetValue("/Font", std::move(fonts));
  const std::string file = d.Save("subsets.pdf");
  ExpectQpdfClean(file);
  const std::string list = ToolText({"pdffonts", file});
  EXPECT_EQ(SubsetTags(list, "DejaVuSans").size(), 3u) << list;
}

// A glyph that two characters share comes back as the one that was drawn
// (U+FFE0 here, not U+00A2, which the font lists first).
TEST(PageResources, ToUnicodeGivesTheCharacterDrawn) {
  TK_REQUIRE_TOOL("pdftotext");
  graphics::TFont f = DejaVu(graphics::DEFAULT_CHARSET);
  f.Name = "IPAGothic";
  TkvPDFFont glyphs(f, false);
  if (glyphs.PostScriptName().find("IPA") == std::string::npos) {
    if (tk::test::UnderCI()) FAIL() << "font missing under CI: IPAGothic";
    GTEST_SKIP() << "font not installed: IPAGothic";
  }
  for (uint8_t mode : {uint8_t{1}, uint8_t{2}}) {
    SCOPED_TRACE(int{mode});
    LoadedDoc d;
    const std::u16string text = u"\uFFE01,000\u02DC";
    auto ref = d.doc.AddFontResource(f, "/F1", mode, 0, text);
    d.Use("/Font", "/F1", *ref, "BT /F1 12 Tf 20 100 Td <" + glyphs.TextToGlyphHex(text) + "> Tj ET");
    const std::string file = d.Save("drawn.pdf");
    ExpectQpdfClean(file);
    const std::string back = ToolText({"pdftotext", file, "-"});
    EXPECT_NE(back.find("\xEF\xBF\xA0"
                        "1,000\xCB\x9C"),
              std::string::npos)
        << back;
  }
}

TEST(PageResources, ExistingFontOfAPageIsReused) {
  LoadedDoc d;
  auto first = d.doc.AddFontResource(DejaVu(graphics::ANSI_CHARSET), "/F1", 0, 0, u"");
  d.Use("/Font", "/F1", *first, "");
  auto again = d.doc.AddFontResource(DejaVu(graphics::ANSI_CHARSET), "/F2", 0, 0, u"");
  EXPECT_EQ(again->ObjNum, first->ObjNum);
  // Only by text of the same kind and encoding: a composite text drawn
  // through the simple font would name other glyphs.
  auto composite = d.doc.AddFontResource(DejaVu(graphics::DEFAULT_CHARSET), "/F3", 0, 0, u"");
  EXPECT_NE(composite->ObjNum, first->ObjNum);
  EXPECT_NE(d.doc.AddFontResource(DejaVu(graphics::ANSI_CHARSET), "/F4", 0, 1, u"")->ObjNum, first->ObjNum);
  // A subset was made for another text: it is never taken again.
  LoadedDoc s;
  auto sub = s.doc.AddFontResource(DejaVu(graphics::ANSI_CHARSET), "/F1", 2, 0, u"A");
  s.Use("/Font", "/F1", *sub, "");
  EXPECT_NE(s.doc.AddFontResource(DejaVu(graphics::ANSI_CHARSET), "/F2", 2, 0, u"B")->ObjNum, sub->ObjNum);
}

TEST(StreamEncoding, FiltersGoInFrontOrAreSkipped) {
  auto direct = [](const TkvPDFObject* o) { return o; };
  struct Case {
    const char* name;
    std::unique_ptr<TkvPDFObject> filter;
    uint8_t kind;
    std::string expect;  // the /Filter afterwards
  };
  auto name = [](const char* n) { return std::make_unique<TkvPDFNameObject>(n); };
  auto array = [](std::initializer_list<const char*> ns) {
    auto a = std::make_unique<TkvPDFArrayObject>();
    for (auto n : ns) a->Add(std::make_unique<TkvPDFNameObject>(n));
    return a;
  };
  Case cases[] = {
      {"flate kept", name("/FlateDecode"), 0, "/FlateDecode"},
      {"runlength gets flate", array({"/RunLengthDecode"}), 0, "[/FlateDecode /RunLengthDecode]"},
      {"runlength again", array({"/RunLengthDecode"}), 1, "[/RunLengthDecode /RunLengthDecode]"},
      {"none", nullptr, 0, "/FlateDecode"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    TkvPDFDictObject dict;
    if (c.filter) dict.AddEntry("/Filter", std::move(c.filter));
    CompressStreamData(dict, "abcabcabc", TkvCompression{1, c.kind, 2}, direct);
    EXPECT_EQ(Text(dict.Find("/Filter")), c.expect);
  }
  TkvPDFDictObject dict;
  dict.AddName("/Filter", "/FlateDecode");
  const std::string out = ASCIIEncodeStreamData(dict, "xyz", TkvASCIIEncode{1, 1}, direct);
  EXPECT_EQ(Text(dict.Find("/Filter")), "[/ASCII85Decode /FlateDecode]");
  EXPECT_EQ(dict.Find("/Length")->ValueText(), std::to_string(out.size()));

  TkvPDFDictObject bad;
  bad.AddInteger("/Filter", 3);
  EXPECT_THROW(CompressStreamData(bad, "x", TkvCompression{1, 0, 2}, direct),
               kvCstPDFDoc::EUnexpectedObjectError);
}

TEST(StreamEncoding, DecodingStopsAtAPredictor) {
  auto direct = [](const TkvPDFObject* o) { return o; };
  const std::string flate = CompressString("hello", 0, 2);
  const std::string packed = ASCIIEncodeString(flate, 0);
  {
    TkvPDFDictObject dict;
    CompressStreamData(dict, "", TkvCompression{1, 0, 2}, direct);  // /Filter /FlateDecode
    ASCIIEncodeStreamData(dict, "", TkvASCIIEncode{1, 0}, direct);
    EXPECT_EQ(DecodeStreamData(dict, packed, direct), "hello");
    EXPECT_EQ(dict.Find("/Filter"), nullptr);
    EXPECT_EQ(dict.Find("/Length")->ValueText(), "5");
  }
  {
    // Predicted data cannot be undone here: it stays encoded, with its
    // filter, after the ASCII layer in front comes off.
    TkvPDFDictObject dict;
    auto filters = std::make_unique<TkvPDFArrayObject>();
    filters->Add(std::make_unique<TkvPDFNameObject>("/ASCIIHexDecode"));
    filters->Add(std::make_unique<TkvPDFNameObject>("/FlateDecode"));
    dict.AddEntry("/Filter", std::move(filters));
    auto parms = std::make_unique<TkvPDFArrayObject>();
    parms->Add(std::make_unique<TkvPDFNullObject>());
    auto p = std::make_unique<TkvPDFDictObject>();
    p->AddInteger("/Predictor", 12);
    parms->Add(std::move(p));
    dict.AddEntry("/DecodeParms", std::move(parms));
    EXPECT_EQ(DecodeStreamData(dict, packed, direct), flate);
    EXPECT_EQ(Text(dict.Find("/Filter")), "[/FlateDecode]");
    EXPECT_EQ(Text(dict.Find("/DecodeParms")), "[<<1>>]");
  }
}

TEST(TextStrings, EncodeAndDecode) {
  EXPECT_EQ(TkvCustomPDFDocument::EncodeTextString(u"Ab", 5), std::string("\xFE\xFF\0A\0b", 6));
  EXPECT_EQ(TkvCustomPDFDocument::DecodeTextString("(\\376\\377\\000A)"), u"A");
  EXPECT_EQ(TkvCustomPDFDocument::DecodeTextString("<FEFF0041>"), u"A");
  EXPECT_EQ(TkvCustomPDFDocument::DecodeTextString("()"), u"");
  // Hex digits without a byte-order mark are bytes of the code page.
  EXPECT_EQ(TkvCustomPDFDocument::DecodeTextString("<414243>"), u"ABC");
  EXPECT_EQ(TkvCustomPDFDocument::DecodeTextString("<feff00e9>"), u"\u00E9");
  EXPECT_EQ(TkvCustomPDFDocument::DecodeTextString("<5C28>"), u"\\(");
}
