#include "ras_links.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "address_text.h"
#include "driver_records.h"
#include "rimcap.h"
#include "wan_adapters.h"

namespace iphelper
{
namespace
{
constexpr std::size_t ipv4_address_offset = 608;
constexpr std::size_t ipv6_interface_id_offset = 612;

template <class T> T load(const std::uint8_t* at)
{
    T value{};
    std::memcpy(&value, at, sizeof(T));
    return value;
}

wan_link read_link(const std::uint8_t* entry, std::uint32_t wan_kind)
{
    wan_link link;
    link.link_speed = load<std::uint32_t>(entry);
    link.maximum_total_size = static_cast<std::uint16_t>(load<std::uint32_t>(entry + 4));
    std::memcpy(link.remote_address.data(), entry + 8, 6);
    std::memcpy(link.local_address.data(), entry + 14, 6);
    if (wan_kind == rimcap::wan_kind_ip) {
        auto& address = reinterpret_cast<sockaddr_in&>(link.address);
        address.sin_family = AF_INET;
        std::memcpy(&address.sin_addr, entry + ipv4_address_offset, 4);
    } else {
        auto& address = reinterpret_cast<sockaddr_in6&>(link.address);
        address.sin6_family = AF_INET6;
        std::memcpy(reinterpret_cast<std::uint8_t*>(&address.sin6_addr) + 8,
                    entry + ipv6_interface_id_offset, 8);
    }
    return link;
}
} // namespace

std::optional<std::vector<wan_link>> get_ras_links(const rimcap::network_adapter& adapter)
{
    const std::uint32_t kind = adapter.wan_kind();
    if (kind == rimcap::wan_kind_none || adapter.owner() == nullptr)
        return std::nullopt;

    auto buffer = std::make_unique<std::uint8_t[]>(ras_link_buffer_size); // zeroed
    std::uint64_t handle = adapter.handle();
    if (!adapter.owner()->device_io_control(rimcap::ioctl::get_ras_links, &handle, sizeof(handle),
                                            buffer.get(),
                                            static_cast<DWORD>(ras_link_list_size)))
        return std::nullopt;

    // The driver's count is not trusted beyond the 256 entries that the list holds.
    const std::size_t count =
        std::min<std::size_t>(load<std::uint32_t>(buffer.get()), max_ras_links);
    if (count == 0)
        return std::nullopt;
    if (kind != rimcap::wan_kind_ip && kind != rimcap::wan_kind_ipv6)
        return std::nullopt;

    std::vector<wan_link> links;
    links.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        links.push_back(read_link(buffer.get() + 4 + i * ras_link_entry_size, kind));
    return links;
}
bool links_hold_any_address(const rimcap::network_adapter& adapter, const std::vector<SOCKADDR_STORAGE>& addresses)
{
    const auto links = get_ras_links(adapter);
    if (!links)
        return false;
    return std::any_of(links->begin(), links->end(), [&](const wan_link& link) {
        return std::any_of(addresses.begin(), addresses.end(),
                           [&](const SOCKADDR_STORAGE& address) { return same_address(link.address, address); });
    });
}
} // namespace iphelper
