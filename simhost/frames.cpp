#include "frames.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

namespace simhost
{
namespace
{
constexpr std::size_t ipv4_header_size = 20;

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
} // namespace

frame_bytes build_ip_frame(const ip_packet_spec& spec, std::span<const std::uint8_t> transport)
{
    if (spec.source.si_family != AF_INET || spec.destination.si_family != AF_INET)
        throw std::invalid_argument("simhost: a packet needs two IPv4 addresses");
    const std::size_t size = ethernet_header_size + ipv4_header_size + transport.size();
    if (size > max_frame_size)
        throw std::invalid_argument("simhost: a frame of " + std::to_string(size) + " bytes");

    frame_bytes f(size, 0);
    std::copy(spec.destination_mac.begin(), spec.destination_mac.end(), f.begin());
    std::copy(spec.source_mac.begin(), spec.source_mac.end(), f.begin() + 6);
    put16(&f[12], 0x0800);
    std::uint8_t* ip = &f[ethernet_header_size];
    ip[0] = 0x45;
    put16(ip + 2, static_cast<std::uint16_t>(ipv4_header_size + transport.size()));
    put16(ip + 4, spec.identification);
    put16(ip + 6, 0x4000); // don't fragment
    ip[8] = 128;
    ip[9] = spec.protocol;
    std::memcpy(ip + 12, &spec.source.Ipv4.sin_addr, 4);
    std::memcpy(ip + 16, &spec.destination.Ipv4.sin_addr, 4);
    put16(ip + 10, fold(sum_words(ip, ipv4_header_size)));
    std::uint8_t* t = ip + ipv4_header_size;
    if (!transport.empty())
        std::memcpy(t, transport.data(), transport.size());

    const std::size_t at = spec.protocol == 1 ? 2 : 6; // where ICMP and UDP keep their checksum
    if ((spec.protocol == 1 || spec.protocol == 17) && at + 2 <= transport.size()) {
        put16(t + at, 0);
        std::uint32_t sum = 0;
        if (spec.protocol == 17) // UDP's sum covers the pseudo-header
            sum = sum_words(ip + 12, 8) + 17 + static_cast<std::uint32_t>(transport.size());
        std::uint16_t checksum = fold(sum_words(t, transport.size(), sum));
        if (checksum == 0 && spec.protocol == 17)
            checksum = 0xFFFF;
        put16(t + at, checksum);
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

frame_bytes echo_request(std::uint16_t id, std::uint16_t sequence, std::span<const std::uint8_t> data)
{
    frame_bytes m(8 + data.size(), 0);
    m[0] = 8;
    put16(&m[4], id);
    put16(&m[6], sequence);
    std::copy(data.begin(), data.end(), m.begin() + 8);
    return m;
}
} // namespace simhost
