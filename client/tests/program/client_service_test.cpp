// The real client as the Windows service "lorrivan-client-service": install with and
// without options (the stored command line read back), refusals of Windows errors, the
// service run against the tunnel library with its log file, the second instance while
// it runs, the stop and the removal. The only test that installs this name.
#include "program_support.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

using namespace program_test;

namespace
{
const std::wstring client_service_name = L"lorrivan-client-service";

run_result client(const std::wstring& arguments)
{
    return run_program(client_program(), arguments);
}

// The log file's lines without their timestamps; the tunnel library's tagged lines left out.
std::vector<std::string> log_lines(const std::string& content)
{
    static const std::regex stamped(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} (.*))");
    std::vector<std::string> lines;
    std::istringstream stream(content);
    for (std::string line; std::getline(stream, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::smatch match;
        if (std::regex_match(line, match, stamped))
            line = match[1].str();
        if (!line.empty() && line[0] == '[')
            continue;
        lines.push_back(line);
    }
    return lines;
}

bool wait_for_log_line(const fs::path& log, const std::string& line, std::chrono::seconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    do {
        for (const auto& l : log_lines(read_file(log)))
            if (l == line)
                return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (std::chrono::steady_clock::now() < end);
    return false;
}
} // namespace

TEST(client_service_test, install_run_stop_uninstall)
{
    service_guard guard(client_service_name);
    temporary_folder configs(L"client-service");
    const fs::path primary = configs.path() / L"primary.conf";
    const fs::path fallback = configs.path() / L"fallback.conf";
    std::ofstream(primary) << "[Interface]\n";
    std::ofstream(fallback) << "[Interface]\n";
    const std::wstring program = L"\"" + client_program().wstring() + L"\"";

    // Without options: "service", LocalSystem, started automatically.
    run_result result = client(L"install");
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(result.output, text_mode("lorrivan-client-service is installed.\n"));
    auto config = query_config(client_service_name);
    ASSERT_TRUE(config);
    EXPECT_EQ(config->binary_path, program + L" service");
    EXPECT_EQ(config->start_type, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config->service_type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config->error_control, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(config->account, L"LocalSystem");
    EXPECT_EQ(config->display_name, L"Lorrivan WireGuard VPN Client Service");
    EXPECT_EQ(config->description, L"Lorrivan WireGuard VPN Client Service for Windows.");
    EXPECT_EQ(config->dependencies, L"");

    // A Windows error is a failure.
    result = client(L"install -start-type 3");
    EXPECT_EQ(result.exit_code, 1u);
    EXPECT_EQ(result.output, text_mode("CreateService failed with error code: 0x00000431\n"));

    result = client(L"uninstall");
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(result.output, text_mode("lorrivan-client-service is removed.\n"));
    EXPECT_FALSE(service_exists(client_service_name));
    result = client(L"UNINSTALL");
    EXPECT_EQ(result.exit_code, 1u);
    EXPECT_EQ(result.output, text_mode("OpenService failed w/err 0x00000424\n"));

    // Options before -config are not kept.
    result = client(L"install -log-level debug -lac -config \"" + primary.wstring() + L"\"");
    EXPECT_EQ(result.exit_code, 0u);
    config = query_config(client_service_name);
    ASSERT_TRUE(config);
    EXPECT_EQ(config->binary_path, program + L" service -config \"" + primary.wstring() + L"\"");
    EXPECT_EQ(client(L"uninstall").exit_code, 0u);

    // The options in the order of the usage text, started on demand.
    result = client(L"install -start-type 3 -config \"" + primary.wstring() + L"\" -fallback-config \"" +
                    fallback.wstring() + L"\" -log-level debug -lac");
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(result.output, text_mode("lorrivan-client-service is installed.\n"));
    config = query_config(client_service_name);
    ASSERT_TRUE(config);
    EXPECT_EQ(config->binary_path, program + L" service -config \"" + primary.wstring() + L"\" -fallback-config \"" +
                                       fallback.wstring() + L"\" -log-level \"debug\" -lac");
    EXPECT_EQ(config->start_type, static_cast<DWORD>(SERVICE_DEMAND_START));

    // The service runs against the tunnel library; an earlier log is emptied.
    service_log_folder logs;
    const fs::path log = service_log_folder::log_file();
    std::ofstream(log, std::ios::binary) << "an old line of an earlier run\r\n";
    {
        service_handle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        service_handle service(::OpenServiceW(manager.get(), client_service_name.c_str(), SERVICE_START));
        ASSERT_TRUE(service);
        ASSERT_TRUE(::StartServiceW(service.get(), 0, nullptr)) << ::GetLastError();
    }
    auto status = wait_for_state(client_service_name, SERVICE_RUNNING);
    ASSERT_TRUE(status);
    ASSERT_EQ(status->dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(status->dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));

    // The tunnel cannot be created from these files: the service keeps trying, and the
    // fifth failed pass switches to the fallback.
    const std::string switched = "Switching WireGuard configuration to " + to_utf8(fallback.wstring());
    EXPECT_TRUE(wait_for_log_line(log, switched, std::chrono::seconds(20))) << read_file(log);

    // While it runs, every command ends as a second instance.
    for (const wchar_t* arguments : {L"run -config a.conf", L"uninstall"}) {
        result = client(arguments);
        EXPECT_EQ(result.exit_code, 0u);
        EXPECT_EQ(result.output, text_mode("Lorrivan WireGuard VPN Client is running already. Exit the second instance\r\n"));
    }
    EXPECT_TRUE(service_exists(client_service_name));

    {
        service_handle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        service_handle service(::OpenServiceW(manager.get(), client_service_name.c_str(), SERVICE_STOP));
        SERVICE_STATUS stop_status{};
        // The client ends as soon as it has stopped; Wine's service manager may then
        // miss the answer to the request and report a broken pipe. The stop itself is
        // checked below.
        if (!::ControlService(service.get(), SERVICE_CONTROL_STOP, &stop_status)) {
            EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
        }
    }
    status = wait_for_state(client_service_name, SERVICE_STOPPED);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(status->dwWin32ExitCode, 0u);

    const std::vector<std::string> lines = log_lines(read_file(log));
    std::vector<std::string> expected_head = {
        "Lorrivan WireGuard VPN Client Service 1.2.24",
        "The service is starting using " + to_utf8(primary.wstring()) + " WireGuard client configuration.",
        "",
        "Fallback configuration: " + to_utf8(fallback.wstring()),
        "Lorrivan WireGuard VPN Client will run as a service.",
        "Lorrivan Service has started.",
    };
    for (int pass = 0; pass < 5; ++pass) {
        // The library's configuration parser at the client's level, then the worker.
        expected_head.push_back("Interface section is not present!");
        expected_head.push_back("Failed to initialize Wireguard tunnel.");
    }
    expected_head.push_back(switched);
    ASSERT_GE(lines.size(), expected_head.size() + 2) << read_file(log);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(expected_head.size())),
              expected_head);
    EXPECT_EQ(lines[lines.size() - 2], "Lorrivan WireGuard VPN Client Service is stopping");
    // The library's stop reports no tunnel: no "has been stopped" line.
    EXPECT_EQ(lines.back(), "Stopping Wireguard tunnel...");

    // A stopped service is removed without stopping lines.
    result = client(L"uninstall");
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(result.output, text_mode("lorrivan-client-service is removed.\n"));
    EXPECT_TRUE(service_removed(client_service_name));
}
