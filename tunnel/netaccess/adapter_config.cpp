#include "adapter_config.h"

#include <algorithm>
#include <cstring>

#include "address_text.h"
#include "mib_table.h"
#include "platform.h"

namespace iphelper
{
namespace
{
unicast_address_row create(unicast_address_row row)
{
    ::SetLastError(0);
    const DWORD result = netaccess::platform::create_unicast_ip_address_entry(row.get());
    if (result == NO_ERROR || result == ERROR_OBJECT_ALREADY_EXISTS)
        return row;
    ::SetLastError(result);
    return nullptr;
}

unicast_address_row prepared_row(const adapter_info& adapter, std::uint8_t prefix_length)
{
    auto row = std::make_unique<MIB_UNICASTIPADDRESS_ROW>();
    netaccess::platform::initialize_unicast_ip_address_entry(row.get());
    row->InterfaceLuid.Value = adapter.luid;
    row->PrefixOrigin = IpPrefixOriginManual;
    row->SuffixOrigin = IpSuffixOriginManual;
    row->OnLinkPrefixLength = prefix_length;
    row->DadState = IpDadStatePreferred;
    return row;
}

// Deletes every row of the table (both families) that is on the adapter; false with the
// table function's error as the last error when the table cannot be read.
template <class Table, class Row>
bool delete_rows_of(const adapter_info& adapter, DWORD (*get_table)(ADDRESS_FAMILY, Table**),
                    DWORD (*delete_row)(const Row*))
{
    Table* raw = nullptr;
    const DWORD result = get_table(AF_UNSPEC, &raw);
    if (result != NO_ERROR) {
        ::SetLastError(result);
        return false;
    }
    const mib_table<Table> table(raw);
    for (ULONG i = 0; table != nullptr && i < table->NumEntries; ++i)
        if (table->Table[i].InterfaceLuid.Value == adapter.luid)
            delete_row(&table->Table[i]);
    return true;
}
} // namespace

bool reset_adapter_config(const adapter_info& adapter)
{
    ::SetLastError(0);
    return delete_rows_of(adapter, netaccess::platform::get_unicast_ip_address_table,
                          netaccess::platform::delete_unicast_ip_address_entry) &&
           delete_rows_of(adapter, netaccess::platform::get_ip_forward_table2,
                          netaccess::platform::delete_ip_forward_entry2);
}

unicast_address_row create_unicast_address(const adapter_info& adapter, const IN6_ADDR& address,
                                           std::uint8_t prefix_length)
{
    auto row = prepared_row(adapter, prefix_length);
    row->Address.Ipv6.sin6_family = AF_INET6;
    row->Address.Ipv6.sin6_addr = address;
    row->InterfaceIndex = adapter.ipv6_if_index;
    return create(std::move(row));
}

unicast_address_row create_unicast_address(const adapter_info& adapter, std::uint32_t address,
                                           std::uint8_t prefix_length)
{
    auto row = prepared_row(adapter, prefix_length);
    row->Address.Ipv4.sin_family = AF_INET;
    row->Address.Ipv4.sin_addr.s_addr = address;
    row->InterfaceIndex = adapter.if_index;
    return create(std::move(row));
}

bool same_unicast_addresses(const adapter_info& a, const adapter_info& b)
{
    if (a.unicast_addresses.size() != b.unicast_addresses.size())
        return false;
    return std::all_of(b.unicast_addresses.begin(), b.unicast_addresses.end(),
                       [&](const SOCKADDR_STORAGE& wanted) {
                           return std::any_of(a.unicast_addresses.begin(),
                                              a.unicast_addresses.end(),
                                              [&](const SOCKADDR_STORAGE& have) {
                                                  return same_address(have, wanted);
                                              });
                       });
}
} // namespace iphelper
