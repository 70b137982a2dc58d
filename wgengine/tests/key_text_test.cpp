// Key texts and the x25519 helpers of the C interface.
#include "test_support.h"
#include "wgengine/key_text.h"

#include <gtest/gtest.h>

using namespace wireguard::engine;
using wgtest::to_hex;

namespace {

// RFC 7748's Alice: private and public key in base64 and hex.
const char* const alice_private_hex = "77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a";
const char* const alice_private_b64 = "dwdtCnMYpX08FsFyUbJmRd9ML4frwJkqsXf7pR25LCo=";
const char* const alice_public_hex = "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a";
const char* const alice_public_b64 = "hSDwCYkwp1R0i33ctD73Wg2/Og0mOBr066SpjqqbTmo=";

struct text_case {
    const char* text;
    bool valid;
};

const text_case texts[] = {
    {alice_private_b64, true},
    {"dwdtCnMYpX08FsFyUbJmRd9ML4frwJkqsXf7pR25LCo", true},     // 43 characters, no padding
    {alice_private_hex, true},
    {"77076D0A7318A57D3C16C17251B26645DF4C2F87EBC0992AB177FBA51DB92C2A", true},
    {"", false},
    {"dwdtCnMYpX08FsFyUbJmRd9ML4frwJkqsXf7pR25LC=", false},    // 43 with padding
    {"dwdtCnMYpX08FsFyUbJmRd9ML4frwJkqsXf7pR25LCo==", false},  // 45
    {"dwdtCnMYpX08FsFyUbJmRd9ML4frwJkqsXf7pR25LCp=", false},   // non-zero bits past 32 bytes
    {"dwdtCnMYpX08FsFyUbJmRd9ML4frwJkqsXf7pR25LC*=", false},
    {"dwdtCnMYpX08FsFyUbJmRd9ML4frwJkqsXf7pR25LCo=\n", false},
    {" dwdtCnMYpX08FsFyUbJmRd9ML4frwJkqsXf7pR25LCo=", false},
    {"dwdtCnMYpX08FsFyUbJmRd9ML4frwJkqsXf7pR25", false},
    {"77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2", false},   // 63 digits
    {"77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2ag", false},  // not hex
    {"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=", true},
};

}  // namespace

TEST(key_text, decoding_table)
{
    for (const auto& c : texts) {
        SCOPED_TRACE(c.text);
        const auto key = decode_key(c.text);
        EXPECT_EQ(key.has_value(), c.valid);
        if (key && std::string_view(c.text).size() != 64 && std::string_view(c.text).rfind("AAAA", 0) != 0) {
            EXPECT_EQ(to_hex(key->data(), 32), alice_private_hex);
        }
        if (key && std::string_view(c.text).size() == 64) {
            EXPECT_EQ(to_hex(key->data(), 32), alice_private_hex);
        }
    }
}

TEST(key_text, encoding_round_trip)
{
    const auto key = decode_hex_key(alice_public_hex);
    ASSERT_TRUE(key);
    EXPECT_EQ(encode_base64_key(*key), alice_public_b64);
    EXPECT_EQ(encode_hex_key(*key), alice_public_hex);
    for (int fill : {0, 0xff, 0x5a}) {
        std::array<std::uint8_t, 32> k;
        k.fill(static_cast<std::uint8_t>(fill));
        EXPECT_EQ(decode_base64_key(encode_base64_key(k)), k);
    }
}

TEST(key_text, c_helpers)
{
    x25519_key priv{};
    const auto decoded = decode_hex_key(alice_private_hex);
    std::copy(decoded->begin(), decoded->end(), priv.key);
    const x25519_key pub = x25519_public_key(priv);
    EXPECT_EQ(to_hex(pub.key, 32), alice_public_hex);
    const char* b64 = x25519_key_to_base64(pub);
    const char* hex = x25519_key_to_hex(pub);
    EXPECT_STREQ(b64, alice_public_b64);
    EXPECT_STREQ(hex, alice_public_hex);
    x25519_key_to_str_free(b64);
    x25519_key_to_str_free(hex);
    x25519_key_to_str_free(nullptr);

    EXPECT_EQ(check_base64_encoded_x25519_key(alice_public_b64), 1);
    EXPECT_EQ(check_base64_encoded_x25519_key(alice_public_hex), 0) << "hex is not base64";
    EXPECT_EQ(check_base64_encoded_x25519_key("not a key"), 0);
    EXPECT_EQ(check_base64_encoded_x25519_key(""), 0);
    EXPECT_EQ(check_base64_encoded_x25519_key(nullptr), 0);

    const x25519_key a = x25519_secret_key(), b = x25519_secret_key();
    EXPECT_NE(to_hex(a.key, 32), to_hex(b.key, 32));
}

TEST(key_text, new_tunnel_accepts_and_refuses_key_texts)
{
    wgtest::key_pair peer;
    struct tunnel_case {
        const char* name;
        const char* private_key;
        const char* public_key;
        const char* psk;
        bool created;
    };
    const std::string peer_public = peer.public_text;
    const std::string peer_hex = [&] {
        const char* h = x25519_key_to_hex(peer.public_key);
        std::string s = h;
        x25519_key_to_str_free(h);
        return s;
    }();
    const tunnel_case cases[] = {
        {"base64 keys", alice_private_b64, peer_public.c_str(), nullptr, true},
        {"hex keys", alice_private_hex, peer_hex.c_str(), nullptr, true},
        {"unpadded base64", "dwdtCnMYpX08FsFyUbJmRd9ML4frwJkqsXf7pR25LCo", peer_public.c_str(), nullptr, true},
        {"base64 preshared key", alice_private_b64, peer_public.c_str(), alice_public_b64, true},
        {"hex preshared key", alice_private_b64, peer_public.c_str(), alice_public_hex, true},
        {"empty preshared key", alice_private_b64, peer_public.c_str(), "", false},
        {"undecodable preshared key", alice_private_b64, peer_public.c_str(), "secret", false},
        {"undecodable private key", "dwdtCnMYpX08FsFyUbJmRd9ML4frwJkqsXf7pR25LC*=", peer_public.c_str(), nullptr, false},
        {"undecodable public key", alice_private_b64, "hSDwCYkwp1R0i33ctD73Wg2/Og0mOBr066SpjqqbTm!=", nullptr, false},
        {"null private key", nullptr, peer_public.c_str(), nullptr, false},
        {"null public key", alice_private_b64, nullptr, nullptr, false},
        {"low-order public key", alice_private_b64, "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=", nullptr, false},
        {"public key of order 8", alice_private_b64, "4Ot6fDtBuK4WVuP68Z/EatoJjeucMrH9hmIFFl9JuAA=", nullptr, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        wireguard_tunnel* t = new_tunnel(c.private_key, c.public_key, c.psk, 25, 7);
        EXPECT_EQ(t != nullptr, c.created);
        tunnel_free(t);
    }
}
