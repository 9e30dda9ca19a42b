// Bounded cursors over the decoders' spans, shared by the codec units. Every
// read and write is clipped at the span's end, so a count taken from the
// data can never carry a decoder outside its buffers.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "imaging/ImageCodecs.h"

namespace imaging::codec {

class TByteSource {
 public:
  explicit TByteSource(std::span<const uint8_t> data) : data_(data) {}
  size_t Left() const { return data_.size() - pos_; }
  bool AtEnd() const { return pos_ >= data_.size(); }
  size_t Position() const { return pos_; }
  // Callers check AtEnd (or Left) first.
  uint8_t Byte() { return data_[pos_++]; }
  // Up to n bytes, fewer at the end of the data; the cursor moves past them.
  std::span<const uint8_t> Take(size_t n) {
    n = std::min(n, Left());
    std::span<const uint8_t> r = data_.subspan(pos_, n);
    pos_ += n;
    return r;
  }
  void Skip(size_t n) { pos_ += std::min(n, Left()); }

 private:
  std::span<const uint8_t> data_;
  size_t pos_ = 0;
};

class TByteSink {
 public:
  explicit TByteSink(std::span<uint8_t> data) : data_(data) {}
  size_t Left() const { return data_.size() - pos_; }
  bool Full() const { return pos_ >= data_.size(); }
  size_t Position() const { return pos_; }
  void Fill(uint8_t value, size_t n) {
    n = std::min(n, Left());
    if (n) std::memset(data_.data() + pos_, value, n);
    pos_ += n;
  }
  void Copy(std::span<const uint8_t> bytes) {
    size_t n = std::min(bytes.size(), Left());
    if (n) std::memcpy(data_.data() + pos_, bytes.data(), n);
    pos_ += n;
  }
  // Writes a unit of several bytes (a pixel, a 16-bit sample) n times; a
  // unit that does not fit whole is not begun.
  void Repeat(std::span<const uint8_t> unit, size_t n) {
    if (unit.empty()) return;
    n = std::min(n, Left() / unit.size());
    if (unit.size() == 1) return Fill(unit[0], n);
    for (size_t i = 0; i < n; ++i) {
      std::memcpy(data_.data() + pos_, unit.data(), unit.size());
      pos_ += unit.size();
    }
  }

 private:
  std::span<uint8_t> data_;
  size_t pos_ = 0;
};

// The result of a decoder that stops only at either end of its spans.
inline TDecodeResult Outcome(const TByteSource& in, const TByteSink& out) {
  return {in.Position(), out.Position(), out.Full() ? dsComplete : dsEndOfData};
}

}  // namespace imaging::codec
