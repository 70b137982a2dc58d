#pragma once
// A hash set of addresses or ports together with the reader-writer lock that guards
// it. Each operation takes the set's own lock and no other: lookups shared, changes
// exclusive. The dual tunnel keeps its flow tables in these sets.
#include <array>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <unordered_set>

#include "netaccess/address_hash.h"
#include "srw_lock.h"
#include "table_keys.h"

namespace wireguard
{
// IPv4 address (u32 holding the bytes in network order): FNV-1a of its four bytes in
// memory order.
struct ipv4_address_hash {
    std::size_t operator()(ipv4_key a) const noexcept
    {
        const auto bytes = iphelper::address_bytes(a);
        return static_cast<std::size_t>(iphelper::fnv1a_64(bytes.data(), bytes.size()));
    }
};

// IPv6 address: folded to four bytes (w[i] = a[i] ^ a[i+4] ^ a[i+8] ^ a[i+12]), then
// FNV-1a of those.
struct ipv6_address_hash {
    std::size_t operator()(const ipv6_key& a) const noexcept
    {
        const std::array<std::uint8_t, 4> w = {
            static_cast<std::uint8_t>(a[0] ^ a[4] ^ a[8] ^ a[12]),
            static_cast<std::uint8_t>(a[1] ^ a[5] ^ a[9] ^ a[13]),
            static_cast<std::uint8_t>(a[2] ^ a[6] ^ a[10] ^ a[14]),
            static_cast<std::uint8_t>(a[3] ^ a[7] ^ a[11] ^ a[15]),
        };
        return static_cast<std::size_t>(iphelper::fnv1a_64(w.data(), w.size()));
    }
};

// Port (host order): FNV-1a of its two bytes, low byte first.
struct port_hash {
    std::size_t operator()(std::uint16_t p) const noexcept
    {
        const std::uint8_t b[2] = {static_cast<std::uint8_t>(p), static_cast<std::uint8_t>(p >> 8)};
        return static_cast<std::size_t>(iphelper::fnv1a_64(b, 2));
    }
};

// DNS query (u32: the client's UDP port in the high half, the DNS id in the low half):
// FNV-1a of its four bytes, low byte first.
struct dns_query_hash {
    std::size_t operator()(std::uint32_t q) const noexcept
    {
        const std::uint8_t b[4] = {static_cast<std::uint8_t>(q), static_cast<std::uint8_t>(q >> 8),
                                   static_cast<std::uint8_t>(q >> 16), static_cast<std::uint8_t>(q >> 24)};
        return static_cast<std::size_t>(iphelper::fnv1a_64(b, 4));
    }
};

template <class Key, class Hash>
class locked_set
{
public:
    locked_set() = default;
    locked_set(const locked_set&) = delete;
    locked_set& operator=(const locked_set&) = delete;

    // Adds the key unless it is there.
    void insert(const Key& key)
    {
        std::unique_lock<srw_lock> guard(lock_);
        keys_.insert(key);
    }

    bool contains(const Key& key) const
    {
        std::shared_lock<srw_lock> guard(lock_);
        return keys_.find(key) != keys_.end();
    }

    // Removes the key if it is there.
    void erase(const Key& key)
    {
        std::unique_lock<srw_lock> guard(lock_);
        keys_.erase(key);
    }

    void clear()
    {
        std::unique_lock<srw_lock> guard(lock_);
        keys_.clear();
    }

private:
    mutable srw_lock lock_;
    std::unordered_set<Key, Hash> keys_;
};

using ipv4_address_set = locked_set<ipv4_key, ipv4_address_hash>;
using ipv6_address_set = locked_set<ipv6_key, ipv6_address_hash>;
using port_set = locked_set<std::uint16_t, port_hash>;
} // namespace wireguard
