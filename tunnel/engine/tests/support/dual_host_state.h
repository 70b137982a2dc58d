#pragma once
// What the dual tunnel may change on the simulated host: the host network (addresses,
// routes, neighbours), the virtual adapter's NameServer values of both stacks, its
// activation, and the packet filter modes of the physical and the virtual adapter. Two
// states compare equal when the tunnel left nothing behind.
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "host.h"
#include "host_network.h"
#include "packet_driver.h"
#include "virtnet_driver.h"
#include "win32.h"

namespace tunnel_test
{
struct dual_host_state {
    simhost::network_snapshot network;
    std::optional<std::string> ipv4_name_server;
    std::optional<std::string> ipv6_name_server;
    bool activated = false;
    std::uint32_t physical_mode = 0;
    std::uint32_t virtual_mode = 0;
    bool operator==(const dual_host_state&) const = default;
};

inline void PrintTo(const dual_host_state& s, std::ostream* out)
{
    *out << s.network << " NameServer " << s.ipv4_name_server.value_or("(none)") << " / "
         << s.ipv6_name_server.value_or("(none)") << (s.activated ? ", activated" : ", not activated")
         << ", modes " << s.physical_mode << " / " << s.virtual_mode;
}

// The NameServer value of a stack ("Tcpip" or "Tcpip6") of the adapter's interface.
inline std::optional<std::string> name_server(const char* stack, const simhost::adapter& virtual_adapter)
{
    const std::string path = std::string("SYSTEM\\CurrentControlSet\\Services\\") + stack +
                             "\\Parameters\\Interfaces\\" + virtual_adapter.guid;
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::nullopt;
    char data[1024] = {};
    DWORD size = sizeof(data) - 1;
    const LONG result = ::RegQueryValueExA(key, "NameServer", nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
    ::RegCloseKey(key);
    if (result != ERROR_SUCCESS)
        return std::nullopt;
    return std::string(data);
}

inline dual_host_state read_dual_host_state(const simhost::adapter& physical, const simhost::adapter& virtual_adapter)
{
    const auto& driver = simhost::packet_driver::instance();
    return {simhost::host_network::instance().snapshot(),
            name_server("Tcpip", virtual_adapter),
            name_server("Tcpip6", virtual_adapter),
            simhost::virtnet_driver::instance().activated(),
            driver.mode(physical.filter_handle),
            driver.mode(virtual_adapter.filter_handle)};
}

// The routes into an adapter as "destination metric protocol origin next-hop" texts.
inline std::vector<std::string> route_texts(const simhost::network_snapshot& snapshot, const std::string& guid)
{
    std::vector<std::string> list;
    for (const auto& r : snapshot.routes)
        if (r.guid == guid)
            list.push_back(r.destination + " " + std::to_string(r.metric) + " " + std::to_string(r.protocol) + " " +
                           std::to_string(r.origin) + " [" + r.next_hop + "]");
    return list;
}

inline std::vector<std::string> address_texts(const simhost::network_snapshot& snapshot, const std::string& guid)
{
    std::vector<std::string> list;
    for (const auto& r : snapshot.addresses)
        if (r.guid == guid)
            list.push_back(r.address + "/" + std::to_string(r.prefix_length));
    return list;
}
} // namespace tunnel_test
