#include <gtest/gtest.h>

#include "address_parsers.h"
#include "test_support.h"
#include "wg_config.h"

using namespace wireguard;

namespace
{
using config_test::PrintTo;

ip_subnet host_prefix(const ip_endpoint& e)
{
    if (e.family == family_ipv4) {
        ipv4_subnet v4;
        std::copy_n(e.address.begin(), 4, v4.address.begin());
        v4.mask.fill(0xFF);
        return ip_subnet{v4, family_ipv4};
    }
    ipv6_subnet v6;
    v6.address = e.address;
    v6.mask.fill(0xFF);
    return ip_subnet{v6, family_ipv6};
}

TEST(wg_config, make_interface_config_defaults)
{
    const auto i = make_interface_config("key=", "10.0.0.2/32, bogus");
    EXPECT_EQ(i.private_key, "key=");
    EXPECT_EQ(i.mtu, 0);
    EXPECT_EQ(i.address, parse_prefix_list("10.0.0.2/32"));
    EXPECT_TRUE(i.dns.empty());
    EXPECT_FALSE(i.enable_default_gateway);
}

TEST(wg_config, make_peer_config_defaults)
{
    const auto p = make_peer_config("pub", std::nullopt, "0.0.0.0/0", "192.0.2.1:51820");
    EXPECT_EQ(p.public_key, "pub");
    EXPECT_FALSE(p.preshared_key.has_value());
    EXPECT_EQ(p.allowed_ips, parse_prefix_list("0.0.0.0/0"));
    EXPECT_EQ(p.endpoint, resolve_endpoint("192.0.2.1:51820"));
    EXPECT_EQ(p.persistent_keepalive, 25);
    EXPECT_TRUE(p.allowed_apps.empty());
    EXPECT_TRUE(p.disallowed_apps.empty());
    EXPECT_TRUE(p.disallowed_ips.empty());
    EXPECT_TRUE(p.socks5_proxy.empty());
    EXPECT_FALSE(p.socks5_username.has_value());
    EXPECT_FALSE(p.socks5_password.has_value());

    const auto with_psk = make_peer_config("pub", std::string(), "", "x");
    EXPECT_EQ(with_psk.preshared_key, std::optional<std::string>(""));
    EXPECT_TRUE(with_psk.endpoint.empty());
}

TEST(wg_config, make_config_holds_both_parts)
{
    const auto c = make_config(make_interface_config("priv", "10.0.0.2"),
                               make_peer_config("pub", "psk", "::/0", "[::1]:1"));
    EXPECT_EQ(c.interface_config.private_key, "priv");
    EXPECT_EQ(c.peer_config.public_key, "pub");
    EXPECT_EQ(c.peer_config.preshared_key, std::optional<std::string>("psk"));
    ASSERT_EQ(c.peer_config.endpoint.size(), 1u);
    EXPECT_EQ(c.peer_config.endpoint[0].family, family_ipv6);

    // Plain value types: a copy is equal in every list.
    const wg_config copy = c;
    EXPECT_EQ(copy.peer_config.endpoint, c.peer_config.endpoint);
    EXPECT_EQ(copy.interface_config.address, c.interface_config.address);
}

TEST(wg_config, setters_replace_the_field)
{
    wg_interface_config i;
    i.set_dns("1.1.1.1");
    i.set_dns("9.9.9.9, ::1");
    EXPECT_EQ(i.dns, parse_ip_list("9.9.9.9,::1"));

    wg_peer_config p;
    p.set_allowed_apps("a.exe");
    p.set_allowed_apps("b.exe, c.exe");
    EXPECT_EQ(p.allowed_apps, (std::vector<std::wstring>{L"B.EXE", L"C.EXE"}));
    p.set_disallowed_apps("Dnscache");
    EXPECT_EQ(p.disallowed_apps, std::vector<std::wstring>{L"DNSCACHE"});
    p.set_disallowed_ips("10.0.0.0/8");
    p.set_disallowed_ips("172.16.0.0/12");
    EXPECT_EQ(p.disallowed_ips, parse_prefix_list("172.16.0.0/12"));
}

struct proxy_case
{
    const char* name;
    std::string_view text;
};

const proxy_case proxy_cases[] = {
    {"ipv4", "127.0.0.1:1080"},
    {"ipv6", "[::1]:1080"},
    {"name", "localhost:1080"},
    {"unresolved", "proxy.invalid:1080"},
    {"no_port", "127.0.0.1"},
};

class socks5_proxy : public ::testing::TestWithParam<proxy_case>
{};

TEST_P(socks5_proxy, appends_host_prefixes_after_disallowed_ips)
{
    wg_peer_config p;
    p.set_disallowed_ips("10.0.0.0/8, fd00::/8");
    p.socks5_proxy = resolve_endpoint("192.0.2.1:1"); // replaced, not extended
    const std::vector<ip_subnet> before = p.disallowed_ips;

    p.set_socks5_proxy(GetParam().text);
    EXPECT_EQ(p.socks5_proxy, resolve_endpoint(GetParam().text));
    std::vector<ip_subnet> expected = before;
    for (const ip_endpoint& e : p.socks5_proxy)
        expected.push_back(host_prefix(e));
    EXPECT_EQ(p.disallowed_ips, expected);
}

INSTANTIATE_TEST_SUITE_P(wg_config, socks5_proxy, ::testing::ValuesIn(proxy_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(wg_config, socks5_proxy_prefix_is_a_host_prefix)
{
    wg_peer_config p;
    p.set_socks5_proxy("127.0.0.1:1080");
    p.set_socks5_proxy("[::1]:1080");
    ASSERT_EQ(p.disallowed_ips.size(), 2u);
    const auto& v4 = p.disallowed_ips[0].require_ipv4();
    EXPECT_EQ(v4.address, (std::array<std::uint8_t, 4>{127, 0, 0, 1}));
    EXPECT_EQ(v4.mask, (std::array<std::uint8_t, 4>{255, 255, 255, 255}));
    const auto& v6 = p.disallowed_ips[1].require_ipv6();
    EXPECT_EQ(v6.address[15], 1);
    for (const std::uint8_t b : v6.mask)
        EXPECT_EQ(b, 0xFF);
    ASSERT_EQ(p.socks5_proxy.size(), 1u);
    EXPECT_EQ(p.socks5_proxy[0].family, family_ipv6);
}
} // namespace
