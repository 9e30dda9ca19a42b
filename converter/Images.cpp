#include "converter/Images.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace converter {

namespace {

using graphics::TBitmap;

// Pixels are moved in square tiles so that both the rows read and the rows
// written stay in the cache during a quarter turn.
constexpr int kTile = 32;

enum class Turn { Quarter, Half, ThreeQuarters };

// The picture's bitmap when there is something to turn, nullptr when the
// picture is empty.
TBitmap* BitmapToTurn(forms::TImage& image) {
  graphics::TGraphic* g = image.Picture().Graphic();
  if (!g || g->Empty()) return nullptr;
  auto* b = dynamic_cast<TBitmap*>(g);
  if (!b)
    throw graphics::EInvalidGraphicOperation(
        rtl::Format("Cannot turn a %s, only a bitmap", {g->ClassName()}));
  if (b->PixelFormat() != graphics::pf24bit && b->PixelFormat() != graphics::pf1bit)
    throw graphics::EInvalidGraphicOperation(
        rtl::Format("Cannot turn a bitmap of pixel format %s, only pf24bit or pf1bit",
                    {graphics::PixelFormatName(b->PixelFormat())}));
  return b;
}

bool BitAt(const uint8_t* row, int x) {
  return (row[x >> 3] >> (7 - (x & 7))) & 1;
}
void SetBit(uint8_t* row, int x) {
  row[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
}

// A bilevel bitmap is turned bit by bit, as it is: the new bitmap starts all
// zero (row padding included) and takes the source's palette.
void Rotate1(const TBitmap& src, TBitmap& dst, Turn turn) {
  const int w = src.Width(), h = src.Height();
  std::vector<const uint8_t*> in(static_cast<size_t>(h));
  for (int y = 0; y < h; ++y) in[static_cast<size_t>(y)] = src.ScanLine(y);
  std::vector<uint8_t*> out(static_cast<size_t>(dst.Height()));
  for (int y = 0; y < dst.Height(); ++y) out[static_cast<size_t>(y)] = dst.ScanLine(y);
  if (turn == Turn::Half) {
    // (x, y) -> (w - 1 - x, h - 1 - y).
    for (int y = 0; y < h; ++y) {
      const uint8_t* s = in[static_cast<size_t>(y)];
      uint8_t* d = out[static_cast<size_t>(h - 1 - y)];
      for (int x = 0; x < w; ++x)
        if (BitAt(s, x)) SetBit(d, w - 1 - x);
    }
    return;
  }
  // One source byte holds a bit of eight destination rows: the source is
  // read a byte at a time, row after row, and scattered into those eight.
  for (int x0 = 0; x0 < w; x0 += 8) {
    const int n = std::min(8, w - x0);
    for (int y = 0; y < h; ++y) {
      const uint8_t v = in[static_cast<size_t>(y)][x0 >> 3];
      if (!v) continue;
      for (int b = 0; b < n; ++b) {
        if (!((v >> (7 - b)) & 1)) continue;
        const int x = x0 + b;
        if (turn == Turn::Quarter)
          SetBit(out[static_cast<size_t>(x)], h - 1 - y);  // (x, y) -> (h - 1 - y, x)
        else
          SetBit(out[static_cast<size_t>(w - 1 - x)], y);  // (x, y) -> (y, w - 1 - x)
      }
    }
  }
}

void Rotate(forms::TImage& image, Turn turn) {
  TBitmap* src = BitmapToTurn(image);
  if (!src) return;
  const int w = src->Width(), h = src->Height();
  TBitmap dst;
  if (src->PixelFormat() == graphics::pf1bit) {
    dst.SetPixelFormat(graphics::pf1bit);
    if (turn == Turn::Half)
      dst.SetSize(w, h);
    else
      dst.SetSize(h, w);
    if (const graphics::TPalette* palette = src->Palette())
      dst.SetPalette(std::make_unique<graphics::TPalette>(palette->Entries()));
    Rotate1(*src, dst, turn);
    src->TakeOver(dst);
    return;
  }
  dst.SetPixelFormat(graphics::pf24bit);
  if (turn == Turn::Half)
    dst.SetSize(w, h);
  else
    dst.SetSize(h, w);

  std::vector<const uint8_t*> in(static_cast<size_t>(h));
  for (int y = 0; y < h; ++y) in[static_cast<size_t>(y)] = src->ScanLine(y);
  std::vector<uint8_t*> out(static_cast<size_t>(dst.Height()));
  for (int y = 0; y < dst.Height(); ++y) out[static_cast<size_t>(y)] = dst.ScanLine(y);

  if (turn == Turn::Half) {
    // (x, y) -> (w - 1 - x, h - 1 - y): each row reversed into its mirror row.
    for (int y = 0; y < h; ++y) {
      const uint8_t* s = in[static_cast<size_t>(y)];
      uint8_t* d = out[static_cast<size_t>(h - 1 - y)] + 3 * static_cast<size_t>(w - 1);
      for (int x = 0; x < w; ++x, s += 3, d -= 3) std::memcpy(d, s, 3);
    }
  } else {
    for (int y0 = 0; y0 < h; y0 += kTile) {
      const int y1 = std::min(h, y0 + kTile);
      for (int x0 = 0; x0 < w; x0 += kTile) {
        const int x1 = std::min(w, x0 + kTile);
        // Within a tile, each destination row is written in one run while
        // the reads step down the source rows: strided reads are far
        // cheaper than strided writes.
        for (int x = x0; x < x1; ++x) {
          const size_t from = 3 * static_cast<size_t>(x);
          if (turn == Turn::Quarter) {
            // (x, y) -> (h - 1 - y, x): destination row x, right to left.
            uint8_t* d = out[static_cast<size_t>(x)] + 3 * static_cast<size_t>(h - 1 - y0);
            for (int y = y0; y < y1; ++y, d -= 3) std::memcpy(d, in[static_cast<size_t>(y)] + from, 3);
          } else {
            // (x, y) -> (y, w - 1 - x): destination row w - 1 - x, left to right.
            uint8_t* d = out[static_cast<size_t>(w - 1 - x)] + 3 * static_cast<size_t>(y0);
            for (int y = y0; y < y1; ++y, d += 3) std::memcpy(d, in[static_cast<size_t>(y)] + from, 3);
          }
        }
      }
    }
  }
  // The picture keeps its bitmap object (and so its canvas); only the
  // pixels are replaced.
  src->TakeOver(dst);
}

}  // namespace

void RotateByPageRotation(forms::TImage& image, int rotation) {
  // PDF allows any multiple of 90, negative ones included.
  switch (((rotation % 360) + 360) % 360) {
    case 90:
      RotateImage90(image);
      break;
    case 180:
      RotateImage180(image);
      break;
    case 270:
      RotateImage270(image);
      break;
    default:
      break;
  }
}

void MakeBlackAndWhite(graphics::TBitmap& bitmap) {
  if (bitmap.PixelFormat() != graphics::pf1bit || bitmap.Empty()) return;
  // What each of the two indices becomes on the trip through 24 bits, found
  // by taking it with a two-pixel bitmap of the same palette.
  TBitmap probe;
  probe.SetPixelFormat(graphics::pf1bit);
  probe.SetSize(2, 1);
  if (const graphics::TPalette* palette = bitmap.Palette())
    probe.SetPalette(std::make_unique<graphics::TPalette>(palette->Entries()));
  probe.ScanLine(0)[0] = 0x40;  // index 0, then index 1
  probe.SetPixelFormat(graphics::pf24bit);
  probe.SetPixelFormat(graphics::pf1bit);
  const bool of0 = BitAt(probe.ScanLine(0), 0), of1 = BitAt(probe.ScanLine(0), 1);
  const int w = bitmap.Width(), bytes = (w + 7) / 8;
  const size_t stride = static_cast<size_t>(TBitmap::BytesPerScanLine(w, graphics::pf1bit));
  // The trip leaves the row padding zero.
  const uint8_t lastMask = static_cast<uint8_t>(0xFF << ((8 - w % 8) % 8));
  for (int y = 0; y < bitmap.Height(); ++y) {
    uint8_t* row = bitmap.ScanLine(y);
    for (int i = 0; i < bytes; ++i) {
      const uint8_t v = row[i];
      row[i] = static_cast<uint8_t>((of1 ? v : 0) | (of0 ? static_cast<uint8_t>(~v) : 0));
    }
    row[bytes - 1] &= lastMask;
    std::memset(row + bytes, 0, stride - static_cast<size_t>(bytes));
  }
  bitmap.SetPalette(graphics::MakeBlackWhitePalette());
}

void RotateImage90(forms::TImage& image) {
  Rotate(image, Turn::Quarter);
}
void RotateImage180(forms::TImage& image) {
  Rotate(image, Turn::Half);
}
void RotateImage270(forms::TImage& image) {
  Rotate(image, Turn::ThreeQuarters);
}

}  // namespace converter
