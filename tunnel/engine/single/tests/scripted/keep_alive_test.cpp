// The tunnel's life cycle against a scripted engine: every answer of the timer tick and
// of the forced handshake, the dead-tunnel watch on the engine clock, restarts, and
// the engine handle's arguments.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "socks5_test_support.h"
#include "support/tunnel_test_support.h"
#include "scripted/scripted_engine.h"
#include "wg_tunnel.h"

namespace
{
using namespace std::chrono_literals;
using tunnel_test::log_lines;
using tunnel_test::wait_until;
using wireguard::wg_tunnel;
namespace run_states = wireguard::run_states;

const auto winsock = ::testing::AddGlobalTestEnvironment(new socks5_test::winsock_environment);

const std::string handshake_success =
    "[TUN]: keep_alive_thread: Sending Handshake packet to WireGuard Server success \n";
const std::string keepalive_success =
    "[TUN]: keep_alive_thread: Sending Keepalive packet to WireGuard Server success \n";
const std::string tunnel_error = "[TUN]: keep_alive_thread: Tunnel error detected. Force handshake. \n";
const std::string force_failed = "[TUN]: keep_alive_thread: Force handshake has failed. \n";
const std::string write_to_tunnel = "[TUN]: keep_alive_thread: WRITE_TO_TUNNEL_IPV should never occur here \n";
const std::string critical =
    "[TUN]: keep_alive_thread: Critical socket error detected. Trying to restart the tunnel! \n";
const std::string seems_down = "[TUN]: keep_alive_thread: Tunnel seems to be down. Trying to restart the tunnel! \n";
const std::string send_error = "[TUN]: keep_alive_thread: error sending packet to WireGuard Server \n";
const std::string exiting = "[TUN]: keep_alive_thread: exiting \n";
const std::string restart_stopped = "[TUN]: WireGuard tunnel was successfully stopped!";
const std::string restart_started = "[TUN]: WireGuard tunnel was successfully started!";

scripted::engine& engine()
{
    return scripted::engine::instance();
}

class scripted_tunnel_test : public tunnel_test::tunnel_host_test
{
protected:
    void SetUp() override
    {
        tunnel_host_test::SetUp();
        engine().reset();
        adapter = add_ethernet();
        before = network().snapshot();
    }
    void TearDown() override
    {
        tunnel.reset();
        EXPECT_EQ(engine().live_tunnels(), 0u) << "an engine tunnel was not freed";
        EXPECT_EQ(network().snapshot(), before) << "the host network changed";
        tunnel_host_test::TearDown();
    }

    wg_tunnel& make(std::uint16_t server_port, std::int32_t level = 3)
    {
        tunnel = std::make_unique<wg_tunnel>("k-private", "k-public", std::nullopt, 25, &log_lines::callback, level);
        tunnel->server_endpoint = tunnel_test::ipv4_endpoint(127, 0, 0, 1, server_port);
        tunnel->address_switching.tunnel_ipv4_address = tunnel_test::ipv4(10, 8, 0, 2);
        tunnel->address_switching.ipv4_prefix_length = 24;
        EXPECT_TRUE(tunnel->set_packet_filter(tunnel_test::nothing_tunnelled{}));
        tunnel->event_callback = [this](wireguard::wg_tunnel_event e) {
            std::lock_guard lock(events_mutex);
            events.push_back(e.type);
        };
        tunnel->notification_flag = true;
        return *tunnel;
    }

    std::size_t event_count(std::int32_t type)
    {
        std::lock_guard lock(events_mutex);
        return static_cast<std::size_t>(std::count(events.begin(), events.end(), type));
    }

    // Starts and waits for the keep-alive thread's first tick.
    void start_running(wg_tunnel& t)
    {
        ASSERT_EQ(t.start_internal(), run_states::running) << log_lines::instance().text();
        ASSERT_TRUE(engine().wait_for_ticks(1));
    }

    simhost::adapter adapter;
    simhost::network_snapshot before;
    tunnel_test::udp_sink server;
    std::unique_ptr<wg_tunnel> tunnel;
    std::mutex events_mutex;
    std::vector<std::int32_t> events;
};

// ---- the engine handle ---------------------------------------------------------------------

TEST_F(scripted_tunnel_test, the_engine_gets_the_keys_the_keep_alive_and_an_index_with_bit_7_set)
{
    {
        wg_tunnel a("k-private", "k-public", std::nullopt, 25, nullptr, 0);
        wg_tunnel b("k-private", "k-public", std::string("k-psk"), 0, nullptr, 0);
        wg_tunnel c("k-private", "k-public", std::string(), 65535, nullptr, 0);
    }
    const auto created = engine().created();
    ASSERT_EQ(created.size(), 3u);
    EXPECT_EQ(created[0].private_key, "k-private");
    EXPECT_EQ(created[0].public_key, "k-public");
    EXPECT_FALSE(created[0].preshared_key.has_value()) << "no PresharedKey: a null key";
    EXPECT_EQ(created[1].preshared_key, std::optional<std::string>("k-psk"));
    EXPECT_EQ(created[2].preshared_key, std::optional<std::string>("")) << "an empty value is passed as it is";
    EXPECT_EQ(created[0].keep_alive, 25);
    EXPECT_EQ(created[1].keep_alive, 0);
    EXPECT_EQ(created[2].keep_alive, 65535);
    for (const auto& c : created)
        EXPECT_NE(c.index & 0x80u, 0u) << std::hex << c.index;
    EXPECT_NE(created[0].index, created[1].index);
    EXPECT_EQ(engine().live_tunnels(), 0u);
}

TEST_F(scripted_tunnel_test, a_refused_key_fails_the_construction_and_leaves_nothing)
{
    const std::vector<std::tuple<std::string, std::string, std::optional<std::string>>> cases{
        {"bad-private", "k-public", std::nullopt},
        {"k-private", "bad-public", std::nullopt},
        {"k-private", "k-public", std::string("bad-psk")},
    };
    for (const auto& [priv, pub, psk] : cases) {
        EXPECT_THROW(wg_tunnel(priv, pub, psk, 25, &log_lines::callback, 3), std::runtime_error);
        EXPECT_THROW(wg_tunnel("capture-never", priv, pub, psk, 25, &log_lines::callback, 3), std::runtime_error);
    }
    EXPECT_EQ(engine().live_tunnels(), 0u);
    EXPECT_TRUE(log_lines::instance().all().empty()) << "a refused tunnel logs nothing of its own";
    EXPECT_EQ(::GetFileAttributesA("capture-never_enc.pcap"), INVALID_FILE_ATTRIBUTES);
}

// ---- the start ----------------------------------------------------------------------------

TEST_F(scripted_tunnel_test, a_start_without_a_handshake_to_send_succeeds_and_sends_nothing)
{
    auto& t = make(server.port());
    ASSERT_EQ(t.start_internal(), run_states::running);
    EXPECT_EQ(engine().force_handshakes(), 1u);
    ASSERT_TRUE(engine().wait_for_ticks(2));
    EXPECT_EQ(server.count(), 0u);
    EXPECT_EQ(log_lines::instance().count_starting("[TUN]: Sent handshake packet"), 0u);
    EXPECT_EQ(event_count(wireguard::tunnel_event::handshake_initiation_sent), 0u);
    t.stop();
}

TEST_F(scripted_tunnel_test, the_forced_handshake_goes_to_the_server_with_its_line_and_event)
{
    engine().set_force_handshake(WRITE_TO_NETWORK, 148);
    auto& t = make(server.port());
    ASSERT_EQ(t.start_internal(), run_states::running);
    ASSERT_TRUE(wait_until([&] { return server.count() == 1; }));
    const auto datagram = server.received().front();
    ASSERT_EQ(datagram.size(), 148u);
    for (std::size_t i = 0; i < datagram.size(); ++i)
        ASSERT_EQ(datagram[i], scripted::pattern_byte(i));
    EXPECT_TRUE(log_lines::instance().contains("[TUN]: Sent handshake packet to the WireGuard server at 127.0.0.1:" +
                                                std::to_string(server.port()) + " \n"));
    EXPECT_EQ(event_count(wireguard::tunnel_event::handshake_initiation_sent), 1u);
    EXPECT_NE(t.local_udp_port, 0);
    t.stop();
}

TEST_F(scripted_tunnel_test, a_forced_handshake_that_cannot_be_sent)
{
    engine().set_force_handshake(WRITE_TO_NETWORK, 148);
    auto& t = make(server.port());
    // An IPv6 server: the learned header word is cleared before the send, so that the
    // next own frame teaches it again. There is no socket, so the send fails.
    t.server_endpoint.family = wireguard::family_ipv6;
    t.ipv6_header_word = 0x60054321u;
    EXPECT_FALSE(t.force_handshake());
    EXPECT_EQ(t.ipv6_header_word.load(), 0u);
    EXPECT_TRUE(t.critical_error.load());
    EXPECT_EQ(log_lines::instance().all(),
              std::vector<std::string>{"[TUN]: error sending handshake packet to WireGuard Server \n"});
    EXPECT_EQ(event_count(wireguard::tunnel_event::handshake_initiation_sent), 0u);

    // Nothing to send: true without touching the word.
    engine().set_force_handshake(WIREGUARD_DONE, 0);
    t.ipv6_header_word = 0x60054321u;
    EXPECT_TRUE(t.force_handshake());
    EXPECT_EQ(t.ipv6_header_word.load(), 0x60054321u);
}

// ---- each answer of the timer tick ----------------------------------------------------------

struct tick_case {
    const char* name;
    result_type op;
    std::size_t size;
    std::size_t sent;        // datagrams the server receives
    std::string line;        // "" when the tick writes no line
    std::size_t initiations; // event 0
};

TEST_F(scripted_tunnel_test, each_answer_of_the_timer_tick)
{
    const std::vector<tick_case> cases{
        {"handshake initiation", WRITE_TO_NETWORK, 148, 1, handshake_success, 1},
        {"keep-alive", WRITE_TO_NETWORK, 32, 1, keepalive_success, 0},
        {"another datagram", WRITE_TO_NETWORK, 96, 1, "", 0},
        {"write to tunnel IPv4", WRITE_TO_TUNNEL_IPV4, 60, 0, write_to_tunnel, 0},
        {"write to tunnel IPv6", WRITE_TO_TUNNEL_IPV6, 80, 0, write_to_tunnel, 0},
        {"done", WIREGUARD_DONE, 0, 0, "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        engine().reset();
        log_lines::instance().clear();
        events.clear();
        tunnel_test::udp_sink sink;
        auto& t = make(sink.port());
        engine().push_tick(c.op, c.size);
        start_running(t);
        ASSERT_TRUE(engine().wait_for_ticks(3));
        EXPECT_EQ(sink.count(), c.sent);
        if (c.sent == 1) {
            EXPECT_EQ(sink.received().front().size(), c.size);
        }
        const auto lines = log_lines::instance().all();
        const std::size_t tick_lines = static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [](auto& l) {
            return l.rfind("[TUN]: keep_alive_thread:", 0) == 0;
        }));
        EXPECT_EQ(tick_lines, c.line.empty() ? 0u : 1u) << log_lines::instance().text();
        if (!c.line.empty()) {
            EXPECT_EQ(log_lines::instance().count(c.line), 1u);
        }
        EXPECT_EQ(event_count(wireguard::tunnel_event::handshake_initiation_sent), c.initiations);
        EXPECT_EQ(t.run_state.load(), run_states::running);
        t.stop();
        EXPECT_EQ(log_lines::instance().count(exiting), 1u);
        tunnel.reset();
    }
}

TEST_F(scripted_tunnel_test, an_engine_error_clears_active_and_forces_a_handshake)
{
    auto& t = make(server.port());
    start_running(t);
    t.active = true;
    engine().set_force_handshake(WRITE_TO_NETWORK, 148);
    engine().push_tick(WIREGUARD_ERROR, 13);
    ASSERT_TRUE(wait_until([&] { return server.count() == 1; }));
    EXPECT_FALSE(t.active.load());
    EXPECT_EQ(log_lines::instance().count(tunnel_error), 1u);
    EXPECT_EQ(event_count(wireguard::tunnel_event::tunnel_down), 1u);
    EXPECT_EQ(engine().force_handshakes(), 2u);
    EXPECT_EQ(log_lines::instance().count(force_failed), 0u);
    EXPECT_EQ(t.run_state.load(), run_states::running) << "no restart for an engine error";
    t.stop();
}

TEST_F(scripted_tunnel_test, an_engine_error_whose_handshake_cannot_reach_the_proxy)
{
    using namespace socks5_test;
    const bytes relay_reply = {5, 0, 0, 1, 127, 0, 0, 1, 0x9C, 0x40};
    auto proxy = std::make_unique<scripted_proxy>(
        std::vector<step>{step::recv(4), step::reply({5, 0}), step::recv(10), step::reply(relay_reply)});
    auto& t = make(server.port());
    t.socks5_proxy_endpoint = tunnel_test::ipv4_endpoint(127, 0, 0, 1, proxy->port());
    start_running(t);
    ASSERT_TRUE(t.socks5.get() && t.socks5.get()->ready());
    proxy.reset(); // the proxy goes away: the new client cannot associate
    engine().push_tick(WIREGUARD_ERROR, 13);
    ASSERT_TRUE(wait_until([&] { return log_lines::instance().contains(force_failed); }));
    EXPECT_TRUE(log_lines::instance().contains("[TUN]: error connecting SOCKS5 proxy \n"));
    EXPECT_EQ(t.run_state.load(), run_states::running);
    t.stop();
    EXPECT_EQ(t.socks5.get(), nullptr);
}

// ---- restarts --------------------------------------------------------------------------------

TEST_F(scripted_tunnel_test, a_critical_socket_error_restarts_the_tunnel)
{
    engine().set_force_handshake(WRITE_TO_NETWORK, 148);
    auto& t = make(server.port());
    start_running(t);
    const std::uint16_t first_port = t.local_udp_port;
    t.critical_error = true;
    ASSERT_TRUE(wait_until([&] { return log_lines::instance().contains(restart_started); }))
        << log_lines::instance().text();
    EXPECT_EQ(log_lines::instance().count(critical), 1u);
    EXPECT_EQ(log_lines::instance().count(restart_stopped), 1u);
    EXPECT_EQ(event_count(wireguard::tunnel_event::tunnel_down), 1u);
    EXPECT_FALSE(t.critical_error.load());
    EXPECT_EQ(engine().force_handshakes(), 2u);
    EXPECT_EQ(t.run_state.load(), run_states::running);
    EXPECT_TRUE(wait_until([&] { return server.count() == 2; }));
    EXPECT_NE(t.local_udp_port, first_port) << "a new socket";
    // The old keep-alive thread ended without its exiting line.
    EXPECT_EQ(log_lines::instance().count(exiting), 0u);
    ASSERT_TRUE(wait_until([&] { return t.restarts_in_flight() == 0; }));
    t.stop();
    EXPECT_EQ(log_lines::instance().count(exiting), 1u);
}

TEST_F(scripted_tunnel_test, a_failed_send_sets_the_critical_error_and_the_next_tick_restarts)
{
    engine().set_force_handshake(WRITE_TO_NETWORK, 148);
    tunnel_test::udp_sink closed;
    const std::uint16_t closed_port = closed.port();
    closed.close();
    auto& t = make(closed_port);
    start_running(t);
    // The forced handshake went to a closed port; the port-unreachable answer makes
    // the next send on the connected socket fail.
    for (int i = 0; i < 20 && !log_lines::instance().contains(send_error); ++i) {
        engine().push_tick(WRITE_TO_NETWORK, 148);
        ASSERT_TRUE(engine().wait_for_ticks(engine().ticks() + 1));
    }
    ASSERT_TRUE(log_lines::instance().contains(send_error)) << log_lines::instance().text();
    ASSERT_TRUE(wait_until([&] { return log_lines::instance().contains(critical); }));
    ASSERT_TRUE(wait_until([&] { return log_lines::instance().contains(restart_started); }));
    t.stop();
}

TEST_F(scripted_tunnel_test, a_dead_tunnel_restarts_after_more_than_five_seconds)
{
    auto& t = make(server.port());
    start_running(t);
    ASSERT_TRUE(engine().wait_for_ticks(engine().ticks() + 1)); // snapshot of zero traffic
    engine().set_stats(-1, 1001, 0);
    engine().advance_clock(5s);
    ASSERT_TRUE(engine().wait_for_ticks(engine().ticks() + 3));
    EXPECT_EQ(log_lines::instance().count(seems_down), 0u) << "exactly five seconds is not more";

    engine().advance_clock(1ns);
    ASSERT_TRUE(wait_until([&] { return log_lines::instance().contains(restart_started); }))
        << log_lines::instance().text();
    EXPECT_EQ(log_lines::instance().count(seems_down), 1u);
    EXPECT_EQ(event_count(wireguard::tunnel_event::tunnel_down), 1u);
    // The new keep-alive thread starts from an empty snapshot taken now: no second one.
    ASSERT_TRUE(engine().wait_for_ticks(engine().ticks() + 3));
    EXPECT_EQ(log_lines::instance().count(seems_down), 1u);
    ASSERT_TRUE(wait_until([&] { return t.restarts_in_flight() == 0; }));
    t.stop();
}

TEST_F(scripted_tunnel_test, a_thousand_bytes_without_an_answer_are_not_a_dead_tunnel)
{
    auto& t = make(server.port());
    start_running(t);
    ASSERT_TRUE(engine().wait_for_ticks(engine().ticks() + 1));
    engine().set_stats(-1, 1000, 0);
    engine().advance_clock(60s);
    ASSERT_TRUE(engine().wait_for_ticks(engine().ticks() + 3));
    EXPECT_EQ(log_lines::instance().count(seems_down), 0u);
    t.stop();
}

TEST_F(scripted_tunnel_test, a_trickle_of_answers_keeps_the_tunnel_alive)
{
    auto& t = make(server.port());
    start_running(t);
    for (std::uint64_t i = 1; i <= 5; ++i) {
        engine().set_stats(1, 5000 * i, i);
        engine().advance_clock(4s);
        ASSERT_TRUE(engine().wait_for_ticks(engine().ticks() + 2));
    }
    EXPECT_EQ(log_lines::instance().count(seems_down), 0u);
    t.stop();
}

TEST_F(scripted_tunnel_test, a_relayed_initiation_without_an_answer_renews_the_socks5_client)
{
    using namespace socks5_test;
    const bytes relay_reply = {5, 0, 0, 1, 127, 0, 0, 1, 0x9C, 0x40};
    scripted_proxy proxy({step::recv(4), step::reply({5, 0}), step::recv(10), step::reply(relay_reply)});
    auto& t = make(server.port());
    t.socks5_proxy_endpoint = tunnel_test::ipv4_endpoint(127, 0, 0, 1, proxy.port());
    start_running(t);
    EXPECT_EQ(proxy.connections(), 1);
    const auto first = t.socks5.get();

    engine().push_tick(WRITE_TO_NETWORK, 148);
    ASSERT_TRUE(wait_until([&] { return log_lines::instance().contains(handshake_success); }));
    EXPECT_EQ(t.socks5.get(), first) << "nothing relayed yet: the client stays";

    t.socks5_pending = 1;
    engine().push_tick(WRITE_TO_NETWORK, 148);
    ASSERT_TRUE(wait_until([&] { return log_lines::instance().count(handshake_success) == 2; }));
    EXPECT_NE(t.socks5.get(), first) << "a relayed initiation went unanswered: a new association";
    EXPECT_EQ(proxy.connections(), 2);
    t.stop();
}

// ---- stop -------------------------------------------------------------------------------------

TEST_F(scripted_tunnel_test, stop_cuts_the_wait_for_a_silent_proxy_short)
{
    using namespace socks5_test;
    const bytes relay_reply = {5, 0, 0, 1, 127, 0, 0, 1, 0x9C, 0x40};
    // First association answers; the second one hangs after the method request.
    auto ready_proxy = std::make_unique<scripted_proxy>(
        std::vector<step>{step::recv(4), step::reply({5, 0}), step::recv(10), step::reply(relay_reply)});
    scripted_proxy silent({step::recv(4)});
    auto& t = make(server.port());
    t.socks5_proxy_endpoint = tunnel_test::ipv4_endpoint(127, 0, 0, 1, ready_proxy->port());
    start_running(t);
    t.socks5_proxy_endpoint = tunnel_test::ipv4_endpoint(127, 0, 0, 1, silent.port());
    t.socks5_pending = 1;
    engine().push_tick(WRITE_TO_NETWORK, 148);
    ASSERT_TRUE(wait_until([&] { return silent.scripts_done() == 1; }));
    const auto begin = std::chrono::steady_clock::now();
    t.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 4s) << "the 5 s wait was not cut short";
    EXPECT_EQ(t.run_state.load(), run_states::stopped);
}

TEST_F(scripted_tunnel_test, a_stop_from_a_callback_on_the_keep_alive_thread_is_joined_before_the_tunnel_goes)
{
    auto& t = make(server.port());
    std::atomic<bool> stopped_inside{false};
    t.event_callback = [&](wireguard::wg_tunnel_event e) {
        if (e.type != wireguard::tunnel_event::handshake_initiation_sent || stopped_inside.exchange(true))
            return;
        t.stop(); // on the keep-alive thread, which cannot join itself
        std::this_thread::sleep_for(200ms);
    };
    start_running(t);
    engine().push_tick(WRITE_TO_NETWORK, 148);
    ASSERT_TRUE(wait_until([&] { return t.run_state.load() == run_states::stopped; }));
    EXPECT_TRUE(stopped_inside.load());
    tunnel.reset();
    EXPECT_EQ(log_lines::instance().count(exiting), 1u) << "the keep-alive thread outlived its tunnel";
}

TEST_F(scripted_tunnel_test, stop_waits_for_restart_threads)
{
    auto& t = make(server.port());
    start_running(t);
    for (int i = 0; i < 5; ++i)
        t.start_restart_thread();
    t.stop();
    EXPECT_EQ(t.restarts_in_flight(), 0);
    EXPECT_EQ(t.run_state.load(), run_states::stopped);
    EXPECT_FALSE(t.socket);
    tunnel.reset(); // nothing of the restarts may use it afterwards
}

TEST_F(scripted_tunnel_test, a_start_racing_a_stop_never_leaves_it_running)
{
    for (int round = 0; round < 20; ++round) {
        auto& t = make(server.port());
        std::thread starter([&] { t.start_internal(); });
        std::thread restarter([&] { t.internal_restart(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 4));
        t.stop();
        starter.join();
        restarter.join();
        EXPECT_EQ(t.run_state.load(), run_states::stopped);
        EXPECT_EQ(t.filter->filter_state.load(), rimcap::queued_packet_filter::state_idle);
        EXPECT_FALSE(t.socket);
        EXPECT_EQ(t.start_internal(), std::nullopt) << "stopped for good";
        tunnel.reset();
        EXPECT_EQ(network().snapshot(), before);
    }
}
} // namespace
