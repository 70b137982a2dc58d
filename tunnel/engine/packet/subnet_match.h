#pragma once
// Whether an AllowedIPs or DisallowedIPs entry holds an address: the entry matches
// addresses of its own family only, when (mask AND address) equals (mask AND entry
// address); the bits of the entry's address outside its mask do not count.
#include <array>
#include <cstdint>
#include <cstring>
#include <variant>
#include <vector>

#include "config/ip_types.h"

namespace wireguard
{
inline bool subnet_holds(const ip_subnet& entry, const std::array<std::uint8_t, 4>& a) noexcept
{
    const auto* s = std::get_if<ipv4_subnet>(&entry.subnet);
    if (entry.family != family_ipv4 || !s)
        return false;
    for (std::size_t i = 0; i < 4; ++i)
        if ((s->mask[i] & a[i]) != (s->mask[i] & s->address[i]))
            return false;
    return true;
}

// IPv6: mask and address compared as two 8-byte halves.
inline bool subnet_holds(const ip_subnet& entry, const std::array<std::uint8_t, 16>& a) noexcept
{
    const auto* s = std::get_if<ipv6_subnet>(&entry.subnet);
    if (entry.family != family_ipv6 || !s)
        return false;
    for (std::size_t half = 0; half < 16; half += 8) {
        std::uint64_t mask, value, network;
        std::memcpy(&mask, s->mask.data() + half, 8);
        std::memcpy(&value, a.data() + half, 8);
        std::memcpy(&network, s->address.data() + half, 8);
        if ((mask & value) != (mask & network))
            return false;
    }
    return true;
}

template <std::size_t N>
bool any_subnet_holds(const std::vector<ip_subnet>& list, const std::array<std::uint8_t, N>& a) noexcept
{
    for (const ip_subnet& entry : list)
        if (subnet_holds(entry, a))
            return true;
    return false;
}
} // namespace wireguard
