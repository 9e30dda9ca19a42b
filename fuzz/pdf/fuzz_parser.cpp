// The syntax reader over arbitrary bytes: the header, the startxref offset,
// a trailer, then every object in turn with the stream bodies their
// /Length names. Each step returns an object or raises the library's error;
// none may crash, hang, recurse without bound or allocate without bound.
#include <cstddef>
#include <cstdint>
#include <string>

#include "pdf/kvPDFParsers.h"

namespace {

template <typename F>
void Try(F f) {
  try {
    f();
  } catch (const rtl::Exception&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  rtl::TMemoryStream src;
  if (size > 0) src.WriteBuffer(data, static_cast<int64_t>(size));
  pdf::TkvPDFStreamReader r(1, &src);
  Try([&] { r.ReadHeaderVersion(); });
  Try([&] {
    r.SetPosition(r.FindStartXRef());
    r.ReadTrailer();
  });
  r.SetPosition(0);
  // Each round consumes at least one byte, so this ends.
  for (size_t round = 0; round <= size && r.Position() < static_cast<int64_t>(size); ++round) {
    const int64_t before = r.Position();
    Try([&] {
      auto obj = r.ReadObject();
      if (obj && obj->IsIndirectObject()) {
        auto& io = obj->As<pdf::TkvPDFIndirectObject>();
        if (io.Value && io.Value->IsStream()) {
          auto* len = io.Value->As<pdf::TkvPDFStreamObject>().Dict->Find("/Length");
          if (len && len->IsInteger())
            r.ReadStreamData(len->As<pdf::TkvPDFIntegerObject>().Value, io.ObjNum, io.GenNum);
        }
        // A clone must be as sound as the original.
        obj->Clone();
      }
    });
    if (r.Position() <= before) r.SetPosition(before + 1);
  }
  return 0;
}
