#include "pdf/kvPDFInfo.h"

#include <charconv>

#include "pdf/kvCstPDFDoc.h"
#include "pdf/kvPDFObjects.h"
#include "platform/rtl/CodePages.h"

namespace pdf {

namespace {

// The screen resolution of a headless run: the conversions of pixels use the
// common desktop value.
constexpr double kScreenPixelsPerInch = 96.0;

bool IsBlank(char c) {
  return static_cast<unsigned char>(c) <= ' ';
}

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// A page number of a range: an optional sign and decimal digits, the whole
// item, within 32 bits. The blanks around the parts of "a-b" are trimmed
// before; a blank inside an item splits it.
bool ParseDecimal(const std::string& s, int32_t& value) {
  return rtl::TryParseDecimal(s, value, rtl::lbRefused);
}

int32_t StrictInt(const std::string& s) {
  int32_t v = 0;
  if (!ParseDecimal(s, v)) throw rtl::EConvertError(rtl::Format(rtl::SInvalidInteger, {s}));
  return v;
}

}  // namespace

double PointsToUnit(TkvMeasurementUnit unit, double points) {
  switch (unit) {
    case muPixels:
      return points * (kScreenPixelsPerInch / 72.0);
    case muPoints:
      return points;
    case muInches:
      return static_cast<double>(points / kPointsPerInch);
    case muMM:
      return static_cast<double>(points / kPointsPerMillimetre);
    case muTwips:
      return static_cast<double>(points / kPointsPerTwip);
  }
  return points;
}

double UnitToPoints(TkvMeasurementUnit unit, double value) {
  switch (unit) {
    case muPixels:
      return value / kScreenPixelsPerInch * 72.0;
    case muPoints:
      return value;
    case muInches:
      return static_cast<double>(value * kPointsPerInch);
    case muMM:
      return static_cast<double>(value * kPointsPerMillimetre);
    case muTwips:
      return static_cast<double>(value * kPointsPerTwip);
  }
  return value;
}

std::vector<std::string> SplitCommaText(const std::string& text) {
  std::vector<std::string> items;
  const size_t n = text.size();
  size_t p = 0;
  auto skipBlanks = [&] {
    while (p < n && IsBlank(text[p]) && text[p] != '\0') ++p;
  };
  skipBlanks();
  while (p < n && text[p] != '\0') {
    std::string item;
    if (text[p] == '"') {
      ++p;
      while (p < n) {
        if (text[p] == '"') {
          if (p + 1 < n && text[p + 1] == '"') {
            item += '"';
            p += 2;
            continue;
          }
          ++p;
          break;
        }
        item += text[p++];
      }
    } else {
      size_t start = p;
      while (p < n && !IsBlank(text[p]) && text[p] != ',') ++p;
      item = text.substr(start, p - start);
    }
    items.push_back(item);
    skipBlanks();
    if (p < n && text[p] == ',') {
      if (p + 1 >= n || text[p + 1] == '\0') items.emplace_back();
      do {
        ++p;
      } while (p < n && IsBlank(text[p]) && text[p] != '\0');
    }
  }
  return items;
}

void ParsePageRange(const std::string& text, int32_t pageCount, TkvPageNumbers& pages) {
  pages.clear();
  std::string range = text;
  if (range.empty()) {
    char buf[16];
    auto r = std::to_chars(buf, buf + sizeof buf, pageCount);
    range = "1-" + std::string(buf, r.ptr);
  }
  for (const std::string& item : SplitCommaText(range)) {
    const size_t dash = item.find('-');
    if (dash != std::string::npos) {
      const int32_t a = StrictInt(Trim(item.substr(0, dash)));
      const int32_t b = StrictInt(Trim(item.substr(dash + 1)));
      if (a < 1 || b < a || b > pageCount) throw EInvalidPageError(rtl::Format(SInvalidPageRange, {item}));
      for (int64_t i = a; i <= b; ++i) pages.push_back(static_cast<int32_t>(i));
    } else {
      int32_t v = 0;
      if (!ParseDecimal(item, v)) throw EInvalidPageError(rtl::Format(SInvalidPageRange, {item}));
      if (v < 1 || v > pageCount) throw EInvalidPageError(rtl::Format(SInvalidPageNumber, {v}));
      pages.push_back(v);
    }
  }
}

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Pairs of hexadecimal digits into bytes; other characters are skipped and a
// digit left alone at the end counts as followed by 0.
std::string HexBytes(const std::string& hex) {
  std::string out;
  int high = -1;
  for (char c : hex) {
    const int v = HexDigit(c);
    if (v < 0) continue;
    if (high < 0) {
      high = v;
    } else {
      out += static_cast<char>(high * 16 + v);
      high = -1;
    }
  }
  if (high >= 0) out += static_cast<char>(high * 16);
  return out;
}

}  // namespace

std::string StringBytes(const TkvPDFStringObject& s) {
  return s.IsHex ? HexBytes(s.Content()) : s.Content();
}

std::u16string DecodeTextString(const TkvPDFStringObject& s) {
  const std::string bytes = StringBytes(s);
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFE &&
      static_cast<unsigned char>(bytes[1]) == 0xFF) {
    std::u16string out;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2)
      out += static_cast<char16_t>((static_cast<unsigned char>(bytes[i]) << 8) |
                                   static_cast<unsigned char>(bytes[i + 1]));
    return out;
  }
  return rtl::MultiByteToWide(bytes);
}

std::string EncodeTextBytes(const std::u16string& text) {
  std::string out = "\xFE\xFF";
  for (char16_t c : text) {
    out += static_cast<char>(c >> 8);
    out += static_cast<char>(c & 0xFF);
  }
  return out;
}

TkvPDFInfo::TkvPDFInfo(TkvCustomPDFDocument* document)
    : infoDictionary_(std::make_unique<TkvPDFDictObject>()), document_(document) {}

TkvPDFInfo::~TkvPDFInfo() = default;

void TkvPDFInfo::SetInfoDictionary(std::unique_ptr<TkvPDFDictObject> dict) {
  infoDictionary_ = dict ? std::move(dict) : std::make_unique<TkvPDFDictObject>();
}

std::u16string TkvPDFInfo::GetText(const char* key, const std::u16string& cached) const {
  if (!cached.empty()) return cached;
  if (auto* s = dynamic_cast<const TkvPDFStringObject*>(infoDictionary_->Find(key)))
    return DecodeTextString(*s);
  return {};
}

void TkvPDFInfo::SetText(const char* key, std::u16string& cache, const std::u16string& value) {
  cache = value;
  infoDictionary_->SetValue(key, std::make_unique<TkvPDFStringObject>("(" + EncodeTextBytes(value) + ")"));
}

std::string TkvPDFInfo::GetDate(const char* key, const std::string& cached) const {
  if (!cached.empty()) return cached;
  if (auto* s = dynamic_cast<const TkvPDFStringObject*>(infoDictionary_->Find(key)))
    return rtl::WideToMultiByte(DecodeTextString(*s));
  return {};
}

// Dates are written as plain strings: a date in UTF-16 is not a date any
// reader parses.
void TkvPDFInfo::SetDate(const char* key, std::string& cache, const std::string& value) {
  cache = value;
  infoDictionary_->SetValue(key, std::make_unique<TkvPDFStringObject>("(" + value + ")"));
}

}  // namespace pdf
