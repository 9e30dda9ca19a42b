// The run-time library's pseudo-random generator: one process-wide state
// (RandSeed), a linear congruential generator, so that a test that sets the
// seed gets the same numbers every time.
#pragma once

#include <cstdint>

namespace rtl {

int32_t RandSeed();
void SetRandSeed(int32_t seed);
// Seeds from the clock and the process id.
void Randomize();
// A number in 0 .. range-1; 0 when range <= 0.
int32_t Random(int32_t range);
// A number in [0, 1).
double Random();

}  // namespace rtl
