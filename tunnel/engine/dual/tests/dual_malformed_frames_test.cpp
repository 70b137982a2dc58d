// Hostile frames through the dual tunnel's three handlers: mutated frames that reach deep
// into every path, and random bytes of random lengths. Nothing is read or written
// outside the record, no handler throws or returns an unknown action, and every frame
// that goes on either passes the frame checks or is the frame that came in.
#include "dual_path_fixture.h"

namespace
{
using namespace dual_test;

class dual_malformed : public dual_paths
{
protected:
    // Runs one handler on `copy` in the guarded record and checks what it left.
    void check(handler h, const _INTERMEDIATE_BUFFER& copy, int frame)
    {
        guarded.record = copy;
        const packet_action action = handle(h, guarded.record);
        ASSERT_TRUE(guarded.canary_intact()) << "handler " << static_cast<int>(h) << ", frame " << frame;
        ASSERT_LE(static_cast<std::uint32_t>(action), 4u) << "frame " << frame;
        if (action == packet_action::drop || copy.length > 1514)
            return;
        rimcap::frame_view f(guarded.record);
        if (!f.ok()) {
            ASSERT_EQ(0, std::memcmp(&copy, &guarded.record, sizeof copy))
                << "a frame that fails the checks goes on only unchanged: handler " << static_cast<int>(h)
                << ", frame " << frame;
        }
    }
};

TEST_F(dual_malformed, many_thousand_mutated_frames_through_the_three_handlers)
{
    auto& t = make(false, 0);
    handshake(t);
    with_dns_server(t);
    frame_mutator mutator(20240612);

    const std::vector<bytes> inner{
        ipv4(6, tcp(443, 5000, {}, 0x12, 1), 5, 0x4000, remote4, tunnel4),
        ipv4(17, udp(53, 5353, pattern(60)), 5, 0, dns4, tunnel4),
        ipv4(1, echo(0, pattern(200)), 6, 0x2000, remote4, tunnel4),
        ipv6(6, tcp(443, 5000, {}, 0x12, 2), remote6, tunnel6),
        ipv6(44, concat(fragment_header(17, 0, true), udp(53, 5353, pattern(40))), remote6, tunnel6),
    };
    std::vector<std::pair<std::uint16_t, bytes>> seeds{
        {ipv4_type, ipv4(6, tcp(5000, 443, {}, 0x02, 2), 5, 0x4000, tunnel4, remote4)},
        {ipv4_type, ipv4(17, udp(5353, 53, pattern(30)), 5, 0x2000, ipv4_a, asked4)},
        {ipv4_type, ipv4(17, udp(local_port, server_port, pattern(148)), 5, 0, tunnel4, ipv4_b)},
        {ipv4_type, ipv4(6, tcp(443, 5000, {}, 0x12, 1), 5, 0x4000, other4, ipv4_a)},
        {ipv4_type, ipv4(17, udp(5000, 6000, pattern(1400)), 5, 0x4000, tunnel4, remote4)},
        {ipv6_type, ipv6(6, tcp(5000, 443, {}, 0x02, 0), tunnel6, remote6)},
        {ipv6_type, ipv6(0, concat(options_header(17), udp(5353, 53, pattern(30))), ipv6_a, remote6)},
        {ipv6_type, ipv6(58, echo(135, pattern(16)), link_local, remote6)},
        {ipv6_type, ipv6(17, udp(local_port, server_port, pattern(32)), ipv6_a, ipv6_b)},
        {ipv4_type, from_server(concat(bytes{2, 0, 0, 0}, pattern(88)))},
    };
    for (int i = 0; i < 40; ++i)
        seeds.emplace_back(ipv4_type, sealed(inner[static_cast<std::size_t>(i) % inner.size()]));
    // Flows that the replies and decrypted packets can find.
    decide = [](_INTERMEDIATE_BUFFER&) { return false; };
    virtual_out(ipv4_type, ipv4(6, tcp(5000, 443, {}, 0x02, 1), 5, 0x4000, tunnel4, other4));
    decide = [](_INTERMEDIATE_BUFFER&) { return true; };
    physical_out(ipv4_type, ipv4(1, echo(8, pattern(8)), 5, 0, ipv4_a, remote4));

    for (int i = 0; i < 30000; ++i) {
        std::memset(&guarded.record, 0, sizeof guarded.record);
        if (i % 5 == 0) {
            // A hostile packet inside well-sealed transport data.
            bytes packet = inner[static_cast<std::size_t>(i / 5) % inner.size()];
            mutator.damage_packet(packet);
            load(guarded.record, ipv4_type, sealed(packet));
        } else {
            const auto& [type, ip] = seeds[static_cast<std::size_t>(i) % seeds.size()];
            load(guarded.record, type, ip);
            mutator.damage_frame(guarded.record, ip.size() + 14);
        }
        const bool tunnelled = mutator.chance(200);
        decide = [tunnelled](_INTERMEDIATE_BUFFER&) { return tunnelled; };
        t.active = mutator.chance(240);
        const _INTERMEDIATE_BUFFER copy = guarded.record;
        for (const handler h : {handler::virtual_out, handler::physical_out, handler::incoming})
            ASSERT_NO_FATAL_FAILURE(check(h, copy, i));
    }
}

TEST_F(dual_malformed, random_bytes_of_any_length_through_the_three_handlers)
{
    auto& t = make(false, 0);
    handshake(t);
    frame_mutator mutator(99);
    for (int i = 0; i < 20000; ++i) {
        mutator.random_bytes(guarded.record);
        // Often IPv4 or IPv6, and often UDP to or from the server.
        if (i % 2 == 0) {
            const bytes ip = i % 4 ? ipv4(17, udp(local_port, server_port, pattern(static_cast<std::size_t>(i % 200))))
                                   : from_server(concat(bytes{static_cast<std::uint8_t>(i % 5)}, pattern(static_cast<std::size_t>(i % 300))));
            std::memcpy(guarded.record.frame + 14, ip.data(), std::min<std::size_t>(ip.size(), 40));
            guarded.record.frame[12] = i % 8 ? 0x08 : 0x86;
            guarded.record.frame[13] = i % 8 ? 0x00 : 0xDD;
        }
        guarded.record.length = mutator.random_length();
        guarded.record.direction = rimcap::direction_outgoing;
        decide = [i](_INTERMEDIATE_BUFFER&) { return i % 3 != 0; };
        const _INTERMEDIATE_BUFFER copy = guarded.record;
        for (const handler h : {handler::virtual_out, handler::physical_out, handler::incoming})
            ASSERT_NO_FATAL_FAILURE(check(h, copy, i));
    }
}
} // namespace
