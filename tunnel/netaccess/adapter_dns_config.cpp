// The NameServer values of an interface.
#include "adapter_dns_config.h"

#include <cstring>

#include "address_text.h"
#include "platform.h"
#include "registry_key.h"

namespace iphelper
{
namespace
{
constexpr const char* ipv4_interfaces_key =
    "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\";
constexpr const char* ipv6_interfaces_key =
    "SYSTEM\\CurrentControlSet\\Services\\Tcpip6\\Parameters\\Interfaces\\";
constexpr const char* name_server_value = "NameServer";
constexpr DWORD name_server_capacity = 1040;
constexpr int adapter_name_capacity = 260; // wide characters

std::string interface_key(ip_stack stack, const std::string& adapter_name)
{
    return (stack == ip_stack::ipv4 ? ipv4_interfaces_key : ipv6_interfaces_key) + adapter_name;
}

template <class Address, class Text>
std::string join(const std::vector<Address>& addresses, Text text_of)
{
    std::string joined;
    for (const Address& address : addresses) {
        if (!joined.empty())
            joined += ',';
        joined += text_of(&address);
    }
    return joined;
}

// One stack's part of assign_dns: the written text, or the value deleted when there is
// no server; the write's result is the stack's outcome.
bool assign_stack(ip_stack stack, const std::string& adapter_name, const std::string& text)
{
    if (text.empty()) {
        delete_name_server(stack, adapter_name);
        return true;
    }
    const bool written = write_name_server(stack, adapter_name, text);
    notify_dhcp_config_change(adapter_name);
    flush_dns_cache();
    return written;
}
} // namespace

adapter_dns_config::adapter_dns_config(std::string&& adapter_name) noexcept
    : adapter_name_(std::move(adapter_name))
{
}

adapter_dns_config::~adapter_dns_config()
{
    delete_name_server(ip_stack::ipv4, adapter_name_);
    delete_name_server(ip_stack::ipv6, adapter_name_);
}

bool read_name_server(ip_stack stack, const std::string& adapter_name, std::string& text)
{
    netaccess::registry_key key;
    if (key.open(HKEY_LOCAL_MACHINE, interface_key(stack, adapter_name).c_str(), KEY_READ) !=
        ERROR_SUCCESS)
        return false;
    char buffer[name_server_capacity] = {};
    DWORD size = name_server_capacity;
    if (::RegQueryValueExA(key.get(), name_server_value, nullptr, nullptr,
                           reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS)
        return false;
    // The value need not end in a zero byte: the text ends at the first one or at the
    // end of what was read, never past the buffer.
    const std::size_t read = size < name_server_capacity ? size : name_server_capacity;
    text.assign(buffer, ::strnlen(buffer, read));
    return true;
}

bool write_name_server(ip_stack stack, const std::string& adapter_name, const std::string& text)
{
    netaccess::registry_key key;
    if (key.open(HKEY_LOCAL_MACHINE, interface_key(stack, adapter_name).c_str(), KEY_WRITE) !=
        ERROR_SUCCESS)
        return false;
    return ::RegSetValueExA(key.get(), name_server_value, 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(text.c_str()),
                            static_cast<DWORD>(text.size() + 1)) == ERROR_SUCCESS;
}

bool delete_name_server(ip_stack stack, const std::string& adapter_name)
{
    netaccess::registry_key key;
    if (key.open(HKEY_LOCAL_MACHINE, interface_key(stack, adapter_name).c_str(), KEY_WRITE) !=
        ERROR_SUCCESS)
        return false;
    return ::RegDeleteValueA(key.get(), name_server_value) == ERROR_SUCCESS;
}

bool name_server_absent(ip_stack stack, const std::string& adapter_name)
{
    netaccess::registry_key key;
    const LONG opened = key.open(HKEY_LOCAL_MACHINE, interface_key(stack, adapter_name).c_str(), KEY_QUERY_VALUE);
    if (opened != ERROR_SUCCESS)
        return opened == ERROR_FILE_NOT_FOUND;
    return ::RegQueryValueExA(key.get(), name_server_value, nullptr, nullptr, nullptr, nullptr) ==
           ERROR_FILE_NOT_FOUND;
}

bool notify_dhcp_config_change(const std::string& adapter_name)
{
    // The last character stays zero whatever the conversion writes.
    wchar_t wide_name[adapter_name_capacity] = {};
    ::MultiByteToWideChar(CP_ACP, 0, adapter_name.c_str(), -1, wide_name,
                          adapter_name_capacity - 1);
    return netaccess::platform::dhcp_notify_config_change(nullptr, wide_name, FALSE, 0, 0, 0, 0);
}

void flush_dns_cache()
{
    netaccess::platform::dns_flush_resolver_cache();
}

std::string join_ipv4_list(const std::vector<IN_ADDR>& addresses)
{
    return join(addresses, ipv4_to_string);
}

std::string join_ipv6_list(const std::vector<IN6_ADDR>& addresses)
{
    return join(addresses, ipv6_to_string);
}

bool assign_dns(adapter_dns_config& settings, const std::vector<wireguard::ip_address>& servers)
{
    if (servers.empty())
        return false;
    std::vector<IN_ADDR> ipv4;
    std::vector<IN6_ADDR> ipv6;
    for (const auto& server : servers) {
        if (server.family == wireguard::family_ipv4) {
            IN_ADDR address{};
            std::memcpy(&address, server.address.data(), 4);
            ipv4.push_back(address);
        } else if (server.family == wireguard::family_ipv6) {
            IN6_ADDR address{};
            std::memcpy(&address, server.address.data(), 16);
            ipv6.push_back(address);
        }
    }
    const std::string& name = settings.adapter_name();
    const bool ipv4_done = assign_stack(ip_stack::ipv4, name, join_ipv4_list(ipv4));
    const bool ipv6_done = assign_stack(ip_stack::ipv6, name, join_ipv6_list(ipv6));
    return ipv4_done && ipv6_done;
}
} // namespace iphelper
