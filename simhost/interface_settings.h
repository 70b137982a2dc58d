#pragma once
// The IP Helper side of a simulated adapter: how IP Helper describes its interface.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace simhost
{
// The IP Helper side of an adapter (adapter_spec::ip).
struct interface_settings {
    bool listed = true;                     // false: only the packet filter driver knows it
    std::uint32_t if_type = 6;              // IF_TYPE_ETHERNET_CSMACD; 71 Wi-Fi, 23 PPP, 24 loopback
    std::uint32_t if_index = 0;             // 0: the next free index
    std::uint64_t luid = 0;                 // 0: the next LUID of its type
    bool ipv4_enabled = true;               // IfIndex is 0 when not
    bool ipv6_enabled = true;               // Ipv6IfIndex is 0 when not
    std::uint32_t oper_status = 1;          // IfOperStatusUp; 2 down
    std::uint32_t media_connect_state = 1;  // MediaConnectStateConnected
    std::uint32_t media_type = 0;           // NdisMedium802_3
    std::uint32_t physical_medium = 14;     // NdisPhysicalMedium802_3; 9 native 802.11; 0 none
    bool hardware_interface = true;         // bit 0 of InterfaceAndOperStatusFlags
    std::uint32_t physical_address_length = 6;
    // Interface metric, added to each route's metric: 25 is what Windows gives a 1 Gbit/s
    // Ethernet adapter; the virtual adapter's is lower (virtnet_driver.h).
    std::uint32_t metric = 25;
    std::uint64_t transmit_link_speed = 1000000000;
    std::uint64_t receive_link_speed = 1000000000;
    std::wstring description;               // empty: L"Simulated adapter <if_index>"
    std::wstring friendly_name;             // empty: L"Ethernet <if_index>"
    // The friendly name is the "Name" of the adapter's Connection key in the registry, as
    // on Windows (connection_key_path); friendly_name only while there is none.
    bool name_from_connection_key = false;
    std::vector<std::string> dns_servers;   // address texts
};

// The registry key (under HKEY_LOCAL_MACHINE) that holds an adapter's connection name.
inline std::string connection_key_path(std::string_view guid)
{
    return "SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\" +
           std::string(guid) + "\\Connection";
}
} // namespace simhost
