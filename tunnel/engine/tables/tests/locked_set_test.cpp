// The locked address and port sets: their operations, their hashes, and one set used
// by several threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "locked_set.h"

using namespace wireguard;

namespace
{
// FNV-1a written out again, byte by byte, as the reference.
std::uint64_t reference_fnv(std::initializer_list<std::uint8_t> bytes)
{
    std::uint64_t h = 14695981039346656037ull;
    for (std::uint8_t b : bytes) {
        h ^= b;
        h *= 1099511628211ull;
    }
    return h;
}

std::uint64_t reference_fnv_u64(std::uint64_t x)
{
    std::uint64_t h = 14695981039346656037ull;
    for (int i = 0; i < 8; ++i) {
        h ^= (x >> (8 * i)) & 0xFF;
        h *= 1099511628211ull;
    }
    return h;
}

ipv4_key v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    const std::uint8_t bytes[4] = {a, b, c, d};
    ipv4_key k;
    std::memcpy(&k, bytes, 4);
    return k;
}

const ipv6_key doc_1 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const ipv6_key doc_2 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
} // namespace

TEST(locked_set_hash, ipv4_address_is_fnv1a_of_its_bytes_in_memory_order)
{
    EXPECT_EQ(ipv4_address_hash{}(v4(192, 0, 2, 10)), reference_fnv({192, 0, 2, 10}));
    // The same address hash underlies the endpoint hash: 192.0.2.10 port 53.
    EXPECT_EQ(reference_fnv_u64(ipv4_address_hash{}(v4(192, 0, 2, 10)) ^ 53), 0xb7ae6a4b2e0b1016ull);
}

TEST(locked_set_hash, ipv6_address_is_folded_to_four_bytes_first)
{
    EXPECT_EQ(ipv6_address_hash{}(doc_1), reference_fnv({0x20 ^ 0, 0x01 ^ 0, 0x0d ^ 0, 0xb8 ^ 1}));
    EXPECT_EQ(reference_fnv_u64(ipv6_address_hash{}(doc_1) ^ 53), 0x731bfc7cbf339a74ull);
    // Addresses that differ by the same pattern in two words fold alike (and stay
    // different keys).
    ipv6_key x = doc_1, y = doc_1;
    x[4] ^= 0x5A;
    x[8] ^= 0x5A;
    EXPECT_EQ(ipv6_address_hash{}(x), ipv6_address_hash{}(y));
    ipv6_address_set set;
    set.insert(x);
    EXPECT_TRUE(set.contains(x));
    EXPECT_FALSE(set.contains(y));
}

TEST(locked_set_hash, port_is_fnv1a_of_its_two_bytes_low_byte_first)
{
    EXPECT_EQ(port_hash{}(0x1234), reference_fnv({0x34, 0x12}));
    EXPECT_EQ(port_hash{}(53), reference_fnv({53, 0}));
    EXPECT_NE(port_hash{}(0x0102), port_hash{}(0x0201));
}

TEST(locked_set, insert_contains_erase_and_clear)
{
    ipv4_address_set addresses;
    EXPECT_FALSE(addresses.contains(v4(10, 0, 0, 1)));
    addresses.insert(v4(10, 0, 0, 1));
    addresses.insert(v4(10, 0, 0, 1)); // present already: no change
    addresses.insert(v4(10, 0, 0, 2));
    EXPECT_TRUE(addresses.contains(v4(10, 0, 0, 1)));
    EXPECT_TRUE(addresses.contains(v4(10, 0, 0, 2)));
    EXPECT_FALSE(addresses.contains(v4(1, 0, 0, 10)));
    addresses.erase(v4(10, 0, 0, 1));
    EXPECT_FALSE(addresses.contains(v4(10, 0, 0, 1)));
    EXPECT_TRUE(addresses.contains(v4(10, 0, 0, 2)));
    addresses.erase(v4(10, 0, 0, 1)); // absent: not an error
    addresses.clear();
    EXPECT_FALSE(addresses.contains(v4(10, 0, 0, 2)));
    addresses.clear(); // empty: not an error

    ipv6_address_set six;
    six.insert(doc_1);
    EXPECT_TRUE(six.contains(doc_1));
    EXPECT_FALSE(six.contains(doc_2));

    port_set ports;
    ports.insert(53);
    EXPECT_TRUE(ports.contains(53));
    EXPECT_FALSE(ports.contains(0x3500));
    ports.erase(53);
    EXPECT_FALSE(ports.contains(53));
}

TEST(locked_set, one_set_used_by_writers_readers_and_a_clear_at_once)
{
    port_set ports;
    constexpr int writers = 4;
    constexpr int keys_each = 4000;
    std::atomic<bool> stop{false};
    std::atomic<long> lookups{0};

    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w) {
        threads.emplace_back([&, w] {
            for (int i = 0; i < keys_each; ++i) {
                const auto key = static_cast<std::uint16_t>(w * keys_each + i);
                ports.insert(key);
                if (i % 2)
                    ports.erase(key);
            }
        });
    }
    for (int r = 0; r < 2; ++r) {
        threads.emplace_back([&] {
            while (!stop) {
                for (std::uint16_t k = 0; k < 64; ++k)
                    (void)ports.contains(k);
                lookups += 64;
            }
        });
    }
    for (int w = 0; w < writers; ++w)
        threads[static_cast<std::size_t>(w)].join();

    // Every writer's even keys stay, the odd ones are gone.
    int wrong = 0;
    for (int key = 0; key < writers * keys_each; ++key)
        if (ports.contains(static_cast<std::uint16_t>(key)) != (key % keys_each % 2 == 0))
            ++wrong;
    EXPECT_EQ(wrong, 0);

    // A clear racing with inserts leaves only keys inserted after it.
    std::thread inserter([&] {
        for (int i = 0; i < 1000; ++i)
            ports.insert(static_cast<std::uint16_t>(60000 + i));
    });
    ports.clear();
    inserter.join();
    for (int key = 0; key < writers * keys_each; ++key)
        if (ports.contains(static_cast<std::uint16_t>(key)))
            ++wrong;
    EXPECT_EQ(wrong, 0);

    stop = true;
    for (std::size_t t = writers; t < threads.size(); ++t)
        threads[t].join();
    EXPECT_GT(lookups.load(), 0);
}
