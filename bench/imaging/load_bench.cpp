// Loading the page images the converter meets (an A4 page at 300 dpi as a
// bitmap, at 600 dpi as a pixel map) from memory, beside a memcpy of the
// same number of bytes: the ratio is what the reader costs over moving the
// data once.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "imaging/PPMGraphic.h"

namespace {

std::string MakeMap(const char* magic, int width, int height, size_t rowBytes, bool withMax) {
  std::string file = std::string(magic) + "\n" + std::to_string(width) + " " + std::to_string(height) + "\n";
  if (withMax) file += "255\n";
  const size_t header = file.size();
  file.resize(header + rowBytes * static_cast<size_t>(height));
  std::mt19937 rng(1);
  for (size_t i = header; i < file.size(); ++i) file[i] = static_cast<char>(rng() & 0xFF);
  return file;
}

const std::string& PagePBM() {
  static const std::string f = MakeMap("P4", 2480, 3508, (2480 + 7) / 8, false);
  return f;
}
const std::string& PagePPM() {
  static const std::string f = MakeMap("P6", 4960, 7016, 4960 * 3, true);
  return f;
}

void Load(benchmark::State& state, const std::string& file) {
  rtl::TStringStream stream(file);
  imaging::TPPMGraphic g;
  for (auto _ : state) {
    stream.SetPosition(0);
    g.LoadFromStream(stream);
    benchmark::DoNotOptimize(g.ScanLine(0));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(file.size()));
}

void Copy(benchmark::State& state, const std::string& file) {
  std::vector<char> dest(file.size());
  for (auto _ : state) {
    std::memcpy(dest.data(), file.data(), file.size());
    benchmark::DoNotOptimize(dest.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(file.size()));
}

void BM_LoadPBM300(benchmark::State& s) {
  Load(s, PagePBM());
}
void BM_MemcpyPBM300(benchmark::State& s) {
  Copy(s, PagePBM());
}
void BM_LoadPPM600(benchmark::State& s) {
  Load(s, PagePPM());
}
void BM_MemcpyPPM600(benchmark::State& s) {
  Copy(s, PagePPM());
}

}  // namespace

BENCHMARK(BM_LoadPBM300)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemcpyPBM300)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadPPM600)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemcpyPPM600)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
