#pragma once
// The machine's network interfaces as IP Helper sees them.
//
// An adapter_info and a filter adapter (rimcap::network_adapter) denote the same
// interface when the filter adapter's internal name contains the adapter name (the
// interface GUID text).
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "win32.h"

namespace iphelper
{
// A gateway of an interface and its MAC address (zero until resolved).
struct gateway {
    SOCKADDR_STORAGE address{};
    std::array<std::uint8_t, 6> mac{};
};

struct adapter_info {
    std::uint32_t if_index = 0;      // IfIndex
    std::uint32_t ipv6_if_index = 0; // Ipv6IfIndex
    std::string adapter_name;        // the interface GUID as text
    GUID hardware_interface{};       // InterfaceGuid of the underlying hardware interface
    std::wstring description;
    std::wstring friendly_name;
    std::vector<SOCKADDR_STORAGE> unicast_addresses; // in the list's order
    std::vector<SOCKADDR_STORAGE> dns_servers;
    std::vector<gateway> gateways;
    std::array<std::uint8_t, 6> mac{};
    std::uint16_t mtu = 0;
    std::uint32_t if_type = 0;
    std::uint64_t transmit_link_speed = 0;
    std::uint64_t receive_link_speed = 0;
    std::uint64_t luid = 0;
    std::uint32_t media_type = 0;           // of the interface's MIB_IF_ROW2
    std::uint32_t physical_medium_type = 0; // of the interface's MIB_IF_ROW2
    std::uint32_t underlying_physical_medium = 0;
};

// The usable interfaces: up, not software loopback, with at least one unicast address.
// On an IP Helper failure the list is empty and the code is in the thread's last error.
std::vector<adapter_info> get_ip_adapters();

// The interface with that LUID, whatever its state; empty when it is not found or a
// query fails (the code in the thread's last error).
std::optional<adapter_info> get_adapter_by_luid(NET_LUID luid);

// Whether the system's interface table has an interface with that LUID; empty when the
// table cannot be read (the code in the thread's last error).
std::optional<bool> interface_exists(NET_LUID luid);
} // namespace iphelper
