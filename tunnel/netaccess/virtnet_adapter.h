#pragma once
// wireguard::wg_virtnet_adapter: the Lorrivan virtual adapter prepared for the dual
// tunnel. Its preparation finds the driver's adapter, names the connection "Lorrivan",
// sets the interface's DNS servers, clears its old addresses and routes, adds the
// tunnel's interface addresses and activates the adapter; while it lives it holds the
// routes that the tunnel routes into the adapter; its destruction undoes all of it.
//
// Undo that survives a refused call: a delete of a route or an address that IP Helper
// refuses, the deactivation and the deletion of a NameServer value are tried again at
// once a few times; what still fails stays with the object and is tried again by the
// next remove_routes (routes) or undo (everything) and at destruction. A step counts as
// done when what it removes is known to be gone: a row whose delete answers that it (or
// its interface) does not exist, a deactivation refused because the device behind the
// handle is gone or for an adapter whose interface the system no longer has, a
// NameServer value that the registry answers is absent.
// Once the deactivation is done the object holds the driver's device no longer.
//
// A preparation that fails leaves what it did with the object: the owner undoes it and
// keeps the object while something is still refused.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "adapter_config.h"
#include "adapter_dns_config.h"
#include "adapter_info.h"
#include "config/ip_types.h"
#include "srw_lock.h"
#include "virtnet_api.h"
#include "win32.h"

namespace wireguard
{
// An interface address of the tunnel: IPv4 in network byte order.
struct ipv4_interface_address {
    std::uint32_t address = 0;
    std::uint8_t prefix_length = 0;
};

struct ipv6_interface_address {
    std::array<std::uint8_t, 16> address{};
    std::uint8_t prefix_length = 0;
};

// A route row that was used to create a system entry. Freeing the row does not delete
// the entry.
using route_row = std::unique_ptr<MIB_IPFORWARD_ROW2>;

// Sets the connection's "Name" (REG_SZ, the name and its terminating zero) under
// "SYSTEM\CurrentControlSet\Control\Network\{4D36E972-E325-11CE-BFC1-08002BE10318}\"
// + the adapter name + "\Connection", and on success makes it the record's friendly
// name. False, with the registry's error in the thread's last error, when the key does
// not open or the value is not set.
bool rename_connection(iphelper::adapter_info& record, const char* name);

class wg_virtnet_adapter final : public virtnet_api
{
public:
    // Opens the driver's device; nothing else.
    wg_virtnet_adapter() = default;
    // Prepares the adapter's interface; once per object. Throws std::runtime_error with
    // a "[TUN]: " message when a step fails; undo() then takes back what was done. An
    // absent address or an address of all zeros is no address; one family is enough.
    void prepare(const std::optional<ipv4_interface_address>& ipv4,
                 const std::optional<ipv6_interface_address>& ipv6,
                 const std::vector<ip_address>& dns_servers);
    // Removes the routes, deactivates the adapter (even when it needed no activation),
    // deletes the interface addresses and then the NameServer values (undo()).
    ~wg_virtnet_adapter() override;

    // Undoes on the host what the object did there, in the destructor's order: routes,
    // activation, interface addresses, NameServer values. A step that is still refused
    // after a few tries stays pending and is tried again by the next call (and by the
    // destructor); steps already done are not repeated. True when nothing is pending.
    bool undo();

    // Deletes every route of the object (and any whose earlier delete failed), under
    // the route lock.
    void remove_routes();
    // Delete that family's prefix routes, then its interface address. No lock: they run
    // only in preparation and undo.
    void remove_ipv4_address();
    void remove_ipv6_address();

    // The adapter as the driver listed it.
    std::uint32_t adapter_id() const noexcept { return adapter_list_.adapter_id; }
    std::uint8_t flags() const noexcept { return adapter_list_.flags; }
    // IP Helper's record of the adapter's interface (engaged once constructed).
    const std::optional<iphelper::adapter_info>& adapter_information() const noexcept
    {
        return adapter_information_;
    }
    bool has_ipv4_address() const noexcept { return ipv4_address_ != nullptr; }
    bool has_ipv6_address() const noexcept { return ipv6_address_ != nullptr; }

    // The routes routed into the adapter. Every access to these four holds route_lock()
    // exclusive; remove_routes() deletes their entries.
    wireguard::srw_lock& route_lock() noexcept { return route_lock_; }
    std::vector<route_row>& ipv6_routes() noexcept { return ipv6_routes_; }
    std::vector<route_row>& ipv4_routes() noexcept { return ipv4_routes_; }
    route_row& ipv4_default_route() noexcept { return ipv4_default_route_; }
    route_row& ipv6_default_route() noexcept { return ipv6_default_route_; }

private:
    // The preparation's steps after the DNS servers (addresses and activation).
    void configure_interface(const std::optional<ipv4_interface_address>& ipv4,
                             const std::optional<ipv6_interface_address>& ipv6);
    void delete_route_rows(std::vector<route_row>& rows);
    void delete_default_route(route_row& row);
    void delete_address(iphelper::unicast_address_row& row);
    // Deletes a stack's NameServer value, tried again when refused; true when it is gone.
    static bool delete_name_server_value(iphelper::ip_stack stack, const std::string& adapter_name);
    // The deactivation, tried a few times; done also when there is no adapter left to
    // deactivate.
    void deactivate();

    std::unique_ptr<iphelper::adapter_dns_config> dns_settings_;
    virtnet_adapter_list adapter_list_{};
    std::optional<iphelper::adapter_info> adapter_information_;
    iphelper::unicast_address_row ipv6_address_;
    std::vector<route_row> ipv6_routes_;
    iphelper::unicast_address_row ipv4_address_;
    std::vector<route_row> ipv4_routes_;
    route_row ipv4_default_route_;
    route_row ipv6_default_route_;
    // Routes whose delete was refused, tried again by remove_routes (route lock).
    std::vector<route_row> undeleted_routes_;
    // Prepared, and the deactivation has not been accepted yet (also for an adapter that
    // needed no activation: it is deactivated all the same).
    bool deactivation_pending_ = false;
    wireguard::srw_lock route_lock_;
};
} // namespace wireguard
