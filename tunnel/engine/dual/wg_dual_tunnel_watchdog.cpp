// wireguard::wg_dual_tunnel: the watchdog, restarts, interface changes and the adapters
// that the tunnel works on.
#include "wg_dual_tunnel.h"

namespace wireguard
{
void wg_dual_tunnel::watchdog() noexcept {}

std::optional<std::int32_t> wg_dual_tunnel::internal_restart()
{
    return std::nullopt;
}

void CALLBACK wg_dual_tunnel::interface_change_entry(void*, MIB_IPINTERFACE_ROW*, MIB_NOTIFICATION_TYPE) {}

void wg_dual_tunnel::ip_interface_changed_callback() noexcept {}

bool wg_dual_tunnel::update_network_interfaces()
{
    return false;
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
