#include "pdf/kvPDFParsers.h"

#include <gtest/gtest.h>

#include <functional>

#include "pdf/PdfFixture.h"
#include "pdf/kvConsts.h"
#include "pdf/kvPDFCrypt.h"
#include "support/TestSupport.h"

namespace {

using namespace pdf;

// A reader over its own copy of the text.
struct Reader {
  explicit Reader(const std::string& text, int32_t sourceID = 100) : stream(text), r(sourceID, &stream) {}
  rtl::TStringStream stream;
  TkvPDFStreamReader r;
};

std::unique_ptr<TkvPDFObject> Parse(const std::string& text) {
  Reader rd(text);
  return rd.r.ReadObject();
}

// Kind of exception a parse raised, by class name; "" when none.
std::string ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const rtl::Exception& e) {
    return e.ClassName();
  }
  return "";
}

TEST(Tokenizer, TokensCommentsAndPeek) {
  Reader rd("  % comment\r\n  abc/def 12 %x\n[");
  rd.r.SkipWhitespace();
  EXPECT_EQ(rd.r.PeekToken(), "abc");
  EXPECT_EQ(rd.r.ReadToken(), "abc");
  EXPECT_EQ(rd.r.ReadToken(), "/def");
  EXPECT_EQ(rd.r.ReadToken(), "12");
  EXPECT_EQ(rd.r.PeekChar(), '[');  // the comment was skipped like whitespace
}

// A short text of a parsed value: numbers, names, references, arrays and
// dictionaries.
std::string Describe(const TkvPDFObject& o) {
  switch (o.ObjectType) {
    case otName:
      return o.As<TkvPDFNameObject>().Text;
    case otIndirectReference: {
      const auto& r = o.As<TkvPDFIndirectReference>();
      return std::to_string(r.ObjNum) + " " + std::to_string(r.GenNum) + " R";
    }
    case otArray: {
      std::string t = "[";
      const auto& a = o.As<TkvPDFArrayObject>();
      for (int i = 0; i < a.Count(); ++i) t += " " + Describe(*a.GetItem(i));
      return t + " ]";
    }
    case otDict: {
      std::string t = "<<";
      const auto& d = o.As<TkvPDFDictObject>();
      for (int i = 0; i < d.Count(); ++i) t += " " + d.KeyAt(i)->Text + " " + Describe(*d.ValueAt(i));
      return t + " >>";
    }
    default:
      return o.ValueText();
  }
}

// NUL and form feed are white space like the other four: between tokens,
// after a name, around a keyword.
TEST(Tokenizer, NulAndFormFeedAreWhiteSpace) {
  using namespace std::string_literals;
  struct Case {
    const char* name;
    std::string text;
    std::string value;  // ValueText of what is read
  } cases[] = {
      {"array items",
       "[1\0"
       "2\f3\f\0]"s,
       "[ 1 2 3 ]"},
      {"dictionary",
       "<<\f/A\0"
       "1\0/B\f/C>>"s,
       "<< /A 1 /B /C >>"},
      {"name before a name", "[/A\0/B\f/C]"s, "[ /A /B /C ]"},
      {"reference",
       "5\0"
       "0\fR"s,
       "5 0 R"},
      {"leading",
       "\0\f\0"
       "42"s,
       "42"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto o = Parse(c.text);
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(Describe(*o), c.value);
  }
  Reader obj(
      "7\0"
      "0\fobj\0<< /A 1 >>\fendobj"s);
  auto io = obj.r.ReadObject();
  ASSERT_TRUE(io && io->IsIndirectObject());
  EXPECT_EQ(io->As<TkvPDFIndirectObject>().ObjNum, 7);
  Reader ff("\x0c\0 1"s);
  ff.r.SkipWhitespace();
  EXPECT_EQ(ff.r.Position(), 3);
}

// A damaged file's bytes reach a message as a few printable characters at
// most, never as a run of binary data.
TEST(Parser, MessagesQuoteAFewPrintableCharacters) {
  using namespace std::string_literals;
  const std::string binary = "\x01\x02\x7f\xfe"s + std::string(300, 'z');
  struct Case {
    const char* name;
    std::function<void(TkvPDFStreamReader&)> step;
    std::string text;
  } cases[] = {
      {"number token", [](TkvPDFStreamReader& r) { r.ReadObject(); }, "-" + binary},
      {"header", [](TkvPDFStreamReader& r) { r.ReadHeaderVersion(); }, binary},
      {"string opener", [](TkvPDFStreamReader& r) { r.ReadStringObject(); }, binary},
      {"array closer", [](TkvPDFStreamReader& r) { r.ReadArrayObject(); }, "\x01"s},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reader rd(c.text);
    try {
      c.step(rd.r);
      ADD_FAILURE() << "no exception";
    } catch (const rtl::Exception& e) {
      EXPECT_LT(e.Message.size(), 80u) << e.Message;
      for (char ch : e.Message) EXPECT_TRUE(ch >= 0x20 && ch < 0x7f) << e.Message;
    }
  }
}

TEST(Parser, Scalars) {
  struct Case {
    const char* text;
    TkvPDFObjectType type;
    std::string value;  // ValueText, or Text for strings and names
  } cases[] = {
      {"true", otBoolean, "true"},
      {"false", otBoolean, "false"},
      {"null", otNull, ""},
      {"12", otInteger, "12"},
      {"-7", otInteger, "-7"},
      {"+7", otInteger, "7"},
      {"2147483648", otInt64, "2147483648"},
      {"-2147483649", otInt64, "-2147483649"},
      {"3.25", otReal, "3.25"},
      {"-.5", otReal, "-0.5"},
      {"4.", otReal, "4"},
      {"1.2.3", otString, "1.2.3"},  // two points: a string whose Text is the token
      {"/Name#20x", otName, "/Name#20x"},
      {"/A/B", otName, "/A"},
      {"(a(b)c)", otString, "(a(b)c)"},  // balanced parentheses kept
      {"(Report (final))", otString, "(Report (final))"},
      {"(\\(x)", otString, "((x)"},
      {"(a\\\r\nb)", otString, "(ab)"},
      {"(a\\\nb)", otString, "(ab)"},
      {"(\\101\\n)", otString, "(A\n)"},
      {"<41 42>", otString, "<41 42>"},
      {"<>", otString, "<>"},
      {"()", otString, "()"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto o = Parse(c.text);
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(o->ObjectType, c.type);
    if (c.type == otString)
      EXPECT_EQ(o->As<TkvPDFStringObject>().Text, c.value);
    else if (c.type == otName)
      EXPECT_EQ(o->As<TkvPDFNameObject>().Text, c.value);
    else
      EXPECT_EQ(o->ValueText(), c.value);
  }
  EXPECT_TRUE(Parse("<41 42>")->As<TkvPDFStringObject>().IsHex);
  EXPECT_FALSE(Parse("(x)")->As<TkvPDFStringObject>().IsHex);
}

TEST(Parser, ReferencesAndIndirectObjects) {
  auto ref = Parse("12 0 R");
  ASSERT_TRUE(ref->IsReference());
  EXPECT_EQ(ref->As<TkvPDFIndirectReference>().SourceID, 100);
  EXPECT_EQ(ref->As<TkvPDFIndirectReference>().ObjNum, 12);
  EXPECT_EQ(ref->As<TkvPDFIndirectReference>().GenNum, 0);

  // A lower-case r: three objects, one after another.
  Reader rd("12 0 r");
  EXPECT_EQ(rd.r.ReadObject()->As<TkvPDFIntegerObject>().Value, 12);
  EXPECT_EQ(rd.r.ReadObject()->As<TkvPDFIntegerObject>().Value, 0);
  EXPECT_EQ(ErrorOf([&] { rd.r.ReadObject(); }), "EConvertError");

  Reader obj("7 2 OBJ << /Length 3 >>\nstream\nabc\nendstream\nendobj");
  auto io = obj.r.ReadObject();
  ASSERT_TRUE(io->IsIndirectObject());
  auto& ind = io->As<TkvPDFIndirectObject>();
  EXPECT_EQ(ind.ObjNum, 7);
  EXPECT_EQ(ind.GenNum, 2);
  EXPECT_EQ(ind.RefCount, 0);
  EXPECT_EQ(obj.r.CurrentObjNum, 7);
  EXPECT_EQ(obj.r.CurrentGenNum, 2);
  ASSERT_TRUE(ind.Value->IsStream());
  auto& s = ind.Value->As<TkvPDFStreamObject>();
  EXPECT_EQ(s.Data, nullptr);  // the body is read separately
  auto data = obj.r.ReadStreamData(3, 7, 2);
  EXPECT_EQ(data->DataString(), "abc");
  EXPECT_EQ(obj.r.PeekToken(), "endobj");
}

TEST(Parser, ArraysAndDictionaries) {
  auto a = Parse("[1 [2 3] /N (s) << /K 4 >> 5 0 R]");
  auto& arr = a->As<TkvPDFArrayObject>();
  ASSERT_EQ(arr.Count(), 6);
  EXPECT_EQ(arr.GetItem(1)->As<TkvPDFArrayObject>().Count(), 2);
  EXPECT_TRUE(arr.GetItem(5)->IsReference());
  EXPECT_EQ(Parse("[]")->As<TkvPDFArrayObject>().Count(), 0);
  EXPECT_EQ(Parse("[ ]")->As<TkvPDFArrayObject>().Count(), 0);

  auto d = Parse("<</A 1/A 2/B[3]/C<</D/E>>>>");
  auto& dict = d->As<TkvPDFDictObject>();
  ASSERT_EQ(dict.Count(), 4);  // duplicates kept in order
  EXPECT_EQ(dict.Find("/A")->As<TkvPDFIntegerObject>().Value, 1);
  EXPECT_EQ(dict.ValueAt(1)->As<TkvPDFIntegerObject>().Value, 2);
  EXPECT_EQ(dict.Find("/C")->As<TkvPDFDictObject>().Find("/D")->As<TkvPDFNameObject>().Text, "/E");
  EXPECT_EQ(Parse("<< /K (v)>>")->As<TkvPDFDictObject>().Count(), 1);
  // A key directly before ">>" is an absent entry, not a null pointer.
  auto k = Parse("<< /A 1 /B >>");
  ASSERT_EQ(k->As<TkvPDFDictObject>().Count(), 1);
  EXPECT_EQ(k->As<TkvPDFDictObject>().Find("/B"), nullptr);
}

TEST(Parser, MalformedInput) {
  struct Case {
    const char* name;
    std::string text;
    const char* error;
  } cases[] = {
      {"bad false", "fals", "EBooleanError"},
      {"bad true", "trux", "EBooleanError"},
      {"bad null", "nul", "ENullObjectError"},
      {"exponent", "1E5", "EConvertError"},
      // PDF numbers are decimal: the run-time library's "$" and "0x" are text.
      {"dollar hexadecimal", "$10", "EConvertError"},
      {"0x hexadecimal", "0x10", "EConvertError"},
      {"two signs", "+-1", "EConvertError"},
      {"unterminated string", "(abc", "EStringReadError"},
      {"string ends after backslash", "(abc\\", "EStringReadError"},
      {"unterminated hex", "<4142", "EStringReadError"},
      {"unterminated array", "[1 2", "EArrayReadError"},
      {"unterminated dict", "<< /A 1", "EDictionaryReadError"},
      {"dict key not a name", "<< 1 2 >>", "ENameReadError"},
      {"dict closed by one >", "<< /A 1 > >>", "ENameReadError"},
      {"deep arrays", std::string(5000, '['), "EArrayReadError"},
      {"deep dicts",
       [] {
         std::string s;
         for (int i = 0; i < 3000; ++i) s += "<</A ";
         return s;
       }(),
       "EDictionaryReadError"},
      {"nested obj", "1 0 obj 2 0 obj 3 endobj endobj", "EUnexpectedError"},
      {"obj in array", "[1 0 obj 2 endobj]", "EUnexpectedError"},
      {"obj without value", "1 0 obj", "EUnexpectedError"},
      {"negative object number", "-1 0 R", "EInvalidObjectNo"},
      {"generation above 65535", "1 65536 R", "EInvalidObjectNo"},
      {"reference to non-integer", "a 0 R", "EConvertError"},
      {"stream on non-dictionary", "1 0 obj [1] stream", "EStreamReadError"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ErrorOf([&] { Parse(c.text); }), c.error);
  }
  // At the end of the data and at a closing delimiter there is no object.
  for (const char* t : {"", "   ", ")", "]", ">", "}"}) EXPECT_EQ(Parse(t), nullptr) << t;
}

TEST(Parser, DeepButAllowedNesting) {
  const int depth = TkvPDFStreamReader::kMaxNestingDepth;
  auto o = Parse(std::string(depth, '[') + std::string(depth, ']'));
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(ErrorOf([&] { Parse(std::string(depth + 1, '[') + std::string(depth + 1, ']')); }),
            "EArrayReadError");
}

TEST(Parser, StreamData) {
  struct Case {
    const char* name;
    std::string text;
    int64_t length;
    std::string data;  // expected data, or the error class after "!"
  } cases[] = {
      {"CR LF after keyword", " stream\r\nabc\r\nendstream", 3, "abc"},
      {"spaces before line end", "stream  \nabc endstream", 3, "abc"},
      {"length 0", "stream\nendstream", 0, ""},
      {"length 0 still needs endstream", "stream\nendobj", 0, "!EEndStreamError"},
      {"length 1 directly at endstream", "stream\nendstream", 1, ""},
      {"negative length", "stream\nabc\nendstream", -1, "!EStreamReadError"},
      {"length beyond the data", "stream\nabc\nendstream", 1LL << 40, "!EStreamReadError"},
      {"length short by one", "stream\nabcd\nendstream", 3, "!EEndStreamError"},
      {"no stream keyword", "strem\nabc", 3, "!EStreamReadError"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reader rd(c.text);
    // Skipping a body makes the same checks and finds the same bytes.
    Reader skip(c.text);
    int64_t at = -1;
    if (c.data.rfind("!", 0) == 0) {
      EXPECT_EQ(ErrorOf([&] { rd.r.ReadStreamData(c.length, 1, 0); }), c.data.substr(1));
      EXPECT_EQ(ErrorOf([&] { skip.r.SkipStreamData(c.length, at); }), c.data.substr(1));
    } else {
      EXPECT_EQ(rd.r.ReadStreamData(c.length, 1, 0)->DataString(), c.data);
      const int64_t n = skip.r.SkipStreamData(c.length, at);
      EXPECT_EQ(c.text.substr(static_cast<size_t>(at), static_cast<size_t>(n)), c.data);
      EXPECT_EQ(skip.r.Position(), rd.r.Position());
    }
  }
}

TEST(Parser, StartXRefTrailerAndHeader) {
  const std::string file = tk::test::pdf::SimpleDocument(2).Build();
  Reader rd(file);
  EXPECT_EQ(rd.r.ReadHeaderVersion(), 4);
  const int32_t xref = rd.r.FindStartXRef();
  EXPECT_EQ(xref, tk::test::pdf::LastStartXRef(file));
  rd.r.SetPosition(xref);
  auto trailer = rd.r.ReadTrailer();
  EXPECT_EQ(trailer->Find("/Size")->As<TkvPDFIntegerObject>().Value, 12);
  {
    // Text after the entries, with a "t" in it, is no trailer keyword.
    Reader junk("xref\n0 1\n0000000000 65535 f don't panic\ntrailer << /Size 1 >>");
    EXPECT_EQ(junk.r.ReadTrailer()->Find("/Size")->As<TkvPDFIntegerObject>().Value, 1);
  }
  EXPECT_EQ(trailer->Find("/Root")->As<TkvPDFIndirectReference>().ObjNum, 1);

  // The last whole-word "startxref" counts, also over a file stream.
  tk::test::ScratchDir dir;
  tk::test::WriteFileBytes(dir / "a.pdf", "%PDF-1.7\nstartxref\n9\nxstartxref 3\n%%EOF");
  rtl::TFileStream fs((dir / "a.pdf").string(), rtl::fmOpenRead);
  TkvPDFStreamReader fr(1, &fs);
  EXPECT_EQ(fr.FindStartXRef(), 9);
  EXPECT_EQ(fr.ReadHeaderVersion(), 5);
  {
    // A file stream is searched from its end, not read whole: the keyword
    // far before the end is still found, and a word of which only the
    // "startxref" lies at the searched tail's edge is still no keyword.
    const std::string head = "%PDF-1.7\nstartxref\n9\nx";
    struct Case {
      const char* name;
      std::string text;
    } cases[] = {
        {"far from the end", head.substr(0, head.size() - 1) + "%%EOF" + std::string(100000, ' ')},
        {"false word at the edge", head + "startxref 3" + std::string(4096 - 11, ' ')},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      tk::test::WriteFileBytes(dir / "b.pdf", c.text);
      rtl::TFileStream bs((dir / "b.pdf").string(), rtl::fmOpenRead);
      TkvPDFStreamReader br(1, &bs);
      EXPECT_EQ(br.FindStartXRef(), 9);
    }
  }
  // Any white space before the offset, NUL and form feed included.
  Reader spaced("%PDF-1.4\nstartxref \r\n\t\f" + std::string(1, '\0') + "9\n%%EOF");
  EXPECT_EQ(spaced.r.FindStartXRef(), 9);

  struct Case {
    const char* name;
    std::string text;
    const char* error;
  } cases[] = {
      {"no startxref", "%PDF-1.4\n%%EOF", "EOffsetError"},
      {"no digits", "%PDF-1.4\nstartxref\n%%EOF", "EOffsetError"},
      {"offset beyond the file", "%PDF-1.4\nstartxref\n99999\n%%EOF", "EOffsetError"},
      {"offset overflows", "%PDF-1.4\nstartxref\n99999999999999999999\n%%EOF", "EOffsetError"},
      {"negative offset", "%PDF-1.4\nstartxref\n-9\n%%EOF", "EOffsetError"},
      {"digits only after the end marker", "%PDF-1.4\nstartxref\n%%EOF\n1 0 obj", "EOffsetError"},
      {"a word before the digits", "%PDF-1.4\nstartxref\noops 9\n%%EOF", "EOffsetError"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reader r(c.text);
    EXPECT_EQ(ErrorOf([&] { r.r.FindStartXRef(); }), c.error);
  }
}

TEST(Parser, TrailerErrors) {
  struct Case {
    const char* name;
    std::string text;
    const char* error;
  } cases[] = {
      {"no trailer", "xref\n0 1\n0000000000 65535 f\r\n", "ETrailerError"},
      {"misspelt", "xref\n0 0\ntrailor << >>", "ETrailerError"},
      {"not a dictionary", "xref\n0 0\ntrailer [1]", "ETrailerError"},
      {"cross-reference stream", "12 0 obj << /Type /XRef /Length 0 >>", "EUnsupportedXRefError"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reader r(c.text);
    EXPECT_EQ(ErrorOf([&] { r.r.ReadTrailer(); }), c.error);
  }
  Reader r("7 0 obj << /Type /XRef >>");
  try {
    r.r.ReadTrailer();
  } catch (const ETrailerError& e) {
    EXPECT_STREQ(e.what(), "Cross-reference streams and object streams (PDF 1.5) are not supported");
  }
}

TEST(Parser, HeaderVersions) {
  struct Case {
    const char* text;
    int version;  // -1: EInvalidHeader, -2: EConvertError
  } cases[] = {{"%PDF-1.0\n", 0}, {"%PDF-1.3\n", 3}, {"%PDF-1.7\n", 5}, {"%PDF-1.9", 5}, {"%PDF-2.0\n", -1},
               {" %PDF-1.4", -1}, {"%PDF-1.x", -2},  {"%PDF-1.", -2},   {"", -1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Reader r(c.text);
    if (c.version >= 0)
      EXPECT_EQ(r.r.ReadHeaderVersion(), c.version);
    else
      EXPECT_EQ(ErrorOf([&] { r.r.ReadHeaderVersion(); }),
                c.version == -1 ? "EInvalidHeader" : "EConvertError");
  }
  // A header cut short, or with a line end for its digit, names the header.
  for (const char* text : {"%PDF-1.", "%PDF-1.\n1 0 obj"}) {
    Reader r(text);
    try {
      r.r.ReadHeaderVersion();
      ADD_FAILURE() << "no exception";
    } catch (const rtl::EConvertError& e) {
      EXPECT_NE(e.Message.find("PDF header"), std::string::npos) << e.Message;
    }
  }
  Reader bad("%PDX-1.4 rest");
  try {
    bad.r.ReadHeaderVersion();
  } catch (const EInvalidHeader& e) {
    EXPECT_STREQ(e.what(), "Invalid PDF Header (%PDX-1.)");
  }
}

// Decryption through the security handler, against a file qpdf encrypted:
// the strings and the stream the reader decrypts are those qpdf shows.
TEST(Parser, StringsAndStreamsDecryptedPerObject) {
  TK_REQUIRE_TOOL("qpdf");
  tk::test::pdf::PdfBuilder b = tk::test::pdf::SimpleDocument(1);
  b.Obj(2, "<< /Title (Report (final)) /Subject <48656C6C6F> /Producer (probe) >>");
  b.Obj(4, tk::test::pdf::PdfBuilder::Stream("BT /F1 12 Tf (Hi) Tj ET"));
  b.Obj(1, "<< /Type /Catalog /Pages 3 0 R /Extra 4 0 R >>");
  tk::test::ScratchDir dir;
  tk::test::WriteFileBytes(dir / "plain.pdf", b.Build());
  const auto enc = dir / "enc.pdf";
  auto q = tk::test::RunTool({"qpdf", "--allow-weak-crypto", "--object-streams=disable", "--encrypt", "user",
                              "owner", "128", "--use-aes=n", "--", "--compress-streams=n",
                              (dir / "plain.pdf").string(), enc.string()});
  ASSERT_EQ(q.exitCode, 0) << q.err;
  const std::string file = tk::test::ReadFileBytes(enc);

  Reader rd(file, 7);
  rd.r.SetPosition(rd.r.FindStartXRef());
  auto trailer = rd.r.ReadTrailer();
  const int encNum = trailer->Find("/Encrypt")->As<TkvPDFIndirectReference>().ObjNum;
  const std::string id0 =
      trailer->Find("/ID")->As<TkvPDFArrayObject>().GetItem(0)->As<TkvPDFStringObject>().Content();

  // Find objects by number through the file's table: here simply by search.
  auto objectAt = [&](int num) {
    const std::string head = "\n" + std::to_string(num) + " 0 obj";
    size_t p = file.find(head);
    EXPECT_NE(p, std::string::npos);
    rd.r.SetPosition(static_cast<int64_t>(p + 1));
    return rd.r.ReadObject();
  };
  auto encObj = objectAt(encNum);
  auto& ed = encObj->As<TkvPDFIndirectObject>().Value->As<TkvPDFDictObject>();
  auto bytesOf = [](const TkvPDFObject* o) {
    const auto& s = o->As<TkvPDFStringObject>();
    return s.IsHex ? HexTextToString(s.Content()) : s.Content();
  };
  TkvPDFDecrypt dec;
  dec.SetEncryptionParameters(
      "/Standard", ed.Find("/V")->As<TkvPDFIntegerObject>().Value,
      ed.Find("/R")->As<TkvPDFIntegerObject>().Value,
      ed.Find("/Length") ? std::optional<int64_t>(ed.Find("/Length")->As<TkvPDFIntegerObject>().Value)
                         : std::nullopt);
  dec.SetFileID(HexTextToString(id0));
  dec.SetOwnerKey(bytesOf(ed.Find("/O")));
  dec.SetUserKey(bytesOf(ed.Find("/U")));
  dec.SetPermissionValue(ed.Find("/P")->As<TkvPDFIntegerObject>().Value);
  ASSERT_TRUE(dec.AuthenticateUser("user"));
  rd.r.Decryptor = &dec;
  rd.r.EncryptObjNum = encNum;
  rd.r.EncryptGenNum = 0;

  auto info = objectAt(trailer->Find("/Info")->As<TkvPDFIndirectReference>().ObjNum);
  auto& id = info->As<TkvPDFIndirectObject>().Value->As<TkvPDFDictObject>();
  EXPECT_EQ(id.Find("/Title")->As<TkvPDFStringObject>().Content(), "Report (final)");
  EXPECT_EQ(id.Find("/Subject")->As<TkvPDFStringObject>().Text, "(Hello)");  // decrypted hex becomes literal
  EXPECT_FALSE(id.Find("/Subject")->As<TkvPDFStringObject>().IsHex);

  // The stream (qpdf renumbers: follow the catalog's /Extra) read with its
  // own object's key.
  auto root = objectAt(trailer->Find("/Root")->As<TkvPDFIndirectReference>().ObjNum);
  const int sNum = root->As<TkvPDFIndirectObject>()
                       .Value->As<TkvPDFDictObject>()
                       .Find("/Extra")
                       ->As<TkvPDFIndirectReference>()
                       .ObjNum;
  auto s = objectAt(sNum);
  const int len = s->As<TkvPDFIndirectObject>()
                      .Value->As<TkvPDFStreamObject>()
                      .Dict->Find("/Length")
                      ->As<TkvPDFIntegerObject>()
                      .Value;
  auto data = rd.r.ReadStreamData(len, sNum, 0);
  auto shown = tk::test::RunTool({"qpdf", "--password=user", "--show-object=" + std::to_string(sNum),
                                  "--raw-stream-data", enc.string()});
  ASSERT_EQ(shown.exitCode, 0) << shown.err;
  EXPECT_EQ(data->DataString(), shown.out);
  EXPECT_EQ(data->DataString(), "BT /F1 12 Tf (Hi) Tj ET");

  // The /Encrypt dictionary's own strings stay as stored.
  auto again = objectAt(encNum);
  EXPECT_EQ(bytesOf(again->As<TkvPDFIndirectObject>().Value->As<TkvPDFDictObject>().Find("/O")),
            bytesOf(ed.Find("/O")));
}

}  // namespace
