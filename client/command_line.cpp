#include "command_line.h"

#include "handles.h"
#include "lorrivan_service.h"
#include "service_installer.h"
#include "text.h"

#include <cstdio>
#include <cwchar>
#include <exception>
#include <memory>
#include <string>

namespace
{
bool same_text(const wchar_t* a, const wchar_t* b)
{
    return ::_wcsicmp(a, b) == 0;
}

// A failure that is not a Windows error ends the program with its message (UTF-8) and
// exit 1.
void print_failure(const std::exception& error)
{
    std::wstring message = from_utf8(error.what());
    if (message.empty() || message.back() != L'\n')
        message += L'\n';
    console_print(L"%ls", message.c_str());
}

int run_install(int argc, wchar_t** argv)
{
    return install_service(client_service, parse_install_options(argc, argv));
}

int run_service(int argc, wchar_t** argv, const tunnel_family& single, const tunnel_family& dual)
{
    std::unique_ptr<lorrivan_service> service;
    try {
        service = std::make_unique<lorrivan_service>(single, dual);
    } catch (const std::exception& error) {
        print_failure(error);
        return 1;
    }
    service->set_command_line(argc, argv);
    service_instance = service.get();
    SERVICE_TABLE_ENTRYW table[] = {
        {const_cast<wchar_t*>(client_service.name), &CServiceBase::service_main},
        {nullptr, nullptr},
    };
    if (!::StartServiceCtrlDispatcherW(table)) {
        const DWORD error = ::GetLastError();
        console_print(L"Service failed to run with error code: 0x%08lx\n", error);
        service_instance = nullptr;
        return static_cast<int>(error);
    }
    if (service->worker_started() && !service->worker_stopped()) {
        // The service was reported stopped at a system shutdown while its worker is still
        // inside the tunnel library: end at once rather than destroy what it uses.
        std::fflush(stdout);
        ::TerminateProcess(::GetCurrentProcess(), 0);
    }
    service_instance = nullptr;
    return 0;
}

int run_foreground(int argc, wchar_t** argv, const tunnel_family& single, const tunnel_family& dual)
{
    try {
        lorrivan_service service(single, dual);
        service.set_command_line(argc, argv);
        service.on_start(0, nullptr);
        return service.worker_result() == 0 ? 0 : 1;
    } catch (const std::exception& error) {
        print_failure(error);
        return 1;
    }
}
} // namespace

void print_usage()
{
    static const wchar_t* const lines[] = {
        L"\nLorrivan WireGuard VPN Client\n\n",
        L"Parameters:\n\n",
        L" install [-start-type <2..4> -account <account-name> -password <account-password> "
        L"-config <wireguard-client-config-full-pathname> [-fallback-config "
        L"<wireguard-fallback-client-config-full-pathname>] -log-level <none | info | debug | all>] "
        L"[-lac]\n  - to install the service.\n",
        L"    service start types are:\n",
        L"     2 - service started automatically by the service control manager during system "
        L"startup.\n",
        L"     3 - service started manually or by calling StartService function from another "
        L"process.\n",
        L"     4 - service installed in the \"disabled\" state, and cannot be started until "
        L"enabled.\n",
        L" run [-config <wireguard-client-config-full-pathname> [-fallback-config "
        L"<wireguard-fallback-client-config-full-pathname>] -log-level <none | info | debug | all>] "
        L"[-lac]\n  - to start as a regular process (not a service)\n",
        L" uninstall\n  - to remove the service.\n",
    };
    for (const wchar_t* line : lines)
        console_print(L"%ls", line);
}

int client_main(int argc, wchar_t** argv, const tunnel_family& single, const tunnel_family& dual)
{
    // Held until the program ends: while the service or a foreground run is active,
    // every command ends here.
    unique_handle instance_mutex(::CreateMutexW(nullptr, TRUE, single_instance_mutex_name));
    const DWORD mutex_error = ::GetLastError();
    if (mutex_error == ERROR_ALREADY_EXISTS || mutex_error == ERROR_ACCESS_DENIED) {
        console_print(L"Lorrivan WireGuard VPN Client is running already. Exit the second instance\r\n");
        return 0;
    }

    if (argc < 2) {
        print_usage();
        return 0;
    }
    const wchar_t* command = argv[1];
    if (same_text(command, L"install") || same_text(command, L"uninstall")) {
        try {
            return same_text(command, L"install") ? run_install(argc, argv) : uninstall_service(client_service.name);
        } catch (const std::exception& error) {
            console_print(L"Couldn't install service: %ls", from_utf8(error.what()).c_str());
            return 1;
        }
    }
    if (same_text(command, L"service"))
        return run_service(argc, argv, single, dual);
    if (same_text(command, L"run"))
        return run_foreground(argc, argv, single, dual);
    console_print(L"Unknown parameter: %ls\n", command);
    return 0;
}
