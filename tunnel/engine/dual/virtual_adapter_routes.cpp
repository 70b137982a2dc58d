// The routes into the Lorrivan virtual adapter.
#include "virtual_adapter_routes.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <mutex>

#include "netaccess/platform.h"

namespace wireguard
{
namespace
{
constexpr DWORD object_already_exists = 5010; // ERROR_OBJECT_ALREADY_EXISTS

bool created(DWORD result)
{
    return result == NO_ERROR || result == object_already_exists;
}

const std::uint8_t* prefix_address(const ip_subnet& prefix)
{
    return prefix.family == family_ipv6 ? prefix.require_ipv6().address.data() : prefix.require_ipv4().address.data();
}

// AllowedIPs holds the family's whole address space (0.0.0.0/0 or ::/0).
bool holds_everything(const std::vector<ip_subnet>& allowed_ips, std::uint8_t family)
{
    const std::size_t size = family == family_ipv6 ? 16 : 4;
    return std::any_of(allowed_ips.begin(), allowed_ips.end(), [&](const ip_subnet& prefix) {
        if (prefix.family != family || prefix_length_from_mask(prefix) != 0)
            return false;
        const std::uint8_t* address = prefix_address(prefix);
        return std::all_of(address, address + size, [](std::uint8_t b) { return b == 0; });
    });
}

// The family's default route and prefix routes, with the route lock held.
void route_family(wg_virtnet_adapter& adapter, const iphelper::adapter_info& info,
                  const std::vector<ip_subnet>& allowed_ips, bool default_route, std::uint8_t family)
{
    const bool ipv6 = family == family_ipv6;
    std::vector<route_row>& prefix_rows = ipv6 ? adapter.ipv6_routes() : adapter.ipv4_routes();
    if (!(ipv6 ? adapter.has_ipv6_address() : adapter.has_ipv4_address()) || !prefix_rows.empty())
        return;

    if (default_route && !holds_everything(allowed_ips, family)) {
        static constexpr std::uint8_t unspecified[16] = {};
        route_row row = make_route_row(info, family, unspecified, 0, default_route_metric);
        ::SetLastError(0);
        const DWORD result = netaccess::platform::create_ip_forward_entry2(row.get());
        if (created(result))
            (ipv6 ? adapter.ipv6_default_route() : adapter.ipv4_default_route()) = std::move(row);
        else
            ::SetLastError(result);
    }

    std::vector<route_row> rows = add_prefix_routes(info, allowed_ips, family);
    for (auto& row : rows)
        prefix_rows.push_back(std::move(row));
}
} // namespace

std::uint8_t prefix_length_from_mask(const ip_subnet& prefix) noexcept
{
    const auto count = [](const auto& mask) {
        int bits = 0;
        for (const std::uint8_t b : mask)
            bits += std::popcount(b);
        return static_cast<std::uint8_t>(bits);
    };
    if (prefix.family == family_ipv6)
        return count(std::get<ipv6_subnet>(prefix.subnet).mask);
    return count(std::get<ipv4_subnet>(prefix.subnet).mask);
}

route_row make_route_row(const iphelper::adapter_info& adapter, std::uint8_t family, const std::uint8_t* address,
                         std::uint8_t prefix_length, ULONG metric)
{
    auto row = std::make_unique<MIB_IPFORWARD_ROW2>();
    netaccess::platform::initialize_ip_forward_entry(row.get());
    const bool ipv6 = family == family_ipv6;
    row->InterfaceLuid.Value = adapter.luid;
    row->InterfaceIndex = ipv6 ? adapter.ipv6_if_index : adapter.if_index;
    SOCKADDR_INET& destination = row->DestinationPrefix.Prefix;
    if (ipv6) {
        destination.Ipv6.sin6_family = AF_INET6;
        std::memcpy(&destination.Ipv6.sin6_addr, address, 16);
    } else {
        destination.Ipv4.sin_family = AF_INET;
        std::memcpy(&destination.Ipv4.sin_addr, address, 4);
    }
    row->DestinationPrefix.PrefixLength = prefix_length;
    row->NextHop = SOCKADDR_INET{};
    row->NextHop.si_family = ipv6 ? AF_INET6 : AF_INET;
    row->SitePrefixLength = 0;
    row->Metric = metric;
    row->Protocol = static_cast<NL_ROUTE_PROTOCOL>(static_route_protocol);
    row->Origin = NlroManual;
    return row;
}

std::vector<route_row> add_prefix_routes(const iphelper::adapter_info& adapter, const std::vector<ip_subnet>& allowed_ips,
                                         std::uint8_t family)
{
    std::vector<route_row> rows;
    for (const ip_subnet& prefix : allowed_ips) {
        if (prefix.family != family)
            continue;
        route_row row =
            make_route_row(adapter, family, prefix_address(prefix), prefix_length_from_mask(prefix), prefix_route_metric);
        const DWORD result = netaccess::platform::create_ip_forward_entry2(row.get());
        if (created(result))
            rows.push_back(std::move(row));
        else if (family == family_ipv4)
            ::SetLastError(result);
    }
    return rows;
}

bool enable_default_gateway(wg_virtnet_adapter& adapter, const std::vector<ip_subnet>& allowed_ips,
                            bool default_route)
{
    const std::optional<iphelper::adapter_info>& info = adapter.adapter_information();
    if (!info)
        return false;
    std::lock_guard lock(adapter.route_lock());
    route_family(adapter, *info, allowed_ips, default_route, family_ipv6);
    route_family(adapter, *info, allowed_ips, default_route, family_ipv4);
    return !adapter.ipv6_routes().empty() || !adapter.ipv4_routes().empty();
}
} // namespace wireguard
