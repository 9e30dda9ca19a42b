#include "pdf/kvPDFInfo.h"

#include <charconv>

#include "pdf/kvCstPDFDoc.h"

namespace pdf {

namespace {

// The screen resolution of a headless run: the conversions of pixels use the
// common desktop value.
constexpr double kScreenPixelsPerInch = 96.0;

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// Optional sign and decimal digits, the whole text, within 32 bits.
bool ParseDecimal(const std::string& s, int32_t& value) {
  if (s.empty()) return false;
  const char* first = s.data();
  const char* last = s.data() + s.size();
  if (*first == '+') ++first;
  if (first == last) return false;
  auto [ptr, ec] = std::from_chars(first, last, value, 10);
  return ec == std::errc() && ptr == last;
}

int32_t StrictInt(const std::string& s) {
  int32_t v = 0;
  if (!ParseDecimal(s, v)) throw rtl::EConvertError(rtl::Format(rtl::SInvalidInteger, {s}));
  return v;
}

}  // namespace

double PointsToUnit(TkvMeasurementUnit unit, double points) {
  switch (unit) {
    case muPixels: return points * (kScreenPixelsPerInch / 72.0);
    case muPoints: return points;
    case muInches: return static_cast<double>(points / kPointsPerInch);
    case muMM: return static_cast<double>(points / kPointsPerMillimetre);
    case muTwips: return static_cast<double>(points / kPointsPerTwip);
  }
  return points;
}

double UnitToPoints(TkvMeasurementUnit unit, double value) {
  switch (unit) {
    case muPixels: return value / kScreenPixelsPerInch * 72.0;
    case muPoints: return value;
    case muInches: return static_cast<double>(value * kPointsPerInch);
    case muMM: return static_cast<double>(value * kPointsPerMillimetre);
    case muTwips: return static_cast<double>(value * kPointsPerTwip);
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

}  // namespace pdf
