// End to end: the library through its exported functions on the simulated host,
// against a real WireGuard server (wireguard-go) in the network namespace that
// run_e2e.sh creates and in which this program runs under Wine.
//
// The simulated host has one Ethernet adapter with a default gateway; the simulated
// wire carries the tunnel's datagrams over loopback to wireguard-go on 127.0.0.1:51820.
// The server's tunnel interface is 10.9.0.1/24 with a DNS responder on 10.9.0.1:53 and
// a TCP listener on 10.9.0.1:8080, and everything that crosses it is recorded in
// server_in.pcap (into the server's kernel) and server_out.pcap (out of it). A SOCKS5
// proxy (dante-server) listens on 127.0.0.1:1080 and relays from 127.0.0.2.
//
// Application traffic is injected as the local stack's outgoing frames; what the
// library hands up to the stack is read from the simulated driver's deliveries.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "e2e_checks.h"
#include "e2e_packets.h"
#include "e2e_settings.h"
#include "host.h"
#include "host_network.h"
#include "log_lines.h"
#include "packet_driver.h"
#include "tundrel.h"
#include "wait_until.h"
#include "wire.h"

namespace
{
using namespace e2e;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr ipv4_address server_tunnel_address = {10, 9, 0, 1};
constexpr ipv4_address client_tunnel_address = {10, 9, 0, 2};
constexpr mac gateway_mac = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
constexpr std::uint16_t tunnel_mtu = 1420;

using tunnel_test::log_lines;

using tunnel_test::wait_until;

// The IPv4 packets of the frames that the library handed to the wire or the stack.
std::vector<bytes> delivered_packets(simhost::destination to)
{
    std::vector<bytes> out;
    for (const auto& d : simhost::packet_driver::instance().deliveries())
        if (d.to == to && d.frame.size() > 14 && d.frame[12] == 0x08 && d.frame[13] == 0x00)
            out.emplace_back(d.frame.begin() + 14, d.frame.end());
    return out;
}

// Waits for a packet that the predicate accepts among those delivered to `to`.
std::optional<bytes> wait_for_packet(simhost::destination to, const std::function<bool(const ipv4_view&)>& match,
                                     std::chrono::milliseconds limit = 5s)
{
    std::optional<bytes> found;
    wait_until(
        [&] {
            for (auto& p : delivered_packets(to)) {
                const ipv4_view v{p};
                if (v.valid() && match(v)) {
                    found = std::move(p);
                    return true;
                }
            }
            return false;
        },
        limit);
    return found;
}

class end_to_end : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        // The client program's settings at "-log-level all": every line, captures on.
        handle_ = tdl_get_handle(&log_lines::callback, 3, true);
    }

    void SetUp() override
    {
        settings_ = read_settings();
        ASSERT_TRUE(settings_.missing().empty()) << settings_.missing();
        ASSERT_NE(handle_, nullptr);
        host().reset();
        log_lines::instance().clear();
        remove_capture_files();
    }

    void TearDown() override
    {
        // Whatever happened, no tunnel is left for the next test.
        tdl_stop_tunnel(handle_);
        tdl_drop_tunnel(handle_);
        if (wire_)
            wire_->stop();
        for (const auto& error : driver().errors())
            ADD_FAILURE() << "driver rule broken by call " << error.call << ": " << error.text;
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

    static simhost::packet_driver& driver() { return simhost::packet_driver::instance(); }
    static simhost::host& host() { return simhost::host::instance(); }
    static simhost::host_network& network() { return simhost::host_network::instance(); }

    // The adapter toward everything (127.0.0.1 included) and the wire to wireguard-go.
    void make_host(const std::string& address, std::uint8_t prefix, const std::string& gateway)
    {
        adapter_ = host().add_adapter({});
        network().add_address(adapter_.guid, address, prefix);
        network().add_default_gateway(adapter_.guid, gateway, gateway_mac);
        wire_ = std::make_unique<simhost::wire>();
        endpoint_port_ = wire_->add_endpoint("127.0.0.1", settings_.server_port);
    }

    // The client's configuration file, as a user would write it.
    fs::path write_configuration(const std::string& name, const std::string& extra_peer_lines = "")
    {
        const fs::path path = fs::absolute(name);
        std::ofstream out(path);
        out << "[Interface]\n"
            << "PrivateKey = " << settings_.client_private << "\n"
            << "Address = " << text(client_tunnel_address) << "/24\n"
            << "DNS = " << text(server_tunnel_address) << "\n"
            << "\n[Peer]\n"
            << "PublicKey = " << settings_.server_public << "\n"
            << "AllowedIPs = 10.9.0.0/24\n"
            << "Endpoint = 127.0.0.1:" << endpoint_port_ << "\n"
            << "PersistentKeepalive = 25\n"
            << extra_peer_lines;
        return path;
    }

    void inject(const bytes& ip)
    {
        driver().inject(adapter_.filter_handle, 1, ethernet_frame(gateway_mac, adapter_.mac, ip));
    }

    // Creates and starts the tunnel from the file and waits for the handshake.
    void start_tunnel(const fs::path& configuration)
    {
        ASSERT_TRUE(tdl_create_tunnel_from_file_w(handle_, configuration.wstring().c_str()));
        EXPECT_FALSE(tdl_get_tunnel_active(handle_)) << "active before any start";
        ASSERT_TRUE(tdl_start_tunnel(handle_));
        ASSERT_TRUE(wait_until([&] { return tdl_get_tunnel_active(handle_); }))
            << "no handshake with wireguard-go";
        const std::string server = "127.0.0.1 : " + std::to_string(endpoint_port_);
        EXPECT_TRUE(log_lines::instance().contains("[MGR]: Using WireGuard server: " + server));
        EXPECT_TRUE(log_lines::instance().contains("[MGR]: Tunnel has started"));
        EXPECT_TRUE(log_lines::instance().contains("[TUN]: Handshake response received from " + server));
    }

    // An ICMP echo through the tunnel: the server's kernel gets it from the tunnel
    // address, and the reply reaches the stack addressed to the sender's own address.
    // Returns the sizes of the request and of the reply.
    std::pair<std::size_t, std::size_t> echo(const ipv4_address& local, std::uint16_t id, std::uint16_t sequence)
    {
        const bytes request = icmp_echo_request(local, server_tunnel_address, id, sequence, 56);
        inject(request);
        const auto at_server = wait_for_server_packet("server_in.pcap", [&](const ipv4_view& v) {
            return v.protocol() == 1 && v.transport()[0] == 8 && get16(v.transport() + 4) == id &&
                   get16(v.transport() + 6) == sequence;
        });
        EXPECT_TRUE(at_server) << "the echo request did not reach the server's kernel";
        if (at_server) {
            const ipv4_view v{*at_server};
            EXPECT_EQ(text(v.source()), text(client_tunnel_address)) << "not from the tunnel address";
            EXPECT_EQ(text(v.destination()), text(server_tunnel_address));
            EXPECT_TRUE(v.checksums_valid()) << "the server got bad checksums";
            EXPECT_EQ(bytes(v.transport() + 8, v.transport() + v.transport_size()),
                      bytes(request.begin() + 28, request.end()));
        }
        const auto reply = wait_for_packet(simhost::destination::stack, [&](const ipv4_view& v) {
            return v.protocol() == 1 && v.transport()[0] == 0 && get16(v.transport() + 4) == id &&
                   get16(v.transport() + 6) == sequence;
        });
        EXPECT_TRUE(reply) << "no echo reply reached the stack";
        if (!reply)
            return {request.size(), 0};
        const ipv4_view v{*reply};
        EXPECT_EQ(text(v.source()), text(server_tunnel_address));
        EXPECT_EQ(text(v.destination()), text(local)) << "not addressed to the sender's own address";
        EXPECT_TRUE(v.checksums_valid()) << "bad checksums on the echo reply";
        EXPECT_EQ(bytes(v.transport() + 8, v.transport() + v.transport_size()), bytes(request.begin() + 28, request.end()))
            << "the reply does not carry the request's data";
        return {request.size(), reply->size()};
    }

    // Stops and drops the tunnel: nothing of it is left on the host.
    void stop_and_drop(const simhost::network_snapshot& before)
    {
        EXPECT_TRUE(tdl_stop_tunnel(handle_));
        EXPECT_FALSE(tdl_get_tunnel_active(handle_));
        EXPECT_EQ(driver().mode(adapter_.filter_handle), 0u) << "the adapter is still filtered";
        EXPECT_EQ(network().registration_count(), 0u) << "the interface-change registration is still held";
        EXPECT_TRUE(tdl_drop_tunnel(handle_));
        EXPECT_EQ(network().snapshot(), before) << "the host network is not as it was";
        EXPECT_EQ(driver().open_device_count(), 0u) << "the driver is still open";
        EXPECT_FALSE(tdl_get_tunnel_active(handle_));
    }

    // The four capture files, read by tshark once the tunnel is gone.
    static void expect_captures_clean(std::size_t minimum_ext) { e2e::expect_captures_clean({3, 2, minimum_ext, 2}); }

    static inline void* handle_ = nullptr;
    server_settings settings_;
    simhost::adapter adapter_;
    std::unique_ptr<simhost::wire> wire_;
    std::uint16_t endpoint_port_ = 0;
};

TEST_F(end_to_end, traffic_through_wireguard_go)
{
    const ipv4_address local = {192, 168, 1, 10};
    make_host("192.168.1.10", 24, "192.168.1.1");
    const fs::path configuration = write_configuration("direct.conf");
    const simhost::network_snapshot before = network().snapshot();

    ASSERT_NO_FATAL_FAILURE(start_tunnel(configuration));
    const tunnel_state fresh = tdl_get_tunnel_state(handle_);
    EXPECT_GE(fresh.time_since_last_handshake, 0);
    EXPECT_EQ(fresh.tx_bytes, 0u);
    EXPECT_EQ(fresh.rx_bytes, 0u);

    std::uint64_t sent = 0;
    std::uint64_t received = 0;

    // An ICMP echo and its reply.
    const auto [request_size, reply_size] = echo(local, 0x4C52, 1);
    sent += request_size;
    received += reply_size;

    // A DNS query to a server that is not configured goes to the configured one, and
    // its answer comes back as from the server that the application asked.
    const ipv4_address asked = {192, 0, 2, 53};
    const bytes query = udp_datagram(local, asked, 53001, 53, dns_query(0x5A5A, "e2e.lorrivan.test"), 0x3001);
    inject(query);
    sent += query.size();
    const auto query_at_server = wait_for_server_packet("server_in.pcap", [](const ipv4_view& v) {
        return v.protocol() == 17 && v.source_port() == 53001 && v.destination_port() == 53;
    });
    ASSERT_TRUE(query_at_server) << "the DNS query did not reach the server";
    {
        const ipv4_view v{*query_at_server};
        EXPECT_EQ(text(v.source()), text(client_tunnel_address));
        EXPECT_EQ(text(v.destination()), text(server_tunnel_address)) << "not redirected to the configured server";
        EXPECT_TRUE(v.checksums_valid());
    }
    const auto answer = wait_for_packet(simhost::destination::stack, [](const ipv4_view& v) {
        return v.protocol() == 17 && v.source_port() == 53 && v.destination_port() == 53001;
    });
    ASSERT_TRUE(answer) << "no DNS answer reached the stack";
    {
        const ipv4_view v{*answer};
        received += answer->size();
        EXPECT_EQ(text(v.source()), text(asked)) << "the answer is not translated back";
        EXPECT_EQ(text(v.destination()), text(local));
        EXPECT_TRUE(v.checksums_valid()) << "bad checksums on the DNS answer";
        const bytes payload = v.udp_payload();
        ASSERT_GE(payload.size(), 16u);
        EXPECT_EQ(get16(&payload[0]), 0x5A5A);
        EXPECT_EQ(get16(&payload[6]), 1) << "one answer";
        EXPECT_EQ(bytes(payload.end() - 4, payload.end()), (bytes{192, 0, 2, 99}));
    }
    EXPECT_TRUE(log_lines::instance().contains("[FILTER]: SYSTEM : DNS : 192.168.1.10:53001 -> 10.9.0.1[192.0.2.53]:53"));
    EXPECT_TRUE(log_lines::instance().contains("[TUN]: DNS request to 192.0.2.53 forwarded to 10.9.0.1"));
    EXPECT_TRUE(log_lines::instance().contains("[TUN]: DNS response from 10.9.0.1 translated as from 192.0.2.53"));

    // A TCP SYN's MSS is clamped on the way out; the server's SYN+ACK on the way in.
    const bytes syn = tcp_syn(local, server_tunnel_address, 40001, 8080, 1460);
    inject(syn);
    sent += syn.size();
    const auto syn_at_server = wait_for_server_packet("server_in.pcap", [](const ipv4_view& v) {
        return v.protocol() == 6 && v.source_port() == 40001 && (v.tcp_flags() & 0x12) == 0x02;
    });
    ASSERT_TRUE(syn_at_server) << "the SYN did not reach the server";
    {
        const ipv4_view v{*syn_at_server};
        EXPECT_EQ(text(v.source()), text(client_tunnel_address));
        EXPECT_TRUE(v.checksums_valid());
        EXPECT_EQ(v.tcp_mss(), std::optional<std::uint16_t>(1460 - 80)) << "MSS not clamped";
    }
    const auto syn_ack_sent = wait_for_server_packet("server_out.pcap", [](const ipv4_view& v) {
        return v.protocol() == 6 && v.destination_port() == 40001 && (v.tcp_flags() & 0x12) == 0x12;
    });
    ASSERT_TRUE(syn_ack_sent) << "the server did not answer the SYN";
    const auto server_mss = ipv4_view{*syn_ack_sent}.tcp_mss();
    ASSERT_TRUE(server_mss);
    const auto syn_ack = wait_for_packet(simhost::destination::stack, [](const ipv4_view& v) {
        return v.protocol() == 6 && v.source_port() == 8080 && v.destination_port() == 40001 &&
               (v.tcp_flags() & 0x12) == 0x12;
    });
    ASSERT_TRUE(syn_ack) << "no SYN+ACK reached the stack";
    {
        const ipv4_view v{*syn_ack};
        received += syn_ack->size();
        EXPECT_EQ(text(v.destination()), text(local));
        EXPECT_TRUE(v.checksums_valid()) << "bad checksums on the SYN+ACK";
        EXPECT_EQ(v.tcp_mss(), std::optional<std::uint16_t>(static_cast<std::uint16_t>(*server_mss - 80)))
            << "the SYN+ACK's MSS is not clamped";
    }

    // A packet above the tunnel's MTU with DF is answered on the spot.
    const bytes oversize = icmp_echo_request(local, server_tunnel_address, 0x0B16, 9, tunnel_mtu + 1 - 28);
    ASSERT_EQ(oversize.size(), tunnel_mtu + 1u);
    inject(oversize);
    const auto too_big = wait_for_packet(simhost::destination::stack, [](const ipv4_view& v) {
        return v.protocol() == 1 && v.transport()[0] == 3 && v.transport()[1] == 4;
    });
    ASSERT_TRUE(too_big) << "no fragmentation-needed reply";
    {
        const ipv4_view v{*too_big};
        EXPECT_EQ(text(v.source()), text(server_tunnel_address));
        EXPECT_EQ(text(v.destination()), text(local));
        EXPECT_TRUE(v.checksums_valid());
        EXPECT_EQ(get16(v.transport() + 6), tunnel_mtu) << "next-hop MTU";
        ASSERT_GE(v.transport_size(), 8u + 28u);
        EXPECT_EQ(bytes(v.transport() + 8, v.transport() + 8 + 28), bytes(oversize.begin(), oversize.begin() + 28))
            << "the quote is not the sender's header and first 8 bytes";
    }
    EXPECT_TRUE(log_lines::instance().contains(
        "[TUN]: Packet size is above MTU: ip_len = 1421 MTU = 1420 => Injecting ICMP unreachable"));

    // A packet for elsewhere leaves unchanged.
    const ipv4_address elsewhere = {198, 51, 100, 7};
    const bytes outside = udp_datagram(local, elsewhere, 40404, 9, bytes(20, 0x42), 0x4001);
    inject(outside);
    EXPECT_TRUE(wait_for_packet(simhost::destination::wire, [&](const ipv4_view& v) { return v.p == outside; }))
        << "a packet outside the tunnel did not leave unchanged";

    // The statistics count exactly the packets that went through, and what came back.
    ASSERT_TRUE(wait_until([&] { return tdl_get_tunnel_state(handle_).rx_bytes >= received; }));
    const tunnel_state state = tdl_get_tunnel_state(handle_);
    EXPECT_EQ(state.tx_bytes, sent);
    EXPECT_GE(state.rx_bytes, received);
    EXPECT_GE(state.time_since_last_handshake, 0);
    EXPECT_LE(state.time_since_last_handshake, 30);
    EXPECT_GE(state.estimated_rtt, 0);

    // The oversize packet never reached the server.
    const auto at_server = read_pcap("server_in.pcap");
    ASSERT_TRUE(at_server);
    for (const auto& p : *at_server) {
        const ipv4_view v{p};
        EXPECT_FALSE(v.valid() && v.protocol() == 1 && get16(v.transport() + 4) == 0x0B16) << "oversize packet sent";
    }

    stop_and_drop(before);
    expect_captures_clean(1);
    // What the server's kernel got out of the tunnel holds no bad checksum either.
    expect_capture_clean("server_in.pcap", 3);
}

TEST_F(end_to_end, handshake_through_a_socks5_relay_with_address_switching)
{
    // A link-local address only: the tunnel lends the adapter its own address.
    const ipv4_address local = {169, 254, 10, 20};
    make_host("169.254.10.20", 16, "169.254.0.1");
    const fs::path configuration =
        write_configuration("relayed.conf", "Socks5Proxy = 127.0.0.1:" + std::to_string(settings_.socks5_port) + "\n");
    const simhost::network_snapshot before = network().snapshot();

    ASSERT_NO_FATAL_FAILURE(start_tunnel(configuration));
    EXPECT_TRUE(log_lines::instance().contains("[MGR]: Using SOCKS5 proxy for WireGuard handshake: 127.0.0.1 : " +
                                               std::to_string(settings_.socks5_port)));

    // The handshake initiation went to the relay in a SOCKS5 UDP request, the relay
    // passed it on to the server and the response came back through it.
    const auto counters = wire_->stats();
    EXPECT_GE(counters.relayed_to_peer, 1u) << "nothing reached the server through the relay";
    EXPECT_GE(counters.relayed_to_relay, 1u) << "nothing came back through the relay";
    bool wrapped_initiation = false;
    for (const auto& p : delivered_packets(simhost::destination::wire)) {
        const ipv4_view v{p};
        if (!v.valid() || v.protocol() != 17 || v.transport_size() != 8 + 10 + 148)
            continue;
        const bytes payload = v.udp_payload();
        const bytes header = {0, 0, 0, 1, 127, 0, 0, 1, static_cast<std::uint8_t>(endpoint_port_ >> 8),
                              static_cast<std::uint8_t>(endpoint_port_)};
        if (bytes(payload.begin(), payload.begin() + 10) == header && payload[10] == 1 &&
            text(v.destination()) == "127.0.0.1" && v.destination_port() != endpoint_port_)
            wrapped_initiation = true;
    }
    EXPECT_TRUE(wrapped_initiation) << "no handshake initiation was sent to the relay";

    // While the tunnel runs the adapter holds the tunnel's address, a default route and
    // the neighbour behind it.
    const simhost::network_snapshot running = network().snapshot();
    const auto has_address = std::any_of(running.addresses.begin(), running.addresses.end(), [&](const auto& r) {
        return r.guid == adapter_.guid && r.address == "10.9.0.2" && r.prefix_length == 24;
    });
    EXPECT_TRUE(has_address) << running;
    const auto has_route = std::any_of(running.routes.begin(), running.routes.end(), [&](const auto& r) {
        return r.guid == adapter_.guid && r.destination == "0.0.0.0/0" && r.next_hop == "10.9.0.1" && r.metric == 1;
    });
    EXPECT_TRUE(has_route) << running;
    const auto has_neighbour = std::any_of(running.neighbours.begin(), running.neighbours.end(), [&](const auto& r) {
        return r.guid == adapter_.guid && r.address == "10.9.0.1" &&
               r.physical_address == std::vector<std::uint8_t>(gateway_mac.begin(), gateway_mac.end()) && r.state == 6;
    });
    EXPECT_TRUE(has_neighbour) << running;
    EXPECT_EQ(running.addresses.size(), before.addresses.size() + 1) << running;
    EXPECT_EQ(running.routes.size(), before.routes.size() + 1) << running;
    EXPECT_EQ(running.neighbours.size(), before.neighbours.size() + 1) << running;

    // Data goes straight to the server, not through the relay.
    const auto relayed = wire_->stats().relayed_to_peer;
    const auto [request_size, reply_size] = echo(local, 0x50C5, 1);
    EXPECT_GT(reply_size, 0u);
    EXPECT_EQ(wire_->stats().relayed_to_peer, relayed) << "data went through the relay";
    const tunnel_state state = tdl_get_tunnel_state(handle_);
    EXPECT_EQ(state.tx_bytes, request_size);
    EXPECT_GE(state.rx_bytes, reply_size);

    stop_and_drop(before);
    expect_captures_clean(0);
}
TEST_F(end_to_end, restart_on_a_network_change_and_a_second_start)
{
    const ipv4_address local = {192, 168, 1, 10};
    make_host("192.168.1.10", 24, "192.168.1.1");
    const fs::path configuration = write_configuration("restart.conf");

    ASSERT_NO_FATAL_FAILURE(start_tunnel(configuration));
    EXPECT_GT(echo(local, 0x5E57, 1).second, 0u);

    // The default adapter gets a second address: the tunnel restarts on its own, with a
    // new socket, and shakes hands with the server again.
    network().add_address(adapter_.guid, "192.168.1.11", 24);
    const simhost::network_snapshot before = network().snapshot();
    network().fire_interface_change(adapter_.guid);
    ASSERT_TRUE(network().wait_for_notifications());
    EXPECT_TRUE(log_lines::instance().contains("[TUN]: WireGuard tunnel was successfully stopped!"));
    EXPECT_TRUE(log_lines::instance().contains("[TUN]: WireGuard tunnel was successfully started!"));
    ASSERT_TRUE(wait_until([&] { return tdl_get_tunnel_active(handle_); })) << "no handshake after the restart";
    EXPECT_GT(echo(local, 0x5E57, 2).second, 0u);

    // A notification without a change leaves the running tunnel alone.
    log_lines::instance().clear();
    network().fire_interface_change(adapter_.guid);
    ASSERT_TRUE(network().wait_for_notifications());
    EXPECT_FALSE(log_lines::instance().contains("[TUN]: WireGuard tunnel was successfully stopped!"));
    EXPECT_TRUE(tdl_get_tunnel_active(handle_));

    // Stopped and started again by the caller: one registration, a new handshake.
    EXPECT_TRUE(tdl_stop_tunnel(handle_));
    EXPECT_FALSE(tdl_get_tunnel_active(handle_));
    EXPECT_EQ(network().registration_count(), 0u);
    ASSERT_TRUE(tdl_start_tunnel(handle_));
    EXPECT_EQ(network().registration_count(), 1u);
    ASSERT_TRUE(wait_until([&] { return tdl_get_tunnel_active(handle_); })) << "no handshake after a second start";
    EXPECT_GT(echo(local, 0x5E57, 3).second, 0u);
    EXPECT_EQ(tdl_get_tunnel_state(handle_).tx_bytes, 3u * 84u) << "the statistics belong to the tunnel, not to a start";

    stop_and_drop(before);
    expect_captures_clean(0);
}
} // namespace
