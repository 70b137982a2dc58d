// The tunnel worker against a scripted fake of the library's six family functions:
// creation, start, the fallback switching, the stop, the family choice and the log.
#include "fake_library.h"
#include "lorrivan_service.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using calls = std::vector<std::string>;

namespace
{
class tunnel_worker_test : public ::testing::Test
{
protected:
    using single = fake::family<0>;
    using dual = fake::family<1>;

    void SetUp() override
    {
        single::state().reset();
        dual::state().reset();
        single::state().handle = &handle_token;
        dual::state().handle = &handle_token;
        fake::log_collector::clear();
        running_as_service = false;
        environment.poll_interval = 1ms;
        environment.stop_wait_bound = 5s;
        environment.log = &fake::log_collector::sink;
    }

    void TearDown() override
    {
        // No worker outlives its test.
        if (foreground_mode) {
            if (foreground.joinable()) {
                if (!foreground_done) {
                    EXPECT_TRUE(service->stop_worker(10s));
                }
                foreground.join();
            }
        } else if (service && service->worker_started() && !service->worker_stopped()) {
            EXPECT_TRUE(service->stop_worker(10s));
        }
        service.reset();
        running_as_service = false;
    }

    lorrivan_service& make(std::vector<std::wstring> arguments)
    {
        argument_texts = std::move(arguments);
        argument_pointers.clear();
        argument_pointers.push_back(const_cast<wchar_t*>(L"lorrivan-client.exe"));
        for (auto& text : argument_texts)
            argument_pointers.push_back(text.data());
        service = std::make_unique<lorrivan_service>(single_table, dual_table, environment);
        service->set_command_line(static_cast<int>(argument_pointers.size()), argument_pointers.data());
        return *service;
    }

    // Service mode: the worker runs on a thread of its own.
    lorrivan_service& start_service(std::vector<std::wstring> options)
    {
        options.insert(options.begin(), L"service");
        auto& s = make(std::move(options));
        s.on_start(0, nullptr);
        return s;
    }

    // Foreground: the worker runs on a thread of the test, as on the program's main thread.
    lorrivan_service& start_foreground(std::vector<std::wstring> options)
    {
        options.insert(options.begin(), L"run");
        auto& s = make(std::move(options));
        foreground_mode = true;
        foreground_done = false;
        foreground = std::thread([this, &s] {
            s.on_start(0, nullptr);
            foreground_done = true;
        });
        return s;
    }

    static void expect_prefix(const calls& actual, const calls& expected)
    {
        ASSERT_GE(actual.size(), expected.size()) << ::testing::PrintToString(actual);
        EXPECT_EQ(calls(actual.begin(), actual.begin() + static_cast<std::ptrdiff_t>(expected.size())),
                  expected);
    }

    static std::size_t count_lines(const std::string& line)
    {
        std::size_t n = 0;
        for (const auto& l : fake::log_collector::snapshot())
            n += l == line;
        return n;
    }

    int handle_token = 0;
    tunnel_family single_table = single::table();
    tunnel_family dual_table = dual::table();
    worker_environment environment;
    std::vector<std::wstring> argument_texts;
    std::vector<wchar_t*> argument_pointers;
    std::unique_ptr<lorrivan_service> service;
    std::thread foreground;
    bool foreground_mode = false;
    std::atomic<bool> foreground_done{false};
};

const calls pass_failed_creation_primary = {"create:primary.conf", "active"};

calls repeated(const calls& pass, int times)
{
    calls result;
    for (int i = 0; i < times; ++i)
        result.insert(result.end(), pass.begin(), pass.end());
    return result;
}

calls joined(std::initializer_list<calls> parts)
{
    calls result;
    for (const auto& part : parts)
        result.insert(result.end(), part.begin(), part.end());
    return result;
}
} // namespace

TEST_F(tunnel_worker_test, foreground_gives_up_after_one_failed_creation)
{
    single::state().create_default = false;
    auto& s = start_foreground({L"-config", L"primary.conf", L"-log-level", L"debug"});
    foreground.join();
    EXPECT_EQ(s.worker_result(), worker_gave_up);
    EXPECT_EQ(single::state().snapshot(), (calls{"get_handle", "create:primary.conf"}));
    EXPECT_TRUE(dual::state().snapshot().empty());
    const auto lines = fake::log_collector::snapshot();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "Lorrivan Service has started.");
    EXPECT_EQ(lines.back(), "Failed to initialize Wireguard tunnel.");
}

TEST_F(tunnel_worker_test, foreground_gives_up_with_a_fallback_too)
{
    single::state().create_default = false;
    auto& s = start_foreground({L"-config", L"primary.conf", L"-fallback-config", L"fallback.conf"});
    foreground.join();
    EXPECT_EQ(s.worker_result(), worker_gave_up);
    EXPECT_EQ(single::state().snapshot(), (calls{"get_handle", "create:primary.conf"}));
}

TEST_F(tunnel_worker_test, null_handle_counts_as_failed_creation)
{
    single::state().handle = nullptr;
    auto& s = start_foreground({L"-config", L"primary.conf", L"-log-level", L"debug"});
    foreground.join();
    EXPECT_EQ(s.worker_result(), worker_gave_up);
    EXPECT_EQ(single::state().snapshot(), (calls{"get_handle"}));
    EXPECT_EQ(count_lines("Failed to initialize Wireguard tunnel."), 1u);
}

TEST_F(tunnel_worker_test, service_retries_failed_creation_without_polling)
{
    single::state().create_default = false;
    auto& s = start_service({L"-config", L"primary.conf", L"-log-level", L"debug"});
    ASSERT_TRUE(single::state().wait_for_count("create:primary.conf", 4));
    s.on_stop();
    const auto c = single::state().snapshot();
    EXPECT_EQ(c.front(), "get_handle");
    EXPECT_EQ(c.back(), "stop");
    for (std::size_t i = 1; i + 1 < c.size(); ++i)
        EXPECT_EQ(c[i], "create:primary.conf") << "call " << i;
    EXPECT_TRUE(s.worker_stopped());
    EXPECT_GE(count_lines("Failed to initialize Wireguard tunnel."), 4u);
    EXPECT_EQ(count_lines("Switching WireGuard configuration to primary.conf"), 0u);
}

TEST_F(tunnel_worker_test, service_with_fallback_switches_after_five_failed_creations)
{
    single::state().create_default = false;
    single::state().active_default = false;
    auto& s = start_service(
        {L"-config", L"primary.conf", L"-fallback-config", L"fallback.conf", L"-log-level", L"debug"});
    ASSERT_TRUE(single::state().wait_for_count("create:primary.conf", 6));
    s.on_stop();
    expect_prefix(single::state().snapshot(),
                  joined({{"get_handle"}, repeated(pass_failed_creation_primary, 5), {"drop"},
                          repeated({"create:fallback.conf", "active"}, 5), {"drop", "create:primary.conf"}}));
    EXPECT_EQ(count_lines("Switching WireGuard configuration to fallback.conf"), 1u);
    EXPECT_GE(count_lines("Switching WireGuard configuration to primary.conf"), 1u);
}

TEST_F(tunnel_worker_test, failed_start_takes_the_fallback_and_inactivity_brings_back_the_primary)
{
    single::state().start_default = false;
    single::state().active_default = false;
    auto& s = start_service(
        {L"-config", L"primary.conf", L"-fallback-config", L"fallback.conf", L"-log-level", L"debug"});
    ASSERT_TRUE(single::state().wait_for_count("active", 6));
    s.on_stop();
    const calls failed_start_fallback = {"create:fallback.conf", "start", "drop", "active"};
    expect_prefix(single::state().snapshot(),
                  joined({{"get_handle", "create:primary.conf", "start", "drop", "active"},
                          repeated(failed_start_fallback, 4),
                          {"drop", "create:primary.conf", "start", "drop", "active"}}));
    const auto lines = fake::log_collector::snapshot();
    // The first failed start switches to the fallback and it stays there while it fails.
    const calls expected_head = {
        "Lorrivan Service has started.",
        "WireGuard tunnel has failed to start.",
        "Switching WireGuard configuration to fallback.conf",
        "WireGuard tunnel has failed to start.",
        "Switching WireGuard configuration to fallback.conf",
    };
    auto start = std::find(lines.begin(), lines.end(), expected_head.front());
    ASSERT_NE(start, lines.end());
    ASSERT_GE(static_cast<std::size_t>(lines.end() - start), expected_head.size());
    EXPECT_EQ(calls(start, start + static_cast<std::ptrdiff_t>(expected_head.size())), expected_head);
    EXPECT_GE(count_lines("Switching WireGuard configuration to primary.conf"), 1u);
}

TEST_F(tunnel_worker_test, failed_start_without_fallback_retries_the_primary)
{
    single::state().start_default = false;
    auto& s = start_service({L"-config", L"primary.conf", L"-log-level", L"debug"});
    ASSERT_TRUE(single::state().wait_for_count("drop", 3));
    s.on_stop();
    expect_prefix(single::state().snapshot(),
                  joined({{"get_handle"}, repeated({"create:primary.conf", "start", "drop"}, 3)}));
    EXPECT_EQ(single::state().count("active"), 0u);
    EXPECT_GE(count_lines("Switching WireGuard configuration to primary.conf"), 3u);
}

TEST_F(tunnel_worker_test, five_inactive_polls_switch_to_the_other_configuration)
{
    single::state().active_results = {false, false, false, false, false};
    auto& s = start_service({L"-config", L"primary.conf", L"-fallback-config", L"fallback.conf"});
    ASSERT_TRUE(single::state().wait_for_count("active", 8));
    s.on_stop();
    const auto c = single::state().snapshot();
    expect_prefix(c, {"get_handle", "create:primary.conf", "start", "active", "active", "active", "active",
                      "active", "drop", "create:fallback.conf", "start", "active", "active", "active"});
    // Active polls after the switch keep the fallback: one drop only.
    EXPECT_EQ(single::state().count("drop"), 1u);
    EXPECT_EQ(c.back(), "stop");
}

TEST_F(tunnel_worker_test, active_polls_do_not_reset_the_inactive_count)
{
    single::state().active_results = {false, true, false, true, false, true, false, true, false};
    auto& s = start_service(
        {L"-config", L"primary.conf", L"-fallback-config", L"fallback.conf", L"-log-level", L"debug"});
    ASSERT_TRUE(single::state().wait_for_count("active", 12));
    s.on_stop();
    calls expected = {"get_handle", "create:primary.conf", "start"};
    expected.insert(expected.end(), 9, "active");
    expected.insert(expected.end(), {"drop", "create:fallback.conf", "start", "active"});
    expect_prefix(single::state().snapshot(), expected);
    EXPECT_EQ(single::state().count("drop"), 1u);
    EXPECT_EQ(count_lines("Switching WireGuard configuration to fallback.conf"), 1u);
}

TEST_F(tunnel_worker_test, inactivity_on_the_fallback_switches_back_to_the_primary)
{
    single::state().active_results = {false, false, false, false, false, false, false, false, false, false};
    auto& s = start_service({L"-config", L"primary.conf", L"-fallback-config", L"fallback.conf"});
    ASSERT_TRUE(single::state().wait_for_count("create:primary.conf", 2));
    ASSERT_TRUE(single::state().wait_for_count("start", 3));
    s.on_stop();
    calls expected = {"get_handle", "create:primary.conf", "start"};
    expected.insert(expected.end(), 5, "active");
    expected.insert(expected.end(), {"drop", "create:fallback.conf", "start"});
    expected.insert(expected.end(), 5, "active");
    expected.insert(expected.end(), {"drop", "create:primary.conf", "start"});
    expect_prefix(single::state().snapshot(), expected);
}

TEST_F(tunnel_worker_test, without_fallback_a_started_tunnel_is_never_polled_or_recreated)
{
    auto& s = start_service({L"-config", L"primary.conf"});
    ASSERT_TRUE(single::state().wait_for_count("start", 1));
    std::this_thread::sleep_for(100ms); // many passes at the test's poll interval
    s.on_stop();
    EXPECT_EQ(single::state().snapshot(), (calls{"get_handle", "create:primary.conf", "start", "stop"}));
}

TEST_F(tunnel_worker_test, stop_while_running_stops_without_dropping)
{
    auto& s = start_service(
        {L"-config", L"primary.conf", L"-fallback-config", L"fallback.conf", L"-log-level", L"debug"});
    ASSERT_TRUE(single::state().wait_for_count("active", 3));
    EXPECT_FALSE(s.worker_stopped());
    s.on_stop();
    EXPECT_TRUE(s.worker_stopped());
    const auto c = single::state().snapshot();
    EXPECT_EQ(c.back(), "stop");
    EXPECT_EQ(single::state().count("stop"), 1u);
    EXPECT_EQ(single::state().count("drop"), 0u);
    const auto lines = fake::log_collector::snapshot();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 3], "Lorrivan WireGuard VPN Client Service is stopping");
    EXPECT_EQ(lines[lines.size() - 2], "Stopping Wireguard tunnel...");
    EXPECT_EQ(lines.back(), "Wireguard tunnel has been stopped.");
}

TEST_F(tunnel_worker_test, a_failed_stop_call_is_not_reported_as_stopped)
{
    single::state().stop_result = false;
    auto& s = start_service({L"-config", L"primary.conf", L"-log-level", L"debug"});
    ASSERT_TRUE(single::state().wait_for_count("start", 1));
    s.on_stop();
    EXPECT_TRUE(s.worker_stopped());
    EXPECT_EQ(fake::log_collector::snapshot().back(), "Stopping Wireguard tunnel...");
    EXPECT_EQ(count_lines("Wireguard tunnel has been stopped."), 0u);
}

TEST_F(tunnel_worker_test, lac_drives_the_dual_family)
{
    auto& s = start_service({L"-config", L"primary.conf", L"-lac"});
    ASSERT_TRUE(dual::state().wait_for_count("start", 1));
    s.on_stop();
    EXPECT_EQ(dual::state().snapshot(), (calls{"get_handle", "create:primary.conf", "start", "stop"}));
    EXPECT_TRUE(single::state().snapshot().empty());
}

TEST_F(tunnel_worker_test, handle_gets_the_log_sink_level_and_capture_flag)
{
    struct row {
        const wchar_t* level;
        std::uint32_t expected_level;
        bool capture;
        bool client_lines;
    };
    for (const row r : {row{L"error", 0, false, false}, row{L"info", 1, false, false},
                        row{L"debug", 2, false, true}, row{L"all", 3, true, true}, row{L"ALL", 3, true, true},
                        row{L"none", 0, false, false}}) {
        SCOPED_TRACE(to_utf8(r.level));
        SetUp();
        single::state().create_default = false;
        auto& s = start_foreground({L"-config", L"primary.conf", L"-log-level", r.level});
        foreground.join();
        EXPECT_EQ(s.worker_result(), worker_gave_up);
        EXPECT_EQ(single::state().level, r.expected_level);
        EXPECT_EQ(single::state().capture, r.capture);
        EXPECT_EQ(single::state().callback, &fake::log_collector::sink);
        EXPECT_EQ(!fake::log_collector::snapshot().empty(), r.client_lines);
    }
}

TEST_F(tunnel_worker_test, service_start_messages)
{
    auto& s = start_service(
        {L"-config", L"primary.conf", L"-fallback-config", L"fallback.conf", L"-log-level", L"debug"});
    // The first poll follows the started line.
    ASSERT_TRUE(single::state().wait_for_count("active", 1));
    s.on_stop();
    const auto lines = fake::log_collector::snapshot();
    const calls expected = {
        "Lorrivan WireGuard VPN Client Service 1.2.24\nThe service is starting using primary.conf "
        "WireGuard client configuration.\n",
        "Fallback configuration: fallback.conf",
        "Lorrivan WireGuard VPN Client will run as a service.",
        "Lorrivan Service has started.",
        "Wireguard tunnel has been started.",
    };
    ASSERT_GE(lines.size(), expected.size());
    EXPECT_EQ(calls(lines.begin(), lines.begin() + 5), expected);
    EXPECT_TRUE(running_as_service);
}

TEST_F(tunnel_worker_test, foreground_console_stop_stops_the_tunnel)
{
    auto& s = start_foreground({L"-config", L"primary.conf", L"-log-level", L"debug"});
    ASSERT_TRUE(single::state().wait_for_count("start", 1));
    EXPECT_TRUE(s.stop_worker(5s));
    foreground.join();
    EXPECT_EQ(s.worker_result(), 0u);
    EXPECT_EQ(single::state().snapshot(), (calls{"get_handle", "create:primary.conf", "start", "stop"}));
    EXPECT_FALSE(running_as_service);
}

TEST_F(tunnel_worker_test, console_stop_ends_a_foreground_run)
{
    EXPECT_FALSE(console_stop_handler(CTRL_C_EVENT)) << "no foreground run";
    auto& s = start_foreground({L"-config", L"primary.conf", L"-log-level", L"debug"});
    ASSERT_TRUE(single::state().wait_for_count("start", 1));
    // Other console events are left to the default handling.
    EXPECT_FALSE(console_stop_handler(CTRL_LOGOFF_EVENT));
    EXPECT_FALSE(console_stop_handler(CTRL_SHUTDOWN_EVENT));
    EXPECT_FALSE(s.worker_stopped());
    EXPECT_TRUE(console_stop_handler(CTRL_C_EVENT));
    EXPECT_TRUE(s.worker_stopped());
    foreground.join();
    EXPECT_EQ(s.worker_result(), 0u);
    EXPECT_EQ(single::state().snapshot(), (calls{"get_handle", "create:primary.conf", "start", "stop"}));
    EXPECT_EQ(fake::log_collector::snapshot().back(), "Wireguard tunnel has been stopped.");
    EXPECT_FALSE(console_stop_handler(CTRL_BREAK_EVENT)) << "the run has ended";
}

TEST_F(tunnel_worker_test, console_stop_wait_is_bounded)
{
    environment.stop_wait_bound = 200ms;
    single::state().stop_delay = 1500ms;
    auto& s = start_foreground({L"-config", L"primary.conf"});
    ASSERT_TRUE(single::state().wait_for_count("start", 1));
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(console_stop_handler(CTRL_CLOSE_EVENT));
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1200ms);
    foreground.join();
    EXPECT_EQ(s.worker_result(), 0u);
    EXPECT_TRUE(s.worker_stopped());
}

namespace
{
// A console stop at the first start message, before the worker runs.
BOOL stop_at_start_answer = FALSE;
void stop_at_start(const char* text)
{
    fake::log_collector::sink(text);
    if (std::string(text).rfind("Lorrivan WireGuard VPN Client Service ", 0) == 0)
        stop_at_start_answer = console_stop_handler(CTRL_C_EVENT);
}
} // namespace

TEST_F(tunnel_worker_test, console_stop_before_the_worker_runs_stops_it_at_its_first_pass)
{
    stop_at_start_answer = FALSE;
    environment.log = &stop_at_start;
    auto& s = start_foreground({L"-config", L"primary.conf", L"-log-level", L"debug"});
    ASSERT_TRUE(single::state().wait_for_count("stop", 1, 5s)) << "the stop was swallowed";
    foreground.join();
    EXPECT_TRUE(stop_at_start_answer);
    EXPECT_EQ(s.worker_result(), 0u);
    EXPECT_EQ(single::state().snapshot(), (calls{"get_handle", "stop"}));
    EXPECT_EQ(fake::log_collector::snapshot().back(), "Wireguard tunnel has been stopped.");
}

// Ctrl+C while a creation that then fails is under way: the worker that would give up
// stops instead, at once, and the run ends with 0.
TEST_F(tunnel_worker_test, console_stop_during_a_failing_creation_ends_the_run_at_once)
{
    single::state().create_default = false;
    single::state().create_delay = 1s; // the stop has to come while the creation is under way
    auto& s = start_foreground({L"-config", L"primary.conf", L"-log-level", L"debug"});
    ASSERT_TRUE(single::state().wait_for_count("create:primary.conf", 1));
    const auto before = std::chrono::steady_clock::now();
    EXPECT_TRUE(console_stop_handler(CTRL_C_EVENT));
    EXPECT_LT(std::chrono::steady_clock::now() - before, 4s) << "the wait bound is 5 s";
    foreground.join();
    EXPECT_EQ(s.worker_result(), 0u);
    EXPECT_EQ(single::state().snapshot(), (calls{"get_handle", "create:primary.conf", "stop"}));
    EXPECT_TRUE(s.worker_stopped());
}

namespace
{
DWORD thread_error;
HANDLE failing_thread(LPTHREAD_START_ROUTINE, void*)
{
    ::SetLastError(thread_error);
    return nullptr;
}
} // namespace

TEST_F(tunnel_worker_test, a_worker_thread_that_cannot_be_created_fails_the_start)
{
    environment.create_thread = &failing_thread;
    for (const auto& [error, reported] : {std::pair<DWORD, DWORD>{ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
                                         std::pair<DWORD, DWORD>{NO_ERROR, ERROR_SERVICE_NO_THREAD}}) {
        fake::log_collector::clear();
        thread_error = error;
        auto& s = make({L"service", L"-config", L"primary.conf", L"-log-level", L"debug"});
        s.service_start(0, nullptr);
        EXPECT_EQ(s.current_status().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
        EXPECT_EQ(s.current_status().dwWin32ExitCode, reported);
        EXPECT_FALSE(s.worker_started());
        EXPECT_EQ(fake::log_collector::snapshot().back(),
                  "Lorrivan WireGuard VPN Client couldn't create worker thread.");
        EXPECT_TRUE(single::state().snapshot().empty());
    }
}

TEST_F(tunnel_worker_test, shutdown_stops_the_tunnel)
{
    auto& s = start_service({L"-config", L"primary.conf"});
    ASSERT_TRUE(single::state().wait_for_count("start", 1));
    s.service_shutdown();
    EXPECT_TRUE(s.worker_stopped());
    EXPECT_EQ(s.current_status().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(single::state().snapshot().back(), "stop");
    EXPECT_EQ(single::state().count("drop"), 0u);
}

TEST_F(tunnel_worker_test, shutdown_wait_is_bounded)
{
    environment.stop_wait_bound = 200ms;
    single::state().stop_delay = 2s;
    auto& s = start_service({L"-config", L"primary.conf"});
    ASSERT_TRUE(single::state().wait_for_count("start", 1));
    const auto before = std::chrono::steady_clock::now();
    s.service_shutdown();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1500ms);
    EXPECT_EQ(s.current_status().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_FALSE(s.worker_stopped());
    // The worker still finishes its stop.
    ASSERT_TRUE(single::state().wait_for_count("stop", 1));
    for (int i = 0; i < 100 && !s.worker_stopped(); ++i)
        std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(s.worker_stopped());
}

TEST_F(tunnel_worker_test, stop_waits_for_the_worker_to_stop_the_tunnel)
{
    single::state().stop_delay = 300ms;
    auto& s = start_service({L"-config", L"primary.conf"});
    ASSERT_TRUE(single::state().wait_for_count("start", 1));
    s.service_stop();
    EXPECT_TRUE(s.worker_stopped());
    EXPECT_EQ(single::state().snapshot().back(), "stop");
    EXPECT_EQ(s.current_status().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(s.current_status().dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
}
