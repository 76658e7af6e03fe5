// CRC-32 and Adler-32 over byte buffers.
//
// CRC-32 is the reflected CRC with polynomial 0xEDB88320 (register preset to all ones, result
// inverted), as gzip frames and the checksum native use it. Adler-32 is the two running sums
// modulo 65521 of zlib frames. Both have an update form that continues a checksum over data
// given in pieces: crc32_update(crc32(a), b) == crc32(a followed by b), and likewise for Adler-32.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kel {

// CRC-32 of len bytes; 0 for no bytes.
uint32_t crc32(const uint8_t* data, size_t len);
// Continues a CRC-32 (a finished value, as crc32 returns it) over more bytes.
uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t len);

// Adler-32 of len bytes; 1 for no bytes.
uint32_t adler32(const uint8_t* data, size_t len);
// Continues an Adler-32 over more bytes.
uint32_t adler32_update(uint32_t adler, const uint8_t* data, size_t len);

} // namespace kel
