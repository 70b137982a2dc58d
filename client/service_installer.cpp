#include "service_installer.h"

#include "handles.h"
#include "text.h"

#include <cwchar>
#include <stdexcept>
#include <string_view>

namespace
{
// The service command line and the launch command hold at most 260 and 520 characters
// with their terminators. A line that does not fit is refused: a cut line would install
// a service that starts with a broken command.
constexpr std::size_t max_command_line = MAX_PATH - 1;
constexpr std::size_t max_launch_command = 519;
constexpr std::size_t max_event_log_key = 256;

bool same_text(const wchar_t* a, const wchar_t* b)
{
    return ::_wcsicmp(a, b) == 0;
}

std::wstring checked_command_line(std::wstring line)
{
    if (line.size() > max_command_line)
        throw std::runtime_error("service command line is longer than 259 characters");
    return line;
}

// The value of the option at argv[i], or the option's message when it is the last argument.
const wchar_t* option_value(int argc, wchar_t** argv, int& i, const char* missing)
{
    if (++i >= argc)
        throw std::runtime_error(missing);
    return argv[i];
}
} // namespace

install_options parse_install_options(int argc, wchar_t** argv)
{
    install_options options;
    for (int i = 2; i < argc; ++i) {
        const wchar_t* option = argv[i];
        if (option[0] != L'-')
            continue;
        if (same_text(option, L"-start-type")) {
            const std::wstring_view value = option_value(argc, argv, i, "no service start type specified");
            if (value.size() != 1 || value[0] < L'2' || value[0] > L'4')
                throw std::runtime_error("service start type must be a number between 2 and 4");
            options.start_type = static_cast<unsigned long>(value[0] - L'0');
        } else if (same_text(option, L"-account")) {
            options.account = option_value(argc, argv, i, "no account name specified");
        } else if (same_text(option, L"-password")) {
            options.password = option_value(argc, argv, i, "no account password specified");
        } else if (same_text(option, L"-config")) {
            const std::wstring value = option_value(argc, argv, i, "no config file specified");
            options.command_line = checked_command_line(L"service -config \"" + value + L"\"");
        } else if (same_text(option, L"-fallback-config")) {
            const std::wstring value = option_value(argc, argv, i, "no fallback config file specified");
            options.command_line = checked_command_line(options.command_line + L" -fallback-config \"" + value + L"\"");
        } else if (same_text(option, L"-log-level")) {
            const std::wstring value = option_value(argc, argv, i, "no logging level specified");
            options.command_line = checked_command_line(options.command_line + L" -log-level \"" + value + L"\"");
        } else if (same_text(option, L"-lac")) {
            options.command_line = checked_command_line(options.command_line + L" -lac");
        } else {
            throw std::runtime_error(to_utf8(cut(L"unknown parameter: " + std::wstring(option), MAX_PATH - 1)));
        }
    }
    return options;
}

std::wstring launch_command(const std::wstring& program_path, const std::wstring& command_line)
{
    std::wstring command = L"\"" + program_path + L"\" " + command_line;
    if (command.size() > max_launch_command)
        throw std::runtime_error("service launch command is longer than 519 characters");
    return command;
}

int install_service(const service_identity& identity, const install_options& options)
{
    wchar_t program[MAX_PATH];
    const DWORD size = ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    if (size == 0 || size >= MAX_PATH) {
        // A cut program path would install a service that cannot start.
        const DWORD error = size == 0 ? ::GetLastError() : ERROR_INSUFFICIENT_BUFFER;
        console_print(L"GetModuleFileName failed w/err 0x%08lx\n", error);
        return 1;
    }
    const std::wstring command = launch_command(std::wstring(program, size), options.command_line);

    service_handle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!manager) {
        console_print(L"OpenSCManager failed w/err 0x%08lx\n", ::GetLastError());
        return 1;
    }
    service_handle service(::CreateServiceW(
        manager.get(), identity.name, identity.display_name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
        options.start_type, SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, L"",
        options.account.c_str(), options.password ? options.password->c_str() : nullptr));
    if (!service) {
        console_print(L"CreateService failed with error code: 0x%08lx\n", ::GetLastError());
        return 1;
    }
    SERVICE_DESCRIPTIONW description{const_cast<wchar_t*>(identity.description)};
    if (!::ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description)) {
        console_print(L"Couldn't set service description with error code: 0x%08lx\n", ::GetLastError());
        return 1;
    }
    console_print(L"%ls is installed.\n", identity.name);
    return 0;
}

int uninstall_service(const wchar_t* name, std::chrono::milliseconds stop_wait_bound)
{
    service_handle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        console_print(L"OpenSCManager failed w/err 0x%08lx\n", ::GetLastError());
        return 1;
    }
    service_handle service(::OpenServiceW(manager.get(), name, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service) {
        console_print(L"OpenService failed w/err 0x%08lx\n", ::GetLastError());
        return 1;
    }

    int exit_code = 0;
    SERVICE_STATUS status{};
    if (::ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
        console_print(L"Stopping %ls.", name);
        // The wait for the stop is bounded: a service that hangs in its stop does not
        // hang the remover.
        const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(stop_wait_bound.count());
        ::Sleep(1000);
        while (::QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_STOP_PENDING &&
               ::GetTickCount64() < deadline) {
            console_print(L".");
            ::Sleep(1000);
        }
        if (status.dwCurrentState == SERVICE_STOPPED) {
            console_print(L"\n%ls is stopped.\n", name);
        } else {
            console_print(L"\n%ls failed to stop.\n", name);
            exit_code = 1;
        }
    }

    if (!::DeleteService(service.get())) {
        console_print(L"DeleteService failed w/err 0x%08lx\n", ::GetLastError());
        return 1;
    }
    const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + std::wstring(name);
    if (key.size() >= max_event_log_key) {
        console_print(L"Service name is too long. Cannot register service with Windows Event Log.\n");
        exit_code = 1;
    } else {
        const LSTATUS result = ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
        if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) {
            console_print(L"Service cannot be unregistered with Windows Event Log. Error deleting key: %d\n",
                          static_cast<int>(result));
            exit_code = 1;
        }
    }
    console_print(L"%ls is removed.\n", name);
    return exit_code;
}
