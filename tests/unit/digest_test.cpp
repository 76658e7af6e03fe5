// Digests, HMAC and the internet checksum against published vectors (FIPS 180, RFC 1321,
// RFC 2202, RFC 4231) and against keys of exactly the block size and one byte longer, where the
// key stops being used as it is and its digest is used instead.
#include "services/digest.h"

#include <gtest/gtest.h>

#include <string>

namespace kel {
namespace {

std::string hex(const uint8_t* p, size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}
const uint8_t* bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

std::string digest_hex(const std::string& data, int32_t alg) {
    uint8_t out[DIGEST_MAX];
    size_t n = crypto_hash(bytes(data), data.size(), alg, out);
    EXPECT_EQ(n, digest_length(alg));
    return hex(out, n);
}
std::string hmac_hex(const std::string& data, const std::string& key, int32_t alg) {
    uint8_t out[DIGEST_MAX];
    size_t n = hmac(bytes(data), data.size(), bytes(key), key.size(), alg, out);
    EXPECT_EQ(n, digest_length(alg));
    return hex(out, n);
}
std::string counting_key(size_t n) {
    std::string k;
    for (size_t i = 0; i < n; ++i) k += char(i);
    return k;
}

TEST(Digest, TcpChecksumFoldsAndComplements) {
    struct { std::string data; uint16_t sum; } cases[] = {
        {"abc", 40506},
        {std::string("\x01", 1), 0xFFFE},               // a final odd byte is the low-order value
        {std::string("\x00\x01", 2), 0xFFFE},
        {"", 0xFFFF},
        {std::string(70000, '\xFF'), 0x0000},           // carries fold back in
    };
    for (auto& c : cases) EXPECT_EQ(tcp_checksum(bytes(c.data), c.data.size()), c.sum) << c.data.size();
}

TEST(Digest, PublishedDigests) {
    struct { std::string data; int32_t alg; const char* hex; } cases[] = {
        {"abc", ALG_MD5, "900150983cd24fb0d6963f7d28e17f72"},
        {"", ALG_MD5, "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", ALG_SHA1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abc", ALG_SHA256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abc", ALG_SHA384,
         "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
        {"abc", ALG_SHA512,
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd"
         "454d4423643ce80e2a9ac94fa54ca49f"},
    };
    for (auto& c : cases) EXPECT_EQ(digest_hex(c.data, c.alg), c.hex) << c.alg;
}

TEST(Digest, NonDigestAlgorithmsGiveNothing) {
    uint8_t out[DIGEST_MAX];
    for (int32_t alg : {int32_t(ALG_TCP), int32_t(ALG_CRC32), 7, -1}) {
        EXPECT_EQ(digest_length(alg), 0u);
        EXPECT_EQ(crypto_hash(bytes("abc"), 3, alg, out), 0u);
        EXPECT_EQ(hmac(bytes("abc"), 3, bytes("k"), 1, alg, out), 0u);
    }
}

TEST(Digest, HmacPublishedVectors) {
    const std::string hi = "Hi There";
    const std::string large = "Test Using Larger Than Block-Size Key - Hash Key First";
    struct { std::string data, key; int32_t alg; const char* hex; } cases[] = {
        {hi, std::string(16, '\x0b'), ALG_MD5, "9294727a3638bb1c13f48ef8158bfc9d"},
        {hi, std::string(20, '\x0b'), ALG_SHA1, "b617318655057264e28bc0b6fb378c8ef146be00"},
        {large, std::string(80, '\xaa'), ALG_MD5, "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
        {large, std::string(80, '\xaa'), ALG_SHA1, "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {hi, std::string(20, '\x0b'), ALG_SHA256, "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {large, std::string(131, '\xaa'), ALG_SHA256,
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {hi, std::string(20, '\x0b'), ALG_SHA384,
         "afd03944d84895626b0825f4ab46907f15f9dadbe4101ec682aa034c7cebc59cfaea9ea9076ede7f4af152e8b2fa9cb6"},
        {large, std::string(131, '\xaa'), ALG_SHA384,
         "4ece084485813e9088d2c63a041bc5b44f9ef1012a2b588f3cd11f05033ac4c60c2ef6ab4030fe8296248df163f44952"},
        {hi, std::string(20, '\x0b'), ALG_SHA512,
         "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cdedaa833b7d6b8a702038b274eaea3f4e4"
         "be9d914eeb61f1702e696c203a126854"},
        {large, std::string(131, '\xaa'), ALG_SHA512,
         "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f3526b56d037e05f2598bd0fd2215d6a1e52"
         "95e64f73f63f0aec8b915a985d786598"},
    };
    for (auto& c : cases) EXPECT_EQ(hmac_hex(c.data, c.key, c.alg), c.hex) << c.alg << " key " << c.key.size();
}

// A key of exactly the block size is used as it is; one byte more and its digest is used.
TEST(Digest, HmacKeysAtTheBlockSize) {
    struct { int32_t alg; size_t block; const char* at_block; const char* one_more; } cases[] = {
        {ALG_MD5, 64, "a0d72bdfa6e9cd3a56e660eca892bfb0", "5b85979048f0effd21a05556dfa2faac"},
        {ALG_SHA1, 64, "89e392852da6b647490d3f287218824a2e2101b0", "7636c08e7b7c0f0c391ca01d34ef4208399fbcf8"},
        {ALG_SHA256, 64, "6ab541b4869dca71c4ca11d8bb1b02533b789a557583161429292c7404bc21f6",
         "dfbffee4671bad00ed5d1e1999d55ed3b0cc774ac357f9ebf649c1612414fcec"},
        {ALG_SHA384, 128,
         "627b513f45ba31b9d7e018298deef523ba93e0268c77c633b5ccc049ce41ec940c33e508f0742db23b94d07ec7ce86f0",
         "92f237cab532514fbd486fa04dfb6fe5288c16800bb95ac1252216ffbe945a92da2af30e5ecdda5eafbd9ab2cd4620eb"},
        {ALG_SHA512, 128,
         "b63d28cd593ad7e8f0e3168367471441d9668b5fb970a620994e8e1c7b02d0d2b17f55eb1bf5916465ae8bfcafad706e"
         "29cbe258ac4a2d4014190ec0b3abe827",
         "767a0a8da500b0f4b08ac06b7535b29cb7f4449beee8e8094e8cb6e8fa7c51049f9964e868da0504100c0ffb79a8f654"
         "2d8ed75b096472bd667ece4522d8cd3f"},
    };
    for (auto& c : cases) {
        EXPECT_EQ(digest_block_size(c.alg), c.block);
        EXPECT_EQ(hmac_hex("abc", counting_key(c.block), c.alg), c.at_block) << c.alg;
        EXPECT_EQ(hmac_hex("abc", counting_key(c.block + 1), c.alg), c.one_more) << c.alg;
    }
}

} // namespace
} // namespace kel
