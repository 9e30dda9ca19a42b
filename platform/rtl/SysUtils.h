// The run-time library's exception root and the class library's exceptions,
// with their message texts. Every library of the system derives its own
// family from rtl::Exception.
#pragma once

#include <exception>
#include <string>

namespace rtl {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : Message(std::move(message)) {}
  ~Exception() override = default;
  const char* what() const noexcept override { return Message.c_str(); }
  // The class's name as the design spells it, for reports ("EReadError: ...").
  virtual const char* ClassName() const noexcept { return "Exception"; }

  std::string Message;
  // What the error is about (the file that failed), where a caller knows it
  // and the message does not say: a report without a window names it before
  // the message; a window shows the message alone.
  std::string Subject;
};

// Declares a class of an exception family: class Name : public Base, with
// the constructor of its base and ClassName() giving "Name".
#define RTL_DECLARE_EXCEPTION(Name, Base)                             \
  class Name : public Base {                                          \
   public:                                                            \
    using Base::Base;                                                 \
    const char* ClassName() const noexcept override { return #Name; } \
  }

RTL_DECLARE_EXCEPTION(EConvertError, Exception);
RTL_DECLARE_EXCEPTION(EListError, Exception);
RTL_DECLARE_EXCEPTION(EStringListError, EListError);
RTL_DECLARE_EXCEPTION(EInvalidCast, Exception);
RTL_DECLARE_EXCEPTION(EInOutError, Exception);
RTL_DECLARE_EXCEPTION(EOutOfMemory, Exception);
RTL_DECLARE_EXCEPTION(EAbort, Exception);
RTL_DECLARE_EXCEPTION(EStreamError, Exception);
RTL_DECLARE_EXCEPTION(EReadError, EStreamError);
RTL_DECLARE_EXCEPTION(EWriteError, EStreamError);
RTL_DECLARE_EXCEPTION(EFilerError, EStreamError);
RTL_DECLARE_EXCEPTION(EFOpenError, EStreamError);
RTL_DECLARE_EXCEPTION(EFCreateError, EStreamError);
RTL_DECLARE_EXCEPTION(EIniFileException, Exception);
RTL_DECLARE_EXCEPTION(ERangeError, Exception);

// Message texts of the class library.
inline constexpr const char* SRangeError = "Range check error";
inline constexpr const char* SInvalidFloat = "'%s' is not a valid floating point value";
inline constexpr const char* SInOutError = "I/O error %d";
inline constexpr const char* SDuplicateString = "String list does not allow duplicates";
inline constexpr const char* SSortedListError = "Operation not allowed on sorted list";
inline constexpr const char* SReadError = "Stream read error";
inline constexpr const char* SWriteError = "Stream write error";
inline constexpr const char* SInvalidCast = "Invalid class typecast";
inline constexpr const char* SListIndexError = "List index out of bounds (%d)";
inline constexpr const char* SFOpenError = "Cannot open file \"%s\". %s";
inline constexpr const char* SFCreateError = "Cannot create file \"%s\". %s";
inline constexpr const char* SInvalidInteger = "'%s' is not a valid integer value";
inline constexpr const char* SMemoryStreamError = "Out of memory while expanding memory stream";

}  // namespace rtl

#include <cstdint>
#include <ctime>
#include <initializer_list>
#include <memory>
#include <string_view>
#include <variant>
#include <vector>

namespace rtl {

// One argument of Format: an integer, a floating-point number or a string.
class TVarRec {
 public:
  template <typename T>
  requires std::is_integral_v<T> TVarRec(T v) : value_(static_cast<int64_t>(v)) {}
  TVarRec(double v) : value_(v) {}
  TVarRec(const char* s) : value_(std::string(s ? s : "")) {}
  TVarRec(std::string s) : value_(std::move(s)) {}
  const std::variant<int64_t, double, std::string>& value() const { return value_; }

 private:
  std::variant<int64_t, double, std::string> value_;
};

// Format with the patterns the system uses: %d %u %x %X %s %f %g %e %%, an
// optional "-", "0", width and ".precision". Independent of the process
// locale. A missing or mismatched argument raises EConvertError.
std::string Format(const std::string& pattern, std::initializer_list<TVarRec> args);

}  // namespace rtl

namespace rtl {

// ---- Numbers ----------------------------------------------------------------
// All conversions are independent of the process locale: "." is the decimal
// separator, always.

std::string IntToStr(int64_t value);
std::string IntToHex(int64_t value, int digits);
// Accepts optional blanks before the number, a sign, decimal digits or a
// "$" / "0x" hexadecimal prefix; anything else, or a value out of the 32-bit
// range, raises EConvertError "'text' is not a valid integer value".
int StrToInt(const std::string& s);
int64_t StrToInt64(const std::string& s);
int StrToIntDef(const std::string& s, int defaultValue);
int64_t StrToInt64Def(const std::string& s, int64_t defaultValue);
bool TryStrToInt(const std::string& s, int& value);
bool TryStrToInt64(const std::string& s, int64_t& value);
// Strict decimal integers, for the texts and formats that write them so: an
// optional "+" or "-" and decimal digits, the whole text, within the range
// of the value's type. Nothing else passes: no blank after the number, no
// "$" or "0x" prefix, no exponent. Whether blanks (spaces and tabs) may
// stand before the number is each caller's rule, said at every call. The
// value is left alone when the text is refused.
enum TLeadingBlanks { lbRefused, lbSkipped };
bool TryParseDecimal(std::string_view s, int32_t& value, TLeadingBlanks blanks);
bool TryParseDecimal(std::string_view s, int64_t& value, TLeadingBlanks blanks);
// Fifteen significant digits, the shortest text that shows them: "0.5",
// "1E20", "-1.5E-7".
std::string FloatToStr(double value);
// Blanks around the number are allowed; EConvertError otherwise.
double StrToFloat(const std::string& s);
double StrToFloatDef(const std::string& s, double defaultValue);
bool TryStrToFloat(const std::string& s, double& value);

// ---- Strings ----------------------------------------------------------------

// Trim removes control characters and blanks (bytes up to ' ') at the ends.
std::string Trim(const std::string& s);
std::string TrimLeft(const std::string& s);
std::string TrimRight(const std::string& s);
// Map the ASCII letters only.
std::string UpperCase(const std::string& s);
std::string LowerCase(const std::string& s);
// Map the ASCII letters in text of the system code page, leaving the bytes of
// double-byte characters alone (their trail bytes can look like letters).
std::string AnsiUpperCase(const std::string& s);
std::string AnsiLowerCase(const std::string& s);
// Comparisons that ignore the case of ASCII letters; CompareText returns <0,
// 0 or >0 like strcmp.
int CompareText(const std::string& a, const std::string& b);
bool SameText(const std::string& a, const std::string& b);
int CompareStr(const std::string& a, const std::string& b);
// The same over text of the system code page: the bytes of double-byte
// characters are compared as they are.
int AnsiCompareText(const std::string& a, const std::string& b);
bool AnsiSameText(const std::string& a, const std::string& b);
// Wraps s in quote characters, doubling the quote characters inside.
std::string AnsiQuotedStr(const std::string& s, char quote);
inline std::string QuotedStr(const std::string& s) {
  return AnsiQuotedStr(s, '\'');
}

// ---- Paths --------------------------------------------------------------------
// The path separator is "/". An extension is only ever looked for in the last
// component: "a.b/c" has none.

inline constexpr char PathDelim = '/';
inline constexpr const char* sLineBreak = "\n";

std::string ChangeFileExt(const std::string& fileName, const std::string& extension);
std::string ExtractFilePath(const std::string& fileName);  // with its trailing "/"
std::string ExtractFileDir(const std::string& fileName);   // without it ("/" stays "/")
std::string ExtractFileName(const std::string& fileName);
std::string ExtractFileExt(const std::string& fileName);  // with its ".", or ""
std::string IncludeTrailingPathDelimiter(const std::string& s);
std::string ExcludeTrailingPathDelimiter(const std::string& s);  // "/" stays "/"
// An absolute path, "." and ".." resolved against the current folder by text
// alone (links are not followed).
std::string ExpandFileName(const std::string& fileName);

// ---- Files and folders --------------------------------------------------------
// The functions that return bool leave the operating system's error code in
// GetLastError() when they fail.

int GetLastError();
void SetLastError(int code);
// The system's text for an error code (strerror).
std::string SysErrorMessage(int code);

bool FileExists(const std::string& fileName);  // a file, not a folder
bool DirectoryExists(const std::string& dirName);
bool ForceDirectories(const std::string& dirName);  // creates the missing parents too
bool CreateDir(const std::string& dirName);
bool RemoveDir(const std::string& dirName);
bool DeleteFile(const std::string& fileName);
// Fails when newName exists already, like the design's platform.
bool RenameFile(const std::string& oldName, const std::string& newName);
// Copies content, permission bits and modification time. With failIfExists
// an existing target makes it fail; a file is never copied onto itself.
bool CopyFile(const std::string& source, const std::string& target, bool failIfExists);
std::string GetCurrentDir();
bool SetCurrentDir(const std::string& dirName);
// Changes the current folder; raises EInOutError "I/O error <code>" on failure.
void ChDir(const std::string& dirName);

// Days since 1899-12-30, the fraction being the time of day (local time).
using TDateTime = double;
TDateTime UnixTimeToDateTime(time_t seconds, long nanoseconds = 0);
// The last-write time of a file; false when there is no such file.
bool FileAge(const std::string& fileName, TDateTime& age);
// Size in bytes, -1 when there is no such file.
int64_t FileSizeOf(const std::string& fileName);

// File attributes as the directory search reports them. A name starting
// with "." counts as hidden; a file without write permission as read-only.
enum : int {
  faReadOnly = 0x01,
  faHidden = 0x02,
  faSysFile = 0x04,
  faVolumeID = 0x08,
  faDirectory = 0x10,
  faArchive = 0x20,
  faSymLink = 0x40,
  faAnyFile = 0x3F,
};

struct TSearchState;
struct TSearchRec {
  std::string Name;  // name only, no folder
  int64_t Size = 0;
  int Attr = 0;
  TDateTime Time = 0;  // last write, local time
  std::shared_ptr<TSearchState> FindHandle;
};

// Lists the folder of path (the part before the last "/", or the current
// folder) for names matching the last component, a mask with "*" and "?"
// (ASCII case ignored; "*.*" matches every name). Files are reported always,
// folders only with faDirectory, hidden and system entries only with their
// flag; "." and ".." never. Names come in byte order. Returns 0 with the first
// match in rec, or an error code (ENOENT when nothing matches).
int FindFirst(const std::string& path, int attr, TSearchRec& rec);
int FindNext(TSearchRec& rec);
void FindClose(TSearchRec& rec);
// The mask matching that FindFirst uses.
bool MatchesMask(const std::string& name, const std::string& mask);

// ---- Command line and executable ---------------------------------------------

// Called by each program at the start of main.
void SetCommandLine(int argc, char** argv);
// For tests: argument 0 is the program as typed, the rest its arguments.
void SetCommandLine(const std::vector<std::string>& args);
int ParamCount();
// ParamStr(0) is the executable's full path; beyond ParamCount, "".
std::string ParamStr(int index);
// The executable's full path (/proc/self/exe), or what a test set instead.
std::string ExecutableFileName();
// For tests that need the program to live in a scratch folder; "" restores
// the real path.
void SetExecutableFileName(const std::string& fileName);

}  // namespace rtl
