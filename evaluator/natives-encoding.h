// Shared pieces of the encoding, checksum and compression natives (evaluator/natives-encoding.cpp)
// that start-up and the unit tests reach.
#pragma once

#include <cstdint>

namespace kel {

// The characters enbase sets aside for n input bytes in base 2, 16, 58 or 64, computed in 64 bits
// so that nothing wraps: -1 for any other base. A result above 0xFFFFFFFF does not fit a string,
// and enbase raises too-long for it.
int64_t enbase_capacity(int32_t base, uint64_t n);
constexpr uint64_t ENBASE_MAX_CAPACITY = 0xFFFFFFFFull;

// Makes the checksum method words, in their fixed order: tcp md5 sha1 crc32 adler32 sha256 sha384
// sha512 hash; then the compression methods zlib, deflate and gzip. Called once at start-up.
void checksum_methods_init();

} // namespace kel
