#pragma once
// The simulated host's network adapters. An adapter is a host-level object known by its
// GUID; the packet filter driver lists it under its internal name ("\DEVICE\{GUID}",
// or one of the fixed WAN names) and a driver handle, and the host network model
// (host_network.h) shows it to IP Helper as an interface with that GUID as its adapter
// name. Every model of the simulated host that knows adapters keys them by the GUID.
#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "interface_settings.h"

namespace simhost
{
using mac_address = std::array<std::uint8_t, 6>;

// The driver's internal names of the Windows WAN adapters.
inline constexpr const char* ndiswan_ip_name = "\\DEVICE\\NDISWANIP";
inline constexpr const char* ndiswan_ipv6_name = "\\DEVICE\\NDISWANIPV6";
inline constexpr const char* ndiswan_monitor_name = "\\DEVICE\\NDISWANBH";

struct adapter_spec {
    std::string guid;        // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"; empty: a fresh one
    std::string driver_name; // the packet filter driver's name; empty: "\DEVICE\" + guid
    mac_address mac{};       // all zero: a fresh locally administered address
    std::uint16_t mtu = 1500;
    std::uint32_t medium = 0;
    bool filtered = true;    // bound by the packet filter driver (listed by it)
    interface_settings ip;   // the interface that IP Helper shows
};

struct adapter {
    std::string guid;
    std::string driver_name;
    mac_address mac{};
    std::uint16_t mtu = 0;
    std::uint32_t medium = 0;
    std::uint64_t filter_handle = 0; // the packet filter driver's handle; 0 when not bound
    std::uint64_t luid = 0;          // the IP interface's LUID; 0 when IP Helper does not list it
    std::uint32_t if_index = 0;      // the IP interface's index; 0 likewise
};

class host
{
public:
    static host& instance();

    // Removes every adapter and resets every simulated driver (the virtual adapter driver
    // is unloaded), the host network and the socket owners.
    void reset();

    // Adds an adapter; the packet filter driver binds it (handle assigned, its
    // adapter-list change event signalled) and the host network adds its interface
    // (no addresses or routes yet). Throws std::invalid_argument for a GUID
    // already present or a name that does not fit the driver's 256 bytes, and
    // std::length_error when the driver already lists 32 adapters.
    adapter add_adapter(adapter_spec spec);
    // Removes the adapter, its interface and every address, route and neighbour on it.
    bool remove_adapter(std::string_view guid);
    // Changes the driver's internal name (the handle stays).
    bool rename_adapter(std::string_view guid, std::string driver_name);

    std::optional<adapter> find_adapter(std::string_view guid) const;
    std::optional<adapter> find_adapter_by_handle(std::uint64_t filter_handle) const;
    std::vector<adapter> adapters() const;

    // A GUID text made from a number: the same number gives the same GUID.
    static std::string make_guid(std::uint32_t number);
    // A fresh random GUID text, for adapters whose registry keys a test makes: test
    // programs that run at once in one Wine prefix never share one.
    static std::string random_guid();
    static std::string device_name(std::string_view guid);

private:
    host() = default;

    // The adapter with that GUID, or the end; the lock is held.
    std::vector<adapter>::iterator find(std::string_view guid);

    mutable std::mutex mutex_;
    std::vector<adapter> adapters_;
    std::uint32_t next_number_ = 1;
};
} // namespace simhost
