#pragma once
// Local address switching of the single-adapter tunnel on its default adapter.
//
// When the default adapter has no usable address of a family that the tunnel carries
// (no IPv4 address or only a link-local one; only link-local or unique-local IPv6
// addresses), the tunnel gives the adapter its own tunnel address, a default route
// through a made-up next hop in the tunnel's prefix and a permanent neighbour entry for
// that next hop, so that the stack has a source address and a route of that family
// and hands such packets to the adapter, where the tunnel takes them.
//
// The record owns the rows it created; removing a family deletes its neighbour, route
// and address rows from the system, in that order, and frees them. A row that the
// system already held before the tunnel asked for it (an existing route or address) is
// kept in the record like the others but is never deleted from the system: the tunnel
// leaves the host with exactly the entries it found.
//
// A delete that the system refuses is tried again a few times at once; a row whose
// delete still fails stays the tunnel's, among the record's leftovers: every later
// removal of its family and the record's destruction try again, and a create that
// finds it still in place (ERROR_OBJECT_ALREADY_EXISTS) takes it back as the tunnel's
// own rather than as one the host had.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "netaccess/adapter_info.h"
#include "win32.h"

namespace wireguard
{
template <class Row> struct switching_row {
    std::unique_ptr<Row> row; // null when absent
    bool created = false;     // the tunnel made the system entry (and deletes it again)

    explicit operator bool() const noexcept { return row != nullptr; }
};

// Rows of the tunnel whose delete the system refused.
template <class Row> using leftover_rows = std::vector<std::unique_ptr<Row>>;

struct address_switching_state {
    switching_row<MIB_UNICASTIPADDRESS_ROW> ipv6_address;
    switching_row<MIB_IPFORWARD_ROW2> ipv6_route;
    switching_row<MIB_IPNET_ROW2> ipv6_neighbour;
    switching_row<MIB_UNICASTIPADDRESS_ROW> ipv4_address;
    switching_row<MIB_IPFORWARD_ROW2> ipv4_route;
    switching_row<MIB_IPNET_ROW2> ipv4_neighbour;
    std::uint32_t tunnel_ipv4_address = 0;           // network order, 0 = none
    std::array<std::uint8_t, 16> tunnel_ipv6_address{}; // all zero = none
    std::uint8_t ipv4_prefix_length = 0;
    std::uint8_t ipv6_prefix_length = 0;
    std::uint32_t local_ipv4_address = 0; // network order
    std::array<std::uint8_t, 16> local_ipv6_address{};
    std::array<std::uint8_t, 6> next_hop_mac{};
    leftover_rows<MIB_UNICASTIPADDRESS_ROW> leftover_addresses;
    leftover_rows<MIB_IPFORWARD_ROW2> leftover_routes;
    leftover_rows<MIB_IPNET_ROW2> leftover_neighbours;

    address_switching_state() = default;
    address_switching_state(const address_switching_state&) = delete;
    address_switching_state& operator=(const address_switching_state&) = delete;
    // Removes what is left: the IPv4 set, then the IPv6 set.
    ~address_switching_state();

    // Neighbour, route, unicast address of that family, each followed by the leftovers
    // of its kind and family; absent rows are skipped.
    void remove_ipv4() noexcept;
    void remove_ipv6() noexcept;

    bool has_ipv6_tunnel_address() const noexcept;
    // Any row of either family present (leftovers not counted).
    bool any_row() const noexcept;
    bool any_leftover() const noexcept;
};

// The MAC of the adapter's first gateway, or the text "_dummy" when it has none.
std::array<std::uint8_t, 6> next_hop_mac_of(const iphelper::adapter_info& adapter) noexcept;

// The made-up next hop: the tunnel address with its last byte 254 (IPv4) or 0xFF (IPv6)
// when that byte is 1, else 1.
std::uint32_t ipv4_next_hop(std::uint32_t tunnel_address) noexcept;
std::array<std::uint8_t, 16> ipv6_next_hop(const std::array<std::uint8_t, 16>& tunnel_address) noexcept;

// The local addresses of the adapter: the first IPv4 address, and an IPv6 address after
// the walk rule (an address below 0x40 in its first byte stays once taken; one of the
// upper range is replaced by any later IPv6 address; the walk stops when both families
// have one).
struct local_addresses {
    std::uint32_t ipv4 = 0; // network order, 0 = none
    std::array<std::uint8_t, 16> ipv6{};
    bool has_ipv4 = false;
    bool has_ipv6 = false;
};
local_addresses choose_local_addresses(const std::vector<SOCKADDR_STORAGE>& unicast_addresses) noexcept;

// Whether a family needs switching on that adapter: IPv6 when the local IPv6 address's
// first byte is 0x40 or more and the tunnel has an IPv6 address; IPv4 when the local
// IPv4 address is 0 or link-local (169.254/16) and the tunnel has an IPv4 address.
bool ipv6_switching_needed(const address_switching_state& state) noexcept;
bool ipv4_switching_needed(const address_switching_state& state) noexcept;

// The default route and the neighbour entry of a family, as they are handed to IP
// Helper. The route row is prepared by InitializeIpForwardEntry.
MIB_IPFORWARD_ROW2 make_switching_route(const iphelper::adapter_info& adapter, const SOCKADDR_INET& next_hop);
MIB_IPNET_ROW2 make_switching_neighbour(const iphelper::adapter_info& adapter, const SOCKADDR_INET& next_hop,
                                        const std::array<std::uint8_t, 6>& mac) noexcept;

// Sets up switching on the adapter: next_hop_mac, then IPv6 and IPv4 as needed (each
// family's old rows removed first). Refused IP Helper calls leave their row absent.
void setup_address_switching(address_switching_state& state, const iphelper::adapter_info& adapter);
} // namespace wireguard
