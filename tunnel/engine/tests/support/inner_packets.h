#pragma once
// Inner IP packets of the engine's tests: made with right checksums, and checked; an
// IPv4 address as the tunnel's fields hold it.
#include <cstring>

#include "inner_rewrite.h"
#include "packet_builder.h"

namespace tunnel_test
{
inline std::uint32_t as_u32(const testpkt::ipv4_address& a)
{
    std::uint32_t v;
    std::memcpy(&v, a.data(), 4);
    return v;
}

// The packet with right checksums (IPv4 header and transport, or the IPv6 upper layer).
inline testpkt::bytes with_checksums(const testpkt::bytes& ip)
{
    _INTERMEDIATE_BUFFER r{};
    const bool v6 = !ip.empty() && ip[0] >> 4 == 6;
    testpkt::load(r, v6 ? 0x86DD : 0x0800, ip);
    rimcap::frame_view f(r);
    if (v6)
        wireguard::finish_inner_ipv6(f);
    else
        wireguard::finish_inner_ipv4(f);
    return testpkt::bytes(r.frame + 14, r.frame + r.length);
}

// The first fragment (200 bytes of the UDP datagram) or the later one (the rest) of an
// IPv4 datagram with right checksums.
inline testpkt::bytes fragment_of(const testpkt::bytes& datagram, const testpkt::ipv4_address& source,
                                  const testpkt::ipv4_address& destination, bool first)
{
    const testpkt::bytes whole = with_checksums(testpkt::ipv4(17, datagram, 5, 0, source, destination));
    if (!first)
        return testpkt::ipv4(17, testpkt::bytes(whole.begin() + 20 + 200, whole.end()), 5, 25, source,
                             destination); // offset 200
    testpkt::bytes head(whole.begin(), whole.begin() + 20 + 200);
    testpkt::put16(head, 2, 220);
    testpkt::put16(head, 6, 0x2000);
    return head;
}

// The checksums of an IP packet verify (as a frame of its own).
inline bool packet_verifies(const testpkt::bytes& ip)
{
    _INTERMEDIATE_BUFFER r{};
    const bool v6 = !ip.empty() && ip[0] >> 4 == 6;
    testpkt::load(r, v6 ? 0x86DD : 0x0800, ip);
    if (!v6)
        return testpkt::ipv4_header_verifies(r) && testpkt::ipv4_transport_verifies(r);
    return testpkt::ipv6_upper_verifies(r, 54, ip[6]);
}
} // namespace tunnel_test
