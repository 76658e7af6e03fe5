// Message digests, HMAC and the 16-bit internet checksum behind the `checksum` native.
//
// Algorithm numbers are the ones the checksum methods map to: 0 tcp, 1 crc32, 2 md5, 3 sha1,
// 4 sha256, 5 sha384, 6 sha512. Digests are computed by libcrypto's EVP interface into a caller's
// 64-byte buffer; HMAC follows RFC 2104 over the same digests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kel {

enum DigestAlgorithm : int32_t {
    ALG_TCP = 0,
    ALG_CRC32 = 1,
    ALG_MD5 = 2,
    ALG_SHA1 = 3,
    ALG_SHA256 = 4,
    ALG_SHA384 = 5,
    ALG_SHA512 = 6,
};

constexpr size_t DIGEST_MAX = 64;

// 16, 20, 32, 48 or 64 for the digests; 0 for any other number.
size_t digest_length(int32_t algorithm);

// The HMAC block size of a digest: 128 for sha384 and sha512, 64 for the others.
size_t digest_block_size(int32_t algorithm);

// The sum of the bytes as big-endian 16-bit words, a final odd byte added as the low-order
// value, folded twice; the one's complement of the low 16 bits.
uint16_t tcp_checksum(const uint8_t* data, size_t length);

// The digest of the bytes into out (DIGEST_MAX bytes); its length, or 0 when the algorithm is
// not a digest.
size_t crypto_hash(const uint8_t* data, size_t length, int32_t algorithm, uint8_t* out);

// HMAC of the data with the key into out (DIGEST_MAX bytes); its length, or 0 when the
// algorithm is not a digest.
size_t hmac(const uint8_t* data, size_t length, const uint8_t* key, size_t key_length, int32_t algorithm,
            uint8_t* out);

} // namespace kel
