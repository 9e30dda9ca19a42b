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
};

// Declares a class of an exception family: class Name : public Base, with
// the constructor of its base and ClassName() giving "Name".
#define RTL_DECLARE_EXCEPTION(Name, Base)                               \
  class Name : public Base {                                            \
   public:                                                              \
    using Base::Base;                                                   \
    const char* ClassName() const noexcept override { return #Name; }   \
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

// Message texts of the class library.
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
#include <initializer_list>
#include <variant>

namespace rtl {

// One argument of Format: an integer, a floating-point number or a string.
class TVarRec {
 public:
  template <typename T>
    requires std::is_integral_v<T>
  TVarRec(T v) : value_(static_cast<int64_t>(v)) {}
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
