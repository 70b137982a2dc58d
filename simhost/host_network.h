#pragma once
// The simulated host's network as IP Helper shows it. Every adapter of simhost::host
// is an IP interface here under the same GUID (the packet filter driver lists it as
// "\DEVICE\{GUID}"), with its LUID, interface index, type, MAC, MTU, status and DNS
// servers; the host holds unicast addresses, routes (best route: longest prefix, then
// route metric plus interface metric, then table order, over interfaces that are up),
// a neighbour table, and the link layer's answers to neighbour resolution. The
// gateways of an interface are the next hops of its default routes.
//
// The IP Helper functions of the platform boundary (sim_platform.cpp) answer from this
// model with Windows' records and error codes. The create and delete functions change
// it; a test can make any function fail with a chosen code, run code at the start of a
// call (say, add an adapter between the two GetAdaptersAddresses calls), and read what
// the program did: every call with its result and the row it passed (calls()), every
// rule of the API that it broke (violations()), tables it did not free (open_tables()),
// and the state before and after (snapshot()).
//
// Interface change notifications are fired by the test (and by the virtual adapter
// driver for its own adapter) and delivered on threads of their own, as Windows does;
// cancelling a registration waits for its callbacks that are running.
//
// Thread-safe. No lock is held while a hook or a notification callback runs.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "host.h"
#include "interface_settings.h"
#include "ip_text.h"
#include "win32.h"

namespace simhost
{
// An interface as the model holds it.
struct ip_interface {
    std::string guid;
    NET_LUID luid{};
    std::uint32_t if_index = 0;      // the interface's index (GetIfTable2, GetBestRoute2)
    std::uint32_t ipv4_if_index = 0; // IfIndex: if_index, or 0 without IPv4
    std::uint32_t ipv6_if_index = 0; // Ipv6IfIndex: index_for(AF_INET6), or 0 without IPv6
    GUID interface_guid{};           // the GUID text as a GUID
    mac_address mac{};
    std::uint16_t mtu = 0;
    interface_settings settings;

    // The index that IP Helper gives the interface in rows and answers of a family:
    // if_index for IPv4; for IPv6 a number of its own (if_index + 100), unlike Windows,
    // where both are mostly the same, so that a program that hands one where the other
    // belongs is caught.
    std::uint32_t index_for(ADDRESS_FAMILY family) const noexcept
    {
        return family == AF_INET6 ? if_index + 100 : if_index;
    }
};

// Rows as tests compare them (snapshot()): addresses as text, the interface by GUID.
struct address_row {
    std::string guid;
    std::string address;
    std::uint32_t prefix_length = 0;
    std::uint32_t prefix_origin = 0;
    std::uint32_t suffix_origin = 0;
    std::uint32_t dad_state = 0;
    std::uint32_t valid_lifetime = 0;
    std::uint32_t preferred_lifetime = 0;
    bool skip_as_source = false;
    auto operator<=>(const address_row&) const = default;
};

struct route_row {
    std::string guid;
    std::string destination; // "0.0.0.0/0": the prefix as stored, not masked
    std::string next_hop;    // "" when on-link (no family)
    std::uint32_t metric = 0;
    std::uint32_t protocol = 0;
    std::uint32_t origin = 0;
    std::uint32_t site_prefix_length = 0;
    std::uint32_t valid_lifetime = 0;
    std::uint32_t preferred_lifetime = 0;
    bool loopback = false;
    bool autoconfigure_address = false;
    bool publish = false;
    bool immortal = false;
    auto operator<=>(const route_row&) const = default;
};

struct neighbour_row {
    std::string guid;
    std::string address;
    std::vector<std::uint8_t> physical_address;
    std::uint32_t state = 0;
    bool is_router = false;
    bool is_unreachable = false;
    auto operator<=>(const neighbour_row&) const = default;
};

// The host's tables, each sorted, so that two snapshots compare equal when the host
// holds the same rows.
struct network_snapshot {
    std::vector<address_row> addresses;
    std::vector<route_row> routes;
    std::vector<neighbour_row> neighbours;
    bool operator==(const network_snapshot&) const = default;
};
std::ostream& operator<<(std::ostream& out, const network_snapshot& snapshot);
std::ostream& operator<<(std::ostream& out, const address_row& row);
std::ostream& operator<<(std::ostream& out, const route_row& row);
std::ostream& operator<<(std::ostream& out, const neighbour_row& row);

enum class iphelper_function : std::uint8_t {
    get_if_table2,
    free_mib_table,
    get_adapters_addresses,
    get_best_interface_ex,
    get_best_route2,
    get_ip_forward_table2,
    initialize_ip_forward_entry,
    create_ip_forward_entry2,
    delete_ip_forward_entry2,
    get_unicast_ip_address_table,
    initialize_unicast_ip_address_entry,
    create_unicast_ip_address_entry,
    delete_unicast_ip_address_entry,
    resolve_ip_net_entry2,
    create_ip_net_entry2,
    delete_ip_net_entry2,
    notify_ip_interface_change,
    cancel_mib_change_notify2,
};
// The Windows name ("GetIfTable2", ...).
const char* function_name(iphelper_function function);

// The arguments of a GetAdaptersAddresses call.
struct adapters_query {
    ULONG family = 0;
    ULONG flags = 0;
    bool buffer = false; // a buffer was passed
    ULONG size_in = 0;
    ULONG size_out = 0;
};

// The arguments of a GetBestRoute2 or GetBestInterfaceEx call.
struct route_query {
    std::uint64_t interface_luid = 0; // 0 also when none was passed
    std::uint32_t interface_index = 0;
    bool source = false;              // a source address was passed
    SOCKADDR_INET destination{};
    ULONG sort_options = 0;
};

// The arguments of a NotifyIpInterfaceChange or CancelMibChangeNotify2 call.
struct notify_query {
    ADDRESS_FAMILY family = 0;
    void* context = nullptr;
    bool initial_notification = false;
    HANDLE handle = nullptr;
};

// One IP Helper call as the program made it.
struct iphelper_call {
    std::uint64_t number = 0; // 1, 2, ... across all functions
    iphelper_function function{};
    DWORD result = 0;         // 0 for the functions without a result
    std::string guid;         // the interface that the row named, if any
    std::variant<std::monostate, MIB_UNICASTIPADDRESS_ROW, MIB_IPFORWARD_ROW2, MIB_IPNET_ROW2,
                 adapters_query, route_query, notify_query>
        arguments;            // rows as passed in (before any output was written)
};

class host_network
{
public:
    static host_network& instance();

    // Back to no interfaces, no rows, no registrations (cancelled, their callbacks
    // waited for), no hooks, failures, calls or violations. Called by host::reset().
    void reset();

    // ---- interfaces (simhost::host attaches and detaches its adapters) ----------------
    void attach(const adapter& adapter, const interface_settings& settings);
    // Removes the interface with every address, route, neighbour and link node on it.
    void detach(std::string_view guid);

    std::optional<ip_interface> find_interface(std::string_view guid) const;
    // Throws std::invalid_argument for an unknown GUID.
    ip_interface interface_of(std::string_view guid) const;
    std::vector<ip_interface> interfaces() const;
    // Changes an interface's settings in place (LUID and indexes stay).
    void update(std::string_view guid, const std::function<void(interface_settings&)>& change);
    void set_oper_status(std::string_view guid, std::uint32_t oper_status);

    // ---- the host's own configuration (no call is recorded) ---------------------------
    // A manual, preferred address with infinite lifetimes, after the interface's others.
    void add_address(std::string_view guid, std::string_view address,
                     std::uint8_t prefix_length);
    bool remove_address(std::string_view guid, std::string_view address);
    // A static route; next hop "" is on-link. Protocol MIB_IPPROTO_NETMGMT, origin manual.
    void add_route(std::string_view guid, std::string_view prefix, std::string_view next_hop = "",
                   std::uint32_t metric = 0);
    bool remove_route(std::string_view guid, std::string_view prefix,
                      std::string_view next_hop = "");
    // A neighbour table entry (NlnsPermanent by default).
    void add_neighbour(std::string_view guid, std::string_view address, const mac_address& mac,
                       std::uint32_t state = 6);
    // A node on the interface's link that answers resolution of that address.
    void set_link_node(std::string_view guid, std::string_view address, const mac_address& mac);
    bool remove_link_node(std::string_view guid, std::string_view address);
    // A default route through a gateway that answers resolution with that MAC.
    void add_default_gateway(std::string_view guid, std::string_view gateway,
                             const mac_address& mac, std::uint32_t metric = 0);

    network_snapshot snapshot() const;

    // How the host would send to a destination, as its stack decides it (no call is
    // recorded): the interface of the best route, the route's next hop (AF_UNSPEC when
    // the route is on-link), the interface's first address of the family, and the MAC
    // address of the next hop (or of the destination when on-link) from the neighbour
    // table or the link's nodes. Empty when no route leads there.
    struct route_choice {
        std::string guid;
        SOCKADDR_INET next_hop{};
        std::optional<SOCKADDR_INET> source;
        std::optional<mac_address> next_hop_mac;
    };
    // With a bound source (an application bound to one of the host's addresses) the
    // interface that holds that address sends, whatever the other routes say: its best
    // route there, else on-link; empty when no interface holds the address.
    std::optional<route_choice> choose_route(const SOCKADDR_INET& destination,
                                             const SOCKADDR_INET* bound_source = nullptr) const;

    // ---- the DHCP client's notification and the resolver cache --------------------------
    // Every DhcpNotifyConfigChange and DnsFlushResolverCache call of the program, in
    // order: "DhcpNotifyConfigChange(<server or null>, <adapter name>, <new address>,
    // <index>, <address>, <mask>, <action>)" and "DnsFlushResolverCache()".
    std::vector<std::string> service_calls() const;

    // ---- interface change notifications ------------------------------------------------
    // Delivers a notification for the interface (row with Family, InterfaceLuid and
    // InterfaceIndex) to every registration of that family or AF_UNSPEC, each on a new
    // thread. Returns at once.
    void fire_interface_change(std::string_view guid, ADDRESS_FAMILY family = AF_INET,
                               MIB_NOTIFICATION_TYPE type = MibParameterNotification);
    // Announces a change of the interface as Windows does when an adapter arrives
    // (MibAddInstance), connects or disconnects (MibParameterNotification) or leaves
    // (MibDeleteInstance): a notification for each family that it has. The record is
    // the caller's, so that an interface that has left can be announced.
    void announce_interface_change(const ip_interface& info, MIB_NOTIFICATION_TYPE type);
    // Waits until every notification fired so far was delivered (or dropped by a
    // cancellation) and its callback returned; false on time-out.
    bool wait_for_notifications(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    std::size_t registration_count() const;
    std::uint64_t notifications_delivered() const;
    // Holds the next notification callback that calls `function` inside that call until
    // release_held_callback(). Cancelling its registration does not wait for a held
    // callback (as when CancelMibChangeNotify2 fails, or returns while a callback is still
    // on its way out): only the program's own wait keeps it from freeing what the
    // callback uses. reset() releases it too.
    void hold_callback_in(iphelper_function function);
    bool wait_for_held_callback(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void release_held_callback();

    // ---- behaviour of the functions ----------------------------------------------------
    // The next `times` calls of the function fail with that code without doing anything.
    void fail_next(iphelper_function function, DWORD error, unsigned times = 1);
    // Runs at the start of every call of the function, outside the model's lock, with the
    // number of that function's calls so far (1 for the first). Empty: no hook.
    void set_call_hook(iphelper_function function, std::function<void(unsigned)> hook);

    std::vector<iphelper_call> calls() const;
    std::vector<iphelper_call> calls(iphelper_function function) const;
    std::size_t call_count(iphelper_function function) const;
    void clear_calls();
    std::vector<std::string> violations() const;
    // The violations so far, which are then forgotten.
    std::vector<std::string> take_violations();
    // Tables handed out and not yet freed with FreeMibTable.
    std::size_t open_tables() const;

    // ---- the platform boundary's side --------------------------------------------------
    DWORD get_if_table2(MIB_IF_TABLE2** table);
    void free_mib_table(void* memory);
    ULONG get_adapters_addresses(ULONG family, ULONG flags, void* reserved,
                                 IP_ADAPTER_ADDRESSES* addresses, ULONG* size);
    DWORD get_best_interface_ex(sockaddr* destination, DWORD* best_if_index);
    DWORD get_best_route2(NET_LUID* interface_luid, NET_IFINDEX interface_index,
                          const SOCKADDR_INET* source_address,
                          const SOCKADDR_INET* destination_address, ULONG address_sort_options,
                          MIB_IPFORWARD_ROW2* best_route, SOCKADDR_INET* best_source_address);
    DWORD get_ip_forward_table2(ADDRESS_FAMILY family, MIB_IPFORWARD_TABLE2** table);
    void initialize_ip_forward_entry(MIB_IPFORWARD_ROW2* row);
    DWORD create_ip_forward_entry2(const MIB_IPFORWARD_ROW2* row);
    DWORD delete_ip_forward_entry2(const MIB_IPFORWARD_ROW2* row);
    DWORD get_unicast_ip_address_table(ADDRESS_FAMILY family, MIB_UNICASTIPADDRESS_TABLE** table);
    void initialize_unicast_ip_address_entry(MIB_UNICASTIPADDRESS_ROW* row);
    DWORD create_unicast_ip_address_entry(const MIB_UNICASTIPADDRESS_ROW* row);
    DWORD delete_unicast_ip_address_entry(const MIB_UNICASTIPADDRESS_ROW* row);
    DWORD resolve_ip_net_entry2(MIB_IPNET_ROW2* row, const SOCKADDR_INET* source_address);
    DWORD create_ip_net_entry2(const MIB_IPNET_ROW2* row);
    DWORD delete_ip_net_entry2(const MIB_IPNET_ROW2* row);
    DWORD notify_ip_interface_change(ADDRESS_FAMILY family, PIPINTERFACE_CHANGE_CALLBACK callback,
                                     void* context, BOOLEAN initial_notification,
                                     HANDLE* notification_handle);
    DWORD cancel_mib_change_notify2(HANDLE notification_handle);
    DWORD dhcp_notify_config_change(const wchar_t* server_name, const wchar_t* adapter_name,
                                    BOOL new_ip_address, DWORD ip_index, DWORD ip_address,
                                    DWORD subnet_mask, int dhcp_action);
    void dns_flush_resolver_cache();

    ~host_network();

private:
    struct interface_state {
        ip_interface info;
        std::vector<SOCKADDR_INET> dns_servers;
    };
    struct stored_address {
        std::string guid;
        MIB_UNICASTIPADDRESS_ROW row{};
    };
    struct stored_route {
        std::string guid;
        MIB_IPFORWARD_ROW2 row{};
    };
    struct stored_neighbour {
        std::string guid;
        MIB_IPNET_ROW2 row{};
    };
    struct link_node {
        std::string guid;
        SOCKADDR_INET address{};
        mac_address mac{};
    };
    struct registration {
        HANDLE handle = nullptr;
        ADDRESS_FAMILY family = 0;
        PIPINTERFACE_CHANGE_CALLBACK callback = nullptr;
        void* context = nullptr;
        bool cancelled = false;
        std::vector<std::thread::id> running; // threads inside its callback
    };
    struct failure {
        DWORD error = 0;
        unsigned times = 0;
    };

    host_network() = default;

    // All of these expect the lock to be held.
    interface_state* find(std::string_view guid);
    const interface_state* find(std::string_view guid) const;
    interface_state& known(std::string_view guid);
    interface_state* find_by_luid(std::uint64_t luid);
    interface_state* find_by_index(std::uint32_t index, ADDRESS_FAMILY family = AF_INET);
    interface_state* find_for_row(const NET_LUID& luid, NET_IFINDEX index, ADDRESS_FAMILY family,
                                  const char* function, DWORD& error);
    std::uint32_t next_free_index() const;
    bool take_failure(iphelper_function function, DWORD& error);
    iphelper_call& record(iphelper_function function);
    void violation(std::string text);
    template <class Table, class Row> Table* make_table(const std::vector<Row>& rows);
    std::optional<SOCKADDR_INET> first_address(std::string_view guid, ADDRESS_FAMILY family) const;
    std::optional<stored_route> best_route(ADDRESS_FAMILY family, const SOCKADDR_INET& destination,
                                           const interface_state* only) const;
    std::size_t adapters_layout(ULONG family, ULONG flags, std::uint8_t* out) const;
    void follow_connection_names();
    void deliver(std::shared_ptr<registration> target, MIB_IPINTERFACE_ROW row, bool with_row,
                 MIB_NOTIFICATION_TYPE type);
    void start_delivery(const std::shared_ptr<registration>& target, const MIB_IPINTERFACE_ROW& row,
                        bool with_row, MIB_NOTIFICATION_TYPE type);
    void fire(const ip_interface& info, ADDRESS_FAMILY family, MIB_NOTIFICATION_TYPE type);
    void join_finished_threads(std::unique_lock<std::mutex>& lock);
    // These take the lock themselves.
    void run_hook(iphelper_function function);
    template <class Row, class Body> DWORD row_call(iphelper_function function, Row* row, Body body);
    template <class Table, class Collect>
    DWORD table_call(iphelper_function function, ADDRESS_FAMILY family, Table** table,
                     Collect collect);
    template <class Row> bool initialize_call(iphelper_function function, Row* row);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<interface_state> interfaces_;
    std::map<std::uint32_t, std::uint32_t> next_luid_index_; // per interface type
    std::vector<stored_address> addresses_;
    std::vector<stored_route> routes_;
    std::vector<stored_neighbour> neighbours_;
    std::vector<link_node> link_nodes_;
    std::vector<std::shared_ptr<registration>> registrations_;
    std::set<HANDLE> cancelled_handles_;
    std::uintptr_t next_handle_ = 0;
    std::size_t pending_deliveries_ = 0;
    std::uint64_t delivered_ = 0;
    std::vector<std::thread> delivery_threads_;
    std::vector<std::thread::id> finished_threads_;
    std::set<void*> open_tables_;
    std::map<iphelper_function, failure> failures_;
    std::map<iphelper_function, std::function<void(unsigned)>> hooks_;
    std::map<iphelper_function, unsigned> hook_counts_;
    std::vector<iphelper_call> calls_;
    std::vector<std::string> violations_;
    std::vector<std::string> service_calls_;
    std::optional<iphelper_function> hold_in_;
    bool held_ = false;
    std::uint64_t next_call_ = 0;
    std::int64_t clock_ = 0; // creation time stamps
};
} // namespace simhost
