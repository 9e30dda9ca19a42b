#include "imaging/ImageCodecs.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "imaging/ImageCodecsPrivate.h"

namespace imaging {

using codec::TByteSink;
using codec::TByteSource;

void CodecError(const char* message) {
  throw EImageCodecError(std::string(message));
}

size_t TDecoder::EncodeBlock(std::span<const uint8_t>, std::span<uint8_t>, size_t) {
  return 0;
}

// ---------------------------------------------------------------- Targa

size_t TTargaRLEDecoder::PixelSize() const {
  switch (depth_) {
    case 8:
      return 1;
    case 15:
    case 16:
      return 2;
    case 24:
      return 3;
    case 32:
      return 4;
    default:
      return 0;
  }
}

// Every packet costs one header and covers at least one pixel: single
// literals between runs of two cost more than long literals do.
size_t TTargaRLEDecoder::MaxEncodedSize(size_t count) const {
  return count * (PixelSize() + 1);
}

TDecodeResult TTargaRLEDecoder::DecodeBlock(std::span<const uint8_t> source, std::span<uint8_t> dest) {
  const size_t p = PixelSize();
  if (p == 0) return {};
  TByteSource in(source);
  TByteSink out(dest.first(dest.size() / p * p));
  while (!out.Full() && !in.AtEnd()) {
    const uint8_t h = in.Byte();
    const size_t n = (h & 127u) + 1;
    if (h & 128u) {
      std::span<const uint8_t> pixel = in.Take(p);
      if (pixel.size() < p) break;
      out.Repeat(pixel, n);
    } else {
      // A packet cut by the destination is still consumed whole, so that
      // consumed always ends on a packet boundary.
      std::span<const uint8_t> pixels = in.Take(n * p);
      out.Copy(pixels.first(pixels.size() / p * p));
    }
  }
  return Outcome(in, out);
}

size_t TTargaRLEDecoder::EncodeBlock(std::span<const uint8_t> source, std::span<uint8_t> dest, size_t count) {
  const size_t p = PixelSize();
  if (p == 0) return 0;
  if (count > source.size() / p) CodecError("Targa encoder: fewer pixels than the count.");
  auto pixel = [&](size_t i) { return source.subspan(i * p, p); };
  auto same = [&](size_t a, size_t b) {
    return std::memcmp(source.data() + a * p, source.data() + b * p, p) == 0;
  };
  size_t outPos = 0;
  auto put = [&](std::span<const uint8_t> bytes) {
    if (bytes.size() > dest.size() - outPos) CodecError("Targa encoder: the destination is too small.");
    std::memcpy(dest.data() + outPos, bytes.data(), bytes.size());
    outPos += bytes.size();
  };
  size_t i = 0;
  while (i < count) {
    const size_t remaining = count - i;
    size_t literal = 0;
    if (remaining == 1) {
      literal = 1;
    } else {
      while (literal < remaining && literal < 128 &&
             !(literal + 1 < remaining && same(i + literal, i + literal + 1)))
        ++literal;
    }
    if (literal > 0) {
      const uint8_t header = static_cast<uint8_t>(literal - 1);
      put({&header, 1});
      put(source.subspan(i * p, literal * p));
      i += literal;
      continue;
    }
    size_t run = 1;
    while (run < remaining && run < 128 && same(i, i + run)) ++run;
    const uint8_t header = static_cast<uint8_t>((run - 1) | 128u);
    put({&header, 1});
    put(pixel(i + run - 1));
    i += run;
  }
  return outPos;
}

// ---------------------------------------------------------------- PackBits

TDecodeResult TPackbitsRLEDecoder::DecodeBlock(std::span<const uint8_t> source, std::span<uint8_t> dest) {
  TByteSource in(source);
  TByteSink out(dest);
  while (!out.Full() && !in.AtEnd()) {
    const auto c = static_cast<int8_t>(in.Byte());
    if (c >= 0) {
      // A literal cut by either end copies what both allow and stops there.
      const size_t n = std::min<size_t>(static_cast<size_t>(c) + 1, out.Left());
      out.Copy(in.Take(n));
    } else if (c != -128) {
      if (in.AtEnd()) break;
      out.Fill(in.Byte(), static_cast<size_t>(1 - c));
    }
  }
  return Outcome(in, out);
}

// ---------------------------------------------------------------- PCX

TDecodeResult TPCXRLEDecoder::DecodeBlock(std::span<const uint8_t> source, std::span<uint8_t> dest) {
  TByteSource in(source);
  TByteSink out(dest);
  while (!out.Full() && !in.AtEnd()) {
    const uint8_t b = in.Byte();
    if (b < 192) {
      out.Fill(b, 1);
    } else {
      if (in.AtEnd()) break;
      out.Fill(in.Byte(), b & 63u);
    }
  }
  return Outcome(in, out);
}

// ---------------------------------------------------------------- SGI

TDecodeResult TSGIRLEDecoder::DecodeBlock(std::span<const uint8_t> source, std::span<uint8_t> dest) {
  const size_t sampleSize = bitsPerSample_ == 16 ? 2 : 1;
  TByteSource in(source);
  TByteSink out(dest.first(dest.size() / sampleSize * sampleSize));
  // The row ends at its marker; a stream that goes on past a full
  // destination is read to the marker but writes nothing more.
  while (in.Left() >= sampleSize) {
    unsigned control = in.Byte();
    if (sampleSize == 2) control = (control << 8) | in.Byte();
    const size_t n = control & 127u;
    if (n == 0) break;
    if (control & 128u) {
      std::span<const uint8_t> samples = in.Take(n * sampleSize);
      out.Copy(samples.first(samples.size() / sampleSize * sampleSize));
    } else {
      std::span<const uint8_t> sample = in.Take(sampleSize);
      if (sample.size() < sampleSize) break;
      out.Repeat(sample, n);
    }
  }
  return Outcome(in, out);
}

// ---------------------------------------------------------------- Dr. Halo CUT

TDecodeResult TCUTRLEDecoder::DecodeBlock(std::span<const uint8_t> source, std::span<uint8_t> dest) {
  TByteSource in(source);
  TByteSink out(dest);
  in.Skip(2);  // the line's byte count: the terminating zero is the real end
  while (!in.AtEnd()) {
    const uint8_t c = in.Byte();
    if (c == 0) break;
    const size_t n = c & 127u;
    if (c & 128u) {
      if (in.AtEnd()) break;
      out.Fill(in.Byte(), n);
    } else {
      out.Copy(in.Take(n));
    }
  }
  return Outcome(in, out);
}

// ---------------------------------------------------------------- Paintshop Pro

TDecodeResult TPSPRLEDecoder::DecodeBlock(std::span<const uint8_t> source, std::span<uint8_t> dest) {
  TByteSource in(source);
  TByteSink out(dest);
  while (!out.Full() && !in.AtEnd()) {
    const uint8_t c = in.Byte();
    if (c >= 128) {
      if (in.AtEnd()) break;
      out.Fill(in.Byte(), c - 128u);
    } else {
      out.Copy(in.Take(c));
    }
  }
  return Outcome(in, out);
}

// ---------------------------------------------------------------- RLA

TDecodeResult TRLADecoder::DecodeBlock(std::span<const uint8_t> source, std::span<uint8_t> dest) {
  TByteSource in(source);
  TByteSink out(dest);
  while (!out.Full() && !in.AtEnd()) {
    const auto c = static_cast<int8_t>(in.Byte());
    if (c < 0) {
      out.Copy(in.Take(static_cast<size_t>(-c)));
    } else {
      if (in.AtEnd()) break;
      out.Fill(in.Byte(), static_cast<size_t>(c) + 1);
    }
  }
  return Outcome(in, out);
}

}  // namespace imaging
