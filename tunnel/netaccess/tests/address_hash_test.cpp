// FNV-1a and the endpoint and flow hashes.
#include <gtest/gtest.h>

#include <cstring>
#include <unordered_map>

#include "address_hash.h"

using namespace iphelper;

namespace
{
std::uint32_t v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    const std::uint8_t bytes[4] = {a, b, c, d};
    std::uint32_t x;
    std::memcpy(&x, bytes, 4); // network order, as in the packet
    return x;
}

const std::array<std::uint8_t, 16> v6_1 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const std::array<std::uint8_t, 16> v6_2 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};

struct hash_case {
    const char* what;
    std::uint64_t actual;
    std::uint64_t expected;
};
} // namespace

TEST(address_hash, known_values)
{
    const std::uint8_t a = 0x61;
    const hash_case cases[] = {
        {"fnv1a_64 of 'a'", fnv1a_64(&a, 1), 0xaf63dc4c8601ec8cull},
        {"fnv1a_64 of nothing", fnv1a_64(nullptr, 0), 0xcbf29ce484222325ull},
        {"endpoint v4 192.0.2.10:53", endpoint_hash_v4{}({v4(192, 0, 2, 10), 53}), 0xb7ae6a4b2e0b1016ull},
        {"flow v4", flow_hash_v4{}({v4(192, 0, 2, 10), 50000, v4(198, 51, 100, 7), 443}), 0x4a02a48b5fb878baull},
        {"flow v4 reversed", flow_hash_v4{}({v4(198, 51, 100, 7), 443, v4(192, 0, 2, 10), 50000}),
         0x4a02a48b5fb878baull},
        {"endpoint v6 2001:db8::1:53", endpoint_hash_v6{}({v6_1, 53}), 0x731bfc7cbf339a74ull},
        {"flow v6", flow_hash_v6{}({v6_1, 50000, v6_2, 443}), 0x811324f2c35df617ull},
        {"flow v6 reversed", flow_hash_v6{}({v6_2, 443, v6_1, 50000}), 0x811324f2c35df617ull},
    };
    for (const hash_case& c : cases)
        EXPECT_EQ(c.actual, c.expected) << c.what;
    static_assert(hash_endpoint_v4({192, 0, 2, 10}, 53) == 0xb7ae6a4b2e0b1016ull);
}

TEST(address_hash, keys_compare_field_by_field)
{
    const flow_key_v4 f{v4(192, 0, 2, 10), 50000, v4(198, 51, 100, 7), 443};
    const flow_key_v4 r{v4(198, 51, 100, 7), 443, v4(192, 0, 2, 10), 50000};
    EXPECT_NE(f, r);
    EXPECT_EQ(flow_hash_v4{}(f), flow_hash_v4{}(r));
    EXPECT_EQ((endpoint_key_v6{v6_1, 53}), (endpoint_key_v6{v6_1, 53}));
    EXPECT_NE((endpoint_key_v6{v6_1, 53}), (endpoint_key_v6{v6_2, 53}));
    EXPECT_NE((endpoint_key_v4{v4(1, 2, 3, 4), 53}), (endpoint_key_v4{v4(1, 2, 3, 4), 54}));
    // The IPv6 fold: a common XOR pattern across the four words collides.
    std::array<std::uint8_t, 16> x = v6_1;
    for (int w = 0; w < 4; ++w)
        x[w * 4 + 3] ^= 0x5A;
    EXPECT_EQ(endpoint_hash_v6{}({x, 53}), endpoint_hash_v6{}({v6_1, 53}));
}

TEST(address_hash, serves_as_map_hasher)
{
    std::unordered_map<flow_key_v4, int, flow_hash_v4> flows;
    std::unordered_map<endpoint_key_v6, int, endpoint_hash_v6> endpoints;
    for (std::uint16_t p = 1; p <= 1000; ++p) {
        flows[{v4(10, 0, 0, 1), p, v4(10, 0, 0, 2), 443}] = p;
        endpoints[{v6_1, p}] = p;
    }
    flows[{v4(10, 0, 0, 2), 443, v4(10, 0, 0, 1), 7}] = -7; // the reverse of flow 7
    EXPECT_EQ(flows.size(), 1001u);
    EXPECT_EQ((flows[{v4(10, 0, 0, 1), 7, v4(10, 0, 0, 2), 443}]), 7);
    EXPECT_EQ((flows[{v4(10, 0, 0, 2), 443, v4(10, 0, 0, 1), 7}]), -7);
    EXPECT_EQ((endpoints[{v6_1, 999}]), 999);
}
