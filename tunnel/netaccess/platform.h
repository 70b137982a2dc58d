#pragma once
// The platform boundary: the only way the library reaches the kernel drivers, IP Helper,
// the socket-owner tables, the DHCP client's notification and the resolver cache.
//
// The shipped library binds these functions to Windows (platform_windows.cpp). Under
// Wine the drivers do not exist and much of IP Helper aborts the process, so test
// programs link the simulated host in their place. The signatures mirror the Windows
// functions they stand for, so callers keep Windows' error conventions: the driver
// functions leave a failure's code in the thread's last error, the IP Helper functions
// return it (callers that report it through the last error set it themselves).
#include "win32.h"

namespace netaccess::platform
{
// ---- kernel drivers ---------------------------------------------------------------

// The packet filter driver (\\.\KESTRAL) and the virtual adapter driver (\\.\LORRIVAN).
// CreateFileW (path, access 0, share read and write, no security attributes,
// OPEN_EXISTING, FILE_FLAG_OVERLAPPED, no template): INVALID_HANDLE_VALUE on failure.
HANDLE open_device(const wchar_t* path);

// DeviceIoControl on a handle returned by open_device.
BOOL device_io_control(HANDLE device, DWORD code, void* in, DWORD in_size, void* out,
                       DWORD out_size, DWORD* bytes_returned, OVERLAPPED* overlapped);

// CloseHandle of a handle returned by open_device.
BOOL close_device(HANDLE device);

// ---- IP Helper: interfaces and adapters ---------------------------------------------

// GetIfTable2. The table is freed with free_mib_table.
DWORD get_if_table2(MIB_IF_TABLE2** table);

// FreeMibTable: frees a table returned by any of the functions here.
void free_mib_table(void* memory);

// GetAdaptersAddresses: 111 (ERROR_BUFFER_OVERFLOW) with the required size in *size
// when the buffer is missing or too small.
ULONG get_adapters_addresses(ULONG family, ULONG flags, void* reserved,
                             IP_ADAPTER_ADDRESSES* addresses, ULONG* size);

// ---- IP Helper: routing ------------------------------------------------------------

// GetBestInterfaceEx.
DWORD get_best_interface_ex(sockaddr* destination, DWORD* best_if_index);

// GetBestRoute2.
DWORD get_best_route2(NET_LUID* interface_luid, NET_IFINDEX interface_index,
                      const SOCKADDR_INET* source_address,
                      const SOCKADDR_INET* destination_address, ULONG address_sort_options,
                      MIB_IPFORWARD_ROW2* best_route, SOCKADDR_INET* best_source_address);

// GetIpForwardTable2, InitializeIpForwardEntry, CreateIpForwardEntry2,
// DeleteIpForwardEntry2.
DWORD get_ip_forward_table2(ADDRESS_FAMILY family, MIB_IPFORWARD_TABLE2** table);
void initialize_ip_forward_entry(MIB_IPFORWARD_ROW2* row);
DWORD create_ip_forward_entry2(const MIB_IPFORWARD_ROW2* row);
DWORD delete_ip_forward_entry2(const MIB_IPFORWARD_ROW2* row);

// ---- IP Helper: unicast addresses --------------------------------------------------

// GetUnicastIpAddressTable, InitializeUnicastIpAddressEntry,
// CreateUnicastIpAddressEntry, DeleteUnicastIpAddressEntry.
DWORD get_unicast_ip_address_table(ADDRESS_FAMILY family, MIB_UNICASTIPADDRESS_TABLE** table);
void initialize_unicast_ip_address_entry(MIB_UNICASTIPADDRESS_ROW* row);
DWORD create_unicast_ip_address_entry(const MIB_UNICASTIPADDRESS_ROW* row);
DWORD delete_unicast_ip_address_entry(const MIB_UNICASTIPADDRESS_ROW* row);

// ---- IP Helper: neighbours ---------------------------------------------------------

// ResolveIpNetEntry2, CreateIpNetEntry2, DeleteIpNetEntry2.
DWORD resolve_ip_net_entry2(MIB_IPNET_ROW2* row, const SOCKADDR_INET* source_address);
DWORD create_ip_net_entry2(const MIB_IPNET_ROW2* row);
DWORD delete_ip_net_entry2(const MIB_IPNET_ROW2* row);

// ---- IP Helper: interface change notifications -------------------------------------

// NotifyIpInterfaceChange: the callback runs on a system thread.
DWORD notify_ip_interface_change(ADDRESS_FAMILY family, PIPINTERFACE_CHANGE_CALLBACK callback,
                                 void* context, BOOLEAN initial_notification,
                                 HANDLE* notification_handle);

// CancelMibChangeNotify2: returns once no callback of the registration runs any more.
DWORD cancel_mib_change_notify2(HANDLE notification_handle);

// ---- IP Helper: socket owners -------------------------------------------------------

// GetExtendedTcpTable and GetExtendedUdpTable: 122 (ERROR_INSUFFICIENT_BUFFER) with the
// required size in *size when the table is missing or *size is too small.
DWORD get_extended_tcp_table(void* table, DWORD* size, BOOL order, ULONG family,
                             TCP_TABLE_CLASS table_class, ULONG reserved);
DWORD get_extended_udp_table(void* table, DWORD* size, BOOL order, ULONG family,
                             UDP_TABLE_CLASS table_class, ULONG reserved);

// GetOwnerModuleFromTcpEntry, GetOwnerModuleFromTcp6Entry, GetOwnerModuleFromUdpEntry,
// GetOwnerModuleFromUdp6Entry: 122 with the required size in *size when the buffer is
// missing or too small. With TCPIP_OWNER_MODULE_INFO_BASIC the buffer receives a
// TCPIP_OWNER_MODULE_BASIC_INFO whose strings lie in the same buffer.
DWORD get_owner_module_from_tcp_entry(const MIB_TCPROW_OWNER_MODULE* row,
                                      TCPIP_OWNER_MODULE_INFO_CLASS info_class, void* buffer,
                                      DWORD* size);
DWORD get_owner_module_from_tcp6_entry(const MIB_TCP6ROW_OWNER_MODULE* row,
                                       TCPIP_OWNER_MODULE_INFO_CLASS info_class, void* buffer,
                                       DWORD* size);
DWORD get_owner_module_from_udp_entry(const MIB_UDPROW_OWNER_MODULE* row,
                                      TCPIP_OWNER_MODULE_INFO_CLASS info_class, void* buffer,
                                      DWORD* size);
DWORD get_owner_module_from_udp6_entry(const MIB_UDP6ROW_OWNER_MODULE* row,
                                       TCPIP_OWNER_MODULE_INFO_CLASS info_class, void* buffer,
                                       DWORD* size);

// ---- DHCP client and DNS resolver ---------------------------------------------------

// DhcpNotifyConfigChange of dhcpcsvc.dll, looked up by name at each call (the library is
// loaded and freed again): true when the function was found and returned 0; false when
// the library or the export is missing or the call failed.
bool dhcp_notify_config_change(wchar_t* server_name, wchar_t* adapter_name, BOOL new_ip_address,
                               DWORD ip_index, DWORD ip_address, DWORD subnet_mask,
                               int dhcp_action);

// DnsFlushResolverCache of dnsapi.dll, looked up the same way; its result is not used.
// Nothing happens when the library or the export is missing.
void dns_flush_resolver_cache();
} // namespace netaccess::platform
