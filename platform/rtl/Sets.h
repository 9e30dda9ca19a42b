// Delphi-style sets over an unscoped enumeration whose values lie in
// 0 .. 255: TSet<TFileOperationFlag> flags{fofSilent, fofNoErrorUI};
// A value out of that range raises ERangeError.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <type_traits>

#include "platform/rtl/SysUtils.h"

namespace rtl {

template <typename E>
class TSet {
  static_assert(std::is_enum_v<E>, "TSet holds values of an enumeration");

 public:
  static constexpr int kMaxElements = 256;

  constexpr TSet() = default;
  constexpr TSet(std::initializer_list<E> items) {
    for (E e : items) Include(e);
  }

  constexpr TSet& Include(E e) {
    int i = Index(e);
    words_[i >> 6] |= uint64_t{1} << (i & 63);
    return *this;
  }
  constexpr TSet& Exclude(E e) {
    int i = Index(e);
    words_[i >> 6] &= ~(uint64_t{1} << (i & 63));
    return *this;
  }
  constexpr bool Contains(E e) const {
    int i = Index(e);
    return (words_[i >> 6] >> (i & 63)) & 1;
  }
  constexpr bool Empty() const { return (words_[0] | words_[1] | words_[2] | words_[3]) == 0; }
  constexpr int Count() const {
    int n = 0;
    for (uint64_t w : words_) n += __builtin_popcountll(w);
    return n;
  }
  constexpr void Clear() { words_[0] = words_[1] = words_[2] = words_[3] = 0; }

  // Union, difference, intersection.
  constexpr TSet operator+(const TSet& o) const {
    return Combine(o, [](uint64_t a, uint64_t b) { return a | b; });
  }
  constexpr TSet operator-(const TSet& o) const {
    return Combine(o, [](uint64_t a, uint64_t b) { return a & ~b; });
  }
  constexpr TSet operator*(const TSet& o) const {
    return Combine(o, [](uint64_t a, uint64_t b) { return a & b; });
  }
  constexpr TSet& operator+=(const TSet& o) { return *this = *this + o; }
  constexpr TSet& operator-=(const TSet& o) { return *this = *this - o; }
  constexpr TSet& operator*=(const TSet& o) { return *this = *this * o; }
  constexpr bool operator==(const TSet& o) const {
    return words_[0] == o.words_[0] && words_[1] == o.words_[1] && words_[2] == o.words_[2] &&
           words_[3] == o.words_[3];
  }
  // Subset and superset, as "<=" and ">=" on Delphi sets.
  constexpr bool operator<=(const TSet& o) const { return (*this - o).Empty(); }
  constexpr bool operator>=(const TSet& o) const { return o <= *this; }

  // The set as a bit mask of its first 64 values (flags handed to a C API).
  constexpr uint64_t LowBits() const { return words_[0]; }

 private:
  static constexpr int Index(E e) {
    auto v = static_cast<long long>(e);
    if (v < 0 || v >= kMaxElements) throw ERangeError(SRangeError);
    return static_cast<int>(v);
  }
  template <typename F>
  constexpr TSet Combine(const TSet& o, F f) const {
    TSet r;
    for (int i = 0; i < 4; ++i) r.words_[i] = f(words_[i], o.words_[i]);
    return r;
  }

  uint64_t words_[4] = {0, 0, 0, 0};
};

}  // namespace rtl
