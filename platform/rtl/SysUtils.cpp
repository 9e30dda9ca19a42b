#include "platform/rtl/SysUtils.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "platform/rtl/CodePages.h"
#include "platform/rtl/Handles.h"

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
  std::chars_format fmt = conv == 'f'   ? std::chars_format::fixed
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
    if (++i >= pattern.size())
      throw EConvertError("Format '" + pattern + "' invalid or incompatible with argument");
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
    while (i < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[i])))
      width = width * 10 + (pattern[i++] - '0');
    if (i < pattern.size() && pattern[i] == '.') {
      precision = 0;
      ++i;
      while (i < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[i])))
        precision = precision * 10 + (pattern[i++] - '0');
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
        if (std::holds_alternative<double>(v))
          d = std::get<double>(v);
        else if (std::holds_alternative<int64_t>(v))
          d = static_cast<double>(std::get<int64_t>(v));
        else
          throw EConvertError("Format '" + pattern + "' invalid or incompatible with argument");
        text = FloatText(d, conv, precision);
        break;
      }
      case 's': {
        if (std::holds_alternative<std::string>(v))
          text = std::get<std::string>(v);
        else if (std::holds_alternative<int64_t>(v))
          text = IntText(std::get<int64_t>(v), 10, false);
        else
          text = FloatText(std::get<double>(v), 'g', -1);
        if (precision >= 0 && static_cast<int>(text.size()) > precision)
          text.resize(static_cast<size_t>(precision));
        break;
      }
      default:
        throw EConvertError("Format '" + pattern + "' invalid or incompatible with argument");
    }
    if (static_cast<int>(text.size()) < width) {
      size_t pad = static_cast<size_t>(width) - text.size();
      if (left)
        text.append(pad, ' ');
      else if (zero && conv != 's') {
        size_t at = (!text.empty() && text[0] == '-') ? 1 : 0;
        text.insert(at, pad, '0');
      } else
        text.insert(0, pad, ' ');
    }
    out += text;
  }
  return out;
}

}  // namespace rtl

namespace rtl {

namespace {

bool IsBlank(char c) {
  return static_cast<unsigned char>(c) <= ' ';
}
char AsciiUpper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}
char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

// Parses the whole of s as an integer of the design's syntax.
bool ParseInt64(const std::string& s, int64_t& out) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  bool neg = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
  int base = 10;
  if (i < s.size() && s[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= s.size()) return false;
  uint64_t mag = 0;
  const char* first = s.data() + i;
  const char* last = s.data() + s.size();
  auto res = std::from_chars(first, last, mag, base);
  if (res.ec != std::errc() || res.ptr != last) return false;
  if (neg) {
    if (mag > static_cast<uint64_t>(INT64_MAX) + 1) return false;
    out = static_cast<int64_t>(0 - mag);
  } else {
    // Hexadecimal text may give the full 64-bit pattern, as in the design.
    if (base == 10 && mag > static_cast<uint64_t>(INT64_MAX)) return false;
    out = static_cast<int64_t>(mag);
  }
  return true;
}

template <typename T>
bool ParseDecimal(std::string_view s, T& value, TLeadingBlanks blanks) {
  size_t i = 0;
  if (blanks == lbSkipped)
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  // from_chars takes a "-" but no "+"; a sign after the "+" is refused by it.
  if (i < s.size() && s[i] == '+' && i + 1 < s.size() && s[i + 1] != '-') ++i;
  const char* first = s.data() + i;
  const char* last = s.data() + s.size();
  T v{};
  auto [ptr, ec] = std::from_chars(first, last, v, 10);
  if (first == last || ec != std::errc() || ptr != last) return false;
  value = v;
  return true;
}

}  // namespace

bool TryParseDecimal(std::string_view s, int32_t& value, TLeadingBlanks blanks) {
  return ParseDecimal(s, value, blanks);
}

bool TryParseDecimal(std::string_view s, int64_t& value, TLeadingBlanks blanks) {
  return ParseDecimal(s, value, blanks);
}

std::string IntToStr(int64_t value) {
  return IntText(value, 10, false);
}

std::string IntToHex(int64_t value, int digits) {
  char buf[32];
  auto res = std::to_chars(buf, buf + sizeof buf, static_cast<uint64_t>(value), 16);
  std::string s(buf, res.ptr);
  for (auto& c : s) c = AsciiUpper(c);
  if (static_cast<int>(s.size()) < digits) s.insert(0, static_cast<size_t>(digits) - s.size(), '0');
  return s;
}

bool TryStrToInt64(const std::string& s, int64_t& value) {
  return ParseInt64(s, value);
}

bool TryStrToInt(const std::string& s, int& value) {
  int64_t v;
  if (!ParseInt64(s, v)) return false;
  // Hexadecimal text up to 8 digits may set the sign bit, as in the design.
  if (v > INT32_MAX && v <= static_cast<int64_t>(UINT32_MAX) && s.find_first_of("$xX") != std::string::npos)
    v = static_cast<int32_t>(static_cast<uint32_t>(v));
  if (v < INT32_MIN || v > INT32_MAX) return false;
  value = static_cast<int>(v);
  return true;
}

int StrToInt(const std::string& s) {
  int v;
  if (!TryStrToInt(s, v)) throw EConvertError(Format(SInvalidInteger, {s}));
  return v;
}

int64_t StrToInt64(const std::string& s) {
  int64_t v;
  if (!ParseInt64(s, v)) throw EConvertError(Format(SInvalidInteger, {s}));
  return v;
}

int StrToIntDef(const std::string& s, int defaultValue) {
  int v;
  return TryStrToInt(s, v) ? v : defaultValue;
}

int64_t StrToInt64Def(const std::string& s, int64_t defaultValue) {
  int64_t v;
  return ParseInt64(s, v) ? v : defaultValue;
}

std::string FloatToStr(double value) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
  std::string s(buf, res.ptr);
  // "1e+20" -> "1E20", "1.5e-07" -> "1.5E-7".
  size_t e = s.find('e');
  if (e != std::string::npos) {
    std::string mant = s.substr(0, e);
    std::string ex = s.substr(e + 1);
    bool neg = !ex.empty() && ex[0] == '-';
    if (!ex.empty() && (ex[0] == '+' || ex[0] == '-')) ex.erase(0, 1);
    while (ex.size() > 1 && ex[0] == '0') ex.erase(0, 1);
    s = mant + "E" + (neg ? "-" : "") + ex;
  }
  if (s == "-0") s = "0";
  return s;
}

bool TryStrToFloat(const std::string& s, double& value) {
  std::string t = Trim(s);
  if (t.empty()) return false;
  const char* first = t.data();
  const char* last = t.data() + t.size();
  if (*first == '+') ++first;
  if (first == last || *first == '+') return false;
  double v;
  auto res = std::from_chars(first, last, v, std::chars_format::general);
  if (res.ec != std::errc() || res.ptr != last) return false;
  value = v;
  return true;
}

double StrToFloat(const std::string& s) {
  double v;
  if (!TryStrToFloat(s, v)) throw EConvertError(Format(SInvalidFloat, {s}));
  return v;
}

double StrToFloatDef(const std::string& s, double defaultValue) {
  double v;
  return TryStrToFloat(s, v) ? v : defaultValue;
}

// ---- Strings ----------------------------------------------------------------

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

std::string TrimLeft(const std::string& s) {
  size_t b = 0;
  while (b < s.size() && IsBlank(s[b])) ++b;
  return s.substr(b);
}

std::string TrimRight(const std::string& s) {
  size_t e = s.size();
  while (e > 0 && IsBlank(s[e - 1])) --e;
  return s.substr(0, e);
}

std::string UpperCase(const std::string& s) {
  std::string r = s;
  for (auto& c : r) c = AsciiUpper(c);
  return r;
}

std::string LowerCase(const std::string& s) {
  std::string r = s;
  for (auto& c : r) c = AsciiLower(c);
  return r;
}

namespace {
template <typename F>
std::string MapSingleBytes(const std::string& s, F f) {
  std::string r = s;
  for (size_t i = 0; i < r.size();) {
    size_t n = CharByteLength(r, i);
    if (n == 1) r[i] = f(r[i]);
    i += n;
  }
  return r;
}
}  // namespace

std::string AnsiUpperCase(const std::string& s) {
  return MapSingleBytes(s, AsciiUpper);
}
std::string AnsiLowerCase(const std::string& s) {
  return MapSingleBytes(s, AsciiLower);
}

int CompareText(const std::string& a, const std::string& b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(AsciiUpper(a[i]));
    unsigned char y = static_cast<unsigned char>(AsciiUpper(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && CompareText(a, b) == 0;
}

int AnsiCompareText(const std::string& a, const std::string& b) {
  return CompareStr(AnsiUpperCase(a), AnsiUpperCase(b));
}

bool AnsiSameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && AnsiCompareText(a, b) == 0;
}

int CompareStr(const std::string& a, const std::string& b) {
  int c = a.compare(b);
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

std::string AnsiQuotedStr(const std::string& s, char quote) {
  std::string r(1, quote);
  for (char c : s) {
    r += c;
    if (c == quote) r += c;
  }
  r += quote;
  return r;
}

// ---- Paths --------------------------------------------------------------------

namespace {
size_t LastDelim(const std::string& s) {
  return s.rfind(PathDelim);
}

// Index of the extension's "." in the last component, npos when none.
size_t ExtDot(const std::string& s) {
  size_t dot = s.rfind('.');
  size_t sep = LastDelim(s);
  if (dot == std::string::npos || (sep != std::string::npos && dot < sep)) return std::string::npos;
  return dot;
}
}  // namespace

std::string ChangeFileExt(const std::string& fileName, const std::string& extension) {
  size_t dot = ExtDot(fileName);
  return (dot == std::string::npos ? fileName : fileName.substr(0, dot)) + extension;
}

std::string ExtractFilePath(const std::string& fileName) {
  size_t sep = LastDelim(fileName);
  return sep == std::string::npos ? std::string() : fileName.substr(0, sep + 1);
}

std::string ExtractFileDir(const std::string& fileName) {
  size_t sep = LastDelim(fileName);
  if (sep == std::string::npos) return {};
  if (sep == 0) return "/";
  return fileName.substr(0, sep);
}

std::string ExtractFileName(const std::string& fileName) {
  size_t sep = LastDelim(fileName);
  return sep == std::string::npos ? fileName : fileName.substr(sep + 1);
}

std::string ExtractFileExt(const std::string& fileName) {
  size_t dot = ExtDot(fileName);
  return dot == std::string::npos ? std::string() : fileName.substr(dot);
}

std::string IncludeTrailingPathDelimiter(const std::string& s) {
  if (!s.empty() && s.back() == PathDelim) return s;
  return s + PathDelim;
}

std::string ExcludeTrailingPathDelimiter(const std::string& s) {
  if (s.size() > 1 && s.back() == PathDelim) return s.substr(0, s.size() - 1);
  return s;
}

std::string ExpandFileName(const std::string& fileName) {
  if (fileName.empty()) return {};
  std::filesystem::path p(fileName);
  if (p.is_relative()) p = std::filesystem::path(GetCurrentDir()) / p;
  std::string r = p.lexically_normal().string();
  // "a/b/.." normalises to "a/"; keep the trailing "/" only when it was asked for.
  if (r.size() > 1 && r.back() == PathDelim && fileName.back() != PathDelim) r.pop_back();
  return r;
}

// ---- Files and folders --------------------------------------------------------

namespace {
thread_local int t_lastError = 0;
bool Fail() {
  t_lastError = errno;
  return false;
}
}  // namespace

int GetLastError() {
  return t_lastError;
}
void SetLastError(int code) {
  t_lastError = code;
}

std::string SysErrorMessage(int code) {
  char buf[256];
  // The GNU strerror_r returns the text, not always in buf.
  const char* text = strerror_r(code, buf, sizeof buf);
  return text ? text : "";
}

bool FileExists(const std::string& fileName) {
  struct stat st;
  if (fileName.empty() || ::stat(fileName.c_str(), &st) != 0) return false;
  return !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& dirName) {
  struct stat st;
  if (dirName.empty() || ::stat(dirName.c_str(), &st) != 0) return false;
  return S_ISDIR(st.st_mode);
}

bool CreateDir(const std::string& dirName) {
  return ::mkdir(dirName.c_str(), 0777) == 0 || Fail();
}

bool ForceDirectories(const std::string& dirName) {
  std::string d = ExcludeTrailingPathDelimiter(dirName);
  if (d.empty()) {
    errno = ENOENT;
    return Fail();
  }
  if (DirectoryExists(d)) return true;
  std::string parent = ExtractFileDir(d);
  if (!parent.empty() && parent != d && !ForceDirectories(parent)) return false;
  if (::mkdir(d.c_str(), 0777) == 0) return true;
  return errno == EEXIST && DirectoryExists(d) ? true : Fail();
}

bool RemoveDir(const std::string& dirName) {
  return ::rmdir(dirName.c_str()) == 0 || Fail();
}

bool DeleteFile(const std::string& fileName) {
  if (DirectoryExists(fileName)) {
    errno = EISDIR;
    return Fail();
  }
  return ::unlink(fileName.c_str()) == 0 || Fail();
}

bool RenameFile(const std::string& oldName, const std::string& newName) {
  if (::renameat2(AT_FDCWD, oldName.c_str(), AT_FDCWD, newName.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return Fail();
  // File systems without the no-replace flag: check first.
  struct stat st;
  if (::lstat(newName.c_str(), &st) == 0) {
    errno = EEXIST;
    return Fail();
  }
  return ::rename(oldName.c_str(), newName.c_str()) == 0 || Fail();
}

bool CopyFile(const std::string& source, const std::string& target, bool failIfExists) {
  TFileDescriptor in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.Valid()) return Fail();
  struct stat st;
  if (::fstat(in.Get(), &st) != 0) return Fail();
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return Fail();
  }
  struct stat tst;
  if (::stat(target.c_str(), &tst) == 0) {
    if (failIfExists) {
      errno = EEXIST;
      return Fail();
    }
    // Opening the source itself for writing would truncate it to nothing.
    if (tst.st_dev == st.st_dev && tst.st_ino == st.st_ino) {
      errno = EINVAL;
      return Fail();
    }
  }
  const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | (failIfExists ? O_EXCL : 0);
  TFileDescriptor out(::open(target.c_str(), flags, st.st_mode & 07777));
  if (!out.Valid()) return Fail();
  std::vector<char> buf(1 << 16);
  for (;;) {
    ssize_t n = ::read(in.Get(), buf.data(), buf.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail();
    }
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(out.Get(), buf.data() + done, static_cast<size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        return Fail();
      }
      done += w;
    }
  }
  ::fchmod(out.Get(), st.st_mode & 07777);
  struct timespec times[2] = {st.st_atim, st.st_mtim};
  ::futimens(out.Get(), times);
  return out.Close() || Fail();
}

std::string GetCurrentDir() {
  std::error_code ec;
  auto p = std::filesystem::current_path(ec);
  return ec ? std::string() : p.string();
}

bool SetCurrentDir(const std::string& dirName) {
  return ::chdir(dirName.c_str()) == 0 || Fail();
}

void ChDir(const std::string& dirName) {
  if (!SetCurrentDir(dirName)) throw EInOutError(Format(SInOutError, {GetLastError()}));
}

TDateTime UnixTimeToDateTime(time_t seconds, long nanoseconds) {
  struct tm lt;
  localtime_r(&seconds, &lt);
  // Local wall-clock seconds since 1970, then days since 1899-12-30.
  int64_t local = static_cast<int64_t>(seconds) + lt.tm_gmtoff;
  return 25569.0 + (static_cast<double>(local) + static_cast<double>(nanoseconds) / 1e9) / 86400.0;
}

bool FileAge(const std::string& fileName, TDateTime& age) {
  struct stat st;
  if (::stat(fileName.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  age = UnixTimeToDateTime(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  return true;
}

int64_t FileSizeOf(const std::string& fileName) {
  struct stat st;
  if (::stat(fileName.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
}

// ---- Directory search ---------------------------------------------------------

struct TSearchState {
  std::string dir;
  std::vector<std::string> names;  // matching names, sorted
  size_t next = 0;
  int attr = 0;
};

namespace {

// Character-wise, so that "?" takes a whole double-byte or UTF-8 character.
bool Match(const std::string& n, size_t i, const std::string& m, size_t j) {
  while (j < m.size()) {
    if (m[j] == '*') {
      while (j < m.size() && m[j] == '*') ++j;
      if (j == m.size()) return true;
      for (size_t k = i; k <= n.size(); k += (k < n.size() ? CharByteLength(n, k) : 1))
        if (Match(n, k, m, j)) return true;
      return false;
    }
    if (i >= n.size()) return false;
    size_t nl = CharByteLength(n, i);
    if (m[j] == '?') {
      i += nl;
      ++j;
      continue;
    }
    size_t ml = CharByteLength(m, j);
    if (nl != ml) return false;
    if (nl == 1) {
      if (AsciiUpper(n[i]) != AsciiUpper(m[j])) return false;
    } else if (n.compare(i, nl, m, j, ml) != 0) {
      return false;
    }
    i += nl;
    j += ml;
  }
  return i == n.size();
}

int AttrOf(const std::string& dir, const std::string& name, TSearchRec* rec) {
  std::string full = dir.empty() ? name : IncludeTrailingPathDelimiter(dir) + name;
  struct stat lst, st;
  if (::lstat(full.c_str(), &lst) != 0) return -1;
  bool link = S_ISLNK(lst.st_mode);
  if (!link || ::stat(full.c_str(), &st) != 0) st = lst;
  int a = 0;
  if (S_ISDIR(st.st_mode))
    a |= faDirectory;
  else if (S_ISREG(st.st_mode))
    a |= faArchive;
  else
    a |= faSysFile;  // devices, pipes, sockets
  if (!name.empty() && name[0] == '.') a |= faHidden;
  if (::access(full.c_str(), W_OK) != 0 && errno == EACCES) a |= faReadOnly;
  if (link) a |= faSymLink;
  if (rec) {
    rec->Name = name;
    rec->Attr = a;
    rec->Size = S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : 0;
    rec->Time = UnixTimeToDateTime(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  }
  return a;
}

bool Wanted(int a, int attr) {
  // Entries with these flags are reported only when asked for.
  int special = a & (faDirectory | faHidden | faSysFile);
  return (special & ~attr) == 0;
}

}  // namespace

bool MatchesMask(const std::string& name, const std::string& mask) {
  if (mask == "*.*" || mask == "*") return true;
  return Match(name, 0, mask, 0);
}

int FindFirst(const std::string& path, int attr, TSearchRec& rec) {
  FindClose(rec);
  auto state = std::make_shared<TSearchState>();
  state->dir = ExtractFileDir(path);
  state->attr = attr;
  std::string mask = ExtractFileName(path);
  DIR* d = ::opendir(state->dir.empty() ? "." : state->dir.c_str());
  if (!d) return errno ? errno : ENOENT;
  while (dirent* e = ::readdir(d)) {
    std::string n = e->d_name;
    if (n == "." || n == "..") continue;
    if (MatchesMask(n, mask)) state->names.push_back(n);
  }
  ::closedir(d);
  std::sort(state->names.begin(), state->names.end());
  rec.FindHandle = state;
  int r = FindNext(rec);
  if (r != 0) rec.FindHandle.reset();
  return r;
}

int FindNext(TSearchRec& rec) {
  TSearchState* s = rec.FindHandle.get();
  if (!s) return EBADF;
  while (s->next < s->names.size()) {
    const std::string& n = s->names[s->next++];
    TSearchRec found;
    int a = AttrOf(s->dir, n, &found);
    if (a < 0 || !Wanted(a, s->attr)) continue;  // gone since the listing, or not asked for
    rec.Name = found.Name;
    rec.Attr = found.Attr;
    rec.Size = found.Size;
    rec.Time = found.Time;
    return 0;
  }
  return ENOENT;
}

void FindClose(TSearchRec& rec) {
  rec.FindHandle.reset();
}

// ---- Command line -------------------------------------------------------------

namespace {
std::mutex g_cmdMutex;
std::vector<std::string> g_args;
std::string g_exeOverride;
}  // namespace

void SetCommandLine(int argc, char** argv) {
  std::vector<std::string> a;
  for (int i = 0; i < argc; ++i) a.emplace_back(argv[i] ? argv[i] : "");
  SetCommandLine(a);
}

void SetCommandLine(const std::vector<std::string>& args) {
  std::lock_guard<std::mutex> lock(g_cmdMutex);
  g_args = args;
}

int ParamCount() {
  std::lock_guard<std::mutex> lock(g_cmdMutex);
  return g_args.empty() ? 0 : static_cast<int>(g_args.size()) - 1;
}

std::string ParamStr(int index) {
  if (index == 0) return ExecutableFileName();
  std::lock_guard<std::mutex> lock(g_cmdMutex);
  if (index < 0 || static_cast<size_t>(index) >= g_args.size()) return {};
  return g_args[static_cast<size_t>(index)];
}

std::string ExecutableFileName() {
  {
    std::lock_guard<std::mutex> lock(g_cmdMutex);
    if (!g_exeOverride.empty()) return g_exeOverride;
  }
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : p.string();
}

void SetExecutableFileName(const std::string& fileName) {
  std::lock_guard<std::mutex> lock(g_cmdMutex);
  g_exeOverride = fileName;
}

}  // namespace rtl
