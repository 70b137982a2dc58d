// The SOCKS5 UDP request header on captured frames, and the test for the server's
// datagrams.
#include "socks5_udp.h"

#include <cstring>
#include <string>

#include "ipv6_walk.h"
#include "netaccess/address_text.h"
#include "netaccess/checksum.h"
#include "netaccess/frame_view.h"

namespace wireguard
{
namespace
{
using rimcap::frame_view;

// IPv4 header fields, as frame offsets.
constexpr std::size_t ipv4_total_length = rimcap::ip_header_offset + 2;
constexpr std::size_t ipv4_flags_fragment = rimcap::ip_header_offset + 6;
constexpr std::size_t ipv4_source = rimcap::ip_header_offset + 12;
constexpr std::size_t ipv4_destination = rimcap::ip_header_offset + 16;
constexpr std::size_t ipv6_source = rimcap::ip_header_offset + 8;
// The fragment offset and the "more fragments" flag, and the reserved bit; "don't
// fragment" may be set.
constexpr std::uint16_t fragment_bits = 0xBFFF;

constexpr std::uint8_t socks5_address_ipv4 = 1;

// An unfragmented IPv4 UDP datagram that fills its IP packet exactly.
struct udp_datagram {
    std::size_t header = 0;  // frame offset of the UDP header
    std::size_t payload = 0; // frame offset of the UDP payload
    std::size_t length = 0;  // UDP length field, at least 8
};

std::optional<udp_datagram> whole_ipv4_udp(const frame_view& f)
{
    if (!f.is_ipv4() || f.ip_protocol() != rimcap::ip_protocol_udp)
        return std::nullopt;
    if ((f.u16(ipv4_flags_fragment) & fragment_bits) != 0)
        return std::nullopt;
    const auto t = f.ipv4_transport();
    if (!t)
        return std::nullopt;
    const std::size_t length = f.udp_length(*t); // 0 unless within 8 .. the IP payload
    if (length == 0 || length != t->length)
        return std::nullopt;
    return udp_datagram{t->offset, t->offset + rimcap::udp_header_size, length};
}

// "[SOCKS5]: " + tag + source + " : " + port + " -> " + destination + " : " + port, at
// level 3 or more.
void log_datagram(const socks5_client& client, const char* tag, const frame_view& f, std::size_t udp)
{
    if (client.log_level() < 3)
        return;
    IN_ADDR source{}, destination{};
    f.read(ipv4_source, &source, 4);
    f.read(ipv4_destination, &destination, 4);
    client.log(std::string("[SOCKS5]: ") + tag + iphelper::ipv4_to_string(&source) + " : " +
               std::to_string(f.u16(udp)) + " -> " + iphelper::ipv4_to_string(&destination) + " : " +
               std::to_string(f.u16(udp + 2)));
}

// The frame's UDP header when it carries one: IPv4 protocol 17, or an IPv6 walk that
// ends at UDP.
std::optional<rimcap::transport_header> udp_header(const frame_view& f, bool ipv6)
{
    std::optional<rimcap::transport_header> t;
    if (ipv6)
        t = ipv6_upper_layer(f).header;
    else
        t = f.ipv4_transport();
    if (!t || t->protocol != rimcap::ip_protocol_udp)
        return std::nullopt;
    return t;
}

bool source_is(const frame_view& f, bool ipv6, const ip_address& a)
{
    return ipv6 ? f.equal(ipv6_source, a.address.data(), 16) : f.equal(ipv4_source, a.address.data(), 4);
}
} // namespace

bool socks5_udp_wrap(const socks5_client& client, _INTERMEDIATE_BUFFER& record)
{
    const std::optional<std::uint16_t> relay_port = client.relay_port();
    if (!relay_port)
        return false;
    frame_view f(record);
    const auto udp = whole_ipv4_udp(f);
    if (!udp)
        return false;
    const std::size_t frame_length = f.length();
    if (frame_length + socks5_udp_header_size > rimcap::max_frame_size)
        return false;

    log_datagram(client, "C2S_BEFORE: ", f, udp->header);

    std::uint8_t destination[4] = {};
    f.read(ipv4_destination, destination, 4);
    const std::uint16_t destination_port = f.u16(udp->header + 2);
    const std::size_t payload_size = udp->length - rimcap::udp_header_size;
    if (!f.move(udp->payload + socks5_udp_header_size, udp->payload, payload_size))
        return false;

    f.set_u16(udp->payload, 0);                         // RSV
    f.set_u8(udp->payload + 2, 0);                      // FRAG
    f.set_u8(udp->payload + 3, socks5_address_ipv4);    // ATYP
    f.write(udp->payload + 4, destination, 4);          // DST.ADDR
    f.set_u16(udp->payload + 8, destination_port);      // DST.PORT

    f.set_u16(ipv4_total_length, static_cast<std::uint16_t>(f.u16(ipv4_total_length) + socks5_udp_header_size));
    f.set_u16(udp->header + 4, static_cast<std::uint16_t>(udp->length + socks5_udp_header_size));
    f.set_length(frame_length + socks5_udp_header_size);

    const std::uint32_t proxy = client.proxy_address();
    f.write(ipv4_destination, &proxy, 4);
    f.set_u16(udp->header + 2, *relay_port);

    rimcap::recalculate_udp_checksum(f);
    rimcap::recalculate_ip_checksum(f);
    log_datagram(client, "C2S_AFTER: ", f, udp->header);
    return true;
}

bool socks5_udp_unwrap(const socks5_client& client, _INTERMEDIATE_BUFFER& record)
{
    if (!client.relay_port())
        return false;
    frame_view f(record);
    const auto udp = whole_ipv4_udp(f);
    if (!udp || udp->length < rimcap::udp_header_size + socks5_udp_header_size)
        return false;
    // Only the unfragmented IPv4 form carries a 10-byte header that can be taken off.
    if (f.u8(udp->payload + 2) != 0 || f.u8(udp->payload + 3) != socks5_address_ipv4)
        return false;

    log_datagram(client, "S2C_BEFORE: ", f, udp->header);

    std::uint8_t source[4] = {};
    f.read(udp->payload + 4, source, 4);
    const std::uint16_t source_port = f.u16(udp->payload + 8);
    const std::size_t frame_length = f.length();
    const std::size_t payload_size = udp->length - rimcap::udp_header_size - socks5_udp_header_size;
    if (!f.move(udp->payload, udp->payload + socks5_udp_header_size, payload_size))
        return false;

    f.write(ipv4_source, source, 4);
    f.set_u16(udp->header, source_port);
    f.set_u16(ipv4_total_length, static_cast<std::uint16_t>(f.u16(ipv4_total_length) - socks5_udp_header_size));
    f.set_u16(udp->header + 4, static_cast<std::uint16_t>(udp->length - socks5_udp_header_size));
    f.set_length(frame_length - socks5_udp_header_size);

    rimcap::recalculate_udp_checksum(f);
    rimcap::recalculate_ip_checksum(f);
    log_datagram(client, "S2C_AFTER: ", f, udp->header);
    return true;
}

server_datagram_match match_server_datagram_frame(const server_datagram_route& route, _INTERMEDIATE_BUFFER& record)
{
    server_datagram_match result;
    const bool ipv6 = route.server.family == family_ipv6;
    {
        const frame_view f(record);
        if (ipv6 ? !f.is_ipv6() : !f.is_ipv4())
            return result;

        // Relay step: a datagram from the proxy's address and relay port.
        const socks5_client* client = route.socks5;
        if (client && client->ready() && route.socks5_proxy && route.socks5_proxy->family == route.server.family) {
            const auto udp = udp_header(f, ipv6);
            const auto relay_port = client->relay_port();
            if (udp && relay_port && source_is(f, ipv6, *route.socks5_proxy) &&
                f.header_complete(*udp) && f.u16(udp->offset) == *relay_port) {
                socks5_udp_unwrap(*client, record); // IPv4 frames only
                result.from_relay = true;
            }
        }
    }

    // Server step, on the frame as it is now.
    frame_view f(record);
    if (ipv6 ? !f.is_ipv6() : !f.is_ipv4())
        return result;
    const auto udp = udp_header(f, ipv6);
    if (!udp || !source_is(f, ipv6, route.server) || !f.header_complete(*udp) ||
        f.u16(udp->offset) != route.server.port)
        return result;
    const std::size_t length = f.udp_length(*udp);
    if (length == 0)
        return result; // no whole datagram
    result.message = server_message{f.bytes(udp->offset + rimcap::udp_header_size, length - rimcap::udp_header_size),
                                    ipv6 ? family_ipv6 : family_ipv4};
    return result;
}
} // namespace wireguard
