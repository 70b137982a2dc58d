// Start and stop cycles of a dual tunnel through the tdlp_ exports with a failure
// injected in turn at each step that can fail: the virtual adapter's I/O controls and
// registry keys, its addresses and routes, the interface toward the server, the socket,
// the filter, the handshake initiation, the activation, and every undo step at the stop.
// Each cycle ends with a stop and a drop; the host is then as it was before (mostly after
// the stop already), and the log tells the failure.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "dual_test_support.h"
#include "netaccess/adapter_info.h"
#include "tundrel.h"
#include "wireguard_manager.h"

namespace
{
using namespace dual_test;
using simhost::iphelper_function;
using tdlp_manager = wireguard::wireguard_manager<wireguard::wg_dual_tunnel>;

constexpr DWORD list_code = 0x830020C0;
constexpr DWORD activate_code = 0x830020C4;
constexpr DWORD deactivate_code = 0x830020C8;

enum class step { start, activation, stop }; // the failure is injected before it

struct failure_case {
    const char* name;
    step at;
    std::function<void()> inject;
    std::string line;               // a line that the failure writes ("": none)
    bool starts = true;
    bool activates = true;
    const char* endpoint = nullptr; // another server than the sink
    bool undone_by_stop = true;     // false: refused past the stop's own tries, left to the drop
};

class dual_failure_injection : public dual_host_test
{
protected:
    void SetUp() override
    {
        dual_host_test::SetUp();
        handle = tdlp_get_handle(&log_lines::callback, 3, false);
        ASSERT_NE(handle, nullptr);
        tdlp_set_log_level(handle, 3);
    }
    void TearDown() override
    {
        tdlp_drop_tunnel(handle);
        dual_host_test::TearDown();
    }

    void cycle(const failure_case& c)
    {
        SCOPED_TRACE(c.name);
        logs().clear();
        engine().reset();
        engine().set_force_handshake(WRITE_TO_NETWORK, 148);
        const std::string endpoint = c.endpoint ? c.endpoint : "127.0.0.1:" + std::to_string(server.port());
        const wg_interface_params interface_params{"k-private", "10.8.0.2/24", "10.8.0.1"};
        const wg_peer_params peer_params{"k-public", nullptr, "10.8.0.0/24", endpoint.c_str(), 0};
        ASSERT_TRUE(tdlp_create_tunnel(handle, &interface_params, &peer_params, nullptr)) << logs().text();
        wireguard::wg_dual_tunnel& t = *tdlp_manager::from_handle(handle)->tunnel;
        if (c.at == step::start)
            c.inject();
        const bool started = tdlp_start_tunnel(handle);
        EXPECT_EQ(started, c.starts) << logs().text();
        if (started) {
            if (c.at == step::activation)
                c.inject();
            send_response(t);
            const std::string& awaited = c.activates ? activated : c.line;
            EXPECT_TRUE(wait_until([&] { return logs().contains(awaited); })) << logs().text();
            ASSERT_TRUE(wait_until([&] { return t.activations_in_flight() == 0; }));
            EXPECT_EQ(tdlp_get_tunnel_active(handle), c.activates);
        }
        if (c.at == step::stop)
            c.inject();
        EXPECT_TRUE(tdlp_stop_tunnel(handle));
        EXPECT_FALSE(tdlp_get_tunnel_active(handle));
        // The keys that a case deleted, as the driver made them.
        test_support::write_registry_text(simhost::connection_key_path(virtual_adapter.guid), "Name", "Ethernet 7");
        test_support::write_registry_value(test_support::interface_key("Tcpip", virtual_adapter.guid));
        if (c.undone_by_stop) {
            EXPECT_EQ(state(), before) << "after the stop";
        }
        EXPECT_TRUE(tdlp_drop_tunnel(handle));
        if (!c.line.empty()) {
            EXPECT_TRUE(logs().contains(c.line)) << logs().text();
        }
        EXPECT_EQ(state(), before);
        EXPECT_EQ(network().registration_count(), 0u);
        EXPECT_EQ(engine().live_tunnels(), 0u);
    }

    void* handle = nullptr;
};

TEST_F(dual_failure_injection, every_failing_step_leaves_the_host_as_it_was)
{
    auto& net = network();
    auto& filter_driver = driver();
    auto& virtual_driver = vdriver();
    const std::string connection = simhost::connection_key_path(virtual_adapter.guid);
    const std::string tcpip = test_support::interface_key("Tcpip", virtual_adapter.guid);
    const auto refuse = [&](iphelper_function f, DWORD error, unsigned times = 1) {
        return [&net, f, error, times] { net.fail_next(f, error, times); };
    };
    const auto refuse_virtual = [&](DWORD code, DWORD error, unsigned times = 1) {
        return [&virtual_driver, code, error, times] { virtual_driver.fail_next(code, error, times); };
    };
    const auto refuse_filter = [&](DWORD code, unsigned times = 1) {
        return [&filter_driver, code, times] { filter_driver.fail_next(code, ERROR_GEN_FAILURE, times); };
    };
    const failure_case cases[] = {
        {"nothing fails", step::start, [] {}, activated},
        {"the virtual adapter list is refused", step::start, refuse_virtual(list_code, ERROR_GEN_FAILURE),
         "[TUN]: Failed to query Lorrivan virtual adapters list! lasterror: 31", false},
        {"IP Helper cannot be read for the virtual adapter", step::start,
         refuse(iphelper_function::get_if_table2, ERROR_NOT_ENOUGH_MEMORY),
         "[TUN]: Failed to obtain Lorrivan virtual adapter info! lasterror: 8", false},
        {"the connection cannot be renamed", step::start,
         [&] {
             iphelper::get_ip_adapters(); // IP Helper takes the name from the key while there is one
             ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, connection.c_str());
         },
         "[TUN]: Failed to rename Lorrivan virtual adapter connection! lasterror: 2", false},
        {"the NameServer value cannot be written", step::start,
         [&] { ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, tcpip.c_str()); },
         "[TUN]: Failed to assign DNS to Lorrivan virtual adapter!", false},
        {"the interface address is refused", step::start,
         refuse(iphelper_function::create_unicast_ip_address_entry, ERROR_ACCESS_DENIED),
         "[TUN]: Failed to assign IP to the Lorrivan virtual adapter! lasterror: 5", false},
        {"the activation is refused", step::start, refuse_virtual(activate_code, ERROR_DEVICE_NOT_CONNECTED),
         "[TUN]: Failed to activate Lorrivan virtual adapter! lasterror: 1167", false},
        {"the activation and then an address delete are refused", step::start,
         [&] {
             virtual_driver.fail_next(activate_code, ERROR_DEVICE_NOT_CONNECTED);
             net.fail_next(iphelper_function::delete_unicast_ip_address_entry, ERROR_ACCESS_DENIED, 3);
         },
         "[TUN]: Failed to activate Lorrivan virtual adapter! lasterror: 1167", false},
        {"the filter's adapter list is refused", step::start, refuse_filter(rimcap::ioctl::get_adapter_list),
         "[TUN]: Failed to update Norvask network interfaces, lasterror: 31"},
        {"no interface toward the server", step::start,
         refuse(iphelper_function::get_best_interface_ex, ERROR_NETWORK_UNREACHABLE),
         "[TUN]: Failed to figure out the route to the server, lasterror: 1231", false},
        {"the socket cannot connect", step::start, [] {},
         "[TUN]: start_internal: Failed to connect the endpoint socket, wsalasterror: 10013", false, false,
         "255.255.255.255:51820"},
        {"the physical adapter's side cannot start", step::start, refuse_filter(rimcap::ioctl::set_packet_event),
         "[TUN]: start_internal: NDIS filter has failed to start for the default network interface! \n", false},
        {"the handshake initiation cannot be sent", step::start,
         [] { engine().set_force_handshake(WRITE_TO_NETWORK, 20000); },
         "[TUN]: start_internal: force_handshake has failed! \n", false},
        {"the activation cannot make the virtual adapter", step::activation,
         refuse_virtual(list_code, ERROR_GEN_FAILURE),
         "[TUN]: set_tunnel_active: Failed to activate Lorrivan virtual adapter. Schedule tunnel restart!", true, false},
        {"the routes are refused", step::activation,
         refuse(iphelper_function::create_ip_forward_entry2, ERROR_ACCESS_DENIED, 2),
         "[TUN]: Failed to enable default gateway on virtual adapter, lasterror: 5", true, false},
        {"the virtual adapter's side cannot start", step::activation, refuse_filter(rimcap::ioctl::set_packet_event),
         "[TUN]: set_tunnel_active: Failed to start filtering on Lorrivan virtual adapter!", true, false},
        {"route deletes are refused at the stop", step::stop,
         refuse(iphelper_function::delete_ip_forward_entry2, ERROR_ACCESS_DENIED, 9), "", true, true, nullptr, false},
        {"address deletes are refused at the stop", step::stop,
         refuse(iphelper_function::delete_unicast_ip_address_entry, ERROR_ACCESS_DENIED, 3), "", true, true, nullptr,
         false},
        {"the deactivation is refused at the stop", step::stop, refuse_virtual(deactivate_code, ERROR_GEN_FAILURE, 3),
         "", true, true, nullptr, false},
        {"the adapters' releases are refused at the stop", step::stop, refuse_filter(rimcap::ioctl::set_adapter_mode, 6),
         ""},
        {"the cancellation is refused at the stop", step::stop,
         refuse(iphelper_function::cancel_mib_change_notify2, ERROR_ACCESS_DENIED, 3),
         "[TUN]: cancel_notify_ip_interface_change has failed, lasterror: 5"},
    };
    // About a hundred cycles: every case in turn, five times over.
    for (int round = 0; round < 5; ++round)
        for (const failure_case& c : cases) {
            cycle(c);
            if (HasFatalFailure())
                return;
        }
}
} // namespace
