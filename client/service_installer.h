#pragma once
// Installing the program as a Windows service and removing it again.
#include <chrono>
#include <optional>
#include <string>

// The service's identity.
struct service_identity {
    const wchar_t* name;
    const wchar_t* display_name;
    const wchar_t* description;
};

inline constexpr service_identity client_service{
    L"lorrivan-client-service",
    L"Lorrivan WireGuard VPN Client Service",
    L"Lorrivan WireGuard VPN Client Service for Windows.",
};

// The installer's working values, read from the install command's options.
struct install_options {
    unsigned long start_type = 2;
    std::wstring account = L"LocalSystem";
    std::optional<std::wstring> password;
    // What the service will receive after the program path; at most 259 characters.
    std::wstring command_line = L"service";
};

// Reads the options of `install` from the third argument on. Throws std::runtime_error
// with the message that the program prints: a bad start type, an unknown option, an
// option without its value, or a command line too long for the service.
install_options parse_install_options(int argc, wchar_t** argv);

// The command that the service control manager will run: the quoted program path and
// the command line. Throws std::runtime_error when it is longer than 519 characters.
std::wstring launch_command(const std::wstring& program_path, const std::wstring& command_line);

// Registers the service. Prints what happens; returns the exit code: 0 when the service
// is installed with its description, 1 after a Windows error. Throws std::runtime_error
// when the launch command is too long.
int install_service(const service_identity& identity, const install_options& options);

// Stops the service when it runs (waiting at most stop_wait_bound), deletes it and its
// event-log key. Prints what happens; returns 0 when the service was stopped (or was not
// running) and removed, 1 after a Windows error or when it failed to stop.
int uninstall_service(const wchar_t* name, std::chrono::milliseconds stop_wait_bound = std::chrono::seconds(30));
