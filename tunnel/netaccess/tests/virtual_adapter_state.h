#pragma once
// What the virtual adapter object may change on the simulated host: the host network,
// the interface's NameServer values of both stacks and the adapter's activation; and
// the registry and row texts the tests compare. No test framework here: the exit
// scenario's library uses it too.
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "host_network.h"
#include "virtnet_driver.h"
#include "win32.h"

namespace test_support
{
// An interface's key of the IPv4 ("Tcpip") or IPv6 ("Tcpip6") stack.
inline std::string interface_key(const char* stack, const std::string& guid)
{
    return std::string("SYSTEM\\CurrentControlSet\\Services\\") + stack + "\\Parameters\\Interfaces\\" + guid;
}

// A string value under HKEY_LOCAL_MACHINE as stored (up to 4096 bytes, cut at the first
// zero); empty when the key or the value is missing.
inline std::optional<std::string> registry_text(const std::string& path, const char* value)
{
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::nullopt;
    std::vector<char> data(4097, '\0');
    DWORD size = 4096;
    const LONG result = ::RegQueryValueExA(key, value, nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &size);
    ::RegCloseKey(key);
    if (result != ERROR_SUCCESS)
        return std::nullopt;
    return std::string(data.data());
}

// An adapter's rows in a snapshot: addresses as "address/length", routes as
// "destination metric protocol origin [next hop]".
inline std::vector<std::string> address_texts(const simhost::network_snapshot& snapshot, const std::string& guid)
{
    std::vector<std::string> list;
    for (const auto& r : snapshot.addresses)
        if (r.guid == guid)
            list.push_back(r.address + "/" + std::to_string(r.prefix_length));
    return list;
}

inline std::vector<std::string> route_texts(const simhost::network_snapshot& snapshot, const std::string& guid)
{
    std::vector<std::string> list;
    for (const auto& r : snapshot.routes)
        if (r.guid == guid)
            list.push_back(r.destination + " " + std::to_string(r.metric) + " " + std::to_string(r.protocol) + " " +
                           std::to_string(r.origin) + " [" + r.next_hop + "]");
    return list;
}

struct virtual_adapter_state {
    simhost::network_snapshot network;
    std::optional<std::string> ipv4_name_server;
    std::optional<std::string> ipv6_name_server;
    bool activated = false;
    bool operator==(const virtual_adapter_state&) const = default;
};

inline void PrintTo(const virtual_adapter_state& s, std::ostream* out)
{
    *out << s.network << " NameServer " << s.ipv4_name_server.value_or("(none)") << " / "
         << s.ipv6_name_server.value_or("(none)") << (s.activated ? ", activated" : ", not activated");
}

inline virtual_adapter_state read_virtual_adapter_state(const simhost::adapter& virtual_adapter)
{
    return {simhost::host_network::instance().snapshot(),
            registry_text(interface_key("Tcpip", virtual_adapter.guid), "NameServer"),
            registry_text(interface_key("Tcpip6", virtual_adapter.guid), "NameServer"),
            simhost::virtnet_driver::instance().activated()};
}
} // namespace test_support
