// Reading the log of produced TIFFs at start: the converter's one pass over
// the file beside a lookup of every key in a file read afresh per key (what
// a reader one key at a time costs), and beside reading the bytes alone.
// The entries are what a run writes: a path and its mark each.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "converter/Rw_ini.h"
#include "platform/rtl/IniFiles.h"
#include "platform/rtl/SysUtils.h"

namespace {

namespace fs = std::filesystem;

// A run folder in the temporary folder whose log holds n entries.
class LogFolder {
 public:
  explicit LogFolder(int n) {
    char name[] = "/tmp/tk-log-bench-XXXXXX";
    folder_ = ::mkdtemp(name);
    rtl::SetExecutableFileName(folder_ + "/tarnwick");
    std::ofstream log(folder_ + "/tarnwick.log", std::ios::binary);
    log << "[File]\n";
    for (int i = 0; i < n; ++i)
      log << "Logs" << i << "=/home/user/scans/2024-03-07 scan " << i << ".tif\nMark" << i
          << "=2049:" << 100000 + i << ":48213:1709800000.123456789\n";
  }
  ~LogFolder() {
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }
  std::string LogFile() const { return folder_ + "/tarnwick.log"; }

 private:
  std::string folder_;
};

void OnePass(benchmark::State& state) {
  LogFolder f(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(converter::ReadLogEntries());
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void KeyByKey(benchmark::State& state) {
  LogFolder f(static_cast<int>(state.range(0)));
  rtl::TIniFile log(f.LogFile());
  for (auto _ : state) {
    size_t n = 0;
    for (int i = 0;; ++i) {
      if (log.ReadString("File", "Logs" + std::to_string(i), "").empty()) break;
      log.ReadString("File", "Mark" + std::to_string(i), "");
      ++n;
    }
    benchmark::DoNotOptimize(n);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BytesOnly(benchmark::State& state) {
  LogFolder f(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    std::ifstream in(f.LogFile(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    benchmark::DoNotOptimize(bytes);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK(OnePass)->Arg(250)->Arg(1000)->Arg(4000)->Unit(benchmark::kMillisecond);
BENCHMARK(KeyByKey)->Arg(250)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BytesOnly)->Arg(4000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
