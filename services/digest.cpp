// Digests through libcrypto's EVP interface, HMAC by RFC 2104's steps over them, and the 16-bit
// internet checksum.
#include "services/digest.h"

#include <openssl/evp.h>

#include <cstring>
#include <vector>

namespace kel {

namespace {

const EVP_MD* evp_of(int32_t algorithm) {
    switch (algorithm) {
    case ALG_MD5: return EVP_md5();
    case ALG_SHA1: return EVP_sha1();
    case ALG_SHA256: return EVP_sha256();
    case ALG_SHA384: return EVP_sha384();
    case ALG_SHA512: return EVP_sha512();
    default: return nullptr;
    }
}

// The digest of two pieces taken one after the other.
size_t digest_two(const EVP_MD* md, const uint8_t* a, size_t na, const uint8_t* b, size_t nb, uint8_t* out) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    unsigned int n = 0;
    bool ok = ctx && EVP_DigestInit_ex(ctx, md, nullptr) == 1 && EVP_DigestUpdate(ctx, a, na) == 1 &&
              (nb == 0 || EVP_DigestUpdate(ctx, b, nb) == 1) && EVP_DigestFinal_ex(ctx, out, &n) == 1;
    EVP_MD_CTX_free(ctx);
    return ok ? n : 0;
}

} // namespace

size_t digest_length(int32_t algorithm) {
    switch (algorithm) {
    case ALG_MD5: return 16;
    case ALG_SHA1: return 20;
    case ALG_SHA256: return 32;
    case ALG_SHA384: return 48;
    case ALG_SHA512: return 64;
    default: return 0;
    }
}

size_t digest_block_size(int32_t algorithm) { return algorithm == ALG_SHA384 || algorithm == ALG_SHA512 ? 128 : 64; }

uint16_t tcp_checksum(const uint8_t* data, size_t length) {
    uint64_t sum = 0;
    size_t i = 0;
    for (; i + 1 < length; i += 2) sum += uint32_t(data[i]) << 8 | data[i + 1];
    if (i < length) sum += data[i];
    uint32_t s = uint32_t(sum & 0xFFFFFFFF) + uint32_t(sum >> 32);
    s = (s >> 16) + (s & 0xFFFF);
    s = (s >> 16) + (s & 0xFFFF);
    return uint16_t(~s & 0xFFFF);
}

size_t crypto_hash(const uint8_t* data, size_t length, int32_t algorithm, uint8_t* out) {
    const EVP_MD* md = evp_of(algorithm);
    return md ? digest_two(md, data, length, nullptr, 0, out) : 0;
}

size_t hmac(const uint8_t* data, size_t length, const uint8_t* key, size_t key_length, int32_t algorithm,
            uint8_t* out) {
    const EVP_MD* md = evp_of(algorithm);
    if (!md) return 0;
    size_t block = digest_block_size(algorithm);
    uint8_t short_key[DIGEST_MAX];
    if (key_length > block) {   // a long key is replaced by its digest
        key_length = digest_two(md, key, key_length, nullptr, 0, short_key);
        key = short_key;
    }
    std::vector<uint8_t> inner(block, 0), outer(block, 0);
    if (key_length) {
        std::memcpy(inner.data(), key, key_length);
        std::memcpy(outer.data(), key, key_length);
    }
    for (size_t i = 0; i < block; ++i) {
        inner[i] ^= 0x36;
        outer[i] ^= 0x5C;
    }
    uint8_t inner_digest[DIGEST_MAX];
    size_t n = digest_two(md, inner.data(), block, data, length, inner_digest);
    return n ? digest_two(md, outer.data(), block, inner_digest, n, out) : 0;
}

} // namespace kel
