#pragma once
// Endpoint and flow keys of the socket-owner tables and the tunnel's flow tables, and
// their hashes, all built on the 64-bit FNV-1a byte hash.
//
// Addresses keep the byte order they have in the packet (network order); ports are in
// host order. A flow and its reverse hash alike (the two ends are combined with XOR);
// key equality still tells them apart.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace iphelper
{
struct endpoint_key_v4 {
    std::uint32_t local_address; // network order, as in the packet
    std::uint16_t local_port;    // host order
    bool operator==(const endpoint_key_v4&) const = default;
};

struct flow_key_v4 {
    std::uint32_t local_address;
    std::uint16_t local_port;
    std::uint32_t remote_address;
    std::uint16_t remote_port;
    bool operator==(const flow_key_v4&) const = default;
};

struct endpoint_key_v6 {
    std::array<std::uint8_t, 16> local_address;
    std::uint16_t local_port;
    bool operator==(const endpoint_key_v6&) const = default;
};

struct flow_key_v6 {
    std::array<std::uint8_t, 16> local_address;
    std::uint16_t local_port;
    std::array<std::uint8_t, 16> remote_address;
    std::uint16_t remote_port;
    bool operator==(const flow_key_v6&) const = default;
};

inline constexpr std::uint64_t fnv1a_64_offset_basis = 0xcbf29ce484222325ull;
inline constexpr std::uint64_t fnv1a_64_prime = 0x100000001b3ull;

// 64-bit FNV-1a over a byte sequence.
constexpr std::uint64_t fnv1a_64(const std::uint8_t* bytes, std::size_t n) noexcept
{
    std::uint64_t h = fnv1a_64_offset_basis;
    for (std::size_t i = 0; i < n; ++i) {
        h ^= bytes[i];
        h *= fnv1a_64_prime;
    }
    return h;
}

// FNV-1a of the eight bytes of x, least significant first.
constexpr std::uint64_t fnv1a_64_of_u64(std::uint64_t x) noexcept
{
    std::uint64_t h = fnv1a_64_offset_basis;
    for (int i = 0; i < 8; ++i) {
        h ^= (x >> (8 * i)) & 0xFF;
        h *= fnv1a_64_prime;
    }
    return h;
}

// Hash of an IPv4 endpoint: the four address bytes, then the port mixed in.
constexpr std::uint64_t hash_endpoint_v4(const std::array<std::uint8_t, 4>& address, std::uint16_t port) noexcept
{
    return fnv1a_64_of_u64(fnv1a_64(address.data(), address.size()) ^ port);
}

// Hash of an IPv6 endpoint: the address folded to four bytes (the XOR of its four
// 32-bit words), then as for IPv4.
constexpr std::uint64_t hash_endpoint_v6(const std::array<std::uint8_t, 16>& address, std::uint16_t port) noexcept
{
    const std::array<std::uint8_t, 4> folded = {
        static_cast<std::uint8_t>(address[0] ^ address[4] ^ address[8] ^ address[12]),
        static_cast<std::uint8_t>(address[1] ^ address[5] ^ address[9] ^ address[13]),
        static_cast<std::uint8_t>(address[2] ^ address[6] ^ address[10] ^ address[14]),
        static_cast<std::uint8_t>(address[3] ^ address[7] ^ address[11] ^ address[15]),
    };
    return fnv1a_64_of_u64(fnv1a_64(folded.data(), folded.size()) ^ port);
}

// The four bytes of an address held as a u32 in network order.
inline std::array<std::uint8_t, 4> address_bytes(std::uint32_t network_order) noexcept
{
    std::array<std::uint8_t, 4> a;
    std::memcpy(a.data(), &network_order, 4);
    return a;
}

struct endpoint_hash_v4 {
    std::uint64_t operator()(const endpoint_key_v4& k) const noexcept
    {
        return hash_endpoint_v4(address_bytes(k.local_address), k.local_port);
    }
};

struct endpoint_hash_v6 {
    std::uint64_t operator()(const endpoint_key_v6& k) const noexcept
    {
        return hash_endpoint_v6(k.local_address, k.local_port);
    }
};

struct flow_hash_v4 {
    std::uint64_t operator()(const flow_key_v4& k) const noexcept
    {
        return fnv1a_64_of_u64(hash_endpoint_v4(address_bytes(k.local_address), k.local_port) ^
                               hash_endpoint_v4(address_bytes(k.remote_address), k.remote_port) ^
                               k.local_port ^ k.remote_port);
    }
};

struct flow_hash_v6 {
    std::uint64_t operator()(const flow_key_v6& k) const noexcept
    {
        return fnv1a_64_of_u64(hash_endpoint_v6(k.local_address, k.local_port) ^
                               hash_endpoint_v6(k.remote_address, k.remote_port) ^ k.local_port ^
                               k.remote_port);
    }
};
} // namespace iphelper
