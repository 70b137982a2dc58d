// The platform boundary bound to the simulated host.
#include "host_network.h"
#include "packet_driver.h"
#include "platform.h"
#include "socket_owners.h"
#include "virtnet_driver.h"

namespace netaccess::platform
{
namespace
{
simhost::host_network& network()
{
    return simhost::host_network::instance();
}

simhost::socket_owners& owners()
{
    return simhost::socket_owners::instance();
}

simhost::virtnet_driver& virtnet()
{
    return simhost::virtnet_driver::instance();
}
} // namespace

HANDLE open_device(const wchar_t* path)
{
    if (virtnet().is_device_path(path))
        return virtnet().open(path);
    return simhost::packet_driver::instance().open(path);
}

BOOL device_io_control(HANDLE device, DWORD code, void* in, DWORD in_size, void* out,
                       DWORD out_size, DWORD* bytes_returned, OVERLAPPED* overlapped)
{
    if (virtnet().owns(device))
        return virtnet().io_control(device, code, in, in_size, out, out_size, bytes_returned,
                                    overlapped);
    return simhost::packet_driver::instance().io_control(device, code, in, in_size, out, out_size,
                                                         bytes_returned, overlapped);
}

BOOL close_device(HANDLE device)
{
    if (virtnet().owns(device))
        return virtnet().close(device);
    return simhost::packet_driver::instance().close(device);
}

DWORD get_if_table2(MIB_IF_TABLE2** table)
{
    return network().get_if_table2(table);
}

void free_mib_table(void* memory)
{
    network().free_mib_table(memory);
}

ULONG get_adapters_addresses(ULONG family, ULONG flags, void* reserved,
                             IP_ADAPTER_ADDRESSES* addresses, ULONG* size)
{
    return network().get_adapters_addresses(family, flags, reserved, addresses, size);
}

DWORD get_best_interface_ex(sockaddr* destination, DWORD* best_if_index)
{
    return network().get_best_interface_ex(destination, best_if_index);
}

DWORD get_best_route2(NET_LUID* interface_luid, NET_IFINDEX interface_index,
                      const SOCKADDR_INET* source_address,
                      const SOCKADDR_INET* destination_address, ULONG address_sort_options,
                      MIB_IPFORWARD_ROW2* best_route, SOCKADDR_INET* best_source_address)
{
    return network().get_best_route2(interface_luid, interface_index, source_address,
                                     destination_address, address_sort_options, best_route,
                                     best_source_address);
}

DWORD get_ip_forward_table2(ADDRESS_FAMILY family, MIB_IPFORWARD_TABLE2** table)
{
    return network().get_ip_forward_table2(family, table);
}

void initialize_ip_forward_entry(MIB_IPFORWARD_ROW2* row)
{
    network().initialize_ip_forward_entry(row);
}

DWORD create_ip_forward_entry2(const MIB_IPFORWARD_ROW2* row)
{
    return network().create_ip_forward_entry2(row);
}

DWORD delete_ip_forward_entry2(const MIB_IPFORWARD_ROW2* row)
{
    return network().delete_ip_forward_entry2(row);
}

DWORD get_unicast_ip_address_table(ADDRESS_FAMILY family, MIB_UNICASTIPADDRESS_TABLE** table)
{
    return network().get_unicast_ip_address_table(family, table);
}

void initialize_unicast_ip_address_entry(MIB_UNICASTIPADDRESS_ROW* row)
{
    network().initialize_unicast_ip_address_entry(row);
}

DWORD create_unicast_ip_address_entry(const MIB_UNICASTIPADDRESS_ROW* row)
{
    return network().create_unicast_ip_address_entry(row);
}

DWORD delete_unicast_ip_address_entry(const MIB_UNICASTIPADDRESS_ROW* row)
{
    return network().delete_unicast_ip_address_entry(row);
}

DWORD resolve_ip_net_entry2(MIB_IPNET_ROW2* row, const SOCKADDR_INET* source_address)
{
    return network().resolve_ip_net_entry2(row, source_address);
}

DWORD create_ip_net_entry2(const MIB_IPNET_ROW2* row)
{
    return network().create_ip_net_entry2(row);
}

DWORD delete_ip_net_entry2(const MIB_IPNET_ROW2* row)
{
    return network().delete_ip_net_entry2(row);
}

DWORD notify_ip_interface_change(ADDRESS_FAMILY family, PIPINTERFACE_CHANGE_CALLBACK callback,
                                 void* context, BOOLEAN initial_notification,
                                 HANDLE* notification_handle)
{
    return network().notify_ip_interface_change(family, callback, context, initial_notification,
                                                notification_handle);
}

DWORD cancel_mib_change_notify2(HANDLE notification_handle)
{
    return network().cancel_mib_change_notify2(notification_handle);
}

DWORD get_extended_tcp_table(void* table, DWORD* size, BOOL order, ULONG family,
                             TCP_TABLE_CLASS table_class, ULONG reserved)
{
    return owners().get_extended_tcp_table(table, size, order, family, table_class, reserved);
}

DWORD get_extended_udp_table(void* table, DWORD* size, BOOL order, ULONG family,
                             UDP_TABLE_CLASS table_class, ULONG reserved)
{
    return owners().get_extended_udp_table(table, size, order, family, table_class, reserved);
}

DWORD get_owner_module_from_tcp_entry(const MIB_TCPROW_OWNER_MODULE* row,
                                      TCPIP_OWNER_MODULE_INFO_CLASS info_class, void* buffer,
                                      DWORD* size)
{
    return owners().get_owner_module_from_tcp_entry(row, info_class, buffer, size);
}

DWORD get_owner_module_from_tcp6_entry(const MIB_TCP6ROW_OWNER_MODULE* row,
                                       TCPIP_OWNER_MODULE_INFO_CLASS info_class, void* buffer,
                                       DWORD* size)
{
    return owners().get_owner_module_from_tcp6_entry(row, info_class, buffer, size);
}

DWORD get_owner_module_from_udp_entry(const MIB_UDPROW_OWNER_MODULE* row,
                                      TCPIP_OWNER_MODULE_INFO_CLASS info_class, void* buffer,
                                      DWORD* size)
{
    return owners().get_owner_module_from_udp_entry(row, info_class, buffer, size);
}

DWORD get_owner_module_from_udp6_entry(const MIB_UDP6ROW_OWNER_MODULE* row,
                                       TCPIP_OWNER_MODULE_INFO_CLASS info_class, void* buffer,
                                       DWORD* size)
{
    return owners().get_owner_module_from_udp6_entry(row, info_class, buffer, size);
}

// Wine has only stubs of these; the host network counts the calls instead.
bool dhcp_notify_config_change(wchar_t* server_name, wchar_t* adapter_name, BOOL new_ip_address,
                               DWORD ip_index, DWORD ip_address, DWORD subnet_mask,
                               int dhcp_action)
{
    return network().dhcp_notify_config_change(server_name, adapter_name, new_ip_address, ip_index,
                                               ip_address, subnet_mask, dhcp_action) == NO_ERROR;
}

void dns_flush_resolver_cache()
{
    network().dns_flush_resolver_cache();
}
} // namespace netaccess::platform
