// Pixel format conversion and a quarter turn of an A4 300 dpi bilevel page,
// each beside a memcpy of the same bytes; the bilevel page's quarter turn
// through 24 bits beside the same turn of the 1-bit bitmap.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench/graphics/A4Page.h"
#include "converter/Images.h"

namespace {

int64_t Bytes24() {
  return graphics::TBitmap::BytesPerScanLine(bench::kA4Width, graphics::pf24bit) * bench::kA4Height;
}

void BM_Memcpy24BitPage(benchmark::State& state) {
  std::vector<uint8_t> a(static_cast<size_t>(Bytes24()), 1), b(a.size());
  for (auto _ : state) {
    std::memcpy(b.data(), a.data(), a.size());
    benchmark::DoNotOptimize(b.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * Bytes24());
}
BENCHMARK(BM_Memcpy24BitPage)->Unit(benchmark::kMillisecond);

// 1 -> 24 -> 1 bits, as the converter does with every bilevel page.
void BM_Convert1To24To1(benchmark::State& state) {
  graphics::TBitmap page;
  bench::FillA4Page(page);
  for (auto _ : state) {
    page.SetPixelFormat(graphics::pf24bit);
    page.SetPixelFormat(graphics::pf1bit);
    benchmark::DoNotOptimize(page.ScanLine(0));
  }
  state.SetBytesProcessed(state.iterations() * Bytes24());
}
BENCHMARK(BM_Convert1To24To1)->Unit(benchmark::kMillisecond);

void BM_QuarterTurn24BitPage(benchmark::State& state) {
  forms::TImage image(nullptr);
  bench::FillA4Page(image.Picture().Bitmap());
  image.Picture().Bitmap().SetPixelFormat(graphics::pf24bit);
  for (auto _ : state) {
    converter::RotateImage90(image);
    benchmark::DoNotOptimize(image.Picture().Bitmap().ScanLine(0));
  }
  state.SetBytesProcessed(state.iterations() * Bytes24());
}
BENCHMARK(BM_QuarterTurn24BitPage)->Unit(benchmark::kMillisecond);

// A bilevel page turned by 90 as the converter turned it before: through 24
// bits and back.
void BM_BilevelQuarterTurnThrough24Bits(benchmark::State& state) {
  forms::TImage image(nullptr);
  bench::FillA4Page(image.Picture().Bitmap());
  for (auto _ : state) {
    graphics::TBitmap& page = image.Picture().Bitmap();
    page.SetPixelFormat(graphics::pf24bit);
    converter::RotateImage90(image);
    page.SetPixelFormat(graphics::pf1bit);
    benchmark::DoNotOptimize(page.ScanLine(0));
  }
}
BENCHMARK(BM_BilevelQuarterTurnThrough24Bits)->Unit(benchmark::kMillisecond);

// The same page and turn as the converter turns it now: as a 1-bit bitmap,
// then brought to black and white.
void BM_BilevelQuarterTurn1Bit(benchmark::State& state) {
  forms::TImage image(nullptr);
  bench::FillA4Page(image.Picture().Bitmap());
  for (auto _ : state) {
    converter::RotateImage90(image);
    converter::MakeBlackAndWhite(image.Picture().Bitmap());
    benchmark::DoNotOptimize(image.Picture().Bitmap().ScanLine(0));
  }
}
BENCHMARK(BM_BilevelQuarterTurn1Bit)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
