// The twenty exported functions on the families' singletons. A family's manager lives
// as long as the process, so every test leaves its family without a tunnel and at
// level 3. The log callback of both families is this file's: it forwards to the line
// record and throws on demand (nothing may ever leave an exported function).
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>

#include "manager_test_support.h"
#include "tundrel.h"

namespace
{
using namespace manager_test;

std::atomic<bool> throw_from_log{false};

void exports_log(const char* line)
{
    log_lines::callback(line);
    if (throw_from_log.load())
        throw std::runtime_error("the log sink throws");
}

void* tdl()
{
    return tdl_get_handle(&exports_log, 3, false);
}

void* tdlp()
{
    return tdlp_get_handle(&exports_log, 3, false);
}

bool is_zero(const tunnel_state& s)
{
    const std::array<std::uint8_t, sizeof(tunnel_state)> zero{};
    return std::memcmp(&s, zero.data(), sizeof(s)) == 0;
}

class exports : public manager_host_test
{
protected:
    void SetUp() override
    {
        manager_host_test::SetUp();
        ASSERT_NE(tdl(), nullptr);
        ASSERT_NE(tdlp(), nullptr);
        logs().clear();
        port = std::to_string(server_port());
        endpoint = "127.0.0.1:" + port;
        peer_params.endpoint = endpoint.c_str();
    }
    void drop_all() override
    {
        throw_from_log = false;
        tdl_set_log_level(tdl(), 0);
        tdlp_set_log_level(tdlp(), 0);
        tdl_drop_tunnel(tdl());
        tdlp_drop_tunnel(tdlp());
        tdl_set_log_level(tdl(), 3);
        tdlp_set_log_level(tdlp(), 3);
    }

    bool create_tdl() { return tdl_create_tunnel(tdl(), &interface_params, &peer_params, nullptr); }
    bool has_tdl_tunnel() { return tdl_manager::from_handle(tdl())->tunnel != nullptr; }

    std::string port;
    std::string endpoint;
    wg_interface_params interface_params{"k-private", "10.8.0.2/24", nullptr};
    wg_peer_params peer_params{"k-public", nullptr, "0.0.0.0/0", nullptr, 0};
    wg_extra_params extra_params{nullptr, nullptr, nullptr};
};

// ---- handles ------------------------------------------------------------------------------

TEST_F(exports, get_handle_returns_the_familys_manager_and_later_calls_ignore_their_arguments)
{
    void* const handle = tdl();
    EXPECT_EQ(tdl_get_handle(nullptr, 0, true), handle);
    EXPECT_EQ(tdl_get_handle(&log_lines::callback, 1, false), handle);
    EXPECT_NE(tdlp(), handle);
    EXPECT_EQ(tdlp_get_handle(nullptr, 0, true), tdlp());
    EXPECT_TRUE(tdl_manager::family_initialised());

    // Still this file's callback at level 3, and no capture files.
    EXPECT_FALSE(tdl_drop_tunnel(handle));
    EXPECT_EQ(logs().count(does_not_exist), 1u);
    std::filesystem::remove("lorrivan_enc.pcap");
    ASSERT_TRUE(create_tdl());
    EXPECT_FALSE(std::filesystem::exists("lorrivan_enc.pcap"));
    EXPECT_EQ(tdl_manager::from_handle(handle)->log_level.load(), 3u);
}

// Every function but get_handle, called with a handle that is not its family's.
struct call {
    const char* name;
    std::function<bool(void*, exports&)> fails; // true when the result is the failure value
};

bool create_tdl_with(void* h, exports&);

const call tdl_calls[] = {
    {"tdl_set_log_level", [](void* h, exports&) { tdl_set_log_level(h, 0); return true; }},
    {"tdl_create_tunnel", [](void* h, exports& e) { return !create_tdl_with(h, e); }},
    {"tdl_create_tunnel_from_file",
     [](void* h, exports&) {
         temp_file f(config_text(51820));
         return !tdl_create_tunnel_from_file(h, f.narrow_path().c_str());
     }},
    {"tdl_create_tunnel_from_file_w",
     [](void* h, exports&) {
         temp_file f(config_text(51820));
         return !tdl_create_tunnel_from_file_w(h, f.wide_path().c_str());
     }},
    {"tdl_drop_tunnel", [](void* h, exports&) { return !tdl_drop_tunnel(h); }},
    {"tdl_start_tunnel", [](void* h, exports&) { return !tdl_start_tunnel(h); }},
    {"tdl_stop_tunnel", [](void* h, exports&) { return !tdl_stop_tunnel(h); }},
    {"tdl_get_tunnel_state", [](void* h, exports&) { return is_zero(tdl_get_tunnel_state(h)); }},
    {"tdl_get_tunnel_active", [](void* h, exports&) { return !tdl_get_tunnel_active(h); }},
};

const call tdlp_calls[] = {
    {"tdlp_set_log_level", [](void* h, exports&) { tdlp_set_log_level(h, 0); return true; }},
    {"tdlp_create_tunnel",
     [](void* h, exports&) {
         const wg_interface_params i{"k-private", "10.8.0.2/24", nullptr};
         const wg_peer_params p{"k-public", nullptr, "0.0.0.0/0", "127.0.0.1:51820", 0};
         return !tdlp_create_tunnel(h, &i, &p, nullptr);
     }},
    {"tdlp_create_tunnel_from_file",
     [](void* h, exports&) {
         temp_file f(config_text(51820));
         return !tdlp_create_tunnel_from_file(h, f.narrow_path().c_str());
     }},
    {"tdlp_create_tunnel_from_file_w",
     [](void* h, exports&) {
         temp_file f(config_text(51820));
         return !tdlp_create_tunnel_from_file_w(h, f.wide_path().c_str());
     }},
    {"tdlp_drop_tunnel", [](void* h, exports&) { return !tdlp_drop_tunnel(h); }},
    {"tdlp_start_tunnel", [](void* h, exports&) { return !tdlp_start_tunnel(h); }},
    {"tdlp_stop_tunnel", [](void* h, exports&) { return !tdlp_stop_tunnel(h); }},
    {"tdlp_get_tunnel_state", [](void* h, exports&) { return is_zero(tdlp_get_tunnel_state(h)); }},
    {"tdlp_get_tunnel_active", [](void* h, exports&) { return !tdlp_get_tunnel_active(h); }},
};

bool create_tdl_with(void* h, exports&)
{
    const wg_interface_params i{"k-private", "10.8.0.2/24", nullptr};
    const wg_peer_params p{"k-public", nullptr, "0.0.0.0/0", "127.0.0.1:51820", 0};
    return tdl_create_tunnel(h, &i, &p, nullptr);
}

TEST_F(exports, a_handle_that_is_not_the_familys_gets_the_failure_value_and_no_line)
{
    int local = 0;
    // Never dereferenced: an address that would fault, one of the stack, the other
    // family's manager.
    void* const foreign[] = {nullptr, reinterpret_cast<void*>(std::uintptr_t{1}), &local, tdlp()};
    for (void* h : foreign)
        for (const call& c : tdl_calls)
            EXPECT_TRUE(c.fails(h, *this)) << c.name << " with " << h;
    void* const foreign_p[] = {nullptr, reinterpret_cast<void*>(std::uintptr_t{1}), &local, tdl()};
    for (void* h : foreign_p)
        for (const call& c : tdlp_calls)
            EXPECT_TRUE(c.fails(h, *this)) << c.name << " with " << h;
    EXPECT_TRUE(logs().all().empty()) << logs().text();
    EXPECT_EQ(engine().created().size(), 0u) << "no tunnel was built";
    EXPECT_EQ(tdl_manager::from_handle(tdl())->log_level.load(), 3u) << "no level was changed";
}

TEST_F(exports, a_foreign_handle_leaves_the_familys_tunnel_alone)
{
    ASSERT_TRUE(create_tdl());
    ASSERT_TRUE(tdl_start_tunnel(tdl()));
    EXPECT_FALSE(tdlp_drop_tunnel(tdl()));
    EXPECT_FALSE(tdlp_stop_tunnel(tdl()));
    EXPECT_FALSE(tdl_drop_tunnel(tdlp()));
    EXPECT_FALSE(tdl_stop_tunnel(tdlp()));
    EXPECT_TRUE(has_tdl_tunnel());
    EXPECT_EQ(tdl_manager::from_handle(tdl())->tunnel->run_state.load(), run_states::running);
}

// ---- create ----------------------------------------------------------------------------------

TEST_F(exports, create_from_records_start_stop_and_drop)
{
    ASSERT_TRUE(create_tdl()) << logs().text();
    EXPECT_TRUE(logs().contains("[MGR]: Using WireGuard server: 127.0.0.1 : " + port));
    EXPECT_TRUE(tdl_stop_tunnel(tdl())) << "a tunnel that never started stops";
    EXPECT_TRUE(tdl_start_tunnel(tdl()));
    EXPECT_TRUE(logs().contains(has_started));
    EXPECT_FALSE(tdl_get_tunnel_active(tdl()));
    EXPECT_TRUE(tdl_stop_tunnel(tdl()));
    EXPECT_TRUE(tdl_stop_tunnel(tdl()));
    EXPECT_TRUE(tdl_drop_tunnel(tdl()));
    EXPECT_FALSE(tdl_drop_tunnel(tdl()));
    EXPECT_EQ(logs().count(does_not_exist), 1u);
}

TEST_F(exports, create_from_a_file_narrow_and_wide)
{
    temp_file file(config_text(server_port()));
    ASSERT_TRUE(tdl_create_tunnel_from_file(tdl(), file.narrow_path().c_str())) << logs().text();
    EXPECT_FALSE(tdl_create_tunnel_from_file_w(tdl(), file.wide_path().c_str()));
    EXPECT_EQ(logs().count(already_initialized), 1u);
    ASSERT_TRUE(tdl_drop_tunnel(tdl()));
    ASSERT_TRUE(tdl_create_tunnel_from_file_w(tdl(), file.wide_path().c_str())) << logs().text();
    EXPECT_EQ(logs().count("[MGR]: Using WireGuard server: 127.0.0.1 : " + port), 2u);
}

TEST_F(exports, a_null_path_or_record_gives_false)
{
    EXPECT_FALSE(tdl_create_tunnel_from_file(tdl(), nullptr));
    EXPECT_FALSE(tdl_create_tunnel_from_file_w(tdl(), nullptr));
    EXPECT_FALSE(tdl_create_tunnel(tdl(), nullptr, &peer_params, &extra_params));
    EXPECT_FALSE(tdl_create_tunnel(tdl(), &interface_params, nullptr, &extra_params));
    EXPECT_FALSE(tdlp_create_tunnel_from_file(tdlp(), nullptr));
    EXPECT_FALSE(tdlp_create_tunnel_from_file_w(tdlp(), nullptr));
    EXPECT_FALSE(tdlp_create_tunnel(tdlp(), nullptr, nullptr, nullptr));
    EXPECT_FALSE(has_tdl_tunnel());
    EXPECT_EQ(engine().created().size(), 0u);
}

struct null_member_case {
    const char* name;
    std::function<void(wg_interface_params&, wg_peer_params&)> change;
};

const null_member_case null_member_cases[] = {
    {"private_key", [](wg_interface_params& i, wg_peer_params&) { i.private_key = nullptr; }},
    {"address", [](wg_interface_params& i, wg_peer_params&) { i.address = nullptr; }},
    {"public_key", [](wg_interface_params&, wg_peer_params& p) { p.public_key = nullptr; }},
    {"allowed_ips", [](wg_interface_params&, wg_peer_params& p) { p.allowed_ips = nullptr; }},
    {"endpoint", [](wg_interface_params&, wg_peer_params& p) { p.endpoint = nullptr; }},
};

class exports_null_member : public exports, public ::testing::WithParamInterface<null_member_case>
{
};

TEST_P(exports_null_member, a_required_text_that_is_null_gives_false)
{
    GetParam().change(interface_params, peer_params);
    EXPECT_FALSE(tdl_create_tunnel(tdl(), &interface_params, &peer_params, &extra_params));
    EXPECT_FALSE(tdlp_create_tunnel(tdlp(), &interface_params, &peer_params, &extra_params));
    EXPECT_FALSE(has_tdl_tunnel());
    EXPECT_EQ(engine().created().size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(exports, exports_null_member, ::testing::ValuesIn(null_member_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(exports, an_endpoint_without_an_address_creates_nothing)
{
    peer_params.endpoint = "no-such-host.invalid:51820";
    EXPECT_FALSE(create_tdl());
    EXPECT_FALSE(has_tdl_tunnel());
    EXPECT_EQ(engine().created().size(), 0u);
}

TEST_F(exports, a_null_extra_record_is_an_empty_one)
{
    ASSERT_TRUE(create_tdl());
    const wireguard::wg_config without = *tdl_manager::from_handle(tdl())->config;
    ASSERT_TRUE(tdl_drop_tunnel(tdl()));
    ASSERT_TRUE(tdl_create_tunnel(tdl(), &interface_params, &peer_params, &extra_params));
    const wireguard::wg_config& with = *tdl_manager::from_handle(tdl())->config;
    EXPECT_EQ(with.peer_config.allowed_apps, without.peer_config.allowed_apps);
    EXPECT_EQ(with.peer_config.disallowed_ips, without.peer_config.disallowed_ips);
    EXPECT_EQ(with.peer_config.socks5_proxy, without.peer_config.socks5_proxy);
    EXPECT_EQ(with.peer_config.endpoint, without.peer_config.endpoint);
    EXPECT_EQ(with.interface_config.address, without.interface_config.address);
}

struct engine_arguments_case {
    const char* name;
    const char* preshared_key;
    std::int32_t keep_alive;
    std::optional<std::string> expected_key;
    std::uint16_t expected_keep_alive;
};

const engine_arguments_case engine_arguments_cases[] = {
    {"null_key_keep_alive_0_is_25", nullptr, 0, std::nullopt, 25},
    {"empty_key_is_none", "", 10, std::nullopt, 10},
    {"key_given", "k-psk", 65535, std::string("k-psk"), 65535},
    {"keep_alive_above_16_bits", nullptr, 100000, std::nullopt, 65535},
    {"negative_keep_alive", nullptr, -1, std::nullopt, 0},
};

class exports_engine_arguments : public exports, public ::testing::WithParamInterface<engine_arguments_case>
{
};

TEST_P(exports_engine_arguments, reach_the_engine)
{
    peer_params.preshared_key = GetParam().preshared_key;
    peer_params.persistent_keepalive = GetParam().keep_alive;
    ASSERT_TRUE(create_tdl()) << logs().text();
    const auto created = engine().created();
    ASSERT_EQ(created.size(), 1u);
    EXPECT_EQ(created[0].preshared_key, GetParam().expected_key);
    EXPECT_EQ(created[0].keep_alive, GetParam().expected_keep_alive);
}

INSTANTIATE_TEST_SUITE_P(exports, exports_engine_arguments, ::testing::ValuesIn(engine_arguments_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- without a tunnel, levels ----------------------------------------------------------------------

TEST_F(exports, without_a_tunnel_every_operation_fails_with_its_line)
{
    EXPECT_FALSE(tdl_start_tunnel(tdl()));
    EXPECT_FALSE(tdl_stop_tunnel(tdl()));
    EXPECT_FALSE(tdl_get_tunnel_active(tdl()));
    EXPECT_TRUE(is_zero(tdl_get_tunnel_state(tdl())));
    tdl_set_log_level(tdl(), 3);
    EXPECT_EQ(logs().count(not_initialized), 5u);
    EXPECT_FALSE(tdl_drop_tunnel(tdl()));
    EXPECT_EQ(logs().count(does_not_exist), 1u);
}

TEST_F(exports, level_0_logs_nothing_not_even_errors)
{
    tdl_set_log_level(tdl(), 0);
    tdlp_set_log_level(tdlp(), 0);
    EXPECT_FALSE(tdl_start_tunnel(tdl()));
    EXPECT_FALSE(tdl_drop_tunnel(tdl()));
    EXPECT_TRUE(is_zero(tdl_get_tunnel_state(tdl())));
    EXPECT_FALSE(tdl_create_tunnel_from_file(tdl(), "C:\\no\\such\\file.conf"));
    EXPECT_TRUE(tdlp_create_tunnel(tdlp(), &interface_params, &peer_params, nullptr));
    EXPECT_FALSE(tdlp_start_tunnel(tdlp())) << "no virtual adapter driver";
    ASSERT_TRUE(create_tdl());
    EXPECT_FALSE(create_tdl());
    EXPECT_TRUE(tdl_start_tunnel(tdl()));
    EXPECT_TRUE(logs().all().empty()) << logs().text();
}

TEST_F(exports, a_negative_level_counts_as_0)
{
    tdl_set_log_level(tdl(), -1);
    EXPECT_EQ(tdl_manager::from_handle(tdl())->log_level.load(), 0u);
    EXPECT_FALSE(tdl_start_tunnel(tdl()));
    EXPECT_TRUE(logs().all().empty());
    ASSERT_TRUE(create_tdl());
    tdl_set_log_level(tdl(), INT32_MIN);
    EXPECT_EQ(tdl_manager::from_handle(tdl())->tunnel->log_level.load(), 0);
    tdl_set_log_level(tdl(), 2);
    EXPECT_EQ(tdl_manager::from_handle(tdl())->tunnel->log_level.load(), 2);
    EXPECT_TRUE(logs().all().empty());
}

// ---- queries ---------------------------------------------------------------------------------------

TEST_F(exports, the_state_counts_the_engines_bytes)
{
    ASSERT_TRUE(create_tdl());
    engine().set_stats(3, 4096, 8192);
    const tunnel_state s = tdl_get_tunnel_state(tdl());
    EXPECT_EQ(s.time_since_last_handshake, 3);
    EXPECT_EQ(s.tx_bytes, 4096u);
    EXPECT_EQ(s.rx_bytes, 8192u);
    EXPECT_EQ(s.estimated_rtt, -1);
    tdl_manager::from_handle(tdl())->tunnel->active = true;
    EXPECT_TRUE(tdl_get_tunnel_active(tdl()));
    EXPECT_FALSE(logs().contains(not_initialized));
}

// ---- nothing is thrown -------------------------------------------------------------------------------

TEST_F(exports, a_throwing_log_sink_never_makes_an_export_throw)
{
    temp_file file(config_text(server_port()));
    throw_from_log = true;
    EXPECT_NO_THROW(EXPECT_FALSE(tdl_start_tunnel(tdl())));
    EXPECT_NO_THROW(EXPECT_FALSE(tdl_stop_tunnel(tdl())));
    EXPECT_NO_THROW(EXPECT_FALSE(tdl_drop_tunnel(tdl())));
    EXPECT_NO_THROW(EXPECT_TRUE(is_zero(tdl_get_tunnel_state(tdl()))));
    EXPECT_NO_THROW(EXPECT_FALSE(tdl_get_tunnel_active(tdl())));
    EXPECT_NO_THROW(tdl_set_log_level(tdl(), 3));
    EXPECT_NO_THROW(EXPECT_FALSE(tdl_create_tunnel_from_file(tdl(), file.narrow_path().c_str())));
    EXPECT_FALSE(has_tdl_tunnel()) << "a create whose log line throws fails and leaves nothing";
    EXPECT_NO_THROW(EXPECT_FALSE(tdlp_create_tunnel_from_file_w(tdlp(), file.wide_path().c_str())));
    EXPECT_NO_THROW(EXPECT_FALSE(tdlp_start_tunnel(tdlp())));
    throw_from_log = false;

    // The family works as before.
    ASSERT_TRUE(tdl_create_tunnel_from_file(tdl(), file.narrow_path().c_str()));
}

// ---- the tdlp_ family ------------------------------------------------------------------------------------

TEST_F(exports, the_dual_family_builds_its_tunnel_and_fails_to_start_without_the_virtual_adapter)
{
    temp_file file(config_text(server_port(), "DNS = 10.8.0.1\n"));
    ASSERT_TRUE(tdlp_create_tunnel_from_file(tdlp(), file.narrow_path().c_str())) << logs().text();
    EXPECT_TRUE(logs().contains("[MGR]: Using WireGuard server: 127.0.0.1 : " + port));
    EXPECT_FALSE(tdlp_create_tunnel_from_file_w(tdlp(), file.wide_path().c_str()));
    EXPECT_FALSE(tdlp_create_tunnel(tdlp(), &interface_params, &peer_params, &extra_params));
    EXPECT_EQ(logs().count(already_initialized), 2u) << logs().text();
    EXPECT_EQ(engine().created().size(), 1u);

    // The virtual adapter driver is not loaded: the start fails at once, before any
    // registration for interface changes.
    EXPECT_FALSE(tdlp_start_tunnel(tdlp()));
    EXPECT_TRUE(logs().contains("[TUN]: Lorrivan virtual adapter driver is not loaded! lasterror: 2")) << logs().text();
    EXPECT_TRUE(logs().contains("[TUN]: Lorrivan virtual adapter is not available!"));
    EXPECT_TRUE(logs().contains(failed_to_start));
    EXPECT_EQ(network().call_count(simhost::iphelper_function::notify_ip_interface_change), 0u);
    EXPECT_FALSE(tdlp_get_tunnel_active(tdlp()));
    EXPECT_TRUE(tdlp_stop_tunnel(tdlp()));
    EXPECT_FALSE(logs().contains(not_initialized));

    EXPECT_TRUE(tdlp_drop_tunnel(tdlp()));
    EXPECT_EQ(engine().live_tunnels(), 0u);
    EXPECT_FALSE(tdlp_drop_tunnel(tdlp()));
    EXPECT_EQ(logs().count(does_not_exist), 1u);
    EXPECT_FALSE(tdlp_start_tunnel(tdlp()));
    EXPECT_EQ(logs().count(not_initialized), 1u);

    // The reader and the parser still tell what is wrong with a file.
    logs().clear();
    EXPECT_FALSE(tdlp_create_tunnel_from_file(tdlp(), "C:\\no\\such\\file.conf"));
    EXPECT_TRUE(logs().contains("failed to open the configuration file!"));
    EXPECT_FALSE(logs().contains(failed_to_initialize));

    // The families are independent.
    ASSERT_TRUE(create_tdl());
    EXPECT_FALSE(tdlp_drop_tunnel(tdlp()));
    EXPECT_TRUE(has_tdl_tunnel());
}
} // namespace
