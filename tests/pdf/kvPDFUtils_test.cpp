#include "pdf/kvPDFUtils.h"

#include <gtest/gtest.h>

#include "pdf/PdfFixture.h"
#include "pdf/kvFilters.h"
#include "pdf/kvPDFConsts.h"
#include "platform/rtl/CodePages.h"
#include "platform/rtl/Randoms.h"
#include "support/TestSupport.h"

namespace {

using namespace pdf;

constexpr auto B = tk::test::Bytes;

std::unique_ptr<TkvPDFArrayObject> Numbers(std::initializer_list<double> v) {
  auto a = std::make_unique<TkvPDFArrayObject>();
  for (double d : v) {
    if (d == static_cast<int>(d))
      a->AddInteger(static_cast<int>(d));
    else
      a->Add(std::make_unique<TkvPDFRealObject>(d));
  }
  return a;
}

template <typename E>
std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "<no exception>";
}

TEST(PDFUtils, ExceptionsDeriveFromTheRunTimeRoot) {
  EXPECT_EQ(MessageOf<rtl::Exception>([] { throw EInvalidHeader(rtl::Format(SInvalidHeader, {"%PDX-1."})); }),
            "Invalid PDF Header (%PDX-1.)");
  EXPECT_STREQ(EEndStreamError(SEndStreamError).ClassName(), "EEndStreamError");
  EXPECT_STREQ(kvPDFUtils::EUnexpectedObjectError(SUnexpectedPDFObject).ClassName(),
               "EUnexpectedObjectError");
}

TEST(PDFUtils, NumbersAndRectangles) {
  EXPECT_EQ(NumberValue(TkvPDFIntegerObject(-3).Clone().get()), -3);
  EXPECT_EQ(NumberValue(TkvPDFRealObject(2.5).Clone().get()), 2.5);
  const std::unique_ptr<TkvPDFObject> bad[] = {nullptr, std::make_unique<TkvPDFInt64Object>(1),
                                               std::make_unique<TkvPDFNameObject>("/A")};
  for (const auto& b : bad)
    EXPECT_EQ(MessageOf<kvPDFUtils::EUnexpectedObjectError>([&] { NumberValue(b.get()); }),
              "Unexpected PDF object encountered");
  auto r = RectFromArray(*Numbers({0, 0, 612.5, 792, 5}));
  EXPECT_EQ(r->X1, 0);
  EXPECT_EQ(r->X2, 612.5);
  EXPECT_EQ(r->Y2, 792);
  EXPECT_THROW(RectFromArray(*Numbers({0, 0, 612})), kvPDFUtils::EUnexpectedObjectError);
}

TEST(PDFUtils, FilterNames) {
  struct Case {
    const char* name;
    int kind;  // -1: unsupported
  } cases[] = {{"/ASCIIHexDecode", 0},  {"/ASCII85Decode", 1}, {"/FlateDecode", 2},
               {"/RunLengthDecode", 3}, {"/DCTDecode", 5},     {"/LZWDecode", -1},
               {"/CCITTFaxDecode", -1}, {"/flatedecode", -1},  {"/AHx", -1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.kind >= 0) {
      EXPECT_EQ(FilterKindOf(c.name), c.kind);
    } else {
      EXPECT_EQ(MessageOf<EUnsupportedFilterError>([&] { FilterKindOf(c.name); }),
                std::string("Unsupported filter (") + c.name + ")");
    }
  }
  TkvPDFArrayObject chain;
  chain.Add(std::make_unique<TkvPDFNameObject>("/ASCII85Decode"));
  chain.Add(std::make_unique<TkvPDFNameObject>("/FlateDecode"));
  EXPECT_EQ(FilterKindsOf(&chain), (TkvDecodeFilters{fkASCII85, fkFlate}));
  TkvPDFNameObject one("/DCTDecode");
  EXPECT_EQ(FilterKindsOf(&one), (TkvDecodeFilters{fkDCT}));
  TkvPDFNullObject null;
  EXPECT_TRUE(FilterKindsOf(&null).empty());
  EXPECT_TRUE(FilterKindsOf(nullptr).empty());
  TkvPDFIntegerObject i(1);
  EXPECT_EQ(MessageOf<EUnexpectedFilterObject>([&] { FilterKindsOf(&i); }),
            "Unexpected filter object, found (Integer Object)");
  chain.AddInteger(3);
  EXPECT_THROW(FilterKindsOf(&chain), rtl::EInvalidCast);
}

TEST(PDFUtils, DecodeStringFilter) {
  EXPECT_EQ(DecodeStringFilter(fkASCIIHex, "414243"), "ABC");
  EXPECT_EQ(DecodeStringFilter(fkASCIIHex, "414243\r\n"), "ABC");
  EXPECT_EQ(DecodeStringFilter(fkASCIIHex, "414243>\n"), "ABC");
  EXPECT_EQ(DecodeStringFilter(fkDCT, "\xFF\xD8\n"), "\xFF\xD8\n");
  EXPECT_EQ(DecodeStringFilter(fkRunLength, B({2, 'a', 'b', 'c', 128, '\n'})), "abc");
  EXPECT_EQ(MessageOf<EUnsupportedFilterError>([] { DecodeStringFilter(fkCCITTFax, "x"); }),
            "Unsupported filter");
}

TEST(PDFUtils, FlateDataEndingInLineEndBytesIsNotTrimmed) {
  // Find a payload whose zlib stream ends in LF or CR (its checksum's last
  // byte): trimming line ends from Flate data would corrupt it.
  TkvFlateFilter flate;
  std::string payload, encoded;
  for (int i = 0; i < 1024; ++i) {
    payload = "payload " + std::string(1, static_cast<char>(i % 256)) + std::to_string(i);
    flate.EncodeStringLevel(payload, lvDefault, encoded);
    if (encoded.back() == '\n' || encoded.back() == '\r') break;
  }
  ASSERT_TRUE(encoded.back() == '\n' || encoded.back() == '\r');
  EXPECT_EQ(DecodeStringFilter(fkFlate, encoded), payload);
  rtl::TStringStream s(encoded);
  TkvPDFNameObject name("/FlateDecode");
  EXPECT_EQ(DecodeFilterChain(s, &name)->DataString(), payload);
}

// The oracle: qpdf decodes the same stream objects of a generated file; our
// chain must give the same bytes.
TEST(PDFUtils, DecodeFilterChainMatchesQpdf) {
  TK_REQUIRE_TOOL("qpdf");
  // Python writes the encoded data so that neither side's encoder is used.
  const std::string script =
      "import base64,binascii,sys,zlib\n"
      "data=bytes(range(256))*8+b'end of data'\n"
      "sys.stdout.buffer.write(base64.a85encode(zlib.compress(data,9))+b'~>')\n";
  auto py = tk::test::RunTool({"/usr/bin/python3", "-c", script});
  ASSERT_EQ(py.exitCode, 0) << py.err;
  const std::string a85flate = py.out;
  const std::string hex = "48656C6C6F2C20776F726C64>";
  struct Case {
    const char* filter;
    std::string data;
  } cases[] = {
      {"[/ASCII85Decode /FlateDecode]", a85flate},
      {"/ASCIIHexDecode", hex},
      {"[/ASCIIHexDecode]", hex + "\n"},  // a /Length that counts the line end
  };
  tk::test::pdf::PdfBuilder b;
  b.Obj(1, "<< /Type /Catalog /Pages 2 0 R >>");
  b.Obj(2, "<< /Type /Pages /Kids [] /Count 0 >>");
  int num = 10;
  for (const auto& c : cases)
    b.Obj(num++, tk::test::pdf::PdfBuilder::Stream(c.data, " /Filter " + std::string(c.filter)));
  tk::test::ScratchDir dir;
  const auto file = dir / "filters.pdf";
  tk::test::WriteFileBytes(file, b.Build());
  num = 10;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.filter);
    auto q = tk::test::RunTool(
        {"qpdf", "--show-object=" + std::to_string(num++), "--filtered-stream-data", file.string()});
    ASSERT_EQ(q.exitCode, 0) << q.err;
    rtl::TStringStream src(c.data);
    src.SetPosition(5);  // the chain reads from position 0 whatever the position
    std::unique_ptr<TkvPDFObject> filter;
    if (c.filter[0] == '[') {
      auto a = std::make_unique<TkvPDFArrayObject>();
      std::string f = c.filter;
      for (size_t p = f.find('/'); p != std::string::npos; p = f.find('/', p + 1))
        a->Add(std::make_unique<TkvPDFNameObject>(f.substr(p, f.find_first_of(" ]", p) - p)));
      filter = std::move(a);
    } else {
      filter = std::make_unique<TkvPDFNameObject>(c.filter);
    }
    auto out = DecodeFilterChain(src, filter.get());
    EXPECT_EQ(out->DataString(), q.out);
    EXPECT_EQ(out->Position(), 0);
  }
}

TEST(PDFUtils, DecodeFilterChainWithoutFilterOrWithDCTCopies) {
  rtl::TStringStream s("raw\n");
  EXPECT_EQ(DecodeFilterChain(s, nullptr)->DataString(), "raw\n");
  TkvPDFNameObject dct("/DCTDecode");
  EXPECT_EQ(DecodeFilterChain(s, &dct)->DataString(), "raw\n");
  EXPECT_EQ(s.DataString(), "raw\n");  // the source is not changed
}

TEST(PDFUtils, LiteralText) {
  rtl::SetACP(rtl::CP_UTF8);
  struct Case {
    const char* name;
    std::string in, out;
  } cases[] = {
      {"UTF-16BE A", B({0xFE, 0xFF, 0x00, 0x41}), "A"},
      {"no mark: unchanged", "Plain \\ text", "Plain \\ text"},
      {"empty", "", ""},
      // U+305C has 0x5C as its low byte: it is data, not an escape.
      {"code unit with a backslash byte", B({0xFE, 0xFF, 0x30, 0x5C, 0x00, 0x42}),
       "\xE3\x81\x9C"
       "B"},
      {"TAB becomes ?", B({0xFE, 0xFF, 0x00, 0x09, 0x00, 0x0A}), "?\n"},
      {"odd trailing byte dropped", B({0xFE, 0xFF, 0x00, 0x43, 0x00}), "C"},
      {"surrogate pair kept whole", B({0xFE, 0xFF, 0xD8, 0x3D, 0xDE, 0x00}), "\xF0\x9F\x98\x80"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(DecodeLiteralText(c.in), c.out);
  }
}

TEST(PDFUtils, LiteralTextInShiftJIS) {
  rtl::SetACP(rtl::CP_SHIFTJIS);
  // U+3042 HIRAGANA A is 82 A0 in code page 932; U+00E9 has no 932 form.
  EXPECT_EQ(DecodeLiteralText(B({0xFE, 0xFF, 0x30, 0x42, 0x00, 0xE9})), "\x82\xA0?");
  rtl::SetACP(rtl::CP_UTF8);
}

TEST(PDFUtils, HexText) {
  rtl::SetACP(rtl::CP_UTF8);
  EXPECT_EQ(DecodeHexText("FEFF00410042"), u"AB");
  EXPECT_EQ(DecodeHexText("feff0041"), u"A");
  EXPECT_EQ(DecodeHexText("414243"), u"ABC");
  EXPECT_EQ(DecodeHexText("FEFF004"), u"");  // only complete groups
  // No length cap: 2,000 code units come back whole.
  std::string many = "FEFF";
  for (int i = 0; i < 2000; ++i) many += "0058";
  EXPECT_EQ(DecodeHexText(many), std::u16string(2000, u'X'));
  EXPECT_EQ(TkvPDFStringObject("<FEFF00410042>", true).AsWideText(), u"AB");
  EXPECT_EQ(TkvPDFStringObject("(" + B({0xFE, 0xFF, 0x00, 0x41}) + ")").AsWideText(), u"A");
}

TEST(PDFUtils, ResourceNames) {
  for (int i = 0; i < 20; ++i) {
    const std::string f = MakeFontResourceName(), img = MakeImageResourceName();
    ASSERT_EQ(f.rfind("/QXRFnt", 0), 0u);
    ASSERT_EQ(img.rfind("/QXRImg", 0), 0u);
    const std::string digits = f.substr(7);
    ASSERT_FALSE(digits.empty());
    EXPECT_EQ(digits.find_first_not_of("0123456789"), std::string::npos);
    EXPECT_LE(std::stoll(digits), 2147483646LL);
  }
  // Drawn from the run-time's generator: the same seed, the same names.
  rtl::SetRandSeed(1234);
  const std::string first = MakeFontResourceName();
  rtl::SetRandSeed(1234);
  EXPECT_EQ(MakeFontResourceName(), first);
}

TEST(PDFUtils, Operands) {
  const std::string da = "/Helv 12 Tf 0 g";
  int start = 0;
  const int tf = static_cast<int>(da.find("Tf")) + 1;
  EXPECT_EQ(OperandBefore(da, tf, start), "12");
  EXPECT_EQ(start, 6);
  EXPECT_EQ(OperandBefore(da, start, start), "/Helv");
  EXPECT_EQ(start, 0);
  EXPECT_EQ(OperandBefore(da, 1, start), "");

  const std::string rg = "1 0.5 0 rg";
  EXPECT_EQ(OperandsBefore(rg, static_cast<int>(rg.find("rg")) + 1, 3), "1 0.5 0");
  const std::string rg2 = "/F 1 0.5 0 rg";
  EXPECT_EQ(OperandsBefore(rg2, static_cast<int>(rg2.find("rg")) + 1, 3), " 1 0.5 0");
  EXPECT_EQ(OperandsBefore(rg, static_cast<int>(rg.find("rg")) + 1, 9), "1 0.5 0");  // stops at the start
}

TEST(PDFUtils, NameTables) {
  EXPECT_EQ(IndexOfName(PageModeNames, 3, "/FullScreen"), 3);
  EXPECT_EQ(IndexOfName(PageLayoutNames, 4, "/onecolumn"), -1);
  EXPECT_EQ(IndexOfName(DestinationKindNames, 7, "/FitBV"), 7);
  EXPECT_EQ(IndexOfName(ResourceCategoryNames, 7, "/XObject"), 1);
  EXPECT_EQ(IndexOfName(ObjectTypeNames, 11, "Indirect Object"), 11);
}

}  // namespace
