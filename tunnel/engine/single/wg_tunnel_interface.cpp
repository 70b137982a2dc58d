// wireguard::wg_tunnel: the default interface toward the server, its filter adapter,
// its local addresses and the address switching on it.
#include <algorithm>
#include <cstring>

#include "address_texts.h"
#include "netaccess/address_text.h"
#include "netaccess/platform.h"
#include "netaccess/ras_links.h"
#include "server_route.h"
#include "wg_tunnel.h"

namespace wireguard
{
namespace
{
constexpr std::uint32_t if_type_ppp = 23;
constexpr std::uint16_t mtu_overhead = 80; // outer IPv6 header, UDP and WireGuard
} // namespace

bool wg_tunnel::update_default_interface()
{
    if (filter) {
        if (filter->filter_state.load() == rimcap::queued_packet_filter::state_idle) {
            filter->adapters().clear();
            filter->load_adapter_list();
        } else {
            log(log_importance::error, "[TUN]: Failed to update Norvask network interfaces \n");
        }
        // Nothing is filtered until the start sets the default adapter's mode.
        for (const auto& adapter : filter->adapters())
            adapter->set_mode(0);
    }

    default_adapter = get_best_interface();
    if (!default_adapter) {
        log(log_importance::error, "[TUN]: Failed to figure out the route to the VPN server \n");
        return false;
    }
    const iphelper::adapter_info& adapter = *default_adapter;
    log(log_importance::information, "[TUN]: Detected default interface " + adapter.adapter_name);

    select_local_addresses(adapter);
    setup_address_switching(adapter);

    if (filter) {
        const auto& adapters = filter->adapters();
        for (std::size_t i = 0; i < adapters.size(); ++i) {
            const rimcap::network_adapter& candidate = *adapters[i];
            const bool match = adapter.if_type == if_type_ppp
                                   ? iphelper::links_hold_any_address(candidate, adapter.unicast_addresses)
                                   : candidate.internal_name().find(adapter.adapter_name) != std::string::npos;
            if (!match)
                continue;
            adapter_index = i;
            // An adapter that reports no usable MTU leaves the tunnel's as it is.
            if (!mtu_configured && candidate.mtu() > mtu_overhead)
                mtu = static_cast<std::uint16_t>(candidate.mtu() - mtu_overhead);
            return true;
        }
    }
    log(log_importance::information, "[TUN]: Failed to find a matching Norvask interface for the " +
                                         adapter.adapter_name);
    return false;
}

std::optional<iphelper::adapter_info> wg_tunnel::get_best_interface() const
{
    DWORD result = NO_ERROR;
    return best_interface_toward(server_endpoint, result);
}

void wg_tunnel::select_local_addresses(const iphelper::adapter_info& adapter)
{
    const local_addresses chosen = choose_local_addresses(adapter.unicast_addresses);
    address_switching.local_ipv4_address = chosen.ipv4;
    address_switching.local_ipv6_address = chosen.ipv6;
    const std::string& name = adapter.adapter_name;
    if (chosen.has_ipv4)
        log(log_importance::information, "[TUN]: Using local IPv4 = " + ipv4_text(chosen.ipv4) + " for the " + name);
    else
        log(log_importance::information, "[TUN]: Local IPv4 address for the " + name + " not available");
    if (chosen.has_ipv6)
        log(log_importance::information, "[TUN]: Using local IPv6 = " + ipv6_text(chosen.ipv6) + " for the " + name);
    else
        log(log_importance::information, "[TUN]: Local IPv6 address for the " + name + " not available");
}

void wg_tunnel::setup_address_switching(const iphelper::adapter_info& adapter)
{
    wireguard::setup_address_switching(address_switching, adapter);
}

void wg_tunnel::remove_address_switching(std::uint8_t family) noexcept
{
    if (family == family_ipv6)
        address_switching.remove_ipv6();
    else
        address_switching.remove_ipv4();
}
} // namespace wireguard
