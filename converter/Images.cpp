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
    throw graphics::EInvalidGraphicOperation(rtl::Format("Cannot turn a %s, only a bitmap", {g->ClassName()}));
  if (b->PixelFormat() != graphics::pf24bit)
    throw graphics::EInvalidGraphicOperation(
        rtl::Format("Cannot turn a bitmap of pixel format %s, only pf24bit", {graphics::PixelFormatName(b->PixelFormat())}));
  return b;
}

void Rotate(forms::TImage& image, Turn turn) {
  TBitmap* src = BitmapToTurn(image);
  if (!src) return;
  const int w = src->Width(), h = src->Height();
  TBitmap dst;
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
    case 90: RotateImage90(image); break;
    case 180: RotateImage180(image); break;
    case 270: RotateImage270(image); break;
    default: break;
  }
}

void RotateImage90(forms::TImage& image) { Rotate(image, Turn::Quarter); }
void RotateImage180(forms::TImage& image) { Rotate(image, Turn::Half); }
void RotateImage270(forms::TImage& image) { Rotate(image, Turn::ThreeQuarters); }

}  // namespace converter
