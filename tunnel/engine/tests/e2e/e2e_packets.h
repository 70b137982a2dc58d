#pragma once
// Packets of the end-to-end tests: IPv4 packets built with valid checksums as an
// application's stack would send them, readers for what comes back, an independent
// checksum verifier, and the reader of the server side's pcap files.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "packet_builder.h"

namespace e2e
{
using bytes = std::vector<std::uint8_t>;
using ipv4_address = std::array<std::uint8_t, 4>;
using mac = std::array<std::uint8_t, 6>;

inline std::uint16_t get16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

inline void put16(std::uint8_t* p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

// One's complement sum of byte pairs (an odd last byte padded with zero), folded.
using testpkt::reference_sum;

inline std::uint16_t complement(std::uint32_t sum)
{
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

// ---- reading an IPv4 packet ------------------------------------------------------------

struct ipv4_view {
    const bytes& p;

    bool valid() const
    {
        return p.size() >= 20 && (p[0] >> 4) == 4 && header() >= 20 && header() <= p.size() && total() >= header() &&
               total() <= p.size();
    }
    std::size_t header() const { return static_cast<std::size_t>(p[0] & 0x0F) * 4; }
    std::size_t total() const { return get16(&p[2]); }
    std::uint8_t protocol() const { return p[9]; }
    std::uint16_t flags_offset() const { return get16(&p[6]); }
    ipv4_address source() const { return {p[12], p[13], p[14], p[15]}; }
    ipv4_address destination() const { return {p[16], p[17], p[18], p[19]}; }
    const std::uint8_t* transport() const { return p.data() + header(); }
    std::size_t transport_size() const { return total() - header(); }
    std::uint16_t source_port() const { return get16(transport()); }
    std::uint16_t destination_port() const { return get16(transport() + 2); }
    bytes udp_payload() const { return bytes(transport() + 8, transport() + transport_size()); }

    // The header checksum and the ICMP, TCP or UDP checksum (a UDP checksum of zero
    // counts as absent and fails: the paths always write one).
    bool checksums_valid() const
    {
        if (!valid() || reference_sum(p.data(), header()) != 0xFFFF)
            return false;
        const std::size_t size = transport_size();
        switch (protocol()) {
        case 1:
            return reference_sum(transport(), size) == 0xFFFF;
        case 6:
        case 17: {
            if (protocol() == 17 && (size < 8 || get16(transport() + 6) == 0))
                return false;
            std::uint32_t pseudo = reference_sum(p.data() + 12, 8);
            pseudo += protocol();
            pseudo += static_cast<std::uint32_t>(size);
            return reference_sum(transport(), size, pseudo) == 0xFFFF;
        }
        default:
            return true;
        }
    }

    // TCP only: the flags byte and the MSS option's value, if there is one.
    std::uint8_t tcp_flags() const { return transport()[13]; }
    std::optional<std::uint16_t> tcp_mss() const
    {
        const std::size_t data_offset = static_cast<std::size_t>(transport()[12] >> 4) * 4;
        if (data_offset < 20 || data_offset > transport_size())
            return std::nullopt;
        for (std::size_t i = 20; i < data_offset;) {
            const std::uint8_t kind = transport()[i];
            if (kind == 0)
                break;
            if (kind == 1) {
                ++i;
                continue;
            }
            if (i + 1 >= data_offset || transport()[i + 1] < 2)
                break;
            if (kind == 2 && transport()[i + 1] == 4 && i + 4 <= data_offset)
                return get16(transport() + i + 2);
            i += transport()[i + 1];
        }
        return std::nullopt;
    }
};

// ---- building IPv4 packets -------------------------------------------------------------

// An IPv4 header (no options) in front of a transport part whose checksum is already
// filled in; DF set unless told otherwise.
inline bytes ipv4_packet(std::uint8_t protocol, const ipv4_address& source, const ipv4_address& destination,
                         const bytes& transport, std::uint16_t identification, bool dont_fragment = true)
{
    bytes p(20 + transport.size(), 0);
    p[0] = 0x45;
    put16(&p[2], static_cast<std::uint16_t>(p.size()));
    put16(&p[4], identification);
    put16(&p[6], dont_fragment ? 0x4000 : 0);
    p[8] = 64;
    p[9] = protocol;
    std::memcpy(&p[12], source.data(), 4);
    std::memcpy(&p[16], destination.data(), 4);
    put16(&p[10], complement(reference_sum(p.data(), 20)));
    std::copy(transport.begin(), transport.end(), p.begin() + 20);
    return p;
}

// Fills the TCP or UDP checksum of a transport part for the given addresses.
inline void fill_transport_checksum(bytes& transport, std::uint8_t protocol, const ipv4_address& source,
                                    const ipv4_address& destination)
{
    const std::size_t at = protocol == 6 ? 16 : 6;
    put16(&transport[at], 0);
    std::uint32_t pseudo = reference_sum(source.data(), 4);
    pseudo = reference_sum(destination.data(), 4, pseudo);
    pseudo += protocol;
    pseudo += static_cast<std::uint32_t>(transport.size());
    std::uint16_t sum = complement(reference_sum(transport.data(), transport.size(), pseudo));
    if (protocol == 17 && sum == 0)
        sum = 0xFFFF;
    put16(&transport[at], sum);
}

inline bytes icmp_echo_request(const ipv4_address& source, const ipv4_address& destination, std::uint16_t id,
                               std::uint16_t sequence, std::size_t payload_size, bool dont_fragment = true)
{
    bytes icmp(8 + payload_size, 0);
    icmp[0] = 8;
    put16(&icmp[4], id);
    put16(&icmp[6], sequence);
    for (std::size_t i = 0; i < payload_size; ++i)
        icmp[8 + i] = static_cast<std::uint8_t>(i * 3 + sequence);
    put16(&icmp[2], complement(reference_sum(icmp.data(), icmp.size())));
    return ipv4_packet(1, source, destination, icmp, static_cast<std::uint16_t>(0x1000 + sequence), dont_fragment);
}

inline bytes udp_datagram(const ipv4_address& source, const ipv4_address& destination, std::uint16_t source_port,
                          std::uint16_t destination_port, const bytes& payload, std::uint16_t identification)
{
    bytes udp(8 + payload.size(), 0);
    put16(&udp[0], source_port);
    put16(&udp[2], destination_port);
    put16(&udp[4], static_cast<std::uint16_t>(udp.size()));
    std::memcpy(&udp[8], payload.data(), payload.size());
    fill_transport_checksum(udp, 17, source, destination);
    return ipv4_packet(17, source, destination, udp, identification);
}

// A connection-opening SYN as a Windows stack sends it: MSS, no-operation, window
// scale, no-operation, no-operation, SACK permitted.
inline bytes tcp_syn(const ipv4_address& source, const ipv4_address& destination, std::uint16_t source_port,
                     std::uint16_t destination_port, std::uint16_t mss)
{
    bytes tcp(32, 0);
    put16(&tcp[0], source_port);
    put16(&tcp[2], destination_port);
    tcp[4] = 0x6C;
    tcp[5] = 0x6F;
    tcp[6] = 0x72;
    tcp[7] = 0x72;
    tcp[12] = 8 << 4;
    tcp[13] = 0x02;
    put16(&tcp[14], 64240);
    const std::uint8_t options[12] = {2, 4, static_cast<std::uint8_t>(mss >> 8), static_cast<std::uint8_t>(mss),
                                      1, 3, 3, 8, 1, 1, 4, 2};
    std::memcpy(&tcp[20], options, sizeof options);
    fill_transport_checksum(tcp, 6, source, destination);
    return ipv4_packet(6, source, destination, tcp, 0x2001);
}

// A DNS query for one A record.
inline bytes dns_query(std::uint16_t id, const std::string& name)
{
    bytes q = {static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id), 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
    std::size_t start = 0;
    while (start <= name.size()) {
        const std::size_t dot = std::min(name.find('.', start), name.size());
        q.push_back(static_cast<std::uint8_t>(dot - start));
        q.insert(q.end(), name.begin() + static_cast<std::ptrdiff_t>(start), name.begin() + static_cast<std::ptrdiff_t>(dot));
        start = dot + 1;
    }
    q.push_back(0);
    q.insert(q.end(), {0, 1, 0, 1});
    return q;
}

// An Ethernet frame around an IPv4 packet.
inline bytes ethernet_frame(const mac& destination, const mac& source, const bytes& ip)
{
    bytes f(14, 0);
    std::memcpy(&f[0], destination.data(), 6);
    std::memcpy(&f[6], source.data(), 6);
    f[12] = 0x08;
    f[13] = 0x00;
    f.insert(f.end(), ip.begin(), ip.end());
    return f;
}

inline std::string text(const ipv4_address& a)
{
    return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." + std::to_string(a[3]);
}

// ---- pcap files ------------------------------------------------------------------------

// The packets of a classic pcap file (microsecond, either byte order); nothing when the
// file cannot be read or is not one.
inline std::optional<std::vector<bytes>> read_pcap(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    const bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (file.size() < 24)
        return std::nullopt;
    const auto u32 = [&](std::size_t at, bool swapped) {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= static_cast<std::uint32_t>(file[at + static_cast<std::size_t>(i)]) << (swapped ? (3 - i) * 8 : i * 8);
        return v;
    };
    bool swapped = false;
    if (u32(0, false) != 0xA1B2C3D4) {
        if (u32(0, true) != 0xA1B2C3D4)
            return std::nullopt;
        swapped = true;
    }
    std::vector<bytes> packets;
    for (std::size_t at = 24; at + 16 <= file.size();) {
        const std::size_t size = u32(at + 8, swapped);
        if (at + 16 + size > file.size())
            break; // a record still being written
        packets.emplace_back(file.begin() + static_cast<std::ptrdiff_t>(at + 16),
                             file.begin() + static_cast<std::ptrdiff_t>(at + 16 + size));
        at += 16 + size;
    }
    return packets;
}
} // namespace e2e
