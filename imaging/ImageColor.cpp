#include "imaging/ImageColor.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>

namespace imaging {

namespace colorimpl {

// One row as the converters walk it: the first sample of each channel and the
// distance in bytes from one pixel to the next within a channel. Interleaved
// rows point the channels into the one plane; planar rows use one plane each.
struct RowArgs {
  const uint8_t* p[4] = {nullptr, nullptr, nullptr, nullptr};
  size_t step = 0;
  uint8_t* target = nullptr;
  uint32_t count = 0;
  uint8_t mask = 0xFF;
};

namespace {

// 16-bit operands, 32-bit intermediate, truncation.
inline uint32_t Scale(uint32_t v, uint32_t m, uint32_t d) {
  return (v * m) / d;
}
inline uint16_t Swap16(uint16_t v) {
  return static_cast<uint16_t>((v >> 8) | (v << 8));
}
inline uint8_t To8(uint16_t v) {
  return static_cast<uint8_t>(Scale(v, 255, 65535));
}
inline uint8_t Clamp255(int v) {
  return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}

template <typename S>
inline S Load(const uint8_t* p) {
  if constexpr (sizeof(S) == 1) {
    return *p;
  } else {
    S v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
}

template <typename T>
inline void Store(uint8_t* p, T v) {
  if constexpr (sizeof(T) == 1)
    *p = v;
  else
    std::memcpy(p, &v, sizeof v);
}

// Calls body(targetIndex, sourceIndex) for every pixel the mask selects.
template <typename Body>
inline void ForPixels(uint32_t count, uint8_t mask, Body&& body) {
  if (mask == 0xFF) {
    for (uint32_t i = 0; i < count; ++i) body(i, i);
    return;
  }
  uint32_t s = 0;
  uint8_t bit = 0x80;
  for (uint32_t i = 0; i < count; ++i) {
    if (mask & bit) body(i, s++);
    bit = bit == 1 ? 0x80 : static_cast<uint8_t>(bit >> 1);
  }
}

// Bit fields, most significant first; a field may straddle two bytes.
inline uint32_t ReadField(const uint8_t* row, uint64_t bitPos, int bits) {
  const uint8_t* p = row + (bitPos >> 3);
  int off = static_cast<int>(bitPos & 7);
  uint32_t window = static_cast<uint32_t>(p[0]) << 8;
  if (off + bits > 8) window |= p[1];
  return (window >> (16 - off - bits)) & ((1u << bits) - 1);
}

inline void WriteField(uint8_t* row, uint64_t bitPos, int bits, uint32_t v) {
  uint8_t* p = row + (bitPos >> 3);
  int off = static_cast<int>(bitPos & 7);
  int shift = 16 - off - bits;
  uint32_t mask = ((1u << bits) - 1) << shift;
  uint32_t val = (v << shift) & mask;
  p[0] = static_cast<uint8_t>((p[0] & ~(mask >> 8)) | (val >> 8));
  if (off + bits > 8) p[1] = static_cast<uint8_t>((p[1] & ~mask) | (val & 0xFF));
}

// Indexed and sub-byte grey: S-bit fields to T-bit fields.
template <int S, int T>
void ConvertIndexed(const TColorManager&, const RowArgs& a) {
  if (S == T && a.mask == 0xFF) {
    std::memcpy(a.target, a.p[0], (static_cast<uint64_t>(a.count) * S + 7) / 8);
    return;
  }
  if constexpr (S == 8 && T == 8) {
    ForPixels(a.count, a.mask, [&](uint32_t i, uint32_t s) { a.target[i] = a.p[0][s]; });
  } else {
    constexpr uint32_t smax = (1u << S) - 1, tmax = (1u << T) - 1;
    ForPixels(a.count, a.mask, [&](uint32_t i, uint32_t s) {
      uint32_t v = ReadField(a.p[0], static_cast<uint64_t>(s) * S, S);
      if constexpr (S != T) v = Scale(v, tmax, smax);
      WriteField(a.target, static_cast<uint64_t>(i) * T, T, v);
    });
  }
}

template <bool Swap>
void ConvertIndexed16To16(const TColorManager&, const RowArgs& a) {
  if (!Swap && a.mask == 0xFF) {
    std::memcpy(a.target, a.p[0], static_cast<size_t>(a.count) * 2);
    return;
  }
  ForPixels(a.count, a.mask, [&](uint32_t i, uint32_t s) {
    uint16_t v = Load<uint16_t>(a.p[0] + 2 * static_cast<size_t>(s));
    if constexpr (Swap) v = Swap16(v);
    Store<uint16_t>(a.target + 2 * static_cast<size_t>(i), v);
  });
}

template <int T, bool Swap>
void ConvertIndexed16To8(const TColorManager&, const RowArgs& a) {
  constexpr uint32_t tmax = (1u << T) - 1;
  ForPixels(a.count, a.mask, [&](uint32_t i, uint32_t s) {
    uint16_t v = Load<uint16_t>(a.p[0] + 2 * static_cast<size_t>(s));
    if constexpr (Swap) v = Swap16(v);
    uint32_t w = Scale(v, tmax, 65535);
    if constexpr (T == 8)
      a.target[i] = static_cast<uint8_t>(w);
    else
      WriteField(a.target, static_cast<uint64_t>(i) * T, T, w);
  });
}

template <int S, bool Swap>
void ConvertIndexed8To16(const TColorManager&, const RowArgs& a) {
  constexpr uint32_t smax = (1u << S) - 1;
  ForPixels(a.count, a.mask, [&](uint32_t i, uint32_t s) {
    uint32_t v = S == 8 ? a.p[0][s] : ReadField(a.p[0], static_cast<uint64_t>(s) * S, S);
    auto w = static_cast<uint16_t>(Scale(v, 65535, smax));
    if constexpr (Swap) w = Swap16(w);
    Store<uint16_t>(a.target + 2 * static_cast<size_t>(i), w);
  });
}

// Grey with an optional alpha sample, which is skipped.
template <typename S, typename T, bool Swap>
void ConvertGray(const TColorManager&, const RowArgs& a) {
  ForPixels(a.count, a.mask, [&](uint32_t i, uint32_t s) {
    S v = Load<S>(a.p[0] + s * a.step);
    T out;
    if constexpr (sizeof(S) == 2 && Swap) v = Swap16(v);
    if constexpr (sizeof(S) == sizeof(T))
      out = v;
    else if constexpr (sizeof(S) == 1)
      out = static_cast<T>(v * 257);
    else
      out = To8(v);
    Store<T>(a.target + i * sizeof(T), out);
  });
}

// One colour sample through swap, 16-to-8, gamma and 8-to-16, in that order.
template <typename S, typename T, bool Swap, bool Gamma>
inline T ColourSample(const uint8_t* gamma, const uint8_t* p) {
  if constexpr (sizeof(S) == 1) {
    uint8_t v = *p;
    if constexpr (Gamma) v = gamma[v];
    if constexpr (sizeof(T) == 1) {
      return v;
    } else {
      auto w = static_cast<uint16_t>(v * 257);
      if constexpr (Swap) w = Swap16(w);
      return w;
    }
  } else {
    uint16_t w = Load<uint16_t>(p);
    if constexpr (Swap) w = Swap16(w);
    if constexpr (sizeof(T) == 2) {
      return w;  // 16 to 16 is only swapped or copied
    } else {
      uint8_t v = To8(w);
      if constexpr (Gamma) v = gamma[v];
      return v;
    }
  }
}

// The commonest row of all, 8-bit RGB to the bitmap's BGR, all pixels
// interleaved: each pixel is one unaligned 4-byte load, a byte reversal and
// one store; the store's fourth byte is overwritten by the next pixel, so
// the last pixel is written bytewise.
void ReverseTriples(const uint8_t* src, uint8_t* dst, uint32_t count) {
  uint32_t i = 0;
  for (; i + 1 < count; ++i) {
    uint32_t v;
    std::memcpy(&v, src + 3 * static_cast<size_t>(i), 4);
    if constexpr (std::endian::native == std::endian::little) {
      v = __builtin_bswap32(v) >> 8;  // R G B x -> B G R 0
    } else {
      v = __builtin_bswap32(v) << 8;
    }
    std::memcpy(dst + 3 * static_cast<size_t>(i), &v, 4);
  }
  for (; i < count; ++i) {
    const uint8_t* p = src + 3 * static_cast<size_t>(i);
    uint8_t* t = dst + 3 * static_cast<size_t>(i);
    const uint8_t r = p[0], g = p[1], b = p[2];
    t[0] = b;
    t[1] = g;
    t[2] = r;
  }
}

// The colour family: RGB to RGB, RGB to BGR, BGR to RGB and BGR to BGR are
// one procedure that differs only in whether the outer samples change
// places, so Reverse says that once and the four are instances of it (the
// CMYK, Lab and YCC converters take it the same way for their BGR and RGB
// targets).
// Alpha: 0 none in the target, 1 the target's alpha is left untouched,
// 2 alpha is copied from the source.
template <typename S, typename T, bool Swap, bool Gamma, bool Reverse, int Alpha>
void ConvertColour(const TColorManager& m, const RowArgs& a) {
  const uint8_t* g = m.GammaTable().data();
  constexpr size_t tstep = (Alpha ? 4 : 3) * sizeof(T);
  const uint8_t* p0 = a.p[0];
  const uint8_t* p1 = a.p[1];
  const uint8_t* p2 = a.p[2];
  const size_t step = a.step;
  uint8_t* const target = a.target;
  if constexpr (sizeof(S) == 1 && sizeof(T) == 1 && !Gamma && Reverse && Alpha == 0) {
    if (a.mask == 0xFF && step == 3 && p1 == p0 + 1 && p2 == p0 + 2) {
      ReverseTriples(p0, target, a.count);
      return;
    }
  }
  ForPixels(a.count, a.mask, [&](uint32_t i, uint32_t s) {
    size_t o = s * step;
    T c0 = ColourSample<S, T, Swap, Gamma>(g, p0 + o);
    T c1 = ColourSample<S, T, Swap, Gamma>(g, p1 + o);
    T c2 = ColourSample<S, T, Swap, Gamma>(g, p2 + o);
    uint8_t* t = target + i * tstep;
    Store<T>(t + (Reverse ? 2 : 0) * sizeof(T), c0);
    Store<T>(t + 1 * sizeof(T), c1);
    Store<T>(t + (Reverse ? 0 : 2) * sizeof(T), c2);
    if constexpr (Alpha == 2) Store<T>(t + 3 * sizeof(T), ColourSample<S, T, Swap, false>(g, a.p[3] + o));
  });
}

// Black is mixed into each ink; stored ink 0 is no ink.
template <typename S, typename T, bool Swap, bool Reverse, bool TargetAlpha>
void ConvertCMYK(const TColorManager&, const RowArgs& a) {
  constexpr size_t tstep = (TargetAlpha ? 4 : 3) * sizeof(T);
  ForPixels(a.count, a.mask, [&](uint32_t i, uint32_t s) {
    size_t o = s * a.step;
    S k = Load<S>(a.p[3] + o);
    if constexpr (sizeof(S) == 2 && Swap) k = Swap16(k);
    T out[3];
    for (int c = 0; c < 3; ++c) {
      S x = Load<S>(a.p[c] + o);
      if constexpr (sizeof(S) == 2 && Swap) x = Swap16(x);
      if constexpr (sizeof(S) == 1) {
        uint8_t v = Clamp255(255 - static_cast<int>(x - Scale(x, k, 255) + k));
        if constexpr (sizeof(T) == 1)
          out[c] = v;
        else
          out[c] = static_cast<T>(v * 257);
      } else {
        auto sum = static_cast<uint16_t>(x - Scale(x, k, 65535) + k);
        if constexpr (sizeof(T) == 1)
          out[c] = Clamp255(255 - static_cast<int>(Scale(sum, 255, 65535)));
        else
          out[c] = static_cast<uint16_t>(65535 - sum);
      }
    }
    uint8_t* t = a.target + i * tstep;
    // out holds C, M, Y, that is the red, green and blue values.
    Store<T>(t + (Reverse ? 2 : 0) * sizeof(T), out[0]);
    Store<T>(t + 1 * sizeof(T), out[1]);
    Store<T>(t + (Reverse ? 0 : 2) * sizeof(T), out[2]);
  });
}

// Linear light in 0..1 to an 8-bit sRGB display value. The bitmap holds
// display values: without this curve every Lab picture comes out far too
// dark (L* 50 would show as 47 instead of 119). entry k of the table is the
// linear value whose display value lies halfway between k and k + 1, so a
// search rounds to the nearest display value.
const std::array<double, 255>& DisplayThresholds() {
  static const std::array<double, 255> thresholds = [] {
    std::array<double, 255> t{};
    for (size_t k = 0; k < t.size(); ++k) {
      const double v = (static_cast<double>(k) + 0.5) / 255.0;
      t[k] = v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    }
    return t;
  }();
  return thresholds;
}

inline uint8_t LinearToDisplay(double linear) {
  const std::array<double, 255>& t = DisplayThresholds();
  return static_cast<uint8_t>(std::upper_bound(t.begin(), t.end(), linear) - t.begin());
}

// CIE L*a*b* to RGB. 16-bit samples are brought to the 8-bit scale first, so
// that both depths run the same formulas on the same ranges.
template <typename S, typename T, bool Swap, bool Reverse, bool TargetAlpha>
void ConvertLab(const TColorManager& m, const RowArgs& a) {
  constexpr size_t tstep = (TargetAlpha ? 4 : 3) * sizeof(T);
  const bool byteRange = (m.SourceFlags & cfLabByteRange) != 0;
  const bool chromaOffset = (m.SourceFlags & cfLabChromaOffset) != 0;
  ForPixels(a.count, a.mask, [&](uint32_t i, uint32_t s) {
    size_t o = s * a.step;
    double L, A, B;
    if constexpr (sizeof(S) == 1) {
      uint8_t l = a.p[0][o], ca = a.p[1][o], cb = a.p[2][o];
      L = byteRange ? l / 2.55 : l;
      A = chromaOffset ? ca - 128.0 : static_cast<int8_t>(ca);
      B = chromaOffset ? cb - 128.0 : static_cast<int8_t>(cb);
    } else {
      uint16_t l = Load<uint16_t>(a.p[0] + o), ca = Load<uint16_t>(a.p[1] + o),
               cb = Load<uint16_t>(a.p[2] + o);
      if constexpr (Swap) {
        l = Swap16(l);
        ca = Swap16(ca);
        cb = Swap16(cb);
      }
      double l8 = l / 257.0;
      L = byteRange ? l8 / 2.55 : l8;
      A = chromaOffset ? ca / 257.0 - 128.0 : static_cast<int16_t>(ca) / 256.0;
      B = chromaOffset ? cb / 257.0 - 128.0 : static_cast<int16_t>(cb) / 256.0;
    }
    // Each of X, Y, Z leaves the cube for the straight segment on its own:
    // deciding all three by L* alone makes dark saturated colours jump as
    // L* crosses 8.
    auto inverse = [](double f) {
      constexpr double knee = 6.0 / 29.0;
      return f > knee ? f * f * f : (f - 4.0 / 29.0) * 3.0 * knee * knee;
    };
    const double fy = (L + 16.0) / 116.0;
    const double X = inverse(fy + A / 500.0), Y = inverse(fy), Z = inverse(fy - B / 200.0);
    // X, Y, Z are relative to the white, which this matrix takes to
    // R = G = B = 1; the results are linear light.
    double bl = 0.099 * X - 0.198 * Y + 1.099 * Z;
    double gr = -0.952 * X + 1.893 * Y + 0.059 * Z;
    double rd = 2.998 * X - 1.458 * Y - 0.541 * Z;
    // A 16-bit target gets the 8-bit value times 257.
    constexpr unsigned widen = sizeof(T) == 1 ? 1 : 257;
    const auto r8 = static_cast<T>(LinearToDisplay(rd) * widen);
    const auto g8 = static_cast<T>(LinearToDisplay(gr) * widen);
    const auto b8 = static_cast<T>(LinearToDisplay(bl) * widen);
    uint8_t* t = a.target + i * tstep;
    Store<T>(t + (Reverse ? 2 : 0) * sizeof(T), r8);
    Store<T>(t + 1 * sizeof(T), g8);
    Store<T>(t + (Reverse ? 0 : 2) * sizeof(T), b8);
  });
}

// YCbCr and Photo-YCC through the chroma tables; planes luma, Cb, Cr.
template <typename S, typename T, bool Swap, bool Reverse, bool TargetAlpha>
void ConvertYCC(const TColorManager& m, const RowArgs& a) {
  constexpr size_t tstep = (TargetAlpha ? 4 : 3) * sizeof(T);
  const TColorManager::ChromaTables& c = *m.Chroma();
  auto sample = [&](const uint8_t* p) -> int {
    if constexpr (sizeof(S) == 1) {
      return *p;
    } else {
      uint16_t w = Load<uint16_t>(p);
      if constexpr (Swap) w = Swap16(w);
      return To8(w);
    }
  };
  ForPixels(a.count, a.mask, [&](uint32_t i, uint32_t s) {
    size_t o = s * a.step;
    int y = sample(a.p[0] + o), cb = sample(a.p[1] + o), cr = sample(a.p[2] + o);
    uint8_t r = Clamp255(y + c.RedFromCr[cr]);
    uint8_t g = Clamp255(y + c.GreenFromCb[cb] + c.GreenFromCr[cr]);
    uint8_t b = Clamp255(y + c.BlueFromCb[cb]);
    uint8_t* t = a.target + i * tstep;
    auto put = [&](int at, uint8_t v) {
      if constexpr (sizeof(T) == 1)
        Store<T>(t + at, v);
      else
        Store<T>(t + at * 2, static_cast<T>(v * 257));
    };
    put(Reverse ? 2 : 0, r);
    put(1, g);
    put(Reverse ? 0 : 2, b);
  });
}

// Converter choice: the run-time settings become template arguments here,
// once per selection.

template <int S>
RowConverter PickIndexedT(int t) {
  switch (t) {
    case 1:
      return &ConvertIndexed<S, 1>;
    case 2:
      return &ConvertIndexed<S, 2>;
    case 3:
      return &ConvertIndexed<S, 3>;
    case 4:
      return &ConvertIndexed<S, 4>;
    case 5:
      return &ConvertIndexed<S, 5>;
    case 6:
      return &ConvertIndexed<S, 6>;
    case 7:
      return &ConvertIndexed<S, 7>;
    case 8:
      return &ConvertIndexed<S, 8>;
    default:
      return nullptr;
  }
}

RowConverter PickIndexed(int s, int t) {
  switch (s) {
    case 1:
      return PickIndexedT<1>(t);
    case 2:
      return PickIndexedT<2>(t);
    case 3:
      return PickIndexedT<3>(t);
    case 4:
      return PickIndexedT<4>(t);
    case 5:
      return PickIndexedT<5>(t);
    case 6:
      return PickIndexedT<6>(t);
    case 7:
      return PickIndexedT<7>(t);
    case 8:
      return PickIndexedT<8>(t);
    default:
      return nullptr;
  }
}

template <bool Swap>
RowConverter PickIndexed16To8(int t) {
  switch (t) {
    case 1:
      return &ConvertIndexed16To8<1, Swap>;
    case 2:
      return &ConvertIndexed16To8<2, Swap>;
    case 3:
      return &ConvertIndexed16To8<3, Swap>;
    case 4:
      return &ConvertIndexed16To8<4, Swap>;
    case 5:
      return &ConvertIndexed16To8<5, Swap>;
    case 6:
      return &ConvertIndexed16To8<6, Swap>;
    case 7:
      return &ConvertIndexed16To8<7, Swap>;
    case 8:
      return &ConvertIndexed16To8<8, Swap>;
    default:
      return nullptr;
  }
}

template <bool Swap>
RowConverter PickIndexed8To16(int s) {
  switch (s) {
    case 1:
      return &ConvertIndexed8To16<1, Swap>;
    case 2:
      return &ConvertIndexed8To16<2, Swap>;
    case 3:
      return &ConvertIndexed8To16<3, Swap>;
    case 4:
      return &ConvertIndexed8To16<4, Swap>;
    case 5:
      return &ConvertIndexed8To16<5, Swap>;
    case 6:
      return &ConvertIndexed8To16<6, Swap>;
    case 7:
      return &ConvertIndexed8To16<7, Swap>;
    case 8:
      return &ConvertIndexed8To16<8, Swap>;
    default:
      return nullptr;
  }
}

// Expands a run-time choice of depths (8 or 16 each) into the two sample types.
template <template <typename, typename> class Pick, typename... Args>
RowConverter ByDepths(int s, int t, Args... args) {
  if (s == 8 && t == 8) return Pick<uint8_t, uint8_t>::Get(args...);
  if (s == 8 && t == 16) return Pick<uint8_t, uint16_t>::Get(args...);
  if (s == 16 && t == 8) return Pick<uint16_t, uint8_t>::Get(args...);
  if (s == 16 && t == 16) return Pick<uint16_t, uint16_t>::Get(args...);
  return nullptr;
}

template <typename S, typename T>
struct PickGray {
  static RowConverter Get(bool swap) { return swap ? &ConvertGray<S, T, true> : &ConvertGray<S, T, false>; }
};

template <typename S, typename T>
struct PickColour {
  template <bool Swap, bool Gamma, bool Reverse>
  static RowConverter ByAlpha(int alpha) {
    switch (alpha) {
      case 0:
        return &ConvertColour<S, T, Swap, Gamma, Reverse, 0>;
      case 1:
        return &ConvertColour<S, T, Swap, Gamma, Reverse, 1>;
      default:
        return &ConvertColour<S, T, Swap, Gamma, Reverse, 2>;
    }
  }
  template <bool Swap, bool Gamma>
  static RowConverter ByReverse(bool reverse, int alpha) {
    return reverse ? ByAlpha<Swap, Gamma, true>(alpha) : ByAlpha<Swap, Gamma, false>(alpha);
  }
  static RowConverter Get(bool swap, bool gamma, bool reverse, int alpha) {
    // Swapping only matters with a 16-bit side, gamma only with an 8-bit target.
    if (sizeof(S) == 1 && sizeof(T) == 1) swap = false;
    if (sizeof(T) == 2 && sizeof(S) == 2) gamma = false;
    if (swap) return gamma ? ByReverse<true, true>(reverse, alpha) : ByReverse<true, false>(reverse, alpha);
    return gamma ? ByReverse<false, true>(reverse, alpha) : ByReverse<false, false>(reverse, alpha);
  }
};

template <template <typename, typename, bool, bool, bool> class Conv>
struct PickThree {
  template <typename S, typename T>
  struct Of {
    static RowConverter Get(bool swap, bool reverse, bool alpha) {
      if (sizeof(S) == 1) swap = false;
      if (swap) {
        if (reverse) return alpha ? &Conv<S, T, true, true, true>::Run : &Conv<S, T, true, true, false>::Run;
        return alpha ? &Conv<S, T, true, false, true>::Run : &Conv<S, T, true, false, false>::Run;
      }
      if (reverse) return alpha ? &Conv<S, T, false, true, true>::Run : &Conv<S, T, false, true, false>::Run;
      return alpha ? &Conv<S, T, false, false, true>::Run : &Conv<S, T, false, false, false>::Run;
    }
  };
};

template <typename S, typename T, bool Swap, bool Reverse, bool Alpha>
struct CMYKConv {
  static void Run(const TColorManager& m, const RowArgs& a) { ConvertCMYK<S, T, Swap, Reverse, Alpha>(m, a); }
};
template <typename S, typename T, bool Swap, bool Reverse, bool Alpha>
struct LabConv {
  static void Run(const TColorManager& m, const RowArgs& a) { ConvertLab<S, T, Swap, Reverse, Alpha>(m, a); }
};
template <typename S, typename T, bool Swap, bool Reverse, bool Alpha>
struct YCCConv {
  static void Run(const TColorManager& m, const RowArgs& a) { ConvertYCC<S, T, Swap, Reverse, Alpha>(m, a); }
};

bool IsRGBOrder(TColorModel m) {
  return m == cmRGB || m == cmRGBA;
}
bool IsBGROrder(TColorModel m) {
  return m == cmBGR || m == cmBGRA;
}

uint32_t SelectedPixels(uint32_t count, uint8_t mask) {
  if (mask == 0xFF) return count;
  uint32_t n = (count / 8) * static_cast<uint32_t>(std::popcount(mask));
  uint32_t rest = count % 8;
  if (rest) n += static_cast<uint32_t>(std::popcount(static_cast<uint8_t>(mask & ~(0xFF >> rest))));
  return n;
}

}  // namespace
}  // namespace colorimpl

using namespace colorimpl;

TColorManager::TColorManager() {
  BuildGammaTable(1.0f, 2.2f);
}

TColorManager::~TColorManager() = default;

void TColorManager::SetSourceSampleBits(uint8_t bits) {
  if (bits == 0 || bits > 16) throw EColorConversionError(SInvalidColorDepth);
  if (bits != sourceBits_) {
    sourceBits_ = bits;
    SetChanged();
  }
}

void TColorManager::SetTargetSampleBits(uint8_t bits) {
  if (bits == 0 || bits > 16) throw EColorConversionError(SInvalidColorDepth);
  if (bits != targetBits_) {
    targetBits_ = bits;
    SetChanged();
  }
}

void TColorManager::SetSourceSampleCount(uint8_t count) {
  if (count == 0 || count > 4) throw EColorConversionError(SInvalidSampleCount);
  if (count != sourceCount_) {
    sourceCount_ = count;
    SetChanged();
  }
}

void TColorManager::SetTargetSampleCount(uint8_t count) {
  if (count == 0 || count > 4) throw EColorConversionError(SInvalidSampleCount);
  if (count != targetCount_) {
    targetCount_ = count;
    SetChanged();
  }
}

void TColorManager::SetSourceModel(TColorModel model) {
  if (model != sourceModel_) {
    sourceModel_ = model;
    SetChanged();
  }
}

void TColorManager::SetTargetModel(TColorModel model) {
  if (model != targetModel_) {
    targetModel_ = model;
    SetChanged();
  }
}

void TColorManager::SelectConverter() {
  converter_ = nullptr;
  const bool sourceIndexed =
      sourceModel_ == cmIndexed || sourceModel_ == cmGray || sourceModel_ == cmGrayAlpha;
  const bool targetIndexed = targetModel_ == cmIndexed || targetModel_ == cmGray;
  if (sourceIndexed != targetIndexed) throw EColorConversionError(SIndexedNotSupported);

  auto hasAlpha = [](TColorModel m) { return m == cmGrayAlpha || m == cmRGBA || m == cmBGRA; };
  SourceFlags =
      static_cast<TColorFlags>(hasAlpha(sourceModel_) ? SourceFlags | cfAlpha : SourceFlags & ~cfAlpha);
  TargetFlags =
      static_cast<TColorFlags>(hasAlpha(targetModel_) ? TargetFlags | cfAlpha : TargetFlags & ~cfAlpha);
  const bool sourceAlpha = SourceFlags & cfAlpha, targetAlpha = TargetFlags & cfAlpha;
  const bool swap = SourceFlags & cfSwapBytes, gamma = TargetFlags & cfGamma;
  const int s = sourceBits_, t = targetBits_;
  const bool wide = (s == 8 || s == 16) && (t == 8 || t == 16);
  const bool rgbTarget = IsRGBOrder(targetModel_), bgrTarget = IsBGROrder(targetModel_);

  Layout l;
  auto colourLayout = [&](uint8_t pixelSamples, uint8_t channels) {
    l.sampleBytes = static_cast<uint8_t>(s / 8);
    l.pixelSamples = pixelSamples;
    l.channels = channels;
    l.targetBitsPerPixel = static_cast<uint8_t>((targetAlpha ? 4 : 3) * t);
  };
  auto packedLayout = [&] {
    l.packed = true;
    l.sourceBits = static_cast<uint8_t>(s);
    l.targetBitsPerPixel = static_cast<uint8_t>(t);
  };

  RowConverter c = nullptr;
  switch (sourceModel_) {
    case cmIndexed:
      if (s == 16 && t == 16)
        c = swap ? &ConvertIndexed16To16<true> : &ConvertIndexed16To16<false>;
      else if (s == 16)
        c = swap ? PickIndexed16To8<true>(t) : PickIndexed16To8<false>(t);
      else if (t == 16)
        c = swap ? PickIndexed8To16<true>(s) : PickIndexed8To16<false>(s);
      else
        c = PickIndexed(s, t);
      packedLayout();
      break;
    case cmGray:
      if (s != 16 && t != 16) {
        c = PickIndexed(s, t);
        packedLayout();
        break;
      }
      [[fallthrough]];
    case cmGrayAlpha:
      c = wide ? ByDepths<PickGray>(s, t, swap) : nullptr;
      l.sampleBytes = static_cast<uint8_t>(s / 8);
      l.pixelSamples = sourceAlpha ? 2 : 1;
      l.targetBitsPerPixel = static_cast<uint8_t>(t);
      break;
    case cmRGB:
    case cmRGBA:
    case cmBGR:
    case cmBGRA:
      if (wide && (rgbTarget || bgrTarget)) {
        bool reverse = IsRGBOrder(sourceModel_) != rgbTarget;
        int alpha = targetAlpha ? (sourceAlpha ? 2 : 1) : 0;
        c = ByDepths<PickColour>(s, t, swap, gamma, reverse, alpha);
        colourLayout(sourceAlpha ? 4 : 3, alpha == 2 ? 4 : 3);
      }
      break;
    case cmCMYK:
      if (wide && (rgbTarget || bgrTarget)) {
        c = ByDepths<PickThree<CMYKConv>::Of>(s, t, swap, bgrTarget, targetAlpha);
        colourLayout(4, 4);
      }
      break;
    case cmCIELab:
      if (wide && (rgbTarget || bgrTarget)) {
        c = ByDepths<PickThree<LabConv>::Of>(s, t, swap, bgrTarget, targetAlpha);
        colourLayout(3, 3);
      }
      break;
    case cmYCbCr:
    case cmPhotoYCC:
      if (rgbTarget || bgrTarget) {
        BuildYCCTables(sourceModel_ == cmPhotoYCC);
        if (wide) {
          c = ByDepths<PickThree<YCCConv>::Of>(s, t, swap, bgrTarget, targetAlpha);
          colourLayout(3, 3);
        }
      }
      break;
    default:
      break;
  }
  converter_ = c;
  layout_ = l;
  selectedSourceFlags_ = SourceFlags;
  selectedTargetFlags_ = TargetFlags;
  changed_ = false;
}

void TColorManager::BuildYCCTables(bool photo) {
  const double kr = LumaWeights[0], kg = LumaWeights[1], kb = LumaWeights[2];
  const double crR = 2 - 2 * kr, cbB = 2 - 2 * kb;
  const double crG = kr * crR / kg, cbG = kb * cbB / kg;
  chroma_.assign(1, ChromaTables{});
  ChromaTables& c = chroma_.front();
  for (int i = 0; i < 256; ++i) {
    const double ecr = photo ? i - 137 : i - 128;
    const double ecb = photo ? i - 156 : i - 128;
    c.RedFromCr[i] = static_cast<int32_t>(std::nearbyint(crR * ecr));
    c.BlueFromCb[i] = static_cast<int32_t>(std::nearbyint(cbB * ecb));
    c.GreenFromCr[i] = -static_cast<int32_t>(std::nearbyint(crG * ecr));
    c.GreenFromCb[i] = -static_cast<int32_t>(std::nearbyint(cbG * ecb));
  }
}

void TColorManager::ConvertRow(std::span<const TRowPlane> planes, std::span<uint8_t> target, uint32_t count,
                               uint8_t mask) {
  constexpr TColorFlags settable = static_cast<TColorFlags>(~cfAlpha);
  if (changed_ || (SourceFlags & settable) != (selectedSourceFlags_ & settable) ||
      (TargetFlags & settable) != (selectedTargetFlags_ & settable))
    SelectConverter();
  if (!converter_) throw EColorConversionError(SConversionFailed);
  if (count == 0) return;
  if (planes.empty()) throw EColorConversionError(SRowDoesNotFit);

  const uint64_t selected = SelectedPixels(count, mask);
  const uint64_t targetBytes = (static_cast<uint64_t>(count) * layout_.targetBitsPerPixel + 7) / 8;
  if (target.size() < targetBytes) throw EColorConversionError(SRowDoesNotFit);

  RowArgs a;
  a.target = target.data();
  a.count = count;
  a.mask = mask;
  if (layout_.packed) {
    if (planes[0].size() < (selected * layout_.sourceBits + 7) / 8)
      throw EColorConversionError(SRowDoesNotFit);
    a.p[0] = planes[0].data();
  } else if (planes.size() == 1 || layout_.channels == 0) {
    const uint64_t pixelBytes = static_cast<uint64_t>(layout_.sampleBytes) * layout_.pixelSamples;
    if (planes[0].size() < selected * pixelBytes) throw EColorConversionError(SRowDoesNotFit);
    for (int i = 0; i < 4 && i < layout_.pixelSamples; ++i)
      a.p[i] = planes[0].data() + i * layout_.sampleBytes;
    a.step = pixelBytes;
  } else {
    if (planes.size() < layout_.channels) throw EColorConversionError(SRowDoesNotFit);
    for (int i = 0; i < layout_.channels; ++i) {
      if (planes[i].size() < selected * layout_.sampleBytes) throw EColorConversionError(SRowDoesNotFit);
      a.p[i] = planes[i].data();
    }
    a.step = layout_.sampleBytes;
  }
  converter_(*this, a);
}

void TColorManager::BuildGammaTable(float imageGamma, float monitorGamma) {
  imageGamma_ = imageGamma > 0 ? imageGamma : 1.0f;
  monitorGamma_ = monitorGamma > 0 ? monitorGamma : 2.2f;
  // Every user of the table indexes it with an 8-bit sample and stores an
  // 8-bit intensity, so it is the 8-bit table whatever the target depth.
  const double exponent = 1.0 / (static_cast<double>(imageGamma_) * monitorGamma_);
  for (int i = 0; i < 256; ++i)
    gamma_[i] = static_cast<uint8_t>(std::nearbyint(std::pow(i / 255.0, exponent) * 255.0));
}

void TColorManager::ConfigureYCbCr(std::span<const float> coefficients, uint8_t horizontal,
                                   uint8_t vertical) {
  for (size_t i = 0; i < coefficients.size() && i < 3; ++i) LumaWeights[i] = coefficients[i];
  auto valid = [](uint8_t v) { return v == 1 || v == 2 || v == 4; };
  if (!valid(horizontal) || !valid(vertical)) throw EColorConversionError(SInvalidSubSampling);
  if (horizontal < vertical) throw EColorConversionError(SVerticalSubSamplingError);
  hSubSampling_ = horizontal;
  vSubSampling_ = vertical;
}

graphics::TPixelFormat TColorManager::ChoosePixelFormat(bool targetSide) const {
  const int samples = targetSide ? targetCount_ : sourceCount_;
  const int bits = targetSide ? targetBits_ : sourceBits_;
  switch (samples) {
    case 1:
      if (bits == 1) return graphics::pf1bit;
      if (bits >= 2 && bits <= 4) return graphics::pf4bit;
      if (bits >= 8) return graphics::pf8bit;
      return graphics::pfCustom;
    case 3:
      return bits <= 5 ? graphics::pf15bit : graphics::pf24bit;
    case 4:
      return bits >= 8 ? graphics::pf32bit : graphics::pfCustom;
    default:
      return graphics::pfCustom;
  }
}

graphics::HPALETTE TColorManager::MakeGrayPalette(bool minimumIsWhite) const {
  const int bits = std::min(targetBits_ * targetCount_, 8);
  const int n = 1 << bits;
  const int step = 255 / (n - 1);
  const bool gamma = TargetFlags & cfGamma;
  graphics::TLogPalette lp;
  lp.palVersion = 0x300;
  lp.palPalEntry.resize(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    int v = i * step;
    auto g = static_cast<uint8_t>(gamma ? gamma_[static_cast<size_t>(v)] : v);
    lp.palPalEntry[static_cast<size_t>(minimumIsWhite ? n - 1 - i : i)] = {g, g, g, 0};
  }
  return graphics::CreatePalette(lp);
}

graphics::HPALETTE TColorManager::MakePaletteFromColormap(std::span<const TRowPlane> planes,
                                                          TColormapLayout layout, uint32_t count,
                                                          bool bgrOrder) const {
  const bool wide = layout >= cml16Interleaved3;
  const bool planar =
      layout == cml8Planar3 || layout == cml8Planar4 || layout == cml16Planar3 || layout == cml16Planar4;
  const size_t sampleBytes = wide ? 2 : 1;
  const size_t entrySamples = planar                                                        ? 1
                              : (layout == cml8Interleaved4 || layout == cml16Interleaved4) ? 4
                                                                                            : 3;
  const bool gamma = TargetFlags & cfGamma;
  const bool swap = SourceFlags & cfSwapBytes;

  auto sample = [&](const uint8_t* p) -> uint8_t {
    uint8_t v;
    if (wide) {
      uint16_t w;
      std::memcpy(&w, p, 2);
      if (swap) w = Swap16(w);
      v = To8(w);
    } else {
      v = *p;
    }
    return gamma ? gamma_[v] : v;
  };
  // Entry j of the map, black when the map or its buffers end before it.
  auto entry = [&](uint64_t j) -> graphics::TPaletteEntry {
    graphics::TPaletteEntry e;
    if (j >= count || planes.empty()) return e;
    uint8_t c[3];
    if (planar) {
      if (planes.size() < 3) return e;
      for (size_t k = 0; k < 3; ++k) {
        if (planes[k].size() < (j + 1) * sampleBytes) return e;
        c[k] = sample(planes[k].data() + j * sampleBytes);
      }
    } else {
      const uint64_t at = j * entrySamples * sampleBytes;
      if (planes[0].size() < at + 3 * sampleBytes) return e;
      for (size_t k = 0; k < 3; ++k) c[k] = sample(planes[0].data() + at + k * sampleBytes);
      if (bgrOrder) std::swap(c[0], c[2]);
    }
    e.peRed = c[0];
    e.peGreen = c[1];
    e.peBlue = c[2];
    return e;
  };

  const int s = sourceBits_, t = targetBits_;
  graphics::TLogPalette lp;
  lp.palVersion = 0x300;
  if (t <= 8) {
    // One entry for every index the target can hold. When the depths
    // differ, index i stands for source index scale(i, 2^s - 1, 2^t - 1),
    // read straight from the map so that no entry beyond the first 256 is
    // lost and none is read before it exists.
    const uint32_t smax = (1u << s) - 1, tmax = (1u << t) - 1;
    lp.palPalEntry.resize(size_t{1} << t);
    for (uint32_t i = 0; i <= tmax; ++i) lp.palPalEntry[i] = entry(smax == tmax ? i : Scale(i, smax, tmax));
  } else {
    const uint32_t n = std::clamp<uint32_t>(count, 1, graphics::kMaxPaletteEntries);
    lp.palPalEntry.resize(n);
    for (uint32_t i = 0; i < n; ++i) lp.palPalEntry[i] = entry(i);
  }
  return graphics::CreatePalette(lp);
}

}  // namespace imaging
