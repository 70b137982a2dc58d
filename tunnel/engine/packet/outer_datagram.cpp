// The outer headers of the tunnel's datagrams to the server.
#include "outer_datagram.h"

#include <cstring>

#include "ipv6_walk.h"
#include "netaccess/checksum.h"

namespace wireguard
{
namespace
{
using rimcap::frame_view;

constexpr std::size_t ether_destination = 0;
constexpr std::size_t ether_source = 6;
constexpr std::size_t mac_size = 6;
constexpr std::size_t ether_type = 12;
constexpr std::size_t ip = rimcap::ip_header_offset;
constexpr std::uint8_t outer_ttl = 128;
constexpr std::uint16_t dont_fragment_flag = 0x4000;

// The outer IP header's fields that are not addresses or lengths.
struct outer_ip_fields {
    std::uint8_t type_of_service = 0;       // IPv4
    std::uint16_t identification = 0;       // IPv4
    std::uint16_t flags = 0;                // IPv4: flags and fragment offset
    std::uint32_t ipv6_header_word = 0;     // IPv6: version, traffic class, flow label
    std::uint8_t hop_limit = outer_ttl;     // IPv6
};

// Sum of the big-endian 16-bit words of an address (4 or 16 bytes).
std::uint64_t address_sum(const std::uint8_t* a, std::size_t n) noexcept
{
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < n; i += 2)
        sum += std::uint32_t{a[i]} << 8 | a[i + 1];
    return sum;
}

bool write_udp_header(frame_view& f, std::size_t at, std::size_t n, const outer_route& route) noexcept
{
    return f.set_u16(at, route.local_port) && f.set_u16(at + 2, route.server.port) &&
           f.set_u16(at + 4, static_cast<std::uint16_t>(n + rimcap::udp_header_size)) && f.set_u16(at + 6, 0);
}

// IPv4 header of 20 bytes for n datagram bytes. Its header checksum is computed from the
// values written, not read back.
bool write_outer_ipv4(frame_view& f, const outer_ip_fields& fields, std::size_t n, const outer_route& route) noexcept
{
    const std::uint16_t first_word = 0x4500 | fields.type_of_service;
    const auto total_length = static_cast<std::uint16_t>(n + 28);
    constexpr std::uint16_t ttl_and_protocol = outer_ttl << 8 | rimcap::ip_protocol_udp;
    std::uint8_t source[4];
    std::memcpy(source, &route.local_ipv4, 4);
    const std::uint64_t sum = std::uint64_t{first_word} + total_length + fields.identification + fields.flags +
                              ttl_and_protocol + address_sum(source, 4) + address_sum(route.server.address.data(), 4);
    return f.set_u16(ether_type, rimcap::ether_type_ipv4) && f.set_u16(ip, first_word) &&
           f.set_u16(ip + 2, total_length) && f.set_u16(ip + 4, fields.identification) &&
           f.set_u16(ip + 6, fields.flags) && f.set_u16(ip + 8, ttl_and_protocol) &&
           f.set_u16(ip + 10, static_cast<std::uint16_t>(~rimcap::checksum_fold(sum))) && f.write(ip + 12, source, 4) &&
           f.write(ip + 16, route.server.address.data(), 4);
}

// IPv6 header of 40 bytes for n datagram bytes.
bool write_outer_ipv6(frame_view& f, const outer_ip_fields& fields, std::size_t n, const outer_route& route) noexcept
{
    return f.set_u16(ether_type, rimcap::ether_type_ipv6) && f.set_u32(ip, fields.ipv6_header_word) &&
           f.set_u16(ip + 4, static_cast<std::uint16_t>(n + rimcap::udp_header_size)) &&
           f.set_u8(ip + 6, rimcap::ip_protocol_udp) && f.set_u8(ip + 7, fields.hop_limit) &&
           f.write(ip + 8, route.local_ipv6.data(), 16) && f.write(ip + 24, route.server.address.data(), 16);
}

// The datagram behind the outer headers, the headers, the next hop, the frame length and
// the checksums. The datagram's bytes are summed as they are copied in; the UDP checksum
// adds the header and pseudo-header words from the values written (nothing is read
// back), and comes out as the full recalculation would leave it: an IPv4 datagram of
// odd length gets the zero pad byte behind it, and a checksum of 0 is written as 0xFFFF.
bool write_outer_datagram(frame_view& frame, const outer_ip_fields& fields, std::span<const std::uint8_t> datagram,
                          const outer_route& route) noexcept
{
    const bool ipv6 = route.server.family == family_ipv6;
    const std::size_t headers = outer_header_size(route.server.family);
    const std::size_t n = datagram.size();
    if (n > datagram_capacity(route.server.family))
        return false;
    const std::span<std::uint8_t> payload = frame.area(headers, n);
    if (payload.size() != n)
        return false;
    const std::uint64_t payload_sum = rimcap::checksum_copy(0, payload.data(), datagram.data(), n);
    const bool written = ipv6 ? write_outer_ipv6(frame, fields, n, route) : write_outer_ipv4(frame, fields, n, route);
    const std::size_t udp = headers - rimcap::udp_header_size;
    if (!written || !write_udp_header(frame, udp, n, route) ||
        !frame.write(ether_destination, route.next_hop_mac.data(), mac_size) || !frame.set_length(headers + n) ||
        !frame.ok())
        return false;

    const auto udp_length = static_cast<std::uint16_t>(n + rimcap::udp_header_size);
    std::uint64_t sum = payload_sum + route.local_port + route.server.port + udp_length; // UDP header
    sum += udp_length + rimcap::ip_protocol_udp + address_sum(route.server.address.data(), ipv6 ? 16 : 4);
    std::uint8_t source[4];
    std::memcpy(source, &route.local_ipv4, 4);
    sum += ipv6 ? address_sum(route.local_ipv6.data(), 16) : address_sum(source, 4);
    auto checksum = static_cast<std::uint16_t>(~rimcap::checksum_fold(sum));
    if (checksum == 0)
        checksum = 0xFFFF;
    if (!ipv6 && (n & 1) != 0)
        frame.set_u8(headers + n, 0); // pad byte, when the frame area has room
    return frame.set_u16(udp + 6, checksum);
}
} // namespace

inner_header_fields read_inner_header_fields(const frame_view& frame) noexcept
{
    inner_header_fields fields;
    if (frame.is_ipv6()) {
        fields.family = family_ipv6;
        fields.ipv6_header_word = frame.u32(ip);
        fields.hop_limit = frame.u8(ip + 7);
    } else {
        fields.type_of_service = frame.u8(ip + 1);
        fields.identification = frame.u16(ip + 4);
        fields.dont_fragment = frame.dont_fragment();
    }
    return fields;
}

bool build_outer_datagram(frame_view& frame, const inner_header_fields& inner, std::span<const std::uint8_t> datagram,
                          const outer_route& route, std::uint16_t& identification) noexcept
{
    if (datagram.size() > datagram_capacity(route.server.family))
        return false;
    outer_ip_fields fields;
    if (route.server.family == family_ipv6) {
        const bool inner_ipv6 = inner.family == family_ipv6;
        fields.ipv6_header_word = inner_ipv6 ? inner.ipv6_header_word : route.ipv6_header_word;
        fields.hop_limit = inner_ipv6 ? inner.hop_limit : outer_ttl;
    } else if (inner.family == family_ipv4) {
        fields.type_of_service = inner.type_of_service;
        fields.identification = inner.identification;
        fields.flags = inner.dont_fragment ? dont_fragment_flag : 0;
    } else {
        fields.identification = ++identification;
    }
    return write_outer_datagram(frame, fields, datagram, route);
}

bool build_fresh_outer_datagram(frame_view& frame, std::span<const std::uint8_t> datagram, const outer_route& route,
                                std::uint16_t identification, const std::array<std::uint8_t, 6>& source_mac) noexcept
{
    outer_ip_fields fields;
    fields.identification = identification;
    fields.ipv6_header_word = route.ipv6_header_word;
    return write_outer_datagram(frame, fields, datagram, route) &&
           frame.write(ether_source, source_mac.data(), source_mac.size());
}

bool turn_round_handshake_response(frame_view& frame, std::size_t udp_offset,
                                   std::span<const std::uint8_t, handshake_reply_size> reply,
                                   std::uint32_t ipv6_header_word) noexcept
{
    const bool ipv6 = frame.is_ipv6();
    if (!ipv6 && !frame.is_ipv4())
        return false;
    const std::size_t ip_end = udp_offset + rimcap::udp_header_size + handshake_reply_size;
    if (udp_offset < ip + frame.ip_header_length() || !frame.has(udp_offset, rimcap::udp_header_size))
        return false;

    const bool swapped = frame.swap(ether_destination, ether_source, mac_size) &&
                         (ipv6 ? frame.swap(ip + 8, ip + 24, 16) : frame.swap(ip + 12, ip + 16, 4)) &&
                         frame.swap(udp_offset, udp_offset + 2, 2);
    if (!swapped || !frame.write(udp_offset + rimcap::udp_header_size, reply.data(), reply.size()))
        return false;
    frame.set_u16(udp_offset + 4, static_cast<std::uint16_t>(rimcap::udp_header_size + handshake_reply_size));
    if (ipv6) {
        frame.set_u32(ip, ipv6_header_word);
        frame.set_u16(ip + 4, static_cast<std::uint16_t>(ip_end - ip - rimcap::ipv6_header_size));
        frame.set_u8(ip + 7, outer_ttl);
    } else {
        frame.set_u16(ip + 2, static_cast<std::uint16_t>(ip_end - ip));
        frame.set_u8(ip + 8, outer_ttl);
    }
    if (!frame.set_length(ip_end))
        return false;
    if (ipv6)
        return recalculate_ipv6_checksum(frame);
    return rimcap::recalculate_udp_checksum(frame) && rimcap::recalculate_ip_checksum(frame);
}
} // namespace wireguard
