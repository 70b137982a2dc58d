#pragma once
// The parsed tunnel configuration: the tunnel's own interface and its one peer. Keys
// stay base64 text here; the engine decodes them.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ip_types.h"

namespace wireguard
{
struct wg_interface_config
{
    std::uint16_t mtu = 0; // 0: not set, the engine chooses
    std::string private_key;
    std::vector<ip_subnet> address;
    std::vector<ip_address> dns;
    bool enable_default_gateway = false;

    // DNS: the list of server addresses; replaces `dns`.
    void set_dns(std::string_view text);
};

struct wg_peer_config
{
    std::string public_key;
    std::optional<std::string> preshared_key;
    std::vector<ip_subnet> allowed_ips;
    std::vector<ip_endpoint> endpoint; // every resolved address; the first is the server
    std::int32_t persistent_keepalive = 25;
    std::vector<std::wstring> allowed_apps;    // upper case
    std::vector<std::wstring> disallowed_apps; // upper case
    std::vector<ip_subnet> disallowed_ips;
    std::vector<ip_endpoint> socks5_proxy;
    std::optional<std::string> socks5_username;
    std::optional<std::string> socks5_password;

    // Each setter replaces its whole field.
    void set_allowed_apps(std::string_view text);
    void set_disallowed_apps(std::string_view text);
    void set_disallowed_ips(std::string_view text);
    // Resolves the proxy into `socks5_proxy` and appends a host prefix of each of its
    // addresses to `disallowed_ips`, so traffic to the proxy never enters the tunnel.
    void set_socks5_proxy(std::string_view text);
};

struct wg_config
{
    wg_interface_config interface_config;
    wg_peer_config peer_config;
};

wg_interface_config make_interface_config(std::string private_key, std::string_view address);

// Resolves the endpoint (may block in name resolution).
wg_peer_config make_peer_config(std::string public_key, std::optional<std::string> preshared_key,
                                std::string_view allowed_ips, std::string_view endpoint);

wg_config make_config(wg_interface_config interface_config, wg_peer_config peer_config);
} // namespace wireguard
