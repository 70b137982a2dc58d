#include "host_network.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

extern "C" BOOLEAN NTAPI RtlDllShutdownInProgress(void);

namespace simhost
{
namespace
{
constexpr std::uint32_t first_if_index = 11;
constexpr std::uint32_t oper_status_up = 1;
constexpr std::uint32_t media_connected = 1;
constexpr ULONG infinite_lifetime = 0xFFFFFFFF;
constexpr std::uint32_t neighbour_reachable = NlnsReachable;

bool family_ok(ADDRESS_FAMILY family)
{
    return family == AF_INET || family == AF_INET6;
}

bool family_selected(ULONG wanted, ADDRESS_FAMILY family)
{
    return wanted == AF_UNSPEC || wanted == family;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
GUID parse_guid(std::string_view text)
{
    static constexpr std::string_view shape = "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";
    if (text.size() != shape.size())
        throw std::invalid_argument("simhost: not a GUID text: " + std::string(text));
    std::uint8_t bytes[16]{};
    std::size_t nibble = 0;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (shape[i] != 'X') {
            if (text[i] != shape[i])
                throw std::invalid_argument("simhost: not a GUID text: " + std::string(text));
            continue;
        }
        const int digit = hex_digit(text[i]);
        if (digit < 0)
            throw std::invalid_argument("simhost: not a GUID text: " + std::string(text));
        bytes[nibble / 2] = static_cast<std::uint8_t>(bytes[nibble / 2] << 4 | digit);
        ++nibble;
    }
    GUID guid{};
    guid.Data1 =
        static_cast<unsigned long>(bytes[0]) << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3];
    guid.Data2 = static_cast<unsigned short>(bytes[4] << 8 | bytes[5]);
    guid.Data3 = static_cast<unsigned short>(bytes[6] << 8 | bytes[7]);
    std::memcpy(guid.Data4, bytes + 8, 8);
    return guid;
}

std::string mac_text(const std::uint8_t* bytes, std::size_t length)
{
    std::string text;
    char part[4];
    for (std::size_t i = 0; i < length; ++i) {
        std::snprintf(part, sizeof(part), i == 0 ? "%02X" : ":%02X", bytes[i]);
        text += part;
    }
    return text;
}

std::size_t sockaddr_size(ADDRESS_FAMILY family)
{
    return family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
}

bool zero_address(const SOCKADDR_INET& address)
{
    const std::string_view bytes = address_bytes(address);
    return std::all_of(bytes.begin(), bytes.end(), [](char c) { return c == 0; });
}

bool link_local(const SOCKADDR_INET& address)
{
    const std::string_view bytes = address_bytes(address);
    return address.si_family == AF_INET6 && static_cast<std::uint8_t>(bytes[0]) == 0xFE &&
           (static_cast<std::uint8_t>(bytes[1]) & 0xC0) == 0x80;
}

std::string next_hop_text(const SOCKADDR_INET& next_hop)
{
    return family_ok(next_hop.si_family) ? ip_text(next_hop) : std::string();
}

// The route identity of Windows: interface, destination prefix and next hop.
bool same_route(const MIB_IPFORWARD_ROW2& a, const MIB_IPFORWARD_ROW2& b)
{
    const auto& pa = a.DestinationPrefix;
    const auto& pb = b.DestinationPrefix;
    if (pa.PrefixLength != pb.PrefixLength || !same_prefix(pa.Prefix, pb.Prefix, pa.PrefixLength))
        return false;
    const bool a_on_link = !family_ok(a.NextHop.si_family) || zero_address(a.NextHop);
    const bool b_on_link = !family_ok(b.NextHop.si_family) || zero_address(b.NextHop);
    if (a_on_link || b_on_link)
        return a_on_link == b_on_link;
    return same_ip(a.NextHop, b.NextHop);
}

// Matchers of stored rows: the row with that address; the same route (same_route).
auto at_address(const SOCKADDR_INET& address)
{
    return [&address](const auto& row) { return same_ip(row.Address, address); };
}

auto same_route_as(const MIB_IPFORWARD_ROW2& route)
{
    return [&route](const MIB_IPFORWARD_ROW2& row) { return same_route(row, route); };
}

// The family of a row: its address, or its destination prefix.
ADDRESS_FAMILY row_family(const MIB_UNICASTIPADDRESS_ROW& row) { return row.Address.si_family; }
ADDRESS_FAMILY row_family(const MIB_IPNET_ROW2& row) { return row.Address.si_family; }
ADDRESS_FAMILY row_family(const MIB_IPFORWARD_ROW2& row) { return row.DestinationPrefix.Prefix.si_family; }

// A row as the host stores it: on the interface, with the interface's LUID and its
// index for the row's family.
template <class Stored, class Row> Stored stored_on(const ip_interface& i, const Row& row)
{
    Stored stored;
    stored.guid = i.guid;
    stored.row = row;
    stored.row.InterfaceLuid = i.luid;
    stored.row.InterfaceIndex = i.index_for(row_family(row));
    return stored;
}

// Whether the interface holds a row that `match` picks.
template <class Stored, class Match>
bool holds(const std::vector<Stored>& table, std::string_view guid, Match match)
{
    return std::any_of(table.begin(), table.end(),
                       [&](const Stored& s) { return s.guid == guid && match(s.row); });
}

// Removes the interface's first row that `match` picks.
template <class Stored, class Match>
DWORD erase_first(std::vector<Stored>& table, std::string_view guid, Match match)
{
    auto found = std::find_if(table.begin(), table.end(),
                              [&](const Stored& s) { return s.guid == guid && match(s.row); });
    if (found == table.end())
        return ERROR_NOT_FOUND;
    table.erase(found);
    return NO_ERROR;
}
} // namespace

const char* function_name(iphelper_function function)
{
    switch (function) {
    case iphelper_function::get_if_table2: return "GetIfTable2";
    case iphelper_function::free_mib_table: return "FreeMibTable";
    case iphelper_function::get_adapters_addresses: return "GetAdaptersAddresses";
    case iphelper_function::get_best_interface_ex: return "GetBestInterfaceEx";
    case iphelper_function::get_best_route2: return "GetBestRoute2";
    case iphelper_function::get_ip_forward_table2: return "GetIpForwardTable2";
    case iphelper_function::initialize_ip_forward_entry: return "InitializeIpForwardEntry";
    case iphelper_function::create_ip_forward_entry2: return "CreateIpForwardEntry2";
    case iphelper_function::delete_ip_forward_entry2: return "DeleteIpForwardEntry2";
    case iphelper_function::get_unicast_ip_address_table: return "GetUnicastIpAddressTable";
    case iphelper_function::initialize_unicast_ip_address_entry:
        return "InitializeUnicastIpAddressEntry";
    case iphelper_function::create_unicast_ip_address_entry: return "CreateUnicastIpAddressEntry";
    case iphelper_function::delete_unicast_ip_address_entry: return "DeleteUnicastIpAddressEntry";
    case iphelper_function::resolve_ip_net_entry2: return "ResolveIpNetEntry2";
    case iphelper_function::create_ip_net_entry2: return "CreateIpNetEntry2";
    case iphelper_function::delete_ip_net_entry2: return "DeleteIpNetEntry2";
    case iphelper_function::notify_ip_interface_change: return "NotifyIpInterfaceChange";
    case iphelper_function::cancel_mib_change_notify2: return "CancelMibChangeNotify2";
    }
    return "?";
}

std::ostream& operator<<(std::ostream& out, const address_row& row)
{
    return out << "address " << row.address << "/" << row.prefix_length << " on " << row.guid
               << " (origin " << row.prefix_origin << "/" << row.suffix_origin << ", dad "
               << row.dad_state << ", lifetimes " << row.valid_lifetime << "/"
               << row.preferred_lifetime << (row.skip_as_source ? ", skip as source" : "") << ")";
}

std::ostream& operator<<(std::ostream& out, const route_row& row)
{
    return out << "route " << row.destination << " via "
               << (row.next_hop.empty() ? std::string("on-link") : row.next_hop) << " on "
               << row.guid << " (metric " << row.metric << ", protocol " << row.protocol
               << ", origin " << row.origin << ", site prefix " << row.site_prefix_length
               << ", lifetimes " << row.valid_lifetime << "/" << row.preferred_lifetime
               << ", loopback " << row.loopback << ", autoconfigure " << row.autoconfigure_address
               << ", publish " << row.publish << ", immortal " << row.immortal << ")";
}

std::ostream& operator<<(std::ostream& out, const neighbour_row& row)
{
    return out << "neighbour " << row.address << " on " << row.guid << " is "
               << mac_text(row.physical_address.data(), row.physical_address.size()) << " (state "
               << row.state << (row.is_router ? ", router" : "")
               << (row.is_unreachable ? ", unreachable" : "") << ")";
}

std::ostream& operator<<(std::ostream& out, const network_snapshot& snapshot)
{
    out << "{";
    for (const auto& row : snapshot.addresses)
        out << "\n  " << row;
    for (const auto& row : snapshot.routes)
        out << "\n  " << row;
    for (const auto& row : snapshot.neighbours)
        out << "\n  " << row;
    return out << (snapshot.addresses.empty() && snapshot.routes.empty() &&
                           snapshot.neighbours.empty()
                       ? "}"
                       : "\n}");
}

host_network& host_network::instance()
{
    static host_network network;
    return network;
}

host_network::~host_network()
{
    reset();
}

// ---- bookkeeping (lock held) --------------------------------------------------------

host_network::interface_state* host_network::find(std::string_view guid)
{
    return const_cast<interface_state*>(std::as_const(*this).find(guid));
}

const host_network::interface_state* host_network::find(std::string_view guid) const
{
    for (const auto& s : interfaces_)
        if (s.info.guid == guid)
            return &s;
    return nullptr;
}

host_network::interface_state& host_network::known(std::string_view guid)
{
    interface_state* s = find(guid);
    if (s == nullptr)
        throw std::invalid_argument("simhost: no IP interface " + std::string(guid));
    return *s;
}

host_network::interface_state* host_network::find_by_luid(std::uint64_t luid)
{
    for (auto& s : interfaces_)
        if (s.info.luid.Value == luid)
            return &s;
    return nullptr;
}

host_network::interface_state* host_network::find_by_index(std::uint32_t index, ADDRESS_FAMILY family)
{
    for (auto& s : interfaces_)
        if (s.info.index_for(family) == index)
            return &s;
    return nullptr;
}

// The interface a row names: by its LUID when that is set, else by its index for the
// row's family.
host_network::interface_state* host_network::find_for_row(const NET_LUID& luid, NET_IFINDEX index,
                                                          ADDRESS_FAMILY family, const char* function,
                                                          DWORD& error)
{
    if (luid.Value != 0) {
        interface_state* s = find_by_luid(luid.Value);
        if (s == nullptr) {
            error = ERROR_NOT_FOUND;
            return nullptr;
        }
        if (index != 0 && index != s->info.index_for(family))
            violation(std::string(function) + ": InterfaceIndex " + std::to_string(index) +
                      " is not the index of the interface of InterfaceLuid for the row's family (" +
                      std::to_string(s->info.index_for(family)) + ")");
        return s;
    }
    if (index == 0) {
        error = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    interface_state* s = find_by_index(index, family);
    if (s == nullptr)
        error = ERROR_NOT_FOUND;
    return s;
}

std::uint32_t host_network::next_free_index() const
{
    std::uint32_t index = first_if_index;
    for (const auto& s : interfaces_)
        index = std::max(index, s.info.if_index + 1);
    return index;
}

bool host_network::take_failure(iphelper_function function, DWORD& error)
{
    auto found = failures_.find(function);
    if (found == failures_.end() || found->second.times == 0)
        return false;
    error = found->second.error;
    if (--found->second.times == 0)
        failures_.erase(found);
    return true;
}

iphelper_call& host_network::record(iphelper_function function)
{
    iphelper_call call;
    call.number = ++next_call_;
    call.function = function;
    calls_.push_back(std::move(call));
    return calls_.back();
}

void host_network::violation(std::string text)
{
    violations_.push_back(std::move(text));
}

void host_network::run_hook(iphelper_function function)
{
    std::function<void(unsigned)> hook;
    unsigned count = 0;
    {
        std::lock_guard lock(mutex_);
        count = ++hook_counts_[function];
        if (auto found = hooks_.find(function); found != hooks_.end())
            hook = found->second;
    }
    if (hook)
        hook(count);

    std::unique_lock lock(mutex_);
    if (hold_in_ != function)
        return;
    const auto self = std::this_thread::get_id();
    for (const auto& r : registrations_) {
        if (std::erase(r->running, self) == 0)
            continue; // not this registration's callback
        hold_in_.reset();
        held_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return !held_; });
        return;
    }
}

void host_network::hold_callback_in(iphelper_function function)
{
    std::lock_guard lock(mutex_);
    hold_in_ = function;
}

bool host_network::wait_for_held_callback(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return held_; });
}

void host_network::release_held_callback()
{
    std::lock_guard lock(mutex_);
    held_ = false;
    changed_.notify_all();
}

template <class Table, class Row> Table* host_network::make_table(const std::vector<Row>& rows)
{
    const std::size_t size =
        offsetof(Table, Table) + std::max<std::size_t>(rows.size(), 1) * sizeof(Row);
    auto* table = static_cast<Table*>(std::calloc(1, size));
    if (table == nullptr)
        throw std::bad_alloc();
    table->NumEntries = static_cast<ULONG>(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i)
        table->Table[i] = rows[i];
    open_tables_.insert(table);
    return table;
}

// The course of every call that names an interface in its row: the hook, the record, the
// row's checks, an injected failure, the interface; then `body`, with the lock held, gives
// the result on that interface.
template <class Row, class Body>
DWORD host_network::row_call(iphelper_function function, Row* row, Body body)
{
    run_hook(function);
    std::lock_guard lock(mutex_);
    iphelper_call& call = record(function);
    if (row == nullptr)
        return call.result = ERROR_INVALID_PARAMETER;
    call.arguments = *row;
    if (take_failure(function, call.result))
        return call.result;
    interface_state* s = find_for_row(row->InterfaceLuid, row->InterfaceIndex, row_family(*row),
                                      function_name(function), call.result);
    if (s == nullptr)
        return call.result;
    call.guid = s->info.guid;
    return call.result = body(*s);
}

// The course of the table functions of one family or both: the hook, the record, an
// injected failure, the checks; `collect` gives the rows (none: ERROR_NOT_FOUND).
template <class Table, class Collect>
DWORD host_network::table_call(iphelper_function function, ADDRESS_FAMILY family, Table** table,
                               Collect collect)
{
    run_hook(function);
    std::lock_guard lock(mutex_);
    iphelper_call& call = record(function);
    if (take_failure(function, call.result))
        return call.result;
    if (table == nullptr || !(family == AF_UNSPEC || family_ok(family)))
        return call.result = ERROR_INVALID_PARAMETER;
    const auto rows = collect();
    if (rows.empty())
        return call.result = ERROR_NOT_FOUND;
    *table = make_table<Table>(rows);
    return call.result = NO_ERROR;
}

// The start of the Initialize...Entry functions: the hook, the record and the row zeroed;
// false (and a violation) without a row.
template <class Row> bool host_network::initialize_call(iphelper_function function, Row* row)
{
    run_hook(function);
    std::lock_guard lock(mutex_);
    record(function);
    if (row == nullptr) {
        violation(std::string(function_name(function)) + " with a null row");
        return false;
    }
    std::memset(row, 0, sizeof(*row));
    return true;
}

std::optional<SOCKADDR_INET> host_network::first_address(std::string_view guid,
                                                         ADDRESS_FAMILY family) const
{
    for (const auto& a : addresses_)
        if (a.guid == guid && a.row.Address.si_family == family)
            return a.row.Address;
    return std::nullopt;
}

// ---- interfaces ---------------------------------------------------------------------

void host_network::reset()
{
    std::unique_lock lock(mutex_);
    hold_in_.reset();
    held_ = false;
    changed_.notify_all();
    for (auto& r : registrations_) {
        r->cancelled = true;
        cancelled_handles_.insert(r->handle);
    }
    registrations_.clear();
    changed_.wait(lock, [&] { return pending_deliveries_ == 0; });
    std::vector<std::thread> threads = std::move(delivery_threads_);
    delivery_threads_.clear();
    lock.unlock();
    for (auto& t : threads)
        t.join();
    lock.lock();
    finished_threads_.clear();
    interfaces_.clear();
    next_luid_index_.clear();
    addresses_.clear();
    routes_.clear();
    neighbours_.clear();
    link_nodes_.clear();
    cancelled_handles_.clear();
    delivered_ = 0;
    for (void* table : open_tables_)
        std::free(table);
    open_tables_.clear();
    failures_.clear();
    hooks_.clear();
    hook_counts_.clear();
    calls_.clear();
    violations_.clear();
    service_calls_.clear();
    next_call_ = 0;
}

void host_network::attach(const adapter& adapter, const interface_settings& settings)
{
    std::lock_guard lock(mutex_);
    if (find(adapter.guid) != nullptr)
        throw std::invalid_argument("simhost: IP interface " + adapter.guid + " exists already");
    interface_state s;
    s.info.interface_guid = parse_guid(adapter.guid);
    s.info.guid = adapter.guid;
    s.info.mac = adapter.mac;
    s.info.mtu = adapter.mtu;
    s.info.settings = settings;
    if (settings.if_index != 0) {
        if (find_by_index(settings.if_index) != nullptr)
            throw std::invalid_argument("simhost: interface index " +
                                        std::to_string(settings.if_index) + " is taken");
        s.info.if_index = settings.if_index;
    } else {
        s.info.if_index = next_free_index();
    }
    s.info.ipv4_if_index = settings.ipv4_enabled ? s.info.if_index : 0;
    s.info.ipv6_if_index = settings.ipv6_enabled ? s.info.index_for(AF_INET6) : 0;
    s.info.luid.Value = settings.luid;
    if (s.info.luid.Value == 0) {
        const std::uint32_t luid_index = ++next_luid_index_[settings.if_type];
        s.info.luid.Value = static_cast<std::uint64_t>(settings.if_type & 0xFFFF) << 48 |
                            static_cast<std::uint64_t>(luid_index & 0xFFFFFF) << 24;
    }
    if (s.info.settings.description.empty())
        s.info.settings.description = L"Simulated adapter " + std::to_wstring(s.info.if_index);
    if (s.info.settings.friendly_name.empty())
        s.info.settings.friendly_name = L"Ethernet " + std::to_wstring(s.info.if_index);
    for (const auto& text : settings.dns_servers)
        s.dns_servers.push_back(parse_ip(text));
    interfaces_.push_back(std::move(s));
}

void host_network::detach(std::string_view guid)
{
    std::lock_guard lock(mutex_);
    std::erase_if(interfaces_, [&](const interface_state& s) { return s.info.guid == guid; });
    std::erase_if(addresses_, [&](const stored_address& a) { return a.guid == guid; });
    std::erase_if(routes_, [&](const stored_route& r) { return r.guid == guid; });
    std::erase_if(neighbours_, [&](const stored_neighbour& n) { return n.guid == guid; });
    std::erase_if(link_nodes_, [&](const link_node& n) { return n.guid == guid; });
}

std::optional<ip_interface> host_network::find_interface(std::string_view guid) const
{
    std::lock_guard lock(mutex_);
    if (const interface_state* s = find(guid))
        return s->info;
    return std::nullopt;
}

ip_interface host_network::interface_of(std::string_view guid) const
{
    if (auto found = find_interface(guid))
        return *found;
    throw std::invalid_argument("simhost: no IP interface " + std::string(guid));
}

std::vector<ip_interface> host_network::interfaces() const
{
    std::lock_guard lock(mutex_);
    std::vector<ip_interface> list;
    for (const auto& s : interfaces_)
        list.push_back(s.info);
    return list;
}

void host_network::update(std::string_view guid,
                          const std::function<void(interface_settings&)>& change)
{
    std::lock_guard lock(mutex_);
    interface_state& s = known(guid);
    interface_settings settings = s.info.settings;
    change(settings);
    std::vector<SOCKADDR_INET> dns;
    for (const auto& text : settings.dns_servers)
        dns.push_back(parse_ip(text));
    settings.if_index = s.info.settings.if_index;
    settings.if_type = s.info.settings.if_type;
    settings.listed = true;
    s.info.settings = std::move(settings);
    s.info.ipv4_if_index = s.info.settings.ipv4_enabled ? s.info.if_index : 0;
    s.info.ipv6_if_index = s.info.settings.ipv6_enabled ? s.info.index_for(AF_INET6) : 0;
    s.dns_servers = std::move(dns);
}

void host_network::set_oper_status(std::string_view guid, std::uint32_t oper_status)
{
    update(guid, [&](interface_settings& s) { s.oper_status = oper_status; });
}

// ---- the host's own configuration -----------------------------------------------------

void host_network::add_address(std::string_view guid, std::string_view address,
                               std::uint8_t prefix_length)
{
    std::lock_guard lock(mutex_);
    interface_state& s = known(guid);
    MIB_UNICASTIPADDRESS_ROW row{};
    row.Address = parse_ip(address);
    if (prefix_length > full_length(row.Address.si_family))
        throw std::invalid_argument("simhost: prefix length too long for " + std::string(address));
    row.PrefixOrigin = IpPrefixOriginManual;
    row.SuffixOrigin = IpSuffixOriginManual;
    row.ValidLifetime = infinite_lifetime;
    row.PreferredLifetime = infinite_lifetime;
    row.OnLinkPrefixLength = prefix_length;
    row.DadState = IpDadStatePreferred;
    if (link_local(row.Address))
        row.ScopeId.Value = s.info.index_for(row.Address.si_family);
    row.CreationTimeStamp.QuadPart = ++clock_;
    if (holds(addresses_, s.info.guid, at_address(row.Address)))
        throw std::invalid_argument("simhost: address " + std::string(address) +
                                    " exists already");
    addresses_.push_back(stored_on<stored_address>(s.info, row));
}

bool host_network::remove_address(std::string_view guid, std::string_view address)
{
    std::lock_guard lock(mutex_);
    const SOCKADDR_INET wanted = parse_ip(address);
    return std::erase_if(addresses_, [&](const stored_address& a) {
               return a.guid == guid && same_ip(a.row.Address, wanted);
           }) != 0;
}

void host_network::add_route(std::string_view guid, std::string_view prefix,
                             std::string_view next_hop, std::uint32_t metric)
{
    std::lock_guard lock(mutex_);
    interface_state& s = known(guid);
    const ip_prefix destination = parse_prefix(prefix);
    MIB_IPFORWARD_ROW2 row{};
    row.DestinationPrefix.Prefix = destination.address;
    row.DestinationPrefix.PrefixLength = destination.length;
    if (!next_hop.empty()) {
        row.NextHop = parse_ip(next_hop);
        if (row.NextHop.si_family != destination.address.si_family)
            throw std::invalid_argument("simhost: next hop of another family");
    } else {
        row.NextHop.si_family = destination.address.si_family;
    }
    row.ValidLifetime = infinite_lifetime;
    row.PreferredLifetime = infinite_lifetime;
    row.Metric = metric;
    row.Protocol = static_cast<NL_ROUTE_PROTOCOL>(MIB_IPPROTO_NETMGMT);
    row.Origin = NlroManual;
    row.Immortal = TRUE;
    if (holds(routes_, s.info.guid, same_route_as(row)))
        throw std::invalid_argument("simhost: route " + std::string(prefix) + " exists already");
    routes_.push_back(stored_on<stored_route>(s.info, row));
}

bool host_network::remove_route(std::string_view guid, std::string_view prefix,
                                std::string_view next_hop)
{
    std::lock_guard lock(mutex_);
    MIB_IPFORWARD_ROW2 wanted{};
    const ip_prefix destination = parse_prefix(prefix);
    wanted.DestinationPrefix.Prefix = destination.address;
    wanted.DestinationPrefix.PrefixLength = destination.length;
    if (!next_hop.empty())
        wanted.NextHop = parse_ip(next_hop);
    return std::erase_if(routes_, [&](const stored_route& r) {
               return r.guid == guid && same_route(r.row, wanted);
           }) != 0;
}

void host_network::add_neighbour(std::string_view guid, std::string_view address,
                                 const mac_address& mac, std::uint32_t state)
{
    std::lock_guard lock(mutex_);
    interface_state& s = known(guid);
    MIB_IPNET_ROW2 row{};
    row.Address = parse_ip(address);
    std::memcpy(row.PhysicalAddress, mac.data(), mac.size());
    row.PhysicalAddressLength = static_cast<ULONG>(mac.size());
    row.State = static_cast<NL_NEIGHBOR_STATE>(state);
    if (holds(neighbours_, s.info.guid, at_address(row.Address)))
        throw std::invalid_argument("simhost: neighbour " + std::string(address) +
                                    " exists already");
    neighbours_.push_back(stored_on<stored_neighbour>(s.info, row));
}

void host_network::set_link_node(std::string_view guid, std::string_view address,
                                 const mac_address& mac)
{
    std::lock_guard lock(mutex_);
    interface_state& s = known(guid);
    const SOCKADDR_INET parsed = parse_ip(address);
    for (auto& node : link_nodes_)
        if (node.guid == s.info.guid && same_ip(node.address, parsed)) {
            node.mac = mac;
            return;
        }
    link_nodes_.push_back({s.info.guid, parsed, mac});
}

bool host_network::remove_link_node(std::string_view guid, std::string_view address)
{
    std::lock_guard lock(mutex_);
    const SOCKADDR_INET parsed = parse_ip(address);
    return std::erase_if(link_nodes_, [&](const link_node& node) {
               return node.guid == guid && same_ip(node.address, parsed);
           }) != 0;
}

void host_network::add_default_gateway(std::string_view guid, std::string_view gateway,
                                       const mac_address& mac, std::uint32_t metric)
{
    const SOCKADDR_INET parsed = parse_ip(gateway);
    add_route(guid, parsed.si_family == AF_INET ? "0.0.0.0/0" : "::/0", gateway, metric);
    set_link_node(guid, gateway, mac);
}

network_snapshot host_network::snapshot() const
{
    std::lock_guard lock(mutex_);
    network_snapshot snapshot;
    for (const auto& a : addresses_) {
        address_row row;
        row.guid = a.guid;
        row.address = ip_text(a.row.Address);
        row.prefix_length = a.row.OnLinkPrefixLength;
        row.prefix_origin = a.row.PrefixOrigin;
        row.suffix_origin = a.row.SuffixOrigin;
        row.dad_state = a.row.DadState;
        row.valid_lifetime = a.row.ValidLifetime;
        row.preferred_lifetime = a.row.PreferredLifetime;
        row.skip_as_source = a.row.SkipAsSource != FALSE;
        snapshot.addresses.push_back(std::move(row));
    }
    for (const auto& r : routes_) {
        route_row row;
        row.guid = r.guid;
        row.destination =
            prefix_text({r.row.DestinationPrefix.Prefix, r.row.DestinationPrefix.PrefixLength});
        row.next_hop = next_hop_text(r.row.NextHop);
        if (zero_address(r.row.NextHop))
            row.next_hop.clear();
        row.metric = r.row.Metric;
        row.protocol = static_cast<std::uint32_t>(r.row.Protocol);
        row.origin = static_cast<std::uint32_t>(r.row.Origin);
        row.site_prefix_length = r.row.SitePrefixLength;
        row.valid_lifetime = r.row.ValidLifetime;
        row.preferred_lifetime = r.row.PreferredLifetime;
        row.loopback = r.row.Loopback != FALSE;
        row.autoconfigure_address = r.row.AutoconfigureAddress != FALSE;
        row.publish = r.row.Publish != FALSE;
        row.immortal = r.row.Immortal != FALSE;
        snapshot.routes.push_back(std::move(row));
    }
    for (const auto& n : neighbours_) {
        neighbour_row row;
        row.guid = n.guid;
        row.address = ip_text(n.row.Address);
        row.physical_address.assign(
            n.row.PhysicalAddress,
            n.row.PhysicalAddress +
                std::min<ULONG>(n.row.PhysicalAddressLength, IF_MAX_PHYS_ADDRESS_LENGTH));
        row.state = static_cast<std::uint32_t>(n.row.State);
        row.is_router = n.row.IsRouter != FALSE;
        row.is_unreachable = n.row.IsUnreachable != FALSE;
        snapshot.neighbours.push_back(std::move(row));
    }
    std::sort(snapshot.addresses.begin(), snapshot.addresses.end());
    std::sort(snapshot.routes.begin(), snapshot.routes.end());
    std::sort(snapshot.neighbours.begin(), snapshot.neighbours.end());
    return snapshot;
}

// ---- notifications --------------------------------------------------------------------

void host_network::start_delivery(const std::shared_ptr<registration>& target,
                                  const MIB_IPINTERFACE_ROW& row, bool with_row,
                                  MIB_NOTIFICATION_TYPE type)
{
    ++pending_deliveries_;
    delivery_threads_.emplace_back(
        [this, target, row, with_row, type] { deliver(target, row, with_row, type); });
}

void host_network::deliver(std::shared_ptr<registration> target, MIB_IPINTERFACE_ROW row,
                           bool with_row, MIB_NOTIFICATION_TYPE type)
{
    const auto self = std::this_thread::get_id();
    {
        std::lock_guard lock(mutex_);
        if (target->cancelled) {
            --pending_deliveries_;
            finished_threads_.push_back(self);
            changed_.notify_all();
            return;
        }
        target->running.push_back(self);
    }
    target->callback(target->context, with_row ? &row : nullptr, type);
    std::lock_guard lock(mutex_);
    std::erase(target->running, self);
    ++delivered_;
    --pending_deliveries_;
    finished_threads_.push_back(self);
    changed_.notify_all();
}

void host_network::join_finished_threads(std::unique_lock<std::mutex>& lock)
{
    std::vector<std::thread> done;
    for (auto it = delivery_threads_.begin(); it != delivery_threads_.end();) {
        auto finished = std::find(finished_threads_.begin(), finished_threads_.end(), it->get_id());
        if (finished == finished_threads_.end()) {
            ++it;
            continue;
        }
        finished_threads_.erase(finished);
        done.push_back(std::move(*it));
        it = delivery_threads_.erase(it);
    }
    lock.unlock();
    for (auto& t : done)
        t.join();
    lock.lock();
}

void host_network::fire(const ip_interface& info, ADDRESS_FAMILY family, MIB_NOTIFICATION_TYPE type)
{
    // A process that is ending gets no notification (and makes no thread).
    if (RtlDllShutdownInProgress() != FALSE)
        return;
    MIB_IPINTERFACE_ROW row{};
    row.Family = family;
    row.InterfaceLuid = info.luid;
    row.InterfaceIndex = info.index_for(family);
    for (const auto& r : registrations_)
        if (!r->cancelled && (r->family == AF_UNSPEC || r->family == family))
            start_delivery(r, row, true, type);
}

void host_network::fire_interface_change(std::string_view guid, ADDRESS_FAMILY family,
                                         MIB_NOTIFICATION_TYPE type)
{
    std::unique_lock lock(mutex_);
    fire(known(guid).info, family, type);
    join_finished_threads(lock);
}

void host_network::announce_interface_change(const ip_interface& info, MIB_NOTIFICATION_TYPE type)
{
    std::unique_lock lock(mutex_);
    if (info.ipv4_if_index != 0)
        fire(info, AF_INET, type);
    if (info.ipv6_if_index != 0)
        fire(info, AF_INET6, type);
    join_finished_threads(lock);
}

bool host_network::wait_for_notifications(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    const bool done = changed_.wait_for(lock, timeout, [&] { return pending_deliveries_ == 0; });
    join_finished_threads(lock);
    return done;
}

std::size_t host_network::registration_count() const
{
    std::lock_guard lock(mutex_);
    return registrations_.size();
}

std::uint64_t host_network::notifications_delivered() const
{
    std::lock_guard lock(mutex_);
    return delivered_;
}

// ---- behaviour and records ------------------------------------------------------------

void host_network::fail_next(iphelper_function function, DWORD error, unsigned times)
{
    std::lock_guard lock(mutex_);
    if (times == 0)
        failures_.erase(function);
    else
        failures_[function] = {error, times};
}

void host_network::set_call_hook(iphelper_function function, std::function<void(unsigned)> hook)
{
    std::lock_guard lock(mutex_);
    if (hook)
        hooks_[function] = std::move(hook);
    else
        hooks_.erase(function);
}

std::vector<iphelper_call> host_network::calls() const
{
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<iphelper_call> host_network::calls(iphelper_function function) const
{
    std::lock_guard lock(mutex_);
    std::vector<iphelper_call> list;
    for (const auto& call : calls_)
        if (call.function == function)
            list.push_back(call);
    return list;
}

std::size_t host_network::call_count(iphelper_function function) const
{
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(calls_.begin(), calls_.end(),
                      [&](const iphelper_call& c) { return c.function == function; }));
}

void host_network::clear_calls()
{
    std::lock_guard lock(mutex_);
    calls_.clear();
}

std::vector<std::string> host_network::violations() const
{
    std::lock_guard lock(mutex_);
    return violations_;
}

std::vector<std::string> host_network::take_violations()
{
    std::lock_guard lock(mutex_);
    return std::exchange(violations_, {});
}

std::size_t host_network::open_tables() const
{
    std::lock_guard lock(mutex_);
    return open_tables_.size();
}

// ---- interfaces and adapters ----------------------------------------------------------

DWORD host_network::get_if_table2(MIB_IF_TABLE2** table)
{
    run_hook(iphelper_function::get_if_table2);
    std::lock_guard lock(mutex_);
    iphelper_call& call = record(iphelper_function::get_if_table2);
    if (take_failure(call.function, call.result))
        return call.result;
    if (table == nullptr)
        return call.result = ERROR_INVALID_PARAMETER;
    follow_connection_names();
    std::vector<MIB_IF_ROW2> rows;
    for (const auto& s : interfaces_) {
        const ip_interface& i = s.info;
        MIB_IF_ROW2 row{};
        row.InterfaceLuid = i.luid;
        row.InterfaceIndex = i.if_index;
        row.InterfaceGuid = i.interface_guid;
        i.settings.friendly_name.copy(row.Alias, IF_MAX_STRING_SIZE);
        i.settings.description.copy(row.Description, IF_MAX_STRING_SIZE);
        row.PhysicalAddressLength =
            std::min<ULONG>(i.settings.physical_address_length, IF_MAX_PHYS_ADDRESS_LENGTH);
        std::memcpy(row.PhysicalAddress, i.mac.data(),
                    std::min<std::size_t>(row.PhysicalAddressLength, i.mac.size()));
        std::memcpy(row.PermanentPhysicalAddress, row.PhysicalAddress, sizeof(row.PhysicalAddress));
        row.Mtu = i.mtu;
        row.Type = i.settings.if_type;
        row.MediaType = static_cast<NDIS_MEDIUM>(i.settings.media_type);
        row.PhysicalMediumType = static_cast<NDIS_PHYSICAL_MEDIUM>(i.settings.physical_medium);
        row.AccessType = NET_IF_ACCESS_BROADCAST;
        row.DirectionType = NET_IF_DIRECTION_SENDRECEIVE;
        row.InterfaceAndOperStatusFlags.HardwareInterface = i.settings.hardware_interface;
        row.InterfaceAndOperStatusFlags.ConnectorPresent = i.settings.hardware_interface;
        row.InterfaceAndOperStatusFlags.NotMediaConnected =
            i.settings.media_connect_state != media_connected;
        row.OperStatus = static_cast<IF_OPER_STATUS>(i.settings.oper_status);
        row.AdminStatus = NET_IF_ADMIN_STATUS_UP;
        row.MediaConnectState =
            static_cast<NET_IF_MEDIA_CONNECT_STATE>(i.settings.media_connect_state);
        row.ConnectionType = NET_IF_CONNECTION_DEDICATED;
        row.TransmitLinkSpeed = i.settings.transmit_link_speed;
        row.ReceiveLinkSpeed = i.settings.receive_link_speed;
        rows.push_back(row);
    }
    *table = make_table<MIB_IF_TABLE2>(rows);
    return call.result = NO_ERROR;
}

void host_network::free_mib_table(void* memory)
{
    run_hook(iphelper_function::free_mib_table);
    std::lock_guard lock(mutex_);
    record(iphelper_function::free_mib_table);
    if (memory == nullptr)
        return;
    auto found = open_tables_.find(memory);
    if (found == open_tables_.end()) {
        violation("FreeMibTable of memory that is not an open table (freed twice, or never "
                  "returned by a table function)");
        return;
    }
    open_tables_.erase(found);
    std::free(memory);
}

// The friendly names of the interfaces that take theirs from the registry, read once per
// call (the layout is worked out twice and must not change in between).
void host_network::follow_connection_names()
{
    for (auto& s : interfaces_) {
        if (!s.info.settings.name_from_connection_key)
            continue;
        HKEY key = nullptr;
        const std::string path = connection_key_path(s.info.guid);
        if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            continue;
        wchar_t name[IF_MAX_STRING_SIZE + 1] = {};
        DWORD size = sizeof(name) - sizeof(wchar_t);
        DWORD type = 0;
        if (::RegQueryValueExW(key, L"Name", nullptr, &type, reinterpret_cast<BYTE*>(name), &size) ==
                ERROR_SUCCESS &&
            type == REG_SZ)
            s.info.settings.friendly_name = name;
        ::RegCloseKey(key);
    }
}

// Lays the adapter list out as GetAdaptersAddresses does: the records, their strings and
// their address lists in one buffer. Without a buffer only the size is worked out.
std::size_t host_network::adapters_layout(ULONG family, ULONG flags, std::uint8_t* out) const
{
    std::size_t used = 0;
    auto take = [&](std::size_t size, std::size_t align) -> void* {
        used = (used + align - 1) / align * align;
        void* p = nullptr;
        if (out != nullptr) {
            p = out + used;
            std::memset(p, 0, size);
        }
        used += size;
        return p;
    };
    auto take_wide = [&](const std::wstring& text) {
        auto* p = static_cast<wchar_t*>(take((text.size() + 1) * sizeof(wchar_t), 2));
        if (p != nullptr)
            std::memcpy(p, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
        return p;
    };
    // One entry of an address list (unicast addresses, DNS servers, gateways) with its
    // sockaddr behind it, linked in at `next`.
    auto take_entry = [&]<class Entry>(Entry**& next, const SOCKADDR_INET& address) -> Entry* {
        auto* entry = static_cast<Entry*>(take(sizeof(Entry), 8));
        const std::size_t size = sockaddr_size(address.si_family);
        void* p = take(size, 8);
        if (entry == nullptr)
            return nullptr;
        std::memcpy(p, &address, size);
        entry->Address.lpSockaddr = static_cast<sockaddr*>(p);
        entry->Address.iSockaddrLength = static_cast<INT>(size);
        entry->Length = sizeof(Entry);
        *next = entry;
        next = &entry->Next;
        return entry;
    };

    IP_ADAPTER_ADDRESSES* previous = nullptr;
    for (const auto& s : interfaces_) {
        const ip_interface& i = s.info;
        if (family == AF_INET && !i.settings.ipv4_enabled)
            continue;
        if (family == AF_INET6 && !i.settings.ipv6_enabled)
            continue;
        auto* a = static_cast<IP_ADAPTER_ADDRESSES*>(take(sizeof(IP_ADAPTER_ADDRESSES), 8));
        auto* name = static_cast<char*>(take(i.guid.size() + 1, 1));
        wchar_t* suffix = take_wide(L"");
        wchar_t* description = take_wide(i.settings.description);
        wchar_t* friendly = take_wide(i.settings.friendly_name);
        if (a != nullptr) {
            std::memcpy(name, i.guid.c_str(), i.guid.size() + 1);
            a->Length = sizeof(IP_ADAPTER_ADDRESSES);
            a->IfIndex = i.ipv4_if_index;
            a->AdapterName = name;
            a->DnsSuffix = suffix;
            a->Description = description;
            a->FriendlyName = friendly;
            a->PhysicalAddressLength =
                std::min<ULONG>(i.settings.physical_address_length, MAX_ADAPTER_ADDRESS_LENGTH);
            std::memcpy(a->PhysicalAddress, i.mac.data(),
                        std::min<std::size_t>(a->PhysicalAddressLength, i.mac.size()));
            a->Ipv4Enabled = i.settings.ipv4_enabled;
            a->Ipv6Enabled = i.settings.ipv6_enabled;
            a->Mtu = i.mtu;
            a->IfType = i.settings.if_type;
            a->OperStatus = static_cast<IF_OPER_STATUS>(i.settings.oper_status);
            a->Ipv6IfIndex = i.ipv6_if_index;
            a->TransmitLinkSpeed = i.settings.transmit_link_speed;
            a->ReceiveLinkSpeed = i.settings.receive_link_speed;
            a->Ipv4Metric = i.settings.metric;
            a->Ipv6Metric = i.settings.metric;
            a->Luid = i.luid;
            a->ConnectionType = NET_IF_CONNECTION_DEDICATED;
            if (previous != nullptr)
                previous->Next = a;
            previous = a;
        }

        IP_ADAPTER_UNICAST_ADDRESS** next_unicast = a ? &a->FirstUnicastAddress : nullptr;
        for (const auto& stored : addresses_) {
            if (stored.guid != i.guid || !family_selected(family, stored.row.Address.si_family))
                continue;
            if (auto* u = take_entry(next_unicast, stored.row.Address)) {
                u->PrefixOrigin = static_cast<IP_PREFIX_ORIGIN>(stored.row.PrefixOrigin);
                u->SuffixOrigin = static_cast<IP_SUFFIX_ORIGIN>(stored.row.SuffixOrigin);
                u->DadState = static_cast<IP_DAD_STATE>(stored.row.DadState);
                u->ValidLifetime = stored.row.ValidLifetime;
                u->PreferredLifetime = stored.row.PreferredLifetime;
                u->LeaseLifetime = stored.row.ValidLifetime;
                u->OnLinkPrefixLength = stored.row.OnLinkPrefixLength;
            }
        }

        IP_ADAPTER_DNS_SERVER_ADDRESS** next_dns = a ? &a->FirstDnsServerAddress : nullptr;
        for (const auto& server : s.dns_servers)
            if (family_selected(family, server.si_family))
                take_entry(next_dns, server);

        if ((flags & GAA_FLAG_INCLUDE_GATEWAYS) == 0)
            continue;
        IP_ADAPTER_GATEWAY_ADDRESS** next_gateway = a ? &a->FirstGatewayAddress : nullptr;
        for (const auto& route : routes_) {
            const auto& r = route.row;
            if (route.guid != i.guid || r.DestinationPrefix.PrefixLength != 0 ||
                !family_ok(r.NextHop.si_family) || zero_address(r.NextHop) ||
                !family_selected(family, r.NextHop.si_family))
                continue;
            take_entry(next_gateway, r.NextHop);
        }
    }
    return used;
}

ULONG host_network::get_adapters_addresses(ULONG family, ULONG flags, void* reserved,
                                           IP_ADAPTER_ADDRESSES* addresses, ULONG* size)
{
    run_hook(iphelper_function::get_adapters_addresses);
    std::lock_guard lock(mutex_);
    iphelper_call& call = record(iphelper_function::get_adapters_addresses);
    adapters_query query;
    query.family = family;
    query.flags = flags;
    query.buffer = addresses != nullptr;
    query.size_in = size != nullptr ? *size : 0;
    auto finish = [&](DWORD result) {
        query.size_out = size != nullptr ? *size : 0;
        call.arguments = query;
        return call.result = result;
    };
    DWORD injected = 0;
    if (take_failure(call.function, injected))
        return finish(injected);
    if (size == nullptr || !(family == AF_UNSPEC || family_ok(static_cast<ADDRESS_FAMILY>(family))))
        return finish(ERROR_INVALID_PARAMETER);
    if (reserved != nullptr) {
        violation("GetAdaptersAddresses: Reserved is not null");
        return finish(ERROR_INVALID_PARAMETER);
    }
    follow_connection_names();
    const std::size_t required = adapters_layout(family, flags, nullptr);
    if (required == 0)
        return finish(ERROR_NO_DATA);
    if (addresses == nullptr || *size < required) {
        *size = static_cast<ULONG>(required);
        return finish(ERROR_BUFFER_OVERFLOW);
    }
    adapters_layout(family, flags, reinterpret_cast<std::uint8_t*>(addresses));
    return finish(NO_ERROR);
}

// ---- routing ----------------------------------------------------------------------------

std::optional<host_network::stored_route>
host_network::best_route(ADDRESS_FAMILY family, const SOCKADDR_INET& destination,
                         const interface_state* only) const
{
    const stored_route* best = nullptr;
    int best_length = -1;
    std::uint64_t best_metric = 0;
    for (const auto& route : routes_) {
        const auto& prefix = route.row.DestinationPrefix;
        if (prefix.Prefix.si_family != family)
            continue;
        const interface_state* s = find(route.guid);
        if (s == nullptr || (only != nullptr && s != only))
            continue;
        if (s->info.settings.oper_status != oper_status_up)
            continue;
        if ((family == AF_INET && !s->info.settings.ipv4_enabled) ||
            (family == AF_INET6 && !s->info.settings.ipv6_enabled))
            continue;
        if (!same_prefix(prefix.Prefix, destination, prefix.PrefixLength))
            continue;
        const std::uint64_t metric =
            static_cast<std::uint64_t>(route.row.Metric) + s->info.settings.metric;
        const int length = prefix.PrefixLength;
        if (length > best_length || (length == best_length && metric < best_metric)) {
            best = &route;
            best_length = length;
            best_metric = metric;
        }
    }
    if (best == nullptr)
        return std::nullopt;
    return *best;
}

std::optional<host_network::route_choice>
host_network::choose_route(const SOCKADDR_INET& destination, const SOCKADDR_INET* bound_source) const
{
    std::lock_guard lock(mutex_);
    if (!family_ok(destination.si_family))
        return std::nullopt;
    route_choice choice;
    std::optional<stored_route> route;
    if (bound_source != nullptr) {
        const auto holder = std::find_if(addresses_.begin(), addresses_.end(), [&](const stored_address& a) {
            return same_ip(a.row.Address, *bound_source);
        });
        if (holder == addresses_.end() || bound_source->si_family != destination.si_family)
            return std::nullopt;
        route = best_route(destination.si_family, destination, find(holder->guid));
        choice.guid = holder->guid;
        choice.source = *bound_source;
        if (route)
            choice.next_hop = route->row.NextHop;
        else
            choice.next_hop.si_family = destination.si_family; // on-link
    } else {
        route = best_route(destination.si_family, destination, nullptr);
        if (!route)
            return std::nullopt;
        choice.guid = route->guid;
        choice.next_hop = route->row.NextHop;
        choice.source = first_address(route->guid, destination.si_family);
    }
    const SOCKADDR_INET& hop = zero_address(choice.next_hop) ? destination : choice.next_hop;
    for (const auto& n : neighbours_)
        if (n.guid == choice.guid && same_ip(n.row.Address, hop) && n.row.PhysicalAddressLength == 6) {
            mac_address mac{};
            std::memcpy(mac.data(), n.row.PhysicalAddress, mac.size());
            choice.next_hop_mac = mac;
            return choice;
        }
    for (const auto& node : link_nodes_)
        if (node.guid == choice.guid && same_ip(node.address, hop)) {
            choice.next_hop_mac = node.mac;
            break;
        }
    return choice;
}

DWORD host_network::get_best_interface_ex(sockaddr* destination, DWORD* best_if_index)
{
    run_hook(iphelper_function::get_best_interface_ex);
    std::lock_guard lock(mutex_);
    iphelper_call& call = record(iphelper_function::get_best_interface_ex);
    route_query query;
    if (destination != nullptr && family_ok(destination->sa_family))
        std::memcpy(&query.destination, destination, sockaddr_size(destination->sa_family));
    call.arguments = query;
    if (take_failure(call.function, call.result))
        return call.result;
    if (destination == nullptr || best_if_index == nullptr || !family_ok(destination->sa_family))
        return call.result = ERROR_INVALID_PARAMETER;
    const auto route = best_route(destination->sa_family, query.destination, nullptr);
    if (!route)
        return call.result = ERROR_NETWORK_UNREACHABLE;
    const interface_state* s = find(route->guid);
    *best_if_index = s->info.index_for(destination->sa_family);
    call.guid = route->guid;
    return call.result = NO_ERROR;
}

DWORD host_network::get_best_route2(NET_LUID* interface_luid, NET_IFINDEX interface_index,
                                    const SOCKADDR_INET* source_address,
                                    const SOCKADDR_INET* destination_address,
                                    ULONG address_sort_options, MIB_IPFORWARD_ROW2* best_route_out,
                                    SOCKADDR_INET* best_source_address)
{
    run_hook(iphelper_function::get_best_route2);
    std::lock_guard lock(mutex_);
    iphelper_call& call = record(iphelper_function::get_best_route2);
    route_query query;
    query.interface_luid = interface_luid != nullptr ? interface_luid->Value : 0;
    query.interface_index = interface_index;
    query.source = source_address != nullptr;
    if (destination_address != nullptr)
        query.destination = *destination_address;
    query.sort_options = address_sort_options;
    call.arguments = query;
    if (take_failure(call.function, call.result))
        return call.result;
    if (destination_address == nullptr || best_route_out == nullptr ||
        best_source_address == nullptr || !family_ok(destination_address->si_family))
        return call.result = ERROR_INVALID_PARAMETER;
    const interface_state* only = nullptr;
    if (query.interface_luid != 0) {
        only = find_by_luid(query.interface_luid);
        if (only == nullptr)
            return call.result = ERROR_NOT_FOUND;
    } else if (interface_index != 0) {
        only = find_by_index(interface_index);
        if (only == nullptr)
            return call.result = ERROR_NOT_FOUND;
    }
    if (only != nullptr)
        call.guid = only->info.guid;
    const ADDRESS_FAMILY family = destination_address->si_family;
    const auto route = best_route(family, *destination_address, only);
    if (!route)
        return call.result = ERROR_NETWORK_UNREACHABLE;
    *best_route_out = route->row;
    *best_source_address = first_address(route->guid, family).value_or(SOCKADDR_INET{});
    call.guid = route->guid;
    return call.result = NO_ERROR;
}

DWORD host_network::get_ip_forward_table2(ADDRESS_FAMILY family, MIB_IPFORWARD_TABLE2** table)
{
    return table_call(iphelper_function::get_ip_forward_table2, family, table, [&] {
        std::vector<MIB_IPFORWARD_ROW2> rows;
        for (const auto& route : routes_)
            if (family_selected(family, route.row.DestinationPrefix.Prefix.si_family))
                rows.push_back(route.row);
        return rows;
    });
}

// The documented defaults: infinite lifetimes, Loopback, AutoconfigureAddress and
// Immortal set, Publish clear, SitePrefixLength, Metric and Protocol at illegal values
// (the caller must set them), everything else zero.
void host_network::initialize_ip_forward_entry(MIB_IPFORWARD_ROW2* row)
{
    if (!initialize_call(iphelper_function::initialize_ip_forward_entry, row))
        return;
    row->ValidLifetime = infinite_lifetime;
    row->PreferredLifetime = infinite_lifetime;
    row->Loopback = TRUE;
    row->AutoconfigureAddress = TRUE;
    row->Publish = FALSE;
    row->Immortal = TRUE;
    row->SitePrefixLength = 0xFF;
    row->Metric = 0xFFFFFFFF;
    row->Protocol = static_cast<NL_ROUTE_PROTOCOL>(-1);
}

DWORD host_network::create_ip_forward_entry2(const MIB_IPFORWARD_ROW2* row)
{
    return row_call(iphelper_function::create_ip_forward_entry2, row,
                    [&](const interface_state& s) -> DWORD {
                        const auto& prefix = row->DestinationPrefix;
                        const ADDRESS_FAMILY family = prefix.Prefix.si_family;
                        if (!family_ok(family) || prefix.PrefixLength > full_length(family) ||
                            (row->NextHop.si_family != AF_UNSPEC &&
                             row->NextHop.si_family != family))
                            return ERROR_INVALID_PARAMETER;
                        if (holds(routes_, s.info.guid, same_route_as(*row)))
                            return ERROR_OBJECT_ALREADY_EXISTS;
                        stored_route r = stored_on<stored_route>(s.info, *row);
                        r.row.Age = 0;
                        routes_.push_back(r);
                        return NO_ERROR;
                    });
}

DWORD host_network::delete_ip_forward_entry2(const MIB_IPFORWARD_ROW2* row)
{
    return row_call(iphelper_function::delete_ip_forward_entry2, row, [&](const interface_state& s) {
        return erase_first(routes_, s.info.guid, same_route_as(*row));
    });
}

// ---- unicast addresses ------------------------------------------------------------------

DWORD host_network::get_unicast_ip_address_table(ADDRESS_FAMILY family,
                                                 MIB_UNICASTIPADDRESS_TABLE** table)
{
    return table_call(iphelper_function::get_unicast_ip_address_table, family, table, [&] {
        std::vector<MIB_UNICASTIPADDRESS_ROW> rows;
        for (const auto& s : interfaces_)
            for (const auto& a : addresses_)
                if (a.guid == s.info.guid && family_selected(family, a.row.Address.si_family))
                    rows.push_back(a.row);
        return rows;
    });
}

// The documented defaults: prefix and suffix origin "unchanged", infinite lifetimes, an
// illegal on-link prefix length (the caller must set it), not skipped as source,
// everything else zero.
void host_network::initialize_unicast_ip_address_entry(MIB_UNICASTIPADDRESS_ROW* row)
{
    if (!initialize_call(iphelper_function::initialize_unicast_ip_address_entry, row))
        return;
    row->PrefixOrigin = IpPrefixOriginUnchanged;
    row->SuffixOrigin = IpSuffixOriginUnchanged;
    row->ValidLifetime = infinite_lifetime;
    row->PreferredLifetime = infinite_lifetime;
    row->OnLinkPrefixLength = 0xFF;
    row->SkipAsSource = FALSE;
}

DWORD host_network::create_unicast_ip_address_entry(const MIB_UNICASTIPADDRESS_ROW* row)
{
    return row_call(iphelper_function::create_unicast_ip_address_entry, row,
                    [&](const interface_state& s) -> DWORD {
                        const ADDRESS_FAMILY family = row->Address.si_family;
                        if (!family_ok(family) || row->OnLinkPrefixLength > full_length(family))
                            return ERROR_INVALID_PARAMETER;
                        if (holds(addresses_, s.info.guid, at_address(row->Address)))
                            return ERROR_OBJECT_ALREADY_EXISTS;
                        stored_address a = stored_on<stored_address>(s.info, *row);
                        if (a.row.DadState == IpDadStateInvalid)
                            a.row.DadState = IpDadStatePreferred;
                        a.row.ScopeId.Value = link_local(a.row.Address) ? s.info.index_for(family) : 0;
                        a.row.CreationTimeStamp.QuadPart = ++clock_;
                        addresses_.push_back(a);
                        return NO_ERROR;
                    });
}

DWORD host_network::delete_unicast_ip_address_entry(const MIB_UNICASTIPADDRESS_ROW* row)
{
    return row_call(iphelper_function::delete_unicast_ip_address_entry, row,
                    [&](const interface_state& s) {
                        return erase_first(addresses_, s.info.guid, at_address(row->Address));
                    });
}

// ---- neighbours ---------------------------------------------------------------------------

DWORD host_network::resolve_ip_net_entry2(MIB_IPNET_ROW2* row, const SOCKADDR_INET* source_address)
{
    (void)source_address;
    return row_call(iphelper_function::resolve_ip_net_entry2, row, [&](const interface_state& s) -> DWORD {
        if (!family_ok(row->Address.si_family))
            return ERROR_INVALID_PARAMETER;
        const bool router = std::any_of(routes_.begin(), routes_.end(), [&](const stored_route& r) {
            return r.guid == s.info.guid && same_ip(r.row.NextHop, row->Address);
        });
        auto answer = [&](const std::uint8_t* mac, ULONG length, NL_NEIGHBOR_STATE state) {
            row->InterfaceLuid = s.info.luid;
            row->InterfaceIndex = s.info.index_for(row->Address.si_family);
            std::memset(row->PhysicalAddress, 0, sizeof(row->PhysicalAddress));
            std::memcpy(row->PhysicalAddress, mac,
                        std::min<ULONG>(length, IF_MAX_PHYS_ADDRESS_LENGTH));
            row->PhysicalAddressLength = length;
            row->State = state;
            row->IsRouter = router;
            row->IsUnreachable = FALSE;
            return DWORD{NO_ERROR};
        };
        for (const auto& n : neighbours_)
            if (n.guid == s.info.guid && same_ip(n.row.Address, row->Address) &&
                n.row.State >= NlnsProbe)
                return answer(n.row.PhysicalAddress, n.row.PhysicalAddressLength, n.row.State);
        if (s.info.settings.oper_status == oper_status_up)
            for (const auto& node : link_nodes_)
                if (node.guid == s.info.guid && same_ip(node.address, row->Address))
                    return answer(node.mac.data(), static_cast<ULONG>(node.mac.size()),
                                  static_cast<NL_NEIGHBOR_STATE>(neighbour_reachable));
        return ERROR_BAD_NET_NAME;
    });
}

DWORD host_network::create_ip_net_entry2(const MIB_IPNET_ROW2* row)
{
    return row_call(iphelper_function::create_ip_net_entry2, row,
                    [&](const interface_state& s) -> DWORD {
                        if (!family_ok(row->Address.si_family) ||
                            row->PhysicalAddressLength > IF_MAX_PHYS_ADDRESS_LENGTH)
                            return ERROR_INVALID_PARAMETER;
                        if (holds(neighbours_, s.info.guid, at_address(row->Address)))
                            return ERROR_OBJECT_ALREADY_EXISTS;
                        neighbours_.push_back(stored_on<stored_neighbour>(s.info, *row));
                        return NO_ERROR;
                    });
}

DWORD host_network::delete_ip_net_entry2(const MIB_IPNET_ROW2* row)
{
    return row_call(iphelper_function::delete_ip_net_entry2, row, [&](const interface_state& s) {
        return erase_first(neighbours_, s.info.guid, at_address(row->Address));
    });
}

// ---- notification registrations -----------------------------------------------------------

DWORD host_network::notify_ip_interface_change(ADDRESS_FAMILY family,
                                               PIPINTERFACE_CHANGE_CALLBACK callback, void* context,
                                               BOOLEAN initial_notification,
                                               HANDLE* notification_handle)
{
    run_hook(iphelper_function::notify_ip_interface_change);
    std::lock_guard lock(mutex_);
    iphelper_call& call = record(iphelper_function::notify_ip_interface_change);
    notify_query query;
    query.family = family;
    query.context = context;
    query.initial_notification = initial_notification != FALSE;
    call.arguments = query;
    if (take_failure(call.function, call.result))
        return call.result;
    if (callback == nullptr || notification_handle == nullptr ||
        !(family == AF_UNSPEC || family_ok(family)))
        return call.result = ERROR_INVALID_PARAMETER;
    auto r = std::make_shared<registration>();
    r->handle = reinterpret_cast<HANDLE>(0x4E170000 + 16 * ++next_handle_);
    r->family = family;
    r->callback = callback;
    r->context = context;
    registrations_.push_back(r);
    *notification_handle = r->handle;
    query.handle = r->handle;
    call.arguments = query;
    if (initial_notification != FALSE)
        start_delivery(r, MIB_IPINTERFACE_ROW{}, false, MibInitialNotification);
    return call.result = NO_ERROR;
}

DWORD host_network::cancel_mib_change_notify2(HANDLE notification_handle)
{
    run_hook(iphelper_function::cancel_mib_change_notify2);
    std::unique_lock lock(mutex_);
    const std::uint64_t number = record(iphelper_function::cancel_mib_change_notify2).number;
    auto result = [&](DWORD code) {
        for (auto& call : calls_)
            if (call.number == number) {
                notify_query query;
                query.handle = notification_handle;
                call.arguments = query;
                call.result = code;
            }
        return code;
    };
    DWORD injected = 0;
    if (take_failure(iphelper_function::cancel_mib_change_notify2, injected))
        return result(injected);
    if (notification_handle == nullptr)
        return result(ERROR_INVALID_PARAMETER);
    auto found = std::find_if(registrations_.begin(), registrations_.end(),
                              [&](const auto& r) { return r->handle == notification_handle; });
    if (found == registrations_.end()) {
        if (cancelled_handles_.count(notification_handle) != 0)
            violation("CancelMibChangeNotify2 of a registration that was cancelled already");
        return result(ERROR_INVALID_HANDLE);
    }
    std::shared_ptr<registration> r = *found;
    registrations_.erase(found);
    r->cancelled = true;
    cancelled_handles_.insert(notification_handle);
    const auto self = std::this_thread::get_id();
    const bool from_callback =
        std::find(r->running.begin(), r->running.end(), self) != r->running.end();
    if (from_callback)
        violation("CancelMibChangeNotify2 inside the registration's own callback (on Windows "
                  "the call waits for that callback: a deadlock)");
    const std::size_t own = from_callback ? 1 : 0;
    changed_.wait(lock, [&] { return r->running.size() == own; });
    return result(NO_ERROR);
}

// ---- the DHCP client and the resolver ---------------------------------------------------

namespace
{
std::string narrow(const wchar_t* text)
{
    if (text == nullptr)
        return "null";
    std::string out;
    for (; *text != L'\0'; ++text)
        out += *text < 0x80 ? static_cast<char>(*text) : '?';
    return out;
}
} // namespace

DWORD host_network::dhcp_notify_config_change(const wchar_t* server_name, const wchar_t* adapter_name,
                                              BOOL new_ip_address, DWORD ip_index, DWORD ip_address,
                                              DWORD subnet_mask, int dhcp_action)
{
    std::lock_guard lock(mutex_);
    service_calls_.push_back("DhcpNotifyConfigChange(" + narrow(server_name) + ", " + narrow(adapter_name) +
                             ", " + std::to_string(new_ip_address) + ", " + std::to_string(ip_index) + ", " +
                             std::to_string(ip_address) + ", " + std::to_string(subnet_mask) + ", " +
                             std::to_string(dhcp_action) + ")");
    return NO_ERROR;
}

void host_network::dns_flush_resolver_cache()
{
    std::lock_guard lock(mutex_);
    service_calls_.push_back("DnsFlushResolverCache()");
}

std::vector<std::string> host_network::service_calls() const
{
    std::lock_guard lock(mutex_);
    return service_calls_;
}
} // namespace simhost
