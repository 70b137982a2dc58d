// The socket-owner caches and their refresh from the system's owner tables.
#include "process_lookup.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <limits>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>

#include "platform.h"

namespace iphelper
{
namespace
{
// A table read that keeps asking for more room gives up after this many attempts
// (each one at least doubles the buffer), and so does one that asks for more than
// this many bytes; the table then stays empty as after any failed read.
constexpr int max_table_reads = 8;
constexpr std::uint64_t max_table_bytes = 256ull * 1024 * 1024;

// The row layouts and calls of one family.
template <class Family> struct owner_rows;

template <> struct owner_rows<owner_family_v4> {
    using tcp_table = MIB_TCPTABLE_OWNER_MODULE;
    using tcp_row = MIB_TCPROW_OWNER_MODULE;
    using udp_table = MIB_UDPTABLE_OWNER_MODULE;
    using udp_row = MIB_UDPROW_OWNER_MODULE;
    static constexpr ULONG family = AF_INET;

    static DWORD owner_module(const tcp_row& row, void* buffer, DWORD* size)
    {
        return netaccess::platform::get_owner_module_from_tcp_entry(&row, TCPIP_OWNER_MODULE_INFO_BASIC,
                                                                    buffer, size);
    }
    static DWORD owner_module(const udp_row& row, void* buffer, DWORD* size)
    {
        return netaccess::platform::get_owner_module_from_udp_entry(&row, TCPIP_OWNER_MODULE_INFO_BASIC,
                                                                    buffer, size);
    }
    static flow_key_v4 key(const tcp_row& row)
    {
        return {row.dwLocalAddr, ::ntohs(static_cast<u_short>(row.dwLocalPort)), row.dwRemoteAddr,
                ::ntohs(static_cast<u_short>(row.dwRemotePort))};
    }
    static endpoint_key_v4 key(const udp_row& row)
    {
        return {row.dwLocalAddr, ::ntohs(static_cast<u_short>(row.dwLocalPort))};
    }
    static endpoint_key_v4 wildcard(const endpoint_key_v4& key) { return {0, key.local_port}; }
};

template <> struct owner_rows<owner_family_v6> {
    using tcp_table = MIB_TCP6TABLE_OWNER_MODULE;
    using tcp_row = MIB_TCP6ROW_OWNER_MODULE;
    using udp_table = MIB_UDP6TABLE_OWNER_MODULE;
    using udp_row = MIB_UDP6ROW_OWNER_MODULE;
    static constexpr ULONG family = AF_INET6;

    static DWORD owner_module(const tcp_row& row, void* buffer, DWORD* size)
    {
        return netaccess::platform::get_owner_module_from_tcp6_entry(&row, TCPIP_OWNER_MODULE_INFO_BASIC,
                                                                     buffer, size);
    }
    static DWORD owner_module(const udp_row& row, void* buffer, DWORD* size)
    {
        return netaccess::platform::get_owner_module_from_udp6_entry(&row, TCPIP_OWNER_MODULE_INFO_BASIC,
                                                                     buffer, size);
    }
    static flow_key_v6 key(const tcp_row& row)
    {
        flow_key_v6 k{};
        std::memcpy(k.local_address.data(), row.ucLocalAddr, 16);
        k.local_port = ::ntohs(static_cast<u_short>(row.dwLocalPort));
        std::memcpy(k.remote_address.data(), row.ucRemoteAddr, 16);
        k.remote_port = ::ntohs(static_cast<u_short>(row.dwRemotePort));
        return k;
    }
    static endpoint_key_v6 key(const udp_row& row)
    {
        endpoint_key_v6 k{};
        std::memcpy(k.local_address.data(), row.ucLocalAddr, 16);
        k.local_port = ::ntohs(static_cast<u_short>(row.dwLocalPort));
        return k;
    }
    static endpoint_key_v6 wildcard(const endpoint_key_v6& key) { return {{}, key.local_port}; }
};

// Reads a system table into the kept buffer: the stored size is passed as the length;
// on ERROR_INSUFFICIENT_BUFFER the buffer is replaced by a zeroed one of twice the
// reported size (never smaller than before) and the read is repeated. True on success.
template <class Read>
bool read_table(std::unique_ptr<std::uint8_t[]>& buffer, DWORD& size, Read read)
{
    for (int attempt = 0; attempt < max_table_reads; ++attempt) {
        DWORD reported = size;
        const DWORD result = read(buffer.get(), &reported);
        if (result == NO_ERROR)
            return buffer != nullptr;
        if (result != ERROR_INSUFFICIENT_BUFFER)
            return false;
        const std::uint64_t wanted = std::max<std::uint64_t>(2ull * reported, size);
        if (wanted == 0 || wanted > max_table_bytes)
            return false;
        buffer = std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(wanted)); // zeroed
        size = static_cast<DWORD>(wanted);
    }
    return false;
}

// The rows of a table that was read into a buffer of `size` bytes; a row count that
// claims more rows than the buffer holds is cut to the rows that it does hold.
template <class Table, class Row>
std::pair<const Row*, std::size_t> table_rows(const std::uint8_t* buffer, DWORD size)
{
    constexpr std::size_t header = offsetof(Table, table);
    if (size < header)
        return {nullptr, 0};
    const auto* table = reinterpret_cast<const Table*>(buffer);
    const std::size_t room = (size - header) / sizeof(Row);
    return {table->table, std::min<std::size_t>(table->dwNumEntries, room)};
}

// A zero-terminated string of the owner-module buffer of `size` bytes, read no further
// than the buffer's end (a string that lacks its terminator ends there); nothing when
// the string does not start inside the buffer.
std::optional<std::wstring> module_text(const wchar_t* text, const std::uint8_t* buffer, std::size_t size)
{
    const auto start = reinterpret_cast<std::uintptr_t>(text);
    const auto first = reinterpret_cast<std::uintptr_t>(buffer);
    if (start < first || start >= first + size)
        return std::nullopt;
    std::wstring result((first + size - start) / sizeof(wchar_t), L'\0');
    std::memcpy(result.data(), text, result.size() * sizeof(wchar_t));
    result.resize(std::wcslen(result.c_str()));
    return result;
}

// One row to its process: the owner-module query with no buffer for the size, then with
// a zeroed buffer of that size. Nothing when either call fails or the name or the path
// is missing or lies outside the buffer.
template <class Rows, class Row>
std::shared_ptr<network_process> owner_of(const Row& row)
{
    DWORD size = 0;
    if (Rows::owner_module(row, nullptr, &size) != ERROR_INSUFFICIENT_BUFFER)
        return nullptr;
    // At least the information record itself, whatever size was reported.
    const std::size_t bytes = std::max<std::size_t>(size, sizeof(TCPIP_OWNER_MODULE_BASIC_INFO));
    auto buffer = std::make_unique<std::uint8_t[]>(bytes); // zeroed
    DWORD length = static_cast<DWORD>(bytes);
    if (Rows::owner_module(row, buffer.get(), &length) != NO_ERROR)
        return nullptr;
    TCPIP_OWNER_MODULE_BASIC_INFO info;
    std::memcpy(&info, buffer.get(), sizeof info);
    if (!info.pModuleName || !info.pModulePath)
        return nullptr;
    auto name = module_text(info.pModuleName, buffer.get(), bytes);
    auto path = module_text(info.pModulePath, buffer.get(), bytes);
    if (!name || !path)
        return nullptr;
    return make_network_process(row.dwOwningPid, std::move(*name), std::move(*path));
}

// Re-reads one owner table (TCP or UDP) into `map`: every row whose owner is known, by
// the row's key. `map` stays empty when the table cannot be read.
template <class Rows, class Table, class Row, class Map, class Read>
void refill(Map& map, std::unique_ptr<std::uint8_t[]>& buffer, DWORD& size, Read read)
{
    map.clear();
    if (!read_table(buffer, size, read))
        return;
    const auto [first, count] = table_rows<Table, Row>(buffer.get(), size);
    for (std::size_t i = 0; i < count; ++i) {
        if (auto process = owner_of<Rows>(first[i]))
            map.insert_or_assign(Rows::key(first[i]), std::move(process));
    }
}
} // namespace

// Table versions are unique across the process (both families, every instance), so
// that a memo never takes one table for another.
std::uint64_t next_table_version() noexcept
{
    static std::atomic<std::uint64_t> last{0};
    return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

template <class Family>
process_lookup<Family>::process_lookup()
    : default_process_(make_network_process(0, L"SYSTEM", L"SYSTEM"))
{
    tcp_table_.max_load_factor(1.0f);
    udp_table_.max_load_factor(1.0f);
    refresh_tcp_table();
    refresh_udp_table();
}

template <class Family>
process_lookup<Family>& process_lookup<Family>::instance()
{
    static process_lookup lookup;
    return lookup;
}

template <class Family>
void process_lookup<Family>::refresh_tcp_table()
{
    using rows = owner_rows<Family>;
    tcp_version_.store(next_table_version(), std::memory_order_release);
    refill<rows, typename rows::tcp_table, typename rows::tcp_row>(
        tcp_table_, tcp_rows_, tcp_size_, [](void* table, DWORD* size) {
            return netaccess::platform::get_extended_tcp_table(table, size, FALSE, rows::family,
                                                               TCP_TABLE_OWNER_MODULE_CONNECTIONS, 0);
        });
}

template <class Family>
void process_lookup<Family>::refresh_udp_table()
{
    using rows = owner_rows<Family>;
    udp_version_.store(next_table_version(), std::memory_order_release);
    refill<rows, typename rows::udp_table, typename rows::udp_row>(
        udp_table_, udp_rows_, udp_size_, [](void* table, DWORD* size) {
            return netaccess::platform::get_extended_udp_table(table, size, FALSE, rows::family,
                                                               UDP_TABLE_OWNER_MODULE, 0);
        });
}

template <class Family>
const typename process_lookup<Family>::process_ptr* process_lookup<Family>::find_udp(const endpoint_key& key) const
{
    auto found = udp_table_.find(key);
    if (found != udp_table_.end())
        return &found->second;
    found = udp_table_.find(owner_rows<Family>::wildcard(key));
    if (found != udp_table_.end())
        return &found->second;
    return nullptr;
}

template <class Family>
typename process_lookup<Family>::process_ptr process_lookup<Family>::lookup_tcp(const flow_key& key)
{
    tcp_memo memo;
    lookup_tcp(key, memo);
    return std::move(memo.process);
}

template <class Family>
typename process_lookup<Family>::process_ptr process_lookup<Family>::lookup_udp(const endpoint_key& key,
                                                                               bool& refreshed)
{
    udp_memo memo;
    lookup_udp(key, refreshed, memo);
    return std::move(memo.process);
}

template <class Family>
const network_process& process_lookup<Family>::lookup_tcp(const flow_key& key, tcp_memo& memo)
{
    if (memo.version == tcp_version_.load(std::memory_order_acquire) && memo.key == key)
        return *memo.process;
    {
        std::shared_lock lock(tcp_lock_);
        auto found = tcp_table_.find(key);
        if (found != tcp_table_.end()) {
            memo = {key, tcp_version_.load(std::memory_order_relaxed), found->second};
            return *memo.process;
        }
    }
    // A miss: re-read the table and, in the same section, give the key the default
    // when the fresh table does not know it (try_emplace keeps an owner that is there).
    std::unique_lock lock(tcp_lock_);
    refresh_tcp_table();
    memo = {key, tcp_version_.load(std::memory_order_relaxed), tcp_table_.try_emplace(key, default_process_).first->second};
    return *memo.process;
}

template <class Family>
const network_process& process_lookup<Family>::lookup_udp(const endpoint_key& key, bool& refreshed, udp_memo& memo)
{
    if (memo.version == udp_version_.load(std::memory_order_acquire) && memo.key == key)
        return *memo.process;
    {
        std::shared_lock lock(udp_lock_);
        if (const process_ptr* found = find_udp(key)) {
            memo = {key, udp_version_.load(std::memory_order_relaxed), *found};
            return *memo.process;
        }
    }
    std::unique_lock lock(udp_lock_);
    refresh_udp_table();
    refreshed = true;
    const process_ptr* found = find_udp(key);
    // The exact endpoint, never the wildcard key, gets the default.
    memo = {key, udp_version_.load(std::memory_order_relaxed),
            found ? *found : udp_table_.try_emplace(key, default_process_).first->second};
    return *memo.process;
}

template class process_lookup<owner_family_v4>;
template class process_lookup<owner_family_v6>;

flow_key_v4 tcp_owner_key_v4(const rimcap::frame_view& view, const rimcap::transport_header& t) noexcept
{
    flow_key_v4 k{};
    view.read(rimcap::ip_header_offset + 12, &k.local_address, 4);
    view.read(rimcap::ip_header_offset + 16, &k.remote_address, 4);
    k.local_port = view.u16(t.offset);
    k.remote_port = view.u16(t.offset + 2u);
    return k;
}

flow_key_v6 tcp_owner_key_v6(const rimcap::frame_view& view, const rimcap::transport_header& t) noexcept
{
    flow_key_v6 k{};
    view.read(rimcap::ip_header_offset + 8, k.local_address.data(), 16);
    view.read(rimcap::ip_header_offset + 24, k.remote_address.data(), 16);
    k.local_port = view.u16(t.offset);
    k.remote_port = view.u16(t.offset + 2u);
    return k;
}

endpoint_key_v4 udp_owner_key_v4(const rimcap::frame_view& view, const rimcap::transport_header& t) noexcept
{
    endpoint_key_v4 k{};
    view.read(rimcap::ip_header_offset + 12, &k.local_address, 4);
    k.local_port = view.u16(t.offset);
    return k;
}

endpoint_key_v6 udp_owner_key_v6(const rimcap::frame_view& view, const rimcap::transport_header& t) noexcept
{
    endpoint_key_v6 k{};
    view.read(rimcap::ip_header_offset + 8, k.local_address.data(), 16);
    k.local_port = view.u16(t.offset);
    return k;
}

std::shared_ptr<network_process> lookup_tcp_process(const flow_key_v4& key)
{
    return process_lookup_v4::instance().lookup_tcp(key);
}

std::shared_ptr<network_process> lookup_tcp_process(const flow_key_v6& key)
{
    return process_lookup_v6::instance().lookup_tcp(key);
}

std::shared_ptr<network_process> lookup_udp_process(const endpoint_key_v4& key, bool& refreshed)
{
    return process_lookup_v4::instance().lookup_udp(key, refreshed);
}

std::shared_ptr<network_process> lookup_udp_process(const endpoint_key_v6& key, bool& refreshed)
{
    return process_lookup_v6::instance().lookup_udp(key, refreshed);
}
} // namespace iphelper
