// Hostile input: every length of every message type, random datagrams, mutated
// messages with a correct MAC1 (so they reach the handshake), truncations and null
// arguments. Nothing may crash, write past dst_size, or leave a tunnel unusable.
#include "test_support.h"
#include "wgengine/crypto.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

using namespace wgtest;
namespace crypto = wireguard::engine::crypto;

namespace {

constexpr std::uint8_t canary = 0xc5;

#ifdef _WIN32
constexpr int scale = 1;  // the same work runs slower under Wine
#else
constexpr int scale = 2;
#endif

// Reads `datagram` into a destination of `capacity` bytes followed by a canary area;
// checks the result's shape and that nothing was written past the capacity.
wireguard_result checked_read(const wireguard_tunnel* t, const bytes& datagram, std::uint32_t capacity)
{
    bytes dst(capacity + 64, canary);
    const wireguard_result r = wireguard_read(t, datagram.empty() ? nullptr : datagram.data(),
                                              static_cast<std::uint32_t>(datagram.size()), dst.data(), capacity);
    EXPECT_TRUE(r.op == WIREGUARD_DONE || r.op == WRITE_TO_NETWORK || r.op == WIREGUARD_ERROR
                || r.op == WRITE_TO_TUNNEL_IPV4 || r.op == WRITE_TO_TUNNEL_IPV6)
        << r.op;
    if (r.op == WIREGUARD_ERROR) {
        EXPECT_LE(r.size, 16u);
    } else {
        EXPECT_LE(r.size, capacity);
    }
    for (std::size_t i = capacity; i < dst.size(); ++i) {
        if (dst[i] != canary) {
            ADD_FAILURE() << "written past dst_size at " << i;
            break;
        }
    }
    return r;
}

bytes mac1_key_of(const x25519_key& receiver_public)
{
    bytes key(32);
    const bytes label = from_text("mac1----");
    crypto::hash(key.data(), {label, crypto::bytes(receiver_public.key, 32)});
    return key;
}

void remac(bytes& message, const bytes& mac1_key)
{
    const std::size_t at = message.size() - 32;
    crypto::mac(&message[at], mac1_key, {crypto::bytes(message.data(), at)});
    std::memset(&message[at + 16], 0, 16);
}

bool still_works(tunnel_pair& p)
{
    test_clock::advance_s(2);
    tick(p.a);
    tick(p.b);
    const output init = force_handshake(p.a);
    const output resp = read(p.b, init.data);
    const output ka = read(p.a, resp.data);
    if (ka.op != WRITE_TO_NETWORK || read(p.b, ka.data).op != WIREGUARD_DONE)
        return false;
    const bytes packet = ipv4_packet(300, 9);
    return read(p.b, write(p.a, packet).data).data == packet && read(p.a, write(p.b, packet).data).data == packet;
}

class malformed : public ::testing::Test {
protected:
    test_clock clock_;
    std::mt19937_64 random_{20240611};

    std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>(random_() % n); }
    bytes random_bytes(std::size_t n)
    {
        bytes b(n);
        for (auto& x : b)
            x = static_cast<std::uint8_t>(random_());
        return b;
    }
};

}  // namespace

TEST_F(malformed, every_wrong_length_of_every_type_is_invalid_packet)
{
    tunnel_pair p;
    ASSERT_TRUE(p.a);
    for (std::uint32_t type : {0u, 1u, 2u, 3u, 4u, 5u, 255u, 0x101u, 0x01000001u}) {
        for (std::size_t n = 1; n <= 300; ++n) {
            const bool exact = (type == 1 && n == 148) || (type == 2 && n == 92) || (type == 3 && n == 64)
                || (type == 4 && n >= 32);
            if (exact)
                continue;
            bytes d(n, 0);
            for (std::size_t i = 0; i < 4 && i < n; ++i)
                d[i] = static_cast<std::uint8_t>(type >> (8 * i));
            const wireguard_result r = checked_read(p.a, d, 2048);
            ASSERT_EQ(r.op, WIREGUARD_ERROR) << type << " " << n;
            ASSERT_EQ(r.size, 12u) << type << " " << n;
        }
    }
    // Exact lengths with non-zero reserved bytes.
    for (auto [type, n] : {std::pair{1u, 148u}, std::pair{2u, 92u}, std::pair{3u, 64u}, std::pair{4u, 32u}}) {
        for (int reserved = 1; reserved < 4; ++reserved) {
            bytes d(n, 0);
            d[0] = static_cast<std::uint8_t>(type);
            d[static_cast<std::size_t>(reserved)] = 1;
            const wireguard_result r = checked_read(p.a, d, 2048);
            EXPECT_EQ(r.op, WIREGUARD_ERROR);
            EXPECT_EQ(r.size, 12u);
        }
    }
    EXPECT_TRUE(still_works(p));
}

TEST_F(malformed, random_datagrams_and_destination_sizes)
{
    tunnel_pair p;
    ASSERT_TRUE(still_works(p));
    // A real transport message gives the receiver index of B's current session.
    const output sample = write(p.a, ipv4_packet(60));
    const std::uint32_t b_index = le32_at(sample.data, 4);
    const int rounds = 10000 * scale;
    for (int i = 0; i < rounds; ++i) {
        std::size_t n;
        switch (below(6)) {
        case 0: n = 148; break;
        case 1: n = 92; break;
        case 2: n = 64; break;
        case 3: n = 32 + below(1500); break;
        default: n = below(200); break;
        }
        bytes d = random_bytes(n);
        if (n >= 4 && below(4) != 0) {
            d[0] = static_cast<std::uint8_t>(1 + below(4));
            d[1] = d[2] = d[3] = 0;
        }
        if (n >= 8 && d[0] == 4 && below(2) == 0)
            std::memcpy(&d[4], &b_index, 4);  // reach the session and its window
        const std::uint32_t capacity = below(4) == 0 ? below(160) : 2048;
        checked_read(below(2) ? p.a : p.b, d, capacity);
    }
    EXPECT_TRUE(still_works(p));
}

TEST_F(malformed, mutated_initiations_with_a_valid_mac1)
{
    tunnel_pair p;
    const bytes b_mac1 = mac1_key_of(p.b_keys.public_key);
    const int rounds = 1500 * scale;
    int accepted = 0;
    for (int i = 0; i < rounds; ++i) {
        if (i % 10 == 0) {
            test_clock::advance_ms(1000);  // past the rate limit
            tick(p.b);
        }
        bytes m = force_handshake(p.a).data;
        const int flips = 1 + static_cast<int>(below(4));
        for (int f = 0; f < flips; ++f)
            m[4 + below(112)] ^= static_cast<std::uint8_t>(1u << below(8));
        remac(m, b_mac1);
        const wireguard_result r = checked_read(p.b, m, below(8) == 0 ? 91 : 2048);
        // Only a change of the sender index leaves the initiation valid.
        if (r.op == WRITE_TO_NETWORK)
            ++accepted;
        else
            EXPECT_EQ(r.op, WIREGUARD_ERROR);
    }
    EXPECT_LT(accepted, rounds / 10);
    EXPECT_TRUE(still_works(p));
}

TEST_F(malformed, mutated_responses_with_a_valid_mac1)
{
    tunnel_pair p;
    const bytes a_mac1 = mac1_key_of(p.a_keys.public_key);
    const int rounds = 1500 * scale;
    bytes response;
    for (int i = 0; i < rounds; ++i) {
        if (i % 8 == 0) {
            test_clock::advance_ms(1000);
            tick(p.a);
            tick(p.b);
            response = read(p.b, force_handshake(p.a).data).data;
            ASSERT_EQ(response.size(), 92u);
        }
        bytes m = response;
        const int flips = 1 + static_cast<int>(below(4));
        while (m == response) {  // flips may cancel each other
            for (int f = 0; f < flips; ++f)
                m[8 + below(52)] ^= static_cast<std::uint8_t>(1u << below(8));  // receiver .. encrypted nothing
        }
        remac(m, a_mac1);
        const wireguard_result r = checked_read(p.a, m, below(8) == 0 ? 31 : 2048);
        EXPECT_EQ(r.op, WIREGUARD_ERROR);
    }
    EXPECT_TRUE(still_works(p));
}

TEST_F(malformed, truncations_of_every_message)
{
    tunnel_pair p;
    const output init = force_handshake(p.a);
    const output resp = read(p.b, init.data);
    const output ka = read(p.a, resp.data);
    read(p.b, ka.data);
    const output data = write(p.a, ipv4_packet(200));
    bytes cookie_reply(64, 0);
    cookie_reply[0] = 3;
    const bytes* messages[] = {&init.data, &resp.data, &ka.data, &data.data, &cookie_reply};
    for (const bytes* m : messages) {
        for (std::size_t n = 0; n < m->size(); ++n) {
            const bytes cut(m->begin(), m->begin() + static_cast<std::ptrdiff_t>(n));
            const wireguard_result r = checked_read(p.b, cut, 2048);
            if (n == 0) {
                EXPECT_EQ(r.op, WIREGUARD_DONE);
            } else {
                EXPECT_EQ(r.op, WIREGUARD_ERROR) << n;
            }
        }
    }
    EXPECT_EQ(read(p.b, data.data).op, WRITE_TO_TUNNEL_IPV4) << "the whole message still passes";
}

TEST_F(malformed, random_cookie_replies)
{
    tunnel_pair p;
    const output init = force_handshake(p.a);
    const std::uint32_t sender = le32_at(init.data, 4);
    for (int i = 0; i < 2000 * scale; ++i) {
        bytes m = random_bytes(64);
        m[0] = 3;
        m[1] = m[2] = m[3] = 0;
        if (below(2))
            std::memcpy(&m[4], &sender, 4);
        const wireguard_result r = checked_read(p.a, m, below(2) ? 0 : 64);
        ASSERT_EQ(r.op, WIREGUARD_ERROR);
        EXPECT_TRUE(r.size == 4 || r.size == 9) << r.size;
    }
    // No cookie was taken: the next initiation has no MAC2.
    const output next = force_handshake(p.a);
    EXPECT_EQ(bytes(next.data.begin() + 132, next.data.end()), bytes(16, 0));
}

TEST_F(malformed, null_and_empty_arguments)
{
    std::uint8_t dst[256];
    const std::uint8_t src[148] = {1};
    wireguard_result r = wireguard_write(nullptr, src, 10, dst, sizeof dst);
    EXPECT_EQ(r.op, WIREGUARD_ERROR);
    r = wireguard_read(nullptr, src, 10, dst, sizeof dst);
    EXPECT_EQ(r.op, WIREGUARD_ERROR);
    r = wireguard_tick(nullptr, dst, sizeof dst);
    EXPECT_EQ(r.op, WIREGUARD_ERROR);
    r = wireguard_force_handshake(nullptr, dst, sizeof dst);
    EXPECT_EQ(r.op, WIREGUARD_ERROR);
    const stats s = wireguard_stats(nullptr);
    EXPECT_EQ(s.time_since_last_handshake, -1);
    EXPECT_EQ(s.estimated_rtt, -1);
    tunnel_free(nullptr);

    tunnel_pair p;
    r = wireguard_write(p.a, nullptr, 10, dst, sizeof dst);
    EXPECT_EQ(r.op, WIREGUARD_ERROR);
    EXPECT_EQ(r.size, 12u);
    r = wireguard_read(p.a, nullptr, 10, dst, sizeof dst);
    EXPECT_EQ(r.op, WIREGUARD_ERROR);
    EXPECT_EQ(r.size, 12u);
    // A null destination has no room.
    r = wireguard_force_handshake(p.a, nullptr, 4096);
    EXPECT_EQ(r.op, WIREGUARD_ERROR);
    EXPECT_EQ(r.size, 0u);
    r = wireguard_write(p.a, src, 10, nullptr, 4096);
    EXPECT_EQ(r.op, WIREGUARD_ERROR);
    EXPECT_EQ(r.size, 0u);
    r = wireguard_tick(p.a, nullptr, 0);
    EXPECT_EQ(r.op, WIREGUARD_DONE);
    // Empty reads release nothing; an empty write without a session starts a handshake.
    r = wireguard_read(p.a, nullptr, 0, dst, sizeof dst);
    EXPECT_EQ(r.op, WIREGUARD_DONE);
    r = wireguard_write(p.a, nullptr, 0, dst, sizeof dst);
    EXPECT_EQ(r.op, WRITE_TO_NETWORK);
    EXPECT_EQ(r.size, 148u);
    EXPECT_TRUE(still_works(p));
}
