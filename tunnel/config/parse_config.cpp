#include "parse_config.h"

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

#include "address_parsers.h"

namespace wireguard
{
namespace
{
const std::string* find_key(const config_ini::key_map& section, const char* key)
{
    const auto it = section.find(key);
    return it == section.end() ? nullptr : &it->second;
}

enum class mtu_result { ok, not_a_number, out_of_range };

// The MTU as the standard string-to-int conversion reads it (leading white space, an
// optional sign, digits, anything after the digits ignored), accepted only from 0 to
// 65535: nothing is cut down to 16 bits.
mtu_result read_mtu(std::string_view text, std::uint16_t& mtu)
{
    std::size_t i = 0;
    while (i < text.size() && std::string_view(" \t\n\v\f\r").find(text[i]) != std::string_view::npos)
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const std::size_t digits = i;
    std::uint32_t value = 0;
    bool too_large = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + static_cast<std::uint32_t>(text[i] - '0');
        if (value > 65535) {
            too_large = true;
            value = 65536; // stays above the bound without overflowing
        }
    }
    if (i == digits)
        return mtu_result::not_a_number;
    if (too_large || (negative && value != 0))
        return mtu_result::out_of_range;
    mtu = static_cast<std::uint16_t>(value);
    return mtu_result::ok;
}
} // namespace

std::optional<wg_config> parse_config(const config_ini& ini)
{
    const auto interface_it = ini.sections.find("Interface");
    if (interface_it == ini.sections.end()) {
        ini.log("Interface section is not present!");
        return std::nullopt;
    }
    const auto peer_it = ini.sections.find("Peer");
    if (peer_it == ini.sections.end()) {
        ini.log("Peer section is not present!");
        return std::nullopt;
    }
    const config_ini::key_map& interface_keys = interface_it->second;
    const config_ini::key_map& peer_keys = peer_it->second;

    const std::string* private_key = find_key(interface_keys, "PrivateKey");
    if (!private_key) {
        ini.log("[Interface].PrivateKey is not present!");
        return std::nullopt;
    }
    const std::string* address = find_key(interface_keys, "Address");
    if (!address) {
        ini.log("[Interface].Address is not present!");
        return std::nullopt;
    }
    const std::string* public_key = find_key(peer_keys, "PublicKey");
    if (!public_key) {
        ini.log("[Peer].PublicKey is not present!");
        return std::nullopt;
    }
    const std::string* allowed_ips = find_key(peer_keys, "AllowedIPs");
    if (!allowed_ips) {
        ini.log("[Peer].AllowedIPs is not present!");
        return std::nullopt;
    }
    const std::string* endpoint = find_key(peer_keys, "Endpoint");
    if (!endpoint) {
        ini.log("[Peer].Endpoint is not present!");
        return std::nullopt;
    }

    std::optional<std::string> preshared_key;
    if (const std::string* value = find_key(peer_keys, "PresharedKey"))
        preshared_key = *value;

    wg_peer_config peer =
        make_peer_config(*public_key, std::move(preshared_key), *allowed_ips, *endpoint);
    wg_interface_config interface = make_interface_config(*private_key, *address);
    wg_config config = make_config(std::move(interface), std::move(peer));

    if (config.peer_config.endpoint.empty()) {
        ini.log("[Peer].Endpoint is either invalid of failed to resolve!");
        return std::nullopt;
    }

    wg_interface_config& iface = config.interface_config;
    wg_peer_config& peer_config = config.peer_config;

    if (const std::string* value = find_key(interface_keys, "MTU")) {
        switch (read_mtu(*value, iface.mtu)) {
        case mtu_result::ok:
            break;
        case mtu_result::not_a_number:
            ini.log("[Interface].MTU is not a number!");
            return std::nullopt;
        case mtu_result::out_of_range:
            ini.log("[Interface].MTU is out of range (0 to 65535)!");
            return std::nullopt;
        }
    }
    if (const std::string* value = find_key(interface_keys, "DNS"))
        iface.set_dns(*value);
    if (const std::string* value = find_key(interface_keys, "EnableDefaultGateway"))
        iface.enable_default_gateway = *value == "true";

    if (const std::string* value = find_key(peer_keys, "PersistentKeepalive")) {
        // Digits only; a value that is not a number, or that does not fit the 16 bits
        // the tunnel works with, keeps the default.
        std::int32_t seconds = 0;
        const char* first = value->data();
        if (parse_decimal(first, first + value->size(), seconds).ec == std::errc()
            && static_cast<std::uint32_t>(seconds) <= 65535)
            peer_config.persistent_keepalive = seconds;
    }
    if (const std::string* value = find_key(peer_keys, "AllowedApps"))
        peer_config.set_allowed_apps(*value);
    if (const std::string* value = find_key(peer_keys, "DisallowedApps"))
        peer_config.set_disallowed_apps(*value);
    if (const std::string* value = find_key(peer_keys, "DisallowedIPs"))
        peer_config.set_disallowed_ips(*value);
    // After DisallowedIPs: the proxy's host prefixes follow its items.
    if (const std::string* value = find_key(peer_keys, "Socks5Proxy"))
        peer_config.set_socks5_proxy(*value);
    if (const std::string* value = find_key(peer_keys, "Socks5ProxyUsername"))
        peer_config.socks5_username = *value;
    if (const std::string* value = find_key(peer_keys, "Socks5ProxyPassword"))
        peer_config.socks5_password = *value;

    return config;
}
} // namespace wireguard
