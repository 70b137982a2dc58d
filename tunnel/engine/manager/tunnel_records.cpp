// The configuration record of the parameter records.
#include "tunnel_records.h"

#include <algorithm>
#include <string>
#include <utility>

#include "config/app_list.h"

namespace wireguard
{
std::optional<wg_config> config_from_records(const wg_interface_params* interface_params,
                                             const wg_peer_params* peer_params,
                                             const wg_extra_params* extra_params)
{
    if (interface_params == nullptr || peer_params == nullptr)
        return std::nullopt;
    const wg_interface_params& i = *interface_params;
    const wg_peer_params& p = *peer_params;
    if (i.private_key == nullptr || i.address == nullptr || p.public_key == nullptr || p.allowed_ips == nullptr ||
        p.endpoint == nullptr)
        return std::nullopt;

    wg_interface_config interface_part = make_interface_config(i.private_key, i.address);
    if (i.dns != nullptr)
        interface_part.set_dns(i.dns);

    std::optional<std::string> preshared_key;
    if (p.preshared_key != nullptr && *p.preshared_key != '\0')
        preshared_key = p.preshared_key;
    wg_peer_config peer = make_peer_config(p.public_key, std::move(preshared_key), p.allowed_ips, p.endpoint);
    if (peer.endpoint.empty())
        return std::nullopt;
    if (p.persistent_keepalive != 0)
        peer.persistent_keepalive = std::clamp<std::int32_t>(p.persistent_keepalive, 0, 65535);

    if (extra_params != nullptr) {
        const wg_extra_params& e = *extra_params;
        if (e.allowed_apps != nullptr)
            peer.allowed_apps = split_app_list_w(e.allowed_apps);
        if (e.disallowed_ips != nullptr)
            peer.set_disallowed_ips(e.disallowed_ips);
        if (e.socks5_proxy != nullptr)
            peer.set_socks5_proxy(e.socks5_proxy);
    }
    return make_config(std::move(interface_part), std::move(peer));
}
} // namespace wireguard
