#pragma once
// An interface's DNS servers as the NameServer values of its TCP/IP parameters in the
// registry, one for the IPv4 stack (Tcpip) and one for the IPv6 stack (Tcpip6):
// "SYSTEM\CurrentControlSet\Services\Tcpip[6]\Parameters\Interfaces\{GUID}" under
// HKEY_LOCAL_MACHINE, value "NameServer", REG_SZ, the addresses joined by "," in the
// configuration's order. After each write the DHCP client is told to re-read the
// interface and the resolver cache is flushed. Registry access uses the ANSI functions.
// Failures are reported only as false results.
#include <string>
#include <vector>

#include "config/ip_types.h"
#include "win32.h"

namespace iphelper
{
enum class ip_stack : unsigned char { ipv4, ipv6 };

// The NameServer settings of one interface while it is in the tunnel's hands. Its
// destruction deletes both values (IPv4, then IPv6; results ignored): nothing is
// written back, and the DHCP client is not told.
class adapter_dns_config
{
public:
    // The interface's GUID text in braces.
    explicit adapter_dns_config(std::string&& adapter_name) noexcept;
    ~adapter_dns_config();

    adapter_dns_config(const adapter_dns_config&) = delete;
    adapter_dns_config& operator=(const adapter_dns_config&) = delete;

    const std::string& adapter_name() const noexcept { return adapter_name_; }

private:
    std::string adapter_name_;
};

// Writes the servers of each family to its stack's value (IPv4 servers to Tcpip, IPv6
// servers to Tcpip6; other family values are ignored), each write followed by the DHCP
// notification and the cache flush; a stack without servers has its value deleted.
// False for an empty list (nothing is touched) or when a write failed.
bool assign_dns(adapter_dns_config& settings, const std::vector<wireguard::ip_address>& servers);

// The NameServer value of a stack: the text up to its first zero byte within at most
// 1040 bytes. False, with text unchanged, when the key or the value is missing or the
// value is longer than 1040 bytes.
bool read_name_server(ip_stack stack, const std::string& adapter_name, std::string& text);
// Sets the value to text (REG_SZ with its terminating zero).
bool write_name_server(ip_stack stack, const std::string& adapter_name, const std::string& text);
// False when the key did not open or the value was not there.
bool delete_name_server(ip_stack stack, const std::string& adapter_name);
// True only when the registry answers that the key or the value does not exist; false
// while the value is there or cannot be looked at (no access, another failure).
bool name_server_absent(ip_stack stack, const std::string& adapter_name);

// DhcpNotifyConfigChange for the interface (no server, no new address, index 0,
// address 0, mask 0, action 0): true when the call returned 0.
bool notify_dhcp_config_change(const std::string& adapter_name);
// DnsFlushResolverCache.
void flush_dns_cache();

// The addresses' texts in list order with "," between them.
std::string join_ipv4_list(const std::vector<IN_ADDR>& addresses);
std::string join_ipv6_list(const std::vector<IN6_ADDR>& addresses);
} // namespace iphelper
