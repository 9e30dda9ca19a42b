#include "pdf/kvPDFUtils.h"

#include <algorithm>
#include <limits>

#include "pdf/kvConsts.h"
#include "pdf/kvFilters.h"
#include "platform/rtl/CodePages.h"
#include "platform/rtl/Randoms.h"

namespace pdf {

TkvObjectKey KeyOf(const TkvPDFIndirectReference& ref) {
  return {ref.SourceID, ref.ObjNum, ref.GenNum};
}
TkvObjectKey KeyOf(const TkvPDFIndirectObject& obj) {
  return {obj.SourceID, obj.ObjNum, obj.GenNum};
}

std::string MessageExcerpt(const std::string& bytes, size_t max) {
  std::string out;
  for (size_t i = 0; i < bytes.size() && i < max; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    out.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.');
  }
  if (bytes.size() > max) out += "...";
  return out;
}

int DigitCount(int64_t n) {
  uint64_t u = n < 0 ? uint64_t(0) - uint64_t(n) : uint64_t(n);
  int d = 1;
  while (u >= 10) {
    u /= 10;
    ++d;
  }
  return d;
}

int64_t UniqueID(int32_t sourceID, int32_t objNum, int32_t genNum) {
  if (sourceID < 0 || objNum < 0 || genNum < 0) return -1;
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  auto shiftAdd = [&](int64_t acc, int64_t v) -> int64_t {
    if (acc < 0) return -1;
    for (int i = DigitCount(v); i > 0; --i) {
      if (acc > kMax / 10) return -1;
      acc *= 10;
    }
    if (acc > kMax - v) return -1;
    return acc + v;
  };
  return shiftAdd(shiftAdd(sourceID, objNum), genNum);
}

std::unique_ptr<TkvPDFIndirectReference> MakeReference(const TkvPDFIndirectObject& obj) {
  return std::make_unique<TkvPDFIndirectReference>(obj.SourceID, obj.ObjNum, obj.GenNum);
}

namespace {

// The names draw from the run-time library's generator, 0..2147483646.
int32_t RandomResourceNumber() {
  return rtl::Random(2147483647);
}

}  // namespace

}  // namespace pdf

// ---- numbers and rectangles --------------------------------------------------

namespace pdf {

double NumberValue(const TkvPDFObject* obj) {
  if (obj && obj->IsInteger()) return static_cast<const TkvPDFIntegerObject*>(obj)->Value;
  if (obj && obj->IsReal()) return static_cast<const TkvPDFRealObject*>(obj)->Value;
  throw kvPDFUtils::EUnexpectedObjectError(SUnexpectedPDFObject);
}

std::unique_ptr<TkvPDFRect> RectFromArray(const TkvPDFArrayObject& array) {
  auto r = std::make_unique<TkvPDFRect>();
  r->X1 = NumberValue(array.GetItem(0));
  r->Y1 = NumberValue(array.GetItem(1));
  r->X2 = NumberValue(array.GetItem(2));
  r->Y2 = NumberValue(array.GetItem(3));
  return r;
}

// ---- filters ------------------------------------------------------------------

TkvFilterKind FilterKindOf(const std::string& name) {
  static const struct {
    const char* name;
    TkvFilterKind kind;
  } kTable[] = {
      {"/ASCIIHexDecode", fkASCIIHex},   {"/ASCII85Decode", fkASCII85}, {"/FlateDecode", fkFlate},
      {"/RunLengthDecode", fkRunLength}, {"/DCTDecode", fkDCT},
  };
  for (const auto& e : kTable)
    if (name == e.name) return e.kind;
  // /LZWDecode among them: the library has no LZW decoder, and handing LZW
  // data to the Flate decoder would only fail later with a misleading error.
  throw EUnsupportedFilterError(rtl::Format(SUnsupportedFilterName, {name}));
}

TkvDecodeFilters FilterKindsOf(const TkvPDFObject* filter) {
  TkvDecodeFilters kinds;
  if (!filter || filter->IsNull()) return kinds;  // null: the entry is absent
  if (filter->IsName()) {
    kinds.push_back(FilterKindOf(static_cast<const TkvPDFNameObject*>(filter)->Text));
    return kinds;
  }
  if (filter->IsArray()) {
    const auto& a = static_cast<const TkvPDFArrayObject&>(*filter);
    for (int i = 0; i < a.Count(); ++i)
      kinds.push_back(FilterKindOf(a.GetItem(i)->As<TkvPDFNameObject>().Text));
    return kinds;
  }
  throw EUnexpectedFilterObject(rtl::Format(SUnexpectedFilterObject, {filter->TypeName()}));
}

namespace {

// Only the text filters and RunLength (whose data ends at its marker) lose
// trailing line ends: for Flate and DCT those bytes can be data (a zlib
// checksum ending in 0x0A), and removing them would corrupt the stream.
bool TrimsLineEnds(TkvFilterKind kind) {
  return kind == fkASCIIHex || kind == fkASCII85 || kind == fkRunLength;
}

std::unique_ptr<TkvFilter> FilterFor(TkvFilterKind kind) {
  switch (kind) {
    case fkASCIIHex:
      return std::make_unique<TkvAsciiHexFilter>();
    case fkASCII85:
      return std::make_unique<TkvAscii85Filter>();
    case fkFlate:
      return std::make_unique<TkvFlateFilter>();
    case fkRunLength:
      return std::make_unique<TkvRLEFilter>();
    default:
      throw EUnsupportedFilterError(SUnsupportedFilter);
  }
}

}  // namespace

std::string DecodeStringFilter(TkvFilterKind kind, const std::string& s) {
  if (kind == fkDCT) return s;
  auto filter = FilterFor(kind);
  std::string data = s;
  if (TrimsLineEnds(kind))
    while (!data.empty() && (data.back() == '\n' || data.back() == '\r')) data.pop_back();
  if (kind == fkASCIIHex && (data.empty() || data.back() != '>')) data.push_back('>');
  std::string out;
  filter->DecodeString(data, out);
  return out;
}

std::unique_ptr<rtl::TMemoryStream> DecodeStreamFilter(TkvFilterKind kind, rtl::TMemoryStream& data) {
  auto copy = [](rtl::TMemoryStream& m) {
    auto out = std::make_unique<rtl::TMemoryStream>();
    if (m.Size() > 0) out->WriteBuffer(m.Memory(), m.Size());
    out->SetPosition(0);
    return out;
  };
  if (kind == fkDCT) return copy(data);
  auto filter = FilterFor(kind);
  if (TrimsLineEnds(kind)) {
    int64_t n = data.Size();
    while (n > 0 && (data.Memory()[n - 1] == '\n' || data.Memory()[n - 1] == '\r')) --n;
    data.SetSize(n);
  }
  if (kind == fkASCIIHex && (data.Size() == 0 || data.Memory()[data.Size() - 1] != '>')) {
    data.Seek(0, rtl::soEnd);
    data.WriteString(">");
  }
  data.SetPosition(0);
  auto out = filter->DecodeStream(data);
  if (!out) throw EUnsupportedFilterError(SUnsupportedFilter);
  out->SetPosition(0);
  return out;
}

std::unique_ptr<rtl::TMemoryStream> DecodeFilterChain(rtl::TStream& source, const TkvPDFObject* filter) {
  auto result = std::make_unique<rtl::TMemoryStream>();
  source.SetPosition(0);
  const int64_t size = source.Size();
  if (size > 0) result->CopyFrom(source, size);
  result->SetPosition(0);
  for (TkvFilterKind kind : FilterKindsOf(filter)) {
    if (kind == fkDCT) continue;  // image data stays encoded
    result = DecodeStreamFilter(kind, *result);
  }
  result->SetPosition(0);
  return result;
}

// ---- text strings -------------------------------------------------------------

namespace {

// Whether the conversion of one character may be shown. In code page 932 it
// must be a valid single- or double-byte character; in other code pages
// any converted character but control characters other than CR and LF.
bool IsShowable(const std::string& s, bool usedDefault) {
  if (s.empty() || usedDefault) return false;
  const auto b0 = static_cast<uint8_t>(s[0]);
  if (s.size() == 1) {
    if (b0 == '\n' || b0 == '\r') return true;
    if (b0 >= 0x20 && b0 <= 0x7E) return true;
    return rtl::GetACP() == rtl::CP_SHIFTJIS ? (b0 >= 0xA1 && b0 <= 0xDF) : b0 >= 0x80;
  }
  if (rtl::GetACP() != rtl::CP_SHIFTJIS) return true;
  const auto b1 = static_cast<uint8_t>(s[1]);
  return ((b0 >= 0x80 && b0 <= 0x9F) || (b0 >= 0xE0 && b0 <= 0xFC)) &&
         ((b1 >= 0x40 && b1 <= 0x7E) || (b1 >= 0x80 && b1 <= 0xFC));
}

}  // namespace

std::string DecodeLiteralText(const std::string& content) {
  if (content.size() < 2 || static_cast<uint8_t>(content[0]) != 0xFE ||
      static_cast<uint8_t>(content[1]) != 0xFF)
    return content;
  // The reader has already resolved every escape: the bytes after the mark
  // are the code units themselves (a 0x5C byte is data, not an escape).
  std::string out;
  const size_t n = (content.size() - 2) / 2;
  for (size_t i = 0; i < n; ++i) {
    char16_t u = static_cast<char16_t>((static_cast<uint8_t>(content[2 + 2 * i]) << 8) |
                                       static_cast<uint8_t>(content[3 + 2 * i]));
    std::u16string w(1, u);
    // A surrogate pair is one character: convert both halves together.
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n) {
      char16_t lo = static_cast<char16_t>((static_cast<uint8_t>(content[4 + 2 * i]) << 8) |
                                          static_cast<uint8_t>(content[5 + 2 * i]));
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        w.push_back(lo);
        ++i;
      }
    }
    bool usedDefault = false;
    std::string a = rtl::WideToMultiByte(w, rtl::CP_ACP, &usedDefault);
    out += IsShowable(a, usedDefault) ? a : std::string("?");
  }
  return out;
}

std::u16string DecodeHexText(const std::string& content) {
  if (content.size() >= 4 && rtl::UpperCase(content.substr(0, 4)) == "FEFF") {
    // Every complete group of four digits is one code unit; the rest is
    // dropped. There is no cap on the length.
    std::u16string out;
    unsigned unit = 0;
    int digits = 0;
    for (size_t i = 4; i < content.size(); ++i) {
      bool failed = false;
      const uint8_t v = HexTextToByte(content.substr(i, 1), failed);
      if (failed) continue;
      unit = unit * 16 + v;
      if (++digits == 4) {
        out.push_back(static_cast<char16_t>(unit));
        unit = 0;
        digits = 0;
      }
    }
    return out;
  }
  return rtl::MultiByteToWide(HexTextToString(content));
}

// ---- resource names -----------------------------------------------------------

std::string MakeFontResourceName() {
  return "/QXRFnt" + std::to_string(RandomResourceNumber());
}
std::string MakeImageResourceName() {
  return "/QXRImg" + std::to_string(RandomResourceNumber());
}

// ---- operands -----------------------------------------------------------------

namespace {
bool IsSep(char c) {
  return c == ' ' || c == '\r' || c == '\n';
}
}  // namespace

std::string OperandBefore(const std::string& text, int position, int& start) {
  // i is a 0-based index; position is 1-based, the character before it is
  // text[position - 2].
  long i = std::min<long>(position, static_cast<long>(text.size()) + 1) - 2;
  while (i >= 0 && IsSep(text[static_cast<size_t>(i)])) --i;
  const long end = i;
  while (i >= 0 && !IsSep(text[static_cast<size_t>(i)])) --i;
  start = static_cast<int>(i + 1);  // 1-based index of the separator, 0 at the start
  return end < 0 ? std::string() : text.substr(static_cast<size_t>(i + 1), static_cast<size_t>(end - i));
}

std::string OperandsBefore(const std::string& text, int position, int count) {
  long i = std::min<long>(position, static_cast<long>(text.size()) + 1) - 2;
  while (i >= 0 && IsSep(text[static_cast<size_t>(i)])) --i;
  std::string out;
  for (int k = 0; k < count && i >= 0; ++k) {
    const long end = i;
    while (i >= 0 && !IsSep(text[static_cast<size_t>(i)])) --i;
    std::string word = text.substr(static_cast<size_t>(i + 1), static_cast<size_t>(end - i));
    // The separator the word was found after becomes one space; the start of
    // the text gives none.
    out.insert(0, (i >= 0 ? " " : "") + word);
    if (i >= 0) --i;  // past the one separator
  }
  return out;
}

int IndexOfName(const char* const* table, int lastIndex, const std::string& name) {
  for (int i = 0; i <= lastIndex; ++i)
    if (name == table[i]) return i;
  return -1;
}

}  // namespace pdf
