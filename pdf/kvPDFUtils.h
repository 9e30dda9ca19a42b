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
// The decimal concatenation of the three numbers, as the library shows it
// (document 100, object 12, generation 0 give 100120). It is a display text,
// not a key: it collides. -1 for negative numbers or when it would not fit.
int64_t UniqueID(int32_t sourceID, int32_t objNum, int32_t genNum);

// A new reference to obj (same source, number and generation).
std::unique_ptr<TkvPDFIndirectReference> MakeReference(const TkvPDFIndirectObject& obj);

}  // namespace pdf
