#include "pdf/kvFilters.h"

#include <algorithm>
#include <cstring>

#include "pdf/kvConsts.h"

namespace pdf {

namespace {

// The whole content of a stream, from position 0.
std::string ReadWhole(rtl::TStream& source) {
  source.SetPosition(0);
  const int64_t size = source.Size();
  std::string s;
  if (size <= 0) return s;
  s.resize(static_cast<size_t>(size));
  source.ReadBuffer(s.data(), size);
  return s;
}

std::unique_ptr<rtl::TMemoryStream> StreamOf(const std::string& bytes, bool rewind) {
  auto m = std::make_unique<rtl::TMemoryStream>();
  m->WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  if (rewind) m->SetPosition(0);
  return m;
}

// A read-only stream over bytes the caller keeps alive, so that decoding a
// string needs no copy of it.
class TSpanStream : public rtl::TStream {
 public:
  TSpanStream(const void* data, size_t size)
      : data_(static_cast<const uint8_t*>(data)), size_(static_cast<int64_t>(size)) {}
  int64_t Read(void* buffer, int64_t count) override {
    if (count <= 0 || pos_ >= size_) return 0;
    int64_t n = std::min(count, size_ - pos_);
    std::memcpy(buffer, data_ + pos_, static_cast<size_t>(n));
    pos_ += n;
    return n;
  }
  int64_t Write(const void*, int64_t) override { throw rtl::EWriteError(rtl::SWriteError); }
  int64_t Seek(int64_t offset, rtl::TSeekOrigin origin) override {
    int64_t base = origin == rtl::soBeginning ? 0 : origin == rtl::soCurrent ? pos_ : size_;
    int64_t p = base + offset;
    if (p < 0) p = 0;
    pos_ = p;
    return pos_;
  }
  int64_t Size() override { return size_; }

 private:
  const uint8_t* data_;
  int64_t size_;
  int64_t pos_ = 0;
};

// White space of PDF: NUL, TAB, LF, FF, CR and space.
bool IsWhite(uint8_t c) {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == 0;
}

// The length of s without its trailing white space: a stream whose /Length
// counts the line end after the marker is still well formed.
size_t TrimmedLength(const std::string& s) {
  size_t n = s.size();
  while (n > 0 && IsWhite(static_cast<uint8_t>(s[n - 1]))) --n;
  return n;
}

int HexValue(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// ---- Flate ----

std::string FlateEncode(const std::string& s, TkvCompressionLevel level) {
  rtl::TMemoryStream out;
  {
    TCompressionStream z(level, out);
    z.WriteBuffer(s.data(), static_cast<int64_t>(s.size()));
    z.Finish();
  }
  return out.DataString();
}

std::string FlateDecode(const void* data, size_t size) {
  // Read at least this much per call; reads go straight into the result.
  constexpr int64_t kChunk = 10240;
  TSpanStream src(data, size);
  TDecompressionStream z(src);
  std::string out;
  int64_t len = 0;
  int64_t cap = std::clamp<int64_t>(static_cast<int64_t>(size) * 4, kChunk, int64_t{1} << 24);
  for (;;) {
    if (cap - len < kChunk) cap = std::max(cap * 2, len + kChunk);
    cap = std::min(cap, kMaxFlateDecodedSize + 1);
    out.resize(static_cast<size_t>(cap));
    const int64_t want = cap - len;
    const int64_t n = z.Read(out.data() + len, want);
    len += n;
    if (len > kMaxFlateDecodedSize) throw ECompressionError("Flate data decodes to more than the size limit");
    if (n < want) break;
  }
  out.resize(static_cast<size_t>(len));
  return out;
}

// ---- ASCIIHex ----

std::string HexEncode(const std::string& s) {
  return StrToHexText(s) + ">";
}

std::string HexDecode(const std::string& s) {
  const size_t n = TrimmedLength(s);
  if (n == 0 || s[n - 1] != '>') throw rtl::Exception(SEndOfDataMarkerWrong);
  std::string out;
  out.reserve(n / 2);
  int high = -1;
  for (size_t i = 0; i < n; ++i) {
    const auto c = static_cast<uint8_t>(s[i]);
    if (c == '>') break;
    if (IsWhite(c)) continue;
    const int v = HexValue(c);
    if (v < 0) throw rtl::Exception(SIllegalCharacter);
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<char>(high * 16 + v));
      high = -1;
    }
  }
  if (high >= 0) out.push_back(static_cast<char>(high * 16));
  return out;
}

// ---- ASCII85 ----

void Put85(std::string& out, uint32_t v, size_t chars) {
  char digits[5];
  for (int i = 4; i >= 0; --i) {
    digits[i] = static_cast<char>('!' + v % 85);
    v /= 85;
  }
  out.append(digits, chars);
}

std::string A85Encode(const std::string& s) {
  std::string out;
  out.reserve(s.size() / 4 * 5 + 7);
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  size_t i = 0;
  for (; i + 4 <= s.size(); i += 4) {
    const uint32_t v =
        (uint32_t{p[i]} << 24) | (uint32_t{p[i + 1]} << 16) | (uint32_t{p[i + 2]} << 8) | p[i + 3];
    if (v == 0)
      out.push_back('z');
    else
      Put85(out, v, 5);
  }
  if (const size_t k = s.size() - i; k > 0) {
    uint32_t v = 0;
    for (size_t j = 0; j < 4; ++j) v = (v << 8) | (j < k ? p[i + j] : 0);
    Put85(out, v, k + 1);
  }
  out += "~>";
  return out;
}

void PutGroup(std::string& out, uint64_t v, size_t bytes) {
  if (v > 0xFFFFFFFFu) throw rtl::Exception(SAscii85GroupTooLarge);
  const char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                     static_cast<char>(v)};
  out.append(b, bytes);
}

std::string A85Decode(const std::string& s) {
  const size_t n = TrimmedLength(s);
  if (n < 2 || s[n - 2] != '~' || s[n - 1] != '>') throw rtl::Exception(SEndOfDataMarkerWrong);
  std::string out;
  out.reserve((n / 5 + 1) * 4);
  uint64_t value = 0;
  int count = 0;
  for (size_t i = 0; i + 2 < n; ++i) {
    const auto c = static_cast<uint8_t>(s[i]);
    if (IsWhite(c)) continue;
    if (c == 'z') {
      if (count != 0) throw rtl::Exception(SZInappropriate);
      out.append(4, '\0');
      continue;
    }
    if (c < '!' || c > 'u') throw rtl::Exception(SIllegalCharacter);
    value = value * 85 + (c - '!');
    if (++count == 5) {
      PutGroup(out, value, 4);
      value = 0;
      count = 0;
    }
  }
  if (count == 1) throw rtl::Exception(SSingleFinalCharacter);
  if (count > 1) {
    // The standard completion: pad with the highest digit and keep
    // count - 1 bytes, which gives back exactly the bytes encoded.
    for (int i = count; i < 5; ++i) value = value * 85 + 84;
    PutGroup(out, value, static_cast<size_t>(count - 1));
  }
  return out;
}

// ---- RunLength ----

class RLEWriter {
 public:
  explicit RLEWriter(std::string& out) : out_(out) {}

  void Run(uint8_t c, size_t n) {
    while (n > 128) {
      Pair(129, c);
      n -= 128;
    }
    if (n == 1)
      Pair(0, c);
    else if (n > 1)
      Pair(static_cast<uint8_t>(257 - n), c);
  }

  void Flush(std::string& lit) {
    size_t i = 0;
    while (lit.size() - i > 128) {
      out_.push_back(static_cast<char>(127));
      out_.append(lit, i, 128);
      i += 128;
    }
    if (lit.size() > i) {
      out_.push_back(static_cast<char>(lit.size() - i - 1));
      out_.append(lit, i, std::string::npos);
    }
    lit.clear();
  }

 private:
  void Pair(uint8_t a, uint8_t b) {
    out_.push_back(static_cast<char>(a));
    out_.push_back(static_cast<char>(b));
  }
  std::string& out_;
};

std::string RLEEncode(const std::string& s) {
  std::string out;
  if (s.empty()) {
    out.push_back(static_cast<char>(128));
    return out;
  }
  RLEWriter w(out);
  std::string lit;
  auto c = static_cast<uint8_t>(s[0]);
  size_t n = 1;
  bool flag = true;
  for (size_t i = 1; i < s.size(); ++i) {
    const auto b = static_cast<uint8_t>(s[i]);
    if (b == c) {
      ++n;
      if (n == 3 && !lit.empty()) {
        w.Flush(lit);
        flag = true;
      }
      continue;
    }
    if (n >= 3) {
      w.Run(c, n);
    } else if (n == 2 && flag) {
      w.Run(c, 2);
    } else if (n == 2) {
      if (i + 1 == s.size() || static_cast<uint8_t>(s[i + 1]) != b) {
        lit.push_back(static_cast<char>(c));
        lit.push_back(static_cast<char>(c));
        flag = false;
      } else {
        w.Flush(lit);
        w.Run(c, 2);
        flag = true;
      }
    } else {
      lit.push_back(static_cast<char>(c));
      flag = false;
    }
    c = b;
    n = 1;
  }
  if (n == 1) lit.push_back(static_cast<char>(c));
  if (!lit.empty()) w.Flush(lit);
  if (n > 1) w.Run(c, n);
  out.push_back(static_cast<char>(128));
  return out;
}

std::string RLEDecode(const std::string& s) {
  if (s.empty() || static_cast<uint8_t>(s.back()) != 128) throw rtl::Exception(SRLEEndOfDataMarkerWrong);
  const size_t end = s.size() - 1;  // the position of the end marker
  // A run pair grows 64-fold: the decoded size is counted first and bounded
  // like Flate's, before anything is allocated.
  size_t decoded = 0;
  for (size_t j = 0; j < end;) {
    const auto len = static_cast<uint8_t>(s[j]);
    if (len < 128) {
      decoded += size_t{len} + 1;
      j += size_t{len} + 2;
    } else {
      decoded += 257 - size_t{len};
      j += 2;
    }
    if (len == 128) break;  // reported in order below
    if (decoded > static_cast<size_t>(kMaxFlateDecodedSize)) throw rtl::Exception(SRLEDecodedTooLarge);
  }
  std::string out;
  out.reserve(std::min(decoded, end * 2));
  size_t i = 0;
  while (i < end) {
    const auto len = static_cast<uint8_t>(s[i++]);
    if (len < 128) {
      const size_t count = size_t{len} + 1;
      if (count > end - i) throw rtl::Exception(SUnexpectedEndOfFile);
      out.append(s, i, count);
      i += count;
    } else if (len > 128) {
      if (i >= end) throw rtl::Exception(SUnexpectedEndOfFile);
      out.append(257 - size_t{len}, s[i++]);
    } else {
      throw rtl::Exception(SPrematureEndOfData);
    }
  }
  return out;
}

}  // namespace

// ---- TkvFilter ------------------------------------------------------------

std::unique_ptr<rtl::TMemoryStream> TkvFilter::EncodeStreamLevel(rtl::TStream&, TkvCompressionLevel) {
  return nullptr;
}
void TkvFilter::EncodeStringLevel(const std::string&, TkvCompressionLevel, std::string& result) {
  result.clear();
}
std::unique_ptr<rtl::TMemoryStream> TkvFilter::EncodeStream(rtl::TStream&) {
  return nullptr;
}
void TkvFilter::EncodeString(const std::string&, std::string& result) {
  result.clear();
}

// ---- TkvFlateFilter -------------------------------------------------------

std::unique_ptr<rtl::TMemoryStream> TkvFlateFilter::EncodeStreamLevel(rtl::TStream& source,
                                                                      TkvCompressionLevel level) {
  return StreamOf(FlateEncode(ReadWhole(source), level), true);
}

void TkvFlateFilter::EncodeStringLevel(const std::string& s, TkvCompressionLevel level, std::string& result) {
  result = FlateEncode(s, level);
}

std::unique_ptr<rtl::TMemoryStream> TkvFlateFilter::DecodeStream(rtl::TStream& source) {
  const std::string s = ReadWhole(source);
  return StreamOf(FlateDecode(s.data(), s.size()), true);
}

void TkvFlateFilter::DecodeString(const std::string& s, std::string& result) {
  result = FlateDecode(s.data(), s.size());
}

// ---- TkvAsciiHexFilter ----------------------------------------------------

std::unique_ptr<rtl::TMemoryStream> TkvAsciiHexFilter::EncodeStream(rtl::TStream& source) {
  return StreamOf(HexEncode(ReadWhole(source)), false);
}
void TkvAsciiHexFilter::EncodeString(const std::string& s, std::string& result) {
  result = HexEncode(s);
}
std::unique_ptr<rtl::TMemoryStream> TkvAsciiHexFilter::DecodeStream(rtl::TStream& source) {
  return StreamOf(HexDecode(ReadWhole(source)), false);
}
void TkvAsciiHexFilter::DecodeString(const std::string& s, std::string& result) {
  result = HexDecode(s);
}

// ---- TkvAscii85Filter -----------------------------------------------------

std::unique_ptr<rtl::TMemoryStream> TkvAscii85Filter::EncodeStream(rtl::TStream& source) {
  return StreamOf(A85Encode(ReadWhole(source)), false);
}
void TkvAscii85Filter::EncodeString(const std::string& s, std::string& result) {
  result = A85Encode(s);
}
std::unique_ptr<rtl::TMemoryStream> TkvAscii85Filter::DecodeStream(rtl::TStream& source) {
  return StreamOf(A85Decode(ReadWhole(source)), false);
}
void TkvAscii85Filter::DecodeString(const std::string& s, std::string& result) {
  result = A85Decode(s);
}

// ---- TkvRLEFilter ---------------------------------------------------------

std::unique_ptr<rtl::TMemoryStream> TkvRLEFilter::EncodeStream(rtl::TStream& source) {
  return StreamOf(RLEEncode(ReadWhole(source)), true);
}
void TkvRLEFilter::EncodeString(const std::string& s, std::string& result) {
  result = RLEEncode(s);
}
std::unique_ptr<rtl::TMemoryStream> TkvRLEFilter::DecodeStream(rtl::TStream& source) {
  return StreamOf(RLEDecode(ReadWhole(source)), true);
}
void TkvRLEFilter::DecodeString(const std::string& s, std::string& result) {
  result = RLEDecode(s);
}

}  // namespace pdf
