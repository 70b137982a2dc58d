// The configuration record that tdl_create_tunnel builds from the caller's records.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "socks5_test_support.h"
#include "config/address_parsers.h"
#include "manager_test_support.h"
#include "tunnel_records.h"

namespace
{
using manager_test::PrintTo;
using wireguard::config_from_records;
using wireguard::wg_config;

const auto winsock = ::testing::AddGlobalTestEnvironment(new socks5_test::winsock_environment);

wireguard::ip_endpoint endpoint(const std::string& text)
{
    const auto list = wireguard::resolve_endpoint(text);
    EXPECT_EQ(list.size(), 1u) << text;
    return list.empty() ? wireguard::ip_endpoint{} : list.front();
}

struct records {
    wg_interface_params interface_params{"k-private", "10.8.0.2/24", nullptr};
    wg_peer_params peer_params{"k-public", nullptr, "0.0.0.0/0", "127.0.0.1:51820", 0};
    wg_extra_params extra_params{nullptr, nullptr, nullptr};
    bool with_extra = false;

    std::optional<wg_config> build() const
    {
        return config_from_records(&interface_params, &peer_params, with_extra ? &extra_params : nullptr);
    }
};

// ---- what each member becomes ------------------------------------------------------------------

struct record_case {
    const char* name;
    std::function<void(records&)> change;
    std::function<void(const wg_config&)> check;
};

const record_case record_cases[] = {
    {"defaults", [](records&) {},
     [](const wg_config& c) {
         EXPECT_EQ(c.interface_config.mtu, 0);
         EXPECT_EQ(c.interface_config.private_key, "k-private");
         EXPECT_EQ(c.interface_config.address, wireguard::parse_prefix_list("10.8.0.2/24"));
         EXPECT_TRUE(c.interface_config.dns.empty());
         EXPECT_FALSE(c.interface_config.enable_default_gateway);
         EXPECT_EQ(c.peer_config.public_key, "k-public");
         EXPECT_FALSE(c.peer_config.preshared_key.has_value());
         EXPECT_EQ(c.peer_config.allowed_ips, wireguard::parse_prefix_list("0.0.0.0/0"));
         EXPECT_EQ(c.peer_config.endpoint, std::vector{endpoint("127.0.0.1:51820")});
         EXPECT_EQ(c.peer_config.persistent_keepalive, 25);
         EXPECT_TRUE(c.peer_config.allowed_apps.empty());
         EXPECT_TRUE(c.peer_config.disallowed_apps.empty());
         EXPECT_TRUE(c.peer_config.disallowed_ips.empty());
         EXPECT_TRUE(c.peer_config.socks5_proxy.empty());
         EXPECT_FALSE(c.peer_config.socks5_username.has_value());
         EXPECT_FALSE(c.peer_config.socks5_password.has_value());
     }},
    {"dns_parsed_as_an_address_list", [](records& r) { r.interface_params.dns = "10.8.0.1, fd00::1,bogus"; },
     [](const wg_config& c) { EXPECT_EQ(c.interface_config.dns, wireguard::parse_ip_list("10.8.0.1,fd00::1")); }},
    {"invalid_address_items_dropped", [](records& r) { r.interface_params.address = "10.8.0.2/24,nonsense,fd00::2/64"; },
     [](const wg_config& c) {
         EXPECT_EQ(c.interface_config.address, wireguard::parse_prefix_list("10.8.0.2/24,fd00::2/64"));
     }},
    {"preshared_key_given", [](records& r) { r.peer_params.preshared_key = "k-psk"; },
     [](const wg_config& c) { EXPECT_EQ(c.peer_config.preshared_key, std::optional<std::string>("k-psk")); }},
    {"empty_preshared_key_is_none", [](records& r) { r.peer_params.preshared_key = ""; },
     [](const wg_config& c) { EXPECT_FALSE(c.peer_config.preshared_key.has_value()); }},
    {"keep_alive_0_keeps_25", [](records& r) { r.peer_params.persistent_keepalive = 0; },
     [](const wg_config& c) { EXPECT_EQ(c.peer_config.persistent_keepalive, 25); }},
    {"keep_alive_15", [](records& r) { r.peer_params.persistent_keepalive = 15; },
     [](const wg_config& c) { EXPECT_EQ(c.peer_config.persistent_keepalive, 15); }},
    {"keep_alive_65535", [](records& r) { r.peer_params.persistent_keepalive = 65535; },
     [](const wg_config& c) { EXPECT_EQ(c.peer_config.persistent_keepalive, 65535); }},
    {"keep_alive_above_16_bits_clamped", [](records& r) { r.peer_params.persistent_keepalive = 65536; },
     [](const wg_config& c) { EXPECT_EQ(c.peer_config.persistent_keepalive, 65535); }},
    {"keep_alive_max_clamped", [](records& r) { r.peer_params.persistent_keepalive = INT32_MAX; },
     [](const wg_config& c) { EXPECT_EQ(c.peer_config.persistent_keepalive, 65535); }},
    {"negative_keep_alive_is_off", [](records& r) { r.peer_params.persistent_keepalive = -1; },
     [](const wg_config& c) { EXPECT_EQ(c.peer_config.persistent_keepalive, 0); }},
    {"most_negative_keep_alive_is_off", [](records& r) { r.peer_params.persistent_keepalive = INT32_MIN; },
     [](const wg_config& c) { EXPECT_EQ(c.peer_config.persistent_keepalive, 0); }},
    {"extra_all_null_changes_nothing", [](records& r) { r.with_extra = true; },
     [](const wg_config& c) {
         EXPECT_TRUE(c.peer_config.allowed_apps.empty());
         EXPECT_TRUE(c.peer_config.disallowed_ips.empty());
         EXPECT_TRUE(c.peer_config.socks5_proxy.empty());
     }},
    {"allowed_apps_upper_cased",
     [](records& r) {
         r.with_extra = true;
         r.extra_params.allowed_apps = L"chrome.exe, C:\\Program Files\\Firefox\\,,putty";
     },
     [](const wg_config& c) {
         EXPECT_EQ(c.peer_config.allowed_apps,
                   (std::vector<std::wstring>{L"CHROME.EXE", L"C:\\PROGRAM FILES\\FIREFOX\\", L"PUTTY"}));
     }},
    {"disallowed_ips_replace_the_list",
     [](records& r) {
         r.with_extra = true;
         r.extra_params.disallowed_ips = "192.168.0.0/16,fd00::/8";
     },
     [](const wg_config& c) {
         EXPECT_EQ(c.peer_config.disallowed_ips, wireguard::parse_prefix_list("192.168.0.0/16,fd00::/8"));
     }},
    {"socks5_proxy_prefixes_follow_disallowed_ips",
     [](records& r) {
         r.with_extra = true;
         r.extra_params.disallowed_ips = "192.168.0.0/16";
         r.extra_params.socks5_proxy = "127.0.0.3:1080";
     },
     [](const wg_config& c) {
         EXPECT_EQ(c.peer_config.socks5_proxy, std::vector{endpoint("127.0.0.3:1080")});
         EXPECT_EQ(c.peer_config.disallowed_ips, wireguard::parse_prefix_list("192.168.0.0/16,127.0.0.3/32"));
     }},
    {"socks5_proxy_alone",
     [](records& r) {
         r.with_extra = true;
         r.extra_params.socks5_proxy = "[fd00::3]:1080";
     },
     [](const wg_config& c) {
         EXPECT_EQ(c.peer_config.socks5_proxy, std::vector{endpoint("[fd00::3]:1080")});
         EXPECT_EQ(c.peer_config.disallowed_ips, wireguard::parse_prefix_list("fd00::3/128"));
     }},
};

class record_members : public ::testing::TestWithParam<record_case>
{
};

TEST_P(record_members, become_the_configuration)
{
    records r;
    GetParam().change(r);
    const auto c = r.build();
    ASSERT_TRUE(c.has_value());
    GetParam().check(*c);
}

INSTANTIATE_TEST_SUITE_P(config_from_records, record_members, ::testing::ValuesIn(record_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- refused records ---------------------------------------------------------------------------

struct refusal_case {
    const char* name;
    std::function<void(records&)> change;
};

const refusal_case refusal_cases[] = {
    {"null_private_key", [](records& r) { r.interface_params.private_key = nullptr; }},
    {"null_address", [](records& r) { r.interface_params.address = nullptr; }},
    {"null_public_key", [](records& r) { r.peer_params.public_key = nullptr; }},
    {"null_allowed_ips", [](records& r) { r.peer_params.allowed_ips = nullptr; }},
    {"null_endpoint", [](records& r) { r.peer_params.endpoint = nullptr; }},
    {"endpoint_without_port", [](records& r) { r.peer_params.endpoint = "127.0.0.1"; }},
    {"endpoint_not_an_address", [](records& r) { r.peer_params.endpoint = "no-such-host.invalid:51820"; }},
    {"empty_endpoint", [](records& r) { r.peer_params.endpoint = ""; }},
};

class refused_records : public ::testing::TestWithParam<refusal_case>
{
};

TEST_P(refused_records, give_no_configuration)
{
    records r;
    GetParam().change(r);
    EXPECT_FALSE(r.build().has_value());
}

INSTANTIATE_TEST_SUITE_P(config_from_records, refused_records, ::testing::ValuesIn(refusal_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(config_from_records, null_interface_or_peer_record_gives_nothing)
{
    records r;
    EXPECT_FALSE(config_from_records(nullptr, &r.peer_params, nullptr).has_value());
    EXPECT_FALSE(config_from_records(&r.interface_params, nullptr, nullptr).has_value());
    EXPECT_FALSE(config_from_records(nullptr, nullptr, &r.extra_params).has_value());
}

TEST(config_from_records, a_null_extra_record_is_the_same_as_an_empty_one)
{
    records a;
    records b;
    b.with_extra = true;
    const auto ca = a.build();
    const auto cb = b.build();
    ASSERT_TRUE(ca && cb);
    EXPECT_EQ(ca->peer_config.allowed_apps, cb->peer_config.allowed_apps);
    EXPECT_EQ(ca->peer_config.disallowed_ips, cb->peer_config.disallowed_ips);
    EXPECT_EQ(ca->peer_config.socks5_proxy, cb->peer_config.socks5_proxy);
    EXPECT_EQ(ca->peer_config.endpoint, cb->peer_config.endpoint);
}

// ---- the interface's records -------------------------------------------------------------------

TEST(exported_records, layout_of_the_interface)
{
    EXPECT_EQ(sizeof(tunnel_state), 32u);
    EXPECT_EQ(offsetof(tunnel_state, time_since_last_handshake), 0u);
    EXPECT_EQ(offsetof(tunnel_state, tx_bytes), 8u);
    EXPECT_EQ(offsetof(tunnel_state, rx_bytes), 16u);
    EXPECT_EQ(offsetof(tunnel_state, estimated_loss), 24u);
    EXPECT_EQ(offsetof(tunnel_state, estimated_rtt), 28u);
    EXPECT_EQ(sizeof(wg_interface_params), 24u);
    EXPECT_EQ(offsetof(wg_interface_params, private_key), 0u);
    EXPECT_EQ(offsetof(wg_interface_params, address), 8u);
    EXPECT_EQ(offsetof(wg_interface_params, dns), 16u);
    EXPECT_EQ(sizeof(wg_peer_params), 40u);
    EXPECT_EQ(offsetof(wg_peer_params, public_key), 0u);
    EXPECT_EQ(offsetof(wg_peer_params, preshared_key), 8u);
    EXPECT_EQ(offsetof(wg_peer_params, allowed_ips), 16u);
    EXPECT_EQ(offsetof(wg_peer_params, endpoint), 24u);
    EXPECT_EQ(offsetof(wg_peer_params, persistent_keepalive), 32u);
    EXPECT_EQ(sizeof(wg_extra_params), 24u);
    EXPECT_EQ(offsetof(wg_extra_params, allowed_apps), 0u);
    EXPECT_EQ(offsetof(wg_extra_params, disallowed_ips), 8u);
    EXPECT_EQ(offsetof(wg_extra_params, socks5_proxy), 16u);
    EXPECT_EQ(sizeof(bool), 1u);
}

TEST(keep_alive_interval, clamped_to_16_bits)
{
    EXPECT_EQ(wireguard::keep_alive_interval(0), 0);
    EXPECT_EQ(wireguard::keep_alive_interval(25), 25);
    EXPECT_EQ(wireguard::keep_alive_interval(65535), 65535);
    EXPECT_EQ(wireguard::keep_alive_interval(65536), 65535);
    EXPECT_EQ(wireguard::keep_alive_interval(INT32_MAX), 65535);
    EXPECT_EQ(wireguard::keep_alive_interval(-1), 0);
    EXPECT_EQ(wireguard::keep_alive_interval(INT32_MIN), 0);
}
} // namespace
