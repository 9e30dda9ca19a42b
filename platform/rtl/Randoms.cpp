#include "platform/rtl/Randoms.h"

#include <time.h>
#include <unistd.h>

#include <mutex>

namespace rtl {

namespace {
std::mutex g_mutex;
uint32_t g_seed = 0;

// One step of the generator; returns the new state.
uint32_t Next() {
  g_seed = g_seed * 134775813u + 1u;
  return g_seed;
}
}  // namespace

int32_t RandSeed() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return static_cast<int32_t>(g_seed);
}

void SetRandSeed(int32_t seed) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_seed = static_cast<uint32_t>(seed);
}

void Randomize() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  uint32_t s = static_cast<uint32_t>(ts.tv_sec) * 1000003u ^ static_cast<uint32_t>(ts.tv_nsec) ^
               (static_cast<uint32_t>(::getpid()) << 16);
  std::lock_guard<std::mutex> lock(g_mutex);
  g_seed = s;
}

int32_t Random(int32_t range) {
  if (range <= 0) return 0;
  std::lock_guard<std::mutex> lock(g_mutex);
  // The upper bits of the state scaled to the range: every value reachable.
  return static_cast<int32_t>((static_cast<uint64_t>(Next()) * static_cast<uint64_t>(range)) >> 32);
}

double Random() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return static_cast<double>(Next()) / 4294967296.0;
}

}  // namespace rtl
