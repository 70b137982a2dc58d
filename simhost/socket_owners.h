#pragma once
// The simulated host's programs and the sockets they own, as IP Helper's owner tables
// show them: GetExtendedTcpTable and GetExtendedUdpTable with the owner-module table
// classes, and the four GetOwnerModuleFrom...Entry functions.
//
// A program has a process id, a name and a full path. A TCP connection (local and
// remote endpoint, state) or a UDP socket (local endpoint; address 0.0.0.0 or :: for a
// socket bound to the wildcard address) names its owning process id. The tables list
// them in the order they were added, with Windows' row layouts: addresses in network
// order, ports in the low 16 bits of their DWORD in network order, and the upper 16
// bits of every port DWORD filled with junk (0xA5A5), as Windows leaves them undefined.
//
// Buffer protocols as on Windows: a table call without a table or with a size below
// the table's returns ERROR_INSUFFICIENT_BUFFER and the required size; an owner-module
// call likewise, and on success the buffer holds a TCPIP_OWNER_MODULE_BASIC_INFO whose
// two strings follow it in the same buffer. An owner-module call for a row whose
// process id names no program fails with ERROR_NOT_FOUND; a program may be given
// without a name or a path, and the call then reports a null pointer for it.
//
// Tests count the calls of each function (per address family), make the next calls of
// a function fail with a chosen code, run code at the start of a call (outside the
// model's lock), and read the rules of the API that the program broke (violations()).
//
// Thread-safe.
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "win32.h"

namespace simhost
{
struct program {
    std::uint32_t pid = 0;
    std::optional<std::wstring> name; // none: the owner-module query reports no name
    std::optional<std::wstring> path; // none: no path
    // Non-zero: the owner-module query with a large enough buffer fails with this code
    // (a protected process, say); the size query still answers.
    DWORD module_error = 0;
    // How a successful owner-module answer holds the two strings: as Windows does, or
    // broken: without terminators (the buffer then ends with the last character), or
    // pointing outside the caller's buffer (at text of the model's own).
    enum class strings : std::uint8_t { terminated, unterminated, outside_buffer };
    strings module_strings = strings::terminated;
};

enum class owner_function : std::uint8_t {
    get_extended_tcp_table,
    get_extended_udp_table,
    get_owner_module_from_tcp_entry,
    get_owner_module_from_tcp6_entry,
    get_owner_module_from_udp_entry,
    get_owner_module_from_udp6_entry,
};
// The Windows name ("GetExtendedTcpTable", ...).
const char* function_name(owner_function function);

// One call as the program made it.
struct owner_call {
    std::uint64_t number = 0;   // 1, 2, ... across all functions
    owner_function function{};
    ULONG family = 0;           // tables: the family asked for; owner-module calls: the row's
    DWORD result = 0;
    bool buffer = false;        // a table or buffer was passed
    DWORD size_in = 0;
    DWORD size_out = 0;
    std::uint32_t pid = 0;      // owner-module calls: the row's process id
};

class socket_owners
{
public:
    static socket_owners& instance();

    // No programs, sockets, failures, hooks, calls or violations. Called by host::reset().
    void reset();

    // ---- the model ------------------------------------------------------------------
    // Adds a program or replaces the one with the same process id.
    void add_program(std::uint32_t pid, std::wstring name, std::wstring path);
    void add_program(program p);
    // The program ends; its sockets stay listed (their owner-module queries then fail).
    bool remove_program(std::uint32_t pid);

    // Addresses as text ("192.0.2.10", "2001:db8::1"); ports in host order. Throws
    // std::invalid_argument for text that is no address, or for two endpoints of
    // different families.
    void add_tcp_connection(std::string_view local_address, std::uint16_t local_port,
                            std::string_view remote_address, std::uint16_t remote_port,
                            std::uint32_t pid, DWORD state = MIB_TCP_STATE_ESTAB);
    bool remove_tcp_connection(std::string_view local_address, std::uint16_t local_port,
                               std::string_view remote_address, std::uint16_t remote_port);
    void add_udp_socket(std::string_view local_address, std::uint16_t local_port, std::uint32_t pid);
    bool remove_udp_socket(std::string_view local_address, std::uint16_t local_port);

    // ---- behaviour of the functions -------------------------------------------------
    // The next `times` calls of the function fail with that code without doing anything
    // (the size is left as it was).
    void fail_next(owner_function function, DWORD error, unsigned times = 1);
    // Every call of the function fails with that code until cleared (0 clears).
    void fail_always(owner_function function, DWORD error);
    // A table function that succeeds reports `extra` more rows in dwNumEntries than it
    // wrote (and than the buffer holds), as a broken system table would. 0 clears.
    void overstate_row_count(owner_function function, DWORD extra);
    // Runs at the start of every call of the function, outside the model's lock, with the
    // number of that function's calls so far (1 for the first). Empty: no hook.
    void set_call_hook(owner_function function, std::function<void(unsigned)> hook);

    std::vector<owner_call> calls() const;
    std::size_t call_count(owner_function function) const;
    // Calls of a table function for one family (AF_INET or AF_INET6).
    std::size_t call_count(owner_function function, ULONG family) const;
    void clear_calls();
    std::vector<std::string> violations() const;
    std::vector<std::string> take_violations();

    // ---- the platform boundary's side ------------------------------------------------
    DWORD get_extended_tcp_table(void* table, DWORD* size, BOOL order, ULONG family,
                                 TCP_TABLE_CLASS table_class, ULONG reserved);
    DWORD get_extended_udp_table(void* table, DWORD* size, BOOL order, ULONG family,
                                 UDP_TABLE_CLASS table_class, ULONG reserved);
    DWORD get_owner_module_from_tcp_entry(const MIB_TCPROW_OWNER_MODULE* row,
                                          TCPIP_OWNER_MODULE_INFO_CLASS info_class,
                                          void* buffer, DWORD* size);
    DWORD get_owner_module_from_tcp6_entry(const MIB_TCP6ROW_OWNER_MODULE* row,
                                           TCPIP_OWNER_MODULE_INFO_CLASS info_class,
                                           void* buffer, DWORD* size);
    DWORD get_owner_module_from_udp_entry(const MIB_UDPROW_OWNER_MODULE* row,
                                          TCPIP_OWNER_MODULE_INFO_CLASS info_class,
                                          void* buffer, DWORD* size);
    DWORD get_owner_module_from_udp6_entry(const MIB_UDP6ROW_OWNER_MODULE* row,
                                           TCPIP_OWNER_MODULE_INFO_CLASS info_class,
                                           void* buffer, DWORD* size);

private:
    struct tcp_connection {
        SOCKADDR_INET local{};
        SOCKADDR_INET remote{};
        DWORD state = 0;
        std::uint32_t pid = 0;
        std::int64_t created = 0;
    };
    struct udp_socket {
        SOCKADDR_INET local{};
        std::uint32_t pid = 0;
        std::int64_t created = 0;
    };
    struct failure {
        DWORD error = 0;
        unsigned times = 0; // 0 with a non-zero error: always
    };

    socket_owners() = default;

    // These expect the lock to be held.
    bool take_failure(owner_function function, DWORD& error);
    owner_call& record(owner_function function);
    void violation(std::string text);
    // These take the lock themselves.
    void run_hook(owner_function function);
    template <class Table4, class Table6, class Entry, class Select, class Fill>
    DWORD table_call(owner_function function, void* table, DWORD* size, ULONG family,
                     ULONG reserved, const char* unsupported_class,
                     const std::vector<Entry>& entries, Select select, Fill fill);
    // A GetOwnerModuleFrom...Entry call; `owning_pid` is null without a row.
    DWORD owner_module(owner_function function, ULONG family, const DWORD* owning_pid,
                       TCPIP_OWNER_MODULE_INFO_CLASS info_class, void* buffer, DWORD* size);

    mutable std::mutex mutex_;
    std::map<std::uint32_t, program> programs_;
    std::vector<tcp_connection> tcp_;
    std::vector<udp_socket> udp_;
    std::map<owner_function, failure> failures_;
    std::map<owner_function, DWORD> overstated_;
    std::map<owner_function, std::function<void(unsigned)>> hooks_;
    std::map<owner_function, unsigned> hook_counts_;
    std::vector<owner_call> calls_;
    std::vector<std::string> violations_;
    std::uint64_t next_call_ = 0;
    std::int64_t clock_ = 0;
};
} // namespace simhost
