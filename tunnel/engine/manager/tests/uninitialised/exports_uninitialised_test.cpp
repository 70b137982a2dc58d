// The exported functions before their family's first get_handle, in a program of its
// own (a family, once initialised, stays so for the life of the process). The tests
// run in the order written: first neither family is initialised, then only the tdlp_
// family, then both.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tundrel.h"
#include "wg_dual_tunnel.h"
#include "wg_tunnel.h"
#include "wireguard_manager.h"

namespace
{
using tdl_manager = wireguard::wireguard_manager<wireguard::wg_tunnel>;
using tdlp_manager = wireguard::wireguard_manager<wireguard::wg_dual_tunnel>;

std::mutex lines_mutex;
std::vector<std::string> lines;

void record_line(const char* line)
{
    std::lock_guard lock(lines_mutex);
    lines.emplace_back(line);
}

std::size_t line_count()
{
    std::lock_guard lock(lines_mutex);
    return lines.size();
}

bool is_zero(const tunnel_state& s)
{
    const std::array<std::uint8_t, sizeof(tunnel_state)> zero{};
    return std::memcmp(&s, zero.data(), sizeof(s)) == 0;
}

const wg_interface_params interface_params{"k-private", "10.8.0.2/24", nullptr};
const wg_peer_params peer_params{"k-public", nullptr, "0.0.0.0/0", "127.0.0.1:51820", 0};

// Every function of the tdl_ family but get_handle answers its failure value.
void expect_tdl_fails(void* h)
{
    tdl_set_log_level(h, 3);
    EXPECT_FALSE(tdl_create_tunnel(h, &interface_params, &peer_params, nullptr));
    EXPECT_FALSE(tdl_create_tunnel_from_file(h, "C:\\no\\such\\file.conf"));
    EXPECT_FALSE(tdl_create_tunnel_from_file_w(h, L"C:\\no\\such\\file.conf"));
    EXPECT_FALSE(tdl_drop_tunnel(h));
    EXPECT_FALSE(tdl_start_tunnel(h));
    EXPECT_FALSE(tdl_stop_tunnel(h));
    EXPECT_TRUE(is_zero(tdl_get_tunnel_state(h)));
    EXPECT_FALSE(tdl_get_tunnel_active(h));
}

void expect_tdlp_fails(void* h)
{
    tdlp_set_log_level(h, 3);
    EXPECT_FALSE(tdlp_create_tunnel(h, &interface_params, &peer_params, nullptr));
    EXPECT_FALSE(tdlp_create_tunnel_from_file(h, "C:\\no\\such\\file.conf"));
    EXPECT_FALSE(tdlp_create_tunnel_from_file_w(h, L"C:\\no\\such\\file.conf"));
    EXPECT_FALSE(tdlp_drop_tunnel(h));
    EXPECT_FALSE(tdlp_start_tunnel(h));
    EXPECT_FALSE(tdlp_stop_tunnel(h));
    EXPECT_TRUE(is_zero(tdlp_get_tunnel_state(h)));
    EXPECT_FALSE(tdlp_get_tunnel_active(h));
}

TEST(uninitialised_families, answer_every_call_with_the_failure_value)
{
    ASSERT_FALSE(tdl_manager::family_initialised());
    ASSERT_FALSE(tdlp_manager::family_initialised());
    int local = 0;
    for (void* h : {static_cast<void*>(nullptr), static_cast<void*>(&local),
                    reinterpret_cast<void*>(std::uintptr_t{1})}) {
        expect_tdl_fails(h);
        expect_tdlp_fails(h);
    }
    EXPECT_FALSE(tdl_manager::family_initialised());
    EXPECT_FALSE(tdlp_manager::family_initialised());
}

TEST(uninitialised_families, one_familys_handle_does_not_initialise_the_other)
{
    void* const dual = tdlp_get_handle(&record_line, 3, false);
    ASSERT_NE(dual, nullptr);
    EXPECT_TRUE(tdlp_manager::family_initialised());
    EXPECT_FALSE(tdl_manager::family_initialised());
    expect_tdl_fails(dual);
    expect_tdl_fails(nullptr);
    EXPECT_EQ(line_count(), 0u) << "the uninitialised family writes nothing, not even through the other's callback";

    // The initialised family answers a null handle the same way, without a line.
    expect_tdlp_fails(nullptr);
    EXPECT_EQ(line_count(), 0u);
}

TEST(uninitialised_families, concurrent_first_calls_build_one_manager)
{
    ASSERT_FALSE(tdl_manager::family_initialised());
    constexpr int callers = 8;
    std::atomic<int> ready{0};
    std::array<void*, callers> handles{};
    std::vector<std::thread> threads;
    for (int i = 0; i < callers; ++i)
        threads.emplace_back([&, i] {
            ++ready;
            while (ready.load() < callers)
                std::this_thread::yield();
            handles[static_cast<std::size_t>(i)] = tdl_get_handle(&record_line, 3, false);
        });
    for (auto& t : threads)
        t.join();
    ASSERT_NE(handles[0], nullptr);
    for (void* h : handles)
        EXPECT_EQ(h, handles[0]);
    EXPECT_TRUE(tdl_manager::family_initialised());
}

TEST(uninitialised_families, the_first_get_handle_initialises_the_family)
{
    void* const single = tdl_get_handle(&record_line, 3, false);
    ASSERT_NE(single, nullptr);
    EXPECT_TRUE(tdl_manager::family_initialised());
    EXPECT_EQ(tdl_get_handle(nullptr, 0, true), single);
    EXPECT_FALSE(tdl_drop_tunnel(single));
    EXPECT_EQ(line_count(), 1u);
    EXPECT_NE(single, tdlp_get_handle(nullptr, 0, false));
}
} // namespace
