// Local address switching of the single-adapter tunnel.
#include "address_switching.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "netaccess/adapter_config.h"
#include "netaccess/platform.h"
#include "refused_calls.h"

namespace wireguard
{
namespace
{
constexpr std::array<std::uint8_t, 6> dummy_mac = {'_', 'd', 'u', 'm', 'm', 'y'};

ADDRESS_FAMILY family_of(const MIB_UNICASTIPADDRESS_ROW& row) noexcept { return row.Address.si_family; }
ADDRESS_FAMILY family_of(const MIB_IPNET_ROW2& row) noexcept { return row.Address.si_family; }
ADDRESS_FAMILY family_of(const MIB_IPFORWARD_ROW2& row) noexcept { return row.DestinationPrefix.Prefix.si_family; }

bool same_ip(const SOCKADDR_INET& a, const SOCKADDR_INET& b) noexcept
{
    if (a.si_family != b.si_family)
        return false;
    if (a.si_family == AF_INET)
        return a.Ipv4.sin_addr.s_addr == b.Ipv4.sin_addr.s_addr;
    return a.si_family == AF_INET6 && std::memcmp(&a.Ipv6.sin6_addr, &b.Ipv6.sin6_addr, 16) == 0;
}

// Whether two rows name the same system entry (interface and key).
bool same_entry(const MIB_UNICASTIPADDRESS_ROW& a, const MIB_UNICASTIPADDRESS_ROW& b) noexcept
{
    return a.InterfaceLuid.Value == b.InterfaceLuid.Value && same_ip(a.Address, b.Address);
}
bool same_entry(const MIB_IPNET_ROW2& a, const MIB_IPNET_ROW2& b) noexcept
{
    return a.InterfaceLuid.Value == b.InterfaceLuid.Value && same_ip(a.Address, b.Address);
}
bool same_entry(const MIB_IPFORWARD_ROW2& a, const MIB_IPFORWARD_ROW2& b) noexcept
{
    return a.InterfaceLuid.Value == b.InterfaceLuid.Value &&
           a.DestinationPrefix.PrefixLength == b.DestinationPrefix.PrefixLength &&
           same_ip(a.DestinationPrefix.Prefix, b.DestinationPrefix.Prefix) && same_ip(a.NextHop, b.NextHop);
}

// Deletes the entry, tried again at once when refused; true when it is gone (also when
// the system no longer had it).
template <class Row> bool delete_entry(DWORD (*delete_row)(const Row*), const Row& row) noexcept
{
    const DWORD result = call_until_done([&] { return delete_row(&row); },
                                         [](DWORD r) { return r == NO_ERROR || r == ERROR_NOT_FOUND; });
    if (result == NO_ERROR || result == ERROR_NOT_FOUND)
        return true;
    ::SetLastError(result);
    return false;
}

// Tries the leftovers of that family again, then takes the slot's row out of the record
// and deletes it when the tunnel made it; a refused delete leaves it among the leftovers.
template <class Row>
void remove_row(switching_row<Row>& slot, leftover_rows<Row>& leftovers, ADDRESS_FAMILY family,
                DWORD (*delete_row)(const Row*)) noexcept
{
    std::erase_if(leftovers,
                  [&](const std::unique_ptr<Row>& r) { return family_of(*r) == family && delete_entry(delete_row, *r); });
    // Detached first, so that the slot never names a row that is being deleted.
    std::unique_ptr<Row> row = std::move(slot.row);
    const bool created = std::exchange(slot.created, false);
    if (row && created && !delete_entry(delete_row, *row)) {
        try {
            leftovers.push_back(std::move(row));
        } catch (...) {
            // No memory to remember it: the entry stays on the host.
        }
    }
}

// Takes a leftover that names the same entry as the row out of the leftovers: true
// when there was one (the entry is the tunnel's own).
template <class Row> bool reclaim(leftover_rows<Row>& leftovers, const Row& row) noexcept
{
    return std::erase_if(leftovers, [&](const std::unique_ptr<Row>& r) { return same_entry(*r, row); }) != 0;
}

bool same_bytes(const SOCKADDR_STORAGE& a, ADDRESS_FAMILY family, const void* address)
{
    if (a.ss_family != family)
        return false;
    if (family == AF_INET)
        return std::memcmp(&reinterpret_cast<const sockaddr_in&>(a).sin_addr, address, 4) == 0;
    return std::memcmp(&reinterpret_cast<const sockaddr_in6&>(a).sin6_addr, address, 16) == 0;
}

bool adapter_has(const iphelper::adapter_info& adapter, ADDRESS_FAMILY family, const void* address)
{
    return std::any_of(adapter.unicast_addresses.begin(), adapter.unicast_addresses.end(),
                       [&](const SOCKADDR_STORAGE& a) { return same_bytes(a, family, address); });
}

// The record holds a unicast address row for that address that the tunnel created.
bool owns_address(const switching_row<MIB_UNICASTIPADDRESS_ROW>& slot, ADDRESS_FAMILY family, const void* address)
{
    if (!slot || !slot.created || slot.row->Address.si_family != family)
        return false;
    if (family == AF_INET)
        return std::memcmp(&slot.row->Address.Ipv4.sin_addr, address, 4) == 0;
    return std::memcmp(&slot.row->Address.Ipv6.sin6_addr, address, 16) == 0;
}

// CreateIpForwardEntry2: kept on success and when the route exists already (then the
// tunnel's own entry only when it is one of its leftovers); otherwise absent with the
// code as the thread's last error.
switching_row<MIB_IPFORWARD_ROW2> create_route(const MIB_IPFORWARD_ROW2& prepared,
                                               leftover_rows<MIB_IPFORWARD_ROW2>& leftovers)
{
    switching_row<MIB_IPFORWARD_ROW2> slot;
    auto row = std::make_unique<MIB_IPFORWARD_ROW2>(prepared);
    const DWORD result = netaccess::platform::create_ip_forward_entry2(row.get());
    if (result == NO_ERROR || result == ERROR_OBJECT_ALREADY_EXISTS) {
        slot.created = reclaim(leftovers, *row) || result == NO_ERROR;
        slot.row = std::move(row);
    } else {
        ::SetLastError(result);
    }
    return slot;
}

// CreateIpNetEntry2: kept on success, and when the entry exists already as one of the
// tunnel's leftovers; otherwise absent.
switching_row<MIB_IPNET_ROW2> create_neighbour(const MIB_IPNET_ROW2& prepared, leftover_rows<MIB_IPNET_ROW2>& leftovers)
{
    switching_row<MIB_IPNET_ROW2> slot;
    auto row = std::make_unique<MIB_IPNET_ROW2>(prepared);
    const DWORD result = netaccess::platform::create_ip_net_entry2(row.get());
    if (result == NO_ERROR || (result == ERROR_OBJECT_ALREADY_EXISTS && reclaim(leftovers, *row))) {
        slot.row = std::move(row);
        slot.created = true;
    } else {
        ::SetLastError(result);
    }
    return slot;
}

// The record holds a leftover unicast address row for that address.
bool left_over(const leftover_rows<MIB_UNICASTIPADDRESS_ROW>& leftovers, ADDRESS_FAMILY family, const void* address)
{
    return std::any_of(leftovers.begin(), leftovers.end(), [&](const auto& r) {
        if (r->Address.si_family != family)
            return false;
        return family == AF_INET ? std::memcmp(&r->Address.Ipv4.sin_addr, address, 4) == 0
                                 : std::memcmp(&r->Address.Ipv6.sin6_addr, address, 16) == 0;
    });
}

SOCKADDR_INET ipv4_socket_address(std::uint32_t address)
{
    SOCKADDR_INET a{};
    a.Ipv4.sin_family = AF_INET;
    a.Ipv4.sin_addr.s_addr = address;
    return a;
}

SOCKADDR_INET ipv6_socket_address(const std::array<std::uint8_t, 16>& address)
{
    SOCKADDR_INET a{};
    a.Ipv6.sin6_family = AF_INET6;
    std::memcpy(&a.Ipv6.sin6_addr, address.data(), 16);
    return a;
}
} // namespace

address_switching_state::~address_switching_state()
{
    remove_ipv4();
    remove_ipv6();
}

void address_switching_state::remove_ipv4() noexcept
{
    remove_row(ipv4_neighbour, leftover_neighbours, AF_INET, netaccess::platform::delete_ip_net_entry2);
    remove_row(ipv4_route, leftover_routes, AF_INET, netaccess::platform::delete_ip_forward_entry2);
    remove_row(ipv4_address, leftover_addresses, AF_INET, netaccess::platform::delete_unicast_ip_address_entry);
}

void address_switching_state::remove_ipv6() noexcept
{
    remove_row(ipv6_neighbour, leftover_neighbours, AF_INET6, netaccess::platform::delete_ip_net_entry2);
    remove_row(ipv6_route, leftover_routes, AF_INET6, netaccess::platform::delete_ip_forward_entry2);
    remove_row(ipv6_address, leftover_addresses, AF_INET6, netaccess::platform::delete_unicast_ip_address_entry);
}

bool address_switching_state::has_ipv6_tunnel_address() const noexcept
{
    return std::any_of(tunnel_ipv6_address.begin(), tunnel_ipv6_address.end(),
                       [](std::uint8_t b) { return b != 0; });
}

bool address_switching_state::any_row() const noexcept
{
    return ipv6_address || ipv6_route || ipv6_neighbour || ipv4_address || ipv4_route || ipv4_neighbour;
}

bool address_switching_state::any_leftover() const noexcept
{
    return !leftover_addresses.empty() || !leftover_routes.empty() || !leftover_neighbours.empty();
}

std::array<std::uint8_t, 6> next_hop_mac_of(const iphelper::adapter_info& adapter) noexcept
{
    return adapter.gateways.empty() ? dummy_mac : adapter.gateways.front().mac;
}

std::uint32_t ipv4_next_hop(std::uint32_t tunnel_address) noexcept
{
    auto* bytes = reinterpret_cast<std::uint8_t*>(&tunnel_address);
    bytes[3] = bytes[3] == 1 ? 254 : 1;
    return tunnel_address;
}

std::array<std::uint8_t, 16> ipv6_next_hop(const std::array<std::uint8_t, 16>& tunnel_address) noexcept
{
    std::array<std::uint8_t, 16> hop = tunnel_address;
    hop[15] = hop[15] == 1 ? 0xFF : 0x01;
    return hop;
}

local_addresses choose_local_addresses(const std::vector<SOCKADDR_STORAGE>& unicast_addresses) noexcept
{
    local_addresses chosen;
    for (const SOCKADDR_STORAGE& a : unicast_addresses) {
        if (chosen.has_ipv4 && chosen.has_ipv6)
            break;
        if (a.ss_family == AF_INET) {
            if (!chosen.has_ipv4) {
                std::memcpy(&chosen.ipv4, &reinterpret_cast<const sockaddr_in&>(a).sin_addr, 4);
                chosen.has_ipv4 = true;
            }
        } else if (a.ss_family == AF_INET6) {
            if (!chosen.has_ipv6 || chosen.ipv6[0] >= 0x40) {
                std::memcpy(chosen.ipv6.data(), &reinterpret_cast<const sockaddr_in6&>(a).sin6_addr, 16);
                chosen.has_ipv6 = true;
            }
        }
    }
    return chosen;
}

bool ipv6_switching_needed(const address_switching_state& state) noexcept
{
    return state.local_ipv6_address[0] >= 0x40 && state.has_ipv6_tunnel_address();
}

bool ipv4_switching_needed(const address_switching_state& state) noexcept
{
    const auto* local = reinterpret_cast<const std::uint8_t*>(&state.local_ipv4_address);
    const bool link_local = local[0] == 169 && local[1] == 254;
    return (state.local_ipv4_address == 0 || link_local) && state.tunnel_ipv4_address != 0;
}

MIB_IPFORWARD_ROW2 make_switching_route(const iphelper::adapter_info& adapter, const SOCKADDR_INET& next_hop)
{
    MIB_IPFORWARD_ROW2 row;
    netaccess::platform::initialize_ip_forward_entry(&row);
    const bool ipv6 = next_hop.si_family == AF_INET6;
    row.InterfaceLuid.Value = adapter.luid;
    row.InterfaceIndex = ipv6 ? adapter.ipv6_if_index : adapter.if_index;
    std::memset(&row.DestinationPrefix, 0, sizeof(row.DestinationPrefix));
    row.DestinationPrefix.Prefix.si_family = next_hop.si_family;
    row.DestinationPrefix.PrefixLength = 0;
    row.NextHop = next_hop;
    row.SitePrefixLength = 0;
    row.Metric = 1;
    row.Protocol = static_cast<NL_ROUTE_PROTOCOL>(MIB_IPPROTO_NT_STATIC);
    row.Origin = NlroManual;
    return row;
}

MIB_IPNET_ROW2 make_switching_neighbour(const iphelper::adapter_info& adapter, const SOCKADDR_INET& next_hop,
                                        const std::array<std::uint8_t, 6>& mac) noexcept
{
    MIB_IPNET_ROW2 row;
    std::memset(&row, 0, sizeof(row));
    row.Address = next_hop;
    row.InterfaceIndex = next_hop.si_family == AF_INET6 ? adapter.ipv6_if_index : adapter.if_index;
    row.InterfaceLuid.Value = adapter.luid;
    std::memcpy(row.PhysicalAddress, mac.data(), mac.size());
    row.PhysicalAddressLength = static_cast<ULONG>(mac.size());
    row.State = NlnsPermanent;
    row.IsRouter = TRUE;
    row.IsUnreachable = TRUE;
    return row;
}

void setup_address_switching(address_switching_state& state, const iphelper::adapter_info& adapter)
{
    state.next_hop_mac = next_hop_mac_of(adapter);

    if (ipv6_switching_needed(state)) {
        IN6_ADDR address;
        std::memcpy(&address, state.tunnel_ipv6_address.data(), 16);
        // The adapter's list may show the address because the tunnel put it there.
        const bool ours = owns_address(state.ipv6_address, AF_INET6, &address) ||
                          left_over(state.leftover_addresses, AF_INET6, &address);
        state.remove_ipv6();
        const SOCKADDR_INET hop = ipv6_socket_address(ipv6_next_hop(state.tunnel_ipv6_address));
        const bool existed = !ours && adapter_has(adapter, AF_INET6, &address);
        state.ipv6_address.row = iphelper::create_unicast_address(adapter, address, state.ipv6_prefix_length);
        state.ipv6_address.created = state.ipv6_address.row != nullptr &&
                                     (reclaim(state.leftover_addresses, *state.ipv6_address.row) || !existed);
        state.ipv6_route = create_route(make_switching_route(adapter, hop), state.leftover_routes);
        state.ipv6_neighbour =
            create_neighbour(make_switching_neighbour(adapter, hop, state.next_hop_mac), state.leftover_neighbours);
    }

    if (ipv4_switching_needed(state)) {
        const bool ours = owns_address(state.ipv4_address, AF_INET, &state.tunnel_ipv4_address) ||
                          left_over(state.leftover_addresses, AF_INET, &state.tunnel_ipv4_address);
        state.remove_ipv4();
        const SOCKADDR_INET hop = ipv4_socket_address(ipv4_next_hop(state.tunnel_ipv4_address));
        const bool existed = !ours && adapter_has(adapter, AF_INET, &state.tunnel_ipv4_address);
        state.ipv4_address.row =
            iphelper::create_unicast_address(adapter, state.tunnel_ipv4_address, state.ipv4_prefix_length);
        state.ipv4_address.created = state.ipv4_address.row != nullptr &&
                                     (reclaim(state.leftover_addresses, *state.ipv4_address.row) || !existed);
        state.ipv4_route = create_route(make_switching_route(adapter, hop), state.leftover_routes);
        state.ipv4_neighbour =
            create_neighbour(make_switching_neighbour(adapter, hop, state.next_hop_mac), state.leftover_neighbours);
    }
}
} // namespace wireguard
