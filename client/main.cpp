// lorrivan-client: the console program and Windows service of the VPN client.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <initializer_list>

namespace
{
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
        std::fputws(line, stdout);
    std::fflush(stdout);
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        print_usage();
        return 0;
    }
    for (const wchar_t* command : {L"install", L"uninstall", L"service", L"run"}) {
        if (_wcsicmp(argv[1], command) == 0) {
            // The commands arrive with the tunnel library; until then nothing pretends to work.
            std::fwprintf(stderr, L"%ls: not available in this build\n", argv[1]);
            return 1;
        }
    }
    std::wprintf(L"Unknown parameter: %ls\n", argv[1]);
    return 0;
}
