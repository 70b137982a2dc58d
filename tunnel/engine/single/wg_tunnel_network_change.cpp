// wireguard::wg_tunnel: the interface-change registration and callback.
//
// Every notification leads to the same check, on the system's notification thread and
// under the library-wide lock: find the interface toward the server afresh; another
// adapter, or the same adapter with other addresses, restarts the tunnel right there;
// no interface at all stops a running tunnel and forgets its default adapter, so that
// the first notification after the server is reachable again starts it once more.
#include <algorithm>
#include <cstring>

#include "netaccess/address_text.h"
#include "netaccess/platform.h"
#include "network_change.h"
#include "refused_calls.h"
#include "wg_tunnel.h"

namespace wireguard
{
namespace
{
bool is_own_address(const SOCKADDR_STORAGE& address, const own_addresses& own)
{
    if (address.ss_family == AF_INET)
        return own.ipv4 != 0 && std::memcmp(&reinterpret_cast<const sockaddr_in&>(address).sin_addr, &own.ipv4, 4) == 0;
    if (address.ss_family == AF_INET6) {
        static constexpr std::array<std::uint8_t, 16> none{};
        return own.ipv6 != none &&
               std::memcmp(&reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, own.ipv6.data(), 16) == 0;
    }
    return false;
}

std::vector<SOCKADDR_STORAGE> without_own(const std::vector<SOCKADDR_STORAGE>& list, const own_addresses& own)
{
    std::vector<SOCKADDR_STORAGE> kept;
    kept.reserve(list.size());
    for (const auto& address : list)
        if (!is_own_address(address, own))
            kept.push_back(address);
    return kept;
}
} // namespace

std::recursive_mutex& interface_change_mutex()
{
    static std::recursive_mutex lock;
    return lock;
}

bool same_unicast_addresses(const std::vector<SOCKADDR_STORAGE>& stored, const std::vector<SOCKADDR_STORAGE>& found,
                            const own_addresses& own)
{
    const auto a = without_own(stored, own);
    const auto b = without_own(found, own);
    if (a.size() != b.size())
        return false;
    return std::all_of(a.begin(), a.end(), [&](const SOCKADDR_STORAGE& address) {
        return std::any_of(b.begin(), b.end(), [&](const SOCKADDR_STORAGE& other) { return iphelper::same_address(address, other); });
    });
}

bool wg_tunnel::set_notify_ip_interface_change()
{
    HANDLE handle = nullptr;
    const DWORD result = netaccess::platform::notify_ip_interface_change(
        AF_UNSPEC, &wg_tunnel::interface_change_entry, notification_token_.get(), FALSE, &handle);
    if (result != NO_ERROR) {
        log(log_importance::error, "[TUN]: set_notify_ip_interface_change has failed!");
        return false;
    }
    notification_handle = handle;
    return true;
}

DWORD wg_tunnel::cancel_notify_ip_interface_change() noexcept
{
    const HANDLE handle = notification_handle;
    const auto cancel = [handle] { return netaccess::platform::cancel_mib_change_notify2(handle); };
    // Without a registration there is nothing to try again.
    const DWORD result = handle == nullptr ? cancel() : call_until_done(cancel, [](DWORD r) { return r == NO_ERROR; });
    if (result == NO_ERROR)
        notification_handle = nullptr;
    return result;
}

void CALLBACK wg_tunnel::interface_change_entry(void* context, MIB_IPINTERFACE_ROW*, MIB_NOTIFICATION_TYPE)
{
    if (context == nullptr)
        return;
    try {
        static_cast<notification_token<wg_tunnel>*>(context)->run([](wg_tunnel& tunnel) {
            tunnel.callbacks_in_flight.fetch_add(1);
            tunnel.ip_interface_changed_callback();
            tunnel.callbacks_in_flight.fetch_sub(1);
        });
    } catch (...) {
        // Only the token's lock can throw; nothing leaves the notification thread.
    }
}

void wg_tunnel::ip_interface_changed_callback() noexcept
{
    try {
        std::lock_guard lock(interface_change_mutex());
        std::optional<iphelper::adapter_info> found = get_best_interface();
        if (found) {
            own_addresses own;
            own.ipv4 = address_switching.tunnel_ipv4_address;
            own.ipv6 = address_switching.tunnel_ipv6_address;
            const bool changed = !default_adapter || default_adapter->luid != found->luid ||
                                 !same_unicast_addresses(default_adapter->unicast_addresses,
                                                         found->unicast_addresses, own);
            if (changed) {
                raise_event(tunnel_event::network_change);
                internal_restart();
            }
            return;
        }

        // The server cannot be reached: a running tunnel stops and waits for the next change.
        const std::int32_t state = run_state.load();
        if (state == run_states::stopping || state == run_states::stopped)
            return;
        if (stop_internal() == run_states::stopped) {
            default_adapter.reset();
            log(log_importance::error,
                "[TUN]: ip_interface_changed_callback: WireGuard Server is unreachable. The tunnel is terminated.");
        }
    } catch (...) {
        // Nothing leaves the notification thread; the next notification checks again.
    }
}
} // namespace wireguard
