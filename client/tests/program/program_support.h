#pragma once
// Helpers of the tests that launch programs and use the service control manager.
#include "client_log.h"
#include "handles.h"
#include "text.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

namespace program_test
{
namespace fs = std::filesystem;

// Wine 8 loses track of services when a process closes its last handle of the service
// control manager and opens a new one: every other OpenServiceW then fails with 1060
// although the service exists. The tests keep one connection open for their whole run.
inline const service_handle service_manager_connection{::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT)};

// A program in the test's own folder (the build puts the client, tundrel.dll and the
// test service there).
inline fs::path sibling(const wchar_t* name)
{
    wchar_t self[MAX_PATH];
    const DWORD size = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    return fs::path(std::wstring(self, size)).parent_path() / name;
}

inline fs::path client_program()
{
    return sibling(L"lorrivan-client.exe");
}

struct run_result {
    DWORD exit_code = 0xFFFFFFFF;
    std::string output; // standard output as bytes
};

// Runs the program with the argument text and collects its standard output.
inline run_result run_program(const fs::path& program, const std::wstring& arguments,
                              DWORD timeout_ms = 60000)
{
    run_result result;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!::CreatePipe(&read_end, &write_end, &inherit, 0)) {
        ADD_FAILURE() << "CreatePipe failed " << ::GetLastError();
        return result;
    }
    unique_handle reader(read_end);
    unique_handle writer(write_end);
    ::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    unique_handle null_input(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                           OPEN_EXISTING, 0, nullptr));

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = null_input.get();
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    std::wstring command = L"\"" + program.wstring() + L"\" " + arguments;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                          &process)) {
        ADD_FAILURE() << "CreateProcess failed " << ::GetLastError();
        return result;
    }
    unique_handle process_handle(process.hProcess);
    unique_handle thread_handle(process.hThread);
    writer.reset();

    std::string output;
    std::thread collector([&] {
        char buffer[4096];
        DWORD got = 0;
        while (::ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got > 0)
            output.append(buffer, got);
    });
    if (::WaitForSingleObject(process.hProcess, timeout_ms) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "program did not end: " << to_utf8(command);
        ::TerminateProcess(process.hProcess, 99);
        ::WaitForSingleObject(process.hProcess, 10000);
    }
    collector.join();
    ::GetExitCodeProcess(process.hProcess, &result.exit_code);
    result.output = std::move(output);
    return result;
}

// The bytes a text-mode console stream writes for the text: every line feed becomes a
// carriage return and a line feed.
inline std::string text_mode(const std::string& text)
{
    std::string bytes;
    for (char c : text) {
        if (c == '\n')
            bytes += '\r';
        bytes += c;
    }
    return bytes;
}

inline std::string read_file(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

// The status of a service; empty when it cannot be opened.
inline std::optional<SERVICE_STATUS_PROCESS> query_status(const std::wstring& name)
{
    service_handle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    service_handle service(manager ? ::OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS) : nullptr);
    if (!service)
        return std::nullopt;
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                sizeof status, &needed))
        return std::nullopt;
    return status;
}

// Waits until the service reports the state; returns the last status seen.
inline std::optional<SERVICE_STATUS_PROCESS> wait_for_state(const std::wstring& name, DWORD state,
                                                            std::chrono::milliseconds timeout = std::chrono::seconds(20))
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    std::optional<SERVICE_STATUS_PROCESS> status;
    do {
        status = query_status(name);
        if (status && status->dwCurrentState == state)
            return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < end);
    return status;
}

inline bool service_exists(const std::wstring& name)
{
    service_handle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    service_handle service(manager ? ::OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS) : nullptr);
    return static_cast<bool>(service);
}

// True once the service is gone. A deleted service stays until its process has ended,
// so the question waits for that (15 s at most).
inline bool service_removed(const std::wstring& name)
{
    for (int i = 0; i < 150 && service_exists(name); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return !service_exists(name);
}

// Stops (when running) and deletes the service; used before and after every test that
// installs one, whatever happened in between.
inline void remove_service(const std::wstring& name)
{
    {
        service_handle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        if (!manager)
            return;
        service_handle service(::OpenServiceW(manager.get(), name.c_str(), SERVICE_ALL_ACCESS));
        if (!service)
            return;
        SERVICE_STATUS status{};
        if (::QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED) {
            // The stop request may be reported as failed by Wine although the service stops.
            ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
            wait_for_state(name, SERVICE_STOPPED, std::chrono::seconds(20));
        }
        ::DeleteService(service.get());
    }
    service_removed(name);
}

class service_guard
{
public:
    explicit service_guard(std::wstring name) : name_(std::move(name)) { remove_service(name_); }
    ~service_guard() { remove_service(name_); }
    service_guard(const service_guard&) = delete;
    service_guard& operator=(const service_guard&) = delete;
    const std::wstring& name() const { return name_; }

private:
    std::wstring name_;
};

struct service_config {
    std::wstring binary_path;
    DWORD start_type = 0;
    DWORD service_type = 0;
    DWORD error_control = 0;
    std::wstring account;
    std::wstring display_name;
    std::wstring dependencies;
    std::wstring description;
};

inline std::optional<service_config> query_config(const std::wstring& name)
{
    service_handle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    service_handle service(manager ? ::OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_CONFIG) : nullptr);
    if (!service)
        return std::nullopt;
    DWORD needed = 0;
    ::QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::string buffer(needed, '\0');
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!::QueryServiceConfigW(service.get(), config, needed, &needed))
        return std::nullopt;
    service_config result;
    result.binary_path = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
    result.start_type = config->dwStartType;
    result.service_type = config->dwServiceType;
    result.error_control = config->dwErrorControl;
    result.account = config->lpServiceStartName ? config->lpServiceStartName : L"";
    result.display_name = config->lpDisplayName ? config->lpDisplayName : L"";
    result.dependencies = config->lpDependencies ? config->lpDependencies : L"";

    needed = 0;
    ::QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed);
    if (needed) {
        std::string description(needed, '\0');
        auto* d = reinterpret_cast<SERVICE_DESCRIPTIONW*>(description.data());
        if (::QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, reinterpret_cast<BYTE*>(d), needed,
                                   &needed) &&
            d->lpDescription)
            result.description = d->lpDescription;
    }
    return result;
}

// A fresh folder under the temporary folder, removed at the end.
class temporary_folder
{
public:
    explicit temporary_folder(const std::wstring& tag)
        : path_(fs::temp_directory_path() / (L"lorrivan-" + tag + L"-" + std::to_wstring(::GetCurrentProcessId())))
    {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
        fs::create_directories(path_);
    }
    ~temporary_folder()
    {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// The log folder of service mode; created for the test when missing and then removed
// again, with the log file.
class service_log_folder
{
public:
    service_log_folder()
    {
        const fs::path file = log_file();
        folder_ = file.parent_path();
        created_brennick_ = !fs::exists(folder_.parent_path());
        created_ = !fs::exists(folder_);
        fs::create_directories(folder_);
    }
    ~service_log_folder()
    {
        std::error_code ignored;
        fs::remove(log_file(), ignored);
        if (created_)
            fs::remove(folder_, ignored);
        if (created_brennick_)
            fs::remove(folder_.parent_path(), ignored);
    }
    static fs::path log_file() { return fs::path(from_file_system_code_page(log_file_name())); }

private:
    fs::path folder_;
    bool created_ = false;
    bool created_brennick_ = false;
};
} // namespace program_test
