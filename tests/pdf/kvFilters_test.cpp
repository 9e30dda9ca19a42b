#include "pdf/kvFilters.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>

#include "support/TestSupport.h"

namespace {

using namespace std::string_literals;

std::string Hex(const std::string& s) {
  static const char* d = "0123456789ABCDEF";
  std::string r;
  for (unsigned char c : s) {
    r += d[c >> 4];
    r += d[c & 15];
    r += ' ';
  }
  if (!r.empty()) r.pop_back();
  return r;
}

using tk::test::Bytes;

std::string Decode(pdf::TkvFilter& f, const std::string& in) {
  std::string out;
  f.DecodeString(in, out);
  return out;
}

std::string Encode(pdf::TkvFilter& f, const std::string& in) {
  std::string out;
  f.EncodeString(in, out);
  return out;
}

std::string ErrorOf(pdf::TkvFilter& f, const std::string& in) {
  try {
    Decode(f, in);
  } catch (const rtl::Exception& e) {
    return e.Message;
  }
  return "(no error)";
}

std::vector<std::string> RandomInputs() {
  std::vector<std::string> v = {""s,     "\0"s,  "\0\0\0\0"s, "\0\0\0\0\0"s, "\xFF\xFF\xFF\xFF"s,
                                "Man "s, "Man"s, "Ma"s,       "M"s};
  std::mt19937 rng(42);
  for (int i = 0; i < 40; ++i) {
    std::string s(rng() % 300, '\0');
    // Mix runs, zero words and noise.
    for (size_t j = 0; j < s.size(); ++j)
      s[j] = static_cast<char>((rng() % 3 == 0) ? 0 : (rng() % 4 == 0 ? 'a' : rng()));
    v.push_back(s);
  }
  return v;
}

// ---- ASCIIHex ----

TEST(kvFilters, AsciiHexDecodeCases) {
  pdf::TkvAsciiHexFilter f;
  const struct {
    std::string in, out;
  } cases[] = {
      {"4142>", "AB"},          {"41 42\n>", "AB"},     {"414>", "A@"},
      {"4a4B>", "\x4A\x4B"},    {"41>42>", "A"},        {">", ""},
      {"4142>\r\n", "AB"},      {"4142> \t\r\n", "AB"}, {"7>", "\x70"},
      {"\t4\r1\f4\n2 >", "AB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(Decode(f, c.in), c.out);
  }
}

TEST(kvFilters, AsciiHexErrors) {
  pdf::TkvAsciiHexFilter f;
  const struct {
    std::string in, msg;
  } cases[] = {{"41G2>", "Illeagal character within stream"},
               {"4142", "EndOfData marker is wrong"},
               {"", "EndOfData marker is wrong"},
               {"4142>x", "EndOfData marker is wrong"},
               {"<4142>", "Illeagal character within stream"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(ErrorOf(f, c.in), c.msg);
  }
}

TEST(kvFilters, AsciiHexEncodeAndStreamPositions) {
  pdf::TkvAsciiHexFilter f;
  EXPECT_EQ(Encode(f, "abc"), "616263>");
  EXPECT_EQ(Encode(f, "\xff\x00"s), "FF00>");
  rtl::TStringStream src("abc");
  src.SetPosition(2);  // the whole source is taken whatever its position
  auto enc = f.EncodeStream(src);
  ASSERT_TRUE(enc);
  EXPECT_EQ(enc->DataString(), "616263>");
  EXPECT_EQ(enc->Position(), enc->Size());
  auto dec = f.DecodeStream(*enc);
  EXPECT_EQ(dec->DataString(), "abc");
  EXPECT_EQ(dec->Position(), dec->Size());
  EXPECT_EQ(f.EncodeStreamLevel(src, pdf::lvMax), nullptr);
}

// ---- ASCII85 ----

TEST(kvFilters, Ascii85DecodeCases) {
  pdf::TkvAscii85Filter f;
  const struct {
    std::string in, out;
  } cases[] = {
      {"z~>", "\0\0\0\0"s},
      {"9jqo^~>", "Man "},
      {"9jqo~>", "Man"},
      {"9jn~>", "Ma"},
      {"!<<~>", "\x01\x00"s},
      {"~>", ""},
      {"9jqo^~>\r\n", "Man "},
      {"9j qo\n^~>  ", "Man "},
      {"s8W-!~>", "\xFF\xFF\xFF\xFF"},
      {"zz~>", std::string(8, '\0')},
      {"s8W*~>", "\xFF\xFF\xFF"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(Hex(Decode(f, c.in)), Hex(c.out));
  }
}

TEST(kvFilters, Ascii85Errors) {
  pdf::TkvAscii85Filter f;
  const struct {
    std::string in, msg;
  } cases[] = {
      {"!!z!!!~>", "\"z\" found at inappropriate position"},
      {"9jqo^9~>", "Single Final Character"},
      {"<~9jqo^~>", "Illeagal character within stream"},
      {"9jqo^", "EndOfData marker is wrong"},
      {"9jqo^~", "EndOfData marker is wrong"},
      {"", "EndOfData marker is wrong"},
      {"9jqo^~>x", "EndOfData marker is wrong"},
      {"9jqv^~>", "Illeagal character within stream"},
      // Groups above 2^32 - 1 cannot come from any four bytes.
      {"uuuuu~>", "ASCII85 group exceeds 32 bits"},
      {"s8W-\"~>", "ASCII85 group exceeds 32 bits"},
      {"uuu~>", "ASCII85 group exceeds 32 bits"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(ErrorOf(f, c.in), c.msg);
  }
}

TEST(kvFilters, Ascii85EncodeCases) {
  pdf::TkvAscii85Filter f;
  const struct {
    std::string in, out;
  } cases[] = {{"Man ", "9jqo^~>"}, {"Man", "9jqo~>"}, {"\0\0\0\0"s, "z~>"},
               {"", "~>"},          {"\0"s, "!!~>"},   {"\0\0\0\0\0"s, "z!!~>"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(Hex(c.in));
    EXPECT_EQ(Encode(f, c.in), c.out);
  }
}

// Python's codecs are the independent oracle for both text filters.
TEST(kvFilters, AsciiFiltersAgreeWithPython) {
  TK_REQUIRE_TOOL("/usr/bin/python3");
  const auto inputs = RandomInputs();
  std::string script =
      "import sys, base64, binascii\n"
      "for line in sys.stdin.read().split('\\n'):\n"
      "    if line == '': continue\n"
      "    b = bytes.fromhex(line[1:])\n"
      "    print(base64.a85encode(b).decode() + '~>', binascii.hexlify(b).decode().upper() + '>')\n";
  std::string input;
  for (const auto& s : inputs) {
    input += "x";
    for (unsigned char c : s) {
      static const char* d = "0123456789abcdef";
      input += d[c >> 4];
      input += d[c & 15];
    }
    input += "\n";
  }
  auto r = tk::test::RunTool({"/usr/bin/python3", "-c", script}, input);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::istringstream lines(r.out);
  pdf::TkvAscii85Filter a85;
  pdf::TkvAsciiHexFilter hex;
  for (const auto& s : inputs) {
    SCOPED_TRACE(Hex(s));
    std::string ea, eh;
    ASSERT_TRUE(lines >> ea >> eh);
    EXPECT_EQ(Encode(a85, s), ea);
    EXPECT_EQ(Decode(a85, ea), s);
    EXPECT_EQ(Encode(hex, s), eh);
    EXPECT_EQ(Decode(hex, eh), s);
  }
}

// ---- RunLength ----

TEST(kvFilters, RunLengthEncodeExamplesAndRoundTrip) {
  pdf::TkvRLEFilter f;
  const struct {
    std::string in, out;
  } cases[] = {
      {"A", Bytes({0x00, 0x41, 0x80})},
      {"AAB", Bytes({0xFF, 0x41, 0x00, 0x42, 0x80})},
      {"ABBBC", Bytes({0x00, 0x41, 0xFE, 0x42, 0x00, 0x43, 0x80})},
      {"ABBC", Bytes({0x03, 0x41, 0x42, 0x42, 0x43, 0x80})},
      {"ABBCC", Bytes({0x00, 0x41, 0xFF, 0x42, 0xFF, 0x43, 0x80})},
      {std::string(129, 'A'), Bytes({0x81, 0x41, 0x00, 0x41, 0x80})},
      {std::string(130, 'A'), Bytes({0x81, 0x41, 0xFF, 0x41, 0x80})},
      {"", Bytes({0x80})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Hex(c.in));
    EXPECT_EQ(Hex(Encode(f, c.in)), Hex(c.out));
    EXPECT_EQ(Decode(f, c.out), c.in);
  }
  for (const auto& s : RandomInputs()) {
    SCOPED_TRACE(Hex(s));
    EXPECT_EQ(Decode(f, Encode(f, s)), s);
  }
  // Long literal stretches split at 128 bytes.
  std::string lit;
  for (int i = 0; i < 300; ++i) lit.push_back(static_cast<char>(i % 251 + (i % 2)));
  EXPECT_EQ(Decode(f, Encode(f, lit)), lit);
}

TEST(kvFilters, RunLengthErrors) {
  pdf::TkvRLEFilter f;
  const struct {
    std::string in, msg;
  } cases[] = {
      {Bytes({0x05, 0x41, 0x80}), "Unexpected EndOfFile found"},
      {Bytes({0xFE, 0x80}), "Unexpected EndOfFile found"},
      {Bytes({0x00, 0x41, 0x80, 0x80}), "Premature EndOfData Marker found"},
      {Bytes({0x00, 0x41}), "EndOfData Marker is wrong"},
      {"", "EndOfData Marker is wrong"},
      // 16 MiB of run pairs would decode to just over 1 GiB.
      {[] {
         std::string bomb;
         for (int k = 0; k < (1 << 23) + 1; ++k) bomb += Bytes({0x81, 0x00});
         return bomb + Bytes({0x80});
       }(),
       "RunLength data decodes to more than the size limit"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Hex(c.in));
    EXPECT_EQ(ErrorOf(f, c.in), c.msg);
  }
  rtl::TStringStream src(Bytes({0x00, 0x41, 0x80}));
  auto d = f.DecodeStream(src);
  EXPECT_EQ(d->DataString(), "A");
  EXPECT_EQ(d->Position(), 0);
}

// ---- Flate ----

std::string ZlibCompress(const std::string& s, int level) {
  uLongf len = compressBound(s.size());
  std::string out(len, '\0');
  compress2(reinterpret_cast<Bytef*>(out.data()), &len, reinterpret_cast<const Bytef*>(s.data()), s.size(),
            level);
  out.resize(len);
  return out;
}

TEST(kvFilters, FlateEncodeMatchesZlibAndDecodesEverySize) {
  pdf::TkvFlateFilter f;
  std::mt19937 rng(9);
  for (size_t size :
       {size_t{0}, size_t{1}, size_t{10239}, size_t{10240}, size_t{20480}, size_t{10241}, size_t{300000}}) {
    SCOPED_TRACE(size);
    std::string data(size, '\0');
    for (auto& c : data) c = static_cast<char>(rng() % 16);
    std::string enc;
    f.EncodeStringLevel(data, pdf::lvMax, enc);
    EXPECT_EQ(enc, ZlibCompress(data, 9));
    EXPECT_EQ(Decode(f, enc), data);
    rtl::TStringStream src(enc);
    auto dec = f.DecodeStream(src);
    EXPECT_EQ(dec->DataString(), data);
    EXPECT_EQ(dec->Position(), 0);
    auto encs = f.EncodeStreamLevel(src, pdf::lvFastest);
    EXPECT_EQ(encs->DataString(), ZlibCompress(enc, 1));
    EXPECT_EQ(encs->Position(), 0);
  }
  rtl::TStringStream src("x");
  EXPECT_EQ(f.EncodeStream(src), nullptr);
  std::string r = "keep";
  f.EncodeString("x", r);
  EXPECT_EQ(r, "");
}

TEST(kvFilters, FlateDamagedDataRaisesCompressionError) {
  pdf::TkvFlateFilter f;
  EXPECT_THROW(Decode(f, "garbage"), pdf::ECompressionError);
  // Trailing line ends after the data, as /Length often counts them.
  EXPECT_EQ(Decode(f, ZlibCompress("hello", 6) + "\r\n"), "hello");
}

}  // namespace

namespace {

// A PDF with the given objects (numbered from 1, object 1 the catalog) and
// a cross-reference table whose offsets are computed.
std::string BuildPdf(const std::vector<std::string>& objects) {
  std::string pdf = "%PDF-1.4\n";
  std::vector<size_t> offsets;
  for (size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (size_t o : offsets) {
    const std::string n = std::to_string(o);
    pdf += std::string(10 - n.size(), '0') + n + " 00000 n \n";
  }
  pdf += "trailer\n<</Size " + std::to_string(objects.size() + 1) + "/Root 1 0 R>>\nstartxref\n" +
         std::to_string(xref) + "\n%%EOF\n";
  return pdf;
}

std::string StreamObject(const std::string& filter, const std::string& data) {
  return "<</Length " + std::to_string(data.size()) + "/Filter " + filter + ">>\nstream\n" + data +
         "\nendstream";
}

std::unique_ptr<pdf::TkvFilter> FilterNamed(const std::string& name) {
  if (name == "/FlateDecode") return std::make_unique<pdf::TkvFlateFilter>();
  if (name == "/ASCIIHexDecode") return std::make_unique<pdf::TkvAsciiHexFilter>();
  if (name == "/ASCII85Decode") return std::make_unique<pdf::TkvAscii85Filter>();
  if (name == "/RunLengthDecode") return std::make_unique<pdf::TkvRLEFilter>();
  return nullptr;
}

std::string EncodeWith(const std::string& name, const std::string& data) {
  auto f = FilterNamed(name);
  std::string out;
  if (name == "/FlateDecode")
    f->EncodeStringLevel(data, pdf::lvDefault, out);
  else
    f->EncodeString(data, out);
  return out;
}

// Our encoders' output and a few hand-written encodings, in single filters
// and filter arrays: qpdf's decoding and ours must agree with the data.
TEST(kvFilters, DecodingAgreesWithQpdf) {
  TK_REQUIRE_TOOL("qpdf");
  std::mt19937 rng(11);
  std::string data(5000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 300 < 100 ? 'A' : rng());
  const struct {
    const char* name;
    std::vector<std::string> filters;  // in decoding order
    std::string encoded;               // empty: encode data with our encoders
    std::string plain;
  } cases[] = {
      {"flate", {"/FlateDecode"}, "", data},
      {"asciihex", {"/ASCIIHexDecode"}, "", data},
      {"ascii85", {"/ASCII85Decode"}, "", data},
      {"runlength", {"/RunLengthDecode"}, "", data},
      {"a85 of flate", {"/ASCII85Decode", "/FlateDecode"}, "", data},
      {"hex of runlength", {"/ASCIIHexDecode", "/RunLengthDecode"}, "", data},
      {"hex of a85 of flate", {"/ASCIIHexDecode", "/ASCII85Decode", "/FlateDecode"}, "", data},
      {"hex lower case, blanks, odd digit", {"/ASCIIHexDecode"}, "48 65\n6c6C 6f7>", "Hello\x70"},
      {"a85 with z, line breaks and a final partial group",
       {"/ASCII85Decode"},
       "87cURD]i,\"Ebo80\nz!<<~>",
       "Hello World!\0\0\0\0\x01\x00"s},
      {"a85 with a line end after the marker", {"/ASCII85Decode"}, "9jqo^~>\r\n", "Man "},
      {"runlength by hand", {"/RunLengthDecode"}, Bytes({0x02, 'a', 'b', 'c', 0xFD, 'x', 0x80}), "abcxxxx"},
  };
  tk::test::ScratchDir dir;
  std::vector<std::string> objects = {"<</Type/Catalog/Pages 2 0 R>>", "<</Type/Pages/Kids[]/Count 0>>"};
  std::vector<std::string> encodedOf;
  for (const auto& c : cases) {
    std::string enc = c.encoded;
    if (enc.empty()) {
      enc = c.plain;
      for (auto it = c.filters.rbegin(); it != c.filters.rend(); ++it) enc = EncodeWith(*it, enc);
    }
    std::string filter;
    if (c.filters.size() == 1) {
      filter = c.filters[0];
    } else {
      filter = "[";
      for (const auto& f : c.filters) filter += f + " ";
      filter += "]";
    }
    objects.push_back(StreamObject(filter, enc));
    encodedOf.push_back(enc);
  }
  const auto file = dir / "filters.pdf";
  tk::test::WriteFileBytes(file, BuildPdf(objects));
  ASSERT_EQ(tk::test::RunTool({"qpdf", "--check", file.string()}).exitCode, 0);
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE(c.name);
    const auto q = tk::test::RunTool(
        {"qpdf", "--show-object=" + std::to_string(i + 3), "--filtered-stream-data", file.string()});
    ASSERT_EQ(q.exitCode, 0) << q.err;
    EXPECT_EQ(Hex(q.out), Hex(c.plain));
    std::string ours = encodedOf[i];
    for (const auto& f : c.filters) ours = Decode(*FilterNamed(f), ours);
    EXPECT_EQ(Hex(ours), Hex(q.out));
  }
}

}  // namespace
