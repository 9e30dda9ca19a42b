// What the object model, the syntax reader, the object store and the
// document layer share: the exception classes of the lower layers, the keys
// of indirect objects, rectangles, filter names and chains, text-string
// decoding, random resource names and operand helpers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "pdf/kvPDFObjects.h"
#include "platform/rtl/SysUtils.h"

namespace pdf {

// Exception classes of the lower PDF layers; each derives directly from the
// run-time's root exception.
RTL_DECLARE_EXCEPTION(EUnexpectedError, RtlException);
RTL_DECLARE_EXCEPTION(ETrailerError, RtlException);
RTL_DECLARE_EXCEPTION(EStringReadError, RtlException);
RTL_DECLARE_EXCEPTION(EArrayReadError, RtlException);
RTL_DECLARE_EXCEPTION(ENameReadError, RtlException);
RTL_DECLARE_EXCEPTION(EDictionaryReadError, RtlException);
RTL_DECLARE_EXCEPTION(EStreamReadError, RtlException);
RTL_DECLARE_EXCEPTION(EInvalidObjectNo, RtlException);
RTL_DECLARE_EXCEPTION(EEndStreamError, RtlException);
RTL_DECLARE_EXCEPTION(EBooleanError, RtlException);
RTL_DECLARE_EXCEPTION(ENullObjectError, RtlException);
RTL_DECLARE_EXCEPTION(EOffsetError, RtlException);
RTL_DECLARE_EXCEPTION(EInvalidHeader, RtlException);
RTL_DECLARE_EXCEPTION(EInvalidPermission, RtlException);
RTL_DECLARE_EXCEPTION(EUnsupportedFilterError, RtlException);
RTL_DECLARE_EXCEPTION(EUnexpectedFilterObject, RtlException);
RTL_DECLARE_EXCEPTION(EInvalidIndex, RtlException);

// The object store's resolvers and NumberValue raise this class. The
// document unit has its own class of the same name (under EPDFException);
// the unit's namespace keeps the two apart.
namespace kvPDFUtils {
RTL_DECLARE_EXCEPTION(EUnexpectedObjectError, RtlException);
}  // namespace kvPDFUtils

// A cross-reference stream or object stream (PDF 1.5) where the library
// reads only classic tables. An ETrailerError, so that callers that handle
// a bad trailer handle this too.
RTL_DECLARE_EXCEPTION(EUnsupportedXRefError, ETrailerError);

inline constexpr const char* SUnsupportedXRef =
    "Cross-reference streams and object streams (PDF 1.5) are not supported";
inline constexpr const char* SUnexpectedError = "Unexpected Error";
inline constexpr const char* SUnexpectedPDFObject = "Unexpected PDF object encountered";
inline constexpr const char* SUnexpectedContentObject = "Unexpected content object for page %d";
inline constexpr const char* SErrorInsertingResource = "Error inserting page resource";
inline constexpr const char* STrailerError = "Error reading PDF trailer";
inline constexpr const char* SStringReadError = "Error reading PDF string (%s)";
inline constexpr const char* SArrayReadError = "Error reading PDF array (%s)";
inline constexpr const char* SNameReadError = "Error reading PDF name string (%s)";
inline constexpr const char* SDictionaryReadError = "Error reading PDF dictionary (%s)";
inline constexpr const char* SStreamReadError = "Error reading PDF stream";
inline constexpr const char* SInvalidObjectNo = "Invalid object number";
inline constexpr const char* SEndStreamError = "Expected PDF endstream";
inline constexpr const char* SBooleanError = "Expected boolean (%s) object";
inline constexpr const char* SNullObjectError = "Expected PDF null object";
inline constexpr const char* SOffsetError = "Error reading document. Unable to read offset";
inline constexpr const char* SInvalidHeader = "Invalid PDF Header (%s)";
inline constexpr const char* SInvalidPermission = "Invalid permission in encryption dictionary";
inline constexpr const char* SUnsupportedFilterName = "Unsupported filter (%s)";
inline constexpr const char* SUnsupportedFilter = "Unsupported filter";
inline constexpr const char* SUnexpectedFilterObject = "Unexpected filter object, found (%s)";
inline constexpr const char* SInvalidIndex = "Index Out Of Bounds!";

// Identity of an indirect object across documents: the store's key. Unlike
// the decimal UniqueID below it cannot collide (object 1 generation 23 and
// object 12 generation 3 are different keys).
struct TkvObjectKey {
  int32_t SourceID = 0;
  int32_t ObjNum = 0;
  int32_t GenNum = 0;
  bool operator==(const TkvObjectKey&) const = default;
};

struct TkvObjectKeyHash {
  size_t operator()(const TkvObjectKey& k) const noexcept {
    uint64_t h = (uint64_t(uint32_t(k.SourceID)) << 32) ^ uint64_t(uint32_t(k.ObjNum));
    h ^= uint64_t(uint32_t(k.GenNum)) * 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    return static_cast<size_t>(h ^ (h >> 32));
  }
};

TkvObjectKey KeyOf(const TkvPDFIndirectReference& ref);
TkvObjectKey KeyOf(const TkvPDFIndirectObject& obj);

// Number of decimal digits of n (1 for 0; the sign is not counted).
int DigitCount(int64_t n);

// Bytes of a file quoted in a message: at most a few characters, anything
// but printable ASCII shown as ".", "..." where the bytes went on. A
// damaged file must not pour binary data into the converter's log.
std::string MessageExcerpt(const std::string& bytes, size_t max = 12);
// The decimal concatenation of the three numbers, as the library shows it
// (document 100, object 12, generation 0 give 100120). It is a display text,
// not a key: it collides. -1 for negative numbers or when it would not fit.
int64_t UniqueID(int32_t sourceID, int32_t objNum, int32_t genNum);

// A new reference to obj (same source, number and generation).
std::unique_ptr<TkvPDFIndirectReference> MakeReference(const TkvPDFIndirectObject& obj);

// The first four numbers of a PDF rectangle array, in array order.
class TkvPDFRect : public TkvObject {
 public:
  double X1 = 0, Y1 = 0, X2 = 0, Y2 = 0;
};

// Integer or Real value; anything else (nullptr and Int64 included) raises
// kvPDFUtils::EUnexpectedObjectError.
double NumberValue(const TkvPDFObject* obj);
// Entries 0..3 of the array through NumberValue (a shorter array raises).
std::unique_ptr<TkvPDFRect> RectFromArray(const TkvPDFArrayObject& array);

enum TkvFilterKind : uint8_t { fkASCIIHex = 0, fkASCII85, fkFlate, fkRunLength, fkCCITTFax, fkDCT };
using TkvDecodeFilters = std::vector<TkvFilterKind>;

// Exact filter names; any other (/LZWDecode and /CCITTFaxDecode included)
// raises EUnsupportedFilterError "Unsupported filter (%s)".
TkvFilterKind FilterKindOf(const std::string& name);
// A /Filter value: a Name gives one kind, an Array one per item (each must be
// a Name, else rtl::EInvalidCast); nullptr or null gives none; anything else
// raises EUnexpectedFilterObject naming its type. References must be
// resolved by the caller.
TkvDecodeFilters FilterKindsOf(const TkvPDFObject* filter);
// Decodes data by one filter. The ASCII and RunLength kinds first drop
// trailing CR and LF bytes (ASCIIHex also gains a missing ">"); DCT data is
// returned unchanged; the CCITT fax kind raises "Unsupported filter".
std::string DecodeStringFilter(TkvFilterKind kind, const std::string& s);
std::unique_ptr<rtl::TMemoryStream> DecodeStreamFilter(TkvFilterKind kind, rtl::TMemoryStream& data);
// The whole of source (from position 0) decoded through the chain named by
// filter (nullptr: copied as is). The result belongs to the caller.
std::unique_ptr<rtl::TMemoryStream> DecodeFilterChain(rtl::TStream& source, const TkvPDFObject* filter);

// Display text of a literal string's content: bytes after FE FF are UTF-16BE
// code units, converted to the system code page ("?" for what cannot be
// shown); other content is returned unchanged. The content is already
// unescaped: a second pass would break every code unit holding a 0x5C byte.
std::string DecodeLiteralText(const std::string& content);
// Display text of a hexadecimal string's content: after "FEFF" the digits are
// UTF-16BE code units; otherwise the bytes in the system code page.
std::u16string DecodeHexText(const std::string& content);

// Resource names "/QXRFnt<n>" and "/QXRImg<n>", n from the run-time's random
// generator (0..2147483646).
std::string MakeFontResourceName();
std::string MakeImageResourceName();

// In a content text, the word before the 1-based position (blanks, CR and
// LF skipped first); start receives the 1-based index of the separator
// before the word (0 at the start), the position for the next call.
std::string OperandBefore(const std::string& text, int position, int& start);
// The count words before position, in text order, each preceded by one space
// (the separator it was found after).
std::string OperandsBefore(const std::string& text, int position, int count);

// Index of the first entry equal to name in table[0..lastIndex], else -1.
int IndexOfName(const char* const* table, int lastIndex, const std::string& name);

// Counts one level of a recursive walk over file data for as long as it
// lives; entering a level past `max` calls onTooDeep, which throws.
class TkvDepthGuard {
 public:
  template <typename F>
  TkvDepthGuard(int& depth, int max, F onTooDeep) : depth_(depth) {
    if (depth_ >= max) onTooDeep();
    ++depth_;
  }
  ~TkvDepthGuard() { --depth_; }
  TkvDepthGuard(const TkvDepthGuard&) = delete;
  TkvDepthGuard& operator=(const TkvDepthGuard&) = delete;

 private:
  int& depth_;
};

}  // namespace pdf
