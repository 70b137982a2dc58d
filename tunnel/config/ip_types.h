#pragma once
// The address types shared by the whole tunnel library. All address bytes are kept in
// network byte order; ports are kept in host byte order.
#include <array>
#include <cstdint>
#include <variant>

namespace wireguard
{
inline constexpr std::uint8_t family_ipv4 = 0;
inline constexpr std::uint8_t family_ipv6 = 1;

// An IPv4 address uses the first 4 bytes of `address`; the other 12 carry no meaning.
struct ip_address
{
    std::array<std::uint8_t, 16> address{};
    std::uint8_t family = family_ipv4;

    friend bool operator==(const ip_address&, const ip_address&) = default;
};

// An address and a UDP or TCP port (host byte order).
struct ip_endpoint : ip_address
{
    std::uint16_t port = 0;

    friend bool operator==(const ip_endpoint&, const ip_endpoint&) = default;
};

// The IPv4 alternative of a subnet: address as written (bits outside the mask are
// kept) and a mask of leading one bits.
struct ipv4_subnet
{
    std::array<std::uint8_t, 4> address{};
    std::array<std::uint8_t, 4> mask{};

    friend bool operator==(const ipv4_subnet&, const ipv4_subnet&) = default;
};

struct ipv6_subnet
{
    std::array<std::uint8_t, 16> address{};
    std::array<std::uint8_t, 16> mask{};

    friend bool operator==(const ipv6_subnet&, const ipv6_subnet&) = default;
};

// A prefix of either family; `family` tells which alternative is held. The prefix
// length is the number of one bits of the mask.
struct ip_subnet
{
    std::variant<ipv4_subnet, ipv6_subnet> subnet;
    std::uint8_t family = family_ipv4;

    // The alternative of the family; reading the wrong one is a broken precondition
    // and throws std::bad_variant_access. Test `family` first.
    const ipv4_subnet& require_ipv4() const;
    const ipv6_subnet& require_ipv6() const;

    friend bool operator==(const ip_subnet&, const ip_subnet&) = default;
};

inline const ipv4_subnet& ip_subnet::require_ipv4() const
{
    if (family != family_ipv4)
        throw std::bad_variant_access();
    return std::get<ipv4_subnet>(subnet);
}

inline const ipv6_subnet& ip_subnet::require_ipv6() const
{
    if (family != family_ipv6)
        throw std::bad_variant_access();
    return std::get<ipv6_subnet>(subnet);
}
} // namespace wireguard
