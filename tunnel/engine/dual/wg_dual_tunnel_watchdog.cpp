// wireguard::wg_dual_tunnel: the watchdog, restarts, interface changes and the adapters
// that the tunnel works on.
//
// Problems found on any thread are written into event_word; the watchdog reads it every
// 500 ms and restarts (1), re-handshakes (2) or ends (3). It also releases a default
// adapter that a stopped tunnel left filtered and asks for a restart when the tunnel has
// been inactive for more than 5 s since the last such request of any watchdog of the
// process. Notifications of the system are judged under restart_mutex.
#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <exception>

#include "name_spin_lock.h"
#include "netaccess/adapter_config.h"
#include "netaccess/platform.h"
#include "netaccess/ras_links.h"
#include "netaccess/route_checks.h"
#include "packet_kinds.h"
#include "server_route.h"
#include "wg_dual_tunnel.h"
#include "wgengine/engine_clock.h"

namespace wireguard
{
namespace
{
constexpr auto watchdog_period = std::chrono::milliseconds(500);
constexpr std::int64_t inactivity_ns = 5'000'000'000;
constexpr std::uint32_t if_type_ppp = 23;
// What the outer headers of the tunnel's datagrams and the WireGuard transport header
// take from the physical adapter's MTU.
constexpr std::uint16_t mtu_overhead = 204;

// The engine clock's time of the last restart that an inactivity rule requested, for the
// whole process; unset until a watchdog first runs.
constexpr std::int64_t unset_time = INT64_MIN;
std::atomic<std::int64_t> last_restart_request{unset_time};

std::int64_t now_ns()
{
    return static_cast<std::int64_t>(engine::clock_now());
}

// The filter adapter whose internal name contains the name; an empty name matches none.
std::shared_ptr<rimcap::network_adapter> adapter_named(const rimcap::dual_packet_filter::adapter_list& adapters,
                                                       const std::string& name)
{
    if (name.empty())
        return nullptr;
    for (const auto& adapter : adapters)
        if (adapter && adapter->internal_name().find(name) != std::string::npos)
            return adapter;
    return nullptr;
}

// The WAN filter adapter one of whose links holds one of the record's addresses.
std::shared_ptr<rimcap::network_adapter> wan_adapter_of(const rimcap::dual_packet_filter::adapter_list& adapters,
                                                        const iphelper::adapter_info& record)
{
    for (const auto& adapter : adapters)
        if (adapter && iphelper::links_hold_any_address(*adapter, record.unicast_addresses))
            return adapter;
    return nullptr;
}

} // namespace

// ---- watchdog -----------------------------------------------------------------------------

void wg_dual_tunnel::watchdog() noexcept
{
    try {
        tunnel_log(log_importance::information, "[TUN]: watchdog: started!");
    } catch (...) {
    }
    std::int64_t unset = unset_time;
    last_restart_request.compare_exchange_strong(unset, now_ns());
    for (;;) {
        try {
            if (!watchdog_pass())
                return;
        } catch (const std::exception& e) {
            try {
                tunnel_log(log_importance::error, std::string("[TUN]: watchdog: ") + e.what());
            } catch (...) {
            }
        } catch (...) {
        }
    }
}

bool wg_dual_tunnel::watchdog_pass()
{
    // Cut short only by an exit request, which it acts on at once.
    sleep_unless(watchdog_period, [&] { return event_word.load() == wg_dual_tunnel_event_type::exit; });
    const std::int32_t request = event_word.load();

    if (run_state.load() == run_states::stopped)
        reset_stopped_default_adapter();

    if (!active.load()) {
        const std::int64_t now = now_ns();
        if (now - last_restart_request.load() > inactivity_ns) {
            tunnel_log(log_importance::information, "[TUN]: watchdog: Tunnel is not active. Last restart was over 5s "
                                                    "timeout. Schedule restart attempt! \n");
            request_restart();
            last_restart_request = now;
        }
    }

    switch (request) {
    case wg_dual_tunnel_event_type::network_config_change:
        if (internal_restart() == run_states::running) {
            tunnel_log(log_importance::information, "[TUN]: watchdog: WireGuard tunnel was successfully started!");
            std::int32_t expected = wg_dual_tunnel_event_type::network_config_change;
            event_word.compare_exchange_strong(expected, wg_dual_tunnel_event_type::none);
        } else {
            tunnel_log(log_importance::information, "[TUN]: watchdog: WireGuard tunnel has failed to start!");
        }
        break;
    case wg_dual_tunnel_event_type::rehandshake: {
        // Never under a start or a stop: the socket is the running tunnel's.
        std::lock_guard lock(restart_mutex);
        if (run_state.load() != run_states::running)
            break;
        reset_socks5_client();
        if (force_handshake()) {
            std::int32_t expected = wg_dual_tunnel_event_type::rehandshake;
            event_word.compare_exchange_strong(expected, wg_dual_tunnel_event_type::none);
        }
        break;
    }
    case wg_dual_tunnel_event_type::exit: {
        tunnel_log(log_importance::information, "[TUN]: watchdog: exited!");
        std::int32_t expected = wg_dual_tunnel_event_type::exit;
        event_word.compare_exchange_strong(expected, wg_dual_tunnel_event_type::none);
        return false;
    }
    default:
        break;
    }
    return true;
}

void wg_dual_tunnel::reset_stopped_default_adapter()
{
    // Under restart_mutex, so that it never undoes the mode of a start that just ran.
    std::lock_guard lock(restart_mutex);
    if (run_state.load() != run_states::stopped || !filter)
        return;
    rimcap::adapter_mode mode{default_adapter_handle.load(), 0};
    if (!filter->get_adapter_mode(mode) || mode.flags == 0)
        return;
    tunnel_log(log_importance::information,
               "[TUN]: watchdog: Tunnel is stopped, but default adapter was not reset! \n");
    filter->release_adapter_mode(default_adapter_handle.load());
}

std::optional<std::int32_t> wg_dual_tunnel::internal_restart()
{
    std::lock_guard lock(restart_mutex);
    if (stop_internal(false) == run_states::stopped)
        tunnel_log(log_importance::information, "[TUN]: internal_restart: WireGuard tunnel was successfully stopped!");
    const std::optional<std::int32_t> result = start_internal();
    if (result == run_states::running)
        tunnel_log(log_importance::information, "[TUN]: internal_restart: WireGuard tunnel was successfully started!");
    else
        tunnel_log(log_importance::information, "[TUN]: internal_restart: WireGuard tunnel has failed to start!");
    return result;
}

// ---- interface changes ----------------------------------------------------------------------

void CALLBACK wg_dual_tunnel::interface_change_entry(void* context, MIB_IPINTERFACE_ROW* row,
                                                     MIB_NOTIFICATION_TYPE type)
{
    if (context == nullptr)
        return;
    try {
        static_cast<notification_token<wg_dual_tunnel>*>(context)->run([&](wg_dual_tunnel& tunnel) {
            tunnel.callbacks_in_flight.fetch_add(1);
            tunnel.ip_interface_changed_callback(row, type);
            tunnel.callbacks_in_flight.fetch_sub(1);
        });
    } catch (...) {
        // Only the token's lock can throw; nothing leaves the notification thread.
    }
}

std::optional<iphelper::adapter_info> wg_dual_tunnel::virtual_adapter_record()
{
    std::lock_guard lock(adapter_mutex);
    if (virtual_adapter && virtual_adapter->adapter_information())
        return virtual_adapter->adapter_information();
    return std::nullopt;
}

bool wg_dual_tunnel::is_released_virtual_interface(std::uint64_t luid)
{
    std::lock_guard lock(adapter_mutex);
    return !(virtual_adapter && virtual_adapter->adapter_information()) && luid != 0 && luid == virtual_adapter_luid;
}

void wg_dual_tunnel::ip_interface_changed_callback(const MIB_IPINTERFACE_ROW* row, MIB_NOTIFICATION_TYPE type) noexcept
{
    try {
        std::lock_guard lock(restart_mutex);
        // A tunnel stopped for good (its registration may outlive the cancellation).
        if (!notification_flag.load())
            return;
        // The virtual adapter connecting or disconnecting while the tunnel holds no object
        // of it is the tunnel's own doing: the activation and deactivation of a probe (as
        // below) or the deactivation of a released object. Judged, it would probe again,
        // and that probe's changes would come back here without end.
        if (row != nullptr && type == MibParameterNotification &&
            is_released_virtual_interface(row->InterfaceLuid.Value))
            return;

        // The adapters through which the server can be reached.
        std::vector<iphelper::adapter_info> routable = iphelper::get_ip_adapters();
        IN_ADDR server_v4{};
        IN6_ADDR server_v6{};
        std::memcpy(&server_v4, server_endpoint.address.data(), 4);
        std::memcpy(&server_v6, server_endpoint.address.data(), 16);
        const iphelper::has_no_route no_route = server_endpoint.family == family_ipv6
                                                    ? iphelper::has_no_route(server_v6)
                                                    : iphelper::has_no_route(server_v4);
        std::erase_if(routable, no_route);
        const DWORD list_error = ::GetLastError();

        const auto stop_unreachable = [&] {
            const std::int32_t state = run_state.load();
            if (state != run_states::stopping && state != run_states::stopped &&
                stop_internal(false) == run_states::stopped && default_adapter)
                drop_default_adapter();
        };

        if (routable.empty()) {
            stop_unreachable();
            tunnel_log(log_importance::information, "[TUN]: ip_interface_changed_callback: No routable interfaces "
                                                    "available: WireGuard Server is unreachable, lasterror: " +
                                                        std::to_string(list_error));
            return;
        }

        if (routable.size() == 1) {
            const auto record = virtual_adapter_record();
            if (record && record->luid == routable.front().luid) {
                stop_unreachable();
                tunnel_log(log_importance::information, "[TUN]: ip_interface_changed_callback: Only Lorrivan virtual "
                                                        "adapter available: WireGuard Server is unreachable.");
                return;
            }
        }

        if (const auto record = virtual_adapter_record()) {
            const std::vector<iphelper::adapter_info> present = iphelper::get_ip_adapters();
            const bool listed = std::any_of(present.begin(), present.end(),
                                            [&](const iphelper::adapter_info& a) { return a.luid == record->luid; });
            if (!listed) {
                const std::int32_t state = run_state.load();
                if (state != run_states::stopping && state != run_states::stopped)
                    stop_internal(false);
                release_virtual_adapter();
                tunnel_log(log_importance::information, "[TUN]: ip_interface_changed_callback: Lorrivan virtual "
                                                        "adapter was removed from the system. Tunnel stopped!");
                return;
            }
        } else if (recreate_virtual_adapter()) {
            release_virtual_adapter();
            request_restart();
        }

        if (default_adapter) {
            const auto same = std::find_if(routable.begin(), routable.end(), [&](const iphelper::adapter_info& a) {
                return a.luid == default_adapter->luid;
            });
            if (same != routable.end() && iphelper::same_unicast_addresses(*same, *default_adapter)) {
                tunnel_log(log_importance::debug,
                           "[TUN]: ip_interface_changed_callback: Default adapter has not changed.");
                return;
            }
        }

        raise_event(tunnel_event::network_change);
        tunnel_log(log_importance::information, "[TUN]: ip_interface_changed_callback: "
                                                "wg_dual_tunnel_event_type::network_config_change! Notify watchdog!");
        request_restart();
    } catch (...) {
        // Nothing leaves the notification thread; the watchdog's inactivity rule restarts.
    }
}

// ---- the adapters the tunnel works on --------------------------------------------------------

namespace
{
// The first address of each family that frames may leave from; IPv6 as the physical
// path learns it, below 0x40 in its first byte (not link-local: a link-local address
// reaches nothing beyond the link).
void set_local_addresses(default_adapter_view& view, const std::vector<SOCKADDR_STORAGE>& addresses) noexcept
{
    for (const SOCKADDR_STORAGE& a : addresses) {
        if (a.ss_family == AF_INET && view.local_ipv4 == 0) {
            std::uint32_t address = 0;
            std::memcpy(&address, &reinterpret_cast<const sockaddr_in&>(a).sin_addr, 4);
            if (is_unicast_source(address))
                view.local_ipv4 = address;
        } else if (a.ss_family == AF_INET6 && is_unspecified(view.local_ipv6)) {
            std::array<std::uint8_t, 16> address{};
            std::memcpy(address.data(), &reinterpret_cast<const sockaddr_in6&>(a).sin6_addr, 16);
            if (is_unicast_source(address) && address[0] < first_global_ipv6_byte)
                view.local_ipv6 = address;
        }
    }
}
} // namespace

void wg_dual_tunnel::publish_default_view() noexcept
{
    try {
        auto view = std::make_shared<default_adapter_view>();
        if (default_adapter) {
            view->mtu = default_adapter->mtu;
            view->adapter_name = default_adapter->adapter_name;
            set_local_addresses(*view, default_adapter->unicast_addresses);
        }
        default_view.store(std::move(view));
        view_generation.fetch_add(1);
    } catch (...) {
        // No memory for a new view: the packet paths keep reading the last one.
    }
}

void wg_dual_tunnel::drop_default_adapter() noexcept
{
    default_adapter.reset();
    publish_default_view();
}

bool wg_dual_tunnel::update_network_interfaces()
{
    if (!filter)
        return false;
    if (!filter->update_adapter_list() && logs(log_importance::information))
        tunnel_log(log_importance::information, "[TUN]: Failed to update Norvask network interfaces, lasterror: " +
                                                    std::to_string(::GetLastError()));
    const rimcap::dual_packet_filter::adapter_list adapters = filter->adapters();

    std::array<char, 260> name_bytes{};
    {
        const name_spin_guard guard(name_lock);
        name_bytes = virtnet_name;
    }
    const std::string name(name_bytes.data(), strnlen(name_bytes.data(), name_bytes.size()));

    const auto virtual_found = adapter_named(adapters, name);
    if (!virtual_found) {
        tunnel_log(log_importance::information, "[TUN]: Failed to find NDIS handle for the virtnet adapter \n");
        return false;
    }
    tunnel_log(log_importance::debug, "[TUN]: Lorrivan virtual adapter successfully identified \n");
    virtual_adapter_handle = virtual_found->handle();

    // The interface toward the server.
    if (server_endpoint.family == family_ipv4)
        ::SetLastError(0);
    const DWORD earlier_error = ::GetLastError();
    DWORD result = NO_ERROR;
    default_adapter = best_interface_toward(server_endpoint, result);
    publish_default_view();
    if (!default_adapter) {
        ::SetLastError(result != NO_ERROR ? result : earlier_error);
        if (logs(log_importance::information))
            tunnel_log(log_importance::information, "[TUN]: Failed to figure out the route to the server, lasterror: " +
                                                        std::to_string(::GetLastError()));
        return false;
    }
    const iphelper::adapter_info& record = *default_adapter;
    tunnel_log(log_importance::information, "[TUN]: Detected default interface " + record.adapter_name);

    const auto default_found =
        record.if_type == if_type_ppp ? wan_adapter_of(adapters, record) : adapter_named(adapters, record.adapter_name);
    if (!default_found) {
        tunnel_log(log_importance::information,
                   "[TUN]: Failed to find a matching Norvask interface for the " + record.adapter_name);
        return false;
    }
    default_adapter_handle = default_found->handle();
    // An adapter MTU that leaves nothing for the tunnel keeps the tunnel's as it is.
    if (!mtu_configured && record.mtu > mtu_overhead)
        mtu = static_cast<std::uint16_t>(record.mtu - mtu_overhead);
    return true;
}

void wg_dual_tunnel::request_restart() noexcept
{
    std::int32_t expected = wg_dual_tunnel_event_type::none;
    if (event_word.compare_exchange_strong(expected, wg_dual_tunnel_event_type::network_config_change))
        return;
    expected = wg_dual_tunnel_event_type::rehandshake;
    event_word.compare_exchange_strong(expected, wg_dual_tunnel_event_type::network_config_change);
}

void wg_dual_tunnel::request_rehandshake() noexcept
{
    std::int32_t expected = wg_dual_tunnel_event_type::none;
    event_word.compare_exchange_strong(expected, wg_dual_tunnel_event_type::rehandshake);
}
} // namespace wireguard
