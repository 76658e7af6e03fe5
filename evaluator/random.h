// The language's random source: a Mersenne-Twister-style generator with one process-wide state,
// and the operating system's cryptographic generator for /secure draws.
//
// The generator keeps 624 signed 32-bit words. Every right shift in it is arithmetic (the sign
// propagates) and every product and sum wraps modulo 2^32, so its sequence for a seed is its own
// and not the published MT19937 one; the final tempering shift clears bit 31, so every draw lies
// in 0 .. 2147483647.
#pragma once

#include <cstdint>

namespace kel {

constexpr uint32_t RANDOM_DEFAULT_SEED = 19650218;

// Start-up: seeds the generator with RANDOM_DEFAULT_SEED. Makes no value cells.
void random_init();
void random_seed(uint32_t seed);
// The next draw, 0 .. 2147483647.
int32_t random_next();
// Four bytes from the cryptographic source with bit 31 cleared; when the source fails, access
// cannot-open is raised naming `random` (never a number made from unfilled bytes).
int32_t random_secure();
// A uniform draw: 1 .. n for n > 0, n .. -1 for n < 0, 0 for n = 0 (rejection sampling, so every
// value is equally likely).
int32_t random_int(int32_t n, bool secure);

} // namespace kel
