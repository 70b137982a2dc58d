// The exit scenario (see exit_scenario.h), linked into a test library and, for the
// program's own exit, into the test program itself.
#include "exit_scenario.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "scripted/scripted_engine.h"
#include "host.h"
#include "host_network.h"
#include "support/dual_host_state.h"
#include "tundrel.h"
#include "wg_dual_tunnel.h"
#include "wg_tunnel.h"
#include "wireguard_manager.h"

namespace
{
std::wstring report_path;
simhost::network_snapshot before;
// The dual scenario: its adapters and what the tunnel may change on the host.
bool dual = false;
simhost::adapter physical;
simhost::adapter virtual_adapter;
tunnel_test::dual_host_state dual_before;
void* dual_handle = nullptr;
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
    bool undone = network.snapshot() == before;
    bool family = wireguard::wireguard_manager<wireguard::wg_tunnel>::family_initialised();
    if (dual) {
        // The filter modes are the driver's to drop with the process's handle.
        tunnel_test::dual_host_state now = tunnel_test::read_dual_host_state(physical, virtual_adapter);
        now.physical_mode = dual_before.physical_mode;
        now.virtual_mode = dual_before.virtual_mode;
        undone = now == dual_before;
        family = wireguard::wireguard_manager<wireguard::wg_dual_tunnel>::family_initialised();
    }
    std::snprintf(line, sizeof(line), "undone=%d silent=%d family=%d ending=%d live=%u registrations=%u\n",
                  undone ? 1 : 0, lines_after.load() == 0 ? 1 : 0, family ? 1 : 0,
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

EXIT_SCENARIO_API int exit_scenario_start_dual(const wchar_t* path)
{
    report_path = path;
    dual = true;
    auto& host = simhost::host::instance();
    auto& network = simhost::host_network::instance();
    host.reset();
    scripted::engine::instance().reset();
    scripted::engine::instance().set_force_handshake(WRITE_TO_NETWORK, 148);
    const simhost::mac_address gateway_mac{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    physical = host.add_adapter({});
    network.add_address(physical.guid, "192.168.1.10", 24);
    network.add_default_gateway(physical.guid, "192.168.1.1", gateway_mac);
    virtual_adapter = simhost::virtnet_driver::instance().load();
    dual_before = tunnel_test::read_dual_host_state(physical, virtual_adapter);

    if (std::atexit(report) != 0)
        return 1;
    void* const handle = tdlp_get_handle(&sink, 3, false);
    dual_handle = handle;
    const wg_interface_params interface_params{"k-private", "10.8.0.2/24", "10.8.0.1"};
    const wg_peer_params peer_params{"k-public", nullptr, "10.8.0.0/24", "127.0.0.1:51820", 0};
    if (!tdlp_create_tunnel(handle, &interface_params, &peer_params, nullptr))
        return 2;
    if (!tdlp_start_tunnel(handle))
        return 3;

    // The server's handshake response, accepted by the engine with its 32-byte reply.
    const auto* tunnel = wireguard::wireguard_manager<wireguard::wg_dual_tunnel>::from_handle(handle)->tunnel.get();
    scripted::engine::instance().push_read(WRITE_TO_NETWORK, 32);
    simhost::packet_driver::instance().inject(
        physical.filter_handle, 2,
        tunnel_test::handshake_response_frame(physical, gateway_mac, 51820, tunnel->local_udp_port.load()));
    for (int i = 0; i < 5000 && !tdlp_get_tunnel_active(handle); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (!tdlp_get_tunnel_active(handle))
        return 4;
    const auto running = tunnel_test::read_dual_host_state(physical, virtual_adapter);
    if (!running.activated || running.network == dual_before.network || !running.ipv4_name_server)
        return 5; // the virtual adapter is not in place
    // The process ends after the callbacks that announce the activation (see simhost).
    if (!network.wait_for_notifications())
        return 6;
    counting = true;
    return 0;
}

EXIT_SCENARIO_API int exit_scenario_drop_dual_refused()
{
    counting = false;
    simhost::host_network::instance().fail_next(simhost::iphelper_function::cancel_mib_change_notify2,
                                                 ERROR_ACCESS_DENIED, 1000000);
    if (!tdlp_drop_tunnel(dual_handle) || simhost::host_network::instance().registration_count() != 1)
        return 1;
    counting = true;
    return 0;
}
