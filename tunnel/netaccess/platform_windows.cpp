// The platform boundary bound to Windows itself.
#include "platform.h"

namespace
{
// A function of a system library, found by name: the library is loaded for the call
// and freed afterwards.
template <class Function> class library_function
{
public:
    library_function(const char* library, const char* name) : module_(::LoadLibraryA(library))
    {
        if (module_ != nullptr)
            function_ = reinterpret_cast<Function>(
                reinterpret_cast<void*>(::GetProcAddress(module_, name)));
    }
    ~library_function()
    {
        if (module_ != nullptr)
            ::FreeLibrary(module_);
    }
    library_function(const library_function&) = delete;
    library_function& operator=(const library_function&) = delete;

    Function get() const noexcept { return function_; }

private:
    HMODULE module_;
    Function function_ = nullptr;
};

// MinGW's headers do not declare it.
using dhcp_notify_config_change_function = DWORD(WINAPI*)(LPWSTR, LPWSTR, BOOL, DWORD, DWORD,
                                                          DWORD, int);
using dns_flush_resolver_cache_function = BOOL(WINAPI*)();
} // namespace

namespace netaccess::platform
{
HANDLE open_device(const wchar_t* path)
{
    return ::CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
}

BOOL device_io_control(HANDLE device, DWORD code, void* in, DWORD in_size, void* out,
                       DWORD out_size, DWORD* bytes_returned, OVERLAPPED* overlapped)
{
    return ::DeviceIoControl(device, code, in, in_size, out, out_size, bytes_returned, overlapped);
}

BOOL close_device(HANDLE device)
{
    return ::CloseHandle(device);
}

DWORD get_if_table2(MIB_IF_TABLE2** table)
{
    return ::GetIfTable2(table);
}

void free_mib_table(void* memory)
{
    ::FreeMibTable(memory);
}

ULONG get_adapters_addresses(ULONG family, ULONG flags, void* reserved,
                             IP_ADAPTER_ADDRESSES* addresses, ULONG* size)
{
    return ::GetAdaptersAddresses(family, flags, reserved, addresses, size);
}

DWORD get_best_interface_ex(sockaddr* destination, DWORD* best_if_index)
{
    return ::GetBestInterfaceEx(destination, best_if_index);
}

DWORD get_best_route2(NET_LUID* interface_luid, NET_IFINDEX interface_index,
                      const SOCKADDR_INET* source_address,
                      const SOCKADDR_INET* destination_address, ULONG address_sort_options,
                      MIB_IPFORWARD_ROW2* best_route, SOCKADDR_INET* best_source_address)
{
    return ::GetBestRoute2(interface_luid, interface_index, source_address, destination_address,
                           address_sort_options, best_route, best_source_address);
}

DWORD get_ip_forward_table2(ADDRESS_FAMILY family, MIB_IPFORWARD_TABLE2** table)
{
    return ::GetIpForwardTable2(family, table);
}

void initialize_ip_forward_entry(MIB_IPFORWARD_ROW2* row)
{
    ::InitializeIpForwardEntry(row);
}

DWORD create_ip_forward_entry2(const MIB_IPFORWARD_ROW2* row)
{
    return ::CreateIpForwardEntry2(row);
}

DWORD delete_ip_forward_entry2(const MIB_IPFORWARD_ROW2* row)
{
    return ::DeleteIpForwardEntry2(row);
}

DWORD get_unicast_ip_address_table(ADDRESS_FAMILY family, MIB_UNICASTIPADDRESS_TABLE** table)
{
    return ::GetUnicastIpAddressTable(family, table);
}

void initialize_unicast_ip_address_entry(MIB_UNICASTIPADDRESS_ROW* row)
{
    ::InitializeUnicastIpAddressEntry(row);
}

DWORD create_unicast_ip_address_entry(const MIB_UNICASTIPADDRESS_ROW* row)
{
    return ::CreateUnicastIpAddressEntry(row);
}

DWORD delete_unicast_ip_address_entry(const MIB_UNICASTIPADDRESS_ROW* row)
{
    return ::DeleteUnicastIpAddressEntry(row);
}

DWORD resolve_ip_net_entry2(MIB_IPNET_ROW2* row, const SOCKADDR_INET* source_address)
{
    return ::ResolveIpNetEntry2(row, source_address);
}

DWORD create_ip_net_entry2(const MIB_IPNET_ROW2* row)
{
    return ::CreateIpNetEntry2(row);
}

DWORD delete_ip_net_entry2(const MIB_IPNET_ROW2* row)
{
    return ::DeleteIpNetEntry2(row);
}

DWORD notify_ip_interface_change(ADDRESS_FAMILY family, PIPINTERFACE_CHANGE_CALLBACK callback,
                                 void* context, BOOLEAN initial_notification,
                                 HANDLE* notification_handle)
{
    return ::NotifyIpInterfaceChange(family, callback, context, initial_notification,
                                     notification_handle);
}

DWORD cancel_mib_change_notify2(HANDLE notification_handle)
{
    return ::CancelMibChangeNotify2(notification_handle);
}
DWORD get_extended_tcp_table(void* table, DWORD* size, BOOL order, ULONG family,
                             TCP_TABLE_CLASS table_class, ULONG reserved)
{
    return ::GetExtendedTcpTable(table, size, order, family, table_class, reserved);
}

DWORD get_extended_udp_table(void* table, DWORD* size, BOOL order, ULONG family,
                             UDP_TABLE_CLASS table_class, ULONG reserved)
{
    return ::GetExtendedUdpTable(table, size, order, family, table_class, reserved);
}

// The owner-module functions do not change the row; their prototypes just lack const.
DWORD get_owner_module_from_tcp_entry(const MIB_TCPROW_OWNER_MODULE* row,
                                      TCPIP_OWNER_MODULE_INFO_CLASS info_class, void* buffer,
                                      DWORD* size)
{
    return ::GetOwnerModuleFromTcpEntry(const_cast<MIB_TCPROW_OWNER_MODULE*>(row), info_class,
                                        buffer, size);
}

DWORD get_owner_module_from_tcp6_entry(const MIB_TCP6ROW_OWNER_MODULE* row,
                                       TCPIP_OWNER_MODULE_INFO_CLASS info_class, void* buffer,
                                       DWORD* size)
{
    return ::GetOwnerModuleFromTcp6Entry(const_cast<MIB_TCP6ROW_OWNER_MODULE*>(row), info_class,
                                         buffer, size);
}

DWORD get_owner_module_from_udp_entry(const MIB_UDPROW_OWNER_MODULE* row,
                                      TCPIP_OWNER_MODULE_INFO_CLASS info_class, void* buffer,
                                      DWORD* size)
{
    return ::GetOwnerModuleFromUdpEntry(const_cast<MIB_UDPROW_OWNER_MODULE*>(row), info_class,
                                        buffer, size);
}

DWORD get_owner_module_from_udp6_entry(const MIB_UDP6ROW_OWNER_MODULE* row,
                                       TCPIP_OWNER_MODULE_INFO_CLASS info_class, void* buffer,
                                       DWORD* size)
{
    return ::GetOwnerModuleFromUdp6Entry(const_cast<MIB_UDP6ROW_OWNER_MODULE*>(row), info_class,
                                         buffer, size);
}

bool dhcp_notify_config_change(wchar_t* server_name, wchar_t* adapter_name, BOOL new_ip_address,
                               DWORD ip_index, DWORD ip_address, DWORD subnet_mask,
                               int dhcp_action)
{
    const library_function<dhcp_notify_config_change_function> notify("dhcpcsvc",
                                                                      "DhcpNotifyConfigChange");
    return notify.get() != nullptr &&
           notify.get()(server_name, adapter_name, new_ip_address, ip_index, ip_address,
                        subnet_mask, dhcp_action) == 0;
}

void dns_flush_resolver_cache()
{
    const library_function<dns_flush_resolver_cache_function> flush("dnsapi",
                                                                   "DnsFlushResolverCache");
    if (flush.get() != nullptr)
        flush.get()();
}
} // namespace netaccess::platform
