#pragma once
// Parsers of the configuration's address values: comma-separated lists of prefixes
// and addresses, and endpoints (host, colon, port). Nothing here logs or throws on bad
// input: an item that does not convert is dropped, and an endpoint that cannot be
// used gives an empty list; the caller decides what an empty result means.
#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ip_types.h"
#include "list_split.h"

namespace wireguard
{
// One prefix ("10.0.0.2/32", "fd00::/64", or an address alone for a host prefix),
// appended to `list` when valid.
void parse_prefix(std::string_view item, std::vector<ip_subnet>& list);

// Address, AllowedIPs, DisallowedIPs: every valid prefix of the list, in order.
std::vector<ip_subnet> parse_prefix_list(std::string_view text);

// DNS: every item that is an IPv4 or IPv6 literal, in order.
std::vector<ip_address> parse_ip_list(std::string_view text);

// Endpoint and Socks5Proxy: "host:port", where host is an IPv4 literal, an IPv6
// literal (bare or in brackets) or a name for the system resolver. Every resolved
// address in resolution order; empty on any failure. Blocks while a name resolves
// (Winsock must be started).
std::vector<ip_endpoint> resolve_endpoint(std::string_view text);

// The standard from-characters conversion of an unsigned 32-bit decimal number. The
// 32 bits are stored in `out`, which is written only on success.
std::from_chars_result parse_decimal(const char* first, const char* last, std::int32_t& out);
} // namespace wireguard
