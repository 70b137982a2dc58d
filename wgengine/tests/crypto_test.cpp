// Known answers for every primitive of the engine.
#include "test_support.h"
#include "wgengine/crypto.h"

#include <gtest/gtest.h>

#include <cstring>

namespace crypto = wireguard::engine::crypto;
using wgtest::bytes;
using wgtest::from_hex;
using wgtest::to_hex;

namespace {

const std::string ladies =
    "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the future, "
    "sunscreen would be it.";

struct x25519_case {
    const char* scalar;
    const char* point;
    const char* expected;
};

// RFC 7748 section 5.2 (the second has the top bit of u set, which must be ignored)
// and section 6.1 (both public keys and the shared secret).
const x25519_case x25519_cases[] = {
    {"a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4",
     "e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c",
     "c3da55379de9c6908e94ea4df28d084f32eccf03491c71f754b4075577a28552"},
    {"4b66e9d4d1b4673c5ad22691957d6af5c11b6421e0ea01d42ca4169e7918ba0d",
     "e5210f12786811d3f4b7959d0538ae2c31dbe7106fc03c3efc4cd549c715a493",
     "95cbde9476e8907d7aade45cb4b873f88b595a68799fa152e6f8f7647aac7957"},
    {"77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a",
     "0900000000000000000000000000000000000000000000000000000000000000",
     "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a"},
    {"5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb",
     "0900000000000000000000000000000000000000000000000000000000000000",
     "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f"},
    {"77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a",
     "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f",
     "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742"},
    {"5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb",
     "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a",
     "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742"},
};

}  // namespace

TEST(crypto, library_initialises)
{
    EXPECT_TRUE(crypto::initialise());
    EXPECT_TRUE(crypto::initialise());
}

TEST(crypto, x25519_rfc7748_vectors)
{
    for (const auto& c : x25519_cases) {
        SCOPED_TRACE(c.scalar);
        const bytes k = from_hex(c.scalar), u = from_hex(c.point);
        std::uint8_t out[32];
        ASSERT_TRUE(crypto::x25519(out, k.data(), u.data()));
        EXPECT_EQ(to_hex(out, 32), c.expected);
    }
}

TEST(crypto, x25519_rfc7748_iterations)
{
    // Section 5.2: k and u start as 9; k := X25519(k, u), u := the old k.
    std::uint8_t k[32] = {9}, u[32] = {9}, r[32];
    for (int i = 1; i <= 1000; ++i) {
        ASSERT_TRUE(crypto::x25519(r, k, u));
        std::memcpy(u, k, 32);
        std::memcpy(k, r, 32);
        if (i == 1) {
            EXPECT_EQ(to_hex(k, 32), "422c8e7a6227d7bca1350b3e2bb7279f7897b87bb6854b783c60e80311ae3079");
        }
    }
    EXPECT_EQ(to_hex(k, 32), "684cf59ba83309552800ef566f2f4d3c1c3887c49360e3875f2eb94d99532c51");
}

TEST(crypto, x25519_refuses_low_order_points)
{
    const bytes k = from_hex(x25519_cases[0].scalar);
    const char* low_order[] = {
        "0000000000000000000000000000000000000000000000000000000000000000",
        "0100000000000000000000000000000000000000000000000000000000000000",
        "e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800",
        "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
    };
    for (const char* point : low_order) {
        SCOPED_TRACE(point);
        const bytes u = from_hex(point);
        std::uint8_t out[32];
        std::memset(out, 0xaa, sizeof out);
        EXPECT_FALSE(crypto::x25519(out, k.data(), u.data()));
        EXPECT_EQ(to_hex(out, 32), std::string(64, '0'));
    }
}

TEST(crypto, x25519_generated_keys_agree)
{
    std::uint8_t a[32], b[32], pa[32], pb[32], s1[32], s2[32];
    crypto::x25519_generate(a);
    crypto::x25519_generate(b);
    EXPECT_EQ(a[0] & 7, 0);
    EXPECT_EQ(a[31] & 0xc0, 0x40);
    ASSERT_TRUE(crypto::x25519_public(pa, a));
    ASSERT_TRUE(crypto::x25519_public(pb, b));
    ASSERT_TRUE(crypto::x25519(s1, a, pb));
    ASSERT_TRUE(crypto::x25519(s2, b, pa));
    EXPECT_EQ(to_hex(s1, 32), to_hex(s2, 32));
    EXPECT_NE(to_hex(a, 32), to_hex(b, 32));
}

TEST(crypto, chacha20_poly1305_rfc8439_2_8_2)
{
    const bytes key = from_hex("808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f");
    const bytes aad = from_hex("50515253c0c1c2c3c4c5c6c7");
    const bytes nonce = from_hex("070000004041424344454647");
    const bytes pt(ladies.begin(), ladies.end());
    const std::string expected =
        "d31a8d34648e60db7b86afbc53ef7ec2a4aded51296e08fea9e2b5a736ee62d63dbea45e8ca9671282fafb69da92728b1a71de0a9e060b"
        "2905d6a5b67ecd3b3692ddbd7f2d778b8c9803aee328091b58fab324e4fad675945585808b4831d7bc3ff4def08e4b7a9de576d26586ce"
        "c64b6116"
        "1ae10b594f09e26a7e902ecbd0600691";
    bytes sealed(pt.size() + 16);
    ASSERT_TRUE(crypto::aead_seal_nonce(sealed.data(), key.data(), nonce.data(), pt, aad));
    EXPECT_EQ(to_hex(sealed), expected);

    bytes opened(pt.size(), 0xee);
    ASSERT_TRUE(crypto::aead_open_nonce(opened.data(), key.data(), nonce.data(), sealed, aad));
    EXPECT_EQ(opened, pt);

    // Any flipped bit of ciphertext, tag or additional data fails, and the output is zeroed.
    for (std::size_t bit : {std::size_t{0}, std::size_t{8 * 57 + 3}, 8 * sealed.size() - 1}) {
        bytes bad = sealed;
        bad[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        std::fill(opened.begin(), opened.end(), 0xee);
        EXPECT_FALSE(crypto::aead_open_nonce(opened.data(), key.data(), nonce.data(), bad, aad));
        EXPECT_EQ(opened, bytes(pt.size(), 0));
    }
    bytes bad_aad = aad;
    bad_aad[0] ^= 1;
    EXPECT_FALSE(crypto::aead_open_nonce(opened.data(), key.data(), nonce.data(), sealed, bad_aad));
    // Shorter than a tag.
    EXPECT_FALSE(crypto::aead_open_nonce(opened.data(), key.data(), nonce.data(), bytes(15), aad));
}

TEST(crypto, counter_nonce_is_zero_word_then_little_endian_counter)
{
    const bytes key = from_hex("808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f");
    const bytes pt = wgtest::from_text("counter nonce");
    const std::uint64_t counter = 0x0807060504030201u;
    const bytes nonce = from_hex("000000000102030405060708");
    bytes a(pt.size() + 16), b(pt.size() + 16);
    ASSERT_TRUE(crypto::aead_seal(a.data(), key.data(), counter, pt, {}));
    ASSERT_TRUE(crypto::aead_seal_nonce(b.data(), key.data(), nonce.data(), pt, {}));
    EXPECT_EQ(a, b);
}

TEST(crypto, data_path_key_matches_one_shot_aead)
{
    const bytes key = from_hex("1f1e1d1c1b1a191817161514131211100f0e0d0c0b0a09080706050403020100");
    crypto::aead_key k;
    ASSERT_TRUE(k.set(key.data()));
    for (std::size_t size : {0u, 1u, 63u, 64u, 65u, 1420u}) {
        SCOPED_TRACE(size);
        bytes pt(size);
        for (std::size_t i = 0; i < size; ++i)
            pt[i] = static_cast<std::uint8_t>(i * 7 + 1);
        const std::uint64_t counter = 1000 + size;
        bytes expected(size + 16), sealed(size + 16);
        ASSERT_TRUE(crypto::aead_seal(expected.data(), key.data(), counter, pt, {}));
        ASSERT_TRUE(k.seal(sealed.data(), counter, pt.data(), size));
        EXPECT_EQ(sealed, expected);

        // In place: plaintext already where the ciphertext goes.
        bytes in_place(size + 16);
        std::copy(pt.begin(), pt.end(), in_place.begin());
        ASSERT_TRUE(k.seal(in_place.data(), counter, in_place.data(), size));
        EXPECT_EQ(in_place, expected);

        bytes opened(size);
        ASSERT_TRUE(k.open(opened.data(), counter, sealed.data(), sealed.size()));
        EXPECT_EQ(opened, pt);
        EXPECT_FALSE(k.open(opened.data(), counter + 1, sealed.data(), sealed.size()));
        EXPECT_EQ(opened, bytes(size, 0));
    }
    EXPECT_FALSE(k.open(nullptr, 0, nullptr, 15));
}

TEST(crypto, blake2s_rfc7693_abc_and_keyed)
{
    std::uint8_t out[32];
    crypto::hash(out, {wgtest::from_text("abc")});
    EXPECT_EQ(to_hex(out, 32), "508c5e8c327c14e2e1a72ba34eeb452f37458b209ed63a294d999b4c86675982");
    // Split input gives the same hash.
    const bytes a = wgtest::from_text("a"), bc = wgtest::from_text("bc");
    crypto::hash(out, {a, bc});
    EXPECT_EQ(to_hex(out, 32), "508c5e8c327c14e2e1a72ba34eeb452f37458b209ed63a294d999b4c86675982");

    // Keyed BLAKE2s, key 00..1f, empty message (the reference known-answer list).
    bytes key(32);
    for (int i = 0; i < 32; ++i)
        key[i] = static_cast<std::uint8_t>(i);
    ASSERT_TRUE(crypto::blake2s(std::span<std::uint8_t>(out, 32), key, {}));
    EXPECT_EQ(to_hex(out, 32), "48a8997da407876b3d79c0d92325ad3b89cbb754d86ab71aee047ad345fd2c49");
}

TEST(crypto, blake2s_rfc7693_appendix_e_self_test)
{
    // Unkeyed and keyed hashes of every output and input length, hashed together.
    auto sequence = [](std::size_t n, std::uint32_t seed) {
        bytes out(n);
        std::uint32_t a = 0xDEAD4BAD * seed, b = 1;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t t = a + b;
            a = b;
            b = t;
            out[i] = static_cast<std::uint8_t>(t >> 24);
        }
        return out;
    };
    bytes all;
    for (std::size_t out_len : {16u, 20u, 28u, 32u}) {
        for (std::size_t in_len : {0u, 3u, 64u, 65u, 255u, 1024u}) {
            const bytes data = sequence(in_len, static_cast<std::uint32_t>(in_len));
            bytes md(out_len);
            ASSERT_TRUE(crypto::blake2s(md, {}, {data}));
            all.insert(all.end(), md.begin(), md.end());
            const bytes key = sequence(out_len, static_cast<std::uint32_t>(out_len));
            ASSERT_TRUE(crypto::blake2s(md, key, {data}));
            all.insert(all.end(), md.begin(), md.end());
        }
    }
    std::uint8_t out[32];
    crypto::hash(out, {all});
    EXPECT_EQ(to_hex(out, 32), "6a411f08ce25adcdfb02aba641451cec53c598b24f4fc787fbdc88797f4c1dfe");
}

TEST(crypto, blake2s_refuses_unsupported_sizes)
{
    bytes out(17), key(33);
    EXPECT_FALSE(crypto::blake2s(out, {}, {}));
    bytes out32(32);
    EXPECT_FALSE(crypto::blake2s(out32, key, {}));
}

TEST(crypto, mac_is_keyed_blake2s_with_16_byte_output)
{
    // Not the first 16 bytes of the 32-byte keyed hash: the output length is a
    // parameter of BLAKE2s.
    const bytes key = from_hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    const bytes msg = wgtest::from_text("message");
    std::uint8_t mac[16], full[32];
    crypto::mac(mac, key, {msg});
    ASSERT_TRUE(crypto::blake2s(std::span<std::uint8_t>(full, 32), key, {msg}));
    EXPECT_NE(to_hex(mac, 16), to_hex(full, 16));
    bytes again(16);
    ASSERT_TRUE(crypto::blake2s(again, key, {msg}));
    EXPECT_EQ(to_hex(mac, 16), to_hex(again));
}

struct kdf_case {
    const char* key;
    const char* input;
    const char* hmac;
    const char* t1;
    const char* t2;
    const char* t3;
};

// The first two are wireguard-go's KDF cases (t1..t3 there are its t0..t2); the third
// is the empty key and input. HMAC values from an independent HMAC-BLAKE2s.
const kdf_case kdf_cases[] = {
    {"746573742d6b6579", "746573742d696e707574",
     "ed378e02e152b574e0d9e01fb029a7066c3cc687917c28bf9dfe5b042769fa46",
     "6f0e5ad38daba1bea8a0d213688736f19763239305e0f58aba697f9ffc41c633",
     "df1194df20802a4fe594cde27e92991c8cae66c366e8106aaa937a55fa371e8a",
     "fac6e2745a325f5dc5d11a5b165aad08b0ada28e7b4e666b7c077934a4d76c24"},
    {"776972656775617264", "776972656775617264",
     "4ea3456f84c415bbae024357f873e4c8370c38e590bb4e28dead2a5efb4c9761",
     "491d43bbfdaa8750aaf535e334ecbfe5129967cd64635101c566d4caefda96e8",
     "1e71a379baefd8a79aa4662212fcafe19a23e2b609a3db7d6bcba8f560e3d25f",
     "31e1ae48bddfbe5de38f295e5452b1909a1b4e38e183926af3780b0c1e1f0160"},
    {"", "",
     "eaf4bb25938f4d20e72656bbbc7a9bf63c0c18537333c35bdb67db1402661acd",
     "8387b46bf43eccfcf349552a095d8315c4055beb90208fb1be23b894bc2ed5d0",
     "58a0e5f6faefccf4807bff1f05fa8a9217945762040bcec2f4b4a62bdfe0e86e",
     "0ce6ea98ec548f8e281e93e32db65621c45eb18dc6f0a7ad94178610a2f7338e"},
};

TEST(crypto, hmac_and_kdf_vectors)
{
    for (const auto& c : kdf_cases) {
        SCOPED_TRACE(c.key);
        const bytes key = from_hex(c.key), input = from_hex(c.input);
        std::uint8_t h[32], t1[32], t2[32], t3[32];
        crypto::hmac(h, key, {input});
        EXPECT_EQ(to_hex(h, 32), c.hmac);
        crypto::kdf(key, input, {t1, t2, t3});
        EXPECT_EQ(to_hex(t1, 32), c.t1);
        EXPECT_EQ(to_hex(t2, 32), c.t2);
        EXPECT_EQ(to_hex(t3, 32), c.t3);
        // KDF1 and KDF2 are prefixes of KDF3.
        std::uint8_t u1[32], u2[32];
        crypto::kdf(key, input, {u1});
        EXPECT_EQ(to_hex(u1, 32), c.t1);
        crypto::kdf(key, input, {u1, u2});
        EXPECT_EQ(to_hex(u2, 32), c.t2);
    }
}

TEST(crypto, hchacha20_draft_xchacha_2_2_1)
{
    const bytes key = from_hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    const bytes nonce = from_hex("000000090000004a0000000031415927");
    std::uint8_t out[32];
    ASSERT_TRUE(crypto::hchacha20(out, key.data(), nonce.data()));
    EXPECT_EQ(to_hex(out, 32), "82413b4227b27bfed30e42508a877d73a0f9e4d58a74a853c12ec41326d3ecdc");
}

TEST(crypto, xchacha20_poly1305_draft_xchacha_a_3_1)
{
    const bytes key = from_hex("808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f");
    const bytes nonce = from_hex("404142434445464748494a4b4c4d4e4f5051525354555657");
    const bytes aad = from_hex("50515253c0c1c2c3c4c5c6c7");
    const bytes pt(ladies.begin(), ladies.end());
    const std::string expected =
        "bd6d179d3e83d43b9576579493c0e939572a1700252bfaccbed2902c21396cbb731c7f1b0b4aa6440bf3a82f4eda7e39ae64c6708c54c2"
        "16cb96b72e1213b4522f8c9ba40db5d945b11b69b982c1bb9e3f3fac2bc369488f76b2383565d3fff921f9664c97637da9768812f615c6"
        "8b13b52e"
        "c0875924c1c7987947deafd8780acf49";
    bytes sealed(pt.size() + 16);
    ASSERT_TRUE(crypto::xaead_seal(sealed.data(), key.data(), nonce.data(), pt, aad));
    EXPECT_EQ(to_hex(sealed), expected);
    bytes opened(pt.size());
    ASSERT_TRUE(crypto::xaead_open(opened.data(), key.data(), nonce.data(), sealed, aad));
    EXPECT_EQ(opened, pt);
    bytes bad_nonce = nonce;
    bad_nonce[20] ^= 1;
    EXPECT_FALSE(crypto::xaead_open(opened.data(), key.data(), bad_nonce.data(), sealed, aad));
    bad_nonce = nonce;
    bad_nonce[3] ^= 1;
    EXPECT_FALSE(crypto::xaead_open(opened.data(), key.data(), bad_nonce.data(), sealed, aad));
}

TEST(crypto, random_bytes_differ)
{
    std::uint8_t a[32] = {}, b[32] = {};
    crypto::random_bytes(a, sizeof a);
    crypto::random_bytes(b, sizeof b);
    EXPECT_NE(to_hex(a, 32), to_hex(b, 32));
    EXPECT_NE(to_hex(a, 32), std::string(64, '0'));
}

TEST(crypto, secret_is_wiped_by_its_destructor)
{
    alignas(crypto::secret32) unsigned char storage[sizeof(crypto::secret32)];
    auto* s = new (storage) crypto::secret32();
    std::fill(s->begin(), s->end(), 0x77);
    s->~secret32();
    for (unsigned char c : storage)
        EXPECT_EQ(c, 0);
}
