#pragma once
// Independent checks of the frames that the simulated host builds: sums taken byte
// pair by byte pair, pseudo-headers made from the packet's own fields.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace frame_checks
{
inline std::uint32_t add_bytes(std::uint32_t sum, const std::uint8_t* p, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        sum += (i % 2 == 0) ? static_cast<std::uint32_t>(p[i]) << 8 : p[i];
    return sum;
}

inline bool folds_to_ffff(std::uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return sum == 0xFFFF;
}

inline std::size_t get16(const std::vector<std::uint8_t>& f, std::size_t at)
{
    return static_cast<std::size_t>(f[at] << 8 | f[at + 1]);
}

// What is wrong with an Ethernet frame of an IPv4 or IPv6 packet (lengths, the IPv4
// header checksum, the ICMP, TCP, UDP or ICMPv6 checksum); empty when nothing is.
inline std::string problems(const std::vector<std::uint8_t>& f)
{
    if (f.size() < 14 + 20)
        return "too short";
    const std::size_t type = get16(f, 12);
    std::size_t header = 0;
    std::size_t total = 0;
    std::uint8_t protocol = 0;
    std::uint32_t pseudo = 0;
    if (type == 0x0800) {
        header = (f[14] & 0x0Fu) * 4u;
        total = get16(f, 16);
        protocol = f[23];
        if (!folds_to_ffff(add_bytes(0, &f[14], header)))
            return "IPv4 header checksum";
        pseudo = add_bytes(0, &f[26], 8);
    } else if (type == 0x86DD && f.size() >= 14 + 40) {
        header = 40;
        total = 40 + get16(f, 18);
        protocol = f[20];
        pseudo = add_bytes(0, &f[22], 32);
    } else {
        return "not IP";
    }
    if (total != f.size() - 14)
        return "IP length " + std::to_string(total) + " in a frame of " + std::to_string(f.size());
    const std::size_t length = total - header;
    const std::uint8_t* t = &f[14 + header];
    if (protocol == 17 && get16(f, 14 + header + 4) != length)
        return "UDP length";
    std::uint32_t sum = 0;
    if (protocol == 6 || protocol == 17 || protocol == 58)
        sum = pseudo + protocol + static_cast<std::uint32_t>(length);
    else if (protocol != 1)
        return {};
    if (!folds_to_ffff(add_bytes(sum, t, length)))
        return "transport checksum of protocol " + std::to_string(protocol);
    return {};
}
} // namespace frame_checks
