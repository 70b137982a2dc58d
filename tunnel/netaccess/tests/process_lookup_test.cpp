// The socket-owner caches over the simulated owner tables, which count every table
// read and owner-module query.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "packet_builder.h"
#include "process_lookup.h"
#include "socket_owners.h"
#include "test_support.h"

namespace
{
using iphelper::endpoint_key_v4;
using iphelper::endpoint_key_v6;
using iphelper::flow_key_v4;
using iphelper::flow_key_v6;
using iphelper::process_lookup_v4;
using iphelper::process_lookup_v6;
using simhost::owner_function;

constexpr auto tcp_reads = owner_function::get_extended_tcp_table;
constexpr auto udp_reads = owner_function::get_extended_udp_table;

class owner_cache : public test_support::simulated_host_test
{
protected:
    void TearDown() override
    {
        for (const auto& text : owners().violations())
            ADD_FAILURE() << "owner table rule broken: " << text;
        simulated_host_test::TearDown();
    }

    static simhost::socket_owners& owners() { return simhost::socket_owners::instance(); }

    static void add_programs()
    {
        owners().add_program(100, L"chrome.exe", L"C:\\Program Files\\Google\\Chrome\\chrome.exe");
        owners().add_program(200, L"Firefox.EXE", L"C:\\Program Files\\Mozilla\\firefox.exe");
        owners().add_program(300, L"Dnscache", L"C:\\Windows\\system32\\svchost.exe");
    }
};

std::uint32_t v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    const std::uint8_t bytes[4] = {a, b, c, d};
    std::uint32_t value;
    std::memcpy(&value, bytes, 4);
    return value;
}

std::array<std::uint8_t, 16> v6(std::uint8_t last)
{
    return {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, last};
}

const flow_key_v4 chrome_flow{v4(192, 0, 2, 10), 50000, v4(198, 51, 100, 7), 443};

TEST_F(owner_cache, construction_reads_the_tcp_table_then_the_udp_table_of_its_family_only)
{
    process_lookup_v4 lookup;
    const auto calls = owners().calls();
    ASSERT_EQ(calls.size(), 4u); // each: no buffer yet, then with one
    EXPECT_EQ(calls[0].function, tcp_reads);
    EXPECT_EQ(calls[0].family, static_cast<ULONG>(AF_INET));
    EXPECT_FALSE(calls[0].buffer);
    EXPECT_EQ(calls[0].size_in, 0u);
    EXPECT_EQ(calls[1].function, tcp_reads);
    EXPECT_TRUE(calls[1].buffer);
    // Twice the reported size.
    EXPECT_EQ(calls[1].size_in, 2 * calls[0].size_out);
    EXPECT_EQ(calls[2].function, udp_reads);
    EXPECT_EQ(calls[3].function, udp_reads);
    EXPECT_EQ(owners().call_count(tcp_reads, AF_INET6), 0u);

    process_lookup_v6 lookup6;
    EXPECT_EQ(owners().call_count(tcp_reads, AF_INET6), 2u);
    EXPECT_EQ(owners().call_count(udp_reads, AF_INET6), 2u);
}

TEST_F(owner_cache, a_hit_reads_nothing_and_a_miss_refreshes_once)
{
    add_programs();
    owners().add_tcp_connection("192.0.2.10", 50000, "198.51.100.7", 443, 100);
    process_lookup_v4 lookup;
    owners().clear_calls();

    for (int i = 0; i < 5; ++i) {
        const auto owner = lookup.lookup_tcp(chrome_flow);
        EXPECT_EQ(owner->process_id, 100u);
        EXPECT_EQ(owner->name, L"chrome.exe");
        EXPECT_EQ(owner->path, L"C:\\Program Files\\Google\\Chrome\\chrome.exe");
    }
    EXPECT_TRUE(owners().calls().empty());

    // The first packet of a connection opened after the last refresh: a miss, one
    // refresh (the buffer is kept, so one table call), and the owner is found.
    owners().add_tcp_connection("192.0.2.10", 50001, "198.51.100.7", 443, 200);
    const auto firefox = lookup.lookup_tcp({v4(192, 0, 2, 10), 50001, v4(198, 51, 100, 7), 443});
    EXPECT_EQ(firefox->name, L"Firefox.EXE");
    EXPECT_EQ(owners().call_count(tcp_reads), 1u);
    EXPECT_EQ(owners().call_count(udp_reads), 0u);
    // Both rows' owners were queried again: no buffer, then one.
    EXPECT_EQ(owners().call_count(owner_function::get_owner_module_from_tcp_entry), 4u);
    lookup.lookup_tcp({v4(192, 0, 2, 10), 50001, v4(198, 51, 100, 7), 443});
    EXPECT_EQ(owners().call_count(tcp_reads), 1u);
}

TEST_F(owner_cache, an_unknown_owner_is_system_until_another_miss_refreshes)
{
    add_programs();
    owners().add_program(simhost::program{4, std::wstring(L"System"), std::nullopt}); // no path
    owners().add_tcp_connection("192.0.2.10", 445, "198.51.100.7", 50000, 4);
    process_lookup_v4 lookup;
    owners().clear_calls();

    const flow_key_v4 system_flow{v4(192, 0, 2, 10), 445, v4(198, 51, 100, 7), 50000};
    const auto first = lookup.lookup_tcp(system_flow);
    EXPECT_EQ(first->process_id, 0u);
    EXPECT_EQ(first->name, L"SYSTEM");
    EXPECT_EQ(first->path, L"SYSTEM");
    EXPECT_EQ(first, lookup.system_process());
    EXPECT_EQ(owners().call_count(tcp_reads), 1u);

    // The next packet is a hit on the cached default.
    EXPECT_EQ(lookup.lookup_tcp(system_flow), lookup.system_process());
    EXPECT_EQ(owners().call_count(tcp_reads), 1u);

    // The owner shows up; the default still answers until a miss of another key.
    owners().add_program(4, L"System", L"C:\\Windows\\System32\\ntoskrnl.exe");
    EXPECT_EQ(lookup.lookup_tcp(system_flow), lookup.system_process());
    lookup.lookup_tcp(chrome_flow);
    EXPECT_EQ(owners().call_count(tcp_reads), 2u);
    EXPECT_EQ(lookup.lookup_tcp(system_flow)->path, L"C:\\Windows\\System32\\ntoskrnl.exe");
    EXPECT_EQ(owners().call_count(tcp_reads), 2u);
}

// A memo answers again, without a table read, only while its table is as it was: a
// refresh (any other key's miss) or another cache makes it look again.
TEST_F(owner_cache, a_memo_answers_like_the_table_until_the_table_changes)
{
    add_programs();
    owners().add_program(simhost::program{4, std::wstring(L"System"), std::nullopt}); // no path
    owners().add_tcp_connection("192.0.2.10", 445, "198.51.100.7", 50000, 4);
    owners().add_udp_socket("0.0.0.0", 5353, 300);
    process_lookup_v4 lookup;
    owners().clear_calls();

    const flow_key_v4 system_flow{v4(192, 0, 2, 10), 445, v4(198, 51, 100, 7), 50000};
    process_lookup_v4::tcp_memo memo;
    EXPECT_EQ(&lookup.lookup_tcp(system_flow, memo), lookup.system_process().get());
    EXPECT_EQ(owners().call_count(tcp_reads), 1u); // the miss
    EXPECT_EQ(&lookup.lookup_tcp(system_flow, memo), lookup.system_process().get());
    EXPECT_EQ(owners().call_count(tcp_reads), 1u);

    // The owner shows up: the memo still answers as the table does, until a miss of
    // another key refreshes the table.
    owners().add_program(4, L"System", L"C:\\Windows\\System32\\ntoskrnl.exe");
    EXPECT_EQ(lookup.lookup_tcp(system_flow, memo).path, L"SYSTEM");
    EXPECT_EQ(lookup.lookup_tcp(chrome_flow)->path, L"SYSTEM"); // a miss: refresh
    EXPECT_EQ(owners().call_count(tcp_reads), 2u);
    EXPECT_EQ(lookup.lookup_tcp(system_flow, memo).path, L"C:\\Windows\\System32\\ntoskrnl.exe");
    EXPECT_EQ(owners().call_count(tcp_reads), 2u);

    // Another key through the same memo, and the memo of one cache on another cache
    // that knows the same connection under another owner.
    owners().add_tcp_connection("192.0.2.10", 50000, "198.51.100.7", 443, 100);
    process_lookup_v4 older;
    owners().add_program(100, L"chromium.exe", L"C:\\Chromium\\chromium.exe");
    process_lookup_v4 newer;
    EXPECT_EQ(newer.lookup_tcp(chrome_flow, memo).name, L"chromium.exe");
    EXPECT_EQ(older.lookup_tcp(chrome_flow, memo).name, L"chrome.exe");
    EXPECT_EQ(newer.lookup_tcp(chrome_flow, memo).name, L"chromium.exe");

    // UDP: the wildcard owner through the memo; a memo answer is a hit, so `refreshed`
    // stays as it was.
    process_lookup_v4::udp_memo udp_memo;
    bool refreshed = false;
    EXPECT_EQ(lookup.lookup_udp({v4(192, 0, 2, 10), 5353}, refreshed, udp_memo).name, L"Dnscache");
    EXPECT_EQ(lookup.lookup_udp({v4(192, 0, 2, 10), 5353}, refreshed, udp_memo).name, L"Dnscache");
    EXPECT_FALSE(refreshed);
    EXPECT_EQ(&lookup.lookup_udp({v4(192, 0, 2, 10), 6000}, refreshed, udp_memo), lookup.system_process().get());
    EXPECT_TRUE(refreshed);
}

TEST_F(owner_cache, rows_without_an_owner_module_name_or_path_end_as_system)
{
    owners().add_program(simhost::program{10, std::nullopt, std::wstring(L"C:\\a.exe")});
    owners().add_program(simhost::program{11, std::wstring(L"b.exe"), std::nullopt});
    owners().add_program(simhost::program{12, std::wstring(L"c.exe"), std::wstring(L"C:\\c.exe"), ERROR_ACCESS_DENIED});
    owners().add_tcp_connection("192.0.2.10", 1010, "198.51.100.7", 1, 10);
    owners().add_tcp_connection("192.0.2.10", 1011, "198.51.100.7", 1, 11);
    owners().add_tcp_connection("192.0.2.10", 1012, "198.51.100.7", 1, 12);
    owners().add_tcp_connection("192.0.2.10", 1013, "198.51.100.7", 1, 13); // no such program
    process_lookup_v4 lookup;
    for (std::uint16_t port = 1010; port <= 1013; ++port) {
        const auto owner = lookup.lookup_tcp({v4(192, 0, 2, 10), port, v4(198, 51, 100, 7), 1});
        EXPECT_EQ(owner, lookup.system_process()) << port;
    }
    owners().add_program(12, L"c.exe", L"C:\\c.exe"); // the query works now
    lookup.lookup_tcp(chrome_flow);                     // a miss: refresh
    EXPECT_EQ(lookup.lookup_tcp({v4(192, 0, 2, 10), 1012, v4(198, 51, 100, 7), 1})->name, L"c.exe");
}

// Broken owner-module answers are read no further than the buffer: strings without a
// terminator end with it, strings that point outside it leave the row out.
TEST_F(owner_cache, owner_module_strings_are_bounded_by_the_buffer)
{
    using strings = simhost::program::strings;
    const struct {
        strings kind;
        const wchar_t* name; // the name read; null: the row is left out
        const wchar_t* path;
    } cases[] = {
        {strings::terminated, L"d.exe", L"C:\\d.exe"},
        {strings::unterminated, L"d.exeC:\\d.exe", L"C:\\d.exe"},
        {strings::outside_buffer, nullptr, nullptr},
    };
    owners().add_tcp_connection("192.0.2.10", 1020, "198.51.100.7", 1, 20);
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.kind));
        simhost::program p{20, std::wstring(L"d.exe"), std::wstring(L"C:\\d.exe")};
        p.module_strings = c.kind;
        owners().add_program(p);
        process_lookup_v4 lookup;
        const auto owner = lookup.lookup_tcp({v4(192, 0, 2, 10), 1020, v4(198, 51, 100, 7), 1});
        if (c.name == nullptr) {
            EXPECT_EQ(owner, lookup.system_process());
        } else {
            EXPECT_EQ(owner->name, c.name);
            EXPECT_EQ(owner->path, c.path);
        }
    }
}

TEST_F(owner_cache, udp_falls_back_to_the_socket_bound_to_the_wildcard_address)
{
    add_programs();
    owners().add_udp_socket("0.0.0.0", 5353, 300);
    owners().add_udp_socket("192.0.2.20", 5353, 100); // another address, same port
    owners().add_udp_socket("::", 5353, 300);
    owners().add_udp_socket("2001:db8::20", 5353, 100);
    process_lookup_v4 lookup;
    process_lookup_v6 lookup6;
    owners().clear_calls();

    bool refreshed = false;
    EXPECT_EQ(lookup.lookup_udp({v4(192, 0, 2, 10), 5353}, refreshed)->name, L"Dnscache");
    EXPECT_EQ(lookup.lookup_udp({v4(192, 0, 2, 20), 5353}, refreshed)->name, L"chrome.exe");
    EXPECT_EQ(lookup6.lookup_udp({v6(1), 5353}, refreshed)->name, L"Dnscache");
    EXPECT_EQ(lookup6.lookup_udp({v6(0x20), 5353}, refreshed)->name, L"chrome.exe");
    EXPECT_FALSE(refreshed);
    EXPECT_TRUE(owners().calls().empty());
}

TEST_F(owner_cache, the_default_is_stored_for_the_exact_endpoint_never_the_wildcard)
{
    add_programs();
    process_lookup_v4 lookup;
    bool refreshed = false;
    // 192.0.2.10:6000 has no owner: it maps to SYSTEM, the wildcard key stays absent.
    EXPECT_EQ(lookup.lookup_udp({v4(192, 0, 2, 10), 6000}, refreshed), lookup.system_process());
    EXPECT_TRUE(refreshed);
    // A wildcard socket appears on that port; another address of it misses, refreshes
    // and finds the wildcard owner.
    owners().add_udp_socket("0.0.0.0", 6000, 100);
    refreshed = false;
    EXPECT_EQ(lookup.lookup_udp({v4(192, 0, 2, 11), 6000}, refreshed)->name, L"chrome.exe");
    EXPECT_TRUE(refreshed);
}

TEST_F(owner_cache, refreshed_is_set_by_a_miss_and_never_cleared)
{
    add_programs();
    owners().add_udp_socket("192.0.2.10", 40000, 100);
    process_lookup_v4 lookup;

    bool refreshed = false;
    lookup.lookup_udp({v4(192, 0, 2, 10), 40000}, refreshed);
    EXPECT_FALSE(refreshed); // a hit leaves it as it was
    refreshed = true;
    lookup.lookup_udp({v4(192, 0, 2, 10), 40000}, refreshed);
    EXPECT_TRUE(refreshed);

    refreshed = false;
    EXPECT_EQ(lookup.lookup_udp({v4(192, 0, 2, 10), 40001}, refreshed), lookup.system_process());
    EXPECT_TRUE(refreshed); // set even though the refresh did not find the owner
    refreshed = false;
    lookup.lookup_udp({v4(192, 0, 2, 10), 40001}, refreshed);
    EXPECT_FALSE(refreshed); // the default is a hit
}

TEST_F(owner_cache, a_failing_table_gives_system_and_every_missing_key_tries_again)
{
    add_programs();
    owners().add_tcp_connection("192.0.2.10", 50000, "198.51.100.7", 443, 100);
    owners().fail_always(tcp_reads, ERROR_ACCESS_DENIED);
    process_lookup_v4 lookup;
    owners().clear_calls();

    for (std::uint16_t port = 50000; port < 50003; ++port)
        EXPECT_EQ(lookup.lookup_tcp({v4(192, 0, 2, 10), port, v4(198, 51, 100, 7), 443}), lookup.system_process());
    EXPECT_EQ(owners().call_count(tcp_reads), 3u);
    // The UDP table is not affected.
    EXPECT_EQ(owners().call_count(udp_reads), 0u);

    owners().fail_always(tcp_reads, 0);
    lookup.lookup_tcp({v4(192, 0, 2, 10), 1, v4(198, 51, 100, 7), 1});
    EXPECT_EQ(lookup.lookup_tcp(chrome_flow)->name, L"chrome.exe");
}

TEST_F(owner_cache, a_table_that_keeps_asking_for_more_room_gives_up)
{
    add_programs();
    owners().add_tcp_connection("192.0.2.10", 50000, "198.51.100.7", 443, 100);
    // Every read finds more than twice as many rows as the one before: however the
    // buffer grows, the table never fits.
    int rows = 1;
    owners().set_call_hook(tcp_reads, [&](unsigned) {
        for (int i = 0; i <= rows; ++i)
            owners().add_tcp_connection("192.0.2.10", static_cast<std::uint16_t>(10000 + rows + i), "198.51.100.7",
                                        443, 200);
        rows += rows + 1;
    });
    process_lookup_v4 lookup;
    owners().set_call_hook(tcp_reads, {});
    EXPECT_EQ(owners().call_count(tcp_reads), 8u);
    EXPECT_EQ(owners().call_count(owner_function::get_owner_module_from_tcp_entry), 0u);
    EXPECT_EQ(lookup.lookup_tcp(chrome_flow)->name, L"chrome.exe"); // the next refresh fits

    // A read that answers "insufficient" without a larger size makes no progress: it
    // is given up at once.
    owners().fail_always(tcp_reads, ERROR_INSUFFICIENT_BUFFER);
    owners().clear_calls();
    EXPECT_EQ(lookup.lookup_tcp({v4(192, 0, 2, 10), 1, v4(198, 51, 100, 7), 1}), lookup.system_process());
    EXPECT_LE(owners().call_count(tcp_reads), 8u);
    owners().fail_always(tcp_reads, 0);
}

TEST_F(owner_cache, the_row_buffer_grows_by_doubling_and_never_shrinks)
{
    add_programs();
    process_lookup_v4 lookup;
    const DWORD empty_size = owners().calls()[1].size_in; // twice the empty table
    owners().clear_calls();

    // Enough rows to overflow the kept buffer.
    for (std::uint16_t i = 0; i < 40; ++i)
        owners().add_tcp_connection("192.0.2.10", static_cast<std::uint16_t>(20000 + i), "198.51.100.7", 443, 100);
    lookup.lookup_tcp({v4(192, 0, 2, 10), 20000, v4(198, 51, 100, 7), 443});
    auto calls = owners().calls();
    std::vector<simhost::owner_call> reads;
    for (const auto& c : calls)
        if (c.function == tcp_reads)
            reads.push_back(c);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].size_in, empty_size);
    EXPECT_EQ(reads[0].result, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(reads[1].size_in, 2 * reads[0].size_out);
    EXPECT_EQ(reads[1].result, static_cast<DWORD>(NO_ERROR));
    const DWORD grown = reads[1].size_in;

    // Fewer rows later: the buffer stays as large.
    owners().reset();
    add_programs();
    owners().clear_calls();
    lookup.lookup_tcp({v4(192, 0, 2, 10), 1, v4(198, 51, 100, 7), 1});
    calls = owners().calls();
    ASSERT_EQ(owners().call_count(tcp_reads), 1u);
    EXPECT_EQ(calls[0].size_in, grown);
}

TEST_F(owner_cache, a_row_count_beyond_the_buffer_is_cut_to_the_rows_it_holds)
{
    add_programs();
    owners().add_tcp_connection("192.0.2.10", 50000, "198.51.100.7", 443, 100);
    owners().add_udp_socket("192.0.2.10", 40000, 200);
    owners().overstate_row_count(tcp_reads, 1000000);
    owners().overstate_row_count(udp_reads, 0xFFFFFFFFu - 1);
    process_lookup_v4 lookup;
    EXPECT_EQ(lookup.lookup_tcp(chrome_flow)->name, L"chrome.exe");
    bool refreshed = false;
    EXPECT_EQ(lookup.lookup_udp({v4(192, 0, 2, 10), 40000}, refreshed)->name, L"Firefox.EXE");
    // Only the rows within the buffer were asked for their owners: the real ones and
    // the zeroed room behind them (process id 0, no program).
    for (const auto& c : owners().calls()) {
        if (c.function == owner_function::get_owner_module_from_tcp_entry) {
            EXPECT_TRUE(c.pid == 100 || c.pid == 0);
        }
    }
}

TEST_F(owner_cache, the_two_families_are_independent)
{
    add_programs();
    owners().add_tcp_connection("2001:db8::1", 50000, "2001:db8::2", 443, 200);
    process_lookup_v4 lookup;
    process_lookup_v6 lookup6;
    owners().clear_calls();

    lookup.lookup_tcp(chrome_flow); // a miss in IPv4
    EXPECT_EQ(owners().call_count(tcp_reads, AF_INET), 1u);
    EXPECT_EQ(owners().call_count(tcp_reads, AF_INET6), 0u);
    EXPECT_EQ(lookup6.lookup_tcp({v6(1), 50000, v6(2), 443})->name, L"Firefox.EXE");
    EXPECT_EQ(owners().call_count(tcp_reads, AF_INET6), 0u);
    bool refreshed = false;
    lookup6.lookup_udp({v6(1), 1}, refreshed);
    EXPECT_EQ(owners().call_count(udp_reads, AF_INET6), 1u);
    EXPECT_EQ(owners().call_count(udp_reads, AF_INET), 0u);
}

TEST_F(owner_cache, a_returned_process_outlives_the_refresh_that_drops_it)
{
    add_programs();
    owners().add_tcp_connection("192.0.2.10", 50000, "198.51.100.7", 443, 100);
    process_lookup_v4 lookup;
    const auto owner = lookup.lookup_tcp(chrome_flow);
    owners().reset();
    lookup.lookup_tcp({v4(192, 0, 2, 10), 1, v4(198, 51, 100, 7), 1}); // refresh: table now empty
    EXPECT_EQ(owner->name, L"chrome.exe");
    EXPECT_EQ(owner.use_count(), 1);
}

// Connections appear while four threads look them up, so lookups miss together and
// refreshes that do not yet see a connection race with refreshes that do. A default
// stored for a key must never replace the owner that a later refresh found: once a
// table read has started after a connection was added, that connection's lookup gives
// its owner (from the cache, or from one more refresh), never "SYSTEM".
TEST_F(owner_cache, an_owner_found_by_a_concurrent_refresh_is_not_overwritten_by_the_default)
{
    add_programs();
    process_lookup_v4 lookup;
    constexpr int keys = 150;
    const auto key = [](int i) {
        return flow_key_v4{v4(192, 0, 2, 10), static_cast<std::uint16_t>(52000 + i), v4(198, 51, 100, 7), 443};
    };
    std::vector<std::uint64_t> added_after(keys, 0); // the last call number before each add
    std::atomic<int> next_added{0};
    std::atomic<bool> go{false};

    std::thread adder([&] {
        while (!go)
            std::this_thread::yield();
        for (int i = 0; i < keys; ++i) {
            owners().add_tcp_connection("192.0.2.10", static_cast<std::uint16_t>(52000 + i), "198.51.100.7", 443,
                                        i % 2 ? 100 : 200);
            const auto calls = owners().calls();
            added_after[i] = calls.empty() ? 0 : calls.back().number;
            next_added = i + 1;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([&] {
            while (!go)
                std::this_thread::yield();
            for (int i = 0; i < keys; ++i) {
                // Look the key up around the moment it is added.
                while (next_added < i)
                    std::this_thread::yield();
                for (int n = 0; n < 3; ++n)
                    lookup.lookup_tcp(key(i));
            }
        });
    }
    go = true;
    adder.join();
    for (auto& w : workers)
        w.join();

    std::uint64_t last_read = 0;
    for (const auto& c : owners().calls())
        if (c.function == tcp_reads)
            last_read = c.number;
    int checked = 0;
    for (int i = 0; i < keys; ++i) {
        if (last_read <= added_after[i])
            continue; // no read started after this connection appeared
        ++checked;
        const auto owner = lookup.lookup_tcp(key(i));
        EXPECT_NE(owner, lookup.system_process()) << "key " << i;
        EXPECT_EQ(owner->name, i % 2 ? L"chrome.exe" : L"Firefox.EXE");
    }
    EXPECT_GT(checked, keys / 2);
}

TEST_F(owner_cache, concurrent_lookups_and_refreshes_always_give_a_process)
{
    add_programs();
    for (std::uint16_t i = 0; i < 20; ++i) {
        owners().add_tcp_connection("192.0.2.10", static_cast<std::uint16_t>(30000 + i), "198.51.100.7", 443,
                                    i % 2 ? 100 : 200);
        owners().add_udp_socket("0.0.0.0", static_cast<std::uint16_t>(30000 + i), 300);
    }
    process_lookup_v4 lookup;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                const auto port = static_cast<std::uint16_t>(30000 + (i * 7 + t) % 40); // half unknown
                const auto tcp = lookup.lookup_tcp({v4(192, 0, 2, 10), port, v4(198, 51, 100, 7), 443});
                bool refreshed = false;
                const auto udp = lookup.lookup_udp({v4(192, 0, 2, 10), port}, refreshed);
                const bool known = port < 30020;
                if (!tcp || !udp || (known && udp->name != L"Dnscache") || (!known && udp != lookup.system_process()))
                    ++wrong;
                if (known && tcp->name != (port % 2 ? L"chrome.exe" : L"Firefox.EXE"))
                    ++wrong;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(owner_cache, keys_come_from_the_outgoing_packet)
{
    using namespace testpkt;
    guarded_record r;
    load(r.record, 0x0800, ipv4(6, tcp(50000, 443, {}), 6)); // one option word
    rimcap::frame_view f(r.record);
    const auto t = f.ipv4_transport();
    ASSERT_TRUE(t);
    EXPECT_EQ(iphelper::tcp_owner_key_v4(f, *t), chrome_flow);
    const endpoint_key_v4 udp_key{v4(192, 0, 2, 10), 50000};
    EXPECT_EQ(iphelper::udp_owner_key_v4(f, *t), udp_key);

    load(r.record, 0x86DD, ipv6(17, udp(5353, 53, {})));
    rimcap::frame_view f6(r.record);
    const rimcap::transport_header t6{17, 54, 8};
    const flow_key_v6 flow6{v6(1), 5353, v6(2), 53};
    EXPECT_EQ(iphelper::tcp_owner_key_v6(f6, t6), flow6);
    const endpoint_key_v6 endpoint6{v6(1), 5353};
    EXPECT_EQ(iphelper::udp_owner_key_v6(f6, t6), endpoint6);
}

TEST_F(owner_cache, the_library_caches_are_built_once_per_family)
{
    add_programs();
    owners().add_udp_socket("192.0.2.77", 47000, 100);
    bool refreshed = false;
    const auto owner = iphelper::lookup_udp_process(endpoint_key_v4{v4(192, 0, 2, 77), 47000}, refreshed);
    EXPECT_EQ(owner->name, L"chrome.exe");
    EXPECT_EQ(&process_lookup_v4::instance(), &process_lookup_v4::instance());
    EXPECT_NE(static_cast<void*>(&process_lookup_v4::instance()), static_cast<void*>(&process_lookup_v6::instance()));
}
} // namespace
