// The syntax reader over arbitrary bytes: the header, the startxref offset,
// a trailer, then every object in turn with the stream bodies their
// /Length names. Each step returns an object or raises the library's error;
// none may crash, hang, recurse without bound or allocate without bound.
// The walk runs twice, over the bytes in memory and over a stream the reader
// sees through its buffered window, and both walks must agree step by step.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pdf/kvPDFParsers.h"

namespace {

// What a step gave: the error's class, or nothing.
template <typename F>
std::string Try(F f) {
  try {
    f();
  } catch (const rtl::Exception& e) {
    return e.ClassName();
  }
  return "";
}

// The bytes as a stream that is neither a memory nor a file stream.
class ByteStream : public rtl::TStream {
 public:
  ByteStream(const uint8_t* data, size_t size) : data_(data), size_(static_cast<int64_t>(size)) {}
  int64_t Read(void* buffer, int64_t count) override {
    const int64_t n = std::max<int64_t>(0, std::min(count, size_ - pos_));
    if (n > 0) std::memcpy(buffer, data_ + pos_, static_cast<size_t>(n));
    pos_ += n;
    return n;
  }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t offset, rtl::TSeekOrigin origin) override {
    const int64_t base = origin == rtl::soBeginning ? 0 : origin == rtl::soCurrent ? pos_ : size_;
    pos_ = std::max<int64_t>(0, base + offset);
    return pos_;
  }

 private:
  const uint8_t* data_;
  int64_t size_;
  int64_t pos_ = 0;
};

std::string Walk(rtl::TStream& src, size_t size) {
  std::string trace;
  pdf::TkvPDFStreamReader r(1, &src);
  trace += Try([&] { r.ReadHeaderVersion(); });
  trace += Try([&] {
    r.SetPosition(r.FindStartXRef());
    r.ReadTrailer();
  });
  r.SetPosition(0);
  // Each round consumes at least one byte, so this ends.
  for (size_t round = 0; round <= size && r.Position() < static_cast<int64_t>(size); ++round) {
    const int64_t before = r.Position();
    trace += Try([&] {
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
      trace += obj ? obj->TypeName() : "nothing";
    });
    trace += ":" + std::to_string(r.Position()) + ";";
    if (r.Position() <= before) r.SetPosition(before + 1);
  }
  return trace;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  rtl::TMemoryStream src;
  if (size > 0) src.WriteBuffer(data, static_cast<int64_t>(size));
  ByteStream windowed(data, size);
  if (Walk(src, size) != Walk(windowed, size)) std::abort();
  return 0;
}
