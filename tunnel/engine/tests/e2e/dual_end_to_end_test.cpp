// End to end for the tdlp_ family: the dual tunnel through its exported functions on the
// simulated host, with the simulated virtual adapter driver loaded, against wireguard-go
// in the network namespace that run_e2e.sh creates (see end_to_end_test.cpp for the
// server's side and the wire).
//
// The simulated host has a physical Ethernet adapter (192.168.1.10/24, default gateway
// 192.168.1.1) and the virtual adapter. Its applications send through the adapter that
// the host's routes choose (the virtual adapter once the tunnel's routes are in place)
// or through the adapter of the address they are bound to, and receive what comes up
// the stacks. The captures are on, as with the client's "-log-level all".
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "e2e_checks.h"
#include "e2e_packets.h"
#include "e2e_settings.h"
#include "host.h"
#include "host_network.h"
#include "host_stack.h"
#include "log_lines.h"
#include "packet_driver.h"
#include "socket_owners.h"
#include "support/dual_host_state.h"
#include "tundrel.h"
#include "virtnet_driver.h"
#include "wait_until.h"
#include "wire.h"

namespace
{
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using e2e::bytes;
using e2e::ipv4_view;
using tunnel_test::log_lines;
using tunnel_test::wait_until;

constexpr simhost::mac_address gateway_mac = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
constexpr e2e::ipv4_address server_tunnel_address = {10, 9, 0, 1};
constexpr e2e::ipv4_address client_tunnel_address = {10, 9, 0, 2};
constexpr e2e::ipv4_address physical_address = {192, 168, 1, 10};
// The physical adapter's MTU, and the tunnel MTU that the tunnel computes from it.
constexpr std::uint16_t physical_mtu = 1500;
constexpr std::uint16_t tunnel_mtu = physical_mtu - 204;
constexpr std::uint16_t echo_port = 7007; // e2e_server.py's UDP echo on 127.0.0.1
const std::string trying_to_activate =
    "[TUN]: set_tunnel_active: Lorrivan virtual adapter not available. Trying to activate!";
const std::string activated =
    "[TUN]: set_tunnel_active: Lorrivan virtual adapter successfully activated. Starting tunneling.";

// The IP packet of a frame.
bytes packet_of(const simhost::frame_bytes& frame)
{
    return frame.size() > 14 ? bytes(frame.begin() + 14, frame.end()) : bytes{};
}

// The TCP part of a connection-opening SYN with an MSS option (its checksum is filled
// in again by the host's stack).
bytes syn_segment(std::uint16_t source_port, std::uint16_t destination_port, std::uint16_t mss)
{
    const bytes packet = e2e::tcp_syn({0, 0, 0, 0}, {0, 0, 0, 0}, source_port, destination_port, mss);
    return bytes(packet.begin() + 20, packet.end());
}

class dual_end_to_end : public ::testing::Test
{
protected:
    // The client program's settings at "-log-level all": every line, captures on.
    static void SetUpTestSuite() { handle_ = tdlp_get_handle(&log_lines::callback, 3, true); }

    void SetUp() override
    {
        settings_ = e2e::read_settings();
        ASSERT_TRUE(settings_.missing().empty()) << settings_.missing();
        ASSERT_NE(handle_, nullptr);
        host().reset();
        log_lines::instance().clear();
        e2e::remove_capture_files();
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

    fs::path write_configuration(const std::string& name, const std::string& allowed_ips = "10.9.0.0/24",
                                 const std::string& extra_peer_lines = "")
    {
        const fs::path path = fs::absolute(name);
        std::ofstream out(path);
        out << "[Interface]\n"
            << "PrivateKey = " << settings_.client_private << "\n"
            << "Address = 10.9.0.2/24\n"
            << "DNS = 10.9.0.1\n"
            << "\n[Peer]\n"
            << "PublicKey = " << settings_.server_public << "\n"
            << "AllowedIPs = " << allowed_ips << "\n"
            << "Endpoint = 127.0.0.1:" << endpoint_port_ << "\n"
            << extra_peer_lines;
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
        for (const std::string& line : {"[MGR]: Using WireGuard server: 127.0.0.1 : " + port, std::string("[MGR]: Tunnel has started"),
                                        "[TUN]: Sent handshake packet to the WireGuard server at 127.0.0.1:" + port})
            EXPECT_TRUE(log_lines::instance().contains(line)) << line;
    }

    // The adapter whose stack the frame came up.
    static std::uint64_t came_up_on(const simhost::frame_bytes& frame)
    {
        for (const auto& d : simhost::packet_driver::instance().deliveries())
            if (d.to == simhost::destination::stack && d.frame == frame)
                return d.adapter_handle;
        return 0;
    }

    // The first packet that `match` accepts among those that the server's kernel got:
    // from the tunnel address, with valid checksums.
    std::optional<bytes> at_server(const std::function<bool(const ipv4_view&)>& match) const
    {
        auto p = e2e::wait_for_server_packet("server_in.pcap", match);
        EXPECT_TRUE(p) << "did not reach the server's kernel";
        if (p) {
            EXPECT_EQ(e2e::text(ipv4_view{*p}.source()), e2e::text(client_tunnel_address));
            EXPECT_TRUE(ipv4_view{*p}.checksums_valid()) << "the server got bad checksums";
        }
        return p;
    }

    // The first packet that `match` accepts among those that left the physical adapter
    // toward the network: from the gateway's and the adapter's MACs, the adapter's
    // address, with valid checksums.
    std::optional<bytes> left_physical(const std::function<bool(const ipv4_view&)>& match) const
    {
        std::optional<bytes> found;
        wait_until(
            [&] {
                for (const auto& d : simhost::packet_driver::instance().deliveries()) {
                    bytes p = packet_of(d.frame);
                    if (d.to != simhost::destination::wire || d.adapter_handle != physical_.filter_handle ||
                        !ipv4_view{p}.valid() || !match(ipv4_view{p}))
                        continue;
                    bytes macs(gateway_mac.begin(), gateway_mac.end());
                    macs.insert(macs.end(), physical_.mac.begin(), physical_.mac.end());
                    EXPECT_EQ(bytes(d.frame.begin(), d.frame.begin() + 12), macs) << "not to the gateway";
                    found = std::move(p);
                    return true;
                }
                return false;
            },
            5s);
        EXPECT_TRUE(found) << "did not leave the physical adapter";
        if (found) {
            EXPECT_EQ(e2e::text(ipv4_view{*found}.source()), e2e::text(physical_address));
            EXPECT_TRUE(ipv4_view{*found}.checksums_valid());
        }
        return found;
    }

    // The first packet that `match` accepts among those that came up a stack to the
    // application: up the stack of the adapter `up`, to `destination`, with valid
    // checksums.
    std::optional<bytes> came_up(simhost::application& app, const std::function<bool(const ipv4_view&)>& match,
                                 const simhost::adapter& up, const e2e::ipv4_address& destination) const
    {
        const auto frame = app.receive(
            [&](const simhost::frame_bytes& f) {
                const bytes p = packet_of(f);
                return ipv4_view{p}.valid() && match(ipv4_view{p});
            },
            5s);
        EXPECT_TRUE(frame) << "nothing came up the stack";
        if (!frame)
            return std::nullopt;
        EXPECT_EQ(came_up_on(*frame), up.filter_handle) << "not up the stack of " << up.guid;
        bytes p = packet_of(*frame);
        EXPECT_EQ(e2e::text(ipv4_view{p}.destination()), e2e::text(destination));
        EXPECT_TRUE(ipv4_view{p}.checksums_valid()) << "bad checksums on the way up";
        return p;
    }

    // Sent by an application through the adapter `through`.
    static void expect_sent(const simhost::sent_packet& out, const simhost::adapter& through)
    {
        EXPECT_TRUE(out) << out.refused;
        EXPECT_EQ(out.guid, through.guid) << "the host did not route it through " << through.guid;
    }

    // An application of the host pings the server's tunnel address: the host routes the
    // request into the virtual adapter, the server's kernel gets it from the tunnel
    // address, and the reply comes up the virtual adapter's stack. Returns the sizes of
    // the request and of the reply (0 when none came).
    std::pair<std::size_t, std::size_t> echo(std::uint16_t id, std::uint16_t sequence)
    {
        const bytes data(56, static_cast<std::uint8_t>(sequence));
        simhost::application app;
        const simhost::sent_packet request = app.send_echo("10.9.0.1", id, sequence, data);
        expect_sent(request, virtual_);
        const auto is_echo = [&](std::uint8_t type) {
            return [=](const ipv4_view& v) {
                return v.protocol() == 1 && v.transport()[0] == type && e2e::get16(v.transport() + 4) == id &&
                       e2e::get16(v.transport() + 6) == sequence;
            };
        };
        at_server(is_echo(8));
        const auto reply = came_up(app, is_echo(0), virtual_, client_tunnel_address);
        if (!reply)
            return {request.frame.size() - 14, 0};
        const ipv4_view v{*reply};
        EXPECT_EQ(e2e::text(v.source()), e2e::text(server_tunnel_address));
        EXPECT_EQ(bytes(v.transport() + 8, v.transport() + v.transport_size()), data);
        return {request.frame.size() - 14, reply->size()};
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
    }

    static inline void* handle_ = nullptr;
    e2e::server_settings settings_;
    simhost::adapter physical_;
    simhost::adapter virtual_;
    std::unique_ptr<simhost::wire> wire_;
    std::uint16_t endpoint_port_ = 0;
};

TEST_F(dual_end_to_end, handshake_through_the_socks5_relay_activation_and_echo)
{
    const fs::path configuration = write_configuration(
        "dual.conf", "10.9.0.0/24", "Socks5Proxy = 127.0.0.1:" + std::to_string(settings_.socks5_port) + "\n");
    const tunnel_test::dual_host_state before = state();

    ASSERT_NO_FATAL_FAILURE(start_active(configuration));
    for (const std::string& line : {trying_to_activate, activated})
        EXPECT_TRUE(log_lines::instance().contains(line)) << line;

    // The initiation went to the server through dante's relay, and so did the answer.
    EXPECT_GE(wire_->stats().relayed_to_peer, 1u) << "nothing reached the server through the relay";
    EXPECT_GE(wire_->stats().relayed_to_relay, 1u) << "nothing came back through the relay";

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

    // A fresh session's handshake time; then data goes straight to the server, not
    // through the relay, and the statistics count exactly the echo's two packets.
    const tunnel_state fresh = tdlp_get_tunnel_state(handle_);
    EXPECT_GE(fresh.time_since_last_handshake, 0);
    EXPECT_LE(fresh.time_since_last_handshake, 30);
    const auto relayed = wire_->stats().relayed_to_peer;
    const auto [request_size, reply_size] = echo(0x4450, 1);
    EXPECT_EQ(wire_->stats().relayed_to_peer, relayed) << "data went through the relay";
    const tunnel_state s = tdlp_get_tunnel_state(handle_);
    EXPECT_EQ(s.tx_bytes, request_size);
    EXPECT_EQ(s.rx_bytes, reply_size);

    stop_and_drop(before);
    e2e::expect_captures_clean({3, 2, 0, 2});
}

TEST_F(dual_end_to_end, full_tunnel_traffic_outside_flows_and_physical_dns)
{
    // Every destination is routed into the virtual adapter; excluded.exe stays outside;
    // a keep-alive every second.
    constexpr std::uint32_t excluded_pid = 4242;
    const fs::path configuration =
        write_configuration("dual-full.conf", "0.0.0.0/0", "DisallowedApps = excluded.exe\nPersistentKeepalive = 1\n");
    auto& owners = simhost::socket_owners::instance();
    owners.add_program(excluded_pid, L"excluded.exe", L"C:\\Apps\\excluded.exe");
    const tunnel_test::dual_host_state before = state();
    ASSERT_NO_FATAL_FAILURE(start_active(configuration));
    EXPECT_EQ(tunnel_test::route_texts(state().network, virtual_.guid),
              std::vector<std::string>{"0.0.0.0/0 0 10006 0 []"});
    std::uint64_t sent = 0;
    std::uint64_t received = 0;

    // ICMP both ways through the virtual adapter.
    const auto [request_size, reply_size] = echo(0x4451, 1);
    sent += request_size;
    received += reply_size;

    // A SYN through the tunnel: its MSS clamped to the tunnel MTU on the way out, the
    // server's SYN+ACK's on the way in.
    {
        simhost::application app;
        const bytes syn = syn_segment(40001, 8080, 1460);
        expect_sent(app.send("10.9.0.1", 6, syn), virtual_);
        sent += 20 + syn.size();
        const auto at = at_server([](const ipv4_view& v) {
            return v.protocol() == 6 && v.source_port() == 40001 && (v.tcp_flags() & 0x12) == 0x02;
        });
        ASSERT_TRUE(at);
        EXPECT_EQ(ipv4_view{*at}.tcp_mss(), std::optional<std::uint16_t>(tunnel_mtu - 40));
        const auto is_syn_ack = [](const ipv4_view& v) {
            return v.protocol() == 6 && v.destination_port() == 40001 && (v.tcp_flags() & 0x12) == 0x12;
        };
        const auto syn_ack_sent = e2e::wait_for_server_packet("server_out.pcap", is_syn_ack);
        ASSERT_TRUE(syn_ack_sent) << "the server did not answer the SYN";
        const std::uint16_t server_mss = ipv4_view{*syn_ack_sent}.tcp_mss().value_or(0);
        const auto syn_ack = came_up(app, is_syn_ack, virtual_, client_tunnel_address);
        ASSERT_TRUE(syn_ack);
        received += syn_ack->size();
        EXPECT_EQ(ipv4_view{*syn_ack}.tcp_mss(),
                  std::optional<std::uint16_t>(std::min<std::uint16_t>(tunnel_mtu - 40, server_mss - 80)));
    }

    // excluded.exe's SYN, routed into the virtual adapter as well, leaves the physical
    // adapter unencrypted, from its address, with the MSS clamped to the physical MTU.
    owners.add_tcp_connection("10.9.0.2", 40002, "127.0.0.1", 8081, excluded_pid, MIB_TCP_STATE_SYN_SENT);
    expect_sent(simhost::application().send("127.0.0.1", 6, syn_segment(40002, 8081, 1460)), virtual_);
    const auto syn = left_physical([](const ipv4_view& v) { return v.protocol() == 6 && v.source_port() == 40002; });
    ASSERT_TRUE(syn);
    EXPECT_EQ(e2e::text(ipv4_view{*syn}.destination()), "127.0.0.1");
    EXPECT_EQ(ipv4_view{*syn}.tcp_mss(), std::optional<std::uint16_t>(std::min<std::uint16_t>(physical_mtu - 40, 1460 - 80)));

    // excluded.exe's UDP flow leaves the same way, and the replies come up the virtual
    // adapter's stack, to the tunnel address.
    {
        owners.add_udp_socket("0.0.0.0", 40003, excluded_pid);
        simhost::application app;
        const bytes payload = {'o', 'u', 't', 's', 'i', 'd', 'e'};
        expect_sent(app.send_udp("127.0.0.1", 40003, echo_port, payload), virtual_);
        const auto left = left_physical([](const ipv4_view& v) { return v.protocol() == 17 && v.source_port() == 40003; });
        ASSERT_TRUE(left);
        EXPECT_EQ(ipv4_view{*left}.udp_payload(), payload) << "not sent as it was";
        const auto reply = came_up(
            app, [](const ipv4_view& v) { return v.protocol() == 17 && v.source_port() == echo_port; }, virtual_,
            client_tunnel_address);
        ASSERT_TRUE(reply);
        EXPECT_EQ(e2e::text(ipv4_view{*reply}.source()), "127.0.0.1");
        EXPECT_EQ(ipv4_view{*reply}.destination_port(), 40003);
        EXPECT_EQ(ipv4_view{*reply}.udp_payload(), payload);
    }

    // A DNS query of the physical adapter's stack to a server that is not configured
    // goes to the configured one through the tunnel; the answer comes up the physical
    // adapter's stack as from the server asked.
    {
        simhost::application app("192.168.1.10");
        const bytes query = e2e::dns_query(0x5A5B, "dual.lorrivan.test");
        expect_sent(app.send_udp("192.0.2.53", 53002, 53, query), physical_);
        sent += 28 + query.size();
        const auto at = at_server([](const ipv4_view& v) {
            return v.protocol() == 17 && v.source_port() == 53002 && v.destination_port() == 53;
        });
        ASSERT_TRUE(at);
        EXPECT_EQ(e2e::text(ipv4_view{*at}.destination()), e2e::text(server_tunnel_address));
        const auto answer = came_up(
            app, [](const ipv4_view& v) { return v.protocol() == 17 && v.source_port() == 53 && v.destination_port() == 53002; },
            physical_, physical_address);
        ASSERT_TRUE(answer);
        received += answer->size();
        EXPECT_EQ(e2e::text(ipv4_view{*answer}.source()), "192.0.2.53") << "the answer is not translated back";
        const bytes answer_payload = ipv4_view{*answer}.udp_payload();
        ASSERT_GE(answer_payload.size(), 16u);
        EXPECT_EQ(e2e::get16(&answer_payload[0]), 0x5A5B);
        EXPECT_EQ(bytes(answer_payload.end() - 4, answer_payload.end()), (bytes{192, 0, 2, 99}));
        for (const char* line : {"[TUN]: Default adapter DNS request to 192.0.2.53 redirected to 10.9.0.1",
                                 "[TUN]: DNS response from 10.9.0.1 converted as from 192.0.2.53",
                                 "[TUN]: Default interface : DNS : 192.0.2.53:53 -> 192.168.1.10:53002"})
            EXPECT_TRUE(log_lines::instance().contains(line)) << line;
    }

    // The tunnel socket's keep-alives, which the host now routes into the virtual adapter
    // too, leave the physical adapter to the server.
    const std::string rerouted = "as a frame of " + virtual_.guid;
    ASSERT_TRUE(wait_until(
        [&] {
            for (const auto& e : wire_->events())
                if (e.find(rerouted) != std::string::npos)
                    return true;
            return false;
        },
        3s))
        << "no datagram of the tunnel's socket went into the virtual adapter";
    const auto to_peer = wire_->stats().to_peer;
    EXPECT_TRUE(wait_until([&] { return wire_->stats().to_peer > to_peer; }, 3s));
    EXPECT_TRUE(tdlp_get_tunnel_active(handle_));

    // The statistics count exactly what went through the tunnel, and what came back.
    ASSERT_TRUE(wait_until([&] { return tdlp_get_tunnel_state(handle_).rx_bytes >= received; }));
    const tunnel_state s = tdlp_get_tunnel_state(handle_);
    EXPECT_EQ(s.tx_bytes, sent);
    EXPECT_GE(s.rx_bytes, received);

    stop_and_drop(before);
    e2e::expect_captures_clean({6, 6, 3, 8});
    e2e::expect_capture_clean("server_in.pcap", 3);
}

TEST_F(dual_end_to_end, a_network_change_restarts_the_tunnel_and_traffic_flows_again)
{
    const fs::path configuration = write_configuration("dual-restart.conf");
    const tunnel_test::dual_host_state before = state();
    ASSERT_NO_FATAL_FAILURE(start_active(configuration));
    const std::string sent = "[TUN]: Sent handshake packet to the WireGuard server at 127.0.0.1:" +
                             std::to_string(endpoint_port_);
    EXPECT_EQ(log_lines::instance().count(sent), 1u);
    EXPECT_GT(echo(0x4452, 1).second, 0u);

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
    EXPECT_GT(echo(0x4452, 2).second, 0u) << "no traffic after the restart";

    network().remove_address(physical_.guid, "192.168.1.11");
    stop_and_drop(before);
    e2e::expect_captures_clean({4, 4, 0, 4});
}
} // namespace
