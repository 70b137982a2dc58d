#include "frames.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "ip_text.h"

namespace simhost
{
namespace
{
constexpr std::size_t ipv4_header_size = 20;
constexpr std::size_t ipv6_header_size = 40;

void put16(std::uint8_t* p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

// One's complement sum of big-endian words; an odd last byte is the high byte of a word.
std::uint32_t sum_words(const std::uint8_t* p, std::size_t n, std::uint32_t sum = 0)
{
    for (std::size_t i = 0; i + 1 < n; i += 2)
        sum += static_cast<std::uint32_t>(p[i] << 8 | p[i + 1]);
    if (n % 2 != 0)
        sum += static_cast<std::uint32_t>(p[n - 1]) << 8;
    return sum;
}

std::uint16_t fold(std::uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

// Where the protocol keeps its checksum in the transport part; none for other protocols.
std::optional<std::size_t> checksum_offset(std::uint8_t protocol)
{
    switch (protocol) {
    case 1:
    case 58: return 2;
    case 6: return 16;
    case 17: return 6;
    default: return std::nullopt;
    }
}

const std::uint8_t* bytes_of(const SOCKADDR_INET& address)
{
    return reinterpret_cast<const std::uint8_t*>(address_bytes(address).data());
}
} // namespace

frame_bytes build_ip_frame(const ip_packet_spec& spec, std::span<const std::uint8_t> transport)
{
    const ADDRESS_FAMILY family = spec.source.si_family;
    if (family != spec.destination.si_family || (family != AF_INET && family != AF_INET6))
        throw std::invalid_argument("simhost: a packet needs two addresses of one family");
    const bool v4 = family == AF_INET;
    const std::size_t header = v4 ? ipv4_header_size : ipv6_header_size;
    const std::size_t size = ethernet_header_size + header + transport.size();
    if (size > max_frame_size)
        throw std::invalid_argument("simhost: a frame of " + std::to_string(size) + " bytes");
    const std::size_t address_size = v4 ? 4 : 16;

    frame_bytes f(size, 0);
    std::copy(spec.destination_mac.begin(), spec.destination_mac.end(), f.begin());
    std::copy(spec.source_mac.begin(), spec.source_mac.end(), f.begin() + 6);
    put16(&f[12], v4 ? 0x0800 : 0x86DD);
    std::uint8_t* ip = &f[ethernet_header_size];
    std::uint8_t* addresses = ip + (v4 ? 12 : 8);
    std::memcpy(addresses, bytes_of(spec.source), address_size);
    std::memcpy(addresses + address_size, bytes_of(spec.destination), address_size);
    if (v4) {
        ip[0] = 0x45;
        put16(ip + 2, static_cast<std::uint16_t>(header + transport.size()));
        put16(ip + 4, spec.identification);
        put16(ip + 6, 0x4000); // don't fragment
        ip[8] = 128;
        ip[9] = spec.protocol;
        put16(ip + 10, fold(sum_words(ip, ipv4_header_size)));
    } else {
        ip[0] = 0x60;
        put16(ip + 4, static_cast<std::uint16_t>(transport.size()));
        ip[6] = spec.protocol;
        ip[7] = 128;
    }
    std::uint8_t* t = ip + header;
    if (!transport.empty())
        std::memcpy(t, transport.data(), transport.size());

    const auto at = checksum_offset(spec.protocol);
    if (at && *at + 2 <= transport.size()) {
        put16(t + *at, 0);
        std::uint32_t sum = 0;
        if (spec.protocol != 1) { // every checksum but ICMP's covers the pseudo-header
            sum = sum_words(addresses, 2 * address_size);
            sum += spec.protocol;
            sum += static_cast<std::uint32_t>(transport.size()) & 0xFFFF;
            sum += static_cast<std::uint32_t>(transport.size()) >> 16;
        }
        std::uint16_t checksum = fold(sum_words(t, transport.size(), sum));
        if (checksum == 0 && spec.protocol == 17)
            checksum = 0xFFFF;
        put16(t + *at, checksum);
    }
    return f;
}

frame_bytes udp_datagram(std::uint16_t source_port, std::uint16_t destination_port,
                         std::span<const std::uint8_t> payload)
{
    frame_bytes d(8 + payload.size(), 0);
    put16(&d[0], source_port);
    put16(&d[2], destination_port);
    put16(&d[4], static_cast<std::uint16_t>(d.size()));
    std::copy(payload.begin(), payload.end(), d.begin() + 8);
    return d;
}

frame_bytes echo_request(ADDRESS_FAMILY family, std::uint16_t id, std::uint16_t sequence,
                         std::span<const std::uint8_t> data)
{
    frame_bytes m(8 + data.size(), 0);
    m[0] = family == AF_INET6 ? 128 : 8;
    put16(&m[4], id);
    put16(&m[6], sequence);
    std::copy(data.begin(), data.end(), m.begin() + 8);
    return m;
}
} // namespace simhost
