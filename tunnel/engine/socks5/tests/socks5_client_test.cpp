// The SOCKS5 client against a scripted proxy (answers real proxies never give), against
// dante-server and microsocks started by the CTest fixture, and the client slot.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "socks5_client.h"
#include "socks5_client_slot.h"
#include "socks5_test_support.h"

using namespace socks5_test;
using wireguard::socks5_client;

namespace
{
const auto winsock = ::testing::AddGlobalTestEnvironment(new winsock_environment);

const std::string prefix = "[SOCKS5]: associate_to_socks5_proxy: ";
const std::string ok_line_40000 = prefix + "SOCKS5 ASSOCIATE SUCCESS port: 40000";
const bytes ok_reply_40000 = {5, 0, 0, 1, 127, 0, 0, 1, 0x9C, 0x40};

std::unique_ptr<socks5_client> make_client(log_recorder& log, std::uint16_t port,
                                           std::optional<std::string> user = std::nullopt,
                                           std::optional<std::string> password = std::nullopt,
                                           std::uint32_t level = 2)
{
    return std::make_unique<socks5_client>(loopback(), port, std::move(user), std::move(password), log.function(),
                                           level);
}

bool association_ends(const socks5_client& c)
{
    return wait_until([&] { return !c.associating(); });
}

bytes text(const std::string& s)
{
    return bytes(s.begin(), s.end());
}

bytes auth_message(const std::string& user, const std::string& password)
{
    bytes b = {1, static_cast<std::uint8_t>(user.size())};
    b = concat(b, text(user));
    b.push_back(static_cast<std::uint8_t>(password.size()));
    return concat(b, text(password));
}

struct script_case {
    const char* name;
    std::vector<step> script;
    std::optional<std::string> user;
    std::optional<std::string> password;
    std::vector<std::string> lines;        // all lines, in order
    std::optional<std::uint16_t> relay;    // set: ready with this relay port
    bytes sent;                            // everything the client sends
};

const std::string user_255(255, 'u');
const std::string user_256(256, 'u');
const std::string password_255(255, 'p');
const std::string password_256(256, 'p');

std::vector<script_case> script_cases()
{
    const std::string user_line = prefix + "RFC 1928: X'02' USERNAME/PASSWORD is chosen but USERNAME is not provided: ";
    const std::string length_line =
        prefix + "RFC 1928: X'02' USERNAME/PASSWORD is chosen but USERNAME exceeds maximum possible length: ";
    const std::string password_line =
        prefix + "RFC 1928: X'02' USERNAME/PASSWORD is chosen but PASSWORD is not provided: ";
    const std::string auth_ok = prefix + "USERNAME/PASSWORD authentication SUCCESS";
    const std::string auth_failed = prefix + "USERNAME/PASSWORD authentication has failed!";
    const std::string method_failed = prefix + "SOCKS5 authentication has failed: ";
    const std::string associate_failed = prefix + "SOCKS5 ASSOCIATE has failed: ";
    const std::string ident_lost = prefix + "Failed to receive socks5_ident_resp: 10101";
    const std::string reply_lost = prefix + "Failed to receive SOCKS5 ASSOCIATE response: 10101";
    const auto none_then = [](bytes reply) {
        return std::vector<step>{step::recv(4), step::reply({5, 0}), step::recv(10), step::reply(std::move(reply))};
    };
    const auto user_then = [](std::size_t auth_size, bytes auth_reply, bytes reply) {
        return std::vector<step>{step::recv(4), step::reply({5, 2}), step::recv(auth_size), step::reply(auth_reply),
                                 step::recv(10), step::reply(std::move(reply))};
    };
    const bytes both = concat(ident_request, associate_request);
    const auto with_auth = [](const std::string& user, const std::string& password) {
        return concat(concat(ident_request, auth_message(user, password)), associate_request);
    };

    std::vector<script_case> cases = {
        {"method_ff_refuses_every_method", {step::recv(4), step::reply({5, 0xFF})}, {}, {}, {method_failed}, {},
         ident_request},
        {"version_4_answer", {step::recv(4), step::reply({4, 0})}, {}, {}, {method_failed}, {}, ident_request},
        {"method_00_gets_the_associate_request_at_once", none_then(ok_reply_40000), {}, {}, {ok_line_40000}, 40000,
         both},
        {"credentials_unused_when_method_00_is_chosen", none_then(ok_reply_40000), "user", "secret", {ok_line_40000},
         40000, both},
        {"reply_code_1", none_then({5, 1, 0, 1, 0, 0, 0, 0, 0, 0}), {}, {}, {associate_failed}, {}, both},
        {"reply_version_4", none_then({4, 0, 0, 1, 127, 0, 0, 1, 0x9C, 0x40}), {}, {}, {associate_failed}, {}, both},
        {"bound_address_other_than_the_proxys", none_then({5, 0, 0, 1, 10, 1, 2, 3, 0x9C, 0x41}), {}, {},
         {prefix + "SOCKS5 ASSOCIATE SUCCESS port: 40001"}, 40001, both},
        {"ipv6_bound_address_read_to_its_end",
         {step::recv(4), step::reply({5, 0}), step::recv(10),
          step::trickle({5, 0, 0, 4, 0x20, 1, 0xd, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9, 0x04, 0xD2})},
         {}, {}, {prefix + "SOCKS5 ASSOCIATE SUCCESS port: 1234"}, 1234, both},
        {"domain_bound_address_read_to_its_end",
         none_then(concat(concat({5, 0, 0, 3, 9}, text("relay.lan")), {0xFF, 0xFE})), {}, {},
         {prefix + "SOCKS5 ASSOCIATE SUCCESS port: 65534"}, 65534, both},
        {"reply_in_single_bytes",
         {step::recv(4), step::trickle({5, 0}), step::recv(10), step::trickle(ok_reply_40000)}, {}, {},
         {ok_line_40000}, 40000, both},
        {"unknown_address_type", none_then({5, 0, 0, 9, 1, 2, 3, 4, 5, 6}), {}, {}, {associate_failed}, {}, both},
        {"method_not_offered_goes_on_at_once",
         {step::recv(4), step::reply({5, 1}), step::recv(10), step::reply(ok_reply_40000)}, {}, {},
         {ok_line_40000}, 40000, both},
        {"user_and_password", user_then(3 + 4 + 6, {1, 0}, ok_reply_40000), "user", "secret",
         {auth_ok, ok_line_40000}, 40000, with_auth("user", "secret")},
        {"auth_reply_version_not_examined", user_then(3 + 4 + 6, {5, 0}, ok_reply_40000), "user", "secret",
         {auth_ok, ok_line_40000}, 40000, with_auth("user", "secret")},
        {"credentials_rejected", user_then(3 + 4 + 6, {1, 1}, ok_reply_40000), "user", "secret", {auth_failed}, {},
         concat(ident_request, auth_message("user", "secret"))},
        {"user_name_of_255_bytes_sent_whole", user_then(3 + 255 + 6, {1, 0}, ok_reply_40000), user_255, "secret",
         {auth_ok, ok_line_40000}, 40000, with_auth(user_255, "secret")},
        {"password_of_255_bytes_sent_whole", user_then(3 + 4 + 255, {1, 0}, ok_reply_40000), "user", password_255,
         {auth_ok, ok_line_40000}, 40000, with_auth("user", password_255)},
        {"no_user_name", {step::recv(4), step::reply({5, 2})}, {}, {}, {user_line}, {}, ident_request},
        {"no_user_name_but_a_password", {step::recv(4), step::reply({5, 2})}, {}, "secret", {user_line}, {},
         ident_request},
        {"empty_user_name", {step::recv(4), step::reply({5, 2})}, "", "secret", {length_line}, {}, ident_request},
        {"user_name_of_256_bytes", {step::recv(4), step::reply({5, 2})}, user_256, "secret", {length_line}, {},
         ident_request},
        {"user_name_without_password", {step::recv(4), step::reply({5, 2})}, "user", {}, {password_line}, {},
         ident_request},
        {"empty_password_ends_without_a_line", {step::recv(4), step::reply({5, 2})}, "user", "", {}, {},
         ident_request},
        {"password_of_256_bytes_ends_without_a_line", {step::recv(4), step::reply({5, 2})}, "user", password_256, {},
         {}, ident_request},
        {"proxy_closes_after_the_method_request", {step::recv(4), step::hang_up()}, {}, {}, {ident_lost}, {},
         ident_request},
        {"proxy_closes_half_way_through_the_method_reply", {step::recv(4), step::reply({5}), step::hang_up()}, {}, {},
         {ident_lost}, {}, ident_request},
        {"proxy_closes_before_the_auth_reply",
         {step::recv(4), step::reply({5, 2}), step::recv(3 + 4 + 6), step::hang_up()}, "user", "secret",
         {ident_lost}, {}, concat(ident_request, auth_message("user", "secret"))},
        {"proxy_closes_half_way_through_the_associate_reply",
         {step::recv(4), step::reply({5, 0}), step::recv(10), step::reply({5, 0, 0, 1, 127, 0}), step::hang_up()}, {},
         {}, {reply_lost}, {}, both},
        {"proxy_closes_instead_of_the_associate_reply",
         {step::recv(4), step::reply({5, 0}), step::recv(10), step::hang_up()}, {}, {}, {reply_lost}, {}, both},
    };
    return cases;
}
} // namespace

TEST(socks5_client, a_new_client_is_idle_and_disconnects_safely)
{
    log_recorder log;
    auto c = make_client(log, 1080, "user", "secret");
    EXPECT_FALSE(c->ready());
    EXPECT_FALSE(c->associating());
    EXPECT_FALSE(c->relay_port());
    EXPECT_EQ(c->proxy_address(), loopback());
    EXPECT_EQ(c->proxy_port(), 1080);
    EXPECT_EQ(c->log_level(), 2u);
    c->disconnect();
    c->disconnect();
    EXPECT_FALSE(c->ready());
    EXPECT_EQ(log.count(), 0u);
}

TEST(socks5_client, scripted_proxy_conversations)
{
    for (const script_case& sc : script_cases()) {
        SCOPED_TRACE(sc.name);
        scripted_proxy proxy(sc.script);
        log_recorder log;
        auto c = make_client(log, proxy.port(), sc.user, sc.password);
        c->start_association();
        ASSERT_TRUE(association_ends(*c));

        EXPECT_EQ(log.lines(), sc.lines);
        EXPECT_EQ(c->ready(), sc.relay.has_value());
        EXPECT_EQ(c->relay_port(), sc.relay);
        EXPECT_EQ(c->proxy_address(), loopback()) << "the relay is always at the proxy's own address";
        EXPECT_TRUE(wait_until([&] { return proxy.received().size() >= sc.sent.size(); }));
        EXPECT_EQ(proxy.received(), sc.sent);
        if (sc.password && !sc.password->empty()) {
            EXPECT_FALSE(log.any_contains(*sc.password)) << "the password reached the log";
        }

        // The control connection stays open until disconnect closes it.
        const bool script_hung_up = !sc.script.empty() && sc.script.back().kind == step::close;
        if (!script_hung_up) {
            EXPECT_EQ(proxy.closed_by_client(), 0);
        }
        c->disconnect();
        EXPECT_FALSE(c->ready());
        if (!script_hung_up) {
            EXPECT_TRUE(wait_until([&] { return proxy.closed_by_client() == 1; }));
        }
        EXPECT_EQ(log.lines(), sc.lines) << "disconnect wrote a line";
    }
}

TEST(socks5_client, below_level_2_nothing_is_written)
{
    for (std::uint32_t level : {0u, 1u}) {
        for (const bytes& reply : {ok_reply_40000, bytes{5, 1, 0, 1, 0, 0, 0, 0, 0, 0}}) {
            scripted_proxy proxy({step::recv(4), step::reply({5, 0}), step::recv(10), step::reply(reply)});
            log_recorder log;
            auto c = make_client(log, proxy.port(), {}, {}, level);
            c->start_association();
            ASSERT_TRUE(association_ends(*c));
            EXPECT_EQ(c->ready(), reply[1] == 0);
            EXPECT_EQ(log.count(), 0u) << "level " << level;
        }
    }
}

TEST(socks5_client, a_proxy_that_is_not_there)
{
    // A port that was free a moment ago: nothing listens on it.
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = loopback();
    int size = sizeof a;
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::getsockname(s, reinterpret_cast<sockaddr*>(&a), &size), 0);
    ::closesocket(s);

    log_recorder log;
    auto c = make_client(log, ::ntohs(a.sin_port));
    c->start_association();
    ASSERT_TRUE(association_ends(*c));
    EXPECT_FALSE(c->ready());
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"[SOCKS5]: connect_to_socks5_proxy: Failed to connect TCP socket: 10061"});
}

TEST(socks5_client, disconnect_ends_the_wait_on_a_silent_proxy)
{
    scripted_proxy proxy({step::recv(4)}); // reads the method request, never answers
    log_recorder log;
    auto c = make_client(log, proxy.port());
    c->start_association();
    ASSERT_TRUE(wait_until([&] { return proxy.scripts_done() == 1; }));
    EXPECT_TRUE(c->associating());
    EXPECT_FALSE(c->ready());
    EXPECT_TRUE(finishes_within([&] { c->disconnect(); }));
    EXPECT_FALSE(c->associating());
    EXPECT_FALSE(c->ready());
    EXPECT_TRUE(wait_until([&] { return proxy.closed_by_client() == 1; }));
    // The receive that the closed socket ended is reported like any socket error.
    for (const std::string& line : log.lines())
        EXPECT_EQ(line.rfind(prefix + "Failed to receive socks5_ident_resp: ", 0), 0u) << line;
    EXPECT_TRUE(finishes_within([&] { c->disconnect(); }));
}

TEST(socks5_client, destroying_a_client_that_waits_on_a_silent_proxy)
{
    scripted_proxy proxy({step::recv(4), step::reply({5, 0}), step::recv(10)});
    log_recorder log;
    auto c = make_client(log, proxy.port());
    c->start_association();
    ASSERT_TRUE(wait_until([&] { return proxy.scripts_done() == 1; }));
    EXPECT_TRUE(finishes_within([&] { c.reset(); }));
    EXPECT_TRUE(wait_until([&] { return proxy.closed_by_client() == 1; }));
}

TEST(socks5_client, disconnect_from_many_threads_at_once)
{
    scripted_proxy proxy({step::recv(4)});
    log_recorder log;
    auto c = make_client(log, proxy.port());
    c->start_association();
    ASSERT_TRUE(wait_until([&] { return proxy.scripts_done() == 1; }));
    EXPECT_TRUE(finishes_within([&] {
        std::vector<std::thread> threads;
        for (int i = 0; i < 8; ++i)
            threads.emplace_back([&] {
                c->disconnect();
                c->disconnect();
            });
        for (auto& t : threads)
            t.join();
    }));
    EXPECT_FALSE(c->associating());
    EXPECT_FALSE(c->ready());
    EXPECT_LE(log.count(), 1u);
}

TEST(socks5_client, disconnect_right_after_the_start_whatever_the_thread_has_reached)
{
    // The disconnect may come before the association thread has its socket, while it
    // connects, or while it waits for the answer: it must never hang or close twice.
    scripted_proxy proxy({step::recv(4)});
    log_recorder log;
    auto c = make_client(log, proxy.port());
    EXPECT_TRUE(finishes_within(
        [&] {
            for (int i = 0; i < 100; ++i) {
                c->start_association();
                if (i % 4 == 1)
                    std::this_thread::yield();
                else if (i % 4 == 2)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                else if (i % 4 == 3)
                    std::this_thread::sleep_for(std::chrono::milliseconds(3));
                c->disconnect();
                if (c->associating() || c->ready())
                    ADD_FAILURE() << "round " << i << ": still associating after disconnect";
            }
        },
        std::chrono::milliseconds(60000)));
    EXPECT_FALSE(c->associating());
}

TEST(socks5_client, a_disconnect_and_a_start_racing_on_two_threads)
{
    scripted_proxy proxy({step::recv(4)});
    log_recorder log;
    auto c = make_client(log, proxy.port());
    EXPECT_TRUE(finishes_within(
        [&] {
            for (int i = 0; i < 50; ++i) {
                std::thread starter([&] { c->start_association(); });
                std::thread stopper([&] { c->disconnect(); });
                starter.join();
                stopper.join();
                c->disconnect();
                if (c->associating())
                    ADD_FAILURE() << "round " << i << ": still associating";
            }
        },
        std::chrono::milliseconds(60000)));
}

TEST(socks5_client, a_second_start_replaces_the_first_association)
{
    scripted_proxy proxy({step::recv(4), step::reply({5, 0}), step::recv(10), step::reply(ok_reply_40000)});
    log_recorder log;
    auto c = make_client(log, proxy.port());
    c->start_association();
    ASSERT_TRUE(wait_until([&] { return c->ready(); }));
    c->start_association();
    ASSERT_TRUE(association_ends(*c));
    EXPECT_TRUE(c->ready());
    EXPECT_EQ(c->relay_port(), 40000);
    EXPECT_EQ(proxy.connections(), 2);
    EXPECT_TRUE(wait_until([&] { return proxy.closed_by_client() >= 1; })) << "the first connection stays open";
    EXPECT_EQ(log.lines(), (std::vector<std::string>{ok_line_40000, ok_line_40000}));
}

TEST(socks5_client, disconnect_from_the_association_thread_itself)
{
    // A log function that disconnects the client: the thread cannot join itself; it
    // stops, and the owner's next disconnect (here the destructor) joins it.
    scripted_proxy proxy({step::recv(4), step::reply({5, 0xFF})});
    std::unique_ptr<socks5_client> c;
    std::atomic<int> lines{0};
    c = std::make_unique<socks5_client>(
        loopback(), proxy.port(), std::nullopt, std::nullopt,
        [&](const char*) {
            ++lines;
            c->disconnect();
        },
        2);
    c->start_association();
    ASSERT_TRUE(association_ends(*c));
    EXPECT_EQ(lines.load(), 1);
    EXPECT_FALSE(c->ready());
    EXPECT_TRUE(finishes_within([&] { c.reset(); }));
}

// --- The real proxies of the fixture ---------------------------------------------------

TEST(socks5_client_real_proxies, dante_without_authentication_gives_a_relay)
{
    REQUIRE_REAL_PROXIES();
    const auto& p = real_proxies::instance();
    log_recorder log;
    auto c = make_client(log, p.port("danted_none"));
    c->start_association();
    ASSERT_TRUE(association_ends(*c));
    ASSERT_TRUE(c->ready()) << ::testing::PrintToString(log.lines());
    ASSERT_TRUE(c->relay_port());
    EXPECT_NE(*c->relay_port(), 0);
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{prefix + "SOCKS5 ASSOCIATE SUCCESS port: " + std::to_string(*c->relay_port())});
}

TEST(socks5_client_real_proxies, dante_with_user_name_and_password_gives_a_relay)
{
    REQUIRE_REAL_PROXIES();
    const auto& p = real_proxies::instance();
    const std::string password = p.text("danted_password");
    log_recorder log;
    auto c = make_client(log, p.port("danted_username"), p.text("danted_user"), password);
    c->start_association();
    ASSERT_TRUE(association_ends(*c));
    ASSERT_TRUE(c->ready()) << ::testing::PrintToString(log.lines());
    EXPECT_EQ(log.lines(), (std::vector<std::string>{prefix + "USERNAME/PASSWORD authentication SUCCESS",
                                                     prefix + "SOCKS5 ASSOCIATE SUCCESS port: " +
                                                         std::to_string(*c->relay_port())}));
    EXPECT_FALSE(log.any_contains(password));
}

TEST(socks5_client_real_proxies, dante_rejects_a_wrong_password)
{
    REQUIRE_REAL_PROXIES();
    const auto& p = real_proxies::instance();
    log_recorder log;
    auto c = make_client(log, p.port("danted_username"), p.text("danted_user"), "not-the-password");
    c->start_association();
    ASSERT_TRUE(association_ends(*c));
    EXPECT_FALSE(c->ready());
    EXPECT_EQ(log.lines(), std::vector<std::string>{prefix + "USERNAME/PASSWORD authentication has failed!"});
}

TEST(socks5_client_real_proxies, dante_asking_for_credentials_that_are_not_configured)
{
    REQUIRE_REAL_PROXIES();
    log_recorder log;
    auto c = make_client(log, real_proxies::instance().port("danted_username"));
    c->start_association();
    ASSERT_TRUE(association_ends(*c));
    EXPECT_FALSE(c->ready());
    EXPECT_EQ(log.lines(), std::vector<std::string>{prefix + "RFC 1928: X'02' USERNAME/PASSWORD is chosen but "
                                                             "USERNAME is not provided: "});
}

TEST(socks5_client_real_proxies, microsocks_refuses_the_udp_association)
{
    REQUIRE_REAL_PROXIES();
    log_recorder log;
    auto c = make_client(log, real_proxies::instance().port("microsocks_none"));
    c->start_association();
    ASSERT_TRUE(association_ends(*c));
    EXPECT_FALSE(c->ready());
    EXPECT_FALSE(c->relay_port());
    EXPECT_EQ(log.lines(), std::vector<std::string>{prefix + "SOCKS5 ASSOCIATE has failed: "});
}

TEST(socks5_client_real_proxies, microsocks_rejects_wrong_credentials)
{
    REQUIRE_REAL_PROXIES();
    const auto& p = real_proxies::instance();
    log_recorder log;
    auto c = make_client(log, p.port("microsocks_username"), p.text("microsocks_user"), "wrong-password");
    c->start_association();
    ASSERT_TRUE(association_ends(*c));
    EXPECT_FALSE(c->ready());
    EXPECT_EQ(log.lines(), std::vector<std::string>{prefix + "USERNAME/PASSWORD authentication has failed!"});
}

TEST(socks5_client_real_proxies, microsocks_accepts_right_credentials_then_refuses_the_association)
{
    REQUIRE_REAL_PROXIES();
    const auto& p = real_proxies::instance();
    const std::string password = p.text("microsocks_password");
    log_recorder log;
    auto c = make_client(log, p.port("microsocks_username"), p.text("microsocks_user"), password);
    c->start_association();
    ASSERT_TRUE(association_ends(*c));
    EXPECT_FALSE(c->ready());
    EXPECT_EQ(log.lines(), (std::vector<std::string>{prefix + "USERNAME/PASSWORD authentication SUCCESS",
                                                     prefix + "SOCKS5 ASSOCIATE has failed: "}));
    EXPECT_FALSE(log.any_contains(password));
}

// --- The tunnel's client slot ----------------------------------------------------------

namespace
{
log_recorder* slot_log = nullptr;
void slot_log_callback(const char* line)
{
    if (slot_log)
        slot_log->function()(line);
}
} // namespace

TEST(socks5_client_slot, client_level_follows_the_tunnel_level)
{
    EXPECT_EQ(wireguard::socks5_client_log_level(0), 0u);
    EXPECT_EQ(wireguard::socks5_client_log_level(1), 1u);
    EXPECT_EQ(wireguard::socks5_client_log_level(2), 2u);
    EXPECT_EQ(wireguard::socks5_client_log_level(3), 3u);
    EXPECT_EQ(wireguard::socks5_client_log_level(7), 3u);
    EXPECT_EQ(wireguard::socks5_client_log_level(-1), 3u);
}

TEST(socks5_client_slot, recreate_without_a_proxy_does_nothing)
{
    wireguard::socks5_client_slot slot;
    wireguard::recreate_socks5_client(slot, std::nullopt, slot_log_callback, 3);
    EXPECT_EQ(slot.get(), nullptr);
}

TEST(socks5_client_slot, recreate_replaces_and_disconnects_the_old_client)
{
    scripted_proxy proxy({step::recv(4), step::reply({5, 0}), step::recv(10), step::reply(ok_reply_40000)});
    log_recorder log;
    slot_log = &log;
    wireguard::socks5_client_slot slot;
    const wireguard::socks5_proxy_settings settings{loopback(), proxy.port(), std::nullopt, std::nullopt};

    wireguard::recreate_socks5_client(slot, settings, slot_log_callback, 5);
    const std::shared_ptr<socks5_client> first = slot.get(); // a packet thread's reader
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->log_level(), 3u);
    ASSERT_TRUE(wait_until([&] { return first->ready(); }));

    wireguard::recreate_socks5_client(slot, settings, slot_log_callback, 2);
    const std::shared_ptr<socks5_client> second = slot.get();
    ASSERT_NE(second, first);
    EXPECT_FALSE(first->ready()) << "the replaced client was not disconnected";
    EXPECT_FALSE(first->associating());
    EXPECT_EQ(first->proxy_address(), loopback()) << "the reader still holds a live client";
    ASSERT_TRUE(wait_until([&] { return second->ready(); }));
    EXPECT_EQ(second->log_level(), 2u);
    EXPECT_EQ(second->relay_port(), 40000);

    slot.reset();
    EXPECT_EQ(slot.get(), nullptr);
    EXPECT_FALSE(second->ready());
    EXPECT_EQ(log.lines(), (std::vector<std::string>{ok_line_40000, ok_line_40000}));
    slot_log = nullptr;
}

TEST(socks5_client_slot, credentials_are_passed_only_when_both_are_configured)
{
    // The proxy asks for user name and password; a client built without them says so.
    scripted_proxy proxy({step::recv(4), step::reply({5, 2})});
    log_recorder log;
    slot_log = &log;
    wireguard::socks5_client_slot slot;
    const wireguard::socks5_proxy_settings user_only{loopback(), proxy.port(), "user", std::nullopt};
    wireguard::recreate_socks5_client(slot, user_only, slot_log_callback, 2);
    ASSERT_NE(slot.get(), nullptr);
    ASSERT_TRUE(association_ends(*slot.get()));
    EXPECT_EQ(log.lines(), std::vector<std::string>{prefix + "RFC 1928: X'02' USERNAME/PASSWORD is chosen but "
                                                             "USERNAME is not provided: "});
    slot.reset();
    slot_log = nullptr;
}

TEST(socks5_client_slot, no_log_callback_means_no_lines_and_no_fault)
{
    scripted_proxy proxy({step::recv(4), step::reply({5, 0xFF})});
    wireguard::socks5_client_slot slot;
    wireguard::recreate_socks5_client(slot, wireguard::socks5_proxy_settings{loopback(), proxy.port(), {}, {}},
                                      nullptr, 3);
    ASSERT_NE(slot.get(), nullptr);
    ASSERT_TRUE(association_ends(*slot.get()));
    EXPECT_FALSE(slot.get()->ready());
}

// ---- waiting for the relay ----------------------------------------------------------------

namespace
{
// A client whose association ends, ready, right after the waiter's first look.
struct racing_client {
    mutable int looks = 0;
    bool ready() const { return ++looks > 1; }
    bool associating() const { return false; }
};

struct unready_client {
    bool associating_now;
    bool ready() const { return false; }
    bool associating() const { return associating_now; }
};
} // namespace

TEST(socks5_wait_for_relay, an_association_that_became_ready_after_the_first_look_is_ready)
{
    int pauses = 0;
    EXPECT_TRUE(wireguard::wait_for_relay(racing_client{}, 10, [&] { return ++pauses, true; }));
    EXPECT_EQ(pauses, 0);
}

TEST(socks5_wait_for_relay, a_failed_association_is_not_waited_for_and_a_stop_ends_the_wait)
{
    int pauses = 0;
    EXPECT_FALSE(wireguard::wait_for_relay(unready_client{false}, 10, [&] { return ++pauses, true; }));
    EXPECT_EQ(pauses, 0);
    EXPECT_FALSE(wireguard::wait_for_relay(unready_client{true}, 10, [&] { return ++pauses, true; }));
    EXPECT_EQ(pauses, 10);
    EXPECT_FALSE(wireguard::wait_for_relay(unready_client{true}, 10, [&] { return ++pauses, false; }));
    EXPECT_EQ(pauses, 11);
}
