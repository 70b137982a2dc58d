// The single-adapter tunnel object with the real engine: construction with good and bad
// keys, initial fields, capture files, logging, setters, the packet filter set-up and
// destruction of a tunnel that never ran.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "netaccess/static_filters.h"
#include "support/real_tunnel.h"

namespace
{
using tunnel_test::key_pair;
using tunnel_test::log_lines;
using wireguard::wg_tunnel;
namespace run_states = wireguard::run_states;
namespace fs = std::filesystem;

class wg_tunnel_object : public tunnel_test::real_tunnel_test
{
};

TEST_F(wg_tunnel_object, good_keys_give_a_stopped_tunnel_with_the_initial_fields)
{
    wg_tunnel t(client_keys.private_text, server_keys.public_text, std::nullopt, 25, &log_lines::callback, 2);
    EXPECT_NE(t.engine_handle, nullptr);
    EXPECT_EQ(t.notification_handle, nullptr);
    EXPECT_EQ(t.callbacks_in_flight.load(), 0);
    EXPECT_EQ(t.local_udp_port, 0);
    EXPECT_FALSE(t.socks5_proxy_endpoint.has_value());
    EXPECT_EQ(t.ipv6_header_word.load(), 0u);
    EXPECT_EQ(t.ipv4_identification, 0);
    EXPECT_FALSE(t.address_switching.any_row());
    EXPECT_TRUE(static_cast<bool>(t.logger));
    EXPECT_FALSE(static_cast<bool>(t.event_callback));
    EXPECT_EQ(t.log_level.load(), 2);
    EXPECT_FALSE(t.socket);
    EXPECT_FALSE(t.critical_error.load());
    EXPECT_EQ(t.run_state.load(), run_states::stopped);
    EXPECT_FALSE(t.notification_flag.load());
    EXPECT_EQ(t.send_wsabuf.len, 4096u);
    EXPECT_EQ(reinterpret_cast<std::uint8_t*>(t.send_wsabuf.buf), t.send_buffer.data());
    EXPECT_FALSE(t.keep_alive.joinable());
    EXPECT_EQ(t.filter, nullptr);
    EXPECT_FALSE(t.active.load());
    EXPECT_FALSE(t.dns_configured());
    EXPECT_EQ(t.mtu, 1420);
    EXPECT_FALSE(t.mtu_configured);
    EXPECT_EQ(t.adapter_index, 0u);
    EXPECT_FALSE(t.default_adapter.has_value());
    EXPECT_FALSE(t.capture_enc || t.capture_tun || t.capture_ext || t.capture_lcl);
    EXPECT_EQ(t.socks5.get(), nullptr);
    EXPECT_EQ(t.socks5_pending.load(), 0);
    EXPECT_EQ(t.progress_time, 0);
    EXPECT_EQ(t.stats_snapshot.tx_bytes, 0u);
}

TEST_F(wg_tunnel_object, keys_that_the_engine_refuses_fail_the_construction)
{
    const key_pair& c = client_keys;
    const key_pair& s = server_keys;
    const std::string short_key = "AAAA";
    const std::vector<std::tuple<const char*, std::string, std::string, std::optional<std::string>>> cases{
        {"private key not base64", "not a key at all!", s.public_text, std::nullopt},
        {"private key too short", short_key, s.public_text, std::nullopt},
        {"public key not base64", c.private_text, "####", std::nullopt},
        {"public key empty", c.private_text, "", std::nullopt},
        {"preshared key not a key", c.private_text, s.public_text, std::string("xyz")},
        {"preshared key empty", c.private_text, s.public_text, std::string()},
    };
    for (const auto& [name, priv, pub, psk] : cases) {
        SCOPED_TRACE(name);
        EXPECT_THROW(wg_tunnel(priv, pub, psk, 25, &log_lines::callback, 3), std::runtime_error);
    }
    EXPECT_NO_THROW(wg_tunnel(c.private_text, s.public_text, tunnel_test::key_pair().public_text, 25, nullptr, 0))
        << "a valid preshared key";
}

TEST_F(wg_tunnel_object, every_local_index_has_bit_7_and_they_differ)
{
    std::set<std::uint32_t> seen;
    for (int i = 0; i < 2000; ++i) {
        const std::uint32_t index = wireguard::make_local_index();
        ASSERT_NE(index & 0x80u, 0u);
        seen.insert(index);
    }
    EXPECT_GT(seen.size(), 1990u);
    std::uint32_t high_bits = 0;
    for (auto v : seen)
        high_bits |= v;
    EXPECT_EQ(high_bits, 0xFFFFFFFFu) << "drawn over the whole 32-bit range";
}

TEST_F(wg_tunnel_object, local_indexes_drawn_on_many_threads_at_once)
{
    std::vector<std::vector<std::uint32_t>> drawn(8);
    std::vector<std::thread> threads;
    for (auto& d : drawn)
        threads.emplace_back([&d] {
            for (int i = 0; i < 500; ++i)
                d.push_back(wireguard::make_local_index());
        });
    for (auto& t : threads)
        t.join();
    std::set<std::uint32_t> all;
    for (auto& d : drawn)
        for (auto v : d) {
            EXPECT_NE(v & 0x80u, 0u);
            all.insert(v);
        }
    EXPECT_GT(all.size(), 3990u) << "a shared generator without its lock repeats values";
}

TEST_F(wg_tunnel_object, the_index_reaches_the_engine_in_the_initiation)
{
    // The engine's sender index of handshake n is (index << 8) | n.
    std::set<std::uint32_t> indexes;
    for (int i = 0; i < 2; ++i) {
        wg_tunnel t(client_keys.private_text, server_keys.public_text, std::nullopt, 25, nullptr, 0);
        std::array<std::uint8_t, 256> out{};
        const auto r = wireguard_force_handshake(t.engine_handle.get(), out.data(), out.size());
        ASSERT_EQ(r.op, WRITE_TO_NETWORK);
        ASSERT_EQ(r.size, 148u);
        std::uint32_t sender = 0;
        std::memcpy(&sender, out.data() + 4, 4);
        EXPECT_NE((sender >> 8) & 0x80u, 0u);
        indexes.insert(sender >> 8);
    }
    EXPECT_EQ(indexes.size(), 2u) << "two tunnels, two local indexes";
}

TEST_F(wg_tunnel_object, capture_files_exist_right_after_creation)
{
    const fs::path folder = fs::temp_directory_path() / ("lorrivan_capture_" + std::to_string(::GetCurrentProcessId()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    const std::string base = (folder / "lorrivan").string();
    {
        wg_tunnel plain(client_keys.private_text, server_keys.public_text, std::nullopt, 25, nullptr, 0);
        EXPECT_TRUE(fs::is_empty(folder));
        wg_tunnel t(base, client_keys.private_text, server_keys.public_text, std::nullopt, 25, nullptr, 0);
        for (const char* suffix : {"_enc", "_tun", "_ext", "_lcl"}) {
            const fs::path file = base + suffix + ".pcap";
            EXPECT_TRUE(fs::exists(file)) << file;
            EXPECT_EQ(fs::file_size(file), 24u) << "the global header only";
        }
        EXPECT_TRUE(t.capture_enc && t.capture_tun && t.capture_ext && t.capture_lcl);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 4);
    fs::remove_all(folder);
}

TEST_F(wg_tunnel_object, lines_are_written_below_the_level)
{
    wg_tunnel t(client_keys.private_text, server_keys.public_text, std::nullopt, 25, &log_lines::callback, 0);
    const std::vector<std::pair<std::int32_t, std::size_t>> cases{{0, 0}, {1, 1}, {2, 2}, {3, 3}, {-1, 0}};
    for (const auto& [level, written] : cases) {
        log_lines::instance().clear();
        t.set_log_level(level);
        t.log(wireguard::log_importance::error, "e");
        t.log(wireguard::log_importance::information, "i");
        t.log(wireguard::log_importance::debug, "d");
        EXPECT_EQ(log_lines::instance().all().size(), written) << "level " << level;
    }
    wg_tunnel silent(client_keys.private_text, server_keys.public_text, std::nullopt, 25, nullptr, 3);
    EXPECT_FALSE(static_cast<bool>(silent.logger));
    EXPECT_NO_THROW(silent.log(wireguard::log_importance::error, "nowhere"));
}

TEST_F(wg_tunnel_object, setters)
{
    wg_tunnel t(client_keys.private_text, server_keys.public_text, std::nullopt, 25, nullptr, 0);
    t.set_socks5_credentials("user", "secret");
    EXPECT_EQ(t.socks5_username, std::optional<std::string>("user"));
    EXPECT_EQ(t.socks5_password, std::optional<std::string>("secret"));
    t.set_socks5_credentials("", "");
    EXPECT_EQ(t.socks5_username, std::optional<std::string>(""));

    wireguard::ip_address dns;
    dns.address = {10, 8, 0, 53};
    t.set_dns_redirect_table(wireguard::dns_slot_table({dns}));
    EXPECT_TRUE(t.dns_configured());
    EXPECT_EQ(t.dns_redirect_table->slots_v4().size(), 1u);
    t.set_dns_redirect_table(wireguard::dns_slot_table({dns, dns}));
    EXPECT_EQ(t.dns_redirect_table->slots_v4().size(), 2u);
}

TEST_F(wg_tunnel_object, the_packet_filter_and_its_static_table)
{
    wg_tunnel t(client_keys.private_text, server_keys.public_text, std::nullopt, 25, &log_lines::callback, 3);
    ASSERT_TRUE(t.set_packet_filter(tunnel_test::nothing_tunnelled{}));
    ASSERT_NE(t.filter, nullptr);
    const auto table = rimcap::build_static_filter_table();
    EXPECT_EQ(driver().static_filter_table(), std::vector<std::uint8_t>(table.begin(), table.end()));
    EXPECT_EQ(driver().call_count(rimcap::ioctl::set_static_filters), 1u);
    EXPECT_TRUE(t.load_static_filters()) << "loading it again";
    EXPECT_EQ(driver().static_filter_table(), std::vector<std::uint8_t>(table.begin(), table.end()));

    // Both handlers are installed: starting the filter holds both directions.
    ASSERT_FALSE(t.filter->adapters().empty());
    ASSERT_TRUE(t.filter->start_filter(0));
    EXPECT_EQ(driver().mode(adapter.filter_handle), rimcap::mode_hold_outgoing | rimcap::mode_hold_incoming);
    t.filter->filter_state = rimcap::queued_packet_filter::state_stopping;
    t.filter->stop_filter();
    t.filter->filter_state = rimcap::queued_packet_filter::state_idle;
}

TEST_F(wg_tunnel_object, without_the_driver_the_filter_set_up_throws_and_keeps_the_old_filter)
{
    wg_tunnel t(client_keys.private_text, server_keys.public_text, std::nullopt, 25, &log_lines::callback, 1);
    ASSERT_TRUE(t.set_packet_filter(tunnel_test::nothing_tunnelled{}));
    rimcap::queued_packet_filter* old = t.filter.get();
    driver().set_present(false);
    EXPECT_THROW(t.set_packet_filter(tunnel_test::nothing_tunnelled{}), std::runtime_error);
    EXPECT_EQ(t.filter.get(), old);
    EXPECT_EQ(log_lines::instance().all(), std::vector<std::string>{"[TUN]: Norvask driver is not available!"});
    driver().set_present(true);

    wg_tunnel none(client_keys.private_text, server_keys.public_text, std::nullopt, 25, nullptr, 1);
    EXPECT_FALSE(none.load_static_filters()) << "no filter";
}

TEST_F(wg_tunnel_object, destroying_a_tunnel_that_never_ran_changes_and_sends_nothing)
{
    const auto before = network().snapshot();
    {
        auto& t = make_tunnel();
        (void)t;
        network().clear_calls();
        driver().clear_deliveries();
        tunnel.reset();
    }
    EXPECT_EQ(network().snapshot(), before);
    for (const auto& c : network().calls())
        EXPECT_EQ(c.function, simhost::iphelper_function::cancel_mib_change_notify2)
            << simhost::function_name(c.function);
    EXPECT_EQ(network().call_count(simhost::iphelper_function::cancel_mib_change_notify2), 1u);
    EXPECT_EQ(driver().delivery_count(), 0u);
    EXPECT_EQ(log_lines::instance().all(),
              std::vector<std::string>{"[TUN]: cancel_notify_ip_interface_change has failed!"})
        << "no registration was held";
}
} // namespace
