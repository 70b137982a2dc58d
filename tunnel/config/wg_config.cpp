#include "wg_config.h"

#include <algorithm>
#include <utility>

#include "address_parsers.h"
#include "app_list.h"

namespace wireguard
{
void wg_interface_config::set_dns(std::string_view text)
{
    dns = parse_ip_list(text);
}

void wg_peer_config::set_allowed_apps(std::string_view text)
{
    allowed_apps = split_app_list(text);
}

void wg_peer_config::set_disallowed_apps(std::string_view text)
{
    disallowed_apps = split_app_list(text);
}

void wg_peer_config::set_disallowed_ips(std::string_view text)
{
    disallowed_ips = parse_prefix_list(text);
}

void wg_peer_config::set_socks5_proxy(std::string_view text)
{
    socks5_proxy = resolve_endpoint(text);
    for (const ip_endpoint& proxy : socks5_proxy) {
        ip_subnet host;
        host.family = proxy.family;
        if (proxy.family == family_ipv4) {
            ipv4_subnet v4;
            std::copy_n(proxy.address.begin(), v4.address.size(), v4.address.begin());
            v4.mask.fill(0xFF);
            host.subnet = v4;
        } else {
            ipv6_subnet v6;
            v6.address = proxy.address;
            v6.mask.fill(0xFF);
            host.subnet = v6;
        }
        disallowed_ips.push_back(host);
    }
}

wg_interface_config make_interface_config(std::string private_key, std::string_view address)
{
    wg_interface_config config;
    config.private_key = std::move(private_key);
    config.address = parse_prefix_list(address);
    return config;
}

wg_peer_config make_peer_config(std::string public_key, std::optional<std::string> preshared_key,
                                std::string_view allowed_ips, std::string_view endpoint)
{
    wg_peer_config config;
    config.public_key = std::move(public_key);
    config.preshared_key = std::move(preshared_key);
    config.allowed_ips = parse_prefix_list(allowed_ips);
    config.endpoint = resolve_endpoint(endpoint);
    return config;
}

wg_config make_config(wg_interface_config interface_config, wg_peer_config peer_config)
{
    return wg_config{std::move(interface_config), std::move(peer_config)};
}
} // namespace wireguard
