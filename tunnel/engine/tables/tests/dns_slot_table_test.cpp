// The DNS slot table: recording queries, failover between servers, answers, and use
// from several threads, all with a clock that the test sets.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "dns_query_table.h"
#include "dns_slot_table.h"

using namespace wireguard;

namespace
{
constexpr std::int64_t second = 1'000'000'000;

// A clock that stands still until the test moves it.
struct test_clock {
    std::shared_ptr<std::atomic<std::int64_t>> now = std::make_shared<std::atomic<std::int64_t>>(100 * second);
    dns_slot_table::clock_function function() const
    {
        return [now = now] { return now->load(); };
    }
    void advance(std::int64_t ns) const { *now += ns; }
};

ipv4_key v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    const std::uint8_t bytes[4] = {a, b, c, d};
    ipv4_key k;
    std::memcpy(&k, bytes, 4);
    return k;
}

ipv6_key v6(std::uint8_t last)
{
    ipv6_key k{0x20, 0x01, 0x0d, 0xb8};
    k[15] = last;
    return k;
}

ip_address address_of(ipv4_key k)
{
    ip_address a;
    std::memcpy(a.address.data(), &k, 4);
    a.family = family_ipv4;
    return a;
}

ip_address address_of(const ipv6_key& k)
{
    ip_address a;
    a.address = k;
    a.family = family_ipv6;
    return a;
}

const ipv4_key server_a = v4(10, 0, 0, 1);
const ipv4_key server_b = v4(10, 0, 0, 2);
const ipv4_key server_c = v4(10, 0, 0, 3);
const ipv4_key asked_1 = v4(192, 168, 1, 1);
const ipv4_key asked_2 = v4(8, 8, 8, 8);

std::vector<ipv4_key> order_v4(const dns_slot_table& t)
{
    std::vector<ipv4_key> order;
    for (const auto& s : t.slots_v4())
        order.push_back(s.server);
    return order;
}

// A table of IPv4 servers on a test clock.
struct table_v4 {
    test_clock clock;
    dns_slot_table table;
    explicit table_v4(std::vector<ipv4_key> servers) : table(addresses(servers), clock.function()) {}
    static std::vector<ip_address> addresses(const std::vector<ipv4_key>& servers)
    {
        std::vector<ip_address> list;
        for (ipv4_key k : servers)
            list.push_back(address_of(k));
        return list;
    }
};
} // namespace

TEST(dns_slot_table, is_built_in_configuration_order_per_family)
{
    test_clock clock;
    dns_slot_table t({address_of(server_b), address_of(v6(2)), address_of(server_a), address_of(v6(1))},
                     clock.function());
    EXPECT_EQ(order_v4(t), (std::vector<ipv4_key>{server_b, server_a}));
    const auto six = t.slots_v6();
    ASSERT_EQ(six.size(), 2u);
    EXPECT_EQ(six[0].server, v6(2));
    EXPECT_EQ(six[1].server, v6(1));
    for (const auto& s : t.slots_v4()) {
        EXPECT_EQ(s.last_answer, 0);
        EXPECT_TRUE(s.requests.empty());
    }
}

TEST(dns_slot_table, a_family_without_servers_gives_nothing)
{
    test_clock clock;
    dns_slot_table only_v6({address_of(v6(1))}, clock.function());
    EXPECT_FALSE(only_v6.acquire_port_slot(5000, asked_1));
    EXPECT_FALSE(only_v6.release_port_slot<ipv4_key>(5000));
    EXPECT_FALSE(only_v6.is_dns_server(server_a));

    dns_slot_table only_v4({address_of(server_a)}, clock.function());
    EXPECT_FALSE(only_v4.acquire_port_slot(5000, v6(9)));
    EXPECT_FALSE(only_v4.release_port_slot<ipv6_key>(5000));
    EXPECT_FALSE(only_v4.is_dns_server(v6(1)));

    dns_slot_table empty({}, clock.function());
    EXPECT_FALSE(empty.acquire_port_slot(53, asked_1));
    EXPECT_FALSE(empty.release_port_slot<ipv4_key>(53));
}

TEST(dns_slot_table, is_dns_server_compares_whole_addresses_of_the_family)
{
    test_clock clock;
    dns_slot_table t({address_of(server_a), address_of(v6(1))}, clock.function());
    EXPECT_TRUE(t.is_dns_server(server_a));
    EXPECT_FALSE(t.is_dns_server(server_b));
    EXPECT_TRUE(t.is_dns_server(v6(1)));
    EXPECT_FALSE(t.is_dns_server(v6(2)));
    ipv6_key mapped{};
    std::memcpy(mapped.data(), &server_a, 4); // the IPv4 bytes in an IPv6 key are no match
    EXPECT_FALSE(t.is_dns_server(mapped));
}

// Queries in parallel each find their answer, whether the server has never answered
// (at any clock reading) or last answered long ago.
TEST(dns_slot_table, parallel_queries_all_find_their_answers_within_2_s_of_their_query)
{
    for (std::int64_t start : {std::int64_t{1}, second / 2, 2 * second, 100 * second}) {
        for (const bool answered_long_ago : {false, true}) {
            SCOPED_TRACE(std::to_string(start) + (answered_long_ago ? " answered 10 s ago" : " never answered"));
            table_v4 t({server_a, server_b});
            *t.clock.now = start;
            if (answered_long_ago) {
                ASSERT_EQ(t.table.acquire_port_slot(4000, asked_1), server_a);
                ASSERT_EQ(t.table.release_port_slot<ipv4_key>(4000), asked_1);
                t.clock.advance(10 * second);
            }
            EXPECT_EQ(t.table.acquire_port_slot(5000, asked_1), server_a);
            t.clock.advance(second);
            EXPECT_EQ(t.table.acquire_port_slot(5001, asked_2), server_a);
            t.clock.advance(second);
            EXPECT_EQ(t.table.acquire_port_slot(5002, asked_1), server_a);
            EXPECT_EQ(order_v4(t.table), (std::vector<ipv4_key>{server_a, server_b}));
            EXPECT_EQ(t.table.release_port_slot<ipv4_key>(5001), asked_2);
            EXPECT_EQ(t.table.release_port_slot<ipv4_key>(5000), asked_1);
            EXPECT_EQ(t.table.release_port_slot<ipv4_key>(5002), asked_1);
        }
    }
}

TEST(dns_slot_table, a_server_that_leaves_a_query_unanswered_for_over_2_s_hands_over_to_the_next)
{
    struct scenario {
        const char* name;
        bool answered_before; // the first server answered once before the query
        bool answered_after;  // it answered another query after it
        std::int64_t since;   // time from the query to the next query
        bool fails_over;
        bool kept; // the query's record is still there for its answer
    };
    const scenario scenarios[] = {
        {"never_answered_waited_over_2_s", false, false, 2 * second + 1, true, false},
        {"never_answered_waited_2_s", false, false, 2 * second, false, true},
        {"never_answered_waited_1_s", false, false, second, false, true},
        {"answered_before_the_query_waited_over_2_s", true, false, 2 * second + 1, true, false},
        {"answered_since_the_query_waited_over_2_s", false, true, 2 * second + 1, false, false},
    };
    for (const auto& s : scenarios) {
        SCOPED_TRACE(s.name);
        table_v4 t({server_a, server_b});
        if (s.answered_before) {
            ASSERT_EQ(t.table.acquire_port_slot(4000, asked_1), server_a);
            ASSERT_EQ(t.table.release_port_slot<ipv4_key>(4000), asked_1);
            t.clock.advance(1);
        }
        ASSERT_EQ(t.table.acquire_port_slot(5000, asked_1), server_a); // A holds a record now
        if (s.answered_after) {
            t.clock.advance(1);
            ASSERT_EQ(t.table.acquire_port_slot(4000, asked_1), server_a);
            ASSERT_EQ(t.table.release_port_slot<ipv4_key>(4000), asked_1);
            t.clock.advance(s.since - 1);
        } else {
            t.clock.advance(s.since);
        }
        EXPECT_EQ(t.table.awaits_answer(address_of(server_a), 5000), s.since <= 2 * second) << "for the source check";
        const auto chosen = t.table.acquire_port_slot(5001, asked_2);
        EXPECT_EQ(chosen, s.fails_over ? server_b : server_a);
        EXPECT_EQ(order_v4(t.table), s.fails_over ? (std::vector<ipv4_key>{server_b, server_a})
                                                  : (std::vector<ipv4_key>{server_a, server_b}));
        EXPECT_EQ(t.table.release_port_slot<ipv4_key>(5000), s.kept ? std::optional(asked_1) : std::nullopt);
        EXPECT_EQ(t.table.release_port_slot<ipv4_key>(5001), asked_2);
    }
}

// A resolver's repeats from one port do not restart the wait that decides failover.
TEST(dns_slot_table, repeats_from_one_port_do_not_hide_a_server_that_stopped_answering)
{
    table_v4 t({server_a, server_b});
    ASSERT_EQ(t.table.acquire_port_slot(4000, asked_1), server_a);
    ASSERT_EQ(t.table.release_port_slot<ipv4_key>(4000), asked_1); // A has answered before
    for (int repeat = 0; repeat < 3; ++repeat) {
        t.clock.advance(second);
        ASSERT_EQ(t.table.acquire_port_slot(5000, asked_1), server_a) << repeat;
    }
    t.clock.advance(second);
    EXPECT_EQ(t.table.acquire_port_slot(6000, asked_1), server_b) << "silent for 3 s";
}

TEST(dns_slot_table, rotation_moves_the_skipped_slots_behind_the_last_in_their_order)
{
    table_v4 t({server_a, server_b, server_c, v4(10, 0, 0, 4)});
    // A and B leave their queries unanswered in turn.
    ASSERT_EQ(t.table.acquire_port_slot(1, asked_1), server_a);
    t.clock.advance(3 * second);
    ASSERT_EQ(t.table.acquire_port_slot(2, asked_1), server_b); // A failed: now B, C, D, A
    EXPECT_EQ(order_v4(t.table), (std::vector<ipv4_key>{server_b, server_c, v4(10, 0, 0, 4), server_a}));
    t.clock.advance(3 * second);
    ASSERT_EQ(t.table.acquire_port_slot(3, asked_1), server_c); // B failed: C, D, A, B
    EXPECT_EQ(order_v4(t.table), (std::vector<ipv4_key>{server_c, v4(10, 0, 0, 4), server_a, server_b}));
}

TEST(dns_slot_table, a_lone_stale_server_is_emptied_and_takes_the_query_itself)
{
    table_v4 t({server_a});
    ASSERT_EQ(t.table.acquire_port_slot(1, asked_1), server_a);
    ASSERT_EQ(t.table.release_port_slot<ipv4_key>(1), asked_1);
    ASSERT_EQ(t.table.acquire_port_slot(2, asked_1), server_a);
    ASSERT_EQ(t.table.acquire_port_slot(3, asked_1), server_a); // fresh: both kept
    t.clock.advance(2 * second + 1);
    // The walk empties the only slot and ends past the end; the query is recorded there.
    EXPECT_EQ(t.table.acquire_port_slot(4, asked_2), server_a);
    const auto slots = t.table.slots_v4();
    ASSERT_EQ(slots[0].requests.size(), 1u);
    EXPECT_EQ(slots[0].requests.at(4), (dns_request_v4{asked_2, 1, *t.clock.now, *t.clock.now}));
    EXPECT_FALSE(t.table.release_port_slot<ipv4_key>(2));
}

TEST(dns_slot_table, repeated_queries_count_and_answers_count_down)
{
    table_v4 t({server_a});
    ASSERT_EQ(t.table.acquire_port_slot(5000, asked_1), server_a);
    ASSERT_EQ(t.table.release_port_slot<ipv4_key>(5000), asked_1); // the server has answered once
    ASSERT_EQ(t.table.acquire_port_slot(6000, asked_1), server_a);
    ASSERT_EQ(t.table.acquire_port_slot(6000, asked_1), server_a);
    auto slots = t.table.slots_v4();
    EXPECT_EQ(slots[0].requests.at(6000), (dns_request_v4{asked_1, 2, *t.clock.now, *t.clock.now}));

    EXPECT_EQ(t.table.release_port_slot<ipv4_key>(6000), asked_1);
    slots = t.table.slots_v4();
    ASSERT_EQ(slots[0].requests.count(6000), 1u) << "one query is still outstanding";
    EXPECT_EQ(slots[0].requests.at(6000).count, 1);
    EXPECT_EQ(t.table.release_port_slot<ipv4_key>(6000), asked_1);
    EXPECT_TRUE(t.table.slots_v4()[0].requests.empty());
    EXPECT_FALSE(t.table.release_port_slot<ipv4_key>(6000));
}

TEST(dns_slot_table, a_query_to_another_destination_replaces_the_ports_record)
{
    table_v4 t({server_a});
    ASSERT_EQ(t.table.acquire_port_slot(5000, asked_1), server_a);
    ASSERT_EQ(t.table.release_port_slot<ipv4_key>(5000), asked_1);
    ASSERT_EQ(t.table.acquire_port_slot(6000, asked_1), server_a);
    ASSERT_EQ(t.table.acquire_port_slot(6000, asked_1), server_a);
    ASSERT_EQ(t.table.acquire_port_slot(6000, asked_2), server_a);
    EXPECT_EQ(t.table.slots_v4()[0].requests.at(6000), (dns_request_v4{asked_2, 1, *t.clock.now, *t.clock.now}));
    EXPECT_EQ(t.table.release_port_slot<ipv4_key>(6000), asked_2);
    EXPECT_FALSE(t.table.release_port_slot<ipv4_key>(6000));
}

TEST(dns_slot_table, an_answer_stamps_its_slot_even_when_the_record_survives)
{
    table_v4 t({server_a});
    ASSERT_EQ(t.table.acquire_port_slot(5000, asked_1), server_a);
    ASSERT_EQ(t.table.release_port_slot<ipv4_key>(5000), asked_1);
    ASSERT_EQ(t.table.acquire_port_slot(6000, asked_1), server_a);
    ASSERT_EQ(t.table.acquire_port_slot(6000, asked_1), server_a);
    t.clock.advance(5 * second);
    const std::int64_t stamp = *t.clock.now;
    ASSERT_EQ(t.table.release_port_slot<ipv4_key>(6000), asked_1);
    EXPECT_EQ(t.table.slots_v4()[0].last_answer, stamp);
    EXPECT_EQ(t.table.slots_v4()[0].requests.at(6000).count, 1);
}

TEST(dns_slot_table, an_answer_nobody_asked_for_changes_nothing)
{
    table_v4 t({server_a, server_b});
    ASSERT_EQ(t.table.acquire_port_slot(5000, asked_1), server_a);
    const auto before = t.table.slots_v4();
    t.clock.advance(second);
    EXPECT_FALSE(t.table.release_port_slot<ipv4_key>(5001));
    EXPECT_EQ(t.table.slots_v4(), before);
}

TEST(dns_slot_table, an_answer_is_taken_from_the_first_slot_that_holds_the_port)
{
    // After a failover the same port can have records in two slots.
    table_v4 t({server_a, server_b});
    ASSERT_EQ(t.table.acquire_port_slot(7000, asked_1), server_a);
    ASSERT_EQ(t.table.release_port_slot<ipv4_key>(7000), asked_1); // A has answered
    ASSERT_EQ(t.table.acquire_port_slot(7000, asked_1), server_a);  // A: 7000 -> asked_1
    t.clock.advance(3 * second);                                     // A goes stale
    ASSERT_EQ(t.table.acquire_port_slot(8000, asked_2), server_b);  // B, A; A emptied
    ASSERT_EQ(t.table.release_port_slot<ipv4_key>(8000), asked_2);  // B answered: fresh
    ASSERT_EQ(t.table.acquire_port_slot(7000, asked_2), server_b);  // B: 7000 -> asked_2
    EXPECT_EQ(t.table.release_port_slot<ipv4_key>(7000), asked_2);
    EXPECT_FALSE(t.table.release_port_slot<ipv4_key>(7000));
}

TEST(dns_slot_table, an_answer_at_clock_reading_zero_still_counts_as_an_answer)
{
    table_v4 t({server_a});
    *t.clock.now = 0;
    ASSERT_EQ(t.table.acquire_port_slot(1, asked_1), server_a);
    ASSERT_EQ(t.table.release_port_slot<ipv4_key>(1), asked_1);
    EXPECT_NE(t.table.slots_v4()[0].last_answer, 0);
    // The slot has answered, so its next record is not thrown away by the one after.
    ASSERT_EQ(t.table.acquire_port_slot(2, asked_1), server_a);
    ASSERT_EQ(t.table.acquire_port_slot(3, asked_1), server_a);
    EXPECT_EQ(t.table.slots_v4()[0].requests.size(), 2u);
}

TEST(dns_slot_table, ipv6_slots_fail_over_and_translate_back)
{
    test_clock clock;
    dns_slot_table t({address_of(v6(1)), address_of(v6(2)), address_of(server_a)}, clock.function());
    EXPECT_EQ(t.acquire_port_slot(5000, v6(0x99)), v6(1));
    clock.advance(3 * second);
    EXPECT_EQ(t.acquire_port_slot(5001, v6(0x98)), v6(2)); // the first never answered
    const auto six = t.slots_v6();
    EXPECT_EQ(six[0].server, v6(2));
    EXPECT_EQ(six[1].server, v6(1));
    EXPECT_FALSE(t.release_port_slot<ipv6_key>(5000));
    EXPECT_EQ(t.release_port_slot<ipv6_key>(5001), v6(0x98));
    EXPECT_EQ(t.slots_v6()[0].last_answer, *clock.now);
    // The IPv4 side is untouched.
    EXPECT_EQ(order_v4(t), std::vector<ipv4_key>{server_a});
    EXPECT_TRUE(t.slots_v4()[0].requests.empty());
    EXPECT_FALSE(t.release_port_slot<ipv4_key>(5001));
}

TEST(dns_slot_table, moves_carry_the_slots_and_the_clock)
{
    table_v4 t({server_a, server_b});
    ASSERT_EQ(t.table.acquire_port_slot(5000, asked_1), server_a);
    dns_slot_table moved(std::move(t.table));
    EXPECT_EQ(order_v4(moved), (std::vector<ipv4_key>{server_a, server_b}));
    t.clock.advance(7 * second);
    EXPECT_EQ(moved.release_port_slot<ipv4_key>(5000), asked_1);
    EXPECT_EQ(moved.slots_v4()[0].last_answer, *t.clock.now);

    test_clock other_clock;
    dns_slot_table assigned({address_of(server_c)}, other_clock.function());
    assigned = std::move(moved);
    EXPECT_EQ(order_v4(assigned), (std::vector<ipv4_key>{server_a, server_b}));
}

TEST(dns_slot_table, threads_querying_and_answering_together_keep_the_records_consistent)
{
    test_clock clock;
    dns_slot_table t({address_of(server_a), address_of(v6(1))}, clock.function());
    // Let the servers have answered once so that their records are kept.
    ASSERT_TRUE(t.acquire_port_slot(1, asked_1));
    ASSERT_TRUE(t.release_port_slot<ipv4_key>(1));
    ASSERT_TRUE(t.acquire_port_slot(1, v6(7)));
    ASSERT_TRUE(t.release_port_slot<ipv6_key>(1));

    constexpr int threads = 4;
    constexpr int rounds = 2000;
    std::atomic<int> wrong{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    for (int w = 0; w < threads; ++w) {
        workers.emplace_back([&, w] {
            for (int i = 0; i < rounds; ++i) {
                const auto port = static_cast<std::uint16_t>(10000 + w * rounds + i);
                const ipv4_key asked = v4(192, 168, static_cast<std::uint8_t>(w), static_cast<std::uint8_t>(i));
                if (t.acquire_port_slot(port, asked) != server_a)
                    ++wrong;
                if (t.acquire_port_slot(port, v6(static_cast<std::uint8_t>(i))) != v6(1))
                    ++wrong;
                if (t.release_port_slot<ipv4_key>(port) != asked)
                    ++wrong;
                if (t.release_port_slot<ipv6_key>(port) != v6(static_cast<std::uint8_t>(i)))
                    ++wrong;
            }
        });
    }
    std::thread reader([&] {
        while (!stop)
            if (!t.is_dns_server(server_a) || !t.is_dns_server(v6(1)))
                ++wrong;
    });
    for (auto& w : workers)
        w.join();
    stop = true;
    reader.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_TRUE(t.slots_v4()[0].requests.empty());
    EXPECT_TRUE(t.slots_v6()[0].requests.empty());
}

// The dual tunnel's query tables: a flood of unanswered queries leaves a table at its
// cap, the oldest gone first, and a query waits for its answer 2 s at most.
TEST(dns_query_table, a_flood_stays_at_the_cap_and_a_query_waits_2_s_for_its_answer)
{
    test_clock clock;
    dns_query_table_v4 queries(4, clock.function());
    for (std::uint32_t key = 1; key <= 10; ++key, clock.advance(second / 10))
        queries.insert(key, {server_a, false});
    EXPECT_EQ(queries.size(), 4u);
    EXPECT_FALSE(queries.take(6)) << "the oldest went first";
    EXPECT_FALSE(queries.awaits(7, server_b)) << "sent to another server";
    clock.advance(second * 17 / 10); // query 7 has waited 2.1 s, query 8 2 s
    EXPECT_FALSE(queries.awaits(7, server_a));
    EXPECT_TRUE(queries.take(8));
    EXPECT_FALSE(queries.take(8)) << "taken by its answer";
    queries.insert(11, {server_b, true});
    EXPECT_EQ(queries.size(), 3u) << "9, 10 and 11";
    const auto taken = queries.take(11);
    ASSERT_TRUE(taken);
    EXPECT_TRUE(taken->server == server_b && taken->switched);
}
