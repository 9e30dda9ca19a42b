#include "pdf/kvConsts.h"

#include <algorithm>
#include <cstring>

#include "platform/graphics/Graphics.h"
#include "platform/rtl/CodePages.h"
#include "platform/rtl/SysUtils.h"

namespace pdf {

int ScreenPixelsPerInch = graphics::ScreenPixelsPerInch();
double PixelsPerPoint = graphics::ScreenPixelsPerInch() / 72.0;

void SetScreenPixelsPerInch(int ppi) {
  if (ppi <= 0) ppi = graphics::ScreenPixelsPerInch();
  ScreenPixelsPerInch = ppi;
  PixelsPerPoint = ppi / 72.0;
}

namespace {

int HexDigit(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool IsOctal(unsigned char c) {
  return c >= '0' && c <= '7';
}

bool IsWordByte(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// The shared walk of both unescapers; put(byte) returns false to stop.
template <typename Put>
void Unescape(const std::string& s, bool letterEscapes, Put put) {
  const size_t n = s.size();
  size_t i = 0;
  while (i < n) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c != '\\' || i + 1 >= n) {
      if (!put(c)) return;
      ++i;
      continue;
    }
    unsigned char d = static_cast<unsigned char>(s[i + 1]);
    int out = -1;
    switch (d) {
      case '(':
        out = '(';
        break;
      case ')':
        out = ')';
        break;
      case '\\':
        out = '\\';
        break;
      case 'n':
        out = '\n';
        break;
      case 'r':
        out = '\r';
        break;
      case 't':
        out = '\t';
        break;
      case 'b':
        out = letterEscapes ? 8 : -1;
        break;
      case 'f':
        out = letterEscapes ? 12 : -1;
        break;
      default:
        break;
    }
    if (out >= 0) {
      if (!put(static_cast<unsigned char>(out))) return;
      i += 2;
    } else if (IsOctal(d)) {
      size_t j = i + 1;
      unsigned v = 0;
      while (j < n && j < i + 4 && IsOctal(static_cast<unsigned char>(s[j]))) v = v * 8 + (s[j++] - '0');
      if (!put(static_cast<unsigned char>(v & 0xFF))) return;
      i = j;
    } else {
      // Not an escape: the backslash stays and the next byte is read as text.
      if (!put('\\')) return;
      ++i;
    }
  }
}

}  // namespace

std::string EscapePDFString(const std::string& s) {
  std::string out;
  out.reserve(s.size() + s.size() / 8);
  for (unsigned char c : s) {
    switch (c) {
      case 8:
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case 12:
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      case '(':
        out += "\\(";
        break;
      case ')':
        out += "\\)";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        out.push_back(static_cast<char>(c));
        break;
    }
  }
  return out;
}

std::string UnescapePDFString(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  Unescape(s, true, [&](unsigned char c) {
    out.push_back(static_cast<char>(c));
    return true;
  });
  return out;
}

size_t UnescapePDFStringToBuffer(const std::string& s, uint8_t* buffer, size_t size) {
  size_t written = 0;
  if (!buffer || size == 0) return 0;
  Unescape(s, false, [&](unsigned char c) {
    if (written >= size) return false;
    buffer[written++] = c;
    return true;
  });
  return written;
}

void HexEncodeBytes(const uint8_t* source, char* dest, size_t count) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (size_t i = 0; i < count; ++i) {
    dest[2 * i] = kDigits[source[i] >> 4];
    dest[2 * i + 1] = kDigits[source[i] & 15];
  }
}

std::string StrToHexText(const std::string& s) {
  std::string out(s.size() * 2, '0');
  HexEncodeBytes(reinterpret_cast<const uint8_t*>(s.data()), out.data(), s.size());
  return out;
}

bool IsHexText(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return HexDigit(static_cast<unsigned char>(c)) >= 0; });
}

uint8_t HexTextToByte(const std::string& s, bool& failed) {
  failed = s.empty() || !IsHexText(s);
  if (failed) return 0;
  unsigned v = 0;
  for (char c : s) v = (v * 16 + static_cast<unsigned>(HexDigit(static_cast<unsigned char>(c)))) & 0xFF;
  return static_cast<uint8_t>(v);
}

namespace {
template <typename Put>
void HexPairs(const std::string& s, Put put) {
  int high = -1;
  for (unsigned char c : s) {
    int v = HexDigit(c);
    if (v < 0) continue;
    if (high < 0) {
      high = v;
    } else {
      put(static_cast<uint8_t>(high * 16 + v));
      high = -1;
    }
  }
  // PDF completes an odd final digit with 0.
  if (high >= 0) put(static_cast<uint8_t>(high * 16));
}
}  // namespace

std::string HexTextToString(const std::string& s) {
  std::string out;
  out.reserve(s.size() / 2 + 1);
  HexPairs(s, [&](uint8_t b) { out.push_back(static_cast<char>(b)); });
  return out;
}

std::vector<uint8_t> HexTextToBytes(const std::string& s) {
  std::vector<uint8_t> out;
  out.reserve(s.size() / 2 + 1);
  HexPairs(s, [&](uint8_t b) { out.push_back(b); });
  return out;
}

bool IsOctalText(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return IsOctal(static_cast<unsigned char>(c)); });
}

uint8_t OctalTextToByte(const std::string& s) {
  if (s.empty() || !IsOctalText(s)) return 0;
  unsigned v = 0;
  for (char c : s) v = (v * 8 + static_cast<unsigned>(c - '0')) & 0xFF;
  return static_cast<uint8_t>(v);
}

std::string HexByteToUnitText(const std::string& twoDigits) {
  bool failed = false;
  uint8_t v = HexTextToByte(twoDigits, failed);
  // rtl::Format never consults the locale: the separator is always ".".
  return rtl::Format("%1.4f", {failed ? 0.0 : v / 255.0});
}

std::string ColorToPDFRGB(int32_t color) {
  // System colours (negative values) name a colour of the desktop theme,
  // which this platform does not have: they come out black.
  uint32_t rgb = color < 0 ? 0 : static_cast<uint32_t>(color) & 0xFFFFFF;
  char hex[9];
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (int i = 0; i < 8; ++i) hex[i] = kDigits[(rgb >> (28 - 4 * i)) & 15];
  hex[8] = 0;
  // 0x00BBGGRR: red is the last pair, blue the second.
  std::string h(hex);
  return HexByteToUnitText(h.substr(6, 2)) + " " + HexByteToUnitText(h.substr(4, 2)) + " " +
         HexByteToUnitText(h.substr(2, 2));
}

double PixelsToPoints(double x) {
  return x / ScreenPixelsPerInch * 72;
}
double PointsToPixels(double x) {
  return x * PixelsPerPoint;
}
double DegreesToRadians(double x) {
  return x * 3.14159265358979323846 / 180;
}

void MeasureText(const std::string& text, const graphics::TFont& font, int32_t& width, int32_t& height) {
  MeasureText(rtl::MultiByteToWide(text), font, width, height);
}

void MeasureText(const std::u16string& text, const graphics::TFont& font, int32_t& width, int32_t& height) {
  graphics::TCanvas& screen = graphics::ScreenCanvas();
  graphics::TFont previous;
  previous.Assign(screen.Font());
  screen.SetFont(font);
  graphics::TSize extent;
  try {
    extent = screen.TextExtent(text);
  } catch (const rtl::Exception&) {
    // A machine without a single font: nothing to measure with.
  }
  screen.SetFont(previous);
  width = extent.cx;
  height = extent.cy;
}

std::string LeftChars(const std::string& s, int n) {
  if (n <= 0) return {};
  std::u16string w = rtl::MultiByteToWide(s);
  return rtl::WideToMultiByte(w.substr(0, static_cast<size_t>(n)));
}

std::string RightChars(const std::string& s, int n) {
  if (n <= 0) return {};
  std::u16string w = rtl::MultiByteToWide(s);
  size_t k = std::min(w.size(), static_cast<size_t>(n));
  return rtl::WideToMultiByte(w.substr(w.size() - k));
}

std::string MidChars(const std::string& s, int start, int count) {
  if (count <= 0) return {};
  std::u16string w = rtl::MultiByteToWide(s);
  size_t from = start < 1 ? 0 : static_cast<size_t>(start - 1);
  if (from >= w.size()) return {};
  return rtl::WideToMultiByte(w.substr(from, static_cast<size_t>(count)));
}

int FindFrom(const std::string& sub, const std::string& s, int start) {
  if (start < 1) start = 1;
  if (sub.empty() || static_cast<size_t>(start - 1) > s.size()) return 0;
  size_t p = s.find(sub, static_cast<size_t>(start - 1));
  return p == std::string::npos ? 0 : static_cast<int>(p + 1);
}

bool ContainsTextNoCase(const std::string& text, const std::string& sub) {
  return rtl::AnsiUpperCase(text).find(rtl::AnsiUpperCase(sub)) != std::string::npos;
}

std::string ReplaceAllNoCase(const std::string& s, const std::string& oldText, const std::string& newText) {
  if (oldText.empty()) return s;
  // Upper-casing maps letters byte for byte, so positions in the upper-cased
  // copy are positions in s.
  const std::string us = rtl::AnsiUpperCase(s);
  const std::string uo = rtl::AnsiUpperCase(oldText);
  std::string out;
  size_t from = 0;
  for (;;) {
    size_t p = us.find(uo, from);
    if (p == std::string::npos) break;
    out.append(s, from, p - from);
    out += newText;
    from = p + oldText.size();
  }
  out.append(s, from, std::string::npos);
  return out;
}

bool TryParseInt(const std::string& s, int32_t& v) {
  // Blanks may lead, as the settings' texts are typed; nothing may follow.
  return rtl::TryParseDecimal(s, v, rtl::lbSkipped);
}

int64_t SearchBuffer(const char* buffer, size_t length, size_t selStart, size_t selLength,
                     const std::string& text, bool down, bool wholeWord) {
  const size_t m = text.size();
  if (!buffer || m == 0 || m > length) return -1;
  auto matchesAt = [&](size_t p) {
    if (std::memcmp(buffer + p, text.data(), m) != 0) return false;
    if (!wholeWord) return true;
    if (p > 0 && IsWordByte(static_cast<unsigned char>(buffer[p - 1]))) return false;
    if (p + m < length && IsWordByte(static_cast<unsigned char>(buffer[p + m]))) return false;
    return true;
  };
  if (down) {
    size_t from = selStart > length ? length : selStart;
    from = selLength > length - from ? length : from + selLength;
    for (size_t p = from; p + m <= length; ++p)
      if (matchesAt(p)) return static_cast<int64_t>(p);
  } else {
    size_t start = std::min(selStart, length);
    if (start < m) return -1;
    size_t p = start - m;
    for (;;) {
      if (matchesAt(p)) return static_cast<int64_t>(p);
      if (p == 0) break;
      --p;
    }
  }
  return -1;
}

}  // namespace pdf
