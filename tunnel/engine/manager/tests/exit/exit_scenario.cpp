// The exit scenario (see exit_scenario.h), linked into a test library and, for the
// program's own exit, into the test program itself.
#include "exit_scenario.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "scripted/scripted_engine.h"
#include "host.h"
#include "host_network.h"
#include "tundrel.h"
#include "wg_tunnel.h"
#include "wireguard_manager.h"

namespace
{
std::wstring report_path;
simhost::network_snapshot before;
std::atomic<bool> counting{false};
std::atomic<unsigned> lines_after{0};

void sink(const char*)
{
    if (counting.load())
        ++lines_after;
}

void report()
{
    auto& network = simhost::host_network::instance();
    char line[160];
    std::snprintf(line, sizeof(line), "undone=%d silent=%d family=%d ending=%d live=%u registrations=%u\n",
                  network.snapshot() == before ? 1 : 0, lines_after.load() == 0 ? 1 : 0,
                  wireguard::wireguard_manager<wireguard::wg_tunnel>::family_initialised() ? 1 : 0,
                  wireguard::process_is_ending() ? 1 : 0,
                  static_cast<unsigned>(scripted::engine::instance().live_tunnels()),
                  static_cast<unsigned>(network.registration_count()));
    const HANDLE file = ::CreateFileW(report_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        ::WriteFile(file, line, static_cast<DWORD>(std::char_traits<char>::length(line)), &written, nullptr);
        ::CloseHandle(file);
    }
    // The simulated host's own objects are not made for a process whose threads were
    // ended under them: end here, after the manager's destructor.
    ::TerminateProcess(::GetCurrentProcess(), exit_scenario_reported);
}
} // namespace

EXIT_SCENARIO_API int exit_scenario_start(const wchar_t* path)
{
    report_path = path;
    auto& host = simhost::host::instance();
    auto& network = simhost::host_network::instance();
    host.reset();
    scripted::engine::instance().reset();
    const simhost::adapter adapter = host.add_adapter({});
    network.add_address(adapter.guid, "169.254.7.7", 16);
    network.add_default_gateway(adapter.guid, "169.254.0.1", simhost::mac_address{0x00, 0x11, 0x22, 0x33, 0x44, 0x55});
    before = network.snapshot();

    // Before the manager exists: runs after its exit-time destructor.
    if (std::atexit(report) != 0)
        return 1;
    void* const handle = tdl_get_handle(&sink, 3, false);
    const wg_interface_params interface_params{"k-private", "10.8.0.2/24", nullptr};
    const wg_peer_params peer_params{"k-public", nullptr, "0.0.0.0/0", "127.0.0.1:51820", 0};
    if (!tdl_create_tunnel(handle, &interface_params, &peer_params, nullptr))
        return 2;
    if (!tdl_start_tunnel(handle))
        return 3;
    if (network.snapshot() == before)
        return 4; // no address switching
    if (!scripted::engine::instance().wait_for_ticks(1))
        return 5;
    counting = true;
    return 0;
}
