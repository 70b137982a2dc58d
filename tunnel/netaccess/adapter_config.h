#pragma once
// Changing and comparing an interface's IP configuration.
#include <cstdint>
#include <memory>

#include "adapter_info.h"
#include "win32.h"

namespace iphelper
{
// A unicast address row that was used to create a system entry. Freeing the row does
// not delete the entry.
using unicast_address_row = std::unique_ptr<MIB_UNICASTIPADDRESS_ROW>;

// Deletes every unicast address and then every route of the interface (failures of
// single deletions are ignored). False, with the code in the thread's last error, when
// a table cannot be read; a failed address table read skips the routes.
bool reset_adapter_config(const adapter_info& adapter);

// Adds a manual, preferred address to the interface. The row is returned when the
// address was created or existed already (5010); null otherwise, with the code in the
// thread's last error.
unicast_address_row create_unicast_address(const adapter_info& adapter, const IN6_ADDR& address,
                                           std::uint8_t prefix_length);
// The IPv4 address in network byte order.
unicast_address_row create_unicast_address(const adapter_info& adapter, std::uint32_t address,
                                           std::uint8_t prefix_length);

// True when both unicast address lists have the same length and every address of b is
// in a (IPv4 by its 4 bytes, IPv6 by its 16 bytes; other families never match).
bool same_unicast_addresses(const adapter_info& a, const adapter_info& b);
} // namespace iphelper
