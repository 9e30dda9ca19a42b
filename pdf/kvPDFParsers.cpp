#include "pdf/kvPDFParsers.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <vector>

#include "pdf/kvConsts.h"
#include "pdf/kvPDFCrypt.h"

namespace pdf {

namespace {

constexpr int kEnd = TkvReadOnlyFilter::kEndOfData;
constexpr const char* kEndOfDataText = "end of data";
constexpr const char* SStreamWithoutDict =
    "Error reading PDF stream: object %d has a stream without a dictionary";
constexpr const char* STrailerNotDict = "Error reading PDF trailer: the trailer is not a dictionary";

// The format's white space: NUL, TAB, LF, FF, CR and SPACE.
constexpr bool IsWhite(int c) {
  return c == 0 || c == 9 || c == 10 || c == 12 || c == 13 || c == 32;
}

// Byte tables for the adapter's runs: where a token or name ends, where a
// run of white space ends, where a comment ends.
struct TStopTable {
  bool stop[256];
};
template <typename F>
constexpr TStopTable MakeStops(F f) {
  TStopTable t{};
  for (int c = 0; c < 256; ++c) t.stop[c] = f(c);
  return t;
}
constexpr TStopTable kAtDelimiter = MakeStops([](int c) {
  return IsWhite(c) || c == '(' || c == ')' || c == '/' || c == '<' || c == '>' || c == '[' || c == ']';
});
constexpr TStopTable kAtNonWhite = MakeStops([](int c) { return !IsWhite(c); });
constexpr TStopTable kAtLineEnd = MakeStops([](int c) { return c == 10 || c == 13; });

// Drops what a construct left above its mark in one of the reader's item
// lists, however the construct ends.
template <typename List>
struct TTrimOnExit {
  List& list;
  size_t mark;
  ~TTrimOnExit() { list.erase(list.begin() + static_cast<std::ptrdiff_t>(mark), list.end()); }
};

// The character found, for the messages "Error reading PDF ... (%s)".
std::string Found(int c) {
  return c == kEnd ? std::string(kEndOfDataText) : MessageExcerpt(std::string(1, static_cast<char>(c)));
}

// The run-time's conversion error for a token that is no number, quoting
// only a few characters of it.
[[noreturn]] void RaiseNotInteger(const std::string& token) {
  throw rtl::EConvertError(rtl::Format(rtl::SInvalidInteger, {MessageExcerpt(token)}));
}

std::string LowerAscii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// A whole token as a decimal integer, raising the conversion error. Tokens
// hold no blanks; PDF writes no hexadecimal numbers.
int64_t TokenInteger(const std::string& token, int64_t lo, int64_t hi) {
  int64_t v = 0;
  if (!rtl::TryParseDecimal(token, v, rtl::lbRefused)) RaiseNotInteger(token);
  if (v < lo || v > hi) throw EInvalidObjectNo(SInvalidObjectNo);
  return v;
}

// A real number with "." whatever the locale; an optional sign, digits with
// one decimal point.
bool ParseReal(const std::string& token, double& value) {
  const char* p = token.data();
  const char* e = p + token.size();
  bool negative = false;
  if (p < e && (*p == '+' || *p == '-')) negative = *p++ == '-';
  if (p == e || *p == '+' || *p == '-') return false;
  auto r = std::from_chars(p, e, value, std::chars_format::fixed);
  if (r.ec != std::errc() || r.ptr != e || !std::isfinite(value)) return false;
  if (negative) value = -value;
  return true;
}

// Whether a token that starts with c may be an integer.
constexpr bool StartsInteger(int c) {
  return (c >= '0' && c <= '9') || c == '+' || c == '-';
}

// An optional sign and at least one digit.
bool LooksInteger(const std::string& t) {
  size_t i = !t.empty() && (t[0] == '+' || t[0] == '-') ? 1 : 0;
  if (i >= t.size()) return false;
  for (; i < t.size(); ++i)
    if (t[i] < '0' || t[i] > '9') return false;
  return true;
}

}  // namespace

TkvPDFStreamReader::TkvPDFStreamReader(int32_t sourceID, rtl::TStream* source)
    : TkvRandomAccessFilter(source), SourceID(sourceID) {}

bool TkvPDFStreamReader::NextIs(int c) {
  if (PeekChar() == kEnd) return false;
  ReadChar();
  const bool is = PeekChar() == c;
  StepBack();
  return is;
}

bool TkvPDFStreamReader::Decrypting(int32_t objNum, int32_t genNum) const {
  if (!Decryptor) return false;
  return !(objNum == EncryptObjNum && genNum == EncryptGenNum);
}

void TkvPDFStreamReader::SkipWhitespace() {
  for (;;) {
    int c = PeekChar();
    if (IsWhite(c)) {
      ScanRun(kAtNonWhite.stop, nullptr);
    } else if (c == '%') {
      // The comment runs up to the line end, which is then white space.
      ReadChar();
      ScanRun(kAtLineEnd.stop, nullptr);
    } else {
      return;
    }
  }
}

std::string TkvPDFStreamReader::ReadToken() {
  std::string token;
  int c = ReadChar();
  if (c == kEnd) return token;
  token.push_back(static_cast<char>(c));
  ScanRun(kAtDelimiter.stop, &token);
  SkipWhitespace();
  return token;
}

std::string TkvPDFStreamReader::PeekToken() {
  SkipWhitespace();
  const int64_t pos = Position();
  std::string token;
  ScanRun(kAtDelimiter.stop, &token);
  SetPosition(pos);
  return token;
}

std::unique_ptr<TkvPDFObject> TkvPDFStreamReader::ReadObject() {
  SkipWhitespace();
  const int c = PeekChar();
  std::string word;
  switch (c) {
    case kEnd:
    case ')':
    case '>':
    case ']':
    case '}':
      return nullptr;
    case '(':
      return ReadStringObject();
    case '/':
      return ReadNameObject();
    case '[':
      return ReadArrayObject();
    case '<':
      if (NextIs('<')) return ReadDictObject();
      return ReadStringObject();
    case 'f':
      ReadString(5, word);
      if (word != "false") throw EBooleanError(rtl::Format(SBooleanError, {"false"}));
      return std::make_unique<TkvPDFBooleanObject>(false);
    case 't':
      ReadString(4, word);
      if (word != "true") throw EBooleanError(rtl::Format(SBooleanError, {"true"}));
      return std::make_unique<TkvPDFBooleanObject>(true);
    case 'n':
      ReadString(4, word);
      if (word != "null") throw ENullObjectError(SNullObjectError);
      return std::make_unique<TkvPDFNullObject>();
    default:
      return ReadNumberOrObject();
  }
}

std::unique_ptr<TkvPDFObject> TkvPDFStreamReader::ReadNumberOrObject() {
  SkipWhitespace();
  const std::string token1 = ReadToken();
  const int64_t afterToken1 = Position();
  // Only an integer can start a reference or an object header: the tokens
  // after anything else are not looked at (they could not change the result).
  // A token is read only where its first character lets it be what is
  // looked for: an integer starts with a sign or a digit, "R" and "obj"
  // with their letter.
  std::string token2, token3;
  if (LooksInteger(token1) && StartsInteger(PeekChar())) {
    token2 = ReadToken();
    if (LooksInteger(token2)) {
      const int c = PeekChar();
      if (c == 'R' || c == 'o' || c == 'O') token3 = ReadToken();
    }
  }

  if (token3 == "R") {
    const auto num = static_cast<int32_t>(TokenInteger(token1, 0, std::numeric_limits<int32_t>::max()));
    const auto gen = static_cast<uint16_t>(TokenInteger(token2, 0, 65535));
    return std::make_unique<TkvPDFIndirectReference>(SourceID, num, gen);
  }
  if (LowerAscii(token3) == "obj") {
    const auto num = static_cast<int32_t>(TokenInteger(token1, 0, std::numeric_limits<int32_t>::max()));
    const auto gen = static_cast<uint16_t>(TokenInteger(token2, 0, 65535));
    // An indirect object only stands at the top; one inside another object
    // (or inside an array or dictionary) is not PDF.
    if (depth_ > 0) throw EUnexpectedError(SUnexpectedPDFObject);
    CurrentObjNum = num;
    CurrentGenNum = gen;
    std::unique_ptr<TkvPDFObject> value;
    {
      TkvDepthGuard guard(depth_, kMaxNestingDepth, [] { throw EUnexpectedError(SUnexpectedPDFObject); });
      value = ReadObject();
    }
    if (!value) throw EUnexpectedError(SUnexpectedPDFObject);
    if (PeekToken() == "stream") {
      if (!value->IsDict()) throw EStreamReadError(rtl::Format(SStreamWithoutDict, {num}));
      std::unique_ptr<TkvPDFDictObject> dict(static_cast<TkvPDFDictObject*>(value.release()));
      value = std::make_unique<TkvPDFStreamObject>(std::move(dict));
    }
    return std::make_unique<TkvPDFIndirectObject>(SourceID, num, gen, std::move(value));
  }

  SetPosition(afterToken1);
  if (token1.find('.') != std::string::npos) {
    double v = 0;
    if (ParseReal(token1, v)) return std::make_unique<TkvPDFRealObject>(v);
    return std::make_unique<TkvPDFStringObject>(token1);
  }
  int32_t i32 = 0;
  if (rtl::TryParseDecimal(token1, i32, rtl::lbRefused)) return std::make_unique<TkvPDFIntegerObject>(i32);
  int64_t i64 = 0;
  if (rtl::TryParseDecimal(token1, i64, rtl::lbRefused)) return std::make_unique<TkvPDFInt64Object>(i64);
  RaiseNotInteger(token1);
}

std::unique_ptr<TkvPDFStringObject> TkvPDFStreamReader::ReadStringObject() {
  const int open = ReadChar();
  if (open != '(' && open != '<') throw EStringReadError(rtl::Format(SStringReadError, {Found(open)}));
  const bool hex = open == '<';
  const char close = hex ? '>' : ')';
  std::string text;
  int depth = 1;
  for (;;) {
    const int c = ReadChar();
    if (c == kEnd) throw EStringReadError(rtl::Format(SStringReadError, {kEndOfDataText}));
    if (c == '\\' && !hex) {
      const int d = ReadChar();
      if (d == kEnd) throw EStringReadError(rtl::Format(SStringReadError, {kEndOfDataText}));
      if (d == 13) {
        if (PeekChar() == 10) ReadChar();
      } else if (d != 10) {
        text.push_back('\\');
        text.push_back(static_cast<char>(d));
      }
      continue;
    }
    if (c == close) {
      if (--depth == 0) break;
    } else if (c == '(' && !hex) {
      // Balanced parentheses are part of a literal string's bytes.
      ++depth;
    }
    text.push_back(static_cast<char>(c));
  }
  if (!hex) text = UnescapePDFString(text);
  bool isHex = hex;
  if (Decryptor && !text.empty() && Decrypting(CurrentObjNum, CurrentGenNum)) {
    if (CurrentObjNum == -1 && CurrentGenNum == -1) throw EInvalidObjectNo(SInvalidObjectNo);
    if (hex) text = HexTextToString(text);
    text = Decryptor->DecryptString(text, CurrentObjNum, CurrentGenNum);
    isHex = false;
  }
  return std::make_unique<TkvPDFStringObject>(isHex ? "<" + text + ">" : "(" + text + ")", isHex);
}

std::unique_ptr<TkvPDFNameObject> TkvPDFStreamReader::ReadNameObject() {
  const int c = ReadChar();
  if (c != '/') throw ENameReadError(rtl::Format(SNameReadError, {Found(c)}));
  std::string name = "/";
  ScanRun(kAtDelimiter.stop, &name);
  if (IsWhite(PeekChar())) ReadChar();
  return std::make_unique<TkvPDFNameObject>(std::move(name));
}

std::unique_ptr<TkvPDFArrayObject> TkvPDFStreamReader::ReadArrayObject() {
  const int c = ReadChar();
  if (c != '[') throw EArrayReadError(rtl::Format(SArrayReadError, {Found(c)}));
  TkvDepthGuard guard(depth_, kMaxNestingDepth,
                      [] { throw EArrayReadError(rtl::Format(SArrayReadError, {"nesting too deep"})); });
  // This array's items stand in items_ from mark on, until it is complete;
  // on an error they are freed with it.
  const size_t mark = items_.size();
  const TTrimOnExit<decltype(items_)> trim{items_, mark};
  SkipWhitespace();
  for (;;) {
    auto item = ReadObject();
    if (!item) break;
    items_.push_back(std::move(item));
    SkipWhitespace();
    if (PeekChar() == ']') break;
  }
  // Normally "]"; where an item position held ")", ">" or "}", that
  // character closes the array instead.
  const int closing = ReadChar();
  if (closing == kEnd) throw EArrayReadError(rtl::Format(SArrayReadError, {kEndOfDataText}));
  auto array = std::make_unique<TkvPDFArrayObject>();
  array->Reserve(static_cast<int>(items_.size() - mark));
  for (size_t i = mark; i < items_.size(); ++i) array->Add(std::move(items_[i]));
  return array;
}

std::unique_ptr<TkvPDFDictObject> TkvPDFStreamReader::ReadDictObject() {
  for (int i = 0; i < 2; ++i) {
    const int c = ReadChar();
    if (c != '<') throw EDictionaryReadError(rtl::Format(SDictionaryReadError, {Found(c)}));
  }
  TkvDepthGuard guard(depth_, kMaxNestingDepth, [] {
    throw EDictionaryReadError(rtl::Format(SDictionaryReadError, {"nesting too deep"}));
  });
  const size_t mark = entries_.size();
  const TTrimOnExit<decltype(entries_)> trim{entries_, mark};
  for (;;) {
    SkipWhitespace();
    if (PeekChar() == kEnd) throw EDictionaryReadError(rtl::Format(SDictionaryReadError, {kEndOfDataText}));
    if (PeekChar() == '>' && NextIs('>')) {
      SkipBytes(2);
      break;
    }
    auto key = ReadNameObject();
    auto value = ReadObject();
    // A key without a value (directly before ">>") is an absent entry: no
    // dictionary holds a null pointer.
    if (value) entries_.emplace_back(std::move(key), std::move(value));
  }
  auto dict = std::make_unique<TkvPDFDictObject>();
  dict->Reserve(static_cast<int>(entries_.size() - mark));
  for (size_t i = mark; i < entries_.size(); ++i)
    dict->Add(std::move(entries_[i].first), std::move(entries_[i].second));
  return dict;
}

int64_t TkvPDFStreamReader::BeginStreamData(int64_t length) {
  SkipWhitespace();
  std::string word;
  ReadString(6, word);
  if (word != "stream") throw EStreamReadError(SStreamReadError);
  if (length < 0) throw EStreamReadError(SStreamReadError);
  if (length == 0) return 0;
  for (int c = PeekChar(); c == ' ' || c == 9; c = PeekChar()) ReadChar();
  if (PeekChar() == 13) ReadChar();
  if (PeekChar() == 10) ReadChar();
  const int64_t left = SourceSize - Position();
  if (length > left) throw EStreamReadError(SStreamReadError);
  if (length <= 1) {
    PeekString(9, word);
    if (word == "endstream") return 0;
  }
  return length;
}

void TkvPDFStreamReader::EndStreamData() {
  SkipWhitespace();
  std::string word;
  ReadString(9, word);
  if (word != "endstream") throw EEndStreamError(SEndStreamError);
}

std::unique_ptr<rtl::TMemoryStream> TkvPDFStreamReader::ReadStreamData(int64_t length, int32_t objNum,
                                                                       int32_t genNum) {
  const int64_t count = BeginStreamData(length);
  auto data = std::make_unique<rtl::TMemoryStream>();
  if (count > 0) {
    data->SetSize(count);
    ReadBuffer(data->Memory(), count);
    data->SetPosition(0);
    if (Decrypting(objNum, genNum)) {
      if (objNum == -1 || genNum == -1) throw EInvalidObjectNo(SInvalidObjectNo);
      Decryptor->DecryptStream(*data, objNum, genNum);
      data->SetPosition(0);
    }
  }
  EndStreamData();
  return data;
}

int64_t TkvPDFStreamReader::SkipStreamData(int64_t length, int64_t& offset) {
  const int64_t count = BeginStreamData(length);
  offset = Position();
  SkipBytes(count);
  EndStreamData();
  return count;
}

int32_t TkvPDFStreamReader::FindStartXRef() {
  const int64_t saved = Position();
  const char* buf = nullptr;
  size_t size = 0;
  int64_t at = -1;
  std::vector<char> tail;
  if (auto* mem = dynamic_cast<rtl::TMemoryStream*>(&Source())) {
    buf = reinterpret_cast<const char*>(mem->Memory());
    size = static_cast<size_t>(mem->Size());
    at = SearchBuffer(buf, size, size, 0, "startxref", false, true);
  } else {
    // Any other stream is searched backwards from its end through a tail
    // that grows until it holds the keyword: the keyword stands near the
    // end of every file, and reading a large file whole for it would cost
    // its size in memory. A match at the very start of a tail that is not
    // the whole file may be the end of a longer word: it counts only once
    // the tail has grown past it.
    const int64_t whole = SourceSize;
    for (int64_t want = std::min<int64_t>(whole, 4096);; want = std::min(whole, want * 8)) {
      tail.resize(static_cast<size_t>(want));
      SetPosition(whole - want);
      if (want > 0) ReadBuffer(tail.data(), want);
      at = SearchBuffer(tail.data(), tail.size(), tail.size(), 0, "startxref", false, true);
      if (at > 0 || want == whole) break;
    }
    buf = tail.data();
    size = tail.size();
  }
  SetPosition(saved);
  if (at < 0) throw EOffsetError(SOffsetError);
  // Only white space may stand between the keyword and the offset: digits
  // found beyond anything else (a sign, "%%EOF", bytes appended after it)
  // are no offset of this file.
  size_t p = static_cast<size_t>(at) + 9;
  while (p < size && IsWhite(static_cast<unsigned char>(buf[p]))) ++p;
  size_t end = p;
  while (end < size && buf[end] >= '0' && buf[end] <= '9') ++end;
  int32_t offset = 0;
  if (!rtl::TryParseDecimal(std::string_view(buf + p, end - p), offset, rtl::lbRefused) ||
      offset >= SourceSize)
    throw EOffsetError(SOffsetError);
  return offset;
}

std::unique_ptr<TkvPDFDictObject> TkvPDFStreamReader::ReadTrailer() {
  // A cross-reference stream stands where the table should: "N G obj".
  {
    const int64_t pos = Position();
    SkipWhitespace();
    const int c = PeekChar();
    SetPosition(pos);
    if (c >= '0' && c <= '9') throw EUnsupportedXRefError(SUnsupportedXRef);
  }
  // The keyword itself is looked for: text after the entries of a table
  // ("0000000000 65535 f don't panic") is tolerated by other readers, and
  // the first "t" of it is no trailer.
  for (;;) {
    const int c = ReadChar();
    if (c == kEnd) throw ETrailerError(STrailerError);
    if (c != 't') continue;
    std::string rest;
    PeekString(6, rest);
    if (rest == "railer") {
      SkipBytes(6);
      break;
    }
  }
  auto obj = ReadObject();
  if (!obj || !obj->IsDict()) throw ETrailerError(STrailerNotDict);
  return std::unique_ptr<TkvPDFDictObject>(static_cast<TkvPDFDictObject*>(obj.release()));
}

int TkvPDFStreamReader::ReadHeaderVersion() {
  SetPosition(0);
  const std::string token = ReadToken();
  const std::string head = token.substr(0, 7);
  if (head != "%PDF-1.") throw EInvalidHeader(rtl::Format(SInvalidHeader, {MessageExcerpt(head)}));
  const std::string digit = token.substr(7, 1);
  if (digit.empty() || digit[0] < '0' || digit[0] > '9')
    throw rtl::EConvertError(rtl::Format(rtl::SInvalidInteger, {MessageExcerpt(digit)}) +
                             " (the minor version of the PDF header)");
  const int v = digit[0] - '0';
  return v > 4 ? 5 : v;
}

}  // namespace pdf
