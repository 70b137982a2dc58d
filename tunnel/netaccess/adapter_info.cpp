// Reading IP Helper's interface table and adapter list into adapter_info records.
#include "adapter_info.h"

#include <algorithm>
#include <cstring>

#include "mib_table.h"
#include "platform.h"

namespace iphelper
{
namespace
{
constexpr ULONG adapter_list_flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                                     GAA_FLAG_INCLUDE_GATEWAYS | GAA_FLAG_INCLUDE_ALL_INTERFACES;
static_assert(adapter_list_flags == 0x186);

constexpr std::uint32_t if_type_ethernet = 6;
constexpr std::uint32_t if_type_wifi = 71;
constexpr std::uint32_t if_type_loopback = 24;

// The adapter list of GetAdaptersAddresses, in 8-byte aligned and zeroed memory.
class adapter_list
{
public:
    // Asks for the size, then fetches the list, again with the new size while it grows.
    // False when a call fails; the code is then in the thread's last error.
    bool read()
    {
        ULONG size = 0;
        ULONG result = netaccess::platform::get_adapters_addresses(AF_UNSPEC, adapter_list_flags,
                                                                   nullptr, nullptr, &size);
        while (result == ERROR_BUFFER_OVERFLOW && size != 0) {
            memory_.assign((size + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t), 0);
            result = netaccess::platform::get_adapters_addresses(AF_UNSPEC, adapter_list_flags,
                                                                 nullptr, first(), &size);
            if (result == NO_ERROR)
                return true;
        }
        if (result != NO_ERROR)
            ::SetLastError(result);
        return false;
    }

    IP_ADAPTER_ADDRESSES* first()
    {
        return memory_.empty() ? nullptr : reinterpret_cast<IP_ADAPTER_ADDRESSES*>(memory_.data());
    }

private:
    std::vector<std::uint64_t> memory_;
};

SOCKADDR_STORAGE copy_address(const SOCKET_ADDRESS& address)
{
    SOCKADDR_STORAGE storage{};
    if (address.lpSockaddr != nullptr && address.iSockaddrLength > 0)
        std::memcpy(&storage, address.lpSockaddr,
                    std::min<std::size_t>(static_cast<std::size_t>(address.iSockaddrLength),
                                          sizeof(storage)));
    return storage;
}

// The gateway's MAC address through neighbour resolution; left zero, with the code in the
// thread's last error, when it is not resolved.
void resolve_gateway_mac(gateway& entry, std::uint64_t luid)
{
    MIB_IPNET_ROW2 row{};
    if (entry.address.ss_family == AF_INET)
        std::memcpy(&row.Address, &entry.address, sizeof(sockaddr_in));
    else if (entry.address.ss_family == AF_INET6)
        std::memcpy(&row.Address, &entry.address, sizeof(sockaddr_in6));
    else
        return;
    row.InterfaceLuid.Value = luid;
    const DWORD result = netaccess::platform::resolve_ip_net_entry2(&row, nullptr);
    if (result != NO_ERROR) {
        ::SetLastError(result);
        return;
    }
    std::memcpy(entry.mac.data(), row.PhysicalAddress, entry.mac.size());
}

// For a virtual or filter interface: the connected hardware interface with the same MAC
// address (the last one in table order).
void find_underlying_interface(adapter_info& info, const MIB_IF_TABLE2& table, std::size_t own_row)
{
    for (std::size_t i = 0; i < table.NumEntries; ++i) {
        if (i == own_row)
            continue;
        const MIB_IF_ROW2& row = table.Table[i];
        if (row.MediaConnectState == MediaConnectStateConnected &&
            row.PhysicalAddressLength == info.mac.size() && row.PhysicalMediumType != 0 &&
            std::memcmp(row.PhysicalAddress, info.mac.data(), info.mac.size()) == 0 &&
            row.InterfaceAndOperStatusFlags.HardwareInterface) {
            info.underlying_physical_medium = row.PhysicalMediumType;
            info.hardware_interface = row.InterfaceGuid;
        }
    }
}

adapter_info make_adapter_info(const IP_ADAPTER_ADDRESSES& adapter, const MIB_IF_TABLE2& table,
                               std::size_t row_index)
{
    const MIB_IF_ROW2& row = table.Table[row_index];
    adapter_info info;
    info.if_index = adapter.IfIndex;
    info.ipv6_if_index = adapter.Ipv6IfIndex;
    if (adapter.AdapterName != nullptr)
        info.adapter_name = adapter.AdapterName;
    if (adapter.Description != nullptr)
        info.description = adapter.Description;
    if (adapter.FriendlyName != nullptr)
        info.friendly_name = adapter.FriendlyName;
    std::memcpy(info.mac.data(), adapter.PhysicalAddress, info.mac.size());
    info.mtu = static_cast<std::uint16_t>(adapter.Mtu);
    info.if_type = adapter.IfType;
    info.transmit_link_speed = adapter.TransmitLinkSpeed;
    info.receive_link_speed = adapter.ReceiveLinkSpeed;
    info.luid = adapter.Luid.Value;
    info.media_type = static_cast<std::uint32_t>(row.MediaType);
    info.physical_medium_type = static_cast<std::uint32_t>(row.PhysicalMediumType);

    for (auto* a = adapter.FirstUnicastAddress; a != nullptr; a = a->Next)
        info.unicast_addresses.push_back(copy_address(a->Address));
    for (auto* a = adapter.FirstDnsServerAddress; a != nullptr; a = a->Next)
        info.dns_servers.push_back(copy_address(a->Address));
    for (auto* a = adapter.FirstGatewayAddress; a != nullptr; a = a->Next)
        info.gateways.push_back({copy_address(a->Address), {}});

    if (info.if_type == if_type_ethernet || info.if_type == if_type_wifi) {
        ::SetLastError(0);
        for (auto& entry : info.gateways)
            resolve_gateway_mac(entry, info.luid);
    }

    if (info.physical_medium_type == 0)
        find_underlying_interface(info, table, row_index);
    return info;
}

// Walks the adapter list and builds a record for each adapter that `take` accepts and
// that has a row in the interface table; stops after the first one when `first_only`.
template <class Take> std::vector<adapter_info> query_adapters(Take take, bool first_only)
{
    std::vector<adapter_info> found;
    ::SetLastError(0);
    MIB_IF_TABLE2* raw_table = nullptr;
    if (const DWORD result = netaccess::platform::get_if_table2(&raw_table); result != NO_ERROR) {
        ::SetLastError(result);
        return found;
    }
    const mib_table<MIB_IF_TABLE2> table(raw_table);
    adapter_list list;
    if (table == nullptr || !list.read())
        return found;

    for (auto* adapter = list.first(); adapter != nullptr; adapter = adapter->Next) {
        if (!take(*adapter))
            continue;
        std::size_t row = 0;
        while (row < table->NumEntries &&
               table->Table[row].InterfaceLuid.Value != adapter->Luid.Value)
            ++row;
        if (row == table->NumEntries)
            continue;
        found.push_back(make_adapter_info(*adapter, *table, row));
        if (first_only)
            break;
    }
    return found;
}
} // namespace

std::vector<adapter_info> get_ip_adapters()
{
    return query_adapters(
        [](const IP_ADAPTER_ADDRESSES& adapter) {
            return adapter.FirstUnicastAddress != nullptr && adapter.OperStatus == IfOperStatusUp &&
                   adapter.IfType != if_type_loopback;
        },
        false);
}

std::optional<adapter_info> get_adapter_by_luid(NET_LUID luid)
{
    auto found = query_adapters(
        [&](const IP_ADAPTER_ADDRESSES& adapter) { return adapter.Luid.Value == luid.Value; },
        true);
    if (found.empty())
        return std::nullopt;
    return std::move(found.front());
}

std::optional<bool> interface_exists(NET_LUID luid)
{
    MIB_IF_TABLE2* raw_table = nullptr;
    if (const DWORD result = netaccess::platform::get_if_table2(&raw_table); result != NO_ERROR) {
        ::SetLastError(result);
        return std::nullopt;
    }
    const mib_table<MIB_IF_TABLE2> table(raw_table);
    if (table == nullptr)
        return std::nullopt;
    for (ULONG row = 0; row < table->NumEntries; ++row)
        if (table->Table[row].InterfaceLuid.Value == luid.Value)
            return true;
    return false;
}
} // namespace iphelper
