#pragma once
// The configuration record that tdl_create_tunnel and tdlp_create_tunnel build from the
// caller's three parameter records.
#include <optional>

#include "config/wg_config.h"
#include "tundrel.h"

namespace wireguard
{
// In this order: the interface part (MTU 0, the private key as text, Address parsed as
// a prefix list, DNS parsed only when given, no default gateway); the peer part as the
// configuration file's is made (the endpoint resolved), with PersistentKeepalive
// replacing the default of 25 when non-zero, clamped to 0..65535; then, when the extra
// record is given, AllowedApps, DisallowedIPs and the SOCKS5 proxy (whose host
// prefixes follow the DisallowedIPs items).
//
// Empty when the interface or peer record is null, when a required text (private key,
// address, public key, AllowedIPs, endpoint) is null, or when the endpoint resolves to
// no address. A null or empty preshared key means that there is none: the caller has
// no other way to say so.
std::optional<wg_config> config_from_records(const wg_interface_params* interface_params,
                                             const wg_peer_params* peer_params,
                                             const wg_extra_params* extra_params);
} // namespace wireguard
