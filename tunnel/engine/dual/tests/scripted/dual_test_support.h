#pragma once
// Helpers of the dual tunnel's tests on the scripted engine: the simulated host with a
// physical adapter that carries the default route and the virtual adapter driver
// loaded, a dual tunnel toward a UDP sink on loopback, the server's handshake response
// as a frame that the physical adapter receives, and the host's state before and after.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config/address_parsers.h"
#include "scripted/scripted_engine.h"
#include "support/dual_host_state.h"
#include "support/tunnel_test_support.h"
#include "test_support.h"
#include "wg_dual_tunnel.h"

namespace dual_test
{
using namespace std::chrono_literals;
using tunnel_test::log_lines;
using tunnel_test::wait_until;
using wireguard::wg_dual_tunnel;
namespace run_states = wireguard::run_states;
namespace event_type = wireguard::wg_dual_tunnel_event_type;

inline scripted::engine& engine()
{
    return scripted::engine::instance();
}

inline simhost::virtnet_driver& vdriver()
{
    return simhost::virtnet_driver::instance();
}

// The texts of the dual tunnel's log lines that several tests look for.
inline const std::string trying_to_activate =
    "[TUN]: set_tunnel_active: Lorrivan virtual adapter not available. Trying to activate!";
inline const std::string activated = "[TUN]: set_tunnel_active: Lorrivan virtual adapter successfully activated. Starting tunneling.";
inline const std::string restart_done = "[TUN]: watchdog: WireGuard tunnel was successfully started!";
inline const std::string restart_stopped = "[TUN]: internal_restart: WireGuard tunnel was successfully stopped!";
inline const std::string restart_started = "[TUN]: internal_restart: WireGuard tunnel was successfully started!";
inline const std::string watchdog_started = "[TUN]: watchdog: started!";

class dual_host_test : public tunnel_test::tunnel_host_test
{
protected:
    void SetUp() override
    {
        tunnel_host_test::SetUp();
        engine().reset();
        physical = add_ethernet();
        virtual_adapter = vdriver().load();
        before = state();
    }

    void TearDown() override
    {
        tunnel.reset();
        EXPECT_EQ(engine().live_tunnels(), 0u) << "an engine tunnel was not freed";
        EXPECT_EQ(state(), before) << "the host is not as it was";
        EXPECT_EQ(network().registration_count(), 0u) << "an interface-change registration was left";
        for (const auto& error : vdriver().errors())
            ADD_FAILURE() << "virtual adapter driver rule broken: " << error;
        EXPECT_EQ(vdriver().open_device_count(), 0u) << "the virtual adapter device was left open";
        tunnel_host_test::TearDown();
    }

    tunnel_test::dual_host_state state() const { return tunnel_test::read_dual_host_state(physical, virtual_adapter); }

    // A tunnel toward the sink with the tunnel address 10.8.0.2/24, the DNS server
    // 10.8.0.1 and AllowedIPs 10.8.0.0/24; the engine's forced handshake is a 148-byte
    // initiation.
    wg_dual_tunnel& make()
    {
        engine().set_force_handshake(WRITE_TO_NETWORK, 148);
        tunnel = std::make_unique<wg_dual_tunnel>("k-private", "k-public", std::nullopt, 25, &log_lines::callback, 3);
        wg_dual_tunnel& t = *tunnel;
        t.server_endpoint = tunnel_test::ipv4_endpoint(127, 0, 0, 1, server.port());
        t.tunnel_ipv4_address = tunnel_test::ipv4(10, 8, 0, 2);
        t.ipv4_prefix_length = 24;
        t.dns_servers = {test_support::server_address("10.8.0.1")};
        t.allowed_ips = wireguard::parse_prefix_list("10.8.0.0/24");
        t.default_route = true;
        t.set_packet_filter(tunnel_test::nothing_tunnelled{});
        t.event_callback = [this](wireguard::wg_tunnel_event e) {
            std::lock_guard lock(events_mutex);
            events.push_back(e.type);
        };
        return t;
    }

    std::size_t event_count(std::int32_t type)
    {
        std::lock_guard lock(events_mutex);
        return static_cast<std::size_t>(std::count(events.begin(), events.end(), type));
    }

    // The server's handshake response arrives (on the physical adapter, or on that
    // one); the engine accepts it with a 32-byte reply.
    void send_response(const wg_dual_tunnel& t) { send_response(t, physical); }
    void send_response(const wg_dual_tunnel& t, const simhost::adapter& on)
    {
        engine().push_read(WRITE_TO_NETWORK, 32);
        driver().inject(on.filter_handle, rimcap::direction_incoming,
                        tunnel_test::handshake_response_frame(on, gateway_mac, server.port(),
                                                              t.local_udp_port.load()));
    }

    // Starts the tunnel and activates it with a handshake response.
    void start_active(wg_dual_tunnel& t)
    {
        ASSERT_EQ(t.start(), run_states::running) << logs().text();
        send_response(t);
        ASSERT_TRUE(wait_until([&] { return t.active.load(); })) << logs().text();
    }

    simhost::adapter physical;
    simhost::adapter virtual_adapter;
    tunnel_test::dual_host_state before;
    tunnel_test::udp_sink server;
    std::unique_ptr<wg_dual_tunnel> tunnel;
    std::mutex events_mutex;
    std::vector<std::int32_t> events;
};
} // namespace dual_test
