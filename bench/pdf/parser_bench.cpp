// The syntax reader over a generated 2,000-page document: every object
// parsed in turn, with the source in memory and as a file. Figures in MB/s.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "pdf/kvPDFParsers.h"

namespace {

std::string Document() {
  std::string out = "%PDF-1.4\n";
  out += "1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n";
  std::string kids;
  for (int i = 0; i < 2000; ++i) {
    const int n = 3 + i;
    kids += std::to_string(n) + " 0 R ";
    out += std::to_string(n) +
           " 0 obj\n<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595.28 841.89] /Rotate 90 " +
           "/Resources << /XObject << /Im0 " + std::to_string(5000 + i) +
           " 0 R >> /ProcSet [/PDF /ImageB] >> " + "/Contents " + std::to_string(9000 + i) +
           " 0 R /Title (Page \\(" + std::to_string(i) + "\\)) >>\nendobj\n";
  }
  out += "2 0 obj\n<< /Type /Pages /Count 2000 /Kids [" + kids + "] >>\nendobj\n";
  return out;
}

void ParseAll(benchmark::State& state, rtl::TStream& src, int64_t size) {
  for (auto _ : state) {
    pdf::TkvPDFStreamReader r(1, &src);
    r.SetPosition(0);
    r.ReadToken();  // the header line
    int objects = 0;
    while (r.Position() < size) {
      auto o = r.ReadObject();
      if (!o) break;
      r.ReadToken();  // endobj
      ++objects;
    }
    benchmark::DoNotOptimize(objects);
  }
  state.SetBytesProcessed(state.iterations() * size);
}

void BM_ParseFromMemory(benchmark::State& state) {
  const std::string doc = Document();
  rtl::TStringStream src(doc);
  ParseAll(state, src, static_cast<int64_t>(doc.size()));
}
BENCHMARK(BM_ParseFromMemory)->Unit(benchmark::kMillisecond);

void BM_ParseFromFile(benchmark::State& state) {
  const std::string doc = Document();
  const std::string path = "/tmp/tk_parser_bench.pdf";
  {
    rtl::TFileStream f(path, rtl::fmCreate);
    f.WriteString(doc);
  }
  rtl::TFileStream src(path, rtl::fmOpenRead);
  ParseAll(state, src, static_cast<int64_t>(doc.size()));
  std::remove(path.c_str());
}
BENCHMARK(BM_ParseFromFile)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
