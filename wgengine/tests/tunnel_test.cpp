// Two engines talking to each other through every path of the C interface.
#include "test_support.h"
#include "wgengine/crypto.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>

using namespace wgtest;
namespace crypto = wireguard::engine::crypto;

namespace {

// Initiator sends its initiation, responder answers, initiator confirms with a
// keep-alive; true when every step gave what the protocol says.
bool complete_handshake(wireguard_tunnel* initiator, wireguard_tunnel* responder)
{
    const output init = force_handshake(initiator);
    EXPECT_EQ(init.op, WRITE_TO_NETWORK);
    EXPECT_EQ(init.size, 148u);
    const output resp = read(responder, init.data);
    EXPECT_EQ(resp.op, WRITE_TO_NETWORK);
    EXPECT_EQ(resp.size, 92u);
    const output keepalive = read(initiator, resp.data);
    EXPECT_EQ(keepalive.op, WRITE_TO_NETWORK);
    EXPECT_EQ(keepalive.size, 32u);
    const output done = read(responder, keepalive.data);
    EXPECT_EQ(done.op, WIREGUARD_DONE);
    return init.size == 148 && resp.size == 92 && keepalive.size == 32 && done.op == WIREGUARD_DONE;
}

class tunnel_test : public ::testing::Test {
protected:
    test_clock clock_;
};

}  // namespace

TEST_F(tunnel_test, handshake_initiated_by_either_side)
{
    for (bool a_first : {true, false}) {
        SCOPED_TRACE(a_first);
        tunnel_pair p;
        ASSERT_TRUE(p.a && p.b);
        EXPECT_EQ(wireguard_stats(p.a).time_since_last_handshake, -1);
        EXPECT_EQ(wireguard_stats(p.a).estimated_rtt, -1);
        wireguard_tunnel* i = a_first ? p.a : p.b;
        wireguard_tunnel* r = a_first ? p.b : p.a;
        ASSERT_TRUE(complete_handshake(i, r));
        EXPECT_EQ(wireguard_stats(i).time_since_last_handshake, 0);
        EXPECT_EQ(wireguard_stats(r).time_since_last_handshake, 0);
        EXPECT_EQ(wireguard_stats(i).estimated_rtt, 0);
        EXPECT_EQ(wireguard_stats(r).estimated_rtt, -1);
        // Keep-alives and handshakes are not data.
        EXPECT_EQ(wireguard_stats(i).tx_bytes, 0u);
        EXPECT_EQ(wireguard_stats(r).rx_bytes, 0u);
    }
}

TEST_F(tunnel_test, handshake_with_preshared_key_and_mismatch)
{
    const char* psk = "FpCyhws9cxwWoV4xELtfJvjJN+zQVRPISllRWgeopVE=";
    {
        tunnel_pair p(psk);
        ASSERT_TRUE(complete_handshake(p.a, p.b));
    }
    // One side with a different preshared key: the response does not open.
    key_pair a, b;
    wireguard_tunnel* ta = new_tunnel(a.private_text.c_str(), b.public_text.c_str(), psk, 0, 1);
    wireguard_tunnel* tb = new_tunnel(b.private_text.c_str(), a.public_text.c_str(), nullptr, 0, 2);
    const output init = force_handshake(ta);
    const output resp = read(tb, init.data);
    ASSERT_EQ(resp.op, WRITE_TO_NETWORK);
    const output r = read(ta, resp.data);
    EXPECT_EQ(r.op, WIREGUARD_ERROR);
    EXPECT_EQ(r.size, 9u);
    EXPECT_EQ(wireguard_stats(ta).time_since_last_handshake, -1);
    tunnel_free(ta);
    tunnel_free(tb);
}

TEST_F(tunnel_test, local_index_is_index_shifted_with_a_handshake_counter)
{
    tunnel_pair p(nullptr, 0, 0, 0x00abcdef, 0x80000042);
    const output first = force_handshake(p.a);
    const output second = force_handshake(p.a);
    EXPECT_EQ(le32_at(first.data, 4), 0xabcdef01u);
    EXPECT_EQ(le32_at(second.data, 4), 0xabcdef02u);
    const output resp = read(p.b, second.data);
    ASSERT_EQ(resp.op, WRITE_TO_NETWORK);
    // The top byte of the index falls off; the responder's counter is its own.
    EXPECT_EQ(le32_at(resp.data, 4), 0x00004201u);
    EXPECT_EQ(le32_at(resp.data, 8), 0xabcdef02u);
}

struct data_case {
    const char* name;
    bool ipv6;
    std::size_t size;
};

class tunnel_data : public tunnel_test, public ::testing::WithParamInterface<data_case> {};

TEST_P(tunnel_data, both_ways_exact_sizes_and_contents)
{
    const data_case c = GetParam();
    tunnel_pair p;
    ASSERT_TRUE(complete_handshake(p.a, p.b));
    std::size_t sent = 0;
    for (int round = 0; round < 3; ++round) {
        for (bool from_a : {true, false}) {
            wireguard_tunnel* from = from_a ? p.a : p.b;
            wireguard_tunnel* to = from_a ? p.b : p.a;
            const bytes packet = c.ipv6 ? ipv6_packet(c.size, static_cast<std::uint8_t>(round))
                                        : ipv4_packet(c.size, static_cast<std::uint8_t>(round));
            const auto capacity = static_cast<std::uint32_t>(c.size + 64);
            const output m = write(from, packet, capacity);
            ASSERT_EQ(m.op, WRITE_TO_NETWORK);
            ASSERT_EQ(m.size, c.size + 32) << "no padding";
            EXPECT_EQ(le32_at(m.data, 0), 4u);
            EXPECT_EQ(le64_at(m.data, 8), static_cast<std::uint64_t>(round + (from_a ? 1 : 0)))
                << "counter (the initiator's keep-alive took 0)";
            const output got = read(to, m.data, capacity);
            ASSERT_EQ(got.op, c.ipv6 ? WRITE_TO_TUNNEL_IPV6 : WRITE_TO_TUNNEL_IPV4);
            ASSERT_EQ(got.size, c.size);
            EXPECT_EQ(got.data, packet);
        }
        sent += c.size;
    }
    EXPECT_EQ(wireguard_stats(p.a).tx_bytes, sent);
    EXPECT_EQ(wireguard_stats(p.a).rx_bytes, sent);
    EXPECT_EQ(wireguard_stats(p.b).tx_bytes, sent);
    EXPECT_EQ(wireguard_stats(p.b).rx_bytes, sent);
}

INSTANTIATE_TEST_SUITE_P(sizes, tunnel_data,
                         ::testing::Values(data_case{"ipv4_20", false, 20}, data_case{"ipv4_64", false, 64},
                                           data_case{"ipv4_512", false, 512}, data_case{"ipv4_1420", false, 1420},
                                           data_case{"ipv4_65535", false, 65535}, data_case{"ipv6_40", true, 40},
                                           data_case{"ipv6_1280", true, 1280}, data_case{"ipv6_1420", true, 1420}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(tunnel_test, ip_length_strips_padding_and_bad_headers_are_refused)
{
    tunnel_pair p;
    ASSERT_TRUE(complete_handshake(p.a, p.b));
    struct bad_case {
        const char* name;
        bytes packet;
        int op;
        std::size_t size;
    };
    bytes padded4 = ipv4_packet(60);
    padded4.resize(80, 0);  // peer padding after the IPv4 packet
    bytes padded6 = ipv6_packet(48);
    padded6.resize(64, 0);
    bytes long4 = ipv4_packet(60);
    long4[3] = 61;  // total length beyond the plaintext
    bytes short4 = ipv4_packet(60);
    short4[2] = 0;
    short4[3] = 19;  // total length below a header
    bytes long6 = ipv6_packet(60);
    long6[5] = 21;
    bytes version5 = ipv4_packet(40);
    version5[0] = 0x55;
    const bytes tiny4 = {0x45, 0, 0, 19, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const bytes tiny6(39, 0x60);
    const bad_case cases[] = {
        {"ipv4 padding stripped", padded4, WRITE_TO_TUNNEL_IPV4, 60},
        {"ipv6 padding stripped", padded6, WRITE_TO_TUNNEL_IPV6, 48},
        {"ipv4 total length beyond data", long4, WIREGUARD_ERROR, 12},
        {"ipv4 total length below header", short4, WIREGUARD_ERROR, 12},
        {"ipv6 payload length beyond data", long6, WIREGUARD_ERROR, 12},
        {"version 5", version5, WIREGUARD_ERROR, 12},
        {"ipv4 shorter than a header", tiny4, WIREGUARD_ERROR, 12},
        {"ipv6 shorter than a header", tiny6, WIREGUARD_ERROR, 12},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const output m = write(p.a, c.packet);
        ASSERT_EQ(m.op, WRITE_TO_NETWORK);
        const output got = read(p.b, m.data);
        EXPECT_EQ(got.op, c.op);
        EXPECT_EQ(got.size, c.size);
        if (got.op != WIREGUARD_ERROR) {
            EXPECT_EQ(got.data, bytes(c.packet.begin(), c.packet.begin() + static_cast<std::ptrdiff_t>(c.size)));
        }
    }
    EXPECT_EQ(wireguard_stats(p.b).rx_bytes, 108u) << "only the delivered IP packets count";
}

TEST_F(tunnel_test, replay_reorder_and_the_1024_window)
{
    tunnel_pair p;
    ASSERT_TRUE(complete_handshake(p.a, p.b));
    std::vector<bytes> messages;
    for (int i = 0; i < 1100; ++i)
        messages.push_back(write(p.a, ipv4_packet(28, static_cast<std::uint8_t>(i))).data);
    // Counters: the keep-alive took 0, so message i has counter i + 1.
    auto deliver = [&](std::size_t i) { return read(p.b, messages[i]); };
    // Reordered delivery passes.
    for (std::size_t i : {4u, 2u, 3u, 0u, 1u}) {
        EXPECT_EQ(deliver(i).op, WRITE_TO_TUNNEL_IPV4) << i;
    }
    // A replay is a duplicate.
    EXPECT_EQ(deliver(2).op, WIREGUARD_ERROR);
    EXPECT_EQ(deliver(2).size, 11u);
    // The highest counter so far is 1100 (message 1099); 1100 - 1023 = 77 is still in
    // the window, 76 is not.
    EXPECT_EQ(deliver(1099).op, WRITE_TO_TUNNEL_IPV4);
    const output edge = deliver(76);
    EXPECT_EQ(edge.op, WRITE_TO_TUNNEL_IPV4) << "counter 77, the oldest in the window";
    const output old = deliver(75);
    EXPECT_EQ(old.op, WIREGUARD_ERROR);
    EXPECT_EQ(old.size, 10u) << "counter 76 is too old";
    EXPECT_EQ(deliver(1099).size, 11u);
    EXPECT_EQ(deliver(76).size, 11u);
    // Loss: counters 0..1100 expected (1101), accepted: keep-alive + 5 + 2 = 8.
    EXPECT_NEAR(wireguard_stats(p.b).estimated_loss, 1.0f - 8.0f / 1101.0f, 1e-5);
}

TEST_F(tunnel_test, tampered_wrong_index_and_missing_session)
{
    tunnel_pair p;
    ASSERT_TRUE(complete_handshake(p.a, p.b));
    const output m = write(p.a, ipv4_packet(100));
    bytes tampered = m.data;
    tampered[40] ^= 1;
    EXPECT_EQ(read(p.b, tampered).size, 9u);
    bytes tag = m.data;
    tag.back() ^= 0x80;
    EXPECT_EQ(read(p.b, tag).size, 9u);
    // Same slot, other index.
    bytes other_index = m.data;
    other_index[5] ^= 1;
    EXPECT_EQ(read(p.b, other_index).op, WIREGUARD_ERROR);
    EXPECT_EQ(read(p.b, other_index).size, 4u);
    // Empty slot.
    bytes empty_slot = m.data;
    empty_slot[4] ^= 3;
    EXPECT_EQ(read(p.b, empty_slot).size, 13u);
    // The original still decrypts: failures consumed nothing.
    EXPECT_EQ(read(p.b, m.data).op, WRITE_TO_TUNNEL_IPV4);
}

TEST_F(tunnel_test, packets_written_before_the_session_are_queued_and_released)
{
    tunnel_pair p;
    const bytes first = ipv4_packet(100, 1), second = ipv6_packet(200, 2);
    const output init = write(p.a, first);
    ASSERT_EQ(init.op, WRITE_TO_NETWORK);
    ASSERT_EQ(init.size, 148u) << "the first packet starts a handshake";
    EXPECT_EQ(write(p.a, second).op, WIREGUARD_DONE) << "handshake in progress: queued";
    EXPECT_EQ(read(p.a, {}).op, WIREGUARD_DONE) << "nothing released without a session";

    const output resp = read(p.b, init.data);
    const output keepalive = read(p.a, resp.data);
    ASSERT_EQ(keepalive.size, 32u);
    EXPECT_EQ(read(p.b, keepalive.data).op, WIREGUARD_DONE);

    const output q1 = read(p.a, {});
    ASSERT_EQ(q1.op, WRITE_TO_NETWORK);
    EXPECT_EQ(q1.size, 132u);
    const output q2 = read(p.a, {});
    ASSERT_EQ(q2.op, WRITE_TO_NETWORK);
    EXPECT_EQ(q2.size, 232u);
    EXPECT_EQ(read(p.a, {}).op, WIREGUARD_DONE);
    EXPECT_EQ(read(p.b, q1.data).data, first);
    EXPECT_EQ(read(p.b, q2.data).data, second);
    EXPECT_EQ(wireguard_stats(p.a).tx_bytes, 300u);
}

TEST_F(tunnel_test, queue_holds_at_most_256_packets)
{
    tunnel_pair p;
    ASSERT_EQ(write(p.a, ipv4_packet(40, 0)).size, 148u);
    for (int i = 1; i < 300; ++i)
        EXPECT_EQ(write(p.a, ipv4_packet(40, static_cast<std::uint8_t>(i))).op, WIREGUARD_DONE);
    // Complete the handshake with the latest initiation.
    ASSERT_TRUE(complete_handshake(p.a, p.b));
    int released = 0;
    for (;;) {
        const output o = read(p.a, {});
        if (o.op != WRITE_TO_NETWORK)
            break;
        const output got = read(p.b, o.data);
        ASSERT_EQ(got.op, WRITE_TO_TUNNEL_IPV4);
        EXPECT_EQ(got.data[20], static_cast<std::uint8_t>(released)) << "oldest first";
        ++released;
    }
    EXPECT_EQ(released, 256);
}

TEST_F(tunnel_test, rekey_keeps_the_old_session_for_packets_in_flight)
{
    tunnel_pair p;
    ASSERT_TRUE(complete_handshake(p.a, p.b));
    const output old_message = write(p.a, ipv4_packet(64, 1));
    const output old_reply = write(p.b, ipv4_packet(64, 2));
    ASSERT_TRUE(complete_handshake(p.a, p.b));
    const output new_message = write(p.a, ipv4_packet(64, 3));
    EXPECT_NE(le32_at(new_message.data, 4), le32_at(old_message.data, 4)) << "new receiver index";
    EXPECT_EQ(le64_at(new_message.data, 8), 1u) << "new session after its keep-alive";
    EXPECT_EQ(read(p.b, new_message.data).op, WRITE_TO_TUNNEL_IPV4);
    EXPECT_EQ(read(p.b, old_message.data).op, WRITE_TO_TUNNEL_IPV4);
    EXPECT_EQ(read(p.a, old_reply.data).op, WRITE_TO_TUNNEL_IPV4);
    // The responder now sends on the confirmed new session.
    const output reply = write(p.b, ipv4_packet(64, 4));
    EXPECT_NE(le32_at(reply.data, 4), le32_at(old_reply.data, 4));
    EXPECT_EQ(read(p.a, reply.data).op, WRITE_TO_TUNNEL_IPV4);
}

TEST_F(tunnel_test, simultaneous_initiations_both_complete)
{
    tunnel_pair p;
    const output ia = force_handshake(p.a);
    const output ib = force_handshake(p.b);
    const output ra = read(p.b, ia.data);
    const output rb = read(p.a, ib.data);
    ASSERT_EQ(ra.size, 92u);
    ASSERT_EQ(rb.size, 92u);
    const output ka = read(p.a, ra.data);
    const output kb = read(p.b, rb.data);
    ASSERT_EQ(ka.size, 32u);
    ASSERT_EQ(kb.size, 32u);
    EXPECT_EQ(read(p.b, ka.data).op, WIREGUARD_DONE);
    EXPECT_EQ(read(p.a, kb.data).op, WIREGUARD_DONE);
    const bytes pa = ipv4_packet(80, 7), pb = ipv4_packet(90, 8);
    EXPECT_EQ(read(p.b, write(p.a, pa).data).data, pa);
    EXPECT_EQ(read(p.a, write(p.b, pb).data).data, pb);
}

TEST_F(tunnel_test, initiation_checks)
{
    tunnel_pair p;
    const output init = force_handshake(p.a);
    // MAC1 keyed with someone else's key.
    bytes bad_mac = init.data;
    bad_mac[120] ^= 1;
    EXPECT_EQ(read(p.b, bad_mac).size, 8u);
    // Accepted once; the same timestamp again is refused.
    EXPECT_EQ(read(p.b, init.data).op, WRITE_TO_NETWORK);
    const output replay = read(p.b, init.data);
    EXPECT_EQ(replay.op, WIREGUARD_ERROR);
    EXPECT_EQ(replay.size, 7u);
    // A newer one passes.
    EXPECT_EQ(read(p.b, force_handshake(p.a).data).op, WRITE_TO_NETWORK);
    // An initiation from a key that is not the configured peer's.
    key_pair stranger;
    wireguard_tunnel* s = new_tunnel(stranger.private_text.c_str(), p.b_keys.public_text.c_str(), nullptr, 0, 9);
    const output foreign = read(p.b, force_handshake(s).data);
    EXPECT_EQ(foreign.op, WIREGUARD_ERROR);
    EXPECT_EQ(foreign.size, 5u);
    tunnel_free(s);
    // A response nobody asked for.
    tunnel_pair q;
    const output stray = read(q.a, read(q.b, force_handshake(q.a).data).data);
    ASSERT_EQ(stray.op, WRITE_TO_NETWORK);
    const output resp = read(q.b, force_handshake(q.a).data);
    ASSERT_EQ(resp.op, WRITE_TO_NETWORK);
    EXPECT_EQ(read(q.a, resp.data).op, WRITE_TO_NETWORK);
    const output again = read(q.a, resp.data);
    EXPECT_EQ(again.op, WIREGUARD_ERROR);
    EXPECT_EQ(again.size, 2u) << "the initiation was answered already";
}

TEST_F(tunnel_test, a_late_response_to_the_previous_initiation_is_taken)
{
    tunnel_pair p;
    const output first = force_handshake(p.a);
    const output second = force_handshake(p.a);
    const output resp_first = read(p.b, first.data);
    ASSERT_EQ(resp_first.op, WRITE_TO_NETWORK);
    const output ka = read(p.a, resp_first.data);
    EXPECT_EQ(ka.op, WRITE_TO_NETWORK);
    EXPECT_EQ(read(p.b, ka.data).op, WIREGUARD_DONE);
    // Only the last two are remembered.
    tunnel_pair q;
    const output i1 = force_handshake(q.a);
    force_handshake(q.a);
    force_handshake(q.a);
    const output r1 = read(q.b, i1.data);
    EXPECT_EQ(read(q.a, r1.data).size, 2u);
    (void)second;
}

TEST_F(tunnel_test, session_ring_reuses_slots_after_eight_handshakes)
{
    tunnel_pair p;
    ASSERT_TRUE(complete_handshake(p.a, p.b));
    const output early = write(p.a, ipv4_packet(40));
    for (int i = 0; i < 8; ++i)
        ASSERT_TRUE(complete_handshake(p.a, p.b));
    // The responder's slot of the first session now holds its ninth.
    const output late = read(p.b, early.data);
    EXPECT_EQ(late.op, WIREGUARD_ERROR);
    EXPECT_EQ(late.size, 4u);
    const output fresh = write(p.a, ipv4_packet(40));
    EXPECT_EQ(read(p.b, fresh.data).op, WRITE_TO_TUNNEL_IPV4);
}

TEST_F(tunnel_test, cookie_reply_keys_mac2_for_120_seconds)
{
    tunnel_pair p;
    // Before any handshake message there is nothing to answer.
    bytes reply(64, 0);
    reply[0] = 3;
    EXPECT_EQ(read(p.a, reply).size, 2u);

    const output init = force_handshake(p.a);
    EXPECT_EQ(bytes(init.data.begin() + 132, init.data.end()), bytes(16, 0)) << "no MAC2 without a cookie";
    // A responder under load answers with a cookie reply: XChaCha20-Poly1305 of the
    // cookie under HASH("cookie--" || responder public key), AAD = the initiation's MAC1.
    std::uint8_t cookie_key[32];
    const bytes label = from_text("cookie--");
    crypto::hash(cookie_key, {label, crypto::bytes(p.b_keys.public_key.key, 32)});
    bytes cookie(16);
    crypto::random_bytes(cookie.data(), 16);
    std::memcpy(&reply[4], &init.data[4], 4);
    crypto::random_bytes(&reply[8], 24);
    const bytes mac1(init.data.begin() + 116, init.data.begin() + 132);
    ASSERT_TRUE(crypto::xaead_seal(&reply[32], cookie_key, &reply[8], cookie, mac1));

    bytes wrong_receiver = reply;
    wrong_receiver[4] ^= 1;
    EXPECT_EQ(read(p.a, wrong_receiver).size, 4u);
    bytes tampered = reply;
    tampered[40] ^= 1;
    EXPECT_EQ(read(p.a, tampered).size, 9u);
    EXPECT_EQ(read(p.a, reply).op, WIREGUARD_DONE);

    // The next initiation carries MAC2 = MAC(cookie, bytes before MAC2).
    const output next = force_handshake(p.a);
    std::uint8_t expected[16];
    crypto::mac(expected, cookie, {crypto::bytes(next.data.data(), 132)});
    EXPECT_EQ(to_hex(next.data.data() + 132, 16), to_hex(expected, 16));
    // The responder still accepts it (MAC1 is unchanged in meaning).
    EXPECT_EQ(read(p.b, next.data).op, WRITE_TO_NETWORK);

    // A cookie reply for an older message no longer opens: AAD is the last MAC1.
    EXPECT_EQ(read(p.a, reply).op, WIREGUARD_ERROR);

    test_clock::advance_s(119);
    tick(p.a);
    const output still = force_handshake(p.a);
    EXPECT_NE(bytes(still.data.begin() + 132, still.data.end()), bytes(16, 0));
    test_clock::advance_s(1);
    tick(p.a);
    const output expired = force_handshake(p.a);
    EXPECT_EQ(bytes(expired.data.begin() + 132, expired.data.end()), bytes(16, 0)) << "cookie older than 120 s";
}

TEST_F(tunnel_test, more_than_ten_handshakes_a_second_is_under_load)
{
    tunnel_pair p;
    for (int i = 0; i < 10; ++i) {
        const output r = read(p.b, force_handshake(p.a).data);
        EXPECT_EQ(r.op, WRITE_TO_NETWORK) << i;
    }
    const output init = force_handshake(p.a);
    const output loaded = read(p.b, init.data);
    EXPECT_EQ(loaded.op, WIREGUARD_ERROR);
    EXPECT_EQ(loaded.size, 16u);
    // Invalid MAC1 is refused as such, not counted.
    bytes bad = init.data;
    bad[116] ^= 1;
    EXPECT_EQ(read(p.b, bad).size, 8u);
    // A tick less than a second later does not reset the count; one a second later does.
    test_clock::advance_ms(500);
    tick(p.b);
    EXPECT_EQ(read(p.b, init.data).size, 16u);
    test_clock::advance_ms(500);
    tick(p.b);
    EXPECT_EQ(read(p.b, init.data).op, WRITE_TO_NETWORK) << "the same initiation, not consumed while under load";
}

TEST_F(tunnel_test, statistics_time_since_handshake_and_counts)
{
    tunnel_pair p;
    test_clock::advance_ms(10);
    ASSERT_TRUE(complete_handshake(p.a, p.b));
    test_clock::advance_ms(3700);
    EXPECT_EQ(wireguard_stats(p.a).time_since_last_handshake, 3);
    read(p.b, write(p.a, ipv4_packet(100)).data);
    read(p.b, write(p.a, {}).data);  // an explicit keep-alive: 32 bytes, no data
    const stats a = wireguard_stats(p.a);
    const stats b = wireguard_stats(p.b);
    EXPECT_EQ(a.tx_bytes, 100u);
    EXPECT_EQ(a.rx_bytes, 0u);
    EXPECT_EQ(b.rx_bytes, 100u);
    EXPECT_EQ(b.tx_bytes, 0u);
    EXPECT_FLOAT_EQ(b.estimated_loss, 0.0f);
    stats zero{};
    EXPECT_EQ(std::memcmp(a.reserved, zero.reserved, sizeof zero.reserved), 0);
    // Loss: counters 0 (keep-alive), 1, 2 seen; send 3 and 4, deliver only 4.
    write(p.a, ipv4_packet(30));
    read(p.b, write(p.a, ipv4_packet(30)).data);
    EXPECT_NEAR(wireguard_stats(p.b).estimated_loss, 0.2f, 1e-6);
}

TEST_F(tunnel_test, too_small_destinations_change_nothing)
{
    tunnel_pair p;
    // Initiation: 148 bytes needed.
    bytes dst(200, 0xcc);
    wireguard_result r = wireguard_force_handshake(p.a, dst.data(), 147);
    EXPECT_EQ(r.op, WIREGUARD_ERROR);
    EXPECT_EQ(r.size, 0u);
    EXPECT_EQ(dst, bytes(200, 0xcc));
    const bytes packet = ipv4_packet(60);
    r = wireguard_write(p.a, packet.data(), 60, dst.data(), 147);
    EXPECT_EQ(r.op, WIREGUARD_ERROR);
    EXPECT_EQ(r.size, 0u);
    EXPECT_EQ(dst, bytes(200, 0xcc));
    EXPECT_EQ(read(p.a, {}).op, WIREGUARD_DONE);

    const output init = force_handshake(p.a);
    EXPECT_EQ(le32_at(init.data, 4), (0xa1u << 8) | 1) << "the refused calls used no index";
    // Response: 92 bytes needed; the initiation stays acceptable afterwards.
    r = wireguard_read(p.b, init.data.data(), 148, dst.data(), 91);
    EXPECT_EQ(r.op, WIREGUARD_ERROR);
    EXPECT_EQ(r.size, 0u);
    EXPECT_EQ(dst, bytes(200, 0xcc));
    const output resp = read(p.b, init.data);
    ASSERT_EQ(resp.op, WRITE_TO_NETWORK);
    // Keep-alive after the response: 32 bytes.
    r = wireguard_read(p.a, resp.data.data(), 92, dst.data(), 31);
    EXPECT_EQ(r.op, WIREGUARD_ERROR);
    EXPECT_EQ(r.size, 0u);
    EXPECT_EQ(dst, bytes(200, 0xcc));
    const output keepalive = read(p.a, resp.data, 32);
    ASSERT_EQ(keepalive.op, WRITE_TO_NETWORK);
    read(p.b, keepalive.data);

    // Transport: src + 32 bytes; the counter is not used up by a refused call.
    r = wireguard_write(p.a, packet.data(), 60, dst.data(), 91);
    EXPECT_EQ(r.op, WIREGUARD_ERROR);
    EXPECT_EQ(r.size, 0u);
    EXPECT_EQ(dst, bytes(200, 0xcc));
    const output m = write(p.a, packet, 92);
    ASSERT_EQ(m.op, WRITE_TO_NETWORK);
    EXPECT_EQ(le64_at(m.data, 8), 1u);
    // Decryption: the plaintext size; the counter is not consumed by a refused call.
    r = wireguard_read(p.b, m.data.data(), 92, dst.data(), 59);
    EXPECT_EQ(r.op, WIREGUARD_ERROR);
    EXPECT_EQ(r.size, 0u);
    EXPECT_EQ(dst, bytes(200, 0xcc));
    EXPECT_EQ(read(p.b, m.data, 60).data, packet);
}

TEST_F(tunnel_test, calls_from_many_threads_are_serialised)
{
    tunnel_pair p;
    ASSERT_TRUE(complete_handshake(p.a, p.b));
    constexpr int threads = 4, per_thread = 500;
    std::vector<std::vector<bytes>> produced(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < per_thread; ++i) {
                const output o = write(p.a, ipv4_packet(100, static_cast<std::uint8_t>(t)));
                if (o.op == WRITE_TO_NETWORK)
                    produced[t].push_back(o.data);
                tick(p.a);
                wireguard_stats(p.a);
            }
        });
    }
    for (auto& w : workers)
        w.join();
    // Deliver in counter order: the threads' lists interleave beyond the window.
    std::vector<bytes> all;
    for (const auto& list : produced)
        all.insert(all.end(), list.begin(), list.end());
    std::sort(all.begin(), all.end(), [](const bytes& x, const bytes& y) { return le64_at(x, 8) < le64_at(y, 8); });
    std::vector<std::uint64_t> counters;
    int delivered = 0;
    for (const auto& m : all) {
        counters.push_back(le64_at(m, 8));
        delivered += read(p.b, m).op == WRITE_TO_TUNNEL_IPV4;
    }
    EXPECT_EQ(counters.size(), static_cast<std::size_t>(threads * per_thread));
    EXPECT_TRUE(std::adjacent_find(counters.begin(), counters.end()) == counters.end()) << "no counter used twice";
    EXPECT_EQ(delivered, threads * per_thread);
    EXPECT_EQ(wireguard_stats(p.a).tx_bytes, static_cast<std::size_t>(threads * per_thread * 100));
}
