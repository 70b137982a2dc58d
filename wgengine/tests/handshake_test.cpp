// The handshake core against vectors derived by an independent implementation
// (derive_handshake_vectors.py: Python hashlib/hmac and OpenSSL), with injected
// ephemeral keys, timestamp and indexes.
#include "test_support.h"
#include "wgengine/handshake.h"
#include "wgengine/session.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace wireguard::engine;
using wgtest::bytes;
using wgtest::from_hex;
using wgtest::to_hex;

namespace {

const char* const initiator_static = "7a660f3a76e5189611224acb7d665909ee59be9d6a05e88994764c90b419164d";
const char* const initiator_public = "8acdd8df4e5063c95d0cd26bdd94851e4fac7e9c9a23019ccdbcc14135611629";
const char* const responder_static = "445ea69d9c4cde87ae2f11f751dcb0e934846cf3a38c28980a25cd8cf355e3ee";
const char* const responder_public = "955412b0ffd76706710b79bcbb59645da077b4645d1f3281e886ba38da65e13e";
const char* const initiator_ephemeral = "ea393b192fc90f9ca781853bb517e6ecdb4765ea1d2c9f869c9a8a5dc1c5dde5";
const char* const responder_ephemeral = "7af4d70e01a0611e5c828fa291d7f152376bface59f12375ac133417562a4e67";
const char* const timestamp = "400000006553f100075bcd15";
constexpr std::uint32_t initiator_index = 0x12345601;
constexpr std::uint32_t responder_index = 0x89abcd01;
const char* const payload_i = "450000200000000040110000c0000201c00002023132333435363738";
const char* const payload_r =
    "600000000008114000000000000000000000000000000001000000000000000000000000000000026162636465666768";

struct vector_case {
    const char* name;
    const char* psk;
    const char* initiation;
    const char* response;
    const char* hash;
    const char* initiator_send;
    const char* initiator_receive;
    const char* keepalive_i0;
    const char* data_i1;
    const char* data_r0;
};

const vector_case cases[] = {
    {"with_psk", "22c2212187020d63b13ca1c43fe2c235548035242ceedde7ca25ee0480995e2d",
     "01000000015634121fb22d22843e83c5616c4e80caa091331a66ff0e74573e68e084dd145172a45c887006ed4facd758cbf74d23d791a8ad1391"
     "0525629a4a2f395835df13044854fefcb33ec767ea9ad23311fedd543bb4de2e7784d2c1809b43781230e1d8c6988762b9b4f9d3d415522e4abd"
     "c669db1c77b0832af99f99bf7cbbc95700000000000000000000000000000000",
     "0200000001cdab8901563412cfb82a4c40ec91c20e0c4c131a3bdb7933b30187945a5205f25d5faa6eb68e67e49c29eec4f4f71a1c97eec7c06c"
     "7a8593b9d012c6c02c856aec3dfc90fd6a7f00000000000000000000000000000000",
     "ccd8136c00f40c1f0ead68f083764921a0f23f86bc05f687769523bde0dba91e",
     "8bfc7aa55ed2660aee7a8b73f49adbc182b3457a7a2312823be7feea2ad81fe0",
     "9ef451e6437d728dfb9cd9bf1e694f0ccf844e639e78477c348791f09f4ca2bd",
     "0400000001cdab890000000000000000c964f71e0877b7d4cef3d3f0358a229a",
     "0400000001cdab890100000000000000a4fac5f3e50c1908064cb4dcc4dd7d1e1934b96ced79af78f65ea6883bb0100f11f970216bb8da3981b41b"
     "f2",
     "0400000001563412000000000000000059105be6d0907ddb020e92a42994027b94a33dbc65f94076e044634a2a57d640dbc9ce6033e113a7399d"
     "10bc7dcde8d0c6ca6c7a21220559e00614b2eea200ff"},
    {"without_psk", "0000000000000000000000000000000000000000000000000000000000000000",
     "01000000015634121fb22d22843e83c5616c4e80caa091331a66ff0e74573e68e084dd145172a45c887006ed4facd758cbf74d23d791a8ad1391"
     "0525629a4a2f395835df13044854fefcb33ec767ea9ad23311fedd543bb4de2e7784d2c1809b43781230e1d8c6988762b9b4f9d3d415522e4abd"
     "c669db1c77b0832af99f99bf7cbbc95700000000000000000000000000000000",
     "0200000001cdab8901563412cfb82a4c40ec91c20e0c4c131a3bdb7933b30187945a5205f25d5faa6eb68e679ea70c37bf96539a25940ae09f1b"
     "ba690c9e2b649d6409a9c6289199adc4f15900000000000000000000000000000000",
     "b657bc8332e0c6ae105b16437b47ad13045f346a5ec6e8acd55e9115888bb4a9",
     "a8b62d492f7f4aa2e1e27c4926b6f9b8d5613d8669e3920a1e5a2c3dc5b348ed",
     "a2503c0177aac0de339bddb475bfca7456a26c4dd57a105b392483d93c671bad",
     "0400000001cdab890000000000000000af69cc1cf7943641c652b0f4eb18481c",
     "0400000001cdab890100000000000000ec0aa268836e925016308ab3049b65f4fb4304a8de9efb9f609a2b1cfc5e11c77ddb9388d4c903b33bb712"
     "ab",
     "04000000015634120000000000000000a5bf8b39f378671855292f53771c939c9cbd35284f21a61676947198f95d6dbeed74fe1e55289e6331f9"
     "cfb2d6a7a1b8339c5222dde2f2e5e40f17c97d70820d"},
};

// The cookie reply to the initiation of the first case and the MAC2 it keys.
const char* const cookie_value = "7da550375c51a41eeb21d62654891ceb";
const char* const cookie_reply_message =
    "0300000001563412c912508459e11f03946f2fa4d6b05c1971d505b414553dbf19bf99305bdc2dde6db6b51ba155621329cd6b54790ed46456df"
    "558518141515";
const char* const cookie_mac2 = "d33158f566ace579067f6b63289c1171";

key32 key_of(const char* hex)
{
    const bytes b = from_hex(hex);
    key32 k{};
    std::memcpy(k.data(), b.data(), 32);
    return k;
}

tai64n timestamp_of(const char* hex)
{
    const bytes b = from_hex(hex);
    tai64n t{};
    std::memcpy(t.data(), b.data(), t.size());
    return t;
}

struct handshake_pair {
    handshake_identity initiator;
    handshake_identity responder;
};

handshake_pair identities(const vector_case& c)
{
    handshake_pair p;
    EXPECT_TRUE(make_identity(p.initiator, key_of(initiator_static), key_of(responder_public), key_of(c.psk)));
    EXPECT_TRUE(make_identity(p.responder, key_of(responder_static), key_of(initiator_public), key_of(c.psk)));
    return p;
}

// A whole message buffer as the fixed-size span the handshake functions take.
template <std::size_t N>
std::span<std::uint8_t, N> message(bytes& b)
{
    return std::span<std::uint8_t, N>(b.data(), N);
}

template <std::size_t N>
std::span<const std::uint8_t, N> message(const bytes& b)
{
    return std::span<const std::uint8_t, N>(b.data(), N);
}

// The initiation of the vectors: the injected ephemeral, timestamp and index (no MAC).
bool write_vector_initiation(const handshake_pair& p, bytes& init, initiator_state& state)
{
    return write_initiation(p.initiator, key_of(initiator_ephemeral), timestamp_of(timestamp), initiator_index,
                            message<initiation::size>(init), state);
}

}  // namespace

TEST(handshake, construction_and_identifier_hashes)
{
    EXPECT_EQ(to_hex(construction_hash().data(), 32), "60e26daef327efc02ec335e2a025d2d016eb4206f87277f52d38d1988b78cd36");
    EXPECT_EQ(to_hex(identifier_hash().data(), 32), "2211b361081ac566691243db458ad5322d9c6c662293e8b70ee19c65ba079ef3");
}

TEST(handshake, public_keys_of_the_vector_identities)
{
    handshake_identity id;
    ASSERT_TRUE(make_identity(id, key_of(initiator_static), key_of(responder_public), key32{}));
    EXPECT_EQ(to_hex(id.static_public.data(), 32), initiator_public);
}

TEST(handshake, tai64n_encoding)
{
    const tai64n t = make_tai64n(1700000000ull * 1000000000ull + 123456789ull);
    EXPECT_EQ(to_hex(t.data(), t.size()), timestamp);
}

class handshake_vectors : public ::testing::TestWithParam<vector_case> {};

TEST_P(handshake_vectors, initiation_response_keys_and_transport)
{
    const vector_case& c = GetParam();
    handshake_pair p = identities(c);

    // Initiation with the injected ephemeral and timestamp.
    initiator_state initiator;
    bytes init(initiation::size);
    ASSERT_TRUE(write_vector_initiation(p, init, initiator));
    write_mac1(p.initiator.mac1_key_peer, init);
    EXPECT_EQ(to_hex(init), c.initiation);

    // The responder takes it.
    ASSERT_TRUE(check_mac1(p.responder.mac1_key_us, init));
    responder_state responder;
    ASSERT_FALSE(read_initiation(p.responder, message<initiation::size>(init), responder));
    EXPECT_EQ(responder.peer_index, initiator_index);
    EXPECT_EQ(to_hex(responder.timestamp.data(), 12), timestamp);

    // Response with the injected ephemeral.
    session_keys responder_keys;
    bytes resp(response::size);
    ASSERT_TRUE(write_response(p.responder, responder, key_of(responder_ephemeral), responder_index,
                               message<response::size>(resp), responder_keys));
    write_mac1(p.responder.mac1_key_peer, resp);
    EXPECT_EQ(to_hex(resp), c.response);
    EXPECT_EQ(to_hex(responder_keys.hash.data(), 32), c.hash);
    EXPECT_EQ(to_hex(responder_keys.receiving.data(), 32), c.initiator_send);
    EXPECT_EQ(to_hex(responder_keys.sending.data(), 32), c.initiator_receive);

    // The initiator completes.
    ASSERT_TRUE(check_mac1(p.initiator.mac1_key_us, resp));
    session_keys initiator_keys;
    ASSERT_FALSE(read_response(p.initiator, initiator,
                               message<response::size>(resp), initiator_keys));
    EXPECT_EQ(to_hex(initiator_keys.hash.data(), 32), c.hash);
    EXPECT_EQ(to_hex(initiator_keys.sending.data(), 32), c.initiator_send);
    EXPECT_EQ(to_hex(initiator_keys.receiving.data(), 32), c.initiator_receive);

    // Transport messages of both sessions.
    session i(initiator_index, responder_index, initiator_keys, true, 0);
    session r(responder_index, initiator_index, responder_keys, false, 0);
    ASSERT_TRUE(i.valid() && r.valid());
    bytes keepalive(32);
    ASSERT_TRUE(i.seal(keepalive.data(), nullptr, 0));
    EXPECT_EQ(to_hex(keepalive), c.keepalive_i0);
    const bytes pi = from_hex(payload_i);
    bytes data_i(pi.size() + 32);
    ASSERT_TRUE(i.seal(data_i.data(), pi.data(), pi.size()));
    EXPECT_EQ(to_hex(data_i), c.data_i1);
    const bytes pr = from_hex(payload_r);
    bytes data_r(pr.size() + 32);
    ASSERT_TRUE(r.seal(data_r.data(), pr.data(), pr.size()));
    EXPECT_EQ(to_hex(data_r), c.data_r0);

    // Each side opens the other's messages, in any order, once.
    bytes plain(2048);
    EXPECT_FALSE(r.open(plain.data(), data_i.data(), data_i.size()));
    EXPECT_EQ(bytes(plain.begin(), plain.begin() + static_cast<std::ptrdiff_t>(pi.size())), pi);
    EXPECT_FALSE(r.open(plain.data(), keepalive.data(), keepalive.size()));
    EXPECT_EQ(r.open(plain.data(), keepalive.data(), keepalive.size()), error::duplicate_counter);
    EXPECT_FALSE(i.open(plain.data(), data_r.data(), data_r.size()));
    EXPECT_EQ(bytes(plain.begin(), plain.begin() + static_cast<std::ptrdiff_t>(pr.size())), pr);
}

TEST_P(handshake_vectors, responder_refuses_altered_initiations)
{
    const vector_case& c = GetParam();
    handshake_pair p = identities(c);
    const bytes init = from_hex(c.initiation);
    // Every byte of ephemeral, static and timestamp matters (MACs are not checked here).
    for (std::size_t at = initiation::ephemeral; at < initiation::mac1; ++at) {
        bytes bad = init;
        bad[at] ^= 0x40;
        responder_state state;
        auto e = read_initiation(p.responder, message<initiation::size>(bad), state);
        ASSERT_TRUE(e.has_value()) << at;
        EXPECT_TRUE(*e == error::invalid_aead_tag || *e == error::wrong_key) << at;
    }
    // A responder configured for another peer refuses the static key.
    handshake_identity other;
    key32 stranger{};
    stranger[0] = 9;
    ASSERT_TRUE(make_identity(other, key_of(responder_static), stranger, key_of(c.psk)));
    responder_state state;
    EXPECT_EQ(read_initiation(other, message<initiation::size>(init), state),
              error::wrong_key);
}

TEST_P(handshake_vectors, initiator_refuses_a_response_with_another_psk)
{
    const vector_case& c = GetParam();
    handshake_pair p = identities(c);
    initiator_state initiator;
    bytes init(initiation::size);
    ASSERT_TRUE(write_vector_initiation(p, init, initiator));
    // Same message, responder with a different preshared key.
    key32 other_psk = key_of(c.psk);
    other_psk[5] ^= 1;
    handshake_identity responder;
    ASSERT_TRUE(make_identity(responder, key_of(responder_static), key_of(initiator_public), other_psk));
    responder_state state;
    ASSERT_FALSE(read_initiation(responder, message<initiation::size>(init), state));
    session_keys keys;
    bytes resp(response::size);
    ASSERT_TRUE(write_response(responder, state, key_of(responder_ephemeral), responder_index,
                               message<response::size>(resp), keys));
    session_keys mine;
    EXPECT_EQ(read_response(p.initiator, initiator, message<response::size>(resp), mine),
              error::invalid_aead_tag);
}

INSTANTIATE_TEST_SUITE_P(cases, handshake_vectors, ::testing::ValuesIn(cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(handshake, cookie_reply_and_mac2)
{
    handshake_pair p = identities(cases[0]);
    const bytes init = from_hex(cases[0].initiation);
    cookie last_mac1{};
    std::memcpy(last_mac1.data(), init.data() + initiation::mac1, 16);
    const bytes reply = from_hex(cookie_reply_message);
    cookie value{};
    ASSERT_TRUE(open_cookie_reply(p.initiator.cookie_key_peer, last_mac1,
                                  std::span<const std::uint8_t, cookie_reply::size>(reply.data(), cookie_reply::size), value));
    EXPECT_EQ(to_hex(value.data(), 16), cookie_value);

    bytes with_mac2 = init;
    write_mac2(value, with_mac2);
    EXPECT_EQ(to_hex(with_mac2.data() + initiation::mac2, 16), cookie_mac2);
    EXPECT_TRUE(check_mac2(value, with_mac2));
    EXPECT_TRUE(check_mac1(p.responder.mac1_key_us, with_mac2));

    // Another MAC1 as additional data, or a changed byte, and the reply does not open.
    cookie other_mac1 = last_mac1;
    other_mac1[0] ^= 1;
    EXPECT_FALSE(open_cookie_reply(p.initiator.cookie_key_peer, other_mac1,
                                   std::span<const std::uint8_t, cookie_reply::size>(reply.data(), cookie_reply::size),
                                   value));
    bytes bad = reply;
    bad[cookie_reply::nonce] ^= 1;
    EXPECT_FALSE(open_cookie_reply(p.initiator.cookie_key_peer, last_mac1,
                                   std::span<const std::uint8_t, cookie_reply::size>(bad.data(), cookie_reply::size), value));
}

TEST(handshake, identity_refuses_a_low_order_peer_key)
{
    handshake_identity id;
    key32 zero{};
    EXPECT_FALSE(make_identity(id, key_of(initiator_static), zero, key32{}));
    key32 one{};
    one[0] = 1;
    EXPECT_FALSE(make_identity(id, key_of(initiator_static), one, key32{}));
}
