// The service framework's request handlers, in process: pending and final states, check
// points, the fallback states and the event-log entries of each failure.
#include "service_base.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace
{
enum class outcome { succeed, throw_code, throw_message };

struct event_entry {
    std::wstring message;
    WORD type;
    DWORD id;
    WORD category;
    bool operator==(const event_entry&) const = default;
};

class recording_service : public CServiceBase
{
public:
    recording_service() : CServiceBase(L"lorrivan-framework-test") {}

    outcome behaviour = outcome::succeed;
    DWORD error_code = 5;
    std::vector<std::string> operations;
    std::vector<event_entry> events;
    SERVICE_STATUS seen_during_operation{};

    void force_state(DWORD state) { status.dwCurrentState = state; }

protected:
    void run(const char* name)
    {
        operations.emplace_back(name);
        seen_during_operation = status;
        if (behaviour == outcome::throw_code)
            throw error_code;
        if (behaviour == outcome::throw_message)
            throw std::runtime_error("failed");
    }
    void on_start(DWORD, LPWSTR*) override { run("start"); }
    void on_stop() override { run("stop"); }
    void on_pause() override { run("pause"); }
    void on_continue() override { run("continue"); }
    void on_shutdown() override { run("shutdown"); }
    void write_event_log_entry(const wchar_t* message, WORD type, DWORD id, WORD category) override
    {
        events.push_back({message, type, id, category});
    }
};

class service_framework_test : public ::testing::Test
{
protected:
    void SetUp() override { service_instance = &service; }
    void TearDown() override { service_instance = nullptr; }
    recording_service service;
};

struct handler_row {
    const char* name;
    DWORD control;
    DWORD state_before;
    outcome behaviour;
    DWORD pending;       // 0: none
    DWORD final_state;
    DWORD exit_code;
    const wchar_t* event; // null: none
    bool final_check_point; // the final state carries a check point
};
} // namespace

TEST_F(service_framework_test, initial_status)
{
    const SERVICE_STATUS& s = service.current_status();
    EXPECT_EQ(s.dwServiceType, 16u);
    EXPECT_EQ(s.dwCurrentState, 2u);
    EXPECT_EQ(s.dwControlsAccepted, 5u);
    EXPECT_EQ(s.dwWin32ExitCode, 0u);
    EXPECT_EQ(s.dwServiceSpecificExitCode, 0u);
    EXPECT_EQ(s.dwCheckPoint, 0u);
    EXPECT_EQ(s.dwWaitHint, 0u);
    EXPECT_STREQ(service.name(), L"lorrivan-framework-test");
}

TEST_F(service_framework_test, handlers_table)
{
    constexpr DWORD running = SERVICE_RUNNING, stopped = SERVICE_STOPPED, paused = SERVICE_PAUSED;
    const std::vector<handler_row> rows = {
        {"stop", SERVICE_CONTROL_STOP, running, outcome::succeed, SERVICE_STOP_PENDING, stopped, 0, nullptr, false},
        {"stop", SERVICE_CONTROL_STOP, running, outcome::throw_code, SERVICE_STOP_PENDING, running, 0,
         L"Service Stop failed with error code 0x00000005", false},
        {"stop", SERVICE_CONTROL_STOP, running, outcome::throw_message, SERVICE_STOP_PENDING, running, 0,
         L"Service failed to stop.", false},
        {"pause", SERVICE_CONTROL_PAUSE, running, outcome::succeed, SERVICE_PAUSE_PENDING, paused, 0, nullptr, true},
        {"pause", SERVICE_CONTROL_PAUSE, running, outcome::throw_code, SERVICE_PAUSE_PENDING, running, 0,
         L"Service Pause failed with error code 0x00000005", false},
        {"pause", SERVICE_CONTROL_PAUSE, running, outcome::throw_message, SERVICE_PAUSE_PENDING, running, 0,
         L"Service failed to pause.", false},
        {"continue", SERVICE_CONTROL_CONTINUE, paused, outcome::succeed, SERVICE_CONTINUE_PENDING, running, 0,
         nullptr, false},
        {"continue", SERVICE_CONTROL_CONTINUE, paused, outcome::throw_code, SERVICE_CONTINUE_PENDING, paused, 0,
         L"Service Continue failed with error code 0x00000005", true},
        {"continue", SERVICE_CONTROL_CONTINUE, paused, outcome::throw_message, SERVICE_CONTINUE_PENDING, paused, 0,
         L"Service failed to resume.", true},
        {"shutdown", SERVICE_CONTROL_SHUTDOWN, running, outcome::succeed, 0, stopped, 0, nullptr, false},
        {"shutdown", SERVICE_CONTROL_SHUTDOWN, running, outcome::throw_code, 0, running, 0,
         L"Service Shutdown failed with error code 0x00000005", false},
        {"shutdown", SERVICE_CONTROL_SHUTDOWN, running, outcome::throw_message, 0, running, 0,
         L"Service failed to shut down.", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.name) + " " + std::to_string(static_cast<int>(row.behaviour)));
        recording_service fresh;
        service_instance = &fresh;
        fresh.force_state(row.state_before);
        fresh.behaviour = row.behaviour;
        CServiceBase::service_ctrl_handler(row.control);
        EXPECT_EQ(fresh.operations, std::vector<std::string>{row.name});
        if (row.pending) {
            EXPECT_EQ(fresh.seen_during_operation.dwCurrentState, row.pending);
            EXPECT_NE(fresh.seen_during_operation.dwCheckPoint, 0u);
        } else {
            EXPECT_EQ(fresh.seen_during_operation.dwCurrentState, row.state_before);
        }
        const SERVICE_STATUS& s = fresh.current_status();
        EXPECT_EQ(s.dwCurrentState, row.final_state);
        EXPECT_EQ(s.dwWin32ExitCode, row.exit_code);
        EXPECT_EQ(s.dwWaitHint, 0u);
        if (row.final_check_point) {
            EXPECT_GT(s.dwCheckPoint, fresh.seen_during_operation.dwCheckPoint);
        } else if (row.pending) {
            EXPECT_EQ(s.dwCheckPoint, 0u);
        }
        if (row.event)
            EXPECT_EQ(fresh.events, (std::vector<event_entry>{{row.event, EVENTLOG_ERROR_TYPE, 0, 0}}));
        else
            EXPECT_TRUE(fresh.events.empty());
    }
}

TEST_F(service_framework_test, start_succeeds_into_running)
{
    service.service_start(0, nullptr);
    EXPECT_EQ(service.operations, std::vector<std::string>{"start"});
    EXPECT_EQ(service.seen_during_operation.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
    EXPECT_NE(service.seen_during_operation.dwCheckPoint, 0u);
    EXPECT_EQ(service.current_status().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(service.current_status().dwCheckPoint, 0u);
    EXPECT_EQ(service.current_status().dwWin32ExitCode, 0u);
    EXPECT_TRUE(service.events.empty());
}

TEST_F(service_framework_test, start_failing_with_an_error_code_reports_it)
{
    service.behaviour = outcome::throw_code;
    service.service_start(0, nullptr);
    EXPECT_EQ(service.current_status().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(service.current_status().dwWin32ExitCode, 5u);
    EXPECT_EQ(service.events, (std::vector<event_entry>{
                                  {L"Service Start failed with error code 0x00000005", EVENTLOG_ERROR_TYPE, 0, 0}}));
}

TEST_F(service_framework_test, start_failing_with_a_message_reports_a_non_zero_exit_code)
{
    service.behaviour = outcome::throw_message;
    service.service_start(0, nullptr);
    EXPECT_EQ(service.current_status().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(service.current_status().dwWin32ExitCode, static_cast<DWORD>(ERROR_EXCEPTION_IN_SERVICE));
    EXPECT_EQ(service.events,
              (std::vector<event_entry>{{L"Service failed to start.", EVENTLOG_ERROR_TYPE, 0, 0}}));
}

TEST_F(service_framework_test, pending_states_take_consecutive_check_points)
{
    service.service_start(0, nullptr);
    const DWORD first = service.seen_during_operation.dwCheckPoint;
    service.service_stop();
    EXPECT_EQ(service.seen_during_operation.dwCheckPoint, first + 1);
    recording_service other;
    other.service_start(0, nullptr);
    EXPECT_EQ(other.seen_during_operation.dwCheckPoint, first + 2);
}

TEST_F(service_framework_test, interrogate_and_unknown_controls_change_nothing)
{
    service.service_start(0, nullptr);
    const SERVICE_STATUS before = service.current_status();
    for (DWORD control : {DWORD(SERVICE_CONTROL_INTERROGATE), DWORD(SERVICE_CONTROL_PARAMCHANGE), DWORD(128)})
        CServiceBase::service_ctrl_handler(control);
    EXPECT_EQ(std::memcmp(&before, &service.current_status(), sizeof before), 0);
    EXPECT_EQ(service.operations, std::vector<std::string>{"start"});
}

TEST_F(service_framework_test, base_operations_do_nothing)
{
    CServiceBase base(L"lorrivan-framework-base-test");
    service_instance = &base;
    base.service_start(0, nullptr);
    EXPECT_EQ(base.current_status().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    CServiceBase::service_ctrl_handler(SERVICE_CONTROL_PAUSE);
    EXPECT_EQ(base.current_status().dwCurrentState, static_cast<DWORD>(SERVICE_PAUSED));
    CServiceBase::service_ctrl_handler(SERVICE_CONTROL_CONTINUE);
    EXPECT_EQ(base.current_status().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    CServiceBase::service_ctrl_handler(SERVICE_CONTROL_STOP);
    EXPECT_EQ(base.current_status().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(service_framework_test, service_main_without_dispatcher_does_not_start)
{
    CServiceBase::service_main(0, nullptr);
    EXPECT_TRUE(service.operations.empty());
    ASSERT_EQ(service.events.size(), 1u);
    EXPECT_EQ(service.events[0].message.rfind(L"RegisterServiceCtrlHandler failed with error code 0x", 0), 0u);
    EXPECT_EQ(service.events[0].type, EVENTLOG_ERROR_TYPE);
}

TEST(service_event_text_test, error_entry_text)
{
    EXPECT_EQ(error_entry_text(L"Service Start", 5), L"Service Start failed with error code 0x00000005");
    EXPECT_EQ(error_entry_text(L"Service Stop", 0xC0000005u), L"Service Stop failed with error code 0xc0000005");
    const std::wstring long_name(300, L'n');
    const std::wstring text = error_entry_text(long_name.c_str(), 1);
    EXPECT_EQ(text.size(), 259u);
    EXPECT_EQ(text, long_name.substr(0, 259));
}

TEST(service_event_text_test, message_lines)
{
    using lines = std::vector<std::wstring>;
    EXPECT_EQ(split_event_lines(L"one line"), lines{L"one line"});
    EXPECT_EQ(split_event_lines(L"first\nsecond"), (lines{L"first", L"second"}));
    EXPECT_EQ(split_event_lines(L"first\n\nthird"), (lines{L"first", L"", L"third"}));
    EXPECT_EQ(split_event_lines(L"ends\n"), lines{L"ends"});
    EXPECT_TRUE(split_event_lines(L"").empty());
}

TEST(service_event_text_test, real_event_log_write_fails_silently_or_succeeds)
{
    // Wine's event log stores nothing; the write must simply come back.
    struct writer : CServiceBase {
        writer() : CServiceBase(L"lorrivan-event-test") {}
        void write(const wchar_t* text) { write_event_log_entry(text, EVENTLOG_ERROR_TYPE, 0, 0); }
        void write_error(DWORD code) { write_error_log_entry(L"Test", code); }
    } w;
    w.write(L"first\nsecond");
    w.write_error(5);
    SUCCEED();
}
