#include <gtest/gtest.h>

#include <cstring>

#include "parse_config.h"
#include "test_support.h"

using namespace wireguard;
using config_test::capture_line;
using config_test::logged_lines;
using config_test::temp_file;

namespace
{
using config_test::PrintTo;

const std::string interface_head = "[Interface]\nPrivateKey = cHJpdmF0ZQ==\nAddress = 10.0.0.2/32\n";
const std::string peer_head =
    "[Peer]\nPublicKey = cHVibGlj\nAllowedIPs = 0.0.0.0/0\nEndpoint = 192.0.2.1:51820\n";
const std::string valid = interface_head + peer_head;

struct parsed
{
    std::optional<wg_config> config;
    std::vector<std::string> lines;
};

parsed parse(const std::string& text, std::uint32_t level = 2)
{
    const temp_file file(text);
    logged_lines().clear();
    const auto ini = config_ini::load_config_file_w(file.wide_path(), capture_line, level);
    parsed result;
    result.config = parse_config(ini);
    result.lines = logged_lines();
    return result;
}

ip_subnet v4(std::array<std::uint8_t, 4> address, std::array<std::uint8_t, 4> mask)
{
    return ip_subnet{ipv4_subnet{address, mask}, family_ipv4};
}

// ---------------------------------------------------------------------------
struct presence_case
{
    const char* name;
    std::string text;
    const char* message; // null: the parse succeeds without a line
};

const presence_case presence_cases[] = {
    {"complete", valid, nullptr},
    {"empty_file", "", "Interface section is not present!"},
    {"no_interface", peer_head, "Interface section is not present!"},
    {"interface_header_without_keys", "[Interface]\n" + peer_head, "Interface section is not present!"},
    {"no_peer_even_with_interface_keys_missing", "[Interface]\nMTU = 1\n", "Peer section is not present!"},
    {"lower_case_peer", interface_head + "[peer]\nPublicKey = a\nAllowedIPs = 0.0.0.0/0\nEndpoint = 1.1.1.1:1\n",
     "Peer section is not present!"},
    {"peer_with_blanks_in_brackets",
     interface_head + "[ Peer ]\nPublicKey = a\nAllowedIPs = 0.0.0.0/0\nEndpoint = 1.1.1.1:1\n",
     "Peer section is not present!"},
    {"no_private_key_nor_address", "[Interface]\nMTU = 1\n" + peer_head,
     "[Interface].PrivateKey is not present!"},
    {"no_address", "[Interface]\nPrivateKey = a\n" + peer_head, "[Interface].Address is not present!"},
    {"no_public_key", interface_head + "[Peer]\nAllowedIPs = 0.0.0.0/0\nEndpoint = 1.1.1.1:1\n",
     "[Peer].PublicKey is not present!"},
    {"no_allowed_ips_nor_endpoint", interface_head + "[Peer]\nPublicKey = a\n",
     "[Peer].AllowedIPs is not present!"},
    {"no_endpoint", interface_head + "[Peer]\nPublicKey = a\nAllowedIPs = 0.0.0.0/0\n",
     "[Peer].Endpoint is not present!"},
    {"key_in_wrong_section", "[Interface]\nPrivateKey = a\n[Peer]\nAddress = 10.0.0.2/32\nPublicKey = b\n",
     "[Interface].Address is not present!"},
    {"keys_are_case_sensitive", "[Interface]\nprivatekey = a\nAddress = 1.1.1.1\n" + peer_head,
     "[Interface].PrivateKey is not present!"},
    {"keys_before_first_header_not_used", "PrivateKey = a\n[Interface]\nAddress = 1.1.1.1\n" + peer_head,
     "[Interface].PrivateKey is not present!"},
    {"endpoint_without_colon", interface_head + "[Peer]\nPublicKey = a\nAllowedIPs = 0.0.0.0/0\nEndpoint = 192.0.2.1\n",
     "[Peer].Endpoint is either invalid of failed to resolve!"},
    {"endpoint_port_above_65535",
     interface_head + "[Peer]\nPublicKey = a\nAllowedIPs = 0.0.0.0/0\nEndpoint = 192.0.2.1:65536\n",
     "[Peer].Endpoint is either invalid of failed to resolve!"},
    {"endpoint_not_resolving",
     interface_head + "[Peer]\nPublicKey = a\nAllowedIPs = 0.0.0.0/0\nEndpoint = vpn.invalid:51820\n",
     "[Peer].Endpoint is either invalid of failed to resolve!"},
    {"empty_endpoint_present_but_invalid",
     interface_head + "[Peer]\nPublicKey = a\nAllowedIPs = 0.0.0.0/0\nEndpoint =\n",
     "[Peer].Endpoint is either invalid of failed to resolve!"},
    {"empty_values_pass_presence", "[Interface]\nPrivateKey =\nAddress =\n[Peer]\nPublicKey =\nAllowedIPs =\n"
                                   "Endpoint = 192.0.2.1:1\n", nullptr},
    {"byte_order_mark", "\xEF\xBB\xBF" + valid, nullptr},
    {"crlf", "[Interface]\r\nPrivateKey = a\r\nAddress = 10.0.0.2/32\r\n[Peer]\r\nPublicKey = b\r\n"
             "AllowedIPs = 0.0.0.0/0\r\nEndpoint = 192.0.2.1:51820\r\n", nullptr},
};

class presence_checks : public ::testing::TestWithParam<presence_case>
{};

TEST_P(presence_checks, report_the_first_missing_entry_only)
{
    const auto result = parse(GetParam().text);
    if (GetParam().message) {
        EXPECT_FALSE(result.config.has_value());
        EXPECT_EQ(result.lines, std::vector<std::string>{GetParam().message});
    } else {
        EXPECT_TRUE(result.config.has_value());
        EXPECT_TRUE(result.lines.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(parse_config, presence_checks, ::testing::ValuesIn(presence_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(parse_config, messages_need_level_two)
{
    for (std::uint32_t level = 0; level <= 3; ++level) {
        const auto missing = parse("[Interface]\n", level);
        EXPECT_FALSE(missing.config.has_value());
        EXPECT_EQ(missing.lines.size(), level >= 2 ? 1u : 0u) << "level " << level;
    }
}

TEST(parse_config, missing_file_gives_two_lines)
{
    logged_lines().clear();
    const auto ini = config_ini::load_config_file_w(L"C:\\no-such-folder\\x.conf", capture_line, 2);
    EXPECT_FALSE(parse_config(ini).has_value());
    EXPECT_EQ(logged_lines(), (std::vector<std::string>{"failed to open the configuration file!",
                                                         "Interface section is not present!"}));
}

// ---------------------------------------------------------------------------
struct mtu_case
{
    const char* name;
    const char* line; // null: no MTU key
    std::optional<std::uint16_t> mtu; // empty: the parse fails
    const char* message;
};

const mtu_case mtu_cases[] = {
    {"absent", nullptr, 0, nullptr},
    {"plain", "MTU = 1280", 1280, nullptr},
    {"word_after_number", "MTU = 1280 bytes", 1280, nullptr},
    {"letters_after_digits", "MTU = 1420abc", 1420, nullptr},
    {"plus_sign", "MTU = +1380", 1380, nullptr},
    {"zero", "MTU = 0", 0, nullptr},
    {"minus_zero", "MTU = -0", 0, nullptr},
    {"largest", "MTU = 65535", 65535, nullptr},
    {"leading_zeros", "MTU = 0001280", 1280, nullptr},
    {"one_above", "MTU = 65536", std::nullopt, "[Interface].MTU is out of range (0 to 65535)!"},
    {"would_wrap_to_1280", "MTU = 66816", std::nullopt, "[Interface].MTU is out of range (0 to 65535)!"},
    {"negative", "MTU = -1", std::nullopt, "[Interface].MTU is out of range (0 to 65535)!"},
    {"above_32_bits", "MTU = 99999999999999999999", std::nullopt, "[Interface].MTU is out of range (0 to 65535)!"},
    {"word", "MTU = auto", std::nullopt, "[Interface].MTU is not a number!"},
    {"empty", "MTU =", std::nullopt, "[Interface].MTU is not a number!"},
    {"sign_only", "MTU = -", std::nullopt, "[Interface].MTU is not a number!"},
    {"hexadecimal", "MTU = 0x500", 0, nullptr},
};

class mtu_values : public ::testing::TestWithParam<mtu_case>
{};

TEST_P(mtu_values, convert_or_fail)
{
    std::string text = interface_head;
    if (GetParam().line)
        text += std::string(GetParam().line) + "\n";
    const auto result = parse(text + peer_head);
    if (GetParam().mtu) {
        ASSERT_TRUE(result.config.has_value());
        EXPECT_EQ(result.config->interface_config.mtu, *GetParam().mtu);
        EXPECT_TRUE(result.lines.empty());
    } else {
        EXPECT_FALSE(result.config.has_value());
        EXPECT_EQ(result.lines, std::vector<std::string>{GetParam().message});
    }
}

INSTANTIATE_TEST_SUITE_P(parse_config, mtu_values, ::testing::ValuesIn(mtu_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
struct keepalive_case
{
    const char* name;
    const char* line;
    std::int32_t seconds;
};

const keepalive_case keepalive_cases[] = {
    {"absent", nullptr, 25},
    {"zero", "PersistentKeepalive = 0", 0},
    {"plain", "PersistentKeepalive = 15", 15},
    {"letter_after_digits", "PersistentKeepalive = 15s", 15},
    {"largest_usable", "PersistentKeepalive = 65535", 65535},
    {"above_16_bits_keeps_default", "PersistentKeepalive = 65536", 25},
    {"above_signed_32_bits_keeps_default", "PersistentKeepalive = 4294967295", 25},
    {"above_32_bits_keeps_default", "PersistentKeepalive = 4294967296", 25},
    {"starts_with_letter", "PersistentKeepalive = off", 25},
    {"minus_sign", "PersistentKeepalive = -5", 25},
    {"empty", "PersistentKeepalive =", 25},
};

class keepalive_values : public ::testing::TestWithParam<keepalive_case>
{};

TEST_P(keepalive_values, convert_or_keep_the_default)
{
    std::string text = valid;
    if (GetParam().line)
        text += std::string(GetParam().line) + "\n";
    const auto result = parse(text);
    ASSERT_TRUE(result.config.has_value());
    EXPECT_EQ(result.config->peer_config.persistent_keepalive, GetParam().seconds);
    EXPECT_TRUE(result.lines.empty());
}

INSTANTIATE_TEST_SUITE_P(parse_config, keepalive_values, ::testing::ValuesIn(keepalive_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
struct gateway_case
{
    const char* value;
    bool enabled;
};

TEST(parse_config, enable_default_gateway_only_for_exact_true)
{
    const gateway_case cases[] = {{"true", true}, {"True", false}, {"TRUE", false},
                                  {"1", false},   {"yes", false},  {"true false", false},
                                  {"", false}};
    for (const auto& c : cases) {
        const auto result =
            parse(interface_head + "EnableDefaultGateway = " + c.value + "\n" + peer_head);
        ASSERT_TRUE(result.config.has_value()) << c.value;
        EXPECT_EQ(result.config->interface_config.enable_default_gateway, c.enabled) << c.value;
    }
    EXPECT_FALSE(parse(valid).config->interface_config.enable_default_gateway);
}

TEST(parse_config, complete_file_fills_every_field)
{
    const auto result = parse(
        "; a client configuration\n"
        "[Interface]\n"
        "PrivateKey = yAnz5TF+lXXJte14tji3zlMNq+hd2rYUIgJBgB3fBmk=\n"
        "Address = 10.8.0.2/24, fd00::2/64, nonsense\n"
        "DNS = 10.8.0.1, fd00::1\n"
        "MTU = 1380\n"
        "EnableDefaultGateway = true\n"
        "Unknown = ignored\n"
        "\n"
        "[Peer]\n"
        "PublicKey = xTIBA5rboUvnH4htodjb6e697QjLERt1NAB4mZqp8Dg=\n"
        "PresharedKey = /UwcSPg38hW/D9Y3tcS1FOV0K1wuURMbS0sesJEP5ak=\n"
        "AllowedIPs = 0.0.0.0/0, ::/0\n"
        "Endpoint = [2001:db8::1]:51820\n"
        "PersistentKeepalive = 10\n"
        "AllowedApps = chrome.exe, c:\\tools\\\n"
        "DisallowedApps = svchost.exe -k Dnscache,\n"
        "DisallowedIPs = 192.168.0.0/16, 10.0.0.0/8\n"
        "Socks5Proxy = 127.0.0.1:1080\n"
        "Socks5ProxyUsername = user\n"
        "Socks5ProxyPassword = p@ss=word\n");
    ASSERT_TRUE(result.config.has_value());
    EXPECT_TRUE(result.lines.empty());
    const wg_interface_config& i = result.config->interface_config;
    const wg_peer_config& p = result.config->peer_config;

    EXPECT_EQ(i.private_key, "yAnz5TF+lXXJte14tji3zlMNq+hd2rYUIgJBgB3fBmk=");
    EXPECT_EQ(i.mtu, 1380);
    EXPECT_TRUE(i.enable_default_gateway);
    ASSERT_EQ(i.address.size(), 2u);
    EXPECT_EQ(i.address[0], v4({10, 8, 0, 2}, {255, 255, 255, 0}));
    EXPECT_EQ(i.address[1].family, family_ipv6);
    ASSERT_EQ(i.dns.size(), 2u);
    EXPECT_EQ(i.dns[0].family, family_ipv4);
    EXPECT_EQ(i.dns[0].address[3], 1);
    EXPECT_EQ(i.dns[1].family, family_ipv6);

    EXPECT_EQ(p.public_key, "xTIBA5rboUvnH4htodjb6e697QjLERt1NAB4mZqp8Dg=");
    EXPECT_EQ(p.preshared_key, std::optional<std::string>("/UwcSPg38hW/D9Y3tcS1FOV0K1wuURMbS0sesJEP5ak="));
    ASSERT_EQ(p.allowed_ips.size(), 2u);
    ASSERT_EQ(p.endpoint.size(), 1u);
    EXPECT_EQ(p.endpoint[0].family, family_ipv6);
    EXPECT_EQ(p.endpoint[0].port, 51820);
    EXPECT_EQ(p.endpoint[0].address[0], 0x20);
    EXPECT_EQ(p.endpoint[0].address[15], 1);
    EXPECT_EQ(p.persistent_keepalive, 10);
    EXPECT_EQ(p.allowed_apps, (std::vector<std::wstring>{L"CHROME.EXE", L"C:\\TOOLS\\"}));
    EXPECT_EQ(p.disallowed_apps, (std::vector<std::wstring>{L"SVCHOST.EXE -K DNSCACHE"}));
    // The proxy's host prefix follows the DisallowedIPs items.
    EXPECT_EQ(p.disallowed_ips,
              (std::vector<ip_subnet>{v4({192, 168, 0, 0}, {255, 255, 0, 0}), v4({10, 0, 0, 0}, {255, 0, 0, 0}),
                                      v4({127, 0, 0, 1}, {255, 255, 255, 255})}));
    ASSERT_EQ(p.socks5_proxy.size(), 1u);
    EXPECT_EQ(p.socks5_proxy[0].port, 1080);
    EXPECT_EQ(p.socks5_username, std::optional<std::string>("user"));
    EXPECT_EQ(p.socks5_password, std::optional<std::string>("p@ss=word"));
}

TEST(parse_config, optional_keys_absent_give_defaults)
{
    const auto result = parse(valid);
    ASSERT_TRUE(result.config.has_value());
    const wg_interface_config& i = result.config->interface_config;
    const wg_peer_config& p = result.config->peer_config;
    EXPECT_EQ(i.mtu, 0);
    EXPECT_TRUE(i.dns.empty());
    EXPECT_FALSE(i.enable_default_gateway);
    EXPECT_FALSE(p.preshared_key.has_value());
    EXPECT_EQ(p.persistent_keepalive, 25);
    EXPECT_TRUE(p.allowed_apps.empty());
    EXPECT_TRUE(p.disallowed_apps.empty());
    EXPECT_TRUE(p.disallowed_ips.empty());
    EXPECT_TRUE(p.socks5_proxy.empty());
    EXPECT_FALSE(p.socks5_username.has_value());
    EXPECT_FALSE(p.socks5_password.has_value());
}

TEST(parse_config, empty_preshared_key_is_engaged_and_empty)
{
    const auto result = parse(valid + "PresharedKey =\n");
    ASSERT_TRUE(result.config.has_value());
    EXPECT_EQ(result.config->peer_config.preshared_key, std::optional<std::string>(""));
}

TEST(parse_config, invalid_prefix_items_leave_an_empty_list_and_pass)
{
    const auto result = parse("[Interface]\nPrivateKey = a\nAddress = gateway.example\n[Peer]\nPublicKey = b\n"
                              "AllowedIPs = 10.0.0.0/33\nEndpoint = 192.0.2.1:1\n");
    ASSERT_TRUE(result.config.has_value());
    EXPECT_TRUE(result.config->interface_config.address.empty());
    EXPECT_TRUE(result.config->peer_config.allowed_ips.empty());
}

TEST(parse_config, empty_application_names_are_dropped)
{
    const auto result = parse(valid + "AllowedApps = ,a.exe,, \nDisallowedApps =\n");
    ASSERT_TRUE(result.config.has_value());
    EXPECT_EQ(result.config->peer_config.allowed_apps, std::vector<std::wstring>{L"A.EXE"});
    EXPECT_TRUE(result.config->peer_config.disallowed_apps.empty());
}

TEST(parse_config, unresolved_socks5_proxy_is_no_failure)
{
    const auto result = parse(valid + "DisallowedIPs = 10.0.0.0/8\nSocks5Proxy = proxy.invalid:1080\n");
    ASSERT_TRUE(result.config.has_value());
    EXPECT_TRUE(result.lines.empty());
    EXPECT_TRUE(result.config->peer_config.socks5_proxy.empty());
    EXPECT_EQ(result.config->peer_config.disallowed_ips,
              std::vector<ip_subnet>{v4({10, 0, 0, 0}, {255, 0, 0, 0})});
}

TEST(parse_config, socks5_prefixes_follow_disallowed_ips_whatever_the_line_order)
{
    const auto result = parse(valid + "Socks5Proxy = 192.0.2.9:1080\nDisallowedIPs = 10.0.0.0/8\n");
    ASSERT_TRUE(result.config.has_value());
    EXPECT_EQ(result.config->peer_config.disallowed_ips,
              (std::vector<ip_subnet>{v4({10, 0, 0, 0}, {255, 0, 0, 0}),
                                      v4({192, 0, 2, 9}, {255, 255, 255, 255})}));
}

TEST(parse_config, repeated_peer_block_adds_only_new_keys)
{
    const auto result = parse(valid + "[Peer]\nPublicKey = other\nPersistentKeepalive = 7\n");
    ASSERT_TRUE(result.config.has_value());
    EXPECT_EQ(result.config->peer_config.public_key, "cHVibGlj");
    EXPECT_EQ(result.config->peer_config.persistent_keepalive, 7);
}

TEST(parse_config, localhost_endpoint_resolves)
{
    const auto result = parse(interface_head + "[Peer]\nPublicKey = a\nAllowedIPs = 0.0.0.0/0\nEndpoint = localhost:51820\n");
    ASSERT_TRUE(result.config.has_value());
    ASSERT_FALSE(result.config->peer_config.endpoint.empty());
    EXPECT_EQ(result.config->peer_config.endpoint[0].port, 51820);
}
} // namespace
