// End to end for the tdlp_ family: the dual tunnel through its exported functions on the
// simulated host, with the simulated virtual adapter driver loaded, against wireguard-go
// in the network namespace that run_e2e.sh creates (see end_to_end_test.cpp for the
// host and the wire). What is checked here is the handshake and the activation: the
// virtual adapter activated with the tunnel's address, DNS server and routes, the
// statistics, and a host that is as it was once the tunnel is stopped and dropped.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "e2e_settings.h"
#include "host.h"
#include "host_network.h"
#include "log_lines.h"
#include "packet_driver.h"
#include "support/dual_host_state.h"
#include "tundrel.h"
#include "virtnet_driver.h"
#include "wait_until.h"
#include "wire.h"

namespace
{
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tunnel_test::log_lines;
using tunnel_test::wait_until;

constexpr simhost::mac_address gateway_mac = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
const std::string trying_to_activate =
    "[TUN]: set_tunnel_active: Lorrivan virtual adapter not available. Trying to activate!";
const std::string activated =
    "[TUN]: set_tunnel_active: Lorrivan virtual adapter successfully activated. Starting tunneling.";

class dual_end_to_end : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { handle_ = tdlp_get_handle(&log_lines::callback, 3, false); }

    void SetUp() override
    {
        settings_ = e2e::read_settings();
        ASSERT_TRUE(settings_.missing().empty()) << settings_.missing();
        ASSERT_NE(handle_, nullptr);
        host().reset();
        log_lines::instance().clear();
        physical_ = host().add_adapter({});
        network().add_address(physical_.guid, "192.168.1.10", 24);
        network().add_default_gateway(physical_.guid, "192.168.1.1", gateway_mac);
        wire_ = std::make_unique<simhost::wire>();
        endpoint_port_ = wire_->add_endpoint("127.0.0.1", settings_.server_port);
        virtual_ = simhost::virtnet_driver::instance().load();
    }

    void TearDown() override
    {
        tdlp_stop_tunnel(handle_);
        tdlp_drop_tunnel(handle_);
        if (wire_)
            wire_->stop();
        for (const auto& error : simhost::packet_driver::instance().errors())
            ADD_FAILURE() << "driver rule broken by call " << error.call << ": " << error.text;
        for (const auto& error : simhost::virtnet_driver::instance().errors())
            ADD_FAILURE() << "virtual adapter driver rule broken: " << error;
        for (const auto& text : network().violations())
            ADD_FAILURE() << "IP Helper rule broken: " << text;
        if (HasFailure()) {
            std::cerr << "log:\n" << log_lines::instance().text();
            if (wire_)
                for (const auto& e : wire_->events())
                    std::cerr << "  wire: " << e << "\n";
        }
        wire_.reset();
        host().reset();
    }

    static simhost::host& host() { return simhost::host::instance(); }
    static simhost::host_network& network() { return simhost::host_network::instance(); }

    tunnel_test::dual_host_state state() const { return tunnel_test::read_dual_host_state(physical_, virtual_); }

    fs::path write_configuration(const std::string& name)
    {
        const fs::path path = fs::absolute(name);
        std::ofstream out(path);
        out << "[Interface]\n"
            << "PrivateKey = " << settings_.client_private << "\n"
            << "Address = 10.9.0.2/24\n"
            << "DNS = 10.9.0.1\n"
            << "\n[Peer]\n"
            << "PublicKey = " << settings_.server_public << "\n"
            << "AllowedIPs = 10.9.0.0/24\n"
            << "Endpoint = 127.0.0.1:" << endpoint_port_ << "\n"
            << "PersistentKeepalive = 25\n";
        return path;
    }

    // Creates and starts the tunnel from the file and waits for its activation.
    void start_active(const fs::path& configuration)
    {
        ASSERT_TRUE(tdlp_create_tunnel_from_file_w(handle_, configuration.wstring().c_str()));
        EXPECT_FALSE(tdlp_get_tunnel_active(handle_));
        ASSERT_TRUE(tdlp_start_tunnel(handle_));
        ASSERT_TRUE(wait_until([&] { return tdlp_get_tunnel_active(handle_); })) << "no handshake with wireguard-go";
        const std::string port = std::to_string(endpoint_port_);
        EXPECT_TRUE(log_lines::instance().contains("[MGR]: Using WireGuard server: 127.0.0.1 : " + port));
        EXPECT_TRUE(log_lines::instance().contains("[MGR]: Tunnel has started"));
        EXPECT_TRUE(log_lines::instance().contains("[TUN]: Sent handshake packet to the WireGuard server at 127.0.0.1:" +
                                                   port));
    }

    void stop_and_drop(const tunnel_test::dual_host_state& before)
    {
        EXPECT_TRUE(tdlp_stop_tunnel(handle_));
        EXPECT_FALSE(tdlp_get_tunnel_active(handle_));
        EXPECT_EQ(network().registration_count(), 0u) << "the interface-change registration is still held";
        EXPECT_TRUE(tdlp_drop_tunnel(handle_));
        EXPECT_EQ(state(), before) << "the host is not as it was";
        EXPECT_EQ(simhost::packet_driver::instance().open_device_count(), 0u);
        EXPECT_EQ(simhost::virtnet_driver::instance().open_device_count(), 0u);
        EXPECT_FALSE(tdlp_get_tunnel_active(handle_));
    }

    static inline void* handle_ = nullptr;
    e2e::server_settings settings_;
    simhost::adapter physical_;
    simhost::adapter virtual_;
    std::unique_ptr<simhost::wire> wire_;
    std::uint16_t endpoint_port_ = 0;
};

TEST_F(dual_end_to_end, handshake_and_activation_with_wireguard_go)
{
    const fs::path configuration = write_configuration("dual.conf");
    const tunnel_test::dual_host_state before = state();

    ASSERT_NO_FATAL_FAILURE(start_active(configuration));
    EXPECT_TRUE(log_lines::instance().contains(trying_to_activate));
    EXPECT_TRUE(log_lines::instance().contains(activated));

    // The virtual adapter as the activation left it.
    const tunnel_test::dual_host_state running = state();
    EXPECT_TRUE(running.activated);
    EXPECT_EQ(tunnel_test::address_texts(running.network, virtual_.guid), std::vector<std::string>{"10.9.0.2/24"});
    EXPECT_EQ(running.ipv4_name_server, std::optional<std::string>("10.9.0.1"));
    EXPECT_EQ(running.ipv6_name_server, std::nullopt);
    EXPECT_EQ(tunnel_test::route_texts(running.network, virtual_.guid),
              (std::vector<std::string>{"0.0.0.0/0 2147483647 10006 0 []", "10.9.0.0/24 0 10006 0 []"}))
        << running.network;
    EXPECT_EQ(running.physical_mode, 3u);
    EXPECT_EQ(running.virtual_mode, 3u);
    EXPECT_EQ(network().registration_count(), 1u);

    // The reply to the server's response went back to wireguard-go with the initiation.
    EXPECT_GE(wire_->stats().to_peer, 2u);
    EXPECT_GE(wire_->stats().from_peer, 1u);

    // The statistics of a fresh session: a handshake, no data yet.
    const tunnel_state s = tdlp_get_tunnel_state(handle_);
    EXPECT_GE(s.time_since_last_handshake, 0);
    EXPECT_LE(s.time_since_last_handshake, 30);
    EXPECT_EQ(s.tx_bytes, 0u);
    EXPECT_EQ(s.rx_bytes, 0u);
    EXPECT_GE(s.estimated_rtt, 0);

    stop_and_drop(before);
}

TEST_F(dual_end_to_end, a_network_change_restarts_the_tunnel_and_it_shakes_hands_again)
{
    const fs::path configuration = write_configuration("dual-restart.conf");
    const tunnel_test::dual_host_state before = state();
    ASSERT_NO_FATAL_FAILURE(start_active(configuration));
    const std::string sent = "[TUN]: Sent handshake packet to the WireGuard server at 127.0.0.1:" +
                             std::to_string(endpoint_port_);
    EXPECT_EQ(log_lines::instance().count(sent), 1u);

    // The default adapter gets a second address: the watchdog restarts the tunnel, which
    // sends a new initiation and is activated again by the answer, on the same adapter.
    network().add_address(physical_.guid, "192.168.1.11", 24);
    network().fire_interface_change(physical_.guid);
    ASSERT_TRUE(network().wait_for_notifications());
    ASSERT_TRUE(wait_until([&] {
        return log_lines::instance().contains("[TUN]: watchdog: WireGuard tunnel was successfully started!");
    }));
    ASSERT_TRUE(wait_until([&] { return tdlp_get_tunnel_active(handle_); })) << "no handshake after the restart";
    EXPECT_EQ(log_lines::instance().count(sent), 2u);
    EXPECT_EQ(log_lines::instance().count(trying_to_activate), 1u) << "the virtual adapter was kept";

    network().remove_address(physical_.guid, "192.168.1.11");
    stop_and_drop(before);
}
} // namespace
