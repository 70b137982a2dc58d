// The service framework for real under Wine's service control manager, with a test
// service of its own name: install, start, running, stop, delete and every status
// report; and the installer and remover of the client against services of test names.
#include "program_support.h"
#include "service_installer.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

using namespace program_test;

namespace
{
std::wstring unique_service_name(const wchar_t* tag)
{
    return std::wstring(L"lorrivan-test-") + tag + L"-" + std::to_wstring(::GetCurrentProcessId());
}

class test_service_lifecycle : public ::testing::Test
{
protected:
    // Installs the test service (start on demand) with the given behaviour options.
    void install(const std::wstring& name, const std::wstring& options)
    {
        record_file = records.path() / (name + L".txt");
        install_command(name, L"service " + name + L" \"" + record_file.wstring() + L"\" " + options);
    }

    static void install_command(const std::wstring& name, const std::wstring& arguments)
    {
        const std::wstring command = L"\"" + sibling(L"client_test_service.exe").wstring() + L"\" " + arguments;
        service_handle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
        ASSERT_TRUE(manager);
        service_handle service(::CreateServiceW(manager.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                                SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                                command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
        ASSERT_TRUE(service) << ::GetLastError();
    }

    static void start(const std::wstring& name)
    {
        service_handle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        service_handle service(::OpenServiceW(manager.get(), name.c_str(), SERVICE_START));
        ASSERT_TRUE(service);
        ASSERT_TRUE(::StartServiceW(service.get(), 0, nullptr)) << ::GetLastError();
    }

    static BOOL control(const std::wstring& name, DWORD code)
    {
        service_handle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        service_handle service(::OpenServiceW(manager.get(), name.c_str(),
                                              SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_INTERROGATE));
        SERVICE_STATUS status{};
        return ::ControlService(service.get(), code, &status);
    }

    std::vector<std::string> recorded() const
    {
        std::vector<std::string> lines;
        std::istringstream stream(read_file(record_file));
        for (std::string line; std::getline(stream, line);)
            lines.push_back(line);
        return lines;
    }

    bool wait_for_record(const std::string& line, std::chrono::milliseconds timeout = std::chrono::seconds(20)) const
    {
        const auto end = std::chrono::steady_clock::now() + timeout;
        do {
            for (const auto& l : recorded())
                if (l == line)
                    return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        } while (std::chrono::steady_clock::now() < end);
        return false;
    }

    temporary_folder records{L"service-records"};
    fs::path record_file;
};

// Runs fn with standard output captured and returns what it printed.
template <typename Function>
std::string captured(Function fn, int& exit_code)
{
    ::testing::internal::CaptureStdout();
    exit_code = fn();
    return ::testing::internal::GetCapturedStdout();
}
} // namespace

TEST_F(test_service_lifecycle, start_run_stop_delete_with_status_reports)
{
    service_guard guard(unique_service_name(L"life"));
    const std::wstring& name = guard.name();
    install(name, L"start-delay=1500 stop-delay=1500");
    auto status = query_status(name);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));

    start(name);
    status = wait_for_state(name, SERVICE_START_PENDING, std::chrono::seconds(10));
    ASSERT_TRUE(status);
    ASSERT_EQ(status->dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
    // The first pending state of the process takes check point 1.
    EXPECT_EQ(status->dwCheckPoint, 1u);
    EXPECT_EQ(status->dwWaitHint, 0u);

    status = wait_for_state(name, SERVICE_RUNNING);
    ASSERT_TRUE(status);
    ASSERT_EQ(status->dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(status->dwCheckPoint, 0u);
    EXPECT_EQ(status->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(status->dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));
    EXPECT_EQ(status->dwWin32ExitCode, 0u);
    EXPECT_NE(status->dwProcessId, 0u);

    // An interrogation changes nothing.
    control(name, SERVICE_CONTROL_INTERROGATE);
    status = query_status(name);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(status->dwCheckPoint, 0u);

    // The stop control returns once the stop handler has run: it is sent from a thread
    // while this one watches the pending state.
    BOOL stop_accepted = FALSE;
    std::thread stopper([&] { stop_accepted = control(name, SERVICE_CONTROL_STOP); });
    status = wait_for_state(name, SERVICE_STOP_PENDING, std::chrono::seconds(5));
    stopper.join();
    EXPECT_TRUE(stop_accepted);
    ASSERT_TRUE(status);
    ASSERT_EQ(status->dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(status->dwCheckPoint, 2u);

    status = wait_for_state(name, SERVICE_STOPPED);
    ASSERT_TRUE(status);
    ASSERT_EQ(status->dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(status->dwWin32ExitCode, 0u);
    EXPECT_EQ(status->dwCheckPoint, 0u);

    ASSERT_TRUE(wait_for_record("dispatcher returned"));
    EXPECT_EQ(recorded(), (std::vector<std::string>{"on_start", "on_stop", "dispatcher returned"}));

    remove_service(name);
    EXPECT_FALSE(service_exists(name));
}

TEST_F(test_service_lifecycle, start_failing_with_an_error_code)
{
    service_guard guard(unique_service_name(L"code"));
    install(guard.name(), L"start-error=5");
    start(guard.name());
    const auto status = wait_for_state(guard.name(), SERVICE_STOPPED);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(status->dwWin32ExitCode, 5u);
    ASSERT_TRUE(wait_for_record("dispatcher returned"));
    EXPECT_EQ(recorded(), (std::vector<std::string>{"on_start", "event|1|0|0|Service Start failed with error code 0x00000005",
                                                    "dispatcher returned"}));
}

TEST_F(test_service_lifecycle, start_failing_with_a_message)
{
    service_guard guard(unique_service_name(L"message"));
    install(guard.name(), L"start-message");
    start(guard.name());
    const auto status = wait_for_state(guard.name(), SERVICE_STOPPED);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(status->dwWin32ExitCode, static_cast<DWORD>(ERROR_EXCEPTION_IN_SERVICE));
    ASSERT_TRUE(wait_for_record("dispatcher returned"));
    EXPECT_EQ(recorded(),
              (std::vector<std::string>{"on_start", "event|1|0|0|Service failed to start.", "dispatcher returned"}));
}

TEST_F(test_service_lifecycle, uninstall_stops_a_running_service_and_removes_its_event_log_key)
{
    service_guard guard(unique_service_name(L"remove"));
    const std::wstring& name = guard.name();
    install(name, L"stop-delay=1500");
    start(name);
    ASSERT_EQ(wait_for_state(name, SERVICE_RUNNING)->dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

    const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + name;
    HKEY created = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &created,
                                nullptr),
              ERROR_SUCCESS);
    ::RegCloseKey(created);

    int exit_code = -1;
    const std::string output = captured([&] { return uninstall_service(name.c_str()); }, exit_code);
    EXPECT_EQ(exit_code, 0);
    const std::string n = to_utf8(name);
    EXPECT_TRUE(std::regex_match(output, std::regex("Stopping " + n + "\\.\\.*\n" + n + " is stopped\\.\n" + n +
                                                    " is removed\\.\n")))
        << output;
    EXPECT_TRUE(service_removed(name));
    HKEY opened = nullptr;
    EXPECT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &opened), ERROR_FILE_NOT_FOUND);
    if (opened)
        ::RegCloseKey(opened);
}

TEST_F(test_service_lifecycle, uninstall_of_a_stopped_service_prints_no_stopping_lines)
{
    service_guard guard(unique_service_name(L"stopped"));
    install(guard.name(), L"");
    int exit_code = -1;
    const std::string output = captured([&] { return uninstall_service(guard.name().c_str()); }, exit_code);
    EXPECT_EQ(exit_code, 0);
    EXPECT_EQ(output, to_utf8(guard.name()) + " is removed.\n");
    EXPECT_FALSE(service_exists(guard.name()));
}

TEST_F(test_service_lifecycle, uninstall_wait_for_the_stop_is_bounded)
{
    service_guard guard(unique_service_name(L"slow"));
    const std::wstring& name = guard.name();
    install_command(name, L"raw-slow-stop " + name + L" 5000");
    start(name);
    ASSERT_EQ(wait_for_state(name, SERVICE_RUNNING)->dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    int exit_code = -1;
    const auto before = std::chrono::steady_clock::now();
    const std::string output =
        captured([&] { return uninstall_service(name.c_str(), std::chrono::milliseconds(1500)); }, exit_code);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(4500));
    EXPECT_EQ(exit_code, 1);
    const std::string n = to_utf8(name);
    EXPECT_TRUE(std::regex_match(output, std::regex("Stopping " + n + "\\.\\.*\n" + n + " failed to stop\\.\n" + n +
                                                    " is removed\\.\n")))
        << output;
    // The service goes once its stop has ended.
    EXPECT_TRUE(service_removed(name));
}

TEST_F(test_service_lifecycle, uninstall_of_a_missing_service_fails)
{
    int exit_code = -1;
    const std::string output =
        captured([&] { return uninstall_service(unique_service_name(L"missing").c_str()); }, exit_code);
    EXPECT_EQ(exit_code, 1);
    EXPECT_EQ(output, "OpenService failed w/err 0x00000424\n");
}

TEST_F(test_service_lifecycle, install_stores_identity_and_command_line)
{
    const std::wstring name = unique_service_name(L"install");
    service_guard guard(name);
    const std::wstring display = name + L" display";
    const std::wstring description = name + L" description.";
    const service_identity identity{name.c_str(), display.c_str(), description.c_str()};
    install_options options;
    options.start_type = 3;
    options.command_line = L"service -config \"C:\\vpn\\a.conf\" -lac";

    int exit_code = -1;
    std::string output = captured([&] { return install_service(identity, options); }, exit_code);
    EXPECT_EQ(exit_code, 0);
    EXPECT_EQ(output, to_utf8(name) + " is installed.\n");

    wchar_t self[MAX_PATH];
    const DWORD size = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    const auto config = query_config(name);
    ASSERT_TRUE(config);
    EXPECT_EQ(config->binary_path, L"\"" + std::wstring(self, size) + L"\" service -config \"C:\\vpn\\a.conf\" -lac");
    EXPECT_EQ(config->start_type, 3u);
    EXPECT_EQ(config->service_type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config->error_control, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(config->account, L"LocalSystem");
    EXPECT_EQ(config->display_name, display);
    EXPECT_EQ(config->description, description);

    // A second install of the same name is a Windows error: exit 1.
    output = captured([&] { return install_service(identity, options); }, exit_code);
    EXPECT_EQ(exit_code, 1);
    EXPECT_EQ(output, "CreateService failed with error code: 0x00000431\n");
}
