#pragma once
// The RAS links behind a WAN filter adapter, from the packet filter driver.
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "network_adapter.h"
#include "win32.h"

namespace iphelper
{
inline constexpr std::size_t max_ras_links = 256;
inline constexpr std::size_t ras_link_entry_size = 2072;
inline constexpr std::size_t ras_link_list_size =
    4 + max_ras_links * ras_link_entry_size; // 530,436
inline constexpr std::size_t ras_link_buffer_size = 530440;

struct wan_link {
    std::uint32_t link_speed = 0;
    std::uint16_t maximum_total_size = 0; // low 16 bits of the driver's value
    std::array<std::uint8_t, 6> remote_address{};
    std::array<std::uint8_t, 6> local_address{};
    // The link's IPv4 address (IPv4 WAN adapter), or an IPv6 address of eight zero bytes
    // and the link's interface identifier (IPv6 WAN adapter); port 0.
    SOCKADDR_STORAGE address{};
};

// Empty when the adapter is not a WAN adapter, the device is absent, the driver refuses,
// or no link was found. At most 256 links, whatever count the driver reports.
std::optional<std::vector<wan_link>> get_ras_links(const rimcap::network_adapter& adapter);

// True when one of the adapter's RAS links has one of the addresses (same_address of
// address_text.h): the WAN filter adapter behind a PPP interface with those addresses.
bool links_hold_any_address(const rimcap::network_adapter& adapter, const std::vector<SOCKADDR_STORAGE>& addresses);
} // namespace iphelper
