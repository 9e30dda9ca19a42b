#include "platform/rtl/CodePages.h"

#include <iconv.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/rtl/SysUtils.h"

namespace rtl {

namespace {

std::atomic<unsigned> g_acp{CP_UTF8};

unsigned Resolve(unsigned cp) {
  return cp == CP_ACP ? g_acp.load() : cp;
}

const char* IconvName(unsigned cp) {
  switch (cp) {
    case CP_UTF8:
      return "UTF-8";
    case CP_SHIFTJIS:
      return "CP932";
    case 1252:
      return "CP1252";
    case 28591:
      return "ISO-8859-1";
    default:
      return nullptr;
  }
}

// One conversion descriptor, closed with the object.
class Iconv {
 public:
  Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {
    if (cd_ == reinterpret_cast<iconv_t>(-1))
      throw EConvertError(std::string("No conversion from ") + from + " to " + to);
  }
  ~Iconv() { iconv_close(cd_); }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
  // Converts as much as it can; returns false on an invalid or incomplete
  // sequence at *in (errno tells which).
  bool Run(const char*& in, size_t& inLeft, std::string& out) {
    char buf[1024];
    while (inLeft > 0) {
      char* o = buf;
      size_t oLeft = sizeof buf;
      size_t r = iconv(cd_, const_cast<char**>(&in), &inLeft, &o, &oLeft);
      out.append(buf, static_cast<size_t>(o - buf));
      if (r == static_cast<size_t>(-1) && errno != E2BIG) return false;
    }
    return true;
  }
  void Reset() { iconv(cd_, nullptr, nullptr, nullptr, nullptr); }

 private:
  iconv_t cd_;
};

const char* NameOrThrow(unsigned cp) {
  const char* n = IconvName(cp);
  if (!n) throw EConvertError(Format("Code page %d is not supported", {cp}));
  return n;
}

size_t Utf8Length(const uint8_t* p, size_t left) {
  uint8_t b = p[0];
  size_t n = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 1;
  if (n > left) return 1;
  for (size_t k = 1; k < n; ++k)
    if ((p[k] & 0xC0) != 0x80) return 1;
  return n;
}

// Bytes of one (possibly invalid) character of code page cp at p.
size_t CharLen(unsigned cp, const uint8_t* p, size_t left) {
  if (cp == CP_UTF8) return Utf8Length(p, left);
  // A lead byte takes the next byte only when that can be a trail byte, so
  // that a broken character never swallows a quote or a delimiter.
  if (IsDBCSLeadByteEx(cp, p[0]) && left >= 2 &&
      ((p[1] >= 0x40 && p[1] <= 0x7E) || (p[1] >= 0x80 && p[1] <= 0xFC)))
    return 2;
  return 1;
}

// Decodes bytes into wide text; false on an invalid byte when strict.
bool Decode(unsigned cp, const char* src, size_t len, bool strict, std::u16string& out) {
  Iconv cv("UTF-16LE", NameOrThrow(cp));
  std::string bytes;
  const char* in = src;
  size_t left = len;
  while (!cv.Run(in, left, bytes)) {
    if (strict) return false;
    // Replace the bad character and go on after it.
    bytes.append("\xFD\xFF", 2);
    size_t skip = CharLen(cp, reinterpret_cast<const uint8_t*>(in), left);
    in += skip;
    left -= skip;
    cv.Reset();
  }
  out.resize(bytes.size() / 2);
  for (size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<char16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                   (static_cast<uint8_t>(bytes[2 * i + 1]) << 8));
  return true;
}

std::string Encode(unsigned cp, const char16_t* src, size_t len, const std::string& defaultChar,
                   bool* usedDefault) {
  std::string wide(len * 2, '\0');
  for (size_t i = 0; i < len; ++i) {
    wide[2 * i] = static_cast<char>(src[i] & 0xFF);
    wide[2 * i + 1] = static_cast<char>(src[i] >> 8);
  }
  Iconv cv(NameOrThrow(cp), "UTF-16LE");
  std::string out;
  const char* in = wide.data();
  size_t left = wide.size();
  if (usedDefault) *usedDefault = false;
  while (!cv.Run(in, left, out)) {
    out += defaultChar;
    if (usedDefault) *usedDefault = true;
    // Skip one code point: a surrogate pair counts as one, a lone half as one unit.
    uint16_t u = static_cast<uint16_t>(static_cast<uint8_t>(in[0]) | (static_cast<uint8_t>(in[1]) << 8));
    size_t skip = 2;
    if (u >= 0xD800 && u < 0xDC00 && left >= 4) {
      uint16_t v = static_cast<uint16_t>(static_cast<uint8_t>(in[2]) | (static_cast<uint8_t>(in[3]) << 8));
      if (v >= 0xDC00 && v < 0xE000) skip = 4;
    }
    if (skip > left) skip = left;
    in += skip;
    left -= skip;
    cv.Reset();
  }
  return out;
}

}  // namespace

unsigned GetACP() {
  return g_acp.load();
}

void SetACP(unsigned codePage) {
  if (codePage == CP_ACP || !IconvName(codePage))
    throw EConvertError(Format("Code page %d is not supported", {codePage}));
  g_acp.store(codePage);
}

bool IsDBCSLeadByteEx(unsigned codePage, uint8_t b) {
  if (Resolve(codePage) == CP_SHIFTJIS) return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
  return false;
}

bool IsDBCSLeadByte(uint8_t b) {
  return IsDBCSLeadByteEx(CP_ACP, b);
}

size_t CharByteLength(const std::string& s, size_t i) {
  if (i >= s.size()) return 1;
  return CharLen(GetACP(), reinterpret_cast<const uint8_t*>(s.data()) + i, s.size() - i);
}

int MultiByteToWideChar(unsigned codePage, uint32_t flags, const char* src, int srcLen, char16_t* dst,
                        int dstLen) {
  if (!src || dstLen < 0 || (dstLen > 0 && !dst)) return 0;
  size_t len = srcLen < 0 ? std::strlen(src) + 1 : static_cast<size_t>(srcLen);
  if (len == 0) return 0;
  std::u16string w;
  if (!Decode(Resolve(codePage), src, len, (flags & MB_ERR_INVALID_CHARS) != 0, w)) return 0;
  if (dstLen == 0) return static_cast<int>(w.size());
  if (w.size() > static_cast<size_t>(dstLen)) return 0;
  std::memcpy(dst, w.data(), w.size() * sizeof(char16_t));
  return static_cast<int>(w.size());
}

int WideCharToMultiByte(unsigned codePage, uint32_t, const char16_t* src, int srcLen, char* dst, int dstLen,
                        const char* defaultChar, bool* usedDefaultChar) {
  if (!src || dstLen < 0 || (dstLen > 0 && !dst)) return 0;
  size_t len = 0;
  if (srcLen < 0) {
    while (src[len]) ++len;
    ++len;
  } else {
    len = static_cast<size_t>(srcLen);
  }
  if (len == 0) return 0;
  std::string s = Encode(Resolve(codePage), src, len, defaultChar ? defaultChar : "?", usedDefaultChar);
  if (dstLen == 0) return static_cast<int>(s.size());
  if (s.size() > static_cast<size_t>(dstLen)) return 0;
  std::memcpy(dst, s.data(), s.size());
  return static_cast<int>(s.size());
}

std::u16string MultiByteToWide(const std::string& s, unsigned codePage) {
  std::u16string w;
  if (!s.empty()) Decode(Resolve(codePage), s.data(), s.size(), false, w);
  return w;
}

std::string WideToMultiByte(const std::u16string& w, unsigned codePage, bool* usedDefaultChar) {
  if (usedDefaultChar) *usedDefaultChar = false;
  if (w.empty()) return {};
  return Encode(Resolve(codePage), w.data(), w.size(), "?", usedDefaultChar);
}

}  // namespace rtl
