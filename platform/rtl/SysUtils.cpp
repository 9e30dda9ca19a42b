#include "platform/rtl/SysUtils.h"

#include <charconv>
#include <cmath>

namespace rtl {

namespace {

std::string IntText(int64_t v, int base, bool upper) {
  char buf[32];
  auto res = std::to_chars(buf, buf + sizeof buf, v, base);
  std::string s(buf, res.ptr);
  if (upper)
    for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string FloatText(double v, char conv, int precision) {
  char buf[512];
  std::chars_format fmt = conv == 'f' ? std::chars_format::fixed
                          : conv == 'e' ? std::chars_format::scientific
                                        : std::chars_format::general;
  if (!std::isfinite(v)) return std::isnan(v) ? "NAN" : (v < 0 ? "-INF" : "INF");
  if (precision < 0) precision = conv == 'g' ? 15 : 2;
  auto res = std::to_chars(buf, buf + sizeof buf, v, fmt, precision);
  if (res.ec != std::errc()) return "0";
  return std::string(buf, res.ptr);
}

}  // namespace

std::string Format(const std::string& pattern, std::initializer_list<TVarRec> args) {
  std::string out;
  auto arg = args.begin();
  for (size_t i = 0; i < pattern.size(); ++i) {
    char c = pattern[i];
    if (c != '%') {
      out += c;
      continue;
    }
    if (++i >= pattern.size()) throw EConvertError("Format '" + pattern + "' invalid or incompatible with argument");
    if (pattern[i] == '%') {
      out += '%';
      continue;
    }
    bool left = false, zero = false;
    while (i < pattern.size() && (pattern[i] == '-' || pattern[i] == '0')) {
      (pattern[i] == '-' ? left : zero) = true;
      ++i;
    }
    int width = 0, precision = -1;
    while (i < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[i]))) width = width * 10 + (pattern[i++] - '0');
    if (i < pattern.size() && pattern[i] == '.') {
      precision = 0;
      ++i;
      while (i < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[i]))) precision = precision * 10 + (pattern[i++] - '0');
    }
    if (i >= pattern.size() || arg == args.end())
      throw EConvertError("Format '" + pattern + "' invalid or incompatible with argument");
    char conv = static_cast<char>(std::tolower(static_cast<unsigned char>(pattern[i])));
    const auto& v = arg->value();
    ++arg;
    std::string text;
    switch (conv) {
      case 'd':
      case 'u':
      case 'x': {
        if (!std::holds_alternative<int64_t>(v))
          throw EConvertError("Format '" + pattern + "' invalid or incompatible with argument");
        int64_t n = std::get<int64_t>(v);
        text = conv == 'x' ? IntText(n, 16, pattern[i] == 'X') : IntText(n, 10, false);
        // For %d the precision is a minimum digit count, as in the design's Format.
        if (precision > 0) {
          bool neg = !text.empty() && text[0] == '-';
          std::string digits = neg ? text.substr(1) : text;
          if (static_cast<int>(digits.size()) < precision) digits.insert(0, precision - digits.size(), '0');
          text = (neg ? "-" : "") + digits;
        }
        break;
      }
      case 'f':
      case 'g':
      case 'e': {
        double d;
        if (std::holds_alternative<double>(v)) d = std::get<double>(v);
        else if (std::holds_alternative<int64_t>(v)) d = static_cast<double>(std::get<int64_t>(v));
        else throw EConvertError("Format '" + pattern + "' invalid or incompatible with argument");
        text = FloatText(d, conv, precision);
        break;
      }
      case 's': {
        if (std::holds_alternative<std::string>(v)) text = std::get<std::string>(v);
        else if (std::holds_alternative<int64_t>(v)) text = IntText(std::get<int64_t>(v), 10, false);
        else text = FloatText(std::get<double>(v), 'g', -1);
        if (precision >= 0 && static_cast<int>(text.size()) > precision) text.resize(static_cast<size_t>(precision));
        break;
      }
      default:
        throw EConvertError("Format '" + pattern + "' invalid or incompatible with argument");
    }
    if (static_cast<int>(text.size()) < width) {
      size_t pad = static_cast<size_t>(width) - text.size();
      if (left) text.append(pad, ' ');
      else if (zero && conv != 's') {
        size_t at = (!text.empty() && text[0] == '-') ? 1 : 0;
        text.insert(at, pad, '0');
      } else text.insert(0, pad, ' ');
    }
    out += text;
  }
  return out;
}

}  // namespace rtl
