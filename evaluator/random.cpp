// The random generator (see random.h). The state is regenerated in one pass every 624 draws;
// the seed fills it with the usual linear recurrence. Secure draws come from libcrypto's
// RAND_bytes; when it fails an error is raised.
#include "evaluator/random.h"

#include "core/context.h"
#include "core/errors.h"
#include "core/symbol.h"

#include <openssl/rand.h>

namespace kel {

namespace {

constexpr int N = 624;
constexpr int M = 397;
int32_t g_state[N];
int g_index = N;

inline int32_t asr(int32_t v, int n) { return v >> n; }  // arithmetic on signed values (C++20)

void regenerate() {
    for (int i = 0; i < N; ++i) {
        int32_t y = int32_t((uint32_t(g_state[i]) & 0x80000000u) |
                            (uint32_t(g_state[(i + 1) % N]) & 0x7FFFFFFFu));
        uint32_t v = uint32_t(g_state[(i + M) % N]) ^ uint32_t(asr(y, 1));
        if (y & 1) v ^= 0x9908B0DFu;
        g_state[i] = int32_t(v);
    }
    g_index = 0;
}

} // namespace

void random_seed(uint32_t seed) {
    g_state[0] = int32_t(seed);
    for (int i = 1; i < N; ++i) {
        int32_t prev = g_state[i - 1];
        g_state[i] = int32_t(1812433253u * uint32_t(prev ^ asr(prev, 30)) + uint32_t(i));
    }
    g_index = N;
}

void random_init() { random_seed(RANDOM_DEFAULT_SEED); }

int32_t random_next() {
    if (g_index >= N) regenerate();
    int32_t y = g_state[g_index++];
    y ^= asr(y, 11);
    y ^= int32_t(uint32_t(y) << 7) & int32_t(0x9D2C5680u);
    y ^= int32_t(uint32_t(y) << 15) & int32_t(0xEFC60000u);
    y ^= asr(y, 18);
    return y;
}

int32_t random_secure() {
    unsigned char bytes[4];
    if (RAND_bytes(bytes, sizeof bytes) != 1) {
        Cell word = *context_global_word(symbol_make("random"));
        fire_error(Err::CannotOpen, &word);
    }
    uint32_t v = uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
                 uint32_t(bytes[3]) << 24;
    return int32_t(v & 0x7FFFFFFFu);
}

static inline int32_t draw(bool secure) { return secure ? random_secure() : random_next(); }

int32_t random_int(int32_t n, bool secure) {
    if (n == 0) return 0;
    if (n == INT32_MIN) return -1 - draw(secure);
    bool negative = n < 0;
    if (negative) n = -n;
    int32_t limit = (INT32_MAX / n) * n;
    int32_t r;
    do r = draw(secure); while (r >= limit);
    int32_t result = r % n + 1;
    return negative ? -result : result;
}

} // namespace kel
