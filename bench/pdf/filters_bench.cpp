// Stream filter decoding speed. Flate through our decompressing stream and
// through the filter is measured beside plain zlib inflate of the same data
// in the same run; the text filters and RunLength report bytes per second.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <random>
#include <string>

#include "pdf/kvFilters.h"

namespace {

// Something like a scanned page's raster: long runs with noise between.
const std::string& Raw() {
  static const std::string data = [] {
    std::mt19937 rng(1);
    std::string s(8 << 20, '\0');
    size_t i = 0;
    while (i < s.size()) {
      size_t run = rng() % 200;
      char c = (rng() % 2) ? '\xFF' : '\0';
      for (size_t k = 0; k < run && i < s.size(); ++k) s[i++] = c;
      for (size_t k = 0; k < 16 && i < s.size(); ++k) s[i++] = static_cast<char>(rng());
    }
    return s;
  }();
  return data;
}

const std::string& Deflated() {
  static const std::string z = [] {
    std::string out;
    pdf::TkvFlateFilter().EncodeStringLevel(Raw(), pdf::lvDefault, out);
    return out;
  }();
  return z;
}

void BM_ZlibInflate(benchmark::State& state) {
  const std::string& z = Deflated();
  std::string out(Raw().size(), '\0');
  for (auto _ : state) {
    z_stream s{};
    inflateInit(&s);
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(z.data()));
    s.avail_in = static_cast<uInt>(z.size());
    s.next_out = reinterpret_cast<Bytef*>(out.data());
    s.avail_out = static_cast<uInt>(out.size());
    inflate(&s, Z_FINISH);
    inflateEnd(&s);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(Raw().size()));
}
BENCHMARK(BM_ZlibInflate);

void BM_DecompressionStream(benchmark::State& state) {
  const std::string& z = Deflated();
  std::string out(Raw().size(), '\0');
  for (auto _ : state) {
    rtl::TStringStream src(z);
    pdf::TDecompressionStream d(src);
    d.ReadBuffer(out.data(), static_cast<int64_t>(out.size()));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(Raw().size()));
}
BENCHMARK(BM_DecompressionStream);

void BM_FlateFilterDecodeString(benchmark::State& state) {
  pdf::TkvFlateFilter f;
  for (auto _ : state) {
    std::string out;
    f.DecodeString(Deflated(), out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(Raw().size()));
}
BENCHMARK(BM_FlateFilterDecodeString);

template <typename Filter>
void BM_Decode(benchmark::State& state) {
  Filter f;
  const std::string raw = Raw().substr(0, 2 << 20);
  std::string enc;
  f.EncodeString(raw, enc);
  for (auto _ : state) {
    std::string out;
    f.DecodeString(enc, out);
    benchmark::DoNotOptimize(out.data());
  }
  // Bytes of encoded input consumed.
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(enc.size()));
}
BENCHMARK_TEMPLATE(BM_Decode, pdf::TkvAsciiHexFilter);
BENCHMARK_TEMPLATE(BM_Decode, pdf::TkvAscii85Filter);
BENCHMARK_TEMPLATE(BM_Decode, pdf::TkvRLEFilter);

}  // namespace

BENCHMARK_MAIN();
