#include "socket_owners.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <stdexcept>

#include "ip_text.h"

namespace simhost
{
namespace
{
// What Windows may leave in the upper half of a port DWORD.
constexpr DWORD port_junk = 0xA5A50000u;

DWORD port_field(const SOCKADDR_INET& endpoint)
{
    const std::uint16_t network_port =
        endpoint.si_family == AF_INET6 ? endpoint.Ipv6.sin6_port : endpoint.Ipv4.sin_port;
    return port_junk | network_port;
}

SOCKADDR_INET endpoint(std::string_view address, std::uint16_t port)
{
    SOCKADDR_INET e = parse_ip(address);
    if (e.si_family == AF_INET6)
        e.Ipv6.sin6_port = ::htons(port);
    else
        e.Ipv4.sin_port = ::htons(port);
    return e;
}

bool same_endpoint(const SOCKADDR_INET& a, const SOCKADDR_INET& b)
{
    return same_ip(a, b) && port_field(a) == port_field(b);
}

template <class Table> DWORD table_size(std::size_t rows)
{
    return static_cast<DWORD>(offsetof(Table, table) + rows * sizeof(Table::table[0]));
}

void copy_ipv6(UCHAR (&out)[16], const SOCKADDR_INET& address)
{
    std::memcpy(out, &address.Ipv6.sin6_addr, 16);
}

// The fields every owner-module row has: the local end, the owner, the creation time.
template <class Row, class Entry> void write_local(Row& row, const Entry& entry)
{
    if constexpr (requires { row.dwLocalAddr; }) {
        row.dwLocalAddr = entry.local.Ipv4.sin_addr.s_addr;
    } else {
        copy_ipv6(row.ucLocalAddr, entry.local);
        row.dwLocalScopeId = entry.local.Ipv6.sin6_scope_id;
    }
    row.dwLocalPort = port_field(entry.local);
    row.dwOwningPid = entry.pid;
    row.liCreateTimestamp.QuadPart = entry.created;
    row.OwningModuleInfo[0] = entry.pid;
}

// The remote end of a TCP row.
template <class Row> void write_remote(Row& row, const SOCKADDR_INET& remote)
{
    if constexpr (requires { row.dwRemoteAddr; }) {
        row.dwRemoteAddr = remote.Ipv4.sin_addr.s_addr;
    } else {
        copy_ipv6(row.ucRemoteAddr, remote);
        row.dwRemoteScopeId = remote.Ipv6.sin6_scope_id;
    }
    row.dwRemotePort = port_field(remote);
}

// The count and the rows of a table, into a zeroed buffer of its size.
template <class Table, class Entry, class Fill>
void write_rows(void* buffer, const std::vector<const Entry*>& rows, Fill fill)
{
    auto* out = static_cast<Table*>(buffer);
    out->dwNumEntries = static_cast<DWORD>(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i)
        fill(out->table[i], *rows[i]);
}

// Ends a call: its result, and the size it leaves behind.
DWORD finish(owner_call& call, const DWORD* size, DWORD result)
{
    call.result = result;
    call.size_out = size ? *size : 0;
    return result;
}
} // namespace

const char* function_name(owner_function function)
{
    switch (function) {
    case owner_function::get_extended_tcp_table:
        return "GetExtendedTcpTable";
    case owner_function::get_extended_udp_table:
        return "GetExtendedUdpTable";
    case owner_function::get_owner_module_from_tcp_entry:
        return "GetOwnerModuleFromTcpEntry";
    case owner_function::get_owner_module_from_tcp6_entry:
        return "GetOwnerModuleFromTcp6Entry";
    case owner_function::get_owner_module_from_udp_entry:
        return "GetOwnerModuleFromUdpEntry";
    case owner_function::get_owner_module_from_udp6_entry:
        return "GetOwnerModuleFromUdp6Entry";
    }
    return "?";
}

socket_owners& socket_owners::instance()
{
    static socket_owners the_owners;
    return the_owners;
}

void socket_owners::reset()
{
    std::lock_guard lock(mutex_);
    programs_.clear();
    tcp_.clear();
    udp_.clear();
    failures_.clear();
    overstated_.clear();
    hooks_.clear();
    hook_counts_.clear();
    calls_.clear();
    violations_.clear();
    next_call_ = 0;
    clock_ = 0;
}

void socket_owners::add_program(std::uint32_t pid, std::wstring name, std::wstring path)
{
    add_program(program{pid, std::move(name), std::move(path)});
}

void socket_owners::add_program(program p)
{
    std::lock_guard lock(mutex_);
    const std::uint32_t pid = p.pid;
    programs_[pid] = std::move(p);
}

bool socket_owners::remove_program(std::uint32_t pid)
{
    std::lock_guard lock(mutex_);
    return programs_.erase(pid) != 0;
}

void socket_owners::add_tcp_connection(std::string_view local_address, std::uint16_t local_port,
                                       std::string_view remote_address, std::uint16_t remote_port,
                                       std::uint32_t pid, DWORD state)
{
    tcp_connection c;
    c.local = endpoint(local_address, local_port);
    c.remote = endpoint(remote_address, remote_port);
    if (c.local.si_family != c.remote.si_family)
        throw std::invalid_argument("simhost: a TCP connection's two ends of different families");
    c.state = state;
    c.pid = pid;
    std::lock_guard lock(mutex_);
    c.created = ++clock_;
    tcp_.push_back(c);
}

bool socket_owners::remove_tcp_connection(std::string_view local_address, std::uint16_t local_port,
                                          std::string_view remote_address, std::uint16_t remote_port)
{
    const SOCKADDR_INET local = endpoint(local_address, local_port);
    const SOCKADDR_INET remote = endpoint(remote_address, remote_port);
    std::lock_guard lock(mutex_);
    auto found = std::find_if(tcp_.begin(), tcp_.end(), [&](const tcp_connection& c) {
        return same_endpoint(c.local, local) && same_endpoint(c.remote, remote);
    });
    if (found == tcp_.end())
        return false;
    tcp_.erase(found);
    return true;
}

void socket_owners::add_udp_socket(std::string_view local_address, std::uint16_t local_port,
                                   std::uint32_t pid)
{
    udp_socket s;
    s.local = endpoint(local_address, local_port);
    s.pid = pid;
    std::lock_guard lock(mutex_);
    s.created = ++clock_;
    udp_.push_back(s);
}

bool socket_owners::remove_udp_socket(std::string_view local_address, std::uint16_t local_port)
{
    const SOCKADDR_INET local = endpoint(local_address, local_port);
    std::lock_guard lock(mutex_);
    auto found = std::find_if(udp_.begin(), udp_.end(),
                              [&](const udp_socket& s) { return same_endpoint(s.local, local); });
    if (found == udp_.end())
        return false;
    udp_.erase(found);
    return true;
}

void socket_owners::fail_next(owner_function function, DWORD error, unsigned times)
{
    std::lock_guard lock(mutex_);
    if (times == 0)
        failures_.erase(function);
    else
        failures_[function] = failure{error, times};
}

void socket_owners::fail_always(owner_function function, DWORD error)
{
    std::lock_guard lock(mutex_);
    if (error == 0)
        failures_.erase(function);
    else
        failures_[function] = failure{error, 0};
}

void socket_owners::overstate_row_count(owner_function function, DWORD extra)
{
    std::lock_guard lock(mutex_);
    if (extra == 0)
        overstated_.erase(function);
    else
        overstated_[function] = extra;
}

void socket_owners::set_call_hook(owner_function function, std::function<void(unsigned)> hook)
{
    std::lock_guard lock(mutex_);
    if (hook)
        hooks_[function] = std::move(hook);
    else
        hooks_.erase(function);
}

std::vector<owner_call> socket_owners::calls() const
{
    std::lock_guard lock(mutex_);
    return calls_;
}

std::size_t socket_owners::call_count(owner_function function) const
{
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(
        calls_.begin(), calls_.end(), [&](const owner_call& c) { return c.function == function; }));
}

std::size_t socket_owners::call_count(owner_function function, ULONG family) const
{
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(calls_.begin(), calls_.end(), [&](const owner_call& c) {
        return c.function == function && c.family == family;
    }));
}

void socket_owners::clear_calls()
{
    std::lock_guard lock(mutex_);
    calls_.clear();
}

std::vector<std::string> socket_owners::violations() const
{
    std::lock_guard lock(mutex_);
    return violations_;
}

std::vector<std::string> socket_owners::take_violations()
{
    std::lock_guard lock(mutex_);
    std::vector<std::string> taken;
    taken.swap(violations_);
    return taken;
}

bool socket_owners::take_failure(owner_function function, DWORD& error)
{
    auto found = failures_.find(function);
    if (found == failures_.end())
        return false;
    error = found->second.error;
    if (found->second.times != 0 && --found->second.times == 0)
        failures_.erase(found);
    return true;
}

owner_call& socket_owners::record(owner_function function)
{
    owner_call call;
    call.number = ++next_call_;
    call.function = function;
    calls_.push_back(call);
    return calls_.back();
}

void socket_owners::violation(std::string text)
{
    violations_.push_back(std::move(text));
}

void socket_owners::run_hook(owner_function function)
{
    std::function<void(unsigned)> hook;
    unsigned count = 0;
    {
        std::lock_guard lock(mutex_);
        count = ++hook_counts_[function];
        auto found = hooks_.find(function);
        if (found != hooks_.end())
            hook = found->second;
    }
    if (hook)
        hook(count);
}

// The course both table functions take: the record, an injected failure, the checks, the
// rows of the family that `select` picks, the size; then the rows written into a zeroed
// buffer by `fill`, in the IPv4 or the IPv6 table.
template <class Table4, class Table6, class Entry, class Select, class Fill>
DWORD socket_owners::table_call(owner_function function, void* table, DWORD* size, ULONG family,
                                ULONG reserved, const char* unsupported_class,
                                const std::vector<Entry>& entries, Select select, Fill fill)
{
    run_hook(function);
    std::lock_guard lock(mutex_);
    owner_call& call = record(function);
    call.family = family;
    call.buffer = table != nullptr;
    call.size_in = size ? *size : 0;
    call.size_out = call.size_in;
    if (take_failure(function, call.result))
        return call.result;
    const std::string name = function_name(function);
    if (!size || reserved != 0 || (family != AF_INET && family != AF_INET6)) {
        violation(name + ": no size, a reserved value or an unknown family");
        return finish(call, size, ERROR_INVALID_PARAMETER);
    }
    if (unsupported_class != nullptr) {
        violation(name + ": " + unsupported_class);
        return finish(call, size, ERROR_NOT_SUPPORTED);
    }
    std::vector<const Entry*> rows;
    for (const Entry& e : entries)
        if (e.local.si_family == family && select(e))
            rows.push_back(&e);
    const DWORD required =
        family == AF_INET ? table_size<Table4>(rows.size()) : table_size<Table6>(rows.size());
    if (!table || *size < required) {
        *size = required;
        return finish(call, size, ERROR_INSUFFICIENT_BUFFER);
    }
    std::memset(table, 0, required);
    if (family == AF_INET)
        write_rows<Table4>(table, rows, fill);
    else
        write_rows<Table6>(table, rows, fill);
    if (auto extra = overstated_.find(function); extra != overstated_.end())
        *static_cast<DWORD*>(table) += extra->second;
    return finish(call, size, NO_ERROR);
}

DWORD socket_owners::get_extended_tcp_table(void* table, DWORD* size, BOOL order, ULONG family,
                                            TCP_TABLE_CLASS table_class, ULONG reserved)
{
    (void)order; // rows are listed in the order they were added
    const bool known_class = table_class == TCP_TABLE_OWNER_MODULE_LISTENER ||
                             table_class == TCP_TABLE_OWNER_MODULE_CONNECTIONS ||
                             table_class == TCP_TABLE_OWNER_MODULE_ALL;
    return table_call<MIB_TCPTABLE_OWNER_MODULE, MIB_TCP6TABLE_OWNER_MODULE>(
        owner_function::get_extended_tcp_table, table, size, family, reserved,
        known_class ? nullptr : "the model answers only the owner-module classes", tcp_,
        [&](const tcp_connection& c) {
            const bool listener = c.state == MIB_TCP_STATE_LISTEN;
            return !((table_class == TCP_TABLE_OWNER_MODULE_LISTENER && !listener) ||
                     (table_class == TCP_TABLE_OWNER_MODULE_CONNECTIONS && listener));
        },
        [](auto& row, const tcp_connection& c) {
            write_local(row, c);
            write_remote(row, c.remote);
            row.dwState = c.state;
        });
}

DWORD socket_owners::get_extended_udp_table(void* table, DWORD* size, BOOL order, ULONG family,
                                            UDP_TABLE_CLASS table_class, ULONG reserved)
{
    (void)order;
    return table_call<MIB_UDPTABLE_OWNER_MODULE, MIB_UDP6TABLE_OWNER_MODULE>(
        owner_function::get_extended_udp_table, table, size, family, reserved,
        table_class == UDP_TABLE_OWNER_MODULE ? nullptr
                                              : "the model answers only the owner-module class",
        udp_, [](const udp_socket&) { return true; },
        [](auto& row, const udp_socket& s) {
            write_local(row, s);
            row.SpecificPortBind = 1;
        });
}

DWORD socket_owners::owner_module(owner_function function, ULONG family, const DWORD* owning_pid,
                                  TCPIP_OWNER_MODULE_INFO_CLASS info_class, void* buffer, DWORD* size)
{
    run_hook(function);
    std::lock_guard lock(mutex_);
    owner_call& call = record(function);
    call.family = family;
    if (!owning_pid) {
        violation(std::string(function_name(function)) + ": no row");
        return call.result = ERROR_INVALID_PARAMETER;
    }
    const std::uint32_t pid = *owning_pid;
    call.pid = pid;
    call.buffer = buffer != nullptr;
    call.size_in = size ? *size : 0;
    call.size_out = call.size_in;
    if (take_failure(function, call.result))
        return call.result;
    if (!size || info_class != TCPIP_OWNER_MODULE_INFO_BASIC) {
        violation(std::string(function_name(function)) + ": no size or an unknown class");
        return finish(call, size, ERROR_INVALID_PARAMETER);
    }
    auto found = programs_.find(pid);
    if (found == programs_.end())
        return finish(call, size, ERROR_NOT_FOUND);
    const program& p = found->second;
    const std::size_t terminator = p.module_strings == program::strings::unterminated ? 0 : 1;
    const std::size_t name_units = p.name ? p.name->size() + terminator : 0;
    const std::size_t path_units = p.path ? p.path->size() + terminator : 0;
    const DWORD required = static_cast<DWORD>(sizeof(TCPIP_OWNER_MODULE_BASIC_INFO) +
                                              (name_units + path_units) * sizeof(wchar_t));
    if (!buffer || *size < required) {
        *size = required;
        return finish(call, size, ERROR_INSUFFICIENT_BUFFER);
    }
    if (p.module_error != 0)
        return finish(call, size, p.module_error);
    auto* info = static_cast<TCPIP_OWNER_MODULE_BASIC_INFO*>(buffer);
    auto* text = reinterpret_cast<wchar_t*>(info + 1);
    info->pModuleName = nullptr;
    info->pModulePath = nullptr;
    if (p.name) {
        std::memcpy(text, p.name->c_str(), name_units * sizeof(wchar_t));
        info->pModuleName = text;
        text += name_units;
    }
    if (p.path) {
        std::memcpy(text, p.path->c_str(), path_units * sizeof(wchar_t));
        info->pModulePath = text;
    }
    if (p.module_strings == program::strings::outside_buffer) {
        static wchar_t outside[] = L"text outside the answer";
        info->pModuleName = info->pModuleName ? outside : nullptr;
        info->pModulePath = info->pModulePath ? outside : nullptr;
    }
    return finish(call, size, NO_ERROR);
}

DWORD socket_owners::get_owner_module_from_tcp_entry(const MIB_TCPROW_OWNER_MODULE* row,
                                                     TCPIP_OWNER_MODULE_INFO_CLASS info_class,
                                                     void* buffer, DWORD* size)
{
    return owner_module(owner_function::get_owner_module_from_tcp_entry, AF_INET,
                        row ? &row->dwOwningPid : nullptr, info_class, buffer, size);
}

DWORD socket_owners::get_owner_module_from_tcp6_entry(const MIB_TCP6ROW_OWNER_MODULE* row,
                                                      TCPIP_OWNER_MODULE_INFO_CLASS info_class,
                                                      void* buffer, DWORD* size)
{
    return owner_module(owner_function::get_owner_module_from_tcp6_entry, AF_INET6,
                        row ? &row->dwOwningPid : nullptr, info_class, buffer, size);
}

DWORD socket_owners::get_owner_module_from_udp_entry(const MIB_UDPROW_OWNER_MODULE* row,
                                                     TCPIP_OWNER_MODULE_INFO_CLASS info_class,
                                                     void* buffer, DWORD* size)
{
    return owner_module(owner_function::get_owner_module_from_udp_entry, AF_INET,
                        row ? &row->dwOwningPid : nullptr, info_class, buffer, size);
}

DWORD socket_owners::get_owner_module_from_udp6_entry(const MIB_UDP6ROW_OWNER_MODULE* row,
                                                      TCPIP_OWNER_MODULE_INFO_CLASS info_class,
                                                      void* buffer, DWORD* size)
{
    return owner_module(owner_function::get_owner_module_from_udp6_entry, AF_INET6,
                        row ? &row->dwOwningPid : nullptr, info_class, buffer, size);
}
} // namespace simhost
