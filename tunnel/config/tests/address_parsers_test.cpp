#include <gtest/gtest.h>

#include <cstring>

#include "address_parsers.h"
#include "test_support.h"

using namespace wireguard;

namespace
{
using config_test::PrintTo;

using bytes4 = std::array<std::uint8_t, 4>;
using bytes16 = std::array<std::uint8_t, 16>;

ip_subnet v4(bytes4 address, bytes4 mask)
{
    return ip_subnet{ipv4_subnet{address, mask}, family_ipv4};
}

ip_subnet v6(bytes16 address, bytes16 mask)
{
    return ip_subnet{ipv6_subnet{address, mask}, family_ipv6};
}

bytes16 ones(unsigned bytes)
{
    bytes16 mask{};
    for (unsigned i = 0; i < bytes; ++i)
        mask[i] = 0xFF;
    return mask;
}

const bytes16 db8_1 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const bytes16 loopback6 = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const bytes16 fd00_60 = {0xfd, 0, 0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc, 0, 0, 0, 0, 0, 0, 0, 0};
const bytes16 mask_60 = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0, 0, 0, 0, 0, 0, 0, 0, 0};
const bytes4 host4 = {255, 255, 255, 255};

ip_address addr4(bytes4 b)
{
    ip_address a;
    std::memcpy(a.address.data(), b.data(), 4);
    a.family = family_ipv4;
    return a;
}

ip_address addr6(bytes16 b)
{
    return ip_address{b, family_ipv6};
}

ip_endpoint ep(ip_address a, std::uint16_t port)
{
    ip_endpoint e;
    static_cast<ip_address&>(e) = a;
    e.port = port;
    return e;
}

// ---------------------------------------------------------------------------
struct prefix_case
{
    const char* name;
    std::string_view text;
    std::vector<ip_subnet> expected;
};

const prefix_case prefix_cases[] = {
    {"default_routes_of_both_families", "0.0.0.0/0, ::/0",
     {v4({0, 0, 0, 0}, {0, 0, 0, 0}), v6({}, {})}},
    {"ipv4_host_32", "10.0.0.2/32", {v4({10, 0, 0, 2}, host4)}},
    {"ipv4_without_length_is_host", "10.0.0.2", {v4({10, 0, 0, 2}, host4)}},
    {"ipv4_33_dropped", "10.0.0.2/33", {}},
    {"ipv4_bits_outside_mask_kept", "10.1.2.3/8", {v4({10, 1, 2, 3}, {255, 0, 0, 0})}},
    {"ipv4_odd_lengths", "192.168.7.1/20, 1.2.3.4/1, 1.2.3.4/31",
     {v4({192, 168, 7, 1}, {255, 255, 240, 0}), v4({1, 2, 3, 4}, {128, 0, 0, 0}),
      v4({1, 2, 3, 4}, {255, 255, 255, 254})}},
    {"ipv4_length_0_with_address_bits", "10.0.0.1/0", {v4({10, 0, 0, 1}, {0, 0, 0, 0})}},
    {"ipv6_60", "fd00:1234:5678:9abc::/60", {v6(fd00_60, mask_60)}},
    {"ipv6_128_kept", "2001:db8::1/128", {v6(db8_1, ones(16))}},
    {"ipv6_129_dropped", "2001:db8::1/129", {}},
    {"ipv6_without_length_is_host", "::1", {v6(loopback6, ones(16))}},
    {"ipv6_64_bits_outside_kept", "2001:db8::1/64", {v6(db8_1, ones(8))}},
    {"ipv6_length_0", "2001:db8::1/0", {v6(db8_1, {})}},
    {"ipv6_length_1", "::/1", {v6({}, {0x80})}},
    {"slash_at_end_dropped", "10.0.0.0/", {}},
    {"length_not_a_number_dropped", "10.0.0.0/x", {}},
    {"length_with_blank_dropped", "10.0.0.0/ 8", {}},
    {"length_above_255_dropped", "10.0.0.0/256, ::/300", {}},
    {"length_sign_dropped", "10.0.0.0/+8, 10.0.0.0/-8", {}},
    {"text_after_length_ignored", "10.0.0.0/8abc", {v4({10, 0, 0, 0}, {255, 0, 0, 0})}},
    {"leading_zero_length", "10.0.0.0/008", {v4({10, 0, 0, 0}, {255, 0, 0, 0})}},
    {"host_name_dropped", "example.com/24, localhost", {}},
    {"bad_items_dropped_good_kept", "bogus, 10.0.0.1/24, 300.1.1.1/8, fd00::/8",
     {v4({10, 0, 0, 1}, {255, 255, 255, 0}), v6({0xfd}, {0xFF})}},
    {"empty_text_empty_list", "", {}},
    {"tab_before_item_dropped", "10.0.0.1,\t10.0.0.2", {v4({10, 0, 0, 1}, host4)}},
    {"trailing_blank_of_literal_ignored", "10.0.0.1 /24", {v4({10, 0, 0, 1}, {255, 255, 255, 0})}},
    {"ipv4_not_strict_dropped", "10.1/8, 0x0a.0.0.1/8", {}},
};

class prefix_parsing : public ::testing::TestWithParam<prefix_case>
{};

TEST_P(prefix_parsing, gives_subnets)
{
    EXPECT_EQ(parse_prefix_list(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(address_parsers, prefix_parsing, ::testing::ValuesIn(prefix_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(address_parsers, parse_prefix_appends_to_the_list)
{
    std::vector<ip_subnet> list{v4({1, 1, 1, 1}, host4)};
    parse_prefix("2.2.2.0/24", list);
    parse_prefix("nonsense", list);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1], v4({2, 2, 2, 0}, {255, 255, 255, 0}));
}

TEST(address_parsers, every_ipv6_length_gives_a_run_of_ones)
{
    for (unsigned length = 0; length <= 128; ++length) {
        const auto list = parse_prefix_list("::/" + std::to_string(length));
        ASSERT_EQ(list.size(), 1u) << length;
        const auto& mask = list[0].require_ipv6().mask;
        for (unsigned bit = 0; bit < 128; ++bit) {
            const bool set = (mask[bit / 8] >> (7 - bit % 8)) & 1;
            ASSERT_EQ(set, bit < length) << "length " << length << " bit " << bit;
        }
    }
    for (unsigned length = 0; length <= 32; ++length) {
        const auto list = parse_prefix_list("0.0.0.0/" + std::to_string(length));
        ASSERT_EQ(list.size(), 1u) << length;
        const auto& mask = list[0].require_ipv4().mask;
        const std::uint32_t value = (std::uint32_t(mask[0]) << 24) | (std::uint32_t(mask[1]) << 16)
                                    | (std::uint32_t(mask[2]) << 8) | mask[3];
        const std::uint32_t expected = length == 0 ? 0 : ~std::uint32_t(0) << (32 - length);
        EXPECT_EQ(value, expected) << length;
    }
}

TEST(address_parsers, require_ipv4_checks_the_family)
{
    const auto list = parse_prefix_list("10.0.0.0/8, fd00::/8");
    ASSERT_EQ(list.size(), 2u);
    EXPECT_NO_THROW((void)list[0].require_ipv4());
    EXPECT_THROW((void)list[0].require_ipv6(), std::bad_variant_access);
    EXPECT_THROW((void)list[1].require_ipv4(), std::bad_variant_access);
    EXPECT_NO_THROW((void)list[1].require_ipv6());
    // A family byte that contradicts the held alternative is refused as well.
    ip_subnet contradicting = list[0];
    contradicting.family = family_ipv6;
    EXPECT_THROW((void)contradicting.require_ipv4(), std::bad_variant_access);
    EXPECT_THROW((void)contradicting.require_ipv6(), std::bad_variant_access);
}

// ---------------------------------------------------------------------------
struct ip_list_case
{
    const char* name;
    std::string_view text;
    std::vector<ip_address> expected;
};

const ip_list_case ip_list_cases[] = {
    {"two_ipv4", "1.1.1.1, 8.8.4.4", {addr4({1, 1, 1, 1}), addr4({8, 8, 4, 4})}},
    {"mixed_families_in_order", "::1,10.0.0.1", {addr6(loopback6), addr4({10, 0, 0, 1})}},
    {"bad_items_dropped", "dns.example, 1.2.3, , 9.9.9.9", {addr4({9, 9, 9, 9})}},
    {"empty_text", "", {}},
    {"trailing_text_of_literal_ignored", "1.2.3.4 , 2001:db8::1%5", {addr4({1, 2, 3, 4}), addr6(db8_1)}},
};

class ip_list_parsing : public ::testing::TestWithParam<ip_list_case>
{};

TEST_P(ip_list_parsing, gives_addresses)
{
    EXPECT_EQ(parse_ip_list(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(address_parsers, ip_list_parsing, ::testing::ValuesIn(ip_list_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
struct endpoint_case
{
    const char* name;
    std::string_view text;
    std::vector<ip_endpoint> expected;
};

const endpoint_case endpoint_cases[] = {
    {"ipv4", "192.0.2.7:51820", {ep(addr4({192, 0, 2, 7}), 51820)}},
    {"ipv6_without_brackets", "2001:db8::1:51820", {ep(addr6(db8_1), 51820)}},
    {"ipv6_in_brackets", "[2001:db8::1]:51820", {ep(addr6(db8_1), 51820)}},
    {"ipv6_loopback_in_brackets", "[::1]:443", {ep(addr6(loopback6), 443)}},
    {"scoped_ipv6_in_brackets_scope_dropped", "[2001:db8::1%nosuchif]:51820", {ep(addr6(db8_1), 51820)}},
    {"scoped_ipv6_scope_dropped", "2001:db8::1%nosuchif:51820", {ep(addr6(db8_1), 51820)}},
    {"port_0", "192.0.2.7:0", {ep(addr4({192, 0, 2, 7}), 0)}},
    {"port_65535", "192.0.2.7:65535", {ep(addr4({192, 0, 2, 7}), 65535)}},
    {"port_65536", "192.0.2.7:65536", {}},
    {"text_after_port_ignored", "192.0.2.7:51820/udp", {ep(addr4({192, 0, 2, 7}), 51820)}},
    {"missing_port", "192.0.2.7:", {}},
    {"port_not_a_number", "192.0.2.7:http", {}},
    {"blank_before_port", "192.0.2.7: 51820", {}},
    {"signed_port", "192.0.2.7:+1", {}},
    {"no_colon", "192.0.2.7", {}},
    {"empty_text", "", {}},
    {"name_that_does_not_resolve", "no-such-host.invalid:51820", {}},
    {"brackets_without_port", "[2001:db8::1]", {}},
};

class endpoint_resolution : public ::testing::TestWithParam<endpoint_case>
{};

TEST_P(endpoint_resolution, gives_endpoints)
{
    EXPECT_EQ(resolve_endpoint(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(address_parsers, endpoint_resolution, ::testing::ValuesIn(endpoint_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(address_parsers, localhost_resolves_through_the_resolver)
{
    const auto endpoints = resolve_endpoint("localhost:51820");
    ASSERT_FALSE(endpoints.empty());
    for (const ip_endpoint& e : endpoints) {
        EXPECT_EQ(e.port, 51820);
        if (e.family == family_ipv4)
            EXPECT_EQ(e.address[0], 127);
        else
            EXPECT_EQ(static_cast<ip_address>(e), addr6(loopback6));
    }
    // The bracketed form goes through the resolver too.
    EXPECT_EQ(resolve_endpoint("[localhost]:51820"), endpoints);
}

TEST(address_parsers, empty_host_does_not_fault)
{
    // Handed to the resolver as an empty host; whatever it answers carries the port.
    for (const ip_endpoint& e : resolve_endpoint(":51820"))
        EXPECT_EQ(e.port, 51820);
}

// ---------------------------------------------------------------------------
struct decimal_case
{
    const char* name;
    std::string_view text;
    std::errc error;
    std::size_t consumed;
    std::int32_t out; // 77 when `out` must stay untouched
};

const decimal_case decimal_cases[] = {
    {"zero", "0", std::errc(), 1, 0},
    {"plain", "25", std::errc(), 2, 25},
    {"letter_after_digits", "15s", std::errc(), 2, 15},
    {"largest", "4294967295", std::errc(), 10, -1},
    {"above_signed_range", "2147483648", std::errc(), 10, std::int32_t(-2147483647 - 1)},
    {"too_large", "4294967296", std::errc::result_out_of_range, 10, 77},
    {"minus", "-1", std::errc::invalid_argument, 0, 77},
    {"plus", "+1", std::errc::invalid_argument, 0, 77},
    {"blank", " 1", std::errc::invalid_argument, 0, 77},
    {"letter", "x1", std::errc::invalid_argument, 0, 77},
    {"empty", "", std::errc::invalid_argument, 0, 77},
};

class decimal_parsing : public ::testing::TestWithParam<decimal_case>
{};

TEST_P(decimal_parsing, converts_like_from_chars)
{
    std::int32_t out = 77;
    const std::string_view text = GetParam().text;
    const auto result = parse_decimal(text.data(), text.data() + text.size(), out);
    EXPECT_EQ(result.ec, GetParam().error);
    EXPECT_EQ(static_cast<std::size_t>(result.ptr - text.data()), GetParam().consumed);
    EXPECT_EQ(out, GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(address_parsers, decimal_parsing, ::testing::ValuesIn(decimal_cases),
                         [](const auto& info) { return std::string(info.param.name); });
} // namespace
