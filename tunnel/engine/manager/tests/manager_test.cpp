// The tunnel manager of the single-adapter family, on managers of their own (not the
// family's singleton): the tunnel built from a configuration step by step, creates
// refused and failing, the file path, log levels, start with its one registration,
// stop, drop, the queries, the exit-time release, and the classifier reading the
// manager's fields.
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "packet_builder.h"
#include "classify_packet.h"
#include "config/address_parsers.h"
#include "manager_test_support.h"
#include "netaccess/platform.h"
#include "wg_dual_tunnel.h"

namespace
{
using namespace manager_test;
using namespace std::chrono_literals;
using fn = simhost::iphelper_function;

class manager : public manager_host_test
{
protected:
    tdl_manager& make(std::uint32_t level = 3, bool capture = false)
    {
        m = std::make_unique<tdl_manager>(&log_lines::callback, level, capture);
        return *m;
    }
    void drop_all() override
    {
        if (m)
            m->drop_tunnel();
        m.reset();
    }
    // A created tunnel toward the sink, from a record changed by the caller.
    template <class Change>
    bool create_with(Change&& change)
    {
        wireguard::wg_config c = config_record(server_port());
        change(c);
        return m->create_tunnel(std::move(c));
    }
    bool create() { return create_with([](wireguard::wg_config&) {}); }

    std::unique_ptr<tdl_manager> m;
};

std::string server_line(std::uint16_t port)
{
    return "[MGR]: Using WireGuard server: 127.0.0.1 : " + std::to_string(port);
}

// ---- the tunnel from the configuration ------------------------------------------------------

TEST_F(manager, the_first_endpoint_is_the_server)
{
    auto& mgr = make();
    ASSERT_TRUE(create_with([&](wireguard::wg_config& c) {
        const auto second = wireguard::resolve_endpoint("127.0.0.9:4000");
        c.peer_config.endpoint.insert(c.peer_config.endpoint.end(), second.begin(), second.end());
    }));
    EXPECT_EQ(mgr.tunnel->server_endpoint, tunnel_test::ipv4_endpoint(127, 0, 0, 1, server_port()));
    EXPECT_EQ(logs().count(server_line(server_port())), 1u);
    EXPECT_EQ(logs().count_starting("[MGR]: Using WireGuard server: "), 1u) << "later endpoints are not used";
}

TEST_F(manager, a_record_without_endpoint_fails_to_create)
{
    auto& mgr = make();
    EXPECT_FALSE(create_with([](wireguard::wg_config& c) { c.peer_config.endpoint.clear(); }));
    EXPECT_FALSE(mgr.tunnel);
    EXPECT_TRUE(logs().contains(failed_to_initialize));
}

TEST_F(manager, the_last_address_of_each_family_wins)
{
    auto& mgr = make();
    ASSERT_TRUE(create_with([](wireguard::wg_config& c) {
        c.interface_config.address = wireguard::parse_prefix_list("10.8.0.2/24,fd00::2/64,10.9.0.3/16,fd00:1::3/112");
    }));
    const auto& s = mgr.tunnel->address_switching;
    EXPECT_EQ(s.tunnel_ipv4_address, tunnel_test::ipv4(10, 9, 0, 3));
    EXPECT_EQ(s.ipv4_prefix_length, 16);
    EXPECT_EQ(s.tunnel_ipv6_address, tunnel_test::ipv6_bytes("fd00:1::3"));
    EXPECT_EQ(s.ipv6_prefix_length, 112);
}

TEST_F(manager, an_ipv4_address_alone_leaves_the_ipv6_address_empty)
{
    auto& mgr = make();
    ASSERT_TRUE(create());
    const auto& s = mgr.tunnel->address_switching;
    EXPECT_EQ(s.tunnel_ipv4_address, tunnel_test::ipv4(10, 8, 0, 2));
    EXPECT_EQ(s.ipv4_prefix_length, 24);
    EXPECT_FALSE(s.has_ipv6_tunnel_address());
    EXPECT_EQ(s.ipv6_prefix_length, 0);
}

TEST_F(manager, dns_servers_give_one_slot_each_in_order)
{
    auto& mgr = make();
    ASSERT_TRUE(create_with([](wireguard::wg_config& c) { c.interface_config.set_dns("10.8.0.1,fd00::53,10.8.0.9"); }));
    ASSERT_TRUE(mgr.tunnel->dns_configured());
    const auto v4 = mgr.tunnel->dns_redirect_table->slots_v4();
    const auto v6 = mgr.tunnel->dns_redirect_table->slots_v6();
    ASSERT_EQ(v4.size(), 2u);
    EXPECT_EQ(v4[0].server, tunnel_test::ipv4(10, 8, 0, 1));
    EXPECT_EQ(v4[1].server, tunnel_test::ipv4(10, 8, 0, 9));
    ASSERT_EQ(v6.size(), 1u);
    EXPECT_EQ(v6[0].server, tunnel_test::ipv6_bytes("fd00::53"));
    for (const auto& slot : v4)
        EXPECT_TRUE(slot.requests.empty());
}

TEST_F(manager, without_dns_servers_there_is_no_redirection)
{
    auto& mgr = make();
    ASSERT_TRUE(create());
    EXPECT_FALSE(mgr.tunnel->dns_configured());
}

struct mtu_case {
    const char* name;
    std::uint16_t configured;
    std::uint16_t expected;
    bool from_configuration;
};

class manager_mtu : public manager, public ::testing::WithParamInterface<mtu_case>
{
};

TEST_P(manager_mtu, comes_from_the_configuration_when_set)
{
    auto& mgr = make();
    ASSERT_TRUE(create_with([](wireguard::wg_config& c) { c.interface_config.mtu = GetParam().configured; }));
    EXPECT_EQ(mgr.tunnel->mtu, GetParam().expected);
    EXPECT_EQ(mgr.tunnel->mtu_configured, GetParam().from_configuration);
}

const mtu_case mtu_cases[] = {
    {"not_set", 0, 1420, false},
    {"set_1280", 1280, 1280, true},
    {"set_65535", 65535, 65535, true},
};
INSTANTIATE_TEST_SUITE_P(manager, manager_mtu, ::testing::ValuesIn(mtu_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- the SOCKS5 proxy ------------------------------------------------------------------------

struct proxy_case {
    const char* name;
    const char* server;
    const char* proxy;
    bool used;
    const char* line;
};

const proxy_case proxy_cases[] = {
    {"ipv4_proxy_ipv4_server", "127.0.0.1", "127.0.0.3:1080", true,
     "[MGR]: Using SOCKS5 proxy for WireGuard handshake: 127.0.0.3 : 1080"},
    {"ipv6_proxy_ipv4_server", "127.0.0.1", "[fd00::3]:1080", false,
     "[MGR]: SOCKS5 proxy and WireGuard server IP addresses versions differ. SOCKS5 proxy will be ignored."},
    {"ipv4_proxy_ipv6_server", "[fd00::1]", "127.0.0.3:1080", false,
     "[MGR]: SOCKS5 proxy and WireGuard server IP addresses versions differ. SOCKS5 proxy will be ignored."},
    {"ipv6_proxy_ipv6_server", "[fd00::1]", "[fd00::3]:1080", false,
     "[MGR]: SOCKS5 proxy over IPv6 is not supported. SOCKS5 proxy will be ignored."},
};

class manager_proxy : public manager, public ::testing::WithParamInterface<proxy_case>
{
};

TEST_P(manager_proxy, is_used_only_with_the_server_family_and_ipv4)
{
    auto& mgr = make();
    const auto& p = GetParam();
    ASSERT_TRUE(create_with([&](wireguard::wg_config& c) {
        c.peer_config.endpoint = wireguard::resolve_endpoint(std::string(p.server) + ":" + std::to_string(server_port()));
        c.peer_config.set_socks5_proxy(p.proxy);
    }));
    EXPECT_EQ(mgr.tunnel->socks5_proxy_endpoint.has_value(), p.used);
    if (p.used) {
        EXPECT_EQ(*mgr.tunnel->socks5_proxy_endpoint, wireguard::resolve_endpoint(p.proxy).front());
    }
    EXPECT_EQ(logs().count(p.line), 1u) << logs().text();
    EXPECT_EQ(logs().count_starting("[MGR]: Using SOCKS5") + logs().count_starting("[MGR]: SOCKS5 proxy "), 1u);
}

INSTANTIATE_TEST_SUITE_P(manager, manager_proxy, ::testing::ValuesIn(proxy_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(manager, the_proxy_line_is_information_and_the_family_mismatch_an_error)
{
    auto& mgr = make(1);
    ASSERT_TRUE(create_with([](wireguard::wg_config& c) { c.peer_config.set_socks5_proxy("127.0.0.3:1080"); }));
    EXPECT_EQ(logs().count_starting("[MGR]: Using SOCKS5"), 0u) << "information needs level 2";
    ASSERT_TRUE(mgr.drop_tunnel());
    ASSERT_TRUE(create_with([](wireguard::wg_config& c) { c.peer_config.set_socks5_proxy("[fd00::3]:1080"); }));
    EXPECT_EQ(logs().count_starting("[MGR]: SOCKS5 proxy and WireGuard server"), 1u) << "an error shows at level 1";
}

TEST_F(manager, the_socks5_password_never_reaches_the_log)
{
    auto& mgr = make(3);
    const std::string password = "s3cr3t-Pa55";
    ASSERT_TRUE(create_with([&](wireguard::wg_config& c) {
        c.peer_config.set_socks5_proxy("127.0.0.3:1080");
        c.peer_config.socks5_username = "alice";
        c.peer_config.socks5_password = password;
    }));
    EXPECT_EQ(logs().count(std::string("[MGR]: SOCKS5 proxy credentials[username:password]: alice:") +
                           wireguard::masked_password),
              1u)
        << logs().text();
    for (const auto& line : logs().all())
        EXPECT_EQ(line.find(password), std::string::npos) << line;
    EXPECT_EQ(mgr.tunnel->socks5_username, std::optional<std::string>("alice"));
    EXPECT_EQ(mgr.tunnel->socks5_password, std::optional<std::string>(password));
}

TEST_F(manager, an_empty_password_is_masked_the_same_way)
{
    make(3);
    ASSERT_TRUE(create_with([&](wireguard::wg_config& c) {
        c.peer_config.socks5_username = "bob";
        c.peer_config.socks5_password = "";
    }));
    EXPECT_EQ(logs().count(std::string("[MGR]: SOCKS5 proxy credentials[username:password]: bob:") +
                           wireguard::masked_password),
              1u);
}

TEST_F(manager, credentials_need_both_user_name_and_password)
{
    auto& mgr = make(3);
    ASSERT_TRUE(create_with([](wireguard::wg_config& c) { c.peer_config.socks5_username = "alice"; }));
    EXPECT_EQ(logs().count_starting("[MGR]: SOCKS5 proxy credentials"), 0u);
    EXPECT_FALSE(mgr.tunnel->socks5_username.has_value());
    EXPECT_FALSE(mgr.tunnel->socks5_password.has_value());
}

// ---- the DNS client service --------------------------------------------------------------------

TEST_F(manager, a_disallowed_dns_client_service_sets_the_bypass_and_a_later_tunnel_clears_it)
{
    auto& mgr = make(3);
    const std::string line = "[CONFIG]: DNS redirection will be disabled for DNSCACHE.";
    ASSERT_TRUE(create_with([](wireguard::wg_config& c) { c.peer_config.set_disallowed_apps("putty.exe, svchost.exe -k Dnscache"); }));
    EXPECT_TRUE(mgr.dns_cache_bypass.load());
    EXPECT_EQ(logs().count(line), 1u);

    // The next tunnel's configuration does not name the service: its queries are
    // tunnelled again.
    ASSERT_TRUE(mgr.drop_tunnel());
    ASSERT_TRUE(create_with([](wireguard::wg_config& c) { c.peer_config.set_disallowed_apps("putty.exe"); }));
    EXPECT_FALSE(mgr.dns_cache_bypass.load());
    EXPECT_EQ(logs().count(line), 1u);
}

TEST_F(manager, the_dns_client_line_is_debug)
{
    auto& mgr = make(2);
    ASSERT_TRUE(create_with([](wireguard::wg_config& c) { c.peer_config.set_disallowed_apps("DNSCACHE"); }));
    EXPECT_TRUE(mgr.dns_cache_bypass.load());
    EXPECT_EQ(logs().count_starting("[CONFIG]: "), 0u);
}

// ---- failing and refused creates ------------------------------------------------------------------

TEST_F(manager, a_missing_driver_fails_the_create_and_leaves_no_tunnel)
{
    auto& mgr = make(3);
    driver().set_present(false);
    EXPECT_FALSE(create());
    EXPECT_FALSE(mgr.tunnel);
    EXPECT_EQ(engine().live_tunnels(), 0u);
    const auto lines = logs().all();
    const auto reason = std::find(lines.begin(), lines.end(), driver_missing);
    const auto failure = std::find(lines.begin(), lines.end(), failed_to_initialize);
    ASSERT_NE(reason, lines.end()) << logs().text();
    ASSERT_NE(failure, lines.end());
    EXPECT_LT(reason, failure) << "the filter's reason comes first";
    EXPECT_TRUE(mgr.config) << "the record of a failed create stays until the next one";

    // The next create is not refused as if a tunnel existed.
    driver().set_present(true);
    logs().clear();
    EXPECT_TRUE(create());
    EXPECT_FALSE(logs().contains(already_initialized));
    EXPECT_TRUE(mgr.tunnel);
}

TEST_F(manager, a_refused_static_filter_table_fails_the_create_of_the_dual_tunnel)
{
    wireguard::wireguard_manager<wireguard::wg_dual_tunnel> dual(&log_lines::callback, 3, false);
    driver().fail_next(rimcap::ioctl::set_static_filters, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(dual.create_tunnel(config_record(server_port())));
    EXPECT_FALSE(dual.tunnel);
    EXPECT_EQ(engine().live_tunnels(), 0u);
    EXPECT_TRUE(logs().contains("[MGR]: Failed to load the static filter table into the Norvask driver!")) << logs().text();
}

TEST_F(manager, keys_that_the_engine_refuses_fail_the_create)
{
    auto& mgr = make(3);
    EXPECT_FALSE(create_with([](wireguard::wg_config& c) { c.interface_config.private_key = "bad-key"; }));
    EXPECT_FALSE(mgr.tunnel);
    EXPECT_TRUE(logs().contains(failed_to_initialize));
    EXPECT_EQ(engine().live_tunnels(), 0u);
}

TEST_F(manager, a_create_while_a_tunnel_exists_changes_nothing)
{
    auto& mgr = make(3);
    ASSERT_TRUE(create());
    const wireguard::wg_config* config = mgr.config.get();
    const wireguard::wg_tunnel* tunnel = mgr.tunnel.get();

    EXPECT_FALSE(create_with([](wireguard::wg_config& c) { c.interface_config.private_key = "k-other"; }));
    EXPECT_EQ(mgr.config.get(), config);
    EXPECT_EQ(mgr.config->interface_config.private_key, "k-private");
    EXPECT_EQ(mgr.tunnel.get(), tunnel);
    EXPECT_EQ(logs().count(already_initialized), 1u);

    // The file path does not even read the file.
    EXPECT_FALSE(mgr.create_tunnel_from_file(std::string("C:\\no\\such\\file.conf")));
    EXPECT_FALSE(mgr.create_tunnel_from_file(std::wstring(L"C:\\no\\such\\file.conf")));
    EXPECT_EQ(logs().count(already_initialized), 3u);
    EXPECT_FALSE(logs().contains("failed to open the configuration file!"));
    EXPECT_EQ(mgr.config.get(), config);
    EXPECT_EQ(engine().created().size(), 1u);
}

// ---- the file path ------------------------------------------------------------------------------

TEST_F(manager, creates_from_a_narrow_and_a_wide_path)
{
    auto& mgr = make(3);
    temp_file file(config_text(server_port(), "DNS = 10.8.0.1\nMTU = 1300\n", "PresharedKey = k-psk\nPersistentKeepalive = 40\n"));
    ASSERT_TRUE(mgr.create_tunnel_from_file(file.narrow_path())) << logs().text();
    EXPECT_EQ(mgr.tunnel->mtu, 1300);
    EXPECT_TRUE(mgr.tunnel->dns_configured());
    EXPECT_EQ(mgr.config->interface_config.dns, wireguard::parse_ip_list("10.8.0.1"));
    ASSERT_TRUE(mgr.drop_tunnel());
    EXPECT_FALSE(mgr.config);

    ASSERT_TRUE(mgr.create_tunnel_from_file(file.wide_path())) << logs().text();
    const auto created = engine().created();
    ASSERT_EQ(created.size(), 2u);
    for (const auto& c : created) {
        EXPECT_EQ(c.private_key, "k-private");
        EXPECT_EQ(c.public_key, "k-public");
        EXPECT_EQ(c.preshared_key, std::optional<std::string>("k-psk"));
        EXPECT_EQ(c.keep_alive, 40);
    }
    EXPECT_EQ(logs().count(server_line(server_port())), 2u);
}

TEST_F(manager, a_file_that_cannot_be_read_or_parsed_changes_nothing)
{
    auto& mgr = make(3);
    EXPECT_FALSE(mgr.create_tunnel_from_file(std::string("C:\\no\\such\\file.conf")));
    EXPECT_TRUE(logs().contains("failed to open the configuration file!"));
    EXPECT_FALSE(mgr.config);
    EXPECT_FALSE(mgr.tunnel);

    temp_file without_endpoint("[Interface]\nPrivateKey = a\nAddress = 10.8.0.2/24\n[Peer]\nPublicKey = b\nAllowedIPs = 0.0.0.0/0\n");
    EXPECT_FALSE(mgr.create_tunnel_from_file(without_endpoint.wide_path()));
    EXPECT_TRUE(logs().contains("[Peer].Endpoint is not present!"));
    EXPECT_FALSE(mgr.config);
    EXPECT_FALSE(logs().contains(failed_to_initialize)) << "the reader's reason is the only line";
}

TEST_F(manager, the_configuration_reader_logs_at_the_managers_level)
{
    auto& mgr = make(1);
    EXPECT_FALSE(mgr.create_tunnel_from_file(std::string("C:\\no\\such\\file.conf")));
    EXPECT_TRUE(logs().all().empty()) << "reader messages need level 2";
}

// ---- what the engine gets ------------------------------------------------------------------------

struct engine_case {
    const char* name;
    std::optional<std::string> preshared_key;
    std::int32_t keep_alive;
    std::uint16_t expected_keep_alive;
};

const engine_case engine_cases[] = {
    {"no_preshared_key_default_keep_alive", std::nullopt, 25, 25},
    {"preshared_key_keep_alive_off", std::string("k-psk"), 0, 0},
    {"keep_alive_at_the_top", std::nullopt, 65535, 65535},
    {"keep_alive_above_16_bits", std::nullopt, 70000, 65535},
    {"negative_keep_alive", std::nullopt, -3, 0},
};

class manager_engine : public manager, public ::testing::WithParamInterface<engine_case>
{
};

TEST_P(manager_engine, gets_the_keys_and_the_clamped_keep_alive)
{
    make(3);
    ASSERT_TRUE(create_with([](wireguard::wg_config& c) {
        c.peer_config.preshared_key = GetParam().preshared_key;
        c.peer_config.persistent_keepalive = GetParam().keep_alive;
    }));
    const auto created = engine().created();
    ASSERT_EQ(created.size(), 1u);
    EXPECT_EQ(created[0].private_key, "k-private");
    EXPECT_EQ(created[0].public_key, "k-public");
    EXPECT_EQ(created[0].preshared_key, GetParam().preshared_key);
    EXPECT_EQ(created[0].keep_alive, GetParam().expected_keep_alive);
}

INSTANTIATE_TEST_SUITE_P(manager, manager_engine, ::testing::ValuesIn(engine_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- capture files ----------------------------------------------------------------------------------

TEST_F(manager, the_capture_flag_creates_the_four_files_at_once)
{
    const char* names[] = {"lorrivan_enc.pcap", "lorrivan_tun.pcap", "lorrivan_ext.pcap", "lorrivan_lcl.pcap"};
    for (const char* n : names)
        std::filesystem::remove(n);

    make(3, false);
    ASSERT_TRUE(create());
    for (const char* n : names)
        EXPECT_FALSE(std::filesystem::exists(n)) << n;
    drop_all();

    make(3, true);
    ASSERT_TRUE(create());
    for (const char* n : names)
        EXPECT_TRUE(std::filesystem::exists(n)) << n;
    drop_all();
    for (const char* n : names)
        std::filesystem::remove(n);
}

// ---- log levels -----------------------------------------------------------------------------------

TEST_F(manager, level_0_logs_nothing_at_all)
{
    auto& mgr = make(0);
    driver().set_present(false);
    EXPECT_FALSE(create());
    driver().set_present(true);
    EXPECT_FALSE(mgr.start_tunnel());
    EXPECT_FALSE(mgr.stop_tunnel());
    EXPECT_FALSE(mgr.drop_tunnel());
    (void)mgr.get_tunnel_state();
    EXPECT_FALSE(mgr.get_tunnel_active());
    mgr.set_log_level(0);
    ASSERT_TRUE(create());
    EXPECT_FALSE(create());
    EXPECT_TRUE(mgr.start_tunnel());
    mgr.stop_tunnel();
    EXPECT_TRUE(logs().all().empty()) << logs().text();
}

TEST_F(manager, level_1_logs_errors_only_and_level_2_information)
{
    auto& mgr = make(1);
    ASSERT_TRUE(create());
    EXPECT_FALSE(create());
    EXPECT_TRUE(logs().contains(already_initialized));
    EXPECT_FALSE(logs().contains(server_line(server_port())));
    ASSERT_TRUE(mgr.start_tunnel());
    EXPECT_FALSE(logs().contains(has_started));
    mgr.stop_tunnel();
    ASSERT_TRUE(mgr.drop_tunnel());

    logs().clear();
    mgr.set_log_level(2);
    ASSERT_TRUE(create());
    EXPECT_TRUE(logs().contains(server_line(server_port())));
    ASSERT_TRUE(mgr.start_tunnel());
    EXPECT_TRUE(logs().contains(has_started));
}

TEST_F(manager, set_log_level_sets_the_tunnels_level_and_a_negative_level_counts_as_0)
{
    auto& mgr = make(3);
    ASSERT_TRUE(create());
    mgr.set_log_level(2);
    EXPECT_EQ(mgr.log_level.load(), 2u);
    EXPECT_EQ(mgr.tunnel->log_level.load(), 2);
    mgr.set_log_level(-5);
    EXPECT_EQ(mgr.log_level.load(), 0u);
    EXPECT_EQ(mgr.tunnel->log_level.load(), 0);
    mgr.set_log_level(INT_MIN);
    EXPECT_EQ(mgr.log_level.load(), 0u);
    logs().clear();
    EXPECT_FALSE(create());
    EXPECT_TRUE(logs().all().empty());
}

TEST_F(manager, set_log_level_without_a_tunnel_judges_its_line_by_the_new_level)
{
    auto& mgr = make(3);
    mgr.set_log_level(0);
    EXPECT_TRUE(logs().all().empty());
    mgr.set_log_level(1);
    EXPECT_EQ(logs().count(not_initialized), 1u);
}

TEST_F(manager, a_level_beyond_the_tunnels_range_logs_everything)
{
    auto& mgr = make(0xFFFFFFFFu);
    ASSERT_TRUE(create());
    EXPECT_EQ(mgr.tunnel->log_level.load(), INT_MAX);
    EXPECT_TRUE(logs().contains(server_line(server_port())));
}

// ---- without a tunnel ----------------------------------------------------------------------------------

TEST_F(manager, every_operation_without_a_tunnel_fails_with_its_line)
{
    auto& mgr = make(3);
    EXPECT_FALSE(mgr.start_tunnel());
    EXPECT_FALSE(mgr.stop_tunnel());
    EXPECT_FALSE(mgr.get_tunnel_active());
    const tunnel_state state = mgr.get_tunnel_state();
    const std::array<std::uint8_t, 32> zero{};
    EXPECT_EQ(std::memcmp(&state, zero.data(), 32), 0) << "32 zero bytes, time since handshake 0 (not -1)";
    EXPECT_EQ(logs().count(not_initialized), 4u);
    EXPECT_FALSE(mgr.drop_tunnel());
    EXPECT_EQ(logs().count(does_not_exist), 1u);
    EXPECT_EQ(network().call_count(fn::notify_ip_interface_change), 0u);
}

TEST_F(manager, drop_twice)
{
    auto& mgr = make(3);
    ASSERT_TRUE(create());
    EXPECT_TRUE(mgr.drop_tunnel());
    EXPECT_FALSE(mgr.tunnel);
    EXPECT_FALSE(mgr.config);
    EXPECT_FALSE(logs().contains(does_not_exist));
    EXPECT_FALSE(mgr.drop_tunnel());
    EXPECT_EQ(logs().count(does_not_exist), 1u);
}

// ---- start, stop, queries ----------------------------------------------------------------------------------

TEST_F(manager, start_registers_once_per_tunnel)
{
    auto& mgr = make(3);
    ASSERT_TRUE(create());
    ASSERT_TRUE(mgr.start_tunnel()) << logs().text();
    EXPECT_EQ(logs().count(has_started), 1u);
    EXPECT_EQ(mgr.tunnel->run_state.load(), run_states::running);
    const auto registrations = network().calls(fn::notify_ip_interface_change);
    ASSERT_EQ(registrations.size(), 1u);
    const auto& query = std::get<simhost::notify_query>(registrations[0].arguments);
    EXPECT_EQ(query.family, AF_UNSPEC);
    EXPECT_NE(query.context, nullptr);
    EXPECT_NE(query.context, mgr.tunnel.get()) << "the context is the tunnel's token, which outlives no registration";
    EXPECT_FALSE(query.initial_notification);
    EXPECT_NE(mgr.tunnel->notification_handle, nullptr);

    // A second start finds the tunnel running: it runs, and it is not registered again.
    EXPECT_TRUE(mgr.start_tunnel());
    EXPECT_EQ(logs().count(has_started), 2u);
    EXPECT_EQ(network().call_count(fn::notify_ip_interface_change), 1u);
    EXPECT_EQ(network().registration_count(), 1u);

    // Stop cancels the registration; the next start makes a new one.
    EXPECT_TRUE(mgr.stop_tunnel());
    EXPECT_EQ(network().registration_count(), 0u);
    EXPECT_EQ(mgr.tunnel->notification_handle, nullptr);
    EXPECT_EQ(mgr.tunnel->run_state.load(), run_states::stopped);
    EXPECT_TRUE(mgr.start_tunnel());
    EXPECT_EQ(network().call_count(fn::notify_ip_interface_change), 2u);
    EXPECT_EQ(std::get<simhost::notify_query>(network().calls(fn::notify_ip_interface_change)[1].arguments).context,
              query.context);
    EXPECT_EQ(network().registration_count(), 1u);
    EXPECT_FALSE(logs().contains(failed_to_start));
}

TEST_F(manager, a_refused_registration_is_logged_and_the_start_goes_on)
{
    auto& mgr = make(3);
    ASSERT_TRUE(create());
    network().fail_next(fn::notify_ip_interface_change, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_TRUE(mgr.start_tunnel());
    EXPECT_EQ(logs().count(registration_failed), 1u);
    EXPECT_EQ(mgr.tunnel->run_state.load(), run_states::running);
    EXPECT_EQ(mgr.tunnel->notification_handle, nullptr);

    // Without a registration, the stop's cancellation fails and says so.
    EXPECT_TRUE(mgr.stop_tunnel());
    EXPECT_EQ(logs().count(cancel_failed), 1u);
}

TEST_F(manager, a_start_that_cannot_reach_the_server_fails)
{
    auto& mgr = make(3);
    ASSERT_TRUE(create());
    ASSERT_TRUE(network().remove_route(adapter.guid, "0.0.0.0/0", "192.168.1.1"));
    EXPECT_FALSE(mgr.start_tunnel());
    EXPECT_EQ(logs().count(failed_to_start), 1u);
    EXPECT_FALSE(logs().contains(has_started));
    EXPECT_EQ(mgr.tunnel->run_state.load(), run_states::stopped);
    // The registration stays: a later change of the network starts the tunnel.
    EXPECT_EQ(network().registration_count(), 1u);
    network().add_default_gateway(adapter.guid, "192.168.1.1", gateway_mac);
    before = network().snapshot();
}

TEST_F(manager, stop_of_a_tunnel_that_never_started_answers_true)
{
    auto& mgr = make(3);
    ASSERT_TRUE(create());
    EXPECT_TRUE(mgr.stop_tunnel());
    EXPECT_TRUE(mgr.stop_tunnel());
    EXPECT_EQ(mgr.tunnel->run_state.load(), run_states::stopped);
}

TEST_F(manager, the_state_is_the_engines_statistics)
{
    auto& mgr = make(3);
    ASSERT_TRUE(create());
    engine().set_stats(7, 123456789012ull, 5678);
    const tunnel_state s = mgr.get_tunnel_state();
    EXPECT_EQ(s.time_since_last_handshake, 7);
    EXPECT_EQ(s.tx_bytes, 123456789012ull);
    EXPECT_EQ(s.rx_bytes, 5678u);
    EXPECT_EQ(s.estimated_loss, 0.0f);
    EXPECT_EQ(s.estimated_rtt, -1);
    EXPECT_FALSE(logs().contains(not_initialized));
}

TEST_F(manager, active_is_the_tunnels_flag)
{
    auto& mgr = make(3);
    ASSERT_TRUE(create());
    EXPECT_FALSE(mgr.get_tunnel_active());
    mgr.tunnel->active = true;
    EXPECT_TRUE(mgr.get_tunnel_active());
    EXPECT_FALSE(logs().contains(not_initialized));
}

TEST_F(manager, drop_stops_a_running_tunnel_and_undoes_its_address_switching)
{
    // A link-local IPv4 address only: the tunnel gives the adapter its own address.
    ASSERT_TRUE(network().remove_address(adapter.guid, "192.168.1.10"));
    network().add_address(adapter.guid, "169.254.7.7", 16);
    before = network().snapshot();
    auto& mgr = make(3);
    ASSERT_TRUE(create());
    ASSERT_TRUE(mgr.start_tunnel()) << logs().text();
    EXPECT_TRUE(mgr.tunnel->address_switching.any_row());
    EXPECT_NE(network().snapshot(), before);
    EXPECT_TRUE(mgr.drop_tunnel());
    EXPECT_EQ(network().snapshot(), before);
    EXPECT_EQ(network().registration_count(), 0u);
    EXPECT_EQ(engine().live_tunnels(), 0u);
}

// Each call that undoes what a start set up, refused in turn: once (the try at once
// succeeds), throughout one stop (the row is kept and goes at the next start or stop),
// and on into the restart's start (the create finds the tunnel's own row still there).
// A stop, a start, a stop and the drop leave the host exactly as it was.
TEST_F(manager, refused_undo_calls_leave_the_host_as_it_was)
{
    // Link-local addresses only: both families are switched.
    ASSERT_TRUE(network().remove_address(adapter.guid, "192.168.1.10"));
    network().add_address(adapter.guid, "169.254.7.7", 16);
    network().add_address(adapter.guid, "fe80::7", 64);
    before = network().snapshot();
    const fn undo_calls[] = {fn::delete_ip_net_entry2, fn::delete_ip_forward_entry2,
                             fn::delete_unicast_ip_address_entry, fn::cancel_mib_change_notify2};
    for (const fn refused : undo_calls) {
        // Three refusals use up a stop's tries; a refused cancellation is tried at both
        // stops and at the drop, and must succeed at the drop.
        const unsigned most = refused == fn::cancel_mib_change_notify2 ? 6 : 9;
        for (const unsigned refusals : {1u, 3u, most}) {
            SCOPED_TRACE(std::string(simhost::function_name(refused)) + " refused " + std::to_string(refusals));
            auto& mgr = make(3);
            ASSERT_TRUE(create_with([](wireguard::wg_config& c) {
                c.interface_config = wireguard::make_interface_config("k-private", "10.8.0.2/24, fd00::2/64");
            }));
            ASSERT_TRUE(mgr.start_tunnel()) << logs().text();
            ASSERT_TRUE(mgr.tunnel->address_switching.ipv4_route && mgr.tunnel->address_switching.ipv6_route);
            network().clear_calls();
            network().fail_next(refused, ERROR_ACCESS_DENIED, refusals);
            ASSERT_TRUE(mgr.stop_tunnel());
            const bool kept = refused != fn::cancel_mib_change_notify2 && refusals >= 3;
            EXPECT_EQ(mgr.tunnel->address_switching.any_leftover(), kept) << "a row still refused stays the tunnel's";
            EXPECT_EQ(network().snapshot() == before, !kept);
            ASSERT_TRUE(mgr.start_tunnel()) << logs().text();
            ASSERT_TRUE(mgr.stop_tunnel());
            ASSERT_TRUE(mgr.drop_tunnel());
            EXPECT_GT(network().call_count(refused), refusals) << "a refusal was the last word";
            network().fail_next(refused, NO_ERROR, 0);
            EXPECT_EQ(network().snapshot(), before);
            EXPECT_EQ(network().registration_count(), 0u);
            m.reset();
        }
    }
}

// ---- release at exit ------------------------------------------------------------------------------------

TEST_F(manager, the_release_at_exit_stops_and_frees_the_tunnel_without_a_line)
{
    ASSERT_TRUE(network().remove_address(adapter.guid, "192.168.1.10"));
    network().add_address(adapter.guid, "169.254.7.7", 16);
    before = network().snapshot();
    auto& mgr = make(3);
    ASSERT_TRUE(create());
    ASSERT_TRUE(mgr.start_tunnel());
    ASSERT_TRUE(engine().wait_for_ticks(1));
    logs().clear();
    mgr.release_at_exit(false);
    EXPECT_FALSE(mgr.tunnel);
    EXPECT_FALSE(mgr.config);
    EXPECT_EQ(engine().live_tunnels(), 0u);
    EXPECT_EQ(network().snapshot(), before);
    EXPECT_EQ(network().registration_count(), 0u);
    EXPECT_TRUE(logs().all().empty()) << logs().text();
    mgr.release_at_exit(false); // once only
}

TEST_F(manager, a_manager_of_its_own_is_no_family_handle)
{
    auto& mgr = make(3);
    EXPECT_EQ(tdl_manager::from_handle(&mgr), nullptr);
}

// While the process is ending, the other threads are gone: nothing is joined or waited
// for and nothing is logged; only the host changes are undone. The tunnel's threads
// are alive here, so this runs in a child process that ends right after.
TEST_F(manager, the_release_while_the_process_ends_only_undoes_the_host_changes)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ASSERT_TRUE(network().remove_address(adapter.guid, "192.168.1.10"));
            network().add_address(adapter.guid, "169.254.7.7", 16);
            const auto clean = network().snapshot();
            auto& mgr = make(3);
            if (!create() || !mgr.start_tunnel() || !mgr.tunnel->address_switching.any_row())
                std::_Exit(2);
            const std::size_t lines = logs().all().size();
            mgr.release_at_exit(true);
            const bool undone = network().snapshot() == clean;
            const bool silent = logs().all().size() == lines;
            const bool left = !mgr.tunnel && engine().live_tunnels() == 1;
            std::_Exit(undone && silent && left ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// ---- the classifier ------------------------------------------------------------------------------------

TEST_F(manager, the_classifier_reads_the_managers_configuration_and_level_at_each_call)
{
    auto& mgr = make(3);
    wireguard::classify_packet<tdl_manager> classify(mgr);
    auto frame = std::make_unique<_INTERMEDIATE_BUFFER>();
    testpkt::load(*frame, 0x0800, testpkt::ipv4(1, testpkt::echo(8, testpkt::pattern(16))));

    EXPECT_FALSE(classify(*frame)) << "no configuration: nothing is tunnelled";
    ASSERT_TRUE(create());
    logs().clear();
    EXPECT_TRUE(classify(*frame));
    EXPECT_EQ(logs().count_starting("[FILTER]: "), 1u);
    mgr.set_log_level(2);
    logs().clear();
    EXPECT_TRUE(classify(*frame));
    EXPECT_EQ(logs().count_starting("[FILTER]: "), 0u);
}

TEST_F(manager, a_datagram_s_tail_follows_its_head_only_under_the_tunnel_that_saw_the_head)
{
    auto& mgr = make(0);
    const wireguard::classify_packet<tdl_manager> classify(mgr);
    // A DNS query outside AllowedIPs goes in by the DNS rule; a tail follows its head.
    const auto dns_outside = [](wireguard::wg_config& c) {
        c.peer_config.allowed_ips = wireguard::parse_prefix_list("10.0.0.0/8");
        c.interface_config.dns = wireguard::parse_ip_list("10.0.0.53");
    };
    auto head = std::make_unique<_INTERMEDIATE_BUFFER>();
    auto tail = std::make_unique<_INTERMEDIATE_BUFFER>();
    testpkt::load(*head, 0x0800, testpkt::ipv4(17, testpkt::udp(40000, 53, testpkt::pattern(64)), 5, 0x2000));
    testpkt::load(*tail, 0x0800, testpkt::ipv4(17, testpkt::pattern(40), 5, 0x0009));
    ASSERT_TRUE(create_with(dns_outside));
    EXPECT_TRUE(classify(*head));
    EXPECT_TRUE(classify(*tail)) << "the tail goes where its head went";
    ASSERT_TRUE(mgr.drop_tunnel() && create_with(dns_outside));
    EXPECT_FALSE(classify(*tail)) << "its head went under the dropped tunnel";
}
} // namespace
