#include "pdf/kvPDFUtils.h"

#include <limits>

namespace pdf {

TkvObjectKey KeyOf(const TkvPDFIndirectReference& ref) { return {ref.SourceID, ref.ObjNum, ref.GenNum}; }
TkvObjectKey KeyOf(const TkvPDFIndirectObject& obj) { return {obj.SourceID, obj.ObjNum, obj.GenNum}; }

int DigitCount(int64_t n) {
  uint64_t u = n < 0 ? uint64_t(0) - uint64_t(n) : uint64_t(n);
  int d = 1;
  while (u >= 10) {
    u /= 10;
    ++d;
  }
  return d;
}

int64_t UniqueID(int32_t sourceID, int32_t objNum, int32_t genNum) {
  if (sourceID < 0 || objNum < 0 || genNum < 0) return -1;
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  auto shiftAdd = [&](int64_t acc, int64_t v) -> int64_t {
    if (acc < 0) return -1;
    for (int i = DigitCount(v); i > 0; --i) {
      if (acc > kMax / 10) return -1;
      acc *= 10;
    }
    if (acc > kMax - v) return -1;
    return acc + v;
  };
  return shiftAdd(shiftAdd(sourceID, objNum), genNum);
}

std::unique_ptr<TkvPDFIndirectReference> MakeReference(const TkvPDFIndirectObject& obj) {
  return std::make_unique<TkvPDFIndirectReference>(obj.SourceID, obj.ObjNum, obj.GenNum);
}

}  // namespace pdf
