// Start, stop and restart of the single-adapter tunnel with the real engine on the
// simulated host: the handshake initiation through the filter and the wire to a server
// in the test process, the engine's timers on a driven clock, starts that fail at each
// step, and stops at every moment, with the host network as it was every time.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "netaccess/platform.h"
#include "socks5_test_support.h"
#include "support/real_tunnel.h"
#include "wgengine/engine_clock.h"

namespace
{
using namespace std::chrono_literals;
using tunnel_test::log_lines;
using tunnel_test::wait_until;
using fn = simhost::iphelper_function;
namespace run_states = wireguard::run_states;

std::uint16_t get16(const simhost::frame_bytes& f, std::size_t at)
{
    return static_cast<std::uint16_t>(f[at] << 8 | f[at + 1]);
}

std::uint32_t get32(const simhost::frame_bytes& f, std::size_t at)
{
    std::uint32_t v;
    std::memcpy(&v, &f[at], 4);
    return v;
}

// A UDP frame's payload length, or 0 when the frame is not IPv4 UDP.
std::size_t udp_payload(const simhost::frame_bytes& f)
{
    if (f.size() < 42 || get16(f, 12) != 0x0800 || f[23] != 17)
        return 0;
    return get16(f, 38) - 8u;
}

class tunnel_start : public tunnel_test::real_tunnel_test
{
protected:
    void SetUp() override
    {
        real_tunnel_test::SetUp();
        before = network().snapshot();
    }

    // Nothing of a start is left: stopped, no socket, filter idle, no client, no thread,
    // and the host network as it was.
    void expect_clean(const wireguard::wg_tunnel& t)
    {
        EXPECT_EQ(t.run_state.load(), run_states::stopped);
        EXPECT_FALSE(t.socket);
        EXPECT_EQ(t.filter->filter_state.load(), rimcap::queued_packet_filter::state_idle);
        EXPECT_EQ(t.socks5.get(), nullptr);
        EXPECT_FALSE(t.keep_alive.joinable());
        EXPECT_FALSE(t.address_switching.any_row());
        EXPECT_EQ(network().snapshot(), before);
        EXPECT_EQ(driver().mode(adapter.filter_handle), 0u);
    }

    void record_events(wireguard::wg_tunnel& t)
    {
        t.event_callback = [this](wireguard::wg_tunnel_event e) {
            std::lock_guard lock(events_mutex);
            events.push_back(e.type);
        };
    }
    std::size_t event_count(std::int32_t type)
    {
        std::lock_guard lock(events_mutex);
        return static_cast<std::size_t>(std::count(events.begin(), events.end(), type));
    }

    simhost::network_snapshot before;
    std::mutex events_mutex;
    std::vector<std::int32_t> events;
};

TEST_F(tunnel_start, the_initiation_reaches_the_server_through_the_filter_and_the_answer_comes_back)
{
    start_server();
    auto& t = make_tunnel();
    record_events(t);
    ASSERT_EQ(t.start_internal(), run_states::running) << log_lines::instance().text();
    EXPECT_TRUE(log_lines::instance().contains("[TUN]: Sent handshake packet to the WireGuard server at 127.0.0.1:" +
                                                std::to_string(server_port) + " \n"));
    EXPECT_EQ(event_count(wireguard::tunnel_event::handshake_initiation_sent), 1u);
    EXPECT_EQ(driver().mode(adapter.filter_handle), rimcap::mode_hold_outgoing | rimcap::mode_hold_incoming);

    ASSERT_TRUE(wait_until([&] { return responder->responses_sent() >= 1; })) << wire->events().size();
    const auto at_server = responder->received().front();
    EXPECT_EQ(at_server.bytes.size(), 148u);
    EXPECT_EQ(at_server.bytes[0], 1) << "a handshake initiation";

    // On the wire: the initiation as the filter sent it on, from the learned local address
    // and the socket's port, to the learned next hop.
    ASSERT_TRUE(wait_until([&] {
        for (const auto& d : deliveries_to(simhost::destination::wire))
            if (d.by_program && udp_payload(d.frame) == 148)
                return true;
        return false;
    }));
    for (const auto& d : deliveries_to(simhost::destination::wire)) {
        if (!d.by_program || udp_payload(d.frame) != 148)
            continue;
        EXPECT_EQ(get16(d.frame, 38), 156) << "UDP length";
        EXPECT_EQ(get32(d.frame, 26), t.address_switching.local_ipv4_address);
        EXPECT_EQ(get32(d.frame, 26), tunnel_test::ipv4(192, 168, 1, 10));
        EXPECT_EQ(get32(d.frame, 30), tunnel_test::ipv4(127, 0, 0, 1));
        EXPECT_EQ(get16(d.frame, 34), t.local_udp_port);
        EXPECT_EQ(get16(d.frame, 36), server_port);
        EXPECT_TRUE(std::equal(t.address_switching.next_hop_mac.begin(), t.address_switching.next_hop_mac.end(),
                               d.frame.begin()));
        EXPECT_EQ(t.address_switching.next_hop_mac, gateway_mac);
    }

    // The server's handshake response arrives as a frame received on the adapter; the
    // incoming handler turns it round into the 32-byte reply to the server, which the
    // filter sends back out, and the tunnel is active.
    ASSERT_TRUE(wait_until([&] { return t.active.load(); })) << log_lines::instance().text();
    EXPECT_TRUE(log_lines::instance().contains("[TUN]: Handshake response received from 127.0.0.1 : " +
                                                std::to_string(server_port)));
    EXPECT_EQ(event_count(wireguard::tunnel_event::handshake_response_accepted), 1u);
    ASSERT_TRUE(wait_until([&] {
        const auto got = responder->received();
        return std::any_of(got.begin(), got.end(), [](const auto& d) { return d.bytes.size() == 32; });
    })) << "the reply reached the server";
    bool reply_seen = false;
    for (const auto& d : deliveries_to(simhost::destination::wire)) {
        if (!d.by_program || udp_payload(d.frame) != 32)
            continue;
        reply_seen = true;
        EXPECT_EQ(d.direction, 2u) << "a received frame sent back out";
        EXPECT_EQ(d.frame[42], 4) << "a keep-alive on the new session";
        EXPECT_EQ(get32(d.frame, 26), tunnel_test::ipv4(192, 168, 1, 10));
        EXPECT_EQ(get32(d.frame, 30), tunnel_test::ipv4(127, 0, 0, 1));
        EXPECT_EQ(get16(d.frame, 34), t.local_udp_port);
        EXPECT_EQ(get16(d.frame, 36), server_port);
    }
    EXPECT_TRUE(reply_seen);
    for (const auto& d : deliveries_to(simhost::destination::stack))
        EXPECT_NE(udp_payload(d.frame), 92u) << "the response never reaches the stack";

    t.stop();
    EXPECT_TRUE(log_lines::instance().contains("[TUN]: keep_alive_thread: exiting \n"));
    expect_clean(t);
}

// The engine's timers on a clock the test drives.
class driven_clock
{
public:
    driven_clock() { wireguard::engine::set_clock_source(&read); }
    ~driven_clock() { wireguard::engine::set_clock_source(nullptr); }
    static void advance(std::chrono::milliseconds by) { now += static_cast<std::uint64_t>(by.count()) * 1000000u; }

private:
    static std::uint64_t read() { return now.load(); }
    static inline std::atomic<std::uint64_t> now{7'000'000'000'000u};
};

TEST_F(tunnel_start, the_keep_alive_thread_drives_the_engine_timers)
{
    driven_clock clock;
    start_server();
    responder->set_answering(false);
    auto& t = make_tunnel();
    ASSERT_EQ(t.start_internal(), run_states::running);
    ASSERT_TRUE(wait_until([&] { return responder->received_count() == 1; }));
    const std::string retransmitted =
        "[TUN]: keep_alive_thread: Sending Handshake packet to WireGuard Server success \n";
    EXPECT_FALSE(log_lines::instance().contains(retransmitted));

    // No response came, so the engine sends its initiation again after the
    // retransmission time.
    clock.advance(6s);
    ASSERT_TRUE(wait_until([&] { return log_lines::instance().contains(retransmitted); }))
        << log_lines::instance().text();
    ASSERT_TRUE(wait_until([&] { return responder->received_count() == 2; }));
    EXPECT_EQ(responder->received()[1].bytes.size(), 148u);
    EXPECT_FALSE(t.active.load());

    // The server answers the next one: the incoming path completes the handshake, and
    // with a session the persistent keep-alive (25 s) follows.
    responder->set_answering(true);
    clock.advance(6s);
    ASSERT_TRUE(wait_until([&] { return t.active.load(); })) << log_lines::instance().text();
    const auto keepalives = [&] {
        const auto got = responder->received();
        return std::count_if(got.begin(), got.end(), [](const auto& d) { return d.bytes.size() == 32; });
    };
    ASSERT_TRUE(wait_until([&] { return keepalives() == 1; })) << "the handshake reply";

    clock.advance(26s);
    const std::string keepalive = "[TUN]: keep_alive_thread: Sending Keepalive packet to WireGuard Server success \n";
    ASSERT_TRUE(wait_until([&] { return log_lines::instance().contains(keepalive); })) << log_lines::instance().text();
    ASSERT_TRUE(wait_until([&] { return keepalives() >= 2; }));
    t.stop();
    expect_clean(t);
}

// ---- starts that fail, and host state over many cycles --------------------------------------

enum class failure {
    none,
    adapter_list,
    best_interface,
    filter_adapter_list,
    route_refused,
    neighbour_refused,
    address_refused,
    packet_event_refused,
    proxy_refused,
    no_endpoint,
    count
};

TEST_F(tunnel_start, a_hundred_cycles_with_starts_failing_at_every_step_leave_the_host_as_it_was)
{
    // An adapter that needs switching of both families: six rows per start.
    host().reset();
    adapter = add_ethernet("169.254.20.30", 16, "192.168.1.1");
    network().add_address(adapter.guid, "fe80::20", 64);
    before = network().snapshot();
    tunnel_test::udp_sink server;
    server_port = server.port();
    auto& t = make_tunnel(2);
    t.address_switching.tunnel_ipv6_address = tunnel_test::ipv6_bytes("fd00::2");
    t.address_switching.ipv6_prefix_length = 64;
    tunnel_test::udp_sink closed_proxy_port;
    const std::uint16_t refusing_port = closed_proxy_port.port();
    closed_proxy_port.close();

    int started = 0;
    for (int cycle = 0; cycle < 100; ++cycle) {
        const auto f = static_cast<failure>(cycle % static_cast<int>(failure::count));
        SCOPED_TRACE("cycle " + std::to_string(cycle) + ", failure " + std::to_string(static_cast<int>(f)));
        t.notification_flag = true;
        t.server_endpoint = tunnel_test::ipv4_endpoint(127, 0, 0, 1, server_port);
        t.socks5_proxy_endpoint.reset();
        switch (f) {
        case failure::none: break;
        case failure::adapter_list: network().fail_next(fn::get_adapters_addresses, ERROR_NOT_ENOUGH_MEMORY); break;
        case failure::best_interface: network().fail_next(fn::get_best_interface_ex, ERROR_NETWORK_UNREACHABLE); break;
        case failure::filter_adapter_list: driver().fail_next(rimcap::ioctl::get_adapter_list, ERROR_GEN_FAILURE); break;
        case failure::route_refused: network().fail_next(fn::create_ip_forward_entry2, ERROR_ACCESS_DENIED, 2); break;
        case failure::neighbour_refused: network().fail_next(fn::create_ip_net_entry2, ERROR_ACCESS_DENIED); break;
        case failure::address_refused:
            network().fail_next(fn::create_unicast_ip_address_entry, ERROR_ACCESS_DENIED, 2);
            break;
        case failure::packet_event_refused:
            driver().fail_next(rimcap::ioctl::set_packet_event, ERROR_GEN_FAILURE);
            break;
        case failure::proxy_refused:
            t.socks5_proxy_endpoint = tunnel_test::ipv4_endpoint(127, 0, 0, 1, refusing_port);
            break;
        case failure::no_endpoint: t.server_endpoint = tunnel_test::ipv4_endpoint(0, 0, 0, 0, server_port); break;
        case failure::count: break;
        }
        const bool should_start = f == failure::none || f == failure::route_refused ||
                                  f == failure::neighbour_refused || f == failure::address_refused;
        const auto result = t.start_internal();
        ASSERT_EQ(result, should_start ? run_states::running : run_states::stopped) << log_lines::instance().text();
        if (should_start) {
            ++started;
            EXPECT_NE(network().snapshot(), before) << "switching in force";
        } else {
            expect_clean(t);
        }
        t.stop();
        expect_clean(t);
        if (HasFailure())
            break;
    }
    EXPECT_EQ(started, 40);
    EXPECT_TRUE(log_lines::instance().contains("[TUN]: No endpoint address found!"));
    EXPECT_TRUE(log_lines::instance().contains("[TUN]: error connecting SOCKS5 proxy \n"));
    EXPECT_TRUE(log_lines::instance().contains("[TUN]: Failed to figure out the route to the VPN server \n"));
    EXPECT_TRUE(log_lines::instance().contains("[TUN]: Failed to find a matching Norvask interface for the " +
                                                adapter.guid));
    EXPECT_EQ(network().open_tables(), 0u);
}

TEST_F(tunnel_start, cycles_with_traffic_on_the_wire)
{
    start_server();
    auto& t = make_tunnel(1);
    for (int cycle = 0; cycle < 25; ++cycle) {
        t.notification_flag = true;
        // Counted before the start: the initiation may reach the server before the start returns.
        const std::size_t seen = responder->received_count();
        ASSERT_EQ(t.start_internal(), run_states::running);
        // Stop at once, or once the initiation reached the server. (The server answers
        // only initiations with a newer timestamp than the last one, so not every one.)
        if (cycle % 2 == 1) {
            ASSERT_TRUE(wait_until([&] { return responder->received_count() > seen; }));
            std::this_thread::sleep_for(5ms);
        }
        t.stop();
        expect_clean(t);
    }
    EXPECT_GE(responder->received_count(), 13u);
    EXPECT_EQ(wire->stats().dropped, 0u) << "every frame of the tunnel reached the wire in order";
}

TEST_F(tunnel_start, a_second_start_while_running_does_nothing)
{
    tunnel_test::udp_sink server;
    server_port = server.port();
    auto& t = make_tunnel();
    ASSERT_EQ(t.start_internal(), run_states::running);
    const std::uint16_t port = t.local_udp_port;
    EXPECT_EQ(t.start_internal(), std::nullopt);
    EXPECT_EQ(t.run_state.load(), run_states::running);
    EXPECT_EQ(t.local_udp_port, port);
    EXPECT_TRUE(wait_until([&] { return server.count() == 1; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(server.count(), 1u) << "one initiation";
    t.stop();
    expect_clean(t);
}

TEST_F(tunnel_start, stop_without_start_and_stop_twice)
{
    auto& t = make_tunnel();
    network().clear_calls();
    t.stop();
    expect_clean(t);
    EXPECT_FALSE(t.notification_flag.load());
    EXPECT_EQ(network().call_count(fn::cancel_mib_change_notify2), 1u) << "called even without a registration";
    EXPECT_EQ(log_lines::instance().count("[TUN]: cancel_notify_ip_interface_change has failed!"), 1u);
    t.stop();
    EXPECT_EQ(log_lines::instance().count("[TUN]: cancel_notify_ip_interface_change has failed!"), 2u);
    EXPECT_EQ(t.start_internal(), std::nullopt) << "a stopped tunnel does not start until allowed again";
    expect_clean(t);
}

TEST_F(tunnel_start, stop_cancels_a_registration_and_waits_for_its_callbacks)
{
    tunnel_test::udp_sink server;
    server_port = server.port();
    auto& t = make_tunnel();
    static std::atomic<int> calls{0};
    calls = 0;
    auto callback = [](void* context, MIB_IPINTERFACE_ROW*, MIB_NOTIFICATION_TYPE) {
        auto* tunnel = static_cast<wireguard::wg_tunnel*>(context);
        ++tunnel->callbacks_in_flight;
        std::this_thread::sleep_for(100ms);
        ++calls;
        --tunnel->callbacks_in_flight;
    };
    ASSERT_EQ(netaccess::platform::notify_ip_interface_change(AF_UNSPEC, callback, &t, FALSE, &t.notification_handle),
              0u);
    ASSERT_EQ(t.start_internal(), run_states::running);
    network().fire_interface_change(adapter.guid);
    ASSERT_TRUE(wait_until([&] { return t.callbacks_in_flight.load() == 1; }));
    t.stop();
    EXPECT_EQ(calls.load(), 1) << "stop returned while a callback still ran";
    EXPECT_EQ(t.notification_handle, nullptr);
    EXPECT_EQ(network().registration_count(), 0u);
    EXPECT_FALSE(log_lines::instance().contains("[TUN]: cancel_notify_ip_interface_change has failed!"));
    expect_clean(t);
}

TEST_F(tunnel_start, stop_while_starting_waits_for_the_start_and_stops_what_it_made)
{
    tunnel_test::udp_sink server;
    server_port = server.port();
    host().reset();
    adapter = add_ethernet("169.254.20.30", 16, "192.168.1.1");
    before = network().snapshot();
    auto& t = make_tunnel();
    network().set_call_hook(fn::get_best_interface_ex, [](unsigned) { std::this_thread::sleep_for(300ms); });
    std::optional<std::int32_t> result;
    std::thread starter([&] { result = t.start_internal(); });
    ASSERT_TRUE(wait_until([&] { return t.run_state.load() == run_states::starting; }));
    t.stop();
    starter.join();
    EXPECT_EQ(result, run_states::running);
    expect_clean(t);
    EXPECT_TRUE(log_lines::instance().contains("[TUN]: keep_alive_thread: exiting \n"));
    network().set_call_hook(fn::get_best_interface_ex, {});
}

TEST_F(tunnel_start, a_restart_stops_and_starts_again_with_its_lines)
{
    tunnel_test::udp_sink server;
    server_port = server.port();
    host().reset();
    adapter = add_ethernet("169.254.20.30", 16, "192.168.1.1");
    before = network().snapshot();
    auto& t = make_tunnel();
    ASSERT_EQ(t.start_internal(), run_states::running);
    const auto running = network().snapshot();
    const std::uint16_t first_port = t.local_udp_port;
    t.internal_restart();
    EXPECT_EQ(t.run_state.load(), run_states::running);
    EXPECT_TRUE(log_lines::instance().contains("[TUN]: WireGuard tunnel was successfully stopped!"));
    EXPECT_TRUE(log_lines::instance().contains("[TUN]: WireGuard tunnel was successfully started!"));
    EXPECT_NE(t.local_udp_port, first_port);
    EXPECT_EQ(network().snapshot(), running) << "the same rows again, not twice";
    EXPECT_TRUE(wait_until([&] { return server.count() == 2; }));

    // A restart whose start fails leaves the tunnel stopped and the host as it was.
    log_lines::instance().clear();
    network().fail_next(fn::get_best_interface_ex, ERROR_NETWORK_UNREACHABLE);
    t.internal_restart();
    EXPECT_EQ(t.run_state.load(), run_states::stopped);
    EXPECT_TRUE(log_lines::instance().contains("[TUN]: WireGuard tunnel was successfully stopped!"));
    EXPECT_FALSE(log_lines::instance().contains("[TUN]: WireGuard tunnel was successfully started!"));
    EXPECT_EQ(network().snapshot(), before);
    // ... and a later restart starts it again.
    t.internal_restart();
    EXPECT_EQ(t.run_state.load(), run_states::running);
    t.stop();
    expect_clean(t);
}

TEST_F(tunnel_start, restart_threads_end_before_the_tunnel_goes)
{
    tunnel_test::udp_sink server;
    server_port = server.port();
    for (int round = 0; round < 10; ++round) {
        auto& t = make_tunnel();
        ASSERT_EQ(t.start_internal(), run_states::running);
        for (int i = 0; i < 3; ++i)
            t.start_restart_thread();
        tunnel.reset(); // stop and destroy at once
        EXPECT_EQ(network().snapshot(), before);
    }
}
} // namespace
