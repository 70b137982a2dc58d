#pragma once
// Owner of a table that an IP Helper function allocated (GetIfTable2,
// GetUnicastIpAddressTable, GetIpForwardTable2, ...): freed with FreeMibTable.
#include <memory>

#include "platform.h"

namespace iphelper
{
struct mib_table_free {
    void operator()(void* table) const noexcept
    {
        if (table != nullptr)
            netaccess::platform::free_mib_table(table);
    }
};

template <class Table> using mib_table = std::unique_ptr<Table, mib_table_free>;
} // namespace iphelper
